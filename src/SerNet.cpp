#include "SerNet.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/ip.h>
#include <netinet/tcp.h>
#include <stdint.h>
#include <sys/ioctl.h>
#include <sys/time.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "Decimal.h"
#include "LogText.h"
#include "SysCall.h"

namespace {

const int MAX_TRY_COUNT = 1;
const int kDefaultPort = 20600;
const int kConnectWaits = 3;
const long long kConnectWaitUs = 5LL * 1000000LL;
const long long kPurgeWaitUs = 50;
const int kSendTimeoutSec = 2;
// A TCP peer that vanishes (power cut, pulled cable, a NAT that forgot the
// connection) sends no FIN or RST, and the kernel's retransmissions take
// about 15 minutes to give up. Idle probes catch it for a host that only
// reads (10 s idle, then probes 5 s apart), the user time-out for a host whose
// data goes unacknowledged (20 s): either way within 30 s, after which the
// next wait, receive or send fails and closes the channel.
struct SocketOption {
    int level;
    int name;
    int value;
};
const SocketOption kKeepAlive[] = {
    {SOL_SOCKET, SO_KEEPALIVE, 1},
    {IPPROTO_TCP, TCP_KEEPIDLE, 10},
    {IPPROTO_TCP, TCP_KEEPINTVL, 5},
    {IPPROTO_TCP, TCP_KEEPCNT, 3},
    {IPPROTO_TCP, TCP_USER_TIMEOUT, 20000},
};
unsigned AddressOf(const void* p) {
    return static_cast<unsigned>(reinterpret_cast<uintptr_t>(p));
}

enum Mode { MODE_TCP, MODE_UDP, MODE_BROADCAST };

Mode ModeOf(const char* addr) {
    switch (addr[0]) {
        case 'b': case 'B': return MODE_BROADCAST;
        case 'u': case 'U': return MODE_UDP;
        default: return MODE_TCP;
    }
}

// The dotted IPv4 text of the address: after the mode letter for UDP.
const char* HostText(const char* addr, Mode mode) {
    return mode == MODE_UDP ? addr + 1 : addr;
}

// False when either call fails: the mode is then not the one asked for.
bool SetBlocking(int fd, bool blocking) {
    int flags = fcntl(fd, F_GETFL, 0);
    if (flags < 0) return false;
    if (blocking)
        flags &= ~O_NONBLOCK;
    else
        flags |= O_NONBLOCK;
    return fcntl(fd, F_SETFL, flags) == 0;
}

// A poll that reports a descriptor that is not open as a failed wait with
// EBADF, the way a select on it would.
int WaitOne(int fd, short events, long long timeoutUs, short* revents, long long* leftUs) {
    short got = 0;
    int r = kxsys::PollOne(fd, events, timeoutUs, &got, leftUs);
    if (r > 0 && (got & POLLNVAL)) {
        errno = EBADF;
        r = -1;
    }
    if (revents != nullptr) *revents = got;
    return r;
}

}  // namespace

CSerNet::CSerNet(int index) : CSerBase(index) {
    InitParams();
    if (index != m_nIndex) {
        m_nIndex = index;
        UpdNote();
    }
    kxlog::Printf("SerNet new: %x  %d\r\n", AddressOf(this), index);
}

CSerNet::CSerNet(const char* def) : CSerBase(def) {
    InitParams();
    UpdParams(def);
    kxlog::Printf("SerNet new: %x  %s\r\n", AddressOf(this), def != nullptr ? def : "(null)");
}

// No host can reach the socket (GetHandle answers -1), so one left open
// would leak for the life of the process when the manager is freed.
CSerNet::~CSerNet() {
    if (m_nSocket >= 0) kxsys::Close(m_nSocket);
    m_nSocket = -1;
}

void CSerNet::InitParams() {
    m_nSocket = -1;
    strcpy(m_szAddr, "127.0.0.1");
    m_nKind = KIND_NET;
    m_nIndex = kDefaultPort;
    m_nByteTimeout = 10;
    m_nBaseTimeout = 1000;
    m_nTryCount = 0;
    m_nMaxTryCount = MAX_TRY_COUNT;
    m_nAgainCount = 0;
    UpdNote();
}

void CSerNet::UpdNote() {
    m_nPort = m_nIndex;
    char note[64];
    snprintf(note, sizeof note, "NET %d %s:%d", m_nIndex, m_szAddr, m_nPort);
    m_strNote = note;
}

