// vantrel: the link to a board shared by `vantrel serve` (see docs/serve.md for the frames).
#include "transport/serve_client.hpp"

#include <poll.h>
#include <signal.h>
#include <sys/epoll.h>
#include <sys/socket.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <system_error>

#include "transport/net_serial.hpp"
#include "transport/serial_base.hpp"
#include "transport/serve_protocol.hpp"
#include "vantrel/error.hpp"

namespace vantrel {

namespace {

using Clock = std::chrono::steady_clock;

[[noreturn]] void badDevice(std::string_view device, std::string_view why) {
    throw Error(err::PortOpenFailed, std::string(device) + ": " + std::string(why));
}

std::string idText(uint64_t id) {
    return std::to_string(id);
}

class ServeClientLink final : public Link {
  public:
    // Bytes queued for a daemon that does not take them, beyond which the connection is dropped.
    static constexpr std::size_t kMaxQueued = 1 << 20;
    static constexpr std::size_t kMaxReadPerPass = 64 * 1024;
    // The longest a reply timer is held for a command the board has not started on: a daemon
    // that never starts it does not keep the control waiting for ever.
    static constexpr std::chrono::seconds kMaxHold{60};
    static constexpr uint32_t kSlowestRate = 300;
    // A daemon says at once that it started or queued a command. Nothing for this long: the
    // daemon is stuck or the way to it is cut (a TCP connection across a partition gives neither
    // a reply nor an error), and the connection is dropped, so that the next open makes a new
    // one rather than wait on this one's backed-off retransmissions.
    static constexpr std::chrono::seconds kSilentLimit{2};

    ServeClientLink(EventLoop& loop, SerialBase& base, std::string_view scheme, ServeDialer dial)
        : loop_(loop), base_(base), scheme_(scheme), dial_(std::move(dial)) {}

    ~ServeClientLink() override { close(); }

    bool isOpen() const override { return open_; }
    // The line is the daemon's: a rate given here has no say over it.
    void apply(const LineFormat&) override {}
    bool hungUp() const override { return open_ && !sock_; }

    void open(const std::string& device, const LineFormat&) override {
        const StopSignalWatch stop;
        ServeConnection c = dial_(device, stop);
        device_ = device.substr(0, device.find_first_of("?#"));
        sock_ = std::move(c.sock);
        reader_ = serve::FrameReader(serve::kMaxReply);
        base_.clearOutput();
        base_.clearInput();
        lost_.clear();
        line_.clear();
        lastId_ = 0;
        lastDone_ = true;
        abandonedUpTo_ = 0;
        try {
            hello(c, stop);
            watchingOut_ = base_.outputPending();
            watch_ = loop_.watch(sock_.get(), EPOLLIN | (watchingOut_ ? EPOLLOUT : 0u),
                                 [this](uint32_t ev) { onEvents(ev); });
        } catch (...) {
            sock_.reset();
            throw;
        }
        open_ = true;
        ++generation_;
    }

    void close() noexcept override {
        watch_.reset();
        watchingOut_ = false;
        sock_.reset();
        open_ = false;
        base_.clearOutput();
    }

    // Each command line is one request, as the daemon takes them: a line ends at its CR, and an
    // "@" at the start of a line is a whole command, as the board reads its input. What has no
    // end yet waits here; a line longer than a request holds is refused.
    void write(std::string_view bytes) override {
        if (!sock_) throw Error(err::PortIo, "write " + lost_);
        if (bytes.empty()) return;
        if (base_.trace()) base_.trace()(TraceDirection::Written, bytes);
        for (const char c : bytes) {
            line_.push_back(c);
            const bool atStart = line_.find_first_not_of('\n') == line_.size() - 1;
            if (c == '\r' || (c == '@' && atStart)) {
                request();
            } else if (line_.size() >= serve::kMaxCommand) {
                line_.clear();
                throw Error(err::InvalidPropertyValue,
                            device_ + ": a command line longer than " +
                                std::to_string(serve::kMaxCommand) +
                                " bytes does not go through vantrel serve");
            }
        }
        flushOut();
        if (!sock_) throw Error(err::PortIo, "write " + lost_);
    }

