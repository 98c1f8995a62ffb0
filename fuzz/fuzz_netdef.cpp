// Network definition strings of any length and content: the address stays
// within its array (a mode letter, 15 characters and one that only a text
// too long to keep reaches), the note always names index and port, and no
// parse ever opens a socket.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "SerNet.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    if (freopen("/dev/null", "w", stdout) == nullptr) abort();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const unsigned char* data, size_t size) {
    std::string text(reinterpret_cast<const char*>(data), size);
    const char* def = text.c_str();

    CSerNet net(def);
    if (strnlen(net.m_szAddr, sizeof net.m_szAddr) > sizeof net.m_szAddr - 1) abort();
    if (net.m_nSocket != -1) abort();
    if (def[0] != '\0' && net.m_nPort != net.m_nIndex) abort();
    if (net.m_nIndex == 0) abort();  // a port of 0 stands for the default

    // Relabelling and re-parsing keep the same bounds.
    net.SetPort(static_cast<int>(size) * 4099);
    net.SetDef(def);
    if (strnlen(net.m_szAddr, sizeof net.m_szAddr) > sizeof net.m_szAddr - 1) abort();
    const std::string note = net.GetNote();
    if (note.compare(0, 4, "NET ") != 0) abort();
    return 0;
}
