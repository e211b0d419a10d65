// vantrel: the epoll event loop, the watch handle, and the default loop of each thread.
#include <sys/epoll.h>

#include <cerrno>
#include <chrono>
#include <climits>
#include <memory>
#include <string>
#include <unordered_map>

#include "platform/fd.hpp"
#include "vantrel/error.hpp"
#include "vantrel/platform.hpp"

namespace vantrel {

WatchHandle& WatchHandle::operator=(WatchHandle&& o) noexcept {
    if (this != &o) {
        reset();
        loop_ = o.loop_;
        id_ = o.id_;
        o.loop_ = nullptr;
    }
    return *this;
}

void WatchHandle::reset() noexcept {
    if (loop_ == nullptr) return;
    EventLoop* loop = loop_;
    loop_ = nullptr;
    loop->unwatch(id_);
}

void WatchHandle::modify(uint32_t events) {
    if (loop_ == nullptr) throw Error(err::EventLoopFailed, "modify: the watch has been removed");
    loop_->modifyWatch(id_, events);
}

namespace {

class EpollLoop final : public EventLoop {
  public:
    EpollLoop() : epfd_(::epoll_create1(EPOLL_CLOEXEC)) {
        if (!epfd_) throw Error(err::EventLoopFailed, sysMessage("epoll_create1", "", errno));
    }

    WatchHandle watch(int fd, uint32_t events, Callback cb) override {
        if (!cb) throw Error(err::EventLoopFailed, "watch: no callback");
        const uint64_t id = nextId_++;
        epoll_event ev{};
        ev.events = events;
        ev.data.u64 = id;
        if (::epoll_ctl(epfd_.get(), EPOLL_CTL_ADD, fd, &ev) != 0) {
            throw Error(err::EventLoopFailed,
                        sysMessage("epoll_ctl add", "fd " + std::to_string(fd), errno));
        }
        watches_[id] = Watch{fd, std::make_shared<Callback>(std::move(cb))};
        byFd_[fd] = id;
        return WatchHandle(this, id);
    }

    void pumpOnce() override {
        epoll_event events[kBatch];
        int n;
        do {
            n = waitFor(events, -1);
        } while (n < 0);
        dispatch(events, n);
    }

    bool pumpOnce(std::chrono::milliseconds timeout) override {
        using Clock = std::chrono::steady_clock;
        const auto deadline = Clock::now() + timeout;
        epoll_event events[kBatch];
        for (;;) {
            const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
            const int ms = left.count() <= 0        ? 0
                           : left.count() > INT_MAX ? INT_MAX
                                                    : static_cast<int>(left.count());
            const int n = waitFor(events, ms);
            if (n >= 0) return dispatch(events, n);
            if (ms == 0) return false;
        }
    }

    int fd() const override { return epfd_.get(); }

    void dispatchPending() override {
        epoll_event events[kBatch];
        int n;
        do {
            n = waitFor(events, 0);
        } while (n < 0);
        dispatch(events, n);
    }

  protected:
    void unwatch(uint64_t id) noexcept override {
        const auto it = watches_.find(id);
        if (it == watches_.end()) return;
        const int fd = it->second.fd;
        // The descriptor may have been closed and its number reused by a newer watch; only the
        // watch that registered the number last may take it out of the epoll set.
        const auto owner = byFd_.find(fd);
        if (owner != byFd_.end() && owner->second == id) {
            ::epoll_ctl(epfd_.get(), EPOLL_CTL_DEL, fd, nullptr);
            byFd_.erase(owner);
        }
        watches_.erase(it);
    }

    void modifyWatch(uint64_t id, uint32_t events) override {
        const auto it = watches_.find(id);
        if (it == watches_.end()) throw Error(err::EventLoopFailed, "modify: unknown watch");
        epoll_event ev{};
        ev.events = events;
        ev.data.u64 = id;
        if (::epoll_ctl(epfd_.get(), EPOLL_CTL_MOD, it->second.fd, &ev) != 0) {
            throw Error(err::EventLoopFailed,
                        sysMessage("epoll_ctl mod", "fd " + std::to_string(it->second.fd), errno));
        }
    }

  private:
    static constexpr int kBatch = 64;

    struct Watch {
        int fd;
        // Shared so that a callback which removes its own watch keeps running on a live object.
        std::shared_ptr<Callback> cb;
    };

    // The number of ready events, or -1 when a signal interrupted the wait.
    int waitFor(epoll_event* events, int timeoutMs) {
        const int n = ::epoll_wait(epfd_.get(), events, kBatch, timeoutMs);
        if (n >= 0) return n;
        if (errno == EINTR) return -1;
        throw Error(err::EventLoopFailed, sysMessage("epoll_wait", "", errno));
    }

    // Runs the callbacks of the ready events; a watch removed by an earlier callback of the
    // same pass is looked up by id and skipped. Returns whether any callback ran.
    bool dispatch(const epoll_event* events, int n) {
        bool ran = false;
        for (int i = 0; i < n; ++i) {
            const auto it = watches_.find(events[i].data.u64);
            if (it == watches_.end()) continue;
            const std::shared_ptr<Callback> cb = it->second.cb;
            ran = true;
            (*cb)(events[i].events);
        }
        return ran;
    }

    Fd epfd_;
    uint64_t nextId_ = 1;
    std::unordered_map<uint64_t, Watch> watches_;
    std::unordered_map<int, uint64_t> byFd_;
};

}  // namespace

std::unique_ptr<EventLoop> makeEpollLoop() {
    return std::make_unique<EpollLoop>();
}

EventLoop& threadLoop() {
    thread_local const std::unique_ptr<EventLoop> loop = makeEpollLoop();
    return *loop;
}

}  // namespace vantrel
