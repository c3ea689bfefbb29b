"""A realistic cycle record for the record and telemetry benchmarks.

Seven joints, three observation channels, ten guard results over the five
layers; floats as a control loop measures them (full precision).
"""

from __future__ import annotations

import random

JOINTS = 7
GUARDS = 10


def realistic_record(seed: int = 7) -> dict:
    rng = random.Random(seed)

    def joints(scale: float) -> list[float]:
        return [rng.uniform(-scale, scale) for _ in range(JOINTS)]

    stamp = 1717171717.0 + rng.random()
    decisions = [(0, "PASS", "within limits"), (1, "CLAMP", "joint velocity above limit"),
                 (2, "REJECT", "tool inside keep-out zone")]
    guard_results = []
    for i in range(GUARDS):
        decision, name, reason = decisions[i % 3]
        guard_results.append({
            "cycle_id": 1234, "timestamp": stamp, "guard_name": f"guard_{i}", "event_class": None if i % 2 else "limit",
            "layer": i % 5, "decision": decision, "decision_name": name, "reason": reason,
            "latency_ms": rng.uniform(0.005, 0.2), "is_violation": decision == 2, "is_clamp": decision == 1,
            "fault_source": None, "metadata": {"threshold": 1.5, "observed": rng.uniform(0, 2), "joint": i % JOINTS},
        })
    return {
        "cycle_id": 1234, "obs_timestamp": stamp, "has_violation": True, "has_clamp": True,
        "violated_layer_mask": 4, "clamped_layer_mask": 2, "active_task": "pick_place",
        "active_boundaries": ["workspace", "table"], "active_cameras": ["wrist", "overhead"],
        "obs_joint_positions": joints(3.0),
        "obs_channels": {"joint_velocities": joints(1.0), "joint_torques": joints(10.0), "ee_pose": joints(1.0)},
        "action_positions": joints(3.0), "action_velocities": joints(1.0), "validated_positions": joints(3.0),
        "validated_velocities": None, "was_clamped": True, "fallback_triggered": None,
        "active_context": "normal", "context_severity": 0, "context_event": None, "guard_results": guard_results,
        "latency_stages": {stage: rng.uniform(0.01, 2.0) for stage in ("source", "policy", "guards", "sink", "total")},
        "latency_layers": {f"L{n}": rng.uniform(0.0, 0.3) for n in range(5)},
        "latency_guards": {f"guard_{i}": rng.uniform(0.0, 0.2) for i in range(GUARDS)},
        "image_data": [], "config_version": 3, "failure_type": None, "failure_guard_names": [], "failure_layers": [],
        "failure_decisions": [], "failure_reasons": [], "failure_tuple": None,
    }
