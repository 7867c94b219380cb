"""Everyday slips against ObjectMatrix / ObjectVector, each in a child process
that reports how the slip ended: a clean exception of the expected class, or
a correct result. A signal (a crash) fails the slip it was running."""
import importlib.util
import json
import subprocess
import sys
import tempfile
import textwrap

import pytest

BINDINGS = ["pygraphblas"]
if sys.version_info >= (3, 10) and importlib.util.find_spec("graphblas"):
    BINDINGS.append("graphblas")

CORPUS = r'''
import copy, gc, json, pickle, sys, threading
import numpy as np
from vorlane import ObjectMatrix as OM, ObjectVector as OV
from vorlane import matrix as raw
from vorlane._Quodex import Quodex

BINDING = sys.argv[1]
B = dict(binding=BINDING)

class Item:
    def __init__(self, v): self.v = v
    def __lt__(self, o): return self.v < o.v
    def __gt__(self, o): return self.v > o.v

def pair():
    s = Quodex(0)
    a = OM.from_coo([0, 1, 2], [0, 1, 2], [Item(3), Item(1), Item(2)], store=s, **B)
    b = OM.from_coo([0, 1, 2], [0, 1, 0], [Item(2), Item(5), Item(0)], nrows=3, ncols=3, store=s, **B)
    return s, a, b

def values(w):
    return [o.v for o in w.to_coo()[-1]]

def add_codes(A, B_):
    return A + B_ if BINDING == "pygraphblas" else A.ewise_add(B_).new()

def int64_matrix(n):
    if BINDING == "pygraphblas":
        from pygraphblas import Matrix, types
        return Matrix.from_lists(list(range(n)), [0] * n, list(range(1, n + 1)), typ=types.INT64)
    from graphblas import Matrix
    return Matrix.from_coo(list(range(n)), [0] * n, list(range(1, n + 1)), dtype="INT64")

def fp64_matrix():
    if BINDING == "pygraphblas":
        from pygraphblas import Matrix, types
        return Matrix.from_lists([0], [0], [1.5], typ=types.FP64)
    from graphblas import Matrix
    return Matrix.from_coo([0], [0], [1.5], dtype="FP64")

def loader():
    return OM.from_coo([0, 1], [0, 0], [Item(0), Item(1)], store=Quodex(0), **B)

def slip_add_codes_then_wrap():
    s, a, b = pair()
    OM.wrap(add_codes(a.codes, b.codes), s)

def slip_python_operators():
    s, a, b = pair()
    for op in (lambda: a < b, lambda: a + b, lambda: -a, lambda: a[0, 0], lambda: iter(a)):
        try:
            op()
        except TypeError:
            continue
        raise AssertionError("an operator was offered")
    raise TypeError

def slip_wrap_small_ints():
    OM.wrap(int64_matrix(10), Quodex(0))

def slip_wrap_fp64():
    OM.wrap(fp64_matrix(), Quodex(0))

def slip_wrap_code_plus_16():
    s, a, b = pair()
    c = a.codes
    c[0, 0] = int(c[0, 0].new().value if hasattr(c[0, 0], "new") else c[0, 0]) + 16
    OM.wrap(c, s)

def slip_wrap_foreign_store():
    s, a, b = pair()
    OM.wrap(a.codes, Quodex(0))

def slip_wrap_not_a_container():
    for bad in ([[1]], np.zeros((2, 2), dtype=np.int64), None):
        try:
            OM.wrap(bad, Quodex(0))
        except TypeError:
            continue
        raise AssertionError(bad)
    raise TypeError

def slip_wrap_a_wrapper():
    s, a, b = pair()
    OM.wrap(a, s)

def slip_wrap_vector_as_matrix():
    v = OV.from_coo([0], ["x"], **B)
    OM.wrap(v.codes, v.store)

def slip_loader_with_inline_store():
    m = loader()
    gc.collect()
    assert values(m) == [0, 1]

def slip_use_after_release():
    s, a, b = pair()
    a.release()
    a.to_coo()

def slip_compare_after_release():
    s, a, b = pair()
    b.release()
    a.lt(b)

def slip_release_twice_and_with():
    s, a, b = pair()
    with a:
        pass
    a.release()
    a.release()
    b.release()
    assert s.size == 0

def slip_readme_remove_loop_on_a_wrapper():
    s, a, b = pair()
    for obj in a.to_coo()[2]:
        s.remove(obj)
        s.remove(obj)
    gc.collect()
    assert values(a) == [3, 1, 2] and a.min().v == 1
    a.lt(b)
    assert sorted(values(a.merge(b))) == [0, 1, 2, 3]

def slip_rollback_of_the_block_that_built_it():
    s = Quodex(0)
    try:
        with s.checkpoint():
            m = OM.from_coo([0], [0], [Item(9)], store=s, **B)
            raise KeyError
    except KeyError:
        pass
    gc.collect()
    assert values(m) == [9] and m.max().v == 9
    m.release()
    assert s.size == 0

def slip_rollback_after_it_was_built():
    s, a, b = pair()
    try:
        with s.checkpoint():
            a.release()
            raise KeyError
    except KeyError:
        pass
    assert sorted(values(b)) == [0, 2, 5]
    b.lt(b)

def slip_shape_mismatch():
    s, a, b = pair()
    a.lt(OM.from_coo([0], [0], [Item(1)], store=s, **B))

def slip_matrix_against_vector():
    s, a, b = pair()
    a.merge(OV.from_coo([0], [Item(1)], store=s, **B))

def slip_merge_with_raw_container():
    s, a, b = pair()
    a.merge(b.codes)

def slip_bad_keep():
    s, a, b = pair()
    a.intersect(b, keep="both")

def slip_select_with_junk():
    s, a, b = pair()
    for bad in ([True], None, 1, np.ones((3, 3), dtype=bool)):
        try:
            a.select(bad)
        except TypeError:
            continue
        raise AssertionError(bad)
    raise TypeError

def slip_row_out_of_range():
    s, a, b = pair()
    for bad in (3, -1):
        try:
            a.row(bad)
        except IndexError:
            continue
        raise AssertionError(bad)
    a.col(1.0)

def slip_min_bad_axis():
    s, a, b = pair()
    a.min(axis=1)

def slip_deepcopy():
    s, a, b = pair()
    assert values(copy.copy(a)) == values(a)
    copy.deepcopy(a)

def slip_pickle():
    s, a, b = pair()
    pickle.dumps(b)

def slip_generator_values():
    OM.from_coo([0], [0], (x for x in ["a"]))

def slip_huge_shape():
    OM.from_coo([0], [0], ["a"], nrows=2**61, ncols=1)

def slip_negative_index():
    OV.from_coo([-1], ["a"])

def slip_lengths_differ():
    OV.from_coo([0, 1], ["a"])

def slip_store_not_a_store():
    OV.from_coo([0], ["a"], store={})

def slip_half_made_store():
    kept = []
    class Keeper(Quodex):
        def __del__(self):
            kept.append(self)
    try:
        Keeper("no")
    except TypeError:
        pass
    OV.from_coo([0], ["a"], store=kept[0], **B)

def slip_lt_releases_during_min():
    box = []
    class Rude:
        def __lt__(self, other):
            box[0].release()
            return False
    v = OV.from_coo([0, 1, 2], [Rude(), Rude(), Rude()], **B)
    box.append(v)
    v.min()
    assert v.released
    v.to_coo()

def slip_lt_releases_during_comparison():
    box = []
    class Rude:
        def __lt__(self, other):
            if box:
                box.pop().release()
            return True
    v = OV.from_coo(range(500), [Rude() for _ in range(500)], **B)
    w = OV.from_coo(range(500), [Rude() for _ in range(500)], store=v.store, **B)
    box.append(v)
    v.lt(w)
    w.lt(w)
    v.nvals

def slip_finalizer_touches_store_during_release():
    s = Quodex(0)
    class Noisy:
        def __del__(self):
            s.insert(object())
    v = OV.from_coo(range(100), [Noisy() for _ in range(100)], store=s, **B)
    v.release()
    del v
    gc.collect()
    assert s.size == 100

def slip_cycle_with_store_and_wrapper():
    class Node:
        pass
    n = Node()
    n.m = OM.from_coo([0], [0], [n], store=Quodex(0), **B)
    n.s = n.m.store
    del n
    gc.collect()

def slip_threads_and_release():
    # Calls from several threads with a release in the middle: each call
    # either finishes or refuses, and every count comes back.
    s = Quodex(0)
    vals = [str(i) for i in range(5000)]
    big = OV.from_coo(range(5000), vals, store=s, **B)
    other = OV.from_coo(range(5000), vals[::-1], store=s, **B)
    errors = []
    def work():
        try:
            for _ in range(50):
                big.lt(other)
                big.min()
                big.to_coo()
                big.merge(other).release()
        except ValueError as e:
            errors.append(str(e))
    ts = [threading.Thread(target=work) for _ in range(3)]
    for t in ts:
        t.start()
    big.release()
    for t in ts:
        t.join()
    assert set(errors) <= {"operation on a released ObjectVector"}, errors
    other.release()
    assert s.size == 0
    big.to_coo()

def slip_raw_to_objects_bad_code():
    s = Quodex(0)
    M = raw.from_objects(s, np.array([0]), np.array([0]), np.array(["a"], dtype=object), 1, 1)
    M[0, 0] = 16
    raw.to_objects(M, store=s)

def slip_raw_to_objects_foreign_store():
    s = Quodex(0)
    M = raw.from_objects(s, np.array([0]), np.array([0]), np.array(["a"], dtype=object), 1, 1)
    raw.to_objects(M, store=Quodex(0))

def slip_constructor_called_directly():
    OM(None)

def slip_interrupt_in_min():
    class Stop:
        def __lt__(self, other):
            raise KeyboardInterrupt
    v = OV.from_coo([0, 1], [Stop(), Stop()], **B)
    try:
        v.min()
    except KeyboardInterrupt:
        assert v.nvals == 2
        raise ValueError("interrupted cleanly")

slips = [(k, f) for k, f in list(globals().items()) if k.startswith("slip_")]
for name, f in slips:
    print("START", name, flush=True)
    try:
        f()
        outcome = "ok"
    except Exception as e:  # noqa
        outcome = type(e).__name__
    print("END", json.dumps([name, outcome]), flush=True)
'''

