"""The object operators for python-graphblas matrices of codes.

python-graphblas (the maintained successor of pygraphblas) runs on CPython
3.10 and later. Where it is installed, this module offers the same nine
operators as :mod:`vorlane.ops`, made once, at import:

* ``EQ``, ``NE``, ``LT``, ``GT``, ``GE``, ``LE`` compare the two objects behind
  the codes with Python's rich comparison and give BOOL cells (a comparison
  that raises, such as ``"a" < 1``, gives false). Each is a python-graphblas
  operator made from the native address of a ``vorlane._Compare`` kernel, so
  the same pairs as in :mod:`vorlane.ops` are answered without the
  interpreter lock.
* ``FIRST``, ``SECOND``, ``ANY`` pick one of the two codes: they are
  python-graphblas's own INT64 ``first``, ``second`` and ``any``. Where both
  cells exist ``ANY`` may give either code.

Use them as any python-graphblas operator on INT64 matrices of codes::

    A.ewise_mult(B, gbops.LT).new()
    A.ewise_add(B, gbops.SECOND).new()

or call a comparison on two containers, which gives the same result through
one native pass over the cells they share (as ``op(A, B)`` of
:mod:`vorlane.ops`, from the same code)::

    gbops.LT(A, B)                                  # a new BOOL container
    gbops.LT(A.T, B, mask=M.S, dtype=dtypes.INT8)
    gbops.LT(A, B, out=C, mask=~M.V, accum=binary.lor, replace=True)

Both operands are two Matrix objects (either may be transposed, ``A.T``) or
two Vector objects holding INT64 codes; anything else is refused with
``TypeError`` before any object is read, and shapes that do not fit raise
``graphblas.exceptions.DimensionMismatch``. Any other call of the operator
is refused with ``TypeError``, but for ``gbops.LT(A & B)``, which is
python-graphblas's own: a scalar or a default would be read as a code.

python-graphblas makes user operators from Python functions through numba;
one made from a native address it only has as an internal class. Everything
this module takes from python-graphblas's internals is imported in one block
below, and ``tests/test_gbops.py`` fails loudly when those internals change.
"""
# First: it refuses any interpreter but the main one, before the binding
# loads into it.
from . import _Compare  # isort: skip

from graphblas import Matrix as _Matrix
from graphblas import Vector as _Vector
from graphblas import binary as _binary
from graphblas import dtypes as _dtypes
from graphblas.core import ffi as _ffi
from graphblas.core import lib as _lib

# python-graphblas's internals: its class for typed user operators, which
# accepts a GrB_BinaryOp that is already made, its infix expressions
# (A & B), its transposed view, its mask
# class (whose `structure` and `complement` say what the mask is), and
# `_from_obj` of Matrix and Vector, which wraps a handle made here.
from graphblas.core.expr import InfixExprBase as _InfixExprBase
from graphblas.core.mask import Mask as _Mask
from graphblas.core.matrix import TransposedMatrix as _TransposedMatrix
from graphblas.core.operator.binary import TypedUserBinaryOp as _TypedUserBinaryOp

from . import _comparison
from ._grb import check as _check

__all__ = ["EQ", "NE", "LT", "GT", "GE", "LE", "FIRST", "SECOND", "ANY"]

_RICH = {"LT": 0, "LE": 1, "EQ": 2, "NE": 3, "GT": 4, "GE": 5}

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


class _ObjectComparison(_TypedUserBinaryOp):
    """A comparison over object codes: an operator for ``ewise_mult``, and
    callable on two containers (see the module's documentation)."""

    __slots__ = ("_rich",)

    def __call__(self, left, right=None, *, out=None, mask=None, accum=None, replace=False,
                 dtype=None, **kwargs):
        if _is_operand(left) and _is_operand(right) and not kwargs:
            return _compare(self, left, right, out, mask, accum, replace, dtype)
        if (right is None and not kwargs and out is None and mask is None and accum is None
                and not replace and dtype is None and isinstance(left, _InfixExprBase)):
            return super().__call__(left)  # gbops.LT(A & B): python-graphblas's own
        # Everything else python-graphblas would do with the operator reads
        # a scalar, or a default, as an object code: refused.
        raise TypeError(f"{self.name} compares two python-graphblas containers of object codes, "
                        f"or an infix expression of two (A & B), not "
                        f"{type(left).__name__} and {type(right).__name__}"
                        + (f" with {', '.join(sorted(kwargs))}" if kwargs else ""))


