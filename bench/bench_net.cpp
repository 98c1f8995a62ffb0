// Network channel against the same exchanges done with raw system calls:
// 64-byte request/response over loopback TCP and UDP with an echo peer on a
// thread, and connection set-up. Channel and raw exchanges alternate within
// one run so load on the machine hits both alike; `ratio` is channel/raw.
// For the exchanges the caller and the echo peer are pinned to one core, so
// every round trip has the same shape (no cross-core wake-ups). The TCP
// exchange runs with the log on standard output (sent to /dev/null), with
// the log off (KxSetLog(1)) and with a host function that counts the lines.
#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sched.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <vector>
#include <algorithm>
#include <cstdlib>

#include "SerNet.h"
#include "kxSerExt.h"
#include "alloc_count.h"
#include "echo_peer.h"
#include "quiet_stdout.h"

namespace {

const int kSize = 64;

double NowNs() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<double>(ts.tv_sec) * 1e9 + static_cast<double>(ts.tv_nsec);
}

using kxbench::EchoPeer;
using kxbench::Loopback;
using kxbench::PinnedThread;
using kxbench::QuietStdout;

bool RawExchange(int fd, const unsigned char* req, unsigned char* rsp) {
    if (send(fd, req, kSize, MSG_NOSIGNAL) != kSize) return false;
    int got = 0;
    while (got < kSize) {
        pollfd p{fd, POLLIN | POLLPRI, 0};
        if (poll(&p, 1, 10 * (kSize - got) + 1000) <= 0) return false;
        ssize_t r = recv(fd, rsp + got, static_cast<size_t>(kSize - got), 0);
        if (r <= 0) return false;
        got += static_cast<int>(r);
    }
    return true;
}

bool ChannelExchange(CSerNet& ch, const unsigned char* req, unsigned char* rsp) {
    if (ch.Write(req, kSize) != kSize) return false;
    int got = 0;
    while (got < kSize) {
        int r = ch.Read(rsp + got, kSize - got, 0);
        if (r <= 0) return false;
        got += r;
    }
    return true;
}

void CountLine(void* ctx, const char*, int) { ++*static_cast<long*>(ctx); }

