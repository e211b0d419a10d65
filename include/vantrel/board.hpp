// vantrel: Board, the everyday C++ API to one interface board. It is built on the public members
// of VantrelCtrl, the way a host program would use the control, and adds what a program wants
// first: readings that are not rounded, replies as records, failures as exceptions.
#pragma once

#include "vantrel/export.h"

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "vantrel/converters.hpp"
#include "vantrel/error.hpp"
#include "vantrel/reconnect.hpp"

namespace vantrel VANTREL_API {

class VantrelCtrl;

// The reply timer fired before the board's prompt came (err::Timeout).
class Timeout : public Error {
  public:
    explicit Timeout(const std::string& text) : Error(err::Timeout, text) {}
};

// The board answered a command of a conversion with an error reply (err::BoardRefused). The
// board's own error number and text are kept apart from the message.
class BoardError : public Error {
  public:
    BoardError(int16_t boardErrorNr, std::string boardText, std::string raw);
    int16_t boardErrorNr() const noexcept { return boardErrorNr_; }
    const std::string& boardText() const noexcept { return boardText_; }
    // The reply as received, line ends and prompt included.
    const std::string& raw() const noexcept { return raw_; }

  private:
    int16_t boardErrorNr_;
    std::string boardText_;
    std::string raw_;
};

// The outcome of one command. Board errors and replies the control does not understand are
// values here (ok false); only a failed exchange (timeout, port gone) is thrown.
struct Reply {
    bool ok = false;
    // The number of a successful reply, as the board sent it (not rounded).
    std::optional<double> value;
    // The board's error number: 10 for "A", 11 for "B", 0 to 9, 0 when there was no error.
    int16_t errorNr = 0;
    // The board's error text, the control's text for a reply it does not understand, or a
    // line error seen during a successful exchange; empty otherwise.
    std::string text;
    // The part of the reply after "OK" (success), the error-code character (board error), or
    // the cleaned reply (not understood).
    std::string tail;
    // The reply as received.
    std::string raw;
};

// A reading with the time its conversion began (the wall clock).
struct TimedReading {
    std::chrono::system_clock::time_point time;
    double value = 0;
};

// One self-test check: a reference input converted and held against its window.
struct SelfCheck {
    using Scale = vantrel::Scale;
    int bits = 0;
    Scale scale = Scale::Half;
    int channel = 0;  // the reference input's channel
    int32_t low = 0;  // accepted readings, both ends included, after rounding half to even
    int32_t high = 0;
    // The reading the conversion gave, unrounded; empty when the conversion failed.
    std::optional<double> reading;
    bool passed = false;
    // Empty when passed; the window text ("Returned value: 131") or the conversion's failure.
    std::string error;
};

// One board on one serial port, opened by the constructor and closed by the destructor.
//
// A moved-from Board may only be assigned to or destroyed.
//
// Threads: a Board belongs to the thread that opened it; its port and timer are on that
// thread's event loop (threadLoop()). Calls from another thread throw Error (err::WrongThread).
// Boards on different threads run independently. While a call waits for the board, the
// thread's loop runs, so other descriptors on it (and this board's events) are served.
// A Board destroyed on another thread (by a garbage collector, say) is closed by its own
// thread at that thread's next Board call or open, and every Board a thread opened is closed
// when the thread ends.
//
// A call that ends by an exception while its exchange is under way (a handler's exception,
// or one thrown by a watch on the thread's loop to interrupt the wait) leaves the reply
// unfinished; the next call first waits for the rest of it, at most one reply timeout.
class Board {
  public:
    // Events. Handlers run on the board's thread, during a call or pump(). An exception thrown
    // by a handler reaches the caller of the operation that raised the event.
    using NewDataFn = std::function<void(std::optional<double> value, const std::string& error)>;
    using InterruptFn = std::function<void()>;
    using DisconnectedFn = std::function<void(const std::string& reason)>;
    using ReconnectedFn = std::function<void(double afterSeconds)>;

