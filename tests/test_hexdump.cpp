// The traffic dump behind every "RECV:" and "SEND:" line, and where the
// log goes (KxSetLog).
#include <gtest/gtest.h>
#include <unistd.h>

#include <climits>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "SerCom.h"
#include "SerNet.h"
#include "kxSerExt.h"
#include "kxnet.h"
#include "kxtest.h"

namespace {

std::string Dump(const std::vector<unsigned char>& bytes, int blanks) {
    return BufToHexStr(bytes.data(), static_cast<int>(bytes.size()), blanks);
}

TEST(HexDump, Digits) {
    const char* digits = "0123456789ABCDEF";
    for (int v = 0; v < 256; ++v) EXPECT_EQ(_TOHEX(static_cast<unsigned char>(v)), digits[v & 0x0f]);
    EXPECT_EQ(_TOHEX(0x1F), 'F');
}

TEST(HexDump, BoundedForm) {
    const unsigned char bytes[] = {0x01, 0xAB, 0x7F};
    struct {
        int len;
        int cap;
        int blanks;
        int result;
        const char* text;
    } rows[] = {
        {3, 10, 1, 9, "01 AB 7F "},
        {3, 9, 1, -1, nullptr},  // no room for the terminator
        {2, 5, 0, 4, "01AB"},
        {1, 5, 2, 4, "01  "},
        {0, 1, 1, 0, ""},
        {-1, 1, 1, 0, ""},
        {3, 100, -1, -1, nullptr},  // negative blank count
        {0, 0, 1, -1, nullptr},     // capacity below 1
        {INT_MAX, INT_MAX, 1, -1, nullptr},
        {3, INT_MAX, INT_MAX, -1, nullptr},  // would need far more than any capacity
    };
    for (const auto& r : rows) {
        char buf[64];
        memset(buf, '#', sizeof buf);
        int got = BufToHexStr(bytes, r.len, buf, r.cap, r.blanks);
        EXPECT_EQ(got, r.result) << "len " << r.len << " cap " << r.cap << " blanks " << r.blanks;
        if (r.text != nullptr) {
            EXPECT_STREQ(buf, r.text);
        } else {
            EXPECT_EQ(buf[0], '#') << "a refused call must leave the buffer untouched";
        }
    }
    char buf[8] = "#";
    EXPECT_EQ(BufToHexStr(nullptr, 1, buf, 8, 1), -1);
    EXPECT_EQ(buf[0], '#');
    EXPECT_EQ(BufToHexStr(bytes, 1, nullptr, 8, 1), -1);
}

TEST(HexDump, ZeroBlanks) {
    EXPECT_EQ(Dump({0x00, 0xFF}, 0), "00FF");
}

TEST(HexDump, ConvenienceFormLimit) {
    std::vector<unsigned char> block(512);
    for (size_t i = 0; i < block.size(); ++i) block[i] = static_cast<unsigned char>(i);
    std::string full = BufToHexStr(block.data(), 340, 1);
    ASSERT_EQ(full.size(), 1020u);
    EXPECT_EQ(full.substr(0, 9), "00 01 02 ");
    EXPECT_EQ(full.back(), ' ');
    EXPECT_EQ(full.substr(1017), "53 ");  // byte 339
    EXPECT_STREQ(BufToHexStr(block.data(), 341, 1), "msg.len > 1024");
    // The limit is in characters needed, whatever the blank count.
    EXPECT_EQ(std::string(BufToHexStr(block.data(), 511, 0)).size(), 1022u);
    EXPECT_STREQ(BufToHexStr(block.data(), 512, 0), "msg.len > 1024");
    EXPECT_STREQ(BufToHexStr(block.data(), INT_MAX, 1), "msg.len > 1024");
}

TEST(HexDump, ConvenienceFormSharesOneBufferPerThread) {
    const unsigned char a[] = {0xAA, 0xBB, 0xCC};
    const unsigned char b[] = {0x01};
    char* first = BufToHexStr(a, 3, 1);
    EXPECT_STREQ(first, "AA BB CC ");
    char* second = BufToHexStr(b, 1, 1);
    EXPECT_EQ(first, second);
    EXPECT_STREQ(second, "01 ");
    // Refused (null data): the previous text stays.
    EXPECT_STREQ(BufToHexStr(nullptr, 5, 1), "01 ");
    EXPECT_STREQ(BufToHexStr(a, 0, 1), "");
    EXPECT_STREQ(BufToHexStr(a, -1, 1), "");

    char* other = nullptr;
    std::thread t([&] { other = BufToHexStr(a, 1, 1); });
    t.join();
    EXPECT_NE(other, second) << "each thread dumps into its own buffer";
    EXPECT_STREQ(second, "");
}

TEST(HexDump, ConcurrentDumpsStayWhole) {
    std::vector<std::thread> threads;
    std::vector<int> bad(4, 0);
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([t, &bad] {
            unsigned char block[100];
            memset(block, 0x11 * (t + 1), sizeof block);
            std::string expect;
            for (int i = 0; i < 100; ++i) expect += std::string(2, "0123456789ABCDEF"[t + 1]) + " ";
            for (int i = 0; i < 2000; ++i)
                if (expect != BufToHexStr(block, 100, 1)) ++bad[static_cast<size_t>(t)];
        });
    }
    for (auto& th : threads) th.join();
    for (int t = 0; t < 4; ++t) EXPECT_EQ(bad[static_cast<size_t>(t)], 0) << "thread " << t;
}

