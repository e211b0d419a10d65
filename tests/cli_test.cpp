// The vantrel command-line tool, run as a child process against simulated boards that this test
// serves on a thread of its own.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <future>
#include <map>
#include <nlohmann/json.hpp>
#include <optional>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "child_process.hpp"
#include "fd.hpp"
#include "sim/pty_board.hpp"
#include "test_support.hpp"

extern char** environ;

using namespace std::chrono_literals;
using nlohmann::json;
using vantrel::testing::ScopedEnv;

namespace {

using vantrel::testing::TempDir;

// A simulated board on its own loop, on its own thread (a board is single-threaded). `setup`
// runs on that thread before serving starts; `afterPass` after every pass of its loop. The
// board's record can be read once the thread has stopped.
class BoardThread {
  public:
    explicit BoardThread(std::function<void(vantrel::sim::PtyBoard&)> setup = {},
                         std::function<void(vantrel::sim::PtyBoard&)> afterPass = {})
        : wake_(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) {
        std::promise<std::string> path;
        std::future<std::string> ready = path.get_future();
        thread_ = std::thread(
            [this, &path, setup = std::move(setup), afterPass = std::move(afterPass)]() mutable {
                bool published = false;
                try {
                    const auto loop = vantrel::makeEpollLoop();
                    vantrel::sim::PtyBoard board(*loop);
                    if (setup) setup(board);
                    bool stop = false;
                    const vantrel::WatchHandle w =
                        loop->watch(wake_.get(), EPOLLIN, [&](uint32_t) { stop = true; });
                    path.set_value(board.slavePath());
                    published = true;  // `path` is gone from here on
                    while (!stop) {
                        loop->pumpOnce();
                        if (afterPass) afterPass(board);
                    }
                    lines_ = board.lines();
                } catch (const std::exception& e) {
                    if (!published)
                        path.set_exception(std::current_exception());
                    else
                        failure_ = e.what();
                }
            });
        try {
            path_ = ready.get();
        } catch (...) {
            thread_.join();
            throw;
        }
    }
    ~BoardThread() { stop(); }

    const std::string& path() const { return path_; }

    // Stops serving; returns every command line the board received.
    const std::vector<std::string>& stop() {
        if (thread_.joinable()) {
            const uint64_t one = 1;
            if (::write(wake_.get(), &one, sizeof one) != sizeof one) std::abort();
            thread_.join();
            EXPECT_EQ(failure_, "") << "the board's thread failed";
        }
        return lines_;
    }

  private:
    vantrel::Fd wake_;
    std::thread thread_;
    std::string path_;
    std::vector<std::string> lines_;
    std::string failure_;
};

struct Outcome {
    int status = -1;  // exit status, or -1 when it did not exit normally
    std::string out;
    std::string err;
    double cpuSeconds = 0;   // user and system time the tool used
    double wallSeconds = 0;  // from its start to its end
};

// The tool as a child process with its standard streams on pipes.
class Tool {
  public:
    // With `closedOutput`, the tool starts with standard output closed.
    explicit Tool(std::vector<std::string> args, bool closedOutput = false) {
        args.insert(args.begin(), VANTREL_CLI);
        int in[2], out[2], err[2];
        if (::pipe2(in, O_CLOEXEC) || ::pipe2(out, O_CLOEXEC) || ::pipe2(err, O_CLOEXEC))
            throw std::runtime_error("pipe2 failed");
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, in[0], 0);
        if (closedOutput)
            posix_spawn_file_actions_addclose(&actions, 1);
        else
            posix_spawn_file_actions_adddup2(&actions, out[1], 1);
        posix_spawn_file_actions_adddup2(&actions, err[1], 2);
        std::vector<char*> argv;
        for (std::string& a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        started_ = std::chrono::steady_clock::now();
        const int rc = ::posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), environ);
        posix_spawn_file_actions_destroy(&actions);
        ::close(in[0]);
        ::close(out[1]);
        ::close(err[1]);
        in_.reset(in[1]);
        out_.reset(out[0]);
        err_.reset(err[0]);
        if (rc != 0) throw std::runtime_error("posix_spawn failed");
    }
    ~Tool() {
        if (pid_ > 0) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
        }
    }

    void write(std::string_view text) {
        while (!text.empty()) {
            const ssize_t n = ::write(in_.get(), text.data(), text.size());
            if (n <= 0) throw std::runtime_error("write to the tool failed");
            text.remove_prefix(static_cast<size_t>(n));
        }
    }

    // Reads standard output until a whole line satisfies `match`; the lines before it stay
    // collected. Nothing when the tool ends or `limit` passes first.
    std::optional<std::string> waitLine(const std::function<bool(const std::string&)>& match,
                                        std::chrono::milliseconds limit = 10s) {
        const auto deadline = std::chrono::steady_clock::now() + limit;
        for (;;) {
            for (std::size_t nl; (nl = pending_.find('\n', scanned_)) != std::string::npos;) {
                std::string line = pending_.substr(scanned_, nl - scanned_);
                scanned_ = nl + 1;
                if (match(line)) return line;
            }
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            if (left <= 0ms || !readSome(static_cast<int>(left.count()))) return std::nullopt;
        }
    }

    void signal(int signo) { ::kill(pid_, signo); }
    // Closes the reading end of standard output, as a reader that has gone.
    void closeOutput() { out_.reset(); }

    // Reads until standard error holds `text`; false when the tool ends or `limit` passes first.
    bool waitErr(std::string_view text, std::chrono::milliseconds limit = 10s) {
        const auto deadline = std::chrono::steady_clock::now() + limit;
        while (errText_.find(text) == std::string::npos) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            if (left <= 0ms || !readSome(static_cast<int>(left.count()))) return false;
        }
        return true;
    }

    // Closes standard input and collects everything until the tool exits.
    Outcome finish(std::chrono::milliseconds limit = 20s) {
        in_.reset();
        const auto deadline = std::chrono::steady_clock::now() + limit;
        while (out_ || err_) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            if (left <= 0ms) {
                ::kill(pid_, SIGKILL);
                break;
            }
            readSome(static_cast<int>(left.count()));
        }
        int wstatus = 0;
        rusage usage{};
        ::wait4(pid_, &wstatus, 0, &usage);
        pid_ = -1;
        Outcome o;
        o.status = WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : -1;
        const auto seconds = [](const timeval& t) { return t.tv_sec + t.tv_usec / 1e6; };
        o.cpuSeconds = seconds(usage.ru_utime) + seconds(usage.ru_stime);
        o.wallSeconds =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - started_).count();
        o.out = std::move(pending_);
        o.err = std::move(errText_);
        return o;
    }

  private:
    // Waits for either pipe; returns false when nothing more can come (or on timeout).
    bool readSome(int timeoutMs) {
        pollfd fds[2] = {{out_ ? out_.get() : -1, POLLIN, 0}, {err_ ? err_.get() : -1, POLLIN, 0}};
        if (!out_ && !err_) return false;
        const int n = ::poll(fds, 2, timeoutMs);
        if (n <= 0) return false;
        bool any = false;
        for (int i = 0; i < 2; ++i) {
            if (fds[i].revents == 0) continue;
            vantrel::Fd& fd = i == 0 ? out_ : err_;
            char buf[4096];
            const ssize_t got = ::read(fd.get(), buf, sizeof buf);
            if (got <= 0) {
                fd.reset();
                continue;
            }
            (i == 0 ? pending_ : errText_).append(buf, static_cast<size_t>(got));
            any = true;
        }
        return any || out_;
    }

    pid_t pid_ = -1;
    std::chrono::steady_clock::time_point started_;
    vantrel::Fd in_, out_, err_;
    std::string pending_;
    std::size_t scanned_ = 0;
    std::string errText_;
};

