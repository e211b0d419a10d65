// vantrel: a link to a board shared by `vantrel serve`. The daemon owns the board and runs one
// command at a time for all its clients; this link hands it each command line the control
// writes and takes back the reply to it, and the board's own text (interrupt lines) as it
// comes. The unix:// and vantrel:// links differ only in how they reach the daemon.
#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "fd.hpp"
#include "transport/link.hpp"

namespace vantrel {

class StopSignalWatch;

// A connection to the daemon, and what the hello says.
struct ServeConnection {
    Fd sock;            // connected, non-blocking
    std::string board;  // empty: the daemon's first board
    std::string token;  // empty on a Unix socket
    std::string role;   // "recording": the daemon's own recorder (only its own process's counts)
    std::chrono::steady_clock::time_point deadline;  // for the hello too
};

// Connects to the daemon of a device string.
using ServeDialer =
    std::function<ServeConnection(const std::string& device, const StopSignalWatch&)>;

// "SCHEME://WHERE[?NAME=VALUE&...][#BOARD]" taken apart. Throws Error (PortOpenFailed) for a
// board name that is not a word, an option without "=", or one not in `known`.
struct ServeUrl {
    std::string where;
    std::vector<std::pair<std::string, std::string>> options;
    std::string board;
};
ServeUrl splitServeUrl(std::string_view device, std::string_view scheme,
                       std::initializer_list<std::string_view> known);
// "?timeout=SECONDS" (default 3), as the network links take it.
std::chrono::milliseconds serveTimeout(const ServeUrl& url, std::string_view device);

std::unique_ptr<Link> makeServeClientLink(EventLoop& loop, SerialBase& base,
                                          std::string_view scheme, ServeDialer dial);

}  // namespace vantrel
