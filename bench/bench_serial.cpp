// Bulk transfer through a pty pair: the serial channel's Write against a raw
// reader on the master, and a raw writer on the master against the channel's
// Read with buffer-full reads. Each iteration does the same transfer once
// through the channel and once with plain write/read on the same descriptor,
// so both see the same line; which goes first alternates, since the first
// call after the helper thread's turn pays for waking it. The benchmark's
// time is the channel's; the counters give channel/raw and heap allocations
// per channel call. The library's log goes to /dev/null while it runs.
#include <benchmark/benchmark.h>

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "SerCom.h"
#include "alloc_count.h"
#include "quiet_stdout.h"

namespace {

using Clock = std::chrono::steady_clock;

double Seconds(Clock::time_point a, Clock::time_point b) {
    return std::chrono::duration<double>(b - a).count();
}

// Sends standard output to /dev/null for its lifetime.
using kxbench::QuietStdout;

// A pty whose slave the channel opens through its port name; a helper thread
// works the master (non-blocking, so it notices the stop flag).
struct Line {
    int master = -1;
    int holder = -1;
    CSerCom* ch = nullptr;
    std::atomic<bool> stop{false};
    std::thread helper;
    // The helper's buffer, allocated here: an allocation in the helper thread
    // would land in the process-wide count of the channel's first calls.
    std::vector<unsigned char> scratch;

    bool Open(const char* settings = "115200,N,8,1") {
        scratch.resize(65536);
        for (size_t i = 0; i < scratch.size(); ++i)
            scratch[i] = static_cast<unsigned char>(i % 255 + 1);
        master = posix_openpt(O_RDWR | O_NOCTTY);
        if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) return false;
        const std::string slave = ptsname(master);
        holder = open(slave.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
        ch = new CSerCom((slave.substr(5) + ":" + settings).c_str());  // "pts/<n>:..."
        if (ch->Open(nullptr) != 1) return false;
        return fcntl(master, F_SETFL, O_NONBLOCK) == 0;
    }
    void Start(void (*work)(Line*)) { helper = std::thread(work, this); }
    ~Line() {
        stop = true;
        if (helper.joinable()) helper.join();
        if (ch != nullptr) {
            ch->Close();
            delete ch;
        }
        if (holder >= 0) close(holder);
        if (master >= 0) close(master);
    }
};

void Drain(Line* line) {
    struct pollfd p = {line->master, POLLIN, 0};
    while (!line->stop) {
        if (poll(&p, 1, 50) > 0) {
            const ssize_t n = read(line->master, line->scratch.data(), line->scratch.size());
            benchmark::DoNotOptimize(n);
        }
    }
}

// Never 0x00, so no block starts with a byte that Read drops.
std::vector<unsigned char> Pattern(size_t len) {
    std::vector<unsigned char> v(len);
    for (size_t i = 0; i < len; ++i) v[i] = static_cast<unsigned char>(i % 255 + 1);
    return v;
}

void Feed(Line* line) {
    struct pollfd p = {line->master, POLLOUT, 0};
    while (!line->stop) {
        if (poll(&p, 1, 50) > 0) {
            const ssize_t n = write(line->master, line->scratch.data(), 4096);
            benchmark::DoNotOptimize(n);
        }
    }
}

// One channel transfer and one raw transfer, timed; false when either fell short.
template <class Channel, class Raw>
bool Turn(Channel& viaChannel, Raw& viaRaw, bool channelFirst, double& channel, double& raw,
          uint64_t& allocs, benchmark::State& state) {
    bool ok = true;
    Clock::time_point r0, r1;
    if (!channelFirst) {
        r0 = Clock::now();
        ok = viaRaw();
        r1 = Clock::now();
    }
    const uint64_t a0 = kxbench::Allocations();
    const Clock::time_point c0 = Clock::now();
    ok = viaChannel() && ok;
    const Clock::time_point c1 = Clock::now();
    allocs += kxbench::Allocations() - a0;
    if (channelFirst) {
        r0 = Clock::now();
        ok = viaRaw() && ok;
        r1 = Clock::now();
    }
    channel += Seconds(c0, c1);
    raw += Seconds(r0, r1);
    state.SetIterationTime(Seconds(c0, c1));
    return ok;
}

void Report(benchmark::State& state, double channel, double raw, uint64_t allocs) {
    state.counters["channel_per_raw"] = raw > 0 ? channel / raw : 0;
    state.counters["allocs_per_call"] =
        benchmark::Counter(static_cast<double>(allocs), benchmark::Counter::kAvgIterations);
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
}

void BM_SerialWrite(benchmark::State& state) {
    QuietStdout quiet;
    Line line;
    if (!line.Open()) {
        state.SkipWithError("cannot open the pty channel");
        return;
    }
    line.Start(Drain);
    const int len = static_cast<int>(state.range(0));
    const std::vector<unsigned char> block = Pattern(static_cast<size_t>(len));
    const int fd = line.ch->GetHandle();
    auto viaChannel = [&] { return line.ch->Write(block.data(), len) == len; };
    auto viaRaw = [&] { return write(fd, block.data(), block.size()) == len; };
    viaChannel();  // first-use costs of stdio and the dump buffer stay out
    double channel = 0, raw = 0;
    uint64_t allocs = 0;
    bool channelFirst = true;
    for (auto _ : state) {
        if (!Turn(viaChannel, viaRaw, channelFirst, channel, raw, allocs, state)) {
            state.SkipWithError("short write");
            break;
        }
        channelFirst = !channelFirst;
    }
    Report(state, channel, raw, allocs);
}
BENCHMARK(BM_SerialWrite)->Arg(256)->Arg(4096)->UseManualTime();

void BM_SerialRead(benchmark::State& state) {
    QuietStdout quiet;
    Line line;
    if (!line.Open()) {
        state.SkipWithError("cannot open the pty channel");
        return;
    }
    line.Start(Feed);
    const int len = static_cast<int>(state.range(0));
    std::vector<unsigned char> buf(static_cast<size_t>(len));
    const int fd = line.ch->GetHandle();
    auto viaChannel = [&] { return line.ch->Read(buf.data(), len, 0) == len; };
    auto viaRaw = [&] {
        int got = 0;
        while (got < len) {
            const ssize_t k = read(fd, buf.data() + got, static_cast<size_t>(len - got));
            if (k <= 0) break;
            got += static_cast<int>(k);
        }
        return got == len;
    };
    viaChannel();
    double channel = 0, raw = 0;
    uint64_t allocs = 0;
    bool channelFirst = true;
    for (auto _ : state) {
        if (!Turn(viaChannel, viaRaw, channelFirst, channel, raw, allocs, state)) {
            state.SkipWithError("short read");
            break;
        }
        channelFirst = !channelFirst;
    }
    Report(state, channel, raw, allocs);
}
BENCHMARK(BM_SerialRead)->Arg(256)->Arg(4096)->UseManualTime();

// A Modbus-like master: 8 bytes out, a 9-byte reply back, Read(buf, 256, 0).
// With gap=N the Read ends N ms after the reply; the raw loop writes and
// reads until N ms of silence. Without a gap the Read ends at the terminal's
// 0.2 s timer. after_last_byte_ms: from the peer's last write to the Read's
// return.
std::atomic<long long> lastReplyNs{0};

long long NowNs() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch()).count();
}

