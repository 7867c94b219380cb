// vorlane._Compare: the module entry of the comparison kernels that answer
// without the interpreter lock where they can (ObjectCompare.hpp).
//
// Published
//   kernels          {"EQ": address, ...}: the six kernels' native addresses,
//                    to be cast to GraphBLAS binary functions.
//   native_layout    the interpreter version whose object layout the
//                    lock-free path reads ("3.9"), or "" when this build
//                    takes the lock for everything but identity.
//   _native_answer(op, a, b)         test entry: True or False when the
//                    lock-free path decides `a op b`, None when it would take
//                    the lock. `op` is a rich-comparison code (0 to 5).
//   _locked_share(op, xs, ys)        the share of the pairs of codes that
//                    would take the lock, for choosing a thread count. The
//                    codes are trusted, like the cells of a matrix.
//   _kept_thread_states()            how many thread states the kernels keep
//                    for threads that had none (they end with their threads).
// Importing the module registers the kernels' exit hook (ExitGate.hpp).
#include <Python.h>

#include "ExitGate.hpp"
#include "NativeCompare.hpp"
#include "ObjectCompare.hpp"
#include "PythonObj.hpp"

namespace {

using vorlane::compare::kKernels;

bool parseOperator(int op) noexcept {
    if (op < Py_LT || op > Py_GE) {
        PyErr_Format(PyExc_ValueError, "op must be a rich-comparison code from 0 to 5, not %d", op);
        return false;
    }
    return true;
}

PyObject* module_native_answer(PyObject*, PyObject* args) noexcept {
    int op;
    PyObject* a;
    PyObject* b;
    if (!PyArg_ParseTuple(args, "iOO:_native_answer", &op, &a, &b) || !parseOperator(op)) {
        return nullptr;
    }
    const int answer = vorlane::compare::nativeAnswer(op, a, b);
    if (answer < 0) {
        Py_RETURN_NONE;
    }
    return PyBool_FromLong(answer);
}

// Reads item `i` of a list or tuple of codes as an object; null with an
// exception set when it is not an int that fits 64 bits.
PyObject* codeAt(PyObject* fast, Py_ssize_t i) noexcept {
    const long long code = PyLong_AsLongLong(PySequence_Fast_GET_ITEM(fast, i));
    if (code == -1 && PyErr_Occurred()) {
        return nullptr;
    }
    return reinterpret_cast<PyObject*>(static_cast<intptr_t>(code));
}

PyObject* module_locked_share(PyObject*, PyObject* args) noexcept {
    int op;
    PyObject* xs;
    PyObject* ys;
    if (!PyArg_ParseTuple(args, "iOO:_locked_share", &op, &xs, &ys) || !parseOperator(op)) {
        return nullptr;
    }
    const PythonObj x = PythonObj::steal(PySequence_Fast(xs, "xs must be a sequence of codes"));
    const PythonObj y = PythonObj::steal(PySequence_Fast(ys, "ys must be a sequence of codes"));
    if (!x || !y) {
        return nullptr;
    }
    const Py_ssize_t n = PySequence_Fast_GET_SIZE(x.get());
    if (PySequence_Fast_GET_SIZE(y.get()) != n) {
        PyErr_SetString(PyExc_ValueError, "xs and ys must have the same length");
        return nullptr;
    }
    // Every code is checked before any is read as an object.
    for (Py_ssize_t i = 0; i < n; ++i) {
        if (codeAt(x.get(), i) == nullptr && PyErr_Occurred()) return nullptr;
        if (codeAt(y.get(), i) == nullptr && PyErr_Occurred()) return nullptr;
    }
    Py_ssize_t locked = 0;
    for (Py_ssize_t i = 0; i < n; ++i) {
        locked += vorlane::compare::nativeAnswer(op, codeAt(x.get(), i), codeAt(y.get(), i)) < 0;
    }
    return PyFloat_FromDouble(n == 0 ? 0.0 : static_cast<double>(locked) / static_cast<double>(n));
}

PyObject* module_kept_thread_states(PyObject*, PyObject*) noexcept {
    return PyLong_FromLong(vorlane::compare::keptThreadStates());
}

PyMethodDef g_methods[] = {
    {"_native_answer", module_native_answer, METH_VARARGS, nullptr},
    {"_locked_share", module_locked_share, METH_VARARGS, nullptr},
    {"_kept_thread_states", module_kept_thread_states, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef g_module = {
    PyModuleDef_HEAD_INIT,
    "vorlane._Compare",
    "Object comparison kernels that answer without the interpreter lock where they can.",
    -1,
    g_methods,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

bool publishKernels(PyObject* module) noexcept {
    const PythonObj kernels = PythonObj::steal(PyDict_New());
    if (!kernels) {
        return false;
    }
    for (const auto& entry : kKernels) {
        const PythonObj address =
            PythonObj::steal(PyLong_FromVoidPtr(reinterpret_cast<void*>(entry.kernel)));
        if (!address || PyDict_SetItemString(kernels.get(), entry.name, address.get()) < 0) {
            return false;
        }
    }
    return PyModule_AddObject(module, "kernels", PythonObj(kernels).release()) == 0 &&
           PyModule_AddStringConstant(module, "native_layout", VORLANE_NATIVE_LAYOUT) == 0;
}

}  // namespace

PyMODINIT_FUNC PyInit__Compare() {
    if (!vorlane::compare::prepareThreadStates()) {
        return nullptr;
    }
    vorlane::ExitGate::enableLanes();
    PythonObj module = PythonObj::steal(PyModule_Create(&g_module));
    if (!module || !publishKernels(module.get()) || !vorlane::ExitGate::registerExitHook()) {
        return nullptr;
    }
    return module.release();
}
