// Network channel parameters: construction, definition strings, the note,
// relabelling, the error classifier and the closed-channel answers. No
// address used here is ever opened, except where Open fails before any
// socket exists.
#include <gtest/gtest.h>
#include <stdint.h>

#include <cstdio>
#include <memory>
#include <string>

#include "SerNet.h"
#include "kxSerExt.h"
#include "kxtest.h"

namespace {

std::string NewLine(const void* ch, const std::string& arg) {
    char buf[64];
    snprintf(buf, sizeof buf, "SerNet new: %x  ",
             static_cast<unsigned>(reinterpret_cast<uintptr_t>(ch)));
    return buf + arg + "\r\n";
}

TEST(SerNetParams, FromIndex) {
    struct Case { int index; const char* note; };
    const Case cases[] = {
        {502, "NET 502 127.0.0.1:502"},
        {20600, "NET 20600 127.0.0.1:20600"},
        {0, "NET 0 127.0.0.1:0"},
    };
    for (const Case& c : cases) {
        kxtest::StdoutCapture out;
        std::unique_ptr<CSerNet> ch(new CSerNet(c.index));
        EXPECT_EQ(out.Stop(), NewLine(ch.get(), std::to_string(c.index)));
        EXPECT_STREQ(ch->GetNote(), c.note);
        EXPECT_EQ(ch->GetType(), 0x200000 + c.index);
        EXPECT_EQ(ch->m_nPort, c.index);
        EXPECT_STREQ(ch->m_szAddr, "127.0.0.1");
        EXPECT_EQ(ch->m_nSocket, -1);
        EXPECT_EQ(ch->m_nByteTimeout, 10);
        EXPECT_EQ(ch->m_nBaseTimeout, 1000);
        EXPECT_EQ(ch->m_nMaxTryCount, 1u);
        EXPECT_EQ(ch->GetHandle(), -1);
        EXPECT_EQ(ch->SetBaud(9600), 0);
    }
}

TEST(SerNetParams, FromDefinitionString) {
    struct Case { const char* def; const char* addr; int index; const char* note; };
    const Case cases[] = {
        {"192.168.1.10:502", "192.168.1.10", 502, "NET 502 192.168.1.10:502"},
        {"u192.168.1.20:3000", "u192.168.1.20", 3000, "NET 3000 u192.168.1.20:3000"},
        {"b:4000", "b", 4000, "NET 4000 b:4000"},
        {"10.0.0.1", "10.0.0.1", 20600, "NET 20600 10.0.0.1:20600"},
        {"10.0.0.1:0", "10.0.0.1", 20600, "NET 20600 10.0.0.1:20600"},
        {"10.0.0.1:502:9", "10.0.0.1", 502, "NET 502 10.0.0.1:502"},
        {"10.0.0.1: 77x", "10.0.0.1", 77, "NET 77 10.0.0.1:77"},
        {"10.0.0.1:-3", "10.0.0.1", -3, "NET -3 10.0.0.1:-3"},
        {":81", "", 81, "NET 81 :81"},
        {"", "127.0.0.1", 20600, "NET 20600 127.0.0.1:20600"},
        // An everyday LAN address with its mode letter is kept whole.
        {"u192.168.178.100:5020", "u192.168.178.100", 5020, "NET 5020 u192.168.178.100:5020"},
        // Longer than the address holds: cut, never overrun, and one
        // character past any address, so Open cannot convert it.
        {"1234567890123456789:502", "12345678901234567", 502, "NET 502 12345678901234567:502"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.def);
        kxtest::StdoutCapture out;
        std::unique_ptr<CSerNet> ch(new CSerNet(c.def));
        EXPECT_EQ(out.Stop(), NewLine(ch.get(), c.def));
        EXPECT_STREQ(ch->m_szAddr, c.addr);
        EXPECT_EQ(ch->m_nIndex, c.index);
        EXPECT_EQ(ch->m_nPort, c.index);
        EXPECT_STREQ(ch->GetNote(), c.note);
    }
}

TEST(SerNetParams, EmptyDefinitionChangesNothing) {
    kxtest::StdoutCapture out;
    CSerNet ch("10.0.0.1:502");
    ch.SetPort(4001);
    ch.UpdParams(nullptr);
    ch.UpdParams("");
    EXPECT_EQ(ch.SetDef(""), 1);
    EXPECT_EQ(ch.m_nPort, 4001);
    EXPECT_STREQ(ch.GetNote(), "NET 502 10.0.0.1:502");
    // A non-empty string rebuilds the note and sets the port back to the index.
    EXPECT_EQ(ch.SetDef("u10.0.0.7:502"), 1);
    EXPECT_EQ(ch.m_nPort, 502);
    EXPECT_STREQ(ch.GetNote(), "NET 502 u10.0.0.7:502");
}

TEST(SerNetParams, SetPortRelabelsAboveSixteenBits) {
    struct Case { int value; int index; int port; };
    const Case cases[] = {
        {0x200007, 7, 502}, {65535, 502, 65535}, {65536, 0, 502},
        {-1, 502, 65535},   {4001, 502, 4001},   {0, 502, 0},
    };
    kxtest::StdoutCapture out;
    for (const Case& c : cases) {
        CSerNet ch("192.168.1.10:502");
        EXPECT_EQ(ch.SetPort(c.value), 1);
        EXPECT_EQ(ch.m_nIndex, c.index) << c.value;
        EXPECT_EQ(ch.m_nPort, c.port) << c.value;
        EXPECT_STREQ(ch.GetNote(), "NET 502 192.168.1.10:502");
    }
    CSerNet ch("192.168.1.10:502");
    ch.SetPort(0x200007);
    EXPECT_EQ(ch.GetType(), 0x200007);
}

TEST(SerNetParams, IsConnDropped) {
    kxtest::StdoutCapture out;
    CSerNet ch(502);
    out.Stop();
    {
        kxtest::StdoutCapture again;
        EXPECT_EQ(ch.IsConnDropped(11), 0);
        EXPECT_EQ(ch.IsConnDropped(11), 0);
        EXPECT_EQ(ch.IsConnDropped(11), 1);
        EXPECT_EQ(ch.IsConnDropped(110), 0);
        // Never reset by other answers: every later EAGAIN counts as dropped.
        EXPECT_EQ(ch.IsConnDropped(11), 1);
        EXPECT_EQ(again.Stop(),
                  "net isdroped: 11\r\nnet isdroped: 11\r\nnet isdroped: 11\r\n"
                  "net isdroped: 110\r\nnet isdroped: 11\r\n");
    }
    const unsigned long dropped[] = {88, 100, 101, 102, 103, 104, 10058, 10064, 10065};
    for (unsigned long err : dropped) {
        kxtest::StdoutCapture cap;
        EXPECT_EQ(ch.IsConnDropped(err), 1);
        EXPECT_EQ(cap.Stop(), "net isdroped: " + std::to_string(err) +
                                  "\r\n...NET 502 127.0.0.1:502 conn dropped: " +
                                  std::to_string(err) + "\r\n");
    }
    const unsigned long kept[] = {0, 10, 12, 87, 105, 110, 10060};
    for (unsigned long err : kept) {
        kxtest::StdoutCapture cap;
        EXPECT_EQ(ch.IsConnDropped(err), 0);
        EXPECT_EQ(cap.Stop(), "net isdroped: " + std::to_string(err) + "\r\n");
    }
}

TEST(SerNetParams, ClosedChannelAnswers) {
    kxtest::StdoutCapture out;
    CSerNet ch("192.168.1.10:502");
    const std::string ctor = out.Text();
    unsigned char buf[4] = {1, 2, 3, 4};
    EXPECT_EQ(ch.Read(buf, 4, 100), -1);
    EXPECT_EQ(ch.Write(buf, 4), -1);
    EXPECT_EQ(ch.Write("text"), -1);
    EXPECT_EQ(ch.Purge(), 0);
    EXPECT_EQ(ch.Close(), 1);
    EXPECT_EQ(ch.Close(), 1);
    EXPECT_EQ(ch.m_nSocket, -1);
    EXPECT_EQ(out.Stop(), ctor);
}

TEST(SerNetParams, OpenRefusesTextThatIsNotDottedIPv4) {
    struct Case { const char* def; const char* line; };
    const Case cases[] = {
        {"localhost:5000", "CSerNet::Open ERROR: Invalid IPv4 address: localhost!\n"},
        {"u:5000", "CSerNet::Open ERROR: Invalid IPv4 address: !\n"},
        {"u127.0.0:5000", "CSerNet::Open ERROR: Invalid IPv4 address: 127.0.0!\n"},
        {"300.1.1.1:5000", "CSerNet::Open ERROR: Invalid IPv4 address: 300.1.1.1!\n"},
        // One digit too many: cut to 15 characters these were other, valid hosts.
        {"192.168.178.1001:5000", "CSerNet::Open ERROR: Invalid IPv4 address: 192.168.178.1001!\n"},
        {"u192.168.178.1001:5000", "CSerNet::Open ERROR: Invalid IPv4 address: 192.168.178.1001!\n"},
        {"u192.168.178.100123:5000", "CSerNet::Open ERROR: Invalid IPv4 address: 192.168.178.1001!\n"},
    };
    for (const Case& c : cases) {
        kxtest::StdoutCapture quiet;
        CSerNet ch(1);
        quiet.Stop();
        kxtest::StdoutCapture out;
        EXPECT_EQ(ch.Open(c.def), 0);
        EXPECT_EQ(out.Stop(), c.line);
        EXPECT_EQ(ch.m_nSocket, -1);
        EXPECT_EQ(ch.m_nPort, 5000);
        EXPECT_EQ(KxLastError(&ch, nullptr, 0), REASON_ADDRESS);
    }
}

}  // namespace
