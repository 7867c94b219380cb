"""The object comparison behind ``op(A, B)`` of vorlane.ops and vorlane.gbops,
on raw GraphBLAS handles, whichever binding made them.

``compare(...)`` computes ``out<mask> accum= A op B`` over the cells A and B
share, exactly as an element-wise product with a comparison operator would:

1. GraphBLAS finds the intersection twice with its built-in FIRST and SECOND,
   under the caller's mask and transposes: two INT64 containers of one
   pattern holding the codes of A and of B.
2. Their value arrays are unpacked in the format GraphBLAS chose (moved, not
   copied), and one native pass of ``vorlane._Compare`` compares them into
   BOOL cells.
3. Those go back with the intersection's pattern, into a BOOL container that
   GraphBLAS then applies to ``out`` with the caller's mask, accumulator,
   replace flag and result type. A fresh BOOL ``out`` with neither mask nor
   accumulator receives the cells directly.

Failure leaves ``out`` as it was, and every GraphBLAS object and array made
on the way is freed on every path.

The interpreter lock is released once, for the lock-free comparisons of a
large input, and only there: every GraphBLAS call goes through vorlane._layout's
entries, which keep it.
"""
import ctypes
import os
from typing import Dict, NamedTuple

from suitesparse_graphblas import ffi as _ffi
from suitesparse_graphblas import lib as _lib

from . import _Compare
from ._grb import check
from ._layout import MATRIX, VECTOR, Kind, Unpacked, grb

__all__ = ["Flags", "MATRIX", "VECTOR", "compare"]

NULL = _ffi.NULL


class Flags(NamedTuple):
    """The descriptor settings an element-wise product honours."""

    transpose_a: bool = False
    transpose_b: bool = False
    structure: bool = False
    complement: bool = False
    replace: bool = False


def flags_of(desc) -> Flags:
    """The settings of a GrB_Descriptor handle (NULL: the defaults)."""
    if desc == NULL:
        return Flags()
    value = _ffi.new("GrB_Desc_Value*")

    def get(field):
        check(grb.GxB_Desc_get(desc, field, value), "GxB_Desc_get")
        return int(value[0])

    mask = get(_lib.GrB_MASK)
    return Flags(get(_lib.GrB_INP0) == _lib.GrB_TRAN, get(_lib.GrB_INP1) == _lib.GrB_TRAN,
                 bool(mask & _lib.GrB_STRUCTURE), bool(mask & _lib.GrB_COMP),
                 get(_lib.GrB_OUTP) == _lib.GrB_REPLACE)


# Descriptors live as long as the process, like GraphBLAS's own predefined
# ones: one per combination of settings, made when first needed.
_descriptors: Dict[Flags, object] = {}


def _descriptor(flags: Flags):
    if flags == Flags():
        return NULL
    if flags not in _descriptors:
        handle = _ffi.new("GrB_Descriptor*")
        check(grb.GrB_Descriptor_new(handle), "GrB_Descriptor_new")
        settings = ((_lib.GrB_INP0, _lib.GrB_TRAN, flags.transpose_a),
                    (_lib.GrB_INP1, _lib.GrB_TRAN, flags.transpose_b),
                    (_lib.GrB_MASK, _lib.GrB_STRUCTURE, flags.structure),
                    (_lib.GrB_MASK, _lib.GrB_COMP, flags.complement),
                    (_lib.GrB_OUTP, _lib.GrB_REPLACE, flags.replace))
        for field, value, wanted in settings:
            if wanted:
                # Structure and complement both go to the mask field; 5.1
                # adds them up, later versions too.
                check(grb.GrB_Descriptor_set(handle[0], field, value), "GrB_Descriptor_set")
        _descriptors[flags] = handle
    return _descriptors[flags][0]


def _openmp_team() -> int:
    """The address of GOMP_parallel in the OpenMP runtime GraphBLAS runs on,
    or 0 when GraphBLAS has none that exports it: the native pass then
    starts threads of its own. dlsym on the binding's own module searches
    exactly the libraries it loaded, so another OpenMP runtime in the process
    (a second libgomp of some other package) is never the one found."""
    try:
        from suitesparse_graphblas import _graphblas
        library = ctypes.CDLL(_graphblas.__file__, mode=os.RTLD_NOLOAD | os.RTLD_LAZY)
        return int(ctypes.cast(library.GOMP_parallel, ctypes.c_void_p).value or 0)
    except (ImportError, OSError, AttributeError, TypeError):
        return 0


