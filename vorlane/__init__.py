"""vorlane: arbitrary Python objects in the cells of GraphBLAS int64 matrices.

``vorlane._Quodex`` holds the identity store ``Quodex`` and the string column
utilities; ``vorlane._Zembra`` holds the native comparison kernels.
``vorlane.ops`` makes the kernels pygraphblas operators, and ``vorlane.matrix``
builds pygraphblas matrices and vectors of codes from NumPy columns of objects
and reads them back.
"""
