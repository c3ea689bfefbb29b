"""MetricBus: rolling histories, per-layer cycle sums, snapshots."""

import math

import pytest

from kiv_rs import MetricBus

CLASS_DOC = (
    "Per-guard latency / score metrics store with rolling history.\n\n"
    "Three aggregation tiers:\n"
    "  - Per-guard rolling history (push / push_guard)\n"
    '  - Pipeline-stage timing (push_stage): "source", "policy", "guards", "sink", "total"\n'
    "  - Per-layer guard sums (accumulated via push_guard, committed via commit_cycle)\n\n"
    "Typical call sequence per cycle:\n"
    "  1. push_guard(name, layer, ms)  \u2014 once per guard\n"
    '  2. push_stage("source", ms) \u2026 push_stage("total", ms)\n'
    "  3. commit_cycle()\n"
    "  4. snapshot() \u2192 dict for telemetry broadcast\n\n"
    "Constructor: ``MetricBus()``"
)

METHOD_DOCS = {
    "push": (
        "($self, guard_name, value)",
        "Record a guard latency (ms) without layer info.  Kept for backward compat;\n"
        "prefer ``push_guard`` for new call-sites.",
    ),
    "push_guard": (
        "($self, guard_name, layer, value_ms)",
        "Record a guard latency (ms) and accumulate into the per-layer sum for\n"
        "the current cycle.  ``layer`` is the raw ``GuardLayer`` integer value.",
    ),
    "push_stage": (
        "($self, stage, value_ms)",
        'Record a pipeline-stage latency (ms).\nStage names: ``"source"``, ``"policy"``, ``"guards"``, '
        '``"sink"``, ``"total"``.',
    ),
    "commit_cycle": (
        "($self)",
        "Atomically commit the current cycle's layer accumulators to history and\n"
        "reset them to zero.  Call exactly once per cycle after all push_guard /\n"
        "push_stage calls.",
    ),
    "snapshot": (
        "($self)",
        "Return a point-in-time snapshot of all metrics as a nested dict::\n\n"
        "  {\n"
        '    "stages": {"source": ms, "policy": ms, "guards": ms, "sink": ms, "total": ms},\n'
        '    "layers": {"L0": ms, "L2": ms, ...},   # only layers with data\n'
        '    "guards": {"guard_name": ms, ...},\n'
        "  }",
    ),
    "latest": ("($self, guard_name)", None),
    "mean": ("($self, guard_name)", None),
    "max": ("($self, guard_name)", None),
    "all_latest": ("($self)", None),
    "guard_names": ("($self)", None),
    "clear": ("($self)", None),
}


def test_documentation():
    assert MetricBus.__text_signature__ == "()"
    assert MetricBus.__doc__ == CLASS_DOC
    for name, (signature, doc) in METHOD_DOCS.items():
        method = getattr(MetricBus, name)
        assert (method.__text_signature__, method.__doc__) == (signature, doc), name


def test_fresh_store():
    bus = MetricBus()
    snapshot = bus.snapshot()
    assert snapshot == {"stages": {}, "layers": {}, "guards": {}}
    assert list(snapshot) == ["stages", "layers", "guards"]
    assert bus.all_latest() == {} and bus.guard_names() == []
    assert repr(bus) == "MetricBus(guards=0)"


def test_history_keeps_the_last_64_values():
    bus = MetricBus()
    for value in range(1, 71):
        bus.push("g", float(value))
    assert (bus.mean("g"), bus.max("g"), bus.latest("g")) == (38.5, 70.0, 70.0)
    assert type(bus.mean("g")) is float


@pytest.mark.parametrize("query", ["latest", "mean", "max"])
def test_queries_of_unknown_guards_give_none(query):
    bus = MetricBus()
    bus.push_stage("g", 1.0)  # a stage is not a guard
    assert getattr(bus, query)("g") is None


def test_push_and_push_guard_feed_one_series():
    bus = MetricBus()
    bus.push("g", 5.0)
    bus.push_guard("g", 1, 7.0)
    assert (bus.latest("g"), bus.mean("g")) == (7.0, 6.0)
    bus.commit_cycle()
    assert bus.snapshot()["layers"] == {"L1": 7.0}  # push() adds to no layer


def test_layer_sums_appear_only_when_committed():
    bus = MetricBus()
    bus.push_guard("a", 0, 1.5)
    bus.push_guard("b", 0, 2.0)
    bus.push_guard("c", 2, 3.0)
    assert bus.snapshot()["layers"] == {}
    bus.commit_cycle()
    assert bus.snapshot()["layers"] == {"L0": 3.5, "L2": 3.0}
    bus.push_guard("a", 0, 9.0)  # pending until the next commit
    assert bus.snapshot()["layers"] == {"L0": 3.5, "L2": 3.0}
    bus.commit_cycle()
    bus.commit_cycle()  # a cycle without pushes commits 0.0 for every known layer
    assert bus.snapshot()["layers"] == {"L0": 0.0, "L2": 0.0}


