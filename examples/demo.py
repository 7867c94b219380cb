"""vorlane's main job, end to end (grown issue by issue)."""
import platform
import sys

import numpy as np
import pygraphblas
import suitesparse_graphblas as ssgb
from suitesparse_graphblas import lib

from vorlane._Quodex import Quodex


def versions():
    gb = f"{lib.GxB_IMPLEMENTATION_MAJOR}.{lib.GxB_IMPLEMENTATION_MINOR}.{lib.GxB_IMPLEMENTATION_SUB}"
    return {
        "Python": platform.python_version(),
        "NumPy": np.__version__,
        "pygraphblas": getattr(pygraphblas, "__version__", "unknown"),
        "suitesparse-graphblas": ssgb.__version__,
        "SuiteSparse:GraphBLAS library": gb,
    }


def main():
    for name, version in versions().items():
        print(f"{name:30} {version}")
    store = Quodex(0)
    column = np.array(["alpha", ("tuple", 1), float("nan"), "alpha"], dtype=object)
    codes = store.insert_many_numpy(column)
    back = Quodex.decode_many(codes)
    assert all(a is b for a, b in zip(back, column))
    print(f"store holds {store.size} objects; codes {codes.tolist()} decode to the very objects")
    return 0


if __name__ == "__main__":
    sys.exit(main())
