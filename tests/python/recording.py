"""Helpers for recorder tests: cycle records, and two independent ways of
reading a recording back (the ``mcap`` package, and a record walker of our
own for files that were cut short)."""

from __future__ import annotations

import json
import struct
import time
import zlib
from dataclasses import dataclass, field
from pathlib import Path

import msgpack
import zstandard
from mcap.reader import make_reader
from mcap.stream_reader import StreamReader

MAGIC = b"\x89MCAP0\r\n"

CYCLE_FIELDS = [
    "cycle_id", "obs_timestamp", "has_violation", "has_clamp", "violated_layer_mask", "clamped_layer_mask",
    "active_task", "active_boundaries", "active_cameras", "obs_joint_positions", "obs_channels",
    "action_positions", "action_velocities", "validated_positions", "validated_velocities", "was_clamped",
    "fallback_triggered", "active_context", "context_severity", "context_event", "guard_results",
    "latency_stages", "latency_layers", "latency_guards", "image_data", "config_version", "failure_type",
    "failure_guard_names", "failure_layers", "failure_decisions", "failure_reasons", "failure_tuple",
]  # fmt: skip

DEFAULTS = {
    "active_task": None, "active_cameras": [], "action_velocities": None, "validated_positions": None,
    "validated_velocities": None, "fallback_triggered": None, "active_context": "normal", "context_severity": 0,
    "context_event": None, "config_version": 0, "failure_type": None, "failure_guard_names": [],
    "failure_layers": [], "failure_decisions": [], "failure_reasons": [], "failure_tuple": None,
}  # fmt: skip


def image(camera_name: str, timestamp: float, data: bytes = b"\xff\xd8jpeg", width: int = 4, height: int = 3) -> dict:
    return {"camera_name": camera_name, "timestamp": timestamp, "width": width, "height": height, "data": data}


def record(cycle_id: int, obs_timestamp: float, images: list[dict] = (), **extra) -> dict:
    """A cycle record with the sixteen required fields (plus `extra`)."""
    return {
        "cycle_id": cycle_id,
        "obs_timestamp": obs_timestamp,
        "has_violation": False,
        "has_clamp": cycle_id % 2 == 1,
        "violated_layer_mask": 0,
        "clamped_layer_mask": 4,
        "active_boundaries": ["workspace"],
        "obs_joint_positions": [0.1, -0.2, 0.3],
        "obs_channels": {"force": [1.0, 2.5]},
        "action_positions": [0.5, 0.25],
        "was_clamped": False,
        "guard_results": [],
        "latency_stages": {"total": 0.75},
        "latency_layers": {"L0": 0.125},
        "latency_guards": {},
        "image_data": list(images),
        **extra,
    }


def to_json(cycle: dict) -> str:
    """JSON text as write_cycle takes it; frame bytes as arrays of integers."""
    return json.dumps(
        {**cycle, "image_data": [{**frame, "data": list(frame["data"])} for frame in cycle["image_data"]]}
    )


def expected_cycle(cycle: dict, images: list[dict] | None = None) -> dict:
    """The decoded MessagePack body of `cycle`, with `images` recorded in it."""
    full = {**DEFAULTS, **cycle}
    if images is not None:
        full["image_data"] = images
    return {name: full[name] for name in CYCLE_FIELDS}


def wait_finished(path: Path, timeout_s: float = 30.0) -> bytes:
    """Polls until the worker has written the closing magic."""
    deadline = time.monotonic() + timeout_s
    while time.monotonic() < deadline:
        if path.exists():
            data = path.read_bytes()
            if len(data) > 16 and data.endswith(MAGIC):
                return data
        time.sleep(0.005)
    raise AssertionError(f"{path} was not finished within {timeout_s} s")


@dataclass
class Message:
    topic: str
    schema: str
    sequence: int
    log_time: int
    publish_time: int
    body: object  # the decoded MessagePack


@dataclass
class Recording:
    header: object
    summary: object
    messages: list[Message]
    record_types: list[str] = field(default_factory=list)  # top-level and chunk records, in file order

    def on(self, topic: str) -> list[Message]:
        return [m for m in self.messages if m.topic == topic]


def read_recording(path: Path) -> Recording:
    """Reads a finished file with the `mcap` package: CRCs checked record by
    record, then messages through the summary's indexes."""
    data = wait_finished(path)
    # Footer: summary start, summary offsets start, and the summary CRC over
    # everything from the summary through the footer's first 25 bytes.
    summary_start, _offsets_start, summary_crc = struct.unpack_from("<QQI", data, len(data) - 8 - 20)
    assert summary_start > 0
    assert zlib.crc32(data[summary_start : len(data) - 12]) == summary_crc
    with open(path, "rb") as stream:
        record_types = [type(r).__name__ for r in StreamReader(stream, validate_crcs=True, emit_chunks=False).records]
    with open(path, "rb") as stream:
        reader = make_reader(stream)
        header = reader.get_header()
        summary = reader.get_summary()
        messages = [
            Message(
                channel.topic,
                schema.name,
                message.sequence,
                message.log_time,
                message.publish_time,
                msgpack.unpackb(message.data, raw=False),
            )
            for schema, channel, message in reader.iter_messages(log_time_order=False)
        ]
    return Recording(header, summary, messages, record_types)


# ---- An independent walker, for files cut short -----------------------------

SUMMARY_OPCODES = {0x03, 0x04, 0x08, 0x0B, 0x0E}  # schema, channel, chunk index, statistics, summary offset


