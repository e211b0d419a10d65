// vantrel: the links to a serial server over TCP, raw ("socket://") or with RFC 2217.
#include "transport/net_serial.hpp"
#include "no_case.hpp"

#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <functional>
#include <mutex>
#include <optional>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

#include "fd.hpp"
#include "transport/schemes.hpp"
#include "transport/serial_base.hpp"
#include "transport/telnet_codec.hpp"
#include "vantrel/error.hpp"

namespace vantrel {

namespace {

using Clock = std::chrono::steady_clock;

// SET-PARITY's value for the format's parity.
uint8_t parityValue(const LineFormat& f) {
    return f.parity == 'O'   ? telnet::cpo::ParityOdd
           : f.parity == 'E' ? telnet::cpo::ParityEven
                             : telnet::cpo::ParityNone;
}

// A raw TCP connection to a serial server: the bytes go as they are, and the line is the
// server's (a format is taken but has no say over the far line).
class TcpLink : public Link {
  public:
    // Bytes queued for a server that does not take them, beyond which it is dropped.
    static constexpr std::size_t kMaxQueued = 1 << 20;
    // Bytes read in one pass of the loop.
    static constexpr std::size_t kMaxReadPerPass = 64 * 1024;
    // How long a raw server must be quiet after connecting before the open ends, and the
    // most the open waits for that.
    static constexpr std::chrono::milliseconds kSettle{50};
    static constexpr std::chrono::milliseconds kSettleLimit{500};

    TcpLink(EventLoop& loop, SerialBase& base, std::string_view scheme)
        : loop_(loop), base_(base), scheme_(scheme) {}

    ~TcpLink() override { close(); }

    void apply(const LineFormat& format) override { format_ = format; }

    bool isOpen() const override { return open_; }

    void write(std::string_view bytes) override {
        if (!sock_) throw Error(err::PortIo, "write " + lost_);
        if (bytes.empty()) return;
        if (base_.trace()) base_.trace()(TraceDirection::Written, bytes);
        sendData(bytes);
        if (!sock_) throw Error(err::PortIo, "write " + lost_);
    }

    void deliverPending() override {
        if (sock_) receive();
    }

    bool hungUp() const override { return open_ && !sock_; }

    void open(const std::string& device, const LineFormat& format) override {
        const NetAddress address = parseNetAddress(device, scheme_);
        const Clock::time_point deadline = Clock::now() + address.timeout;
        const StopSignalWatch stop;
        Fd sock = connectTo(address, deadline, stop);
        address_ = address;
        format_ = format;
        sock_ = std::move(sock);
        resetConnection();
        try {
            handshake(deadline, stop);
            watchingOut_ = !held_ && base_.outputPending();
            watch_ = loop_.watch(sock_.get(), EPOLLIN | (watchingOut_ ? EPOLLOUT : 0u),
                                 [this](uint32_t ev) { onEvents(ev); });
        } catch (...) {
            sock_.reset();
            throw;
        }
        open_ = true;
        ++generation_;
    }

    // Closing never waits for the server: what is still queued is dropped.
    void close() noexcept override {
        watch_.reset();
        watchingOut_ = false;
        sock_.reset();
        open_ = false;
        base_.clearOutput();
    }

  protected:
    // What the protocol does between the connection and the open (RFC 2217: the negotiation).
    // What the far port sent before this connection (a banner, replies another client left
    // unread) is not an answer to anything we send. A raw connection has no exchange that
    // marks where such bytes end: they are taken and dropped until the server has been quiet
    // for kSettle, for at most kSettleLimit and never beyond the open's deadline.
    virtual void handshake(Clock::time_point deadline, const StopSignalWatch& stop) {
        const Clock::time_point limit = std::min(deadline, Clock::now() + kSettleLimit);
        Clock::time_point quiet = Clock::now() + kSettle;
        while (sock_) {
            pollfd p{sock_.get(), POLLIN, 0};
            const int rc = pollOrStop(p, std::min(quiet, limit), stop, deviceText());
            if (rc < 0 && errno == EINTR) continue;
            if (rc < 0) throw Error(err::PortOpenFailed, sysMessage("poll", deviceText(), errno));
            if (rc == 0) break;
            readAvailable();
            base_.clearInput();
            quiet = Clock::now() + kSettle;
        }
        if (!sock_) throw Error(err::PortOpenFailed, lost_);
    }
    // Forgets the state of the previous connection.
    virtual void resetProtocol() {}
    // Sends data bytes (RFC 2217: with their IACs doubled).
    virtual void sendData(std::string_view bytes) { send(bytes); }
    // Takes one received block into the input buffer; returns whether the buffer overflowed.
    virtual bool take(std::string_view block) {
        const bool overflowed = base_.store(block);
        if (base_.trace()) base_.trace()(TraceDirection::Received, block);
        return overflowed;
    }
    // After a read: the line events the protocol reported, for the owner.
    virtual void afterRead(std::vector<int16_t>& events) { (void)events; }

