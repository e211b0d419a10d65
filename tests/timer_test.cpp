#include <fcntl.h>
#include <poll.h>
#include <sys/epoll.h>
#include <sys/timerfd.h>

#include <chrono>
#include <memory>
#include <vector>

#include <gtest/gtest.h>

#include "fd.hpp"
#include "pump_until.hpp"
#include "vantrel/error.hpp"
#include "vantrel/platform.hpp"

namespace vantrel {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

class TimerTest : public ::testing::Test {
  protected:
    void SetUp() override {
        timer->setOnTick([this] {
            ++ticks;
            tickTimes.push_back(Clock::now());
        });
    }

    // Waits, without pumping, until the loop has something to deliver.
    bool loopHasPending(int timeoutMs = 1000) {
        pollfd p{loop->fd(), POLLIN, 0};
        return ::poll(&p, 1, timeoutMs) == 1;
    }

    // Lets `span` pass without pumping, so that the timer's expirations pile up.
    static void letTimePass(std::chrono::milliseconds span) {
        Fd clock(::timerfd_create(CLOCK_MONOTONIC, TFD_CLOEXEC));
        itimerspec when{};
        when.it_value.tv_nsec = std::chrono::nanoseconds(span).count();
        ::timerfd_settime(clock.get(), 0, &when, nullptr);
        uint64_t n;
        ASSERT_EQ(::read(clock.get(), &n, sizeof n), 8);
    }

