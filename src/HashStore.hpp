// HashStore: the identity-keyed interning table behind every Quodex.
//
// A chained hash map whose tables each own one fixed pool of nodes, linked by
// pool index, and which grows incrementally: when the table that receives
// insertions (`front`) gets too full it becomes the old table (`back`), a new
// `front` of twice the buckets is made, and every later insertion moves one
// entry, the newest of `back`, to `front` until `back` is empty and freed.
// The system uses exactly one instantiation, HashStore<PythonObj, long>: keys
// are owned object handles compared by identity, values are counts.
//
// Memory is touched only when it is used. Every link names a node by its pool
// index plus one, so that the null link, LL_NULL, is 0: a bucket array is
// ready to use as the zero-filled memory it arrives in, and large bucket
// arrays and pools are anonymous pages that the system zero-fills on first
// touch (ZeroFilled below). A pool hands out nodes first from its free list
// (released nodes, last in, first out) and then, at its high-water mark, the
// next node never used; nodes at or past the mark have never been written. A
// new table therefore costs the pages its entries reach, not its capacity.
//
// Invariants (checkInvariants() verifies I1 to I4 in debug builds):
//   I1  Every live node of a table is in exactly one bucket chain, the one of
//       its key's bucket, and in the table's allocation list; every other
//       node below the high-water mark is on the free list, and no link names
//       a node at or past it. table_entries + free nodes == high_water, and
//       high_water <= alloc_size.
//   I2  For a live node n with link l, *n.h_prev == l (h_prev is the link
//       naming n), and v_prev / v_next mirror each other along the
//       allocation list.
//   I3  A key is held by at most one node of the whole store.
//   I4  `front` is never null; `back`, when set, is a different table.
//   I5  After the growth check at the start of every put,
//       front->table_size >= 2 * front->table_entries + 2. One put adds at most
//       two nodes to front (the migrated one and the new one), so a pool of
//       table_size / 2 + 1 nodes always has room: allocate_node never runs dry.
//       It also means front cannot fill up before back has been emptied: a
//       front of 2B buckets holds at most 2 nodes per migrated entry, and a
//       back of B buckets never starts with more than B / 2 entries.
//   I6  Each live node owns exactly one reference to its key's object.
//
// Ordering that callers see: iteration of a table and toArrays walk the
// allocation lists, newest first, back before front. Neither buckets nor pool
// positions ever show: which free node a put reuses changes nothing visible.
//
// Failure contract. Memory comes only from the constructors and from growth
// inside put: table records from `new`, bucket arrays and pools as zero-filled
// blocks (calloc when small, anonymous mappings when large). Failures surface
// as std::bad_alloc, or std::bad_array_new_length for more than 2^60 - 1
// buckets; the store catches nothing (the Python layer turns both into
// MemoryError at its boundary).
//   * HashStore(n), HashStore(const HashStore&), copy(): throw before any
//     reference is taken and leak nothing.
//   * put(): the new table is allocated before anything is drained or moved,
//     so a throwing put leaves the store exactly as it was. Pages the new
//     table later touches are not an allocation that can fail: like every
//     page of the process, they are the system's to provide.
//   * get, remove, getSize, toArrays, iteration: never allocate, never throw.
//
// Releasing a key reference can run a finalizer, i.e. arbitrary Python code.
// deallocate_node releases only after the node is unlinked from its chain and
// its allocation list, and pushes it on the free list after the release, so
// the node is never reachable or reusable while its key is being destroyed.
// Within the store's own operations no such finalizer runs while a table is
// half updated: migration moves the key's reference from back to front
// without releasing it, and remove() holds a reference of its own until it
// is done.
// Only destruction runs finalizers from inside a table.
//
// No locking: every caller holds the interpreter lock.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <functional>
#include <iterator>
#include <memory>
#include <new>
#include <type_traits>
#include <utility>

#include <sys/mman.h>

#ifndef NDEBUG
#include <string>
#include <unordered_set>
#include <vector>
#endif

