"""Checkpoints: what entering one costs, and that rolling back copies nothing.

Entering a checkpoint copies the store; its peer is dict.copy() of the
pure-Python identity store (id(obj) -> [obj, count]) holding the same objects.
A rollback exchanges two stores and destroys the one the block left; its peer
is destroying a store of the same size, the part of the work no design can
skip. Each figure is the best of REPEAT runs.
"""
import gc
import time

from vorlane._Quodex import Quodex

N = 10 ** 6
REPEAT = 5


class Rollback(Exception):
    pass


def best(run):
    times = []
    for _ in range(REPEAT):
        gc.collect()
        times.append(run())
    return min(times)


def time_enter(store):
    cm = store.checkpoint()
    t0 = time.perf_counter()
    cm.__enter__()
    t = time.perf_counter() - t0
    cm.__exit__(None, None, None)
    return t


def time_copy(store):
    """store.copy(), for a Quodex as for a dict; the copy is released untimed."""
    t0 = time.perf_counter()
    c = store.copy()
    t = time.perf_counter() - t0
    del c
    return t


def time_rollback(store, extra):
    t0 = None
    try:
        with store.checkpoint():
            for o in extra:
                store.insert(o)
            t0 = time.perf_counter()
            raise Rollback
    except Rollback:
        t = time.perf_counter() - t0
    assert store.size == N
    return t


def time_release(store, extra):
    doomed = store.copy()
    for o in extra:
        doomed.insert(o)
    t0 = time.perf_counter()
    del doomed
    return time.perf_counter() - t0


def rows():
    objs = [object() for _ in range(N)]
    store = Quodex(0)
    store.insert_many(objs)
    py_store = {id(o): [o, 1] for o in objs}

    out = []
    copy = best(lambda: time_copy(store))
    enter = best(lambda: time_enter(store))
    peer = best(lambda: time_copy(py_store))
    out.append(dict(operation="copy()", n=N, vorlane_s=copy,
                    peer="dict.copy() of id-keyed store", peer_s=peer,
                    goal="<= 1.2x dict.copy()", met=copy <= 1.2 * peer))
    out.append(dict(operation="enter checkpoint", n=N, vorlane_s=enter,
                    peer="dict.copy() of id-keyed store", peer_s=peer,
                    goal="<= 1.2x dict.copy()", met=enter <= 1.2 * peer))

    for k in (0, 10, 10 ** 4):
        extra = [object() for _ in range(k)]
        roll = best(lambda: time_rollback(store, extra))
        release = best(lambda: time_release(store, extra))
        out.append(dict(operation=f"rollback after {k} inserts", n=N, vorlane_s=roll,
                        peer="destroying a store of that size", peer_s=release,
                        goal="no copy: about the release alone", met=roll < 1.5 * release))
    return out
