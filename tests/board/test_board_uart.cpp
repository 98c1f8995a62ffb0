// The serial channel on real tty drivers: the board's PL011 UART and QEMU's
// FTDI FT232 USB-serial adapter on an xHCI controller (Linux ftdi_sio), each
// wired by QEMU to a host-side peer (tests/board/uart_peer.cpp). The line
// settings are read back from the driver on a second descriptor; frames go
// out through Write, the peer's answers come back through Read. QEMU models
// neither baud rate nor parity on the wire, so the peers just see bytes.
// The adapter is also unplugged and replugged: the build machine does it
// through QEMU's monitor when a test asks on the board's control port
// (scripts/board/plug.sh).
#include <fcntl.h>
#include <glob.h>
#include <gtest/gtest.h>
#include <sys/inotify.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <future>
#include <memory>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

#include "SerCom.h"
#include "kxtest.h"
#include "serial_pty.h"
#include "uart_frame.h"

namespace {

const uint8_t kAddress = 0x11;  // never 0x00: Read drops a leading zero byte

struct LineCase {
    const char* env;   // names the device, set by the board's init
    int type;          // the channel's type code for it
};

void PrintTo(const LineCase& c, std::ostream* os) { *os << c.env; }

// The device named by `env`, or empty when this machine has none.
std::string BoardDevice(const char* env) {
    const char* dev = getenv(env);
    return dev != nullptr ? dev : "";
}

class BoardUart : public ::testing::TestWithParam<LineCase> {
protected:
    void SetUp() override {
        path_ = BoardDevice(GetParam().env);
        if (path_.empty())
            GTEST_SKIP() << "no such line wired to a peer here (" << GetParam().env
                         << " is not set); the board run has one (make test-board)";
        name_ = path_.substr(path_.rfind('/') + 1);
    }

    // The channel forms /dev/<name> from its own port-name rule.
    std::unique_ptr<CSerCom> Open(const std::string& settings) {
        return kxtest::OpenChannel(name_ + ":" + settings);
    }

