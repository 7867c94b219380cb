"""Object operators for pygraphblas matrices whose cells hold object codes.

Cells of an INT64 matrix hold object codes handed out by a
:class:`vorlane._Quodex.Quodex` store. These operators let GraphBLAS compute
on the objects behind the codes, natively and on any of its threads:

* ``EQ``, ``NE``, ``LT``, ``GT``, ``GE``, ``LE`` compare the two objects with
  Python's rich comparison and produce BOOL cells (a comparison that raises,
  such as ``"a" < 1``, gives false). Use them with element-wise
  multiplication (``A.emult(B, ops.LT)`` or ``ops.LT(A, B)``), where both cells
  exist. They are the kernels of ``vorlane._Compare``: pairs of exact ``str``,
  ``int``, ``bool``, ``float`` and ``bytes`` (and identical cells for ``EQ``
  and ``NE``) are answered without the interpreter lock; everything else
  takes it.
* ``FIRST``, ``SECOND``, ``ANY`` pick one of the two codes without touching
  the objects; they work with ``emult`` and ``eadd`` alike, and the result
  decodes with ``Quodex.decode_many``. They are GraphBLAS's own INT64
  operators, so GraphBLAS runs them at its built-in speed. ``FIRST`` and
  ``SECOND`` give the codes ``vorlane._Zembra``'s selections give. ``ANY``
  gives either code where both cells exist (SuiteSparse:GraphBLAS 5.1 and 8.2
  take the second, where ``_Zembra``'s ``PyObject_ANY`` takes the first);
  where only one exists it gives that one.

Calling a comparison as ``op(A, B)`` runs ``emult`` into a BOOL matrix and, on
large matrices, first looks at a sample of the cell pairs: when enough of them
would take the interpreter lock (tuples, user classes, int against float),
more GraphBLAS threads would only queue for the lock, so the call runs on one
thread. ``A.emult(B, op)`` runs exactly as asked.
"""
from pygraphblas import types as _types
from pygraphblas.binaryop import BinaryOp as _BinaryOp
from pygraphblas.descriptor import Descriptor as _Descriptor
from suitesparse_graphblas import ffi as _gffi
from suitesparse_graphblas import lib as _grb

from . import _Compare

__all__ = ["ObjectOp", "EQ", "NE", "LT", "GT", "GE", "LE", "FIRST", "SECOND", "ANY"]

_RICH = {"LT": 0, "LE": 1, "EQ": 2, "NE": 3, "GT": 4, "GE": 5}

# How long one cell takes when it takes the lock, against one answered
# without it, both on one thread (bench/bench_kernels.py measures both). Two
# threads halve the second, and queue on the lock for the first.
_LOCKED_NS = 60.0
_NATIVE_NS = 6.0
_SAMPLE_PAIRS = 256


def _check(info, what):
    if info != _grb.GrB_SUCCESS:
        raise RuntimeError(f"{what} failed (GrB_Info {info})")


def _global_option(field, ctype):
    value = _gffi.new(ctype + "*")
    _check(_grb.GxB_Global_Option_get(field, value), "GxB_Global_Option_get")
    return value[0]


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

    def __call__(self, A, B, *args, **kwargs):
        kwargs.setdefault("cast", self.ztype)
        if (self._rich is None or len(args) >= 5 or kwargs.get("desc") is not None
                or not _lock_bound(self._rich, A, B)):
            return A.emult(B, self, *args, **kwargs)
        return _ONE_THREAD(lambda: A.emult(B, self, *args, **kwargs), kwargs)

    def __repr__(self):
        return f"<vorlane.ops.{self.name.split('_')[0]}>"


def _one_thread_runner():
    """How to run one call on one GraphBLAS thread with this GraphBLAS: a
    descriptor field up to version 7, a context engaged on the calling
    thread from version 8; None when there is neither."""
    if hasattr(_grb, "GxB_DESCRIPTOR_NTHREADS"):
        desc = _Descriptor(name="one thread")
        _check(_grb.GxB_Desc_set(desc.get_desc(), _grb.GxB_DESCRIPTOR_NTHREADS,
                                 _gffi.cast("int", 1)), "GxB_Desc_set")

        def with_descriptor(call, kwargs):
            kwargs["desc"] = desc
            return call()
        return with_descriptor
    if hasattr(_grb, "GxB_Context_new"):
        context = _gffi.new("GxB_Context*")
        _check(_grb.GxB_Context_new(context), "GxB_Context_new")
        _check(_grb.GxB_Context_set_INT32(context[0], _grb.GxB_CONTEXT_NTHREADS, 1),
               "GxB_Context_set_INT32")

        def in_context(call, kwargs):
            _check(_grb.GxB_Context_engage(context[0]), "GxB_Context_engage")
            try:
                return call()
            finally:
                _grb.GxB_Context_disengage(context[0])
        in_context.context = context  # lives as long as the process
        return in_context
    return None


