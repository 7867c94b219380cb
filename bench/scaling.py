"""Nanoseconds per element against N for the bulk store operations and the
pure-Python identity store, drawn to bench/scaling.png by `make bench`."""
import time

import numpy as np

from bench_store import py_insert_many  # the same Python peer as the table
from vorlane._Quodex import Quodex

SIZES = [10**3, 10**4, 10**5, 10**6]


def per_element(fn, setup, n, budget=0.5):
    """Best time per element over repeated runs, within a time budget."""
    best, spent, runs = float("inf"), 0.0, 0
    while runs < 3 or (spent < budget and runs < 200):
        arg = setup()
        t0 = time.perf_counter()
        fn(arg)
        dt = time.perf_counter() - t0
        best, spent, runs = min(best, dt), spent + dt, runs + 1
    return best / n * 1e9


def measure():
    series = {"insert_many_numpy": [], "decode_many": [], "Python id-dict insert": [],
              "obj_array.copy()": []}
    for n in SIZES:
        strings = np.array([f"s{i}" for i in range(n)], dtype=object)
        codes = Quodex(0).insert_many_numpy(strings)
        keep = Quodex(0)
        keep.insert_many_numpy(strings)
        series["insert_many_numpy"].append(per_element(lambda s: s.insert_many_numpy(strings), lambda: Quodex(0), n))
        series["decode_many"].append(per_element(lambda _: Quodex.decode_many(codes), lambda: None, n))
        series["Python id-dict insert"].append(per_element(lambda d: py_insert_many(d, strings), dict, n))
        series["obj_array.copy()"].append(per_element(lambda _: strings.copy(), lambda: None, n))
    return series


def plot(series, path):
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    fig, ax = plt.subplots(figsize=(7, 4.5))
    for name, values in series.items():
        ax.plot(SIZES, values, marker="o", label=name)
    ax.set_xscale("log")
    ax.set_yscale("log")
    ax.set_xlabel("N (elements, fresh short str)")
    ax.set_ylabel("ns per element (best run)")
    ax.set_title("vorlane bulk operations against the Python identity store")
    ax.grid(True, which="both", alpha=0.3)
    ax.legend()
    fig.tight_layout()
    fig.savefig(path, dpi=110)
    plt.close(fig)
