// Socket helper: the Windows-named compatibility functions, the IPv4 address
// record and the address resolvers.
#include <arpa/inet.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <netdb.h>
#include <sched.h>
#include <sys/mount.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <climits>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "SocketHandle.h"
#include "kxsock.h"
#include "kxtest.h"

namespace {

// Network-order value whose first byte in memory is `first`.
unsigned long WithFirstOctet(unsigned char first, unsigned char rest) {
    const unsigned char bytes[4] = {first, rest, rest, rest};
    uint32_t v;
    std::memcpy(&v, bytes, sizeof v);
    return v;
}

// ---------------------------------------------------------------------------
// Compatibility functions

TEST(SocketCompat, PendingSocketErrorIsReportedOnce) {
    WSAGetLastError();
    EXPECT_EQ(WSASetLastError(104), 104);
    errno = E2BIG;
    EXPECT_EQ(WSAGetLastError(), 104);
    EXPECT_EQ(WSAGetLastError(), E2BIG);
    EXPECT_EQ(_lastWSA, 0);

    WSASetLastError(0);
    errno = EBADF;
    EXPECT_EQ(WSAGetLastError(), EBADF);

    // The two numbers are independent.
    WSASetLastError(66);
    SetLastError(55);
    EXPECT_EQ(_lastWSA, 66);
    EXPECT_EQ(GetLastError(), 55);
    WSASetLastError(77);
    EXPECT_EQ(_lastError, 55);
    EXPECT_EQ(WSAGetLastError(), 77);
}

TEST(SocketCompat, StringCbCopyA) {
    const std::string longText(300, 'x');
    struct Case {
        const char* what;
        const char* src;
        int size;
        const char* expect;  // text at the front, or nullptr: destination untouched
    } cases[] = {
        {"cut to size - 1", longText.c_str(), 260, nullptr},
        {"short text", "abc", 260, "abc"},
        {"size 1", "abc", 1, ""},
        {"size 0", "abc", 0, nullptr},
        {"negative size", "abc", -1, nullptr},
        {"null source", nullptr, 260, nullptr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        char dst[261];
        std::memset(dst, '#', sizeof dst);
        EXPECT_EQ(StringCbCopyA(dst, c.size, c.src), 0);
        if (c.src == longText.c_str()) {
            EXPECT_EQ(std::string(dst), std::string(259, 'x'));
        } else if (c.expect != nullptr) {
            EXPECT_STREQ(dst, c.expect);
            const size_t len = std::strlen(c.expect);
            for (int i = static_cast<int>(len) + 1; i < c.size - 1; ++i) ASSERT_EQ(dst[i], '#') << i;
            EXPECT_EQ(dst[c.size - 1], '\0');
        } else {
            for (char ch : dst) ASSERT_EQ(ch, '#');
        }
        EXPECT_EQ(dst[260], '#');
    }
    EXPECT_EQ(StringCbCopyA(nullptr, 10, "abc"), 0);
}

TEST(SocketCompat, StringCbPrintfAAndLength) {
    struct Case {
        int size;
        const char* expect;  // nullptr: untouched
    } cases[] = {{16, "10.1.2.3"}, {8, "10.1.2."}, {1, ""}, {0, nullptr}, {-5, nullptr}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.size);
        char dst[17];
        std::memset(dst, '#', sizeof dst);
        EXPECT_EQ(StringCbPrintfA(dst, c.size, "%u.%u.%u.%u", 10u, 1u, 2u, 3u), 0);
        if (c.expect != nullptr) {
            EXPECT_STREQ(dst, c.expect);
            EXPECT_EQ(dst[c.size - 1], '\0');
        } else {
            EXPECT_EQ(dst[0], '#');
        }
        EXPECT_EQ(dst[16], '#');
    }
    EXPECT_EQ(StringCbPrintfA(nullptr, 16, "%d", 1), 0);

    unsigned int len = 99;
    EXPECT_EQ(StringCbLengthA("abc", 2, &len), 0);
    EXPECT_EQ(len, 3u);  // the size is not consulted
    EXPECT_EQ(StringCbLengthA(nullptr, 2, &len), 0);
    EXPECT_EQ(len, 0u);
}

TEST(SocketCompat, InterlockedExchangeAndCloseSocket) {
    long target = 7;
    EXPECT_EQ(InterlockedExchange(&target, 9), 7);
    EXPECT_EQ(target, 9);

    int p[2];
    ASSERT_EQ(pipe(p), 0);
    SetLastError(31);
    WSASetLastError(0);
    EXPECT_EQ(closesocket(p[0]), 0);
    EXPECT_EQ(fcntl(p[0], F_GETFD), -1);
    errno = 0;
    EXPECT_EQ(closesocket(p[0]), -1);  // no longer open
    EXPECT_EQ(errno, EBADF);
    EXPECT_EQ(GetLastError(), 31);
    EXPECT_EQ(_lastWSA, 0);
    if (sizeof(long) > sizeof(int)) {
        // A value above the descriptor range must not close the descriptor
        // its low bits name.
        const long wide = static_cast<long>((static_cast<unsigned long>(UINT_MAX) + 1u) | static_cast<unsigned long>(p[1]));
        EXPECT_EQ(closesocket(wide), -1);
        EXPECT_NE(fcntl(p[1], F_GETFD), -1);
    }
    close(p[1]);
}

// Hosts resolve these names in the loaded library; the inline definitions
// would otherwise not be there.
TEST(SocketCompat, ExportedUnderMangledNames) {
    Dl_info info;
    // A function, not a variable: the executable may hold a copy of the data.
    ASSERT_NE(dladdr(reinterpret_cast<void*>(&CSocketHandle::GetIPAddress), &info), 0);
    ASSERT_NE(std::strstr(info.dli_fname, "kxSer.so"), nullptr) << info.dli_fname;
    void* lib = dlopen(info.dli_fname, RTLD_NOW | RTLD_NOLOAD);
    ASSERT_NE(lib, nullptr) << dlerror();
    const char* names[] = {
        "_Z12SetLastErrori", "_Z12GetLastErrorv", "_Z15WSASetLastErrori", "_Z15WSAGetLastErrorv",
        "_Z13StringCbCopyAPciPKc", "_Z15StringCbLengthAPKciPj", "_Z15StringCbPrintfAPciPKcz",
        "_Z19InterlockedExchangePll", "_Z11closesocketl", "_lastError", "_lastWSA",
        "_ZN10SockAddrIn10CreateFromEPKcS1_i", "_ZN10SockAddrIn10CreateFromEmtib", "_ZNK10SockAddrIn7IsEqualERKS_",
        "_ZN13CSocketHandle12CreateSocketEPKcS1_iij", "_ZN13CSocketHandle9ConnectToEPKcS1_S1_ii",
        "_ZN13CSocketHandle4ReadEPhmP8sockaddrm", "_ZN13CSocketHandle5WriteEPhmP8sockaddrm",
        "_ZN13CSocketHandle6AttachEl", "_ZN13CSocketHandle17WaitForConnectionEl",
        "_ZN13CSocketHandle8FormatIPEPcjmb", "_ZNK13CSocketHandle9GetSocketEv",
    };
    for (const char* name : names) EXPECT_NE(dlsym(lib, name), nullptr) << name;

    // The library's own copies act on the one pair of globals.
    auto set = reinterpret_cast<void (*)(int)>(dlsym(lib, "_Z12SetLastErrori"));
    auto wsaGet = reinterpret_cast<int (*)()>(dlsym(lib, "_Z15WSAGetLastErrorv"));
    ASSERT_NE(set, nullptr);
    ASSERT_NE(wsaGet, nullptr);
    set(4321);
    EXPECT_EQ(GetLastError(), 4321);
    WSASetLastError(93);
    EXPECT_EQ(wsaGet(), 93);
    EXPECT_EQ(_lastWSA, 0);
    dlclose(lib);
}

// ---------------------------------------------------------------------------
// SockAddrIn

TEST(SockAddrIn, NullEqualAndCopy) {
    SockAddrIn a, b;
    EXPECT_EQ(a.Size(), 16);
    EXPECT_TRUE(a.IsNull());
    EXPECT_TRUE(a.IsEqual(b));
    const unsigned char zero[16] = {};
    EXPECT_EQ(std::memcmp(static_cast<sockaddr_in*>(&a), zero, 16), 0);

    std::memset(b.sin_zero, 0x5a, sizeof b.sin_zero);
    EXPECT_TRUE(a.IsEqual(b));  // the filler is not compared
    b.sin_family = AF_INET;
    EXPECT_FALSE(a.IsEqual(b));
    EXPECT_TRUE(b.IsNull());  // nor is the family looked at for null
    b.sin_port = htons(1);
    EXPECT_FALSE(b.IsNull());

    SockAddrIn copied(b);
    SockAddrIn assigned;
    assigned.Copy(b);
    EXPECT_EQ(std::memcmp(static_cast<sockaddr_in*>(&copied), static_cast<sockaddr_in*>(&b), 16), 0);
    EXPECT_EQ(std::memcmp(static_cast<sockaddr_in*>(&assigned), static_cast<sockaddr_in*>(&b), 16), 0);
    EXPECT_EQ(static_cast<sockaddr*>(b), reinterpret_cast<sockaddr*>(static_cast<sockaddr_in*>(&b)));
}

TEST(SockAddrIn, CreateFromNumbers) {
    struct Case {
        unsigned long addr;
        unsigned short port;
        int family;
        bool hostOrder;
        bool result;
        unsigned char bytes[6];  // port and address as laid out in memory
        unsigned short expectFamily;
    } cases[] = {
        {0, 0, 2, true, false, {0, 0, 0, 0, 0, 0}, 2},
        {0, 80, 2, true, true, {0, 80, 0, 0, 0, 0}, 2},
        {0x7f000001, 8080, 2, true, true, {0x1f, 0x90, 127, 0, 0, 1}, 2},
        {0x7f000001, 8080, 0x10002, true, true, {0x1f, 0x90, 127, 0, 0, 1}, 2},
        {htonl(0x0a010203), htons(21), 2, false, true, {0, 21, 10, 1, 2, 3}, 2},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.addr);
        SockAddrIn a;
        std::memset(static_cast<sockaddr_in*>(&a), 0xee, 16);
        EXPECT_EQ(a.CreateFrom(c.addr, c.port, c.family, c.hostOrder), c.result);
        EXPECT_EQ(a.sin_family, c.expectFamily);
        EXPECT_EQ(std::memcmp(reinterpret_cast<const unsigned char*>(static_cast<sockaddr_in*>(&a)) + 2, c.bytes, 6), 0);
        for (unsigned char z : a.sin_zero) EXPECT_EQ(z, 0);
    }
}

