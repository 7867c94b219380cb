"""Columns of objects in and out of GraphBLAS containers of object codes.

``from_objects(store, rows, cols, objects, nrows, ncols)`` interns a NumPy
object array in a :class:`~vorlane._Quodex.Quodex` store and builds an INT64
pygraphblas ``Matrix`` whose cell ``(rows[k], cols[k])`` holds the code of
``objects[k]``; ``to_objects(matrix)`` gives back ``(rows, cols, objects)``,
the very objects and not copies. ``from_objects_vector`` and
``to_objects_vector`` do the same for a ``Vector``. The index arrays go to
GraphBLAS as buffers and come back as NumPy arrays: no Python lists on the way.

Who owns what:

* A cell holds a code, and a code holds no reference. The store holds the
  objects: ``from_objects`` raises the store's count of each object by one
  per cell that names it, exactly as ``insert_many_numpy`` would for the
  objects that end up in cells.
* A matrix that outlives the objects it names is the caller's error, as with
  any code: decoding its cells then reads freed memory. Keep the store, and
  the objects' counts in it, for as long as the matrix is in use.
* To release a matrix's objects, lower each object's count once per cell::

      _, _, objects = to_objects(matrix)
      for obj in objects:
          store.remove(obj)

  An object whose count reaches zero leaves the store; once nothing else
  holds it, it is freed, and the matrix's codes for it must not be decoded.

Duplicate coordinates are refused unless ``dup`` says which object keeps the
cell: ``"first"`` or ``"second"`` (the earliest or the latest in input order),
using GraphBLAS's own FIRST and SECOND operators; codes are never combined
arithmetically. Only the objects that keep a cell are interned, so every count
the call adds belongs to a cell.

Every refusal happens before the store is touched: a call that raises
``TypeError`` or ``ValueError`` leaves the store as it was.
"""
from typing import Optional, Tuple

import numpy as np
from pygraphblas import Matrix, Vector, types

from ._cells import (_MATRIX, _VECTOR, _check_cells, _check_extent, _extract,
                     _fill)
from ._Quodex import Quodex

__all__ = ["from_objects", "to_objects", "from_objects_vector", "to_objects_vector"]


# ---------------------------------------------------------------------------
# pygraphblas fronts

def from_objects(store: Quodex, rows: np.ndarray, cols: np.ndarray, objects: np.ndarray, nrows: int,
                 ncols: int, dup: Optional[str] = None) -> Matrix:
    """An nrows x ncols INT64 Matrix whose cell (rows[k], cols[k]) holds the
    code of objects[k], interned in `store`.

    `rows` and `cols` are one-dimensional integer arrays of any width and
    stride; `objects` a one-dimensional object array. Duplicate coordinates
    raise ValueError unless `dup` is "first" or "second".
    """
    nrows, ncols = _check_extent(nrows, "nrows"), _check_extent(ncols, "ncols")
    indices = _check_cells(store, [(rows, "rows", nrows, "nrows"), (cols, "cols", ncols, "ncols")],
                           objects, dup)
    matrix = Matrix.sparse(types.INT64, nrows, ncols)
    _fill(_MATRIX, matrix._matrix[0], store, indices, objects, dup)  # type: ignore[arg-type]
    return matrix


def to_objects(matrix: Matrix, store: Optional[Quodex] = None) -> Tuple[np.ndarray, np.ndarray, np.ndarray]:
    """(rows, cols, objects) of an INT64 Matrix of object codes: two int64
    arrays and the object array of the very objects the cells name.

    With `store`, every code is first checked to be held by it (ValueError
    naming the first cell whose code is not), so no code is dereferenced that
    the store does not keep alive. Without, the codes are trusted."""
    if not isinstance(matrix, Matrix):
        raise TypeError(f"matrix must be a pygraphblas Matrix, not {type(matrix).__name__}")
    rows, cols, objects = _extract(_MATRIX, matrix._matrix[0], store)
    return rows, cols, objects


def from_objects_vector(store: Quodex, indices: np.ndarray, objects: np.ndarray, size: int,
                        dup: Optional[str] = None) -> Vector:
    """An INT64 Vector of `size` whose element indices[k] holds the code of
    objects[k], interned in `store`; otherwise as :func:`from_objects`."""
    size = _check_extent(size, "size")
    checked = _check_cells(store, [(indices, "indices", size, "size")], objects, dup)
    vector = Vector.sparse(types.INT64, size)
    _fill(_VECTOR, vector._vector[0], store, checked, objects, dup)  # type: ignore[arg-type]
    return vector


def to_objects_vector(vector: Vector, store: Optional[Quodex] = None) -> Tuple[np.ndarray, np.ndarray]:
    """(indices, objects) of an INT64 Vector of object codes; `store` as in
    :func:`to_objects`."""
    if not isinstance(vector, Vector):
        raise TypeError(f"vector must be a pygraphblas Vector, not {type(vector).__name__}")
    indices, objects = _extract(_VECTOR, vector._vector[0], store)
    return indices, objects
