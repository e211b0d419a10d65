// vantrel publishing: the HTTP client.
#include "http_client.hpp"

#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>

#include "fd.hpp"

namespace vantrel::publish {

namespace {

using Clock = std::chrono::steady_clock;

// Waits for `events` until the deadline; false when it passed.
bool waitFor(int fd, short events, Clock::time_point deadline) {
    while (true) {
        const auto left =
            std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (left <= 0) return false;
        pollfd p{fd, events, 0};
        const int n = ::poll(&p, 1, static_cast<int>(left));
        if (n > 0) return true;
        if (n < 0 && errno != EINTR) return false;
    }
}

}  // namespace

std::string urlEncode(std::string_view text) {
    static constexpr char hex[] = "0123456789ABCDEF";
    std::string out;
    for (const char c : text) {
        const auto u = static_cast<unsigned char>(c);
        if (std::isalnum(u) || c == '-' || c == '_' || c == '.' || c == '~') {
            out += c;
        } else {
            out += '%';
            out += hex[u >> 4];
            out += hex[u & 15];
        }
    }
    return out;
}

HttpReply httpRequest(const Endpoint& server, std::string_view method, std::string_view target,
                      std::string_view body, std::string_view type,
                      std::chrono::milliseconds timeout) {
    HttpReply reply;
    const auto deadline = Clock::now() + timeout;
    const std::string where = server.host + ":" + std::to_string(server.port);
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_NUMERICSERV;
    addrinfo* found = nullptr;
    const int rc =
        ::getaddrinfo(server.host.c_str(), std::to_string(server.port).c_str(), &hints, &found);
    if (rc != 0) {
        reply.error = server.host + ": " + ::gai_strerror(rc);
        return reply;
    }
    std::unique_ptr<addrinfo, void (*)(addrinfo*)> guard(found, ::freeaddrinfo);
    Fd fd(::socket(found->ai_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    if (!fd) {
        reply.error = sysMessage("socket", "", errno);
        return reply;
    }
    if (::connect(fd.get(), found->ai_addr, found->ai_addrlen) != 0) {
        if (errno != EINPROGRESS) {
            reply.error = sysMessage("connect", where, errno);
            return reply;
        }
        if (!waitFor(fd.get(), POLLOUT, deadline)) {
            reply.error = "connect " + where + ": timed out";
            return reply;
        }
        int err = 0;
        socklen_t len = sizeof err;
        ::getsockopt(fd.get(), SOL_SOCKET, SO_ERROR, &err, &len);
        if (err != 0) {
            reply.error = sysMessage("connect", where, err);
            return reply;
        }
    }
    std::string request = std::string(method) + " " + std::string(target) +
                          " HTTP/1.1\r\nHost: " + where +
                          "\r\nConnection: close\r\nUser-Agent: vantrel\r\n";
    if (!body.empty() || method == "POST")
        request += "Content-Type: " + std::string(type) +
                   "\r\nContent-Length: " + std::to_string(body.size()) + "\r\n";
    request += "\r\n";
    request += body;
    std::size_t sent = 0;
    while (sent < request.size()) {
        const ssize_t n =
            ::send(fd.get(), request.data() + sent, request.size() - sent, MSG_NOSIGNAL);
        if (n > 0) {
            sent += static_cast<std::size_t>(n);
        } else if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
            if (!waitFor(fd.get(), POLLOUT, deadline)) {
                reply.error = "send to " + where + ": timed out";
                return reply;
            }
        } else {
            reply.error = sysMessage("send", where, errno);
            return reply;
        }
    }
    std::string in;
    char buf[16384];
    while (true) {
        const ssize_t n = ::recv(fd.get(), buf, sizeof buf, 0);
        if (n > 0) {
            in.append(buf, static_cast<std::size_t>(n));
            if (in.size() > (16u << 20)) break;
            continue;
        }
        if (n == 0) break;
        if (errno == EINTR) continue;
        if (errno != EAGAIN || !waitFor(fd.get(), POLLIN, deadline)) {
            reply.error = errno == EAGAIN ? "reply from " + where + ": timed out"
                                          : sysMessage("recv", where, errno);
            return reply;
        }
    }
    // "HTTP/1.1 204 No Content\r\n..."; the body as sent (the server ends it by closing).
    const auto sp = in.find(' ');
    const auto headEnd = in.find("\r\n\r\n");
    if (in.compare(0, 5, "HTTP/") != 0 || sp == std::string::npos || headEnd == std::string::npos) {
        reply.error = "reply from " + where + ": not HTTP";
        return reply;
    }
    reply.status = std::atoi(in.c_str() + sp + 1);
    std::string head = in.substr(0, headEnd);
    reply.body = in.substr(headEnd + 4);
    // A chunked body (a server that ignores Connection: close) is joined back together.
    for (char& c : head) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (head.find("transfer-encoding: chunked") != std::string::npos) {
        std::string whole;
        std::size_t at = 0;
        while (at < reply.body.size()) {
            const auto lineEnd = reply.body.find("\r\n", at);
            if (lineEnd == std::string::npos) break;
            const std::size_t size = std::strtoul(reply.body.c_str() + at, nullptr, 16);
            if (size == 0) break;
            whole += reply.body.substr(lineEnd + 2, size);
            at = lineEnd + 2 + size + 2;
        }
        reply.body = std::move(whole);
    }
    return reply;
}

}  // namespace vantrel::publish
