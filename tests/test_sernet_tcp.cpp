// Network channel in TCP mode against peers on loopback.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <climits>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "SerNet.h"
#include "kxSerExt.h"
#include "kxnet.h"
#include "kxsock.h"
#include "kxtest.h"

using kxtest::UniqueFd;

namespace {

const char kConnectFailed[] = "CSerNet::Open ERROR: Failed to connect to the host!\n";
const char kConnected[] = "OK: Have connected to the 127.0.0.1\n";
const int kWaitMs = 10000;  // bound on every wait for a peer event

std::unique_ptr<CSerNet> Channel(const std::string& def) {
    kxtest::StdoutCapture quiet;
    return std::unique_ptr<CSerNet>(new CSerNet(def.c_str()));
}

// A listening peer and a channel connected to it.
struct Link {
    int port = 0;
    UniqueFd listener;
    UniqueFd peer;
    std::unique_ptr<CSerNet> ch;
    std::string openLog;

    explicit Link(int backlog = 4) {
        listener = kxnet::Listen(backlog, &port);
        ch = Channel(kxnet::Def("127.0.0.1", port));
        kxtest::StdoutCapture out;
        opened = ch->Open(nullptr);
        openLog = out.Stop();
        if (opened == 1) peer = kxnet::Accept(listener.get(), kWaitMs);
    }
    int opened = 0;
};

std::string RecvLines(const std::string& dump, int n) {
    return "CSerNet::Read recv start:\r\nCSerNet::Read recv end:\r\nCSerNet::Read recv: " +
           std::to_string(n) + "\r\nRECV: " + dump + "\r\n";
}

TEST(SerNetTcp, OpenExchangeAndLog) {
    Link l;
    ASSERT_EQ(l.opened, 1);
    ASSERT_TRUE(l.peer);
    // The connect line precedes every normal TCP connection.
    EXPECT_EQ(l.openLog, std::string(kConnectFailed) + kConnected);
    EXPECT_EQ(l.ch->IsOpened(), 1);
    EXPECT_EQ(l.ch->GetHandle(), -1);
    EXPECT_GE(l.ch->m_nSocket, 0);

    kxtest::StdoutCapture out;
    // Refused before any send: nothing beyond the caller's data goes out.
    EXPECT_EQ(l.ch->Write(nullptr, 3), -1);
    EXPECT_EQ(l.ch->Write(reinterpret_cast<const unsigned char*>("ABC"), -1), -1);
    EXPECT_EQ(out.Text(), "");
    EXPECT_EQ(l.ch->Write("ABC"), 3);
    EXPECT_EQ(l.ch->Write(reinterpret_cast<const unsigned char*>(""), 0), 0);
    EXPECT_EQ(out.Text(), "SEND: 41 42 43 \r\nSEND: \r\n");
    char got[8] = {};
    ASSERT_EQ(kxtest::ReadFully(l.peer.get(), got, 3, kWaitMs), 3);
    EXPECT_STREQ(got, "ABC");

    const unsigned char reply[] = {0x01, 0xff};
    ASSERT_TRUE(kxtest::WriteAll(l.peer.get(), reply, 2));
    ASSERT_TRUE(kxnet::WaitQueued(l.ch->m_nSocket, 2, kWaitMs));
    unsigned char buf[16] = {};
    EXPECT_EQ(l.ch->Read(buf, sizeof buf, 0), 2);
    EXPECT_EQ(buf[0], 0x01);
    EXPECT_EQ(buf[1], 0xff);
    EXPECT_EQ(out.Stop(), "SEND: 41 42 43 \r\nSEND: \r\n" + RecvLines("01 FF ", 2));
}

// The wait before the receive: computed, given, skipped.
TEST(SerNetTcp, ReadTimeoutLineCarriesTheWait) {
    struct Case { int perByte, base, size, timeout, wait; };
    const Case cases[] = {
        {10, 1000, 10, 0, 1100},   // defaults: 10 x size + 1000
        {1, 100, 100, 300, 300},   // a given time-out wins
        {1, 100, 100, -5, 200},    // negative but not INFINITE: computed
        {2, 20, 40, 0, 100},
    };
    Link l;
    ASSERT_EQ(l.opened, 1);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.wait);
        l.ch->SetTimeout(c.perByte, c.base);
        std::vector<unsigned char> buf(static_cast<size_t>(c.size));
        kxtest::StdoutCapture out;
        const double t0 = kxtest::NowMs();
        EXPECT_EQ(l.ch->Read(buf.data(), c.size, c.timeout), -1);
        EXPECT_GE(kxtest::NowMs() - t0, c.wait * 0.9);
        EXPECT_EQ(out.Stop(),
                  "CSerNet::Read select timeout: stTime.tv_sec=0,stTime.tv_usec=0,waittime=" +
                      std::to_string(c.wait) + "\r\n");
        EXPECT_EQ(KxLastError(l.ch.get(), nullptr, 0), ETIMEDOUT);
        EXPECT_EQ(l.ch->IsOpened(), 1);
    }
}

