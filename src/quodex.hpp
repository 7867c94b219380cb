// The Quodex type: an instance owns exactly one identity store.
#pragma once

#include <Python.h>

#include "HashStore.hpp"
#include "PythonObj.hpp"

using Store = HashStore<PythonObj, long>;

struct QuodexObject {
    PyObject_HEAD
    // Owned. Null only in an instance whose construction failed after its
    // memory was obtained; a checkpoint rollback may exchange it with another
    // instance's, but an instance always deletes the one it holds when it dies.
    Store* _counts;
};

extern PyTypeObject QuodexType;

// The store of an instance that passed hasStore (every member is called
// through that check, see arglayer.cpp).
inline Store& storeOf(PyObject* self) noexcept {
    return *reinterpret_cast<QuodexObject*>(self)->_counts;
}

// A Quodex whose construction failed still runs a subclass's finalizer, which
// may keep the instance alive and call its members. Such an instance has no
// store: every member checks through here first and refuses with ValueError
// "Quodex instance has no store (its construction failed)".
bool hasStore(PyObject* self) noexcept;
