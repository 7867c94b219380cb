"""vorlane.ObjectMatrix / ObjectVector: ownership, results, checks, and the
ways a store can change under a wrapper. One suite, run against every
GraphBLAS binding installed."""
import copy
import gc
import operator
import importlib.util
import pickle
import re
import subprocess
import sys
import textwrap

import numpy as np
import pytest

import vorlane
from vorlane import ObjectMatrix, ObjectVector
from vorlane import matrix as raw
from vorlane._Quodex import Quodex

BINDINGS = ["pygraphblas"]
if sys.version_info >= (3, 10) and importlib.util.find_spec("graphblas"):
    BINDINGS.append("graphblas")


@pytest.fixture(params=BINDINGS)
def binding(request):
    return request.param


def count(store, obj):
    """obj's count in store (0 when not held), leaving the store unchanged."""
    n = store.insert(obj)[1]
    store.remove(obj)
    return n - 1


class Item:
    """A distinct, orderable object; equal items are never identical."""

    def __init__(self, v):
        self.v = v

    def __lt__(self, other):
        return self.v < other.v

    def __gt__(self, other):
        return self.v > other.v

    def __repr__(self):
        return f"Item({self.v})"


def items(*vs):
    return [Item(v) for v in vs]


def cells(w):
    *idx, objs = w.to_coo()
    return {tuple(int(a[k]) for a in idx): objs[k] for k in range(len(objs))}


# ---------------------------------------------------------------------------
# building, reading, owning

def test_package_exports_and_version():
    assert vorlane.ObjectMatrix is ObjectMatrix and vorlane.ObjectVector is ObjectVector
    assert re.match(r"^\d+\.\d+", vorlane.__version__)
    with pytest.raises(TypeError, match=r"^make an ObjectMatrix with from_coo\(\) or wrap\(\)$"):
        ObjectMatrix()


@pytest.mark.parametrize("as_numpy", [False, True])
def test_round_trip_gives_the_very_objects_and_counts_one_per_cell(binding, as_numpy):
    x, y = items(1, 2)
    rows, cols, vals = [0, 2, 1], [1, 0, 1], [x, y, x]
    if as_numpy:
        rows, cols = np.array(rows, dtype=np.int32), np.array(cols, dtype=np.uint64)
        vals = np.array(vals, dtype=object)
    m = ObjectMatrix.from_coo(rows, cols, vals, binding=binding)
    assert m.shape == (3, 2) and m.nvals == 3 and m.binding == binding
    assert isinstance(m.store, Quodex)
    got = cells(m)
    assert got == {(0, 1): x, (2, 0): y, (1, 1): x} and got[(0, 1)] is x
    assert (count(m.store, x), count(m.store, y), m.store.size) == (2, 1, 2)
    store = m.store
    m.release()
    assert store.size == 0


def test_sequences_of_sequences_stay_one_object_per_cell(binding):
    t1, t2 = (1, 2), (3, 4)
    v = ObjectVector.from_coo([0, 1], [t1, t2], binding=binding)
    _, objs = v.to_coo()
    assert objs[0] is t1 and objs[1] is t2 and v.shape == (2,)


