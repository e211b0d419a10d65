// vantrel-sim: the interface board as a pure protocol engine. Bytes go in, timed chunks of bytes
// come out; the engine does no I/O and reads no clock, so tests drive it directly and any
// transport (a pseudo-terminal, a fake serial component) can carry its output.
//
// The board:
//   - takes command lines ending in CR; LF is ignored; "@" at the start of a line is a whole
//     command with no CR;
//   - answers "OK <n>\r\n>" or "?<code> <text>\r\n>";
//   - knows "PCSA128" (set-up), "PWS<n>" (address write), "PRS" and "@" (converter reads) and
//     "PRA" (probe); anything else gets "?A Illegal command";
//   - has three converters behind it: the 8- and 10-bit ones answer address words Channel x 16
//     (which of the two is wired is an option), the 12-bit one Channel x 16 + 12;
//   - gives each channel an input, constant or moving with time (BoardInput), sampled when a
//     conversion starts, on the clock the transport gives it.
//
// Not thread-safe: one thread owns an engine (the transport's loop thread).
#pragma once

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "sim/board_input.hpp"

namespace vantrel::sim {

// Bytes to put on the line after a pause. The delay counts from the previous chunk of the same
// output, or, for the first chunk, from the moment the input that caused it arrived.
struct Chunk {
    std::chrono::microseconds delay{0};
    std::string bytes;

    bool operator==(const Chunk&) const = default;
};
using Output = std::vector<Chunk>;

// The engine's whole output as one string, delays dropped (for tests and simple transports).
std::string joined(const Output& out);
// The sum of all delays of an output.
std::chrono::microseconds totalDelay(const Output& out);

// "?<code> <text>\r\n>", the board's error reply.
std::string errorReply(char code, std::string_view text);
// "OK <n>\r\n>", the board's success reply.
std::string okReply(long n);

// What a receiver at `receiveBaud` makes of `bytes` sent back to back at `sendBaud` (one start
// bit, 8 data bits from the lowest, one stop bit; the line idle before and after): the bytes
// themselves when the rates are equal, else what a UART samples from the wrong bit times, as a
// wire gives it. Bytes with a framing error are kept, as a receiver that ignores such errors
// does. Deterministic; the work is proportional to the bytes and the ratio of the rates.
std::string reframe(std::string_view bytes, uint32_t sendBaud, uint32_t receiveBaud);

// One conversion the board made: when it started (the engine's clock), the converter's width,
// the channel, the output word and the reading that word stands for.
struct Conversion {
    std::chrono::microseconds time{0};
    int bits = 0;
    int channel = 0;
    uint16_t word = 0;
    double reading = 0;
};

class BoardEngine {
  public:
    // Widths of the converters.
    static constexpr int kBits8 = 8;
    static constexpr int kBits10 = 10;
    static constexpr int kBits12 = 12;
    static constexpr int kChannels = 16;  // readings are kept for channels 0..15
    // Longest command line kept; longer lines are answered with "?B Line too long".
    static constexpr std::size_t kDefaultMaxLine = 256;

    struct Options {
        // The 8-bit converter answers address words with low nibble 0 instead of the 10-bit one.
        bool bits8 = false;
        // Echo each command line ("<line>\r\n") before its reply.
        bool echo = false;
        std::size_t maxLine = kDefaultMaxLine;
    };

    // The time the board lives in, e.g. a monotonic clock in microseconds. Inputs are sampled
    // at it when a conversion starts. Without one the time stands still at 0.
    using TimeSource = std::function<std::chrono::microseconds()>;

    BoardEngine() : BoardEngine(Options{}) {}
    explicit BoardEngine(Options options);

    // ---- The line ------------------------------------------------------------------------

    // Takes bytes received from the line; appends what the board sends back to `out`.
    // Work is proportional to the input; nothing is kept beyond the current line (capped).
    void receive(std::string_view bytes, Output& out);
    Output receive(std::string_view bytes);

    // Bytes the board sends of its own accord ("L\r\n", "H\r\n", garbage), shaped like any other
    // output (pacing applies). Empty once the board has hung up.
    Output unsolicited(std::string_view bytes) const;

    // ---- Converter readings --------------------------------------------------------------
    //
    // A conversion samples its channel's input once, when it starts, and the bytes read after
    // it give that one word (it is latched), however the input moves meanwhile:
    //   - 10 and 12 bits: "PRS" starts a conversion and gives its high byte; straight after an
    //     address write the two "@" that follow give its high and low byte, else one "@" gives
    //     the low byte. Further "@" go on giving bytes of the same word. An "@" with no
    //     conversion since the last address write starts one.
    //   - 8 bits: each reading is one byte, and each byte read ("PRS" or "@") is a conversion.

