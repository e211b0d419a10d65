// Board with a reconnect policy against simulated boards that go away and come back at the same
// link: the events, the reading made again, the converters' addresses written anew, the wait of a
// call while the board is away, and a device that flaps.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "linked_board.hpp"
#include "sim/sim_thread.hpp"
#include "test_support.hpp"
#include "vantrel/board.hpp"

using namespace std::chrono_literals;
using vantrel::Board;
using vantrel::ReconnectPolicy;
using vantrel::sim::SimThread;
namespace fs = std::filesystem;

namespace {

class BoardReconnect : public vantrel::testing::LinkedBoardTest {};

ReconnectPolicy on(std::chrono::milliseconds limit = 10s) {
    ReconnectPolicy p;
    p.enabled = true;
    p.callLimit = limit;
    return p;
}

// The board goes away during a run and comes back while the next reading waits: the reading is
// made on the new board, each event comes once, and the converter writes its address again
// (the new board's register was left on another channel; the old control would have skipped
// the write and read the wrong channel).
TEST_F(BoardReconnect, ReadingWaitsForTheBoardAndWritesItsAddressAgain) {
    struct Case {
        const char* name;
        int channel;
        int registerLeftAt;  // the channel the new board's address register holds
    };
    for (const Case& c :
         {Case{"channel 5, register at 0", 5, 0}, Case{"channel 0, register at 3", 0, 3}}) {
        SCOPED_TRACE(c.name);
        bringUp();
        sim_->call([&](auto& b) { b.engine().setReading(10, c.channel, 100.0); });
        Board board(link_, 9600, on());
        std::vector<std::string> reasons;
        std::vector<double> returns;
        board.onDisconnected([&](const std::string& why) {
            reasons.push_back(why);
            // The new board: other readings, and the register left where a board that stayed
            // powered would have it.
            bringUp();
            sim_->call([&](auto& b) {
                b.engine().setReading(10, c.channel, 700.0);
                b.engine().setReading(10, c.registerLeftAt, 300.0);
                (void)b.engine().receive("PWS" + std::to_string(c.registerLeftAt * 16) + "\r");
            });
        });
        board.onReconnected([&](double after) { returns.push_back(after); });
        EXPECT_EQ(board.read(10, c.channel), 100.0);
        takeAway();
        EXPECT_EQ(board.read(10, c.channel), 700.0);
        EXPECT_EQ(board.read(10, c.channel), 700.0);
        ASSERT_EQ(reasons.size(), 1U);
        EXPECT_FALSE(reasons[0].empty());
        ASSERT_EQ(returns.size(), 1U);
        EXPECT_GT(returns[0], 0.0);
        EXPECT_FALSE(board.away());
    }
}

// A call made while the board is away waits no longer than its limit and throws Timeout; it
// returns no value. Without a policy the departure is an error at once, as before.
TEST_F(BoardReconnect, CallWhileAwayEndsWithTimeoutAtItsLimit) {
    Board board(link_, 9600, on(300ms));
    int disconnections = 0;
    board.onDisconnected([&](const std::string&) { ++disconnections; });
    (void)board.read(10, 1);
    takeAway();
    const auto start = std::chrono::steady_clock::now();
    EXPECT_THROW((void)board.read(10, 1), vantrel::Timeout);
    const auto waited = std::chrono::steady_clock::now() - start;
    EXPECT_GE(waited, 300ms);
    EXPECT_LT(waited, 10s);
    EXPECT_TRUE(board.away());
    EXPECT_THROW((void)board.readMany(10, 1, 2), vantrel::Timeout);
    EXPECT_EQ(disconnections, 1);
    // pump() brings it back when it returns, without a call.
    bringUp();
    int returns = 0;
    board.onReconnected([&](double) { ++returns; });
    for (int i = 0; i < 50 && board.away(); ++i) board.pump(100ms);
    EXPECT_FALSE(board.away());
    EXPECT_EQ(returns, 1);
    EXPECT_EQ(board.read(10, 11), sim_->call([](auto& b) { return b.engine().reading(10, 11); }));

    bringUp();
    Board plain(link_, 9600);
    takeAway();
    const vantrel::Error e = vantrel::testing::errorOf([&] { (void)plain.read(10, 1); });
    EXPECT_NE(e.number(), 0);
    EXPECT_FALSE(plain.away());
}

// A board that goes and comes back every 100 ms: the waiting board keeps its CPU time small
// (no spinning) and ends each call that finds it away within the limit.
TEST_F(BoardReconnect, FlappingBoardCostsLittle) {
    Board board(link_, 9600, on(300ms));
    int disconnections = 0, returns = 0;
    board.onDisconnected([&](const std::string&) { ++disconnections; });
    board.onReconnected([&](double) { ++returns; });
    rusage before{};
    ::getrusage(RUSAGE_THREAD, &before);
    int readings = 0;
    for (int i = 0; i < 10; ++i) {
        if (i % 2 == 0)
            takeAway();
        else
            bringUp();
        board.pump(100ms);
        try {
            (void)board.read(10, 1);
            ++readings;
        } catch (const vantrel::Timeout&) {
            // Away at the limit: allowed, but never a value that was not read.
        }
    }
    rusage after{};
    ::getrusage(RUSAGE_THREAD, &after);
    const auto cpu = [](const rusage& r) {
        return r.ru_utime.tv_sec + r.ru_stime.tv_sec +
               (r.ru_utime.tv_usec + r.ru_stime.tv_usec) / 1e6;
    };
    EXPECT_LT(cpu(after) - cpu(before), 1.0);
    EXPECT_GE(readings, 4);
    EXPECT_GE(disconnections, 4);
    EXPECT_LE(returns, disconnections);
}

// A board killed without clean-up leaves its link behind, and what the link leads to is handed
// to another board: that one is never taken for the board that went away, the call says why
// when it gives up, and a link made again is taken.
TEST_F(BoardReconnect, AStaleLinkToAnotherBoardIsNotTaken) {
    const std::string target = dir_.file("target");
    std::error_code ec;
    fs::remove(link_, ec);
    fs::create_symlink(sim_->device(), target);
    fs::create_symlink(target, link_);
    sim_->call([](auto& b) { b.engine().setReading(10, 2, 100.0); });
    Board board(link_, 9600, on(600ms));
    EXPECT_EQ(board.read(10, 2), 100.0);

    // Killed: the link stays. Another board gets what it led to.
    sim_.reset();
    SimThread other;
    other.call([](auto& b) { b.engine().setReading(10, 2, 900.0); });
    fs::remove(target);
    fs::create_symlink(other.device(), target);
    try {
        (void)board.read(10, 2);
        ADD_FAILURE() << "the other board's reading was taken";
    } catch (const vantrel::Timeout& e) {
        EXPECT_NE(std::string(e.what()).find("left behind"), std::string::npos) << e.what();
    }
    EXPECT_TRUE(board.away());

    // The board comes back and makes its link again.
    fs::remove(link_);
    fs::create_symlink(target, link_);
    EXPECT_EQ(board.read(10, 2), 900.0);
    EXPECT_FALSE(board.away());
}

// A USB adapter is known by its vendor, product and serial number: another one under the same
// name is refused, the same one taken back.
TEST(DeviceIdentity, AnotherAdapterUnderTheSameNameIsRefused) {
    vantrel::testing::TempDir dir;
    const fs::path sys = dir.file("sys");
    const fs::path usb = sys / "devices" / "usb1" / "1-1";
    fs::create_directories(usb / "1-1:1.0" / "ttyUSB0");
    fs::create_directories(sys / "class" / "tty" / "ttyUSB0");
    fs::create_directory_symlink(usb / "1-1:1.0" / "ttyUSB0",
                                 sys / "class" / "tty" / "ttyUSB0" / "device");
    const auto write = [](const fs::path& file, const std::string& text) {
        std::ofstream(file) << text << "\n";
    };
    write(usb / "idVendor", "0403");
    write(usb / "idProduct", "6001");
    write(usb / "serial", "A1");
    const std::string tty = dir.file("ttyUSB0");
    write(tty, "");

    const vantrel::DeviceIdentity first = vantrel::deviceIdentity(tty, sys.string());
    EXPECT_EQ(first.usb, "0403:6001 A1");
    EXPECT_TRUE(first.link.empty());
    EXPECT_EQ(vantrel::notTheDeviceThatWentAway(tty, first, first), "");
    write(usb / "serial", "B7");
    const vantrel::DeviceIdentity second = vantrel::deviceIdentity(tty, sys.string());
    const std::string why = vantrel::notTheDeviceThatWentAway(tty, first, second);
    EXPECT_NE(why.find("another adapter (0403:6001 B7, not 0403:6001 A1)"), std::string::npos)
        << why;
    // Nothing known about the device (not on USB, not a link): it may come back.
    EXPECT_EQ(vantrel::notTheDeviceThatWentAway(tty, {}, {}), "");
}

// An adapter opened by its ttyUSB name is waited for under its by-id link: another adapter that
// takes the same ttyUSB name is not taken; the adapter's own link coming back is. Stand-ins for
// the device nodes are plain files (nothing is opened here).
TEST(DeviceWaiter, WaitsOnTheByIdLinkNotTheTtyName) {
    const fs::path dir =
        fs::temp_directory_path() / ("vantrel-by-id-" + std::to_string(::getpid()));
    fs::create_directories(dir / "by-id");
    const std::string tty = (dir / "ttyUSB0").string();
    const fs::path byId = dir / "by-id" / "usb-Maker_Adapter_A1-if00-port0";
    std::ofstream(tty).put('x');
    fs::create_symlink(tty, byId);
    EXPECT_EQ(vantrel::stableDeviceName(tty, (dir / "by-id").string()), byId.string());
    EXPECT_EQ(vantrel::stableDeviceName((dir / "none").string(), (dir / "by-id").string()),
              (dir / "none").string());

    vantrel::ReconnectPolicy policy;
    policy.enabled = true;
    vantrel::DeviceWaiter waiter(vantrel::threadLoop(), byId.string(), policy);
    // Unplugged: node and link go. Another adapter comes as ttyUSB0, without this one's link.
    fs::remove(byId);
    fs::remove(tty);
    std::ofstream(tty).put('y');
    EXPECT_FALSE(waiter.wait(std::chrono::steady_clock::now() + 200ms));
    // This adapter comes back (as ttyUSB1): its link leads there.
    const std::string tty1 = (dir / "ttyUSB1").string();
    std::ofstream(tty1).put('z');
    fs::create_symlink(tty1, byId);
    EXPECT_TRUE(waiter.wait(std::chrono::steady_clock::now() + 5s));
    EXPECT_EQ(waiter.device(), byId.string());
    fs::remove_all(dir);
}

}  // namespace
