// vantrel publishing: the live page and the metrics, served.
#include "served_output.hpp"

#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstring>
#include <deque>
#include <fstream>
#include <map>
#include <nlohmann/json.hpp>
#include <sstream>

#include "history.hpp"
#include "http_server.hpp"
#include "live_state.hpp"
#include "note_inbox.hpp"
#include "record_output.hpp"

namespace vantrel::publish {

namespace {

using nlohmann::json;
using Clock = std::chrono::steady_clock;

// Debian's libjs-chart.js; the page takes it from us, never from the network.
constexpr const char* kChartJs = "/usr/share/javascript/chart.js/chart.min.js";

json valueOrNull(const std::optional<double>& v) {
    return v ? json(*v) : json(nullptr);
}

json boardsJson(const std::vector<acquire::BoardStatus>& boards) {
    json all = json::array();
    for (const acquire::BoardStatus& b : boards)
        all.push_back({{"name", b.name},
                       {"device", b.device},
                       {"state", b.state},
                       {"readings", b.readings},
                       {"errors", b.errors},
                       {"overruns", b.overruns},
                       {"gaps", b.gaps},
                       {"reconnects", b.reconnects},
                       {"last_error", b.lastError}});
    return all;
}

// The value a query parameter carries, percent-decoded; empty when it is not there. Throws
// std::invalid_argument for a broken escape.
std::string queryValue(std::string_view query, std::string_view key) {
    while (!query.empty()) {
        const auto amp = query.find('&');
        const std::string_view pair = query.substr(0, amp);
        query = amp == std::string_view::npos ? std::string_view() : query.substr(amp + 1);
        const auto eq = pair.find('=');
        if (eq != std::string_view::npos && pair.substr(0, eq) == key)
            return percentDecoded(pair.substr(eq + 1), std::string(key).c_str());
    }
    return {};
}

json errorJson(const std::string& why) {
    return {{"error", why}};
}

json channelJson(const ChannelState& c) {
    json points = json::array();
    for (const auto& [t, v] : c.points) points.push_back({t, valueOrNull(v)});
    json marks = json::array();
    for (const auto& [t, what, why] : c.marks) marks.push_back({t, what, why});
    json limits = json::array();
    for (const ChannelState::Limit& l : c.limits)
        limits.push_back({{"limit", l.name}, {"threshold", l.threshold}, {"raised", l.raised}});
    return {{"board", c.board},
            {"bits", c.bits},
            {"channel", c.channel},
            {"name", c.name},
            {"unit", c.unit},
            {"last", valueOrNull(c.last)},
            {"time", c.lastMs},
            {"status", c.lastMs == 0 ? "" : acquire::statusName(c.status)},
            {"text", c.text},
            {"min", c.min},
            {"max", c.max},
            {"sum", c.sum},
            {"count", c.count},
            {"points", std::move(points)},
            {"marks", std::move(marks)},
            {"limits", std::move(limits)}};
}

}  // namespace

struct ServedOutput::State {
    std::unique_ptr<EventLoop> loop = makeEpollLoop();
    std::unique_ptr<HttpServer> server;
    LiveState live;
    BoardsFn boards;
    NoteFn notes;
    std::string out;
    std::unique_ptr<HistoryReader> history;  // none unless the recording is a database
    // [ms, text] of the notes since the page started, newest last.
    std::deque<std::pair<int64_t, std::string>> recentNotes;
    // Per channel by board and name: the lowest and highest value its converter can give.
    std::map<std::pair<std::string, std::string>, std::pair<double, double>> limits;
    double minutes;
    std::string chartJs;
    bool chartRead = false;
    bool stopping = false;
    std::vector<acquire::Record> taken;

    static constexpr std::size_t kMaxNotes = 200;

    State(const acquire::LogConfig& config, BoardsFn b, NoteFn n)
        : live(config, std::chrono::seconds(static_cast<int64_t>(config.publish.httpMinutes * 60))),
          boards(std::move(b)),
          notes(std::move(n)),
          out(config.out),
          minutes(config.publish.httpMinutes) {
        if (acquire::outputKind(config.out) == acquire::OutputKind::Sqlite)
            history = std::make_unique<HistoryReader>(config.out);
        for (const acquire::BoardConfig& b : config.boards)
            for (const acquire::ChannelConfig& c : b.channels) {
                const double low = c.calibration(0), high = c.calibration((1 << c.bits) - 1);
                if (std::isfinite(low) && std::isfinite(high))
                    limits[{b.name, c.name}] = {std::min(low, high), std::max(low, high)};
            }
    }

