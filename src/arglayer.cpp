// Function objects and the argument layer of vorlane._Quodex.
//
// The function type is a small cousin of Python's own function: vectorcall for
// speed, a descriptor that binds methods to instances, and the metadata
// attributes that introspection and functools.wraps read. Arguments are parsed
// here, once, for every published function, with the interpreter's texts.
#include "arglayer.hpp"

#include <structmember.h>

#include <utility>

#include <climits>

#include "quodex.hpp"
#include "state.hpp"

// ---------------------------------------------------------------------------
// Argument parsing

static void raiseArgCount(const ArgSpec& spec, Py_ssize_t given) noexcept {
    const Py_ssize_t min = spec.nrequired;
    const Py_ssize_t max = spec.npos;
    const char* more;
    Py_ssize_t expected;
    if (min == max) {
        more = "exactly";
        expected = min;
    } else if (given < min) {
        more = "at least";
        expected = min;
    } else {
        more = "at most";
        expected = max;
    }
    PyErr_Format(PyExc_TypeError,
                 "%.200s() takes %.8s %zd positional argument%.1s (%zd given)",
                 spec.name, more, expected, expected == 1 ? "" : "s", given);
}

// Parameter names as interned str, made once per name: keywords that callers
// pass are interned too, so matching is mostly a pointer compare, and the
// default lookup needs no new string per call. The names are the specs'
// string literals, so their addresses identify them. Null if interning fails.
static PyObject* internedName(const char* name) noexcept {
    static std::pair<const char*, PyObject*> cache[64];
    static size_t used = 0;
    for (size_t i = 0; i < used; ++i) {
        if (cache[i].first == name) {
            return cache[i].second;
        }
    }
    PyObject* s = PyUnicode_InternFromString(name);
    if (s && used < sizeof cache / sizeof cache[0]) {
        cache[used++] = {name, s};  // kept for the life of the process
    }
    return s;
}

static Py_ssize_t findParam(const ArgSpec& spec, PyObject* kw) noexcept {
    const Py_ssize_t total = spec.npos + spec.nkwonly;
    for (Py_ssize_t i = 0; i < total; ++i) {
        if (internedName(spec.names[i]) == kw) {
            return i;
        }
    }
    for (Py_ssize_t i = 0; i < total; ++i) {
        if (PyUnicode_CompareWithASCIIString(kw, spec.names[i]) == 0) {
            return i;
        }
    }
    return -1;
}

bool parseArgs(const ArgSpec& spec, PyObject* const* args, Py_ssize_t nargs,
               PyObject* const* kwnames, PyObject* const* kwvalues, Py_ssize_t nkw,
               PyObject* defaults, PyObject* kwdefaults, PyObject** out) noexcept {
    const Py_ssize_t total = spec.npos + spec.nkwonly;
    if (nargs > spec.npos) {
        raiseArgCount(spec, nargs);
        return false;
    }
    for (Py_ssize_t i = 0; i < total; ++i) {
        out[i] = i < nargs ? args[i] : nullptr;
    }
    for (Py_ssize_t k = 0; k < nkw; ++k) {
        PyObject* kw = kwnames[k];
        if (!PyUnicode_Check(kw)) {
            PyErr_Format(PyExc_TypeError, "%.200s() keywords must be strings", spec.name);
            return false;
        }
        const Py_ssize_t i = findParam(spec, kw);
        if (i < 0) {
            PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'",
                         spec.name, kw);
            return false;
        }
        if (out[i] != nullptr) {
            PyErr_Format(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'",
                         spec.name, kw);
            return false;
        }
        out[i] = kwvalues[k];
    }
    // Missing parameters: required ones are an error counted like Python's
    // positional count; optional ones take their defaults.
    const Py_ssize_t ndefaults = defaults ? PyTuple_GET_SIZE(defaults) : 0;
    for (Py_ssize_t i = 0; i < spec.npos; ++i) {
        if (out[i] != nullptr) {
            continue;
        }
        const Py_ssize_t d = i - (spec.npos - ndefaults);
        if (i < spec.nrequired || d < 0) {
            raiseArgCount(spec, nargs);
            return false;
        }
        out[i] = PyTuple_GET_ITEM(defaults, d);
    }
    for (Py_ssize_t i = spec.npos; i < total; ++i) {
        if (out[i] != nullptr) {
            continue;
        }
        PyObject* value = nullptr;
        if (kwdefaults) {
            PyObject* key = internedName(spec.names[i]);
            if (!key) {
                return false;
            }
            // A str key cannot make the lookup raise; a user-placed key with
            // a raising __eq__ can, and then that error is the call's.
            value = PyDict_GetItemWithError(kwdefaults, key);
            if (!value && PyErr_Occurred()) {
                return false;
            }
        }
        if (!value) {
            PyErr_Format(PyExc_TypeError, "%s() missing 1 required keyword-only argument: '%s'",
                         spec.name, spec.names[i]);
            return false;
        }
        out[i] = value;
    }
    return true;
}

