"""Several Python threads hammer one shared object at once: no deadlock, no crash, the counts add up.

Every method holds the GIL, so Python threads interleave only between calls and wherever a call runs
Python code of its own (pickling, ``__reduce__``, ``__float__``); the switch interval is made tiny so
that those points are taken often. Each test runs its workers for ``HAMMER_SECONDS`` and checks
invariants during the run and the totals after it; the operations done per object are printed in the
session summary. A worker stuck while holding the GIL would freeze the whole run: past all patience,
every thread's stack is dumped to stderr and the process ends.

Soak: ``KIV_SOAK_SECONDS=60 python -m pytest tests/python/test_concurrency.py`` runs every test's
hammering for 60 s instead of a fraction of a second; ``scripts/run_soak.sh [seconds]`` does the same
against the installed module.
"""

import faulthandler
import heapq
import itertools
import math
import operator
import os
import re
import sys
import threading
import time
from array import array

import pytest

from kiv_rs import ActionBus, ImageHub, McapWriter, MetricBus, ObservationBus, RiskController, WatchdogTimer
from polling import PATIENCE_S, eventually, watcher_threads
from recording import read_recording, record, to_json

HAMMER_SECONDS = float(os.environ.get("KIV_SOAK_SECONDS", "0.25"))
STUCK_AFTER_S = 30.0  # far beyond any stall of a loaded machine: a worker still running then is stuck


@pytest.fixture(autouse=True)
def frequent_thread_switches():
    interval = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)
    yield
    sys.setswitchinterval(interval)


@pytest.fixture(autouse=True)
def end_a_stuck_run(real_stderr):
    """A worker stuck while holding the GIL freezes every Python thread, this test's own too: past all
    patience, dump every thread's stack and end the process rather than hang the run."""
    patience = HAMMER_SECONDS + 2 * STUCK_AFTER_S + 2 * PATIENCE_S
    faulthandler.dump_traceback_later(patience, exit=True, file=real_stderr)
    yield
    faulthandler.cancel_dump_traceback_later()


def hammer(workers, seconds=HAMMER_SECONDS):
    """Calls each worker in a loop on a thread of its own until `seconds` have passed.

    `workers` maps a name to a callable; returns the number of calls each made. The first exception
    of any worker stops them all and is raised here; a worker that does not stop is reported stuck.
    """
    names = list(workers)
    calls = dict.fromkeys(names, 0)
    errors = []
    stop = threading.Event()
    start = threading.Barrier(len(names) + 1)

    def run(name):
        work = workers[name]
        start.wait()
        try:
            while not stop.is_set():
                work()
                calls[name] += 1
        except BaseException as error:  # raised again in the test's own thread
            errors.append(error)
            stop.set()

    # Daemons, so that a stuck worker fails its test without holding up the session's exit.
    threads = [threading.Thread(target=run, args=(name,), name=f"hammer-{name}", daemon=True) for name in names]
    for thread in threads:
        thread.start()
    start.wait()
    stop.wait(seconds)
    stop.set()
    for thread in threads:
        thread.join(STUCK_AFTER_S)
    stuck = [thread.name for thread in threads if thread.is_alive()]
    assert not stuck, f"still running {STUCK_AFTER_S} s after the stop: {stuck}"
    if errors:
        raise errors[0]
    return calls


@pytest.fixture
def report(hammer_figures):
    """Adds one summary line: what was done to which object, and how often."""
    return lambda subject, counts: hammer_figures.append(
        f"{subject}: " + ", ".join(f"{count} {what}" for what, count in counts.items())
    )


def by_writer(entries):
    """The positions of each writer's entries in that writer's own sequence, in the order they appear."""
    positions = {}
    for _, writer, position in entries:
        positions.setdefault(writer, []).append(position)
    return positions


def strictly_increasing(values):
    return all(a < b for a, b in itertools.pairwise(values))


class Echo:
    """Pickling it writes an inner entry to the same bus (and may read it) before the outer one lands.

    The two take the positions `position` and `position + 1` in their writer's sequence."""

    def __init__(self, bus, writer, position, also=lambda bus: None):
        self.bus, self.writer, self.position, self.also = bus, writer, position, also

    def __reduce__(self):
        self.bus.write(("inner", self.writer, self.position))
        self.also(self.bus)
        return (tuple, (("outer", self.writer, self.position + 1),))


def write_next(bus, written, name, **echo):
    """Puts the next entry of writer `name` on the bus (two for the writer "echo"); counts them in `written`."""
    position = written[name]
    if name == "echo":
        bus.write(Echo(bus, name, position, **echo))
        written[name] += 2
    else:
        bus.write(("plain", name, position))
        written[name] += 1


# ---- Buses -----------------------------------------------------------------


