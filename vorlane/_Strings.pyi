"""Native string column transfers; use vorlane.strings."""
from typing import Callable, Optional, Sequence, Union

def write_stream(column: Sequence[str], dest: Union[int, Callable[..., object]],
                 header: bool, /) -> bytearray:
    """write_stream(column, dest, header) -> bytearray of int64 end offsets"""

def read_stream(source: Union[int, Callable[..., object]], ends: Optional[object],
                limit: int, make_array: Callable[[int], object], /) -> object:
    """read_stream(source, ends, limit, make_array) -> object array of str"""
