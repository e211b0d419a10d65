"""Readings with their times, and the recorder's calibrations, from Python."""
import datetime

import pytest

import vantrel

BAUD = 9600


def test_read_many_with_timestamps():
    with vantrel.Simulator() as sim, vantrel.Board(sim.device, BAUD) as board:
        sim.set_reading(10, 3, 805.25)
        before = datetime.datetime.now(datetime.timezone.utc)
        pairs = board.read_many(10, 3, 4, interval=0.01, timestamps=True)
        after = datetime.datetime.now(datetime.timezone.utc)
        assert len(pairs) == 4
        try:
            import numpy
        except ImportError:
            numpy = None
        if numpy is not None:
            assert pairs.dtype.names == ("time", "value")
            assert list(pairs["value"]) == [805.25] * 4
            times = [t.astype("datetime64[us]").astype(datetime.datetime).replace(
                tzinfo=datetime.timezone.utc) for t in pairs["time"]]
        else:
            assert [v for _, v in pairs] == [805.25] * 4
            times = [t for t, _ in pairs]
        assert before - datetime.timedelta(milliseconds=1) <= times[0]
        assert times[-1] <= after
        assert times == sorted(times)
        assert len(board.read_many(10, 3, 0, timestamps=True)) == 0


@pytest.mark.parametrize("calibration,raw,value,kind", [
    (vantrel.Calibration(), 805.25, 805.25, "none"),
    (vantrel.Calibration.linear(0.5, -2), 10, 3, "linear"),
    (vantrel.Calibration.polynomial([1, 0.5, 0.25]), 2, 3, "polynomial"),
    (vantrel.Calibration.table([(0, 0), (100, 10), (200, 40)]), 150, 25, "table"),
    (vantrel.Calibration.table([(0, 0), (100, 10)]), 300, 30, "table"),
])
def test_calibrations(calibration, raw, value, kind):
    assert calibration(raw) == pytest.approx(value)
    assert calibration.kind == kind


def test_calibration_refuses_what_the_run_file_refuses():
    with pytest.raises(ValueError, match="increase"):
        vantrel.Calibration.table([(1, 0), (1, 2)])
    with pytest.raises(ValueError, match="at least one coefficient"):
        vantrel.Calibration.polynomial([])
    assert repr(vantrel.Calibration.linear(0.1, -5)) == "Calibration(linear: 0.1 x raw + -5)"
