// vantrel: the seams through which the control reaches the outside world, and their POSIX
// implementations. The control never calls the operating system itself.
#pragma once

#include "vantrel/export.h"

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "vantrel/variant.hpp"

namespace vantrel VANTREL_API {

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
    // and a call that runs whatever is pending without blocking. Once a host has asked for the
    // descriptor, a due timer makes it readable too (and a timer disabled after it was armed
    // may leave it readable once, for a pass that then runs nothing).
    virtual int fd() const = 0;
    virtual void dispatchPending() = 0;

    // Timers kept by the loop itself, for Timer implementations (makeLoopTimer). Arming or
    // disarming one makes no system call: a pass that waits sleeps no longer than the nearest
    // armed deadline, and after running the ready watches it runs every timer whose deadline
    // had passed when the wait ended, in the order they were added. A loop that keeps no
    // timers throws Error (TimerFailed) from addTimer.
    using TimePoint = std::chrono::steady_clock::time_point;
    // Adds a disarmed timer; onDue runs on the loop's thread. Returns its id.
    virtual uint64_t addTimer(std::function<void()> onDue);
    // Arms it to run at `due` (never earlier), then every `period` counted from `due`, until
    // disarmed; deadlines that pass while no pass runs make one call. A zero period runs once.
    virtual void armTimer(uint64_t id, TimePoint due, std::chrono::nanoseconds period);
    // Disarms it: from now on it does not run, even when its deadline has passed already.
    virtual void disarmTimer(uint64_t id) noexcept;
    // Removes it; the id is no longer valid. Safe from within its own onDue.
    virtual void removeTimer(uint64_t id) noexcept;

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

// A deadline kept by the given loop (EventLoop::addTimer): no descriptor, no system call.
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

    // The device went away while open (hang-up, end of file, a failed read or write). The
    // component then stops watching it, PortOpen() stays true, Output throws PortIo naming the
    // device, and PortOpen(false) closes it as usual; a later open reaches the device anew.
    // Hosts that wait on the line (a monitor, a reader) ask this after each pass of the loop.
    virtual bool HungUp() const { return false; }

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

// Where the port map and the adapter listing look at this machine. Tests point them at a fake
// tree.
struct SystemPaths {
    std::string sys = "/sys";               // sysfs
    std::string dev = "/dev";               // device nodes; serial/by-id below it
    std::string cmdline = "/proc/cmdline";  // the kernel command line
    std::string systemPortsFile = "/etc/vantrel/ports.toml";
    // The real paths, or the same below $VANTREL_SYSROOT when that is set.
    static SystemPaths fromEnvironment();
};

// A serial device present on this machine, as sysfs describes it. USB fields are empty for a
// device that is not on USB.
struct SerialAdapter {
    std::string device;        // "/dev/ttyUSB0"
    std::string byId;          // its stable "/dev/serial/by-id/..." path, if it has one
    std::string vendorId;      // USB vendor id, four hex digits ("0403")
    std::string productId;     // USB product id ("6001")
    std::string serialNumber;  // as the adapter reports it
    std::string manufacturer;
    std::string product;
    std::string driver;    // the kernel driver ("ftdi_sio", "cdc_acm", "serial")
    bool console = false;  // the kernel writes its console here (console= on its command line)
};

// The serial devices present, sorted by device path (ttyS2 before ttyS10). Virtual terminals,
// pseudo-terminals and legacy port slots with no UART are left out.
std::vector<SerialAdapter> listSerialAdapters(const SystemPaths& paths);
// The device paths of listSerialAdapters(SystemPaths::fromEnvironment()).
std::vector<std::string> listSerialDevices();

// The devices named by console= on the kernel command line, as device paths ("/dev/ttyS0").
std::vector<std::string> kernelConsoles(const SystemPaths& paths);

// The path to store for a device so that it names the same adapter after a reboot or a
// re-plug: its /dev/serial/by-id link if it has one, else the path as given. Network device
// strings ("rfc2217://...", "socket://...") are kept as given.
std::string stablePath(const std::string& device, const SystemPaths& paths);

// The ports file, where COM numbers stick across runs and programs: a TOML table
//   [ports]
//   COM3 = "/dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A50285BI-if00-port0"
// Looked for at $VANTREL_PORTS when that is set, else at the user's
// $XDG_CONFIG_HOME/vantrel/ports.toml (~/.config when XDG_CONFIG_HOME is unset) if it exists,
// else at the system's (paths.systemPortsFile).
std::string locatePortsFile(const SystemPaths& paths);
// Where a change is written: $VANTREL_PORTS when set, else the user's file.
std::string writablePortsFile();
// Reads a ports file; a missing file has no entries. A file that cannot be read, is not valid
// TOML or holds anything but COM1..COM255 = "device" throws Error (err::PortsFile) whose text
// names the file (and the line, where there is one).
std::map<int, std::string> loadPortsFile(const std::string& path);
// Writes a ports file atomically (see FormFile::save), creating its folder if needed. Throws
// Error (err::PortsFile).
void savePortsFile(const std::string& path, const std::map<int, std::string>& ports);

// Which device path is COM n: what the program mapped for this run, else what the ports file
// says, else /dev/ttyS<n-1> unless that device is the kernel console (then COM n has none, so
// that nothing is written to the console by accident). Thread-safe.
class PortMap {
public:
    // Where COM n's device comes from.
    enum class Source { Run, File, Default, None };
    struct Entry {
        std::string device;  // empty when Source::None
        Source source;
        std::string note;  // why there is none ("/dev/ttyS0 is the kernel console")
    };

