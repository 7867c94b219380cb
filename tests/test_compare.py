"""vorlane._Compare: the comparison kernels that answer without the lock where
they can. Their answers must be Python's own, bit for bit, for every kind of
object, called directly and through GraphBLAS on several threads; the pairs
they answer without the lock must be exactly the promised ones; and their
kept thread states must behave."""
import ctypes
import functools
import os
import subprocess
import sys
import tempfile
import textwrap
import threading

import numpy as np
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st
from pygraphblas import Matrix, Vector, descriptor, types
from suitesparse_graphblas import ffi as gffi, lib as grb

from vorlane import _Compare, ops
from pyanswers import PY, python_says

# Legacy strings are made on purpose, through the API that 3.10 and 3.11
# deprecate and still honour.
pytestmark = pytest.mark.filterwarnings("ignore:PyUnicode_FromUnicode:DeprecationWarning")

RICH = {"LT": 0, "LE": 1, "EQ": 2, "NE": 3, "GT": 4, "GE": 5}
KERNEL = ctypes.CFUNCTYPE(None, ctypes.c_void_p, ctypes.c_void_p, ctypes.c_void_p)
CALL = {name: KERNEL(_Compare.kernels[name]) for name in RICH}  # releases the lock
NATIVE = _Compare.native_layout != ""

MAKERS = r"""
#define PY_SSIZE_T_CLEAN
#include <Python.h>
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"

/* `text` again, but stored with the wider kind of `maxchar`: a string the
   interpreter itself never makes from Python code. */
PyObject* noncanonical(PyObject* text, unsigned maxchar) {
    Py_ssize_t n = PyUnicode_GET_LENGTH(text);
    PyObject* out = PyUnicode_New(n, maxchar);
    if (!out) return NULL;
    for (Py_ssize_t i = 0; i < n; ++i)
        PyUnicode_WRITE(PyUnicode_KIND(out), PyUnicode_DATA(out), i, PyUnicode_READ_CHAR(text, i));
    return out;
}

#if PY_VERSION_HEX < 0x030C0000
/* A legacy string: characters in a separate buffer, ready or not yet. */
PyObject* legacy(PyObject* text, int ready) {
    Py_ssize_t n;
    wchar_t* chars = PyUnicode_AsWideCharString(text, &n);
    if (!chars) return NULL;
    PyObject* out = PyUnicode_FromUnicode(NULL, n);
    if (out) {
        memcpy(PyUnicode_AS_UNICODE(out), chars, n * sizeof(wchar_t));
        if (ready && PyUnicode_READY(out) < 0) Py_CLEAR(out);
    }
    PyMem_Free(chars);
    return out;
}
#endif
"""


@pytest.fixture(scope="module")
def makers(build_native):
    lib = ctypes.PyDLL(build_native("compare_makers", MAKERS))
    lib.noncanonical.restype = ctypes.py_object
    lib.noncanonical.argtypes = [ctypes.py_object, ctypes.c_uint]
    if hasattr(lib, "legacy"):
        lib.legacy.restype = ctypes.py_object
        lib.legacy.argtypes = [ctypes.py_object, ctypes.c_int]
    return lib


def kernel_says(name, a, b):
    z, x, y = ctypes.c_bool(True), ctypes.c_int64(id(a)), ctypes.c_int64(id(b))
    CALL[name](ctypes.addressof(z), ctypes.addressof(x), ctypes.addressof(y))
    return z.value


# --- objects of every kind -----------------------------------------------------

class Str(str):
    def __lt__(self, other):  # a subclass the lock-free path must not answer
        return str.__ge__(self, other)


class Int(int):
    pass


class Float(float):
    def __eq__(self, other):
        return True

    __hash__ = float.__hash__


class Raises:
    def __eq__(self, other):
        raise ValueError("no equality")

    __lt__ = __gt__ = __le__ = __ge__ = __eq__
    __hash__ = object.__hash__


