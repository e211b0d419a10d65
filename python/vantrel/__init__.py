"""vantrel: the Vantrel interface board and its 8-, 10- and 12-bit converters from Python.

    import vantrel

    with vantrel.Simulator() as sim, vantrel.Board(sim.device, 115200) as board:
        print(board.read(10, 3))            # one reading, unrounded
        print(board.command("PRA"))         # Reply(ok=True, value=1.0, raw='OK 1\\r\\n>')

`Board` talks to one board on one serial port, `AsyncBoard` does the same for asyncio, `find`
looks for a board on COM1 to COM8, `Simulator` stands in for the board, and `VantrelCtrl` is
the control itself with its members by name. Failures raise `Error` (with `.number`), a board's
error reply during a reading raises `BoardError`, a missing reply `Timeout`.
"""

from __future__ import annotations

import asyncio
import concurrent.futures
import dataclasses
import datetime
import functools
import os
import threading
import time
import warnings
import weakref
from typing import Any, Callable, List, Optional, Sequence, Union

from ._vantrel import (  # noqa: F401  (re-exported)
    BoardError,
    Calibration,
    Converter,
    Error,
    Reply,
    SelfCheck,
    Timeout,
    VantrelCtrl,
    converters,
    map_port,
    port_map,
    serial_devices,
    unmap_port,
)
from . import _vantrel

# The version of the library the package was built with ("1.0.0").
__version__: str = _vantrel.__version__

try:
    import numpy as _numpy
except ImportError:  # NumPy is optional
    _numpy = None

__all__ = [
    "AsyncBoard", "Board", "BoardError", "Calibration", "Converter", "Error", "Reconnect", "Reply",
    "SelfCheck", "Simulator", "Timeout", "VantrelCtrl", "converters", "find", "find_async",
    "map_port", "port_map", "serial_devices", "unmap_port",
]

DeviceOrPort = Union[str, "os.PathLike[str]", int]
NewDataHandler = Callable[[Optional[float], str], Any]
InterruptHandler = Callable[[], Any]


def _caller(board_ref, name: str):
    def call(*args):
        board = board_ref()
        handler = None if board is None else board.__dict__.get(name)
        if handler is not None:
            return handler(*args)
        return None
    return call


def _event(name: str, doc: str) -> property:
    setter = "_set_" + name

    def get(self):
        return self.__dict__.get(name)

    def put(self, handler):
        if handler is not None and not callable(handler):
            raise TypeError(f"{name} must be callable or None")
        # The compiled board holds a caller that reaches the handler through a weak reference:
        # a handler that refers to its board (a closure, a bound method) makes a cycle the
        # garbage collector can see and break.
        getattr(self, setter)(None if handler is None else _caller(weakref.ref(self), name))
        self.__dict__[name] = handler

    return property(get, put, doc=doc)


@dataclasses.dataclass(frozen=True)
class Reconnect:
    """What a Board does when its device goes away (Board(..., reconnect=Reconnect(...))): it
    closes the port, waits for the device under its stable name (the /dev/serial/by-id link of
    a USB adapter, the same path or URL otherwise), opens it again at the same rate and goes on.
    A reading that met the departure is made again; a call made while the board is away waits
    up to `call_limit` seconds, then raises Timeout. Network devices are tried again
    `first_pause` seconds apart, the pause doubling up to `max_pause`."""

    call_limit: float = 30.0
    first_pause: float = 0.05
    max_pause: float = 2.0


