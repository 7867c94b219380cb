// The comparison pass over two code arrays; the contract is in
// ComparePass.hpp, the lock-free decisions in NativeCompare.hpp.
#include "ComparePass.hpp"

#include <pthread.h>
#include <signal.h>

#include <atomic>
#include <cstdint>
#include <cstring>

#include "ExitGate.hpp"
#include "NativeCompare.hpp"
#include "PythonObj.hpp"
#include "PythonScopes.hpp"

namespace vorlane::compare {

namespace {

// A worker thread costs some tens of microseconds to start; a lock-free cell
// a few nanoseconds. Below this many cells per thread another thread does
// not pay for itself.
constexpr Py_ssize_t kCellsPerThread = Py_ssize_t{1} << 16;
// Cells claimed at a time: small enough to even out threads that meet long
// strings, large enough that the shared counter is rarely touched.
constexpr Py_ssize_t kBlock = 4096;
constexpr int kMaxThreads = 64;
// Below this many positions the lock-free part keeps the interpreter lock: it
// ends within a switch interval, and a thread that releases the lock while
// other Python threads are busy waits up to that interval to get it back.
constexpr Py_ssize_t kReleaseCells = Py_ssize_t{1} << 18;
// How many positions ahead the objects are fetched into the cache: each
// position reads two objects scattered over the heap, and the misses
// otherwise wait for one another behind mispredicted branches.
constexpr Py_ssize_t kPrefetch = 48;
// How often the lock-bound pass lets signal handlers run.
constexpr Py_ssize_t kSignalInterval = 1024;
// The mark of a position left for the lock-bound pass.
constexpr uint8_t kLocked = 2;

// A code or answer buffer of the call: contiguous bytes.
bool acquireBytes(BufferView& buffer, PyObject* source, int flags) noexcept {
    return buffer.acquire(source, flags | PyBUF_C_CONTIGUOUS);
}

inline const char* bytesOf(const BufferView& buffer) noexcept {
    return static_cast<const char*>(buffer.view.buf);
}

/* ------------------------------------------------------------------------ */
/* The lock-free part                                                        */
/* ------------------------------------------------------------------------ */

// An int64 that can be the address of an object: nothing is mapped in the
// lowest 64 KiB, user addresses stay below 2**56, and objects are 8-aligned.
inline bool canBeObject(int64_t code) noexcept {
    return code >= (int64_t{1} << 16) && code < (int64_t{1} << 56) && (code & 7) == 0;
}

inline int64_t codeAt(const char* codes, Py_ssize_t i) noexcept {
    int64_t code;
    std::memcpy(&code, codes + i * 8, sizeof code);  // GraphBLAS's arrays may be unaligned views
    return code;
}

inline PyObject* objectOf(int64_t code) noexcept {
    return reinterpret_cast<PyObject*>(static_cast<intptr_t>(code));
}

struct Work {
    const char* xs;
    Py_ssize_t x_step;  // 0 for one code standing for all positions
    const char* ys;
    Py_ssize_t y_step;
    const uint8_t* present;
    uint8_t* z;
    Py_ssize_t n;
    std::atomic<Py_ssize_t> next{0};
    std::atomic<Py_ssize_t> locked{0};
    // The first position whose code cannot be an object, or n.
    std::atomic<Py_ssize_t> first_bad;
    void (*run)(Work&) noexcept;

