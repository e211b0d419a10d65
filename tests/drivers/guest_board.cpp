// guest_board DEVICE BAUD VALUE: a C++ host on vantrel::Board, run inside the drivers guest
// against a board behind a real serial driver.
//
// Opens DEVICE at BAUD, expects five readings of channel 3 of the 10-bit converter to be VALUE
// exactly, "PRA" to be answered with 1 and the 10-bit self-test to pass; closes the board and
// opens it again (the driver's port settings and helper thread go and come back). Prints one
// line per step; exit status 0 when every step held.
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <string>

#include "vantrel/board.hpp"

namespace {

int failures = 0;

void step(bool ok, const std::string& what) {
    std::printf("%s %s\n", ok ? "ok  " : "FAIL", what.c_str());
    if (!ok) ++failures;
}

void exercise(vantrel::Board& board, double want) {
    for (const double v : board.readMany(10, 3, 5))
        step(v == want, "10-bit channel 3 reads " + std::to_string(v));
    const vantrel::Reply reply = board.command("PRA");
    step(reply.ok && reply.value == 1.0, "PRA answered \"" + reply.raw.substr(0, 8) + "\"");
    for (const vantrel::SelfCheck& c : board.selfTest(10))
        step(c.passed, std::string("10-bit ") + vantrel::scaleName(c.scale) + " scale " +
                           (c.reading ? std::to_string(*c.reading) : "-") + " " + c.error);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 4) {
        std::fprintf(stderr, "usage: guest_board DEVICE BAUD VALUE\n");
        return 2;
    }
    const std::string device = argv[1];
    const int baud = std::atoi(argv[2]);
    const double want = std::strtod(argv[3], nullptr);
    try {
        {
            vantrel::Board board(device, baud);
            step(board.baud() == baud,
                 "opened " + board.device() + " at " + std::to_string(board.baud()) + " baud");
            exercise(board, want);
        }
        vantrel::Board again(device, baud);
        exercise(again, want);
    } catch (const std::exception& e) {
        step(false, std::string("exception: ") + e.what());
    }
    return failures == 0 ? 0 : 1;
}
