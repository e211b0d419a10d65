// The recorder's pieces without a board: calibrations, pacing on deadlines, the text forms of a
// record, the configuration file's checks, and the outputs with their faults.
#include <fcntl.h>
#include <sqlite3.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>

#include "calibration.hpp"
#include "fd.hpp"
#include "log_config.hpp"
#include "pacing.hpp"
#include "record.hpp"
#include "record_output.hpp"
#include "record_writer.hpp"
#include "service_notify.hpp"
#include "sqlite_output.hpp"
#include "test_support.hpp"
#include "text_file_output.hpp"

using namespace vantrel::acquire;
using namespace std::chrono_literals;
namespace fs = std::filesystem;

namespace {

using vantrel::testing::fileContents;
using vantrel::testing::TempDir;

// 2026-12-08T06:00:00Z plus `offset`.
std::chrono::system_clock::time_point at(std::chrono::milliseconds offset) {
    return std::chrono::system_clock::from_time_t(1796709600) + offset;
}

Record reading(int i, std::chrono::milliseconds offset = 0ms) {
    Record r;
    r.time = at(offset + std::chrono::milliseconds(100 * i));
    r.mono = 0.1 * i;
    r.board = "bench";
    r.bits = 10;
    r.channel = 3;
    r.name = "tank";
    r.raw = 500 + i;
    r.value = 1000.5 + i;
    r.unit = "V";
    return r;
}

std::vector<Record> readings(int n, std::chrono::milliseconds offset = 0ms) {
    std::vector<Record> all;
    for (int i = 0; i < n; ++i) all.push_back(reading(i, offset));
    return all;
}

}  // namespace

TEST(Calibration, KindsGiveTheirValues) {
    const Calibration table = Calibration::table({{0, 0}, {100, 10}, {200, 40}});
    struct Case {
        Calibration c;
        double raw;
        double value;
    };
    const Case cases[] = {
        {Calibration(), 805.25, 805.25},
        {Calibration::linear(0.5, -2), 10, 3},
        {Calibration::polynomial({1, 0.5, 0.25}), 2, 3},
        {Calibration::polynomial({7}), 1000, 7},
        {table, 50, 5},      // inside the first segment
        {table, 150, 25},    // inside the second
        {table, 200, 40},    // on the last point
        {table, -100, -10},  // below: the first segment carried on
        {table, 300, 70},    // above: the last one
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.c.describe() + " at " + std::to_string(c.raw));
        EXPECT_DOUBLE_EQ(c.c(c.raw), c.value);
    }
    EXPECT_EQ(Calibration::linear(0.1, -5).describe(), "linear: 0.1 x raw + -5");
    EXPECT_THROW(Calibration::table({{0, 0}}), std::invalid_argument);
    EXPECT_THROW(Calibration::table({{0, 0}, {0, 1}}), std::invalid_argument);
    EXPECT_THROW(Calibration::polynomial({}), std::invalid_argument);
    EXPECT_THROW(Calibration::linear(NAN, 0), std::invalid_argument);
    // A result that is no finite number is no reading, for the recorder (its call operator);
    // apply() gives it as it is.
    const Calibration steep = Calibration::polynomial({0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1e300});
    EXPECT_THROW(steep(1e30), std::range_error);
    EXPECT_TRUE(std::isinf(steep.apply(1e30)));
    EXPECT_THROW(Calibration::polynomial({-1e308, 1e308})(-2), std::range_error);
    EXPECT_DOUBLE_EQ(steep(1), 1e300);
}

TEST(Pacing, RoundsStayOnTheirDeadlinesAndOverrunsSkipWithoutBurst) {
    const Pacer::Clock::time_point t0{};
    Pacer p(t0, 100ms);
    EXPECT_EQ(p.due(), t0);
    // A round that ends late but within its period: the next is due on its own deadline.
    EXPECT_FALSE(p.finish(t0 + 95ms));
    EXPECT_EQ(p.due(), t0 + 100ms);
    // Ending exactly on the next deadline is not an overrun.
    EXPECT_FALSE(p.finish(t0 + 200ms));
    EXPECT_EQ(p.due(), t0 + 200ms);
    // A round of 350 ms: one overrun, the deadlines at 300 to 500 ms left out, no catching up.
    EXPECT_TRUE(p.finish(t0 + 550ms));
    EXPECT_EQ(p.due(), t0 + 600ms);
    EXPECT_EQ(p.round(), 6u);
    EXPECT_EQ(p.overruns(), 1u);
    EXPECT_EQ(p.skipped(), 3u);
    // Deadlines are t0 + k x period: after many rounds no drift has built up.
    for (int k = 6; k < 100000; ++k) p.finish(t0 + 100ms * k + 3ms);
    EXPECT_EQ(p.due(), t0 + 100ms * 100000);
    EXPECT_THROW(Pacer(t0, 0ms), std::invalid_argument);

    // A round that can start only late is the last deadline's: the ones before are left out,
    // none at or after the run's end is taken, and a round on time is left as it is.
    const struct {
        Pacer::Clock::duration now;
        std::optional<Pacer::Clock::duration> end;
        uint64_t left, round;
    } late[] = {
        {250ms, {}, 0, 2},     // within the period of round 2: on time
        {514ms, {}, 3, 5},     // rounds 2 to 4 left out, read as round 5
        {500ms, {}, 3, 5},     // exactly on a deadline: that one's
        {514ms, 400ms, 1, 3},  // the run ends at 400 ms: its last round is 3
        {514ms, 200ms, 0, 2},  // no round of the run is still to come
    };
    for (const auto& c : late) {
        Pacer q(t0, 100ms);
        q.finish(t0 + 150ms);  // round 2 is due at 200 ms
        const uint64_t skipped = q.skipped();
        EXPECT_EQ(q.catchUp(t0 + c.now, c.end ? std::optional(t0 + *c.end) : std::nullopt), c.left)
            << c.now.count();
        EXPECT_EQ(q.round(), c.round) << c.now.count();
        EXPECT_EQ(q.skipped() - skipped, c.left);
    }
}

