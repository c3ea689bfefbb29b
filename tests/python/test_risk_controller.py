"""RiskController: windowed grading, the emergency latch, stats, strict bools."""

import pytest
from sanitizers import address_sanitizer_loaded

from kiv_rs import RiskController

U64_MAX = 2**64 - 1


def recorded(controller, times, clamped=False, rejected=False):
    for _ in range(times):
        controller.record(clamped, rejected)
    return controller


def test_documentation():
    assert RiskController.__text_signature__ == "(window_samples, clamp_threshold, reject_threshold)"
    assert RiskController.__doc__ == (
        "Windowed risk aggregation.\n\n"
        "Maintains a sliding window of cycle outcomes and computes risk level:\n"
        "  0 = NORMAL, 1 = ELEVATED, 2 = CRITICAL, 3 = EMERGENCY.\n\n"
        "Constructor: ``RiskController(window_samples, clamp_threshold, reject_threshold)``"
    )
    assert RiskController.record.__text_signature__ == "($self, was_clamped, was_rejected)"
    for name in ["record", "risk_level", "is_emergency", "trigger_emergency", "clear_emergency", "stats"]:
        assert getattr(RiskController, name).__doc__ is None


def test_fresh_stats_keys_order_and_types():
    stats = RiskController(10, 3, 2).stats()
    assert list(stats.items()) == [
        ("window_size", 0),
        ("clamp_count", 0),
        ("reject_count", 0),
        ("clamp_threshold", 3),
        ("reject_threshold", 2),
        ("risk_level", 0),
        ("is_emergency", False),
    ]
    assert [type(v) for v in stats.values()] == [int] * 6 + [bool]


def test_grading_follows_the_sliding_window():
    risk = RiskController(10, 3, 2)
    assert recorded(risk, 2, rejected=True).risk_level() == 1
    assert recorded(risk, 4, rejected=True).risk_level() == 2  # 6 = 3 x reject_threshold
    assert recorded(risk, 10).risk_level() == 0  # the rejects slid out
    assert recorded(risk, 3, clamped=True).risk_level() == 1
    assert recorded(risk, 20, clamped=True).risk_level() == 1  # clamps alone stop at ELEVATED
    stats = risk.stats()
    assert (stats["window_size"], stats["clamp_count"], stats["reject_count"]) == (10, 10, 0)


@pytest.mark.parametrize(
    "thresholds, rejects, level",
    [
        ((3, 0), 0, 2),  # 0 >= 3 x 0 from the start
        ((0, 2), 1, 1),  # a clamp threshold of 0 is reached at once
        ((3, 1), 3, 2),
        ((U64_MAX, U64_MAX // 3 + 1), 2, 0),  # 3 x threshold saturates rather than wrapping to 2
        ((U64_MAX, U64_MAX), 5, 0),
    ],
)
def test_thresholds(thresholds, rejects, level):
    risk = recorded(RiskController(100, *thresholds), rejects, rejected=True)
    assert risk.risk_level() == level
    assert risk.stats()["risk_level"] == level


def test_zero_window_keeps_the_latest_outcome():
    risk = RiskController(0, 1, 1)
    assert risk.stats()["window_size"] == 0
    assert recorded(risk, 1, rejected=True).risk_level() == 1
    assert recorded(risk, 5).risk_level() == 0
    assert risk.stats()["window_size"] == 1


def test_emergency_latch():
    risk = recorded(RiskController(10, 3, 2), 2, rejected=True)
    assert repr(risk) == "RiskController(risk_level=1, emergency=false)"
    risk.trigger_emergency()
    risk.trigger_emergency()
    assert risk.is_emergency() is True
    assert risk.risk_level() == 3
    assert repr(risk) == "RiskController(risk_level=3, emergency=true)"
    recorded(risk, 20)
    assert risk.stats()["is_emergency"] is True  # recording does not clear it
    risk.clear_emergency()
    assert risk.is_emergency() is False
    assert risk.risk_level() == 0


def fake_numpy_bool(type_name, value):
    scalar_type = type(type_name, (), {"__module__": "numpy", "__bool__": lambda self: value})
    return scalar_type()


class NotNumpy:
    __module__ = "numpy_like"

    def __bool__(self):
        return True


def test_numpy_bool_scalars_are_accepted():
    risk = RiskController(10, 1, 1)
    risk.record(fake_numpy_bool("bool_", True), fake_numpy_bool("bool", False))
    assert risk.stats()["clamp_count"] == 1 and risk.stats()["reject_count"] == 0
    try:
        import numpy
    except ImportError:
        return
    risk.record(numpy.False_, numpy.bool_(True))
    assert risk.stats()["reject_count"] == 1


@pytest.mark.parametrize("value, type_name", [(1, "int"), (0.0, "float"), (None, "NoneType"), (NotNumpy(), "NotNumpy")])
def test_record_takes_only_bools(value, type_name):
    risk = RiskController(10, 1, 1)
    message = f"argument 'was_rejected': '{type_name}' object cannot be converted to 'PyBool'"
    with pytest.raises(TypeError) as raised:
        risk.record(True, value)
    assert str(raised.value) == message
    assert risk.stats()["window_size"] == 0  # nothing recorded
    risk.record(was_rejected=False, was_clamped=True)
    assert risk.stats()["clamp_count"] == 1


@pytest.mark.parametrize(
    "args, error, message",
    [
        ((1.5, 1, 1), TypeError, "argument 'window_samples': 'float' object cannot be interpreted as an integer"),
        ((1, -1, 1), OverflowError, None),
        ((1, 1, 2**64), OverflowError, None),
        ((1, 1), TypeError, "RiskController.__new__() missing 1 required positional argument: 'reject_threshold'"),
    ],
)
def test_constructor_argument_errors(args, error, message):
    with pytest.raises(error) as raised:
        RiskController(*args)
    if message is not None:
        assert str(raised.value) == message
    else:
        assert not str(raised.value).startswith("argument")


def test_windows_that_cannot_be_reserved():
    for samples in [2**63, U64_MAX]:
        with pytest.raises(BaseException) as raised:
            RiskController(samples, 1, 1)
        assert type(raised.value).__name__ == "InternalFault" and str(raised.value) == "capacity overflow"
        assert not isinstance(raised.value, Exception)


@pytest.mark.skipif(address_sanitizer_loaded(), reason="ASan's operator new aborts on an impossible size, never throws")
def test_window_beyond_memory_is_memory_error():
    with pytest.raises(MemoryError):
        RiskController(2**63 - 1, 1, 1)
