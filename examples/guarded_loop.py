"""A guarded control loop that records: the main job of kiv_rs.

A simulated 7-joint arm is driven by a policy through a chain of safety
guards on layers L0 to L4, at a fixed rate, the way a real loop would use
kiv_rs every cycle:

  source  -> ObservationBus      observation hand-over (pickled)
  policy  -> proposes an action
  guards  -> clamp or reject it; MetricBus gets every guard's latency
  sink    -> ActionBus           validated action hand-over
  monitor -> WatchdogTimer       pinged each cycle, deadline watched natively
             RiskController      clamp/reject outcomes graded into a risk level
  record  -> SerializerBus       nine JSON telemetry messages per cycle
             McapWriter          the cycle (and camera frames) into an MCAP file
  cameras -> ImageWriter         two synthetic RGB cameras encoded to JPEG
             ImageHub            frame store the recorder drains

Run it with no arguments for 5 s at 500 Hz; --help lists the options. At the
end it prints a report and reads the recording back; the exit code is
non-zero if the loop could not keep its rate or the recording is incomplete.
"""

from __future__ import annotations

import argparse
import json
import math
import os
import random
import sys
import tempfile
import threading
import time
from collections import Counter
from dataclasses import asdict, dataclass, field
from enum import IntEnum
from pathlib import Path
from typing import Any, Callable

import kiv_rs

JOINTS = 7
STAGES = ("source", "policy", "guards", "sink", "total")


class GuardLayer(IntEnum):
    L0_HARDWARE = 0
    L1_KINEMATIC = 1
    L2_WORKSPACE = 2
    L3_CONTEXT = 3
    L4_SUPERVISOR = 4


class Decision(IntEnum):
    PASS = 0
    CLAMP = 1
    REJECT = 2


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
    fault_source: str | None
    metadata: Any = None


@dataclass
class CycleRecord:
    cycle_id: int
    obs_timestamp: float
    has_violation: bool
    has_clamp: bool
    violated_layer_mask: int
    clamped_layer_mask: int
    active_task: str | None
    active_boundaries: list[str]
    active_cameras: list[str]
    obs_joint_positions: list[float]
    obs_channels: dict[str, list[float]]
    action_positions: list[float]
    action_velocities: list[float] | None
    validated_positions: list[float] | None
    validated_velocities: list[float] | None
    was_clamped: bool
    fallback_triggered: str | None
    active_context: str
    context_severity: int
    context_event: Any
    guard_results: list[GuardResult]
    latency_stages: dict[str, float]
    latency_layers: dict[str, float]
    latency_guards: dict[str, float]
    image_data: list[dict[str, Any]] = field(default_factory=list)
    config_version: int = 1
    failure_type: str | None = None
    failure_guard_names: list[str] = field(default_factory=list)
    failure_layers: list[str] = field(default_factory=list)
    failure_decisions: list[str] = field(default_factory=list)
    failure_reasons: list[str] = field(default_factory=list)
    failure_tuple: Any = None


# ---------------------------------------------------------------- the plant


class SimulatedArm:
    """Seven joints following their commanded positions with a first-order lag."""

    LIMIT = 2.6  # rad, symmetric joint limits

    def __init__(self, rng: random.Random, positions: list[float]) -> None:
        self.rng = rng
        self.positions = list(positions)
        self.velocities = [0.0] * JOINTS

    def observe(self, now: float) -> dict[str, Any]:
        noise = self.rng.gauss
        return {
            "timestamp": now,
            "joint_positions": [q + noise(0.0, 1e-4) for q in self.positions],
            "joint_velocities": list(self.velocities),
            "joint_torques": [0.8 * v + noise(0.0, 0.01) for v in self.velocities],
        }

    def apply(self, targets: list[float], dt: float) -> None:
        for j, target in enumerate(targets):
            step = (target - self.positions[j]) * min(1.0, dt * 40.0)
            self.velocities[j] = step / dt
            self.positions[j] += step


class Policy:
    """Tracks a slow sinusoid per joint; now and then proposes something a guard must stop."""

    def __init__(self, rng: random.Random) -> None:
        self.rng = rng

    @staticmethod
    def reference(t: float) -> list[float]:
        return [1.8 * math.sin(0.6 * t + j) for j in range(JOINTS)]

    def propose(self, obs: dict[str, Any], t: float) -> list[float]:
        targets = self.reference(t)
        roll = self.rng.random()
        if roll < 0.02:  # an overshoot past the joint limits
            targets[self.rng.randrange(JOINTS)] *= 1.8
        elif roll < 0.03:  # a jump the velocity limit catches
            targets[self.rng.randrange(JOINTS)] += 0.6
        elif roll < 0.0305:  # a corrupted proposal only the supervisor can refuse
            targets[self.rng.randrange(JOINTS)] = float("inf")
        return targets


