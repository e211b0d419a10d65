// vantrel: the one table of device-string schemes and the links that serve them. A new link is
// its own file and one row here.
#include "transport/schemes.hpp"
#include "no_case.hpp"

#include <cctype>
#include <memory>
#include <string>
#include <utility>

#include "transport/serial_base.hpp"
#include "vantrel/ports.hpp"

namespace vantrel {

// Each link's file makes its links.
std::unique_ptr<Link> makePosixLink(EventLoop& loop, SerialBase& base);
std::unique_ptr<Link> makeTcpLink(EventLoop& loop, SerialBase& base);
std::unique_ptr<Link> makeRfc2217Link(EventLoop& loop, SerialBase& base);
std::unique_ptr<Link> makeSimLink(EventLoop& loop, SerialBase& base);
std::unique_ptr<Link> makeUnixServeLink(EventLoop& loop, SerialBase& base);
std::unique_ptr<Link> makeVantrelServeLink(EventLoop& loop, SerialBase& base);

namespace {

struct Scheme {
    std::string_view prefix;  // lower case
    LinkKind kind;
};

// "rfc2217://HOST:PORT": a serial server with RFC 2217, the line settings travel to the far
// port. "socket://HOST:PORT": a server that passes raw bytes (its rate is the server's). Both
// take "?timeout=SECONDS" (default 3) to bound the connection. "sim://": a simulated board in
// this process. "unix://PATH" and "vantrel://HOST:PORT": a board shared by `vantrel serve`.
const Scheme kSchemes[] = {
    {"rfc2217://", {"rfc2217", makeRfc2217Link}},
    {"socket://", {"socket", makeTcpLink}},
    {"sim://", {"sim", makeSimLink}},
    {"unix://", {"unix", makeUnixServeLink}},
    {"vantrel://", {"vantrel", makeVantrelServeLink}},
};

const LinkKind kTermios{"termios", makePosixLink};

const Scheme* schemeOf(std::string_view device) {
    for (const Scheme& s : kSchemes) {
        if (startsWithNoCase(device, s.prefix)) return &s;
    }
    return nullptr;
}

}  // namespace

const LinkKind& linkKindFor(std::string_view device) {
    const Scheme* s = schemeOf(device);
    return s ? s->kind : kTermios;
}

bool isDeviceUrl(std::string_view device) {
    return schemeOf(device) != nullptr;
}

DeviceResolver fixedDevice(std::string device) {
    return [device = std::move(device)](int) { return device; };
}

std::unique_ptr<SerialComm> makeSerialComm(EventLoop& loop) {
    return makeSerialComm(loop, defaultInBufferSize);
}

std::unique_ptr<SerialComm> makeSerialComm(EventLoop& loop, std::size_t inBufferSize) {
    return makeSerialComm(loop, inBufferSize, portMapDevices());
}

std::unique_ptr<SerialComm> makeSerialComm(EventLoop& loop, std::size_t inBufferSize,
                                           DeviceResolver resolve) {
    return std::make_unique<SerialBase>(
        loop, inBufferSize, std::move(resolve),
        [](std::string_view device) -> const LinkKind& { return linkKindFor(device); });
}

}  // namespace vantrel
