"""GraphBLAS status codes as Python exceptions, for every function of vorlane
that calls GraphBLAS directly.

``check(info, call, handle)`` returns quietly on success and otherwise raises
one exception whose message names the call and carries GraphBLAS's own
account of the failure where the object has one.

The codes are looked up by name in the loaded library, so the table holds for
every GraphBLAS in use: 5.1 numbers them 1 to 13, 7 and later use negative
numbers for the same failures. The exception raised for a code is an instance
of each loaded binding's own class for it (pygraphblas's
``DimensionMismatch``, python-graphblas's ``graphblas.exceptions
.DimensionMismatch``, ...), so callers catch what their binding taught them,
whichever front they came through; it is also a ``RuntimeError``, as
GraphBLAS failures always were here, and running out of memory is a
``MemoryError``. Bindings are only looked up, never imported: a front imports
the binding it serves.

Every module of vorlane that calls GraphBLAS imports this one, so it also
holds the one process-wide setting vorlane makes: in a child made by
``os.fork`` (multiprocessing's default start method on Linux), GraphBLAS's
thread count becomes 1. GraphBLAS runs its threads on OpenMP, and GNU
libgomp's thread team does not survive a fork: once the parent has run a
parallel region, the child's next one waits forever for threads that no
longer exist. A child that knows its parent never ran GraphBLAS on several
threads may raise the count again.
"""
import os
import sys
from typing import Dict, Optional, Tuple, Type

from suitesparse_graphblas import ffi as _ffi
from suitesparse_graphblas import lib as _lib

__all__ = ["check"]


def _one_thread_after_fork() -> None:
    _lib.GxB_Global_Option_set(_lib.GxB_NTHREADS, _ffi.cast("int", 1))


os.register_at_fork(after_in_child=_one_thread_after_fork)

# GraphBLAS's name for a failure, and the class name both bindings give it.
_CLASS_NAMES = {
    "GrB_NO_VALUE": "NoValue",
    "GrB_UNINITIALIZED_OBJECT": "UninitializedObject",
    "GrB_INVALID_OBJECT": "InvalidObject",
    "GrB_NULL_POINTER": "NullPointer",
    "GrB_INVALID_VALUE": "InvalidValue",
    "GrB_INVALID_INDEX": "InvalidIndex",
    "GrB_DOMAIN_MISMATCH": "DomainMismatch",
    "GrB_DIMENSION_MISMATCH": "DimensionMismatch",
    "GrB_OUTPUT_NOT_EMPTY": "OutputNotEmpty",
    "GrB_NOT_IMPLEMENTED": "NotImplementedException",
    "GrB_PANIC": "Panic",
    "GrB_OUT_OF_MEMORY": "OutOfMemory",
    "GrB_INSUFFICIENT_SPACE": "InsufficientSpace",
    "GrB_INDEX_OUT_OF_BOUNDS": "IndexOutOfBound",
    "GrB_EMPTY_OBJECT": "EmptyObject",
    "GxB_JIT_ERROR": "JitError",
}
_NAMES: Dict[int, str] = {getattr(_lib, name): name for name in _CLASS_NAMES if hasattr(_lib, name)}

# Where each binding keeps its exception classes.
_BINDING_MODULES = ("pygraphblas.base", "graphblas.exceptions")

_classes: Dict[Tuple[str, Tuple[type, ...]], Type[Exception]] = {}


def _class_for(name: str) -> Type[Exception]:
    own = _CLASS_NAMES.get(name, "GraphBLASError")
    bases = []
    for module_name in _BINDING_MODULES:
        module = sys.modules.get(module_name)
        cls = getattr(module, own, None) if module is not None else None
        if isinstance(cls, type) and issubclass(cls, Exception):
            bases.append(cls)
    bases.append(MemoryError if name == "GrB_OUT_OF_MEMORY" else RuntimeError)
    key = (own, tuple(bases))
    if key not in _classes:
        _classes[key] = type(own, tuple(bases), {"__module__": __name__})
    return _classes[key]


def _detail(handle) -> str:
    """GraphBLAS's last error message for `handle` (a GrB_Matrix, or a
    GrB_Vector, which GraphBLAS keeps as a matrix of one column)."""
    if handle is None or handle == _ffi.NULL:
        return ""
    text = _ffi.new("char**")
    if _lib.GrB_Matrix_error(text, _ffi.cast("GrB_Matrix", handle)) != _lib.GrB_SUCCESS:
        return ""
    if text[0] == _ffi.NULL:
        return ""
    return _ffi.string(text[0]).decode("utf-8", "replace").strip()


def check(info: int, call: str, handle: Optional[object] = None) -> None:
    """Raises the exception for GraphBLAS status `info` of `call`, unless it
    is success; `handle` is the object whose error message to quote."""
    if info == _lib.GrB_SUCCESS:
        return
    name = _NAMES.get(info, f"GrB_Info {info}")
    detail = _detail(handle)
    raise _class_for(name)(f"{call} failed with {name}" + (f": {detail}" if detail else ""))
