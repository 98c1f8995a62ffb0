#include "common.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdlib>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>

namespace kxhost {

namespace {

LibraryLog* gLog = nullptr;  // the one in use, whose log Error passes on first

}  // namespace

void Error(const char* fmt, ...) {
    fflush(stdout);
    if (gLog != nullptr) gLog->Pass();
    fputs("kxhost: ", stderr);
    va_list ap;
    va_start(ap, fmt);
    vfprintf(stderr, fmt, ap);
    va_end(ap);
    fputc('\n', stderr);
}

std::string HexAndText(const unsigned char* data, int len) {
    std::string out;
    char b[4];
    for (int i = 0; i < len; ++i) {
        snprintf(b, sizeof b, i == 0 ? "%02X" : " %02X", data[i]);
        out += b;
    }
    out += "  |";
    for (int i = 0; i < len; ++i) out += (data[i] >= 0x20 && data[i] < 0x7f) ? static_cast<char>(data[i]) : '.';
    out += "|";
    return out;
}

void SleepMs(long long ms) {
    if (ms <= 0) return;
    struct timespec ts;
    ts.tv_sec = static_cast<time_t>(ms / 1000);
    ts.tv_nsec = static_cast<long>((ms % 1000) * 1000000);
    while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
    }
}

namespace {

// The error numbers kxhost names; words for those a network peer or the
// system gives a transfer, where strerror's text says too little.
const struct {
    int err;
    const char* name;
    const char* words;  // null: the name alone
} kErrnos[] = {
    {ECONNREFUSED, "ECONNREFUSED",
     "the peer refused: nothing listens on that port (over UDP the peer's system answers a datagram to a "
     "closed port so, and the next receive fails)"},
    {ETIMEDOUT, "ETIMEDOUT",
     "timed out: the peer stopped answering (no acknowledgement within 20 s, or no answer to the "
     "keep-alive probes)"},
    {ECONNRESET, "ECONNRESET", "the peer reset the connection (it closed or restarted without ending it)"},
    {EPIPE, "EPIPE", "the connection is closed at the peer's end"},
    {EHOSTUNREACH, "EHOSTUNREACH", "host unreachable: nothing answers for that address on its network"},
    {ENETUNREACH, "ENETUNREACH", "network unreachable: this machine has no route to that address"},
    {ENETDOWN, "ENETDOWN", "the network interface is down"},
    {EMSGSIZE, "EMSGSIZE", "the datagram is larger than the network carries"},
    {ENOBUFS, "ENOBUFS", "the system is out of buffer space"},
    {EACCES, "EACCES", "not permitted (a firewall rule, or a broadcast the socket may not send)"},
    {EPERM, "EPERM", "not permitted (a firewall rule)"},
    {EINTR, "EINTR", "a signal interrupted the call"},
    {EBADF, "EBADF", "the socket was already closed"},
    {ENOPROTOOPT, "ENOPROTOOPT", "the system lacks that socket option"},
    {EMFILE, "EMFILE", "the process has no descriptor left"},
    {EINVAL, "EINVAL", "the system refused an argument"},
    {ENOENT, "ENOENT", nullptr},
    {ENXIO, "ENXIO", nullptr},
    {ENODEV, "ENODEV", nullptr},
    {EIO, "EIO", nullptr},
    {EBUSY, "EBUSY", nullptr},
    {ENOTTY, "ENOTTY", nullptr},
    {ENOTCONN, "ENOTCONN", nullptr},
    {EAGAIN, "EAGAIN", nullptr},
};

}  // namespace

std::string ErrnoWords(int err) {
    for (const auto& w : kErrnos)
        if (w.err == err) return std::to_string(err) + " is " + w.name + ": " + (w.words ? w.words : strerror(err));
    return std::to_string(err) + ": " + strerror(err);
}

std::string CodeWords(int code) {
    switch (code) {
        case -1: return "-1: a setting error in the definition string";
        case -2: return "-2: a setting or line the driver refused";
        case -3: return "-3: an address or port the channel cannot use";
        case -4: return "-4: not supported by this channel or its driver";
        default: break;
    }
    for (const auto& w : kErrnos)
        if (w.err == code) return w.words ? ErrnoWords(code) : std::to_string(code) + " is " + w.name;
    return "code " + std::to_string(code);
}

