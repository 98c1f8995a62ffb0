#include "alloc_count.h"

#include <atomic>
#include <cstddef>

// glibc's own entry points, so the counting wrappers below can forward.
extern "C" void* __libc_malloc(size_t);
extern "C" void* __libc_calloc(size_t, size_t);
extern "C" void* __libc_realloc(void*, size_t);

namespace {
std::atomic<uint64_t> g_allocations{0};
}

namespace kxbench {
uint64_t Allocations() { return g_allocations.load(std::memory_order_relaxed); }
}  // namespace kxbench

// Defined in the executable, these take the place of libc's for every module,
// kxSer.so included.
extern "C" void* malloc(size_t n) {
    g_allocations.fetch_add(1, std::memory_order_relaxed);
    return __libc_malloc(n);
}

extern "C" void* calloc(size_t n, size_t size) {
    g_allocations.fetch_add(1, std::memory_order_relaxed);
    return __libc_calloc(n, size);
}

extern "C" void* realloc(void* p, size_t n) {
    g_allocations.fetch_add(1, std::memory_order_relaxed);
    return __libc_realloc(p, n);
}
