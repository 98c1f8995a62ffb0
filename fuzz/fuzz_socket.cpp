// Drives the text resolvers with arbitrary service texts and numeric host
// texts. Host texts that inet_addr does not take are dropped before the call:
// they would go to the name service, and a fuzzer must not touch DNS.
#include <arpa/inet.h>
#include <stddef.h>
#include <stdint.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "SocketHandle.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // Split at the first NUL: host text, then service text.
    const std::string input(reinterpret_cast<const char*>(data), size);
    const size_t cut = input.find('\0');
    const std::string host = input.substr(0, cut);
    const std::string service = cut == std::string::npos ? std::string() : input.substr(cut + 1);

    // Digits first: a port number, no lookup. Anything else is looked up in
    // the services file only (nsswitch "files"/"db"), never on the network.
    const unsigned short port = CSocketHandle::GetPortNumber(service.c_str());
    if (!service.empty() && service[0] >= '0' && service[0] <= '9') {
        unsigned int expect = 0;
        for (size_t i = 0; i < service.size() && service[i] >= '0' && service[i] <= '9'; ++i) {
            expect = (expect * 10 + static_cast<unsigned int>(service[i] - '0')) & 0xffffu;
        }
        if (port != expect) std::abort();
    }

    if (host.empty() || (inet_addr(host.c_str()) == INADDR_NONE && host != "255.255.255.255")) return 0;
    SockAddrIn addr;
    const bool ok = addr.CreateFrom(host.c_str(), service.c_str(), 0x10000 | AF_INET);
    if (addr.sin_family != AF_INET) std::abort();
    if (addr.sin_addr.s_addr != inet_addr(host.c_str())) std::abort();
    if (ntohs(addr.sin_port) != port) std::abort();
    if (ok == addr.IsNull()) std::abort();
    for (unsigned char z : addr.sin_zero) {
        if (z != 0) std::abort();
    }

    char text[16];
    if (!CSocketHandle::FormatIP(text, sizeof text, addr.sin_addr.s_addr, false)) std::abort();
    if (inet_addr(text) != addr.sin_addr.s_addr && std::strcmp(text, "255.255.255.255") != 0) std::abort();
    return 0;
}
