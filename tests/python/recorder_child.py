"""A recording process for tests that kill it, starve its disk or let it exit,
and the parent's side: starting it and reading what it reported.

The child records cycles (record(n, n * 0.001), n its sequence number) into
PATH, optionally with camera threads submitting frames to an attached hub,
and appends one line per event to EVENTS, with a single write each, so the
lines survive a SIGKILL:

  started        start() has returned
  A <n>          write_cycle accepted the cycle numbered n
  R <n> <error>  write_cycle refused the cycle that took number n
  stopping <n>   about to call stop() or release the writer (after --stop-delay);
                 the stop request takes number n
  done           the child is about to return from its main script
"""

from __future__ import annotations

import argparse
import functools
import itertools
import os
import random
import signal
import subprocess
import sys
import threading
import time
from dataclasses import dataclass, field
from pathlib import Path

HERE = Path(__file__).parent
KEPT = []
FRAME_SIZE = (64, 48)
CYCLE_PERIOD_S = 0.001  # of record time: cycle n observes at n * 0.001


@functools.cache
def _noise(size: int) -> bytes:
    return random.Random(size).randbytes(size + 1009)


def frame_data(camera: str, index: int, size: int) -> bytes:
    """A frame the parent can recognise from its own bytes: camera and index
    first, then noise that does not compress (so that big frames keep the
    worker busy)."""
    head = f"{camera}:{index}:".encode()
    rest = max(0, size - len(head))
    return head + _noise(rest)[index % 1009 : index % 1009 + rest]


def frame_index(data: bytes) -> int:
    return int(data.split(b":", 2)[1])


@dataclass
class Events:
    started: bool = False
    accepted: list[int] = field(default_factory=list)
    refused: dict[int, str] = field(default_factory=dict)
    stop_sequence: int | None = None
    done: bool = False

    @classmethod
    def read(cls, path: Path) -> Events:
        events = cls()
        text = path.read_text() if path.exists() else ""
        for line in text.splitlines():
            kind, _, rest = line.partition(" ")
            if kind == "started":
                events.started = True
            elif kind == "A":
                events.accepted.append(int(rest))
            elif kind == "R":
                number, _, error = rest.partition(" ")
                events.refused[int(number)] = error
            elif kind == "stopping":
                events.stop_sequence = int(rest)
            elif kind == "done":
                events.done = True
        return events


def spawn(path: Path, events: Path, *options: str) -> subprocess.Popen:
    env = {**os.environ, "PYTHONDONTWRITEBYTECODE": "1"}
    return subprocess.Popen([sys.executable, str(HERE / "recorder_child.py"), str(path), str(events), *options], env=env)


def wait_for(events_path: Path, child: subprocess.Popen, what, timeout_s: float = 60.0) -> Events:
    """Polls the child's events until `what(events)` holds."""
    deadline = time.monotonic() + timeout_s
    while True:
        events = Events.read(events_path)
        if what(events):
            return events
        assert child.poll() is None, f"the child ended early with {child.returncode}"
        assert time.monotonic() < deadline, "the child did not get there in time"
        time.sleep(0.0005)


# ---- The child ----------------------------------------------------------------


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("path")
    parser.add_argument("events")
    parser.add_argument("--cycles", type=int, default=-1, help="cycles to write; -1: until killed")
    parser.add_argument("--pace", type=float, default=0.0, help="seconds between cycles")
    parser.add_argument("--cameras", type=int, default=0)
    parser.add_argument("--frame-bytes", type=int, default=2000)
    parser.add_argument("--end", choices=["stop", "release", "keep"], default="stop",
                        help="after the cycles: stop(), drop the writer, or keep it unstopped until exit")
    parser.add_argument("--stop-delay", type=float, default=0.0, help="seconds between noting the stop and doing it")
    parser.add_argument("--then", choices=["exit", "wait"], default="wait", help="after that: exit or wait to be killed")
    parser.add_argument("--file-size-limit", type=int, default=0, help="RLIMIT_FSIZE in bytes, SIGXFSZ ignored")
    args = parser.parse_args()

    if args.file_size_limit:
        import resource

        signal.signal(signal.SIGXFSZ, signal.SIG_IGN)  # a write past the limit then fails with EFBIG
        resource.setrlimit(resource.RLIMIT_FSIZE, (args.file_size_limit, resource.RLIM_INFINITY))
    sys.path.insert(0, str(HERE))
    import kiv_rs
    from recording import record, to_json

    fd = os.open(args.events, os.O_WRONLY | os.O_CREAT | os.O_APPEND, 0o644)

    def note(line: str) -> None:
        os.write(fd, (line + "\n").encode())

    writer = kiv_rs.McapWriter()
    hub = kiv_rs.ImageHub(10.0)
    now = [0.0]  # the latest cycle's observation time: frames are due with the next cycle
    running = threading.Event()
    running.set()

    def camera(name: str) -> None:
        index = 0
        while running.is_set():
            hub.submit_jpeg(name, now[0], *FRAME_SIZE, frame_data(name, index, args.frame_bytes))
            index += 1
            time.sleep(0.003)

    if args.cameras:
        writer.attach_image_hub(hub, 10.0, False)
        for i in range(args.cameras):
            threading.Thread(target=camera, args=(f"cam{i}",), daemon=True).start()
    writer.start(args.path)
    note("started")
    for n in itertools.count() if args.cycles < 0 else range(args.cycles):
        now[0] = n * CYCLE_PERIOD_S  # every call takes a number, so n is this cycle's
        try:
            note(f"A {writer.write_cycle(to_json(record(n, now[0])))}")
        except RuntimeError as error:
            note(f"R {n} {error}")
        if args.pace:
            time.sleep(args.pace)
    running.clear()
    if args.end != "keep":
        note(f"stopping {writer.current_sequence()}")
        time.sleep(args.stop_delay)
    if args.end == "stop":
        writer.stop()
    elif args.end == "release":
        del writer
    else:
        KEPT.append(writer)  # alive until the interpreter's own finalisation
    if args.then == "wait":
        while True:
            time.sleep(1)
    note("done")


if __name__ == "__main__":
    main()
