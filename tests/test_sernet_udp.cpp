// Network channel in UDP mode (loopback peers) and broadcast mode (only
// inside a private network namespace, so no datagram leaves the machine).
#include <gtest/gtest.h>
#include <arpa/inet.h>
#include <poll.h>
#include <sched.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "SerNet.h"
#include "kxnet.h"
#include "kxtest.h"

using kxtest::UniqueFd;

namespace {

const int kWaitMs = 5000;

std::unique_ptr<CSerNet> Channel(const std::string& def) {
    kxtest::StdoutCapture quiet;
    return std::unique_ptr<CSerNet>(new CSerNet(def.c_str()));
}

sockaddr_in LocalAddr(int fd) {
    sockaddr_in a;
    socklen_t len = sizeof a;
    memset(&a, 0, sizeof a);
    getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
    return a;
}

int SendTo(int fd, const char* text, const sockaddr_in& to) {
    return static_cast<int>(sendto(fd, text, strlen(text), 0,
                                   reinterpret_cast<const sockaddr*>(&to), sizeof to));
}

std::string RecvLines(const std::string& dump, int n) {
    return "CSerNet::Read recv start:\r\nCSerNet::Read recv end:\r\nCSerNet::Read recv: " +
           std::to_string(n) + "\r\nRECV: " + dump + "\r\n";
}

TEST(SerNetUdp, ExchangesWithItsPeerOnly) {
    int pport = 0, fport = 0;
    UniqueFd peer = kxnet::UdpBind(&pport), foreign = kxnet::UdpBind(&fport);
    auto ch = Channel(kxnet::Def("u127.0.0.1", pport));
    kxtest::StdoutCapture out;
    ASSERT_EQ(ch->Open(nullptr), 1);
    EXPECT_EQ(out.Text(), "OK: Have connected to the u127.0.0.1\n");  // no connect line

    ASSERT_EQ(ch->Write("ping"), 4);
    char got[16] = {};
    sockaddr_in from;
    socklen_t flen = sizeof from;
    ASSERT_TRUE(kxtest::WaitReadable(peer.get(), kWaitMs));
    ASSERT_EQ(recvfrom(peer.get(), got, sizeof got, 0, reinterpret_cast<sockaddr*>(&from), &flen), 4);
    EXPECT_STREQ(got, "ping");
    const sockaddr_in local = LocalAddr(ch->m_nSocket);
    EXPECT_EQ(from.sin_port, local.sin_port);

    // Another sender's datagram never reaches the channel; the peer's does.
    ASSERT_EQ(SendTo(foreign.get(), "evil", local), 4);
    ASSERT_EQ(SendTo(peer.get(), "pong", local), 4);
    unsigned char buf[16];
    ch->SetTimeout(0, 200);
    EXPECT_EQ(ch->Read(buf, sizeof buf, kWaitMs), 4);
    EXPECT_EQ(ch->Read(buf, sizeof buf, 0), -1);

    // One call, one datagram: the part beyond the buffer is lost. A negative
    // size is refused before the receive, so the datagram waits; an empty
    // datagram reads 0 and is no close.
    ASSERT_EQ(SendTo(peer.get(), "123456", local), 6);
    ASSERT_TRUE(kxtest::WaitReadable(ch->m_nSocket, kWaitMs));
    EXPECT_EQ(ch->Read(buf, -1, kWaitMs), -1);
    EXPECT_EQ(ch->Read(buf, 4, kWaitMs), 4);
    EXPECT_EQ(ch->Read(buf, 4, 0), -1);
    ASSERT_EQ(SendTo(peer.get(), "", local), 0);
    EXPECT_EQ(ch->Read(buf, 4, kWaitMs), 0);
    EXPECT_GE(ch->m_nSocket, 0);
    const char timeout[] =
        "CSerNet::Read select timeout: stTime.tv_sec=0,stTime.tv_usec=0,waittime=200\r\n";
    EXPECT_EQ(out.Stop(), "OK: Have connected to the u127.0.0.1\nSEND: 70 69 6E 67 \r\n" +
                              RecvLines("70 6F 6E 67 ", 4) + timeout +
                              RecvLines("31 32 33 34 ", 4) + timeout + RecvLines("", 0));
    EXPECT_EQ(ch->IsOpened(), 1);
}

TEST(SerNetUdp, WriteReadsTheAddressAfresh) {
    int p1 = 0, p2 = 0;
    UniqueFd peer1 = kxnet::UdpBind(&p1), peer2 = kxnet::UdpBind(&p2);
    auto ch = Channel(kxnet::Def("u127.0.0.1", p1));
    kxtest::StdoutCapture out;
    ASSERT_EQ(ch->Open(nullptr), 1);
    ch->SetDef(kxnet::Def("u127.0.0.1", p2).c_str());
    EXPECT_EQ(ch->Write("x"), 1);
    EXPECT_TRUE(kxtest::WaitReadable(peer2.get(), kWaitMs));

    // Fifteen characters after the letter reach that host, not one cut short.
    int p3 = 0;
    UniqueFd far = kxnet::UdpBindAt("127.100.100.100", &p3);
    ch->SetDef(kxnet::Def("u127.100.100.100", p3).c_str());
    EXPECT_EQ(ch->Write("z"), 1);
    EXPECT_TRUE(kxtest::WaitReadable(far.get(), kWaitMs));

    // Text that is not dotted IPv4 gives no destination: a failed send.
    ch->SetDef("uhost.example:7");
    EXPECT_EQ(ch->Write("y"), -1);
    EXPECT_EQ(ch->m_nSocket, -1);
    EXPECT_EQ(out.Stop(), "OK: Have connected to the u127.0.0.1\nSEND: 78 \r\nSEND: 7A \r\n"
                          "ERROR: Failed to sent string.\nSEND: \r\n");
}

// --- Broadcast, in a child process with its own network namespace --------

// Runs in the child; returns "" when every check holds, else what failed,
// or "SKIP: reason" when the namespace cannot be set up.
std::string BroadcastChild() {
    if (unshare(CLONE_NEWNET) != 0)
        return std::string("SKIP: unshare(CLONE_NEWNET): ") + strerror(errno);
    if (system("ip link set lo up") != 0 ||
        system("ip route add 255.255.255.255/32 dev lo src 127.0.0.1") != 0)
        return "SKIP: could not configure lo with ip(8) in the namespace";

    std::string fails;
    auto check = [&fails](bool ok, const std::string& what) {
        if (!ok) fails += what + "\n";
    };
    int port = 0;
    UniqueFd rx = kxnet::UdpBind(&port, true);
    CSerNet* ch;
    {
        kxtest::StdoutCapture quiet;
        ch = new CSerNet(kxnet::Def("b", port).c_str());
    }
    std::unique_ptr<CSerNet> owner(ch);
    kxtest::StdoutCapture out;
    check(ch->Open(nullptr) == 1, "Open");
    check(ch->IsOpened() == 1, "IsOpened");
    unsigned char buf[16];
    // No local port before the first send: nothing can arrive, silently.
    check(ch->Read(buf, sizeof buf, 100) == 0, "Read before Write");
    const unsigned char data[] = {0xde, 0xad, 0xbe, 0xef};
    check(ch->Write(data, 4) == 4, "Write");

    sockaddr_in from;
    socklen_t flen = sizeof from;
    char got[16];
    const bool arrived = kxtest::WaitReadable(rx.get(), kWaitMs);
    check(arrived, "datagram not received");
    if (arrived) {
        check(recvfrom(rx.get(), got, sizeof got, 0, reinterpret_cast<sockaddr*>(&from), &flen) == 4,
              "datagram size");
        check(memcmp(got, data, 4) == 0, "datagram bytes");
        // A reply from any sender comes back to the port chosen at the send.
        check(SendTo(rx.get(), "ok", from) == 2, "reply");
        check(ch->Read(buf, sizeof buf, kWaitMs) == 2, "Read reply");
    }
    ch->SetTimeout(0, 50);
    check(ch->Read(buf, sizeof buf, 0) == 0, "Read time-out");
    const std::string log = out.Stop();
    check(log == "CSerNet::Open ok: b!\nSEND: DE AD BE EF \r\n" + RecvLines("6F 6B ", 2),
          "log was:\n" + log);
    ch->Close();
    return fails;
}

TEST(SerNetBroadcast, ReachesTheLoopbackPortInsideANamespace) {
    const std::string report = kxtest::InChild(BroadcastChild);
    if (report.rfind("SKIP: ", 0) == 0) GTEST_SKIP() << report.substr(6);
    EXPECT_EQ(report, "");
}

}  // namespace
