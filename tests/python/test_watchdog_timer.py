"""WatchdogTimer: deadline conversion, expiry, the latch, watcher threads."""

import math
import subprocess
import sys
import textwrap
import time

import pytest

from kiv_rs import WatchdogTimer
from polling import eventually, watcher_threads


@pytest.fixture
def no_watchers():
    assert eventually(lambda: watcher_threads() == 0), "watchers of earlier tests still running"


# ---- Python face -----------------------------------------------------------

METHOD_DOCS = {
    "arm": "Arm (or re-arm) the watchdog.  Clears any previous emergency flag.",
    "ping": "Reset the deadline timer.  Must be called once per control cycle.",
    "disarm": "Disarm without triggering emergency.",
    "is_emergency": "True if the deadline was exceeded since the last arm()/clear_emergency().",
    "clear_emergency": "Clear the emergency flag (after a safe stop has been performed).",
    "elapsed_since_ping_ms": "Milliseconds elapsed since the last ping (for diagnostics).",
}


def test_documentation():
    assert WatchdogTimer.__text_signature__ == "(deadline_ms)"
    assert WatchdogTimer.__doc__ == (
        "Deadline watchdog running on a dedicated OS thread (outside the Python GIL).\n\n"
        "If ``ping()`` is not called within ``deadline_ms`` after ``arm()``, the\n"
        "emergency flag is set atomically.  The Python control loop must call\n"
        "``ping()`` once per cycle and check ``is_emergency()`` after ``step()``.\n\n"
        "Constructor: ``WatchdogTimer(deadline_ms: float)``"
    )
    for name, doc in METHOD_DOCS.items():
        method = getattr(WatchdogTimer, name)
        assert method.__doc__ == doc
        assert method.__text_signature__ == "($self)"
    assert WatchdogTimer.deadline_ms.__doc__ == "Configured deadline in milliseconds."


class Floaty:
    def __float__(self):
        return 7.25


class Indexy:
    def __index__(self):
        return 9


@pytest.mark.parametrize(
    "given, stored",
    [(33.3, 33.3), (20, 20.0), (True, 1.0), (Floaty(), 7.25), (Indexy(), 9.0), (-0.0, -0.0), (math.inf, math.inf)],
)
def test_deadline_is_stored_unchanged(given, stored):
    deadline = WatchdogTimer(given).deadline_ms
    assert type(deadline) is float
    assert deadline == stored and math.copysign(1, deadline) == math.copysign(1, stored)


def test_deadline_is_read_only_and_nan_kept():
    timer = WatchdogTimer(math.nan)
    assert math.isnan(timer.deadline_ms)
    with pytest.raises(AttributeError):
        timer.deadline_ms = 5.0


def test_argument_errors():
    with pytest.raises(TypeError, match=r"^argument 'deadline_ms': must be real number"):
        WatchdogTimer("fast")
    with pytest.raises(TypeError, match=r"missing 1 required positional argument: 'deadline_ms'"):
        WatchdogTimer()
    assert WatchdogTimer(deadline_ms=5).deadline_ms == 5.0
    with pytest.raises(TypeError):
        WatchdogTimer(5).ping(1)


@pytest.mark.parametrize(
    "deadline, text",
    [
        (100.0, "100"),
        (2.5, "2.5"),
        (0.0001, "0.0001"),
        (1e21, "1000000000000000000000"),
        (math.nan, "NaN"),
        (math.inf, "inf"),
        (-math.inf, "-inf"),
        (-0.0, "-0"),
        (33.3, "33.3"),
    ],
)
def test_repr_spells_the_deadline_plainly(deadline, text):
    assert repr(WatchdogTimer(deadline)) == f"WatchdogTimer(deadline_ms={text}, emergency=false)"


# ---- Behaviour over time ---------------------------------------------------


@pytest.mark.parametrize("deadline", [0, 0.0004, -5.0, math.nan])
def test_degenerate_deadlines_expire_at_the_first_poll(deadline):
    timer = WatchdogTimer(deadline)
    timer.arm()
    assert eventually(timer.is_emergency)
    timer.ping()
    assert timer.is_emergency()  # a ping does not clear the latch
    assert repr(timer).endswith("emergency=true)")


