// Several host threads, each with its own channel, transferring at once:
// every transfer formats its dump, so the dump buffers must never be shared.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
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

// Sends distinct blocks and checks each echo, `kRounds` times.
int RunExchanges(ISerBase* ch, unsigned char tag) {
    int bad = 0;
    for (int round = 0; round < kRounds; ++round) {
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
    {
        kxtest::StdoutCapture log;  // four threads logging at once
        std::vector<std::thread> hosts;
        ISerBase* channels[4] = {serialA.get(), serialB.get(), nets[0].get(), nets[1].get()};
        for (int t = 0; t < 4; ++t)
            hosts.emplace_back([&, t] {
                bad[static_cast<size_t>(t)] = RunExchanges(channels[t], static_cast<unsigned char>(t * 50));
            });
        for (auto& h : hosts) h.join();
        log.Stop();
    }
    stop = true;
    for (auto& p : peers) p.join();
    for (int t = 0; t < 4; ++t) EXPECT_EQ(bad[static_cast<size_t>(t)], 0) << "channel " << t;
    serialA->Close();
    serialB->Close();
    for (auto& n : nets) n->Close();
}

}  // namespace
