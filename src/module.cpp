// Module entry of vorlane._Quodex: multi-phase initialisation, the checks it
// makes at import, and the publication of every Python-visible name.
//
// The module keeps its state in process-wide variables (g_state), so it can
// belong to one interpreter only, and a second creation in that interpreter
// hands back the module that already exists instead of initialising again.
#include <Python.h>
#include <frameobject.h>

#include <cstdio>

#include "arglayer.hpp"
#include "members.hpp"
#include "quodex.hpp"
#include "state.hpp"

ModuleState g_state;

// NumPy's function table (declared by numpy_api.hpp), set by the exec step.
void** PyArray_API = nullptr;
#ifdef VORLANE_NUMPY2_HEADERS
// The running NumPy's C-API feature version, which NumPy 2's headers consult
// to read descriptors of either layout. import_array() would set it; the exec
// step fetches the table itself, so it sets it too.
int PyArray_RUNTIME_VERSION = 0;
#endif

// ---------------------------------------------------------------------------
// Shared helpers

PythonObj lookupModuleGlobal(PyObject* name) noexcept {
    if (g_state.module_dict) {
        PyObject* v = PyDict_GetItemWithError(g_state.module_dict, name);  // borrowed
        if (v) {
            return PythonObj(v);
        }
        if (PyErr_Occurred()) {
            return {};
        }
    }
    PyObject* v = PyDict_GetItemWithError(PyEval_GetBuiltins(), name);  // borrowed
    if (v) {
        return PythonObj(v);
    }
    if (!PyErr_Occurred()) {
        PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
    }
    return {};
}

void addTraceback(const char* funcname) noexcept {
    PyObject *et, *ev, *tb;
    PyErr_Fetch(&et, &ev, &tb);
    PythonObj globals(g_state.module_dict);
    if (!globals) {
        globals = PythonObj::steal(PyDict_New());
    }
    PythonObj code = PythonObj::steal(reinterpret_cast<PyObject*>(
        PyCode_NewEmpty("vorlane/_Quodex", funcname, 0)));
    PythonObj frame;
    if (globals && code) {
        frame = PythonObj::steal(reinterpret_cast<PyObject*>(PyFrame_New(
            PyThreadState_Get(), reinterpret_cast<PyCodeObject*>(code.get()), globals.get(), nullptr)));
    }
    // Whatever went wrong while building the entry, the original error wins.
    PyErr_Clear();
    PyErr_Restore(et, ev, tb);
    if (frame) {
        PyTraceBack_Here(reinterpret_cast<PyFrameObject*>(frame.get()));
    }
}

// ---------------------------------------------------------------------------
// Registration table