Outcome run(std::vector<std::string> args, std::string_view input = {}) {
    Tool tool(std::move(args));
    if (!input.empty()) tool.write(input);
    return tool.finish();
}

std::vector<std::string> lines(const std::string& text) {
    std::vector<std::string> out;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) out.push_back(line);
    return out;
}

std::vector<json> jsonLines(const std::string& text) {
    std::vector<json> out;
    for (const std::string& l : lines(text)) out.push_back(json::parse(l));
    return out;
}

TEST(CliCmd, ExitStatusSaysHowTheCallEnded) {
    BoardThread board([](vantrel::sim::PtyBoard& b) {
        // The third command gets a number no double holds: Command fails as a call.
        b.engine().scriptReplies({"OK 1\r\n>", "?A Illegal command\r\n>", "OK 1E400\r\n>"});
    });
    const std::string dev = "--device=" + board.path();
    TempDir dir;
    const auto badForm = dir.path / "bad.toml";
    {
        std::FILE* f = std::fopen(badForm.c_str(), "w");
        std::fputs("[VantrelCtrl1\nPort = 3\n", f);
        std::fclose(f);
    }
    struct Case {
        std::vector<std::string> args;
        int status;
    };
    const std::vector<Case> cases = {
        {{"cmd", dev, "--json", "PRA"}, 0},
        {{"cmd", dev, "--json", "XYZ"}, 1},
        {{"cmd", dev, "--json", "PRS"}, 3},
        {{"cmd", dev, "--form", badForm.string(), "PRA"}, 3},
        {{"cmd", dev}, 2},
        {{"cmd", dev, "--baud=1000", "PRA"}, 2},
        {{"cmd", dev, "--port=9", "PRA"}, 2},
        {{"cmd", "--map", "COM3", "PRA"}, 2},
        {{"cmd", "--no-such-option", "PRA"}, 2},
    };
    std::vector<Outcome> outcomes;
    for (const Case& c : cases) {
        outcomes.push_back(run(c.args));
        EXPECT_EQ(outcomes.back().status, c.status) << c.args.back() << "\n" << outcomes.back().err;
    }
    const json ok = json::parse(outcomes[0].out);
    EXPECT_EQ(ok["result"], true);
    EXPECT_EQ(ok["value"], 1.0);
    EXPECT_EQ(ok["errorNr"], 0);
    EXPECT_EQ(ok["errorString"], "");
    EXPECT_EQ(ok["reply"], "OK 1\r\n>");
    const json bad = json::parse(outcomes[1].out);
    EXPECT_EQ(bad["result"], false);
    EXPECT_EQ(bad["value"], nullptr);  // m_Value was never set in that process
    EXPECT_EQ(bad["errorNr"], 10);
    EXPECT_EQ(bad["errorString"], "Illegal command");
    EXPECT_EQ(bad["s"], "A");
    EXPECT_EQ(json::parse(outcomes[2].out)["error"]["number"], 6);
    EXPECT_NE(outcomes[3].err.find("bad.toml"), std::string::npos) << outcomes[3].err;
    EXPECT_EQ(board.stop(), (std::vector<std::string>{"PRA\r", "XYZ\r", "PRS\r"}));
}

TEST(CliCmd, TraceShowsBothDirectionsOnStandardError) {
    BoardThread board;
    const Outcome o = run({"cmd", "--trace", "--device", board.path(), "PRA"});
    EXPECT_EQ(o.status, 0) << o.err;
    EXPECT_NE(o.err.find("> \"PRA\" 0D"), std::string::npos) << o.err;
    EXPECT_NE(o.err.find("< \"OK 1\" 0D 0A \">\""), std::string::npos) << o.err;
    EXPECT_EQ(o.out.find("0D"), std::string::npos) << o.out;
}

TEST(CliShell, JsonLinesCarryResultsArgumentsEventsAndErrors) {
    BoardThread board([](vantrel::sim::PtyBoard& b) {
        // Every reply starts with an "H", so each call raises InterruptHigh before NewData.
        b.engine().setReplyPrefix("H\r\n");
    });
    Tool shell({"shell", "--json", "--device", board.path()});
    shell.write(
        "OpenPort\n"
        "Command \"PRA\"\n"
        "Port\n"
        "Port = 3\n"
        "PortIsOpen = True\n"
        "ADC10 3\n"
        "NoSuchMember\n"
        "Command \"unfinished\n"
        "quit\n");
    const Outcome o = shell.finish();
    ASSERT_EQ(o.status, 0) << o.err;
    const std::vector<json> out = jsonLines(o.out);
    ASSERT_EQ(out.size(), 8u) << o.out;

    EXPECT_EQ(out[0]["call"], "OpenPort");
    EXPECT_EQ(out[0]["result"], true);

    EXPECT_EQ(out[1]["call"], "Command");
    EXPECT_EQ(out[1]["kind"], "method");
    EXPECT_EQ(out[1]["id"], 0x6003000C);
    EXPECT_EQ(out[1]["result"], true);
    EXPECT_EQ(out[1]["args"].size(), 1u);
    EXPECT_TRUE(out[1]["args"][0].is_string());
    EXPECT_EQ(
        out[1]["events"],
        json::parse(R"([{"event":"InterruptHigh"},{"event":"NewData","value":1.0,"text":""}])"));

    EXPECT_EQ(out[2]["kind"], "get");
    EXPECT_EQ(out[2]["result"], 1);
    EXPECT_EQ(out[3]["kind"], "put");
    EXPECT_FALSE(out[3].contains("error"));

    EXPECT_EQ(out[4]["error"]["number"], 393);
    EXPECT_FALSE(out[4].contains("result"));
    EXPECT_EQ(out[4]["args"], json::parse("[true]"));

    EXPECT_EQ(out[5]["call"], "ADC10");
    EXPECT_EQ(out[5]["args"], json::parse("[48]"));  // the address word, written back
    ASSERT_FALSE(out[5]["events"].empty());
    EXPECT_EQ(out[5]["events"].back()["event"], "NewData");

    EXPECT_EQ(out[6]["error"]["number"], 438);
    EXPECT_TRUE(out[7].contains("syntaxError"));
    const auto sent = board.stop();
    ASSERT_GE(sent.size(), 2u);
    EXPECT_EQ(sent[0], "PRA\r");
}

TEST(CliShell, TextAndInterruptsBetweenCallsArriveAsTheyCome) {
    BoardThread board([](vantrel::sim::PtyBoard& b) {
        b.setUnsolicitedEvery("L\r\n", std::chrono::milliseconds(20));
    });
    Tool shell({"shell", "--json", "--device", board.path()});
    shell.write("OpenPort\n");
    ASSERT_TRUE(shell.waitLine([](const std::string& l) { return l.find("OpenPort") != l.npos; }));
    // No further input: what follows can only come from the loop running while the shell waits.
    const auto received =
        shell.waitLine([](const std::string& l) { return l.find("received") != l.npos; });
    ASSERT_TRUE(received);
    EXPECT_EQ(json::parse(*received), json::parse(R"({"received":"L\r\n"})"));
    const auto event =
        shell.waitLine([](const std::string& l) { return l.find("event") != l.npos; });
    ASSERT_TRUE(event);
    EXPECT_EQ(json::parse(*event), json::parse(R"({"event":"InterruptLow"})"));
    shell.write("quit\n");
    EXPECT_EQ(shell.finish().status, 0);
}

TEST(CliShell, PlainOutputAndHelp) {
    BoardThread board;
    const Outcome o =
        run({"shell", "--device", board.path()}, "help\nOpenPort\nCommand \"\\x50RA\"\nErrorNr\n");
    EXPECT_EQ(o.status, 0) << o.err;
    EXPECT_NE(o.out.find("ADCReSynchronize  method  0x60030021"), std::string::npos) << o.out;
    EXPECT_NE(o.out.find("OpenPort -> True"), std::string::npos) << o.out;
    EXPECT_NE(o.out.find("  event NewData(1, \"\")"), std::string::npos) << o.out;
    EXPECT_NE(o.out.find("ErrorNr -> 0"), std::string::npos) << o.out;
    EXPECT_EQ(board.stop(), std::vector<std::string>{"PRA\r"});  // \x50 is "P"
}

