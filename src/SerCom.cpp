#include "SerCom.h"

#include <stdint.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>

#include <linux/serial.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <time.h>

#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <strings.h>
#include <string>

#include "Decimal.h"
#include "LogText.h"
#include "SysCall.h"

// ---------------------------------------------------------------------------
// Traffic hex dump

namespace {

// Two digits per byte value, so a byte costs one lookup.
struct HexPairs {
    char pair[256][2];
    constexpr HexPairs() : pair() {
        for (int i = 0; i < 256; ++i) {
            pair[i][0] = "0123456789ABCDEF"[i >> 4];
            pair[i][1] = "0123456789ABCDEF"[i & 0x0f];
        }
    }
};
constexpr HexPairs kHexPairs;

const char kTooLong[] = "msg.len > 1024";

// Hosts link against an out-of-line _TOHEX as well; taking its address makes
// the library carry (and export) one.
__attribute__((used)) char (*const kExportedToHex)(unsigned char) = &_TOHEX;
const int kDumpLimit = 1024;

}  // namespace

int BufToHexStr(const unsigned char* data, int len, char* buf, int cap, int blanks) {
    if (data == nullptr || buf == nullptr) return -1;
    if (blanks < 0 || cap < 1) return -1;
    // Wide arithmetic: a huge length must be refused, not wrap into a small one.
    const long long group = static_cast<long long>(blanks) + 2;
    const long long need = len > 0 ? static_cast<long long>(len) * group : 0;
    if (static_cast<long long>(cap) < need + 1) return -1;

    char* p = buf;
    if (blanks == 1) {
        for (int i = 0; i < len; ++i) {
            const char* hex = kHexPairs.pair[data[i]];
            p[0] = hex[0];
            p[1] = hex[1];
            p[2] = ' ';
            p += 3;
        }
    } else {
        for (int i = 0; i < len; ++i) {
            const char* hex = kHexPairs.pair[data[i]];
            p[0] = hex[0];
            p[1] = hex[1];
            memset(p + 2, ' ', static_cast<size_t>(blanks));
            p += group;
        }
    }
    *p = '\0';
    return static_cast<int>(p - buf);
}

char* BufToHexStr(const unsigned char* data, int len, int blanks) {
    // One buffer per thread: each dump line carries its own block whole even
    // when several host threads transfer at once. Never more than 1023
    // characters are written, so the last two stay NUL.
    static thread_local char pstr[kDumpLimit + 1];
    const long long need = static_cast<long long>(len) * (static_cast<long long>(blanks) + 2) + 1;
    if (need >= kDumpLimit) {
        memcpy(pstr, kTooLong, sizeof kTooLong);
    } else {
        // A length of 0 or less still needs room for the terminator.
        BufToHexStr(data, len, pstr, need < 1 ? 1 : static_cast<int>(need), blanks);
    }
    return pstr;
}

// ---------------------------------------------------------------------------
// Definition strings

namespace {

const int kNameSize = 16;  // port name and token buffers: 15 characters and NUL

// Copies text[start, end) into a 16-character buffer, cut to 15 characters.
void CopyBounded(char (&dst)[kNameSize], const char* text, size_t start, size_t end) {
    size_t n = end > start ? end - start : 0;
    if (n > kNameSize - 1) n = kNameSize - 1;
    memcpy(dst, text + start, n);
    dst[n] = '\0';
}

bool IsDigit(char c) { return c >= '0' && c <= '9'; }
bool IsSeparator(char c) { return c == ':' || c == ','; }

struct KindPrefix {
    const char* prefix;
    int kind;
};
const KindPrefix kKindPrefixes[] = {
    {"ESL", KIND_SERIAL_GROUP1},    {"ttyXRUSB", KIND_SERIAL_GROUP1},
    {"ttyEXA", KIND_SERIAL_GROUP1}, {"ttySBC", KIND_SERIAL_GROUP1},
    {"ttyUSB", KIND_SERIAL_GROUP2}, {"ttyFT", KIND_SERIAL_GROUP2},
    {"ttyEC", KIND_SERIAL_GROUP2},  {"ttyACM", KIND_SERIAL_GROUP2},
};

char ParityLetter(int parity) {
    switch (parity) {
        case 1: return 'O';
        case 2: return 'e';
        case 3: return 'm';
        case 4: return 's';
        default: return 'n';
    }
}

int ParityCode(char letter) {
    switch (letter) {
        case 'O': case 'o': return 1;
        case 'E': case 'e': return 2;
        case 'M': case 'm': return 3;
        case 'S': case 's': return 4;
        default: return 0;
    }
}

const char* StopText(int code) {
    switch (code) {
        case 1: return "1.5";
        case 2: return "2";
        default: return "1";
    }
}

unsigned AddressOf(const void* p) {
    return static_cast<unsigned>(reinterpret_cast<uintptr_t>(p));
}

}  // namespace