EXPECTED = {
    "slip_add_codes_then_wrap": "ValueError",
    "slip_python_operators": "TypeError",
    "slip_wrap_small_ints": "ValueError",
    "slip_wrap_fp64": "TypeError",
    "slip_wrap_code_plus_16": "ValueError",
    "slip_wrap_foreign_store": "ValueError",
    "slip_wrap_not_a_container": "TypeError",
    "slip_wrap_a_wrapper": "TypeError",
    "slip_wrap_vector_as_matrix": "TypeError",
    "slip_loader_with_inline_store": "ok",
    "slip_use_after_release": "ValueError",
    "slip_compare_after_release": "ValueError",
    "slip_release_twice_and_with": "ok",
    "slip_readme_remove_loop_on_a_wrapper": "ok",
    "slip_rollback_of_the_block_that_built_it": "ok",
    "slip_rollback_after_it_was_built": "ok",
    "slip_shape_mismatch": "ValueError",
    "slip_matrix_against_vector": "TypeError",
    "slip_merge_with_raw_container": "TypeError",
    "slip_bad_keep": "ValueError",
    "slip_select_with_junk": "TypeError",
    "slip_row_out_of_range": "TypeError",
    "slip_min_bad_axis": "ValueError",
    "slip_deepcopy": "TypeError",
    "slip_pickle": "TypeError",
    "slip_generator_values": "TypeError",
    "slip_huge_shape": "ValueError",
    "slip_negative_index": "ValueError",
    "slip_lengths_differ": "ValueError",
    "slip_store_not_a_store": "TypeError",
    "slip_half_made_store": "ValueError",
    "slip_lt_releases_during_min": "ValueError",
    "slip_lt_releases_during_comparison": "ValueError",
    "slip_finalizer_touches_store_during_release": "ok",
    "slip_cycle_with_store_and_wrapper": "ok",
    "slip_threads_and_release": "ValueError",
    "slip_raw_to_objects_bad_code": "ValueError",
    "slip_raw_to_objects_foreign_store": "ValueError",
    "slip_constructor_called_directly": "TypeError",
    "slip_interrupt_in_min": "ValueError",
}