TEST(CliRead, CountedReadingsAsCsv) {
    BoardThread board([](vantrel::sim::PtyBoard& b) { b.engine().setReading(10, 3, 805.25); });
    const Outcome o = run({"read", "--device", board.path(), "--bits", "10", "--channel", "3",
                           "--count", "3", "--interval", "0", "--csv"});
    EXPECT_EQ(o.status, 0) << o.err;
    const auto rows = lines(o.out);
    ASSERT_EQ(rows.size(), 4u) << o.out;
    EXPECT_EQ(rows[0], "time,bits,channel,value,result,error");
    for (std::size_t i = 1; i < rows.size(); ++i) {
        const std::size_t comma = rows[i].find(',');
        EXPECT_EQ(rows[i].substr(comma), ",10,3,805.25,True,") << rows[i];
    }
    // The address is written once; the later readings hit the cache.
    EXPECT_EQ(board.stop(), (std::vector<std::string>{"PCSA128\r", "PWS48\r", "PRS\r", "@", "@",
                                                      "PRS\r", "@", "PRS\r", "@"}));
}

// Several channels in rounds, one record each, scaled; the summary goes to standard error.
TEST(CliRead, SeveralChannelsScaled) {
    BoardThread board([](vantrel::sim::PtyBoard& b) {
        b.engine().setReading(12, 3, 2047.5);
        b.engine().setReading(12, 5, 4095);
    });
    const Outcome o = run({"read", "--device", board.path(), "--bits", "12", "--channel", "3,5",
                           "--count", "2", "--interval", "0", "--volts", "4.095", "--json"});
    EXPECT_EQ(o.status, 0) << o.err;
    const std::vector<json> out = jsonLines(o.out);
    ASSERT_EQ(out.size(), 4u) << o.out;
    for (std::size_t i = 0; i < out.size(); ++i) {
        EXPECT_EQ(out[i]["channel"], i % 2 == 0 ? 3 : 5);
        EXPECT_EQ(out[i]["value"], i % 2 == 0 ? 2047.5 : 4095.0);
        EXPECT_NEAR(out[i]["scaled"].get<double>(), i % 2 == 0 ? 2.0475 : 4.095, 1e-12);
    }
    EXPECT_NE(o.err.find("channel bits   count failures       min       max      mean (scaled)\n"
                         "      3   12       2        0    2.0475    2.0475    2.0475\n"
                         "      5   12       2        0     4.095     4.095     4.095\n"),
              std::string::npos)
        << o.err;
}

TEST(CliRead, ExitStatusFalseWhenAReadingFails) {
    BoardThread board([](vantrel::sim::PtyBoard& b) {
        b.engine().scriptReplies({"OK 0\r\n>", "OK 48\r\n>", "OK 0\r\n>", "OK 1\r\n>", "OK 0\r\n>",
                                  "OK 0\r\n>", "?5 Busy\r\n>"});
    });
    const Outcome o = run({"read", "--device", board.path(), "--bits", "10", "--channel", "3",
                           "--count", "2", "--interval", "0", "--json"});
    EXPECT_EQ(o.status, 1) << o.err;
    const std::vector<json> out = jsonLines(o.out);
    ASSERT_EQ(out.size(), 2u) << o.out;
    EXPECT_EQ(out[0]["result"], true);
    EXPECT_EQ(out[0]["value"], 4.0);
    EXPECT_EQ(out[0]["address"], 48);
    EXPECT_EQ(out[1]["result"], false);
    EXPECT_EQ(out[1]["value"], nullptr);
    EXPECT_EQ(out[1]["errorString"], "Busy");
}

TEST(CliSelftest, TableAndExitStatus) {
    {
        BoardThread healthy;
        const Outcome o = run({"selftest", "--device", healthy.path()});
        EXPECT_EQ(o.status, 0) << o.out << o.err;
        const auto rows = lines(o.out);
        ASSERT_EQ(rows.size(), 8u) << o.out;  // header and seven checks
        for (std::size_t i = 1; i < rows.size(); ++i)
            EXPECT_TRUE(rows[i].ends_with("pass")) << rows[i];
    }
    BoardThread drifting([](vantrel::sim::PtyBoard& b) { b.engine().setReading(10, 11, 523.25); });
    const Outcome o = run({"selftest", "--device", drifting.path(), "--bits", "10"});
    EXPECT_EQ(o.status, 1) << o.out << o.err;
    const auto rows = lines(o.out);
    ASSERT_EQ(rows.size(), 4u) << o.out;
    EXPECT_EQ(rows[2], "10     half scale  523.25    502..522    FAIL    Returned value: 523.25");
    EXPECT_TRUE(rows[3].ends_with("pass")) << rows[3];
}

