"""vorlane's main job: Python objects as GraphBLAS matrix cells.

Two versions of a seeded graph whose edge values are arbitrary Python objects
(labels, tuples, numbers, NaN) are held in GraphBLAS INT64 matrices as object
codes of one Quodex store. The operators of vorlane.ops, run by GraphBLAS on
several threads, find the edges whose values changed, merge the versions and
order values: the comparisons answer labels and numbers without the
interpreter lock, and the merges are GraphBLAS's own selections; the results come back as the very objects with
decode_many, and a column of them travels through a file with vorlane.strings. A report with sizes, counts, samples, timings and threads follows.
"""
import math
import os
import platform
import sys
import tempfile
import time

import numpy as np
import pygraphblas
from suitesparse_graphblas import ffi as gffi
from suitesparse_graphblas import lib as grb

from vorlane import _Compare, ops
from vorlane._Quodex import Quodex, bulk_deserialize_strings, bulk_serialize_strings
from vorlane.matrix import from_objects, to_objects
from vorlane import strings

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
    # One value per (row, col): from_objects refuses a cell given twice.
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


def cells(matrix):
    I, J, V = matrix.to_lists()
    return np.array(I, dtype=np.int64), np.array(J, dtype=np.int64), np.array(V)


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
        A = from_objects(store, r1, c1, v1, NODES, NODES)
        B = from_objects(store, r2, c2, v2, NODES, NODES)
    with phase("changed edges (NE on both)"):
        changed = ops.NE(A, B)
        ci, cj, cflag = cells(changed)
        changed_at = cflag.astype(bool)
    with phase("merge versions (eadd SECOND)"):
        merged = A.eadd(B, ops.SECOND)
        mi, mj, merged_values = to_objects(merged)
    with phase("order old vs new (LT, GT)"):
        lt = ops.LT(A, B)
        gt = ops.GT(A, B)
        n_lt = sum(lt.to_lists()[2])
        n_gt = sum(gt.to_lists()[2])
    with phase("decode changed pairs"):
        old = to_objects(A.emult(B, ops.FIRST))[2]
        new = to_objects(A.emult(B, ops.SECOND))[2]
    with phase("string column through a file"):
        labels = np.array([v for v in merged_values if isinstance(v, str)], dtype=object)
        with tempfile.TemporaryDirectory() as tmp:
            path = os.path.join(tmp, "labels.vls")
            strings.save(path, labels)
            back = strings.load(path)
            label_file_bytes = os.path.getsize(path)
        assert back.tolist() == labels.tolist()
        # The bare stream, whose offsets the caller keeps, reads the same
        # bytes as _Quodex's one-call-per-string functions wrote.
        few = labels[:100]
        offsets = np.zeros(len(few), dtype=np.int64)
        with tempfile.TemporaryFile() as f:
            bulk_serialize_strings(few, offsets, f.fileno())
            f.seek(0)
            assert strings.read_column(f, offsets).tolist() == few.tolist()

    # Check the native answers against Python's own, on the decoded objects.
    def py_ne(a, b):
        return a is not b and a != b

    assert changed_at.tolist() == [py_ne(a, b) for a, b in zip(old, new)]
    nan_pairs = sum(1 for a, b in zip(old, new) if isinstance(a, float) and math.isnan(a) and a is b)

    print("vorlane demo")
    print(f"  Python {platform.python_version()}, NumPy {np.__version__}, "
          f"pygraphblas {getattr(pygraphblas, '__version__', '?')}, "
          f"SuiteSparse:GraphBLAS {grb.GxB_IMPLEMENTATION_MAJOR}.{grb.GxB_IMPLEMENTATION_MINOR}."
          f"{grb.GxB_IMPLEMENTATION_SUB}, GraphBLAS threads {threads}")
    layout = _Compare.native_layout or "none: identity only"
    print(f"  operators: comparisons lock-free where they can (object layout {layout}),"
          f" selections GraphBLAS built-ins")
    print(f"  graph: {NODES} nodes; version 1 {A.nvals} edges, version 2 {B.nvals} edges (seed {SEED})")
    print(f"  store: {store.size} distinct objects behind {A.nvals + B.nvals} cells")
    print(f"  edges in both versions: {changed.nvals}, value changed: {int(changed_at.sum())}"
          f" (unchanged NaN edges kept by identity: {nan_pairs})")
    print(f"  merged graph: {merged.nvals} edges; old < new on {n_lt} edges, old > new on {n_gt}")
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
