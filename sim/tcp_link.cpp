#include "sim/tcp_link.hpp"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <memory>

#include "vantrel/error.hpp"

namespace vantrel::sim {

namespace {

[[noreturn]] void fail(std::string_view what) {
    throw Error(err::PortOpenFailed, std::string(what));
}

// Splits "HOST:PORT" or "[HOST]:PORT".
std::pair<std::string, std::string> splitHostPort(std::string_view text) {
    std::string_view host;
    std::string_view port;
    if (!text.empty() && text.front() == '[') {
        const std::size_t close = text.find(']');
        if (close == std::string_view::npos || close + 1 >= text.size() || text[close + 1] != ':')
            fail("--listen " + std::string(text) + ": expected [ADDRESS]:PORT");
        host = text.substr(1, close - 1);
        port = text.substr(close + 2);
    } else {
        const std::size_t colon = text.rfind(':');
        if (colon == std::string_view::npos || text.substr(0, colon).find(':') != text.npos)
            fail("--listen " + std::string(text) + ": expected HOST:PORT");
        host = text.substr(0, colon);
        port = text.substr(colon + 1);
    }
    if (host.empty() || port.empty())
        fail("--listen " + std::string(text) + ": expected HOST:PORT");
    // The name lookup would take a service name, or cut a number beyond 65535 to 16 bits.
    if (port.size() > 5 || port.find_first_not_of("0123456789") != std::string_view::npos ||
        std::stoul(std::string(port)) > 65535)
        fail("--listen " + std::string(text) + ": the port must be a number from 0 to 65535");
    return {std::string(host), std::string(port)};
}

}  // namespace

TcpLink::TcpLink(EventLoop& loop, std::string device, std::string_view hostPort)
    : loop_(loop), device_(std::move(device)) {
    const auto [host, port] = splitHostPort(hostPort);
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_PASSIVE | AI_NUMERICSERV;
    addrinfo* found = nullptr;
    if (const int rc = ::getaddrinfo(host.c_str(), port.c_str(), &hints, &found); rc != 0)
        fail("--listen " + std::string(hostPort) + ": " + ::gai_strerror(rc));
    const std::unique_ptr<addrinfo, decltype(&::freeaddrinfo)> list(found, ::freeaddrinfo);
    std::string failure;
    for (const addrinfo* ai = found; ai != nullptr && !listen_; ai = ai->ai_next) {
        Fd fd(::socket(ai->ai_family, ai->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC,
                       ai->ai_protocol));
        const int on = 1;
        if (fd) ::setsockopt(fd.get(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
        if (!fd || ::bind(fd.get(), ai->ai_addr, ai->ai_addrlen) != 0 ||
            ::listen(fd.get(), 4) != 0) {
            failure = sysMessage("listen", hostPort, errno);
            continue;
        }
        listen_ = std::move(fd);
    }
    if (!listen_) fail(failure);

    sockaddr_storage bound{};
    socklen_t len = sizeof bound;
    ::getsockname(listen_.get(), reinterpret_cast<sockaddr*>(&bound), &len);
    std::array<char, INET6_ADDRSTRLEN> text{};
    if (bound.ss_family == AF_INET6) {
        const auto* a = reinterpret_cast<const sockaddr_in6*>(&bound);
        ::inet_ntop(AF_INET6, &a->sin6_addr, text.data(), text.size());
        port_ = ntohs(a->sin6_port);
        address_ = "[" + std::string(text.data()) + "]:" + std::to_string(port_);
    } else {
        const auto* a = reinterpret_cast<const sockaddr_in*>(&bound);
        ::inet_ntop(AF_INET, &a->sin_addr, text.data(), text.size());
        port_ = ntohs(a->sin_port);
        address_ = std::string(text.data()) + ":" + std::to_string(port_);
    }
    listenWatch_ = loop_.watch(listen_.get(), EPOLLIN, [this](uint32_t) { onAccept(); });
    spare_.reset(::open("/dev/null", O_RDONLY | O_CLOEXEC));
    resume_ = loop_.addTimer([this] { listenWatch_.modify(EPOLLIN); });
}

TcpLink::~TcpLink() {
    loop_.removeTimer(resume_);
    disconnect();
}

void TcpLink::onAccept() {
    Fd client(::accept4(listen_.get(), nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC));
    if (!client) {
        const int error = errno;
        if (error == EAGAIN || error == EINTR || error == ECONNABORTED) return;
        if ((error == EMFILE || error == ENFILE) && spare_) {
            // Out of descriptors: the one kept in reserve takes the connection, which is closed
            // at once. Left waiting, it would keep the listener ready, and the loop busy, for
            // as long as the shortage lasts.
            spare_.reset();
            Fd(::accept(listen_.get(), nullptr, nullptr));
            spare_.reset(::open("/dev/null", O_RDONLY | O_CLOEXEC));
            return;
        }
        // Anything else that would fail again at once: stop accepting for a moment.
        listenWatch_.modify(0);
        loop_.armTimer(resume_, EventLoop::TimePoint::clock::now() + kAcceptPause,
                       std::chrono::nanoseconds(0));
        return;
    }
    if (client_) return;  // one client at a time: a second one is closed at once
    Fd line(::open(device_.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
    if (!line) return;  // the board is gone; the client sees the connection close
    const int on = 1;
    ::setsockopt(client.get(), IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    client_ = std::move(client);
    line_ = std::move(line);
    clientWatch_ = loop_.watch(client_.get(), EPOLLIN, [this](uint32_t ev) { onClient(ev); });
    lineWatch_ = loop_.watch(line_.get(), EPOLLIN, [this](uint32_t ev) { onLine(ev); });
}

void TcpLink::onClient(uint32_t events) {
    const bool ok =
        pass(client_.get(), line_.get(), toLine_, (events & EPOLLIN) != 0) &&
        ((events & EPOLLOUT) == 0 || pass(line_.get(), client_.get(), toClient_, false));
    if (!ok || (events & (EPOLLHUP | EPOLLERR)) != 0) {
        disconnect();
        return;
    }
    updateWatches();
}

void TcpLink::onLine(uint32_t events) {
    const bool ok = pass(line_.get(), client_.get(), toClient_, (events & EPOLLIN) != 0) &&
                    ((events & EPOLLOUT) == 0 || pass(client_.get(), line_.get(), toLine_, false));
    if (!ok || (events & (EPOLLHUP | EPOLLERR)) != 0) {
        disconnect();
        return;
    }
    updateWatches();
}

bool TcpLink::pass(int from, int to, Leg& leg, bool readable) {
    std::array<char, 4096> buf;
    // A side is read only while the other has taken everything, so neither queue grows.
    if (readable && leg.offset == leg.pending.size()) {
        const ssize_t n = ::read(from, buf.data(), buf.size());
        if (n == 0) return false;
        if (n < 0 && errno != EAGAIN && errno != EINTR) return false;
        if (n > 0) {
            leg.pending.assign(buf.data(), static_cast<std::size_t>(n));
            leg.offset = 0;
        }
    }
    while (leg.offset < leg.pending.size()) {
        const char* data = leg.pending.data() + leg.offset;
        const std::size_t size = leg.pending.size() - leg.offset;
        // A client that has gone makes a write fail with EPIPE, never raise SIGPIPE.
        const ssize_t n =
            to == client_.get() ? ::send(to, data, size, MSG_NOSIGNAL) : ::write(to, data, size);
        if (n > 0) {
            leg.offset += static_cast<std::size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && errno == EAGAIN) break;
        return false;
    }
    return true;
}

// A side with bytes waiting for it is watched for room; its source is not read meanwhile.
void TcpLink::updateWatches() {
    const bool lineOwed = toLine_.offset < toLine_.pending.size();
    const bool clientOwed = toClient_.offset < toClient_.pending.size();
    clientWatch_.modify((lineOwed ? 0u : EPOLLIN) | (clientOwed ? EPOLLOUT : 0u));
    lineWatch_.modify((clientOwed ? 0u : EPOLLIN) | (lineOwed ? EPOLLOUT : 0u));
}

void TcpLink::disconnect() {
    clientWatch_.reset();
    lineWatch_.reset();
    client_.reset();
    line_.reset();
    toLine_ = {};
    toClient_ = {};
}

}  // namespace vantrel::sim
