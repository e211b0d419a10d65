// vantrel: asking a serial driver to hand received bytes on at once.
#include "transport/low_latency.hpp"

#include <linux/serial.h>
#include <sys/ioctl.h>

namespace vantrel {

bool requestLowLatency(int fd) noexcept {
    serial_struct s{};
    if (::ioctl(fd, TIOCGSERIAL, &s) != 0 || (s.flags & ASYNC_LOW_LATENCY) != 0) return false;
    s.flags |= ASYNC_LOW_LATENCY;
    return ::ioctl(fd, TIOCSSERIAL, &s) == 0;
}

void dropLowLatency(int fd) noexcept {
    serial_struct s{};
    if (::ioctl(fd, TIOCGSERIAL, &s) != 0 || (s.flags & ASYNC_LOW_LATENCY) == 0) return;
    s.flags &= ~ASYNC_LOW_LATENCY;
    ::ioctl(fd, TIOCSSERIAL, &s);
}

}  // namespace vantrel
