"""Stateful property tests: each native object against a small Python model of its documented behaviour."""

import math
from collections import deque

from hypothesis import settings
from hypothesis import strategies as st
from hypothesis.stateful import RuleBasedStateMachine, initialize, invariant, rule

import kiv_rs

values = st.one_of(st.none(), st.integers(), st.text(max_size=8), st.lists(st.floats(allow_nan=False), max_size=4))
capacities = st.integers(min_value=0, max_value=6)


class ActionBusModel(RuleBasedStateMachine):
    @initialize(capacity=capacities)
    def create(self, capacity):
        self.bus = kiv_rs.ActionBus(capacity)
        self.model = deque(maxlen=max(capacity, 1))

    @rule(value=values)
    def write(self, value):
        self.bus.write(value)
        self.model.append(value)

    @rule()
    def read(self):
        expected = self.model.popleft() if self.model else None
        assert self.bus.read() == expected

    @invariant()
    def emptiness_agrees(self):
        if hasattr(self, "bus"):
            assert self.bus.is_empty() == (not self.model)
            assert repr(self.bus) == f"ActionBus(empty={'true' if not self.model else 'false'})"


class ObservationBusModel(RuleBasedStateMachine):
    @initialize(capacity=capacities)
    def create(self, capacity):
        self.capacity = capacity
        self.bus = kiv_rs.ObservationBus(capacity)
        self.model = deque(maxlen=max(capacity, 1))

    @rule(value=values)
    def write(self, value):
        self.bus.write(value)
        self.model.append(value)

    @rule(n=st.integers(min_value=0, max_value=10))
    def read_window(self, n):
        assert self.bus.read_window(n) == list(self.model)[max(0, len(self.model) - n):]

    @rule()
    def read_latest(self):
        assert self.bus.read_latest() == (self.model[-1] if self.model else None)

    @invariant()
    def length_agrees(self):
        if hasattr(self, "bus"):
            assert len(self.bus) == self.bus.len() == len(self.model)
            assert self.bus.capacity == self.capacity


def same_float(actual, expected):
    """Equal as IEEE values go: NaN matches NaN, and the sign of a zero counts."""
    if type(actual) is not float:
        return False
    if math.isnan(expected):
        return math.isnan(actual)
    return actual == expected and math.copysign(1, actual) == math.copysign(1, expected)


HISTORY_LENGTH = 64
# A few names and layers that recur, so that sequences revisit series; texts
# that differ only by normalisation or a NUL are distinct names.
names = st.one_of(st.sampled_from(["a", "b", "caf\u00e9", "cafe\u0301", "a\0b", ""]), st.text(max_size=3))
layers = st.one_of(st.sampled_from([0, 1, 4]), st.integers(min_value=0, max_value=255))
latencies = st.one_of(st.floats(), st.sampled_from([0.0, -0.0, 1.5, math.nan, math.inf, -math.inf, 1e308]))


class MetricBusModel(RuleBasedStateMachine):
    def __init__(self):
        super().__init__()
        self.bus = kiv_rs.MetricBus()
        self.reset_model()

    def reset_model(self):
        self.guards = {}  # name -> deque of the most recent values
        self.stages = {}  # name -> latest value
        self.pending = {}  # layer -> sum since the last commit
        self.committed = {}  # layer -> most recent committed sum

    def record_guard(self, name, value):
        self.guards.setdefault(name, deque(maxlen=HISTORY_LENGTH)).append(value)

    @rule(name=names, value=latencies)
    def push(self, name, value):
        self.bus.push(name, value)
        self.record_guard(name, value)

    @rule(name=names, layer=layers, value=latencies)
    def push_guard(self, name, layer, value):
        self.bus.push_guard(name, layer, value)
        self.record_guard(name, value)
        self.pending[layer] = self.pending.get(layer, 0.0) + value

    @rule(name=names, first=latencies, count=st.integers(min_value=1, max_value=2 * HISTORY_LENGTH))
    def push_run(self, name, first, count):
        """Enough values at once for the history to wrap."""
        for step in range(count):
            self.bus.push(name, first + step)
            self.record_guard(name, first + step)

    @rule(name=names, value=latencies)
    def push_stage(self, name, value):
        self.bus.push_stage(name, value)
        self.stages[name] = value

    @rule()
    def commit_cycle(self):
        self.bus.commit_cycle()
        self.committed.update(self.pending)
        self.pending = dict.fromkeys(self.pending, 0.0)

    @rule()
    def clear(self):
        self.bus.clear()
        self.reset_model()

    @rule(name=names)
    def query_unknown(self, name):
        if name not in self.guards:
            assert (self.bus.latest(name), self.bus.mean(name), self.bus.max(name)) == (None, None, None)

    @invariant()
    def series_agree(self):
        for name, history in self.guards.items():
            total = -0.0
            for value in history:  # oldest first, one at a time: sum() may compensate
                total += value
            largest = -math.inf
            for value in history:
                if value > largest:  # a NaN never wins
                    largest = value
            assert same_float(self.bus.latest(name), history[-1])
            assert same_float(self.bus.mean(name), total / len(history))
            assert same_float(self.bus.max(name), largest)

    @invariant()
    def listings_agree(self):
        assert sorted(self.bus.guard_names()) == sorted(self.guards)
        latest = self.bus.all_latest()
        assert latest.keys() == self.guards.keys()
        assert all(same_float(latest[name], history[-1]) for name, history in self.guards.items())
        assert repr(self.bus) == f"MetricBus(guards={len(self.guards)})"

    @invariant()
    def snapshot_agrees(self):
        snapshot = self.bus.snapshot()
        assert list(snapshot) == ["stages", "layers", "guards"]
        expected = {
            "stages": self.stages,
            "layers": {f"L{layer}": total for layer, total in self.committed.items()},
            "guards": {name: history[-1] for name, history in self.guards.items()},
        }
        for part, values in expected.items():
            assert snapshot[part].keys() == values.keys(), part
            assert all(same_float(snapshot[part][key], value) for key, value in values.items()), part


