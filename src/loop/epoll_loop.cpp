// vantrel: the epoll event loop, the watch handle, and the default loop of each thread.
#include <sys/epoll.h>
#include <sys/timerfd.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <climits>
#include <ctime>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "fd.hpp"
#include "vantrel/error.hpp"
#include "vantrel/platform.hpp"

namespace vantrel {

WatchHandle& WatchHandle::operator=(WatchHandle&& o) noexcept {
    if (this != &o) {
        reset();
        loop_ = o.loop_;
        id_ = o.id_;
        o.loop_ = nullptr;
    }
    return *this;
}

void WatchHandle::reset() noexcept {
    if (loop_ == nullptr) return;
    EventLoop* loop = loop_;
    loop_ = nullptr;
    loop->unwatch(id_);
}

void WatchHandle::modify(uint32_t events) {
    if (loop_ == nullptr) throw Error(err::EventLoopFailed, "modify: the watch has been removed");
    loop_->modifyWatch(id_, events);
}

uint64_t EventLoop::addTimer(std::function<void()>) {
    throw Error(err::TimerFailed, "this event loop keeps no timers");
}
void EventLoop::armTimer(uint64_t, TimePoint, std::chrono::nanoseconds) {
    throw Error(err::TimerFailed, "this event loop keeps no timers");
}
void EventLoop::disarmTimer(uint64_t) noexcept {}
void EventLoop::removeTimer(uint64_t) noexcept {}

namespace {

using Clock = std::chrono::steady_clock;

class EpollLoop final : public EventLoop {
  public:
    EpollLoop() : epfd_(::epoll_create1(EPOLL_CLOEXEC)) {
        if (!epfd_) throw Error(err::EventLoopFailed, sysMessage("epoll_create1", "", errno));
    }

    WatchHandle watch(int fd, uint32_t events, Callback cb) override {
        if (!cb) throw Error(err::EventLoopFailed, "watch: no callback");
        const uint64_t id = nextId_++;
        epoll_event ev{};
        ev.events = events;
        ev.data.u64 = id;
        if (::epoll_ctl(epfd_.get(), EPOLL_CTL_ADD, fd, &ev) != 0) {
            throw Error(err::EventLoopFailed,
                        sysMessage("epoll_ctl add", "fd " + std::to_string(fd), errno));
        }
        watches_[id] = Watch{fd, std::make_shared<Callback>(std::move(cb))};
        byFd_[fd] = id;
        return WatchHandle(this, id);
    }

    void pumpOnce() override {
        epoll_event events[kBatch];
        for (;;) {
            const std::optional<Clock::time_point> due = nearestDue();
            const int n = waitFor(events, due ? std::optional(*due - Clock::now()) : std::nullopt);
            if (n < 0) continue;
            if (pass(events, n)) return;
        }
    }

    bool pumpOnce(std::chrono::milliseconds timeout) override {
        const auto deadline = Clock::now() + timeout;
        epoll_event events[kBatch];
        for (;;) {
            const Clock::time_point now = Clock::now();
            const std::optional<Clock::time_point> due = nearestDue();
            const Clock::time_point until = due && *due < deadline ? *due : deadline;
            const int n = waitFor(events, until - now);
            if (n >= 0) {
                bool ran = false;
                if (pass(events, n, &ran)) return ran;
            }
            if (Clock::now() >= deadline) return false;
        }
    }

    int fd() const override {
        // From now on a host may sleep on this descriptor instead of in a pass: the loop's
        // timer descriptor follows the nearest deadline, so that a due timer wakes the host.
        if (!embedded_) {
            embedded_ = true;
            const_cast<EpollLoop*>(this)->followNearest();
        }
        return epfd_.get();
    }

    void dispatchPending() override {
        epoll_event events[kBatch];
        int n;
        do {
            n = waitFor(events, Clock::duration::zero());
        } while (n < 0);
        pass(events, n);
    }

    uint64_t addTimer(std::function<void()> onDue) override {
        if (!onDue) throw Error(err::TimerFailed, "addTimer: no callback");
        auto cb = std::make_shared<std::function<void()>>(std::move(onDue));
        for (size_t i = 0; i < timers_.size(); ++i) {
            if (timers_[i].cb) continue;
            timers_[i].cb = std::move(cb);
            timers_[i].armed = false;
            return idOf(i);
        }
        timers_.push_back(TimerSlot{std::move(cb), {}, {}, false, 0});
        return idOf(timers_.size() - 1);
    }

    void armTimer(uint64_t id, TimePoint due, std::chrono::nanoseconds period) override {
        TimerSlot* t = slot(id);
        if (t == nullptr) throw Error(err::TimerFailed, "armTimer: unknown timer");
        t->due = due;
        t->period =
            period < std::chrono::nanoseconds::zero() ? std::chrono::nanoseconds::zero() : period;
        t->armed = true;
        if (embedded_) followNearest();
    }

