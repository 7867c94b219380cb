// Columns of Python objects as vorlane._Strings sees them: a snapshot of the
// elements it writes, and the slots of the object array it fills.
//
// NumPy object arrays export their slots through the buffer protocol (format
// "O", one PyObject* per item), which lets this module read and fill them
// without NumPy's C API and without a list in between.
//
// What it promises: a snapshot owns one reference per element, so the
// caller's array may be rebound or refilled while the interpreter lock is
// released; filling stores new references in index order and releases what
// each slot held. On failure a snapshot holds nothing, and a fill stops at the
// failing slot (the Python layer drops the array it made).
#pragma once

#include <Python.h>

#include <cstring>

#include "Transfer.hpp"

class ObjectSnapshot {
public:
    ObjectSnapshot() noexcept = default;
    ObjectSnapshot(const ObjectSnapshot&) = delete;
    ObjectSnapshot& operator=(const ObjectSnapshot&) = delete;
    ~ObjectSnapshot() { clear(); }  // with the lock held

    // Takes the elements of a one-dimensional object array (any stride) or,
    // failing that, of any sequence, and calls `visit(i, element)` on each
    // (false stops it). A null slot reads as None. Array elements are
    // visited as they are taken, while their memory is still in cache; a
    // sequence is taken whole first, since a visit that allocates may run a
    // finalizer that changes a list under us.
    template <class Visit>
    bool take(PyObject* column, Visit&& visit) noexcept {
        clear();
        Py_buffer view;
        if (getObjectBuffer(column, view)) {
            const bool ok = reserve(view.shape[0]) && takeArray(view, visit);
            PyBuffer_Release(&view);
            return ok;
        }
        if (PyErr_Occurred() || !takeSequence(column)) {
            return false;
        }
        for (Py_ssize_t i = 0; i < size_; ++i) {
            if (!visit(i, at(i))) {
                return false;
            }
        }
        return true;
    }

    Py_ssize_t size() const noexcept { return size_; }
    PyObject* at(Py_ssize_t i) const noexcept {
        return reinterpret_cast<PyObject* const*>(items_.data())[i];
    }

private:
    void clear() noexcept;
    bool reserve(Py_ssize_t n) noexcept;
    // A one-dimensional object array's buffer; false with no exception set
    // when `column` is something else.
    static bool getObjectBuffer(PyObject* column, Py_buffer& view) noexcept;
    bool takeSequence(PyObject* column) noexcept;

    template <class Visit>
    bool takeArray(const Py_buffer& view, Visit& visit) noexcept {
        PyObject** items = reinterpret_cast<PyObject**>(items_.data());
        const char* p = static_cast<const char*>(view.buf);
        for (Py_ssize_t i = 0; i < view.shape[0]; ++i, p += view.strides[0]) {
            PyObject* o;
            std::memcpy(&o, p, sizeof o);
            if (!o) {
                o = Py_None;
            }
            Py_INCREF(o);
            items[i] = o;
            size_ = i + 1;
            if (!visit(i, o)) {
                return false;
            }
        }
        return true;
    }

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
    ~ObjectSlots() {
        if (held_) {
            PyBuffer_Release(&view_);
        }
    }

    // TypeError/ValueError when `array` is not such an array.
    bool hold(PyObject* array, Py_ssize_t count) noexcept;

    // Stores `stolen` into slot i and releases the slot's old value.
    void set(Py_ssize_t i, PyObject* stolen) noexcept {
        PyObject** slots = static_cast<PyObject**>(view_.buf);
        PyObject* old = slots[i];
        slots[i] = stolen;
        Py_XDECREF(old);
    }

private:
    Py_buffer view_{};
    bool held_ = false;
};
