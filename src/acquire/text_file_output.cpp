// vantrel recorder: CSV and JSON Lines files.
#include "text_file_output.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <ctime>

namespace vantrel::acquire {

namespace {

// Whether `text` (without a line end) is how the recorder's lines begin, as far as it goes: a
// torn last line is cut only when it is one of ours.
bool beginsLikeARecord(std::string_view text, TextFileOutput::Format format) {
    static constexpr std::string_view jsonStart = "{\"time\":\"";
    static constexpr std::string_view csvStart = "0000-";  // the year of isoTime()
    for (const char c : text)
        if (static_cast<unsigned char>(c) < 0x20) return false;
    const std::string_view start =
        format == TextFileOutput::Format::JsonLines ? jsonStart : csvStart;
    const std::string_view head = text.substr(0, start.size());
    for (std::size_t i = 0; i < head.size(); ++i) {
        const bool digit = start[i] == '0';
        if (digit ? !std::isdigit(static_cast<unsigned char>(head[i])) : head[i] != start[i])
            return false;
    }
    return true;
}

}  // namespace

TextFileOutput::TextFileOutput(std::string path, Format format, RotateConfig rotate, WriteFn write,
                               MinMax columns)
    : path_(std::move(path)),
      format_(format),
      rotate_(rotate),
      write_(std::move(write)),
      columns_(columns),
      retention_(rotate.retainDays) {
    if (!write_)
        write_ = [](int fd, const void* data, size_t size) { return ::write(fd, data, size); };
    open();
}

TextFileOutput::~TextFileOutput() = default;

void TextFileOutput::open() {
    // O_NONBLOCK: a FIFO or a device put there after the look must not hold up the open; it
    // is refused right after.
    refuseIfNotRegular(path_);
    fd_.reset(::open(path_.c_str(), O_RDWR | O_CREAT | O_APPEND | O_CLOEXEC | O_NONBLOCK | O_NOCTTY,
                     0644));
    if (!fd_) throw OutputError(sysMessage("open", path_, errno), errno);
    struct stat st {};
    if (::fstat(fd_.get(), &st) != 0) throw OutputError(sysMessage("fstat", path_, errno), errno);
    if (!S_ISREG(st.st_mode)) {
        fd_.reset();
        refuseIfNotRegular(path_);
        throw OutputError(path_ + ": not a regular file", EINVAL);
    }
    try {
        lockOutput(fd_.get(), path_);
    } catch (const OutputError&) {
        fd_.reset();
        throw;
    }
    size_ = static_cast<uint64_t>(st.st_size);
    started_.reset();
    if (size_ == 0) return;
    if (format_ == Format::Csv) {
        // Records appended under another file's header would be read as that file's columns.
        const std::string header = csvHeader(columns_);
        const std::string other =
            csvHeader(columns_ == MinMax::With ? MinMax::Without : MinMax::With);
        std::string first(std::max(header.size(), other.size()), '\0');
        const ssize_t n = ::pread(fd_.get(), first.data(), first.size(), 0);
        first.resize(n > 0 ? static_cast<std::size_t>(n) : 0);
        if (!first.starts_with(header)) {
            fd_.reset();
            // The other run's columns are said as such: the fix is the run file's, not the file's.
            const std::string why = !first.starts_with(other) ? ""
                                    : columns_ == MinMax::With
                                        ? " (it has no min and max columns: it was written "
                                          "by a run that averages no channel)"
                                        : " (it has min and max columns: it was written by "
                                          "a run that averages)";
            throw OutputError(
                path_ + ": the file does not start with the recorder's header line (" +
                    header.substr(0, header.size() - 1) + ")" + why + "; choose another file",
                EEXIST);
        }
    } else {
        // Records appended to a file of another program would spoil it; the first line of a
        // file the recorder wrote is one of its records.
        char first[16];
        const ssize_t n = ::pread(fd_.get(), first, sizeof first, 0);
        const std::string_view head(first, n > 0 ? static_cast<std::size_t>(n) : 0);
        const std::string_view firstLine = head.substr(0, head.find('\n'));
        if (firstLine.empty() || !beginsLikeARecord(firstLine, format_)) {
            fd_.reset();
            throw OutputError(path_ +
                                  ": the file does not start with a record of the recorder "
                                  "({\"time\":\"...); it is continued only then: choose another "
                                  "file",
                              EEXIST);
        }
    }
    started_ = std::chrono::system_clock::from_time_t(st.st_mtim.tv_sec);
    // A line without its end was being written when the process was killed: cut it off, so
    // that the next record starts on a line of its own.
    char buffer[4096];
    off_t end = static_cast<off_t>(size_);
    while (end > 0) {
        const off_t from =
            end > static_cast<off_t>(sizeof buffer) ? end - static_cast<off_t>(sizeof buffer) : 0;
        const ssize_t n = ::pread(fd_.get(), buffer, static_cast<size_t>(end - from), from);
        if (n <= 0)
            throw OutputError(sysMessage("read", path_, n < 0 ? errno : EIO), n < 0 ? errno : EIO);
        ssize_t i = n;
        while (i > 0 && buffer[i - 1] != '\n') --i;
        if (i > 0) {
            end = from + i;
            break;
        }
        end = from;
    }
    if (static_cast<uint64_t>(end) != size_) {
        std::string tail(std::min<uint64_t>(size_ - static_cast<uint64_t>(end), 64), '\0');
        const ssize_t n = ::pread(fd_.get(), tail.data(), tail.size(), end);
        tail.resize(n > 0 ? static_cast<std::size_t>(n) : 0);
        if (!beginsLikeARecord(tail, format_)) {
            fd_.reset();
            throw OutputError(path_ +
                                  ": its last line has no line end and is not the start of a "
                                  "record of the recorder, so it is not cut: choose another file",
                              EEXIST);
        }
        std::fprintf(stderr, "vantrel: %s: cut off an unfinished last line of %llu bytes\n",
                     path_.c_str(),
                     static_cast<unsigned long long>(size_ - static_cast<uint64_t>(end)));
        if (::ftruncate(fd_.get(), end) != 0)
            throw OutputError(sysMessage("ftruncate", path_, errno), errno);
        size_ = static_cast<uint64_t>(end);
    }
}

void TextFileOutput::append(const std::string& text) {
    std::size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = write_(fd_.get(), text.data() + done, text.size() - done);
        if (n > 0) {
            done += static_cast<std::size_t>(n);
            continue;
        }
        const int e = n == 0 ? ENOSPC : errno;
        if (e == EINTR) continue;
        // Nothing of a failed write stays: the file ends with a whole record again.
        if (done > 0 && ::ftruncate(fd_.get(), static_cast<off_t>(size_)) != 0) {
            const int te = errno;
            throw OutputError(sysMessage("write", path_, e) +
                                  "; cutting the unfinished record off failed too: " +
                                  sysMessage("ftruncate", path_, te),
                              e);
        }
        throw OutputError(sysMessage("write", path_, e), e);
    }
    size_ += text.size();
}

