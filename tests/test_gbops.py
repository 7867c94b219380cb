"""vorlane.gbops through python-graphblas, which installs only on the modern
interpreters (.venv-3.11, .venv-3.12): results checked against Python's own
answers, and a loud failure when the internals the module uses change."""
import inspect
import random

import numpy as np
import pytest

gb = pytest.importorskip("graphblas", reason="python-graphblas runs on CPython 3.10 and later")

from graphblas import Matrix, dtypes  # noqa: E402

from vorlane import gbops  # noqa: E402
from vorlane._Quodex import Quodex  # noqa: E402
from pyanswers import PY, cells_of_two_versions, coordinates_and_objects, python_says  # noqa: E402


def test_pinned_internals_are_what_gbops_was_written_against():
    from graphblas.core.operator.binary import TypedUserBinaryOp
    from graphblas.core.operator.base import TypedOpBase

    assert gb.__version__ == "2025.2.0", "re-check vorlane.gbops._typed_op against this version"
    params = list(inspect.signature(TypedUserBinaryOp.__init__).parameters)
    assert params[:6] == ["self", "parent", "name", "type_", "return_type", "gb_obj"]
    assert issubclass(TypedUserBinaryOp, TypedOpBase)
    assert gbops.EQ._carg is gbops.EQ.gb_obj and gbops.LT.commutes_to is None
    from graphblas.core.mask import Mask
    from graphblas.core.matrix import TransposedMatrix

    for cls, params in ((Matrix, ["gb_obj", "dtype", "nrows", "ncols"]),
                        (gb.Vector, ["gb_obj", "dtype", "size"])):
        assert list(inspect.signature(cls._from_obj).parameters)[:len(params)] == params
    A = Matrix(dtypes.INT64, 2, 3)
    assert isinstance(A.T, TransposedMatrix) and A.T._matrix is A
    assert [(m.structure, m.complement) for m in (A.S, A.V, ~A.S, ~A.V)] == \
        [(True, False), (False, False), (True, True), (False, True)]
    assert all(isinstance(m, Mask) and m.parent is A for m in (A.S, ~A.V))


@pytest.fixture(scope="module")
def cells():
    rng = random.Random(11)
    pool = ["apple", "pear", "".join(["ap", "ple"]), float("nan"), 3, 2.5, True, ("t", 1), b"x"]
    store = Quodex(0)
    n = 25
    ca, cb = cells_of_two_versions(rng, pool, n, 180, 0.4, 30)

    def matrix(cs):
        rows, cols, objs = coordinates_and_objects(cs)
        return Matrix.from_coo(rows, cols, store.insert_many_numpy(objs), nrows=n, ncols=n,
                               dtype=dtypes.INT64)

    return store, ca, cb, matrix(ca), matrix(cb)


@pytest.mark.parametrize("name", sorted(PY))
def test_comparisons_agree_with_python(cells, name):
    _, ca, cb, A, B = cells
    C = A.ewise_mult(B, getattr(gbops, name)).new()
    assert C.dtype == dtypes.BOOL
    rows, cols, values = C.to_coo()
    both = sorted(set(ca) & set(cb))
    assert list(zip(rows.tolist(), cols.tolist())) == both
    assert values.tolist() == [python_says(name, ca[k], cb[k]) for k in both]


def test_selections_give_the_very_objects(cells):
    _, ca, cb, A, B = cells
    for op, picks in ((gbops.SECOND, lambda k: [cb.get(k, ca.get(k))]),
                      (gbops.FIRST, lambda k: [ca.get(k, cb.get(k))]),
                      (gbops.ANY, lambda k: [ca.get(k, cb.get(k)), cb.get(k, ca.get(k))])):
        rows, cols, codes = A.ewise_add(B, op).new().to_coo()
        objs = Quodex.decode_many(codes.astype(np.int64))
        keys = list(zip(rows.tolist(), cols.tolist()))
        assert keys == sorted(set(ca) | set(cb))
        assert all(any(o is p for p in picks(k)) for o, k in zip(objs, keys))


def test_object_matrices_of_python_graphblas_round_trip_with_the_operators():
    from vorlane import gbmatrix

    store = Quodex(0)
    rows = np.array([0, 2, 2, 1])
    cols = np.array([1, 9, 0, 9, 0, 9, 1, 9])[::2]  # strided
    objs = np.array(["x", 3, ("t",), "x"], dtype=object)
    with pytest.raises(ValueError, match="duplicate"):
        gbmatrix.from_objects(store, rows, cols, objs, 3, 2)
    assert store.size == 0
    A = gbmatrix.from_objects(store, rows, cols, objs, 3, 2, dup="second")
    assert A.nvals == 3 and A.dtype == dtypes.INT64
    r, c, back = gbmatrix.to_objects(A)
    assert list(zip(r.tolist(), c.tolist())) == [(0, 1), (1, 1), (2, 0)]
    assert [o is objs[k] for o, k in zip(back, (0, 3, 2))] == [True] * 3
    same = A.ewise_mult(A, gbops.EQ).new()
    assert same.to_coo()[2].tolist() == [True] * 3

    v = gbmatrix.from_objects_vector(store, np.array([4, 0]), objs[:2], 5)
    i, vals = gbmatrix.to_objects_vector(v)
    assert i.tolist() == [0, 4] and vals[0] is objs[1] and vals[1] is objs[0]
    with pytest.raises(TypeError, match="python-graphblas Matrix"):
        gbmatrix.to_objects(v)


def test_calls_that_would_read_a_scalar_as_a_code_are_refused(cells):
    # python-graphblas would apply the operator with the scalar, or the
    # defaults of a union, standing in for an object code.
    _, _, _, A, B = cells
    for args, kwargs in (((A, 1), {}), ((1, A), {}), ((A | B,), {"left_default": 1, "right_default": 2}),
                         ((A, B), {"left_default": 1})):
        with pytest.raises(TypeError, match=r"^LT compares two python-graphblas containers of object "
                                            r"codes, or an infix expression of two \(A & B\), not "):
            gbops.LT(*args, **kwargs)
    assert gbops.LT(A & B).new().isequal(gbops.LT(A, B))
