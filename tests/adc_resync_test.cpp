// Resynchronisation and the board search on fakes: paths per width, the extra commands, one
// event per call, restored flags after a failed call; probes, end states and events of a scan.
#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "fakes.hpp"
#include "sim/board_engine.hpp"

using namespace vantrel;
using vantrel::testing::CtrlProbe;
using vantrel::testing::FakeRig;

namespace {

using Lines = std::vector<std::string>;

// The replies of a half-scale conversion of a channel already addressed ("PRS", "@").
void scriptCachedReading(FakeRig& rig, int bits, double reading) {
    const long word = std::lround(reading * (bits == 10 ? 64 : 16));
    rig.serial->reply({sim::okReply(word / 256)});
    rig.serial->reply({sim::okReply(word % 256)});
}

void clearLog(vantrel::testing::EventLog& log) {
    log.events.clear();
    log.values.clear();
    log.texts.clear();
}

// A control whose last conversion read the half-scale channel of the given width, so that the
// resynchronisation's tests take the cached sequence "PRS", "@".
void warmUp(FakeRig& rig, int bits) {
    rig.opened();
    for (int i = 0; i < 3; ++i) rig.serial->reply({sim::okReply(0)});
    scriptCachedReading(rig, bits, bits == 10 ? 512 : 2048);
    int16_t ch = 11;
    const bool converted = bits == 10 ? rig.ctrl->ADC10(ch) : rig.ctrl->ADC12(ch);
    if (!converted) throw std::logic_error("warm-up conversion failed");
    rig.serial->lines.clear();
    clearLog(rig.log);
}

TEST(Resync, BeforeAnyConversion) {
    FakeRig rig;
    rig.opened();
    EXPECT_FALSE(rig.ctrl->ADCReSynchronize());
    EXPECT_EQ(rig.ctrl->ErrorString(), "Cannot resynchronize ADC before reading it first");
    EXPECT_TRUE(rig.serial->lines.empty());
    ASSERT_EQ(rig.log.events, Lines{"NewData"});
    EXPECT_EQ(rig.log.texts[0], "Cannot resynchronize ADC before reading it first");
    EXPECT_FALSE(CtrlProbe::inResync(*rig.ctrl));
}

TEST(Resync, EightBitRunsOneTestAndNeverRetries) {
    for (const long reading : {128L, 100L}) {
        FakeRig rig;
        rig.opened();
        int16_t rejected = 12;
        EXPECT_FALSE(rig.ctrl->ADC8(rejected));
        clearLog(rig.log);
        rig.serial->reply({sim::okReply(0)});
        rig.serial->reply({sim::okReply(0)});
        rig.serial->reply({sim::okReply(reading)});

        EXPECT_EQ(rig.ctrl->ADCReSynchronize(), reading == 128);
        EXPECT_EQ(rig.serial->lines, (Lines{"PCSA128\r", "PWS176\r", "PRS\r"}));
        EXPECT_EQ(rig.ctrl->ErrorString(), reading == 128 ? "" : "Returned value: 100");
        ASSERT_EQ(rig.log.events, Lines{"NewData"});
        EXPECT_EQ(rig.log.values[0], Variant(static_cast<double>(reading)));
    }
}

TEST(Resync, HealthyConverterOneTestOneEvent) {
    for (const int bits : {10, 12}) {
        FakeRig rig;
        warmUp(rig, bits);
        scriptCachedReading(rig, bits, bits == 10 ? 510 : 2050);
        EXPECT_TRUE(rig.ctrl->ADCReSynchronize());
        EXPECT_EQ(rig.serial->lines, (Lines{"PRS\r", "@"}));
        EXPECT_EQ(rig.ctrl->ErrorString(), "");
        EXPECT_EQ(rig.log.events, Lines{"NewData"});
        EXPECT_FALSE(CtrlProbe::inResync(*rig.ctrl));
        EXPECT_FALSE(CtrlProbe::inSelfTest(*rig.ctrl));
        EXPECT_FALSE(CtrlProbe::inAdcRead(*rig.ctrl));
    }
}

// After a failed first test: "PCSA128", a second test, "PRS" and a third test, whatever the
// second test gives; the third decides.
TEST(Resync, FailedFirstTestRetriesTwice) {
    struct Case {
        int bits;
        double second, third;
        bool result;
        const char* text;
    };
    const Case cases[] = {
        {10, 512, 512, true, ""},
        {10, 2, 515, true, ""},
        {10, 512, 600.5, false, "Returned value: 600.5"},
        {10, 2, 2, false, "Returned value: 2"},
        {12, 2048, 2047.9375, true, ""},
        {12, 2048, 8, false, "Returned value: 8"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(::testing::Message() << c.bits << " bits, third " << c.third);
        FakeRig rig;
        warmUp(rig, c.bits);
        scriptCachedReading(rig, c.bits, 2);   // out of step: the bytes swapped
        rig.serial->reply({sim::okReply(0)});  // PCSA128
        scriptCachedReading(rig, c.bits, c.second);
        rig.serial->reply({sim::okReply(0)});  // PRS
        scriptCachedReading(rig, c.bits, c.third);

        EXPECT_EQ(rig.ctrl->ADCReSynchronize(), c.result);
        EXPECT_EQ(rig.serial->lines,
                  (Lines{"PRS\r", "@", "PCSA128\r", "PRS\r", "@", "PRS\r", "PRS\r", "@"}));
        EXPECT_EQ(rig.ctrl->ErrorString(), c.text);
        EXPECT_EQ(CtrlProbe::value(*rig.ctrl), Variant(c.third));
        ASSERT_EQ(rig.log.events, Lines{"NewData"});
        EXPECT_EQ(rig.log.texts[0], c.text);
        EXPECT_FALSE(CtrlProbe::inResync(*rig.ctrl));
        EXPECT_FALSE(CtrlProbe::inAdcRead(*rig.ctrl));
        EXPECT_EQ(CtrlProbe::nrOfBits(*rig.ctrl), c.bits);
    }
}

TEST(Resync, RefusedExtraCommandsAreNotReported) {
    FakeRig rig;
    warmUp(rig, 10);
    scriptCachedReading(rig, 10, 2);
    rig.serial->reply({"?4 Set-up failed\r\n>"});
    scriptCachedReading(rig, 10, 2);
    rig.serial->reply({"?A Illegal command\r\n>"});
    rig.serial->reply({sim::okReply(0)});  // the third test's "PRS"; its "@" never answers

    EXPECT_FALSE(rig.ctrl->ADCReSynchronize());
    EXPECT_EQ(rig.ctrl->ErrorString(), "Serial port timed out");
    EXPECT_EQ(rig.log.events, Lines{"NewData"});
    EXPECT_EQ(rig.log.texts[0], "Serial port timed out");
    // The set-up the conversions manage stays as it was.
    EXPECT_TRUE(CtrlProbe::chipReady(*rig.ctrl));
}

TEST(Resync, WorksOnTheWidthBeforeARefusedScaleTest) {
    FakeRig rig;
    warmUp(rig, 12);
    Variant eight(int16_t{8});
    EXPECT_FALSE(rig.ctrl->ADCZeroScale(eight));
    clearLog(rig.log);
    scriptCachedReading(rig, 12, 2048);
    EXPECT_TRUE(rig.ctrl->ADCReSynchronize());
    EXPECT_EQ(rig.serial->lines, (Lines{"PRS\r", "@"}));
    EXPECT_EQ(CtrlProbe::nrOfBits(*rig.ctrl), 12);
    EXPECT_EQ(rig.log.events, Lines{"NewData"});
}

TEST(Resync, AFailedTestCallRestoresTheFlags) {
    FakeRig rig;
    warmUp(rig, 10);
    scriptCachedReading(rig, 10, 2);
    rig.serial->reply({sim::okReply(0)});
    rig.serial->reply({sim::okReply(3000000000L)});  // the second test's first byte: beyond a Long
    try {
        rig.ctrl->ADCReSynchronize();
        ADD_FAILURE() << "expected a failed call";
    } catch (const Error& e) {
        EXPECT_EQ(e.number(), err::Overflow);
    }
    EXPECT_FALSE(CtrlProbe::inResync(*rig.ctrl));
    EXPECT_FALSE(CtrlProbe::inSelfTest(*rig.ctrl));
    EXPECT_FALSE(CtrlProbe::inAdcRead(*rig.ctrl));
    EXPECT_TRUE(rig.log.events.empty());

    // A later check by the host is announced again.
    scriptCachedReading(rig, 10, 512);
    Variant ten(int16_t{10});
    EXPECT_TRUE(rig.ctrl->ADCHalfScale(ten));
    EXPECT_EQ(rig.log.events, Lines{"NewData"});
}

// A handler that, on an interrupt, breaks the stored rate so that the next exchange fails with
// a division by zero: an error from the resynchronisation's own command.
class BreakRateOnInterrupt : public VantrelEvents {
  public:
    explicit BreakRateOnInterrupt(VantrelCtrl& c) : ctrl(c) {}
    void InterruptLow() override { CtrlProbe::bauds(ctrl) = 0; }
    VantrelCtrl& ctrl;
};

TEST(Resync, AFailedCommandRestoresTheFlagItSet) {
    FakeRig rig;
    warmUp(rig, 10);
    BreakRateOnInterrupt breaker(*rig.ctrl);
    rig.ctrl->connect(&breaker);
    rig.serial->reply({sim::okReply(0)});
    rig.serial->reply({"L\r\nOK 2\r\n>"});
    try {
        rig.ctrl->ADCReSynchronize();
        ADD_FAILURE() << "expected a failed call";
    } catch (const Error& e) {
        EXPECT_EQ(e.number(), err::DivisionByZero);
    }
    EXPECT_EQ(rig.serial->lines, (Lines{"PRS\r", "@"}));
    EXPECT_FALSE(CtrlProbe::inResync(*rig.ctrl));
    EXPECT_FALSE(CtrlProbe::inAdcRead(*rig.ctrl));
    EXPECT_EQ(rig.log.events, Lines{"L"});
}

TEST(Resync, ByMemberId) {
    FakeRig rig;
    std::vector<Variant> none;
    EXPECT_EQ(invoke(*rig.ctrl, 0x60030021, InvokeKind::Method, none), Variant(false));
    EXPECT_EQ(rig.ctrl->ErrorString(), "Cannot resynchronize ADC before reading it first");
}

TEST(FindChip, NoPortOpens) {
    FakeRig rig;
    rig.serial->failOpen = true;
    int32_t rate = 115200;
    EXPECT_FALSE(rig.ctrl->FindChip(rate));
    EXPECT_EQ(rate, 115200);
    EXPECT_EQ(rig.ctrl->Port(), 8);
    EXPECT_EQ(rig.serial->port, 8);
    EXPECT_FALSE(rig.ctrl->PortIsOpen());
    EXPECT_EQ(rig.ctrl->ErrorString(), "Port could not be open");
    EXPECT_EQ(rig.serial->settings, "115200,N,8,1");
    EXPECT_TRUE(rig.serial->lines.empty());
    EXPECT_TRUE(rig.log.events.empty());
}

TEST(FindChip, SilentEverywhereProbesEachPortOnceAndLeavesPortEightOpen) {
    FakeRig rig;
    rig.opened();  // the host's open port is closed by the first pass
    int32_t rate = 9600;
    EXPECT_FALSE(rig.ctrl->FindChip(rate));
    EXPECT_EQ(rig.serial->lines, Lines(8, "PRA\r"));
    EXPECT_EQ(rig.log.events, Lines(8, "NewData"));
    EXPECT_EQ(rig.log.texts, Lines(8, "Serial port timed out"));
    EXPECT_EQ(rig.ctrl->Port(), 8);
    EXPECT_TRUE(rig.ctrl->PortIsOpen());
    EXPECT_TRUE(rig.serial->open);
    EXPECT_EQ(rig.ctrl->ErrorString(), "Serial port timed out");
}

TEST(FindChip, UnsupportedRateScansAtTheRateSet) {
    FakeRig rig;
    rig.serial->reply({sim::okReply(1)});
    std::vector<Variant> args{Variant(int32_t{1000})};
    EXPECT_EQ(invoke(*rig.ctrl, 0x60030022, InvokeKind::Method, args), Variant(true));
    EXPECT_EQ(args[0], Variant(int32_t{1000}));
    EXPECT_EQ(rig.ctrl->Bauds(), 9600);
    EXPECT_EQ(rig.serial->settings, "9600,N,8,1");
    EXPECT_EQ(rig.ctrl->ErrorString(), "");
    EXPECT_EQ(rig.ctrl->Port(), 1);
    EXPECT_EQ(rig.timer->intervals.back(), 260);
}

}  // namespace
