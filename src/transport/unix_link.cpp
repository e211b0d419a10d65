// vantrel: "unix://PATH[?timeout=SECONDS][#BOARD]", a board shared by `vantrel serve` on this
// machine, through its Unix socket (an empty PATH: the daemon's default socket). BOARD names
// one of the daemon's boards; without it, its first.
#include <sys/socket.h>
#include <sys/un.h>

#include <cerrno>
#include <cstring>

#include "transport/net_serial.hpp"
#include "transport/serve_client.hpp"
#include "transport/serve_protocol.hpp"
#include "vantrel/error.hpp"

namespace vantrel {

namespace {

constexpr std::string_view kScheme = "unix://";

ServeConnection dialUnix(const std::string& device, const StopSignalWatch&) {
    const ServeUrl url = splitServeUrl(device, kScheme, {"timeout", "role"});
    const std::string path = url.where.empty() ? serve::defaultServeSocket() : url.where;
    ServeConnection c;
    c.board = url.board;
    for (const auto& [name, value] : url.options)
        if (name == "role") {
            if (value != "recording")
                throw Error(err::PortOpenFailed,
                            std::string(device) + ": role must be \"recording\"");
            c.role = value;
        }
    c.deadline = std::chrono::steady_clock::now() + serveTimeout(url, device);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    if (path.size() >= sizeof addr.sun_path)
        throw Error(err::PortOpenFailed, std::string(kScheme) + path + ": the path is too long");
    std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
    c.sock.reset(::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    if (!c.sock) throw Error(err::PortOpenFailed, sysMessage("socket", path, errno));
    if (::connect(c.sock.get(), reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0) {
        const int e = errno;
        // A full backlog: the daemon is not taking connections now.
        throw Error(err::PortOpenFailed,
                    sysMessage("connect", path, e) +
                        (e == ENOENT || e == ECONNREFUSED ? " (is vantrel serve running?)" : ""));
    }
    return c;
}

}  // namespace

std::unique_ptr<Link> makeUnixServeLink(EventLoop& loop, SerialBase& base) {
    return makeServeClientLink(loop, base, kScheme, dialUnix);
}

}  // namespace vantrel
