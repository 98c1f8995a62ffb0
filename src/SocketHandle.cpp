#include "SocketHandle.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <poll.h>
#include <sys/time.h>

#include <pthread.h>

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstring>
#include <vector>

#include "SysCall.h"
#include "LogText.h"

int _lastError = 0;
int _lastWSA = 0;

namespace {

// The compatibility functions are inline in the header, so a compiler emits
// them only where they are called; hosts link against the library's own
// copies, so every one of them is referenced here to keep it in the export
// table.
using AnyFunction = void (*)();
__attribute__((used)) const AnyFunction kCompatExports[] = {
    reinterpret_cast<AnyFunction>(&SetLastError),
    reinterpret_cast<AnyFunction>(&GetLastError),
    reinterpret_cast<AnyFunction>(&WSASetLastError),
    reinterpret_cast<AnyFunction>(&WSAGetLastError),
    reinterpret_cast<AnyFunction>(&StringCbCopyA),
    reinterpret_cast<AnyFunction>(&StringCbLengthA),
    reinterpret_cast<AnyFunction>(&StringCbPrintfA),
    reinterpret_cast<AnyFunction>(&InterlockedExchange),
    reinterpret_cast<AnyFunction>(&closesocket),
};

const unsigned char chMinClassA_IP = 1;
const unsigned char chMinClassD_IP = 224;
const unsigned char chMaxClassD_IP = 239;

const int NAME_SIZE = 260;
const unsigned long WAIT_FOREVER = static_cast<unsigned long>(INFINITE);
const int MEMBERSHIP_TTL = 5;
const int LISTEN_BACKLOG = 128;
const int CONNECT_RECV_TIMEOUT_S = 3;
// Option masks of CreateSocket, fixed for hosts: they were taken from the
// Linux numbers of the options themselves (SO_REUSEADDR 2, SO_BROADCAST 6),
// so 2 and 4 both ask for broadcast.
const unsigned int OPT_REUSE_MASK = 2;
const unsigned int OPT_BROADCAST_MASK = 6;
const int ERR_ALREADY_OPEN = 5;
const int ERR_NO_PROTO_OPT = 92;
const int ERR_CONN_RESET = 104;
const int ERR_BUFFER_SMALL = 1000;
const int ERR_BAD_BUFFER = 1001;
// A host text that cannot be resolved: Winsock's numbers for the resolver's
// answers (WSAHOST_NOT_FOUND 11001, WSATRY_AGAIN 11002, WSANO_RECOVERY 11003,
// WSANO_DATA 11004) are 11000 + the h_errno values of netdb.h.
const int ERR_HOST_BASE = 11000;

void RecordSocketError() { SetLastError(WSAGetLastError()); }

// Sockets the helper made itself (CreateSocket, ConnectTo) are close-on-exec
// while it holds them, and Detach hands them over without the flag; a socket
// the host attached is handed back with the flag it came with. Handles are
// the host's own objects with one field, so the helper keeps the numbers of
// its own sockets here.
pthread_mutex_t gOwnLock = PTHREAD_MUTEX_INITIALIZER;
std::vector<long> gOwn;

void Own(long sock) {
    pthread_mutex_lock(&gOwnLock);
    try {
        gOwn.push_back(sock);
    } catch (...) {
        // Unmarked, the socket keeps its close-on-exec flag at Detach.
    }
    pthread_mutex_unlock(&gOwnLock);
}

// Forgets `sock`; true when the helper had made it.
bool Disown(long sock) {
    pthread_mutex_lock(&gOwnLock);
    const auto it = std::find(gOwn.begin(), gOwn.end(), sock);
    const bool own = it != gOwn.end();
    if (own) gOwn.erase(it);
    pthread_mutex_unlock(&gOwnLock);
    return own;
}

// The resolver's reentrant calls fill a buffer of the caller's; a host
// entry with many aliases needs more than the first try.
const size_t kResolveBuffer = 1024;
const size_t kResolveBufferMax = 64 * 1024;

// gethostbyname's answer, in `ent` and `buffer` of this call alone: the
// static result of gethostbyname is shared by every thread of the host.
// false with the resolver's h_errno value in `herr`.
bool LookUpHost(const char* name, hostent* ent, std::vector<char>* buffer, int* herr) {
    for (size_t size = kResolveBuffer; size <= kResolveBufferMax; size *= 2) {
        try {
            buffer->resize(size);
        } catch (...) {
            *herr = NO_RECOVERY;
            return false;
        }
        hostent* result = nullptr;
        *herr = 0;
        const int rc = ::gethostbyname_r(name, ent, buffer->data(), buffer->size(), &result, herr);
        if (rc == ERANGE) continue;
        return rc == 0 && result != nullptr;
    }
    *herr = NO_RECOVERY;
    return false;
}

// Handles hold `long` values without validation (Attach); one outside the
// range of descriptors must fail as a bad descriptor, not be cut into the
// number of some other open file.
int SysFd(long sock) { return sock >= 0 && sock <= INT_MAX ? static_cast<int>(sock) : -1; }

// Transfers answer an int byte count, so no single call may move more.
size_t TransferLimit(unsigned long size) {
    return size > static_cast<unsigned long>(INT_MAX) ? static_cast<size_t>(INT_MAX) : static_cast<size_t>(size);
}

// A wait on one descriptor for `events`, for `timeoutMs`. poll rather than a
// select set, so descriptors of 1024 and above work; a descriptor that is not
// open fails the wait with EBADF, as select does.
int WaitFor(int fd, short events, unsigned long timeoutMs) {
    if (fd < 0) {
        errno = EBADF;
        return -1;
    }
    const unsigned long long maxMs = static_cast<unsigned long long>(LLONG_MAX / 1000 - 1);
    const unsigned long long ms = timeoutMs;
    const long long timeoutUs = static_cast<long long>(ms > maxMs ? maxMs : ms) * 1000;
    short revents = 0;
    int res = kxsys::PollOne(fd, events, timeoutUs, &revents);
    if (res > 0 && (revents & POLLNVAL) != 0) {
        errno = EBADF;
        res = -1;
    }
    return res;
}

int SetIntOption(int fd, int level, int name, int value) {
    return ::setsockopt(fd, level, name, &value, static_cast<socklen_t>(sizeof value));
}

// SO_TYPE into `type`; false when the query fails.
bool QueryType(int fd, int* type) {
    socklen_t len = static_cast<socklen_t>(sizeof *type);
    return ::getsockopt(fd, SOL_SOCKET, SO_TYPE, type, &len) == 0;
}

// The host text's IPv4 address in network order; all ones, and false, when
// it cannot be resolved (the literal 255.255.255.255 resolves).
bool ResolveHost(const char* host, in_addr_t* addr) {
    char local[NAME_SIZE];
    if (host == nullptr || *host == '\0') {
        std::memset(local, 0, sizeof local);
        CSocketHandle::GetLocalName(local, sizeof local);
        host = local;
    }
    *addr = ::inet_addr(host);
    if (*addr != INADDR_NONE || std::strcmp(host, "255.255.255.255") == 0) return true;
    hostent ent;
    std::vector<char> buffer;
    int herr = 0;
    if (LookUpHost(host, &ent, &buffer, &herr) && ent.h_addr_list != nullptr && ent.h_addr_list[0] != nullptr &&
        ent.h_length >= 4) {
        std::memcpy(addr, ent.h_addr_list[0], sizeof *addr);
        return true;
    }
    SetLastError(ERR_HOST_BASE + (herr > 0 ? herr : HOST_NOT_FOUND));
    return false;
}

in_addr_t NetAddress(const char* host) {
    in_addr_t addr;
    ResolveHost(host, &addr);
    return addr;
}

int IntSize(unsigned int size) { return size > static_cast<unsigned int>(INT_MAX) ? INT_MAX : static_cast<int>(size); }

// First octet of an address held in network order (first byte in memory).
unsigned char FirstOctet(unsigned long address) {
    const uint32_t net = static_cast<uint32_t>(address);
    unsigned char bytes[4];
    std::memcpy(bytes, &net, sizeof bytes);
    return bytes[0];
}

// A failed call into the system, then the socket error recorded before the
// descriptor is closed (close may change errno).
bool FailAndClose(int fd) {
    RecordSocketError();
    closesocket(fd);
    return false;
}

}  // namespace

