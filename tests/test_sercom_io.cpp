// Serial channel on real pseudo-terminals: the device path rule, the line
// configuration read back from the slave, the failures of Open, and the
// transfers with their log lines.
#include <gtest/gtest.h>

#include <dlfcn.h>
#include <fcntl.h>
#include <signal.h>
#include <linux/serial.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "SerCom.h"
#include "SerLine.h"
#include "SerNet.h"
#include "SysCall.h"
#include "kxSerExt.h"
#include "kxtest.h"
#include "serial_pty.h"

// Linux ptys force CS8 and clear PARENB whatever they are given, so the
// character size and parity can only be seen in the attributes the library
// hands to tcsetattr. This definition takes the library's call, records the
// attributes and passes the call on to the C library; everything the pty
// keeps is also read back from the slave.
// With `keptSpeed` set it plays a driver that keeps that speed whatever is
// asked (as the 8250 keeps the earlier one); with `noLine`, a tty without a
// line, whose speed and format the tty layer hands back (the USB gadget's).
// With `oneStop`, a UART driver that takes one stop bit only (and the
// character size and parity it is given, which tcgetattr then reports: a pty
// forces CS8 without parity).
namespace spy {
struct termios applied;
int calls = 0;
speed_t keptSpeed = B0;
bool noLine = false;
bool oneStop = false;
tcflag_t frame = CS8;
}  // namespace spy

extern "C" int tcgetattr(int fd, struct termios* t) noexcept {
    using Real = int (*)(int, struct termios*);
    static const Real real = reinterpret_cast<Real>(dlsym(RTLD_NEXT, "tcgetattr"));
    const int r = real(fd, t);
    if (r == 0 && spy::oneStop) t->c_cflag = (t->c_cflag & ~(CSIZE | PARENB)) | (spy::frame & (CSIZE | PARENB));
    return r;
}

extern "C" int tcsetattr(int fd, int action, const struct termios* t) noexcept {
    using Real = int (*)(int, int, const struct termios*);
    static const Real real = reinterpret_cast<Real>(dlsym(RTLD_NEXT, "tcsetattr"));
    if (t == nullptr) return real(fd, action, t);
    spy::applied = *t;
    ++spy::calls;
    struct termios made = *t;
    if (spy::keptSpeed != B0) {
        cfsetispeed(&made, spy::keptSpeed);
        cfsetospeed(&made, spy::keptSpeed);
    }
    if (spy::oneStop) {
        made.c_cflag &= ~CSTOPB;
        spy::frame = made.c_cflag;
    }
    struct termios now;
    if (spy::noLine && tcgetattr(fd, &now) == 0) {
        const tcflag_t soft = HUPCL | CREAD | CLOCAL;
        made.c_cflag = (made.c_cflag & soft) | (now.c_cflag & ~soft);
    }
    return real(fd, action, &made);
}

// A driver behind the pty (the tty whose device is `rdev`) for what a pty
// lacks: RS-485 (delays clamped to `maxDelay`), the modem lines, the serial
// info (low latency); with `noTermios2` it answers the termios2 requests as
// qemu-user does. The library's calls reach it; every other request, and
// every request on another tty, goes to the system.
namespace drv {
dev_t rdev = 0;
bool noTermios2 = false;
bool hasRs485 = true;
struct serial_rs485 rs485;
__u32 maxDelay = 100;
int modem = 0;
int stuck = 0;               // modem lines the driver does not change
int serialFlags = 0;
bool keepsLowLatency = true;
bool forcesOnSend = false;   // drops the inverted polarity
unsigned long failing = 0;   // this request fails with `failErrno` at its `failNth` call
int failNth = 0;
int failErrno = EIO;
int outQueue = -1;           // >= 0: TIOCOUTQ answers it, less `outDrain` at each look
int outDrain = 0;
int outFlushes = 0;          // TCOFLUSH requests seen
struct serial_icounter_struct icount;  // the line counters
bool asUart = false;         // fstat shows a UART's number: a pty has no break
int lsr = -1;                // >= 0: TIOCSERGETLSR answers it
double breakOn = 0, breakOff = 0;  // ms, when TIOCSBRK and TIOCCBRK came

int RealFstat(int fd, struct stat* st) {
    using Real = int (*)(int, struct stat*);
    static const Real real = reinterpret_cast<Real>(dlsym(RTLD_NEXT, "fstat"));
    return real(fd, st);
}

bool Ours(int fd) {
    struct stat st;
    return rdev != 0 && RealFstat(fd, &st) == 0 && st.st_rdev == rdev;
}
}  // namespace drv

extern "C" int fstat(int fd, struct stat* st) noexcept {
    const int r = drv::RealFstat(fd, st);
    if (r == 0 && drv::asUart && drv::rdev != 0 && st->st_rdev == drv::rdev) st->st_rdev = makedev(4, 70);
    return r;
}

extern "C" int ioctl(int fd, unsigned long request, ...) noexcept {
    va_list ap;
    va_start(ap, request);
    void* arg = va_arg(ap, void*);
    va_end(ap);
    using Real = int (*)(int, unsigned long, ...);
    static const Real real = reinterpret_cast<Real>(dlsym(RTLD_NEXT, "ioctl"));
    if (!drv::Ours(fd)) return real(fd, request, arg);
    const bool termios2 = _IOC_TYPE(request) == 'T' && (_IOC_NR(request) == 0x2A || _IOC_NR(request) == 0x2B);
    int* lines = static_cast<int*>(arg);
    struct serial_rs485* rs = static_cast<struct serial_rs485*>(arg);
    struct serial_struct* ss = static_cast<struct serial_struct*>(arg);
    if ((termios2 && drv::noTermios2) || (!drv::hasRs485 && (request == TIOCGRS485 || request == TIOCSRS485))) {
        errno = termios2 ? ENOSYS : ENOTTY;
        return -1;
    }
    if (request == drv::failing && --drv::failNth == 0) {
        errno = drv::failErrno;
        return -1;
    }
    if (request == TIOCOUTQ && drv::outQueue >= 0) {
        *lines = drv::outQueue;
        drv::outQueue = drv::outQueue > drv::outDrain ? drv::outQueue - drv::outDrain : 0;
        return 0;
    }
    switch (request) {
        case TIOCGRS485: *rs = drv::rs485; return 0;
        case TIOCSRS485:
            drv::rs485 = *rs;
            if (drv::forcesOnSend) drv::rs485.flags = (rs->flags & ~SER_RS485_RTS_AFTER_SEND) | SER_RS485_RTS_ON_SEND;
            if (drv::rs485.delay_rts_before_send > drv::maxDelay) drv::rs485.delay_rts_before_send = drv::maxDelay;
            if (drv::rs485.delay_rts_after_send > drv::maxDelay) drv::rs485.delay_rts_after_send = drv::maxDelay;
            return 0;
        case TIOCSERGETLSR:
            if (drv::lsr < 0) return real(fd, request, arg);
            *lines = drv::lsr;
            return 0;
        case TIOCSBRK: drv::breakOn = kxtest::NowMs(); return 0;
        case TIOCCBRK: drv::breakOff = kxtest::NowMs(); return 0;
        case TIOCGICOUNT: *static_cast<struct serial_icounter_struct*>(arg) = drv::icount; return 0;
        case TIOCMGET: *lines = drv::modem; return 0;
        case TIOCMBIS: drv::modem |= *lines & ~drv::stuck; return 0;
        case TIOCMBIC: drv::modem &= ~(*lines & ~drv::stuck); return 0;
        case TIOCGSERIAL:
            memset(ss, 0, sizeof *ss);
            ss->flags = drv::serialFlags;
            return 0;
        case TIOCSSERIAL:
            drv::serialFlags = drv::keepsLowLatency ? ss->flags : ss->flags & ~ASYNC_LOW_LATENCY;
            return 0;
        default: return real(fd, request, arg);
    }
}

// glibc's tcflush makes the system call itself, past the ioctl above.
extern "C" int tcflush(int fd, int queue) noexcept {
    using Real = int (*)(int, int);
    static const Real real = reinterpret_cast<Real>(dlsym(RTLD_NEXT, "tcflush"));
    if (drv::Ours(fd) && queue == TCOFLUSH && drv::outQueue >= 0) {
        ++drv::outFlushes;
        drv::outQueue = 0;
    }
    return real(fd, queue);
}

