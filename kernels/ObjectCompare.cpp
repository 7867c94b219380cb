// The comparison kernels of vorlane._Compare; their contract is in
// ObjectCompare.hpp, the lock-free decisions in NativeCompare.hpp.
#include "ObjectCompare.hpp"

#include <pthread.h>

#include <atomic>

#include "ExitGate.hpp"
#include "NativeCompare.hpp"
#include "ObjectCells.hpp"
#include "PythonObj.hpp"

namespace vorlane::compare {

namespace {

/* ------------------------------------------------------------------------ */
/* Kept thread states                                                        */
/* ------------------------------------------------------------------------ */

// The interpreter PyGILState_Ensure enters, and the key whose thread-exit
// destructor ends a kept thread state. Written once by the module entry.
PyInterpreterState* g_interpreter = nullptr;
pthread_key_t g_kept_key;
bool g_kept_key_made = false;
// How many kept thread states exist. It rises on the kept state's own thread
// before that thread first takes the lock, and falls under the lock just
// before the state is deleted, so a thread holding the lock sees it agree
// with the interpreter's list whenever no kernel is running.
std::atomic<long> g_kept_count{0};

// A fork child has only the forking thread, which has a thread state of its
// own, so none of the parent's kept states lives on in it.
void forgetKeptStates() noexcept { g_kept_count.store(0, std::memory_order_relaxed); }

// Thread-exit destructor of a kept thread state. Once the exit gate is closed
// the interpreter finalizes, or has finalized, and frees every thread state
// itself: the state is not touched then.
void endKeptState(void* state) noexcept {
    const ExitGate::Pass pass;
    if (!pass) {
        return;
    }
    auto* kept = static_cast<PyThreadState*>(state);
    PyEval_RestoreThread(kept);
    g_kept_count.fetch_sub(1, std::memory_order_relaxed);
    PyThreadState_Clear(kept);
    PyThreadState_DeleteCurrent();  // also releases the lock and unregisters it
}

// Gives a thread that has no thread state one of its own, kept until the
// thread ends, so that each locked call no longer creates and deletes one.
// PyThreadState_New registers it for the thread, so PyGILState_Ensure (ours
// and any nested one) finds it, and PyGILState_Release never deletes it. When
// it cannot be made, PyGILState_Ensure makes a temporary one as before.
void keepThreadState() noexcept {
    if (!g_kept_key_made || PyGILState_GetThisThreadState() != nullptr) {
        return;
    }
    PyThreadState* kept = PyThreadState_New(g_interpreter);
    if (kept == nullptr) {
        return;
    }
    if (pthread_setspecific(g_kept_key, kept) != 0) {
        // Nothing would end it with the thread: end it now.
        PyEval_RestoreThread(kept);
        PyThreadState_Clear(kept);
        PyThreadState_DeleteCurrent();
        return;
    }
    g_kept_count.fetch_add(1, std::memory_order_relaxed);
}

/* ------------------------------------------------------------------------ */
/* The locked path                                                           */
/* ------------------------------------------------------------------------ */

// Keeps the calling thread's pending exception aside for one scope and puts
// it back at the end, over whatever the scope cleared, so that a comparison's
// own error never mixes with the caller's.
class PendingException {
public:
#if PY_VERSION_HEX >= 0x030C0000
    PendingException() noexcept : saved_(PyErr_GetRaisedException()) {}
    ~PendingException() { PyErr_SetRaisedException(saved_); }
#else
    PendingException() noexcept { PyErr_Fetch(&type_, &value_, &traceback_); }
    ~PendingException() { PyErr_Restore(type_, value_, traceback_); }
#endif

    PendingException(const PendingException&) = delete;
    PendingException& operator=(const PendingException&) = delete;
    PendingException(PendingException&&) = delete;
    PendingException& operator=(PendingException&&) = delete;

private:
#if PY_VERSION_HEX >= 0x030C0000
    PyObject* saved_;
#else
    PyObject* type_ = nullptr;
    PyObject* value_ = nullptr;
    PyObject* traceback_ = nullptr;
#endif
};

template <int Op>
bool compareLocked(PyObject* a, PyObject* b) noexcept {
    keepThreadState();
    InterpreterLock lock;
    const PendingException pending;
    // References only under the lock, and dropped before it: reference counts
    // are not atomic, and the comparison may run Python code that drops the
    // store's own reference.
    PythonObj first(a);
    PythonObj second(b);
    const int outcome = PyObject_RichCompareBool(first.get(), second.get(), Op);
    if (outcome < 0) {
        // GraphBLAS has no error channel; the caller's own exception, if
        // any, comes back when `pending` ends.
        PyErr_Clear();
    }
    first.set(nullptr);  // X is released before Y, as the operands were taken
    return outcome == 1;
}

/* ------------------------------------------------------------------------ */
/* The kernels                                                               */
/* ------------------------------------------------------------------------ */

template <int Op>
void compareCells(bool* z, int64_t* x, int64_t* y) noexcept {
    // Declared first so that it ends last, after any lock is released.
    const ExitGate::LanePass pass;
    if (!pass) {
        *z = false;  // exit has begun: neither the interpreter nor the objects
        return;
    }
    PyObject* a = decodeCell(x);
    PyObject* b = decodeCell(y);
    const native::Answer answer = native::decide<Op>(a, b);
    *z = answer == native::Answer::Locked ? compareLocked<Op>(a, b)
                                          : answer == native::Answer::True;
}

template <int Op>
int answerOf(PyObject* a, PyObject* b) noexcept {
    const native::Answer answer = native::decide<Op>(a, b);
    return answer == native::Answer::Locked ? -1 : answer == native::Answer::True;
}

}  // namespace

const NamedKernel kKernels[6] = {
    {"EQ", Py_EQ, compareCells<Py_EQ>}, {"NE", Py_NE, compareCells<Py_NE>},
    {"LT", Py_LT, compareCells<Py_LT>}, {"GT", Py_GT, compareCells<Py_GT>},
    {"GE", Py_GE, compareCells<Py_GE>}, {"LE", Py_LE, compareCells<Py_LE>},
};

bool prepareThreadStates() noexcept {
    if (g_kept_key_made) {
        return true;
    }
    if (pthread_key_create(&g_kept_key, endKeptState) != 0) {
        PyErr_SetString(PyExc_ImportError, "no thread key left for the comparison kernels");
        return false;
    }
    g_interpreter = PyInterpreterState_Main();
    g_kept_key_made = true;
    pthread_atfork(nullptr, nullptr, forgetKeptStates);
    return true;
}

long keptThreadStates() noexcept { return g_kept_count.load(std::memory_order_relaxed); }

int nativeAnswer(int op, PyObject* a, PyObject* b) noexcept {
    switch (op) {
    case Py_LT: return answerOf<Py_LT>(a, b);
    case Py_LE: return answerOf<Py_LE>(a, b);
    case Py_EQ: return answerOf<Py_EQ>(a, b);
    case Py_NE: return answerOf<Py_NE>(a, b);
    case Py_GT: return answerOf<Py_GT>(a, b);
    default: return answerOf<Py_GE>(a, b);
    }
}

}  // namespace vorlane::compare
