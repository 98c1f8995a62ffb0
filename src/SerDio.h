// GPIO channel on /dev/gpio: reads sample two input lines, writes drive one
// output line.
#ifndef KXSER_SERDIO_H
#define KXSER_SERDIO_H

#include <cstdint>

#include "SerBase.h"

// Record exchanged with the GPIO driver on every read: the channel fills in
// the line, the driver stores its level in `value`.
struct DioLineRecord {
    uint16_t line;
    uint16_t value;
};
static_assert(sizeof(DioLineRecord) == 4, "the GPIO driver reads a 4-byte record");

class CSerDio : public CSerBase {
public:
    explicit CSerDio(const char* def);
    ~CSerDio() override;

    int Open(const char* def) override;
    int Close() override;
    int IsOpened() override;
    int GetHandle() override;
    int Read(unsigned char* out, int len, int timeout) override;
    int Write(const unsigned char* data, int len) override;
    using CSerBase::Write;

    int m_hDev;
    // Last, after every member the channel had before it.
    CReason m_reason;
};

#endif
