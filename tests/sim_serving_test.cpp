// The simulator as it serves hosts: on TCP (TcpLink, and vantrel-sim --listen as a process) and
// on a thread of its own (SimThread), also after the host process forks.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "fd.hpp"
#include "pump_until.hpp"
#include "sim/pty_board.hpp"
#include "sim/sim_thread.hpp"
#include "sim/tcp_link.hpp"
#include "test_support.hpp"

extern char** environ;

namespace vantrel {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// A blocking TCP connection to 127.0.0.1:port.
Fd connectTo(uint16_t port) {
    Fd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (!fd || ::connect(fd.get(), reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0)
        return Fd();
    return fd;
}

// Whether `fd` has something to read, or its end, right now.
bool readable(int fd) {
    pollfd p{fd, POLLIN, 0};
    return ::poll(&p, 1, 0) == 1;
}

// What comes from `fd` until it holds `text`, the peer closes, or `limit` passes.
std::string readUntil(int fd, std::string_view text, std::chrono::milliseconds limit = 5s) {
    std::string got;
    const auto deadline = Clock::now() + limit;
    while (got.find(text) == std::string::npos) {
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
        pollfd p{fd, POLLIN, 0};
        if (left <= 0ms || ::poll(&p, 1, static_cast<int>(left.count())) != 1) break;
        char buf[4096];
        const ssize_t n = ::read(fd, buf, sizeof buf);
        if (n <= 0) break;
        got.append(buf, static_cast<std::size_t>(n));
    }
    return got;
}

// Waits for a child to end, `limit` at most (then kills it); its wait status, and whether it
// ended by itself.
std::pair<int, bool> waitChild(pid_t pid, std::chrono::milliseconds limit) {
    const Fd exited(static_cast<int>(::syscall(SYS_pidfd_open, pid, 0)));
    pollfd p{exited.get(), POLLIN, 0};
    const bool ended = exited && ::poll(&p, 1, static_cast<int>(limit.count())) == 1;
    if (!ended) ::kill(pid, SIGKILL);
    int status = 0;
    ::waitpid(pid, &status, 0);
    return {status, ended};
}

std::string describe(int waitStatus) {
    return WIFSIGNALED(waitStatus) ? "killed by signal " + std::to_string(WTERMSIG(waitStatus))
                                   : "status " + std::to_string(WEXITSTATUS(waitStatus));
}

TEST(TcpLink, ListensOnlyOnAPortThatExists) {
    const auto loop = makeEpollLoop();
    sim::PtyBoard board(*loop);
    for (const char* address : {"127.0.0.1:99999", "127.0.0.1:65536", "127.0.0.1:-1",
                                "127.0.0.1:http", "127.0.0.1:1e3", "127.0.0.1:0000065537"}) {
        const Error e = testing::errorOf([&] { sim::TcpLink(*loop, board.slavePath(), address); });
        EXPECT_EQ(e.number(), err::PortOpenFailed) << address << ": " << e.what();
        EXPECT_EQ(std::string(e.what()), std::string("--listen ") + address +
                                             ": the port must be a number from 0 to 65535");
    }
}

// With no descriptor left, accept() fails for as long as the shortage lasts; the connection
// waiting must not keep the listener ready (and the loop spinning) all that time.
TEST(TcpLink, AClientThatComesWhenNoDescriptorIsLeftIsClosedAtOnce) {
#ifdef VANTREL_SANITIZED
    // UBSan checks a dynamic type it has not seen yet by writing the memory into a pipe; with no
    // descriptor left that probe fails and it reports a sound object as invalid.
    GTEST_SKIP() << "the sanitizers' own checks need descriptors this test leaves none of";
#endif
    const auto loop = makeEpollLoop();
    sim::PtyBoard board(*loop);
    sim::TcpLink link(*loop, board.slavePath(), "127.0.0.1:0");
    rlimit before{};
    ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &before), 0);
    Fd client;
    bool closed = false;
    {
        // Every descriptor below the lowest free one is taken: with the limit there, none is
        // left. The client's socket is made before.
        Fd socketFd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
        const int lowest = ::fcntl(0, F_DUPFD_CLOEXEC, 0);
        ASSERT_GE(lowest, 0);
        ::close(lowest);
        rlimit scarce = before;
        scarce.rlim_cur = static_cast<rlim_t>(lowest);
        ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &scarce), 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_port = htons(link.port());
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        const bool connected =
            ::connect(socketFd.get(), reinterpret_cast<const sockaddr*>(&addr), sizeof addr) == 0;
        if (connected)
            closed = test::pumpUntil(
                *loop, [&] { return readable(socketFd.get()); }, 100);
        ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &before), 0);
        ASSERT_TRUE(connected);
        client = std::move(socketFd);
    }
    ASSERT_TRUE(closed) << "the connection was left waiting";
    char c;
    EXPECT_LE(::read(client.get(), &c, 1), 0);  // its end, or ECONNRESET
    EXPECT_FALSE(link.connected());
    // Descriptors again: the next client is served.
    const Fd next = connectTo(link.port());
    ASSERT_TRUE(next);
    ASSERT_TRUE(test::pumpUntil(
        *loop, [&] { return link.connected(); }, 20));
    ASSERT_EQ(::write(next.get(), "PRA\r", 4), 4);
    std::string got;
    EXPECT_TRUE(test::pumpUntil(
        *loop,
        [&] {
            if (readable(next.get())) {
                char buf[64];
                const ssize_t n = ::read(next.get(), buf, sizeof buf);
                if (n > 0) got.append(buf, static_cast<std::size_t>(n));
            }
            return got.find("OK 1\r\n>") != std::string::npos;
        },
        50))
        << got;
}

