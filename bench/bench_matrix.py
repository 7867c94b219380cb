"""Object columns in and out of a GraphBLAS matrix of codes, 10**6 cells in
shuffled order, side by side with the same work done by hand from the same
buffers (insert_many_numpy + GrB_Matrix_build_INT64; extractTuples into NumPy
+ decode_many) and with the Python-list route of pygraphblas."""
import sys
import time

import numpy as np
from pygraphblas import Matrix, types
from suitesparse_graphblas import ffi as gffi, lib as grb

from vorlane._Quodex import Quodex
from vorlane.matrix import from_objects, to_objects

SIDE = 2000
CELLS = 10**6
REPEATS = 5


def ok(info):
    if info != grb.GrB_SUCCESS:
        raise RuntimeError(f"GraphBLAS error {info}")


def side_by_side(*runs):
    """Best time of each run, taking turns so that all see the same noise.
    A run is (setup, timed): setup's result is timed's argument."""
    best = [float("inf")] * len(runs)
    for _ in range(REPEATS):
        for k, (setup, timed) in enumerate(runs):
            arg = setup()
            start = time.perf_counter()
            result = timed(arg)
            best[k] = min(best[k], time.perf_counter() - start)
            del result, arg
    return best


def build_by_hand(store, rows, cols, objects):
    codes = store.insert_many_numpy(objects)
    m = Matrix.sparse(types.INT64, SIDE, SIDE)
    ok(grb.GrB_Matrix_build_INT64(
        m._matrix[0], gffi.cast("GrB_Index*", gffi.from_buffer(rows)),
        gffi.cast("GrB_Index*", gffi.from_buffer(cols)),
        gffi.cast("int64_t*", gffi.from_buffer(codes)), len(codes), grb.GrB_FIRST_INT64))
    assert m.nvals == len(codes)
    return m


def build_from_lists(store, rows, cols, objects):
    codes = store.insert_many_numpy(objects)
    return Matrix.from_lists(rows.tolist(), cols.tolist(), codes.tolist(), SIDE, SIDE, typ=types.INT64)


def extract_by_hand(m):
    n = m.nvals
    rows, cols, codes = (np.empty(n, dtype=t) for t in (np.uint64, np.uint64, np.int64))
    got = gffi.new("GrB_Index*", n)
    ok(grb.GrB_Matrix_extractTuples_INT64(
        gffi.cast("GrB_Index*", gffi.from_buffer(rows)), gffi.cast("GrB_Index*", gffi.from_buffer(cols)),
        gffi.cast("int64_t*", gffi.from_buffer(codes)), got, m._matrix[0]))
    return rows, cols, Quodex.decode_many(codes)


def extract_from_lists(m):
    rows, cols, codes = m.to_lists()
    return rows, cols, Quodex.decode_many(np.array(codes, dtype=np.int64))


def row(operation, mine, peer, theirs, goal, met):
    print(f"#   {operation} against {peer}: ratio {mine / theirs:.3f}", file=sys.stderr)
    return {"operation": operation, "n": CELLS, "vorlane_s": mine, "peer": peer, "peer_s": theirs,
            "goal": goal, "met": met}


def rows():
    rng = np.random.default_rng(11)
    flat = rng.permutation(SIDE * SIDE)[:CELLS]
    r, c = flat // SIDE, flat % SIDE
    objects = np.array([f"cell-{i}" for i in range(CELLS)], dtype=object)

    t_mine, t_hand, t_lists = side_by_side(
        (lambda: Quodex(0), lambda s: from_objects(s, r, c, objects, SIDE, SIDE)),
        (lambda: Quodex(0), lambda s: build_by_hand(s, r.view(np.uint64), c.view(np.uint64), objects)),
        (lambda: Quodex(0), lambda s: build_from_lists(s, r, c, objects)),
    )
    store = Quodex(0)
    m = from_objects(store, r, c, objects, SIDE, SIDE)
    s_mine, s_hand, s_lists = side_by_side(
        (lambda: m, to_objects), (lambda: m, extract_by_hand), (lambda: m, extract_from_lists))
    return [
        row("from_objects, 1e6 str cells", t_mine, "insert_many_numpy + GrB build", t_hand,
            "<= 1.3x", t_mine / t_hand <= 1.3),
        row("from_objects, 1e6 str cells", t_mine, "insert_many_numpy + from_lists", t_lists,
            ">= 5x faster", t_lists / t_mine >= 5),
        # What the goal above can reach at best: the floor against the same route.
        row("insert_many_numpy + GrB build, 1e6 str cells", t_hand, "insert_many_numpy + from_lists",
            t_lists, "-", None),
        row("to_objects, 1e6 cells", s_mine, "extractTuples + decode_many", s_hand,
            "<= 1.3x", s_mine / s_hand <= 1.3),
        row("to_objects, 1e6 cells", s_mine, "to_lists + decode_many", s_lists,
            ">= 3x faster", s_lists / s_mine >= 3),
    ]

