"""Crash safety: a recording process killed with SIGKILL leaves a file whose
every flushed cycle can still be read, record by record."""

import os
import signal
import subprocess
import sys
import time
from pathlib import Path

import msgpack
from recording import MAGIC, expected_cycle, image, record, walk_records

# Records cycles (each with one frame from the hub) until it is killed.
CHILD = r"""
import sys, time
sys.path.insert(0, sys.argv[2])
from recording import record, to_json
import kiv_rs

hub = kiv_rs.ImageHub(10.0)
writer = kiv_rs.McapWriter()
writer.attach_image_hub(hub, 10.0, False)
writer.start(sys.argv[1])
frame = bytes(range(256)) * 80  # 20 KB, so chunks outgrow the file buffer
i = 0
while True:
    hub.submit_jpeg("cam0", i * 0.01, 64, 48, frame)
    writer.write_cycle(to_json(record(i, i * 0.01 + 0.005)))
    i += 1
    time.sleep(0.001)
"""

FRAME = bytes(range(256)) * 80


def messages_on(chunks, topic: str) -> list[tuple[int, int, bytes]]:
    """(sequence, log time, data) of every message on `topic`."""
    return [(sequence, time, body) for chunk in chunks for _, t, sequence, time, body in chunk.messages if t == topic]


def recorded_cycles(data: bytes) -> list[dict]:
    chunks, _, _ = walk_records(data)
    return [msgpack.unpackb(body, raw=False) for _, _, body in messages_on(chunks, "/kiv/cycle")]


def test_every_cycle_flushed_before_sigkill_is_intact(tmp_path):
    path = tmp_path / "crash.mcap"
    child = subprocess.Popen([sys.executable, "-c", CHILD, str(path), str(Path(__file__).parent)])
    try:
        deadline = time.monotonic() + 60
        seen = []
        while len(seen) < 40:
            assert child.poll() is None, "the recording process ended by itself"
            assert time.monotonic() < deadline, "the recording did not grow"
            time.sleep(0.02)
            if path.exists() and path.stat().st_size > len(MAGIC):
                seen = recorded_cycles(path.read_bytes())
    finally:
        os.kill(child.pid, signal.SIGKILL)
        child.wait()
    assert child.returncode == -signal.SIGKILL

    data = path.read_bytes()
    chunks, opcodes, end = walk_records(data)
    # Killed while recording: no data end, summary or footer.
    assert 0x0F not in opcodes and 0x02 not in opcodes
    # The walk stops at the end of the file or inside one record cut short.
    if end < len(data):
        assert len(data) - end < 9 or int.from_bytes(data[end + 1 : end + 9], "little") + 9 > len(data) - end
    # Each complete cycle chunk is followed by its message indexes (the
    # last chunk's may have been cut off).
    for chunk in chunks[:-1]:
        assert chunk.indexed_channels == {channel for channel, *_ in chunk.messages}

    cycles = recorded_cycles(data)
    assert len(cycles) >= len(seen)
    assert cycles[: len(seen)] == seen
    for i, body in enumerate(cycles):
        frame = image("cam0", i * 0.01, FRAME, 64, 48)
        assert body == expected_cycle(record(i, i * 0.01 + 0.005), [frame])
    images = messages_on(chunks, "/kiv/images/cam0")
    assert [sequence for sequence, _, _ in images][: len(cycles)] == list(range(len(cycles)))
    assert all(msgpack.unpackb(body) == image("cam0", sequence * 0.01, FRAME, 64, 48) for sequence, _, body in images)
