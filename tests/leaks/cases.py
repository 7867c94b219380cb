"""Known answers for the leak hunt (tools/leakhunt.py), which `make check-leaks`
runs over this file before the suite: every test_clean_* must pass, and every
test_leak_<kind>_* must be reported for <kind> (references, memory blocks or
file descriptors). Named so that an ordinary pytest run does not collect it."""
import ctypes
import functools
import os

from hypothesis import given, settings
from hypothesis import strategies as st

from vorlane._Quodex import Quodex

_kept = []
_held = object()


def test_clean_store_round_trip():
    store = Quodex(0)
    objs = [object() for _ in range(100)]
    codes = [store.insert(o)[0] for o in objs]
    assert [store.decode(c) for c in codes] == objs
    for o in objs:
        store.remove(o)


@functools.lru_cache(maxsize=None)
def _table():
    return list(range(1000))


def test_clean_cache_filled_by_the_first_run_only():
    assert len(_table()) == 1000


def test_leak_references_without_memory():
    # What a missing Py_DECREF in native code does.
    ctypes.pythonapi.Py_IncRef(ctypes.py_object(_held))


def test_leak_memory_blocks_of_a_growing_list():
    _kept.append(object())


def test_leak_file_descriptors_left_open():
    os.open(os.devnull, os.O_RDONLY)


# Property-based: new examples every run would grow hypothesis's own caches;
# the hunt draws the same ones each run, so only a leak per example shows.
_shapes = st.one_of(st.text(max_size=8), st.tuples(st.integers(), st.floats()),
                    st.lists(st.binary(max_size=4), max_size=3))


@settings(max_examples=100)
@given(value=_shapes)
def test_clean_property_based_store_round_trip(value):
    store = Quodex(0)
    code = store.insert(value)[0]
    assert store.decode(code) is value
    store.remove(value)


@settings(max_examples=100)
@given(value=_shapes)
def test_leak_references_per_example(value):
    ctypes.pythonapi.Py_IncRef(ctypes.py_object(value))
