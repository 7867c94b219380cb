// The exit gate every object-comparison kernel passes before it touches the
// interpreter, and the exit hook that closes it.
//
// Why it exists: once the interpreter has begun to finalize, any thread that
// waits for the interpreter lock is ended on the spot (pthread_exit). A
// GraphBLAS worker is inside an OpenMP region at that moment, and ending it
// there aborts the whole process. That happens whenever a daemon thread is
// still running object operators when the main thread returns.
//
// Contract
//   * While the gate is open, `ExitGate::Pass` changes nothing: the kernel
//     takes the lock and compares exactly as it always has.
//   * `closeGateAtExit` runs from `atexit`, which the interpreter calls before
//     it starts to finalize. It closes the gate, then releases the lock until
//     every kernel call that entered before the close has left. Calls in
//     flight therefore get the lock they may be waiting for and finish.
//   * Once the gate is closed, a kernel is refused its pass and answers false
//     without touching the interpreter; nothing can wait for the lock again.
//   * A pass is counted before the gate is read and the hook reads the count
//     after it closes the gate (both sequentially consistent), so either the
//     kernel sees the gate closed or the hook sees the kernel in flight; no
//     call slips between the two.
//
// Each extension module that includes this header has a gate of its own
// (hidden visibility) and registers the hook once, from its module entry.
#pragma once

#include <Python.h>

#include <atomic>
#include <ctime>

#include "PythonObj.hpp"

namespace vorlane {

class ExitGate {
public:
    // One kernel call's stay inside the gate; test it before touching the
    // interpreter, and let it end only after the interpreter lock is released.
    class Pass {
    public:
        Pass() noexcept {
            in_flight().fetch_add(1);
            open_ = !closed().load();
            if (!open_) {
                in_flight().fetch_sub(1);
            }
        }
        ~Pass() {
            if (open_) {
                in_flight().fetch_sub(1);
            }
        }
        explicit operator bool() const noexcept { return open_; }

        Pass(const Pass&) = delete;
        Pass& operator=(const Pass&) = delete;
        Pass(Pass&&) = delete;
        Pass& operator=(Pass&&) = delete;

    private:
        bool open_;
    };

    static bool isClosed() noexcept { return closed().load(); }

    // Registers the hook with the `atexit` of the main interpreter, once per
    // module. The kernels take the lock through PyGILState_Ensure, which
    // always enters the main interpreter, so only its exit matters; from a
    // subinterpreter nothing is registered. False with an exception set on
    // failure. Called with the interpreter lock held.
    static bool registerExitHook() noexcept {
        static bool registered = false;
        if (registered || PyInterpreterState_Get() != PyInterpreterState_Main()) {
            return true;
        }
        static PyMethodDef def = {"_close_object_kernels_at_exit", closeGateAtExit, METH_NOARGS,
                                  nullptr};
        const PythonObj hook = PythonObj::steal(PyCFunction_NewEx(&def, nullptr, nullptr));
        const PythonObj atexit = PythonObj::steal(PyImport_ImportModule("atexit"));
        if (!hook || !atexit) {
            return false;
        }
        const PythonObj done =
            PythonObj::steal(PyObject_CallMethod(atexit.get(), "register", "O", hook.get()));
        registered = static_cast<bool>(done);
        return registered;
    }

private:
    static std::atomic<bool>& closed() noexcept {
        static std::atomic<bool> value{false};
        return value;
    }
    static std::atomic<long>& in_flight() noexcept {
        static std::atomic<long> value{0};
        return value;
    }

    static PyObject* closeGateAtExit(PyObject*, PyObject*) noexcept {
        closed().store(true);
        while (in_flight().load() > 0) {
            // The calls in flight may be waiting for the lock this thread
            // holds: hand it over, then look again.
            Py_BEGIN_ALLOW_THREADS
            const timespec pause = {0, 100000};  // 0.1 ms
            nanosleep(&pause, nullptr);
            Py_END_ALLOW_THREADS
        }
        Py_RETURN_NONE;
    }
};

}  // namespace vorlane