TEST(SockAddrIn, CreateFromNumericTexts) {
    struct Case {
        const char* host;
        const char* service;
        bool result;
        uint32_t addr;  // host order
        unsigned short port;
    } cases[] = {
        {"0.0.0.0", "0", false, 0, 0},
        {"0.0.0.0", "21", true, 0, 21},
        {"255.255.255.255", "0", true, 0xffffffff, 0},
        {"127.0.0.1", "http", true, 0x7f000001, 80},
        {"10.1.2.3", "no-such-service-kx", true, 0x0a010203, 0},
        {"0.0.0.0", nullptr, false, 0, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.host);
        SockAddrIn a;
        EXPECT_EQ(a.CreateFrom(c.host, c.service, AF_INET), c.result);
        EXPECT_EQ(a.sin_family, AF_INET);
        EXPECT_EQ(ntohl(a.sin_addr.s_addr), c.addr);
        EXPECT_EQ(ntohs(a.sin_port), c.port);
    }
}

// ---------------------------------------------------------------------------
// Address resolution and formatting

TEST(SocketAddress, UnicastAndMulticastByFirstOctet) {
    struct Case {
        unsigned char first;
        bool unicast, multicast;
    } cases[] = {{0, false, false},  {1, true, false},   {127, true, false}, {223, true, false},
                 {224, false, true}, {239, false, true}, {240, false, false}, {255, false, false}};
    for (const Case& c : cases) {
        for (unsigned char rest : {0, 224, 255}) {
            SCOPED_TRACE(std::to_string(c.first) + "/" + std::to_string(rest));
            EXPECT_EQ(CSocketHandle::IsUnicastIP(WithFirstOctet(c.first, rest)), c.unicast);
            EXPECT_EQ(CSocketHandle::IsMulticastIP(WithFirstOctet(c.first, rest)), c.multicast);
        }
    }
}

