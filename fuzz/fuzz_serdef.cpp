// Any text, any length: the serial definition parser must stay inside its
// 16-character arrays and agree with GetDefType whenever the port is split.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "SerCom.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // The parser logs every call; the fuzzer reports on stderr.
    if (freopen("/dev/null", "w", stdout) == nullptr) abort();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const unsigned char* data, size_t size) {
    std::string text(reinterpret_cast<const char*>(data), size);
    const char* def = text.c_str();  // stops at the first NUL, like a host's text

    const int type = CSerCom::GetDefType(def);
    CSerCom com(def);
    if (strlen(com.m_szPortName) > 15) abort();

    // With a port split the channel carries exactly the type code the text denotes.
    const char* colon = strpbrk(def, ":,");
    if (colon != nullptr && *colon == ':' && colon > def && colon[-1] >= '0' && colon[-1] <= '9') {
        if (com.GetType() != type) abort();
    }

    com.SetDef(def);
    if (strlen(com.GetNote()) == 0) abort();
    // Settings stay in their ranges, and the error text inside its array.
    if (memchr(com.m_szSettingError, '\0', sizeof com.m_szSettingError) == nullptr) abort();
    if (com.m_line.gapMs < 0 || com.m_line.gapMs > 10000 || com.m_line.rtsBefore > 100 || com.m_line.rtsAfter > 100)
        abort();
    return 0;
}