@pytest.mark.parametrize("binding", BINDINGS)
def test_corpus_of_slips_ends_without_a_signal(binding):
    run = subprocess.run([sys.executable, "-c", textwrap.dedent(CORPUS), binding], capture_output=True,
                         text=True, timeout=300, cwd=tempfile.gettempdir())
    started = [line.split()[1] for line in run.stdout.splitlines() if line.startswith("START")]
    ended = dict(json.loads(line[4:]) for line in run.stdout.splitlines() if line.startswith("END"))
    assert run.returncode == 0, f"signal {-run.returncode} in {started[-1] if started else '?'}: {run.stderr}"
    assert ended == EXPECTED, run.stderr


EXIT_WITH_LIVE_WRAPPERS = r'''
import sys, threading
from vorlane import ObjectMatrix, ObjectVector
from vorlane._Quodex import Quodex
keep = [ObjectMatrix.from_coo([0], [0], [object()], store=Quodex(0), binding=sys.argv[1])]
v = ObjectVector.from_coo(range(3000), [str(i) for i in range(3000)], binding=sys.argv[1])
def spin():
    while True:
        v.lt(v)
        v.min()
threading.Thread(target=spin, daemon=True).start()
print("exiting", flush=True)
'''


@pytest.mark.parametrize("binding", BINDINGS)
def test_exit_with_live_wrappers_and_a_busy_daemon_thread(binding):
    run = subprocess.run([sys.executable, "-c", EXIT_WITH_LIVE_WRAPPERS, binding], capture_output=True,
                         text=True, timeout=120, cwd=tempfile.gettempdir())
    assert (run.returncode, run.stdout.strip()) == (0, "exiting"), run.stderr
