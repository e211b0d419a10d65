"""The Python package against simulated boards: Board, events, exceptions, the control, the GIL
released during a wait, and asyncio with several boards at once."""
import asyncio
import os
import threading

import pytest

import vantrel

BAUD = 9600  # a reply timeout of 260 ms leaves room for a loaded machine


@pytest.fixture
def sim():
    with vantrel.Simulator() as s:
        yield s


@pytest.fixture
def board(sim):
    with vantrel.Board(sim.device, BAUD) as b:
        yield b


@pytest.fixture
def no_com_ports():
    # No COM number a test reaches may name a real device.
    for n in range(1, 9):
        vantrel.map_port(n, f"/nonexistent/com{n}")
    yield
    for n in range(1, 9):
        vantrel.unmap_port(n)


@pytest.mark.parametrize("bits,channel,value", [
    (10, 3, 805.015625), (12, 3, 196.0625), (8, 4, 128.0), (10, 0, 0.0)])
def test_read_is_unrounded(bits, channel, value):
    with vantrel.Simulator(bits8=bits == 8) as sim, vantrel.Board(sim.device, BAUD) as board:
        sim.set_reading(bits, channel, value)
        assert [board.read(bits, channel) for _ in range(3)] == [value] * 3


def test_read_many_and_commands(sim, board):
    sim.set_reading(10, 2, 1.5)
    values = board.read_many(10, 2, 4, interval=0.001)
    assert list(values) == [1.5] * 4
    np = pytest.importorskip("numpy")
    assert isinstance(values, np.ndarray) and values.dtype == np.float64

    ok = board.command("PRA")
    assert ok and ok.ok and ok.value == 1.0 and ok.error_nr == 0 and ok.raw == "OK 1\r\n>"
    refused = board.command("XYZ")
    assert not refused and refused.error_nr == 10 and refused.text == "Illegal command"
    assert refused.tail == "A" and refused.value is None


def test_exceptions(sim, board):
    for bits, channel in [(8, 12), (10, 14), (9, 0)]:
        with pytest.raises(ValueError):
            board.read(bits, channel)
    assert sim.lines() == []

    sim.refuse_setup(1)
    with pytest.raises(vantrel.BoardError) as e:
        board.read(10, 3)
    assert (e.value.error_nr, e.value.text, e.value.raw) == (4, "Set-up failed", "?4 Set-up failed\r\n>")
    assert str(e.value) == "board error 4: Set-up failed"

    sim.set_silent(True)
    with pytest.raises(vantrel.Timeout) as t:
        board.command("PRA")
    assert isinstance(t.value, vantrel.Error) and str(t.value) == "Serial port timed out"

    with pytest.raises(vantrel.Error) as o:
        vantrel.Board("/nonexistent/vantrel-board")
    assert str(o.value) == "open /nonexistent/vantrel-board: No such file or directory"
    assert o.value.number == 8001
    board.close()
    with pytest.raises(vantrel.Error):
        board.read(10, 3)


def test_self_test_resync_and_find(sim, board, no_com_ports):
    sim.set_reading(10, 11, 531)
    checks = board.self_test(10)
    assert [(c.scale, c.window, c.passed) for c in checks] == [
        ("zero", (0, 5), True), ("half", (502, 522), False), ("full", (1012, 1033), True)]
    assert checks[1].reading == 531.0 and checks[1].error == "Returned value: 531"
    assert len(board.self_test()) == 7

    sim.clear_reading(10, 11)
    with vantrel.Simulator() as other, vantrel.Board(other.device, BAUD) as fresh:
        with pytest.raises(RuntimeError):
            fresh.resync()
    board.read(10, 11)
    sim.set_out_of_step(True)
    assert board.read(10, 11) != 512.0
    assert board.resync() and board.read(10, 11) == 512.0

    assert vantrel.find(BAUD) is None
    board.close()
    vantrel.map_port(6, sim.device)
    with vantrel.find(BAUD) as found:
        assert isinstance(found, vantrel.Board) and found.port == 6 and found.device == sim.device


def test_the_converter_catalogue_drives_board(sim, board):
    # Every reference input the catalogue lists is the one Board checks, and passes on the
    # simulator's ideal codes; a channel past the last is refused before anything is sent.
    rows = vantrel.converters()
    assert [c.bits for c in rows] == sorted({c.bits for c in rows})
    for c in rows:
        checks = board.self_test(c.bits)
        assert [(k.scale, k.channel, k.window) for k in c.checks] == [
            (k.scale, k.channel, k.window) for k in checks]
        assert all(k.passed for k in checks), checks
        with pytest.raises(ValueError):
            board.read(c.bits, c.last_channel + 1)
    assert len(board.self_test()) == sum(len(c.checks) for c in rows)