void CSerNet::UpdParams(const char* def) {
    if (def == nullptr || def[0] == '\0') return;
    const char* colon = strchr(def, ':');
    size_t n = colon != nullptr ? static_cast<size_t>(colon - def) : strlen(def);
    if (n > sizeof m_szAddr - 1) n = sizeof m_szAddr - 1;
    memcpy(m_szAddr, def, n);
    m_szAddr[n] = '\0';
    m_nIndex = colon != nullptr ? kxnum::DecimalOrZero(colon + 1) : 0;
    if (m_nIndex == 0) m_nIndex = kDefaultPort;
    UpdNote();
}

int CSerNet::SetPort(int value) {
    // Above 16 bits the value is a type code: relabel the channel, keep the peer.
    if (value > 0xffff)
        m_nIndex = value & 0xffff;
    else
        m_nPort = value & 0xffff;
    return 1;
}

int CSerNet::Open(const char* def) {
    UpdParams(def);
    if (m_nSocket >= 0) {
        kxsys::Close(m_nSocket);
        m_nSocket = -1;
    }

    // Only the low 16 bits would reach the network: 99999 would connect to
    // 34463 while the note says 99999.
    if (m_nPort < 1 || m_nPort > 0xffff) {
        kxlog::Printf("CSerNet::Open ERROR: port %d out of range!\n", m_nPort);
        m_reason.Set(REASON_ADDRESS, "port %d out of range (1 to 65535)", m_nPort);
        return 0;
    }
    sockaddr_in sa;
    memset(&sa, 0, sizeof sa);
    sa.sin_family = AF_INET;
    sa.sin_port = htons(static_cast<uint16_t>(m_nPort));

    const Mode mode = ModeOf(m_szAddr);
    int fd;
    if (mode == MODE_BROADCAST) {
        fd = kxsys::Socket(AF_INET, SOCK_DGRAM, 0);
        if (fd < 0) {
            m_reason.System(errno, "socket");
            kxlog::Puts("CSerNet::Open ERROR: Failed to obtain Socket Descriptor!");
            return 0;
        }
        int on = 1;
        if (setsockopt(fd, SOL_SOCKET, SO_BROADCAST, &on, sizeof on) != 0) {
            m_reason.System(errno, "setsockopt SO_BROADCAST");
            kxlog::Puts("CSerNet::Open ERROR: Failed to setsockopt!");
            kxsys::Close(fd);
            return 0;
        }
        m_nSocket = fd;
        kxlog::Printf("CSerNet::Open ok: %s!\n", m_szAddr);
        m_reason.Clear();
        return 1;
    }

    // Only dotted IPv4 text is converted: anything else would leave the
    // destination undefined.
    const char* host = HostText(m_szAddr, mode);
    if (inet_pton(AF_INET, host, &sa.sin_addr) != 1) {
        kxlog::Printf("CSerNet::Open ERROR: Invalid IPv4 address: %s!\n", host);
        m_reason.Set(REASON_ADDRESS, "Invalid IPv4 address: %s (dotted IPv4 only)", host);
        return 0;
    }

    if (mode == MODE_UDP) {
        fd = kxsys::Socket(AF_INET, SOCK_DGRAM, 0);
        if (fd < 0) {
            m_reason.System(errno, "socket");
            kxlog::Puts("CSerNet::Open ERROR: Failed to obtain Socket Descriptor!");
            return 0;
        }
        timeval tv;
        tv.tv_sec = kSendTimeoutSec;
        tv.tv_usec = 0;
        if (setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv) != 0) {
            m_reason.System(errno, "setsockopt SO_SNDTIMEO");
            kxlog::Printf("CSerNet::Open setsockopt err:%d!\n", errno);
            kxsys::Close(fd);
            return 0;
        }
    } else {
        fd = kxsys::Socket(AF_INET, SOCK_STREAM, 0);
        if (fd < 0) {
            m_reason.System(errno, "socket");
            kxlog::Puts("CSerNet::Open ERROR: Failed to obtain Socket Descriptor!");
            kxlog::Puts("CSerNet::Open ERROR: Failed to obtain Socket Descriptor!");
            return 0;
        }
        int on = 1;
        if (setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on) != 0) {
            m_reason.System(errno, "setsockopt TCP_NODELAY");
            kxlog::Puts("CSerNet::Open ERROR: Failed to setsockopt TCP_NODELAY!");
            kxsys::Close(fd);
            return 0;
        }
        int tos = IPTOS_LOWDELAY;
        if (setsockopt(fd, IPPROTO_IP, IP_TOS, &tos, sizeof tos) != 0) {
            m_reason.System(errno, "setsockopt IP_TOS");
            kxlog::Puts("CSerNet::Open ERROR: Failed to setsockopt IPTOS_LOWDELAY!");
            kxsys::Close(fd);
            return 0;
        }
        for (const SocketOption& o : kKeepAlive) {
            if (setsockopt(fd, o.level, o.name, &o.value, sizeof o.value) != 0) {
                m_reason.System(errno, "setsockopt keep-alive");
                kxlog::Puts("CSerNet::Open ERROR: Failed to setsockopt keep-alive!");
                kxsys::Close(fd);
                return 0;
            }
        }
    }

    // Non-blocking connect: the channel bounds the time to connect itself
    // instead of leaving it to the system's SYN retries.
    if (!SetBlocking(fd, false)) {
        m_reason.System(errno, "fcntl");
        kxlog::Printf("CSerNet::Open fcntl err:%d!\n", errno);
        kxsys::Close(fd);
        return 0;
    }
    const sockaddr* to = reinterpret_cast<const sockaddr*>(&sa);
    if (::connect(fd, to, sizeof sa) != 0) {
        int err = errno;
        kxlog::Puts("CSerNet::Open ERROR: Failed to connect to the host!");
        if (err != EINPROGRESS) {
            m_reason.System(err, "connect");
            kxsys::Close(fd);
            return 0;
        }
        bool connected = false;
        // A peer that never answers costs all the waits: ETIMEDOUT.
        err = ETIMEDOUT;
        for (int i = 0; i < kConnectWaits; ++i) {
            short rev = 0;
            const int r = WaitOne(fd, POLLIN | POLLOUT, kConnectWaitUs, &rev, nullptr);
            if (r < 0) {
                err = errno;
                connected = false;
                break;
            }
            if (r == 0) {
                connected = false;
                continue;
            }
            // Errors and hang-ups count as readable and writable, as in select.
            if ((rev & (POLLIN | POLLOUT | POLLERR | POLLHUP)) == 0) continue;
            // Linux answers a second connect on a completed connection with
            // 0 rather than EISCONN; both mean connected.
            if (::connect(fd, to, sizeof sa) == 0 || errno == EISCONN) {
                connected = true;
                break;
            }
            err = errno;
            connected = false;
        }
        if (!connected) {
            if (err == ETIMEDOUT) m_reason.Set(ETIMEDOUT, "connect: no answer within %d s", kConnectWaits * 5);
            else m_reason.System(err, "connect");
            kxsys::Close(fd);
            return 0;
        }
    }

    // Reads rely on a blocking socket (an INFINITE one receives without a
    // wait first), so a socket left non-blocking is no connection.
    if (!SetBlocking(fd, true)) {
        m_reason.System(errno, "fcntl");
        kxlog::Printf("CSerNet::Open fcntl err:%d!\n", errno);
        kxsys::Close(fd);
        return 0;
    }
    kxlog::Printf("OK: Have connected to the %s\n", m_szAddr);
    m_nSocket = fd;
    m_reason.Clear();
    return 1;
}

