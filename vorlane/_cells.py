"""The shared core of the object columns: GraphBLAS calls on raw GrB_Matrix
and GrB_Vector handles of suitesparse_graphblas, and the checks of what a
caller hands in.

Both bindings' fronts (:mod:`vorlane.matrix` for pygraphblas,
:mod:`vorlane.gbmatrix` for python-graphblas) and the owning wrappers of
:mod:`vorlane.objects` work through it. It imports neither binding, so each
front needs only its own.
"""
import operator
from contextlib import contextmanager
from typing import Iterator, List, Optional, Sequence, Tuple

import numpy as np
from suitesparse_graphblas import ffi as _ffi
from suitesparse_graphblas import lib as _lib

from . import _grb, _Holdings, _layout
from ._Quodex import Quodex

# With dup=None any operator does: a duplicate is refused before its cell is used.
_DUP_OPS = {None: _lib.GrB_FIRST_INT64, "first": _lib.GrB_FIRST_INT64, "second": _lib.GrB_SECOND_INT64}


# ---------------------------------------------------------------------------
# GraphBLAS calls on raw handles. Everything below the fronts works on a
# GrB_Matrix or GrB_Vector handle of suitesparse_graphblas, whichever Python
# wrapper made it.

def _ok(info: int, call: str) -> None:
    _grb.check(info, call)


def _index_ptr(a: np.ndarray):
    return _ffi.cast("GrB_Index *", _ffi.from_buffer(a))


def _int64_ptr(a: np.ndarray):
    return _ffi.cast("int64_t *", _ffi.from_buffer(a))


class _Calls:
    """The calls that differ between matrices and vectors. The comparison
    pass makes its own through vorlane._layout, whose entries keep the
    interpreter lock; unpacking goes through there too."""

    axes: Tuple[str, ...]  # how an error message names one coordinate
    layout: _layout.Kind
    # The one sparsity format whose values can be taken out and put back
    # without GraphBLAS converting anything.
    unpackable: int

    def __init__(self, prefix: str) -> None:
        self.prefix = prefix
        self.nvals_fn = getattr(_lib, f"GrB_{prefix}_nvals")
        self.type_fn = getattr(_lib, f"GxB_{prefix}_type")
        self.build_fn = getattr(_lib, f"GrB_{prefix}_build_INT64")
        self.extract_fn = getattr(_lib, f"GrB_{prefix}_extractTuples_INT64")
        self.option_get_fn = getattr(_lib, f"GxB_{prefix}_Option_get")
        self.option_set_fn = getattr(_lib, f"GxB_{prefix}_Option_set")
        self.ewise_fns = {"add": getattr(_lib, f"GrB_{prefix}_eWiseAdd_BinaryOp"),
                          "mult": getattr(_lib, f"GrB_{prefix}_eWiseMult_BinaryOp")}
        self.apply_fn = getattr(_lib, f"GrB_{prefix}_apply")

    def nvals(self, handle) -> int:
        n = _ffi.new("GrB_Index *")
        _ok(self.nvals_fn(n, handle), f"GrB_{self.prefix}_nvals")
        return int(n[0])

    def is_int64(self, handle) -> bool:
        t = _ffi.new("GrB_Type *")
        _ok(self.type_fn(t, handle), f"GxB_{self.prefix}_type")
        return bool(t[0] == _lib.GrB_INT64)

    def option(self, handle, field: int) -> int:
        value = _ffi.new("int *")
        _ok(self.option_get_fn(handle, field, value), f"GxB_{self.prefix}_Option_get")
        return int(value[0])

    def set_option(self, handle, field: int, value: int) -> None:
        _ok(self.option_set_fn(handle, field, _ffi.cast("int", value)), f"GxB_{self.prefix}_Option_set")

    def build(self, handle, indices: Sequence[np.ndarray], values: np.ndarray, op) -> None:
        _ok(self.build_fn(handle, *map(_index_ptr, indices), _int64_ptr(values), len(values), op),
            f"GrB_{self.prefix}_build_INT64")

    def extract(self, handle, indices: Optional[Sequence[np.ndarray]], values: np.ndarray) -> None:
        """Fills `values` (and `indices`, unless None) with every cell."""
        n = _ffi.new("GrB_Index *", len(values))
        pointers = [_ffi.NULL] * len(self.axes) if indices is None else list(map(_index_ptr, indices))
        _ok(self.extract_fn(*pointers, _int64_ptr(values), n, handle),
            f"GrB_{self.prefix}_extractTuples_INT64")
        if n[0] != len(values):
            raise RuntimeError(f"GraphBLAS gave {n[0]} tuples of {len(values)}")

    def cells(self, handle) -> Tuple[np.ndarray, ...]:
        """(indices..., codes) of every cell, in GraphBLAS's order. Indices
        never exceed 2**60: int64 holds them and mixes with NumPy's default
        integers without turning into floats."""
        n = self.nvals(handle)
        indices = [np.empty(n, dtype=np.uint64) for _ in self.axes]
        codes = np.empty(n, dtype=np.int64)
        self.extract(handle, indices, codes)
        return (*(a.view(np.int64) for a in indices), codes)

    def codes(self, handle) -> np.ndarray:
        codes = np.empty(self.nvals(handle), dtype=np.int64)
        self.extract(handle, None, codes)
        return codes

    def copy_cells(self, out, source, mask=None, desc=None) -> None:
        """out<mask> = source, codes unchanged."""
        _ok(self.apply_fn(out, _ffi.NULL if mask is None else mask, _ffi.NULL, _lib.GrB_IDENTITY_INT64,
                          source, _ffi.NULL if desc is None else desc), f"GrB_{self.prefix}_apply")

    def combine(self, how: str, out, op, a, b) -> None:
        """out = a (+ or .*) b with `op`, `how` being "add" or "mult"."""
        _ok(self.ewise_fns[how](out, _ffi.NULL, _ffi.NULL, op, a, b, _ffi.NULL), f"GrB_{self.prefix}_eWise")

    @contextmanager
    def values(self, handle) -> Iterator[np.ndarray]:
        """The container's value array, in storage order, as a writable int64
        array; it goes back into the container when the block ends, however it
        ends. The container should be in the `unpackable` format: unpacking
        in another one converts it."""
        nvals = self.nvals(handle)
        arrays = _layout.Unpacked(self.layout, self.unpack_format(handle), handle)
        try:
            yield _value_view(*arrays.values, nvals)
        finally:
            arrays.pack(handle, arrays.values)

    def unpack_format(self, handle) -> str:
        raise NotImplementedError


