// The Quodex type: construction, destruction and the `size` property.
//
// The type is static (not a heap type) so that its attributes are sealed once
// the exec step has published the members: Python code cannot rebind them.
// It does not take part in cyclic GC: the store's objects are never visited.
#include "quodex.hpp"

#include <new>
#include <vector>

#include "arglayer.hpp"
#include "compat.hpp"
#include "members.hpp"
#include "state.hpp"

namespace {

const ArgSpec kCinitArgs = {"__cinit__", {"size"}, 1, 0, 1};

// Reads the single `size` argument from a tuple and a keyword dict.
bool parseSize(PyObject* args, PyObject* kwds, PyObject** size) {
    const Py_ssize_t nargs = PyTuple_GET_SIZE(args);
    std::vector<PyObject*> names, values;
    if (kwds) {
        Py_ssize_t pos = 0;
        PyObject *k, *v;
        while (PyDict_Next(kwds, &pos, &k, &v)) {
            names.push_back(k);
            values.push_back(v);
        }
    }
    PyObject* out[kMaxParams];
    if (!parseArgs(kCinitArgs, &PyTuple_GET_ITEM(args, 0), nargs, names.data(), values.data(),
                   static_cast<Py_ssize_t>(names.size()), nullptr, nullptr, out)) {
        return false;
    }
    *size = out[0];
    return true;
}

PyObject* quodex_new(PyTypeObject* type, PyObject* args, PyObject* kwds) noexcept {
    PythonObj self;
    if (!(type->tp_flags & Py_TPFLAGS_IS_ABSTRACT)) {
        self = PythonObj::steal(type->tp_alloc(type, 0));
    } else {
        // Lets object.__new__ raise its "Can't instantiate abstract class".
        PythonObj empty = PythonObj::steal(PyTuple_New(0));
        if (!empty) {
            return nullptr;
        }
        self = PythonObj::steal(PyBaseObject_Type.tp_new(type, empty.get(), nullptr));
    }
    if (!self) {
        return nullptr;
    }
    // From here a failure releases the half-made instance (its store is
    // still null) through the handle.
    const bool ok = exceptionBoundary(false, [&] {
        PyObject* size = nullptr;
        if (!parseSize(args, kwds, &size) || !checkExactInt(size, "size")) {
            return false;
        }
        if (_PyLong_Sign(size) < 0) {
            PyErr_SetString(PyExc_OverflowError, "can't convert negative value to size_t");
            return false;
        }
        const unsigned long long n = PyLong_AsUnsignedLongLong(size);
        if (n == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
            return false;
        }
        // Allocation failure (huge sizes included) surfaces as MemoryError
        // through the boundary, with no instance created.
        reinterpret_cast<QuodexObject*>(self.get())->_counts = new Store(static_cast<size_t>(n));
        return true;
    });
    if (!ok) {
        addTraceback("vorlane._Quodex.Quodex.__cinit__");
        return nullptr;
    }
    return self.release();
}

void quodex_dealloc(PyObject* o) noexcept {
    PyTypeObject* type = Py_TYPE(o);
    // A derived class's finalizer runs first; it may resurrect the instance.
    if (PyType_HasFeature(type, Py_TPFLAGS_HAVE_FINALIZE) && type->tp_finalize &&
        (!PyType_IS_GC(type) || !gcFinalized(o)) && type->tp_dealloc == quodex_dealloc) {
        if (PyObject_CallFinalizerFromDealloc(o)) {
            return;
        }
    }
    // Releasing stored objects runs arbitrary finalizers: keep the caller's
    // pending exception out of their way, and hold the instance at a nonzero
    // count so that nothing they do can start a second destruction of it.
    PyObject *et, *ev, *tb;
    PyErr_Fetch(&et, &ev, &tb);
    Py_SET_REFCNT(o, Py_REFCNT(o) + 1);
    auto* self = reinterpret_cast<QuodexObject*>(o);
    Store* store = self->_counts;
    self->_counts = nullptr;
    delete store;
    Py_SET_REFCNT(o, Py_REFCNT(o) - 1);
    PyErr_Restore(et, ev, tb);
    type->tp_free(o);
}

PyObject* quodex_get_size(PyObject* self, void*) noexcept {
    PyObject* r = hasStore(self) ? PyLong_FromSize_t(storeOf(self).getSize()) : nullptr;
    if (!r) {
        addTraceback("vorlane._Quodex.Quodex.size.__get__");
    }
    return r;
}

PyGetSetDef quodex_getset[] = {
    {"size", quodex_get_size, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

}  // namespace

bool hasStore(PyObject* self) noexcept {
    if (reinterpret_cast<QuodexObject*>(self)->_counts != nullptr) {
        return true;
    }
    PyErr_SetString(PyExc_ValueError, "Quodex instance has no store (its construction failed)");
    return false;
}

PyMethodDef quodexMethodTable[] = {
    {"__reduce__", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(quodex_reduce)),
     METH_FASTCALL | METH_KEYWORDS, nullptr},
    {"__setstate__", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(quodex_setstate)),
     METH_FASTCALL | METH_KEYWORDS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyTypeObject QuodexType = [] {
    PyTypeObject t = emptyStaticType();
    t.tp_name = "vorlane._Quodex.Quodex";
    t.tp_basicsize = sizeof(QuodexObject);
    t.tp_dealloc = quodex_dealloc;
    t.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE;
    t.tp_methods = quodexMethodTable;
    t.tp_getset = quodex_getset;
    t.tp_new = quodex_new;
    return t;
}();
