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

#include "fd.hpp"
#include "vantrel/platform.hpp"

struct addrinfo;
struct pollfd;

namespace vantrel {

// Where a network serial port is, parsed from its device string. HOST is a name, an IPv4
// address or an IPv6 address in brackets; "?timeout=SECONDS" bounds the connection (and, with
// RFC 2217, the negotiation that follows it).
struct NetAddress {
    std::string host;
    uint16_t port = 0;
    std::chrono::milliseconds timeout{3000};
};

// Parses "SCHEME://HOST:PORT[?timeout=SECONDS]" for the given scheme ("rfc2217://", in any
// case in the device string). Throws Error (PortOpenFailed) naming what is wrong.
NetAddress parseNetAddress(std::string_view device, std::string_view scheme);
// "host:port", an IPv6 host in brackets.
std::string endpointText(const NetAddress& a);

// The result of a name lookup, freed with freeaddrinfo.
struct AddrInfoFree {
    void operator()(addrinfo* list) const;
};
using AddrInfoList = std::unique_ptr<addrinfo, AddrInfoFree>;

// SIGINT and SIGTERM, where this thread blocks them so that the host takes them itself (a
// signalfd on its loop, sigwait): fd() is readable while one is pending, and -1 when the thread
// blocks neither (then they end the process or run the host's handler). An open's waits end
// on it and leave the signal pending for the host.
class StopSignalWatch {
  public:
    StopSignalWatch();
    int fd() const { return fd_ ? fd_.get() : -1; }

  private:
    Fd fd_;
};

// Polls `p` until `deadline` as poll does (0 once it has passed), and the stop signals with
// it: throws Error (PortOpenFailed) "WHERE: interrupted by a signal" when one is pending.
int pollOrStop(pollfd& p, std::chrono::steady_clock::time_point deadline,
               const StopSignalWatch& stop, std::string_view where);

// Runs `lookup` (a getaddrinfo call, which may wait on a name server for many seconds) on a
// thread of its own and waits for it until `deadline` or a stop signal (then Error as
// pollOrStop). Gives its status and list, or nothing when the deadline came first: the lookup
// then finishes alone and frees its list.
std::optional<std::pair<int, AddrInfoList>> lookUpBefore(
    std::function<int(addrinfo** list)> lookup, std::chrono::steady_clock::time_point deadline,
    const StopSignalWatch& stop = StopSignalWatch());

// Connects to the first address of `a` that answers before `deadline` (a name is looked up
// as lookUpBefore does). The socket is non-blocking, with TCP_NODELAY. Throws Error
// (PortOpenFailed) naming the address and the reason.
Fd connectTo(const NetAddress& a, std::chrono::steady_clock::time_point deadline,
             const StopSignalWatch& stop);

// A serial component whose first link is the raw TCP one (so that it takes any rate before it
// opens); it opens what PortMap::instance() gives for its port number, by the table of schemes.
std::unique_ptr<SerialComm> makeNetSerial(EventLoop& loop, std::size_t inBufferSize);

}  // namespace vantrel
