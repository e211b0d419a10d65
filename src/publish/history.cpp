// vantrel publishing: the history of the live page.
#include "history.hpp"

#include <sqlite3.h>
#include <sys/stat.h>

#include <charconv>
#include <cstdio>
#include <ctime>
#include <map>
#include <nlohmann/json.hpp>
#include <set>
#include <stdexcept>

#include "record.hpp"

namespace vantrel::publish {

namespace {

using nlohmann::json;

// The latest time asked for: 2199-12-31T23:59:59.999Z, well within the clock's range (2262).
constexpr int64_t kLastMs = 7258118399999;

int hexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

int64_t milliseconds(std::string_view text, const char* what) {
    int64_t v = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), v);
    if (ec != std::errc() || end != text.data() + text.size() || v < 0 || v > kLastMs)
        throw std::invalid_argument(std::string(what) +
                                    ": expected milliseconds since 1970 (UTC), got \"" +
                                    std::string(text) + "\"");
    return v;
}

std::string isoOf(int64_t ms) {
    return acquire::isoTime(std::chrono::system_clock::time_point(std::chrono::milliseconds(ms)));
}

// A stored time ("2026-12-08T06:33:46.123Z", or the day "2026-12-08") as ms since the epoch.
int64_t msOf(const char* text) {
    tm p{};
    int millis = 0;
    if (std::sscanf(text, "%4d-%2d-%2dT%2d:%2d:%2d.%3d", &p.tm_year, &p.tm_mon, &p.tm_mday,
                    &p.tm_hour, &p.tm_min, &p.tm_sec, &millis) < 3)
        return 0;
    p.tm_year -= 1900;
    p.tm_mon -= 1;
    return static_cast<int64_t>(::timegm(&p)) * 1000 + millis;
}

// A prepared statement, finalized when it goes.
class Statement {
  public:
    Statement(sqlite3* db, const char* sql) : db_(db) {
        if (sqlite3_prepare_v2(db, sql, -1, &s_, nullptr) != SQLITE_OK)
            throw std::runtime_error(std::string("history: ") + sqlite3_errmsg(db));
    }
    ~Statement() { sqlite3_finalize(s_); }
    Statement(const Statement&) = delete;
    Statement& operator=(const Statement&) = delete;
    Statement& bind(int i, const std::string& v) {
        sqlite3_bind_text(s_, i, v.data(), static_cast<int>(v.size()), SQLITE_TRANSIENT);
        return *this;
    }
    Statement& bind(int i, int64_t v) {
        sqlite3_bind_int64(s_, i, v);
        return *this;
    }
    bool step() {
        const int rc = sqlite3_step(s_);
        if (rc == SQLITE_ROW) return true;
        if (rc != SQLITE_DONE)
            throw std::runtime_error(std::string("history: ") + sqlite3_errmsg(db_));
        return false;
    }
    const char* text(int i) {
        const auto* t = reinterpret_cast<const char*>(sqlite3_column_text(s_, i));
        return t ? t : "";
    }
    json number(int i) {
        return sqlite3_column_type(s_, i) == SQLITE_NULL ? json(nullptr)
                                                         : json(sqlite3_column_double(s_, i));
    }
    int64_t integer(int i) { return sqlite3_column_int64(s_, i); }

  private:
    sqlite3* db_;
    sqlite3_stmt* s_ = nullptr;
};

struct Level {
    const char* source;
    int64_t step;  // ms
};

}  // namespace

std::string percentDecoded(std::string_view text, const char* what) {
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '+') {
            out += ' ';
        } else if (text[i] != '%') {
            out += text[i];
        } else {
            const int hi = i + 2 < text.size() ? hexDigit(text[i + 1]) : -1;
            const int lo = hi >= 0 ? hexDigit(text[i + 2]) : -1;
            if (lo < 0) throw std::invalid_argument(std::string(what) + ": a broken %-escape");
            out += static_cast<char>(hi * 16 + lo);
            i += 2;
        }
    }
    return out;
}

