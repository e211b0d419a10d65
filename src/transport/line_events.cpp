// vantrel: modem-line changes and line errors of a serial device, turned into OnComm codes.
#include "transport/line_events.hpp"

#include <linux/serial.h>
#include <pthread.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <mutex>
#include <system_error>
#include <utility>

#include "vantrel/platform.hpp"

namespace vantrel {

namespace {

std::optional<LineCounters> readCounters(int fd) {
    serial_icounter_struct ic{};
    if (::ioctl(fd, TIOCGICOUNT, &ic) != 0) return {};
    LineCounters c;
    c.cts = static_cast<uint32_t>(ic.cts);
    c.dsr = static_cast<uint32_t>(ic.dsr);
    c.rng = static_cast<uint32_t>(ic.rng);
    c.dcd = static_cast<uint32_t>(ic.dcd);
    c.frame = static_cast<uint32_t>(ic.frame);
    c.overrun = static_cast<uint32_t>(ic.overrun);
    c.parity = static_cast<uint32_t>(ic.parity);
    c.brk = static_cast<uint32_t>(ic.brk);
    c.bufOverrun = static_cast<uint32_t>(ic.buf_overrun);
    return c;
}

class IoctlLineSource final : public LineStateSource {
  public:
    explicit IoctlLineSource(int fd) : fd_(fd) {}

    std::optional<LineCounters> counters() override { return readCounters(fd_); }

    std::optional<int> modemLines() override {
        int lines = 0;
        if (::ioctl(fd_, TIOCMGET, &lines) != 0) return {};
        return lines;
    }

  private:
    int fd_;
};

extern "C" void onWakeSignal(int) {}

// The real-time signal that interrupts a helper thread's wait, installed once per process;
// 0 when every one already has a handler of someone else's.
int wakeSignal() {
    static const int chosen = [] {
        for (int s = SIGRTMAX; s >= SIGRTMIN; --s) {
            struct sigaction current {};
            if (::sigaction(s, nullptr, &current) != 0 || current.sa_handler != SIG_DFL) continue;
            struct sigaction sa {};
            sa.sa_handler = onWakeSignal;
            ::sigemptyset(&sa.sa_mask);
            sa.sa_flags = 0;  // no SA_RESTART: the interrupted wait must return EINTR
            if (::sigaction(s, &sa, nullptr) == 0) return s;
        }
        return 0;
    }();
    return chosen;
}

}  // namespace

std::unique_ptr<LineStateSource> makeIoctlLineSource(int fd) {
    return std::make_unique<IoctlLineSource>(fd);
}

std::vector<int16_t> diffLineState(const LineSnapshot& prev, const LineSnapshot& now) {
    const LineCounters& a = prev.counters;
    const LineCounters& b = now.counters;
    const int flipped = prev.lines && now.lines ? *prev.lines ^ *now.lines : 0;
    std::vector<int16_t> codes;
    const auto add = [&codes](bool happened, int16_t code) {
        if (happened) codes.push_back(code);
    };
    add(a.cts != b.cts || (flipped & TIOCM_CTS) != 0, comm::CTS);
    add(a.dsr != b.dsr || (flipped & TIOCM_DSR) != 0, comm::DSR);
    add(a.dcd != b.dcd || (flipped & TIOCM_CD) != 0, comm::CD);
    // A ring is a pulse: the level seen at some reading says little, the counted edge is the
    // event.
    add(a.rng != b.rng, comm::Ring);
    add(a.brk != b.brk, comm::Break);
    add(a.frame != b.frame, comm::Frame);
    add(a.overrun != b.overrun || a.bufOverrun != b.bufOverrun, comm::Overrun);
    add(a.parity != b.parity, comm::RxParity);
    return codes;
}

std::unique_ptr<LineEventDetector> LineEventDetector::create(
    std::unique_ptr<LineStateSource> source) {
    if (!source) return nullptr;
    const std::optional<LineCounters> counters = source->counters();
    if (!counters) return nullptr;
    const LineSnapshot first{*counters, source->modemLines()};
    return std::unique_ptr<LineEventDetector>(new LineEventDetector(std::move(source), first));
}

std::vector<int16_t> LineEventDetector::poll() {
    const std::optional<LineCounters> counters = source_->counters();
    if (!counters) return {};
    const LineSnapshot now{*counters, source_->modemLines()};
    std::vector<int16_t> codes = diffLineState(last_, now);
    last_ = now;
    return codes;
}

LineWait ioctlLineWait(int fd) {
    constexpr unsigned long kLines = TIOCM_CTS | TIOCM_DSR | TIOCM_CD | TIOCM_RNG;
    return {[fd] { return ::ioctl(fd, TIOCMIWAIT, kLines); }, [fd] { return readCounters(fd); }};
}

struct LineWaiter::Shared {
    std::atomic<bool> stop{false};
    std::mutex mutex;
    std::condition_variable cv;
    bool finished = false;
};

std::unique_ptr<LineWaiter> LineWaiter::start(LineWait ops) {
    const int signal = wakeSignal();
    if (signal == 0 || !ops.wait || !ops.counters) return nullptr;
    Fd event(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC));
    if (!event) return nullptr;
    try {
        return std::unique_ptr<LineWaiter>(
            new LineWaiter(std::move(event), signal, std::move(ops)));
    } catch (const std::system_error&) {
        return nullptr;  // no thread could be started
    }
}