def test_dup_rules_and_refusals_leave_the_store_alone(binding):
    store = Quodex(0)
    x, y = items(1, 2)
    with pytest.raises(ValueError, match=r"^1 duplicate coordinate\(s\), \(row 0, col 0\) among them; "):
        ObjectMatrix.from_coo([0, 0], [0, 0], [x, y], store=store, binding=binding)
    for call, exc, msg in [
        (lambda: ObjectMatrix.from_coo([0], [0], [x], store=store, dup="any"), ValueError,
         r"^dup must be None, 'first' or 'second', not 'any'$"),
        (lambda: ObjectMatrix.from_coo([0, 1], [0], [x], store=store), ValueError,
         r"^rows, cols and objects must have the same length, not 2, 1 and 1$"),
        (lambda: ObjectMatrix.from_coo([-1], [0], [x], store=store, nrows=2, ncols=2), ValueError,
         r"^rows holds a negative index \(-1\)$"),
        (lambda: ObjectMatrix.from_coo([3], [0], [x], store=store, nrows=2, ncols=2), ValueError,
         r"^rows holds index 3, out of range for nrows=2$"),
        (lambda: ObjectMatrix.from_coo([0.5], [0], [x], store=store), ValueError,
         r"^rows must hold integers, not float64$"),
        (lambda: ObjectMatrix.from_coo(None, [0], [x], store=store), TypeError,
         r"^rows must be a sequence or a numpy\.ndarray, not NoneType$"),
        (lambda: ObjectMatrix.from_coo([0], [0], 5, store=store), TypeError,
         r"^values must be a sequence or a numpy\.ndarray, not int$"),
        (lambda: ObjectMatrix.from_coo([0], [0], [x], store="s"), TypeError,
         r"^store must be a Quodex, not str$"),
        (lambda: ObjectMatrix.from_coo([0], [0], [x], binding="numpy"), ValueError,
         r"^binding must be None, 'graphblas' or 'pygraphblas', not 'numpy'$"),
        (lambda: ObjectVector.from_coo([0], np.zeros((1, 1), dtype=object), store=store), ValueError,
         r"^values must be one-dimensional, not 2-dimensional$"),
    ]:
        with pytest.raises(exc, match=msg):
            call()
    assert store.size == 0
    kept = ObjectMatrix.from_coo([0, 0], [0, 0], [x, y], dup="second", store=store, binding=binding)
    assert cells(kept) == {(0, 0): y} and (count(store, x), count(store, y)) == (0, 1)


def test_count_overflow_gives_back_exactly_what_was_taken(binding):
    store = Quodex(0)
    full, x = items(0, 1)
    store.insert(full, increment=2**63 - 1)
    others = items(*range(50))
    store.insert(others[3])
    with pytest.raises(OverflowError, match=r"^count out of range$"):
        ObjectMatrix.from_coo(range(52), [0] * 52, others + [x, full], store=store, binding=binding)
    assert store.size == 2 and count(store, others[3]) == 1 and count(store, x) == 0
    # The raw layer's builder is all or nothing too.
    with pytest.raises(OverflowError):
        raw.from_objects(store, np.arange(2), np.zeros(2, dtype=np.int64), np.array([x, full], dtype=object), 2, 1)
    assert store.size == 2 and count(store, x) == 0


@pytest.mark.operator_new_fails
def test_store_growth_failure_gives_back_exactly_what_was_taken(tmp_path):
    script = textwrap.dedent("""
        import resource
        from vorlane import ObjectMatrix
        from vorlane._Quodex import Quodex
        store = Quodex(0)
        base = [object() for _ in range(2**19 - 2)]   # one insert short of growing
        store.insert_many(base)
        new = [object() for _ in range(1000)]
        before = store.size
        with open('/proc/self/status') as f:
            vm = next(int(l.split()[1]) for l in f if l.startswith('VmSize:')) * 1024
        resource.setrlimit(resource.RLIMIT_AS, (vm + (16 << 20), resource.RLIM_INFINITY))
        try:
            ObjectMatrix.from_coo(range(1000), [0] * 1000, new, store=store)
            print('built')
        except MemoryError:
            resource.setrlimit(resource.RLIMIT_AS, (resource.RLIM_INFINITY, resource.RLIM_INFINITY))
            print('MemoryError', store.size == before, store.insert(new[0])[1])
    """)
    out = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=120,
                         cwd=tmp_path)
    assert out.stdout.split() == ["MemoryError", "True", "1"], out.stderr


def test_release_with_and_gc_give_every_count_back(binding):
    store = Quodex(0)
    x, y = items(1, 2)
    store.insert(x)
    with ObjectVector.from_coo([0, 1, 2], [x, y, x], store=store, binding=binding) as v:
        assert count(store, x) == 3
    assert v.released and count(store, x) == 1 and store.size == 1
    v.release()  # twice: harmless
    for use in (lambda: v.to_coo(), lambda: v.nvals, lambda: v.codes, lambda: v.min(), lambda: v.copy()):
        with pytest.raises(ValueError, match=r"^operation on a released ObjectVector$"):
            use()
    assert repr(v) == "<released ObjectVector>"
    w = ObjectVector.from_coo([0], [y], store=store, binding=binding)
    del w
    gc.collect()
    assert store.size == 1 and count(store, y) == 0