    // The daemon keeps the board for this client from the operation's first command to its
    // end, so that no other client's command comes in between.
    // The begin goes with the operation's first command, in one write.
    void beginOperation() override { mark("begin", false); }
    void endOperation() override { mark("end", true); }

    void deliverPending() override {
        if (sock_) receive();
    }

    bool holdReplyTimeout() override {
        if (!sock_ || lastDone_ || stopPending()) {
            if (!lastDone_) abandonedUpTo_ = lastId_;
            return false;
        }
        if (!lastStarted_) {
            if (!lastQueued_ && Clock::now() - lastSent_ >= kSilentLimit) {
                abandonedUpTo_ = lastId_;
                drop("the daemon has said nothing of a command for " +
                     std::to_string(kSilentLimit.count()) + " s: connection dropped");
                return false;
            }
            if (Clock::now() - lastSent_ < kMaxHold) return true;
        } else if (grace_) {
            // The timer's current period began before the board started: one more, so that
            // the whole window counts from the start.
            grace_ = false;
            return true;
        } else if (Clock::now() - lastStartedAt_ < boardWindow_) {
            // A control set to a faster rate than the board's line has a shorter window than
            // the board needs: the board's own counts too.
            return true;
        }
        abandonedUpTo_ = lastId_;
        return false;
    }

  private:
    // A stop signal waiting (SIGINT, SIGTERM held blocked by a tool that takes them in turn):
    // the wait on the daemon ends now rather than when the daemon says.
    static bool stopPending() {
        sigset_t pending;
        if (::sigpending(&pending) != 0) return false;
        return sigismember(&pending, SIGINT) == 1 || sigismember(&pending, SIGTERM) == 1;
    }

    void mark(std::string_view verb, bool now) {
        if (!sock_) return;
        frame_.clear();
        serve::appendFrame(frame_, {verb});
        send(frame_);
        if (now) flushOut();
    }

    void request() {
        lastId_ += 1;
        lastDone_ = false;
        lastStarted_ = false;
        lastQueued_ = false;
        grace_ = false;
        lastSent_ = Clock::now();
        frame_.clear();
        serve::appendFrame(frame_, {"cmd", idText(lastId_)}, line_);
        line_.clear();
        send(frame_);
    }

    // The hello and its answer, before the loop watches the socket.
    void hello(const ServeConnection& c, const StopSignalWatch& stop) {
        frame_.clear();
        const std::string_view board =
            c.board.empty() ? std::string_view("-") : std::string_view(c.board);
        if (c.role.empty())
            serve::appendFrame(frame_, {"hello", std::to_string(serve::kVersion), board}, c.token);
        else
            serve::appendFrame(frame_, {"hello", std::to_string(serve::kVersion), board, c.role},
                               c.token);
        send(frame_);
        serve::Frame f;
        while (true) {
            if (!sock_) throw Error(err::PortOpenFailed, lost_);
            const serve::FrameReader::Next next = reader_.next(f);
            if (next == serve::FrameReader::Next::Error)
                throw Error(err::PortOpenFailed,
                            device_ + ": not a vantrel serve daemon (" + reader_.error() + ")");
            if (next == serve::FrameReader::Next::Frame) break;
            pollfd p{sock_.get(),
                     static_cast<short>(POLLIN | (base_.outputPending() ? POLLOUT : 0)), 0};
            const int rc = pollOrStop(p, c.deadline, stop, device_);
            if (rc < 0 && errno == EINTR) continue;
            if (rc < 0) throw Error(err::PortOpenFailed, sysMessage("poll", device_, errno));
            if (rc == 0)
                throw Error(err::PortOpenFailed, device_ + ": no answer in time from the daemon");
            if ((p.revents & POLLOUT) != 0) flushOut();
            if ((p.revents & (POLLIN | POLLHUP | POLLERR)) != 0) readAvailable();
        }
        if (f.verb() == "error")
            throw Error(err::PortOpenFailed,
                        device_ + ": " + std::string(f.arg(1)) + ": " + f.payload);
        if (f.verb() != "hello" || f.arg(1) != std::to_string(serve::kVersion))
            throw Error(err::PortOpenFailed, device_ + ": the daemon speaks another version (" +
                                                 f.verb() + " " + std::string(f.arg(1)) + ")");
        // The reply window a control has at the rate of the board's line, never longer than at
        // the slowest rate a control takes: a daemon that names a rate of 1 does not hold a
        // command for 42 minutes.
        const auto rate = parseUnsigned(f.arg(3));
        boardWindow_ = std::chrono::milliseconds(
            rate && *rate > 0 ? 2'500'000 / std::max<uint32_t>(*rate, kSlowestRate) : 0);
    }