namespace {

using kxtest::CountOpenFds;
using kxtest::Hex;
using kxtest::SerialLine;
using kxtest::StdoutCapture;
using kxtest::UniqueFd;

std::string HexCode(int v) {
    char b[16];
    snprintf(b, sizeof b, "%x", v);
    return b;
}

struct termios Attrs(int fd) {
    struct termios t;
    memset(&t, 0, sizeof t);
    EXPECT_EQ(tcgetattr(fd, &t), 0);
    return t;
}

const tcflag_t kNone = 0;

// What the channel applied, after checking that the slave reports the same
// (apart from what a pty overrides).
struct termios AppliedAndReported(int fd) {
    const struct termios a = spy::applied;
    const struct termios r = Attrs(fd);
    // A rate without a B constant is set after this call (termios2), so
    // the speeds are compared where they are read back, not here.
    EXPECT_EQ(r.c_iflag, a.c_iflag);
    EXPECT_EQ(r.c_oflag, a.c_oflag);
    EXPECT_EQ(r.c_lflag, a.c_lflag);
    const tcflag_t notHere = CSIZE | PARENB | CBAUD | CIBAUD;
    EXPECT_EQ(r.c_cflag & ~notHere, a.c_cflag & ~notHere);
    EXPECT_EQ(r.c_cc[VMIN], a.c_cc[VMIN]);
    EXPECT_EQ(r.c_cc[VTIME], a.c_cc[VTIME]);
    return a;
}

// Raw mode, no flow control, the read timer; and flags the channel never
// names keep the values CookLine gave them.
void ExpectRawLine(const struct termios& t) {
    EXPECT_EQ(t.c_cflag & (CLOCAL | CREAD), static_cast<tcflag_t>(CLOCAL | CREAD));
    EXPECT_EQ(t.c_cflag & CRTSCTS, kNone);
    EXPECT_EQ(t.c_iflag & (IXON | IXOFF | IXANY | INLCR | IGNCR | ICRNL), kNone);
    EXPECT_EQ(t.c_oflag & (OPOST | ONLCR | OCRNL), kNone);
    EXPECT_EQ(t.c_lflag & (ICANON | ECHO | ECHOE | ISIG | ECHONL | IEXTEN), kNone);
    EXPECT_EQ(t.c_iflag & (ISTRIP | PARMRK | IGNBRK | BRKINT | IUCLC), kNone);
    EXPECT_EQ(t.c_cc[VMIN], 0);
    EXPECT_EQ(t.c_cc[VTIME], 2);
    EXPECT_NE(t.c_lflag & ECHOK, kNone);
    EXPECT_NE(t.c_cflag & HUPCL, kNone);
}

TEST(SerComOpen, OpensThePtySlaveThroughThePortNameAndLogs) {
    SerialLine line;
    CSerCom ch(line.Def("115200,N,8,1").c_str());
    const std::string note = line.Name() + ":115200,n,8,1";
    ASSERT_STREQ(ch.GetNote(), note.c_str());
    const int fds = CountOpenFds();

    StdoutCapture cap;
    ASSERT_EQ(ch.Open(nullptr), 1);
    EXPECT_EQ(cap.Text(), "CSerCom::Open: " + line.pty.slavePath + ",115200,8,N,0\r\n" +
                              "set serial done+!\n" + note + "[" + HexCode(line.Type()) +
                              "] open ok!\r\n");
    EXPECT_EQ(ch.IsOpened(), 1);
    ASSERT_GE(ch.GetHandle(), 0);
    EXPECT_EQ(ch.GetHandle(), ch.m_nHandle);
    EXPECT_TRUE(kxtest::SameDevice(ch.GetHandle(), line.holder.get()));
    const int fl = fcntl(ch.GetHandle(), F_GETFL);
    EXPECT_EQ(fl & O_ACCMODE, O_RDWR);
    EXPECT_EQ(fl & O_NONBLOCK, 0) << "the descriptor must be back in blocking mode";

    // Closed: everything refuses quietly, Close keeps answering 1.
    const std::string before = cap.Text();
    unsigned char buf[4] = {9, 9, 9, 9};
    EXPECT_EQ(KxLastError(&ch, nullptr, 0), 0);
    EXPECT_EQ(ch.Close(), 1);
    EXPECT_EQ(ch.IsOpened(), 0);
    EXPECT_EQ(ch.GetHandle(), -1);
    EXPECT_EQ(ch.Close(), 1);
    EXPECT_EQ(ch.Purge(), 0);
    EXPECT_EQ(ch.Read(buf, 4, 0), -1);
    EXPECT_EQ(KxLastError(&ch, nullptr, 0), EBADF);
    EXPECT_EQ(ch.Write(buf, 4), -1);
    EXPECT_EQ(ch.Write("text"), -1);
    EXPECT_EQ(cap.Stop(), before);
    EXPECT_EQ(buf[0], 9);
    EXPECT_EQ(CountOpenFds(), fds);
}

TEST(SerComOpen, NeverOpenedChannelRefusesQuietly) {
    StdoutCapture quiet;
    CSerCom ch(4);
    const std::string built = quiet.Text();
    unsigned char buf[2] = {7, 7};
    EXPECT_EQ(ch.IsOpened(), 0);
    EXPECT_EQ(ch.GetHandle(), -1);
    EXPECT_EQ(ch.Close(), 1);
    EXPECT_EQ(ch.Purge(), 0);
    EXPECT_EQ(ch.Read(buf, 2, 0), -1);
    EXPECT_EQ(ch.Write(buf, 2), -1);
    EXPECT_EQ(quiet.Stop(), built);
    EXPECT_EQ(buf[0], 7);
}

struct LineRow {
    const char* settings;
    const char* logged;  // baud, data bits, parity character, stop code as Open logs them
    unsigned rate;       // bit/s the driver stores
    tcflag_t size;
    bool parenb, parodd, cmspar, inpck, cstopb;
};

// What this system carries to a pty: qemu-user 7, which runs the ARM suites,
// passes neither termios2, nor the B constants above 460800, nor CMSPAR.
// Where a setting cannot reach the line, Open must refuse it.
bool Carries(int fd, unsigned rate) {
    struct termios t = Attrs(fd);
    const speed_t code = kxline::NamedSpeed(static_cast<int>(rate));
    bool set = false;
    if (code != B0) {
        cfsetispeed(&t, code);
        cfsetospeed(&t, code);
        set = tcsetattr(fd, TCSANOW, &t) == 0;
    } else {
        set = kxsys::SetLineRate(fd, rate) == 0;
    }
    unsigned back = 0;
    return set && kxsys::GetLineRate(fd, &back) == 0 && back == rate;
}

bool KeepsStickParity(int fd) {
    struct termios t = Attrs(fd);
    t.c_cflag |= CMSPAR;
    return tcsetattr(fd, TCSANOW, &t) == 0 && (Attrs(fd).c_cflag & CMSPAR) != 0;
}

const LineRow kLineRows[] = {
    {"115200,N,8,1", "115200,8,N,0", 115200, CS8, false, false, false, false, false},
    {"9600,E,7,2", "9600,7,E,2", 9600, CS7, true, false, false, true, true},
    {"19200,O,6,1.5", "19200,6,O,1", 19200, CS6, true, true, false, true, false},
    // mark and space: stick parity, the bit always 1 or 0
    {"4800,M,5,2", "4800,5,M,2", 4800, CS5, true, true, true, true, true},
    {"2400,s,8,1", "2400,8,S,0", 2400, CS8, true, false, true, true, false},
    {"300,N,9,1", "300,9,N,0", 300, CS8, false, false, false, false, false},
    {"3000000,E,8,1", "3000000,8,E,0", 3000000, CS8, true, false, false, true, false},
    {"250000,N,8,2", "250000,8,N,2", 250000, CS8, false, false, false, false, true},  // DMX
    {"7", "7,8,N,1", 7, CS8, false, false, false, false, false},  // default stop code 1: one stop bit
};

TEST(SerComOpen, LineSettingsReachTheDevice) {
    SerialLine line;
    const bool stick = KeepsStickParity(line.holder.get());
    for (const LineRow& row : kLineRows) {
        SCOPED_TRACE(row.settings);
        const bool carried = Carries(line.holder.get(), row.rate) && (stick || !row.cmspar);
        // Left by an earlier program, stick parity included.
        kxtest::CookLine(line.holder.get());
        StdoutCapture quiet;
        CSerCom ch(line.Def(row.settings).c_str());
        const std::string built = quiet.Text();
        spy::calls = 0;
        const std::string opening = built + "CSerCom::Open: " + line.pty.slavePath + "," + row.logged + "\r\n";
        if (!carried) {
            ASSERT_EQ(ch.Open(nullptr), 0);
            const std::string log = quiet.Stop(), refused = "] set_op error!\r\n";
            EXPECT_EQ(log.rfind(opening, 0), 0u) << log;
            EXPECT_EQ(log.substr(log.size() - refused.size()), refused) << log;
            EXPECT_EQ(ch.IsOpened(), 0);
            continue;
        }
        ASSERT_EQ(ch.Open(nullptr), 1);
        EXPECT_EQ(quiet.Stop(), opening + "set serial done+!\n" + ch.GetNote() + "[" +
                                    HexCode(line.Type()) + "] open ok!\r\n");
        EXPECT_EQ(spy::calls, 1);
        unsigned rate = 0;
        ASSERT_EQ(kxsys::GetLineRate(line.holder.get(), &rate), 0);
        EXPECT_EQ(rate, row.rate);
        const struct termios t = AppliedAndReported(line.holder.get());
        EXPECT_EQ(t.c_cflag & CSIZE, row.size);
        EXPECT_EQ((t.c_cflag & PARENB) != 0, row.parenb);
        if (row.parenb) {
            EXPECT_EQ((t.c_cflag & PARODD) != 0, row.parodd);
        }
        EXPECT_EQ((t.c_cflag & CMSPAR) != 0, row.cmspar);
        EXPECT_EQ((t.c_iflag & INPCK) != 0, row.inpck);
        EXPECT_EQ((t.c_cflag & CSTOPB) != 0, row.cstopb);
        ExpectRawLine(t);
        // Again at the same settings, the line already as asked (Debian's
        // glibc then answers EINVAL for the parity the pty dropped).
        EXPECT_EQ(ch.Open(nullptr), 1);
        EXPECT_EQ(ch.Close(), 1);
    }
}

TEST(SerComOpen, SpeedTable) {
    const struct {
        int baud;
        unsigned rate;
    } rows[] = {
        {50, 50},           {600, 600},         {1200, 1200},       {9600, 9600},
        {57600, 57600},     {115200, 115200},   {230400, 230400},   {300, 300},
        {460800, 460800},   {921600, 921600},   {1000000, 1000000}, {4000000, 4000000},
        {0, 115200},        {-9600, 115200},    {7, 7},             {31250, 31250},
        {74880, 74880},     {9600, 9600},  // after a custom rate the input follows too
    };
    SerialLine line;
    StdoutCapture quiet;
    CSerCom ch(line.Def("9600").c_str());
    for (const auto& row : rows) {
        SCOPED_TRACE(row.baud);
        const bool carried = Carries(line.holder.get(), row.rate);
        EXPECT_EQ(ch.SetBaud(row.baud), 1);
        if (!carried) {
            EXPECT_EQ(ch.Open(nullptr), 0);
            continue;
        }
        ASSERT_EQ(ch.Open(nullptr), 1);
        unsigned rate = 0, in = 0;
        ASSERT_EQ(kxsys::GetLineRate(line.holder.get(), &rate, &in), 0);
        EXPECT_EQ(rate, row.rate);
        EXPECT_EQ(in, row.rate);
        if (kxline::NamedSpeed(static_cast<int>(row.rate)) != B0) {
            const struct termios t = Attrs(line.holder.get());
            EXPECT_EQ(cfgetospeed(&t), kxline::NamedSpeed(static_cast<int>(row.rate)));
            EXPECT_EQ(cfgetispeed(&t), cfgetospeed(&t));
        }
        ch.Close();
    }
}

TEST(SerComOpen, APortIsHeldByOneChannelAtATime) {
    SerialLine line;
    const std::string def = line.Def("9600,N,8,1");
    std::unique_ptr<CSerCom> first = kxtest::OpenChannel(def);
    ASSERT_TRUE(first);
    // qemu-user 7 knows no TIOCGEXCL; there only the lock shows.
    int excl = 0;
    const bool seen = ioctl(line.holder.get(), TIOCGEXCL, &excl) == 0;
    EXPECT_TRUE(!seen || excl == 1);
    UniqueFd other(open(line.pty.slavePath.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK));
    ASSERT_TRUE(other);
    EXPECT_NE(flock(other.get(), LOCK_EX | LOCK_NB), 0) << "another program locking the port";

    StdoutCapture cap;
    CSerCom second(def.c_str());
    const std::string built = cap.Text();
    EXPECT_EQ(second.Open(nullptr), 0);
    EXPECT_EQ(cap.Stop(), built + "CSerCom::Open: " + line.pty.slavePath + ",9600,8,N,0\r\n" +
                              second.GetNote() + "[" + HexCode(line.Type()) + "] open error!\r\n");
    EXPECT_EQ(second.IsOpened(), 0);
    // The reason names the holder of the lock: here this very process.
    char why[128];
    EXPECT_EQ(KxLastError(&second, why, sizeof why), EBUSY);
    EXPECT_EQ(std::string(why).rfind(line.pty.slavePath + ": held by another program (pid " +
                                         std::to_string(getpid()) + " ", 0), 0u) << why;

    // Its own host reopens it freely; Close hands it back.
    StdoutCapture quiet;
    EXPECT_EQ(first->Open(nullptr), 1);
    EXPECT_EQ(first->Close(), 1);
    EXPECT_TRUE(!seen || (ioctl(line.holder.get(), TIOCGEXCL, &excl) == 0 && excl == 0));
    EXPECT_EQ(second.Open(nullptr), 1);
    second.Close();
    EXPECT_EQ(flock(other.get(), LOCK_EX | LOCK_NB), 0);
}

// A host that is not root: while the tty's exclusive flag is set, every
// open of it fails with EBUSY, so a flag left behind would lock the port
// away from everybody, the host's own next Open included.
TEST(SerComOpen, EveryWayOfLettingGoLeavesThePortFree) {
    SerialLine line;
    ASSERT_EQ(chmod(line.pty.slavePath.c_str(), 0666), 0);
    const std::string def = line.Def("9600,N,8,1"), slave = line.pty.slavePath;
    const int holder = line.holder.get();
    const std::string report = kxtest::InChild([&]() -> std::string {
        if (geteuid() == 0 && (setgid(65534) != 0 || setuid(65534) != 0)) return "SKIP: cannot become nobody";
        std::string bad;
        const auto expectFree = [&](const std::string& after) {
            int excl = 0;
            if (ioctl(holder, TIOCGEXCL, &excl) == 0 && excl != 0) bad += after + ": exclusive flag left; ";
            UniqueFd other(open(slave.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK));
            if (!other) bad += after + ": " + strerror(errno) + "; ";
            else if (flock(other.get(), LOCK_EX | LOCK_NB) != 0) bad += after + ": still locked; ";
        };
        kxtest::StdoutToNull quiet;
        CSerCom ch(def.c_str());
        if (ch.Open(nullptr) != 1 || ch.Open(nullptr) != 1) bad += "Open, then again: refused; ";
        ch.Close();
        expectFree("Close after a reopen");
        spy::keptSpeed = B9600;
        if (ch.Open(line.Def("19200").c_str()) != 0) bad += "a speed the driver kept back opened; ";
        // One that kept its speed but took the stop bits asked took part of
        // the request: refused, whatever the rest.
        spy::keptSpeed = B9600;
        if (ch.Open(line.Def("19200,N,8,2").c_str()) != 0) bad += "a kept speed with the stop bits taken opened; ";
        // One that kept its speed and takes one stop bit only still takes
        // parity and character size: no port without a line.
        spy::oneStop = true;
        if (ch.Open(line.Def("19200,N,8,1").c_str()) != 0 || ch.Open(line.Def("19200,N,8,2").c_str()) != 0)
            bad += "a kept speed on a one-stop-bit driver opened; ";
        spy::oneStop = false;
        spy::keptSpeed = B0;
        expectFree("a refused speed");
        // A port without a line has nothing to refuse: it opens as it is, raw.
        spy::noLine = true;
        if (ch.Open(line.Def("115200,E,7,2").c_str()) != 1) bad += "a port without a line refused; ";
        spy::noLine = false;
        ch.Close();
        CSerCom modem(line.Def("9600,N,8,1,dtr=0").c_str());
        if (modem.Open(nullptr) != 0) bad += "a pty took dtr=0; ";
        expectFree("a refused setting");
        if (ch.Open(line.Def("9600").c_str()) != 1) bad += "the retry at 9600 refused; ";
        // A helper the host runs (system, popen) must not get the port (the
        // test's own descriptor of the line is kept from it too).
        fcntl(holder, F_SETFD, FD_CLOEXEC);
        kxtest::ExecChild helper;
        if (!helper.Started()) return std::string("SKIP: cannot run sleep");
        if (helper.Holds(ch.GetHandle())) bad += "a child the host exec'd holds the port; ";
        // A child the host forked holds a copy of the descriptor (and so its lock).
        const pid_t kid = fork();
        if (kid == 0) {
            pause();
            kxtest::ExitChild(0);
        }
        ch.Close();
        expectFree("Close while a forked child holds a copy");
        kill(kid, SIGKILL);
        waitpid(kid, nullptr, 0);
        return bad;
    });
    if (report.rfind("SKIP: ", 0) == 0) GTEST_SKIP() << report.substr(6);
    EXPECT_EQ(report, "");
}

// Line-control settings after the stop bits, on a pty: what it carries is
// read back; what it cannot carry (modem lines, RS-485, low latency) fails
// Open with the setting named; a text with a setting error fails the next
// Open before the device is touched.
TEST(SerComOpen, LineControlSettings) {
    const tcflag_t flowBits = IXON | IXOFF | IXANY;
    const struct {
        const char* settings;
        const char* refusal;  // "" when it opens
        tcflag_t cflagOn, cflagOff, iflagOn, iflagOff;
    } rows[] = {
        {"9600,N,8,1,flow=rtscts", "", CRTSCTS, 0, 0, flowBits},
        {"9600,N,8,1,flow=xonxoff,hupcl=0", "", 0, CRTSCTS | HUPCL, IXON | IXOFF, IXANY},
        {"9600,N,8,1:HUPCL=1:flow=none:gap=5", "", HUPCL, CRTSCTS, 0, flowBits},
        {"9600,N,8,1,rs485=off,lowlat=0", "", 0, CRTSCTS, 0, flowBits},  // a pty has neither
        {"9600,N,8,1,dtr=0", "serial setting refused: dtr=0\n", 0, 0, 0, 0},
        {"9600,N,8,1,flow=rtscts,dtr=0", "serial setting refused: dtr=0\n", 0, 0, 0, 0},
        {"9600,N,8,1,hupcl=0,flow=xonxoff,lowlat=1", "serial setting refused: lowlat=1\n", 0, 0, 0, 0},
        {"9600,N,8,1,rs485=inverted", "serial setting refused: rs485=inverted\n", 0, 0, 0, 0},
        {"9600,N,8,1,lowlat=1", "serial setting refused: lowlat=1\n", 0, 0, 0, 0},
        {"9600,N,8,1,gap=000000000100", "serial setting error: gap=000000000100\n", 0, 0, 0, 0},
        {"9600,N,8,1,gap=10001", "serial setting error: gap=10001\n", 0, 0, 0, 0},
        {"9600,N,8,1,echo=drop,echo=off", "", 0, CRTSCTS, 0, flowBits},
        {"9600,N,8,1,echo=yes", "serial setting error: echo=yes\n", 0, 0, 0, 0},
        {"9600,N,8,1,speed=9600", "serial setting error: speed=9600\n", 0, 0, 0, 0},
        {"9600,N,flow=rtscts,1", "serial setting error: flow=rtscts\n", 0, 0, 0, 0},  // the data bits' field
        {"9600,N,8,1,flow=rtscts,rts=1", "serial setting error: rts= with flow=rtscts\n", 0, 0, 0, 0},
        {"9600,N,8,1,rs485=on,flow=rtscts", "serial setting error: flow=rtscts with rs485\n", 0, 0, 0, 0},
        {"9600,N,8,1,rtsbefore=5", "serial setting error: rtsbefore/rtsafter without rs485\n", 0, 0, 0, 0},
        {"9600,N,8,1,rs485=on,rtsafter=101", "serial setting error: rtsafter=101\n", 0, 0, 0, 0},
    };
    SerialLine line;
    // qemu-user 7 knows no TIOCGRS485 (ENOSYS): whether the port has RS-485
    // cannot be told there, so rs485=off is refused too.
    struct serial_rs485 rs485;
    const bool rs485Known = ioctl(line.holder.get(), TIOCGRS485, &rs485) == 0 || errno == ENOTTY;
    for (const auto& row : rows) {
        SCOPED_TRACE(row.settings);
        const char* refusal = row.refusal;
        if (!rs485Known && strstr(row.settings, "rs485=off") != nullptr) refusal = "serial setting refused: rs485=off\n";
        kxtest::CookLine(line.holder.get());
        const struct termios found = Attrs(line.holder.get());
        StdoutCapture cap;
        CSerCom ch(line.Def(row.settings).c_str());
        spy::calls = 0;
        if (refusal[0] != '\0') {
            EXPECT_EQ(ch.Open(nullptr), 0);
            char why[96];
            const int code = KxLastError(&ch, why, sizeof why);
            EXPECT_EQ(code, strstr(refusal, "setting error") != nullptr ? REASON_SETTING : REASON_REFUSED);
            EXPECT_EQ(std::string(why) + "\n", refusal);
            // The line as it was found, and the refused setting gone: a text
            // that names none opens.
            const struct termios after = Attrs(line.holder.get());
            EXPECT_EQ(memcmp(&after, &found, sizeof found), 0) << "the failed Open changed the line";
            const std::string tail = std::string(refusal) + ch.GetNote() + "[" + HexCode(line.Type()) +
                                     "] set_op error!\r\n";
            const std::string log = cap.Stop();
            EXPECT_EQ(log.substr(log.size() < tail.size() ? 0 : log.size() - tail.size()), tail) << log;
            if (strstr(refusal, "setting error") != nullptr) {
                EXPECT_EQ(spy::calls, 0) << "the device was touched";
            }
            EXPECT_EQ(ch.IsOpened(), 0);
            StdoutCapture quiet;
            EXPECT_EQ(ch.Open(line.Def("9600,N,8,1").c_str()), 1);
            EXPECT_EQ(ch.Open(nullptr), 1);
            ch.Close();
            continue;
        }
        ASSERT_EQ(ch.Open(nullptr), 1) << cap.Stop();
        cap.Stop();
        const struct termios t = Attrs(line.holder.get());
        EXPECT_EQ(t.c_cflag & row.cflagOn, row.cflagOn);
        EXPECT_EQ(t.c_cflag & row.cflagOff, kNone);
        EXPECT_EQ(t.c_iflag & row.iflagOn, row.iflagOn);
        EXPECT_EQ(t.c_iflag & row.iflagOff, kNone);
        EXPECT_EQ(t.c_lflag & (ICANON | ECHO | ISIG | IEXTEN), kNone) << "the line stays raw";
        // A text with a setting error changes no setting; the next good text
        // names none, so the settings stay as they are.
        StdoutCapture quiet;
        ch.SetDef(line.Def("9600,N,8,1,flow=bogus").c_str());
        EXPECT_EQ(ch.Open(nullptr), 0);
        ch.SetDef(line.Def("9600").c_str());
        ASSERT_EQ(ch.Open(nullptr), 1);
        EXPECT_EQ(Attrs(line.holder.get()).c_cflag & row.cflagOn, row.cflagOn);
        ch.Close();
    }
}

// A refused Open at another speed puts a rate without a B constant back
// (through termios2).
TEST(SerComOpen, RefusedOpenPutsACustomRateBack) {
    SerialLine line;
    if (!Carries(line.holder.get(), 250000)) GTEST_SKIP() << "this system carries no 250000 to a pty (qemu-user)";
    std::unique_ptr<CSerCom> ch = kxtest::OpenChannel(line.Def("250000,N,8,1"));
    ASSERT_TRUE(ch);
    StdoutCapture quiet;
    ch->Close();
    EXPECT_EQ(ch->Open(line.Def("9600,N,8,1,dtr=0").c_str()), 0);
    unsigned rate = 0, in = 0;
    ASSERT_EQ(kxsys::GetLineRate(line.holder.get(), &rate, &in), 0);
    EXPECT_EQ(rate, 250000u);
    EXPECT_EQ(in, 250000u);
}

// The settings a pty cannot carry, on the driver model: what reaches it, and
// a refusal by name where the driver keeps back what was asked.
TEST(SerComOpen, LineControlOnADriverModel) {
    SerialLine line;
    struct stat st;
    ASSERT_EQ(fstat(line.holder.get(), &st), 0);
    StdoutCapture built;
    CSerCom ch(5);
    CSerCom fresh(line.Def("9600,N,8,1").c_str());
    built.Stop();
    const auto open = [&](const char* settings, const char* refusal = "") {
        StdoutCapture cap;
        const std::string def = strchr(settings, '=') != nullptr ? std::string("9600,N,8,1,") + settings : settings;
        const int opened = ch.Open(line.Def(def).c_str());
        const std::string log = cap.Stop();
        if (*refusal == '\0') return opened == 1 ? std::string() : log;
        return opened == 0 && log.find(refusal) != std::string::npos ? std::string() : log;
    };
    const __u32 on = SER_RS485_ENABLED | SER_RS485_RTS_ON_SEND;
    drv::rdev = st.st_rdev;
    memset(&drv::rs485, 0, sizeof drv::rs485);
    drv::rs485.flags = SER_RS485_RX_DURING_TX;  // from the device tree: it stays
    drv::modem = TIOCM_DTR | TIOCM_RTS;
    EXPECT_EQ(open("rs485=on,rtsbefore=5,rtsafter=7"), "");
    EXPECT_EQ(drv::rs485.flags, on | SER_RS485_RX_DURING_TX);
    EXPECT_EQ(drv::rs485.delay_rts_before_send, 5u);
    EXPECT_EQ(drv::rs485.delay_rts_after_send, 7u);
    EXPECT_EQ(open("rs485=inverted"), "");
    EXPECT_EQ(drv::rs485.flags, SER_RS485_ENABLED | SER_RS485_RTS_AFTER_SEND | SER_RS485_RX_DURING_TX);
    EXPECT_EQ(drv::rs485.delay_rts_after_send, 7u) << "a delay no text named again stays";
    EXPECT_EQ(open("rs485=off"), "");
    EXPECT_EQ(drv::rs485.flags & SER_RS485_ENABLED, 0u);
    drv::rs485.flags |= SER_RS485_ENABLED;  // as at boot: a text that names none leaves it
    {
        StdoutCapture quiet;
        ch.Close();
        EXPECT_EQ(fresh.Open(nullptr), 1);
        fresh.Close();
    }
    EXPECT_NE(drv::rs485.flags & SER_RS485_ENABLED, 0u);
    // The serial core zeroes delays a UART cannot do: refused, and the port
    // not left in RS-485 mode.
    const __u32 atBoot = drv::rs485.flags;
    drv::rs485.flags = 0;
    drv::maxDelay = 0;
    EXPECT_EQ(open("rs485=on,rtsbefore=5", "serial setting refused: rtsbefore=5\n"), "");
    EXPECT_EQ(drv::rs485.flags, 0u);
    drv::rs485.flags = atBoot;
    drv::maxDelay = 50;
    EXPECT_EQ(open("rs485=on,rtsafter=100", "serial setting refused: rtsafter=100\n"), "");
    drv::hasRs485 = false;
    EXPECT_EQ(open("rs485=on", "serial setting refused: rs485=on\n"), "");
    EXPECT_EQ(open("rs485=off"), "") << "met: the driver has no RS-485";
    EXPECT_EQ(open("dtr=0,rts=1"), "");
    EXPECT_EQ(drv::modem, TIOCM_RTS);
    EXPECT_EQ(open("lowlat=1"), "");
    EXPECT_EQ(drv::serialFlags, ASYNC_LOW_LATENCY);
    EXPECT_EQ(open("lowlat=0"), "");
    EXPECT_EQ(drv::serialFlags, 0);
    drv::keepsLowLatency = false;
    EXPECT_EQ(open("lowlat=1", "serial setting refused: lowlat=1\n"), "");
    drv::keepsLowLatency = true;
    drv::forcesOnSend = true;
    EXPECT_EQ(open("rs485=inverted", "serial setting refused: rs485=inverted\n"), "");
    drv::forcesOnSend = false;
    drv::hasRs485 = true;
    drv::rs485.flags = SER_RS485_ENABLED;
    // A request that fails: its setting is refused by name, and what the
    // settings before it changed is put back (EPERM: TIOCSSERIAL as a host
    // that is not root meets it).
    const struct {
        const char* settings;
        unsigned long request;
        int nth, err;
        const char* refused;
    } failures[] = {
        {"rs485=off", TIOCGRS485, 1, EIO, "rs485=off"}, {"rs485=off", TIOCSRS485, 1, EIO, "rs485=off"},
        {"rs485=on", TIOCGRS485, 2, EIO, "rs485=on"},   {"dtr=1", TIOCMBIS, 1, EIO, "dtr=1"},
        {"dtr=0", TIOCMBIC, 1, EIO, "dtr=0"},           {"rts=1", TIOCMGET, 1, EIO, "rts=1"},
        {"lowlat=0", TIOCGSERIAL, 1, EIO, "lowlat=0"},  {"lowlat=1", TIOCSSERIAL, 1, EIO, "lowlat=1"},
        {"lowlat=1", TIOCGSERIAL, 2, EIO, "lowlat=1"},  {"dtr=0,rts=0", TIOCMGET, 2, EIO, "dtr=0"},
        {"rs485=off,dtr=0,lowlat=1", TIOCSSERIAL, 1, EPERM, "lowlat=1"},
        {"rs485=on,dtr=0,rts=1", TIOCMBIC, 1, EIO, "rts= with rs485"},  // a setting error: untouched
        {"rs485=on,dtr=0,lowlat=1", TIOCSSERIAL, 1, EPERM, "lowlat=1"},
    };
    ch.Close();
    drv::maxDelay = 100;
    for (const auto& f : failures) {
        SCOPED_TRACE(f.settings);
        drv::rs485.flags = strncmp(f.settings, "rs485=off", 9) == 0 ? SER_RS485_ENABLED : 0;
        drv::serialFlags = strcmp(f.settings, "lowlat=0") == 0 ? ASYNC_LOW_LATENCY : 0;
        drv::modem = TIOCM_DTR | TIOCM_RTS;
        const struct serial_rs485 rs485 = drv::rs485;
        const int serialFlags = drv::serialFlags;
        drv::failing = f.request;
        drv::failNth = f.nth;
        drv::failErrno = f.err;
        StdoutCapture cap;
        CSerCom one(line.Def(std::string("9600,N,8,1,") + f.settings).c_str());
        EXPECT_EQ(one.Open(nullptr), 0);
        one.Close();
        const std::string log = cap.Stop();
        EXPECT_NE(log.find(std::string(": ") + f.refused + "\n"), std::string::npos) << log;
        EXPECT_EQ(memcmp(&drv::rs485, &rs485, sizeof rs485), 0) << "RS-485 changed";
        EXPECT_EQ(drv::modem, TIOCM_DTR | TIOCM_RTS) << "modem lines changed";
        EXPECT_EQ(drv::serialFlags, serialFlags) << "serial flags changed";
    }
    drv::failing = 0;
    drv::failErrno = EIO;
    drv::rs485.flags = SER_RS485_ENABLED;
    spy::noLine = true;  // a tty without a line keeps CRTSCTS as it was
    EXPECT_EQ(open("rs485=off,flow=rtscts", "serial setting refused: flow=rtscts\n"), "");
    spy::noLine = false;
    drv::noTermios2 = true;  // the named speeds read back from the ordinary attributes
    EXPECT_EQ(open("lowlat=0"), "");
    EXPECT_EQ(open("250000", "serial speed error: 250000 asked, 9600 set\n"), "");
    ch.Close();
    drv::rdev = 0;
    drv::noTermios2 = false;
    drv::hasRs485 = drv::keepsLowLatency = true;
    drv::maxDelay = 100;
}

// The optional exports on a serial channel: what a pty has (queued bytes,
// drain) and what it lacks (the reason -4), then the driver model for the
// rest. Each call leaves its reason; a closed channel and other kinds of
// channel are refused.
TEST(SerComOpen, ExportsOnThePtyAndTheDriverModel) {
    SerialLine line;
    struct stat st;
    ASSERT_EQ(drv::RealFstat(line.holder.get(), &st), 0);
    std::unique_ptr<CSerCom> ch = kxtest::OpenChannel(line.Def("115200,N,8,1"));
    ASSERT_TRUE(ch);
    const unsigned char abc[] = {'a', 'b', 'c'};
    ASSERT_TRUE(kxtest::WriteAll(line.master(), abc, 3));
    ASSERT_TRUE(kxtest::WaitInputQueued(ch->GetHandle(), 3, 10000));
    KxCounters counters = {};
    int in = -1, out = -1;
    char why[128];
    const auto reason = [&](ISerBase* c) {
        const int code = KxLastError(c, why, sizeof why);
        return std::to_string(code) + " " + why;
    };
    const struct {
        const char* what;
        std::function<int()> call;
        int result, code;  // the answer, and KxLastError's after it
        bool model;        // on the driver model
    } rows[] = {
        {"queued", [&] { return KxGetQueued(ch.get(), &in, &out); }, 1, 0, false},
        {"drain", [&] { return KxDrain(ch.get(), 1000); }, 1, 0, false},
        {"lines on a pty", [&] { return KxGetLines(ch.get()); }, -1, REASON_UNSUPPORTED, false},
        {"counters on a pty", [&] { return KxGetCounters(ch.get(), &counters); }, 0, REASON_UNSUPPORTED, false},
        {"break on a pty", [&] { return KxSendBreak(ch.get(), 50); }, 0, REASON_UNSUPPORTED, false},
        {"lines", [&] { return KxGetLines(ch.get()); }, TIOCM_DTR | TIOCM_RTS | TIOCM_CTS | TIOCM_CD, 0, true},
        {"DTR down", [&] { return KxSetLines(ch.get(), 0, TIOCM_DTR); }, 1, 0, true},
        {"CTS is no output", [&] { return KxSetLines(ch.get(), TIOCM_CTS, 0); }, 0, EINVAL, true},
        {"up and down at once", [&] { return KxSetLines(ch.get(), TIOCM_DTR, TIOCM_DTR); }, 0, EINVAL, true},
        {"counters", [&] { return KxGetCounters(ch.get(), &counters); }, 1, 0, true},
        {"no record", [&] { return KxGetCounters(ch.get(), nullptr); }, 0, EINVAL, true},
        {"break of 0 ms", [&] { return KxSendBreak(ch.get(), 0); }, 0, EINVAL, true},
    };
    drv::modem = TIOCM_DTR | TIOCM_RTS | TIOCM_CTS | TIOCM_CD;
    memset(&drv::icount, 0, sizeof drv::icount);
    drv::icount.rx = 10;
    drv::icount.tx = 20;
    drv::icount.frame = 1;
    drv::icount.parity = 2;
    drv::icount.overrun = 3;
    drv::icount.brk = 4;
    drv::icount.buf_overrun = 5;
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        drv::rdev = row.model ? st.st_rdev : 0;
        EXPECT_EQ(row.call(), row.result);
        EXPECT_EQ(KxLastError(ch.get(), why, sizeof why), row.code) << why;
        EXPECT_EQ(why[0] == 0, row.code == 0) << "the words go with a failure only";
    }
    EXPECT_EQ(in, 3);
    EXPECT_EQ(out, 0);
    EXPECT_EQ(drv::modem, TIOCM_RTS | TIOCM_CTS | TIOCM_CD);
    const KxCounters want = {10, 20, 1, 2, 3, 4, 5};
    EXPECT_EQ(memcmp(&counters, &want, sizeof want), 0);
    // A refused request leaves the lines as they were.
    drv::failing = TIOCMBIC;
    drv::failNth = 1;
    EXPECT_EQ(KxSetLines(ch.get(), TIOCM_DTR, TIOCM_RTS), 0);
    EXPECT_EQ(drv::modem, TIOCM_RTS | TIOCM_CTS | TIOCM_CD);
    EXPECT_EQ(reason(ch.get()), "5 TIOCMBIS/TIOCMBIC: Input/output error");
    // A line the driver does not change: refused, and the other put back.
    drv::stuck = TIOCM_DTR;
    EXPECT_EQ(KxSetLines(ch.get(), TIOCM_DTR, TIOCM_RTS), 0);
    EXPECT_EQ(reason(ch.get()), "-2 the driver did not take DTR and RTS");
    EXPECT_EQ(drv::modem, TIOCM_RTS | TIOCM_CTS | TIOCM_CD);
    drv::stuck = 0;
    // The break is held for the time asked, on a driver that has one, once
    // the output before it has left (a held line: not at all).
    drv::asUart = true;
    EXPECT_EQ(KxSendBreak(ch.get(), 50), 1) << reason(ch.get());
    const double breakAt = drv::breakOn;
    drv::outQueue = 64;
    drv::outDrain = 0;
    EXPECT_EQ(KxSendBreak(ch.get(), 50), 0);
    EXPECT_EQ(KxLastError(ch.get(), nullptr, 0), ETIMEDOUT);
    EXPECT_EQ(drv::breakOn, breakAt) << "a break in the middle of the output";
    drv::outQueue = -1;
    drv::asUart = false;
    EXPECT_GE(drv::breakOff - drv::breakOn, 45);
    EXPECT_LT(drv::breakOff - drv::breakOn, 2000);
    // Drain: a queue that does not leave runs out of time, one that leaves drains.
    drv::outQueue = 512;
    drv::outDrain = 0;
    EXPECT_EQ(KxDrain(ch.get(), 100), 0);
    EXPECT_EQ(KxLastError(ch.get(), nullptr, 0), ETIMEDOUT);
    drv::outDrain = 128;
    EXPECT_EQ(KxDrain(ch.get(), 10000), 1);
    drv::outQueue = -1;
    // A transmitter that never reports itself empty (QEMU's FT232): drained
    // once a FIFO's time has passed, not before.
    drv::lsr = 0;
    EXPECT_EQ(KxDrain(ch.get(), 5), 0);
    EXPECT_EQ(KxDrain(ch.get(), 10000), 1);
    drv::lsr = TIOCSER_TEMT;
    EXPECT_EQ(KxDrain(ch.get(), 0), 1);
    drv::lsr = -1;
    drv::failing = TIOCOUTQ;
    drv::failNth = 1;
    EXPECT_EQ(KxDrain(ch.get(), 1000), 0);
    EXPECT_EQ(reason(ch.get()), "5 TIOCOUTQ: Input/output error");
    drv::failing = 0;
    // RTS is the driver's under hardware flow control.
    {
        StdoutCapture quiet;
        ASSERT_EQ(ch->Open(line.Def("115200,N,8,1,flow=rtscts").c_str()), 1);
    }
    EXPECT_EQ(KxSetLines(ch.get(), TIOCM_RTS, 0), 0);
    EXPECT_EQ(KxLastError(ch.get(), nullptr, 0), REASON_SETTING);
    EXPECT_EQ(KxSetLines(ch.get(), 0, TIOCM_DTR), 1);
    // The echo filter's mismatch within one read: the matched bytes, then
    // the rest, in front of the room they need.
    kxline::EchoFilter echo;
    const unsigned char sent[] = {'a', 'b', 'c'};
    unsigned char back[8] = {'a', 'b', 'X', 'Y'};
    int at = -1;
    echo.Expect(sent, 3);
    EXPECT_EQ(echo.Filter(back, 1, 8, &at), 0);
    EXPECT_EQ(echo.Filter(back + 1, 3, 7, &at), 4);
    EXPECT_EQ(at, 2);
    EXPECT_EQ(memcmp(back + 1, "abXY", 4), 0);
    drv::rdev = 0;
    // Closed, then another kind of channel, then none at all.
    {
        StdoutCapture quiet;
        ch->Close();
    }
    EXPECT_EQ(KxGetLines(ch.get()), -1);
    EXPECT_EQ(reason(ch.get()), "9 the channel is not open");
    EXPECT_EQ(KxGetQueued(ch.get(), &in, &out), 0);
    StdoutCapture quiet;
    CSerNet net(1);
    quiet.Stop();
    EXPECT_EQ(KxSendBreak(&net, 50), 0);
    EXPECT_EQ(reason(&net), "-4 not a serial channel");
    EXPECT_EQ(KxGetQueued(&net, &in, &out), 0);
    EXPECT_EQ(reason(&net), "9 the channel is not open");
    EXPECT_EQ(KxLastError(nullptr, why, 4), EINVAL);
    EXPECT_STREQ(why, "not");  // cut to the size, terminated
}

