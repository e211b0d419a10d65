// vantrel serve: the boards of a recorder's configuration, served by the daemon, and the same
// configuration with every board reached through the daemon, so that the recorder runs in the
// daemon's process as one more client.
#pragma once

#include <string>
#include <vector>

#include "daemon.hpp"
#include "log_config.hpp"

namespace vantrel::serve {

struct ServedRun {
    std::vector<BoardSetup> boards;
    acquire::LogConfig recorder;  // each board's device "unix://SOCKET?role=recording#NAME"
};

// A board given by COM number is served at the device the port map gives for it now. Throws
// Error (PortOpenFailed) when a name is not a word or a COM number has no device.
ServedRun servedRun(const acquire::LogConfig& config, const std::string& socketPath);

}  // namespace vantrel::serve
