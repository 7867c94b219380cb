// NumPy's C API, shared by every source of the module. The function table is
// fetched and checked once by the exec step; module.cpp defines its pointer.
#pragma once

#ifndef NO_IMPORT_ARRAY
#define NO_IMPORT_ARRAY
#endif
#define PY_ARRAY_UNIQUE_SYMBOL vorlane_Quodex_ARRAY_API
#include <numpy/arrayobject.h>
