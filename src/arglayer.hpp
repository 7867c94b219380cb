// The function objects of vorlane._Quodex and the argument layer they share.
//
// Every Python-visible function and method of the module is a `FuncSpec`
// turned into a function object of our own type, which carries the metadata a
// Python function has (__name__, __qualname__, __module__, __doc__,
// __annotations__, __defaults__, __kwdefaults__) and binds like one. Calls come
// in through vectorcall; the layer parses the arguments against their FuncSpec with
// the interpreter's familiar texts, and the operation then checks their types
// with the helpers below, all before it changes anything.
#pragma once

#include <Python.h>

#include <cstdint>
#include <cstring>

#include "PythonObj.hpp"

#include "numpy_api.hpp"

// ---------------------------------------------------------------------------
// Signatures and function objects

enum class Binding {
    Function,  // module function: never receives an instance
    Method,    // bound to the instance when fetched from one
    Static,    // published wrapped in staticmethod
};

constexpr int kMaxParams = 4;

struct ArgSpec {
    const char* name;                   // used in the error texts
    const char* names[kMaxParams];      // positional-or-keyword, then keyword-only
    Py_ssize_t npos;                    // positional-or-keyword parameters
    Py_ssize_t nkwonly;                 // keyword-only parameters
    Py_ssize_t nrequired;               // leading positional ones without default
};

// Parsed arguments, borrowed from the caller (who keeps them alive for the
// call), in the order of `ArgSpec::names`; defaults are filled in.
using Impl = PyObject* (*)(PyObject* self, PyObject* const* argv);

struct Annotation {
    const char* name;
    const char* value;
};

struct FuncSpec {
    ArgSpec args;
    const char* qualname;
    const char* traceback;  // traceback entry added when the call fails
    Binding binding;
    Impl impl;
    Annotation annotations[4];
    int nannotations;
    PyObject* (*defaults)();    // new tuple for __defaults__, or nullptr
    PyObject* (*kwdefaults)();  // new dict for __kwdefaults__, or nullptr
};

// Readies the function type; once, from the exec step.
bool readyFunctionType() noexcept;

// A new function object for `spec` (which must outlive it).
PythonObj newFunction(const FuncSpec& spec) noexcept;

// Parses positional and keyword arguments against `spec` into `out`
// (kMaxParams slots), taking missing optional ones from `defaults` (tuple for
// the trailing positional parameters) and `kwdefaults` (dict). Raises
// TypeError with the interpreter's texts and returns false on a mismatch.
bool parseArgs(const ArgSpec& spec, PyObject* const* args, Py_ssize_t nargs,
               PyObject* const* kwnames, PyObject* const* kwvalues, Py_ssize_t nkw,
               PyObject* defaults, PyObject* kwdefaults, PyObject** out) noexcept;

// ---------------------------------------------------------------------------
// Type checks

// TypeError "Argument '<argname>' has incorrect type (expected <expected>, got <type>)".
void raiseArgType(const char* argname, const char* expected, PyObject* got) noexcept;

// TypeError "Cannot convert <type of got> to <target>": an object that user
// code handed back (a rebound np's array, an overriding copy's result) is not
// of the type the operation needs.
void raiseCannotConvert(PyObject* got, const char* target) noexcept;

// `o` must be exactly an int (no subclass, not bool).
bool checkExactInt(PyObject* o, const char* argname) noexcept;

// Converts `o` to a signed 64-bit integer as int(o) would: ints and int
// subclasses by value, other objects through their __int__ slot (floats
// truncate). TypeError "an integer is required" when there is none;
// OverflowError outside the range. May run user code.
bool convertToInt64(PyObject* o, long* out) noexcept;

// A C int (a file descriptor) from an int or an object with __index__;
// TypeError for anything else, floats included, and OverflowError "Python int
// too large to convert to C int" outside the signed 32-bit range.
bool convertToInt32(PyObject* o, int* out) noexcept;

// A one-dimensional NumPy array read and written in place through its stride.
// It keeps a reference to the array, which also stops the array from being
// resized by code that runs while an operation walks it.
class ArrayView {
public:
    PythonObj array;
    char* data = nullptr;
    npy_intp size = 0;
    npy_intp stride = 0;

    // Object slots: a null slot reads as None (borrowed).
    PyObject* objectAt(npy_intp i) const noexcept {
        PyObject* o;
        std::memcpy(&o, data + i * stride, sizeof o);
        return o ? o : Py_None;
    }
    // Stores a new reference into slot i and releases what the slot held.
    void setObject(npy_intp i, PyObject* stolen) const noexcept {
        Py_XDECREF(exchangeObject(i, stolen));
    }
    // Stores a new reference into slot i and hands back the slot's previous
    // reference (null for a null slot) without releasing it, so that no
    // finalizer runs here.
    PyObject* exchangeObject(npy_intp i, PyObject* stolen) const noexcept {
        char* p = data + i * stride;
        PyObject* old;
        std::memcpy(&old, p, sizeof old);
        std::memcpy(p, &stolen, sizeof stolen);
        return old;
    }
    int64_t int64At(npy_intp i) const noexcept {
        int64_t v;
        std::memcpy(&v, data + i * stride, sizeof v);
        return v;
    }
    void setInt64(npy_intp i, int64_t v) const noexcept {
        std::memcpy(data + i * stride, &v, sizeof v);
    }
};

enum class ArrayKind { Object, Int64 };

// `o` must be a numpy.ndarray (subclasses accepted; None is refused).
bool checkNdarray(PyObject* o, const char* argname) noexcept;

// Checks dimensions, element type, byte order and (if asked) writability of
// an array that already passed checkNdarray, and fills `view`. ValueError
// naming what was expected and what was found.
bool checkArray(PyObject* o, ArrayKind kind, bool writable, ArrayView& view) noexcept;

// One array argument of a function that walks two arrays side by side.
struct ArrayArg {
    PyObject* obj;
    const char* argname;
    ArrayKind kind;
    bool writable;
};

// Checks two array arguments in the layer's order: that each is a
// numpy.ndarray, then the layout of each (checkArray), then that both have the
// same length (AssertionError with no message). Fills `va` and `vb`.
bool checkArrayPair(const ArrayArg& a, const ArrayArg& b, ArrayView& va, ArrayView& vb) noexcept;

// Object codes are addresses of Python objects: never 0, never negative, and
// 8-byte aligned. Anything else cannot be dereferenced safely. Inline, because
// bulk loops ask once per element.
inline bool isObjectCode(int64_t code) noexcept {
    return code > 0 && (code & 7) == 0;
}

// isObjectCode, with ValueError for a code that is not one.
bool checkCode(int64_t code) noexcept;
