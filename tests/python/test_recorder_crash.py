"""Crash safety: recording processes killed with SIGKILL at random points
leave files that read back, record by record, up to the last complete chunk,
with every cycle that was in the file before the kill and none missing
before the last one present.

The kill points are drawn from a seed, printed in the session summary and
taken from KIV_CRASH_SEED when set; KIV_CRASH_RUNS sets the number of runs
(``scripts/run_faults.sh`` runs many more).
"""

import os
import random
import signal
import time
from collections import Counter
from dataclasses import dataclass

import msgpack
import pytest
from recorder_child import CYCLE_PERIOD_S, FRAME_SIZE, Events, frame_data, frame_index, spawn, wait_for
from recording import expected_cycle, image, read_recording, record, to_json, wait_finished, walk_records

from kiv_rs import ImageHub, McapWriter

SEED = int(os.environ.get("KIV_CRASH_SEED") or random.SystemRandom().randrange(2**32))
RUNS = int(os.environ.get("KIV_CRASH_RUNS", "25"))
CYCLE = "/kiv/cycle"


@dataclass(frozen=True)
class Scenario:
    options: tuple[str, ...]
    kill_after: str  # the event the kill is timed from: "started" or "stopping"
    delay_s: tuple[float, float]  # the kill follows it after a delay drawn from this range
    cycles: tuple[int, int] | None = None  # a count drawn from this range, then a stop; None: until killed


SCENARIOS = {
    "streaming": Scenario(("--pace", "0.001"), "started", (0.05, 0.8)),
    "just started": Scenario(("--pace", "0.0005", "--cameras", "1"), "started", (0.0, 0.03)),
    # Cycles as fast as the child can make them, then a stop 20 ms after the
    # child says so: the kill falls before, while or after the file is finished.
    "stopping": Scenario(("--cameras", "1", "--stop-delay", "0.02"), "stopping", (0.012, 0.03), cycles=(50, 800)),
    # 20 KB frames, so that chunks outgrow the file buffer.
    "cameras": Scenario(("--pace", "0.001", "--cameras", "2", "--frame-bytes", "20000"), "started", (0.05, 0.8)),
    # 500 KB frames keep the worker behind: the queue fills and cycles are refused.
    "backlog": Scenario(("--cameras", "2", "--frame-bytes", "500000"), "started", (0.1, 0.4)),
}


@pytest.fixture(scope="module")
def tally(figures):
    """Where the kills fell, over all runs, for the session summary."""
    cut_in, cycles = Counter(), Counter()
    yield cut_in, cycles
    if cut_in:
        where = ", ".join(f"{count} {name}" for name, count in cut_in.most_common())
        figures("fault injection").append(
            f"SIGKILL: {sum(cut_in.values())} runs (seed {SEED}), files cut in: {where}; "
            f"{cycles['recorded']} cycles read back, {cycles['flushed']} of them in the file before the kill, "
            f"{cycles['refused']} refused"
        )


def kill_at_random_point(tmp_path, rng, scenario):
    """Runs the child, kills it at a random point; the file as it was just
    before the kill, as it is after, and what the child reported."""
    path, events_path = tmp_path / "crash.mcap", tmp_path / "events"
    options = scenario.options
    if scenario.cycles:
        options += ("--cycles", str(rng.randrange(*scenario.cycles)))
    child = spawn(path, events_path, *options)
    try:
        if scenario.kill_after == "started":
            wait_for(events_path, child, lambda events: events.started)
        else:
            wait_for(events_path, child, lambda events: events.stop_sequence is not None)
        time.sleep(rng.uniform(*scenario.delay_s))
        before = path.read_bytes() if path.exists() else b""
    finally:
        os.kill(child.pid, signal.SIGKILL)
        child.wait()
    assert child.returncode == -signal.SIGKILL
    return before, path.read_bytes() if path.exists() else b"", Events.read(events_path)


def check_file(before, data, events, path):
    """The file only grew, is a recording cut short record by record, and has
    a summary only if a stop was requested."""
    assert data.startswith(before), "bytes in the file before the kill changed"
    walk = walk_records(data)
    if walk.cut_in in ("summary", "complete"):
        assert events.stop_sequence is not None, "a file finished without a stop request"
    if walk.complete:
        recording = read_recording(path)
        assert [m.sequence for m in recording.on(CYCLE)] == [seq for seq, _, _ in walk.messages_on(CYCLE)]
    # A flush after every cycle: what a crash can lose is the cycle in progress.
    assert all(sum(topic == CYCLE for _, topic, *_ in chunk.messages) <= 1 for chunk in walk.chunks)
    return walk


