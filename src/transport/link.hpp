// vantrel: a link, what carries a serial component's bytes to one kind of device (a termios
// device, a TCP connection, a serial server speaking RFC 2217, the simulated board). The serial
// base (serial_base.hpp) implements the component once and owns one link at a time; the table
// of schemes (schemes.hpp) picks the link for a device string.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "vantrel/serial_comm.hpp"

namespace vantrel {

class SerialBase;

// "rate,parity,data,stop". Any positive rate reads; each link decides which it takes.
struct LineFormat {
    uint32_t bauds = 9600;
    char parity = 'N';  // N, E or O
    uint8_t dataBits = 8;
    uint8_t stopBits = 1;

    std::string text() const;
};

// A whole decimal number that fits 32 bits, and nothing else (no sign, no spaces).
std::optional<uint32_t> parseUnsigned(std::string_view text);

// Parses "rate,parity,data,stop": a rate above 0, parity N, E or O in either case, 5 to 8 data
// bits, 1 or 2 stop bits. Nothing when the text is anything else.
std::optional<LineFormat> parseLineFormat(std::string_view text);

// One kind of device. A link keeps its own device state; the input buffer, the queue of bytes
// the device has not taken yet, the trace and the owner's events are the base's, which the
// link reaches through the SerialBase it was made for. A link's open state lasts from a
// successful open() to close(); the base keeps a closed link until a device of another kind is
// opened.
class Link {
  public:
    virtual ~Link() = default;

    // Whether the link can carry this format (termios: a rate it has a speed for).
    virtual bool takes(const LineFormat& format) const {
        (void)format;
        return true;
    }
    // Opens `device` with `format`. Throws Error (PortOpenFailed, PortAlreadyOpen) naming the
    // device and the reason.
    virtual void open(const std::string& device, const LineFormat& format) = 0;
    // Closes without waiting for the device; bytes still queued are dropped.
    virtual void close() noexcept = 0;
    // Open from open() to close(), also after the device went away.
    virtual bool isOpen() const = 0;
    // Applies a format the link takes while open. Throws Error (SettingsFailed).
    virtual void apply(const LineFormat& format) = 0;
    // SerialComm::Output while open.
    virtual void write(std::string_view bytes) = 0;
    // SerialComm::deliverPending while open.
    virtual void deliverPending() = 0;
    // SerialComm::HungUp.
    virtual bool hungUp() const = 0;
    // SerialComm::holdReplyTimeout while open.
    virtual bool holdReplyTimeout() { return false; }
    // SerialComm::beginOperation and endOperation while open.
    virtual void beginOperation() {}
    virtual void endOperation() {}
};

// Makes a closed link for the given component on its loop.
using LinkFactory = std::function<std::unique_ptr<Link>(EventLoop& loop, SerialBase& base)>;

// One kind of link. The base compares kinds by address: a device of the kind of the link it
// holds is opened on that link.
struct LinkKind {
    std::string_view name;  // "termios", "socket", ...
    LinkFactory make;
};

// Which kind of link serves a device string.
using LinkChooser = std::function<const LinkKind&(std::string_view device)>;

}  // namespace vantrel
