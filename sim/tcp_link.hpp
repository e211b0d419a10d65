// vantrel-sim: the simulated board on TCP as well, for hosts without a serial server. One
// client at a time gets the board's line as raw bytes, as a serial server's raw TCP port
// gives it (the control reaches it as "socket://HOST:PORT"); a client that connects while
// another is served is turned away.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <string_view>

#include "fd.hpp"
#include "vantrel/platform.hpp"

namespace vantrel::sim {

class TcpLink {
  public:
    // Listens on "HOST:PORT" ("[IPv6]:PORT"; PORT a number from 0 to 65535, 0 picks a free
    // one) and, for each client, opens `device` (the board's pseudo-terminal) and carries bytes
    // both ways on `loop`, which must keep timers. Throws Error (PortOpenFailed) with the
    // failing call when it cannot listen.
    TcpLink(EventLoop& loop, std::string device, std::string_view hostPort);
    ~TcpLink();
    TcpLink(const TcpLink&) = delete;
    TcpLink& operator=(const TcpLink&) = delete;

    // The address listened on, with the port actually bound ("127.0.0.1:40123").
    const std::string& address() const { return address_; }
    uint16_t port() const { return port_; }
    bool connected() const { return static_cast<bool>(client_); }

  private:
    // How long accepting pauses after a failure that is not the client's.
    static constexpr std::chrono::milliseconds kAcceptPause{100};

    // One direction of the link: bytes read from `from`, not yet taken by `to`.
    struct Leg {
        std::string pending;
        std::size_t offset = 0;
    };

    void onAccept();
    void onClient(uint32_t events);
    void onLine(uint32_t events);
    // Moves bytes from `from` into the leg and on to `to`; false when either side is gone.
    bool pass(int from, int to, Leg& leg, bool readable);
    void updateWatches();
    void disconnect();

    EventLoop& loop_;
    std::string device_;
    std::string address_;
    uint16_t port_ = 0;
    Fd listen_;
    Fd client_;
    Fd line_;
    // A descriptor held in reserve, for turning a client away when none is left.
    Fd spare_;
    uint64_t resume_ = 0;  // the loop's timer that resumes accepting
    WatchHandle listenWatch_;
    WatchHandle clientWatch_;
    WatchHandle lineWatch_;
    Leg toLine_;    // from the client to the board
    Leg toClient_;  // from the board to the client
};

}  // namespace vantrel::sim