void SayReason(int code, const std::string& text) {
    Error("the library's reason: %s; %s", text.empty() ? "(no words)" : text.c_str(), CodeWords(code).c_str());
}

namespace {

// The memory file standard output is moved to, and the real one: a signal
// that ends kxhost passes the log on first (with calls that are safe in a
// handler).
int gScreen = -1;
off_t gPassed = 0;  // what of the file is passed on already

void PassOnSignal(int sig) {
    char buf[4096];
    ssize_t n;
    for (off_t at = gPassed; (n = pread(STDOUT_FILENO, buf, sizeof buf, at)) > 0; at += n)
        if (write(gScreen, buf, static_cast<size_t>(n)) < 0) break;
    signal(sig, SIG_DFL);
    raise(sig);
}

int MemoryFile() {
#ifdef SYS_memfd_create
    const int fd = static_cast<int>(syscall(SYS_memfd_create, "kxhost-log", 1u /* MFD_CLOEXEC */));
    if (fd >= 0) return fd;
#endif
    FILE* f = tmpfile();
    const int fd2 = f != nullptr ? fcntl(fileno(f), F_DUPFD_CLOEXEC, 3) : -1;
    if (f != nullptr) fclose(f);
    return fd2;
}

}  // namespace

LibraryLog::LibraryLog() {
    const int file = MemoryFile();
    if (file < 0) return;
    fflush(stdout);
    screen_ = fcntl(STDOUT_FILENO, F_DUPFD_CLOEXEC, 3);
    // Appending: after the file is emptied, writes start at its beginning.
    if (screen_ < 0 || fcntl(file, F_SETFL, O_APPEND) != 0 || dup2(file, STDOUT_FILENO) < 0) {
        if (screen_ >= 0) close(screen_);
        screen_ = -1;
        close(file);
        return;
    }
    close(file);
    gScreen = screen_;
    gLog = this;
    for (int sig : {SIGINT, SIGTERM, SIGHUP}) signal(sig, PassOnSignal);
}

LibraryLog::~LibraryLog() {
    if (screen_ < 0) return;
    Pass();
    for (int sig : {SIGINT, SIGTERM, SIGHUP}) signal(sig, SIG_DFL);
    gLog = nullptr;
    dup2(screen_, STDOUT_FILENO);
    close(screen_);
}

void LibraryLog::Pass() {
    if (screen_ < 0) return;
    fflush(stdout);
    char buf[4096];
    ssize_t n;
    while ((n = pread(STDOUT_FILENO, buf, sizeof buf, gPassed)) > 0) {
        gPassed += n;
        pending_.append(buf, static_cast<size_t>(n));
        for (ssize_t done = 0, w; done < n; done += w) {
            w = write(screen_, buf + done, static_cast<size_t>(n - done));
            if (w < 0 && errno == EINTR) w = 0;
            if (w < 0) break;
        }
    }
    if (ftruncate(STDOUT_FILENO, 0) == 0) gPassed = 0;
}

std::string LibraryLog::Take() {
    Pass();
    std::string taken;
    taken.swap(pending_);
    return taken;
}

void LibraryLog::Explain(const std::string& log) {
    size_t start = 0;
    while (start < log.size()) {
        size_t end = log.find('\n', start);
        if (end == std::string::npos) end = log.size();
        std::string line = log.substr(start, end - start);
        start = end + 1;
        while (!line.empty() && line.back() == '\r') line.pop_back();
        // "recv err: 111", "setsockopt err:92", "errno=104"; an errno of 0 is no error.
        for (const char* mark : {"err: ", "err:", "errno="}) {
            const size_t at = line.find(mark);
            if (at == std::string::npos) continue;
            const int err = atoi(line.c_str() + at + strlen(mark));
            if (err > 0) Error("the library's \"%s\": %s", line.c_str(), ErrnoWords(err).c_str());
            break;
        }
    }
}

int PollFor(int fd, short events, int ms, short* revents) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    struct pollfd p = {fd, events, 0};
    int r;
    do {
        long long left = ms;
        if (ms > 0)
            left = std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now()).count();
        if (ms >= 0 && left < 0) left = 0;
        r = poll(&p, 1, static_cast<int>(left));
    } while (r < 0 && errno == EINTR);
    if (revents != nullptr) *revents = p.revents;
    return r;
}

}  // namespace kxhost
