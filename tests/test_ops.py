"""vorlane.ops through pygraphblas itself: Matrix operations with the object
operators, results checked against Python and decoded to the very objects."""
import random

import numpy as np
import pytest
from pygraphblas import Matrix, types

from vorlane import ops
from vorlane._Quodex import Quodex
from pyanswers import PY, cells_of_two_versions, coordinates_and_objects, python_says


@pytest.fixture
def two_versions():
    rng = random.Random(7)
    pool = ["apple", "pear", "fig", float("nan"), 3, 2.5, ("t", 1), ("t", 2), "".join(["ap", "ple"])]
    store = Quodex(0)
    n = 30
    cells_a, cells_b = cells_of_two_versions(rng, pool, n, 200, 0.5, 40)

    def matrix(cells):
        rows, cols, objs = coordinates_and_objects(cells)
        codes = store.insert_many_numpy(objs)
        return Matrix.from_lists(rows, cols, codes.tolist(), n, n, typ=types.INT64)

    return store, cells_a, cells_b, matrix(cells_a), matrix(cells_b)


@pytest.mark.parametrize("name", sorted(PY))
def test_comparisons_agree_with_python(two_versions, name):
    store, ca, cb, A, B = two_versions
    op = getattr(ops, name)
    C = op(A, B)
    assert C.type is types.BOOL
    I, J, V = C.to_lists()
    both = sorted(set(ca) & set(cb))
    assert list(zip(I, J)) == both
    assert V == [python_says(name, ca[k], cb[k]) for k in both]
    # The same through emult with an explicit result type.
    assert A.emult(B, op, cast=types.BOOL).to_lists() == [I, J, V]


def test_selections_decode_to_the_very_objects(two_versions):
    store, ca, cb, A, B = two_versions
    union = sorted(set(ca) | set(cb))
    for op, pick in ((ops.FIRST, lambda k: [ca.get(k, cb.get(k))]),
                     (ops.SECOND, lambda k: [cb.get(k, ca.get(k))]),
                     # ANY may take either code where both cells exist.
                     (ops.ANY, lambda k: [c[k] for c in (ca, cb) if k in c])):
        I, J, V = A.eadd(B, op).to_lists()
        assert list(zip(I, J)) == union
        decoded = Quodex.decode_many(np.array(V, dtype=np.int64))
        assert all(any(d is p for p in pick(k)) for d, k in zip(decoded, union))
    with ops.SECOND:  # as pygraphblas's default operator for a block
        I, J, V = A.emult(B).to_lists()
    decoded = Quodex.decode_many(np.array(V, dtype=np.int64))
    assert all(d is cb[k] for d, k in zip(decoded, zip(I, J)))


def test_operators_leave_pygraphblas_types_alone():
    # pygraphblas's own BinaryOp registers itself on the INT64 type; ours
    # must not shadow or add operators there.
    for name in ("EQ", "NE", "LT", "FIRST", "SECOND", "ANY"):
        assert getattr(types.INT64, name, None) is not getattr(ops, name)
    assert not any(isinstance(v, ops.ObjectOp) for v in vars(types.INT64).values())
    assert repr(ops.LT) == "<vorlane.ops.LT>"
    assert ops.LT.ztype is types.BOOL and ops.FIRST.ztype is types.INT64
