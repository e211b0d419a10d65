// The control on serial ports over the network: Debian's ser2net started by the test on
// 127.0.0.1 in front of simulated boards on pseudo-terminals, with an RFC 2217 and a raw TCP
// accepter, and the simulator's own TCP listener.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <future>
#include <sstream>
#include <thread>

#include "fakes.hpp"
#include "fd.hpp"
#include "pump_until.hpp"
#include "sim/pty_board.hpp"
#include "sim/tcp_link.hpp"
#include "test_support.hpp"
#include "transport/net_serial.hpp"
#include "transport/telnet_codec.hpp"
#include "vantrel/ctrl.hpp"
#include "vantrel/error.hpp"

extern char** environ;

using namespace vantrel;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

using vantrel::testing::listeningOnLoopback;

namespace {

// A loopback socket bound to a free port: listening or not, it keeps the port ours.
struct LoopbackPort {
    explicit LoopbackPort(int backlog = -1) : fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof a;
        if (::bind(fd.get(), reinterpret_cast<sockaddr*>(&a), len) != 0 ||
            ::getsockname(fd.get(), reinterpret_cast<sockaddr*>(&a), &len) != 0 ||
            (backlog >= 0 && ::listen(fd.get(), backlog) != 0))
            throw std::runtime_error("loopback socket");
        port = ntohs(a.sin_port);
    }
    Fd fd;
    uint16_t port = 0;
};

// ser2net in the foreground with a configuration of our own: `rfc` serves boardA with
// telnet(rfc2217), `raw` serves boardB as raw TCP.
class Ser2net {
  public:
    Ser2net(EventLoop& loop, const std::string& deviceA, const std::string& deviceB)
        : dir_(std::filesystem::temp_directory_path() /
               ("vantrel-ser2net-" + std::to_string(::getpid()) + "-" + std::to_string(++count_))) {
        std::filesystem::create_directories(dir_);
        // Ports chosen free may be taken before ser2net binds them: then try others.
        for (int attempt = 0; attempt < 5 && !pid_; ++attempt) {
            rfc = LoopbackPort().port;
            raw = LoopbackPort().port;
            start(deviceA, deviceB);
            // Nothing on the loop tells that ser2net listens: look every 10 ms, 5 s at most.
            bool up = false;
            for (int pass = 0; pass < 500 && !up && !exited(); ++pass) {
                up = listeningOnLoopback(rfc) && listeningOnLoopback(raw);
                if (!up) loop.pumpOnce(10ms);
            }
            if (!up) stop();
        }
        if (!pid_) throw std::runtime_error("ser2net did not start: " + log());
    }
    ~Ser2net() {
        stop();
        std::filesystem::remove_all(dir_);
    }

    void kill() { stop(); }
    // Starts again on the same ports, as a service manager restarts it.
    void restart(EventLoop& loop, const std::string& deviceA, const std::string& deviceB) {
        stop();
        start(deviceA, deviceB);
        for (int pass = 0; pass < 500 && !(listeningOnLoopback(rfc) && listeningOnLoopback(raw));
             ++pass)
            loop.pumpOnce(10ms);
        if (!listeningOnLoopback(rfc) || !listeningOnLoopback(raw))
            throw std::runtime_error("ser2net did not start again: " + log());
    }
    std::string log() const {
        std::ifstream in(dir_ / "log");
        return std::string(std::istreambuf_iterator<char>(in), {});
    }

    uint16_t rfc = 0;
    uint16_t raw = 0;

