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
        c.expectLine("COM1 9600>");
        c.tool.type("OpenPort\r");
        c.expectShown("OpenPort -> True");

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
        c.tool.type("ADC1\t");
        c.expectLine("COM1 9600> ADC1");
        c.tool.type("\t");
        c.expectShown("ADC10  ADC12");
        c.tool.type("\x03\x04");
        EXPECT_EQ(c.tool.finish(), 0) << c.tool.screen().text();
        EXPECT_EQ(c.board.lines(), std::vector<std::string>{"PRA\r"});
    }
    // The history outlives the run: Up in a new console brings back the last line.
    {
        Console c(history);
        c.expectLine("COM1 9600>");
        c.tool.type(kUp);
        c.expectLine("COM1 9600> help ADC10");
        c.tool.type("\x03\x04");
        EXPECT_EQ(c.tool.finish(), 0);
    }
    std::filesystem::remove(history);
}

}  // namespace
