// vantrel recorder: a whole run. Every board on its thread, one writer thread for the output,
// and the status of each board.
#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "board_worker.hpp"
#include "log_config.hpp"
#include "record_tap.hpp"
#include "record_writer.hpp"

namespace vantrel::acquire {

class Recorder {
  public:
    // Opens the output (throws OutputError, ConfigError for an output of no known kind) and
    // starts the writer and every board. `message` gets the writer's problems and recoveries.
    // Every record goes to each of `taps` too; they must outlive stop(). `notice` gets each
    // board's name and its comings and goings (from the board's thread).
    using Notice = std::function<void(const BoardConfig&, BoardEvent, const std::string& why)>;
    Recorder(const LogConfig& config, RecordWriter::MessageFn message,
             std::vector<RecordTap*> taps = {}, Notice notice = {});
    ~Recorder();
    Recorder(const Recorder&) = delete;
    Recorder& operator=(const Recorder&) = delete;

    // Reopens the output by its name (SIGHUP).
    void reopen() { writer_->reopen(); }
    // Whether every board has made its first attempt to open.
    bool started() const;
    // Whether every board's thread has ended (the run's duration is over).
    bool finished() const;
    // When the run's last round is due at the latest (none: the run lasts until stopped).
    std::optional<std::chrono::steady_clock::time_point> end() const { return end_; }
    // Stops the boards, then writes what is left and closes the output. Returns the number of
    // records that could not be written. Idempotent.
    uint64_t stop();
    // Stops the boards only: the published outputs can then store their last cursors before
    // stop() closes the file. Idempotent.
    void stopBoards();
    // Stores how far a published output's server has acknowledged (see RecordWriter).
    void saveCursor(const std::string& output, uint64_t seq) { writer_->saveCursor(output, seq); }

    std::vector<BoardStatus> boards() const;
    RecordWriter::Stats output() const { return writer_->stats(); }
    // The status as one JSON object (see docs/log.md).
    std::string statusJson() const;
    // Writes a note with the time now into the recording, and hands it to the taps as every
    // record. Returns the note. Thread-safe.
    Record note(const std::string& text);
    // Where the status file says notes are taken (empty: nowhere).
    void setNotesSocket(std::string path) { notesSocket_ = std::move(path); }

  private:
    // Numbers the record and hands it to the taps and the writer (from any board's thread).
    void hand(Record r);

    LogConfig config_;
    std::chrono::system_clock::time_point startedAt_;
    std::chrono::steady_clock::time_point t0_;
    std::string notesSocket_;
    std::optional<std::chrono::steady_clock::time_point> end_;
    std::unique_ptr<RecordWriter> writer_;
    std::vector<RecordTap*> taps_;
    Notice notice_;
    std::vector<std::unique_ptr<BoardWorker>> workers_;
    std::mutex handMutex_;
    uint64_t lastSeq_ = 0;  // under handMutex_
    bool stopped_ = false;
    uint64_t lost_ = 0;
};

}  // namespace vantrel::acquire
