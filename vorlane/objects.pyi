# Type stubs for vorlane.objects: object matrices and vectors that own their
# cells' objects.
from typing import Any, Optional, Sequence, Tuple, TypeVar, Union

import numpy as np

from ._Quodex import Quodex

__all__ = ["ObjectMatrix", "ObjectVector"]

_W = TypeVar("_W", bound="_Owned")
_Index = Union[np.ndarray, Sequence[int]]
_Values = Union[np.ndarray, Sequence[Any]]

class _Owned:
    """What ObjectMatrix and ObjectVector share."""

    def __init__(self, *args: Any, **kwargs: Any) -> None:
        """Refused: make a wrapper with from_coo() or wrap()."""
    def release(self) -> None:
        """Gives every count back to the store in one native call. A second
        call does nothing; any other use afterwards raises ValueError. A
        release while another thread's call runs takes effect when it ends."""
    def __enter__(self: _W) -> _W:
        """The wrapper itself; leaving the block releases it."""
    def __exit__(self, *exc: object) -> None:
        """Releases the wrapper."""
    def __del__(self) -> None:
        """Garbage collection releases the wrapper."""
    @property
    def released(self) -> bool:
        """Whether release() was called (or the wrapper left its with block)."""
    def __reduce_ex__(self, protocol: object) -> Any:
        """Refused with TypeError: cells are addresses in this process; pickle
        the result of to_coo() instead. copy.deepcopy is refused the same way."""
    def __copy__(self: _W) -> _W:
        """copy.copy(w): the same as w.copy()."""
    def copy(self: _W) -> _W:
        """A new wrapper of the same cells and objects, with counts of its own."""
    @property
    def store(self) -> Quodex:
        """The store that holds this wrapper's counts."""
    @property
    def nvals(self) -> int:
        """The number of cells."""
    @property
    def binding(self) -> str:
        """'graphblas' (python-graphblas) or 'pygraphblas'."""
    @property
    def codes(self) -> Any:
        """A copy of the INT64 container of object codes, of this wrapper's
        binding: the escape hatch to GraphBLAS. Its codes are valid only while
        this wrapper (or another owner) holds their objects, and nothing
        checks them there; bring results back with wrap(), which does."""
    def eq(self: _W, other: _W) -> Any:
        """BOOL container of the binding: self == other where both have a
        cell. A comparison that raises in Python is false."""
    def ne(self: _W, other: _W) -> Any:
        """BOOL container: self != other where both have a cell."""
    def lt(self: _W, other: _W) -> Any:
        """BOOL container: self < other where both have a cell."""
    def gt(self: _W, other: _W) -> Any:
        """BOOL container: self > other where both have a cell."""
    def le(self: _W, other: _W) -> Any:
        """BOOL container: self <= other where both have a cell."""
    def ge(self: _W, other: _W) -> Any:
        """BOOL container: self >= other where both have a cell."""
    def merge(self: _W, other: _W, keep: str = ...) -> _W:
        """The union: every cell of either; where both have one, the object of
        `keep` ("first": self's, "second": other's). Counted in self's store."""
    def intersect(self: _W, other: _W, keep: str = ...) -> _W:
        """The cells both have, with the object of `keep`."""
    def difference(self: _W, other: _W) -> _W:
        """The cells of self where other has none."""
    def select(self: _W, mask: Any, structural: bool = ...) -> _W:
        """The cells of self where `mask` is true: a container of the same
        binding, kind and shape (its values cast to bool), or, structurally
        (structural=True, or a wrapper as mask), where the mask has a cell."""

class ObjectMatrix(_Owned):
    """A sparse matrix of Python objects that owns them: one count per cell in
    its store, a reference of its own to each object, everything given back by
    release(), a with block, or garbage collection."""

    @classmethod
    def from_coo(cls, rows: _Index, cols: _Index, values: _Values, nrows: Optional[int] = ...,
                 ncols: Optional[int] = ..., *, dup: Optional[str] = ..., store: Optional[Quodex] = ...,
                 binding: Optional[str] = ...) -> ObjectMatrix:
        """An nrows x ncols matrix whose cell (rows[k], cols[k]) holds
        values[k]. NumPy arrays or any sequences; nrows/ncols default to the
        largest index plus one. Duplicate coordinates raise ValueError unless
        `dup` is "first" or "second". A new store is made when none is given;
        `binding` picks "graphblas" or "pygraphblas". All or nothing: on any
        error (MemoryError, OverflowError "count out of range" included) the
        store is left as it was."""
    @classmethod
    def wrap(cls, matrix: Any, store: Quodex) -> ObjectMatrix:
        """An ObjectMatrix of a copy of `matrix`, an INT64 Matrix of codes of
        either binding. Every code must be held by `store`: ValueError names
        the first cell whose code is not, TypeError refuses other containers
        and types, and nothing is counted before the check passes."""
    @property
    def shape(self) -> Tuple[int, int]:
        """(nrows, ncols)."""
    def to_coo(self) -> Tuple[np.ndarray, np.ndarray, np.ndarray]:
        """(rows, cols, objects): two int64 arrays and the very objects."""
    @property
    def T(self) -> ObjectMatrix:
        """The transpose, as a new ObjectMatrix."""
    def row(self, i: int) -> ObjectVector:
        """Row i as an ObjectVector of ncols; IndexError out of range."""
    def col(self, j: int) -> ObjectVector:
        """Column j as an ObjectVector of nrows; IndexError out of range."""
    def min(self, axis: Optional[str] = ...) -> Any:
        """The least object of all cells (axis=None; ValueError when there is
        none), or per "row" / "col" as an ObjectVector. The cells are
        scanned in storage order, and an object replaces the
        one kept so far when it is less than it; a comparison that raises
        counts as false."""
    def max(self, axis: Optional[str] = ...) -> Any:
        """The greatest object, as min() does for the least."""

class ObjectVector(_Owned):
    """A sparse vector of Python objects that owns them (see ObjectMatrix)."""

    @classmethod
    def from_coo(cls, indices: _Index, values: _Values, size: Optional[int] = ..., *,
                 dup: Optional[str] = ..., store: Optional[Quodex] = ...,
                 binding: Optional[str] = ...) -> ObjectVector:
        """A vector of `size` whose element indices[k] holds values[k]; as
        ObjectMatrix.from_coo otherwise."""
    @classmethod
    def wrap(cls, vector: Any, store: Quodex) -> ObjectVector:
        """An ObjectVector of a copy of `vector`, an INT64 Vector of codes; as
        ObjectMatrix.wrap."""
    @property
    def shape(self) -> Tuple[int]:
        """(size,)."""
    @property
    def size(self) -> int:
        """The number of elements the vector has room for."""
    def to_coo(self) -> Tuple[np.ndarray, np.ndarray]:
        """(indices, objects)."""
    def min(self) -> Any:
        """The least object of all cells (see ObjectMatrix.min)."""
    def max(self) -> Any:
        """The greatest object of all cells."""
