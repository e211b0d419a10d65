// vantrel serve: one process owns the boards and runs their command lines for every client
// that connects, one transaction at a time per board; a client's operation (the commands of
// one reading) runs whole, and clients with work take turns. Clients connect on
// a Unix socket, and on TCP when asked (with a token); they speak the frames of
// transport/serve_protocol.hpp (docs/serve.md).
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "fd.hpp"
#include "vantrel/event_loop.hpp"

namespace vantrel::serve {

struct BoardSetup {
    std::string name;    // a word: what clients give after "#"
    std::string device;  // a path or a URL
    int32_t baud = 9600;
};

struct DaemonOptions {
    std::vector<BoardSetup> boards;
    // The Unix socket made (mode 0660, group `socketGroup` when it exists); empty: none.
    std::string socketPath;
    std::string socketGroup = "dialout";
    // A listening Unix socket handed over (socket activation); -1: none.
    int inheritedSocket = -1;
    // "HOST:PORT" for TCP (port 0: any); empty: no TCP. Only on a loopback address unless
    // `allowRemote`; a TCP client must give `token`, which may not be empty then.
    std::string listen;
    bool allowRemote = false;
    std::string token;

    std::size_t maxClients = 64;  // connections beyond are refused ("busy")
    // Commands waiting per board ("queue-full" beyond, for a client that has one waiting).
    std::size_t maxQueue = 32;
    std::size_t maxPerClient = 8;  // commands one client may have waiting at once
    // A client that has not sent its whole hello this long after it connected, or the whole
    // of a frame this long after its first bytes, is dropped ("idle").
    std::chrono::milliseconds idleTimeout{5000};
    // How long the board waits, beyond its reply window, for the next command of an operation
    // under way before it serves others again (that operation's later commands then fail).
    std::chrono::milliseconds holdMargin{1000};
    // A wrong token over TCP is answered this long after it came (at the next sweep after).
    std::chrono::milliseconds tokenPenalty{1000};
    // How long the board has for a reply; 0: twice the reply window a control has at the
    // board's rate (2,500,000 / rate ms), at least 50 ms.
    std::chrono::milliseconds replyWindow{0};
    // Output waiting for a client that does not read, beyond which it is dropped.
    std::size_t maxClientOutput = 1 << 20;
};

// Runs on `loop` (whoever pumps it). Throws Error when a socket cannot be made or a board
// name is not a word; a board that does not open is retried every second.
class Daemon {
  public:
    Daemon(EventLoop& loop, DaemonOptions options);
    ~Daemon();
    Daemon(const Daemon&) = delete;
    Daemon& operator=(const Daemon&) = delete;

    // The boards and clients as one JSON object (what a "status" frame answers).
    std::string statusJson() const;
    // The TCP port bound (0: no TCP).
    uint16_t tcpPort() const;
    std::size_t clientCount() const;
    uint64_t transactions() const;

  private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

// The token TCP clients give, at least this long, so that it cannot be guessed.
inline constexpr std::size_t kMinToken = 16;

// The first line of a token file, refused unless only its owner can read it (the clients'
// reader, transport/serve_protocol.hpp).
std::string readTokenFile(const std::string& path);

// Where clients find the daemon unless told: $XDG_RUNTIME_DIR/vantrel/serve.sock, else
// /run/vantrel/serve.sock (the service's).
std::string defaultSocketPath();

// The status of the daemon listening on a Unix socket (its JSON object), asked within 3
// seconds. Throws Error (PortOpenFailed) saying why there is none.
std::string askStatus(const std::string& socketPath);

// A daemon on a thread of its own with its own loop, for the tool and in-process users.
class DaemonThread {
  public:
    // Starts the thread and waits until the daemon is listening; rethrows what its
    // constructor threw.
    explicit DaemonThread(DaemonOptions options);
    // Stops as stop() does.
    ~DaemonThread();
    DaemonThread(const DaemonThread&) = delete;
    DaemonThread& operator=(const DaemonThread&) = delete;

    void stop();
    uint16_t tcpPort() const { return tcpPort_; }

  private:
    Fd wake_;
    std::thread thread_;
    uint16_t tcpPort_ = 0;
};

}  // namespace vantrel::serve
