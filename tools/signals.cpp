// vantrel command-line tool: Ctrl-C and SIGTERM seen on the event loop.
#include "signals.hpp"

#include <sys/epoll.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <cerrno>

#include "vantrel/error.hpp"

namespace vantrel::cli {

StopSignals::StopSignals(EventLoop& loop) {
    sigset_t mask;
    sigemptyset(&mask);
    sigaddset(&mask, SIGINT);
    sigaddset(&mask, SIGTERM);
    if (::sigprocmask(SIG_BLOCK, &mask, &old_) != 0)
        throw Error(err::EventLoopFailed, sysMessage("sigprocmask", "", errno));
    fd_.reset(::signalfd(-1, &mask, SFD_NONBLOCK | SFD_CLOEXEC));
    if (!fd_) {
        const int e = errno;
        ::sigprocmask(SIG_SETMASK, &old_, nullptr);
        throw Error(err::EventLoopFailed, sysMessage("signalfd", "", e));
    }
    watch_ = loop.watch(fd_.get(), EPOLLIN, [this](uint32_t) { drain(); });
}

StopSignals::~StopSignals() {
    watch_.reset();
    drain();
    ::sigprocmask(SIG_SETMASK, &old_, nullptr);
}

void StopSignals::drain() {
    signalfd_siginfo info;
    while (::read(fd_.get(), &info, sizeof info) == static_cast<ssize_t>(sizeof info))
        raised_ = true;
}

void pumpFor(EventLoop& loop, std::chrono::milliseconds duration,
             const std::function<bool()>& stop) {
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + duration;
    while (!stop()) {
        const auto left = deadline - Clock::now();
        if (left <= Clock::duration::zero()) return;
        // Round up, so the last pass does not end a fraction of a millisecond early.
        loop.pumpOnce(std::chrono::ceil<std::chrono::milliseconds>(left));
    }
}

}  // namespace vantrel::cli
