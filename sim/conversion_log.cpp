#include "sim/conversion_log.hpp"

#include <fcntl.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "vantrel/error.hpp"

namespace vantrel::sim {

ConversionLog::ConversionLog(const std::string& path)
    : path_(path),
      fd_(::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NONBLOCK | O_CLOEXEC, 0644)) {
    if (!fd_) throw Error(err::PortOpenFailed, sysMessage("open", path, errno));
    const std::size_t length = std::strlen(kHeader);
    if (::write(fd_.get(), kHeader, length) != static_cast<ssize_t>(length))
        throw Error(err::PortOpenFailed, sysMessage("write", path, errno));
}

void ConversionLog::write(const Conversion& c) {
    timespec wall{};
    ::clock_gettime(CLOCK_REALTIME, &wall);
    char line[128];
    const int n = std::snprintf(line, sizeof line, "%lld%06ld,%lld,%d,%d,%u,%.10g\n",
                                static_cast<long long>(wall.tv_sec), wall.tv_nsec / 1000,
                                static_cast<long long>(c.time.count()), c.bits, c.channel,
                                static_cast<unsigned>(c.word), c.reading);
    // One write a line: a reader never sees half a line from a board that is still running.
    ssize_t done;
    do {
        done = ::write(fd_.get(), line, static_cast<std::size_t>(n));
    } while (done < 0 && errno == EINTR);
    if (done == n)
        ++written_;
    else
        ++lost_;
}

}  // namespace vantrel::sim