    // The map every control of this process uses: the ports file locatePortsFile() finds, read
    // when first needed.
    static PortMap& instance();
    // A map over the given ports file ("" for none) and machine.
    PortMap(std::string portsFile, SystemPaths paths);
    PortMap(const PortMap&) = delete;
    PortMap& operator=(const PortMap&) = delete;

    // COM n's device, empty when it has none. Throws Error (err::PortsFile) when the ports file
    // is needed and malformed, Error (err::InvalidPortNumber) outside 1..255.
    std::string devicePath(int port) const;
    Entry entry(int port) const;

    // Run-time mappings, for this process only; they take precedence over the ports file.
    void map(int port, std::string path);
    void unmap(int port);  // back to the ports file or the default
    void clear();
    std::map<int, std::string> mappings() const;

    // The ports file this map reads ("" for none), and its entries (read when first needed;
    // Error err::PortsFile when malformed).
    std::string portsFile() const;
    std::map<int, std::string> stored() const;
    // Stores COM n = device in the ports file and puts it in force for later lookups. The file
    // is read again first, so that entries another program stored meanwhile are kept. When this
    // map reads no file yet, or the system's, the change goes to writablePortsFile(), which then
    // starts from the entries in force. Returns the file written.
    std::string store(int port, const std::string& device);
    // Removes COM n from the ports file (as store). Returns the file written.
    std::string forget(int port);
    // Reads the ports file again at the next lookup.
    void reload();

    const SystemPaths& systemPaths() const { return paths_; }

    // Adapters present that no COM number reaches, each given a free COM number from 1 to 8:
    // one that neither this run nor the ports file maps and whose default device is neither a
    // serial device present nor the kernel console. Lowest numbers go to adapters in device order; adapters beyond the free
    // numbers are left out. Puts nothing in force.
    std::vector<std::pair<int, SerialAdapter>> freeNumbersFor(
        const std::vector<SerialAdapter>& present) const;
    // The COM number whose device is this adapter (the same device after links are followed),
    // or 0.
    int portOf(const SerialAdapter& adapter) const;

private:
    void loadLocked() const;
    std::string change(int port, const std::string* device);

