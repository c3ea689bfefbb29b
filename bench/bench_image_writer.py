"""JPEG encoding of camera-sized RGB frames at quality 85.

``encode_jpeg`` (list conversion included) against Pillow, and against
simplejpeg and OpenCV where they are installed (the ``bench`` extra: ``pip
install simplejpeg opencv-python-headless``). Every encoder writes baseline
4:2:0 at the same quality: Pillow and OpenCV do by default, simplejpeg is
asked to (its default is 4:4:4, twice the chroma work). Also the caller's
cost of ``submit_async``: copying the frame and starting its thread, set
beside the copy alone.
"""

from __future__ import annotations

import io
import statistics
import time
from typing import Callable

import numpy as np
from PIL import Image

import kiv_rs
from harness import Row, time_calls

QUALITY = 85
SIZES = [(640, 480), (1280, 720)]


def camera_frame(width: int, height: int) -> np.ndarray:
    """Smooth shading, some edges and sensor noise: a frame that compresses like a camera's."""
    rng = np.random.default_rng(7)
    y, x = np.mgrid[0:height, 0:width].astype(np.float32)
    shading = np.stack([x / width * 200, y / height * 180, (x + y) / (width + height) * 160], axis=2)
    edges = ((x // 40 + y // 30) % 2)[..., None] * 40
    noise = rng.normal(0, 4, (height, width, 3))
    return np.clip(shading + edges + noise + 20, 0, 255).astype(np.uint8)


def peers(frame: np.ndarray) -> dict[str, Callable[[], object]]:
    height, width = frame.shape[:2]
    data = frame.tobytes()

    def pillow() -> bytes:
        out = io.BytesIO()
        Image.frombytes("RGB", (width, height), data).save(out, "JPEG", quality=QUALITY)
        return out.getvalue()

    found = {"Pillow frombytes+save": pillow}
    try:
        import simplejpeg

        found["simplejpeg 4:2:0"] = lambda: simplejpeg.encode_jpeg(frame, QUALITY, colorsubsampling="420")
    except ImportError:
        pass
    try:
        import cv2

        bgr = np.ascontiguousarray(frame[..., ::-1])
        found["OpenCV imencode"] = lambda: cv2.imencode(".jpg", bgr, [cv2.IMWRITE_JPEG_QUALITY, QUALITY])
    except ImportError:
        pass
    return found


def native_thread_count() -> int:
    with open("/proc/self/status") as status:
        return next(int(line.split()[1]) for line in status if line.startswith("Threads:"))


def caller_ns(frame: np.ndarray, *calls: Callable[[bytes], object], samples: int = 60) -> list[float]:
    """Median time of one call of each, taken in turns, on a frame just made with ``tobytes()``
    as a camera loop would. Each call waits until every encoding thread has ended (as when
    frames arrive slower than they encode), so no run-up of threads on the two cores skews it."""
    baseline = native_thread_count()
    times: list[list[int]] = [[] for _ in calls]
    for _ in range(samples):
        for call, taken in zip(calls, times):
            data = frame.tobytes()
            start = time.perf_counter_ns()
            call(data)
            taken.append(time.perf_counter_ns() - start)
            del data
            deadline = time.monotonic() + 10
            while native_thread_count() > baseline and time.monotonic() < deadline:
                time.sleep(0.0005)
    return [statistics.median(taken) for taken in times]


def run() -> list[Row]:
    writer = kiv_rs.ImageWriter()
    rows = []
    for width, height in SIZES:
        frame = camera_frame(width, height)
        data = frame.tobytes()
        named = peers(frame)
        subject, *peer_times = time_calls(
            lambda: writer.encode_jpeg(data, width, height, QUALITY), *named.values(), min_time_s=0.6
        )
        fastest = min(peer_times)
        label = f"encode_jpeg {width}x{height} q{QUALITY}"
        for name, peer_ns in zip(named, peer_times):
            if peer_ns == fastest:
                rows.append(Row(label, subject, name, peer_ns, "<= 1.1x fastest peer", subject <= 1.1 * fastest))
            else:
                rows.append(Row(label, subject, name, peer_ns, "report", True))
        caller, copy = caller_ns(frame, lambda fresh: writer.submit_async(fresh, width, height, QUALITY), bytearray)
        label = f"submit_async {width}x{height} caller"
        rows.append(Row(label, caller, "encode_jpeg (one encode)", subject, "< 0.05x", caller < 0.05 * subject))
        rows.append(Row(label, caller, "bytearray(frame), the copy alone", copy, "report", True))
    return rows
