// vantrel: the serial component on a TCP connection to a serial server, raw or with RFC 2217.
#include "transport/net_serial.hpp"

#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <optional>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

#include "fd.hpp"
#include "transport/serial_base.hpp"
#include "transport/telnet_codec.hpp"
#include "vantrel/error.hpp"

namespace vantrel {

namespace {

using Clock = std::chrono::steady_clock;

constexpr std::string_view kRfc2217 = "rfc2217://";
constexpr std::string_view kSocket = "socket://";

bool startsWithNoCase(std::string_view text, std::string_view prefix) {
    if (text.size() < prefix.size()) return false;
    for (std::size_t i = 0; i < prefix.size(); ++i) {
        if (std::tolower(static_cast<unsigned char>(text[i])) != prefix[i]) return false;
    }
    return true;
}

[[noreturn]] void badAddress(std::string_view device, std::string_view why) {
    throw Error(err::PortOpenFailed, std::string(device) + ": " + std::string(why));
}

// SET-PARITY's value for the format's parity.
uint8_t parityValue(const LineFormat& f) {
    return f.parity == 'O'   ? telnet::cpo::ParityOdd
           : f.parity == 'E' ? telnet::cpo::ParityEven
                             : telnet::cpo::ParityNone;
}

std::string endpointText(const NetAddress& a) {
    const bool v6 = a.host.find(':') != std::string::npos;
    return (v6 ? "[" + a.host + "]" : a.host) + ":" + std::to_string(a.port);
}

}  // namespace

void AddrInfoFree::operator()(addrinfo* list) const {
    if (list != nullptr) ::freeaddrinfo(list);
}

std::optional<std::pair<int, AddrInfoList>> lookUpBefore(std::function<int(addrinfo**)> lookup,
                                                         Clock::time_point deadline) {
    struct State {
        std::mutex m;
        std::condition_variable cv;
        bool done = false;
        bool abandoned = false;
        int rc = 0;
        addrinfo* list = nullptr;
    };
    const auto state = std::make_shared<State>();
    try {
        std::thread([state, lookup] {
            addrinfo* list = nullptr;
            const int rc = lookup(&list);
            const std::lock_guard<std::mutex> hold(state->m);
            if (state->abandoned) {
                if (list != nullptr) ::freeaddrinfo(list);
                return;
            }
            state->rc = rc;
            state->list = list;
            state->done = true;
            state->cv.notify_one();
        }).detach();
    } catch (const std::system_error&) {
        // No thread to be had: the lookup waits here.
        addrinfo* list = nullptr;
        const int rc = lookup(&list);
        return std::pair{rc, AddrInfoList(list)};
    }
    std::unique_lock<std::mutex> hold(state->m);
    if (!state->cv.wait_until(hold, deadline, [&] { return state->done; })) {
        state->abandoned = true;
        return std::nullopt;
    }
    return std::pair{state->rc, AddrInfoList(state->list)};
}

namespace {

// Connects to the first address of `a` that answers before `deadline`.
Fd connectTo(const NetAddress& a, Clock::time_point deadline) {
    const std::string where = endpointText(a);
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_NUMERICSERV;
    const std::string service = std::to_string(a.port);
    // An address needs no lookup; a name may wait on a name server, so not beyond the deadline.
    addrinfo numeric = hints;
    numeric.ai_flags |= AI_NUMERICHOST;
    addrinfo* found = nullptr;
    int rc = ::getaddrinfo(a.host.c_str(), service.c_str(), &numeric, &found);
    AddrInfoList list(found);
    if (rc == EAI_NONAME) {
        auto named = lookUpBefore(
            [host = a.host, service, hints](addrinfo** out) {
                return ::getaddrinfo(host.c_str(), service.c_str(), &hints, out);
            },
            deadline);
        if (!named)
            throw Error(err::PortOpenFailed,
                        "resolve " + a.host + ": no answer from the name server in time");
        rc = named->first;
        list = std::move(named->second);
    }
    if (rc != 0) throw Error(err::PortOpenFailed, "resolve " + a.host + ": " + ::gai_strerror(rc));
    found = list.get();
    std::string failure = "connect " + where + ": no address";
    for (const addrinfo* ai = found; ai != nullptr; ai = ai->ai_next) {
        Fd fd(::socket(ai->ai_family, ai->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC,
                       ai->ai_protocol));
        if (!fd) {
            failure = sysMessage("socket", where, errno);
            continue;
        }
        int error = 0;
        if (::connect(fd.get(), ai->ai_addr, ai->ai_addrlen) != 0) {
            error = errno;
            while (error == EINPROGRESS || error == EINTR) {
                const auto left =
                    std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
                if (left.count() <= 0) {
                    error = ETIMEDOUT;
                    break;
                }
                pollfd p{fd.get(), POLLOUT, 0};
                const int rc = ::poll(&p, 1, static_cast<int>(left.count()));
                if (rc < 0 && errno == EINTR) continue;
                if (rc < 0) {
                    error = errno;
                    break;
                }
                if (rc == 0) continue;  // the loop condition reports the timeout
                socklen_t len = sizeof error;
                if (::getsockopt(fd.get(), SOL_SOCKET, SO_ERROR, &error, &len) != 0) error = errno;
            }
        }
        if (error == 0) {
            const int on = 1;
            ::setsockopt(fd.get(), IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
            return fd;
        }
        failure = sysMessage("connect", where, error);
        if (error == ETIMEDOUT) break;  // the time is used up for every other address too
    }
    throw Error(err::PortOpenFailed, failure);
}

// Any rate a 32-bit SET-BAUDRATE can carry goes to the server, which decides which rates its
// device takes.
class NetSerial final : public SerialBase {
  public:
    NetSerial(EventLoop& loop, std::size_t inBufferSize) : SerialBase(inBufferSize), loop_(loop) {}

    ~NetSerial() override { closePort(); }

    std::string Settings() const override { return format_.text(); }

    void Settings(std::string_view text) override {
        const auto parsed = parseLineFormat(text);
        if (!parsed) throw Error(err::InvalidPropertyValue);
        format_ = *parsed;
        // A raw connection has no say over the far line: its rate is the server's.
        if (sock_ && address_.kind == NetAddress::Kind::Rfc2217) send(settingsCommands());
    }

    using SerialBase::PortOpen;
    bool PortOpen() const override { return open_; }

    void Output(std::string_view bytes) override {
        if (!open_) throw Error(err::PortNotOpen, "Port not open");
        if (!sock_) throw Error(err::PortIo, "write " + lost_);
        if (bytes.empty()) return;
        if (trace()) trace()(TraceDirection::Written, bytes);
        if (address_.kind == NetAddress::Kind::Rfc2217) {
            frame_.clear();
            telnet::appendEscaped(frame_, bytes);
            send(frame_);
        } else {
            send(bytes);
        }
        if (!sock_) throw Error(err::PortIo, "write " + lost_);
    }

    void deliverPending() override {
        if (sock_) receive();
    }

    bool HungUp() const override { return open_ && !sock_; }

  private:
    void openPort() override {
        if (open_) throw Error(err::PortAlreadyOpen, "Port already open");
        const NetAddress address = parseNetAddress(PortMap::instance().devicePath(port()));
        const Clock::time_point deadline = Clock::now() + address.timeout;
        Fd sock = connectTo(address, deadline);
        address_ = address;
        sock_ = std::move(sock);
        resetConnection();
        try {
            if (address_.kind == NetAddress::Kind::Rfc2217) negotiate(deadline);
            watchingOut_ = !suspended_ && outputPending();
            watch_ = loop_.watch(sock_.get(), EPOLLIN | (watchingOut_ ? EPOLLOUT : 0u),
                                 [this](uint32_t ev) { onEvents(ev); });
        } catch (...) {
            sock_.reset();
            throw;
        }
        open_ = true;
        ++generation_;
    }

    void resetConnection() {
        clearOutput();
        clearInput();
        decoder_ = {};
        options_ = {};
        modemState_ = 0;
        suspended_ = false;
        pendingAcks_ = 0;
        lost_.clear();
    }

    // Closing never waits for the server: what is still queued is dropped.
    void closePort() noexcept override {
        watch_.reset();
        watchingOut_ = false;
        sock_.reset();
        open_ = false;
        clearOutput();
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
    // No flow control and DTR and RTS on, as the termios component opens its lines; these are
    // not waited for, since a server in front of a device without modem lines (ser2net on a
    // pseudo-terminal) never answers them.
    void negotiate(Clock::time_point deadline) {
        using namespace telnet;
        send(openingRequests());
        waitUntil(
            deadline, [this] { return options_.local(kComPort) != Options::State::WantYes; },
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
            deadline, [this] { return pendingAcks_ == 0 || !refused_.empty(); },
            "the server's answer to the line settings");
        if (!refused_.empty()) throw Error(err::PortOpenFailed, refused_);
        // Whatever the device received before it was ours is not an answer to anything we sent.
        clearInput();
    }

    // Reads and answers the server, without the loop, until done() holds or `deadline` passes.
    template <class Done>
    void waitUntil(Clock::time_point deadline, Done done, std::string_view what) {
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
            pollfd p{sock_.get(), static_cast<short>(POLLIN | (outputPending() ? POLLOUT : 0)), 0};
            const int rc = ::poll(&p, 1, static_cast<int>(left.count()));
            if (rc < 0 && errno != EINTR)
                throw Error(err::PortOpenFailed, sysMessage("poll", where, errno));
            if (rc > 0 && (p.revents & (POLLIN | POLLHUP | POLLERR)) != 0) {
                readAvailable();
                handleCommands(nullptr);
            }
        }
    }

    void onEvents(uint32_t events) {
        if ((events & EPOLLOUT) != 0) {
            flushOut();
            if (!sock_) return;
        }
        if ((events & (EPOLLIN | EPOLLHUP | EPOLLERR)) != 0) receive();
    }

    // Queues framed bytes behind what waits already and writes what the socket takes now.
    void send(std::string_view bytes) {
        if (!sock_ || bytes.empty()) return;
        queue(bytes);
        flushOut();
    }

    void flushOut() {
        while (sock_ && !suspended_ && outputPending()) {
            const std::string_view rest = pendingOutput();
            const ssize_t n = ::send(sock_.get(), rest.data(), rest.size(), MSG_NOSIGNAL);
            if (n > 0) {
                consumeOutput(static_cast<std::size_t>(n));
                continue;
            }
            if (n < 0 && errno == EINTR) continue;
            if (n < 0 && errno == EAGAIN) break;
            drop(std::generic_category().message(errno));
            return;
        }
        const bool wantOut = !suspended_ && outputPending();
        if (watch_ && wantOut != watchingOut_) {
            watch_.modify(wantOut ? EPOLLIN | EPOLLOUT : EPOLLIN);
            watchingOut_ = wantOut;
        }
    }

    // The connection is gone: as with a device that went away, nothing is watched or sent any
    // more, HungUp() holds, and the port stays open until it is closed; Output reports why.
    void drop(std::string reason) {
        lost_ = deviceText() + ": " + std::move(reason);
        watch_.reset();
        watchingOut_ = false;
        sock_.reset();
        clearOutput();
    }

    // Reads everything the socket holds into the input buffer (data) and commands_.
    // Returns whether the input buffer overflowed.
    bool readAvailable() {
        bool overflowed = false;
        while (sock_) {
            const ssize_t n = ::recv(sock_.get(), readBuf_.data(), readBuf_.size(), 0);
            if (n > 0) {
                const std::string_view block(readBuf_.data(), static_cast<std::size_t>(n));
                if (address_.kind == NetAddress::Kind::Rfc2217) {
                    data_.clear();
                    decoder_.feed(block, data_, commands_);
                    overflowed |= store(data_);
                    if (trace() && !data_.empty()) trace()(TraceDirection::Received, data_);
                } else {
                    overflowed |= store(block);
                    if (trace()) trace()(TraceDirection::Received, block);
                }
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
                    suspended_ = true;
                    break;
                case cpo::kServerOffset + cpo::FlowControlResume:
                    suspended_ = false;
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

    // Reads what the server sent and notifies, in order: line events, RxOver, Receive, and
    // whatever else happened. A handler may close, reopen or destroy the component.
    void receive() {
        const uint64_t generation = generation_;
        const bool overflowed = readAvailable();
        events_.clear();
        handleCommands(&events_);
        if (refusedWhileOpen_) {
            refusedWhileOpen_ = false;
            events_.push_back(comm::DCB);
        }
        const std::vector<int16_t> events = events_;  // a handler may receive again
        for (const int16_t code : events) {
            if (!open_ || generation_ != generation) return;
            if (!notify(code)) return;
        }
        if (overflowed && (!open_ || generation_ != generation || !notify(comm::RxOver))) return;
        if (hasInput() && open_ && generation_ == generation && !notify(comm::Receive)) return;
    }

    std::string deviceText() const {
        return std::string(address_.kind == NetAddress::Kind::Rfc2217 ? kRfc2217 : kSocket) +
               endpointText(address_);
    }

    EventLoop& loop_;
    LineFormat format_;
    LineFormat requested_;  // the format last sent to the server

    NetAddress address_;
    bool open_ = false;
    Fd sock_;
    WatchHandle watch_;
    bool watchingOut_ = false;
    std::string lost_;  // why the connection ended, while the port is still open
    uint64_t generation_ = 0;

    telnet::Decoder decoder_;
    telnet::Options options_;
    std::vector<telnet::Command> commands_;
    uint8_t modemState_ = 0;
    bool suspended_ = false;   // the server asked us to hold our output
    uint8_t pendingAcks_ = 0;  // parts of the line settings not yet answered
    std::string refused_;
    bool refusedWhileOpen_ = false;

    std::string frame_;  // scratch: data with its IACs doubled
    std::string reply_;  // scratch: answers to the server's negotiations
    std::string data_;   // scratch: the data of one received block
    std::vector<int16_t> events_;
    std::array<char, 4096> readBuf_{};
};

}  // namespace

bool isNetDevice(std::string_view device) {
    return startsWithNoCase(device, kRfc2217) || startsWithNoCase(device, kSocket);
}

NetAddress parseNetAddress(std::string_view device) {
    NetAddress a;
    std::string_view rest;
    if (startsWithNoCase(device, kRfc2217)) {
        a.kind = NetAddress::Kind::Rfc2217;
        rest = device.substr(kRfc2217.size());
    } else if (startsWithNoCase(device, kSocket)) {
        a.kind = NetAddress::Kind::Socket;
        rest = device.substr(kSocket.size());
    } else {
        badAddress(device, "expected rfc2217://HOST:PORT or socket://HOST:PORT");
    }
    const std::size_t query = rest.find('?');
    std::string_view options = query == std::string_view::npos ? "" : rest.substr(query + 1);
    rest = rest.substr(0, query);

    std::string_view host;
    std::string_view port;
    if (!rest.empty() && rest.front() == '[') {
        const std::size_t close = rest.find(']');
        if (close == std::string_view::npos || close + 1 >= rest.size() || rest[close + 1] != ':')
            badAddress(device, "expected [IPv6 address]:PORT");
        host = rest.substr(1, close - 1);
        port = rest.substr(close + 2);
    } else {
        const std::size_t colon = rest.rfind(':');
        if (colon == std::string_view::npos) badAddress(device, "the port number is missing");
        host = rest.substr(0, colon);
        port = rest.substr(0, colon).find(':') == std::string_view::npos ? rest.substr(colon + 1)
                                                                         : std::string_view{};
        if (port.empty())
            badAddress(device, "expected HOST:PORT (an IPv6 address goes in brackets)");
    }
    const auto number = parseUnsigned(port);
    if (host.empty()) badAddress(device, "the host is missing");
    if (!number || *number == 0 || *number > 65535)
        badAddress(device, "the port must be 1 to 65535");
    a.host = host;
    a.port = static_cast<uint16_t>(*number);

    while (!options.empty()) {
        const std::size_t amp = options.find('&');
        const std::string_view option = options.substr(0, amp);
        options = amp == std::string_view::npos ? "" : options.substr(amp + 1);
        constexpr std::string_view kTimeout = "timeout=";
        if (option.substr(0, kTimeout.size()) != kTimeout) {
            badAddress(device, "unknown option \"" + std::string(option) + "\" (known: timeout)");
        }
        const std::string value(option.substr(kTimeout.size()));
        char* end = nullptr;
        const double seconds = value.empty() ? -1 : std::strtod(value.c_str(), &end);
        if (value.empty() || end != value.c_str() + value.size() || !std::isfinite(seconds) ||
            seconds <= 0 || seconds > 3600) {
            badAddress(device, "timeout must be a number of seconds, above 0 and at most 3600");
        }
        a.timeout = std::chrono::milliseconds(std::max<long long>(1, std::llround(seconds * 1000)));
    }
    return a;
}

std::unique_ptr<SerialComm> makeNetSerial(EventLoop& loop, std::size_t inBufferSize) {
    return std::make_unique<NetSerial>(loop, inBufferSize);
}

}  // namespace vantrel
