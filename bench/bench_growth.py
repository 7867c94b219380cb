"""Memory of a store while it grows: resident bytes per entry and page faults.

Every figure comes from a fresh interpreter (a subprocess of this one), so the
allocator starts clean and nothing another benchmark left behind is counted.

* RSS per entry: the objects (short str in an object array) are made first;
  the resident set is read, the store is grown from empty by one
  `insert_many_numpy` into `Quodex(0)` (its result dropped), and read again.
  The peer is the pure-Python identity store a user would write instead,
  {id(o): [o, 1]}, grown from an empty dict over the same objects. Sizes
  include the first entry of a growth step (2^k + 1), where a store holds the
  most memory for its entries.
* Page faults: minor faults (getrusage) of making a store and inserting 10^6
  fresh str into it, from `Quodex(0)` and presized to `Quodex(2 * N + 2)`.
"""
import json
import pathlib
import subprocess
import sys

HERE = pathlib.Path(__file__).resolve().parent

RSS_SIZES = [10**5, 2**17 + 1, 2 * 10**5, 2**18 + 1, 5 * 10**5, 2**19 + 1, 10**6,
             2**20 + 1, 2 * 10**6, 2**21 + 1, 3 * 10**6]
FAULT_N = 10**6

CHILD = r"""
import gc, json, os, resource, sys
import numpy as np
from vorlane._Quodex import Quodex

what, n = sys.argv[1], int(sys.argv[2])
objs = np.array([f"s{i}" for i in range(n)], dtype=object)
page = os.sysconf("SC_PAGE_SIZE")

def rss():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * page

def faults():
    return resource.getrusage(resource.RUSAGE_SELF).ru_minflt

gc.collect()
gc.disable()
if what == "python":
    d = {}
    r0 = rss()
    for o in objs:
        d[id(o)] = [o, 1]
    print(json.dumps({"rss": (rss() - r0) / n}))
elif what == "vorlane":
    s = Quodex(0)
    r0 = rss()
    s.insert_many_numpy(objs)
    print(json.dumps({"rss": (rss() - r0) / n}))
else:
    start = 0 if what == "faults-from-0" else 2 * n + 2
    f0 = faults()
    s = Quodex(start)
    codes = s.insert_many_numpy(objs)
    f1 = faults()
    print(json.dumps({"faults": f1 - f0}))
"""


def child(what, n):
    # Run from bench/: `-c` puts the working directory first on the path, and
    # the source tree's vorlane/ there has no built modules.
    out = subprocess.run([sys.executable, "-c", CHILD, what, str(n)], check=True,
                         capture_output=True, text=True, cwd=HERE).stdout
    return json.loads(out)


def rss_rows():
    out = []
    for n in RSS_SIZES:
        q = min(child("vorlane", n)["rss"] for _ in range(2))
        p = min(child("python", n)["rss"] for _ in range(2))
        print(f"rss per entry n={n}: vorlane {q:.1f} B, python {p:.1f} B", file=sys.stderr)
        out.append(dict(operation="RSS per entry while growing", n=n, vorlane_s=None,
                        peer="python id-dict store", peer_s=None,
                        goal=f"<= peer: {q:.1f} B vs {p:.1f} B", met=q <= p))
    return out


def fault_rows():
    grown = min(child("faults-from-0", FAULT_N)["faults"] for _ in range(3))
    sized = min(child("faults-presized", FAULT_N)["faults"] for _ in range(3))
    print(f"page faults, 1e6 inserts: from 0 {grown}, presized {sized}", file=sys.stderr)
    return [dict(operation="page faults, 1e6 fresh str into Quodex(0)", n=FAULT_N,
                 vorlane_s=None, peer="into Quodex(2N+2)", peer_s=None,
                 goal=f"{grown} vs {sized}", met=None)]


def rows():
    return fault_rows() + rss_rows()
