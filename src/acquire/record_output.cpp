// vantrel recorder: the kind of output a path asks for.
#include "record_output.hpp"

#include <sys/stat.h>

#include <algorithm>
#include <cctype>
#include <cerrno>

#include "sqlite_output.hpp"
#include "text_file_output.hpp"

namespace vantrel::acquire {

OutputKind outputKind(const std::string& path) {
    const auto dot = path.find_last_of('.');
    const auto slash = path.find_last_of('/');
    std::string ext = dot == std::string::npos || (slash != std::string::npos && dot < slash)
                          ? std::string()
                          : path.substr(dot + 1);
    std::transform(ext.begin(), ext.end(), ext.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    if (ext == "csv") return OutputKind::Csv;
    if (ext == "jsonl") return OutputKind::JsonLines;
    if (ext == "sqlite" || ext == "db") return OutputKind::Sqlite;
    throw ConfigError(path +
                      ": the output's extension says its kind: .csv, .jsonl, .sqlite or .db");
}

void refuseIfNotRegular(const std::string& path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0 || S_ISREG(st.st_mode)) return;
    const char* kind = S_ISFIFO(st.st_mode)   ? "a FIFO"
                       : S_ISCHR(st.st_mode)  ? "a character device"
                       : S_ISBLK(st.st_mode)  ? "a block device"
                       : S_ISDIR(st.st_mode)  ? "a folder"
                       : S_ISSOCK(st.st_mode) ? "a socket"
                                              : "of another kind";
    throw OutputError(
        path + ": " + kind + ", not a regular file: the recorder writes to regular files only",
        EINVAL);
}

std::unique_ptr<RecordOutput> openOutput(const std::string& path, const RotateConfig& rotate) {
    refuseIfNotRegular(path);
    switch (outputKind(path)) {
        case OutputKind::Csv:
            return std::make_unique<TextFileOutput>(path, TextFileOutput::Format::Csv, rotate);
        case OutputKind::JsonLines:
            return std::make_unique<TextFileOutput>(path, TextFileOutput::Format::JsonLines,
                                                    rotate);
        case OutputKind::Sqlite:
            return std::make_unique<SqliteOutput>(path);
    }
    return nullptr;
}

}  // namespace vantrel::acquire
