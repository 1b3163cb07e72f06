"""Hypothesis without deadlines; every test starts from the default error policy.
Under AddressSanitizer a failed operator new aborts instead of throwing: tests
marked `impossible_allocation` are skipped there."""
import ctypes

import pytest
from hypothesis import HealthCheck, settings

import quarvel
from element_path import element_path_child

settings.register_profile("any_machine", deadline=None, suppress_health_check=[HealthCheck.too_slow])
settings.load_profile("any_machine")

UNDER_ADDRESS_SANITIZER = hasattr(ctypes.CDLL(None), "__asan_init")
DEFAULT_CONTEXT = ("warn", "warn", "ignore", "warn", None, ())


@pytest.fixture(autouse=True)
def default_policy():
    token = quarvel._ERROR_CONTEXT.set(DEFAULT_CONTEXT)
    yield
    quarvel._ERROR_CONTEXT.reset(token)


@pytest.fixture(scope="module")
def element_path():
    """The element-at-a-time side of differential tests: a child process per module."""
    yield from element_path_child()


def pytest_configure(config):
    config.addinivalue_line(
        "markers", "impossible_allocation: expects MemoryError from operator new; skipped under AddressSanitizer")


def pytest_collection_modifyitems(config, items):
    if not UNDER_ADDRESS_SANITIZER:
        return
    skip = pytest.mark.skip(reason="AddressSanitizer aborts on a failed operator new instead of throwing")
    for item in items:
        if "impossible_allocation" in item.keywords:
            item.add_marker(skip)