int CSerNet::IsOpened() {
    if (m_nSocket >= 0) return 1;
    ++m_nTryCount;
    if (m_nTryCount < m_nMaxTryCount) return 0;
    m_nTryCount = 0;
    return Open(nullptr);
}

int CSerNet::Close() {
    kxsys::Close(m_nSocket);
    m_nSocket = -1;
    return 1;
}

int CSerNet::Read(unsigned char* buf, int size, int timeout) {
    if (m_nSocket < 0) return m_reason.Refuse(EBADF, "the channel is not open");
    // A null buffer is the caller's mistake, not a lost connection: refuse
    // it before the receive would fail and close the channel. A negative
    // size would receive 0 bytes, which reads as a closed TCP peer and
    // throws away the pending datagram in UDP.
    if (size < 0 || (buf == nullptr && size > 0)) return m_reason.Refuse(EINVAL, "Read: no buffer, or a negative size");

    // Wide arithmetic: a huge request must not wrap into a negative wait,
    // which would mean an unbounded receive.
    long long wide = static_cast<long long>(m_nByteTimeout) * size + m_nBaseTimeout;
    if (wide > INT_MAX) wide = INT_MAX;
    if (wide < INT_MIN) wide = INT_MIN;
    int wait = static_cast<int>(wide);
    if (timeout == INFINITE)
        wait = -1;
    else if (timeout > 0)
        wait = timeout;

    const Mode mode = ModeOf(m_szAddr);
    int r = 1;
    long long leftUs = 0;
    if (wait > 0) r = WaitOne(m_nSocket, POLLIN | POLLPRI, wait * 1000LL, nullptr, &leftUs);
    if (r < 0) {
        m_reason.System(errno, "the wait for data");
        if (mode == MODE_BROADCAST) return -1;
        kxlog::Printf("CSerNet::Read select err: %d\r\n", errno);
        Close();
        return -1;
    }
    if (r == 0) {
        if (mode == MODE_BROADCAST) {
            m_reason.Clear();
            return 0;
        }
        m_reason.Set(ETIMEDOUT, "nothing received within %d ms", wait);
        kxlog::Printf("CSerNet::Read select timeout: stTime.tv_sec=%d,stTime.tv_usec=%d,waittime=%d\r\n",
               static_cast<int>(leftUs / 1000000), static_cast<int>(leftUs % 1000000), wait);
        return -1;
    }

    CLogText log;
    log.Line("CSerNet::Read recv start:\r");
    const ssize_t n = kxsys::Recv(m_nSocket, buf, static_cast<size_t>(size), 0);
    const int err = errno;
    log.Line("CSerNet::Read recv end:\r");
    if (n < 0) {
        m_reason.System(err, "recv");
        log.Format("CSerNet::Read recv err: %d\r\n", err);
        log.Flush();
        Close();
        return -1;
    }
    const int got = static_cast<int>(n);
    log.Format("CSerNet::Read recv: %d\r\n", got);
    log.Dump("RECV: ", buf, got);
    log.Flush();
    // A TCP peer that closed its end: the connection is dead, so close the
    // channel and let the next IsOpened reconnect, instead of reading 0 for
    // ever and sending into the void. A receive of 0 bytes asked for, and an
    // empty datagram, are no close.
    if (got == 0 && size > 0 && mode == MODE_TCP) {
        m_reason.Set(ENOTCONN, "the peer closed the connection; the channel is closed");
        Close();
    } else {
        m_reason.Clear();
    }
    return got;
}