TEST(Records, TextForms) {
    Record r = reading(0);
    r.time = at(1234ms);
    r.text = "";
    EXPECT_EQ(isoTime(r.time), "2026-12-08T06:00:01.234Z");
    EXPECT_EQ(csvHeader(), "time,mono,board,bits,channel,name,raw,value,unit,status,text\n");
    EXPECT_EQ(csvLine(r), "2026-12-08T06:00:01.234Z,0.000000,bench,10,3,tank,500,1000.5,V,ok,\n");
    EXPECT_EQ(
        jsonLine(r),
        "{\"time\":\"2026-12-08T06:00:01.234Z\",\"mono\":0.000000,\"board\":\"bench\","
        "\"bits\":10,\"channel\":3,\"name\":\"tank\",\"raw\":500,\"value\":1000.5,\"unit\":\"V\","
        "\"status\":\"ok\"}\n");
    // A failed reading: no numbers, the board's text, quoted where the form needs it.
    r.raw.reset();
    r.value.reset();
    r.status = Status::Error;
    r.text = "Illegal command, \"PRS\"\n";
    r.board = "lab,1";
    EXPECT_EQ(csvLine(r),
              "2026-12-08T06:00:01.234Z,0.000000,\"lab,1\",10,3,tank,,,V,error,"
              "\"Illegal command, \"\"PRS\"\"\n\"\n");
    EXPECT_NE(jsonLine(r).find("\"raw\":null,\"value\":null"), std::string::npos);
    EXPECT_NE(jsonLine(r).find("\"text\":\"Illegal command, \\\"PRS\\\"\\n\"}"), std::string::npos);
}

TEST(LogConfigFile, FullExampleReads) {
    const LogConfig c = parseConfig(R"(
out = "lab.sqlite"
period = 2
[rotate]
size = 1000000
daily = true
[[board]]
name = "bench"
device = "/dev/ttyUSB0"
baud = 115200
period = 0.5
  [[board.channel]]
  name = "tank"
  bits = 10
  channel = 3
  unit = "degC"
  calibration = { gain = 0.1, offset = -5 }
  [[board.channel]]
  bits = 12
  channel = 0
  period = 0.05
  calibration = { table = [[0, 0.0], [4095, 5.0]] }
[[board]]
port = 3
  [[board.channel]]
  bits = 8
  channel = 11
  calibration = { polynomial = [1, 2, 3] }
)",
                                    "lab.toml");
    ASSERT_EQ(c.boards.size(), 2u);
    EXPECT_EQ(c.out, "lab.sqlite");
    EXPECT_EQ(c.statusPath(), "lab.sqlite.status.json");
    EXPECT_EQ(c.rotate.maxBytes, 1000000u);
    EXPECT_TRUE(c.rotate.daily);
    const BoardConfig& b = c.boards[0];
    EXPECT_EQ(b.name, "bench");
    EXPECT_EQ(b.baud, 115200);
    ASSERT_EQ(b.channels.size(), 2u);
    EXPECT_EQ(b.channels[0].name, "tank");
    EXPECT_EQ(b.channels[0].period, 0.5);
    EXPECT_DOUBLE_EQ(b.channels[0].calibration(100), 5);
    EXPECT_EQ(b.channels[1].name, "12:0");
    EXPECT_EQ(b.channels[1].period, 0.05);
    EXPECT_EQ(c.boards[1].name, "COM3");
    EXPECT_EQ(c.boards[1].port, 3);
    EXPECT_EQ(c.boards[1].channels[0].period, 2);
    EXPECT_DOUBLE_EQ(c.boards[1].channels[0].calibration(2), 17);
}

TEST(LogConfigFile, TheDocumentedExampleReads) {
    const LogConfig c = loadConfig(VANTREL_SOURCE_DIR "/examples/lab.toml");
    ASSERT_EQ(c.boards.size(), 2u);
    EXPECT_EQ(c.boards[0].channels[0].period, 0.1);
    EXPECT_EQ(c.boards[0].channels[1].period, 1.0);
    EXPECT_DOUBLE_EQ(c.boards[0].channels[1].calibration(512), 25.0);
    EXPECT_EQ(c.boards[1].port, 3);
    EXPECT_EQ(c.boards[1].channels[1].name, "8:11");
}

namespace {

// Why a run file of `text` is refused ("lab.toml:..."), or "accepted".
std::string refusalOf(const std::string& text) {
    try {
        parseConfig(text, "lab.toml");
    } catch (const ConfigError& e) {
        return e.what();
    }
    return "accepted";
}

}  // namespace

TEST(LogConfigFile, ErrorsNameFileLineAndKey) {
    const std::string board = "[[board]]\ndevice = \"/dev/x\"\n[[board.channel]]\n";
    const std::pair<std::string, std::string> cases[] = {
        {board + "bits = 9\nchannel = 1\n",
         "lab.toml:4:1: board[1].channel[1].bits: must be 8, 10 or 12, got 9"},
        {board + "bits = 8\nchannel = 12\n",
         "lab.toml:5:1: board[1].channel[1].channel: the 8-bit converter has channels 0 to 11, "
         "got 12"},
        {board + "bits = 10\nchanel = 1\n",
         "lab.toml:5:1: board[1].channel[1].chanel: unknown key"},
        {board + "bits = 10\n", "lab.toml:3:1: board[1].channel[1]: channel is missing"},
        {board + "bits = 10\nchannel = 1\nperiod = 0\n",
         "lab.toml:6:1: board[1].channel[1].period: must be from 0.001 to 86400 seconds, got 0"},
        {board + "bits = 10\nchannel = 1\nunit = 5\n",
         "lab.toml:6:1: board[1].channel[1].unit: must be a string, got an integer"},
        {board + "bits = 10\nchannel = 1\ncalibration = { table = [[1, 0], [1, 2]] }\n",
         "board[1].channel[1].calibration.table: the raw readings of a table must increase"},
        {board + "bits = 10\nchannel = 1\ncalibration = { gain = 2, polynomial = [1] }\n",
         "lab.toml:6:1: board[1].channel[1].calibration: give one of gain/offset, polynomial or "
         "table"},
        {"[[board]]\n[[board.channel]]\nbits = 10\nchannel = 1\n",
         "lab.toml:1:1: board[1]: device or port is missing"},
        {"out = 'x.csv'\n", "lab.toml: no [[board]] table"},
        {"out = \n", "lab.toml:1:"},
        {"[rotate]\nsize = 10\n",
         "lab.toml:2:1: rotate.size: must be 0 (none) or at least 4096 bytes"},
    };
    for (const auto& [text, expected] : cases) {
        SCOPED_TRACE(text);
        const std::string refusal = refusalOf(text);
        EXPECT_NE(refusal.find(expected), std::string::npos) << refusal;
    }
}