    // Sets the reading of a channel (0..15) of the 8-, 10- or 12-bit converter: a constant
    // input. 10- and 12-bit readings may carry fractions in steps of 1/64 and 1/16; values are
    // rounded to those steps and clamped to what the converter's output word can carry, as
    // every sampled input is. Throws std::invalid_argument for another width or channel.
    void setReading(int bits, int channel, double value);
    // Gives a channel an input that may move (see BoardInput); its times count from now.
    // Throws std::invalid_argument for another width or channel, or an alternate input
    // without values.
    void setInput(int bits, int channel, BoardInput input);
    // The channel's input; a channel never set has the constant default.
    BoardInput input(int bits, int channel) const;
    // Back to the default: the ideal reference code on channels 11 (half), 12 (zero),
    // 13 (full), 0 elsewhere.
    void clearReading(int bits, int channel);
    // The reading a conversion of that channel would give now (for inputs that count
    // conversions: the next one), rounded and clamped as the converter does.
    double reading(int bits, int channel) const;
    // The output word of that reading: the 8-bit code, or reading x 64 (10 bits) / x 16
    // (12 bits).
    uint16_t word(int bits, int channel) const;
    // Whether the 8-bit converter is the one that answers addresses Channel x 16 (else the
    // 10-bit one does, and 8-bit readings set here are never converted).
    bool bits8() const { return options_.bits8; }

    void setTimeSource(TimeSource source) { time_ = std::move(source); }
    std::chrono::microseconds now() const { return time_ ? time_() : std::chrono::microseconds{0}; }

    // Called with each conversion as it starts. For logs; it must not call into the engine.
    using ConversionObserver = std::function<void(const Conversion&)>;
    void setConversionObserver(ConversionObserver observer) {
        conversionObserver_ = std::move(observer);
    }
    std::size_t conversionCount() const { return conversionCount_; }

    // ---- Scripting and faults ------------------------------------------------------------

    // Queues exact raw replies, one per following command (any command, "@" included). The
    // command itself is still carried out (an address write still selects the channel); only
    // the bytes sent back are replaced. An empty string means: send nothing for that command.
    void scriptReplies(const std::vector<std::string>& replies);
    void scriptReply(std::string reply);
    std::size_t scriptedLeft() const { return script_.size(); }
    void clearScript() { script_.clear(); }

    // Replies to one command text (without CR, e.g. "PRA") with `reply` for the next `times`
    // commands of that text (negative: for good). Scripted replies take precedence.
    void overrideReply(std::string_view command, std::string reply, int times = -1);
    void clearOverrides() { overrides_.clear(); }
    struct Override {
        std::string reply;
        int times;  // replies left; negative: for good
    };
    const std::map<std::string, Override, std::less<>>& overrides() const { return overrides_; }

    // When on, no command gets any reply (lines are still recorded and carried out).
    void setSilent(bool on) { silent_ = on; }
    bool silent() const { return silent_; }

    // A pause before every reply.
    void setReplyDelay(std::chrono::microseconds delay) { replyDelay_ = delay; }
    std::chrono::microseconds replyDelay() const { return replyDelay_; }
    // Splits every reply into pieces of `pieceBytes` bytes with `gap` between pieces (0: whole).
    void setReplySplit(std::size_t pieceBytes, std::chrono::microseconds gap);
    std::size_t replySplitBytes() const { return pieceBytes_; }
    std::chrono::microseconds replySplitGap() const { return pieceGap_; }
    // Bytes put before every reply (garbage, binary, stray text).
    void setReplyPrefix(std::string prefix) { replyPrefix_ = std::move(prefix); }
    const std::string& replyPrefix() const { return replyPrefix_; }

    // Out of step: the converter's bytes are shifted by one, so that a 10- or 12-bit read gives
    // the low byte where the high byte is expected and the other way round, and an 8-bit read
    // comes one bit late (the code halved). "PCSA128" brings the converter back into step.
    void setOutOfStep(bool on) { outOfStep_ = on; }
    bool outOfStep() const { return outOfStep_; }

    // Refuses the next `times` "PCSA128" with "?4 Set-up failed" (the set-up then does nothing).
    void refuseSetup(int times) { refuseSetup_ = times; }
    int refusalsLeft() const { return refuseSetup_; }

