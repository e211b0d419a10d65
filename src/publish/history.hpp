// vantrel publishing: the live page's history, read from the recording's SQLite database while
// the recorder writes it. A short range comes from the readings, a longer one from the
// per-minute or per-hour summaries (or days made of the hours), so that an answer holds at most
// some thousands of points a channel whatever range is asked.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

struct sqlite3;

namespace vantrel::publish {

struct HistoryQuery {
    int64_t fromMs = 0;  // ms since the epoch, included
    int64_t toMs = 0;    // excluded
    // [board, name]; empty: every channel of the recording.
    std::vector<std::pair<std::string, std::string>> channels;
};

// A query parameter's value with its %-escapes and '+' decoded. Throws std::invalid_argument
// naming `what` for a broken escape.
std::string percentDecoded(std::string_view text, const char* what);

// Reads "from=MS&to=MS&channels=BOARD/NAME,..." (each board and name percent-encoded, so that
// a '/' or ',' of a name is "%2F", "%2C"). `to` defaults to `nowMs`, `from` to a day before
// `to`. Throws std::invalid_argument naming the parameter.
HistoryQuery parseHistoryQuery(std::string_view query, int64_t nowMs);

class HistoryReader {
  public:
    static constexpr std::size_t kMaxPoints = 2000;  // a channel's points in an answer
    static constexpr std::size_t kMaxChannels = 64;  // channels in one question
    static constexpr std::size_t kMaxMarks = 500;    // gaps and notes in an answer

    // The database is opened read-only at the first question, not before: the recorder may
    // not have created it yet.
    explicit HistoryReader(std::string database);
    ~HistoryReader();
    HistoryReader(const HistoryReader&) = delete;
    HistoryReader& operator=(const HistoryReader&) = delete;

    // The answer as JSON: {from, to, source: "readings"|"minute"|"hour"|"day", step (ms; 0 for
    // readings), truncated, channels: [{board, name, unit, points}], marks: [[ms, "gap"|"note",
    // board, name, text]]}. A point is [ms, value] from the readings ([ms, null] where the line
    // breaks), [ms, mean, min, max] from the summaries. Throws std::runtime_error when the
    // database cannot be read.
    std::string answer(const HistoryQuery& q);

  private:
    void open();

    std::string database_;
    sqlite3* db_ = nullptr;
    ino_t inode_ = 0;  // of the file opened: a rotation puts another under the name
};

}  // namespace vantrel::publish
