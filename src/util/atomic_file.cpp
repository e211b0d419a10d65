// vantrel: whole-file reads and atomic replacement, shared by the form file and the ports file.
#include "atomic_file.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>

#include "fd.hpp"
#include "vantrel/error.hpp"

namespace vantrel {

namespace {

void writeAll(int fd, std::string_view bytes, const std::string& path, int32_t errorNumber) {
    while (!bytes.empty()) {
        const ssize_t n = ::write(fd, bytes.data(), bytes.size());
        if (n < 0) {
            if (errno == EINTR) continue;
            throw Error(errorNumber, sysMessage("write", path, errno));
        }
        bytes.remove_prefix(static_cast<size_t>(n));
    }
}

}  // namespace

TempFile::TempFile(const std::string& target, int32_t errorNumber, const struct stat* like)
    : errorNumber_(errorNumber) {
    struct stat existing {};
    if (like == nullptr && ::stat(target.c_str(), &existing) == 0) like = &existing;
    // Only a given `like` passes its owner on (changing the owner needs the right to).
    const bool keepOwner = like != nullptr && like != &existing;
    const std::string base = target + ".tmp." + std::to_string(::getpid()) + ".";
    for (int attempt = 0;; ++attempt) {
        path_ = base + std::to_string(attempt);
        // Readable by nobody else until it has the mode it is to have.
        fd_.reset(::open(path_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC,
                         like != nullptr ? 0600 : 0666));
        if (fd_) break;
        // A leftover of an earlier process with the same id: try the next name.
        if (errno != EEXIST || attempt == 99) {
            const int e = errno;
            path_.clear();
            throw Error(errorNumber, sysMessage("create", base + std::to_string(attempt), e));
        }
    }
    if (like == nullptr) return;
    struct stat mine {};
    const char* failed = nullptr;
    if (::fstat(fd_.get(), &mine) != 0)
        failed = "stat";
    else if (keepOwner && (mine.st_uid != like->st_uid || mine.st_gid != like->st_gid) &&
             ::fchown(fd_.get(), like->st_uid, like->st_gid) != 0)
        failed = "keep the owner of";
    else if (::fchmod(fd_.get(), like->st_mode & 07777) != 0)
        failed = "chmod";
    if (failed) {
        // The destructor does not run for a constructor that throws: clean up here.
        const int e = errno;
        fd_.reset();
        ::unlink(path_.c_str());
        throw Error(errorNumber, sysMessage(failed, path_, e));
    }
}

TempFile::~TempFile() {
    fd_.reset();
    if (!path_.empty()) ::unlink(path_.c_str());
}

void TempFile::write(std::string_view bytes) {
    writeAll(fd_.get(), bytes, path_, errorNumber_);
}

void TempFile::finish() {
    if (::fsync(fd_.get()) != 0) throw Error(errorNumber_, sysMessage("fsync", path_, errno));
    if (::close(fd_.release()) != 0) throw Error(errorNumber_, sysMessage("close", path_, errno));
}

void TempFile::renameTo(const std::string& target) {
    if (::rename(path_.c_str(), target.c_str()) != 0)
        throw Error(errorNumber_, sysMessage("rename", path_ + " to " + target, errno));
    path_.clear();
}

void flushFolder(const std::string& folder, int32_t errorNumber) {
    Fd dir(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!dir) throw Error(errorNumber, sysMessage("open", folder, errno));
    if (::fsync(dir.get()) != 0) throw Error(errorNumber, sysMessage("fsync", folder, errno));
}

std::optional<std::string> readWholeFile(const std::string& path, int32_t errorNumber,
                                         std::size_t maxBytes, std::string_view what) {
    Fd fd(::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    if (!fd) {
        if (errno == ENOENT) return std::nullopt;
        throw Error(errorNumber, sysMessage("open", path, errno));
    }
    const auto refuse = [&](const std::string& why) {
        throw Error(errorNumber, std::string(what) + " " + path + ": " + why);
    };
    struct stat st {};
    if (::fstat(fd.get(), &st) != 0) throw Error(errorNumber, sysMessage("stat", path, errno));
    if (!S_ISREG(st.st_mode)) refuse("not a regular file");
    const auto tooLarge = [&] { refuse("larger than " + std::to_string(maxBytes) + " bytes"); };
    if (static_cast<std::uintmax_t>(st.st_size) > maxBytes) tooLarge();
    std::string text;
    char buf[16 * 1024];
    for (;;) {
        const ssize_t n = ::read(fd.get(), buf, sizeof buf);
        if (n < 0) {
            if (errno == EINTR) continue;
            throw Error(errorNumber, sysMessage("read", path, errno));
        }
        if (n == 0) break;
        text.append(buf, static_cast<size_t>(n));
        if (text.size() > maxBytes) tooLarge();  // it grew since fstat
    }
    return text;
}

std::string folderOf(const std::string& path) {
    const auto slash = path.find_last_of('/');
    if (slash == std::string::npos) return ".";
    if (slash == 0) return "/";
    return path.substr(0, slash);
}

void replaceFile(const std::string& path, std::string_view bytes, int32_t errorNumber) {
    // A new file in the same folder, complete and on disk before it replaces the old one, so
    // that a crash at any point leaves one whole file or the other.
    TempFile temp(path, errorNumber);
    temp.write(bytes);
    temp.finish();
    temp.renameTo(path);
    // The rename itself is durable only once the folder is flushed.
    flushFolder(folderOf(path), errorNumber);
}

}  // namespace vantrel