TEST(SerNetTcp, NoWaitBeforeReceive) {
    // INFINITE, or a computed wait of 0, goes straight to a blocking receive:
    // a 1 ms wait would time out long before the peer answers.
    struct Case { int perByte, base, timeout; };
    const Case cases[] = {{0, 1, INFINITE}, {0, 0, 0}};
    Link l;
    ASSERT_EQ(l.opened, 1);
    for (const Case& c : cases) {
        l.ch->SetTimeout(c.perByte, c.base);
        const int peer = l.peer.get();
        std::thread late([peer] {
            usleep(200 * 1000);
            kxtest::WriteAll(peer, "Z", 1);
        });
        unsigned char buf[10];
        kxtest::StdoutCapture out;
        const int n = l.ch->Read(buf, sizeof buf, c.timeout);
        late.join();
        EXPECT_EQ(n, 1);
        EXPECT_EQ(out.Stop(), RecvLines("5A ", 1));
    }
}

// A peer that closed its end reads 0 with the usual lines, and the channel
// closes: nothing more goes into the dead connection, and the next IsOpened
// reconnects. A receive of 0 bytes asked for closes nothing.
TEST(SerNetTcp, PeerCloseReadsZeroAndClosesTheChannel) {
    Link l;
    ASSERT_EQ(l.opened, 1);
    ASSERT_TRUE(kxtest::WriteAll(l.peer.get(), "x", 1));
    ASSERT_TRUE(kxnet::WaitQueued(l.ch->m_nSocket, 1, kWaitMs));
    unsigned char buf[8];
    kxtest::StdoutCapture out;
    EXPECT_EQ(l.ch->Read(buf, 0, 0), 0);
    EXPECT_GE(l.ch->m_nSocket, 0);
    EXPECT_EQ(l.ch->Read(buf, sizeof buf, 0), 1);
    EXPECT_EQ(KxLastError(l.ch.get(), nullptr, 0), 0);
    l.peer.reset();
    EXPECT_EQ(l.ch->Read(buf, sizeof buf, 0), 0);
    EXPECT_EQ(l.ch->m_nSocket, -1);
    EXPECT_EQ(KxLastError(l.ch.get(), nullptr, 0), ENOTCONN);
    EXPECT_EQ(l.ch->Write("lost"), -1);
    EXPECT_EQ(KxLastError(l.ch.get(), nullptr, 0), EBADF);
    const std::string reads = RecvLines("", 0) + RecvLines("78 ", 1) + RecvLines("", 0);
    EXPECT_EQ(out.Text(), reads) << "no line for the close, none for the refused write";
    EXPECT_EQ(l.ch->IsOpened(), 1);
    EXPECT_EQ(out.Stop(), reads + kConnectFailed + kConnected);
    EXPECT_TRUE(kxnet::Accept(l.listener.get(), kWaitMs)) << "reconnected";
}