// vantrel-sim --listen, as a process: clients that send a burst and go without reading the
// replies end only their own connection; the simulator serves on and ends normally.
TEST(SimListen, ClientsThatGoInTheMiddleOfRepliesEndOnlyTheirConnection) {
    int out[2];
    ASSERT_EQ(::pipe2(out, O_CLOEXEC), 0);
    Fd readEnd(out[0]);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    const char* argv[] = {VANTREL_SIM, "--no-console", "--listen", "127.0.0.1:0", nullptr};
    pid_t pid = 0;
    ASSERT_EQ(
        ::posix_spawn(&pid, VANTREL_SIM, &actions, nullptr, const_cast<char**>(argv), environ), 0);
    posix_spawn_file_actions_destroy(&actions);
    struct Reaper {
        pid_t& pid;
        ~Reaper() {
            if (pid > 0) waitChild(pid, 0ms);
        }
    } reaper{pid};
    ::close(out[1]);
    std::string text = readUntil(readEnd.get(), "listening on 127.0.0.1:", 10s);
    const std::size_t at = text.find("listening on 127.0.0.1:");
    ASSERT_NE(at, std::string::npos) << text;
    while (text.find('\n', at) == std::string::npos) {
        const std::string more = readUntil(readEnd.get(), "\n", 10s);
        ASSERT_FALSE(more.empty()) << text;
        text += more;
    }
    const auto port = static_cast<uint16_t>(std::stoi(text.substr(at + 23)));

    // Each client goes after the first reply of its burst: the simulator's next writes meet a
    // connection that the client has closed, or reset. Which of the two a client gives is a
    // matter of timing; a hundred give both.
    std::string burst;
    for (int i = 0; i < 4000; ++i) burst += "PRA\r";
    for (int client = 0; client < 100; ++client) {
        const Fd c = connectTo(port);
        if (!c) break;  // the simulator has gone: said below
        [[maybe_unused]] const ssize_t n =
            ::send(c.get(), burst.data(), burst.size(), MSG_NOSIGNAL);
        readUntil(c.get(), "OK 1\r\n>", 2s);
    }
    int early = 0;
    ASSERT_EQ(::waitpid(pid, &early, WNOHANG), 0) << "the simulator ended: " << describe(early);
    // Served on: a new client gets its reply (one that comes while the last is still being
    // let go is turned away, and tries again).
    std::string got;
    for (int attempt = 0; attempt < 50 && got.find("OK 1\r\n>") == std::string::npos; ++attempt) {
        const Fd c = connectTo(port);
        if (!c) break;
        if (::send(c.get(), "PRA\r", 4, MSG_NOSIGNAL) != 4) continue;
        got = readUntil(c.get(), "OK 1\r\n>", 5s);
    }
    EXPECT_NE(got.find("OK 1\r\n>"), std::string::npos) << got;
    ::kill(pid, SIGTERM);
    const auto [status, ended] = waitChild(std::exchange(pid, 0), 10s);
    EXPECT_TRUE(ended);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << describe(status);
}

// A process that forks while a simulator serves: the child has no board thread, so a call
// fails at once with the reason, and letting the simulator go there leaves the parent's alone.
TEST(SimThread, AForkedChildThatTouchesItFailsAtOnce) {
    auto simulator = std::make_unique<sim::SimThread>();
    simulator->call([](sim::PtyBoard& b) { b.engine().setReading(10, 3, 805.0); });
    const pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        int code = 0;
        try {
            simulator->call([](sim::PtyBoard& b) { return b.engine().reading(10, 3); });
            code = 2;
        } catch (const Error& e) {
            const bool says =
                std::string(e.what()).find("a forked child cannot use it") != std::string::npos;
            code = e.number() == err::WrongThread && says ? 0 : 3;
        }
        simulator.reset();
        ::_exit(code);
    }
    const auto [status, ended] = waitChild(pid, 10s);
    EXPECT_TRUE(ended) << "the child hangs";
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << describe(status);

    // The parent's board still serves its line.
    EXPECT_EQ(simulator->call([](sim::PtyBoard& b) { return b.engine().reading(10, 3); }), 805.0);
    const Fd line(::open(simulator->device().c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC));
    ASSERT_TRUE(line);
    termios raw{};
    ASSERT_EQ(::tcgetattr(line.get(), &raw), 0);
    ::cfmakeraw(&raw);
    ASSERT_EQ(::tcsetattr(line.get(), TCSANOW, &raw), 0);
    ASSERT_EQ(::write(line.get(), "PRA\r", 4), 4);
    const std::string got = readUntil(line.get(), "OK 1\r\n>");
    EXPECT_NE(got.find("OK 1\r\n>"), std::string::npos) << got;
}

}  // namespace
}  // namespace vantrel