# ---------------------------------------------------------------- guards


@dataclass
class GuardOutcome:
    decision: Decision
    reason: str
    targets: list[float]


class Guard:
    name = "guard"
    layer = GuardLayer.L0_HARDWARE
    event_class: str | None = None

    def check(self, targets: list[float], obs: dict[str, Any], dt: float) -> GuardOutcome:
        raise NotImplementedError


class JointLimitGuard(Guard):
    name, layer, event_class = "joint_limits", GuardLayer.L0_HARDWARE, "limit"

    def check(self, targets: list[float], obs: dict[str, Any], dt: float) -> GuardOutcome:
        limit = SimulatedArm.LIMIT
        clamped = [min(limit, max(-limit, q)) for q in targets]
        if clamped != targets and all(math.isfinite(q) for q in targets):
            return GuardOutcome(Decision.CLAMP, "joint target beyond limit", clamped)
        return GuardOutcome(Decision.PASS, "within limits", targets)


class VelocityGuard(Guard):
    name, layer, event_class = "velocity_limit", GuardLayer.L1_KINEMATIC, "rate"
    MAX_SPEED = 60.0  # rad/s towards the target

    def check(self, targets: list[float], obs: dict[str, Any], dt: float) -> GuardOutcome:
        max_step = self.MAX_SPEED * dt
        out, clamped = [], False
        for target, current in zip(targets, obs["joint_positions"]):
            if math.isfinite(target) and abs(target - current) > max_step:
                target, clamped = current + math.copysign(max_step, target - current), True
            out.append(target)
        if clamped:
            return GuardOutcome(Decision.CLAMP, "step exceeds velocity limit", out)
        return GuardOutcome(Decision.PASS, "step within velocity limit", targets)


class WorkspaceGuard(Guard):
    name, layer, event_class = "workspace_box", GuardLayer.L2_WORKSPACE, None

    def check(self, targets: list[float], obs: dict[str, Any], dt: float) -> GuardOutcome:
        reach = abs(targets[1] + targets[2]) if all(map(math.isfinite, targets[1:3])) else 0.0
        return GuardOutcome(Decision.PASS, f"reach {reach:.2f} inside the box", targets)


class ContextGuard(Guard):
    name, layer, event_class = "collaborative_speed", GuardLayer.L3_CONTEXT, "context"

    def check(self, targets: list[float], obs: dict[str, Any], dt: float) -> GuardOutcome:
        return GuardOutcome(Decision.PASS, "no human in the cell", targets)


class SupervisorGuard(Guard):
    name, layer, event_class = "supervisor_sanity", GuardLayer.L4_SUPERVISOR, "fault"

    def check(self, targets: list[float], obs: dict[str, Any], dt: float) -> GuardOutcome:
        if not all(math.isfinite(q) for q in targets):
            return GuardOutcome(Decision.REJECT, "non-finite joint target", obs["joint_positions"])
        return GuardOutcome(Decision.PASS, "plausible", targets)


GUARDS: list[Guard] = [JointLimitGuard(), VelocityGuard(), WorkspaceGuard(), ContextGuard(), SupervisorGuard()]


# ---------------------------------------------------------------- cameras