def _sample_rows(M, pairs):
    """Evenly spread rows holding about `pairs` cells (at least a few rows)."""
    per_row = max(1.0, M.nvals / max(1, M.nrows))
    count = min(M.nrows, max(4, int(pairs / per_row) + 1))
    step = M.nrows / count
    return [int(k * step) for k in range(count)]


def _extract_rows(M, rows):
    out = _gffi.new("GrB_Matrix*")
    _check(_grb.GrB_Matrix_new(out, _grb.GrB_INT64, len(rows), M.ncols), "GrB_Matrix_new")
    index = _gffi.new("GrB_Index[]", rows)
    _check(_grb.GrB_Matrix_extract(out[0], _gffi.NULL, _gffi.NULL, M._matrix[0], index,
                                   len(rows), _ALL, M.ncols, _gffi.NULL),
           "GrB_Matrix_extract")
    return out


def _codes_of(first, second, op):
    """The codes of `op(first, second)`'s cells, in GraphBLAS's order."""
    out = _gffi.new("GrB_Matrix*")
    nrows, ncols = _gffi.new("GrB_Index*"), _gffi.new("GrB_Index*")
    _grb.GrB_Matrix_nrows(nrows, first[0])
    _grb.GrB_Matrix_ncols(ncols, first[0])
    _check(_grb.GrB_Matrix_new(out, _grb.GrB_INT64, nrows[0], ncols[0]), "GrB_Matrix_new")
    try:
        _check(_grb.GrB_Matrix_eWiseMult_BinaryOp(out[0], _gffi.NULL, _gffi.NULL, op,
                                                  first[0], second[0], _gffi.NULL),
               "GrB_Matrix_eWiseMult")
        n = _gffi.new("GrB_Index*")
        _check(_grb.GrB_Matrix_nvals(n, out[0]), "GrB_Matrix_nvals")
        values = _gffi.new("int64_t[]", max(1, n[0]))
        count = _gffi.new("GrB_Index*", n[0])
        _check(_grb.GrB_Matrix_extractTuples_INT64(_gffi.NULL, _gffi.NULL, values, count, out[0]),
               "GrB_Matrix_extractTuples")
        return list(values[0:count[0]])
    finally:
        _grb.GrB_Matrix_free(out)


def _lock_bound(rich, A, B):
    """Whether two or more GraphBLAS threads would be slower than one for
    `A op B`, judged from a sample of the cell pairs."""
    if _ONE_THREAD is None:
        return False
    threads = _global_option(_NTHREADS, "int")
    chunk = _global_option(_CHUNK, "double")
    if threads <= 1 or min(A.nvals, B.nvals) < 2 * chunk:
        return False  # GraphBLAS runs one thread anyway
    rows = _sample_rows(A, _SAMPLE_PAIRS)
    a, b = _extract_rows(A, rows), _extract_rows(B, rows)
    try:
        xs, ys = (_codes_of(a, b, pick) for pick in _PICK)
    finally:
        _grb.GrB_Matrix_free(a)
        _grb.GrB_Matrix_free(b)
    if not xs:
        return False
    locked = _Compare._locked_share(rich, xs, ys)
    return locked * _LOCKED_NS > (1.0 - locked) * _NATIVE_NS


# Made at import, with every GraphBLAS constant the sampling reads, so that a
# call creates no lasting Python object.
_ONE_THREAD = _one_thread_runner()
_NTHREADS, _CHUNK, _ALL = _grb.GxB_NTHREADS, _grb.GxB_CHUNK, _grb.GrB_ALL
_PICK = (_grb.GrB_FIRST_INT64, _grb.GrB_SECOND_INT64)

EQ = ObjectOp("EQ", _types.BOOL)
NE = ObjectOp("NE", _types.BOOL)
LT = ObjectOp("LT", _types.BOOL)
GT = ObjectOp("GT", _types.BOOL)
GE = ObjectOp("GE", _types.BOOL)
LE = ObjectOp("LE", _types.BOOL)
FIRST = ObjectOp("FIRST", _types.INT64, _grb.GrB_FIRST_INT64)
SECOND = ObjectOp("SECOND", _types.INT64, _grb.GrB_SECOND_INT64)
ANY = ObjectOp("ANY", _types.INT64, _grb.GxB_ANY_INT64)
