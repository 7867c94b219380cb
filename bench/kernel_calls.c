/* The cost of one comparison kernel call, taken apart: the comparison alone,
 * the lock pair alone, and the whole kernel from a thread that owns a thread
 * state and from one that never ran Python. Usage: kernel_calls PATH_TO_ZEMBRA_SO
 * Prints one "name seconds_per_call" line per measurement. */
#include <Python.h>

#include <dlfcn.h>
#include <pthread.h>
#include <stdint.h>
#include <stdio.h>
#include <time.h>

#define CALLS 2000000L

typedef void (*kernel_fn)(_Bool*, int64_t*, int64_t*);

static kernel_fn kernel;
static int64_t x_cell, y_cell;

static double now(void) {
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return (double)t.tv_sec + (double)t.tv_nsec * 1e-9;
}

static double kernel_loop(void) {
    _Bool z = 0;
    double start = now();
    for (long i = 0; i < CALLS; ++i) kernel(&z, &x_cell, &y_cell);
    return (now() - start) / CALLS;
}

static void* fresh_thread(void* out) {
    *(double*)out = kernel_loop();
    return NULL;
}

int main(int argc, char** argv) {
    if (argc != 2) return 2;
    void* lib = dlopen(argv[1], RTLD_NOW);
    if (lib == NULL || (kernel = (kernel_fn)dlsym(lib, "PyObject_LT")) == NULL) {
        fprintf(stderr, "%s\n", dlerror());
        return 1;
    }
    Py_Initialize();
    PyObject* x = PyUnicode_FromString("bcad");
    PyObject* y = PyUnicode_FromString("bcb");
    x_cell = (int64_t)(intptr_t)x;
    y_cell = (int64_t)(intptr_t)y;

    volatile int sink = 0;
    double start = now();
    for (long i = 0; i < CALLS; ++i) sink += PyObject_RichCompareBool(x, y, Py_LT);
    printf("compare_only %.3e\n", (now() - start) / CALLS);

    PyThreadState* saved = PyEval_SaveThread();
    start = now();
    for (long i = 0; i < CALLS; ++i) PyGILState_Release(PyGILState_Ensure());
    printf("lock_pair_only %.3e\n", (now() - start) / CALLS);
    printf("kernel_own_thread_state %.3e\n", kernel_loop());
    double fresh = 0;
    pthread_t thread;
    pthread_create(&thread, NULL, fresh_thread, &fresh);
    pthread_join(thread, NULL);
    printf("kernel_fresh_thread %.3e\n", fresh);
    PyEval_RestoreThread(saved);

    Py_DECREF(x);
    Py_DECREF(y);
    return Py_FinalizeEx() < 0 ? 1 : (sink < 0);
}
