// vantrel recorder: the service manager's notification socket.
#include "service_notify.hpp"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

#include "fd.hpp"

namespace vantrel::acquire {

ServiceNotifier::ServiceNotifier() {
    const char* path = std::getenv("NOTIFY_SOCKET");
    // A path, or an abstract socket written with a leading "@".
    if (path && (path[0] == '/' || path[0] == '@') &&
        std::strlen(path) < sizeof(sockaddr_un::sun_path))
        socket_ = path;
    const char* usec = std::getenv("WATCHDOG_USEC");
    const char* pid = std::getenv("WATCHDOG_PID");
    if (usec && (!pid || std::strtol(pid, nullptr, 10) == ::getpid())) {
        const long long us = std::strtoll(usec, nullptr, 10);
        if (us > 0) watchdog_ = std::chrono::microseconds(us / 2);
    }
}

bool ServiceNotifier::send(std::string_view state) const {
    if (socket_.empty()) return true;
    const Fd fd(::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    if (!fd) return false;
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::memcpy(addr.sun_path, socket_.data(), socket_.size());
    if (socket_[0] == '@') addr.sun_path[0] = '\0';
    const auto size = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + socket_.size());
    return ::sendto(fd.get(), state.data(), state.size(), MSG_NOSIGNAL,
                    reinterpret_cast<const sockaddr*>(&addr),
                    size) == static_cast<ssize_t>(state.size());
}

}  // namespace vantrel::acquire