    mutable std::mutex mutex_;
    std::string portsFile_;
    SystemPaths paths_;
    std::map<int, std::string> map_;
    mutable bool loaded_ = false;
    mutable std::map<int, std::string> file_;
    mutable std::string fileError_;
    mutable std::vector<std::string> consoles_;
};

// The termios serial component on the given loop; devices come from PortMap::instance().
std::unique_ptr<SerialComm> makePosixSerial(EventLoop& loop);

// The size of the termios component's input buffer unless one is given.
inline constexpr std::size_t defaultInBufferSize = 64 * 1024;
// As above, holding at most inBufferSize received bytes (at least 1, else Error 380): when more
// arrive before Input() takes them, the oldest are dropped and RxOver is notified.
std::unique_ptr<SerialComm> makePosixSerial(EventLoop& loop, std::size_t inBufferSize);

// The serial component a control owns: each open picks the transport by the device string
// that PortMap gives for COM n. "rfc2217://HOST:PORT" reaches a serial server with RFC 2217
// (the line settings travel to the far port), "socket://HOST:PORT" one that passes raw bytes
// (its rate is the server's); either takes "?timeout=SECONDS" (default 3) to bound the
// connection. Anything else is a device path for the termios component.
std::unique_ptr<SerialComm> makeSerialComm(EventLoop& loop);
std::unique_ptr<SerialComm> makeSerialComm(EventLoop& loop, std::size_t inBufferSize);

// ---------------------------------------------------------------------------------------------
// Site: what the host provides to a control.

// A site serves one control: the control registers its resize handler here when it is created
// and removes it when it is destroyed.
class Site {
public:
    virtual ~Site() = default;
    // One pass of the host's message loop: deliver what is pending, blocking until something is.
    virtual void DoEvents() = 0;
    // Ambient UserMode: true while the host runs its application, false in design mode.
    virtual bool UserMode() const { return true; }
    // A persisted property of the control changed.
    virtual void PropertyChanged(std::string_view name) { (void)name; }

    // The control's extent, in the container's scale units. This default keeps it in memory,
    // starting at 0 by 0; a host with a real container overrides all four and calls
    // notifyResize() whenever the size it shows really changes.
    virtual int32_t Height() const { return height_; }
    virtual int32_t Width() const { return width_; }
    // Sets the extent; when the value differs from the current one, the control's resize
    // handler runs before the call returns (and may set the extent again, nested). A negative
    // size throws Error 380; a failure of the resize handler reaches the caller.
    virtual void Height(int32_t height);
    virtual void Width(int32_t width);

    // The handler that notifyResize() runs (the control's UserControl_Resize); empty removes it.
    void setOnResize(std::function<void()> onResize) { onResize_ = std::move(onResize); }

protected:
    // Tells the control that its size has changed.
    void notifyResize();

private:
    int32_t height_ = 0;
    int32_t width_ = 0;
    std::function<void()> onResize_;
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

// A control's stored properties. Keys are case-sensitive.
class PropertyBag {
public:
    virtual ~PropertyBag() = default;
    // The stored value for key, or def when the key is absent.
    virtual Variant ReadProperty(std::string_view key, const Variant& def) = 0;
    // Stores value under key; a value equal to def (storedValueEquals) is left out (and
    // removes a stored one), so that reading it back yields def.
    virtual void WriteProperty(std::string_view key, const Variant& value, const Variant& def) = 0;
};

// Whether a value to be stored equals its default, so that the store leaves it out. Numbers
// compare by value whatever their type: Integer 1, Long 1 and Double 1.0 are equal; a Boolean
// counts as its number (false 0, true -1), so Boolean false equals Integer 0 and nothing else
// that is numeric. Texts compare exactly (case-sensitive); Empty equals only Empty; Null
// equals nothing. A text never equals a number, so "1" is stored even when the default is 1.
bool storedValueEquals(const Variant& value, const Variant& def);

// A property bag in memory, for tests and for hosts that keep properties their own way.
class MemoryPropertyBag : public PropertyBag {
public:
    Variant ReadProperty(std::string_view key, const Variant& def) override;
    void WriteProperty(std::string_view key, const Variant& value, const Variant& def) override;