texts = st.text(st.characters(max_codepoint=0x1F600, blacklist_categories=("Cs",)), max_size=6)
plain = st.one_of(
    texts,
    st.text("ab", max_size=3),
    st.integers(min_value=-3, max_value=3),
    st.integers(),
    st.integers(min_value=-2**70, max_value=2**70),
    st.booleans(),
    st.floats(allow_nan=True, allow_infinity=True),
    st.sampled_from([0.0, -0.0, 1.0, float("nan")]),
    # Where an int stops fitting a double exactly.
    st.sampled_from([2**53, 2**53 + 1, -2**53 - 1, 2**62, float(2**53), float(2**53 + 2),
                     -float(2**53), 1e300]),
    st.binary(max_size=4),
    st.sampled_from([b"", b"\xff", b"a\x00"]),
)
wrapped = st.one_of(
    plain,
    texts.map(Str),
    st.integers().map(Int),
    st.floats().map(Float),
    st.tuples(st.integers(), texts),
    # Nested past the depth the lock-free path goes to.
    st.recursive(plain, lambda inner: st.tuples(inner) | st.tuples(inner, inner, inner).map(tuple),
                 max_leaves=8),
    st.lists(st.integers(min_value=-3, max_value=3), max_size=2),
    st.dictionaries(st.integers(min_value=0, max_value=2), st.floats(), max_size=2),
    st.just(None),
    st.builds(Raises),
)


@pytest.fixture(scope="module")
def variants(makers):
    """Strings the interpreter stores unusually: wider kinds than needed and,
    where the interpreter still has them, legacy strings."""
    def make(text, how):
        if how == "kind2":
            return makers.noncanonical(text, 0xFFFF) if max(text, default="a") <= "\uffff" else text
        if how == "kind4":
            return makers.noncanonical(text, 0x10FFFF)
        if how == "latin1":
            return makers.noncanonical(text, 0xFF) if max(text, default="a") <= "\xff" else text
        if how.startswith("legacy") and hasattr(makers, "legacy"):
            return makers.legacy(text, how == "legacy ready")
        return "".join(list(text))  # a fresh, canonical copy
    return make


HOWS = ["copy", "kind2", "kind4", "latin1", "legacy", "legacy ready"]


def same_every_way(a, b):
    for name in RICH:
        want = python_says(name, a, b)
        assert kernel_says(name, a, b) == want, (name, a, b)
        native = _Compare._native_answer(RICH[name], a, b)
        assert native in (None, want), (name, a, b)


