#include "sim/pty_board.hpp"

#include <fcntl.h>
#include <sys/epoll.h>
#include <sys/ioctl.h>
#include <sys/timerfd.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdlib>

#include "vantrel/error.hpp"

namespace vantrel::sim {

namespace {

using std::chrono::duration_cast;
using std::chrono::microseconds;
using std::chrono::milliseconds;
using std::chrono::nanoseconds;

// A hang-up waits until the client has read the last reply: first long enough for the
// pseudo-terminal to pass the bytes on to the slave, then looking again every few ms, up to
// a limit for a client that never reads.
constexpr milliseconds kDrainSettle{10};
constexpr milliseconds kDrainPoll{2};
constexpr milliseconds kDrainLimit{2000};

[[noreturn]] void fail(std::string_view call, std::string_view subject) {
    throw Error(err::PortOpenFailed, sysMessage(call, subject, errno));
}

timespec toTimespec(nanoseconds ns) {
    timespec ts{};
    ts.tv_sec = static_cast<time_t>(ns.count() / 1'000'000'000);
    ts.tv_nsec = static_cast<long>(ns.count() % 1'000'000'000);
    return ts;
}

uint32_t baudOf(speed_t speed) {
    switch (speed) {
        case B50:
            return 50;
        case B75:
            return 75;
        case B110:
            return 110;
        case B134:
            return 134;
        case B150:
            return 150;
        case B200:
            return 200;
        case B300:
            return 300;
        case B600:
            return 600;
        case B1200:
            return 1200;
        case B1800:
            return 1800;
        case B2400:
            return 2400;
        case B4800:
            return 4800;
        case B9600:
            return 9600;
        case B19200:
            return 19200;
        case B38400:
            return 38400;
        case B57600:
            return 57600;
        case B115200:
            return 115200;
        case B230400:
            return 230400;
        case B460800:
            return 460800;
        case B921600:
            return 921600;
        default:
            return 0;
    }
}

speed_t speedOf(uint32_t baud) {
    for (const speed_t s :
         {B50,   B75,   B110,  B134,   B150,   B200,   B300,    B600,    B1200,   B1800,
          B2400, B4800, B9600, B19200, B38400, B57600, B115200, B230400, B460800, B921600})
        if (baudOf(s) == baud) return s;
    return B0;
}

Fd makeTimerFd() {
    Fd fd(::timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC));
    if (!fd) fail("timerfd_create", "");
    return fd;
}

// Empties a timerfd so that the level-triggered watch stops reporting it.
void drainTimerFd(int fd) {
    uint64_t expirations;
    while (::read(fd, &expirations, sizeof expirations) > 0) {
    }
}

}  // namespace

PtyBoard::PtyBoard(EventLoop& loop, Options options)
    : loop_(loop), options_(options), engine_(options.engine) {
    master_ = Fd(::posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
    if (!master_) fail("posix_openpt", "");
    if (::grantpt(master_.get()) != 0) fail("grantpt", "");
    if (::unlockpt(master_.get()) != 0) fail("unlockpt", "");
    std::array<char, 128> name{};
    if (const int rc = ::ptsname_r(master_.get(), name.data(), name.size()); rc != 0) {
        errno = rc;
        fail("ptsname_r", "");
    }
    slavePath_ = name.data();
    slave_ = Fd(::open(slavePath_.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC));
    if (!slave_) fail("open", slavePath_);
    // Raw from the start, so that nothing the board sends is echoed back or altered before a
    // client opens the line and sets it up.
    termios tio{};
    if (::tcgetattr(slave_.get(), &tio) != 0) fail("tcgetattr", slavePath_);
    ::cfmakeraw(&tio);
    if (::tcsetattr(slave_.get(), TCSANOW, &tio) != 0) fail("tcsetattr", slavePath_);

    // Conversions sample their inputs at the monotonic clock, the one a client's time stamps
    // and the conversion log use.
    engine_.setTimeSource(
        [] { return std::chrono::duration_cast<microseconds>(Clock::now().time_since_epoch()); });
    setBoardBaud(options_.boardBaud);
    if (!options_.conversionLog.empty()) {
        log_ = std::make_unique<ConversionLog>(options_.conversionLog);
        engine_.setConversionObserver(log_->observer());
    }

    timer_ = makeTimerFd();
    period_ = makeTimerFd();
    masterWatch_ = loop_.watch(master_.get(), EPOLLIN, [this](uint32_t ev) { onMaster(ev); });
    timerWatch_ = loop_.watch(timer_.get(), EPOLLIN, [this](uint32_t) { onTimer(); });
    periodWatch_ = loop_.watch(period_.get(), EPOLLIN, [this](uint32_t) { onPeriod(); });
}

PtyBoard::~PtyBoard() {
    hangUp();
}

uint32_t PtyBoard::lineBaud() const {
    if (!slave_) return 0;
    termios tio{};
    if (::tcgetattr(slave_.get(), &tio) != 0) return 0;
    return baudOf(::cfgetospeed(&tio));
}

void PtyBoard::refreshPace() {
    if (options_.paceFromLine) engine_.setPaceBaud(lineBaud());
}

void PtyBoard::setBoardBaud(uint32_t baud) {
    const uint32_t before = options_.boardBaud;
    options_.boardBaud = baud;
    if (baud == 0) {
        if (before != 0) engine_.setPaceBaud(0);
        return;
    }
    if (!slave_) return;
    options_.paceFromLine = false;
    engine_.setPaceBaud(baud);
    const speed_t speed = speedOf(baud);
    if (speed == B0) return;  // a rate termios cannot name: every client differs from it
    termios tio{};
    if (::tcgetattr(slave_.get(), &tio) != 0 || ::cfsetispeed(&tio, speed) != 0 ||
        ::cfsetospeed(&tio, speed) != 0 || ::tcsetattr(slave_.get(), TCSANOW, &tio) != 0)
        throw Error(err::PortIo, sysMessage("tcsetattr", slavePath_, errno));
}

uint32_t PtyBoard::mismatchedLineBaud() const {
    if (options_.boardBaud == 0) return 0;
    const uint32_t line = lineBaud();
    return line != options_.boardBaud ? line : 0;
}

void PtyBoard::onMaster(uint32_t events) {
    if (events & EPOLLOUT) flush();
    if (!(events & (EPOLLIN | EPOLLHUP | EPOLLERR)) || hungUp_) return;
    std::array<char, 4096> buf;
    // A bounded number of reads per pass keeps a flooding client from starving the loop.
    for (int i = 0; i < 16 && !hungUp_; ++i) {
        const ssize_t n = ::read(master_.get(), buf.data(), buf.size());
        if (n > 0) {
            if (engine_.hangUpDue()) continue;  // a board that is going away hears nothing
            refreshPace();
            scratch_.clear();
            const std::string_view bytes(buf.data(), static_cast<std::size_t>(n));
            if (const uint32_t line = mismatchedLineBaud(); line != 0)
                engine_.receive(reframe(bytes, line, options_.boardBaud), scratch_);
            else
                engine_.receive(bytes, scratch_);
            enqueue(std::move(scratch_));
            continue;
        }
        if (n < 0 && (errno == EAGAIN || errno == EINTR)) break;
        // EIO or end of file: the line is gone underneath us.
        hangUp();
        return;
    }
    checkHangUp();
}

void PtyBoard::sendUnsolicited(std::string_view bytes) {
    if (hungUp_) return;
    refreshPace();
    enqueue(engine_.unsolicited(bytes));
}

void PtyBoard::setUnsolicitedEvery(std::string bytes, milliseconds period) {
    if (hungUp_) return;
    periodBytes_ = std::move(bytes);
    itimerspec when{};
    if (period.count() > 0) {
        when.it_value = toTimespec(period);
        when.it_interval = when.it_value;
    }
    if (::timerfd_settime(period_.get(), 0, &when, nullptr) != 0)
        throw Error(err::TimerFailed, sysMessage("timerfd_settime", "", errno));
    periodLength_ = period.count() > 0 ? period : milliseconds(0);
    drainTimerFd(period_.get());
}

void PtyBoard::onPeriod() {
    drainTimerFd(period_.get());
    sendUnsolicited(periodBytes_);
}

// Gives each chunk its time on the line. Output never overtakes output queued before it: the
// board sends one thing after the other, as a UART does.
void PtyBoard::enqueue(Output&& out) {
    if (out.empty() || hungUp_) return;
    if (const uint32_t line = mismatchedLineBaud(); line != 0)
        for (Chunk& c : out) c.bytes = reframe(c.bytes, options_.boardBaud, line);
    const Clock::time_point now = Clock::now();
    Clock::time_point t = std::max(now, tail_);
    for (Chunk& c : out) {
        t += c.delay;
        if (t <= now && schedule_.empty()) {
            pending_ += c.bytes;
        } else if (!schedule_.empty() && schedule_.back().due == t) {
            schedule_.back().bytes += c.bytes;
        } else {
            schedule_.push_back(Scheduled{t, std::move(c.bytes)});
        }
    }
    tail_ = t;
    flush();
    armTimer();
}

void PtyBoard::onTimer() {
    drainTimerFd(timer_.get());
    if (hungUp_) return;
    const Clock::time_point now = Clock::now();
    release(now);
    flush();
    if (hungUp_) return;
    if (draining_ && idle() && now >= drainNext_) {
        int unread = 0;
        if (::ioctl(slave_.get(), FIONREAD, &unread) != 0) unread = 0;
        if (unread == 0 || now >= drainDeadline_) {
            hangUp();
            return;
        }
        drainNext_ = now + kDrainPoll;
    }
    armTimer();
}

// Moves every chunk that is due to the bytes waiting to be written.
void PtyBoard::release(Clock::time_point now) {
    while (!schedule_.empty() && schedule_.front().due <= now) {
        pending_ += schedule_.front().bytes;
        schedule_.pop_front();
    }
}

void PtyBoard::flush() {
    if (hungUp_) return;
    while (pendingOffset_ < pending_.size()) {
        const ssize_t n = ::write(master_.get(), pending_.data() + pendingOffset_,
                                  pending_.size() - pendingOffset_);
        if (n > 0) {
            pendingOffset_ += static_cast<std::size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && errno == EAGAIN) break;
        hangUp();
        return;
    }
    if (pendingOffset_ == pending_.size()) {
        pending_.clear();
        pendingOffset_ = 0;
    } else if (pending_.size() - pendingOffset_ > options_.maxQueuedBytes) {
        // Nobody reads: keep the oldest bytes, as the client's receive buffer would.
        const std::size_t keep = pendingOffset_ + options_.maxQueuedBytes;
        dropped_ += pending_.size() - keep;
        pending_.resize(keep);
    }
    if (pendingOffset_ > 0 && pendingOffset_ >= pending_.size() / 2) {
        pending_.erase(0, pendingOffset_);
        pendingOffset_ = 0;
    }
    const bool want = !pending_.empty();
    if (want != wantWrite_) {
        masterWatch_.modify(want ? EPOLLIN | EPOLLOUT : EPOLLIN);
        wantWrite_ = want;
    }
    checkHangUp();
}

void PtyBoard::armTimer() {
    if (hungUp_) return;
    itimerspec when{};  // all zero disarms; a due time already past fires at once
    if (!schedule_.empty()) {
        when.it_value = toTimespec(schedule_.front().due.time_since_epoch());
    } else if (draining_) {
        when.it_value = toTimespec(drainNext_.time_since_epoch());
    }
    if (::timerfd_settime(timer_.get(), TFD_TIMER_ABSTIME, &when, nullptr) != 0)
        throw Error(err::TimerFailed, sysMessage("timerfd_settime", "", errno));
}

// Once the engine has decided to hang up and its last output is out, the line goes down as
// soon as the client has read that output (closing the master discards what the slave has not
// read yet). The timer does the looking.
void PtyBoard::checkHangUp() {
    if (hungUp_ || draining_ || !engine_.hangUpDue() || !idle()) return;
    const Clock::time_point now = Clock::now();
    draining_ = true;
    drainNext_ = now + kDrainSettle;
    drainDeadline_ = now + kDrainLimit;
    armTimer();
}

void PtyBoard::hangUp() {
    if (hungUp_) return;
    hungUp_ = true;
    masterWatch_.reset();
    timerWatch_.reset();
    periodWatch_.reset();
    master_.reset();
    slave_.reset();
    timer_.reset();
    period_.reset();
    schedule_.clear();
    pending_.clear();
    pendingOffset_ = 0;
}

}  // namespace vantrel::sim