class Board(_vantrel.Board):
    """One board on one serial port, open from construction until close() (or the end of a
    `with` block).

    `device_or_port` is a device path ("/dev/ttyUSB0", `Simulator().device`) or a COM number
    1 to 8 (see map_port). Raises Error with the system's reason when the port cannot be
    opened, e.g. "open /dev/ttyUSB0: Permission denied".

    A Board belongs to the thread that opened it; calls from another thread raise Error. While
    a call waits for the board the GIL is released, so other Python threads keep running.
    Event handlers run on the board's thread, during a call or pump().
    """

    def __init__(self, device_or_port: DeviceOrPort, baud: int = 9600,
                 reconnect: "Union[bool, Reconnect]" = False) -> None:
        if isinstance(device_or_port, bool) or not isinstance(device_or_port, (int, str, os.PathLike)):
            raise TypeError("device_or_port must be a device path or a COM number")
        if isinstance(device_or_port, os.PathLike):
            device_or_port = os.fspath(device_or_port)
        if isinstance(device_or_port, str) and "\0" in device_or_port:
            raise ValueError("embedded null character in the device path")
        if reconnect is True:
            reconnect = Reconnect()
        if isinstance(reconnect, Reconnect):
            super().__init__(device_or_port, baud, reconnect.call_limit, reconnect.first_pause,
                             reconnect.max_pause)
        elif reconnect is False or reconnect is None:
            super().__init__(device_or_port, baud)
        else:
            raise TypeError("reconnect must be True, False or a Reconnect")
        self.__dict__["_opened"] = True
        self.__dict__["_thread"] = threading.current_thread()
        self.__dict__["_where"] = device_or_port

    def __enter__(self) -> "Board":
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()

    def __del__(self) -> None:
        # Only its own thread may close the port: dropped elsewhere while that thread lives
        # (an idle worker of a pool), the device stays busy until that thread's next board
        # call or its end. Said as Python says an unclosed file.
        owner = self.__dict__.get("_thread")
        if (owner is None or self.__dict__.get("_closed") or owner is threading.current_thread()
                or not owner.is_alive()):
            return
        warnings.warn(f"vantrel.Board({self.__dict__.get('_where')!r}) was dropped on thread "
                      f"{threading.current_thread().name!r} without close(): its device stays "
                      f"open until its own thread {owner.name!r} makes its next board call or "
                      f"ends; close() it on that thread (in the pool's task, or with `with`)",
                      ResourceWarning, stacklevel=2)

    def close(self) -> None:
        """Closes the port now; later calls raise Error. Closing twice does nothing. From
        another thread than the board's it raises Error and changes nothing."""
        if self.__dict__.get("_closed"):
            return
        super().close()  # raises from a wrong thread, before anything is changed
        self.__dict__["_closed"] = True
        for name in ("on_new_data", "on_interrupt_low", "on_interrupt_high", "on_disconnected",
                     "on_reconnected"):
            if self.__dict__.get(name) is not None:
                setattr(self, name, None)

    def read_many(self, bits: int, channel: int, count: int, interval: float = 0.0,
                  timestamps: bool = False):
        """`count` readings of one channel, starting `interval` seconds apart (each on its own
        deadline), as a NumPy array of float64 when NumPy is installed, else a list. With
        `timestamps`, (time, value) pairs: a NumPy structured array with fields "time"
        (datetime64[us], UTC) and "value", else a list of (datetime in UTC, float) tuples.
        A reading's time is when its conversion began (one redone after the board came back
        has the time of the redo). Deadlines that passed whole while the board was away are
        not made up: they are skipped and marked by one gap, a NaN value at the first of them.
        Raises as read() does; without timestamps, the exception (KeyboardInterrupt included)
        carries the readings taken before it as `readings`."""
        if timestamps:
            return self._timed(*_vantrel._read_many_timed(self, bits, channel, count, interval))
        try:
            values = self._read_many(bits, channel, count, interval)
        except BaseException as e:
            e.readings = self._array(self.__dict__.pop("_taken", []))
            raise
        return self._array(values)

    @staticmethod
    def _array(values: List[float]):
        return _numpy.array(values, dtype=_numpy.float64) if _numpy is not None else values

    @staticmethod
    def _timed(times: List[float], values: List[float]):
        if _numpy is not None:
            pairs = _numpy.empty(len(values), dtype=[("time", "datetime64[us]"),
                                                     ("value", _numpy.float64)])
            pairs["time"] = (_numpy.array(times) * 1e6).round().astype("datetime64[us]")
            pairs["value"] = values
            return pairs
        utc = datetime.timezone.utc
        return [(datetime.datetime.fromtimestamp(t, utc), v) for t, v in zip(times, values)]

    def self_test(self, bits: Optional[int] = None) -> List[SelfCheck]:
        """The converter of width `bits` (every one of converters() when None) on its reference
        inputs: one SelfCheck per input, with the reading, the window and the verdict."""
        return super().self_test() if bits is None else super().self_test(bits)

    on_new_data = _event(
        "on_new_data",
        "Called as handler(value, error) after every read, command and check; value is the "
        "control's value (None before any), error its error text.")
    on_interrupt_low = _event(
        "on_interrupt_low", "Called as handler() whenever received text holds an 'L'.")
    on_interrupt_high = _event(
        "on_interrupt_high", "Called as handler() whenever received text holds an 'H'.")
    on_disconnected = _event(
        "on_disconnected",
        "With reconnect: called as handler(reason) when the device goes away.")
    on_reconnected = _event(
        "on_reconnected",
        "With reconnect: called as handler(after_seconds) when the device is back and open.")

    def __repr__(self) -> str:
        if not self.__dict__.get("_opened"):
            return "<vantrel.Board, not opened>"
        state = "closed" if self.__dict__.get("_closed") else f"{self.baud} baud"
        return f"<vantrel.Board {self.device!r} COM{self.port} {state}>"