@settings(max_examples=400, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(a=wrapped, b=wrapped, same=st.booleans())
def test_kernels_say_what_python_says(a, b, same):
    same_every_way(a, a if same else b)


def pair_of(values):
    return st.tuples(values, values)


@settings(max_examples=400, deadline=None)
@given(pair=st.one_of(pair_of(st.integers(min_value=-2**100, max_value=2**100)),
                      pair_of(st.integers(min_value=-3, max_value=3)),
                      pair_of(st.floats()), pair_of(texts), pair_of(st.binary(max_size=4))))
def test_pairs_of_one_type(pair):
    same_every_way(*pair)


@settings(max_examples=200, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(a=texts, b=texts, how_a=st.sampled_from(HOWS), how_b=st.sampled_from(HOWS))
def test_unusually_stored_strings(variants, a, b, how_a, how_b):
    x, y = variants(a, how_a), variants(b if b else a, how_b)
    same_every_way(x, y)
    same_every_way(x, variants(a, how_b))  # equal code points, maybe another kind


def nested(depth, item=1):
    """`item` inside `depth` one-item tuples, made anew at each call."""
    return functools.reduce(lambda t, _: (t,), range(depth), item)


def test_which_pairs_go_without_the_lock(makers):
    # What the lock-free path answers, and what it must leave to the lock.
    native = [("a", "b"), ("é", "€"), (1, 2**80), (True, 1), (1.5, float("nan")), (b"a", b"ab"),
              ("a", 1), ("a", 2.0), (b"a", 2.0), (True, "x"), (1, 2.0), (True, 2.5),
              (-2**53, float("-inf")), ((1,), "a"), ([1], (1,)), ({}, 1.5), (b"a", []),
              ((1,), tuple([1])), ((1, "a"), (1, "b", 0)), ((("x", 2.5),), (("x", 2),)),
              ((1, Int(2)), (0, Int(2))), (nested(4), nested(4))]
    locked = [(Str("a"), "b"), ("a", Str("b")), (Int(1), 2), (Float(1.0), 1.0), (2**53 + 1, 1.0),
              (1.0, -2**60), ("a", b"a"), (b"a", 1), (b"a", False), ((Int(1),), (1,)),
              ((1, [0]), (1, [0])), (nested(5), nested(5)), ([1], [1]), ({}, {}),
              ((1,), Int(1)), (None, 1), (Raises(), 1)]
    if hasattr(makers, "legacy"):
        locked += [(makers.legacy("ab", 1), "ab"), ("ab", makers.legacy("ab", 0))]
    for a, b in native:
        assert [_Compare._native_answer(op, a, b) is None for op in range(6)] == [not NATIVE] * 6
    for a, b in locked:
        assert [_Compare._native_answer(op, a, b) for op in range(6)] == [None] * 6
    # Identity answers EQ and NE for any object, without reading it.
    thing = Raises()
    assert [_Compare._native_answer(op, thing, thing) for op in (2, 3)] == [True, False]
    with pytest.raises(ValueError, match="^op must be a rich-comparison code from 0 to 5, not 6$"):
        _Compare._native_answer(6, 1, 2)


# --- through GraphBLAS ---------------------------------------------------------

@pytest.fixture(params=[1, 2, 8], ids=lambda n: f"{n}threads")
def nthreads(request):
    saved_n, saved_chunk = gffi.new("int*"), gffi.new("double*")
    grb.GxB_Global_Option_get(grb.GxB_NTHREADS, saved_n)
    grb.GxB_Global_Option_get(grb.GxB_CHUNK, saved_chunk)
    grb.GxB_Global_Option_set(grb.GxB_NTHREADS, gffi.cast("int", request.param))
    grb.GxB_Global_Option_set(grb.GxB_CHUNK, gffi.cast("double", 4.0))
    yield request.param
    grb.GxB_Global_Option_set(grb.GxB_NTHREADS, gffi.cast("int", saved_n[0]))
    grb.GxB_Global_Option_set(grb.GxB_CHUNK, gffi.cast("double", saved_chunk[0]))


def column(objects):
    n = len(objects)
    return Matrix.from_lists(list(range(n)), [0] * n, [id(o) for o in objects], n, 1,
                             typ=types.INT64)


@settings(max_examples=25, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(pairs=st.lists(st.tuples(wrapped, wrapped), min_size=1, max_size=300))
def test_operators_through_graphblas(nthreads, pairs):
    xs = [a for a, _ in pairs]
    ys = [b if k % 3 else a for k, (a, b) in enumerate(pairs)]  # some identical cells
    A, B = column(xs), column(ys)
    for name in RICH:
        want = [python_says(name, a, b) for a, b in zip(xs, ys)]
        assert A.emult(B, getattr(ops, name), cast=types.BOOL).to_lists()[2] == want, name
        assert getattr(ops, name)(A, B).to_lists()[2] == want, name


def test_lock_bound_calls_run_on_one_thread(nthreads):
    # ops.LT(A, B) runs a mostly lock-bound call on the calling thread, which
    # holds the lock throughout; its answers stay Python's either way.
    seen = set()

    class Noted(tuple):
        def __lt__(self, other):
            seen.add(threading.get_ident())
            return tuple.__lt__(self, other)

    n = 20000
    xs = [Noted((k % 7,)) for k in range(n)]
    ys = [(k % 5,) for k in range(n)]
    A, B = column(xs), column(ys)
    assert ops.LT(A, B).to_lists()[2] == [a < b for a, b in zip(xs, ys)]
    assert seen == {threading.get_ident()}
    # Every pair took the lock; pairs of str take it only without a layout reader.
    answers = np.empty(10, dtype=np.uint8)
    codes = lambda objs: np.array([id(o) for o in objs], dtype=np.int64)  # noqa: E731
    assert _Compare._compare_codes(0, codes(xs[:10]), codes(ys[:10]), answers, None, 4) == (1, 10)
    words = [str(k) for k in range(10)]
    assert _Compare._compare_codes(0, codes(words), codes(words[::-1]), answers, None, 4) == \
        (1, 0 if NATIVE else 10)
    assert answers.tolist() == [a < b for a, b in zip(words, words[::-1])]


def test_calls_holding_the_lock_take_emults_arguments(nthreads):
    # Vectors (sampled as one-column matrices), out, mask and accum: op(u, v)
    # gives exactly what u.emult(v, op) gives, on whichever path it takes.
    n = 3000
    xs = [(k % 3,) for k in range(n)] + ["a", 1, 2.5]
    ys = [(k % 4,) for k in range(n)] + ["b", 1.0, 2]
    size = len(xs)

    def vector(objects):
        return Vector.from_lists(list(range(size)), [id(o) for o in objects], size,
                                 typ=types.INT64)

    u, v = vector(xs), vector(ys)
    mask = Vector.from_lists(list(range(0, size, 2)), [True] * ((size + 1) // 2), size,
                             typ=types.BOOL)
    assert ops.LT(u, v).to_lists()[1] == [python_says("LT", a, b) for a, b in zip(xs, ys)]
    for name in ("EQ", "LT"):
        op = getattr(ops, name)
        outs = [Vector.from_lists(list(range(0, size, 3)), [True] * len(range(0, size, 3)),
                                  size, typ=types.BOOL) for _ in range(2)]
        got = op(u, v, None, outs[0], mask, types.BOOL.LOR)
        want = u.emult(v, op, cast=types.BOOL, out=outs[1], mask=mask, accum=types.BOOL.LOR)
        assert got is outs[0] and got.to_lists() == want.to_lists(), name
    with pytest.raises(TypeError):
        ops.LT(u, v, types.BOOL, cast=types.BOOL)  # pygraphblas's own complaint
    # A descriptor set with `with` still applies: here it transposes A.
    n = 60
    pool = [(k % 5,) for k in range(n * n)]
    A = Matrix.from_lists([k // n for k in range(n * n)], [k % n for k in range(n * n)],
                          [id(o) for o in pool], n, n, typ=types.INT64)
    B = A.emult(A, ops.FIRST)
    with descriptor.T0:
        got = ops.LT(A, B).to_lists()
    assert got == A.emult(B, ops.LT, cast=types.BOOL, desc=descriptor.T0).to_lists()
    assert got != ops.LT(A, B).to_lists()


# --- kept thread states --------------------------------------------------------

RUNNER = r"""
#include <Python.h>
#include <pthread.h>
#include <stdint.h>

typedef void (*kernel_t)(_Bool*, int64_t*, int64_t*);
struct job {
    kernel_t kernel; int64_t x, y; long calls;
    _Bool result; int kept, nested_same;
};

static void* run(void* arg) {
    struct job* j = arg;
    for (long i = 0; i < j->calls; ++i) j->kernel(&j->result, &j->x, &j->y);
    PyThreadState* kept = PyGILState_GetThisThreadState();
    j->kept = kept != NULL;
    /* A nested PyGILState_Ensure finds the kept state and leaves it kept. */
    PyGILState_STATE s = PyGILState_Ensure();
    j->nested_same = PyThreadState_Get() == kept;
    PyGILState_Release(s);
    j->nested_same &= PyGILState_GetThisThreadState() == kept;
    return NULL;
}

int run_on_new_threads(struct job* jobs, int count) {
    pthread_t threads[8];
    if (count > 8) return -1;
    for (int i = 0; i < count; ++i)
        if (pthread_create(&threads[i], NULL, run, &jobs[i]) != 0) return -1;
    for (int i = 0; i < count; ++i) pthread_join(threads[i], NULL);
    return 0;
}

/* Called with the lock held and an exception pending: a comparison that
   raises must leave the caller's exception as it was. */
int keeps_pending(kernel_t kernel, int64_t x, int64_t y) {
    PyErr_SetString(PyExc_KeyError, "the caller's own");
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    PyErr_Restore(type, value, tb);
    _Bool z = 1;
    kernel(&z, &x, &y);
    PyObject *t2, *v2, *tb2;
    PyErr_Fetch(&t2, &v2, &tb2);
    int same = t2 == type && v2 == value && z == 0;
    Py_XDECREF(t2); Py_XDECREF(v2); Py_XDECREF(tb2);
    return same;
}
"""


class Job(ctypes.Structure):
    _fields_ = [("kernel", ctypes.c_void_p), ("x", ctypes.c_int64), ("y", ctypes.c_int64),
                ("calls", ctypes.c_long), ("result", ctypes.c_bool), ("kept", ctypes.c_int),
                ("nested_same", ctypes.c_int)]


@pytest.fixture(scope="module")
def runner(build_native):
    return build_native("compare_runner", RUNNER)


def test_worker_threads_keep_one_state_and_leave_none(runner, thread_state_count):
    native = ctypes.CDLL(runner)  # releases the lock around the call
    a, b, c = [1, "x"], [2, "y"], Raises()
    cases = [("LT", a, b, True), ("EQ", a, a, True), ("GT", c, a, False), ("LT", "a", "b", True)]
    jobs = (Job * len(cases))()
    for job, (name, x, y, _) in zip(jobs, cases):
        job.kernel, job.x, job.y, job.calls = _Compare.kernels[name], id(x), id(y), 5000
    refs = [sys.getrefcount(o) for o in (a, b, c)]
    states = thread_state_count()
    assert native.run_on_new_threads(jobs, len(jobs)) == 0
    assert [j.result for j in jobs] == [want for *_, want in cases]
    # Threads that took the lock kept one state, which nested Ensure found;
    # the identity and str threads never needed one.
    assert [j.kept for j in jobs] == [1, 0, 1, int(not NATIVE)]
    assert all(j.nested_same for j in jobs if j.kept)
    assert thread_state_count() == states  # gone with their threads
    assert [sys.getrefcount(o) for o in (a, b, c)] == refs
    assert sys.exc_info() == (None, None, None)


def test_kept_states_are_counted_until_their_threads_end():
    # A fresh process, so that no earlier test's GraphBLAS workers keep a
    # state: every state beside the main thread's is one the kernels keep,
    # and the count says so both while GraphBLAS's threads live and once the
    # OpenMP runtime has ended them.
    proc = run_child("""
        import sys
        sys.path.insert(0, sys.argv[1])
        from threadstates import count_all as states
        from pygraphblas import Matrix, types, options_set
        from vorlane import _Compare, ops
        n = 20000
        objs = [[i % 7] for i in range(n)]
        A = Matrix.from_lists(list(range(n)), [0] * n, [id(o) for o in objs], n, 1,
                              typ=types.INT64)
        print(states(), _Compare._kept_thread_states())
        for threads in (4, 1):
            options_set(nthreads=threads, chunk=64)
            A.emult(A, ops.LT, cast=types.BOOL)  # every cell takes the lock
            print(states(), _Compare._kept_thread_states())
    """, os.path.dirname(os.path.abspath(__file__)))
    assert proc.returncode == 0, proc.stderr
    (start, kept0), (during, kept4), (after, kept1) = (
        map(int, line.split()) for line in proc.stdout.splitlines())
    assert (start, kept0) == (1, 0)
    assert 1 <= kept4 <= 3 and during == 1 + kept4
    assert after == 1 + kept1 and kept1 <= kept4


def test_pending_exception_of_the_caller_survives(runner):
    held = ctypes.PyDLL(runner)  # keeps the lock, as a caller inside Python would
    held.keeps_pending.argtypes = [ctypes.c_void_p, ctypes.c_int64, ctypes.c_int64]
    c = Raises()
    assert held.keeps_pending(_Compare.kernels["EQ"], id(c), id(1)) == 1


# --- exit ------------------------------------------------------------------------

def run_child(script, *args):
    return subprocess.run([sys.executable, "-c", textwrap.dedent(script), *map(str, args)],
                          capture_output=True, text=True, timeout=120, cwd=tempfile.gettempdir())


@pytest.mark.parametrize("threads", [1, 2])
def test_daemon_threads_on_both_paths_let_the_process_exit(threads):
    proc = run_child("""
        import sys, threading
        import numpy as np
        from pygraphblas import Matrix, Vector, types, options_set
        from vorlane import ops
        options_set(nthreads=int(sys.argv[1]), chunk=1024)
        n = 300
        objs = [(str(i % 37), i % 5) if i % 2 else str(i % 37) for i in range(n * n)]
        rows = [i // n for i in range(n * n)]
        cols = [i % n for i in range(n * n)]
        A = Matrix.from_lists(rows, cols, [id(o) for o in objs], n, n, typ=types.INT64)
        B = Matrix.from_lists(rows, cols, [id(o) for o in objs[::-1]], n, n, typ=types.INT64)
        started = threading.Event()

        def loop():
            while True:
                A.emult(B, ops.LT, cast=types.BOOL)  # on every thread asked for
                started.set()

        threading.Thread(target=loop, daemon=True).start()
        started.wait()
        print("main returns", flush=True)
    """, threads)
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout == "main returns\n"


def test_answers_are_false_once_exit_has_begun():
    proc = run_child("""
        import atexit, ctypes
        from vorlane import _Compare
        kernel = ctypes.CFUNCTYPE(None, ctypes.c_void_p, ctypes.c_void_p, ctypes.c_void_p)
        z = ctypes.c_bool()
        a, b = "same", ("t",)
        def say(name, x, y):
            cx, cy = ctypes.c_int64(id(x)), ctypes.c_int64(id(y))
            kernel(_Compare.kernels[name])(*map(ctypes.addressof, (z, cx, cy)))
            return z.value
        before = [say("EQ", a, a), say("LE", a, a), say("EQ", b, b), say("LE", b, b)]
        atexit._run_exitfuncs()
        after = [say("EQ", a, a), say("LE", a, a), say("EQ", b, b), say("LE", b, b)]
        print(before, after)
    """)
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.strip() == "[True, True, True, True] [False, False, False, False]"


def test_a_fork_child_does_not_wait_for_its_parents_comparisons():
    # The child of a fork taken while another thread compares inherits that
    # thread's raised lane; its exit must not wait for a thread it lacks.
    proc = run_child("""
        import atexit, os, threading, time
        from pygraphblas import Matrix, Vector, types, options_set
        from vorlane import ops
        options_set(nthreads=1)
        n = 200
        objs = [str(i % 37) for i in range(n * n)]
        rows, cols = [i // n for i in range(n * n)], [i % n for i in range(n * n)]
        A = Matrix.from_lists(rows, cols, [id(o) for o in objs], n, n, typ=types.INT64)
        started = threading.Event()

        def loop():
            while True:
                A.emult(A.transpose(), ops.LT, cast=types.BOOL)
                started.set()

        threading.Thread(target=loop, daemon=True).start()
        started.wait()
        finished = 0
        for _ in range(5):
            pid = os.fork()
            if pid == 0:
                atexit._run_exitfuncs()
                os._exit(0)
            deadline = time.monotonic() + 20
            while time.monotonic() < deadline:
                done, status = os.waitpid(pid, os.WNOHANG)
                if done:
                    finished += status == 0
                    break
                time.sleep(0.01)
            else:
                os.kill(pid, 9)
        print("children finished:", finished, flush=True)
    """)
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout == "children finished: 5\n"
