"""Object operators for pygraphblas matrices whose cells hold object codes.

Cells of an INT64 matrix hold object codes handed out by a
:class:`vorlane._Quodex.Quodex` store. These operators let GraphBLAS compute
on the objects behind the codes, natively and on any of its threads:

* ``EQ``, ``NE``, ``LT``, ``GT``, ``GE``, ``LE`` compare the two objects with
  Python's rich comparison and produce BOOL cells (a comparison that raises,
  such as ``"a" < 1``, gives false). Use them with element-wise
  multiplication (``A.emult(B, ops.LT)`` or ``ops.LT(A, B)``), where both cells
  exist. They are the kernels of ``vorlane._Compare``: pairs of exact
  ``str``, ``int``, ``bool``, ``float``, ``bytes`` and tuples of those (and
  identical cells for ``EQ`` and ``NE``, and pairs of different built-in
  kinds, such as a ``tuple`` against a ``str``, that Python settles without
  running any code) are answered without the interpreter lock; everything
  else takes it.
* ``FIRST``, ``SECOND``, ``ANY`` pick one of the two codes without touching
  the objects; they work with ``emult`` and ``eadd`` alike, and the result
  decodes with ``Quodex.decode_many``. They are GraphBLAS's own INT64
  operators, so GraphBLAS runs them at its built-in speed. ``FIRST`` and
  ``SECOND`` give the codes ``vorlane._Zembra``'s selections give. ``ANY``
  gives either code where both cells exist (SuiteSparse:GraphBLAS 5.1 and 8.2
  take the second, where ``_Zembra``'s ``PyObject_ANY`` takes the first);
  where only one exists it gives that one.

Calling a comparison as ``op(A, B)`` (with ``cast``, ``out``, ``mask``,
``accum`` and ``desc`` as ``emult`` takes them, positionally or by name)
gives exactly what ``A.emult(B, op, ...)`` gives, faster: GraphBLAS finds the
cells A and B share and hands over their codes, one native pass compares
them (the pairs named above on several threads with the interpreter lock
released, the rest in the calling thread holding it once), and GraphBLAS
applies the answers with the mask, accumulator and descriptor. Both operands
must be INT64 containers of the same kind (two ``Matrix`` or two
``Vector``); anything else is refused with ``TypeError`` before any object is
read, and a shape that does not fit raises pygraphblas's own
``DimensionMismatch``. A KeyboardInterrupt (or any exception that is not an
``Exception``) raised during the comparisons ends the call.
``A.emult(B, op)`` still runs the operator cell by cell inside GraphBLAS.
"""
# First: it refuses any interpreter but the main one, before the binding
# loads into it.
from . import _Compare  # isort: skip

from pygraphblas import Matrix as _Matrix
from pygraphblas import Vector as _Vector
from pygraphblas import types as _types
from pygraphblas.binaryop import BinaryOp as _BinaryOp
from pygraphblas.descriptor import Descriptor as _Descriptor
from suitesparse_graphblas import ffi as _gffi
from suitesparse_graphblas import lib as _grb

from . import _comparison
from ._grb import check as _check

__all__ = ["ObjectOp", "EQ", "NE", "LT", "GT", "GE", "LE", "FIRST", "SECOND", "ANY"]

_RICH = {"LT": 0, "LE": 1, "EQ": 2, "NE": 3, "GT": 4, "GE": 5}