// What the TOML parser refuses is said in our words with the file and line, and nesting of
// any depth ends in a message, never in a crash.
TEST(LogConfigFile, SyntaxAndNestingInOurWords) {
    std::string deep;
    for (int i = 0; i < 50000; ++i) deep += "a.";
    const std::pair<std::string, std::string> cases[] = {
        {"out = \"x.csv\n[[board]]\n",
         "lab.toml:1:13: a string is not closed: its closing quote is missing on this line"},
        {"out = 'x.csv\n", "lab.toml:1:13: a string is not closed"},
        {"out = \"a\tb\u0001\"\n", "lab.toml:1:11: a string holds a control character"},
        {"out = \"x\"\nout = \"y\"\n", "lab.toml:2:"},
        {"out = \"x\"\nout = \"y\"\n", "is given twice"},
        {"[board\n", "lab.toml:1:7: not valid TOML: in a table header, expected ']'"},
        {"out = \"\"\"x\n", "lab.toml:1:"},
        {"out = \"\"\"x\n", "the file ends inside a string"},
        {"out = \"\\q\"\n", "a string holds unknown escape sequence '\\q'"},
        {"board = [1, 2\n", "the file ends inside a array"},
        {"[" + deep + "a]\n", "lab.toml:1: nested deeper than 32 levels"},
        {"x = " + std::string(40000, '[') + "\n", "lab.toml:1: nested deeper than 32 levels"},
    };
    for (const auto& [text, expected] : cases) {
        SCOPED_TRACE(expected);
        const std::string refusal = refusalOf(text);
        EXPECT_NE(refusal.find(expected), std::string::npos) << refusal;
        EXPECT_EQ(refusal.find("Error while parsing"), std::string::npos);
    }
}

// Names and units go into the line protocol, topics, the summary and the journal: a line end
// there is refused with its place, in the file and on the command line; so is a channel name
// used twice on a board, which every output would mix into one series.
TEST(LogConfigFile, NamesWithoutControlCharactersAndOncePerBoard) {
    const std::string head = "[[board]]\ndevice = \"/dev/x\"\n";
    const std::string channel = "[[board.channel]]\nbits = 10\nchannel = 1\n";
    const std::pair<std::string, std::string> cases[] = {
        {"[[board]]\nname = \"a\\nb\"\ndevice = \"/dev/x\"\n" + channel,
         "lab.toml:2:1: board[1].name: must not hold a line end"},
        {head + channel + "name = \"v\\r\"\n", "lab.toml:6:1: board[1].channel[1].name: must not"},
        {head + channel + "unit = \"k\\nPa\"\n",
         "lab.toml:6:1: board[1].channel[1].unit: must not"},
        {"[[board]]\ndevice = \"/dev/x\\u001b\"\n" + channel,
         "board[1]: the name taken from the device must not hold"},
        {head + channel + "name = \"v\"\n" + channel + "name = \"v\"\n",
         "lab.toml:7:1: board[1].channel[2]: the name \"v\" is used by another channel"},
        {head + channel + channel, "the name \"10:1\" is used by another channel"},
    };
    for (const auto& [text, expected] : cases) {
        SCOPED_TRACE(text);
        const std::string refusal = refusalOf(text);
        EXPECT_NE(refusal.find(expected), std::string::npos) << refusal;
    }
    // Read twice under two names, one channel is two channels.
    EXPECT_EQ(parseConfig(head + channel + "name = \"volts\"\n" + channel + "name = \"counts\"\n",
                          "lab.toml")
                  .boards[0]
                  .channels.size(),
              2u);
    LogConfig c;
    c.boards.resize(1);
    c.boards[0].device = "/dev/x";
    c.boards[0].name = "a\nb";
    c.boards[0].channels.resize(1);
    EXPECT_THROW(checkConfig(c), ConfigError);
    c.boards[0].name = "ab";
    c.boards[0].channels.resize(2);
    EXPECT_THROW(checkConfig(c), ConfigError);
}

TEST(LogConfigFile, AverageIsAWholeNumberOfConversionsUpToABound) {
    const std::string channel =
        "[[board]]\ndevice = \"/dev/x\"\n[[board.channel]]\nbits = 10\nchannel = 1\n";
    const std::string another = "[[board.channel]]\nbits = 12\nchannel = 0\n";
    const std::string place = "lab.toml:6:1: board[1].channel[1].average: ";
    const std::pair<std::string, std::string> cases[] = {
        {"average = 0", place + "must be from 1 to 1000 conversions a reading, got 0"},
        {"average = 1001", place + "must be from 1 to 1000 conversions a reading, got 1001"},
        {"average = -4", place + "must be from 1 to 1000 conversions a reading, got -4"},
        {"average = 2.5", place + "must be a whole number, got a number"},
        {"average = \"8\"", place + "must be a whole number, got a string"},
        {"average = 1", "accepted"},
        {"average = 1000", "accepted"},
    };
    for (const auto& [line, expected] : cases) {
        SCOPED_TRACE(line);
        const std::string refusal = refusalOf(channel + line + "\n");
        EXPECT_NE(refusal.find(expected), std::string::npos) << refusal;
    }
    const LogConfig c = parseConfig(channel + "average = 16\n" + another, "lab.toml");
    EXPECT_EQ(c.boards[0].channels[0].average, 16);
    EXPECT_EQ(c.boards[0].channels[1].average, 1);
    EXPECT_TRUE(averages(c));
    LogConfig plain = parseConfig(channel, "lab.toml");
    EXPECT_FALSE(averages(plain));
    plain.boards[0].channels[0].average = 0;
    EXPECT_THROW(checkConfig(plain), ConfigError);
}

