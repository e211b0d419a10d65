// vantrel publishing: the HTTP server.
#include "http_server.hpp"

#include <netdb.h>
#include <netinet/in.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>
#include <stdexcept>

namespace vantrel::publish {

namespace {

bool equalsNoCase(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) ==
                      std::tolower(static_cast<unsigned char>(y));
           });
}

const char* reason(int status) {
    switch (status) {
        case 200:
            return "OK";
        case 400:
            return "Bad Request";
        case 404:
            return "Not Found";
        case 405:
            return "Method Not Allowed";
        case 413:
            return "Content Too Large";
        case 431:
            return "Request Header Fields Too Large";
        case 503:
            return "Service Unavailable";
        case 505:
            return "HTTP Version Not Supported";
        default:
            return "Error";
    }
}

std::string head(int status, std::string_view type, std::size_t length, bool stream) {
    std::string h = "HTTP/1.1 " + std::to_string(status) + " " + reason(status) + "\r\n";
    h += "Content-Type: " + std::string(type) + "\r\n";
    h += "Cache-Control: no-store\r\nX-Content-Type-Options: nosniff\r\n";
    if (stream)
        h += "Connection: keep-alive\r\n";
    else
        h += "Content-Length: " + std::to_string(length) + "\r\nConnection: close\r\n";
    return h + "\r\n";
}

}  // namespace

std::variant<HttpRequest, int> parseRequestHead(std::string_view text) {
    const auto lineEnd = text.find("\r\n");
    if (lineEnd == std::string_view::npos) return 400;
    const std::string_view line = text.substr(0, lineEnd);
    const auto sp1 = line.find(' ');
    const auto sp2 = line.rfind(' ');
    if (sp1 == std::string_view::npos || sp2 == sp1) return 400;
    HttpRequest r;
    r.method = std::string(line.substr(0, sp1));
    const std::string_view target = line.substr(sp1 + 1, sp2 - sp1 - 1);
    const std::string_view version = line.substr(sp2 + 1);
    if (target.empty() || target.front() != '/' || target.find(' ') != std::string_view::npos)
        return 400;
    if (version != "HTTP/1.1" && version != "HTTP/1.0") return 505;
    const auto q = target.find('?');
    r.path = std::string(target.substr(0, q));
    if (q != std::string_view::npos) r.query = std::string(target.substr(q + 1));
    // Header fields: only a body matters (none is taken).
    std::string_view rest = text.substr(lineEnd + 2);
    while (!rest.empty() && rest.substr(0, 2) != "\r\n") {
        const auto end = rest.find("\r\n");
        if (end == std::string_view::npos) return 400;
        const std::string_view field = rest.substr(0, end);
        const auto colon = field.find(':');
        if (colon == std::string_view::npos || colon == 0) return 400;
        const std::string_view name = field.substr(0, colon);
        std::string_view value = field.substr(colon + 1);
        while (!value.empty() && (value.front() == ' ' || value.front() == '\t'))
            value.remove_prefix(1);
        if (equalsNoCase(name, "Transfer-Encoding") ||
            (equalsNoCase(name, "Content-Length") && value != "0"))
            return 413;
        rest.remove_prefix(end + 2);
    }
    if (r.method != "GET" && r.method != "HEAD") return 405;
    return r;
}

