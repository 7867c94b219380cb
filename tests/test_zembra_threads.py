"""The kernels called from native threads that the interpreter has never seen,
and from a thread that already holds the interpreter lock."""
import ctypes
import sys
import threading

from vorlane import _Zembra

ffi, lib = _Zembra.ffi, _Zembra.lib

RUNNER = r"""
#include <Python.h>
#include <pthread.h>
#include <stdint.h>

struct job {
    void (*kernel)(void*, int64_t*, int64_t*);
    void* z; int64_t* x; int64_t* y;
    long calls;
    int state_before, state_after;
};

static void* run(void* arg) {
    struct job* j = arg;
    j->state_before = PyGILState_GetThisThreadState() != NULL;
    for (long i = 0; i < j->calls; ++i) j->kernel(j->z, j->x, j->y);
    j->state_after = PyGILState_GetThisThreadState() != NULL;
    return NULL;
}

/* Each job on a fresh pthread, all at once; called with the lock released. */
int run_on_new_threads(struct job* jobs, int count) {
    pthread_t threads[16];
    if (count > 16) return -1;
    for (int i = 0; i < count; ++i)
        if (pthread_create(&threads[i], NULL, run, &jobs[i]) != 0) return -1;
    for (int i = 0; i < count; ++i) pthread_join(threads[i], NULL);
    return 0;
}
"""


class Job(ctypes.Structure):
    _fields_ = [("kernel", ctypes.c_void_p), ("z", ctypes.c_void_p), ("x", ctypes.c_void_p),
                ("y", ctypes.c_void_p), ("calls", ctypes.c_long),
                ("state_before", ctypes.c_int), ("state_after", ctypes.c_int)]


def address(cdata):
    return int(ffi.cast("uintptr_t", cdata))


def test_native_threads_leave_no_thread_state_and_no_reference(build_native, thread_state_count):
    runner = ctypes.CDLL(build_native("runner", RUNNER))  # CDLL calls release the lock
    # Both unshared: an interned literal's count moves with unrelated code.
    a, b = "".join(["kern", "el"]), "".join(["ker", "nel"])
    cases = [("EQ", a, b, True), ("LT", a, "z", True), ("GE", a, b, True),
             ("LT", a, 1, False), ("FIRST", a, 1, id(a))]
    keep = []
    jobs = (Job * len(cases))()
    for job, (name, x, y, _) in zip(jobs, cases):
        cells = (ffi.new("bool*" if name != "FIRST" else "int64_t*"),
                 ffi.new("int64_t*", id(x)), ffi.new("int64_t*", id(y)))
        keep.append(cells)
        job.kernel = address(ffi.addressof(lib, "PyObject_" + name))
        job.z, job.x, job.y = map(address, cells)
        job.calls = 20000
    refs = sys.getrefcount(a), sys.getrefcount(b)
    states, threads = thread_state_count(), threading.active_count()

    assert runner.run_on_new_threads(jobs, len(jobs)) == 0

    assert [cells[0][0] for cells in keep] == [want for *_, want in cases]
    assert [(j.state_before, j.state_after) for j in jobs] == [(0, 0)] * len(jobs)
    assert (thread_state_count(), threading.active_count()) == (states, threads)
    assert (sys.getrefcount(a), sys.getrefcount(b)) == refs
    assert sys.exc_info() == (None, None, None)


def test_kernel_called_while_the_caller_holds_the_lock():
    # PYFUNCTYPE keeps the lock: PyGILState_Ensure must notice and not wait.
    eq = ctypes.PYFUNCTYPE(None, ctypes.c_void_p, ctypes.c_void_p, ctypes.c_void_p)(
        address(ffi.addressof(lib, "PyObject_LT")))
    z, x, y = ffi.new("bool*"), ffi.new("int64_t*", id("a")), ffi.new("int64_t*", id("b"))
    eq(address(z), address(x), address(y))
    assert z[0]
    y[0] = id(3)
    eq(address(z), address(x), address(y))
    assert not z[0] and sys.exc_info() == (None, None, None)
