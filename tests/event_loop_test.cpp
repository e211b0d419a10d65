#include <fcntl.h>
#include <poll.h>
#include <sys/epoll.h>
#include <sys/resource.h>
#include <sys/timerfd.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <stdexcept>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "fd.hpp"
#include "vantrel/error.hpp"
#include "vantrel/platform.hpp"

namespace vantrel {
namespace {

using namespace std::chrono_literals;

struct Pipe {
    Fd r, w;
    Pipe() {
        int fds[2];
        if (::pipe2(fds, O_NONBLOCK | O_CLOEXEC) != 0) throw std::runtime_error("pipe2");
        r.reset(fds[0]);
        w.reset(fds[1]);
    }
    void fill() const { ASSERT_EQ(::write(w.get(), "x", 1), 1); }
    void drain() const {
        char buf[64];
        while (::read(r.get(), buf, sizeof buf) > 0) {
        }
    }
};

class EventLoopTest : public ::testing::Test {
  protected:
    std::unique_ptr<EventLoop> loop = makeEpollLoop();
};

TEST_F(EventLoopTest, RunsEveryReadyCallbackOncePerPassAndNoOther) {
    Pipe a, b, idle;
    std::vector<char> calls;
    uint32_t seenEvents = 0;
    auto ha = loop->watch(a.r.get(), EPOLLIN, [&](uint32_t ev) {
        calls.push_back('a');
        seenEvents = ev;
    });
    auto hb = loop->watch(b.r.get(), EPOLLIN, [&](uint32_t) { calls.push_back('b'); });
    auto hi = loop->watch(idle.r.get(), EPOLLIN, [&](uint32_t) { calls.push_back('i'); });
    a.fill();
    b.fill();

    loop->pumpOnce();
    ASSERT_EQ(calls.size(), 2u);
    EXPECT_EQ(std::count(calls.begin(), calls.end(), 'a'), 1);
    EXPECT_EQ(std::count(calls.begin(), calls.end(), 'b'), 1);
    EXPECT_EQ(seenEvents, uint32_t{EPOLLIN});

    // Level-triggered: what is still unread is reported again.
    EXPECT_TRUE(loop->pumpOnce(0ms));
    EXPECT_EQ(calls.size(), 4u);

    a.drain();
    b.drain();
    EXPECT_FALSE(loop->pumpOnce(20ms));
    EXPECT_EQ(calls.size(), 4u);
}

TEST_F(EventLoopTest, BlockingPumpWaitsForTheFirstReadyWatch) {
    Fd tfd(::timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC));
    ASSERT_TRUE(tfd);
    itimerspec when{};
    when.it_value.tv_nsec = 30'000'000;
    // Taken before the timer is armed: a thread preempted after arming would otherwise start
    // counting late.
    const auto start = std::chrono::steady_clock::now();
    ASSERT_EQ(::timerfd_settime(tfd.get(), 0, &when, nullptr), 0);
    int calls = 0;
    auto h = loop->watch(tfd.get(), EPOLLIN, [&](uint32_t) { ++calls; });

