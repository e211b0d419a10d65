// Test helper: a pseudo-terminal whose slave a component opens by path while the test plays the
// far end on the master.
#pragma once

#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <stdexcept>
#include <string>
#include <string_view>
#include <system_error>

#include "fd.hpp"

namespace vantrel::test {

struct PtyPair {
    Fd master;
    // Held open by the test: a master without any open slave reports EPOLLHUP without end.
    Fd slave;
    std::string slavePath;

    PtyPair() : master(::posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC)) {
        if (!master) fail("posix_openpt");
        if (::grantpt(master.get()) != 0) fail("grantpt");
        if (::unlockpt(master.get()) != 0) fail("unlockpt");
        char name[128];
        if (::ptsname_r(master.get(), name, sizeof name) != 0) fail("ptsname_r");
        slavePath = name;
        slave.reset(::open(name, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
        if (!slave) fail("open " + slavePath);
    }

    // Writes all of bytes to the master (small writes: the pty takes them at once).
    void send(std::string_view bytes) const {
        while (!bytes.empty()) {
            const ssize_t n = ::write(master.get(), bytes.data(), bytes.size());
            if (n < 0) fail("write master");
            bytes.remove_prefix(static_cast<size_t>(n));
        }
    }

    // Everything the master can read now, without waiting.
    std::string drain() const {
        std::string got;
        char buf[4096];
        ssize_t n;
        while ((n = ::read(master.get(), buf, sizeof buf)) > 0)
            got.append(buf, static_cast<size_t>(n));
        return got;
    }

    [[noreturn]] static void fail(const std::string& what) {
        throw std::system_error(errno, std::generic_category(), what);
    }
};

}  // namespace vantrel::test