// Asks for the cache line at `p`, to be written soon. GCC takes a function
// whose only effect is __builtin_prefetch for one without side effects and
// drops calls to it, hint and all, before it inlines them: the bulk loops'
// hints vanished that way. The empty volatile asm is an effect it must keep.
inline void prefetchForWrite(const void* p) noexcept {
    __builtin_prefetch(p, 1);
    asm volatile("" : : "r"(p));
}

// Bucket policies: how a key's hash picks one of `table_size` buckets.
//
// MixedBucket is what the system uses. Identity hashes are addresses, and
// CPython's allocator hands out same-sized objects at addresses that agree in
// their low bits (10^6 short str objects all sit at 48 mod 64), so a plain
// remainder by a power-of-two-times-anything bucket count reaches only a
// sliver of the buckets. murmur3's fmix64 is a bijection, so distinct hashes
// stay distinct and every bit of the address reaches the remainder.
struct MixedBucket {
    static constexpr uint64_t fmix64(uint64_t h) noexcept {
        h ^= h >> 33;
        h *= 0xff51afd7ed558ccdULL;
        h ^= h >> 33;
        h *= 0xc4ceb9fe1a85ec53ULL;
        h ^= h >> 33;
        return h;
    }
    static size_t index(size_t hash, size_t table_size) noexcept {
        return static_cast<size_t>(fmix64(hash)) % table_size;
    }
};

// The unmixed remainder, kept so that benchmarks can compare the two.
struct ModuloBucket {
    static size_t index(size_t hash, size_t table_size) noexcept {
        return hash % table_size;
    }
};

// An owned array of `count` elements that reads as all zero bytes until it is
// written. Small arrays come from calloc. Large ones are anonymous mappings:
// the system zero-fills each page when it is first touched, so untouched
// capacity costs neither time nor resident memory, and the pages go back to
// the system as soon as the array dies. Arrays of several huge pages start on
// a huge-page boundary and ask for huge pages: buckets and chain nodes are
// reached at random (that is what a good hash does), so on big tables nearly
// every access would otherwise also miss the TLB. Where the system grants
// none, the advice changes nothing.
template <typename T>
class ZeroFilled {
public:
    explicit ZeroFilled(size_t count) {
        if (count > (SIZE_MAX - kHuge) / sizeof(T)) {
            throw std::bad_alloc();
        }
        const size_t bytes = count * sizeof(T);
        if (bytes < kMapFrom) {
            // calloc(0) may return null; a zero-length array still owns a block.
            data_ = static_cast<T*>(std::calloc(count == 0 ? 1 : count, sizeof(T)));
            if (data_ == nullptr) {
                throw std::bad_alloc();
            }
            return;
        }
        // Huge pages only where they fill up: a small table would pay for
        // a whole one and keep it resident.
        const bool huge = bytes >= 2 * kHuge;
        const size_t length = huge ? bytes + kHuge : bytes;  // room to start on a boundary
        void* mapping = mmap(nullptr, length, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (mapping == MAP_FAILED) {
            throw std::bad_alloc();
        }
        mapping_ = mapping;
        mapped_ = length;
        uintptr_t start = reinterpret_cast<uintptr_t>(mapping);
        if (huge) {
#ifdef MADV_HUGEPAGE
            madvise(mapping, length, MADV_HUGEPAGE);
#endif
            start = (start + kHuge - 1) & ~(kHuge - 1);
        }
        data_ = reinterpret_cast<T*>(start);
    }

    ~ZeroFilled() {
        if (mapping_ != nullptr) {
            munmap(mapping_, mapped_);
        } else {
            std::free(data_);
        }
    }

    ZeroFilled(const ZeroFilled&) = delete;
    ZeroFilled& operator=(const ZeroFilled&) = delete;

    T* get() const noexcept { return data_; }
    T& operator[](size_t i) const noexcept { return data_[i]; }

private:
    static constexpr size_t kHuge = size_t(1) << 21;
    // Below this, a mapping's system calls cost more than zeroing the block.
    static constexpr size_t kMapFrom = size_t(1) << 18;

    T* data_ = nullptr;
    void* mapping_ = nullptr;  // null for a calloc block
    size_t mapped_ = 0;
};

template <typename KEY_T, typename VALUE_T, typename BUCKET_T = MixedBucket>
class HashStore {
    // put() is only strongly exception-safe because moving an entry between
    // tables cannot fail: a node is built by moving or copying its key and
    // copying its value.
    static_assert(std::is_nothrow_copy_constructible<KEY_T>::value,
                  "HashStore keys must copy without throwing");
    static_assert(std::is_nothrow_copy_constructible<VALUE_T>::value,
                  "HashStore values must copy without throwing");
    static_assert(std::is_nothrow_move_constructible<KEY_T>::value,
                  "HashStore keys must move without throwing");

protected:
    // The null link. Links are pool index + 1, so zero-filled memory is a
    // bucket array whose chains are all empty.
    static constexpr size_t LL_NULL = 0;

