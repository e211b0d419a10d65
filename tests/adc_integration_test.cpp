// The converter members against simulated boards on real pseudo-terminals: conversions, the
// self-test, resynchronisation of an out-of-step converter, and the board search over COM1..8.
#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "fakes.hpp"
#include "sim/pty_board.hpp"

using namespace vantrel;
using vantrel::testing::EventLog;

namespace {

using Lines = std::vector<std::string>;

// A control on its own event loop, with boards mapped to COM ports. At 9600 baud a reply has a
// 260 ms window, room for a loaded machine; a silent port costs that much.
struct SimRig {
    SimRig() {
        ctrl = std::make_unique<VantrelCtrl>(makePosixSerial(*loop), makeLoopTimer(*loop), site);
        ctrl->UserControl_InitProperties();
        ctrl->connect(&log);
        ctrl->Bauds(9600);
    }
    ~SimRig() {
        ctrl.reset();
        boards.clear();
        PortMap::instance().clear();
    }

    sim::PtyBoard& board(int port, sim::PtyBoard::Options options = {}) {
        boards.push_back(std::make_unique<sim::PtyBoard>(*loop, options));
        PortMap::instance().map(port, boards.back()->slavePath());
        return *boards.back();
    }
    sim::PtyBoard& silentBoard(int port) {
        sim::PtyBoard& b = board(port);
        b.engine().setSilent(true);
        return b;
    }
    // COM n names a device that does not exist.
    static void missing(int port) {
        PortMap::instance().map(port, "/nonexistent/vantrel-com" + std::to_string(port));
    }
    void open(int port) {
        ctrl->Port(port);
        if (!ctrl->OpenPort()) throw std::runtime_error("open failed: " + ctrl->ErrorString());
    }