TEST(CliFind, FindsTheBoardAmongMissingAndSilentPortsAndSavesIt) {
    BoardThread silent([](vantrel::sim::PtyBoard& b) { b.engine().setSilent(true); });
    BoardThread board;
    TempDir dir;
    const std::string form = (dir.path / "form.toml").string();
    const std::string missing = (dir.path / "missing").string();
    const std::string link = (dir.path / "board").string();
    std::filesystem::create_symlink(board.path(), link);
    const std::string ports = (dir.path / "ports.toml").string();
    const ScopedEnv portsFile("VANTREL_PORTS", ports);
    const Outcome o = run({"find", "--baud", "19200", "--map", "1=" + missing, "--map",
                           "2=" + silent.path(), "--map", "3=" + link, "--form", form, "--save"});
    EXPECT_EQ(o.status, 0) << o.err;
    EXPECT_EQ(o.out, "Board found on COM3 (" + link + ") at 19200 baud\n");
    const auto progress = lines(o.err);
    ASSERT_GE(progress.size(), 7u) << o.err;
    // Each port is announced before its probe, and its outcome follows.
    EXPECT_EQ(progress[1], "probing COM1 (" + missing + ") ...");
    EXPECT_NE(progress[2].find("not opened: open " + missing + ": No such file or directory"),
              std::string::npos)
        << progress[2];
    EXPECT_EQ(progress[3], "probing COM2 (" + silent.path() + ") ...");
    EXPECT_NE(progress[4].find("not acknowledged: Serial port timed out"), std::string::npos)
        << progress[4];
    EXPECT_EQ(progress[5], "probing COM3 (" + link + ") ...");
    EXPECT_TRUE(progress[6].ends_with("answered")) << progress[6];

    // The form keeps port and rate, the ports file where COM3 is: the next command reaches the
    // board from the form alone.
    const Outcome r =
        run({"read", "--form", form, "--bits", "12", "--channel", "0", "--count", "1"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.err.find("on COM3"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("at 19200 baud"), std::string::npos) << r.err;
    EXPECT_EQ(vantrel::loadPortsFile(ports), (std::map<int, std::string>{{3, link}}));
    // A pseudo-terminal's own name is not stored: the next terminal may get it.
    const Outcome pts = run({"ports", "--assign", "4=" + board.path()});
    EXPECT_EQ(pts.status, 3);
    EXPECT_NE(pts.err.find("is a pseudo-terminal"), std::string::npos) << pts.err;
    EXPECT_EQ(vantrel::loadPortsFile(ports).size(), 1u);
    const auto sent = board.stop();
    ASSERT_FALSE(sent.empty());
    EXPECT_EQ(sent.front(), "PRA\r");
    EXPECT_EQ(sent.back(), "@");
    EXPECT_EQ(silent.stop(), std::vector<std::string>{"PRA\r"});
}

TEST(CliFind, NoBoardAnywhere) {
    BoardThread silent([](vantrel::sim::PtyBoard& b) { b.engine().setSilent(true); });
    TempDir dir;
    std::vector<std::string> args = {"find", "--json"};
    for (int n = 1; n <= 8; ++n) {
        args.push_back("--map");
        args.push_back(std::to_string(n) + "=" +
                       (n == 5 ? silent.path() : (dir.path / "none").string()));
    }
    const Outcome o = run(args);
    EXPECT_EQ(o.status, 1) << o.err;
    const json j = json::parse(o.out);
    EXPECT_EQ(j["result"], false);
    EXPECT_EQ(j["port"], nullptr);
    ASSERT_EQ(j["probes"].size(), 8u);
    for (int n = 1; n <= 8; ++n) {
        EXPECT_EQ(j["probes"][n - 1]["port"], n);
        EXPECT_EQ(j["probes"][n - 1]["answered"], false);
    }
    EXPECT_EQ(j["probes"][4]["outcome"], "not acknowledged: Serial port timed out");
    EXPECT_EQ(run({"find", "--save"}).status, 2);  // --save needs --form
}

TEST(CliResync, RecoversAConverterThatFellOutOfStep) {
    // The converter falls out of step once the tool's first conversion (five commands) is done.
    // With a reply delay every reply leaves in a later pass than its command arrived, so the
    // board's loop passes between the fifth command and the sixth.
    BoardThread board([](vantrel::sim::PtyBoard& b) { b.engine().setReplyDelay(1ms); },
                      [](vantrel::sim::PtyBoard& b) {
                          if (b.lines().size() == 5 && !b.engine().outOfStep())
                              b.engine().setOutOfStep(true);
                      });
    const Outcome o = run({"resync", "--device", board.path(), "--bits", "10"});
    EXPECT_EQ(o.status, 0) << o.out << o.err;
    EXPECT_EQ(o.out,
              "ADC10 channel 11: 512\n"
              "ADCReSynchronize -> True, reading 512\n");
    const auto sent = board.stop();
    ASSERT_EQ(sent.size(), 13u);
    // A failing test, "PCSA128", a test, "PRS" and the final test.
    EXPECT_EQ(
        std::vector<std::string>(sent.begin() + 5, sent.end()),
        (std::vector<std::string>{"PRS\r", "@", "PCSA128\r", "PRS\r", "@", "PRS\r", "PRS\r", "@"}));
}

TEST(CliConfig, WritesTheEntryThatLaterCommandsLoad) {
    TempDir dir;
    const std::string form = (dir.path / "form.toml").string();
    EXPECT_EQ(run({"config", "--form", form, "--port", "4", "--baud", "19200", "--save"}).status,
              0);
    const Outcome shown = run({"config", "--form", form});
    EXPECT_EQ(shown.status, 0);
    EXPECT_EQ(shown.out, form + " [VantrelCtrl1]: Port 4, Bauds 19200, PortIsOpen False\n");
    EXPECT_EQ(json::parse(run({"config", "--form", form, "--json"}).out),
              (json{{"form", form},
                    {"name", "VantrelCtrl1"},
                    {"saved", false},
                    {"port", 4},
                    {"baud", 19200},
                    {"portIsOpen", false}}));
    EXPECT_EQ(run({"config", "--port", "4"}).status, 2);  // no form
}

// An ISO 8601 local date-time with milliseconds and its offset from UTC.
bool isDateTime(const std::string& text) {
    static const std::regex form(R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}[+-]\d\d:\d\d)");
    return std::regex_match(text, form);
}

TEST(CliResync, JsonIsOneDocument) {
    BoardThread board;
    const std::string refused = "Cannot resynchronize ADC before reading it first";
    const Outcome first = run({"resync", "--device", board.path(), "--json"});
    EXPECT_EQ(first.status, 1) << first.err;
    EXPECT_EQ(first.out, R"({"bits":null,"conversion":null,"result":false,"reading":null,)"
                         R"("errorString":")" +
                             refused + "\"}\n");
    const Outcome plain = run({"resync", "--device", board.path()});
    EXPECT_EQ(plain.out, "ADCReSynchronize -> False, reading -, \"" + refused + "\"\n");

    const Outcome o = run({"resync", "--device", board.path(), "--bits", "12", "--json"});
    EXPECT_EQ(o.status, 0) << o.err;
    const std::vector<json> docs = jsonLines(o.out);
    ASSERT_EQ(docs.size(), 1u) << o.out;
    EXPECT_EQ(docs[0],
              (json{{"bits", 12},
                    {"conversion",
                     {{"channel", 11}, {"result", true}, {"value", 2048}, {"errorString", ""}}},
                    {"result", true},
                    {"reading", 2048},
                    {"errorString", ""}}));
}

