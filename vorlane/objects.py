"""Object matrices and vectors: GraphBLAS containers of objects that own them.

An :class:`ObjectMatrix` (or :class:`ObjectVector`) keeps Python objects in
the cells of a private INT64 GraphBLAS container, one object code per cell,
and owns what it holds:

* every cell holds one count in the wrapper's :class:`~vorlane._Quodex.Quodex`
  store, taken in one native call when the wrapper is made, and given back in
  one native call by :meth:`release`, by leaving a ``with`` block, or when the
  wrapper is garbage collected;
* the wrapper keeps its store alive, and keeps a reference of its own to each
  object of its cells. That is what makes its codes safe to decode and compare
  whatever happens to the store meanwhile (``store.remove`` of those objects,
  a checkpoint rollback): the counts are the wrapper's account with the store,
  its references are what keep its codes valid;
* its container is never handed out. :attr:`codes` gives a copy, the escape
  hatch to GraphBLAS under the trusted-codes contract of the raw layer; codes
  coming back from there are adopted with :meth:`ObjectMatrix.wrap`, which
  checks every one against the store first.

Every result holding objects is a new wrapper with counts of its own; results
of comparisons are plain BOOL containers of the binding. Arithmetic and the
binding's operators are not offered: codes are addresses, and adding or
ordering them means nothing.

Bindings: python-graphblas (CPython 3.10 and later) or pygraphblas (3.9). A
wrapper made by ``from_coo`` uses ``binding=`` when given, else
python-graphblas where it is installed on 3.10+, else pygraphblas; ``wrap``
uses the binding of the container it is given; results keep their operand's.

Threads: a wrapper may be used from several threads at once. Calls run side
by side; a :meth:`release` made while another call on the same wrapper is
running takes effect when that call ends, and every call made after
``release`` raises :class:`ValueError`.

Checkpoint rollbacks: a rollback puts back the store's counts as they were
when the checkpoint was entered. A wrapper whose counts were taken in the
store that the rollback replaced no longer knows whether its counts survived;
it gives nothing back when released (its objects stay as the store has them)
and otherwise works as before, since its own references keep its objects.
"""
import operator
import sys
import threading
from typing import Any, Optional, Sequence, Tuple

import numpy as np
from suitesparse_graphblas import ffi as _ffi
from suitesparse_graphblas import lib as _lib

from . import _Holdings
from . import _cells as _raw
from ._Quodex import Quodex

__all__ = ["ObjectMatrix", "ObjectVector"]

_KEEP = {"first": _lib.GrB_FIRST_INT64, "second": _lib.GrB_SECOND_INT64}
_COMPARISONS = ("EQ", "NE", "LT", "GT", "LE", "GE")


# ---------------------------------------------------------------------------
# Bindings: how each makes a container, reaches its GrB handle, compares.

class _Binding:
    name: str
    _ops: Any  # vorlane.ops or vorlane.gbops: the comparisons on two containers

    def __init__(self) -> None:
        self._loaded = False

    def load(self) -> "_Binding":
        if not self._loaded:
            self._import()
            self._loaded = True
        return self

    def _import(self) -> None:
        raise NotImplementedError

    def kind_of(self, container: object) -> Optional["_Kind"]:
        """_MATRIX or _VECTOR for a container of this binding, else None."""
        if not self._available():
            return None
        self.load()
        if isinstance(container, self.Matrix):
            return _MATRIX
        if isinstance(container, self.Vector):
            return _VECTOR
        return None

    def _available(self) -> bool:
        return self._loaded or self._module() in sys.modules

    def _module(self) -> str:
        raise NotImplementedError


class _PyGraphBLAS(_Binding):
    name = "pygraphblas"

    def _module(self) -> str:
        return "pygraphblas"

    def _import(self) -> None:
        from pygraphblas import Matrix, Vector, types

        from . import ops
        self.Matrix, self.Vector, self._types, self._ops = Matrix, Vector, types, ops

    def new(self, kind: "_Kind", shape: Tuple[int, ...], boolean: bool = False) -> Any:
        typ = self._types.BOOL if boolean else self._types.INT64
        return (self.Matrix.sparse(typ, *shape) if kind is _MATRIX else self.Vector.sparse(typ, *shape))

    def handle(self, container: Any) -> Any:
        return container._matrix[0] if isinstance(container, self.Matrix) else container._vector[0]



