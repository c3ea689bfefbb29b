"""A recording process that ends normally right after its last cycle, while
the worker is still writing: whether the program stopped the writer,
released it, or kept it to the end, the file must be complete and hold every
accepted cycle.

The recording goes through a FIFO that the test drains slowly, so the worker
is always behind when the interpreter exits, however fast the machine."""

import os
import threading
import time

import pytest
from recorder_child import Events, spawn
from recording import read_recording, walk_records


def drain_slowly(fifo, copy, stop_after_s=60.0):
    """Copies what comes through `fifo` at about 1 MB/s, until every writer has closed it."""
    give_up = time.monotonic() + stop_after_s
    with open(fifo, "rb", buffering=0) as source, open(copy, "wb") as target:
        while (piece := source.read(16384)) and time.monotonic() < give_up:
            target.write(piece)
            time.sleep(0.015)


@pytest.mark.parametrize("end", ["stop", "release", "keep"])
def test_exit_right_after_the_last_cycle_leaves_a_complete_file(tmp_path, end):
    fifo, copy, events_path = tmp_path / "exit.fifo", tmp_path / "exit.mcap", tmp_path / "events"
    os.mkfifo(fifo)
    reader = threading.Thread(target=drain_slowly, args=(fifo, copy))
    reader.start()
    child = spawn(fifo, events_path, "--cycles", "1000", "--cameras", "1", "--end", end, "--then", "exit")
    try:
        assert child.wait(timeout=120) == 0
    finally:
        reader.join()
    events = Events.read(events_path)
    assert events.done
    assert walk_records(copy.read_bytes()).complete, "the process ended before its file was finished"
    assert [m.sequence for m in read_recording(copy).on("/kiv/cycle")] == events.accepted
