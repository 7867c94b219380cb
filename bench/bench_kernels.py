"""The kernels as GraphBLAS operators over 10**6 cells, each timed side by side
with its peer in the same run: NumPy's own comparison of the same two object
arrays, the kernel on one thread against itself on two, and the selections
against GraphBLAS's built-in FIRST and SECOND on the same matrices. Then
vorlane.ops as a user calls it: its comparisons, op(A, B), one native pass
over the intersection, on columns of str, int, float and a mixed column,
against NumPy, against themselves on two threads and against _Zembra's
kernels run by GraphBLAS, also while Python threads keep the interpreter
busy; a wide 1 x 2**36 matrix against the same cells in a square one; its
selections against the built-in operators they are."""
import pathlib
import random
import subprocess
import sys
import threading
import time

import numpy as np
import pygraphblas  # noqa: F401  (initialises GraphBLAS)
from suitesparse_graphblas import ffi as gffi, lib as grb

from pygraphblas import Matrix, types

from vorlane import _Compare, _Zembra, ops

_RICH = {"LT": 0, "EQ": 2}

CALLS_PROBE = pathlib.Path(__file__).resolve().parent.parent / "build" / "bench" / "kernel_calls"
SIDE = 1000
CELLS = SIDE * SIDE
REPEATS = 7
# The operator rows take about 10 ms a call, so they can afford more turns,
# which their two-thread rows need on a machine whose second core is shared.
OPERATOR_REPEATS = 21


def ok(info):
    if info != grb.GrB_SUCCESS:
        raise RuntimeError(f"GraphBLAS error {info}")


def wait(m):
    """Finishes a matrix's pending work: GraphBLAS 7 added a mode argument."""
    if len(gffi.typeof(grb.GrB_Matrix_wait).args) == 1:
        ok(grb.GrB_Matrix_wait(m))
    else:
        ok(grb.GrB_Matrix_wait(m[0], grb.GrB_MATERIALIZE))


def side_by_side(*runs, repeats=REPEATS, before=None):
    """Best time of each run, taking turns so that both see the same noise;
    `before` is called, untimed, before every run."""
    best = [float("inf")] * len(runs)
    for _ in range(repeats):
        for k, run in enumerate(runs):
            if before is not None:
                before()
            start = time.perf_counter()
            run()
            best[k] = min(best[k], time.perf_counter() - start)
    return best


def set_threads(n):
    ok(grb.GxB_Global_Option_set(grb.GxB_NTHREADS, gffi.cast("int", n)))


def short_strings(rng):
    # Short, often sharing a prefix and sometimes equal, as in real columns.
    return np.array(["".join(rng.choice("abcd") for _ in range(rng.randint(1, 8)))
                     for _ in range(CELLS)], dtype=object)


def code_matrix(objects):
    codes = np.fromiter((id(o) for o in objects), dtype=np.int64, count=CELLS)
    index = np.arange(CELLS, dtype=np.uint64)
    rows, cols = index // SIDE, index % SIDE
    m = gffi.new("GrB_Matrix*")
    ok(grb.GrB_Matrix_new(m, grb.GrB_INT64, SIDE, SIDE))
    ok(grb.GrB_Matrix_build_INT64(
        m[0], gffi.cast("GrB_Index*", gffi.from_buffer(rows)),
        gffi.cast("GrB_Index*", gffi.from_buffer(cols)),
        gffi.cast("int64_t*", gffi.from_buffer(codes)), CELLS, grb.GrB_FIRST_INT64))
    wait(m)
    return m


def kernel_operator(name, ztype):
    op = gffi.new("GrB_BinaryOp*")
    fn = gffi.cast("GxB_binary_function", _Zembra.ffi.addressof(_Zembra.lib, name))
    ok(grb.GrB_BinaryOp_new(op, fn, ztype, grb.GrB_INT64, grb.GrB_INT64))
    return op


