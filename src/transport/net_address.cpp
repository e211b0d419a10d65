// vantrel: reaching a serial server over TCP: its address, the name lookup and the connection,
// each bounded by a deadline and ended early by a stop signal.
#include "no_case.hpp"
#include "transport/net_serial.hpp"

#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <functional>
#include <mutex>
#include <optional>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

#include "fd.hpp"
#include "transport/schemes.hpp"
#include "transport/serial_base.hpp"
#include "transport/telnet_codec.hpp"
#include "vantrel/error.hpp"

namespace vantrel {

namespace {

using Clock = std::chrono::steady_clock;

[[noreturn]] void badAddress(std::string_view device, std::string_view why) {
    throw Error(err::PortOpenFailed, std::string(device) + ": " + std::string(why));
}

}  // namespace

std::string endpointText(const NetAddress& a) {
    const bool v6 = a.host.find(':') != std::string::npos;
    return (v6 ? "[" + a.host + "]" : a.host) + ":" + std::to_string(a.port);
}

void AddrInfoFree::operator()(addrinfo* list) const {
    if (list != nullptr) ::freeaddrinfo(list);
}

StopSignalWatch::StopSignalWatch() {
    sigset_t blocked;
    ::pthread_sigmask(SIG_BLOCK, nullptr, &blocked);
    sigset_t stops;
    sigemptyset(&stops);
    bool any = false;
    for (const int signo : {SIGINT, SIGTERM}) {
        if (sigismember(&blocked, signo) != 1) continue;
        sigaddset(&stops, signo);
        any = true;
    }
    if (any) fd_.reset(::signalfd(-1, &stops, SFD_NONBLOCK | SFD_CLOEXEC));
}

int pollOrStop(pollfd& p, Clock::time_point deadline, const StopSignalWatch& stop,
               std::string_view where) {
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
    if (left.count() <= 0) return 0;
    pollfd fds[2] = {p, {stop.fd(), POLLIN, 0}};
    const int rc = ::poll(fds, stop.fd() >= 0 ? 2 : 1, static_cast<int>(left.count()));
    if (rc > 0 && fds[1].revents != 0)
        throw Error(err::PortOpenFailed, std::string(where) + ": interrupted by a signal");
    p.revents = fds[0].revents;
    return rc;
}

std::optional<std::pair<int, AddrInfoList>> lookUpBefore(std::function<int(addrinfo**)> lookup,
                                                         Clock::time_point deadline,
                                                         const StopSignalWatch& stop) {
    struct State {
        std::mutex m;
        Fd done{::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)};
        bool abandoned = false;
        int rc = 0;
        addrinfo* list = nullptr;
    };
    const auto state = std::make_shared<State>();
    const auto here = [&] {
        addrinfo* list = nullptr;
        const int rc = lookup(&list);
        return std::pair{rc, AddrInfoList(list)};
    };
    if (!state->done) return here();  // no descriptor to wait on: the lookup waits here
    try {
        std::thread([state, lookup] {
            addrinfo* list = nullptr;
            const int rc = lookup(&list);
            const std::lock_guard<std::mutex> hold(state->m);
            if (state->abandoned) {
                if (list != nullptr) ::freeaddrinfo(list);
                return;
            }
            state->rc = rc;
            state->list = list;
            const uint64_t one = 1;
            (void)!::write(state->done.get(), &one, sizeof one);
        }).detach();
    } catch (const std::system_error&) {
        return here();  // no thread to be had
    }
    const auto abandon = [&] {
        const std::lock_guard<std::mutex> hold(state->m);
        state->abandoned = true;
        // The lookup may have finished meanwhile: its list is ours to free.
        if (state->list != nullptr) ::freeaddrinfo(state->list);
        state->list = nullptr;
    };
    while (true) {
        pollfd p{state->done.get(), POLLIN, 0};
        int rc = 0;
        try {
            rc = pollOrStop(p, deadline, stop, "resolve");
        } catch (...) {
            abandon();
            throw;
        }
        if (rc < 0 && errno == EINTR) continue;
        if (rc > 0) break;
        abandon();
        return std::nullopt;
    }
    const std::lock_guard<std::mutex> hold(state->m);
    return std::pair{state->rc, AddrInfoList(std::exchange(state->list, nullptr))};
}

