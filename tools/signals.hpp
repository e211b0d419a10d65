// vantrel command-line tool: Ctrl-C and SIGTERM seen on the event loop, and pumping the loop
// until a deadline or a stop.
#pragma once

#include <signal.h>

#include <chrono>
#include <functional>
#include <string>

#include "fd.hpp"
#include "vantrel/platform.hpp"

namespace vantrel::cli {

// Blocks SIGINT and SIGTERM and receives them through a signalfd on the loop, so that an
// operation in progress ends normally and the command stops at its next check: the first
// signal says so on standard error; a second one ends the process at once, after onSecond
// (which puts the device's line settings back). The previous signal mask comes back when this
// is destroyed.
class StopSignals {
  public:
    explicit StopSignals(EventLoop& loop);
    ~StopSignals();
    StopSignals(const StopSignals&) = delete;
    StopSignals& operator=(const StopSignals&) = delete;

    // Whether a signal came. Looks at the pending signals itself, so that a command that has
    // not pumped the loop since sees them too.
    bool raised() {
        drain();
        return raised_;
    }
    // While one lives, the signals are left to whoever else reads them (the shell's console).
    class Suspension {
      public:
        explicit Suspension(StopSignals& s) : s_(s) { s_.suspend(true); }
        ~Suspension() { s_.suspend(false); }
        Suspension(const Suspension&) = delete;
        Suspension& operator=(const Suspension&) = delete;

      private:
        StopSignals& s_;
    };

    // What the command finishes before it stops, for the first signal's message.
    void setActivity(std::string what) { activity_ = std::move(what); }
    std::function<void()> onSecond;

    // 128 + the number of the first signal received in this process, or 0 when none came.
    static int exitStatus();

  private:
    void drain();
    void suspend(bool on);
    EventLoop& loop_;
    bool suspended_ = false;
    sigset_t old_{};
    Fd fd_;
    WatchHandle watch_;
    bool raised_ = false;
    std::string activity_ = "the call in progress";
};

// SIGINT, SIGTERM and SIGHUP blocked in this thread, and in every thread started after it, and
// received through a descriptor instead (for commands that run threads of their own: take it
// before the first one starts). The previous signal mask comes back when this is destroyed.
class ProcessSignals {
  public:
    ProcessSignals();
    ~ProcessSignals();
    ProcessSignals(const ProcessSignals&) = delete;
    ProcessSignals& operator=(const ProcessSignals&) = delete;
    // Readable when a signal is waiting; read signalfd_siginfo records from it.
    int fd() const { return fd_.get(); }

  private:
    sigset_t old_{};
    Fd fd_;
};

// Pumps the loop until `duration` has passed or stop() holds; passes over the loop at least
// once, without waiting when the duration is zero.
void pumpFor(EventLoop& loop, std::chrono::milliseconds duration,
             const std::function<bool()>& stop);

}  // namespace vantrel::cli