    std::string path_, name_;
};

bool Send(CSerCom& ch, const std::vector<uint8_t>& bytes) {
    kxtest::StdoutCapture quiet;
    return ch.Write(bytes.data(), static_cast<int>(bytes.size())) == static_cast<int>(bytes.size());
}

// Collects `want` bytes: one Read normally; more only if the board stalled
// for longer than the line's 0.2 s silence in the middle of an answer.
std::vector<uint8_t> Receive(CSerCom& ch, size_t want, int timeout = 2000) {
    std::vector<uint8_t> got(want + 1, 0);
    size_t total = 0;
    kxtest::StdoutCapture quiet;
    for (int i = 0; i < 5 && total < want; ++i) {
        const int r = ch.Read(got.data() + total, static_cast<int>(want - total), timeout);
        if (r <= 0) break;
        total += static_cast<size_t>(r);
    }
    got.resize(total);
    return got;
}

std::vector<uint8_t> Exchange(CSerCom& ch, const std::vector<uint8_t>& request, size_t answerSize) {
    if (!Send(ch, request)) return {};
    return Receive(ch, answerSize);
}

TEST_P(BoardUart, LineSettingsReachTheDriver) {
    struct Case {
        const char* settings;
        speed_t speed;
        tcflag_t size;
        bool parenb, parodd, cstopb, inpck;
    };
    // Mark parity ('m') configures no parity on the device. Without
    // parity set_opt leaves PARODD as the line had it (the driver ignores
    // it then): odd since the 19200,O case, in this order.
    const Case cases[] = {
        {"9600,E,7,2", B9600, CS7, true, false, true, true},
        {"19200,O,8,1", B19200, CS8, true, true, false, true},
        {"4800,N,7,1", B4800, CS7, false, true, false, false},
        {"57600,m,8,2", B57600, CS8, false, true, true, false},
        {"115200,N,8,1", B115200, CS8, false, true, false, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.settings);
        std::unique_ptr<CSerCom> ch = Open(c.settings);
        ASSERT_TRUE(ch) << path_;
        kxtest::UniqueFd probe(open(path_.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK));
        ASSERT_TRUE(probe) << strerror(errno);
        struct termios t;
        ASSERT_EQ(tcgetattr(probe.get(), &t), 0);
        EXPECT_EQ(cfgetispeed(&t), c.speed);
        EXPECT_EQ(cfgetospeed(&t), c.speed);
        EXPECT_EQ(t.c_cflag & CSIZE, c.size);
        EXPECT_EQ((t.c_cflag & PARENB) != 0, c.parenb);
        EXPECT_EQ((t.c_cflag & PARODD) != 0, c.parodd);
        EXPECT_EQ((t.c_cflag & CSTOPB) != 0, c.cstopb);
        EXPECT_EQ((t.c_iflag & INPCK) != 0, c.inpck);
        EXPECT_EQ(t.c_cflag & (CLOCAL | CREAD), tcflag_t(CLOCAL | CREAD));
        EXPECT_EQ(t.c_cflag & CRTSCTS, 0u);
        EXPECT_EQ(t.c_iflag & (IXON | IXOFF | IXANY | INLCR | IGNCR | ICRNL), 0u);
        EXPECT_EQ(t.c_lflag & (ICANON | ECHO | ECHOE | ISIG), 0u);
        EXPECT_EQ(t.c_oflag & OPOST, 0u);
        EXPECT_EQ(t.c_cc[VMIN], 0);
        EXPECT_EQ(t.c_cc[VTIME], 2);
        // The line still carries bytes after the change. QEMU's PL011 passes
        // all eight bits whatever the character size, so this shows the
        // driver took the settings and went on working, not 7-bit framing.
        const std::vector<uint8_t> ping = kxframe::Make(kAddress, kxframe::kFuncEcho, {'p', 'i', 'n', 'g'});
        EXPECT_EQ(Exchange(*ch, ping, ping.size()), ping);
        ch->Close();
    }
}

TEST_P(BoardUart, RequestAndResponseFramesWithTheirCrc) {
    std::unique_ptr<CSerCom> ch = Open("115200,N,8,1");
    ASSERT_TRUE(ch) << path_;
    EXPECT_EQ(ch->GetType(), GetParam().type);
    std::vector<uint8_t> request = kxframe::Make(kAddress, kxframe::kFuncRead, {0x10, 0x00, 4});
    const std::vector<uint8_t> answer = Exchange(*ch, request, 4 + 8 + 2);
    ASSERT_TRUE(kxframe::Valid(answer.data(), answer.size())) << kxtest::Hex(answer.data(), int(answer.size()));
    EXPECT_EQ(answer[0], kAddress);
    EXPECT_EQ(answer[1], kxframe::kFuncRead);
    for (unsigned i = 0; i < 4; ++i)
        EXPECT_EQ(kxframe::Get16(&answer[4 + 2 * i]), kxframe::RegisterValue(0x10 + i)) << "register " << i;

    // The peer checks the CRC of what arrived.
    request.back() ^= 0x5a;
    const std::vector<uint8_t> refused = Exchange(*ch, request, 4 + 1 + 2);
    ASSERT_TRUE(kxframe::Valid(refused.data(), refused.size()));
    EXPECT_EQ(refused[1], kxframe::kFuncRead | 0x80);
    EXPECT_EQ(refused[4], kxframe::kExceptionBadCrc);

    // Purge drops an answer that has arrived but was not read.
    ASSERT_TRUE(Send(*ch, kxframe::Make(kAddress, kxframe::kFuncEcho, {1, 2, 3})));
    ASSERT_TRUE(kxtest::WaitInputQueued(ch->GetHandle(), 9, 5000));
    EXPECT_EQ(ch->Purge(), 1);
    EXPECT_EQ(kxtest::InputQueued(ch->GetHandle()), 0);
    EXPECT_TRUE(Receive(*ch, 9, 0).empty());
    ch->Close();
}

TEST_P(BoardUart, AllByteValuesBothWays) {
    std::unique_ptr<CSerCom> ch = Open("115200,N,8,1");
    ASSERT_TRUE(ch) << path_;
    std::vector<uint8_t> data(256);
    for (int i = 0; i < 256; ++i) data[static_cast<size_t>(i)] = static_cast<uint8_t>(i);
    const std::vector<uint8_t> frame = kxframe::Make(kAddress, kxframe::kFuncEcho, data);
    const std::vector<uint8_t> back = Exchange(*ch, frame, frame.size());
    EXPECT_EQ(back, frame) << kxtest::Hex(back.data(), int(back.size()));
    ch->Close();
}

// Each device read waits at most 0.2 s for a byte: Read ends at the first
// silence that long once its passes are used, and goes on while bytes keep
// coming sooner than that. Measured on the PL011 alone: the tty layer times
// VTIME alike for every driver.
class BoardUartSilence : public BoardUart {};

TEST_P(BoardUartSilence, ReadEndsAtTheFirstSilenceOfAFifthOfASecond) {
    std::unique_ptr<CSerCom> ch = Open("115200,N,8,1");
    ASSERT_TRUE(ch) << path_;
    std::vector<uint8_t> buf(64);
    kxtest::StdoutCapture quiet;

    double start = kxtest::NowMs();
    EXPECT_EQ(ch->Read(buf.data(), 16, 0), 0) << "a quiet line";
    double took = kxtest::NowMs() - start;
    EXPECT_GE(took, 300) << "two device reads of 0.2 s each";
    EXPECT_LT(took, 3000);

    // 6 bytes, 1.5 s of silence, 6 more: the first Read ends in the gap.
    std::vector<uint8_t> paced;
    kxframe::Put16(&paced, 6);
    kxframe::Put16(&paced, 1500);
    kxframe::Put16(&paced, 6);
    ASSERT_TRUE(Send(*ch, kxframe::Make(kAddress, kxframe::kFuncPaced, paced)));
    EXPECT_EQ(ch->Read(buf.data(), 64, 0), 6);
    EXPECT_EQ(std::string(buf.begin(), buf.begin() + 6), "ABCDEF");
    // Ten passes keep the next Read waiting long enough for the rest.
    EXPECT_EQ(ch->Read(buf.data(), 64, 10000), 6);
    EXPECT_EQ(std::string(buf.begin(), buf.begin() + 6), "GHIJKL");

    // 16 bytes 30 ms apart: one pass, yet Read takes them all.
    std::vector<uint8_t> trickle;
    kxframe::Put16(&trickle, 16);
    kxframe::Put16(&trickle, 30);
    ASSERT_TRUE(Send(*ch, kxframe::Make(kAddress, kxframe::kFuncTrickle, trickle)));
    start = kxtest::NowMs();
    EXPECT_EQ(ch->Read(buf.data(), 64, 0), 16);
    took = kxtest::NowMs() - start;
    EXPECT_EQ(std::string(buf.begin(), buf.begin() + 16), "ABCDEFGHIJKLMNOP");
    EXPECT_GE(took, 15 * 30 * 0.9);
    quiet.Stop();
    ch->Close();
}

std::string LineName(const ::testing::TestParamInfo<LineCase>& info) {
    return info.param.type == 0x100000 ? "Uart" : "Usb";
}

const LineCase kUart = {"KXSER_BOARD_UART", 0x100000};
const LineCase kUsb = {"KXSER_BOARD_USB", 0x120000};
INSTANTIATE_TEST_SUITE_P(Lines, BoardUart, ::testing::Values(kUart, kUsb), LineName);
INSTANTIATE_TEST_SUITE_P(Lines, BoardUartSilence, ::testing::Values(kUart), LineName);

// Waits until `path` exists, or until it is gone: inotify on its directory,
// checked after the watch is in place so no change is missed.
bool WaitNode(const std::string& path, bool present, int timeoutMs) {
    kxtest::UniqueFd in(inotify_init1(IN_CLOEXEC | IN_NONBLOCK));
    const std::string dir = path.substr(0, path.rfind('/'));
    if (!in || inotify_add_watch(in.get(), dir.c_str(), IN_CREATE | IN_DELETE) < 0) return false;
    const double end = kxtest::NowMs() + timeoutMs;
    while ((access(path.c_str(), F_OK) == 0) != present) {
        const int left = static_cast<int>(end - kxtest::NowMs());
        if (left <= 0 || !kxtest::WaitReadable(in.get(), left)) return false;
        char events[4096];
        while (read(in.get(), events, sizeof events) > 0) {
        }
    }
    return true;
}

std::string UsbNodes() {
    std::string names;
    glob_t g;
    if (glob("/dev/ttyUSB*", 0, nullptr, &g) == 0)
        for (size_t i = 0; i < g.gl_pathc; ++i) names += std::string(g.gl_pathv[i]) + " ";
    globfree(&g);
    return names.empty() ? "none" : names;
}

class BoardUsbAdapter : public ::testing::Test {
protected:
    void SetUp() override {
        path_ = BoardDevice("KXSER_BOARD_USB");
        const std::string control = BoardDevice("KXSER_BOARD_PLUG");
        if (path_.empty() || control.empty())
            GTEST_SKIP() << "no USB-serial adapter that can be unplugged here (KXSER_BOARD_USB, KXSER_BOARD_PLUG); "
                            "the board run has one (make test-board)";
        name_ = path_.substr(path_.rfind('/') + 1);
        control_.reset(open(control.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC));
        ASSERT_TRUE(control_) << control << ": " << strerror(errno);
    }

