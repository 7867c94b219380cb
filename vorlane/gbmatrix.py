"""Columns of objects in and out of python-graphblas containers of codes.

The same four functions as :mod:`vorlane.matrix`, for the matrices and
vectors of python-graphblas (installed on CPython 3.10 and later): the same
checks, the same single GraphBLAS build from the NumPy buffers, the same
ownership rules (the store holds the objects, the cells hold codes only). The
work is shared: only the containers differ.
"""
from typing import Optional, Tuple

import numpy as np
from graphblas import Matrix, Vector, dtypes

from . import _cells as _core
from ._Quodex import Quodex

__all__ = ["from_objects", "to_objects", "from_objects_vector", "to_objects_vector"]


def from_objects(store: Quodex, rows: np.ndarray, cols: np.ndarray, objects: np.ndarray, nrows: int,
                 ncols: int, dup: Optional[str] = None) -> Matrix:
    """A python-graphblas INT64 Matrix whose cell (rows[k], cols[k]) holds the
    code of objects[k]; see :func:`vorlane.matrix.from_objects`."""
    nrows, ncols = _core._check_extent(nrows, "nrows"), _core._check_extent(ncols, "ncols")
    indices = _core._check_cells(store, [(rows, "rows", nrows, "nrows"), (cols, "cols", ncols, "ncols")],
                                 objects, dup)
    matrix = Matrix(dtypes.INT64, nrows, ncols)
    _core._fill(_core._MATRIX, matrix.gb_obj[0], store, indices, objects, dup)
    return matrix


def to_objects(matrix: Matrix, store: Optional[Quodex] = None) -> Tuple[np.ndarray, np.ndarray, np.ndarray]:
    """(rows, cols, objects) of a python-graphblas INT64 Matrix of codes;
    with `store`, every code is checked against it first (see
    :func:`vorlane.matrix.to_objects`)."""
    if not isinstance(matrix, Matrix):
        raise TypeError(f"matrix must be a python-graphblas Matrix, not {type(matrix).__name__}")
    rows, cols, objects = _core._extract(_core._MATRIX, matrix.gb_obj[0], store)
    return rows, cols, objects


def from_objects_vector(store: Quodex, indices: np.ndarray, objects: np.ndarray, size: int,
                        dup: Optional[str] = None) -> Vector:
    """A python-graphblas INT64 Vector; see :func:`vorlane.matrix.from_objects_vector`."""
    size = _core._check_extent(size, "size")
    checked = _core._check_cells(store, [(indices, "indices", size, "size")], objects, dup)
    vector = Vector(dtypes.INT64, size)
    _core._fill(_core._VECTOR, vector.gb_obj[0], store, checked, objects, dup)
    return vector


def to_objects_vector(vector: Vector, store: Optional[Quodex] = None) -> Tuple[np.ndarray, np.ndarray]:
    """(indices, objects) of a python-graphblas INT64 Vector of codes; `store`
    as in :func:`to_objects`."""
    if not isinstance(vector, Vector):
        raise TypeError(f"vector must be a python-graphblas Vector, not {type(vector).__name__}")
    indices, objects = _core._extract(_core._VECTOR, vector.gb_obj[0], store)
    return indices, objects
