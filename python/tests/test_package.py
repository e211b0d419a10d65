"""The package as a newcomer meets it: its version, and what it says for a device that cannot
be a board."""
import re

import pytest

import vantrel


def test_version_is_the_library_s():
    assert re.fullmatch(r"[0-9]+\.[0-9]+\.[0-9]+", vantrel.__version__)


@pytest.mark.parametrize("device, said", [
    ("/dev/null", "/dev/null is not a terminal"),
    ("COM3", "open COM3: No such file or directory; COM3 is a Windows port name: here it is "
             "COM number 3 (the port map makes it a device, by default /dev/ttyS2), or give the "
             "device path itself, such as /dev/ttyUSB0"),
])
def test_a_device_that_cannot_be_a_board_says_why(device, said):
    with pytest.raises(vantrel.Error) as e:
        vantrel.Board(device)
    assert said in str(e.value)