    // "unplug" or "replug", done by the build machine; its answer, "ok" or
    // the reason.
    std::string Plug(const char* request) {
        const std::string line = std::string(request) + "\n";
        if (write(control_.get(), line.data(), line.size()) != static_cast<ssize_t>(line.size()))
            return std::string("cannot send the request: ") + strerror(errno);
        std::string answer;
        char c;
        while (kxtest::WaitReadable(control_.get(), 20000) && read(control_.get(), &c, 1) == 1 && c != '\n')
            answer += c;
        return answer;
    }

    // A failed test leaves the adapter as the next test needs it: closed,
    // and back as path_.
    void TearDown() override {
        if (ch_) {
            kxtest::StdoutCapture quiet;
            ch_->Close();
        }
        if (control_ && access(path_.c_str(), F_OK) != 0) {
            Plug("unplug");
            Plug("replug");
            WaitNode(path_, true, 15000);
        }
    }

    std::string path_, name_;
    kxtest::UniqueFd control_;
    std::unique_ptr<CSerCom> ch_;
};

#ifdef KXHOST_PATH
TEST_F(BoardUsbAdapter, KxhostListNamesTheUartAndTheAdapter) {
    FILE* f = popen(KXHOST_PATH " list --lib " KXSER_LIB_PATH " 2>&1", "r");
    ASSERT_NE(f, nullptr);
    std::string out = "\n";
    char line[512];
    while (fgets(line, sizeof line, f) != nullptr) out += line;
    EXPECT_EQ(pclose(f), 0) << out;
    EXPECT_NE(out.find("\nttyAMA0 "), std::string::npos) << out;
    const size_t usb = out.find("\n" + name_ + " ");
    ASSERT_NE(usb, std::string::npos) << out;
    const std::string entry = out.substr(usb + 1, out.find('\n', usb + 1) - usb - 1);
    EXPECT_NE(entry.find(" ftdi_sio "), std::string::npos) << entry;
    EXPECT_NE(entry.find(name_ + ":9600,N,8,1  0x120000  0403:6001 "), std::string::npos) << entry;
}
#endif

// The commonest field failure: the adapter is pulled while the host has the
// channel open, idle or waiting in a Read without a pass limit. The channel
// closes itself at the first transfer that meets the hang-up, logs no more
// than that transfer's line, and so releases the node: the adapter comes
// back under the same name and Open(nullptr) reaches it.
TEST_F(BoardUsbAdapter, UnplugClosesTheChannelAndReplugComesBackUnderTheSameName) {
    const int fds = kxtest::CountOpenFds();
    ch_ = kxtest::OpenChannel(name_ + ":115200,N,8,1");
    ASSERT_TRUE(ch_) << path_;
    CSerCom* ch = ch_.get();
    const std::vector<uint8_t> ping = kxframe::Make(kAddress, kxframe::kFuncEcho, {'u', 's', 'b'});
    for (int cycle = 0; cycle < 10; ++cycle) {
        const bool duringRead = cycle % 2 == 1;
        SCOPED_TRACE(std::string(duringRead ? "unplugged during a Read, cycle " : "unplugged idle, cycle ") +
                     std::to_string(cycle));
        ASSERT_EQ(Exchange(*ch, ping, ping.size()), ping);
        std::vector<int> answers;
        kxtest::StdoutCapture log;
        if (duringRead) {
            // Shared with the reader, which a Read that never ends leaves behind.
            auto buf = std::make_shared<std::vector<uint8_t>>(16);
            std::packaged_task<int()> read([ch, buf] { return ch->Read(buf->data(), 16, -1000); });
            std::future<int> result = read.get_future();
            std::thread(std::move(read)).detach();
            const std::string answer = Plug("unplug");
            if (result.wait_for(std::chrono::seconds(20)) != std::future_status::ready) {
                log.Stop();
                ch_.release();  // still in the reader's hands
                FAIL() << "the Read went on after the unplug (" << answer << ")";
            }
            ASSERT_EQ(answer, "ok");
            answers.push_back(result.get());
        } else {
            ASSERT_EQ(Plug("unplug"), "ok");
            ASSERT_TRUE(WaitNode(path_, false, 10000)) << path_ << " stayed";
            uint8_t buf[16];
            answers.push_back(ch->Read(buf, 16, 1000));
        }
        uint8_t buf[16];
        answers.push_back(ch->Read(buf, 16, 1000));
        answers.push_back(ch->Write(ping.data(), static_cast<int>(ping.size())));
        answers.push_back(ch->Read(buf, 16, -1000));
        EXPECT_EQ(ch->IsOpened(), 0);
        const std::string text = log.Stop();
        int served = 0;
        for (int a : answers) served += a >= 0;
        EXPECT_LE(served, 1) << "answers after the unplug: " << ::testing::PrintToString(answers);
        EXPECT_EQ(answers.back(), -1);
        EXPECT_LE(std::count(text.begin(), text.end(), '\n'), 1) << text;
        EXPECT_EQ(kxtest::CountOpenFds(), fds) << "the channel's descriptor is closed";

        ASSERT_EQ(Plug("replug"), "ok");
        ASSERT_TRUE(WaitNode(path_, true, 15000)) << "the adapter came back as " << UsbNodes();
        kxtest::StdoutCapture quiet;
        ASSERT_EQ(ch->Open(nullptr), 1) << quiet.Stop();
    }
    EXPECT_EQ(Exchange(*ch, ping, ping.size()), ping);
    ch->Close();
    EXPECT_EQ(kxtest::CountOpenFds(), fds);
    ch_.reset();
}

}  // namespace