// Refused before any receive: the connection and the pending bytes stay.
TEST(SerNetTcp, RefusedReadArgumentsKeepTheConnection) {
    Link l;
    ASSERT_EQ(l.opened, 1);
    ASSERT_TRUE(kxtest::WriteAll(l.peer.get(), "ab", 2));
    unsigned char buf[2];
    kxtest::StdoutCapture out;
    EXPECT_EQ(l.ch->Read(nullptr, 8, 0), -1);
    EXPECT_EQ(l.ch->Read(buf, -1, 0), -1);
    EXPECT_EQ(l.ch->Read(buf, INT_MIN, 0), -1);
    EXPECT_EQ(out.Stop(), "");
    EXPECT_EQ(l.ch->IsOpened(), 1);
    kxtest::StdoutCapture again;
    EXPECT_EQ(l.ch->Read(buf, 2, 0), 2) << "the pending bytes are still there";
}

// No host can reach a network channel's socket (GetHandle is -1), so
// destroying the channel, as FreeSerManager does, closes it.
TEST(SerNetTcp, DestructionClosesTheSocket) {
    Link l;
    ASSERT_EQ(l.opened, 1);
    l.ch.reset();
    char c;
    ASSERT_TRUE(kxtest::WaitReadable(l.peer.get(), kWaitMs));
    EXPECT_EQ(recv(l.peer.get(), &c, 1, 0), 0);
}

// A helper the host runs while the channel is open (system, popen) must not
// keep the connection: the peer sees the end at the host's Close.
TEST(SerNetTcp, CloseReachesThePeerWhileAChildTheHostRanLives) {
    Link l;
    ASSERT_EQ(l.opened, 1);
    kxtest::ExecChild helper;
    if (!helper.Started()) GTEST_SKIP() << "cannot run sleep";
    l.ch->Close();
    char c;
    ASSERT_TRUE(kxtest::WaitReadable(l.peer.get(), kWaitMs)) << "the child keeps the connection";
    EXPECT_EQ(recv(l.peer.get(), &c, 1, 0), 0);
}

// A benign signal (a handler with SA_RESTART) during the wait changes
// nothing: the wait resumes with the time left and times out as usual.
TEST(SerNetTcp, RestartingSignalsDuringTheWaitChangeNothing) {
    Link l;
    ASSERT_EQ(l.opened, 1);
    kxtest::InterruptSignal sig(true);
    std::atomic<int> n{-2};
    kxtest::StdoutCapture out;
    std::thread reader([&] {
        unsigned char buf[4];
        n = l.ch->Read(buf, sizeof buf, 1500);
    });
    sig.Pulse(reader.native_handle(), 5, 100);
    reader.join();
    EXPECT_GE(kxtest::InterruptSignal::Delivered(), 5);
    EXPECT_EQ(n.load(), -1);
    EXPECT_EQ(out.Stop(), "CSerNet::Read select timeout: stTime.tv_sec=0,stTime.tv_usec=0,waittime=1500\r\n");
    EXPECT_GE(l.ch->m_nSocket, 0);
}

TEST(SerNetTcp, PeerResetClosesAndIsOpenedReconnects) {
    Link l;
    ASSERT_EQ(l.opened, 1);
    kxnet::CloseWithReset(l.peer);
    unsigned char buf[8];
    {
        kxtest::StdoutCapture out;
        EXPECT_EQ(l.ch->Read(buf, sizeof buf, 0), -1);
        EXPECT_EQ(out.Stop(),
                  "CSerNet::Read recv start:\r\nCSerNet::Read recv end:\r\n"
                  "CSerNet::Read recv err: 104\r\n");
    }
    EXPECT_EQ(l.ch->m_nSocket, -1);
    EXPECT_EQ(l.ch->Read(buf, sizeof buf, 0), -1);

    // Without a listener the reconnection fails; once it is back it succeeds.
    l.listener.reset();
    {
        kxtest::StdoutCapture out;
        EXPECT_EQ(l.ch->IsOpened(), 0);
        EXPECT_EQ(out.Stop(), kConnectFailed);
    }
    l.listener = kxnet::Listen(4, &l.port, l.port);
    kxtest::StdoutCapture out;
    EXPECT_EQ(l.ch->IsOpened(), 1);
    EXPECT_EQ(out.Text(), std::string(kConnectFailed) + kConnected);
    EXPECT_EQ(l.ch->m_nTryCount, 0u);
    UniqueFd again = kxnet::Accept(l.listener.get(), kWaitMs);
    ASSERT_TRUE(again);
    EXPECT_EQ(l.ch->Write("x"), 1);
    EXPECT_EQ(out.Stop().substr(sizeof kConnectFailed + sizeof kConnected - 2), "SEND: 78 \r\n");
}

