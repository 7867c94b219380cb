// The diagnostic dump of a Quodex: `_print_debug` prints the size, then one
// line per entry, in the store's own order (old table first while it grows,
// newest first within a table), each with the object's code, reference count
// and stored count, and optionally the object.
//
// Contract
//   * The entries are captured (code, count and a new reference to the
//     object) before the first line is printed. `str`, `print`, `flush` and
//     the truth test of `verbose` run Python code between lines; that code may
//     insert into or remove from the same store, or drop its objects, and the
//     dump still prints the entries as they were when it started, from memory
//     it owns.
//   * The reference count printed leaves out the capture's own reference, so
//     it is what the object would show without the dump.
//   * The store is never changed. A failure stops the dump with that
//     exception; lines already printed stay printed.
#include <Python.h>

#include <initializer_list>
#include <vector>

#include "arglayer.hpp"
#include "members.hpp"
#include "quodex.hpp"
#include "state.hpp"

namespace {

struct Entry {
    PythonObj key;  // keeps the object alive while Python code runs
    long count;
};

std::vector<Entry> captureEntries(Store& store) {
    const size_t alloc_size = store.getSize();
    std::vector<PythonObj*> keys(alloc_size);
    std::vector<long*> values(alloc_size);
    const size_t num_copied = store.toArrays(keys.data(), values.data(), alloc_size);
    std::vector<Entry> entries;
    entries.reserve(num_copied);
    // Nothing below allocates or runs Python code: the pointers stay valid.
    for (size_t i = 0; i < num_copied; ++i) {
        entries.push_back(Entry{*keys[i], *values[i]});
    }
    return entries;
}

// sys.stdout.flush(), with `sys` looked up in the module on every call.
bool flushStdout() noexcept {
    PythonObj sys = lookupModuleGlobal(g_state.s_sys);
    PythonObj out = sys ? PythonObj::steal(PyObject_GetAttr(sys.get(), g_state.s_stdout)) : PythonObj();
    PythonObj flush = out ? PythonObj::steal(PyObject_GetAttr(out.get(), g_state.s_flush)) : PythonObj();
    PythonObj done = flush ? PythonObj::steal(PyObject_CallNoArgs(flush.get())) : PythonObj();
    return static_cast<bool>(done);
}

// print(*fields) through the builtin print, then a flush. A null field is a
// conversion that failed just before, and its error is passed on.
bool printLine(std::initializer_list<const PythonObj*> fields) noexcept {
    PythonObj args = PythonObj::steal(PyTuple_New(static_cast<Py_ssize_t>(fields.size())));
    if (!args) {
        return false;
    }
    Py_ssize_t i = 0;
    for (const PythonObj* f : fields) {
        if (!*f) {
            return false;
        }
        PyTuple_SET_ITEM(args.get(), i++, f->toPython(true));  // steals the new reference
    }
    PythonObj printed = PythonObj::steal(PyObject_Call(g_state.b_print, args.get(), nullptr));
    return printed && flushStdout();
}

PythonObj text(const char* s) noexcept { return PythonObj::steal(PyUnicode_FromString(s)); }

PyObject* print_debug_impl(PyObject* self, PyObject* const* argv) {
    PyObject* verbose = argv[0];
    const std::vector<Entry> entries = captureEntries(storeOf(self));
    const PythonObj quodex_size = text("Quodex size");
    const PythonObj int_ptr = text("IntPtr");
    const PythonObj object = text("Object");
    const PythonObj py_ref_count = text("PyRefCount:");
    const PythonObj ocnt = text("OCNT:");
    const PythonObj alloc_size = PythonObj::steal(PyLong_FromSize_t(entries.size()));
    if (!quodex_size || !int_ptr || !object || !py_ref_count || !ocnt ||
        !printLine({&quodex_size, &alloc_size})) {
        return nullptr;
    }
    for (const Entry& e : entries) {
        // Read before anything of this line runs; minus the capture's reference.
        const Py_ssize_t ref_count = e.key.getRefCount() - 1;
        const int show_object = PyObject_IsTrue(verbose);
        if (show_object < 0) {
            return nullptr;
        }
        const PythonObj code = PythonObj::steal(PyLong_FromLongLong(e.key.toInteger()));
        const PythonObj refs = PythonObj::steal(PyLong_FromSsize_t(ref_count));
        const PythonObj count = PythonObj::steal(PyLong_FromLong(e.count));
        const bool ok = show_object ? printLine({&int_ptr, &code, &object, &e.key, &py_ref_count, &refs, &ocnt, &count})
                                    : printLine({&int_ptr, &code, &py_ref_count, &refs, &ocnt, &count});
        if (!ok) {
            return nullptr;
        }
    }
    Py_RETURN_NONE;
}

PyObject* verbose_default() { return Py_BuildValue("(O)", Py_True); }

}  // namespace

const FuncSpec kPrintDebugSpec = {
    {"_print_debug", {"verbose"}, 1, 0, 0},
    "Quodex._print_debug", "vorlane._Quodex.Quodex._print_debug", Binding::Method, print_debug_impl,
    {{"return", "None"}}, 1, verbose_default, nullptr,
};