    // Beyond this the byte size of a bucket array no longer fits 64 bits once
    // doubled; refusing such counts up front keeps every size computation,
    // growth included, from wrapping.
    static constexpr size_t MAX_BUCKETS = (static_cast<size_t>(1) << 60) - 1;

    // One pool node. A free node is raw pool memory whose only meaningful
    // field is v_next (the free list); a live node is a constructed object.
    struct DataNode {
        size_t* h_prev = nullptr;
        size_t h_next = LL_NULL;
        size_t v_prev = LL_NULL;
        size_t v_next = LL_NULL;
        KEY_T key;
        VALUE_T value;

        DataNode(const KEY_T& k, const VALUE_T& v) noexcept : key(k), value(v) {}
        DataNode(KEY_T&& k, const VALUE_T& v) noexcept : key(std::move(k)), value(v) {}

        // A dead node keeps no link into the chains it left. The key member is
        // destroyed after this body, so its reference goes last.
        ~DataNode() {
            h_prev = nullptr;
            h_next = LL_NULL;
            v_prev = LL_NULL;
            v_next = LL_NULL;
        }

        DataNode(const DataNode&) = delete;
        DataNode& operator=(const DataNode&) = delete;
    };

    struct HashTable {
        size_t table_size;
        size_t table_entries = 0;
        size_t alloc_size;
        ZeroFilled<size_t> h_table;
        ZeroFilled<DataNode> nodes;
        size_t free_list = LL_NULL;
        size_t alloc_list = LL_NULL;
        size_t high_water = 0;  // pool nodes ever handed out

        class Iterator {
        public:
            using iterator_category = std::forward_iterator_tag;
            using value_type = DataNode;
            using difference_type = std::ptrdiff_t;
            using pointer = DataNode*;
            using reference = DataNode&;

            Iterator(HashTable* t, size_t i) noexcept : table(t), idx(i) {}

            reference operator*() const noexcept { return *table->at(idx); }
            pointer operator->() const noexcept { return table->at(idx); }
            Iterator& operator++() noexcept {
                idx = table->at(idx)->v_next;
                return *this;
            }
            Iterator operator++(int) noexcept {
                Iterator was = *this;
                ++*this;
                return was;
            }
            size_t getIdx() const noexcept { return idx; }

            friend bool operator!=(const Iterator& a, const Iterator& b) noexcept {
                return a.table != b.table || a.idx != b.idx;
            }
            friend bool operator==(const Iterator& a, const Iterator& b) noexcept {
                return !(a != b);
            }

        protected:
            HashTable* table;
            size_t idx;
        };

        // Members are built in declaration order, so a pool that cannot be
        // had releases the bucket array already made: nothing leaks.
        explicit HashTable(size_t size)
            : table_size(size),
              alloc_size(size / 2 + 1),
              h_table(checked_bucket_count(size)),
              nodes(alloc_size) {}

