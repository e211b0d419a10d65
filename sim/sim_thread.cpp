// vantrel-sim: the simulated board on a thread of its own.
#include "sim/sim_thread.hpp"

#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <string>

#include "fd.hpp"
#include "vantrel/error.hpp"

namespace vantrel::sim {

SimThread::SimThread(PtyBoard::Options options) : owner_(::getpid()) {
    Fd wake(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC));
    if (!wake) throw Error(err::EventLoopFailed, sysMessage("eventfd", "", errno));
    wake_ = wake.release();
    std::promise<std::string> started;
    std::future<std::string> device = started.get_future();
    thread_ = std::thread([this, options, p = std::move(started)]() mutable { run(options, p); });
    try {
        device_ = device.get();
    } catch (...) {
        thread_.join();
        ::close(wake_);
        throw;
    }
}

SimThread::~SimThread() {
    if (::getpid() != owner_) {
        // A forked child has the memory but not the thread: nothing to stop or join. The board
        // is left as it is, since tearing it down would take its descriptors off the loop that
        // the parent's thread still serves (an epoll set is shared across fork).
        thread_.detach();
        [[maybe_unused]] PtyBoard* left = board_.release();
        return;
    }
    post({});
    thread_.join();
    ::close(wake_);
}

void SimThread::checkProcess() const {
    if (::getpid() != owner_)
        throw Error(err::WrongThread, "the simulator on " + device_ + " is served by process " +
                                          std::to_string(owner_) +
                                          ", which made it; a forked child cannot use it");
}

void SimThread::post(std::function<void()> job) {
    {
        const std::lock_guard lock(mutex_);
        if (job)
            jobs_.push_back(std::move(job));
        else
            stop_ = true;
    }
    const uint64_t one = 1;
    // The counter only saturates after 2^64 - 1 unread posts; a failed write cannot happen.
    [[maybe_unused]] const ssize_t n = ::write(wake_, &one, sizeof one);
}

void SimThread::run(PtyBoard::Options options, std::promise<std::string>& started) {
    std::unique_ptr<EventLoop> loop;
    WatchHandle wakeWatch;
    bool stop = false;
    try {
        loop = makeEpollLoop();
        board_ = std::make_unique<PtyBoard>(*loop, options);
        wakeWatch = loop->watch(wake_, EPOLLIN, [this, &stop](uint32_t) {
            uint64_t count = 0;
            [[maybe_unused]] const ssize_t n = ::read(wake_, &count, sizeof count);
            std::vector<std::function<void()>> jobs;
            {
                const std::lock_guard lock(mutex_);
                jobs.swap(jobs_);
                stop = stop_;
            }
            for (auto& job : jobs) job();
        });
        started.set_value(board_->slavePath());
    } catch (...) {
        board_.reset();
        started.set_exception(std::current_exception());
        return;
    }
    while (!stop) loop->pumpOnce();
    wakeWatch.reset();
    board_.reset();
}

}  // namespace vantrel::sim