    void onEvents(uint32_t events) {
        if ((events & EPOLLOUT) != 0) {
            flushOut();
            if (!sock_) return;
        }
        if ((events & (EPOLLIN | EPOLLHUP | EPOLLERR)) != 0) receive();
    }

    void send(std::string_view bytes) {
        if (!sock_) return;
        if (base_.outputQueued() + bytes.size() > kMaxQueued) {
            drop("the daemon takes nothing of what is sent: connection dropped");
            return;
        }
        base_.queue(bytes);
    }

    void flushOut() {
        while (sock_ && base_.outputPending()) {
            const std::string_view rest = base_.pendingOutput();
            const ssize_t n = ::send(sock_.get(), rest.data(), rest.size(), MSG_NOSIGNAL);
            if (n > 0) {
                base_.consumeOutput(static_cast<std::size_t>(n));
                continue;
            }
            if (n < 0 && errno == EINTR) continue;
            if (n < 0 && errno == EAGAIN) break;
            drop(std::generic_category().message(errno));
            return;
        }
        const bool wantOut = base_.outputPending();
        if (watch_ && wantOut != watchingOut_) {
            watch_.modify(wantOut ? EPOLLIN | EPOLLOUT : EPOLLIN);
            watchingOut_ = wantOut;
        }
    }

    void drop(std::string reason) {
        lost_ = device_ + ": " + std::move(reason);
        watch_.reset();
        watchingOut_ = false;
        sock_.reset();
        base_.clearOutput();
    }

    void readAvailable() {
        for (std::size_t taken = 0; sock_ && taken < kMaxReadPerPass; taken += buf_.size()) {
            const ssize_t n = ::recv(sock_.get(), buf_.data(), buf_.size(), 0);
            if (n > 0) {
                reader_.append(std::string_view(buf_.data(), static_cast<std::size_t>(n)));
                if (static_cast<std::size_t>(n) < buf_.size()) break;
                continue;
            }
            if (n < 0 && errno == EINTR) continue;
            if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) break;
            drop(n == 0 ? "the daemon closed the connection"
                        : std::generic_category().message(errno));
        }
    }

    // Takes one frame from the daemon; returns whether the input buffer overflowed.
    bool take(const serve::Frame& f) {
        const std::string& verb = f.verb();
        if (verb == "event") return store(f.payload);
        if (verb == "error") {
            drop("the daemon ended the connection: " + std::string(f.arg(1)) +
                 (f.payload.empty() ? "" : ": " + f.payload));
            return false;
        }
        const auto id = serve::parseCount(f.arg(1));
        if (!id) return false;
        if (verb == "started") {
            if (*id == lastId_) {
                lastStarted_ = true;
                lastStartedAt_ = Clock::now();
                grace_ = true;
            }
            return false;
        }
        if (verb == "reply" || verb == "failed") {
            if (*id == lastId_) lastDone_ = true;
            // A reply the control stopped waiting for would be taken for the next one's.
            if (*id <= abandonedUpTo_) return false;
            return store(f.payload);
        }
        if (verb == "queued" && *id == lastId_) lastQueued_ = true;
        return false;  // and verbs of later versions
    }

    bool store(std::string_view bytes) {
        if (bytes.empty()) return false;
        const bool overflowed = base_.store(bytes);
        if (base_.trace()) base_.trace()(TraceDirection::Received, bytes);
        return overflowed;
    }

