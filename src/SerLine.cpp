// The serial line's configuration: termios through glibc, rates without a B
// constant through termios2 (SysLineRate.cpp), and the read-back that tells
// what the driver really made of the request.
#include "SerLine.h"

#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <cstdio>

#include "SerCom.h"
#include "SysCall.h"

namespace {

struct NamedRate {
    int rate;
    speed_t code;
};

// Every rate <termios.h> names; the high ones are not on every target.
const NamedRate kNamedRates[] = {
    {50, B50},           {75, B75},           {110, B110},         {134, B134},
    {150, B150},         {200, B200},         {300, B300},         {600, B600},
    {1200, B1200},       {1800, B1800},       {2400, B2400},       {4800, B4800},
    {9600, B9600},       {19200, B19200},     {38400, B38400},     {57600, B57600},
    {115200, B115200},   {230400, B230400},
#ifdef B460800
    {460800, B460800},
#endif
#ifdef B500000
    {500000, B500000},   {576000, B576000},   {921600, B921600},   {1000000, B1000000},
    {1152000, B1152000}, {1500000, B1500000}, {2000000, B2000000},
#endif
#ifdef B2500000
    {2500000, B2500000}, {3000000, B3000000}, {3500000, B3500000}, {4000000, B4000000},
#endif
};

// A speed of 0 or less keeps the long-standing default (never B0, which
// would hang the line up).
const int kDefaultBaud = 115200;

int RateFor(int baud) { return baud > 0 ? baud : kDefaultBaud; }

// Drivers do not refuse a rate they cannot make: the FTDI driver falls back
// to 9600, the 8250 keeps the earlier speed, and both answer success. What
// they stored tells; 3 % is what a UART's own clock error may leave.
bool RateMade(unsigned asked, unsigned made) {
    const unsigned long long diff = asked > made ? asked - made : made - asked;
    return diff * 100ULL <= static_cast<unsigned long long>(asked) * 3ULL;
}

// A pseudo-terminal has no wire and always forces 8 data bits without
// parity, so those two are not asked of it.
bool IsPseudoTerminal(int fd) {
    struct stat st;
    return fstat(fd, &st) == 0 && S_ISCHR(st.st_mode) && major(st.st_rdev) >= 136 &&
           major(st.st_rdev) <= 143;
}

// Drivers answer success for a character format they cannot make and store
// what they make instead: ftdi_sio turns 6 data bits into 8, a driver (or an
// emulator) without stick parity drops CMSPAR.
bool FrameMade(int fd, tcflag_t asked, tcflag_t made) {
    tcflag_t mask = CSIZE | PARENB | CMSPAR | CSTOPB;
    if (asked & PARENB) mask |= PARODD;
    if (IsPseudoTerminal(fd)) mask &= ~static_cast<tcflag_t>(CSIZE | PARENB);
    return (asked & mask) == (made & mask);
}

// What set_opt decides beyond the character format: raw mode, flow control
// by software, the read timer. The tty layer keeps these for every driver,
// with a line or without.
const tcflag_t kInputDecided = INPCK | IXON | IXOFF | IXANY | INLCR | IGNCR | ICRNL | ISTRIP |
                               PARMRK | IGNBRK | BRKINT | IUCLC;
const tcflag_t kOutputDecided = OPOST | ONLCR | OCRNL;
const tcflag_t kLocalDecided = ICANON | ECHO | ECHOE | ISIG | ECHONL | IEXTEN;

bool ModesMade(const struct termios& asked, const struct termios& made) {
    return (asked.c_iflag & kInputDecided) == (made.c_iflag & kInputDecided) &&
           (asked.c_oflag & kOutputDecided) == (made.c_oflag & kOutputDecided) &&
           (asked.c_lflag & kLocalDecided) == (made.c_lflag & kLocalDecided) &&
           asked.c_cc[VMIN] == made.c_cc[VMIN] && asked.c_cc[VTIME] == made.c_cc[VTIME];
}

// Some ttys have no line to set: the USB gadget's ttyGS, usb-serial ports
// whose driver has no set_termios (the AT-command ports of cellular
// modems). The tty layer hands back the earlier speed and format whatever
// is asked. A driver with a line that refused only the speed (the 8250
// keeps the earlier one, ftdi_sio writes 9600) still takes a format bit, so
// one harmless change tells them apart; what it changed is put back.
bool KeepsNoLine(int fd, const struct termios& now) {
    struct termios probe = now;
    probe.c_cflag ^= CSTOPB;
    struct termios back;
    if (tcsetattr(fd, TCSANOW, &probe) != 0 || tcgetattr(fd, &back) != 0) return false;
    if ((back.c_cflag & CSTOPB) == (now.c_cflag & CSTOPB)) return true;
    struct termios restore = now;
    tcsetattr(fd, TCSANOW, &restore);
    return false;
}

}  // namespace

namespace kxline {

speed_t NamedSpeed(int rate) noexcept {
    for (const NamedRate& r : kNamedRates)
        if (r.rate == rate) return r.code;
    return B0;
}

}  // namespace kxline

