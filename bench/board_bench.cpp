// vantrel::Board against the Python package: 1,000 conversions of a 10-bit channel on the
// simulated board served by its own thread, through the C++ Board and through vantrel.Board
// (bench/board_bench.py, run as a child). Prints each median and their ratio.
//
//     board_bench [READS] [RUNS]
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "sim/sim_thread.hpp"
#include "vantrel/board.hpp"

namespace {

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    const std::size_t n = v.size();
    return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

double cppMedian(int reads, int runs) {
    vantrel::sim::SimThread sim;
    sim.call([](vantrel::sim::PtyBoard& b) { b.engine().setReading(10, 3, 805.015625); });
    vantrel::Board board(sim.device(), 115200);
    board.read(10, 3);  // the set-up and the address write, once
    std::vector<double> times;
    for (int run = 0; run < runs; ++run) {
        const auto start = std::chrono::steady_clock::now();
        for (int i = 0; i < reads; ++i) board.read(10, 3);
        times.push_back(
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
        std::printf("C++    run %.6f s\n", times.back());
    }
    return median(times);
}

double pythonMedian(int reads, int runs) {
    const std::string command = "PYTHONPATH=" VANTREL_PYTHON_PATH " " VANTREL_PYTHON
                                " " VANTREL_BENCH_DIR "/board_bench.py " +
                                std::to_string(reads) + " " + std::to_string(runs);
    FILE* out = ::popen(command.c_str(), "r");
    if (!out) return -1;
    char line[256];
    double result = -1;
    while (std::fgets(line, sizeof line, out)) {
        double s = 0;
        if (std::sscanf(line, "run %lf", &s) == 1) std::printf("Python run %.6f s\n", s);
        if (std::sscanf(line, "median %lf", &s) == 1) result = s;
    }
    return ::pclose(out) == 0 ? result : -1;
}

}  // namespace

int main(int argc, char** argv) {
    const int reads = argc > 1 ? std::atoi(argv[1]) : 1000;
    const int runs = argc > 2 ? std::atoi(argv[2]) : 5;
    const double cpp = cppMedian(reads, runs);
    const double python = pythonMedian(reads, runs);
    if (python < 0) {
        std::fprintf(stderr, "board_bench: the Python run failed\n");
        return 1;
    }
    std::printf(
        "%d conversions, median of %d runs: C++ Board %.3f ms, Python %.3f ms, "
        "ratio %.3f (target at most 1.3)\n",
        reads, runs, cpp * 1e3, python * 1e3, python / cpp);
    return 0;
}