HistoryQuery parseHistoryQuery(std::string_view query, int64_t nowMs) {
    HistoryQuery q;
    std::optional<int64_t> from, to;
    while (!query.empty()) {
        const auto amp = query.find('&');
        const std::string_view pair = query.substr(0, amp);
        query = amp == std::string_view::npos ? std::string_view() : query.substr(amp + 1);
        const auto eq = pair.find('=');
        const std::string_view key = pair.substr(0, eq);
        const std::string_view value =
            eq == std::string_view::npos ? std::string_view() : pair.substr(eq + 1);
        if (key == "from") {
            from = milliseconds(value, "from");
        } else if (key == "to") {
            to = milliseconds(value, "to");
        } else if (key == "channels") {
            std::string_view list = value;
            while (!list.empty()) {
                const auto comma = list.find(',');
                const std::string_view item = list.substr(0, comma);
                list =
                    comma == std::string_view::npos ? std::string_view() : list.substr(comma + 1);
                const auto slash = item.find('/');
                if (slash == std::string_view::npos)
                    throw std::invalid_argument("channels: expected BOARD/NAME, got \"" +
                                                std::string(item) + "\"");
                q.channels.emplace_back(percentDecoded(item.substr(0, slash), "channels"),
                                        percentDecoded(item.substr(slash + 1), "channels"));
                if (q.channels.size() > HistoryReader::kMaxChannels)
                    throw std::invalid_argument("channels: at most " +
                                                std::to_string(HistoryReader::kMaxChannels));
            }
        }
    }
    q.toMs = to.value_or(std::min(nowMs, kLastMs));
    q.fromMs = from.value_or(std::max<int64_t>(q.toMs - 86'400'000, 0));
    if (q.fromMs >= q.toMs) throw std::invalid_argument("from: must come before to");
    return q;
}

HistoryReader::HistoryReader(std::string database) : database_(std::move(database)) {}

HistoryReader::~HistoryReader() {
    sqlite3_close_v2(db_);
}

void HistoryReader::open() {
    struct stat st {};
    const bool there = ::stat(database_.c_str(), &st) == 0;
    if (db_ && there && st.st_ino == inode_) return;
    sqlite3_close_v2(db_);
    db_ = nullptr;
    sqlite3* db = nullptr;
    if (sqlite3_open_v2(database_.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) != SQLITE_OK) {
        const std::string why = db ? sqlite3_errmsg(db) : "out of memory";
        sqlite3_close_v2(db);
        throw std::runtime_error(database_ + ": " + why);
    }
    sqlite3_busy_timeout(db, 2000);
    db_ = db;
    inode_ = st.st_ino;
}