    void disarmTimer(uint64_t id) noexcept override {
        // The timer descriptor, when a host embeds the loop, stays as it is: a stale expiry
        // costs one pass that runs nothing, where following every disarm would cost a call.
        if (TimerSlot* t = slot(id)) t->armed = false;
    }

    void removeTimer(uint64_t id) noexcept override {
        TimerSlot* t = slot(id);
        if (t == nullptr) return;
        t->cb.reset();
        t->armed = false;
        ++t->generation;  // ids of the removed timer no longer match
    }

  protected:
    void unwatch(uint64_t id) noexcept override {
        const auto it = watches_.find(id);
        if (it == watches_.end()) return;
        const int fd = it->second.fd;
        // The descriptor may have been closed and its number reused by a newer watch; only the
        // watch that registered the number last may take it out of the epoll set.
        const auto owner = byFd_.find(fd);
        if (owner != byFd_.end() && owner->second == id) {
            ::epoll_ctl(epfd_.get(), EPOLL_CTL_DEL, fd, nullptr);
            byFd_.erase(owner);
        }
        watches_.erase(it);
    }

    void modifyWatch(uint64_t id, uint32_t events) override {
        const auto it = watches_.find(id);
        if (it == watches_.end()) throw Error(err::EventLoopFailed, "modify: unknown watch");
        epoll_event ev{};
        ev.events = events;
        ev.data.u64 = id;
        if (::epoll_ctl(epfd_.get(), EPOLL_CTL_MOD, it->second.fd, &ev) != 0) {
            throw Error(err::EventLoopFailed,
                        sysMessage("epoll_ctl mod", "fd " + std::to_string(it->second.fd), errno));
        }
    }

  private:
    static constexpr int kBatch = 64;
    // The epoll data of the loop's own timer descriptor; watch ids start at 1.
    static constexpr uint64_t kTimerFdId = 0;

    struct Watch {
        int fd;
        // Shared so that a callback which removes its own watch keeps running on a live object.
        std::shared_ptr<Callback> cb;
    };

    struct TimerSlot {
        // Shared for the same reason; empty while the slot is free.
        std::shared_ptr<std::function<void()>> cb;
        Clock::time_point due;
        std::chrono::nanoseconds period;
        bool armed;
        uint32_t generation;
    };

    uint64_t idOf(size_t index) const {
        return (uint64_t{timers_[index].generation} << 32) | index;
    }

    TimerSlot* slot(uint64_t id) {
        const size_t index = id & 0xFFFFFFFFu;
        if (index >= timers_.size()) return nullptr;
        TimerSlot& t = timers_[index];
        if (!t.cb || t.generation != (id >> 32)) return nullptr;
        return &t;
    }

    std::optional<Clock::time_point> nearestDue() const {
        std::optional<Clock::time_point> nearest;
        for (const TimerSlot& t : timers_)
            if (t.armed && (!nearest || t.due < *nearest)) nearest = t.due;
        return nearest;
    }

    // Waits at most `timeout` (forever when empty). The number of ready events, or -1 when a
    // signal interrupted the wait.
    int waitFor(epoll_event* events, std::optional<Clock::duration> timeout) {
        int n;
        if (!timeout) {
            n = ::epoll_wait(epfd_.get(), events, kBatch, -1);
        } else if (*timeout <= Clock::duration::zero()) {
            n = ::epoll_wait(epfd_.get(), events, kBatch, 0);
        } else {
            n = waitAtMost(events, *timeout);
        }
        if (n >= 0) return n;
        if (errno == EINTR) return -1;
        throw Error(err::EventLoopFailed, sysMessage("epoll_wait", "", errno));
    }