class _PythonGraphBLAS(_Binding):
    name = "graphblas"

    def _module(self) -> str:
        return "graphblas"

    def _import(self) -> None:
        from graphblas import Matrix, Vector, dtypes

        from . import gbops
        self.Matrix, self.Vector, self._dtypes, self._ops = Matrix, Vector, dtypes, gbops

    def new(self, kind: "_Kind", shape: Tuple[int, ...], boolean: bool = False) -> Any:
        typ = self._dtypes.BOOL if boolean else self._dtypes.INT64
        return self.Matrix(typ, *shape) if kind is _MATRIX else self.Vector(typ, *shape)

    def handle(self, container: Any) -> Any:
        return container.gb_obj[0]



_BINDINGS = {"pygraphblas": _PyGraphBLAS(), "graphblas": _PythonGraphBLAS()}


def _default_binding() -> _Binding:
    if sys.version_info >= (3, 10):
        try:
            return _BINDINGS["graphblas"].load()
        except ImportError:
            pass
    return _BINDINGS["pygraphblas"].load()


def _binding_named(binding: object) -> _Binding:
    if binding is None:
        return _default_binding()
    if binding not in _BINDINGS:
        raise ValueError(f"binding must be None, 'graphblas' or 'pygraphblas', not {binding!r}")
    return _BINDINGS[binding].load()  # type: ignore[index]


def _compare(binding: _Binding, name: str, a: Any, b: Any) -> Any:
    """Every comparison of object cells goes through here: the one native
    pass of ops/gbops, called on two containers."""
    return getattr(binding._ops, name)(a, b)


# The GraphBLAS calls that differ between matrices and vectors, on raw
# handles: the object-column core's.
_Kind = _raw._Calls
_MATRIX = _raw._MATRIX
_VECTOR = _raw._VECTOR


def _binding_of(container: object) -> Tuple[_Binding, _Kind]:
    for binding in _BINDINGS.values():
        kind = binding.kind_of(container)
        if kind is not None:
            return binding, kind
    raise TypeError(f"expected a GraphBLAS Matrix or Vector, not {type(container).__name__}")


def _check_store(store: object) -> Quodex:
    if not isinstance(store, Quodex):
        raise TypeError(f"store must be a Quodex, not {type(store).__name__}")
    _Holdings.epoch(store)  # refuses a store whose construction failed
    return store


def _object_array(values: object, name: str = "values") -> np.ndarray:
    """A one-dimensional object array of `values` (any sequence)."""
    if isinstance(values, np.ndarray):
        if values.ndim != 1:
            raise ValueError(f"{name} must be one-dimensional, not {values.ndim}-dimensional")
        return values if values.dtype.kind == "O" else values.astype(object)
    if isinstance(values, (str, bytes)) or not hasattr(values, "__len__"):
        raise TypeError(f"{name} must be a sequence or a numpy.ndarray, not {type(values).__name__}")
    out = np.empty(len(values), dtype=object)  # type: ignore[arg-type]
    try:
        out[:] = values
    except (ValueError, TypeError):
        # Elements that are sequences themselves would be spread by NumPy.
        for i, v in enumerate(values):  # type: ignore[arg-type]
            out[i] = v
    return out


def _index_array(values: object, name: str) -> np.ndarray:
    if isinstance(values, np.ndarray):
        return values
    if isinstance(values, (str, bytes)) or not hasattr(values, "__len__"):
        raise TypeError(f"{name} must be a sequence or a numpy.ndarray, not {type(values).__name__}")
    a = np.asarray(values)
    if len(values) == 0:  # type: ignore[arg-type]
        return np.zeros(0, dtype=np.int64)
    return a


def _extent(value: object, indices: np.ndarray, name: str) -> int:
    if value is not None:
        return _raw._check_extent(value, name)
    if indices.dtype.kind not in "iu" or len(indices) == 0:
        return 0  # the checks that follow say what is wrong, if anything
    return max(0, int(indices.max()) + 1)


# ---------------------------------------------------------------------------
# The wrappers

