# Type stubs for vorlane._Compare: the six comparison kernels that answer
# without the interpreter lock where they can, as native addresses for
# GraphBLAS, and three private helpers (the buffers of _compare_codes are
# anything with the buffer protocol).
from typing import Any, Dict, Optional, Tuple

kernels: Dict[str, int]
"""Native addresses of the six comparison kernels, by name (EQ ... LE)."""
native_layout: str
"""Which interpreter's object layout the lock-free answers read ("" when none)."""

def _native_answer(op: int, a: object, b: object) -> Optional[bool]: ...
def _compare_codes(op: int, xs: Any, ys: Any, out: Any, present: Optional[Any],
                   max_threads: int) -> Tuple[int, int]: ...
def _kept_thread_states() -> int: ...
