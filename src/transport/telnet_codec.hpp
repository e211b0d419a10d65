// vantrel: the telnet side of RFC 2217 (serial ports over telnet with COM-PORT-OPTION), as pure
// functions and a decoder without I/O, so that every byte sequence can be tested on its own.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace vantrel::telnet {

// Telnet commands.
inline constexpr uint8_t SE = 240;
inline constexpr uint8_t SB = 250;
inline constexpr uint8_t WILL = 251;
inline constexpr uint8_t WONT = 252;
inline constexpr uint8_t DO = 253;
inline constexpr uint8_t DONT = 254;
inline constexpr uint8_t IAC = 255;

// Options.
inline constexpr uint8_t kBinary = 0;
inline constexpr uint8_t kEcho = 1;
inline constexpr uint8_t kSuppressGoAhead = 3;
inline constexpr uint8_t kComPort = 44;

// COM-PORT-OPTION commands as the client sends them; the server answers with the same
// command plus kServerOffset.
namespace cpo {
inline constexpr uint8_t SetBaudrate = 1;
inline constexpr uint8_t SetDatasize = 2;
inline constexpr uint8_t SetParity = 3;
inline constexpr uint8_t SetStopsize = 4;
inline constexpr uint8_t SetControl = 5;
inline constexpr uint8_t NotifyLinestate = 6;
inline constexpr uint8_t NotifyModemstate = 7;
inline constexpr uint8_t FlowControlSuspend = 8;
inline constexpr uint8_t FlowControlResume = 9;
inline constexpr uint8_t SetLinestateMask = 10;
inline constexpr uint8_t SetModemstateMask = 11;
inline constexpr uint8_t PurgeData = 12;
inline constexpr uint8_t kServerOffset = 100;

// SET-PARITY values.
inline constexpr uint8_t ParityNone = 1;
inline constexpr uint8_t ParityOdd = 2;
inline constexpr uint8_t ParityEven = 3;
// SET-CONTROL values.
inline constexpr uint8_t NoFlowControl = 1;
inline constexpr uint8_t DtrOn = 8;
inline constexpr uint8_t RtsOn = 11;
// Line state bits that are events (overrun, parity, framing, break).
inline constexpr uint8_t kLineErrorMask = 0x1E;
// Modem state delta bits (CTS, DSR, trailing edge of ring, CD) and their levels.
inline constexpr uint8_t kModemDeltaMask = 0x0F;
}  // namespace cpo

// One command from the peer: a negotiation (WILL, WONT, DO, DONT with its option) or a
// subnegotiation (SB with its option and the unescaped bytes before IAC SE).
struct Command {
    uint8_t verb = 0;
    uint8_t option = 0;
    std::string payload;
};

// Appends data to out with every IAC doubled.
void appendEscaped(std::string& out, std::string_view data);
// IAC verb option.
std::string negotiation(uint8_t verb, uint8_t option);
// IAC SB COM-PORT-OPTION command value IAC SE, with IACs in the value doubled.
std::string comPortCommand(uint8_t command, std::string_view value);
// SET-BAUDRATE's value: four bytes, most significant first.
std::string baudValue(uint32_t bauds);
// The rate in an answer to SET-BAUDRATE; 0 when the value is not four bytes.
uint32_t baudFromValue(std::string_view value);

// Splits what the peer sends into data and commands, across reads of any size. Works on the
// caller's buffers: nothing is allocated per byte. A subnegotiation longer than kMaxPayload is
// cut to that length (no option we speak needs more).
class Decoder {
  public:
    static constexpr std::size_t kMaxPayload = 64;

    // Appends the data bytes of `in` to `data` and the commands it completes to `commands`.
    void feed(std::string_view in, std::string& data, std::vector<Command>& commands);

  private:
    enum class State : uint8_t { Data, Iac, Verb, Sb, SbOption, SbIac };
    State state_ = State::Data;
    uint8_t verb_ = 0;
    Command sb_;
};

// The negotiation state of both sides, one entry per option. The client asks for what it
// wants with request*() and answers the peer with answer(); both return the bytes to send, and
// nothing when the state does not change, so that two peers never loop on each other.
class Options {
  public:
    enum class State : uint8_t { No, WantYes, Yes };

    // Asks the peer to enable `option` on our side (WILL) or on its side (DO).
    std::string requestLocal(uint8_t option);
    std::string requestRemote(uint8_t option);

    // What to send in reply to the peer's WILL, WONT, DO or DONT. We take BINARY and
    // SUPPRESS-GO-AHEAD both ways and COM-PORT-OPTION on our side; anything else is refused.
    std::string answer(uint8_t verb, uint8_t option);

    State local(uint8_t option) const { return local_[option]; }
    State remote(uint8_t option) const { return remote_[option]; }

  private:
    static bool acceptLocal(uint8_t option);
    static bool acceptRemote(uint8_t option);
    std::array<State, 256> local_{};
    std::array<State, 256> remote_{};
};

// The line events (comm codes) that a NOTIFY-LINESTATE value reports, in the order the
// termios component reports them: break, framing, overrun, parity.
void lineStateEvents(uint8_t value, std::vector<int16_t>& events);
// The line events of a NOTIFY-MODEMSTATE value after `previous`: CTS, DSR, CD, ring. A line
// counts as changed when its delta bit is set or its level differs from the previous value
// (some servers never set the delta bits).
void modemStateEvents(uint8_t previous, uint8_t value, std::vector<int16_t>& events);

}  // namespace vantrel::telnet
