// HashStore<PythonObj, long>: growth, ordering, copying, reference ownership
// and failure behaviour, all with real objects from the interpreter.
#include "support.hpp"

#include <gtest/gtest.h>

#include <memory>
#include <new>
#include <random>
#include <unordered_map>
#include <utility>
#include <vector>

namespace {

using Store = StoreProbe<>;
using Keys = std::vector<PyObject*>;

std::vector<PythonObj> newObjects(size_t n) {
    std::vector<PythonObj> out;
    for (size_t i = 0; i < n; ++i) {
        out.push_back(PythonObj::steal(PyList_New(0)));
    }
    return out;
}

Keys arrayOrder(Store& s, size_t max_items) {
    std::vector<PythonObj*> keys(max_items);
    std::vector<long*> values(max_items);
    keys.resize(s.toArrays(keys.data(), values.data(), max_items));
    Keys out;
    for (PythonObj* k : keys) {
        out.push_back(k->object);
    }
    return out;
}
Keys arrayOrder(Store& s) { return arrayOrder(s, s.getSize()); }

template <typename Table>
Keys iterationOrder(Table& table) {
    Keys out;
    for (auto& node : table) {
        out.push_back(node.key.object);
    }
    return out;
}

// Store of 4 buckets after k[0..4] went in with values 10, 20, ...: growing,
// back {k0, k2, k1} (8 buckets), front {k4, k3} (16 buckets).
void fillGrowing(Store& s, const std::vector<PythonObj>& k) {
    for (size_t i = 0; i < 5; ++i) {
        s.put(k[i], 10 * static_cast<long>(i + 1));
    }
}

}  // namespace

TEST(HashStore, ZeroBucketStoreGrowsOnFirstPut) {
    auto k = newObjects(1);
    Store s(0);
    EXPECT_EQ(s.getSize(), 0u);
    EXPECT_EQ(s.get(k[0]), nullptr);
    EXPECT_FALSE(s.remove(k[0]));
    s.put(k[0], 7);
    EXPECT_EQ(s.back, nullptr);
    EXPECT_EQ(s.front->table_size, 2u);
    ASSERT_NE(s.get(k[0]), nullptr);
    EXPECT_EQ(*s.get(k[0]), 7);
    EXPECT_EQ(s.checkInvariants(), "");
}

TEST(HashStore, GrowthMovesOneEntryPerPutNewestFirst) {
    auto k = newObjects(4);
    Store s(4);
    s.put(k[0], 1);
    s.put(k[1], 2);
    EXPECT_EQ(s.back, nullptr);
    s.put(k[2], 3);
    ASSERT_NE(s.back, nullptr);
    EXPECT_EQ(s.back->table_size, 4u);
    EXPECT_EQ(s.front->table_size, 8u);
    EXPECT_EQ(s.getSize(), 3u);
    EXPECT_EQ(arrayOrder(s), (Keys{k[0].object, k[2].object, k[1].object}));
    EXPECT_EQ(*s.get(k[1]), 2);  // the value travelled with the entry
    EXPECT_EQ(s.checkInvariants(), "");

    s.put(k[3], 4);
    EXPECT_EQ(s.back, nullptr);
    EXPECT_EQ(iterationOrder(*s.front), (Keys{k[3].object, k[0].object, k[2].object, k[1].object}));
    for (long i = 0; i < 4; ++i) {
        EXPECT_EQ(*s.get(k[i]), i + 1);
    }
    EXPECT_EQ(s.checkInvariants(), "");
}

TEST(HashStore, ToArraysBoundTakesBackFirst) {
    auto k = newObjects(5);
    Store s(4);
    fillGrowing(s, k);
    ASSERT_NE(s.back, nullptr);
    EXPECT_EQ(arrayOrder(s, 2), (Keys{k[0].object, k[2].object}));
    EXPECT_EQ(arrayOrder(s, 4), (Keys{k[0].object, k[2].object, k[1].object, k[4].object}));
    EXPECT_EQ(arrayOrder(s, 0), Keys{});
}

TEST(HashStore, RemovalDuringGrowthAndEmptiedBack) {
    auto k = newObjects(6);
    Store s(4);
    fillGrowing(s, k);
    const Py_ssize_t before = k[4].getRefCount();
    EXPECT_TRUE(s.remove(k[4]));  // in front
    EXPECT_EQ(k[4].getRefCount(), before - 1);
    EXPECT_FALSE(s.remove(k[4]));
    EXPECT_FALSE(s.remove(k[5]));
    EXPECT_EQ(s.getSize(), 4u);
    for (int i : {0, 1, 2}) {  // all of back
        EXPECT_TRUE(s.remove(k[i]));
    }
    ASSERT_NE(s.back, nullptr);  // removal never deletes a table
    EXPECT_EQ(s.back->table_entries, 0u);
    EXPECT_EQ(s.checkInvariants(), "");

    s.put(k[5], 60);
    EXPECT_EQ(s.back, nullptr);
    EXPECT_EQ(arrayOrder(s), (Keys{k[5].object, k[3].object}));
    EXPECT_EQ(s.checkInvariants(), "");
}