// The host's function gets exactly what standard output would, a whole line
// a call; with the log off nothing at all is written. printf and puts lines
// (a refused serial Open, set_opt on a pipe, a connect that fails), and a
// TCP exchange's four-line receive.
TEST(LogDestination, TheHostsFunctionGetsStandardOutputsLines) {
    int port = 0;
    kxtest::UniqueFd listener = kxnet::Listen(4, &port);
    const auto session = [&] {
        CSerCom serial("ttyKXnone0:9600");
        serial.Open(nullptr);
        int p[2];
        if (pipe(p) == 0) {
            serial.set_opt(p[0], 9600, 8, 'N', 0, 'N');
            close(p[0]);
            close(p[1]);
        }
        CSerNet net(kxnet::Def("127.0.0.1", port).c_str());
        net.Open(nullptr);
        kxtest::UniqueFd peer = kxnet::Accept(listener.get(), 10000);
        net.Write("ping");
        kxtest::WriteAll(peer.get(), "pong", 4);
        unsigned char buf[8];
        net.Read(buf, sizeof buf, 5000);
        net.Close();
    };
    kxtest::StdoutCapture cap;
    session();
    const std::string printed = cap.Text();
    ASSERT_NE(printed.find("tcgetattr error\n"), std::string::npos);
    // Refused: the log stays on standard output.
    EXPECT_EQ(KxSetLog(3, nullptr, nullptr), 0);
    EXPECT_EQ(KxSetLog(2, nullptr, nullptr), 0);
    struct Got {
        std::string text;
        int calls = 0, whole = 0;
    } got;
    ASSERT_EQ(KxSetLog(2, [](void* ctx, const char* text, int len) {
        Got* g = static_cast<Got*>(ctx);
        ++g->calls;
        g->text.append(text, static_cast<size_t>(len));
        if (len > 0 && memchr(text, '\n', static_cast<size_t>(len)) == text + len - 1) ++g->whole;
    }, &got), 1);
    session();
    ASSERT_EQ(KxSetLog(1, nullptr, nullptr), 1);
    session();
    ASSERT_EQ(KxSetLog(0, nullptr, nullptr), 1);
    EXPECT_EQ(cap.Stop(), printed) << "the log went to standard output while it was the host's or off";
    // The addresses of the channels in the constructors' lines differ.
    const auto masked = [](std::string text) {
        for (const char* mark : {"CSerCom InitCom: ", "SerNet new: "})
            for (size_t at = text.find(mark); at != std::string::npos; at = text.find(mark, at + 1))
                text.replace(at + strlen(mark), text.find(' ', at + strlen(mark)) - at - strlen(mark), "X");
        return text;
    };
    EXPECT_EQ(masked(got.text), masked(printed));
    EXPECT_EQ(got.whole, got.calls);
    EXPECT_GT(got.calls, 10);
}

}  // namespace
