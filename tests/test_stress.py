"""Thread stress: the comparison kernels over 10^6 cells, repeatedly, while
other Python threads allocate and run: driven by eight GraphBLAS threads that
take the lock cell by cell (`A.emult(B, op)`), and on the one thread that
holds it throughout (`op(A, B)` on this lock-bound column). Results must match
Python's, thread states may only be kept by GraphBLAS's own worker threads,
and the operands' reference counts must be what they were."""
import sys
import threading

import numpy as np
import pytest
from pygraphblas import Matrix, types
from suitesparse_graphblas import ffi as gffi
from suitesparse_graphblas import lib as grb

from vorlane import _Compare, ops
from vorlane._Quodex import Quodex

CELLS = 10**6
ROUNDS = 3


@pytest.fixture
def many_threads():
    saved_n, saved_chunk = gffi.new("int*"), gffi.new("double*")
    grb.GxB_Global_Option_get(grb.GxB_NTHREADS, saved_n)
    grb.GxB_Global_Option_get(grb.GxB_CHUNK, saved_chunk)
    grb.GxB_Global_Option_set(grb.GxB_NTHREADS, gffi.cast("int", 8))
    grb.GxB_Global_Option_set(grb.GxB_CHUNK, gffi.cast("double", 1024.0))
    yield 8
    grb.GxB_Global_Option_set(grb.GxB_NTHREADS, gffi.cast("int", saved_n[0]))
    grb.GxB_Global_Option_set(grb.GxB_CHUNK, gffi.cast("double", saved_chunk[0]))


def test_comparisons_under_eight_threads_and_busy_python_threads(many_threads, thread_state_count):
    rng = np.random.default_rng(11)
    # A small pool of shared objects so that reference counts are checkable,
    # mixed so that some comparisons raise (str against int).
    pool = ["alpha", "beta", "gamma", "delta", 700007, 3.5, float("nan"), ("t", 1)]
    store = Quodex(0)
    pool_codes = store.insert_many_numpy(np.array(pool, dtype=object))
    left = rng.integers(0, len(pool), CELLS)
    right = rng.integers(0, len(pool), CELLS)
    rows = np.arange(CELLS, dtype=np.int64)
    A = Matrix.from_lists(rows.tolist(), [0] * CELLS, pool_codes[left].tolist(), CELLS, 1, typ=types.INT64)
    B = Matrix.from_lists(rows.tolist(), [0] * CELLS, pool_codes[right].tolist(), CELLS, 1, typ=types.INT64)

    def python_lt(a, b):
        try:
            return a < b
        except TypeError:
            return False

    table_eq = np.array([[a is b or a == b for b in pool] for a in pool])
    table_lt = np.array([[python_lt(a, b) for b in pool] for a in pool])
    expected_eq = table_eq[left, right]
    expected_lt = table_lt[left, right]

    refcounts = [sys.getrefcount(o) for o in pool]
    states, kept_before = thread_state_count(), _Compare._kept_thread_states()
    stop = threading.Event()
    churned = []

    def churn():
        n = 0
        while not stop.is_set():
            junk = [{"k": (i, str(i))} for i in range(200)]
            n += len(junk)
        churned.append(n)

    workers = [threading.Thread(target=churn) for _ in range(2)]
    for w in workers:
        w.start()
    kept_after = []
    try:
        for round_ in range(ROUNDS):
            if round_ == 0:
                eq_matrix, lt_matrix = A.emult(B, ops.EQ), A.emult(B, ops.LT)
            else:
                eq_matrix, lt_matrix = ops.EQ(A, B), ops.LT(A, B)
            kept_after.append((thread_state_count() - states, _Compare._kept_thread_states()))
            eq = np.array(eq_matrix.to_lists()[2], dtype=bool)
            lt = np.array(lt_matrix.to_lists()[2], dtype=bool)
            assert eq.shape == (CELLS,) and np.array_equal(eq, expected_eq)
            assert np.array_equal(lt, expected_lt)
    finally:
        stop.set()
        for w in workers:
            w.join()
    assert all(n > 0 for n in churned)  # the Python threads really ran meanwhile
    # Only the churn threads' own states come and go; of GraphBLAS's worker
    # threads (at most 7 beside the caller) each keeps at most one, and the
    # single-thread rounds add none.
    assert [other for other, _ in kept_after] == [2] * ROUNDS
    assert kept_after[0][1] <= kept_before + many_threads - 1
    assert all(kept <= kept_after[0][1] for _, kept in kept_after[1:])
    assert thread_state_count() == states
    assert [sys.getrefcount(o) for o in pool] == refcounts