_TEAM = _openmp_team()


def _threads() -> int:
    """GraphBLAS's configured thread count: the native pass's ceiling."""
    value = _ffi.new("int*")
    check(grb.GxB_Global_Option_get(_lib.GxB_NTHREADS, value), "GxB_Global_Option_get")
    return max(1, int(value[0]))


def _compare_into(kind: Kind, rich: int, first, second, target) -> None:
    """Packs into the empty BOOL container `target` the answers of `rich` on
    the codes of `first` and `second`, two INT64 containers of one pattern;
    leaves `first` empty and `second` holding what `target` did not take."""
    nvals = _ffi.new("GrB_Index*")
    check(kind.nvals(nvals, first[0]), f"GrB_{kind.name}_nvals", first[0])
    fmt = kind.format(first[0])
    positions = kind.positions(first[0], fmt, int(nvals[0]))
    x = Unpacked(kind, fmt, first[0])
    x_values = x.values
    try:
        y = Unpacked(kind, fmt, second[0])
        # The values array each pattern goes back with if this fails.
        y_values = y.values
        try:
            (x_ptr, _, x_iso), (y_ptr, _, y_iso) = x_values, y_values
            # The answers go into whichever values array holds one slot per
            # position (both iso: one answer stands for every cell).
            iso = x_iso and y_iso
            into, spare = (y_values, x_values) if x_iso and not y_iso else (x_values, y_values)
            if nvals[0] > 0:
                present = (_ffi.buffer(_ffi.cast("char*", x.arrays[0][0]), positions)
                           if fmt.startswith("Bitmap") and not iso else None)
                xs = _ffi.buffer(_ffi.cast("char*", x_ptr), 8 if x_iso else 8 * positions)
                ys = _ffi.buffer(_ffi.cast("char*", y_ptr), 8 if y_iso else 8 * positions)
                out = _ffi.buffer(_ffi.cast("char*", into[0]), 1 if iso else positions)
                _Compare._compare_codes(rich, xs, ys, out, present, _threads(), _TEAM)
            x.pack(target[0], (into[0], into[1], iso))
            y_values = spare
            y.pack(second[0], spare)
        finally:
            if y.held:
                y.pack(second[0], y_values)
    finally:
        if x.held:
            x.pack(first[0], x_values)


def compare(kind: Kind, rich: int, out, mask, accum, a, b, flags: Flags, fresh: bool) -> None:
    """out<mask> accum= a `rich` b over the cells a and b share, for two
    INT64 containers of codes of `kind` (handles; mask and accum may be NULL).
    `fresh`: `out` is an empty BOOL container made for this call."""
    for handle, name in ((a, "A"), (b, "B")):
        held = kind.type_name(handle)
        if held != "INT64":
            raise TypeError(f"{name} holds {held} cells, not INT64 object codes")
    shape = kind.shape(out)
    emult = f"GrB_{kind.name}_eWiseMult_BinaryOp"
    # The mask applies already here: only the cells it lets through are
    # compared, and GraphBLAS checks every shape before anything is read.
    first_desc = _descriptor(flags._replace(replace=False))
    first = kind.make(_lib.GrB_INT64, shape)
    second = None
    try:
        check(kind.ewise_mult(first[0], mask, NULL, _lib.GrB_FIRST_INT64, a, b, first_desc), emult,
              first[0])
        second = kind.make(_lib.GrB_INT64, shape)
        check(kind.ewise_mult(second[0], mask, NULL, _lib.GrB_SECOND_INT64, a, b, first_desc), emult,
              second[0])
        if fresh and mask == NULL and accum == NULL:
            _compare_into(kind, rich, first, second, (out,))
            return
        answers = kind.make(_lib.GrB_BOOL, shape)
        try:
            _compare_into(kind, rich, first, second, answers)
            final = _descriptor(Flags(structure=flags.structure, complement=flags.complement,
                                      replace=flags.replace))
            check(kind.apply(out, mask, accum, _lib.GrB_IDENTITY_BOOL, answers[0], final),
                  f"GrB_{kind.name}_apply", out)
        finally:
            kind.free(answers)
    finally:
        kind.free(first)
        if second is not None:
            kind.free(second)