def test_events(sim, board):
    seen = []
    board.on_new_data = lambda value, error: seen.append(("NewData", value, error))
    board.on_interrupt_low = lambda: seen.append("Low")
    sim.set_reading(12, 1, 2.25)
    board.read(12, 1)
    sim.send("L\r\n")
    for _ in range(200):
        if "Low" in seen:
            break
        board.pump(0.005)
    assert seen == [("NewData", 2.25, ""), "Low"]

    def broken(value, error):
        raise KeyError("from the handler")
    board.on_new_data = broken
    with pytest.raises(KeyError):
        board.read(12, 1)
    board.on_new_data = None
    assert board.read(12, 1) == 2.25


def test_the_control_by_member_name(sim):
    vantrel.map_port(2, sim.device)
    try:
        ctrl = vantrel.VantrelCtrl()
        events = []

        class Sink:
            def NewData(self, value, error):
                events.append((value, error))
                return (value * 2, "doubled") if value == 805.25 else None
        ctrl.connect(Sink())
        ctrl.Port, ctrl.Bauds = 2, BAUD
        assert ctrl.OpenPort() and ctrl.PortIsOpen
        sim.set_reading(10, 3, 805.25)
        assert ctrl.ADC10(3) == (True, 48)   # the channel comes back as the address word
        assert ctrl.Value() == 1610 and ctrl.ErrorString() == "doubled"
        assert events == [(805.25, "")]
        assert ctrl.Command("PRA") == (True, " 1>")
        assert ctrl.ADCHalfScale(10) and not ctrl.ADCHalfScale(9)
        with pytest.raises(vantrel.Error) as e:
            ctrl.PortIsOpen = False
        assert e.value.number == 393
        assert ctrl.ClosePort()
    finally:
        vantrel.unmap_port(2)


def test_a_wait_releases_the_gil(sim):
    # At 300 baud the reply timeout is 8.3 s. The board stays silent; this thread answers in
    # its place once the command has arrived, which it can only do while the reader's wait
    # leaves the GIL free.
    sim.set_silent(True)
    result = []

    def reader():
        with vantrel.Board(sim.device, 300) as b:
            result.append(b.command("PRA"))
    t = threading.Thread(target=reader)
    t.start()
    for _ in range(2000):
        if sim.lines():
            break
        threading.Event().wait(0.005)
    sim.set_silent(False)
    sim.send("OK 7\r\n>")
    t.join()
    assert sim.lines() == [b"PRA\r"]
    assert result[0].ok and result[0].value == 7.0


def test_asyncio_with_several_boards():
    async def main(sims):
        for i, s in enumerate(sims):
            s.set_reading(10, 5, 100 + i)
            s.set_reply_delay(0.01)
        boards = [vantrel.AsyncBoard(s.device, BAUD) for s in sims]
        for b in boards:
            await b.open()
        news = []
        boards[0].on_new_data = lambda v, e: news.append((threading.get_ident(), v))
        try:
            values = await asyncio.gather(*(b.read_async(10, 5) for b in boards))
            reply = await boards[1].command_async("PRA")
            with pytest.raises(ValueError):
                await boards[2].read_async(10, 99)
            many = await boards[2].read_many_async(10, 5, 3)
        finally:
            for b in boards:
                await b.close_async()
        await asyncio.sleep(0)
        return values, reply, list(many), news

    sims = [vantrel.Simulator() for _ in range(3)]
    try:
        values, reply, many, news = asyncio.run(main(sims))
    finally:
        for s in sims:
            s.close()
    assert values == [100.0, 101.0, 102.0]
    assert reply.ok and many == [102.0] * 3
    assert news == [(threading.get_ident(), 100.0)]  # handlers run on the loop's thread


def test_the_readme_example(capsys):
    readme = open(os.path.join(os.path.dirname(__file__), "..", "..", "README.md")).read()
    block = readme.split("```python\n", 1)[1].split("```", 1)[0]
    assert len(block.strip().splitlines()) <= 6
    exec(compile(block, "README.md", "exec"), {})
    assert capsys.readouterr().out == "805.015625\n"
