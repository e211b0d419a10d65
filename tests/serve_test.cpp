// vantrel serve: one daemon owns a simulated board and runs the commands of many clients, in
// process (the daemon on its thread, clients as unix:// and vantrel:// boards or raw sockets)
// and as the tool.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "child_process.hpp"
#include "daemon.hpp"
#include "fd.hpp"
#include "recorder.hpp"
#include "serve_config.hpp"
#include "sim/sim_thread.hpp"
#include "transport/serve_protocol.hpp"
#include "vantrel/board.hpp"

extern char** environ;

using namespace std::chrono_literals;
namespace fs = std::filesystem;
using vantrel::Fd;
using namespace vantrel::serve;

namespace {

using vantrel::testing::fileContents;
using vantrel::testing::TempDir;
using vantrel::testing::within;

// A child process, its output in files of the scratch folder; killed if still running at the end.
struct Child : vantrel::testing::ChildProcess {
    Child(const TempDir& dir, const std::string& tag, std::vector<std::string> argv)
        : ChildProcess(std::move(argv), dir.file(tag + ".out"), dir.file(tag + ".err")) {}
};

// A raw client on the daemon's socket, speaking frames by hand.
class RawClient {
  public:
    explicit RawClient(const std::string& path)
        : fd_(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        std::strncpy(addr.sun_path, path.c_str(), sizeof addr.sun_path - 1);
        if (::connect(fd_.get(), reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0)
            throw std::runtime_error("connect " + path + ": " + std::strerror(errno));
    }
    explicit RawClient(uint16_t tcpPort) : fd_(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_port = htons(tcpPort);
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (::connect(fd_.get(), reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0)
            throw std::runtime_error(std::string("connect: ") + std::strerror(errno));
    }
    // Sends what the socket takes; false once the daemon has closed it.
    bool send(std::string_view bytes) {
        while (!bytes.empty()) {
            const ssize_t n = ::send(fd_.get(), bytes.data(), bytes.size(), MSG_NOSIGNAL);
            if (n <= 0) return false;
            bytes.remove_prefix(static_cast<std::size_t>(n));
        }
        return true;
    }
    // The next frame, or nothing when the daemon closed the connection or `limit` passed.
    std::optional<Frame> next(std::chrono::milliseconds limit = 10s) {
        Frame f;
        const auto deadline = std::chrono::steady_clock::now() + limit;
        while (reader_.next(f) != FrameReader::Next::Frame) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            pollfd p{fd_.get(), POLLIN, 0};
            if (left.count() <= 0 || ::poll(&p, 1, static_cast<int>(left.count())) != 1)
                return std::nullopt;
            char buf[4096];
            const ssize_t n = ::recv(fd_.get(), buf, sizeof buf, 0);
            if (n <= 0) return std::nullopt;
            reader_.append(std::string_view(buf, static_cast<std::size_t>(n)));
        }
        return f;
    }
    // Whether the daemon closes the connection within `limit` (frames before are skipped).
    bool closedWithin(std::chrono::milliseconds limit) {
        const auto deadline = std::chrono::steady_clock::now() + limit;
        char buf[4096];
        while (std::chrono::steady_clock::now() < deadline) {
            pollfd p{fd_.get(), POLLIN, 0};
            if (::poll(&p, 1, 50) != 1) continue;
            const ssize_t n = ::recv(fd_.get(), buf, sizeof buf, 0);
            if (n <= 0) return true;
        }
        return false;
    }
    int fd() const { return fd_.get(); }

  private:
    Fd fd_;
    FrameReader reader_{kMaxReply};
};

std::string frame(std::initializer_list<std::string_view> words, std::string_view payload = {}) {
    std::string out;
    appendFrame(out, words, payload);
    return out;
}

// A simulated board on a pty served by a daemon on its thread.
struct Served {
    explicit Served(DaemonOptions extra = {}) {
        extra.boards = {{"lab", sim.device(), 9600}};
        extra.socketPath = dir.file("serve.sock");
        options = extra;
        daemon.emplace(extra);
    }
    std::string url() const { return "unix://" + options.socketPath + "#lab"; }