    void resetConnection() {
        base_.clearOutput();
        base_.clearInput();
        held_ = false;
        lost_.clear();
        resetProtocol();
    }

    void onEvents(uint32_t events) {
        if ((events & EPOLLOUT) != 0) {
            flushOut();
            if (!sock_) return;
        }
        if ((events & (EPOLLIN | EPOLLHUP | EPOLLERR)) != 0) receive();
    }

    // Queues bytes behind what waits already and writes what the socket takes now. A server
    // that leaves more than kMaxQueued bytes untaken (one that sends requests and never reads
    // the answers) is dropped rather than let the queue grow.
    void send(std::string_view bytes) {
        if (!sock_ || bytes.empty()) return;
        if (base_.outputQueued() + bytes.size() > kMaxQueued) {
            drop("the server takes nothing of what is sent (" +
                 std::to_string(base_.outputQueued()) + " bytes waiting): connection dropped");
            return;
        }
        base_.queue(bytes);
        flushOut();
    }

    void flushOut() {
        while (sock_ && !held_ && base_.outputPending()) {
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
        const bool wantOut = !held_ && base_.outputPending();
        if (watch_ && wantOut != watchingOut_) {
            watch_.modify(wantOut ? EPOLLIN | EPOLLOUT : EPOLLIN);
            watchingOut_ = wantOut;
        }
    }

    // The connection is gone: as with a device that went away, nothing is watched or sent any
    // more, hungUp() holds, and the port stays open until it is closed; write reports why.
    void drop(std::string reason) {
        lost_ = deviceText() + ": " + std::move(reason);
        watch_.reset();
        watchingOut_ = false;
        sock_.reset();
        base_.clearOutput();
    }

    // Reads what the socket holds, at most kMaxReadPerPass bytes (the watch is level-triggered:
    // the rest comes at the next pass), so that what a pass keeps stays bounded however fast
    // the server sends. Returns whether the input buffer overflowed.
    bool readAvailable() {
        bool overflowed = false;
        for (std::size_t taken = 0; sock_ && taken < kMaxReadPerPass; taken += readBuf_.size()) {
            const ssize_t n = ::recv(sock_.get(), readBuf_.data(), readBuf_.size(), 0);
            if (n > 0) {
                overflowed |= take(std::string_view(readBuf_.data(), static_cast<std::size_t>(n)));
                if (static_cast<std::size_t>(n) < readBuf_.size()) break;
                continue;
            }
            if (n < 0 && errno == EINTR) continue;
            if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) break;
            drop(n == 0 ? "the server closed the connection"
                        : std::generic_category().message(errno));
        }
        return overflowed;
    }

    // Reads what the server sent and notifies, in order: line events, RxOver, Receive. A
    // handler may close, reopen or destroy the component.
    void receive() {
        const uint64_t generation = generation_;
        const bool overflowed = readAvailable();
        events_.clear();
        afterRead(events_);
        const std::vector<int16_t> events = events_;  // a handler may receive again
        for (const int16_t code : events) {
            if (!open_ || generation_ != generation) return;
            if (!base_.notify(code)) return;
        }
        if (overflowed && (!open_ || generation_ != generation || !base_.notify(comm::RxOver)))
            return;
        if (base_.hasInput() && open_ && generation_ == generation && !base_.notify(comm::Receive))
            return;
    }

    std::string deviceText() const { return std::string(scheme_) + endpointText(address_); }

    EventLoop& loop_;
    SerialBase& base_;
    const std::string_view scheme_;
    LineFormat format_;
    NetAddress address_;
    bool open_ = false;
    Fd sock_;
    WatchHandle watch_;
    bool watchingOut_ = false;
    bool held_ = false;  // the server asked us to hold our output
    std::string lost_;   // why the connection ended, while the port is still open
    uint64_t generation_ = 0;
    std::vector<int16_t> events_;
    std::array<char, 4096> readBuf_{};
};

// A serial server with RFC 2217: the data travels with its IACs doubled, the line settings go
// to the far port and its line events come back. Any rate a 32-bit SET-BAUDRATE can carry goes
// to the server, which decides which rates its device takes.
class Rfc2217Link final : public TcpLink {
  public:
    Rfc2217Link(EventLoop& loop, SerialBase& base) : TcpLink(loop, base, "rfc2217://") {}

