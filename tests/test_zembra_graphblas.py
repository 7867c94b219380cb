"""The kernels as SuiteSparse:GraphBLAS operators, through the cffi interface
that pygraphblas uses, on INT64 matrices whose cells hold the codes a Quodex
store hands out; results are decoded by the store back into the objects."""
import operator
import random
import sys
import threading

import numpy as np
import pygraphblas  # noqa: F401  (initialises GraphBLAS, as the real client does)
import pytest
from suitesparse_graphblas import ffi as gffi, lib as grb

from vorlane import _Zembra
from vorlane._Quodex import Quodex
from pyanswers import python_says

COMPARISONS = {"EQ": operator.eq, "NE": operator.ne, "LT": operator.lt,
               "GT": operator.gt, "GE": operator.ge, "LE": operator.le}
SELECTIONS = {"FIRST": lambda a, b: a, "SECOND": lambda a, b: b, "ANY": lambda a, b: a}
N = 40


def ok(info):
    assert info == grb.GrB_SUCCESS, info


class Witness(str):
    """A str whose equality notes the thread it runs on."""
    threads = set()

    def __eq__(self, other):
        Witness.threads.add(threading.get_ident())
        return str.__eq__(self, other)

    __hash__ = str.__hash__


@pytest.fixture(params=[1, 2, 4], ids=lambda n: f"{n}threads")
def nthreads(request):
    """Runs GraphBLAS on n threads, with chunks small enough to use them all."""
    saved_n, saved_chunk = gffi.new("int*"), gffi.new("double*")
    ok(grb.GxB_Global_Option_get(grb.GxB_NTHREADS, saved_n))
    ok(grb.GxB_Global_Option_get(grb.GxB_CHUNK, saved_chunk))
    ok(grb.GxB_Global_Option_set(grb.GxB_NTHREADS, gffi.cast("int", request.param)))
    ok(grb.GxB_Global_Option_set(grb.GxB_CHUNK, gffi.cast("double", 16.0)))
    yield request.param
    ok(grb.GxB_Global_Option_set(grb.GxB_NTHREADS, gffi.cast("int", saved_n[0])))
    ok(grb.GxB_Global_Option_set(grb.GxB_CHUNK, gffi.cast("double", saved_chunk[0])))


@pytest.fixture(scope="module")
def operators():
    ops = {}
    for name in [*COMPARISONS, *SELECTIONS]:
        op = gffi.new("GrB_BinaryOp*")
        kernel = gffi.cast("GxB_binary_function",
                           _Zembra.ffi.addressof(_Zembra.lib, "PyObject_" + name))
        ztype = grb.GrB_BOOL if name in COMPARISONS else grb.GrB_INT64
        ok(grb.GrB_BinaryOp_new(op, kernel, ztype, grb.GrB_INT64, grb.GrB_INT64))
        ops[name] = op
    yield ops
    for op in ops.values():
        ok(grb.GrB_BinaryOp_free(op))


def new_matrix(gtype):
    m = gffi.new("GrB_Matrix*")
    ok(grb.GrB_Matrix_new(m, gtype, N, N))
    return m


class Codes:
    """The objects of a test, pinned by a store; cells name them by index."""

    def __init__(self, objects):
        self.objects = objects
        column = np.empty(len(objects), dtype=object)
        for k, o in enumerate(objects):  # element-wise: tuples stay objects
            column[k] = o
        self.store = Quodex(0)
        self.codes = self.store.insert_many_numpy(column)

    def matrix(self, cells):
        """An INT64 matrix holding the codes of the objects `cells` index."""
        m = new_matrix(grb.GrB_INT64)
        keys = list(cells)
        ok(grb.GrB_Matrix_build_INT64(
            m[0], gffi.new("GrB_Index[]", [i for i, _ in keys]),
            gffi.new("GrB_Index[]", [j for _, j in keys]),
            gffi.new("int64_t[]", [int(self.codes[cells[k]]) for k in keys]), len(keys),
            grb.GrB_FIRST_INT64))
        return m

    @staticmethod
    def decode(cells):
        keys = list(cells)
        return dict(zip(keys, Quodex.decode_many(np.array([cells[k] for k in keys], dtype=np.int64))))