TEST(HashStore, IdentityNotEquality) {
    PythonObj a = pyEval("''.join(['na', 'me'])");
    PythonObj b = pyEval("''.join(['na', 'me'])");
    Store s(8);
    s.put(a, 1);
    EXPECT_EQ(s.get(b), nullptr);
    s.put(b, 2);
    s.put(a, 3);  // present: left unchanged
    EXPECT_EQ(s.getSize(), 2u);
    EXPECT_EQ(*s.get(a), 1);
    EXPECT_EQ(*s.get(b), 2);
}

TEST(HashStore, CopyOfGrowingStore) {
    auto k = newObjects(5);
    Store src(4);
    fillGrowing(src, k);
    ASSERT_NE(src.back, nullptr);
    const Keys src_order = arrayOrder(src);
    {
        std::unique_ptr<HashStore<PythonObj, long>> plain(HashStore<PythonObj, long>::copy(src));
        EXPECT_EQ(plain->getSize(), 5u);
        for (const PythonObj& key : k) {
            EXPECT_EQ(key.getRefCount(), 3);  // ours, src's, the copy's
        }
    }
    Store copy(src);
    EXPECT_EQ(copy.back, nullptr);
    EXPECT_EQ(copy.front->table_size, 11u);
    EXPECT_EQ(iterationOrder(*copy.front), Keys(src_order.rbegin(), src_order.rend()));
    for (long i = 0; i < 5; ++i) {
        EXPECT_EQ(*copy.get(k[i]), 10 * (i + 1));
    }
    EXPECT_EQ(copy.checkInvariants(), "");

    *copy.get(k[0]) = -1;  // shares no memory with its source
    EXPECT_EQ(*src.get(k[0]), 10);
    ASSERT_NE(src.back, nullptr);
    EXPECT_EQ(src.back->table_size, 8u);
    EXPECT_EQ(arrayOrder(src), src_order);

    auto extra = newObjects(1);
    copy.put(extra[0], 1);
    EXPECT_EQ(copy.front->table_size, 22u);
}

// A copy links its entries straight into shared chains; every one must stay
// reachable and removable from wherever in its chain it ended up.
TEST(HashStore, CopyChainsHoldUpUnderLookupAndRemoval) {
    auto k = newObjects(2000);
    Store src(0);
    for (size_t i = 0; i < k.size(); ++i) {
        src.put(k[i], static_cast<long>(i));
    }
    Store copy(src);
    ASSERT_EQ(copy.checkInvariants(), "");
    for (size_t i = 0; i < k.size(); ++i) {
        ASSERT_NE(copy.get(k[i]), nullptr);
        EXPECT_EQ(*copy.get(k[i]), static_cast<long>(i));
    }
    // Every third key first, then the rest: heads, middles and tails go.
    for (size_t start : {0u, 1u, 2u}) {
        for (size_t i = start; i < k.size(); i += 3) {
            ASSERT_TRUE(copy.remove(k[i]));
            ASSERT_EQ(copy.get(k[i]), nullptr);
        }
        ASSERT_EQ(copy.checkInvariants(), "") << "after pass " << start;
    }
    EXPECT_EQ(copy.getSize(), 0u);
    EXPECT_EQ(src.getSize(), k.size());
    for (const PythonObj& key : k) {
        EXPECT_EQ(key.getRefCount(), 2);  // ours and src's
    }
}

TEST(HashStore, DestructionReleasesOneReferencePerEntryNewestFirst) {
    pyExec(
        "released = []\n"
        "class Tracked:\n"
        "    def __init__(self, name): self.name = name\n"
        "    def __del__(self): released.append(self.name)\n");
    PythonObj kept = pyEval("Tracked('kept')");
    {
        Store s(4);
        for (const char* name : {"a", "b", "c", "d"}) {
            std::string expr = std::string("Tracked('") + name + "')";
            s.put(pyEval(expr.c_str()), 0);  // the store is the only owner
        }
        s.put(kept, 0);
        ASSERT_NE(s.back, nullptr);
        EXPECT_EQ(kept.getRefCount(), 2);
    }
    EXPECT_EQ(kept.getRefCount(), 1);
    // front {kept, d} goes first, then back {a, c, b}, each newest first.
    PythonObj expected = pyEval("['d', 'a', 'c', 'b']");
    EXPECT_EQ(PyObject_RichCompareBool(pyEval("released").object, expected.object, Py_EQ), 1);
}