// A text cut to fit the buffer is another address: it is written cut, as
// always, but reported as not fitting (1000).
TEST(SocketAddress, FormatIP) {
    struct Case {
        unsigned long addr;
        bool hostOrder;
        unsigned int size;
        bool result;
        const char* expect;  // nullptr: untouched
        int lastError;
    } cases[] = {
        {0xc0a80001, true, 16, true, "192.168.0.1", 0},
        {htonl(0xc0a80001), false, 16, true, "192.168.0.1", 0},
        {0xc0a80001, true, 12, true, "192.168.0.1", 0},
        {0xc0a80001, true, 11, false, "192.168.0.", 1000},
        {0xc0a80001, true, 10, false, "192.168.0", 1000},
        {0xc0a80001, true, 1, false, "", 1000},
        {0xc0a80001, true, 0, false, nullptr, 0},
        {0xffffffff, false, 16, true, "255.255.255.255", 0},
        {0xffffffff, false, 15, false, "255.255.255.25", 1000},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.size);
        char buf[17];
        std::memset(buf, '#', sizeof buf);
        SetLastError(0);
        EXPECT_EQ(CSocketHandle::FormatIP(buf, c.size, c.addr, c.hostOrder), c.result);
        EXPECT_EQ(GetLastError(), c.lastError);
        if (c.expect != nullptr) {
            EXPECT_STREQ(buf, c.expect);
        } else {
            EXPECT_EQ(buf[0], '#');
        }
    }
    EXPECT_FALSE(CSocketHandle::FormatIP(nullptr, 16, 1, true));
}

