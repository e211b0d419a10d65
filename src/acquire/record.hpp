// vantrel recorder: one reading as it is stored, and its text forms (CSV, JSON Lines).
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace vantrel::acquire {

// Alarm: not a reading but a limit's alarm raised or cleared (alarms.hpp), in `text`.
// Note: a line a person wrote into the recording (its text), of no board or channel.
enum class Status { Ok, Error, Gap, Alarm, Note };

// "ok", "error", "gap", "alarm", "note".
const char* statusName(Status status) noexcept;

struct Record {
    std::chrono::system_clock::time_point time;
    double mono = 0;  // seconds since the run started, on the monotonic clock
    std::string board;
    int bits = 0;
    int channel = 0;
    std::string name;  // the channel's name
    std::optional<double> raw;
    std::optional<double> value;  // raw through the channel's calibration
    std::string unit;
    Status status = Status::Ok;
    std::string text;  // the board's error text, why the board is away, or the note
    // The smallest and largest conversion of an averaged reading, through the calibration;
    // unset for a reading of one conversion.
    std::optional<double> min;
    std::optional<double> max;
    // The record's place in the run, the same in the file and for every published output, so
    // that an output can find in the file what it missed; 0: none.
    uint64_t seq = 0;
};

// A gap that stands for the deadlines an overrunning round left out (its text: "N deadlines left
// out: the round took ..."): the board was there before and after, only those readings are
// missing.
inline constexpr std::string_view kDeadlinesLeftOut = " deadlines left out: ";
inline bool isOverrunGap(const Record& r) {
    return r.status == Status::Gap && r.text.find(kDeadlinesLeftOut) != std::string::npos;
}

// UTC with milliseconds: "2026-12-08T06:33:46.123Z".
std::string isoTime(std::chrono::system_clock::time_point time);
// A time isoTime wrote, back as a time point; the epoch for any other text.
std::chrono::system_clock::time_point parseIsoTime(const std::string& text);
// The UTC day of a time, "2026-12-08".
std::string utcDay(std::chrono::system_clock::time_point time);
// The shortest text that reads back as the same double ("805.25", "1e-06").
std::string numberText(double value);

// The columns, in order, as the CSV header and the SQLite table name them.
inline constexpr const char* kColumns[] = {"time", "mono",  "board", "bits",   "channel", "name",
                                           "raw",  "value", "unit",  "status", "text"};

// Whether a CSV file has the min and max columns after text: only a run that averages some
// channel writes them, so that the files of every other run keep their columns.
enum class MinMax { Without, With };

// "time,mono,...,text\n", or "time,...,text,min,max\n".
std::string csvHeader(MinMax columns = MinMax::Without);
// One CSV row with its line end; fields quoted only when they must be.
std::string csvLine(const Record& r, MinMax columns = MinMax::Without);
// One JSON object with its line end; raw and value null when missing, text, min and max only
// when set.
std::string jsonLine(const Record& r);

}  // namespace vantrel::acquire