        // Newest first, so that finalizers see entries go in the reverse of
        // their arrival. Walks the list rather than trusting the count.
        ~HashTable() {
            while (alloc_list != LL_NULL) {
                deallocate_node(alloc_list);
            }
        }

        HashTable(const HashTable&) = delete;
        HashTable& operator=(const HashTable&) = delete;

        // The node a link names (no check; the link must not be LL_NULL).
        DataNode* at(size_t it) const noexcept { return nodes.get() + (it - 1); }

        size_t bucket(const KEY_T& key) const noexcept {
            return BUCKET_T::index(std::hash<KEY_T>()(key), table_size);
        }

        // Mixed buckets scatter even neighbouring keys, so every lookup is a
        // cache miss unless someone asks for the line ahead of time.
        void prefetch_bucket(size_t hash) const noexcept {
            if (table_size != 0) {
                prefetch_bucket_at(BUCKET_T::index(hash, table_size));
            }
        }

        // The second stage, issued once the bucket has arrived: the first node
        // of its chain, which a lookup compares against and a migration or
        // removal may relink.
        void prefetch_chain(size_t hash) const noexcept {
            if (table_size != 0) {
                prefetch_chain_at(BUCKET_T::index(hash, table_size));
            }
        }

        // The same two stages for a bucket already computed.
        void prefetch_bucket_at(size_t b) const noexcept { prefetchForWrite(&h_table[b]); }
        void prefetch_chain_at(size_t b) const noexcept {
            const size_t head = h_table[b];
            if (head != LL_NULL) {
                prefetchForWrite(at(head));
            }
        }

        // The link holding the node of `key`, or the terminal LL_NULL link of
        // its chain. Needs at least one bucket.
        size_t* find(const KEY_T& key) noexcept {
            size_t* ins = &h_table[bucket(key)];
            while (*ins != LL_NULL) {
                DataNode* cur = at(*ins);
                if (cur->key == key) {
                    return ins;
                }
                ins = &cur->h_next;
            }
            return ins;
        }

        // True when a new node was linked; a present key is left unchanged.
        // A key passed as an rvalue is moved into the new node, and only then.
        template <typename K>
        bool put(K&& key, const VALUE_T& value) noexcept {
            if (table_size == 0) {
                return false;
            }
            size_t* ins = find(key);
            if (*ins != LL_NULL) {
                return false;
            }
            size_t idx = allocate_node(std::forward<K>(key), value, ins);
            if (idx == LL_NULL) {
                return false;
            }
            *ins = idx;
            return true;
        }

        // Links a new node for `key`, which no node of this table holds, at
        // the head of bucket b's chain: no chain is searched, and only the
        // node that was first is touched. The pool must have room. A key
        // passed as an rvalue is moved into the node.
        template <typename K>
        void link_absent(size_t b, K&& key, const VALUE_T& value) noexcept {
            size_t* head = &h_table[b];
            const size_t was = *head;
            const size_t idx = allocate_node(std::forward<K>(key), value, head);
            if (idx == LL_NULL) {
                return;
            }
            DataNode* node = at(idx);
            node->h_next = was;
            if (was != LL_NULL) {
                at(was)->h_prev = &node->h_next;
            }
            *head = idx;
        }

        DataNode* get(const KEY_T& key) noexcept {
            if (table_size == 0) {
                return nullptr;
            }
            size_t idx = *find(key);
            return idx == LL_NULL ? nullptr : at(idx);
        }

        bool remove(const KEY_T& key) {
            if (table_size == 0) {
                return false;
            }
            return remove_at(*find(key));
        }

        bool remove_at(size_t nidx_del) {
            if (nidx_del == LL_NULL) {
                return false;
            }
            deallocate_node(nidx_del);
            return true;
        }

        size_t get_some_node() const noexcept {
            return alloc_list <= high_water ? alloc_list : LL_NULL;
        }

        Iterator begin() noexcept { return Iterator(this, alloc_list); }
        Iterator end() noexcept { return Iterator(this, LL_NULL); }

