"""ImageWriter: JPEG streams checked by independent decoders, errors, argument kinds, async calls."""

import io
import subprocess
import sys
import textwrap
import threading
import time

import libjpeg
import numpy as np
import pytest
from PIL import Image

import kiv_rs

SIZE_ERROR = (
    "JPEG encoding failed: Format error encoding Jpeg:\n"
    "Invalid image size ({} x {}) to encode as JPEG: width and height must be >= 1 and <= 65535"
)


@pytest.fixture
def writer():
    return kiv_rs.ImageWriter()


def gradient(width: int, height: int) -> np.ndarray:
    x = np.linspace(0, 255, width)[None, :].repeat(height, 0)
    y = np.linspace(0, 255, height)[:, None].repeat(width, 1)
    return np.stack([x, y, 255 - (x + y) / 2], axis=2).round().astype(np.uint8)


def decode(stream: list[int]) -> np.ndarray:
    """Pillow where it can; libjpeg (an independent implementation) above Pillow's 65500-pixel limit."""
    data = bytes(stream)
    image = Image.open(io.BytesIO(data))
    if max(image.size) <= 65500:
        assert image.format == "JPEG" and image.mode == "RGB"
        return np.asarray(image)
    return libjpeg.decode(data, colour_transform=1)


def test_stream_is_a_list_of_ints_between_the_jpeg_markers(writer):
    stream = writer.encode_jpeg(bytes(2 * 2 * 3), 2, 2, 85)
    assert type(stream) is list and all(type(b) is int and 0 <= b <= 255 for b in stream)
    assert stream[:2] == [0xFF, 0xD8] and stream[-2:] == [0xFF, 0xD9]
    assert stream[2:4] == [0xFF, 0xE0]  # JFIF header
    sof = bytes(stream).index(b"\xff\xc0")  # baseline frame
    assert bytes(stream)[sof + 5 : sof + 9] == b"\x00\x02\x00\x02"  # height, width


@pytest.mark.parametrize("colour", [(255, 0, 0), (0, 255, 0), (0, 0, 255), (0, 0, 0), (255, 255, 255), (37, 150, 201)])
def test_solid_frame_keeps_its_colour(writer, colour):
    frame = np.full((48, 64, 3), colour, np.uint8)
    decoded = decode(writer.encode_jpeg(frame.tobytes(), 64, 48, 85))
    assert decoded.shape == (48, 64, 3)
    assert np.abs(decoded.astype(int) - colour).max() <= 3


@pytest.mark.parametrize(
    "width, height, mean_error",
    # Across 7 pixels the colour steps by 42 levels a pixel, which halved chroma resolution blurs.
    [(640, 480, 1.5), (97, 61, 2.0), (1, 1, 1.0), (7, 300, 6.0)],
)
def test_gradient_frame_decodes_within_jpeg_tolerance(writer, width, height, mean_error):
    frame = gradient(width, height)
    decoded = decode(writer.encode_jpeg(frame.tobytes(), width, height, 90))
    assert decoded.shape == frame.shape
    difference = np.abs(decoded.astype(int) - frame)
    assert difference.mean() < mean_error and difference.max() < 32


@pytest.mark.parametrize(
    "width, height",
    # 65500 is libjpeg-turbo's largest side; above it, up to what a JPEG header holds, our own encoder serves.
    [(65500, 1), (65501, 1), (65535, 1), (1, 65535), (65535, 9)],
)
def test_every_side_up_to_65535_encodes(writer, width, height):
    frame = gradient(width, height)
    decoded = decode(writer.encode_jpeg(frame.tobytes(), width, height, 85))
    assert decoded.shape == frame.shape
    assert np.abs(decoded.astype(int) - frame).mean() < 3


def test_quality_is_clamped_to_1_through_100(writer):
    frame = gradient(40, 24).tobytes()
    encode = lambda quality: writer.encode_jpeg(frame, 40, 24, quality)  # noqa: E731
    assert encode(0) == encode(1)
    assert encode(101) == encode(100) == encode(255)
    assert encode(1) != encode(50) != encode(100)
    assert len(encode(1)) < len(encode(100))


