// vantrel command-line tool: Ctrl-C and SIGTERM seen on the event loop.
#include "signals.hpp"

#include <sys/epoll.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <cerrno>

#include "output.hpp"
#include "vantrel/error.hpp"

namespace vantrel::cli {

namespace {
int firstSignal = 0;
}

StopSignals::StopSignals(EventLoop& loop) : loop_(loop) {
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

void StopSignals::suspend(bool on) {
    suspended_ = on;
    if (on)
        watch_.reset();
    else
        watch_ = loop_.watch(fd_.get(), EPOLLIN, [this](uint32_t) { drain(); });
}

StopSignals::~StopSignals() {
    watch_.reset();
    drain();
    ::sigprocmask(SIG_SETMASK, &old_, nullptr);
}

int StopSignals::exitStatus() {
    return firstSignal == 0 ? 0 : 128 + firstSignal;
}

void StopSignals::drain() {
    if (suspended_) return;
    signalfd_siginfo info;
    while (::read(fd_.get(), &info, sizeof info) == static_cast<ssize_t>(sizeof info)) {
        const int signo = static_cast<int>(info.ssi_signo);
        if (!raised_) {
            raised_ = true;
            if (firstSignal == 0) firstSignal = signo;
            printError("vantrel: stopping after " + activity_ + "; Ctrl-C again ends at once");
            continue;
        }
        printError("vantrel: stopped");
        if (onSecond) {
            try {
                onSecond();
            } catch (...) {  // ending anyway
            }
        }
        ::_exit(128 + signo);
    }
}

void pumpFor(EventLoop& loop, std::chrono::milliseconds duration,
             const std::function<bool()>& stop) {
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + duration;
    for (bool first = true; !stop(); first = false) {
        const auto left = deadline - Clock::now();
        if (left <= Clock::duration::zero()) {
            if (first) loop.pumpOnce(std::chrono::milliseconds(0));
            return;
        }
        // Round up, so the last pass does not end a fraction of a millisecond early.
        loop.pumpOnce(std::chrono::ceil<std::chrono::milliseconds>(left));
    }
}

ProcessSignals::ProcessSignals() {
    sigset_t mask;
    sigemptyset(&mask);
    sigaddset(&mask, SIGINT);
    sigaddset(&mask, SIGTERM);
    sigaddset(&mask, SIGHUP);
    if (::pthread_sigmask(SIG_BLOCK, &mask, &old_) != 0)
        throw Error(err::EventLoopFailed, "blocking the signals failed");
    fd_.reset(::signalfd(-1, &mask, SFD_NONBLOCK | SFD_CLOEXEC));
    if (!fd_) {
        const int e = errno;
        ::pthread_sigmask(SIG_SETMASK, &old_, nullptr);
        throw Error(err::EventLoopFailed, sysMessage("signalfd", "", e));
    }
}

ProcessSignals::~ProcessSignals() {
    ::pthread_sigmask(SIG_SETMASK, &old_, nullptr);
}
}  // namespace vantrel::cli