// Random puts, increments and removals checked against a map, from several
// initial sizes; every step must keep the header's invariants, and every
// reference the store took must be given back.
TEST(HashStore, RandomOperationsMatchAModel) {
    std::mt19937_64 rng(20240611);
    auto objs = newObjects(300);
    for (size_t initial : {0, 1, 7, 1001}) {
        std::unordered_map<PyObject*, long> model;
        {
            Store s(initial);
            for (int step = 0; step < 4000; ++step) {
                const PythonObj& o = objs[rng() % objs.size()];
                if (rng() % 10 < 6) {
                    long* v = s.get(o);
                    ASSERT_EQ(v != nullptr, model.count(o.object) == 1);
                    if (v != nullptr) {
                        ASSERT_EQ(*v, model[o.object]);
                        ++*v;
                        ++model[o.object];
                    } else {
                        ASSERT_TRUE(s.put(o, step));
                        model[o.object] = step;
                    }
                } else {
                    ASSERT_EQ(s.remove(o), model.erase(o.object) == 1);
                }
                ASSERT_EQ(s.getSize(), model.size());
                ASSERT_EQ(s.checkInvariants(), "") << "initial " << initial << " step " << step;
            }
            for (const PythonObj& o : objs) {
                ASSERT_EQ(o.getRefCount(), 1 + static_cast<Py_ssize_t>(model.count(o.object)));
            }
        }
        for (const PythonObj& o : objs) {
            ASSERT_EQ(o.getRefCount(), 1);
        }
    }
}

TEST(HashStore, MixedBucketsSpreadShortStrings) {
    PythonObj strs = pyEval("[str(i) for i in range(100000)]");
    Store s(0);
    const Py_ssize_t n = PyList_GET_SIZE(strs.object);
    for (Py_ssize_t i = 0; i < n; ++i) {
        s.put(PythonObj::borrow(PyList_GET_ITEM(strs.object, i)), 1);
    }
    size_t walked = 0;
    for (Py_ssize_t i = 0; i < n; ++i) {
        walked += s.lookupWalk(PythonObj::borrow(PyList_GET_ITEM(strs.object, i)));
    }
    EXPECT_LT(static_cast<double>(walked) / static_cast<double>(n), 2.0);
    // The big tables of this store live in mapped pages; a copy holds the
    // same entries.
    EXPECT_EQ(s.checkInvariants(), "");
    Store copy(s);
    EXPECT_EQ(copy.getSize(), s.getSize());
    EXPECT_EQ(copy.checkInvariants(), "");
}

// Released nodes are reused before the pool's untouched part, and a pool
// used up to its last node still has room for exactly what I5 allows.
TEST(HashStore, PoolsFillFromReleasedNodesFirst) {
    auto k = newObjects(5);
    Store s(10);  // pool of 6, takes 4 entries before growing
    for (int i = 0; i < 4; ++i) {
        s.put(k[i], i);
    }
    EXPECT_EQ(s.front->high_water, 4u);
    EXPECT_TRUE(s.remove(k[1]));
    EXPECT_TRUE(s.remove(k[2]));
    s.put(k[4], 4);
    EXPECT_EQ(s.front->high_water, 4u);
    EXPECT_EQ(s.checkInvariants(), "");
    EXPECT_EQ(arrayOrder(s), (Keys{k[4].object, k[3].object, k[0].object}));
    s.put(k[1], 1);
    s.put(k[2], 2);
    EXPECT_EQ(s.back, nullptr);
    EXPECT_EQ(s.front->high_water, 5u);
    EXPECT_EQ(s.checkInvariants(), "");
}

// --- allocation failure -----------------------------------------------------

TEST(HashStore, OversizedTableThrowsAndLeaksNothing) {
    const long live = liveNewBlocks();
    using Base = HashStore<PythonObj, long>;
    for (size_t size : {(size_t(1) << 60), ~size_t(0)}) {
        EXPECT_THROW(delete new Base(size), std::bad_array_new_length);
    }
    // Within the bucket limit but beyond any memory: the mapping is refused.
    EXPECT_THROW(delete new Base(size_t(1) << 58), std::bad_alloc);
    EXPECT_EQ(liveNewBlocks(), live);
}

