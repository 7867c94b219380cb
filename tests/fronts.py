"""The two GraphBLAS fronts of the object comparisons behind one interface, so
that one suite runs against both: pygraphblas with vorlane.ops, and
python-graphblas (CPython 3.10 and later) with vorlane.gbops.

Each front builds INT64 containers of codes, calls a comparison as
``op(A, B, ...)``, and computes the same through the binding's own
element-wise product with the operator (the reference the call must equal);
masks, replace and transposes are given in one vocabulary and said in each
binding's own."""
import importlib.util

import numpy as np


def _in_order(keys, values):
    """(keys, values) of a container's cells, sorted by coordinate whatever
    the container's storage order."""
    cells = sorted(zip((tuple(map(int, k)) for k in keys), values))
    return [k for k, _ in cells], [v for _, v in cells]


class PyGraphBLAS:
    name = "pygraphblas"

    def __init__(self):
        from pygraphblas import Matrix, Vector, base, descriptor, types
        from suitesparse_graphblas import lib

        from vorlane import ops

        self.Matrix, self.Vector, self.types, self.lib = Matrix, Vector, types, lib
        self.Descriptor = descriptor.Descriptor
        self.ops = ops
        self.DimensionMismatch = base.DimensionMismatch

    def matrix(self, rows, cols, values, nrows, ncols, dtype="INT64"):
        return self.Matrix.from_lists(list(map(int, rows)), list(map(int, cols)),
                                      np.asarray(values).tolist(), nrows, ncols,
                                      typ=getattr(self.types, dtype))

    def vector(self, indices, values, size, dtype="INT64"):
        return self.Vector.from_lists(list(map(int, indices)), np.asarray(values).tolist(), size,
                                      typ=getattr(self.types, dtype))

    def cells(self, container):
        *index, values = container.to_lists()
        return _in_order(zip(*index), [v if isinstance(v, bool) else int(v) for v in values])

    def _desc(self, structure, complement, replace, transpose_a):
        if not (structure or complement or replace or transpose_a):
            return None
        desc = self.Descriptor()
        for wanted, field, value in ((structure, self.lib.GrB_MASK, self.lib.GrB_STRUCTURE),
                                     (complement, self.lib.GrB_MASK, self.lib.GrB_COMP),
                                     (replace, self.lib.GrB_OUTP, self.lib.GrB_REPLACE),
                                     (transpose_a, self.lib.GrB_INP0, self.lib.GrB_TRAN)):
            if wanted:
                desc[field] = value
        return desc

    def _args(self, out, mask, accum, dtype, structure, complement, replace, transpose_a):
        return dict(cast=None if dtype is None else getattr(self.types, dtype), out=out, mask=mask,
                    accum=None if accum is None else getattr(self.types.BOOL, accum.upper()),
                    desc=self._desc(structure, complement, replace, transpose_a))

    def compare(self, name, A, B, out=None, mask=None, accum=None, dtype=None, structure=False,
                complement=False, replace=False, transpose_a=False):
        args = self._args(out, mask, accum, dtype, structure, complement, replace, transpose_a)
        return getattr(self.ops, name)(A, B, **args)

    def reference(self, name, A, B, out=None, mask=None, accum=None, dtype=None, structure=False,
                  complement=False, replace=False, transpose_a=False):
        args = self._args(out, mask, accum, dtype or "BOOL", structure, complement, replace, transpose_a)
        return A.emult(B, getattr(self.ops, name), **args)

    def dup(self, container):
        return container.dup()


class PythonGraphBLAS:
    name = "python-graphblas"

    def __init__(self):
        import graphblas
        from graphblas import Matrix, Vector, binary, dtypes

        from vorlane import gbops

        self.Matrix, self.Vector, self.binary, self.dtypes = Matrix, Vector, binary, dtypes
        self.ops = gbops
        self.DimensionMismatch = graphblas.exceptions.DimensionMismatch

    def matrix(self, rows, cols, values, nrows, ncols, dtype="INT64"):
        return self.Matrix.from_coo(np.asarray(rows, dtype=np.int64), np.asarray(cols, dtype=np.int64),
                                    np.asarray(values), nrows=nrows, ncols=ncols,
                                    dtype=getattr(self.dtypes, dtype))

    def vector(self, indices, values, size, dtype="INT64"):
        return self.Vector.from_coo(np.asarray(indices, dtype=np.int64), np.asarray(values), size=size,
                                    dtype=getattr(self.dtypes, dtype))

    def cells(self, container):
        *index, values = container.to_coo()
        return _in_order(zip(*index), [bool(v) if values.dtype == bool else int(v) for v in values])

    @staticmethod
    def _mask(mask, structure, complement):
        if mask is None:
            return None
        m = mask.S if structure else mask.V
        return ~m if complement else m

    def compare(self, name, A, B, out=None, mask=None, accum=None, dtype=None, structure=False,
                complement=False, replace=False, transpose_a=False):
        return getattr(self.ops, name)(
            A.T if transpose_a else A, B, out=out, mask=self._mask(mask, structure, complement),
            accum=None if accum is None else getattr(self.binary, accum), replace=replace,
            dtype=None if dtype is None else getattr(self.dtypes, dtype))

    def reference(self, name, A, B, out=None, mask=None, accum=None, dtype=None, structure=False,
                  complement=False, replace=False, transpose_a=False):
        expr = (A.T if transpose_a else A).ewise_mult(B, getattr(self.ops, name))
        if out is None:
            return expr.new(dtype=getattr(self.dtypes, dtype or "BOOL"),
                            mask=self._mask(mask, structure, complement))
        out(mask=self._mask(mask, structure, complement),
            accum=None if accum is None else getattr(self.binary, accum), replace=replace) << expr
        return out

    def dup(self, container):
        return container.dup()


def available():
    """The fronts this interpreter has."""
    fronts = []
    if importlib.util.find_spec("pygraphblas") is not None:
        fronts.append(PyGraphBLAS)
    if importlib.util.find_spec("graphblas") is not None:
        fronts.append(PythonGraphBLAS)
    return fronts
