// Thin layer over the system calls the channels make. Nothing here retries
// an interrupted transfer: the kernel already restarts read, write, send,
// recv, accept and connect for handlers installed with SA_RESTART, and a
// handler without it is how a host breaks a blocking read, so EINTR takes the
// caller's failure path. Waits are the exception: no flag restarts poll, so
// PollOne resumes with the time that is left. `close` is never retried (the
// descriptor is gone after the first try on Linux). Waits use poll so
// descriptors of any number work.
//
// Every descriptor the library obtains stays above 2: a daemon host that
// closed its standard streams would otherwise hand its next descriptor, say
// the TCP socket to a PLC, to standard output, and every log line would go to
// the peer. Every descriptor the library keeps is close-on-exec: a helper the
// host runs (system, popen) would otherwise hold our tty and its lock, or keep
// a TCP connection alive after our Close. An accepted socket is handed to the
// host and stays as the host would make it.
#ifndef KXSER_SYSCALL_H
#define KXSER_SYSCALL_H

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <linux/futex.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/types.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>

namespace kxsys {

// Moves a new descriptor that landed on 0, 1 or 2 above them (keeping its
// close-on-exec flag) and closes the low one; -1 when it cannot be moved.
// Above 2, the common case, it costs nothing.
inline int AboveStdio(int fd) noexcept {
    if (fd < 0 || fd > 2) return fd;
    const int fdFlags = ::fcntl(fd, F_GETFD);
    const int moved =
        fdFlags < 0 ? -1 : ::fcntl(fd, (fdFlags & FD_CLOEXEC) ? F_DUPFD_CLOEXEC : F_DUPFD, 3);
    const int err = errno;
    ::close(fd);
    errno = err;
    return moved;
}

inline int Open(const char* path, int flags) noexcept {
    return AboveStdio(::open(path, flags | O_CLOEXEC));
}

inline int Socket(int domain, int type, int protocol) noexcept {
    return AboveStdio(::socket(domain, type | SOCK_CLOEXEC, protocol));
}

// For a descriptor handed over to the host: what its children inherit is
// the host's to decide.
inline void ClearCloseOnExec(int fd) noexcept {
    const int fdFlags = ::fcntl(fd, F_GETFD);
    if (fdFlags >= 0 && (fdFlags & FD_CLOEXEC) != 0) ::fcntl(fd, F_SETFD, fdFlags & ~FD_CLOEXEC);
}

inline int Accept(int fd, sockaddr* addr, socklen_t* len) noexcept {
    return AboveStdio(::accept(fd, addr, len));
}

inline int Close(int fd) noexcept { return ::close(fd); }

// Lets go of a tty: its exclusive flag when `clearExclusive` (the flag belongs
// to the tty, not to the descriptor, and lasts while anything else holds the
// tty open), its flock (a forked child's copy of the descriptor would keep
// it), then the descriptor. errno is kept for the caller's report.
inline void ReleaseTty(int fd, bool clearExclusive) noexcept {
    const int err = errno;
    if (clearExclusive) ::ioctl(fd, TIOCNXCL);
    ::flock(fd, LOCK_UN);
    ::close(fd);
    errno = err;
}

inline ssize_t Read(int fd, void* buf, size_t len) noexcept { return ::read(fd, buf, len); }

inline ssize_t Write(int fd, const void* buf, size_t len) noexcept { return ::write(fd, buf, len); }

// MSG_NOSIGNAL: a peer that reset the connection must not kill the host.
inline ssize_t Send(int fd, const void* buf, size_t len, int flags) noexcept {
    return ::send(fd, buf, len, flags | MSG_NOSIGNAL);
}

inline ssize_t SendTo(int fd, const void* buf, size_t len, int flags, const sockaddr* to,
                      socklen_t tolen) noexcept {
    return ::sendto(fd, buf, len, flags | MSG_NOSIGNAL, to, tolen);
}

inline ssize_t Recv(int fd, void* buf, size_t len, int flags) noexcept {
    return ::recv(fd, buf, len, flags);
}

inline ssize_t RecvFrom(int fd, void* buf, size_t len, int flags, sockaddr* from,
                        socklen_t* fromlen) noexcept {
    return ::recvfrom(fd, buf, len, flags, from, fromlen);
}

inline long long MonotonicUs() noexcept {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<long long>(ts.tv_sec) * 1000000LL + ts.tv_nsec / 1000;
}

// Waits for `events` on one descriptor, like a select on one-element sets but
// for any descriptor number. `timeoutUs` < 0 waits without limit. Returns
// poll's result (1 ready, 0 timed out, -1 failed); `revents` gets the events;
// `leftUs` (when given) gets the time not used, as select leaves its record.
// An interrupted wait resumes with the time that is left, so a benign signal
// neither ends the wait early nor stretches it. ppoll keeps the microseconds,
// so short waits are not rounded to milliseconds.
inline int PollOne(int fd, short events, long long timeoutUs, short* revents = nullptr,
                       long long* leftUs = nullptr) noexcept {
    struct pollfd p;
    p.fd = fd;
    p.events = events;
    p.revents = 0;
    const long long deadline = timeoutUs < 0 ? 0 : MonotonicUs() + timeoutUs;
    int r;
    for (;;) {
        struct timespec ts;
        struct timespec* tsp = nullptr;
        if (timeoutUs >= 0) {
            long long left = deadline - MonotonicUs();
            if (left < 0) left = 0;
            ts.tv_sec = static_cast<time_t>(left / 1000000);
            ts.tv_nsec = static_cast<long>((left % 1000000) * 1000);
            tsp = &ts;
        }
        r = ::ppoll(&p, 1, tsp, nullptr);
        if (r >= 0 || errno != EINTR) break;
    }
    if (revents != nullptr) *revents = p.revents;
    if (leftUs != nullptr) {
        if (timeoutUs < 0 || r == 0) {
            *leftUs = 0;
        } else {
            long long left = deadline - MonotonicUs();
            *leftUs = left > 0 ? left : 0;
        }
    }
    return r;
}

// Sleeps while the 32-bit word at `word` still holds `expected` (or until
// a wake for one of the bits of `mask`, or a signal; callers look again
// either way). A waiter sleeps under its own bit so that a wake reaches
// only the waiter it is meant for.
inline void FutexWaitBits(unsigned* word, unsigned expected, unsigned mask) noexcept {
    const int err = errno;
    ::syscall(SYS_futex, word, FUTEX_WAIT_BITSET_PRIVATE, expected, nullptr, nullptr, mask);
    errno = err;
}

// Wakes the threads sleeping on `word` under any bit of `mask`.
inline void FutexWakeBits(unsigned* word, unsigned mask) noexcept {
    const int err = errno;
    ::syscall(SYS_futex, word, FUTEX_WAKE_BITSET_PRIVATE, 0x7fffffff, nullptr, nullptr, mask);
    errno = err;
}

// GPIO-style requests that take a plain integer argument (not a pointer).
inline int IoctlInt(int fd, unsigned long request, int arg) noexcept {
    return ::ioctl(fd, request, arg);
}

// Line rates beyond the B constants that <termios.h> names go through the
// kernel's termios2 (BOTHER). Its header clashes with <termios.h>, so these
// live in a unit of their own (SysLineRate.cpp), and rates cross it as plain
// bit/s: the kernel's speed codes never meet glibc's speed_t, which newer
// glibc defines as the rate itself.
// Sets the output rate to `rate` bit/s and the input rate to `inRate` (0:
// the same), all other settings kept: 0, or -1 with errno.
int SetLineRate(int fd, unsigned rate, unsigned inRate = 0) noexcept;
// The output rate the driver stored and (when `inRate` is given) the input
// rate: 0, or -1 with errno. Where termios2 is not there (an emulator that
// lacks the request) the B constants of the ordinary attributes tell.
int GetLineRate(int fd, unsigned* rate, unsigned* inRate = nullptr) noexcept;

}  // namespace kxsys

#endif
