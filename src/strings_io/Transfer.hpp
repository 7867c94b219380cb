// Moving bytes between memory we own and a descriptor or a Python file object,
// in large blocks.
//
// What it promises
//   * Descriptor transfers run with the interpreter lock released. A
//     transfer cut short by a signal (EINTR) takes the lock back, runs the
//     Python signal handlers and carries on; a handler that raises ends the
//     transfer with that exception. Partial transfers are continued until
//     everything asked for has moved or the data ends.
//   * File-object transfers call the object's own `write`/`read` with the lock
//     held and hand it only `bytes` objects of its own: the object never sees a
//     view of our memory, so keeping what it was given cannot reach freed
//     memory.
//   * Nothing here reads more than it was asked for.
//
// What it leaves behind on failure: a Python exception set, the bytes already
// moved (writers) or consumed (readers) gone, and the descriptor's position
// just after them. Nothing is closed or sought.
#pragma once

#include <Python.h>

#include <cstddef>
#include <cstdint>

#include "PythonScopes.hpp"

// Where bytes go to or come from: a descriptor (fd >= 0) or the bound
// `write`/`read` method of a file object (borrowed: the caller keeps it).
struct Endpoint {
    int fd = -1;
    PyObject* method = nullptr;
};

// An int (not bool) is a descriptor; anything callable is a file method.
// TypeError otherwise.
bool parseEndpoint(PyObject* o, Endpoint& out) noexcept;

// Writes all `n` bytes at `p`. A descriptor is written with the lock
// released (`lock.released()`); a file-object endpoint keeps it, since those
// transfers run Python code. A failure takes the lock back for good and
// sets the exception before returning false.
bool writeAll(const Endpoint& to, const char* p, size_t n, LockRelease& lock) noexcept;

// Reads into `p` until `n` bytes have arrived or the data ends, under the same
// rules. Returns the count read, or -1 with the lock back and an exception set.
int64_t readUpTo(const Endpoint& from, char* p, size_t n, LockRelease& lock) noexcept;
