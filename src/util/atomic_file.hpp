// vantrel: reading a small file whole, and replacing one so that a crash leaves the old or the
// new contents, never a mix.
#pragma once

#include <sys/stat.h>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "fd.hpp"

namespace vantrel {

// A new file "<target>.tmp.<pid>.<n>" in the target's folder, removed unless it has been renamed
// into place. It takes the mode of `like` (and its owner, when that differs), or without `like`
// the mode of the file it replaces, or the usual one for a new file (umask applies). Failures
// throw Error with `errorNumber` and the system's reason.
class TempFile {
  public:
    TempFile(const std::string& target, int32_t errorNumber, const struct stat* like = nullptr);
    TempFile(const TempFile&) = delete;
    TempFile& operator=(const TempFile&) = delete;
    ~TempFile();

    void write(std::string_view bytes);
    // Flushes the bytes to disk and closes the file, reporting a late write error.
    void finish();
    void renameTo(const std::string& target);

  private:
    int32_t errorNumber_;
    std::string path_;
    Fd fd_;
};

// Flushes a folder, so that a rename in it is durable.
void flushFolder(const std::string& folder, int32_t errorNumber);

// The whole file, or nothing when it does not exist. It must be a regular file of at most
// `maxBytes`: a device such as /dev/zero, a FIFO or a folder is refused as soon as it is opened
// (the open does not wait for a FIFO's writer), a larger file once its size is known. Failures
// throw Error with `errorNumber`, naming the file as `what` ("ports file /dev/zero: not a
// regular file"), or the failing call with the system's reason.
std::optional<std::string> readWholeFile(const std::string& path, int32_t errorNumber,
                                         std::size_t maxBytes, std::string_view what);

// Replaces the file at `path` with `bytes`: a temporary file in the same folder, flushed to
// disk, renamed over the old file, then the folder flushed. The old file's mode is kept. A
// failure throws Error with `errorNumber` and the system's reason and removes the temporary
// file; up to the rename the old file is left as it was. A process killed mid-write leaves
// either file, and possibly a stray "<file>.tmp.*" next to it.
void replaceFile(const std::string& path, std::string_view bytes, int32_t errorNumber);

// The folder part of a path ("." for a bare name).
std::string folderOf(const std::string& path);

}  // namespace vantrel