    protected:
        static size_t checked_bucket_count(size_t size) {
            if (size > MAX_BUCKETS) {
                throw std::bad_array_new_length();
            }
            return size;
        }

        // `h_prev` is the link that will name the node; the caller stores the
        // returned link there. Released nodes are reused first, so a table
        // that loses and gains entries stays within the pages it has.
        template <typename K>
        size_t allocate_node(K&& key, const VALUE_T& value, size_t* h_prev) noexcept {
            size_t it_ret = free_list;
            if (it_ret != LL_NULL) {
                free_list = at(it_ret)->v_next;
            } else if (high_water < alloc_size) {
                it_ret = ++high_water;
            } else {
                return LL_NULL;
            }
            DataNode* node = new (at(it_ret)) DataNode(std::forward<K>(key), value);
            node->v_next = alloc_list;
            node->h_prev = h_prev;
            if (alloc_list != LL_NULL) {
                at(alloc_list)->v_prev = it_ret;
            }
            alloc_list = it_ret;
            ++table_entries;
            return it_ret;
        }

        void deallocate_node(size_t it_del) {
            DataNode* node = at(it_del);
            if (node->h_next != LL_NULL) {
                at(node->h_next)->h_prev = node->h_prev;
            }
            if (node->h_prev != nullptr) {
                *node->h_prev = node->h_next;
            }
            if (node->v_next != LL_NULL) {
                at(node->v_next)->v_prev = node->v_prev;
            }
            if (node->v_prev != LL_NULL) {
                at(node->v_prev)->v_next = node->v_next;
            } else {
                alloc_list = node->v_next;
            }
            // May run a finalizer: the node is out of every list by now.
            node->~DataNode();
            at(it_del)->v_next = free_list;
            free_list = it_del;
            --table_entries;
        }
    };

    std::unique_ptr<HashTable> front;
    std::unique_ptr<HashTable> back;

public:
    // Any bucket count is used as given, 0 included.
    explicit HashStore(size_t table_size) : front(new HashTable(table_size)) {}

    // Delegating makes the store fully constructed before the first put, so
    // should anything in the body throw, the destructor drops every reference
    // taken so far. (None can: the table has room for all S entries.)
    HashStore(const HashStore& copy) : HashStore(2 * copy.getSize() + 1) {
        HashTable& into = *front;
        for (HashTable* table : {copy.back.get(), copy.front.get()}) {
            if (table == nullptr) {
                continue;
            }
            // The copy is bound by cache misses, not by the work between
            // them. Each entry's bucket is computed once, kPrefetchDistance
            // entries ahead, and asked for; kPrefetchDistance / 2 entries
            // ahead, once it has arrived, so is the node at the head of its
            // chain, which the entry will be linked before.
            constexpr size_t kAhead = kPrefetchDistance;
            size_t buckets[kAhead];
            auto far = table->begin();
            auto near = table->begin();
            size_t i = 0;
            for (; i < kAhead && far != table->end(); ++i, ++far) {
                buckets[i] = into.bucket(far->key);
                into.prefetch_bucket_at(buckets[i]);
            }
            for (i = 0; i < kAhead / 2 && near != table->end(); ++i, ++near) {
                into.prefetch_chain_at(buckets[i]);
            }
            i = 0;
            for (DataNode& node : *table) {
                // Read before `far` takes the slot over for a later entry.
                const size_t b = buckets[i % kAhead];
                if (far != table->end()) {
                    buckets[i % kAhead] = into.bucket(far->key);
                    into.prefetch_bucket_at(buckets[i % kAhead]);
                    ++far;
                }
                if (near != table->end()) {
                    into.prefetch_chain_at(buckets[(i + kAhead / 2) % kAhead]);
                    ++near;
                }
                into.link_absent(b, node.key, node.value);
                ++i;
            }
        }
    }

    HashStore& operator=(const HashStore&) = delete;

    ~HashStore() {
        front.reset();
        back.reset();
    }