// XON/XOFF: the far end's XOFF holds the channel's output, its XON lets it go.
TEST(SerComOpen, XonXoffHoldsAndReleasesOutput) {
    SerialLine line;
    std::unique_ptr<CSerCom> ch = kxtest::OpenChannel(line.Def("115200,N,8,1,flow=xonxoff"));
    ASSERT_TRUE(ch);
    // The marker reaches the channel's queue only once the XOFF before it is taken.
    const unsigned char xoff[] = {0x13, 'm'}, xon = 0x11;
    ASSERT_TRUE(kxtest::WriteAll(line.master(), xoff, 2));
    ASSERT_TRUE(kxtest::WaitInputQueued(ch->GetHandle(), 1, 10000));
    kxtest::StdoutToNull quiet;
    std::thread writer([&] { ch->Write(reinterpret_cast<const unsigned char*>("abc"), 3); });
    EXPECT_FALSE(kxtest::WaitReadable(line.master(), 300)) << "output went out under XOFF";
    ASSERT_TRUE(kxtest::WriteAll(line.master(), &xon, 1));
    char got[3] = {};
    EXPECT_EQ(kxtest::ReadFully(line.master(), got, 3, 10000), 3);
    writer.join();
    EXPECT_EQ(std::string(got, 3), "abc");
    ch->Close();
}

