// General-purpose socket helper exported beside the channels: an IPv4
// address record (SockAddrIn), a socket handle (CSocketHandle), and the small
// set of Windows-named functions the helper is written against.
//
// Hosts link against the mangled names of everything declared here, so the
// parameter types are a binary contract: `long` descriptors, `unsigned long`
// sizes and time-outs, `unsigned int` buffer sizes and option masks (`long`
// is 32 bits on armhf, 64 on x86_64).
#ifndef KXSER_SOCKETHANDLE_H
#define KXSER_SOCKETHANDLE_H

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#ifndef INFINITE
#define INFINITE (-1)
#endif

// ---------------------------------------------------------------------------
// Windows-named compatibility functions.
//
// The error numbers are process-wide and unsynchronised (not per thread as
// on Windows): a number one thread records can be overwritten or consumed by
// another.

// Last error recorded by the socket helper.
extern int _lastError;
// Pending socket error; 0 when none is pending. Reported once.
extern int _lastWSA;

inline void SetLastError(int code) { _lastError = code; }

inline int GetLastError() { return _lastError; }

inline int WSASetLastError(int code) {
    _lastWSA = code;
    return code;
}

// A pending socket error wins over errno exactly once.
inline int WSAGetLastError() {
    const int sysErr = errno;
    if (_lastWSA != 0) {
        const int pending = _lastWSA;
        _lastWSA = 0;
        return pending;
    }
    return sysErr;
}

// Sizes are in bytes and include the terminator. A size below 1 or a null
// pointer leaves the destination untouched.
inline int StringCbCopyA(char* dst, int size, const char* src) {
    if (dst == nullptr || src == nullptr || size < 1) return 0;
    const size_t limit = static_cast<size_t>(size) - 1;
    size_t n = 0;
    while (n < limit && src[n] != '\0') ++n;
    if (dst + n != src) std::memmove(dst, src, n);
    dst[n] = '\0';
    dst[limit] = '\0';
    return 0;
}

// The size is not consulted: callers compare the full length with it.
inline int StringCbLengthA(const char* text, int /*size*/, unsigned int* length) {
    if (length != nullptr) *length = text != nullptr ? static_cast<unsigned int>(std::strlen(text)) : 0u;
    return 0;
}

__attribute__((format(printf, 3, 4))) inline int StringCbPrintfA(char* dst, int size, const char* format, ...) {
    if (dst == nullptr || format == nullptr || size < 1) return 0;
    va_list args;
    va_start(args, format);
    std::vsnprintf(dst, static_cast<size_t>(size), format, args);
    va_end(args);
    dst[size - 1] = '\0';
    return 0;
}

// A plain read and write, not atomic: a handle is used by one thread at a time.
inline long InterlockedExchange(long* target, long value) {
    const long old = *target;
    *target = value;
    return old;
}

// Not shut down first; CSocketHandle::ShutdownConnection does that. A value
// that cannot be a descriptor must not be cut into one that is.
inline int closesocket(long sock) {
    if (sock < 0 || sock > INT_MAX) {
        errno = EBADF;
        return -1;
    }
    return ::close(static_cast<int>(sock));
}

// ---------------------------------------------------------------------------
// IPv4 socket address: byte for byte the system's record, so it can be handed
// to socket calls as it is.

struct SockAddrIn : public sockaddr_in {
    SockAddrIn();
    SockAddrIn(const SockAddrIn& other);
    ~SockAddrIn();
    SockAddrIn& operator=(const SockAddrIn& other) { return Copy(other); }

    void Clear();
    SockAddrIn& Copy(const SockAddrIn& other);
    // Family, port and address; the filler is never compared.
    bool IsEqual(const SockAddrIn& other) const;
    // Address and port both 0, whatever the family.
    bool IsNull() const;
    operator sockaddr*();
    int Size() const;
    // Host and service resolved by CSocketHandle::GetIPAddress/GetPortNumber.
    bool CreateFrom(const char* host, const char* service, int family);
    bool CreateFrom(unsigned long address, unsigned short port, int family, bool hostOrder);
};

static_assert(sizeof(SockAddrIn) == sizeof(sockaddr_in), "SockAddrIn must be the system record");
static_assert(sizeof(SockAddrIn) == 16, "hosts pass the record with the length 16");

// ---------------------------------------------------------------------------
// One socket descriptor. Operations report success by their result and leave
// the reason in the last error (GetLastError).

class CSocketHandle {
public:
    CSocketHandle();
    ~CSocketHandle();

    bool IsOpen() const;
    long GetSocket() const;
    int GetSocketType() const;
    bool Attach(long sock);
    long Detach();
    bool GetSockName(SockAddrIn& addr) const;
    bool GetPeerName(SockAddrIn& addr) const;
    void Close();
    bool AddMembership(const char* group, const char* nic);
    bool DropMembership(const char* group, const char* nic);
    // options: bit 2 sets SO_REUSEADDR; on datagram sockets bits 2 and 4 set
    // SO_BROADCAST.
    bool CreateSocket(const char* host, const char* service, int family, int type, unsigned int options);
    bool ConnectTo(const char* localHost, const char* remoteHost, const char* service, int family, int type);
    int Read(unsigned char* buffer, unsigned long size, sockaddr* sender, unsigned long timeout);
    int Write(unsigned char* data, unsigned long count, sockaddr* destination, unsigned long timeout);

    static bool InitLibrary(unsigned short version);
    static bool ReleaseLibrary();
    static long WaitForConnection(long sock);
    static bool ShutdownConnection(long sock);

    static bool IsUnicastIP(unsigned long address);
    static bool IsMulticastIP(unsigned long address);
    static bool FormatIP(char* buffer, unsigned int size, unsigned long address, bool hostOrder);
    static unsigned short GetPortNumber(const char* service);
    static unsigned long GetIPAddress(const char* host);
    static bool GetLocalName(char* buffer, unsigned int size);
    static bool GetLocalAddress(char* buffer, unsigned int size);

    long m_hSock;
};

#endif
