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

Calling a comparison as ``op(A, B)`` (optionally with ``cast``, ``out``,
``mask`` and ``accum``) runs ``emult`` and chooses how: when GraphBLAS would
use one thread anyway, or when a sample of the cell pairs shows that enough of
them would take the interpreter lock (tuples, user classes, int against
float), the call runs on one GraphBLAS thread that holds the lock throughout,
so the cells needing it neither queue for it on several threads nor hand it
back and forth with busy Python threads. Other Python threads then wait for
the call as a whole, as they do for NumPy's object comparisons.
``A.emult(B, op)`` and calls with a descriptor (passed, or set with
``with descriptor:``) run exactly as asked.
"""
import ctypes as _ctypes

from pygraphblas import Matrix as _Matrix
from pygraphblas import Vector as _Vector
from pygraphblas import types as _types
from pygraphblas.binaryop import BinaryOp as _BinaryOp
from pygraphblas.descriptor import Descriptor as _Descriptor
from pygraphblas.descriptor import current_desc as _current_desc
from pygraphblas.matrix import _check as _matrix_check
from suitesparse_graphblas import ffi as _gffi
from suitesparse_graphblas import lib as _grb

from . import _Compare

__all__ = ["ObjectOp", "EQ", "NE", "LT", "GT", "GE", "LE", "FIRST", "SECOND", "ANY"]

_RICH = {"LT": 0, "LE": 1, "EQ": 2, "NE": 3, "GT": 4, "GE": 5}

# Measured with 10**6 cells per call on these machines: a cell answered
# without the lock costs about 9 ns on one GraphBLAS thread (and divides among
# threads); a cell that needs the lock costs about 30 ns more when each cell
# takes it than when the call holds it throughout, and 80 ns more once two
# or more GraphBLAS threads queue for it.
_NATIVE_NS = 9.0
_HANDOVER_NS = 80.0
_SAMPLE_PAIRS = 256
_MAX_SAMPLE_ROWS = 8192
_EMULT_FIELDS = ("cast", "out", "mask", "accum", "desc")


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
        if len(args) > len(_EMULT_FIELDS) or set(_EMULT_FIELDS[:len(args)]) & set(kwargs):
            return A.emult(B, self, *args, **kwargs)  # pygraphblas says what is wrong
        call = dict(zip(_EMULT_FIELDS, args), **kwargs)
        call.setdefault("cast", self.ztype)
        if (self._rich is None or type(A) not in _HELD_EMULT or type(B) is not type(A)
                or call.get("desc") is not None or _current_desc.get(None) is not None
                or not call.keys() <= set(_EMULT_FIELDS)
                or not _hold_lock(self._rich, A, B)):
            return A.emult(B, self, **call)
        return _emult_holding_lock(A, B, self, call["cast"], call.get("out"),
                                   call.get("mask"), call.get("accum"))

    def __repr__(self):
        return f"<vorlane.ops.{self.name.split('_')[0]}>"


def _one_thread_runner():
    """How to run one call on one GraphBLAS thread with this GraphBLAS: a
    descriptor field up to version 7, a context engaged on the calling
    thread from version 8; None when there is neither. The runner calls
    `call(desc)`, with the descriptor to pass or None."""
    if hasattr(_grb, "GxB_DESCRIPTOR_NTHREADS"):
        desc = _Descriptor(name="one thread")
        _check(_grb.GxB_Desc_set(desc.get_desc(), _grb.GxB_DESCRIPTOR_NTHREADS,
                                 _gffi.cast("int", 1)), "GxB_Desc_set")

        def with_descriptor(call):
            return call(desc)
        return with_descriptor
    if hasattr(_grb, "GxB_Context_new"):
        context = _gffi.new("GxB_Context*")
        _check(_grb.GxB_Context_new(context), "GxB_Context_new")
        _check(_grb.GxB_Context_set_INT32(context[0], _grb.GxB_CONTEXT_NTHREADS, 1),
               "GxB_Context_set_INT32")

        def in_context(call):
            _check(_grb.GxB_Context_engage(context[0]), "GxB_Context_engage")
            try:
                return call(None)
            finally:
                _grb.GxB_Context_disengage(context[0])
        in_context.context = context  # lives as long as the process
        return in_context
    return None


def _address(pointer):
    return 0 if pointer == _gffi.NULL else int(_gffi.cast("uintptr_t", pointer))


def _emult_holding_lock(A, B, op, cast, out, mask, accum):
    """`out = A op B` on one GraphBLAS thread that holds the interpreter lock
    for the whole call; A and B are both Matrix or both Vector.

    cffi releases the lock around every call into GraphBLAS, so a kernel that
    needs it takes it back once per cell; when other Python threads are
    busy, each of those hand-overs waits for them, tens of microseconds a
    cell. Called through a ctypes prototype that keeps the lock instead, the
    kernel finds it already held on its own thread and takes it for free,
    and other threads wait for the call as a whole, as they do for NumPy's
    object comparisons. Only sound on one thread: a second GraphBLAS thread
    would wait for the lock the first one holds until the call ends."""
    is_matrix = type(A) is _Matrix
    if out is None:
        typ = cast or _types.promote(A.type, B.type)
        out = (_Matrix.sparse(typ, A.nrows, A.ncols) if is_matrix
               else _Vector.sparse(typ, A.size))

    def run(desc):
        # No descriptor of the caller's reaches here (see ObjectOp.__call__)
        mask_p, accum_p, desc_p = A._get_args(mask, accum, desc)
        info = _HELD_EMULT[type(A)](
            _address(_handle(out)), _address(mask_p), _address(accum_p),
            _address(op.binaryop), _address(_handle(A)), _address(_handle(B)),
            _address(desc_p))
        if info != _grb.GrB_SUCCESS:
            # pygraphblas's own error, with GraphBLAS's message
            _matrix_check(out, info) if is_matrix else out._check(info)
    _ONE_THREAD(run)
    return out


def _lock_keeping_entry(function):
    """GraphBLAS's `function` (seven pointer arguments), called without
    releasing the interpreter lock."""
    return _ctypes.PYFUNCTYPE(_ctypes.c_int, *[_ctypes.c_void_p] * 7)(
        int(_gffi.cast("uintptr_t", _gffi.addressof(_grb, function))))


def _spread(total, count):
    """`count` evenly spread indices out of `total`."""
    count = min(total, count)
    step = total / count
    return [int(k * step) for k in range(count)]


def _sample_block(nvals, nrows, ncols, pairs):
    """Rows and columns whose crossing holds about `pairs` cells: a few rows
    at least, and only as many of their columns as that takes."""
    per_row = max(1e-9, nvals / max(1, nrows))
    rows = _spread(nrows, min(_MAX_SAMPLE_ROWS, max(4, int(pairs / per_row) + 1)))
    if len(rows) * per_row <= 2 * pairs:
        return rows, None
    # Only the fewest rows were taken, and they are full: narrow them.
    return rows, _spread(ncols, int(pairs * ncols / (len(rows) * per_row)) + 1)


def _handle(M):
    """A container's GrB_Matrix; a GraphBLAS vector is a matrix of one
    column."""
    return _gffi.cast("GrB_Matrix", M._vector[0]) if isinstance(M, _Vector) else M._matrix[0]


def _as_matrix(M):
    """A container's GrB_Matrix and shape."""
    return (_handle(M), M.size, 1) if isinstance(M, _Vector) else (_handle(M), M.nrows, M.ncols)


