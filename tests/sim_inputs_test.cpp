// The simulated board's inputs that move: each function of time, the word a conversion latches,
// the conversion log, the board's own rate, and a control reading moving inputs over a
// pseudo-terminal, every reading checked against the conversions the board logged.
#include <fcntl.h>
#include <sys/epoll.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <set>
#include <string>
#include <vector>

#include "board_conversions.hpp"
#include "fd.hpp"
#include "pump_until.hpp"
#include "sim/board_console.hpp"
#include "sim/conversion_log.hpp"
#include "sim/pty_board.hpp"
#include "test_support.hpp"
#include "vantrel/board.hpp"

namespace vantrel::sim {
namespace {

using std::chrono::microseconds;
using std::chrono::milliseconds;
using std::chrono::seconds;

BoardInput inputOf(const std::string& text) {
    return parseInput(splitWords(text));
}

// ---- Functions of time ---------------------------------------------------------------------

struct SampleCase {
    const char* text;
    microseconds since;
    uint64_t conversion;
    double value;
};

TEST(BoardInputs, EachFunctionAtKnownTimes) {
    const SampleCase cases[] = {
        {"constant 805.25", seconds(7), 3, 805.25},
        {"ramp 100 900 1s", milliseconds(0), 0, 100},
        {"ramp 100 900 1s", milliseconds(250), 0, 300},
        {"ramp 100 900 1s", milliseconds(1250), 0, 300},  // again every period
        {"sine 512 400 2s", milliseconds(500), 0, 912},
        {"sine 512 400 2s", milliseconds(1500), 0, 112},
        {"sine 512 400 2s 90", milliseconds(0), 0, 912},
        {"square 100 900 1s 0.25", milliseconds(100), 0, 900},
        {"square 100 900 1s 0.25", milliseconds(500), 0, 100},
        {"square 100 900 1s", milliseconds(1600), 0, 100},
        {"step 0 800 2s", microseconds(1'999'999), 0, 0},
        {"step 0 800 2s", seconds(2), 0, 800},
        {"alternate 341 682", seconds(1), 0, 341},
        {"alternate 341 682", seconds(1), 1, 682},
        {"alternate 1 2 3", seconds(0), 5, 3},
    };
    for (const SampleCase& c : cases) {
        SCOPED_TRACE(std::string(c.text) + " at " + std::to_string(c.since.count()) + " us");
        const BoardInput in = inputOf(c.text);
        EXPECT_NEAR(in.at(c.since, c.conversion), c.value, 1e-9);
        // What it says of itself reads back as the same input.
        EXPECT_NEAR(inputOf(in.describe()).at(c.since, c.conversion), c.value, 1e-9);
    }
}

TEST(BoardInputs, NoiseIsTheSameForASeedAndStaysInItsSpread) {
    const BoardInput a = inputOf("noise 500 100 7");
    const BoardInput b = inputOf("noise 500 100 8");
    int differ = 0;
    for (uint64_t n = 0; n < 1000; ++n) {
        const double v = a.at(seconds(0), n);
        EXPECT_GE(v, 400);
        EXPECT_LT(v, 600);
        EXPECT_EQ(v, inputOf("noise 500 100 7").at(seconds(5), n));
        differ += v != b.at(seconds(0), n);
    }
    EXPECT_GT(differ, 990);
}

TEST(BoardInputs, BadInputsAreRefusedWithTheReason) {
    const std::pair<const char*, const char*> cases[] = {
        {"ramp 0 100 2", "needs a unit"},    {"sine 1 2 0s", "longer than 0"},
        {"square 0 1 1s 1.5", "DUTY"},       {"noise 1 2 x", "whole number"},
        {"alternate 5", "usage: alternate"}, {"triangle 1 2 1s", "unknown input triangle"},
        {"constant nan", "not a number"},
    };
    for (const auto& [text, reason] : cases) {
        SCOPED_TRACE(text);
        try {
            inputOf(text);
            ADD_FAILURE() << "accepted";
        } catch (const std::invalid_argument& e) {
            EXPECT_NE(std::string(e.what()).find(reason), std::string::npos) << e.what();
        }
    }
}

// ---- Conversions through the engine --------------------------------------------------------

// An engine on a clock the test moves, recording each conversion.
struct Clocked {
    explicit Clocked(BoardEngine::Options options = {}) : engine(options) {
        engine.setTimeSource([this] { return now; });
        engine.setConversionObserver([this](const Conversion& c) { made.push_back(c); });
    }
    long reply(const std::string& command) {
        const std::string r = joined(engine.receive(command == "@" ? command : command + "\r"));
        EXPECT_TRUE(r.starts_with("OK ")) << command << ": " << r;
        return std::stol(r.substr(3));
    }
    microseconds now{0};
    BoardEngine engine;
    std::vector<Conversion> made;
};

TEST(BoardInputs, SampledWhenTheConversionStartsAndClamped) {
    Clocked b;
    b.now = seconds(10);
    b.engine.setInput(10, 2, inputOf("ramp 100.25 1000 1s"));
    b.engine.setInput(12, 4, inputOf("sine 2048 4000 2s"));
    b.engine.setInput(8, 5, inputOf("constant -3"));
    b.now = seconds(10) + milliseconds(500);
    EXPECT_EQ(b.engine.word(10, 2), 35208);  // 550.125, half way, from when it was set
    EXPECT_EQ(b.engine.word(12, 4), 65535);  // 6048 clamps to the word's top
    EXPECT_EQ(b.engine.reading(12, 4), 4095.9375);
    EXPECT_EQ(b.engine.word(8, 5), 0);
    b.now = seconds(11) + milliseconds(500);
    EXPECT_EQ(b.engine.word(12, 4), 0);  // -1952 clamps to 0
}

struct LatchCase {
    const char* name;
    bool bits8;
    bool outOfStep;
    std::vector<std::string> commands;
    std::vector<long> replies;
    std::vector<uint16_t> converted;  // words of the conversions, in order
};

void PrintTo(const LatchCase& c, std::ostream* os) {
    *os << c.name;
}

class Latch : public ::testing::TestWithParam<LatchCase> {};

// 10-bit channel 3 and 12-bit channel 7 alternate between two values from one conversion to
// the next: a byte from a conversion other than its reading's would show.
TEST_P(Latch, EveryByteOfAReadingComesFromOneConversion) {
    const LatchCase& c = GetParam();
    BoardEngine::Options options;
    options.bits8 = c.bits8;
    Clocked b(options);
    b.engine.setInput(10, 3, inputOf("alternate 341 682"));    // words 0x5540, 0xAA80
    b.engine.setInput(12, 7, inputOf("alternate 1000 3000"));  // words 0x3E80, 0xBB80
    b.engine.setInput(8, 2, inputOf("alternate 10 20"));
    b.engine.setOutOfStep(c.outOfStep);
    std::vector<long> replies;
    for (const std::string& command : c.commands) {
        replies.push_back(b.reply(command));
        b.now += milliseconds(1);
    }
    EXPECT_EQ(replies, c.replies);
    std::vector<uint16_t> words;
    for (const Conversion& made : b.made) words.push_back(made.word);
    EXPECT_EQ(words, c.converted);
}

INSTANTIATE_TEST_SUITE_P(
    SimInputs, Latch,
    ::testing::Values(LatchCase{"NewChannelThenSameChannel10",
                                false,
                                false,
                                {"PWS48", "PRS", "@", "@", "PRS", "@", "PRS", "@"},
                                {48, 0x55, 0x55, 0x40, 0xAA, 0x80, 0x55, 0x40},
                                {0x5540, 0xAA80, 0x5540}},
                      LatchCase{"NewChannelThenSameChannel12",
                                false,
                                false,
                                {"PWS124", "PRS", "@", "@", "PRS", "@"},
                                {124, 0x3E, 0x3E, 0x80, 0xBB, 0x80},
                                {0x3E80, 0xBB80}},
                      LatchCase{
                          "AnAtWithoutAConversionStartsOne",
                          false,
                          false,
                          {"PWS48", "@", "@", "@", "PRS", "@"},
                          {48, 0x55, 0x40, 0x55, 0xAA, 0xAA},  // that PRS still follows the write
                          {0x5540, 0xAA80}},
                      LatchCase{"AnAddressWriteDropsTheLatchedWord",
                                false,
                                false,
                                {"PWS48", "PRS", "@", "PWS124", "@", "@"},
                                {48, 0x55, 0x55, 124, 0x3E, 0x80},
                                {0x5540, 0x3E80}},
                      LatchCase{"OutOfStepSwapsTheBytesOfOneWord",
                                false,
                                true,
                                {"PWS48", "PRS", "@", "@", "PCSA128", "PRS", "@"},
                                {48, 0x40, 0x40, 0x55, 0, 0xAA, 0x80},
                                {0x5540, 0xAA80}},
                      LatchCase{"EachEightBitByteIsAConversion",
                                true,
                                false,
                                {"PWS32", "PRS", "@", "@"},
                                {32, 10, 20, 10},
                                {10, 20, 10}},
                      LatchCase{"EightBitReadsOfTheTenBitConverterTakeItsHighByte",
                                false,
                                false,
                                {"PWS48", "PRS", "@", "PRS"},
                                {48, 0x55, 0x55, 0xAA},
                                {0x5540, 0xAA80}}),
    [](const ::testing::TestParamInfo<LatchCase>& info) { return std::string(info.param.name); });

TEST(BoardInputs, ALatchedWordHoldsWhileTheInputMoves) {
    Clocked b;
    b.engine.setInput(10, 2, inputOf("ramp 100.25 1000 1s"));
    EXPECT_EQ(b.reply("PWS32"), 32);
    EXPECT_EQ(b.reply("PRS"), 0x19);  // 100.25: 0x1910
    b.now = milliseconds(500);        // the input is 550.125 (0x8988) by now
    EXPECT_EQ(b.reply("@"), 0x19);
    EXPECT_EQ(b.reply("@"), 0x10);
    EXPECT_EQ(b.reply("PRS"), 0x89);
    EXPECT_EQ(b.reply("@"), 0x88);
    ASSERT_EQ(b.made.size(), 2u);
    EXPECT_EQ(b.made[0].time, microseconds(0));
    EXPECT_EQ(b.made[1].time, milliseconds(500));
    EXPECT_EQ(b.made[1].reading, 550.125);
    EXPECT_EQ(b.made[1].bits, 10);
    EXPECT_EQ(b.made[1].channel, 2);
}

// ---- The console ------------------------------------------------------------------------------

TEST(BoardInputs, TheConsoleSetsInputsAndSaysWhichConverterAnswers) {
    const std::unique_ptr<EventLoop> loop = makeEpollLoop();
    struct Case {
        bool bits8;
        const char* command;
        const char* answer;  // a part of it
        bool notConverted;   // the answer says the reading is not converted
    } cases[] = {
        {false, "set 8 2 77",
         "8-bit channel 2 reads 77 (word 77); but the board answers 8-bit "
         "reads from the 10-bit converter",
         true},
        {false, "get 8 2", "reads 77", true},
        {false, "set 10 2 805.25", "10-bit channel 2 reads 805.25 (word 51536)\n", false},
        {true, "set 8 2 77", "8-bit channel 2 reads 77 (word 77)\n", false},
        {true, "set 10 2 805.25", "with --bits8 the 8-bit converter answers instead", true},
        {false, "input 10 3 sine 512 400 2s", " now, input sine 512 400 2s 0", false},
        {false, "input 12 7 noise 2048 10 3", "now, input noise 2048 10 3", false},
        {false, "input 10 3 ramp 1 2 3", "error: a duration needs a unit", false},
        {false, "input 10 16 constant 1", "error: no channel 16", false},
        {false, "help", "alternate VALUE VALUE", true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.command);
        PtyBoard::Options options;
        options.engine.bits8 = c.bits8;
        PtyBoard board(*loop, options);
        BoardConsole console(board);
        if (std::string(c.command) == "get 8 2") console.run("set 8 2 77");
        const std::string answer = console.run(c.command).text;
        EXPECT_NE(answer.find(c.answer), std::string::npos) << answer;
        EXPECT_EQ(answer.find("not converted") != std::string::npos, c.notConverted) << answer;
    }
    PtyBoard board(*loop);
    BoardConsole console(board);
    console.run("input 10 3 square 0 1000 1s");
    EXPECT_NE(console.status().find("inputs: 10 3 square 0 1000 1s 0.5"), std::string::npos)
        << console.status();
}

// ---- The conversion log ----------------------------------------------------------------------

TEST(ConversionLogFile, LinesReadBackAsTheBoardConverted) {
    testing::TempDir dir;
    const std::string path = dir.file("conversions.csv");
    Clocked b;
    ConversionLog log(path);
    b.engine.setConversionObserver(log.observer());
    b.engine.setInput(10, 3, inputOf("alternate 341 682"));
    b.engine.setInput(12, 7, inputOf("constant 3071.5625"));
    b.now = seconds(42);
    for (const char* command : {"PWS48", "PRS", "@", "@", "PRS", "@", "PWS124", "PRS", "@", "@"})
        b.reply(command);
    EXPECT_EQ(log.written(), 3u);
    EXPECT_EQ(log.lost(), 0u);

    std::ifstream in(path);
    std::string header, first;
    std::getline(in, header);
    std::getline(in, first);
    EXPECT_EQ(header, "wall_us,mono_us,bits,channel,word,reading");
    EXPECT_TRUE(first.ends_with(",42000000,10,3,21824,341")) << first;
    const int64_t wall = std::stoll(first.substr(0, first.find(',')));
    const int64_t nowUs = std::chrono::duration_cast<microseconds>(
                              std::chrono::system_clock::now().time_since_epoch())
                              .count();
    EXPECT_GT(wall, nowUs - 3'600'000'000);
    EXPECT_LE(wall, nowUs);

    using test::BoardConversions;
    const BoardConversions read = BoardConversions::load(path);
    ASSERT_EQ(read.records().size(), 3u);
    const auto at = BoardConversions::Clock::time_point(seconds(42));
    EXPECT_TRUE(read.hasWord(10, 3, 21824, at, at));
    EXPECT_TRUE(read.hasReading(10, 3, 682, at, at));
    EXPECT_TRUE(read.hasReading(12, 7, 3071.5625));
    EXPECT_TRUE(read.hasTopByte(3, 0xAA));
    EXPECT_FALSE(read.hasReading(10, 3, 341, at + microseconds(1)));  // none later
    EXPECT_FALSE(read.hasReading(10, 5, 341));
    EXPECT_FALSE(read.hasReading(10, 3, 342));  // a torn 341/682 would read so
    EXPECT_EQ(read.count(10, 3), 2u);

    // A line still being written is left out; a broken one is named.
    std::ofstream(path, std::ios::app) << "1,2,10,3,5";
    EXPECT_EQ(BoardConversions::load(path).records().size(), 3u);
    std::ofstream(path, std::ios::app) << ",x\n";
    EXPECT_THROW(BoardConversions::load(path), std::runtime_error);
}

// ---- The board's own rate --------------------------------------------------------------------

TEST(Reframe, WhatAReceiverAtAnotherRateSamples) {
    EXPECT_EQ(reframe("OK 1\r\n>", 9600, 9600), "OK 1\r\n>");
    // 0xFF read twice as fast: the start bit lasts two of the receiver's bits.
    EXPECT_EQ(reframe("\xFF", 9600, 19200), "\xFE");
    // 0x00 read at half the rate: the stop bit and the idle line come in as ones.
    EXPECT_EQ(reframe(std::string(1, '\0'), 19200, 9600), "\xF8");
    const std::string garbled = reframe("PRA\r", 19200, 9600);
    EXPECT_EQ(garbled, reframe("PRA\r", 19200, 9600));
    EXPECT_EQ(garbled.find('\r'), std::string::npos);
    EXPECT_LE(reframe(std::string(1000, 'U'), 115200, 300).size(), 10u);
}

// A client of the line at a rate of its choosing.
class RateClient {
  public:
    RateClient(EventLoop& loop, const std::string& path, speed_t speed)
        : fd_(::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC)) {
        if (!fd_) throw std::runtime_error(sysMessage("open", path, errno));
        termios tio{};
        ::tcgetattr(fd_.get(), &tio);
        ::cfmakeraw(&tio);
        ::cfsetispeed(&tio, speed);
        ::cfsetospeed(&tio, speed);
        if (::tcsetattr(fd_.get(), TCSANOW, &tio) != 0)
            throw std::runtime_error(sysMessage("tcsetattr", path, errno));
        watch_ = loop.watch(fd_.get(), EPOLLIN, [this](uint32_t) {
            char buf[256];
            const ssize_t n = ::read(fd_.get(), buf, sizeof buf);
            if (n > 0) received.append(buf, static_cast<std::size_t>(n));
        });
    }
    void write(std::string_view bytes) {
        ASSERT_EQ(::write(fd_.get(), bytes.data(), bytes.size()),
                  static_cast<ssize_t>(bytes.size()));
    }
    std::string received;

  private:
    Fd fd_;
    WatchHandle watch_;
};

TEST(BoardRate, AClientAtAnotherRateGetsGarbageBothWays) {
    const std::unique_ptr<EventLoop> loop = makeEpollLoop();
    PtyBoard board(*loop);
    BoardConsole console(board);
    EXPECT_EQ(console.run("baud 19200").text, "ok\n");
    {
        RateClient wrong(*loop, board.slavePath(), B9600);
        EXPECT_TRUE(board.rateMismatch());
        EXPECT_NE(console.status().find("the line's differs"), std::string::npos);
        wrong.write("PRA\r");
        board.sendUnsolicited("L\r\n");
        ASSERT_TRUE(
            test::pumpUntil(*loop, [&] { return board.idle() && wrong.received.size() >= 3; }));
        for (const std::string& line : board.lines()) EXPECT_NE(line, "PRA\r");
        EXPECT_FALSE(wrong.received.empty());
        EXPECT_EQ(wrong.received.find("L\r\n"), std::string::npos) << wrong.received;
    }
    RateClient right(*loop, board.slavePath(), B19200);
    EXPECT_FALSE(board.rateMismatch());
    right.write("\rPRA\r");
    ASSERT_TRUE(test::pumpUntil(*loop, [&] { return right.received.ends_with("OK 1\r\n>"); }))
        << right.received;
}

// ---- A control reading moving inputs ---------------------------------------------------------

// The torn reading of the issue: inputs that alternate from one conversion to the next, read
// through the control over a pseudo-terminal, same channel (PRS and "@") and new channel
// (address write, PRS, "@", "@") alike. Every reading must be a word the board converted.
TEST(MovingInputs, EveryReadingOfTheControlIsAConversionTheBoardLogged) {
    testing::TempDir dir;
    const std::string path = dir.file("conversions.csv");
    EventLoop& loop = threadLoop();
    PtyBoard board(loop);
    ConversionLog log(path);
    board.engine().setConversionObserver(log.observer());
    BoardConsole console(board);
    console.run("input 10 3 alternate 341 682");
    console.run("input 10 5 sine 512 400 50ms");
    console.run("input 12 7 alternate 1000.5 3000.25");
    struct Read {
        int bits;
        int channel;
        double value;
        std::chrono::steady_clock::time_point from, to;
    };
    std::vector<Read> reads;
    {
        Board client(board.slavePath(), 9600);
        const auto read = [&](int bits, int channel) {
            const auto from = std::chrono::steady_clock::now();
            const double value = client.read(bits, channel);
            reads.push_back({bits, channel, value, from, std::chrono::steady_clock::now()});
        };
        for (int i = 0; i < 100; ++i) read(10, 3);              // same channel
        for (int i = 0; i < 100; ++i) read(10, i % 2 ? 3 : 5);  // a new channel each time
        for (int i = 0; i < 100; ++i) read(12, 7);              // same channel, 12 bits
        // Widths taking turns on the board's one address register.
        for (int i = 0; i < 100; ++i) read(i % 3 == 2 ? 12 : 10, i % 3 == 2 ? 7 : 3 + 2 * (i % 3));
    }
    const test::BoardConversions logged = test::BoardConversions::load(path);
    std::set<double> seen3;
    for (const Read& r : reads) {
        EXPECT_TRUE(logged.hasReading(r.bits, r.channel, r.value, r.from, r.to))
            << r.bits << "-bit channel " << r.channel << " read " << r.value << "; "
            << logged.near(r.bits, r.channel, r.to);
        if (r.channel == 3) seen3.insert(r.value);
    }
    EXPECT_EQ(seen3, (std::set<double>{341, 682}));  // the input did move under the reads
    EXPECT_EQ(log.lost(), 0u);
}

// The same board inside the process: "sim://" takes the inputs and the log as options.
TEST(MovingInputs, TheInProcessBoardTakesInputsAndALog) {
    testing::TempDir dir;
    const std::string path = dir.file("sim.csv");
    {
        Board client("sim://?input=10:3:alternate:341:682&input=12:7:ramp:0:4000:1s&log=" + path,
                     9600);
        EXPECT_EQ(client.read(10, 3), 341);
        EXPECT_EQ(client.read(10, 3), 682);
        EXPECT_EQ(client.read(10, 3), 341);
        client.read(12, 7);
    }
    const test::BoardConversions logged = test::BoardConversions::load(path);
    EXPECT_EQ(logged.count(10, 3), 3u);
    EXPECT_EQ(logged.count(12, 7), 1u);
    for (const auto& [option, reason] : {std::pair{"input=10:3:sine:1:2", "usage: sine"},
                                         std::pair{"input=10:99:constant:1", "no channel 99"},
                                         std::pair{"log=/nonexistent/x.csv", "/nonexistent"}}) {
        try {
            Board bad(std::string("sim://?") + option, 9600);
            ADD_FAILURE() << option << " opened";
        } catch (const Error& e) {
            EXPECT_NE(std::string(e.what()).find(reason), std::string::npos) << e.what();
        }
    }
}

}  // namespace
}  // namespace vantrel::sim
