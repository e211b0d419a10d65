// The simulated board's protocol engine: framing, the converters as the control reads them,
// scripting and faults, and the timing of what it sends.
#include <gtest/gtest.h>

#include <cmath>
#include <ostream>
#include <stdexcept>
#include <string>
#include <vector>

#include "sim/board_engine.hpp"

namespace vantrel::sim {
namespace {

using std::chrono::microseconds;
using std::chrono::milliseconds;

// The number in an "OK <n>\r\n>" reply; fails the test for any other shape.
long replyNumber(const std::string& reply) {
    EXPECT_TRUE(reply.starts_with("OK ") && reply.ends_with("\r\n>")) << reply;
    return std::stol(reply.substr(3));
}

// Sends one command the way the control frames it ("@" alone, anything else with a CR).
std::string send(BoardEngine& board, const std::string& command) {
    return joined(board.receive(command == "@" ? command : command + "\r"));
}

// ---- Framing ------------------------------------------------------------------------------

struct FramingCase {
    const char* name;
    std::string input;
    std::string output;
    std::vector<std::string> lines;
};

void PrintTo(const FramingCase& c, std::ostream* os) {
    *os << c.name;
}

class Framing : public ::testing::TestWithParam<FramingCase> {};

TEST_P(Framing, RepliesAndRecordsLines) {
    const FramingCase& c = GetParam();
    BoardEngine board;
    board.setReading(10, 0, 805.0);
    EXPECT_EQ(joined(board.receive(c.input)), c.output);
    EXPECT_EQ(board.lines(), c.lines);
}

TEST_P(Framing, SameWhenFedOneByteAtATime) {
    const FramingCase& c = GetParam();
    BoardEngine board;
    board.setReading(10, 0, 805.0);
    std::string all;
    for (char ch : c.input) all += joined(board.receive(std::string_view(&ch, 1)));
    EXPECT_EQ(all, c.output);
    EXPECT_EQ(board.lines(), c.lines);
}

INSTANTIATE_TEST_SUITE_P(
    Lines, Framing,
    ::testing::Values(
        FramingCase{"Probe", "PRA\r", "OK 1\r\n>", {"PRA\r"}},
        FramingCase{"NoCrNoReply", "PRA", "", {}},
        FramingCase{"LfIgnoredInsideLine", "P\nRA\n\r", "OK 1\r\n>", {"P\nRA\n\r"}},
        FramingCase{"LfAfterCrStartsNextRecord",
                    "PRA\r\nPRA\r",
                    "OK 1\r\n>OK 1\r\n>",
                    {"PRA\r", "\nPRA\r"}},
        FramingCase{"AtIsCompleteWithoutCr", "@", "OK 201\r\n>", {"@"}},
        FramingCase{"AtAfterLfStillStartsLine", "\n@", "OK 201\r\n>", {"\n@"}},
        FramingCase{"TwoAts", "@@", "OK 201\r\n>OK 64\r\n>", {"@", "@"}},
        FramingCase{"AtInsideLineIsText", "PRS@\r", "?A Illegal command\r\n>", {"PRS@\r"}},
        FramingCase{"CaseSensitive", "pra\r", "?A Illegal command\r\n>", {"pra\r"}},
        FramingCase{"Unknown", "XYZ\r", "?A Illegal command\r\n>", {"XYZ\r"}},
        FramingCase{"EmptyLineReprompts", "\r", ">", {"\r"}},
        FramingCase{"SetUp", "PCSA128\r", "OK 0\r\n>", {"PCSA128\r"}},
        FramingCase{"AddressWrite", "PWS188\r", "OK 188\r\n>", {"PWS188\r"}},
        FramingCase{"AddressOutOfRange", "PWS256\r", "?3 Bad address\r\n>", {"PWS256\r"}},
        FramingCase{"AddressNoConverter", "PWS49\r", "?3 Bad address\r\n>", {"PWS49\r"}},
        FramingCase{"AddressMissing", "PWS\r", "?3 Bad address\r\n>", {"PWS\r"}},
        FramingCase{"AddressSigned", "PWS-1\r", "?3 Bad address\r\n>", {"PWS-1\r"}},
        FramingCase{"CommandsInOneBurst",
                    "PCSA128\rPRS\r@",
                    "OK 0\r\n>OK 201\r\n>OK 64\r\n>",
                    {"PCSA128\r", "PRS\r", "@"}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(Echo, EchoesEachLineBeforeItsReply) {
    BoardEngine board({.bits8 = false, .echo = true});
    board.setReading(10, 0, 805.0);
    EXPECT_EQ(joined(board.receive("PRA\r")), "PRA\r\nOK 1\r\n>");
    EXPECT_EQ(joined(board.receive("PRS\r@")), "PRS\r\nOK 201\r\n>@\r\nOK 64\r\n>");
    board.setEcho(false);
    EXPECT_EQ(joined(board.receive("PRA\r")), "OK 1\r\n>");
}

TEST(LineLimit, FloodWithoutCrIsAnsweredOnceAndDropped) {
    BoardEngine board({.bits8 = false, .echo = false, .maxLine = 16});
    const std::string flood(100000, 'X');
    EXPECT_EQ(joined(board.receive(flood)), "?B Line too long\r\n>");
    EXPECT_EQ(joined(board.receive(std::string(5000, '\n'))), "");
    EXPECT_EQ(joined(board.receive("\r")), "");
    ASSERT_EQ(board.lines().size(), 1u);
    EXPECT_EQ(board.lines()[0], std::string(16, 'X') + "\r");
    // The line after the flood is understood again.
    EXPECT_EQ(joined(board.receive("PRA\r")), "OK 1\r\n>");
}

TEST(LineLimit, LfFloodCountsTowardsTheLimit) {
    BoardEngine board({.bits8 = false, .echo = false, .maxLine = 8});
    EXPECT_EQ(joined(board.receive(std::string(50, '\n'))), "?B Line too long\r\n>");
    EXPECT_EQ(joined(board.receive("\rPRA\r")), "OK 1\r\n>");
}

// ---- Converters ---------------------------------------------------------------------------

struct Reading {
    int bits;
    int channel;
    double value;
};

struct SequenceCase {
    const char* name;
    bool bits8;
    std::vector<Reading> readings;
    std::vector<std::string> commands;
    std::vector<long> replies;  // -1: the reply is not used by the control, any number goes
};

void PrintTo(const SequenceCase& c, std::ostream* os) {
    *os << c.name;
}

class ConverterSequence : public ::testing::TestWithParam<SequenceCase> {};

TEST_P(ConverterSequence, RepliesCarryTheConverterBytes) {
    const SequenceCase& c = GetParam();
    BoardEngine board({.bits8 = c.bits8});
    for (const Reading& r : c.readings) board.setReading(r.bits, r.channel, r.value);
    ASSERT_EQ(c.commands.size(), c.replies.size());
    for (std::size_t i = 0; i < c.commands.size(); ++i) {
        const long n = replyNumber(send(board, c.commands[i]));
        if (c.replies[i] >= 0) {
            EXPECT_EQ(n, c.replies[i]) << "command " << i << " " << c.commands[i];
        }
    }
}

INSTANTIATE_TEST_SUITE_P(
    Reads, ConverterSequence,
    ::testing::Values(
        // ADC10 channel 3 on a new control, then again with the address cached.
        SequenceCase{"Adc10WorkedExample",
                     false,
                     {{10, 3, 805.0}},
                     {"PCSA128", "PWS48", "PRS", "@", "@", "PRS", "@"},
                     {-1, -1, -1, 201, 64, 201, 64}},
        SequenceCase{"Adc10Fraction",
                     false,
                     {{10, 3, 805.015625}},
                     {"PWS48", "PRS", "@", "@"},
                     {-1, -1, 201, 65}},
        // First ADC10 of channel 0 sends no address write: the board starts on channel 0.
        SequenceCase{"Adc10Channel0FromStart",
                     false,
                     {{10, 0, 805.0}},
                     {"PCSA128", "PRS", "@"},
                     {-1, 201, 64}},
        SequenceCase{"Adc10HalfScale", false, {}, {"PWS176", "PRS", "@", "@"}, {-1, -1, 128, 0}},
        SequenceCase{"Adc10ZeroScale", false, {}, {"PWS192", "PRS", "@", "@"}, {-1, -1, 0, 0}},
        SequenceCase{"Adc10FullScale", false, {}, {"PWS208", "PRS", "@", "@"}, {-1, -1, 255, 192}},
        SequenceCase{"Adc12HalfScale", false, {}, {"PWS188", "PRS", "@", "@"}, {-1, -1, 128, 0}},
        SequenceCase{"Adc12WorkedExample",
                     false,
                     {{12, 11, 196.0}},
                     {"PWS188", "PRS", "@", "@", "PRS", "@"},
                     {-1, -1, 12, 64, 12, 64}},
        SequenceCase{"Adc12FullScale", false, {}, {"PWS220", "PRS", "@", "@"}, {-1, -1, 255, 240}},
        SequenceCase{
            "Adc12Channel0", false, {{12, 0, 1.5}}, {"PWS12", "PRS", "@", "@"}, {-1, -1, 0, 24}},
        // Each converter answers its own addresses; switching back re-reads the other one.
        SequenceCase{"Adc10ThenAdc12",
                     false,
                     {{10, 5, 100.0}, {12, 5, 100.0}},
                     {"PWS80", "PRS", "@", "@", "PWS92", "PRS", "@", "@"},
                     {-1, -1, 25, 0, -1, -1, 6, 64}},
        SequenceCase{
            "Adc8", true, {{8, 3, 128.0}}, {"PWS48", "PRS", "@", "@"}, {48, 128, 128, 128}},
        SequenceCase{"Adc8HalfScale", true, {}, {"PWS176", "PRS"}, {-1, 128}},
        // Without the 8-bit converter an 8-bit read gets the 10-bit high byte, which is the
        // same input at 8 bits.
        SequenceCase{"Adc8On10BitBoard", false, {{10, 3, 805.0}}, {"PWS48", "PRS"}, {-1, 201}}),
    [](const auto& info) { return std::string(info.param.name); });

// The control composes (first x 256 + second) / 64 or / 16; every settable step comes back.
TEST(ConverterSequence, ComposedReadingsRoundTrip) {
    BoardEngine board;
    for (double v : {0.0, 1.0 / 64, 511.984375, 512.0, 805.015625, 1023.0, 1023.984375}) {
        board.setReading(10, 7, v);
        send(board, "PWS112");
        send(board, "PRS");
        const long hi = replyNumber(send(board, "@"));
        const long lo = replyNumber(send(board, "@"));
        EXPECT_EQ((hi * 256 + lo) / 64.0, v);
    }
    for (double v : {0.0, 1.0 / 16, 2047.9375, 4095.0}) {
        board.setReading(12, 7, v);
        send(board, "PWS124");
        send(board, "PRS");
        const long hi = replyNumber(send(board, "@"));
        const long lo = replyNumber(send(board, "@"));
        EXPECT_EQ((hi * 256 + lo) / 16.0, v);
    }
}

TEST(Readings, RoundedToConverterStepsAndClamped) {
    BoardEngine board;
    board.setReading(10, 1, 805.01);  // nearest 1/64
    EXPECT_EQ(board.reading(10, 1), 805.015625);
    board.setReading(10, 1, 5000.0);
    EXPECT_EQ(board.reading(10, 1), 65535.0 / 64);
    board.setReading(12, 1, 3.03);  // nearest 1/16
    EXPECT_EQ(board.reading(12, 1), 3.0);
    board.setReading(8, 1, -3.0);
    EXPECT_EQ(board.reading(8, 1), 0.0);
    board.setReading(8, 1, 300.0);
    EXPECT_EQ(board.reading(8, 1), 255.0);
    board.setReading(10, 11, 600.0);
    board.clearReading(10, 11);
    EXPECT_EQ(board.reading(10, 11), 512.0);
    EXPECT_EQ(board.reading(8, 11), 128.0);
    EXPECT_EQ(board.reading(12, 13), 4095.0);
    EXPECT_THROW(board.setReading(9, 1, 1.0), std::invalid_argument);
    EXPECT_THROW(board.setReading(10, 16, 1.0), std::invalid_argument);
    EXPECT_THROW(board.setReading(10, -1, 1.0), std::invalid_argument);
    EXPECT_THROW(board.setReading(10, 1, NAN), std::invalid_argument);
}

// ---- Scripting and faults -----------------------------------------------------------------

TEST(Script, WorkedRepliesComeOutExactlyInOrder) {
    const std::vector<std::string> replies = {"OK 523\r\n>",
                                              "\r\nOK\r\n>",
                                              "OK 4 095\r\n>",
                                              "OK -1.5E2\r\n>",
                                              "12\r\n>",
                                              ">",
                                              "OK 5\r>",
                                              "?A Illegal command\r\n>",
                                              "?5 Channel busy\r\n>",
                                              "?7>",
                                              "?3 Bad\r>",
                                              "PRA\r\n?3 Bad\r\n>",
                                              "DATA 1 2 3 ?\r\n>",
                                              std::string("\x00\xff\x80 binary", 10)};
    BoardEngine board({.bits8 = false, .echo = true});
    board.setReplyPrefix("junk");
    board.scriptReplies(replies);
    for (const std::string& r : replies) EXPECT_EQ(send(board, "PRA"), r);
    EXPECT_EQ(board.scriptedLeft(), 0u);
    EXPECT_EQ(send(board, "PRA"), "PRA\r\njunkOK 1\r\n>");
}

TEST(Script, CommandIsStillCarriedOutAndEmptyMeansNoReply) {
    BoardEngine board;
    board.setReading(10, 3, 805.0);
    board.scriptReplies({"OK 999\r\n>", ""});
    EXPECT_EQ(send(board, "PWS48"), "OK 999\r\n>");
    EXPECT_EQ(send(board, "PRS"), "");
    EXPECT_EQ(send(board, "@"), "OK 201\r\n>");
    EXPECT_EQ(send(board, "@"), "OK 64\r\n>");
    EXPECT_EQ(board.lines(), (std::vector<std::string>{"PWS48\r", "PRS\r", "@", "@"}));
}

TEST(Faults, OverrideRepliesToOneCommandForSomeTimes) {
    BoardEngine board;
    board.overrideReply("PRA", errorReply('5', "Channel busy"), 2);
    EXPECT_EQ(send(board, "PRS"), "OK 0\r\n>");
    EXPECT_EQ(send(board, "PRA"), "?5 Channel busy\r\n>");
    EXPECT_EQ(send(board, "PRA"), "?5 Channel busy\r\n>");
    EXPECT_EQ(send(board, "PRA"), "OK 1\r\n>");
    board.overrideReply("PRA", "", -1);
    EXPECT_EQ(send(board, "PRA"), "");
    EXPECT_EQ(send(board, "PRA"), "");
    board.clearOverrides();
    EXPECT_EQ(send(board, "PRA"), "OK 1\r\n>");
}

TEST(Faults, SilentBoardRecordsButDoesNotAnswer) {
    BoardEngine board({.bits8 = false, .echo = true});
    board.setSilent(true);
    EXPECT_TRUE(board.receive("PCSA128\rPRA\r@").empty());
    EXPECT_EQ(board.lines().size(), 3u);
    board.setSilent(false);
    EXPECT_EQ(send(board, "PRA"), "PRA\r\nOK 1\r\n>");
}

TEST(Faults, RefusesSetUpNTimes) {
    BoardEngine board;
    board.refuseSetup(2);
    board.setOutOfStep(true);
    EXPECT_EQ(send(board, "PCSA128"), "?4 Set-up failed\r\n>");
    EXPECT_EQ(send(board, "PCSA128"), "?4 Set-up failed\r\n>");
    EXPECT_TRUE(board.outOfStep());  // a refused set-up does nothing
    EXPECT_EQ(send(board, "PCSA128"), "OK 0\r\n>");
    EXPECT_FALSE(board.outOfStep());
    EXPECT_EQ(send(board, "PCSA128"), "OK 0\r\n>");
}

TEST(Faults, OutOfStepSwapsBytesUntilSetUp) {
    BoardEngine board;
    send(board, "PWS176");
    send(board, "PRS");
    board.setOutOfStep(true);
    // Half scale read as low byte first: (0 x 256 + 128) / 64 = 2 instead of 512.
    EXPECT_EQ(send(board, "@"), "OK 0\r\n>");
    EXPECT_EQ(send(board, "@"), "OK 128\r\n>");
    EXPECT_EQ(send(board, "PRS"), "OK 0\r\n>");
    EXPECT_EQ(send(board, "@"), "OK 128\r\n>");
    EXPECT_EQ(send(board, "PCSA128"), "OK 0\r\n>");
    EXPECT_EQ(send(board, "PRS"), "OK 128\r\n>");
    EXPECT_EQ(send(board, "@"), "OK 0\r\n>");
}

TEST(Faults, OutOfStep8BitComesOneBitLate) {
    BoardEngine board({.bits8 = true});
    board.setOutOfStep(true);
    send(board, "PWS176");
    EXPECT_EQ(send(board, "PRS"), "OK 64\r\n>");
    send(board, "PCSA128");
    EXPECT_EQ(send(board, "@"), "OK 128\r\n>");
}

TEST(Faults, HangsUpAfterNCommands) {
    BoardEngine board;
    board.hangUpAfter(2);
    EXPECT_FALSE(board.hangUpDue());
    // Both commands of one burst are answered; the third is not even heard.
    EXPECT_EQ(joined(board.receive("PRA\rPRA\rPRA\r")), "OK 1\r\n>OK 1\r\n>");
    EXPECT_TRUE(board.hangUpDue());
    EXPECT_TRUE(board.receive("PRA\r").empty());
    EXPECT_TRUE(board.unsolicited("L\r\n").empty());
    EXPECT_EQ(board.lines().size(), 2u);
}

TEST(Faults, UnsolicitedText) {
    BoardEngine board;
    const Output out = board.unsolicited("L\r\n");
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(out[0], (Chunk{microseconds{0}, "L\r\n"}));
    EXPECT_TRUE(board.lines().empty());
}

// ---- Timing -------------------------------------------------------------------------------

TEST(Timing, DelayBeforeReply) {
    BoardEngine board;
    board.setReplyDelay(milliseconds(100));
    const Output out = board.receive("PRA\r@");
    // Each reply waits its own delay after the one before it.
    ASSERT_EQ(out.size(), 2u);
    EXPECT_EQ(out[0], (Chunk{milliseconds(100), "OK 1\r\n>"}));
    EXPECT_EQ(out[1].delay, milliseconds(100));
}

TEST(Timing, ReplySplitIntoPiecesWithGaps) {
    BoardEngine board;
    board.setReplySplit(3, milliseconds(5));
    const Output out = board.receive("PRA\r");
    EXPECT_EQ(
        out,
        (Output{{microseconds{0}, "OK "}, {milliseconds(5), "1\r\n"}, {milliseconds(5), ">"}}));
}

struct PaceCase {
    uint32_t baud;
    std::vector<int64_t> firstDelaysUs;
};

void PrintTo(const PaceCase& c, std::ostream* os) {
    *os << c.baud << " baud";
}

class Pacing : public ::testing::TestWithParam<PaceCase> {};

TEST_P(Pacing, EveryByteTakesTenBitTimes) {
    const PaceCase& c = GetParam();
    BoardEngine board;
    board.setPaceBaud(c.baud);
    const std::string reply = "OK 1\r\n>";
    const Output out = board.receive("PRA\r");
    ASSERT_EQ(out.size(), reply.size());
    for (std::size_t i = 0; i < out.size(); ++i) {
        EXPECT_EQ(out[i].bytes, reply.substr(i, 1));
        if (i < c.firstDelaysUs.size()) {
            EXPECT_EQ(out[i].delay.count(), c.firstDelaysUs[i]) << i;
        }
    }
    // No drift: the whole reply takes n x 10 bit times, rounded once.
    const auto expected = std::llround(reply.size() * 10'000'000.0 / c.baud);
    EXPECT_EQ(totalDelay(out).count(), expected);

    // A long reply stays exact too.
    board.scriptReply(std::string(1000, 'x'));
    EXPECT_EQ(totalDelay(board.receive("PRA\r")).count(), std::llround(1e10 / c.baud));
}

INSTANTIATE_TEST_SUITE_P(Rates, Pacing,
                         ::testing::Values(PaceCase{9600, {1042, 1041, 1042, 1042, 1041}},
                                           PaceCase{115200, {87, 87, 86, 87, 87}},
                                           PaceCase{300, {33333, 33334, 33333}}),
                         [](const auto& info) { return std::to_string(info.param.baud); });

TEST(Timing, PacingAddsToDelayAndGaps) {
    BoardEngine board;
    board.setPaceBaud(9600);
    board.setReplyDelay(milliseconds(100));
    board.setReplySplit(4, milliseconds(10));
    const Output out = board.receive("PRA\r");
    ASSERT_EQ(out.size(), 7u);
    EXPECT_EQ(out[0].delay.count(), 100000 + 1042);
    EXPECT_EQ(out[4].delay.count(), 10000 + 1041);  // first byte of the second piece
    EXPECT_EQ(totalDelay(out).count(), 100000 + 10000 + 7292);
}

TEST(Timing, UnsolicitedTextIsPacedToo) {
    BoardEngine board;
    board.setPaceBaud(115200);
    const Output out = board.unsolicited("H\r\n");
    ASSERT_EQ(out.size(), 3u);
    EXPECT_EQ(totalDelay(out).count(), 260);
}

TEST(Recording, ControlSequenceIsRecordedByteForByte) {
    BoardEngine board;
    board.receive("PCSA128\rPWS48\rPRS\r@@");
    EXPECT_EQ(board.lines(), (std::vector<std::string>{"PCSA128\r", "PWS48\r", "PRS\r", "@", "@"}));
    EXPECT_EQ(board.commandCount(), 5u);
    board.setRecordLines(false);
    board.receive("PRA\r");
    EXPECT_EQ(board.lines().size(), 5u);
    EXPECT_EQ(board.commandCount(), 6u);
    board.clearLines();
    EXPECT_TRUE(board.lines().empty());
    EXPECT_EQ(board.linesRecorded(), 5u);
}

// A board that serves for days, or a client that floods it with lines as long as a line can be,
// keeps a bounded history: the most recent lines, in order, and the count of all.
TEST(Recording, HistoryStaysBoundedUnderAFlood) {
    BoardEngine board;
    const std::string longLine = std::string(BoardEngine::kDefaultMaxLine + 40, 'X') + "\r";
    constexpr std::size_t kLines = 20'000;
    for (std::size_t i = 0; i < kLines; ++i) board.receive(i % 2 ? longLine : "PWS48\r");
    board.receive("PRA\r");
    const auto& lines = board.lines();
    std::size_t held = lines.capacity() * sizeof(std::string);
    for (const std::string& l : lines) held += l.capacity();
    EXPECT_LE(lines.size(), BoardEngine::kHistoryLines);
    EXPECT_LT(held, std::size_t{2} << 20) << "bytes held by " << lines.size() << " lines";
    EXPECT_EQ(board.linesRecorded(), kLines + 1);
    EXPECT_EQ(board.commandCount(), kLines / 2 + 1);  // a line too long is no command
    ASSERT_GE(lines.size(), 3u);
    EXPECT_EQ(lines.back(), "PRA\r");
    EXPECT_EQ(lines[lines.size() - 2], std::string(BoardEngine::kDefaultMaxLine, 'X') + "\r");
    EXPECT_EQ(lines[lines.size() - 3], "PWS48\r");
}

}  // namespace
}  // namespace vantrel::sim