CSerCom::CSerCom(int index) : CSerBase(index) {
    InitCom();
}

CSerCom::CSerCom(const char* def) : CSerBase(def) {
    InitCom();
    UpdParams(def);
}

// An open device stays open: hosts may still hold the descriptor.
CSerCom::~CSerCom() {}

void CSerCom::InitCom() {
    strcpy(m_szPortName, "COM");
    m_nKind = KIND_SERIAL;
    m_nBaud = 9600;
    m_nParity = 0;
    m_nDataBits = 8;
    m_nStopCode = 1;
    m_nHandle = -1;
    m_bWait = false;
    m_bOwnExclusive = false;
    m_bFlowControl = false;
    m_line = kxline::Control();
    m_szSettingError[0] = '\0';
    m_lineOpened = kxline::Control();
    UpdNote();
    kxlog::Printf("CSerCom InitCom: %x  %d\r\n", AddressOf(this), m_nIndex);
}

void CSerCom::UpdParams(const char* def) {
    if (def == nullptr || def[0] == '\0') return;
    m_nKind = KIND_SERIAL;
    const size_t len = strlen(def);
    int field = 0;
    size_t start = 0;
    char token[kNameSize];
    // Line-control settings: all of the text's or none of them.
    kxline::Control merged = m_line, named;
    char error[kxline::kErrorSize] = "";
    for (size_t p = 0; p < len; ++p) {
        const char c = def[p];
        if (field == 0 && IsDigit(c) && p + 1 < len && def[p + 1] == ':') {
            m_nKind = GetDefKind(def);
            CopyBounded(m_szPortName, def, 0, p);
            start = p;
            field = 1;
        }
        if (!IsSeparator(c) && p != len - 1) continue;
        // The last character always belongs to the last token, separator or not.
        const size_t end = p == len - 1 ? p + 1 : p;
        CopyBounded(token, def, start, end);
        // A name=value belongs after the stop bits; elsewhere it is taken
        // for the field's value as always, and the next Open says why not.
        if (error[0] == '\0' && field >= 1 && end > start && memchr(def + start, '=', end - start) != nullptr) {
            if (field <= 5) kxline::TokenError(def + start, end - start, error);
            else if (kxline::ParseSetting(def + start, end - start, &named, error))
                kxline::ParseSetting(def + start, end - start, &merged, error);
        }
        // Numbers saturate on every target (kxnum): an index or a speed past
        // the int range must not wrap into a small, plausible one.
        switch (field) {
            case 1: m_nIndex = kxnum::DecimalOrZero(token); break;
            case 2: kxnum::ParseDecimal(token, &m_nBaud); break;
            case 3: m_nParity = ParityCode(token[0]); break;
            case 4: kxnum::ParseDecimal(token, &m_nDataBits); break;
            case 5:
                if (strcmp(token, "1") == 0) m_nStopCode = 0;
                else if (strcmp(token, "1.5") == 0) m_nStopCode = 1;
                else if (strcmp(token, "2") == 0) m_nStopCode = 2;
                break;
            default: break;  // field 0 before the port split, and fields past the stop bits
        }
        ++field;
        start = p + 1;
    }
    if (error[0] == '\0') kxline::CheckSettings(&merged, named, error);
    if (error[0] == '\0') m_line = merged;
    memcpy(m_szSettingError, error, sizeof error);
    kxlog::Printf("CSerCom UpdParams: ComPort: %s%d, %d, %d\r\n", m_szPortName, m_nIndex, m_nParity,
           m_nStopCode);
    UpdNote();
}

