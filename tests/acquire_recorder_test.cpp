// The recorder against simulated boards on pseudo-terminals, each served by a thread of its
// own: rounds on their deadlines into each kind of output, a silent board beside good ones, a
// board that goes away.
#include <sqlite3.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <mutex>
#include <nlohmann/json.hpp>
#include <set>
#include <sstream>
#include <thread>

#include "board_conversions.hpp"
#include "recorder.hpp"
#include "sim/sim_thread.hpp"
#include "test_support.hpp"

using namespace vantrel::acquire;
using namespace std::chrono_literals;
namespace fs = std::filesystem;
using nlohmann::json;

namespace {

using vantrel::testing::TempDir;

// What a record file holds, whatever its kind: one entry per record.
struct Row {
    std::string board;
    std::string name;
    double mono = 0;
    std::string status;
    std::optional<double> value;
    std::string text;
};

std::vector<Row> rowsOf(const std::string& path) {
    std::vector<Row> rows;
    if (path.ends_with(".sqlite")) {
        sqlite3* db = nullptr;
        if (sqlite3_open(path.c_str(), &db) != SQLITE_OK) throw std::runtime_error("open failed");
        sqlite3_stmt* s = nullptr;
        sqlite3_prepare_v2(
            db, "SELECT board, mono, status, value, text, name FROM readings ORDER BY rowid", -1,
            &s, nullptr);
        while (sqlite3_step(s) == SQLITE_ROW) {
            Row r;
            r.board = reinterpret_cast<const char*>(sqlite3_column_text(s, 0));
            r.mono = sqlite3_column_double(s, 1);
            r.status = reinterpret_cast<const char*>(sqlite3_column_text(s, 2));
            if (sqlite3_column_type(s, 3) != SQLITE_NULL) r.value = sqlite3_column_double(s, 3);
            if (const auto* t = sqlite3_column_text(s, 4))
                r.text = reinterpret_cast<const char*>(t);
            r.name = reinterpret_cast<const char*>(sqlite3_column_text(s, 5));
            rows.push_back(r);
        }
        sqlite3_finalize(s);
        sqlite3_close(db);
        return rows;
    }
    std::ifstream in(path);
    std::string line;
    const bool csv = path.ends_with(".csv");
    if (csv) std::getline(in, line);  // the header
    while (std::getline(in, line)) {
        Row r;
        if (csv) {
            std::vector<std::string> f;
            std::stringstream fields(line);
            for (std::string x; std::getline(fields, x, ',');) f.push_back(x);
            f.resize(11);
            r.board = f[2];
            r.name = f[5];
            r.mono = std::stod(f[1]);
            if (!f[7].empty()) r.value = std::stod(f[7]);
            r.status = f[9];
            r.text = f[10];
        } else {
            const json j = json::parse(line);
            r.board = j["board"];
            r.name = j["name"];
            r.mono = j["mono"];
            if (!j["value"].is_null()) r.value = j["value"];
            r.status = j["status"];
            r.text = j.value("text", "");
        }
        rows.push_back(r);
    }
    return rows;
}

// The round each row belongs to, from its time since the start.
std::vector<long> roundsOf(const std::vector<Row>& rows, double period) {
    std::vector<long> rounds;
    for (const Row& r : rows) rounds.push_back(std::lround(std::floor(r.mono / period)));
    return rounds;
}

ChannelConfig channel(int bits, int ch, double period, Calibration cal = {}) {
    ChannelConfig c;
    c.bits = bits;
    c.channel = ch;
    c.name = std::to_string(bits) + ":" + std::to_string(ch);
    c.period = period;
    c.calibration = std::move(cal);
    return c;
}

void runToEnd(Recorder& r) {
    const auto deadline = std::chrono::steady_clock::now() + 30s;
    while (!r.finished() && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(10ms);
    ASSERT_TRUE(r.finished()) << "the run did not end";
    r.stop();
}

}  // namespace

TEST(Recorder, RoundsOnDeadlinesIntoEachKindOfOutput) {
    TempDir dir;
    const std::vector<std::string> outs = {dir.file("x.csv"), dir.file("x.jsonl"),
                                           dir.file("x.sqlite")};
    std::vector<std::unique_ptr<vantrel::sim::SimThread>> sims;
    std::vector<std::unique_ptr<Recorder>> recorders;
    // The three runs side by side, each with a board of its own.
    for (const std::string& out : outs) {
        sims.push_back(std::make_unique<vantrel::sim::SimThread>());
        sims.back()->call([](vantrel::sim::PtyBoard& b) { b.engine().setReading(10, 3, 805.25); });
        LogConfig c;
        BoardConfig b;
        b.name = "bench";
        b.device = sims.back()->device();
        b.channels = {channel(10, 3, 0.1, Calibration::linear(2, 1))};
        c.boards = {b};
        c.out = out;
        c.duration = 3;
        recorders.push_back(std::make_unique<Recorder>(c, nullptr));
    }
    for (std::size_t k = 0; k < outs.size(); ++k) {
        SCOPED_TRACE(outs[k]);
        runToEnd(*recorders[k]);
        const std::vector<Row> rows = rowsOf(outs[k]);
        const BoardStatus s = recorders[k]->boards().front();
        // Thirty deadlines in three seconds: one reading a round, none twice; a round left out
        // only after an overrun (a busy machine), and then counted (a last round that overran
        // also counts deadlines past the end).
        EXPECT_LE(rows.size(), 30u);
        EXPECT_GE(rows.size() + s.skipped, 30u);
        const std::vector<long> rounds = roundsOf(rows, 0.1);
        for (std::size_t i = 1; i < rounds.size(); ++i) EXPECT_GT(rounds[i], rounds[i - 1]);
        for (const Row& r : rows) {
            EXPECT_EQ(r.status, "ok");
            EXPECT_EQ(r.value, 1611.5);
            EXPECT_EQ(r.board, "bench");
        }
        EXPECT_EQ(s.readings, rows.size());
        EXPECT_EQ(s.state, "stopped");
        const json status = json::parse(recorders[k]->statusJson());
        EXPECT_EQ(status["written"], rows.size());
        EXPECT_EQ(status["boards"][0]["last_value"], 1611.5);
    }
}

TEST(Recorder, ASilentBoardDelaysNoOther) {
    TempDir dir;
    std::vector<std::unique_ptr<vantrel::sim::SimThread>> sims;
    LogConfig c;
    for (int k = 0; k < 4; ++k) {
        sims.push_back(std::make_unique<vantrel::sim::SimThread>());
        if (k == 1)
            sims.back()->call([](vantrel::sim::PtyBoard& b) { b.engine().setSilent(true); });
        BoardConfig b;
        b.name = "b" + std::to_string(k);
        b.device = sims.back()->device();
        b.channels = {channel(10, 3, 0.1), channel(12, 11, 0.1)};
        c.boards.push_back(b);
    }
    c.out = dir.file("x.csv");
    c.duration = 2;
    Recorder r(c, nullptr);
    runToEnd(r);
    const std::vector<Row> rows = rowsOf(c.out);
    for (int k = 0; k < 4; ++k) {
        SCOPED_TRACE(k);
        std::vector<Row> mine;
        for (const Row& row : rows)
            if (row.board == "b" + std::to_string(k)) mine.push_back(row);
        const BoardStatus s = r.boards()[static_cast<std::size_t>(k)];
        // Every deadline of the two seconds has one record a channel: a reading, an error, or
        // a gap that says how many deadlines an overrun left out.
        std::map<std::string, int> deadlines;
        std::size_t ok = 0, errors = 0, gaps = 0;
        for (const Row& row : mine) {
            if (row.status == "gap") {
                ++gaps;
                EXPECT_NE(row.text.find(" deadlines left out: the round took "), std::string::npos)
                    << row.text;
                deadlines[row.name] += std::stoi(row.text);
            } else {
                deadlines[row.name] += 1;
                (row.status == "ok" ? ok : errors) += 1;
            }
        }
        EXPECT_EQ(deadlines, (std::map<std::string, int>{{"10:3", 20}, {"12:11", 20}}));
        EXPECT_EQ(s.readings, ok);
        EXPECT_EQ(s.errors, errors);
        if (k == 1) {
            // Every reading times out and every round overruns its period.
            EXPECT_EQ(ok, 0u);
            for (const Row& row : mine) {
                if (row.status == "error") {
                    EXPECT_EQ(row.text, "Serial port timed out");
                }
            }
            EXPECT_GT(s.overruns, 0u);
            EXPECT_GT(gaps, 0u);
            continue;
        }
        // The others go on reading while the silent board waits out its timeouts (260 ms at
        // 9600 baud, never less): each has readings inside those waits.
        std::size_t during = 0;
        for (const Row& row : mine)
            for (const Row& other : rows)
                if (other.board == "b1" && row.mono > other.mono && row.mono < other.mono + 0.25) {
                    ++during;
                    break;
                }
        EXPECT_GT(during, 0u);
        EXPECT_LT(s.skipped, r.boards()[1].skipped);
        EXPECT_EQ(s.errors, 0u);
    }
}

// A converter that falls out of step gives words that look like readings. The next check of
// its reference input finds it: none of the readings since the last check that passed is kept
// as good, the converter is brought back into step, and the readings after it are good again.
// Every reading kept is one the board converted for that channel.
TEST(Recorder, ReadingsOfAConverterOutOfStepAreNotKept) {
    TempDir dir;
    vantrel::sim::PtyBoard::Options options;
    options.conversionLog = dir.file("conversions.csv");
    vantrel::sim::SimThread sim(options);
    sim.call([](vantrel::sim::PtyBoard& b) {
        vantrel::sim::setInputFromWords(b.engine(), {"10", "3", "ramp", "0", "1023", "1300ms"});
        vantrel::sim::setInputFromWords(b.engine(), {"12", "5", "sine", "2000", "1500", "700ms"});
    });
    LogConfig c;
    BoardConfig b;
    b.name = "bench";
    b.device = sim.device();
    b.check = 0.25;
    b.channels = {channel(10, 3, 0.05), channel(12, 5, 0.05)};
    c.boards = {b};
    c.out = dir.file("x.jsonl");
    c.duration = 3;
    Recorder r(c, nullptr);
    bool slipped = false;
    const auto deadline = std::chrono::steady_clock::now() + 30s;
    while (!r.finished() && std::chrono::steady_clock::now() < deadline) {
        if (!slipped && r.boards()[0].readings >= 10) {
            sim.call([](vantrel::sim::PtyBoard& board) { board.engine().setOutOfStep(true); });
            slipped = true;
        }
        std::this_thread::sleep_for(5ms);
    }
    ASSERT_TRUE(r.finished());
    r.stop();
    ASSERT_TRUE(slipped);

    const auto log = vantrel::test::BoardConversions::load(options.conversionLog);
    std::map<std::string, std::pair<int, int>> converterOf = {{"10:3", {10, 3}}, {"12:5", {12, 5}}};
    std::size_t ok = 0, notKept = 0, okAfter = 0;
    for (const Row& row : rowsOf(c.out)) {
        const auto [bits, ch] = converterOf.at(row.name);
        if (row.status == "ok") {
            ++ok;
            if (notKept > 0) ++okAfter;
            EXPECT_TRUE(log.hasReading(bits, ch, *row.value))
                << row.name << " kept " << *row.value << ", which the board never converted";
        } else if (row.status == "error") {
            ++notKept;
            EXPECT_NE(row.text.find("failed its half-scale check"), std::string::npos) << row.text;
            EXPECT_NE(row.text.find("out of step; brought back into step"), std::string::npos)
                << row.text;
        }
    }
    EXPECT_GT(notKept, 0u);
    EXPECT_GT(okAfter, 10u);
    EXPECT_EQ(r.boards()[0].readings, ok);
}

namespace {
struct Taken : RecordTap {
    std::mutex mutex;
    std::vector<Record> all;
    void offer(const Record& r) noexcept override {
        const std::lock_guard lock(mutex);
        all.push_back(r);
    }
};
}  // namespace

// An averaged reading is that many conversions in a row of an input that moves between them:
// raw is their mean, value that through the calibration, min and max the extreme conversions
// through it (a negative gain swaps them). A conversion that fails inside an average makes the
// reading an error, never a mean of fewer. Each reading is checked against the conversions the
// board made between its start and the next reading's of its channel.
TEST(Recorder, AveragedReadingsAreTheMeanOfTheirOwnConversions) {
    TempDir dir;
    vantrel::sim::PtyBoard::Options options;
    options.engine.bits8 = true;
    options.conversionLog = dir.file("conversions.csv");
    vantrel::sim::SimThread sim(options);
    sim.call([](vantrel::sim::PtyBoard& b) {
        vantrel::sim::setInputFromWords(b.engine(), {"8", "2", "noise", "128", "60", "7"});
        vantrel::sim::setInputFromWords(b.engine(), {"8", "4", "ramp", "0", "255", "700ms"});
    });
    LogConfig c;
    BoardConfig b;
    b.name = "bench";
    b.device = sim.device();
    b.check = 0.25;
    b.channels = {channel(8, 2, 0.1, Calibration::linear(-0.5, 100)), channel(8, 4, 0.1)};
    b.channels[0].average = 5;
    c.boards = {b};
    c.out = dir.file("x.csv");
    c.duration = 2;
    Taken taken;
    Recorder r(c, nullptr, {&taken});
    // Once in the run, the next byte read on its own ("@": in this round only the averaged
    // channel's second to fifth conversions are) is refused.
    const auto deadline = std::chrono::steady_clock::now() + 30s;
    while (r.boards()[0].readings < 6 && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(5ms);
    sim.call([](vantrel::sim::PtyBoard& board) {
        board.engine().overrideReply("@", vantrel::sim::errorReply('7', "Conversion failed"), 1);
    });
    runToEnd(r);

    const auto log = vantrel::test::BoardConversions::load(options.conversionLog);
    const auto us = [](std::chrono::system_clock::time_point t) {
        return std::chrono::duration_cast<std::chrono::microseconds>(t.time_since_epoch()).count();
    };
    std::size_t averaged = 0, failed = 0;
    for (std::size_t k = 0; k < taken.all.size(); ++k) {
        const Record& rec = taken.all[k];
        if (rec.status != Status::Ok && rec.status != Status::Error) continue;
        const ChannelConfig& ch = b.channels[rec.channel == 2 ? 0 : 1];
        int64_t until = INT64_MAX;
        for (std::size_t n = k + 1; n < taken.all.size() && until == INT64_MAX; ++n)
            if (taken.all[n].name == rec.name && taken.all[n].status != Status::Gap)
                until = us(taken.all[n].time);
        std::vector<double> raws;
        for (const auto& conversion : log.records())
            if (conversion.channel == rec.channel && conversion.wallUs >= us(rec.time) &&
                conversion.wallUs < until)
                raws.push_back(conversion.reading);
        SCOPED_TRACE(rec.name + " at " + isoTime(rec.time) + ": " + rec.text);
        if (rec.status == Status::Error) {
            ++failed;
            EXPECT_EQ(rec.text, "Conversion failed");
            EXPECT_EQ(rec.name, "8:2");
            EXPECT_GE(raws.size(), 2u);
            EXPECT_FALSE(rec.raw || rec.value || rec.min || rec.max);
            continue;
        }
        ASSERT_EQ(raws.size(), static_cast<std::size_t>(ch.average));
        double sum = 0;
        for (const double raw : raws) sum += raw;
        EXPECT_EQ(rec.raw, sum / ch.average);
        EXPECT_EQ(rec.value, ch.calibration(sum / ch.average));
        if (ch.average == 1) {
            EXPECT_FALSE(rec.min || rec.max);
            continue;
        }
        ++averaged;
        const auto [low, high] = std::minmax_element(raws.begin(), raws.end());
        EXPECT_EQ(rec.min, ch.calibration(*high));
        EXPECT_EQ(rec.max, ch.calibration(*low));
        EXPECT_LT(rec.min, rec.max);
    }
    EXPECT_EQ(failed, 1u);
    EXPECT_GT(averaged, 10u);
    // The file is every record with the min and max columns.
    std::string expected = csvHeader(MinMax::With);
    for (const Record& rec : taken.all) expected += csvLine(rec, MinMax::With);
    EXPECT_EQ(vantrel::testing::fileContents(c.out), expected);
}

TEST(Recorder, ABoardThatGoesAwayLeavesAGapRecordPerChannel) {
    TempDir dir;
    vantrel::sim::SimThread sim;
    LogConfig c;
    BoardConfig b;
    b.name = "bench";
    b.device = sim.device();
    b.channels = {channel(10, 3, 0.05), channel(8, 2, 0.1)};
    c.boards = {b};
    c.out = dir.file("x.jsonl");
    Recorder r(c, nullptr);
    const auto deadline = std::chrono::steady_clock::now() + 20s;
    while (r.boards().front().readings < 4 && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(5ms);
    sim.call([](vantrel::sim::PtyBoard& board) { board.hangUp(); });
    while (r.boards().front().state != "away" && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(5ms);
    const BoardStatus s = r.boards().front();
    r.stop();
    EXPECT_EQ(s.state, "away");
    EXPECT_EQ(r.boards().front().gaps, 1u);
    const std::vector<Row> rows = rowsOf(c.out);
    // One gap a channel for the departure (a slow round may add gaps for deadlines it left out).
    std::vector<Row> gaps;
    for (const Row& row : rows)
        if (row.status == "gap" && row.text.find("deadlines left out") == std::string::npos)
            gaps.push_back(row);
    ASSERT_EQ(gaps.size(), 2u);
    EXPECT_FALSE(gaps[0].text.empty());
    EXPECT_EQ(rows.back().status, "gap");
}

// A board that is not there when the run starts: its gap records are at the run's start, never
// before it (the first open comes before the first deadline).
TEST(Recorder, ABoardAbsentFromTheStartHasItsGapAtTheStart) {
    TempDir dir;
    LogConfig c;
    BoardConfig b;
    b.name = "bench";
    b.device = dir.file("unplugged");
    b.channels = {channel(10, 3, 0.05), channel(12, 0, 0.05)};
    c.boards = {b};
    c.duration = 0.2;
    for (const char* kind : {"x.csv", "x.jsonl", "x.sqlite"}) {
        SCOPED_TRACE(kind);
        c.out = dir.file(kind);
        Recorder r(c, nullptr);
        runToEnd(r);
        EXPECT_EQ(r.boards().front().gaps, 1u);
        const std::vector<Row> rows = rowsOf(c.out);
        ASSERT_EQ(rows.size(), 2u);
        for (const Row& row : rows) {
            EXPECT_EQ(row.status, "gap");
            EXPECT_GE(row.mono, 0.0);
            EXPECT_NE(row.text.find("unplugged"), std::string::npos) << row.text;
        }
    }
}

// Unplugged and plugged in again: the device's name (here a link, as a by-id path is) leads to
// the board once more, and the recording goes on after its gap.
TEST(Recorder, ABoardThatComesBackIsRecordedAgain) {
    TempDir dir;
    const std::string link = dir.file("board");
    auto first = std::make_unique<vantrel::sim::SimThread>();
    fs::create_symlink(first->device(), link);
    LogConfig c;
    BoardConfig b;
    b.name = "bench";
    b.device = link;
    b.channels = {channel(10, 3, 0.05)};
    c.boards = {b};
    c.out = dir.file("x.csv");
    Recorder r(c, nullptr);
    const auto until = [&r](const std::function<bool(const BoardStatus&)>& done) {
        const auto deadline = std::chrono::steady_clock::now() + 20s;
        while (!done(r.boards().front()) && std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(5ms);
        return done(r.boards().front());
    };
    ASSERT_TRUE(until([](const BoardStatus& s) { return s.readings >= 2; }));
    first->call([](vantrel::sim::PtyBoard& board) { board.hangUp(); });
    ASSERT_TRUE(until([](const BoardStatus& s) { return s.state == "away"; }));
    first.reset();
    vantrel::sim::SimThread second;
    second.call([](vantrel::sim::PtyBoard& board) { board.engine().setReading(10, 3, 805.25); });
    fs::remove(link);
    fs::create_symlink(second.device(), link);
    ASSERT_TRUE(
        until([](const BoardStatus& s) { return s.reconnects == 1 && s.lastValue == 805.25; }));
    r.stop();
    const BoardStatus s = r.boards().front();
    EXPECT_EQ(s.gaps, 1u);
    const std::vector<Row> rows = rowsOf(c.out);
    // (A reading under way when the line went gives a timeout first: an error record.)
    std::vector<std::string> statuses;
    for (const Row& row : rows)
        if (row.status != "error" && (statuses.empty() || statuses.back() != row.status))
            statuses.push_back(row.status);
    EXPECT_EQ(statuses, (std::vector<std::string>{"ok", "gap", "ok"}));
    EXPECT_EQ(rows.back().value, 805.25);
}

// The board has one address register for its converters: a reading of one width after one of
// another must still convert its own channel.
TEST(Recorder, WidthsTakeTurnsOnOneBoardAndEachReadsItsOwnChannel) {
    TempDir dir;
    vantrel::sim::SimThread sim;
    sim.call([](vantrel::sim::PtyBoard& b) {
        b.engine().setReading(10, 3, 805.25);
        b.engine().setReading(10, 0, 17);
        b.engine().setReading(12, 5, 3001.5);
    });
    LogConfig c;
    BoardConfig b;
    b.name = "bench";
    b.device = sim.device();
    b.channels = {channel(12, 5, 0.05), channel(10, 3, 0.05), channel(10, 0, 0.1)};
    c.boards = {b};
    c.out = dir.file("x.csv");
    c.duration = 0.5;
    Recorder r(c, nullptr);
    runToEnd(r);
    std::map<double, int> seen;
    for (const Row& row : rowsOf(c.out)) {
        EXPECT_EQ(row.status, "ok") << row.text;
        ++seen[row.value.value_or(-1)];
    }
    // Every reading is one of the three channels' own (a wrong address gives another value).
    ASSERT_EQ(seen.size(), 3u);
    EXPECT_GT(seen[17], 0);
    EXPECT_GT(seen[805.25], 0);
    EXPECT_GT(seen[3001.5], 0);
}
