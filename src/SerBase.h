// Common base of every channel: type code, note, time-outs, spin lock and
// observer list, with neutral defaults for every ISerBase operation.
#ifndef KXSER_SERBASE_H
#define KXSER_SERBASE_H

#include <pthread.h>

#include <string>
#include <vector>

#include "ISerBase.h"

// Kinds: the upper part of a type code names the transport family.
enum : int {
    KIND_SERIAL = 0x100000,
    KIND_SERIAL_GROUP1 = 0x110000,
    KIND_SERIAL_GROUP2 = 0x120000,
    KIND_NET = 0x200000,
    KIND_USB = 0x400000,
    KIND_GPIO = 0x800000,
    KIND_FAMILY_MASK = 0xf00000,
    KIND_INDEX_MASK = 0xffff,
};

// The library's own reasons a call failed (KxLastError); a reason above 0
// is the errno value of the system call that failed.
enum : int {
    REASON_SETTING = -1,      // a setting error in the definition string
    REASON_REFUSED = -2,      // a setting or the line the driver refused
    REASON_ADDRESS = -3,      // an address or port the channel cannot use
    REASON_UNSUPPORTED = -4,  // not supported by this channel or its driver
};

// The reason for a channel's last Open, Read, Write or call of the optional
// exports (KxLastError): `m_nCode` (0 after a success) and its words. Each
// channel class keeps one as its last member, so the members every channel
// had keep their places.
struct CReason {
    int m_nCode = 0;
    char m_szText[128] = "";

    // `code` and its words, formatted like printf.
    __attribute__((format(printf, 3, 4))) void Set(int code, const char* format, ...) noexcept;
    // For a failed system call: errno's value and its words after `what`.
    void System(int err, const char* what) noexcept;
    void Clear() noexcept {
        m_nCode = 0;
        m_szText[0] = '\0';
    }
    // A call refused before it reached the system: the reason, and -1.
    int Refuse(int code, const char* text) noexcept {
        Set(code, "%s", text);
        return -1;
    }
};

class CSerBase : public ISerBase {
public:
    explicit CSerBase(int index);
    explicit CSerBase(const char* def);

    // ISerBase, in its slot order.
    void Lock() override;
    void Unlock() override;
    bool IsBusy() override;
    int GetType() override;
    const char* GetNote() override;
    int Open(const char* def) override;
    int Close() override;
    int IsOpened() override;
    int GetHandle() override;
    int SetDef(const char* def) override;
    int SetPort(int port) override;
    int SetBaud(int baud) override;
    int SetTimeout(int byteTimeout, int baseTimeout) override;
    int Purge() override;
    int Read(unsigned char* buf, int size, int timeout) override;
    int Write(const unsigned char* buf, int len) override;
    int Write(const char* text) override;
    int InsertObserver(ISerObserver* observer) override;
    int RemoveObserver(ISerObserver* observer) override;

    // Slots after the interface: the destructors, then UpdParams.
    virtual ~CSerBase();
    virtual void UpdParams(const char* def);

    void Init();
    void Free();


    bool m_bBusy;
    int m_nKind;
    int m_nIndex;
    int m_nByteTimeout;
    int m_nBaseTimeout;
    pthread_spinlock_t m_lock;
    std::string m_strNote;
    std::vector<ISerObserver*> m_vecObserver;

    CSerBase(const CSerBase&) = delete;
    CSerBase& operator=(const CSerBase&) = delete;
};

#endif
