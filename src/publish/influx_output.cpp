// vantrel publishing: InfluxDB.
#include "influx_output.hpp"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstring>
#include <optional>
#include <stdexcept>

#include "http_client.hpp"

namespace vantrel::publish {

namespace {

using Clock = std::chrono::steady_clock;
constexpr std::chrono::seconds kTimeout{5};

// Tag keys and values, and measurement names: ',', '=' and ' ' are escaped. The line protocol
// has no escape for a line end or another control character (the run file refuses them in
// names and units; a record made elsewhere gets a space), and a trailing backslash would
// escape the separator after it.
std::string tagText(std::string_view text) {
    std::string out;
    for (const char c : text) {
        if (c == ',' || c == '=' || c == ' ') out += '\\';
        out += static_cast<unsigned char>(c) < 0x20 || c == 0x7f ? ' ' : c;
    }
    if (!out.empty() && out.back() == '\\') out += ' ';
    return out;
}

std::string fieldString(std::string_view text) {
    std::string out = "\"";
    for (const char c : text) {
        if (c == '"' || c == '\\') out += '\\';
        out += (c == '\n' || c == '\r') ? ' ' : c;
    }
    return out + "\"";
}

}  // namespace

std::string influxLine(const acquire::Record& r) {
    // An alarm has the time of the reading that raised it: in the readings' series it would
    // take that reading's place.
    std::string line =
        std::string(r.status == acquire::Status::Alarm ? "vantrel_alarm" : "vantrel") +
        ",board=" + tagText(r.board) + ",bits=" + std::to_string(r.bits) +
        ",channel=" + std::to_string(r.channel);
    if (!r.name.empty()) line += ",name=" + tagText(r.name);
    if (!r.unit.empty()) line += ",unit=" + tagText(r.unit);
    line += ' ';
    // The line protocol has no infinity or NaN: the server would refuse the whole batch.
    if (r.value && std::isfinite(*r.value)) line += "value=" + acquire::numberText(*r.value) + ",";
    if (r.raw && std::isfinite(*r.raw)) line += "raw=" + acquire::numberText(*r.raw) + ",";
    if (r.min && std::isfinite(*r.min)) line += "min=" + acquire::numberText(*r.min) + ",";
    if (r.max && std::isfinite(*r.max)) line += "max=" + acquire::numberText(*r.max) + ",";
    line += "status=" + fieldString(acquire::statusName(r.status));
    if (!r.text.empty()) line += ",text=" + fieldString(r.text);
    // To the millisecond, as the recording keeps it: a reading sent again from the recording
    // lands on the point it made the first time.
    const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(
                        std::chrono::floor<std::chrono::milliseconds>(r.time.time_since_epoch()))
                        .count();
    return line + " " + std::to_string(ns) + "\n";
}

InfluxOutput::InfluxOutput(const InfluxTarget& target, MessageFn message, std::size_t bound,
                           Replay replay)
    : target_(target),
      where_(target.server.host + ":" + std::to_string(target.server.port)),
      message_(std::move(message)),
      queue_(bound),
      backlog_(std::move(replay), "influx http://" + where_ + "/" + target.database,
               "influx: " + where_, message_),
      stopFd_(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) {
    if (!stopFd_) throw std::runtime_error(std::string("eventfd: ") + std::strerror(errno));
    thread_ = std::thread([this] { run(); });
}

InfluxOutput::~InfluxOutput() {
    stop();
}

void InfluxOutput::stop() {
    if (!thread_.joinable()) return;
    const uint64_t one = 1;
    [[maybe_unused]] const auto n = ::write(stopFd_.get(), &one, sizeof one);
    thread_.join();
}

InfluxOutput::Outcome InfluxOutput::write(HttpClient& client, const std::string& lines) {
    const std::string target = "/write?db=" + urlEncode(target_.database) + "&precision=ns";
    HttpReply r = client.request(target_.server, "POST", target, lines, "text/plain", kTimeout);
    // A database that is not there yet is made once, as a first run on a new server needs.
    if (r.status == 404 && !created_ && r.body.find("database not found") != std::string::npos) {
        created_ = true;
        const HttpReply made =
            client.request(target_.server, "POST", "/query",
                           "q=" + urlEncode("CREATE DATABASE \"" + target_.database + "\""),
                           "application/x-www-form-urlencoded", kTimeout);
        if (made.status == 200)
            r = client.request(target_.server, "POST", target, lines, "text/plain", kTimeout);
    }
    if (r.status == 204 || r.status == 200) return {};
    if (r.status == 0) return {r.error, false};
    std::string body = r.body.substr(0, 200);
    while (!body.empty() && (body.back() == '\n' || body.back() == '\r')) body.pop_back();
    // A request the server will never take (a field of another type than before, a database
    // it will not make) is not sent again; a server that is busy or broken is.
    const bool refused = r.status >= 400 && r.status < 500 && r.status != 408 && r.status != 429;
    return {"HTTP " + std::to_string(r.status) + " " + body, refused};
}

void InfluxOutput::run() {
    std::optional<HttpClient> client;
    std::vector<acquire::Record> live;  // taken from the queue, not yet handed to a batch
    Backlog::Next batch;                // being sent
    std::string lines;
    bool failing = false;
    bool saidRefused = false;  // a server that refuses says so once, not once a batch
    bool stopping = false;
    auto retry = std::chrono::seconds(1);
    auto nextTry = Clock::now();
    std::optional<Clock::time_point> stopBy;
    while (true) {
        const auto now = Clock::now();
        if (live.size() < kBatch) queue_.take(live, kBatch - live.size());
        const bool due = now >= nextTry || stopping;
        if (batch.empty() && due) {
            batch = backlog_.next(live, kBatch);
            // Only notes: nothing for the server, and nothing to wait for.
            if (batch.upTo != 0 && batch.records.empty()) {
                backlog_.acked(batch.upTo);
                batch = {};
                continue;
            }
        }
        if (!batch.empty() && due) {
            lines.clear();
            for (const acquire::Record& r : batch.records) lines += influxLine(r);
            // Whatever the server does, it is this output's failure: the recording goes on.
            Outcome outcome;
            try {
                if (!client) {
                    client.emplace();
                    client->use(target_.credentials);
                }
                outcome = write(*client, lines);
            } catch (const std::exception& e) {
                client.reset();
                outcome = {e.what(), false};
            }
            const auto& [problem, refused] = outcome;
            if (refused) {
                refused_ += batch.records.size();
                if (!saidRefused && message_)
                    message_("influx: " + where_ + " refused " +
                             std::to_string(batch.records.size()) + " readings: " + problem +
                             "; further refusals are counted, not said");
                saidRefused = true;
                backlog_.acked(batch.upTo);
                batch = {};
                nextTry = Clock::now() + std::chrono::seconds(1);
            } else if (problem.empty()) {
                sent_ += batch.records.size();
                backlog_.acked(batch.upTo);
                batch = {};
                if (failing && message_) message_("influx: writing to " + where_ + " again");
                failing = false;
                saidRefused = false;
                retry = std::chrono::seconds(1);
                // Batches go at most once a second, unless a full one waits or the backlog is
                // being caught up (at its own rate).
                nextTry = Clock::now() + std::chrono::seconds(1);
                if (backlog_.behind() || live.size() >= kBatch || queue_.size() >= kBatch)
                    nextTry = Clock::now();
            } else {
                if (!failing && message_)
                    message_("influx: " + where_ + ": " + problem + "; holding up to " +
                             std::to_string(queue_.bound()) + " readings and trying again");
                failing = true;
                nextTry = Clock::now() + retry;
                retry = std::min(retry * 2, std::chrono::seconds(30));
            }
        }
        const bool idle = batch.empty() && live.empty();
        if (stopping && ((idle && queue_.size() == 0) || failing || Clock::now() >= *stopBy)) break;
        auto wake = std::max(nextTry, Clock::now() + backlog_.pause());
        if (stopping) wake = std::min(wake, *stopBy);
        const auto wait = std::chrono::ceil<std::chrono::milliseconds>(wake - Clock::now());
        pollfd p[2] = {{stopFd_.get(), POLLIN, 0},
                       {queue_.fd(), static_cast<short>(idle ? POLLIN : 0), 0}};
        const int timeout = idle ? -1 : static_cast<int>(std::max<int64_t>(wait.count(), 0));
        ::poll(p, 2, timeout);
        if ((p[0].revents & POLLIN) && !stopping) {
            stopping = true;
            stopBy = Clock::now() + std::chrono::seconds(3);
        }
    }
    backlog_.finish();
    const std::size_t unsent = batch.records.size() + live.size() + queue_.size();
    if (unsent > 0 && message_)
        message_("influx: " + std::to_string(unsent) + " readings not written to " + where_ +
                 (backlog_.keeps() ? "; the next run sends them from the recording" : ""));
    if (refused_ > 0 && message_)
        message_("influx: " + where_ + " refused " + std::to_string(refused_.load()) +
                 " readings in all");
}

}  // namespace vantrel::publish