    std::unique_ptr<EventLoop> loop = makeEpollLoop();
    std::shared_ptr<LoopSite> site = std::make_shared<LoopSite>(*loop);
    std::vector<std::unique_ptr<sim::PtyBoard>> boards;
    EventLog log;
    std::unique_ptr<VantrelCtrl> ctrl;
};

TEST(OverPty, WorkedConversionExample) {
    SimRig rig;
    sim::PtyBoard& board = rig.board(1);
    board.engine().setReading(10, 3, 805);
    board.engine().setReading(12, 11, 196);
    rig.open(1);

    int16_t ch = 3;
    EXPECT_TRUE(rig.ctrl->ADC10(ch));
    EXPECT_EQ(board.lines(), (Lines{"PCSA128\r", "PWS48\r", "PRS\r", "@", "@"}));
    EXPECT_EQ(ch, 48);
    EXPECT_EQ(rig.ctrl->Value(), 805);
    EXPECT_EQ(rig.log.events, Lines{"NewData"});
    EXPECT_EQ(rig.log.values.back(), Variant(805.0));

    board.engine().clearLines();
    ch = 3;
    EXPECT_TRUE(rig.ctrl->ADC10(ch));
    EXPECT_EQ(board.lines(), (Lines{"PRS\r", "@"}));
    EXPECT_EQ(rig.log.values.back(), Variant(805.0));

    board.engine().setReading(10, 3, 805.015625);
    ch = 3;
    EXPECT_TRUE(rig.ctrl->ADC10(ch));
    EXPECT_EQ(rig.log.values.back(), Variant(805.015625));
    EXPECT_EQ(rig.ctrl->Value(), 805);

    board.engine().clearLines();
    ch = 11;
    EXPECT_TRUE(rig.ctrl->ADC12(ch));
    EXPECT_EQ(board.lines(), (Lines{"PWS188\r", "PRS\r", "@", "@"}));
    EXPECT_EQ(ch, 188);
    EXPECT_EQ(rig.log.values.back(), Variant(196.0));

    // The board's 8-bit converter is not wired on this board: its replies are scripted.
    board.engine().clearLines();
    board.engine().scriptReplies({"OK 48\r\n>", "OK 128\r\n>", "OK 128\r\n>"});
    ch = 3;
    EXPECT_TRUE(rig.ctrl->ADC8(ch));
    EXPECT_EQ(rig.log.values.back(), Variant(128.0));
    EXPECT_TRUE(rig.ctrl->ADC8(ch));
    EXPECT_EQ(board.lines(), (Lines{"PWS48\r", "PRS\r", "@"}));
    EXPECT_EQ(ch, 3);

    EXPECT_EQ(rig.log.events, Lines(6, "NewData"));
    EXPECT_EQ(rig.ctrl->ErrorString(), "");
}

TEST(OverPty, SelfTestOnTheReferenceInputs) {
    SimRig rig;
    sim::PtyBoard& board = rig.board(1);
    rig.open(1);

    // The simulator has one address latch for all converters while the control caches an
    // address per width: each width is tested in a row, so that every reading follows an
    // address write of its own converter.
    Variant ten("10");
    EXPECT_TRUE(rig.ctrl->ADCZeroScale(ten)) << rig.ctrl->ErrorString();
    EXPECT_TRUE(rig.ctrl->ADCHalfScale(ten)) << rig.ctrl->ErrorString();
    EXPECT_TRUE(rig.ctrl->ADCFullScale(ten)) << rig.ctrl->ErrorString();
    board.engine().setReading(10, 11, 522.75);
    EXPECT_FALSE(rig.ctrl->ADCHalfScale(ten));
    EXPECT_EQ(rig.ctrl->ErrorString(), "Returned value: 522.75");
    EXPECT_EQ(rig.log.texts.back(), "Returned value: 522.75");

    Variant twelve(12.0);
    EXPECT_TRUE(rig.ctrl->ADCZeroScale(twelve)) << rig.ctrl->ErrorString();
    EXPECT_TRUE(rig.ctrl->ADCHalfScale(twelve)) << rig.ctrl->ErrorString();
    EXPECT_TRUE(rig.ctrl->ADCFullScale(twelve)) << rig.ctrl->ErrorString();
    board.engine().setReading(12, 13, 4089.4375);
    EXPECT_FALSE(rig.ctrl->ADCFullScale(twelve));
    EXPECT_EQ(rig.ctrl->ErrorString(), "Returned value: 4089.4375");
    EXPECT_EQ(rig.log.events, Lines(8, "NewData"));

    EXPECT_EQ(board.lines(), (Lines{"PCSA128\r", "PWS192\r", "PRS\r", "@", "@",  // 10 zero
                                    "PWS176\r",  "PRS\r",    "@",     "@",       // 10 half
                                    "PWS208\r",  "PRS\r",    "@",     "@",       // 10 full
                                    "PWS176\r",  "PRS\r",    "@",     "@",       // 10 half
                                    "PWS204\r",  "PRS\r",    "@",     "@",       // 12 zero
                                    "PWS188\r",  "PRS\r",    "@",     "@",       // 12 half
                                    "PWS220\r",  "PRS\r",    "@",     "@",       // 12 full
                                    "PRS\r",     "@"}));                         // cached

    Variant eight(int16_t{8});
    EXPECT_FALSE(rig.ctrl->ADCZeroScale(eight));
    EXPECT_EQ(rig.ctrl->ErrorString(), "Zero scale not suppported by 8 bit ADC");
}

TEST(OverPty, EightBitHalfScale) {
    SimRig rig;
    sim::PtyBoard::Options options;
    options.engine.bits8 = true;
    sim::PtyBoard& board = rig.board(1, options);
    rig.open(1);
    Variant eight(int16_t{8});
    EXPECT_TRUE(rig.ctrl->ADCHalfScale(eight));
    EXPECT_EQ(board.lines(), (Lines{"PCSA128\r", "PWS176\r", "PRS\r"}));
    board.engine().setReading(8, 11, 131);
    EXPECT_FALSE(rig.ctrl->ADCHalfScale(eight));
    EXPECT_EQ(rig.ctrl->ErrorString(), "Returned value: 131");
}

TEST(OverPty, ResynchronisesAnOutOfStepConverter) {
    SimRig rig;
    sim::PtyBoard& board = rig.board(1);
    rig.open(1);
    int16_t ch = 11;
    ASSERT_TRUE(rig.ctrl->ADC10(ch));
    board.engine().clearLines();
    rig.log.events.clear();

    // Out of step the bytes come swapped: 512 reads as 2.
    board.engine().setOutOfStep(true);
    Variant ten(int16_t{10});
    EXPECT_FALSE(rig.ctrl->ADCHalfScale(ten));
    EXPECT_EQ(rig.ctrl->ErrorString(), "Returned value: 2");
    board.engine().clearLines();
    rig.log.events.clear();

    EXPECT_TRUE(rig.ctrl->ADCReSynchronize());
    EXPECT_EQ(board.lines(), (Lines{"PRS\r", "@",               // first test: fails
                                    "PCSA128\r", "PRS\r", "@",  // second test: passes
                                    "PRS\r", "PRS\r", "@"}));   // third test decides
    EXPECT_FALSE(board.engine().outOfStep());
    EXPECT_EQ(rig.ctrl->Value(), 512);
    EXPECT_EQ(rig.ctrl->ErrorString(), "");
    EXPECT_EQ(rig.log.events, Lines{"NewData"});
}

TEST(OverPty, FindChipStopsAtTheFirstBoard) {
    SimRig rig;
    SimRig::missing(1);
    sim::PtyBoard& silent = rig.silentBoard(2);
    sim::PtyBoard& found = rig.board(3);
    std::vector<sim::PtyBoard*> later;
    for (int port = 4; port <= 8; ++port) later.push_back(&rig.board(port));

    int32_t rate = 9600;
    EXPECT_TRUE(rig.ctrl->FindChip(rate));
    EXPECT_EQ(rig.ctrl->Port(), 3);
    EXPECT_TRUE(rig.ctrl->PortIsOpen());
    EXPECT_TRUE(rig.ctrl->comm().PortOpen());
    EXPECT_EQ(rig.ctrl->ErrorString(), "");
    EXPECT_EQ(silent.lines(), Lines{"PRA\r"});
    EXPECT_EQ(found.lines(), Lines{"PRA\r"});
    for (auto* b : later) EXPECT_TRUE(b->lines().empty());
    // One event per probe sent: none for the port that did not open.
    EXPECT_EQ(rig.log.events, Lines(2, "NewData"));
    EXPECT_EQ(rig.log.texts, (Lines{"Serial port timed out", ""}));

    // The port found is the one in use.
    std::string s = "PRA";
    EXPECT_TRUE(rig.ctrl->Command(s));
    EXPECT_EQ(found.lines().size(), 2u);
}

TEST(OverPty, FindChipClosesThePortTheHostHeldOpen) {
    SimRig rig;
    SimRig::missing(1);
    sim::PtyBoard& silent = rig.silentBoard(2);
    SimRig::missing(3);
    SimRig::missing(4);
    sim::PtyBoard& held = rig.board(5);
    rig.open(5);

    int32_t rate = 9600;
    EXPECT_TRUE(rig.ctrl->FindChip(rate));
    EXPECT_EQ(rig.ctrl->Port(), 5);
    EXPECT_TRUE(rig.ctrl->PortIsOpen());
    EXPECT_EQ(silent.lines(), Lines{"PRA\r"});
    EXPECT_EQ(held.lines(), Lines{"PRA\r"});
    EXPECT_EQ(rig.log.events, Lines(2, "NewData"));
}

TEST(OverPty, FindChipWithNoBoardAndPortEightPresent) {
    SimRig rig;
    for (int port = 1; port <= 7; ++port) SimRig::missing(port);
    sim::PtyBoard& eighth = rig.silentBoard(8);

    int32_t rate = 115200;
    EXPECT_FALSE(rig.ctrl->FindChip(rate));
    EXPECT_EQ(rig.ctrl->Port(), 8);
    EXPECT_TRUE(rig.ctrl->PortIsOpen());
    EXPECT_TRUE(rig.ctrl->comm().PortOpen());
    EXPECT_EQ(rig.ctrl->ErrorString(), "Serial port timed out");
    EXPECT_EQ(eighth.lines(), Lines{"PRA\r"});
    EXPECT_EQ(rig.log.events, Lines{"NewData"});
}

TEST(OverPty, FindChipWithNoPortPresent) {
    SimRig rig;
    for (int port = 1; port <= 8; ++port) SimRig::missing(port);

    int32_t rate = 115200;
    EXPECT_FALSE(rig.ctrl->FindChip(rate));
    EXPECT_EQ(rig.ctrl->Port(), 8);
    EXPECT_FALSE(rig.ctrl->PortIsOpen());
    EXPECT_FALSE(rig.ctrl->comm().PortOpen());
    EXPECT_EQ(rig.ctrl->ErrorString(), "Port could not be open");
    EXPECT_TRUE(rig.log.events.empty());
}

TEST(OverPty, FindChipWithAnUnsupportedRateScansAtTheRateSet) {
    SimRig rig;
    sim::PtyBoard& board = rig.board(1);

    int32_t rate = 1000;
    EXPECT_TRUE(rig.ctrl->FindChip(rate));
    EXPECT_EQ(rate, 1000);
    EXPECT_EQ(rig.ctrl->Bauds(), 9600);
    EXPECT_EQ(board.lineBaud(), 9600u);
    EXPECT_EQ(rig.ctrl->ErrorString(), "");
    EXPECT_EQ(rig.ctrl->Port(), 1);
}

}  // namespace

