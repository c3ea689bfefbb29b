"""Stateful property tests: each native object against a small Python model of its documented behaviour."""

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


MODEL_SETTINGS = settings(max_examples=60, stateful_step_count=40, deadline=None)
TestActionBusModel = ActionBusModel.TestCase
TestActionBusModel.settings = MODEL_SETTINGS
TestObservationBusModel = ObservationBusModel.TestCase
TestObservationBusModel.settings = MODEL_SETTINGS
