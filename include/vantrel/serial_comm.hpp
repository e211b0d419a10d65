// vantrel: the serial component a control owns, and its factories.
#pragma once

#include "vantrel/export.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "vantrel/event_loop.hpp"

namespace vantrel VANTREL_API {

// OnComm event codes.
namespace comm {
inline constexpr int16_t Send = 1;
inline constexpr int16_t Receive = 2;
inline constexpr int16_t CTS = 3;
inline constexpr int16_t DSR = 4;
inline constexpr int16_t CD = 5;
inline constexpr int16_t Ring = 6;
inline constexpr int16_t EndOfFile = 7;
inline constexpr int16_t Break = 1001;
inline constexpr int16_t CTSTimeout = 1002;
inline constexpr int16_t DSRTimeout = 1003;
inline constexpr int16_t Frame = 1004;
inline constexpr int16_t Overrun = 1006;
inline constexpr int16_t CDTimeout = 1007;
inline constexpr int16_t RxOver = 1008;
inline constexpr int16_t RxParity = 1009;
inline constexpr int16_t TxFull = 1010;
inline constexpr int16_t DCB = 1011;
}  // namespace comm

// Direction of a traced byte block.
enum class TraceDirection { Written, Received };
using TraceFn = std::function<void(TraceDirection, std::string_view bytes)>;

// The serial-port component. Bytes travel as std::string, one char per byte.
class SerialComm {
  public:
    virtual ~SerialComm() = default;

    virtual int16_t CommPort() const = 0;
    // Selects COM n for the next open. Throws Error (InvalidPortNumber) outside 1..255.
    virtual void CommPort(int16_t port) = 0;

    virtual std::string Settings() const = 0;
    // "rate,parity,data,stop", e.g. "9600,N,8,1". Malformed text throws Error 380. Applied at
    // once when open, else at the next open.
    virtual void Settings(std::string_view settings) = 0;

    virtual bool PortOpen() const = 0;
    // true opens the selected port (Error PortOpenFailed with the reason when it cannot);
    // false closes it.
    virtual void PortOpen(bool open) = 0;

    // Transmits the bytes in order; never blocks the thread. Error PortNotOpen when closed.
    virtual void Output(std::string_view bytes) = 0;
    // Every byte received so far; removes them from the component's buffer.
    virtual std::string Input() = 0;
    // The code of the event being notified.
    virtual int16_t CommEvent() const = 0;

    // The device went away while open (hang-up, end of file, a failed read or write). The
    // component then stops watching it, PortOpen() stays true, Output throws PortIo naming the
    // device, and PortOpen(false) closes it as usual; a later open reaches the device anew.
    // Hosts that wait on the line (a monitor, a reader) ask this after each pass of the loop.
    virtual bool HungUp() const { return false; }

    // Asked when the reply timer runs out while a reply to the bytes last written is awaited.
    // True: the wait has not really begun, since the device has not started on those bytes yet
    // (a board shared through `vantrel serve`, still answering another client), and the wait
    // goes on. False: the wait ends; a reply to those bytes that comes later may be dropped.
    virtual bool holdReplyTimeout() { return false; }

    // Mark one operation of the control: a conversion, a self-test check, a
    // resynchronisation, a board-search probe or a host's Command. The commands written between
    // the two calls belong together; a link that shares the board with other clients (the
    // daemon's) lets no other client's command in between. The control calls them in pairs,
    // outermost operation only, also when the operation ends with an error; links of their own
    // need nothing.
    virtual void beginOperation() {}
    virtual void endOperation() {}

    // Called on the loop's thread for each event; CommEvent() tells which.
    virtual void setOnComm(std::function<void()> onComm) = 0;

    // Hands over at once what the device has already received: reads it and notifies code 2
    // if anything is waiting. Does nothing when the port is closed.
    virtual void deliverPending() = 0;

    // Reports every block of bytes written to or read from the device (for --trace).
    virtual void setTrace(TraceFn trace) { (void)trace; }

    // Why the last PortOpen(true) failed (the text of its Error); empty after an open that
    // succeeded. The control reports only that it failed; a tool can show this.
    virtual std::string lastOpenError() const { return {}; }
};

// Gives the device string of COM n for an open, or throws Error (PortOpenFailed) saying why
// COM n has none. A serial component asks its resolver at each open.
using DeviceResolver = std::function<std::string(int port)>;
// COM n through PortMap::instance(): this run's mappings, the ports file, the default.
DeviceResolver portMapDevices();
// The same device whatever the port number.
DeviceResolver fixedDevice(std::string device);

// The termios serial component on the given loop; devices come from PortMap::instance().
std::unique_ptr<SerialComm> makePosixSerial(EventLoop& loop);

// The size of the termios component's input buffer unless one is given.
inline constexpr std::size_t defaultInBufferSize = 64 * 1024;
// As above, holding at most inBufferSize received bytes (at least 1, else Error 380): when more
// arrive before Input() takes them, the oldest are dropped and RxOver is notified.
std::unique_ptr<SerialComm> makePosixSerial(EventLoop& loop, std::size_t inBufferSize);

// Whether a device string is a URL ("rfc2217://HOST:PORT", "socket://HOST:PORT", "sim://")
// that a link other than the termios one serves, rather than a device path.
bool isDeviceUrl(std::string_view device);

// The serial component a control owns: each open picks the link by the scheme of the device
// string its resolver gives (PortMap's unless another is given). "rfc2217://HOST:PORT" reaches
// a serial server with RFC 2217 (the line settings travel to the far port),
// "socket://HOST:PORT" one that passes raw bytes (its rate is the server's); either takes
// "?timeout=SECONDS" (default 3) to bound the connection. "sim://" is a simulated board inside
// this process. Anything else is a device path for termios.
std::unique_ptr<SerialComm> makeSerialComm(EventLoop& loop);
std::unique_ptr<SerialComm> makeSerialComm(EventLoop& loop, std::size_t inBufferSize);
std::unique_ptr<SerialComm> makeSerialComm(EventLoop& loop, std::size_t inBufferSize,
                                           DeviceResolver resolve);

}  // namespace vantrel
