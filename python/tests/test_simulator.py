"""The simulator from Python in a process that forks while it serves."""
import os
import select

import vantrel


def test_a_forked_child_that_touches_the_simulator_fails_at_once():
    with vantrel.Simulator() as sim:
        sim.set_reading(10, 3, 805.0)
        pid = os.fork()
        if pid == 0:  # the child: every call fails at once, with the reason
            code = 0
            for call in (lambda: sim.reading(10, 3), sim.close):
                try:
                    call()
                    code = code or 2
                except vantrel.Error as e:
                    if "a forked child cannot use it" not in str(e):
                        code = code or 3
                except BaseException:
                    code = code or 4
            os._exit(code)
        exited = os.pidfd_open(pid)
        try:
            ended = select.select([exited], [], [], 10)[0]
            if not ended:
                os.kill(pid, 9)
            status = os.waitpid(pid, 0)[1]
        finally:
            os.close(exited)
        assert ended, "the child hangs"
        assert os.waitstatus_to_exitcode(status) == 0
        assert sim.reading(10, 3) == 805.0  # the parent's board serves on


def test_readings_of_moving_inputs_are_conversions_in_the_log(tmp_path):
    """Every reading of an input that changes between conversions is one the board logged, at
    a time between the call's start and end."""
    import csv
    import time

    log = tmp_path / "conversions.csv"
    with vantrel.Simulator(log=log) as sim, vantrel.Board(sim.device, 9600) as board:
        sim.set_input(10, 3, "alternate 341 682")
        sim.set_input(12, 7, "sine 2048 2000 50ms")
        reads = []
        for bits, channel in [(10, 3)] * 50 + [(12, 7)] * 50:
            start = time.monotonic()
            value = board.read(bits, channel)
            reads.append((bits, channel, value, start, time.monotonic()))
        try:
            sim.set_input(10, 3, "ramp 1 2 3")
            assert False, "a duration without a unit was taken"
        except ValueError as e:
            assert "needs a unit" in str(e)
    with open(log, newline="") as f:
        rows = list(csv.DictReader(f))
    for bits, channel, value, start, end in reads:
        assert any(
            int(r["bits"]) == bits and int(r["channel"]) == channel
            and float(r["reading"]) == value
            and start * 1e6 - 1 <= int(r["mono_us"]) <= end * 1e6 + 1
            for r in rows), (bits, channel, value)
    assert {v for b, _, v, _, _ in reads if b == 10} == {341.0, 682.0}