class _Owned:
    """What ObjectMatrix and ObjectVector share: ownership, state, and the
    operations that do not depend on the number of dimensions."""

    _kind: _Kind
    __slots__ = ("_binding", "_store", "_cells", "_objects", "_epoch", "_guard", "_users", "_state",
                 "__weakref__")

    def __init__(self, *args: Any, **kwargs: Any) -> None:
        raise TypeError(f"make an {type(self).__name__} with from_coo() or wrap()")

    # -- making one --------------------------------------------------------

    @classmethod
    def _adopt(cls, binding: _Binding, store: Quodex, cells: Any, objects: np.ndarray, counted: bool) -> Any:
        """A wrapper of the INT64 container `cells`, whose cells hold exactly
        the objects of `objects` (one per cell). Unless `counted`, one count
        per cell is taken now, all or nothing."""
        epoch = _Holdings.epoch(store)
        if not counted:
            _Holdings.intern(store, objects, None)
        self = object.__new__(cls)
        self._binding, self._store, self._cells, self._objects = binding, store, cells, objects
        self._epoch, self._guard, self._users, self._state = epoch, threading.Lock(), 0, "live"
        return self

    @classmethod
    def _build(cls, binding: _Binding, store: Quodex, shape: Tuple[int, ...], indices: Sequence[np.ndarray],
               values: np.ndarray, dup: Optional[str]) -> Any:
        cells = binding.new(cls._kind, shape)
        epoch = _Holdings.epoch(store)
        objects = _raw._fill(cls._kind, binding.handle(cells), store, indices, values, dup)
        self = cls._adopt(binding, store, cells, objects, counted=True)
        self._epoch = epoch
        return self

    def _derived(self, cls: Any, cells: Any) -> Any:
        """A wrapper of `cells`, made by GraphBLAS from the cells of live
        wrappers (whose references keep every code of it valid), counted in
        this wrapper's store."""
        codes = cls._kind.codes(self._binding.handle(cells))
        return cls._adopt(self._binding, self._store, cells, Quodex.decode_many(codes), counted=False)

    # -- state -------------------------------------------------------------

    def _enter(self) -> None:
        with self._guard:
            if self._state != "live":
                raise ValueError(f"operation on a released {type(self).__name__}")
            self._users += 1

    def _exit(self) -> None:
        with self._guard:
            self._users -= 1
            last = self._users == 0 and self._state == "pending"
        if last:
            self._give_back()

    class _Use:
        __slots__ = ("owners",)

        def __init__(self, *owners: "_Owned") -> None:
            self.owners = owners

        def __enter__(self) -> None:
            entered = []
            try:
                for o in self.owners:
                    o._enter()
                    entered.append(o)
            except BaseException:
                for o in entered:
                    o._exit()
                raise

        def __exit__(self, *exc: object) -> None:
            for o in self.owners:
                o._exit()

    def release(self) -> None:
        """Gives every count back to the store in one call. A second call does
        nothing; any other use afterwards raises ValueError."""
        guard = getattr(self, "_guard", None)
        if guard is None:
            return  # never finished construction
        with guard:
            if self._state != "live":
                return
            self._state = "pending" if self._users else "released"
            now = self._state == "released"
        if now:
            self._give_back()

    def _give_back(self) -> None:
        with self._guard:
            objects, self._objects, self._cells = self._objects, None, None
            self._state = "released"
        if objects is None:
            return
        store = self._store
        if _Holdings.epoch(store) == self._epoch:
            _Holdings.release(store, objects)

    def __del__(self) -> None:
        try:
            self.release()
        except Exception:  # noqa: BLE001 - nothing can be raised from a finalizer
            pass

    def __enter__(self) -> Any:
        return self

    def __exit__(self, *exc: object) -> None:
        self.release()

    @property
    def released(self) -> bool:
        """Whether release() was called (or the wrapper left its with block)."""
        return self._state != "live"

    def __reduce_ex__(self, protocol: object) -> Any:
        raise TypeError(f"cannot pickle an {type(self).__name__}: its cells are addresses of objects in "
                        f"this process; pickle the result of to_coo() instead")

    def __copy__(self) -> Any:
        return self.copy()

    def copy(self) -> Any:
        """A new wrapper of the same cells and objects, with counts of its own."""
        with self._Use(self):
            cells = self._binding.new(self._kind, self.shape)
            self._kind.copy_cells(self._binding.handle(cells), self._binding.handle(self._cells))
            return type(self)._adopt(self._binding, self._store, cells, self._objects.copy(), counted=False)

    # -- reading -----------------------------------------------------------

    @property
    def store(self) -> Quodex:
        """The store that holds this wrapper's counts."""
        with self._Use(self):
            return self._store

    @property
    def nvals(self) -> int:
        """The number of cells."""
        with self._Use(self):
            return self._kind.nvals(self._binding.handle(self._cells))

    @property
    def binding(self) -> str:
        """'graphblas' (python-graphblas) or 'pygraphblas'."""
        return self._binding.name

    @property
    def codes(self) -> Any:
        """A copy of the INT64 container of codes, of this wrapper's binding.

        The escape hatch to GraphBLAS: its codes are valid only while this
        wrapper (or another owner) holds their objects, and nothing checks
        them there. Bring results back with wrap(), which does."""
        with self._Use(self):
            out = self._binding.new(self._kind, self.shape)
            self._kind.copy_cells(self._binding.handle(out), self._binding.handle(self._cells))
            return out

    def _coo(self) -> Tuple[np.ndarray, ...]:
        *indices, codes = self._kind.cells(self._binding.handle(self._cells))
        # Every code is one of this wrapper's cells, whose objects it holds.
        return (*indices, Quodex.decode_many(codes))

    # -- comparisons -------------------------------------------------------

    def _other(self, other: object) -> "_Owned":
        if type(other) is not type(self):
            raise TypeError(f"expected an {type(self).__name__}, not {type(other).__name__}")
        assert isinstance(other, _Owned)
        if other.shape != self.shape:
            raise ValueError(f"shapes differ: {self.shape} and {other.shape}")
        return other

    def _comparison(self, name: str, other: object) -> Any:
        with self._Use(self):
            other = self._other(other)
            with self._Use(other):
                if other._binding is not self._binding:
                    raise TypeError(f"cannot compare a {self._binding.name} {type(self).__name__} with a "
                                    f"{other._binding.name} one")
                return _compare(self._binding, name, self._cells, other._cells)

    def eq(self, other: Any) -> Any:
        """BOOL container: self == other where both have a cell (a comparison that raises is false)."""
        return self._comparison("EQ", other)

    def ne(self, other: Any) -> Any:
        """BOOL container: self != other where both have a cell."""
        return self._comparison("NE", other)

    def lt(self, other: Any) -> Any:
        """BOOL container: self < other where both have a cell."""
        return self._comparison("LT", other)

    def gt(self, other: Any) -> Any:
        """BOOL container: self > other where both have a cell."""
        return self._comparison("GT", other)

    def le(self, other: Any) -> Any:
        """BOOL container: self <= other where both have a cell."""
        return self._comparison("LE", other)

    def ge(self, other: Any) -> Any:
        """BOOL container: self >= other where both have a cell."""
        return self._comparison("GE", other)

    # -- results holding objects -------------------------------------------

    def _combined(self, how: str, other: object, keep: object) -> Any:
        if keep not in _KEEP:
            raise ValueError(f"keep must be 'first' or 'second', not {keep!r}")
        with self._Use(self):
            other = self._other(other)
            with self._Use(other):
                out = self._binding.new(self._kind, self.shape)
                self._kind.combine(how, self._binding.handle(out), _KEEP[keep],  # type: ignore[index]
                                   self._binding.handle(self._cells), other._binding.handle(other._cells))
                return self._derived(type(self), out)

    def merge(self, other: Any, keep: str = "first") -> Any:
        """The union of both: every cell of either; where both have one, the
        object of `keep` ("first": self's, "second": other's)."""
        return self._combined("add", other, keep)

    def intersect(self, other: Any, keep: str = "first") -> Any:
        """The cells both have, with the object of `keep`."""
        return self._combined("mult", other, keep)

    def difference(self, other: Any) -> Any:
        """The cells of self where other has none."""
        with self._Use(self):
            other = self._other(other)
            with self._Use(other):
                return self._masked(other._binding.handle(other._cells), _lib.GrB_DESC_RSC)

    def select(self, mask: Any, structural: bool = False) -> Any:
        """The cells of self where `mask` is true: a BOOL (or any built-in
        type) container of the same binding and shape, or, structurally, any
        such container or object wrapper, where it has a cell."""
        with self._Use(self):
            if isinstance(mask, _Owned):
                self._other(mask)
                with self._Use(mask):
                    return self._masked(mask._binding.handle(mask._cells), _lib.GrB_DESC_RS)
            binding, kind = _binding_of(mask)
            if binding is not self._binding or kind is not self._kind:
                raise TypeError(f"mask must be a {self._binding.name} {self._kind.prefix} "
                                f"or an {type(self).__name__}")
            if tuple(mask.shape) != self.shape:
                raise ValueError(f"shapes differ: {self.shape} and {tuple(mask.shape)}")
            return self._masked(binding.handle(mask), _lib.GrB_DESC_RS if structural else _lib.GrB_DESC_R)

    def _masked(self, mask_handle: Any, desc: Any) -> Any:
        out = self._binding.new(self._kind, self.shape)
        self._kind.copy_cells(self._binding.handle(out), self._binding.handle(self._cells), mask_handle, desc)
        return self._derived(type(self), out)

    # -- least and greatest objects ---------------------------------------

    def _extreme_all(self, op: int, what: str) -> Any:
        with self._Use(self):
            objects = self._objects
            if len(objects) == 0:
                raise ValueError(f"{what}() of an {type(self).__name__} with no cells")
            at = np.empty(1, dtype=np.int64)
            _Holdings.extreme(objects, np.array([0, len(objects)], dtype=np.int64), op, at)
            return objects[at[0]]

    def __repr__(self) -> str:
        if self._state != "live":
            return f"<released {type(self).__name__}>"
        return f"<{type(self).__name__} {self.shape}, {self.nvals} cells, {self._binding.name}>"


