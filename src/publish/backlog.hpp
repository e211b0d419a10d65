// vantrel publishing: what an output's queue could not hold, sent later from the recording.
// Every record carries the run's sequence number; an output's cursor is the number up to which
// its server has everything. A gap between the cursor and the oldest record in the queue (the
// queue overflowed while the server was away, or the recorder was restarted) is read back from
// the recording, an SQLite file, on a connection of its own, in order, at a bounded rate. What
// the recording cannot give back (a CSV or JSON Lines file, rows rotated or pruned away) is
// said once, with how many and from when to when.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "publisher.hpp"
#include "record.hpp"

namespace vantrel::publish {

// Stores an output's cursor in the recording (through the recorder's writer).
using CursorFn = std::function<void(const std::string& output, uint64_t seq)>;

// Where an output finds its backlog and keeps its cursor.
struct Replay {
    std::string recording;  // the run's output file; replayable when SQLite
    bool replayable = false;
    CursorFn save;  // none: the cursor is not kept (the output sends only what it holds)
    // Backlog records read and handed out per second at most.
    std::size_t rate = 10'000;
};

// Rows of the recording with from <= seq < before, in order, at most `most`. Throws
// std::runtime_error when the file cannot be read.
std::vector<acquire::Record> readRecorded(const std::string& recording, uint64_t from,
                                          uint64_t before, std::size_t most);
// The cursor stored for `output`, if any. Throws std::runtime_error.
std::optional<uint64_t> readCursor(const std::string& recording, const std::string& output);

class Backlog {
  public:
    // `output` names the cursor (the server and where on it); `who` begins the messages.
    Backlog(Replay replay, std::string output, std::string who, MessageFn message);

    struct Next {
        std::vector<acquire::Record> records;  // to send, oldest first; notes left out
        uint64_t upTo = 0;  // what the cursor becomes once the server has them all
        bool backlog = false;
        bool empty() const { return records.empty() && upTo == 0; }
    };
    // The next records to send, at most `most`: from the recording while `live` (the records
    // taken from the queue, oldest first) begins past a gap, else those of `live` that follow
    // on without one (moved out of it). Nothing while the rate allows no more. Records of no
    // sequence (made outside a recorder) go as they come, upTo 0.
    Next next(std::vector<acquire::Record>& live, std::size_t most);
    // Says what could not be sent and is not said yet (the output ends).
    void finish();
    // The server has everything up to `seq`, or will never take it.
    void acked(uint64_t seq);
    // Whether what was not sent stays in the recording for a later run.
    bool keeps() const { return replay_.replayable && replay_.save; }
    // Whether a gap is being read back from the recording.
    bool behind() const { return behind_; }
    // How long until the rate allows more of the backlog.
    std::chrono::milliseconds pause() const;
    uint64_t cursor() const { return cursor_; }
    // Records that could not be sent in all. Thread-safe.
    uint64_t lost() const { return lostTotal_.load(); }

  private:
    void start(const acquire::Record& first);
    // Counts records of the gap that cannot be sent, between the times around them.
    void missed(uint64_t count, std::chrono::system_clock::time_point after);
    // Says what the gap lost, once it is closed.
    void tellLost();

    Replay replay_;
    std::string output_;
    std::string who_;
    MessageFn message_;
    bool started_ = false;
    bool behind_ = false;
    uint64_t handed_ = 0;                               // the last sequence number handed out
    uint64_t cursor_ = 0;                               // the last acknowledged
    std::chrono::system_clock::time_point lastTime_{};  // of the last record handed out
    std::string why_;         // why the gap's records cannot be read back, when they cannot
    uint64_t lostCount_ = 0;  // of the gap being closed
    std::atomic<uint64_t> lostTotal_{0};
    std::chrono::system_clock::time_point lostFrom_{}, lostTo_{};
    // The rate's budget: backlog records it allows now, and when it was last filled.
    double budget_ = 0;
    std::size_t want_ = 0;  // the batch the last call waited for
    std::chrono::steady_clock::time_point filled_{};
};

}  // namespace vantrel::publish
