// Alarms of a channel's limits and of a board away: raised once after `for`, cleared once past
// the hysteresis band, never chattering; their records through the run file, the metrics, the
// live state, the line protocol and the MQTT state; and the away alarm of a board read seldom.
#include <gtest/gtest.h>

#include <cmath>
#include <thread>

#include "alarms.hpp"
#include "influx_output.hpp"
#include "live_state.hpp"
#include "log_config.hpp"
#include "mqtt_output.hpp"
#include "recorder.hpp"
#include "test_support.hpp"

using namespace vantrel::acquire;
using namespace std::chrono_literals;

namespace {

BoardConfig alarmBoard(LimitsConfig limits, std::optional<double> away = std::nullopt) {
    BoardConfig b;
    b.name = "bench";
    b.device = "/dev/null";
    ChannelConfig c;
    c.name = "supply";
    c.bits = 12;
    c.unit = "V";
    c.limits = limits;
    b.channels = {c};
    b.away = away;
    return b;
}

Record alarmInput(double mono, std::optional<double> value, Status status = Status::Ok) {
    Record r;
    r.time = std::chrono::system_clock::time_point(
        std::chrono::milliseconds(static_cast<int64_t>(std::llround(1.8e12 + mono * 1000))));
    r.mono = mono;
    r.board = "bench";
    r.bits = 12;
    r.name = "supply";
    r.unit = "V";
    r.value = value;
    r.status = status;
    return r;
}

// [mono, text] of each alarm record a series of readings 0.5 s apart gives; NAN is a failed
// reading, -INFINITY the board away.
std::vector<std::pair<double, std::string>> alarmsOf(const LimitsConfig& limits,
                                                     const std::vector<double>& values) {
    const BoardConfig b = alarmBoard(limits);
    AlarmWatch watch(b);
    std::vector<Record> out;
    for (std::size_t i = 0; i < values.size(); ++i) {
        const double v = values[i];
        const Status s = std::isnan(v) ? Status::Error : std::isinf(v) ? Status::Gap : Status::Ok;
        watch.take(alarmInput(0.5 * static_cast<double>(i),
                              s == Status::Ok ? std::optional(v) : std::nullopt, s),
                   out);
    }
    std::vector<std::pair<double, std::string>> seen;
    for (const Record& r : out) {
        EXPECT_EQ(r.status, Status::Alarm);
        EXPECT_EQ(r.name, "supply");
        seen.emplace_back(r.mono, r.text);
    }
    return seen;
}

}  // namespace

