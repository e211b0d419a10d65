// Alarms of a channel's limits and of a board away: raised once after `for`, cleared once past
// the hysteresis band, never chattering; the run file's limits; each output's form of them; and
// the away alarm of a board read seldom.
#include <gtest/gtest.h>

#include <cmath>
#include <thread>

#include "alarms.hpp"
#include "influx_output.hpp"
#include "live_state.hpp"
#include "mqtt_output.hpp"
#include "recorder.hpp"
#include "test_support.hpp"

using namespace vantrel::acquire;
using namespace std::chrono_literals;

namespace {

BoardConfig alarmBoard(std::optional<double> high, std::optional<double> low, double hysteresis,
                       double forSeconds, std::optional<double> away = std::nullopt) {
    BoardConfig b;
    b.name = "bench";
    b.channels.resize(1);
    b.channels[0].name = "supply";
    b.channels[0].bits = 12;
    b.channels[0].limits = {high, low, hysteresis, forSeconds};
    b.away = away;
    return b;
}

Record alarmInput(double mono, std::optional<double> value, Status status = Status::Ok) {
    Record r;
    r.time = std::chrono::system_clock::time_point(std::chrono::milliseconds(
        1'800'000'000'000 + static_cast<int64_t>(std::llround(mono * 1000))));
    r.mono = mono;
    r.board = "bench";
    r.name = "supply";
    r.value = value;
    r.status = status;
    return r;
}

}  // namespace

