// Block transfers for vorlane._Strings: descriptors with the interpreter lock
// released, file objects through their own methods. See Transfer.hpp for the
// promises and what a failure leaves behind.
#include "Transfer.hpp"

#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>

#include "PythonObj.hpp"

namespace {

// One system call moves at most this much: Linux caps a single read or write
// near 2 GiB anyway, and a bounded call returns to us often enough to notice
// signals on a slow pipe.
constexpr size_t kMaxCall = size_t{1} << 30;

// A file object's read() is asked for at most this much at a time, so that a
// lying header cannot make it build one enormous bytes object.
constexpr Py_ssize_t kMaxObjectRead = Py_ssize_t{1} << 24;

// Takes the lock back (if released) and raises OSError from `err`.
void failWithErrno(int err, LockRelease& lock) noexcept {
    lock.relock();
    errno = err;
    PyErr_SetFromErrno(PyExc_OSError);
}

// Converts a method's byte count; TypeError/ValueError for anything that is
// not a count between 0 and `limit`. None means a non-blocking file had
// nothing to give, which a whole-column transfer cannot wait out.
bool methodCount(PyObject* result, Py_ssize_t limit, const char* what, Py_ssize_t& out) noexcept {
    if (result == Py_None) {
        PyErr_Format(PyExc_BlockingIOError,
                     "%s() returned None: the file is non-blocking and not ready", what);
        return false;
    }
    if (!PyLong_Check(result)) {
        PyErr_Format(PyExc_TypeError, "%s() should return an int, not %.200s", what,
                     Py_TYPE(result)->tp_name);
        return false;
    }
    const Py_ssize_t n = PyLong_AsSsize_t(result);
    if (n == -1 && PyErr_Occurred()) {
        return false;
    }
    if (n < 0 || n > limit) {
        PyErr_Format(PyExc_ValueError, "%s() returned %zd, outside 0..%zd", what, n, limit);
        return false;
    }
    out = n;
    return true;
}

// A file object is handed copies of at most this much at a time.
constexpr size_t kMaxObjectWrite = size_t{1} << 20;

bool writeChunkToObject(PyObject* write, const char* p, size_t n) noexcept {
    // A bytes object of its own: the file may keep what it is given.
    PythonObj chunk = PythonObj::steal(
        PyBytes_FromStringAndSize(p, static_cast<Py_ssize_t>(n)));
    if (!chunk) {
        return false;
    }
    Py_ssize_t done = 0;
    const Py_ssize_t total = static_cast<Py_ssize_t>(n);
    while (done < total) {
        PythonObj arg = chunk;
        if (done > 0) {
            PythonObj view = PythonObj::steal(PyMemoryView_FromObject(chunk.get()));
            if (!view) {
                return false;
            }
            arg = PythonObj::steal(PySequence_GetSlice(view.get(), done, total));
            if (!arg) {
                return false;
            }
        }
        PythonObj result = PythonObj::steal(PyObject_CallFunctionObjArgs(write, arg.get(), nullptr));
        Py_ssize_t k;
        if (!result || !methodCount(result.get(), total - done, "write", k)) {
            return false;
        }
        if (k == 0) {
            // A blocking file that takes nothing would have us spin forever.
            PyErr_SetString(PyExc_OSError, "write() accepted no bytes");
            return false;
        }
        done += k;
    }
    return true;
}

bool writeToObject(PyObject* write, const char* p, size_t n) noexcept {
    for (size_t done = 0; done < n; done += kMaxObjectWrite) {
        const size_t chunk = n - done < kMaxObjectWrite ? n - done : kMaxObjectWrite;
        if (!writeChunkToObject(write, p + done, chunk)) {
            return false;
        }
    }
    return true;
}

int64_t readFromObject(PyObject* read, char* p, size_t n) noexcept {
    size_t done = 0;
    while (done < n) {
        const Py_ssize_t ask = static_cast<Py_ssize_t>(
            n - done < static_cast<size_t>(kMaxObjectRead) ? n - done : kMaxObjectRead);
        PythonObj result = PythonObj::steal(PyObject_CallFunction(read, "n", ask));
        if (!result) {
            return -1;
        }
        if (result.get() == Py_None) {
            PyErr_SetString(PyExc_BlockingIOError,
                            "read() returned None: the file is non-blocking and not ready");
            return -1;
        }
        BufferView bytes;
        if (!bytes.acquire(result.get(), PyBUF_SIMPLE)) {
            PyErr_Format(PyExc_TypeError, "read() should return bytes, not %.200s",
                         Py_TYPE(result.get())->tp_name);
            return -1;
        }
        const Py_ssize_t got = bytes.view.len;
        if (got > ask) {
            PyErr_Format(PyExc_ValueError, "read() returned %zd bytes, more than the %zd asked for",
                         got, ask);
            return -1;
        }
        std::memcpy(p + done, bytes.view.buf, static_cast<size_t>(got));
        if (got == 0) {
            break;  // end of data
        }
        done += static_cast<size_t>(got);
    }
    return static_cast<int64_t>(done);
}

}  // namespace

bool parseEndpoint(PyObject* o, Endpoint& out) noexcept {
    if (PyLong_Check(o) && !PyBool_Check(o)) {
        const long fd = PyLong_AsLong(o);
        if (fd == -1 && PyErr_Occurred()) {
            return false;
        }
        if (fd < 0 || fd > INT_MAX) {
            PyErr_Format(PyExc_ValueError, "file descriptor %ld is out of range", fd);
            return false;
        }
        out.fd = static_cast<int>(fd);
        out.method = nullptr;
        return true;
    }
    if (PyCallable_Check(o)) {
        out.fd = -1;
        out.method = o;
        return true;
    }
    PyErr_Format(PyExc_TypeError, "expected a file descriptor or a file method, not %.200s",
                 Py_TYPE(o)->tp_name);
    return false;
}

bool writeAll(const Endpoint& to, const char* p, size_t n, LockRelease& lock) noexcept {
    if (to.fd < 0) {
        return writeToObject(to.method, p, n);
    }
    while (n > 0) {
        const ssize_t k = ::write(to.fd, p, n < kMaxCall ? n : kMaxCall);
        if (k < 0) {
            if (errno == EINTR) {
                if (!lock.checkSignals()) {
                    return false;
                }
                continue;
            }
            failWithErrno(errno, lock);
            return false;
        }
        if (k == 0) {
            // Only odd devices accept nothing without an error; retrying
            // could spin forever.
            failWithErrno(EIO, lock);
            return false;
        }
        p += k;
        n -= static_cast<size_t>(k);
        // A signal that arrives once some bytes have moved cuts the call short
        // instead of failing it with EINTR; its handler must run now, or the
        // next call could block with the handler still waiting.
        if (n > 0 && !lock.checkSignals()) {
            return false;
        }
    }
    return true;
}

int64_t readUpTo(const Endpoint& from, char* p, size_t n, LockRelease& lock) noexcept {
    if (from.fd < 0) {
        return readFromObject(from.method, p, n);
    }
    size_t done = 0;
    while (done < n) {
        const size_t want = n - done;
        const ssize_t k = ::read(from.fd, p + done, want < kMaxCall ? want : kMaxCall);
        if (k < 0) {
            if (errno == EINTR) {
                if (!lock.checkSignals()) {
                    return -1;
                }
                continue;
            }
            failWithErrno(errno, lock);
            return -1;
        }
        if (k == 0) {
            break;  // end of data
        }
        done += static_cast<size_t>(k);
        if (done < n && !lock.checkSignals()) {  // as in writeAll
            return -1;
        }
    }
    return static_cast<int64_t>(done);
}
