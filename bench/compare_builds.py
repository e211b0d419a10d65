#!/usr/bin/python3
"""Compares the control of several builds with the C floor, side by side, against one fast
responder: for checking a change before and after on a machine whose load drifts.

    bench/compare_builds.py BUILD_DIR [BUILD_DIR...] [--slices N] [--seconds S]

Each slice runs `vantrel_bench --control S DEVICE` of every build and the floor client once,
in rotating order. Prints, per build, the median of each slice's ratio to the floor (round trips
per second, CPU per round trip) and the medians of the absolute values."""
import argparse
import os
import statistics
import subprocess


def run(cmd):
    out = subprocess.run(cmd, check=True, capture_output=True, text=True).stdout.split()
    exchanges, wall, cpu = int(out[0]), float(out[1]), float(out[2])
    return exchanges / wall, cpu / exchanges * 1e6


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("builds", nargs="+")
    ap.add_argument("--slices", type=int, default=15)
    ap.add_argument("--seconds", type=float, default=0.4)
    a = ap.parse_args()
    bench = [os.path.join(b, "bench") for b in a.builds]
    responder = subprocess.Popen([os.path.join(bench[0], "fast_responder")],
                                 stdout=subprocess.PIPE, text=True)
    try:
        device = responder.stdout.readline().strip()
        floor = [os.path.join(bench[0], "floor_client"), device, "115200", str(a.seconds)]
        clients = [[os.path.join(b, "vantrel_bench"), "--control", str(a.seconds), device]
                   for b in bench] + [floor]
        results = [[] for _ in clients]
        for s in range(a.slices):
            for k in range(len(clients)):
                which = (s + k) % len(clients)
                results[which].append(run(clients[which]))
        fl = results[-1]
        print(f"{a.slices} slices of {a.seconds} s; floor: "
              f"{statistics.median(r for r, _ in fl):.0f} /s, "
              f"{statistics.median(c for _, c in fl):.2f} us CPU per round trip")
        for name, res in zip(a.builds, results):
            rate = statistics.median(r[0] / f[0] for r, f in zip(res, fl))
            cpu = statistics.median(r[1] / f[1] for r, f in zip(res, fl))
            print(f"{name}: {statistics.median(r for r, _ in res):.0f} /s ({rate:.3f} of the floor), "
                  f"{statistics.median(c for _, c in res):.2f} us CPU ({cpu:.3f} of the floor)")
    finally:
        responder.kill()
        responder.wait()


if __name__ == "__main__":
    main()
