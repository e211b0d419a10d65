// vantrel: reading a small file whole, and replacing one so that a crash leaves the old or the
// new contents, never a mix.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace vantrel {

// The whole file, or nothing when it does not exist. Any other failure throws Error with
// `errorNumber` and the system's reason.
std::optional<std::string> readWholeFile(const std::string& path, int32_t errorNumber);

// Replaces the file at `path` with `bytes`: a temporary file in the same folder, flushed to
// disk, renamed over the old file, then the folder flushed. The old file's mode is kept. A
// failure throws Error with `errorNumber` and the system's reason and removes the temporary
// file; up to the rename the old file is left as it was. A process killed mid-write leaves
// either file, and possibly a stray "<file>.tmp.*" next to it.
void replaceFile(const std::string& path, std::string_view bytes, int32_t errorNumber);

// The folder part of a path ("." for a bare name).
std::string folderOf(const std::string& path);

}  // namespace vantrel