    // Reads what the daemon sent and notifies RxOver, then Receive. A handler may close,
    // reopen or destroy the component.
    void receive() {
        const uint64_t generation = generation_;
        readAvailable();
        bool overflowed = false;
        serve::Frame f;
        while (true) {
            const serve::FrameReader::Next next = reader_.next(f);
            if (next == serve::FrameReader::Next::More) break;
            if (next == serve::FrameReader::Next::Error) {
                drop("not a vantrel serve daemon (" + reader_.error() + ")");
                break;
            }
            overflowed |= take(f);
        }
        flushOut();
        if (overflowed && (!open_ || generation_ != generation || !base_.notify(comm::RxOver)))
            return;
        if (base_.hasInput() && open_ && generation_ == generation) base_.notify(comm::Receive);
    }

    EventLoop& loop_;
    SerialBase& base_;
    const std::string_view scheme_;
    const ServeDialer dial_;
    std::string device_;  // for messages, without options or board
    bool open_ = false;
    Fd sock_;
    WatchHandle watch_;
    bool watchingOut_ = false;
    std::string lost_;
    uint64_t generation_ = 0;
    serve::FrameReader reader_{serve::kMaxReply};

    std::string line_;  // written bytes not yet a whole command
    uint64_t lastId_ = 0;
    bool lastDone_ = true;      // the last request has its reply (or failed)
    bool lastStarted_ = false;  // the board has started on it
    bool lastQueued_ = false;   // the daemon has it in its queue
    bool grace_ = false;
    Clock::time_point lastSent_;
    Clock::time_point lastStartedAt_;
    std::chrono::milliseconds boardWindow_{0};  // a control's window at the board's rate
    uint64_t abandonedUpTo_ = 0;                // replies to these requests are no longer awaited

    std::string frame_;  // scratch
    std::array<char, 16384> buf_{};
};

}  // namespace

ServeUrl splitServeUrl(std::string_view device, std::string_view scheme,
                       std::initializer_list<std::string_view> known) {
    ServeUrl url;
    std::string_view rest = device.substr(scheme.size());
    const std::size_t hash = rest.find('#');
    if (hash != std::string_view::npos) {
        url.board = rest.substr(hash + 1);
        rest = rest.substr(0, hash);
        if (!serve::isWord(url.board))
            badDevice(device, "the board after \"#\" must be a name without spaces");
    }
    const std::size_t query = rest.find('?');
    url.where = rest.substr(0, query);
    std::string_view options = query == std::string_view::npos ? "" : rest.substr(query + 1);
    while (!options.empty()) {
        const std::size_t amp = options.find('&');
        const std::string_view option = options.substr(0, amp);
        options = amp == std::string_view::npos ? "" : options.substr(amp + 1);
        const std::size_t eq = option.find('=');
        const std::string_view name = option.substr(0, eq);
        std::string names;
        for (const std::string_view k : known)
            names += (names.empty() ? "" : ", ") + std::string(k);
        if (eq == std::string_view::npos ||
            std::find(known.begin(), known.end(), name) == known.end())
            badDevice(device,
                      "unknown option \"" + std::string(option) + "\" (known: " + names + ")");
        url.options.emplace_back(name, option.substr(eq + 1));
    }
    return url;
}

std::chrono::milliseconds serveTimeout(const ServeUrl& url, std::string_view device) {
    std::chrono::milliseconds timeout{3000};
    for (const auto& [name, value] : url.options) {
        if (name != "timeout") continue;
        char* end = nullptr;
        const double seconds = value.empty() ? -1 : std::strtod(value.c_str(), &end);
        if (value.empty() || end != value.c_str() + value.size() || !std::isfinite(seconds) ||
            seconds <= 0 || seconds > 3600)
            badDevice(device, "timeout must be a number of seconds, above 0 and at most 3600");
        timeout = std::chrono::milliseconds(std::max<long long>(1, std::llround(seconds * 1000)));
    }
    return timeout;
}

std::unique_ptr<Link> makeServeClientLink(EventLoop& loop, SerialBase& base,
                                          std::string_view scheme, ServeDialer dial) {
    return std::make_unique<ServeClientLink>(loop, base, scheme, std::move(dial));
}

}  // namespace vantrel
