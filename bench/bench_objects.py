"""Object wrappers against what a user would do with the raw layer, 10**6
cells, side by side: ObjectMatrix.from_coo vs from_objects, to_coo vs
to_objects, release() vs the store.remove loop, a.lt(b) vs the raw operator
on the codes, and merge vs an element-wise add with SECOND plus pinning the
result's codes by hand."""
import sys
import time

import numpy as np

from vorlane import ObjectMatrix, _Holdings
from vorlane._Quodex import Quodex
from vorlane.objects import _BINDINGS, _MATRIX

SIDE = 2000
CELLS = 10**6
REPEATS = 5


def side_by_side(*runs):
    """Best time of each run, taking turns so that all see the same noise.
    A run is (setup, timed[, teardown]): setup's result is timed's argument."""
    best = [float("inf")] * len(runs)
    for _ in range(REPEATS):
        for k, (setup, timed, *teardown) in enumerate(runs):
            arg = setup()
            start = time.perf_counter()
            result = timed(arg)
            best[k] = min(best[k], time.perf_counter() - start)
            for t in teardown:
                t(arg, result)
            del result, arg
    return best


def row(operation, mine, peer, theirs, goal, met):
    print(f"#   {operation} against {peer}: ratio {mine / theirs:.3f}", file=sys.stderr)
    return {"operation": operation, "n": CELLS, "vorlane_s": mine, "peer": peer, "peer_s": theirs,
            "goal": goal, "met": met}


def remove_loop(arg):
    store, objects = arg
    for obj in objects:
        store.remove(obj)


def rows():
    binding = ObjectMatrix.from_coo([], [], []).binding
    if binding == "graphblas":
        from vorlane import gbmatrix as raw
        from vorlane import gbops

        def raw_lt(A, B):
            return A.ewise_mult(B, gbops.LT).new()

        def raw_second(A, B):
            return A.ewise_add(B, gbops.SECOND).new()
    else:
        from vorlane import matrix as raw
        from vorlane import ops

        def raw_lt(A, B):
            return ops.LT(A, B)

        def raw_second(A, B):
            return A.eadd(B, ops.SECOND)

    def codes_of(M):
        # The fastest extraction there is: GraphBLAS's tuples straight into NumPy.
        return _MATRIX.codes(_BINDINGS[binding].handle(M))

    rng = np.random.default_rng(11)
    flat = rng.permutation(SIDE * SIDE)[:CELLS]
    r, c = flat // SIDE, flat % SIDE
    objects = np.array([f"cell-{i}" for i in range(CELLS)], dtype=object)
    others = np.array([f"cell-{i + 7}" for i in range(CELLS)], dtype=object)

    t_mine, t_raw = side_by_side(
        (lambda: Quodex(0), lambda s: ObjectMatrix.from_coo(r, c, objects, SIDE, SIDE, store=s),
         lambda s, m: m.release()),
        (lambda: Quodex(0), lambda s: raw.from_objects(s, r, c, objects, SIDE, SIDE)),
    )
    store = Quodex(0)
    a = ObjectMatrix.from_coo(r, c, objects, SIDE, SIDE, store=store)
    b = ObjectMatrix.from_coo(r, c, others, SIDE, SIDE, store=store)
    A, B = a.codes, b.codes
    s_mine, s_raw, s_checked = side_by_side(
        (lambda: a, lambda w: w.to_coo()),
        (lambda: A, raw.to_objects),
        (lambda: A, lambda M: raw.to_objects(M, store=store)),
    )
    c_mine, c_raw = side_by_side((lambda: None, lambda _: a.lt(b)), (lambda: None, lambda _: raw_lt(A, B)))

    def pin_by_hand(_):
        M = raw_second(A, B)
        store.insert_many_encoded_numpy(codes_of(M))
        return M

    def unpin(_, M):
        for obj in Quodex.decode_many(codes_of(M)):
            store.remove(obj)

    m_mine, m_raw = side_by_side(
        (lambda: None, lambda _: a.merge(b, keep="second"), lambda _, m: m.release()),
        (lambda: None, pin_by_hand, unpin),
    )

    def fresh_wrapper():
        s = Quodex(0)
        return ObjectMatrix.from_coo(r, c, objects, SIDE, SIDE, store=s)

    def fresh_raw():
        s = Quodex(0)
        return s, raw.to_objects(raw.from_objects(s, r, c, objects, SIDE, SIDE))[2]

    def lookups_only(w):
        # The floor of any release: one store lookup per cell, nothing changed.
        return _Holdings.unheld(w.store, _MATRIX.codes(_BINDINGS[binding].handle(w._cells)))

    r_mine, r_loop, r_floor = side_by_side((fresh_wrapper, lambda w: w.release()), (fresh_raw, remove_loop),
                                           (fresh_wrapper, lookups_only, lambda w, _: w.release()))
    a.release()
    b.release()
    return [
        row("ObjectMatrix.from_coo, 1e6 str cells", t_mine, "from_objects", t_raw, "<= 1.2x",
            t_mine / t_raw <= 1.2),
        row("ObjectMatrix.to_coo, 1e6 cells", s_mine, "to_objects (unchecked)", s_raw, "<= 1.5x",
            s_mine / s_raw <= 1.5),
        row("to_objects(M, store=) (checked), 1e6 cells", s_checked, "to_objects (unchecked)", s_raw,
            "-", None),
        row("ObjectMatrix.release, 1e6 cells", r_mine, "store.remove loop", r_loop, ">= 10x faster",
            r_loop / r_mine >= 10),
        row("store lookups alone (floor of release), 1e6 cells", r_floor, "store.remove loop", r_loop, "-",
            None),
        row("a.lt(b), 1e6 str cells", c_mine, f"raw LT on the codes ({binding})", c_raw, "<= 1.1x",
            c_mine / c_raw <= 1.1),
        row("a.merge(b, keep='second'), 1e6 cells", m_mine, "add with SECOND + insert_many_encoded_numpy",
            m_raw, "<= 1.3x", m_mine / m_raw <= 1.3),
    ]
