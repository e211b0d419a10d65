// vantrel recorder: a board's alarms.
#include "alarms.hpp"

#include <charconv>
#include <cmath>

namespace vantrel::acquire {

namespace {

std::chrono::system_clock::duration secondsOf(double s) {
    return std::chrono::duration_cast<std::chrono::system_clock::duration>(
        std::chrono::duration<double>(s));
}

}  // namespace

const char* alarmLimitName(AlarmLimit limit) noexcept {
    switch (limit) {
        case AlarmLimit::High:
            return "high";
        case AlarmLimit::Low:
            return "low";
        case AlarmLimit::Away:
            return "away";
    }
    return "";
}

std::string alarmText(const AlarmChange& change) {
    return std::string(alarmLimitName(change.limit)) + (change.raised ? " raised " : " cleared ") +
           numberText(change.threshold);
}

std::optional<AlarmChange> alarmOf(const Record& r) {
    if (r.status != Status::Alarm) return std::nullopt;
    const std::string_view t = r.text;
    const std::size_t a = t.find(' ');
    const std::size_t b = a == std::string_view::npos ? a : t.find(' ', a + 1);
    if (b == std::string_view::npos) return std::nullopt;
    AlarmChange c;
    const std::string_view limit = t.substr(0, a), state = t.substr(a + 1, b - a - 1);
    if (limit == "high")
        c.limit = AlarmLimit::High;
    else if (limit == "low")
        c.limit = AlarmLimit::Low;
    else if (limit == "away")
        c.limit = AlarmLimit::Away;
    else
        return std::nullopt;
    if (state != "raised" && state != "cleared") return std::nullopt;
    c.raised = state == "raised";
    const char* end = t.data() + t.size();
    const auto [at, ec] = std::from_chars(t.data() + b + 1, end, c.threshold);
    if (ec != std::errc() || at != end) return std::nullopt;
    return c;
}

AlarmWatch::AlarmWatch(const BoardConfig& board) : board_(&board) {
    for (const ChannelConfig& c : board.channels) channels_.push_back({&c, {}, {}});
}

Record AlarmWatch::alarmRecord(const Record& from, const ChannelConfig& c,
                               const AlarmChange& change) {
    Record r;
    r.time = from.time;
    r.mono = from.mono;
    r.board = board_->name;
    r.bits = c.bits;
    r.channel = c.channel;
    r.name = c.name;
    r.unit = c.unit;
    if (change.limit != AlarmLimit::Away) {
        r.raw = from.raw;
        r.value = from.value;
    }
    r.status = Status::Alarm;
    r.text = alarmText(change);
    return r;
}

void AlarmWatch::step(const Record& r, const ChannelConfig& c, Side& side, AlarmLimit limit,
                      std::vector<Record>& out) {
    const bool high = limit == AlarmLimit::High;
    const std::optional<double>& threshold = high ? c.limits.high : c.limits.low;
    if (!threshold) return;
    const double v = *r.value;
    if (side.raised) {
        // Inside by the hysteresis or more: a value wavering at the limit stays raised.
        const bool back =
            high ? v <= *threshold - c.limits.hysteresis : v >= *threshold + c.limits.hysteresis;
        if (!back) return;
        side.raised = false;
        out.push_back(alarmRecord(r, c, {limit, false, *threshold}));
        return;
    }
    if (!(high ? v > *threshold : v < *threshold)) {
        side.since.reset();
        return;
    }
    if (!side.since) side.since = r.mono;
    if (r.mono - *side.since < c.limits.forSeconds) return;
    side.since.reset();
    side.raised = true;
    out.push_back(alarmRecord(r, c, {limit, true, *threshold}));
}

void AlarmWatch::take(const Record& r, std::vector<Record>& out) {
    // Deadlines an overrun left out say nothing of the value, nor that the board left.
    if (r.status == Status::Alarm || isOverrunGap(r)) return;
    if (r.status == Status::Gap) {
        if (!awaySince_) awaySince_ = r;
        // An absence breaks the time a value has been beyond its limit: it starts again after.
        for (Channel& ch : channels_) {
            ch.high.since.reset();
            ch.low.since.reset();
        }
        return;
    }
    if (awaySince_) {
        if (awayRaised_)
            for (const Channel& ch : channels_)
                out.push_back(alarmRecord(r, *ch.config, {AlarmLimit::Away, false, *board_->away}));
        awaySince_.reset();
        awayRaised_ = false;
    }
    // A failed reading says nothing of the value: the alarms stay as they are.
    if (r.status != Status::Ok || !r.value || !std::isfinite(*r.value)) return;
    for (Channel& ch : channels_) {
        if (ch.config->name != r.name) continue;
        step(r, *ch.config, ch.high, AlarmLimit::High, out);
        step(r, *ch.config, ch.low, AlarmLimit::Low, out);
    }
}

std::optional<double> AlarmWatch::due() const {
    if (!board_->away || !awaySince_ || awayRaised_) return std::nullopt;
    return awaySince_->mono + *board_->away;
}

void AlarmWatch::tick(double mono, std::vector<Record>& out) {
    const std::optional<double> at = due();
    if (!at || mono < *at) return;
    awayRaised_ = true;
    // Raised at the moment the absence reached its limit, whenever the board's loop woke.
    Record when = *awaySince_;
    when.time += secondsOf(*board_->away);
    when.mono = *at;
    for (const Channel& ch : channels_)
        out.push_back(alarmRecord(when, *ch.config, {AlarmLimit::Away, true, *board_->away}));
}

}  // namespace vantrel::acquire