def _is_operand(value) -> bool:
    return isinstance(value, (_Matrix, _TransposedMatrix, _Vector))


def _compare(op, A, B, out, mask, accum, replace, dtype):
    """`out(mask, accum, replace) << A.ewise_mult(B, op)` through the native
    pass; everything is checked before GraphBLAS is asked anything."""
    if isinstance(A, _Vector) and isinstance(B, _Vector):
        container, kind = _Vector, _comparison.VECTOR
    elif not isinstance(A, _Vector) and not isinstance(B, _Vector):
        container, kind = _Matrix, _comparison.MATRIX
    else:
        raise TypeError(f"{op.name} compares two python-graphblas Matrix or two Vector objects, "
                        f"not {type(A).__name__} and {type(B).__name__}")
    if out is not None and not isinstance(out, container):
        raise TypeError(f"out must be a python-graphblas {container.__name__} or None, "
                        f"not {type(out).__name__}")
    if mask is not None and not (isinstance(mask, _Mask) and isinstance(mask.parent, container)):
        raise TypeError(f"mask must be a {container.__name__}'s mask (M.S, M.V, ~M.S, ~M.V) or None, "
                        f"not {type(mask).__name__}")
    if not isinstance(replace, bool):
        raise TypeError(f"replace must be True or False, not {type(replace).__name__}")
    result = _dtypes.BOOL if dtype is None else _dtypes.lookup_dtype(dtype)
    fresh = out is None
    if fresh:
        # Made through the core, which keeps the interpreter lock throughout.
        shape = kind.shape(_handle(A))
        handle = kind.make(result.gb_obj, shape)
        if container is _Vector:
            out = _Vector._from_obj(handle, result, *shape)
        else:
            nrows, ncols = reversed(shape) if isinstance(A, _TransposedMatrix) else shape
            out = _Matrix._from_obj(handle, result, nrows, ncols)
    elif dtype is not None:
        raise TypeError("dtype is the type of a new result; out has its own")
    accum_h = _ffi.NULL if accum is None else _typed_accum(accum, out.dtype).gb_obj
    flags = _comparison.Flags(transpose_a=isinstance(A, _TransposedMatrix),
                              transpose_b=isinstance(B, _TransposedMatrix),
                              structure=mask is not None and mask.structure,
                              complement=mask is not None and mask.complement, replace=replace)
    _comparison.compare(kind, op._rich, out.gb_obj[0],
                        _ffi.NULL if mask is None else mask.parent.gb_obj[0], accum_h,
                        _handle(A), _handle(B), flags, fresh and result == _dtypes.BOOL)
    return out


def _typed_accum(accum, dtype):
    if isinstance(accum, str):
        accum = _binary.from_string(accum)
    typed = accum if hasattr(accum, "gb_obj") else None
    if typed is None and hasattr(accum, "__getitem__"):
        typed = accum[dtype]
    if typed is None or not hasattr(typed, "gb_obj") or typed.opclass != "BinaryOp":
        raise TypeError(f"accum must be a python-graphblas BinaryOp or its name, not {accum!r}")
    return typed


def _handle(container):
    if isinstance(container, _TransposedMatrix):
        container = container._matrix
    return container.gb_obj[0]


def _object_op(name):
    handle = _ffi.new("GrB_BinaryOp*")
    function = _ffi.cast("GxB_binary_function", _Compare.kernels[name])
    _check(_lib.GrB_BinaryOp_new(handle, function, _dtypes.BOOL.gb_obj, _dtypes.INT64.gb_obj,
                                 _dtypes.INT64.gb_obj), f"GrB_BinaryOp_new for {name}")
    _handles.append(handle)
    op = _ObjectComparison(_Parent(name), name, _dtypes.INT64, _dtypes.BOOL, handle[0])
    op._rich = _RICH[name]
    return op


EQ = _object_op("EQ")
NE = _object_op("NE")
LT = _object_op("LT")
GT = _object_op("GT")
GE = _object_op("GE")
LE = _object_op("LE")
FIRST = _binary.first[_dtypes.INT64]
SECOND = _binary.second[_dtypes.INT64]
ANY = _binary.any[_dtypes.INT64]
