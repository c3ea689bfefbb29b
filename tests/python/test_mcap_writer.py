"""McapWriter: the recorder's control surface, and the recordings it makes,
read back with the independent `mcap` package and decoded with `msgpack`."""

import inspect
import json
import math
import os
import threading

import pytest
from filesystems import tmpfs
from polling import eventually
from recording import expected_cycle, image, read_recording, record, to_json, wait_finished

from kiv_rs import ImageHub, McapWriter

CYCLE = "/kiv/cycle"


@pytest.fixture
def mcap_path(tmp_path):
    return tmp_path / "session.mcap"


def started(path):
    writer = McapWriter()
    writer.start(str(path))
    return writer


# ---- Control surface ----------------------------------------------------------


def test_docs_signatures_and_repr():
    assert McapWriter.__doc__.startswith("High-performance MCAP writer for KIV cycle records.\n\nHandles")
    assert McapWriter.__doc__.endswith('seq = writer.write_cycle(record_dict)  # Returns sequence number\n```')
    assert str(inspect.signature(McapWriter)) == "()"
    assert str(inspect.signature(McapWriter.start)) == "(self, /, path)"
    assert str(inspect.signature(McapWriter.write_cycle)) == "(self, /, record_json)"
    assert str(inspect.signature(McapWriter.attach_image_hub)) == (
        "(self, /, image_hub, window_sec, capture_images_on_clamp, cursor=None)"
    )
    assert str(inspect.signature(McapWriter.stop)) == "(self, /, stop_timestamp=None)"
    assert McapWriter.start.__doc__ == "Start writing to the MCAP file.\n\nArgs:\n  path: Path to the MCAP file to create"
    assert McapWriter.write_cycle.__doc__.endswith("Sequence number (u64) for ordering verification")
    assert McapWriter.stop.__doc__ == (
        "Stop writing and close the MCAP file after draining images up to stop_timestamp."
    )
    assert McapWriter.current_sequence.__doc__ == "Get the current sequence counter."
    assert McapWriter.attach_image_hub.__doc__ is None
    assert repr(McapWriter()) == "McapWriter(async)"


def test_write_cycle_needs_a_started_recording(mcap_path):
    writer = McapWriter()
    with pytest.raises(RuntimeError, match="^McapWriter not started$"):
        writer.write_cycle(to_json(record(1, 1.0)))
    assert writer.current_sequence() == 0
    writer.stop()  # nothing to stop: no number used
    assert writer.current_sequence() == 0

    writer.start(str(mcap_path))
    assert writer.write_cycle(to_json(record(1, 1.0))) == 0
    assert writer.write_cycle(record_json=to_json(record(2, 2.0))) == 1
    assert writer.current_sequence() == 2
    writer.write_cycle(to_json(record(3, 3.0)))
    writer.stop()
    assert writer.current_sequence() == 4  # the stop request took 3
    writer.stop()
    assert writer.current_sequence() == 4
    with pytest.raises(RuntimeError, match="^McapWriter not started$"):
        writer.write_cycle(to_json(record(4, 4.0)))
    assert len(read_recording(mcap_path).on(CYCLE)) == 3


@pytest.mark.parametrize(
    ("text", "message"),
    [
        ("{", "EOF while parsing an object at line 1 column 1"),
        (json.dumps({k: v for k, v in record(1, 1.0).items() if k != "cycle_id"}), "missing field `cycle_id`"),
        (to_json(record(1, 1.0)).replace('"cycle_id": 1', '"cycle_id": 7.5'), "invalid type: floating point `7.5`"),
        (to_json(record(1, 1.0)).replace("1.0", "NaN", 1), "expected value"),
    ],
)
def test_unreadable_records_raise_value_error_and_change_nothing(mcap_path, text, message):
    writer = McapWriter()
    for _ in range(2):
        with pytest.raises(ValueError) as raised:
            writer.write_cycle(text)
        assert str(raised.value).startswith("Failed to parse CycleRecord JSON: ")
        assert message in str(raised.value)
        assert writer.current_sequence() == 0
        writer.start(str(mcap_path))
    writer.stop()


def test_second_start_is_ignored_while_recording(tmp_path):
    first, second = tmp_path / "first.mcap", tmp_path / "second.mcap"
    writer = started(first)
    assert writer.start(str(second)) is None
    writer.write_cycle(to_json(record(1, 1.0)))
    writer.stop()
    assert len(read_recording(first).on(CYCLE)) == 1
    assert not second.exists()


def test_start_after_stop_fails_at_once_instead_of_dropping_what_follows(tmp_path):
    writer = started(tmp_path / "first.mcap")
    writer.stop()
    with pytest.raises(OSError, match="^Channel closed$"):
        writer.start(str(tmp_path / "second.mcap"))
    with pytest.raises(RuntimeError, match="^McapWriter not started$"):
        writer.write_cycle(to_json(record(1, 1.0)))
    wait_finished(tmp_path / "first.mcap")
    assert not (tmp_path / "second.mcap").exists()