// min and max only where a reading was averaged: a CSV file has their columns only in a run
// that averages, and is continued only by a run of its own columns; an SQLite database of an
// earlier version gets the columns, and its export has them only when a record has them.
TEST(RecordOutputs, MinMaxOnlyWhereReadingsAreAveraged) {
    TempDir dir;
    std::vector<Record> all = readings(3);
    all[1].min = -2.5;
    all[1].max = 1e-06;
    EXPECT_EQ(csvHeader(MinMax::With),
              "time,mono,board,bits,channel,name,raw,value,unit,status,text,min,max\n");
    EXPECT_EQ(csvLine(all[1], MinMax::With),
              "2026-12-08T06:00:00.100Z,0.100000,bench,10,3,tank,501,1001.5,V,ok,,-2.5,1e-06\n");
    EXPECT_EQ(csvLine(all[0], MinMax::With).substr(csvLine(all[0]).size() - 1), ",,\n");
    EXPECT_TRUE(jsonLine(all[1]).ends_with(",\"status\":\"ok\",\"min\":-2.5,\"max\":1e-06}\n"));
    EXPECT_EQ(jsonLine(all[0]).find("min"), std::string::npos);

    for (const MinMax columns : {MinMax::Without, MinMax::With}) {
        const MinMax other = columns == MinMax::With ? MinMax::Without : MinMax::With;
        const std::string path = dir.file(columns == MinMax::With ? "avg.csv" : "plain.csv");
        TextFileOutput(path, TextFileOutput::Format::Csv, {}, {}, columns).write({&all[0], 1});
        const std::string before = fileContents(path);
        try {
            TextFileOutput out(path, TextFileOutput::Format::Csv, {}, {}, other);
            ADD_FAILURE() << "continued a file of other columns";
        } catch (const OutputError& e) {
            EXPECT_NE(std::string(e.what()).find(columns == MinMax::With ? "it has min and max"
                                                                         : "it has no min and max"),
                      std::string::npos)
                << e.what();
        }
        TextFileOutput(path, TextFileOutput::Format::Csv, {}, {}, columns)
            .write(std::span(all).subspan(1));
        EXPECT_EQ(fileContents(path), before + csvLine(all[1], columns) + csvLine(all[2], columns));
    }

    const std::string path = dir.file("old.sqlite");
    const auto exported = [&](const char* from, ExportFormat format) {
        char* text = nullptr;
        std::size_t size = 0;
        std::FILE* out = ::open_memstream(&text, &size);
        exportRecords(path, from, "", format, out);
        std::fclose(out);
        const std::string got(text, size);
        std::free(text);
        return got;
    };
    const auto store = [&](std::span<const Record> records) {
        SqliteOutput out(path);
        out.write(records);
        out.close();
    };
    store({&all[0], 1});
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(path.c_str(), &db), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(
                  db, "ALTER TABLE readings DROP COLUMN min; ALTER TABLE readings DROP COLUMN max",
                  nullptr, nullptr, nullptr),
              SQLITE_OK);
    sqlite3_close(db);
    EXPECT_EQ(exported("", ExportFormat::Csv), csvHeader() + csvLine(all[0]));
    store(std::span(all).subspan(1));
    EXPECT_EQ(exported("", ExportFormat::Csv),
              csvHeader(MinMax::With) + csvLine(all[0], MinMax::With) +
                  csvLine(all[1], MinMax::With) + csvLine(all[2], MinMax::With));
    EXPECT_EQ(exported("2026-12-08T06:00:00.200", ExportFormat::Csv),
              csvHeader() + csvLine(all[2]));
    EXPECT_EQ(exported("", ExportFormat::JsonLines),
              jsonLine(all[0]) + jsonLine(all[1]) + jsonLine(all[2]));
}

TEST(TextFileOutput, FullDiskLeavesWholeRecordsAndResumes) {
    TempDir dir;
    const std::string path = dir.file("x.csv");
    // The disk fills after 300 bytes: a write that crosses the limit is taken in part, then
    // every write fails, until space returns.
    std::size_t room = 300;
    auto fill = [&room](int fd, const void* data, size_t size) -> ssize_t {
        if (room == 0) {
            errno = ENOSPC;
            return -1;
        }
        const size_t n = std::min(size, room);
        room -= n;
        return ::write(fd, data, n);
    };
    TextFileOutput out(path, TextFileOutput::Format::Csv, {}, fill);
    const std::vector<Record> all = readings(8);
    out.write(std::span(all).first(2));
    try {
        out.write(std::span(all).subspan(2));
        FAIL() << "a full disk went unnoticed";
    } catch (const OutputError& e) {
        EXPECT_EQ(e.errnum(), ENOSPC);
        EXPECT_EQ(e.stored(), 0u);
        EXPECT_NE(std::string(e.what()).find("No space left on device"), std::string::npos);
    }
    EXPECT_EQ(fileContents(path), csvHeader() + csvLine(all[0]) + csvLine(all[1]));
    room = 1 << 20;
    out.write(std::span(all).subspan(2));
    std::string expected = csvHeader();
    for (const Record& r : all) expected += csvLine(r);
    EXPECT_EQ(fileContents(path), expected);
}

TEST(TextFileOutput, ContinuesAFileAndCutsATornLastLine) {
    TempDir dir;
    const std::string path = dir.file("x.jsonl");
    const std::vector<Record> all = readings(3);
    std::ofstream(path) << jsonLine(all[0]) << "{\"time\":\"2026-";
    TextFileOutput out(path, TextFileOutput::Format::JsonLines, {});
    out.write(std::span(all).subspan(1));
    out.close();
    EXPECT_EQ(fileContents(path), jsonLine(all[0]) + jsonLine(all[1]) + jsonLine(all[2]));
}

TEST(TextFileOutput, RefusesToContinueACsvFileOfOtherColumns) {
    TempDir dir;
    const std::string path = dir.file("x.csv");
    std::ofstream(path) << "a,b\n1,2\n";
    try {
        TextFileOutput out(path, TextFileOutput::Format::Csv, {});
        FAIL() << "continued another file";
    } catch (const OutputError& e) {
        EXPECT_NE(std::string(e.what()).find("does not start with the recorder's header line"),
                  std::string::npos);
    }
    EXPECT_EQ(fileContents(path), "a,b\n1,2\n");
}

