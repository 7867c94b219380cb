"""vorlane: arbitrary Python objects in the cells of GraphBLAS int64 matrices.

Start with :class:`ObjectMatrix` and :class:`ObjectVector`: sparse containers
of Python objects that own what they hold and check what they are given.
Underneath, ``vorlane._Quodex`` holds the identity store ``Quodex`` and the
string column utilities; ``vorlane._Zembra`` and ``vorlane._Compare`` the
native comparison kernels; ``vorlane.ops``/``vorlane.gbops`` make GraphBLAS
operators of them, and ``vorlane.matrix``/``vorlane.gbmatrix`` build and read
raw containers of object codes, whose codes the caller must keep valid.
"""
try:
    from importlib.metadata import PackageNotFoundError, version
    __version__ = version("vorlane")
except PackageNotFoundError:  # a source tree that was never installed
    __version__ = "0.0.0+unknown"

__all__ = ["ObjectMatrix", "ObjectVector", "__version__"]


def __getattr__(name: str) -> object:
    # Loaded on first use: importing one native module of the package (say
    # vorlane._Zembra in a subinterpreter) must not load the store and the
    # GraphBLAS bindings with it.
    if name in ("ObjectMatrix", "ObjectVector"):
        from . import objects
        return getattr(objects, name)
    raise AttributeError(f"module 'vorlane' has no attribute {name!r}")
