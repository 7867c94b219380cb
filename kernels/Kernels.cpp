// The comparison and selection kernels; their contract is in Kernels.h.
#include "Kernels.h"

#include <Python.h>

#include "ExitGate.hpp"
#include "ObjectCells.hpp"
#include "PythonObj.hpp"

namespace {

using vorlane::InterpreterLock;

template <int Op>
inline void compare(bool* z, const int64_t* x, const int64_t* y) noexcept {
    // Declared first so that it ends last, after the lock is released.
    const vorlane::ExitGate::Pass pass;
    if (!pass) {
        *z = false;  // exit has begun: the interpreter must not be waited for
        return;
    }
    InterpreterLock lock;
    // The cells are read and the references taken only under the lock, and the
    // references go before the lock does: reference counts are not atomic, and
    // the comparison may run Python code that drops the store's own reference.
    PythonObj first(vorlane::decodeCell(x));
    PythonObj second(vorlane::decodeCell(y));
    const int outcome = PyObject_RichCompareBool(first.get(), second.get(), Op);
    *z = outcome == 1;
    if (outcome < 0) {
        // GraphBLAS has no error channel. Left pending, the exception would
        // vanish with a worker's temporary thread state but surface later in a
        // thread that owns one, so the outcome would depend on scheduling.
        PyErr_Clear();
    }
    first.set(nullptr);  // X is released before Y, as the operands were taken
}

}  // namespace

void PyObject_EQ(bool* z, int64_t* x, int64_t* y) noexcept { compare<Py_EQ>(z, x, y); }
void PyObject_NE(bool* z, int64_t* x, int64_t* y) noexcept { compare<Py_NE>(z, x, y); }
void PyObject_LT(bool* z, int64_t* x, int64_t* y) noexcept { compare<Py_LT>(z, x, y); }
void PyObject_GT(bool* z, int64_t* x, int64_t* y) noexcept { compare<Py_GT>(z, x, y); }
void PyObject_GE(bool* z, int64_t* x, int64_t* y) noexcept { compare<Py_GE>(z, x, y); }
void PyObject_LE(bool* z, int64_t* x, int64_t* y) noexcept { compare<Py_LE>(z, x, y); }

// One load and one store each: no lock, no reference, the other cell unread.
void PyObject_FIRST(int64_t* z, int64_t* x, int64_t*) noexcept { *z = *x; }
void PyObject_SECOND(int64_t* z, int64_t*, int64_t* y) noexcept { *z = *y; }
void PyObject_ANY(int64_t* z, int64_t* x, int64_t*) noexcept { *z = *x; }
