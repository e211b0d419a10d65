// vantrel serve: the sockets the daemon listens on, and the token check of a TCP hello.
#include "serve/listeners.hpp"

#include <arpa/inet.h>
#include <fcntl.h>
#include <grp.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <deque>
#include <exception>
#include <future>
#include <map>
#include <nlohmann/json.hpp>
#include <optional>

#include "transport/link.hpp"
#include "transport/net_serial.hpp"
#include "transport/serve_protocol.hpp"
#include "vantrel/error.hpp"
#include "vantrel/serial_comm.hpp"

namespace vantrel::serve {

bool sameToken(std::string_view a, std::string_view b) {
    // Compares every byte whatever the first difference, so that the time taken says nothing.
    unsigned diff = a.size() == b.size() ? 0u : 1u;
    for (std::size_t i = 0; i < a.size(); ++i)
        diff |=
            static_cast<unsigned char>(a[i]) ^ static_cast<unsigned char>(i < b.size() ? b[i] : 0);
    return diff == 0;
}

Fd unixListener(const std::string& path, const std::string& groupName) {
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    if (path.size() >= sizeof addr.sun_path)
        throw Error(err::PortOpenFailed, path + ": the socket's path is too long");
    std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
    const std::size_t slash = path.rfind('/');
    if (slash != std::string::npos && slash > 0) {
        const std::string dir = path.substr(0, slash);
        if (::mkdir(dir.c_str(), 0750) != 0 && errno != EEXIST)
            throw Error(err::PortOpenFailed, sysMessage("mkdir", dir, errno));
    }
    // A socket left by a daemon that ended without removing it is replaced; one that answers
    // belongs to a daemon still running.
    struct stat st {};
    if (::lstat(path.c_str(), &st) == 0 && S_ISSOCK(st.st_mode)) {
        Fd probe(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
        if (probe &&
            ::connect(probe.get(), reinterpret_cast<const sockaddr*>(&addr), sizeof addr) == 0)
            throw Error(err::PortOpenFailed, path + ": another vantrel serve is listening there");
        ::unlink(path.c_str());
    }
    Fd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    if (!fd) throw Error(err::PortOpenFailed, sysMessage("socket", path, errno));
    const mode_t old = ::umask(0117);
    const int rc = ::bind(fd.get(), reinterpret_cast<const sockaddr*>(&addr), sizeof addr);
    const int bindErrno = errno;
    ::umask(old);
    if (rc != 0) throw Error(err::PortOpenFailed, sysMessage("bind", path, bindErrno));
    ::chmod(path.c_str(), 0660);
    if (!groupName.empty()) {
        if (const struct group* g = ::getgrnam(groupName.c_str())) {
            // Only a daemon that may give the socket to the group does; others keep their own.
            (void)!::chown(path.c_str(), static_cast<uid_t>(-1), g->gr_gid);
        }
    }
    if (::listen(fd.get(), SOMAXCONN) != 0)
        throw Error(err::PortOpenFailed, sysMessage("listen", path, errno));
    return fd;
}

namespace {

bool isLoopback(const sockaddr_storage& a) {
    if (a.ss_family == AF_INET) {
        const auto* in = reinterpret_cast<const sockaddr_in*>(&a);
        return (ntohl(in->sin_addr.s_addr) >> 24) == 127;
    }
    if (a.ss_family == AF_INET6) {
        const auto* in6 = reinterpret_cast<const sockaddr_in6*>(&a);
        return IN6_IS_ADDR_LOOPBACK(&in6->sin6_addr);
    }
    return false;
}

}  // namespace

Fd tcpListener(const std::string& listen, bool allowRemote, uint16_t& boundPort) {
    const std::size_t colon = listen.rfind(':');
    if (colon == std::string::npos)
        throw Error(err::PortOpenFailed, "--listen " + listen + ": expected HOST:PORT");
    std::string host = listen.substr(0, colon);
    if (host.size() >= 2 && host.front() == '[' && host.back() == ']')
        host = host.substr(1, host.size() - 2);
    const auto port = parseUnsigned(listen.substr(colon + 1));
    if (host.empty() || !port || *port > 65535)
        throw Error(err::PortOpenFailed,
                    "--listen " + listen + ": expected HOST:PORT with a port of 0 to 65535");
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_NUMERICSERV | AI_PASSIVE;
    addrinfo* found = nullptr;
    const int rc = ::getaddrinfo(host.c_str(), std::to_string(*port).c_str(), &hints, &found);
    AddrInfoList list(found);
    if (rc != 0) throw Error(err::PortOpenFailed, "resolve " + host + ": " + ::gai_strerror(rc));
    sockaddr_storage addr{};
    std::memcpy(&addr, found->ai_addr, std::min<std::size_t>(found->ai_addrlen, sizeof addr));
    if (!allowRemote && !isLoopback(addr))
        throw Error(err::PortOpenFailed,
                    "--listen " + listen +
                        ": not a loopback address (give --allow-remote to listen there)");
    Fd fd(::socket(found->ai_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    if (!fd) throw Error(err::PortOpenFailed, sysMessage("socket", listen, errno));
    const int on = 1;
    ::setsockopt(fd.get(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    if (::bind(fd.get(), found->ai_addr, found->ai_addrlen) != 0)
        throw Error(err::PortOpenFailed, sysMessage("bind", listen, errno));
    if (::listen(fd.get(), SOMAXCONN) != 0)
        throw Error(err::PortOpenFailed, sysMessage("listen", listen, errno));
    sockaddr_storage bound{};
    socklen_t len = sizeof bound;
    ::getsockname(fd.get(), reinterpret_cast<sockaddr*>(&bound), &len);
    boundPort =
        ntohs(bound.ss_family == AF_INET6 ? reinterpret_cast<const sockaddr_in6*>(&bound)->sin6_port
                                          : reinterpret_cast<const sockaddr_in*>(&bound)->sin_port);
    return fd;
}

}  // namespace vantrel::serve