// Close delivers what Write accepted: with flow control too, to a reader
// that has not read yet; on the driver model, a queue that keeps leaving is
// waited for, one a held line keeps back is discarded after a bounded wait.
TEST(SerComOpen, CloseDeliversWhatWriteAccepted) {
    SerialLine line;
    std::vector<unsigned char> out(8224);
    for (size_t i = 0; i < out.size(); ++i) out[i] = static_cast<unsigned char>(i * 7 + 1);
    for (const char* flow : {",flow=rtscts", ",flow=xonxoff", ""}) {
        SCOPED_TRACE(flow);
        std::unique_ptr<CSerCom> ch = kxtest::OpenChannel(line.Def(std::string("115200,N,8,1") + flow));
        ASSERT_TRUE(ch);
        {
            kxtest::StdoutToNull quiet;
            ASSERT_EQ(ch->Write(out.data(), static_cast<int>(out.size())), static_cast<int>(out.size()));
            ch->Close();
        }
        std::vector<unsigned char> got(out.size());
        EXPECT_EQ(kxtest::ReadFully(line.master(), got.data(), static_cast<int>(got.size()), 10000),
                  static_cast<int>(out.size()));
        EXPECT_EQ(got, out);
    }
    struct stat st;
    ASSERT_EQ(fstat(line.holder.get(), &st), 0);
    drv::rdev = st.st_rdev;
    for (const int drain : {64, 0}) {
        SCOPED_TRACE(drain);
        std::unique_ptr<CSerCom> ch = kxtest::OpenChannel(line.Def("115200,N,8,1,flow=rtscts"));
        ASSERT_TRUE(ch);
        drv::outQueue = 512;
        drv::outDrain = drain;
        drv::outFlushes = 0;
        const double t0 = kxtest::NowMs();
        ch->Close();
        EXPECT_LT(kxtest::NowMs() - t0, 10000) << "waited out the driver's closing time";
        EXPECT_EQ(drv::outFlushes, drain == 0 ? 1 : 0);
        EXPECT_EQ(drv::outQueue, 0) << "all of it left, or was discarded";
    }
    drv::outQueue = -1;
    drv::rdev = 0;
}

