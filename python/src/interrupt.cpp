// _vantrel: Ctrl-C during a call that waits in the library (see interrupt.hpp).
#include "interrupt.hpp"

#include <fcntl.h>
#include <signal.h>
#include <sys/epoll.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <optional>

#include "vantrel/event_loop.hpp"

namespace py = pybind11;

namespace vantrel::python {

namespace {

unsigned long gMainThread = 0;
// The pipe SIGINT writes to; made once, kept for the life of the process.
int gReadFd = -1;
std::atomic<int> gWriteFd{-1};
// The handler ours runs after its own work: the one Python installed.
struct sigaction gPrevious {};

void onSigint(int sig, siginfo_t* info, void* context) {
    const int saved = errno;
    const int fd = gWriteFd.load(std::memory_order_relaxed);
    if (fd >= 0) {
        const char byte = 1;
        [[maybe_unused]] const ssize_t n = ::write(fd, &byte, 1);
    }
    errno = saved;
    if (gPrevious.sa_flags & SA_SIGINFO) {
        if (gPrevious.sa_sigaction) gPrevious.sa_sigaction(sig, info, context);
    } else if (gPrevious.sa_handler != SIG_DFL && gPrevious.sa_handler != SIG_IGN) {
        gPrevious.sa_handler(sig);
    }
}

bool makePipe() {
    if (gReadFd >= 0) return true;
    int fds[2];
    if (::pipe2(fds, O_NONBLOCK | O_CLOEXEC) != 0) return false;
    gReadFd = fds[0];
    gWriteFd.store(fds[1], std::memory_order_relaxed);
    return true;
}

// Puts our handler in front of the one installed for SIGINT, unless it is there already.
// False when SIGINT is ignored or has its default action (which ends the process anyway).
// Python installs its own again when a program sets a handler: then ours goes in front of it
// again at the next call.
bool chain() {
    struct sigaction current {};
    if (::sigaction(SIGINT, nullptr, &current) != 0) return false;
    const bool info = (current.sa_flags & SA_SIGINFO) != 0;
    if (info && current.sa_sigaction == onSigint) return true;
    if (!info && (current.sa_handler == SIG_DFL || current.sa_handler == SIG_IGN)) return false;
    gPrevious = current;
    struct sigaction ours = current;
    ours.sa_flags |= SA_SIGINFO;
    ours.sa_sigaction = onSigint;
    return ::sigaction(SIGINT, &ours, nullptr) == 0;
}

void drain() {
    char bytes[64];
    while (::read(gReadFd, bytes, sizeof bytes) > 0) {
    }
}

void poke() {
    const char byte = 1;
    [[maybe_unused]] const ssize_t n = ::write(gWriteFd.load(std::memory_order_relaxed), &byte, 1);
}

// The main thread's: how many calls are under way, what interrupted them, and the watch.
struct MainThread {
    int depth = 0;
    // Thrown again at every pass of the loop until the call has unwound, so that a wait that
    // swallowed it once does not carry on; the pipe stays readable meanwhile.
    std::optional<py::error_already_set> raised;
    WatchHandle watch;
};

MainThread& mainThread() {
    (void)threadLoop();  // made first, so that it is still there when the watch goes
    thread_local MainThread state;
    return state;
}

void onReadable(uint32_t) {
    MainThread& s = mainThread();
    if (s.raised) throw *s.raised;
    drain();
    if (s.depth == 0) return;  // between calls Python sees the signal itself
    const py::gil_scoped_acquire gil;
    if (PyErr_CheckSignals() == 0) return;  // the handlers ran and raised nothing
    s.raised.emplace();
    poke();
    throw *s.raised;
}

}  // namespace

void setMainThread() {
    gMainThread =
        py::module_::import("threading").attr("main_thread")().attr("ident").cast<unsigned long>();
    // From now on, so that a signal that comes just before a call is heard by its wait.
    if (PyThread_get_thread_ident() == gMainThread && makePipe()) chain();
}

Interruptible::Interruptible() {
    if (PyThread_get_thread_ident() != gMainThread) return;
    if (!makePipe() || !chain()) return;
    MainThread& s = mainThread();
    if (!s.watch) s.watch = threadLoop().watch(gReadFd, EPOLLIN, onReadable);
    ++s.depth;
    active_ = true;
}

Interruptible::~Interruptible() {
    if (!active_) return;
    MainThread& s = mainThread();
    if (--s.depth > 0 || !s.raised) return;
    drain();
    s.raised.reset();
}

}  // namespace vantrel::python