void Answer(Line* line) {
    struct pollfd p = {line->master, POLLIN, 0};
    unsigned char req[8];
    const unsigned char reply[9] = {1, 3, 4, 0, 10, 0, 20, 0x7b, 0x2c};
    int got = 0;
    while (!line->stop) {
        if (poll(&p, 1, 50) <= 0) continue;
        const ssize_t n = read(line->master, req + got, sizeof req - static_cast<size_t>(got));
        if (n <= 0) continue;
        got += static_cast<int>(n);
        if (got < 8) continue;
        got = 0;
        const ssize_t w = write(line->master, reply, sizeof reply);
        benchmark::DoNotOptimize(w);
        lastReplyNs = NowNs();
    }
}

void BM_ModbusExchange(benchmark::State& state) {
    QuietStdout quiet;
    Line line;
    const int gapMs = static_cast<int>(state.range(0));
    const std::string settings = "9600,E,8,1" + (gapMs > 0 ? ",gap=" + std::to_string(gapMs) : std::string());
    if (!line.Open(settings.c_str())) {
        state.SkipWithError("cannot open the pty channel");
        return;
    }
    line.Start(Answer);
    const unsigned char req[8] = {1, 3, 0, 0, 0, 2, 0xc4, 0x0b};
    unsigned char buf[256];
    const int fd = line.ch->GetHandle();
    double afterLastMs = 0;
    auto viaChannel = [&] {
        if (line.ch->Write(req, 8) != 8) return false;
        const int n = line.ch->Read(buf, 256, 0);
        afterLastMs += static_cast<double>(NowNs() - lastReplyNs.load()) / 1e6;
        return n == 9;
    };
    auto viaRaw = [&] {
        if (write(fd, req, 8) != 8) return false;
        int got = 0;
        struct pollfd p = {fd, POLLIN, 0};
        while (poll(&p, 1, got == 0 ? 1000 : (gapMs > 0 ? gapMs : 200)) > 0) {
            const ssize_t k = read(fd, buf + got, sizeof buf - static_cast<size_t>(got));
            if (k <= 0) break;
            got += static_cast<int>(k);
        }
        return got == 9;
    };
    viaChannel();
    afterLastMs = 0;
    double channel = 0, raw = 0;
    uint64_t allocs = 0;
    bool channelFirst = true;
    for (auto _ : state) {
        if (!Turn(viaChannel, viaRaw, channelFirst, channel, raw, allocs, state)) {
            state.SkipWithError("short reply");
            break;
        }
        channelFirst = !channelFirst;
    }
    state.counters["channel_per_raw"] = raw > 0 ? channel / raw : 0;
    state.counters["after_last_byte_ms"] = afterLastMs / static_cast<double>(state.iterations());
}
BENCHMARK(BM_ModbusExchange)->Arg(5)->UseManualTime();
BENCHMARK(BM_ModbusExchange)->Arg(0)->Iterations(10)->Repetitions(1)->UseManualTime();

}  // namespace