class EWiseMult:
    """C = A .* B with one operator on a threads, into a C that is kept."""

    def __init__(self, op, a, b, ztype, threads):
        self.op, self.a, self.b, self.threads = op, a, b, threads
        self.c = gffi.new("GrB_Matrix*")
        ok(grb.GrB_Matrix_new(self.c, ztype, SIDE, SIDE))

    def __call__(self):
        set_threads(self.threads)
        ok(grb.GrB_Matrix_eWiseMult_BinaryOp(self.c[0], gffi.NULL, gffi.NULL, self.op,
                                             self.a[0], self.b[0], gffi.NULL))
        wait(self.c)

    def free(self):
        n = gffi.new("GrB_Index*")
        ok(grb.GrB_Matrix_nvals(n, self.c[0]))
        assert n[0] == CELLS
        ok(grb.GrB_Matrix_free(self.c))


def row(operation, vorlane_s, peer, peer_s, limit):
    ratio = vorlane_s / peer_s
    print(f"#   {operation}: {vorlane_s / CELLS * 1e9:.1f} ns/cell against {peer} "
          f"{peer_s / CELLS * 1e9:.1f} ns/cell, ratio {ratio:.2f}", file=sys.stderr)
    return {"operation": operation, "n": CELLS, "vorlane_s": vorlane_s, "peer": peer,
            "peer_s": peer_s, "goal": f"<= {limit}x", "met": ratio <= limit}


def columns(rng):
    """Pairs of object columns for the operator rows."""
    ints = lambda: np.array([rng.randint(-10**6, 10**6) for _ in range(CELLS)], dtype=object)
    floats = lambda: np.array([rng.uniform(-1e3, 1e3) for _ in range(CELLS)], dtype=object)
    words = ["road", "rail", "river", "air", "sea"]

    def mixed():
        out = np.empty(CELLS, dtype=object)
        for i in range(CELLS):
            k = rng.randrange(4)
            n = rng.randrange(1000)
            out[i] = (rng.choice(words) + str(n), n, n / 10, (rng.choice(words), n))[k]
        return out

    return {"short str": (short_strings(rng), short_strings(rng)), "int": (ints(), ints()),
            "float": (floats(), floats()), "mixed str/int/float/tuple": (mixed(), mixed())}


def graphblas_matrix(objects):
    """A pygraphblas Matrix over the codes of `objects` (it frees its own)."""
    return Matrix(code_matrix(objects), types.INT64)


class Timed:
    """`call` with GraphBLAS on `threads` threads."""

    def __init__(self, call, threads):
        self.call, self.threads = call, threads

    def __call__(self):
        set_threads(self.threads)
        self.call()


def builtin_scaling_row(a, b):
    """GraphBLAS's built-in FIRST on one and two threads: on a second core
    that is busy elsewhere, no two-thread row of this run means anything.
    The copy is bound by memory, so a free core takes off less than half
    (0.5 to 0.8 of the time on these machines); a busy one makes two threads
    slower than one."""
    one, two = (EWiseMult(grb.GrB_FIRST_INT64, a, b, grb.GrB_INT64, n) for n in (1, 2))
    t_one, t_two = side_by_side(one, two)
    one.free(), two.free()
    r = row("GrB_FIRST_INT64 eWiseMult, 2 threads (second core check)", t_two,
            "the same, 1 thread", t_one, 0.85)
    return r, r["met"]


