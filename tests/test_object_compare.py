"""op(A, B) of vorlane.ops and vorlane.gbops, one suite for both fronts: the
result equals the binding's own element-wise product with the operator in
every storage format, under masks, accumulators, replace and transposes;
and what once crashed, hung, leaked or swallowed an interrupt cannot again.
Crash-class cases run in child processes."""
import os
import subprocess
import sys
import textwrap
import threading
import time

import numpy as np
import pytest
from suitesparse_graphblas import ffi as gffi
from suitesparse_graphblas import lib as grb

from fronts import available
from pyanswers import PY, python_says

POOL = ["apple", "pear", "".join(["ap", "ple"]), float("nan"), 3, 2.5, True, ("t", 1), ("t", 2),
        b"x", 7, "pear"]


@pytest.fixture(params=available(), ids=lambda f: f.name)
def front(request):
    return request.param()


@pytest.fixture(params=[1, 2], ids=lambda n: f"{n}threads")
def nthreads(request):
    saved = gffi.new("int*")
    grb.GxB_Global_Option_get(grb.GxB_NTHREADS, saved)
    grb.GxB_Global_Option_set(grb.GxB_NTHREADS, gffi.cast("int", request.param))
    yield request.param
    grb.GxB_Global_Option_set(grb.GxB_NTHREADS, gffi.cast("int", saved[0]))


def random_cells(rng, nrows, ncols, count, pool=POOL):
    """`count` distinct coordinates and the objects at them."""
    flat = rng.choice(nrows * ncols, size=count, replace=False)
    objects = [pool[k] for k in rng.integers(0, len(pool), count)]
    return flat // ncols, flat % ncols, objects


def codes(objects):
    return np.array([id(o) for o in objects], dtype=np.int64)


def python_cells(name, rows, cols, xs, ys_by_key):
    keys = sorted((int(r), int(c)) for r, c in zip(rows, cols))
    by_key = {(int(r), int(c)): x for r, c, x in zip(rows, cols, xs)}
    both = [k for k in keys if k in ys_by_key]
    return both, [python_says(name, by_key[k], ys_by_key[k]) for k in both]


# --- results equal the element-wise product ------------------------------------

@pytest.fixture(params=["by_row", "by_col"])
def orientation(request):
    # New containers, the intersections among them, take the global format.
    saved = gffi.new("int*")
    grb.GxB_Global_Option_get(grb.GxB_FORMAT, saved)
    grb.GxB_Global_Option_set(grb.GxB_FORMAT, gffi.cast("int", getattr(grb, "GxB_" + request.param.upper())))
    yield request.param
    grb.GxB_Global_Option_set(grb.GxB_FORMAT, gffi.cast("int", saved[0]))


@pytest.mark.parametrize("density", [0.02, 0.3, 0.5, 1.0], ids=["hyper", "sparse", "bitmap", "full"])
def test_every_storage_format_gives_pythons_answers(front, nthreads, orientation, density):
    rng = np.random.default_rng(int(density * 100))
    n = 40
    count = int(n * n * density)
    ra, ca, xa = random_cells(rng, n, n, count)
    rb, cb, xb = random_cells(rng, n, n, count)
    A, B = front.matrix(ra, ca, codes(xa), n, n), front.matrix(rb, cb, codes(xb), n, n)
    ys = {(int(r), int(c)): y for r, c, y in zip(rb, cb, xb)}
    for name in sorted(PY):
        got = front.compare(name, A, B)
        assert front.cells(got) == python_cells(name, ra, ca, xa, ys), name
        assert front.cells(got) == front.cells(front.reference(name, A, B)), name