    static HashStore* copy(const HashStore& other) { return new HashStore(other); }

    // Callers put only keys that get() has just reported absent. The result
    // says whether front received a new node.
    bool put(const KEY_T& key, const VALUE_T& value) {
        resize();
        if (back) {
            if (back->table_entries != 0) {
                migrate_one();
                back->remove(key);
            }
            if (back->table_entries == 0) {
                back.reset();
            }
        }
        return front->put(key, value);
    }

    // The old table is searched first; nothing migrates on lookup.
    VALUE_T* get(const KEY_T& key) noexcept {
        if (back) {
            if (DataNode* node = back->get(key)) {
                return &node->value;
            }
        }
        DataNode* node = front->get(key);
        return node == nullptr ? nullptr : &node->value;
    }

    bool remove(const KEY_T& key) {
        // `key` may be the stored key itself (a pointer from toArrays). Our
        // own reference keeps its object alive until the entry is gone, so a
        // finalizer never runs, and never re-enters the store, while a table
        // is half unlinked, and `key` does not dangle halfway through.
        const KEY_T held(key);
        if (back && back->remove(held)) {
            return true;
        }
        return front->remove(held);
    }

    size_t getSize() const noexcept {
        return front->table_entries + (back ? back->table_entries : 0);
    }

    // Hints for bulk callers; they change nothing. prefetch() fetches the
    // buckets a key with this hash will touch into the cache, and
    // prefetch_chain(), issued later for the same hash, the first node of
    // each of those chains. Bulk loops call them kPrefetchDistance and
    // kPrefetchDistance / 2 keys ahead of the lookups they serve.
    void prefetch(size_t hash) const noexcept {
        front->prefetch_bucket(hash);
        if (back) {
            back->prefetch_bucket(hash);
        }
    }
    void prefetch_chain(size_t hash) const noexcept {
        front->prefetch_chain(hash);
        if (back) {
            back->prefetch_chain(hash);
        }
    }

    // How many keys ahead bulk loops prefetch: enough to cover a miss at
    // the speed a lookup otherwise goes.
    static constexpr int kPrefetchDistance = 8;

    // Pointers into the pools, valid until the next put or remove.
    size_t toArrays(KEY_T** out_keys, VALUE_T** out_values, size_t max_items) noexcept {
        size_t num_copied = 0;
        for (HashTable* table : {back.get(), front.get()}) {
            if (table == nullptr) {
                continue;
            }
            for (auto it = table->begin(); it != table->end() && num_copied < max_items; ++it) {
                out_keys[num_copied] = &it->key;
                out_values[num_copied] = &it->value;
                ++num_copied;
            }
        }
        return num_copied;
    }

#ifndef NDEBUG
    // Empty when I1 to I4 hold, else the first breach found.
    std::string checkInvariants() const;
#endif

protected:
    // The new table is made before anything moves: if it cannot be had, the
    // store is left exactly as it was.
    void resize() {
        if (front->table_size >= 2 * front->table_entries + 2) {
            return;
        }
        if (front->table_size > MAX_BUCKETS / 2) {
            throw std::bad_array_new_length();
        }
        size_t grown = front->table_size == 0 ? 2 : 2 * front->table_size;
        std::unique_ptr<HashTable> fresh(new HashTable(grown));
        if (back) {
            // Under I5 back has always been emptied (by migration or removal)
            // by the time front fills, so this normally frees an empty table;
            // the drain keeps entries safe should that ever not hold.
            while (back->get_some_node() != LL_NULL) {
                migrate_one();
            }
            back.reset();
        }
        back = std::move(front);
        front = std::move(fresh);
    }

    // How far ahead of the migration the bucket of a future migrant is
    // fetched. Migrants are the newest entries of back, and a table filled
    // without removals allocated them at falling links, so the node this many
    // links below the head is, as a rule, the one that moves that many puts
    // from now. When it is not, the hint is merely wasted.
    static constexpr size_t kMigrationLead = 4;

