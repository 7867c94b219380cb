"""vorlane.matrix: object columns into pygraphblas matrices and vectors of
codes and back, checked against a Python model of the cells and against the
store's own dump of its counts."""
import contextlib
import io
import re

import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st
from pygraphblas import Matrix, Vector, types
from suitesparse_graphblas import ffi as gffi
from suitesparse_graphblas import lib as grb

from vorlane import ops
from vorlane._Quodex import Quodex
from vorlane.matrix import from_objects, from_objects_vector, to_objects, to_objects_vector


def counts(store):
    """{code: count} as the store itself reports it."""
    out = io.StringIO()
    with contextlib.redirect_stdout(out):
        store._print_debug(False)
    return {int(m[1]): int(m[2]) for m in re.finditer(r"IntPtr (\d+) .*?OCNT: (-?\d+)", out.getvalue())}


def release(store, objects):
    """The release the module documents: one remove per cell."""
    for obj in objects:
        assert store.remove(obj) is not None


@pytest.fixture(params=["by_row", "by_col"])
def orientation(request):
    """GraphBLAS's default orientation for new matrices, restored afterwards."""
    saved = gffi.new("int*")
    assert grb.GxB_Global_Option_get(grb.GxB_FORMAT, saved) == grb.GrB_SUCCESS
    fmt = grb.GxB_BY_ROW if request.param == "by_row" else grb.GxB_BY_COL
    assert grb.GxB_Global_Option_set(grb.GxB_FORMAT, gffi.cast("int", fmt)) == grb.GrB_SUCCESS
    yield request.param
    grb.GxB_Global_Option_set(grb.GxB_FORMAT, gffi.cast("int", saved[0]))


