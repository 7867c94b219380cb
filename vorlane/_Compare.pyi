# Type stubs for vorlane._Compare: the six comparison kernels that answer
# without the interpreter lock where they can, as native addresses for
# GraphBLAS, and three private helpers.
from typing import Dict, Optional, Sequence

kernels: Dict[str, int]
"""Native addresses of the six comparison kernels, by name (EQ ... LE)."""
native_layout: str
"""Which interpreter's object layout the lock-free answers read ("" when none)."""

def _native_answer(op: int, a: object, b: object) -> Optional[bool]: ...
def _locked_share(op: int, xs: Sequence[int], ys: Sequence[int]) -> float: ...
def _kept_thread_states() -> int: ...
