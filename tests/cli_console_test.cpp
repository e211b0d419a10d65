// The tool's views for a person at a terminal: the shell as a console, driven on a
// pseudo-terminal key by key, checked by what the screen shows.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "sim/pty_board.hpp"
#include "terminal_screen.hpp"

using vantrel::test::Screen;
using vantrel::test::TerminalProgram;

namespace {

const char* const kUp = "\x1b[A";
const char* const kLeft = "\x1b[D";

struct Console {
    explicit Console(const std::string& history)
        : loop(vantrel::makeEpollLoop()),
          board(*loop),
          tool({VANTREL_CLI, "shell", "--device", board.slavePath(), "--history", history},
               loop.get()) {}

    // The row the cursor is on, once it reads `text`.
    void expectLine(const std::string& text) {
        EXPECT_TRUE(tool.waitFor([&](const Screen& s) { return s.cursorRow() == text; }))
            << "expected the line \"" << text << "\", the screen shows:\n"
            << tool.screen().text();
    }
    // At the first prompt: opens the port.
    void openPort() {
        expectLine("COM1 9600>");
        tool.type("OpenPort\r");
        expectShown("OpenPort -> True");
    }
    void expectShown(const std::string& text) {
        EXPECT_TRUE(tool.waitForText(text)) << "expected \"" << text << "\", the screen shows:\n"
                                            << tool.screen().text();
    }

    std::unique_ptr<vantrel::EventLoop> loop;
    vantrel::sim::PtyBoard board;
    TerminalProgram tool;
};

std::string historyPath() {
    return (std::filesystem::temp_directory_path() /
            ("vantrel-history-" + std::to_string(::getpid())))
        .string();
}

TEST(CliConsole, TypedAsAPersonWould) {
    const std::string history = historyPath();
    std::filesystem::remove(history);
    {
        Console c(history);
        c.openPort();

        // Tab completes a member name; the call may be written with parentheses; the reply is
        // shown as received.
        c.tool.type("Comm\t");
        c.expectLine("COM1 9600> Command");
        c.tool.type("(\"PRA\")\r");
        c.expectShown("  reply \"OK 1\\r\\n>\"");

        // Up brings the line back, Left moves into it, and Ctrl-C drops it unsent.
        c.tool.type(kUp);
        c.expectLine("COM1 9600> Command (\"PRA\")");
        c.tool.type(std::string(kLeft) + kLeft + "X");
        c.expectLine("COM1 9600> Command (\"PRAX\")");
        c.tool.type("\x03");
        c.expectShown("^C");
        c.expectLine("COM1 9600>");

        // Text the board sends while a line is half typed appears above it; the line stays.
        c.tool.type("Bau");
        c.expectLine("COM1 9600> Bau");
        c.board.sendUnsolicited("L\r\n");
        c.expectShown("event InterruptLow");
        c.expectLine("COM1 9600> Bau");

        // A refused assignment says so; help explains a member in words.
        c.tool.type("ds = 1234\r");
        c.expectShown("Bauds = 1234 refused: Baud rate must be");
        c.expectShown("(it stays 9600)");
        c.tool.type("help ADC10\r");
        c.expectShown("ADC10 channel: reads a channel (0 to 13) of the 10-bit converter.");

        // Tab with several choices lists them.
        c.tool.type("ADC1");
        c.expectLine("COM1 9600> ADC1");
        c.tool.type("\t");
        c.expectShown("ADC10  ADC12");
        // Then the line again under the list, before the next key: the interrupt key empties
        // the terminal's output still unread, so it waits for the drawing to be read.
        c.expectLine("COM1 9600> ADC1");
        // Ctrl-C interrupts, and the terminal then discards what was typed after it: Ctrl-D
        // goes once the prompt is back, as a person's next key would.
        c.tool.type("\x03");
        c.expectLine("COM1 9600>");
        c.tool.type("\x04");
        EXPECT_EQ(c.tool.finish(), 0) << c.tool.screen().text();
        EXPECT_EQ(c.board.lines(), std::vector<std::string>{"PRA\r"});
    }
    // The history outlives the run: Up in a new console brings back the last line.
    {
        Console c(history);
        c.expectLine("COM1 9600>");
        c.tool.type(kUp);
        c.expectLine("COM1 9600> help ADC10");
        c.tool.type("\x03");
        c.expectLine("COM1 9600>");
        c.tool.type("\x04");
        EXPECT_EQ(c.tool.finish(), 0);
    }
    std::filesystem::remove(history);
}

// A channel the 8-bit converter does not have is refused without a word from the control; the
// console says why. The 10-bit converter's own text says it for that one.
TEST(CliConsole, ARefusedChannelSaysWhy) {
    const std::string history = historyPath();
    std::filesystem::remove(history);
    Console c(history);
    c.openPort();
    c.tool.type("ADC8 12\r");
    c.expectShown("ADC8 -> False, Channel = 12");
    c.expectShown("  the 8-bit converter has no channel 12 (channels 0 to 11); nothing was sent");
    c.tool.type("ADC10 14\r");
    c.expectShown("A/D channel requested does not exist");
    c.expectLine("COM1 9600>");
    c.tool.type("\x04");
    EXPECT_EQ(c.tool.finish(), 0) << c.tool.screen().text();
    EXPECT_EQ(c.board.lines(), std::vector<std::string>{});
    std::filesystem::remove(history);
}

std::size_t occurrences(const std::string& text, const std::string& part) {
    std::size_t n = 0;
    for (std::size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1))
        ++n;
    return n;
}

