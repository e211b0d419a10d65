// vantrel recorder: one board on a thread of its own, with its own event loop. Its channels are
// grouped by period; each group's rounds are paced on deadlines. A board that stalls or times
// out delays only its own rounds.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "fd.hpp"
#include "log_config.hpp"
#include "record.hpp"

namespace vantrel::acquire {

// What a board has done so far, for the status.
struct BoardStatus {
    std::string name;
    std::string device;
    std::string state = "starting";  // "recording", "away", "stopped"
    std::optional<std::chrono::system_clock::time_point> lastTime;
    std::string lastChannel;  // the name of the channel read last
    std::optional<double> lastValue;
    uint64_t readings = 0;  // good ones
    uint64_t errors = 0;
    uint64_t overruns = 0;  // rounds that did not end within their period
    uint64_t skipped = 0;   // deadlines left out after overruns
    uint64_t gaps = 0;      // times the board went away (or could not be opened)
    uint64_t reconnects = 0;
    std::string lastError;
};

// A change of a board's presence worth a line in a service's journal, said once each time.
enum class BoardEvent {
    CannotOpen,  // not opened at the start (nor since)
    Away,        // it was recording and went away
    Back,        // it opened after either
};

class BoardWorker {
  public:
    using Sink = std::function<void(Record)>;
    // Called on the board's thread with the event and, for the first two, the reason.
    using Notice = std::function<void(BoardEvent, const std::string& why)>;

    // `t0`: the run's start, shared by every board, from which deadlines and `mono` count. No
    // round due at or after `end` is started (none: until stopped). Starts the thread at once.
    BoardWorker(BoardConfig config, std::chrono::steady_clock::time_point t0,
                std::optional<std::chrono::steady_clock::time_point> end, Sink sink,
                Notice notice = {});
    // Stops as stop() does.
    ~BoardWorker();
    BoardWorker(const BoardWorker&) = delete;
    BoardWorker& operator=(const BoardWorker&) = delete;

    // Asks the thread to end after the reading in progress, without waiting. Thread-safe.
    void requestStop();
    // Asks, and waits for the thread to end. Idempotent.
    void stop();
    BoardStatus status() const;
    // Whether the board has been opened once (or the thread has given up for good).
    bool started() const { return started_.load(); }
    // Whether the thread has ended (its last round before the end is done, or stop()).
    bool finished() const { return finished_.load(); }

  private:
    void run();

    BoardConfig config_;
    std::chrono::steady_clock::time_point t0_;
    std::optional<std::chrono::steady_clock::time_point> end_;
    Sink sink_;
    Notice notice_;
    Fd wake_;  // eventfd: stop() wakes the thread's loop through it
    std::atomic<bool> stop_{false};
    std::atomic<bool> started_{false};
    std::atomic<bool> finished_{false};
    mutable std::mutex mutex_;
    BoardStatus status_;
    std::thread thread_;
};

}  // namespace vantrel::acquire
