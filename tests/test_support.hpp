// Small helpers shared by the tests: an environment variable for one scope, a scratch folder,
// a file's contents, and the error a call throws.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <stdlib.h>
#include <sys/socket.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <string>

#include "fd.hpp"
#include "vantrel/error.hpp"

namespace vantrel::testing {

// Sets an environment variable, for the tool's children too, until the end of the scope (unset
// when `value` is empty); the value before comes back.
class ScopedEnv {
  public:
    ScopedEnv(const char* name, const std::string& value) : name_(name) {
        if (const char* old = std::getenv(name)) old_ = old;
        if (value.empty())
            ::unsetenv(name);
        else
            ::setenv(name, value.c_str(), 1);
    }
    ~ScopedEnv() {
        if (old_)
            ::setenv(name_, old_->c_str(), 1);
        else
            ::unsetenv(name_);
    }
    ScopedEnv(const ScopedEnv&) = delete;
    ScopedEnv& operator=(const ScopedEnv&) = delete;

  private:
    const char* name_;
    std::optional<std::string> old_;
};

// A scratch folder under the system's temporary folder, removed with what it holds at the end
// of the scope.
struct TempDir {
    TempDir() {
        std::string p = (std::filesystem::temp_directory_path() / "vantrel-test-XXXXXX").string();
        if (!::mkdtemp(p.data())) throw std::runtime_error("mkdtemp failed");
        path = p;
    }
    ~TempDir() { std::filesystem::remove_all(path); }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    std::string file(const std::string& name) const { return (path / name).string(); }
    std::filesystem::path path;
};

// A file's bytes; empty when it cannot be read.
inline std::string fileContents(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

// Whether something listens on 127.0.0.1:port, from the kernel's table: asking by connecting
// would be a client of its own to the server (ser2net opens its device for one).
inline bool listeningOnLoopback(uint16_t port) {
    std::ifstream tcp("/proc/net/tcp");
    std::string line;
    char want[32];
    std::snprintf(want, sizeof want, "0100007F:%04X", port);
    while (std::getline(tcp, line)) {
        std::istringstream in(line);
        std::string slot, local, remote, state;
        in >> slot >> local >> remote >> state;
        if (local == want && state == "0A") return true;
    }
    return false;
}

// The Error that `f` throws, or Error(0, "no error") when it throws none.
template <typename F>
Error errorOf(F f) {
    try {
        f();
    } catch (const Error& e) {
        return e;
    }
    return Error(0, "no error");
}

// A port nothing listens on now on 127.0.0.1 (the system's pick for port 0).
inline uint16_t freeLoopbackPort() {
    Fd s(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    if (::bind(s.get(), reinterpret_cast<sockaddr*>(&a), len) != 0 ||
        ::getsockname(s.get(), reinterpret_cast<sockaddr*>(&a), &len) != 0)
        throw std::runtime_error("no free port");
    return ntohs(a.sin_port);
}

}  // namespace vantrel::testing