// Readings 0.5 s apart; NAN is a failed reading, -INFINITY the board away, INFINITY deadlines
// an overrunning round left out.
TEST(Alarms, ForAndHysteresisRaiseOnceAndClearOnce) {
    const double away = -INFINITY, failed = NAN, overrun = INFINITY;
    const BoardConfig high = alarmBoard(3, std::nullopt, 0.5, 1);
    const BoardConfig low = alarmBoard(std::nullopt, 1, 0.2, 0);
    const struct {
        const char* what;
        const BoardConfig& board;
        std::vector<double> values;
        std::vector<std::pair<double, std::string>> expected;
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
        {"deadlines left out by an overrun break nothing either",
         high,
         {3.1, overrun, 3.2, 2, 3.1, overrun, 3.2},
         {{1.0, "high raised 3"}, {1.5, "high cleared 3"}, {3.0, "high raised 3"}}},
        {"a low limit without `for`, chattering at the limit",
         low,
         {1.5, 0.9, 1.1, 0.95, 1.15, 1.2, 0.99, 1.0},
         {{0.5, "low raised 1"}, {2.5, "low cleared 1"}, {3.0, "low raised 1"}}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        AlarmWatch watch(c.board);
        std::vector<Record> out;
        for (std::size_t i = 0; i < c.values.size(); ++i) {
            const double v = c.values[i];
            const Status s = std::isnan(v)   ? Status::Error
                             : std::isinf(v) ? Status::Gap
                                             : Status::Ok;
            Record r = alarmInput(0.5 * static_cast<double>(i),
                                  s == Status::Ok ? std::optional(v) : std::nullopt, s);
            if (v > 0 && std::isinf(v))
                r.text = "1 deadlines left out: the round took 1 s of its 0.5 s period";
            watch.take(r, out);
        }
        std::vector<std::pair<double, std::string>> seen;
        for (const Record& r : out)
            seen.emplace_back(r.status == Status::Alarm ? r.mono : -1, r.text);
        EXPECT_EQ(seen, c.expected);
    }
}

// Due `away` seconds after the gap, with the gap's time plus those seconds, on every channel;
// cleared by the first record after; back sooner, neither.
TEST(Alarms, AwayIsDueAfterItsSecondsAndClearsWhenTheBoardIsBack) {
    BoardConfig b = alarmBoard(std::nullopt, std::nullopt, 0, 0, 30);
    b.channels.push_back(b.channels[0]);
    b.channels[1].name = "other";
    AlarmWatch watch(b);
    std::vector<Record> out;
    watch.take(alarmInput(10, std::nullopt, Status::Gap), out);
    watch.take(alarmInput(10.001, std::nullopt, Status::Gap), out);
    EXPECT_EQ(watch.due(), 40);
    watch.tick(39.9, out);
    EXPECT_TRUE(out.empty());
    watch.tick(41, out);
    ASSERT_EQ(out.size(), 2u);
    EXPECT_EQ(out[0].time, alarmInput(40, std::nullopt).time);
    EXPECT_EQ(out[1].name, "other");
    EXPECT_EQ(out[1].text, "away raised 30");
    EXPECT_FALSE(watch.due());
    watch.take(alarmInput(50, 2), out);
    ASSERT_EQ(out.size(), 4u);
    const std::optional<AlarmChange> change = alarmOf(out[2]);
    ASSERT_TRUE(change);
    EXPECT_EQ(change->limit, AlarmLimit::Away);
    EXPECT_FALSE(change->raised);
    watch.take(alarmInput(60, std::nullopt, Status::Gap), out);
    watch.take(alarmInput(61, 2), out);
    EXPECT_EQ(out.size(), 4u);
}

TEST(Alarms, RunFileLimitsAndTheirRefusals) {
    const std::string head =
        "[[board]]\ndevice = '/dev/x'\naway = 20\n[[board.channel]]\n"
        "bits = 10\nchannel = 1\n";
    const LogConfig ok =
        parseConfig(head + "high = 3.3\nlow = -1\nhysteresis = 0.1\nfor = 5\n", "a");
    const LimitsConfig& l = ok.boards[0].channels[0].limits;
    EXPECT_EQ(std::tuple(ok.boards[0].away, l.high, l.low, l.hysteresis, l.forSeconds),
              std::tuple(20, 3.3, -1, 0.1, 5));
    const std::pair<std::string, std::string> cases[] = {
        {head + "high = 1\nlow = 1\n", "lab.toml:4:1: board[1].channel[1]: high (1) must be above"},
        {head + "hysteresis = 1\n", "channel[1]: hysteresis and for need a high or low limit"},
        {head + "high = 1\nhysteresis = -1\n",
         "lab.toml:8:1: board[1].channel[1].hysteresis: must"},
        {head + "high = 1\nfor = -2\n", "board[1].channel[1].for: must be from 0 to 86400"},
        {"[[board]]\ndevice = '/dev/x'\naway = 0\n", "lab.toml:3:1: board[1].away: must be more"},
    };
    for (const auto& [text, expected] : cases) {
        std::string refusal = "accepted";
        try {
            parseConfig(text, "lab.toml");
        } catch (const ConfigError& e) {
            refusal = e.what();
        }
        EXPECT_NE(refusal.find(expected), std::string::npos) << refusal;
    }
}

// The metrics hold each limit's state and value beside the channel's value, the page a mark;
// the line protocol puts an alarm in a series of its own (it has its reading's time, and would
// take that reading's place); MQTT gives each limit a retained state below the channel.
TEST(Alarms, EachOutputKeepsTheAlarmApartFromTheReading) {
    using namespace vantrel::publish;
    LogConfig config;
    config.boards = {alarmBoard(3, std::nullopt, 0, 0, 30)};
    LiveState live(config, 600s);
    const Record reading = alarmInput(1, 3.5);
    Record alarm = reading;
    alarm.status = Status::Alarm;
    alarm.text = alarmText({AlarmLimit::High, true, 3});
    live.add(reading);
    live.add(alarm);
    const std::string text = metricsText(live.channels(), {});
    const std::string labels =
        "{board=\"bench\",channel=\"0\",bits=\"12\",name=\"supply\",unit=\"\"";
    for (const std::string& line : {"vantrel_alarm" + labels + ",limit=\"high\"} 1\n",
                                    "vantrel_alarm" + labels + ",limit=\"away\"} 0\n",
                                    "vantrel_alarm_limit" + labels + ",limit=\"away\"} 30\n",
                                    "vantrel_value" + labels + "} 3.5\n"})
        EXPECT_NE(text.find(line), std::string::npos) << line << text;
    ASSERT_EQ(live.channels()[0].marks.size(), 1u);
    EXPECT_EQ(live.channels()[0].marks[0],
              std::tuple(int64_t{1'800'000'001'000}, "alarm", alarm.text));
    EXPECT_EQ(influxLine(alarm).rfind("vantrel_alarm,board=bench,", 0), 0u) << influxLine(alarm);
    EXPECT_EQ(alarmTopic("lab", alarm, "high"), "lab/bench/supply/alarm/high");
    EXPECT_EQ(nlohmann::json::parse(alarmPayload(alarm)),
              nlohmann::json::parse(R"({"alarm": "high", "state": "raised", "limit": 3,
                  "value": 3.5, "time": "2027-01-15T08:00:01.000Z", "board": "bench",
                  "name": "supply", "unit": ""})"));
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
    c.boards = {alarmBoard(std::nullopt, std::nullopt, 0, 0, 0.2)};
    c.boards[0].device = dir.file("unplugged");
    c.boards[0].channels[0].period = 60;
    c.duration = 0.5;
    c.out = dir.file("x.jsonl");
    Recorder r(c, nullptr);
    const auto deadline = std::chrono::steady_clock::now() + 30s;
    while (!r.finished() && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(10ms);
    ASSERT_TRUE(r.finished());
    r.stop();
    std::istringstream in(vantrel::testing::fileContents(c.out));
    std::vector<nlohmann::json> rows;
    for (std::string line; std::getline(in, line);) rows.push_back(nlohmann::json::parse(line));
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_EQ(rows[0]["status"], "gap");
    EXPECT_EQ(rows[1]["text"], "away raised 0.2");
    EXPECT_NEAR(rows[1]["mono"].get<double>(), rows[0]["mono"].get<double>() + 0.2, 1e-6);
}