    json channelWithLimits(const ChannelState& c) const {
        json j = channelJson(c);
        // The alarms' limits (their state first), drawn at their value, then the converter's
        // range through the calibration.
        // The board's away alarm has no value to draw: it stands beside them.
        json drawn = json::array();
        for (json& l : j["limits"]) {
            if (l["limit"] == "away") {
                j["away"] = l;
                continue;
            }
            l["value"] = l["threshold"];
            l["label"] = l["limit"];
            drawn.push_back(l);
        }
        j["limits"] = std::move(drawn);
        const auto it = limits.find({c.board, c.name});
        if (it != limits.end()) {
            j["limits"].push_back({{"value", it->second.first}, {"label", "converter low"}});
            j["limits"].push_back({{"value", it->second.second}, {"label", "converter high"}});
        }
        return j;
    }

    HttpResponse note(const HttpRequest& r) {
        HttpResponse res;
        res.type = "application/json";
        // A form or a page of another site can post here too: the page's own requests say who
        // they are in a field a form cannot set, and come from the page's own origin.
        const bool ownOrigin = r.origin.empty() || r.origin == "http://" + r.host;
        if (r.requestedWith != "vantrel" || !ownOrigin) {
            res.status = 403;
            res.body = errorJson(
                           "notes are taken from the page only (X-Requested-With: vantrel,"
                           " from its own origin)")
                           .dump();
            return res;
        }
        try {
            const std::string text = queryValue(r.query, "text");
            if (const auto problem = acquire::noteProblem(text))
                throw std::invalid_argument(*problem);
            if (!notes) throw std::invalid_argument("the recording takes no notes");
            res.body = json{{"time", notes(text)}}.dump();
        } catch (const std::invalid_argument& e) {
            res.status = 400;
            res.body = errorJson(e.what()).dump();
        }
        return res;
    }

    HttpResponse historyAnswer(const HttpRequest& r) {
        HttpResponse res;
        res.type = "application/json";
        if (!history) {
            res.status = 404;
            res.body = errorJson("history is read from an SQLite recording; this run writes " + out)
                           .dump();
            return res;
        }
        try {
            const HistoryQuery q =
                parseHistoryQuery(r.query, epochMs(std::chrono::system_clock::now()));
            res.body = history->answer(q);
        } catch (const std::invalid_argument& e) {
            res.status = 400;
            res.body = errorJson(e.what()).dump();
        } catch (const std::runtime_error& e) {
            res.status = 503;
            res.body = errorJson(e.what()).dump();
        }
        return res;
    }

    std::vector<acquire::BoardStatus> boardList() const {
        return boards ? boards() : std::vector<acquire::BoardStatus>{};
    }

    HttpResponse page(const HttpRequest& r) {
        if (r.method == "POST") return note(r);
        HttpResponse out;
        if (r.path == "/history") return historyAnswer(r);
        if (r.path == "/") {
            out.type = "text/html; charset=utf-8";
            out.body = kLivePage;
        } else if (r.path == "/chart.js") {
            if (!chartRead) {
                std::ifstream in(kChartJs, std::ios::binary);
                std::ostringstream text;
                text << in.rdbuf();
                chartJs = text.str();
                chartRead = !chartJs.empty();
            }
            if (chartJs.empty()) {
                out.status = 404;
                out.body = std::string(kChartJs) + " is missing: install libjs-chart.js\n";
            } else {
                out.type = "text/javascript; charset=utf-8";
                out.body = chartJs;
            }
        } else if (r.path == "/data") {
            json channels = json::array();
            for (const ChannelState& c : live.channels()) channels.push_back(channelWithLimits(c));
            json noteList = json::array();
            for (const auto& [t, text] : recentNotes) noteList.push_back({t, text});
            out.type = "application/json";
            out.body = json{{"minutes", minutes},
                            {"history", history != nullptr},
                            {"now", epochMs(std::chrono::system_clock::now())},
                            {"channels", std::move(channels)},
                            {"notes", std::move(noteList)},
                            {"boards", boardsJson(boardList())}}
                           .dump();
        } else if (r.path == "/events") {
            out.type = "text/event-stream";
            out.stream = true;
            out.body = "retry: 2000\n\n";
        } else {
            out.status = 404;
            out.body = "not found: the page is /\n";
        }
        return out;
    }

