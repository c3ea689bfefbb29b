"""Reads a recording made by kiv_rs's McapWriter and tells what is in it.

  python examples/inspect_recording.py FILE.mcap                 summary
  python examples/inspect_recording.py FILE.mcap --plot out.png  and a figure
  python examples/inspect_recording.py FILE.mcap --frames DIR    and the JPEG frames

Uses the independent `mcap` reader and `msgpack` decoder, not kiv_rs.
"""

from __future__ import annotations

import argparse
import sys
from collections import Counter, defaultdict
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any

import msgpack
from mcap.reader import make_reader

CYCLE_TOPIC = "/kiv/cycle"
IMAGE_PREFIX = "/kiv/images/"
LAYERS = [f"L{n}" for n in range(5)]
STAGES = ["source", "policy", "guards", "sink", "total"]


@dataclass
class Recording:
    cycles: list[dict[str, Any]] = field(default_factory=list)
    cycle_times_ns: list[int] = field(default_factory=list)
    cycle_sequences: list[int] = field(default_factory=list)
    frames: dict[str, list[tuple[int, dict[str, Any]]]] = field(default_factory=lambda: defaultdict(list))


def read_recording(path: Path) -> Recording:
    recording = Recording()
    with path.open("rb") as f:
        for _, channel, message in make_reader(f).iter_messages(log_time_order=False):
            body = msgpack.unpackb(message.data, raw=False, strict_map_key=False)
            if channel.topic == CYCLE_TOPIC:
                recording.cycles.append(body)
                recording.cycle_times_ns.append(message.log_time)
                recording.cycle_sequences.append(message.sequence)
            elif channel.topic.startswith(IMAGE_PREFIX):
                recording.frames[channel.topic.removeprefix(IMAGE_PREFIX)].append((message.log_time, body))
    return recording


def sequence_gaps(sequences: list[int]) -> list[tuple[int, int]]:
    """Missing runs (first, last) between consecutive recorded cycle sequences."""
    ordered = sorted(sequences)
    return [(a + 1, b - 1) for a, b in zip(ordered, ordered[1:]) if b - a > 1]


def summarize(rec: Recording) -> str:
    lines = []
    if rec.cycle_times_ns:
        duration = (max(rec.cycle_times_ns) - min(rec.cycle_times_ns)) / 1e9
        lines.append(f"cycles      {len(rec.cycles)} over {duration:.3f} s")
    else:
        lines.append("cycles      0")
    gaps = sequence_gaps(rec.cycle_sequences)
    missing = sum(b - a + 1 for a, b in gaps)
    lines.append(f"gaps        {len(gaps)} ({missing} sequence numbers missing)" + (f": {gaps[:5]}" if gaps else ""))
    for camera in sorted(rec.frames):
        times = [t for t, _ in rec.frames[camera]]
        span = (max(times) - min(times)) / 1e9 if len(times) > 1 else 0.0
        rate = (len(times) - 1) / span if span else 0.0
        lines.append(f"camera      {camera}: {len(times)} frames ({rate:.1f} Hz)")
    violations, clamps, rejects = Counter[str](), Counter[str](), Counter[str]()
    for cycle in rec.cycles:
        for guard in cycle["guard_results"]:
            layer = f"L{guard['layer']}"
            violations[layer] += guard["is_violation"]
            clamps[layer] += guard["is_clamp"]
            rejects[layer] += guard["is_violation"] and not guard["is_clamp"]
    lines.append("layer       violations  clamps  rejects")
    for layer in sorted(set(violations) | set(LAYERS)):
        lines.append(f"  {layer:9} {violations[layer]:10d}  {clamps[layer]:6d}  {rejects[layer]:7d}")
    return "\n".join(lines)


def plot(rec: Recording, out: Path) -> None:
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    t0 = min(rec.cycle_times_ns) if rec.cycle_times_ns else 0
    t = [(ns - t0) / 1e9 for ns in rec.cycle_times_ns]
    fig, axes = plt.subplots(4, 1, figsize=(11, 11), sharex=True, gridspec_kw={"height_ratios": [3, 3, 2, 1.4]})
    fig.suptitle(f"kiv_rs recording: {len(rec.cycles)} cycles, {sum(len(f) for f in rec.frames.values())} frames")

    def latency_panel(ax: Any, field: str, names: list[str], ylabel: str, title: str) -> None:
        for name in names:
            ax.plot(t, [c[field].get(name, float("nan")) for c in rec.cycles], lw=0.7, label=name)
        ax.set_ylabel(ylabel)
        ax.set_yscale("log")
        ax.legend(loc="upper right", ncol=5, fontsize="small")
        ax.set_title(title, loc="left", fontsize="medium")

    latency_panel(axes[0], "latency_stages", STAGES, "stage latency (ms)", "Pipeline stages")
    latency_panel(axes[1], "latency_layers", LAYERS, "guard time per layer (ms)", "Guard latency summed per layer")

    ax = axes[2]
    for kind, marker, colour in [("clamp", "|", "tab:orange"), ("reject", "x", "tab:red")]:
        xs, ys = [], []
        for time_s, cycle in zip(t, rec.cycles):
            for guard in cycle["guard_results"]:
                hit = guard["is_clamp"] if kind == "clamp" else (guard["is_violation"] and not guard["is_clamp"])
                if hit:
                    xs.append(time_s)
                    ys.append(guard["layer"])
        ax.scatter(xs, ys, marker=marker, color=colour, s=40, label=f"{kind} ({len(xs)})")
    ax.set_yticks(range(5), LAYERS)
    ax.set_ylim(-0.5, 4.5)
    ax.set_ylabel("layer")
    ax.legend(loc="upper right", fontsize="small")
    ax.set_title("Clamps and rejects", loc="left", fontsize="medium")

    ax = axes[3]
    cameras = sorted(rec.frames)
    ax.eventplot([[(ns - t0) / 1e9 for ns, _ in rec.frames[c]] for c in cameras] or [[]], linelengths=0.8)
    ax.set_yticks(range(len(cameras)), cameras)
    ax.set_ylabel("camera")
    ax.set_xlabel("time since first cycle (s)")
    ax.set_title("Camera frames recorded", loc="left", fontsize="medium")

    fig.tight_layout()
    fig.savefig(out, dpi=110)
    plt.close(fig)


def extract_frames(rec: Recording, directory: Path) -> int:
    directory.mkdir(parents=True, exist_ok=True)
    count = 0
    for camera, frames in rec.frames.items():
        safe = camera.replace("/", "_")
        for index, (log_time, frame) in enumerate(frames):
            (directory / f"{safe}_{index:06d}_{log_time}.jpg").write_bytes(frame["data"])
            count += 1
    return count


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description="Summarize, plot and unpack a kiv_rs MCAP recording.")
    parser.add_argument("recording", type=Path)
    parser.add_argument("--plot", type=Path, metavar="FILE.png", help="draw latencies, guard outcomes and frames")
    parser.add_argument("--frames", type=Path, metavar="DIR", help="write every recorded JPEG frame into DIR")
    args = parser.parse_args(argv)

    rec = read_recording(args.recording)
    print(summarize(rec))
    if args.plot:
        plot(rec, args.plot)
        print(f"plot        {args.plot}")
    if args.frames:
        print(f"frames      {extract_frames(rec, args.frames)} written to {args.frames}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