def test_action_bus_hands_every_entry_over_exactly_once(report):
    capacity = 1 << 14
    bus = ActionBus(capacity)
    written = {"plain0": 0, "plain1": 0, "echo": 0}  # entries put on the bus, per writer
    # What each reader took, per writer: positions in that writer's sequence (compact, for long soaks).
    taken = {reader: {writer: array("Q") for writer in written} for reader in ("reader0", "reader1", "drain")}
    unpicklable = threading.Lock()

    def backlog():
        return sum(written.values()) - sum(len(got) for per_writer in taken.values() for got in per_writer.values())

    def writer(name):
        def write():
            # Far below capacity, so that no write may drop an unread entry.
            if backlog() > capacity // 2:
                time.sleep(0)
            else:
                write_next(bus, written, name)

        return write

    def take(reader, entry):
        kind, writer, position = entry
        assert kind == ("plain" if writer != "echo" else ("inner", "outer")[position % 2])
        got = taken[reader][writer]
        assert not got or got[-1] < position  # a writer's entries come out in the order they went in
        got.append(position)

    def reader(name):
        def read():
            entry = bus.read()
            if entry is not None:
                take(name, entry)

        return read

    def refused_write():
        with pytest.raises(TypeError):
            bus.write(unpicklable)  # neither appended nor displacing anything

    def observe():
        assert repr(bus) in ("ActionBus(empty=true)", "ActionBus(empty=false)")
        assert isinstance(bus.is_empty(), bool)

    calls = hammer(
        {name: writer(name) for name in written}
        | {name: reader(name) for name in ("reader0", "reader1")}
        | {"refused": refused_write, "observe": observe}
    )
    for entry in iter(bus.read, None):
        take("drain", entry)
    assert bus.is_empty()

    for name, count in written.items():  # every position once: nothing lost, nothing twice
        positions = [per_writer[name] for per_writer in taken.values()]
        assert sum(map(len, positions)) == count, name
        assert all(map(operator.eq, heapq.merge(*positions), range(count))), name
    read_meanwhile = sum(len(got) for reader in ("reader0", "reader1") for got in taken[reader].values())
    report("ActionBus", {
        "entries written": sum(written.values()), "read while writing": read_meanwhile,
        "refused writes": calls["refused"], "repr/is_empty": calls["observe"],
    })


def test_observation_bus_windows_stay_ordered_and_bounded(report):
    capacity = 8
    window_sizes = (0, 1, 3, capacity, 100)
    bus = ObservationBus(capacity)
    written = {"plain0": 0, "plain1": 0, "echo": 0}

    def writer(name):
        return lambda: write_next(bus, written, name, also=lambda bus: check_window(bus.read_window(3), 3))

    def check_window(window, n):
        assert len(window) <= min(n, capacity)
        assert all(strictly_increasing(seqs) for seqs in by_writer(window).values())

    def read_windows():
        for n in window_sizes:
            check_window(bus.read_window(n), n)

    def read_latest_and_length():
        latest = bus.read_latest()
        assert latest is None or latest[0] in ("plain", "inner", "outer")
        length = len(bus)
        assert 0 <= length <= capacity and bus.len() <= capacity
        assert re.fullmatch(rf"ObservationBus\(len=[0-{capacity}]/{capacity}\)", repr(bus))

    calls = hammer(
        {name: writer(name) for name in written} | {"windows": read_windows, "latest": read_latest_and_length}
    )

    assert len(bus) == capacity
    final = bus.read_window(capacity)
    # The newest entries overall: for every writer present, a run of its own newest ones.
    for name, positions in by_writer(final).items():
        assert positions == list(range(written[name] - len(positions), written[name])), name
    report("ObservationBus", {
        "entries written": sum(written.values()), "windows read": calls["windows"] * len(window_sizes),
        "read_latest/len/repr": calls["latest"],
    })


# ---- Metrics ---------------------------------------------------------------


class ReentrantLatency:
    """A latency whose float conversion reads and writes the very store it is being pushed to."""

    def __init__(self, bus):
        self.bus = bus

    def __float__(self):
        assert list(self.bus.snapshot()) == ["stages", "layers", "guards"]
        self.bus.push("legacy", 2.0)
        return 1.0


