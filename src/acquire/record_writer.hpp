// vantrel recorder: the thread that writes records. Boards hand their records over without
// waiting for the disk; the writer stores what has come in batches, at most one write every
// 100 ms. When the output fails (a full disk), it holds the records, says so once, tries again
// every `retry` and says when writing works again. It holds at most `maxHeld` records, so
// memory stays bounded; records beyond that are counted as dropped.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "record_output.hpp"

namespace vantrel::acquire {

class RecordWriter {
  public:
    using MessageFn = std::function<void(const std::string&)>;
    struct Stats {
        uint64_t written = 0;
        uint64_t held = 0;     // waiting to be written
        uint64_t dropped = 0;  // lost because too many were held
        std::string problem;   // why writing fails now; empty while it works
    };

    // Starts the thread. `message` gets problems and recoveries (from the writer's thread).
    RecordWriter(std::unique_ptr<RecordOutput> output, MessageFn message,
                 std::size_t maxHeld = 200'000,
                 std::chrono::milliseconds retry = std::chrono::seconds(1));
    // Stops as stop() does.
    ~RecordWriter();
    RecordWriter(const RecordWriter&) = delete;
    RecordWriter& operator=(const RecordWriter&) = delete;

    // Thread-safe; never waits for the disk.
    void push(Record record);
    // Stores how far a published output's server has acknowledged, with the next write; a later
    // cursor of the same output replaces one not yet stored. Thread-safe; never waits.
    void saveCursor(const std::string& output, uint64_t seq);
    // Reopens the output by its name at the next chance (SIGHUP). Thread-safe.
    void reopen();
    // Writes what is left (one more try when the output is failing), closes the output and ends
    // the thread. Returns the number of records that could not be written. Idempotent.
    uint64_t stop();
    Stats stats() const;

  private:
    void run();

    std::unique_ptr<RecordOutput> output_;
    MessageFn message_;
    std::size_t maxHeld_;
    std::chrono::milliseconds retry_;

    mutable std::mutex mutex_;
    std::condition_variable wake_;
    std::vector<Record> queue_;                // handed over, not yet taken by the thread
    std::map<std::string, uint64_t> cursors_;  // handed over, not yet taken by the thread
    bool stop_ = false;
    bool reopen_ = false;
    Stats stats_;  // under mutex_
    uint64_t lost_ = 0;
    std::thread thread_;
};

}  // namespace vantrel::acquire