    TempDir dir;
    vantrel::sim::SimThread sim;
    DaemonOptions options;
    std::optional<DaemonThread> daemon;
};

}  // namespace

TEST(ServeFrames, ReaderTakesFramesApartAndRefusesWhatIsNot) {
    // Whole frames however the bytes are cut.
    const std::string stream =
        frame({"cmd", "7"}, "PRA\r") + frame({"status"}) + frame({"reply", "7"}, "OK 0\r\n>");
    for (std::size_t cut = 1; cut <= stream.size(); cut += 5) {
        FrameReader r(kMaxCommand);
        std::vector<Frame> got;
        for (std::size_t at = 0; at < stream.size(); at += cut) {
            r.append(std::string_view(stream).substr(at, cut));
            Frame f;
            FrameReader::Next n;
            while ((n = r.next(f)) == FrameReader::Next::Frame) got.push_back(f);
            ASSERT_EQ(n, FrameReader::Next::More);
        }
        ASSERT_EQ(got.size(), 3u) << "cut " << cut;
        EXPECT_EQ(got[0].words, (std::vector<std::string>{"cmd", "7"}));
        EXPECT_EQ(got[0].payload, "PRA\r");
        EXPECT_EQ(got[1].verb(), "status");
        EXPECT_EQ(got[2].payload, "OK 0\r\n>");
        EXPECT_FALSE(r.partial());
    }
    const struct {
        std::string bytes;
        const char* why;
    } bad[] = {
        {std::string(300, 'x'), "longer than"}, {"cmd  4\nPRA\r", "single spaces"},
        {"cmd\t1 4\nPRA\r", "single spaces"},   {"hello\n", "a verb and a length"},
        {"cmd 1 x\n", "a verb and a length"},   {"cmd 1 5000\n", "a payload of 5000"},
    };
    for (const auto& b : bad) {
        FrameReader r(kMaxCommand);
        r.append(b.bytes);
        Frame f;
        EXPECT_EQ(r.next(f), FrameReader::Next::Error) << b.bytes;
        EXPECT_NE(r.error().find(b.why), std::string::npos) << r.error();
    }
}

// A command behind another client's slow one waits longer than its reply window, yet is not a
// timeout: its window starts when the board starts on it.
TEST(Serve, ACommandQueuedBehindAnotherIsNotATimeout) {
    Served s;
    // 200 ms a reply, against a window of 260 ms at 9600 baud: the second command waits twice.
    s.sim.call([](vantrel::sim::PtyBoard& b) {
        b.engine().setReplyDelay(200ms);
        return 0;
    });
    std::atomic<int> ready{0};
    std::vector<std::string> failures(4);
    std::vector<double> values(4, -1);
    std::vector<std::thread> clients;
    for (int i = 0; i < 4; ++i) {
        clients.emplace_back([&, i] {
            try {
                vantrel::Board board(s.url(), 9600);
                ++ready;
                while (ready.load() < 4) std::this_thread::sleep_for(1ms);
                const vantrel::Reply r = board.command("PWS" + std::to_string(16 * i));
                values[i] = r.value.value_or(-2);
            } catch (const std::exception& e) {
                failures[i] = e.what();
            }
        });
    }
    for (auto& t : clients) t.join();
    for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(failures[i], "") << "client " << i;
        EXPECT_EQ(values[i], 16 * i) << "client " << i;
    }
}

// A client that goes away while the board answers it: the next client's reply is its own.
TEST(Serve, AClientGoneMidTransactionDoesNotDisturbTheNext) {
    Served s;
    s.sim.call([](vantrel::sim::PtyBoard& b) {
        b.engine().setReplyDelay(100ms);
        return 0;
    });
    {
        RawClient gone(s.options.socketPath);
        ASSERT_TRUE(gone.send(frame({"hello", "1", "lab"}) + frame({"cmd", "1"}, "PWS16\r")));
        const auto started = gone.next();
        ASSERT_TRUE(started);
        EXPECT_EQ(started->verb(), "hello");
        const auto next = gone.next();
        ASSERT_TRUE(next);
        EXPECT_EQ(next->verb(), "started");
    }
    vantrel::Board board(s.url(), 9600);
    EXPECT_EQ(board.command("PWS32").value, 32);
    EXPECT_EQ(board.command("PWS44").value, 44);
    // A client set to 115200 has a window of 22 ms; the board's line at 9600 has its own.
    vantrel::Board fast(s.url(), 115200);
    EXPECT_EQ(fast.command("PWS60").value, 60);
}

