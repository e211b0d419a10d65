// vantrel recorder: the writer thread.
#include "record_writer.hpp"

#include <algorithm>
#include <span>

namespace vantrel::acquire {

namespace {
// A batch is one transaction of the database; a bounded one keeps a commit short.
constexpr std::size_t kBatch = 20'000;
constexpr std::chrono::milliseconds kGather{100};
}  // namespace

RecordWriter::RecordWriter(std::unique_ptr<RecordOutput> output, MessageFn message,
                           std::size_t maxHeld, std::chrono::milliseconds retry)
    : output_(std::move(output)), message_(std::move(message)), maxHeld_(maxHeld), retry_(retry) {
    thread_ = std::thread([this] { run(); });
}

RecordWriter::~RecordWriter() {
    stop();
}

void RecordWriter::push(Record record) {
    bool first;
    {
        const std::lock_guard lock(mutex_);
        if (stats_.held >= maxHeld_) {
            ++stats_.dropped;
            return;
        }
        first = queue_.empty();
        queue_.push_back(std::move(record));
        ++stats_.held;
    }
    // The writer waits for the first record; later ones it gathers on its own time.
    if (first) wake_.notify_one();
}

void RecordWriter::saveCursor(const std::string& output, uint64_t seq) {
    {
        const std::lock_guard lock(mutex_);
        cursors_[output] = seq;
    }
    wake_.notify_one();
}

void RecordWriter::reopen() {
    {
        const std::lock_guard lock(mutex_);
        reopen_ = true;
    }
    wake_.notify_one();
}

uint64_t RecordWriter::stop() {
    {
        const std::lock_guard lock(mutex_);
        stop_ = true;
    }
    wake_.notify_one();
    if (thread_.joinable()) thread_.join();
    return lost_;
}

RecordWriter::Stats RecordWriter::stats() const {
    const std::lock_guard lock(mutex_);
    return stats_;
}

void RecordWriter::run() {
    using Clock = std::chrono::steady_clock;
    std::vector<Record> held;
    std::vector<Record> taken;
    std::map<std::string, uint64_t> cursors;  // not yet stored
    bool failing = false;
    bool reopenPending = false;  // asked for and not yet done
    bool reopenFailed = false;   // and said so
    Clock::time_point retryAt{};
    Clock::time_point lastWrite{};
    uint64_t droppedSeen = 0;
    const auto say = [this](const std::string& text) {
        if (message_) message_(text);
    };
    while (true) {
        bool stopping, reopening;
        {
            std::unique_lock lock(mutex_);
            const auto ready = [&] {
                return stop_ || reopen_ || !queue_.empty() || !cursors_.empty();
            };
            if (failing)
                wake_.wait_until(lock, retryAt, ready);
            else
                wake_.wait(lock, ready);
            // Records are gathered for a moment, so that a fast board costs one write (one
            // transaction, one sync) every kGather rather than one a record.
            if (!failing)
                wake_.wait_until(lock, lastWrite + kGather,
                                 [&] { return stop_ || reopen_ || queue_.size() >= kBatch; });
            taken.swap(queue_);
            for (auto& [output, seq] : cursors_) cursors[output] = seq;
            cursors_.clear();
            stopping = stop_;
            reopening = std::exchange(reopen_, false);
        }
        if (held.empty())
            held.swap(taken);
        else
            std::move(taken.begin(), taken.end(), std::back_inserter(held));
        taken.clear();

        // While failing, new records wait for the next try instead of hammering a full disk.
        const bool tryNow = !failing || stopping || Clock::now() >= retryAt;
        // A reopen that failed is tried again before each write until it is done: until then
        // the records go on into the file that was open.
        reopenPending = reopenPending || reopening;
        if (reopenPending && (reopening || tryNow)) {
            try {
                output_->reopen();
                if (reopenFailed) say("reopened " + output_->path());
                reopenPending = reopenFailed = false;
            } catch (const OutputError& e) {
                if (!reopenFailed)
                    say(std::string("reopening failed: ") + e.what() +
                        "; writing on to the file that was open, and trying again");
                reopenFailed = true;
            }
        }
        std::size_t done = 0;
        std::string problem;
        if (tryNow) {
            lastWrite = Clock::now();
            while (done < held.size()) {
                const std::size_t n = std::min(kBatch, held.size() - done);
                try {
                    output_->write(std::span<const Record>(held.data() + done, n));
                    done += n;
                } catch (const OutputError& e) {
                    done += e.stored();
                    problem = e.what();
                    break;
                }
            }
            // The cursors of the round after its records, each in its own transaction.
            if (problem.empty() && !cursors.empty()) {
                try {
                    output_->saveCursors(cursors);
                    cursors.clear();
                } catch (const OutputError& e) {
                    problem = e.what();
                }
            }
        }
        const uint64_t heldBefore = held.size();
        held.erase(held.begin(), held.begin() + static_cast<std::ptrdiff_t>(done));
        if (held.capacity() > 4 * kBatch && held.size() < kBatch) held.shrink_to_fit();
        uint64_t dropped;
        {
            const std::lock_guard lock(mutex_);
            stats_.written += done;
            stats_.held -= done;
            if (tryNow) stats_.problem = problem;
            dropped = stats_.dropped;
        }
        if (tryNow && !problem.empty()) {
            if (!failing)
                say(problem + "; holding the readings (up to " + std::to_string(maxHeld_) +
                    ") and writing again when it can");
            failing = true;
            retryAt = Clock::now() + retry_;
        } else if (tryNow && failing) {
            failing = false;
            say("writing to " + output_->path() + " again; " + std::to_string(heldBefore) +
                " held readings written");
        }
        if (dropped != droppedSeen) {
            if (droppedSeen == 0) say("too many readings held: new ones are being dropped");
            droppedSeen = dropped;
        }
        if (stopping) break;
    }
    lost_ = held.size();
    try {
        output_->close();
    } catch (const OutputError& e) {
        say(std::string("closing failed: ") + e.what());
    }
    if (lost_ > 0) say(std::to_string(lost_) + " readings could not be written");
}

}  // namespace vantrel::acquire