// ---------------------------------------------------------------------------
// Type checks

void raiseArgType(const char* argname, const char* expected, PyObject* got) noexcept {
    PyErr_Format(PyExc_TypeError, "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)",
                 argname, expected, Py_TYPE(got)->tp_name);
}

void raiseCannotConvert(PyObject* got, const char* target) noexcept {
    PyErr_Format(PyExc_TypeError, "Cannot convert %.200s to %.200s", Py_TYPE(got)->tp_name, target);
}

bool checkExactInt(PyObject* o, const char* argname) noexcept {
    if (PyLong_CheckExact(o)) {
        return true;
    }
    raiseArgType(argname, "int", o);
    return false;
}

bool checkNdarray(PyObject* o, const char* argname) noexcept {
    if (PyObject_TypeCheck(o, g_state.ndarray_type)) {
        return true;
    }
    raiseArgType(argname, "numpy.ndarray", o);
    return false;
}

static const char* dtypeName(PyArray_Descr* d) noexcept {
    return d->typeobj ? d->typeobj->tp_name : "unknown";
}

bool checkArray(PyObject* o, ArrayKind kind, bool writable, ArrayView& view) noexcept {
    auto* a = reinterpret_cast<PyArrayObject*>(o);
    if (PyArray_NDIM(a) != 1) {
        PyErr_Format(PyExc_ValueError, "Buffer has wrong number of dimensions (expected 1, got %d)",
                     PyArray_NDIM(a));
        return false;
    }
    PyArray_Descr* d = PyArray_DESCR(a);
    const bool ok_type = kind == ArrayKind::Object
                             ? d->type_num == NPY_OBJECT
                             : (d->kind == 'i' && descrItemSize(d) == 8 && d->type_num != NPY_OBJECT);
    if (!ok_type) {
        PyErr_Format(PyExc_ValueError, "Buffer dtype mismatch, expected '%s' but got '%s'",
                     kind == ArrayKind::Object ? "Python object" : "int64_t", dtypeName(d));
        return false;
    }
    if (!PyArray_ISNBO(d->byteorder)) {
        PyErr_SetString(PyExc_ValueError, "Buffer dtype mismatch: non-native byte order is not supported");
        return false;
    }
    if (writable && !PyArray_ISWRITEABLE(a)) {
        PyErr_SetString(PyExc_ValueError, "buffer source array is read-only");
        return false;
    }
    view.array.set(o);
    view.data = static_cast<char*>(PyArray_DATA(a));
    view.size = PyArray_DIM(a, 0);
    view.stride = PyArray_STRIDE(a, 0);
    return true;
}

bool checkCode(int64_t code) noexcept {
    if (isObjectCode(code)) {
        return true;
    }
    PyErr_Format(PyExc_ValueError, "%lld is not an object code", static_cast<long long>(code));
    return false;
}

bool checkArrayPair(const ArrayArg& a, const ArrayArg& b, ArrayView& va, ArrayView& vb) noexcept {
    if (!checkNdarray(a.obj, a.argname) || !checkNdarray(b.obj, b.argname) ||
        !checkArray(a.obj, a.kind, a.writable, va) || !checkArray(b.obj, b.kind, b.writable, vb)) {
        return false;
    }
    if (va.size != vb.size) {
        PyErr_SetNone(g_state.b_AssertionError);
        return false;
    }
    return true;
}

