#include <poll.h>
#include <sys/epoll.h>
#include <termios.h>

#include <algorithm>
#include <array>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "pty_pair.hpp"
#include "pump_until.hpp"
#include "test_support.hpp"
#include "transport/net_serial.hpp"
#include "vantrel/error.hpp"
#include "vantrel/platform.hpp"

namespace vantrel {
namespace {

using namespace std::chrono_literals;
using vantrel::testing::errorOf;

constexpr int16_t kSerialPort = 42;
constexpr int16_t kOtherPort = 43;

class SerialTest : public ::testing::Test {
  protected:
    void SetUp() override {
        PortMap::instance().map(kSerialPort, pty.slavePath);
        attach(*comm);
        comm->CommPort(kSerialPort);
    }
    void TearDown() override { PortMap::instance().clear(); }

    void attach(SerialComm& c) {
        c.setOnComm([this, &c] {
            events.push_back(c.CommEvent());
            if (takeInput) received += c.Input();
        });
        c.setTrace([this](TraceDirection d, std::string_view bytes) {
            (d == TraceDirection::Written ? traceWritten : traceReceived).append(bytes);
        });
    }

    termios slaveTermios() const {
        termios t{};
        EXPECT_EQ(::tcgetattr(pty.slave.get(), &t), 0);
        return t;
    }

