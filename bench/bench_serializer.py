"""SerializerBus.serialize_cycle on a realistic record, against its floor
(the json.dumps it must call) and against pure-Python peers that build the
nine messages as dicts and write them with sorted keys."""

from __future__ import annotations

import json
from typing import Callable

import kiv_rs
from harness import Row, time_calls
from records import realistic_record

STAGES = ("source", "policy", "guards", "sink", "total")


def peer_messages(record: dict, dumps: Callable[[dict], bytes]) -> dict:
    """The nine topics by the same rules, the idiomatic Python way."""
    stages, layers, guard_latencies = record["latency_stages"], record["latency_layers"], record["latency_guards"]
    stamp = {"cycle_id": record["cycle_id"], "timestamp": record["obs_timestamp"]}
    stage_ms = {f"{stage}_ms": stages.get(stage, 0.0) for stage in STAGES}
    cycle = {
        **stamp, **stage_ms, "config_version": record.get("config_version", 0),
        "active_task": record.get("active_task"), "active_boundaries": record["active_boundaries"],
        "active_context": record.get("active_context", "normal"),
        "context_severity": record.get("context_severity", 0), "context_event": record.get("context_event"),
        "has_violation": record["has_violation"], "has_clamp": record["has_clamp"],
        "violated_layer_mask": record["violated_layer_mask"], "clamped_layer_mask": record["clamped_layer_mask"],
    }
    obs = {**stamp, "joint_positions": record["obs_joint_positions"]}
    obs.update((name, values) for name, values in (record.get("obs_channels") or {}).items() if values is not None)
    action = {**stamp, "target_positions": record["action_positions"], "was_clamped": record["was_clamped"],
              "fallback_triggered": record.get("fallback_triggered")}
    for key, source in (("target_velocities", "action_velocities"), ("validated_positions", "validated_positions"),
                        ("validated_velocities", "validated_velocities")):
        if record.get(source) is not None:
            action[key] = record[source]
    topics = {"/kiv/cycle": dumps(cycle), "/kiv/obs": dumps(obs), "/kiv/action": dumps(action)}
    by_layer: list[list[bytes]] = [[] for _ in range(5)]
    for guard in record["guard_results"]:
        message = {
            **stamp, "guard_name": guard["guard_name"], "event_class": guard.get("event_class"),
            "layer": guard["layer"], "decision": guard["decision"], "decision_name": guard["decision_name"],
            "reason": guard["reason"], "latency_ms": guard_latencies.get(guard["guard_name"]),
            "is_violation": guard["is_violation"], "is_clamp": guard["is_clamp"],
            "fault_source": guard.get("fault_source"), "metadata": guard.get("metadata", {}),
        }
        if 0 <= guard["layer"] < 5:
            by_layer[guard["layer"]].append(dumps(message))
    topics.update((f"/kiv/L{n}", messages) for n, messages in enumerate(by_layer))
    latency = {**stamp, **stage_ms, **{f"L{n}_ms": layers[f"L{n}"] for n in range(5) if f"L{n}" in layers}}
    topics["/kiv/latency"] = dumps(latency)
    return topics


def json_dumps_sorted(message: dict) -> bytes:
    return json.dumps(message, sort_keys=True, separators=(",", ":")).encode()


def run() -> list[Row]:
    record = realistic_record()
    serializer = kiv_rs.SerializerBus()
    serialize = serializer.serialize_cycle
    peers: list[tuple[str, Callable[[], object]]] = [
        ("pure Python: 9 dicts + json.dumps(sort_keys)", lambda: peer_messages(record, json_dumps_sorted))]
    try:
        import orjson
    except ImportError:
        orjson = None
    if orjson is not None:
        def orjson_sorted(message: dict) -> bytes:
            return orjson.dumps(message, option=orjson.OPT_SORT_KEYS)
        peers.append(("9 dicts + orjson.dumps(OPT_SORT_KEYS)", lambda: peer_messages(record, orjson_sorted)))

    # The comparison only means something if every peer writes the same bytes.
    expected = serialize(record)
    for name, peer in peers:
        if peer() != expected:
            raise AssertionError(f"peer {name!r} writes other messages than serialize_cycle")

    subject, floor, *peer_times = time_calls(lambda: serialize(record), lambda: json.dumps(record),
                                             *(peer for _, peer in peers))
    rows = [Row("serialize_cycle", subject, "json.dumps(record) floor", floor, "<= 1.3x floor", subject <= 1.3 * floor)]
    for (name, _), peer_ns in zip(peers, peer_times):
        if name.startswith("pure Python"):
            rows.append(Row("serialize_cycle", subject, name, peer_ns, "<= 0.67x (1.5x ahead)", subject * 1.5 <= peer_ns))
        else:
            rows.append(Row("serialize_cycle", subject, name, peer_ns, "report", True))
    return rows