// ---------------------------------------------------------------------------
// SockAddrIn

SockAddrIn::SockAddrIn() : sockaddr_in() { Clear(); }

SockAddrIn::SockAddrIn(const SockAddrIn& other) : sockaddr_in() { Copy(other); }

SockAddrIn::~SockAddrIn() {}

void SockAddrIn::Clear() { std::memset(static_cast<sockaddr_in*>(this), 0, sizeof(sockaddr_in)); }

SockAddrIn& SockAddrIn::Copy(const SockAddrIn& other) {
    if (this != &other) {
        std::memcpy(static_cast<sockaddr_in*>(this), static_cast<const sockaddr_in*>(&other),
                    static_cast<size_t>(Size()));
    }
    return *this;
}

bool SockAddrIn::IsEqual(const SockAddrIn& other) const {
    return std::memcmp(static_cast<const sockaddr_in*>(this), static_cast<const sockaddr_in*>(&other),
                       static_cast<size_t>(Size()) - sizeof sin_zero) == 0;
}

bool SockAddrIn::IsNull() const { return sin_addr.s_addr == 0 && sin_port == 0; }

SockAddrIn::operator sockaddr*() { return reinterpret_cast<sockaddr*>(static_cast<sockaddr_in*>(this)); }

int SockAddrIn::Size() const { return static_cast<int>(sizeof(sockaddr_in)); }