def test_expiry_comes_after_the_deadline_never_before():
    timer = WatchdogTimer(40.0)
    timer.arm()
    pinged = time.monotonic()
    timer.ping()
    assert eventually(timer.is_emergency)
    assert time.monotonic() - pinged >= 0.040


def test_regular_pings_hold_off_expiry():
    timer = WatchdogTimer(250.0)
    timer.arm()
    until = time.monotonic() + 0.4
    while time.monotonic() < until:
        timer.ping()
        time.sleep(0.002)
    assert not timer.is_emergency()


@pytest.mark.parametrize("deadline", [1e300, math.inf])
def test_huge_deadlines_never_expire(deadline):
    timer = WatchdogTimer(deadline)
    timer.arm()
    time.sleep(0.03)
    assert not timer.is_emergency()


def test_clear_emergency_leaves_it_unarmed_until_arm():
    timer = WatchdogTimer(0)
    timer.arm()
    assert eventually(timer.is_emergency)
    timer.clear_emergency()
    assert not timer.is_emergency()
    time.sleep(0.02)  # a zero deadline would have fired again had it stayed armed
    assert not timer.is_emergency()
    timer.arm()
    assert eventually(timer.is_emergency)


def test_disarm_prevents_expiry():
    for _ in range(10):
        timer = WatchdogTimer(0)
        timer.arm()
        time.sleep(0.0003)  # let the watcher reach its first sleep
        timer.disarm()
        raised_before = timer.is_emergency()
        time.sleep(0.005)
        assert timer.is_emergency() == raised_before  # nothing is raised after disarm()
    timer = WatchdogTimer(10.0)
    timer.arm()
    timer.disarm()
    time.sleep(0.05)
    assert not timer.is_emergency()


def test_arm_twice_still_expires_once_pings_stop():
    timer = WatchdogTimer(200.0)  # long enough that a descheduled test thread cannot miss it
    timer.arm()
    timer.arm()
    assert not timer.is_emergency()
    assert eventually(timer.is_emergency)
    timer.arm()  # re-arming clears the latch
    assert not timer.is_emergency()


def test_elapsed_since_ping():
    timer = WatchdogTimer(100.0)
    assert timer.elapsed_since_ping_ms() >= 0.0
    time.sleep(0.02)
    before_ping = timer.elapsed_since_ping_ms()
    assert before_ping >= 20.0
    timer.ping()
    assert 0.0 <= timer.elapsed_since_ping_ms() < before_ping


# ---- Watcher threads -------------------------------------------------------


def test_rearming_leaves_one_watcher_and_release_ends_it(no_watchers):
    timer = WatchdogTimer(math.inf)
    for _ in range(5):
        timer.arm()
    assert eventually(lambda: watcher_threads() == 1)  # earlier armings' watchers end
    del timer
    assert eventually(lambda: watcher_threads() == 0)  # released: disarmed, even never expiring


def test_expired_and_unarmed_objects_leave_no_thread(no_watchers):
    timer = WatchdogTimer(0)
    timer.arm()
    assert eventually(timer.is_emergency)
    assert eventually(lambda: watcher_threads() == 0)
    WatchdogTimer(50.0)  # never armed
    assert watcher_threads() == 0


def test_refused_thread_start_is_an_internal_fault():
    # Too little address space left for a thread stack: the OS refuses it.
    script = textwrap.dedent(
        """
        import resource
        import kiv_rs

        timer = kiv_rs.WatchdogTimer(float("inf"))
        vm_size = next(int(line.split()[1]) * 1024 for line in open("/proc/self/status")
                       if line.startswith("VmSize"))
        resource.setrlimit(resource.RLIMIT_AS, (vm_size + (4 << 20), resource.RLIM_INFINITY))
        try:
            timer.arm()
        except BaseException as error:
            print(type(error).__name__, issubclass(type(error), Exception), error)
        print(timer.is_emergency())
        """
    )
    result = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=60)
    assert result.returncode == 0, result.stderr
    fault, emergency = result.stdout.splitlines()
    assert fault == "InternalFault False failed to spawn watchdog thread: Resource temporarily unavailable"
    assert emergency == "False"

