// vantrel read: the pieces of its views that do not touch the board: the channel and width
// lists, scaling, per-channel statistics with a short history, and the text of every record,
// table and summary.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "output.hpp"
#include "vantrel/variant.hpp"

namespace vantrel::cli {

// "3,5,11" -> {3, 5, 11}. Throws CLI::ValidationError (for --channel) on an empty entry, a
// non-number or a number outside -32768..32767; the control itself decides which channels exist.
std::vector<int16_t> parseChannels(std::string_view text);
// "10" or "10,12,8" -> one width per channel: a single width serves every channel, otherwise
// there must be exactly one per channel. Throws CLI::ValidationError (for --bits).
std::vector<int> parseWidths(std::string_view text, std::size_t channels);

// How a raw reading becomes the value shown: raw * scale + offset, or raw / (2^bits - 1) * ref.
class Scaling {
  public:
    // From the options given. Throws CLI::ValidationError for --volts together with --scale or
    // --offset, a value that is not finite, or a reference that is not above 0.
    static Scaling from(std::optional<double> scale, std::optional<double> offset,
                        std::optional<double> volts);
    bool on() const { return kind_ != Kind::None; }
    double apply(double raw, int bits) const;
    // "x 0.5 + 1", "0 to 5 V", or "" when off.
    std::string describe() const;

  private:
    enum class Kind { None, Linear, Volts };
    Kind kind_ = Kind::None;
    double scale_ = 1, offset_ = 0, volts_ = 0;
};

// The last readings of a channel, oldest first; a failed reading leaves a gap. Fixed size:
// a long run does not grow it.
class History {
  public:
    static constexpr std::size_t kSize = 30;
    void add(std::optional<double> value);
    std::size_t size() const { return size_; }
    std::optional<double> at(std::size_t i) const {
        return values_[(head_ + kSize - size_ + i) % kSize];
    }

  private:
    std::array<std::optional<double>, kSize> values_{};
    std::size_t head_ = 0;  // where the next value goes
    std::size_t size_ = 0;
};

// One block character for each of the last `width` readings, from ▁ (the lowest of them) to █
// (the highest); a flat history is drawn at mid height, a failed reading as a blank.
std::string sparkline(const History& history, std::size_t width = History::kSize);

// One channel's readings so far (of the scaled value when scaling is on).
struct ChannelStats {
    int16_t channel = 0;
    int bits = 0;
    int64_t count = 0;     // readings made
    int64_t failures = 0;  // readings without a value
    int64_t values = 0;
    double min = 0, max = 0, sum = 0;
    std::optional<double> raw, current;  // of the last reading
    std::string lastError;               // the last failure's text, escaped
    History recent;
    // With --reconnect: times the device went away, the time away in all, and whether it is
    // away now.
    int64_t gaps = 0;
    double awaySeconds = 0;
    bool away = false;

    // A gap of `seconds` ends: counted, and marked in the history as a reading without value.
    void addGap(double seconds);

    void add(std::optional<double> raw, std::optional<double> value, std::string_view error);
    std::optional<double> mean() const;
};

// One reading, as every view writes it.
struct Reading {
    std::string time;
    int16_t channel = 0;
    int bits = 0;
    Variant raw;                     // Empty when the reading failed
    std::optional<double> scaled;    // with scaling on and a value
    std::optional<int16_t> address;  // the address word a 10- or 12-bit reading wrote back
    bool result = false;
    std::string errorString;         // as the control left it
    std::optional<int> errorNumber;  // when the call itself failed
    std::string errorText;
    // A gap record: the device was away for this many seconds from `time` on.
    std::optional<double> gapSeconds;
};

// A number for people: up to six significant digits ("805.25", "3.93573"); "-" for none.
std::string numberText(std::optional<double> v);
// A number for files: the shortest text that reads back as the same double.
std::string exactNumber(double v);

// With `gaps` (--reconnect) every record ends with a status (ok, failed, gap) and the gap's
// duration in seconds.
std::string csvHeader(bool scaled, bool gaps = false);
std::string csvRecord(const Reading& r, bool scaled, bool gaps = false);
Json jsonRecord(const Reading& r, bool scaled);
// One line per reading for a pipe or a file. With several channels the channel and width come
// after the time; with one, the line is time, value, result and text only.
std::string plainLine(const Reading& r, bool scaled, bool severalChannels);

// The live table: a header and one row per channel, each at most `columns` wide.
std::vector<std::string> tableLines(const std::vector<ChannelStats>& channels, bool scaled,
                                    int columns);
// The lines that redraw the table in place: the cursor goes back up over `previousLines`
// first, and every line erases what was left of the one before.
std::string tableRedraw(const std::vector<std::string>& lines, std::size_t previousLines);
// The summary at the end: a header and one row per channel.
std::vector<std::string> summaryLines(const std::vector<ChannelStats>& channels, bool scaled);

// Cuts text to `columns` characters on the screen (UTF-8 characters count one each).
std::string fitWidth(std::string_view text, int columns);

}  // namespace vantrel::cli
