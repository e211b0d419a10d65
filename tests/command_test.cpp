// The command transaction on fakes: framing, reply classification, timeouts, events.
#include <gtest/gtest.h>

#include "fakes.hpp"

using namespace vantrel;
using vantrel::testing::CtrlProbe;
using vantrel::testing::FakeRig;

namespace {

constexpr double kOld = 77.0;  // m_Value before each exchange

struct ReplyCase {
    const char* raw;
    bool result;
    double value;  // kOld: unchanged
    int16_t errorNr;
    const char* errorString;
    const char* s;
};

class WorkedReply : public ::testing::TestWithParam<std::tuple<ReplyCase, size_t>> {};

TEST_P(WorkedReply, GivesTheOutcomeWhateverTheChunking) {
    const auto& [c, piece] = GetParam();
    FakeRig rig;
    rig.opened();
    CtrlProbe::value(*rig.ctrl) = kOld;
    rig.serial->replyInPieces(c.raw, piece);

    std::string s = "PRS";
    const bool result = rig.ctrl->Command(s);

    EXPECT_EQ(result, c.result);
    EXPECT_EQ(CtrlProbe::value(*rig.ctrl), Variant(c.value));
    EXPECT_EQ(rig.ctrl->ErrorNr(), c.errorNr);
    EXPECT_EQ(rig.ctrl->ErrorString(), c.errorString);
    EXPECT_EQ(s, c.s);
    EXPECT_EQ(rig.ctrl->ReturnedStr(), bytesToText(c.raw));
    EXPECT_EQ(rig.serial->written, "PRS\r");
    ASSERT_EQ(rig.log.events, std::vector<std::string>{"NewData"});
    EXPECT_EQ(rig.log.values[0], Variant(c.value));
    EXPECT_EQ(rig.log.texts[0], c.errorString);
    EXPECT_FALSE(rig.timer->enabled);
}

const char* kUnsupported = "Response to this command is not supported by Function Command()";

INSTANTIATE_TEST_SUITE_P(
    Replies, WorkedReply,
    ::testing::Combine(
        ::testing::Values(
            ReplyCase{"OK 523\r\n>", true, 523, 0, "", " 523>"},
            ReplyCase{"\r\nOK\r\n>", true, 0, 0, "", ">"},
            ReplyCase{"OK 4 095\r\n>", true, 4095, 0, "", " 4 095>"},
            ReplyCase{"OK -1.5E2\r\n>", true, -150, 0, "", " -1.5E2>"},
            ReplyCase{"12\r\n>", true, 2, 0, "", "2>"}, ReplyCase{">", true, 0, 0, "", ""},
            ReplyCase{"OK 5\r>", true, 5, 0, "", " 5"},
            ReplyCase{"?A Illegal command\r\n>", false, kOld, 10, "Illegal command", "A"},
            ReplyCase{"?5 Channel busy\r\n>", false, kOld, 5, "Channel busy", "5"},
            ReplyCase{"?7>", false, kOld, 7, "", "7"},
            ReplyCase{"?3 Bad\r>", false, kOld, 3, "Ba", "3"},
            ReplyCase{"PRA\r\n?3 Bad\r\n>", false, kOld, 0, "Bad", "R"},
            ReplyCase{"DATA 1 2 3 ?\r\n>", false, kOld, 0, kUnsupported, "DATA 1 2 3 ?>"},
            // Beyond the worked table: the edges of the classification.
            ReplyCase{"?B Busy\r\n>", false, kOld, 11, "Busy", "B"},
            ReplyCase{"?a lower\r\n>", false, kOld, 0, "lower", "a"},
            ReplyCase{"12345678?x\r\n>", false, kOld, 2, "", "2"},
            ReplyCase{"123456789?x\r\n>", false, kOld, 0, kUnsupported, "123456789?x>"},
            ReplyCase{"?\r\n>", false, kOld, 0, "", ">"}, ReplyCase{"\r>", true, 0, 0, "", ""},
            ReplyCase{"OK 1\r\n\r>", true, 1, 0, "", " 1"},
            ReplyCase{"OK &h1f>", true, 31, 0, "", " &h1f>"},
            ReplyCase{"OK 3 \xE9>", true, 3, 0, "", " 3 \xC3\xA9>"}),
        ::testing::Values(size_t{1000}, size_t{1}, size_t{3})));

TEST(Command, FramesTheLine) {
    const std::pair<const char*, const char*> cases[] = {
        {"@", "@"}, {"@\r", "@"},   {"PRS", "PRS\r"}, {"PRS\r", "PRS\r"}, {"PRS\r\r", "PRS\r\r"},
        {"", "\r"}, {"@@", "@@\r"},
    };
    for (auto [in, out] : cases) {
        FakeRig rig;
        rig.opened();
        rig.serial->reply({"OK 1\r\n>"});
        std::string s = in;
        EXPECT_TRUE(rig.ctrl->Command(s)) << in;
        EXPECT_EQ(rig.serial->written, out) << "command " << ::testing::PrintToString(in);
    }
}

TEST(Command, PortNotOpenSendsNothingAndKeepsTheText) {
    FakeRig rig;
    CtrlProbe::value(*rig.ctrl) = kOld;
    std::string s = "PRS";
    EXPECT_FALSE(rig.ctrl->Command(s));
    EXPECT_EQ(s, "PRS");
    EXPECT_EQ(rig.ctrl->ErrorString(), "Port is not operational");
    EXPECT_EQ(rig.serial->written, "");
    EXPECT_EQ(rig.timer->intervals, std::vector<int32_t>{260});
    EXPECT_FALSE(rig.timer->enabled);
    EXPECT_EQ(rig.log.events, std::vector<std::string>{"NewData"});
    EXPECT_EQ(CtrlProbe::value(*rig.ctrl), Variant(kOld));
}

TEST(Command, TimeoutLeavesTheFramedLineAndThePartialReply) {
    FakeRig rig;
    rig.opened();
    rig.serial->reply({"OK 5"});  // no prompt; then the line stays silent and the timer fires
    std::string s = "PRS";
    EXPECT_FALSE(rig.ctrl->Command(s));
    EXPECT_EQ(s, "PRS\r");
    EXPECT_EQ(rig.ctrl->ErrorString(), "Serial port timed out");
    EXPECT_EQ(rig.ctrl->ReturnedStr(), "OK 5");
    EXPECT_FALSE(rig.timer->enabled);
    EXPECT_EQ(rig.log.events, std::vector<std::string>{"NewData"});
}

TEST(Command, TickAndPromptInOnePassIsATimeout) {
    FakeRig rig;
    rig.opened();
    rig.site->passes.push_back([&] {
        rig.serial->receive("OK 1\r\n>");
        rig.timer->tick();
    });
    std::string s = "PRS";
    EXPECT_FALSE(rig.ctrl->Command(s));
    EXPECT_EQ(rig.ctrl->ErrorString(), "Serial port timed out");
}

TEST(Command, IntervalFollowsTheRateHalfToEven) {
    const std::pair<int32_t, int32_t> cases[] = {{9600, 260}, {57600, 43},  {115200, 22},
                                                 {300, 8333}, {1200, 2083}, {4800, 521}};
    for (auto [rate, ms] : cases) {
        FakeRig rig;
        rig.ctrl->Bauds(rate);
        std::string s = "X";
        rig.ctrl->Command(s);
        EXPECT_EQ(rig.timer->interval, ms) << rate;
    }
}

TEST(Command, StoredRateOfZeroFailsBeforeWriting) {
    FakeRig rig;
    rig.opened();
    CtrlProbe::bauds(*rig.ctrl) = 0;
    std::string s = "PRS";
    try {
        rig.ctrl->Command(s);
        FAIL() << "expected a failed call";
    } catch (const Error& e) {
        EXPECT_EQ(e.number(), err::DivisionByZero);
    }
    EXPECT_EQ(rig.serial->written, "");
    EXPECT_TRUE(rig.log.events.empty());
}

TEST(Command, LineErrorDuringTheWaitStaysNextToATrueResult) {
    FakeRig rig;
    rig.opened();
    rig.site->passes.push_back([&] { rig.serial->notify(comm::Frame); });
    rig.site->passes.push_back([&] { rig.serial->receive("OK 9\r\n>"); });
    std::string s = "PRS";
    EXPECT_TRUE(rig.ctrl->Command(s));
    EXPECT_EQ(rig.ctrl->ErrorString(), "Framing Error");
    EXPECT_EQ(rig.log.texts, std::vector<std::string>{"Framing Error"});
}

TEST(Command, NoNewDataWhileAConversionRuns) {
    FakeRig rig;
    rig.opened();
    CtrlProbe::inAdcRead(*rig.ctrl) = true;
    rig.serial->reply({"?5 Channel busy\r\n>"});
    std::string s = "PRS";
    EXPECT_FALSE(rig.ctrl->Command(s));
    EXPECT_EQ(rig.ctrl->ErrorNr(), 5);
    EXPECT_EQ(rig.ctrl->ErrorString(), "Channel busy");
    EXPECT_TRUE(rig.log.events.empty());
}

TEST(Command, SecondCommandDuringTheWaitFailsAndChangesNothing) {
    FakeRig rig;
    rig.opened();
    int32_t innerError = 0;
    rig.site->passes.push_back([&] {
        rig.serial->receive("OK 1");
        std::string inner = "PRA";
        try {
            rig.ctrl->Command(inner);
        } catch (const Error& e) {
            innerError = e.number();
        }
        EXPECT_EQ(inner, "PRA");
    });
    rig.site->passes.push_back([&] { rig.serial->receive("2\r\n>"); });
    std::string s = "PRS";
    EXPECT_TRUE(rig.ctrl->Command(s));
    EXPECT_EQ(innerError, err::CommandInProgress);
    EXPECT_EQ(rig.serial->written, "PRS\r");
    EXPECT_EQ(CtrlProbe::value(*rig.ctrl), Variant(12.0));
    EXPECT_EQ(rig.log.events, std::vector<std::string>{"NewData"});
}

TEST(Command, NewDataHandlerMayStartTheNextCommand) {
    FakeRig rig;
    rig.opened();
    rig.serial->reply({"OK 1\r\n>"});
    rig.serial->reply({"OK 2\r\n>"});
    bool chained = false;
    rig.log.onNewData = [&](Variant&, std::string&) {
        if (chained) return;
        chained = true;
        std::string next = "PRA";
        EXPECT_TRUE(rig.ctrl->Command(next));
    };
    std::string s = "PRS";
    EXPECT_TRUE(rig.ctrl->Command(s));
    EXPECT_EQ(rig.serial->written, "PRS\rPRA\r");
    EXPECT_EQ(rig.ctrl->Value(), 2);
}

TEST(Command, LateBytesAlreadyReceivedAreDroppedNotTakenAsTheReply) {
    FakeRig rig;
    rig.opened();
    rig.serial->pending = "OK 1\r\n>L";  // the tail of an earlier, timed-out reply
    rig.serial->reply({"OK 2\r\n>"});
    std::string s = "PRS";
    EXPECT_TRUE(rig.ctrl->Command(s));
    EXPECT_EQ(rig.ctrl->Value(), 2);
    EXPECT_EQ(rig.ctrl->ReturnedStr(), "OK 2\r\n>");
    // The late text still went through the receive handler, interrupt included.
    EXPECT_EQ(rig.log.events, (std::vector<std::string>{"L", "NewData"}));
}

TEST(Command, NumberBeyondADoubleFailsTheCall) {
    FakeRig rig;
    rig.opened();
    CtrlProbe::value(*rig.ctrl) = kOld;
    rig.serial->reply({"OK 1E999\r\n>"});
    std::string s = "PRS";
    try {
        rig.ctrl->Command(s);
        FAIL() << "expected a failed call";
    } catch (const Error& e) {
        EXPECT_EQ(e.number(), err::Overflow);
    }
    EXPECT_EQ(s, " 1E999>");  // taken before the number is read
    EXPECT_EQ(CtrlProbe::value(*rig.ctrl), Variant(kOld));
    EXPECT_TRUE(rig.log.events.empty());
    EXPECT_FALSE(rig.timer->enabled);
    // The control is free for the next exchange.
    rig.serial->reply({"OK 3\r\n>"});
    std::string t = "PRS";
    EXPECT_TRUE(rig.ctrl->Command(t));
}

TEST(Command, ThrowingHandlerLeavesTheControlConsistent) {
    FakeRig rig;
    rig.opened();
    rig.serial->reply({"OK 4\r\n>"});
    rig.log.onNewData = [](Variant&, std::string&) { throw std::runtime_error("host failed"); };
    std::string s = "PRS";
    EXPECT_THROW(rig.ctrl->Command(s), std::runtime_error);
    EXPECT_EQ(rig.ctrl->Value(), 4);  // the outcome was recorded before the event
    EXPECT_FALSE(rig.timer->enabled);
    rig.log.onNewData = nullptr;
    rig.serial->reply({"OK 5\r\n>"});
    std::string t = "PRS";
    EXPECT_TRUE(rig.ctrl->Command(t));
    EXPECT_EQ(rig.ctrl->Value(), 5);
}

TEST(Command, BoardErrorPathIgnoresAFailingHandler) {
    FakeRig rig;
    rig.opened();
    rig.serial->reply({"?5 Channel busy\r\n>"});
    rig.log.onNewData = [](Variant&, std::string&) { throw std::runtime_error("host failed"); };
    std::string s = "PRS";
    EXPECT_FALSE(rig.ctrl->Command(s));
    EXPECT_EQ(rig.ctrl->ErrorNr(), 5);
}

TEST(Command, HandlerAssignmentsChangeTheFields) {
    FakeRig rig;
    rig.opened();
    rig.serial->reply({"OK 4\r\n>"});
    rig.log.onNewData = [](Variant& v, std::string& text) {
        v = Variant(std::string("12.5"));
        text = "set by host";
    };
    std::string s = "PRS";
    EXPECT_TRUE(rig.ctrl->Command(s));
    EXPECT_EQ(rig.ctrl->ErrorString(), "set by host");
    EXPECT_EQ(rig.ctrl->Value(), 12);
}

}  // namespace