@pytest.mark.parametrize(
    "length, width, height, message",
    [
        (11, 2, 2, "Invalid image data: expected 12 bytes for 2x2 RGB, got 11"),
        (0, 2**32 - 1, 2**32 - 1, "Invalid image data: expected 18446744047939747843 bytes for 4294967295x4294967295 RGB, got 0"),
        # width * height * 3 wraps to 11936: the length matches, but the frame cannot exist.
        (11936, 1431724848, 4294760058, "Failed to create image buffer"),
        (0, 0, 5, SIZE_ERROR.format(0, 5)),
        (0, 5, 0, SIZE_ERROR.format(5, 0)),
        (210000, 70000, 1, SIZE_ERROR.format(70000, 1)),
        (196608, 1, 65536, SIZE_ERROR.format(1, 65536)),
    ],
)
def test_encode_errors_raise_value_error_with_their_text(writer, length, width, height, message):
    with pytest.raises(ValueError) as raised:
        writer.encode_jpeg(bytes(length), width, height, 85)
    assert str(raised.value) == message
    # The same failure on the asynchronous path is only logged.
    assert writer.submit_async(bytes(length), width, height, 85) is None


@pytest.mark.parametrize("method", ["encode_jpeg", "submit_async"])
@pytest.mark.parametrize(
    "args, error, message",
    [
        (("abc", 1, 1, 85), TypeError, None),
        ((bytes(3), 1.0, 1, 85), TypeError, "argument 'width': 'float' object cannot be interpreted as an integer"),
        ((bytes(3), 1, 2**32, 85), OverflowError, "out of range integral type conversion attempted"),
        ((bytes(3), 1, 1, 256), OverflowError, "out of range integral type conversion attempted"),
        ((bytes(3), 1, 1, -1), OverflowError, "out of range integral type conversion attempted"),
        ((bytes(3), 1, 1), TypeError, "ImageWriter.{method}() missing 1 required positional argument: 'quality'"),
    ],
)
def test_argument_errors_of_both_methods(writer, method, args, error, message):
    with pytest.raises(error) as raised:
        getattr(writer, method)(*args)
    if message is not None:
        assert str(raised.value) == message.format(method=method)
    else:
        assert str(raised.value).startswith("argument 'data': ")


def test_encode_takes_bytes_only_while_submit_takes_any_byte_sequence(writer):
    with pytest.raises(TypeError, match=r"^argument 'data': 'bytearray' object cannot be converted to 'PyBytes'$"):
        writer.encode_jpeg(bytearray(12), 2, 2, 85)

    class Frame(bytes):
        pass

    assert writer.encode_jpeg(Frame(12), 2, 2, 85) == writer.encode_jpeg(bytes(12), 2, 2, 85)
    for data in [bytearray(12), [0] * 12, memoryview(bytes(12)), bytes(12)]:
        assert writer.submit_async(data, 2, 2, 85) is None
    with pytest.raises(TypeError, match=r"^argument 'data': 'int' object cannot be converted to 'Sequence'$"):
        writer.submit_async(12, 2, 2, 85)
    with pytest.raises(OverflowError):
        writer.submit_async([0] * 11 + [256], 2, 2, 85)


def test_keywords_name_the_parameters(writer):
    frame = bytes(4 * 3)
    assert writer.encode_jpeg(quality=85, height=2, width=2, data=frame) == writer.encode_jpeg(frame, 2, 2, 85)
    assert writer.submit_async(frame, 2, quality=85, height=2) is None


def native_thread_count() -> int:
    with open("/proc/self/status") as status:
        return next(int(line.split()[1]) for line in status if line.startswith("Threads:"))


