// vorlane._Holdings: the bulk calls through which object matrices hold and give
// back counts in a Quodex store, and find the least or greatest object of
// groups of cells.
//
// What it promises
//   * `unheld` answers "does the store hold the object at this address?" from
//     the store's own table, comparing addresses only: a code that is not an
//     object's address is never dereferenced.
//   * `intern` raises each object's count by one (storing it with count 1
//     when new) and is all or nothing: when a count would leave the signed
//     64-bit range or the store cannot grow, every count it raised is lowered
//     again and every object it stored is dropped before the error is raised.
//   * `release` lowers each held object's count by one and drops the object
//     at zero, as Quodex.remove does, in one call. The caller's array keeps
//     every object alive meanwhile, so no finalizer runs inside the loop.
//   * `decode_held` turns codes into objects only when the store holds every
//     one of them, checked by address in the same call.
//   * `extreme` scans each group of an object array in order, keeping the
//     first object and replacing the one kept whenever the next compares
//     less (or greater) than it. A comparison that raises an Exception
//     counts as false; anything else (KeyboardInterrupt) ends the call.
//   * Every argument is checked before anything changes; no C++ exception
//     leaves a function (allocation failure is MemoryError).
//
// What it leaves behind on failure: nothing changed, for every function.
//
// The module reads the store through the Quodex instance layout that
// _Quodex is built from (quodex.hpp); it takes the type from _Quodex at import
// and refuses anything else. Like _Quodex it belongs to one interpreter.
#include <Python.h>

#include <cstring>
#include <new>
#include <utility>
#include <vector>

#include "PythonScopes.hpp"
#include "boundary.hpp"
#include "quodex.hpp"

namespace {

PyTypeObject* g_quodex_type = nullptr;  // owned, from vorlane._Quodex

template <class R, class F>
R boundary(R fail, F&& body) noexcept {
    return nativeBoundary("vorlane._Holdings", fail, std::forward<F>(body));
}

// An int64 or object column argument, held for the length of the call.
class Buffer : public BufferView {
public:
    // A one-dimensional buffer of 8-byte items of `kind` ('O' objects or 'q'
    // signed 64-bit integers), any stride.
    bool take(PyObject* o, char kind, bool writable, const char* name) noexcept {
        if (!acquire(o, PyBUF_STRIDES | PyBUF_FORMAT | (writable ? PyBUF_WRITABLE : 0))) {
            return false;
        }
        if (view.ndim != 1 || view.itemsize != 8 || !formatIs(kind)) {
            PyErr_Format(PyExc_ValueError, "%s must be a one-dimensional %s array", name,
                         kind == 'O' ? "object" : "int64");
            return false;
        }
        return true;
    }