  private:
    void start(const std::string& deviceA, const std::string& deviceB) {
        std::ofstream(dir_ / "ser2net.yaml")
            << "%YAML 1.1\n---\n"
            << "connection: &rfc\n  accepter: telnet(rfc2217),tcp,127.0.0.1," << rfc
            << "\n  connector: serialdev," << deviceA << ",9600n81,local\n"
            << "  options:\n    kickolduser: true\n    chardelay: false\n"
            << "connection: &raw\n  accepter: tcp,127.0.0.1," << raw << "\n  connector: serialdev,"
            << deviceB << ",9600n81,local\n"
            << "  options:\n    kickolduser: true\n    chardelay: false\n";
        const std::string config = (dir_ / "ser2net.yaml").string();
        const std::string pidFile = (dir_ / "ser2net.pid").string();
        const std::string logFile = (dir_ / "log").string();
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 1, logFile.c_str(),
                                         O_WRONLY | O_CREAT | O_APPEND, 0644);
        posix_spawn_file_actions_adddup2(&actions, 1, 2);
        const char* argv[] = {"ser2net",       "-n",   "-d", "-c", config.c_str(), "-P",
                              pidFile.c_str(), nullptr};
        pid_t pid = 0;
        const int rc =
            ::posix_spawnp(&pid, "ser2net", &actions, nullptr, const_cast<char**>(argv), environ);
        posix_spawn_file_actions_destroy(&actions);
        if (rc != 0) throw std::runtime_error("cannot start ser2net (is it installed?)");
        pid_ = pid;
    }
    bool exited() {
        if (pid_ == 0 || ::waitpid(pid_, nullptr, WNOHANG) != pid_) return pid_ == 0;
        pid_ = 0;
        return true;
    }
    void stop() {
        if (pid_ == 0) return;
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, nullptr, 0);
        pid_ = 0;
    }

    static inline int count_ = 0;
    std::filesystem::path dir_;
    pid_t pid_ = 0;
};

class Network : public ::testing::Test {
  protected:
    void TearDown() override {
        ctrl.reset();
        PortMap::instance().clear();
    }
    // A control on COM1 = device, opened at `baud`.
    void openControl(const std::string& device, int32_t baud = 9600) {
        PortMap::instance().map(1, device);
        ctrl = VantrelCtrl::createNew();
        ctrl->connect(&log);
        ctrl->Bauds(baud);
        ASSERT_TRUE(ctrl->OpenPort()) << device << ": " << ctrl->ErrorString();
    }
    std::string rfcUrl() const { return "rfc2217://127.0.0.1:" + std::to_string(server.rfc); }
    std::string rawUrl() const { return "socket://127.0.0.1:" + std::to_string(server.raw); }

    EventLoop& loop = threadLoop();
    sim::PtyBoard boardA{loop};
    sim::PtyBoard boardB{loop};
    Ser2net server{loop, boardA.slavePath(), boardB.slavePath()};
    std::unique_ptr<VantrelCtrl> ctrl;
    vantrel::testing::EventLog log;
};

TEST_F(Network, CommandsConversionsAndEveryByteValue) {
    for (const bool rfc : {true, false}) {
        sim::PtyBoard& board = rfc ? boardA : boardB;
        openControl(rfc ? rfcUrl() : rawUrl());
        SCOPED_TRACE(rfc ? "rfc2217" : "socket");
        std::string s = "PRA";
        EXPECT_TRUE(ctrl->Command(s));
        EXPECT_EQ(ctrl->Value(), 1);
        board.engine().setReading(10, 3, 805.0);
        int16_t channel = 3;
        EXPECT_TRUE(ctrl->ADC10(channel));
        EXPECT_EQ(ctrl->Value(), 805);
        // 0xFF is IAC to telnet: it must cross doubled and arrive single, both ways.
        board.engine().scriptReplies({"OK 1 \xFF\xFF\xFE\r\n>"});
        std::string ff = "PW\xC3\xBF";  // "PWÿ": the byte 0xFF on the line
        EXPECT_TRUE(ctrl->Command(ff));
        EXPECT_EQ(ctrl->ReturnedStr(), "OK 1 \xC3\xBF\xC3\xBF\xC3\xBE\r\n>");
        EXPECT_EQ(board.lines().back(), "PW\xFF\r");
        ctrl.reset();
    }
}

