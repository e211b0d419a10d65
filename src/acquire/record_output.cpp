// vantrel recorder: the kind of output a path asks for.
#include "record_output.hpp"

#include <dirent.h>
#include <sys/file.h>
#include <sys/stat.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <ctime>

#include "fd.hpp"
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

void lockOutput(int fd, const std::string& path) {
    int rc;
    do {
        rc = ::flock(fd, LOCK_EX | LOCK_NB);
    } while (rc != 0 && errno == EINTR);
    if (rc == 0) return;
    if (errno == EWOULDBLOCK)
        throw OutputError(path + ": another recorder is writing to it; choose another file", EBUSY);
    throw OutputError(sysMessage("flock", path, errno), errno);
}

std::string rotatedName(const std::string& path, std::chrono::system_clock::time_point start) {
    const auto slash = path.find_last_of('/');
    const auto dot = path.find_last_of('.');
    const bool hasExt = dot != std::string::npos && (slash == std::string::npos || dot > slash);
    const std::string stem = hasExt ? path.substr(0, dot) : path;
    const std::string ext = hasExt ? path.substr(dot) : std::string();
    // No colons in a file name: some tools refuse them.
    const time_t s = std::chrono::system_clock::to_time_t(start);
    tm p{};
    ::gmtime_r(&s, &p);
    char stamp[96];
    std::snprintf(stamp, sizeof stamp, "%04d-%02d-%02dT%02d-%02d-%02d", p.tm_year + 1900,
                  p.tm_mon + 1, p.tm_mday, p.tm_hour, p.tm_min, p.tm_sec);
    std::string target = stem + "." + stamp + ext;
    struct stat st {};
    for (int n = 2; ::lstat(target.c_str(), &st) == 0; ++n)
        target = stem + "." + stamp + "-" + std::to_string(n) + ext;
    return target;
}

std::size_t pruneRotated(const std::string& path, std::chrono::system_clock::time_point cutoff) {
    const auto slash = path.find_last_of('/');
    const std::string folder = slash == std::string::npos ? "." : path.substr(0, slash + 1);
    const std::string base = slash == std::string::npos ? path : path.substr(slash + 1);
    const auto dot = base.find_last_of('.');
    const std::string stem = dot == std::string::npos ? base : base.substr(0, dot);
    const std::string ext = dot == std::string::npos ? std::string() : base.substr(dot);
    std::unique_ptr<DIR, int (*)(DIR*)> dir(::opendir(folder.c_str()), ::closedir);
    if (!dir) throw OutputError(sysMessage("opendir", folder, errno), errno);
    static constexpr std::string_view kStamp = "9999-99-99T99-99-99";
    const auto isDigits = [](std::string_view t) {
        return !t.empty() && std::all_of(t.begin(), t.end(),
                                         [](unsigned char c) { return std::isdigit(c) != 0; });
    };
    std::size_t removed = 0;
    while (const dirent* e = ::readdir(dir.get())) {
        const std::string_view name = e->d_name;
        if (name.size() < stem.size() + 1 + kStamp.size() + ext.size() ||
            name.substr(0, stem.size() + 1) != stem + "." ||
            name.substr(name.size() - ext.size()) != ext)
            continue;
        // "<stem>.<stamp>[-n]<ext>" and nothing else: no other file of the folder is touched.
        const std::string_view middle =
            name.substr(stem.size() + 1, name.size() - stem.size() - 1 - ext.size());
        bool ours = middle.size() >= kStamp.size();
        for (std::size_t i = 0; ours && i < kStamp.size(); ++i)
            ours = kStamp[i] == '9' ? std::isdigit(static_cast<unsigned char>(middle[i])) != 0
                                    : middle[i] == kStamp[i];
        const std::string_view rest = middle.substr(std::min(middle.size(), kStamp.size()));
        if (!ours || !(rest.empty() || (rest[0] == '-' && isDigits(rest.substr(1))))) continue;
        const std::string file = folder + std::string(name);
        struct stat st {};
        if (::lstat(file.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) continue;
        const auto written = std::chrono::system_clock::time_point(
            std::chrono::seconds(st.st_mtim.tv_sec) + std::chrono::nanoseconds(st.st_mtim.tv_nsec));
        if (written < cutoff && ::unlink(file.c_str()) == 0) ++removed;
    }
    return removed;
}

std::optional<std::chrono::system_clock::time_point> Retention::due(
    std::chrono::system_clock::time_point newest) {
    if (days_ <= 0 || (next_ && newest < *next_)) return std::nullopt;
    next_ = newest + std::chrono::hours(1);
    return newest - std::chrono::duration_cast<std::chrono::system_clock::duration>(
                        std::chrono::duration<double, std::ratio<86400>>(days_));
}

std::unique_ptr<RecordOutput> openOutput(const std::string& path, const RotateConfig& rotate,
                                         MinMax columns) {
    refuseIfNotRegular(path);
    switch (outputKind(path)) {
        case OutputKind::Csv:
            return std::make_unique<TextFileOutput>(path, TextFileOutput::Format::Csv, rotate,
                                                    TextFileOutput::WriteFn{}, columns);
        case OutputKind::JsonLines:
            return std::make_unique<TextFileOutput>(path, TextFileOutput::Format::JsonLines,
                                                    rotate);
        case OutputKind::Sqlite:
            return std::make_unique<SqliteOutput>(path, rotate);
    }
    return nullptr;
}

}  // namespace vantrel::acquire