LineWaiter::LineWaiter(Fd event, int signal, LineWait ops)
    : event_(std::move(event)), signal_(signal), shared_(std::make_unique<Shared>()) {
    // The thread starts with every signal blocked, so that none meant for the host lands on
    // it; it then lets through only its own.
    sigset_t all;
    sigset_t previous;
    ::sigfillset(&all);
    ::pthread_sigmask(SIG_SETMASK, &all, &previous);
    try {
        thread_ = std::thread([this, ops = std::move(ops)]() mutable { run(std::move(ops)); });
    } catch (...) {
        ::pthread_sigmask(SIG_SETMASK, &previous, nullptr);
        throw;
    }
    ::pthread_sigmask(SIG_SETMASK, &previous, nullptr);
}

LineWaiter::~LineWaiter() {
    shared_->stop.store(true);
    {
        std::unique_lock<std::mutex> lock(shared_->mutex);
        // A signal that arrives after the thread last looked at the stop flag but before it
        // entered the wait interrupts nothing: keep signalling until it has ended.
        while (!shared_->finished) {
            ::pthread_kill(thread_.native_handle(), signal_);
            shared_->cv.wait_for(lock, std::chrono::milliseconds(5));
        }
    }
    thread_.join();
}

void LineWaiter::drain() noexcept {
    uint64_t count = 0;
    while (::read(event_.get(), &count, sizeof count) < 0 && errno == EINTR) {
    }
}

bool LineWaiter::waitFinished(std::chrono::milliseconds timeout) {
    std::unique_lock<std::mutex> lock(shared_->mutex);
    return shared_->cv.wait_for(lock, timeout, [this] { return shared_->finished; });
}

void LineWaiter::run(LineWait ops) noexcept {
    ::pthread_setname_np(::pthread_self(), "vantrel-lines");  // for ps -L and debuggers
    sigset_t own;
    ::sigemptyset(&own);
    ::sigaddset(&own, signal_);
    ::pthread_sigmask(SIG_UNBLOCK, &own, nullptr);

    // A change between reading `last` and entering the wait is not seen by that wait; it is
    // reported with the next one (late, not lost), and errors that come with data are read by
    // the loop after each received block anyway.
    std::optional<LineCounters> last = ops.counters();
    int idle = 0;
    while (last && !shared_->stop.load()) {
        const int result = ops.wait();
        if (shared_->stop.load()) break;
        if (result != 0 && errno != EINTR) break;
        const std::optional<LineCounters> now = ops.counters();
        if (!now) break;
        if (*now == *last) {
            if (result == 0 && ++idle == kIdleReturnLimit) break;
            continue;
        }
        idle = 0;
        last = now;
        const uint64_t one = 1;
        while (::write(event_.get(), &one, sizeof one) < 0 && errno == EINTR) {
        }
    }
    const std::lock_guard<std::mutex> lock(shared_->mutex);
    shared_->finished = true;
    shared_->cv.notify_all();
}

}  // namespace vantrel
