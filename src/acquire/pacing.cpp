// vantrel recorder: rounds paced on deadlines.
#include "pacing.hpp"

#include <algorithm>
#include <stdexcept>

namespace vantrel::acquire {

Pacer::Pacer(Clock::time_point t0, Clock::duration period) : t0_(t0), period_(period) {
    if (period <= Clock::duration::zero())
        throw std::invalid_argument("the period must be more than zero");
}

bool Pacer::finish(Clock::time_point now) {
    const uint64_t next = round_ + 1;
    // The first deadline strictly after now (a round ending exactly on the next deadline did
    // not overrun: the next round starts at once, on time).
    uint64_t first = next;
    if (now > t0_) {
        const auto elapsed = now - t0_;
        first = static_cast<uint64_t>(elapsed / period_) + 1;
        if (elapsed % period_ == Clock::duration::zero()) --first;
    }
    if (first <= next) {
        round_ = next;
        return false;
    }
    ++overruns_;
    skipped_ += first - next;
    round_ = first;
    return true;
}

uint64_t Pacer::catchUp(Clock::time_point now, std::optional<Clock::time_point> end) {
    if (now <= t0_) return 0;
    uint64_t last = static_cast<uint64_t>((now - t0_) / period_);
    if (end && *end > t0_) {
        // The first deadline at or after the end is not a round's.
        const auto span = *end - t0_;
        const auto atEnd = static_cast<uint64_t>(span / period_) +
                           (span % period_ == Clock::duration::zero() ? 0 : 1);
        if (atEnd == 0) return 0;
        last = std::min(last, atEnd - 1);
    }
    if (last <= round_) return 0;
    const uint64_t left = last - round_;
    skipped_ += left;
    round_ = last;
    return left;
}

}  // namespace vantrel::acquire
