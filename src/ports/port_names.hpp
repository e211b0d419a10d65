// vantrel: what the pieces of the port map share: the range of COM numbers, and one name for
// each device whatever link leads to it.
#pragma once

#include <filesystem>
#include <string>
#include <system_error>

#include "vantrel/error.hpp"

namespace vantrel {

inline constexpr int kLastPort = 255;

// Error InvalidPortNumber outside 1..kLastPort.
inline void checkPort(int port) {
    if (port < 1 || port > kLastPort) throw Error(err::InvalidPortNumber, "Invalid port number");
}

// The path with every link followed, or the path itself when it cannot be resolved: two names
// of one device compare equal this way.
inline std::string resolved(const std::string& path) {
    std::error_code ec;
    const std::filesystem::path p = std::filesystem::canonical(path, ec);
    return ec ? path : p.string();
}

}  // namespace vantrel
