// NumPy's C API, shared by every source of the module. The function table is
// fetched and checked once by the exec step; module.cpp defines its pointer.
//
// One source serves two kinds of build. Against NumPy 1.x headers (the 3.9
// reference build) the module runs on the 1.x ABI only. Against NumPy 2
// headers it is built for the 1.20 API (NPY_TARGET_VERSION, set by the build)
// and runs on 1.x and 2.x alike: the few descriptor fields whose place moved
// in 2.x are read through NumPy's accessors, which ask the runtime version
// that the exec step records.
#pragma once

#ifndef NO_IMPORT_ARRAY
#define NO_IMPORT_ARRAY
#endif
#define PY_ARRAY_UNIQUE_SYMBOL vorlane_Quodex_ARRAY_API
#include <numpy/arrayobject.h>

#if NPY_ABI_VERSION >= 0x02000000
#define VORLANE_NUMPY2_HEADERS 1
#endif

// The item size of a descriptor (its field moved in NumPy 2's layout).
inline npy_intp descrItemSize(PyArray_Descr* d) noexcept {
#ifdef VORLANE_NUMPY2_HEADERS
    return PyDataType_ELSIZE(d);
#else
    return d->elsize;
#endif
}