def _grouped_extreme(keys: np.ndarray, objects: np.ndarray, op: int) -> Tuple[np.ndarray, np.ndarray]:
    """(keys that have cells, position of each one's least/greatest object)."""
    if len(keys) and np.any(keys[1:] < keys[:-1]):
        order = np.argsort(keys, kind="stable")
        keys, objects = keys[order], objects[order]
    else:
        order = None
    firsts = np.flatnonzero(np.r_[True, keys[1:] != keys[:-1]]) if len(keys) else np.zeros(0, np.int64)
    starts = np.append(firsts, len(keys)).astype(np.int64)
    positions = np.empty(len(firsts), dtype=np.int64)
    _Holdings.extreme(objects, starts, op, positions)
    return keys[firsts], (positions if order is None else order[positions])


class ObjectMatrix(_Owned):
    """A sparse matrix of Python objects that owns them (see the module)."""

    __slots__ = ()
    _kind = _MATRIX

    @classmethod
    def from_coo(cls, rows: Any, cols: Any, values: Any, nrows: Optional[int] = None,
                 ncols: Optional[int] = None, *, dup: Optional[str] = None, store: Optional[Quodex] = None,
                 binding: Optional[str] = None) -> "ObjectMatrix":
        """An nrows x ncols matrix whose cell (rows[k], cols[k]) holds values[k].

        NumPy arrays or any sequences. nrows/ncols default to the largest
        index plus one. Duplicate coordinates raise ValueError unless `dup`
        is "first" or "second" (the object that keeps the cell). A new store
        is made when none is given. All or nothing: on any error the store
        is left as it was."""
        rows, cols = _index_array(rows, "rows"), _index_array(cols, "cols")
        values = _object_array(values)
        nrows, ncols = _extent(nrows, rows, "nrows"), _extent(ncols, cols, "ncols")
        store = Quodex(0) if store is None else _check_store(store)
        indices = _raw._check_cells(store, [(rows, "rows", nrows, "nrows"), (cols, "cols", ncols, "ncols")],
                                    values, dup)
        return cls._build(_binding_named(binding), store, (nrows, ncols), indices, values, dup)

    @classmethod
    def wrap(cls, matrix: Any, store: Quodex) -> "ObjectMatrix":
        """An ObjectMatrix of a copy of `matrix`, an INT64 Matrix of codes
        (python-graphblas or pygraphblas). Every code must be held by `store`:
        ValueError names the first that is not, and nothing is counted."""
        binding, kind = _binding_of(matrix)
        if kind is not _MATRIX:
            raise TypeError(f"expected a Matrix, not {type(matrix).__name__}")
        return _wrap(cls, binding, matrix, _check_store(store))

    @property
    def shape(self) -> Tuple[int, int]:
        """(nrows, ncols)."""
        with self._Use(self):
            return (int(self._cells.nrows), int(self._cells.ncols))

    def to_coo(self) -> Tuple[np.ndarray, np.ndarray, np.ndarray]:
        """(rows, cols, objects): two int64 arrays and the very objects."""
        with self._Use(self):
            rows, cols, objects = self._coo()
            return rows, cols, objects

    @property
    def T(self) -> "ObjectMatrix":
        """The transpose, as a new ObjectMatrix."""
        with self._Use(self):
            nrows, ncols = self.shape
            out = self._binding.new(_MATRIX, (ncols, nrows))
            _raw._ok(_lib.GrB_transpose(self._binding.handle(out), _ffi.NULL, _ffi.NULL,
                                        self._binding.handle(self._cells), _ffi.NULL), "GrB_transpose")
            return self._derived(ObjectMatrix, out)

    def _line(self, index: object, axis: str) -> "ObjectVector":
        with self._Use(self):
            nrows, ncols = self.shape
            i = operator.index(index)  # type: ignore[arg-type]
            extent, length = (nrows, ncols) if axis == "row" else (ncols, nrows)
            if not 0 <= i < extent:
                raise IndexError(f"{axis} {i} out of range for a {nrows}x{ncols} ObjectMatrix")
            out = self._binding.new(_VECTOR, (length,))
            desc = _lib.GrB_DESC_T0 if axis == "row" else _ffi.NULL
            _raw._ok(_lib.GrB_Col_extract(self._binding.handle(out), _ffi.NULL, _ffi.NULL,
                                          self._binding.handle(self._cells), _lib.GrB_ALL, length, i, desc),
                     "GrB_Col_extract")
            return self._derived(ObjectVector, out)

    def row(self, i: int) -> "ObjectVector":
        """Row i as an ObjectVector of ncols."""
        return self._line(i, "row")

    def col(self, j: int) -> "ObjectVector":
        """Column j as an ObjectVector of nrows."""
        return self._line(j, "col")

    def _extreme(self, axis: object, op: int, what: str) -> Any:
        if axis is None:
            return self._extreme_all(op, what)
        if axis not in ("row", "col"):
            raise ValueError(f"axis must be None, 'row' or 'col', not {axis!r}")
        with self._Use(self):
            rows, cols, objects = self._coo()
            keys, positions = _grouped_extreme(rows if axis == "row" else cols, objects, op)
            size = self.shape[0 if axis == "row" else 1]
            return ObjectVector._build(self._binding, self._store, (size,), [keys.view(np.uint64)],
                                       objects[positions], None)

    def min(self, axis: Optional[str] = None) -> Any:
        """The least object: of all cells (axis=None), or per row ("row")
        or per column ("col") as an ObjectVector. The cells are scanned in
        order, and an object replaces the one kept so far when it is less
        than it; a comparison that raises counts as false."""
        return self._extreme(axis, 0, "min")

    def max(self, axis: Optional[str] = None) -> Any:
        """The greatest object, as min() does for the least."""
        return self._extreme(axis, 4, "max")


