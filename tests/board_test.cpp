// Board against simulated boards on pseudo-terminals served by the test's own thread loop.
#include "vantrel/board.hpp"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>

#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "fd.hpp"
#include "sim/board_engine.hpp"
#include "sim/pty_board.hpp"
#include "sim/sim_thread.hpp"
#include "vantrel/ctrl.hpp"

using namespace vantrel;

namespace {

constexpr int32_t kBaud = 9600;  // a reply timeout of 260 ms leaves room for a loaded machine

struct Rig {
    Rig() {
        // No COM number a test reaches may name a real device.
        for (int n = 1; n <= 8; ++n)
            PortMap::instance().map(n, "/nonexistent/com" + std::to_string(n));
    }
    ~Rig() { PortMap::instance().clear(); }
    sim::PtyBoard sim{threadLoop()};
};

template <typename Ex, typename Fn>
Ex thrown(Fn fn) {
    try {
        fn();
    } catch (const Ex& e) {
        return e;
    }
    throw std::runtime_error("expected exception not thrown");
}

TEST(Board, ReadingsAreUnroundedAndTheChannelIsKept) {
    Rig rig;
    rig.sim.engine().setReading(10, 3, 805.015625);
    rig.sim.engine().setReading(12, 3, 196.0625);
    rig.sim.engine().setReading(10, 4, 12.5);
    rig.sim.engine().setReading(12, 9, 3333);
    Board board(rig.sim.slavePath(), kBaud);
    const struct {
        int bits, channel;
        double want;
    } rows[] = {{10, 3, 805.015625},
                {10, 3, 805.015625},
                {12, 3, 196.0625},
                {10, 4, 12.5},
                {10, 3, 805.015625},
                // The board has one address register: widths that take turns each select
                // their own channel.
                {10, 4, 12.5},
                {12, 9, 3333},
                {10, 4, 12.5},
                {12, 3, 196.0625},
                {12, 9, 3333}};
    for (const auto& row : rows) EXPECT_EQ(board.read(row.bits, row.channel), row.want);
    EXPECT_EQ(board.readMany(10, 4, 3), (std::vector<double>{12.5, 12.5, 12.5}));
}

TEST(Board, BadArgumentsAreRefusedBeforeAnythingIsSent) {
    Rig rig;
    Board board(rig.sim.slavePath(), kBaud);
    for (auto [bits, channel] : {std::pair{8, 12}, {10, 14}, {12, -1}, {9, 0}})
        EXPECT_THROW(board.read(bits, channel), std::invalid_argument) << bits << "/" << channel;
    EXPECT_THROW(board.readMany(10, 0, -1), std::invalid_argument);
    EXPECT_THROW(board.selfTest(11), std::invalid_argument);
    EXPECT_TRUE(rig.sim.lines().empty());
}

TEST(Board, CommandRepliesAreRecords) {
    Rig rig;
    Board board(rig.sim.slavePath(), kBaud);
    Reply ok = board.command("PRA");
    EXPECT_TRUE(ok.ok);
    EXPECT_EQ(ok.errorNr, 0);
    EXPECT_TRUE(ok.value.has_value());
    EXPECT_EQ(ok.raw.substr(0, 2), "OK");

    rig.sim.engine().scriptReply("OK 805.25\r\n>");
    Reply fraction = board.command("PRS");
    EXPECT_EQ(fraction.value, 805.25);
    EXPECT_EQ(fraction.tail, " 805.25>");

    Reply refused = board.command("XYZ");
    EXPECT_FALSE(refused.ok);
    EXPECT_EQ(refused.errorNr, 10);
    EXPECT_EQ(refused.text, "Illegal command");
    EXPECT_EQ(refused.tail, "A");
    EXPECT_FALSE(refused.value);

    rig.sim.engine().scriptReply("DATA 1 2 3 ?\r\n>");
    Reply odd = board.command("PRA");
    EXPECT_FALSE(odd.ok);
    EXPECT_EQ(odd.errorNr, 0);
    EXPECT_EQ(odd.tail, "DATA 1 2 3 ?>");

    rig.sim.engine().setSilent(true);
    const Timeout t = thrown<Timeout>([&] { board.command("PRA"); });
    EXPECT_EQ(t.number(), err::Timeout);
    EXPECT_STREQ(t.what(), "Serial port timed out");
}

TEST(Board, FailedConversionsAreExceptionsWithTheBoardsReason) {
    Rig rig;
    Board board(rig.sim.slavePath(), kBaud);
    rig.sim.engine().refuseSetup(1);
    const BoardError e = thrown<BoardError>([&] { board.read(10, 3); });
    EXPECT_EQ(e.number(), err::BoardRefused);
    EXPECT_EQ(e.boardErrorNr(), 4);
    EXPECT_EQ(e.boardText(), "Set-up failed");
    EXPECT_EQ(e.raw(), "?4 Set-up failed\r\n>");
    EXPECT_STREQ(e.what(), "board error 4: Set-up failed");
    EXPECT_EQ(board.read(10, 3), 0.0);  // the set-up is sent again and taken

    rig.sim.engine().setSilent(true);
    EXPECT_THROW(board.read(10, 3), Timeout);
}

TEST(Board, OpenFailuresCarryTheSystemsReason) {
    Rig rig;
    PortMap::instance().map(2, "/dev/null-ish");
    const Error missing = thrown<Error>([] { Board("/nonexistent/vantrel-board", kBaud); });
    EXPECT_EQ(missing.number(), err::PortOpenFailed);
    EXPECT_STREQ(missing.what(), "open /nonexistent/vantrel-board: No such file or directory");
    const Error byPort = thrown<Error>([] { Board(5, kBaud); });
    EXPECT_STREQ(byPort.what(), "open /nonexistent/com5: No such file or directory");
    EXPECT_EQ(thrown<Error>([&] { Board(rig.sim.slavePath(), 1000); }).number(),
              err::InvalidPropertyValue);
    EXPECT_EQ(thrown<Error>([] { Board(9, kBaud); }).number(), err::InvalidPortNumber);

    // Opening by path touches no COM number.
    const std::map<int, std::string> before = PortMap::instance().mappings();
    {
        Board board(rig.sim.slavePath(), kBaud);
        EXPECT_EQ(board.device(), rig.sim.slavePath());
        EXPECT_EQ(PortMap::instance().mappings(), before);
        // The device is held: a second Board on it is refused with the reason.
        EXPECT_EQ(thrown<Error>([&] { Board(rig.sim.slavePath(), kBaud); }).what(),
                  "open " + rig.sim.slavePath() + ": Device or resource busy");
        EXPECT_NO_THROW(board.read(10, 1));
    }
    EXPECT_NO_THROW(Board(rig.sim.slavePath(), kBaud).read(10, 1));  // closed by the destructor
}

// While a Board opens a device by path, no COM number stands for that device: another thread
// opening the COM number would reach the Board's device. The device here is a serial server
// that takes the connection and never answers, so the open is caught waiting.
TEST(Board, OpeningByPathShowsTheDeviceUnderNoComNumber) {
    Rig rig;
    const Fd listener(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    ASSERT_EQ(::bind(listener.get(), reinterpret_cast<sockaddr*>(&a), len), 0);
    ASSERT_EQ(::getsockname(listener.get(), reinterpret_cast<sockaddr*>(&a), &len), 0);
    ASSERT_EQ(::listen(listener.get(), 1), 0);
    const std::string url =
        "rfc2217://127.0.0.1:" + std::to_string(ntohs(a.sin_port)) + "?timeout=0.5";
    const std::map<int, std::string> before = PortMap::instance().mappings();
    std::string failure;
    std::thread opener([&] {
        try {
            Board board(url, kBaud);
        } catch (const Error& e) {
            failure = e.what();
        }
    });
    // The connection waits at the listener while the Board's open waits for an answer.
    pollfd waiting{listener.get(), POLLIN, 0};
    EXPECT_EQ(::poll(&waiting, 1, 5000), 1);
    EXPECT_EQ(PortMap::instance().mappings(), before);
    opener.join();
    EXPECT_NE(failure.find("no answer in time"), std::string::npos) << failure;
}

TEST(Board, SelfTestReportsEachCheck) {
    Rig rig;
    rig.sim.engine().setReading(10, 11, 531);
    Board board(rig.sim.slavePath(), kBaud);
    const std::vector<SelfCheck> checks = board.selfTest(10);
    ASSERT_EQ(checks.size(), 3u);
    EXPECT_EQ(checks[0].scale, SelfCheck::Scale::Zero);
    EXPECT_TRUE(checks[0].passed);
    EXPECT_EQ(checks[0].reading, 0.0);
    EXPECT_EQ(checks[1].channel, 11);
    EXPECT_EQ(checks[1].low, 502);
    EXPECT_EQ(checks[1].high, 522);
    EXPECT_FALSE(checks[1].passed);
    EXPECT_EQ(checks[1].reading, 531.0);
    EXPECT_EQ(checks[1].error, "Returned value: 531");
    EXPECT_TRUE(checks[2].passed);
    EXPECT_EQ(checks[2].reading, 1023.0);

    rig.sim.engine().overrideReply("PRS", "?3 Converter busy\r\n>");
    const std::vector<SelfCheck> refused = board.selfTest(12);
    ASSERT_EQ(refused.size(), 3u);
    EXPECT_FALSE(refused[0].passed);
    EXPECT_FALSE(refused[0].reading);
    EXPECT_EQ(refused[0].error, "Converter busy");
    EXPECT_EQ(board.selfTest().size(), 7u);
}

TEST(Board, ResyncBringsAConverterBackIntoStep) {
    Rig rig;
    Board board(rig.sim.slavePath(), kBaud);
    EXPECT_THROW(board.resync(), std::logic_error);
    EXPECT_EQ(board.read(10, 11), 512.0);
    rig.sim.engine().setOutOfStep(true);
    EXPECT_NE(board.read(10, 11), 512.0);
    EXPECT_TRUE(board.resync());
    EXPECT_EQ(board.read(10, 11), 512.0);
}

// A board's error reply may carry any text, the control's own texts included: it stays a board
// error in every call, never a timeout, a closed port, a reply not understood, a reading outside
// a window or a resynchronisation before any reading.
TEST(Board, ABoardErrorWordedLikeTheControlsOwnTextsStaysABoardError) {
    const std::string texts[] = {"Serial port timed out", "Port is not operational",
                                 "Response to this command is not supported by Function Command()",
                                 "Returned value: 512",
                                 "Cannot resynchronize ADC before reading it first"};
    for (const std::string& text : texts) {
        SCOPED_TRACE(text);
        Rig rig;
        sim::BoardEngine& engine = rig.sim.engine();
        const std::string reply = sim::errorReply('7', text);
        Board board(rig.sim.slavePath(), kBaud);

        engine.scriptReply(reply);
        const Reply r = board.command("PRA");
        EXPECT_FALSE(r.ok);
        EXPECT_EQ(r.errorNr, 7);
        EXPECT_EQ(r.text, text);

        engine.scriptReply(reply);  // the set-up
        EXPECT_EQ(thrown<BoardError>([&] { board.read(10, 3); }).boardText(), text);

        engine.scriptReply(reply);  // the set-up again: it was refused
        const std::vector<SelfCheck> checks = board.selfTest(8);
        ASSERT_EQ(checks.size(), 1u);
        EXPECT_FALSE(checks[0].passed);
        EXPECT_FALSE(checks[0].reading);
        EXPECT_EQ(checks[0].error, text);

        // Each command of the resynchronisation refused: three checks and the two commands
        // between them.
        EXPECT_EQ(board.read(10, 11), 512.0);
        engine.scriptReplies(std::vector<std::string>(5, reply));
        const BoardError resync = thrown<BoardError>([&] { board.resync(); });
        EXPECT_EQ(resync.boardErrorNr(), 7);
        EXPECT_EQ(resync.boardText(), text);
        EXPECT_EQ(engine.scriptedLeft(), 0u);
    }
}

TEST(Board, FindScansTheComPorts) {
    Rig rig;
    EXPECT_FALSE(Board::find(kBaud));
    PortMap::instance().map(3, rig.sim.slavePath());
    std::optional<Board> found = Board::find(kBaud);
    ASSERT_TRUE(found);
    EXPECT_EQ(found->port(), 3);
    EXPECT_EQ(found->device(), rig.sim.slavePath());
    EXPECT_EQ(found->baud(), kBaud);
    EXPECT_NO_THROW(found->read(12, 2));
}

TEST(Board, EventsReachTheHandlers) {
    Rig rig;
    Board board(rig.sim.slavePath(), kBaud);
    std::vector<std::string> seen;
    board.onNewData([&](std::optional<double> v, const std::string& e) {
        seen.push_back("NewData " + (v ? std::to_string(*v) : "-") + " " + e);
    });
    board.onInterruptLow([&] { seen.push_back("Low"); });
    board.onInterruptHigh([&] { seen.push_back("High"); });
    rig.sim.engine().setReading(10, 2, 3.5);
    board.read(10, 2);
    board.command("XYZ");
    rig.sim.sendUnsolicited("L\r\n");
    for (int i = 0; i < 200 && seen.size() < 3; ++i) board.pump(std::chrono::milliseconds(5));
    EXPECT_EQ(seen, (std::vector<std::string>{"NewData 3.500000 ",
                                              "NewData 3.500000 Illegal command", "Low"}));

    board.onNewData(
        [](std::optional<double>, const std::string&) { throw std::runtime_error("handler"); });
    EXPECT_THROW(board.read(10, 2), std::runtime_error);
    board.onNewData(nullptr);
    EXPECT_EQ(board.read(10, 2), 3.5);
}

TEST(Board, BelongsToItsThreadAndCloses) {
    sim::SimThread sim;
    sim.call([](sim::PtyBoard& b) { b.engine().setReading(12, 5, 100.25); });
    Board board(sim.device(), kBaud);
    EXPECT_EQ(board.read(12, 5), 100.25);
    std::optional<Error> offThread;
    std::thread([&] {
        try {
            board.read(12, 5);
        } catch (const Error& e) {
            offThread = e;
        }
    }).join();
    ASSERT_TRUE(offThread);
    EXPECT_EQ(offThread->number(), err::WrongThread);
    board.close();
    EXPECT_EQ(thrown<Error>([&] { board.read(12, 5); }).number(), err::PortNotOpen);
    EXPECT_EQ(sim.call([](sim::PtyBoard& b) { return b.lines().size(); }), 5u);
}

// Nothing keeps the device after its Board is gone: destroyed on another thread, the Board is
// closed by its owner at the owner's next open; one whose thread ended was closed with it.
TEST(Board, ClosedByItsOwnThreadWhereverItGoes) {
    sim::SimThread sim;
    auto board = std::make_unique<Board>(sim.device(), kBaud);
    std::thread([&] { board.reset(); }).join();
    EXPECT_NO_THROW(Board(sim.device(), kBaud).read(10, 11));

    std::optional<Board> orphan;
    std::thread([&] { orphan.emplace(sim.device(), kBaud); }).join();
    EXPECT_NO_THROW(Board(sim.device(), kBaud).read(10, 11));
    EXPECT_EQ(thrown<Error>([&] { orphan->read(10, 11); }).number(), err::WrongThread);
}

}  // namespace
