"""vorlane's main job: Python objects as GraphBLAS matrix cells.

Two versions of a seeded graph whose edge values are arbitrary Python objects
(labels, tuples, numbers, NaN) are held as ObjectMatrix wrappers over one
Quodex store. GraphBLAS finds the edges whose values changed, merges the
versions and orders values, comparing the objects natively; every result that
holds objects owns them, and a column of them travels through a file with
vorlane.strings. At the end everything is released and the store is
empty. A report with sizes, counts, samples, timings and threads follows.
"""
import math
import os
import platform
import sys
import tempfile
import time

import numpy as np
from suitesparse_graphblas import ffi as gffi
from suitesparse_graphblas import lib as grb

from vorlane import ObjectMatrix, _Compare, strings
from vorlane._Quodex import Quodex, bulk_serialize_strings

SEED = 20261208
NODES = 40_000
EDGES = 250_000
THREADS = min(4, os.cpu_count() or 1)


class Phases:
    def __init__(self):
        self.rows = []

    def __call__(self, name):
        phases = self

        class Timer:
            def __enter__(self):
                self.t0 = time.perf_counter()

            def __exit__(self, *exc):
                phases.rows.append((name, time.perf_counter() - self.t0))

        return Timer()


def make_values(rng, n):
    """A column of edge values: mostly labels, some tuples, numbers and NaN."""
    words = np.array(["road", "rail", "river", "air", "sea", "path", "bridge", "tunnel"], dtype=object)
    kind = rng.random(n)
    out = np.empty(n, dtype=object)
    labels = rng.integers(0, len(words), n)
    nums = rng.integers(0, 1000, n)
    for i in range(n):
        k = kind[i]
        if k < 0.70:
            out[i] = f"{words[labels[i]]}-{nums[i]}"
        elif k < 0.85:
            out[i] = (str(words[labels[i]]), int(nums[i]))
        elif k < 0.97:
            out[i] = float(nums[i]) / 10
        else:
            out[i] = float("nan")
    return out