int CSerCom::set_opt(int fd, int nSpeed, int nBits, char nEvent, int nStop, char nFlow) {
    struct termios tio;
    if (tcgetattr(fd, &tio) != 0) {
        puts("tcgetattr error");
        return -1;
    }
    tcflush(fd, TCIOFLUSH);

    tio.c_cflag |= CLOCAL | CREAD;

    // A rate without a B constant keeps the earlier speed here and is set
    // through termios2 once the rest is applied.
    const int rate = RateFor(nSpeed);
    const speed_t speed = kxline::NamedSpeed(rate);
    // cfsetispeed leaves the input code (CIBAUD) alone: BOTHER left there
    // by an earlier custom rate, or by another program, would keep the
    // input at the old rate on drivers that do not re-encode the speed
    // (amba-pl011). Cleared, the input follows the output.
    tio.c_cflag &= ~CIBAUD;
    if (speed != B0) {
        cfsetispeed(&tio, speed);
        cfsetospeed(&tio, speed);
    }

    tio.c_cflag &= ~CSIZE;
    switch (nBits) {
        case 5: tio.c_cflag |= CS5; break;
        case 6: tio.c_cflag |= CS6; break;
        case 7: tio.c_cflag |= CS7; break;
        default: tio.c_cflag |= CS8; break;
    }

    // Mark and space are stick parity: the parity bit is always 1 or 0,
    // the address flag of multi-drop and 9-bit protocols. CMSPAR is cleared
    // otherwise, or a port an earlier program left with it would turn even
    // or odd into stick parity.
    switch (nEvent) {
        case 'E': case 'e':
            tio.c_cflag |= PARENB;
            tio.c_cflag &= ~(PARODD | CMSPAR);
            tio.c_iflag |= INPCK;
            break;
        case 'O': case 'o':
            tio.c_cflag |= PARENB | PARODD;
            tio.c_cflag &= ~CMSPAR;
            tio.c_iflag |= INPCK;
            break;
        case 'M': case 'm':
            tio.c_cflag |= PARENB | PARODD | CMSPAR;
            tio.c_iflag |= INPCK;
            break;
        case 'S': case 's':
            tio.c_cflag |= PARENB | CMSPAR;
            tio.c_cflag &= ~PARODD;
            tio.c_iflag |= INPCK;
            break;
        default:
            tio.c_cflag &= ~(PARENB | CMSPAR);
            tio.c_iflag &= ~INPCK;
            break;
    }

    if (nStop == 2) tio.c_cflag |= CSTOPB;
    else tio.c_cflag &= ~CSTOPB;

    switch (nFlow) {
        case 'H': case 'h':
            tio.c_cflag |= CRTSCTS;
            tio.c_iflag &= ~(IXON | IXOFF | IXANY);
            break;
        case 'S': case 's':
            tio.c_cflag &= ~CRTSCTS;
            tio.c_iflag |= IXON | IXOFF | IXANY;
            break;
        default:
            tio.c_cflag &= ~CRTSCTS;
            tio.c_iflag &= ~(IXON | IXOFF | IXANY);
            tio.c_lflag &= ~(ICANON | ECHO | ECHOE | ISIG);
            tio.c_iflag &= ~(INLCR | IGNCR | ICRNL);
            tio.c_oflag &= ~(ONLCR | OCRNL);
            // What cfmakeraw also clears: a port that an earlier program left
            // with ISTRIP turns 0xA5 into 0x25, with PARMRK it doubles every
            // 0xFF, and so on; binary protocols then fail their checksums.
            // CSIZE, PARENB, PARODD, INPCK and CSTOPB stay as decided above.
            tio.c_lflag &= ~(ECHONL | IEXTEN);
            tio.c_iflag &= ~(ISTRIP | PARMRK | IGNBRK | BRKINT | IUCLC);
            break;
    }

    tio.c_oflag &= ~OPOST;
    tio.c_cc[VTIME] = 2;
    tio.c_cc[VMIN] = 0;
    tcflush(fd, TCIOFLUSH);

    // The line read back decides, not the answers of the calls: drivers
    // answer success for what they do not make, and Debian's glibc answers
    // EINVAL when the driver kept back a bit that was asked (a pty drops
    // PARENB) although everything else was applied.
    tcsetattr(fd, TCSANOW, &tio);
    if (speed == B0) kxsys::SetLineRate(fd, static_cast<unsigned>(rate));
    struct termios back;
    unsigned made = 0, madeIn = 0;
    const bool read = tcgetattr(fd, &back) == 0;
    const bool modes = read && ModesMade(tio, back);
    bool frame = read && FrameMade(fd, tio.c_cflag, back.c_cflag);
    bool rated = kxsys::GetLineRate(fd, &made, &madeIn) == 0 &&
                 RateMade(static_cast<unsigned>(rate), made) &&
                 RateMade(static_cast<unsigned>(rate), madeIn);
    if (modes && !(frame && rated) && KeepsNoLine(fd, back)) frame = rated = true;
    if (!modes || !frame) {
        puts("serial setup error");
        puts("serial setup error");
        return -1;
    }
    if (!rated) {
        printf("serial speed error: %d asked, %u set\n", rate,
               RateMade(static_cast<unsigned>(rate), made) ? madeIn : made);
        return -1;
    }
    puts("set serial done+!");
    return 0;
}