def test_metric_bus_commits_every_layer_latency_exactly_once(report):
    bus = MetricBus()
    pushers = [f"guard{i}" for i in range(3)]
    committed = {"cycles": 0, "L3 total": 0.0}  # read back after each commit by the only committing thread
    known_guards = {*pushers, "reentrant", "legacy"}

    def pusher(name):
        def push():
            bus.push_guard(name, 3, 1.0)
            bus.push_stage("total", 0.5)

        return push

    def commit():
        bus.commit_cycle()
        committed["cycles"] += 1
        committed["L3 total"] += bus.snapshot()["layers"].get("L3", 0.0)

    def read():
        snapshot = bus.snapshot()
        assert set(snapshot["guards"]) <= known_guards and set(bus.guard_names()) <= known_guards
        assert set(snapshot["stages"].values()) <= {0.5} and set(snapshot["layers"]) <= {"L3"}
        assert bus.mean("guard0") in (None, 1.0) and bus.max("guard1") in (None, 1.0)
        assert bus.latest("legacy") in (None, 2.0)
        assert set(bus.all_latest().values()) <= {1.0, 2.0}
        assert re.fullmatch(r"MetricBus\(guards=[0-5]\)", repr(bus))

    calls = hammer(
        {name: pusher(name) for name in pushers}
        | {
            "reentrant": lambda: bus.push_guard("reentrant", 3, ReentrantLatency(bus)),
            "legacy": lambda: bus.push("legacy", 2.0),  # no layer: adds to no sum
            "committer": commit,
            "reader": read,
        }
    )
    commit()  # what the last cycle left pending

    guard_pushes = sum(calls[name] for name in pushers) + calls["reentrant"]
    assert committed["L3 total"] == guard_pushes  # exact: sums of 1.0 stay integers
    assert sorted(bus.guard_names()) == sorted(known_guards)
    assert bus.snapshot()["stages"] == {"total": 0.5}
    report("MetricBus", {
        "push_guard": guard_pushes, "push": calls["legacy"] + calls["reentrant"],
        "commits": committed["cycles"], "reads": calls["reader"],
    })


def test_metric_bus_clear_under_load(report):
    bus = MetricBus()

    def read():
        snapshot = bus.snapshot()
        assert list(snapshot) == ["stages", "layers", "guards"]
        assert set(snapshot["guards"].values()) <= {1.0} and set(snapshot["stages"].values()) <= {0.5}
        # A commit sums whole pushes of 1.0; clear() may fall between a push and its commit.
        assert all(total >= 0.0 and total.is_integer() for total in snapshot["layers"].values())
        assert bus.mean("g") in (None, 1.0)

    calls = hammer(
        {
            "pusher": lambda: (bus.push_guard("g", 1, 1.0), bus.push_stage("source", 0.5)),
            "committer": bus.commit_cycle,
            "clearer": bus.clear,
            "reader": read,
        }
    )
    bus.clear()
    bus.commit_cycle()  # no layer is known any more
    assert bus.snapshot() == {"stages": {}, "layers": {}, "guards": {}}
    report("MetricBus with clear()", {
        "push_guard": calls["pusher"], "commits": calls["committer"],
        "clears": calls["clearer"], "reads": calls["reader"],
    })


# ---- Monitors --------------------------------------------------------------


def test_risk_controller_windows_stay_bounded_and_the_latch_holds(report):
    window = 16
    risk = RiskController(window, 4, 2)

    def recorder(offset):
        turns = itertools.count(offset)

        def record():
            turn = next(turns)
            risk.record(turn % 2 == 0, turn % 5 == 0)

        return record

    def read():
        stats = risk.stats()
        assert len(stats) == 7 and type(stats["is_emergency"]) is bool
        assert stats["clamp_count"] <= stats["window_size"] <= window and stats["reject_count"] <= window
        assert (stats["clamp_threshold"], stats["reject_threshold"]) == (4, 2)
        assert 0 <= stats["risk_level"] <= 3 and 0 <= risk.risk_level() <= 3
        assert re.fullmatch(r"RiskController\(risk_level=[0-3], emergency=(true|false)\)", repr(risk))

    def toggle_latch():
        # The only thread that sets or clears the latch: what it sees is settled.
        risk.trigger_emergency()
        assert risk.is_emergency() and risk.risk_level() == 3 and risk.stats()["is_emergency"] is True
        risk.clear_emergency()
        assert not risk.is_emergency() and risk.risk_level() < 3

    calls = hammer({"recorder0": recorder(0), "recorder1": recorder(1), "reader": read, "latch": toggle_latch})

    assert risk.stats()["window_size"] == window
    for _ in range(window):
        risk.record(False, False)
    assert (risk.risk_level(), risk.stats()["clamp_count"], risk.stats()["reject_count"]) == (0, 0, 0)
    for _ in range(window):
        risk.record(True, True)
    assert (risk.risk_level(), risk.stats()["clamp_count"], risk.stats()["reject_count"]) == (2, window, window)
    report("RiskController", {
        "records": calls["recorder0"] + calls["recorder1"], "reads": calls["reader"], "latch toggles": calls["latch"],
    })