TEST(SerNetTcp, WriteAfterResetDoesNotRaiseSigpipe) {
    // Left at its default, SIGPIPE would end this test process.
    signal(SIGPIPE, SIG_DFL);
    Link l;
    ASSERT_EQ(l.opened, 1);
    l.peer.reset();  // orderly close: the next segment meets a reset
    kxtest::StdoutCapture out;
    ASSERT_EQ(l.ch->Write("a"), 1);
    pollfd p{l.ch->m_nSocket, 0, 0};
    ASSERT_EQ(poll(&p, 1, kWaitMs), 1);  // the reset has arrived (POLLERR/POLLHUP)
    EXPECT_EQ(l.ch->Write("b"), -1);
    EXPECT_EQ(out.Stop(), "SEND: 61 \r\nERROR: Failed to sent string.\nSEND: \r\n");
    EXPECT_EQ(l.ch->m_nSocket, -1);
}

TEST(SerNetTcp, NoListenerFailsFast) {
    auto ch = Channel(kxnet::Def("127.0.0.1", kxnet::DeadPort()));
    kxtest::StdoutCapture out;
    const double t0 = kxtest::NowMs();
    EXPECT_EQ(ch->Open(nullptr), 0);
    EXPECT_LT(kxtest::NowMs() - t0, 5000);  // far from the 15 s bound
    EXPECT_EQ(out.Stop(), kConnectFailed);
    EXPECT_EQ(ch->m_nSocket, -1);
    char why[64];
    EXPECT_EQ(KxLastError(ch.get(), why, sizeof why), ECONNREFUSED);
    EXPECT_STREQ(why, "connect: Connection refused");
}

// The only slow test: a listener whose single queue slot is taken drops
// every further SYN, so the channel's own bound of three 5 s waits applies.
TEST(SerNetTcp, PeerThatNeverAnswersFailsAfterThreeWaits) {
    int port = 0;
    UniqueFd listener = kxnet::Listen(0, &port);
    UniqueFd filler = kxnet::Connect(port);
    auto ch = Channel(kxnet::Def("127.0.0.1", port));
    kxtest::StdoutCapture out;
    const double t0 = kxtest::NowMs();
    EXPECT_EQ(ch->Open(nullptr), 0);
    const double spent = kxtest::NowMs() - t0;
    EXPECT_GE(spent, 14500);
    EXPECT_LT(spent, 60000);
    EXPECT_EQ(out.Stop(), kConnectFailed);
    EXPECT_EQ(ch->m_nSocket, -1);
    EXPECT_EQ(KxLastError(ch.get(), nullptr, 0), ETIMEDOUT);
}

TEST(SerNetTcp, OpenClosesTheOldSocketFirst) {
    Link l;
    ASSERT_EQ(l.opened, 1);
    kxtest::StdoutCapture out;
    EXPECT_EQ(l.ch->Open(kxnet::Def("127.0.0.1", kxnet::DeadPort()).c_str()), 0);
    out.Stop();
    EXPECT_EQ(l.ch->m_nSocket, -1);
    char c;
    ASSERT_TRUE(kxtest::WaitReadable(l.peer.get(), kWaitMs));
    EXPECT_EQ(recv(l.peer.get(), &c, 1, 0), 0);  // the old connection saw its end
}

