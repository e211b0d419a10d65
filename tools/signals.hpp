// vantrel command-line tool: Ctrl-C and SIGTERM seen on the event loop, and pumping the loop
// until a deadline or a stop.
#pragma once

#include <signal.h>

#include <chrono>
#include <functional>

#include "platform/fd.hpp"
#include "vantrel/platform.hpp"

namespace vantrel::cli {

// Blocks SIGINT and SIGTERM and receives them through a signalfd on the loop, so that an
// operation in progress ends normally and the command stops at its next check. The previous
// signal mask comes back when this is destroyed.
class StopSignals {
  public:
    explicit StopSignals(EventLoop& loop);
    ~StopSignals();
    StopSignals(const StopSignals&) = delete;
    StopSignals& operator=(const StopSignals&) = delete;
    bool raised() const { return raised_; }

  private:
    void drain();
    sigset_t old_{};
    Fd fd_;
    WatchHandle watch_;
    bool raised_ = false;
};

// Pumps the loop until `deadline` passes or stop() holds.
void pumpFor(EventLoop& loop, std::chrono::milliseconds duration,
             const std::function<bool()>& stop);

}  // namespace vantrel::cli
