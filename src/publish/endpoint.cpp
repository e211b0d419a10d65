// vantrel publishing: addresses.
#include "endpoint.hpp"

#include <arpa/inet.h>

#include <charconv>
#include <stdexcept>

namespace vantrel::publish {

namespace {

uint16_t portOf(std::string_view text, std::string_view whole) {
    unsigned value = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (text.empty() || ec != std::errc() || end != text.data() + text.size() || value == 0 ||
        value > 65535)
        throw std::invalid_argument("\"" + std::string(whole) + "\": the port must be 1 to 65535");
    return static_cast<uint16_t>(value);
}

// "HOST", "HOST:PORT", "[V6]", "[V6]:PORT".
Endpoint hostPort(std::string_view text, std::string_view whole, uint16_t defaultPort) {
    Endpoint e;
    e.port = defaultPort;
    std::string_view rest;
    if (!text.empty() && text.front() == '[') {
        const auto close = text.find(']');
        if (close == std::string_view::npos)
            throw std::invalid_argument("\"" + std::string(whole) + "\": no ']' after the address");
        e.host = std::string(text.substr(1, close - 1));
        rest = text.substr(close + 1);
        if (!rest.empty() && rest.front() != ':')
            throw std::invalid_argument("\"" + std::string(whole) + "\": expected ':' after ']'");
    } else {
        const auto colon = text.rfind(':');
        e.host = std::string(text.substr(0, colon));
        if (colon != std::string_view::npos) rest = text.substr(colon);
    }
    if (!rest.empty()) e.port = portOf(rest.substr(1), whole);
    if (e.port == 0)
        throw std::invalid_argument("\"" + std::string(whole) + "\": expected HOST:PORT");
    return e;
}

}  // namespace

Endpoint parseListen(std::string_view text) {
    if (!text.empty() && text.find_first_not_of("0123456789") == std::string_view::npos)
        return {"127.0.0.1", portOf(text, text)};
    Endpoint e = hostPort(text, text, 0);
    if (e.host.empty()) e.host = "127.0.0.1";
    return e;
}

bool isLoopback(std::string_view host) {
    if (host == "localhost") return true;
    in_addr v4{};
    if (::inet_pton(AF_INET, std::string(host).c_str(), &v4) == 1)
        return (ntohl(v4.s_addr) >> 24) == 127;
    in6_addr v6{};
    if (::inet_pton(AF_INET6, std::string(host).c_str(), &v6) == 1)
        return IN6_IS_ADDR_LOOPBACK(&v6);
    return false;
}

void checkBind(const Endpoint& at, bool allowRemote) {
    if (!allowRemote && !isLoopback(at.host))
        throw std::invalid_argument(at.host +
                                    " is not the loopback interface: other machines could "
                                    "connect; give --allow-remote (allow_remote = true) to "
                                    "listen there");
}

MqttTarget parseMqtt(std::string_view url) {
    constexpr std::string_view scheme = "mqtt://";
    if (url.substr(0, scheme.size()) != scheme)
        throw std::invalid_argument("\"" + std::string(url) +
                                    "\": expected mqtt://HOST[:PORT][/PREFIX]");
    std::string_view rest = url.substr(scheme.size());
    const auto slash = rest.find('/');
    if (rest.substr(0, slash).find('@') != std::string_view::npos)
        throw std::invalid_argument("\"" + std::string(url) +
                                    "\": a user name and password are not supported");
    MqttTarget t;
    t.broker = hostPort(rest.substr(0, slash), url, 1883);
    if (t.broker.host.empty()) throw std::invalid_argument("\"" + std::string(url) + "\": no host");
    t.prefix = slash == std::string_view::npos ? "" : std::string(rest.substr(slash + 1));
    while (!t.prefix.empty() && t.prefix.back() == '/') t.prefix.pop_back();
    if (t.prefix.find_first_of("+#") != std::string::npos)
        throw std::invalid_argument("\"" + std::string(url) +
                                    "\": the prefix must not hold '+' or '#'");
    if (t.prefix.empty()) t.prefix = "vantrel";
    return t;
}

InfluxTarget parseInflux(std::string_view url) {
    constexpr std::string_view scheme = "http://";
    if (url.substr(0, scheme.size()) != scheme)
        throw std::invalid_argument("\"" + std::string(url) + "\": expected http://HOST[:PORT]/DB");
    std::string_view rest = url.substr(scheme.size());
    const auto slash = rest.find('/');
    if (rest.substr(0, slash).find('@') != std::string_view::npos)
        throw std::invalid_argument("\"" + std::string(url) +
                                    "\": a user name and password are not supported");
    InfluxTarget t;
    t.server = hostPort(rest.substr(0, slash), url, 8086);
    if (t.server.host.empty()) throw std::invalid_argument("\"" + std::string(url) + "\": no host");
    if (slash != std::string_view::npos) t.database = std::string(rest.substr(slash + 1));
    if (t.database.empty() || t.database.find_first_of("/?&#%\" ") != std::string::npos)
        throw std::invalid_argument("\"" + std::string(url) +
                                    "\": expected a database name after the host");
    return t;
}

std::string topicLevel(std::string_view name) {
    std::string out;
    for (const char c : name) {
        const auto u = static_cast<unsigned char>(c);
        out += (c == '/' || c == '+' || c == '#' || u <= ' ' || u == 0x7f) ? '_' : c;
    }
    const auto first = out.find_first_not_of('_');
    out.erase(0, first == std::string::npos ? out.size() : first);
    return out.empty() ? "_" : out;
}

}  // namespace vantrel::publish
