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
// Lanes: a pass without a shared counter
//   A counted pass costs two read-modify-writes of one shared counter, which
//   two threads comparing millions of cells without the lock turn into a
//   fight over one cache line. A module that enables lanes (`enableLanes`,
//   from its module entry) gives every thread a lane of its own instead: a
//   depth that only its owner writes. `LanePass` raises it, reads the gate,
//   and lowers it again on the way out; the hook closes the gate, makes every
//   running thread of the process pass a full memory barrier (membarrier), and
//   then waits until every lane is at rest. The barrier pairs with the
//   compiler-only fence of the pass, so as with the counter either the pass
//   sees the gate closed or the hook sees the lane raised. Where the system
//   offers no such barrier the pass raises its lane with a sequentially
//   consistent exchange, still on a line of its own. Lanes are never freed:
//   a thread that ends hands its lane to the next new thread.
//
// Each extension module that includes this header has a gate of its own
// (hidden visibility) and registers the hook once, from its module entry.
#pragma once

#include <Python.h>
#include <linux/membarrier.h>
#include <pthread.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <ctime>
#include <new>

#include "PythonObj.hpp"

namespace vorlane {

class ExitGate {
    struct Lane;

public:
    // One kernel call's stay inside the gate; test it before touching the
    // interpreter, and let it end only after the interpreter lock is released.
    class Pass {
    public:
        Pass() noexcept : open_(enterCounted()) {}
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

    // One kernel call's stay inside the gate on this thread's lane, or, when
    // lanes are off or no lane could be had, on the counted pass.
    class LanePass {
    public:
        LanePass() noexcept : lane_(ownLane()) {
            if (lane_ == nullptr) {
                open_ = enterCounted();
                return;
            }
            const long depth = lane_->depth.load(std::memory_order_relaxed);
            if (barrier_available()) {
                lane_->depth.store(depth + 1, std::memory_order_relaxed);
                // Upgraded to a full barrier by the hook's membarrier.
                std::atomic_signal_fence(std::memory_order_seq_cst);
                open_ = !closed().load(std::memory_order_relaxed);
            } else {
                lane_->depth.exchange(depth + 1);
                open_ = !closed().load();
            }
            if (!open_) {
                lane_->depth.store(depth, std::memory_order_release);
            }
        }
        ~LanePass() {
            if (!open_) {
                return;
            }
            if (lane_ == nullptr) {
                in_flight().fetch_sub(1);
                return;
            }
            // Release: everything this call read of an object is done before
            // the hook can see the lane at rest.
            lane_->depth.store(lane_->depth.load(std::memory_order_relaxed) - 1,
                               std::memory_order_release);
        }
        explicit operator bool() const noexcept { return open_; }

        LanePass(const LanePass&) = delete;
        LanePass& operator=(const LanePass&) = delete;
        LanePass(LanePass&&) = delete;
        LanePass& operator=(LanePass&&) = delete;

    private:
        Lane* lane_;
        bool open_;
    };

    // Gives this module's kernels lanes (see the file comment). Without a
    // thread key they keep using the counted pass. Called once, from the
    // module entry, with the interpreter lock held.
    static void enableLanes() noexcept {
        if (lanes_enabled()) {
            return;
        }
        if (pthread_key_create(&lane_key(), handBackLane) != 0) {
            return;
        }
        barrier_available() =
            syscall(__NR_membarrier, MEMBARRIER_CMD_REGISTER_PRIVATE_EXPEDITED, 0, 0) == 0;
        pthread_atfork(nullptr, nullptr, forgetOtherThreadsLanes);
        lanes_enabled() = true;
    }

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
    // A counted pass in: counted before the gate is read (see the contract).
    static bool enterCounted() noexcept {
        in_flight().fetch_add(1);
        const bool open = !closed().load();
        if (!open) {
            in_flight().fetch_sub(1);
        }
        return open;
    }

    // A thread's lane: `depth` counts the passes of its owner in flight
    // (nested when a comparison runs Python code that compares again); only
    // the owner writes it. Aligned to its own cache line.
    struct alignas(64) Lane {
        std::atomic<long> depth{0};
        std::atomic<bool> taken{false};
        Lane* next = nullptr;
    };

    // This thread's lane, taken on first use: a lane handed back by a thread
    // that ended, or a new one. Null when lanes are off or memory ran out.
    static Lane* ownLane() noexcept {
        // Initial-exec: one load relative to the thread pointer, where the
        // thread key would cost a call per kernel call. The key stays, for
        // its thread-exit destructor.
        static thread_local Lane* cached __attribute__((tls_model("initial-exec"))) = nullptr;
        if (cached != nullptr || !lanes_enabled()) {
            return cached;
        }
        if (void* mine = pthread_getspecific(lane_key())) {
            return cached = static_cast<Lane*>(mine);
        }
        Lane* lane = nullptr;
        for (Lane* l = lanes().load(); l != nullptr && lane == nullptr; l = l->next) {
            bool expected = false;
            if (l->taken.compare_exchange_strong(expected, true)) {
                lane = l;
            }
        }
        if (lane == nullptr) {
            void* memory = std::aligned_alloc(alignof(Lane), sizeof(Lane));
            if (memory == nullptr) {
                return nullptr;
            }
            lane = new (memory) Lane();
            lane->taken.store(true);
            lane->next = lanes().load();
            while (!lanes().compare_exchange_weak(lane->next, lane)) {
            }
        }
        if (pthread_setspecific(lane_key(), lane) != 0) {
            lane->taken.store(false);
            return nullptr;
        }
        return cached = lane;
    }

    // Thread-exit destructor of the lane key: the lane is at rest (no call
    // is in flight on a thread that is ending) and goes to the next thread.
    static void handBackLane(void* lane) noexcept {
        static_cast<Lane*>(lane)->taken.store(false);
    }

    // In the child of a fork only the forking thread lives on: a lane that
    // another thread had raised would keep the exit hook waiting forever.
    static void forgetOtherThreadsLanes() noexcept {
        const void* mine = pthread_getspecific(lane_key());
        for (Lane* l = lanes().load(); l != nullptr; l = l->next) {
            if (l != mine) {
                l->depth.store(0);
                l->taken.store(false);
            }
        }
    }

    static bool anyLaneBusy() noexcept {
        for (Lane* l = lanes().load(); l != nullptr; l = l->next) {
            if (l->depth.load(std::memory_order_acquire) > 0) {
                return true;
            }
        }
        return false;
    }

    static std::atomic<Lane*>& lanes() noexcept {
        static std::atomic<Lane*> head{nullptr};
        return head;
    }
    static pthread_key_t& lane_key() noexcept {
        static pthread_key_t key;
        return key;
    }
    static bool& lanes_enabled() noexcept {
        static bool value = false;
        return value;
    }
    static bool& barrier_available() noexcept {
        static bool value = false;
        return value;
    }

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
        if (barrier_available()) {
            // Every thread of the process passes a full barrier: a lane raised
            // before it is visible below, a lane raised after it reads the
            // gate closed.
            syscall(__NR_membarrier, MEMBARRIER_CMD_PRIVATE_EXPEDITED, 0, 0);
        }
        while (in_flight().load() > 0 || anyLaneBusy()) {
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
