// vantrel publishing: the credentials file.
#include "credentials.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <toml++/toml.h>
#include <cerrno>
#include <cstring>
#include <stdexcept>

#include "fd.hpp"

namespace vantrel::publish {

std::string readSecretFile(const std::string& path) {
    // Opened first and checked through its descriptor, so that what is checked is what is read.
    const Fd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
    if (!fd) throw std::invalid_argument(path + ": " + std::strerror(errno));
    struct stat st {};
    if (::fstat(fd.get(), &st) != 0)
        throw std::invalid_argument(path + ": " + std::strerror(errno));
    if (!S_ISREG(st.st_mode)) throw std::invalid_argument(path + ": is not a regular file");
    if (st.st_uid != ::geteuid() && st.st_uid != 0)
        throw std::invalid_argument(path + ": is owned by user " + std::to_string(st.st_uid) +
                                    ", neither this user nor root");
    if ((st.st_mode & (S_IRWXG | S_IRWXO)) != 0) {
        char mode[8];
        std::snprintf(mode, sizeof mode, "%03o", static_cast<unsigned>(st.st_mode & 0777));
        throw std::invalid_argument(path + ": group or others may reach it (mode " + mode +
                                    "); chmod 600 it");
    }
    if (static_cast<std::size_t>(st.st_size) > kMaxSecretFile)
        throw std::invalid_argument(path + ": is larger than " + std::to_string(kMaxSecretFile) +
                                    " bytes");
    std::string text(kMaxSecretFile + 1, '\0');
    std::size_t got = 0;
    while (got < text.size()) {
        const ssize_t n = ::read(fd.get(), text.data() + got, text.size() - got);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) throw std::invalid_argument(path + ": " + std::strerror(errno));
        if (n == 0) break;
        got += static_cast<std::size_t>(n);
    }
    // Grown since the check.
    if (got > kMaxSecretFile)
        throw std::invalid_argument(path + ": is larger than " + std::to_string(kMaxSecretFile) +
                                    " bytes");
    text.resize(got);
    return text;
}

namespace {

ServerCredentials serverOf(const toml::node& node, const std::string& name) {
    const auto* table = node.as_table();
    if (!table) throw std::invalid_argument("[" + name + "] must be a table");
    ServerCredentials c;
    for (auto&& [k, v] : *table) {
        const std::string key(k.str());
        const auto* s = v.as_string();
        if (!s) throw std::invalid_argument(name + "." + key + ": must be a string");
        const std::string value = s->get();
        if (value.empty()) throw std::invalid_argument(name + "." + key + ": is empty");
        if (key == "user")
            c.user = value;
        else if (key == "password")
            c.password = value;
        else if (key == "ca_file")
            c.caFile = value;
        else
            throw std::invalid_argument(name + "." + key +
                                        ": unknown key (user, password, ca_file)");
    }
    if (!c.password.empty() && c.user.empty())
        throw std::invalid_argument(name + ".password: needs a user");
    return c;
}

}  // namespace

Credentials parseCredentials(const std::string& text) {
    toml::table root;
    try {
        root = toml::parse(text);
    } catch (const toml::parse_error& e) {
        // The message, never the text: it holds the secrets.
        throw std::invalid_argument("line " + std::to_string(e.source().begin.line) + ": " +
                                    std::string(e.description()));
    }
    Credentials c;
    for (auto&& [k, v] : root) {
        const std::string key(k.str());
        if (key == "mqtt")
            c.mqtt = serverOf(v, key);
        else if (key == "influx")
            c.influx = serverOf(v, key);
        else
            throw std::invalid_argument("[" + key + "]: unknown table (mqtt, influx)");
    }
    return c;
}

}  // namespace vantrel::publish
