// Counts heap allocations made by the whole process (library included), so a
// benchmark can report allocations per transfer.
#ifndef KXSER_BENCH_ALLOC_COUNT_H
#define KXSER_BENCH_ALLOC_COUNT_H

#include <cstdint>

namespace kxbench {
// Number of malloc/calloc/realloc calls so far.
uint64_t Allocations();
}  // namespace kxbench

#endif
