// vorlane._Zembra as an out-of-line cffi module: the declaration tables handed
// to _cffi_backend, the Python-callable wrappers and the direct-call entries.
//
// The backend builds the module object from these tables. What it publishes
// is exactly the declarations
//     void PyObject_EQ(bool *, int64_t *, int64_t *);   (and NE, LT, GT, GE, LE)
//     void PyObject_FIRST(int64_t *, int64_t *, int64_t *);   (and SECOND, ANY)
// `lib.PyObject_EQ(z, x, y)` runs the wrapper below; `ffi.addressof(lib,
// "PyObject_EQ")` hands out the direct-call entry, which is what GraphBLAS is
// given as an operator.
#include <Python.h>

#include <cassert>
#include <cstddef>
#include <cstring>

#include "CffiAbi.h"
#include "ExitGate.hpp"
#include "Kernels.h"
#include "PythonObj.hpp"

namespace {

/* ------------------------------------------------------------------------ */
/* Tables                                                                    */
/* ------------------------------------------------------------------------ */

// Indices of the type table that the wrappers and the function table name.
constexpr cffi::Word kComparisonSignature = 0;
constexpr size_t kBoolPointer = 1;
constexpr size_t kInt64Pointer = 2;
constexpr cffi::Word kSelectionSignature = 5;

// Writable: the backend stores its type descriptors over resolved entries.
cffi::Word g_types[] = {
    /*  0 */ cffi::op(cffi::kFunction, 12),  // void (bool *, int64_t *, int64_t *)
    /*  1 */ cffi::op(cffi::kPointer, 10),   // bool *
    /*  2 */ cffi::op(cffi::kPointer, 11),   // int64_t *
    /*  3 */ cffi::op(cffi::kNoop, 2),
    /*  4 */ cffi::op(cffi::kFunctionEnd, 0),  // not variadic
    /*  5 */ cffi::op(cffi::kFunction, 12),  // void (int64_t *, int64_t *, int64_t *)
    /*  6 */ cffi::op(cffi::kNoop, 2),
    /*  7 */ cffi::op(cffi::kNoop, 2),
    /*  8 */ cffi::op(cffi::kNoop, 2),
    /*  9 */ cffi::op(cffi::kFunctionEnd, 0),
    /* 10 */ cffi::op(cffi::kPrimitive, cffi::kBool),
    /* 11 */ cffi::op(cffi::kPrimitive, cffi::kInt64),
    /* 12 */ cffi::op(cffi::kPrimitive, cffi::kVoid),
};
constexpr int kNumTypes = sizeof(g_types) / sizeof(g_types[0]);

// Filled by the backend during initialisation.
void* g_exports[cffi::kNumExports] = {};

template <typename Fn>
Fn backend_routine(size_t slot) noexcept {
    return reinterpret_cast<Fn>(g_exports[slot]);
}

cffi::CTypeDescr* resolved_type(size_t index) noexcept {
    const cffi::Word word = g_types[index];
    // The backend resolves a signature's parameter types when it builds the
    // function object, which is the only way to reach a wrapper.
    assert((word & 1) == 0 && "parameter type not resolved by the backend");
    return reinterpret_cast<cffi::CTypeDescr*>(word);
}

/* ------------------------------------------------------------------------ */
/* Argument layer                                                            */
/* ------------------------------------------------------------------------ */

// Mirrors the backend's own bound for scratch it is happy to see on the stack.
constexpr size_t kStackScratch = 640;

// One pointer argument of a wrapper: the backend's pointer passed straight
// through, or zero-filled scratch that the backend fills from an array-like
// value (on the stack up to kStackScratch bytes, from the interpreter's
// allocator beyond). Replaces the manual free list of large arguments: the
// scratch is released on every exit, also when a later argument fails.
// Must be destroyed with the interpreter lock held.
class PointerArgument {
public:
    PointerArgument() noexcept = default;
    ~PointerArgument() { PyObject_Free(heap_); }

    PointerArgument(const PointerArgument&) = delete;
    PointerArgument& operator=(const PointerArgument&) = delete;
    PointerArgument(PointerArgument&&) = delete;
    PointerArgument& operator=(PointerArgument&&) = delete;

