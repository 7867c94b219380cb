"""The object operators for python-graphblas matrices of codes.

python-graphblas (the maintained successor of pygraphblas) runs on CPython
3.10 and later. Where it is installed, this module offers the same nine
operators as :mod:`vorlane.ops`, made once, at import:

* ``EQ``, ``NE``, ``LT``, ``GT``, ``GE``, ``LE`` compare the two objects behind
  the codes with Python's rich comparison and give BOOL cells (a comparison
  that raises, such as ``"a" < 1``, gives false). Each is a python-graphblas
  operator made from the native address of a ``vorlane._Compare`` kernel, so
  pairs of exact ``str``, ``int``, ``float`` and ``bytes`` are answered
  without the interpreter lock, as in :mod:`vorlane.ops`.
* ``FIRST``, ``SECOND``, ``ANY`` pick one of the two codes: they are
  python-graphblas's own INT64 ``first``, ``second`` and ``any``. Where both
  cells exist ``ANY`` may give either code.

Use them as any python-graphblas operator on INT64 matrices of codes::

    A.ewise_mult(B, gbops.LT).new()
    A.ewise_add(B, gbops.SECOND).new()

python-graphblas makes user operators from Python functions through numba;
one made from a native address it only has as an internal class. Everything
this module takes from python-graphblas's internals is in ``_typed_op``, and
``tests/test_gbops.py`` fails loudly when those internals change.
"""
from graphblas import binary as _binary
from graphblas import dtypes as _dtypes
from graphblas.core import ffi as _ffi
from graphblas.core import lib as _lib

from . import _Compare

__all__ = ["EQ", "NE", "LT", "GT", "GE", "LE", "FIRST", "SECOND", "ANY"]

# The GrB_BinaryOp handles live as long as the process, like the library's
# own built-in operators: freeing them at exit could race GraphBLAS's shutdown.
_handles = []


class _Parent:
    """What a typed operator asks of the untyped operator it belongs to:
    none of these exist for an operator over object codes."""

    monoid = None
    commutes_to = None
    _semiring_commutes_to = None
    orig_func = None
    _numba_func = None

    def __init__(self, name):
        self.name = name


def _typed_op(name, gb_obj, return_type):
    # The one use of python-graphblas's internals: its class for typed user
    # operators, which accepts a GrB_BinaryOp that is already made.
    from graphblas.core.operator.binary import TypedUserBinaryOp

    return TypedUserBinaryOp(_Parent(name), name, _dtypes.INT64, return_type, gb_obj)


def _object_op(name):
    handle = _ffi.new("GrB_BinaryOp*")
    function = _ffi.cast("GxB_binary_function", _Compare.kernels[name])
    info = _lib.GrB_BinaryOp_new(handle, function, _dtypes.BOOL.gb_obj, _dtypes.INT64.gb_obj,
                                 _dtypes.INT64.gb_obj)
    if info != _lib.GrB_SUCCESS:
        raise RuntimeError(f"GrB_BinaryOp_new failed for {name} (GrB_Info {info})")
    _handles.append(handle)
    return _typed_op(name, handle[0], _dtypes.BOOL)


EQ = _object_op("EQ")
NE = _object_op("NE")
LT = _object_op("LT")
GT = _object_op("GT")
GE = _object_op("GE")
LE = _object_op("LE")
FIRST = _binary.first[_dtypes.INT64]
SECOND = _binary.second[_dtypes.INT64]
ANY = _binary.any[_dtypes.INT64]
