// vantrel command-line tool: how values, times and bytes are written, and the lines that carry
// them.
#pragma once

#include <chrono>
#include <cstdint>
#include <nlohmann/json.hpp>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "vantrel/variant.hpp"

namespace vantrel::cli {

// JSON output keeps the keys in the order they are written.
using Json = nlohmann::ordered_json;

// Text in double quotes with C escapes for quotes, backslashes and control characters
// (\r, \n, \t, \xNN); other characters (UTF-8 included) as they are.
std::string quotedText(std::string_view text);
// A value as the shell shows it: Empty, Null, True, False, a number, or quoted text.
std::string variantText(const Variant& v);
// A value as JSON: Empty as null, Null as {"type": "Null"}, numbers, booleans and strings.
Json variantJson(const Variant& v);
// Local time of day with milliseconds ("14:03:07.125"), or microseconds.
std::string clockText(bool micro = false);
// Local date and time with milliseconds and the offset from UTC, ISO 8601
// ("2026-12-08T14:03:07.125+01:00"): the time of every JSON and CSV record.
std::string dateTimeText();
std::string dateTimeText(std::chrono::system_clock::time_point when);
// A missing value (no reading, no device...) is null in JSON, an empty field in CSV and this in
// text and tables. Empty and Null are values of their own, and are shown as such.
inline constexpr std::string_view kMissingText = "-";
// A value that may be missing, for text, JSON and CSV.
std::string valueText(const std::optional<Variant>& v);
Json valueJson(const std::optional<Variant>& v);
// As CSV wants it, unquoted: numbers and booleans as text, strings as they are; empty when
// missing or Empty.
std::string csvValue(const std::optional<Variant>& v);
// One CSV record: the fields joined by commas, each in double quotes (quotes doubled) when it
// holds a comma, a quote or a line break, or starts or ends with a blank. An empty field is a
// missing value.
std::string csvRecord(const std::vector<std::string>& fields);

// A count with its noun: "1 board", "3 boards".
std::string plural(uint64_t n, const char* one, const char* many);

// Bytes for a trace line: printable runs in quotes, other bytes in hex ("PRA" 0D).
std::string traceText(std::string_view bytes);

// Standard output cannot be written any more (EPIPE: its reader has gone). Thrown by printLine
// and printJson; main() ends the command with status 1.
struct OutputClosed : std::runtime_error {
    explicit OutputClosed(int error);
};

// One JSON document on one line of standard output (invalid UTF-8 replaced), flushed.
void printJson(const Json& j);
// A line on standard output, flushed (output interleaves with events). Throws OutputClosed.
void printLine(std::string_view line);
// A line on standard error.
void printError(std::string_view line);

}  // namespace vantrel::cli
