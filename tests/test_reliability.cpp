// Load and fault behaviour: many channels against peers that die and come
// back, thousands of open/close cycles, a line that hangs up mid-read.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "SerCom.h"
#include "SerManager.h"
#include "SerNet.h"
#include "kxtest.h"
#include "serial_pty.h"

namespace {

using LogToNull = kxtest::StdoutToNull;

void RaiseFdLimit() {
    struct rlimit rl;
    if (getrlimit(RLIMIT_NOFILE, &rl) == 0 && rl.rlim_cur < rl.rlim_max) {
        rl.rlim_cur = rl.rlim_max;
        setrlimit(RLIMIT_NOFILE, &rl);
    }
}

int ListenOn(int port) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int on = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in a = {};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(static_cast<uint16_t>(port));
    if (bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || listen(fd, 512) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

int PortOf(int fd) {
    sockaddr_in a = {};
    socklen_t len = sizeof a;
    getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
    return ntohs(a.sin_port);
}

// Echo peers on loopback, served by one poll loop. Every `killEveryMs` one
// peer dies (listener and its connections closed) and comes back on the
// same port `downMs` later.
class EchoPeers {
public:
    EchoPeers(int count, int killEveryMs, int downMs)
        : killEveryMs_(killEveryMs), downMs_(downMs) {
        // Below the ephemeral range (32768 and up): a channel reconnecting
        // to a dead peer on an ephemeral port could connect to itself (TCP
        // simultaneous open) and then hold the port the peer must reclaim.
        int candidate = 20000 + static_cast<int>(getpid() % 5000) * 2;
        for (int i = 0; i < count; ++i) {
            Peer p;
            for (; p.listener < 0 && candidate < 32000; ++candidate) p.listener = ListenOn(candidate);
            p.port = PortOf(p.listener);
            peers_.push_back(p);
        }
        thread_ = std::thread([this] { Run(); });
    }
    ~EchoPeers() {
        stop_ = true;
        thread_.join();
        for (Peer& p : peers_) Kill(p);
    }
    int port(int i) const { return peers_[static_cast<size_t>(i)].port; }
    int kills() const { return kills_; }
    // Stops the killing and brings every peer back.
    void Settle() { settle_ = true; }

private:
    struct Peer {
        int listener = -1;
        int port = 0;
        std::vector<int> conns;
        double downUntil = 0;
    };

    void Kill(Peer& p) {
        if (p.listener >= 0) close(p.listener);
        p.listener = -1;
        for (int c : p.conns) close(c);
        p.conns.clear();
    }

    void Run() {
        double nextKill = kxtest::NowMs() + killEveryMs_;
        size_t victim = 0;
        while (!stop_) {
            const double now = kxtest::NowMs();
            for (Peer& p : peers_)
                if (p.listener < 0 && (settle_ || now >= p.downUntil)) p.listener = ListenOn(p.port);
            if (!settle_ && killEveryMs_ > 0 && now >= nextKill) {
                Peer& p = peers_[victim++ % peers_.size()];
                Kill(p);
                p.downUntil = now + downMs_;
                ++kills_;
                nextKill = now + killEveryMs_;
            }
            std::vector<pollfd> fds;
            std::vector<std::pair<size_t, int>> owner;  // peer, connection index (-1: listener)
            for (size_t i = 0; i < peers_.size(); ++i) {
                if (peers_[i].listener >= 0) {
                    fds.push_back({peers_[i].listener, POLLIN, 0});
                    owner.push_back({i, -1});
                }
                for (size_t c = 0; c < peers_[i].conns.size(); ++c) {
                    fds.push_back({peers_[i].conns[c], POLLIN, 0});
                    owner.push_back({i, static_cast<int>(c)});
                }
            }
            if (poll(fds.data(), fds.size(), 20) <= 0) continue;
            std::vector<std::pair<size_t, int>> dead;
            for (size_t k = 0; k < fds.size(); ++k) {
                if (fds[k].revents == 0) continue;
                Peer& p = peers_[owner[k].first];
                if (owner[k].second < 0) {
                    int c = accept4(fds[k].fd, nullptr, nullptr, SOCK_CLOEXEC);
                    if (c >= 0) p.conns.push_back(c);
                    continue;
                }
                char buf[4096];
                ssize_t n = recv(fds[k].fd, buf, sizeof buf, 0);
                if (n <= 0 || send(fds[k].fd, buf, static_cast<size_t>(n), MSG_NOSIGNAL) != n)
                    dead.push_back(owner[k]);
            }
            for (auto it = dead.rbegin(); it != dead.rend(); ++it) {
                Peer& p = peers_[it->first];
                close(p.conns[static_cast<size_t>(it->second)]);
                p.conns.erase(p.conns.begin() + it->second);
            }
        }
    }

    std::vector<Peer> peers_;
    std::thread thread_;
    std::atomic<bool> stop_{false};
    std::atomic<bool> settle_{false};
    std::atomic<int> kills_{0};
    const int killEveryMs_;
    const int downMs_;
};

// One request/echo exchange: 1 when the echo matched, 0 when the connection
// was lost on the way (the channel is then closed for IsOpened to reconnect),
// -1 when bytes came back wrong on a live connection.
int Exchange(ISerBase* ch, uint32_t id, uint32_t seq) {
    unsigned char out[8], in[8];
    memcpy(out, &id, 4);
    memcpy(out + 4, &seq, 4);
    if (ch->Write(out, 8) != 8) {
        ch->Close();
        return 0;
    }
    int got = 0;
    while (got < 8) {
        int r = ch->Read(in + got, 8 - got, 2000);
        if (r <= 0) {
            ch->Close();
            return 0;
        }
        got += r;
    }
    return memcmp(in, out, 8) == 0 ? 1 : -1;
}

TEST(Reliability, SoakTwoHundredChannelsWithDyingPeers) {
    RaiseFdLimit();
    const int kChannels = 200;
    const double kSeconds = 20;
    const int baseline = kxtest::CountOpenFds();
    {
        EchoPeers peers(4, 700, 250);
        LogToNull quiet;
        CSerManager* manager = CSerManager::GetInstance();
        std::vector<ISerBase*> channels;
        for (int k = 0; k < kChannels; ++k) {
            std::string def = "127.0.0.1:" + std::to_string(peers.port(k % 4));
            ISerBase* ch = manager->GetSer(def.c_str(), 0x200000 + 1 + k);
            ASSERT_NE(ch, nullptr);
            ASSERT_EQ(ch->GetType(), 0x200000 + 1 + k);
            channels.push_back(ch);
        }
        ASSERT_EQ(manager->m_vecSer.size(), static_cast<size_t>(kChannels));

        std::vector<uint32_t> seq(kChannels, 0);
        long good = 0, lost = 0, wrong = 0;
        const double end = kxtest::NowMs() + kSeconds * 1000;
        while (kxtest::NowMs() < end) {
            for (int k = 0; k < kChannels; ++k) {
                ISerBase* ch = channels[static_cast<size_t>(k)];
                if (!ch->IsOpened()) continue;
                int r = Exchange(ch, static_cast<uint32_t>(k), ++seq[static_cast<size_t>(k)]);
                if (r > 0) ++good;
                else if (r == 0) ++lost;
                else ++wrong;
            }
        }

        peers.Settle();
        int back = 0;
        for (int k = 0; k < kChannels; ++k) {
            ISerBase* ch = channels[static_cast<size_t>(k)];
            bool ok = false;
            for (int attempt = 0; attempt < 50 && !ok; ++attempt) {
                if (ch->IsOpened() && Exchange(ch, static_cast<uint32_t>(k), ++seq[static_cast<size_t>(k)]) == 1)
                    ok = true;
                else
                    usleep(20000);
            }
            if (ok) ++back;
        }
        for (ISerBase* ch : channels) ch->Close();
        CSerManager::FreeInstance();

        EXPECT_EQ(wrong, 0) << "bytes lost or reordered on a live connection";
        EXPECT_GT(good, kChannels * 3L);
        EXPECT_GT(peers.kills(), 2) << "peers were not killed during the soak";
        EXPECT_GT(lost, 0) << "no connection was ever dropped: the faults did not reach the channels";
        EXPECT_EQ(back, kChannels) << "every channel comes back through IsOpened";
        fprintf(stderr, "soak: %ld exchanges, %ld lost to killed peers, %d kills\n", good, lost, peers.kills());
    }
    EXPECT_EQ(kxtest::CountOpenFds(), baseline) << "descriptors leaked";
}

TEST(Reliability, SerialOpenCloseCyclesLeakNothing) {
    const int cycles = 10000;
    kxtest::SerialLine line;
    const int baseline = kxtest::CountOpenFds();
    {
        LogToNull quiet;
        CSerCom ch(line.Def("115200,N,8,1").c_str());
        for (int i = 0; i < cycles; ++i) {
            ASSERT_EQ(ch.Open(nullptr), 1) << "cycle " << i;
            if (i == 0) {
                EXPECT_NE(fcntl(ch.GetHandle(), F_GETFD) & FD_CLOEXEC, 0) << "a host's child would hold the port";
            }
            if (i % 97 == 0) {
                ASSERT_EQ(ch.Open(nullptr), 1) << "reopen while open";
            }
            ASSERT_EQ(ch.Close(), 1);
        }
    }
    EXPECT_EQ(kxtest::CountOpenFds(), baseline);
}

TEST(Reliability, NetworkOpenCloseCyclesLeakNothing) {
    const int cycles = 10000;
    const int baseline = kxtest::CountOpenFds();
    {
        int listener = ListenOn(0);
        ASSERT_GE(listener, 0);
        std::atomic<bool> stop{false};
        std::thread acceptor([&] {
            while (!stop) {
                pollfd p = {listener, POLLIN, 0};
                if (poll(&p, 1, 20) > 0) {
                    int c = accept(listener, nullptr, nullptr);
                    if (c >= 0) close(c);
                }
            }
        });
        LogToNull quiet;
        CSerNet tcp(("127.0.0.1:" + std::to_string(PortOf(listener))).c_str());
        CSerNet udp(("u127.0.0.1:" + std::to_string(PortOf(listener))).c_str());
        // Opening a broadcast channel sends nothing.
        CSerNet broadcast(("b:" + std::to_string(PortOf(listener))).c_str());
        int failures = 0;
        for (int i = 0; i < cycles; ++i) {
            // Connections are closed by this side first, so each cycle leaves a
            // TIME_WAIT behind; alternate with UDP to stay far from port exhaustion.
            CSerNet& ch = i == 2 ? broadcast : i % 2 == 0 ? tcp : udp;
            if (ch.Open(nullptr) != 1) ++failures;
            if (i < 3) {
                // A host's child must not keep the peer's connection alive.
                EXPECT_NE(fcntl(ch.GetHandle(), F_GETFD) & FD_CLOEXEC, 0) << ch.GetNote();
            }
            ch.Close();
        }
        stop = true;
        acceptor.join();
        close(listener);
        EXPECT_EQ(failures, 0);
    }
    EXPECT_EQ(kxtest::CountOpenFds(), baseline);
}

TEST(Reliability, HangUpMidReadEndsTheReadCleanly) {
    kxtest::SerialLine line;
    std::unique_ptr<CSerCom> ch = kxtest::OpenChannel(line.Def("115200,N,8,1"));
    ASSERT_NE(ch, nullptr);
    int result = -2;
    unsigned char buf[16] = {};
    double took = 0;
    {
        kxtest::StdoutCapture log;
        // The bytes must have reached the line before the reader starts: a
        // pty hands them over in a kernel work item, and a hang-up discards
        // what is still in flight, so "nothing queued" is only meaningful
        // once they were queued.
        ASSERT_TRUE(kxtest::WriteAll(line.master(), "\x41\x42", 2));
        ASSERT_TRUE(kxtest::WaitInputQueued(line.holder.get(), 2, 10000));
        std::thread reader([&] {
            double start = kxtest::NowMs();
            // -1000: the pass count never runs out, only a full buffer or a
            // failed read can end this Read.
            result = ch->Read(buf, sizeof buf, -1000);
            took = kxtest::NowMs() - start;
        });
        // Wait until the channel has taken the bytes, then hang up the line.
        for (int i = 0; i < 500 && kxtest::InputQueued(line.holder.get()) != 0; ++i) usleep(10000);
        usleep(50000);
        line.pty.master.reset();
        reader.join();
        EXPECT_EQ(log.Stop(), "RECV: 41 42 \r\n");
    }
    EXPECT_EQ(result, 2);
    EXPECT_EQ(memcmp(buf, "AB", 2), 0);
    EXPECT_LT(took, 10000) << "the read must end when the line hangs up";
    // The hang-up released the device: every later call is the closed
    // channel's, and silent.
    EXPECT_EQ(ch->IsOpened(), 0);
    EXPECT_EQ(ch->GetHandle(), -1);
    {
        kxtest::StdoutCapture log;
        EXPECT_EQ(ch->Read(buf, sizeof buf, -1000), -1);
        EXPECT_EQ(ch->Write(buf, 2), -1);
        EXPECT_EQ(log.Stop(), "");
    }
    EXPECT_EQ(ch->Close(), 1);
}

}  // namespace