    void apply(const LineFormat& format) override {
        format_ = format;
        if (sock_) send(settingsCommands());
    }

  private:
    void resetProtocol() override {
        decoder_ = {};
        options_ = {};
        modemState_ = 0;
        pendingAcks_ = 0;
    }

    void sendData(std::string_view bytes) override {
        frame_.clear();
        telnet::appendEscaped(frame_, bytes);
        send(frame_);
    }

    bool take(std::string_view block) override {
        data_.clear();
        decoder_.feed(block, data_, commands_);
        const bool overflowed = base_.store(data_);
        if (base_.trace() && !data_.empty()) base_.trace()(TraceDirection::Received, data_);
        return overflowed;
    }

    void afterRead(std::vector<int16_t>& events) override {
        handleCommands(&events);
        if (refusedWhileOpen_) {
            refusedWhileOpen_ = false;
            events.push_back(comm::DCB);
        }
    }

    // What the client says first: binary both ways, no go-aheads, and COM-PORT-OPTION.
    std::string openingRequests() {
        using namespace telnet;
        return options_.requestLocal(kBinary) + options_.requestRemote(kBinary) +
               options_.requestLocal(kSuppressGoAhead) + options_.requestRemote(kSuppressGoAhead) +
               options_.requestLocal(kComPort);
    }

    // The line format, each part acknowledged by the server on its own.
    std::string settingsCommands() {
        using namespace telnet;
        pendingAcks_ = 0x0F;
        requested_ = format_;
        return comPortCommand(cpo::SetBaudrate, baudValue(format_.bauds)) +
               comPortCommand(cpo::SetDatasize,
                              std::string(1, static_cast<char>(format_.dataBits))) +
               comPortCommand(cpo::SetParity,
                              std::string(1, static_cast<char>(parityValue(format_)))) +
               comPortCommand(cpo::SetStopsize,
                              std::string(1, static_cast<char>(format_.stopBits)));
    }

    // Agrees the options, then sets the line and asks for its events, all before `deadline`.
    // No flow control and DTR and RTS on, as the termios link opens its lines; these are
    // not waited for, since a server in front of a device without modem lines (ser2net on a
    // pseudo-terminal) never answers them.
    void handshake(Clock::time_point deadline, const StopSignalWatch& stop) override {
        using namespace telnet;
        send(openingRequests());
        waitUntil(
            deadline, stop, [this] { return options_.local(kComPort) != Options::State::WantYes; },
            "the server's answer to COM-PORT-OPTION");
        if (options_.local(kComPort) != Options::State::Yes) {
            throw Error(err::PortOpenFailed, deviceText() + ": the server refused COM-PORT-OPTION");
        }
        const std::string ctl =
            comPortCommand(cpo::SetControl, std::string(1, cpo::NoFlowControl)) +
            comPortCommand(cpo::SetControl, std::string(1, cpo::DtrOn)) +
            comPortCommand(cpo::SetControl, std::string(1, cpo::RtsOn)) +
            comPortCommand(cpo::SetLinestateMask,
                           std::string(1, static_cast<char>(cpo::kLineErrorMask))) +
            comPortCommand(cpo::SetModemstateMask, std::string(1, '\xFF'));
        send(settingsCommands() + ctl);
        waitUntil(
            deadline, stop, [this] { return pendingAcks_ == 0 || !refused_.empty(); },
            "the server's answer to the line settings");
        if (!refused_.empty()) throw Error(err::PortOpenFailed, refused_);
        // Whatever the device received before it was ours is not an answer to anything we sent.
        base_.clearInput();
    }

