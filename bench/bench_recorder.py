"""Flight recorder: the caller's cost of write_cycle and the worker's
sustained throughput, against an idiomatic pure-Python recorder (the `mcap`
package's writer with zstd chunks and `msgpack.packb`, called synchronously).
"""

from __future__ import annotations

import io
import json
import random
import tempfile
import time
from pathlib import Path

import msgpack
from harness import Row, time_calls
from mcap.writer import CompressionType
from mcap.writer import Writer as PyMcapWriter

import kiv_rs

MAGIC = b"\x89MCAP0\r\n"
CYCLE_HZ = 1000.0
CAMERA_HZ = 30.0
CAMERAS = ("front", "wrist")


def typical_record(cycle_id: int, obs_timestamp: float) -> dict:
    """A 7-joint arm's cycle with five guards."""
    rng = random.Random(cycle_id)
    joints = [rng.uniform(-3, 3) for _ in range(7)]
    guards = [
        {
            "cycle_id": cycle_id, "timestamp": obs_timestamp, "guard_name": name, "event_class": None,
            "layer": layer, "decision": 0, "decision_name": "PASS", "reason": "within limits",
            "latency_ms": rng.uniform(0.01, 0.2), "is_violation": False, "is_clamp": False,
            "fault_source": None, "metadata": {"margin": rng.uniform(0, 1)},
        }
        for layer, name in enumerate(["joint_limits", "velocity", "workspace", "collision", "force"])
    ]  # fmt: skip
    return {
        "cycle_id": cycle_id, "obs_timestamp": obs_timestamp, "has_violation": False, "has_clamp": False,
        "violated_layer_mask": 0, "clamped_layer_mask": 0, "active_task": "pick_and_place",
        "active_boundaries": ["workspace", "table"], "active_cameras": list(CAMERAS),
        "obs_joint_positions": joints, "obs_channels": {"joint_velocities": [rng.uniform(-1, 1) for _ in range(7)]},
        "action_positions": [j + 0.01 for j in joints], "action_velocities": [0.1] * 7,
        "validated_positions": [j + 0.01 for j in joints], "validated_velocities": [0.1] * 7,
        "was_clamped": False, "fallback_triggered": None, "active_context": "normal", "context_severity": 0,
        "context_event": None, "guard_results": guards,
        "latency_stages": {"source": 0.1, "policy": 0.5, "guards": 0.3, "sink": 0.05, "total": 0.95},
        "latency_layers": {f"L{i}": 0.06 for i in range(5)},
        "latency_guards": {g["guard_name"]: g["latency_ms"] for g in guards},
        "image_data": [], "config_version": 3,
    }  # fmt: skip


def camera_frames() -> dict[str, bytes]:
    """One 640x480 JPEG per camera (Pillow, quality 85, a textured scene)."""
    from PIL import Image

    rng = random.Random(1)
    frames = {}
    for name in CAMERAS:
        noise = bytes(rng.getrandbits(8) for _ in range(640 * 480))
        gray = Image.frombytes("L", (640, 480), noise).resize((160, 120)).resize((640, 480))
        picture = Image.merge("RGB", (gray, gray.rotate(90, expand=False), gray.transpose(0)))
        out = io.BytesIO()
        picture.save(out, "JPEG", quality=85)
        frames[name] = out.getvalue()
    return frames


