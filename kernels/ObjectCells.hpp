// What every object-comparison kernel shares: reading a cell as the object it
// names, and holding the interpreter lock for one scope.
#pragma once

#include <Python.h>

#include <cstdint>

namespace vorlane {

// A cell holds an object code, the address of an object some store pins.
inline PyObject* decodeCell(const int64_t* cell) noexcept {
    return reinterpret_cast<PyObject*>(static_cast<intptr_t>(*cell));
}

// Holds the interpreter lock for one scope, whatever the calling thread's
// state: PyGILState_Ensure creates a thread state for a thread the interpreter
// has never seen and PyGILState_Release deletes it again; a thread that has a
// registered state of its own gets it back and keeps it. Releasing in the
// destructor keeps every exit of a kernel paired with its Ensure.
class InterpreterLock {
public:
    InterpreterLock() noexcept : state_(PyGILState_Ensure()) {}
    ~InterpreterLock() { PyGILState_Release(state_); }

    InterpreterLock(const InterpreterLock&) = delete;
    InterpreterLock& operator=(const InterpreterLock&) = delete;
    InterpreterLock(InterpreterLock&&) = delete;
    InterpreterLock& operator=(InterpreterLock&&) = delete;

private:
    PyGILState_STATE state_;
};

}  // namespace vorlane