    // Opens the device (a path such as "/dev/ttyUSB0", or a URL: "rfc2217://HOST:PORT", "sim://")
    // at the given rate. Throws Error: err::PortOpenFailed with the system's reason ("open
    // /dev/ttyUSB0: Permission denied"), err::InvalidPropertyValue for an unsupported rate.
    explicit Board(const std::string& device, int32_t baud = 9600);
    // Opens COM port 1 to 8 (through the port map) at the given rate. Errors as above,
    // err::InvalidPortNumber outside 1 to 8.
    explicit Board(int port, int32_t baud = 9600);
    // As above, with a reconnect policy. When it is enabled and the device goes away, the board
    // closes it, raises disconnected, waits for the device under its stable name (the by-id
    // link of a USB adapter, the same path or URL otherwise), opens it again at the same rate
    // with a new control (so the converters' last addresses count as unknown and the next
    // conversion writes its own) and raises reconnected. A reading that met the departure is
    // made again once the board is back; a call made while it is away waits up to
    // policy.callLimit, then throws Timeout. command() is not repeated: it throws the
    // departure's error, and the next call waits.
    Board(const std::string& device, int32_t baud, const ReconnectPolicy& policy);
    Board(int port, int32_t baud, const ReconnectPolicy& policy);
    ~Board();
    Board(Board&&) noexcept;
    Board& operator=(Board&&) noexcept;

    // Looks for the board on COM1 to COM8 at the given rate, as FindChip does; the board found
    // stays open. Empty when no port answered.
    static std::optional<Board> find(int32_t baud = 9600);

    // The device opened and its COM number (0 for a board opened by path: no COM number stands
    // for its device).
    const std::string& device() const;
    int port() const;
    int32_t baud() const;

    // Sends one command line ("PRA", "PWS48") and returns the reply. Throws Timeout when no
    // prompt came, Error (err::PortNotOpen) when the port is no longer usable, and whatever the
    // serial component throws.
    Reply command(std::string_view text);

    // One reading of channel `channel` of the converter of width `bits` (converters()),
    // unrounded (10- and 12-bit readings carry fractions of 1/64 and 1/16). Throws
    // std::invalid_argument for a width no converter has or a channel outside 0..lastChannel,
    // BoardError when the board refused a command, Timeout, and Error (err::ReplyNotUnderstood,
    // PortNotOpen).
    double read(int bits, int channel);
    // The same with the time the conversion began; a conversion redone after the board came
    // back carries the time of the redo, not of the attempt that met its departure.
    TimedReading readTimed(int bits, int channel);
    // `count` readings, `interval` apart (measured from the start of one to the start of the
    // next; the thread's loop runs in between). Throws as read() does; count < 0 is
    // std::invalid_argument.
    std::vector<double> readMany(int bits, int channel, int count,
                                 std::chrono::microseconds interval = {});
    // The same, appending each reading to `readings` as it is taken: when a call throws, the
    // readings taken before are there.
    void readMany(int bits, int channel, int count, std::chrono::microseconds interval,
                  std::vector<double>& readings);

    // The converter of one width tested on its reference inputs (Converter::checks): the 8-bit
    // one has only half scale, the others zero, half and full scale. Board errors are reported
    // in the checks; Timeout and port failures are thrown; std::invalid_argument for a width
    // no converter has.
    std::vector<SelfCheck> selfTest(int bits);
    // The checks of every converter, narrowest first (seven: 8, then 10, then 12 bits).
    std::vector<SelfCheck> selfTest();
    // One of those checks: the converter of width `bits` on one reference input (a converter
    // out of step fails its half-scale check). Throws as selfTest(bits) does, and
    // std::invalid_argument for an input the converter does not have.
    SelfCheck check(int bits, Scale scale);

    // Brings the converter used last back into step (ADCReSynchronize). True when its
    // half-scale check passes afterwards. Throws std::logic_error before any reading, Timeout
    // and port failures as read() does.
    bool resync();

    // Closes the port now; every later call but the destructor throws Error (err::PortNotOpen).
    void close();

    // Runs the thread's loop for `timeout`, delivering events (interrupts from the board)
    // between calls.
    void pump(std::chrono::milliseconds timeout);

    void onNewData(NewDataFn fn);
    void onInterruptLow(InterruptFn fn);
    void onInterruptHigh(InterruptFn fn);
    // With a reconnect policy: the device went away (reason: the failure that showed it), and
    // it is back after `afterSeconds` away. Both run on the board's thread, during a call or
    // pump(); pump() also waits for the board and opens it again when it returns.
    void onDisconnected(DisconnectedFn fn);
    void onReconnected(ReconnectedFn fn);
    // Whether the device is away now (with a reconnect policy; always false without).
    bool away() const;

    // The control underneath, for what Board does not offer. Driving it directly between
    // Board calls is allowed; its events keep reaching the handlers above. After a reconnect
    // it is another control: a reference taken before is no longer valid.
    VantrelCtrl& ctrl();

  private:
    struct Impl;
    Board();
    std::unique_ptr<Impl> impl_;
};

}  // namespace vantrel
