"""Nanoseconds per element against N for the bulk store operations and their
peers, drawn to bench/scaling.png by `make bench`: insertion into a store
grown from empty and into a presized one against the pure-Python identity
store, decode_many against obj_array.copy(), copy() against dict.copy() of
the identity store."""
import gc
import time

import numpy as np

from bench_store import py_insert_many  # the same Python peer as the table
from vorlane._Quodex import Quodex

SIZES = [10**3, 10**4, 10**5, 10**6, 10**7]


def per_element(fn, setup, n, budget=0.5):
    """Best time per element over repeated runs, within a time budget. The
    result is released outside the timed region."""
    best, spent, runs = float("inf"), 0.0, 0
    least = 3 if n < 10**7 else 2
    while runs < least or (spent < budget and runs < 200):
        arg = setup()
        t0 = time.perf_counter()
        result = fn(arg)
        dt = time.perf_counter() - t0
        del result, arg
        best, spent, runs = min(best, dt), spent + dt, runs + 1
    return best / n * 1e9


def measure():
    series = {"insert_many_numpy into Quodex(0)": [], "insert_many_numpy, presized": [],
              "Python id-dict insert": [], "decode_many": [], "obj_array.copy()": [],
              "copy()": [], "dict.copy() of id-dict": []}
    for n in SIZES:
        strings = np.array([f"s{i}" for i in range(n)], dtype=object)
        keep = Quodex(0)
        codes = keep.insert_many_numpy(strings)
        py_store = {id(o): [o, 1] for o in strings}
        gc.collect()
        series["insert_many_numpy into Quodex(0)"].append(
            per_element(lambda s: s.insert_many_numpy(strings), lambda: Quodex(0), n))
        series["insert_many_numpy, presized"].append(
            per_element(lambda s: s.insert_many_numpy(strings), lambda: Quodex(2 * n + 2), n))
        series["Python id-dict insert"].append(per_element(lambda d: py_insert_many(d, strings), dict, n))
        series["decode_many"].append(per_element(lambda _: Quodex.decode_many(codes), lambda: None, n))
        series["obj_array.copy()"].append(per_element(lambda _: strings.copy(), lambda: None, n))
        series["copy()"].append(per_element(lambda _: keep.copy(), lambda: None, n))
        series["dict.copy() of id-dict"].append(per_element(lambda _: py_store.copy(), lambda: None, n))
        del keep, codes, py_store, strings
    return series


def plot(series, path):
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    fig, ax = plt.subplots(figsize=(8, 5))
    for name, values in series.items():
        ax.plot(SIZES, values, marker="o", label=name)
    ax.set_xscale("log")
    ax.set_yscale("log")
    ax.set_xlabel("N (elements, fresh short str)")
    ax.set_ylabel("ns per element (best run)")
    ax.set_title("vorlane bulk operations and their peers")
    ax.grid(True, which="both", alpha=0.3)
    ax.legend(fontsize="small")
    fig.tight_layout()
    fig.savefig(path, dpi=110)
    plt.close(fig)
