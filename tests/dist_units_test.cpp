// The shipped systemd units, as the machine meets them: the folder and socket they make, with
// their modes and owners, reached by a member of the serial devices' group and by an outsider.
#include <grp.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <map>
#include <sstream>

#include "fd.hpp"
#include "test_support.hpp"

namespace {

using vantrel::testing::fileContents;
using vantrel::testing::TempDir;

// A unit file's KEY=VALUE lines.
std::map<std::string, std::string> unitKeys(const std::string& name) {
    std::istringstream in(fileContents(std::string(VANTREL_SOURCE_DIR) + "/dist/" + name));
    std::map<std::string, std::string> keys;
    for (std::string line; std::getline(in, line);) {
        const auto eq = line.find('=');
        if (!line.empty() && line[0] != '#' && eq != std::string::npos)
            keys[line.substr(0, eq)] = line.substr(eq + 1);
    }
    return keys;
}

// connect() to the socket at `path` as nobody, in `groups`: 0 or the errno.
int connectAs(const std::string& path, const std::vector<gid_t>& groups) {
    const pid_t pid = ::fork();
    if (pid == 0) {
        if (::setgroups(groups.size(), groups.data()) != 0 || ::setgid(65534) != 0 ||
            ::setuid(65534) != 0)
            ::_exit(100);
        const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
        sockaddr_un a{};
        a.sun_family = AF_UNIX;
        std::strncpy(a.sun_path, path.c_str(), sizeof a.sun_path - 1);
        ::_exit(::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 ? 0 : errno);
    }
    int status = 0;
    ::waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

}  // namespace

// The daemon's folder under /run, made by the service (RuntimeDirectoryMode, owned by its
// dynamic user) or by the socket unit (DirectoryMode), holds the socket (SocketMode,
// SocketGroup): a member of the group connects, nobody else does.
TEST(SystemdUnits, TheSocketsFolderLetsTheGroupThrough) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to take on other users";
    const auto service = unitKeys("vantrel-serve.service.in");
    const auto socket = unitKeys("vantrel-serve.socket");
    ASSERT_EQ(service.at("DynamicUser"), "yes");
    const group* dialout = ::getgrnam(socket.at("SocketGroup").c_str());
    ASSERT_NE(dialout, nullptr) << socket.at("SocketGroup");
    const gid_t member = dialout->gr_gid;
    for (const char* key : {"RuntimeDirectoryMode", "DirectoryMode"}) {
        SCOPED_TRACE(key);
        const std::string modeText =
            (key == std::string("DirectoryMode") ? socket : service).at(key);
        TempDir dir;
        ::chmod(dir.path.c_str(), 0755);
        const std::string folder = dir.file("vantrel");
        ASSERT_EQ(::mkdir(folder.c_str(), 0700), 0);
        // A dynamic user and its group of the same number, as systemd allots them.
        ASSERT_EQ(::chown(folder.c_str(), 61234, 61234), 0);
        ASSERT_EQ(::chmod(folder.c_str(), std::stoi(modeText, nullptr, 8)), 0);
        const std::string path = folder + "/serve.sock";
        vantrel::Fd listener(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
        sockaddr_un a{};
        a.sun_family = AF_UNIX;
        std::strncpy(a.sun_path, path.c_str(), sizeof a.sun_path - 1);
        ASSERT_EQ(::bind(listener.get(), reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
        ASSERT_EQ(::listen(listener.get(), 4), 0);
        ASSERT_EQ(::chown(path.c_str(), 0, member), 0);
        ASSERT_EQ(::chmod(path.c_str(), std::stoi(socket.at("SocketMode"), nullptr, 8)), 0);

        EXPECT_EQ(connectAs(path, {member}), 0) << std::strerror(connectAs(path, {member}));
        EXPECT_EQ(connectAs(path, {}), EACCES);
    }
}