@dataclass
class WalkedChunk:
    messages: list[tuple[int, str, int, int, bytes]]  # (channel id, topic, sequence, log time, data)
    offsets: dict[int, list[tuple[int, int]]]  # channel id -> (log time, offset in the chunk) of its messages
    indexes: dict[int, list[tuple[int, int]]] = field(default_factory=dict)  # the message index records after it

    @property
    def indexed_channels(self) -> set[int]:
        return set(self.indexes)


@dataclass
class Walk:
    chunks: list[WalkedChunk]  # complete, decompressed and CRC-checked
    opcodes: list[int]  # of every complete top-level record, in file order
    end: int  # where the complete records (and the magic) end
    complete: bool  # footer and closing magic present

    @property
    def cut_in(self) -> str:
        """Where the file ends: the part of the file the cut fell in."""
        if self.complete:
            return "complete"
        if 0x0F in self.opcodes:
            return "summary"
        if self.chunks:
            return "data"
        return "header" if self.end > 0 else "nothing"

    def messages_on(self, topic: str) -> list[tuple[int, int, bytes]]:
        """(sequence, log time, data) of every message on `topic`."""
        return [(seq, time, body) for chunk in self.chunks for _, t, seq, time, body in chunk.messages if t == topic]


def walk_records(data: bytes) -> Walk:
    """Walks what a recording process left behind, record by record, and
    checks that it is a recording cut short at some point: a byte prefix of a
    valid file, whose every complete chunk decompresses, matches its CRC and
    is followed by message indexes that point at its messages. Only the last
    chunk may lack some of its indexes, and only when the cut fell among them.
    """
    if len(data) < len(MAGIC):
        assert MAGIC.startswith(data)
        return Walk([], [], len(data), False)
    assert data[:8] == MAGIC
    offset, chunks, opcodes, in_summary = 8, [], [], False
    topics: dict[int, str] = {}  # channels registered so far
    while offset + 9 <= len(data):
        opcode, length = struct.unpack_from("<BQ", data, offset)
        if offset + 9 + length > len(data):
            break  # a record the cut fell in
        body = data[offset + 9 : offset + 9 + length]
        _check_order(opcodes[-1] if opcodes else None, in_summary, opcode)
        in_summary = in_summary or opcode == 0x0F
        opcodes.append(opcode)
        if opcode == 0x06:
            chunks.append(_walk_chunk(body, topics))
        elif opcode == 0x07:
            channel_id, entries = _message_index(body)
            assert chunks[-1].offsets.get(channel_id) == entries, "an index not matching its chunk"
            chunks[-1].indexes[channel_id] = entries
        elif opcode == 0x0F:
            (data_crc,) = struct.unpack_from("<I", body)
            assert data_crc in (0, zlib.crc32(data[:offset])), "data section CRC"
        offset += 9 + length
        if opcode == 0x02:
            assert MAGIC.startswith(data[offset:]), "bytes after the footer other than the magic"
            break
    rest = data[offset:]
    if opcodes[-1:] != [0x02]:
        # The start of a record: too short for its length field, or shorter than its length.
        assert len(rest) < 9 or struct.unpack_from("<Q", rest, 1)[0] + 9 > len(rest)
    for chunk in chunks[:-1]:
        assert chunk.indexed_channels == set(chunk.offsets), "a complete chunk without all its indexes"
    if chunks and opcodes[-1] not in (0x06, 0x07):
        assert chunks[-1].indexed_channels == set(chunks[-1].offsets)
    if opcodes[-1:] == [0x02]:
        return Walk(chunks, opcodes, len(data), rest == MAGIC)
    return Walk(chunks, opcodes, offset, False)


def _check_order(previous: int | None, in_summary: bool, opcode: int) -> None:
    """Header, then chunks each followed by their indexes, then data end,
    summary records and footer."""
    if previous is None:
        assert opcode == 0x01, "the file does not start with its header"
    elif in_summary:
        assert opcode in SUMMARY_OPCODES | {0x02}, f"record {opcode:#x} in the summary"
    else:
        assert opcode in (0x06, 0x07, 0x0F), f"record {opcode:#x} in the data section"
        assert opcode != 0x07 or previous in (0x06, 0x07), "a message index without its chunk"


def _message_index(body: bytes) -> tuple[int, list[tuple[int, int]]]:
    channel_id, length = struct.unpack_from("<HI", body)
    entries = [struct.unpack_from("<QQ", body, 6 + at) for at in range(0, length, 16)]
    assert 6 + length == len(body)
    return channel_id, entries


def _walk_chunk(body: bytes, topics: dict[int, str]) -> WalkedChunk:
    _start, _end, uncompressed_size, crc, name_length = struct.unpack_from("<QQQII", body)
    compression = body[32 : 32 + name_length].decode()
    (compressed_size,) = struct.unpack_from("<Q", body, 32 + name_length)
    records = body[40 + name_length : 40 + name_length + compressed_size]
    assert compression == "zstd"
    records = zstandard.ZstdDecompressor().decompress(records, max_output_size=uncompressed_size)
    assert len(records) == uncompressed_size
    assert zlib.crc32(records) == crc
    chunk = WalkedChunk([], {})
    at = 0
    while at < len(records):
        opcode, length = struct.unpack_from("<BQ", records, at)
        inner = records[at + 9 : at + 9 + length]
        if opcode == 0x04:
            channel_id, _schema_id, topic_length = struct.unpack_from("<HHI", inner)
            topics[channel_id] = inner[8 : 8 + topic_length].decode()
        elif opcode == 0x05:
            channel_id, sequence, log_time, _publish_time = struct.unpack_from("<HIQQ", inner)
            chunk.messages.append((channel_id, topics[channel_id], sequence, log_time, inner[22:]))
            chunk.offsets.setdefault(channel_id, []).append((log_time, at))
        at += 9 + length
    assert at == len(records)
    return chunk
