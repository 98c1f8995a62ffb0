// The dump of a full 340-byte block (the longest that is still dumped),
// beside snprintf per byte and a plain nibble-table loop.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstring>

#include "SerCom.h"
#include "alloc_count.h"

namespace {

struct Block {
    unsigned char bytes[340];
    Block() {
        for (int i = 0; i < 340; ++i) bytes[i] = static_cast<unsigned char>(i * 37 + 11);
    }
};
const Block kBlock;

void ReportAllocations(benchmark::State& state, uint64_t before) {
    state.counters["allocs_per_dump"] = benchmark::Counter(
        static_cast<double>(kxbench::Allocations() - before), benchmark::Counter::kAvgIterations);
}

void BM_BufToHexStr(benchmark::State& state) {
    uint64_t before = kxbench::Allocations();
    for (auto _ : state) {
        char* text = BufToHexStr(kBlock.bytes, 340, 1);
        benchmark::DoNotOptimize(text);
        benchmark::ClobberMemory();
    }
    ReportAllocations(state, before);
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * 340);
}
BENCHMARK(BM_BufToHexStr);

void BM_BufToHexStrBounded(benchmark::State& state) {
    char buf[1024];
    uint64_t before = kxbench::Allocations();
    for (auto _ : state) {
        benchmark::DoNotOptimize(BufToHexStr(kBlock.bytes, 340, buf, sizeof buf, 1));
        benchmark::ClobberMemory();
    }
    ReportAllocations(state, before);
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * 340);
}
BENCHMARK(BM_BufToHexStrBounded);

// The reference a dump should match: one table lookup per nibble.
void BM_NibbleTable(benchmark::State& state) {
    static const char digits[] = "0123456789ABCDEF";
    char buf[1024];
    for (auto _ : state) {
        char* p = buf;
        for (int i = 0; i < 340; ++i) {
            // One load per byte: the char stores may alias the block, so
            // reading it twice would handicap the reference.
            const unsigned char b = kBlock.bytes[i];
            p[0] = digits[b >> 4];
            p[1] = digits[b & 0x0f];
            p[2] = ' ';
            p += 3;
        }
        *p = '\0';
        benchmark::DoNotOptimize(buf);
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * 340);
}
BENCHMARK(BM_NibbleTable);

void BM_SnprintfPerByte(benchmark::State& state) {
    char buf[1024];
    for (auto _ : state) {
        char* p = buf;
        for (int i = 0; i < 340; ++i) p += snprintf(p, 4, "%02X ", kBlock.bytes[i]);
        benchmark::DoNotOptimize(buf);
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * 340);
}
BENCHMARK(BM_SnprintfPerByte);

}  // namespace
