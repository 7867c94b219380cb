// Process-wide state of vorlane._Quodex and the small helpers every operation
// shares: interned names, the builtins the operations raise or call, module
// global lookup, traceback entries, and the boundary that keeps C++ exceptions
// out of the interpreter.
//
// The state is written once, by the module's exec step, with the interpreter
// lock held, and only read afterwards. That is why the module refuses to be
// loaded into a second interpreter: these objects belong to the first one.
#pragma once

#include <Python.h>

#include <cstring>
#include <new>
#include <utility>

#include "PythonObj.hpp"
#include "boundary.hpp"

struct ModuleState {
    PyObject* module = nullptr;       // owned; at most one per process
    PyObject* module_dict = nullptr;  // borrowed from `module`
    int64_t interpreter_id = -1;      // the interpreter that first created it
    bool initialised = false;
    // The state block the module had when a creation handed it back; freed by
    // the exec step that follows once the interpreter has replaced it.
    void* stale_module_state = nullptr;

    PyTypeObject* ndarray_type = nullptr;  // owned (numpy.ndarray)

    // Owned: the generator function that runs a checkpoint (snapshot.cpp).
    PyObject* checkpoint_body = nullptr;

    // Builtins the operations use, owned.
    PyObject* b_staticmethod = nullptr;
    PyObject* b_print = nullptr;
    PyObject* b_TypeError = nullptr;
    PyObject* b_object = nullptr;
    PyObject* b_AssertionError = nullptr;
    PyObject* b_ValueError = nullptr;
    PyObject* b_IOError = nullptr;
    PyObject* b_MemoryError = nullptr;
    PyObject* b_range = nullptr;
    PyObject* b_UnicodeError = nullptr;
    PyObject* b_ImportError = nullptr;

    // Interned identifiers, owned.
    PyObject* s_np = nullptr;
    PyObject* s_sys = nullptr;
    PyObject* s_zeros = nullptr;
    PyObject* s_empty = nullptr;
    PyObject* s_dtype = nullptr;
    PyObject* s_int64 = nullptr;
    PyObject* s_insert = nullptr;
    PyObject* s_copy = nullptr;
    PyObject* s_stdout = nullptr;
    PyObject* s_flush = nullptr;
};

extern ModuleState g_state;

// Looks `name` up in the module namespace, then in the builtins, as Python
// code in the module would; NameError when neither has it. New reference.
PythonObj lookupModuleGlobal(PyObject* name) noexcept;

// Adds a traceback entry named `funcname` to the pending exception, so that a
// failure inside a native operation shows where it happened.
void addTraceback(const char* funcname) noexcept;

// A static type object with every slot empty, to be filled by designated
// assignments (aggregate initialisation of PyTypeObject cannot skip slots).
inline PyTypeObject emptyStaticType() noexcept {
    PyTypeObject t;
    std::memset(&t, 0, sizeof t);
    Py_SET_REFCNT(reinterpret_cast<PyObject*>(&t), 1);
    return t;
}

// The one place where C++ exceptions are turned into Python ones. Everything
// that Python calls runs its body through it; `fail` is what the entry point
// returns on error (nullptr or -1).
template <class R, class F>
R exceptionBoundary(R fail, F&& body) noexcept {
    return nativeBoundary("vorlane._Quodex", fail, std::forward<F>(body));
}
