// A channel's Lock: the uncontended pair; 2, 4 and 8 threads taking turns
// with short holds (us_per_lock: the wall time of one acquisition, all
// threads together); and the hand-over to a waiter behind a polling thread
// that holds the lock 20 ms at a time and re-locks 50 us after each Unlock.
// The hand-over's counters are the waiter's mean and worst wait, in
// milliseconds and in holds.
#include <benchmark/benchmark.h>

#include <unistd.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "SerCom.h"
#include "quiet_stdout.h"

namespace {

using Clock = std::chrono::steady_clock;
const double kHoldMs = 20;

void BM_LockUnlockUncontended(benchmark::State& state) {
    kxbench::QuietStdout quiet;
    CSerCom ch(1);
    for (auto _ : state) {
        ch.Lock();
        ch.Unlock();
    }
}

// A hold of a few hundred nanoseconds, as a host's bookkeeping around a
// non-blocking call would take.
void BM_LockShortHolds(benchmark::State& state) {
    static CSerCom* shared = nullptr;
    static kxbench::QuietStdout* quiet = nullptr;
    if (state.thread_index() == 0) {
        quiet = new kxbench::QuietStdout;
        shared = new CSerCom(1);
    }
    volatile unsigned sink = 0;
    for (auto _ : state) {
        shared->Lock();
        for (int i = 0; i < 64; ++i) sink = sink + static_cast<unsigned>(i);
        shared->Unlock();
    }
    state.counters["us_per_lock"] =
        benchmark::Counter(static_cast<double>(state.iterations()) / 1e6,
                           benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
    if (state.thread_index() == 0) {
        delete shared;
        delete quiet;
    }
}

void BM_LockHandOver(benchmark::State& state) {
    kxbench::QuietStdout quiet;
    CSerCom ch(1);
    std::atomic<bool> stop{false}, holding{false};
    std::thread holder([&] {
        while (!stop) {
            ch.Lock();
            holding = true;
            usleep(static_cast<useconds_t>(kHoldMs * 1000));
            ch.Unlock();
            usleep(50);
        }
    });
    double allMs = 0, worstMs = 0;
    long waits = 0;
    for (auto _ : state) {
        while (!holding) usleep(100);
        const Clock::time_point start = Clock::now();
        ch.Lock();
        const double ms = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
        holding = false;
        ch.Unlock();
        allMs += ms;
        if (ms > worstMs) worstMs = ms;
        ++waits;
        usleep(5000);
    }
    stop = true;
    holder.join();
    state.counters["mean_ms"] = allMs / static_cast<double>(waits);
    state.counters["worst_ms"] = worstMs;
    state.counters["worst_holds"] = worstMs / kHoldMs;
}

}  // namespace

BENCHMARK(BM_LockUnlockUncontended);
BENCHMARK(BM_LockShortHolds)->Threads(2)->Threads(4)->Threads(8)->UseRealTime();
BENCHMARK(BM_LockHandOver)->Iterations(50)->Repetitions(1)->UseRealTime();
