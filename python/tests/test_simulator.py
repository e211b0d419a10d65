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
