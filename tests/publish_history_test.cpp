// The live page's history read from a recording's database: the source chosen for the range,
// the values against what was written, the gaps and notes, and the bounds a huge or hostile
// question meets.
#include <gtest/gtest.h>

#include <cmath>
#include <nlohmann/json.hpp>

#include "history.hpp"
#include "sqlite_output.hpp"
#include "test_support.hpp"

using namespace vantrel::publish;
using nlohmann::json;
using vantrel::acquire::Record;
using vantrel::acquire::SqliteOutput;
using vantrel::acquire::Status;

namespace {

// Three days to 2026-12-08T00:00Z, a reading every 10 s of two channels of board "lab"; the
// board away for 30 minutes a day before the end, and a note two hours before it.
constexpr int64_t kEnd = 1796688000000;
constexpr int64_t kStep = 10'000;
constexpr int64_t kStart = kEnd - 3 * 86'400'000;
constexpr int64_t kGap = kEnd - 86'400'000 + 300'000;
constexpr int64_t kNote = kEnd - 7'200'000;

double volts(int64_t t) {
    return 1 + static_cast<double>((t / kStep) % 97) * 0.01;
}
double temp(int64_t t) {
    return 20 + static_cast<double>((t / kStep) % 360) * 0.05;
}
bool away(int64_t t) {
    return t >= kGap && t < kGap + 1'800'000;
}

Record at(int64_t ms, const char* name, const char* unit) {
    Record r;
    r.time = std::chrono::system_clock::time_point(std::chrono::milliseconds(ms));
    r.board = "lab";
    r.bits = 12;
    r.name = name;
    r.unit = unit;
    return r;
}

struct Recording {
    vantrel::testing::TempDir dir;
    std::string path = dir.file("lab.sqlite");
    Recording() {
        SqliteOutput out(path);
        std::vector<Record> batch;
        for (int64_t t = kStart; t < kEnd; t += kStep) {
            if (t == kGap)
                for (const char* name : {"volts", "temp"}) {
                    Record r = at(t, name, "");
                    r.status = Status::Gap;
                    r.text = "unplugged";
                    batch.push_back(r);
                }
            if (t == kNote) {
                Record r = at(t, "", "");
                r.board.clear();
                r.status = Status::Note;
                r.text = "sample B in";
                batch.push_back(r);
            }
            if (away(t)) continue;
            Record v = at(t, "volts", "V");
            v.value = volts(t);
            batch.push_back(v);
            Record c = at(t, "temp", "°C");
            c.value = temp(t);
            batch.push_back(c);
            if (batch.size() >= 4000) {
                out.write(batch);
                batch.clear();
            }
        }
        out.write(batch);
        out.close();
    }
};

const json& channelOf(const json& answer, const std::string& name) {
    for (const json& c : answer["channels"])
        if (c["name"] == name) return c;
    throw std::runtime_error("no channel " + name + " in " + answer.dump().substr(0, 200));
}

}  // namespace

