"""What Python itself answers for a comparison, as the object kernels must:
the one model every kernel test checks against."""
import operator

import numpy as np

PY = {"EQ": operator.eq, "NE": operator.ne, "LT": operator.lt,
      "GT": operator.gt, "GE": operator.ge, "LE": operator.le}


def python_says(name, a, b):
    """PyObject_RichCompareBool's answer: identity decides EQ and NE (a NaN
    equals itself); a comparison that raises anything means false."""
    if a is b and name in ("EQ", "NE"):
        return name == "EQ"
    try:
        return bool(PY[name](a, b))
    except Exception:
        return False


def cells_of_two_versions(rng, pool, n, cells, kept, added):
    """The cells {(row, col): object} of an n x n matrix and of a later
    version of it, both drawn from `pool`: the later one keeps each cell's
    object with probability `kept` (else draws anew) and gains `added` cells."""
    first = {(rng.randrange(n), rng.randrange(n)): rng.choice(pool) for _ in range(cells)}
    later = {k: (v if rng.random() < kept else rng.choice(pool)) for k, v in first.items()}
    for _ in range(added):
        later[(rng.randrange(n), rng.randrange(n))] = rng.choice(pool)
    return first, later


def coordinates_and_objects(cells):
    """Rows, columns and an object array of `cells`, in coordinate order."""
    keys = sorted(cells)
    objects = np.empty(len(keys), dtype=object)
    objects[:] = [cells[k] for k in keys]
    return [k[0] for k in keys], [k[1] for k in keys], objects
