// libFuzzer target: HashStore<PythonObj, long> against a std::unordered_map
// model, inside a real embedded interpreter.
//
// Each input is a program. Byte 0 picks the bucket policy and the first table
// size (0..8, so that the first growth steps are all reached quickly); then
// every two bytes are one operation and its operand. Keys come from a fixed
// pool of genuine objects that the harness holds for the whole run, so no key
// is ever finalized by the store, and each key's reference count has a known
// expected value: what the harness holds plus one per store that holds it.
//
// After every operation the store must agree with the model (size, each
// key's presence and value), pass its own debug invariant checks, and hold
// exactly one reference per entry; after every input, destroying the store
// must hand every reference back.
#include <Python.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

#include "HashStore.hpp"
#include "PythonObj.hpp"

#ifdef NDEBUG
#error "the fuzz target relies on the store's debug-only invariant checks"
#endif

namespace {

[[noreturn]] void fail(const char* what, const std::string& detail = std::string()) {
    std::fprintf(stderr, "hash_store_fuzz: %s%s%s\n", what, detail.empty() ? "" : ": ",
                 detail.c_str());
    std::abort();
}

#define FUZZ_CHECK(cond, ...) \
    do {                      \
        if (!(cond)) {        \
            fail(__VA_ARGS__); \
        }                     \
    } while (0)

constexpr size_t kPoolSize = 48;

// The key pool: objects of several types and sizes, so their addresses come
// from different allocator size classes, as the keys of a real store do.
struct Pool {
    std::vector<PythonObj> keys;
    std::vector<Py_ssize_t> base_refs;  // counts with no store alive
};

Pool* g_pool = nullptr;

PythonObj makeKey(size_t i) {
    PyObject* o = nullptr;
    switch (i % 6) {
    case 0: o = PyLong_FromSsize_t(1000003 * static_cast<Py_ssize_t>(i)); break;
    case 1: o = PyUnicode_FromFormat("key-%zu", i); break;
    case 2: o = PyFloat_FromDouble(0.5 + static_cast<double>(i)); break;
    case 3: o = PyObject_CallNoArgs(reinterpret_cast<PyObject*>(&PyBaseObject_Type)); break;
    case 4: o = Py_BuildValue("(nn)", static_cast<Py_ssize_t>(i), static_cast<Py_ssize_t>(i)); break;
    default: o = PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(16 + 40 * i)); break;
    }
    if (o == nullptr) {
        PyErr_Print();
        fail("cannot build the key pool");
    }
    return PythonObj::steal(o);
}

// Operations, one byte each (modulo their count), followed by an operand byte.
enum Op : uint8_t {
    kInsert,          // get, then put when absent (what insert does), else bump
    kGetAndWrite,     // get; write a new value through the returned pointer
    kRemove,
    kRemoveByArrays,  // remove through a key pointer that toArrays handed out
    kToArrays,        // with max_items from the operand, possibly short
    kCopy,            // copy; go on with the copy or the original
    kOpCount
};

template <typename Store>
class Run {
public:
    using Model = std::unordered_map<PyObject*, long>;

    explicit Run(size_t first_size) : store_(new Store(first_size)) {}

    void step(uint8_t op, uint8_t operand) {
        const PythonObj& key = g_pool->keys[operand % kPoolSize];
        switch (op % kOpCount) {
        case kInsert: {
            long* v = store_->get(key);
            auto it = model_.find(key.get());
            FUZZ_CHECK((v != nullptr) == (it != model_.end()), "get before insert disagrees");
            if (v) {
                *v += 1;
                it->second += 1;
            } else {
                const long value = static_cast<long>(operand) - 128;
                store_->put(key, value);
                model_.emplace(key.get(), value);
            }
            break;
        }
        case kGetAndWrite: {
            long* v = store_->get(key);
            auto it = model_.find(key.get());
            FUZZ_CHECK((v != nullptr) == (it != model_.end()), "get disagrees on presence");
            if (v) {
                FUZZ_CHECK(*v == it->second, "get returned a wrong value");
                *v = it->second = -static_cast<long>(operand) * 7919;
            }
            break;
        }
        case kRemove: {
            const bool removed = store_->remove(key);
            FUZZ_CHECK(removed == (model_.erase(key.get()) == 1), "remove result is wrong");
            break;
        }
        case kRemoveByArrays: {
            const size_t n = store_->getSize();
            if (n == 0) {
                FUZZ_CHECK(!store_->remove(key), "remove found a key in an empty store");
                break;
            }
            std::vector<PythonObj*> keys(n);
            std::vector<long*> values(n);
            FUZZ_CHECK(store_->toArrays(keys.data(), values.data(), n) == n, "toArrays fell short");
            PythonObj* stored = keys[operand % n];
            PyObject* object = stored->get();
            FUZZ_CHECK(store_->remove(*stored), "remove of a listed key failed");
            FUZZ_CHECK(model_.erase(object) == 1, "toArrays listed a key the model lacks");
            break;
        }
        case kToArrays:
            checkArrays(operand % 4 == 0 ? operand / 4 : store_->getSize());
            break;
        case kCopy: {
            std::unique_ptr<Store> copy(Store::copy(*store_));
            checkRefs(2);
            // The source must survive its copy unchanged, and the copy must
            // hold the same entries.
            check(*copy, 2);
            if (operand & 1) {
                store_.swap(copy);
            }
            break;
        }
        }
        check(*store_, 1);
    }