class _MatrixCalls(_Calls):
    axes = ("row", "col")
    unpackable = _lib.GxB_HYPERSPARSE
    layout = _layout.MATRIX

    def __init__(self) -> None:
        super().__init__("Matrix")

    def unpack_format(self, handle) -> str:
        # The matrix's own orientation moves pointers; the other one would
        # transpose it.
        return "HyperCSR" if self.option(handle, _lib.GxB_FORMAT) == _lib.GxB_BY_ROW else "HyperCSC"


class _VectorCalls(_Calls):
    axes = ("index",)
    unpackable = _lib.GxB_SPARSE
    layout = _layout.VECTOR

    def __init__(self) -> None:
        super().__init__("Vector")

    def unpack_format(self, handle) -> str:
        return "CSC"


def _value_view(x, size: int, iso: bool, nvals: int) -> np.ndarray:
    # An iso container keeps its one value once.
    count = 1 if iso else nvals
    if count * 8 > size:
        raise RuntimeError(f"GraphBLAS value array of {size} bytes for {count} values")
    return np.frombuffer(_ffi.buffer(x, count * 8), dtype=np.int64)


_MATRIX = _MatrixCalls()
_VECTOR = _VectorCalls()


def _fill(calls: _Calls, handle, store: Quodex, indices: Sequence[np.ndarray], objects: np.ndarray,
          dup: Optional[str]) -> np.ndarray:
    """Builds the codes of `objects` at `indices` into the empty INT64
    container `handle`, after checked arguments, and returns the objects that
    keep a cell, in the container's order. The store is touched only once the
    cells are known: a refused duplicate leaves it alone, and only the objects
    that keep a cell are interned. Interning is all or nothing: when a count
    overflows or the store cannot grow, every count taken is given back."""
    n = len(objects)
    if n == 0:
        return np.empty(0, dtype=object)
    # GraphBLAS builds the cells from each object's position rather than its
    # code; the positions are replaced by codes in place afterwards, which
    # costs one gather instead of a second build.
    saved = calls.option(handle, _lib.GxB_SPARSITY_CONTROL)
    calls.set_option(handle, _lib.GxB_SPARSITY_CONTROL, calls.unpackable)
    try:
        calls.build(handle, indices, np.arange(n, dtype=np.int64), _DUP_OPS[dup])
        cells = calls.nvals(handle)
        if cells < n and dup is None:
            raise ValueError(_duplicate_message(calls, indices, n - cells))
        with calls.values(handle) as where:
            # Positions are distinct, so only a single cell can be iso.
            assert len(where) == cells
            kept = objects.take(where)
            _Holdings.intern(store, kept, where)
            return kept
    finally:
        calls.set_option(handle, _lib.GxB_SPARSITY_CONTROL, saved)