def build_versions(rng):
    rows = rng.integers(0, NODES, EDGES)
    cols = rng.integers(0, NODES, EDGES)
    # One value per (row, col): from_coo refuses a cell given twice.
    keys = np.unique(rows.astype(np.int64) * NODES + cols)
    rows, cols = keys // NODES, keys % NODES
    v1 = make_values(rng, len(keys))
    # Version 2: a tenth of the values edited, some edges dropped, new ones added.
    v2 = v1.copy()
    edited = rng.random(len(keys)) < 0.10
    v2[edited] = make_values(rng, int(edited.sum()))
    kept = rng.random(len(keys)) > 0.03
    add = 8_000
    new_keys = np.setdiff1d(rng.integers(0, NODES, add).astype(np.int64) * NODES + rng.integers(0, NODES, add), keys)
    rows2 = np.concatenate([rows[kept], new_keys // NODES])
    cols2 = np.concatenate([cols[kept], new_keys % NODES])
    v2 = np.concatenate([v2[kept], make_values(rng, len(new_keys))])
    return (rows, cols, v1), (rows2, cols2, v2)


def bool_cells(matrix):
    """(rows, cols, values) of a BOOL container of either binding."""
    I, J, V = matrix.to_coo() if hasattr(matrix, "ewise_mult") else matrix.to_lists()
    return np.asarray(I, dtype=np.int64), np.asarray(J, dtype=np.int64), np.asarray(V, dtype=bool)


def string_column_through_a_file(merged_values):
    labels = np.array([v for v in merged_values if isinstance(v, str)], dtype=object)
    with tempfile.TemporaryDirectory() as tmp:
        path = os.path.join(tmp, "labels.vls")
        strings.save(path, labels)
        back = strings.load(path)
        label_file_bytes = os.path.getsize(path)
    assert back.tolist() == labels.tolist()
    # The bare stream, whose offsets the caller keeps, reads the same bytes
    # as _Quodex's one-call-per-string functions wrote.
    few = labels[:100]
    offsets = np.zeros(len(few), dtype=np.int64)
    with tempfile.TemporaryFile() as f:
        bulk_serialize_strings(few, offsets, f.fileno())
        f.seek(0)
        assert strings.read_column(f, offsets).tolist() == few.tolist()
    return labels, label_file_bytes


def set_threads(n):
    assert grb.GxB_Global_Option_set(grb.GxB_NTHREADS, gffi.cast("int", n)) == grb.GrB_SUCCESS
    got = gffi.new("int*")
    grb.GxB_Global_Option_get(grb.GxB_NTHREADS, got)
    return got[0]


def fmt(obj):
    text = repr(obj)
    return text if len(text) <= 24 else text[:21] + "..."


def main():
    rng = np.random.default_rng(SEED)
    phase = Phases()
    threads = set_threads(THREADS)
    store = Quodex(0)

    with phase("generate two versions"):
        (r1, c1, v1), (r2, c2, v2) = build_versions(rng)
    with phase("intern values, build matrices"):
        A = ObjectMatrix.from_coo(r1, c1, v1, NODES, NODES, store=store)
        B = ObjectMatrix.from_coo(r2, c2, v2, NODES, NODES, store=store)
    with phase("changed edges (ne on both)"):
        changed = A.ne(B)
        ci, cj, changed_at = bool_cells(changed)
    with phase("merge versions (second wins)"):
        merged = A.merge(B, keep="second")
        mi, mj, merged_values = merged.to_coo()
    with phase("order old vs new (lt, gt)"):
        n_lt = int(bool_cells(A.lt(B))[2].sum())
        n_gt = int(bool_cells(A.gt(B))[2].sum())
    with phase("decode changed pairs"):
        with A.intersect(B, keep="first") as old_side, A.intersect(B, keep="second") as new_side:
            old = old_side.to_coo()[2]
            new = new_side.to_coo()[2]
    with phase("least value per node (min by row)"):
        with merged.min("row") as least:
            nodes_with_edges = least.nvals
    with phase("string column through a file"):
        labels, label_file_bytes = string_column_through_a_file(merged_values)
    cells_held = A.nvals + B.nvals
    with phase("release every wrapper"):
        for wrapper in (A, B, merged):
            wrapper.release()
    del merged_values
    assert store.size == 0, store.size

    # Check the native answers against Python's own, on the decoded objects.
    def py_ne(a, b):
        return a is not b and a != b

    assert changed_at.tolist() == [py_ne(a, b) for a, b in zip(old, new)]
    nan_pairs = sum(1 for a, b in zip(old, new) if isinstance(a, float) and math.isnan(a) and a is b)

    print("vorlane demo")
    print(f"  Python {platform.python_version()}, NumPy {np.__version__}, "
          f"binding {A.binding}, "
          f"SuiteSparse:GraphBLAS {grb.GxB_IMPLEMENTATION_MAJOR}.{grb.GxB_IMPLEMENTATION_MINOR}."
          f"{grb.GxB_IMPLEMENTATION_SUB}, GraphBLAS threads {threads}")
    layout = _Compare.native_layout or "none: identity only"
    print(f"  operators: comparisons lock-free where they can (object layout {layout}),"
          f" selections GraphBLAS built-ins")
    print(f"  graph: {NODES} nodes; version 1 {len(r1)} edges, version 2 {len(r2)} edges (seed {SEED})")
    print(f"  store: {cells_held} cells counted while the versions were held; empty after release")
    print(f"  edges in both versions: {changed.nvals}, value changed: {int(changed_at.sum())}"
          f" (unchanged NaN edges kept by identity: {nan_pairs})")
    print(f"  merged graph: {len(mi)} edges on {nodes_with_edges} nodes; old < new on {n_lt} edges,"
          f" old > new on {n_gt}")
    print(f"  string column: {len(labels)} labels saved to a {label_file_bytes}-byte file,"
          f" read back identical")
    print("  sample changed edges:")
    shown = 0
    for k in np.flatnonzero(changed_at)[:: max(1, int(changed_at.sum()) // 5)]:
        print(f"    ({ci[k]:>5}, {cj[k]:>5})  {fmt(old[k]):>26} -> {fmt(new[k])}")
        shown += 1
        if shown == 5:
            break
    print("  time per phase:")
    for name, seconds in phase.rows:
        print(f"    {name:32} {seconds * 1e3:9.1f} ms")
    print(f"    {'total':32} {sum(s for _, s in phase.rows) * 1e3:9.1f} ms")
    return 0


if __name__ == "__main__":
    sys.exit(main())
