import gc
import os

import pytest

HAMMER_FIGURES = pytest.StashKey[list]()
STDERR_COPY = pytest.StashKey[int]()


def pytest_configure(config):
    # Made while output is not captured: where the stack dump of a stuck run
    # must go, since the process ends before pytest could show captured output.
    config.stash[STDERR_COPY] = os.dup(2)


@pytest.fixture
def real_stderr(request):
    """A file descriptor of the session's real stderr, past pytest's capturing."""
    return request.config.stash[STDERR_COPY]


@pytest.fixture(autouse=True)
def _collect_between_tests():
    """Release objects of one test (and their native threads) before the next."""
    yield
    gc.collect()


def pytest_report_header(config):
    import kiv_rs

    return f"kiv_rs {kiv_rs.__version__} from {kiv_rs.__file__}"


def pytest_sessionstart(session):
    """A run meant for a particular build must not silently test another one."""
    from pathlib import Path

    import kiv_rs

    expected = os.environ.get("KIV_EXPECT_MODULE_DIR")
    if expected and Path(kiv_rs.__file__).parent.resolve() != Path(expected).resolve():
        raise RuntimeError(f"expected kiv_rs from {expected}, imported {kiv_rs.__file__}")


@pytest.fixture
def hammer_figures(request):
    """Lines for the session summary: the operations that concurrency tests did per object."""
    return request.config.stash.setdefault(HAMMER_FIGURES, [])


def pytest_terminal_summary(terminalreporter, config):
    figures = config.stash.get(HAMMER_FIGURES, [])
    if figures:
        terminalreporter.section("operations per object under concurrent use")
        for line in figures:
            terminalreporter.write_line(line)
