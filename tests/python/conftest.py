import gc

import pytest


@pytest.fixture(autouse=True)
def _collect_between_tests():
    """Release objects of one test (and their native threads) before the next."""
    yield
    gc.collect()