@pytest.mark.parametrize("layer, key", [(4, "L4"), (12, "L12"), (255, "L255"), (True, "L1")])
def test_any_layer_up_to_255(layer, key):
    bus = MetricBus()
    bus.push_guard("a", layer, 1.0)
    bus.commit_cycle()
    assert bus.snapshot()["layers"] == {key: 1.0}


def test_stages_take_any_name_and_keep_the_latest():
    bus = MetricBus()
    for stage, value in [("source", 0.5), ("warmup", 1.0), ("source", 0.75)]:
        bus.push_stage(stage, value)
    bus.push_guard("limits", 0, 0.25)
    assert bus.snapshot() == {"stages": {"source": 0.75, "warmup": 1.0}, "layers": {}, "guards": {"limits": 0.25}}


def test_listings():
    bus = MetricBus()
    bus.push_guard("limits", 0, 0.25)
    bus.push("legacy", 2)
    bus.push("caf\u00e9", 1.0)
    bus.push("cafe\u0301", 3.0)  # the same text decomposed: another name, byte for byte
    assert bus.all_latest() == {"limits": 0.25, "legacy": 2.0, "caf\u00e9": 1.0, "cafe\u0301": 3.0}
    assert sorted(bus.guard_names()) == sorted(["limits", "legacy", "caf\u00e9", "cafe\u0301"])
    assert repr(bus) == "MetricBus(guards=4)"


def test_results_are_fresh_objects():
    bus = MetricBus()
    bus.push_stage("total", 1.0)
    first = bus.snapshot()
    first["stages"]["total"] = 99.0
    assert bus.snapshot()["stages"] == {"total": 1.0}
    assert bus.all_latest() is not bus.all_latest()


def test_nan_values():
    bus = MetricBus()
    bus.push("nan", math.nan)
    bus.push("nan", math.nan)
    assert bus.max("nan") == -math.inf
    assert math.isnan(bus.latest("nan"))
    bus.push("mixed", 1.0)
    bus.push("mixed", math.nan)
    bus.push("mixed", 3.0)
    assert math.isnan(bus.mean("mixed"))
    assert bus.max("mixed") == 3.0


def test_clear_returns_to_a_fresh_store():
    bus = MetricBus()
    bus.push_guard("a", 1, 1.0)
    bus.push_stage("total", 2.0)
    bus.commit_cycle()
    bus.push_guard("a", 1, 5.0)
    bus.clear()
    assert bus.snapshot() == {"stages": {}, "layers": {}, "guards": {}}
    assert bus.latest("a") is None and bus.guard_names() == [] and repr(bus) == "MetricBus(guards=0)"
    bus.commit_cycle()  # no layer is known any more
    assert bus.snapshot()["layers"] == {}


class Floaty:
    def __float__(self):
        return 2.5


def test_values_take_anything_float_accepts():
    bus = MetricBus()
    bus.push("g", 3)
    bus.push_guard("g", 0, Floaty())
    bus.push_stage(stage="s", value_ms=True)
    assert bus.all_latest() == {"g": 2.5}
    assert bus.snapshot()["stages"] == {"s": 1.0}


@pytest.mark.parametrize(
    "call, error, message",
    [
        (lambda b: b.push_guard("a", 256, 1.0), OverflowError, "out of range integral type conversion attempted"),
        (lambda b: b.push_guard("a", -1, 1.0), OverflowError, "out of range integral type conversion attempted"),
        (
            lambda b: b.push_guard("a", 1.0, 1.0),
            TypeError,
            "argument 'layer': 'float' object cannot be interpreted as an integer",
        ),
        (lambda b: b.push(1, 1.0), TypeError, "argument 'guard_name': 'int' object cannot be converted to 'PyString'"),
        (lambda b: b.push_stage("s", "1.0"), TypeError, "argument 'value_ms': must be real number, not str"),
        (lambda b: b.latest(b"g"), TypeError, "argument 'guard_name': 'bytes' object cannot be converted to 'PyString'"),
        (
            lambda b: b.push_guard("a", 1),
            TypeError,
            "MetricBus.push_guard() missing 1 required positional argument: 'value_ms'",
        ),
    ],
)
def test_argument_errors(call, error, message):
    bus = MetricBus()
    with pytest.raises(error) as raised:
        call(bus)
    assert type(raised.value) is error and str(raised.value) == message
    assert bus.snapshot() == {"stages": {}, "layers": {}, "guards": {}}  # nothing recorded


def test_unencodable_names_raise_unicode_error():
    with pytest.raises(UnicodeEncodeError):
        MetricBus().push("\ud800", 1.0)
