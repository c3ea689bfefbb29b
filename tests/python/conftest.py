import gc
import os

import pytest

FIGURES = pytest.StashKey[dict]()  # section title -> lines
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


def session_figures(config, section: str) -> list:
    """Lines for the session summary under `section`: what a test tried, and how much."""
    return config.stash.setdefault(FIGURES, {}).setdefault(section, [])


@pytest.fixture(scope="session")
def figures(pytestconfig):
    """``figures(section)``: the session summary's list of lines under that section."""
    return lambda section: session_figures(pytestconfig, section)


@pytest.fixture
def hammer_figures(request):
    """Lines for the session summary: the operations that concurrency tests did per object."""
    return session_figures(request.config, "operations per object under concurrent use")


def pytest_terminal_summary(terminalreporter, config):
    for section, lines in config.stash.get(FIGURES, {}).items():
        terminalreporter.section(section)
        for line in lines:
            terminalreporter.write_line(line)
