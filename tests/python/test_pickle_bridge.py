"""The pickle bridge behind both buses: copies, failures, replacement, reentrancy."""

import pickle
import subprocess
import sys
import textwrap
import threading

import pytest

from kiv_rs import ActionBus, ObservationBus

BUSES = [
    pytest.param(lambda: ActionBus(4), "read", id="ActionBus"),
    pytest.param(lambda: ObservationBus(4), "read_latest", id="ObservationBus"),
]


@pytest.mark.parametrize("make, read", BUSES)
@pytest.mark.parametrize("value", [None, [], b"", {"nested": [1.5, (2, 3)]}, "é" * 3])
def test_round_trip_gives_equal_new_object(make, read, value):
    bus = make()
    bus.write(value)
    out = getattr(bus, read)()
    assert out == value and type(out) is type(value)
    if isinstance(value, (list, dict)):
        assert out is not value


@pytest.mark.parametrize("make, read", BUSES)
@pytest.mark.parametrize("unpicklable", [lambda: None, threading.Lock()], ids=["lambda", "lock"])
def test_unpicklable_value_raises_and_leaves_bus_unchanged(make, read, unpicklable):
    bus = make()
    bus.write("kept")
    with pytest.raises((pickle.PicklingError, TypeError, AttributeError)):
        bus.write(unpicklable)
    assert getattr(bus, read)() == "kept"


class _Unloadable:
    def __reduce__(self):
        return (_fail_on_load, ())


def _fail_on_load():
    raise RuntimeError("cannot rebuild")


def test_failed_unpickle_consumes_action_but_not_observation():
    actions = ActionBus(2)
    actions.write(_Unloadable())
    with pytest.raises(RuntimeError, match="cannot rebuild"):
        actions.read()
    assert actions.is_empty()  # the entry was taken out before unpickling

    observations = ObservationBus(2)
    observations.write(1)
    observations.write(_Unloadable())
    with pytest.raises(RuntimeError, match="cannot rebuild"):
        observations.read_window(2)
    assert observations.len() == 2


@pytest.fixture
def patched_pickle(monkeypatch):
    """Lets a test replace pickle.dumps/loads; the bridge looks them up on every call."""
    return lambda name, fn: monkeypatch.setattr(pickle, name, fn)


def test_replaced_dumps_and_loads_take_effect_at_once(patched_pickle):
    bus = ObservationBus(2)
    patched_pickle("dumps", lambda obj: [1, 2, 3])  # a list of small ints is a byte sequence
    patched_pickle("loads", lambda data: ("loaded", data))
    bus.write(object())
    assert bus.read_latest() == ("loaded", b"\x01\x02\x03")


@pytest.mark.parametrize(
    "result, error",
    [("not bytes", TypeError), (12, TypeError), ([1, 256], OverflowError), ([1, "x"], TypeError)],
)
def test_dumps_result_must_be_a_byte_sequence(patched_pickle, result, error):
    bus = ActionBus(1)
    bus.write("before")
    patched_pickle("dumps", lambda obj: result)
    with pytest.raises(error):
        bus.write("after")
    patched_pickle("dumps", pickle.dumps)
    assert bus.read() == "before"


def test_replaced_module_in_sys_modules(monkeypatch):
    class FakePickle:
        @staticmethod
        def dumps(obj):
            return b"fake"

        @staticmethod
        def loads(data):
            return f"fake:{data!r}"

    monkeypatch.setitem(sys.modules, "pickle", FakePickle())
    bus = ActionBus(1)
    bus.write(123)
    assert bus.read() == "fake:b'fake'"


def test_missing_pickle_module_raises_import_error(monkeypatch):
    monkeypatch.setitem(sys.modules, "pickle", None)
    with pytest.raises(ImportError):
        ActionBus(1).write(1)


class _Reentrant:
    """Pickling it reads and writes the very bus being written to."""

    bus = None

    def __reduce__(self):
        _Reentrant.bus.write("inner")
        _Reentrant.bus.read_latest() if isinstance(_Reentrant.bus, ObservationBus) else _Reentrant.bus.read()
        return (str, ("outer",))


@pytest.mark.parametrize("make, read", BUSES)
def test_reduce_calling_back_into_the_same_bus_does_not_deadlock(make, read):
    bus = make()
    _Reentrant.bus = bus
    bus.write(_Reentrant())
    assert getattr(bus, read)() == "outer"


def test_write_racing_the_first_import_of_pickle_waits_for_it(tmp_path):
    # A stand-in pickle whose import pauses halfway: while one thread imports
    # it, another thread's write finds it in sys.modules without `dumps` yet.
    (tmp_path / "pickle.py").write_text(textwrap.dedent(
        """
        import __main__
        __main__.import_started.set()
        __main__.may_finish.wait(10)
        from _pickle import dumps, loads
        """
    ))
    script = textwrap.dedent(
        """
        import sys
        import threading
        import time

        sys.path.insert(0, sys.argv[1])
        import kiv_rs

        assert "pickle" not in sys.modules

        import_started, may_finish = threading.Event(), threading.Event()
        bus = kiv_rs.ObservationBus(4)
        errors = []

        def write(value):
            try:
                bus.write(value)
            except Exception as error:
                errors.append(f"{type(error).__name__}: {error}")

        first = threading.Thread(target=write, args=(1,))
        first.start()
        import_started.wait(10)
        second = threading.Thread(target=write, args=(2,))
        second.start()
        time.sleep(0.2)  # the second write reaches the half-imported module
        may_finish.set()
        first.join(10)
        second.join(10)
        print(errors, sorted(bus.read_window(4)))
        """
    )
    result = subprocess.run([sys.executable, "-c", script, str(tmp_path)], capture_output=True, text=True, timeout=60)
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip() == "[] [1, 2]"
