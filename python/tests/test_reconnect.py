"""Board(..., reconnect=True) across a simulated board that goes away and comes back at the same
link: read_many goes on, the events come once each, and AsyncBoard's arrive on the event loop."""
import asyncio
import os
import threading
import time

import pytest

import vantrel

BAUD = 9600


class Link:
    """A simulated board behind a symbolic link that can be switched off and started again."""

    def __init__(self, path):
        self.path = str(path)
        self.sim = None
        self.up()

    def up(self, value=512.0):
        self.sim = vantrel.Simulator()
        self.sim.set_reading(10, 3, value)
        if os.path.lexists(self.path):
            os.unlink(self.path)
        os.symlink(self.sim.device, self.path)

    def down(self):
        os.unlink(self.path)
        self.sim.close()

    def close(self):
        if self.sim is not None:
            self.sim.close()


@pytest.fixture
def link(tmp_path):
    l = Link(tmp_path / "board")
    yield l
    l.close()


def test_read_many_across_a_restart(link):
    with vantrel.Board(link.path, BAUD, reconnect=True) as board:
        events = []
        # The board comes back as soon as its departure is seen, with another reading.
        board.on_disconnected = lambda reason: (events.append(("away", reason)), link.up(700.0))
        board.on_reconnected = lambda after: events.append(("back", after))
        assert list(board.read_many(10, 3, 2)) == [512.0, 512.0]
        link.down()
        assert list(board.read_many(10, 3, 3)) == [700.0] * 3
        assert [e[0] for e in events] == ["away", "back"]
        assert isinstance(events[0][1], str) and events[0][1]
        assert events[1][1] > 0
        assert not board.away


def test_call_while_away_raises_timeout_at_its_limit(link):
    policy = vantrel.Reconnect(call_limit=0.3)
    with vantrel.Board(link.path, BAUD, reconnect=policy) as board:
        board.read(10, 3)
        link.down()
        with pytest.raises(vantrel.Timeout):
            board.read(10, 3)
        assert board.away
    with pytest.raises(TypeError):
        vantrel.Board(link.path, BAUD, reconnect="yes")


def test_async_board_events_arrive_on_the_loop(link):
    async def main():
        loop_thread = threading.get_ident()
        seen = []
        away = asyncio.Event()
        back = asyncio.Event()
        async with vantrel.AsyncBoard(link.path, BAUD, reconnect=True) as board:
            def on_away(reason):
                seen.append(("away", threading.get_ident()))
                away.set()

            board.on_disconnected = on_away

            def on_back(after):
                seen.append(("back", threading.get_ident()))
                back.set()

            board.on_reconnected = on_back
            assert await board.read_async(10, 3) == 512.0
            link.down()
            # The departure is seen by the next reading, which then waits for the board.
            reading = asyncio.ensure_future(board.read_async(10, 3))
            await asyncio.wait_for(away.wait(), 10)
            link.up(600.0)
            assert await asyncio.wait_for(reading, 10) == 600.0
            await asyncio.wait_for(back.wait(), 10)
        assert seen == [("away", loop_thread), ("back", loop_thread)]

    asyncio.run(main())


def test_read_many_times_across_a_return(link):
    """A reading that met the departure is made again after the return with the time of that
    conversion; the deadlines missed while away are one gap, not readings bunched together."""
    import math
    back_at = []
    with vantrel.Board(link.path, BAUD, reconnect=True) as board:
        board.on_reconnected = lambda after: back_at.append(time.time())
        # Away for at least 0.85 s, however late the timers run.
        up = threading.Timer(0.85, lambda: link.up(700.0))
        down = threading.Timer(0.35, lambda: (link.down(), up.start()))
        down.start()
        try:
            pairs = board.read_many(10, 3, 40, interval=0.1, timestamps=True)
        finally:
            down.cancel()
            down.join()
            up.cancel()
            if up.is_alive():
                up.join()
    rows = [(t.astype("datetime64[us]").astype(float) / 1e6, v) for t, v in pairs] \
        if hasattr(pairs, "dtype") else [(t.timestamp(), v) for t, v in pairs]
    gaps = [i for i, (_, v) in enumerate(rows) if math.isnan(v)]
    assert len(back_at) == 1
    assert len(gaps) == 1
    before, after = rows[:gaps[0]], rows[gaps[0] + 1:]
    assert before and after
    assert all(v == 512.0 for _, v in before)
    assert all(v == 700.0 for _, v in after)
    # The gap is marked at the first deadline missed, before the board came back; every
    # reading after it was converted once the board was back.
    assert rows[gaps[0]][0] < back_at[0]
    assert all(t >= back_at[0] - 0.01 for t, _ in after)
    times = [t for t, _ in rows]
    assert times == sorted(times)
    # 40 deadlines 0.1 s apart, at least 0.85 s of them missed and not made up.
    assert len(before) + len(after) <= 40 - 5