// A file is continued only when the recorder wrote it: another program's file (reached by its
// name or through a link) is refused untouched, and so is a last line that is not the start of
// a record; what is not a regular file (a FIFO nobody reads) is refused before any write.
TEST(TextFileOutput, ContinuesOnlyItsOwnFilesAndRegularOnes) {
    TempDir dir;
    const std::vector<Record> all = readings(2);
    std::string binary(3000, '\0');
    for (std::size_t i = 0; i < binary.size(); ++i) binary[i] = static_cast<char>(i * 7 + 1);
    struct Case {
        const char* what;
        std::string name;
        std::string text;
        const char* refused;
    };
    const Case cases[] = {
        {"a text file", "notes.jsonl", "line one\nline two without end",
         "does not start with a record"},
        {"a binary file", "x.jsonl", binary, "does not start with a record"},
        {"an empty first line", "e.jsonl", "\n{\"time\":\"2026-", "does not start with a record"},
        {"a foreign last line", "t.jsonl", jsonLine(all[0]) + "#tail",
         "is not the start of a record"},
        {"a foreign CSV tail", "t.csv", csvHeader() + csvLine(all[0]) + "x,y",
         "is not the start of a record"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const std::string target = dir.file("target-" + c.name);
        std::ofstream(target, std::ios::binary) << c.text;
        const std::string link = dir.file(c.name);
        fs::create_symlink(target, link);
        for (const std::string& path : {target, link}) {
            try {
                TextFileOutput out(path,
                                   c.name.ends_with(".csv") ? TextFileOutput::Format::Csv
                                                            : TextFileOutput::Format::JsonLines,
                                   {});
                ADD_FAILURE() << "continued " << path;
            } catch (const OutputError& e) {
                EXPECT_NE(std::string(e.what()).find(c.refused), std::string::npos) << e.what();
                EXPECT_NE(std::string(e.what()).find("choose another file"), std::string::npos);
            }
            EXPECT_EQ(fileContents(target), c.text);
        }
    }
    for (const char* name : {"pipe.csv", "pipe.jsonl", "pipe.sqlite"})
        ASSERT_EQ(::mkfifo(dir.file(name).c_str(), 0600), 0);
    for (const std::string& path :
         {dir.file("pipe.csv"), dir.file("pipe.jsonl"), dir.file("pipe.sqlite"),
          std::string("/dev/null"), dir.path.string()}) {
        try {
            (void)openOutput(path, {});
            ADD_FAILURE() << "opened " << path;
        } catch (const OutputError& e) {
            EXPECT_NE(std::string(e.what()).find("not a regular file"), std::string::npos)
                << e.what();
        }
    }
}

TEST(TextFileOutput, RotatesBySizeAndByDay) {
    TempDir dir;
    const std::string path = dir.file("x.csv");
    const std::size_t line = csvLine(reading(0)).size();
    // Room for the header and three records a file.
    TextFileOutput bySize(path, TextFileOutput::Format::Csv,
                          {.maxBytes = csvHeader().size() + 3 * line, .daily = false});
    bySize.write(readings(7));
    ASSERT_EQ(bySize.rotated().size(), 2u);
    EXPECT_EQ(bySize.rotated()[0], dir.file("x.2026-12-08T06-00-00.csv"));
    EXPECT_EQ(bySize.rotated()[1], dir.file("x.2026-12-08T06-00-00-2.csv"));
    EXPECT_EQ(fileContents(bySize.rotated()[1]),
              csvHeader() + csvLine(reading(3)) + csvLine(reading(4)) + csvLine(reading(5)));
    EXPECT_EQ(fileContents(path), csvHeader() + csvLine(reading(6)));

    const std::string daily = dir.file("d.jsonl");
    TextFileOutput byDay(daily, TextFileOutput::Format::JsonLines, {.maxBytes = 0, .daily = true});
    Record late = reading(0, 18h - 1ms);  // 23:59:59.999
    Record next = reading(0, 18h);        // 00:00:00.000 the next day
    byDay.write(std::vector<Record>{reading(0), late, next});
    ASSERT_EQ(byDay.rotated().size(), 1u);
    EXPECT_EQ(fileContents(byDay.rotated()[0]), jsonLine(reading(0)) + jsonLine(late));
    EXPECT_EQ(fileContents(daily), jsonLine(next));
}

namespace {
// An output that fails while `failing` is set, for the writer.
class FlakyOutput : public RecordOutput {
  public:
    explicit FlakyOutput(std::atomic<bool>& failing, std::vector<Record>& stored)
        : failing_(failing), stored_(stored) {}
    void write(std::span<const Record> records) override {
        if (failing_) throw OutputError("x.csv: No space left on device", ENOSPC);
        stored_.insert(stored_.end(), records.begin(), records.end());
    }
    void close() override {}
    void reopen() override {
        ++reopens;
        if (reopenFails) throw OutputError("x.csv: database is locked", EIO);
    }
    const std::string& path() const override { return path_; }

    std::atomic<bool> reopenFails{false};
    std::atomic<int> reopens{0};

  private:
    std::atomic<bool>& failing_;
    std::vector<Record>& stored_;
    std::string path_ = "x.csv";
};
}  // namespace

// A reopen that fails is not forgotten: it is tried again before the next writes, said once.
TEST(RecordWriter, AFailedReopenIsTriedAgainUntilItIsMade) {
    std::atomic<bool> failing{false};
    std::vector<Record> stored;
    std::vector<std::string> said;
    std::mutex m;
    auto output = std::make_unique<FlakyOutput>(failing, stored);
    FlakyOutput& flaky = *output;
    flaky.reopenFails = true;
    RecordWriter writer(std::move(output), [&](const std::string& s) {
        const std::lock_guard lock(m);
        said.push_back(s);
    });
    writer.reopen();
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    int pushed = 0;
    while (flaky.reopens < 3 && std::chrono::steady_clock::now() < deadline) {
        writer.push(reading(pushed++));
        std::this_thread::sleep_for(20ms);
    }
    EXPECT_GE(flaky.reopens, 3);
    flaky.reopenFails = false;
    const int before = flaky.reopens;
    while (flaky.reopens == before && std::chrono::steady_clock::now() < deadline) {
        writer.push(reading(pushed++));
        std::this_thread::sleep_for(20ms);
    }
    const int made = flaky.reopens;
    writer.push(reading(pushed++));
    EXPECT_EQ(writer.stop(), 0u);
    EXPECT_EQ(flaky.reopens, made) << "a reopen made is not made again";
    EXPECT_EQ(stored.size(), static_cast<std::size_t>(pushed));
    const std::lock_guard lock(m);
    EXPECT_EQ(said, (std::vector<std::string>{
                        "reopening failed: x.csv: database is locked; writing on to the file "
                        "that was open, and trying again",
                        "reopened x.csv"}));
}

TEST(RecordWriter, HoldsWhileTheOutputFailsThenWritesEverythingInOrder) {
    std::atomic<bool> failing{true};
    std::vector<Record> stored;
    std::vector<std::string> said;
    std::mutex m;
    RecordWriter writer(
        std::make_unique<FlakyOutput>(failing, stored),
        [&](const std::string& s) {
            const std::lock_guard lock(m);
            said.push_back(s);
        },
        5, 1ms);
    for (const Record& r : readings(7)) writer.push(r);
    // Bounded: five held, two dropped, nothing written.
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    while (writer.stats().problem.empty() && std::chrono::steady_clock::now() < deadline)
        std::this_thread::yield();
    RecordWriter::Stats s = writer.stats();
    EXPECT_EQ(s.held, 5u);
    EXPECT_EQ(s.dropped, 2u);
    EXPECT_EQ(s.problem, "x.csv: No space left on device");
    failing = false;
    EXPECT_EQ(writer.stop(), 0u);
    s = writer.stats();
    EXPECT_EQ(s.written, 5u);
    ASSERT_EQ(stored.size(), 5u);
    for (int i = 0; i < 5; ++i) EXPECT_EQ(stored[static_cast<std::size_t>(i)].raw, reading(i).raw);
    ASSERT_GE(said.size(), 2u);
    EXPECT_NE(said.front().find("holding the readings (up to 5)"), std::string::npos)
        << said.front();
}

TEST(SqliteOutput, StoresInOneTableAndExportsATimeRange) {
    TempDir dir;
    const std::string path = dir.file("x.sqlite");
    std::vector<Record> all = readings(5);
    all[2].status = Status::Gap;
    all[2].raw.reset();
    all[2].value.reset();
    all[2].text = "the device went away";
    {
        SqliteOutput out(path);
        out.write(all);
        out.close();
    }
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(path.c_str(), &db), SQLITE_OK);
    sqlite3_stmt* s = nullptr;
    ASSERT_EQ(sqlite3_prepare_v2(db, "PRAGMA journal_mode", -1, &s, nullptr), SQLITE_OK);
    ASSERT_EQ(sqlite3_step(s), SQLITE_ROW);
    EXPECT_STREQ(reinterpret_cast<const char*>(sqlite3_column_text(s, 0)), "wal");
    sqlite3_finalize(s);
    sqlite3_close(db);

    char* text = nullptr;
    std::size_t size = 0;
    std::FILE* out = ::open_memstream(&text, &size);
    EXPECT_EQ(exportRecords(path, *timeBound("2026-12-08T06:00:00.100"),
                            *timeBound("2026-12-08 06:00:00.400Z"), ExportFormat::Csv, out),
              3u);
    std::fclose(out);
    EXPECT_EQ(std::string(text, size),
              csvHeader() + csvLine(all[1]) + csvLine(all[2]) + csvLine(all[3]));
    std::free(text);

    EXPECT_EQ(timeBound("2026-12-08"), "2026-12-08");
    EXPECT_EQ(timeBound("2026-12-08 06:30"), "2026-12-08T06:30");
    EXPECT_EQ(timeBound("2026-12-8"), std::nullopt);
    EXPECT_EQ(timeBound("yesterday"), std::nullopt);
    EXPECT_THROW(exportRecords(dir.file("none.sqlite"), "", "", ExportFormat::Csv, stdout),
                 OutputError);
}

