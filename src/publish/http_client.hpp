// vantrel publishing: the HTTP client of the time-series database, on libcurl. Every request is
// bounded in time and every reply in size, so that a server that misbehaves costs its output a
// failed request and nothing more. It blocks the calling thread (an output's own) for at most
// the given timeout.
#pragma once

#include <chrono>
#include <cstddef>
#include <string>
#include <string_view>

#include "endpoint.hpp"

namespace vantrel::publish {

struct HttpReply {
    int status = 0;  // 0: no reply (see `error`)
    std::string body;
    std::string error;  // why there is no reply: "connect 127.0.0.1:8086: Connection refused"
};

// One connection to a server, kept open between requests while the server allows it. Used by
// one thread at a time.
class HttpClient {
  public:
    // A reply's body beyond this, or its head beyond kMaxHead, is no reply.
    static constexpr std::size_t kMaxBody = 1 << 20;
    static constexpr std::size_t kMaxHead = 64 << 10;

    // Throws std::runtime_error when libcurl cannot be set up.
    HttpClient();
    ~HttpClient();
    HttpClient(const HttpClient&) = delete;
    HttpClient& operator=(const HttpClient&) = delete;

    // From now on: the user name and password (Basic), and HTTPS checked against the CA.
    void use(const ServerCredentials& credentials) { credentials_ = credentials; }

    // Sends METHOD TARGET with `body` (none for an empty one, unless POST) and reads the whole
    // reply, all within `timeout`.
    HttpReply request(const Endpoint& server, std::string_view method, std::string_view target,
                      std::string_view body, std::string_view type,
                      std::chrono::milliseconds timeout);

  private:
    void* curl_;
    ServerCredentials credentials_;
};

// One request on a connection of its own.
HttpReply httpRequest(const Endpoint& server, std::string_view method, std::string_view target,
                      std::string_view body, std::string_view type,
                      std::chrono::milliseconds timeout);

// Percent-encodes a query parameter's value.
std::string urlEncode(std::string_view text);

}  // namespace vantrel::publish