def operator_rows(a_first, b_first):
    out = []
    scaling, two_valid = builtin_scaling_row(a_first, b_first)
    out.append(scaling)

    def two_thread_row(*args):
        r = row(*args)
        if not two_valid:
            r["goal"] += " (invalid: second core busy)"
            r["met"] = None
        return r

    rng = random.Random(11)
    for label, (x, y) in columns(rng).items():
        A, B = graphblas_matrix(x), graphblas_matrix(y)
        for name, numpy_op in (("EQ", np.equal), ("LT", np.less)):
            op = getattr(ops, name)
            one, two = Timed(lambda: op(A, B), 1), Timed(lambda: op(A, B), 2)
            if label.startswith("mixed"):
                zop = kernel_operator("PyObject_" + name, grb.GrB_BOOL)
                zembra = EWiseMult(zop[0], A._matrix, B._matrix, grb.GrB_BOOL, 1)
                t_one, t_two, t_zembra = side_by_side(one, two, zembra)
                zembra.free()
                ok(grb.GrB_BinaryOp_free(zop))
                out.append(row(f"ops.{name}, {label}, 1 thread", t_one,
                               f"_Zembra PyObject_{name} via emult, 1 thread", t_zembra, 0.45))
                out.append(two_thread_row(f"ops.{name}, {label}, 2 threads", t_two,
                                          f"ops.{name}, 1 thread", t_one, 1.05))
            else:
                # The pass alone, on two code arrays NumPy holds: what is left
                # once GraphBLAS has found the common cells and moved their
                # codes.
                xs, ys = (np.fromiter(map(id, c), dtype=np.int64, count=CELLS) for c in (x, y))
                answers = np.empty(CELLS, dtype=np.uint8)
                rich = _RICH[name]
                t_one, t_two, t_numpy, t_pass = side_by_side(
                    one, two, lambda: numpy_op(x, y),
                    lambda: _Compare._compare_codes(rich, xs, ys, answers, None, 1),
                    repeats=OPERATOR_REPEATS)
                out.append(row(f"ops.{name}, {label}, 1 thread", t_one,
                               f"numpy {numpy_op.__name__} (object)", t_numpy, 0.6))
                pass_row = row(f"  its comparison pass alone, {label}, 1 thread", t_pass,
                               f"numpy {numpy_op.__name__} (object)", t_numpy, 0.6)
                pass_row["goal"], pass_row["met"] = "- (where the time goes)", None
                out.append(pass_row)
                out.append(two_thread_row(f"ops.{name}, {label}, 2 threads", t_two,
                                          f"ops.{name}, 1 thread", t_one, 0.6))
        for name, builtin in (("FIRST", grb.GrB_FIRST_INT64), ("SECOND", grb.GrB_SECOND_INT64)):
            if label != "short str":
                break
            op = getattr(ops, name)
            mine = Timed(lambda: A.eadd(B, op), 1)
            theirs = EWiseAdd(builtin, A._matrix, B._matrix, 1)
            t_mine, t_theirs = side_by_side(mine, theirs, repeats=OPERATOR_REPEATS)
            out.append(row(f"ops.{name} via A.eadd, 1 thread", t_mine,
                           f"GrB_{name}_INT64 eWiseAdd direct", t_theirs, 1.5))
            theirs.free()
        del A, B
    return out


BUSY_CELLS = 10**5


def busy_python_threads_rows():
    """A mixed column (str, int, float, NaN, a quarter of cells a tuple)
    while two Python threads keep the interpreter busy, as in a server:
    ops.EQ/LT on 2 threads against the same comparison as a GraphBLAS
    operator (A.emult(B, op)) on 2 threads. A call loses time whenever it
    hands the lock to a busy thread, which then keeps it for a switch
    interval. The goals are the times of op(A, B) on this column before it
    became one native pass, in the run of commit 026f7b8 (other runs of that
    code gave up to 17 ms)."""
    rng = random.Random(5)
    pool = ["alpha", "beta", "gamma", "delta", 7, 3.5, float("nan"), ("t", 1)]
    xs, ys = ([rng.choice(pool) for _ in range(BUSY_CELLS)] for _ in range(2))

    def column(objects):
        return Matrix.from_lists(list(range(BUSY_CELLS)), [0] * BUSY_CELLS,
                                 [id(o) for o in objects], BUSY_CELLS, 1, typ=types.INT64)

    A, B = column(xs), column(ys)
    stop = threading.Event()

    def churn():
        while not stop.is_set():
            [{"k": (i, str(i))} for i in range(200)]

    # The thread count is set once, outside the timed calls: setting it goes
    # through cffi, which hands the lock to a busy thread now and then.
    set_threads(2)
    workers = [threading.Thread(target=churn) for _ in range(2)]
    for w in workers:
        w.start()
    out = []
    try:
        for name, before in (("EQ", 2.94e-3), ("LT", 13.84e-3)):
            op = getattr(ops, name)
            # A call loses the lock to a busy thread for a switch interval
            # (5 ms) whenever the current one runs out meanwhile. Back to
            # back, the two calls would lock into one phase, the same one
            # always cut: a pause of random length before each call starts
            # it at a random point of the interval, and the best of several
            # turns is the call's own cost.
            pause = random.Random(3)
            t_mine, t_theirs = side_by_side(
                lambda: op(A, B), lambda: A.emult(B, op, cast=types.BOOL), repeats=15,
                before=lambda: time.sleep(pause.uniform(0, 5e-3)))
            print(f"#   ops.{name} with busy threads: {t_mine * 1e3:.2f} ms per 10**5 cells",
                  file=sys.stderr)
            out.append({"operation": f"ops.{name}, 1/4 tuples, 2 busy Python threads",
                        "n": BUSY_CELLS, "vorlane_s": t_mine,
                        "peer": f"A.emult(B, ops.{name}), the same", "peer_s": t_theirs,
                        "goal": f"<= {before * 1e3:.2f} ms, as before", "met": t_mine <= before})
    finally:
        stop.set()
        for w in workers:
            w.join()
    return out


