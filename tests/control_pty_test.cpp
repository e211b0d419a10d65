// The control over a real pseudo-terminal with the simulated board on the other end, and over
// "sim://", the same board inside the process.
#include <gtest/gtest.h>

#include <chrono>

#include "fakes.hpp"
#include "pump_until.hpp"
#include "sim/pty_board.hpp"

using namespace vantrel;
using namespace std::chrono_literals;
using vantrel::testing::EventLog;

namespace {

struct PtyRig {
    explicit PtyRig(int32_t baud) {
        PortMap::instance().map(1, board.slavePath());
        ctrl = VantrelCtrl::createNew();
        ctrl->connect(&log);
        ctrl->Bauds(baud);
        ctrl->Port(1);
        if (!ctrl->OpenPort()) throw std::runtime_error("open failed: " + ctrl->ErrorString());
    }
    ~PtyRig() {
        ctrl.reset();
        PortMap::instance().clear();
    }
    bool command(std::string text) { return ctrl->Command(text); }

    EventLoop& loop = threadLoop();
    sim::PtyBoard board{loop};
    std::unique_ptr<VantrelCtrl> ctrl;
    EventLog log;
};

// Exchanges that must succeed run at 9600 baud: its 260 ms reply window (22 ms at 115200) leaves
// room for a loaded machine. The tests about the timing itself keep 115200.
TEST(ControlOverPty, ExchangesWithTheBoard) {
    PtyRig rig(9600);
    std::string s = "PRA";
    EXPECT_TRUE(rig.ctrl->Command(s));
    EXPECT_EQ(rig.board.lines(), std::vector<std::string>{"PRA\r"});
    EXPECT_EQ(rig.log.events, std::vector<std::string>{"NewData"});
    std::string bad = "XYZ";
    EXPECT_FALSE(rig.ctrl->Command(bad));
    EXPECT_EQ(rig.ctrl->ErrorNr(), 10);
    EXPECT_EQ(rig.ctrl->ErrorString(), "Illegal command");
    EXPECT_EQ(bad, "A");
}

TEST(ControlOverPty, TimesOutNeverEarly) {
    for (auto [baud, interval] : {std::pair{115200, 22ms}, std::pair{9600, 260ms}}) {
        PtyRig rig(baud);
        rig.board.engine().setSilent(true);
        const auto start = std::chrono::steady_clock::now();
        EXPECT_FALSE(rig.command("PRS"));
        const auto waited = std::chrono::steady_clock::now() - start;
        EXPECT_EQ(rig.ctrl->ErrorString(), "Serial port timed out");
        EXPECT_GE(waited, interval) << baud;
        EXPECT_LT(waited, interval + 500ms) << baud;
    }
}

TEST(ControlOverPty, ReplySplitIntoChunks) {
    PtyRig rig(9600);
    rig.board.engine().scriptReply("OK 4 095\r\n>");
    rig.board.engine().setReplySplit(2, std::chrono::microseconds(1000));
    EXPECT_TRUE(rig.command("PRS"));
    EXPECT_EQ(rig.ctrl->Value(), 4095);
    EXPECT_EQ(rig.ctrl->ReturnedStr(), "OK 4 095\r\n>");
}

TEST(ControlOverPty, InterruptsDuringTheWait) {
    PtyRig rig(9600);
    rig.board.engine().setReplyPrefix("L\r\n");
    rig.board.engine().setReplySplit(3, std::chrono::milliseconds(5));
    EXPECT_TRUE(rig.command("PRA"));
    ASSERT_GE(rig.log.events.size(), 2u);
    EXPECT_EQ(rig.log.events.front(), "L");
    EXPECT_EQ(rig.log.events.back(), "NewData");
    EXPECT_EQ(rig.log.count("H"), 0u);
    EXPECT_EQ(rig.ctrl->ReturnedStr(), "L\r\nOK 1\r\n>");
}

TEST(ControlOverPty, LateReplyIsDroppedByTheNextCommand) {
    PtyRig rig(115200);
    rig.board.engine().scriptReplies({"OK 1\r\n>", "OK 2\r\n>"});
    rig.board.engine().setReplyDelay(std::chrono::milliseconds(60));
    EXPECT_FALSE(rig.command("PRS"));
    EXPECT_EQ(rig.ctrl->ErrorString(), "Serial port timed out");
    // The late reply reaches the control after the timeout and collects in the buffer.
    ASSERT_TRUE(
        vantrel::test::pumpUntil(rig.loop, [&] { return rig.ctrl->ReturnedStr() == "OK 1\r\n>"; }));
    rig.board.engine().setReplyDelay(std::chrono::microseconds(0));
    EXPECT_TRUE(rig.command("PRS"));
    EXPECT_EQ(rig.ctrl->Value(), 2);
    EXPECT_EQ(rig.ctrl->ReturnedStr(), "OK 2\r\n>");
}

TEST(ControlOverPty, HangUpMidReply) {
    PtyRig rig(115200);
    // The board goes away as soon as the first part of its reply has reached the control.
    struct HangUpOnLow : VantrelEvents {
        sim::PtyBoard* board;
        void InterruptLow() override { board->hangUp(); }
    } sink;
    sink.board = &rig.board;
    rig.ctrl->connect(&sink);
    rig.board.engine().scriptReply("OK 1L");
    EXPECT_FALSE(rig.command("PRS"));
    EXPECT_EQ(rig.ctrl->ErrorString(), "Serial port timed out");
    EXPECT_EQ(rig.ctrl->ReturnedStr(), "OK 1L");
    ASSERT_TRUE(vantrel::test::pumpUntil(rig.loop, [&] { return rig.ctrl->comm().HungUp(); }));
    // The port stays open until ClosePort; the next command fails its write, naming the device.
    EXPECT_TRUE(rig.ctrl->comm().PortOpen());
    EXPECT_TRUE(rig.ctrl->PortIsOpen());
    try {
        rig.command("PRS");
        ADD_FAILURE() << "the write to a device that went away succeeded";
    } catch (const Error& e) {
        EXPECT_EQ(e.number(), err::PortIo);
        EXPECT_EQ(std::string(e.what()),
                  "write " + rig.board.slavePath() + ": the device has gone away");
    }
    EXPECT_TRUE(rig.ctrl->ClosePort());
    EXPECT_EQ(rig.ctrl->ErrorString(), "");
    EXPECT_FALSE(rig.ctrl->comm().PortOpen());

    // The device is back (here: a new board on the same COM number).
    sim::PtyBoard back{rig.loop};
    PortMap::instance().map(1, back.slavePath());
    ASSERT_TRUE(rig.ctrl->OpenPort());
    EXPECT_TRUE(rig.command("PRA"));
    EXPECT_EQ(back.lines(), std::vector<std::string>{"PRA\r"});
}

// --- sim:// ---------------------------------------------------------------------------------

// A control whose COM 1 is `device` (a "sim://" URL).
struct SimRig {
    explicit SimRig(const std::string& device) {
        PortMap::instance().map(1, device);
        ctrl = VantrelCtrl::createNew();
        ctrl->connect(&log);
        ctrl->Bauds(9600);
        ctrl->Port(1);
    }
    ~SimRig() {
        ctrl.reset();
        PortMap::instance().clear();
    }
    std::unique_ptr<VantrelCtrl> ctrl;
    EventLog log;
};

TEST(ControlOverSim, CommandsAndConversionsAsOverALine) {
    const struct {
        const char* device;
        const char* command;  // a command line, or "ADCn:channel"
        bool ok;
        double value;     // the reading or reply value when ok
        int16_t errorNr;  // the board's error number when not
    } rows[] = {
        {"sim://", "PRA", true, 1, 0},
        {"sim://", "XYZ", false, 0, 10},
        {"SIM://", "PWS48", true, 48, 0},
        {"sim://", "ADC10:13", true, 1023, 0},  // full scale
        {"sim://", "ADC12:11", true, 2048, 0},  // half scale
        {"sim://?bits8", "ADC8:11", true, 128, 0},
        {"sim://?echo", "PRA", true, 1, 0},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(std::string(row.device) + " " + row.command);
        SimRig rig(row.device);
        ASSERT_TRUE(rig.ctrl->OpenPort()) << rig.ctrl->ErrorString();
        const std::string command = row.command;
        bool ok = false;
        if (command.rfind("ADC", 0) == 0) {
            int16_t channel =
                static_cast<int16_t>(std::stoi(command.substr(command.find(':') + 1)));
            const int bits = std::stoi(command.substr(3));
            ok = bits == 8    ? rig.ctrl->ADC8(channel)
                 : bits == 10 ? rig.ctrl->ADC10(channel)
                              : rig.ctrl->ADC12(channel);
        } else {
            std::string text = command;
            ok = rig.ctrl->Command(text);
        }
        EXPECT_EQ(ok, row.ok) << rig.ctrl->ErrorString();
        if (row.ok) {
            EXPECT_EQ(rig.ctrl->Value(), row.value);
        } else {
            EXPECT_EQ(rig.ctrl->ErrorNr(), row.errorNr);
        }
    }
}

TEST(ControlOverSim, OpensClosesAndReopensANewBoard) {
    SimRig rig("sim://");
    ASSERT_TRUE(rig.ctrl->OpenPort());
    EXPECT_TRUE(rig.ctrl->comm().PortOpen());
    std::string select = "PWS48";
    EXPECT_TRUE(rig.ctrl->Command(select));
    EXPECT_TRUE(rig.ctrl->ClosePort());
    EXPECT_FALSE(rig.ctrl->comm().PortOpen());
    EXPECT_THROW(rig.ctrl->comm().Output("PRA\r"), Error);
    ASSERT_TRUE(rig.ctrl->OpenPort());
    std::string probe = "PRA";
    EXPECT_TRUE(rig.ctrl->Command(probe));
    EXPECT_EQ(rig.ctrl->ReturnedStr(), "OK 1\r\n>");
}

TEST(ControlOverSim, AnUnknownOptionFailsTheOpenNamingIt) {
    SimRig rig("sim://?bits9");
    EXPECT_FALSE(rig.ctrl->OpenPort());
    EXPECT_EQ(rig.ctrl->comm().lastOpenError(),
              "sim://?bits9: unknown option \"bits9\" (known: bits8, echo, input=..., "
              "log=PATH)");
}

// A handler that closes the port on a sim:// reply and opens a device of another kind replaces
// the link under the notification: the old link must stop at once.
TEST(ControlOverSim, AHandlerMayReplaceTheLinkInsideANotification) {
    EventLoop& loop = threadLoop();
    sim::PtyBoard board{loop};
    PortMap::instance().map(1, "sim://");
    std::unique_ptr<SerialComm> comm = makeSerialComm(loop);
    std::string received;
    comm->setOnComm([&] {
        if (comm->CommEvent() != comm::Receive) return;
        received += comm->Input();
        if (received.find('>') == std::string::npos || !received.starts_with("OK")) return;
        comm->PortOpen(false);
        PortMap::instance().map(1, board.slavePath());
        comm->PortOpen(true);
        comm->Output("PRA\r");
        received = "on the pty: ";
    });
    comm->PortOpen(true);
    comm->Output("PRA\r");
    EXPECT_TRUE(vantrel::test::pumpUntil(loop, [&] { return received == "on the pty: OK 1\r\n>"; }))
        << received;
    EXPECT_EQ(board.lines(), std::vector<std::string>{"PRA\r"});
    comm.reset();
    PortMap::instance().clear();
}

}  // namespace
