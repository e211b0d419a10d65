// vantrel: modem-line changes and line errors of a serial device, turned into OnComm codes.
//
// The driver counts every modem-line transition and every line error (TIOCGICOUNT); comparing
// two readings of those counters tells what happened in between, even a pulse too short to be
// seen in the line levels. Where the driver keeps no counters (pseudo-terminals, some USB
// adapters) nothing here runs.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <thread>
#include <vector>

#include "fd.hpp"

namespace vantrel {

// The driver's interrupt counters. They only grow (wrapping), so any difference is an event.
struct LineCounters {
    uint32_t cts = 0;
    uint32_t dsr = 0;
    uint32_t rng = 0;
    uint32_t dcd = 0;
    uint32_t frame = 0;
    uint32_t overrun = 0;  // the UART's receive overrun
    uint32_t parity = 0;
    uint32_t brk = 0;
    uint32_t bufOverrun = 0;  // the kernel's own buffer was full

    bool operator==(const LineCounters&) const = default;
};

// One reading of a device: its counters and, where the driver reports them, the modem-line
// levels as TIOCM_* bits.
struct LineSnapshot {
    LineCounters counters;
    std::optional<int> lines;
};

// Where a device's line state is read from: the driver's ioctls, or a fake in tests.
class LineStateSource {
  public:
    virtual ~LineStateSource() = default;
    // nullopt when the device keeps no counters, or cannot be asked any more.
    virtual std::optional<LineCounters> counters() = 0;
    // The TIOCM_* levels; nullopt when the device does not report them.
    virtual std::optional<int> modemLines() = 0;
};

// Reads TIOCGICOUNT and TIOCMGET on fd, which stays the caller's.
std::unique_ptr<LineStateSource> makeIoctlLineSource(int fd);

// The OnComm codes for what changed between two readings, at most one per kind, in ascending
// order: CTS, DSR, CD (3, 4, 5: a counted transition or a changed level), Ring (6: a counted
// ring edge), Break (1001), Frame (1004), Overrun (1006: the UART's or the kernel buffer's),
// RxParity (1009).
std::vector<int16_t> diffLineState(const LineSnapshot& prev, const LineSnapshot& now);

// Remembers the last reading of one device and reports what changed since.
class LineEventDetector {
  public:
    // nullptr when the source reports no counters: the device cannot tell of line events.
    static std::unique_ptr<LineEventDetector> create(std::unique_ptr<LineStateSource> source);

    // Reads the device and returns the codes for what changed since the last reading. A failed
    // reading reports nothing and keeps the last good one to compare the next with.
    std::vector<int16_t> poll();

  private:
    LineEventDetector(std::unique_ptr<LineStateSource> source, LineSnapshot first)
        : source_(std::move(source)), last_(first) {}

    std::unique_ptr<LineStateSource> source_;
    LineSnapshot last_;
};

// The blocking half of watching a device, run on the helper thread of a LineWaiter.
struct LineWait {
    // Blocks until a modem line may have changed: 0, or -1 with errno (EINTR when a signal
    // interrupted it). Must be interruptible by a signal.
    std::function<int()> wait;
    // The device's counters now; nullopt when they cannot be read.
    std::function<std::optional<LineCounters>()> counters;
};

// Blocks in TIOCMIWAIT for CTS, DSR, CD and RI on fd, which stays the caller's and must stay
// open until the waiter using it is gone.
LineWait ioctlLineWait(int fd);

// A helper thread that sleeps in LineWait::wait and makes an eventfd readable whenever the
// counters moved, so that the loop's thread reads and reports them. The thread touches nothing
// but the device (through the LineWait) and the eventfd. It gives up, leaving the eventfd quiet,
// when the wait fails for any reason but a signal (the driver cannot wait, or the device is
// gone) or keeps returning without the counters moving.
//
// It is stopped by a private real-time signal with a handler that does nothing, which makes
// the blocking call return EINTR; the signal is picked once per process among those with no
// handler yet, from SIGRTMAX down. Every other signal stays blocked on the helper thread.
class LineWaiter {
  public:
    // Consecutive returns without a change after which the thread gives up: a driver whose
    // wait returns at once must not make it spin.
    static constexpr int kIdleReturnLimit = 8;

    // Starts the thread; nullptr when it cannot (no eventfd, no free signal, no thread).
    static std::unique_ptr<LineWaiter> start(LineWait ops);

    // Stops the thread and waits for it to end.
    ~LineWaiter();
    LineWaiter(const LineWaiter&) = delete;
    LineWaiter& operator=(const LineWaiter&) = delete;

    // Readable after the counters moved; drain() makes it quiet again.
    int fd() const { return event_.get(); }
    void drain() noexcept;

    // Waits at most `timeout` for the thread to give up by itself; true once it has.
    bool waitFinished(std::chrono::milliseconds timeout);

  private:
    struct Shared;
    LineWaiter(Fd event, int signal, LineWait ops);
    void run(LineWait ops) noexcept;

    Fd event_;
    int signal_;
    std::unique_ptr<Shared> shared_;
    std::thread thread_;
};

// How a serial component reaches the line state of the devices it opens.
struct LineSupport {
    std::function<std::unique_ptr<LineStateSource>(int fd)> source = makeIoctlLineSource;
    std::function<LineWait(int fd)> wait = ioctlLineWait;
};

}  // namespace vantrel