void Exchange64(benchmark::State& state, int type, int logMode = 0) {
    const int cpu = sched_getcpu();
    PinnedThread pin(cpu);
    EchoPeer echo(type, cpu);
    QuietStdout quiet;
    const std::string def =
        std::string(type == SOCK_DGRAM ? "u" : "") + "127.0.0.1:" + std::to_string(echo.port());
    CSerNet ch(def.c_str());
    long lines = 0;
    KxSetLog(logMode, logMode == 2 ? CountLine : nullptr, &lines);
    int raw = socket(AF_INET, type, 0);
    sockaddr_in peer = Loopback(echo.port());
    int on = 1;
    if (type == SOCK_STREAM) setsockopt(raw, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    if (ch.Open(nullptr) != 1 ||
        connect(raw, reinterpret_cast<sockaddr*>(&peer), sizeof peer) != 0) {
        state.SkipWithError("cannot reach the echo peer");
        close(raw);
        return;
    }
    unsigned char req[kSize], rsp[kSize];
    for (int i = 0; i < kSize; ++i) req[i] = static_cast<unsigned char>(i * 7);
    double chNs = 0, rawNs = 0;
    uint64_t allocs = 0;
    // Which goes first alternates: the second exchange of a turn may find the
    // echo thread still awake and skip its wake-up.
    bool channelFirst = true;
    for (auto _ : state) {
        bool okRaw = true;
        double r0 = 0;
        if (!channelFirst) {
            r0 = NowNs();
            okRaw = RawExchange(raw, req, rsp);
            rawNs += NowNs() - r0;
        }
        const uint64_t a0 = kxbench::Allocations();
        const double t0 = NowNs();
        const bool okCh = ChannelExchange(ch, req, rsp);
        const double t1 = NowNs();
        allocs += kxbench::Allocations() - a0;
        chNs += t1 - t0;
        if (channelFirst) {
            r0 = NowNs();
            okRaw = RawExchange(raw, req, rsp);
            rawNs += NowNs() - r0;
        }
        channelFirst = !channelFirst;
        if (!okCh || !okRaw) {
            state.SkipWithError("exchange failed");
            break;
        }
    }
    ch.Close();
    close(raw);
    KxSetLog(0, nullptr, nullptr);
    const double n = static_cast<double>(state.iterations());
    if (n > 0) {
        state.counters["channel_us"] = chNs / n / 1e3;
        state.counters["raw_us"] = rawNs / n / 1e3;
        state.counters["ratio"] = rawNs > 0 ? chNs / rawNs : 0;
        state.counters["allocs_per_xfer"] = static_cast<double>(allocs) / n;
        if (logMode == 2) state.counters["lines_per_xfer"] = static_cast<double>(lines) / n;
    }
}

void BM_Exchange64Tcp(benchmark::State& state) { Exchange64(state, SOCK_STREAM); }
void BM_Exchange64TcpLogOff(benchmark::State& state) { Exchange64(state, SOCK_STREAM, 1); }
void BM_Exchange64TcpLogToHost(benchmark::State& state) { Exchange64(state, SOCK_STREAM, 2); }

// Individual TCP round trips, channel and raw alternating, for the latency
// distribution; with KXSER_RTT_SAMPLES set, one line "channel_us raw_us" per
// pair goes to that file.
void BM_TcpRttSamples(benchmark::State& state) {
    const int kSamples = 20000, kWarmUp = 200;
    std::vector<double> chUs(kSamples), rawUs(kSamples);
    EchoPeer echo(SOCK_STREAM);
    bool ok = true;
    {
        QuietStdout quiet;
        const std::string def = "127.0.0.1:" + std::to_string(echo.port());
        CSerNet ch(def.c_str());
        int raw = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in peer = Loopback(echo.port());
        int on = 1;
        setsockopt(raw, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
        if (ch.Open(nullptr) != 1 ||
            connect(raw, reinterpret_cast<sockaddr*>(&peer), sizeof peer) != 0) {
            ok = false;
        }
        unsigned char req[kSize], rsp[kSize];
        for (int i = 0; i < kSize; ++i) req[i] = static_cast<unsigned char>(i * 7);
        for (auto _ : state) {
            for (int i = -kWarmUp; ok && i < kSamples; ++i) {
                const bool channelFirst = (i & 1) == 0;
                double c = 0, r = 0;
                for (int k = 0; k < 2; ++k) {
                    const bool doChannel = (k == 0) == channelFirst;
                    const double t0 = NowNs();
                    ok = (doChannel ? ChannelExchange(ch, req, rsp) : RawExchange(raw, req, rsp)) && ok;
                    (doChannel ? c : r) = (NowNs() - t0) / 1e3;
                }
                if (i >= 0) {
                    chUs[static_cast<size_t>(i)] = c;
                    rawUs[static_cast<size_t>(i)] = r;
                }
            }
        }
        ch.Close();
        close(raw);
    }
    if (!ok) {
        state.SkipWithError("exchange failed");
        return;
    }
    if (const char* out = getenv("KXSER_RTT_SAMPLES")) {
        FILE* f = fopen(out, "w");
        if (f != nullptr) {
            for (int i = 0; i < kSamples; ++i) fprintf(f, "%.3f %.3f\n", chUs[i], rawUs[i]);
            fclose(f);
        }
    }
    std::sort(chUs.begin(), chUs.end());
    std::sort(rawUs.begin(), rawUs.end());
    state.counters["channel_p50_us"] = chUs[kSamples / 2];
    state.counters["raw_p50_us"] = rawUs[kSamples / 2];
    state.counters["channel_p99_us"] = chUs[kSamples * 99 / 100];
    state.counters["raw_p99_us"] = rawUs[kSamples * 99 / 100];
}
void BM_Exchange64Udp(benchmark::State& state) { Exchange64(state, SOCK_DGRAM); }

// Open to a listening peer (non-blocking connect and its wait) against a
// plain blocking connect; both close again at once.
void BM_OpenTcp(benchmark::State& state) {
    EchoPeer echo(SOCK_STREAM);
    QuietStdout quiet;
    const std::string def = "127.0.0.1:" + std::to_string(echo.port());
    CSerNet ch(def.c_str());
    const sockaddr_in peer = Loopback(echo.port());
    double chNs = 0, rawNs = 0;
    for (auto _ : state) {
        const double t0 = NowNs();
        const int opened = ch.Open(nullptr);
        ch.Close();
        const double t1 = NowNs();
        int fd = socket(AF_INET, SOCK_STREAM, 0);
        const int rc = connect(fd, reinterpret_cast<const sockaddr*>(&peer), sizeof peer);
        close(fd);
        rawNs += NowNs() - t1;
        chNs += t1 - t0;
        if (opened != 1 || rc != 0) {
            state.SkipWithError("connect failed");
            break;
        }
    }
    const double n = static_cast<double>(state.iterations());
    if (n > 0) {
        state.counters["channel_us"] = chNs / n / 1e3;
        state.counters["raw_us"] = rawNs / n / 1e3;
        state.counters["ratio"] = rawNs > 0 ? chNs / rawNs : 0;
    }
}

}  // namespace

BENCHMARK(BM_Exchange64Tcp)->MinTime(0.3)->UseRealTime();
BENCHMARK(BM_Exchange64TcpLogOff)->MinTime(0.3)->UseRealTime();
BENCHMARK(BM_Exchange64TcpLogToHost)->MinTime(0.3)->UseRealTime();
BENCHMARK(BM_Exchange64Udp)->MinTime(0.3)->UseRealTime();
// Bounded count: every round leaves sockets in TIME_WAIT.
BENCHMARK(BM_OpenTcp)->Iterations(1000)->Repetitions(1)->UseRealTime();
BENCHMARK(BM_TcpRttSamples)->Iterations(1)->Repetitions(1)->UseRealTime();
