// Store operations of Quodex: one object at a time (insert, remove, decode)
// and in bulk (insert_many, insert_many_numpy, insert_many_encoded_numpy,
// decode_many).
//
// Re-entrancy rule: a count location obtained from the store is only written
// while no Python code can have run since it was obtained. Wherever user code
// may run in between (a reflected + or -, an __int__, an ndarray subclass's
// item assignment), the new count is computed first and the key looked up
// again in whatever store the instance holds at that moment.
#include <Python.h>

#include <utility>
#include <vector>

#include "arglayer.hpp"
#include "members.hpp"
#include "quodex.hpp"
#include "state.hpp"

namespace {

// stored (+|-) delta, with the interpreter's in-place operator so that a
// user type's reflected operator takes part. May run user code.
bool applyDelta(long stored, PyObject* delta, bool add, long* out) noexcept {
    if (PyLong_CheckExact(delta)) {
        // No user code can run for two ints: do it natively, and leave any
        // overflow to the slow path below, which raises the interpreter's error.
        int overflow = 0;
        const long d = PyLong_AsLongAndOverflow(delta, &overflow);
        if (!overflow && !(add ? __builtin_add_overflow(stored, d, out)
                               : __builtin_sub_overflow(stored, d, out))) {
            return true;
        }
    }
    PythonObj current = PythonObj::steal(PyLong_FromLong(stored));
    if (!current) {
        return false;
    }
    PythonObj result = PythonObj::steal(add ? PyNumber_InPlaceAdd(current.get(), delta)
                                            : PyNumber_InPlaceSubtract(current.get(), delta));
    return result && convertToInt64(result.get(), out);
}

PyObject* newCodeCountTuple(const PythonObj& key, PyObject* count) noexcept {
    PythonObj code = PythonObj::steal(PyLong_FromLongLong(key.toInteger()));
    if (!code) {
        return nullptr;
    }
    return PyTuple_Pack(2, code.get(), count);
}

// ---------------------------------------------------------------------------
// Single-object operations

PyObject* insert_impl(PyObject* self, PyObject* const* argv) {
    PythonObj c_key(argv[0]);
    PyObject* increment = argv[1];
    long* opt_count = storeOf(self).get(c_key);
    long count;
    if (opt_count) {
        if (!applyDelta(*opt_count, increment, true, &count)) {
            return nullptr;
        }
    } else if (!convertToInt64(increment, &count)) {
        return nullptr;
    }
    // User code may have run above: look up again, in the store the instance
    // holds now, and write or store anew.
    Store& store = storeOf(self);
    if (long* loc = store.get(c_key)) {
        *loc = count;
    } else {
        store.put(c_key, count);
    }
    if (!opt_count) {
        // A new object reports the increment argument itself.
        return newCodeCountTuple(c_key, increment);
    }
    PythonObj stored = PythonObj::steal(PyLong_FromLong(count));
    return stored ? newCodeCountTuple(c_key, stored.get()) : nullptr;
}

PyObject* remove_impl(PyObject* self, PyObject* const* argv) {
    PythonObj c_key(argv[0]);
    long* opt_count = storeOf(self).get(c_key);
    if (!opt_count) {
        Py_RETURN_NONE;
    }
    long new_count;
    if (!applyDelta(*opt_count, argv[1], false, &new_count)) {
        return nullptr;
    }
    Store& store = storeOf(self);
    if (long* loc = store.get(c_key)) {
        *loc = new_count;
        if (new_count <= 0) {
            // c_key keeps the object alive past the store's release.
            store.remove(c_key);
        }
    }
    return PyLong_FromLong(new_count);
}

PyObject* decode_impl(PyObject*, PyObject* const* argv) {
    PyObject* idx = argv[0];
    if (!checkExactInt(idx, "idx")) {
        return nullptr;
    }
    const Py_ssize_t code = PyLong_AsSsize_t(idx);
    if (code == -1 && PyErr_Occurred()) {
        return nullptr;
    }
    if (!checkCode(code)) {
        return nullptr;
    }
    PythonObj obj(reinterpret_cast<PyObject*>(code));
    return obj.release();
}

// ---------------------------------------------------------------------------
// Bulk operations

PyObject* insert_many_impl(PyObject* self, PyObject* const* argv) {
    PyObject* seq = argv[0];
    PythonObj ret = PythonObj::steal(PyList_New(0));
    PythonObj zero = PythonObj::steal(PyLong_FromLong(0));
    if (!ret || !zero) {
        return nullptr;
    }
    // Looked up for every item, so an override (or an instance attribute of a
    // subclass) sees each one.
    auto insertOne = [&](PyObject* item) -> bool {
        PythonObj method = PythonObj::steal(PyObject_GetAttr(self, g_state.s_insert));
        PythonObj result = method ? PythonObj::steal(PyObject_CallOneArg(method.get(), item)) : PythonObj();
        PythonObj code = result ? PythonObj::steal(PyObject_GetItem(result.get(), zero.get())) : PythonObj();
        return code && PyList_Append(ret.get(), code.get()) == 0;
    };
    if (PyList_CheckExact(seq) || PyTuple_CheckExact(seq)) {
        // Walked by index, re-reading the length, as a for loop does.
        for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(seq); ++i) {
            PythonObj item(PySequence_Fast_GET_ITEM(seq, i));
            if (!insertOne(item.get())) {
                return nullptr;
            }
        }
        return ret.release();
    }
    PythonObj it = PythonObj::steal(PyObject_GetIter(seq));
    if (!it) {
        return nullptr;
    }
    while (PythonObj item = PythonObj::steal(PyIter_Next(it.get()))) {
        if (!insertOne(item.get())) {
            return nullptr;
        }
    }
    return PyErr_Occurred() ? nullptr : ret.release();
}