class PythonRecorder:
    """The idiomatic pure-Python peer: JSON text in, one MessagePack message
    per cycle and per frame, written synchronously into zstd chunks."""

    def __init__(self, path: Path) -> None:
        self._file = open(path, "wb")
        self._writer = PyMcapWriter(self._file, compression=CompressionType.ZSTD)
        self._writer.start(profile="kiv", library="python-peer")
        self._cycle_schema = self._writer.register_schema("kiv.Cycle", "application/msgpack", b"")
        self._image_schema = self._writer.register_schema("kiv.Image", "application/msgpack", b"")
        self._cycle_channel = self._writer.register_channel("/kiv/cycle", "application/msgpack", self._cycle_schema)
        self._image_channels: dict[str, int] = {}
        self._frames: list[dict] = []
        self._sequence = 0

    def submit_jpeg(self, camera: str, timestamp: float, width: int, height: int, data: bytes) -> None:
        self._frames.append({"camera_name": camera, "timestamp": timestamp, "width": width, "height": height, "data": data})

    def write_cycle(self, record_json: str) -> int:
        record = json.loads(record_json)
        sequence, self._sequence = self._sequence, self._sequence + 1
        if not record["image_data"] and self._frames:
            due = [f for f in self._frames if f["timestamp"] <= record["obs_timestamp"]]
            self._frames = [f for f in self._frames if f["timestamp"] > record["obs_timestamp"]]
            record["image_data"] = due
        time_ns = max(0, int(record["obs_timestamp"] * 1e9))
        self._writer.add_message(self._cycle_channel, time_ns, msgpack.packb(record), time_ns, sequence)
        for frame in record["image_data"]:
            channel = self._image_channels.get(frame["camera_name"])
            if channel is None:
                channel = self._writer.register_channel(
                    "/kiv/images/" + frame["camera_name"], "application/msgpack", self._image_schema
                )
                self._image_channels[frame["camera_name"]] = channel
            frame_ns = int(frame["timestamp"] * 1e9)
            self._writer.add_message(channel, frame_ns, msgpack.packb(frame), frame_ns, sequence)
        return sequence

    def finish(self) -> None:
        self._writer.finish()
        self._file.close()


def wait_finished(path: Path, timeout_s: float = 120.0) -> None:
    deadline = time.monotonic() + timeout_s
    while time.monotonic() < deadline:
        if path.exists() and path.stat().st_size > 16:
            with open(path, "rb") as f:
                f.seek(-8, 2)
                if f.read() == MAGIC:
                    return
        time.sleep(0.001)
    raise RuntimeError(f"{path} not finished")


def feed(write, texts: list[str], frames_due: list[list[tuple]], hub) -> int:
    """Writes every cycle, waiting while the queue is full; returns refusals."""
    refused = 0
    for text, due in zip(texts, frames_due):
        for frame in due:
            hub.submit_jpeg(*frame)
        while True:
            try:
                write(text)
                break
            except RuntimeError:
                refused += 1
                time.sleep(0.0002)
    return refused


def cycles_with_frames(count: int, jpegs: dict[str, bytes] | None) -> tuple[list[str], list[list[tuple]]]:
    """Cycle texts at 1 kHz of record time and, before each, the camera
    frames (30 Hz per camera) that became due."""
    texts, due, next_frame = [], [], 0
    for i in range(count):
        t = i / CYCLE_HZ
        frames = []
        while jpegs and next_frame / CAMERA_HZ <= t:
            frames += [(name, next_frame / CAMERA_HZ, 640, 480, data) for name, data in jpegs.items()]
            next_frame += 1
        texts.append(json.dumps(typical_record(i, t)))
        due.append(frames)
    return texts, due


def sustained(directory: Path, count: int, jpegs: dict[str, bytes] | None) -> tuple[float, float]:
    """ns per cycle, from first write to finished file: kiv_rs, then the Python peer."""
    texts, due = cycles_with_frames(count, jpegs)
    path = directory / "sustained.mcap"
    hub = kiv_rs.ImageHub(2.0)
    writer = kiv_rs.McapWriter()
    writer.attach_image_hub(hub, 2.0, False)
    writer.start(str(path))
    start = time.perf_counter_ns()
    feed(writer.write_cycle, texts, due, hub)
    writer.stop()
    wait_finished(path)
    subject = (time.perf_counter_ns() - start) / count

    peer = PythonRecorder(directory / "peer.mcap")
    start = time.perf_counter_ns()
    feed(peer.write_cycle, texts, due, peer)
    peer.finish()
    return subject, (time.perf_counter_ns() - start) / count