namespace {

// Module functions and class members in the order they are published.
const FuncSpec* const kModuleFunctions[] = {
    &kNpbytes2npstrSpec,
    &kNpstr2npbytesSpec,
    &kBulkSerializeStringsSpec,
    &kBulkDeserializeStringsSpec,
    nullptr,
};

const FuncSpec* const kClassMembers[] = {
    &kCopySpec,
    &kDecodeSpec,
    &kDecodeManySpec,
    &kInsertManySpec,
    &kInsertManyEncodedNumpySpec,
    &kInsertManyNumpySpec,
    &kInsertSpec,
    &kPrintDebugSpec,
    &kRemoveSpec,
    &kCheckpointSpec,
    nullptr,
};

// ---------------------------------------------------------------------------
// Import-time checks

bool checkVersion() {
    // "3.9.2 (default, ...)": up to four dot-separated numbers.
    int parts[4] = {0, 0, 0, 0};
    const char* p = Py_GetVersion();
    for (int i = 0; i < 4; ++i) {
        int v = 0;
        while (*p >= '0' && *p <= '9') {
            v = v * 10 + (*p - '0');
            ++p;
        }
        parts[i] = v;
        if (*p != '.') {
            break;
        }
        ++p;
    }
    if (parts[0] == PY_MAJOR_VERSION && parts[1] == PY_MINOR_VERSION) {
        return true;
    }
    char msg[200];
    std::snprintf(msg, sizeof msg,
                  "compile time Python version %d.%d of module '%.100s' %s runtime version %d.%d",
                  PY_MAJOR_VERSION, PY_MINOR_VERSION, "vorlane._Quodex", "does not match",
                  parts[0], parts[1]);
    return PyErr_WarnEx(nullptr, msg, 1) == 0;
}

#ifdef VORLANE_NUMPY2_HEADERS
// NumPy 2 moved the module that holds the table to numpy._core, and its
// numpy.core alias refuses `_ARRAY_API`; NumPy 1.26 answers under both names
// with the one table, older 1.x only under numpy.core.
PythonObj importMultiarrayUmath() {
    PythonObj mod = PythonObj::steal(PyImport_ImportModule("numpy._core._multiarray_umath"));
    if (!mod && PyErr_ExceptionMatches(PyExc_ModuleNotFoundError)) {
        PyErr_Clear();
        mod = PythonObj::steal(PyImport_ImportModule("numpy.core._multiarray_umath"));
    }
    return mod;
}

// The ABIs this build runs on: 1.x's and 2.x's, both read through the 1.20
// API it was built for.
bool acceptedNumpyAbi(unsigned abi) { return abi == 0x1000009 || abi == 0x2000000; }
#else
PythonObj importMultiarrayUmath() {
    return PythonObj::steal(PyImport_ImportModule("numpy.core._multiarray_umath"));
}

bool acceptedNumpyAbi(unsigned abi) { return abi == 0x1000009; }
#endif

bool importNumpyApi() {
    PythonObj mod = importMultiarrayUmath();
    PythonObj capsule = mod ? PythonObj::steal(PyObject_GetAttrString(mod.get(), "_ARRAY_API")) : PythonObj();
    void* table = nullptr;
    if (capsule && PyCapsule_CheckExact(capsule.get())) {
        table = PyCapsule_GetPointer(capsule.get(), nullptr);
    }
    bool ok = false;
    if (table) {
        PyArray_API = static_cast<void**>(table);
        ok = acceptedNumpyAbi(PyArray_GetNDArrayCVersion()) &&
             PyArray_GetNDArrayCFeatureVersion() >= 0xe &&
             PyArray_GetEndianness() == NPY_CPU_LITTLE;
#ifdef VORLANE_NUMPY2_HEADERS
        if (ok) {
            PyArray_RUNTIME_VERSION = static_cast<int>(PyArray_GetNDArrayCFeatureVersion());
        }
#endif
    }
    if (!ok) {
        PyArray_API = nullptr;
        PyErr_Clear();
        PyErr_SetString(PyExc_ImportError, "numpy.core.multiarray failed to import");
    }
    return ok;
}

bool lookupBuiltins() {
    struct Entry {
        PyObject** slot;
        const char* name;
    };
    const Entry entries[] = {
        {&g_state.b_staticmethod, "staticmethod"},
        {&g_state.b_print, "print"},
        {&g_state.b_TypeError, "TypeError"},
        {&g_state.b_object, "object"},
        {&g_state.b_AssertionError, "AssertionError"},
        {&g_state.b_ValueError, "ValueError"},
        {&g_state.b_IOError, "IOError"},
        {&g_state.b_MemoryError, "MemoryError"},
        {&g_state.b_range, "range"},
        {&g_state.b_UnicodeError, "UnicodeError"},
        {&g_state.b_ImportError, "ImportError"},
    };
    PyObject* builtins = PyEval_GetBuiltins();  // borrowed
    for (const Entry& e : entries) {
        PythonObj name = PythonObj::steal(PyUnicode_InternFromString(e.name));
        if (!name) {
            return false;
        }
        PyObject* v = PyDict_GetItemWithError(builtins, name.get());  // borrowed
        if (!v) {
            if (!PyErr_Occurred()) {
                PyErr_Format(PyExc_NameError, "name '%U' is not defined", name.get());
            }
            return false;
        }
        Py_INCREF(v);
        Py_XSETREF(*e.slot, v);
    }
    return true;
}

bool internStrings() {
    struct Entry {
        PyObject** slot;
        const char* text;
    };
    const Entry entries[] = {
        {&g_state.s_np, "np"},       {&g_state.s_sys, "sys"},       {&g_state.s_zeros, "zeros"},
        {&g_state.s_empty, "empty"}, {&g_state.s_dtype, "dtype"},   {&g_state.s_int64, "int64"},
        {&g_state.s_insert, "insert"}, {&g_state.s_copy, "copy"},   {&g_state.s_stdout, "stdout"},
        {&g_state.s_flush, "flush"},
    };
    for (const Entry& e : entries) {
        PyObject* s = PyUnicode_InternFromString(e.text);
        if (!s) {
            return false;
        }
        Py_XSETREF(*e.slot, s);
    }
    return true;
}

bool fetchNdarrayType() {
    PythonObj numpy = PythonObj::steal(PyImport_ImportModule("numpy"));
    PythonObj t = numpy ? PythonObj::steal(PyObject_GetAttrString(numpy.get(), "ndarray")) : PythonObj();
    if (!t) {
        return false;
    }
    if (!PyType_Check(t.get())) {
        PyErr_Format(PyExc_TypeError, "%.200s.%.200s is not a type object", "numpy", "ndarray");
        return false;
    }
    Py_XSETREF(g_state.ndarray_type, reinterpret_cast<PyTypeObject*>(t.release()));
    return true;
}

bool setModuleAttr(const char* name, PyObject* value) {
    return value && PyDict_SetItemString(g_state.module_dict, name, value) == 0;
}

#if PY_VERSION_HEX >= 0x030A0000
// Whether the pending error says that the package pygraphblas itself (not a
// module it imports) is not installed.
bool isMissingPygraphblas() {
    if (!PyErr_ExceptionMatches(PyExc_ModuleNotFoundError)) {
        return false;
    }
    PyObject *et, *ev, *tb;
    PyErr_Fetch(&et, &ev, &tb);
    PyErr_NormalizeException(&et, &ev, &tb);
    PythonObj name = ev ? PythonObj::steal(PyObject_GetAttrString(ev, "name")) : PythonObj();
    bool missing = false;
    if (name && PyUnicode_Check(name.get())) {
        missing = PyUnicode_CompareWithASCIIString(name.get(), "pygraphblas") == 0;
    }
    PyErr_Clear();
    PyErr_Restore(et, ev, tb);
    return missing;
}
#endif

bool importPythonModules() {
    // from typing import Optional, Sequence, Any, Tuple, List
    const char* typing_names[] = {"Optional", "Sequence", "Any", "Tuple", "List"};
    PythonObj typing = PythonObj::steal(PyImport_ImportModule("typing"));
    if (!typing) {
        return false;
    }
    for (const char* n : typing_names) {
        PythonObj v = PythonObj::steal(PyObject_GetAttrString(typing.get(), n));
        if (!v) {
            if (PyErr_ExceptionMatches(PyExc_AttributeError)) {
                PyErr_Clear();
                PythonObj name = PythonObj::steal(PyUnicode_FromString(n));
                PyErr_Format(PyExc_ImportError, "cannot import name %S", name.get());
            }
            return false;
        }
        if (!setModuleAttr(n, v.get())) {
            return false;
        }
    }
    // import pygraphblas.types: binds the top-level package.
    PythonObj pygraphblas = PythonObj::steal(PyImport_ImportModuleLevel(
        "pygraphblas.types", g_state.module_dict, nullptr, nullptr, 0));
#if PY_VERSION_HEX >= 0x030A0000
    // pygraphblas has no release past 3.9's stack, and nothing here uses it:
    // from 3.10 on, where python-graphblas is the binding, its absence leaves
    // the attribute None. A pygraphblas that is there but fails still fails
    // the import, so that a broken install is never half-loaded in silence.
    if (!pygraphblas && isMissingPygraphblas()) {
        PyErr_Clear();
        pygraphblas = PythonObj(Py_None);
    }
#endif
    if (!setModuleAttr("pygraphblas", pygraphblas.get())) {
        return false;
    }
    PythonObj contextlib = PythonObj::steal(PyImport_ImportModule("contextlib"));
    if (!setModuleAttr("contextlib", contextlib.get())) {
        return false;
    }
    PythonObj sys = PythonObj::steal(PyImport_ImportModule("sys"));
    if (!setModuleAttr("sys", sys.get())) {
        return false;
    }
    PythonObj np = PythonObj::steal(PyImport_ImportModule("numpy"));
    return setModuleAttr("np", np.get());
}

bool publishModuleFunctions() {
    for (const FuncSpec* const* p = kModuleFunctions; *p; ++p) {
        PythonObj f = newFunction(**p);
        if (!setModuleAttr((*p)->args.name, f.get())) {
            return false;
        }
    }
    return true;
}

// contextlib.contextmanager(member), with `contextlib` found in the module
// namespace as it is at this moment.
PythonObj wrapContextManager(const PythonObj& member) {
    PythonObj name = PythonObj::steal(PyUnicode_InternFromString("contextlib"));
    PythonObj contextlib = name ? lookupModuleGlobal(name.get()) : PythonObj();
    PythonObj wrap = contextlib ? PythonObj::steal(PyObject_GetAttrString(contextlib.get(), "contextmanager"))
                                : PythonObj();
    return wrap ? PythonObj::steal(PyObject_CallOneArg(wrap.get(), member.get())) : PythonObj();
}

bool publishClassMembers() {
    PyObject* dict = QuodexType.tp_dict;  // borrowed
    for (const FuncSpec* const* p = kClassMembers; *p; ++p) {
        const FuncSpec& spec = **p;
        PythonObj member = newFunction(spec);
        if (!member || PyDict_SetItemString(dict, spec.args.name, member.get()) < 0) {
            return false;
        }
        PyType_Modified(&QuodexType);
        const bool wrapped = spec.binding == Binding::Static || &spec == &kCheckpointSpec;
        if (wrapped) {
            member = spec.binding == Binding::Static
                         ? PythonObj::steal(PyObject_CallOneArg(g_state.b_staticmethod, member.get()))
                         : wrapContextManager(member);
            if (!member || PyDict_SetItemString(dict, spec.args.name, member.get()) < 0) {
                return false;
            }
            PyType_Modified(&QuodexType);
        }
    }
    return true;
}

// ---------------------------------------------------------------------------
// Module slots

PyObject* quodex_module_create(PyObject* spec, PyModuleDef*) noexcept {
    const int64_t current = PyInterpreterState_GetID(PyThreadState_Get()->interp);
    if (g_state.interpreter_id == -1) {
        if (current == -1) {
            return nullptr;
        }
        g_state.interpreter_id = current;
    } else if (current != g_state.interpreter_id) {
        PyErr_SetString(PyExc_ImportError,
                        "Interpreter change detected - this module can only be loaded into one "
                        "interpreter per process.");
        return nullptr;
    }
    if (g_state.module) {
        g_state.stale_module_state = PyModule_GetState(g_state.module);
        Py_INCREF(g_state.module);
        return g_state.module;
    }
    PythonObj name = PythonObj::steal(PyObject_GetAttrString(spec, "name"));
    PythonObj module = name ? PythonObj::steal(PyModule_NewObject(name.get())) : PythonObj();
    if (!module) {
        return nullptr;
    }
    PyObject* dict = PyModule_GetDict(module.get());  // borrowed
    const struct {
        const char* from;
        const char* to;
        bool allow_none;
    } copies[] = {
        {"loader", "__loader__", true},
        {"origin", "__file__", true},
        {"parent", "__package__", true},
        {"submodule_search_locations", "__path__", false},
    };
    for (const auto& c : copies) {
        PythonObj v = PythonObj::steal(PyObject_GetAttrString(spec, c.from));
        if (!v) {
            if (!PyErr_ExceptionMatches(PyExc_AttributeError)) {
                return nullptr;
            }
            PyErr_Clear();
            continue;
        }
        if (v.get() == Py_None && !c.allow_none) {
            continue;
        }
        if (PyDict_SetItemString(dict, c.to, v.get()) < 0) {
            return nullptr;
        }
    }
    return module.release();
}

bool execSteps(PyObject* module) {
    // 2. Hold the module; the builtins module as __builtins__.
    Py_INCREF(module);
    g_state.module = module;
    g_state.module_dict = PyModule_GetDict(module);
    PythonObj builtins = PythonObj::steal(PyImport_ImportModule("builtins"));
    if (!setModuleAttr("__builtins__", builtins.get())) {
        return false;
    }
    // 3 to 11.
    if (!checkVersion() || !importNumpyApi()) {
        return false;
    }
    PyObject* modules = PyImport_GetModuleDict();  // borrowed
    PyObject* entry = PyDict_GetItemString(modules, "vorlane._Quodex");  // borrowed
    if (!entry && PyDict_SetItemString(modules, "vorlane._Quodex", module) < 0) {
        return false;
    }
    if (!internStrings() || !lookupBuiltins() || !readyFunctionType()) {
        return false;
    }
    if (PyType_Ready(&QuodexType) < 0 ||
        !setModuleAttr("Quodex", reinterpret_cast<PyObject*>(&QuodexType))) {
        return false;
    }
    return fetchNdarrayType() && importPythonModules() && publishModuleFunctions() &&
           prepareCheckpoint() && publishClassMembers();
}

// The interpreter resets the state pointer of a module that a creation hands
// back and gives it a new block before the exec step, forgetting the block it
// had: one lost per import after removal from sys.modules. The creation noted
// that block; once another one is in its place nothing refers to it any more.
void releaseStaleModuleState(PyObject* module) noexcept {
    void* stale = g_state.stale_module_state;
    g_state.stale_module_state = nullptr;
    if (stale && stale != PyModule_GetState(module)) {
        PyMem_Free(stale);
    }
}

int quodex_module_exec(PyObject* module) noexcept {
    if (g_state.initialised) {
        if (module == g_state.module) {
            releaseStaleModuleState(module);
            return 0;
        }
        PyErr_SetString(PyExc_RuntimeError,
                        "Module '_Quodex' has already been imported. Re-initialisation is not supported.");
        return -1;
    }
    const bool ok = exceptionBoundary(false, [&] { return execSteps(module); });
    if (ok) {
        g_state.initialised = true;
        return 0;
    }
    if (g_state.module) {
        addTraceback("init vorlane._Quodex");
        Py_CLEAR(g_state.module);
        g_state.module_dict = nullptr;
    }
    if (!PyErr_Occurred()) {
        PyErr_SetString(PyExc_ImportError, "init vorlane._Quodex");
    }
    return -1;
}

PyModuleDef_Slot quodex_slots[] = {
    {Py_mod_create, reinterpret_cast<void*>(quodex_module_create)},
    {Py_mod_exec, reinterpret_cast<void*>(quodex_module_exec)},
    {0, nullptr},
};

PyModuleDef quodex_module = {
    PyModuleDef_HEAD_INIT,
    "_Quodex",
    nullptr,  // no docstring
    0,        // all state is process-wide
    nullptr,  // no module-level methods: the functions are our own objects
    quodex_slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

PyMODINIT_FUNC PyInit__Quodex() { return PyModuleDef_Init(&quodex_module); }
