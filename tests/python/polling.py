"""Waiting for what background threads do, with margins a loaded machine never exceeds."""

import time
from pathlib import Path

PATIENCE_S = 5.0


def eventually(predicate, timeout=PATIENCE_S):
    """Polls until `predicate()` holds; False if it never did within `timeout`."""
    give_up = time.monotonic() + timeout
    while not predicate():
        if time.monotonic() > give_up:
            return False
        time.sleep(0.001)
    return True


def watcher_threads():
    """Watchdog watcher threads of this process, counted by their name."""
    count = 0
    for task in Path("/proc/self/task").iterdir():
        try:
            count += (task / "comm").read_text().strip() == "kiv-watchdog"
        except OSError:  # the thread ended meanwhile
            pass
    return count
