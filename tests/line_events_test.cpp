#include <pthread.h>
#include <signal.h>
#include <sys/epoll.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "transport/line_events.hpp"
#include "transport/low_latency.hpp"
#include "transport/posix_serial.hpp"
#include "pty_pair.hpp"
#include "pump_until.hpp"
#include "vantrel/platform.hpp"

namespace vantrel {
namespace {

using namespace std::chrono_literals;
using Codes = std::vector<int16_t>;

constexpr int16_t kPort = 44;

// Threads of this process. A thread that an earlier test joined may still be listed for a
// moment, so a count can only be trusted not to grow.
size_t threadCount() {
    const std::filesystem::directory_iterator tasks("/proc/self/task");
    return static_cast<size_t>(std::distance(begin(tasks), end(tasks)));
}

// A device that counts line events, played by the test. The helper thread's wait blocks on a
// pipe until the test wakes it, and is interrupted by signals like the real one.
struct FakeDevice {
    std::mutex mutex;
    std::condition_variable cv;
    LineCounters counters;
    std::optional<int> lines = TIOCM_CTS | TIOCM_DSR;
    bool keepsCounters = true;
    int waits = 0;        // calls of wait()
    int interrupted = 0;  // waits a signal ended
    int swallow = 0;      // this many interruptions are retried, as if they had come too early
    Fd pipeRead, pipeWrite;

    FakeDevice() {
        int fds[2];
        if (::pipe2(fds, O_CLOEXEC) != 0) test::PtyPair::fail("pipe2");
        pipeRead.reset(fds[0]);
        pipeWrite.reset(fds[1]);
    }

    void change(const std::function<void(LineCounters&, std::optional<int>&)>& f) {
        const std::lock_guard<std::mutex> lock(mutex);
        f(counters, lines);
    }
    // Lets one wait of the helper return.
    void wakeHelper() const { ASSERT_EQ(::write(pipeWrite.get(), "x", 1), 1); }

    std::optional<LineCounters> readCounters() {
        const std::lock_guard<std::mutex> lock(mutex);
        if (!keepsCounters) return {};
        return counters;
    }

    int wait() {
        {
            const std::lock_guard<std::mutex> lock(mutex);
            ++waits;
        }
        cv.notify_all();
        for (;;) {
            char c;
            const ssize_t n = ::read(pipeRead.get(), &c, 1);
            if (n == 1) return 0;
            if (n == 0) {
                errno = EIO;  // the far end is gone, as with an unplugged adapter
                return -1;
            }
            const int e = errno;
            const std::lock_guard<std::mutex> lock(mutex);
            if (e == EINTR) ++interrupted;
            if (e == EINTR && interrupted <= swallow) continue;
            errno = e;
            return -1;
        }
    }

    // Blocks until the helper has called wait() at least n times; false after a bound.
    bool waitsReach(int n) {
        std::unique_lock<std::mutex> lock(mutex);
        return cv.wait_for(lock, 10s, [&] { return waits >= n; });
    }
};

class FakeSource final : public LineStateSource {
  public:
    explicit FakeSource(std::shared_ptr<FakeDevice> d) : d_(std::move(d)) {}
    std::optional<LineCounters> counters() override { return d_->readCounters(); }
    std::optional<int> modemLines() override {
        const std::lock_guard<std::mutex> lock(d_->mutex);
        return d_->lines;
    }

