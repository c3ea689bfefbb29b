"""Bus hand-over of a typical observation: write then read back."""

from __future__ import annotations

import collections
import pickle
import random

import kiv_rs
from harness import Row, time_calls


def typical_observation() -> dict:
    rng = random.Random(7)
    return {
        "joint_positions": [rng.uniform(-3, 3) for _ in range(7)],
        "joint_velocities": [rng.uniform(-1, 1) for _ in range(7)],
        "ee_pose": [rng.uniform(-1, 1) for _ in range(7)],
        "timestamp": 1234.5678,
    }


class DequeBus:
    """The idiomatic pure-Python peer: a bounded deque of pickled values."""

    def __init__(self, capacity: int) -> None:
        self._queue: collections.deque[bytes] = collections.deque(maxlen=capacity)

    def write(self, value: object) -> None:
        self._queue.append(pickle.dumps(value))

    def read_latest(self) -> object:
        return pickle.loads(self._queue[-1]) if self._queue else None

    def read(self) -> object:
        return pickle.loads(self._queue.popleft()) if self._queue else None


def run() -> list[Row]:
    obs = typical_observation()
    rows = []
    for name, bus, read in [
        ("ObservationBus write+read_latest", kiv_rs.ObservationBus(64), "read_latest"),
        ("ActionBus write+read", kiv_rs.ActionBus(1), "read"),
    ]:
        write, read_back = bus.write, getattr(bus, read)
        peer_bus = DequeBus(64)
        peer_write, peer_read = peer_bus.write, getattr(peer_bus, read)
        subject, floor, peer = time_calls(
            lambda: (write(obs), read_back()),
            lambda: pickle.loads(pickle.dumps(obs)),
            lambda: (peer_write(obs), peer_read()),
        )
        rows.append(Row(name, subject, "pickle.loads(pickle.dumps(x)) floor", floor, "<= 1.15x floor", subject <= 1.15 * floor))
        rows.append(Row(name, subject, "deque + pickle (pure Python)", peer, "report", True))
    return rows