// Beyond the board's queue, or a client's share of it, a command is answered at once: it
// failed, and why. The commands taken run in order, each with its own reply.
TEST(Serve, AFullQueueAnswersAtOnce) {
    DaemonOptions o;
    o.maxQueue = 3;
    o.maxPerClient = 3;
    Served s(o);
    s.sim.call([](vantrel::sim::PtyBoard& b) {
        b.engine().setReplyDelay(100ms);
        return 0;
    });
    RawClient a(s.options.socketPath), b(s.options.socketPath);
    std::string burst = frame({"hello", "1", "lab"});
    for (int i = 1; i <= 5; ++i)
        burst += frame({"cmd", std::to_string(i)}, "PWS" + std::to_string(16 * i) + "\r");
    ASSERT_TRUE(a.send(burst));
    ASSERT_TRUE(b.send(frame({"hello", "1", "lab"}) + frame({"cmd", "9"}, "PWS144\r")));
    // a: 1 runs, 2 and 3 wait, 4 and 5 are past its share.
    std::map<std::string, std::string> outcome;
    std::vector<std::string> order;
    while (outcome.size() < 5) {
        const auto f = a.next();
        ASSERT_TRUE(f);
        if (f->verb() == "reply") order.push_back(std::string(f->arg(1)) + "=" + f->payload);
        if (f->verb() == "reply" || f->verb() == "failed")
            outcome[std::string(f->arg(1))] = f->verb() + " " + std::string(f->arg(2));
    }
    EXPECT_EQ(outcome["4"], "failed queue-full");
    EXPECT_EQ(outcome["5"], "failed queue-full");
    EXPECT_EQ(order, (std::vector<std::string>{"1=OK 16\r\n>", "2=OK 32\r\n>", "3=OK 48\r\n>"}));
    // b came while the board's queue held two of a's: its command waited its turn.
    std::optional<Frame> f;
    while ((f = b.next()) && f->verb() != "reply" && f->verb() != "failed") {
    }
    ASSERT_TRUE(f);
    EXPECT_EQ(f->verb(), "reply");
    EXPECT_EQ(f->payload, "OK 144\r\n>");
}

// The board keeps one selection (the address written last, where a conversion stands) for
// all; each client's control counts on its own. Commands of others in between, or in the
// middle of a reading, do not change what a client reads.
TEST(Serve, EachClientReadsTheChannelItSelected) {
    Served s;
    s.sim.call([](vantrel::sim::PtyBoard& b) {
        b.engine().setReading(10, 0, 111);
        b.engine().setReading(10, 3, 300);
        b.engine().setReading(10, 5, 700);
        return 0;
    });
    {
        vantrel::Board a(s.url(), 9600), b(s.url(), 9600);
        EXPECT_EQ(a.read(10, 3), 300);
        EXPECT_EQ(b.command("PWS80").value, 80);  // channel 5, behind a's back
        EXPECT_EQ(a.read(10, 3), 300);            // a's control skips the address it wrote
        vantrel::Board fresh(s.url(), 9600);
        EXPECT_EQ(fresh.read(10, 0), 111);  // a new control counts on address 0
    }
    std::vector<std::string> wrong(3);
    std::vector<std::thread> clients;
    for (int i = 0; i < 3; ++i) {
        clients.emplace_back([&, i] {
            try {
                vantrel::Board board(s.url(), 9600);
                for (int n = 0; n < 25; ++n) {
                    if (i == 2) {
                        board.command("PWS" + std::to_string(16 * (n % 14)));
                        continue;
                    }
                    const double v = board.read(10, i == 0 ? 3 : 5);
                    if (v != (i == 0 ? 300 : 700)) wrong[i] += std::to_string(v) + " ";
                }
            } catch (const std::exception& e) {
                wrong[i] += e.what();
            }
        });
    }
    for (auto& t : clients) t.join();
    EXPECT_EQ(wrong, std::vector<std::string>(3));
}

