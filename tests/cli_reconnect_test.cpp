// vantrel read --reconnect against a simulated board whose link goes away and comes back at the
// same path: the readings resume, one gap record marks the time away, Ctrl-C ends a wait at once.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "linked_board.hpp"
#include "live_view.hpp"
#include "sim/sim_thread.hpp"
#include "test_support.hpp"

extern char** environ;

using namespace std::chrono_literals;
using vantrel::sim::SimThread;
namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {

// The tool as a child with its standard output and error in pipes, read as they come.
class Tool {
  public:
    explicit Tool(const std::vector<std::string>& args) {
        int out[2], err[2];
        if (::pipe2(out, O_CLOEXEC) != 0 || ::pipe2(err, O_CLOEXEC) != 0)
            throw std::runtime_error("pipe");
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, out[1], 1);
        posix_spawn_file_actions_adddup2(&actions, err[1], 2);
        std::vector<char*> argv{const_cast<char*>(VANTREL_CLI)};
        for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        const int rc = ::posix_spawn(&pid_, VANTREL_CLI, &actions, nullptr, argv.data(), environ);
        posix_spawn_file_actions_destroy(&actions);
        ::close(out[1]);
        ::close(err[1]);
        out_ = out[0];
        err_ = err[0];
        if (rc != 0) throw std::runtime_error("cannot start the tool");
    }
    ~Tool() {
        if (pid_ > 0) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
        }
        ::close(out_);
        ::close(err_);
    }
    Tool(const Tool&) = delete;
    Tool& operator=(const Tool&) = delete;

    // Reads what comes until `done` holds or `limit` passes; false then.
    template <class Done>
    bool readUntil(Done done, std::chrono::milliseconds limit) {
        const auto end = Clock::now() + limit;
        while (!done()) {
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now());
            if (left <= 0ms) return false;
            pollfd fds[2] = {{out_, POLLIN, 0}, {err_, POLLIN, 0}};
            if (::poll(fds, 2, static_cast<int>(left.count())) <= 0) continue;
            for (int i = 0; i < 2; ++i) {
                if (!(fds[i].revents & (POLLIN | POLLHUP))) continue;
                char buf[4096];
                const ssize_t n = ::read(fds[i].fd, buf, sizeof buf);
                if (n > 0) (i == 0 ? out : err).append(buf, static_cast<std::size_t>(n));
                if (n == 0 && i == 0) outEnded = true;
            }
            if (outEnded && !(fds[1].revents & POLLIN)) return done();
        }
        return true;
    }
    // Waits for the exit (bounded) and returns the status, -1 when it did not end.
    int wait(std::chrono::milliseconds limit) {
        const auto end = Clock::now() + limit;
        while (Clock::now() < end) {
            int status = 0;
            const pid_t r = ::waitpid(pid_, &status, WNOHANG);
            if (r == pid_) {
                pid_ = -1;
                return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            }
            readUntil([] { return false; }, 20ms);
        }
        return -1;
    }
    void signal(int sig) { ::kill(pid_, sig); }

    std::vector<std::string> lines() const {
        std::vector<std::string> all;
        std::istringstream in(out);
        for (std::string l; std::getline(in, l);) all.push_back(l);
        return all;
    }
    int count(const std::string& part) const {
        int n = 0;
        for (const std::string& l : lines()) n += l.find(part) != std::string::npos;
        return n;
    }

    std::string out, err;
    bool outEnded = false;

  private:
    pid_t pid_ = -1;
    int out_ = -1, err_ = -1;
};

class CliReconnect : public vantrel::testing::LinkedBoardTest {
  protected:
    void prepare(SimThread& sim) override {
        sim.call([](auto& b) { b.engine().setReading(10, 3, 512.0); });
    }
    std::vector<std::string> readArgs() const {
        return {"read",    "--device", link_,        "--bits", "10",    "--channel",  "3",
                "--count", "0",        "--interval", "50",     "--csv", "--reconnect"};
    }
};

