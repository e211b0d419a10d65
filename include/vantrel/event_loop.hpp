// vantrel: the event loop every control runs on, and the timer it keeps as a deadline.
#pragma once

#include "vantrel/export.h"

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>

namespace vantrel VANTREL_API {

class EventLoop;

// Owns one watch on an event loop; destroying or resetting it removes the watch.
class WatchHandle {
  public:
    WatchHandle() = default;
    WatchHandle(EventLoop* loop, uint64_t id) : loop_(loop), id_(id) {}
    WatchHandle(WatchHandle&& o) noexcept : loop_(o.loop_), id_(o.id_) { o.loop_ = nullptr; }
    WatchHandle& operator=(WatchHandle&& o) noexcept;
    WatchHandle(const WatchHandle&) = delete;
    WatchHandle& operator=(const WatchHandle&) = delete;
    ~WatchHandle() { reset(); }

    void reset() noexcept;
    // Changes the events watched for (EPOLLIN, EPOLLOUT, ...).
    void modify(uint32_t events);
    explicit operator bool() const noexcept { return loop_ != nullptr; }

  private:
    EventLoop* loop_ = nullptr;
    uint64_t id_ = 0;
};

// A single-threaded event loop. Callbacks run on the thread that pumps the loop.
class EventLoop {
  public:
    using Callback = std::function<void(uint32_t events)>;

    virtual ~EventLoop() = default;

    // Calls cb with the ready events (EPOLLIN, EPOLLOUT, EPOLLHUP, EPOLLERR) while fd is ready.
    // Level-triggered. Throws Error (EventLoopFailed) when the descriptor cannot be watched.
    virtual WatchHandle watch(int fd, uint32_t events, Callback cb) = 0;

    // Blocks until at least one watch is ready, runs every ready callback once, returns.
    // Never spins: with nothing ready it sleeps in the kernel.
    virtual void pumpOnce() = 0;
    // As pumpOnce, waiting at most `timeout`; returns whether any callback ran.
    virtual bool pumpOnce(std::chrono::milliseconds timeout) = 0;

    // For hosts that embed this loop: a descriptor that is readable while something is pending,
    // and a call that runs whatever is pending without blocking. Once a host has asked for the
    // descriptor, a due timer makes it readable too (and a timer disabled after it was armed
    // may leave it readable once, for a pass that then runs nothing).
    virtual int fd() const = 0;
    virtual void dispatchPending() = 0;

    // Timers kept by the loop itself, for Timer implementations (makeLoopTimer). Arming or
    // disarming one makes no system call: a pass that waits sleeps no longer than the nearest
    // armed deadline, and after running the ready watches it runs every timer whose deadline
    // had passed when the wait ended, in the order they were added. A loop that keeps no
    // timers throws Error (TimerFailed) from addTimer.
    using TimePoint = std::chrono::steady_clock::time_point;
    // Adds a disarmed timer; onDue runs on the loop's thread. Returns its id.
    virtual uint64_t addTimer(std::function<void()> onDue);
    // Arms it to run at `due` (never earlier), then every `period` counted from `due`, until
    // disarmed; deadlines that pass while no pass runs make one call. A zero period runs once.
    virtual void armTimer(uint64_t id, TimePoint due, std::chrono::nanoseconds period);
    // Disarms it: from now on it does not run, even when its deadline has passed already.
    virtual void disarmTimer(uint64_t id) noexcept;
    // Removes it; the id is no longer valid. Safe from within its own onDue.
    virtual void removeTimer(uint64_t id) noexcept;

  protected:
    friend class WatchHandle;
    virtual void unwatch(uint64_t id) noexcept = 0;
    virtual void modifyWatch(uint64_t id, uint32_t events) = 0;
};

// The epoll loop, one per thread by default.
std::unique_ptr<EventLoop> makeEpollLoop();
EventLoop& threadLoop();

// A repeating timer: while enabled it ticks once per interval, counting from the moment it
// was enabled. Disabling discards any expiry not yet delivered.
class Timer {
  public:
    virtual ~Timer() = default;
    virtual int32_t Interval() const = 0;
    // Milliseconds; below 1 ticks after 1 ms; negative throws Error 380.
    virtual void Interval(int32_t ms) = 0;
    virtual bool Enabled() const = 0;
    virtual void Enabled(bool on) = 0;
    virtual void setOnTick(std::function<void()> onTick) = 0;
};

// A deadline kept by the given loop (EventLoop::addTimer): no descriptor, no system call.
std::unique_ptr<Timer> makeLoopTimer(EventLoop& loop);

}  // namespace vantrel
