# Type stubs for the store module vorlane._Quodex.
import contextlib as contextlib
import sys as sys
from types import ModuleType
from typing import Any as Any
from typing import ContextManager
from typing import Iterable
from typing import List as List
from typing import Optional as Optional
from typing import Sequence as Sequence
from typing import Tuple as Tuple

import numpy as np

# The pygraphblas package; None from 3.10 on when it is not installed.
pygraphblas: Optional[ModuleType]

class Quodex:
    """An identity store: pins objects, counts insertions and removals, and
    hands out each object's address as its int64 object code."""

    def __new__(cls, size: int) -> Quodex:
        """An empty store whose first table has `size` buckets (0 is fine: it grows)."""
    @property
    def size(self) -> int:
        """The number of distinct objects held."""
    def copy(self) -> Quodex:
        """A new, independent store with the same objects and counts."""
    @staticmethod
    def decode(idx: int) -> Any:
        """The object whose code is `idx`. The code is trusted: it must name an
        object that something (a store) keeps alive."""
    @staticmethod
    def decode_many(arr: np.ndarray) -> np.ndarray:
        """An object array of the objects behind an int64 array of codes (trusted)."""
    def insert_many(self, seq: Iterable[Any]) -> List[int]:
        """Inserts every item, calling insert() for each; the list of codes."""
    def insert_many_encoded_numpy(self, arr: np.ndarray) -> None:
        """Adds one count for the object behind each code (trusted) of an int64 array."""
    def insert_many_numpy(self, arr: np.ndarray) -> np.ndarray:
        """Inserts every element of an object array; the int64 array of codes."""
    def insert(self, key: Any, *, increment: Any = ...) -> Tuple[int, Any]:
        """Stores `key` (by identity) or raises its count; (code, count)."""
    def _print_debug(self, verbose: object = ...) -> None:
        """Prints the store's tables and entries (diagnostics)."""
    def remove(self, key: Any, *, decrement: Any = ...) -> Optional[int]:
        """Lowers the count of `key`, dropping it at zero or below; the new count,
        or None when the store does not hold it."""
    def checkpoint(self) -> ContextManager[Quodex]:
        """A context manager that rolls the store back if its block raises."""
    def __reduce__(self) -> Any:
        """Refused: stores are not pickled."""
    def __setstate__(self, state: Any) -> Any:
        """Refused: stores are not pickled."""

def npbytes2npstr(array_in: np.ndarray, array_out: np.ndarray) -> None:
    """Decodes an object array of UTF-8 bytes into an object array of str."""
def npstr2npbytes(array_in: np.ndarray, array_out: np.ndarray) -> None:
    """Encodes an object array of str into an object array of UTF-8 bytes."""
def bulk_serialize_strings(array_in: np.ndarray, array_out: np.ndarray, fout_fd: int) -> None:
    """Writes a column of str to a file descriptor; `array_out` receives the
    cumulative end offsets (int64) that frame it."""
def bulk_deserialize_strings(array_out: np.ndarray, array_in: np.ndarray, fin_fd: int) -> None:
    """Reads a column of str framed by the end offsets `array_in` from a file
    descriptor into `array_out`."""
