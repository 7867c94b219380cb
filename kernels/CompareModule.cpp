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
//   _compare_codes(op, xs, ys, out, present, max_threads)   one comparison
//                    pass over two code arrays (ComparePass.hpp), the native
//                    half of `op(A, B)` in vorlane.ops and vorlane.gbops.
//   _kept_thread_states()            how many thread states the kernels keep
//                    for threads that had none (they end with their threads).
// Importing the module registers the kernels' exit hook (ExitGate.hpp).
//
// Main interpreter only: the kernels take the lock through PyGILState_Ensure,
// which always enters the main interpreter, so in any other one they would
// compare its objects under a foreign thread state, or wait for good for a
// lock their own thread holds. The module is multi-phase so that every
// interpreter runs its exec step, and a subinterpreter's import fails there
// with ImportError.
#include <Python.h>

#include "ComparePass.hpp"
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

PyObject* module_kept_thread_states(PyObject*, PyObject*) noexcept {
    return PyLong_FromLong(vorlane::compare::keptThreadStates());
}

PyMethodDef g_methods[] = {
    {"_native_answer", module_native_answer, METH_VARARGS, nullptr},
    {"_compare_codes", vorlane::compare::compareCodes, METH_VARARGS, nullptr},
    {"_kept_thread_states", module_kept_thread_states, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
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

int module_exec(PyObject* module) noexcept {
    if (PyInterpreterState_Get() != PyInterpreterState_Main()) {
        PyErr_SetString(PyExc_ImportError,
                        "vorlane._Compare can only be loaded into the main interpreter");
        return -1;
    }
    if (!vorlane::compare::prepareThreadStates()) {
        return -1;
    }
    vorlane::ExitGate::enableLanes();
    return publishKernels(module) && vorlane::ExitGate::registerExitHook() ? 0 : -1;
}

PyModuleDef_Slot g_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(module_exec)},
    {0, nullptr},
};

PyModuleDef g_module = {
    PyModuleDef_HEAD_INIT,
    "vorlane._Compare",
    "Object comparison kernels that answer without the interpreter lock where they can.",
    0,
    g_methods,
    g_slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

PyMODINIT_FUNC PyInit__Compare() { return PyModuleDef_Init(&g_module); }