def test_many_concurrent_submissions_all_finish(writer):
    before = native_thread_count()
    frame = gradient(160, 120).tobytes()

    def submit_many(offset: int) -> None:
        for i in range(25):
            # Every fifth frame is short, so that failures run alongside the encodings.
            data = frame if (offset + i) % 5 else frame[:-1]
            assert writer.submit_async(data, 160, 120, 60 + i) is None

    callers = [threading.Thread(target=submit_many, args=(n,)) for n in range(8)]
    for caller in callers:
        caller.start()
    for caller in callers:
        caller.join()
    # Each encoding thread ends by itself once its frame is done.
    deadline = time.monotonic() + 60
    while native_thread_count() > before and time.monotonic() < deadline:
        time.sleep(0.01)
    assert native_thread_count() <= before


def test_releasing_the_writer_leaves_running_encodings_alone():
    before = native_thread_count()
    writer = kiv_rs.ImageWriter()
    frame = gradient(640, 480).tobytes()
    for _ in range(4):
        writer.submit_async(frame, 640, 480, 85)
    del writer, frame
    deadline = time.monotonic() + 60
    while native_thread_count() > before and time.monotonic() < deadline:
        time.sleep(0.01)
    assert native_thread_count() <= before


def test_thread_spawn_failure_raises_internal_fault():
    # A separate interpreter whose address space leaves no room for a thread stack.
    script = textwrap.dedent(
        """
        import resource, kiv_rs
        writer = kiv_rs.ImageWriter()
        with open("/proc/self/status") as status:
            size = next(int(line.split()[1]) * 1024 for line in status if line.startswith("VmSize:"))
        resource.setrlimit(resource.RLIMIT_AS, (size + (1 << 20), resource.RLIM_INFINITY))
        try:
            writer.submit_async(bytes(12), 2, 2, 85)
        except BaseException as error:
            print(type(error).__name__, isinstance(error, Exception), error, sep="|")
        """
    )
    result = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=60)
    name, is_exception, message = result.stdout.strip().split("|")
    assert (name, is_exception) == ("InternalFault", "False")
    assert message.startswith("failed to spawn thread")


CLASS_DOC = (
    "Async JPEG encoder for fire-and-forget image encoding (no GIL).\n\n"
    "Accepts raw RGB bytes from Python and encodes to JPEG in background threads.\n"
    "Returns immediately without waiting for encoding to complete.\n\n"
    "Constructor: ``ImageWriter()``\n\n"
    "Methods:\n"
    "  - encode_jpeg(data, width, height, quality) -> bytes (synchronous)\n"
    "  - submit_async(data, width, height, quality) -> None (fire-and-forget)\n\n"
    "Example (Python):\n"
    "```python\n"
    "from kiv_rs import ImageWriter\n"
    "writer = ImageWriter()\n"
    "# Fire-and-forget: returns immediately, encoding happens on background thread\n"
    "writer.submit_async(frame.tobytes(), 640, 480, 85)\n"
    "```"
)
ARGS_DOC = (
    "Args:\n"
    "  data: Raw RGB bytes (width * height * 3 bytes)\n"
    "  width: Image width in pixels\n"
    "  height: Image height in pixels\n"
    "  quality: JPEG quality (1-100, default 85)"
)
ENCODE_DOC = "Encode raw RGB bytes to JPEG synchronously.\n\n" + ARGS_DOC + "\n\nReturns:\n  JPEG bytes encoded from the input image"
SUBMIT_DOC = (
    "Submit image for async JPEG encoding (fire-and-forget).\n\n"
    "Returns immediately. Encoding happens on a background thread.\n"
    "No callback or return value \u2014 designed for hot-path Python code.\n\n" + ARGS_DOC
)


def test_documentation_signatures_and_repr():
    cls = kiv_rs.ImageWriter
    assert (cls.__text_signature__, cls.__doc__) == ("()", CLASS_DOC)
    for method, doc in [(cls.encode_jpeg, ENCODE_DOC), (cls.submit_async, SUBMIT_DOC)]:
        assert (method.__text_signature__, method.__doc__) == ("($self, data, width, height, quality)", doc)
    assert repr(kiv_rs.ImageWriter()) == str(kiv_rs.ImageWriter()) == "ImageWriter()"
    with pytest.raises(TypeError, match=r"^ImageWriter.__new__\(\) takes 0 positional arguments but 1 was given$"):
        kiv_rs.ImageWriter(85)
