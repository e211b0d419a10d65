// vantrel publishing: the addresses of the published outputs, as the options and the run file
// give them.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace vantrel::publish {

struct Endpoint {
    std::string host;  // a numeric IPv4 or IPv6 address, or a name
    uint16_t port = 0;
};

// "HOST:PORT", "[V6]:PORT", ":PORT" or "PORT" (host 127.0.0.1). Throws std::invalid_argument
// with the reason.
Endpoint parseListen(std::string_view text);
// Whether a host to listen on is the loopback interface only: 127.0.0.0/8, ::1, "localhost".
bool isLoopback(std::string_view host);
// Checks that a listener may bind its host: a non-loopback one needs `allowRemote`. Throws
// std::invalid_argument.
void checkBind(const Endpoint& at, bool allowRemote);

// What a server may ask of a client: a user name and password, and TLS verified against a CA
// (from a credentials file: see credentials.hpp).
struct ServerCredentials {
    std::string user;  // empty: none sent
    std::string password;
    std::string caFile;  // non-empty: TLS, the server's certificate checked against it

    bool tls() const { return !caFile.empty(); }
};

struct MqttTarget {
    Endpoint broker;     // port 1883 unless given
    std::string prefix;  // topic prefix, "vantrel" unless given; no trailing '/'
    ServerCredentials credentials;
};
// "mqtt://HOST[:PORT][/PREFIX]". Throws std::invalid_argument.
MqttTarget parseMqtt(std::string_view url);

struct InfluxTarget {
    Endpoint server;  // port 8086 unless given
    std::string database;
    ServerCredentials credentials;
};
// "http://HOST[:PORT]/DB". Throws std::invalid_argument.
InfluxTarget parseInflux(std::string_view url);

// A name as one level of an MQTT topic: '/', '+', '#', spaces and control characters become
// '_' ("/dev/pts/3" -> "dev_pts_3"); never empty.
std::string topicLevel(std::string_view name);

}  // namespace vantrel::publish