int CSerNet::Write(const unsigned char* data, int len) {
    if (m_nSocket < 0) return m_reason.Refuse(EBADF, "the channel is not open");
    // A negative length would send whatever lies beyond the caller's data;
    // a null buffer has nothing to send.
    if (len < 0 || (data == nullptr && len > 0)) return m_reason.Refuse(EINVAL, "Write: no data, or a negative length");

    const Mode mode = ModeOf(m_szAddr);
    ssize_t r;
    if (mode == MODE_TCP) {
        r = kxsys::Send(m_nSocket, data, static_cast<size_t>(len), 0);
    } else {
        sockaddr_in sa;
        memset(&sa, 0, sizeof sa);
        sa.sin_family = AF_INET;
        sa.sin_port = htons(static_cast<uint16_t>(m_nPort & 0xffff));
        if (m_nPort < 1 || m_nPort > 0xffff) {
            // A port set since Open that only its low 16 bits would name.
            errno = EDESTADDRREQ;
            r = -1;
        } else if (mode == MODE_BROADCAST) {
            sa.sin_addr.s_addr = htonl(INADDR_BROADCAST);
            r = kxsys::SendTo(m_nSocket, data, static_cast<size_t>(len), 0,
                              reinterpret_cast<const sockaddr*>(&sa), sizeof sa);
        } else if (inet_pton(AF_INET, HostText(m_szAddr, mode), &sa.sin_addr) == 1) {
            r = kxsys::SendTo(m_nSocket, data, static_cast<size_t>(len), 0,
                              reinterpret_cast<const sockaddr*>(&sa), sizeof sa);
        } else {
            // Not dotted IPv4 (changed since Open): no defined destination.
            errno = EDESTADDRREQ;
            r = -1;
        }
    }
    const int sent = static_cast<int>(r);
    if (sent >= 0) m_reason.Clear();
    else if (errno == EDESTADDRREQ && mode != MODE_TCP) m_reason.Set(REASON_ADDRESS, "no dotted IPv4 address or port 1 to 65535 to send to");
    else m_reason.System(errno, "send");
    CLogText log;
    if (sent < 0) log.Line("ERROR: Failed to sent string.");
    log.Dump("SEND: ", data, sent);
    log.Flush();
    // Closed after the lines are out; Close itself logs nothing.
    if (sent < 0) Close();
    return sent;
}

