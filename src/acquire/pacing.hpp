// vantrel recorder: rounds paced on deadlines. Round k is due at t0 + k x period, whatever the
// rounds before took: times do not drift. A round that ends after the next deadline has passed
// is an overrun; the next round is due at the first deadline still ahead, so a late round never
// causes a burst of rounds to catch up.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>

namespace vantrel::acquire {

class Pacer {
  public:
    using Clock = std::chrono::steady_clock;

    // Throws std::invalid_argument for a period that is not positive.
    Pacer(Clock::time_point t0, Clock::duration period);

    // When the current round is due.
    Clock::time_point due() const { return t0_ + period_ * static_cast<int64_t>(round_); }
    uint64_t round() const { return round_; }
    Clock::duration period() const { return period_; }

    // The current round ended at `now`: moves on to the next deadline after now. Returns
    // whether the round was an overrun (it ended after the following round was due).
    bool finish(Clock::time_point now);

    // The current round starts only at `now`, more than a period after its deadline (the
    // board took that long to open again, the machine stood still): it counts as the last
    // deadline at or before now, never one at or after `end`, and the deadlines before it are
    // left out. Returns how many.
    uint64_t catchUp(Clock::time_point now, std::optional<Clock::time_point> end = {});

    // Rounds that overran, and deadlines left out because of them or of a late start.
    uint64_t overruns() const { return overruns_; }
    uint64_t skipped() const { return skipped_; }

  private:
    Clock::time_point t0_;
    Clock::duration period_;
    uint64_t round_ = 0;
    uint64_t overruns_ = 0;
    uint64_t skipped_ = 0;
};

}  // namespace vantrel::acquire
