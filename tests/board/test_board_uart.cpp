// The serial channel on real tty drivers: the board's PL011 UART, QEMU's
// FTDI FT232 USB-serial adapter on an xHCI controller (Linux ftdi_sio) and a
// 16550 on PCI (Linux 8250_pci), each wired by QEMU to a host-side peer
// (tests/board/uart_peer.cpp); and both ends of the board's own USB gadget,
// g_serial's ttyGS0 (a driver that keeps no line settings) and cdc_acm's
// ttyACM0, each with the peer on the other end. The line settings are read
// back from the driver with TCGETS2, which shows any speed as a number;
// frames go out through Write, the peer's answers come back through Read.
// QEMU models neither baud rate nor parity on the wire, but its FTDI and
// 16550 models pass speed and stop bits on to the terminal their peer made,
// and the peer tells what it has (kFuncLine).
// The adapter is also unplugged and replugged: the build machine does it
// through QEMU's monitor when a test asks on the board's control port
// (scripts/board/plug.sh). Line-control settings (flow control, RS-485,
// DTR and RTS, HUPCL, low latency) are read back on every port, and seen
// on the PL011, the FTDI and the 16550 as the chip got them: QEMU traces
// their register writes and control requests, and the build machine
// answers on the same control port with what the trace showed.
#include <fcntl.h>
#include <glob.h>
#include <gtest/gtest.h>
#include <linux/serial.h>
#include <signal.h>
#include <spawn.h>
#include <sys/file.h>
#include <sys/inotify.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
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
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "SerCom.h"
#include "kxSerExt.h"
#include "kxtest.h"
#include "serial_pty.h"
#include "uart_frame.h"

