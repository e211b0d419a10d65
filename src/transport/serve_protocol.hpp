// vantrel: the framing that `vantrel serve` and its clients (unix://, vantrel://) speak. Every
// frame is one header line of words separated by single spaces, the last word the length of
// the payload that follows the line's LF:
//
//     VERB [ARG...] LEN\n<LEN bytes>
//
// The header is at most kMaxHeader bytes; the payload at most what the reader allows. See
// docs/serve.md for the verbs.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vantrel::serve {

inline constexpr int kVersion = 1;
inline constexpr std::size_t kMaxHeader = 256;
// The most a command a client sends may hold; a longer line goes as several.
inline constexpr std::size_t kMaxCommand = 4096;
// The most a reply, an event or a status may hold.
inline constexpr std::size_t kMaxReply = 64 * 1024;

struct Frame {
    std::vector<std::string> words;  // the verb first, the length not included
    std::string payload;

    const std::string& verb() const { return words.front(); }
    // The word at `i` (1: the first argument), or "" when there is none.
    std::string_view arg(std::size_t i) const {
        return i < words.size() ? std::string_view(words[i]) : std::string_view();
    }
};

// Appends one frame to `out`. The words must hold no space, LF or CR.
void appendFrame(std::string& out, std::initializer_list<std::string_view> words,
                 std::string_view payload = {});

// Takes a byte stream apart into frames. What it holds stays below kMaxHeader + the payload
// limit: a header without an LF within kMaxHeader bytes, a header that is not words and a
// length, or a payload above the limit is an error, after which nothing more is read.
class FrameReader {
  public:
    explicit FrameReader(std::size_t maxPayload) : maxPayload_(maxPayload) {}

    enum class Next { Frame, More, Error };
    // Adds received bytes.
    void append(std::string_view bytes) { buf_.append(bytes); }
    // The next whole frame into `frame`; More when it has not all arrived; Error (with
    // error()) when the stream is not frames.
    Next next(Frame& frame);
    const std::string& error() const { return error_; }
    // Part of a frame has arrived and not the rest.
    bool partial() const { return pos_ < buf_.size(); }

  private:
    std::size_t maxPayload_;
    std::string buf_;
    std::size_t pos_ = 0;
    std::string error_;
};

// A whole decimal number of at most 19 digits.
std::optional<uint64_t> parseCount(std::string_view text);

// Where a client finds the daemon unless told: $XDG_RUNTIME_DIR/vantrel/serve.sock, else
// /run/vantrel/serve.sock (the service's).
std::string defaultServeSocket();

// A word of a header: printable ASCII without spaces, 1 to 64 bytes.
bool isWord(std::string_view text);

// Whether a command's bytes are exactly one command line as the board reads its input: text
// ending in its one CR, or "@" alone (LFs, which the board ignores, aside). Anything else
// would move the board in ways the daemon does not follow.
bool isOneCommandLine(std::string_view bytes);

// The most a token file may hold.
inline constexpr std::size_t kMaxTokenFile = 4096;

// The first line of a token file (trailing CR and spaces dropped), read once through one
// descriptor. The file must be a regular file (never a FIFO or a device, which could block or
// never end), owned by this user or root, neither readable nor writable by others, and at most
// kMaxTokenFile bytes: anything else is refused, as ssh refuses a key others can read. Throws
// Error (PortOpenFailed) "the token file PATH ..." saying why.
std::string readTokenFile(const std::string& path);

}  // namespace vantrel::serve