// The parity, stop-bit and flow choices that Open never passes.
TEST(SerComOpen, SetOptCases) {
    const struct {
        char parity;
        int stop;
        char flow;
        bool parenb, parodd, cmspar, inpck, cstopb, crtscts, xonxoff, raw;
    } rows[] = {
        {'S', 2, 'H', true, false, true, true, true, true, false, false},
        {'s', 0, 's', true, false, true, true, false, false, true, false},
        {'m', 1, 'N', true, true, true, true, false, false, false, true},
        {'o', 1, 'n', true, true, false, true, false, false, false, true},
        {'e', 2, 'x', true, false, false, true, true, false, false, true},
        {'x', 2, 'N', false, false, false, false, true, false, false, true},
    };
    SerialLine line;
    const bool stick = KeepsStickParity(line.holder.get());
    CSerCom ch(5);
    for (const auto& row : rows) {
        SCOPED_TRACE(std::string(1, row.parity) + row.flow);
        kxtest::CookLine(line.holder.get());
        StdoutCapture cap;
        if (row.cmspar && !stick) {
            EXPECT_EQ(ch.set_opt(line.holder.get(), 38400, 5, row.parity, row.stop, row.flow), -1);
            EXPECT_EQ(cap.Stop(), "serial setup error\nserial setup error\n");
            continue;
        }
        EXPECT_EQ(ch.set_opt(line.holder.get(), 38400, 5, row.parity, row.stop, row.flow), 0);
        EXPECT_EQ(cap.Stop(), "set serial done+!\n");
        const struct termios t = AppliedAndReported(line.holder.get());
        EXPECT_EQ(cfgetospeed(&t), static_cast<speed_t>(B38400));
        EXPECT_EQ(t.c_cflag & CSIZE, static_cast<tcflag_t>(CS5));
        EXPECT_EQ((t.c_cflag & PARENB) != 0, row.parenb);
        if (row.parenb) {
            EXPECT_EQ((t.c_cflag & PARODD) != 0, row.parodd);
        }
        EXPECT_EQ((t.c_cflag & CMSPAR) != 0, row.cmspar);
        EXPECT_EQ((t.c_iflag & INPCK) != 0, row.inpck);
        EXPECT_EQ((t.c_cflag & CSTOPB) != 0, row.cstopb);
        EXPECT_EQ((t.c_cflag & CRTSCTS) != 0, row.crtscts);
        EXPECT_EQ((t.c_iflag & (IXON | IXOFF | IXANY)) == (IXON | IXOFF | IXANY), row.xonxoff);
        if (!row.xonxoff) {
            EXPECT_EQ(t.c_iflag & (IXON | IXOFF | IXANY), kNone);
        }
        const bool cooked = (t.c_lflag & ICANON) && (t.c_iflag & ICRNL) && (t.c_oflag & ONLCR);
        EXPECT_EQ(cooked, !row.raw);
        if (row.raw) {
            EXPECT_EQ(t.c_lflag & (ICANON | ECHO | ECHOE | ISIG | ECHONL | IEXTEN), kNone);
            EXPECT_EQ(t.c_iflag & (INLCR | IGNCR | ICRNL | ISTRIP | PARMRK | IGNBRK | BRKINT | IUCLC), kNone);
            EXPECT_EQ(t.c_oflag & (ONLCR | OCRNL), kNone);
        }
        EXPECT_EQ(t.c_oflag & OPOST, kNone);
        EXPECT_EQ(t.c_cc[VMIN], 0);
        EXPECT_EQ(t.c_cc[VTIME], 2);
    }

    int p[2];
    ASSERT_EQ(pipe(p), 0);
    UniqueFd r(p[0]), w(p[1]);
    StdoutCapture cap;
    EXPECT_EQ(ch.set_opt(r.get(), 9600, 8, 'N', 0, 'N'), -1);
    EXPECT_EQ(cap.Stop(), "tcgetattr error\n");
}

