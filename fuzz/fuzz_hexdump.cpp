// Both dump forms, driven by arbitrary blocks, lengths, capacities and blank
// counts: never a write past the buffer, and the text always matches its bytes.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "SerCom.h"

extern "C" int LLVMFuzzerTestOneInput(const unsigned char* data, size_t size) {
    if (size < 6) return 0;
    const int cap = data[0] | (data[1] << 8);  // up to 65535
    const int blanks = static_cast<int8_t>(data[2]);
    const int lenBias = static_cast<int8_t>(data[3]);
    const int convBlanks = static_cast<int8_t>(data[4]) % 4;
    const unsigned char* block = data + 5;
    const int blockLen = static_cast<int>(size - 5);
    const int len = blockLen + lenBias > blockLen ? blockLen : blockLen + lenBias;  // never past the block

    std::vector<char> buf(static_cast<size_t>(cap > 0 ? cap : 1));
    const int got = BufToHexStr(block, len, buf.data(), cap, blanks);
    if (got >= 0) {
        const int group = blanks + 2;
        const int n = len > 0 ? len : 0;
        if (got != n * group || got >= cap || buf[static_cast<size_t>(got)] != '\0') abort();
        for (int i = 0; i < n; ++i) {
            const char* g = buf.data() + i * group;
            if (g[0] != _TOHEX(block[i] >> 4) || g[1] != _TOHEX(block[i])) abort();
            for (int b = 0; b < blanks; ++b)
                if (g[2 + b] != ' ') abort();
        }
    }

    const char* text = BufToHexStr(block, len, convBlanks);
    const size_t tlen = strlen(text);
    if (tlen > 1022) abort();
    if (strcmp(text, "msg.len > 1024") != 0 && convBlanks >= 0 && len > 0 &&
        tlen != static_cast<size_t>(len) * static_cast<size_t>(convBlanks + 2))
        abort();
    return 0;
}
