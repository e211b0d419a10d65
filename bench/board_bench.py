#!/usr/bin/env python3
"""1,000 conversions through vantrel.Board on the package's simulated board, timed.

    board_bench.py [READS] [RUNS]

Prints one line per run ("run <seconds>") and then "median <seconds>". Run by board_bench,
which does the same through the C++ Board and prints both with their ratio.
"""
import statistics
import sys
import time

import vantrel


def main():
    reads = int(sys.argv[1]) if len(sys.argv) > 1 else 1000
    runs = int(sys.argv[2]) if len(sys.argv) > 2 else 5
    with vantrel.Simulator() as sim, vantrel.Board(sim.device, 115200) as board:
        sim.set_reading(10, 3, 805.015625)
        board.read(10, 3)  # the set-up and the address write, once
        times = []
        for _ in range(runs):
            start = time.perf_counter()
            for _ in range(reads):
                board.read(10, 3)
            times.append(time.perf_counter() - start)
            print(f"run {times[-1]:.6f}")
        print(f"median {statistics.median(times):.6f}")


main()