    // A wait to the nanosecond where the kernel has it, else to the next whole millisecond. The
    // kernel lets such a wait end late by up to a thousandth of its length (a two-hundredth for a
    // niced process, 100 ms at most): 8 ms for the 8.3 s reply timer at 300 baud. So a long
    // wait ends that much early instead; the callers wait again until their deadline, and the
    // rest is a short wait whose own slack is negligible. No timer runs early: only those due
    // when a wait ended run.
    int waitAtMost(epoll_event* events, Clock::duration timeout) {
        using namespace std::chrono_literals;
        const Clock::duration early = std::min<Clock::duration>(timeout / 200, 100ms);
        if (early > 50us) timeout -= early;
        static std::atomic<bool> precise{true};
        if (precise.load(std::memory_order_relaxed)) {
            const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(timeout).count();
            const timespec ts{static_cast<time_t>(ns / 1'000'000'000),
                              static_cast<long>(ns % 1'000'000'000)};
            const int n = ::epoll_pwait2(epfd_.get(), events, kBatch, &ts, nullptr);
            if (n >= 0 || errno != ENOSYS) return n;
            precise.store(false, std::memory_order_relaxed);
        }
        const auto ms = std::chrono::ceil<std::chrono::milliseconds>(timeout).count();
        return ::epoll_wait(epfd_.get(), events, kBatch,
                            ms > INT_MAX ? INT_MAX : static_cast<int>(ms));
    }

    // One pass over what the wait returned: the ready watches, then the timers that were due
    // when the wait ended. A deadline that passes while the watches run belongs to the next
    // pass, as an expiry after the wait would: a reply that was in before its deadline is not
    // turned into a timeout by the time its own handling takes. Returns whether the pass is
    // complete for a caller that waits for something to happen: a watch was ready or a timer
    // ran (not when only the loop's own timer descriptor woke it, or the wait ended before a
    // deadline). *ran tells whether any callback ran.
    bool pass(const epoll_event* events, int n, bool* ran = nullptr) {
        const Clock::time_point woke = timers_.empty() ? Clock::time_point() : Clock::now();
        bool any = false, ready = false;
        for (int i = 0; i < n; ++i) {
            const uint64_t id = events[i].data.u64;
            if (id == kTimerFdId) {
                uint64_t expirations;
                [[maybe_unused]] const ssize_t r =
                    ::read(timerFd_.get(), &expirations, sizeof expirations);
                timerFdDue_.reset();
                continue;
            }
            ready = true;
            const auto it = watches_.find(id);
            if (it == watches_.end()) continue;
            const std::shared_ptr<Callback> cb = it->second.cb;
            any = true;
            (*cb)(events[i].events);
        }
        any |= runDueTimers(woke);
        if (embedded_) followNearest();
        if (ran) *ran = any;
        return any || ready;
    }

    // Runs each armed timer whose deadline had passed at `now`, once, after moving its deadline
    // on.
    bool runDueTimers(Clock::time_point now) {
        bool any = false;
        // By index: a callback may add timers (growing the vector) or remove any of them.
        for (size_t i = 0; i < timers_.size(); ++i) {
            TimerSlot& t = timers_[i];
            if (!t.armed || t.due > now) continue;
            if (t.period > std::chrono::nanoseconds::zero()) {
                // The first deadline after now on the timer's own grid.
                t.due += t.period * ((now - t.due) / t.period + 1);
            } else {
                t.armed = false;
            }
            const std::shared_ptr<std::function<void()>> cb = t.cb;
            any = true;
            (*cb)();
        }
        return any;
    }

    // Keeps the timer descriptor armed no later than the nearest deadline. It is moved only
    // earlier, or armed again after it has fired.
    void followNearest() {
        const std::optional<Clock::time_point> due = nearestDue();
        if (!due || (timerFdDue_ && *timerFdDue_ <= *due)) return;
        if (!timerFd_) {
            timerFd_ = Fd(::timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC));
            if (!timerFd_) throw Error(err::TimerFailed, sysMessage("timerfd_create", "", errno));
            epoll_event ev{};
            ev.events = EPOLLIN;
            ev.data.u64 = kTimerFdId;
            if (::epoll_ctl(epfd_.get(), EPOLL_CTL_ADD, timerFd_.get(), &ev) != 0) {
                const int e = errno;
                timerFd_.reset();
                throw Error(err::TimerFailed, sysMessage("epoll_ctl add", "timerfd", e));
            }
        }
        // steady_clock is CLOCK_MONOTONIC: its count is the descriptor's absolute time.
        const auto ns =
            std::chrono::duration_cast<std::chrono::nanoseconds>(due->time_since_epoch()).count();
        itimerspec when{};
        when.it_value.tv_sec = static_cast<time_t>(ns / 1'000'000'000);
        when.it_value.tv_nsec = static_cast<long>(ns % 1'000'000'000);
        if (when.it_value.tv_sec == 0 && when.it_value.tv_nsec == 0) when.it_value.tv_nsec = 1;
        if (::timerfd_settime(timerFd_.get(), TFD_TIMER_ABSTIME, &when, nullptr) != 0)
            throw Error(err::TimerFailed, sysMessage("timerfd_settime", "", errno));
        timerFdDue_ = *due;
    }

    Fd epfd_;
    uint64_t nextId_ = 1;
    std::unordered_map<uint64_t, Watch> watches_;
    std::unordered_map<int, uint64_t> byFd_;
    std::vector<TimerSlot> timers_;
    // Only once a host has asked for fd(): a timer descriptor that follows the nearest deadline.
    mutable bool embedded_ = false;
    Fd timerFd_;
    std::optional<Clock::time_point> timerFdDue_;
};

}  // namespace

std::unique_ptr<EventLoop> makeEpollLoop() {
    return std::make_unique<EpollLoop>();
}

EventLoop& threadLoop() {
    thread_local const std::unique_ptr<EventLoop> loop = makeEpollLoop();
    return *loop;
}

}  // namespace vantrel
