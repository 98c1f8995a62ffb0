#include "SerDio.h"

#include <cstdio>

#include "SysCall.h"

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

// Samples one input line; a driver that stores nothing leaves the preset 0.
unsigned char SampleLine(int fd, uint16_t line) {
    DioLineRecord rec;
    rec.line = line;
    rec.value = 0;
    kxsys::Read(fd, &rec, sizeof rec);
    return static_cast<unsigned char>(rec.value & 0xff);
}

}  // namespace

CSerDio::CSerDio(const char* def) : CSerBase(def) {
    m_nKind = KIND_GPIO;
    // One device: the index is fixed, whatever the requested type code said.
    m_nIndex = 1;
    m_strNote = kDefaultNote;
    if (def != nullptr) m_strNote = def;
    m_hDev = -1;
    puts("CSerDio::CSerDio: Dio Init");
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
    if (m_hDev < 0) m_hDev = -1;
    if (m_hDev != -1) printf("%s[%x] open ok!\r\n", GetNote(), GetType());
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
    if (!IsOpened() || out == nullptr || len < 1) return -1;
    out[0] = SampleLine(m_hDev, kFirstInputLine);
    if (len > 1) out[1] = SampleLine(m_hDev, kSecondInputLine);
    return 1;
}

int CSerDio::Write(const unsigned char* data, int len) {
    // Selector and level are always read, so fewer than two bytes would read
    // past the caller's data.
    if (!IsOpened() || data == nullptr || len < 2) return -1;
    const int line = OutputLine(data[0]);
    kxsys::IoctlInt(m_hDev, data[1] != 0 ? kRequestHigh : kRequestLow, line);
    return 0;
}
