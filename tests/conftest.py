"""The tests exercise the installed vorlane (`make build`). `python -m pytest`
puts the work tree first on sys.path, where vorlane/ has no built modules."""
import os
import sys

import pytest

_ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path[:] = [p for p in sys.path if os.path.abspath(p or os.curdir) != _ROOT]


def _asan_loaded():
    with open("/proc/self/maps") as maps:
        return any("libasan" in line for line in maps)


def pytest_configure(config):
    config.addinivalue_line(
        "markers",
        "operator_new_fails: makes the native operator new fail. AddressSanitizer's "
        "operator new aborts the process instead of throwing std::bad_alloc, even "
        "with allocator_may_return_null=1, so `make check-asan` skips these.",
    )


def pytest_collection_modifyitems(config, items):
    if not _asan_loaded():
        return
    skip = pytest.mark.skip(reason="AddressSanitizer's operator new cannot throw std::bad_alloc")
    for item in items:
        if item.get_closest_marker("operator_new_fails"):
            item.add_marker(skip)
