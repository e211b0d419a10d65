// vantrel: the owner of one file descriptor, and the text of a failed system call.
#pragma once

#include <unistd.h>

#include <string>
#include <string_view>
#include <system_error>
#include <utility>

namespace vantrel {

// Owns one descriptor and closes it when destroyed. Move-only.
class Fd {
  public:
    Fd() = default;
    explicit Fd(int fd) noexcept : fd_(fd) {}
    Fd(Fd&& o) noexcept : fd_(std::exchange(o.fd_, -1)) {}
    Fd& operator=(Fd&& o) noexcept {
        if (this != &o) reset(std::exchange(o.fd_, -1));
        return *this;
    }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    ~Fd() { reset(); }

    int get() const noexcept { return fd_; }
    explicit operator bool() const noexcept { return fd_ >= 0; }

    // Gives up ownership without closing.
    int release() noexcept { return std::exchange(fd_, -1); }

    // Closes the owned descriptor (if any) and takes fd. Linux releases the descriptor even when
    // close reports EINTR, so a failed close is never retried.
    void reset(int fd = -1) noexcept {
        const int old = std::exchange(fd_, fd);
        if (old >= 0) ::close(old);
    }

  private:
    int fd_ = -1;
};

// "open /dev/ttyS2: Permission denied": the call, what it was applied to, and the errno text.
inline std::string sysMessage(std::string_view call, std::string_view subject, int errnum) {
    std::string text(call);
    if (!subject.empty()) {
        text += ' ';
        text += subject;
    }
    text += ": ";
    text += std::generic_category().message(errnum);
    return text;
}

}  // namespace vantrel