class ObjectOp(_BinaryOp):
    """A GraphBLAS binary operator over cells holding object codes.

    It behaves as a pygraphblas ``BinaryOp`` (``get_op``, use as a context
    manager, ``A.emult(B, op)``, ``A.eadd(B, op)``) but is not registered on
    pygraphblas's INT64 type, whose namespace stays as pygraphblas made it.
    """

    def __init__(self, name, ztype, builtin=None):
        if builtin is None:
            handle = _gffi.new("GrB_BinaryOp*")
            function = _gffi.cast("GxB_binary_function", _Compare.kernels[name])
            _check(_grb.GrB_BinaryOp_new(handle, function, ztype._gb_type,
                                         _types.INT64._gb_type, _types.INT64._gb_type),
                   f"GrB_BinaryOp_new for {name}")
            # The operator lives as long as the process, like pygraphblas's
            # own: freeing it at exit could race GraphBLAS's own shutdown.
            self._handle = handle
            self.binaryop = handle[0]
        else:
            self.binaryop = builtin
        self.ztype = ztype
        self.name = f"{name}_OBJECT"
        self.__doc__ = f"{name} over object codes, result type {ztype.__name__}"
        self.token = None
        self._rich = _RICH.get(name)

    def __call__(self, A, B, cast=None, out=None, mask=None, accum=None, desc=None):
        if self._rich is None:
            return A.emult(B, self, cast, out, mask, accum, desc)
        return _compare(self, A, B, cast, out, mask, accum, desc)

    def __repr__(self):
        return f"<vorlane.ops.{self.name.split('_')[0]}>"


def _compare(op, A, B, cast, out, mask, accum, desc):
    """`A.emult(B, op, cast, out, mask, accum, desc)` through the native
    pass; everything is checked before GraphBLAS is asked anything."""
    name = op.name.split("_")[0]
    if isinstance(A, _Matrix) and isinstance(B, _Matrix):
        container, kind = _Matrix, _comparison.MATRIX
    elif isinstance(A, _Vector) and isinstance(B, _Vector):
        container, kind = _Vector, _comparison.VECTOR
    else:
        raise TypeError(f"{name} compares two pygraphblas Matrix or two Vector objects, "
                        f"not {type(A).__name__} and {type(B).__name__}")
    for value, what in ((out, "out"), (mask, "mask")):
        if value is not None and not isinstance(value, container):
            raise TypeError(f"{what} must be a pygraphblas {container.__name__} or None, "
                            f"not {type(value).__name__}")
    if accum is not None and not isinstance(accum, _BinaryOp):
        raise TypeError(f"accum must be a pygraphblas BinaryOp or None, not {type(accum).__name__}")
    if desc is not None and not isinstance(desc, _Descriptor):
        raise TypeError(f"desc must be a pygraphblas Descriptor or None, not {type(desc).__name__}")
    if cast is not None and not (isinstance(cast, type) and issubclass(cast, _types.Type)):
        raise TypeError(f"cast must be a pygraphblas type or None, not {cast!r}")
    # pygraphblas's own defaults: the accumulator and descriptor of an
    # enclosing `with` block.
    mask_h, accum_h, desc_h = A._get_args(mask, accum, desc)
    fresh = out is None
    if fresh:
        # emult's own result: the result type, A's shape (transposed or not).
        typ = cast or op.ztype
        out = container(kind.make(typ._gb_type, kind.shape(_handle(A))), typ)
    _comparison.compare(kind, op._rich, _handle(out), mask_h, accum_h, _handle(A), _handle(B),
                        _comparison.flags_of(desc_h), fresh and out.type is _types.BOOL)
    return out


def _handle(container):
    return container._matrix[0] if isinstance(container, _Matrix) else container._vector[0]


EQ = ObjectOp("EQ", _types.BOOL)
NE = ObjectOp("NE", _types.BOOL)
LT = ObjectOp("LT", _types.BOOL)
GT = ObjectOp("GT", _types.BOOL)
GE = ObjectOp("GE", _types.BOOL)
LE = ObjectOp("LE", _types.BOOL)
FIRST = ObjectOp("FIRST", _types.INT64, _grb.GrB_FIRST_INT64)
SECOND = ObjectOp("SECOND", _types.INT64, _grb.GrB_SECOND_INT64)
ANY = ObjectOp("ANY", _types.INT64, _grb.GxB_ANY_INT64)