    HttpResponse metrics(const HttpRequest& r) {
        HttpResponse out;
        if (r.method == "POST") {
            out.status = 405;
            return out;
        }
        if (r.path == "/metrics") {
            out.type = "text/plain; version=0.0.4; charset=utf-8";
            out.body = metricsText(live.channels(), boardList());
        } else {
            out.status = r.path == "/" ? 200 : 404;
            out.body = "vantrel: the metrics are at /metrics\n";
        }
        return out;
    }
};

ServedOutput::ServedOutput(Kind kind, const Endpoint& at, const acquire::LogConfig& config,
                           BoardsFn boards, NoteFn notes)
    : kind_(kind),
      queue_(100'000),
      state_(std::make_unique<State>(config, std::move(boards), std::move(notes))),
      stopFd_(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) {
    if (!stopFd_) throw std::runtime_error(std::string("eventfd: ") + std::strerror(errno));
    State& s = *state_;
    s.server = std::make_unique<HttpServer>(
        *s.loop, at,
        [this, &s](const HttpRequest& r) { return kind_ == Kind::Page ? s.page(r) : s.metrics(r); },
        config.publish.allowHosts,
        kind == Kind::Page ? std::vector<std::string>{"/note"} : std::vector<std::string>{});
    thread_ = std::thread([this] { run(); });
}

ServedOutput::~ServedOutput() {
    stop();
}

uint16_t ServedOutput::port() const {
    return state_->server->port();
}

void ServedOutput::stop() {
    if (!thread_.joinable()) return;
    const uint64_t one = 1;
    [[maybe_unused]] const auto n = ::write(stopFd_.get(), &one, sizeof one);
    thread_.join();
}

void ServedOutput::run() {
    State& s = *state_;
    WatchHandle stopWatch =
        s.loop->watch(stopFd_.get(), EPOLLIN, [&s](uint32_t) { s.stopping = true; });
    WatchHandle queueWatch = s.loop->watch(queue_.fd(), EPOLLIN, [this, &s](uint32_t) {
        s.taken.clear();
        queue_.takeAll(s.taken);
        json events = json::array();
        json notes = json::array();
        for (const acquire::Record& r : s.taken) {
            if (r.status == acquire::Status::Note) {
                const int64_t t = epochMs(r.time);
                s.recentNotes.emplace_back(t, r.text);
                if (s.recentNotes.size() > State::kMaxNotes) s.recentNotes.pop_front();
                notes.push_back({t, r.text});
                continue;
            }
            s.live.add(r);
            if (kind_ == Kind::Page)
                events.push_back({{"i", s.live.indexOf(r)},
                                  {"t", epochMs(r.time)},
                                  {"v", valueOrNull(r.value)},
                                  {"s", acquire::statusName(r.status)},
                                  {"x", r.text}});
        }
        taken_ += s.taken.size();
        if (kind_ == Kind::Page && !events.empty() && s.server->streams() > 0)
            s.server->broadcast("event: readings\ndata: " + events.dump() + "\n\n");
        if (kind_ == Kind::Page && !notes.empty() && s.server->streams() > 0)
            s.server->broadcast("event: notes\ndata: " + notes.dump() + "\n\n");
    });
    auto nextBoards = Clock::now();
    while (!s.stopping) {
        s.loop->pumpOnce(std::chrono::milliseconds(250));
        const auto now = Clock::now();
        if (kind_ == Kind::Page && now >= nextBoards) {
            if (s.server->streams() > 0)
                s.server->broadcast("event: boards\ndata: " + boardsJson(s.boardList()).dump() +
                                    "\n\n");
            nextBoards = now + std::chrono::seconds(1);
        }
        s.server->sweep(now);
    }
}

}  // namespace vantrel::publish
