// A C++ host on vantrel::Board.
//
//   board_host DEVICE [BAUD]
//
// Opens DEVICE, reads channel 3 of the 10-bit converter five times, sends "PRA", and self-tests
// the 10-bit converter, printing each outcome. Exit status 0 when every check passed.
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <string>

#include "vantrel/board.hpp"

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: board_host DEVICE [BAUD]\n");
        return 2;
    }
    try {
        vantrel::Board board(argv[1], argc > 2 ? std::atoi(argv[2]) : 9600);
        board.onInterruptLow([] { std::puts("event: interrupt low"); });

        for (int i = 0; i < 5; ++i) std::printf("channel 3: %.6g\n", board.read(10, 3));

        const vantrel::Reply reply = board.command("PRA");
        if (reply.ok)
            std::printf("PRA: %g\n", reply.value.value_or(0));
        else
            std::printf("PRA refused: error %d, %s\n", reply.errorNr, reply.text.c_str());

        bool allPassed = true;
        for (const vantrel::SelfCheck& c : board.selfTest(10)) {
            std::printf("%2d-bit %-4s scale: %-8s reading %-8s window %d..%d %s\n", c.bits,
                        vantrel::scaleName(c.scale), c.passed ? "passed" : "FAILED",
                        c.reading ? std::to_string(*c.reading).c_str() : "-", c.low, c.high,
                        c.error.c_str());
            allPassed = allPassed && c.passed;
        }
        return allPassed ? 0 : 1;
    } catch (const vantrel::BoardError& e) {
        std::fprintf(stderr, "board_host: %s (reply %zu bytes)\n", e.what(), e.raw().size());
    } catch (const std::exception& e) {
        std::fprintf(stderr, "board_host: %s\n", e.what());
    }
    return 1;
}