// np.<factory>([n], dtype=dtype): the result arrays are made through the
// module's `np`, so rebinding it changes what later calls use.
PythonObj makeResultArray(PyObject* factory_name, npy_intp n, PyObject* dtype_owner_attr) {
    PythonObj np = lookupModuleGlobal(g_state.s_np);
    PythonObj factory = np ? PythonObj::steal(PyObject_GetAttr(np.get(), factory_name)) : PythonObj();
    if (!factory) {
        return {};
    }
    PythonObj dtype;
    if (dtype_owner_attr) {
        dtype = PythonObj::steal(PyObject_GetAttr(np.get(), dtype_owner_attr));
    } else {
        dtype = PythonObj(g_state.b_object);
    }
    PythonObj size = PythonObj::steal(PyLong_FromSsize_t(n));
    PythonObj shape = size ? PythonObj::steal(PyList_New(1)) : PythonObj();
    PythonObj kwargs = PythonObj::steal(PyDict_New());
    if (!dtype || !shape || !kwargs || PyDict_SetItem(kwargs.get(), g_state.s_dtype, dtype.get()) < 0) {
        return {};
    }
    PyList_SET_ITEM(shape.get(), 0, size.release());  // steals
    PythonObj args = PythonObj::steal(PyTuple_Pack(1, shape.get()));
    if (!args) {
        return {};
    }
    PythonObj result = PythonObj::steal(PyObject_Call(factory.get(), args.get(), kwargs.get()));
    if (result && !PyObject_TypeCheck(result.get(), g_state.ndarray_type)) {
        raiseCannotConvert(result.get(), "numpy.ndarray");
        return {};
    }
    return result;
}

// Before the lookup of key i: the buckets of key i + kPrefetchDistance are
// asked for, and the chain heads of key i + kPrefetchDistance / 2, whose
// buckets have arrived by then. `hashAt(j)` is the identity hash of key j.
template <typename HashAt>
void prefetchAhead(const Store& store, npy_intp i, npy_intp n, HashAt hashAt) noexcept {
    constexpr npy_intp far = Store::kPrefetchDistance;
    constexpr npy_intp near = far / 2;
    if (i + far < n) {
        store.prefetch(hashAt(i + far));
    }
    if (i + near < n) {
        store.prefetch_chain(hashAt(i + near));
    }
}

bool countOne(Store& store, const PythonObj& handle) {
    if (long* loc = store.get(handle)) {
        // The builtin stores the wrapped sum even when it reports overflow:
        // compute aside, so that a refused count stays as it was.
        long raised;
        if (__builtin_add_overflow(*loc, 1L, &raised)) {
            PyErr_SetString(PyExc_OverflowError, "count out of range");
            return false;
        }
        *loc = raised;
        return true;
    }
    store.put(handle, 1);
    return true;
}