TEST(SocketAddress, GetPortNumber) {
    struct Case {
        const char* text;
        unsigned short port;
    } cases[] = {
        {"80", 80},   {"8080abc", 8080}, {"65536", 0}, {"70000", 4464}, {"0", 0},
        {"-1", 0},  // not a digit first: looked up as a name, not found
        {"99999999999999999999", 65535}, {"http", 80}, {"ssh", 22}, {"no-such-service-kx", 0},
        {"", 0},    {nullptr, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text != nullptr ? c.text : "(null)");
        SetLastError(12);
        EXPECT_EQ(CSocketHandle::GetPortNumber(c.text), c.port);
        EXPECT_EQ(GetLastError(), 12);
    }
}

TEST(SocketAddress, GetIPAddressOfNumericTexts) {
    EXPECT_EQ(CSocketHandle::GetIPAddress("255.255.255.255"), 0xfffffffful);
    EXPECT_EQ(CSocketHandle::GetIPAddress("127.0.0.1"), 0x7f000001ul);
    EXPECT_EQ(CSocketHandle::GetIPAddress("0.0.0.0"), 0ul);
    EXPECT_EQ(CSocketHandle::GetIPAddress("10.1.2.3"), 0x0a010203ul);
}

// Names are resolved where no DNS server is reachable, so an unknown name (or
// a host name missing from /etc/hosts) fails on the machine, not on the wire.
TEST(SocketAddress, NamesResolvedInPrivateNet) {
    KXSOCK_IN_PRIVATE_NET([] {
        // The classic all-ones answer, with the resolver's reason recorded:
        // WSAHOST_NOT_FOUND, or WSATRY_AGAIN where a name server is
        // configured but, in here, unreachable. The record fails rather than
        // stand for the broadcast address.
        SetLastError(0);
        EXPECT_EQ(CSocketHandle::GetIPAddress("no-such-host-kx.invalid"), 0xfffffffful);
        EXPECT_TRUE(GetLastError() == 11001 || GetLastError() == 11002) << GetLastError();
        SockAddrIn a;
        EXPECT_FALSE(a.CreateFrom("no-such-host-kx.invalid", "80", AF_INET));
        EXPECT_EQ(a.sin_addr.s_addr, 0xffffffffu);
        EXPECT_TRUE(a.CreateFrom("localhost", "80", AF_INET));
        EXPECT_EQ(ntohl(a.sin_addr.s_addr), 0x7f000001u);

        const uint32_t expectNet = kxsock::LocalNameAddress();
        EXPECT_EQ(CSocketHandle::GetIPAddress(""), ntohl(expectNet));
        EXPECT_EQ(CSocketHandle::GetIPAddress(nullptr), ntohl(expectNet));
    });
}