namespace {
// The `value`s of a database's records in order, read the way an archive is read: the file on
// its own, no write-ahead log beside it.
std::vector<double> storedValues(const std::string& path) {
    std::vector<double> out;
    EXPECT_FALSE(fs::exists(path + "-wal")) << path;
    sqlite3* db = nullptr;
    // Read-write without create, so that closing removes the log SQLite opens beside it.
    if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READWRITE, nullptr) == SQLITE_OK) {
        sqlite3_stmt* s = nullptr;
        if (sqlite3_prepare_v2(db, "SELECT value FROM readings ORDER BY rowid", -1, &s, nullptr) ==
            SQLITE_OK)
            while (sqlite3_step(s) == SQLITE_ROW) out.push_back(sqlite3_column_double(s, 0));
        else
            ADD_FAILURE() << path << ": " << sqlite3_errmsg(db);
        sqlite3_finalize(s);
    }
    sqlite3_close(db);
    return out;
}

std::vector<double> valuesOf(const std::vector<Record>& records) {
    std::vector<double> out;
    for (const Record& r : records) out.push_back(*r.value);
    return out;
}
}  // namespace

// A reopen after a move folds the log into the moved file, so that everything before it is in
// that file alone. While it cannot (a reader's snapshot here; a full disk does the same) it must
// not let go of the file: the log still bears the old name, and a new file would take it for its
// own. The records go on into the moved file until the reopen can be made.
TEST(SqliteOutput, ReopenAfterAMoveFoldsTheLogIntoTheMovedFile) {
    TempDir dir;
    const std::string path = dir.file("g.sqlite");
    const std::string moved = dir.file("g.sqlite.1");
    const std::vector<Record> before = readings(4);
    const std::vector<Record> meanwhile = readings(2, 1s);
    const std::vector<Record> after = readings(3, 2s);
    SqliteOutput out(path);
    out.write(before);
    sqlite3* reader = nullptr;
    ASSERT_EQ(sqlite3_open(path.c_str(), &reader), SQLITE_OK);
    ASSERT_EQ(
        sqlite3_exec(reader, "BEGIN; SELECT count(*) FROM readings;", nullptr, nullptr, nullptr),
        SQLITE_OK);
    fs::rename(path, moved);
    EXPECT_THROW(out.reopen(), OutputError);
    out.write(meanwhile);
    sqlite3_exec(reader, "COMMIT", nullptr, nullptr, nullptr);
    sqlite3_close(reader);
    out.reopen();
    std::vector<double> first = valuesOf(before);
    for (const double v : valuesOf(meanwhile)) first.push_back(v);
    EXPECT_EQ(storedValues(moved), first);
    out.write(after);
    out.close();
    EXPECT_EQ(storedValues(path), valuesOf(after));
    EXPECT_EQ(storedValues(moved), first);
}

TEST(SqliteOutput, RotatesBySizeAndByDay) {
    TempDir dir;
    const std::string daily = dir.file("d.sqlite");
    Record late = reading(0, 18h - 1ms);  // 23:59:59.999
    Record next = reading(1, 18h);        // 00:00:00.000 the next day
    {
        SqliteOutput byDay(daily, {.maxBytes = 0, .daily = true});
        byDay.write(std::vector<Record>{reading(0), late, next});
        ASSERT_EQ(byDay.rotated().size(), 1u);
        EXPECT_EQ(byDay.rotated()[0], dir.file("d.2026-12-08T06-00-00.sqlite"));
        byDay.close();
        EXPECT_EQ(storedValues(byDay.rotated()[0]), valuesOf({reading(0), late}));
    }
    EXPECT_EQ(storedValues(daily), valuesOf({next}));
    // A database continued on the next day is rotated before its first record of that day.
    {
        SqliteOutput again(daily, {.maxBytes = 0, .daily = true});
        const Record dayAfter = reading(2, 42h);
        again.write(std::vector<Record>{dayAfter});
        ASSERT_EQ(again.rotated().size(), 1u);
        EXPECT_EQ(again.rotated()[0], dir.file("d.2026-12-09T00-00-00.sqlite"));
        again.close();
        EXPECT_EQ(storedValues(daily), valuesOf({dayAfter}));
    }

    const std::string sized = dir.file("s.sqlite");
    std::vector<Record> all = readings(3000);
    for (Record& r : all) r.text = std::string(200, 'x');
    SqliteOutput bySize(sized, {.maxBytes = 64 * 1024, .daily = false});
    for (std::size_t i = 0; i < all.size(); i += 100)
        bySize.write(std::span<const Record>(all).subspan(i, 100));
    bySize.close();
    ASSERT_GE(bySize.rotated().size(), 3u);
    // Every record once, in order, across the files; none much past the size.
    std::vector<double> got;
    for (const std::string& f : bySize.rotated()) {
        const std::vector<double> part = storedValues(f);
        EXPECT_FALSE(part.empty()) << f;
        EXPECT_LT(fs::file_size(f), 2 * 64 * 1024u) << f;
        got.insert(got.end(), part.begin(), part.end());
    }
    const std::vector<double> last = storedValues(sized);
    got.insert(got.end(), last.begin(), last.end());
    EXPECT_EQ(got, valuesOf(all));
}