PyObject* insert_many_numpy_impl(PyObject* self, PyObject* const* argv) {
    ArrayView in;
    if (!checkNdarray(argv[0], "arr") || !checkArray(argv[0], ArrayKind::Object, false, in)) {
        return nullptr;
    }
    PythonObj ret = makeResultArray(g_state.s_zeros, in.size, g_state.s_int64);
    if (!ret) {
        return nullptr;
    }
    // Codes go straight into a plain result of the expected layout; anything
    // else (an ndarray subclass from a rebound np) gets item assignment, which
    // may run user code and so happens before the store is looked at.
    ArrayView out;
    auto* r = reinterpret_cast<PyArrayObject*>(ret.get());
    const bool direct = Py_TYPE(ret.get()) == g_state.ndarray_type && PyArray_NDIM(r) == 1 &&
                        PyArray_DIM(r, 0) == in.size && PyArray_ISALIGNED(r) &&
                        checkArray(ret.get(), ArrayKind::Int64, true, out);
    PyErr_Clear();
    PythonObj handle;
    for (npy_intp i = 0; i < in.size; ++i) {
        prefetchAhead(storeOf(self), i, in.size,
                      [&](npy_intp j) { return reinterpret_cast<size_t>(in.objectAt(j)); });
        handle.set(in.objectAt(i));
        if (direct) {
            out.setInt64(i, handle.toInteger());
        } else {
            PythonObj index = PythonObj::steal(PyLong_FromSsize_t(i));
            PythonObj code = PythonObj::steal(PyLong_FromLongLong(handle.toInteger()));
            if (!index || !code || PyObject_SetItem(ret.get(), index.get(), code.get()) < 0) {
                return nullptr;
            }
        }
        if (!countOne(storeOf(self), handle)) {
            return nullptr;
        }
    }
    return ret.release();
}

bool checkCodes(const ArrayView& codes) noexcept {
    for (npy_intp i = 0; i < codes.size; ++i) {
        const int64_t code = codes.int64At(i);
        if (!isObjectCode(code)) {
            return checkCode(code);
        }
    }
    return true;
}

PyObject* insert_many_encoded_numpy_impl(PyObject* self, PyObject* const* argv) {
    ArrayView codes;
    if (!checkNdarray(argv[0], "arr") || !checkArray(argv[0], ArrayKind::Int64, false, codes) ||
        !checkCodes(codes)) {
        return nullptr;
    }
    PythonObj handle;
    for (npy_intp i = 0; i < codes.size; ++i) {
        prefetchAhead(storeOf(self), i, codes.size,
                      [&](npy_intp j) { return static_cast<size_t>(codes.int64At(j)); });
        handle.set(reinterpret_cast<PyObject*>(codes.int64At(i)));
        if (!countOne(storeOf(self), handle)) {
            return nullptr;
        }
    }
    Py_RETURN_NONE;
}

// References to None owed back, released together when the scope ends
// instead of one Py_DECREF per slot. None is never deallocated (the
// interpreter holds it for good), so its count only needs to come down by the
// total; a debug interpreter's running total of references comes down with it.
class NoneReleases {
public:
    NoneReleases() noexcept = default;
    ~NoneReleases() {
#ifdef Py_REF_DEBUG
        _Py_RefTotal -= count_;
#endif
        Py_SET_REFCNT(Py_None, Py_REFCNT(Py_None) - count_);
    }
    NoneReleases(const NoneReleases&) = delete;
    NoneReleases& operator=(const NoneReleases&) = delete;

    void add() noexcept { ++count_; }

private:
    Py_ssize_t count_ = 0;
};