void TextFileOutput::rotate() {
    const std::string target =
        rotatedName(path_, started_.value_or(std::chrono::system_clock::now()));
    if (::rename(path_.c_str(), target.c_str()) != 0)
        throw OutputError(sysMessage("rename", path_, errno), errno);
    ::fsync(fd_.get());
    rotated_.push_back(target);
    open();
}

void TextFileOutput::write(std::span<const Record> records) {
    std::string text;
    std::size_t pending = 0;  // records in `text`
    std::size_t stored = 0;
    try {
        if (!fd_) open();
        for (const Record& r : records) {
            const std::string line = format_ == Format::Csv ? csvLine(r, columns_) : jsonLine(r);
            const uint64_t fileBytes = size_ + text.size();
            const bool newDay = rotate_.daily && started_ && utcDay(*started_) != utcDay(r.time);
            const bool tooBig = rotate_.maxBytes > 0 && fileBytes + line.size() > rotate_.maxBytes;
            if ((newDay || tooBig) && fileBytes > 0) {
                if (pending > 0) append(text);
                stored += pending;
                text.clear();
                pending = 0;
                rotate();
            }
            if (format_ == Format::Csv && size_ == 0 && text.empty()) text = csvHeader(columns_);
            if (!started_) started_ = r.time;
            text += line;
            ++pending;
        }
        if (pending > 0) append(text);
        stored += pending;
        if (!records.empty())
            if (const auto cutoff = retention_.due(records.back().time))
                pruneRotated(path_, *cutoff);
    } catch (const OutputError& e) {
        throw OutputError(e.what(), e.errnum(), stored);
    }
}

void TextFileOutput::reopen() {
    fd_.reset();
    open();
}

void TextFileOutput::close() {
    if (!fd_) return;
    if (::fsync(fd_.get()) != 0 && errno != EINVAL)
        throw OutputError(sysMessage("fsync", path_, errno), errno);
    fd_.reset();
}

}  // namespace vantrel::acquire
