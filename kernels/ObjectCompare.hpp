// The six comparison kernels of vorlane._Compare, in the operator shape
// f(z, x, y) that GraphBLAS uses for user-defined binary operators.
//
// Contract
//   * As for vorlane._Zembra's comparisons: `x` and `y` point to cells holding
//     codes of objects a store keeps alive for the whole call (trusted, never
//     checked); `*z` gets 1 when Python's rich comparison says true and 0 when
//     it says false or raises; a raised exception is cleared, and an exception
//     already pending on the calling thread is still pending afterwards.
//     Callable from any thread, with or without the lock or a thread state.
//   * Pairs that NativeCompare.hpp decides never take the interpreter lock.
//   * Every other pair takes the lock with this thread's own thread state: a
//     thread without one gets one on its first locked call and keeps it,
//     registered so that PyGILState_Ensure on that thread finds it, until the
//     thread ends (then it is cleared and deleted, while the interpreter
//     runs). Once the interpreter's exit has begun (ExitGate.hpp) the kernels
//     write 0 and touch neither the interpreter nor an object, and a kept
//     thread state is left to the interpreter's own finalization.
#pragma once

#include <Python.h>

#include <cstdint>

namespace vorlane::compare {

using Kernel = void (*)(bool* z, int64_t* x, int64_t* y) noexcept;

struct NamedKernel {
    const char* name;
    int op;
    Kernel kernel;
};

// The six kernels with their operator names and rich-comparison operators.
extern const NamedKernel kKernels[6];

// Prepares the kept thread states. False with an exception set on failure.
// Called once, from the module entry, with the interpreter lock held.
bool prepareThreadStates() noexcept;

// How many thread states the kernels keep for threads right now.
long keptThreadStates() noexcept;

// How the kernels would decide `a` `op` `b`: 0 or 1 when the lock-free path
// answers, -1 when the pair takes the lock. Needs no lock itself.
int nativeAnswer(int op, PyObject* a, PyObject* b) noexcept;

}  // namespace vorlane::compare