def test_wrapper_keeps_a_throwaway_store_and_its_objects_alive(binding):
    def load():
        return ObjectMatrix.from_coo([0, 1], [0, 0], [Item(7), Item(8)], store=Quodex(0), binding=binding)

    m = load()
    gc.collect()
    assert [o.v for o in m.to_coo()[2]] == [7, 8] and m.store.size == 2


def test_copy_is_a_real_copy_and_pickle_refuses(binding):
    x, = items(1)
    m = ObjectMatrix.from_coo([0], [0], [x], binding=binding)
    c = copy.copy(m)
    assert count(m.store, x) == 2
    m.release()
    assert cells(c) == {(0, 0): x} and count(c.store, x) == 1
    for f in (pickle.dumps, copy.deepcopy):
        with pytest.raises(TypeError, match=r"^cannot pickle an ObjectMatrix: "):
            f(c)


# ---------------------------------------------------------------------------
# results own their objects

def test_results_are_wrappers_with_counts_of_their_own(binding):
    a_, b_, c_, d_, e_ = items(1, 2, 3, 4, 5)
    store = Quodex(0)
    a = ObjectMatrix.from_coo([0, 0, 1], [0, 1, 1], [a_, b_, c_], nrows=2, ncols=3, store=store, binding=binding)
    b = ObjectMatrix.from_coo([0, 1, 1], [0, 1, 2], [d_, e_, a_], nrows=2, ncols=3, store=store, binding=binding)
    results = {
        "merge": (a.merge(b), {(0, 0): a_, (0, 1): b_, (1, 1): c_, (1, 2): a_}),
        "merge2": (a.merge(b, keep="second"), {(0, 0): d_, (0, 1): b_, (1, 1): e_, (1, 2): a_}),
        "intersect": (a.intersect(b, keep="second"), {(0, 0): d_, (1, 1): e_}),
        "difference": (a.difference(b), {(0, 1): b_}),
        "select_owned": (a.select(b), {(0, 0): a_, (1, 1): c_}),
        "T": (a.T, {(0, 0): a_, (1, 0): b_, (1, 1): c_}),
    }
    row, col = a.row(0), b.col(2)
    a.release()
    b.release()
    for name, (r, expected) in results.items():
        assert cells(r) == expected, name
        assert all(type(v) is Item for v in cells(r).values())
    assert results["T"][0].shape == (3, 2)
    assert cells(row) == {(0,): a_, (1,): b_} and row.shape == (3,)
    assert cells(col) == {(1,): a_} and col.shape == (2,)
    held = sum(r.nvals for r, _ in results.values()) + row.nvals + col.nvals
    assert sum(count(store, o) for o in (a_, b_, c_, d_, e_)) == held
    for r, _ in results.values():
        r.release()
    row.release()
    col.release()
    assert store.size == 0


def test_select_by_bool_container_value_or_structure(binding):
    a_, b_ = items(1, 2)
    m = ObjectMatrix.from_coo([0, 1], [0, 1], [a_, b_], binding=binding)
    gt = m.gt(m)  # all false, both cells present
    assert cells(m.select(gt)) == {}
    assert cells(m.select(gt, structural=True)) == {(0, 0): a_, (1, 1): b_}
    with pytest.raises(TypeError, match=r"^expected a GraphBLAS Matrix or Vector, not list$"):
        m.select([True])
    v = ObjectVector.from_coo([0], [a_], size=2, binding=binding)
    with pytest.raises(TypeError, match=rf"^mask must be a {binding} Matrix or an ObjectMatrix$"):
        m.select(v.codes)
    with pytest.raises(ValueError, match=r"^shapes differ: \(2, 2\) and \(3, 3\)$"):
        m.select(ObjectMatrix.from_coo([2], [2], [a_], binding=binding).codes)


