// vantrel recorder: a board's alarms. A channel's value beyond its high or low limit for `for`
// seconds raises that limit's alarm; back inside by the hysteresis, it clears. A board away for
// its `away` seconds raises the away alarm on each of its channels; back, it clears. Each
// change is a record of its own (status "alarm") beside the readings, so every output has it.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "log_config.hpp"
#include "record.hpp"

namespace vantrel::acquire {

enum class AlarmLimit { High, Low, Away };

struct AlarmChange {
    AlarmLimit limit = AlarmLimit::High;
    bool raised = false;
    double threshold = 0;  // the limit's value; seconds for away
};

// "high", "low", "away".
const char* alarmLimitName(AlarmLimit limit) noexcept;
// An alarm record's text: "high raised 3.3", "away cleared 30".
std::string alarmText(const AlarmChange& change);
// The change an alarm record holds; none for another record or a text not made by alarmText.
std::optional<AlarmChange> alarmOf(const Record& r);

class AlarmWatch {
  public:
    explicit AlarmWatch(const BoardConfig& board);

    // The alarm records `r` (a record of this board) raises or clears, appended to `out`.
    void take(const Record& r, std::vector<Record>& out);
    // When the away alarm is due, in the run's seconds (as Record::mono); none while the board
    // is there, has no away limit or its alarm is raised already.
    std::optional<double> due() const;
    // The away alarm records due by `mono`, appended to `out`.
    void tick(double mono, std::vector<Record>& out);

  private:
    struct Side {
        std::optional<double> since;  // mono of the first reading beyond, while not raised
        bool raised = false;
    };
    struct Channel {
        const ChannelConfig* config;
        Side high, low;
    };

    Record alarmRecord(const Record& from, const ChannelConfig& c, const AlarmChange& change);
    void step(const Record& r, const ChannelConfig& c, Side& side, AlarmLimit limit,
              std::vector<Record>& out);

    const BoardConfig* board_;
    std::vector<Channel> channels_;
    // The gap that started the board's absence, while it lasts.
    std::optional<Record> awaySince_;
    bool awayRaised_ = false;
};

}  // namespace vantrel::acquire
