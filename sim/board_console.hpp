// vantrel-sim: the operator's commands ("set 10 3 805", "fault silent on", ...) that change a
// running simulated board. Used by the vantrel-sim executable on its standard input; kept apart
// from it so that the parsing can be tested.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "sim/pty_board.hpp"

namespace vantrel::sim {

// Splits a console line into words. Double quotes group a word; inside and outside them
// \r \n \t \0 \\ \" and \xHH stand for the byte. Throws std::invalid_argument on an unfinished
// quote or a bad escape.
std::vector<std::string> splitWords(std::string_view line);

// Shows bytes as console text: printable ASCII as it is, the rest as escapes (\r, \x01).
std::string escapeBytes(std::string_view bytes);

class BoardConsole {
  public:
    explicit BoardConsole(PtyBoard& board) : board_(board) {}

    struct Result {
        std::string text;   // what to show the operator (may be empty), ends with a newline
        bool quit = false;  // the operator asked to stop
    };

    // Runs one console line. Mistakes are reported in the text, never thrown.
    Result run(std::string_view line);

    static const std::string& help();
    // The board's state: line, counts, and every fault in force ("faults: none" when none).
    std::string status() const;

  private:
    PtyBoard& board_;
};

}  // namespace vantrel::sim