def test_large_inputs_on_graphblas_threads_give_pythons_answers(front):
    # Enough cells for the lock-free part to run on GraphBLAS's own team with
    # the interpreter lock released; kinds that mix without the lock (an int
    # against a float, a container against a scalar) and ones that need it.
    saved = gffi.new("int*")
    grb.GxB_Global_Option_get(grb.GxB_NTHREADS, saved)
    grb.GxB_Global_Option_set(grb.GxB_NTHREADS, gffi.cast("int", 2))
    try:
        pool = POOL + [[1], {"k": 1}, 2**60, float(2**60), -0.0, 0]
        rng = np.random.default_rng(3)
        n = 520
        rows, cols = np.repeat(np.arange(n), n), np.tile(np.arange(n), n)
        xs = [pool[k] for k in rng.integers(0, len(pool), n * n)]
        ys = [pool[k] for k in rng.integers(0, len(pool), n * n)]
        A, B = front.matrix(rows, cols, codes(xs), n, n), front.matrix(rows, cols, codes(ys), n, n)
        for name in ("EQ", "LT"):
            got = front.cells(front.compare(name, A, B))[1]
            assert got == [python_says(name, x, y) for x, y in zip(xs, ys)], name
    finally:
        grb.GxB_Global_Option_set(grb.GxB_NTHREADS, gffi.cast("int", saved[0]))