    // Moves the newest entry of back, with its value, to front. The key's
    // reference moves with it: the object is neither touched nor released,
    // so no finalizer runs, and the node left behind in back holds nothing.
    void migrate_one() {
        size_t it_del = back->get_some_node();
        if (it_del == LL_NULL) {
            return;
        }
        // I3: no other node holds the key, so front need not be searched.
        DataNode* move = back->at(it_del);
        front->link_absent(front->bucket(move->key), std::move(move->key), move->value);
        back->remove_at(it_del);
        // The next migrant's new bucket has been on its way since an earlier
        // put; now that it is here, ask for the head of its chain, and for
        // the link that names the migrant in the old table.
        size_t next = back->get_some_node();
        if (next != LL_NULL) {
            DataNode* n = back->at(next);
            front->prefetch_chain(std::hash<KEY_T>()(n->key));
            prefetchForWrite(n->h_prev);
            if (next > kMigrationLead) {
                // Below the high-water mark, so written memory: a free
                // node's key is null and the hint lands on a harmless bucket.
                front->prefetch_bucket(std::hash<KEY_T>()(back->at(next - kMigrationLead)->key));
            }
        }
    }
};

#ifndef NDEBUG
template <typename KEY_T, typename VALUE_T, typename BUCKET_T>
std::string HashStore<KEY_T, VALUE_T, BUCKET_T>::checkInvariants() const {
    if (!front) {
        return "front is null";
    }
    if (back && back == front) {
        return "back is front";
    }
    std::unordered_set<KEY_T> seen;
    for (const HashTable* table : {front.get(), back.get()}) {
        if (table == nullptr) {
            continue;
        }
        const std::string name = table == front.get() ? "front: " : "back: ";
        if (table->alloc_size != table->table_size / 2 + 1) {
            return name + "pool size is not table_size / 2 + 1";
        }
        if (table->high_water > table->alloc_size) {
            return name + "high-water mark past the pool";
        }
        // Indexed by link: 1 = live (reached by the allocation list), 2 = free.
        std::vector<char> state(table->high_water + 1, 0);
        auto in_use = [&](size_t it) { return it != LL_NULL && it <= table->high_water; };
        size_t live = 0;
        size_t prev = LL_NULL;
        for (size_t it = table->alloc_list; it != LL_NULL; it = table->at(it)->v_next) {
            if (!in_use(it) || state[it] != 0) {
                return name + "allocation list leaves the used pool or loops";
            }
            state[it] = 1;
            const DataNode* node = table->at(it);
            if (node->v_prev != prev) {
                return name + "v_prev does not mirror v_next";
            }
            if (node->h_prev == nullptr || *node->h_prev != it) {
                return name + "h_prev does not point at the link naming the node";
            }
            if (!seen.insert(node->key).second) {
                return name + "a key is held twice";
            }
            prev = it;
            ++live;
        }
        if (live != table->table_entries) {
            return name + "table_entries differs from the allocation list";
        }
        size_t free_count = 0;
        for (size_t it = table->free_list; it != LL_NULL; it = table->at(it)->v_next) {
            if (!in_use(it) || state[it] != 0) {
                return name + "free list leaves the used pool, loops or holds a live node";
            }
            state[it] = 2;
            ++free_count;
        }
        if (live + free_count != table->high_water) {
            return name + "used pool nodes are neither live nor free";
        }
        size_t chained = 0;
        for (size_t b = 0; b < table->table_size; ++b) {
            for (size_t it = table->h_table[b]; it != LL_NULL; it = table->at(it)->h_next) {
                if (!in_use(it) || state[it] != 1) {
                    return name + "a bucket chain holds a node that is not live";
                }
                if (table->bucket(table->at(it)->key) != b) {
                    return name + "a node sits in the wrong bucket";
                }
                if (++chained > live) {
                    return name + "bucket chains loop or share nodes";
                }
            }
        }
        if (chained != live) {
            return name + "a live node is in no bucket chain";
        }
    }
    return std::string();
}
#endif