TEST(Serve, UnsolicitedTextReachesEveryClient) {
    Served s;
    RawClient a(s.options.socketPath), b(s.options.socketPath);
    for (RawClient* c : {&a, &b}) {
        ASSERT_TRUE(c->send(frame({"hello", "1", "-"})));
        const auto hello = c->next();
        ASSERT_TRUE(hello);
        EXPECT_EQ(hello->words, (std::vector<std::string>{"hello", "1", "lab", "9600"}));
    }
    s.sim.call([](vantrel::sim::PtyBoard& b) {
        b.sendUnsolicited("L\r\n");
        return 0;
    });
    for (RawClient* c : {&a, &b}) {
        const auto event = c->next();
        ASSERT_TRUE(event);
        EXPECT_EQ(event->verb(), "event");
        EXPECT_EQ(event->payload, "L\r\n");
    }
}

// Garbage, 10 MB without a newline, half a frame then silence, a name that is no board, and
// 200 connections: each is dropped or refused, and a client that behaves is served throughout.
TEST(Serve, HostileClientsDoNotStopAWellBehavedOne) {
    DaemonOptions o;
    o.idleTimeout = 300ms;
    o.maxClients = 16;
    Served s(o);
    vantrel::Board good(s.url(), 9600);
    int n = 0;
    const auto served = [&] {
        n = (n + 1) % 16;
        return good.command("PWS" + std::to_string(16 * n)).value == 16 * n;
    };
    ASSERT_TRUE(served());

    const struct {
        std::string bytes;
        const char* error;
    } refused[] = {
        {"GET / HTTP/1.0\r\n\r\n", "bad-frame"},
        {frame({"cmd", "1"}, "PRA\r"), "no-hello"},
        {frame({"hello", "2", "lab"}), "version"},
        {frame({"hello", "1", "nowhere"}), "no-board"},
        {frame({"hello", "1", "lab"}) + "cmd 1 99999\n", "bad-frame"},
    };
    for (const auto& r : refused) {
        RawClient c(s.options.socketPath);
        c.send(r.bytes);
        std::optional<Frame> f;
        while ((f = c.next()) && f->verb() != "error") {
        }
        ASSERT_TRUE(f) << r.bytes;
        EXPECT_EQ(f->arg(1), r.error) << r.bytes;
        EXPECT_TRUE(c.closedWithin(5s));
        EXPECT_TRUE(served());
    }

    {
        // 10 MB without a newline: refused after the first few hundred bytes, not stored.
        RawClient flood(s.options.socketPath);
        const std::string chunk(1 << 20, 'x');
        bool sentAll = true;
        for (int i = 0; i < 10 && sentAll; ++i) sentAll = flood.send(chunk);
        EXPECT_FALSE(sentAll);
        EXPECT_TRUE(served());
    }
    {
        // Half a frame, then nothing: dropped after the idle time.
        RawClient half(s.options.socketPath);
        ASSERT_TRUE(half.send(frame({"hello", "1", "lab"}) + "cmd 1 4\nPR"));
        EXPECT_TRUE(half.closedWithin(10s));
        EXPECT_TRUE(served());
    }
    {
        // 200 connections that say nothing: beyond the cap each is told "busy" at once, those
        // taken are dropped once idle; the good client is served all the while.
        std::vector<std::unique_ptr<RawClient>> crowd;
        for (int i = 0; i < 200; ++i)
            crowd.push_back(std::make_unique<RawClient>(s.options.socketPath));
        EXPECT_TRUE(served());
        int busy = 0, idle = 0;
        for (auto& c : crowd) {
            const auto f = c->next(15s);
            ASSERT_TRUE(f);
            EXPECT_EQ(f->verb(), "error");
            busy += f->arg(1) == "busy";
            idle += f->arg(1) == "idle";
            EXPECT_TRUE(c->closedWithin(5s));
        }
        EXPECT_EQ(busy + idle, 200);
        EXPECT_GE(busy, 200 - 15);
        EXPECT_TRUE(served());
    }
    // The crowd has gone: a new client is taken again.
    vantrel::Board another(s.url(), 9600);
    EXPECT_EQ(another.command("PWS12").value, 12);
    EXPECT_TRUE(served());
}

