// The simulated board on a real pseudo-terminal, with a client on the same event loop that
// opens the slave like a serial device. Nothing sleeps: the loop is pumped until the expected
// thing has happened, with a bound.
#include <fcntl.h>
#include <sys/epoll.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "fd.hpp"
#include "sim/board_console.hpp"
#include "sim/pty_board.hpp"

namespace vantrel::sim {
namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

bool pumpUntil(EventLoop& loop, const std::function<bool()>& done,
               milliseconds bound = milliseconds(5000)) {
    const auto deadline = Clock::now() + bound;
    while (!done()) {
        const auto left = std::chrono::duration_cast<milliseconds>(deadline - Clock::now());
        if (left.count() <= 0) return false;
        loop.pumpOnce(left);
    }
    return true;
}

// A client of the line: opens the slave, writes, and collects what arrives, read by read.
class Client {
  public:
    Client(EventLoop& loop, const std::string& path)
        : fd_(::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC)) {
        if (!fd_) throw std::runtime_error(sysMessage("open", path, errno));
        watch_ = loop.watch(fd_.get(), EPOLLIN, [this](uint32_t ev) { onReady(ev); });
    }

    void write(std::string_view bytes) {
        ASSERT_EQ(::write(fd_.get(), bytes.data(), bytes.size()),
                  static_cast<ssize_t>(bytes.size()));
        sentAt = Clock::now();
    }
    void setSpeed(speed_t speed) {
        termios tio{};
        ASSERT_EQ(::tcgetattr(fd_.get(), &tio), 0);
        ::cfmakeraw(&tio);
        ::cfsetispeed(&tio, speed);
        ::cfsetospeed(&tio, speed);
        ASSERT_EQ(::tcsetattr(fd_.get(), TCSANOW, &tio), 0);
    }
    bool has(std::string_view text) const { return received.find(text) != std::string::npos; }

    std::string received;
    std::vector<std::string> reads;
    std::vector<Clock::time_point> readTimes;
    Clock::time_point sentAt{};
    bool hungUp = false;

  private:
    void onReady(uint32_t events) {
        char buf[512];
        const ssize_t n = ::read(fd_.get(), buf, sizeof buf);
        if (n > 0) {
            received.append(buf, static_cast<std::size_t>(n));
            reads.emplace_back(buf, static_cast<std::size_t>(n));
            readTimes.push_back(Clock::now());
            return;
        }
        if (n < 0 && errno == EAGAIN && !(events & EPOLLHUP)) return;
        // End of file, EIO or EPOLLHUP with nothing left: the board is gone.
        hungUp = true;
        watch_.reset();
    }

    Fd fd_;
    WatchHandle watch_;
};

class PtyBoardTest : public ::testing::Test {
  protected:
    std::unique_ptr<EventLoop> loop = makeEpollLoop();
};

TEST_F(PtyBoardTest, AnswersACommandAndRecordsIt) {
    PtyBoard board(*loop);
    EXPECT_TRUE(board.slavePath().starts_with("/dev/pts/"));
    Client client(*loop, board.slavePath());
    client.write("PRA\r");
    ASSERT_TRUE(pumpUntil(*loop, [&] { return client.has(">"); }));
    EXPECT_EQ(client.received, "OK 1\r\n>");
    EXPECT_EQ(board.lines(), std::vector<std::string>{"PRA\r"});
    EXPECT_TRUE(board.idle());
}

TEST_F(PtyBoardTest, ConversionSequenceOverTheLine) {
    PtyBoard board(*loop);
    board.engine().setReading(10, 3, 805.0);
    Client client(*loop, board.slavePath());
    const std::vector<std::pair<std::string, std::string>> exchange = {{"PCSA128\r", "OK 0\r\n>"},
                                                                       {"PWS48\r", "OK 48\r\n>"},
                                                                       {"PRS\r", "OK 201\r\n>"},
                                                                       {"@", "OK 201\r\n>"},
                                                                       {"@", "OK 64\r\n>"}};
    for (const auto& [command, reply] : exchange) {
        client.received.clear();
        client.write(command);
        ASSERT_TRUE(pumpUntil(*loop, [&] { return client.has(">"); })) << command;
        EXPECT_EQ(client.received, reply) << command;
    }
    EXPECT_EQ(board.lines(), (std::vector<std::string>{"PCSA128\r", "PWS48\r", "PRS\r", "@", "@"}));
}

