// vantrel recorder: CSV and JSON Lines files, appended to record by record, rotated by size and
// by UTC day.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "fd.hpp"
#include "record_output.hpp"

namespace vantrel::acquire {

// Appends whole records to the file at `path`. Every write is of whole lines: a write the
// system takes only in part (a full disk) is cut back to where it began, so the file never
// holds a torn record. An existing file is continued; a last line without its line end (the
// process was killed in the middle of one) is cut off first. A new CSV file starts with the
// header line.
//
// Rotation: before a record that would take the file past `maxBytes`, or whose UTC day is not
// the file's, the file is renamed to "<stem>.<start>.<ext>" (start: the UTC time of its first
// record, "2026-12-08T06-33-46") and a new one is begun at `path`.
//
// `columns`: whether CSV rows carry min and max; a file is continued only with its own columns.
class TextFileOutput : public RecordOutput {
  public:
    enum class Format { Csv, JsonLines };
    using WriteFn = std::function<ssize_t(int fd, const void* data, size_t size)>;

    // Throws OutputError when the file cannot be opened. `write` is the system call by default.
    TextFileOutput(std::string path, Format format, RotateConfig rotate, WriteFn write = {},
                   MinMax columns = MinMax::Without);
    ~TextFileOutput() override;

    void write(std::span<const Record> records) override;
    void reopen() override;
    void close() override;
    const std::string& path() const override { return path_; }

    // Bytes in the current file, and the files rotated away so far (their paths, oldest first).
    uint64_t size() const { return size_; }
    const std::vector<std::string>& rotated() const { return rotated_; }

  private:
    void open();
    void rotate();
    void append(const std::string& text);

    std::string path_;
    Format format_;
    RotateConfig rotate_;
    WriteFn write_;
    MinMax columns_;
    Fd fd_;
    uint64_t size_ = 0;
    // The UTC time of the current file's first record; unset while it has none.
    std::optional<std::chrono::system_clock::time_point> started_;
    std::vector<std::string> rotated_;
    Retention retention_;
};

}  // namespace vantrel::acquire