TEST(Serve, TcpRefusesAClientWithoutTheTokenAndServesOneWithIt) {
    TempDir keys;
    const std::string tokenFile = keys.file("token");
    std::ofstream(tokenFile) << "s3cret-token\n";
    DaemonOptions o;
    o.listen = "127.0.0.1:0";
    o.token = "s3cret-token";
    Served s(o);
    const uint16_t port = s.daemon->tcpPort();
    ASSERT_NE(port, 0);
    for (const std::string& token :
         {std::string(), std::string("s3cret-tokem"), std::string("s3cret-token-and-more")}) {
        RawClient c(port);
        c.send(frame({"hello", "1", "lab"}, token));
        const auto f = c.next();
        ASSERT_TRUE(f);
        EXPECT_EQ(f->verb(), "error");
        EXPECT_EQ(f->arg(1), "token");
        EXPECT_TRUE(c.closedWithin(5s));
    }
    const std::string where = "vantrel://127.0.0.1:" + std::to_string(port);
    EXPECT_THROW(vantrel::Board(where + "?token-file=" + keys.file("none") + "#lab", 9600),
                 vantrel::Error);
    std::ofstream(keys.file("wrong")) << "guess\n";
    EXPECT_THROW(vantrel::Board(where + "?token-file=" + keys.file("wrong") + "#lab", 9600),
                 vantrel::Error);
    vantrel::Board board(where + "?token-file=" + tokenFile + "#lab", 9600);
    EXPECT_EQ(board.command("PWS28").value, 28);

    DaemonOptions remote;
    remote.boards = {{"lab", "sim://", 9600}};
    remote.listen = "0.0.0.0:0";
    remote.token = "t";
    EXPECT_THROW(DaemonThread{remote}, vantrel::Error);
}

// The recorder runs inside the daemon's process through the daemon's boards: while another
// client sends commands all along, every round is read, none overruns, none fails.
TEST(Serve, TheRecorderKeepsItsRoundsWhileAShellClientSendsCommands) {
    TempDir dir;
    vantrel::sim::SimThread sim;
    sim.call([](vantrel::sim::PtyBoard& b) {
        b.engine().setReading(10, 3, 300);
        b.engine().setReading(10, 5, 700);
        return 0;
    });
    vantrel::acquire::LogConfig config;
    vantrel::acquire::BoardConfig b;
    b.name = "lab";
    b.device = sim.device();
    b.baud = 9600;
    for (int ch : {3, 5}) {
        vantrel::acquire::ChannelConfig c;
        c.name = "10:" + std::to_string(ch);
        c.channel = ch;
        c.period = 0.25;
        b.channels.push_back(c);
    }
    config.boards.push_back(b);
    config.out = dir.file("run.csv");
    config.duration = 2.0;
    const std::string socket = dir.file("serve.sock");
    const ServedRun run = servedRun(config, socket);
    ASSERT_EQ(run.recorder.boards[0].device, "unix://" + socket + "#lab");
    DaemonOptions o;
    o.boards = run.boards;
    o.socketPath = socket;
    DaemonThread daemon(o);

    std::atomic<bool> done{false};
    std::atomic<int> shellCommands{0};
    std::string shellFailure;
    std::thread shell([&] {
        try {
            vantrel::Board board("unix://" + socket + "#lab", 9600);
            for (int n = 0; !done; n = (n + 1) % 16) {
                if (board.command("PWS" + std::to_string(16 * n)).value != 16 * n)
                    throw std::runtime_error("a reply that is not its command's");
                ++shellCommands;
            }
        } catch (const std::exception& e) {
            shellFailure = e.what();
        }
    });
    vantrel::acquire::RecordWriter::MessageFn quiet = [](const std::string&) {};
    vantrel::acquire::Recorder recorder(run.recorder, quiet);
    EXPECT_TRUE(within(30s, [&] { return recorder.finished(); }));
    done = true;
    shell.join();
    recorder.stop();
    EXPECT_EQ(shellFailure, "");
    EXPECT_GT(shellCommands.load(), 10);
    const auto boards = recorder.boards();
    ASSERT_EQ(boards.size(), 1u);
    // Rounds at 0, 0.25, ..., 1.75 s: eight of two channels.
    EXPECT_EQ(boards[0].readings, 16u);
    EXPECT_EQ(boards[0].errors, 0u);
    EXPECT_EQ(boards[0].overruns, 0u);
    EXPECT_EQ(boards[0].skipped, 0u);
    // Each record is its own channel's, whatever addresses the shell wrote in between.
    std::istringstream csv(fileContents(config.out));
    std::string line;
    std::getline(csv, line);  // the header
    int rows = 0;
    while (std::getline(csv, line)) {
        ++rows;
        EXPECT_TRUE(line.find(",lab,10,3,10:3,300,300,,ok,") != std::string::npos ||
                    line.find(",lab,10,5,10:5,700,700,,ok,") != std::string::npos)
            << line;
    }
    EXPECT_EQ(rows, 16);
}

