"""Ctrl-C during a wait, boards closed or dropped on the wrong thread, AsyncBoard cancelled or
never closed, and hostile arguments."""
import asyncio
import concurrent.futures
import gc
import os
import signal
import subprocess
import sys
import textwrap
import threading
import time
import warnings

import pytest

import vantrel

BAUD = 9600


def reopens(device, within=5.0):
    """Whether the device can be opened again within `within` seconds (polled)."""
    end = time.monotonic() + within
    while True:
        try:
            vantrel.Board(device, BAUD).close()
            return True
        except vantrel.Error:
            if time.monotonic() > end:
                return False
            threading.Event().wait(0.01)


# Each child opens a board on a simulator, prints "waiting" once the call is inside its wait,
# and reports how the call ended. SIGINT must end it within a second.
SETUP = """
import sys, threading, vantrel
sim = vantrel.Simulator()
def say(text):
    print(text, flush=True)
def when(condition):
    def watch():
        while not condition():
            threading.Event().wait(0.002)
        say("waiting")
    threading.Thread(target=watch, daemon=True).start()
"""

CASES = {
    "reply wait": """
        board = vantrel.Board(sim.device, 300)
        sim.set_silent(True)
        when(lambda: sim.lines())
        board.command("PRA")
    """,
    "read_many interval": """
        board = vantrel.Board(sim.device, 115200)
        sim.set_reading(10, 3, 12.5)
        first = threading.Event()
        board.on_new_data = lambda value, error: first.set()
        when(first.is_set)
        try:
            board.read_many(10, 3, 8, 1.0)
        except KeyboardInterrupt as e:
            say(f"readings {list(e.readings)}")
            raise
    """,
    "find": """
        sim.set_silent(True)
        for n in range(1, 9):
            vantrel.map_port(n, sim.device if n == 1 else f"/nonexistent/com{n}")
        when(lambda: sim.lines())
        vantrel.find(300)
    """,
    "pump": """
        board = vantrel.Board(sim.device, 9600)
        board.on_interrupt_low = lambda: say("waiting")
        sim.send("L\\r\\n")
        board.pump(6.0)
    """,
    "the control's reply wait": """
        vantrel.map_port(1, sim.device)
        ctrl = vantrel.VantrelCtrl()
        ctrl.Bauds = 300
        ctrl.OpenPort()
        sim.set_silent(True)
        when(lambda: sim.lines())
        ctrl.Command("PRA")
    """,
}


@pytest.mark.parametrize("case", sorted(CASES))
def test_ctrl_c_ends_a_wait(case):
    script = SETUP + textwrap.dedent("""
        try:
        {body}
        except KeyboardInterrupt:
            say("interrupted")
            sys.exit(3)
        say("finished")
    """).format(body=textwrap.indent(textwrap.dedent(CASES[case]), "    "))
    child = subprocess.Popen([sys.executable, "-c", script], stdout=subprocess.PIPE, text=True,
                             env=dict(os.environ, PYTHONDONTWRITEBYTECODE="1"))
    try:
        assert child.stdout.readline() == "waiting\n"
        child.send_signal(signal.SIGINT)
        sent = time.monotonic()
        status = child.wait(timeout=5)
        took = time.monotonic() - sent
    finally:
        child.kill()
        child.wait()
    out = child.stdout.read()
    assert status == 3, out
    assert took < 1.0
    if case == "read_many interval":
        assert out == "readings [12.5]\ninterrupted\n"
    else:
        assert out == "interrupted\n"


def test_an_exchange_cut_short_is_finished_by_the_next_call():
    with vantrel.Simulator() as sim, vantrel.Board(sim.device, BAUD) as board:
        sim.set_reading(10, 3, 7.0)
        # The reply comes in pieces; its first piece holds an "L", whose handler raises while
        # the rest is still on its way.
        sim.set_reply_prefix("L\r\n")
        sim.set_reply_split(3, 0.05)

        def stop():
            raise KeyError("stop")
        board.on_interrupt_low = stop
        with pytest.raises(KeyError):
            board.command("PWS48")
        board.on_interrupt_low = None
        sim.set_reply_prefix("")
        assert board.read(10, 3) == 7.0
        reply = board.command("PRA")
        assert reply.raw == "OK 1\r\n>" and reply.value == 1.0


def test_close_from_another_thread_changes_nothing():
    with vantrel.Simulator() as sim:
        board = vantrel.Board(sim.device, BAUD)
        failures = []

        def close():
            try:
                board.close()
            except vantrel.Error as e:
                failures.append(e.number)
        t = threading.Thread(target=close)
        t.start()
        t.join()
        assert len(failures) == 1
        assert board.read(10, 11) == 512.0
        board.close()
        with pytest.raises(vantrel.Error):
            board.read(10, 11)
        assert reopens(sim.device, within=0)