TEST(RecordOutputs, OneRecorderAFileAndTheLockHeldUntilClosed) {
    TempDir dir;
    for (const std::string name : {"x.sqlite", "x.csv", "x.jsonl"}) {
        SCOPED_TRACE(name);
        const std::string path = dir.file(name);
        auto first = openOutput(path, {});
        first->write(readings(2));
        try {
            openOutput(path, {});
            ADD_FAILURE() << "a second output of one file was opened";
        } catch (const OutputError& e) {
            EXPECT_EQ(e.errnum(), EBUSY);
            EXPECT_NE(std::string(e.what()).find("another recorder is writing to it"),
                      std::string::npos)
                << e.what();
        }
        // A file moved away stays locked until the reopen has let go of it.
        const std::string moved = path + ".1";
        fs::rename(path, moved);
        const vantrel::Fd probe(::open(moved.c_str(), O_RDONLY | O_CLOEXEC));
        ASSERT_TRUE(probe);
        EXPECT_NE(::flock(probe.get(), LOCK_EX | LOCK_NB), 0);
        first->reopen();
        EXPECT_EQ(::flock(probe.get(), LOCK_EX | LOCK_NB), 0);
        first->close();
    }
}

TEST(SqliteOutput, SnapshotIsOneCompleteFileWhileWriting) {
    TempDir dir;
    const std::string path = dir.file("lab.sqlite");
    const std::string copy = dir.file("copy.sqlite");
    SqliteOutput out(path);
    std::vector<Record> all = readings(500);
    out.write(all);
    // The records wait in the write-ahead log: a copy of the file alone would miss them.
    ASSERT_GT(fs::file_size(path + "-wal"), 0u);
    EXPECT_EQ(snapshotDatabase(path, copy), 500u);
    EXPECT_EQ(storedValues(copy), valuesOf(all));
    const std::vector<Record> more = readings(7, 1h);
    out.write(more);
    all.insert(all.end(), more.begin(), more.end());
    EXPECT_EQ(snapshotDatabase(path, copy), 507u);  // an older copy is replaced whole
    EXPECT_EQ(storedValues(copy), valuesOf(all));
    EXPECT_FALSE(fs::exists(copy + ".part"));
    out.close();
    for (const auto& [from, to, says] :
         {std::tuple(path, path, "is the database itself"),
          std::tuple(dir.file("none.sqlite"), copy, "cannot open the database")}) {
        try {
            snapshotDatabase(from, to);
            ADD_FAILURE() << from << " -> " << to;
        } catch (const OutputError& e) {
            EXPECT_NE(std::string(e.what()).find(says), std::string::npos) << e.what();
        }
    }
    EXPECT_EQ(storedValues(copy), valuesOf(all));
}

namespace {
struct SummaryRow {
    std::string start, name;
    int64_t count;
    double min, max, mean;
    bool operator==(const SummaryRow&) const = default;
};
std::ostream& operator<<(std::ostream& o, const SummaryRow& r) {
    return o << r.start << " " << r.name << " n=" << r.count << " " << r.min << ".." << r.max
             << " mean " << r.mean;
}

std::vector<SummaryRow> summaryRows(const std::string& path, const std::string& span) {
    std::vector<SummaryRow> out;
    sqlite3* db = nullptr;
    EXPECT_EQ(sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READWRITE, nullptr), SQLITE_OK);
    sqlite3_stmt* s = nullptr;
    EXPECT_EQ(sqlite3_prepare_v2(db,
                                 "SELECT start, name, count, min, max, mean FROM summaries"
                                 " WHERE span = ?1 ORDER BY start, name",
                                 -1, &s, nullptr),
              SQLITE_OK)
        << sqlite3_errmsg(db);
    sqlite3_bind_text(s, 1, span.c_str(), -1, SQLITE_TRANSIENT);
    while (sqlite3_step(s) == SQLITE_ROW)
        out.push_back({reinterpret_cast<const char*>(sqlite3_column_text(s, 0)),
                       reinterpret_cast<const char*>(sqlite3_column_text(s, 1)),
                       sqlite3_column_int64(s, 2), sqlite3_column_double(s, 3),
                       sqlite3_column_double(s, 4), sqlite3_column_double(s, 5)});
    sqlite3_finalize(s);
    sqlite3_close(db);
    return out;
}

// The summary of `records` of one channel, as a plain loop over them says it.
SummaryRow expectedSummary(const std::vector<Record>& records, const std::string& start,
                           const std::string& name) {
    SummaryRow r{start, name, 0, 0, 0, 0};
    double sum = 0;
    for (const Record& x : records) {
        if (x.name != name || x.status != Status::Ok || !x.value) continue;
        const double v = *x.value;
        r.min = r.count == 0 ? v : std::min(r.min, v);
        r.max = r.count == 0 ? v : std::max(r.max, v);
        sum += v;
        ++r.count;
    }
    r.mean = sum / static_cast<double>(r.count);
    return r;
}
}  // namespace