def _check_seconds(value: float, what: str) -> None:
    if not 0 <= value <= 1e6:
        raise ValueError(f"{what} must be between 0 and 1e6 seconds")


def find(baud: int = 9600) -> Optional[Board]:
    """The board on the first of COM1 to COM8 that answers at `baud`, open; None if none does.
    Up to eight reply timeouts when nothing answers."""
    board = Board.__new__(Board)
    try:
        _vantrel.Board.__init__(board, None, baud)
    except IndexError:
        return None
    board.__dict__["_opened"] = True
    return board


class Simulator(_vantrel._Simulator):
    """A simulated board on a pseudo-terminal, served by a thread of its own, so that code can
    be tried and tested without the board. Open `sim.device` like a serial device.

    The board answers "PCSA128", "PWS<n>", "PRS", "@" and "PRA"; everything else gets
    "?A Illegal command". Readings default to the converters' reference codes on channels 11
    (half), 12 (zero), 13 (full) and 0 elsewhere. Faults: set_silent, set_out_of_step,
    set_reply_delay, set_reply_split, set_reply_prefix, refuse_setup, override_reply,
    script_replies, hang_up_after, hang_up; send() puts bytes on the line unasked ("L\\r\\n").

    Inputs that move: set_input(10, 3, "sine 512 400 2s") (also ramp, square, step, noise,
    alternate, as vantrel-sim's console takes them); a conversion samples its input when it
    starts. `log` names a file that gets one CSV line for each conversion the board makes
    (wall_us,mono_us,bits,channel,word,reading), to check readings against. set_baud(rate)
    gives the board a rate of its own: a client at another rate gets garbage.
    """

    def __init__(
        self, bits8: bool = False, echo: bool = False, pace: bool = False, log: str = ""
    ) -> None:
        super().__init__(bits8, echo, pace, str(log))

    def __enter__(self) -> "Simulator":
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()

    def close(self) -> None:
        """Stops the board; its device goes away."""
        self.hang_up()

    def __repr__(self) -> str:
        return f"<vantrel.Simulator {self.device!r}>"