std::string HistoryReader::answer(const HistoryQuery& q) {
    open();
    const std::string from = isoOf(q.fromMs), to = isoOf(q.toMs);
    std::vector<std::pair<std::string, std::string>> wanted = q.channels;
    if (wanted.empty()) {
        Statement s(db_,
                    "SELECT DISTINCT board, name FROM summaries WHERE span = 'hour' ORDER BY 1, 2");
        while (s.step() && wanted.size() < kMaxChannels) wanted.emplace_back(s.text(0), s.text(1));
    }
    std::map<std::pair<std::string, std::string>, std::size_t> index;
    json channels = json::array();
    for (const auto& [board, name] : wanted)
        if (index.emplace(std::pair(board, name), channels.size()).second)
            channels.push_back(
                {{"board", board}, {"name", name}, {"unit", ""}, {"points", json::array()}});

    // The finest source that keeps the answer within its bound: the readings when the range
    // holds few enough of them (counted no further than the bound), else the summaries whose
    // span divides the range into at most kMaxPoints.
    const int64_t readingsBound =
        static_cast<int64_t>(kMaxPoints * std::max<std::size_t>(channels.size(), 1));
    int64_t inRange = 0;
    {
        Statement s(db_,
                    "SELECT count(*) FROM (SELECT 1 FROM readings WHERE time >= ?1 AND time < ?2"
                    " LIMIT ?3)");
        s.bind(1, from).bind(2, to).bind(3, readingsBound + 1);
        if (s.step()) inRange = s.integer(0);
    }
    const int64_t range = q.toMs - q.fromMs;
    const auto fits = [&](int64_t step) {
        return range / step <= static_cast<int64_t>(kMaxPoints);
    };
    const Level level = inRange <= readingsBound ? Level{"readings", 0}
                        : fits(60'000)           ? Level{"minute", 60'000}
                        : fits(3'600'000)        ? Level{"hour", 3'600'000}
                                                 : Level{"day", 86'400'000};
    bool truncated = false;
    if (level.step == 0) {
        Statement s(db_,
                    "SELECT time, board, name, value, unit, status FROM readings"
                    " WHERE time >= ?1 AND time < ?2 AND status IN ('ok', 'gap') ORDER BY time");
        s.bind(1, from).bind(2, to);
        std::vector<int64_t> lastT(channels.size(), -1), lastDt(channels.size(), 0);
        while (s.step()) {
            const auto it = index.find({s.text(1), s.text(2)});
            if (it == index.end()) continue;
            const std::size_t i = it->second;
            json& c = channels[i];
            const int64_t t = msOf(s.text(0));
            const bool gap = std::string_view(s.text(5)) == "gap";
            // The recorder was not running: the line breaks where readings stop for far
            // longer than their pace.
            const int64_t dt = lastT[i] < 0 ? 0 : t - lastT[i];
            if (!gap && lastDt[i] > 0 && dt > 3 * lastDt[i] && dt > 1000)
                c["points"].push_back({lastT[i] + 1, nullptr});
            if (gap) {
                c["points"].push_back({t, nullptr});
                lastT[i] = -1;
                lastDt[i] = 0;
                continue;
            }
            c["points"].push_back({t, s.number(3)});
            c["unit"] = s.text(4);
            lastDt[i] = dt;
            lastT[i] = t;
        }
    } else {
        // The bucket holding `from` is included whole.
        const std::string start = isoOf(q.fromMs - q.fromMs % level.step);
        const bool days = level.step == 86'400'000;
        for (json& c : channels) {
            Statement each(db_, days ? "SELECT substr(start, 1, 10), min(min), max(max),"
                                       " sum(mean * count) / sum(count), max(unit) FROM summaries"
                                       " WHERE span = 'hour' AND board = ?1 AND name = ?2"
                                       " AND start >= ?3 AND start < ?4 GROUP BY 1 ORDER BY 1"
                                       " LIMIT ?5"
                                     : "SELECT start, min, max, mean, unit FROM summaries"
                                       " WHERE span = ?6 AND board = ?1 AND name = ?2"
                                       " AND start >= ?3 AND start < ?4 ORDER BY start LIMIT ?5");
            each.bind(1, c["board"].get<std::string>())
                .bind(2, c["name"].get<std::string>())
                .bind(3, start)
                .bind(4, to)
                .bind(5, static_cast<int64_t>(kMaxPoints + 1));
            if (!days) each.bind(6, std::string(level.source));
            json& points = c["points"];
            while (each.step()) {
                if (points.size() == kMaxPoints) {
                    truncated = true;
                    break;
                }
                points.push_back(
                    {msOf(each.text(0)), each.number(3), each.number(1), each.number(2)});
                c["unit"] = each.text(4);
            }
        }
    }

    // Gaps (one a board, not one a channel) and notes, through the index of the few records
    // that are not readings.
    std::set<std::string> boards;
    for (const json& c : channels) boards.insert(c["board"].get<std::string>());
    json marks = json::array();
    {
        Statement s(db_,
                    "SELECT time, status, board, name, text FROM readings WHERE status <> 'ok'"
                    " AND status IN ('gap', 'note') AND time >= ?1 AND time < ?2 ORDER BY time"
                    " LIMIT ?3");
        s.bind(1, from).bind(2, to).bind(3, static_cast<int64_t>(kMaxMarks * 16));
        std::pair<int64_t, std::string> lastGap{-1, ""};
        while (s.step()) {
            const int64_t t = msOf(s.text(0));
            const std::string status = s.text(1), board = s.text(2);
            if (status == "gap") {
                if (!boards.count(board) || lastGap == std::pair(t, board)) continue;
                lastGap = {t, board};
            }
            if (marks.size() == kMaxMarks) {
                truncated = true;
                break;
            }
            marks.push_back({t, status, board, s.text(3), s.text(4)});
        }
    }
    return json{{"from", q.fromMs},         {"to", q.toMs},
                {"source", level.source},   {"step", level.step},
                {"truncated", truncated},   {"channels", std::move(channels)},
                {"marks", std::move(marks)}}
        .dump();
}

}  // namespace vantrel::publish