def test_comparisons_follow_python_and_refuse_mismatches(binding):
    xs = ["b", 3, 2.5, "a", (1,), None]
    ys = ["a", 3, 4, "b", (0,), None]
    n = len(xs)
    a = ObjectVector.from_coo(range(n), xs, binding=binding)
    b = ObjectVector.from_coo(range(n), ys, binding=binding)
    for name in ("eq", "ne", "lt", "gt", "le", "ge"):
        idx, got = _bool_cells(getattr(a, name)(b))
        assert idx == list(range(n))
        assert got == [_python_answer(getattr(operator, name), x, y) for x, y in zip(xs, ys)], name
    short = ObjectVector.from_coo([0], ["a"], size=3, binding=binding)
    with pytest.raises(ValueError, match=r"^shapes differ: \(6,\) and \(3,\)$"):
        a.lt(short)
    with pytest.raises(TypeError, match=r"^expected an ObjectVector, not Vector$|^expected an ObjectVector, not"):
        a.lt(b.codes)


def _python_answer(op, x, y):
    try:
        return bool(op(x, y))
    except Exception:
        return False


def _bool_cells(result):
    if hasattr(result, "to_lists"):
        idx, vals = result.to_lists()
    else:
        idx, vals = result.to_coo()
    return [int(i) for i in idx], [bool(v) for v in vals]


def test_min_max_by_object_value_with_false_on_error(binding):
    m = ObjectMatrix.from_coo([0, 0, 0, 1, 1, 2], [0, 1, 2, 0, 2, 1], [5, "x", 3, 9, 1, 7], binding=binding)
    assert m.min() == 1 and m.max() == 9  # "x" never compares with ints: false both ways, kept out
    rowmin = m.min("row")
    assert cells(rowmin) == {(0,): 3, (1,): 1, (2,): 7}
    # Column 1 starts with "x", which 7 cannot be compared with: "x" stays.
    assert cells(m.max("col")) == {(0,): 9, (1,): "x", (2,): 3}
    empty = ObjectMatrix.from_coo([], [], [], nrows=2, ncols=2, binding=binding)
    with pytest.raises(ValueError, match=r"^min\(\) of an ObjectMatrix with no cells$"):
        empty.min()
    assert empty.min("row").nvals == 0
    with pytest.raises(ValueError, match=r"^axis must be None, 'row' or 'col', not 0$"):
        m.min(0)
    # Transposed storage (GraphBLAS may keep it by column) still groups right.
    assert cells(m.T.min("col")) == {(0,): 3, (1,): 1, (2,): 7}


# ---------------------------------------------------------------------------
# codes from outside are checked

def test_wrap_checks_type_and_every_code_before_pinning(binding):
    x, y = items(1, 2)
    m = ObjectMatrix.from_coo([0, 1], [0, 1], [x, y], binding=binding)
    store = m.store
    codes = m.codes
    w = ObjectMatrix.wrap(codes, store)
    assert cells(w) == {(0, 0): x, (1, 1): y} and count(store, x) == 2
    codes[1, 1] = id(y) + 16  # an aligned address nobody holds
    with pytest.raises(ValueError, match=r"^the code at \(row 1, col 1\) is not held by the store$"):
        ObjectMatrix.wrap(codes, store)
    assert count(store, x) == 2 and count(store, y) == 2
    assert cells(w) == {(0, 0): x, (1, 1): y}  # its own copy, untouched
    boolean = m.eq(m)
    with pytest.raises(TypeError, match=r"^the matrix must hold INT64 object codes$"):
        ObjectMatrix.wrap(boolean, store)
    with pytest.raises(TypeError, match=r"^expected a Matrix, not Vector$"):
        ObjectMatrix.wrap(ObjectVector.from_coo([0], [x], binding=binding).codes, store)
    with pytest.raises(TypeError, match=r"^store must be a Quodex, not NoneType$"):
        ObjectMatrix.wrap(m.codes, None)
    with pytest.raises(ValueError, match=r"^the code at \(row 0, col 0\) is not held by the store$"):
        ObjectMatrix.wrap(m.codes, Quodex(0))


