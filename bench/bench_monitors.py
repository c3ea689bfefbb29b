"""Safety monitors and latency metrics on the loop's hot path.

- WatchdogTimer: ``ping()`` + ``is_emergency()`` once per cycle, against a
  pure-Python watchdog (a lock and ``time.monotonic_ns``) and against the
  floor of two native no-argument calls.
- MetricBus: one cycle of 10 ``push_guard``, 5 ``push_stage``,
  ``commit_cycle()`` and ``snapshot()``, against a pure-Python store (dicts
  of ``collections.deque(maxlen=64)`` behind locks).
- Watchdog expiry lateness: the time from the deadline to the moment the
  emergency flag is seen, median and p99 over 200 expiries.
"""

from __future__ import annotations

import collections
import random
import statistics
import threading
import time

import kiv_rs
from harness import Row, time_calls

GUARDS = [(f"guard_{i}", i % 5) for i in range(10)]
STAGES = ["source", "policy", "guards", "sink", "total"]


class PyWatchdog:
    """The idiomatic pure-Python peer of WatchdogTimer's hot path."""

    def __init__(self, deadline_ms: float) -> None:
        self._lock = threading.Lock()
        self._last_ping_ns = time.monotonic_ns()
        self._emergency = False
        self.deadline_ms = deadline_ms

    def ping(self) -> None:
        now = time.monotonic_ns()
        with self._lock:
            self._last_ping_ns = now

    def is_emergency(self) -> bool:
        return self._emergency


class PyMetricBus:
    """The idiomatic pure-Python peer of MetricBus."""

    def __init__(self) -> None:
        self._guard_lock = threading.Lock()
        self._stage_lock = threading.Lock()
        self._layer_lock = threading.Lock()
        self._guards: dict[str, collections.deque[float]] = {}
        self._guard_latest: dict[str, float] = {}
        self._stages: dict[str, collections.deque[float]] = {}
        self._stage_latest: dict[str, float] = {}
        self._pending: dict[int, float] = {}
        self._layers: dict[int, collections.deque[float]] = {}

    def push_guard(self, guard_name: str, layer: int, value_ms: float) -> None:
        with self._guard_lock:
            history = self._guards.get(guard_name)
            if history is None:
                history = self._guards[guard_name] = collections.deque(maxlen=64)
            history.append(value_ms)
            self._guard_latest[guard_name] = value_ms
        with self._layer_lock:
            self._pending[layer] = self._pending.get(layer, 0.0) + value_ms

    def push_stage(self, stage: str, value_ms: float) -> None:
        with self._stage_lock:
            history = self._stages.get(stage)
            if history is None:
                history = self._stages[stage] = collections.deque(maxlen=64)
            history.append(value_ms)
            self._stage_latest[stage] = value_ms

    def commit_cycle(self) -> None:
        with self._layer_lock:
            for layer, total in self._pending.items():
                history = self._layers.get(layer)
                if history is None:
                    history = self._layers[layer] = collections.deque(maxlen=64)
                history.append(total)
                self._pending[layer] = 0.0

    def snapshot(self) -> dict:
        with self._stage_lock:
            stages = dict(self._stage_latest)
        with self._layer_lock:
            layers = {f"L{layer}": history[-1] for layer, history in self._layers.items() if history}
        with self._guard_lock:
            guards = dict(self._guard_latest)
        return {"stages": stages, "layers": layers, "guards": guards}


def metrics_cycle(bus) -> None:
    push_guard, push_stage = bus.push_guard, bus.push_stage
    for name, layer in GUARDS:
        push_guard(name, layer, 0.125)
    for stage in STAGES:
        push_stage(stage, 0.5)
    bus.commit_cycle()
    bus.snapshot()


def watchdog_rows() -> list[Row]:
    native = kiv_rs.WatchdogTimer(1e9)
    peer = PyWatchdog(1e9)
    native.arm()
    floor_value = 1.5
    rows = []
    try:
        subject, peer_ns, floor = time_calls(
            lambda: (native.ping(), native.is_emergency()),
            lambda: (peer.ping(), peer.is_emergency()),
            lambda: (floor_value.is_integer(), floor_value.is_integer()),
        )
    finally:
        native.disarm()
    name = "WatchdogTimer ping()+is_emergency()"
    rows.append(Row(name, subject, "pure Python (lock + monotonic_ns)", peer_ns, ">= 1.5x faster", peer_ns >= 1.5 * subject))
    rows.append(Row(name, subject, "two native no-arg calls (floor)", floor, "report", True))
    return rows


def metrics_rows() -> list[Row]:
    native, peer = kiv_rs.MetricBus(), PyMetricBus()
    subject, peer_ns = time_calls(lambda: metrics_cycle(native), lambda: metrics_cycle(peer))
    name = "MetricBus 10 push_guard+5 push_stage+commit+snapshot"
    return [Row(name, subject, "pure Python (dicts of deque(maxlen=64))", peer_ns, ">= 2x faster", peer_ns >= 2 * subject)]


def expiry_lateness_ns(expiries: int = 200, deadline_ms: float = 3.0) -> list[float]:
    """Fire time minus deadline, as the loop sees it by polling is_emergency().

    The last ping falls at a random point of the watcher's poll period, as
    it does in a running loop; pinging right at arm() would lock the phase.
    """
    rng = random.Random(11)
    lateness = []
    deadline_ns = deadline_ms * 1e6
    timer = kiv_rs.WatchdogTimer(deadline_ms)
    for _ in range(expiries):
        timer.arm()
        time.sleep(rng.uniform(0.0, 0.002))
        pinged = time.monotonic_ns()
        timer.ping()
        while not timer.is_emergency():
            pass
        lateness.append(time.monotonic_ns() - pinged - deadline_ns)
    return lateness


def lateness_rows() -> list[Row]:
    lateness = sorted(expiry_lateness_ns())
    median = statistics.median(lateness)
    p99 = lateness[min(len(lateness) - 1, round(0.99 * len(lateness)))]
    name = f"WatchdogTimer expiry lateness p99 ({len(lateness)} expiries)"
    return [Row(name, p99, "median lateness", median, "p99 < 2 ms (idle machine)", p99 < 2e6)]


def run() -> list[Row]:
    return watchdog_rows() + metrics_rows() + lateness_rows()
