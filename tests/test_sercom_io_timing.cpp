// Serial Read pacing on a pty (the 0.2 s read timer and the passes of its
// time-out) and device calls meeting signals.
#include <gtest/gtest.h>

#include <poll.h>
#include <sched.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "SerCom.h"
#include "kxtest.h"
#include "serial_pty.h"

namespace {

using kxtest::SerialLine;
using kxtest::StdoutCapture;

void SleepMs(int ms) { poll(nullptr, 0, ms); }

struct SilentRow {
    int timeout;
    int reads;  // 0.2 s device reads a silent line costs: the first one, then one per pass (at least one)
};

class SerComSilentLine : public ::testing::TestWithParam<SilentRow> {};

TEST_P(SerComSilentLine, ReturnsZeroAfterTheFirstReadAndOneReadPerPass) {
    SerialLine line;
    std::unique_ptr<CSerCom> ch = kxtest::OpenChannel(line.Def("115200,N,8,1"));
    ASSERT_TRUE(ch);
    unsigned char buf[16];
    StdoutCapture cap;
    const double t0 = kxtest::NowMs();
    EXPECT_EQ(ch->Read(buf, 16, GetParam().timeout), 0);
    const double ms = kxtest::NowMs() - t0;
    EXPECT_EQ(cap.Stop(), "RECV: \r\n");
    const double expected = GetParam().reads * 200.0;
    EXPECT_GE(ms, expected - 20);
    EXPECT_LT(ms, expected * 1.75 + 200) << "more passes than the time-out asks for";
}

INSTANTIATE_TEST_SUITE_P(Timeouts, SerComSilentLine,
                         ::testing::Values(SilentRow{0, 2}, SilentRow{999, 2}, SilentRow{-1, 2},
                                           SilentRow{-999, 2}, SilentRow{1999, 2},
                                           SilentRow{3000, 4}),
                         [](const ::testing::TestParamInfo<SilentRow>& info) {
                             const int t = info.param.timeout;
                             return (t < 0 ? "minus" + std::to_string(-t) : std::to_string(t)) + "ms";
                         });

class SerComPacing : public ::testing::Test {
protected:
    void SetUp() override {
        ch = kxtest::OpenChannel(line.Def("115200,N,8,1"));
        ASSERT_TRUE(ch);
    }
    void TearDown() override {
        StdoutCapture quiet;
        if (ch) ch->Close();
    }
    void Send(const char* text) {
        ASSERT_TRUE(kxtest::WriteAll(line.master(), text, static_cast<int>(strlen(text))));
    }
    SerialLine line;
    std::unique_ptr<CSerCom> ch;
};

// A pass count that never reaches 0 keeps reading through silent stretches
// until the buffer is full.
TEST_F(SerComPacing, NegativeTimeoutWaitsForAFullBuffer) {
    std::thread writer([this] {
        Send("AB");
        SleepMs(500);  // the silence is the point: longer than two read timers
        Send("C");
    });
    unsigned char buf[3] = {};
    StdoutCapture cap;
    const double t0 = kxtest::NowMs();
    const int n = ch->Read(buf, 3, -1000);
    const double ms = kxtest::NowMs() - t0;
    writer.join();
    EXPECT_EQ(n, 3);
    EXPECT_EQ(memcmp(buf, "ABC", 3), 0);
    EXPECT_GE(ms, 450);
    EXPECT_EQ(cap.Stop(), "RECV: 41 42 43 \r\n");
}

// Bytes arriving with gaps shorter than the read timer keep one Read going,
// with no passes at all.
TEST_F(SerComPacing, BytesKeepingUpKeepTheReadGoing) {
    std::thread writer([this] {
        for (const char* chunk : {"a", "b", "c", "d", "e", "f"}) {
            Send(chunk);
            SleepMs(40);
        }
    });
    unsigned char buf[64] = {};
    StdoutCapture cap;
    const int n = ch->Read(buf, 64, 0);
    writer.join();
    EXPECT_EQ(n, 6);
    EXPECT_EQ(memcmp(buf, "abcdef", 6), 0);
    EXPECT_EQ(cap.Stop(), "RECV: 61 62 63 64 65 66 \r\n");
}

// A frame gap ends the Read at the first silence of its length once a byte
// has counted, whatever passes remain; shorter pauses keep it going.
TEST_F(SerComPacing, FrameGapEndsTheReadAtTheFirstSilenceOfItsLength) {
    const struct {
        const char* gap;
        int timeout;
        const char* got;
    } rows[] = {{"gap=0", 0, "abcdef"}, {"gap=100", 0, "abcdef"}, {"gap=10", 0, "a"}, {"gap=10", -1000, "a"}};
    for (const auto& row : rows) {
        SCOPED_TRACE(std::string(row.gap) + " " + std::to_string(row.timeout));
        StdoutCapture quiet;
        ASSERT_EQ(ch->Open(line.Def(std::string("115200,N,8,1,") + row.gap).c_str()), 1);
        std::thread writer([this] {
            for (const char* chunk : {"a", "b", "c", "d", "e", "f"}) {
                Send(chunk);
                SleepMs(40);
            }
        });
        char buf[64] = {};
        const double t0 = kxtest::NowMs();
        const int n = ch->Read(reinterpret_cast<unsigned char*>(buf), 64, row.timeout);
        const double ms = kxtest::NowMs() - t0;
        writer.join();
        EXPECT_EQ(std::string(buf, n > 0 ? n : 0), row.got);
        if (strlen(row.got) == 1) {
            EXPECT_LT(ms, 190) << "ended by the 0.2 s read timer, not by the gap";
        }
        ch->Purge();
    }
}

// A host breaks a Read whose passes never run out (a time-out of -1000 or
// less) with a signal whose handler it installed without SA_RESTART: the
// interrupted device read fails, and Read ends with what it has. A signal
// that lands in the first one-byte read only makes it count nothing, so the
// signals repeat until Read has ended.
TEST_F(SerComPacing, InterruptingSignalEndsABlockingRead) {
    kxtest::InterruptSignal sig;
    std::atomic<bool> done{false};
    std::atomic<int> n{-2};
    unsigned char buf[4] = {};
    StdoutCapture cap;
    Send("W");
    std::thread reader([&] {
        n = ch->Read(buf, 4, -1000);
        done = true;
    });
    for (int i = 0; i < 200 && !done; ++i) sig.Pulse(reader.native_handle(), 1, 50);
    if (!done) Send("XYZ");  // fills the buffer, so a failing test ends too
    reader.join();
    EXPECT_EQ(n.load(), 1) << "the signals did not end the Read";
    EXPECT_EQ(buf[0], 'W');
    EXPECT_EQ(cap.Stop(), "RECV: 57 \r\n");
}

// With the line towards the master full, the channel's write blocks; signals
// whose handler has SA_RESTART must not make it fail (the kernel restarts
// the write; the channel adds nothing of its own).
TEST_F(SerComPacing, RestartingSignalsLeaveABlockedWriteAlone) {
    // Fill through the second slave descriptor (non-blocking). The kernel
    // frees room in its input buffers a little later and without a wake-up,
    // so the line counts as full only once ten tries 10 ms apart took
    // nothing; the last tries go byte by byte, since a large write is
    // refused while the last buffer still holds a few bytes.
    std::vector<unsigned char> filler(1024, 'f');
    long filled = 0;
    for (int refused = 0; refused < 10;) {
        ssize_t k = write(line.holder.get(), filler.data(), filler.size());
        if (k <= 0) k = write(line.holder.get(), filler.data(), 1);
        if (k > 0) {
            filled += k;
            refused = 0;
            continue;
        }
        ASSERT_TRUE(errno == EAGAIN || errno == EINTR) << strerror(errno);
        ++refused;
        SleepMs(10);
    }
    unsigned char data[64];
    for (int i = 0; i < 64; ++i) data[i] = static_cast<unsigned char>(0x30 + i);

    kxtest::InterruptSignal sig(true);
    std::atomic<bool> started{false};
    std::atomic<int> n{-2};
    StdoutCapture cap;
    std::thread writer([&] {
        started = true;
        n = ch->Write(data, 64);
    });
    while (!started) sched_yield();
    sig.Pulse(writer.native_handle(), 6, 30);
    EXPECT_EQ(n.load(), -2) << "Write returned while the line was full";

    std::vector<unsigned char> got(static_cast<size_t>(filled) + 64);
    EXPECT_EQ(kxtest::ReadFully(line.master(), got.data(), static_cast<int>(got.size()), 20000),
              static_cast<int>(got.size()));
    writer.join();
    EXPECT_GE(kxtest::InterruptSignal::Delivered(), 6);
    EXPECT_EQ(n.load(), 64);
    EXPECT_EQ(memcmp(got.data() + filled, data, 64), 0);
    EXPECT_EQ(cap.Stop(), "SEND: " + kxtest::Hex(data, 64) + "\r\n");
}

}  // namespace
