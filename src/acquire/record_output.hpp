// vantrel recorder: where records go. One kind of output a file of this folder; the kind
// follows the output path's extension.
#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>

#include "log_config.hpp"
#include "record.hpp"

namespace vantrel::acquire {

// Writing failed (a full disk, a folder gone). The first stored() records of the write were
// stored whole, none of the others: writing those again later stores each once.
class OutputError : public std::runtime_error {
  public:
    OutputError(const std::string& text, int errnum, std::size_t stored = 0)
        : std::runtime_error(text), errnum_(errnum), stored_(stored) {}
    // The system's error number (ENOSPC for a full disk), 0 when there is none.
    int errnum() const { return errnum_; }
    std::size_t stored() const { return stored_; }

  private:
    int errnum_;
    std::size_t stored_;
};

class RecordOutput {
  public:
    virtual ~RecordOutput() = default;
    // Stores the records in order. Throws OutputError saying how many were stored before it.
    virtual void write(std::span<const Record> records) = 0;
    // Closes and opens the file again by its name (after a log rotation tool moved it away).
    virtual void reopen() {}
    // Makes what was written durable and closes the output. Throws OutputError.
    virtual void close() = 0;
    // The path written to.
    virtual const std::string& path() const = 0;
    // The largest sequence number stored (a run on an existing file continues from it); 0 for an
    // output that keeps none.
    virtual uint64_t lastSeq() const { return 0; }
    // Stores how far each published output's server has acknowledged (output -> seq), for an
    // output that can give the rest back later. Throws OutputError.
    virtual void saveCursors(const std::map<std::string, uint64_t>&) {}
};

enum class OutputKind { Csv, JsonLines, Sqlite };

// The kind of an output path: ".csv", ".jsonl", ".sqlite" or ".db" (any case). Throws
// ConfigError for another extension.
OutputKind outputKind(const std::string& path);

// Throws OutputError when the file at `path` exists and is not a regular file: a FIFO nobody
// reads would block the writer for ever, and a device or a folder is no record.
void refuseIfNotRegular(const std::string& path);

// Takes the output's lock on `fd` (an open descriptor of the file at `path`), so that two
// recorders never write one file, and so that a rotation's compressor can wait, with
// `flock FILE`, until the recorder has let go of a file moved away. Throws OutputError
// (EBUSY) when another holds it.
void lockOutput(int fd, const std::string& path);

// The name a rotated file takes: "<stem>.<start>.<ext>" (start: "2026-12-08T06-33-46", the
// UTC time of its first record), with "-2", "-3" added while such a file exists.
std::string rotatedName(const std::string& path, std::chrono::system_clock::time_point start);

// Removes the files rotated away from `path` (named as rotatedName() names them) last written
// before `cutoff`. Returns how many. Throws OutputError when the folder cannot be read.
std::size_t pruneRotated(const std::string& path, std::chrono::system_clock::time_point cutoff);

// When an output's old data is pruned: at its first write, then once an hour of record time.
class Retention {
  public:
    explicit Retention(double days) : days_(days) {}
    // The cutoff (records before it go) when pruning is due at a record of time `newest`.
    std::optional<std::chrono::system_clock::time_point> due(
        std::chrono::system_clock::time_point newest);

  private:
    double days_;
    std::optional<std::chrono::system_clock::time_point> next_;
};

// Opens the output for appending (a new file is created); `columns` for a CSV file's. Throws
// OutputError.
std::unique_ptr<RecordOutput> openOutput(const std::string& path, const RotateConfig& rotate,
                                         MinMax columns = MinMax::Without);

}  // namespace vantrel::acquire