// A host text that cannot be resolved fails: its all-ones stand-in would
// send a later datagram to the broadcast address.
bool SockAddrIn::CreateFrom(const char* host, const char* service, int family) {
    Clear();
    in_addr_t addr;
    const bool resolved = ResolveHost(host, &addr);
    sin_addr.s_addr = addr;
    sin_port = htons(CSocketHandle::GetPortNumber(service));
    sin_family = static_cast<sa_family_t>(family);
    return resolved && !IsNull();
}

bool SockAddrIn::CreateFrom(unsigned long address, unsigned short port, int family, bool hostOrder) {
    Clear();
    if (hostOrder) {
        sin_addr.s_addr = htonl(static_cast<uint32_t>(address));
        sin_port = htons(port);
    } else {
        sin_addr.s_addr = static_cast<in_addr_t>(address);
        sin_port = port;
    }
    sin_family = static_cast<sa_family_t>(family);
    return !IsNull();
}

// ---------------------------------------------------------------------------
// CSocketHandle: the descriptor

CSocketHandle::CSocketHandle() : m_hSock(-1) {}

CSocketHandle::~CSocketHandle() { Close(); }

bool CSocketHandle::IsOpen() const { return m_hSock != -1; }

long CSocketHandle::GetSocket() const { return m_hSock; }

int CSocketHandle::GetSocketType() const {
    if (!IsOpen()) return -1;
    int type = -1;
    if (!QueryType(SysFd(m_hSock), &type)) RecordSocketError();
    return type;
}

bool CSocketHandle::Attach(long sock) {
    if (IsOpen()) return false;
    Disown(sock);  // a number the helper once made is the host's socket now
    m_hSock = sock;
    return true;
}

// The socket becomes the host's, without the close-on-exec flag the helper
// gave one it made: the host decides what its children inherit. One the host
// attached keeps its own flag.
long CSocketHandle::Detach() {
    const long held = m_hSock;
    InterlockedExchange(&m_hSock, -1);
    if (held != -1 && Disown(held)) kxsys::ClearCloseOnExec(SysFd(held));
    return held;
}

bool CSocketHandle::GetSockName(SockAddrIn& addr) const {
    if (!IsOpen()) return false;
    socklen_t len = static_cast<socklen_t>(addr.Size());
    if (::getsockname(SysFd(m_hSock), addr, &len) != 0) {
        RecordSocketError();
        return false;
    }
    return true;
}

bool CSocketHandle::GetPeerName(SockAddrIn& addr) const {
    if (!IsOpen()) return false;
    socklen_t len = static_cast<socklen_t>(addr.Size());
    if (::getpeername(SysFd(m_hSock), addr, &len) != 0) {
        RecordSocketError();
        return false;
    }
    return true;
}

void CSocketHandle::Close() {
    if (!IsOpen()) return;
    const long held = InterlockedExchange(&m_hSock, -1);
    Disown(held);
    ShutdownConnection(held);
}

// ---------------------------------------------------------------------------
// Multicast groups. An empty or null interface text stands for the address
// of the local host name, not for any interface.