def test_watchdog_ends_disarmed_with_no_watcher_left(report):
    assert eventually(lambda: watcher_threads() == 0), "watchers of earlier tests still running"
    timer = WatchdogTimer(2.0)  # expires now and then while the pingers wait for the GIL
    patient = WatchdogTimer(60_000.0)  # pinged and re-armed throughout: must never expire
    most_watchers = 0

    def ping():
        timer.ping()
        patient.ping()

    def arm():
        timer.arm()
        patient.arm()

    def clear():
        if timer.is_emergency():
            timer.clear_emergency()

    def read():
        assert isinstance(timer.is_emergency(), bool) and timer.elapsed_since_ping_ms() >= 0.0
        assert timer.deadline_ms == 2.0
        assert re.fullmatch(r"WatchdogTimer\(deadline_ms=2, emergency=(true|false)\)", repr(timer))
        assert not patient.is_emergency()

    def release_armed():
        WatchdogTimer(math.inf).arm()  # released at once: its watcher must end by itself

    def count_watchers():
        nonlocal most_watchers
        most_watchers = max(most_watchers, watcher_threads())
        time.sleep(0.002)

    calls = hammer(
        {
            "pinger0": ping,
            "pinger1": ping,
            "armer0": arm,
            "armer1": arm,
            "disarmer": timer.disarm,
            "clearer": clear,
            "reader": read,
            "releaser": release_armed,
            "census": count_watchers,
        }
    )
    assert not patient.is_emergency()
    timer.disarm()
    patient.disarm()
    assert eventually(lambda: watcher_threads() == 0), "watchers outlived their arming"

    timer.clear_emergency()
    timer.arm()  # still works: an expiry comes once pings stop
    assert eventually(timer.is_emergency)
    assert eventually(lambda: watcher_threads() == 0)
    report("WatchdogTimer", {
        "arms": 2 * (calls["armer0"] + calls["armer1"]), "pings": 2 * (calls["pinger0"] + calls["pinger1"]),
        "disarms": calls["disarmer"], "armed releases": calls["releaser"], "reads": calls["reader"],
        "watchers at most": most_watchers,
    })


# ---- Recorder ---------------------------------------------------------------


def test_recorder_keeps_every_accepted_cycle_while_frames_and_attachments_change(report, tmp_path):
    hub = ImageHub(0.5)
    writer = McapWriter()
    writer.attach_image_hub(hub, 0.5, False)
    path = tmp_path / "hammered.mcap"
    writer.start(str(path))
    cycle_ids = itertools.count()
    now = [0.0]  # the latest cycle's observation time: frames are due on the next cycle
    accepted = {}  # sequence number -> cycle id
    refused = 0
    frames = dict.fromkeys(("cam0", "cam1"), 0)

    def write_cycle():
        nonlocal refused
        cycle_id = next(cycle_ids)
        now[0] = cycle_id * 0.001
        try:
            accepted[writer.write_cycle(to_json(record(cycle_id, cycle_id * 0.001)))] = cycle_id
        except RuntimeError as error:
            assert str(error) == "McapWriter queue full; dropping cycle"
            refused += 1
        time.sleep(0.0005)  # a control loop's pace, so that a soak's file stays small

    def camera(name):
        def submit():
            hub.submit_jpeg(name, now[0], 4, 3, b"\xff\xd8" + bytes(32))
            frames[name] += 1
            time.sleep(0.002)

        return submit

    def attach():
        writer.attach_image_hub(hub, 0.5, True, hub.current_sequence())
        time.sleep(0.02)

    def observe():
        assert repr(hub) == "ImageHub(native)" and repr(writer) == "McapWriter(async)"
        assert {frame[0] for frame in hub.latest_all()} <= set(frames)
        recorded_so_far = len(accepted)  # read first: numbers are given out before they are noted
        assert writer.current_sequence() >= recorded_so_far

    calls = hammer(
        {"cycles0": write_cycle, "cycles1": write_cycle, "cam0": camera("cam0"), "cam1": camera("cam1")}
        | {"attach": attach, "observe": observe}
    )
    writer.stop()
    recording = read_recording(path)

    cycles = recording.on("/kiv/cycle")
    # Every call holds the GIL throughout, so the file keeps the order the numbers were given in.
    assert [m.sequence for m in cycles] == sorted(accepted)
    assert [m.body["cycle_id"] for m in cycles] == [accepted[m.sequence] for m in cycles]
    images = [m for m in recording.messages if m.topic != "/kiv/cycle"]
    assert {m.topic for m in images} <= {"/kiv/images/cam0", "/kiv/images/cam1"}
    assert len(images) <= sum(frames.values())
    report("McapWriter and ImageHub", {
        "cycles recorded": len(cycles), "refused": refused, "frames submitted": sum(frames.values()),
        "frames recorded": len(images), "re-attachments": calls["attach"],
    })  # fmt: skip
