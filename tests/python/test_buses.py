"""ActionBus and ObservationBus: hand-over semantics, reprs, docstrings, capacities."""

import threading

import pytest

import kiv_rs
from kiv_rs import ActionBus, ObservationBus


class TestActionBus:
    @pytest.mark.parametrize("capacity", [0, 1])
    def test_capacity_one_is_latest_wins(self, capacity):
        bus = ActionBus(capacity)
        bus.write({"a": 1})
        bus.write({"b": 2})
        assert bus.read() == {"b": 2}
        assert bus.read() is None
        assert bus.is_empty()

    def test_larger_capacity_is_fifo_dropping_oldest(self):
        bus = ActionBus(3)
        for value in range(1, 6):
            bus.write(value)
        assert [bus.read() for _ in range(4)] == [3, 4, 5, None]

    def test_stored_none_is_an_entry(self):
        bus = ActionBus(1)
        bus.write(None)
        assert not bus.is_empty()
        assert bus.read() is None
        assert bus.is_empty()

    def test_repr(self):
        bus = ActionBus(1)
        assert repr(bus) == "ActionBus(empty=true)"
        bus.write(1)
        assert repr(bus) == "ActionBus(empty=false)"

    def test_docstrings(self):
        assert ActionBus.__doc__ == (
            "SPSC queue for validated actions (latest-wins with capacity=1).\n\nConstructor: ``ActionBus(capacity: int)``"
        )
        for name in ["write", "read", "is_empty"]:
            assert getattr(ActionBus, name).__doc__ is None
        assert ActionBus.write.__text_signature__ == "($self, data)"


class TestObservationBus:
    def test_window_reads(self):
        bus = ObservationBus(3)
        for value in range(1, 6):
            bus.write(value)
        assert bus.read_window(10) == [3, 4, 5]
        assert bus.read_window(2) == [4, 5]
        assert bus.read_window(0) == []
        assert bus.read_window(n=1) == [5]
        assert bus.read_latest() == 5
        assert bus.len() == len(bus) == 3
        assert bus.capacity == 3
        assert repr(bus) == "ObservationBus(len=3/3)"

    def test_new_bus(self):
        bus = ObservationBus(3)
        assert bus.read_latest() is None
        assert bus.read_window(5) == []
        assert bus.is_empty()
        assert not bus
        assert repr(bus) == "ObservationBus(len=0/3)"
        bus.write(0)
        assert bus

    def test_zero_capacity_keeps_newest(self):
        bus = ObservationBus(0)
        bus.write("first")
        bus.write("second")
        assert bus.len() == 1
        assert bus.read_latest() == "second"
        assert bus.capacity == 0
        assert repr(bus) == "ObservationBus(len=1/0)"

    def test_reads_copy_and_keep(self):
        bus = ObservationBus(2)
        value = {"joints": [0.1, 0.2]}
        bus.write(value)
        value["joints"].append(9.9)  # mutation after the write is not seen
        first, second = bus.read_latest(), bus.read_latest()
        assert first == second == {"joints": [0.1, 0.2]}
        assert first is not second
        assert bus.len() == 1

    def test_capacity_is_read_only(self):
        bus = ObservationBus(3)
        with pytest.raises(AttributeError):
            bus.capacity = 5

    def test_argument_errors(self):
        bus = ObservationBus(3)
        with pytest.raises(OverflowError):
            bus.read_window(-1)
        with pytest.raises(TypeError, match=r"^argument 'n': 'float' object cannot be interpreted as an integer$"):
            bus.read_window(1.0)

    def test_docstrings(self):
        assert ObservationBus.__doc__.startswith("Bounded ring buffer for sensor observations.\n\n")
        assert ObservationBus.__doc__.endswith("Constructor: ``ObservationBus(capacity: int)``")
        assert ObservationBus.read_window.__doc__ == (
            "Return the last ``n`` observations in chronological order (oldest first)."
        )
        assert ObservationBus.len.__doc__ is None
        assert ObservationBus.capacity.__doc__ is None

    def test_concurrent_writers_and_readers(self):
        bus = ObservationBus(16)
        errors = []

        def writer(base):
            for i in range(2000):
                bus.write((base, i))

        def reader():
            for _ in range(2000):
                window = bus.read_window(16)
                if len(window) > 16 or any(not isinstance(item, tuple) for item in window):
                    errors.append(window)

        threads = [threading.Thread(target=writer, args=(b,)) for b in range(3)]
        threads += [threading.Thread(target=reader) for _ in range(2)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        assert errors == []
        assert bus.len() == 16


@pytest.mark.parametrize("cls", [ActionBus, ObservationBus])
def test_unreservable_capacity_raises_memory_error(cls):
    with pytest.raises(MemoryError):
        cls(2**62)
    with pytest.raises(MemoryError):
        cls(2**64 - 1)


@pytest.mark.parametrize("cls", [ActionBus, ObservationBus])
def test_capacity_argument_kinds(cls):
    name = cls.__name__
    with pytest.raises(TypeError, match=rf"^{name}\.__new__\(\) missing 1 required positional argument: 'capacity'$"):
        cls()
    with pytest.raises(TypeError, match=rf"^argument 'capacity': 'float' object cannot be interpreted as an integer$"):
        cls(1.5)
    with pytest.raises(OverflowError) as info:
        cls(-1)
    assert "argument" not in str(info.value)
    assert cls(True) is not None  # bool counts as int
    assert cls(capacity=2) is not None


def test_module_exposes_buses():
    assert {"ActionBus", "ObservationBus"} <= set(kiv_rs.__all__)
