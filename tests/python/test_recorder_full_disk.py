"""A disk that fills up while recording: a child process recording into a
file that meets a size limit, or onto a small tmpfs. The worker reports the
failure to the log (which Python cannot see; the core tests check the
records) and carries on, so what Python sees is what must hold: write_cycle
keeps accepting, stop returns, the interpreter exits normally, and what was
written before the disk filled reads back up to its last complete chunk."""

import pytest
from filesystems import tmpfs
from recorder_child import Events, spawn
from recording import walk_records

LIMIT = 256 * 1024
CYCLES = 2000  # more than the queue holds: accepting them all shows the worker kept draining it


@pytest.fixture(params=["file-size limit", "full file system"])
def full_disk(request, tmp_path):
    """Options for the child and the path it records to."""
    if request.param == "file-size limit":
        yield ("--file-size-limit", str(LIMIT)), tmp_path / "limited.mcap"
    else:
        with tmpfs(tmp_path / "small", f"size={LIMIT}") as directory:
            yield (), directory / "full.mcap"


def test_worker_carries_on_past_a_full_disk_and_what_came_before_reads_back(tmp_path, full_disk):
    options, path = full_disk
    events_path = tmp_path / "events"
    child = spawn(path, events_path, *options, "--cycles", str(CYCLES), "--pace", "0.0003", "--cameras", "1",
                  "--frame-bytes", "4000", "--end", "stop", "--then", "exit")  # fmt: skip
    assert child.wait(timeout=120) == 0
    events = Events.read(events_path)
    assert events.done  # stop returned and the main script ran to its end
    assert set(events.refused.values()) <= {"McapWriter queue full; dropping cycle"}
    assert len(events.accepted) + len(events.refused) == CYCLES

    data = path.read_bytes()
    assert 0 < len(data) <= LIMIT
    walk = walk_records(data)  # a recording cut short where the disk filled
    assert not walk.complete
    recorded = [sequence for sequence, _, _ in walk.messages_on("/kiv/cycle")]
    assert recorded and recorded == events.accepted[: len(recorded)]
    # A stalled or ended worker would have refused (or closed on) every
    # cycle after the first 1024 that could not be written.
    assert len(events.accepted) - len(recorded) > 1024

