// vantrel publishing: a small HTTP/1.1 client for the time-series database: one request a
// connection, every step bounded in time. It blocks the calling thread (an output's own) for at
// most the given timeout.
#pragma once

#include <chrono>
#include <string>
#include <string_view>

#include "endpoint.hpp"

namespace vantrel::publish {

struct HttpReply {
    int status = 0;  // 0: no reply (see `error`)
    std::string body;
    std::string error;  // why there is no reply: "connect 127.0.0.1:8086: Connection refused"
};

// Sends METHOD TARGET with `body` (none for an empty one) and reads the whole reply.
HttpReply httpRequest(const Endpoint& server, std::string_view method, std::string_view target,
                      std::string_view body, std::string_view type,
                      std::chrono::milliseconds timeout);

// Percent-encodes a query parameter's value.
std::string urlEncode(std::string_view text);

}  // namespace vantrel::publish