// The conversion behind int(obj): ints (and subclasses, so True is 1) by
// value, anything else through its type's __int__ slot. Sets `holder` when a
// new int had to be made; returns the int to read (borrowed) or null.
static PyObject* intValueOf(PyObject* o, PythonObj& holder) noexcept {
    if (!PyLong_Check(o)) {
        PyNumberMethods* m = Py_TYPE(o)->tp_as_number;
        if (!m || !m->nb_int) {
            PyErr_SetString(PyExc_TypeError, "an integer is required");
            return nullptr;
        }
        holder = PythonObj::steal(m->nb_int(o));
        if (!holder) {
            return nullptr;
        }
        if (!PyLong_CheckExact(holder.get())) {
            if (!PyLong_Check(holder.get())) {
                PyErr_Format(PyExc_TypeError, "__%.4s__ returned non-%.4s (type %.200s)", "int", "int",
                             Py_TYPE(holder.get())->tp_name);
                return nullptr;
            }
            if (PyErr_WarnFormat(PyExc_DeprecationWarning, 1,
                                 "__int__ returned non-int (type %.200s).  The ability to return an "
                                 "instance of a strict subclass of int is deprecated, and may be "
                                 "removed in a future version of Python.",
                                 Py_TYPE(holder.get())->tp_name) < 0) {
                return nullptr;
            }
        }
        o = holder.get();
    }
    return o;
}

bool convertToInt64(PyObject* o, long* out) noexcept {
    PythonObj holder;
    PyObject* value = intValueOf(o, holder);
    if (!value) {
        return false;
    }
    const long v = PyLong_AsLong(value);
    if (v == -1 && PyErr_Occurred()) {
        return false;
    }
    *out = v;
    return true;
}

bool convertToInt32(PyObject* o, int* out) noexcept {
    // __index__ only, as os.write takes its descriptor: a float must not be
    // truncated into some other, open descriptor.
    if (!PyIndex_Check(o)) {
        PyErr_Format(PyExc_TypeError, "an integer is required (got type %.200s)",
                     Py_TYPE(o)->tp_name);
        return false;
    }
    const PythonObj value = PythonObj::steal(PyNumber_Index(o));
    if (!value) {
        return false;
    }
    // One text for every out-of-range value, also those beyond a C long.
    int overflow = 0;
    const long v = PyLong_AsLongAndOverflow(value.get(), &overflow);
    if (v == -1 && PyErr_Occurred()) {
        return false;
    }
    if (overflow || v < INT_MIN || v > INT_MAX) {
        PyErr_SetString(PyExc_OverflowError, "Python int too large to convert to C int");
        return false;
    }
    *out = static_cast<int>(v);
    return true;
}

// ---------------------------------------------------------------------------
// The function type

