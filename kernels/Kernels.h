// The nine object-code kernels of vorlane._Zembra, in the operator shape
// f(z, x, y) that GraphBLAS uses for user-defined binary operators.
//
// Contract
//   * `x` and `y` point to int64 cells holding object codes: the address of a
//     Python object that something (in practice a Quodex store) keeps alive for
//     the whole call. Codes are trusted, never checked: a cell that does not
//     hold such a code is undefined behaviour, exactly as for decoding.
//   * Comparison kernels write one byte to `*z`: 1 when the rich comparison of
//     the two objects returned true, 0 when it returned false or raised. A
//     raised exception is cleared, so the result and the thread's state never
//     depend on which thread ran the kernel. They take the interpreter lock
//     themselves and may be called from any thread, with or without the lock
//     and with or without a Python thread state; a thread state created for
//     the call is gone when it returns. Operand reference counts are as they
//     were, unless the comparison itself changed them. Once the interpreter's
//     exit has begun (ExitGate.hpp), they write 0 without touching it.
//   * Selection kernels copy one 64-bit code unchanged (FIRST and ANY take
//     `*x`, SECOND takes `*y`), take no lock, touch no object and take no
//     reference: the copy is as valid as the cell it came from.
//
// The names are exported unmangled with default visibility so that native
// code can bind them directly; vorlane._Zembra's cffi `lib` publishes them too.
#pragma once

#include <cstdint>

#define VORLANE_KERNEL extern "C" __attribute__((visibility("default")))

VORLANE_KERNEL void PyObject_EQ(bool* z, int64_t* x, int64_t* y) noexcept;
VORLANE_KERNEL void PyObject_NE(bool* z, int64_t* x, int64_t* y) noexcept;
VORLANE_KERNEL void PyObject_LT(bool* z, int64_t* x, int64_t* y) noexcept;
VORLANE_KERNEL void PyObject_GT(bool* z, int64_t* x, int64_t* y) noexcept;
VORLANE_KERNEL void PyObject_GE(bool* z, int64_t* x, int64_t* y) noexcept;
VORLANE_KERNEL void PyObject_LE(bool* z, int64_t* x, int64_t* y) noexcept;

VORLANE_KERNEL void PyObject_FIRST(int64_t* z, int64_t* x, int64_t* y) noexcept;
VORLANE_KERNEL void PyObject_SECOND(int64_t* z, int64_t* x, int64_t* y) noexcept;
VORLANE_KERNEL void PyObject_ANY(int64_t* z, int64_t* x, int64_t* y) noexcept;