@pytest.fixture(params=["missing directory", "under a regular file", "a directory", "read-only directory"])
def unwritable(request, tmp_path):
    """A path the worker cannot create a file at, and what kind it is."""
    kind = request.param
    if kind == "missing directory":
        yield kind, tmp_path / "missing" / "x.mcap"
    elif kind == "under a regular file":
        (tmp_path / "file").write_bytes(b"")
        yield kind, tmp_path / "file" / "x.mcap"
    elif kind == "a directory":
        yield kind, tmp_path
    elif os.geteuid() == 0:  # permissions do not stop root; a read-only file system does
        with tmpfs(tmp_path / "read-only", "ro", "size=64k") as directory:
            yield kind, directory / "x.mcap"
    else:
        (tmp_path / "read-only").mkdir(mode=0o555)
        yield kind, tmp_path / "read-only" / "x.mcap"


def test_worker_gone_after_a_file_that_cannot_be_created(tmp_path, unwritable):
    kind, path = unwritable
    writer = McapWriter()
    writer.start(str(path))  # fails later, on the worker
    assert eventually(lambda: raises_channel_closed(writer), timeout=30), "the worker did not end"
    assert writer.current_sequence() >= 1  # each refused cycle used a number up
    writer.start(str(tmp_path / "y.mcap"))  # still flagged as started: no effect
    writer.stop()  # clears the flag; its request is dropped
    with pytest.raises(OSError, match="^Channel closed$") as raised:
        writer.start(str(tmp_path / "y.mcap"))
    assert type(raised.value) is OSError
    assert not (tmp_path / "y.mcap").exists()
    assert path.is_dir() if kind == "a directory" else not path.exists()


def raises_channel_closed(writer):
    try:
        writer.write_cycle(to_json(record(1, 1.0)))
    except RuntimeError as error:
        assert str(error) == "Channel closed"
        return True
    return False


@pytest.mark.parametrize(
    ("args", "error", "message"),
    [
        ((1, 1.0, True), TypeError, "argument 'image_hub': 'int' object cannot be converted to 'ImageHub'"),
        (("hub", "x", True), TypeError, "argument 'window_sec': must be real number, not str"),
        (("hub", 1.0, 1), TypeError, "argument 'capture_images_on_clamp': 'int' object cannot be converted to 'PyBool'"),
        (("hub", 1.0, True, -1), OverflowError, None),
        (("hub", 1.0, True, 1.5), TypeError, "argument 'cursor': 'float' object cannot be interpreted as an integer"),
    ],
)
def test_attach_image_hub_conversions(args, error, message):
    hub = ImageHub(1.0)
    args = tuple(hub if a == "hub" else a for a in args)
    with pytest.raises(error) as raised:
        McapWriter().attach_image_hub(*args)
    if message:
        assert str(raised.value) == message


def test_argument_kinds_of_start_write_cycle_and_stop():
    writer = McapWriter()
    with pytest.raises(TypeError, match="^argument 'path': 'bytes' object cannot be converted to 'PyString'$"):
        writer.start(b"/tmp/x.mcap")
    with pytest.raises(TypeError, match="^argument 'record_json': 'dict' object cannot be converted to 'PyString'$"):
        writer.write_cycle(record(1, 1.0))
    with pytest.raises(TypeError, match="argument 'stop_timestamp'"):
        writer.stop("soon")
    with pytest.raises(TypeError):
        writer.current_sequence(1)


# ---- Recording layout -------------------------------------------------------------


def test_two_cycles_without_frames(mcap_path):
    cycles = [record(10, 1.5), record(11, -2.0)]
    writer = started(mcap_path)
    for cycle in cycles:
        writer.write_cycle(to_json(cycle))
    writer.stop()
    recording = read_recording(mcap_path)

    assert (recording.header.profile, recording.header.library) == ("kiv", "kiv-loopback-writer/1.0")
    summary = recording.summary
    assert [(s.name, s.encoding, s.data) for s in summary.schemas.values()] == [("kiv.Cycle", "application/msgpack", b"")]
    assert [(c.topic, c.message_encoding, c.metadata) for c in summary.channels.values()] == [
        (CYCLE, "application/msgpack", {})
    ]
    assert summary.statistics.message_count == 2
    assert summary.statistics.chunk_count == len(summary.chunk_indexes) == 2
    assert {ci.compression for ci in summary.chunk_indexes} == {"zstd"}
    messages = recording.on(CYCLE)
    assert [(m.sequence, m.log_time, m.publish_time) for m in messages] == [(0, 1500000000, 1500000000), (1, 0, 0)]
    assert [m.body for m in messages] == [expected_cycle(c) for c in cycles]
    assert list(messages[0].body) == list(expected_cycle(cycles[0]))  # all 32 keys, in field order
    # One chunk per cycle, schema and channel inside the first, each followed by its message index.
    assert recording.record_types[:9] == [
        "Header", "Schema", "Channel", "Message", "MessageIndex", "Message", "MessageIndex", "DataEnd", "Schema",
    ]  # fmt: skip