def _extract(matrix, ncols, rows, cols):
    """The cells of `matrix` (`ncols` wide) at `rows` x `cols` (None: all)."""
    out = _gffi.new("GrB_Matrix*")
    width = ncols if cols is None else len(cols)
    _check(_grb.GrB_Matrix_new(out, _grb.GrB_INT64, len(rows), width), "GrB_Matrix_new")
    row_index = _gffi.new("GrB_Index[]", rows)
    col_index = _ALL if cols is None else _gffi.new("GrB_Index[]", cols)
    _check(_grb.GrB_Matrix_extract(out[0], _gffi.NULL, _gffi.NULL, matrix, row_index,
                                   len(rows), col_index, width, _gffi.NULL),
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


def _hold_lock(rich, A, B):
    """Whether `A op B` is best run on one thread holding the interpreter lock
    throughout, rather than as GraphBLAS would run it.

    Where GraphBLAS would use one thread anyway, holding the lock only spares
    the per-cell hand-over. Where it would use several, a sample of the cell
    pairs says whether the cells needing the lock (tuples, user classes, int
    against float) cost more queued for it than the other threads save."""
    if _ONE_THREAD is None:
        return False
    cells = min(A.nvals, B.nvals)
    if cells == 0:
        return False
    threads = _global_option(_NTHREADS, "int")
    if threads <= 1 or cells < 2 * _global_option(_CHUNK, "double"):
        return True
    a_matrix, nrows, ncols = _as_matrix(A)
    b_matrix = _handle(B)
    rows, cols = _sample_block(A.nvals, nrows, ncols, _SAMPLE_PAIRS)
    a, b = (_extract(m, ncols, rows, cols) for m in (a_matrix, b_matrix))
    try:
        xs, ys = (_codes_of(a, b, pick) for pick in _PICK)
    finally:
        _grb.GrB_Matrix_free(a)
        _grb.GrB_Matrix_free(b)
    if not xs:
        return False
    locked = _Compare._locked_share(rich, xs, ys)
    return locked * _HANDOVER_NS > (1.0 - locked) * _NATIVE_NS * (1.0 - 1.0 / threads)


# Made at import, with every GraphBLAS constant the sampling reads, so that a
# call creates no lasting Python object.
_ONE_THREAD = _one_thread_runner()
_HELD_EMULT = {_Matrix: _lock_keeping_entry("GrB_Matrix_eWiseMult_BinaryOp"),
               _Vector: _lock_keeping_entry("GrB_Vector_eWiseMult_BinaryOp")}
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