  private:
    std::shared_ptr<FakeDevice> d_;
};

LineWait fakeWait(const std::shared_ptr<FakeDevice>& d) {
    return {[d] { return d->wait(); }, [d] { return d->readCounters(); }};
}

// The count an eventfd holds now (0 when it is quiet), taken from it.
uint64_t takeEventCount(int fd) {
    uint64_t count = 0;
    return ::read(fd, &count, sizeof count) == sizeof count ? count : 0;
}

// --- What changed, as codes -----------------------------------------------------------------

TEST(DiffLineState, EachCounterMapsToItsCode) {
    const struct {
        const char* name;
        uint32_t LineCounters::*counter;
        int16_t code;
    } cases[] = {
        {"cts", &LineCounters::cts, comm::CTS},
        {"dsr", &LineCounters::dsr, comm::DSR},
        {"dcd", &LineCounters::dcd, comm::CD},
        {"rng", &LineCounters::rng, comm::Ring},
        {"brk", &LineCounters::brk, comm::Break},
        {"frame", &LineCounters::frame, comm::Frame},
        {"overrun", &LineCounters::overrun, comm::Overrun},
        {"buf_overrun", &LineCounters::bufOverrun, comm::Overrun},
        {"parity", &LineCounters::parity, comm::RxParity},
    };
    for (const auto& c : cases) {
        LineSnapshot prev{{}, TIOCM_CTS};
        prev.counters.*c.counter = 41;
        LineSnapshot now = prev;
        now.counters.*c.counter = 44;  // three events of one kind are one notification
        EXPECT_EQ(diffLineState(prev, now), Codes{c.code}) << c.name;
        // Counters wrap: going past the top is a change like any other.
        prev.counters.*c.counter = 0xFFFFFFFFu;
        now.counters.*c.counter = 0;
        EXPECT_EQ(diffLineState(prev, now), Codes{c.code}) << c.name << " wrapping";
    }
}

TEST(DiffLineState, LevelChangesCountEvenWhereTheCountersMissedThem) {
    const struct {
        int before, after;
        Codes codes;
    } cases[] = {
        {0, TIOCM_CTS, {comm::CTS}},
        {TIOCM_DSR, 0, {comm::DSR}},
        {0, TIOCM_CD, {comm::CD}},
        {TIOCM_CTS | TIOCM_CD, TIOCM_DSR, {comm::CTS, comm::DSR, comm::CD}},
        // Ring is a pulse: only the driver's count of its edges is an event.
        {0, TIOCM_RNG, {}},
        // Lines this component does not report.
        {TIOCM_DTR | TIOCM_RTS, 0, {}},
        {TIOCM_CTS, TIOCM_CTS, {}},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(diffLineState({{}, c.before}, {{}, c.after}), c.codes)
            << std::hex << c.before << " -> " << c.after;
    }
    // Levels unknown on either side: only the counters speak.
    EXPECT_EQ(diffLineState({{}, std::nullopt}, {{}, TIOCM_CTS}), Codes{});
    EXPECT_EQ(diffLineState({{}, TIOCM_CTS}, {{}, std::nullopt}), Codes{});
}

TEST(DiffLineState, SeveralChangesInOnePassComeInAscendingOrder) {
    LineSnapshot prev{{}, 0};
    LineSnapshot now = prev;
    now.counters.parity = 1;
    now.counters.bufOverrun = 2;
    now.counters.frame = 1;
    now.counters.brk = 1;
    now.counters.rng = 2;
    now.counters.dcd = 1;
    now.counters.dsr = 1;
    now.lines = TIOCM_CTS;
    EXPECT_EQ(diffLineState(prev, now),
              (Codes{comm::CTS, comm::DSR, comm::CD, comm::Ring, comm::Break, comm::Frame,
                     comm::Overrun, comm::RxParity}));
    EXPECT_EQ(diffLineState(now, now), Codes{});
}

TEST(LineEventDetector, ReportsEachChangeOnceAgainstTheLastGoodReading) {
    auto device = std::make_shared<FakeDevice>();
    device->change([](LineCounters& c, auto&) { c.frame = 7; });  // before open: not an event
    auto detector = LineEventDetector::create(std::make_unique<FakeSource>(device));
    ASSERT_NE(detector, nullptr);
    EXPECT_EQ(detector->poll(), Codes{});

    device->change([](LineCounters& c, std::optional<int>& lines) {
        c.frame = 8;
        lines = TIOCM_DSR;  // CTS dropped
    });
    EXPECT_EQ(detector->poll(), (Codes{comm::CTS, comm::Frame}));
    EXPECT_EQ(detector->poll(), Codes{});

    // A reading that fails reports nothing and is not compared against later.
    device->change([&](LineCounters& c, auto&) {
        device->keepsCounters = false;
        c.parity = 1;
    });
    EXPECT_EQ(detector->poll(), Codes{});
    device->change([&](auto&, auto&) { device->keepsCounters = true; });
    EXPECT_EQ(detector->poll(), Codes{comm::RxParity});
}

TEST(LineEventDetector, ADeviceWithoutCountersGetsNone) {
    auto device = std::make_shared<FakeDevice>();
    device->keepsCounters = false;
    EXPECT_EQ(LineEventDetector::create(std::make_unique<FakeSource>(device)), nullptr);
    EXPECT_EQ(LineEventDetector::create(nullptr), nullptr);

    test::PtyPair pty;  // the kernel keeps no counters for a pseudo-terminal
    EXPECT_EQ(LineEventDetector::create(makeIoctlLineSource(pty.slave.get())), nullptr);
}

// --- The helper thread ----------------------------------------------------------------------

TEST(LineWaiter, WakesTheLoopOnlyWhenTheCountersMoved) {
    auto device = std::make_shared<FakeDevice>();
    auto loop = makeEpollLoop();
    auto waiter = LineWaiter::start(fakeWait(device));
    ASSERT_NE(waiter, nullptr);
    bool readable = false;
    auto watch = loop->watch(waiter->fd(), EPOLLIN, [&](uint32_t) { readable = true; });

    ASSERT_TRUE(device->waitsReach(1));
    device->wakeHelper();  // returns without a change: no wake-up
    ASSERT_TRUE(device->waitsReach(2));
    device->change([](LineCounters& c, auto&) { ++c.dsr; });
    device->wakeHelper();
    ASSERT_TRUE(test::pumpUntil(
        *loop, [&] { return readable; }, 10));
    EXPECT_EQ(takeEventCount(waiter->fd()), 1u);
    ASSERT_TRUE(device->waitsReach(3));  // and it waits again
}

TEST(LineWaiter, GivesUpWhenTheWaitKeepsReturningWithoutAChange) {
    auto device = std::make_shared<FakeDevice>();
    std::atomic<int> waits{0};
    auto waiter = LineWaiter::start(
        {[&] { return ++waits, 0; }, [device] { return device->readCounters(); }});
    ASSERT_NE(waiter, nullptr);
    ASSERT_TRUE(waiter->waitFinished(10s));
    EXPECT_EQ(waits.load(), LineWaiter::kIdleReturnLimit);
    EXPECT_EQ(takeEventCount(waiter->fd()), 0u);
}

TEST(LineWaiter, EndsWhenTheDriverCannotWaitOrTheDeviceIsGone) {
    for (const int error : {ENOTTY, EINVAL, EIO}) {
        auto device = std::make_shared<FakeDevice>();
        std::atomic<int> waits{0};
        auto waiter = LineWaiter::start({[&] { return ++waits, errno = error, -1; },
                                         [device] { return device->readCounters(); }});
        ASSERT_NE(waiter, nullptr);
        ASSERT_TRUE(waiter->waitFinished(10s)) << error;
        EXPECT_EQ(waits.load(), 1) << error;
    }
    auto device = std::make_shared<FakeDevice>();
    device->keepsCounters = false;
    auto waiter = LineWaiter::start(fakeWait(device));
    ASSERT_NE(waiter, nullptr);
    ASSERT_TRUE(waiter->waitFinished(10s));
    EXPECT_EQ(device->waits, 0);
}

TEST(LineWaiter, StoppingInterruptsABlockedWaitAndJoinsTheThread) {
    auto device = std::make_shared<FakeDevice>();
    auto waiter = LineWaiter::start(fakeWait(device));
    ASSERT_NE(waiter, nullptr);
    ASSERT_TRUE(device->waitsReach(1));
    waiter.reset();
    EXPECT_GE(device->interrupted, 1);
    EXPECT_EQ(device.use_count(), 1);  // the thread has let go of everything it held
}

// A signal that lands just before the thread enters its wait is lost; the stop must repeat it.
TEST(LineWaiter, StoppingRepeatsTheSignalUntilTheThreadHasEnded) {
    auto device = std::make_shared<FakeDevice>();
    device->swallow = 2;
    auto waiter = LineWaiter::start(fakeWait(device));
    ASSERT_NE(waiter, nullptr);
    ASSERT_TRUE(device->waitsReach(1));
    waiter.reset();
    EXPECT_EQ(device->interrupted, 3);
    EXPECT_EQ(device.use_count(), 1);
}

TEST(LineWaiter, TheHostsSignalsStayOffTheHelperThread) {
    auto device = std::make_shared<FakeDevice>();
    sigset_t helperMask;
    ::sigemptyset(&helperMask);
    std::atomic<bool> captured{false};
    auto waiter = LineWaiter::start({[&] {
                                         if (!captured)
                                             ::pthread_sigmask(SIG_SETMASK, nullptr, &helperMask);
                                         captured = true;
                                         return device->wait();
                                     },
                                     [device] { return device->readCounters(); }});
    ASSERT_NE(waiter, nullptr);
    ASSERT_TRUE(device->waitsReach(1));
    EXPECT_TRUE(captured);
    for (const int s : {SIGINT, SIGTERM, SIGALRM, SIGCHLD, SIGUSR1}) {
        EXPECT_EQ(::sigismember(&helperMask, s), 1) << s;
    }
    waiter.reset();
}

// --- Through the serial component -----------------------------------------------------------

class LineEventsSerialTest : public ::testing::Test {
  protected:
    void SetUp() override { PortMap::instance().map(kPort, pty.slavePath); }
    void TearDown() override { PortMap::instance().clear(); }