def to_cells(m, ztype):
    n = gffi.new("GrB_Index*")
    ok(grb.GrB_Matrix_nvals(n, m[0]))
    rows, cols = gffi.new("GrB_Index[]", n[0]), gffi.new("GrB_Index[]", n[0])
    values = gffi.new(f"{ztype}[]", n[0])
    extract = grb.GrB_Matrix_extractTuples_BOOL if ztype == "bool" else grb.GrB_Matrix_extractTuples_INT64
    ok(extract(rows, cols, values, n, m[0]))
    return {(rows[k], cols[k]): values[k] for k in range(n[0])}


def apply(kind, op, a, b, ztype):
    c = new_matrix(grb.GrB_BOOL if ztype == "bool" else grb.GrB_INT64)
    run = grb.GrB_Matrix_eWiseMult_BinaryOp if kind == "mult" else grb.GrB_Matrix_eWiseAdd_BinaryOp
    try:
        ok(run(c[0], gffi.NULL, gffi.NULL, op[0], a[0], b[0], gffi.NULL))
        return to_cells(c, ztype)
    finally:
        ok(grb.GrB_Matrix_free(c))


def random_cells(rng, count):
    return {(rng.randrange(N), rng.randrange(N)): rng.randrange(count) for _ in range(N * N // 2)}


def object_pool():
    """Objects only this test references (so their reference counts are its
    own to check), then shared ones for mixed-type comparisons."""
    words = ["apple", "pear", "fig", "Ärger", "zebra", "apple"]
    private = [*("".join(list(w)) for w in words),  # two equal, distinct "apple"s
               Witness("apple"), Witness("kiwi"), float("nan"), float("nan"), 2.5,
               10**20, -10**20, (1, "a"), (1, 2), ("a",), b"apple"]
    return private, private + [*words, "", None, True, 1]


@pytest.mark.parametrize("kind", ["mult", "add"])
def test_operators_agree_with_python_on_any_thread(operators, nthreads, kind,
                                                    thread_state_count):
    rng = random.Random(nthreads)
    private, pool = object_pool()
    codes = Codes(pool)
    a_cells, b_cells = random_cells(rng, len(pool)), random_cells(rng, len(pool))
    a, b = codes.matrix(a_cells), codes.matrix(b_cells)
    both, lone = a_cells.keys() & b_cells.keys(), a_cells.keys() ^ b_cells.keys()
    refs, states = [sys.getrefcount(o) for o in private], thread_state_count()
    Witness.threads.clear()
    try:
        for name in COMPARISONS:
            got = apply(kind, operators[name], a, b, "bool")
            want = {k: python_says(name, pool[a_cells[k]], pool[b_cells[k]]) for k in both}
            if kind == "add":  # a lone code is cast to bool: never 0
                want.update(dict.fromkeys(lone, True))
            assert got == want, name
        for name, pick in SELECTIONS.items():
            got = Codes.decode(apply(kind, operators[name], a, b, "int64_t"))
            want = {k: pool[pick(a_cells[k], b_cells[k])] for k in both}
            if kind == "add":
                want.update({k: pool[a_cells.get(k, b_cells.get(k))] for k in lone})
            assert got.keys() == want.keys()
            assert all(got[k] is want[k] for k in got), name
        del got, want
    finally:
        ok(grb.GrB_Matrix_free(a))
        ok(grb.GrB_Matrix_free(b))
    assert [sys.getrefcount(o) for o in private] == refs
    assert thread_state_count() == states
    if nthreads > 1:  # the comparisons really ran on GraphBLAS's worker threads
        assert len(Witness.threads) > 1


def test_nan_cells_equal_only_to_themselves(operators):
    codes = Codes([float("nan"), float("nan")])
    a = codes.matrix({(0, 0): 0, (0, 1): 0})
    b = codes.matrix({(0, 0): 0, (0, 1): 1})
    try:
        assert apply("mult", operators["EQ"], a, b, "bool") == {(0, 0): True, (0, 1): False}
        assert apply("mult", operators["NE"], a, b, "bool") == {(0, 0): False, (0, 1): True}
    finally:
        ok(grb.GrB_Matrix_free(a))
        ok(grb.GrB_Matrix_free(b))