def caller_cost(directory: Path) -> tuple[float, float, float]:
    """ns per write_cycle call, json.loads of the same text, and the Python
    recorder's write_cycle; in interleaved rounds short enough for the queue,
    with a pause after each so that the worker drains it."""
    text = json.dumps(typical_record(1, 1.0))
    writer = kiv_rs.McapWriter()
    writer.start(str(directory / "caller.mcap"))
    peer = PythonRecorder(directory / "caller-peer.mcap")
    refused = 0

    def write() -> None:
        nonlocal refused
        try:
            writer.write_cycle(text)
        except RuntimeError:
            refused += 1

    subject, loads, python = time_calls(
        write, lambda: json.loads(text), lambda: peer.write_cycle(text),
        rounds=25, batch=400, between_rounds=lambda: time.sleep(0.05),
    )  # fmt: skip
    writer.stop()
    peer.finish()
    if refused:
        raise RuntimeError(f"{refused} cycles refused while timing the caller: the pauses are too short")
    return subject, loads, python


def real_time_loop(directory: Path, jpegs: dict[str, bytes], seconds: float) -> tuple[int, int, list[int]]:
    """A 1 kHz loop with two cameras at 30 Hz: cycles, refusals, and the
    sorted write_cycle call times in ns."""
    path = directory / "realtime.mcap"
    hub = kiv_rs.ImageHub(1.0)
    writer = kiv_rs.McapWriter()
    writer.attach_image_hub(hub, 1.0, False)
    writer.start(str(path))
    count = int(seconds * CYCLE_HZ)
    texts, due = cycles_with_frames(count, jpegs)
    refused, calls = 0, []
    start = time.perf_counter()
    for i, (text, frames) in enumerate(zip(texts, due)):
        while time.perf_counter() - start < i / CYCLE_HZ:
            pass
        for frame in frames:
            hub.submit_jpeg(*frame)
        before = time.perf_counter_ns()
        try:
            writer.write_cycle(text)
        except RuntimeError:
            refused += 1
        calls.append(time.perf_counter_ns() - before)
    writer.stop()
    wait_finished(path)
    return count, refused, sorted(calls)


def run() -> list[Row]:
    jpegs = camera_frames()
    rows = []
    with tempfile.TemporaryDirectory() as name:
        directory = Path(name)
        subject, loads, python = caller_cost(directory)
        rows.append(Row("write_cycle caller cost", subject, "json.loads(same text)", loads, "< json.loads", subject < loads))
        rows.append(Row("write_cycle caller cost", subject, "pure-Python recorder write_cycle", python, "report", True))

        worker, peer = sustained(directory, 20000, None)
        rows.append(
            Row(f"worker sustained, no frames ({1e9 / worker:,.0f} cycles/s)", worker,
                f"pure-Python recorder ({1e9 / peer:,.0f} cycles/s)", peer, ">= 20,000 cycles/s", worker <= 50_000)
        )  # fmt: skip
        worker, peer = sustained(directory, 10000, jpegs)
        rows.append(
            Row(f"worker sustained, 2x640x480 JPEG @30 Hz ({1e9 / worker:,.0f} cycles/s)", worker,
                f"pure-Python recorder ({1e9 / peer:,.0f} cycles/s)", peer, "report", True)
        )  # fmt: skip

        count, refused, calls = real_time_loop(directory, jpegs, 3.0)
        p99 = calls[int(len(calls) * 0.99)]
        rows.append(
            Row(f"1 kHz loop, 2 cameras @30 Hz: {refused} of {count} refused (median call; p99 {p99 / 1e3:.0f} us)",
                calls[len(calls) // 2], "the 1 ms cycle period", 1e6, "no cycle refused", refused == 0)
        )  # fmt: skip
    return rows
