// The serial line's configuration: termios through glibc, rates without a B
// constant through termios2 (SysLineRate.cpp), and the read-back that tells
// what the driver really made of the request.
#include "SerLine.h"

#include <linux/serial.h>
#include <strings.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "LogText.h"
#include "SerCom.h"
#include "SysCall.h"

namespace {

struct NamedRate {
    int rate;
    speed_t code;
};

const NamedRate kNamedRates[] = {
#define KX_RATE(rate, code) {rate, code},
#include "LineRates.h"
#undef KX_RATE
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
using kxline::IsPseudoTerminal;

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

// What Configure changes on the tty, taken before each change and put back
// in the reverse order when Open fails after it, so the next program (a
// console, a getty, another tool) finds the line as it was: not in RS-485
// mode, with its modem lines, flow control and serial flags as they were.
// What a successful Open leaves is the host's to keep.
class LineRestore {
public:
    LineRestore(int fd, const struct termios& found) noexcept : m_fd(fd), m_found(found) {
        m_rated = kxsys::GetLineRate(fd, &m_rate, &m_inRate) == 0;
    }
    ~LineRestore() {
        if (!m_kept) Restore();
    }
    LineRestore(const LineRestore&) = delete;
    LineRestore& operator=(const LineRestore&) = delete;

    const struct termios& Found() const { return m_found; }
    // The output rate as found; false where it could not be read.
    bool FoundRate(unsigned* rate) const {
        *rate = m_rate;
        return m_rated;
    }
    void Rs485(const struct serial_rs485& was) {
        m_rs485 = was;
        m_hasRs485 = true;
    }
    // The modem lines of `mask` (TIOCM_DTR, TIOCM_RTS) as `lines` had them.
    void ModemLines(int lines, int mask) {
        m_modem = lines;
        m_modemMask |= mask;
    }
    void Serial(const struct serial_struct& was) {
        m_serial = was;
        m_hasSerial = true;
    }
    void Keep() { m_kept = true; }

private:
    void Restore() noexcept {
        const int err = errno;
        if (m_hasSerial) ioctl(m_fd, TIOCSSERIAL, &m_serial);
        if (m_modemMask != 0) kxline::SetModemLines(m_fd, m_modem & m_modemMask, ~m_modem & m_modemMask);
        if (m_hasRs485) ioctl(m_fd, TIOCSRS485, &m_rs485);
        tcsetattr(m_fd, TCSANOW, &m_found);
        // A rate without a B constant comes back through termios2 only.
        unsigned rate = 0, inRate = 0;
        if (m_rated && kxsys::GetLineRate(m_fd, &rate, &inRate) == 0 && (rate != m_rate || inRate != m_inRate))
            kxsys::SetLineRate(m_fd, m_rate, m_inRate);
        errno = err;
    }

    int m_fd;
    struct termios m_found;
    bool m_rated = false;
    unsigned m_rate = 0, m_inRate = 0;
    bool m_hasRs485 = false;
    struct serial_rs485 m_rs485 = {};
    int m_modem = 0, m_modemMask = 0;
    bool m_hasSerial = false;
    struct serial_struct m_serial = {};
    bool m_kept = false;
};

// The character format's bits, each compared on its own.
const tcflag_t kFrameFields[] = {CSIZE, PARENB, PARODD, CMSPAR, CSTOPB};

// Whether the driver took any part of the request that differs from what it
// found: then a mismatch is a refusal, whatever the rest looks like (a
// driver that kept its speed and takes one stop bit only).
bool TookAny(const LineRestore& saved, const struct termios& asked, unsigned rate,
             const struct termios& back, unsigned made) {
    const struct termios& found = saved.Found();
    unsigned foundRate = 0;
    if (saved.FoundRate(&foundRate) && !RateMade(rate, foundRate) && RateMade(rate, made)) return true;
    for (tcflag_t field : kFrameFields)
        if ((asked.c_cflag & field) != (found.c_cflag & field) && (back.c_cflag & field) == (asked.c_cflag & field))
            return true;
    return false;
}

// Some ttys have no line to set: the USB gadget's ttyGS, usb-serial ports
// whose driver has no set_termios (the AT-command ports of cellular
// modems). The tty layer hands back the earlier speed and format whatever
// is asked. Any driver with a line takes parity on or off or another
// character size (a pty takes the stop bits), so a change of all three
// that none of them survives tells such a tty apart; whatever it changed
// is put back by the caller.
bool KeepsNoLine(int fd, const struct termios& now) {
    struct termios probe = now;
    probe.c_cflag ^= PARENB | CSTOPB;
    probe.c_cflag = (probe.c_cflag & ~CSIZE) | ((now.c_cflag & CSIZE) == CS8 ? CS7 : CS8);
    struct termios back;
    if (tcsetattr(fd, TCSANOW, &probe) != 0 && errno != EINVAL) return false;
    if (tcgetattr(fd, &back) != 0) return false;
    const tcflag_t probed = PARENB | CSTOPB | CSIZE;
    if ((back.c_cflag & probed) == (now.c_cflag & probed)) return true;
    struct termios restore = now;
    tcsetattr(fd, TCSANOW, &restore);
    return false;
}

// The settings' tokens as the refusal line names them.
const char* FlowText(int flow) {
    return flow == kxline::FLOW_RTSCTS ? "rtscts" : flow == kxline::FLOW_XONXOFF ? "xonxoff" : "none";
}
const char* Rs485Text(int mode) {
    return mode == kxline::RS485_ON ? "on" : mode == kxline::RS485_INVERTED ? "inverted" : "off";
}

// A failure's log line, kept as its reason too.
__attribute__((format(printf, 3, 4))) bool Fail(kxline::Failure* why, int code, const char* format, ...) {
    char text[sizeof why->text];
    va_list args;
    va_start(args, format);
    vsnprintf(text, sizeof text, format, args);
    va_end(args);
    kxlog::Puts(text);
    if (why != nullptr) {
        why->code = code;
        memcpy(why->text, text, sizeof text);
    }
    return false;
}

bool Refused(kxline::Failure* why, const char* name, const char* value) {
    return Fail(why, kxline::kSettingRefused, "serial setting refused: %s=%s", name, value);
}

bool Refused(kxline::Failure* why, const char* name, int value) {
    return Fail(why, kxline::kSettingRefused, "serial setting refused: %s=%d", name, value);
}

// Flow control and HUPCL travel in the line's own request; a driver without
// hardware flow control drops CRTSCTS, and a tty without a line keeps every
// control flag but HUPCL, CREAD and CLOCAL as it was.
bool TermiosSettingsMade(const kxline::Control& c, const struct termios& back, kxline::Failure* why) {
    if (c.flow >= 0 && ((back.c_cflag & CRTSCTS) != 0) != (c.flow == kxline::FLOW_RTSCTS))
        return Refused(why, "flow", FlowText(c.flow));
    if (c.hupcl >= 0 && ((back.c_cflag & HUPCL) != 0) != (c.hupcl == 1)) return Refused(why, "hupcl", c.hupcl);
    return true;
}

// RS-485 (RTS drives the transceiver's driver enable): only the enable bit,
// the RTS polarity and the delays named change; flags set from the device
// tree (termination, receiving while sending) stay as the driver has them.
bool Rs485Made(int fd, const kxline::Control& c, LineRestore* saved, kxline::Failure* why) {
    if (c.rs485 < 0) return true;
    const char* mode = Rs485Text(c.rs485);
    struct serial_rs485 now;
    memset(&now, 0, sizeof now);
    if (ioctl(fd, TIOCGRS485, &now) != 0)
        return c.rs485 == kxline::RS485_OFF && errno == ENOTTY ? true : Refused(why, "rs485", mode);
    if (c.rs485 == kxline::RS485_OFF && (now.flags & SER_RS485_ENABLED) == 0) return true;
    struct serial_rs485 asked = now;
    const __u32 polarity = SER_RS485_RTS_ON_SEND | SER_RS485_RTS_AFTER_SEND;
    if (c.rs485 == kxline::RS485_OFF) {
        asked.flags &= ~static_cast<__u32>(SER_RS485_ENABLED);
    } else {
        asked.flags &= ~polarity;
        asked.flags |= SER_RS485_ENABLED |
                       (c.rs485 == kxline::RS485_ON ? SER_RS485_RTS_ON_SEND : SER_RS485_RTS_AFTER_SEND);
        if (c.rtsBefore >= 0) asked.delay_rts_before_send = static_cast<__u32>(c.rtsBefore);
        if (c.rtsAfter >= 0) asked.delay_rts_after_send = static_cast<__u32>(c.rtsAfter);
    }
    struct serial_rs485 back = asked;
    saved->Rs485(now);
    if (ioctl(fd, TIOCSRS485, &back) != 0) return Refused(why, "rs485", mode);
    memset(&back, 0, sizeof back);
    if (ioctl(fd, TIOCGRS485, &back) != 0) return Refused(why, "rs485", mode);
    const __u32 mask = SER_RS485_ENABLED | (c.rs485 == kxline::RS485_OFF ? 0u : polarity);
    if ((back.flags & mask) != (asked.flags & mask)) return Refused(why, "rs485", mode);
    if (c.rs485 == kxline::RS485_OFF) return true;
    if (c.rtsBefore >= 0 && back.delay_rts_before_send != asked.delay_rts_before_send)
        return Refused(why, "rtsbefore", c.rtsBefore);
    if (c.rtsAfter >= 0 && back.delay_rts_after_send != asked.delay_rts_after_send)
        return Refused(why, "rtsafter", c.rtsAfter);
    return true;
}

// DTR and RTS right after the open (which raised both in the tty layer).
bool ModemLinesMade(int fd, const kxline::Control& c, LineRestore* saved, kxline::Failure* why) {
    if (c.dtr < 0 && c.rts < 0) return true;
    int raise = 0, lower = 0;
    if (c.dtr >= 0) (c.dtr ? raise : lower) |= TIOCM_DTR;
    if (c.rts >= 0) (c.rts ? raise : lower) |= TIOCM_RTS;
    // Lines that cannot be read cannot be put back either: left alone.
    int found = 0;
    if (ioctl(fd, TIOCMGET, &found) != 0) return Refused(why, c.dtr >= 0 ? "dtr" : "rts", c.dtr >= 0 ? c.dtr : c.rts);
    saved->ModemLines(found, raise | lower);
    const bool asked = kxline::SetModemLines(fd, raise, lower);
    int lines = 0;
    const bool read = asked && ioctl(fd, TIOCMGET, &lines) == 0;
    if (c.dtr >= 0 && (!read || ((lines & TIOCM_DTR) != 0) != (c.dtr == 1))) return Refused(why, "dtr", c.dtr);
    if (c.rts >= 0 && (!read || ((lines & TIOCM_RTS) != 0) != (c.rts == 1))) return Refused(why, "rts", c.rts);
    return true;
}

// Every driver keeps the flag; only some act on it (ftdi_sio then sets its
// latency timer to 1 ms instead of 16).
bool LowLatencyMade(int fd, const kxline::Control& c, LineRestore* saved, kxline::Failure* why) {
    if (c.lowLatency < 0) return true;
    const bool on = c.lowLatency == 1;
    struct serial_struct ss;
    memset(&ss, 0, sizeof ss);
    if (ioctl(fd, TIOCGSERIAL, &ss) != 0) return !on && errno == ENOTTY ? true : Refused(why, "lowlat", c.lowLatency);
    if (((ss.flags & ASYNC_LOW_LATENCY) != 0) == on) return true;
    saved->Serial(ss);
    if (on) ss.flags |= ASYNC_LOW_LATENCY;
    else ss.flags &= ~ASYNC_LOW_LATENCY;
    if (ioctl(fd, TIOCSSERIAL, &ss) != 0) return Refused(why, "lowlat", c.lowLatency);
    memset(&ss, 0, sizeof ss);
    if (ioctl(fd, TIOCGSERIAL, &ss) != 0 || ((ss.flags & ASYNC_LOW_LATENCY) != 0) != on)
        return Refused(why, "lowlat", c.lowLatency);
    return true;
}

// Settings' values: a whole decimal number in range, or one of the names.
bool Number(const char* text, int low, int high, int* value) {
    if (*text == '\0') return false;
    long n = 0;
    for (const char* p = text; *p != '\0'; ++p) {
        if (*p < '0' || *p > '9') return false;
        n = n * 10 + (*p - '0');
        if (n > high) return false;
    }
    if (n < low) return false;
    *value = static_cast<int>(n);
    return true;
}

bool Named(const char* text, const char* const* names, int count, int* value) {
    for (int i = 0; i < count; ++i) {
        if (strcasecmp(text, names[i]) == 0) {
            *value = i;
            return true;
        }
    }
    return false;
}

const char* const kFlowNames[] = {"none", "rtscts", "xonxoff"};
const char* const kRs485Names[] = {"off", "on", "inverted"};
const char* const kEchoNames[] = {"off", "drop"};

}  // namespace

namespace kxline {

speed_t NamedSpeed(int rate) noexcept {
    for (const NamedRate& r : kNamedRates)
        if (r.rate == rate) return r.code;
    return B0;
}


// A setting token holds at most 15 characters, as every token does; a
// longer one is refused rather than cut (gap=000000000100 must not become
// 10 ms).
const size_t kTokenMax = 15;

void TokenError(const char* token, size_t len, char* error) noexcept {
    const size_t n = len < kErrorSize - 1 ? len : kErrorSize - 1;
    memcpy(error, token, n);
    error[n] = '\0';
}

bool ParseSetting(const char* token, size_t len, Control* next, char* error) noexcept {
    const char* eq = static_cast<const char*>(memchr(token, '=', len));
    char name[kTokenMax + 1], value[kTokenMax + 1];
    if (eq == nullptr || len > kTokenMax) {
        TokenError(token, len, error);
        return false;
    }
    const size_t nameLen = static_cast<size_t>(eq - token);
    memcpy(name, token, nameLen);
    name[nameLen] = '\0';
    memcpy(value, eq + 1, len - nameLen - 1);
    value[len - nameLen - 1] = '\0';
    Control c = *next;
    bool ok;
    if (strcasecmp(name, "flow") == 0) ok = Named(value, kFlowNames, 3, &c.flow);
    else if (strcasecmp(name, "rs485") == 0) ok = Named(value, kRs485Names, 3, &c.rs485);
    else if (strcasecmp(name, "rtsbefore") == 0) ok = Number(value, 0, 100, &c.rtsBefore);
    else if (strcasecmp(name, "rtsafter") == 0) ok = Number(value, 0, 100, &c.rtsAfter);
    else if (strcasecmp(name, "dtr") == 0) ok = Number(value, 0, 1, &c.dtr);
    else if (strcasecmp(name, "rts") == 0) ok = Number(value, 0, 1, &c.rts);
    else if (strcasecmp(name, "hupcl") == 0) ok = Number(value, 0, 1, &c.hupcl);
    else if (strcasecmp(name, "lowlat") == 0) ok = Number(value, 0, 1, &c.lowLatency);
    else if (strcasecmp(name, "gap") == 0) ok = Number(value, 0, 10000, &c.gapMs);
    else if (strcasecmp(name, "echo") == 0) ok = Named(value, kEchoNames, 2, &c.echo);
    else ok = false;
    if (!ok) {
        TokenError(token, len, error);
        return false;
    }
    *next = c;
    return true;
}

// RTS cannot be set by hand while the driver drives it (hardware flow
// control, RS-485), and the PL011 driver drops CRTSCTS in RS-485 mode. A
// text that hands RTS to the driver drops an rts= of an earlier text; one
// that names rts= while an earlier text's flow=rtscts or rs485 is in force
// clashes with it (flow=none or rs485=off in the same text undoes that).
bool CheckSettings(Control* merged, const Control& named, char* error) noexcept {
    Control& next = *merged;
    const bool rs485 = next.rs485 == RS485_ON || next.rs485 == RS485_INVERTED;
    if ((named.flow == FLOW_RTSCTS || named.rs485 == RS485_ON || named.rs485 == RS485_INVERTED) &&
        named.rts < 0)
        next.rts = -1;
    const char* clash = nullptr;
    if (next.rts >= 0 && next.flow == FLOW_RTSCTS) clash = "rts= with flow=rtscts";
    else if (next.rts >= 0 && rs485) clash = "rts= with rs485";
    else if (next.flow == FLOW_RTSCTS && rs485) clash = "flow=rtscts with rs485";
    else if ((named.rtsBefore >= 0 || named.rtsAfter >= 0) && !rs485) clash = "rtsbefore/rtsafter without rs485";
    if (clash == nullptr) return true;
    TokenError(clash, strlen(clash), error);
    return false;
}
}  // namespace kxline

int CSerCom::set_opt(int fd, int nSpeed, int nBits, char nEvent, int nStop, char nFlow) {
    return kxline::Configure(fd, nSpeed, nBits, nEvent, nStop, nFlow, kxline::Control()) < 0 ? -1 : 0;
}

namespace kxline {

int Configure(int fd, int nSpeed, int nBits, char nEvent, int nStop, char nFlow,
              const Control& control, Failure* why) noexcept {
    struct termios tio;
    if (tcgetattr(fd, &tio) != 0) {
        const int err = errno;
        kxlog::Puts("tcgetattr error");
        if (why != nullptr) {
            why->code = err;
            snprintf(why->text, sizeof why->text, "tcgetattr error: %s", strerror(err));
        }
        return -1;
    }
    LineRestore saved(fd, tio);
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
    // Flow control from the settings keeps the line raw (set_opt's own 'H'
    // and 'S' leave it cooked, and 'S' resumes output on any byte).
    if (control.flow == FLOW_RTSCTS) tio.c_cflag |= CRTSCTS;
    if (control.flow == FLOW_XONXOFF) tio.c_iflag |= IXON | IXOFF;
    if (control.hupcl == 1) tio.c_cflag |= HUPCL;
    if (control.hupcl == 0) tio.c_cflag &= ~HUPCL;
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
    if (modes && !(frame && rated) && !TookAny(saved, tio, static_cast<unsigned>(rate), back, made) &&
        KeepsNoLine(fd, back))
        frame = rated = true;
    if (!modes || !frame) {
        kxlog::Puts("serial setup error");
        Fail(why, kSettingRefused, "serial setup error");
        return -1;
    }
    if (!rated) {
        Fail(why, kSettingRefused, "serial speed error: %d asked, %u set", rate,
             RateMade(static_cast<unsigned>(rate), made) ? madeIn : made);
        return -1;
    }
    if (!TermiosSettingsMade(control, back, why) || !Rs485Made(fd, control, &saved, why) ||
        !ModemLinesMade(fd, control, &saved, why) || !LowLatencyMade(fd, control, &saved, why))
        return kSettingRefused;
    saved.Keep();
    kxlog::Puts("set serial done+!");
    return 0;
}

}  // namespace kxline

namespace kxline {

bool IsPseudoTerminal(int fd) noexcept {
    struct stat st;
    return fstat(fd, &st) == 0 && S_ISCHR(st.st_mode) && major(st.st_rdev) >= 136 &&
           major(st.st_rdev) <= 143;
}

long long LineTimeUs(int fd, long long bytes) noexcept {
    struct termios t;
    unsigned rate = 0;
    // Unknown: as slow as a line that still counts (300 bit/s).
    const bool known = tcgetattr(fd, &t) == 0 && kxsys::GetLineRate(fd, &rate) == 0 && rate > 0;
    if (!known) return bytes * 1000000LL * 12 / 300 + 1;
    const tcflag_t size = t.c_cflag & CSIZE;
    int bits = 1 + (size == CS5 ? 5 : size == CS6 ? 6 : size == CS7 ? 7 : 8);
    bits += ((t.c_cflag & PARENB) ? 1 : 0) + ((t.c_cflag & CSTOPB) ? 2 : 1);
    return bytes * 1000000LL * bits / rate + 1;
}

bool SetModemLines(int fd, int raise, int lower) noexcept {
    return (raise == 0 || ioctl(fd, TIOCMBIS, &raise) == 0) && (lower == 0 || ioctl(fd, TIOCMBIC, &lower) == 0);
}

bool WaitSent(int fd, long long timeoutUs) noexcept {
    const long long deadline = kxsys::MonotonicUs() + (timeoutUs > 0 ? timeoutUs : 0);
    const long long chars16 = LineTimeUs(fd, 16);
    const long long pauseUs = chars16 < 1000 ? 1000 : chars16 > 20000 ? 20000 : chars16;
    const long long fifoUs = chars16 * 32 + 10000;
    // Once the tty's queue is empty, the transmitter holds at most a FIFO
    // (a few hundred bytes on USB adapters). Its empty bit is a driver's
    // report that may never come (QEMU's FT232 never sets it): past the
    // time that FIFO takes, the output has left.
    long long fifoUntil = -1;
    for (;;) {
        int queued = 0;
        if (ioctl(fd, TIOCOUTQ, &queued) != 0) return false;
        const long long now = kxsys::MonotonicUs();
        if (queued == 0) {
            if (fifoUntil < 0) fifoUntil = now + fifoUs;
            unsigned lsr = 0;
            if (ioctl(fd, TIOCSERGETLSR, &lsr) != 0 || (lsr & TIOCSER_TEMT) != 0 || now >= fifoUntil) return true;
        } else {
            fifoUntil = -1;
        }
        const long long left = deadline - now;
        if (left <= 0) {
            errno = ETIMEDOUT;
            return false;
        }
        usleep(static_cast<useconds_t>(left < pauseUs ? left : pauseUs));
    }
}

void EchoFilter::Expect(const unsigned char* data, int len) noexcept {
    // Unread bytes of a mismatch hold the buffer: this echo goes unfiltered.
    if (m_nPending > 0 || len <= 0) return;
    if (m_nLen + len > kMax) {
        m_nLen = m_nMatched = 0;
        return;
    }
    memcpy(m_echo + m_nLen, data, static_cast<size_t>(len));
    m_nLen += len;
}

int EchoFilter::ReadLimit(int room) const noexcept {
    if (m_nLen == 0) return room;
    return room > m_nMatched ? room - m_nMatched : 1;
}

int EchoFilter::Filter(unsigned char* buf, int got, int room, int* mismatchAt) noexcept {
    *mismatchAt = -1;
    if (m_nLen == 0) return got;
    const int held = m_nMatched;  // matched by earlier reads: not in buf
    for (int i = 0; i < got; ++i) {
        if (buf[i] == m_echo[m_nMatched]) {
            if (++m_nMatched < m_nLen) continue;
            // The whole echo is back: what follows it is data.
            m_nLen = m_nMatched = 0;
            memmove(buf, buf + i + 1, static_cast<size_t>(got - i - 1));
            return got - i - 1;
        }
        // Not the echo after all: the held bytes, then all of buf.
        *mismatchAt = m_nMatched;
        m_nLen = m_nMatched = 0;
        if (held + got <= room) {
            memmove(buf + held, buf, static_cast<size_t>(got));
            memcpy(buf, m_echo, static_cast<size_t>(held));
            return held + got;
        }
        // Only after a read of one byte (ReadLimit): it joins the held ones.
        m_echo[held] = buf[0];
        m_nPending = held + 1;
        m_nDelivered = 0;
        return Deliver(buf, room);
    }
    return 0;
}

int EchoFilter::Deliver(unsigned char* buf, int room) noexcept {
    const int n = Pending() < room ? Pending() : room;
    memcpy(buf, m_echo + m_nDelivered, static_cast<size_t>(n));
    m_nDelivered += n;
    if (m_nDelivered == m_nPending) m_nPending = m_nDelivered = 0;
    return n;
}

void DeliverOutput(int fd) noexcept {
    int queued = 0;
    if (ioctl(fd, TIOCOUTQ, &queued) != 0 || queued <= 0) return;
    const long long charUs = LineTimeUs(fd, 1);
    const long long marginUs = 1000000;
    const long long start = kxsys::MonotonicUs();
    const long long deadline = start + queued * charUs + marginUs;
    // A pause of about 16 characters between looks, within 1 to 20 ms.
    const long long pauseUs = charUs * 16 < 1000 ? 1000 : charUs * 16 > 20000 ? 20000 : charUs * 16;
    long long progress = start;
    for (int last = queued; queued > 0;) {
        const long long now = kxsys::MonotonicUs();
        if (now >= deadline || now - progress >= marginUs) break;
        usleep(static_cast<useconds_t>(pauseUs));
        if (ioctl(fd, TIOCOUTQ, &queued) != 0) break;
        if (queued < last) {
            last = queued;
            progress = kxsys::MonotonicUs();
        }
    }
    if (queued > 0) tcflush(fd, TCOFLUSH);
}

}  // namespace kxline
