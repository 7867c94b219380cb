# Type stubs for vorlane._Holdings, the private bulk calls of vorlane.objects.
import numpy as np

from ._Quodex import Quodex

def epoch(store: Quodex) -> int:
    """An identifier of the table the store holds now; it changes only when a
    checkpoint rollback exchanges the store's table."""

def unheld(store: Quodex, codes: np.ndarray) -> int:
    """The position of the first code the store does not hold, or -1. Codes
    are looked up by address and never read."""

def decode_held(store: Quodex, codes: np.ndarray, out: np.ndarray) -> int:
    """Fills the object array `out` with the objects behind `codes` when the
    store holds every one (returns -1); otherwise returns the position of the
    first it does not hold and leaves `out` alone."""

def intern(store: Quodex, objects: np.ndarray, codes: object) -> None:
    """Raises each object's count by one (storing it when new), writing the
    codes into the int64 array `codes` unless it is None. All or nothing."""

def release(store: Quodex, objects: np.ndarray) -> int:
    """Lowers each held object's count by one, dropping it at zero; returns
    how many objects the store did not hold."""

def extreme(objects: np.ndarray, starts: np.ndarray, op: int, positions: np.ndarray) -> None:
    """For each group objects[starts[g]:starts[g + 1]], the position of its
    least (op 0, "<") or greatest (op 4, ">") object, -1 for an empty group;
    a comparison that raises an Exception counts as false."""