TEST(SerComOpen, SetBaudWaitsForTheNextOpenAndReopenClosesTheEarlierDescriptor) {
    SerialLine line;
    const std::string path = line.pty.slavePath;
    const std::string type = "[" + HexCode(line.Type()) + "] open ok!\r\n";
    std::unique_ptr<CSerCom> ch = kxtest::OpenChannel(line.Def("115200,N,8,1"));
    ASSERT_TRUE(ch);
    const std::string note = ch->GetNote();

    EXPECT_EQ(ch->SetBaud(57600), 1);
    struct termios t = Attrs(line.holder.get());
    EXPECT_EQ(cfgetospeed(&t), static_cast<speed_t>(B115200));
    EXPECT_EQ(ch->GetNote(), note);

    StdoutCapture cap;
    const int fds = CountOpenFds();
    ASSERT_EQ(ch->Open(nullptr), 1);
    EXPECT_EQ(cap.Text(), "CSerCom::Open: " + path + ",57600,8,N,0\r\nset serial done+!\n" + note + type);
    EXPECT_EQ(CountOpenFds(), fds);
    t = Attrs(line.holder.get());
    EXPECT_EQ(cfgetospeed(&t), static_cast<speed_t>(B57600));
    EXPECT_EQ(ch->GetNote(), note);

    // A definition text is parsed before anything else and logs first.
    const std::string before = cap.Text();
    ASSERT_EQ(ch->Open(line.Def("9600,E,8,2").c_str()), 1);
    EXPECT_EQ(CountOpenFds(), fds);
    const std::string newNote = line.Name() + ":9600,e,8,2";
    EXPECT_EQ(cap.Stop(), before + "CSerCom UpdParams: ComPort: " + line.Name() + ", 2, 2\r\n" +
                              "CSerCom::Open: " + path + ",9600,8,E,2\r\nset serial done+!\n" +
                              newNote + type);
    EXPECT_EQ(ch->GetType(), line.Type());
    t = AppliedAndReported(line.holder.get());
    EXPECT_EQ(cfgetospeed(&t), static_cast<speed_t>(B9600));
    EXPECT_NE(t.c_cflag & PARENB, kNone);
    EXPECT_EQ(t.c_cflag & PARODD, kNone);
    EXPECT_NE(t.c_cflag & CSTOPB, kNone);
    ch->Close();
}

