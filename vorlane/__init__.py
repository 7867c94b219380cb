"""vorlane: arbitrary Python objects in the cells of GraphBLAS int64 matrices.

``vorlane._Quodex`` holds the identity store ``Quodex`` and the string column
utilities; ``vorlane._Zembra`` holds the native comparison kernels, and
``vorlane._Compare`` the comparison kernels that answer without the
interpreter lock where they can. ``vorlane.ops`` makes pygraphblas operators
of the latter and of GraphBLAS's own selections, and ``vorlane.matrix``
builds pygraphblas matrices and vectors of codes from NumPy columns of objects
and reads them back.
"""
