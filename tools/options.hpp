// vantrel command-line tool: the options that say which control to build and where its
// ports are.
#pragma once

#include <CLI/CLI.hpp>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace vantrel::cli {

// The options of every command that works with a control.
struct ControlOptions {
    std::optional<int32_t> port;
    std::optional<int32_t> baud;
    std::vector<std::string> maps;      // "N=PATH"
    std::optional<std::string> device;  // the same as --map 1=PATH
    bool trace = false;
    bool autoBaud = false;  // find --baud auto
    bool withPort = true;   // --port is offered (find scans instead)
    std::string form;
    std::string name = "VantrelCtrl1";

    // Adds the options to a command. withPort: --port is offered (find scans instead).
    void addTo(CLI::App& app, bool withPort = true);
};

// Only the port-map options (for commands that inspect the map without a control).
struct MapOptions {
    std::vector<std::string> maps;
    std::optional<std::string> device;
    void addTo(CLI::App& app);
    // Puts the mappings in force. Throws CLI::ValidationError for a malformed entry.
    void apply() const;
};

// "3=/dev/pts/4" or "COM3=/dev/pts/4" -> {3, "/dev/pts/4"}; nothing when malformed.
std::optional<std::pair<int, std::string>> parseMapping(std::string_view text);
// Checks an option's value with parseMapping.
extern const CLI::Validator kMapping;

// Puts "N=PATH" mappings, and a device for COM1, in force. Throws CLI::ValidationError for a
// malformed entry or an empty device path.
void applyMaps(const std::vector<std::string>& maps, const std::optional<std::string>& device);

// Why a baud rate is not one the tool offers, or nothing when it is.
std::string rateProblem(int32_t rate);
// What a numeric option takes: a number from `low` to `high` (both included), a whole one when
// `whole`, with an optional unit for the message ("milliseconds").
struct NumberRange {
    double low = 0;
    double high = 0;
    bool whole = false;
    std::string unit;
};
// Why `text` is not a number in `range`, in plain numbers ("expected a whole number from 0 to
// 60000 (milliseconds), got 1e300"), or nothing when it is. A whole number given in another
// form ("1e3", "0x10", "7.0") is rewritten in plain digits, so that the option reads it.
std::string numberProblem(std::string& text, const NumberRange& range);
// The check for an option, built on numberProblem.
CLI::Validator numberCheck(NumberRange range);
// The check for an option that takes one of a few whole numbers (--bits 8, 10 or 12).
CLI::Validator oneOfCheck(std::vector<int> values);
// The widths --bits takes: those of the converter catalogue, narrowest first.
std::vector<int> converterWidths();
// A number as a person writes it: whole numbers below a trillion in plain digits, others with
// six significant digits at most and a plain exponent ("1.5e12", "2.5e-7").
std::string readableNumber(double value);

// The COM numbers --port takes.
inline constexpr int32_t kFirstPort = 1, kLastPort = 8;

}  // namespace vantrel::cli