TEST(SqliteOutput, SummariesPerMinuteAndHourAsReadingsAreWritten) {
    TempDir dir;
    const std::string path = dir.file("x.sqlite");
    // Two channels over two minutes of one hour, values that move, a gap and an error among
    // them, written in batches that split the minutes.
    std::vector<Record> all;
    for (int i = 0; i < 1200; ++i) {
        Record r = reading(i);  // every 100 ms from 06:00:00
        r.name = i % 2 ? "tank" : "supply";
        r.value = std::sin(i * 0.37) * 100 + (i % 7);
        if (i == 300) r.status = Status::Gap, r.value.reset(), r.raw.reset();
        if (i == 301) r.status = Status::Error, r.value.reset(), r.raw.reset();
        all.push_back(r);
    }
    {
        SqliteOutput out(path);
        for (std::size_t i = 0; i < all.size(); i += 250)
            out.write(std::span<const Record>(all).subspan(
                i, std::min<std::size_t>(250, all.size() - i)));
        out.close();
    }
    const std::vector<Record> first(all.begin(), all.begin() + 600);
    const std::vector<Record> second(all.begin() + 600, all.end());
    const auto near = [](const std::vector<SummaryRow>& got, const std::vector<SummaryRow>& want) {
        ASSERT_EQ(got.size(), want.size());
        for (std::size_t i = 0; i < got.size(); ++i) {
            EXPECT_EQ(got[i].start, want[i].start);
            EXPECT_EQ(got[i].name, want[i].name);
            EXPECT_EQ(got[i].count, want[i].count) << got[i];
            EXPECT_EQ(got[i].min, want[i].min) << got[i];
            EXPECT_EQ(got[i].max, want[i].max) << got[i];
            EXPECT_NEAR(got[i].mean, want[i].mean, 1e-9) << got[i];
        }
    };
    near(summaryRows(path, "minute"),
         {expectedSummary(first, "2026-12-08T06:00:00.000Z", "supply"),
          expectedSummary(first, "2026-12-08T06:00:00.000Z", "tank"),
          expectedSummary(second, "2026-12-08T06:01:00.000Z", "supply"),
          expectedSummary(second, "2026-12-08T06:01:00.000Z", "tank")});
    near(summaryRows(path, "hour"), {expectedSummary(all, "2026-12-08T06:00:00.000Z", "supply"),
                                     expectedSummary(all, "2026-12-08T06:00:00.000Z", "tank")});

    // A database of an earlier version, readings without summaries, gets them when continued.
    const std::string old = dir.file("old.sqlite");
    {
        SqliteOutput out(old);
        out.write(first);
        out.close();
    }
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(old.c_str(), &db), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(db, "DROP TABLE summaries", nullptr, nullptr, nullptr), SQLITE_OK);
    sqlite3_close(db);
    {
        SqliteOutput out(old);
        out.write(second);
        out.close();
    }
    near(summaryRows(old, "hour"), summaryRows(path, "hour"));
    near(summaryRows(old, "minute"), summaryRows(path, "minute"));
}

TEST(RecordOutputs, RetainRemovesOldRecordsAndRotatedFiles) {
    TempDir dir;
    const std::string path = dir.file("lab.sqlite");
    const auto days = [](int n) { return std::chrono::hours(24 * n); };
    // Rotated files of this output, one old and one recent, and files it must not touch.
    const auto touch = [&](const std::string& name, std::chrono::system_clock::time_point when) {
        std::ofstream(dir.file(name)) << "x";
        const auto s = std::chrono::duration_cast<std::chrono::seconds>(when.time_since_epoch());
        const timespec times[2] = {{s.count(), 0}, {s.count(), 0}};
        ASSERT_EQ(::utimensat(AT_FDCWD, dir.file(name).c_str(), times, 0), 0);
    };
    const auto now = std::chrono::system_clock::now();
    touch("lab.2026-01-01T00-00-00.sqlite", now - days(40));
    touch("lab.2026-01-01T00-00-00-2.sqlite", now - days(40));
    touch("lab.2026-02-01T00-00-00.sqlite", now - days(2));
    for (const char* other : {"lab.notes.sqlite", "lab.2026-01-01.sqlite", "lab.sqlite.1",
                              "lab.2026-01-01T00-00-00.csv", "other.2026-01-01T00-00-00.sqlite"})
        touch(other, now - days(40));
    {
        SqliteOutput out(path, {.maxBytes = 0, .daily = false, .retainDays = 30});
        std::vector<Record> old = readings(5, -days(31));
        for (Record& r : old) r.time += now - at(0ms);
        std::vector<Record> recent = readings(5);
        for (Record& r : recent) r.time += now - at(0ms);
        out.write(old);  // nothing older than 30 days before these
        out.close();
        EXPECT_EQ(storedValues(path).size(), 5u);
        SqliteOutput again(path, {.maxBytes = 0, .daily = false, .retainDays = 30});
        again.write(recent);
        again.close();
        EXPECT_EQ(storedValues(path), valuesOf(recent));
    }
    // The old records' hour stays summarised; their minutes are gone with them.
    EXPECT_EQ(summaryRows(path, "hour").size(), 2u);
    EXPECT_EQ(summaryRows(path, "minute").size(), 1u);
    std::set<std::string> left;
    for (const auto& e : fs::directory_iterator(dir.path)) left.insert(e.path().filename());
    EXPECT_FALSE(left.count("lab.2026-01-01T00-00-00.sqlite"));
    EXPECT_FALSE(left.count("lab.2026-01-01T00-00-00-2.sqlite"));
    EXPECT_TRUE(left.count("lab.2026-02-01T00-00-00.sqlite"));
    for (const char* other : {"lab.notes.sqlite", "lab.2026-01-01.sqlite", "lab.sqlite.1",
                              "lab.2026-01-01T00-00-00.csv", "other.2026-01-01T00-00-00.sqlite"})
        EXPECT_TRUE(left.count(other)) << other;

    // A text output prunes its rotated files the same way.
    touch("x.2026-01-01T00-00-00.csv", now - days(3));
    touch("x.2026-01-02T00-00-00.csv", now - days(1));
    TextFileOutput csv(dir.file("x.csv"), TextFileOutput::Format::Csv,
                       {.maxBytes = 0, .daily = false, .retainDays = 2});
    std::vector<Record> one = readings(1);
    one[0].time = now;
    csv.write(one);
    csv.close();
    EXPECT_FALSE(fs::exists(dir.file("x.2026-01-01T00-00-00.csv")));
    EXPECT_TRUE(fs::exists(dir.file("x.2026-01-02T00-00-00.csv")));
}

TEST(ServiceNotifier, SendsToTheSocketNamedInTheEnvironment) {
    TempDir dir;
    const std::string path = dir.file("notify");
    vantrel::Fd listener(::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::snprintf(addr.sun_path, sizeof addr.sun_path, "%s", path.c_str());
    ASSERT_EQ(::bind(listener.get(), reinterpret_cast<const sockaddr*>(&addr), sizeof addr), 0);
    const vantrel::testing::ScopedEnv socket("NOTIFY_SOCKET", path);
    const vantrel::testing::ScopedEnv watchdog("WATCHDOG_USEC", "4000000");
    const vantrel::testing::ScopedEnv pid("WATCHDOG_PID", std::to_string(::getpid()));
    const ServiceNotifier n;
    EXPECT_EQ(n.watchdogEvery(), std::chrono::microseconds(2'000'000));
    ASSERT_TRUE(n.send("READY=1"));
    char got[64] = {};
    EXPECT_EQ(::recv(listener.get(), got, sizeof got, MSG_DONTWAIT), 7);
    EXPECT_STREQ(got, "READY=1");
    const vantrel::testing::ScopedEnv other("WATCHDOG_PID", "1");
    EXPECT_EQ(ServiceNotifier().watchdogEvery(), std::nullopt);
}