TEST(SerNetTcp, PurgeDrainsAByteAtATime) {
    Link l;
    ASSERT_EQ(l.opened, 1);
    kxtest::StdoutCapture out;
    EXPECT_EQ(l.ch->Purge(), 1);
    EXPECT_EQ(out.Text(), "");
    ASSERT_TRUE(kxtest::WriteAll(l.peer.get(), "\x41\x0b\xfe", 3));
    ASSERT_TRUE(kxnet::WaitQueued(l.ch->m_nSocket, 3, kWaitMs));
    int in = -1, unsent = -1;
    EXPECT_EQ(KxGetQueued(l.ch.get(), &in, &unsent), 1);
    EXPECT_EQ(in, 3);
    EXPECT_EQ(unsent, 0);
    EXPECT_EQ(l.ch->Purge(), 1);
    const size_t drained = out.Text().size();
    const std::string pre = "..." + std::string(l.ch->GetNote()) + " purge recv";
    EXPECT_EQ(out.Text(), pre + "\r\n" + pre + ": 1 41\r\n" + pre + "\r\n" + pre + ": 1 0b\r\n" +
                              pre + "\r\n" + pre + ": 1 fe\r\n");
    // A closed peer ends the purge with its 0 and closes the channel, as Read does.
    l.peer.reset();
    ASSERT_TRUE(kxtest::WaitReadable(l.ch->m_nSocket, kWaitMs));
    EXPECT_EQ(l.ch->Purge(), 1);
    EXPECT_EQ(out.Stop().substr(drained), pre + "\r\n" + pre + ": 0 00\r\n");
    EXPECT_EQ(l.ch->m_nSocket, -1);
}

// A peer that keeps sending: Purge takes what was pending when it began and
// leaves the rest to the next Read.
TEST(SerNetTcp, PurgeEndsWhileThePeerKeepsSending) {
    Link l;
    ASSERT_EQ(l.opened, 1);
    // A short purge (every pending byte costs two log lines), and a peer
    // that refills the window the moment it opens.
    const int small = 65536;
    ASSERT_EQ(setsockopt(l.ch->m_nSocket, SOL_SOCKET, SO_RCVBUF, &small, sizeof small), 0);
    std::atomic<bool> stop{false};
    std::thread peer([&] {
        char chunk[4096];
        memset(chunk, 'p', sizeof chunk);
        const double until = kxtest::NowMs() + 30000;
        while (!stop && kxtest::NowMs() < until) {
            pollfd p = {l.peer.get(), POLLOUT, 0};
            if (poll(&p, 1, 10) == 1) send(l.peer.get(), chunk, sizeof chunk, MSG_DONTWAIT | MSG_NOSIGNAL);
        }
    });
    ASSERT_TRUE(kxnet::WaitQueued(l.ch->m_nSocket, 1000, kWaitMs));
    int purged = 0, next = 0;
    const double t0 = kxtest::NowMs();
    {
        kxtest::StdoutToNull quiet;
        purged = l.ch->Purge();
        const double spent = kxtest::NowMs() - t0;
        unsigned char buf[16];
        next = l.ch->Read(buf, sizeof buf, 5000);
        stop = true;
        peer.join();
        EXPECT_LT(spent, 20000) << "Purge went on while the peer sent";
    }
    EXPECT_EQ(purged, 1);
    EXPECT_GT(next, 0) << "what came after the purge is the next Read's";
}

// A remote port outside 1-65535 is refused with nothing sent: its low 16
// bits would name another port (65536 + n is n), also for a datagram whose
// port was set after Open.
TEST(SerNetTcp, PortOutOfRangeReachesNothing) {
    int tcpPort = 0, udpPort = 0;
    UniqueFd listener = kxnet::Listen(4, &tcpPort);
    UniqueFd udp = kxnet::UdpBind(&udpPort);
    const struct {
        std::string def;
        int logged;
    } rows[] = {
        {kxnet::Def("127.0.0.1", 65536 + tcpPort), 65536 + tcpPort},
        {"u" + kxnet::Def("127.0.0.1", 65536 + udpPort), 65536 + udpPort},
        {"127.0.0.1:-5", -5},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.def);
        auto ch = Channel(row.def);
        kxtest::StdoutCapture out;
        EXPECT_EQ(ch->Open(nullptr), 0);
        EXPECT_EQ(out.Stop(), "CSerNet::Open ERROR: port " + std::to_string(row.logged) + " out of range!\n");
        EXPECT_EQ(ch->m_nSocket, -1);
        EXPECT_EQ(KxLastError(ch.get(), nullptr, 0), REASON_ADDRESS);
    }
    auto ch = Channel("u" + kxnet::Def("127.0.0.1", udpPort));
    {
        kxtest::StdoutCapture quiet;
        ch->SetPort(0);
        EXPECT_EQ(ch->Open(nullptr), 0);
        ch->SetPort(udpPort);
        ASSERT_EQ(ch->Open(nullptr), 1);
        ch->SetDef(("u" + kxnet::Def("127.0.0.1", 65536 + udpPort)).c_str());
        EXPECT_EQ(ch->Write("x"), -1);
    }
    EXPECT_FALSE(kxnet::Accept(listener.get(), 200));
    EXPECT_FALSE(kxtest::WaitReadable(udp.get(), 200));
}

