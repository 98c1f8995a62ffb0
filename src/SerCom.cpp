#include "SerCom.h"

#include <stdint.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <strings.h>

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
    printf("CSerCom InitCom: %x  %d\r\n", AddressOf(this), m_nIndex);
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
    printf("CSerCom UpdParams: ComPort: %s%d, %d, %d\r\n", m_szPortName, m_nIndex, m_nParity,
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
    printf("CSerCom::Open: %s,%d,%d,%c,%d\r\n", path, m_nBaud, m_nDataBits, parity, m_nStopCode);

    ReleaseHandle();  // reopening must neither leak nor stay locked by the earlier descriptor
    // A setting the text got wrong must not open the port as something else.
    if (m_szSettingError[0] != '\0') {
        printf("serial setting error: %s\n", m_szSettingError);
        printf("%s[%x] set_op error!\r\n", GetNote(), GetType());
        return 0;
    }
    int fd = kxsys::Open(path, O_RDWR | O_NOCTTY | O_NONBLOCK);
    // The port is ours alone: a second host, a terminal left open on the
    // line or a modem manager probing it would read replies meant for us.
    // flock holds off every program that locks too, root or not.
    // Then back to blocking: VMIN/VTIME pace the reads. A descriptor left
    // non-blocking would read nothing at once and miss a reply on its way.
    if (fd >= 0 && (flock(fd, LOCK_EX | LOCK_NB) != 0 || fcntl(fd, F_SETFL, 0) != 0)) {
        kxsys::ReleaseTty(fd, false);
        fd = -1;
    }
    if (fd < 0) {
        printf("%s[%x] open error!\r\n", GetNote(), GetType());
        return 0;
    }
    m_nHandle = fd;
    // TIOCEXCL refuses any later open by a program without CAP_SYS_ADMIN,
    // locking or not. A flag that is already set is another program's
    // (only root gets past it): it stays as it was when we let go.
    int flagged = 0;
    m_bOwnExclusive = !(ioctl(fd, TIOCGEXCL, &flagged) == 0 && flagged != 0) && ioctl(fd, TIOCEXCL) == 0;
    // set_opt with the line-control settings on top (none named: set_opt's own calls).
    const int configured = kxline::Configure(fd, m_nBaud, m_nDataBits, parity, m_nStopCode, 'N', m_line);
    if (configured < 0) {
        // A setting the driver refused would be refused at every later Open
        // that names none: the channel keeps what last opened instead.
        if (configured == kxline::kSettingRefused) m_line = m_lineOpened;
        ReleaseHandle();
        printf("%s[%x] set_op error!\r\n", GetNote(), GetType());
        return 0;
    }
    m_lineOpened = m_line;
    m_bFlowControl = m_line.FlowControl();
    printf("%s[%x] open ok!\r\n", GetNote(), GetType());
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
    return tcflush(m_nHandle, TCIOFLUSH) == 0 ? 1 : 0;
}

int CSerCom::Read(unsigned char* buf, int len, int timeout) {
    if (!IsOpened()) return -1;
    if (buf == nullptr || len < 1) return -1;

    int total = 0;
    // A leading 0x00 is line noise on the devices this serves; the next read
    // overwrites it.
    ssize_t n = kxsys::Read(m_nHandle, buf, 1);
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
        if (gapMs > 0 && total > 0 && kxsys::PollOne(m_nHandle, POLLIN, gapMs * 1000LL) == 0) break;
        n = kxsys::Read(m_nHandle, buf + total, static_cast<size_t>(len - total));
        if (n > 0) total += static_cast<int>(n);
        hungUp = n == 0 ? IsHungUp(m_nHandle) : n < 0 && IsGoneError(errno);
    } while (!hungUp && total != len && (n != 0 || passes != 0) && n >= 0);

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
    if (!IsOpened()) return -1;
    // A negative length would hand the system a huge count and send whatever
    // memory follows the caller's data.
    if (data == nullptr || len < 0) return -1;
    const ssize_t n = kxsys::Write(m_nHandle, data, static_cast<size_t>(len));
    const int err = errno;
    if (n != 0) {
        CLogText log;
        log.Dump("SEND: ", data, static_cast<int>(n));
        log.Flush();
    }
    if (n < 0 && IsGoneError(err)) Close();
    return static_cast<int>(n);
}

int CSerCom::Wait() {
    m_bWait = true;
    return 0;
}

int CSerCom::WaitProc(void* channel) {
    if (channel == nullptr) return 0;
    return static_cast<CSerCom*>(channel)->Wait();
}
