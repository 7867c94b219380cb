// Snapshots of a Quodex: `copy`, the `checkpoint` context manager with its
// rollback, and the refusal to pickle.
//
// Contract
//   * copy() returns a plain Quodex holding every object of `self` with its
//     count, one new reference each, and no store memory in common. A copy
//     that cannot be allocated raises MemoryError and leaves nothing behind.
//   * A checkpoint takes `self.copy()` on entry. An exception of any class
//     that ends the block exchanges the two instances' store pointers, so
//     that `self` is back at its entry state, and is re-raised unchanged;
//     the block's store is destroyed right away, with the references it held.
//   * Rolling back copies nothing: it is two pointer writes.
//
// The generator behind `checkpoint` is a few lines of Python compiled once
// at import: a real generator gives every behaviour Python code relies on
// (send/throw/close, finalisation closing it, StopIteration turning into
// RuntimeError) for free. The parts that touch stores are native helpers that
// live only in that generator's globals.
#include <Python.h>

#include <memory>

#include "arglayer.hpp"
#include "compat.hpp"
#include "members.hpp"
#include "quodex.hpp"
#include "state.hpp"

namespace {

// ---------------------------------------------------------------------------
// copy

PyObject* copy_impl(PyObject* self, PyObject* const*) {
    // Always the base type, also for a subclass instance: the copy is a store,
    // not a clone of whatever the subclass adds.
    PythonObj zero = PythonObj::steal(PyLong_FromLong(0));
    PythonObj fresh = zero ? PythonObj::steal(PyObject_CallOneArg(
                                 reinterpret_cast<PyObject*>(&QuodexType), zero.get()))
                           : PythonObj();
    if (!fresh) {
        return nullptr;
    }
    // Should this throw, `fresh` dies with its empty store and the partial
    // copy has taken no reference: nothing leaks.
    std::unique_ptr<Store> counts(Store::copy(storeOf(self)));
    auto* q = reinterpret_cast<QuodexObject*>(fresh.get());
    delete q->_counts;  // zero buckets, no objects: runs no Python code
    q->_counts = counts.release();
    return fresh.release();
}

// ---------------------------------------------------------------------------
// checkpoint

// The body of the generator. `del backup` before the re-raise matters: when
// the generator is driven by hand, the exception's traceback keeps this frame
// alive, and the block's store must not live on in it.
constexpr const char* kCheckpointSource =
    "def checkpoint(self):\n"
    "    backup = take_snapshot(self)\n"
    "    try:\n"
    "        yield self\n"
    "    except:\n"
    "        roll_back(self, backup)\n"
    "        del backup\n"
    "        raise\n";

const ArgSpec kTakeSnapshotArgs = {"take_snapshot", {"self"}, 1, 0, 1};
const ArgSpec kRollBackArgs = {"roll_back", {"self", "backup"}, 2, 0, 2};

bool parsePositional(const ArgSpec& spec, PyObject* const* args, Py_ssize_t nargs,
                     PyObject** out) noexcept {
    return parseArgs(spec, args, nargs, nullptr, nullptr, 0, nullptr, nullptr, out);
}

// self.copy(), looked up on the instance so that an override is used. Only a
// Quodex (or subclass) will do: a rollback must always have a store to
// exchange with, so None is refused like any other type.
PyObject* take_snapshot(PyObject*, PyObject* const* args, Py_ssize_t nargs) noexcept {
    PyObject* argv[kMaxParams];
    if (!parsePositional(kTakeSnapshotArgs, args, nargs, argv)) {
        return nullptr;
    }
    PythonObj copy = PythonObj::steal(PyObject_GetAttr(argv[0], g_state.s_copy));
    PythonObj backup = copy ? PythonObj::steal(PyObject_CallNoArgs(copy.get())) : PythonObj();
    if (!backup) {
        return nullptr;
    }
    if (!PyObject_TypeCheck(backup.get(), &QuodexType)) {
        raiseCannotConvert(backup.get(), QuodexType.tp_name);
        return nullptr;
    }
    // An override may hand back a half-made instance it kept from a failed
    // construction; rolling back to it would leave `self` with no store.
    if (!hasStore(backup.get())) {
        return nullptr;
    }
    return backup.release();
}

// Names the rollback in the traceback of the exception being handled, which
// the generator's bare `raise` then re-raises with that traceback.
void noteRollbackInTraceback() noexcept {
    PyObject *type, *value, *tb;
    PyErr_GetExcInfo(&type, &value, &tb);  // new references
    if (!type) {
        return;
    }
    PyErr_Restore(type, value, tb);  // steals
    addTraceback("vorlane._Quodex.Quodex.checkpoint");
    PyErr_Fetch(&type, &value, &tb);
    setHandledException(type, value, tb);  // steals
}

// Exchanges the stores of `self` and `backup`. Reachable from Python through
// the generator's globals, hence the type checks: anything but two Quodex
// instances would be a wild pointer exchange.
PyObject* roll_back(PyObject*, PyObject* const* args, Py_ssize_t nargs) noexcept {
    PyObject* argv[kMaxParams];
    if (!parsePositional(kRollBackArgs, args, nargs, argv)) {
        return nullptr;
    }
    for (int i = 0; i < 2; ++i) {
        if (!PyObject_TypeCheck(argv[i], &QuodexType)) {
            raiseArgType(kRollBackArgs.names[i], QuodexType.tp_name, argv[i]);
            return nullptr;
        }
        if (!hasStore(argv[i])) {
            return nullptr;
        }
    }
    auto* self = reinterpret_cast<QuodexObject*>(argv[0]);
    auto* backup = reinterpret_cast<QuodexObject*>(argv[1]);
    Store* live = self->_counts;
    self->_counts = backup->_counts;
    backup->_counts = live;
    noteRollbackInTraceback();
    Py_RETURN_NONE;
}

PyMethodDef kTakeSnapshotDef = {"take_snapshot",
                                reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(take_snapshot)),
                                METH_FASTCALL, nullptr};
