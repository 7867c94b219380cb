// What a native call holds for one scope besides references (PythonObj):
// a buffer export, raw memory, the interpreter lock given up. Each is
// released on every exit of its scope.
#pragma once

#include <Python.h>

#include <cstddef>

// A buffer export (PyObject_GetBuffer ... PyBuffer_Release). While it is held
// the exporter cannot resize: a NumPy array keeps its memory where `view`
// says.
class BufferView {
public:
    Py_buffer view{};

    BufferView() noexcept = default;
    BufferView(const BufferView&) = delete;
    BufferView& operator=(const BufferView&) = delete;
    ~BufferView() { release(); }

    // False with the exporter's exception set.
    bool acquire(PyObject* source, int flags) noexcept {
        release();
        held_ = PyObject_GetBuffer(source, &view, flags) == 0;
        return held_;
    }
    void release() noexcept {
        if (held_) {
            PyBuffer_Release(&view);
            held_ = false;
        }
    }
    bool held() const noexcept { return held_; }

private:
    bool held_ = false;
};

// A block of raw memory (PyMem_Raw*, so it may be touched without the
// interpreter lock). Growing needs the lock: failure raises MemoryError.
class RawBuffer {
public:
    RawBuffer() noexcept = default;
    RawBuffer(const RawBuffer&) = delete;
    RawBuffer& operator=(const RawBuffer&) = delete;
    ~RawBuffer() { PyMem_RawFree(data_); }

    // Grows to hold at least `n` bytes, keeping the contents.
    bool reserve(size_t n) noexcept {
        if (n <= capacity_) {
            return true;
        }
        void* grown = PyMem_RawRealloc(data_, n);
        if (!grown) {
            PyErr_NoMemory();
            return false;
        }
        data_ = static_cast<char*>(grown);
        capacity_ = n;
        return true;
    }

    char* data() const noexcept { return data_; }
    size_t capacity() const noexcept { return capacity_; }

private:
    char* data_ = nullptr;
    size_t capacity_ = 0;
};

// Gives up the interpreter lock for its lifetime when `release` is true
// (Py_BEGIN/END_ALLOW_THREADS), and lets the holder take it back for a
// moment to run signal handlers.
class LockRelease {
public:
    explicit LockRelease(bool release) noexcept
        : state_(release ? PyEval_SaveThread() : nullptr) {}
    LockRelease(const LockRelease&) = delete;
    LockRelease& operator=(const LockRelease&) = delete;
    ~LockRelease() { relock(); }

    // Takes the lock back for good (idempotent).
    void relock() noexcept {
        if (state_) {
            PyEval_RestoreThread(state_);
            state_ = nullptr;
        }
    }
    bool released() const noexcept { return state_ != nullptr; }

    // Runs pending signal handlers with the lock held; false if one raised,
    // and then the lock is kept, for the caller to return the exception.
    bool checkSignals() noexcept {
        if (!state_) {
            return PyErr_CheckSignals() == 0;
        }
        PyEval_RestoreThread(state_);
        if (PyErr_CheckSignals() < 0) {
            state_ = nullptr;
            return false;
        }
        state_ = PyEval_SaveThread();
        return true;
    }

private:
    PyThreadState* state_;
};
