// PythonObj: the one owning handle for a Python object reference.
//
// Contract
//   * A non-null `object` is owned: the handle holds exactly one reference.
//   * Identity is the address. Hashing and every comparison look only at the
//     held pointer and never call into the interpreter, so they cannot raise
//     and no user type can influence them. Two equal but distinct objects are
//     two different keys.
//   * The address read as a signed 64-bit integer is the object code that the
//     store hands out (`toInteger`).
//   * Taking or dropping a reference needs the interpreter lock; dropping one
//     may run a finalizer, that is arbitrary Python code.
//
// Besides what the store needs (copy, `set`, `toPython`, `getRefCount`,
// `toInteger`), the handle is used all over the module as a scoped reference:
// `steal` adopts a reference returned by the C API, `borrow` takes a new one,
// `release` hands the reference back, and moves leave the source empty.
#pragma once

#include <Python.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <utility>

class PythonObj {
public:
    PyObject* object = nullptr;

    PythonObj() noexcept = default;

    // Takes a new reference to `o` (if non-null): the handle owns its own.
    explicit PythonObj(PyObject* o) noexcept : object(o) { Py_XINCREF(o); }

    PythonObj(const PythonObj& copy) noexcept : object(copy.object) {
        Py_XINCREF(object);
    }

    PythonObj(PythonObj&& other) noexcept : object(other.object) {
        other.object = nullptr;
    }

    // Assignment takes the new reference before dropping the old one, so that
    // self-assignment and a finalizer run by the drop both see a valid handle.
    PythonObj& operator=(const PythonObj& other) noexcept {
        set(other.object);
        return *this;
    }

    PythonObj& operator=(PythonObj&& other) noexcept {
        if (this != &other) {
            PyObject* old = object;
            object = other.object;
            other.object = nullptr;
            Py_XDECREF(old);
        }
        return *this;
    }

    ~PythonObj() { set(nullptr); }

    // Adopts a reference the caller owns (typically a C-API result).
    static PythonObj steal(PyObject* o) noexcept {
        PythonObj h;
        h.object = o;
        return h;
    }

    static PythonObj borrow(PyObject* o) noexcept { return PythonObj(o); }

    // Holds `o` with a new reference and releases the previous object. The old
    // object is released last: setting a handle to what it already holds keeps
    // the count unchanged even when the handle was the only owner.
    void set(PyObject* o) noexcept {
        PyObject* old = object;
        Py_XINCREF(o);
        object = o;
        Py_XDECREF(old);
    }

    // Gives up ownership without touching the count.
    PyObject* release() noexcept {
        PyObject* o = object;
        object = nullptr;
        return o;
    }

    PyObject* get() const noexcept { return object; }
    explicit operator bool() const noexcept { return object != nullptr; }

    PyObject* toPython(bool incref) const noexcept {
        if (incref) {
            Py_INCREF(object);
        }
        return object;
    }

    Py_ssize_t getRefCount() const noexcept { return Py_REFCNT(object); }

    intptr_t toInteger() const noexcept {
        return reinterpret_cast<intptr_t>(object);
    }
};

inline bool operator==(const PythonObj& a, const PythonObj& b) noexcept {
    return a.object == b.object;
}
inline bool operator!=(const PythonObj& a, const PythonObj& b) noexcept {
    return a.object != b.object;
}
inline bool operator<(const PythonObj& a, const PythonObj& b) noexcept {
    return reinterpret_cast<uintptr_t>(a.object) < reinterpret_cast<uintptr_t>(b.object);
}
inline bool operator>(const PythonObj& a, const PythonObj& b) noexcept {
    return b < a;
}
inline bool operator<=(const PythonObj& a, const PythonObj& b) noexcept {
    return !(b < a);
}
inline bool operator>=(const PythonObj& a, const PythonObj& b) noexcept {
    return !(a < b);
}

namespace std {
template <>
struct hash<PythonObj> {
    size_t operator()(const PythonObj& obj) const noexcept {
        return reinterpret_cast<size_t>(obj.object);
    }
};
}  // namespace std
