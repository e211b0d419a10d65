// The self-test on fakes: window edges of the seven checks, the width dispatch, the 8-bit
// refusals, events inside and outside a resynchronisation, and the flags after a failed call.
#include <gtest/gtest.h>

#include <cmath>
#include <ostream>
#include <string>
#include <vector>

#include "fakes.hpp"
#include "sim/board_engine.hpp"

using namespace vantrel;
using vantrel::testing::CtrlProbe;
using vantrel::testing::FakeRig;

namespace {

using Lines = std::vector<std::string>;

enum class Scale { Zero, Half, Full };

bool scaleTest(FakeRig& rig, Scale scale, Variant bits) {
    switch (scale) {
        case Scale::Zero:
            return rig.ctrl->ADCZeroScale(bits);
        case Scale::Half:
            return rig.ctrl->ADCHalfScale(bits);
        case Scale::Full:
            return rig.ctrl->ADCFullScale(bits);
    }
    return false;
}

// Scripts the replies of a first conversion (set-up and address change) that reads `reading`.
void scriptReading(FakeRig& rig, int bits, double reading) {
    rig.serial->reply({sim::okReply(0)});  // PCSA128
    rig.serial->reply({sim::okReply(0)});  // address write
    if (bits == 8) {
        rig.serial->reply({"OK " + formatNumber(reading) + "\r\n>"});
        return;
    }
    const long word = std::lround(reading * (bits == 10 ? 64 : 16));
    rig.serial->reply({sim::okReply(0)});  // PRS, not used
    rig.serial->reply({sim::okReply(word / 256)});
    rig.serial->reply({sim::okReply(word % 256)});
}

struct WindowCase {
    Scale scale;
    int bits;
    double reading;
    bool pass;
};

void PrintTo(const WindowCase& c, std::ostream* os) {
    const char* scale = c.scale == Scale::Zero ? "zero" : c.scale == Scale::Half ? "half" : "full";
    *os << c.bits << "-bit " << scale << " scale, reading " << formatNumber(c.reading)
        << (c.pass ? " passes" : " fails");
}

class Window : public ::testing::TestWithParam<WindowCase> {};

TEST_P(Window, EdgesRoundHalfToEvenAndReportTheUnroundedReading) {
    const WindowCase& c = GetParam();
    FakeRig rig;
    rig.opened();
    scriptReading(rig, c.bits, c.reading);

    const bool result = scaleTest(rig, c.scale, Variant(int16_t(c.bits)));

    EXPECT_EQ(result, c.pass);
    const std::string text = c.pass ? "" : "Returned value: " + formatNumber(c.reading);
    EXPECT_EQ(rig.ctrl->ErrorString(), text);
    EXPECT_EQ(CtrlProbe::value(*rig.ctrl), Variant(c.reading));
    ASSERT_EQ(rig.log.events, Lines{"NewData"});
    EXPECT_EQ(rig.log.texts[0], text);
    EXPECT_EQ(rig.log.values[0], Variant(c.reading));
    EXPECT_EQ(CtrlProbe::nrOfBits(*rig.ctrl), c.bits);
    EXPECT_FALSE(CtrlProbe::inSelfTest(*rig.ctrl));
    EXPECT_FALSE(CtrlProbe::inAdcRead(*rig.ctrl));

    // The reference channel: 11 half, 12 zero, 13 full scale.
    const int channel = c.scale == Scale::Half ? 11 : c.scale == Scale::Zero ? 12 : 13;
    const int address = channel * 16 + (c.bits == 12 ? 12 : 0);
    const Lines want =
        c.bits == 8 ? Lines{"PCSA128\r", "PWS" + std::to_string(address) + "\r", "PRS\r"}
                    : Lines{"PCSA128\r", "PWS" + std::to_string(address) + "\r", "PRS\r", "@", "@"};
    EXPECT_EQ(rig.serial->lines, want);
}

INSTANTIATE_TEST_SUITE_P(
    Checks, Window,
    ::testing::Values(
        // 8-bit half scale: 120 to 130.
        WindowCase{Scale::Half, 8, 120, true}, WindowCase{Scale::Half, 8, 130, true},
        WindowCase{Scale::Half, 8, 119, false}, WindowCase{Scale::Half, 8, 131, false},
        WindowCase{Scale::Half, 8, 130.5, true}, WindowCase{Scale::Half, 8, 119.5, true},
        WindowCase{Scale::Half, 8, 130.75, false},
        // 10-bit zero scale: 0 to 5.
        WindowCase{Scale::Zero, 10, 0, true}, WindowCase{Scale::Zero, 10, 5, true},
        WindowCase{Scale::Zero, 10, 5.5, false}, WindowCase{Scale::Zero, 10, 5.484375, true},
        // 10-bit half scale: 502 to 522.
        WindowCase{Scale::Half, 10, 512, true}, WindowCase{Scale::Half, 10, 501.5, true},
        WindowCase{Scale::Half, 10, 522.5, true}, WindowCase{Scale::Half, 10, 522.75, false},
        WindowCase{Scale::Half, 10, 501.25, false}, WindowCase{Scale::Half, 10, 524, false},
        WindowCase{Scale::Half, 10, 523.25, false},
        // 10-bit full scale: 1012 to 1033, beyond the top code.
        WindowCase{Scale::Full, 10, 1011.5, true}, WindowCase{Scale::Full, 10, 1011.25, false},
        WindowCase{Scale::Full, 10, 1023, true}, WindowCase{Scale::Full, 10, 1024, true},
        WindowCase{Scale::Full, 10, 1033, true}, WindowCase{Scale::Full, 10, 1033.5, false},
        // 12-bit zero scale: 0 to 5.
        WindowCase{Scale::Zero, 12, 0, true}, WindowCase{Scale::Zero, 12, 5, true},
        WindowCase{Scale::Zero, 12, 5.5, false},
        // 12-bit half scale: 2040 to 2052.
        WindowCase{Scale::Half, 12, 2040, true}, WindowCase{Scale::Half, 12, 2052, true},
        WindowCase{Scale::Half, 12, 2039.5, true}, WindowCase{Scale::Half, 12, 2052.5, true},
        WindowCase{Scale::Half, 12, 2039.4375, false},
        WindowCase{Scale::Half, 12, 2052.5625, false},
        // 12-bit full scale: 4090 to 4095.
        WindowCase{Scale::Full, 12, 4095, true}, WindowCase{Scale::Full, 12, 4089.5, true},
        WindowCase{Scale::Full, 12, 4095.5, false}, WindowCase{Scale::Full, 12, 4089.4375, false}));

TEST(SelfTest, FailureTextShowsTheFraction) {
    FakeRig rig;
    rig.opened();
    scriptReading(rig, 10, 522.75);
    Variant bits(int16_t{10});
    EXPECT_FALSE(rig.ctrl->ADCHalfScale(bits));
    EXPECT_EQ(rig.ctrl->ErrorString(), "Returned value: 522.75");
}

// Which check a width argument selects: the width converted (0: none), or -13 for a failed call.
TEST(SelfTest, WidthDispatch) {
    struct Case {
        const char* what;
        Variant bits;
        int selects;
    };
    const Case cases[] = {
        {"Integer 10", Variant(int16_t{10}), 10},
        {"Long 12", Variant(int32_t{12}), 12},
        {"Double 10.0", Variant(10.0), 10},
        {"Double 8.0", Variant(8.0), 8},
        {"Currency 10", Variant(Currency{100000}), 10},
        {"text 10", Variant("10"), 10},
        {"text 12", Variant("12"), 12},
        {"text 8", Variant("8"), 8},
        {"Double 10.5", Variant(10.5), 0},
        {"Integer 9", Variant(int16_t{9}), 0},
        {"Boolean true", Variant(true), 0},
        {"Empty", Variant(), 0},
        {"Null", Variant::null(), 0},
        {"text letters", Variant("ten"), -13},
        {"empty text", Variant(""), -13},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        FakeRig rig;
        rig.opened();
        CtrlProbe::value(*rig.ctrl) = 7.0;
        CtrlProbe::errorString(*rig.ctrl) = "earlier";
        scriptReading(rig, c.selects > 0 ? c.selects : 10, c.selects == 8 ? 125 : 512);
        Variant arg = c.bits;
        int got;
        try {
            rig.ctrl->ADCHalfScale(arg);
            got = CtrlProbe::nrOfBits(*rig.ctrl);
        } catch (const Error& e) {
            got = -e.number();
        }
        EXPECT_EQ(got, c.selects);
        EXPECT_EQ(arg, c.bits);  // read, never changed
        if (c.selects > 0) continue;
        EXPECT_TRUE(rig.serial->lines.empty());
        EXPECT_TRUE(rig.log.events.empty());
        EXPECT_EQ(CtrlProbe::value(*rig.ctrl), Variant(7.0));
        EXPECT_EQ(rig.ctrl->ErrorString(),
                  c.selects == 0 ? "Unsupported ADC. Values allowed: 8, 10, 12" : "earlier");
    }
}

TEST(SelfTest, UnsupportedWidthFromEveryMethod) {
    for (Scale s : {Scale::Zero, Scale::Half, Scale::Full}) {
        FakeRig rig;
        rig.opened();
        EXPECT_FALSE(scaleTest(rig, s, Variant(int16_t{9})));
        EXPECT_EQ(rig.ctrl->ErrorString(), "Unsupported ADC. Values allowed: 8, 10, 12");
        EXPECT_TRUE(rig.log.events.empty());
    }
}

TEST(SelfTest, EightBitRefusals) {
    struct Case {
        Scale scale;
        bool open;
        const char* text;
    };
    const Case cases[] = {
        {Scale::Zero, false, "Port is not open"},
        {Scale::Zero, true, "Zero scale not suppported by 8 bit ADC"},
        {Scale::Full, false, "Port is not open"},
        {Scale::Full, true, "Full scale not suppported by 8 bit ADC"},
    };
    for (const auto& c : cases) {
        // The refusal raises its event even inside a check or a resynchronisation.
        for (const bool nested : {false, true}) {
            SCOPED_TRACE(c.text);
            FakeRig rig;
            if (c.open) rig.opened();
            CtrlProbe::value(*rig.ctrl) = 42.0;
            CtrlProbe::nrOfBits(*rig.ctrl) = 10;
            CtrlProbe::inSelfTest(*rig.ctrl) = nested;
            CtrlProbe::inResync(*rig.ctrl) = nested;
            EXPECT_FALSE(scaleTest(rig, c.scale, Variant(int16_t{8})));
            EXPECT_EQ(rig.ctrl->ErrorString(), c.text);
            EXPECT_TRUE(rig.serial->lines.empty());
            EXPECT_EQ(CtrlProbe::value(*rig.ctrl), Variant(42.0));
            EXPECT_EQ(CtrlProbe::nrOfBits(*rig.ctrl), 10);
            ASSERT_EQ(rig.log.events, Lines{"NewData"});
            EXPECT_EQ(rig.log.values[0], Variant(42.0));
            EXPECT_EQ(rig.log.texts[0], c.text);
        }
    }
}

TEST(SelfTest, TimedOutConversionFailsTheCheck) {
    FakeRig rig;
    rig.opened();
    rig.serial->reply({sim::okReply(0)});  // PCSA128; the address write gets no reply
    Variant bits(int16_t{12});
    EXPECT_FALSE(rig.ctrl->ADCFullScale(bits));
    EXPECT_EQ(rig.ctrl->ErrorString(), "Serial port timed out");
    EXPECT_EQ(rig.serial->lines, (Lines{"PCSA128\r", "PWS220\r"}));
    ASSERT_EQ(rig.log.events, Lines{"NewData"});
    EXPECT_EQ(rig.log.texts[0], "Serial port timed out");
}

TEST(SelfTest, PortNotOperationalFailsTheCheck) {
    FakeRig rig;  // port closed
    Variant bits(int16_t{10});
    EXPECT_FALSE(rig.ctrl->ADCZeroScale(bits));
    EXPECT_EQ(rig.ctrl->ErrorString(), "Port is not operational");
    EXPECT_EQ(rig.log.events, Lines{"NewData"});
    EXPECT_EQ(CtrlProbe::nrOfBits(*rig.ctrl), 10);
}

TEST(SelfTest, InsideAResynchronisationNoEventButTheOutcome) {
    for (const double reading : {512.0, 600.0}) {
        FakeRig rig;
        rig.opened();
        CtrlProbe::inResync(*rig.ctrl) = true;
        scriptReading(rig, 10, reading);
        Variant bits(int16_t{10});
        EXPECT_EQ(rig.ctrl->ADCHalfScale(bits), reading == 512.0);
        EXPECT_EQ(rig.ctrl->ErrorString(), reading == 512.0 ? "" : "Returned value: 600");
        EXPECT_TRUE(rig.log.events.empty());
        EXPECT_TRUE(CtrlProbe::inResync(*rig.ctrl));
        EXPECT_FALSE(CtrlProbe::inSelfTest(*rig.ctrl));
    }
}

TEST(SelfTest, AFailedCallRestoresTheFlags) {
    struct Case {
        const char* what;
        int bits;
        std::string lastReply;  // the reply that makes Value fail
    };
    const Case cases[] = {
        // In the conversion: a byte beyond a Long.
        {"10-bit conversion", 10, sim::okReply(3000000000L)},
        // In the check itself: the 8-bit reading is taken as it stands, then read by Value.
        {"8-bit window test", 8, "OK 1E10\r\n>"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        FakeRig rig;
        rig.opened();
        CtrlProbe::chipReady(*rig.ctrl) = true;
        rig.serial->reply({sim::okReply(0)});
        rig.serial->reply({c.bits == 8 ? c.lastReply : sim::okReply(0)});
        if (c.bits == 10) rig.serial->reply({c.lastReply});
        Variant bits(int16_t(c.bits));
        try {
            rig.ctrl->ADCHalfScale(bits);
            ADD_FAILURE() << "expected a failed call";
        } catch (const Error& e) {
            EXPECT_EQ(e.number(), err::Overflow);
        }
        EXPECT_FALSE(CtrlProbe::inSelfTest(*rig.ctrl));
        EXPECT_FALSE(CtrlProbe::inAdcRead(*rig.ctrl));
        EXPECT_TRUE(rig.log.events.empty());

        // The host's next conversion is announced as usual.
        rig.serial->reply({sim::okReply(5)});
        rig.serial->reply({sim::okReply(6)});
        int16_t ch = 1;
        rig.ctrl->ADC12(ch);
        EXPECT_EQ(rig.log.events, Lines{"NewData"});
    }
}

TEST(SelfTest, ByMemberIdTakesTheVariantAsItIs) {
    FakeRig rig;
    rig.opened();
    scriptReading(rig, 12, 2048);
    std::vector<Variant> args{Variant(" 12 ")};
    EXPECT_EQ(invoke(*rig.ctrl, 0x6003001F, InvokeKind::Method, args), Variant(true));
    EXPECT_EQ(args[0], Variant(" 12 "));
    EXPECT_EQ(CtrlProbe::nrOfBits(*rig.ctrl), 12);

    args = {Variant::null()};
    EXPECT_EQ(invoke(*rig.ctrl, 0x60030020, InvokeKind::Method, args), Variant(false));
    EXPECT_EQ(rig.ctrl->ErrorString(), "Unsupported ADC. Values allowed: 8, 10, 12");
    args = {Variant(int32_t{8})};
    EXPECT_EQ(invoke(*rig.ctrl, 0x6003001E, InvokeKind::Method, args), Variant(false));
    EXPECT_EQ(rig.ctrl->ErrorString(), "Zero scale not suppported by 8 bit ADC");
}

}  // namespace