// The converter catalogue against the simulator, which keeps its own description of the board
// (widths, word scaling, address decoding, reference inputs): every channel of every converter
// reads the simulator's value through the catalogue's member and address word, and every
// reference input the catalogue names is the one wired to its channel, passes its check on the
// simulator's ideal code and at both ends of its window, and fails just outside it.
TEST(Catalogue, EveryConverterReadsAndChecksAsTheSimulatorWiresIt) {
    for (const Converter& converter : converters()) {
        SCOPED_TRACE(converter.member);
        SimRig rig;
        // Which converter answers the address words with low nibble 0 is the board's wiring.
        sim::PtyBoard::Options options;
        options.engine.bits8 = converter.bits == sim::BoardEngine::kBits8;
        sim::PtyBoard& board = rig.board(1, options);
        sim::BoardEngine& engine = board.engine();
        rig.open(1);
        VantrelCtrl& ctrl = *rig.ctrl;

        // A reading of its own on every channel, in steps finer than any converter resolves
        // (the simulator keeps what the converter's word can carry).
        for (int ch = 0; ch <= converter.lastChannel; ++ch)
            engine.setReading(converter.bits, ch, 1.0 + ch * 17.3 + ch * 0.01);
        for (int ch = 0; ch <= converter.lastChannel; ++ch) {
            auto arg = static_cast<int16_t>(ch);
            ASSERT_TRUE((ctrl.*converter.convert)(arg)) << ch << ": " << ctrl.ErrorString();
            EXPECT_EQ(rig.log.values.back().toDouble(), engine.reading(converter.bits, ch)) << ch;
        }
        for (int ch = 0; ch <= converter.lastChannel; ++ch) engine.clearReading(converter.bits, ch);

        for (const ReferenceCheck& check : converter.checks) {
            SCOPED_TRACE(scaleName(check.scale));
            Variant width(converter.bits);
            const auto run = [&] { return (ctrl.*scaleTestMember(check.scale))(width); };
            const double ideal = engine.reading(converter.bits, check.channel);
            EXPECT_TRUE(run()) << ctrl.ErrorString();
            EXPECT_EQ(rig.log.values.back().toDouble(), ideal);
            for (const int32_t edge : {check.low, check.high}) {
                engine.setReading(converter.bits, check.channel, edge);
                EXPECT_TRUE(run()) << edge << ": " << ctrl.ErrorString();
            }
            // Just outside, where the converter's word can carry it (not below zero scale,
            // not beyond the top of the word).
            for (const int32_t outside : {check.low - 1, check.high + 1}) {
                engine.setReading(converter.bits, check.channel, outside);
                if (engine.reading(converter.bits, check.channel) != outside) continue;
                EXPECT_FALSE(run()) << outside;
                EXPECT_EQ(ctrl.ErrorString(), "Returned value: " + std::to_string(outside));
            }
            engine.clearReading(converter.bits, check.channel);
        }
    }
}

