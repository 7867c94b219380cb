"""GraphBLAS containers on raw handles, whichever binding made them: their
storage formats, and their arrays unpacked and packed back (moved, never
copied), through GraphBLAS entries that keep the interpreter lock.

Why the lock is kept: cffi would hand it back and forth around each of the
twenty-odd calls of one comparison, and while other Python threads are
busy each hand-over waits up to the interpreter's switch interval (5 ms),
which made a call of a millisecond's work take a hundred. GraphBLAS's built-in operators never
call back into Python, so holding the lock through them cannot deadlock.
"""
import ctypes
from typing import Dict, List, Tuple

from suitesparse_graphblas import ffi as _ffi
from suitesparse_graphblas import lib as _lib

from ._grb import check

__all__ = ["MATRIX", "VECTOR", "Kind", "Unpacked", "grb"]

NULL = _ffi.NULL


def _address(value) -> int:
    """A cffi pointer, or an int or bool, as the integer ctypes passes."""
    if isinstance(value, int):
        return int(value)
    return int(_ffi.cast("uintptr_t", value))


class _KeepingLock:
    """GraphBLAS's functions, called without releasing the interpreter lock.

    Every argument is a pointer or an integer, passed as one machine word;
    the few variadic functions used take pointer arguments only."""

    _VARIADIC = {"GxB_Matrix_Option_get": 3, "GxB_Vector_Option_get": 3,
                 "GxB_Global_Option_get": 2, "GxB_Desc_get": 3}

    def __init__(self) -> None:
        self._entries: Dict[str, object] = {}

    def __getattr__(self, name: str):
        entry = self._entries.get(name)
        if entry is None:
            count = self._VARIADIC.get(name) or len(_ffi.typeof(getattr(_lib, name)).args)
            prototype = ctypes.PYFUNCTYPE(ctypes.c_int, *[ctypes.c_void_p] * count)
            function = prototype(_address(_ffi.addressof(_lib, name)))

            def entry(*args, _function=function):
                return _function(*map(_address, args))
            self._entries[name] = entry
        return entry


grb = _KeepingLock()


_TYPE_NAMES = {}
for _name in ("BOOL", "INT8", "INT16", "INT32", "INT64", "UINT8", "UINT16", "UINT32", "UINT64",
              "FP32", "FP64"):
    _TYPE_NAMES[int(_ffi.cast("uintptr_t", getattr(_lib, "GrB_" + _name)))] = _name
for _name in ("FC32", "FC64"):
    if hasattr(_lib, "GxB_" + _name):
        _TYPE_NAMES[int(_ffi.cast("uintptr_t", getattr(_lib, "GxB_" + _name)))] = _name
del _name


class Unpacked:
    """A container's arrays, unpacked in one format: owned here until they
    are packed into a container again."""

    def __init__(self, kind: "Kind", fmt: str, handle):
        self.kind, self.fmt = kind, fmt
        names = kind.arrays[fmt]
        self.arrays = [_ffi.new(ctype + "*") for ctype in names]
        self.sizes = [_ffi.new("GrB_Index*") for _ in names]
        self.iso = _ffi.new("bool*")
        self.scalars = [None if s == "jumbled" else _ffi.new("GrB_Index*")
                        for s in kind.scalars[fmt]]
        unpack = getattr(grb, f"GxB_{kind.name}_unpack_{fmt}")
        # No jumbled pointer: GraphBLAS sorts, so both operands' cells come
        # in one order.
        args = [NULL if s is None else s for s in self.scalars]
        check(unpack(handle, *self.arrays, *self.sizes, self.iso, *args, NULL),
              f"GxB_{kind.name}_unpack_{fmt}", handle)
        self.held = True

    @property
    def values(self):
        return self.arrays[-1][0], int(self.sizes[-1][0]), bool(self.iso[0])

    def pack(self, handle, values) -> None:
        """Packs the pattern, with `values` (pointer, size, iso), into
        `handle`, which then owns them."""
        pointer, size, iso = values
        self.arrays[-1][0] = pointer
        scalars = [False if s is None else s[0] for s in self.scalars]
        pack = getattr(grb, f"GxB_{self.kind.name}_pack_{self.fmt}")
        check(pack(handle, *self.arrays, *(s[0] for s in self.sizes[:-1]), size, iso, *scalars, NULL),
              f"GxB_{self.kind.name}_pack_{self.fmt}", handle)
        self.held = False


