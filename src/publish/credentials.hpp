// vantrel publishing: the credentials of the MQTT broker and of InfluxDB, from a file of their
// own rather than the command line or an address (both of which other users of the machine
// can read in the process list or the run file).
//
//   [mqtt]
//   user = "lab"
//   password = "..."
//   ca_file = "/etc/vantrel/ca.pem"   # TLS, the broker's certificate checked against this CA
//   [influx]
//   user = "lab"
//   password = "..."
//   ca_file = "/etc/vantrel/ca.pem"   # HTTPS
#pragma once

#include <string>

#include "endpoint.hpp"

namespace vantrel::publish {

struct Credentials {
    ServerCredentials mqtt;
    ServerCredentials influx;
};

// At most this many bytes in a file of secrets.
inline constexpr std::size_t kMaxSecretFile = 4096;

// The whole of a file that holds secrets, read once: a regular file (a link to one is
// followed), owned by this user or root, with no permission for group or others, of at most
// kMaxSecretFile bytes. Throws std::invalid_argument with the reason otherwise.
std::string readSecretFile(const std::string& path);

// The credentials file's content. Throws std::invalid_argument naming the key at fault.
Credentials parseCredentials(const std::string& text);

}  // namespace vantrel::publish
