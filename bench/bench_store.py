"""Store operations against the pure-Python identity store a user would write
instead: a dict keyed by id(obj) holding [obj, count]."""
import time

import numpy as np

from vorlane._Quodex import Quodex

N = 10**6


def best(fn, repeat=5, setup=None):
    times = []
    for _ in range(repeat):
        arg = setup() if setup else None
        t0 = time.perf_counter()
        result = fn(arg)
        times.append(time.perf_counter() - t0)
        del result  # its release is not part of the operation
    return min(times)


def py_insert_many(d, arr):
    codes = []
    append = codes.append
    for o in arr:
        k = id(o)
        e = d.get(k)
        if e is None:
            d[k] = [o, 1]
        else:
            e[1] += 1
        append(k)
    return np.array(codes, dtype=np.int64)


def py_insert(d, obj, increment=1):
    k = id(obj)
    e = d.get(k)
    if e is None:
        d[k] = [obj, increment]
        return k, increment
    e[1] += increment
    return k, e[1]


def py_remove(d, obj, decrement=1):
    k = id(obj)
    e = d.get(k)
    if e is None:
        return None
    e[1] -= decrement
    if e[1] <= 0:
        del d[k]
    return e[1]


def rows():
    strings = np.array([f"s{i}" for i in range(N)], dtype=object)
    out = []

    t_q = best(lambda s: s.insert_many_numpy(strings), setup=lambda: Quodex(0))
    t_sized = best(lambda s: s.insert_many_numpy(strings), setup=lambda: Quodex(2 * N + 2))
    t_p = best(lambda d: py_insert_many(d, strings), setup=dict)
    out.append(dict(operation="insert_many_numpy into Quodex(0), 1e6 fresh str", n=N,
                    vorlane_s=t_q, peer="into Quodex(2N+2)", peer_s=t_sized,
                    goal="<= 1.5x presized", met=t_q / t_sized <= 1.5))
    out.append(dict(operation="insert_many_numpy into Quodex(0), 1e6 fresh str", n=N,
                    vorlane_s=t_q, peer="python id-dict store", peer_s=t_p, goal=">= 10x faster",
                    met=t_p / t_q >= 10))

    store = Quodex(0)
    codes = store.insert_many_numpy(strings)
    d = {}
    py_insert_many(d, strings)
    t_dec = best(lambda _: Quodex.decode_many(codes))
    t_copy = best(lambda _: strings.copy())
    t_list = best(lambda _: [d[c][0] for c in codes.tolist()])
    out.append(dict(operation="decode_many, 1e6 codes", n=N, vorlane_s=t_dec,
                    peer="obj_array.copy()", peer_s=t_copy, goal="<= 1.3x copy",
                    met=t_dec / t_copy <= 1.3))
    out.append(dict(operation="decode_many, 1e6 codes", n=N, vorlane_s=t_dec,
                    peer="list comp over id-dict", peer_s=t_list, goal="-", met=None))

    # Single calls: a loop of 10^5 inserts of fresh objects, then removes.
    objs = strings[:100_000].tolist()

    def q_single(s):
        ins = s.insert
        for o in objs:
            ins(o)

    def p_single(d):
        for o in objs:
            py_insert(d, o)

    t_qi = best(q_single, setup=lambda: Quodex(0))
    t_pi = best(p_single, setup=dict)
    out.append(dict(operation="insert(), per call", n=len(objs), vorlane_s=t_qi / len(objs),
                    peer="python id-dict insert", peer_s=t_pi / len(objs), goal="-", met=None))

    def q_remove_setup():
        s = Quodex(0)
        s.insert_many(objs)
        return s

    def p_remove_setup():
        d = {}
        for o in objs:
            py_insert(d, o)
        return d

    def q_remove(s):
        rem = s.remove
        for o in objs:
            rem(o)

    def p_remove(d):
        for o in objs:
            py_remove(d, o)

    t_qr = best(q_remove, setup=q_remove_setup)
    t_pr = best(p_remove, setup=p_remove_setup)
    out.append(dict(operation="remove(), per call", n=len(objs), vorlane_s=t_qr / len(objs),
                    peer="python id-dict remove", peer_s=t_pr / len(objs), goal="-", met=None))
    return out
