// vantrel: the termios link: a serial device on this machine, driven by an event loop.
#include <fcntl.h>
#include <sys/epoll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "fd.hpp"
#include "transport/line_events.hpp"
#include "transport/low_latency.hpp"
#include "transport/posix_serial.hpp"
#include "transport/serial_base.hpp"
#include "vantrel/error.hpp"
#include "vantrel/platform.hpp"
#include "vantrel/ports.hpp"

namespace vantrel {

namespace {

struct Rate {
    unsigned bauds;
    speed_t speed;
};

constexpr Rate kRates[] = {
    {50, B50},           {75, B75},           {110, B110},         {134, B134},
    {150, B150},         {200, B200},         {300, B300},         {600, B600},
    {1200, B1200},       {1800, B1800},       {2400, B2400},       {4800, B4800},
    {9600, B9600},       {19200, B19200},     {38400, B38400},     {57600, B57600},
    {115200, B115200},   {230400, B230400},   {460800, B460800},   {500000, B500000},
    {576000, B576000},   {921600, B921600},   {1000000, B1000000}, {1152000, B1152000},
    {1500000, B1500000}, {2000000, B2000000}, {2500000, B2500000}, {3000000, B3000000},
    {3500000, B3500000}, {4000000, B4000000},
};

// The line format with the termios speed of its rate.
struct LineSettings : LineFormat {
    speed_t speed = B9600;

    // The CSIZE, PARENB, PARODD and CSTOPB bits of the line format.
    tcflag_t formatFlags() const {
        tcflag_t flags = dataBits == 5 ? CS5 : dataBits == 6 ? CS6 : dataBits == 7 ? CS7 : CS8;
        if (parity != 'N') flags |= PARENB;
        if (parity == 'O') flags |= PARODD;
        if (stopBits == 2) flags |= CSTOPB;
        return flags;
    }
};

constexpr tcflag_t kFormatFlags = CSIZE | PARENB | PARODD | CSTOPB;

// The format with its termios speed, if termios has one for its rate.
std::optional<LineSettings> termiosSettings(const LineFormat& format) {
    for (const Rate& r : kRates) {
        if (r.bauds == format.bauds) return LineSettings{format, r.speed};
    }
    return {};
}

// Raw bytes, no flow control of either kind, the given line format.
void makeLine(termios& t, const LineSettings& s) {
    ::cfmakeraw(&t);
    t.c_iflag &= ~(IXON | IXOFF | IXANY | INPCK);
    t.c_cflag &= ~(kFormatFlags | CRTSCTS);
    t.c_cflag |= s.formatFlags() | CLOCAL | CREAD;
    // Reads never block (O_NONBLOCK); VMIN=1 makes readiness mean "at least one byte".
    t.c_cc[VMIN] = 1;
    t.c_cc[VTIME] = 0;
    ::cfsetispeed(&t, s.speed);
    ::cfsetospeed(&t, s.speed);
}

class PosixLink final : public Link {
  public:
    PosixLink(EventLoop& loop, SerialBase& base, LineSupport lines)
        : loop_(loop), base_(base), lineSupport_(std::move(lines)) {}

    ~PosixLink() override { close(); }

    bool takes(const LineFormat& format) const override {
        return termiosSettings(format).has_value();
    }

    void apply(const LineFormat& format) override {
        termios t{};
        if (::tcgetattr(fd_.get(), &t) != 0) {
            throw Error(err::SettingsFailed, sysMessage("tcgetattr", path_, errno));
        }
        applyLine(fd_.get(), path_, t, *termiosSettings(format), err::SettingsFailed);
    }

    bool isOpen() const override { return static_cast<bool>(fd_); }

    void write(std::string_view bytes) override {
        if (hungUp_) throw Error(err::PortIo, "write " + path_ + ": the device has gone away");
        if (base_.outputPending()) {
            // Bytes are still waiting for the device: keep the order.
            base_.queue(bytes);
            return;
        }
        const std::optional<int> error = writeSome(bytes);
        if (error) {
            stopWatching();
            throw Error(err::PortIo, sysMessage("write", path_, *error));
        }
        if (!bytes.empty()) {
            base_.queue(bytes);
            watch_.modify(EPOLLIN | EPOLLOUT);
        }
    }

    void deliverPending() override {
        if (fd_ && !hungUp_) receive(false);
    }

    bool hungUp() const override { return hungUp_; }