TEST_F(PtyBoardTest, DelayedReplyComesNoEarlierThanTheDelay) {
    PtyBoard board(*loop);
    board.engine().setReplyDelay(milliseconds(80));
    Client client(*loop, board.slavePath());
    client.write("PRA\r");
    ASSERT_TRUE(pumpUntil(*loop, [&] { return client.has(">"); }));
    EXPECT_EQ(client.received, "OK 1\r\n>");
    EXPECT_GE(client.readTimes.front() - client.sentAt, milliseconds(80));
}

TEST_F(PtyBoardTest, SplitReplyArrivesInPieces) {
    PtyBoard board(*loop);
    board.engine().setReplySplit(2, milliseconds(30));
    Client client(*loop, board.slavePath());
    client.write("PRA\r");
    ASSERT_TRUE(pumpUntil(*loop, [&] { return client.has(">"); }));
    EXPECT_EQ(client.received, "OK 1\r\n>");
    // Four pieces with three gaps; a busy machine may merge reads, but never speed them up.
    EXPECT_GE(client.reads.size(), 2u);
    EXPECT_GE(client.readTimes.back() - client.sentAt, milliseconds(90));
    EXPECT_EQ(client.reads.front().substr(0, 2), "OK");
}

TEST_F(PtyBoardTest, PacesAtTheRateTheClientSet) {
    PtyBoard board(*loop);
    board.setPaceFromLine(true);
    Client client(*loop, board.slavePath());
    client.setSpeed(B1200);
    EXPECT_EQ(board.lineBaud(), 1200u);
    client.write("PRA\r");
    ASSERT_TRUE(pumpUntil(*loop, [&] { return client.has(">"); }));
    EXPECT_EQ(client.received, "OK 1\r\n>");
    EXPECT_EQ(board.engine().paceBaud(), 1200u);
    // 7 bytes of 10 bits at 1200 baud.
    EXPECT_GE(client.readTimes.back() - client.sentAt, milliseconds(58));
}

TEST_F(PtyBoardTest, UnsolicitedTextNowAndPeriodically) {
    PtyBoard board(*loop);
    Client client(*loop, board.slavePath());
    board.sendUnsolicited("H\r\n");
    ASSERT_TRUE(pumpUntil(*loop, [&] { return client.has("H\r\n"); }));
    client.received.clear();
    board.setUnsolicitedEvery("L\r\n", milliseconds(10));
    ASSERT_TRUE(pumpUntil(*loop, [&] { return client.received.size() >= 9; }));
    EXPECT_EQ(client.received.substr(0, 9), "L\r\nL\r\nL\r\n");
    board.setUnsolicitedEvery("", milliseconds(0));
    // Stopped: a command now gets its reply and nothing else follows it.
    client.received.clear();
    client.write("PRA\r");
    ASSERT_TRUE(pumpUntil(*loop, [&] { return client.has(">"); }));
    EXPECT_FALSE(pumpUntil(
        *loop, [&] { return client.received.ends_with("L\r\n"); }, milliseconds(50)));
}

TEST_F(PtyBoardTest, HangUpAfterNCommandsIsSeenByTheClient) {
    PtyBoard board(*loop);
    board.engine().hangUpAfter(1);
    Client client(*loop, board.slavePath());
    client.write("PRA\r");
    ASSERT_TRUE(pumpUntil(*loop, [&] { return client.hungUp; }));
    // The last reply reached the client before the line went down.
    EXPECT_EQ(client.received, "OK 1\r\n>");
    EXPECT_TRUE(board.hungUp());
}