// A board that now and then answers after the reply window: the conversion that meets it
// fails, and no later one takes the late reply for its own. Channels of both widths take turns,
// so a reply credited to the wrong command shows as a reading of another channel or a torn
// word.
TEST(OverPty, ABoardThatAnswersLateNowAndThenGivesOnlyWholeReadings) {
    SimRig rig;
    sim::PtyBoard& board = rig.board(1);
    struct Channel {
        int bits;
        int16_t channel;
        double value;
    };
    const Channel channels[] = {{10, 3, 341}, {10, 5, 682}, {12, 7, 2730.0625}};
    for (const Channel& c : channels) board.engine().setReading(c.bits, c.channel, c.value);
    rig.open(1);

    int good = 0;
    int failed = 0;
    for (int i = 0; i < 60; ++i) {
        const Channel& c = channels[i % 3];
        // Every fifth conversion meets a reply 400 ms late (the window at 9600 baud: 260 ms).
        const bool late = i % 5 == 2;
        board.engine().setReplyDelay(late ? std::chrono::milliseconds(400)
                                          : std::chrono::milliseconds(0));
        int16_t ch = c.channel;
        const bool ok = c.bits == 10 ? rig.ctrl->ADC10(ch) : rig.ctrl->ADC12(ch);
        SCOPED_TRACE(::testing::Message() << "conversion " << i << ", " << c.bits << " bits");
        if (ok) {
            ++good;
            EXPECT_EQ(rig.log.values.back(), Variant(c.value));
        } else {
            ++failed;
            EXPECT_EQ(rig.ctrl->ErrorString(), "Serial port timed out");
        }
    }
    // Each late reply costs its own conversion at most.
    EXPECT_GE(good, 48);
    EXPECT_GE(failed, 1);
}

// The board's one address register, as a lab meets it on the wire.
TEST(OverPty, WidthsTakingTurnsEachReadTheirOwnChannel) {
    SimRig rig;
    sim::PtyBoard& board = rig.board(1);
    board.engine().setReading(10, 4, 444);
    board.engine().setReading(12, 9, 3333);
    rig.open(1);
    for (int i = 0; i < 3; ++i) {
        int16_t ch = 4;
        ASSERT_TRUE(rig.ctrl->ADC10(ch)) << rig.ctrl->ErrorString();
        EXPECT_EQ(rig.log.values.back(), Variant(444.0));
        ch = 9;
        ASSERT_TRUE(rig.ctrl->ADC12(ch)) << rig.ctrl->ErrorString();
        EXPECT_EQ(rig.log.values.back(), Variant(3333.0));
    }
}