// Index 12 forms the text \\.\COM12, which the system takes as a file name
// in the working directory: missing, a plain file, then a link to the pty.
TEST(SerComOpen, IndexAboveNineUsesTheWindowsFormRelativeToTheWorkingDirectory) {
    SerialLine line;
    kxtest::TempDir dir;
    kxtest::ScopedChdir cd(dir.path());
    const char* name = "\\\\.\\COM12";
    StdoutCapture built;
    CSerCom ch(12);
    built.Stop();
    const std::string head = std::string("CSerCom::Open: ") + name + ",9600,8,N,1\r\n";
    const std::string tag = "COM12:9600,n,8,1.5[10000c] ";
    const int fds = CountOpenFds();
    {
        StdoutCapture cap;
        EXPECT_EQ(ch.Open(nullptr), 0);
        EXPECT_EQ(cap.Stop(), head + tag + "open error!\r\n");
        EXPECT_EQ(ch.IsOpened(), 0);
        EXPECT_EQ(ch.GetHandle(), -1);
    }
    {
        UniqueFd f(open(name, O_CREAT | O_WRONLY, 0600));
        ASSERT_TRUE(f);
        StdoutCapture cap;
        EXPECT_EQ(ch.Open(nullptr), 0);
        EXPECT_EQ(cap.Stop(), head + "tcgetattr error\n" + tag + "set_op error!\r\n");
        EXPECT_EQ(KxLastError(&ch, nullptr, 0), ENOTTY);
        EXPECT_EQ(ch.IsOpened(), 0);
        EXPECT_EQ(ch.GetHandle(), -1);
    }
    EXPECT_EQ(CountOpenFds(), fds) << "the refused descriptor must be closed";
    ASSERT_EQ(unlink(name), 0);
    ASSERT_EQ(symlink(line.pty.slavePath.c_str(), name), 0);
    {
        StdoutCapture cap;
        ASSERT_EQ(ch.Open(nullptr), 1);
        EXPECT_EQ(cap.Stop(), head + "set serial done+!\n" + tag + "open ok!\r\n");
        EXPECT_TRUE(kxtest::SameDevice(ch.GetHandle(), line.holder.get()));
    }
    ch.Close();
    EXPECT_EQ(CountOpenFds(), fds);
}

TEST(SerComOpen, MissingDeviceUnderDev) {
    StdoutCapture cap;
    CSerCom ch("ttyKXnone0:9600");
    const std::string built = cap.Text();
    EXPECT_EQ(ch.Open(nullptr), 0);
    EXPECT_EQ(cap.Stop(), built + "CSerCom::Open: /dev/ttyKXnone0,9600,8,N,1\r\n" +
                              "ttyKXnone0:9600,n,8,1.5[100000] open error!\r\n");
    EXPECT_EQ(ch.IsOpened(), 0);
    char why[96];
    EXPECT_EQ(KxLastError(&ch, why, sizeof why), ENOENT);
    EXPECT_STREQ(why, "/dev/ttyKXnone0: No such file or directory");
}

// The kernel refuses tcsetattr (EIO) to a process of an orphaned background
// process group on its controlling terminal. The child leads a new session
// with the pty slave as its terminal, gives the foreground to a grandchild's
// group and then opens the channel on that slave.
int OpenFromOrphanedBackground(const SerialLine& line, int out) {
    if (setsid() < 0) return 10;
    UniqueFd ctty(open(line.pty.slavePath.c_str(), O_RDWR | O_NOCTTY));
    if (!ctty || ioctl(ctty.get(), TIOCSCTTY, 0) != 0) return 11;
    signal(SIGTTOU, SIG_DFL);
    sigset_t ttou;
    sigemptyset(&ttou);
    sigaddset(&ttou, SIGTTOU);
    sigprocmask(SIG_UNBLOCK, &ttou, nullptr);
    const pid_t fg = fork();
    if (fg < 0) return 12;
    if (fg == 0) {
        setpgid(0, 0);
        for (;;) pause();
    }
    setpgid(fg, fg);
    int code = 0;
    if (tcsetpgrp(ctty.get(), fg) != 0) {
        code = 13;
    } else {
        StdoutCapture cap;
        CSerCom ch(line.Def("9600,N,8,1").c_str());
        const std::string built = cap.Text();
        const int fds = CountOpenFds();
        const int result = ch.Open(nullptr);
        const bool closed = CountOpenFds() == fds;
        const std::string log = cap.Stop().substr(built.size());
        const std::string report = std::to_string(result) + " " + std::to_string(ch.IsOpened()) +
                                   (closed ? " closed\n" : " leaked\n") + log;
        if (!kxtest::WriteAll(out, report.data(), static_cast<int>(report.size()))) code = 14;
    }
    kill(fg, SIGKILL);
    waitpid(fg, nullptr, 0);
    return code;
}

TEST(SerComOpen, AttributesThatCannotBeAppliedCloseTheDevice) {
    SerialLine line;
    int p[2];
    ASSERT_EQ(pipe(p), 0);
    UniqueFd rd(p[0]), wr(p[1]);
    fflush(stdout);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        rd.reset();
        kxtest::ExitChild(OpenFromOrphanedBackground(line, wr.get()));
    }
    wr.reset();
    std::string report;
    char buf[512];
    for (;;) {
        if (!kxtest::WaitReadable(rd.get(), 30000)) break;
        const ssize_t n = read(rd.get(), buf, sizeof buf);
        if (n <= 0) break;
        report.append(buf, static_cast<size_t>(n));
    }
    kill(child, SIGKILL);  // no effect when it has already finished
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status)) << "child stopped or killed; report: " << report;
    ASSERT_EQ(WEXITSTATUS(status), 0) << "could not set up the background group";
    const std::string note = line.Name() + ":9600,n,8,1";
    EXPECT_EQ(report, "0 0 closed\nCSerCom::Open: " + line.pty.slavePath + ",9600,8,N,0\r\n" +
                          "serial setup error\nserial setup error\n" + note + "[" +
                          HexCode(line.Type()) + "] set_op error!\r\n");
}

// ---------------------------------------------------------------------------
// Transfers on an open channel. The line starts cooked, so every byte
// that crosses unchanged shows that the channel made it raw.

class SerComIo : public ::testing::Test {
protected:
    void SetUp() override {
        kxtest::CookLine(line.holder.get());
        ch = kxtest::OpenChannel(line.Def("115200,N,8,1"));
        ASSERT_TRUE(ch);
    }
    void TearDown() override {
        StdoutCapture quiet;
        if (ch) ch->Close();
    }
    // Writes on the master; returns once the channel's side has it all queued.
    void Feed(const unsigned char* data, int len) {
        ASSERT_TRUE(kxtest::WriteAll(line.master(), data, len));
        ASSERT_TRUE(kxtest::WaitInputQueued(ch->GetHandle(), len, 10000));
    }
    void Feed(const std::vector<unsigned char>& data) {
        Feed(data.data(), static_cast<int>(data.size()));
    }

    SerialLine line;
    std::unique_ptr<CSerCom> ch;
};

TEST_F(SerComIo, AllByteValuesCrossUnchangedBothWays) {
    unsigned char out[256], in[256], got[256];
    for (int i = 0; i < 256; ++i) {
        out[i] = static_cast<unsigned char>(i);
        in[i] = static_cast<unsigned char>(i + 1);  // ends in 0x00: a leading one would be dropped
    }
    StdoutCapture cap;
    EXPECT_EQ(ch->Write(out, 256), 256);
    ASSERT_EQ(kxtest::ReadFully(line.master(), got, 256, 10000), 256);
    EXPECT_EQ(memcmp(got, out, 256), 0);

    Feed(in, 256);
    memset(got, 0xEE, sizeof got);
    EXPECT_EQ(ch->Read(got, 256, 0), 256);
    EXPECT_EQ(memcmp(got, in, 256), 0);
    EXPECT_EQ(cap.Stop(), "SEND: " + Hex(out, 256) + "\r\nRECV: " + Hex(in, 256) + "\r\n");
    // No echo, no added line ends.
    EXPECT_FALSE(kxtest::WaitReadable(line.master(), 100));
}

TEST_F(SerComIo, LeadingZeroIsDroppedOnlyAsTheFirstByte) {
    const struct {
        std::vector<unsigned char> in, out;
    } rows[] = {
        {{0x00, 0x41, 0x42}, {0x41, 0x42}},
        {{0x41, 0x00, 0x42}, {0x41, 0x00, 0x42}},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(Hex(row.in.data(), 3));
        Feed(row.in);
        unsigned char buf[3] = {0xEE, 0xEE, 0xEE};
        StdoutCapture cap;
        const int n = ch->Read(buf, 3, 0);
        ASSERT_EQ(n, static_cast<int>(row.out.size()));
        EXPECT_EQ(memcmp(buf, row.out.data(), row.out.size()), 0);
        EXPECT_EQ(cap.Stop(), "RECV: " + Hex(row.out.data(), n) + "\r\n");
    }
}

