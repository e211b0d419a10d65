// vantrel recorder: a whole run.
#include "recorder.hpp"

#include <unistd.h>

#include <algorithm>
#include <nlohmann/json.hpp>

namespace vantrel::acquire {

Recorder::Recorder(const LogConfig& config, RecordWriter::MessageFn message,
                   std::vector<RecordTap*> taps, Notice notice)
    : config_(config),
      startedAt_(std::chrono::system_clock::now()),
      taps_(std::move(taps)),
      notice_(std::move(notice)) {
    std::unique_ptr<RecordOutput> output =
        openOutput(config_.out, config_.rotate, averages(config_) ? MinMax::With : MinMax::Without);
    lastSeq_ = output->lastSeq();
    writer_ = std::make_unique<RecordWriter>(std::move(output), std::move(message));
    // Deadlines of every board count from one start, a little ahead so that the first round of
    // each board is on time however long the threads take to start.
    const auto t0 = std::chrono::steady_clock::now() + std::chrono::milliseconds(20);
    t0_ = t0;
    std::optional<std::chrono::steady_clock::time_point>& end = end_;
    if (config_.duration > 0)
        end = t0 + std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                       std::chrono::duration<double>(config_.duration));
    for (const BoardConfig& b : config_.boards) {
        BoardWorker::Notice notice;
        if (notice_)
            notice = [this, &b](BoardEvent event, const std::string& why) {
                notice_(b, event, why);
            };
        workers_.push_back(std::make_unique<BoardWorker>(
            b, t0, end, [this](Record r) { hand(std::move(r)); }, std::move(notice)));
    }
}

Recorder::~Recorder() {
    stop();
}

bool Recorder::started() const {
    for (const auto& w : workers_)
        if (!w->started()) return false;
    return true;
}

bool Recorder::finished() const {
    for (const auto& w : workers_)
        if (!w->finished()) return false;
    return true;
}

void Recorder::hand(Record r) {
    // One order for the file and every output: the sequence numbers are handed out in the order
    // the records are offered, and both hand-overs only copy.
    const std::lock_guard lock(handMutex_);
    r.seq = ++lastSeq_;
    for (RecordTap* tap : taps_) tap->offer(r);
    writer_->push(std::move(r));
}

void Recorder::stopBoards() {
    // Every board is asked first: each ends after its reading in progress, all at once.
    for (auto& w : workers_) w->requestStop();
    for (auto& w : workers_) w->stop();
}

uint64_t Recorder::stop() {
    if (stopped_) return lost_;
    stopped_ = true;
    stopBoards();
    lost_ = writer_->stop();
    return lost_;
}

Record Recorder::note(const std::string& text) {
    Record r;
    r.time = std::chrono::system_clock::now();
    r.mono = std::max(
        0.0, std::chrono::duration<double>(std::chrono::steady_clock::now() - t0_).count());
    r.status = Status::Note;
    r.text = text;
    hand(r);
    return r;
}

std::vector<BoardStatus> Recorder::boards() const {
    std::vector<BoardStatus> all;
    for (const auto& w : workers_) all.push_back(w->status());
    return all;
}

std::string Recorder::statusJson() const {
    using nlohmann::json;
    const RecordWriter::Stats out = output();
    json j = {{"pid", static_cast<int64_t>(::getpid())},
              {"started", isoTime(startedAt_)},
              {"updated", isoTime(std::chrono::system_clock::now())},
              {"running", !stopped_},
              {"out", config_.out},
              {"written", out.written},
              {"held", out.held},
              {"dropped", out.dropped},
              {"problem", out.problem},
              {"boards", json::array()}};
    if (!notesSocket_.empty()) j["notes"] = notesSocket_;
    for (const BoardStatus& b : boards()) {
        json e = {{"name", b.name},
                  {"device", b.device},
                  {"state", b.state},
                  {"last_time", b.lastTime ? json(isoTime(*b.lastTime)) : json(nullptr)},
                  {"last_channel", b.lastChannel},
                  {"last_value", b.lastValue ? json(*b.lastValue) : json(nullptr)},
                  {"readings", b.readings},
                  {"errors", b.errors},
                  {"overruns", b.overruns},
                  {"skipped", b.skipped},
                  {"gaps", b.gaps},
                  {"reconnects", b.reconnects},
                  {"last_error", b.lastError}};
        j["boards"].push_back(std::move(e));
    }
    return j.dump(2) + "\n";
}

}  // namespace vantrel::acquire