@pytest.mark.parametrize("front", BINDINGS)
def test_raw_to_objects_checks_codes_against_a_given_store(front):
    layer = raw if front == "pygraphblas" else pytest.importorskip("vorlane.gbmatrix")
    store = Quodex(0)
    x = Item(1)
    M = layer.from_objects(store, np.array([0]), np.array([1]), np.array([x], dtype=object), 1, 2)
    assert layer.to_objects(M, store=store)[2][0] is x
    M[0, 1] = id(x) + 16
    with pytest.raises(ValueError, match=r"^the code at \(row 0, col 1\) is not held by the store$"):
        layer.to_objects(M, store=store)
    with pytest.raises(TypeError, match=r"^store must be a Quodex, not int$"):
        layer.to_objects(M, store=1)
    V = layer.from_objects_vector(store, np.array([2]), np.array([x], dtype=object), 3)
    V[2] = 8
    with pytest.raises(ValueError, match=r"^the code at \(index 2\) is not held by the store$"):
        layer.to_objects_vector(V, store=store)


# ---------------------------------------------------------------------------
# the store changing under a wrapper

def test_user_removes_and_rollbacks_never_reach_freed_objects(binding):
    store = Quodex(0)
    before = ObjectVector.from_coo([0], [Item(1)], size=2, store=store, binding=binding)
    with pytest.raises(RuntimeError):
        with store.checkpoint():
            inside = ObjectVector.from_coo([0, 1], [Item(2), Item(3)], store=store, binding=binding)
            raise RuntimeError
    assert store.size == 1  # as it was on entry
    gc.collect()
    assert [o.v for o in inside.to_coo()[1]] == [2, 3]
    merged = inside.merge(before)
    assert [o.v for o in merged.to_coo()[1]] == [2, 3] and merged.store is store
    inside.release()  # its counts went with the rolled-back store: nothing to give
    merged.release()
    assert store.size == 1
    (obj,) = before.to_coo()[1]
    for _ in range(3):
        store.remove(obj)  # the user takes the wrapper's count too
    gc.collect()
    assert before.to_coo()[1][0].v == 1 and before.min().v == 1
    before.release()
    assert store.size == 0


def test_private_bulk_calls_check_their_arguments_before_reading():
    from vorlane import _Holdings as H
    store = Quodex(0)
    objs = np.array(["a", "b"], dtype=object)
    pos = np.empty(1, dtype=np.int64)
    for call, exc, msg in [
        (lambda: H.extreme(objs, np.array([0, 5]), 0, pos), ValueError,
         r"^starts must rise from 0 to the number of objects$"),
        (lambda: H.extreme(objs, np.array([0, 2]), 2, pos), ValueError, r"^op must be Py_LT \(0\) or Py_GT \(4\)$"),
        (lambda: H.extreme(objs, np.array([0, 1, 2]), 0, pos), ValueError,
         r"^starts must have one more element than positions$"),
        (lambda: H.release(store, np.array([1, 2])), ValueError, r"^objects must be a one-dimensional object array$"),
        (lambda: H.intern(store, objs, np.empty(2, dtype=np.int32)), ValueError,
         r"^codes must be a one-dimensional int64 array$"),
        (lambda: H.intern(store, objs, np.empty(3, dtype=np.int64)), ValueError,
         r"^codes and objects differ in length$"),
        (lambda: H.unheld(object(), np.zeros(1, dtype=np.int64)), TypeError, r"^store must be a Quodex, not object$"),
        (lambda: H.decode_held(store, np.zeros(2, dtype=np.int64), np.empty(1, dtype=object)), ValueError,
         r"^codes and out differ in length$"),
        (lambda: H.release(store), TypeError, r"^release\(\) takes exactly 2 arguments \(1 given\)$"),
    ]:
        with pytest.raises(exc, match=msg):
            call()
    assert store.size == 0
    # Codes that are not addresses at all are only ever compared, never read.
    out = np.empty(3, dtype=object)
    assert H.decode_held(store, np.array([0, -8, 12345], dtype=np.int64), out) == 0
    assert H.unheld(store, np.array([], dtype=np.int64)) == -1