def test_a_board_dropped_on_another_thread_is_closed_by_its_own():
    with vantrel.Simulator() as sim:
        held = [vantrel.Board(sim.device, BAUD)]
        t = threading.Thread(target=held.clear)  # the last reference goes on that thread
        t.start()
        t.join()
        assert not held
        # The owner closes it at its next open.
        with vantrel.Board(sim.device, BAUD) as again:
            assert again.read(10, 11) == 512.0


def test_a_board_of_a_pool_thread_dropped_here_says_where_it_stays_open():
    # The pool's worker lives on, idle: the board it opened is closed by its next board call,
    # and the drop says so rather than leaving the device busy unannounced.
    with vantrel.Simulator() as sim, concurrent.futures.ThreadPoolExecutor(1) as pool:
        held = [pool.submit(vantrel.Board, sim.device, BAUD).result()]
        with pytest.warns(ResourceWarning, match="stays open until its own thread"):
            held.clear()
            gc.collect()
        assert not reopens(sim.device, within=0)
        pool.submit(lambda: vantrel.Board(sim.device, BAUD).close()).result()
        assert reopens(sim.device, within=0)
        # Closed on its own thread, or kept by a thread that ended, it says nothing.
        board = pool.submit(vantrel.Board, sim.device, BAUD).result()
        pool.submit(board.close).result()
        with warnings.catch_warnings(record=True) as said:
            warnings.simplefilter("always")
            del board
            gc.collect()
        assert not [w for w in said if issubclass(w.category, ResourceWarning)]


def test_a_board_whose_thread_ended_is_closed():
    with vantrel.Simulator() as sim:
        kept = []
        t = threading.Thread(target=lambda: kept.append(vantrel.Board(sim.device, BAUD)))
        t.start()
        t.join()
        assert reopens(sim.device)
        with pytest.raises(vantrel.Error):
            kept[0].read(10, 11)
        kept.clear()


def test_an_async_board_never_closed_is_closed():
    async def forget(device):
        board = vantrel.AsyncBoard(device, BAUD)
        await board.open()
        assert await board.read_async(10, 11) == 512.0

    with vantrel.Simulator() as sim:
        asyncio.run(forget(sim.device))
        gc.collect()
        assert reopens(sim.device)


def test_cancelled_async_calls_free_the_board():
    async def main(sim):
        async with vantrel.AsyncBoard(sim.device, BAUD) as board:
            many = asyncio.ensure_future(board.read_many_async(10, 11, 1000))
            while sim.command_count() < 3:
                await asyncio.sleep(0.002)
            at_cancel = sim.command_count()
            many.cancel()
            with pytest.raises(asyncio.CancelledError):
                await many
            assert await board.read_async(10, 11) == 512.0
            after_read = sim.command_count() - at_cancel
            pairs = await board.read_many_async(10, 11, 2, 0.001, timestamps=True)
            assert [float(v) for _, v in pairs] == [512.0, 512.0]

            pumping = asyncio.ensure_future(board.pump_async(60.0))
            await asyncio.sleep(0)
            pumping.cancel()
            with pytest.raises(asyncio.CancelledError):
                await pumping
            reply = await asyncio.wait_for(board.command_async("PRA"), 5.0)
            return after_read, reply

    with vantrel.Simulator() as sim:
        after_read, reply = asyncio.run(main(sim))
    # The reading under way and the one asked for afterwards; the rest of a read_many of 1000
    # readings would have sent thousands of commands.
    assert after_read <= 10
    assert reply.ok


def test_hostile_arguments():
    with pytest.raises(ValueError):
        vantrel.Board("/dev/null\0/dev/ttyS0")
    ctrl = vantrel.VantrelCtrl()
    assert ctrl.ADCZeroScale(2 ** 80) is False
    assert ctrl.ErrorString().startswith("Unsupported ADC")
    with pytest.raises(OverflowError):
        ctrl.ADCZeroScale(2 ** 2000)


def test_the_control_is_bound_from_its_member_table():
    ctrl = vantrel.VantrelCtrl()
    # By-reference arguments the member writes come back; one it only writes may be left out.
    assert ctrl.c_errorstring() == (0, "")
    assert ctrl.c_status(s="x") == (0, "")
    assert ctrl.ADC10.__doc__.startswith(
        "ADC10(Channel)\n\nADC10 channel: reads a channel (0 to 13) of the 10-bit converter.")
    assert ctrl.c_status.__doc__.startswith("c_status(s='')\n")
    assert "Returns (result, Channel)." in ctrl.ADC10.__doc__
    assert vantrel.VantrelCtrl.Bauds.__doc__.startswith("Bauds\n\nBauds | Bauds = rate: the baud")
    ctrl.Bauds = 19200
    assert ctrl.Bauds == 19200
    with pytest.raises(TypeError):
        ctrl.Command()
    with pytest.raises(TypeError):
        ctrl.OpenPort(1)
    with pytest.raises(TypeError):
        ctrl.Command(text="PRA")
    with pytest.raises(vantrel.Error) as e:
        ctrl.Port = "three"
    assert e.value.number == 13
