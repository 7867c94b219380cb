// Failure injection for the store's three kinds of allocation. The test binary
// replaces the global operator new family and interposes calloc; outside a
// FailNthAllocation scope both simply forward.
#include "support.hpp"

#include <cstdlib>
#include <new>

extern "C" void* __libc_calloc(size_t count, size_t size);

namespace {

int countdown = 0;  // 0: disarmed; otherwise allocations left until the failing one
bool fired_flag = false;
long live_blocks = 0;

bool failNow() {
    if (countdown == 0) {
        return false;
    }
    if (--countdown == 0) {
        fired_flag = true;
        return true;
    }
    return false;
}

void* allocate(std::size_t size) {
    if (failNow()) {
        throw std::bad_alloc();
    }
    void* p = std::malloc(size == 0 ? 1 : size);
    if (p == nullptr) {
        throw std::bad_alloc();
    }
    ++live_blocks;
    return p;
}

void release(void* p) noexcept {
    if (p != nullptr) {
        --live_blocks;
        std::free(p);
    }
}

}  // namespace

FailNthAllocation::FailNthAllocation(int nth) {
    fired_flag = false;
    countdown = nth;
}
FailNthAllocation::~FailNthAllocation() { countdown = 0; }
bool FailNthAllocation::fired() const { return fired_flag; }

long liveNewBlocks() { return live_blocks; }

void* operator new(std::size_t size) { return allocate(size); }
void* operator new[](std::size_t size) { return allocate(size); }
void operator delete(void* p) noexcept { release(p); }
void operator delete[](void* p) noexcept { release(p); }
void operator delete(void* p, std::size_t) noexcept { release(p); }
void operator delete[](void* p, std::size_t) noexcept { release(p); }

extern "C" void* calloc(size_t count, size_t size) {
    return failNow() ? nullptr : __libc_calloc(count, size);
}
