// Serial port channel (tty devices through termios) and the traffic hex dump
// shared by the serial and network channels.
#ifndef KXSER_SERCOM_H
#define KXSER_SERCOM_H

#include <sys/types.h>

#include "SerBase.h"
#include "SerLine.h"
#include "kxSerExt.h"

// Digit for the low four bits of `value`.
inline char _TOHEX(unsigned char value) {
    return "0123456789ABCDEF"[value & 0x0f];
}

// Writes the dump of `data` into `buf`; -1 (buffer untouched) when refused.
int BufToHexStr(const unsigned char* data, int len, char* buf, int cap, int blanks);
// Dump into a per-thread buffer; "msg.len > 1024" when the text needs 1024
// characters or more.
char* BufToHexStr(const unsigned char* data, int len, int blanks);

class CSerCom : public CSerBase {
public:
    explicit CSerCom(int index);
    explicit CSerCom(const char* def);
    ~CSerCom() override;

    int Open(const char* def) override;
    int Close() override;
    int IsOpened() override;
    int GetHandle() override;
    int SetBaud(int baud) override;
    int Purge() override;
    int Read(unsigned char* buf, int len, int timeout) override;
    int Write(const unsigned char* data, int len) override;
    using CSerBase::Write;
    void UpdParams(const char* def) override;

    // Slots after CSerBase's, in this order.
    virtual void InitCom();
    virtual void UpdNote();
    virtual int Wait();

    static int GetDefKind(const char* text);
    static int GetDefType(const char* def);
    static int WaitProc(void* channel);

    int set_opt(int fd, int nSpeed, int nBits, char nEvent, int nStop, char nFlow);

    char m_szPortName[16];
    int m_nBaud;
    int m_nParity;
    int m_nDataBits;
    int m_nStopCode;
    int m_nHandle;
    bool m_bWait;
    // This channel set the tty's exclusive flag (and clears it when it lets go).
    bool m_bOwnExclusive;
    // Flow control was on when the port opened: what a held line keeps back
    // of the output is discarded before the descriptor goes (a close would
    // wait for it up to 30 s).
    bool m_bFlowControl;
    // Line-control settings named after the stop bits, and the first setting
    // error of the last text ("" when none), which the next Open reports.
    kxline::Control m_line;
    char m_szSettingError[kxline::kErrorSize];
    // The settings of the last successful Open: a setting the driver refused
    // is not kept, so the channel goes back to these.
    kxline::Control m_lineOpened;
    // echo=drop: what the Writes sent, expected back.
    kxline::EchoFilter m_echo;
    // Last, after every member the channel had before it.
    CReason m_reason;

    // The serial side of the optional exports (kxSerExt.h): 1 done, 0 not
    // (KxGetLines: the lines, or -1), the reason kept either way.
    int SendBreak(int ms);
    int Drain(int timeoutMs);
    int GetLines();
    int SetLines(int set, int clear);
    int GetCounters(KxCounters* counters);
    int GetQueued(int* in, int* out);

private:
    void ReleaseHandle();
    // One read of the device, echo=drop's filter applied.
    ssize_t ReadLine(unsigned char* buf, size_t len);
    void ResetEcho() { m_echo.Reset(); }
    void ExpectEcho(const unsigned char* data, int len);
    // The reason for a port another program holds: the holder of its lock.
    void BusyReason(const char* path, int fd);
    // A closed channel refuses (EBADF); an open one answers 1.
    bool Ready();
    // A driver request that failed: -4 where the driver has no such thing.
    int DriverFailed(const char* what);
};

#endif
