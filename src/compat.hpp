// Where the interpreters vorlane is built for (CPython 3.9, the reference, and
// 3.11, 3.12, 3.13) behave differently, one helper per difference, each guarded by
// the version it concerns. Everything else is written once for all of them.
#pragma once

#include <Python.h>

// Sets the exception being handled (sys.exc_info()), stealing the three
// references. From 3.11 on the handled exception is its value alone and
// PyErr_SetExcInfo ignores the type and traceback it is given: a bare `raise`
// re-raises with the value's own __traceback__, so the traceback must go there.
inline void setHandledException(PyObject* type, PyObject* value, PyObject* tb) noexcept {
#if PY_VERSION_HEX >= 0x030B0000
    if (value != nullptr && tb != nullptr) {
        PyException_SetTraceback(value, tb);
    }
#endif
    PyErr_SetExcInfo(type, value, tb);
}

// Whether the collector has already run the object's finalizer. 3.13 took the
// macro out of the headers; the function it stood for exists from 3.9 on, but
// the older builds keep the macro they were made with.
inline bool gcFinalized(PyObject* o) noexcept {
#if PY_VERSION_HEX >= 0x030D0000
    return PyObject_GC_IsFinalized(o) != 0;
#else
    return _PyGC_FINALIZED(o);
#endif
}