    std::unique_ptr<SerialComm> makeComm(std::size_t inBufferSize = defaultInBufferSize) {
        LineSupport support;
        support.source = [this](int) { return std::make_unique<FakeSource>(device); };
        support.wait = [this](int) {
            ++waitsMade;
            return fakeWait(device);
        };
        auto c = makePosixSerial(*loop, inBufferSize, std::move(support));
        c->CommPort(kPort);
        SerialComm* raw = c.get();
        c->setOnComm([this, raw] {
            events.push_back(raw->CommEvent());
            onThread.push_back(std::this_thread::get_id());
            // As the control's handler: bytes are taken on Receive only.
            if (takeInput && raw->CommEvent() == comm::Receive) received += raw->Input();
        });
        return c;
    }

    std::unique_ptr<EventLoop> loop = makeEpollLoop();
    test::PtyPair pty;
    std::shared_ptr<FakeDevice> device = std::make_shared<FakeDevice>();
    int waitsMade = 0;
    Codes events;
    std::vector<std::thread::id> onThread;
    std::string received;
    bool takeInput = true;
};

TEST_F(LineEventsSerialTest, LineChangesWakeTheLoopAndAreNotifiedOnItsThreadInOrder) {
    auto comm = makeComm();
    comm->PortOpen(true);
    ASSERT_TRUE(device->waitsReach(1));

    device->change([](LineCounters& c, std::optional<int>& lines) {
        ++c.dcd;
        *lines &= ~TIOCM_CTS;
    });
    device->wakeHelper();
    ASSERT_TRUE(test::pumpUntil(
        *loop, [&] { return events.size() >= 2; }, 10));
    EXPECT_EQ(events, (Codes{comm::CTS, comm::CD}));
    EXPECT_EQ(comm->CommEvent(), comm::CD);

    device->change([](LineCounters& c, auto&) { c.rng += 2; });
    device->wakeHelper();
    ASSERT_TRUE(test::pumpUntil(
        *loop, [&] { return events.size() >= 3; }, 10));
    EXPECT_EQ(events, (Codes{comm::CTS, comm::CD, comm::Ring}));
    for (const auto id : onThread) EXPECT_EQ(id, std::this_thread::get_id());
    EXPECT_FALSE(loop->pumpOnce(0ms));  // nothing else pending
}

TEST_F(LineEventsSerialTest, ErrorsThatCameWithDataAreNotifiedBeforeIt) {
    auto comm = makeComm();
    comm->PortOpen(true);
    // Line errors do not end the helper's wait; the data they came with brings them.
    device->change([](LineCounters& c, auto&) {
        ++c.frame;
        ++c.parity;
        ++c.brk;
    });
    pty.send(std::string("A\0", 2));
    ASSERT_TRUE(test::pumpUntil(
        *loop, [&] { return received.size() >= 2; }, 10));
    EXPECT_EQ(events, (Codes{comm::Break, comm::Frame, comm::RxParity, comm::Receive}));
    EXPECT_EQ(received, std::string("A\0", 2));
}

TEST_F(LineEventsSerialTest, OverrunComesBeforeTheBufferOverflowAndTheData) {
    auto comm = makeComm(4);
    takeInput = false;
    size_t arrived = 0;
    comm->setTrace([&](TraceDirection d, std::string_view bytes) {
        if (d == TraceDirection::Received) arrived += bytes.size();
    });
    comm->PortOpen(true);
    device->change([](LineCounters& c, auto&) { ++c.bufOverrun; });
    pty.send("0123456789");
    ASSERT_TRUE(test::pumpUntil(
        *loop, [&] { return arrived >= 10; }, 10));
    EXPECT_EQ(comm->Input(), "6789");
    // However the bytes were split into reads, the overrun came with the first of them.
    ASSERT_GE(events.size(), 3u);
    EXPECT_EQ(events.front(), comm::Overrun);
    EXPECT_EQ(std::count(events.begin(), events.end(), comm::Overrun), 1);
    const auto overflow = std::find(events.begin(), events.end(), comm::RxOver);
    ASSERT_NE(overflow, events.end());
    ASSERT_NE(overflow + 1, events.end());
    EXPECT_EQ(overflow[1], comm::Receive);
}

TEST_F(LineEventsSerialTest, AHandlerThatClosesThePortGetsNoMoreOfItsLineEvents) {
    auto comm = makeComm();
    comm->setOnComm([&] {
        events.push_back(comm->CommEvent());
        comm->PortOpen(false);
    });
    comm->PortOpen(true);
    ASSERT_TRUE(device->waitsReach(1));
    device->change([](LineCounters& c, auto&) {
        ++c.cts;
        ++c.dsr;
        ++c.rng;
    });
    device->wakeHelper();
    ASSERT_TRUE(test::pumpUntil(
        *loop, [&] { return !events.empty(); }, 10));
    EXPECT_EQ(events, Codes{comm::CTS});
    EXPECT_FALSE(comm->PortOpen());
    EXPECT_EQ(device.use_count(), 1);  // helper, source and wait are gone with the port
}

TEST_F(LineEventsSerialTest, AHandlerMayDestroyTheComponentOnALineEvent) {
    auto comm = makeComm();
    comm->setOnComm([&] {
        events.push_back(comm->CommEvent());
        comm.reset();
    });
    comm->PortOpen(true);
    ASSERT_TRUE(device->waitsReach(1));
    device->change([](LineCounters& c, auto&) {
        ++c.cts;
        ++c.dsr;
    });
    device->wakeHelper();
    ASSERT_TRUE(test::pumpUntil(
        *loop, [&] { return !events.empty(); }, 10));
    EXPECT_EQ(events, Codes{comm::CTS});
    EXPECT_EQ(comm, nullptr);
    EXPECT_EQ(device.use_count(), 1);
}

TEST_F(LineEventsSerialTest, EachOpenHasItsOwnHelperThatCloseEnds) {
    auto comm = makeComm();
    comm->PortOpen(true);
    ASSERT_TRUE(device->waitsReach(1));
    comm->PortOpen(false);
    EXPECT_EQ(device.use_count(), 1);

    // What changed while the port was closed belongs to no open: the new one starts from here.
    device->change([](LineCounters& c, auto&) { ++c.cts; });
    comm->PortOpen(true);
    EXPECT_EQ(waitsMade, 2);
    ASSERT_TRUE(device->waitsReach(2));
    device->change([](LineCounters& c, auto&) { ++c.dsr; });
    device->wakeHelper();
    ASSERT_TRUE(test::pumpUntil(
        *loop, [&] { return !events.empty(); }, 10));
    EXPECT_EQ(events, Codes{comm::DSR});

    comm.reset();  // destroyed while open
    EXPECT_EQ(device.use_count(), 1);
}

TEST_F(LineEventsSerialTest, ADeviceWithoutCountersStartsNothingAndRaisesNothing) {
    device->keepsCounters = false;
    const size_t before = threadCount();
    auto comm = makeComm();
    comm->PortOpen(true);
    EXPECT_LE(threadCount(), before);
    EXPECT_EQ(waitsMade, 0);
    device->change([&](LineCounters& c, auto&) {
        device->keepsCounters = true;  // too late: the device was judged at open
        ++c.frame;
    });
    pty.send(">");
    ASSERT_TRUE(test::pumpUntil(
        *loop, [&] { return !received.empty(); }, 10));
    EXPECT_EQ(events, Codes{comm::Receive});
}

// A pseudo-terminal keeps no counters and has no low-latency mode: it opens as before, with no
// thread of ours, and its line settings come back whole on close.
TEST_F(LineEventsSerialTest, APseudoTerminalOpensWithoutHelperOrLowLatency) {
    EXPECT_FALSE(requestLowLatency(pty.slave.get()));
    dropLowLatency(pty.slave.get());

    termios before{};
    ASSERT_EQ(::tcgetattr(pty.slave.get(), &before), 0);
    const size_t threads = threadCount();
    auto comm = makePosixSerial(*loop);
    comm->CommPort(kPort);
    comm->setOnComm([&] {
        events.push_back(comm->CommEvent());
        received += comm->Input();
    });
    comm->PortOpen(true);
    EXPECT_TRUE(comm->PortOpen());
    EXPECT_LE(threadCount(), threads);

    pty.send("OK 1\r\n>");
    ASSERT_TRUE(test::pumpUntil(
        *loop, [&] { return received.size() >= 7; }, 10));
    EXPECT_EQ(received, "OK 1\r\n>");
    EXPECT_TRUE(
        std::all_of(events.begin(), events.end(), [](int16_t c) { return c == comm::Receive; }));

    comm->PortOpen(false);
    termios after{};
    ASSERT_EQ(::tcgetattr(pty.slave.get(), &after), 0);
    EXPECT_EQ(after.c_cflag, before.c_cflag);
    EXPECT_EQ(after.c_lflag, before.c_lflag);
    EXPECT_LE(threadCount(), threads);
}

}  // namespace
}  // namespace vantrel
