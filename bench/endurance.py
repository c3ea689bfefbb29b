"""Endurance: the guarded control loop of examples/guarded_loop.py, run as
fast as it goes (no pacing) for many cycles, with its two cameras at their
real rate. The process's resident memory is sampled as it runs; at the end
the recording is read back and every cycle that write_cycle accepted must be
in it.

    python bench/endurance.py --cycles 1000000        # the long run (about an hour here)
    python bench/endurance.py --cycles 100000 --json  # one JSON line, for tests

Memory is judged after a warm-up (the first fifth of the cycles): the median
of the second half of the samples against that of the first half. A
leak of one small allocation per cycle shows as tens of bytes per cycle;
allocator noise as a fraction of a megabyte, whatever the length of the run.
The exit code is non-zero when memory grew by more than --max-growth-bytes
per cycle, or when an accepted cycle is missing from the file.
"""

from __future__ import annotations

import argparse
import json
import os
import statistics
import sys
import tempfile
import time
from dataclasses import asdict, dataclass
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "examples"))

import kiv_rs  # noqa: E402
from guarded_loop import GuardedLoop, wait_for_finished_file  # noqa: E402

PAGE_BYTES = os.sysconf("SC_PAGESIZE")


def resident_bytes() -> int:
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * PAGE_BYTES


@dataclass
class Figures:
    cycles: int
    seconds: float
    accepted: int
    refused: int
    recorded: int
    frames_recorded: int
    file_bytes: int
    telemetry: bool  # whether the loop's SerializerBus step ran
    rss_start: int  # bytes, after the loop's objects were made
    rss_after_warm_up: int
    rss_end: int
    growth_bytes: int  # median of the second half of the samples minus that of the first half
    growth_per_cycle: float  # over the cycles between the two halves' middles
    samples: list[tuple[int, int]]  # (cycle, resident bytes)

    @property
    def complete(self) -> bool:
        return self.recorded == self.accepted


def judge(samples: list[tuple[int, int]], warm_up_cycles: int) -> tuple[int, float]:
    """Growth of resident memory from the first to the second half of the
    samples after the warm-up, median against median (a moment's backlog in
    the queue is not a trend): bytes, and bytes per cycle between the halves'
    middles."""
    steady = [sample for sample in samples if sample[0] >= warm_up_cycles]
    half = len(steady) // 2
    first, second = steady[:half], steady[half:]
    growth = statistics.median(rss for _, rss in second) - statistics.median(rss for _, rss in first)
    span = second[len(second) // 2][0] - first[len(first) // 2][0]
    return int(growth), growth / span if span else 0.0


def count_recorded(path: Path) -> tuple[int, int]:
    """Cycles and frames in the finished file, read record by record (CRCs
    checked, one chunk in memory at a time); the cycles' sequence numbers
    must rise, each call having taken the next number."""
    from mcap.records import Channel, Message
    from mcap.stream_reader import StreamReader

    topics: dict[int, str] = {}
    cycles = frames = 0
    last = -1
    with path.open("rb") as stream:
        for record in StreamReader(stream, skip_magic=False, emit_chunks=False, validate_crcs=True).records:
            if isinstance(record, Channel):
                topics[record.id] = record.topic
            elif isinstance(record, Message):
                if topics[record.channel_id] != "/kiv/cycle":
                    frames += 1
                    continue
                if record.sequence <= last:
                    raise AssertionError(f"cycle {record.sequence} after {last}")
                last = record.sequence
                cycles += 1
    return cycles, frames


def run(cycles: int, sample_every: int, directory: Path) -> Figures:
    args = argparse.Namespace(seed=7, rate=1000, deadline_ms=1000.0, cameras=2, camera_rate=30.0,
                              camera_width=320, camera_height=240)  # fmt: skip
    recording = directory / "endurance.mcap"
    serializer = kiv_rs.SerializerBus() if hasattr(kiv_rs, "SerializerBus") else None
    loop = GuardedLoop(args, recording, serializer)
    samples = []
    loop.start()
    rss_start = resident_bytes()
    start = time.perf_counter()
    try:
        for cycle_id in range(cycles):
            loop.run_cycle(cycle_id)
            if cycle_id % sample_every == 0:
                samples.append((cycle_id, resident_bytes()))
    finally:
        seconds = time.perf_counter() - start
        loop.close()
    samples.append((cycles, resident_bytes()))
    warm_up = cycles // 5
    growth, per_cycle = judge(samples, warm_up)
    if not wait_for_finished_file(recording, timeout_s=300.0):
        raise AssertionError("the recording was not finished")
    recorded, frames = count_recorded(recording)
    stats = loop.stats
    return Figures(
        cycles=cycles, seconds=seconds, accepted=stats.accepted_records, refused=stats.refused_records,
        recorded=recorded, frames_recorded=frames, file_bytes=recording.stat().st_size,
        telemetry=serializer is not None, rss_start=rss_start,
        rss_after_warm_up=next(rss for cycle, rss in samples if cycle >= warm_up), rss_end=samples[-1][1],
        growth_bytes=growth, growth_per_cycle=per_cycle, samples=samples,
    )  # fmt: skip


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--cycles", type=int, default=1_000_000)
    parser.add_argument("--samples", type=int, default=200, help="resident memory samples over the run")
    parser.add_argument("--max-growth-bytes", type=float, default=16.0,
                        help="per cycle, after the warm-up (default 16: half of one small allocation)")
    parser.add_argument("--dir", type=Path, default=None, help="where the recording goes (deleted afterwards)")
    parser.add_argument("--json", action="store_true", help="print the figures as one JSON line")
    args = parser.parse_args()

    with tempfile.TemporaryDirectory(prefix="kiv-endurance-", dir=args.dir) as name:
        figures = run(args.cycles, max(1, args.cycles // args.samples), Path(name))
    flat = figures.growth_per_cycle <= args.max_growth_bytes
    if args.json:
        print(json.dumps(asdict(figures)))
    else:
        mb = 1e6
        print(f"kiv_rs {kiv_rs.__version__}: {figures.cycles:,} cycles in {figures.seconds:.0f} s "
              f"({figures.cycles / figures.seconds:,.0f} cycles/s), telemetry {'on' if figures.telemetry else 'off'}")
        print(f"recording   {figures.recorded:,} of {figures.accepted:,} accepted cycles ({figures.refused:,} refused), "
              f"{figures.frames_recorded:,} frames, {figures.file_bytes / mb:,.0f} MB")
        print(f"resident    {figures.rss_start / mb:.1f} MB at start, {figures.rss_after_warm_up / mb:.1f} MB after "
              f"the warm-up, {figures.rss_end / mb:.1f} MB at the end; growth {figures.growth_bytes / mb:+.2f} MB "
              f"({figures.growth_per_cycle:+.2f} bytes per cycle)")
    sys.stdout.flush()
    if not flat:
        print(f"FAILED: memory grew by {figures.growth_per_cycle:.1f} bytes per cycle", file=sys.stderr)
    if not figures.complete:
        print("FAILED: accepted cycles are missing from the recording", file=sys.stderr)
    return 0 if flat and figures.complete else 1


if __name__ == "__main__":
    sys.exit(main())
