// Every Python-visible function of vorlane._Quodex, declared in one place.
// The specs are defined next to their operations; module.cpp publishes them in
// a fixed order.
#pragma once

#include <Python.h>

#include "arglayer.hpp"

// Ordinary method-table entries of the Quodex type (the pickling refusals).
extern PyMethodDef quodexMethodTable[];
PyObject* quodex_reduce(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames) noexcept;
PyObject* quodex_setstate(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                          PyObject* kwnames) noexcept;

// Compiles the generator behind `checkpoint` into g_state; once, from the
// exec step, before the class members are published (snapshot.cpp).
bool prepareCheckpoint() noexcept;

// Class members (operations.cpp).
extern const FuncSpec kInsertSpec;
extern const FuncSpec kRemoveSpec;
extern const FuncSpec kDecodeSpec;
extern const FuncSpec kInsertManySpec;
extern const FuncSpec kInsertManyNumpySpec;
extern const FuncSpec kInsertManyEncodedNumpySpec;
extern const FuncSpec kDecodeManySpec;

// Module functions (strings.cpp).
extern const FuncSpec kNpbytes2npstrSpec;
extern const FuncSpec kNpstr2npbytesSpec;
extern const FuncSpec kBulkSerializeStringsSpec;
extern const FuncSpec kBulkDeserializeStringsSpec;

// Snapshots (snapshot.cpp) and the diagnostic dump (dump.cpp).
extern const FuncSpec kCopySpec;
extern const FuncSpec kCheckpointSpec;
extern const FuncSpec kPrintDebugSpec;