    // What is stored, for a host that persists the bag itself or a test that looks inside.
    const std::map<std::string, Variant, std::less<>>& values() const { return values_; }
    // Stores a value as it stands, without comparing it with a default.
    void set(std::string_view key, Variant value);
    void remove(std::string_view key);

private:
    std::map<std::string, Variant, std::less<>> values_;
};

// A host form kept in a TOML file: one table per control name, holding that control's
// properties as typed values. Stored as: Integer and Long as integers, Double and Currency as
// floats, Boolean as booleans, String as strings (Empty and Null cannot be stored: Error 380).
// Read back as: an integer in the Long range as Long (beyond it as Double, so that converting
// it to Long overflows), a float as Double, a boolean as Boolean, a string as String; any other
// TOML value (array, table, date) reads as a value of no convertible type (Error 13). Keys and
// tables the control does not know are kept as they are; comments and layout are not.
// A control name is one key (a name with a dot is a single quoted key, not a nested path),
// and must be valid UTF-8.
// One FormFile is not thread-safe; any number of FormFiles, threads and processes may save to
// the same file at once (see save()).
class FormFile {
public:
    // The largest form file loaded, in bytes.
    static constexpr size_t kMaxBytes = 1024 * 1024;
    // The deepest nesting of tables, arrays and dotted keys loaded ([a.b] and a.b = 1 are 2).
    static constexpr int kMaxNesting = 32;

    // Reads the form at path. A missing file is an empty form (save() creates it). A file that
    // cannot be read, is not a regular file, is larger than kMaxBytes, nests deeper than
    // kMaxNesting or is not valid TOML throws Error (number err::FormFile) whose text names
    // the file and, for a syntax error or the nesting, the line; the file is left untouched.
    static FormFile load(std::string path);

    FormFile(FormFile&&) noexcept;
    FormFile& operator=(FormFile&&) noexcept;
    ~FormFile();

    const std::string& path() const;
    // Whether the form has an entry under this control name.
    bool contains(std::string_view name) const;
    // The property bag of a control's entry, valid while this FormFile lives. The entry is
    // created (empty) if it does not exist, so a saved control keeps its table even with every
    // property at its default. Throws Error (err::FormFile) for an empty name, a name that is
    // not valid UTF-8, or when the entry exists but is not a table.
    PropertyBag& bag(std::string_view name);

    // Writes the form atomically: a temporary file in the same folder, flushed to disk,
    // renamed over the old file, then the folder flushed. The file is locked (flock on it)
    // from reading it again to the rename, and what is written is the file as it is then with
    // the entries this FormFile handed out bags for put in: saves of different entries by
    // different programs all survive; of one entry, the last save wins. Through a symbolic
    // link the link's target is replaced and the link kept; the new file keeps the old one's
    // owner and mode; stale "<file>.tmp.*" files of saves killed midway are removed. Refused
    // with Error (err::FormFile) naming the file: a path that is not a regular file (a device,
    // a FIFO, a folder), a file that no longer loads, a lock held for more than 10 seconds, a
    // failure of the system (full disk, no permission; the temporary file is removed). Up to
    // the rename the old file is left as it was (only the final flush of the folder can fail
    // after it).
    void save() const;

private:
    struct Impl;
    explicit FormFile(std::unique_ptr<Impl> impl);
    std::unique_ptr<Impl> impl_;
};

// ---------------------------------------------------------------------------------------------
// Code page: bytes on the line are Windows-1252, one character per byte.

// Bytes to UTF-8 text.
std::string bytesToText(std::string_view bytes);
// Whether text is well-formed UTF-8 (no overlong forms, surrogates or values beyond U+10FFFF).
bool isValidUtf8(std::string_view text);
// UTF-8 text to bytes; a character with no byte becomes '?'.
std::string textToBytes(std::string_view text);

}  // namespace vantrel