bool CSocketHandle::AddMembership(const char* group, const char* nic) {
    if (!IsOpen()) return false;
    const int fd = SysFd(m_hSock);
    int type = 0;
    // A stream socket leaves no pending error here: errno (whatever it holds)
    // becomes the reason, as hosts have always seen it.
    if (!QueryType(fd, &type) || type != SOCK_DGRAM) {
        RecordSocketError();
        return false;
    }
    const in_addr_t nicAddr = NetAddress(nic);
    if (::setsockopt(fd, IPPROTO_IP, IP_MULTICAST_IF, &nicAddr, static_cast<socklen_t>(sizeof nicAddr)) != 0) {
        WSASetLastError(ERR_NO_PROTO_OPT);
        RecordSocketError();
        return false;
    }
    if (SetIntOption(fd, IPPROTO_IP, IP_MULTICAST_TTL, MEMBERSHIP_TTL) != 0) {
        RecordSocketError();
        return false;
    }
    ip_mreq req;
    std::memset(&req, 0, sizeof req);
    req.imr_multiaddr.s_addr = NetAddress(group);
    req.imr_interface.s_addr = nicAddr;
    if (::setsockopt(fd, IPPROTO_IP, IP_ADD_MEMBERSHIP, &req, static_cast<socklen_t>(sizeof req)) != 0) {
        RecordSocketError();
        return false;
    }
    return true;
}

bool CSocketHandle::DropMembership(const char* group, const char* nic) {
    if (!IsOpen()) return false;
    const int fd = SysFd(m_hSock);
    int type = 0;
    if (!QueryType(fd, &type)) {
        RecordSocketError();
        return false;
    }
    if (type != SOCK_DGRAM) {
        WSASetLastError(ERR_NO_PROTO_OPT);
        RecordSocketError();
        return false;
    }
    ip_mreq req;
    std::memset(&req, 0, sizeof req);
    req.imr_multiaddr.s_addr = NetAddress(group);
    req.imr_interface.s_addr = NetAddress(nic);
    if (::setsockopt(fd, IPPROTO_IP, IP_DROP_MEMBERSHIP, &req, static_cast<socklen_t>(sizeof req)) != 0) {
        RecordSocketError();
        return false;
    }
    return true;
}

// ---------------------------------------------------------------------------
// Creating and connecting

bool CSocketHandle::CreateSocket(const char* host, const char* service, int family, int type,
                                 unsigned int options) {
    if (IsOpen()) {
        SetLastError(ERR_ALREADY_OPEN);
        return false;
    }
    const int fd = kxsys::Socket(family, type, 0);
    if (fd < 0) {
        RecordSocketError();
        return false;
    }
    if ((options & OPT_REUSE_MASK) != 0 && SetIntOption(fd, SOL_SOCKET, SO_REUSEADDR, 1) != 0) {
        return FailAndClose(fd);
    }
    if (type == SOCK_DGRAM && (options & OPT_BROADCAST_MASK) != 0 && SetIntOption(fd, SOL_SOCKET, SO_BROADCAST, 1) != 0) {
        return FailAndClose(fd);
    }
    // A null record is bound as well: any address, a port of the system's choice.
    SockAddrIn addr;
    addr.CreateFrom(host, service, family);
    if (::bind(fd, addr, static_cast<socklen_t>(addr.Size())) != 0) return FailAndClose(fd);
    if (type == SOCK_STREAM && ::listen(fd, LISTEN_BACKLOG) != 0) return FailAndClose(fd);
    m_hSock = fd;
    Own(fd);
    return true;
}

// The local address is resolved and a null one refused, but the socket is not
// bound to it: the local host name often resolves to a loopback alias
// (127.0.1.1 on Debian) from which no other host is reachable, so the kernel
// chooses the source address and port for the route to the peer.
bool CSocketHandle::ConnectTo(const char* localHost, const char* remoteHost, const char* service, int family,
                              int type) {
    if (IsOpen()) {
        SetLastError(ERR_ALREADY_OPEN);
        return false;
    }
    const int fd = kxsys::Socket(family, type, 0);
    if (fd < 0) {
        RecordSocketError();
        return false;
    }
    SockAddrIn addr;
    // Only a null local address is refused. The socket is never bound to it,
    // so a local text that cannot be resolved (a device whose host name is
    // in no table) goes on as it always has.
    addr.CreateFrom(localHost, "0", family);
    if (addr.IsNull()) return FailAndClose(fd);
    // The peer is always IPv4, whatever family the socket was made with.
    addr.CreateFrom(remoteHost, service, AF_INET);
    if (::connect(fd, addr, static_cast<socklen_t>(addr.Size())) != 0) return FailAndClose(fd);
    timeval tv;
    tv.tv_sec = CONNECT_RECV_TIMEOUT_S;
    tv.tv_usec = 0;
    // Hosts read with WAIT_FOREVER relying on this time-out.
    if (::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, static_cast<socklen_t>(sizeof tv)) != 0) {
        return FailAndClose(fd);
    }
    m_hSock = fd;
    Own(fd);
    return true;
}