def test_iso_operands_and_empty_intersections(front):
    # One object in every cell makes GraphBLAS keep a single code (iso).
    word, other = "".join(["wo", "rd"]), "word"
    n = 30
    rows, cols = np.repeat(np.arange(n), n), np.tile(np.arange(n), n)
    same = front.matrix(rows, cols, codes([word] * n * n), n, n)
    again = front.matrix(rows, cols, codes([other] * n * n), n, n)
    mixed = front.matrix(rows, cols, codes(POOL * (n * n // len(POOL)) + POOL[:n * n % len(POOL)]), n, n)
    for A, B in ((same, again), (same, mixed), (mixed, same), (same, same)):
        for name in ("EQ", "LT", "NE"):
            assert front.cells(front.compare(name, A, B)) == front.cells(front.reference(name, A, B))
    disjoint = front.matrix([0], [1], codes([word]), n, n)
    alone = front.matrix([1], [0], codes([word]), n, n)
    assert front.cells(front.compare("EQ", disjoint, alone)) == ([], [])


@pytest.mark.parametrize("structure,complement,replace",
                         [(False, False, False), (True, False, True), (False, True, False),
                          (True, True, True), (False, True, True)])
def test_out_mask_accum_replace_and_transpose_as_the_product(front, structure, complement, replace):
    rng = np.random.default_rng(5)
    n = 25
    ra, ca, xa = random_cells(rng, n, n, 300)
    rb, cb, xb = random_cells(rng, n, n, 300)
    A, B = front.matrix(ra, ca, codes(xa), n, n), front.matrix(rb, cb, codes(xb), n, n)
    rm, cm, _ = random_cells(rng, n, n, 200)
    mask = front.matrix(rm, cm, rng.integers(0, 2, 200).astype(bool), n, n, dtype="BOOL")
    ro, co, _ = random_cells(rng, n, n, 100)
    before = front.matrix(ro, co, rng.integers(0, 2, 100).astype(bool), n, n, dtype="BOOL")
    settings = dict(mask=mask, structure=structure, complement=complement, replace=replace)
    for name in ("LT", "EQ"):
        for accum in (None, "lor"):
            got = front.compare(name, A, B, out=front.dup(before), accum=accum, **settings)
            want = front.reference(name, A, B, out=front.dup(before), accum=accum, **settings)
            assert front.cells(got) == front.cells(want), (name, accum)
        got = front.compare(name, A, B, transpose_a=True, dtype="INT8", mask=mask, structure=structure,
                            complement=complement)
        want = front.reference(name, A, B, transpose_a=True, dtype="INT8", mask=mask,
                               structure=structure, complement=complement)
        assert front.cells(got) == front.cells(want)
        assert front.cells(got) != front.cells(front.compare(name, A, B, dtype="INT8", mask=mask,
                                                             structure=structure, complement=complement))


def test_vectors_as_matrices(front, nthreads):
    rng = np.random.default_rng(9)
    size = 5000
    ia, _, xa = random_cells(rng, size, 1, 3000)
    ib, _, xb = random_cells(rng, size, 1, 3000)
    u, v = front.vector(ia, codes(xa), size), front.vector(ib, codes(xb), size)
    ys = {(int(i),): y for i, y in zip(ib, xb)}
    by = {(int(i),): x for i, x in zip(ia, xa)}
    for name in ("GE", "NE"):
        got = front.compare(name, u, v)
        both = sorted(set(by) & set(ys))
        assert front.cells(got) == (both, [python_says(name, by[k], ys[k]) for k in both])
        mask = front.vector(ia[:500], np.ones(500, dtype=bool), size, dtype="BOOL")
        assert front.cells(front.compare(name, u, v, mask=mask, complement=True)) == \
            front.cells(front.reference(name, u, v, mask=mask, complement=True))


# --- refusals --------------------------------------------------------------------

def test_shapes_that_do_not_fit_raise_the_bindings_own_error(front):
    word = "w"
    A = front.matrix([0, 1], [0, 1], codes([word, word]), 2, 2)
    B = front.matrix([0, 2], [0, 2], codes([word, word]), 3, 3)
    with pytest.raises(front.DimensionMismatch, match=r"^GrB_Matrix_eWiseMult_BinaryOp failed with "
                                                      r"GrB_DIMENSION_MISMATCH"):
        front.compare("NE", A, B)
    with pytest.raises(front.DimensionMismatch):
        front.compare("LT", A, A, mask=front.matrix([0], [0], [True], 3, 3, dtype="BOOL"))


# Cases that crashed the interpreter or hung: each in a child of its own.
CHILD_PRELUDE = """
import os, signal, sys, time
import numpy as np
sys.path.insert(0, {tests!r})
from fronts import {front}
front = {front}()
from suitesparse_graphblas import ffi, lib
lib.GxB_Global_Option_set(lib.GxB_NTHREADS, ffi.cast("int", 2))
def codes(objects):
    return np.array([id(o) for o in objects], dtype=np.int64)
"""


def run_child(front, body, timeout=120):
    source = CHILD_PRELUDE.format(tests=os.path.dirname(__file__), front=type(front).__name__)
    source += textwrap.dedent(body)
    # Run from tests/: the work tree's vorlane/ has no built modules.
    done = subprocess.run([sys.executable, "-c", source], capture_output=True, text=True,
                          timeout=timeout, cwd=os.path.dirname(__file__))
    assert done.returncode == 0, done.stderr[-3000:]
    return done.stdout


def test_wrong_inputs_are_refused_before_any_cell_is_read(front):
    out = run_child(front, """
        A = front.matrix([0], [0], codes(["w"]), 2, 2)
        for dtype in ("FP64", "BOOL", "INT32", "UINT64"):
            other = front.matrix([0], [0], [1], 2, 2, dtype=dtype)
            for first, second in ((A, other), (other, other)):
                try:
                    front.compare("LT", first, second)
                except TypeError as e:
                    print(e)
        u = front.vector([0], codes(["w"]), 2)
        for first, second in ((A, u), (u, A), (A, "A"), (None, A), (np.zeros(2), np.zeros(2)), (A, 8)):
            try:
                front.compare("EQ", first, second)
            except TypeError as e:
                print(type(e).__name__)
    """)
    lines = out.splitlines()
    assert lines[:8] == [f"{which} holds {dtype} cells, not INT64 object codes"
                         for dtype in ("FP64", "BOOL", "INT32", "UINT64") for which in "BA"]
    assert lines[8:] == ["TypeError"] * 6


def test_codes_that_cannot_be_objects_are_refused_in_a_child(front):
    out = run_child(front, """
        small = front.matrix([0, 1, 2], [0, 1, 2], [0, 1, 2], 3, 3)
        word = front.matrix([0, 1, 2], [0, 1, 2], codes(["a", "b", "c"]), 3, 3)
        for A, B in ((small, small), (word, small), (small, word)):
            for name in ("LT", "EQ"):
                try:
                    front.compare(name, A, B)
                except ValueError as e:
                    print(e)
        odd = front.matrix([0], [0], [codes(["a"])[0] + 3], 3, 3)
        try:
            front.compare("GE", odd, word)
        except ValueError as e:
            print(e)
        # A BOOL result fed back in, and an FP64 matrix against itself.
        result = front.compare("LT", word, word)
        for M in (result, front.matrix([0], [0], [1.5], 3, 3, dtype="FP64")):
            try:
                front.compare("LT", M, M)
            except TypeError as e:
                print(e)
    """)
    lines = out.splitlines()
    assert len(lines) == 9
    assert all(line.startswith("a cell holds ") and line.endswith(
        ", which cannot be an object code: the matrices must hold codes of objects a store keeps")
        for line in lines[:7]), lines
    assert lines[7:] == ["A holds BOOL cells, not INT64 object codes",
                         "A holds FP64 cells, not INT64 object codes"]


def test_a_wide_matrix_costs_its_cells_not_its_columns(front):
    # 1 x 2**40 with 150,000 cells: as cheap per cell as a square matrix. A
    # pass that looked at the columns would take hours, or run out of memory.
    out = run_child(front, """
        ncols, count = 2 ** 40, 150_000
        rng = np.random.default_rng(3)
        cols = np.unique(rng.integers(0, ncols, count))
        words = [str(k % 977) for k in range(len(cols))]
        others = [str(k % 991) for k in range(len(cols))]
        A = front.matrix(np.zeros(len(cols)), cols, codes(words), 1, ncols)
        B = front.matrix(np.zeros(len(cols)), cols, codes(others), 1, ncols)
        mask = front.matrix(np.zeros(10), cols[:10], np.ones(10, dtype=bool), 1, ncols, dtype="BOOL")
        for name in ("LT", "EQ"):
            keys, values = front.cells(front.compare(name, A, B))
            want = [(a < b) if name == "LT" else (a == b) for a, b in zip(words, others)]
            assert values == want and len(keys) == len(cols), name
            keys, values = front.cells(front.compare(name, A, B, mask=mask, structure=True))
            assert len(keys) == 10
        print("ok")
    """, timeout=60)
    assert out == "ok\n"


def test_no_graphblas_object_leaks_on_any_error_path(front):
    # Each failing call on 300,000 cells would leave megabytes behind if the
    # intersection, or its unpacked arrays, were not freed on the way out.
    out = run_child(front, """
        def rss():
            with open("/proc/self/statm") as f:
                return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")
        class Stop:
            def __lt__(self, other):
                raise KeyboardInterrupt
        n = 300_000
        words = [str(k) for k in range(n)]
        stop = [Stop()] + words[1:]
        bad = codes(words)
        bad[-1] = 8
        rows = np.arange(n)
        A = front.matrix(rows, rows, codes(words), n, n)
        S = front.matrix(rows, rows, codes(stop), n, n)
        Bad = front.matrix(rows, rows, bad, n, n)
        W = front.matrix(rows[:-1], rows[:-1], codes(words[:-1]), n - 1, n - 1)
        def calls():
            for _ in range(15):
                for X, Y, error in ((A, Bad, ValueError), (S, A, KeyboardInterrupt),
                                    (A, W, front.DimensionMismatch)):
                    try:
                        front.compare("LT", X, Y)
                    except error:
                        pass
                    else:
                        raise AssertionError("no error")
        calls()
        before = rss()
        calls()
        print((rss() - before) // 2 ** 20)
    """)
    assert int(out) < 16, f"{out.strip()} MiB more after 45 failing calls"


def test_interrupts_end_the_call_and_ordinary_errors_answer_false(front):
    out = run_child(front, """
        class Raises:
            def __init__(self, error):
                self.error = error
            def __lt__(self, other):
                raise self.error
        class Interrupts:
            calls = 0
            def __lt__(self, other):
                Interrupts.calls += 1
                if Interrupts.calls == 100:
                    os.kill(os.getpid(), signal.SIGINT)  # the default handler raises
                return True
        def on_term(*_):
            sys.exit(3)
        signal.signal(signal.SIGTERM, on_term)
        class Terminated:
            def __lt__(self, other):
                os.kill(os.getpid(), signal.SIGTERM)
                return True
        n = 1000
        tail = ["x"] * n
        def column(objs):
            return front.matrix(np.arange(len(objs)), np.zeros(len(objs)), codes(objs), len(objs), 1)
        B = column(["y"] * (200 + n))
        for first, want in ((Raises(ValueError("no order")), "answered"), (Raises(TypeError), "answered"),
                            (Raises(KeyboardInterrupt), "KeyboardInterrupt"),
                            (Raises(SystemExit(2)), "SystemExit"),
                            (Interrupts(), "KeyboardInterrupt"), (Terminated(), "SystemExit")):
            objs = [first] * 200 + tail
            try:
                result = front.compare("LT", column(objs), B)
                got = "answered"
                assert front.cells(result)[1][:200] == [False] * 200
            except (KeyboardInterrupt, SystemExit) as e:
                got = type(e).__name__
            print(got == want, got)
    """)
    assert all(line.startswith("True") for line in out.splitlines()), out
    assert len(out.splitlines()) == 6


def test_a_subinterpreter_is_refused_at_import(tmp_path):
    # The operators take the lock through the main interpreter; in another
    # one vorlane.ops must fail to import, never hang in a comparison.
    # Nothing imported in the child first: NumPy loads into one interpreter
    # only, and this one's must be the subinterpreter's.
    source = textwrap.dedent("""
        from subinterp import run_in_legacy_interpreter
        code = "import vorlane.ops\\nA = vorlane.ops._Matrix.from_lists([0], [0], [id(('a',))])\\nvorlane.ops.LT(A, A)"
        print(run_in_legacy_interpreter(code) or "ran")
    """)
    done = subprocess.run([sys.executable, "-c", source], capture_output=True, text=True, timeout=60,
                          cwd=os.path.dirname(__file__))
    assert done.returncode == 0, done.stderr
    assert "vorlane._Compare can only be loaded into the main interpreter" in done.stdout, done.stdout


# --- threads ---------------------------------------------------------------------

def test_thread_count_follows_the_work_and_graphblas_ceiling():
    from vorlane import _Compare

    words = [str(k) for k in range(1000)]
    xs = np.array([id(w) for w in words] * 400, dtype=np.int64)
    ys = xs[::-1].copy()
    out = np.empty(len(xs), dtype=np.uint8)
    assert _Compare._compare_codes(0, xs[:1000], ys[:1000], out[:1000], None, 8)[0] == 1
    assert _Compare._compare_codes(0, xs, ys, out, None, 1)[0] == 1
    assert _Compare._compare_codes(0, xs, ys, out, None, 4)[0] == 4
    assert out.tolist() == [a < b for a, b in zip(words * 400, (words * 400)[::-1])]
    # On GraphBLAS's own OpenMP team, which every binding here links.
    from vorlane._comparison import _TEAM
    assert _TEAM != 0
    team_out = np.empty_like(out)
    assert _Compare._compare_codes(0, xs, ys, team_out, None, 4, _TEAM)[0] == 4
    assert (team_out == out).all()
    # Results may go into the codes' own memory, as GraphBLAS's arrays do.
    alias = xs.copy()
    _Compare._compare_codes(0, alias, ys, alias.view(np.uint8)[:len(xs)], None, 4)
    assert (alias.view(np.uint8)[:len(xs)] == out).all()
    with pytest.raises(ValueError, match=r"^max_threads must be at least 1, not 0$"):
        _Compare._compare_codes(0, xs, ys, out, None, 0)
    with pytest.raises(ValueError, match=r"^ys must hold 400000 codes or one, not 16 bytes$"):
        _Compare._compare_codes(0, xs, ys[:2], out, None, 2)
    with pytest.raises(ValueError, match=r"^present must hold 400000 bytes, not 3 bytes$"):
        _Compare._compare_codes(0, xs, ys, out, np.ones(3, np.uint8), 2)


def test_other_python_threads_run_during_the_lock_free_part():
    from vorlane import _Compare

    words = [str(k) * 40 for k in range(2000)]
    xs = np.array([id(w) for w in words] * 2500, dtype=np.int64)
    ys = np.roll(xs, 1)
    out = np.empty(len(xs), dtype=np.uint8)
    ticks, stop = [], threading.Event()

    def tick():
        while not stop.is_set():
            ticks.append(time.perf_counter())
            time.sleep(0)

    ticker = threading.Thread(target=tick)
    ticker.start()
    try:
        time.sleep(0.01)
        start = time.perf_counter()
        _Compare._compare_codes(2, xs, ys, out, None, 1)
        end = time.perf_counter()
    finally:
        stop.set()
        ticker.join()
    assert any(start < t < end for t in ticks), f"no tick in {end - start:.3f} s"
    assert not out.any()


def test_a_forked_child_compares_instead_of_hanging(front):
    # The parent runs GraphBLAS and the pass on two threads first: a child
    # that tried the same on libgomp's team inherited from it waited forever.
    out = run_child(front, """
        import os
        words = [str(k % 997) for k in range(300 * 300)]
        others = words[::-1]
        rows, cols = np.repeat(np.arange(300), 300), np.tile(np.arange(300), 300)
        A = front.matrix(rows, cols, codes(words), 300, 300)
        B = front.matrix(rows, cols, codes(others), 300, 300)
        want = [a < b for a, b in zip(words, others)]
        assert front.cells(front.compare("LT", A, B))[1] == want
        pid = os.fork()
        if pid == 0:
            ok = front.cells(front.compare("LT", A, B))[1] == want
            os._exit(0 if ok else 3)
        import signal, time
        deadline = time.monotonic() + 40
        while True:
            done, status = os.waitpid(pid, os.WNOHANG)
            if done:
                print(os.waitstatus_to_exitcode(status))
                break
            if time.monotonic() > deadline:
                os.kill(pid, signal.SIGKILL)  # leave no hung child behind
                os.waitpid(pid, 0)
                print("hung")
                break
            time.sleep(0.05)
    """)
    assert out.split() == ["0"]


def test_graphblas_codes_become_the_bindings_exceptions(front):
    # By name, so 5.1's positive codes and 7's negative ones map alike.
    from vorlane._grb import check

    errors = __import__(front.DimensionMismatch.__module__, fromlist=["OutOfMemory"])
    check(grb.GrB_SUCCESS, "GrB_nothing")
    with pytest.raises(front.DimensionMismatch, match=r"^GrB_x failed with GrB_DIMENSION_MISMATCH$") as info:
        check(grb.GrB_DIMENSION_MISMATCH, "GrB_x")
    assert isinstance(info.value, RuntimeError)
    with pytest.raises(MemoryError, match=r"^GrB_y failed with GrB_OUT_OF_MEMORY$") as info:
        check(grb.GrB_OUT_OF_MEMORY, "GrB_y")
    assert isinstance(info.value, errors.OutOfMemory)
    with pytest.raises(RuntimeError, match=r"^GrB_z failed with GrB_Info 12345$"):
        check(12345, "GrB_z")
