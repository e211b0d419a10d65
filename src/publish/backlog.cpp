// vantrel publishing: the backlog from the recording.
#include "backlog.hpp"

#include <sqlite3.h>

#include <algorithm>
#include <stdexcept>

namespace vantrel::publish {

namespace {

// A read-only connection and one statement, closed when they go.
struct Reader {
    sqlite3* db = nullptr;
    sqlite3_stmt* s = nullptr;
    Reader(const std::string& path, const char* sql) {
        if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) != SQLITE_OK)
            fail(path);
        sqlite3_busy_timeout(db, 2000);
        if (sqlite3_prepare_v2(db, sql, -1, &s, nullptr) != SQLITE_OK) fail(path);
    }
    ~Reader() {
        sqlite3_finalize(s);
        sqlite3_close_v2(db);
    }
    Reader(const Reader&) = delete;
    Reader& operator=(const Reader&) = delete;
    [[noreturn]] void fail(const std::string& path) const {
        throw std::runtime_error(path + ": " + (db ? sqlite3_errmsg(db) : "out of memory"));
    }
    std::string text(int i) const {
        const auto* t = reinterpret_cast<const char*>(sqlite3_column_text(s, i));
        return t ? std::string(t, static_cast<std::size_t>(sqlite3_column_bytes(s, i)))
                 : std::string();
    }
    std::optional<double> number(int i) const {
        if (sqlite3_column_type(s, i) == SQLITE_NULL) return std::nullopt;
        return sqlite3_column_double(s, i);
    }
};

acquire::Status statusOf(const std::string& name) {
    for (const auto s : {acquire::Status::Error, acquire::Status::Gap, acquire::Status::Alarm,
                         acquire::Status::Note})
        if (name == acquire::statusName(s)) return s;
    return acquire::Status::Ok;
}

}  // namespace

std::vector<acquire::Record> readRecorded(const std::string& recording, uint64_t from,
                                          uint64_t before, std::size_t most) {
    Reader r(recording,
             "SELECT seq, time, mono, board, bits, channel, name, raw, value, unit, status, text,"
             " min, max FROM readings WHERE seq >= ?1 AND seq < ?2 ORDER BY seq LIMIT ?3");
    sqlite3_bind_int64(r.s, 1, static_cast<int64_t>(from));
    sqlite3_bind_int64(r.s, 2, static_cast<int64_t>(before));
    sqlite3_bind_int64(r.s, 3, static_cast<int64_t>(most));
    std::vector<acquire::Record> out;
    int rc;
    while ((rc = sqlite3_step(r.s)) == SQLITE_ROW) {
        acquire::Record x;
        x.seq = static_cast<uint64_t>(sqlite3_column_int64(r.s, 0));
        x.time = acquire::parseIsoTime(r.text(1));
        x.mono = sqlite3_column_double(r.s, 2);
        x.board = r.text(3);
        x.bits = sqlite3_column_int(r.s, 4);
        x.channel = sqlite3_column_int(r.s, 5);
        x.name = r.text(6);
        x.raw = r.number(7);
        x.value = r.number(8);
        x.unit = r.text(9);
        x.status = statusOf(r.text(10));
        x.text = r.text(11);
        x.min = r.number(12);
        x.max = r.number(13);
        out.push_back(std::move(x));
    }
    if (rc != SQLITE_DONE) r.fail(recording);
    return out;
}

std::optional<uint64_t> readCursor(const std::string& recording, const std::string& output) {
    Reader r(recording, "SELECT seq FROM sent WHERE output = ?1");
    sqlite3_bind_text(r.s, 1, output.data(), static_cast<int>(output.size()), SQLITE_TRANSIENT);
    const int rc = sqlite3_step(r.s);
    if (rc == SQLITE_ROW) return static_cast<uint64_t>(sqlite3_column_int64(r.s, 0));
    if (rc != SQLITE_DONE) r.fail(recording);
    return std::nullopt;
}

Backlog::Backlog(Replay replay, std::string output, std::string who, MessageFn message)
    : replay_(std::move(replay)),
      output_(std::move(output)),
      who_(std::move(who)),
      message_(std::move(message)) {}

void Backlog::start(const acquire::Record& first) {
    started_ = true;
    // An output new to the recording begins with what it holds; one that was here before
    // begins where its server stopped acknowledging.
    handed_ = first.seq - 1;
    if (replay_.replayable && replay_.save) {
        try {
            if (const auto stored = readCursor(replay_.recording, output_))
                handed_ = std::min(*stored, handed_);
            else
                // Stored at once, so that a recorder killed before the server first answers
                // finds its place.
                replay_.save(output_, handed_);
        } catch (const std::exception& e) {
            if (message_)
                message_(who_ + ": the cursor cannot be read (" + e.what() +
                         "); sending from the readings held");
        }
    }
    cursor_ = handed_;
    filled_ = std::chrono::steady_clock::now();
    budget_ = static_cast<double>(replay_.rate);
}