    loop->pumpOnce();
    EXPECT_EQ(calls, 1);
    EXPECT_GE(std::chrono::steady_clock::now() - start, 29ms);
}

TEST_F(EventLoopTest, BlockingPumpCostsNoCpu) {
    Pipe idle;
    auto h = loop->watch(idle.r.get(), EPOLLIN, [](uint32_t) {});
    const auto cpu = [] {
        rusage u{};
        ::getrusage(RUSAGE_THREAD, &u);
        return std::chrono::seconds(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
               std::chrono::microseconds(u.ru_utime.tv_usec + u.ru_stime.tv_usec);
    };
    const auto wallStart = std::chrono::steady_clock::now();
    const auto cpuStart = cpu();
    EXPECT_FALSE(loop->pumpOnce(200ms));
    const auto cpuUsed = cpu() - cpuStart;
    const auto wall = std::chrono::steady_clock::now() - wallStart;
    EXPECT_GE(wall, 199ms);
    EXPECT_LT(cpuUsed * 10, wall);
}

TEST_F(EventLoopTest, WatchRemovedDuringAPassIsNotCalledLaterInIt) {
    Pipe a, b;
    int callsA = 0, callsB = 0;
    WatchHandle ha, hb;
    ha = loop->watch(a.r.get(), EPOLLIN, [&](uint32_t) {
        ++callsA;
        hb.reset();
    });
    hb = loop->watch(b.r.get(), EPOLLIN, [&](uint32_t) {
        ++callsB;
        ha.reset();
    });
    a.fill();
    b.fill();

    loop->pumpOnce();
    EXPECT_EQ(callsA + callsB, 1);
    EXPECT_NE(static_cast<bool>(ha), static_cast<bool>(hb));

    const int before = callsA + callsB;
    loop->pumpOnce();
    EXPECT_EQ(callsA + callsB, before + 1);
}

TEST_F(EventLoopTest, CallbackMayRemoveItsOwnWatch) {
    Pipe a;
    auto state = std::make_shared<int>(0);
    WatchHandle h;
    h = loop->watch(a.r.get(), EPOLLIN, [&h, state](uint32_t) {
        h.reset();
        ++*state;  // the captures must still be alive here
    });
    a.fill();
    loop->pumpOnce();
    EXPECT_EQ(*state, 1);
    EXPECT_FALSE(h);
    EXPECT_FALSE(loop->pumpOnce(10ms));
    EXPECT_EQ(*state, 1);
}

TEST_F(EventLoopTest, WatchAddedDuringAPassRunsFromTheNextPass) {
    Pipe a, b;
    b.fill();
    int callsB = 0;
    WatchHandle hb;
    auto ha = loop->watch(a.r.get(), EPOLLIN, [&](uint32_t) {
        a.drain();
        hb = loop->watch(b.r.get(), EPOLLIN, [&](uint32_t) { ++callsB; });
    });
    a.fill();

    loop->pumpOnce();
    EXPECT_TRUE(hb);
    EXPECT_EQ(callsB, 0);
    loop->pumpOnce();
    EXPECT_EQ(callsB, 1);
}

TEST_F(EventLoopTest, ExceptionFromACallbackLeavesTheLoopUsable) {
    Pipe a, b;
    int callsA = 0, callsB = 0;
    auto ha = loop->watch(a.r.get(), EPOLLIN, [&](uint32_t) {
        if (++callsA == 1) throw std::runtime_error("handler failed");
    });
    auto hb = loop->watch(b.r.get(), EPOLLIN, [&](uint32_t) {
        ++callsB;
        b.drain();
    });
    a.fill();
    b.fill();

    EXPECT_THROW(loop->pumpOnce(), std::runtime_error);
    EXPECT_NO_THROW(loop->pumpOnce());
    EXPECT_EQ(callsA, 2);
    // Whether b ran before the throw or not, its unread byte was not lost.
    EXPECT_EQ(callsB, 1);
}

TEST_F(EventLoopTest, EmbeddingDescriptorIsReadableWhileSomethingIsPending) {
    Pipe a;
    int calls = 0;
    auto h = loop->watch(a.r.get(), EPOLLIN, [&](uint32_t) {
        ++calls;
        a.drain();
    });
    pollfd p{loop->fd(), POLLIN, 0};
    EXPECT_EQ(::poll(&p, 1, 0), 0);
    loop->dispatchPending();
    EXPECT_EQ(calls, 0);

    a.fill();
    ASSERT_EQ(::poll(&p, 1, 1000), 1);
    loop->dispatchPending();
    EXPECT_EQ(calls, 1);
    EXPECT_EQ(::poll(&p, 1, 0), 0);
}

TEST_F(EventLoopTest, ModifyChangesTheEventsWatched) {
    Pipe a;
    std::vector<uint32_t> seen;
    auto h = loop->watch(a.w.get(), 0, [&](uint32_t ev) { seen.push_back(ev); });
    EXPECT_FALSE(loop->pumpOnce(10ms));
    h.modify(EPOLLOUT);
    loop->pumpOnce();
    EXPECT_EQ(seen, std::vector<uint32_t>{EPOLLOUT});
    h.reset();
    EXPECT_THROW(h.modify(EPOLLOUT), Error);
}

TEST_F(EventLoopTest, MovedIntoHandleReleasesItsFormerWatch) {
    Pipe a, b;
    int callsA = 0, callsB = 0;
    auto h = loop->watch(a.r.get(), EPOLLIN, [&](uint32_t) { ++callsA; });
    h = loop->watch(b.r.get(), EPOLLIN, [&](uint32_t) { ++callsB; });
    a.fill();
    b.fill();
    loop->pumpOnce();
    EXPECT_EQ(callsA, 0);
    EXPECT_EQ(callsB, 1);
}

TEST_F(EventLoopTest, StaleHandleOfAClosedDescriptorDoesNotRemoveItsSuccessor) {
    auto first = std::make_unique<Pipe>();
    const int number = first->r.get();
    auto stale = loop->watch(number, EPOLLIN, [](uint32_t) {});
    first.reset();  // closed while still watched: the kernel drops the registration

    Pipe second;
    ASSERT_EQ(second.r.get(), number);
    int calls = 0;
    auto h = loop->watch(second.r.get(), EPOLLIN, [&](uint32_t) { ++calls; });
    stale.reset();
    second.fill();
    EXPECT_TRUE(loop->pumpOnce(1000ms));
    EXPECT_EQ(calls, 1);
}

TEST_F(EventLoopTest, WatchingABadDescriptorFailsWithTheReason) {
    try {
        loop->watch(-1, EPOLLIN, [](uint32_t) {});
        FAIL() << "no error";
    } catch (const Error& e) {
        EXPECT_EQ(e.number(), err::EventLoopFailed);
        EXPECT_STREQ(e.what(), "epoll_ctl add fd -1: Bad file descriptor");
    }
}

TEST(ThreadLoop, OneLoopPerThread) {
    EventLoop* mine = &threadLoop();
    EXPECT_EQ(&threadLoop(), mine);
    EventLoop* other = nullptr;
    std::thread([&] { other = &threadLoop(); }).join();
    EXPECT_NE(other, mine);
}

}  // namespace
}  // namespace vantrel