PyObject* decode_many_impl(PyObject*, PyObject* const* argv) {
    ArrayView codes;
    if (!checkNdarray(argv[0], "arr") || !checkArray(argv[0], ArrayKind::Int64, false, codes) ||
        !checkCodes(codes)) {
        return nullptr;
    }
    PythonObj ret = makeResultArray(g_state.s_empty, codes.size, nullptr);
    ArrayView out;
    if (!ret || !checkArray(ret.get(), ArrayKind::Object, true, out)) {
        return nullptr;
    }
    if (out.size != codes.size) {
        PyErr_Format(PyExc_ValueError, "np.empty returned %zd slots for %zd codes",
                     static_cast<Py_ssize_t>(out.size), static_cast<Py_ssize_t>(codes.size));
        return nullptr;
    }
    // No Python code may run from here until every code has its reference:
    // a finalizer could drop the objects that later codes name. So the slots'
    // previous contents (None from a real np.empty, anything from a rebound
    // one) are released only after the loop: the None references all at once,
    // anything else one by one. The check is repeated because np.empty may
    // have been user code with access to `arr`.
    std::vector<PythonObj> previous;
    NoneReleases nones;
    // The objects' reference counts are the only memory here not read in
    // order; asking for them ahead keeps the loop at the speed of a copy.
    constexpr npy_intp kAhead = 32;
    for (npy_intp i = 0; i < codes.size; ++i) {
        if (i + kAhead < codes.size) {
            // A hint never faults, so even a code that the check below will
            // refuse is harmless here.
            prefetchForWrite(reinterpret_cast<const void*>(codes.int64At(i + kAhead)));
        }
        const int64_t code = codes.int64At(i);
        if (!isObjectCode(code)) {
            checkCode(code);
            return nullptr;
        }
        auto* obj = reinterpret_cast<PyObject*>(code);
        Py_INCREF(obj);
        PyObject* old = out.exchangeObject(i, obj);
        if (old == Py_None) {
            nones.add();
        } else if (old != nullptr) {
            previous.push_back(PythonObj::steal(old));
        }
    }
    return ret.release();
}

PyObject* increment_default() {
    return Py_BuildValue("{s:i}", "increment", 1);
}
PyObject* decrement_default() {
    return Py_BuildValue("{s:i}", "decrement", 1);
}

}  // namespace

const FuncSpec kInsertSpec = {
    {"insert", {"key", "increment"}, 1, 1, 1},
    "Quodex.insert", "vorlane._Quodex.Quodex.insert", Binding::Method, insert_impl,
    {{"key", "Any"}, {"return", "Tuple[int, int]"}}, 2, nullptr, increment_default,
};

const FuncSpec kRemoveSpec = {
    {"remove", {"key", "decrement"}, 1, 1, 1},
    "Quodex.remove", "vorlane._Quodex.Quodex.remove", Binding::Method, remove_impl,
    {{"key", "Any"}, {"return", "Optional[int]"}}, 2, nullptr, decrement_default,
};

const FuncSpec kDecodeSpec = {
    {"decode", {"idx"}, 1, 0, 1},
    "Quodex.decode", "vorlane._Quodex.Quodex.decode", Binding::Static, decode_impl,
    {{"idx", "int"}, {"return", "Any"}}, 2, nullptr, nullptr,
};

const FuncSpec kInsertManySpec = {
    {"insert_many", {"seq"}, 1, 0, 1},
    "Quodex.insert_many", "vorlane._Quodex.Quodex.insert_many", Binding::Method, insert_many_impl,
    {{"seq", "Sequence[str]"}, {"return", "List[int]"}}, 2, nullptr, nullptr,
};

const FuncSpec kInsertManyNumpySpec = {
    {"insert_many_numpy", {"arr"}, 1, 0, 1},
    "Quodex.insert_many_numpy", "vorlane._Quodex.Quodex.insert_many_numpy", Binding::Method,
    insert_many_numpy_impl, {{"return", "np.ndarray"}}, 1, nullptr, nullptr,
};

const FuncSpec kInsertManyEncodedNumpySpec = {
    {"insert_many_encoded_numpy", {"arr"}, 1, 0, 1},
    "Quodex.insert_many_encoded_numpy", "vorlane._Quodex.Quodex.insert_many_encoded_numpy",
    Binding::Method, insert_many_encoded_numpy_impl, {{"return", "np.ndarray"}}, 1, nullptr, nullptr,
};

const FuncSpec kDecodeManySpec = {
    {"decode_many", {"arr"}, 1, 0, 1},
    "Quodex.decode_many", "vorlane._Quodex.Quodex.decode_many", Binding::Static, decode_many_impl,
    {{"return", "np.ndarray[object]"}}, 1, nullptr, nullptr,
};
