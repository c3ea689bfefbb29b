"""The Python layer's cycle record, as the loop builds it, for tests.

`CycleRecord` and `GuardResult` mirror the dataclasses of the control loop;
`dataclasses.asdict(record)` is the dict that SerializerBus takes and whose
JSON text McapWriter takes.
"""

from __future__ import annotations

import dataclasses
from dataclasses import dataclass, field


@dataclass
class GuardResult:
    cycle_id: int
    timestamp: float
    guard_name: str
    event_class: str | None
    layer: int
    decision: int
    decision_name: str
    reason: str
    latency_ms: float | None
    is_violation: bool
    is_clamp: bool
    fault_source: str | None = None
    metadata: dict = field(default_factory=dict)


@dataclass
class CycleRecord:
    cycle_id: int
    obs_timestamp: float
    has_violation: bool
    has_clamp: bool
    violated_layer_mask: int
    clamped_layer_mask: int
    active_task: str | None
    active_boundaries: list
    active_cameras: list
    obs_joint_positions: list
    obs_channels: dict
    action_positions: list
    action_velocities: list | None
    validated_positions: list | None
    validated_velocities: list | None
    was_clamped: bool
    fallback_triggered: str | None
    active_context: str
    context_severity: int
    context_event: dict | None
    guard_results: list
    latency_stages: dict
    latency_layers: dict
    latency_guards: dict
    image_data: list
    config_version: int = 0
    failure_type: str | None = None
    failure_guard_names: list = field(default_factory=list)
    failure_layers: list = field(default_factory=list)
    failure_decisions: list = field(default_factory=list)
    failure_reasons: list = field(default_factory=list)
    failure_tuple: list | None = None


def pick_place_record() -> CycleRecord:
    """A cycle of a pick-and-place task with one clamp and one rejection."""
    stamp = 1717171717.25
    return CycleRecord(
        cycle_id=1042,
        obs_timestamp=stamp,
        has_violation=True,
        has_clamp=True,
        violated_layer_mask=4,
        clamped_layer_mask=2,
        active_task="pick_place",
        active_boundaries=["workspace", "table"],
        active_cameras=["wrist"],
        obs_joint_positions=[0.1, -0.25, 1.5],
        obs_channels={"joint_velocities": [0.0, 0.5, -1.0], "gripper": [0.02]},
        action_positions=[0.125, -0.25, 1.5],
        action_velocities=[0.5, 0.0, -0.5],
        validated_positions=[0.125, -0.2, 1.5],
        validated_velocities=None,
        was_clamped=True,
        fallback_triggered=None,
        active_context="human_nearby",
        context_severity=2,
        context_event={"source": "lidar", "distance_m": 0.8},
        guard_results=[
            GuardResult(1042, stamp, "joint_limits", None, 0, 0, "PASS", "within limits", 0.011, False, False),
            GuardResult(1042, stamp, "velocity_cap", "speed", 1, 1, "CLAMP", "joint 2 over 0.4 rad/s", 0.023, False,
                        True, metadata={"limit": 0.4, "joint": 2}),
            GuardResult(1042, stamp, "keep_out_zone", "zone", 2, 2, "REJECT", 'tool inside zone "A"', 0.035, True,
                        False, fault_source="tcp", metadata={"zone": "A", "margin_m": -0.01}),
        ],
        latency_stages={"source": 0.5, "policy": 2.25, "guards": 0.125, "sink": 0.0625, "total": 3.0},
        latency_layers={"L0": 0.01, "L1": 0.02, "L2": 0.04},
        latency_guards={"joint_limits": 0.012, "velocity_cap": 0.025, "keep_out_zone": 0.0375},
        image_data=[],
        config_version=7,
        failure_type="violation",
        failure_guard_names=["keep_out_zone"],
        failure_layers=["L2"],
        failure_decisions=["REJECT"],
        failure_reasons=["tool inside zone"],
    )


def record_dict(record: CycleRecord | None = None) -> dict:
    return dataclasses.asdict(record if record is not None else pick_place_record())
