"""Shared timing and reporting for the benchmarks under bench/.

Each benchmark module defines ``run() -> list[Row]``: it times one hot path
and its peers in the same process, one after another, and reports their
ratios. Absolute times differ between machines; the ratios from one run are
what the targets are set on. ``python bench/run_all.py`` runs every module
and prints one table.
"""

from __future__ import annotations

import gc
import time
from dataclasses import dataclass
from typing import Callable


@dataclass
class Row:
    hot_path: str  # what is measured
    subject_ns: float  # time of kiv_rs per call
    peer: str  # what it is compared with
    peer_ns: float  # time of the peer per call
    target: str  # the target as the issue states it, e.g. "<= 1.15x floor"
    met: bool  # whether this run meets it

    @property
    def ratio(self) -> float:
        return self.subject_ns / self.peer_ns if self.peer_ns else float("inf")


def _batch_size(fn: Callable[[], object], target_ns: float) -> int:
    for _ in range(3):
        fn()
    batch = 1
    while batch < 1 << 24:
        start = time.perf_counter_ns()
        for _ in range(batch):
            fn()
        if time.perf_counter_ns() - start >= target_ns:
            break
        batch *= 2
    return batch


def time_calls(
    *fns: Callable[[], object],
    min_time_s: float = 0.3,
    rounds: int = 15,
    batch: int | None = None,
    between_rounds: Callable[[], object] | None = None,
) -> list[float]:
    """Time per call of each function, in nanoseconds.

    The functions are timed in interleaved rounds (each round times one batch
    of every function), so that drift in machine load affects all alike; the
    fastest batch of each stands for it, the least disturbed measurement.

    ``batch`` fixes the calls per batch instead of calibrating it (for a
    subject that must not run too long at a stretch, such as one feeding a
    bounded queue); ``between_rounds`` runs after each round, untimed.
    """
    if batch is None:
        batches = [_batch_size(fn, min_time_s * 1e9 / rounds) for fn in fns]
    else:
        batches = [batch] * len(fns)
    best = [float("inf")] * len(fns)
    gc_was_enabled = gc.isenabled()
    gc.disable()
    try:
        for _ in range(rounds):
            for i, (fn, calls) in enumerate(zip(fns, batches)):
                start = time.perf_counter_ns()
                for _ in range(calls):
                    fn()
                best[i] = min(best[i], (time.perf_counter_ns() - start) / calls)
            if between_rounds is not None:
                between_rounds()
    finally:
        if gc_was_enabled:
            gc.enable()
    return best


def time_per_call(fn: Callable[[], object], **kwargs: float) -> float:
    return time_calls(fn, **kwargs)[0]


def format_ns(ns: float) -> str:
    if ns >= 1e6:
        return f"{ns / 1e6:.2f} ms"
    if ns >= 1e3:
        return f"{ns / 1e3:.2f} us"
    return f"{ns:.0f} ns"


def print_table(rows: list[Row]) -> None:
    headers = ["hot path", "kiv_rs", "peer", "peer time", "ratio", "target", "met"]
    lines = [
        [r.hot_path, format_ns(r.subject_ns), r.peer, format_ns(r.peer_ns), f"{r.ratio:.2f}x", r.target, "yes" if r.met else "NO"]
        for r in rows
    ]
    widths = [max(len(h), *(len(line[i]) for line in lines)) if lines else len(h) for i, h in enumerate(headers)]
    print(" | ".join(h.ljust(w) for h, w in zip(headers, widths)))
    print("-|-".join("-" * w for w in widths))
    for line in lines:
        print(" | ".join(cell.ljust(w) for cell, w in zip(line, widths)))
