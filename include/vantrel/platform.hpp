// vantrel: the seams through which the control reaches the outside world, and their POSIX
// implementations. The control never calls the operating system itself.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "vantrel/variant.hpp"

namespace vantrel {

// ---------------------------------------------------------------------------------------------
// Event loop

class EventLoop;

// Owns one watch on an event loop; destroying or resetting it removes the watch.
class WatchHandle {
public:
    WatchHandle() = default;
    WatchHandle(EventLoop* loop, uint64_t id) : loop_(loop), id_(id) {}
    WatchHandle(WatchHandle&& o) noexcept : loop_(o.loop_), id_(o.id_) { o.loop_ = nullptr; }
    WatchHandle& operator=(WatchHandle&& o) noexcept;
    WatchHandle(const WatchHandle&) = delete;
    WatchHandle& operator=(const WatchHandle&) = delete;
    ~WatchHandle() { reset(); }

    void reset() noexcept;
    // Changes the events watched for (EPOLLIN, EPOLLOUT, ...).
    void modify(uint32_t events);
    explicit operator bool() const noexcept { return loop_ != nullptr; }

private:
    EventLoop* loop_ = nullptr;
    uint64_t id_ = 0;
};

// A single-threaded event loop. Callbacks run on the thread that pumps the loop.
class EventLoop {
public:
    using Callback = std::function<void(uint32_t events)>;

    virtual ~EventLoop() = default;

    // Calls cb with the ready events (EPOLLIN, EPOLLOUT, EPOLLHUP, EPOLLERR) while fd is ready.
    // Level-triggered. Throws Error (EventLoopFailed) when the descriptor cannot be watched.
    virtual WatchHandle watch(int fd, uint32_t events, Callback cb) = 0;

    // Blocks until at least one watch is ready, runs every ready callback once, returns.
    // Never spins: with nothing ready it sleeps in the kernel.
    virtual void pumpOnce() = 0;
    // As pumpOnce, waiting at most `timeout`; returns whether any callback ran.
    virtual bool pumpOnce(std::chrono::milliseconds timeout) = 0;

    // For hosts that embed this loop: a descriptor that is readable while something is pending,
    // and a call that runs whatever is pending without blocking.
    virtual int fd() const = 0;
    virtual void dispatchPending() = 0;

protected:
    friend class WatchHandle;
    virtual void unwatch(uint64_t id) noexcept = 0;
    virtual void modifyWatch(uint64_t id, uint32_t events) = 0;
};

// The epoll loop, one per thread by default.
std::unique_ptr<EventLoop> makeEpollLoop();
EventLoop& threadLoop();

// ---------------------------------------------------------------------------------------------
// Timer

// A repeating timer: while enabled it ticks once per interval, counting from the moment it
// was enabled. Disabling discards any expiry not yet delivered.
class Timer {
public:
    virtual ~Timer() = default;
    virtual int32_t Interval() const = 0;
    // Milliseconds; below 1 ticks after 1 ms; negative throws Error 380.
    virtual void Interval(int32_t ms) = 0;
    virtual bool Enabled() const = 0;
    virtual void Enabled(bool on) = 0;
    virtual void setOnTick(std::function<void()> onTick) = 0;
};

// timerfd on the given loop.
std::unique_ptr<Timer> makeLoopTimer(EventLoop& loop);

// ---------------------------------------------------------------------------------------------
// Serial component

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

    // Called on the loop's thread for each event; CommEvent() tells which.
    virtual void setOnComm(std::function<void()> onComm) = 0;

    // Hands over at once what the device has already received: reads it and notifies code 2
    // if anything is waiting. Does nothing when the port is closed.
    virtual void deliverPending() = 0;

    // Reports every block of bytes written to or read from the device (for --trace).
    virtual void setTrace(TraceFn trace) { (void)trace; }
};

// Which device path is COM n. Default: /dev/ttyS<n-1>; a host can map any n to any path.
class PortMap {
public:
    static PortMap& instance();
    std::string devicePath(int port) const;
    void map(int port, std::string path);
    void unmap(int port);  // back to the default
    void clear();
    std::map<int, std::string> mappings() const;

private:
    std::map<int, std::string> map_;
};

// The serial devices present on this machine (from sysfs), as device paths.
std::vector<std::string> listSerialDevices();

// The termios serial component on the given loop; devices come from PortMap::instance().
std::unique_ptr<SerialComm> makePosixSerial(EventLoop& loop);

// The size of the termios component's input buffer unless one is given.
inline constexpr std::size_t defaultInBufferSize = 64 * 1024;
// As above, holding at most inBufferSize received bytes (at least 1, else Error 380): when more
// arrive before Input() takes them, the oldest are dropped and RxOver is notified.
std::unique_ptr<SerialComm> makePosixSerial(EventLoop& loop, std::size_t inBufferSize);

// ---------------------------------------------------------------------------------------------
// Site: what the host provides to a control.

class Site {
public:
    virtual ~Site() = default;
    // One pass of the host's message loop: deliver what is pending, blocking until something is.
    virtual void DoEvents() = 0;
    // Ambient UserMode: true while the host runs its application, false in design mode.
    virtual bool UserMode() const { return true; }
    // A persisted property of the control changed.
    virtual void PropertyChanged(std::string_view name) { (void)name; }
};

// A site whose message pump is one pass of the given event loop.
class LoopSite : public Site {
public:
    explicit LoopSite(EventLoop& loop) : loop_(loop) {}
    void DoEvents() override { loop_.pumpOnce(); }

private:
    EventLoop& loop_;
};

// ---------------------------------------------------------------------------------------------
// Property store

class PropertyBag {
public:
    virtual ~PropertyBag() = default;
    // The stored value for key, or def when the key is absent.
    virtual Variant ReadProperty(std::string_view key, const Variant& def) = 0;
    // Stores value under key; a value equal to def is left out (and removes a stored one).
    virtual void WriteProperty(std::string_view key, const Variant& value, const Variant& def) = 0;
};

// ---------------------------------------------------------------------------------------------
// Code page: bytes on the line are Windows-1252, one character per byte.

// Bytes to UTF-8 text.
std::string bytesToText(std::string_view bytes);
// UTF-8 text to bytes; a character with no byte becomes '?'.
std::string textToBytes(std::string_view text);

}  // namespace vantrel
