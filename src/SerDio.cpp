#include "SerDio.h"

#include <cerrno>
#include <cstdio>

#include "SysCall.h"
#include "LogText.h"

namespace {

const char kDevicePath[] = "/dev/gpio";
const char kDefaultNote[] = "KXI1:";

// The two input lines a read samples, in the order of the bytes it returns.
const uint16_t kFirstInputLine = 18;
const uint16_t kSecondInputLine = 17;

// Driver requests: drive the line high or low.
const unsigned long kRequestHigh = 1;
const unsigned long kRequestLow = 0;

// Selectors 0 and 1 name lines 0 and 1; from 2 on the driver's lines start
// at 17, so 2 is 17, 3 is 18 and 255 is 270.
int OutputLine(unsigned char selector) {
    return selector < 2 ? selector : selector + 15;
}

// Samples one input line into `level`; a driver that stores nothing leaves
// the preset 0. False when the device read failed.
bool SampleLine(int fd, uint16_t line, unsigned char* level) {
    DioLineRecord rec;
    rec.line = line;
    rec.value = 0;
    const ssize_t n = kxsys::Read(fd, &rec, sizeof rec);
    *level = static_cast<unsigned char>(rec.value & 0xff);
    return n >= 0;
}

}  // namespace

CSerDio::CSerDio(const char* def) : CSerBase(def) {
    m_nKind = KIND_GPIO;
    // One device: the index is fixed, whatever the requested type code said.
    m_nIndex = 1;
    m_strNote = kDefaultNote;
    if (def != nullptr) m_strNote = def;
    m_hDev = -1;
    kxlog::Puts("CSerDio::CSerDio: Dio Init");
}

// The device stays open: a host may still use the descriptor it took with
// GetHandle.
CSerDio::~CSerDio() {}

int CSerDio::Open(const char* def) {
    if (def != nullptr) m_strNote = def;
    // Reopening must not leak the descriptor held so far.
    if (m_hDev != -1) {
        kxsys::Close(m_hDev);
        m_hDev = -1;
    }
    m_hDev = kxsys::Open(kDevicePath, O_RDONLY);
    if (m_hDev < 0) {
        m_reason.System(errno, kDevicePath);
        m_hDev = -1;
    }
    if (m_hDev != -1) {
        kxlog::Printf("%s[%x] open ok!\r\n", GetNote(), GetType());
        m_reason.Clear();
    }
    return IsOpened();
}

int CSerDio::Close() {
    if (IsOpened()) {
        kxsys::Close(m_hDev);
        m_hDev = -1;
    }
    return 1;
}

int CSerDio::IsOpened() { return m_hDev != -1 ? 1 : 0; }

int CSerDio::GetHandle() { return m_hDev; }

int CSerDio::Read(unsigned char* out, int len, int /*timeout: the driver answers at once*/) {
    // The first byte is always stored, so a length below 1 would write past
    // the caller's buffer.
    if (!IsOpened()) return m_reason.Refuse(EBADF, "the channel is not open");
    if (out == nullptr || len < 1) return m_reason.Refuse(EINVAL, "Read: no buffer, or a length below 1");
    // A failing driver is not a low line: the bytes still read 0, as hosts
    // that ignore the result have always seen, but the result says so.
    bool ok = SampleLine(m_hDev, kFirstInputLine, &out[0]);
    int err = ok ? 0 : errno;
    if (len > 1 && !SampleLine(m_hDev, kSecondInputLine, &out[1])) {
        if (ok) err = errno;
        ok = false;
    }
    if (!ok) m_reason.System(err, "the GPIO device's read");
    else m_reason.Clear();
    return ok ? 1 : -1;
}

int CSerDio::Write(const unsigned char* data, int len) {
    if (!IsOpened()) return m_reason.Refuse(EBADF, "the channel is not open");
    if (data == nullptr || len < 1) return m_reason.Refuse(EINVAL, "Write: no selector byte");
    const int line = OutputLine(data[0]);
    // A one-byte write is a selector alone: the text form Write("\x03") ends
    // in its terminator, which is the level 0. The second byte is read only
    // when the length says it is there.
    const bool high = len > 1 && data[1] != 0;
    if (kxsys::IoctlInt(m_hDev, high ? kRequestHigh : kRequestLow, line) < 0) {
        m_reason.System(errno, "the GPIO device's request");
        return -1;
    }
    m_reason.Clear();
    return 0;
}