TEST_F(Network, RateReachesTheFarPortWithRfc2217Only) {
    openControl(rfcUrl(), 19200);
    EXPECT_TRUE(test::pumpUntil(
        loop, [&] { return boardA.lineBaud() == 19200; }, 50));
    ctrl->Bauds(115200);  // while open
    EXPECT_TRUE(test::pumpUntil(
        loop, [&] { return boardA.lineBaud() == 115200; }, 50));
    std::string s = "PRA";
    EXPECT_TRUE(ctrl->Command(s));
    ctrl.reset();
    openControl(rawUrl(), 19200);
    EXPECT_TRUE(ctrl->Command(s = "PRA"));
    EXPECT_EQ(boardB.lineBaud(), 9600u);  // the server's rate
}

// The server dies while a reply is on its way: the command ends by its timeout, the port
// stays open for the control until ClosePort, and the next command says why it cannot write.
TEST_F(Network, ServerKilledMidReply) {
    for (const bool rfc : {true, false}) {
        SCOPED_TRACE(rfc ? "rfc2217" : "socket");
        Ser2net own(loop, boardA.slavePath(), boardB.slavePath());
        sim::PtyBoard& board = rfc ? boardA : boardB;
        openControl((rfc ? "rfc2217" : "socket") + std::string("://127.0.0.1:") +
                    std::to_string(rfc ? own.rfc : own.raw));
        board.engine().setPaceBaud(300);  // about 33 ms a byte: the kill comes first
        board.engine().scriptReplies({"L and the rest\r\n>"});
        struct Killer : vantrel::testing::EventLog {
            void InterruptLow() override {
                if (server) server->kill();
                server = nullptr;
            }
            Ser2net* server = nullptr;
        } killer;
        killer.server = &own;
        ctrl->connect(&killer);
        std::string s = "PRS";
        const auto start = Clock::now();
        EXPECT_FALSE(ctrl->Command(s));
        EXPECT_EQ(ctrl->ErrorString(), "Serial port timed out");
        EXPECT_LT(Clock::now() - start, 2s);
        EXPECT_EQ(killer.server, nullptr);
        EXPECT_TRUE(ctrl->comm().PortOpen());
        EXPECT_TRUE(ctrl->comm().HungUp());
        try {
            ctrl->Command(s = "PRA");
            ADD_FAILURE() << "wrote to a closed connection";
        } catch (const Error& e) {
            EXPECT_EQ(e.number(), err::PortIo);
            EXPECT_NE(std::string(e.what()).find("127.0.0.1"), std::string::npos) << e.what();
        }
        EXPECT_TRUE(ctrl->ClosePort());
        EXPECT_FALSE(ctrl->comm().HungUp());
        EXPECT_FALSE(ctrl->OpenPort());  // nothing listens any more
        board.engine().setPaceBaud(0);
        ctrl.reset();
    }
}

