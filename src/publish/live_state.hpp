// vantrel publishing: what the live page and the metrics show: per channel its last value, its
// minimum, maximum and mean since the run started, and its recent history with the gaps and
// reconnects marked.
#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <map>
#include <optional>
#include <string>
#include <tuple>
#include <vector>

#include "board_worker.hpp"
#include "log_config.hpp"
#include "record.hpp"

namespace vantrel::publish {

struct ChannelState {
    std::string board;
    int bits = 0;
    int channel = 0;
    std::string name;
    std::string unit;
    std::optional<double> last;                    // the last good value
    acquire::Status status = acquire::Status::Ok;  // of the last record
    std::string text;                              // of the last record
    int64_t lastMs = 0;  // the last record's time, ms since the epoch; 0: none yet
    double min = 0, max = 0, sum = 0;
    uint64_t count = 0;  // good readings
    // [ms, value]; a point without a value breaks the line where the board went away.
    std::deque<std::pair<int64_t, std::optional<double>>> points;
    // [ms, "gap", "reconnect" or "alarm", why]
    std::deque<std::tuple<int64_t, std::string, std::string>> marks;
    // The channel's limits ("high", "low", and "away" in seconds) and whether each is raised.
    struct Limit {
        std::string name;
        double threshold = 0;
        bool raised = false;
    };
    std::vector<Limit> limits;
};

class LiveState {
  public:
    static constexpr std::size_t kMaxPoints = 3000;  // a channel's history on the page
    static constexpr std::size_t kMaxMarks = 200;

    // Channels of the configuration are shown from the start, before their first reading.
    LiveState(const acquire::LogConfig& config, std::chrono::seconds history);

    // Takes a record into its channel's state (a channel not configured is added).
    void add(const acquire::Record& r);
    const std::vector<ChannelState>& channels() const { return channels_; }
    // The channel's index in channels(), for the page's events.
    std::size_t indexOf(const acquire::Record& r);

  private:
    std::chrono::seconds history_;
    std::vector<ChannelState> channels_;
    std::map<std::pair<std::string, std::string>, std::size_t> index_;  // by board and name
};

// Milliseconds since the epoch.
int64_t epochMs(std::chrono::system_clock::time_point t);

// The Prometheus text exposition of the channels and the boards' counters.
std::string metricsText(const std::vector<ChannelState>& channels,
                        const std::vector<acquire::BoardStatus>& boards);
// A label value with '\', '"' and line ends escaped.
std::string labelValue(std::string_view text);

}  // namespace vantrel::publish