TEST(SerNetTcp, SetPortSteersOpen) {
    int p1 = 0, p2 = 0;
    UniqueFd l1 = kxnet::Listen(4, &p1), l2 = kxnet::Listen(4, &p2);
    auto ch = Channel(kxnet::Def("127.0.0.1", p1));
    kxtest::StdoutCapture out;
    // A remote port from SetPort holds for Open(nullptr); the note keeps the old one.
    ch->SetPort(p2);
    ASSERT_EQ(ch->Open(nullptr), 1);
    EXPECT_TRUE(kxnet::Accept(l2.get(), kWaitMs));
    EXPECT_EQ(ch->GetNote(), "NET " + std::to_string(p1) + " " + kxnet::Def("127.0.0.1", p1));
    // Relabelling keeps the peer.
    ch->SetPort(0x200007);
    ASSERT_EQ(ch->Open(nullptr), 1);
    EXPECT_TRUE(kxnet::Accept(l2.get(), kWaitMs));
    EXPECT_EQ(ch->GetType(), 0x200007);
    // A definition string sets index and port back together.
    ASSERT_EQ(ch->Open(kxnet::Def("127.0.0.1", p1).c_str()), 1);
    EXPECT_TRUE(kxnet::Accept(l1.get(), kWaitMs));
    EXPECT_EQ(ch->GetType(), 0x200000 + p1);
    ch->Close();
}

// Waits must not depend on select's 1024-descriptor sets.
TEST(SerNetTcp, WorksOnDescriptorAbove1023) {
    rlimit rl;
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &rl), 0);
    if (rl.rlim_max != RLIM_INFINITY && rl.rlim_max < 1200)
        GTEST_SKIP() << "hard descriptor limit " << rl.rlim_max << " is below 1200";
    const rlimit saved = rl;
    if (rl.rlim_cur == RLIM_INFINITY || rl.rlim_cur < 1200) rl.rlim_cur = 1200;
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &rl), 0);

    int port = 0;
    UniqueFd listener = kxnet::Listen(4, &port);
    auto ch = Channel(kxnet::Def("127.0.0.1", port));
    std::vector<UniqueFd> placeholders;
    {
        UniqueFd src(::open("/dev/null", O_RDONLY));
        ASSERT_TRUE(src);
        for (int fd = 0; fd < 1024; ++fd)
            if (fcntl(fd, F_GETFD) < 0 && dup2(src.get(), fd) == fd)
                placeholders.emplace_back(fd);
    }
    kxtest::StdoutCapture out;
    const int opened = ch->Open(nullptr);
    UniqueFd peer = kxnet::Accept(listener.get(), kWaitMs);
    placeholders.clear();
    ASSERT_EQ(opened, 1);
    ASSERT_TRUE(peer);
    EXPECT_GE(ch->m_nSocket, 1024);

    EXPECT_EQ(ch->Write("hi"), 2);
    char got[2];
    EXPECT_EQ(kxtest::ReadFully(peer.get(), got, 2, kWaitMs), 2);
    kxtest::WriteAll(peer.get(), "ok!", 3);
    unsigned char buf[8];
    EXPECT_EQ(ch->Read(buf, 2, 5000), 2);
    EXPECT_EQ(ch->Purge(), 1);
    ch->SetTimeout(0, 50);
    EXPECT_EQ(ch->Read(buf, 2, 0), -1);
    EXPECT_EQ(ch->IsOpened(), 1);
    const std::string log = out.Stop();
    EXPECT_NE(log.find("RECV: 6F 6B \r\n"), std::string::npos) << log;
    EXPECT_NE(log.find("purge recv: 1 21\r\n"), std::string::npos) << log;
    EXPECT_NE(log.find("waittime=50\r\n"), std::string::npos) << log;
    ch->Close();
    setrlimit(RLIMIT_NOFILE, &saved);
}