    // False with an exception set when `arg` cannot become a non-null pointer
    // of `type` to at least one cell of `cell_size` bytes.
    bool convert(const char* function, int position, size_t type_index,
                 size_t cell_size, PyObject* arg) noexcept {
        cffi::CTypeDescr* type = resolved_type(type_index);
        const auto prepare = backend_routine<cffi::PreparePointerArgument>(
            cffi::kPreparePointerArgument);
        const Py_ssize_t needed = prepare(type, arg, &data_);
        if (needed < 0) {
            return false;
        }
        if (needed > 0) {
            const size_t size = static_cast<size_t>(needed);
            // The backend asks for one byte for an empty sequence; the kernel
            // would read a cell that no value filled.
            if (size < cell_size) {
                PyErr_Format(PyExc_ValueError, "%s() argument %d is an empty sequence",
                             function, position);
                return false;
            }
            if (size <= kStackScratch) {
                data_ = local_;
            } else {
                heap_ = PyObject_Malloc(size);
                if (heap_ == nullptr) {
                    PyErr_NoMemory();
                    return false;
                }
                data_ = static_cast<char*>(heap_);
            }
            std::memset(data_, 0, size);
            const auto fill = backend_routine<cffi::ConvertArrayFromObject>(
                cffi::kConvertArrayFromObject);
            if (fill(data_, type, arg) < 0) {
                return false;
            }
        }
        if (data_ == nullptr) {
            // A cell pointer can never be null: the kernel would dereference it.
            PyErr_Format(PyExc_ValueError, "%s() argument %d is a null pointer",
                         function, position);
            return false;
        }
        return true;
    }

    template <typename T>
    T* as() const noexcept {
        return reinterpret_cast<T*>(data_);
    }

private:
    alignas(std::max_align_t) char local_[kStackScratch];
    void* heap_ = nullptr;
    char* data_ = nullptr;
};

// Releases the interpreter lock for one scope and brings the caller's errno
// into it and back out, as the backend keeps it per thread for ffi.errno.
// Replaces Py_BEGIN/END_ALLOW_THREADS around _cffi_restore/save_errno.
class ForeignCall {
public:
    ForeignCall() noexcept : saved_(PyEval_SaveThread()) {
        backend_routine<cffi::ErrnoRoutine>(cffi::kRestoreErrno)();
    }
    ~ForeignCall() {
        backend_routine<cffi::ErrnoRoutine>(cffi::kSaveErrno)();
        PyEval_RestoreThread(saved_);
    }

