#include "RtAllocationCounter.h"

#include <atomic>
#include <cstdlib>
#include <new>

namespace {
std::atomic<long> g_allocations{0};
}

long RtAllocationCount() { return g_allocations.load(std::memory_order_relaxed); }

// These replace the global allocator; gcc cannot tell and flags free().
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"

void* operator new(std::size_t aSize) {
    g_allocations.fetch_add(1, std::memory_order_relaxed);
    if (void* p = std::malloc(aSize ? aSize : 1))
        return p;
    throw std::bad_alloc();
}
void operator delete(void* aPtr) noexcept { std::free(aPtr); }
void operator delete(void* aPtr, std::size_t) noexcept { std::free(aPtr); }
// Every form, so that no allocation reaches another allocator's delete
// (AddressSanitizer reports such a mismatch) and none goes uncounted.
void* operator new(std::size_t aSize, const std::nothrow_t&) noexcept {
    g_allocations.fetch_add(1, std::memory_order_relaxed);
    return std::malloc(aSize ? aSize : 1);
}
void* operator new[](std::size_t aSize) { return operator new(aSize); }
void* operator new[](std::size_t aSize, const std::nothrow_t& aTag) noexcept { return operator new(aSize, aTag); }
void operator delete(void* aPtr, const std::nothrow_t&) noexcept { std::free(aPtr); }
void operator delete[](void* aPtr) noexcept { std::free(aPtr); }
void operator delete[](void* aPtr, std::size_t) noexcept { std::free(aPtr); }
void operator delete[](void* aPtr, const std::nothrow_t&) noexcept { std::free(aPtr); }