namespace {

struct Snapshot {
    Keys order;
    std::vector<long> values;
    std::vector<Py_ssize_t> refs;
    const void* front;
    const void* back;

    explicit Snapshot(Store& s) : order(arrayOrder(s)), front(s.front.get()), back(s.back.get()) {
        for (PyObject* key : order) {
            values.push_back(*s.get(PythonObj::borrow(key)));
            refs.push_back(Py_REFCNT(key));
        }
    }
    bool operator==(const Snapshot& o) const {
        return order == o.order && values == o.values && refs == o.refs && front == o.front &&
               back == o.back;
    }
};

// Runs `op` failing its 1st, 2nd, ... allocation until it gets through;
// returns how many allocations could be made to fail.
template <typename Op, typename Check>
int failEachAllocation(Op op, Check unchanged) {
    for (int nth = 1;; ++nth) {
        const long live = liveNewBlocks();
        bool threw = false;
        bool fired = false;
        {
            FailNthAllocation failure(nth);
            try {
                op();
            } catch (const std::bad_alloc&) {
                threw = true;
            }
            fired = failure.fired();
        }
        EXPECT_EQ(threw, fired) << "allocation " << nth;
        if (!threw) {
            return nth - 1;
        }
        EXPECT_EQ(liveNewBlocks(), live) << "allocation " << nth;
        unchanged(nth);
    }
}

}  // namespace

TEST(HashStore, FailedGrowthLeavesTheStoreAsItWas) {
    for (size_t initial : {0, 4}) {
        auto k = newObjects(3);
        Store s(initial);
        s.put(k[0], 1);
        s.put(k[1], 2);
        const Snapshot before(s);
        const int points = failEachAllocation([&] { s.put(k[2], 3); }, [&](int nth) {
            EXPECT_TRUE(Snapshot(s) == before) << "allocation " << nth;
            EXPECT_EQ(s.checkInvariants(), "");
            EXPECT_EQ(s.get(k[2]), nullptr);
        });
        EXPECT_EQ(points, 3);  // table record, bucket array, pool
        EXPECT_EQ(*s.get(k[2]), 3);
        EXPECT_EQ(s.checkInvariants(), "");
    }
}

TEST(HashStore, FailedCopyTakesNoReference) {
    auto k = newObjects(5);
    Store src(4);
    fillGrowing(src, k);
    const Snapshot before(src);
    const int points = failEachAllocation(
        [&] { delete HashStore<PythonObj, long>::copy(src); },
        [&](int nth) { EXPECT_TRUE(Snapshot(src) == before) << "allocation " << nth; });
    EXPECT_EQ(points, 4);  // store record, table record, bucket array, pool
}

// --- finalizers that re-enter the store -------------------------------------

namespace {

Store* reentered = nullptr;
std::string state_seen_by_finalizer;
std::vector<PythonObj> added_by_finalizer;

PyObject* reenter(PyObject*, PyObject*) {
    state_seen_by_finalizer = reentered->checkInvariants();
    for (int i = 0; i < 8; ++i) {
        added_by_finalizer.push_back(PythonObj::steal(PyList_New(0)));
        reentered->put(added_by_finalizer.back(), 1);
    }
    Py_RETURN_NONE;
}

PyMethodDef reenter_def = {"reenter", reenter, METH_NOARGS, nullptr};

}  // namespace

// Removing an entry through a pointer to its own stored key (as a caller
// walking toArrays would) must not run the object's finalizer while a table
// is half updated: the finalizer may insert into the very same store.
TEST(HashStore, FinalizerRunOnRemovalSeesAConsistentStore) {
    PythonObj fn = PythonObj::steal(PyCFunction_New(&reenter_def, nullptr));
    PyObject_SetAttrString(PyImport_AddModule("__main__"), "reenter", fn.object);
    pyExec("class Reenters:\n    def __del__(self): reenter()\n");
    auto k = newObjects(2);
    Store s(4);
    s.put(pyEval("Reenters()"), 0);  // sole owner; stays in back below
    s.put(k[0], 1);
    s.put(k[1], 2);
    ASSERT_NE(s.back, nullptr);
    reentered = &s;
    PythonObj* keys[3];
    long* values[3];
    ASSERT_EQ(s.toArrays(keys, values, 3), 3u);
    EXPECT_TRUE(s.remove(*keys[0]));
    reentered = nullptr;
    EXPECT_EQ(state_seen_by_finalizer, "");
    EXPECT_EQ(added_by_finalizer.size(), 8u);
    EXPECT_EQ(s.getSize(), 10u);
    EXPECT_EQ(s.checkInvariants(), "");
    added_by_finalizer.clear();
}