namespace {

const uint8_t kAddress = 0x11;  // never 0x00: Read drops a leading zero byte

// What the driver's line counters (TIOCGICOUNT, KxGetCounters) count: the
// bytes both ways; only the line events its device reports (cdc_acm: the
// notifications of a CDC ACM device, no bytes); nothing (no such request).
enum Counts { kCountsBytes, kCountsNoBytes, kNoCounters };

struct LineCase {
    const char* env;   // names the device, set by the board's init
    const char* name;  // of the test
    int kind;          // the channel's type code less the port's index
    // The driver's range of standard speeds, a rate no Bxxx names that it
    // makes, and one it cannot make.
    unsigned minSpeed, maxSpeed, custom, tooFast;
    // ftdi_sio refuses 6 data bits (FT232s make 7 and 8; 5 it passes on for
    // smartcard readers) and keeps the earlier size.
    bool sixBits;
    bool peerTerminal;  // the peer is on a pseudo-terminal, not a socket
    // QEMU's FTDI model refuses mark and space parity, and with them that
    // request's stop bits (the kernel logs "FAILED to set
    // databits/stopbits/parity"); the 16550 model passes them on.
    bool peerStopsWithStickParity;
    // The line-control settings the driver refuses (kControlRows' tokens).
    const char* refuses;
    // The tty core hands back the earlier speed and format (g_serial).
    bool noLine = false;
    // The far end inside the board, served by a peer the test starts.
    const char* partner = nullptr;
    Counts counts = kCountsBytes;
};

void PrintTo(const LineCase& c, std::ostream* os) { *os << c.env; }

// The kernel's struct termios2 (<asm/termbits.h>, which cannot be included
// beside <termios.h>): the speeds as numbers, whatever they are.
struct KernelTermios2 {
    tcflag_t c_iflag, c_oflag, c_cflag, c_lflag;
    cc_t c_line;
    cc_t c_cc[19];
    speed_t c_ispeed, c_ospeed;
};
const unsigned long kTcgets2 = _IOR('T', 0x2A, KernelTermios2);

const unsigned kStandardSpeeds[] = {50,     75,     110,    134,     150,     200,     300,     600,
                                    1200,   1800,   2400,   4800,    9600,    19200,   38400,   57600,
                                    115200, 230400, 460800, 500000,  576000,  921600,  1000000, 1152000,
                                    1500000, 2000000, 2500000, 3000000, 3500000, 4000000};

// The speed QEMU sets on its terminal for a line at `rate`: the first
// standard one at or above 10/11 of it (500000 shows as 460800, 250000 as
// 230400). The models' divisors make the rates of the table within 1 %.
unsigned OnQemuTerminal(unsigned rate) {
    for (unsigned s : kStandardSpeeds)
        if (rate * 10ull / 11 <= s) return s;
    return 0;
}

// The line the driver holds, read through a descriptor of our own, as text
// that names every field: what a refused Open must leave as it found it.
std::string PortLine(const std::string& path) {
    kxtest::UniqueFd fd(open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
    KernelTermios2 t;
    if (!fd || ioctl(fd.get(), kTcgets2, &t) != 0) {
        ADD_FAILURE() << "the line of " << path << " cannot be read: " << strerror(errno);
        return strerror(errno);
    }
    char text[256];
    int n = snprintf(text, sizeof text, "iflag %o oflag %o cflag %o lflag %o line %u speed %u/%u cc", t.c_iflag,
                     t.c_oflag, t.c_cflag, t.c_lflag, t.c_line, t.c_ispeed, t.c_ospeed);
    for (cc_t c : t.c_cc) n += snprintf(text + n, sizeof text - static_cast<size_t>(n), " %x", c);
    return text;
}

// The device named by `env`, or empty when this machine has none.
std::string BoardDevice(const char* env) {
    const char* dev = getenv(env);
    return dev != nullptr ? dev : "";
}

// The board's control port to the build machine (scripts/board/plug.sh):
// one request line, one answer line ("ok ...", or the reason).
class BoardControl {
public:
    bool Open() {
        const std::string path = BoardDevice("KXSER_BOARD_PLUG");
        if (!path.empty()) fd_.reset(open(path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC));
        return static_cast<bool>(fd_);
    }

    std::string Ask(const std::string& request) {
        const std::string line = request + "\n";
        if (write(fd_.get(), line.data(), line.size()) != static_cast<ssize_t>(line.size()))
            return std::string("cannot send the request: ") + strerror(errno);
        std::string answer;
        char c;
        while (kxtest::WaitReadable(fd_.get(), 20000) && read(fd_.get(), &c, 1) == 1 && c != '\n') answer += c;
        return answer;
    }

private:
    kxtest::UniqueFd fd_;
};

class BoardUart : public ::testing::TestWithParam<LineCase> {
protected:
    void SetUp() override {
        path_ = BoardDevice(GetParam().env);
        if (path_.empty())
            GTEST_SKIP() << "no such line wired to a peer here (" << GetParam().env
                         << " is not set); the board run has one (make test-board)";
        name_ = path_.substr(path_.rfind('/') + 1);
        type_ = GetParam().kind + atoi(name_.c_str() + name_.find_first_of("0123456789"));
        if (GetParam().partner != nullptr) StartPeer(BoardDevice(GetParam().partner));
    }

    void TearDown() override {
        if (peer_ > 0) {
            kill(peer_, SIGTERM);
            waitpid(peer_, nullptr, 0);
        }
    }

    // Ready once it has made the line raw: before that the line would echo.
    // Its "ready" or its reason come through one pipe; its lines per frame
    // go nowhere once the pipe is closed.
    void StartPeer(const std::string& partner) {
        ASSERT_FALSE(partner.empty()) << GetParam().partner << " is not set";
        int out[2];
        ASSERT_EQ(pipe2(out, O_CLOEXEC), 0);
        kxtest::UniqueFd said(out[0]);
        posix_spawn_file_actions_t fa;
        posix_spawn_file_actions_init(&fa);
        posix_spawn_file_actions_adddup2(&fa, out[1], STDOUT_FILENO);
        posix_spawn_file_actions_adddup2(&fa, out[1], STDERR_FILENO);
        const char* argv[] = {UART_PEER_PATH, "--tty", partner.c_str(), "--limit", "300", nullptr};
        const int rc = posix_spawn(&peer_, UART_PEER_PATH, &fa, nullptr, const_cast<char**>(argv), environ);
        posix_spawn_file_actions_destroy(&fa);
        close(out[1]);
        ASSERT_EQ(rc, 0) << UART_PEER_PATH << ": " << strerror(rc);
        char buf[256] = {};
        const bool answered = kxtest::WaitReadable(said.get(), 10000) && read(said.get(), buf, sizeof buf - 1) > 0;
        ASSERT_TRUE(answered && strncmp(buf, "ready\n", 6) == 0) << "no peer on " << partner << ": " << buf;
    }

    // The channel forms /dev/<name> from its own port-name rule.
    std::unique_ptr<CSerCom> Open(const std::string& settings) {
        return kxtest::OpenChannel(name_ + ":" + settings);
    }

    std::unique_ptr<CSerCom> OpenLogged(const std::string& settings, std::string* log) {
        kxtest::StdoutCapture cap;
        std::unique_ptr<CSerCom> ch(new CSerCom((name_ + ":" + settings).c_str()));
        if (ch->Open(nullptr) != 1) ch.reset();
        *log = cap.Stop();
        return ch;
    }

    std::string path_, name_;
    int type_ = 0;
    pid_t peer_ = 0;
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
    const LineCase& port = GetParam();
    struct Row {
        std::string settings;
        unsigned speed;
        tcflag_t size;
        char parity;  // N, O, E, M(ark) or S(pace)
        bool stop2;
    };
    std::vector<Row> rows;
    for (unsigned speed : kStandardSpeeds)
        if (speed >= port.minSpeed && speed <= port.maxSpeed)
            rows.push_back({std::to_string(speed) + ",N,8,1", speed, CS8, 'N', false});
    rows.push_back({std::to_string(port.custom) + ",E,8,1", port.custom, CS8, 'E', false});
    // In this order: even parity after space clears CMSPAR, and every size
    // and stop bit count follows a different one.
    const Row fixed[] = {
        {"9600,E,7,2", 9600, CS7, 'E', true},   {"19200,O,8,1", 19200, CS8, 'O', false},
        {"4800,N,5,2", 4800, CS5, 'N', true},   {"4800,N,6,1", 4800, CS6, 'N', false},
        {"57600,M,8,2", 57600, CS8, 'M', true}, {"38400,S,7,1", 38400, CS7, 'S', false},
        {"38400,E,8,2", 38400, CS8, 'E', true}, {"115200,N,8,1", 115200, CS8, 'N', false},
    };
    // What the driver cannot make fails Open: it falls back and says so
    // only in the settings.
    std::vector<std::string> refused;
    if (port.tooFast != 0) refused.push_back(std::to_string(port.tooFast) + ",N,8,1");
    for (const Row& r : fixed) {
        if (r.size == CS6 && !port.sixBits) refused.push_back(r.settings);
        else rows.push_back(r);
    }
    if (port.noLine) {  // each row twice: the second Open changes nothing
        std::vector<Row> twice;
        for (const Row& r : rows) twice.insert(twice.end(), 2, r);
        rows.swap(twice);
    }
    KernelTermios2 kept{};
    for (const Row& r : rows) {
        SCOPED_TRACE(r.settings);
        std::unique_ptr<CSerCom> ch = Open(r.settings);
        ASSERT_TRUE(ch) << path_;
        KernelTermios2 t;
        ASSERT_EQ(ioctl(ch->GetHandle(), kTcgets2, &t), 0) << strerror(errno);
        const bool parity = r.parity != 'N';
        if (port.noLine) {
            // Speed and format stay as the port had them; Open still succeeds.
            const tcflag_t format = CSIZE | PARENB | PARODD | CMSPAR | CSTOPB;
            if (&r == &rows.front()) kept = t;
            EXPECT_EQ(t.c_ospeed, kept.c_ospeed);
            EXPECT_EQ(t.c_ispeed, kept.c_ispeed);
            EXPECT_EQ(t.c_cflag & format, kept.c_cflag & format);
        } else {
            EXPECT_EQ(t.c_ospeed, r.speed);
            EXPECT_EQ(t.c_ispeed, r.speed);
            EXPECT_EQ(t.c_cflag & CSIZE, r.size);
            EXPECT_EQ((t.c_cflag & PARENB) != 0, parity);
            if (parity) {
                EXPECT_EQ((t.c_cflag & PARODD) != 0, r.parity == 'O' || r.parity == 'M');
            }
            EXPECT_EQ((t.c_cflag & CMSPAR) != 0, r.parity == 'M' || r.parity == 'S');
            EXPECT_EQ((t.c_cflag & CSTOPB) != 0, r.stop2);
        }
        EXPECT_EQ((t.c_iflag & INPCK) != 0, parity);
        EXPECT_EQ(t.c_cflag & (CLOCAL | CREAD), tcflag_t(CLOCAL | CREAD));
        EXPECT_EQ(t.c_cflag & CRTSCTS, 0u);
        EXPECT_EQ(t.c_iflag & (IXON | IXOFF | IXANY | INLCR | IGNCR | ICRNL), 0u);
        EXPECT_EQ(t.c_lflag & (ICANON | ECHO | ECHOE | ISIG), 0u);
        EXPECT_EQ(t.c_oflag & OPOST, 0u);
        EXPECT_EQ(t.c_cc[VMIN], 0);
        EXPECT_EQ(t.c_cc[VTIME], 2);
        // The line still carries bytes after the change. QEMU passes all
        // eight bits whatever the character size, so this shows the driver
        // took the settings and went on working, not 7-bit framing.
        const std::vector<uint8_t> ping = kxframe::Make(kAddress, kxframe::kFuncEcho, {'p', 'i', 'n', 'g'});
        EXPECT_EQ(Exchange(*ch, ping, ping.size()), ping);
        if (port.peerTerminal) {
            const std::vector<uint8_t> line = Exchange(*ch, kxframe::Make(kAddress, kxframe::kFuncLine, {}), 4 + 5 + 2);
            ASSERT_TRUE(kxframe::Valid(line.data(), line.size())) << kxtest::Hex(line.data(), int(line.size()));
            EXPECT_EQ(kxframe::Get16(&line[4]) | kxframe::Get16(&line[6]) << 16, OnQemuTerminal(r.speed))
                << "on the peer's terminal";
            if (port.peerStopsWithStickParity || (r.parity != 'M' && r.parity != 'S')) {
                EXPECT_EQ(line[8], r.stop2 ? 2 : 1) << "stop bits on the peer's terminal";
            }
        }
        ch->Close();
    }
    const int fds = kxtest::CountOpenFds();
    for (const std::string& settings : refused) {
        SCOPED_TRACE(settings);
        const std::string before = PortLine(path_);
        std::unique_ptr<CSerCom> ch = Open(settings);
        EXPECT_FALSE(ch);
        if (ch) ch->Close();  // the port stays free for the tests after
        EXPECT_EQ(PortLine(path_), before) << "the line as the refused Open found it";
    }
    EXPECT_EQ(kxtest::CountOpenFds(), fds) << "no descriptor left behind";
}

// Line-control settings one at a time, each undone by a later row (they
// stay in the driver after Close, as the speed does).
// The second is refused on the ports without RS-485 after its flow control
// was applied: the port keeps flow=rtscts.
const char* const kControlRows[] = {
    "flow=rtscts", "flow=xonxoff,rs485=on", "flow=xonxoff", "flow=none", "rs485=on,rtsbefore=5,rtsafter=10",
    "rs485=inverted", "rs485=off", "dtr=0", "dtr=1", "rts=0", "rts=1", "hupcl=0", "hupcl=1", "lowlat=1",
    "lowlat=0",
};

std::vector<std::string> Tokens(const std::string& settings) {
    std::vector<std::string> tokens;
    std::istringstream in(settings);
    for (std::string t; std::getline(in, t, ',');)
        if (!t.empty()) tokens.push_back(t);
    return tokens;
}

// What the driver holds, asked with its own requests.
void ExpectControlMade(int fd, const std::string& settings) {
    struct termios t = {};
    ASSERT_EQ(tcgetattr(fd, &t), 0);
    struct serial_rs485 rs = {};
    const bool rs485 = ioctl(fd, TIOCGRS485, &rs) == 0 && (rs.flags & SER_RS485_ENABLED) != 0;
    int lines = 0;
    const bool modem = ioctl(fd, TIOCMGET, &lines) == 0;
    struct serial_struct ss = {};
    const bool lowLatency = ioctl(fd, TIOCGSERIAL, &ss) == 0 && (ss.flags & ASYNC_LOW_LATENCY) != 0;
    for (const std::string& token : Tokens(settings)) {
        SCOPED_TRACE(token);
        const std::string name = token.substr(0, token.find('=')), value = token.substr(token.find('=') + 1);
        const unsigned n = static_cast<unsigned>(atoi(value.c_str()));
        if (name == "flow") {
            EXPECT_EQ((t.c_cflag & CRTSCTS) != 0, value == "rtscts");
            EXPECT_EQ(t.c_iflag & (IXON | IXOFF | IXANY), value == "xonxoff" ? tcflag_t(IXON | IXOFF) : 0u);
        } else if (name == "rs485") {
            EXPECT_EQ(rs485, value != "off");
            EXPECT_EQ((rs.flags & SER_RS485_RTS_ON_SEND) != 0, value == "on");
            EXPECT_EQ((rs.flags & SER_RS485_RTS_AFTER_SEND) != 0, value == "inverted");
        } else if (name == "rtsbefore") {
            EXPECT_EQ(rs.delay_rts_before_send, n);
        } else if (name == "rtsafter") {
            EXPECT_EQ(rs.delay_rts_after_send, n);
        } else if (name == "dtr" || name == "rts") {
            EXPECT_TRUE(modem);
            EXPECT_EQ((lines & (name == "dtr" ? TIOCM_DTR : TIOCM_RTS)) != 0, n == 1);
        } else if (name == "hupcl") {
            EXPECT_EQ((t.c_cflag & HUPCL) != 0, n == 1);
        } else if (name == "lowlat") {
            EXPECT_EQ(lowLatency, n == 1);
        }
    }
}

// A refused Open leaves the port as it found it: unlocked, not exclusive.
void ExpectPortFree(const std::string& path) {
    kxtest::UniqueFd fd(open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
    ASSERT_TRUE(fd) << path << ": " << strerror(errno);
    int exclusive = 1;
    EXPECT_EQ(flock(fd.get(), LOCK_EX | LOCK_NB), 0) << "still locked";
    EXPECT_TRUE(ioctl(fd.get(), TIOCGEXCL, &exclusive) == 0 && exclusive == 0) << "still exclusive";
}

// What the driver takes opens and reads back so; what it refuses fails Open
// with the setting named and leaves the port free and its line (flow
// control, HUPCL, speed, every flag) as it found it.
TEST_P(BoardUart, LineControlSettingsReachTheDriverOrFailOpen) {
    const std::string refuses = std::string(" ") + GetParam().refuses + " ";
    const int fds = kxtest::CountOpenFds();
    for (const char* settings : kControlRows) {
        SCOPED_TRACE(settings);
        std::string refused, log;
        for (const std::string& token : Tokens(settings))
            if (refused.empty() && refuses.find(" " + token + " ") != std::string::npos) refused = token;
        const std::string before = PortLine(path_);
        std::unique_ptr<CSerCom> ch = OpenLogged(std::string("115200,N,8,1,") + settings, &log);
        if (!refused.empty()) {
            EXPECT_FALSE(ch) << "the driver took it";
            EXPECT_NE(log.find("serial setting refused: " + refused + "\n"), std::string::npos) << log;
            if (ch) ch->Close();
            ExpectPortFree(path_);
            EXPECT_EQ(PortLine(path_), before) << "the line as the refused Open found it";
        } else if (ch) {
            ExpectControlMade(ch->GetHandle(), settings);
            ch->Close();
        } else {
            ADD_FAILURE() << "refused: " << log;
        }
    }
    EXPECT_EQ(kxtest::CountOpenFds(), fds) << "no descriptor left behind";
}

TEST_P(BoardUart, RequestAndResponseFramesWithTheirCrc) {
    std::unique_ptr<CSerCom> ch = Open("115200,N,8,1");
    ASSERT_TRUE(ch) << path_;
    EXPECT_EQ(ch->GetType(), type_);
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

// At 115200 and at the driver's fastest standard speed.
TEST_P(BoardUart, AllByteValuesBothWays) {
    std::vector<uint8_t> data(256);
    for (int i = 0; i < 256; ++i) data[static_cast<size_t>(i)] = static_cast<uint8_t>(i);
    const std::vector<uint8_t> frame = kxframe::Make(kAddress, kxframe::kFuncEcho, data);
    for (unsigned speed : {115200u, GetParam().maxSpeed}) {
        SCOPED_TRACE(speed);
        std::unique_ptr<CSerCom> ch = Open(std::to_string(speed) + ",N,8,1");
        ASSERT_TRUE(ch) << path_;
        const std::vector<uint8_t> back = Exchange(*ch, frame, frame.size());
        EXPECT_EQ(back, frame) << kxtest::Hex(back.data(), int(back.size()));
        ch->Close();
    }
}

// The driver's line counters grow by the bytes of a request and its answer
// (on the UARTs and the FTDI; cdc_acm keeps no byte counts and g_serial no
// counters), and no error counter moves on a clean line. QEMU models no
// framing or parity errors and no overruns: the native tests give those
// counters with a driver model.
TEST_P(BoardUart, LineCountersCountTheRequestAndTheAnswer) {
    std::unique_ptr<CSerCom> ch = Open("115200,N,8,1");
    ASSERT_TRUE(ch) << path_;
    KxCounters before = {}, after = {};
    char why[128] = "";
    const int answered = KxGetCounters(ch.get(), &before);
    const int reason = KxLastError(ch.get(), why, sizeof why);
    if (GetParam().counts == kNoCounters) {
        EXPECT_EQ(answered, 0);
        EXPECT_EQ(reason, -4) << why;
        ch->Close();  // destroying a channel leaves its descriptor open
        return;
    }
    ASSERT_EQ(answered, 1) << reason << " " << why;
    const std::vector<uint8_t> request = kxframe::Make(kAddress, kxframe::kFuncRead, {0x20, 0x00, 3});
    const std::vector<uint8_t> answer = Exchange(*ch, request, 4 + 6 + 2);
    ASSERT_TRUE(kxframe::Valid(answer.data(), answer.size())) << kxtest::Hex(answer.data(), int(answer.size()));
    ASSERT_EQ(KxGetCounters(ch.get(), &after), 1);
    const bool bytes = GetParam().counts == kCountsBytes;
    EXPECT_EQ(after.tx - before.tx, bytes ? static_cast<int>(request.size()) : 0);
    EXPECT_EQ(after.rx - before.rx, bytes ? static_cast<int>(answer.size()) : 0);
    EXPECT_EQ(after.frame, before.frame);
    EXPECT_EQ(after.parity, before.parity);
    EXPECT_EQ(after.overrun, before.overrun);
    EXPECT_EQ(after.brk, before.brk);
    EXPECT_EQ(after.bufOverrun, before.bufOverrun);
    ch->Close();
}

// echo=drop across a peer that hands each request back before its answer,
// as a 2-wire RS-485 line does: Read gets the answer alone. Without it the
// echo comes first; an answer without an echo still comes whole.
TEST_P(BoardUart, EchoDropReadsOnlyTheAnswerOfAnEchoingLine) {
    const std::vector<uint8_t> inner = kxframe::Make(kAddress, kxframe::kFuncRead, {0x30, 0x00, 2});
    const std::vector<uint8_t> request = kxframe::Make(kAddress, kxframe::kFuncEchoed, inner);
    const size_t answerSize = 4 + 4 + 2;
    // The first `want` bytes Read delivers after `sent` (an echo let through
    // would be among them); the log in `text`.
    auto exchange = [](CSerCom& ch, const std::vector<uint8_t>& sent, size_t want, std::string* text) {
        std::vector<uint8_t> got(want);
        int total = 0;
        kxtest::StdoutCapture log;
        if (ch.Write(sent.data(), static_cast<int>(sent.size())) == static_cast<int>(sent.size()))
            for (int i = 0; i < 5 && total < static_cast<int>(want); ++i) {
                const int r = ch.Read(got.data() + total, static_cast<int>(want) - total, 2000);
                if (r <= 0) break;
                total += r;
            }
        *text = log.Stop();
        got.resize(static_cast<size_t>(total));
        return got;
    };
    for (const bool drop : {true, false}) {
        SCOPED_TRACE(drop ? "echo=drop" : "echo=off");
        std::string text;
        std::unique_ptr<CSerCom> ch = OpenLogged(drop ? "115200,N,8,1,echo=drop" : "115200,N,8,1,echo=off", &text);
        ASSERT_TRUE(ch) << text;
        const size_t at = drop ? 0 : request.size();
        const std::vector<uint8_t> got = exchange(*ch, request, at + answerSize, &text);
        ASSERT_EQ(got.size(), at + answerSize) << kxtest::Hex(got.data(), int(got.size()));
        EXPECT_TRUE(std::equal(request.begin(), request.begin() + static_cast<long>(at), got.begin()))
            << "the echo first";
        EXPECT_TRUE(kxframe::Valid(got.data() + at, answerSize)) << kxtest::Hex(got.data(), int(got.size()));
        EXPECT_EQ(got[at + 1], kxframe::kFuncRead);
        EXPECT_EQ(kxframe::Get16(&got[at + 4]), kxframe::RegisterValue(0x30));
        EXPECT_EQ(text.find("echo mismatch"), std::string::npos) << text;
        if (drop) {
            // No echo at all: the answer differs from the request at its
            // third byte, one line says so, and the answer comes whole.
            const std::vector<uint8_t> back = exchange(*ch, inner, answerSize, &text);
            EXPECT_TRUE(kxframe::Valid(back.data(), back.size())) << kxtest::Hex(back.data(), int(back.size()));
            EXPECT_NE(text.find("echo mismatch at byte 2\r\n"), std::string::npos) << text;
        }
        ch->Close();
    }
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

// A frame gap ends Read soon after a 10-byte echo instead of at the
// terminal's 0.2 s silence (Read has room for more).
TEST_P(BoardUartSilence, FrameGapEndsTheReadSoonAfterTheFrame) {
    const std::vector<uint8_t> frame = kxframe::Make(kAddress, kxframe::kFuncEcho, {1, 2, 3, 4});
    for (const bool gap : {true, false}) {
        SCOPED_TRACE(gap ? "gap=10" : "gap=0");
        std::unique_ptr<CSerCom> ch = Open(gap ? "115200,N,8,1,gap=10" : "115200,N,8,1,gap=0");
        ASSERT_TRUE(ch) << path_;
        std::vector<uint8_t> buf(64);
        kxtest::StdoutCapture quiet;
        const double start = kxtest::NowMs();
        ASSERT_EQ(ch->Write(frame.data(), static_cast<int>(frame.size())), static_cast<int>(frame.size()));
        EXPECT_EQ(ch->Read(buf.data(), 64, 0), static_cast<int>(frame.size()));
        const double took = kxtest::NowMs() - start;
        quiet.Stop();
        if (gap) {
            EXPECT_LT(took, 100);
        } else {
            EXPECT_GE(took, 180) << "the terminal's 0.2 s";
        }
        ch->Close();
    }
}

std::string LineName(const ::testing::TestParamInfo<LineCase>& info) { return info.param.name; }

// The PL011's 24 MHz clock makes up to 1.5 Mbaud; the FT232 (3 MHz base,
// eighths of a divisor of 14 bits) 184 baud to 3 Mbaud, where ftdi_sio falls
// back to 9600; the 16550's 1.8432 MHz clock up to 115200, beyond which the
// 8250 driver keeps the earlier speed. 250000 (DMX) the PL011 and FT232 make
// exactly, 28800 is 115200/4. cdc_acm passes any rate on to the device
// (31250 is MIDI's); g_serial keeps none: both take every row.
const LineCase kUart = {"KXSER_BOARD_UART", "Uart", 0x100000, 50, 1500000, 250000, 3000000, true, false, false,
                        ""};
const LineCase kUsb = {"KXSER_BOARD_USB", "Usb", 0x120000, 200, 3000000, 250000, 4000000, false, true, false,
                       "rs485=on rs485=inverted"};
const LineCase kPci = {"KXSER_BOARD_PCI", "Pci", 0x100000, 50, 115200, 28800, 460800, true, true, true,
                       "rs485=on rs485=inverted"};
const LineCase kAcm = {"KXSER_BOARD_ACM", "Acm", 0x120000, 50, 4000000, 31250, 0, true, false, false,
                       "rs485=on rs485=inverted lowlat=1", false, "KXSER_BOARD_GADGET", kCountsNoBytes};
const LineCase kGadget = {"KXSER_BOARD_GADGET", "Gadget", 0x100000, 50, 4000000, 31250, 0, true, false, false,
                          "flow=rtscts rs485=on rs485=inverted dtr=0 dtr=1 rts=0 rts=1 lowlat=1", true,
                          "KXSER_BOARD_ACM", kNoCounters};
INSTANTIATE_TEST_SUITE_P(Lines, BoardUart, ::testing::Values(kUart, kUsb, kPci, kAcm, kGadget), LineName);
INSTANTIATE_TEST_SUITE_P(Lines, BoardUartSilence, ::testing::Values(kUart), LineName);

// One line of QEMU's trace: when it came (seconds of the build machine's
// clock) and the value written.
struct TraceLine {
    double at;
    unsigned long value;
};

// The lines of `event` since the mark that contain `text`; false with the
// control port's answer when not "ok".
bool TracedLines(BoardControl& control, const char* event, const char* text, std::vector<TraceLine>* lines,
                 std::string* answer) {
    *answer = control.Ask(std::string("trace ") + event + " " + text);
    if (answer->compare(0, 2, "ok") != 0) return false;
    std::istringstream in(answer->substr(2));
    for (std::string word; in >> word;) {
        const size_t slash = word.find('/');
        lines->push_back({atof(word.c_str()), strtoul(word.c_str() + slash + 1, nullptr, 0)});
    }
    return true;
}

// The masked values of `event`'s lines since the mark that contain `text`,
// in hex, repeats collapsed; or the control port's answer when not "ok".
std::string Traced(BoardControl& control, const char* event, const char* text, unsigned mask) {
    std::vector<TraceLine> lines;
    std::string answer;
    if (!TracedLines(control, event, text, &lines, &answer)) return "(" + answer + ")";
    std::string out, last;
    for (const TraceLine& line : lines) {
        char hex[16];
        snprintf(hex, sizeof hex, "%lx", line.value & mask);
        if (hex != last) out += (out.empty() ? "" : " ") + std::string(hex);
        last = hex;
    }
    return out;
}

// How long the chip held the bit of `mask` set, from the first write that
// set it to the next that cleared it, in ms by QEMU's trace; -1 if never.
double HeldMs(BoardControl& control, const char* event, const char* text, unsigned mask) {
    std::vector<TraceLine> lines;
    std::string answer;
    if (!TracedLines(control, event, text, &lines, &answer)) return -1;
    for (size_t i = 0; i < lines.size(); ++i)
        if ((lines[i].value & mask) != 0)
            for (size_t j = i + 1; j < lines.size(); ++j)
                if ((lines[j].value & mask) == 0) return (lines[j].at - lines[i].at) * 1000;
    return -1;
}

// `want` whole, or its end after "... ".
bool TraceMatches(const std::string& got, const std::string& want) {
    if (want.compare(0, 4, "... ") != 0) return got == want;
    const std::string all = " " + got, end = want.substr(3);
    return all.size() >= end.size() && all.compare(all.size() - end.size(), end.size(), end) == 0;
}

// Line-control settings as the chip got them, in QEMU's trace: the PL011's
// control register (CTSEn 0x8000, RTSEn 0x4000, RTS 0x800, DTR 0x400; the
// RTS pin is the bit's complement, so rs485=on clears the bit while
// sending), the FTDI's flow-control request (the high byte of its index)
// and its modem-control (0x4001: DTR 0x1, RTS 0x2, each with a mask bit
// 0x100, 0x200) and latency-timer (0x4009) requests, the 16550's modem
// control register (DTR 0x1, RTS 0x2). Without low latency ftdi_sio puts
// back the timer it read from the adapter at probe: QEMU's model reports 0
// (a real FT232 16 ms). A row's trace covers the Open, a frame echoed after
// it, or the Close; kBootFrame first sets RS-485 on the port as a device
// tree does at boot, and Open names none. kRefused: an Open the driver
// refuses puts the chip back as it was: on the FTDI the flow control it
// tried (4), then rtscts again (1), then the 0 ftdi_sio sends whenever it
// drops DTR and RTS at a close (QEMU's model also shows 0 at each open's
// reset request). kLines: KxSetLines after the Open raises the `set` lines
// and lowers the `clear` ones. kBreak: KxSendBreak(50) sets the chip's break
// bit (the PL011's LCR_H BRK 0x1, the 16550's LCR 0x40, the FTDI's data
// request's 0x4000) and clears it about 50 ms later by the trace's clock
// (the guest's clock is the build machine's; the margin is for a busy
// machine). QEMU cannot show a modem input line (CTS, DSR, DCD, RI are
// constant in its models) nor a framing error: the native tests cover those
// with a driver model.
TEST(BoardUartTrace, LineControlReachesTheChip) {
    BoardControl control;
    if (BoardDevice("KXSER_BOARD_UART").empty() || BoardDevice("KXSER_BOARD_USB").empty() ||
        BoardDevice("KXSER_BOARD_PCI").empty() || !control.Open())
        GTEST_SKIP() << "no UARTs traced by QEMU here; the board run has them (make test-board)";
    enum Step { kOpen, kFrame, kBootFrame, kClose, kRefused, kLines, kBreak };
    const char *const uart = "KXSER_BOARD_UART", *const usb = "KXSER_BOARD_USB", *const pci = "KXSER_BOARD_PCI";
    const char *const pl011 = "pl011_write", *const cr = "addr 0x00000030";
    const char *const ftdi = "usb_serial_handle_control", *const modem = "control 0x4001,";
    const char *const mcr = "addr 0x04";
    const char *const lcrh = "addr 0x0000002c", *const data = "control 0x4004,", *const lcr = "addr 0x03";
    const struct {
        const char* env;
        const char* settings;
        Step step;
        const char* event;
        const char* text;
        unsigned mask;
        const char* want;
        int set = 0, clear = 0;
    } rows[] = {
        {uart, "flow=rtscts", kOpen, pl011, cr, 0xc000, "... c000"},
        {uart, "flow=none,dtr=0", kOpen, pl011, cr, 0xc400, "... 0"},
        {uart, "dtr=1", kOpen, pl011, cr, 0x400, "... 400"},
        {uart, "rs485=on,rtsbefore=2,rtsafter=3", kFrame, pl011, cr, 0x800, "0 800"},
        {uart, "rs485=inverted", kFrame, pl011, cr, 0x800, "800 0"},
        {uart, "rs485=off", kFrame, pl011, cr, 0x800, ""},
        {uart, "", kBootFrame, pl011, cr, 0x800, "0 800"},
        {uart, "rs485=off", kFrame, pl011, cr, 0x800, ""},
        {uart, "dtr=0,rts=1", kLines, pl011, cr, 0xc00, "... 400", TIOCM_DTR, TIOCM_RTS},
        {uart, "dtr=1,rts=0", kLines, pl011, cr, 0xc00, "... 800", TIOCM_RTS, TIOCM_DTR},
        {uart, "", kBreak, pl011, lcrh, 0x1, "1 0"},
        {usb, "flow=rtscts", kOpen, "usb_serial_set_flow_control", "", ~0u, "... 1"},
        {usb, "flow=xonxoff,rs485=on", kRefused, "usb_serial_set_flow_control", "", ~0u, "... 4 1 0"},
        {usb, "flow=xonxoff", kOpen, "usb_serial_set_flow_control", "", ~0u, "... 4"},
        {usb, "flow=none", kOpen, "usb_serial_set_flow_control", "", ~0u, "... 0"},
        {usb, "dtr=0,rts=0", kOpen, ftdi, modem, 0x303, "... 300"},
        {usb, "lowlat=1", kOpen, ftdi, "control 0x4009,", ~0u, "... 1"},
        {usb, "lowlat=0", kOpen, ftdi, "control 0x4009,", ~0u, "... 0"},
        {usb, "", kClose, ftdi, modem, 0x101, "100"},
        {usb, "hupcl=0", kClose, ftdi, modem, 0x101, ""},
        {usb, "hupcl=1", kClose, ftdi, modem, 0x101, "100"},
        {usb, "dtr=0,rts=1", kLines, ftdi, modem, 0x101, "101", TIOCM_DTR, 0},
        {usb, "dtr=1,rts=1", kLines, ftdi, modem, 0x202, "200", 0, TIOCM_RTS},
        {usb, "", kBreak, ftdi, data, 0x4000, "4000 0"},
        {pci, "dtr=0,rts=1", kOpen, "serial_write", mcr, 0x3, "... 2"},
        {pci, "dtr=1,rts=0", kOpen, "serial_write", mcr, 0x3, "... 1"},
        {pci, "flow=rtscts,lowlat=1", kOpen, "serial_write", mcr, 0x3, "... 3"},
        {pci, "flow=none,lowlat=0", kOpen, "serial_write", mcr, 0x3, "... 3"},
        {pci, "", kClose, "serial_write", mcr, 0x1, "... 0"},
        {pci, "hupcl=0", kClose, "serial_write", mcr, 0x1, "1"},
        {pci, "hupcl=1", kClose, "serial_write", mcr, 0x1, "... 0"},
        {pci, "dtr=0,rts=1", kLines, "serial_write", mcr, 0x3, "... 1", TIOCM_DTR, TIOCM_RTS},
        {pci, "dtr=1,rts=0", kLines, "serial_write", mcr, 0x3, "... 2", TIOCM_RTS, TIOCM_DTR},
        {pci, "", kBreak, "serial_write", lcr, 0x40, "40 0"},
    };
    const std::vector<uint8_t> ping = kxframe::Make(kAddress, kxframe::kFuncEcho, {'r', 't', 's'});
    for (const auto& r : rows) {
        const std::string path = BoardDevice(r.env);
        SCOPED_TRACE(path + " " + r.settings);
        struct serial_rs485 boot = {};
        if (r.step == kBootFrame) {
            boot.flags = SER_RS485_ENABLED | SER_RS485_RTS_ON_SEND | SER_RS485_RX_DURING_TX;
            boot.delay_rts_before_send = 4;
            boot.delay_rts_after_send = 6;
            kxtest::UniqueFd fd(open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
            EXPECT_EQ(ioctl(fd.get(), TIOCSRS485, &boot), 0) << strerror(errno);
        }
        if (r.step == kOpen || r.step == kRefused) {
            EXPECT_EQ(control.Ask("mark"), "ok");
        }
        std::unique_ptr<CSerCom> ch = kxtest::OpenChannel(path.substr(path.rfind('/') + 1) + ":115200,N,8,1" +
                                                           (*r.settings != '\0' ? "," : "") + r.settings);
        if (r.step == kRefused) {
            EXPECT_FALSE(ch) << "the driver took it";
            if (ch) ch->Close();
            const std::string got = Traced(control, r.event, r.text, r.mask);
            EXPECT_TRUE(TraceMatches(got, r.want)) << r.event << " " << r.text << ": " << got << ", wanted " << r.want;
            continue;
        }
        if (!ch) {
            ADD_FAILURE() << "Open failed";
            continue;
        }
        ExpectControlMade(ch->GetHandle(), r.settings);
        if (r.step == kBootFrame) {
            struct serial_rs485 kept = {};
            EXPECT_EQ(ioctl(ch->GetHandle(), TIOCGRS485, &kept), 0);
            EXPECT_EQ(kept.flags, boot.flags);
            EXPECT_EQ(kept.delay_rts_before_send, boot.delay_rts_before_send);
            EXPECT_EQ(kept.delay_rts_after_send, boot.delay_rts_after_send);
        }
        if (r.step != kOpen) {
            EXPECT_EQ(control.Ask("mark"), "ok");
        }
        if (r.step == kClose) ch->Close();
        if (r.step == kFrame || r.step == kBootFrame) {
            EXPECT_EQ(Exchange(*ch, ping, ping.size()), ping);
        }
        char why[128] = "";
        if (r.step == kLines) {
            EXPECT_EQ(KxSetLines(ch.get(), r.set, r.clear), 1) << KxLastError(ch.get(), why, sizeof why) << why;
            const int lines = KxGetLines(ch.get());
            EXPECT_TRUE(lines >= 0 && (lines & r.set) == r.set && (lines & r.clear) == 0) << "read back: " << lines;
        }
        // QEMU's FT232 never sets the transmitter-empty bit in its status
        // bytes, which ftdi_sio hands on (TIOCSERGETLSR): the break still
        // follows once the time a FIFO takes has passed.
        if (r.step == kBreak) {
            const double start = kxtest::NowMs();
            const int sent = KxSendBreak(ch.get(), 50);
            const int reason = KxLastError(ch.get(), why, sizeof why);
            EXPECT_EQ(sent, 1) << reason << " " << why;
            EXPECT_GE(kxtest::NowMs() - start, 50 * 0.95) << "KxSendBreak returned before the time asked";
        }
        const std::string got = Traced(control, r.event, r.text, r.mask);
        EXPECT_TRUE(TraceMatches(got, r.want)) << r.event << " " << r.text << ": " << got << ", wanted " << r.want;
        if (r.step == kBreak) {
            const double held = HeldMs(control, r.event, r.text, r.mask);
            EXPECT_GE(held, 45) << "the break by the trace";
            EXPECT_LT(held, 1000) << "the break by the trace";
        }
        ch->Close();
    }
}

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
        opened_ = control_.Open();
        ASSERT_TRUE(opened_) << control << ": " << strerror(errno);
    }

    // "unplug" or "replug", done by the build machine; its answer, "ok" or
    // the reason.
    std::string Plug(const char* request) { return control_.Ask(request); }

    // A failed test leaves the adapter as the next test needs it: closed,
    // and back as path_.
    void TearDown() override {
        if (ch_) {
            kxtest::StdoutCapture quiet;
            ch_->Close();
        }
        if (opened_ && access(path_.c_str(), F_OK) != 0) {
            Plug("unplug");
            Plug("replug");
            WaitNode(path_, true, 15000);
        }
    }

    std::string path_, name_;
    BoardControl control_;
    bool opened_ = false;
    std::unique_ptr<CSerCom> ch_;
};

#ifdef KXHOST_PATH
TEST_F(BoardUsbAdapter, KxhostListNamesTheUartTheAdapterThe16550AndTheAcm) {
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
    const std::string pci = BoardDevice("KXSER_BOARD_PCI");
    ASSERT_FALSE(pci.empty()) << "no 16550 (KXSER_BOARD_PCI)";
    const std::string name = pci.substr(pci.rfind('/') + 1);
    const size_t at = out.find("\n" + name + " ");
    ASSERT_NE(at, std::string::npos) << out;
    const std::string row = out.substr(at + 1, out.find('\n', at + 1) - at - 1);
    EXPECT_NE(row.find(" serial "), std::string::npos) << row;  // 8250_pci's PCI driver
    EXPECT_NE(row.find(" " + name + ":9600,N,8,1 "), std::string::npos) << row;
    // The gadget's host side; the gadget's own port has no parent device.
    const size_t acm = out.find("\nttyACM0 ");
    ASSERT_NE(acm, std::string::npos) << out;
    const std::string acmRow = out.substr(acm + 1, out.find('\n', acm + 1) - acm - 1);
    EXPECT_NE(acmRow.find(" cdc_acm "), std::string::npos) << acmRow;
    EXPECT_NE(acmRow.find(" ttyACM0:9600,N,8,1  0x120000  0525:a4a7 "), std::string::npos) << acmRow;
    EXPECT_EQ(out.find("\nttyGS0 "), std::string::npos) << out;
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
