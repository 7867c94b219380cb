// Columns of Python objects as vorlane._Strings sees them: a walk over the
// elements it writes, and the slots of the object array it fills.
//
// NumPy object arrays export their slots through the buffer protocol (format
// "O", one PyObject* per item), which lets this module read and fill them
// without NumPy's C API and without a list in between.
//
// What it promises: a sequence is visited from a snapshot that owns one
// reference per element, an array from its own slots, read only between
// points where Python code may run; filling stores new references in index
// order and releases what each slot held. On failure a walk holds nothing,
// and a fill stops at the failing slot (the Python layer drops the array it
// made).
#pragma once

#include <Python.h>

#include <cstring>

#include "Transfer.hpp"

class ElementWalk {
public:
    ElementWalk() noexcept = default;
    ElementWalk(const ElementWalk&) = delete;
    ElementWalk& operator=(const ElementWalk&) = delete;
    ~ElementWalk() { clear(); }  // with the lock held

    // Calls `visit(i, element)` on each element of a one-dimensional object
    // array (any stride) or, failing that, of any sequence (false stops it). A
    // null slot reads as None. An array's elements are lent straight from its
    // slots, which keeps a large column's objects from being touched twice:
    // the visitor must take its own reference before anything that can run
    // Python code (which could refill the array). A sequence is taken whole
    // first, one reference per element, since even a list's item storage may
    // move under a finalizer.
    template <class Visit>
    bool visit(PyObject* column, Visit&& fn) noexcept {
        clear();
        Py_buffer view;
        if (getObjectBuffer(column, view)) {
            const char* p = static_cast<const char*>(view.buf);
            bool ok = true;
            for (Py_ssize_t i = 0; ok && i < view.shape[0]; ++i, p += view.strides[0]) {
                PyObject* o;
                std::memcpy(&o, p, sizeof o);
                ok = fn(i, o ? o : Py_None);
            }
            PyBuffer_Release(&view);
            return ok;
        }
        if (PyErr_Occurred() || !takeSequence(column)) {
            return false;
        }
        for (Py_ssize_t i = 0; i < size_; ++i) {
            if (!fn(i, at(i))) {
                return false;
            }
        }
        return true;
    }

private:
    PyObject* at(Py_ssize_t i) const noexcept {
        return reinterpret_cast<PyObject* const*>(items_.data())[i];
    }
    void clear() noexcept;
    bool reserve(Py_ssize_t n) noexcept;
    // A one-dimensional object array's buffer; false with no exception set
    // when `column` is something else.
    static bool getObjectBuffer(PyObject* column, Py_buffer& view) noexcept;
    bool takeSequence(PyObject* column) noexcept;

    RawBuffer items_;
    Py_ssize_t size_ = 0;
};

// The slots of a C-contiguous one-dimensional object array of `count` items,
// held (and so kept from resizing) for the lifetime of this object.
class ObjectSlots {
public:
    ObjectSlots() noexcept = default;
    ObjectSlots(const ObjectSlots&) = delete;
    ObjectSlots& operator=(const ObjectSlots&) = delete;

    // TypeError/ValueError when `array` is not such an array.
    bool hold(PyObject* array, Py_ssize_t count) noexcept;

    // Stores `stolen` into slot i and releases the slot's old value.
    void set(Py_ssize_t i, PyObject* stolen) noexcept {
        PyObject** slots = static_cast<PyObject**>(slots_.view.buf);
        PyObject* old = slots[i];
        slots[i] = stolen;
        Py_XDECREF(old);
    }

private:
    BufferView slots_;
};