def check_cycle_numbers(walk, before, events):
    """Every cycle in the file before the kill is there, and none is missing
    before the last one present: the accepted ones in order, perhaps one more
    accepted just before the kill. The numbers recorded, and those flushed
    before the kill."""
    numbers = [sequence for sequence, _, _ in walk.messages_on(CYCLE)]
    flushed = [sequence for sequence, _, _ in walk_records(before).messages_on(CYCLE)]
    assert numbers[: len(flushed)] == flushed
    unreported = len(events.accepted) + len(events.refused)
    assert sorted(events.accepted + list(events.refused)) == list(range(unreported))
    assert set(events.refused.values()) <= {"McapWriter queue full; dropping cycle"}
    assert numbers in (events.accepted[: len(numbers)], events.accepted + [unreported])
    if walk.cut_in in ("summary", "complete"):
        assert numbers == events.accepted  # the worker finishes only after every queued cycle
    return numbers, flushed


def check_contents(walk, numbers, stop_sequence):
    """Each cycle as the child wrote it, with the frames it took, each frame
    intact and recorded once."""
    images_by_sequence = {}
    for chunk in walk.chunks:
        for _, topic, sequence, log_time, body in chunk.messages:
            if topic.startswith("/kiv/images/"):
                frame = msgpack.unpackb(body, raw=False)
                data = frame_data(frame["camera_name"], frame_index(frame["data"]), len(frame["data"]))
                assert frame == image(frame["camera_name"], frame["timestamp"], data, *FRAME_SIZE)
                assert (topic, log_time) == ("/kiv/images/" + frame["camera_name"], int(frame["timestamp"] * 1e9))
                images_by_sequence.setdefault(sequence, []).append(frame)
    assert set(images_by_sequence) <= set(numbers) | {stop_sequence}
    for sequence, log_time, body in walk.messages_on(CYCLE):
        cycle_body = msgpack.unpackb(body, raw=False)
        assert log_time == int(sequence * CYCLE_PERIOD_S * 1e9)
        assert cycle_body == expected_cycle(record(sequence, sequence * CYCLE_PERIOD_S), cycle_body["image_data"])
        # The frames inside the record are its image messages, none newer
        # than it; the last cycle's messages may lie beyond the cut (a cycle
        # bigger than a chunk spreads over several).
        images = images_by_sequence.get(sequence, [])
        cut_short = sequence == numbers[-1] and not walk.complete
        assert (cycle_body["image_data"][: len(images)] if cut_short else cycle_body["image_data"]) == images
        assert all(frame["timestamp"] <= sequence * CYCLE_PERIOD_S for frame in cycle_body["image_data"])
    for camera in ("cam0", "cam1"):
        indexes = [frame_index(msgpack.unpackb(body)["data"]) for _, _, body in walk.messages_on(f"/kiv/images/{camera}")]
        assert indexes == sorted(set(indexes))


@pytest.mark.parametrize("run", range(RUNS))
def test_a_killed_recording_reads_back_up_to_its_last_complete_chunk(tmp_path, tally, run):
    name = list(SCENARIOS)[run % len(SCENARIOS)]
    print(f"seed {SEED}, run {run}: {name}")
    before, data, events = kill_at_random_point(tmp_path, random.Random(f"{SEED}-{run}"), SCENARIOS[name])
    walk = check_file(before, data, events, tmp_path / "crash.mcap")
    numbers, flushed = check_cycle_numbers(walk, before, events)
    check_contents(walk, numbers, events.stop_sequence)

    cut_in, counts = tally
    cut_in[walk.cut_in] += 1
    counts.update(recorded=len(numbers), flushed=len(flushed), refused=len(events.refused))


def test_every_cut_of_a_finished_recording_reads_back_up_to_its_last_complete_chunk(tmp_path):
    """A kill while the file is being finished (a moment too short for the
    runs above to hit often) leaves a byte prefix of the finished file, since
    files only grow: every prefix, cut at every byte, reads back."""
    path = tmp_path / "finished.mcap"
    hub = ImageHub(10.0)
    writer = McapWriter()
    writer.attach_image_hub(hub, 10.0, False)
    writer.start(str(path))
    for n in range(4):
        hub.submit_jpeg(f"cam{n % 2}", n * CYCLE_PERIOD_S, *FRAME_SIZE, frame_data(f"cam{n % 2}", n, 40))
        writer.write_cycle(to_json(record(n, n * CYCLE_PERIOD_S)))
    hub.submit_jpeg("cam0", 1.0, *FRAME_SIZE, frame_data("cam0", 4, 40))  # for the stop
    writer.stop()
    data = wait_finished(path)

    recorded = []
    for cut in range(len(data) + 1):
        walk = walk_records(data[:cut])
        assert walk.complete == (cut == len(data))
        numbers = [sequence for sequence, _, _ in walk.messages_on(CYCLE)]
        assert numbers == list(range(len(numbers)))
        assert len(numbers) >= len(recorded)
        recorded = numbers
    assert recorded == [0, 1, 2, 3]
    assert [sequence for sequence, _, _ in walk.messages_on("/kiv/images/cam0")] == [0, 2, 4]