TEST(Alarms, ForAndHysteresisRaiseOnceAndClearOnce) {
    const double away = -INFINITY, failed = NAN;
    LimitsConfig high;
    high.high = 3;
    high.hysteresis = 0.5;
    high.forSeconds = 1;
    LimitsConfig low;
    low.low = 1;
    low.hysteresis = 0.2;
    using Seen = std::vector<std::pair<double, std::string>>;
    const struct {
        const char* what;
        LimitsConfig limits;
        std::vector<double> values;
        Seen expected;
    } cases[] = {
        {"beyond for exactly `for`, wavering inside the band, then back past it",
         high,
         {2, 3.1, 3.2, 3.3, 2.9, 3.4, 2.6, 2.5, 2.4, 3.05},
         {{1.5, "high raised 3"}, {3.5, "high cleared 3"}}},
        {"beyond for less than `for` twice: never raised", high, {3.1, 3.2, 2.9, 3.1, 3.1, 2}, {}},
        {"at the limit is not beyond it", high, {3, 3, 3, 3}, {}},
        {"a failed reading breaks nothing; an absence starts `for` again",
         high,
         {3.1, failed, 3.2, 2, 3.1, away, 3.1, 3.2, 3.3},
         {{1.0, "high raised 3"}, {1.5, "high cleared 3"}, {4.0, "high raised 3"}}},
        {"a low limit without `for`, chattering at the limit",
         low,
         {1.5, 0.9, 1.1, 0.95, 1.15, 1.2, 0.99, 1.0},
         {{0.5, "low raised 1"}, {2.5, "low cleared 1"}, {3.0, "low raised 1"}}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(alarmsOf(c.limits, c.values), c.expected);
    }
}

// The away alarm falls due `away` seconds after the gap, whenever the board's loop looks, with
// the gap's time plus `away`; each channel's clears with the first record after.
TEST(Alarms, AwayIsDueAfterItsSecondsAndClearsWhenTheBoardIsBack) {
    BoardConfig b = alarmBoard({}, 30);
    b.channels.push_back(b.channels[0]);
    b.channels[1].name = "other";
    AlarmWatch watch(b);
    std::vector<Record> out;
    EXPECT_FALSE(watch.due());
    watch.take(alarmInput(10, std::nullopt, Status::Gap), out);
    watch.take(alarmInput(10.001, std::nullopt, Status::Gap), out);
    ASSERT_TRUE(watch.due());
    EXPECT_EQ(*watch.due(), 40);
    watch.tick(39.9, out);
    EXPECT_TRUE(out.empty());
    watch.tick(41, out);
    ASSERT_EQ(out.size(), 2u);
    EXPECT_EQ(out[0].mono, 40);
    EXPECT_EQ(out[0].time, alarmInput(40, std::nullopt).time);
    EXPECT_EQ(out[1].name, "other");
    EXPECT_EQ(out[1].text, "away raised 30");
    EXPECT_FALSE(watch.due());
    out.clear();
    watch.take(alarmInput(50, 2), out);
    ASSERT_EQ(out.size(), 2u);
    EXPECT_EQ(out[0].text, "away cleared 30");
    const std::optional<AlarmChange> change = alarmOf(out[0]);
    ASSERT_TRUE(change);
    EXPECT_EQ(change->limit, AlarmLimit::Away);
    EXPECT_FALSE(change->raised);
    // Back within its seconds: nothing raised, nothing cleared.
    out.clear();
    watch.take(alarmInput(60, std::nullopt, Status::Gap), out);
    watch.take(alarmInput(61, 2), out);
    EXPECT_TRUE(out.empty());
    EXPECT_FALSE(watch.due());
}

TEST(Alarms, RunFileLimitsAndTheirRefusals) {
    const std::string head =
        "[[board]]\ndevice = \"/dev/x\"\naway = 20\n[[board.channel]]\n"
        "bits = 10\nchannel = 1\n";
    const LogConfig ok =
        parseConfig(head + "high = 3.3\nlow = -1\nhysteresis = 0.1\nfor = 5\n", "lab.toml");
    EXPECT_EQ(ok.boards[0].away, 20);
    const LimitsConfig& l = ok.boards[0].channels[0].limits;
    EXPECT_EQ(l.high, 3.3);
    EXPECT_EQ(l.low, -1);
    EXPECT_EQ(l.hysteresis, 0.1);
    EXPECT_EQ(l.forSeconds, 5);
    const std::pair<std::string, std::string> cases[] = {
        {head + "high = 1\nlow = 1\n", "lab.toml:4:1: board[1].channel[1]: high (1) must be above"},
        {head + "hysteresis = 1\n", "board[1].channel[1]: hysteresis and for need a high or low"},
        {head + "high = 1\nhysteresis = -1\n",
         "lab.toml:8:1: board[1].channel[1].hysteresis: "
         "must not be negative"},
        {head + "high = 1\nfor = -2\n", "board[1].channel[1].for: must be from 0 to 86400"},
        {head + "high = 'x'\n", "board[1].channel[1].high: must be a number, got a string"},
        {"[[board]]\ndevice = \"/dev/x\"\naway = 0\n[[board.channel]]\nbits = 10\nchannel = 1\n",
         "lab.toml:3:1: board[1].away: must be more than 0"},
    };
    for (const auto& [text, expected] : cases) {
        SCOPED_TRACE(text);
        std::string refusal = "accepted";
        try {
            parseConfig(text, "lab.toml");
        } catch (const ConfigError& e) {
            refusal = e.what();
        }
        EXPECT_NE(refusal.find(expected), std::string::npos) << refusal;
    }
}

// An alarm record is its limit's state in the metrics and a mark on the page, never the
// channel's value; in the line protocol it is a series of its own, so it cannot take the place
// of the reading of the same instant; on MQTT it is a retained state below the channel.
TEST(Alarms, EachOutputKeepsTheAlarmApartFromTheReading) {
    using namespace vantrel::publish;
    LimitsConfig limits;
    limits.high = 3;
    LogConfig config;
    config.boards = {alarmBoard(limits, 30)};
    LiveState live(config, 600s);
    const Record reading = alarmInput(1, 3.5);
    Record alarm = reading;
    alarm.status = Status::Alarm;
    alarm.text = alarmText({AlarmLimit::High, true, 3});
    live.add(reading);
    std::string text = metricsText(live.channels(), {});
    const std::string labels =
        "{board=\"bench\",channel=\"0\",bits=\"12\",name=\"supply\",unit=\"V\"";
    EXPECT_NE(text.find("vantrel_alarm" + labels + ",limit=\"high\"} 0\n"), std::string::npos)
        << text;
    live.add(alarm);
    text = metricsText(live.channels(), {});
    EXPECT_NE(text.find("vantrel_alarm" + labels + ",limit=\"high\"} 1\n"), std::string::npos);
    EXPECT_NE(text.find("vantrel_alarm" + labels + ",limit=\"away\"} 0\n"), std::string::npos);
    EXPECT_NE(text.find("vantrel_alarm_limit" + labels + ",limit=\"high\"} 3\n"),
              std::string::npos);
    EXPECT_NE(text.find("vantrel_alarm_limit" + labels + ",limit=\"away\"} 30\n"),
              std::string::npos);
    EXPECT_NE(text.find("vantrel_value" + labels + "} 3.5\n"), std::string::npos) << text;
    const ChannelState& c = live.channels().at(0);
    EXPECT_EQ(c.count, 1u);
    ASSERT_EQ(c.marks.size(), 1u);
    EXPECT_EQ(std::get<1>(c.marks[0]), "alarm");
    EXPECT_EQ(std::get<2>(c.marks[0]), "high raised 3");

    EXPECT_EQ(influxLine(reading).rfind("vantrel,", 0), 0u);
    EXPECT_EQ(influxLine(alarm).rfind("vantrel_alarm,", 0), 0u) << influxLine(alarm);

    EXPECT_EQ(alarmTopic("lab", alarm, "high"), "lab/bench/supply/alarm/high");
    const auto payload = nlohmann::json::parse(alarmPayload(alarm));
    EXPECT_EQ(payload["alarm"], "high");
    EXPECT_EQ(payload["state"], "raised");
    EXPECT_EQ(payload["limit"], 3);
    EXPECT_EQ(payload["value"], 3.5);
    const auto states = alarmStates("lab", config);
    ASSERT_EQ(states.size(), 2u);
    EXPECT_EQ(states[1].first, "lab/bench/supply/alarm/away");
    EXPECT_EQ(nlohmann::json::parse(states[1].second)["state"], "clear");
}

// A board absent from the start of a run shorter than its period: its only round is the first,
// yet its away alarm is raised in the run, at the gap's time plus `away`.
TEST(Alarms, TheAwayAlarmIsRaisedBetweenRounds) {
    vantrel::testing::TempDir dir;
    LogConfig c;
    BoardConfig b = alarmBoard({}, 0.2);
    b.device = dir.file("unplugged");
    b.channels[0].period = 60;
    c.boards = {b};
    c.duration = 0.5;
    c.out = dir.file("x.jsonl");
    Recorder r(c, nullptr);
    const auto deadline = std::chrono::steady_clock::now() + 30s;
    while (!r.finished() && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(10ms);
    ASSERT_TRUE(r.finished());
    r.stop();
    std::vector<nlohmann::json> rows;
    std::istringstream in(vantrel::testing::fileContents(c.out));
    for (std::string line; std::getline(in, line);) rows.push_back(nlohmann::json::parse(line));
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_EQ(rows[0]["status"], "gap");
    EXPECT_EQ(rows[1]["status"], "alarm");
    EXPECT_EQ(rows[1]["text"], "away raised 0.2");
    EXPECT_NEAR(rows[1]["mono"].get<double>(), rows[0]["mono"].get<double>() + 0.2, 1e-6);
}