    // Answers `commands` more commands, then hangs up (see hangUpDue). Negative: never.
    void hangUpAfter(int commands) { hangUpAfter_ = commands; }
    int commandsBeforeHangUp() const { return hangUpAfter_; }
    // True once the board has decided to hang up: it takes no more input and sends nothing
    // more beyond output already produced. The transport closes the line once that is out.
    bool hangUpDue() const { return hangUpAfter_ == 0; }

    void setEcho(bool on) { options_.echo = on; }
    bool echo() const { return options_.echo; }

    // Paces every byte at `baud` (10 bit times per byte: 1 start, 8 data, 1 stop), as a wire
    // does; 0 turns pacing off. Pacing applies on top of the delays above.
    void setPaceBaud(uint32_t baud) { paceBaud_ = baud; }
    uint32_t paceBaud() const { return paceBaud_; }

    // ---- What was received ---------------------------------------------------------------

    // The command lines received, byte for byte: the CR included, LFs kept where they came,
    // "@" alone. A line too long is kept cut at the limit, with its CR. The record is a history
    // of bounded size, so that a board that serves for days or a client that floods it does
    // not grow without end: once it holds kHistoryLines lines, the oldest kHistoryDrop go.
    static constexpr std::size_t kHistoryLines = 4096;
    static constexpr std::size_t kHistoryDrop = 1024;
    const std::vector<std::string>& lines() const { return lines_; }
    // How many lines were recorded since the engine was made, those dropped or cleared from
    // lines() included: lines()[i] is line number linesRecorded() - lines().size() + i.
    std::size_t linesRecorded() const { return linesBefore_ + lines_.size(); }
    void clearLines() {
        linesBefore_ += lines_.size();
        lines_.clear();
    }
    // Long runs (benchmarks) can stop recording; commands are still counted.
    void setRecordLines(bool on) { recordLines_ = on; }
    std::size_t commandCount() const { return commandCount_; }

    // Called with each command line as received (CR included) and the bytes sent back for it
    // (empty: none), once the line has been carried out. For logs; it must not call into the
    // engine.
    using LineObserver = std::function<void(std::string_view line, std::string_view reply)>;
    void setLineObserver(LineObserver observer) { observer_ = std::move(observer); }

  private:
    struct Channel {
        BoardInput input;
        std::chrono::microseconds since{0};  // when the input was set
        uint64_t conversions = 0;            // conversions of it since then
    };
    struct Converter {
        std::array<std::optional<Channel>, kChannels> set{};
    };
    int converterIndex(int bits) const;
    const std::optional<Channel>& slot(int bits, int channel) const;
    uint16_t convert();
    void endLine(std::string_view raw, std::string_view text, Output& out);
    void record(std::string_view raw);
    std::string execute(std::string_view text);
    uint8_t readByte(bool viaPrs);
    void emit(std::string_view bytes, std::chrono::microseconds delay, Output& out) const;

    Options options_;
    std::array<Converter, 3> converters_{};

    // The line being received.
    std::string raw_;   // as received, LFs included, capped at maxLine bytes
    std::string text_;  // the same without LFs
    bool overflowed_ = false;

    // The converter's interface state.
    int selectedBits_ = kBits10;  // converter answering the current address
    int channel_ = 0;
    bool dummyPending_ = false;  // after an address write the next "PRS" only starts a conversion
    int nextByte_ = 0;           // 0: high byte next, 1: low byte next
    std::optional<uint16_t> latched_;  // the word of the conversion since the address write

    std::deque<std::string> script_;
    std::map<std::string, Override, std::less<>> overrides_;
    bool silent_ = false;
    std::chrono::microseconds replyDelay_{0};
    std::size_t pieceBytes_ = 0;
    std::chrono::microseconds pieceGap_{0};
    std::string replyPrefix_;
    bool outOfStep_ = false;
    int refuseSetup_ = 0;
    int hangUpAfter_ = -1;
    uint32_t paceBaud_ = 0;

    std::vector<std::string> lines_;
    std::size_t linesBefore_ = 0;  // recorded lines no longer in lines_
    bool recordLines_ = true;
    std::size_t commandCount_ = 0;
    LineObserver observer_;
    TimeSource time_;
    ConversionObserver conversionObserver_;
    std::size_t conversionCount_ = 0;
};

// Gives a channel the input that `words` describe: BITS CHANNEL KIND ARGS..., as the console's
// "input" command, the simulator's --input and the "sim://" link's input option take it.
// Throws std::invalid_argument with the reason.
void setInputFromWords(BoardEngine& engine, const std::vector<std::string>& words);

}  // namespace vantrel::sim