// ---------------------------------------------------------------------------
// Transfers

int CSocketHandle::Read(unsigned char* buffer, unsigned long size, sockaddr* sender, unsigned long timeout) {
    if (!IsOpen() || buffer == nullptr || size == 0) return -1;
    const int fd = SysFd(m_hSock);
    int res = 1;
    int err;
    if (timeout != 0 && timeout != WAIT_FOREVER) {
        res = WaitFor(fd, POLLIN | POLLPRI, timeout);
        err = errno;
        kxlog::Printf("SocketHandle::Read select %d errno=%d\r\n", res, err);
        errno = err;
    }
    if (res == -1) {
        err = errno;
        kxlog::Printf("SocketHandle::Read select err: %d\r\n", err);
        errno = err;
        WSASetLastError(ERR_CONN_RESET);
    }
    if (res > 0) {
        const size_t len = TransferLimit(size);
        ssize_t got;
        if (sender != nullptr) {
            socklen_t senderLen = static_cast<socklen_t>(sizeof(sockaddr_in));
            got = kxsys::RecvFrom(fd, buffer, len, 0, sender, &senderLen);
        } else {
            got = kxsys::Recv(fd, buffer, len, 0);
        }
        res = got < 0 ? -1 : static_cast<int>(got);
        if (res == 0) {
            err = errno;
            kxlog::Printf("Read0 connreset: %d\r\n", ERR_CONN_RESET);
            errno = err;
            WSASetLastError(ERR_CONN_RESET);
            res = -1;
        }
    }
    // errno is kept across the diagnostics so the last error is the number
    // the transfer itself left, not one a printf may have set.
    err = errno;
    kxlog::Printf("SocketHandle::Read res=%d/%ld errno=%d\r\n", res, static_cast<long>(size), err);
    errno = err;
    if (res == -1) {
        SetLastError(err);
        kxlog::Printf("SocketHandle::Read err lastErr=%d errno=%d\r\n", GetLastError(), err);
        errno = err;
    }
    return res;
}

int CSocketHandle::Write(unsigned char* data, unsigned long count, sockaddr* destination, unsigned long timeout) {
    if (!IsOpen() || data == nullptr) return -1;
    const int fd = SysFd(m_hSock);
    int res = 1;
    // Unlike Read, 0 is a real (zero-length) wait: the data goes only if the
    // socket is writable now.
    if (timeout != WAIT_FOREVER) res = WaitFor(fd, POLLOUT, timeout);
    if (res > 0) {
        const size_t len = TransferLimit(count);
        // MSG_NOSIGNAL (in kxsys): a peer that went away must not kill the host.
        const ssize_t sent =
            destination != nullptr
                ? kxsys::SendTo(fd, data, len, 0, destination, static_cast<socklen_t>(sizeof(sockaddr_in)))
                : kxsys::Send(fd, data, len, 0);
        res = sent < 0 ? -1 : static_cast<int>(sent);
    }
    if (res == -1) RecordSocketError();
    return res;
}

// ---------------------------------------------------------------------------
// Descriptor operations without a handle

bool CSocketHandle::InitLibrary(unsigned short /*version*/) { return true; }

bool CSocketHandle::ReleaseLibrary() { return true; }

// Not retried after EINTR: a host breaks a blocking accept with a signal
// handler installed without SA_RESTART (the kernel restarts it otherwise).
long CSocketHandle::WaitForConnection(long sock) {
    const int conn = kxsys::Accept(SysFd(sock), nullptr, nullptr);
    if (conn < 0) {
        RecordSocketError();
        return -1;
    }
    return conn;
}

bool CSocketHandle::ShutdownConnection(long sock) {
    ::shutdown(SysFd(sock), SHUT_RDWR);
    if (closesocket(sock) != 0) {
        RecordSocketError();
        return false;
    }
    return true;
}

// ---------------------------------------------------------------------------
// Addresses

bool CSocketHandle::IsUnicastIP(unsigned long address) {
    const unsigned char first = FirstOctet(address);
    return first >= chMinClassA_IP && first < chMinClassD_IP;
}

bool CSocketHandle::IsMulticastIP(unsigned long address) {
    const unsigned char first = FirstOctet(address);
    return first >= chMinClassD_IP && first <= chMaxClassD_IP;
}