    std::unique_ptr<EventLoop> loop = makeEpollLoop();
    std::unique_ptr<Timer> timer = makeLoopTimer(*loop);
    int ticks = 0;
    std::vector<Clock::time_point> tickTimes;
};

TEST_F(TimerTest, StartsDisabledAndNeverTicksSo) {
    EXPECT_FALSE(timer->Enabled());
    EXPECT_EQ(timer->Interval(), 0);
    timer->Interval(1);
    EXPECT_FALSE(loop->pumpOnce(20ms));
    EXPECT_EQ(ticks, 0);
}

TEST_F(TimerTest, TicksOncePerIntervalCountingFromEnable) {
    timer->Interval(30);
    const auto enabled = Clock::now();
    timer->Enabled(true);
    ASSERT_TRUE(test::pumpUntil(*loop, [&] { return ticks >= 3; }));
    EXPECT_GE(tickTimes[0] - enabled, 30ms);
    EXPECT_GE(tickTimes[2] - enabled, 90ms);
    EXPECT_TRUE(timer->Enabled());
}

TEST_F(TimerTest, IntervalChangeWhileEnabledRestartsTheCount) {
    timer->Interval(30);
    timer->Enabled(true);
    timer->Interval(300);
    const auto changed = Clock::now();
    ASSERT_TRUE(test::pumpUntil(*loop, [&] { return ticks >= 1; }));
    EXPECT_GE(tickTimes[0] - changed, 300ms);
}

TEST_F(TimerTest, DisablingDiscardsAnExpiryNotYetDelivered) {
    timer->Interval(1);
    timer->Enabled(true);
    ASSERT_TRUE(loopHasPending());  // expired, not delivered
    timer->Enabled(false);
    EXPECT_FALSE(loop->pumpOnce(20ms));
    EXPECT_EQ(ticks, 0);

    // The next use must not see the old expiry either.
    timer->Interval(1000);
    timer->Enabled(true);
    EXPECT_FALSE(loop->pumpOnce(50ms));
    EXPECT_EQ(ticks, 0);
}

TEST_F(TimerTest, DisablingInsideTheTickStopsFurtherTicks) {
    timer->setOnTick([&] {
        ++ticks;
        timer->Enabled(false);
    });
    timer->Interval(1);
    timer->Enabled(true);
    ASSERT_TRUE(test::pumpUntil(*loop, [&] { return ticks >= 1; }));
    EXPECT_FALSE(loop->pumpOnce(20ms));
    EXPECT_EQ(ticks, 1);
}

TEST_F(TimerTest, ZeroIntervalTicksAfterOneMillisecond) {
    timer->Interval(0);
    const auto enabled = Clock::now();
    timer->Enabled(true);
    ASSERT_TRUE(test::pumpUntil(
        *loop, [&] { return ticks >= 1; }, 5));
    EXPECT_GE(tickTimes[0] - enabled, 1ms);
    EXPECT_EQ(timer->Interval(), 0);
}

TEST_F(TimerTest, NegativeIntervalIsAnInvalidPropertyValue) {
    timer->Interval(250);
    try {
        timer->Interval(-1);
        FAIL() << "no error";
    } catch (const Error& e) {
        EXPECT_EQ(e.number(), err::InvalidPropertyValue);
        EXPECT_STREQ(e.what(), "Invalid property value");
    }
    EXPECT_EQ(timer->Interval(), 250);
}

TEST_F(TimerTest, ExpirationsPiledUpBeforeAPassMakeOneTick) {
    timer->Interval(2);
    timer->Enabled(true);
    letTimePass(15ms);
    loop->dispatchPending();
    EXPECT_EQ(ticks, 1);
}

TEST_F(TimerTest, TickHandlerMayDestroyTheTimer) {
    timer->setOnTick([&] {
        ++ticks;
        timer.reset();
    });
    timer->Interval(1);
    timer->Enabled(true);
    ASSERT_TRUE(test::pumpUntil(*loop, [&] { return ticks >= 1; }));
    EXPECT_EQ(timer, nullptr);
    EXPECT_FALSE(loop->pumpOnce(10ms));
}

// The loop keeps the deadlines itself; a host that sleeps on its descriptor instead of in a pass
// must still wake for a due timer, whether the timer was armed before or after it asked for it.
TEST_F(TimerTest, EmbeddingHostWakesForADueTimer) {
    for (const bool armFirst : {true, false}) {
        SCOPED_TRACE(armFirst ? "armed before fd()" : "armed after fd()");
        auto freshLoop = makeEpollLoop();
        auto t = makeLoopTimer(*freshLoop);
        int n = 0;
        t->setOnTick([&] { ++n; });
        t->Interval(5);
        if (armFirst) t->Enabled(true);
        pollfd p{freshLoop->fd(), POLLIN, 0};
        EXPECT_EQ(::poll(&p, 1, 0), 0);
        // Taken before arming, so that a preemption after it cannot make the wait look short.
        const auto enabled = Clock::now();
        if (!armFirst) t->Enabled(true);
        ASSERT_EQ(::poll(&p, 1, 1000), 1);
        EXPECT_GE(Clock::now() - enabled, armFirst ? 0ms : 5ms);
        freshLoop->dispatchPending();
        EXPECT_EQ(n, 1);
    }
}

// A watch that disables the timer in the same pass as its deadline passed wins: the tick is
// never delivered after the timer was disabled.
TEST_F(TimerTest, DisabledByAWatchOfTheSamePassNeverTicks) {
    int fds[2];
    ASSERT_EQ(::pipe2(fds, O_CLOEXEC), 0);
    Fd r(fds[0]), w(fds[1]);
    auto watch = loop->watch(r.get(), EPOLLIN, [&](uint32_t) {
        char c;
        ASSERT_EQ(::read(r.get(), &c, 1), 1);
        timer->Enabled(false);
    });
    timer->Interval(1);
    timer->Enabled(true);
    letTimePass(5ms);
    ASSERT_EQ(::write(w.get(), "x", 1), 1);
    loop->dispatchPending();
    EXPECT_FALSE(timer->Enabled());
    EXPECT_EQ(ticks, 0);
}

// A deadline that passes while the watches of a pass run belongs to the next pass: a reply that
// was in before the reply timer's deadline is not turned into a timeout by its own handling.
TEST_F(TimerTest, DeadlinePassingWhileWatchesRunTicksInTheNextPass) {
    int fds[2];
    ASSERT_EQ(::pipe2(fds, O_CLOEXEC), 0);
    Fd r(fds[0]), w(fds[1]);
    int handled = 0;
    auto watch = loop->watch(r.get(), EPOLLIN, [&](uint32_t) {
        char c;
        ASSERT_EQ(::read(r.get(), &c, 1), 1);
        ++handled;
        letTimePass(20ms);  // a slow handler: the deadline passes meanwhile
    });
    timer->Interval(10);
    timer->Enabled(true);
    ASSERT_EQ(::write(w.get(), "x", 1), 1);
    loop->dispatchPending();
    EXPECT_EQ(handled, 1);
    EXPECT_EQ(ticks, 0);
    loop->dispatchPending();
    EXPECT_EQ(ticks, 1);
}

// Several timers on one loop each keep their own deadline, and a tick may remove another timer
// whose deadline has passed in the same pass: it does not tick.
TEST_F(TimerTest, TimersOnOneLoopKeepTheirOwnDeadlines) {
    auto second = makeLoopTimer(*loop);
    auto third = makeLoopTimer(*loop);
    std::vector<int> order;
    timer->setOnTick([&] {
        order.push_back(1);
        timer->Enabled(false);
    });
    second->setOnTick([&] {
        order.push_back(2);
        second->Enabled(false);
        third.reset();
    });
    third->setOnTick([&] { order.push_back(3); });
    timer->Interval(250);
    second->Interval(5);
    third->Interval(5);
    const auto enabled = Clock::now();
    timer->Enabled(true);
    second->Enabled(true);
    third->Enabled(true);
    letTimePass(10ms);
    ASSERT_TRUE(test::pumpUntil(*loop, [&] { return order.size() >= 2; }));
    EXPECT_GE(Clock::now() - enabled, 250ms);
    EXPECT_EQ(order, (std::vector<int>{2, 1}));
    EXPECT_FALSE(loop->pumpOnce(20ms));
}

}  // namespace
}  // namespace vantrel