    Py_ssize_t size() const noexcept { return view.shape[0]; }
    char* at(Py_ssize_t i) const noexcept {
        return static_cast<char*>(view.buf) + i * view.strides[0];
    }
    int64_t int64At(Py_ssize_t i) const noexcept {
        int64_t v;
        std::memcpy(&v, at(i), sizeof v);
        return v;
    }
    void setInt64(Py_ssize_t i, int64_t v) const noexcept { std::memcpy(at(i), &v, sizeof v); }
    // Borrowed; an empty slot reads as None.
    PyObject* objectAt(Py_ssize_t i) const noexcept {
        PyObject* o;
        std::memcpy(&o, at(i), sizeof o);
        return o ? o : Py_None;
    }

private:
    bool formatIs(char kind) const noexcept {
        const char* f = view.format ? view.format : "B";
        if (*f == '@' || *f == '=' || *f == '<') {
            ++f;
        }
        if (kind == 'O') {
            return std::strcmp(f, "O") == 0;
        }
        return std::strcmp(f, "q") == 0 || std::strcmp(f, "l") == 0;
    }
};

// The store of a Quodex argument, or null with TypeError/ValueError.
Store* storeArg(PyObject* o) noexcept {
    if (!PyObject_TypeCheck(o, g_quodex_type)) {
        PyErr_Format(PyExc_TypeError, "store must be a Quodex, not %.200s", Py_TYPE(o)->tp_name);
        return nullptr;
    }
    Store* s = reinterpret_cast<QuodexObject*>(o)->_counts;
    if (s == nullptr) {
        PyErr_SetString(PyExc_ValueError, "Quodex instance has no store (its construction failed)");
    }
    return s;
}

bool argCount(const char* fn, Py_ssize_t nargs, Py_ssize_t want) noexcept {
    if (nargs == want) {
        return true;
    }
    PyErr_Format(PyExc_TypeError, "%s() takes exactly %zd arguments (%zd given)", fn, want, nargs);
    return false;
}

// A key for a lookup by address alone: it takes no reference, so the address
// is never read. Every use releases it before returning.
struct AddressKey {
    PythonObj key;
    explicit AddressKey(int64_t code) noexcept { key.object = reinterpret_cast<PyObject*>(code); }
    AddressKey(const AddressKey&) = delete;
    AddressKey& operator=(const AddressKey&) = delete;
    ~AddressKey() { key.release(); }
};

// Before the lookup of key i: the buckets of key i + far are asked for, and
// the chain heads of key i + far / 2, whose buckets have arrived by then.
// `addressAt(j)` is key j's address, which is its hash; `touch` also asks for
// the object itself where the loop will write its reference count.
template <typename AddressAt>
void prefetchAhead(const Store& s, Py_ssize_t i, Py_ssize_t n, AddressAt addressAt, bool touch) noexcept {
    constexpr Py_ssize_t far = Store::kPrefetchDistance;
    constexpr Py_ssize_t near = far / 2;
    if (i + far < n) {
        const size_t ahead = addressAt(i + far);
        s.prefetch(ahead);
        if (touch) {
            prefetchForWrite(reinterpret_cast<const void*>(ahead));
        }
    }
    if (i + near < n) {
        s.prefetch_chain(addressAt(i + near));
    }
}

// ---------------------------------------------------------------------------

PyObject* holdings_epoch(PyObject*, PyObject* const* args, Py_ssize_t nargs) noexcept {
    if (!argCount("epoch", nargs, 1)) {
        return nullptr;
    }
    Store* s = storeArg(args[0]);
    // The store an instance holds changes only by a checkpoint rollback.
    return s ? PyLong_FromVoidPtr(s) : nullptr;
}

PyObject* holdings_unheld(PyObject*, PyObject* const* args, Py_ssize_t nargs) noexcept {
    if (!argCount("unheld", nargs, 2)) {
        return nullptr;
    }
    Store* s = storeArg(args[0]);
    Buffer codes;
    if (!s || !codes.take(args[1], 'q', false, "codes")) {
        return nullptr;
    }
    const Py_ssize_t n = codes.size();
    for (Py_ssize_t i = 0; i < n; ++i) {
        // A hint never faults, so a code that is no address is harmless here.
        prefetchAhead(*s, i, n, [&](Py_ssize_t j) { return static_cast<size_t>(codes.int64At(j)); }, false);
        AddressKey k(codes.int64At(i));
        if (s->get(k.key) == nullptr) {
            return PyLong_FromSsize_t(i);
        }
    }
    return PyLong_FromLong(-1);
}

// Fills `out` (an object array the caller made) with the objects behind
// `codes`, all or nothing: the codes are first looked up in the store by
// address, and only when every one is held is any of them dereferenced. One
// call under the interpreter lock, so no other thread can drop an object
// between the check and the read. Returns -1, or the position of the first
// code the store does not hold (then `out` is untouched).
PyObject* decodeHeld(PyObject* const* args, Py_ssize_t nargs) {
    if (!argCount("decode_held", nargs, 3)) {
        return nullptr;
    }
    Store* s = storeArg(args[0]);
    Buffer codes, out;
    if (!s || !codes.take(args[1], 'q', false, "codes") || !out.take(args[2], 'O', true, "out")) {
        return nullptr;
    }
    const Py_ssize_t n = codes.size();
    if (out.size() != n) {
        PyErr_SetString(PyExc_ValueError, "codes and out differ in length");
        return nullptr;
    }
    PythonObj first = PythonObj::steal(holdings_unheld(nullptr, args, 2));
    if (!first || PyLong_AsLong(first.get()) != -1) {
        return first.release();
    }
    // Previous slot contents are released after the loop: a finalizer they
    // run could otherwise drop objects that later codes name.
    std::vector<PythonObj> previous;
    previous.reserve(static_cast<size_t>(n));
    for (Py_ssize_t i = 0; i < n; ++i) {
        auto* obj = reinterpret_cast<PyObject*>(codes.int64At(i));
        Py_INCREF(obj);
        PyObject* old;
        std::memcpy(&old, out.at(i), sizeof old);
        std::memcpy(out.at(i), &obj, sizeof obj);
        previous.push_back(PythonObj::steal(old));
    }
    return first.release();
}

PyObject* holdings_decode_held(PyObject*, PyObject* const* args, Py_ssize_t nargs) noexcept {
    return boundary<PyObject*>(nullptr, [&]() -> PyObject* { return decodeHeld(args, nargs); });
}

// Lowers what intern raised for objects[0..upto), newest first, so that an
// object stored anew and then counted again comes back to 1 before it goes.
void undoIntern(Store& s, const Buffer& objects, const std::vector<char>& fresh,
                Py_ssize_t upto) noexcept {
    for (Py_ssize_t j = upto - 1; j >= 0; --j) {
        PythonObj key(objects.objectAt(j));
        if (fresh[static_cast<size_t>(j)]) {
            s.remove(key);  // the caller's array still holds the object
        } else if (long* loc = s.get(key)) {
            --*loc;
        }
    }
}

PyObject* holdings_intern(PyObject*, PyObject* const* args, Py_ssize_t nargs) noexcept {
    return boundary<PyObject*>(nullptr, [&]() -> PyObject* {
        if (!argCount("intern", nargs, 3)) {
            return nullptr;
        }
        Store* s = storeArg(args[0]);
        Buffer objects, out;
        if (!s || !objects.take(args[1], 'O', false, "objects")) {
            return nullptr;
        }
        const bool with_codes = args[2] != Py_None;
        if (with_codes) {
            if (!out.take(args[2], 'q', true, "codes")) {
                return nullptr;
            }
            if (out.size() != objects.size()) {
                PyErr_SetString(PyExc_ValueError, "codes and objects differ in length");
                return nullptr;
            }
        }
        const Py_ssize_t n = objects.size();
        std::vector<char> fresh(static_cast<size_t>(n));  // before anything changes
        for (Py_ssize_t i = 0; i < n; ++i) {
            PythonObj key(objects.objectAt(i));
            if (long* loc = s->get(key)) {
                long raised;
                if (__builtin_add_overflow(*loc, 1L, &raised)) {
                    undoIntern(*s, objects, fresh, i);
                    PyErr_SetString(PyExc_OverflowError, "count out of range");
                    return nullptr;
                }
                *loc = raised;
            } else {
                try {
                    s->put(key, 1);  // a failing put leaves the store as it was
                } catch (const std::bad_alloc&) {
                    undoIntern(*s, objects, fresh, i);
                    throw;
                }
                fresh[static_cast<size_t>(i)] = 1;
            }
            if (with_codes) {
                out.setInt64(i, key.toInteger());
            }
        }
        Py_RETURN_NONE;
    });
}

PyObject* holdings_release(PyObject*, PyObject* const* args, Py_ssize_t nargs) noexcept {
    if (!argCount("release", nargs, 2)) {
        return nullptr;
    }
    Store* s = storeArg(args[0]);
    Buffer objects;
    if (!s || !objects.take(args[1], 'O', false, "objects")) {
        return nullptr;
    }
    const Py_ssize_t n = objects.size();
    Py_ssize_t missing = 0;
    for (Py_ssize_t i = 0; i < n; ++i) {
        prefetchAhead(*s, i, n, [&](Py_ssize_t j) { return reinterpret_cast<size_t>(objects.objectAt(j)); }, true);
        // The array holds a reference to the object: the store dropping its
        // own runs no finalizer, and no Python code runs in this loop.
        AddressKey k(reinterpret_cast<int64_t>(objects.objectAt(i)));
        long* loc = s->get(k.key);
        if (loc == nullptr) {
            ++missing;
        } else if (*loc <= 1) {
            s->remove(k.key);  // its count would reach zero or below
        } else {
            --*loc;
        }
    }
    return PyLong_FromSsize_t(missing);
}

// A comparison that raises an Exception answers false; KeyboardInterrupt,
// SystemExit and the like end the call.
int compareOrFalse(PyObject* a, PyObject* b, int op) noexcept {
    const int r = PyObject_RichCompareBool(a, b, op);
    if (r >= 0) {
        return r;
    }
    if (PyErr_ExceptionMatches(PyExc_Exception)) {
        PyErr_Clear();
        return 0;
    }
    return -1;
}

PyObject* holdings_extreme(PyObject*, PyObject* const* args, Py_ssize_t nargs) noexcept {
    if (!argCount("extreme", nargs, 4)) {
        return nullptr;
    }
    Buffer objects, starts, out;
    if (!objects.take(args[0], 'O', false, "objects") || !starts.take(args[1], 'q', false, "starts") ||
        !out.take(args[3], 'q', true, "positions")) {
        return nullptr;
    }
    const int op = PyLong_Check(args[2]) ? static_cast<int>(PyLong_AsLong(args[2])) : -1;
    if (op != Py_LT && op != Py_GT) {
        if (!PyErr_Occurred()) {
            PyErr_SetString(PyExc_ValueError, "op must be Py_LT (0) or Py_GT (4)");
        }
        return nullptr;
    }
    const Py_ssize_t groups = out.size();
    if (starts.size() != groups + 1) {
        PyErr_SetString(PyExc_ValueError, "starts must have one more element than positions");
        return nullptr;
    }
    int64_t prev = 0;
    for (Py_ssize_t g = 0; g <= groups; ++g) {
        const int64_t v = starts.int64At(g);
        if (v < prev || v > objects.size() || (g == 0 && v != 0) || (g == groups && v != objects.size())) {
            PyErr_SetString(PyExc_ValueError, "starts must rise from 0 to the number of objects");
            return nullptr;
        }
        prev = v;
    }
    Py_ssize_t since_signals = 0;
    for (Py_ssize_t g = 0; g < groups; ++g) {
        const Py_ssize_t begin = starts.int64At(g), end = starts.int64At(g + 1);
        Py_ssize_t best = begin < end ? begin : -1;
        for (Py_ssize_t i = begin + 1; i < end; ++i) {
            // Held for the comparison: user code may rebind the slots.
            PythonObj candidate(objects.objectAt(i)), current(objects.objectAt(best));
            const int r = compareOrFalse(candidate.get(), current.get(), op);
            if (r < 0) {
                return nullptr;
            }
            if (r) {
                best = i;
            }
            // Comparisons of str and int run no bytecode, so the interpreter
            // would not look at signals on its own.
            if (++since_signals == 4096) {
                since_signals = 0;
                if (PyErr_CheckSignals() < 0) {
                    return nullptr;
                }
            }
        }
        out.setInt64(g, best);
    }
    Py_RETURN_NONE;
}

PyMethodDef holdings_methods[] = {
    {"epoch", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(holdings_epoch)), METH_FASTCALL,
     nullptr},
    {"unheld", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(holdings_unheld)), METH_FASTCALL,
     nullptr},
    {"decode_held", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(holdings_decode_held)),
     METH_FASTCALL, nullptr},
    {"intern", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(holdings_intern)), METH_FASTCALL,
     nullptr},
    {"release", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(holdings_release)),
     METH_FASTCALL, nullptr},
    {"extreme", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(holdings_extreme)),
     METH_FASTCALL, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef holdings_module = {
    PyModuleDef_HEAD_INIT, "vorlane._Holdings", nullptr, -1, holdings_methods,
    nullptr, nullptr, nullptr, nullptr,
};

}  // namespace

PyMODINIT_FUNC PyInit__Holdings() {
    // _Quodex refuses a second interpreter, so this import fails there too.
    PyObject* quodex = PyImport_ImportModule("vorlane._Quodex");
    if (quodex == nullptr) {
        return nullptr;
    }
    PyObject* type = PyObject_GetAttrString(quodex, "Quodex");
    Py_DECREF(quodex);
    if (type == nullptr) {
        return nullptr;
    }
    if (!PyType_Check(type)) {
        Py_DECREF(type);
        PyErr_SetString(PyExc_ImportError, "vorlane._Quodex.Quodex is not a type");
        return nullptr;
    }
    if (g_quodex_type == nullptr) {
        g_quodex_type = reinterpret_cast<PyTypeObject*>(type);
    } else {
        Py_DECREF(type);  // a re-import finds the type it already holds
    }
    return PyModule_Create(&holdings_module);
}