    ForeignCall(const ForeignCall&) = delete;
    ForeignCall& operator=(const ForeignCall&) = delete;
    ForeignCall(ForeignCall&&) = delete;
    ForeignCall& operator=(ForeignCall&&) = delete;

private:
    PyThreadState* saved_;
};

/* ------------------------------------------------------------------------ */
/* Wrappers and direct-call entries                                          */
/* ------------------------------------------------------------------------ */

template <typename Result>
using Kernel = void (*)(Result*, int64_t*, int64_t*) noexcept;

template <typename Result>
constexpr size_t result_type_index();
template <>
constexpr size_t result_type_index<bool>() { return kBoolPointer; }
template <>
constexpr size_t result_type_index<int64_t>() { return kInt64Pointer; }

// `lib.<name>(z, x, y)`: returns None; the result is only what the kernel
// wrote through `z`.
template <typename Result, Kernel<Result> kernel, const char* name>
PyObject* call_from_python(PyObject*, PyObject* args) noexcept {
    PyObject* arg0;
    PyObject* arg1;
    PyObject* arg2;
    if (!PyArg_UnpackTuple(args, name, 3, 3, &arg0, &arg1, &arg2)) {
        return nullptr;
    }
    PointerArgument z, x, y;
    if (!z.convert(name, 1, result_type_index<Result>(), sizeof(Result), arg0) ||
        !x.convert(name, 2, kInt64Pointer, sizeof(int64_t), arg1) ||
        !y.convert(name, 3, kInt64Pointer, sizeof(int64_t), arg2)) {
        return nullptr;
    }
    {
        ForeignCall unlocked;
        kernel(z.as<Result>(), x.as<int64_t>(), y.as<int64_t>());
    }
    Py_RETURN_NONE;
}

// What ffi.addressof hands out: the kernel under the backend's calling shape.
template <typename Result, Kernel<Result> kernel>
void call_direct(Result* z, int64_t* x, int64_t* y) noexcept {
    kernel(z, x, y);
}

template <typename Result, Kernel<Result> kernel, const char* name>
constexpr cffi::Global function_entry(cffi::Word signature) {
    return {name, call_from_python<Result, kernel, name>,
            cffi::op(cffi::kBuiltinVarargs, signature), call_direct<Result, kernel>};
}

constexpr char kAny[] = "PyObject_ANY";
constexpr char kEq[] = "PyObject_EQ";
constexpr char kFirst[] = "PyObject_FIRST";
constexpr char kGe[] = "PyObject_GE";
constexpr char kGt[] = "PyObject_GT";
constexpr char kLe[] = "PyObject_LE";
constexpr char kLt[] = "PyObject_LT";
constexpr char kNe[] = "PyObject_NE";
constexpr char kSecond[] = "PyObject_SECOND";

constexpr cffi::Global g_globals[] = {
    function_entry<int64_t, PyObject_ANY, kAny>(kSelectionSignature),
    function_entry<bool, PyObject_EQ, kEq>(kComparisonSignature),
    function_entry<int64_t, PyObject_FIRST, kFirst>(kSelectionSignature),
    function_entry<bool, PyObject_GE, kGe>(kComparisonSignature),
    function_entry<bool, PyObject_GT, kGt>(kComparisonSignature),
    function_entry<bool, PyObject_LE, kLe>(kComparisonSignature),
    function_entry<bool, PyObject_LT, kLt>(kComparisonSignature),
    function_entry<bool, PyObject_NE, kNe>(kComparisonSignature),
    function_entry<int64_t, PyObject_SECOND, kSecond>(kSelectionSignature),
};

constexpr cffi::TypeContext g_type_context = {
    g_types,
    g_globals,
    nullptr,  // fields
    nullptr,  // structs and unions
    nullptr,  // enums
    nullptr,  // type names
    sizeof(g_globals) / sizeof(g_globals[0]),
    0,
    0,
    0,
    nullptr,  // included contexts
    kNumTypes,
    0,  // flags
};

constexpr bool precedes(const char* a, const char* b) {
    while (*a != '\0' && *a == *b) {
        ++a;
        ++b;
    }
    return static_cast<unsigned char>(*a) < static_cast<unsigned char>(*b);
}

constexpr bool sorted_by_name(const cffi::Global* globals, size_t count) {
    for (size_t i = 1; i < count; ++i) {
        if (!precedes(globals[i - 1].name, globals[i].name)) {
            return false;
        }
    }
    return true;
}
static_assert(sorted_by_name(g_globals, sizeof(g_globals) / sizeof(g_globals[0])),
              "the backend binary-searches the function table by name");

}  // namespace

/* ------------------------------------------------------------------------ */
/* Module entry                                                              */
/* ------------------------------------------------------------------------ */

// Returns the module the backend builds, or null with the backend's exception
// (an ImportError naming _cffi_backend when it is missing). The comparison
// kernels' exit hook is registered with the first module made.
PyMODINIT_FUNC PyInit__Zembra() {
    // Read by the backend during the call only; what it keeps (the name, the
    // export table, the context) is static.
    void* record[4] = {
        const_cast<char*>("vorlane._Zembra"),
        reinterpret_cast<void*>(cffi::kModuleVersion),
        g_exports,
        const_cast<cffi::TypeContext*>(&g_type_context),
    };
    const PythonObj backend = PythonObj::steal(PyImport_ImportModule("_cffi_backend"));
    if (!backend) {
        return nullptr;
    }
    const PythonObj address = PythonObj::steal(PyLong_FromVoidPtr(record));
    if (!address) {
        return nullptr;
    }
    PythonObj module = PythonObj::steal(PyObject_CallMethod(
        backend.get(), "_init_cffi_1_0_external_module", "O", address.get()));
    if (!module || !vorlane::ExitGate::registerExitHook()) {
        return nullptr;
    }
    return module.release();
}