class AsyncBoard:
    """A Board for asyncio. Each AsyncBoard is served by a thread of its own, which opens the
    board and makes every call, so several boards work at the same time while the event loop
    stays free:

        async with vantrel.AsyncBoard(device, 115200) as board:
            value = await board.read_async(10, 3)

    Event handlers (on_new_data, on_interrupt_low, on_interrupt_high, and with `reconnect`
    on_disconnected and on_reconnected) are called on the event
    loop's thread.

    Cancelling a call: read_many_async and pump_async stop at once, except that a reading under
    way finishes on the board's thread (a reply cannot be cut short). Any other call runs on to
    its end there (at most a reply timeout per command); later calls wait for it. An AsyncBoard
    collected without close_async() has its board closed on its own thread.
    """

    def __init__(self, device_or_port: DeviceOrPort, baud: int = 9600,
                 reconnect: Union[bool, Reconnect] = False) -> None:
        self._args = (device_or_port, baud, reconnect)
        self._board: Optional[Board] = None
        self._executor: Optional[concurrent.futures.ThreadPoolExecutor] = None
        self._loop: Optional[asyncio.AbstractEventLoop] = None
        self.on_new_data: Optional[NewDataHandler] = None
        self.on_interrupt_low: Optional[InterruptHandler] = None
        self.on_interrupt_high: Optional[InterruptHandler] = None
        self.on_disconnected: Optional[Callable[[str], Any]] = None
        self.on_reconnected: Optional[Callable[[float], Any]] = None

    @classmethod
    def _adopt(cls, board: Board, executor, loop) -> "AsyncBoard":
        self = cls(board.device, board.baud)
        self._board, self._executor, self._loop = board, executor, loop
        self._connect()
        return self

    async def open(self) -> "AsyncBoard":
        """Opens the board on its own thread. Raises what Board() raises."""
        if self._board is not None:
            return self
        self._loop = asyncio.get_running_loop()
        self._executor = concurrent.futures.ThreadPoolExecutor(1, "vantrel-board")
        try:
            self._board = await self._run(Board, *self._args)
        except BaseException:
            self._executor.shutdown(wait=False)
            self._executor = None
            raise
        self._connect()
        return self

    def _connect(self) -> None:
        loop = self._loop
        me = weakref.ref(self)  # the board's handlers must not keep this object alive

        def forward(name):
            def handler(*args):
                target = getattr(me(), name, None)
                if target is not None:
                    loop.call_soon_threadsafe(target, *args)
            return handler

        self._board.on_new_data = forward("on_new_data")
        self._board.on_interrupt_low = forward("on_interrupt_low")
        self._board.on_interrupt_high = forward("on_interrupt_high")
        self._board.on_disconnected = forward("on_disconnected")
        self._board.on_reconnected = forward("on_reconnected")

    async def _run(self, fn, *args):
        if self._executor is None:
            raise Error("the board is not open")
        return await self._loop.run_in_executor(self._executor, functools.partial(fn, *args))

    @property
    def board(self) -> Board:
        """The Board underneath; call it only from the board's own thread."""
        if self._board is None:
            raise Error("the board is not open")
        return self._board

    async def command_async(self, text: str) -> Reply:
        return await self._run(self.board.command, text)

    async def read_async(self, bits: int, channel: int) -> float:
        return await self._run(self.board.read, bits, channel)

    async def read_many_async(self, bits: int, channel: int, count: int, interval: float = 0.0,
                              timestamps: bool = False):
        """read_many(), one reading at a time on the board's thread and the intervals on the
        event loop, so that cancelling it stops it after the reading under way."""
        if count < 0:
            raise ValueError("count must not be negative")
        _check_seconds(interval, "interval")
        board = self.board

        def timed():
            return board._read_timed(bits, channel)

        loop = asyncio.get_running_loop()
        times: List[float] = []
        values: List[float] = []
        start = loop.time()
        for i in range(count):
            if i and interval > 0:
                await asyncio.sleep(max(0.0, start + i * interval - loop.time()))
            taken, value = await self._run(timed)
            times.append(taken)
            values.append(value)
        return Board._timed(times, values) if timestamps else Board._array(values)

    async def self_test_async(self, bits: Optional[int] = None) -> List[SelfCheck]:
        return await self._run(self.board.self_test, bits)

    async def resync_async(self) -> bool:
        return await self._run(self.board.resync)

    async def pump_async(self, timeout: float) -> None:
        """Serves the board's events (interrupts) for `timeout` seconds, in slices of at most
        50 ms, so that cancelling it frees the board's thread within one slice."""
        _check_seconds(timeout, "timeout")
        loop = asyncio.get_running_loop()
        end = loop.time() + timeout
        while True:
            left = end - loop.time()
            if left <= 0:
                return
            await self._run(self.board.pump, min(left, 0.05))

    async def close_async(self) -> None:
        if self._board is None:
            return
        board, self._board = self._board, None
        try:
            await self._loop.run_in_executor(self._executor, board.close)
        finally:
            self._executor.shutdown(wait=False)
            self._executor = None

    def __del__(self) -> None:
        # Never closed: the board is closed on its own thread, which then ends.
        board, executor = getattr(self, "_board", None), getattr(self, "_executor", None)
        if board is None or executor is None:
            return
        self._board = self._executor = None
        try:
            executor.submit(board.close)
            executor.shutdown(wait=False)
        except RuntimeError:  # the interpreter is shutting down
            pass

    async def __aenter__(self) -> "AsyncBoard":
        return await self.open()

    async def __aexit__(self, *exc: object) -> None:
        await self.close_async()


async def find_async(baud: int = 9600) -> Optional[AsyncBoard]:
    """find() on a thread of its own; the board found is an open AsyncBoard served by that
    thread, None when no port answered."""
    loop = asyncio.get_running_loop()
    executor = concurrent.futures.ThreadPoolExecutor(1, "vantrel-board")
    try:
        board = await loop.run_in_executor(executor, find, baud)
    except BaseException:
        executor.shutdown(wait=False)
        raise
    if board is None:
        executor.shutdown(wait=False)
        return None
    return AsyncBoard._adopt(board, executor, loop)