WIDE_CELLS = 150_000


def wide_matrix_rows():
    """1 x 2**36 with 150,000 cells against the same cells in a 400 x 400
    matrix: the cost follows the cells, never the shape."""
    rng = np.random.default_rng(17)
    flat = np.sort(rng.choice(400 * 400, size=WIDE_CELLS, replace=False))
    words = ["".join(rng.choice(list("abcd"), size=6)) for _ in range(WIDE_CELLS)]
    others = ["".join(rng.choice(list("abcd"), size=6)) for _ in range(WIDE_CELLS)]

    def matrix(rows, cols, objects, nrows, ncols):
        return Matrix.from_lists(rows.tolist(), cols.tolist(), [id(o) for o in objects], nrows, ncols,
                                 typ=types.INT64)

    wide_cols = np.sort(rng.choice(2 ** 36, size=WIDE_CELLS, replace=False))
    zeros = np.zeros(WIDE_CELLS, dtype=np.int64)
    A, B = matrix(zeros, wide_cols, words, 1, 2 ** 36), matrix(zeros, wide_cols, others, 1, 2 ** 36)
    S, T = (matrix(flat // 400, flat % 400, objs, 400, 400) for objs in (words, others))
    out = []
    for threads in (1, 2):
        t_wide, t_square = side_by_side(Timed(lambda: ops.LT(A, B), threads),
                                        Timed(lambda: ops.LT(S, T), threads), repeats=REPEATS)
        out.append({"operation": f"ops.LT, 1 x 2**36, {threads} thread(s)", "n": WIDE_CELLS,
                    "vorlane_s": t_wide, "peer": "the same cells in 400 x 400", "peer_s": t_square,
                    "goal": "<= 2x", "met": t_wide <= 2 * t_square})
    return out


def gbops_rows():
    """gbops.EQ/LT on the python-graphblas front, where it is installed,
    against NumPy on the same columns: the same native pass."""
    try:
        from graphblas import Matrix as GbMatrix
        from graphblas import dtypes

        from vorlane import gbops
    except ImportError:
        return []
    rng = random.Random(23)
    x, y = short_strings(rng), short_strings(rng)
    index = np.arange(CELLS, dtype=np.int64)

    def matrix(objects):
        codes = np.fromiter((id(o) for o in objects), dtype=np.int64, count=CELLS)
        return GbMatrix.from_coo(index // SIDE, index % SIDE, codes, nrows=SIDE, ncols=SIDE,
                                 dtype=dtypes.INT64)

    A, B = matrix(x), matrix(y)
    out = []
    for name, numpy_op in (("EQ", np.equal), ("LT", np.less)):
        op = getattr(gbops, name)
        t_mine, t_numpy = side_by_side(Timed(lambda: op(A, B), 1), lambda: numpy_op(x, y),
                                       repeats=OPERATOR_REPEATS)
        out.append(row(f"gbops.{name}, short str, 1 thread", t_mine,
                       f"numpy {numpy_op.__name__} (object)", t_numpy, 0.6))
    return out


class EWiseAdd(EWiseMult):
    """C = A + B with one operator on a threads, into a C that is kept."""

    def __init__(self, op, a, b, threads):
        super().__init__(op, a, b, grb.GrB_INT64, threads)

    def __call__(self):
        set_threads(self.threads)
        ok(grb.GrB_Matrix_eWiseAdd_BinaryOp(self.c[0], gffi.NULL, gffi.NULL, self.op,
                                            self.a[0], self.b[0], gffi.NULL))
        wait(self.c)


def call_rows():
    """PyObject_LT called directly, without GraphBLAS, taken apart by the
    native probe that `make bench` builds: the lock pair that every call pays
    sets its floor."""
    if not CALLS_PROBE.exists():
        print("#   (no build/bench/kernel_calls: run `make bench` for the per-call rows)",
              file=sys.stderr)
        return []
    out = subprocess.run([str(CALLS_PROBE), _Zembra.__file__], capture_output=True,
                         text=True, check=True).stdout
    t = {name: float(value) for name, value in (line.split() for line in out.splitlines())}
    return [{"operation": f"PyObject_LT call, {what}", "n": 1, "vorlane_s": t[key],
             "peer": "RichCompareBool alone", "peer_s": t["compare_only"], "goal": "-",
             "met": None}
            for what, key in (("lock pair alone", "lock_pair_only"),
                              ("caller owns a thread state", "kernel_own_thread_state"),
                              ("fresh native thread", "kernel_fresh_thread"))]


def rows():
    rng = random.Random(7)
    x, y = short_strings(rng), short_strings(rng)
    a, b = code_matrix(x), code_matrix(y)
    saved = gffi.new("int*")
    ok(grb.GxB_Global_Option_get(grb.GxB_NTHREADS, saved))
    out = []
    try:
        for name, numpy_op in (("EQ", np.equal), ("LT", np.less)):
            op = kernel_operator("PyObject_" + name, grb.GrB_BOOL)
            one, two = (EWiseMult(op[0], a, b, grb.GrB_BOOL, n) for n in (1, 2))
            t_one, t_two, t_numpy = side_by_side(one, two, lambda: numpy_op(x, y))
            out.append(row(f"PyObject_{name} eWiseMult, 1 thread", t_one,
                           f"numpy {numpy_op.__name__}", t_numpy, 2))
            out.append(row(f"PyObject_{name} eWiseMult, 2 threads", t_two,
                           f"PyObject_{name}, 1 thread", t_one, 1.5))
            one.free(), two.free()
            ok(grb.GrB_BinaryOp_free(op))
        for name, builtin in (("FIRST", grb.GrB_FIRST_INT64), ("SECOND", grb.GrB_SECOND_INT64)):
            op = kernel_operator("PyObject_" + name, grb.GrB_INT64)
            for threads in (1, 2):
                mine = EWiseMult(op[0], a, b, grb.GrB_INT64, threads)
                theirs = EWiseMult(builtin, a, b, grb.GrB_INT64, threads)
                t_mine, t_theirs = side_by_side(mine, theirs)
                out.append(row(f"PyObject_{name} eWiseMult, {threads} thread(s)", t_mine,
                               f"GrB_{name}_INT64", t_theirs, 2))
                mine.free(), theirs.free()
            ok(grb.GrB_BinaryOp_free(op))
        out += operator_rows(a, b)
        out += busy_python_threads_rows()
        out += wide_matrix_rows()
        out += gbops_rows()
    finally:
        set_threads(saved[0])
        ok(grb.GrB_Matrix_free(a))
        ok(grb.GrB_Matrix_free(b))
    return out + call_rows()
