// Network channel: a TCP client, a UDP peer or UDP broadcast, chosen by the
// first character of the address text.
#ifndef KXSER_SERNET_H
#define KXSER_SERNET_H

#include "SerBase.h"

class CSerNet : public CSerBase {
public:
    explicit CSerNet(int index);
    explicit CSerNet(const char* def);
    ~CSerNet() override;

    int Open(const char* def) override;
    int Close() override;
    int IsOpened() override;
    int SetPort(int value) override;
    int Purge() override;
    int Read(unsigned char* buf, int size, int timeout) override;
    int Write(const unsigned char* data, int len) override;
    using CSerBase::Write;
    void UpdParams(const char* def) override;

    // Slots after CSerBase's, in this order.
    virtual void InitParams();
    virtual void UpdNote();

    int IsConnDropped(unsigned long err);
    // KxGetQueued (TCP and UDP): bytes received not yet read, not yet sent.
    int GetQueued(int* in, int* out);

    // A mode letter, 15 characters of dotted address and one more: a text
    // too long to keep is cut to 17 characters, which no address converts
    // from, so it is refused instead of reaching another host.
    char m_szAddr[18];
    unsigned int m_nTryCount;
    unsigned int m_nMaxTryCount;
    int m_nPort;
    int m_nSocket;
    int m_nAgainCount;
    // Last, after every member the channel had before it.
    CReason m_reason;
};

#endif
