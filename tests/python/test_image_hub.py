"""ImageHub: the camera frame store, as Python sees it."""

import math

import pytest

from kiv_rs import ImageHub


def test_fresh_hub_is_empty():
    hub = ImageHub(1.0)
    assert hub.current_sequence() == 0
    assert hub.latest_all() == []
    assert hub.latest_jpeg("cam0") is None
    assert repr(hub) == "ImageHub(native)"


def test_frame_comes_back_as_a_tuple_of_copies():
    hub = ImageHub(window_sec=1.0)
    data = b"\x01\x02\x03"
    hub.submit_jpeg("cam0", 1.5, 2, 1, data)
    frame = hub.latest_jpeg("cam0")
    assert frame == ("cam0", 1.5, 2, 1, b"\x01\x02\x03")
    assert [type(v) for v in frame] == [str, float, int, int, bytes]
    assert frame[4] is not data and hub.latest_jpeg("cam0")[4] is not frame[4]
    assert hub.latest_all() == [frame]
    assert repr(hub) == "ImageHub(native)"


def test_sequence_counts_accepted_frames_only():
    hub = ImageHub(1.0)
    hub.submit_jpeg("cam0", 1.0, 1, 1, b"")
    assert hub.current_sequence() == 0
    assert hub.latest_jpeg("cam0") is None
    for t in (1.0, 2.0, 3.0):
        hub.submit_jpeg(camera_name="cam0", timestamp=t, width=1, height=1, data=b"x")
    assert hub.current_sequence() == 3


def test_latest_frame_is_the_newest_by_timestamp_per_exact_name():
    hub = ImageHub(10.0)
    hub.submit_jpeg("cam0", 5.0, 1, 1, b"first")
    hub.submit_jpeg("cam0", 4.0, 1, 1, b"older")
    assert hub.latest_jpeg("cam0")[4] == b"first"
    assert hub.current_sequence() == 2
    hub.submit_jpeg("cam0", 5.0, 1, 1, b"equal")
    assert hub.latest_jpeg("cam0")[4] == b"equal"
    hub.submit_jpeg("cam0", math.nan, 1, 1, b"nan")
    assert hub.latest_jpeg("cam0")[4] == b"equal"
    hub.submit_jpeg("cam1", math.inf, 3, 4, b"other")
    assert hub.latest_jpeg("Cam0") is None
    assert sorted(hub.latest_all()) == [("cam0", 5.0, 1, 1, b"equal"), ("cam1", math.inf, 3, 4, b"other")]


@pytest.mark.parametrize("window", [0, -5, math.nan, 2.0, math.inf, True])
def test_any_window_is_accepted(window):
    hub = ImageHub(window)
    hub.submit_jpeg("cam0", 0.0, 1, 1, b"x")
    assert hub.current_sequence() == 1


@pytest.mark.parametrize(
    ("args", "error", "message"),
    [
        ((1, 1.0, 1, 1, b"x"), TypeError, "argument 'camera_name': 'int' object cannot be converted to 'PyString'"),
        (("c", "1.0", 1, 1, b"x"), TypeError, "argument 'timestamp': must be real number, not str"),
        (("c", 1.0, 1.5, 1, b"x"), TypeError, "argument 'width': 'float' object cannot be interpreted as an integer"),
        (("c", 1.0, 1, 2**32, b"x"), OverflowError, "out of range integral type conversion attempted"),
        (("c", 1.0, -1, 1, b"x"), OverflowError, "out of range integral type conversion attempted"),
        (("c", 1.0, 1, 1, bytearray(b"x")), TypeError, "argument 'data': 'bytearray' object cannot be converted to 'PyBytes'"),
        (("c", 1.0, 1, 1, [1]), TypeError, "argument 'data': 'list' object cannot be converted to 'PyBytes'"),
    ],
)
def test_argument_conversion_errors(args, error, message):
    hub = ImageHub(1.0)
    with pytest.raises(error) as raised:
        hub.submit_jpeg(*args)
    assert str(raised.value) == message
    assert hub.current_sequence() == 0


def test_argument_matching():
    hub = ImageHub(1.0)
    with pytest.raises(TypeError, match=r"ImageHub.__new__\(\) missing 1 required positional argument: 'window_sec'"):
        ImageHub()
    with pytest.raises(TypeError, match=r"ImageHub.latest_jpeg\(\) missing 1 required positional argument: 'camera_name'"):
        hub.latest_jpeg()
    with pytest.raises(TypeError):
        hub.latest_all(1)
    with pytest.raises(TypeError, match="argument 'camera_name'"):
        hub.latest_jpeg(b"cam0")


def test_signatures_and_docs():
    import inspect

    assert ImageHub.__doc__ == ""
    assert str(inspect.signature(ImageHub)) == "(window_sec)"
    assert str(inspect.signature(ImageHub.submit_jpeg)) == "(self, /, camera_name, timestamp, width, height, data)"
    assert str(inspect.signature(ImageHub.latest_jpeg)) == "(self, /, camera_name)"
    assert str(inspect.signature(ImageHub.latest_all)) == "(self, /)"
    assert str(inspect.signature(ImageHub.current_sequence)) == "(self, /)"
    assert ImageHub.submit_jpeg.__doc__ is None