namespace {

// What a purge may take: what was pending when it began, never the stream
// that keeps coming after (a peer that pushes data would keep it going for
// as long as it sends). TCP: the bytes queued then; datagrams: as many as
// the receive buffer can hold (the system tells the size of the first one
// only).
long long PurgeBudget(int fd, bool stream) {
    int queued = 0;
    if (stream && ioctl(fd, FIONREAD, &queued) == 0) return queued;
    // Unknown (a TCP count the system did not give): no more than the
    // receive buffer holds.
    int buffer = 0;
    socklen_t len = sizeof buffer;
    if (getsockopt(fd, SOL_SOCKET, SO_RCVBUF, &buffer, &len) != 0 || buffer <= 0) buffer = 212992;
    return stream ? buffer : buffer / 256 + 1;
}

// After the bytes that were pending, a TCP stream may hold its end (the
// peer's close came with them): taken like a byte, but no later data. A
// look that fails leaves it to the receive to tell.
bool EndOrFailureNext(int fd) {
    unsigned char byte;
    return kxsys::Recv(fd, &byte, 1, MSG_PEEK | MSG_DONTWAIT) <= 0;
}

}  // namespace

int CSerNet::Purge() {
    if (m_nSocket < 0) return 0;
    const bool stream = ModeOf(m_szAddr) == MODE_TCP;
    long long budget = PurgeBudget(m_nSocket, stream);
    // One budget of 50 microseconds for the whole purge, as a select reusing
    // its time record would spend it.
    long long leftUs = kPurgeWaitUs;
    for (;;) {
        const long long wait = leftUs;
        const int r = WaitOne(m_nSocket, POLLIN, wait, nullptr, &leftUs);
        if (r < 0) return 0;
        if (r == 0) return 1;
        // The rest came after the purge began: the next Read's, as a late reply.
        if (budget <= 0 && (!stream || !EndOrFailureNext(m_nSocket))) return 1;
        kxlog::Printf("...%s purge recv\r\n", GetNote());
        unsigned char byte = 0;
        const ssize_t n = kxsys::Recv(m_nSocket, &byte, 1, 0);
        const int err = errno;
        kxlog::Printf("...%s purge recv: %d %02x\r\n", GetNote(), static_cast<int>(n), n > 0 ? byte : 0);
        if (n > 0 || (!stream && n == 0)) --budget;
        if (n > 0 || (n < 0 && (err == EAGAIN || err == EINTR))) continue;
        // The end of a TCP stream and a failed receive end the connection,
        // as in Read: left open, the next Write would go into a dead
        // connection, or the rest of the input would read as new. An empty
        // datagram is no close.
        if (n < 0 || stream) {
            Close();
            return 1;
        }
    }
}

int CSerNet::GetQueued(int* in, int* out) {
    if (m_nSocket < 0) return m_reason.Set(EBADF, "the channel is not open"), 0;
    int waiting = 0, unsent = 0;
    if (ioctl(m_nSocket, FIONREAD, &waiting) != 0) return m_reason.System(errno, "FIONREAD"), 0;
    if (ioctl(m_nSocket, TIOCOUTQ, &unsent) != 0) return m_reason.System(errno, "TIOCOUTQ"), 0;
    if (in != nullptr) *in = waiting;
    if (out != nullptr) *out = unsent;
    m_reason.Clear();
    return 1;
}

int CSerNet::IsConnDropped(unsigned long err) {
    kxlog::Printf("net isdroped: %ld\r\n", static_cast<long>(err));
    switch (err) {
        case 11:  // EAGAIN
            if (m_nAgainCount < INT_MAX) ++m_nAgainCount;
            return m_nAgainCount > 2 ? 1 : 0;
        case 88:     // ENOTSOCK
        case 100:    // ENETDOWN
        case 101:    // ENETUNREACH
        case 102:    // ENETRESET
        case 103:    // ECONNABORTED
        case 104:    // ECONNRESET
        case 10058:  // WSAESHUTDOWN
        case 10064:  // WSAEHOSTDOWN
        case 10065:  // WSAEHOSTUNREACH
            kxlog::Printf("...%s conn dropped: %d\r\n", GetNote(), static_cast<int>(err));
            return 1;
        default:
            return 0;
    }
}