class SyntheticCamera(threading.Thread):
    """An RGB camera at a fixed rate: a moving gradient, JPEG-encoded into the hub."""

    def __init__(self, name: str, width: int, height: int, rate_hz: float, hub: kiv_rs.ImageHub, stop: threading.Event) -> None:
        super().__init__(name=f"camera-{name}", daemon=True)
        self.camera_name, self.width, self.height, self.rate_hz = name, width, height, rate_hz
        self.hub, self.stop_event = hub, stop
        self.encoder = kiv_rs.ImageWriter()
        row = bytes(((x * 255) // max(1, width - 1)) for x in range(width))
        base = bytearray()
        for y in range(height):
            shade = (y * 255) // max(1, height - 1)
            for x in range(width):
                base += bytes((row[x], shade, 255 - row[x]))
        self.base = bytes(base)
        self.frames = 0

    def run(self) -> None:
        period = 1.0 / self.rate_hz
        next_t = time.perf_counter()
        stride = 3 * self.width
        while not self.stop_event.is_set():
            shift = (self.frames * 3 * 4) % stride  # scroll four pixels per frame
            frame = self.base[shift:] + self.base[:shift]
            jpeg = bytes(self.encoder.encode_jpeg(frame, self.width, self.height, 80))
            self.hub.submit_jpeg(self.camera_name, time.time(), self.width, self.height, jpeg)
            self.frames += 1
            next_t += period
            self.stop_event.wait(max(0.0, next_t - time.perf_counter()))


# ---------------------------------------------------------------- the loop


class LatencyHistogram:
    """Call times in bins 1% wide: percentiles of a run of any length, in a
    few hundred bins at most (fixed-width bins would keep adding rare ones)."""

    BINS_PER_E = 100  # bin k holds times from e^(k/100) ns

    def __init__(self) -> None:
        self.bins: Counter[int] = Counter()
        self.count = 0

    def add(self, ns: int) -> None:
        self.bins[int(math.log(max(ns, 1)) * self.BINS_PER_E)] += 1
        self.count += 1

    def percentile_us(self, fraction: float) -> float:
        rank = min(self.count - 1, int(fraction * self.count))
        seen = 0
        for bin_, count in sorted(self.bins.items()):
            seen += count
            if seen > rank:
                return math.exp(bin_ / self.BINS_PER_E) / 1e3
        return 0.0


@dataclass
class RunStats:
    cycles: int = 0
    late_cycles: int = 0
    deadline_misses: int = 0
    refused_records: int = 0
    accepted_records: int = 0
    telemetry_bytes: int = 0
    risk_levels: Counter[int] = field(default_factory=Counter)
    module_time: LatencyHistogram = field(default_factory=LatencyHistogram)
    elapsed_s: float = 0.0


class ModuleClock:
    """Adds up the time the loop spends inside kiv_rs calls during one cycle."""

    def __init__(self) -> None:
        self.total_ns = 0

    def call(self, fn: Callable[..., Any], *args: Any) -> Any:
        start = time.perf_counter_ns()
        try:
            return fn(*args)
        finally:
            self.total_ns += time.perf_counter_ns() - start


class GuardedLoop:
    """The loop's objects and its cycle; the caller sets the pace.

    ``serializer`` is the telemetry step; None leaves it out.
    """

    def __init__(self, args: argparse.Namespace, recording: Path, serializer: Any) -> None:
        self.rng = random.Random(args.seed)
        self.policy = Policy(self.rng)
        self.arm = SimulatedArm(self.rng, Policy.reference(0.0))  # at rest where the trajectory begins
        self.dt = 1.0 / args.rate
        self.observations = kiv_rs.ObservationBus(16)
        self.actions = kiv_rs.ActionBus(1)
        self.metrics = kiv_rs.MetricBus()
        self.watchdog = kiv_rs.WatchdogTimer(args.deadline_ms)
        self.risk = kiv_rs.RiskController(window_samples=args.rate, clamp_threshold=max(1, args.rate // 20), reject_threshold=2)
        self.serializer = serializer
        self.hub = kiv_rs.ImageHub(2.0)
        self.writer = kiv_rs.McapWriter()
        self.writer.start(str(recording))
        self.writer.attach_image_hub(self.hub, 2.0, True)
        self.stop_cameras = threading.Event()
        self.cameras = [SyntheticCamera(f"cam{i}", args.camera_width, args.camera_height, args.camera_rate, self.hub, self.stop_cameras) for i in range(args.cameras)]
        self.stats = RunStats()

    def start(self) -> None:
        for camera in self.cameras:
            camera.start()
        self.watchdog.arm()

    def close(self) -> None:
        """Stops the cameras and the recording; the recorder finishes the file on its own thread."""
        self.watchdog.disarm()
        self.stop_cameras.set()
        for camera in self.cameras:
            camera.join()
        self.writer.stop()

    def run_cycle(self, cycle_id: int) -> int:
        """One cycle, from observation to recording; returns its risk level."""
        stats, dt, metrics = self.stats, self.dt, self.metrics
        clock = ModuleClock()
        t_cycle = time.perf_counter_ns()
        wall = time.time()

        # source
        t0 = time.perf_counter_ns()
        clock.call(self.observations.write, self.arm.observe(wall))
        obs = clock.call(self.observations.read_latest)
        t1 = time.perf_counter_ns()
        # policy
        proposed = self.policy.propose(obs, cycle_id * dt)
        t2 = time.perf_counter_ns()
        # guards
        targets = proposed
        results: list[GuardResult] = []
        violated_mask = clamped_mask = 0
        fallback = None
        for guard in GUARDS:
            g0 = time.perf_counter_ns()
            outcome = guard.check(targets, obs, dt)
            latency_ms = (time.perf_counter_ns() - g0) / 1e6
            clock.call(metrics.push_guard, guard.name, int(guard.layer), latency_ms)
            targets = outcome.targets
            is_clamp = outcome.decision == Decision.CLAMP
            is_violation = outcome.decision != Decision.PASS
            if is_violation:
                violated_mask |= 1 << guard.layer
            if is_clamp:
                clamped_mask |= 1 << guard.layer
            if outcome.decision == Decision.REJECT:
                fallback = "hold_position"
            results.append(
                GuardResult(cycle_id, wall, guard.name, guard.event_class, int(guard.layer), int(outcome.decision),
                            outcome.decision.name, outcome.reason, latency_ms, is_violation, is_clamp,
                            guard.name if outcome.decision == Decision.REJECT else None,
                            {"checked_joints": JOINTS} if is_violation else None)
            )
        t3 = time.perf_counter_ns()
        # sink
        clock.call(self.actions.write, targets)
        command = clock.call(self.actions.read)
        self.arm.apply(command, dt)
        t4 = time.perf_counter_ns()

        stage_ms = {"source": (t1 - t0) / 1e6, "policy": (t2 - t1) / 1e6, "guards": (t3 - t2) / 1e6,
                    "sink": (t4 - t3) / 1e6, "total": (t4 - t_cycle) / 1e6}
        for stage in STAGES:
            clock.call(metrics.push_stage, stage, stage_ms[stage])
        clock.call(metrics.commit_cycle)
        snapshot = clock.call(metrics.snapshot)

        clock.call(self.watchdog.ping)
        if clock.call(self.watchdog.is_emergency):
            stats.deadline_misses += 1  # a real loop performs its safe stop here
            self.watchdog.arm()
        was_clamped = clamped_mask != 0
        was_rejected = fallback is not None
        clock.call(self.risk.record, was_clamped, was_rejected)
        level: int = clock.call(self.risk.risk_level)
        stats.risk_levels[level] += 1

        record = CycleRecord(
            cycle_id=cycle_id, obs_timestamp=wall, has_violation=violated_mask != 0, has_clamp=was_clamped,
            violated_layer_mask=violated_mask, clamped_layer_mask=clamped_mask, active_task="pick_and_place",
            active_boundaries=["cell_fence", "table_top"], active_cameras=[c.camera_name for c in self.cameras],
            obs_joint_positions=obs["joint_positions"],
            obs_channels={"joint_velocities": obs["joint_velocities"], "joint_torques": obs["joint_torques"]},
            action_positions=proposed if all(map(math.isfinite, proposed)) else obs["joint_positions"],
            action_velocities=None, validated_positions=command, validated_velocities=None,
            was_clamped=was_clamped, fallback_triggered=fallback, active_context="normal",
            context_severity=level, context_event=None, guard_results=results,
            latency_stages=snapshot["stages"], latency_layers=snapshot["layers"], latency_guards=snapshot["guards"],
        )
        record_dict = asdict(record)
        if self.serializer is not None:
            messages = clock.call(self.serializer.serialize_cycle, record_dict)
            stats.telemetry_bytes += sum(len(m) if isinstance(m, bytes) else sum(map(len, m)) for m in messages.values())
        record_json = json.dumps(record_dict)
        try:
            clock.call(self.writer.write_cycle, record_json)
            stats.accepted_records += 1
        except RuntimeError:
            stats.refused_records += 1

        stats.cycles += 1
        stats.module_time.add(clock.total_ns)
        return level


def run_loop(args: argparse.Namespace, recording: Path) -> RunStats:
    loop = GuardedLoop(args, recording, kiv_rs.SerializerBus())
    stats, dt = loop.stats, loop.dt
    total_cycles = int(args.duration * args.rate)
    loop.start()
    start = time.perf_counter()
    next_t = start
    last_progress = start
    try:
        for cycle_id in range(total_cycles):
            now = time.perf_counter()
            if now < next_t:
                time.sleep(next_t - now)
            elif now - next_t > dt:
                stats.late_cycles += 1
            level = loop.run_cycle(cycle_id)
            next_t += dt
            if args.progress and time.perf_counter() - last_progress >= 0.5:
                last_progress = time.perf_counter()
                frames = sum(c.frames for c in loop.cameras)
                print(f"\r  {last_progress - start:5.1f} s  cycles {stats.cycles:7d}  misses {stats.deadline_misses}"
                      f"  risk {level}  refused {stats.refused_records}  frames {frames}", end="", file=sys.stderr, flush=True)
    finally:
        stats.elapsed_s = time.perf_counter() - start
        loop.close()
        if args.progress:
            print(file=sys.stderr)
    return stats


# ---------------------------------------------------------------- verification


MCAP_MAGIC = b"\x89MCAP0\r\n"


def wait_for_finished_file(path: Path, timeout_s: float) -> bool:
    """The recorder finishes the file on its own thread; wait for the closing magic."""
    deadline = time.monotonic() + timeout_s
    while time.monotonic() < deadline:
        try:
            with path.open("rb") as f:
                f.seek(-len(MCAP_MAGIC), os.SEEK_END)
                if f.read() == MCAP_MAGIC and path.stat().st_size > 2 * len(MCAP_MAGIC):
                    return True
        except OSError:
            pass
        time.sleep(0.02)
    return False


def count_recorded(path: Path) -> tuple[int, Counter[str]]:
    from mcap.reader import make_reader

    cycles, frames = 0, Counter[str]()
    with path.open("rb") as f:
        reader = make_reader(f)
        for _, channel, _ in reader.iter_messages():
            if channel.topic == "/kiv/cycle":
                cycles += 1
            else:
                frames[channel.topic.removeprefix("/kiv/images/")] += 1
    return cycles, frames


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0], formatter_class=argparse.RawDescriptionHelpFormatter,
                                     epilog="Reads the recording back at the end; see examples/inspect_recording.py to look inside.")
    parser.add_argument("--rate", type=int, default=500, help="control rate in Hz (default 500)")
    parser.add_argument("--duration", type=float, default=5.0, help="run time in seconds (default 5)")
    parser.add_argument("--out", type=Path, default=None, help="recording path (default: a new file under the temp dir)")
    parser.add_argument("--cameras", type=int, default=2, help="number of synthetic cameras (default 2)")
    parser.add_argument("--camera-rate", type=float, default=30.0, help="camera frame rate in Hz (default 30)")
    parser.add_argument("--camera-width", type=int, default=320, help="camera frame width (default 320)")
    parser.add_argument("--camera-height", type=int, default=240, help="camera frame height (default 240)")
    parser.add_argument("--deadline-ms", type=float, default=50.0, help="watchdog deadline in ms (default 50)")
    parser.add_argument("--seed", type=int, default=7, help="random seed of the simulation (default 7)")
    parser.add_argument("--no-progress", dest="progress", action="store_false", help="no progress line")
    args = parser.parse_args(argv)

    recording = args.out or Path(tempfile.mkdtemp(prefix="kiv-")) / "guarded_loop.mcap"
    print(f"kiv_rs {kiv_rs.__version__}: {args.rate} Hz for {args.duration:g} s, {args.cameras} camera(s) at {args.camera_rate:g} Hz")
    stats = run_loop(args, recording)

    finished = wait_for_finished_file(recording, timeout_s=30.0)
    recorded_cycles, frames = count_recorded(recording) if finished else (0, Counter[str]())
    planned = int(args.duration * args.rate)
    achieved_hz = stats.cycles / stats.elapsed_s if stats.elapsed_s else 0.0
    kept_rate = stats.cycles == planned and achieved_hz >= 0.95 * args.rate and stats.late_cycles <= 0.01 * planned
    complete = finished and recorded_cycles == stats.accepted_records and stats.refused_records == 0

    print(f"cycles run        {stats.cycles} of {planned} in {stats.elapsed_s:.2f} s ({achieved_hz:.0f} Hz, {stats.late_cycles} late)")
    print(f"deadline misses   {stats.deadline_misses} (watchdog deadline {args.deadline_ms:g} ms)")
    histogram = "  ".join(f"{name}={stats.risk_levels.get(level, 0)}" for level, name in enumerate(["NORMAL", "ELEVATED", "CRITICAL", "EMERGENCY"]))
    print(f"risk levels       {histogram}")
    print(f"in kiv_rs/cycle   median {stats.module_time.percentile_us(0.5):.1f} us, p99 {stats.module_time.percentile_us(0.99):.1f} us")
    print(f"telemetry         {stats.telemetry_bytes / max(1, stats.cycles):.0f} bytes of JSON per cycle")
    size = recording.stat().st_size if recording.exists() else 0
    print(f"recording         {recording} ({size / 1e6:.2f} MB)")
    frame_text = ", ".join(f"{name} {count}" for name, count in sorted(frames.items())) or "none"
    print(f"recorded          {recorded_cycles} of {stats.accepted_records} accepted cycles ({stats.refused_records} refused); frames: {frame_text}")
    if not kept_rate:
        print("FAILED: the loop could not keep its rate", file=sys.stderr)
    if not complete:
        print("FAILED: the recording is incomplete", file=sys.stderr)
    return 0 if kept_rate and complete else 1


if __name__ == "__main__":
    sys.exit(main())