U64_MAX = 2**64 - 1
# Small thresholds and window lengths make every level reachable; the large
# thresholds sit where 3 x threshold would wrap to a small number.
thresholds = st.one_of(
    st.integers(min_value=0, max_value=6),
    st.sampled_from([U64_MAX // 3, U64_MAX // 3 + 1, U64_MAX // 3 + 2, 2**63, U64_MAX]),
)
STATS_KEYS = ["window_size", "clamp_count", "reject_count", "clamp_threshold", "reject_threshold", "risk_level",
              "is_emergency"]


class RiskControllerModel(RuleBasedStateMachine):
    @initialize(window_samples=st.integers(min_value=0, max_value=8), clamp_threshold=thresholds,
                reject_threshold=thresholds)
    def create(self, window_samples, clamp_threshold, reject_threshold):
        self.risk = kiv_rs.RiskController(window_samples, clamp_threshold, reject_threshold)
        self.thresholds = (clamp_threshold, reject_threshold)
        self.outcomes = deque(maxlen=max(window_samples, 1))  # (clamped, rejected)
        self.emergency = False

    @rule(clamped=st.booleans(), rejected=st.booleans())
    def record(self, clamped, rejected):
        self.risk.record(clamped, rejected)
        self.outcomes.append((clamped, rejected))

    @rule(clamped=st.booleans(), rejected=st.booleans(), count=st.integers(min_value=1, max_value=10))
    def record_run(self, clamped, rejected, count):
        for _ in range(count):
            self.record(clamped, rejected)

    @rule()
    def trigger_emergency(self):
        self.risk.trigger_emergency()
        self.emergency = True

    @rule()
    def clear_emergency(self):
        self.risk.clear_emergency()
        self.emergency = False

    def counts(self):
        return sum(clamped for clamped, _ in self.outcomes), sum(rejected for _, rejected in self.outcomes)

    def expected_level(self):
        clamp_threshold, reject_threshold = self.thresholds
        clamps, rejects = self.counts()
        if self.emergency:
            return 3
        if rejects >= min(3 * reject_threshold, U64_MAX):
            return 2
        return 1 if rejects >= reject_threshold or clamps >= clamp_threshold else 0

    @invariant()
    def grading_agrees(self):
        if not hasattr(self, "risk"):
            return
        level = self.expected_level()
        assert self.risk.risk_level() == level
        assert self.risk.is_emergency() is self.emergency
        assert repr(self.risk) == f"RiskController(risk_level={level}, emergency={str(self.emergency).lower()})"
        stats = self.risk.stats()
        assert list(stats) == STATS_KEYS
        assert [type(value) for value in stats.values()] == [int] * 6 + [bool]
        assert list(stats.values()) == [len(self.outcomes), *self.counts(), *self.thresholds, level, self.emergency]


MODEL_SETTINGS = settings(max_examples=60, stateful_step_count=40, deadline=None)
TestActionBusModel = ActionBusModel.TestCase
TestActionBusModel.settings = MODEL_SETTINGS
TestObservationBusModel = ObservationBusModel.TestCase
TestObservationBusModel.settings = MODEL_SETTINGS
TestMetricBusModel = MetricBusModel.TestCase
TestMetricBusModel.settings = MODEL_SETTINGS
TestRiskControllerModel = RiskControllerModel.TestCase
TestRiskControllerModel.settings = MODEL_SETTINGS
