import gc

import pytest


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
    import os
    from pathlib import Path

    import kiv_rs

    expected = os.environ.get("KIV_EXPECT_MODULE_DIR")
    if expected and Path(kiv_rs.__file__).parent.resolve() != Path(expected).resolve():
        raise RuntimeError(f"expected kiv_rs from {expected}, imported {kiv_rs.__file__}")