def _duplicate_message(calls: _Calls, indices: Sequence[np.ndarray], surplus: int) -> str:
    order = np.lexsort(tuple(reversed(indices)))
    keys = [a[order] for a in indices]
    same = np.logical_and.reduce([k[1:] == k[:-1] for k in keys])
    first = int(np.argmax(same))
    where = ", ".join(f"{axis} {int(k[first])}" for axis, k in zip(calls.axes, keys))
    return (f"{surplus} duplicate coordinate(s), ({where}) among them; pass dup='first' or "
            f"dup='second' to keep one object per cell")


def check_int64(calls: _Calls, handle) -> None:
    if not calls.is_int64(handle):
        raise TypeError(f"the {calls.prefix.lower()} must hold INT64 object codes")


def _extract(calls: _Calls, handle, store: Optional[Quodex] = None) -> Tuple[np.ndarray, ...]:
    if store is not None and not isinstance(store, Quodex):
        raise TypeError(f"store must be a Quodex, not {type(store).__name__}")
    check_int64(calls, handle)
    *indices, codes = calls.cells(handle)
    if store is None:
        return (*indices, Quodex.decode_many(codes))
    objects = np.empty(len(codes), dtype=object)
    # Checked and decoded in one call: no other thread can drop an object
    # between the two.
    bad = _Holdings.decode_held(store, codes, objects)
    if bad >= 0:
        where = ", ".join(f"{axis} {int(a[bad])}" for axis, a in zip(calls.axes, indices))
        raise ValueError(f"the code at ({where}) is not held by the store")
    return (*indices, objects)


# ---------------------------------------------------------------------------
# Argument checks: all of them run before any container or store is touched.

def _check_array(a: object, name: str) -> np.ndarray:
    if not isinstance(a, np.ndarray):
        raise TypeError(f"{name} must be a numpy.ndarray, not {type(a).__name__}")
    if a.ndim != 1:
        raise ValueError(f"{name} must be one-dimensional, not {a.ndim}-dimensional")
    return a


def _check_extent(value: object, name: str) -> int:
    n = operator.index(value)  # type: ignore[arg-type]
    if not 0 <= n <= _lib.GxB_INDEX_MAX:
        raise ValueError(f"{name} must be between 0 and {_lib.GxB_INDEX_MAX}, not {n}")
    return n


def _check_indices(a: object, name: str, extent: int, extent_name: str) -> np.ndarray:
    """Checks an index array and returns it as contiguous GrB_Index, which is
    the array itself (viewed) when it is already contiguous 64-bit."""
    a = _check_array(a, name)
    if a.dtype.kind not in "iu":
        raise ValueError(f"{name} must hold integers, not {a.dtype}")
    if len(a):
        low, high = int(a.min()), int(a.max())
        if low < 0:
            raise ValueError(f"{name} holds a negative index ({low})")
        if high >= extent:
            raise ValueError(f"{name} holds index {high}, out of range for {extent_name}={extent}")
    if a.dtype in (np.dtype(np.int64), np.dtype(np.uint64)) and a.flags.c_contiguous:
        return a.view(np.uint64)
    return np.ascontiguousarray(a, dtype=np.uint64)


def _check_cells(store: object, indices: Sequence[Tuple[object, str, int, str]], objects: object,
                 dup: object) -> List[np.ndarray]:
    if not isinstance(store, Quodex):
        raise TypeError(f"store must be a Quodex, not {type(store).__name__}")
    objects = _check_array(objects, "objects")
    if objects.dtype.kind != "O":
        raise ValueError(f"objects must be an object array, not {objects.dtype}")
    if not (dup is None or dup in ("first", "second")):
        raise ValueError(f"dup must be None, 'first' or 'second', not {dup!r}")
    lengths = [len(_check_array(a, name)) for a, name, _, _ in indices] + [len(objects)]
    if len(set(lengths)) != 1:
        names = ", ".join(name for _, name, _, _ in indices)
        raise ValueError(f"{names} and objects must have the same length, not "
                         f"{', '.join(map(str, lengths[:-1]))} and {lengths[-1]}")
    return [_check_indices(*spec) for spec in indices]
