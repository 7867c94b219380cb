// Bucket choice of the hash store, measured on objects as CPython allocates
// them: the chain nodes walked per insertion and per successful lookup, and
// the time of N puts followed by N gets, for the mixed bucket choice and the
// plain `address % table_size` side by side in one process.
//
// Output: one tab-separated line per (workload, initial size, policy):
//   workload start policy n insert_mean insert_max lookup_mean lookup_max
//   front_buckets back_buckets seconds
// `seconds` is the best of several interleaved rounds.
#include "../tests/cpp/store_probe.hpp"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

constexpr long N = 1000000;
constexpr int ROUNDS = 3;

using Mixed = HashStore<PythonObj, long>;
using Plain = HashStore<PythonObj, long, ModuloBucket>;

struct Workload {
    const char* name;
    const char* expression;  // builds a list of N distinct objects
};

const Workload WORKLOADS[] = {
    {"short-str", "[str(i) for i in range(1000000)]"},
    {"mixed", "[(10**6 + i) if i % 4 == 0 else float(i) + 0.5 if i % 4 == 1"
              " else (i, -i) if i % 4 == 2 else 'value-%08d-' % i * 4"
              " for i in range(1000000)]"},
};

std::vector<PythonObj> build(const char* expression) {
    PyObject* globals = PyModule_GetDict(PyImport_AddModule("__main__"));  // borrowed
    PythonObj list = PythonObj::steal(PyRun_String(expression, Py_eval_input, globals, globals));
    if (!list || !PyList_Check(list.object) || PyList_GET_SIZE(list.object) != N) {
        PyErr_Print();
        std::fprintf(stderr, "workload did not build: %s\n", expression);
        std::exit(1);
    }
    std::vector<PythonObj> keys;
    keys.reserve(N);
    for (Py_ssize_t i = 0; i < N; ++i) {
        keys.push_back(PythonObj::borrow(PyList_GET_ITEM(list.object, i)));
    }
    return keys;
}

struct Walks {
    double insert_mean = 0, lookup_mean = 0;
    size_t insert_max = 0, lookup_max = 0;
    size_t front_buckets = 0, back_buckets = 0;
};

template <typename Store>
Walks walks(const std::vector<PythonObj>& keys, size_t start) {
    StoreProbe<Store> s(start);
    Walks w;
    size_t total = 0;
    for (const PythonObj& k : keys) {
        s.put(k, 1);
        size_t ahead = s.frontRank(k);
        total += ahead;
        w.insert_max = std::max(w.insert_max, ahead);
    }
    w.insert_mean = static_cast<double>(total) / keys.size();
    total = 0;
    for (const PythonObj& k : keys) {
        size_t visited = s.lookupWalk(k);
        total += visited;
        w.lookup_max = std::max(w.lookup_max, visited);
    }
    w.lookup_mean = static_cast<double>(total) / keys.size();
    w.front_buckets = s.front->table_size;
    w.back_buckets = s.back ? s.back->table_size : 0;
    return w;
}

template <typename Store>
double timePutGet(const std::vector<PythonObj>& keys, size_t start) {
    Store s(start);
    long sum = 0;
    auto t0 = std::chrono::steady_clock::now();
    for (const PythonObj& k : keys) {
        s.put(k, 1);
    }
    for (const PythonObj& k : keys) {
        sum += *s.get(k);
    }
    auto t1 = std::chrono::steady_clock::now();
    if (sum != N) {
        std::fprintf(stderr, "lookups lost entries: %ld of %ld\n", sum, N);
        std::exit(1);
    }
    return std::chrono::duration<double>(t1 - t0).count();
}

void report(const char* workload, size_t start, const char* policy, const Walks& w, double seconds) {
    std::printf("%s\t%zu\t%s\t%ld\t%.4f\t%zu\t%.4f\t%zu\t%zu\t%zu\t%.6f\n", workload, start, policy,
                N, w.insert_mean, w.insert_max, w.lookup_mean, w.lookup_max, w.front_buckets,
                w.back_buckets, seconds);
}

}  // namespace

int main() {
    Py_Initialize();
    {
        for (const Workload& wl : WORKLOADS) {
            std::vector<PythonObj> keys = build(wl.expression);
            for (size_t start : {size_t(0), size_t(1001)}) {
                Walks mixed = walks<Mixed>(keys, start);
                Walks plain = walks<Plain>(keys, start);
                double best_mixed = 1e300, best_plain = 1e300;
                for (int r = 0; r < ROUNDS; ++r) {
                    best_mixed = std::min(best_mixed, timePutGet<Mixed>(keys, start));
                    best_plain = std::min(best_plain, timePutGet<Plain>(keys, start));
                }
                report(wl.name, start, "mixed", mixed, best_mixed);
                report(wl.name, start, "plain", plain, best_plain);
                std::fflush(stdout);
            }
        }
    }
    return Py_FinalizeEx() == 0 ? 0 : 1;
}