// echo=drop: what each Write sent is dropped when it comes back, before the
// leading-0x00 rule; from the first byte that differs everything is
// delivered (the bytes that matched before it too), and one line says so.
TEST_F(SerComIo, EchoDropTakesBackOnlyTheEcho) {
    using Bytes = std::vector<unsigned char>;
    const Bytes ask = {0x01, 0x03, 0x00, 0x00, 0x00, 0x02, 0xC4, 0x0B};
    const Bytes reply = {0x01, 0x03, 0x04, 0x00, 0x0A, 0x00, 0x0B, 0x12, 0x34};
    const auto join = [](Bytes a, const Bytes& b) {
        a.insert(a.end(), b.begin(), b.end());
        return a;
    };
    const Bytes big(341, 0x5A);
    const struct {
        const char* what;
        Bytes written, arriving;
        int readLen;  // each Read asks for this much, until the expected bytes are in
        Bytes read;
        int mismatch;  // the echo's byte named in the line, -1 for none
    } rows[] = {
        {"echo, then the reply", ask, join(ask, reply), 9, reply, -1},
        {"no echo: a reply that starts like its request", ask, reply, 9, reply, 2},
        {"the leading 0x00 rule after the echo", {0x05, 0x06}, {0x05, 0x06, 0x00, 0x41, 0x42}, 8, {0x41, 0x42}, -1},
        {"a byte of the echo differs", {0x11, 0x22, 0x33, 0x44}, {0x11, 0x22, 0x99, 0x44, 0xAA}, 8,
         {0x11, 0x22, 0x99, 0x44, 0xAA}, 2},
        {"held bytes over Reads of one", {0x11, 0x22, 0x33}, {0x11, 0x22, 0xAA, 0xBB}, 1, {0x11, 0x22, 0xAA, 0xBB}, 2},
        {"only the echo", {0x01, 0x02}, {0x01, 0x02}, 8, {}, -1},
        {"longer than a dump line: not filtered", big, join(big, {0x01}), 400, join(big, {0x01}), -1},
    };
    {
        StdoutCapture quiet;
        ASSERT_EQ(ch->Open(line.Def("115200,N,8,1,echo=drop").c_str()), 1);
    }
    const std::string mark = std::string(ch->GetNote()) + "[" + HexCode(ch->GetType()) + "] echo mismatch at byte ";
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        std::vector<unsigned char> sent(row.written.size()), got;
        StdoutCapture cap;
        ASSERT_EQ(ch->Write(row.written.data(), static_cast<int>(row.written.size())),
                  static_cast<int>(row.written.size()));
        ASSERT_EQ(kxtest::ReadFully(line.master(), sent.data(), static_cast<int>(sent.size()), 10000),
                  static_cast<int>(sent.size()));
        Feed(row.arriving);
        std::vector<unsigned char> buf(static_cast<size_t>(row.readLen));
        int n = 0;
        do {
            n = ch->Read(buf.data(), row.readLen, 0);
            got.insert(got.end(), buf.begin(), buf.begin() + (n > 0 ? n : 0));
        } while (n > 0 && got.size() < row.read.size());
        EXPECT_EQ(got, row.read);
        const std::string log = cap.Stop();
        const size_t at = log.find(mark);
        EXPECT_EQ(at == std::string::npos ? -1 : atoi(log.c_str() + at + mark.size()), row.mismatch) << log;
        EXPECT_EQ(kxtest::InputQueued(ch->GetHandle()), 0);
    }
    // echo=off: the echo is data again.
    StdoutCapture quiet;
    ASSERT_EQ(ch->Open(line.Def("115200,N,8,1,echo=off").c_str()), 1);
    ch->Write(ask.data(), 8);
    std::vector<unsigned char> sent(8), buf(8);
    ASSERT_EQ(kxtest::ReadFully(line.master(), sent.data(), 8, 10000), 8);
    Feed(ask);
    EXPECT_EQ(ch->Read(buf.data(), 8, 0), 8);
    EXPECT_EQ(buf, ask);
}

TEST_F(SerComIo, FullBufferReturnsAtOnceAndLeavesTheRest) {
    const std::vector<unsigned char> in = {1, 2, 3, 4, 5, 6, 7, 8};
    Feed(in);
    unsigned char buf[4];
    StdoutCapture cap;
    double t0 = kxtest::NowMs();
    EXPECT_EQ(ch->Read(buf, 4, 0), 4);
    // Waiting for a quiet line would take the 200 ms read timer.
    EXPECT_LT(kxtest::NowMs() - t0, 190);
    EXPECT_EQ(memcmp(buf, in.data(), 4), 0);
    EXPECT_EQ(kxtest::InputQueued(ch->GetHandle()), 4);

    t0 = kxtest::NowMs();
    EXPECT_EQ(ch->Read(buf, 4, 5000), 4);  // five passes, unused
    EXPECT_LT(kxtest::NowMs() - t0, 900);
    EXPECT_EQ(memcmp(buf, in.data() + 4, 4), 0);
    EXPECT_EQ(cap.Stop(), "RECV: 01 02 03 04 \r\nRECV: 05 06 07 08 \r\n");
}

TEST_F(SerComIo, BlocksOf341BytesLogTheNotice) {
    std::vector<unsigned char> block(341);
    for (size_t i = 0; i < block.size(); ++i) block[i] = static_cast<unsigned char>(i % 251 + 1);
    std::vector<unsigned char> got(341);
    StdoutCapture cap;
    EXPECT_EQ(ch->Write(block.data(), 340), 340);
    EXPECT_EQ(ch->Write(block.data(), 341), 341);
    ASSERT_EQ(kxtest::ReadFully(line.master(), got.data(), 340, 10000), 340);
    ASSERT_EQ(kxtest::ReadFully(line.master(), got.data(), 341, 10000), 341);
    EXPECT_EQ(got, block);
    Feed(block);
    std::fill(got.begin(), got.end(), 0);
    EXPECT_EQ(ch->Read(got.data(), 341, 0), 341);
    EXPECT_EQ(got, block);
    EXPECT_EQ(cap.Stop(), "SEND: " + Hex(block.data(), 340) + "\r\n" +
                              "SEND: msg.len > 1024\r\nRECV: msg.len > 1024\r\n");
}

TEST_F(SerComIo, RefusedArgumentsTouchNothingAndLogNothing) {
    const unsigned char q = 'Q';
    Feed(&q, 1);
    unsigned char buf[2] = {0xEE, 0xEE};
    StdoutCapture cap;
    EXPECT_EQ(ch->Read(nullptr, 4, 0), -1);
    EXPECT_EQ(ch->Read(buf, 0, 0), -1);
    EXPECT_EQ(ch->Read(buf, -3, 0), -1);
    EXPECT_EQ(ch->Write(nullptr, 4), -1);
    EXPECT_EQ(ch->Write(buf, -1), -1);
    EXPECT_EQ(ch->Write(buf, 0), 0);  // a real write of nothing: no log line
    EXPECT_EQ(ch->Write(""), 0);
    EXPECT_EQ(cap.Stop(), "");
    EXPECT_EQ(buf[0], 0xEE);
    EXPECT_EQ(kxtest::InputQueued(ch->GetHandle()), 1) << "the waiting byte must not be consumed";
    EXPECT_FALSE(kxtest::WaitReadable(line.master(), 50));
}

TEST_F(SerComIo, PurgeDiscardsPendingInput) {
    const std::vector<unsigned char> in = {'X', 'Y', 'Z'};
    Feed(in);
    StdoutCapture cap;
    EXPECT_EQ(ch->Purge(), 1);
    EXPECT_EQ(cap.Stop(), "");
    EXPECT_EQ(kxtest::InputQueued(ch->GetHandle()), 0);
}

// A failing device read ends Read at once with what it has, even with a
// time-out whose passes never run out; a failing first read counts nothing.
TEST_F(SerComIo, FailedDeviceReadEndsTheReadWithTheBytesSoFar) {
    const std::vector<unsigned char> in = {'A', 'B'};
    Feed(in);
    // Non-blocking, the read after the data fails with EAGAIN.
    ASSERT_EQ(fcntl(ch->GetHandle(), F_SETFL, O_NONBLOCK), 0);
    unsigned char buf[10];
    StdoutCapture cap;
    EXPECT_EQ(ch->Read(buf, 10, -1000), 2);
    EXPECT_EQ(ch->Read(buf, 10, -1000), 0);
    EXPECT_EQ(cap.Stop(), "RECV: 41 42 \r\nRECV: \r\n");
}

// A write that meets a hung-up line (an unplugged adapter; here a pty whose
// master closed) fails as before and lets go of the device.
TEST(SerComHangUp, FailedWriteOnAHungUpLineClosesTheChannel) {
    const int baseline = kxtest::CountOpenFds();
    {
        kxtest::SerialLine line;
        std::unique_ptr<CSerCom> ch = kxtest::OpenChannel(line.Def("9600,N,8,1"));
        ASSERT_NE(ch, nullptr);
        line.pty.master.reset();
        line.holder.reset();
        unsigned char buf[4] = {'A', 'B'};
        StdoutCapture cap;
        EXPECT_EQ(ch->Write(buf, 2), -1);
        EXPECT_EQ(ch->IsOpened(), 0);
        EXPECT_EQ(ch->Read(buf, 4, -1000), -1);
        EXPECT_EQ(ch->Write(buf, 2), -1);
        EXPECT_EQ(cap.Stop(), "SEND: \r\n");
    }
    EXPECT_EQ(kxtest::CountOpenFds(), baseline);
}

TEST(SerComWait, WaitProcCallsTheChannelsWait) {
    StdoutCapture quiet;
    CSerCom ch(2);
    EXPECT_FALSE(ch.m_bWait);
    EXPECT_EQ(CSerCom::WaitProc(nullptr), 0);
    EXPECT_EQ(CSerCom::WaitProc(&ch), 0);
    EXPECT_TRUE(ch.m_bWait);
}

}  // namespace
