# Type stubs for the vorlane package.
from .objects import ObjectMatrix as ObjectMatrix
from .objects import ObjectVector as ObjectVector

__version__: str
"""The installed version of vorlane."""

__all__ = ["ObjectMatrix", "ObjectVector", "__version__"]
