// vantrel publishing: a small HTTP/1.1 server for the live page and the metrics. GET and HEAD,
// and POST without a body to the few paths that take one (the page's notes); no request bodies;
// each request's head is bounded, as is the time a client may take to send it and the number of
// clients. A response can be a stream (server-sent events) that stays open and gets whatever
// broadcast() sends.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <list>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

#include "endpoint.hpp"
#include "fd.hpp"
#include "vantrel/event_loop.hpp"

namespace vantrel::publish {

struct HttpRequest {
    std::string method;         // "GET" or "HEAD"
    std::string path;           // "/metrics"
    std::string query;          // after '?', undecoded
    std::string host;           // the Host field as sent ("127.0.0.1:9100"); empty without one
    std::string origin;         // the Origin field; empty without one
    std::string requestedWith;  // the X-Requested-With field; empty without one
};

struct HttpResponse {
    int status = 200;
    std::string type = "text/plain; charset=utf-8";
    std::string body;
    // A stream: the head goes out with `body` as its first part, and the connection stays open
    // for broadcast().
    bool stream = false;
};

// The length of a request head up to and including its blank line (lines end in CRLF or a bare
// LF), or npos while it is not all there.
std::size_t headEnd(std::string_view text);
// Reads a request head (up to and including the blank line). Returns the request, or the status
// to answer with: 400 for a malformed head (a field name that is not a token, as in
// "Transfer-Encoding : chunked"; no Host, or two, in HTTP/1.1), 405 for a method other than GET
// and HEAD (and POST to one of `postPaths`), 413 for a request with a body, 505 for another
// protocol than HTTP/1.0 or 1.1.
std::variant<HttpRequest, int> parseRequestHead(std::string_view head,
                                                const std::vector<std::string>& postPaths = {});

class HttpServer {
  public:
    using Handler = std::function<HttpResponse(const HttpRequest&)>;
    static constexpr std::size_t kMaxHead = 8192;
    static constexpr std::size_t kMaxClients = 64;
    static constexpr std::size_t kMaxStreamBacklog = 4 << 20;  // a stream further behind is closed
    static constexpr std::chrono::seconds kHeadTimeout{10};

    // Binds and listens (throws std::runtime_error with the system's reason); the handler runs on
    // the loop's thread. A request is answered only when its Host names this server: an address
    // it listens on, a localhost name, or one of `allowHosts`; others get 421, so that a page
    // of another site whose name was pointed at this address reads nothing.
    // `postPaths` take POST without a body.
    HttpServer(EventLoop& loop, const Endpoint& at, Handler handler,
               std::vector<std::string> allowHosts = {}, std::vector<std::string> postPaths = {});
    ~HttpServer();
    HttpServer(const HttpServer&) = delete;
    HttpServer& operator=(const HttpServer&) = delete;

    // The port listened on (the one the system chose for port 0).
    uint16_t port() const { return port_; }
    // Sends `data` to every open stream.
    void broadcast(std::string_view data);
    std::size_t streams() const;
    // Streams closed to let a newer client in.
    uint64_t evicted() const { return evicted_; }
    // Closes clients that are done or too slow; call after each pass of the loop.
    void sweep(std::chrono::steady_clock::time_point now);

  private:
    struct Client {
        Fd fd;
        WatchHandle watch;
        std::string in;
        std::string out;
        std::size_t sent = 0;
        bool streaming = false;
        bool closing = false;  // closes once `out` is sent
        bool dead = false;
        std::chrono::steady_clock::time_point since;
    };
    void accept();
    void onClient(Client& c, uint32_t events);
    void answer(Client& c);
    void flush(Client& c);
    void queue(Client& c, std::string_view data);
    bool hostAllowed(std::string_view host) const;
    std::string allowedText() const;

    EventLoop& loop_;
    Handler handler_;
    Endpoint at_;
    std::vector<std::string> allowHosts_;  // lower case
    std::vector<std::string> postPaths_;
    uint64_t evicted_ = 0;
    Fd listener_;
    WatchHandle listenWatch_;
    uint16_t port_ = 0;
    std::list<Client> clients_;
};

}  // namespace vantrel::publish
