// The string column utilities of vorlane._Quodex: conversion of NumPy object
// arrays between bytes and str (npbytes2npstr, npstr2npbytes), and the bulk
// string stream (bulk_serialize_strings, bulk_deserialize_strings), which moves
// a column of strings over a file descriptor as bare, back-to-back UTF-8 and
// leaves the framing to an int64 array of end offsets that the caller keeps.
//
// Contract shared by all four
//   * Every argument is checked before any slot changes or any byte moves.
//   * Arrays are walked in index order; the first failure ends the call and
//     keeps what was done before it (earlier slots stored, earlier bytes
//     transferred, possibly part of the failing string after a short write or
//     read). Nothing is retried, nothing is sought, the descriptor is never
//     closed.
//   * The interpreter lock stays held around read and write: while a
//     descriptor blocks, no other Python thread runs. That is the design, and
//     it also means no other thread can touch the arrays during a call.
//
// Re-entrancy: storing into an output slot releases the slot's old value,
// which may run arbitrary Python code (a finalizer) that may write into either
// array, or call us again. So each element taken from an input slot is held by
// our own reference for as long as it is used, and the only things that live
// across a store are the array views (which own a reference to their array,
// so NumPy refuses to resize it under us) and buffers that we own.
#include <Python.h>

#include <unistd.h>

#include <cstdint>
#include <memory>

#include "arglayer.hpp"
#include "members.hpp"
#include "state.hpp"