// After a timeout the rest of that reply may still come. Wherever it lands, the next command's
// outcome is its own reply's: never the late one's prompt or number.
TEST(Command, ALateReplyIsNeverTakenForTheNextCommands) {
    struct Case {
        const char* name;
        std::vector<std::string> lateDuringWait;  // chunks arriving before the next command
        std::string lateBefore;                   // held by the device when it starts
        std::vector<std::string> written;
    };
    const Case cases[] = {
        {"the late reply ends before the next command", {}, "257\r\n>", {"PRS\r", "@"}},
        {"it ends while the next one waits for quiet", {"25", "7\r\n>"}, "", {"PRS\r", "@"}},
        {"it never ends: a quiet window is enough", {"25"}, "", {"PRS\r", "@"}},
        {"nothing more comes", {}, "", {"PRS\r", "@"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        FakeRig rig;
        rig.opened();
        rig.serial->reply({"OK "});  // cut short by the reply timer
        std::string first = "PRS";
        EXPECT_FALSE(rig.ctrl->Command(first));
        EXPECT_EQ(rig.ctrl->ErrorString(), "Serial port timed out");

        rig.serial->pending = c.lateBefore;
        for (const std::string& chunk : c.lateDuringWait)
            rig.site->passes.push_back([&rig, chunk] { rig.serial->receive(chunk); });
        rig.serial->reply({"OK 9\r\n>"});
        std::string second = "@";
        EXPECT_TRUE(rig.ctrl->Command(second));
        EXPECT_EQ(rig.ctrl->Value(), 9);
        EXPECT_EQ(rig.ctrl->ReturnedStr(), "OK 9\r\n>");
        EXPECT_EQ(rig.serial->lines, c.written);
        EXPECT_FALSE(rig.timer->enabled);

        // The line is settled: the command after needs no wait of its own.
        const int pumps = rig.site->pumps;
        rig.serial->reply({"OK 3\r\n>"});
        std::string third = "@";
        EXPECT_TRUE(rig.ctrl->Command(third));
        EXPECT_EQ(rig.ctrl->Value(), 3);
        EXPECT_EQ(rig.site->pumps, pumps + 1);
    }
}