def test_nested_values_survive_the_round_trip(mcap_path):
    guard = {
        "cycle_id": 5, "timestamp": 1.25, "guard_name": "joint_limits", "event_class": None, "layer": 2,
        "decision": 1, "decision_name": "CLAMP", "reason": "over limit", "latency_ms": 3, "is_violation": False,
        "is_clamp": True, "fault_source": "sensor", "metadata": {"b": 1, "a": [2.5, None, "x", -3]},
    }  # fmt: skip
    cycle = record(
        5, 7.0, [image("cam0", 6.5, bytes(range(256)))], active_task="pick", context_event={"kind": "e"},
        guard_results=[guard], failure_tuple=[1, "two"], config_version=2**64 - 1, validated_positions=[1, 2],
    )  # fmt: skip
    writer = started(mcap_path)
    writer.write_cycle(to_json(cycle))
    writer.stop()
    body = read_recording(mcap_path).on(CYCLE)[0].body
    assert body == expected_cycle(cycle)
    assert body["guard_results"][0]["latency_ms"] == 3.0 and isinstance(body["guard_results"][0]["latency_ms"], float)


def test_hub_frames_up_to_the_observation_time_then_the_rest_on_stop(mcap_path):
    hub = ImageHub(10.0)
    frames = [image("cam0", 1.0, b"one"), image("cam1", 2.0, b"two"), image("cam0", 3.0, b"three")]
    for frame in frames:
        hub.submit_jpeg(*frame.values())
    writer = McapWriter()
    writer.attach_image_hub(hub, 1.0, False)
    writer.start(str(mcap_path))
    cycle = record(1, 2.5)
    assert writer.write_cycle(to_json(cycle)) == 0
    writer.stop()  # sequence 1
    recording = read_recording(mcap_path)

    assert recording.on(CYCLE)[0].body == expected_cycle(cycle, frames[:2])
    images = [(m.topic, m.schema, m.sequence, m.log_time, m.publish_time, m.body) for m in recording.messages if m.topic != CYCLE]
    assert images == [
        ("/kiv/images/cam0", "kiv.Image", 0, 1_000_000_000, 1_000_000_000, frames[0]),
        ("/kiv/images/cam1", "kiv.Image", 0, 2_000_000_000, 2_000_000_000, frames[1]),
        ("/kiv/images/cam0", "kiv.Image", 1, 3_000_000_000, 3_000_000_000, frames[2]),
    ]
    summary = recording.summary
    assert sorted(s.name for s in summary.schemas.values()) == ["kiv.Cycle", "kiv.Image"]
    assert sorted(c.topic for c in summary.channels.values()) == [CYCLE, "/kiv/images/cam0", "/kiv/images/cam1"]
    assert len(summary.chunk_indexes) == 2  # the cycle's, and the stop's frames


def test_record_with_frames_of_its_own_keeps_them_and_leaves_the_cursor(mcap_path):
    hub = ImageHub(10.0)
    hub.submit_jpeg("hub_cam", 1.0, 1, 1, b"from hub")
    writer = McapWriter()
    writer.attach_image_hub(hub, 1.0, False)
    writer.start(str(mcap_path))
    own = image("own", 0.5, b"own frame")
    writer.write_cycle(to_json(record(1, 2.0, [own])))
    writer.write_cycle(to_json(record(2, 2.0)))  # now the hub's frame
    writer.stop()
    recording = read_recording(mcap_path)
    assert [m.body["image_data"] for m in recording.on(CYCLE)] == [[own], [image("hub_cam", 1.0, b"from hub", 1, 1)]]
    assert [m.sequence for m in recording.on("/kiv/images/own")] == [0]
    assert [m.sequence for m in recording.on("/kiv/images/hub_cam")] == [1]


def test_frame_passed_over_for_a_later_one_is_never_recorded(mcap_path):
    hub = ImageHub(100.0)
    hub.submit_jpeg("cam0", 10.0, 1, 1, b"late")  # 1
    hub.submit_jpeg("cam0", 9.0, 1, 1, b"early")  # 2
    writer = McapWriter()
    writer.attach_image_hub(hub, 1.0, True)
    writer.start(str(mcap_path))
    writer.write_cycle(to_json(record(1, 9.5)))
    writer.stop()
    recording = read_recording(mcap_path)
    assert [m.body["data"] for m in recording.on("/kiv/images/cam0")] == [b"early"]