TEST(CliMonitor, CsvAndJsonRecordsStartWithTheDateTime) {
    BoardThread board([](vantrel::sim::PtyBoard& b) { b.setUnsolicitedEvery("L\r\n", 20ms); });
    // Each record: its date-time, then the text received or the event, whose value is missing.
    const std::regex csv(R"(([^,]+),(received,,(L\\r\\n)+|InterruptLow,,))");
    const std::regex jsonRecord(
        R"re(\{"time":"([^"]+)",("received":"(L\\r\\n)+"|"event":"InterruptLow")\})re");
    for (const std::string format : {"--csv", "--json"}) {
        Tool tool({"monitor", "--device", board.path(), format});
        ASSERT_TRUE(
            tool.waitLine([](const std::string& l) { return l.find("InterruptLow") != l.npos; }));
        tool.signal(SIGINT);
        const Outcome o = tool.finish();
        EXPECT_EQ(o.status, 130) << o.err;
        std::vector<std::string> rows = lines(o.out);
        if (format == "--csv") {
            ASSERT_FALSE(rows.empty());
            EXPECT_EQ(rows.front(), "time,event,value,text");
            rows.erase(rows.begin());
        }
        EXPECT_GE(rows.size(), 2u) << o.out;
        std::smatch m;
        for (const std::string& row : rows)
            EXPECT_TRUE(std::regex_match(row, m, format == "--csv" ? csv : jsonRecord) &&
                        isDateTime(m[1]))
                << row;
    }
    EXPECT_EQ(run({"monitor", "--csv", "--json"}).status, 2);
}

// Where there is no value: "-" in text, null in JSON (an empty CSV field is in monitor's test).
TEST(CliTool, MissingValuesHaveOneSpellingPerFormat) {
    // A machine whose ttyS0 is the kernel console: COM1 has no device.
    TempDir dir;
    std::filesystem::create_directories(dir.path / "proc");
    std::ofstream(dir.path / "proc" / "cmdline") << "quiet console=ttyS0,115200n8\n";
    const ScopedEnv machine("VANTREL_SYSROOT", dir.path.string());

    const Outcome ports = run({"ports"});
    EXPECT_NE(ports.out.find("\n  COM1   -  "), std::string::npos) << ports.out;
    const json portsJson = json::parse(run({"ports", "--json"}).out);
    EXPECT_EQ(portsJson["map"][0]["device"], nullptr);
    EXPECT_EQ(portsJson["map"][1]["note"], nullptr);

    const Outcome find = run({"find"});
    EXPECT_NE(find.err.find("\n  COM1  -  "), std::string::npos) << find.err;
    EXPECT_EQ(json::parse(run({"find", "--json"}).out)["probes"][0]["device"], nullptr);
}

// The subcommands the tool registers, as its own help lists them.
std::vector<std::string> registeredSubcommands() {
    const std::string help = run({"--help"}).out;
    std::vector<std::string> subs;
    std::istringstream lines(help.substr(help.find("Subcommands:")));
    std::string line;
    std::getline(lines, line);
    while (std::getline(lines, line) && line.rfind("  ", 0) == 0) {
        std::istringstream words(line);
        std::string name;
        words >> name;
        subs.push_back(name);
    }
    return subs;
}

TEST(CliTool, HelpAndUsageErrors) {
    const std::vector<std::string> subs = registeredSubcommands();
    ASSERT_GE(subs.size(), 11u);
    for (const std::string& sub : subs) {
        // Each command's own usage, not the tool's.
        const Outcome o = run({sub, "--help"});
        EXPECT_EQ(o.status, 0) << sub;
        EXPECT_NE(o.out.find("vantrel " + sub + " [OPTIONS]"), std::string::npos) << o.out;
    }
    EXPECT_EQ(run({"read", "--bits", "9", "--channel", "1"}).status, 2);
    EXPECT_EQ(run({"read", "--channel", "1"}).status, 2);
    EXPECT_EQ(run({"read", "--bits", "8", "--channel", "1", "--json", "--csv"}).status, 2);
    for (const char* count : {"1e400", "99999999999999999999999", "-1"}) {
        const Outcome o = run({"read", "--bits", "8", "--channel", "1", "--count", count});
        EXPECT_EQ(o.status, 2);
        EXPECT_NE(o.err.find("expected a whole number from 0 to 1000000000, got "),
                  std::string::npos)
            << o.err;
        EXPECT_LT(o.err.size(), 200u) << o.err;
    }
    EXPECT_EQ(run({"no-such-command"}).status, 2);
}

TEST(CliDemo, RunsTheTourAndSucceeds) {
    const Outcome o = run({"demo"});
    EXPECT_EQ(o.status, 0) << o.out << o.err;
    for (const char* step : {"FindChip -> True: Port 3", "Illegal command", "reading 805.25",
                             "ADCReSynchronize -> True", "event InterruptLow",
                             "OpenPort -> True, Command(\"PRA\") -> True",
                             "-> False, reading -, the 8-bit converter has no channel 12 (channels "
                             "0 to 11); nothing was sent"})
        EXPECT_NE(o.out.find(step), std::string::npos) << step;
    // The inputs that move do move: the sine's readings are not one value.
    const std::size_t sine = o.out.find("ADC10(6):");
    ASSERT_NE(sine, std::string::npos) << o.out;
    std::istringstream values(o.out.substr(sine + 9, o.out.find('\n', sine) - sine - 9));
    std::set<std::string> distinct;
    for (std::string v; values >> v;) distinct.insert(v);
    EXPECT_GE(distinct.size(), 3u) << o.out.substr(sine, 200);
    // Without a command, the tool runs the demo.
    EXPECT_EQ(lines(run({}).out).front(), lines(o.out).front());
}

// The line settings of a pty's slave side, as the next program to open it finds them.
termios lineSettings(const std::string& path) {
    vantrel::Fd fd(::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
    termios t{};
    EXPECT_TRUE(fd && ::tcgetattr(fd.get(), &t) == 0) << path;
    return t;
}

bool sameLine(const termios& a, const termios& b) {
    return ::cfgetospeed(&a) == ::cfgetospeed(&b) && a.c_iflag == b.c_iflag &&
           a.c_oflag == b.c_oflag && a.c_cflag == b.c_cflag && a.c_lflag == b.c_lflag;
}

// A signal lets the call in progress finish (a silent board: the reply times out), puts the
// line settings back and ends with 128 + its number; a second signal ends at once.
TEST(CliSignals, StopAfterTheCallInProgressAndPutTheLineBack) {
    BoardThread silent([](vantrel::sim::PtyBoard& b) { b.engine().setSilent(true); });
    TempDir dir;
    const std::string none = (dir.path / "none").string();
    const termios before = lineSettings(silent.path());
    const std::vector<std::string> read = {"read",    "--bits", "10",         "--channel", "3",
                                           "--count", "0",      "--interval", "0"};
    struct Case {
        std::vector<std::string> args;
        int signo;
        bool twice;
        std::string said;
    };
    std::vector<Case> cases = {
        {{"cmd", "PRA"}, SIGINT, false, "the call in progress"},
        {{"selftest"}, SIGTERM, false, "the call in progress"},
        {{"resync", "--bits", "12"}, SIGINT, false, "the call in progress"},
        {read, SIGTERM, false, "the reading in progress"},
        {read, SIGINT, true, "the reading in progress"},
        {{"find"}, SIGINT, false, "the port being probed"},
    };
    for (auto& c : cases) {
        SCOPED_TRACE(c.args.front() + (c.twice ? " twice" : ""));
        // At 300 baud a reply times out after 8.3 s: a second signal must not wait for it.
        c.args.insert(c.args.end(), {"--trace", "--baud", c.twice ? "300" : "9600"});
        if (c.args.front() == "find") {
            for (int n = 2; n <= 8; ++n)
                c.args.insert(c.args.end(), {"--map", std::to_string(n) + "=" + none});
            c.args.insert(c.args.end(), {"--map", "1=" + silent.path()});
        } else {
            c.args.insert(c.args.end(), {"--device", silent.path()});
        }
        Tool tool(c.args);
        ASSERT_TRUE(tool.waitErr("] > \"")) << "nothing written";
        tool.signal(c.signo);
        if (c.twice) {
            ASSERT_TRUE(tool.waitErr("Ctrl-C again ends at once"));
            tool.signal(c.signo);
        }
        const Outcome o = tool.finish();
        EXPECT_EQ(o.status, 128 + c.signo) << o.err;
        EXPECT_NE(o.err.find("vantrel: stopping after " + c.said), std::string::npos) << o.err;
        if (c.twice) {
            EXPECT_LT(o.wallSeconds, 4.0);
        }
        EXPECT_TRUE(sameLine(lineSettings(silent.path()), before));
    }
}

// Readings that cannot succeed neither spin nor print the same failure over and over.
TEST(CliSignals, ReadNeverSpins) {
    {  // Channels the converter does not have: refused at once, without asking the board.
        BoardThread board;
        for (const auto& [bits, channel] : {std::pair{"10", "99"}, std::pair{"8", "12"}}) {
            const Outcome o = run({"read", "--device", board.path(), "--bits", bits, "--channel",
                                   channel, "--count", "0", "--interval", "0"});
            EXPECT_EQ(o.status, 1) << o.err;
            EXPECT_EQ(lines(o.out).size(), 1u) << o.out;
            EXPECT_NE(o.err.find("refused the reading without asking the device"),
                      std::string::npos)
                << o.err;
        }
    }
    {  // A board that never answers: each reading times out; a repeat is only counted.
        BoardThread silent([](vantrel::sim::PtyBoard& b) { b.engine().setSilent(true); });
        Tool tool({"read", "--device", silent.path(), "--baud", "115200", "--bits", "10",
                   "--channel", "3", "--count", "0", "--interval", "0"});
        ASSERT_TRUE(tool.waitLine([](const std::string& l) { return l.ends_with("timed out"); }));
        // Some forty more timeouts of 22 ms go by; none of them is printed again.
        EXPECT_FALSE(tool.waitLine([](const std::string&) { return true; }, 1000ms));
        tool.signal(SIGINT);
        const Outcome o = tool.finish();
        EXPECT_EQ(o.status, 130) << o.err;
        EXPECT_NE(o.err.find("the same failure"), std::string::npos) << o.err;
        EXPECT_LT(o.cpuSeconds, 0.5 * o.wallSeconds) << o.cpuSeconds << " s of " << o.wallSeconds;
    }
    {  // The board goes away after the first reading.
        BoardThread board({}, [](vantrel::sim::PtyBoard& b) {
            if (b.lines().size() >= 4) b.hangUp();
        });
        const Outcome o = run({"read", "--device", board.path(), "--bits", "10", "--channel", "3",
                               "--count", "0", "--interval", "0"});
        EXPECT_EQ(o.status, 1) << o.err;
        EXPECT_NE(o.err.find("vantrel: the device closed the line"), std::string::npos) << o.err;
        EXPECT_LT(o.cpuSeconds, 0.5 * o.wallSeconds + 0.1);
    }
}

// With SIGPIPE ignored, a reader that goes away ends read (EPIPE) instead of reading forever.
TEST(CliRead, ClosedOutputEndsIt) {
    BoardThread board;
    struct sigaction ignore {
    }, old{};
    ignore.sa_handler = SIG_IGN;
    ASSERT_EQ(::sigaction(SIGPIPE, &ignore, &old), 0);
    Tool tool({"read", "--device", board.path(), "--bits", "12", "--channel", "0", "--count", "0",
               "--interval", "0"});
    ::sigaction(SIGPIPE, &old, nullptr);
    ASSERT_TRUE(tool.waitLine([](const std::string&) { return true; }));
    tool.closeOutput();
    const Outcome o = tool.finish(10s);
    EXPECT_EQ(o.status, 1) << o.err;
    EXPECT_NE(o.err.find("write standard output: Broken pipe"), std::string::npos) << o.err;
}

// A standard output that is closed is said to be, and no descriptor opened later (the event
// loop, the port) takes its number and what is meant for it.
TEST(CliTool, ClosedStandardOutputIsSaidAsSuch) {
    BoardThread board;
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{"cmd", "--device", board.path(), "PRA"},
          std::vector<std::string>{"ports"}}) {
        const Outcome o = Tool(args, true).finish();
        EXPECT_EQ(o.status, 1) << args.front() << ": " << o.err;
        EXPECT_NE(o.err.find("vantrel: write standard output: Bad file descriptor"),
                  std::string::npos)
            << args.front() << ": " << o.err;
    }
    EXPECT_EQ(board.stop(), std::vector<std::string>{"PRA\r"});
}

