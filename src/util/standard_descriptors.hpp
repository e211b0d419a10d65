// vantrel: the standard descriptors kept taken, for the programs' main().
#pragma once

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

namespace vantrel {

// Opens /dev/null on each standard descriptor (0, 1, 2) that the program was started without,
// so that no descriptor opened later (an event loop, a serial port) takes its number and gets
// what is meant for standard output. Each is opened for the other direction, so that using it
// fails with EBADF, as on the closed descriptor it stands for. Call first thing in main().
inline void reserveStandardDescriptors() noexcept {
    for (int fd = 0; fd <= 2; ++fd) {
        if (::fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
        // The lowest free number: fd itself, as those below it are open by now.
        const int opened = ::open("/dev/null", fd == 0 ? O_WRONLY : O_RDONLY);
        if (opened > fd) {
            ::dup2(opened, fd);
            ::close(opened);
        }
    }
}

}  // namespace vantrel
