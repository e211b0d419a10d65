// vantrel publishing: the HTTP server.
#include "http_server.hpp"
#include "no_case.hpp"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>
#include <optional>
#include <stdexcept>

namespace vantrel::publish {

namespace {

std::string lowerCase(std::string_view text) {
    std::string out(text);
    for (char& c : out) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return out;
}

const char* reason(int status) {
    switch (status) {
        case 200:
            return "OK";
        case 400:
            return "Bad Request";
        case 403:
            return "Forbidden";
        case 404:
            return "Not Found";
        case 405:
            return "Method Not Allowed";
        case 413:
            return "Content Too Large";
        case 421:
            return "Misdirected Request";
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

std::size_t headEnd(std::string_view text) {
    // Line ends are CRLF, or a bare LF as some clients send (and a server may take).
    for (std::size_t at = text.find('\n'); at != std::string_view::npos;
         at = text.find('\n', at + 1)) {
        std::size_t next = at + 1;
        if (next < text.size() && text[next] == '\r') ++next;
        if (next < text.size() && text[next] == '\n') return next + 1;
    }
    return std::string_view::npos;
}

std::variant<HttpRequest, int> parseRequestHead(std::string_view text,
                                                const std::vector<std::string>& postPaths) {
    // One line at a time, its end (CRLF or LF) taken off; empty at the blank line.
    const auto nextLine = [&text]() -> std::optional<std::string_view> {
        const auto end = text.find('\n');
        if (end == std::string_view::npos) return std::nullopt;
        std::string_view line = text.substr(0, end);
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        text.remove_prefix(end + 1);
        return line;
    };
    const auto first = nextLine();
    if (!first) return 400;
    const std::string_view line = *first;
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
    // Header fields: the host asked for, and a body (none is taken).
    bool haveHost = false;
    for (auto field = nextLine(); !field || !field->empty(); field = nextLine()) {
        if (!field) return 400;
        const auto colon = field->find(':');
        if (colon == std::string_view::npos || colon == 0) return 400;
        const std::string_view name = field->substr(0, colon);
        // A name is a token: "Transfer-Encoding : chunked" is refused, not read as another
        // field, which a proxy in front of us might read otherwise.
        if (!std::all_of(name.begin(), name.end(), [](char c) {
                return std::isalnum(static_cast<unsigned char>(c)) ||
                       std::string_view("!#$%&'*+-.^_`|~").find(c) != std::string_view::npos;
            }))
            return 400;
        std::string_view value = field->substr(colon + 1);
        while (!value.empty() && (value.front() == ' ' || value.front() == '\t'))
            value.remove_prefix(1);
        while (!value.empty() && (value.back() == ' ' || value.back() == '\t'))
            value.remove_suffix(1);
        if (equalsNoCase(name, "Transfer-Encoding") ||
            (equalsNoCase(name, "Content-Length") && value != "0"))
            return 413;
        if (equalsNoCase(name, "Host")) {
            if (haveHost) return 400;
            haveHost = true;
            r.host = std::string(value);
        } else if (equalsNoCase(name, "Origin")) {
            r.origin = std::string(value);
        } else if (equalsNoCase(name, "X-Requested-With")) {
            r.requestedWith = std::string(value);
        }
    }
    const bool posted = r.method == "POST" &&
                        std::find(postPaths.begin(), postPaths.end(), r.path) != postPaths.end();
    if (r.method != "GET" && r.method != "HEAD" && !posted) return 405;
    if (!haveHost && version == "HTTP/1.1") return 400;
    return r;
}

HttpServer::HttpServer(EventLoop& loop, const Endpoint& at, Handler handler,
                       std::vector<std::string> allowHosts, std::vector<std::string> postPaths)
    : loop_(loop),
      handler_(std::move(handler)),
      at_(at),
      allowHosts_(std::move(allowHosts)),
      postPaths_(std::move(postPaths)) {
    for (std::string& name : allowHosts_) name = lowerCase(name);
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

bool HttpServer::hostAllowed(std::string_view host) const {
    if (host.empty()) return true;  // HTTP/1.0 without a Host field: no browser sends that
    std::string name;
    if (host.front() == '[') {
        const auto close = host.find(']');
        if (close == std::string_view::npos) return false;
        name = std::string(host.substr(1, close - 1));
    } else {
        name = lowerCase(host.substr(0, host.find(':')));
    }
    if (!name.empty() && name.back() == '.') name.pop_back();
    if (name == "localhost" || name.ends_with(".localhost")) return true;
    if (std::find(allowHosts_.begin(), allowHosts_.end(), name) != allowHosts_.end()) return true;
    if (name == lowerCase(at_.host)) return true;
    // An address is no name another site can point here; a wildcard listener is reached at any
    // of the machine's, a loopback one at any loopback address.
    const auto address = [](const std::string& text) -> std::optional<in6_addr> {
        in6_addr a{};
        in_addr v4{};
        if (::inet_pton(AF_INET6, text.c_str(), &a) == 1) return a;
        if (::inet_pton(AF_INET, text.c_str(), &v4) != 1) return std::nullopt;
        a.s6_addr[10] = a.s6_addr[11] = 0xff;  // as ::ffff:a.b.c.d
        std::memcpy(&a.s6_addr[12], &v4, 4);
        return a;
    };
    const auto asked = address(name);
    if (!asked) return false;
    if (isLoopback(name)) return true;
    const auto bound = address(at_.host);
    if (!bound) return false;
    in6_addr v4any{};
    v4any.s6_addr[10] = v4any.s6_addr[11] = 0xff;
    return IN6_IS_ADDR_UNSPECIFIED(&*bound) || std::memcmp(&*bound, &v4any, sizeof v4any) == 0 ||
           std::memcmp(&*bound, &*asked, sizeof *asked) == 0;
}

std::string HttpServer::allowedText() const {
    std::string text = "localhost, " + at_.host;
    for (const std::string& name : allowHosts_) text += ", " + name;
    return text;
}

void HttpServer::accept() {
    while (true) {
        Fd fd(::accept4(listener_.get(), nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC));
        if (!fd) return;
        // Streams that keep reading would hold the page for ever: the oldest gives way to a
        // newcomer (its browser tries again, as event streams do).
        // (Marked dead, not erased: the loop may still hold an event for it; sweep() erases.)
        auto live = static_cast<std::size_t>(std::count_if(
            clients_.begin(), clients_.end(), [](const Client& c) { return !c.dead; }));
        if (live >= kMaxClients) {
            const auto oldest = std::find_if(clients_.begin(), clients_.end(), [](const Client& c) {
                return c.streaming && !c.dead;
            });
            if (oldest != clients_.end()) {
                oldest->dead = true;
                ::shutdown(oldest->fd.get(), SHUT_RDWR);
                ++evicted_;
                --live;
            }
        }
        if (live >= kMaxClients) {
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
            const auto end = headEnd(c.in);
            if (end != std::string::npos && end <= kMaxHead) {
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
    const std::string_view text(c.in.data(), headEnd(c.in));
    const auto parsed = parseRequestHead(text, postPaths_);
    HttpResponse r;
    bool headOnly = false;
    if (const int* status = std::get_if<int>(&parsed)) {
        r.status = *status;
        r.body = std::string(reason(*status)) + "\n";
    } else if (const HttpRequest& req = std::get<HttpRequest>(parsed); !hostAllowed(req.host)) {
        // A page of another site whose name was pointed at this address (DNS rebinding)
        // gets nothing.
        r.status = 421;
        r.body = "this server answers to " + allowedText() + ", not \"" + req.host +
                 "\" (give the name with --allow-host)\n";
    } else {
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