// Keys typed while a call waits for the board are not echoed where they land: they appear once,
// after the next prompt. SIGTERM ends the console with 143.
TEST(CliConsole, KeysTypedAheadWaitForThePromptAndSigtermEndsWith143) {
    const std::string history = historyPath();
    std::filesystem::remove(history);
    Console c(history);
    c.openPort();
    // The reply comes 100 ms late (the wait at 9600 baud lasts 260 ms): long enough to type.
    c.board.engine().setReplyDelay(std::chrono::milliseconds(100));
    c.tool.type("Command \"PRA\"\r");
    EXPECT_TRUE(c.tool.waitFor([&](const Screen&) { return !c.board.lines().empty(); }));
    c.tool.type("Bau");
    c.expectShown("  reply \"OK 1\\r\\n>\"");
    c.expectLine("COM1 9600> Bau");
    EXPECT_EQ(occurrences(c.tool.screen().text(), "Bau"), 1u) << c.tool.screen().text();
    ::kill(c.tool.pid(), SIGTERM);
    EXPECT_EQ(c.tool.finish(), 143) << c.tool.screen().text();
    std::filesystem::remove(history);
}

// Ctrl-C right after a key: the terminal may empty its input between the console finding the key
// and reading it, and the interrupt must still be seen each time, not only at the next key. Each
// one gives a new prompt; how many "^C" show depends on whether the key came while the line was
// edited or between two lines (where the terminal echoes it itself), so those are not counted.
TEST(CliConsole, AnInterruptRightAfterAKeyIsAlwaysSeen) {
    const std::string history = historyPath();
    Console c(history);
    c.expectLine("COM1 9600>");
    const std::string prompt = "COM1 9600> ";
    for (int round = 1; round <= 100; ++round) {
        c.tool.type("A");
        c.tool.type("\x03");
        ASSERT_TRUE(c.tool.waitFor([&](const Screen&) {
            return occurrences(c.tool.raw(), prompt) == static_cast<std::size_t>(round) + 1;
        })) << "round "
            << round << ":\n"
            << c.tool.screen().text();
    }
    c.expectLine("COM1 9600>");
    c.tool.type("\x04");
    EXPECT_EQ(c.tool.finish(), 0) << c.tool.screen().text();
    std::filesystem::remove(history);
}

}  // namespace