    std::unique_ptr<EventLoop> loop = makeEpollLoop();
    test::PtyPair pty;
    std::unique_ptr<SerialComm> comm = makePosixSerial(*loop);
    std::vector<int16_t> events;
    std::string received, traceWritten, traceReceived;
    bool takeInput = true;
};

// --- Port number and settings text ----------------------------------------------------------

// The termios component and the network one read the settings text and the port number
// alike; only the rates differ (termios knows a fixed list, a serial server is sent any).
struct Maker {
    const char* name;
    std::unique_ptr<SerialComm> (*make)(EventLoop&);
    bool anyRate;
};
const Maker kMakers[] = {
    {"termios", [](EventLoop& l) { return makePosixSerial(l); }, false},
    {"network", [](EventLoop& l) { return makeNetSerial(l, defaultInBufferSize); }, true},
};

TEST(SerialSettings, AcceptsRateParityDataStopAndNormalisesTheText) {
    auto loop = makeEpollLoop();
    for (const Maker& maker : kMakers) {
        SCOPED_TRACE(maker.name);
        auto comm = maker.make(*loop);
        EXPECT_EQ(comm->Settings(), "9600,N,8,1");
        const struct {
            const char* in;
            const char* out;
        } cases[] = {
            {"300,N,8,1", "300,N,8,1"},       {"115200,n,8,1", "115200,N,8,1"},
            {"19200,E,7,2", "19200,E,7,2"},   {"57600,o,5,1", "57600,O,5,1"},
            {"50,e,6,2", "50,E,6,2"},         {"4000000,N,8,2", "4000000,N,8,2"},
            {"230400,O,8,1", "230400,O,8,1"}, {"9600,N,8,1", "9600,N,8,1"},
        };
        for (const auto& c : cases) {
            comm->Settings(c.in);
            EXPECT_EQ(comm->Settings(), c.out) << c.in;
        }
    }
}

TEST(SerialSettings, MalformedTextIsAnInvalidPropertyValueAndChangesNothing) {
    auto loop = makeEpollLoop();
    for (const Maker& maker : kMakers) {
        SCOPED_TRACE(maker.name);
        auto comm = maker.make(*loop);
        comm->Settings("2400,E,7,2");
        for (const char* bad : {"",
                                "9600",
                                "9600,N,8",
                                "9600,N,8,1,1",
                                "0,N,8,1",
                                "-9600,N,8,1",
                                " 9600,N,8,1",
                                "9600,N,8,1 ",
                                "9600,X,8,1",
                                "9600,NN,8,1",
                                "9600,,8,1",
                                "9600,M,8,1",
                                "9600,N,9,1",
                                "9600,N,4,1",
                                "9600,N,8,0",
                                "9600,N,8,3",
                                "9600,N,8,1.5",
                                ",N,8,1",
                                "9600;N;8;1",
                                "99999999999999999999,N,8,1",
                                "4294967296,N,8,1"}) {
            const Error e = errorOf([&] { comm->Settings(bad); });
            EXPECT_EQ(e.number(), err::InvalidPropertyValue) << '"' << bad << '"';
            EXPECT_STREQ(e.what(), "Invalid property value");
            EXPECT_EQ(comm->Settings(), "2400,E,7,2");
        }
        // Rates termios has no speed for.
        for (const char* odd : {"9601,N,8,1", "14400,N,8,1", "4294967295,N,8,1"}) {
            if (maker.anyRate) {
                comm->Settings(odd);
                EXPECT_EQ(comm->Settings(), odd);
            } else {
                EXPECT_EQ(errorOf([&] { comm->Settings(odd); }).number(), err::InvalidPropertyValue)
                    << odd;
                EXPECT_EQ(comm->Settings(), "2400,E,7,2");
            }
        }
    }
}

TEST(SerialPortNumber, AcceptsOneTo255) {
    auto loop = makeEpollLoop();
    for (const Maker& maker : kMakers) {
        SCOPED_TRACE(maker.name);
        auto comm = maker.make(*loop);
        EXPECT_EQ(comm->CommPort(), 1);
        comm->CommPort(255);
        EXPECT_EQ(comm->CommPort(), 255);
        for (int16_t bad : {0, 256, -1}) {
            EXPECT_EQ(errorOf([&] { comm->CommPort(bad); }).number(), err::InvalidPortNumber)
                << bad;
            EXPECT_EQ(comm->CommPort(), 255);
        }
    }
}

TEST(PortMapTest, DefaultsToTtySAndTakesMappings) {
    // No ports file, and a kernel command line without console=.
    SystemPaths machine;
    machine.cmdline = "/nonexistent/cmdline";
    PortMap map("", machine);
    EXPECT_EQ(map.devicePath(1), "/dev/ttyS0");
    EXPECT_EQ(map.devicePath(8), "/dev/ttyS7");
    map.map(8, "/dev/ttyUSB0");
    map.map(200, "/dev/pts/9");
    EXPECT_EQ(map.devicePath(8), "/dev/ttyUSB0");
    EXPECT_EQ(map.mappings(),
              (std::map<int, std::string>{{8, "/dev/ttyUSB0"}, {200, "/dev/pts/9"}}));
    map.unmap(8);
    EXPECT_EQ(map.devicePath(8), "/dev/ttyS7");
    EXPECT_EQ(errorOf([&] { map.map(0, "/dev/x"); }).number(), err::InvalidPortNumber);
    EXPECT_EQ(errorOf([&] { map.map(256, "/dev/x"); }).number(), err::InvalidPortNumber);
    map.clear();
    EXPECT_TRUE(map.mappings().empty());
}

// --- Open and close -------------------------------------------------------------------------

TEST_F(SerialTest, OpenPutsTheLineInRawModeWithTheSettings) {
    const termios before = slaveTermios();
    comm->PortOpen(true);
    EXPECT_TRUE(comm->PortOpen());

    termios t = slaveTermios();
    EXPECT_EQ(::cfgetospeed(&t), speed_t{B9600});
    EXPECT_EQ(::cfgetispeed(&t), speed_t{B9600});
    EXPECT_EQ(t.c_cflag & CSIZE, tcflag_t{CS8});
    EXPECT_EQ(t.c_cflag & (PARENB | CSTOPB | CRTSCTS), 0u);
    EXPECT_EQ(t.c_cflag & (CLOCAL | CREAD), tcflag_t{CLOCAL | CREAD});
    EXPECT_EQ(t.c_lflag & (ICANON | ECHO | ISIG | IEXTEN), 0u);
    EXPECT_EQ(t.c_iflag & (ICRNL | INLCR | IGNCR | ISTRIP | IXON | IXOFF), 0u);
    EXPECT_EQ(t.c_oflag & OPOST, 0u);

    comm->Settings("19200,N,8,2");  // applied at once while open
    t = slaveTermios();
    EXPECT_EQ(::cfgetospeed(&t), speed_t{B19200});
    EXPECT_EQ(t.c_cflag & (CSIZE | PARENB | PARODD | CSTOPB), tcflag_t{CS8 | CSTOPB});

    comm->PortOpen(false);
    EXPECT_FALSE(comm->PortOpen());
    t = slaveTermios();
    EXPECT_EQ(t.c_lflag, before.c_lflag);
    EXPECT_EQ(t.c_iflag, before.c_iflag);
    EXPECT_EQ(t.c_cflag, before.c_cflag);
    EXPECT_EQ(t.c_oflag, before.c_oflag);
}

TEST_F(SerialTest, SettingsGivenWhileClosedApplyAtTheNextOpen) {
    comm->Settings("115200,N,8,2");
    comm->PortOpen(true);
    const termios t = slaveTermios();
    EXPECT_EQ(::cfgetospeed(&t), speed_t{B115200});
    EXPECT_EQ(t.c_cflag & (CSIZE | PARENB | PARODD | CSTOPB), tcflag_t{CS8 | CSTOPB});
}

// A pty always keeps 8 data bits and no parity: a line format it silently ignores must not
// be reported as set.
TEST_F(SerialTest, SettingsTheDeviceRefusesFailAndLeaveTheLineAsItWas) {
    comm->Settings("2400,N,8,1");
    comm->PortOpen(true);
    Error e = errorOf([&] { comm->Settings("19200,E,7,1"); });
    EXPECT_EQ(e.number(), err::SettingsFailed);
    EXPECT_EQ(std::string(e.what()),
              "tcsetattr " + pty.slavePath + ": the device refused 19200,E,7,1");
    EXPECT_EQ(comm->Settings(), "2400,N,8,1");
    termios t = slaveTermios();
    EXPECT_EQ(::cfgetospeed(&t), speed_t{B2400});

    const termios closed = (comm->PortOpen(false), slaveTermios());
    comm->Settings("9600,O,8,1");  // closed: taken, tried at the next open
    e = errorOf([&] { comm->PortOpen(true); });
    EXPECT_EQ(e.number(), err::PortOpenFailed);
    EXPECT_EQ(std::string(e.what()),
              "tcsetattr " + pty.slavePath + ": the device refused 9600,O,8,1");
    EXPECT_FALSE(comm->PortOpen());
    t = slaveTermios();
    EXPECT_EQ(t.c_lflag, closed.c_lflag);
    EXPECT_EQ(::cfgetospeed(&t), ::cfgetospeed(&closed));

    comm->Settings("9600,N,8,1");
    comm->PortOpen(true);  // the failed open left no lock behind
    EXPECT_TRUE(comm->PortOpen());
}

TEST_F(SerialTest, PortChangeWhileOpenTakesEffectAtTheNextOpen) {
    test::PtyPair other;
    PortMap::instance().map(kOtherPort, other.slavePath);
    comm->PortOpen(true);
    comm->CommPort(kOtherPort);
    comm->Output("A");
    comm->PortOpen(false);
    comm->PortOpen(true);
    comm->Output("B");
    ASSERT_EQ(::poll(std::array{pollfd{pty.master.get(), POLLIN, 0}}.data(), 1, 1000), 1);
    ASSERT_EQ(::poll(std::array{pollfd{other.master.get(), POLLIN, 0}}.data(), 1, 1000), 1);
    EXPECT_EQ(pty.drain(), "A");
    EXPECT_EQ(other.drain(), "B");
}

TEST_F(SerialTest, SecondOpenerOfTheSameDeviceFailsEvenForRoot) {
    comm->PortOpen(true);
    auto second = makePosixSerial(*loop);
    second->CommPort(kSerialPort);
    const Error e = errorOf([&] { second->PortOpen(true); });
    EXPECT_EQ(e.number(), err::PortOpenFailed);
    EXPECT_EQ(std::string(e.what()), "open " + pty.slavePath + ": Device or resource busy");
    EXPECT_FALSE(second->PortOpen());

    comm->PortOpen(false);
    second->PortOpen(true);
    EXPECT_TRUE(second->PortOpen());
}

TEST_F(SerialTest, OpenFailureNamesTheDeviceAndTheReason) {
    PortMap::instance().map(kOtherPort, "/nonexistent/ttyVT0");
    comm->CommPort(kOtherPort);
    Error e = errorOf([&] { comm->PortOpen(true); });
    EXPECT_EQ(e.number(), err::PortOpenFailed);
    EXPECT_STREQ(e.what(), "open /nonexistent/ttyVT0: No such file or directory");
    EXPECT_FALSE(comm->PortOpen());

    PortMap::instance().map(kOtherPort, "/dev/null");
    e = errorOf([&] { comm->PortOpen(true); });
    EXPECT_EQ(e.number(), err::PortOpenFailed);
    EXPECT_STREQ(e.what(), "/dev/null is not a terminal");
    EXPECT_FALSE(comm->PortOpen());

    // A Windows port name given as a device: what it means here.
    PortMap::instance().map(kOtherPort, "COM3");
    e = errorOf([&] { comm->PortOpen(true); });
    EXPECT_STREQ(e.what(),
                 "open COM3: No such file or directory; COM3 is a Windows port name: here it is "
                 "COM number 3 (the port map makes it a device, by default /dev/ttyS2), or give "
                 "the device path itself, such as /dev/ttyUSB0");
    EXPECT_FALSE(comm->PortOpen());
}

TEST_F(SerialTest, OpenTwiceFailsAndCloseTwiceDoesNothing) {
    comm->PortOpen(true);
    const Error e = errorOf([&] { comm->PortOpen(true); });
    EXPECT_EQ(e.number(), err::PortAlreadyOpen);
    EXPECT_TRUE(comm->PortOpen());
    comm->PortOpen(false);
    EXPECT_NO_THROW(comm->PortOpen(false));
    EXPECT_FALSE(comm->PortOpen());
}

// --- Output ---------------------------------------------------------------------------------

TEST_F(SerialTest, OutputOnAClosedPortFails) {
    EXPECT_EQ(errorOf([&] { comm->Output("PRA\r"); }).number(), err::PortNotOpen);
}

TEST_F(SerialTest, OutputQueuesWhatTheDeviceCannotTakeAndKeepsTheOrder) {
    std::string big(1 << 20, '\0');
    for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>(i % 251);
    comm->PortOpen(true);

    comm->Output(big);  // the pty holds far less than this: the rest must wait in the queue
    comm->Output("END");
    EXPECT_LT(traceWritten.size(), big.size());

    std::string got;
    auto reader = loop->watch(pty.master.get(), EPOLLIN, [&](uint32_t) { got += pty.drain(); });
    ASSERT_TRUE(test::pumpUntil(
        *loop, [&] { return got.size() >= big.size() + 3; }, 100000));
    EXPECT_TRUE(got == big + "END");
    EXPECT_TRUE(traceWritten == big + "END");
    EXPECT_TRUE(comm->PortOpen());
}

// --- Receive --------------------------------------------------------------------------------

TEST_F(SerialTest, ReceivedBytesAreNotifiedAsCode2AndHandedOverByInput) {
    comm->PortOpen(true);
    const std::string reply("OK 4711\r\n>\xE9", 11);
    pty.send(reply);
    ASSERT_TRUE(test::pumpUntil(*loop, [&] { return received.size() >= reply.size(); }));
    EXPECT_EQ(received, reply);
    EXPECT_EQ(traceReceived, reply);
    ASSERT_FALSE(events.empty());
    EXPECT_TRUE(std::all_of(events.begin(), events.end(), [](int16_t c) { return c == 2; }));
    EXPECT_EQ(comm->CommEvent(), comm::Receive);
    EXPECT_EQ(comm->Input(), "");
}

TEST_F(SerialTest, OverflowKeepsTheNewestBytesAndNotifiesRxOverFirst) {
    auto small = makePosixSerial(*loop, 16);
    attach(*small);
    small->CommPort(kSerialPort);
    small->PortOpen(true);
    takeInput = false;

    const std::string data = "0123456789abcdefghijklmnopqrstuvwxyzABCD";
    pty.send(data);
    ASSERT_TRUE(test::pumpUntil(*loop, [&] { return traceReceived.size() >= data.size(); }));
    EXPECT_EQ(small->Input(), data.substr(data.size() - 16));

    // Bytes may come in several reads, but every overflow is notified right before a Receive.
    ASSERT_FALSE(events.empty());
    EXPECT_EQ(events.back(), comm::Receive);
    EXPECT_GE(std::count(events.begin(), events.end(), comm::RxOver), 1);
    for (size_t i = 0; i + 1 < events.size(); ++i) {
        if (events[i] == comm::RxOver) {
            EXPECT_EQ(events[i + 1], comm::Receive) << i;
        }
    }

    events.clear();
    pty.send("wxyz");
    ASSERT_TRUE(test::pumpUntil(*loop, [&] { return traceReceived.size() >= data.size() + 4; }));
    EXPECT_EQ(small->Input(), "wxyz");
    EXPECT_EQ(std::count(events.begin(), events.end(), comm::RxOver), 0);
}

TEST_F(SerialTest, OverflowByManySmallArrivalsKeepsTheNewestBytes) {
    auto small = makePosixSerial(*loop, 16);
    attach(*small);
    small->CommPort(kSerialPort);
    small->PortOpen(true);
    takeInput = false;

    std::string sent;
    for (char c = 'a'; c < 'a' + 7; ++c) {
        const std::string piece(10, c);
        pty.send(piece);
        sent += piece;
        ASSERT_TRUE(test::pumpUntil(*loop, [&] { return traceReceived.size() >= sent.size(); }));
    }
    EXPECT_EQ(small->Input(), sent.substr(sent.size() - 16));
    EXPECT_GE(std::count(events.begin(), events.end(), comm::RxOver), 5);
}

TEST_F(SerialTest, DeliverPendingHandsOverWhatTheDeviceHoldsWithoutThePump) {
    comm->deliverPending();  // closed: nothing happens
    comm->PortOpen(true);
    comm->deliverPending();  // nothing there
    EXPECT_TRUE(events.empty());

    pty.send(">");
    pollfd p{pty.slave.get(), POLLIN, 0};
    ASSERT_EQ(::poll(&p, 1, 1000), 1);  // arrived at the device, not yet read
    comm->deliverPending();
    EXPECT_EQ(events, std::vector<int16_t>{comm::Receive});
    EXPECT_EQ(received, ">");
}

// The device goes away, noticed by the loop or by the next write: the port stays open until the
// owner closes it, nothing spins on the dead descriptor, writes fail naming the device, and a
// close and open reach the device that took its place.
TEST_F(SerialTest, HangUpStopsWatchingAndKeepsThePortUntilClosed) {
    for (const bool noticedByWrite : {false, true}) {
        SCOPED_TRACE(noticedByWrite ? "noticed by a write" : "noticed by the loop");
        auto dead = std::make_unique<test::PtyPair>();
        PortMap::instance().map(kSerialPort, dead->slavePath);
        comm->PortOpen(true);
        dead->send("last");
        ASSERT_TRUE(test::pumpUntil(*loop, [&] { return received == "last"; }));
        dead->master.reset();
        if (noticedByWrite) {
            const Error e = errorOf([&] { comm->Output("x"); });
            EXPECT_EQ(e.number(), err::PortIo);
            EXPECT_EQ(std::string(e.what()), "write " + dead->slavePath + ": Input/output error");
        } else {
            int passes = 0;
            ASSERT_TRUE(test::pumpUntil(
                *loop, [&] { return ++passes, comm->HungUp(); }, 5));
        }
        EXPECT_TRUE(comm->HungUp());
        EXPECT_TRUE(comm->PortOpen());
        EXPECT_FALSE(loop->pumpOnce(20ms));  // the dead device is no longer watched
        const Error e = errorOf([&] { comm->Output("x"); });
        EXPECT_EQ(e.number(), err::PortIo);
        EXPECT_EQ(std::string(e.what()), "write " + dead->slavePath + ": the device has gone away");
        comm->deliverPending();
        comm->PortOpen(false);
        EXPECT_FALSE(comm->PortOpen());
        EXPECT_FALSE(comm->HungUp());

        PortMap::instance().map(kSerialPort, pty.slavePath);
        comm->PortOpen(true);
        comm->Output("back");
        pty.send("ok");
        ASSERT_TRUE(test::pumpUntil(*loop, [&] { return received == "lastok"; }));
        EXPECT_EQ(pty.drain(), "back");
        comm->PortOpen(false);
        received.clear();
        pty.drain();
    }
}

TEST_F(SerialTest, HandlerMayCloseThePort) {
    comm->setOnComm([&] {
        events.push_back(comm->CommEvent());
        received += comm->Input();
        comm->PortOpen(false);
    });
    comm->PortOpen(true);
    pty.send("abc");
    ASSERT_TRUE(test::pumpUntil(*loop, [&] { return !events.empty(); }));
    EXPECT_FALSE(comm->PortOpen());
    EXPECT_FALSE(received.empty());
    EXPECT_EQ(std::string("abc").rfind(received, 0), 0u) << received;
    pty.send("more");
    EXPECT_FALSE(loop->pumpOnce(20ms));
    EXPECT_EQ(events.size(), 1u);
}

TEST_F(SerialTest, HandlerMayDestroyTheComponent) {
    comm->setOnComm([&] {
        events.push_back(comm->CommEvent());
        comm.reset();
    });
    comm->PortOpen(true);
    pty.send("abc");
    ASSERT_TRUE(test::pumpUntil(*loop, [&] { return !events.empty(); }));
    EXPECT_EQ(comm, nullptr);
    EXPECT_FALSE(loop->pumpOnce(20ms));
}

}  // namespace
}  // namespace vantrel