class Kind:
    """The GraphBLAS calls of one container kind."""

    def __init__(self, name: str, arrays: Dict[str, List[str]], scalars: Dict[str, List[str]]):
        self.name = name
        self.arrays, self.scalars = arrays, scalars
        self.new, self.free = getattr(grb, f"GrB_{name}_new"), getattr(grb, f"GrB_{name}_free")
        self.nvals = getattr(grb, f"GrB_{name}_nvals")
        self.type_of = getattr(grb, f"GxB_{name}_type")
        self.option_get = getattr(grb, f"GxB_{name}_Option_get")
        self.ewise_mult = getattr(grb, f"GrB_{name}_eWiseMult_BinaryOp")
        self.apply = getattr(grb, f"GrB_{name}_apply")

    def shape(self, handle) -> Tuple[int, ...]:
        raise NotImplementedError

    def make(self, gb_type, shape):
        handle = _ffi.new(f"GrB_{self.name}*")
        check(self.new(handle, gb_type, *shape), f"GrB_{self.name}_new")
        return handle

    def option(self, handle, field) -> int:
        value = _ffi.new("int*")
        check(self.option_get(handle, field, value), f"GxB_{self.name}_Option_get", handle)
        return int(value[0])

    def type_name(self, handle) -> str:
        t = _ffi.new("GrB_Type*")
        check(self.type_of(t, handle), f"GxB_{self.name}_type", handle)
        return _TYPE_NAMES.get(int(_ffi.cast("uintptr_t", t[0])), "a user-defined type")

    def format(self, handle) -> str:
        raise NotImplementedError

    def positions(self, handle, fmt: str, nvals: int) -> int:
        """How many value slots the unpacked arrays hold."""
        if fmt.startswith(("Bitmap", "Full")):
            count = 1
            for extent in self.shape(handle):
                count *= extent
            return count
        return nvals


class _MatrixKind(Kind):
    def shape(self, handle):
        n, m = _ffi.new("GrB_Index*"), _ffi.new("GrB_Index*")
        check(grb.GrB_Matrix_nrows(n, handle), "GrB_Matrix_nrows", handle)
        check(grb.GrB_Matrix_ncols(m, handle), "GrB_Matrix_ncols", handle)
        return int(n[0]), int(m[0])

    def format(self, handle):
        status = self.option(handle, _lib.GxB_SPARSITY_STATUS)
        by_row = self.option(handle, _lib.GxB_FORMAT) == _lib.GxB_BY_ROW
        r, c = ("R", "C")
        return {_lib.GxB_HYPERSPARSE: "HyperCS", _lib.GxB_SPARSE: "CS", _lib.GxB_BITMAP: "Bitmap",
                _lib.GxB_FULL: "Full"}[status] + (r if by_row else c)


class _VectorKind(Kind):
    def shape(self, handle):
        n = _ffi.new("GrB_Index*")
        check(grb.GrB_Vector_size(n, handle), "GrB_Vector_size", handle)
        return (int(n[0]),)

    def format(self, handle):
        status = self.option(handle, _lib.GxB_SPARSITY_STATUS)
        return {_lib.GxB_SPARSE: "CSC", _lib.GxB_BITMAP: "Bitmap", _lib.GxB_FULL: "Full"}[status]


_INDEX, _BITS, _VALUES = "GrB_Index*", "int8_t*", "void*"
MATRIX = _MatrixKind(
    "Matrix",
    arrays={"HyperCSR": [_INDEX] * 3 + [_VALUES], "HyperCSC": [_INDEX] * 3 + [_VALUES],
            "CSR": [_INDEX] * 2 + [_VALUES], "CSC": [_INDEX] * 2 + [_VALUES],
            "BitmapR": [_BITS, _VALUES], "BitmapC": [_BITS, _VALUES],
            "FullR": [_VALUES], "FullC": [_VALUES]},
    scalars={"HyperCSR": ["nvec", "jumbled"], "HyperCSC": ["nvec", "jumbled"],
             "CSR": ["jumbled"], "CSC": ["jumbled"], "BitmapR": ["nvals"], "BitmapC": ["nvals"],
             "FullR": [], "FullC": []})
# GraphBLAS never keeps a vector hypersparse.
VECTOR = _VectorKind(
    "Vector",
    arrays={"CSC": [_INDEX, _VALUES], "Bitmap": [_BITS, _VALUES], "Full": [_VALUES]},
    scalars={"CSC": ["nvals", "jumbled"], "Bitmap": ["nvals"], "Full": []})