    // Reads and answers the server, without the loop, until done() holds or `deadline` passes.
    template <class Done>
    void waitUntil(Clock::time_point deadline, const StopSignalWatch& stop, Done done,
                   std::string_view what) {
        const std::string where = deviceText();
        refused_.clear();
        while (!done()) {
            if (!sock_) throw Error(err::PortOpenFailed, lost_);
            flushOut();
            const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
            if (left.count() <= 0) {
                throw Error(err::PortOpenFailed,
                            where + ": no answer in time (" + std::string(what) + ")");
            }
            pollfd p{sock_.get(),
                     static_cast<short>(POLLIN | (base_.outputPending() ? POLLOUT : 0)), 0};
            const int rc = pollOrStop(p, deadline, stop, where);
            if (rc < 0 && errno != EINTR)
                throw Error(err::PortOpenFailed, sysMessage("poll", where, errno));
            if (rc > 0 && (p.revents & (POLLIN | POLLHUP | POLLERR)) != 0) {
                readAvailable();
                handleCommands(nullptr);
            }
        }
    }

    // Answers negotiations and takes in the server's COM-PORT-OPTION messages; line events go
    // to `events` (none while opening).
    void handleCommands(std::vector<int16_t>* events) {
        using namespace telnet;
        reply_.clear();
        for (const Command& c : commands_) {
            if (c.verb != SB) {
                reply_ += options_.answer(c.verb, c.option);
                continue;
            }
            if (c.option != kComPort || c.payload.empty()) continue;
            const auto command = static_cast<uint8_t>(c.payload[0]);
            const std::string_view value = std::string_view(c.payload).substr(1);
            const auto byte = value.empty() ? uint8_t{0} : static_cast<uint8_t>(value[0]);
            switch (command) {
                case cpo::kServerOffset + cpo::SetBaudrate:
                    acknowledge(0x01, baudFromValue(value) == requested_.bauds, "rate");
                    break;
                case cpo::kServerOffset + cpo::SetDatasize:
                    acknowledge(0x02, byte == requested_.dataBits, "data bits");
                    break;
                case cpo::kServerOffset + cpo::SetParity:
                    acknowledge(0x04, byte == parityValue(requested_), "parity");
                    break;
                case cpo::kServerOffset + cpo::SetStopsize:
                    acknowledge(0x08, byte == requested_.stopBits, "stop bits");
                    break;
                case cpo::kServerOffset + cpo::NotifyLinestate:
                    if (events) lineStateEvents(byte, *events);
                    break;
                case cpo::kServerOffset + cpo::NotifyModemstate:
                    if (events) modemStateEvents(modemState_, byte, *events);
                    modemState_ = byte;
                    break;
                case cpo::kServerOffset + cpo::FlowControlSuspend:
                    held_ = true;
                    break;
                case cpo::kServerOffset + cpo::FlowControlResume:
                    held_ = false;
                    break;
                default:
                    break;  // SET-CONTROL answers and the rest change nothing here
            }
        }
        commands_.clear();
        send(reply_);
        flushOut();
    }

    // An answer to one part of the line settings. A server that sets something else than
    // was asked has refused it: opening fails; while open, a DCB error is notified.
    void acknowledge(uint8_t bit, bool matches, std::string_view part) {
        if ((pendingAcks_ & bit) == 0) return;
        pendingAcks_ &= static_cast<uint8_t>(~bit);
        if (matches) return;
        refused_ = deviceText() + ": the server refused the " + std::string(part) + " of " +
                   requested_.text();
        if (open_) refusedWhileOpen_ = true;
    }

    LineFormat requested_;  // the format last sent to the server
    telnet::Decoder decoder_;
    telnet::Options options_;
    std::vector<telnet::Command> commands_;
    uint8_t modemState_ = 0;
    uint8_t pendingAcks_ = 0;  // parts of the line settings not yet answered
    std::string refused_;
    bool refusedWhileOpen_ = false;

    std::string frame_;  // scratch: data with its IACs doubled
    std::string reply_;  // scratch: answers to the server's negotiations
    std::string data_;   // scratch: the data of one received block
};

}  // namespace

std::unique_ptr<Link> makeTcpLink(EventLoop& loop, SerialBase& base) {
    return std::make_unique<TcpLink>(loop, base, "socket://");
}

std::unique_ptr<Link> makeRfc2217Link(EventLoop& loop, SerialBase& base) {
    return std::make_unique<Rfc2217Link>(loop, base);
}

std::unique_ptr<SerialComm> makeNetSerial(EventLoop& loop, std::size_t inBufferSize) {
    static const LinkKind kTcp{"socket", makeTcpLink};
    return std::make_unique<SerialBase>(loop, inBufferSize, portMapDevices(),
                                        [](std::string_view device) -> const LinkKind& {
                                            return device.empty() ? kTcp : linkKindFor(device);
                                        });
}

}  // namespace vantrel
