// vantrel serve: the sockets the daemon listens on, and the token check of a TCP hello.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "util/fd.hpp"

namespace vantrel::serve {

// Whether two tokens are the same, in a time that does not say where they differ.
bool sameToken(std::string_view a, std::string_view b);
// The Unix socket at `path` (its directory made; a socket left by a daemon that ended replaced;
// group `groupName` when given), listening.
Fd unixListener(const std::string& path, const std::string& groupName);
// A TCP socket listening on HOST:PORT, a loopback address unless `allowRemote`; the port it
// got in `boundPort`.
Fd tcpListener(const std::string& listen, bool allowRemote, uint16_t& boundPort);

}  // namespace vantrel::serve