HttpServer::HttpServer(EventLoop& loop, const Endpoint& at, Handler handler)
    : loop_(loop), handler_(std::move(handler)) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_PASSIVE | AI_NUMERICSERV;
    addrinfo* found = nullptr;
    const std::string portText = std::to_string(at.port);
    const int rc = ::getaddrinfo(at.host.c_str(), portText.c_str(), &hints, &found);
    if (rc != 0)
        throw std::runtime_error(at.host + ": " +
                                 (rc == EAI_SYSTEM ? std::strerror(errno) : ::gai_strerror(rc)));
    std::unique_ptr<addrinfo, void (*)(addrinfo*)> guard(found, ::freeaddrinfo);
    listener_.reset(
        ::socket(found->ai_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, IPPROTO_TCP));
    if (!listener_) throw std::runtime_error(sysMessage("socket", "", errno));
    const int on = 1;
    ::setsockopt(listener_.get(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    const std::string where = at.host + ":" + portText;
    if (::bind(listener_.get(), found->ai_addr, found->ai_addrlen) != 0)
        throw std::runtime_error(sysMessage("bind", where, errno));
    if (::listen(listener_.get(), 16) != 0)
        throw std::runtime_error(sysMessage("listen", where, errno));
    sockaddr_storage bound{};
    socklen_t len = sizeof bound;
    ::getsockname(listener_.get(), reinterpret_cast<sockaddr*>(&bound), &len);
    port_ = ntohs(bound.ss_family == AF_INET6 ? reinterpret_cast<sockaddr_in6&>(bound).sin6_port
                                              : reinterpret_cast<sockaddr_in&>(bound).sin_port);
    listenWatch_ = loop_.watch(listener_.get(), EPOLLIN, [this](uint32_t) { accept(); });
}

HttpServer::~HttpServer() = default;

void HttpServer::accept() {
    while (true) {
        Fd fd(::accept4(listener_.get(), nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC));
        if (!fd) return;
        if (clients_.size() >= kMaxClients) {
            static constexpr std::string_view busy =
                "HTTP/1.1 503 Service Unavailable\r\nContent-Length: 0\r\nConnection: "
                "close\r\n\r\n";
            [[maybe_unused]] const auto n =
                ::send(fd.get(), busy.data(), busy.size(), MSG_NOSIGNAL);
            continue;
        }
        Client& c = clients_.emplace_back();
        c.fd = std::move(fd);
        c.since = std::chrono::steady_clock::now();
        c.watch = loop_.watch(c.fd.get(), EPOLLIN, [this, &c](uint32_t ev) { onClient(c, ev); });
    }
}

void HttpServer::onClient(Client& c, uint32_t events) {
    if (c.dead) return;
    if (events & (EPOLLERR | EPOLLHUP)) {
        c.dead = true;
        return;
    }
    if (events & EPOLLOUT) flush(c);
    if (!(events & EPOLLIN) || c.dead) return;
    char buf[4096];
    while (true) {
        const ssize_t n = ::recv(c.fd.get(), buf, sizeof buf, 0);
        if (n > 0) {
            // A stream's client has nothing more to say; what it sends is ignored.
            if (c.streaming || c.closing) continue;
            c.in.append(buf, static_cast<std::size_t>(n));
            const auto end = c.in.find("\r\n\r\n");
            if (end != std::string::npos && end + 4 <= kMaxHead) {
                answer(c);
                return;
            }
            if (c.in.size() > kMaxHead) {
                c.closing = true;
                queue(c, head(431, "text/plain", 0, false));
                return;
            }
            continue;
        }
        if (n == 0 || (errno != EAGAIN && errno != EINTR)) c.dead = true;
        if (n < 0 && errno == EINTR) continue;
        return;
    }
}

void HttpServer::answer(Client& c) {
    const std::string_view text(c.in.data(), c.in.find("\r\n\r\n") + 4);
    const auto parsed = parseRequestHead(text);
    HttpResponse r;
    bool headOnly = false;
    if (const int* status = std::get_if<int>(&parsed)) {
        r.status = *status;
        r.body = std::string(reason(*status)) + "\n";
    } else {
        const HttpRequest& req = std::get<HttpRequest>(parsed);
        headOnly = req.method == "HEAD";
        r = handler_(req);
    }
    c.in.clear();
    c.in.shrink_to_fit();
    if (r.stream && !headOnly) {
        c.streaming = true;
        queue(c, head(r.status, r.type, 0, true) + r.body);
        return;
    }
    c.closing = true;
    queue(c, head(r.status, r.type, r.body.size(), false) + (headOnly ? "" : r.body));
}

void HttpServer::queue(Client& c, std::string_view data) {
    if (c.dead) return;
    c.out.append(data);
    flush(c);
}

void HttpServer::flush(Client& c) {
    while (c.sent < c.out.size()) {
        const ssize_t n =
            ::send(c.fd.get(), c.out.data() + c.sent, c.out.size() - c.sent, MSG_NOSIGNAL);
        if (n > 0) {
            c.sent += static_cast<std::size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && errno == EAGAIN) break;
        c.dead = true;
        return;
    }
    if (c.sent == c.out.size()) {
        c.out.clear();
        c.sent = 0;
        if (c.closing) {
            ::shutdown(c.fd.get(), SHUT_WR);
            c.dead = true;
            return;
        }
        c.watch.modify(EPOLLIN);
    } else {
        if (c.out.size() - c.sent > kMaxStreamBacklog) {
            c.dead = true;
            return;
        }
        c.watch.modify(EPOLLIN | EPOLLOUT);
    }
}

void HttpServer::broadcast(std::string_view data) {
    for (Client& c : clients_)
        if (c.streaming && !c.dead) queue(c, data);
}

std::size_t HttpServer::streams() const {
    return static_cast<std::size_t>(std::count_if(
        clients_.begin(), clients_.end(), [](const Client& c) { return c.streaming && !c.dead; }));
}

void HttpServer::sweep(std::chrono::steady_clock::time_point now) {
    for (Client& c : clients_)
        // A request's head must come within the bound, and a response must be taken within
        // a few times that; streams stay while their client keeps up.
        if (!c.streaming && now - c.since > (c.closing ? 3 * kHeadTimeout : kHeadTimeout))
            c.dead = true;
    clients_.remove_if([](const Client& c) { return c.dead; });
}

}  // namespace vantrel::publish