// Fed from a pipe, term ends after its input even while the board talks more often than the
// linger time.
TEST(CliTerm, FromAPipeEndsWhileTheBoardKeepsTalking) {
    BoardThread board([](vantrel::sim::PtyBoard& b) { b.setUnsolicitedEvery("L\r\n", 50ms); });
    const Outcome o = run({"term", "--device", board.path(), "--linger", "200"}, "PRA\n");
    EXPECT_EQ(o.status, 0) << o.err;  // -1: it did not end, and was killed
    EXPECT_NE(o.out.find("OK 1\\r\\n"), std::string::npos) << o.out;
    EXPECT_NE(o.out.find("L\\r\\n"), std::string::npos) << o.out;
    EXPECT_EQ(board.stop(), std::vector<std::string>{"PRA\r"});
}

// What the board says reaches the terminal escaped in every command.
TEST(CliTool, DeviceTextIsEscaped) {
    const std::string nasty = "\x1b[2J\a\b";
    BoardThread board([&](vantrel::sim::PtyBoard& b) {
        b.engine().scriptReplies(std::vector<std::string>(12, "?7 " + nasty + "\r\n>"));
    });
    TempDir dir;
    std::vector<std::string> find = {"find", "--map", "1=" + board.path()};
    for (int n = 2; n <= 8; ++n)
        find.insert(find.end(), {"--map", std::to_string(n) + "=" + (dir.path / "none").string()});
    const std::vector<std::vector<std::string>> commands = {
        {"read", "--device", board.path(), "--bits", "12", "--channel", "0"},
        {"read", "--device", board.path(), "--bits", "12", "--channel", "0", "--csv"},
        {"selftest", "--device", board.path(), "--bits", "8"},
        {"cmd", "--device", board.path(), "PRA"},
        find,
    };
    for (const auto& args : commands) {
        const Outcome o = run(args);
        EXPECT_EQ(o.out.find_first_of("\x1b\a\b"), std::string::npos) << args.front();
        EXPECT_EQ(o.err.find_first_of("\x1b\a\b"), std::string::npos) << args.front();
        EXPECT_NE((o.out + o.err).find("\\x1b[2J\\x07\\x08"), std::string::npos)
            << args.front() << ": " << o.out << o.err;
    }
}

// Bad values from a form or the command line end with a clear error before the line is used.
TEST(CliTool, BadValuesAreRefusedClearly) {
    BoardThread silent([](vantrel::sim::PtyBoard& b) { b.engine().setSilent(true); });
    TempDir dir;
    const std::string form = (dir.path / "form.toml").string();
    const std::string file = (dir.path / "plain").string();
    std::ofstream(file) << "x";
    struct Case {
        std::string formText;
        std::vector<std::string> args;
        int status;
        std::string said;
    };
    const std::vector<std::string> read = {"read", "--bits", "10", "--channel", "3"};
    const auto with = [](std::vector<std::string> a, std::vector<std::string> more) {
        a.insert(a.end(), more.begin(), more.end());
        return a;
    };
    const Case cases[] = {
        {"[VantrelCtrl1]\nBauds = 1\n", with(read, {"--form", form, "--device", silent.path()}), 2,
         "form " + form + ", entry VantrelCtrl1, Bauds 1: the rate must be one of"},
        {"[VantrelCtrl1]\nPort = 99\n", with(read, {"--form", form, "--device", silent.path()}), 2,
         "form " + form + ", entry VantrelCtrl1, Port 99: the port must be from 1 to 8"},
        {"[VantrelCtrl1]\nPort = \"abc\"\n", with(read, {"--form", form}), 3,
         "error 13: form " + form + ", entry VantrelCtrl1, Port: Type mismatch"},
        {"", with(read, {"--device", ""}), 2, "the device path cannot be empty"},
        {"", with(read, {"--device", "/dev/null"}), 1, "/dev/null is not a terminal"},
        {"", with(read, {"--device", file}), 1, file + " is not a terminal"},
        {"", {"monitor", "--seconds", "nan", "--device", silent.path()}, 2, "--seconds"},
        {"", {"monitor", "--seconds", "1e30", "--device", silent.path()}, 2, "--seconds"},
        {"", {"monitor", "--seconds", "-1", "--device", silent.path()}, 2, "--seconds"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.formText + " " + c.said);
        std::filesystem::remove(form);
        if (!c.formText.empty()) std::ofstream(form) << c.formText;
        const Outcome o = run(c.args);
        EXPECT_EQ(o.status, c.status) << o.err;
        EXPECT_NE(o.err.find(c.said), std::string::npos) << o.err;
    }
}

// A line without an end is refused once it passes 64 KiB; the shell stays small and goes on.
TEST(CliShell, OverlongLineIsRefused) {
    Tool tool({"shell", "--json"});
    tool.write(std::string(16 << 20, 'x'));
    tool.write("\nPort\n");
    const Outcome o = tool.finish();
    EXPECT_EQ(o.status, 0) << o.err;
    const std::vector<json> out = jsonLines(o.out);
    ASSERT_EQ(out.size(), 2u) << o.out.substr(0, 300);
    EXPECT_EQ(out[0]["syntaxError"], "line longer than 65536 bytes, ignored up to its end");
    EXPECT_EQ(out[1]["call"], "Port");
}

}  // namespace