TEST_F(CliReconnect, ReadingsResumeAfterTheLinkReturnsWithOneGapRecord) {
    Tool tool(readArgs());
    ASSERT_TRUE(tool.readUntil([&] { return tool.count(",ok,") >= 3; }, 10s)) << tool.err;
    takeAway();
    ASSERT_TRUE(
        tool.readUntil([&] { return tool.err.find("waiting for") != std::string::npos; }, 10s))
        << tool.err;
    const int before = tool.count(",ok,");
    bringUp();
    const auto back = Clock::now();
    ASSERT_TRUE(tool.readUntil([&] { return tool.count(",ok,") > before; }, 10s)) << tool.err;
    // Functional, not a timing figure (bench/ has that): inotify brings it back at once, far
    // within this bound even on a loaded machine; a poll of seconds would not.
    EXPECT_LT(Clock::now() - back, 3s);
    ASSERT_TRUE(tool.readUntil([&] { return tool.count(",ok,") > before + 3; }, 10s)) << tool.err;
    tool.signal(SIGINT);
    EXPECT_EQ(tool.wait(10s), 130) << tool.err;

    const std::vector<std::string> lines = tool.lines();
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.front(), "time,bits,channel,value,result,error,status,duration");
    EXPECT_EQ(tool.count(",gap,"), 1) << tool.out;
    for (const std::string& l : lines) {
        if (l.find(",gap,") == std::string::npos) continue;
        // time,10,3,<no value>,False,<no error>,gap,<seconds>
        EXPECT_NE(l.find(",10,3,,False,,gap,"), std::string::npos) << l;
        EXPECT_GT(std::stod(l.substr(l.rfind(',') + 1)), 0.0) << l;
    }
    // Every other record is a reading of the board: no failure from the departure.
    EXPECT_EQ(tool.count(",512,True,,ok,") + 1, static_cast<int>(lines.size()) - 1) << tool.out;
    EXPECT_NE(tool.err.find("disconnections: 1"), std::string::npos) << tool.err;
}

// Ctrl-C while the tool waits for the device ends it at once with 130; the gap is written.
// With --reconnect-timeout the wait ends by itself with status 1.
TEST_F(CliReconnect, WaitEndsOnCtrlCAndAtItsTimeout) {
    {
        Tool tool(readArgs());
        ASSERT_TRUE(tool.readUntil([&] { return tool.count(",ok,") >= 1; }, 10s)) << tool.err;
        takeAway();
        ASSERT_TRUE(
            tool.readUntil([&] { return tool.err.find("waiting for") != std::string::npos; }, 10s))
            << tool.err;
        tool.signal(SIGINT);
        EXPECT_EQ(tool.wait(5s), 130) << tool.err;
        EXPECT_EQ(tool.count(",gap,"), 1) << tool.out;
    }
    bringUp();
    std::vector<std::string> args = readArgs();
    args.insert(args.end(), {"--reconnect-timeout", "0.3"});
    Tool tool(args);
    ASSERT_TRUE(tool.readUntil([&] { return tool.count(",ok,") >= 1; }, 10s)) << tool.err;
    takeAway();
    EXPECT_EQ(tool.wait(10s), 1) << tool.err;
    EXPECT_EQ(tool.count(",gap,"), 1) << tool.out;
    EXPECT_NE(tool.err.find("did not come back within 0.3 s"), std::string::npos) << tool.err;
}

// A gap in each of the views: its record in JSON and plain lines, its mark in the table while
// away and after, and the counts in the summary.
TEST(CliReconnectViews, GapRecordsMarksAndSummary) {
    using namespace vantrel::cli;
    Reading gap;
    gap.time = "t";
    gap.channel = 3;
    gap.bits = 10;
    gap.gapSeconds = 1.5;
    const auto j = jsonRecord(gap, false);
    EXPECT_TRUE(j["value"].is_null());
    EXPECT_EQ(j["status"], "gap");
    EXPECT_EQ(j["duration"], 1.5);
    EXPECT_EQ(csvRecord(gap, false, true), "t,10,3,,False,,gap,1.5");
    EXPECT_NE(plainLine(gap, false, false).find("gap of 1.5 s"), std::string::npos);

    ChannelStats s;
    s.channel = 3;
    s.bits = 10;
    s.add(512.0, 512.0, "");
    s.away = true;
    EXPECT_NE(tableLines({s}, false, 200)[1].find("away, waiting"), std::string::npos);
    s.addGap(1.5);
    s.addGap(0.5);
    EXPECT_FALSE(s.away);
    EXPECT_EQ(s.count, 1);  // a gap is not a reading
    EXPECT_NE(tableLines({s}, false, 200)[1].find("(2 gaps)"), std::string::npos);
    EXPECT_NE(summaryLines({s}, false)[1].find("disconnections: 2, away 2 s"), std::string::npos)
        << summaryLines({s}, false)[1];
}

}  // namespace
