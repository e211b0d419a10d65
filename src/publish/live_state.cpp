// vantrel publishing: the live state of the channels.
#include "live_state.hpp"

#include <algorithm>
#include <cmath>

#include "alarms.hpp"

namespace vantrel::publish {

using acquire::Record;
using acquire::Status;

int64_t epochMs(std::chrono::system_clock::time_point t) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(t.time_since_epoch()).count();
}

LiveState::LiveState(const acquire::LogConfig& config, std::chrono::seconds history)
    : history_(history) {
    for (const acquire::BoardConfig& b : config.boards)
        for (const acquire::ChannelConfig& c : b.channels) {
            Record r;
            r.board = b.name;
            r.bits = c.bits;
            r.channel = c.channel;
            r.name = c.name;
            r.unit = c.unit;
            ChannelState& s = channels_[indexOf(r)];
            if (c.limits.high) s.limits.push_back({"high", *c.limits.high});
            if (c.limits.low) s.limits.push_back({"low", *c.limits.low});
            if (b.away) s.limits.push_back({"away", *b.away});
        }
}

std::size_t LiveState::indexOf(const Record& r) {
    // By name, as the run file gives it: one converter channel read twice (volts and counts)
    // is two channels here.
    const auto key = std::make_pair(r.board, r.name);
    const auto it = index_.find(key);
    if (it != index_.end()) return it->second;
    ChannelState c;
    c.board = r.board;
    c.bits = r.bits;
    c.channel = r.channel;
    c.name = r.name;
    c.unit = r.unit;
    channels_.push_back(std::move(c));
    index_.emplace(key, channels_.size() - 1);
    return channels_.size() - 1;
}

void LiveState::add(const Record& r) {
    ChannelState& c = channels_[indexOf(r)];
    const int64_t ms = epochMs(r.time);
    // An alarm is a mark and a limit's state; the channel's last reading stays what it was.
    if (const std::optional<acquire::AlarmChange> alarm = acquire::alarmOf(r)) {
        const std::string name = acquire::alarmLimitName(alarm->limit);
        auto it = std::find_if(c.limits.begin(), c.limits.end(),
                               [&](const ChannelState::Limit& l) { return l.name == name; });
        if (it == c.limits.end()) it = c.limits.insert(c.limits.end(), {name, alarm->threshold});
        it->threshold = alarm->threshold;
        it->raised = alarm->raised;
        c.marks.emplace_back(ms, "alarm", r.text);
        while (c.marks.size() > kMaxMarks) c.marks.pop_front();
        return;
    }
    const bool wasAway = c.status == Status::Gap;
    c.status = r.status;
    c.text = r.text;
    c.lastMs = ms;
    if (r.status == Status::Gap) {
        c.points.emplace_back(ms, std::nullopt);
        c.marks.emplace_back(ms, "gap", r.text);
    } else if (r.status == Status::Ok && r.value && std::isfinite(*r.value)) {
        if (wasAway) c.marks.emplace_back(ms, "reconnect", "");
        const double v = *r.value;
        c.last = v;
        c.min = c.count == 0 ? v : std::min(c.min, v);
        c.max = c.count == 0 ? v : std::max(c.max, v);
        c.sum += v;
        ++c.count;
        // A channel faster than the history holds keeps one point per slot of its span.
        const int64_t slot =
            std::chrono::milliseconds(history_).count() / static_cast<int64_t>(kMaxPoints);
        if (c.points.empty() || !c.points.back().second || ms - c.points.back().first >= slot)
            c.points.emplace_back(ms, v);
        else
            c.points.back().second = v;
    }
    const int64_t oldest = ms - std::chrono::milliseconds(history_).count();
    while (!c.points.empty() && (c.points.front().first < oldest || c.points.size() > kMaxPoints))
        c.points.pop_front();
    while (!c.marks.empty() &&
           (std::get<0>(c.marks.front()) < oldest || c.marks.size() > kMaxMarks))
        c.marks.pop_front();
}

std::string labelValue(std::string_view text) {
    std::string out;
    for (const char ch : text) {
        if (ch == '\\')
            out += "\\\\";
        else if (ch == '"')
            out += "\\\"";
        else if (ch == '\n')
            out += "\\n";
        else
            out += ch;
    }
    return out;
}

std::string metricsText(const std::vector<ChannelState>& channels,
                        const std::vector<acquire::BoardStatus>& boards) {
    std::string out;
    const auto family = [&out](const char* name, const char* type, const char* help) {
        out += std::string("# HELP ") + name + " " + help + "\n# TYPE " + name + " " + type + "\n";
    };
    // A channel whose board is away or whose last reading failed has no sample: Prometheus
    // then shows the gap instead of a stale value.
    const auto current = [](const ChannelState& c) {
        return c.last && std::isfinite(*c.last) && c.status == Status::Ok;
    };
    const auto labels = [](const ChannelState& c, const std::string& more = {}) {
        return "{board=\"" + labelValue(c.board) + "\",channel=\"" + std::to_string(c.channel) +
               "\",bits=\"" + std::to_string(c.bits) + "\",name=\"" + labelValue(c.name) +
               "\",unit=\"" + labelValue(c.unit) + "\"" + more + "}";
    };
    family("vantrel_value", "gauge", "The channel's last reading through its calibration.");
    for (const ChannelState& c : channels)
        if (current(c))
            out += "vantrel_value" + labels(c) + " " + acquire::numberText(*c.last) + "\n";
    family("vantrel_channel_readings_total", "counter", "Good readings of the channel.");
    for (const ChannelState& c : channels)
        out += "vantrel_channel_readings_total" + labels(c) + " " + std::to_string(c.count) + "\n";
    const auto limits = [&](const char* name, const char* help, auto value) {
        family(name, "gauge", help);
        for (const ChannelState& c : channels)
            for (const ChannelState::Limit& l : c.limits)
                out += name + labels(c, ",limit=\"" + l.name + "\"") + " " + value(l) + "\n";
    };
    limits("vantrel_alarm", "1 while the alarm of the channel's limit is raised, 0 otherwise.",
           [](const ChannelState::Limit& l) { return l.raised ? "1" : "0"; });
    limits("vantrel_alarm_limit", "The channel's limit (in its unit; away: in seconds).",
           [](const ChannelState::Limit& l) { return acquire::numberText(l.threshold); });
    const auto counter = [&](const char* name, const char* help, auto field) {
        family(name, "counter", help);
        for (const acquire::BoardStatus& b : boards)
            out += std::string(name) + "{board=\"" + labelValue(b.name) + "\"} " +
                   std::to_string(b.*field) + "\n";
    };
    counter("vantrel_readings_total", "Good readings of the board.",
            &acquire::BoardStatus::readings);
    counter("vantrel_errors_total", "Readings of the board that failed.",
            &acquire::BoardStatus::errors);
    counter("vantrel_gaps_total", "Times the board went away or could not be opened.",
            &acquire::BoardStatus::gaps);
    counter("vantrel_reconnects_total", "Times the board came back.",
            &acquire::BoardStatus::reconnects);
    counter("vantrel_overruns_total", "Rounds that did not end within their period.",
            &acquire::BoardStatus::overruns);
    family("vantrel_board_up", "gauge", "1 while the board is recording, 0 otherwise.");
    for (const acquire::BoardStatus& b : boards)
        out += "vantrel_board_up{board=\"" + labelValue(b.name) + "\"} " +
               (b.state == "recording" ? "1" : "0") + "\n";
    return out;
}

}  // namespace vantrel::publish