namespace {

struct FunctionObject {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    const FuncSpec* spec;
    PyObject* name;
    PyObject* qualname;
    PyObject* module;
    PyObject* annotations;
    PyObject* defaults;    // tuple or None
    PyObject* kwdefaults;  // dict or None
};

PyObject* function_vectorcall(PyObject* callable, PyObject* const* args, size_t nargsf,
                              PyObject* kwnames) noexcept {
    auto* f = reinterpret_cast<FunctionObject*>(callable);
    const FuncSpec& spec = *f->spec;
    Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    PyObject* self = nullptr;
    if (spec.binding == Binding::Method) {
        // Called unbound (Quodex.insert(store, x)) or through a bound method,
        // which prepends the instance.
        if (nargs < 1) {
            PyErr_Format(PyExc_TypeError, "unbound method %.200s() needs an argument", spec.qualname);
            addTraceback(spec.traceback);
            return nullptr;
        }
        self = args[0];
        if (!PyObject_TypeCheck(self, &QuodexType)) {
            PyErr_Format(PyExc_TypeError,
                         "descriptor '%.200s' for '%.200s' objects doesn't apply to a '%.200s' object",
                         spec.args.name, QuodexType.tp_name, Py_TYPE(self)->tp_name);
            addTraceback(spec.traceback);
            return nullptr;
        }
        if (!hasStore(self)) {
            addTraceback(spec.traceback);
            return nullptr;
        }
        ++args;
        --nargs;
    }
    const Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    PyObject* argv[kMaxParams];
    PyObject* defaults = f->defaults == Py_None ? nullptr : f->defaults;
    PyObject* kwdefaults = f->kwdefaults == Py_None ? nullptr : f->kwdefaults;
    PyObject* result = nullptr;
    if (parseArgs(spec.args, args, nargs, kwnames ? &PyTuple_GET_ITEM(kwnames, 0) : nullptr,
                  args + nargs, nkw, defaults, kwdefaults, argv)) {
        // The caller keeps what it passed alive for the call, but a default is
        // only borrowed from __kwdefaults__, a dict that user code run by the
        // operation (the default's own __int__, say) may change: the call
        // owns a reference to every argument, as a Python frame would.
        PythonObj owned[kMaxParams];
        for (Py_ssize_t i = 0; i < spec.args.npos + spec.args.nkwonly; ++i) {
            owned[i].set(argv[i]);
        }
        result = exceptionBoundary<PyObject*>(nullptr, [&] { return spec.impl(self, argv); });
    }
    if (!result) {
        addTraceback(spec.traceback);
    }
    return result;
}

PyObject* function_descr_get(PyObject* self, PyObject* obj, PyObject* /*type*/) noexcept {
    auto* f = reinterpret_cast<FunctionObject*>(self);
    if (obj == nullptr || obj == Py_None || f->spec->binding != Binding::Method) {
        Py_INCREF(self);
        return self;
    }
    return PyMethod_New(self, obj);
}

void function_dealloc(PyObject* self) noexcept {
    auto* f = reinterpret_cast<FunctionObject*>(self);
    Py_XDECREF(f->name);
    Py_XDECREF(f->qualname);
    Py_XDECREF(f->module);
    Py_XDECREF(f->annotations);
    Py_XDECREF(f->defaults);
    Py_XDECREF(f->kwdefaults);
    Py_TYPE(self)->tp_free(self);
}

PyObject* function_repr(PyObject* self) noexcept {
    auto* f = reinterpret_cast<FunctionObject*>(self);
    return PyUnicode_FromFormat("<vorlane function %U at %p>", f->qualname, self);
}

PyObject* function_get_doc(PyObject*, void*) noexcept { Py_RETURN_NONE; }

PyMemberDef function_members[] = {
    {"__name__", T_OBJECT, offsetof(FunctionObject, name), READONLY, nullptr},
    {"__qualname__", T_OBJECT, offsetof(FunctionObject, qualname), READONLY, nullptr},
    {"__module__", T_OBJECT, offsetof(FunctionObject, module), READONLY, nullptr},
    {"__annotations__", T_OBJECT, offsetof(FunctionObject, annotations), READONLY, nullptr},
    {"__defaults__", T_OBJECT, offsetof(FunctionObject, defaults), READONLY, nullptr},
    {"__kwdefaults__", T_OBJECT, offsetof(FunctionObject, kwdefaults), READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyGetSetDef function_getset[] = {
    {"__doc__", function_get_doc, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyTypeObject FunctionType = [] {
    PyTypeObject t = emptyStaticType();
    t.tp_name = "vorlane._Quodex.function";
    t.tp_basicsize = sizeof(FunctionObject);
    t.tp_dealloc = function_dealloc;
    t.tp_vectorcall_offset = offsetof(FunctionObject, vectorcall);
    t.tp_repr = function_repr;
    t.tp_call = PyVectorcall_Call;
    t.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_VECTORCALL | Py_TPFLAGS_METHOD_DESCRIPTOR;
    t.tp_members = function_members;
    t.tp_getset = function_getset;
    t.tp_descr_get = function_descr_get;
    return t;
}();

}  // namespace

bool readyFunctionType() noexcept { return PyType_Ready(&FunctionType) == 0; }

PythonObj newFunction(const FuncSpec& spec) noexcept {
    PythonObj annotations = PythonObj::steal(PyDict_New());
    if (!annotations) {
        return {};
    }
    for (int i = 0; i < spec.nannotations; ++i) {
        PythonObj value = PythonObj::steal(PyUnicode_FromString(spec.annotations[i].value));
        if (!value || PyDict_SetItemString(annotations.get(), spec.annotations[i].name, value.get()) < 0) {
            return {};
        }
    }
    PythonObj defaults = spec.defaults ? PythonObj::steal(spec.defaults()) : PythonObj(Py_None);
    PythonObj kwdefaults = spec.kwdefaults ? PythonObj::steal(spec.kwdefaults()) : PythonObj(Py_None);
    PythonObj name = PythonObj::steal(PyUnicode_InternFromString(spec.args.name));
    PythonObj qualname = PythonObj::steal(PyUnicode_FromString(spec.qualname));
    PythonObj module = PythonObj::steal(PyUnicode_FromString("vorlane._Quodex"));
    if (!defaults || !kwdefaults || !name || !qualname || !module) {
        return {};
    }
    auto* f = PyObject_New(FunctionObject, &FunctionType);
    if (!f) {
        return {};
    }
    f->vectorcall = function_vectorcall;
    f->spec = &spec;
    f->name = name.release();
    f->qualname = qualname.release();
    f->module = module.release();
    f->annotations = annotations.release();
    f->defaults = defaults.release();
    f->kwdefaults = kwdefaults.release();
    return PythonObj::steal(reinterpret_cast<PyObject*>(f));
}