void CSerCom::UpdNote() {
    char note[96];
    snprintf(note, sizeof note, "%s%d:%d,%c,%d,", m_szPortName, m_nIndex, m_nBaud,
             ParityLetter(m_nParity), m_nDataBits);
    m_strNote = note;
    m_strNote += StopText(m_nStopCode);
}

int CSerCom::GetDefKind(const char* text) {
    for (const KindPrefix& k : kKindPrefixes)
        if (strncasecmp(text, k.prefix, strlen(k.prefix)) == 0) return k.kind;
    return KIND_SERIAL;
}

int CSerCom::GetDefType(const char* def) {
    if (def == nullptr || def[0] == '\0') return 0;
    const size_t len = strlen(def);
    size_t p = 0;
    while (!IsSeparator(def[p]) && p != len - 1) ++p;
    if (def[p] == ':' && p >= 1 && IsDigit(def[p - 1])) return GetDefKind(def) + (def[p - 1] - '0');
    char token[kNameSize];
    CopyBounded(token, def, 0, p == len - 1 ? p + 1 : p);
    return kxnum::DecimalOrZero(token);
}

// ---------------------------------------------------------------------------
// Device I/O

namespace {

char ParityChar(int code) {
    switch (code) {
        case 1: return 'O';
        case 2: return 'E';
        case 3: return 'M';
        case 4: return 'S';
        default: return 'N';
    }
}

// A device that went away (an unplugged USB adapter, a pty whose master
// closed) fails reads and writes with one of these.
bool IsGoneError(int err) { return err == EIO || err == ENXIO || err == ENODEV; }

// A read of 0 is the 0.2 s gap on a live line, but comes at once on a
// hung-up one, where poll also reports POLLHUP. CLOCAL stays set, so a modem
// line drop is no hang-up.
bool IsHungUp(int fd) {
    short rev = 0;
    return kxsys::PollOne(fd, POLLIN, 0, &rev) > 0 && (rev & POLLHUP) != 0;
}

}  // namespace

