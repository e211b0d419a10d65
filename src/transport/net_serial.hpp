// vantrel: serial ports on other machines, reached through a serial server (ser2net, a terminal
// server) with RFC 2217 ("rfc2217://HOST:PORT") or as raw bytes over TCP ("socket://HOST:PORT").
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "vantrel/platform.hpp"

struct addrinfo;

namespace vantrel {

// Where a network serial port is, parsed from its device string. HOST is a name, an IPv4
// address or an IPv6 address in brackets; "?timeout=SECONDS" bounds the connection (and, with
// RFC 2217, the negotiation that follows it).
struct NetAddress {
    enum class Kind { Rfc2217, Socket };
    Kind kind = Kind::Socket;
    std::string host;
    uint16_t port = 0;
    std::chrono::milliseconds timeout{3000};
};

// Whether a device string names a network port (by its scheme, in any case).
bool isNetDevice(std::string_view device);

// Parses "rfc2217://HOST:PORT[?timeout=SECONDS]" or the same with socket://. Throws Error
// (PortOpenFailed) naming what is wrong.
NetAddress parseNetAddress(std::string_view device);

// The result of a name lookup, freed with freeaddrinfo.
struct AddrInfoFree {
    void operator()(addrinfo* list) const;
};
using AddrInfoList = std::unique_ptr<addrinfo, AddrInfoFree>;

// Runs `lookup` (a getaddrinfo call, which may wait on a name server for many seconds) on a
// thread of its own and waits for it until `deadline`. Gives its status and list, or nothing
// when the deadline came first: the lookup then finishes alone and frees its list.
std::optional<std::pair<int, AddrInfoList>> lookUpBefore(
    std::function<int(addrinfo** list)> lookup, std::chrono::steady_clock::time_point deadline);

// The network serial component on the given loop; like the termios one it opens the device
// that PortMap::instance() gives for its port number, which must be a network device string.
std::unique_ptr<SerialComm> makeNetSerial(EventLoop& loop, std::size_t inBufferSize);

}  // namespace vantrel
