// vantrel: the repeating timer, a deadline kept by the event loop itself.
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>

#include "vantrel/error.hpp"
#include "vantrel/platform.hpp"

namespace vantrel {

namespace {

// Enabling, disabling and changing the interval only move a deadline inside the loop: no system
// call, no allocation. The loop never runs a disarmed timer, so a disabled timer never ticks,
// whatever had expired before.
class LoopTimer final : public Timer {
  public:
    explicit LoopTimer(EventLoop& loop) : loop_(loop), id_(loop.addTimer([this] { onDue(); })) {}
    ~LoopTimer() override { loop_.removeTimer(id_); }
    LoopTimer(const LoopTimer&) = delete;
    LoopTimer& operator=(const LoopTimer&) = delete;

    int32_t Interval() const override { return interval_; }

    void Interval(int32_t ms) override {
        if (ms < 0) throw Error(err::InvalidPropertyValue);
        interval_ = ms;
        if (enabled_) arm();
    }

    bool Enabled() const override { return enabled_; }

    void Enabled(bool on) override {
        if (on == enabled_) return;
        if (on)
            arm();
        else
            loop_.disarmTimer(id_);
        enabled_ = on;
    }

    void setOnTick(std::function<void()> onTick) override {
        onTick_ = std::make_shared<std::function<void()>>(std::move(onTick));
    }

  private:
    // Counting from now; below 1 ms ticks after 1 ms.
    void arm() {
        const std::chrono::milliseconds period(std::max<int32_t>(interval_, 1));
        loop_.armTimer(id_, std::chrono::steady_clock::now() + period, period);
    }

    void onDue() {
        if (!enabled_ || !onTick_ || !*onTick_) return;
        // The handler may replace itself or destroy this timer: hold it, touch nothing after.
        const std::shared_ptr<std::function<void()>> onTick = onTick_;
        (*onTick)();
    }

    EventLoop& loop_;
    const uint64_t id_;
    int32_t interval_ = 0;
    bool enabled_ = false;
    std::shared_ptr<std::function<void()>> onTick_;
};

}  // namespace

std::unique_ptr<Timer> makeLoopTimer(EventLoop& loop) {
    return std::make_unique<LoopTimer>(loop);
}

}  // namespace vantrel
