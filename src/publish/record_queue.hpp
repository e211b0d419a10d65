// vantrel publishing: the bounded hand-over from the boards' threads to an output's own thread.
#pragma once

#include <cstdint>
#include <deque>
#include <mutex>
#include <vector>

#include "fd.hpp"
#include "record.hpp"

namespace vantrel::publish {

class RecordQueue {
  public:
    // Holds at most `bound` records; a record offered beyond that is dropped and counted.
    explicit RecordQueue(std::size_t bound);

    // Copies the record in, or counts it dropped. Never blocks beyond the queue's own lock;
    // the descriptor becomes readable when the queue stops being empty.
    void push(const acquire::Record& record) noexcept;
    // Moves every queued record to the end of `into`; clears the descriptor.
    void takeAll(std::vector<acquire::Record>& into);
    // Moves up to `most` of the oldest queued records to the end of `into`; the descriptor
    // stays readable while more wait.
    void take(std::vector<acquire::Record>& into, std::size_t most);
    std::size_t size() const;
    // An eventfd, readable while records wait; for the output's poll or event loop.
    int fd() const { return wake_.get(); }
    uint64_t dropped() const;
    std::size_t bound() const { return bound_; }

  private:
    std::size_t bound_;
    Fd wake_;
    mutable std::mutex mutex_;
    // A deque: taking the oldest few of a long backlog (a broker back after a while) moves
    // only those, so a board never waits long for the lock.
    std::deque<acquire::Record> records_;
    uint64_t dropped_ = 0;
};

}  // namespace vantrel::publish