def object_column(rng, n):
    """Fresh objects, with some repeated so that one object names many cells."""
    pool = [f"o{i}" for i in range(max(1, n // 3))] + [(1, "t"), float("nan"), None]
    col = np.empty(n, dtype=object)
    for k in range(n):
        col[k] = pool[rng.integers(len(pool))] if rng.random() < 0.5 else object()
    return col


@pytest.mark.parametrize("n", [0, 1, 10**5])
def test_round_trip_gives_the_very_objects_and_one_count_per_cell(n, orientation):
    rng = np.random.default_rng(n)
    side = 1000
    flat = rng.choice(side * side, size=n, replace=False)
    rows, cols = flat // side, flat % side
    objects = object_column(rng, n)
    store = Quodex(0)
    before = store.insert("kept")[0]

    A = from_objects(store, rows, cols, objects, side, side)
    assert (A.type, A.nrows, A.ncols, A.nvals) == (types.INT64, side, side, n)
    r, c, back = to_objects(A)
    assert r.dtype == c.dtype == np.int64 and back.dtype == object
    want = {(int(i), int(j)): o for i, j, o in zip(rows, cols, objects)}
    assert len(r) == n and all(want[(int(i), int(j))] is o for i, j, o in zip(r, c, back))

    v = from_objects_vector(store, flat, objects, side * side)
    i, back = to_objects_vector(v)
    want = dict(zip(flat.tolist(), objects))
    assert v.size == side * side and len(i) == n and all(want[k] is o for k, o in zip(i.tolist(), back))

    release(store, to_objects(A)[2])
    release(store, to_objects_vector(v)[1])
    assert counts(store) == {before: 1}


def test_the_matrix_works_with_the_object_operators():
    store = Quodex(0)
    old = np.array(["pear", "fig", 3], dtype=object)
    new = np.array(["pear", "apple", "x"], dtype=object)
    idx = np.arange(3)
    A = from_objects(store, idx, np.zeros(3, np.int8), old, 3, 1)
    B = from_objects(store, idx, np.zeros(3, np.int8), new, 3, 1)
    assert ops.NE(A, B).to_lists()[2] == [False, True, True]
    assert to_objects(A.eadd(B, ops.SECOND))[2].tolist() == ["pear", "apple", "x"]


@settings(max_examples=60, deadline=None)
@given(cells=st.lists(st.tuples(st.integers(0, 3), st.integers(0, 2)), max_size=40),
       dup=st.sampled_from(["first", "second"]))
def test_duplicates_keep_one_object_per_cell_in_input_order(cells, dup):
    store = Quodex(0)
    objects = np.empty(len(cells), dtype=object)
    objects[:] = [object() for _ in cells]
    model = {}
    for key, obj in zip(cells, objects):
        if dup == "second" or key not in model:
            model[key] = obj
    rows = np.array([k[0] for k in cells], dtype=np.int64)
    cols = np.array([k[1] for k in cells], dtype=np.int64)

    A = from_objects(store, rows, cols, objects, 4, 3, dup=dup)
    r, c, back = to_objects(A)
    assert sorted(zip(r.tolist(), c.tolist())) == sorted(model)
    assert all(model[(i, j)] is o for i, j, o in zip(r.tolist(), c.tolist(), back))
    # Objects that lost their cell are not interned.
    assert counts(store) == {id(o): 1 for o in model.values()}

    v = from_objects_vector(store, rows * 3 + cols, objects, 12, dup=dup)
    i, back = to_objects_vector(v)
    assert all(model[divmod(k, 3)] is o for k, o in zip(i.tolist(), back))
    assert len(i) == len(model)


def refused_calls():
    """(call, exception, message) for every argument that must be refused."""
    x = np.array(["a", "b", "c"], dtype=object)
    i3 = np.array([0, 1, 2])
    return [
        (lambda s: from_objects(s, i3, i3, x[:2], 3, 3), ValueError,
         r"^rows, cols and objects must have the same length, not 3, 3 and 2$"),
        (lambda s: from_objects(s, i3, i3[:2], x, 3, 3), ValueError, r"same length, not 3, 2 and 3$"),
        (lambda s: from_objects(s, i3, i3, x, 2, 3), ValueError,
         r"^rows holds index 2, out of range for nrows=2$"),
        (lambda s: from_objects(s, i3, np.array([0, 3, 1], np.uint8), x, 3, 3), ValueError,
         r"^cols holds index 3, out of range for ncols=3$"),
        (lambda s: from_objects(s, np.array([0, -1, 2], np.int16), i3, x, 3, 3), ValueError,
         r"^rows holds a negative index \(-1\)$"),
        (lambda s: from_objects(s, i3.astype(float), i3, x, 3, 3), ValueError,
         r"^rows must hold integers, not float64$"),
        (lambda s: from_objects(s, i3, i3.astype(bool), x, 3, 3), ValueError,
         r"^cols must hold integers, not bool$"),
        (lambda s: from_objects(s, [0, 1, 2], i3, x, 3, 3), TypeError,
         r"^rows must be a numpy.ndarray, not list$"),
        (lambda s: from_objects(s, i3.reshape(3, 1), i3, x, 3, 3), ValueError,
         r"^rows must be one-dimensional, not 2-dimensional$"),
        (lambda s: from_objects(s, i3, i3, x.astype(str), 3, 3), ValueError,
         r"^objects must be an object array, not <U1$"),
        (lambda s: from_objects(s, i3, i3, x, -1, 3), ValueError,
         r"^nrows must be between 0 and 1152921504606846976, not -1$"),
        (lambda s: from_objects(s, i3, i3, x, 3, 3.0), TypeError, r"integer"),
        (lambda s: from_objects(s, i3, i3, x, 3, 3, dup="sum"), ValueError,
         r"^dup must be None, 'first' or 'second', not 'sum'$"),
        (lambda s: from_objects({}, i3, i3, x, 3, 3), TypeError, r"^store must be a Quodex, not dict$"),
        (lambda s: from_objects(s, np.array([2, 0, 2, 1]), np.array([1, 0, 1, 1]), np.append(x, "d"), 3, 3),
         ValueError, r"^1 duplicate coordinate\(s\), \(row 2, col 1\) among them; pass dup='first' or "
                     r"dup='second' to keep one object per cell$"),
        (lambda s: from_objects_vector(s, np.array([4, 4, 1]), x, 5), ValueError,
         r"^1 duplicate coordinate\(s\), \(index 4\) among them"),
        (lambda s: from_objects_vector(s, i3, x, 2), ValueError, r"^indices holds index 2, out of range for size=2$"),
        (lambda s: from_objects_vector(s, i3[:1], x, 3), ValueError,
         r"^indices and objects must have the same length, not 1 and 3$"),
    ]


@pytest.mark.parametrize("call, exc, message", refused_calls())
def test_refusals_leave_the_store_as_it_was(call, exc, message):
    store = Quodex(0)
    held = np.array(["a", "b", "c", "d"], dtype=object)
    store.insert_many_numpy(held)
    store.insert(held[1])
    before = counts(store)
    with pytest.raises(exc, match=message):
        call(store)
    assert counts(store) == before


def test_to_objects_refuses_what_holds_no_codes():
    with pytest.raises(TypeError, match=r"^the matrix must hold INT64 object codes$"):
        to_objects(Matrix.from_lists([0], [0], [1.5]))
    with pytest.raises(TypeError, match=r"^the vector must hold INT64 object codes$"):
        to_objects_vector(Vector.from_lists([0], [True]))
    with pytest.raises(TypeError, match=r"^matrix must be a pygraphblas Matrix, not Vector$"):
        to_objects(Vector.sparse(types.INT64, 3))
    with pytest.raises(TypeError, match=r"^vector must be a pygraphblas Vector, not Matrix$"):
        to_objects_vector(Matrix.sparse(types.INT64, 3, 3))


def test_any_integer_width_order_and_stride_is_read_as_given():
    store = Quodex(0)
    rng = np.random.default_rng(5)
    n = 500
    flat = rng.choice(100 * 100, size=n, replace=False)
    objects = object_column(rng, n)
    plain = from_objects(store, flat // 100, flat % 100, objects, 100, 100)
    want = sorted(zip(*(a.tolist() for a in to_objects(plain)[:2]), map(id, to_objects(plain)[2])))

    # Reversed and strided views, narrow, unsigned, big-endian and read-only.
    rows = np.empty(2 * n, dtype=">i8")
    rows[::-2] = flat // 100
    cols = np.zeros(3 * n, dtype=np.uint16)
    cols[::3] = flat % 100
    objs = np.empty(2 * n, dtype=object)
    objs[1::2] = objects
    frozen = objs[1::2]
    frozen.flags.writeable = False
    passed_as_is = flat // 100  # contiguous int64: handed to GraphBLAS without a copy
    passed_as_is.flags.writeable = False
    for r, c, o in [(rows[::-2], cols[::3], frozen), (passed_as_is, flat % 100, frozen),
                    ((flat // 100).astype(np.int8), (flat % 100).astype(np.uint32)[::-1][::-1], objects[::-1][::-1])]:
        A = from_objects(store, r, c, o, 100, 100)
        got = to_objects(A)
        assert sorted(zip(got[0].tolist(), got[1].tolist(), map(id, got[2]))) == want
