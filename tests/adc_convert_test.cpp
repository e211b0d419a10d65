// Conversions on fakes: command sequences, the by-reference channel, composition, caches,
// events, and the nesting flag after a failed call.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "fakes.hpp"

using namespace vantrel;
using vantrel::testing::CtrlProbe;
using vantrel::testing::FakeRig;

namespace {

using Lines = std::vector<std::string>;

std::string ok(const std::string& n) {
    return "OK " + n + "\r\n>";
}
std::string ok(long n) {
    return ok(std::to_string(n));
}

// Scripts one reply per following command.
void script(FakeRig& rig, const std::vector<std::string>& replies) {
    for (const auto& r : replies) rig.serial->reply({r});
}

enum class Width { B8, B10, B12 };

bool convert(FakeRig& rig, Width w, int16_t& channel) {
    switch (w) {
        case Width::B8:
            return rig.ctrl->ADC8(channel);
        case Width::B10:
            return rig.ctrl->ADC10(channel);
        case Width::B12:
            return rig.ctrl->ADC12(channel);
    }
    return false;
}

int16_t bitsOf(Width w) {
    return w == Width::B8 ? 8 : w == Width::B10 ? 10 : 12;
}

TEST(Convert, WorkedExampleStepByStep) {
    FakeRig rig;
    rig.opened();

    // 1. ADC10 on channel 3 of a new control.
    script(rig, {ok(0), ok(48), ok(7), ok(201), ok(64)});
    int16_t ch = 3;
    EXPECT_TRUE(rig.ctrl->ADC10(ch));
    EXPECT_EQ(rig.serial->lines, (Lines{"PCSA128\r", "PWS48\r", "PRS\r", "@", "@"}));
    EXPECT_EQ(ch, 48);
    EXPECT_EQ(CtrlProbe::value(*rig.ctrl), Variant(805.0));
    EXPECT_TRUE(CtrlProbe::chipReady(*rig.ctrl));
    EXPECT_EQ(CtrlProbe::lastAddress(*rig.ctrl), std::optional<int16_t>(48));
    EXPECT_EQ(rig.ctrl->ErrorString(), "");
    EXPECT_EQ(CtrlProbe::nrOfBits(*rig.ctrl), 10);
    EXPECT_FALSE(CtrlProbe::inAdcRead(*rig.ctrl));
    ASSERT_EQ(rig.log.events, Lines{"NewData"});
    EXPECT_EQ(rig.log.values[0], Variant(805.0));

    // 2. The same channel again: no set-up, no address write.
    rig.serial->lines.clear();
    script(rig, {ok(201), ok(64)});
    ch = 3;
    EXPECT_TRUE(rig.ctrl->ADC10(ch));
    EXPECT_EQ(rig.serial->lines, (Lines{"PRS\r", "@"}));
    EXPECT_EQ(CtrlProbe::value(*rig.ctrl), Variant(805.0));

    // 3. A low byte with bits below the reading's last bit: a fraction, rounded by Value.
    rig.serial->lines.clear();
    script(rig, {ok(201), ok(65)});
    ch = 3;
    EXPECT_TRUE(rig.ctrl->ADC10(ch));
    EXPECT_EQ(CtrlProbe::value(*rig.ctrl), Variant(805.015625));
    EXPECT_EQ(rig.ctrl->Value(), 805);

    // 4. ADC12 on channel 11.
    rig.serial->lines.clear();
    script(rig, {ok(188), ok(0), ok(12), ok(64)});
    ch = 11;
    EXPECT_TRUE(rig.ctrl->ADC12(ch));
    EXPECT_EQ(rig.serial->lines, (Lines{"PWS188\r", "PRS\r", "@", "@"}));
    EXPECT_EQ(ch, 188);
    EXPECT_EQ(CtrlProbe::value(*rig.ctrl), Variant(196.0));
    EXPECT_EQ(CtrlProbe::lastAddress(*rig.ctrl), std::optional<int16_t>(188));

    // 5. ADC8 on channel 3, then again.
    rig.serial->lines.clear();
    script(rig, {ok(48), ok(128), ok(129)});
    ch = 3;
    EXPECT_TRUE(rig.ctrl->ADC8(ch));
    EXPECT_EQ(ch, 3);
    EXPECT_EQ(CtrlProbe::value(*rig.ctrl), Variant(128.0));
    EXPECT_EQ(CtrlProbe::lastAddress(*rig.ctrl), std::optional<int16_t>(48));
    EXPECT_TRUE(rig.ctrl->ADC8(ch));
    EXPECT_EQ(rig.serial->lines, (Lines{"PWS48\r", "PRS\r", "@"}));
    EXPECT_EQ(CtrlProbe::value(*rig.ctrl), Variant(129.0));

    EXPECT_EQ(rig.log.count("NewData"), 6u);
    EXPECT_EQ(rig.log.events.size(), 6u);
}

// The board has one address register for all converters: a conversion writes its address
// unless the last conversion, of whatever width, left its own address there.
TEST(Convert, WidthsShareTheBoardsAddressRegister) {
    FakeRig rig;
    rig.opened();
    CtrlProbe::chipReady(*rig.ctrl) = true;
    struct Step {
        Width w;
        int16_t channel;
        Lines sent;
        double value;
    };
    const Step steps[] = {
        {Width::B10, 4, {"PWS64\r", "PRS\r", "@", "@"}, 444},
        {Width::B12, 9, {"PWS156\r", "PRS\r", "@", "@"}, 3333},
        // Its own cache would have said channel 4 is still selected: it is not.
        {Width::B10, 4, {"PWS64\r", "PRS\r", "@", "@"}, 444},
        {Width::B10, 4, {"PRS\r", "@"}, 444},
        // The 8-bit converter answers the same address words as the 10-bit one.
        {Width::B8, 4, {"@"}, 200},
        {Width::B8, 5, {"PWS80\r", "PRS\r"}, 201},
        {Width::B12, 9, {"PWS156\r", "PRS\r", "@", "@"}, 3333},
        {Width::B8, 5, {"PWS80\r", "PRS\r"}, 201},
    };
    for (const Step& step : steps) {
        SCOPED_TRACE(::testing::Message() << bitsOf(step.w) << " bits, channel " << step.channel);
        rig.serial->lines.clear();
        const long address = step.channel * 16 + (step.w == Width::B12 ? 12 : 0);
        if (step.w == Width::B8) {
            if (step.sent.size() == 2) rig.serial->reply({ok(address)});
            rig.serial->reply({ok(static_cast<long>(step.value))});
        } else {
            const double divisor = step.w == Width::B10 ? 64 : 16;
            const auto word = static_cast<long>(step.value * divisor);
            if (step.sent.size() == 4) script(rig, {ok(address), ok(0)});
            script(rig, {ok(word >> 8), ok(word & 0xFF)});
        }
        int16_t ch = step.channel;
        ASSERT_TRUE(convert(rig, step.w, ch)) << rig.ctrl->ErrorString();
        EXPECT_EQ(rig.serial->lines, step.sent);
        EXPECT_EQ(CtrlProbe::value(*rig.ctrl), Variant(step.value));
        EXPECT_EQ(CtrlProbe::lastAddress(*rig.ctrl), std::optional<int16_t>(address));
    }
}

// A host's own address write moves the register behind the conversions' back.
TEST(Convert, HostsAddressWriteMakesTheNextConversionWriteItsAddress) {
    FakeRig rig;
    rig.opened();
    CtrlProbe::chipReady(*rig.ctrl) = true;
    CtrlProbe::lastAddress(*rig.ctrl) = 48;
    for (const char* host : {"PWS80", "PRS"}) {
        SCOPED_TRACE(host);
        rig.serial->lines.clear();
        rig.serial->reply({ok(1)});
        std::string s = host;
        EXPECT_TRUE(rig.ctrl->Command(s));
        const bool moved = std::string_view(host).starts_with("PWS");
        if (moved) script(rig, {ok(48), ok(0)});
        script(rig, {ok(1), ok(2)});
        int16_t ch = 3;
        EXPECT_TRUE(rig.ctrl->ADC10(ch));
        const Lines withWrite{std::string(host) + "\r", "PWS48\r", "PRS\r", "@", "@"};
        const Lines without{std::string(host) + "\r", "PRS\r", "@"};
        EXPECT_EQ(rig.serial->lines, moved ? withWrite : without);
    }
}

TEST(Convert, FirstConversionOfChannelZero) {
    // A new control does not know what the board's address register holds (another program
    // or an earlier run may have left it anywhere): its first conversion writes its address,
    // channel 0 of the 10-bit converter included.
    struct Case {
        Width w;
        Lines lines;
        int16_t address;
        double value;
    };
    const Case cases[] = {
        {Width::B10, {"PCSA128\r", "PWS0\r", "PRS\r", "@", "@"}, 0, (2.0 * 256 + 128) / 64},
        {Width::B12, {"PCSA128\r", "PWS12\r", "PRS\r", "@", "@"}, 12, (2.0 * 256 + 128) / 16},
    };
    for (const auto& c : cases) {
        FakeRig rig;
        rig.opened();
        for (size_t i = 0; i + 2 < c.lines.size(); ++i) rig.serial->reply({ok(0)});
        script(rig, {ok(2), ok(128)});
        int16_t ch = 0;
        EXPECT_TRUE(convert(rig, c.w, ch));
        EXPECT_EQ(rig.serial->lines, c.lines);
        EXPECT_EQ(ch, c.address);
        EXPECT_EQ(CtrlProbe::value(*rig.ctrl), Variant(c.value));
    }
}

TEST(Convert, SteppedReadingsKeepTheirFraction) {
    struct Case {
        Width w;
        long first, second;
        double value;
    };
    const Case cases[] = {
        {Width::B10, 255, 255, 1023.984375}, {Width::B10, 0, 1, 0.015625},
        {Width::B12, 255, 255, 4095.9375},   {Width::B12, 0, 1, 0.0625},
        {Width::B12, 127, 248, 2047.5},
    };
    for (const auto& c : cases) {
        FakeRig rig;
        rig.opened();
        CtrlProbe::chipReady(*rig.ctrl) = true;
        script(rig, {ok(16), ok(0), ok(c.first), ok(c.second)});
        int16_t ch = 1;
        EXPECT_TRUE(convert(rig, c.w, ch));
        EXPECT_EQ(CtrlProbe::value(*rig.ctrl), Variant(c.value)) << bitsOf(c.w);
        EXPECT_EQ(rig.ctrl->ErrorString(), "");
    }
}

TEST(Convert, EightBitReadingIsTheReplyNumberUnrounded) {
    FakeRig rig;
    rig.opened();
    CtrlProbe::chipReady(*rig.ctrl) = true;
    script(rig, {ok(16), ok("127.5")});
    int16_t ch = 1;
    EXPECT_TRUE(rig.ctrl->ADC8(ch));
    EXPECT_EQ(CtrlProbe::value(*rig.ctrl), Variant(127.5));
}

TEST(Convert, ChannelBounds) {
    struct Case {
        Width w;
        int16_t channel;
        bool valid;
    };
    const Case cases[] = {
        {Width::B8, -1, false},      {Width::B8, 0, true},       {Width::B8, 11, true},
        {Width::B8, 12, false},      {Width::B8, -32768, false}, {Width::B10, -1, false},
        {Width::B10, 13, true},      {Width::B10, 14, false},    {Width::B10, 32767, false},
        {Width::B12, -1, false},     {Width::B12, 13, true},     {Width::B12, 14, false},
        {Width::B12, -32768, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(::testing::Message() << bitsOf(c.w) << " bits, channel " << c.channel);
        FakeRig rig;
        rig.opened();
        CtrlProbe::errorString(*rig.ctrl) = "earlier";
        CtrlProbe::value(*rig.ctrl) = 9.0;
        for (int i = 0; i < 5; ++i) rig.serial->reply({ok(1)});
        int16_t ch = c.channel;
        const bool result = convert(rig, c.w, ch);
        EXPECT_EQ(CtrlProbe::nrOfBits(*rig.ctrl), bitsOf(c.w));
        EXPECT_FALSE(CtrlProbe::inAdcRead(*rig.ctrl));
        ASSERT_EQ(rig.log.events, Lines{"NewData"});
        if (c.valid) {
            EXPECT_TRUE(result);
            EXPECT_FALSE(rig.serial->lines.empty());
            continue;
        }
        EXPECT_FALSE(result);
        EXPECT_TRUE(rig.serial->lines.empty());
        EXPECT_EQ(ch, c.channel);
        EXPECT_FALSE(CtrlProbe::chipReady(*rig.ctrl));
        EXPECT_EQ(CtrlProbe::value(*rig.ctrl), Variant(9.0));
        const std::string text =
            c.w == Width::B8 ? "earlier" : "A/D channel requested does not exist";
        EXPECT_EQ(rig.ctrl->ErrorString(), text);
        EXPECT_EQ(rig.log.texts[0], text);
    }
}

TEST(Convert, ChannelVariableAfterEachWidth) {
    FakeRig rig;
    rig.opened();
    CtrlProbe::chipReady(*rig.ctrl) = true;
    for (int i = 0; i < 10; ++i) rig.serial->reply({ok(1)});
    int16_t ch = 5;
    EXPECT_TRUE(rig.ctrl->ADC10(ch));
    EXPECT_EQ(ch, 80);
    ch = 5;
    EXPECT_TRUE(rig.ctrl->ADC12(ch));
    EXPECT_EQ(ch, 92);
    ch = 5;
    EXPECT_TRUE(rig.ctrl->ADC8(ch));
    EXPECT_EQ(ch, 5);
}

TEST(Convert, RefusedSetUpIsSentAgainByAnyWidth) {
    FakeRig rig;
    rig.opened();
    rig.serial->reply({"?4 Set-up failed\r\n>"});
    int16_t ch = 3;
    EXPECT_FALSE(rig.ctrl->ADC10(ch));
    EXPECT_EQ(ch, 3);
    EXPECT_FALSE(CtrlProbe::chipReady(*rig.ctrl));
    EXPECT_EQ(rig.ctrl->ErrorString(), "Set-up failed");
    EXPECT_EQ(rig.ctrl->ErrorNr(), 4);
    EXPECT_FALSE(CtrlProbe::lastAddress(*rig.ctrl).has_value());
    ASSERT_EQ(rig.log.events, Lines{"NewData"});
    EXPECT_EQ(rig.log.texts[0], "Set-up failed");

    script(rig, {ok(0), ok(48), ok(100)});
    EXPECT_TRUE(rig.ctrl->ADC8(ch));
    EXPECT_TRUE(CtrlProbe::chipReady(*rig.ctrl));

    script(rig, {ok(0), ok(0), ok(1), ok(2)});
    ch = 0;
    EXPECT_TRUE(rig.ctrl->ADC10(ch));
    EXPECT_EQ(rig.serial->lines,
              (Lines{"PCSA128\r", "PCSA128\r", "PWS48\r", "PRS\r", "PWS0\r", "PRS\r", "@", "@"}));
}

// A command that fails part way leaves the cache as it was, m_Value as the last successful
// command stored it, and the caller's channel holding the address word.
TEST(Convert, FailureInTheMiddleOfEachSequence) {
    struct Case {
        Width w;
        bool sameChannel;
        Lines sequence;
    };
    const Case cases[] = {
        {Width::B8, true, {"@"}},           {Width::B8, false, {"PWS32\r", "PRS\r"}},
        {Width::B10, true, {"PRS\r", "@"}}, {Width::B10, false, {"PWS32\r", "PRS\r", "@", "@"}},
        {Width::B12, true, {"PRS\r", "@"}}, {Width::B12, false, {"PWS44\r", "PRS\r", "@", "@"}},
    };
    for (const auto& c : cases) {
        for (size_t failAt = 0; failAt < c.sequence.size(); ++failAt) {
            for (const bool timeout : {false, true}) {
                SCOPED_TRACE(::testing::Message()
                             << bitsOf(c.w) << " bits, same " << c.sameChannel << ", fail at "
                             << failAt << (timeout ? " (timeout)" : " (board error)"));
                FakeRig rig;
                rig.opened();
                CtrlProbe::chipReady(*rig.ctrl) = true;
                CtrlProbe::value(*rig.ctrl) = 1.5;
                const int16_t address = c.w == Width::B12 ? 44 : 32;
                const int16_t before = c.sameChannel ? address : 16;
                CtrlProbe::lastAddress(*rig.ctrl) = before;
                for (size_t i = 0; i < failAt; ++i)
                    rig.serial->reply({ok(static_cast<long>(i + 40))});
                if (!timeout) rig.serial->reply({"?5 Channel busy\r\n>"});

                int16_t ch = 2;
                EXPECT_FALSE(convert(rig, c.w, ch));
                const Lines sent(c.sequence.begin(), c.sequence.begin() + failAt + 1);
                EXPECT_EQ(rig.serial->lines, sent);
                EXPECT_EQ(rig.ctrl->ErrorString(),
                          timeout ? "Serial port timed out" : "Channel busy");
                EXPECT_EQ(CtrlProbe::value(*rig.ctrl),
                          Variant(failAt == 0 ? 1.5 : 40.0 + static_cast<double>(failAt - 1)));
                EXPECT_EQ(ch, c.w == Width::B8 ? 2 : address);
                // After an address write that may have reached the board, the register is
                // unknown and the next conversion of any channel writes its address.
                EXPECT_EQ(CtrlProbe::lastAddress(*rig.ctrl),
                          c.sameChannel ? std::optional<int16_t>(before) : std::nullopt);
                EXPECT_FALSE(CtrlProbe::inAdcRead(*rig.ctrl));
                ASSERT_EQ(rig.log.events, Lines{"NewData"});
                EXPECT_EQ(rig.log.texts[0], rig.ctrl->ErrorString());
            }
        }
    }
}

TEST(Convert, ChangedAddressIsWrittenAgainAfterAFailure) {
    FakeRig rig;
    rig.opened();
    CtrlProbe::chipReady(*rig.ctrl) = true;
    script(rig, {ok(48), "?5 Channel busy\r\n>"});
    int16_t ch = 3;
    EXPECT_FALSE(rig.ctrl->ADC12(ch));
    script(rig, {ok(60), ok(0), ok(1), ok(2)});
    ch = 3;
    EXPECT_TRUE(rig.ctrl->ADC12(ch));
    EXPECT_EQ(rig.serial->lines, (Lines{"PWS60\r", "PRS\r", "PWS60\r", "PRS\r", "@", "@"}));
}

TEST(Convert, AlternatingChannelsAndWidths) {
    FakeRig rig;
    rig.opened();
    CtrlProbe::chipReady(*rig.ctrl) = true;
    for (int i = 0; i < 40; ++i) rig.serial->reply({ok(1)});

    // One width, alternating channels: the address is written every time.
    for (int16_t c : {1, 2, 1, 2}) {
        int16_t ch = c;
        ASSERT_TRUE(rig.ctrl->ADC10(ch));
    }
    EXPECT_EQ(rig.serial->lines.size(), 16u);
    EXPECT_EQ(rig.serial->lines[12], "PWS32\r");

    // One channel, alternating widths: the board's one register holds the address the last
    // conversion wrote, so the 12-bit converter and the others take turns writing theirs; the
    // 8- and 10-bit converters share their address words.
    rig.serial->lines.clear();
    for (Width w : {Width::B8, Width::B12, Width::B10, Width::B8, Width::B12, Width::B10}) {
        int16_t ch = 2;
        ASSERT_TRUE(convert(rig, w, ch));
    }
    EXPECT_EQ(rig.serial->lines, (Lines{"@",                              // 8: 32 is left
                                        "PWS44\r", "PRS\r", "@", "@",     // 12
                                        "PWS32\r", "PRS\r", "@", "@",     // 10
                                        "@",                              // 8
                                        "PWS44\r", "PRS\r", "@", "@",     // 12
                                        "PWS32\r", "PRS\r", "@", "@"}));  // 10
}

TEST(Convert, NoEventsWhileASelfTestRuns) {
    FakeRig rig;
    rig.opened();
    CtrlProbe::inSelfTest(*rig.ctrl) = true;
    script(rig, {"?4 Set-up failed\r\n>", ok(0), ok(16), ok(1), ok(2), ok(3)});
    int16_t ch = 1;
    EXPECT_FALSE(rig.ctrl->ADC10(ch));
    EXPECT_TRUE(rig.ctrl->ADC10(ch = 1));
    ch = 20;
    EXPECT_FALSE(rig.ctrl->ADC12(ch));
    EXPECT_TRUE(rig.log.events.empty());
    EXPECT_TRUE(CtrlProbe::inSelfTest(*rig.ctrl));
    EXPECT_FALSE(CtrlProbe::inAdcRead(*rig.ctrl));
}

TEST(Convert, AFailedCallRestoresTheFlagAndRaisesNothing) {
    // A reply number beyond a Long makes Value fail with Error 6 in the middle of the sequence.
    for (const bool flagBefore : {false, true}) {
        FakeRig rig;
        rig.opened();
        CtrlProbe::chipReady(*rig.ctrl) = true;
        CtrlProbe::inAdcRead(*rig.ctrl) = flagBefore;
        CtrlProbe::value(*rig.ctrl) = 3.0;
        script(rig, {ok(16), ok(0), ok(3000000000L)});
        int16_t ch = 1;
        try {
            rig.ctrl->ADC10(ch);
            ADD_FAILURE() << "expected a failed call";
        } catch (const Error& e) {
            EXPECT_EQ(e.number(), err::Overflow);
        }
        EXPECT_EQ(CtrlProbe::inAdcRead(*rig.ctrl), flagBefore);
        EXPECT_EQ(CtrlProbe::lastAddress(*rig.ctrl), std::nullopt);
        EXPECT_TRUE(rig.log.events.empty());
    }

    // The flag no longer silences the host's next exchange.
    FakeRig rig;
    rig.opened();
    CtrlProbe::chipReady(*rig.ctrl) = true;
    script(rig, {ok(16), ok(0), ok(3000000000L), ok(5)});
    int16_t ch = 1;
    EXPECT_THROW(rig.ctrl->ADC12(ch), Error);
    std::string s = "PRA";
    EXPECT_TRUE(rig.ctrl->Command(s));
    EXPECT_EQ(rig.log.events, Lines{"NewData"});
}

TEST(Convert, NestedExchangeDuringTheWaitFailsCleanly) {
    // A conversion started from the message loop while another one waits for its reply is
    // refused by Command; both conversions end with the error and leave the flag as it was.
    FakeRig rig;
    rig.opened();
    CtrlProbe::chipReady(*rig.ctrl) = true;
    rig.site->passes.push_back([&] {
        int16_t inner = 2;
        rig.ctrl->ADC8(inner);
    });
    int16_t ch = 1;
    try {
        rig.ctrl->ADC10(ch);
        ADD_FAILURE() << "expected a failed call";
    } catch (const Error& e) {
        EXPECT_EQ(e.number(), err::CommandInProgress);
    }
    EXPECT_FALSE(CtrlProbe::inAdcRead(*rig.ctrl));
    EXPECT_EQ(CtrlProbe::nrOfBits(*rig.ctrl), 8);
    EXPECT_TRUE(rig.log.events.empty());
    EXPECT_FALSE(rig.timer->enabled);
}

TEST(Convert, ByMemberIdWritesTheChannelBack) {
    FakeRig rig;
    rig.opened();
    script(rig, {ok(0), ok(48), ok(0), ok(201), ok(64)});
    std::vector<Variant> args{Variant(int16_t{3})};
    EXPECT_EQ(invoke(*rig.ctrl, 0x60030015, InvokeKind::Method, args), Variant(true));
    EXPECT_EQ(args[0], Variant(int16_t{48}));
    EXPECT_EQ(rig.ctrl->Value(), 805);

    // Another type than Integer goes through a temporary: the caller's value stays.
    args = {Variant(int32_t{12})};
    EXPECT_EQ(invoke(*rig.ctrl, 0x60030014, InvokeKind::Method, args), Variant(false));
    EXPECT_EQ(args[0], Variant(int32_t{12}));
    args = {Variant(int32_t{14})};
    EXPECT_EQ(invoke(*rig.ctrl, 0x60030016, InvokeKind::Method, args), Variant(false));
    EXPECT_EQ(rig.ctrl->ErrorString(), "A/D channel requested does not exist");

    const std::pair<const char*, int32_t> ids[] = {
        {"ADC8", 0x60030014},
        {"ADC10", 0x60030015},
        {"ADC12", 0x60030016},
        {"ADCZeroScale", 0x6003001E},
        {"ADCHalfScale", 0x6003001F},
        {"ADCFullScale", 0x60030020},
        {"ADCReSynchronize", 0x60030021},
        {"FindChip", 0x60030022},
    };
    for (auto [name, want] : ids) EXPECT_EQ(memberIdByName(name), want) << name;
}

}  // namespace