TEST_F(Network, RefusedAndUnansweredConnectionsFailInBoundedTime) {
    LoopbackPort closed;   // bound, not listening: connections are refused
    LoopbackPort full(0);  // listening with no room: further SYNs are dropped
    Fd filler(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(full.port);
    ASSERT_EQ(::connect(filler.get(), reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    struct Case {
        std::string device;
        std::string reason;
        std::chrono::milliseconds atLeast;
    };
    const std::vector<Case> cases = {
        {"socket://127.0.0.1:" + std::to_string(closed.port), "Connection refused", 0ms},
        {"rfc2217://127.0.0.1:" + std::to_string(closed.port), "Connection refused", 0ms},
        {"rfc2217://127.0.0.1:" + std::to_string(full.port) + "?timeout=0.3", "timed out", 300ms},
    };
    for (const Case& c : cases) {
        PortMap::instance().map(1, c.device);
        auto comm = makeSerialComm(loop);
        const auto start = Clock::now();
        try {
            comm->PortOpen(true);
            ADD_FAILURE() << c.device;
        } catch (const Error& e) {
            EXPECT_EQ(e.number(), err::PortOpenFailed);
            EXPECT_NE(std::string(e.what()).find(c.reason), std::string::npos) << e.what();
        }
        const auto took = Clock::now() - start;
        EXPECT_GE(took, c.atLeast) << c.device;
        EXPECT_LT(took, c.atLeast + 1s) << c.device;
        ctrl = VantrelCtrl::createNew();
        EXPECT_FALSE(ctrl->OpenPort());
        EXPECT_EQ(ctrl->ErrorString(), "Port could not be open");
        EXPECT_NE(ctrl->comm().lastOpenError().find(c.reason), std::string::npos);
    }
}

// A scripted RFC 2217 server on a thread, for what ser2net on a pseudo-terminal never sends:
// `greeting` on connecting, `settled` once the client has asked for the line events (the last
// of its settings), `reply` after the client's first "PRA\r".
class ScriptedServer {
  public:
    ScriptedServer(std::string greeting, std::string settled, std::string reply)
        : thread_([this, greeting, settled, reply] {
              const Fd c(::accept(listener_.fd.get(), nullptr, nullptr));
              const timeval bound{5, 0};
              ::setsockopt(c.get(), SOL_SOCKET, SO_RCVTIMEO, &bound, sizeof bound);
              std::string got;
              const auto readUntil = [&](std::string_view needle) {
                  char b[512];
                  while (got.find(needle) == std::string::npos) {
                      const ssize_t n = ::recv(c.get(), b, sizeof b, 0);
                      if (n <= 0) return false;
                      got.append(b, static_cast<std::size_t>(n));
                  }
                  return true;
              };
              using namespace telnet;
              ::send(c.get(), greeting.data(), greeting.size(), MSG_NOSIGNAL);
              if (!readUntil(comPortCommand(cpo::SetModemstateMask, "\xFF"))) return;
              ::send(c.get(), settled.data(), settled.size(), MSG_NOSIGNAL);
              if (readUntil("PRA\r")) ::send(c.get(), reply.data(), reply.size(), MSG_NOSIGNAL);
              readUntil("until the client closes");
          }) {}
    ~ScriptedServer() { thread_.join(); }
    std::string url() const {
        return "rfc2217://127.0.0.1:" + std::to_string(listener_.port) + "?timeout=2";
    }

  private:
    LoopbackPort listener_{1};
    std::thread thread_;
};

TEST_F(Network, Rfc2217LineEventsAndRefusals) {
    using namespace telnet;
    const std::string agree = negotiation(DO, kComPort);
    const auto acks = [](uint32_t bauds) {
        return comPortCommand(101, baudValue(bauds)) + comPortCommand(102, "\x08") +
               comPortCommand(103, "\x01") + comPortCommand(104, "\x01");
    };
    struct Case {
        std::string greeting, settled, refusal;
    };
    for (const Case& c : {Case{negotiation(DONT, kComPort), "", "refused COM-PORT-OPTION"},
                          Case{agree, acks(19200), "refused the rate of 9600,N,8,1"}}) {
        ScriptedServer server(c.greeting, c.settled, "");
        PortMap::instance().map(1, server.url());
        ctrl = VantrelCtrl::createNew();
        EXPECT_FALSE(ctrl->OpenPort());
        EXPECT_NE(ctrl->comm().lastOpenError().find(c.refusal), std::string::npos)
            << ctrl->comm().lastOpenError();
        ctrl.reset();
    }
    ScriptedServer server(agree, acks(9600),
                          comPortCommand(106, "\x08") + comPortCommand(107, "\x11") + "OK 1\r\n>");
    openControl(server.url());
    std::string s = "PRA";
    ctrl->Command(s);
    EXPECT_EQ(ctrl->ErrorString(), "Framing Error");
    EXPECT_EQ(ctrl->Status(), "Change in CTS Detected");
    ctrl.reset();
}

TEST_F(Network, SimulatorServesTcpItself) {
    sim::TcpLink link(loop, boardA.slavePath(), "127.0.0.1:0");
    openControl("socket://" + link.address());
    EXPECT_TRUE(test::pumpUntil(
        loop, [&] { return link.connected(); }, 50));
    std::string s = "PRA";
    EXPECT_TRUE(ctrl->Command(s));
    EXPECT_EQ(ctrl->Value(), 1);
    // A second client is turned away while the first is served.
    auto second = makeSerialComm(loop);
    second->CommPort(1);
    second->PortOpen(true);
    EXPECT_TRUE(test::pumpUntil(
        loop,
        [&] {
            try {
                second->Output("PRA\r");
                return false;
            } catch (const Error&) {
                return true;
            }
        },
        50));
    EXPECT_TRUE(ctrl->Command(s = "PRA"));
}

// The command line, as a user types it: vantrel cmd --map 1=URL PRA.
TEST_F(Network, CommandLineTool) {
    for (const std::string& url : {rfcUrl(), rawUrl(), std::string("sim://")}) {
        int out[2];
        ASSERT_EQ(::pipe2(out, O_CLOEXEC), 0);
        Fd readEnd(out[0]);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, out[1], 1);
        const std::string map = "1=" + url;
        const char* argv[] = {VANTREL_CLI, "cmd", "--map", map.c_str(), "PRA", nullptr};
        pid_t pid = 0;
        ASSERT_EQ(
            ::posix_spawn(&pid, VANTREL_CLI, &actions, nullptr, const_cast<char**>(argv), environ),
            0);
        posix_spawn_file_actions_destroy(&actions);
        ::close(out[1]);
        // The boards are served on this loop while the tool runs; its exit ends the wait.
        Fd exitFd(static_cast<int>(::syscall(SYS_pidfd_open, pid, 0)));
        bool done = false;
        const WatchHandle w = loop.watch(exitFd.get(), EPOLLIN, [&](uint32_t) { done = true; });
        EXPECT_TRUE(test::pumpUntil(
            loop, [&] { return done; }, 20));
        int status = 0;
        ASSERT_EQ(::waitpid(pid, &status, 0), pid);
        std::string text(4096, '\0');
        text.resize(std::max<ssize_t>(0, ::read(readEnd.get(), text.data(), text.size())));
        EXPECT_EQ(WEXITSTATUS(status), 0) << url << "\n" << text;
        EXPECT_NE(text.find("OK 1"), std::string::npos) << text;
    }
}

// vantrel read --reconnect over the network: ser2net killed and started again on the same port
// while the tool reads; the readings go on after one gap record.
TEST_F(Network, ReadReconnectsToARestartedServer) {
    for (const bool rfc : {true, false}) {
        SCOPED_TRACE(rfc ? "rfc2217" : "socket");
        (rfc ? boardA : boardB).engine().setReading(10, 3, 512.0);
        int out[2], err[2];
        ASSERT_EQ(::pipe2(out, O_CLOEXEC | O_NONBLOCK), 0);
        ASSERT_EQ(::pipe2(err, O_CLOEXEC | O_NONBLOCK), 0);
        Fd outEnd(out[0]), errEnd(err[0]);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, out[1], 1);
        posix_spawn_file_actions_adddup2(&actions, err[1], 2);
        const std::string map = "1=" + (rfc ? rfcUrl() : rawUrl());
        const char* argv[] = {VANTREL_CLI,  "read", "--map",     map.c_str(),   "--port",  "1",
                              "--bits",     "10",   "--channel", "3",           "--count", "0",
                              "--interval", "50",   "--csv",     "--reconnect", nullptr};
        pid_t pid = 0;
        ASSERT_EQ(
            ::posix_spawn(&pid, VANTREL_CLI, &actions, nullptr, const_cast<char**>(argv), environ),
            0);
        posix_spawn_file_actions_destroy(&actions);
        ::close(out[1]);
        ::close(err[1]);
        std::string text, errors;
        const auto drain = [](int fd, std::string& into) {
            char buf[4096];
            for (ssize_t n; (n = ::read(fd, buf, sizeof buf)) > 0;)
                into.append(buf, static_cast<std::size_t>(n));
        };
        // The boards are served on this loop while the tool runs.
        const WatchHandle wOut =
            loop.watch(outEnd.get(), EPOLLIN, [&](uint32_t) { drain(outEnd.get(), text); });
        const WatchHandle wErr =
            loop.watch(errEnd.get(), EPOLLIN, [&](uint32_t) { drain(errEnd.get(), errors); });
        // Bounded by time, not passes: the boards' traffic on this loop ends many passes a reading.
        const auto within20s = [&](auto done) {
            for (const auto end = Clock::now() + 20s; !done();) {
                if (Clock::now() >= end) return false;
                loop.pumpOnce(100ms);
            }
            return true;
        };
        const auto count = [&](const std::string& part) {
            int n = 0;
            for (std::size_t at = text.find(part); at != std::string::npos;
                 at = text.find(part, at + 1))
                ++n;
            return n;
        };
        EXPECT_TRUE(within20s([&] { return count(",ok,") >= 3; })) << errors;
        server.kill();
        EXPECT_TRUE(within20s([&] { return errors.find("waiting for") != std::string::npos; }))
            << errors;
        const int before = count(",ok,");
        server.restart(loop, boardA.slavePath(), boardB.slavePath());
        EXPECT_TRUE(within20s([&] { return count(",ok,") >= before + 3; })) << errors;
        ::kill(pid, SIGINT);
        // Bounded by time, not passes: once the tool's pipes have ended, each pass returns at
        // once.
        int status = 0;
        bool exited = false;
        for (const auto end = Clock::now() + 20s; !exited && Clock::now() < end;) {
            exited = ::waitpid(pid, &status, WNOHANG) == pid;
            if (!exited) loop.pumpOnce(10ms);
        }
        EXPECT_TRUE(exited);
        EXPECT_EQ(WEXITSTATUS(status), 130) << errors;
        // What the tool wrote last (its summary on standard error too) may not have been read.
        drain(outEnd.get(), text);
        drain(errEnd.get(), errors);
        EXPECT_EQ(count(",gap,"), 1) << text;
        EXPECT_EQ(count(",failed,"), 0) << text;
        EXPECT_NE(errors.find("disconnections: 1"), std::string::npos) << errors;
    }
}

// A name lookup that waits on a name server does not hold the open beyond its deadline; the
// lookup left behind frees what it finds. A quick lookup gives its own answer.
TEST(NameLookup, WaitsNoLongerThanTheDeadline) {
    const auto numeric = [](addrinfo** out) {
        addrinfo hints{};
        hints.ai_flags = AI_NUMERICHOST;
        return ::getaddrinfo("127.0.0.1", "1", &hints, out);
    };
    auto quick = lookUpBefore(numeric, Clock::now() + 5s);
    ASSERT_TRUE(quick);
    EXPECT_EQ(quick->first, 0);
    ASSERT_NE(quick->second, nullptr);
    auto failing = lookUpBefore([](addrinfo**) { return EAI_NONAME; }, Clock::now() + 5s);
    ASSERT_TRUE(failing);
    EXPECT_EQ(failing->first, EAI_NONAME);

    std::promise<void> answer;
    std::shared_future<void> answered = answer.get_future().share();
    auto finished = std::make_shared<std::atomic<bool>>(false);
    const auto start = Clock::now();
    const auto late = lookUpBefore(
        [=](addrinfo** out) {
            answered.wait();
            const int rc = numeric(out);
            finished->store(true);
            return rc;
        },
        start + 200ms);
    const auto took = Clock::now() - start;
    EXPECT_FALSE(late);
    EXPECT_GE(took, 200ms);
    EXPECT_LT(took, 1200ms);
    answer.set_value();
    for (int i = 0; i < 500 && !finished->load(); ++i) std::this_thread::sleep_for(10ms);
    EXPECT_TRUE(finished->load());
}

// --- Hostile and careless peers, without ser2net ---------------------------------------------

// A kB figure of /proc/self/status ("VmRSS", "VmHWM").
long statusKb(std::string_view field) {
    std::ifstream in("/proc/self/status");
    std::string line;
    while (std::getline(in, line)) {
        if (line.rfind(std::string(field) + ":", 0) == 0)
            return std::stol(line.substr(field.size() + 1));
    }
    return -1;
}

// A server that sends IAC DO requests and never reads the answers: before answering the
// client's negotiation, or after letting it open.
class FloodServer {
  public:
    explicit FloodServer(bool letOpen)
        : thread_([this, letOpen] {
              const Fd c(::accept(listener_.fd.get(), nullptr, nullptr));
              const timeval bound{5, 0};
              ::setsockopt(c.get(), SOL_SOCKET, SO_RCVTIMEO, &bound, sizeof bound);
              ::setsockopt(c.get(), SOL_SOCKET, SO_SNDTIMEO, &bound, sizeof bound);
              using namespace telnet;
              if (letOpen) {
                  const std::string agree = negotiation(DO, kComPort);
                  ::send(c.get(), agree.data(), agree.size(), MSG_NOSIGNAL);
                  std::string got;
                  char b[512];
                  const std::string last = comPortCommand(cpo::SetModemstateMask, "\xFF");
                  while (got.find(last) == std::string::npos) {
                      const ssize_t n = ::recv(c.get(), b, sizeof b, 0);
                      if (n <= 0) return;
                      got.append(b, static_cast<std::size_t>(n));
                  }
                  const std::string acks =
                      comPortCommand(101, baudValue(9600)) + comPortCommand(102, "\x08") +
                      comPortCommand(103, "\x01") + comPortCommand(104, "\x01");
                  ::send(c.get(), acks.data(), acks.size(), MSG_NOSIGNAL);
              }
              std::string block;
              for (int i = 0; i < 4096; ++i) block += negotiation(DO, 24);  // terminal type
              while (sent < (32u << 20)) {
                  const ssize_t n = ::send(c.get(), block.data(), block.size(), MSG_NOSIGNAL);
                  if (n <= 0) break;
                  sent += static_cast<std::size_t>(n);
              }
          }) {}
    ~FloodServer() { thread_.join(); }
    std::string url() const {
        return "rfc2217://127.0.0.1:" + std::to_string(listener_.port) + "?timeout=5";
    }
    std::atomic<std::size_t> sent{0};

  private:
    LoopbackPort listener_{1};
    std::thread thread_;
};

// The client answers each request; a server that never takes the answers is dropped once
// they pile up, with the reason, and the client's memory stays bounded.
TEST(HostilePeer, AServerThatNeverReadsIsDroppedWithBoundedMemory) {
    EventLoop& loop = threadLoop();
    for (const bool letOpen : {false, true}) {
        SCOPED_TRACE(letOpen ? "while open" : "while opening");
        const long before = statusKb("VmRSS");
        std::string failure;
        {
            FloodServer server(letOpen);
            PortMap::instance().map(1, server.url());
            auto comm = makeSerialComm(loop);
            try {
                comm->PortOpen(true);
                EXPECT_TRUE(letOpen);
                EXPECT_TRUE(test::pumpUntil(loop, [&] { return comm->HungUp(); }));
                comm->Output("PRA\r");
            } catch (const Error& e) {
                EXPECT_EQ(e.number(), letOpen ? err::PortIo : err::PortOpenFailed);
                failure = e.what();
            }
            comm.reset();
            PortMap::instance().clear();
        }
        EXPECT_NE(failure.find("the server takes nothing of what is sent"), std::string::npos)
            << failure;
        EXPECT_LT(statusKb("VmHWM") - before, 24 * 1024);
    }
}

// A stop signal (Ctrl-C, SIGTERM) ends a network open at once: the tool, waiting for a server
// that accepted nothing yet with ?timeout=10, exits within a second of the signal.
TEST(HostilePeer, ASignalEndsTheOpensWait) {
    for (const int signo : {SIGINT, SIGTERM}) {
        SCOPED_TRACE(signo);
        LoopbackPort listener(1);  // the kernel completes the connection; nothing answers it
        const std::string map =
            "1=rfc2217://127.0.0.1:" + std::to_string(listener.port) + "?timeout=10";
        const char* argv[] = {VANTREL_CLI, "cmd", "--map", map.c_str(), "PRA", nullptr};
        pid_t pid = 0;
        ASSERT_EQ(
            ::posix_spawn(&pid, VANTREL_CLI, nullptr, nullptr, const_cast<char**>(argv), environ),
            0);
        Fd exitFd(static_cast<int>(::syscall(SYS_pidfd_open, pid, 0)));
        // The connection is there once the listener has it waiting.
        pollfd connected{listener.fd.get(), POLLIN, 0};
        ASSERT_EQ(::poll(&connected, 1, 5000), 1);
        ASSERT_EQ(::kill(pid, signo), 0);
        const auto signalled = Clock::now();
        pollfd exited{exitFd.get(), POLLIN, 0};
        EXPECT_EQ(::poll(&exited, 1, 5000), 1);
        const auto took = Clock::now() - signalled;
        if (exited.revents == 0) ::kill(pid, SIGKILL);
        int status = 0;
        ASSERT_EQ(::waitpid(pid, &status, 0), pid);
        EXPECT_LT(took, 1s);
        EXPECT_TRUE(WIFEXITED(status));
        EXPECT_EQ(WEXITSTATUS(status), 128 + signo);
    }
}

// What a raw server sends as the connection starts (replies another client left unread, a
// banner) is not taken as the answer to the first command.
TEST(HostilePeer, BytesBeforeTheFirstCommandAreNotItsReply) {
    EventLoop& loop = threadLoop();
    for (const std::string stale : {"OK 7\r\n>", "ser2net port 4001 device /dev/ttyUSB0 >\r\n"}) {
        SCOPED_TRACE(stale);
        LoopbackPort listener(1);
        std::thread server([&] {
            const Fd c(::accept(listener.fd.get(), nullptr, nullptr));
            const timeval bound{5, 0};
            ::setsockopt(c.get(), SOL_SOCKET, SO_RCVTIMEO, &bound, sizeof bound);
            ::send(c.get(), stale.data(), stale.size(), MSG_NOSIGNAL);
            std::string got;
            char b[256];
            while (got.find("PWS48\r") == std::string::npos) {
                const ssize_t n = ::recv(c.get(), b, sizeof b, 0);
                if (n <= 0) return;
                got.append(b, static_cast<std::size_t>(n));
            }
            const std::string reply = "OK 48\r\n>";
            ::send(c.get(), reply.data(), reply.size(), MSG_NOSIGNAL);
            (void)::recv(c.get(), b, sizeof b, 0);  // until the client closes
        });
        PortMap::instance().map(1, "socket://127.0.0.1:" + std::to_string(listener.port));
        auto ctrl = VantrelCtrl::createNew();
        EXPECT_TRUE(ctrl->OpenPort()) << ctrl->comm().lastOpenError();
        std::string s = "PWS48";
        EXPECT_TRUE(ctrl->Command(s));
        EXPECT_EQ(ctrl->ReturnedStr(), "OK 48\r\n>");
        EXPECT_EQ(ctrl->Value(), 48);
        ctrl.reset();
        server.join();
        PortMap::instance().clear();
        (void)loop;
    }
}

}  // namespace