    void noteBad(Py_ssize_t i) noexcept {
        Py_ssize_t seen = first_bad.load(std::memory_order_relaxed);
        while (i < seen && !first_bad.compare_exchange_weak(seen, i, std::memory_order_relaxed)) {
        }
    }
};

// Runs on the calling thread and on every worker, without the interpreter
// lock: what it reads of the objects is listed in NativeCompare.hpp. The
// objects stay alive because their store (the caller's contract) holds them,
// and the exit gate keeps the interpreter from finalizing meanwhile.
template <int Op>
void runBlocks(Work& work) noexcept {
    // Locals: the result stores could alias any field of `work` as far as
    // the compiler knows, which would reload them for every position.
    const char* const xs = work.xs;
    const char* const ys = work.ys;
    const Py_ssize_t x_step = work.x_step;
    const Py_ssize_t y_step = work.y_step;
    const uint8_t* const present = work.present;
    uint8_t* const z = work.z;
    const Py_ssize_t n = work.n;
    Py_ssize_t locked = 0;
    for (;;) {
        const Py_ssize_t begin = work.next.fetch_add(kBlock, std::memory_order_relaxed);
        if (begin >= n) {
            break;
        }
        const Py_ssize_t end = begin + kBlock < n ? begin + kBlock : n;
        for (Py_ssize_t i = begin; i < end; ++i) {
            if (i + kPrefetch < end) {
                // A prefetch never faults, so garbage codes of absent bitmap
                // positions are harmless here.
                __builtin_prefetch(objectOf(codeAt(xs, (i + kPrefetch) * x_step)));
                __builtin_prefetch(objectOf(codeAt(ys, (i + kPrefetch) * y_step)));
            }
            if (present != nullptr && present[i] == 0) {
                z[i] = 0;  // no cell here, and its codes are garbage
                continue;
            }
            const int64_t a = codeAt(xs, i * x_step);
            const int64_t b = codeAt(ys, i * y_step);
            if (!canBeObject(a) || !canBeObject(b)) {
                work.noteBad(i);
                z[i] = 0;
                continue;
            }
            const native::Answer answer = native::decide<Op>(objectOf(a), objectOf(b));
            if (answer == native::Answer::Locked) {
                z[i] = kLocked;
                ++locked;
            } else {
                z[i] = answer == native::Answer::True;
            }
        }
    }
    work.locked.fetch_add(locked, std::memory_order_relaxed);
}

void* worker(void* arg) noexcept {
    auto* work = static_cast<Work*>(arg);
    work->run(*work);
    return nullptr;
}

void teamMember(void* arg) noexcept {
    auto* work = static_cast<Work*>(arg);
    work->run(*work);
}

// libgomp's entry for `#pragma omp parallel num_threads(n)`: runs fn(data) on
// a team of n threads, the caller among them, and returns when all are done.
using OpenMpParallel = void (*)(void (*)(void*), void*, unsigned, unsigned);

// Runs `work` on up to `threads` threads, the calling one included; returns
// how many were asked for. On `team`, GraphBLAS's own threads, whose signal
// masks are GraphBLAS's business as in any of its calls. Otherwise on
// threads started here: one that cannot be started leaves its share to the
// others, and they start with every signal blocked, so that the
// interpreter's handlers keep running on the threads it knows. Blocks are
// claimed from a shared counter, so a smaller team still does all the work.
int runOnThreads(Work& work, int threads, OpenMpParallel team) noexcept {
    if (threads > 1 && team != nullptr) {
        team(teamMember, &work, static_cast<unsigned>(threads), 0);
        return threads;
    }
    pthread_t ids[kMaxThreads];
    int started = 0;
    if (threads > 1) {
        sigset_t all, saved;
        sigfillset(&all);
        pthread_sigmask(SIG_SETMASK, &all, &saved);
        while (started < threads - 1 && pthread_create(&ids[started], nullptr, worker, &work) == 0) {
            ++started;
        }
        pthread_sigmask(SIG_SETMASK, &saved, nullptr);
    }
    work.run(work);
    for (int k = 0; k < started; ++k) {
        pthread_join(ids[k], nullptr);
    }
    return started + 1;
}

using Runner = void (*)(Work&) noexcept;

Runner runnerFor(int op) noexcept {
    switch (op) {
    case Py_LT: return runBlocks<Py_LT>;
    case Py_LE: return runBlocks<Py_LE>;
    case Py_EQ: return runBlocks<Py_EQ>;
    case Py_NE: return runBlocks<Py_NE>;
    case Py_GT: return runBlocks<Py_GT>;
    default: return runBlocks<Py_GE>;
    }
}

/* ------------------------------------------------------------------------ */
/* The lock-bound part                                                       */
/* ------------------------------------------------------------------------ */

// Answers the positions marked kLocked, holding the lock. False with the
// exception set when one that is not an `Exception` ends the call.
bool answerLocked(const Work& work, int op, Py_ssize_t locked) noexcept {
    if (PyErr_CheckSignals() < 0) {
        return false;
    }
    Py_ssize_t done = 0;
    for (Py_ssize_t i = 0; i < work.n && done < locked; ++i) {
        if (work.z[i] != kLocked) {
            continue;
        }
        // References for the comparison's duration: it may run Python code
        // that drops the store's own.
        const PythonObj a(objectOf(codeAt(work.xs, i * work.x_step)));
        const PythonObj b(objectOf(codeAt(work.ys, i * work.y_step)));
        int outcome = PyObject_RichCompareBool(a.get(), b.get(), op);
        if (outcome < 0) {
            if (!PyErr_ExceptionMatches(PyExc_Exception)) {
                return false;  // KeyboardInterrupt, SystemExit, ...: the caller's to see
            }
            PyErr_Clear();  // an ordinary comparison error answers false
            outcome = 0;
        }
        work.z[i] = outcome == 1;
        if (++done % kSignalInterval == 0 && PyErr_CheckSignals() < 0) {
            return false;
        }
    }
    return true;
}

/* ------------------------------------------------------------------------ */
/* Arguments                                                                 */
/* ------------------------------------------------------------------------ */

// The step of a code buffer over `n` positions: 1, or 0 for a single code.
bool codeStep(const BufferView& codes, const char* name, Py_ssize_t n, Py_ssize_t& step) noexcept {
    if (codes.view.len == 8 * n) {
        step = 1;
        return true;
    }
    if (codes.view.len == 8) {
        step = 0;
        return true;
    }
    PyErr_Format(PyExc_ValueError, "%s must hold %zd codes or one, not %zd bytes", name, n,
                 codes.view.len);
    return false;
}

bool overlaps(const char* a, Py_ssize_t a_size, const char* b, Py_ssize_t b_size) noexcept {
    const auto p = reinterpret_cast<uintptr_t>(a);
    const auto q = reinterpret_cast<uintptr_t>(b);
    return p < q + static_cast<uintptr_t>(b_size) && q < p + static_cast<uintptr_t>(a_size);
}

}  // namespace

PyObject* compareCodes(PyObject*, PyObject* args) noexcept {
    int op;
    PyObject* xs_arg;
    PyObject* ys_arg;
    PyObject* out_arg;
    PyObject* present_arg;
    int max_threads;
    unsigned long long team_address = 0;
    if (!PyArg_ParseTuple(args, "iOOOOi|K:_compare_codes", &op, &xs_arg, &ys_arg, &out_arg,
                          &present_arg, &max_threads, &team_address)) {
        return nullptr;
    }
    if (op < Py_LT || op > Py_GE) {
        PyErr_Format(PyExc_ValueError, "op must be a rich-comparison code from 0 to 5, not %d", op);
        return nullptr;
    }
    if (max_threads < 1) {
        PyErr_Format(PyExc_ValueError, "max_threads must be at least 1, not %d", max_threads);
        return nullptr;
    }
    BufferView xs, ys, out, present;
    if (!acquireBytes(xs, xs_arg, PyBUF_SIMPLE) || !acquireBytes(ys, ys_arg, PyBUF_SIMPLE) ||
        !acquireBytes(out, out_arg, PyBUF_WRITABLE) ||
        (present_arg != Py_None && !acquireBytes(present, present_arg, PyBUF_SIMPLE))) {
        return nullptr;
    }
    const Py_ssize_t n = out.view.len;
    Work work;
    if (n > 0 && (!codeStep(xs, "xs", n, work.x_step) || !codeStep(ys, "ys", n, work.y_step))) {
        return nullptr;
    }
    if (present_arg != Py_None && present.view.len != n) {
        PyErr_Format(PyExc_ValueError, "present must hold %zd bytes, not %zd bytes", n, present.view.len);
        return nullptr;
    }
    if (n == 0) {
        return Py_BuildValue("(in)", 1, Py_ssize_t{0});
    }
    // The results go to scratch memory when `out` shares memory with the
    // codes: GraphBLAS's own value arrays are reused for the result.
    uint8_t* const answers = static_cast<uint8_t*>(out.view.buf);
    const bool aliased = overlaps(bytesOf(out), n, bytesOf(xs), xs.view.len) ||
                         overlaps(bytesOf(out), n, bytesOf(ys), ys.view.len);
    RawBuffer scratch;
    if (aliased && !scratch.reserve(static_cast<size_t>(n))) {
        return nullptr;
    }
    work.xs = bytesOf(xs);
    work.ys = bytesOf(ys);
    work.present = present_arg != Py_None ? reinterpret_cast<const uint8_t*>(bytesOf(present)) : nullptr;
    work.z = aliased ? reinterpret_cast<uint8_t*>(scratch.data()) : answers;
    work.n = n;
    work.first_bad.store(n, std::memory_order_relaxed);
    work.run = runnerFor(op);
    const auto team = reinterpret_cast<OpenMpParallel>(static_cast<uintptr_t>(team_address));

    Py_ssize_t wanted = (n + kCellsPerThread - 1) / kCellsPerThread;
    wanted = wanted < max_threads ? wanted : max_threads;
    int threads = static_cast<int>(wanted < kMaxThreads ? wanted : kMaxThreads);
    {
        // While the pass is open the interpreter cannot finalize under the
        // objects read; once it is closed, the lock is kept for that.
        const ExitGate::Pass pass;
        const LockRelease unlocked(pass && n >= kReleaseCells);
        threads = runOnThreads(work, threads, team);
    }
    const Py_ssize_t bad = work.first_bad.load(std::memory_order_relaxed);
    if (bad < n) {
        const int64_t a = codeAt(work.xs, bad * work.x_step);
        const int64_t b = codeAt(work.ys, bad * work.y_step);
        PyErr_Format(PyExc_ValueError,
                     "a cell holds %lld, which cannot be an object code: the matrices must hold "
                     "codes of objects a store keeps",
                     static_cast<long long>(canBeObject(a) ? b : a));
        return nullptr;
    }
    const Py_ssize_t locked = work.locked.load(std::memory_order_relaxed);
    if (locked > 0 && !answerLocked(work, op, locked)) {
        return nullptr;
    }
    if (aliased) {
        std::memcpy(answers, scratch.data(), static_cast<size_t>(n));
    }
    return Py_BuildValue("(in)", threads, locked);
}

}  // namespace vorlane::compare
