// Heap allocations of a channel's first transfers on a fresh thread, with
// the library loaded as hosts load it: dlopen, no link against it. A buffer
// per thread in such a library is allocated by glibc on its first use in
// each thread (and glibc aborts the host when that fails); a library linked
// at start-up gets static TLS instead and would hide it. Each iteration
// starts a thread that does one TCP exchange (Write, then Read of the echo)
// and one pty Write, and counts the allocations made while they run.
#include <benchmark/benchmark.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdint>
#include <string>
#include <thread>

#include "alloc_count.h"
#include "echo_peer.h"
#include "kxSer.h"
#include "quiet_stdout.h"

namespace {

const int kSize = 64;

struct Library {
    void* handle = nullptr;
    KxGetSerManagerFn getManager = nullptr;
    KxFreeSerManagerFn freeManager = nullptr;
    Library() {
        handle = dlopen(KXSER_LIB_PATH, RTLD_NOW | RTLD_LOCAL);
        if (handle == nullptr) return;
        getManager = reinterpret_cast<KxGetSerManagerFn>(dlsym(handle, "GetSerManager"));
        freeManager = reinterpret_cast<KxFreeSerManagerFn>(dlsym(handle, "FreeSerManager"));
    }
};

void BM_FreshThreadTransfers(benchmark::State& state) {
    static Library lib;
    if (lib.getManager == nullptr || lib.freeManager == nullptr) {
        state.SkipWithError("cannot load kxSer.so");
        return;
    }
    kxbench::EchoPeer echo(SOCK_STREAM);
    const int master = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) {
        state.SkipWithError("no pty");
        return;
    }
    const std::string slave = ptsname(master);
    const int holder = open(slave.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    kxbench::QuietStdout quiet;
    ISerManager* mgr = lib.getManager();
    const std::string netDef = "127.0.0.1:" + std::to_string(echo.port());
    ISerBase* net = mgr->GetSer(netDef.c_str(), 0x200001);
    ISerBase* com = mgr->GetSer((slave.substr(5) + ":115200,N,8,1").c_str(), 0);  // "pts/<n>:..."
    if (net == nullptr || com == nullptr || net->Open(nullptr) != 1 || com->Open(nullptr) != 1) {
        state.SkipWithError("cannot open the channels");
        lib.freeManager(mgr);
        return;
    }
    unsigned char req[kSize];
    for (int i = 0; i < kSize; ++i) req[i] = static_cast<unsigned char>(i + 1);
    uint64_t allocs = 0;
    bool ok = true;
    for (auto _ : state) {
        std::thread fresh([&] {
            unsigned char rsp[kSize];
            const uint64_t a0 = kxbench::Allocations();
            bool done = net->Write(req, kSize) == kSize;
            int got = 0;
            while (done && got < kSize) {
                const int r = net->Read(rsp + got, kSize - got, 0);
                done = r > 0;
                got += r > 0 ? r : 0;
            }
            done = com->Write(req, kSize) == kSize && done;
            allocs += kxbench::Allocations() - a0;
            ok = ok && done;
        });
        fresh.join();
        unsigned char drain[4096];
        while (read(master, drain, sizeof drain) > 0) {
        }
        if (!ok) {
            state.SkipWithError("transfer failed");
            break;
        }
    }
    net->Close();
    com->Close();
    lib.freeManager(mgr);
    close(holder);
    close(master);
    state.counters["allocs_per_thread"] =
        benchmark::Counter(static_cast<double>(allocs), benchmark::Counter::kAvgIterations);
}

}  // namespace

BENCHMARK(BM_FreshThreadTransfers)->Iterations(200)->Repetitions(1)->UseRealTime();