PyMethodDef kRollBackDef = {"roll_back", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(roll_back)),
                            METH_FASTCALL, nullptr};

PyObject* checkpoint_impl(PyObject* self, PyObject* const*) {
    return PyObject_CallOneArg(g_state.checkpoint_body, self);
}

// ---------------------------------------------------------------------------
// Pickling

// A store pins objects by address; there is nothing meaningful to pickle.
PyObject* refusePickling() noexcept {
    PyErr_SetString(g_state.b_TypeError, "no default __reduce__ due to non-trivial __cinit__");
    return nullptr;
}

const ArgSpec kReduceArgs = {"__reduce__", {}, 0, 0, 0};
const ArgSpec kSetstateArgs = {"__setstate__", {"state"}, 1, 0, 1};

PyObject* refuseAfterParsing(const ArgSpec& spec, const char* traceback, PyObject* const* args,
                             Py_ssize_t nargs, PyObject* kwnames) noexcept {
    const Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    PyObject* argv[kMaxParams];
    if (parseArgs(spec, args, nargs, kwnames ? &PyTuple_GET_ITEM(kwnames, 0) : nullptr, args + nargs, nkw,
                  nullptr, nullptr, argv)) {
        refusePickling();
    }
    addTraceback(traceback);
    return nullptr;
}

}  // namespace

PyObject* quodex_reduce(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return refuseAfterParsing(kReduceArgs, "vorlane._Quodex.Quodex.__reduce__", args, nargs, kwnames);
}

PyObject* quodex_setstate(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return refuseAfterParsing(kSetstateArgs, "vorlane._Quodex.Quodex.__setstate__", args, nargs, kwnames);
}

bool prepareCheckpoint() noexcept {
    PythonObj globals = PythonObj::steal(PyDict_New());
    PythonObj snapshot = PythonObj::steal(PyCFunction_NewEx(&kTakeSnapshotDef, nullptr, nullptr));
    PythonObj rollback = PythonObj::steal(PyCFunction_NewEx(&kRollBackDef, nullptr, nullptr));
    PythonObj name = PythonObj::steal(PyUnicode_FromString("vorlane._Quodex"));
    if (!globals || !snapshot || !rollback || !name ||
        PyDict_SetItemString(globals.get(), "__builtins__", PyEval_GetBuiltins()) < 0 ||
        PyDict_SetItemString(globals.get(), "__name__", name.get()) < 0 ||
        PyDict_SetItemString(globals.get(), "take_snapshot", snapshot.get()) < 0 ||
        PyDict_SetItemString(globals.get(), "roll_back", rollback.get()) < 0) {
        return false;
    }
    // Same file name as the traceback entries of the native operations.
    PythonObj code = PythonObj::steal(Py_CompileString(kCheckpointSource, "vorlane/_Quodex", Py_file_input));
    PythonObj ran = code ? PythonObj::steal(PyEval_EvalCode(code.get(), globals.get(), globals.get()))
                         : PythonObj();
    PyObject* body = ran ? PyDict_GetItemString(globals.get(), "checkpoint") : nullptr;  // borrowed
    PythonObj qualname = PythonObj::steal(PyUnicode_FromString("Quodex.checkpoint"));
    if (!body || !qualname || PyObject_SetAttrString(body, "__qualname__", qualname.get()) < 0) {
        return false;
    }
    Py_INCREF(body);
    Py_XSETREF(g_state.checkpoint_body, body);
    return true;
}

const FuncSpec kCopySpec = {
    {"copy", {}, 0, 0, 0},
    "Quodex.copy", "vorlane._Quodex.Quodex.copy", Binding::Method, copy_impl,
    {{"return", "Quodex"}}, 1, nullptr, nullptr,
};

const FuncSpec kCheckpointSpec = {
    {"checkpoint", {}, 0, 0, 0},
    "Quodex.checkpoint", "vorlane._Quodex.Quodex.checkpoint", Binding::Method, checkpoint_impl,
    {}, 0, nullptr, nullptr,
};
