// vantrel publishing: the live page and the metrics, served.
#include "served_output.hpp"

#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>

#include "http_server.hpp"
#include "live_state.hpp"

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
    double minutes;
    std::string chartJs;
    bool chartRead = false;
    bool stopping = false;
    std::vector<acquire::Record> taken;

    State(const acquire::LogConfig& config, BoardsFn b)
        : live(config, std::chrono::seconds(static_cast<int64_t>(config.publish.httpMinutes * 60))),
          boards(std::move(b)),
          minutes(config.publish.httpMinutes) {}

    std::vector<acquire::BoardStatus> boardList() const {
        return boards ? boards() : std::vector<acquire::BoardStatus>{};
    }

    HttpResponse page(const HttpRequest& r) {
        HttpResponse out;
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
            for (const ChannelState& c : live.channels()) channels.push_back(channelJson(c));
            out.type = "application/json";
            out.body = json{{"minutes", minutes},
                            {"channels", std::move(channels)},
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
                           BoardsFn boards)
    : kind_(kind),
      queue_(100'000),
      state_(std::make_unique<State>(config, std::move(boards))),
      stopFd_(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) {
    if (!stopFd_) throw std::runtime_error(std::string("eventfd: ") + std::strerror(errno));
    State& s = *state_;
    s.server = std::make_unique<HttpServer>(
        *s.loop, at,
        [this, &s](const HttpRequest& r) { return kind_ == Kind::Page ? s.page(r) : s.metrics(r); },
        config.publish.allowHosts);
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
        for (const acquire::Record& r : s.taken) {
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
