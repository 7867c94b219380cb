// One comparison pass over two arrays of object codes: the native half of
// `op(A, B)` in vorlane.ops and vorlane.gbops, which hand over the codes of
// the two operands' common cells, position by position.
//
// Contract
//   * `_compare_codes(op, xs, ys, out, present, max_threads[, team])`: `op` a
//     rich-comparison code (0 to 5); `xs`, `ys` contiguous buffers of native
//     int64 codes, each of `len(out)` codes or of one code that stands for
//     every position (GraphBLAS's iso arrays); `out` a writable buffer of one
//     byte per position; `present` None, or one byte per position where 0
//     marks a position that holds no cell (GraphBLAS's bitmap arrays: its
//     codes are garbage and are never read) and gets 0 in `out`.
//   * Every other position gets 1 or 0: PyObject_RichCompareBool's answer, a
//     comparison that raises an `Exception` counting as 0. An exception that
//     is not an `Exception` (KeyboardInterrupt, SystemExit from a signal
//     handler) ends the call and propagates, and so does one raised by a
//     signal handler run during the call.
//   * The codes are trusted as the cells of a matrix are: each must be the
//     address of an object kept alive for the whole call. Only codes that
//     cannot be addresses of objects at all (below 64 KiB, beyond the user
//     address space, or not 8-aligned) are refused, with ValueError, before
//     any object is read and before `out` is written.
//   * `team`, optional: the address of libgomp's GOMP_parallel in the OpenMP
//     runtime GraphBLAS runs on, or 0. With it, the lock-free part runs on
//     that runtime's team instead of threads of its own (see below).
//   * Returns (threads, locked): the threads the lock-free part was given,
//     calling thread included, and how many positions took the lock.
//
// How the work is split
//   * The pairs NativeCompare.hpp decides are answered first, on up to
//     `max_threads` threads (one per kCellsPerThread positions; small inputs
//     stay on the calling thread). From kReleaseCells positions on, the
//     interpreter lock is released meanwhile and other Python threads run;
//     a smaller input ends within a switch interval and keeps it, since
//     taking it back from busy threads could cost that much again.
//   * Those threads are GraphBLAS's own OpenMP team when the caller names
//     its runtime: after each of its calls GraphBLAS's workers spin for some
//     milliseconds waiting for more work, and a thread of this pass started
//     meanwhile would share a core with one of them, so that two threads ran
//     no faster than one. Otherwise they are pthreads started for the call,
//     with every signal blocked.
//   * The remaining pairs are then answered in the calling thread in one pass
//     that holds the lock throughout: no thread ever waits for the lock, and
//     the call behaves the same in a subinterpreter or under a per-thread
//     state as anywhere else.
//
// On failure `out` may be partly written; nothing else is left behind.
#pragma once

#include <Python.h>

namespace vorlane::compare {

PyObject* compareCodes(PyObject* module, PyObject* args) noexcept;

}  // namespace vorlane::compare