bool CSocketHandle::FormatIP(char* buffer, unsigned int size, unsigned long address, bool hostOrder) {
    if (buffer == nullptr || size == 0) return false;
    const uint32_t net = hostOrder ? htonl(static_cast<uint32_t>(address)) : static_cast<uint32_t>(address);
    unsigned char b[4];
    std::memcpy(b, &net, sizeof b);
    // The buffer gets the text cut to fit, as always; but a cut address is
    // another address, so the result says it did not fit (last error 1000).
    char text[16];
    const int len = std::snprintf(text, sizeof text, "%u.%u.%u.%u", b[0], b[1], b[2], b[3]);
    StringCbPrintfA(buffer, IntSize(size), "%s", text);
    if (len < 0 || static_cast<unsigned int>(len) >= size) {
        SetLastError(ERR_BUFFER_SMALL);
        return false;
    }
    return true;
}

unsigned short CSocketHandle::GetPortNumber(const char* service) {
    if (service == nullptr) return 0;
    if (*service >= '0' && *service <= '9') {
        // The leading digits' decimal value, cut to 16 bits; computed modulo
        // 2^16 so that no text overflows.
        unsigned int port = 0;
        for (const char* p = service; *p >= '0' && *p <= '9'; ++p) {
            port = (port * 10 + static_cast<unsigned int>(*p - '0')) & 0xffffu;
        }
        return static_cast<unsigned short>(port);
    }
    // getservbyname's static result is shared by every thread of the host.
    servent ent;
    servent* found = nullptr;
    char buffer[kResolveBuffer];
    if (::getservbyname_r(service, nullptr, &ent, buffer, sizeof buffer, &found) != 0 || found == nullptr) return 0;
    return ntohs(static_cast<uint16_t>(ent.s_port));
}

// A text that cannot be resolved answers all ones (the classic INADDR_NONE
// sentinel) and leaves the resolver's reason in the last error.
unsigned long CSocketHandle::GetIPAddress(const char* host) {
    in_addr_t addr;
    ResolveHost(host, &addr);
    return ntohl(addr);
}

bool CSocketHandle::GetLocalName(char* buffer, unsigned int size) {
    if (buffer == nullptr || size == 0) {
        SetLastError(ERR_BAD_BUFFER);
        return false;
    }
    char name[NAME_SIZE];
    std::memset(name, 0, sizeof name);
    if (::gethostname(name, sizeof name) != 0) {
        RecordSocketError();
        return false;
    }
    name[sizeof name - 1] = '\0';
    hostent ent;
    std::vector<char> lookup;
    int herr = 0;
    if (LookUpHost(name, &ent, &lookup, &herr) && ent.h_name != nullptr) StringCbCopyA(name, NAME_SIZE, ent.h_name);
    unsigned int len = 0;
    StringCbLengthA(name, NAME_SIZE, &len);
    if (len >= size) {
        SetLastError(ERR_BUFFER_SMALL);
        return false;
    }
    StringCbCopyA(buffer, IntSize(size), name);
    return true;
}

bool CSocketHandle::GetLocalAddress(char* buffer, unsigned int size) {
    if (buffer == nullptr || size == 0) {
        SetLastError(ERR_BAD_BUFFER);
        return false;
    }
    char text[NAME_SIZE];
    std::memset(text, 0, sizeof text);
    if (::gethostname(text, sizeof text) != 0) {
        RecordSocketError();
        return false;
    }
    text[sizeof text - 1] = '\0';
    hostent ent;
    std::vector<char> lookup;
    int herr = 0;
    if (!LookUpHost(text, &ent, &lookup, &herr) || ent.h_addr_list == nullptr || ent.h_addr_list[0] == nullptr ||
        ent.h_length < 4) {
        SetLastError(ERR_HOST_BASE + (herr > 0 ? herr : HOST_NOT_FOUND));
        return false;
    }
    const unsigned char* a = reinterpret_cast<const unsigned char*>(ent.h_addr_list[0]);
    StringCbPrintfA(text, NAME_SIZE, "%u.%u.%u.%u", a[0], a[1], a[2], a[3]);
    unsigned int len = 0;
    StringCbLengthA(text, NAME_SIZE, &len);
    if (len >= size) {
        SetLastError(ERR_BUFFER_SMALL);
        return false;
    }
    StringCbCopyA(buffer, IntSize(size), text);
    return true;
}
