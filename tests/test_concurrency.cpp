// Several host threads, each with its own channel, transferring at once:
// every transfer formats its dump, so the dump buffers must never be shared.
// Threads sharing one channel through Lock, real-time priorities included.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <sched.h>
#include <sys/wait.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "SerCom.h"
#include "SerNet.h"
#include "kxSerExt.h"
#include "kxnet.h"
#include "kxtest.h"
#include "serial_pty.h"

namespace {

const int kRounds = 200;

// Echoes whatever arrives on `fd` until told to stop.
void Echo(int fd, const std::atomic<bool>& stop) {
    char buf[512];
    while (!stop) {
        if (!kxtest::WaitReadable(fd, 20)) continue;
        ssize_t n = read(fd, buf, sizeof buf);
        if (n <= 0) break;
        if (!kxtest::WriteAll(fd, buf, static_cast<int>(n))) break;
    }
}

// Sends distinct blocks and checks each echo, `rounds` times.
int RunExchanges(ISerBase* ch, unsigned char tag, int rounds = kRounds) {
    int bad = 0;
    for (int round = 0; round < rounds; ++round) {
        unsigned char out[48], in[48];
        for (int i = 0; i < 48; ++i) out[i] = static_cast<unsigned char>(tag + round + i) | 1;
        if (ch->Write(out, 48) != 48) {
            ++bad;
            continue;
        }
        int got = 0;
        while (got < 48) {
            int r = ch->Read(in + got, 48 - got, 2000);
            if (r <= 0) break;
            got += r;
        }
        if (got != 48 || memcmp(in, out, 48) != 0) ++bad;
        // What the log line just carried must be this thread's own block.
        std::string expect;
        for (int i = 0; i < 48; ++i) expect += kxtest::Hex(&out[i], 1);
        if (expect != BufToHexStr(out, 48, 1)) ++bad;
    }
    return bad;
}

TEST(Concurrency, ChannelsOnSeveralThreadsDumpTheirOwnTraffic) {
    std::atomic<bool> stop{false};
    std::vector<std::thread> peers;

    // Two serial channels over ptys.
    kxtest::SerialLine lineA, lineB;
    std::unique_ptr<CSerCom> serialA = kxtest::OpenChannel(lineA.Def("115200,N,8,1"));
    std::unique_ptr<CSerCom> serialB = kxtest::OpenChannel(lineB.Def("115200,N,8,1"));
    ASSERT_TRUE(serialA && serialB);
    peers.emplace_back(Echo, lineA.master(), std::cref(stop));
    peers.emplace_back(Echo, lineB.master(), std::cref(stop));

    // Two TCP channels to loopback echo peers.
    int portA = 0, portB = 0;
    kxtest::UniqueFd listenA = kxnet::Listen(4, &portA);
    kxtest::UniqueFd listenB = kxnet::Listen(4, &portB);
    std::vector<std::unique_ptr<CSerNet>> nets;
    std::vector<kxtest::UniqueFd> accepted;
    {
        kxtest::StdoutCapture quiet;
        for (auto pl : {std::make_pair(&listenA, portA), std::make_pair(&listenB, portB)}) {
            nets.emplace_back(new CSerNet(kxnet::Def("127.0.0.1", pl.second).c_str()));
            ASSERT_EQ(nets.back()->Open(nullptr), 1);
            accepted.push_back(kxnet::Accept(pl.first->get(), 5000));
            ASSERT_TRUE(accepted.back());
        }
    }
    for (auto& fd : accepted) peers.emplace_back(Echo, fd.get(), std::cref(stop));

    std::vector<int> bad(4, -1);
    ISerBase* channels[4] = {serialA.get(), serialB.get(), nets[0].get(), nets[1].get()};
    const auto exchangeOnAll = [&] {
        std::vector<std::thread> hosts;
        for (int t = 0; t < 4; ++t)
            hosts.emplace_back([&, t] {
                bad[static_cast<size_t>(t)] = RunExchanges(channels[t], static_cast<unsigned char>(t * 50));
            });
        for (auto& h : hosts) h.join();
    };
    {
        kxtest::StdoutCapture log;  // four threads logging at once
        exchangeOnAll();
        log.Stop();
    }
    for (int t = 0; t < 4; ++t) EXPECT_EQ(bad[static_cast<size_t>(t)], 0) << "channel " << t;
    // Once more into the host's function: every call one whole line, and
    // every dump line its block's length.
    struct Lines {
        long calls = 0, broken = 0;
    } lines;
    ASSERT_EQ(KxSetLog(2, [](void* ctx, const char* text, int len) {
        Lines* l = static_cast<Lines*>(ctx);
        ++l->calls;
        const std::string line(text, static_cast<size_t>(len));
        const bool dump = line.rfind("SEND: ", 0) == 0 || (line.rfind("RECV: ", 0) == 0 && line.size() > 8);
        if (line.find('\n') != line.size() - 1 || (dump && line.size() % 3 != 2)) ++l->broken;
    }, &lines), 1);
    exchangeOnAll();
    KxSetLog(0, nullptr, nullptr);
    EXPECT_GT(lines.calls, 4L * kRounds);
    EXPECT_EQ(lines.broken, 0);
    stop = true;
    for (auto& p : peers) p.join();
    for (int t = 0; t < 4; ++t) EXPECT_EQ(bad[static_cast<size_t>(t)], 0) << "channel " << t;
    serialA->Close();
    serialB->Close();
    for (auto& n : nets) n->Close();
}

// A daemon host that closed its standard output: a channel's descriptor
// would take number 1 and the log would go to the peer, which echoes it back
// into the exchanges. A serial and then a TCP channel, each on its own.
TEST(Concurrency, HostWithStandardOutputClosedSendsOnlyPayload) {
    std::atomic<bool> stop{false};
    kxtest::SerialLine line;
    int port = 0;
    kxtest::UniqueFd listener = kxnet::Listen(1, &port);
    std::vector<std::thread> peers;
    const std::string report = kxtest::InChild(
        [&] {
            close(STDOUT_FILENO);
            CSerCom serial(line.Def("115200,N,8,1").c_str());
            CSerNet net(kxnet::Def("127.0.0.1", port).c_str());
            std::string bad;
            for (ISerBase* ch : {static_cast<ISerBase*>(&serial), static_cast<ISerBase*>(&net)}) {
                if (ch->Open(nullptr) != 1 || RunExchanges(ch, 7, 1000) != 0) bad += ch->GetNote();
                ch->Close();
            }
            return bad;
        },
        [&] {
            peers.emplace_back(Echo, line.master(), std::cref(stop));
            peers.emplace_back([&] {
                kxtest::UniqueFd conn = kxnet::Accept(listener.get(), 30000);
                if (conn) Echo(conn.get(), stop);
            });
        });
    stop = true;
    // An echo of log text that no host reads any more must not hold the peer.
    tcflush(line.holder.get(), TCIFLUSH);
    for (std::thread& p : peers) p.join();
    EXPECT_EQ(report, "");
}

// Holder at SCHED_FIFO 10 in a 0.4 s serial Read, waiter at SCHED_FIFO 20,
// both on one CPU, as on a single-core device: a waiter that only spun
// would never let the holder run to its Unlock. In a child with an alarm,
// so a regression ends as a failure, not a stalled CPU.
std::string PriorityInversionRounds(int rounds) {
    cpu_set_t one;
    CPU_ZERO(&one);
    CPU_SET(0, &one);
    if (sched_setaffinity(0, sizeof one, &one) != 0) return "SKIP: cannot pin to CPU 0";
    sched_param low = {}, high = {};
    low.sched_priority = 10;
    high.sched_priority = 20;
    if (pthread_setschedparam(pthread_self(), SCHED_FIFO, &low) != 0)
        return "SKIP: SCHED_FIFO needs root (CAP_SYS_NICE)";

    kxtest::SerialLine line;
    std::unique_ptr<CSerCom> ch = kxtest::OpenChannel(line.Def("9600,N,8,1"));
    if (!ch) return "the channel did not open";
    kxtest::StdoutToNull quiet;
    std::atomic<int> held{0};
    // Written by one thread each and read after both joins.
    double unlockedAt = 0, gotAt = 0;
    double worstMs = 0, cpuMs = 0, waitedMs = 0;
    for (int r = 0; r < rounds; ++r) {
        held = 0;
        std::thread holder([&] {
            unsigned char buf[9];
            ch->Lock();
            held = 1;
            ch->Read(buf, 9, 1000);  // a silent line: about 0.4 s
            unlockedAt = kxtest::NowMs();
            ch->Unlock();
        });
        // A sleep, not a yield: a yield at real-time priority lets no
        // thread of lower priority run.
        while (held == 0) usleep(100);
        std::thread waiter([&] {
            pthread_setschedparam(pthread_self(), SCHED_FIFO, &high);
            timespec c0, c1;
            clock_gettime(CLOCK_THREAD_CPUTIME_ID, &c0);
            const double start = kxtest::NowMs();
            ch->Lock();
            gotAt = kxtest::NowMs();
            clock_gettime(CLOCK_THREAD_CPUTIME_ID, &c1);
            ch->Unlock();
            // Back to the holder's priority before the thread ends: the
            // sanitizers' runtimes take spin locks of their own at thread
            // exit, which a waiter above a preempted holder would never get.
            pthread_setschedparam(pthread_self(), SCHED_FIFO, &low);
            waitedMs += gotAt - start;
            cpuMs += (c1.tv_sec - c0.tv_sec) * 1e3 + (c1.tv_nsec - c0.tv_nsec) / 1e6;
        });
        holder.join();
        waiter.join();
        if (gotAt - unlockedAt > worstMs) worstMs = gotAt - unlockedAt;
    }
    ch->Close();
    fprintf(stderr, "lock waits: %.0f ms in all, waiter CPU %.1f %%, worst hand-over %.1f ms\n",
            waitedMs, 100.0 * cpuMs / waitedMs, worstMs);
    if (worstMs > 1000) return "the waiter got the lock more than 1 s after Unlock";
    if (cpuMs > 0.5 * waitedMs) return "the waiter burned its CPU while it waited";
    return "";
}

TEST(Concurrency, LockWaiterOfHigherPriorityLetsTheHolderRunOnOneCpu) {
    const std::string report = kxtest::InChild([] { return PriorityInversionRounds(20); });
    if (report.rfind("SKIP: ", 0) == 0) GTEST_SKIP() << report.substr(6);
    EXPECT_EQ(report, "");
}

// A polling thread that re-locks 50 us after each Unlock and holds 20 ms:
// a waiter must get the lock at the next Unlock, not when it happens to
// win a race it always loses.
TEST(Concurrency, LockGoesToTheWaiterAtTheNextUnlock) {
    CSerCom ch(3);
    std::atomic<bool> stop{false}, holding{false};
    std::thread holder([&] {
        while (!stop) {
            ch.Lock();
            holding = true;
            usleep(20000);
            ch.Unlock();
            usleep(50);
        }
    });
    // IsBusy is read without the lock, here beside both threads (ThreadSanitizer).
    std::atomic<long> busySeen{0};
    std::thread watcher([&] {
        // Not a hot loop: under valgrind one thread runs at a time.
        for (; !stop; usleep(200)) busySeen += ch.IsBusy() ? 1 : 0;
    });
    const int rounds = 20;
    double worstMs = 0, allMs = 0;
    for (int r = 0; r < rounds; ++r) {
        while (!holding) usleep(100);
        const double start = kxtest::NowMs();
        ch.Lock();
        const double waited = kxtest::NowMs() - start;
        holding = false;
        ch.Unlock();
        allMs += waited;
        if (waited > worstMs) worstMs = waited;
        usleep(5000);
    }
    stop = true;
    holder.join();
    watcher.join();
    EXPECT_GT(busySeen.load(), 0);
    fprintf(stderr, "lock hand-over behind 20 ms holds: mean %.1f ms, worst %.1f ms\n", allMs / rounds,
            worstMs);
    // About one hold; twelve leave room for a loaded machine, valgrind and qemu.
    EXPECT_LT(worstMs, 250.0) << "the waiter lost the lock to a holder that re-locked";
}

// A host's slips: one Unlock too many, and a fork while a second thread
// waits (its ticket is never served in the child). The child's calls run
// under an alarm, so a hang ends as a failure.
TEST(Concurrency, LockSurvivesAStrayUnlockAndAFork) {
    CSerCom ch(4);
    ch.Lock();
    // A thread of pthread's own: a std::thread's state on the heap would be
    // the child's leak (valgrind follows the fork).
    struct Waiter {
        CSerCom* ch;
        std::atomic<bool> got{false};
    } w;
    w.ch = &ch;
    pthread_t waiter;
    ASSERT_EQ(pthread_create(&waiter, nullptr, [](void* arg) -> void* {
        Waiter* self = static_cast<Waiter*>(arg);
        self->ch->Lock();
        self->got = true;
        self->ch->Unlock();
        return nullptr;
    }, &w), 0);
    while ((__atomic_load_n(reinterpret_cast<volatile unsigned*>(&ch.m_lock), __ATOMIC_ACQUIRE) >> 16) < 2) usleep(100);
    fflush(stdout);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        alarm(20);
        ch.Unlock();
        ch.Lock();  // the parent's waiter is not queued here
        const bool busy = ch.IsBusy();
        ch.Unlock();
        ch.Unlock();  // one too many
        ch.Lock();
        ch.Unlock();
        kxtest::ExitChild(busy && !ch.IsBusy() ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "the child's Lock hung or failed: " << status;
    EXPECT_FALSE(w.got.load());
    ch.Unlock();
    pthread_join(waiter, nullptr);
    EXPECT_TRUE(w.got.load()) << "the parent's waiter is served as before";
    EXPECT_FALSE(ch.IsBusy());
}

}  // namespace