def test_stop_at_a_time_takes_frames_up_to_it_inclusive(mcap_path):
    hub = ImageHub(100.0)
    for t in (4.0, 5.0, 5.5, math.nan):
        hub.submit_jpeg("cam0", t, 1, 1, b"x")
    writer = McapWriter()
    writer.attach_image_hub(hub, 1.0, False)
    writer.start(str(mcap_path))
    writer.stop(5.0)
    assert [m.log_time for m in read_recording(mcap_path).messages] == [4_000_000_000, 5_000_000_000]


def test_cursor_skips_the_frames_up_to_it(tmp_path):
    hub = ImageHub(100.0)
    for t in range(1, 8):
        hub.submit_jpeg("cam0", float(t), 1, 1, b"x")
    for cursor, first in [(None, 1), (5, 6)]:
        path = tmp_path / f"{cursor}.mcap"
        writer = McapWriter()
        writer.attach_image_hub(hub, 1.0, False, cursor)
        writer.start(str(path))
        writer.stop()
        assert [m.log_time // 10**9 for m in read_recording(path).messages] == list(range(first, 8))


def test_camera_names_are_used_unchanged_in_topics(mcap_path):
    writer = started(mcap_path)
    writer.write_cycle(to_json(record(1, 1.0, [image("front/left", 1.0), image("", 1.0)])))
    writer.stop()
    topics = {m.topic for m in read_recording(mcap_path).messages}
    assert topics == {CYCLE, "/kiv/images/front/left", "/kiv/images/"}


def test_one_hub_two_writers_each_with_its_own_cursor(tmp_path):
    hub = ImageHub(100.0)
    paths = [tmp_path / "a.mcap", tmp_path / "b.mcap"]
    writers = []
    # The window and clamp arguments differ and change nothing.
    for path, window, on_clamp in zip(paths, (1.0, 0.001), (False, True)):
        writer = McapWriter()
        writer.attach_image_hub(hub, window, on_clamp)
        writer.start(str(path))
        writers.append(writer)
    for t in (1.0, 2.0, 3.0):
        hub.submit_jpeg("cam0", t, 1, 1, b"frame")
        for writer in writers:
            writer.write_cycle(to_json(record(int(t), t)))
    for writer in writers:
        writer.stop()
    for path in paths:
        assert [m.log_time for m in read_recording(path).on("/kiv/images/cam0")] == [1e9, 2e9, 3e9]
    assert hub.current_sequence() == 3


def test_a_cycle_larger_than_a_chunk_spreads_over_several(mcap_path):
    frames = [image(f"cam{i}", 1.0, os.urandom(300_000)) for i in range(4)]
    writer = started(mcap_path)
    writer.write_cycle(to_json(record(1, 1.0, frames)))
    writer.stop()
    recording = read_recording(mcap_path)
    assert len(recording.summary.chunk_indexes) >= 2
    assert recording.on(CYCLE)[0].body["image_data"] == frames
    assert [m.body for m in recording.messages if m.topic != CYCLE] == frames


def test_releasing_a_started_writer_finishes_its_file(mcap_path):
    writer = started(mcap_path)
    writer.write_cycle(to_json(record(1, 1.0)))
    del writer
    assert len(read_recording(mcap_path).on(CYCLE)) == 1


def test_full_queue_refuses_the_cycle_and_skips_its_number(tmp_path):
    # A FIFO nobody reads holds the worker in open(), so nothing drains the queue.
    fifo = tmp_path / "stalled.fifo"
    os.mkfifo(fifo)
    writer = started(fifo)
    accepted = []
    with pytest.raises(RuntimeError, match="^McapWriter queue full; dropping cycle$"):
        for i in range(2000):
            accepted.append(writer.write_cycle(to_json(record(i, 1.0))))
    refused = writer.current_sequence() - 1
    # 1024 wait in the queue (one fewer if the worker had not yet taken the Start).
    assert len(accepted) in (1023, 1024) and accepted == list(range(refused))

    copy = tmp_path / "copy.mcap"
    reader = threading.Thread(target=lambda: copy.write_bytes(open(fifo, "rb").read()))
    reader.start()
    for _ in range(20000):
        try:
            resumed = writer.write_cycle(to_json(record(9999, 2.0)))
            break
        except RuntimeError:
            refused = writer.current_sequence() - 1
            threading.Event().wait(0.001)
    assert resumed == refused + 1
    writer.stop()
    reader.join(timeout=60)
    sequences = [m.sequence for m in read_recording(copy).on(CYCLE)]
    assert sequences == accepted + [resumed]
