// vantrel recorder: what a run records, from a TOML file or from the command line's options.
#pragma once

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "calibration.hpp"

namespace vantrel::acquire {

// Seconds between a board's converter checks, unless told.
inline constexpr double kDefaultCheck = 1.0;
inline constexpr double kMaxCheck = 3600;

// A channel's limits: an alarm is raised once the value has stayed beyond a limit for
// `forSeconds`, and cleared once it is back inside by `hysteresis` or more.
struct LimitsConfig {
    std::optional<double> high;
    std::optional<double> low;
    double hysteresis = 0;
    double forSeconds = 0;

    bool any() const { return high || low; }
};

struct ChannelConfig {
    std::string name;  // "10:3" unless named
    int bits = 10;
    int channel = 0;
    std::string unit;
    Calibration calibration;
    double period = 1.0;  // seconds
    LimitsConfig limits;
    // Conversions a reading takes, one after the other: its value is their mean, and the
    // smallest and largest of them are kept beside it. 1: a reading is one conversion.
    int average = 1;
};

struct BoardConfig {
    std::string name;
    // A path (/dev/ttyUSB0, a /dev/serial/by-id link) or a URL; empty when `port` is set.
    std::string device;
    std::optional<int> port;  // COM number, through the port map
    // The device the board is on when `device` reaches it through another program (the daemon's
    // socket): what the published outputs name as its model. Empty: `device` itself.
    std::string origin;
    int32_t baud = 9600;
    // Seconds between checks of the converters read on their half-scale reference; readings are
    // held until the next check and kept only when it passes. 0: never checked, kept at once.
    double check = kDefaultCheck;
    std::vector<ChannelConfig> channels;
    // Seconds the board may be away before its alarm is raised; none: no alarm.
    std::optional<double> away;
};

struct RotateConfig {
    uint64_t maxBytes = 0;  // 0: no rotation by size
    bool daily = false;     // a new file when the UTC day changes
    double retainDays = 0;  // older records and rotated files removed; 0: kept
};

// Where readings are published besides the output file (src/publish). An empty address leaves
// that output out.
struct PublishConfig {
    std::string http;            // the live page: HOST:PORT, :PORT or PORT (host 127.0.0.1)
    double httpMinutes = 10;     // how far back the page's plots go
    std::string metrics;         // Prometheus' /metrics: HOST:PORT
    std::string mqtt;            // mqtt://HOST:PORT/PREFIX
    bool mqttDiscovery = false;  // Home Assistant discovery messages
    std::string influx;          // http://HOST:PORT/DB
    std::string credentials;     // the file of the MQTT and InfluxDB credentials
    std::size_t queue = 0;       // readings each MQTT or InfluxDB output holds; 0: its default
    bool allowRemote = false;    // listeners may bind addresses other than loopback
    // Names (besides their address and localhost) the listeners answer to in a request's Host.
    std::vector<std::string> allowHosts;

    bool any() const {
        return !http.empty() || !metrics.empty() || !mqtt.empty() || !influx.empty();
    }
};

struct LogConfig {
    std::vector<BoardConfig> boards;
    std::string out = "vantrel-log.sqlite";
    std::string status;   // the status file; empty: "<out>.status.json"
    double duration = 0;  // seconds; 0: until stopped
    RotateConfig rotate;
    PublishConfig publish;
    std::string source;  // the file read, for messages

    std::string statusPath() const { return status.empty() ? out + ".status.json" : status; }
};

// A configuration that cannot be used. The message names the file, line and key:
// "lab.toml:12:1: board[1].channel[2].bits: must be 8, 10 or 12, got 9".
class ConfigError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

// Reads a configuration from TOML text; `fileName` is used in messages. Throws ConfigError.
LogConfig parseConfig(std::string_view text, const std::string& fileName);
// Reads the file. Throws ConfigError, also when it cannot be read.
LogConfig loadConfig(const std::string& path);

// The last channel number of a converter width (the converter catalogue's), or -1 for a width
// there is no converter of.
int lastChannelOf(int bits);
// Checks a configuration built in code (the command line's options): every board with a
// device or a port and at least one channel, names unique, widths, channels and periods in
// range. Throws ConfigError without a line.
void checkConfig(const LogConfig& config);

// Checks a channel's limits: high above low, hysteresis and for only beside a limit. Throws
// ConfigError without a place.
void checkLimits(const LimitsConfig& limits);

// Whether a channel of the run averages conversions: its CSV file then has the min and max
// columns.
bool averages(const LogConfig& config);

// Conversions a reading may average: a thousand take 24 s at 9600 baud.
inline constexpr int kMaxAverage = 1000;

// Periods a channel may have, in seconds.
inline constexpr double kMinPeriod = 0.001;
inline constexpr double kMaxPeriod = 86400;

}  // namespace vantrel::acquire