namespace {

// ---------------------------------------------------------------------------
// Bytes and str array conversion

PyObject* npbytes2npstr_impl(PyObject*, PyObject* const* argv) {
    ArrayView in, out;
    if (!checkArrayPair({argv[0], "array_in", ArrayKind::Object, false},
                        {argv[1], "array_out", ArrayKind::Object, true}, in, out)) {
        return nullptr;
    }
    PythonObj item;
    for (npy_intp i = 0; i < in.size; ++i) {
        item.set(in.objectAt(i));
        if (!PyBytes_Check(item.get())) {
            PyErr_SetString(g_state.b_ValueError, "Object is not a bytes instance");
            return nullptr;
        }
        // Decodes the bytes object's own buffer; the result is an exact str.
        PyObject* text = PyUnicode_DecodeUTF8(PyBytes_AS_STRING(item.get()),
                                              PyBytes_GET_SIZE(item.get()), nullptr);
        if (!text) {
            return nullptr;
        }
        out.setObject(i, text);  // steals
    }
    Py_RETURN_NONE;
}

PyObject* npstr2npbytes_impl(PyObject*, PyObject* const* argv) {
    ArrayView in, out;
    if (!checkArrayPair({argv[0], "array_in", ArrayKind::Object, false},
                        {argv[1], "array_out", ArrayKind::Object, true}, in, out)) {
        return nullptr;
    }
    PythonObj item;
    for (npy_intp i = 0; i < in.size; ++i) {
        item.set(in.objectAt(i));
        if (!PyUnicode_Check(item.get())) {
            // Unlike npbytes2npstr, this one clears the failing slot. The old
            // value is released before the error is set, so a finalizer it
            // runs does not start with an exception pending.
            Py_INCREF(Py_None);
            out.setObject(i, Py_None);  // steals
            PyErr_SetString(g_state.b_ValueError, "Object is not a string instance");
            return nullptr;
        }
        // Encodes straight into a new exact bytes object (from the cached
        // UTF-8 form when the string has one), without caching anything in
        // the string itself.
        PyObject* data = PyUnicode_AsUTF8String(item.get());
        if (!data) {
            return nullptr;
        }
        out.setObject(i, data);  // steals
    }
    Py_RETURN_NONE;
}

// ---------------------------------------------------------------------------
// Bulk string stream

void raiseIOError() noexcept {
    // No errno on purpose: short transfers have none, and callers match one
    // text for every way a transfer can fall short.
    PyErr_SetString(g_state.b_IOError, "Input/Output Error");
}

struct PyMemFree {
    void operator()(char* p) const noexcept { PyMem_Free(p); }
};
// The reader's work buffer; taken and given back with the interpreter lock held.
using WorkBuffer = std::unique_ptr<char[], PyMemFree>;

constexpr int64_t kWorkBufferSize = 65536;

bool obtainBuffer(WorkBuffer& buf, int64_t size) noexcept {
    buf.reset();  // the old block goes first, so the two never coexist
    buf.reset(static_cast<char*>(PyMem_Malloc(static_cast<size_t>(size))));
    if (!buf) {
        PyErr_SetString(g_state.b_MemoryError, "Failed to allocate buffer");
        return false;
    }
    return true;
}

PyObject* bulk_serialize_strings_impl(PyObject*, PyObject* const* argv) {
    int fd;
    ArrayView in, offsets;
    // The descriptor first: its conversion may run __int__, and the arrays
    // are looked at only after any such code has finished.
    if (!convertToInt32(argv[2], &fd) ||
        !checkArrayPair({argv[0], "array_in", ArrayKind::Object, false},
                        {argv[1], "array_out", ArrayKind::Int64, true}, in, offsets)) {
        return nullptr;
    }
    int64_t offset = 0;
    PythonObj item;
    for (npy_intp i = 0; i < in.size; ++i) {
        item.set(in.objectAt(i));
        if (!PyUnicode_Check(item.get())) {
            PyErr_SetString(g_state.b_ValueError, "Object is not a string");
            return nullptr;
        }
        // The interpreter's own UTF-8 form: for ASCII strings their storage
        // itself, otherwise a copy cached in the string. `item` keeps it alive.
        Py_ssize_t vlen = 0;
        const char* utf8 = PyUnicode_AsUTF8AndSize(item.get(), &vlen);
        if (!utf8) {
            return nullptr;
        }
        // Also for empty strings: a zero-length write still reports a
        // descriptor that cannot be written to.
        if (::write(fd, utf8, static_cast<size_t>(vlen)) != vlen) {
            raiseIOError();
            return nullptr;
        }
        offset += vlen;
        offsets.setInt64(i, offset);
    }
    Py_RETURN_NONE;
}

PyObject* bulk_deserialize_strings_impl(PyObject*, PyObject* const* argv) {
    int fd;
    ArrayView out, offsets;
    if (!convertToInt32(argv[2], &fd) ||
        !checkArrayPair({argv[0], "array_out", ArrayKind::Object, true},
                        {argv[1], "array_in", ArrayKind::Int64, false}, out, offsets)) {
        return nullptr;
    }
    WorkBuffer buf;
    if (!obtainBuffer(buf, kWorkBufferSize)) {
        return nullptr;
    }
    int64_t prev_offset = 0;
    for (npy_intp i = 0; i < offsets.size; ++i) {
        // Read afresh each time: a finalizer run by the previous store may
        // have written into the offsets.
        const int64_t next_offset = offsets.int64At(i);
        int64_t vlen;
        if (__builtin_sub_overflow(next_offset, prev_offset, &vlen)) {
            // Saturate: a positive length this large cannot be allocated, a
            // negative one means an empty string like any other.
            vlen = next_offset > prev_offset ? INT64_MAX : INT64_MIN;
        }
        PyObject* text;
        if (vlen > 0) {
            // Long strings always get a block of their own size, so the
            // reader never holds more than one string's worth beyond 64 KiB.
            if (vlen > kWorkBufferSize && !obtainBuffer(buf, vlen)) {
                return nullptr;
            }
            if (::read(fd, buf.get(), static_cast<size_t>(vlen)) != vlen) {
                raiseIOError();
                return nullptr;
            }
            text = PyUnicode_DecodeUTF8(buf.get(), static_cast<Py_ssize_t>(vlen), nullptr);
        } else {
            text = PyUnicode_New(0, 0);
        }
        if (!text) {
            return nullptr;
        }
        out.setObject(i, text);  // steals
        prev_offset = next_offset;
    }
    Py_RETURN_NONE;
}

}  // namespace

const FuncSpec kNpbytes2npstrSpec = {
    {"npbytes2npstr", {"array_in", "array_out"}, 2, 0, 2},
    "npbytes2npstr", "vorlane._Quodex.npbytes2npstr", Binding::Function, npbytes2npstr_impl,
    {}, 0, nullptr, nullptr,
};

const FuncSpec kNpstr2npbytesSpec = {
    {"npstr2npbytes", {"array_in", "array_out"}, 2, 0, 2},
    "npstr2npbytes", "vorlane._Quodex.npstr2npbytes", Binding::Function, npstr2npbytes_impl,
    {}, 0, nullptr, nullptr,
};

const FuncSpec kBulkSerializeStringsSpec = {
    {"bulk_serialize_strings", {"array_in", "array_out", "fout_fd"}, 3, 0, 3},
    "bulk_serialize_strings", "vorlane._Quodex.bulk_serialize_strings", Binding::Function,
    bulk_serialize_strings_impl, {}, 0, nullptr, nullptr,
};

const FuncSpec kBulkDeserializeStringsSpec = {
    {"bulk_deserialize_strings", {"array_out", "array_in", "fin_fd"}, 3, 0, 3},
    "bulk_deserialize_strings", "vorlane._Quodex.bulk_deserialize_strings", Binding::Function,
    bulk_deserialize_strings_impl, {}, 0, nullptr, nullptr,
};