int CSerCom::Open(const char* def) {
    UpdParams(def);
    char path[64];
    // Ports above 9 keep the Windows device form hosts have always used; it
    // reaches the system unchanged, as a relative name.
    snprintf(path, sizeof path, m_nIndex > 9 ? "\\\\.\\%s%d" : "/dev/%s%d", m_szPortName, m_nIndex);
    const char parity = ParityChar(m_nParity);
    kxlog::Printf("CSerCom::Open: %s,%d,%d,%c,%d\r\n", path, m_nBaud, m_nDataBits, parity, m_nStopCode);

    ReleaseHandle();  // reopening must neither leak nor stay locked by the earlier descriptor
    // A setting the text got wrong must not open the port as something else.
    if (m_szSettingError[0] != '\0') {
        kxlog::Printf("serial setting error: %s\n", m_szSettingError);
        kxlog::Printf("%s[%x] set_op error!\r\n", GetNote(), GetType());
        m_reason.Set(REASON_SETTING, "serial setting error: %s", m_szSettingError);
        return 0;
    }
    int fd = kxsys::Open(path, O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (fd < 0) {
        const int err = errno;
        kxlog::Printf("%s[%x] open error!\r\n", GetNote(), GetType());
        if (err == EBUSY) BusyReason(path, -1);
        else m_reason.System(err, path);
        return 0;
    }
    // The port is ours alone: a second host, a terminal left open on the
    // line or a modem manager probing it would read replies meant for us.
    // flock holds off every program that locks too, root or not.
    // Then back to blocking: VMIN/VTIME pace the reads. A descriptor left
    // non-blocking would read nothing at once and miss a reply on its way.
    const bool locked = flock(fd, LOCK_EX | LOCK_NB) == 0;
    if (!locked || fcntl(fd, F_SETFL, 0) != 0) {
        const int err = errno;
        if (!locked) BusyReason(path, fd);
        else m_reason.System(err, path);
        kxsys::ReleaseTty(fd, false);
        kxlog::Printf("%s[%x] open error!\r\n", GetNote(), GetType());
        return 0;
    }
    m_nHandle = fd;
    // TIOCEXCL refuses any later open by a program without CAP_SYS_ADMIN,
    // locking or not. A flag that is already set is another program's
    // (only root gets past it): it stays as it was when we let go.
    int flagged = 0;
    m_bOwnExclusive = !(ioctl(fd, TIOCGEXCL, &flagged) == 0 && flagged != 0) && ioctl(fd, TIOCEXCL) == 0;
    // set_opt with the line-control settings on top (none named: set_opt's own calls).
    kxline::Failure why;
    const int configured = kxline::Configure(fd, m_nBaud, m_nDataBits, parity, m_nStopCode, 'N', m_line, &why);
    if (configured < 0) {
        // A setting the driver refused would be refused at every later Open
        // that names none: the channel keeps what last opened instead.
        if (configured == kxline::kSettingRefused) m_line = m_lineOpened;
        ReleaseHandle();
        kxlog::Printf("%s[%x] set_op error!\r\n", GetNote(), GetType());
        m_reason.Set(why.code != kxline::kSettingRefused ? why.code : REASON_REFUSED, "%s", why.text);
        return 0;
    }
    m_lineOpened = m_line;
    m_bFlowControl = m_line.FlowControl();
    kxlog::Printf("%s[%x] open ok!\r\n", GetNote(), GetType());
    m_reason.Clear();
    return 1;
}

// Every way of letting go of the port (Close, a reopen, a failed Open, a
// line that hung up) leaves it as free as it was before our Open.
void CSerCom::ReleaseHandle() {
    if (m_nHandle == -1) return;
    // What Write accepted leaves first, unless a held line keeps it back.
    if (m_bFlowControl) kxline::DeliverOutput(m_nHandle);
    kxsys::ReleaseTty(m_nHandle, m_bOwnExclusive);
    m_nHandle = -1;
    m_bOwnExclusive = false;
    m_bFlowControl = false;
    ResetEcho();
}

int CSerCom::Close() {
    if (IsOpened()) ReleaseHandle();
    return 1;
}

int CSerCom::IsOpened() { return m_nHandle != -1 ? 1 : 0; }

int CSerCom::GetHandle() { return m_nHandle; }

int CSerCom::SetBaud(int baud) {
    m_nBaud = baud;
    return 1;
}

int CSerCom::Purge() {
    if (!IsOpened()) return 0;
    // The echo of what is discarded is not coming back, nor its held bytes.
    ResetEcho();
    return tcflush(m_nHandle, TCIOFLUSH) == 0 ? 1 : 0;
}

int CSerCom::Read(unsigned char* buf, int len, int timeout) {
    if (!IsOpened()) return m_reason.Refuse(EBADF, "the channel is not open");
    if (buf == nullptr || len < 1) return m_reason.Refuse(EINVAL, "Read: no buffer, or a length below 1");

    int total = 0;
    // A leading 0x00 is line noise on the devices this serves; the next read
    // overwrites it.
    ssize_t n = ReadLine(buf, 1);
    if (n > 0 && buf[0] != 0x00) total = 1;
    // A host breaks a Read with a signal: wherever it lands, the loop below
    // must not overwrite the first read's EINTR.
    const bool interrupted = n < 0 && errno == EINTR;

    // Wide so that a pass count that never reaches 0 cannot overflow.
    long long passes = timeout / 1000;
    bool hungUp = false;
    const int gapMs = m_line.gapMs;
    do {
        if (interrupted) break;
        if (passes != 0) {
            --passes;
            usleep(1000);
        }
        // A frame gap: once a byte has counted, the first gap of silence ends
        // the Read, whatever passes remain (the terminal's timer counts only
        // tenths of a second).
        if (gapMs > 0 && total > 0 && m_echo.Pending() == 0 &&
            kxsys::PollOne(m_nHandle, POLLIN, gapMs * 1000LL) == 0)
            break;
        n = ReadLine(buf + total, static_cast<size_t>(len - total));
        if (n > 0) total += static_cast<int>(n);
        hungUp = n == 0 ? IsHungUp(m_nHandle) : n < 0 && IsGoneError(errno);
    } while (!hungUp && total != len && (n != 0 || passes != 0) && n >= 0);
    // Bytes so far are a result; the reason says why the Read ended early.
    if (hungUp) m_reason.Set(EIO, "the line hung up (the device went away); the channel is closed");
    else if (n < 0) m_reason.System(errno, "Read");
    else m_reason.Clear();

    CLogText log;
    log.Dump("RECV: ", buf, total);
    log.Flush();
    // The device is gone: polling it again would only spin and flood the
    // log, and the dead descriptor would keep the node's name, so a replugged
    // adapter would come back as the next ttyUSB. Let go of it at once.
    if (hungUp) Close();
    return total;
}

int CSerCom::Write(const unsigned char* data, int len) {
    if (!IsOpened()) return m_reason.Refuse(EBADF, "the channel is not open");
    // A negative length would hand the system a huge count and send whatever
    // memory follows the caller's data.
    if (data == nullptr || len < 0) return m_reason.Refuse(EINVAL, "Write: no data, or a negative length");
    const ssize_t n = kxsys::Write(m_nHandle, data, static_cast<size_t>(len));
    const int err = errno;
    if (n < 0) m_reason.System(err, "Write");
    else m_reason.Clear();
    if (n > 0) ExpectEcho(data, static_cast<int>(n));
    if (n != 0) {
        CLogText log;
        log.Dump("SEND: ", data, static_cast<int>(n));
        log.Flush();
    }
    if (n < 0 && IsGoneError(err)) Close();
    return static_cast<int>(n);
}

ssize_t CSerCom::ReadLine(unsigned char* buf, size_t len) {
    const int room = len > static_cast<size_t>(INT_MAX) ? INT_MAX : static_cast<int>(len);
    for (;;) {
        if (!m_echo.Active()) return kxsys::Read(m_nHandle, buf, len);
        if (m_echo.Pending() > 0) return m_echo.Deliver(buf, room);
        const ssize_t got = kxsys::Read(m_nHandle, buf, static_cast<size_t>(m_echo.ReadLimit(room)));
        if (got <= 0) return got;
        int mismatch = -1;
        const int data = m_echo.Filter(buf, static_cast<int>(got), room, &mismatch);
        if (mismatch >= 0) kxlog::Printf("%s[%x] echo mismatch at byte %d\r\n", GetNote(), GetType(), mismatch);
        // All of it was echo: read on, as the line's own timer paces it.
        if (data > 0) return data;
    }
}

void CSerCom::ExpectEcho(const unsigned char* data, int len) {
    if (m_lineOpened.echo == 1) m_echo.Expect(data, len);
}

namespace {

// The program holding the flock of the tty `st` names, from /proc/locks
// ("1: FLOCK  ADVISORY  WRITE 812 00:05:1234 0 EOF"), as "pid 812 picocom";
// "" when none is listed (TIOCEXCL alone, or a program that does not lock).
std::string LockHolder(const struct stat& st) {
    FILE* locks = fopen("/proc/locks", "re");
    if (locks == nullptr) return "";
    char line[256];
    std::string holder;
    while (holder.empty() && fgets(line, sizeof line, locks) != nullptr) {
        char kind[16];
        unsigned long pid = 0, major = 0, minor = 0, inode = 0;
        if (strstr(line, "->") != nullptr) continue;  // a waiter, not the holder
        if (sscanf(line, "%*d: %15s %*s %*s %lu %lx:%lx:%lu", kind, &pid, &major, &minor, &inode) != 5) continue;
        if (strcmp(kind, "FLOCK") != 0 || inode != st.st_ino || makedev(major, minor) != st.st_dev) continue;
        char path[64], name[64] = "";
        snprintf(path, sizeof path, "/proc/%lu/comm", pid);
        if (FILE* comm = fopen(path, "re")) {
            if (fgets(name, sizeof name, comm) != nullptr) name[strcspn(name, "\n")] = '\0';
            fclose(comm);
        }
        holder = "pid " + std::to_string(pid) + (name[0] != '\0' ? std::string(" ") + name : std::string());
    }
    fclose(locks);
    return holder;
}

}  // namespace

void CSerCom::BusyReason(const char* path, int fd) {
    struct stat st;
    const bool known = fd >= 0 ? fstat(fd, &st) == 0 : stat(path, &st) == 0;
    std::string holder;
    try {
        if (known) holder = LockHolder(st);
    } catch (...) {
        holder.clear();
    }
    if (holder.empty()) m_reason.Set(EBUSY, "%s: held by another program", path);
    else m_reason.Set(EBUSY, "%s: held by another program (%s)", path, holder.c_str());
}

bool CSerCom::Ready() {
    if (IsOpened()) return true;
    m_reason.Set(EBADF, "the channel is not open");
    return false;
}

int CSerCom::DriverFailed(const char* what) {
    const int err = errno;
    if (err == ENOTTY || err == EINVAL)
        m_reason.Set(REASON_UNSUPPORTED, "%s: not supported by the port's driver", what);
    else
        m_reason.System(err, what);
    return 0;
}

int CSerCom::SendBreak(int ms) {
    if (!Ready()) return 0;
    if (ms < 1 || ms > 60000) return m_reason.Refuse(EINVAL, "a break of 1 to 60000 ms"), 0;
    // The tty layer answers success for a break on a pseudo-terminal and
    // sends nothing: there is no line to hold at space.
    if (kxline::IsPseudoTerminal(m_nHandle))
        return m_reason.Set(REASON_UNSUPPORTED, "a pseudo-terminal has no break"), 0;
    // A break in the middle of a frame still queued would cut it.
    if (!kxline::WaitSent(m_nHandle, kxline::LineTimeUs(m_nHandle, 4096) + 1000000))
        return m_reason.System(errno, "the output before the break did not leave"), 0;
    if (ioctl(m_nHandle, TIOCSBRK) != 0) return DriverFailed("TIOCSBRK");
    // The time asked, resumed after a signal with what is left.
    const long long until = kxsys::MonotonicUs() + ms * 1000LL;
    for (long long left = ms * 1000LL; left > 0; left = until - kxsys::MonotonicUs()) {
        struct timespec ts = {static_cast<time_t>(left / 1000000), static_cast<long>(left % 1000000) * 1000};
        nanosleep(&ts, nullptr);
    }
    // A line left at space is no line: one more try.
    if (ioctl(m_nHandle, TIOCCBRK) != 0 && ioctl(m_nHandle, TIOCCBRK) != 0)
        return m_reason.System(errno, "TIOCCBRK"), 0;
    m_reason.Clear();
    return 1;
}

int CSerCom::Drain(int timeoutMs) {
    if (!Ready()) return 0;
    if (timeoutMs < 0) return m_reason.Refuse(EINVAL, "Drain: a time-out below 0"), 0;
    if (!kxline::WaitSent(m_nHandle, timeoutMs * 1000LL)) {
        if (errno == ETIMEDOUT) return m_reason.Set(ETIMEDOUT, "output still queued after %d ms", timeoutMs), 0;
        return DriverFailed("TIOCOUTQ");
    }
    m_reason.Clear();
    return 1;
}

namespace {
const int kLineBits = TIOCM_CTS | TIOCM_DSR | TIOCM_CD | TIOCM_RI | TIOCM_DTR | TIOCM_RTS;
const int kSettable = TIOCM_DTR | TIOCM_RTS;
}  // namespace

int CSerCom::GetLines() {
    if (!Ready()) return -1;
    int lines = 0;
    if (ioctl(m_nHandle, TIOCMGET, &lines) != 0) return DriverFailed("TIOCMGET"), -1;
    m_reason.Clear();
    return lines & kLineBits;
}

int CSerCom::SetLines(int set, int clear) {
    if (!Ready()) return 0;
    if (((set | clear) & ~kSettable) != 0 || (set & clear) != 0)
        return m_reason.Refuse(EINVAL, "SetLines: DTR and RTS only, each raised or lowered"), 0;
    const bool rtsDriven = m_lineOpened.flow == kxline::FLOW_RTSCTS || m_lineOpened.rs485 == kxline::RS485_ON ||
                           m_lineOpened.rs485 == kxline::RS485_INVERTED;
    if (((set | clear) & TIOCM_RTS) != 0 && rtsDriven)
        return m_reason.Refuse(REASON_SETTING, "RTS is the driver's while flow=rtscts or rs485 is on"), 0;
    int was = 0;
    if (ioctl(m_nHandle, TIOCMGET, &was) != 0) return DriverFailed("TIOCMGET");
    const bool asked = kxline::SetModemLines(m_nHandle, set, clear);
    int now = 0;
    const bool read = asked && ioctl(m_nHandle, TIOCMGET, &now) == 0;
    if (read && (now & set) == set && (now & clear) == 0) {
        m_reason.Clear();
        return 1;
    }
    // Put back what changed: the lines as they were.
    const int err = errno;
    kxline::SetModemLines(m_nHandle, was & (set | clear), ~was & (set | clear));
    errno = err;
    if (!asked || !read) return DriverFailed(!asked ? "TIOCMBIS/TIOCMBIC" : "TIOCMGET");
    m_reason.Set(REASON_REFUSED, "the driver did not take %s%s%s", (set | clear) & TIOCM_DTR ? "DTR" : "",
              (set | clear) == kSettable ? " and " : "", (set | clear) & TIOCM_RTS ? "RTS" : "");
    return 0;
}

int CSerCom::GetCounters(KxCounters* counters) {
    if (!Ready()) return 0;
    if (counters == nullptr) return m_reason.Refuse(EINVAL, "GetCounters: no record"), 0;
    struct serial_icounter_struct ic;
    memset(&ic, 0, sizeof ic);
    if (ioctl(m_nHandle, TIOCGICOUNT, &ic) != 0) return DriverFailed("TIOCGICOUNT");
    counters->rx = ic.rx;
    counters->tx = ic.tx;
    counters->frame = ic.frame;
    counters->parity = ic.parity;
    counters->overrun = ic.overrun;
    counters->brk = ic.brk;
    counters->bufOverrun = ic.buf_overrun;
    m_reason.Clear();
    return 1;
}

int CSerCom::GetQueued(int* in, int* out) {
    if (!Ready()) return 0;
    int waiting = 0, unsent = 0;
    if (ioctl(m_nHandle, TIOCINQ, &waiting) != 0) return DriverFailed("TIOCINQ");
    if (ioctl(m_nHandle, TIOCOUTQ, &unsent) != 0) return DriverFailed("TIOCOUTQ");
    // Bytes of a mismatch echo=drop holds are received and not yet read.
    if (in != nullptr) *in = waiting + m_echo.Pending();
    if (out != nullptr) *out = unsent;
    m_reason.Clear();
    return 1;
}

int CSerCom::Wait() {
    m_bWait = true;
    return 0;
}

int CSerCom::WaitProc(void* channel) {
    if (channel == nullptr) return 0;
    return static_cast<CSerCom*>(channel)->Wait();
}