// A machine with one USB adapter under `root`: sysfs entries with the adapter's descriptor
// strings, the device node (a link to `target`, a simulated board's pseudo-terminal) and its
// by-id link called `byIdName`. Returns the device node and the by-id link.
static std::pair<std::string, std::string> fakeUsbAdapter(
    const std::filesystem::path& root, const std::string& target,
    const std::map<std::string, std::string>& descriptors, const std::string& byIdName) {
    namespace fs = std::filesystem;
    const fs::path usb = root / "sys" / "devices" / "pci0" / "usb1" / "1-1";
    const fs::path port = usb / "1-1:1.0" / "ttyUSB0";
    fs::create_directories(port / "tty" / "ttyUSB0");
    fs::create_directories(root / "sys" / "bus" / "drivers" / "ftdi_sio");
    fs::create_directories(root / "sys" / "class" / "tty");
    fs::create_directories(root / "dev" / "serial" / "by-id");
    fs::create_symlink("../../../../../../bus/drivers/ftdi_sio", port / "driver");
    fs::create_symlink("../../../ttyUSB0", port / "tty" / "ttyUSB0" / "device");
    fs::create_symlink("../../devices/pci0/usb1/1-1/1-1:1.0/ttyUSB0/tty/ttyUSB0",
                       root / "sys" / "class" / "tty" / "ttyUSB0");
    for (const auto& [name, value] : descriptors) std::ofstream(usb / name) << value << "\n";
    fs::create_symlink(target, root / "dev" / "ttyUSB0");
    const std::string byId = (root / "dev" / "serial" / "by-id" / byIdName).string();
    fs::create_symlink("../../ttyUSB0", byId);
    return {(root / "dev" / "ttyUSB0").string(), byId};
}

// A machine with one USB adapter, in a temporary folder.
TEST(CliPorts, AnAdapterIsFoundAssignedAndKeptByItsByIdPath) {
    BoardThread board;
    TempDir dir;
    const std::filesystem::path root = dir.path / "machine";
    const auto [device, byId] = fakeUsbAdapter(root, board.path(),
                                               {{"idVendor", "0403"},
                                                {"idProduct", "6001"},
                                                {"serial", "A50285BI"},
                                                {"manufacturer", "FTDI"},
                                                {"product", "FT232R USB UART"}},
                                               "usb-FTDI_FT232R_USB_UART_A50285BI-if00-port0");
    const std::string ports = (dir.path / "ports.toml").string();
    const std::string form = (dir.path / "lab.toml").string();
    const ScopedEnv machine("VANTREL_SYSROOT", root.string());
    const ScopedEnv portsFile("VANTREL_PORTS", ports);

    const Outcome before = run({"ports", "--json"});
    ASSERT_EQ(before.status, 0) << before.err;
    const json listed = json::parse(before.out);
    EXPECT_EQ(listed["devices"], json::array({device}));
    EXPECT_EQ(listed["adapters"][0], (json{{"device", device},
                                           {"byId", byId},
                                           {"vendorId", "0403"},
                                           {"productId", "6001"},
                                           {"serialNumber", "A50285BI"},
                                           {"manufacturer", "FTDI"},
                                           {"product", "FT232R USB UART"},
                                           {"driver", "ftdi_sio"},
                                           {"console", false},
                                           {"port", nullptr}}));

    // find gives the adapter a free number for its scan, and --save keeps it by its by-id path.
    const Outcome found = run({"find", "--form", form, "--save"});
    EXPECT_EQ(found.status, 0) << found.err;
    EXPECT_NE(found.err.find("COM1 is " + device + " (FTDI FT232R USB UART) for this scan"),
              std::string::npos)
        << found.err;
    EXPECT_NE(found.err.find("probing COM1 (" + device + ") ..."), std::string::npos) << found.err;
    EXPECT_EQ(vantrel::loadPortsFile(ports), (std::map<int, std::string>{{1, byId}}));
    const Outcome r = run({"read", "--form", form, "--bits", "10", "--channel", "3"});
    EXPECT_EQ(r.status, 0) << r.err;

    // Assigned by hand under another number, the adapter also keeps its by-id path.
    const Outcome moved = run({"ports", "--forget", "1", "--assign", "3=" + device, "--json"});
    ASSERT_EQ(moved.status, 0) << moved.err;
    EXPECT_EQ(vantrel::loadPortsFile(ports), (std::map<int, std::string>{{3, byId}}));
    const json after = json::parse(moved.out);
    EXPECT_EQ(after["adapters"][0]["port"], 3);
    EXPECT_EQ(after["map"][2], (json{{"port", 3},
                                     {"device", byId},
                                     {"mapped", false},
                                     {"source", "stored"},
                                     {"present", true},
                                     {"note", nullptr}}));
    EXPECT_EQ(after["portsFile"], ports);

    // A malformed ports file is named, and nothing is written over it.
    std::ofstream(ports) << "[ports]\nCOM3 = 3\n";
    const Outcome bad = run({"ports"});
    EXPECT_EQ(bad.status, 3);
    EXPECT_NE(bad.err.find("ports file " + ports + ", line 2"), std::string::npos) << bad.err;
}

// The newcomer's path: find saves the form, and the shell on that form reads a channel at once.
// A form saved by an older run with the port flag set is put right, saying so.
TEST(CliShell, OnASavedFormTheFirstCallReachesTheBoard) {
    BoardThread board;
    TempDir dir;
    const std::string form = (dir.path / "lab.toml").string();
    const ScopedEnv portsFile("VANTREL_PORTS", (dir.path / "ports.toml").string());
    ASSERT_EQ(
        run({"find", "--map", "1=" + board.path(), "--form", form, "--name", "Board1", "--save"})
            .status,
        0);
    std::stringstream saved;
    saved << std::ifstream(form).rdbuf();
    EXPECT_EQ(saved.str().find("PortIsOpen"), std::string::npos) << saved.str();

    std::ofstream(form) << "[Board1]\nPortIsOpen = true\n";
    const Outcome o =
        run({"shell", "--form", form, "--name", "Board1", "--map", "1=" + board.path()},
            "ADC10 3\nOpenPort\nNoSuchWord\n");
    EXPECT_EQ(o.status, 0) << o.err;
    EXPECT_NE(o.err.find("says the port is open (saved while it was); closing it first"),
              std::string::npos)
        << o.err;
    EXPECT_NE(o.err.find("vantrel: opened COM1 (" + board.path() + ") at 9600 baud"),
              std::string::npos)
        << o.err;
    const auto out = lines(o.out);
    ASSERT_EQ(out.size(), 6u) << o.out;
    EXPECT_TRUE(out[0].starts_with("ADC10 -> True, Channel = 48")) << out[0];
    EXPECT_EQ(out[2], "OpenPort -> False");
    EXPECT_EQ(out[3],
              "  A port is already open. Close and re-open (PortIsOpen is True: ClosePort, "
              "then OpenPort again)");
    EXPECT_EQ(out[4], "NoSuchWord: error 438: Object doesn't support this property or method");
    EXPECT_EQ(out[5], "  no member called NoSuchWord (help lists them)");
}

// A board that vantrel serve holds is open already: the shell joins it at once, as it opens a
// form's port, so that the first call reaches the board.
TEST(CliShell, OnABoardThatServeHoldsTheFirstCallReachesIt) {
    BoardThread board([](vantrel::sim::PtyBoard& b) { b.engine().setReading(10, 3, 805); });
    TempDir dir;
    const std::string socket = (dir.path / "serve.sock").string();
    vantrel::testing::ChildProcess serve(
        {VANTREL_CLI, "serve", "--device", board.path(), "--name", "lab", "--socket", socket},
        (dir.path / "serve.out").string(), (dir.path / "serve.err").string(), {.endGently = true});
    ASSERT_TRUE(vantrel::testing::within(20s, [&] { return std::filesystem::exists(socket); }))
        << serve.err();
    const std::string url = "unix://" + socket + "#lab";
    const Outcome o = run({"shell", "--device", url}, "ADC10 3\nClosePort\nADC10 3\n");
    EXPECT_EQ(o.status, 0) << o.err;
    EXPECT_NE(o.err.find("vantrel: opened COM1 (" + url +
                         ") at 9600 baud, served by vantrel serve (ClosePort closes it)"),
              std::string::npos)
        << o.err;
    const auto out = lines(o.out);
    ASSERT_GE(out.size(), 4u) << o.out;
    EXPECT_TRUE(out[0].starts_with("ADC10 -> True, Channel = 48")) << o.out;
    EXPECT_EQ(out[1], "  event NewData(805, \"\")") << o.out;
    EXPECT_EQ(out[2], "ClosePort -> True") << o.out;
    // Closed, the port stays closed until OpenPort: the shell opened it once, at its start.
    EXPECT_TRUE(out[3].starts_with("ADC10 -> False")) << o.out;
}