// A peer that vanishes without FIN or RST (power cut, pulled cable), made by
// nftables dropping its packets both ways inside a private namespace: a host
// that writes and a host that only reads each notice within 30 s, and the
// channels reconnect and exchange frames once the peer is reachable again.
TEST(SerNetTcp, VanishedPeerIsNoticedAndReconnects) {
    KXSOCK_IN_PRIVATE_NET([] {
        if (system("nft add table inet kxtest 2>/dev/null") != 0)
            kxsock::SkipPrivateNet("nft cannot add a table here (no nftables, or no nf_tables in the kernel)");
        int port = 0;
        UniqueFd listener = kxnet::Listen(4, &port);
        std::unique_ptr<CSerNet> ch[2] = {Channel(kxnet::Def("127.0.0.1", port)),
                                          Channel(kxnet::Def("127.0.0.1", port))};
        UniqueFd peer[2];
        double noticed[2] = {-1, -1};  // writing host, reading host
        {
            kxtest::StdoutToNull quiet;
            for (int i = 0; i < 2; ++i) {
                ASSERT_EQ(ch[i]->Open(nullptr), 1);
                peer[i] = kxnet::Accept(listener.get(), kWaitMs);
            }
            const std::string drop = "nft add chain inet kxtest in '{ type filter hook input priority 0; }' && "
                                     "nft add rule inet kxtest in tcp dport " + std::to_string(port) + " drop && "
                                     "nft add rule inet kxtest in tcp sport " + std::to_string(port) + " drop";
            ASSERT_EQ(system(drop.c_str()), 0);
            const double t0 = kxtest::NowMs();
            std::thread writer([&] {
                while (kxtest::NowMs() - t0 < 60000) {
                    if (ch[0]->Write("ping") < 0) {
                        noticed[0] = kxtest::NowMs() - t0;
                        break;
                    }
                    usleep(1000000);  // a host sending a frame a second
                }
            });
            unsigned char buf[16];
            while (kxtest::NowMs() - t0 < 60000) {
                if (ch[1]->Read(buf, sizeof buf, 1000) < 0 && ch[1]->m_nSocket < 0) {
                    noticed[1] = kxtest::NowMs() - t0;
                    break;
                }
            }
            writer.join();
        }
        fprintf(stderr, "vanished peer noticed after %.1f s writing, %.1f s reading\n", noticed[0] / 1000,
                noticed[1] / 1000);
        ASSERT_EQ(system("nft delete table inet kxtest"), 0);
        for (int i = 0; i < 2; ++i) {
            EXPECT_GT(noticed[i], 0) << i;
            EXPECT_LT(noticed[i], 40000) << i;  // 30 s by the settings, with margin
            kxtest::StdoutToNull quiet;
            ASSERT_EQ(ch[i]->IsOpened(), 1) << i;
            UniqueFd again = kxnet::Accept(listener.get(), kWaitMs);
            ASSERT_TRUE(again);
            EXPECT_EQ(ch[i]->Write("hi"), 2);
            char got[2];
            EXPECT_EQ(kxtest::ReadFully(again.get(), got, 2, kWaitMs), 2);
            ASSERT_TRUE(kxtest::WriteAll(again.get(), "ok", 2));
            unsigned char buf[4];
            EXPECT_EQ(ch[i]->Read(buf, 2, kWaitMs), 2);
            ch[i]->Close();
        }
    });
}

}  // namespace