namespace {

TEST(CliTerm, LinesGoOutAndWhatComesBackIsShownEscapedAsItArrives) {
    struct Case {
        std::vector<std::string> options;
        std::string reply;      // the rows of the board's answer to "PRA"
        std::string continued;  // the prompt row, once "L\r\n" has followed it
        std::string atReply;    // the first row of the answer to "@"
    };
    const std::vector<Case> cases = {
        {{}, "OK 1\\r\\n", ">L\\r\\n", "OK 0\\r\\n"},
        {{"--hex"}, "4F 4B 20 31 0D 0A", "3E 4C 0D 0A", "4F 4B 20 30 0D 0A"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.options.empty() ? "escaped" : c.options[0]);
        const auto loop = vantrel::makeEpollLoop();
        vantrel::sim::PtyBoard board(*loop);
        std::vector<std::string> args = {VANTREL_CLI, "term", "--device", board.slavePath()};
        args.insert(args.end(), c.options.begin(), c.options.end());
        TerminalProgram term(args, loop.get());
        const auto lineIs = [&](const std::string& text) {
            EXPECT_TRUE(term.waitFor([&](const Screen& s) { return s.cursorRow() == text; }))
                << "expected the line \"" << text << "\", the screen shows:\n"
                << term.screen().text();
        };
        const auto shown = [&](const std::string& text) {
            EXPECT_TRUE(term.waitForText(text))
                << "expected \"" << text << "\", the screen shows:\n"
                << term.screen().text();
        };
        lineIs("send>");
        term.type("PRA\r");
        shown("send> PRA\n" + c.reply + "\n");
        // The prompt the board sent stays on its row, which grows when more text follows.
        board.sendUnsolicited("L\r\n");
        shown(c.reply + "\n" + c.continued + "\nsend>");
        // "@" goes out alone, and its answer starts below it; Ctrl-C drops a line unsent;
        // Ctrl-] ends.
        term.type("@\r");
        shown(c.continued + "\nsend> @\n" + c.atReply + "\n");
        term.type("PWS7");
        lineIs("send> PWS7");
        term.type("\x03");
        lineIs("send>");
        // Keys typed while the board talks stay on the line being typed, and only there.
        std::string typed;
        for (int i = 0; i < 30; ++i) {
            const std::string mark = "m" + std::to_string(i);
            board.sendUnsolicited(mark + "\r\n");
            term.type("Q");
            typed += 'Q';
            std::string shownMark = mark;  // as --hex shows it: "m" is 6D, digits 3N
            if (!c.options.empty()) {
                shownMark = "6D";
                for (char d : mark.substr(1)) shownMark += std::string(" 3") + d;
            }
            EXPECT_TRUE(term.waitForText(shownMark + (c.options.empty() ? "\\r" : " 0D")));
        }
        lineIs("send> " + typed);
        EXPECT_EQ(occurrences(term.screen().text(), "Q"), typed.size()) << term.screen().text();
        term.type("\x03");
        lineIs("send>");
        term.type("\x1d");
        EXPECT_EQ(term.finish(), 0) << term.screen().text();
        EXPECT_EQ(board.lines(), (std::vector<std::string>{"PRA\r", "@"}));
    }
}

// A device that goes away ends term, as it ends monitor and read.
TEST(CliTerm, EndsWhenTheDeviceGoesAway) {
    const auto loop = vantrel::makeEpollLoop();
    vantrel::sim::PtyBoard board(*loop);
    TerminalProgram term({VANTREL_CLI, "term", "--device", board.slavePath()}, loop.get());
    EXPECT_TRUE(term.waitFor([](const Screen& s) { return s.cursorRow() == "send>"; }))
        << term.screen().text();
    term.type("PR");
    board.hangUp();
    EXPECT_EQ(term.finish(), 1) << term.screen().text();
    EXPECT_NE(term.screen().text().find("vantrel: the device closed the line"), std::string::npos)
        << term.screen().text();
}

}  // namespace
