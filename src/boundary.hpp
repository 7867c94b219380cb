// The boundary that keeps C++ exceptions out of the interpreter, shared by the
// native modules built on the store headers. Everything Python calls runs its
// body through it: allocation failure becomes MemoryError, anything else a
// SystemError naming the module; `fail` is what the entry point returns then.
#pragma once

#include <Python.h>

#include <new>

template <class R, class F>
R nativeBoundary(const char* module, R fail, F&& body) noexcept {
    try {
        return body();
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (...) {
        PyErr_Format(PyExc_SystemError, "%s: unexpected native exception", module);
    }
    return fail;
}