TEST_F(PtyBoardTest, HangUpNowIsSeenByTheClient) {
    PtyBoard board(*loop);
    Client client(*loop, board.slavePath());
    board.hangUp();
    ASSERT_TRUE(pumpUntil(*loop, [&] { return client.hungUp; }));
    EXPECT_TRUE(client.received.empty());
    board.hangUp();  // idempotent
    board.sendUnsolicited("L");
    EXPECT_TRUE(board.idle());
}

TEST_F(PtyBoardTest, OutputNobodyReadsStaysBounded) {
    PtyBoard::Options options;
    options.maxQueuedBytes = 1000;
    PtyBoard board(*loop, options);
    board.sendUnsolicited(std::string(1 << 20, 'x'));
    EXPECT_GT(board.droppedBytes(), 0u);
    EXPECT_LT(board.droppedBytes(), std::size_t{1} << 20);
    // Waiting for a reader does not keep the loop busy.
    int busyPasses = 0;
    const auto until = Clock::now() + milliseconds(100);
    while (Clock::now() < until) {
        if (loop->pumpOnce(milliseconds(20))) ++busyPasses;
    }
    EXPECT_LE(busyPasses, 2);
    // What was kept is written as the client reads.
    Client client(*loop, board.slavePath());
    const std::size_t expected = (std::size_t{1} << 20) - board.droppedBytes();
    ASSERT_TRUE(pumpUntil(*loop, [&] { return client.received.size() == expected; }));
    EXPECT_TRUE(board.idle());
}

// ---- Operator console ---------------------------------------------------------------------

TEST(ConsoleWords, QuotesAndEscapes) {
    EXPECT_EQ(splitWords(R"(  unsolicited "L\r\n"  250 )"),
              (std::vector<std::string>{"unsolicited", "L\r\n", "250"}));
    EXPECT_EQ(splitWords(R"(script "OK 5\r\n>" "" "\x00\xffA\"")"),
              (std::vector<std::string>{"script", "OK 5\r\n>", "",
                                        std::string("\0\xff"
                                                    "A\"",
                                                    4)}));
    EXPECT_THROW(splitWords(R"(script "open)"), std::invalid_argument);
    EXPECT_THROW(splitWords(R"(x \q)"), std::invalid_argument);
    EXPECT_THROW(splitWords(R"(x \x4)"), std::invalid_argument);
    EXPECT_EQ(escapeBytes(std::string("OK\r\n\x01\"", 6)), R"(OK\r\n\x01\")");
}

TEST_F(PtyBoardTest, ConsoleCommandsChangeTheBoard) {
    PtyBoard board(*loop);
    BoardConsole console(board);
    BoardEngine& e = board.engine();

    EXPECT_EQ(console.run("set 10 3 805.01").text, "10-bit channel 3 reads 805.016 (word 51521)\n");
    EXPECT_EQ(e.reading(10, 3), 805.015625);
    console.run("fault silent on");
    EXPECT_TRUE(e.silent());
    console.run("fault outofstep on");
    EXPECT_TRUE(e.outOfStep());
    console.run(R"(script "OK 5\r\n>" "")");
    EXPECT_EQ(e.scriptedLeft(), 2u);
    console.run("pace 9600");
    EXPECT_EQ(e.paceBaud(), 9600u);
    console.run("echo on");
    EXPECT_TRUE(e.echo());
    console.run("refuse-setup 1");
    e.setSilent(false);
    e.clearScript();
    EXPECT_EQ(joined(e.receive("PCSA128\r")), "PCSA128\r\n?4 Set-up failed\r\n>");
    EXPECT_TRUE(console.run("quit").quit);

    for (const char* bad : {"set 9 3 1", "set 10 3", "set 10 x 1", "fault silent maybe",
                            "fault nothing on", "pace 0", "bogus", "script \"open"}) {
        EXPECT_TRUE(console.run(bad).text.starts_with("error: ")) << bad;
    }
    EXPECT_EQ(console.run("hangup").text, "hung up\n");
    EXPECT_TRUE(board.hungUp());
}

}  // namespace
}  // namespace vantrel::sim