// Two threads, each resolving its own host and service names from a private
// /etc/hosts (a mount namespace of the test's own): each gets its own answer,
// never the other's from a result the system shares.
TEST(SocketAddress, ThreadsResolveTheirOwnNames) {
    KXSOCK_IN_PRIVATE_NET([] {
        char hosts[] = "/tmp/kxhostsXXXXXX";
        const int fd = mkstemp(hosts);
        ASSERT_GE(fd, 0);
        const char text[] = "127.0.0.11 kx-one.test\n127.0.0.22 kx-two.test\n";
        ASSERT_EQ(write(fd, text, sizeof text - 1), static_cast<ssize_t>(sizeof text - 1));
        close(fd);
        // The type is not read for these; valgrind wants a text there all the same.
        const bool mounted = unshare(CLONE_NEWNS) == 0 &&
                             mount("none", "/", "none", MS_REC | MS_PRIVATE, nullptr) == 0 &&
                             mount(hosts, "/etc/hosts", "none", MS_BIND, nullptr) == 0;
        const int err = errno;
        unlink(hosts);
        if (!mounted) kxsock::SkipPrivateNet(std::string("no private /etc/hosts: ") + strerror(err));
        const struct {
            const char* host;
            unsigned long address;
            const char* service;
            unsigned short port;
        } names[] = {{"kx-one.test", 0x7f00000bul, "http", 80}, {"kx-two.test", 0x7f000016ul, "ssh", 22}};
        std::atomic<int> wrong{0};
        std::vector<std::thread> threads;
        // 20000 each (the shared results went wrong some tens of times in
        // that many), or 3 s on an emulated board or under valgrind.
        const double until = kxtest::NowMs() + 3000;
        for (const auto& n : names)
            threads.emplace_back([&] {
                for (int i = 0; i < 20000 && kxtest::NowMs() < until; ++i)
                    if (CSocketHandle::GetIPAddress(n.host) != n.address || CSocketHandle::GetPortNumber(n.service) != n.port)
                        ++wrong;
            });
        for (std::thread& t : threads) t.join();
        EXPECT_EQ(wrong.load(), 0);
    });
}

TEST(SocketAddress, LocalNameAndAddressInPrivateNet) {
    KXSOCK_IN_PRIVATE_NET([] {
        const kxsock::LocalHost local = kxsock::ResolveLocalHost();
        ASSERT_FALSE(local.name.empty());
        char buf[300];
        SetLastError(0);
        EXPECT_FALSE(CSocketHandle::GetLocalName(buf, 0));
        EXPECT_EQ(GetLastError(), 1001);
        SetLastError(0);
        EXPECT_FALSE(CSocketHandle::GetLocalName(nullptr, 10));
        EXPECT_EQ(GetLastError(), 1001);
        const unsigned int len = static_cast<unsigned int>(local.name.size());
        SetLastError(0);
        EXPECT_FALSE(CSocketHandle::GetLocalName(buf, len));
        EXPECT_EQ(GetLastError(), 1000);
        EXPECT_TRUE(CSocketHandle::GetLocalName(buf, len + 1));
        EXPECT_EQ(std::string(buf), local.name);

        SetLastError(0);
        EXPECT_FALSE(CSocketHandle::GetLocalAddress(buf, 0));
        EXPECT_EQ(GetLastError(), 1001);
        if (!local.hasEntry) {
            SetLastError(7);
            EXPECT_FALSE(CSocketHandle::GetLocalAddress(buf, sizeof buf));
            EXPECT_EQ(GetLastError(), 7);
            return;
        }
        const unsigned int alen = static_cast<unsigned int>(local.address.size());
        SetLastError(0);
        EXPECT_FALSE(CSocketHandle::GetLocalAddress(buf, alen));
        EXPECT_EQ(GetLastError(), 1000);
        EXPECT_TRUE(CSocketHandle::GetLocalAddress(buf, alen + 1));
        EXPECT_EQ(std::string(buf), local.address);
    });
}

}  // namespace
