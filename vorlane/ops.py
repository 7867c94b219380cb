"""The nine object kernels as pygraphblas binary operators.

Cells of an INT64 matrix hold object codes handed out by a
:class:`vorlane._Quodex.Quodex` store. These operators let GraphBLAS compute
on the objects behind the codes, natively and on any of its threads:

* ``EQ``, ``NE``, ``LT``, ``GT``, ``GE``, ``LE`` compare the two objects with
  Python's rich comparison and produce BOOL cells (a comparison that raises,
  such as ``"a" < 1``, gives false). Use them with element-wise
  multiplication (``A.emult(B, ops.LT)`` or ``ops.LT(A, B)``), where both cells
  exist.
* ``FIRST``, ``SECOND``, ``ANY`` pick one of the two codes without touching
  the objects; they work with ``emult`` and ``eadd`` alike, and the result
  decodes with ``Quodex.decode_many``.

Each operator is made once, at import, from the kernels' native addresses in
``vorlane._Zembra``. Calling an operator object as ``op(A, B)`` runs ``emult``
and, for comparisons, asks for a BOOL result matrix.
"""
from pygraphblas import types as _types
from pygraphblas.binaryop import BinaryOp as _BinaryOp
from suitesparse_graphblas import ffi as _gffi
from suitesparse_graphblas import lib as _grb

from . import _Zembra

__all__ = ["ObjectOp", "EQ", "NE", "LT", "GT", "GE", "LE", "FIRST", "SECOND", "ANY"]


class ObjectOp(_BinaryOp):
    """A GraphBLAS binary operator over cells holding object codes.

    It behaves as a pygraphblas ``BinaryOp`` (``get_op``, use as a context
    manager, ``A.emult(B, op)``, ``A.eadd(B, op)``) but is not registered on
    pygraphblas's INT64 type, whose namespace stays as pygraphblas made it.
    """

    def __init__(self, name, ztype):
        kernel = "PyObject_" + name
        handle = _gffi.new("GrB_BinaryOp*")
        function = _gffi.cast("GxB_binary_function", _Zembra.ffi.addressof(_Zembra.lib, kernel))
        info = _grb.GrB_BinaryOp_new(handle, function, ztype._gb_type,
                                     _types.INT64._gb_type, _types.INT64._gb_type)
        if info != _grb.GrB_SUCCESS:
            raise RuntimeError(f"GrB_BinaryOp_new failed for {kernel} (GrB_Info {info})")
        # The operator lives as long as the process, like pygraphblas's own:
        # freeing it at exit could race GraphBLAS's own shutdown.
        self._handle = handle
        self.binaryop = handle[0]
        self.ztype = ztype
        self.name = f"{name}_OBJECT"
        self.__doc__ = f"{kernel} over object codes, result type {ztype.__name__}"
        self.token = None

    def __call__(self, A, B, *args, **kwargs):
        kwargs.setdefault("cast", self.ztype)
        return A.emult(B, self, *args, **kwargs)

    def __repr__(self):
        return f"<vorlane.ops.{self.name.split('_')[0]}>"


EQ = ObjectOp("EQ", _types.BOOL)
NE = ObjectOp("NE", _types.BOOL)
LT = ObjectOp("LT", _types.BOOL)
GT = ObjectOp("GT", _types.BOOL)
GE = ObjectOp("GE", _types.BOOL)
LE = ObjectOp("LE", _types.BOOL)
FIRST = ObjectOp("FIRST", _types.INT64)
SECOND = ObjectOp("SECOND", _types.INT64)
ANY = ObjectOp("ANY", _types.INT64)