TEST(PublishHistory, ChoosesItsSourceByTheRangeAndAgreesWithWhatWasWritten) {
    const Recording rec;
    HistoryReader reader(rec.path);
    struct Case {
        int64_t from, to;
        const char* source;
        std::size_t volts;  // points of the channel
    };
    for (const Case& c : {Case{kEnd - 600'000, kEnd, "readings", 60},
                          Case{kEnd - 6 * 3'600'000, kEnd, "minute", 360},
                          Case{kStart, kEnd, "hour", 72}, Case{0, 7258118399999, "day", 3}}) {
        const json a = json::parse(reader.answer({c.from, c.to, {}}));
        SCOPED_TRACE(c.source);
        EXPECT_EQ(a["source"], c.source);
        EXPECT_FALSE(a["truncated"].get<bool>());
        ASSERT_EQ(a["channels"].size(), 2u);
        const json& v = channelOf(a, "volts");
        EXPECT_EQ(v["unit"], "V");
        EXPECT_EQ(channelOf(a, "temp")["unit"], "°C");
        ASSERT_EQ(v["points"].size(), c.volts);
        // Each point against the readings written in its span.
        const int64_t span = a["step"].get<int64_t>();
        for (const json& p : v["points"]) {
            const int64_t t = p[0];
            if (span == 0) {
                EXPECT_DOUBLE_EQ(p[1].get<double>(), volts(t)) << t;
                continue;
            }
            double sum = 0, low = 1e9, high = -1e9;
            int n = 0;
            for (int64_t u = std::max(t, kStart); u < t + span && u < kEnd; u += kStep) {
                if (away(u)) continue;
                sum += volts(u);
                low = std::min(low, volts(u));
                high = std::max(high, volts(u));
                ++n;
            }
            ASSERT_GT(n, 0) << t;
            EXPECT_NEAR(p[1].get<double>(), sum / n, 1e-9) << t;
            EXPECT_DOUBLE_EQ(p[2].get<double>(), low) << t;
            EXPECT_DOUBLE_EQ(p[3].get<double>(), high) << t;
        }
    }
}

TEST(PublishHistory, MarksGapsOnceABoardAndNotesAndBreaksTheLineAtAGap) {
    const Recording rec;
    HistoryReader reader(rec.path);
    const json all = json::parse(reader.answer({kStart, kEnd, {}}));
    const json expected = json::array({json::array({kGap, "gap", "lab", "volts", "unplugged"}),
                                       json::array({kNote, "note", "", "", "sample B in"})});
    EXPECT_EQ(all["marks"], expected);
    // From the readings, the line breaks where the board went away and where it came back.
    const json near =
        json::parse(reader.answer({kGap - 600'000, kGap + 2'400'000, {{"lab", "volts"}}}));
    ASSERT_EQ(near["source"], "readings");
    ASSERT_EQ(near["channels"].size(), 1u);
    std::vector<int64_t> breaks;
    for (const json& p : near["channels"][0]["points"])
        if (p[1].is_null()) breaks.push_back(p[0]);
    EXPECT_EQ(breaks, (std::vector<int64_t>{kGap}));
    EXPECT_EQ(near["marks"].size(), 1u);
}

TEST(PublishHistory, AHugeOrHostileQuestionGetsABoundedAnswer) {
    const Recording rec;
    HistoryReader reader(rec.path);
    // Every range, however long, within the bound per channel; unknown channels are empty.
    const HistoryQuery q = parseHistoryQuery(
        "from=0&to=7258118399999&channels=lab/temp,lab/nothing,nobody%2Fx/y%2Cz", kEnd);
    ASSERT_EQ(q.channels.size(), 3u);
    EXPECT_EQ(q.channels[2].first, "nobody/x");
    EXPECT_EQ(q.channels[2].second, "y,z");
    const std::string text = reader.answer(q);
    EXPECT_LT(text.size(), 100'000u);
    const json a = json::parse(text);
    ASSERT_EQ(a["channels"].size(), 3u);
    EXPECT_EQ(a["channels"][0]["points"].size(), 3u);
    EXPECT_TRUE(a["channels"][1]["points"].empty());
    // Defaults: the day to now.
    const HistoryQuery d = parseHistoryQuery("", kEnd);
    EXPECT_EQ(d.toMs, kEnd);
    EXPECT_EQ(d.fromMs, kEnd - 86'400'000);
    std::string many = "channels=";
    for (std::size_t i = 0; i <= HistoryReader::kMaxChannels; ++i)
        many += "b/c" + std::to_string(i) + ",";
    struct Bad {
        std::string query;
        const char* says;
    };
    for (const Bad& b :
         {Bad{"from=10&to=10", "from: must come before to"},
          Bad{"from=-1", "from: expected milliseconds"}, Bad{"to=1e9", "to: expected milliseconds"},
          Bad{"to=999999999999999999", "to: expected milliseconds"},
          Bad{"channels=lab", "channels: expected BOARD/NAME"},
          Bad{"channels=lab/%zz", "channels: a broken %-escape"},
          Bad{many, "channels: at most 64"}}) {
        try {
            parseHistoryQuery(b.query, kEnd);
            ADD_FAILURE() << b.query;
        } catch (const std::invalid_argument& e) {
            EXPECT_NE(std::string(e.what()).find(b.says), std::string::npos) << e.what();
        }
    }
}