class ObjectVector(_Owned):
    """A sparse vector of Python objects that owns them (see the module)."""

    __slots__ = ()
    _kind = _VECTOR

    @classmethod
    def from_coo(cls, indices: Any, values: Any, size: Optional[int] = None, *, dup: Optional[str] = None,
                 store: Optional[Quodex] = None, binding: Optional[str] = None) -> "ObjectVector":
        """A vector of `size` whose element indices[k] holds values[k]; as
        ObjectMatrix.from_coo otherwise."""
        indices, values = _index_array(indices, "indices"), _object_array(values)
        size = _extent(size, indices, "size")
        store = Quodex(0) if store is None else _check_store(store)
        checked = _raw._check_cells(store, [(indices, "indices", size, "size")], values, dup)
        return cls._build(_binding_named(binding), store, (size,), checked, values, dup)

    @classmethod
    def wrap(cls, vector: Any, store: Quodex) -> "ObjectVector":
        """An ObjectVector of a copy of `vector`, an INT64 Vector of codes;
        as ObjectMatrix.wrap."""
        binding, kind = _binding_of(vector)
        if kind is not _VECTOR:
            raise TypeError(f"expected a Vector, not {type(vector).__name__}")
        return _wrap(cls, binding, vector, _check_store(store))

    @property
    def shape(self) -> Tuple[int]:
        """(size,)."""
        with self._Use(self):
            return (int(self._cells.size),)

    @property
    def size(self) -> int:
        return self.shape[0]

    def to_coo(self) -> Tuple[np.ndarray, np.ndarray]:
        """(indices, objects)."""
        with self._Use(self):
            indices, objects = self._coo()
            return indices, objects

    def min(self) -> Any:
        """The least object of all cells (see ObjectMatrix.min)."""
        return self._extreme_all(0, "min")

    def max(self) -> Any:
        """The greatest object of all cells."""
        return self._extreme_all(4, "max")


def _wrap(cls: Any, binding: _Binding, container: Any, store: Quodex) -> Any:
    kind = cls._kind
    handle = binding.handle(container)
    _raw.check_int64(kind, handle)
    # A private copy first: the caller's container may change afterwards.
    cells = binding.new(kind, tuple(container.shape))
    kind.copy_cells(binding.handle(cells), handle)
    *_, objects = _raw._extract(kind, binding.handle(cells), store)
    return cls._adopt(binding, store, cells, objects, counted=False)