    // Ends the run: every reference the store took must come back.
    void finish() {
        store_.reset();
        checkRefs(0);
    }

private:
    void check(Store& store, int stores_alive) {
        const std::string broken = store.checkInvariants();
        FUZZ_CHECK(broken.empty(), "invariant broken", broken);
        FUZZ_CHECK(store.getSize() == model_.size(), "size differs from the model");
        for (const PythonObj& key : g_pool->keys) {
            long* v = store.get(key);
            auto it = model_.find(key.get());
            FUZZ_CHECK((v != nullptr) == (it != model_.end()), "presence differs from the model");
            FUZZ_CHECK(!v || *v == it->second, "value differs from the model");
        }
        checkRefs(stores_alive);
    }

    // Every pool key is referenced by the harness, plus once by each live
    // store that holds it.
    void checkRefs(int stores_alive) {
        for (size_t i = 0; i < kPoolSize; ++i) {
            const PythonObj& key = g_pool->keys[i];
            const Py_ssize_t held = model_.count(key.get()) ? stores_alive : 0;
            FUZZ_CHECK(key.getRefCount() == g_pool->base_refs[i] + held,
                       "reference count is off", "key " + std::to_string(i));
        }
    }

    // toArrays(max_items): min(max_items, size) distinct entries of the
    // model; with room for all, exactly the model's keys.
    void checkArrays(size_t max_items) {
        const size_t n = store_->getSize();
        std::vector<PythonObj*> keys(max_items + 1, nullptr);
        std::vector<long*> values(max_items + 1, nullptr);
        const size_t got = store_->toArrays(keys.data(), values.data(), max_items);
        FUZZ_CHECK(got == std::min(max_items, n), "toArrays returned a wrong count");
        for (size_t i = got; i <= max_items; ++i) {
            FUZZ_CHECK(keys[i] == nullptr && values[i] == nullptr, "toArrays wrote past its count");
        }
        std::unordered_set<PyObject*> listed;
        for (size_t i = 0; i < got; ++i) {
            auto it = model_.find(keys[i]->get());
            FUZZ_CHECK(it != model_.end(), "toArrays listed a key the model lacks");
            FUZZ_CHECK(*values[i] == it->second, "toArrays paired a wrong value");
            FUZZ_CHECK(values[i] == store_->get(*keys[i]), "toArrays value is not the stored one");
            FUZZ_CHECK(listed.insert(keys[i]->get()).second, "toArrays listed a key twice");
        }
    }

    std::unique_ptr<Store> store_;
    Model model_;
};

template <typename Store>
void runProgram(const uint8_t* data, size_t size) {
    Run<Store> run((data[0] >> 1) % 9);
    for (size_t i = 1; i + 1 < size; i += 2) {
        run.step(data[i], data[i + 1]);
    }
    run.finish();
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // Objects from malloc, so that ASan sees every key's memory; no site
    // import or environment: the harness needs only the core types.
    PyPreConfig pre;
    PyPreConfig_InitIsolatedConfig(&pre);
    pre.allocator = PYMEM_ALLOCATOR_MALLOC;
    if (PyStatus_Exception(Py_PreInitialize(&pre))) {
        fail("Py_PreInitialize failed");
    }
    PyConfig config;
    PyConfig_InitIsolatedConfig(&config);
    config.site_import = 0;
    const PyStatus status = Py_InitializeFromConfig(&config);
    PyConfig_Clear(&config);
    if (PyStatus_Exception(status)) {
        fail("Py_InitializeFromConfig failed");
    }
    // Never freed: the interpreter outlives every input and is not finalized.
    g_pool = new Pool;
    for (size_t i = 0; i < kPoolSize; ++i) {
        g_pool->keys.push_back(makeKey(i));
    }
    for (const PythonObj& key : g_pool->keys) {
        g_pool->base_refs.push_back(key.getRefCount());
    }
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) {
        return 0;
    }
    // Both bucket policies: the address remainder crowds the chains, which
    // the mixed policy the system uses rarely does with so few keys.
    if (data[0] & 1) {
        runProgram<HashStore<PythonObj, long, ModuloBucket>>(data, size);
    } else {
        runProgram<HashStore<PythonObj, long>>(data, size);
    }
    return 0;
}