Fd connectTo(const NetAddress& a, Clock::time_point deadline, const StopSignalWatch& stop) {
    const std::string where = endpointText(a);
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_NUMERICSERV;
    const std::string service = std::to_string(a.port);
    // An address needs no lookup; a name may wait on a name server, so not beyond the deadline.
    addrinfo numeric = hints;
    numeric.ai_flags |= AI_NUMERICHOST;
    addrinfo* found = nullptr;
    int rc = ::getaddrinfo(a.host.c_str(), service.c_str(), &numeric, &found);
    AddrInfoList list(found);
    if (rc == EAI_NONAME) {
        auto named = lookUpBefore(
            [host = a.host, service, hints](addrinfo** out) {
                return ::getaddrinfo(host.c_str(), service.c_str(), &hints, out);
            },
            deadline, stop);
        if (!named)
            throw Error(err::PortOpenFailed,
                        "resolve " + a.host + ": no answer from the name server in time");
        rc = named->first;
        list = std::move(named->second);
    }
    if (rc != 0) throw Error(err::PortOpenFailed, "resolve " + a.host + ": " + ::gai_strerror(rc));
    found = list.get();
    std::string failure = "connect " + where + ": no address";
    for (const addrinfo* ai = found; ai != nullptr; ai = ai->ai_next) {
        Fd fd(::socket(ai->ai_family, ai->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC,
                       ai->ai_protocol));
        if (!fd) {
            failure = sysMessage("socket", where, errno);
            continue;
        }
        int error = 0;
        if (::connect(fd.get(), ai->ai_addr, ai->ai_addrlen) != 0) {
            error = errno;
            while (error == EINPROGRESS || error == EINTR) {
                const auto left =
                    std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
                if (left.count() <= 0) {
                    error = ETIMEDOUT;
                    break;
                }
                pollfd p{fd.get(), POLLOUT, 0};
                const int rc = pollOrStop(p, deadline, stop, "connect " + where);
                if (rc < 0 && errno == EINTR) continue;
                if (rc < 0) {
                    error = errno;
                    break;
                }
                if (rc == 0) continue;  // the loop condition reports the timeout
                socklen_t len = sizeof error;
                if (::getsockopt(fd.get(), SOL_SOCKET, SO_ERROR, &error, &len) != 0) error = errno;
            }
        }
        if (error == 0) {
            const int on = 1;
            ::setsockopt(fd.get(), IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
            return fd;
        }
        failure = sysMessage("connect", where, error);
        if (error == ETIMEDOUT) break;  // the time is used up for every other address too
    }
    throw Error(err::PortOpenFailed, failure);
}

NetAddress parseNetAddress(std::string_view device, std::string_view scheme) {
    NetAddress a;
    if (!startsWithNoCase(device, scheme)) {
        badAddress(device, "expected " + std::string(scheme) + "HOST:PORT");
    }
    std::string_view rest = device.substr(scheme.size());
    const std::size_t query = rest.find('?');
    std::string_view options = query == std::string_view::npos ? "" : rest.substr(query + 1);
    rest = rest.substr(0, query);

    std::string_view host;
    std::string_view port;
    if (!rest.empty() && rest.front() == '[') {
        const std::size_t close = rest.find(']');
        if (close == std::string_view::npos || close + 1 >= rest.size() || rest[close + 1] != ':')
            badAddress(device, "expected [IPv6 address]:PORT");
        host = rest.substr(1, close - 1);
        port = rest.substr(close + 2);
    } else {
        const std::size_t colon = rest.rfind(':');
        if (colon == std::string_view::npos) badAddress(device, "the port number is missing");
        host = rest.substr(0, colon);
        port = rest.substr(0, colon).find(':') == std::string_view::npos ? rest.substr(colon + 1)
                                                                         : std::string_view{};
        if (port.empty())
            badAddress(device, "expected HOST:PORT (an IPv6 address goes in brackets)");
    }
    const auto number = parseUnsigned(port);
    if (host.empty()) badAddress(device, "the host is missing");
    if (!number || *number == 0 || *number > 65535)
        badAddress(device, "the port must be 1 to 65535");
    a.host = host;
    a.port = static_cast<uint16_t>(*number);

    while (!options.empty()) {
        const std::size_t amp = options.find('&');
        const std::string_view option = options.substr(0, amp);
        options = amp == std::string_view::npos ? "" : options.substr(amp + 1);
        constexpr std::string_view kTimeout = "timeout=";
        if (option.substr(0, kTimeout.size()) != kTimeout) {
            badAddress(device, "unknown option \"" + std::string(option) + "\" (known: timeout)");
        }
        const std::string value(option.substr(kTimeout.size()));
        char* end = nullptr;
        const double seconds = value.empty() ? -1 : std::strtod(value.c_str(), &end);
        if (value.empty() || end != value.c_str() + value.size() || !std::isfinite(seconds) ||
            seconds <= 0 || seconds > 3600) {
            badAddress(device, "timeout must be a number of seconds, above 0 and at most 3600");
        }
        a.timeout = std::chrono::milliseconds(std::max<long long>(1, std::llround(seconds * 1000)));
    }
    return a;
}

}  // namespace vantrel