    void open(const std::string& path, const LineFormat& format) override {
        const LineSettings settings = *termiosSettings(format);
        Fd fd(::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
        if (!fd) {
            const int e = errno;
            const std::string note = e == ENOENT ? windowsNameNote(path) : std::string();
            throw Error(err::PortOpenFailed,
                        sysMessage("open", path, e) + (note.empty() ? "" : "; " + note));
        }
        // A file, a FIFO or /dev/null opens too: say what it is not, before an ioctl says it
        // in its own words.
        if (!::isatty(fd.get())) throw Error(err::PortOpenFailed, path + " is not a terminal");
        // TIOCEXCL keeps other users out, but root passes it; the lock is what stops a second
        // opener that also locks, whoever runs it.
        if (::flock(fd.get(), LOCK_EX | LOCK_NB) != 0) {
            const int e = errno == EWOULDBLOCK ? EBUSY : errno;
            throw Error(err::PortOpenFailed, sysMessage("open", path, e));
        }
        if (::ioctl(fd.get(), TIOCEXCL) != 0) {
            throw Error(err::PortOpenFailed, sysMessage("ioctl TIOCEXCL", path, errno));
        }
        termios saved{};
        if (::tcgetattr(fd.get(), &saved) != 0) {
            throw Error(err::PortOpenFailed, sysMessage("tcgetattr", path, errno));
        }
        applyLine(fd.get(), path, saved, settings, err::PortOpenFailed);
        const bool lowLatency = requestLowLatency(fd.get());
        // Whatever the device received before it was ours is not an answer to anything we sent.
        ::tcflush(fd.get(), TCIFLUSH);
        WatchHandle watch;
        try {
            watch = loop_.watch(fd.get(), EPOLLIN, [this](uint32_t ev) { onEvents(ev); });
        } catch (...) {
            if (lowLatency) dropLowLatency(fd.get());
            ::tcsetattr(fd.get(), TCSANOW, &saved);
            throw;
        }

        fd_ = std::move(fd);
        watch_ = std::move(watch);
        path_ = path;
        saved_ = saved;
        lowLatency_ = lowLatency;
        ++generation_;
        base_.clearInput();
        watchLines();
    }

  private:
    // Devices whose driver counts line events get a detector, and a helper thread that wakes
    // the loop when a modem line changes; all others get nothing and pay nothing.
    void watchLines() noexcept {
        try {
            lines_ = LineEventDetector::create(lineSupport_.source(fd_.get()));
            if (!lines_) return;
            lineWaiter_ = LineWaiter::start(lineSupport_.wait(fd_.get()));
            if (!lineWaiter_) return;
            lineWatch_ = loop_.watch(lineWaiter_->fd(), EPOLLIN, [this](uint32_t) {
                lineWaiter_->drain();
                notifyLines(generation_);
            });
        } catch (...) {
            // Without the helper, line errors are still read after every received block.
            lineWaiter_.reset();
        }
    }

    // A device that hung up or failed stays open until the owner closes it, so that the port is
    // closed only on request; it is no longer watched, since a dead descriptor is always ready.
    void stopWatching() noexcept {
        hungUp_ = true;
        watch_.reset();
        lineWatch_.reset();
        lineWaiter_.reset();
        lines_.reset();
        base_.clearOutput();
    }

    // Closing never waits for the device: the saved line settings come back at once and bytes
    // the component still queued are dropped.
    void close() noexcept override {
        if (!fd_) return;
        watch_.reset();
        // The helper thread waits on the descriptor: it ends before the descriptor is closed.
        lineWatch_.reset();
        lineWaiter_.reset();
        lines_.reset();
        if (lowLatency_) dropLowLatency(fd_.get());
        lowLatency_ = false;
        ::tcsetattr(fd_.get(), TCSANOW, &saved_);
        ::ioctl(fd_.get(), TIOCNXCL);
        // Unlock explicitly: a child forked meanwhile shares the descriptor, and the lock with it.
        ::flock(fd_.get(), LOCK_UN);
        fd_.reset();
        hungUp_ = false;
        base_.clearOutput();
    }

    // Puts the line in raw mode with the given format, starting from `before`, and checks that
    // the device took all of it (tcsetattr reports success when any part was applied; a pty,
    // for one, keeps 8 data bits and no parity whatever it is told). On failure the line goes
    // back to `before`.
    static void applyLine(int fd, const std::string& path, const termios& before,
                          const LineSettings& s, int32_t errorNumber) {
        termios t = before;
        makeLine(t, s);
        std::string failure;
        termios now{};
        if (::tcsetattr(fd, TCSANOW, &t) != 0) {
            failure = sysMessage("tcsetattr", path, errno);
        } else if (::tcgetattr(fd, &now) != 0) {
            failure = sysMessage("tcgetattr", path, errno);
        } else if (::cfgetospeed(&now) != s.speed ||
                   (now.c_cflag & kFormatFlags) != s.formatFlags()) {
            failure = "tcsetattr " + path + ": the device refused " + s.text();
        }
        if (failure.empty()) return;
        ::tcsetattr(fd, TCSANOW, &before);
        throw Error(errorNumber, failure);
    }

    void onEvents(uint32_t events) {
        if ((events & EPOLLOUT) != 0 && base_.outputPending()) {
            std::string_view rest = base_.pendingOutput();
            const size_t before = rest.size();
            if (writeSome(rest)) {
                // A device that fails a write is gone; this is the same as a hang-up.
                receive(true);
                return;
            }
            base_.consumeOutput(before - rest.size());
            if (!base_.outputPending() && watch_) watch_.modify(EPOLLIN);
        }
        if (fd_ && !hungUp_ && (events & (EPOLLIN | EPOLLHUP | EPOLLERR)) != 0) {
            receive((events & (EPOLLHUP | EPOLLERR)) != 0);
        }
    }

    // Writes from the front of bytes until the device takes no more; bytes keeps what is left.
    // Returns the errno of a failed write.
    std::optional<int> writeSome(std::string_view& bytes) {
        while (!bytes.empty()) {
            const ssize_t n = ::write(fd_.get(), bytes.data(), bytes.size());
            if (n < 0) {
                if (errno == EINTR) continue;
                if (errno == EAGAIN) return {};
                return errno;
            }
            if (n == 0) return {};
            if (base_.trace())
                base_.trace()(TraceDirection::Written, bytes.substr(0, static_cast<size_t>(n)));
            bytes.remove_prefix(static_cast<size_t>(n));
        }
        return {};
    }

    // Reads what the device holds, notifies the line errors and changes that came with it,
    // RxOver (if bytes had to be dropped) and Receive (if any wait), and stops watching the
    // device when it hung up or failed. The handler may close, reopen or destroy the component.
    void receive(bool hungUp) {
        const uint64_t generation = generation_;
        bool overflowed = false;
        bool arrived = false;
        while (fd_ && generation_ == generation) {
            const ssize_t n = ::read(fd_.get(), readBuf_.data(), readBuf_.size());
            if (n > 0) {
                const std::string_view block(readBuf_.data(), static_cast<size_t>(n));
                overflowed |= base_.store(block);
                arrived = true;
                if (base_.trace()) base_.trace()(TraceDirection::Received, block);
                // A short read took all there was; the watch is level-triggered, so whatever
                // comes next is reported again. This saves a read that would only say EAGAIN.
                if (!hungUp && static_cast<size_t>(n) < readBuf_.size()) break;
                continue;
            }
            if (n < 0 && errno == EINTR) continue;
            if (n < 0 && errno == EAGAIN) break;
            hungUp = true;  // end of file, EIO after a hang-up, or another read failure
            break;
        }
        // Line errors wake no waiter: they are read here, with the bytes they came with.
        if (arrived && !notifyLines(generation)) return;
        if (overflowed && !base_.notify(comm::RxOver)) return;
        if (base_.hasInput() && !base_.notify(comm::Receive)) return;
        if (hungUp && fd_ && generation_ == generation) stopWatching();
    }

    // Notifies what changed on the lines of the port opened as `generation`, while it stays
    // open. Returns false when a handler destroyed the component.
    bool notifyLines(uint64_t generation) {
        if (!lines_ || generation_ != generation) return true;
        for (const int16_t code : lines_->poll()) {
            if (!fd_ || generation_ != generation) break;
            if (!base_.notify(code)) return false;
        }
        return true;
    }

    EventLoop& loop_;
    SerialBase& base_;
    const LineSupport lineSupport_;

    Fd fd_;
    WatchHandle watch_;
    std::string path_;
    termios saved_{};
    bool lowLatency_ = false;  // we set the driver's low-latency flag and clear it on close
    std::unique_ptr<LineEventDetector> lines_;
    std::unique_ptr<LineWaiter> lineWaiter_;
    WatchHandle lineWatch_;
    bool hungUp_ = false;      // the device went away; see stopWatching()
    uint64_t generation_ = 0;  // counts opens, so a handler's close and reopen is noticed

    std::array<char, 4096> readBuf_{};
};

}  // namespace

std::unique_ptr<Link> makePosixLink(EventLoop& loop, SerialBase& base) {
    return std::make_unique<PosixLink>(loop, base, LineSupport{});
}

std::unique_ptr<SerialComm> makePosixSerial(EventLoop& loop) {
    return makePosixSerial(loop, defaultInBufferSize);
}

std::unique_ptr<SerialComm> makePosixSerial(EventLoop& loop, std::size_t inBufferSize) {
    return makePosixSerial(loop, inBufferSize, LineSupport{});
}

std::unique_ptr<SerialComm> makePosixSerial(EventLoop& loop, std::size_t inBufferSize,
                                            LineSupport lines) {
    auto kind = std::make_shared<LinkKind>(
        LinkKind{"termios", [lines = std::move(lines)](EventLoop& l, SerialBase& base) {
                     return std::unique_ptr<Link>(std::make_unique<PosixLink>(l, base, lines));
                 }});
    return std::make_unique<SerialBase>(
        loop, inBufferSize, portMapDevices(),
        [kind](std::string_view) -> const LinkKind& { return *kind; });
}

}  // namespace vantrel