// The tool: `vantrel serve` on a simulated board, `vantrel cmd` in a loop with its own
// addresses and a Python program on Board("unix://...") with others, at once: every reply is
// its own command's. `serve status` lists the board and its clients.
TEST(Serve, TwoProcessesAtOnceEachGetTheirOwnReplies) {
    TempDir dir;
    vantrel::sim::SimThread sim;
    const std::string socket = dir.file("serve.sock");
    Child serve(
        dir, "serve",
        {VANTREL_CLI, "serve", "--device", sim.device(), "--name", "lab", "--socket", socket});
    ASSERT_TRUE(within(20s, [&] { return fs::exists(socket); })) << serve.err();
    const std::string url = "unix://" + socket + "#lab";

    const bool python = fs::exists(fs::path(VANTREL_PYTHON_DIR) / "vantrel" / "__init__.py");
    std::optional<Child> py;
    if (python) {
        const std::string script =
            "import sys, vantrel\n"
            "b = vantrel.Board(sys.argv[1], 9600)\n"
            "for i in range(60):\n"
            "    n = 16 * (i % 16) + 12\n"
            "    r = b.command('PWS%d' % n)\n"
            "    assert r.ok and r.value == n, (n, r.value, r.raw)\n"
            "print('python ok', i + 1)\n";
        ::setenv("PYTHONPATH", VANTREL_PYTHON_DIR, 1);
        py.emplace(dir, "python", std::vector<std::string>{"/usr/bin/python3", "-c", script, url});
    }
    int crossed = 0;
    for (int i = 0; i < 12; ++i) {
        const int n = 16 * (i % 16);
        Child cmd(dir, "cmd",
                  {VANTREL_CLI, "cmd", "--json", "--device", url, "PWS" + std::to_string(n)});
        ASSERT_EQ(cmd.wait(), 0) << cmd.err();
        const auto j = nlohmann::json::parse(cmd.out());
        if (j["value"] != n) ++crossed;
    }
    EXPECT_EQ(crossed, 0);
    if (py) {
        EXPECT_EQ(py->wait(), 0) << py->err();
        EXPECT_EQ(py->out(), "python ok 60\n");
    }

    vantrel::Board watcher(url, 9600);
    Child status(dir, "status", {VANTREL_CLI, "serve", "status", "--socket", socket, "--json"});
    ASSERT_EQ(status.wait(), 0) << status.err();
    const auto j = nlohmann::json::parse(status.out());
    ASSERT_EQ(j["boards"].size(), 1u);
    EXPECT_EQ(j["boards"][0]["name"], "lab");
    EXPECT_EQ(j["boards"][0]["open"], true);
    EXPECT_GE(j["boards"][0]["transactions"].get<int>(), 12 + (python ? 60 : 0));
    EXPECT_EQ(j["clients"].size(), 2u);  // the watcher and the status itself

    serve.signal(SIGTERM);
    EXPECT_EQ(serve.wait(), 128 + SIGTERM) << serve.err();
    EXPECT_FALSE(fs::exists(socket));
    if (!python) GTEST_SKIP() << "the Python package is not built";
}
