"""Module frame: attributes, class shape, import rules, exported symbols."""

import inspect
import subprocess
import sys
from pathlib import Path

import pytest

import kiv_rs

CLASSES_IN_ORDER = [
    name
    for name in [
        "ObservationBus",
        "WatchdogTimer",
        "RiskController",
        "MetricBus",
        "ActionBus",
        "ImageWriter",
        "ImageHub",
        "McapWriter",
        "SerializerBus",
    ]
    if hasattr(kiv_rs, name)
]


def test_module_attributes():
    assert kiv_rs.__version__ == "0.7.0"
    assert kiv_rs.__all__ == ["__version__", *CLASSES_IN_ORDER]
    assert kiv_rs.__doc__ == ""


@pytest.mark.parametrize("name", CLASSES_IN_ORDER)
def test_class_shape(name):
    cls = getattr(kiv_rs, name)
    assert cls.__module__ == "builtins"
    assert cls.__name__ == cls.__qualname__ == name
    assert repr(cls) == f"<class 'builtins.{name}'>"
    with pytest.raises(TypeError):
        type("Sub", (cls,), {})
    assert cls.__text_signature__.startswith("(")
    assert "__dict__" not in dir(cls) and "__weakref__" not in dir(cls)


def test_instances_take_no_attributes_and_are_not_gc_tracked():
    import gc

    bus = kiv_rs.ActionBus(1)
    with pytest.raises(AttributeError):
        bus.anything = 1
    assert not gc.is_tracked(bus)
    assert str(bus) == repr(bus)
    assert bus != kiv_rs.ActionBus(1) and bus == bus


def test_signatures():
    assert str(inspect.signature(kiv_rs.ActionBus)) == "(capacity)"
    assert str(inspect.signature(kiv_rs.ActionBus.write)) == "(self, /, data)"
    assert kiv_rs.ActionBus.write.__doc__ is None


def test_reimport_gives_same_module():
    sys.modules.pop("kiv_rs")
    import kiv_rs as again

    assert again is kiv_rs


def test_subinterpreter_import_is_refused():
    interpreters = pytest.importorskip("_xxsubinterpreters")
    interp = interpreters.create()
    try:
        code = "import kiv_rs"
        with pytest.raises(Exception, match="sub-interpreters are not supported"):
            interpreters.run_string(interp, code)
    finally:
        interpreters.destroy(interp)


def test_exports_only_the_init_function():
    so = Path(kiv_rs.__file__)
    assert so.name == "kiv_rs.abi3.so"
    out = subprocess.run(["nm", "-D", "--defined-only", str(so)], capture_output=True, text=True, check=True)
    symbols = [line.split()[-1] for line in out.stdout.splitlines() if line.strip()]
    assert symbols == ["PyInit_kiv_rs"]