Backlog::Next Backlog::next(std::vector<acquire::Record>& live, std::size_t most) {
    Next out;
    if (live.empty()) return out;
    if (live.front().seq == 0) {
        std::size_t n = 0;
        for (; n < live.size() && n < most && live[n].seq == 0; ++n)
            if (live[n].status != acquire::Status::Note) out.records.push_back(std::move(live[n]));
        live.erase(live.begin(), live.begin() + static_cast<std::ptrdiff_t>(n));
        return out;
    }
    if (!started_) start(live.front());
    // Records already handed out (none are, but a queue is not trusted to promise it).
    const auto old = std::find_if(live.begin(), live.end(),
                                  [&](const acquire::Record& r) { return r.seq > handed_; });
    live.erase(live.begin(), old);
    if (live.empty()) return out;
    const uint64_t gapEnd = live.front().seq;
    const bool gap = gapEnd > handed_ + 1;
    if (gap) {
        behind_ = true;
        if (!replay_.replayable) {
            why_ = "the queue was full, and only an SQLite recording can give them back";
            missed(gapEnd - handed_ - 1, live.front().time);
            handed_ = gapEnd - 1;
        } else {
            const auto now = std::chrono::steady_clock::now();
            budget_ = std::min(static_cast<double>(replay_.rate),
                               budget_ + std::chrono::duration<double>(now - filled_).count() *
                                             static_cast<double>(replay_.rate));
            filled_ = now;
            // Whole batches: a budget spent is waited for, not sent in crumbs.
            const std::size_t allowed = want_ = std::min(most, replay_.rate);
            if (budget_ < static_cast<double>(allowed)) return out;
            std::vector<acquire::Record> rows;
            try {
                rows = readRecorded(replay_.recording, handed_ + 1, gapEnd, allowed);
            } catch (const std::exception& e) {
                why_ = std::string("the recording cannot be read: ") + e.what();
                missed(gapEnd - handed_ - 1, live.front().time);
                handed_ = gapEnd - 1;
            }
            budget_ -= static_cast<double>(rows.size());
            const uint64_t covered = rows.size() < allowed ? gapEnd - 1 : rows.back().seq;
            for (acquire::Record& r : rows) {
                if (r.seq > handed_ + 1) {
                    why_ =
                        "they are not in the recording (rotated or pruned away, or never written)";
                    missed(r.seq - handed_ - 1, r.time);
                }
                handed_ = r.seq;
                lastTime_ = r.time;
                if (r.status != acquire::Status::Note) out.records.push_back(std::move(r));
            }
            if (covered > handed_) {
                why_ = "they are not in the recording (rotated or pruned away, or never written)";
                missed(covered - handed_, live.front().time);
                handed_ = covered;
            }
            out.backlog = true;
            out.upTo = handed_;
            if (handed_ + 1 < gapEnd) return out;
        }
        behind_ = false;
        if (out.upTo != 0) return out;
    }
    std::size_t n = 0;
    while (n < live.size() && out.records.size() < most && live[n].seq == handed_ + 1) {
        handed_ = live[n].seq;
        lastTime_ = live[n].time;
        if (live[n].status != acquire::Status::Note) out.records.push_back(std::move(live[n]));
        ++n;
    }
    live.erase(live.begin(), live.begin() + static_cast<std::ptrdiff_t>(n));
    out.upTo = handed_;
    // An outage can leave several gaps (the queue filled up between tries): they are said
    // together once the readings go on without one.
    if (!gap && (live.empty() || live.front().seq == handed_ + 1)) tellLost();
    return out;
}

void Backlog::acked(uint64_t seq) {
    if (seq <= cursor_) return;
    cursor_ = seq;
    if (replay_.replayable && replay_.save) replay_.save(output_, seq);
}

std::chrono::milliseconds Backlog::pause() const {
    const double want = static_cast<double>(want_);
    if (!behind_ || budget_ >= want) return std::chrono::milliseconds(0);
    return std::chrono::milliseconds(
        static_cast<int64_t>(1000.0 * (want - budget_) / static_cast<double>(replay_.rate)) + 1);
}

void Backlog::finish() {
    tellLost();
}

void Backlog::missed(uint64_t count, std::chrono::system_clock::time_point after) {
    if (lostCount_ == 0) lostFrom_ = lastTime_;
    lostCount_ += count;
    lostTotal_ += count;
    lostTo_ = after;
}

void Backlog::tellLost() {
    if (lostCount_ == 0) return;
    if (message_)
        message_(who_ + ": " + std::to_string(lostCount_) + " records from after " +
                 acquire::isoTime(lostFrom_) + " to before " + acquire::isoTime(lostTo_) +
                 " could not be sent: " + why_);
    lostCount_ = 0;
}

}  // namespace vantrel::publish
