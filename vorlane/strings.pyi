import os
from typing import Any, Iterable, Protocol, Sequence, Union

import numpy as np

class _Writer(Protocol):
    def write(self, data: bytes, /) -> Any: ...

class _Reader(Protocol):
    def read(self, size: int, /) -> bytes: ...

_Descriptor = Union[int, Any]  # an int, or any object with __index__
_WriteTarget = Union[str, bytes, "os.PathLike[str]", "os.PathLike[bytes]", _Writer, _Descriptor]
_ReadSource = Union[str, bytes, "os.PathLike[str]", "os.PathLike[bytes]", _Reader, _Descriptor]

__all__ = ["save", "load", "write_column", "read_column"]

def save(file: _WriteTarget, column: Union[Sequence[str], np.ndarray]) -> None:
    """Writes `column` (a sequence of str, such as a 1-D object array) to
    `file` as a self-describing column file (header, int64 end offsets, UTF-8
    bytes). A path is written to a temporary file beside it and renamed into
    place. Raises TypeError naming the first element that is not a str, before
    any byte is written."""

def load(file: _ReadSource) -> np.ndarray:
    """Reads a column file written by `save`; returns a 1-D object array of
    str. Reads exactly the column's bytes; ValueError for a truncated, corrupt
    or foreign file, UnicodeDecodeError naming an element that is not UTF-8."""

def write_column(file: _WriteTarget,
                 column: Union[Sequence[str], np.ndarray]) -> np.ndarray:
    """Writes the bare UTF-8 stream of `column`, exactly as
    ``bulk_serialize_strings`` does, and returns its int64 end offsets."""

def read_column(file: _ReadSource,
                ends: Union[Iterable[int], np.ndarray]) -> np.ndarray:
    """Reads the bare stream of ``len(ends)`` strings with end offsets `ends`
    (as ``write_column`` or ``bulk_serialize_strings`` gave them); returns a
    1-D object array of str. Reads exactly ``ends[-1]`` bytes."""
