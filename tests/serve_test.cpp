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
#include <set>
#include <sstream>
#include <thread>

#include "child_process.hpp"
#include "daemon.hpp"
#include "fd.hpp"
#include "moving_board.hpp"
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

// A board (a simulator with a device) served by a daemon on its thread, as "lab".
template <typename Board>
struct ServedBoard {
    template <typename... Args>
    explicit ServedBoard(DaemonOptions extra, Args&&... args) : board(std::forward<Args>(args)...) {
        extra.boards = {{"lab", board.device(), 9600}};
        extra.socketPath = dir.file("serve.sock");
        options = extra;
        daemon.emplace(extra);
    }
    std::string url() const { return "unix://" + options.socketPath + "#lab"; }

    TempDir dir;
    Board board;
    DaemonOptions options;
    std::optional<DaemonThread> daemon;
};

// A simulated board on a pty, its inputs constant.
struct Served : ServedBoard<vantrel::sim::SimThread> {
    explicit Served(DaemonOptions extra = {}) : ServedBoard(std::move(extra)) {}
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
    s.board.call([](vantrel::sim::PtyBoard& b) {
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
    s.board.call([](vantrel::sim::PtyBoard& b) {
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
    s.board.call([](vantrel::sim::PtyBoard& b) {
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
    s.board.call([](vantrel::sim::PtyBoard& b) {
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
        // A new client's own address write comes first: nothing of the others' is put back.
        vantrel::Board fresh(s.url(), 9600);
        EXPECT_EQ(fresh.read(10, 5), 700);
        EXPECT_EQ(a.read(10, 3), 300);
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
    s.board.call([](vantrel::sim::PtyBoard& b) {
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
    std::ofstream(tokenFile) << "s3cret-token-of-the-lab\n";
    ::chmod(tokenFile.c_str(), 0600);
    DaemonOptions o;
    o.listen = "127.0.0.1:0";
    o.token = "s3cret-token-of-the-lab";
    o.tokenPenalty = 0ms;  // answered at the next sweep
    Served s(o);
    const uint16_t port = s.daemon->tcpPort();
    ASSERT_NE(port, 0);
    for (const std::string& token : {std::string(), std::string("s3cret-token-of-the-lad"),
                                     std::string("s3cret-token-of-the-lab-and-more")}) {
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
    std::ofstream(keys.file("wrong")) << "guess-of-sixteen-characters\n";
    ::chmod(keys.file("wrong").c_str(), 0600);
    EXPECT_THROW(vantrel::Board(where + "?token-file=" + keys.file("wrong") + "#lab", 9600),
                 vantrel::Error);
    vantrel::Board board(where + "?token-file=" + tokenFile + "#lab", 9600);
    EXPECT_EQ(board.command("PWS28").value, 28);

    DaemonOptions remote;
    remote.boards = {{"lab", "sim://", 9600}};
    remote.listen = "0.0.0.0:0";
    remote.token = "s3cret-token-of-the-lab";
    EXPECT_THROW(DaemonThread{remote}, vantrel::Error);
}

namespace {

// A run of one board, "lab" on `device`: the 10-bit `channels`, each every `period` seconds,
// for `duration` seconds into run.csv.
vantrel::acquire::LogConfig labRun(const TempDir& dir, const std::string& device,
                                   std::initializer_list<int> channels, double period,
                                   double duration) {
    vantrel::acquire::LogConfig config;
    vantrel::acquire::BoardConfig b;
    b.name = "lab";
    b.device = device;
    b.baud = 9600;
    for (int ch : channels) {
        vantrel::acquire::ChannelConfig c;
        c.name = "10:" + std::to_string(ch);
        c.channel = ch;
        c.period = period;
        b.channels.push_back(c);
    }
    config.boards.push_back(b);
    config.out = dir.file("run.csv");
    config.duration = duration;
    return config;
}

}  // namespace

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
    const vantrel::acquire::LogConfig config = labRun(dir, sim.device(), {3, 5}, 0.25, 2.0);
    const std::string socket = dir.file("serve.sock");
    const ServedRun run = servedRun(config, socket);
    ASSERT_EQ(run.recorder.boards[0].device, "unix://" + socket + "?role=recording#lab");
    // The published outputs name the board's own device, not the daemon's socket.
    EXPECT_EQ(run.recorder.boards[0].origin, sim.device());
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

// Another client holds the board for two seconds in one operation: the recorder's reading
// that waited behind it is not kept (when the board converted it is not known), with why;
// the readings before and after are.
TEST(Serve, AReadingThatWaitedBehindAnotherClientIsNotKept) {
    TempDir dir;
    vantrel::sim::SimThread sim;
    sim.call([](vantrel::sim::PtyBoard& b) {
        b.engine().setReading(10, 3, 300);
        return 0;
    });
    DaemonOptions o;
    o.boards = {{"lab", sim.device(), 9600}};
    o.socketPath = dir.file("serve.sock");
    DaemonThread daemon(o);
    vantrel::acquire::LogConfig config =
        labRun(dir, "unix://" + o.socketPath + "#lab", {3}, 0.2, 0);
    vantrel::acquire::RecordWriter::MessageFn quiet = [](const std::string&) {};
    vantrel::acquire::Recorder recorder(config, quiet);
    const auto readings = [&] { return recorder.boards()[0].readings; };
    ASSERT_TRUE(within(10s, [&] { return readings() >= 2; }));
    RawClient holder(o.socketPath);
    ASSERT_TRUE(holder.send(frame({"hello", "1", "lab"}) + frame({"begin"})));
    const auto until = std::chrono::steady_clock::now() + 2s;
    for (int id = 1; std::chrono::steady_clock::now() < until; ++id) {
        ASSERT_TRUE(holder.send(frame({"cmd", std::to_string(id)}, "PRA\r")));
        std::optional<Frame> f;
        while ((f = holder.next()) && f->verb() != "reply") continue;
        ASSERT_TRUE(f);
        std::this_thread::sleep_for(100ms);  // the operation goes on, slowly
    }
    ASSERT_TRUE(holder.send(frame({"end"})));
    const uint64_t after = readings();
    ASSERT_TRUE(within(10s, [&] { return readings() >= after + 2; }));
    recorder.stop();
    std::istringstream csv(fileContents(config.out));
    std::string line;
    std::getline(csv, line);  // the header
    int kept = 0, waited = 0;
    while (std::getline(csv, line)) {
        if (line.find(",lab,10,3,10:3,300,300,,ok,") != std::string::npos)
            ++kept;
        else if (line.find(",error,\"not kept: a conversion took ") != std::string::npos &&
                 line.find(" longer than its commands take at 9600 baud (1.302 s)") !=
                     std::string::npos)
            ++waited;
        else
            EXPECT_NE(line.find(",gap,"), std::string::npos) << line;
    }
    EXPECT_EQ(waited, 1) << fileContents(config.out);
    EXPECT_GE(kept, 4);
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

// ---- Sharing a board whose inputs move ------------------------------------------------------

namespace {

using vantrel::testing::MovingBoard;

// A board whose inputs move, each conversion in its log.
struct MovingServed : ServedBoard<MovingBoard> {
    explicit MovingServed(std::set<MovingBoard::Key> moving, DaemonOptions extra = {})
        : ServedBoard(std::move(extra), std::move(moving)) {}
};

// Each client reads its channel `count` times; what it read that the board did not convert
// for that channel, and what failed, are kept.
struct Reader {
    Reader(int b, int ch, int n) : bits(b), channel(ch), count(n) {}
    int bits = 10;
    int channel = 0;
    int count = 0;
    int good = 0;
    int failed = 0;
    std::vector<std::string> wrong;
};

void readAll(const MovingServed& s, std::vector<Reader>& readers, bool failuresAllowed = false) {
    std::vector<std::thread> threads;
    for (Reader& r : readers)
        threads.emplace_back([&s, &r, failuresAllowed] {
            try {
                vantrel::Board board(s.url(), 9600);
                for (int i = 0; i < r.count; ++i) {
                    double v = 0;
                    try {
                        v = board.read(r.bits, r.channel);
                    } catch (const vantrel::Timeout& e) {
                        if (!failuresAllowed) throw;
                        ++r.failed;
                        continue;
                    }
                    if (s.board.converted(r.bits, r.channel, v))
                        ++r.good;
                    else if (r.wrong.size() < 10)
                        r.wrong.push_back(std::to_string(v));
                }
            } catch (const std::exception& e) {
                r.wrong.push_back(e.what());
            }
        });
    for (auto& t : threads) t.join();
}

// A client's next reply, the events before it added to `events`.
std::string reply(RawClient& c, std::string& events) {
    std::optional<Frame> f;
    while ((f = c.next()) && f->verb() != "reply")
        if (f->verb() == "event") events += f->payload;
    return f ? f->payload : std::string();
}

}  // namespace

// Two and three clients at once on channels of both widths, inputs that change at every
// conversion: every reading is a word the board converted for the reader's own channel, never
// the high byte of one conversion with the low byte of another, never another's channel.
TEST(ServeSharing, EveryReadingIsWholeAndOfItsOwnChannel) {
    const std::vector<std::vector<std::pair<int, int>>> cases = {
        {{10, 3}, {12, 7}},
        {{10, 3}, {10, 5}, {12, 7}},
    };
    for (const auto& channels : cases) {
        MovingServed s({{10, 3}, {10, 5}, {12, 7}});
        std::vector<Reader> readers;
        for (const auto& [bits, channel] : channels) readers.emplace_back(bits, channel, 2000);
        readAll(s, readers);
        for (const Reader& r : readers) {
            EXPECT_EQ(r.good, 2000) << r.bits << ":" << r.channel;
            EXPECT_EQ(r.wrong, std::vector<std::string>{}) << r.bits << ":" << r.channel;
        }
        EXPECT_GE(s.board.conversions(), 2000u * channels.size());
    }
}

// A board that answers late now and then (later than the daemon's window): the late reply is
// dropped, never taken for the next command's; a reading either fails or is whole.
TEST(ServeSharing, ALateReplyIsNeverTakenForTheNextCommands) {
    DaemonOptions o;
    o.replyWindow = 300ms;
    MovingServed s({{10, 3}, {12, 7}}, o);
    // 50 ms past the daemon's window: the daemon fails the command, then waits out the late
    // reply (up to a quiet window more) before anything else starts.
    s.board.answerLate(50, 350ms);
    std::vector<Reader> readers = {{10, 3, 150}, {12, 7, 150}};
    readAll(s, readers, true);
    int failed = 0;
    for (const Reader& r : readers) {
        EXPECT_EQ(r.wrong, std::vector<std::string>{}) << r.bits << ":" << r.channel;
        EXPECT_EQ(r.good + r.failed, 150);
        failed += r.failed;
    }
    EXPECT_GT(failed, 0);  // the board did answer late
}

// The board's one selection, as a client's own commands leave it: a refused address write
// leaves it as it was, a new client gets no address written for it, and what another client
// did in between is put back before a client's operation.
TEST(ServeSharing, TheSelectionIsWhatTheClientsOwnCommandsLeft) {
    MovingServed s({});
    vantrel::Board a(s.url(), 9600), b(s.url(), 9600);
    EXPECT_EQ(b.command("PWS208").value, 208);  // channel 13
    const vantrel::Reply refused = a.command("PWS7");
    EXPECT_FALSE(refused.ok);
    EXPECT_EQ(refused.errorNr, 3);
    EXPECT_EQ(a.read(10, 11), 512);
    EXPECT_EQ(b.command("PWS208").value, 208);
    EXPECT_EQ(a.read(10, 11), 512);  // its address went back first
    {
        vantrel::Board writer(s.url(), 9600);
        EXPECT_EQ(writer.command("PWS208").value, 208);
    }
    // Nothing is written for a client without a selection of its own: "@" gives the high
    // byte of channel 13, as on a port of its own.
    vantrel::Board fresh(s.url(), 9600);
    EXPECT_EQ(fresh.command("@").value, 255);
}

// A frame holds one command line, as the daemon follows them; anything else is refused with
// a clear error, and the connection with it.
TEST(ServeSharing, AFrameHoldsExactlyOneCommandLine) {
    Served s;
    for (const std::string bytes : {"PWS80\rPRS\r@@", "PWS80", "@@", "@PRS\r", "PRS\r\r", ""}) {
        RawClient c(s.options.socketPath);
        ASSERT_TRUE(c.send(frame({"hello", "1", "lab"}) + frame({"cmd", "1"}, bytes)));
        std::optional<Frame> f;
        while ((f = c.next()) && f->verb() == "hello") {
        }
        ASSERT_TRUE(f) << bytes;
        EXPECT_EQ(f->verb(), "error") << bytes;
        EXPECT_EQ(f->arg(1), "not-one-line") << bytes;
        EXPECT_NE(f->payload.find("exactly one command line"), std::string::npos);
        EXPECT_TRUE(c.closedWithin(5s));
    }
    RawClient c(s.options.socketPath);
    ASSERT_TRUE(c.send(frame({"hello", "1", "lab"}) + frame({"cmd", "1"}, "\nPWS16\r") +
                       frame({"cmd", "2"}, "@")));
    std::vector<std::string> replies;
    for (std::optional<Frame> f; replies.size() < 2 && (f = c.next());)
        if (f->verb() == "reply") replies.push_back(f->payload);
    EXPECT_EQ(replies, (std::vector<std::string>{"OK 16\r\n>", "OK 0\r\n>"}));
}

// An operation holds the board: another client's command waits until it ends, or until its
// client goes away (at once, not after the hold time); an operation whose client stalls past
// the hold loses the board and its later commands fail.
TEST(ServeSharing, AnOperationHoldsTheBoardUntilItEndsOrItsClientGoes) {
    DaemonOptions o;
    o.holdMargin = 60s;
    Served s(o);
    const auto served = [](RawClient& c, const std::string& id) {
        std::optional<Frame> f;
        while ((f = c.next()) &&
               (f->arg(1) != id || (f->verb() != "reply" && f->verb() != "failed"))) {
        }
        return f ? f->verb() + " " + f->payload : std::string("nothing");
    };
    RawClient holder(s.options.socketPath), other(s.options.socketPath);
    ASSERT_TRUE(other.send(frame({"hello", "1", "lab"})));
    ASSERT_TRUE(other.next());  // its hello
    ASSERT_TRUE(holder.send(frame({"hello", "1", "lab"}) + frame({"begin"}) +
                            frame({"cmd", "1"}, "PWS48\r")));
    EXPECT_EQ(served(holder, "1"), "reply OK 48\r\n>");
    ASSERT_TRUE(other.send(frame({"cmd", "1"}, "PWS80\r")));
    const auto queued = other.next();
    ASSERT_TRUE(queued);
    EXPECT_EQ(queued->verb(), "queued");
    ASSERT_TRUE(holder.send(frame({"cmd", "2"}, "PRS\r")));
    EXPECT_EQ(served(holder, "2"), "reply OK 0\r\n>");  // nothing came in between
    {
        RawClient killed(s.options.socketPath);
        ASSERT_TRUE(killed.send(frame({"hello", "1", "lab"}) + frame({"begin"}) +
                                frame({"cmd", "1"}, "PWS16\r")));
        ASSERT_TRUE(holder.send(frame({"end"})));
        EXPECT_EQ(served(other, "1"), "reply OK 80\r\n>");
        EXPECT_EQ(served(killed, "1"), "reply OK 16\r\n>");
        ASSERT_TRUE(other.send(frame({"cmd", "2"}, "PWS96\r")));
    }  // gone in the middle of its operation: the board is free again at once
    EXPECT_EQ(served(other, "2"), "reply OK 96\r\n>");

    DaemonOptions quick;
    quick.holdMargin = 50ms;
    Served q(quick);
    RawClient stalls(q.options.socketPath), waits(q.options.socketPath);
    ASSERT_TRUE(stalls.send(frame({"hello", "1", "lab"}) + frame({"begin"}) +
                            frame({"cmd", "1"}, "PWS48\r")));
    EXPECT_EQ(served(stalls, "1"), "reply OK 48\r\n>");
    ASSERT_TRUE(waits.send(frame({"hello", "1", "lab"}) + frame({"cmd", "1"}, "PWS80\r")));
    EXPECT_EQ(served(waits, "1"), "reply OK 80\r\n>");
    ASSERT_TRUE(stalls.send(frame({"cmd", "2"}, "PRS\r")));
    EXPECT_EQ(served(stalls, "2"), "failed ");

    // An operation that never ends holds the board for so many commands, not for ever.
    RawClient streams(q.options.socketPath);
    ASSERT_TRUE(streams.send(frame({"hello", "1", "lab"}) + frame({"begin"})));
    int replies = 0;
    for (int i = 1; i <= 70; ++i) {
        ASSERT_TRUE(streams.send(frame({"cmd", std::to_string(i)}, "PRA\r")));
        replies += served(streams, std::to_string(i)).starts_with("reply");
    }
    EXPECT_EQ(replies, 64);
}

// The interrupt lines reach every client of the board, also when they come within the reply
// to a command the daemon sent to put back a client's selection.
TEST(ServeSharing, InterruptLinesWithinARestoreReachEveryClient) {
    MovingServed s({});
    RawClient a(s.options.socketPath), b(s.options.socketPath);
    std::string eventsA, eventsB;
    ASSERT_TRUE(a.send(frame({"hello", "1", "lab"}) + frame({"cmd", "1"}, "PWS48\r")));
    EXPECT_EQ(reply(a, eventsA), "OK 48\r\n>");
    ASSERT_TRUE(b.send(frame({"hello", "1", "lab"}) + frame({"cmd", "1"}, "PWS80\r")));
    EXPECT_EQ(reply(b, eventsB), "OK 80\r\n>");
    s.board.with([](vantrel::sim::BoardEngine& e) {
        e.overrideReply("PWS48", "L\r\nOK 48\r\n>", 1);
        return 0;
    });
    ASSERT_TRUE(a.send(frame({"cmd", "2"}, "PRS\r")));
    reply(a, eventsA);
    EXPECT_EQ(eventsA, "L\r\n");
    ASSERT_TRUE(b.send(frame({"cmd", "2"}, "PRA\r")));
    reply(b, eventsB);
    EXPECT_EQ(eventsB, "L\r\n");
}

// What the board sends while no transaction runs: its interrupt lines reach every client, also
// when they come in pieces; a late reply (up to its ">") and other text are nobody's, so that
// a client waiting for its own reply never reads them as part of it.
TEST(ServeSharing, TextBetweenTransactionsIsNobodysButItsInterruptLines) {
    MovingServed s({});
    RawClient a(s.options.socketPath), b(s.options.socketPath);
    std::string eventsA, eventsB;
    ASSERT_TRUE(
        a.send(frame({"hello", "1", "lab"}) + frame({"begin"}) + frame({"cmd", "1"}, "PWS48\r")));
    EXPECT_EQ(reply(a, eventsA), "OK 48\r\n>");
    // b's command waits for a's operation to end.
    ASSERT_TRUE(b.send(frame({"hello", "1", "lab"}) + frame({"cmd", "1"}, "PRA\r")));
    for (const char* verb : {"hello", "queued"}) {
        const auto f = b.next();
        ASSERT_TRUE(f);
        EXPECT_EQ(f->verb(), verb);
    }
    s.board.sendUnsolicited("OK 67\r\n>noise OK 5\r\nL");
    s.board.sendUnsolicited("\r\nH\r\n");
    ASSERT_TRUE(a.send(frame({"cmd", "2"}, "PRA\r")));
    EXPECT_EQ(reply(a, eventsA), "OK 1\r\n>");
    ASSERT_TRUE(a.send(frame({"end"})));
    EXPECT_EQ(reply(b, eventsB), "OK 1\r\n>");
    EXPECT_EQ(eventsA, "L\r\nH\r\n");
    EXPECT_EQ(eventsB, "L\r\nH\r\n");
}

// Interrupt lines every millisecond while three clients read: what the board sent before a
// command is read before the command is written, and nothing done then starts another
// command in the middle of it. Every reading is one the board converted for its channel.
TEST(ServeSharing, UnderAFloodOfInterruptLinesEveryReadingIsWhole) {
    MovingServed s({{10, 3}, {10, 5}, {12, 7}});
    std::atomic<bool> done{false};
    std::thread flood([&] {
        while (!done) {
            s.board.sendUnsolicited("L\r\n");
            std::this_thread::sleep_for(1ms);  // the fault's schedule, not a wait
        }
    });
    std::vector<Reader> readers = {{10, 3, 400}, {10, 5, 400}, {12, 7, 400}};
    readAll(s, readers);
    done = true;
    flood.join();
    for (const Reader& r : readers) {
        EXPECT_EQ(r.good, 400) << r.bits << ":" << r.channel;
        EXPECT_EQ(r.wrong, std::vector<std::string>{}) << r.bits << ":" << r.channel;
    }
}

// Putting back a client's selection fails: its command fails, rather than run on the other
// client's selection; the next one puts it back again.
TEST(ServeSharing, ARestoreThatFailsFailsTheCommand) {
    MovingServed s({});
    RawClient a(s.options.socketPath), b(s.options.socketPath);
    const auto outcome = [](RawClient& c) {
        std::optional<Frame> f;
        while ((f = c.next()) && f->verb() != "reply" && f->verb() != "failed") {
        }
        return f ? f->verb() + " " + std::string(f->arg(2)) + f->payload : std::string();
    };
    ASSERT_TRUE(a.send(frame({"hello", "1", "lab"}) + frame({"cmd", "1"}, "PWS48\r")));
    EXPECT_EQ(outcome(a), "reply OK 48\r\n>");
    ASSERT_TRUE(b.send(frame({"hello", "1", "lab"}) + frame({"cmd", "1"}, "PWS80\r")));
    EXPECT_EQ(outcome(b), "reply OK 80\r\n>");
    s.board.with([](vantrel::sim::BoardEngine& e) {
        e.overrideReply("PWS48", "?3 Bad address\r\n>", 1);
        return 0;
    });
    ASSERT_TRUE(a.send(frame({"cmd", "2"}, "PRS\r")));
    EXPECT_EQ(outcome(a), "failed restore-failed");
    ASSERT_TRUE(a.send(frame({"cmd", "3"}, "PRS\r")));
    EXPECT_EQ(outcome(a), "reply OK 0\r\n>");
}

// ---- A lab's daemon: idle connections, a board away -----------------------------------------

// 200 connections that send nothing and one that sends half a request, while a client reads:
// the reader is served throughout, a new client with a request gets in while they are there,
// and each of them is closed within a few seconds.
TEST(ServeLab, IdleConnectionsNeverKeepAClientWithARequestOut) {
    DaemonOptions o;
    o.idleTimeout = 1500ms;
    MovingServed s({{10, 3}}, o);
    std::atomic<bool> done{false};
    std::atomic<bool> served{false};
    Reader reader{10, 3, 0};
    std::thread reading([&] {
        try {
            vantrel::Board board(s.url(), 9600);
            while (!done) {
                ++reader.count;
                if (s.board.converted(10, 3, board.read(10, 3))) ++reader.good;
                served = true;
            }
        } catch (const std::exception& e) {
            reader.wrong.push_back(e.what());
        }
    });
    // The reader has said hello and is reading before the crowd comes.
    EXPECT_TRUE(within(20s, [&] { return served.load(); }));
    std::vector<std::unique_ptr<RawClient>> crowd;
    for (int i = 0; i < 200; ++i)
        crowd.push_back(std::make_unique<RawClient>(s.options.socketPath));
    RawClient half(s.options.socketPath);
    ASSERT_TRUE(half.send(frame({"hello", "1", "lab"}) + "cmd 1 4\nPW"));
    {
        vantrel::Board newcomer(s.url(), 9600);
        EXPECT_TRUE(s.board.converted(10, 3, newcomer.read(10, 3)));
    }
    EXPECT_TRUE(half.closedWithin(10s));
    for (auto& c : crowd) EXPECT_TRUE(c->closedWithin(10s));
    done = true;
    reading.join();
    EXPECT_EQ(reader.wrong, std::vector<std::string>{});
    EXPECT_GT(reader.count, 0);
    EXPECT_EQ(reader.good, reader.count);
}

// The limit on a hello counts the whole hello: one byte now and then does not keep a
// connection (and with enough of them, every client) waiting.
TEST(ServeLab, AHelloSentByteByByteIsStillCutAtTheLimit) {
    DaemonOptions o;
    o.idleTimeout = 1s;
    Served s(o);
    RawClient slow(s.options.socketPath);
    const std::string hello = frame({"hello", "1", "lab"}) + std::string(200, ' ');
    std::size_t sent = 0;
    std::optional<Frame> f;
    while (sent < hello.size() && !f) {
        if (!slow.send(hello.substr(sent++, 1))) break;
        f = slow.next(250ms);  // a byte each quarter second, as long as the daemon listens
    }
    ASSERT_TRUE(f);
    EXPECT_EQ(f->verb(), "error");
    EXPECT_EQ(f->arg(1), "idle");
    EXPECT_LT(sent, hello.size());
}

// A board that is away gives what `vantrel log` gives: gap records and a board that is not up
// for the recording inside serve, and "the board is away" for a client, not a timeout.
TEST(ServeLab, ABoardAwayIsAwayForTheRecorderAndForClients) {
    TempDir dir;
    const vantrel::acquire::LogConfig config =
        labRun(dir, dir.file("ttyUSB-unplugged"), {3}, 0.1, 0.5);
    const std::string socket = dir.file("serve.sock");
    const ServedRun run = servedRun(config, socket);
    DaemonOptions o;
    o.boards = run.boards;
    o.socketPath = socket;
    DaemonThread daemon(o);
    try {
        vantrel::Board client("unix://" + socket + "#lab", 9600);
        ADD_FAILURE() << "a board away was opened";
    } catch (const vantrel::Error& e) {
        EXPECT_NE(std::string(e.what()).find("the board lab is away"), std::string::npos)
            << e.what();
    }
    vantrel::acquire::RecordWriter::MessageFn quiet = [](const std::string&) {};
    vantrel::acquire::Recorder recorder(run.recorder, quiet);
    EXPECT_TRUE(within(30s, [&] { return recorder.finished(); }));
    recorder.stop();
    const auto boards = recorder.boards();
    ASSERT_EQ(boards.size(), 1u);
    EXPECT_EQ(boards[0].gaps, 1u);
    EXPECT_EQ(boards[0].errors, 0u);
    EXPECT_EQ(boards[0].readings, 0u);
    EXPECT_NE(boards[0].lastError.find("is away"), std::string::npos) << boards[0].lastError;
    EXPECT_NE(fileContents(config.out).find(",gap,"), std::string::npos);
}

// ---- Hostile files, daemons and clients -----------------------------------------------------

namespace {

// A daemon that answers as told: its hello, then `started` for every command and nothing
// more, and `status` with the given text.
class FakeDaemon {
  public:
    // `silent`: it takes commands and says nothing of them, as a daemon across a cut link.
    FakeDaemon(std::string path, std::string helloRate, std::string status, bool silent = false)
        : path_(std::move(path)),
          rate_(std::move(helloRate)),
          status_(std::move(status)),
          silent_(silent) {
        listener_.reset(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        std::strncpy(addr.sun_path, path_.c_str(), sizeof addr.sun_path - 1);
        if (::bind(listener_.get(), reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0 ||
            ::listen(listener_.get(), 8) != 0)
            throw std::runtime_error("fake daemon: " + std::string(std::strerror(errno)));
        thread_ = std::thread([this] { run(); });
    }
    ~FakeDaemon() {
        stop_ = true;
        thread_.join();
    }
    std::string url() const { return "unix://" + path_; }

  private:
    void run() {
        std::vector<std::pair<Fd, FrameReader>> conns;
        while (!stop_) {
            std::vector<pollfd> fds{{listener_.get(), POLLIN, 0}};
            for (auto& [fd, r] : conns) fds.push_back({fd.get(), POLLIN, 0});
            if (::poll(fds.data(), fds.size(), 20) <= 0) continue;
            if (fds[0].revents != 0)
                conns.emplace_back(Fd(::accept4(listener_.get(), nullptr, nullptr, SOCK_CLOEXEC)),
                                   FrameReader(kMaxCommand));
            for (std::size_t i = 1; i < fds.size(); ++i) {
                if (fds[i].revents == 0) continue;
                auto& [fd, reader] = conns[i - 1];
                char buf[4096];
                const ssize_t n = ::recv(fd.get(), buf, sizeof buf, 0);
                if (n <= 0) continue;
                reader.append(std::string_view(buf, static_cast<std::size_t>(n)));
                Frame f;
                std::string out;
                while (reader.next(f) == FrameReader::Next::Frame) {
                    if (f.verb() == "hello") appendFrame(out, {"hello", "1", "lab", rate_});
                    if (f.verb() == "cmd" && !silent_) appendFrame(out, {"started", f.arg(1)});
                    if (f.verb() == "status") appendFrame(out, {"status"}, status_);
                }
                (void)!::send(fd.get(), out.data(), out.size(), MSG_NOSIGNAL);
            }
        }
    }

    std::string path_, rate_, status_;
    bool silent_ = false;
    Fd listener_;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

}  // namespace

// A token file is a regular file of this user's (or root's) that others cannot read, small,
// read once: a FIFO, a device, a file others may read, one of another user, one too long is
// refused with the reason, by the client's token-file= and by `serve --token-file`.
TEST(ServeHostile, TokenFilesAreRefusedUnlessOnlyTheirOwnerReadsThem) {
    TempDir dir;
    const auto make = [&](const std::string& name, const std::string& text, mode_t mode) {
        const std::string path = dir.file(name);
        std::ofstream(path) << text;
        ::chmod(path.c_str(), mode);
        return path;
    };
    const std::string good = make("good", "0123456789abcdef-token\n", 0600);
    const std::string fifo = dir.file("fifo");
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    const std::string others = make("others", "0123456789abcdef-token\n", 0644);
    const std::string foreign = make("foreign", "0123456789abcdef-token\n", 0600);
    ASSERT_EQ(::chown(foreign.c_str(), 65534, 65534), 0);
    const std::string big = make("big", std::string(5000, 'x'), 0600);
    const struct {
        std::string path;
        const char* why;
    } refused[] = {
        {fifo, "not a regular file"},          {"/dev/zero", "not a regular file"},
        {others, "read or written by others"}, {foreign, "neither this user nor root"},
        {big, "more than 4096 bytes"},         {dir.file("none"), "cannot be opened"},
    };
    EXPECT_EQ(readTokenFile(good), "0123456789abcdef-token");
    DaemonOptions o;
    o.listen = "127.0.0.1:0";
    o.token = "0123456789abcdef-token";
    Served s(o);
    const std::string where = "vantrel://127.0.0.1:" + std::to_string(s.daemon->tcpPort());
    for (const auto& r : refused) {
        try {
            vantrel::Board board(where + "?token-file=" + r.path + "#lab", 9600);
            ADD_FAILURE() << r.path << " was taken";
        } catch (const vantrel::Error& e) {
            EXPECT_NE(std::string(e.what()).find(r.why), std::string::npos) << e.what();
        }
        Child serve(dir, "serve",
                    {VANTREL_CLI, "serve", "--device", "sim://", "--socket", dir.file("s.sock"),
                     "--listen", "127.0.0.1:0", "--token-file", r.path});
        EXPECT_NE(serve.wait(), 0);
        EXPECT_NE(serve.err().find(r.why), std::string::npos) << serve.err();
    }
    vantrel::Board board(where + "?token-file=" + good + "#lab", 9600);
    EXPECT_EQ(board.command("PWS16").value, 16);

    // A token too short to resist guessing is refused by the daemon.
    const std::string shortToken = make("short", "guessable\n", 0600);
    Child serve(dir, "serve",
                {VANTREL_CLI, "serve", "--device", "sim://", "--socket", dir.file("s.sock"),
                 "--listen", "127.0.0.1:0", "--token-file", shortToken});
    EXPECT_NE(serve.wait(), 0);
    EXPECT_NE(serve.err().find("too easily guessed"), std::string::npos) << serve.err();
}

// Wrong tokens are answered only after a pause, and only so many wait at once: beyond, a
// hello is not even checked, so that a flood of guesses learns nothing faster.
TEST(ServeHostile, WrongTokensAreAnsweredSlowly) {
    DaemonOptions o;
    o.listen = "127.0.0.1:0";
    o.token = "0123456789abcdef-token";
    o.tokenPenalty = 60s;
    Served s(o);
    std::vector<std::unique_ptr<RawClient>> guesses;
    for (int i = 0; i < 16; ++i) {
        guesses.push_back(std::make_unique<RawClient>(s.daemon->tcpPort()));
        ASSERT_TRUE(
            guesses.back()->send(frame({"hello", "1", "lab"}, "guess" + std::to_string(i))));
    }
    for (auto& g : guesses) EXPECT_FALSE(g->next(200ms));  // no answer yet
    RawClient more(s.daemon->tcpPort());
    ASSERT_TRUE(more.send(frame({"hello", "1", "lab"}, o.token)));
    const auto f = more.next();
    ASSERT_TRUE(f);
    EXPECT_EQ(f->arg(1), "busy");
    guesses.clear();                      // gone: their places are free again
    vantrel::Board board(s.url(), 9600);  // the Unix socket never needed a token
    EXPECT_EQ(board.command("PWS16").value, 16);
}

// A hostile daemon that starts every command and never answers, naming a rate of 1 (a reply
// window of 42 minutes): the client's wait is bounded, and a stop signal ends it at once.
TEST(ServeHostile, AClientsWaitOnAHostileDaemonIsBounded) {
    TempDir dir;
    FakeDaemon fake(dir.file("fake.sock"), "1", "{}");
    vantrel::Board board(fake.url(), 9600);
    EXPECT_THROW(board.command("PRA"), vantrel::Timeout);  // within the 300-baud window

    sigset_t term, old;
    sigemptyset(&term);
    sigaddset(&term, SIGTERM);
    ASSERT_EQ(::pthread_sigmask(SIG_BLOCK, &term, &old), 0);
    ASSERT_EQ(::syscall(SYS_tgkill, ::getpid(), ::gettid(), SIGTERM), 0);
    const auto before = std::chrono::steady_clock::now();
    EXPECT_THROW(board.command("PRA"), vantrel::Timeout);
    const auto waited = std::chrono::steady_clock::now() - before;
    const timespec none{0, 0};
    EXPECT_EQ(::sigtimedwait(&term, nullptr, &none), SIGTERM);
    ::pthread_sigmask(SIG_SETMASK, &old, nullptr);
    // Far less than the 8.3 s of the slowest rate's window: the control's own window.
    EXPECT_LT(waited, 5s);
}

// A daemon that says nothing of a command (stuck, or across a partition) is not waited on for
// the minute a queued command may take: the command fails and the connection is dropped, so
// that the next open makes a new one.
TEST(ServeHostile, ADaemonThatSaysNothingOfACommandIsLeft) {
    TempDir dir;
    FakeDaemon fake(dir.file("fake.sock"), "9600", "{}", true);
    vantrel::Board board(fake.url(), 9600);
    const auto before = std::chrono::steady_clock::now();
    EXPECT_THROW(board.command("PRA"), vantrel::Timeout);
    EXPECT_LT(std::chrono::steady_clock::now() - before, 30s);  // not the minute's hold
    try {
        board.command("PRA");
        ADD_FAILURE() << "a command went out on the dropped connection";
    } catch (const vantrel::Error& e) {
        EXPECT_NE(std::string(e.what()).find("the daemon has said nothing of a command for 2 s"),
                  std::string::npos)
            << e.what();
    }
}

// `serve status` against a daemon whose status is not what it reads: our own error.
TEST(ServeHostile, StatusOfAMalformedDaemonSaysSoInItsOwnWords) {
    TempDir dir;
    for (const std::string status : {R"({"transactions":"many","boards":5})", "[1,2", "42"}) {
        const std::string socket = dir.file("fake.sock");
        fs::remove(socket);
        FakeDaemon fake(socket, "9600", status);
        for (const char* json : {"--json", "--socket"}) {
            std::vector<std::string> argv{VANTREL_CLI, "serve", "status", "--socket", socket};
            if (std::string(json) == "--json") argv.push_back("--json");
            Child c(dir, "status", argv);
            EXPECT_EQ(c.wait(), 1) << status;
            EXPECT_NE(c.err().find("not a status this version reads"), std::string::npos)
                << c.err();
            EXPECT_EQ(c.err().find("type must be"), std::string::npos) << c.err();
            EXPECT_EQ(c.err().find("parse error"), std::string::npos) << c.err();
        }
    }
}

// A greedy client (four connections, eight commands in flight each, all along) does not
// starve the recording inside serve: it has its own share of a board paced as a wire.
TEST(ServeHostile, AGreedyClientDoesNotStarveTheRecording) {
    TempDir dir;
    vantrel::sim::PtyBoard::Options paced;
    paced.paceFromLine = true;
    vantrel::sim::SimThread sim(paced);
    const vantrel::acquire::LogConfig config = labRun(dir, sim.device(), {11, 12}, 0.25, 2.0);
    const std::string socket = dir.file("serve.sock");
    const ServedRun run = servedRun(config, socket);
    DaemonOptions o;
    o.boards = run.boards;
    o.socketPath = socket;
    DaemonThread daemon(o);

    std::atomic<bool> done{false};
    std::atomic<int> greedyReplies{0};
    std::vector<std::thread> greedy;
    for (int k = 0; k < 4; ++k)
        greedy.emplace_back([&] {
            RawClient c(socket);
            std::string burst = frame({"hello", "1", "lab"});
            int id = 0;
            for (; id < 8; ++id) burst += frame({"cmd", std::to_string(id)}, "PRA\r");
            c.send(burst);
            while (!done) {
                const auto f = c.next(1s);
                if (!f) continue;
                if (f->verb() == "reply" || f->verb() == "failed") {
                    ++greedyReplies;
                    c.send(frame({"cmd", std::to_string(id++)}, "PRA\r"));
                }
            }
        });
    vantrel::acquire::RecordWriter::MessageFn quiet = [](const std::string&) {};
    vantrel::acquire::Recorder recorder(run.recorder, quiet);
    EXPECT_TRUE(within(30s, [&] { return recorder.finished(); }));
    done = true;
    for (auto& t : greedy) t.join();
    recorder.stop();
    EXPECT_GT(greedyReplies.load(), 40);  // the greedy client was served too
    const auto boards = recorder.boards();
    ASSERT_EQ(boards.size(), 1u);
    EXPECT_EQ(boards[0].readings, 16u);
    EXPECT_EQ(boards[0].errors, 0u);
    EXPECT_EQ(boards[0].overruns, 0u);
}