// An open that fails says why: the device and the system's reason.
TEST(CliShell, AFailedOpenNamesTheDeviceAndTheReason) {
    TempDir dir;
    const std::string missing = (dir.path / "missing").string();
    const Outcome o = run({"shell", "--device", missing}, "OpenPort\n");
    EXPECT_EQ(o.status, 0) << o.err;
    EXPECT_EQ(o.out, "OpenPort -> False\n  Port could not be open: open " + missing +
                         ": No such file or directory\n");
}

// Ctrl-C during find ends the search after the port being probed, not after all eight.
TEST(CliSignals, FindStopsAfterThePortBeingProbed) {
    BoardThread silent([](vantrel::sim::PtyBoard& b) { b.engine().setSilent(true); });
    std::vector<std::string> args = {"find", "--trace"};
    for (int n = 1; n <= 8; ++n)
        args.insert(args.end(), {"--map", std::to_string(n) + "=" + silent.path()});
    Tool tool(args);
    ASSERT_TRUE(tool.waitErr("] > \"")) << "nothing written";
    tool.signal(SIGINT);
    const Outcome o = tool.finish();
    EXPECT_EQ(o.status, 130) << o.err;
    EXPECT_NE(o.err.find("vantrel: stopping after the port being probed"), std::string::npos)
        << o.err;
    EXPECT_EQ(o.err.find("probing COM2"), std::string::npos) << o.err;
    EXPECT_EQ(o.out, "No board answered on COM1 to COM1 at 9600 baud (stopped there)\n");
    EXPECT_EQ(silent.stop(), std::vector<std::string>{"PRA\r"});
}

// read | head: the reader goes away, and read still ends on its own terms with its summary,
// whatever the shell left SIGPIPE at.
TEST(CliRead, APipeClosedByItsReaderEndsItWithTheSummary) {
    BoardThread board;
    struct sigaction dfl {
    }, old{};
    dfl.sa_handler = SIG_DFL;
    ASSERT_EQ(::sigaction(SIGPIPE, &dfl, &old), 0);
    Tool tool({"read", "-d", board.path(), "-b", "19200", "--bits", "12", "-c", "0", "-n", "0",
               "--interval", "0"});
    ::sigaction(SIGPIPE, &old, nullptr);
    ASSERT_TRUE(tool.waitLine([](const std::string&) { return true; }));
    tool.closeOutput();
    const Outcome o = tool.finish(10s);
    EXPECT_EQ(o.status, 1) << o.err;
    EXPECT_NE(o.err.find("at 19200 baud"), std::string::npos) << o.err;
    EXPECT_NE(o.err.find("channel bits   count failures"), std::string::npos) << o.err;
    EXPECT_NE(o.err.find("write standard output: Broken pipe"), std::string::npos) << o.err;
}

// As picocom and tio users type it: the device as term's first word.
TEST(CliTerm, TheDeviceAsAPositional) {
    BoardThread board;
    const Outcome o = run({"term", board.path(), "--linger", "200"}, "PRA\n");
    EXPECT_EQ(o.status, 0) << o.err;
    EXPECT_NE(o.out.find("OK 1"), std::string::npos) << o.out;
    EXPECT_EQ(run({"term", board.path(), "--device", board.path()}).status, 2);
    EXPECT_EQ(board.stop(), std::vector<std::string>{"PRA\r"});
}

// The man page carries examples, the environment and the files next to the help.
TEST(CliTool, ManPageSections) {
    std::stringstream page;
    page << std::ifstream(std::filesystem::path(VANTREL_CLI).parent_path() / "vantrel.1").rdbuf();
    for (const char* section : {".SH EXAMPLES", ".SH ENVIRONMENT", ".SH FILES", ".SS doctor"})
        EXPECT_NE(page.str().find(section), std::string::npos) << section;
    EXPECT_NE(page.str().find(".B VANTREL_PORTS"), std::string::npos);
}

// A reply that never comes: the usual causes, once, and find tries the usual rates with auto.
TEST(CliTool, ATimeoutSaysWhatItUsuallyMeans) {
    BoardThread silent([](vantrel::sim::PtyBoard& b) { b.engine().setSilent(true); });
    const Outcome o = run({"cmd", "-d", silent.path(), "-b", "115200", "PRA"});
    EXPECT_EQ(o.status, 1) << o.err;
    EXPECT_NE(o.err.find("no reply in time usually means another baud rate (find --baud auto "
                         "tries the usual ones), a cable with TX and RX not crossed, or a board "
                         "without power"),
              std::string::npos)
        << o.err;
    BoardThread board;
    const Outcome found = run({"find", "--baud", "auto", "--json", "--map", "1=" + board.path()});
    EXPECT_EQ(found.status, 0) << found.err;
    const json j = json::parse(found.out);
    EXPECT_EQ(j["baud"], 9600);
    EXPECT_EQ(j["probes"][0]["baud"], 9600);
    EXPECT_EQ(run({"find", "--baud", "automatic"}).status, 2);
}

// Names that come from outside (an adapter's descriptor strings, its by-id link, a device in the
// ports file) reach the terminal escaped, as the board's text does: a hostile adapter cannot
// clear the screen, set the title or write the clipboard.
TEST(CliPorts, NamesFromOutsideReachTheTerminalEscaped) {
    BoardThread board;
    TempDir dir;
    const std::string clipboard = "\x1b]52;c;aGk=\x07";
    const std::string c1Csi =
        "\xc2\x9b"
        "2J";
    const auto [device, byId] = fakeUsbAdapter(dir.path / "machine", board.path(),
                                               {{"idVendor", "0403"},
                                                {"idProduct", "6001"},
                                                {"serial", "\x1b[2J"},
                                                {"manufacturer", "Evil" + clipboard},
                                                {"product", "UART" + c1Csi}},
                                               "usb-Evil\x1b]0;title\x07-if00");
    const std::string ports = (dir.path / "ports.toml").string();
    std::ofstream(ports) << "[ports]\nCOM1 = \"/nowhere/\\u001b[2J\\u009b1m\\u0007\"\n";
    const ScopedEnv machine("VANTREL_SYSROOT", (dir.path / "machine").string());
    const ScopedEnv portsFile("VANTREL_PORTS", ports);
    std::vector<std::string> find = {"find"};
    for (int n = 3; n <= 8; ++n)
        find.insert(find.end(), {"--map", std::to_string(n) + "=" + (dir.path / "none").string()});
    std::string all;
    for (const auto& args : {std::vector<std::string>{"ports"}, find}) {
        const Outcome o = run(args);
        EXPECT_EQ(o.status, 0) << args.front() << ": " << o.err;
        for (const std::string raw : {"\x1b", "\x07", "\xc2\x9b"})
            EXPECT_EQ((o.out + o.err).find(raw), std::string::npos)
                << args.front() << ": " << o.out << o.err;
        all += o.out + o.err;
    }
    for (const std::string& shown : std::vector<std::string>{
             "Evil\\x1b]52;c;aGk=\\x07 UART\\xc2\\x9b2J  serial \\x1b[2J",
             "usb-Evil\\x1b]0;title\\x07-if00", "/nowhere/\\x1b[2J\\xc2\\x9b1m\\x07",
             "COM2 is " + device + " (Evil\\x1b]52;c;aGk=\\x07 UART\\xc2\\x9b2J) for this scan"})
        EXPECT_NE(all.find(shown), std::string::npos) << shown << " not in:\n" << all;
}
