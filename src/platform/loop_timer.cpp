// vantrel: the repeating timer, a timerfd watched on an event loop.
#include <sys/epoll.h>
#include <sys/timerfd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <functional>
#include <memory>

#include "platform/fd.hpp"
#include "vantrel/error.hpp"
#include "vantrel/platform.hpp"

namespace vantrel {

namespace {

class LoopTimer final : public Timer {
  public:
    explicit LoopTimer(EventLoop& loop)
        : tfd_(::timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC)) {
        if (!tfd_) throw Error(err::TimerFailed, sysMessage("timerfd_create", "", errno));
        // A timerfd is readable only after an expiry, so the watch can stay for the timer's life.
        watch_ = loop.watch(tfd_.get(), EPOLLIN, [this](uint32_t) { onExpired(); });
    }

    int32_t Interval() const override { return interval_; }

    void Interval(int32_t ms) override {
        if (ms < 0) throw Error(err::InvalidPropertyValue);
        interval_ = ms;
        if (enabled_) arm();
    }

    bool Enabled() const override { return enabled_; }

    void Enabled(bool on) override {
        if (on == enabled_) return;
        if (on) {
            arm();
        } else {
            disarm();
        }
        enabled_ = on;
    }

    void setOnTick(std::function<void()> onTick) override {
        onTick_ = std::make_shared<std::function<void()>>(std::move(onTick));
    }

  private:
    void arm() { settime(std::max<int32_t>(interval_, 1)); }

    // Setting the time also zeroes the kernel's count of expirations, so an expiry not yet
    // delivered cannot surface as a tick of a later use, and no read is needed to drop it.
    void disarm() { settime(0); }

    void settime(int32_t ms) {
        itimerspec when{};
        when.it_value.tv_sec = ms / 1000;
        when.it_value.tv_nsec = static_cast<long>(ms % 1000) * 1000000L;
        when.it_interval = when.it_value;
        if (::timerfd_settime(tfd_.get(), 0, &when, nullptr) != 0) {
            throw Error(err::TimerFailed, sysMessage("timerfd_settime", "", errno));
        }
    }

    void onExpired() {
        // Several expirations since the last pass make one tick.
        uint64_t expirations = 0;
        const ssize_t r = ::read(tfd_.get(), &expirations, sizeof expirations);
        if (r != static_cast<ssize_t>(sizeof expirations)) {
            // EAGAIN: an earlier callback of this pass disabled or re-armed the timer.
            if (r < 0 && errno != EAGAIN && errno != EINTR) {
                throw Error(err::TimerFailed, sysMessage("read", "timerfd", errno));
            }
            return;
        }
        if (!enabled_ || !onTick_ || !*onTick_) return;
        // The handler may replace itself or destroy this timer: hold it, touch nothing after.
        const std::shared_ptr<std::function<void()>> onTick = onTick_;
        (*onTick)();
    }

    Fd tfd_;
    WatchHandle watch_;  // declared after tfd_: removed from the loop before the close
    int32_t interval_ = 0;
    bool enabled_ = false;
    std::shared_ptr<std::function<void()>> onTick_;
};

}  // namespace

std::unique_ptr<Timer> makeLoopTimer(EventLoop& loop) {
    return std::make_unique<LoopTimer>(loop);
}

}  // namespace vantrel
