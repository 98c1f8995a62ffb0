// See faultsim.h. The wrappers carry the libc symbol names through asm
// labels, so they stay what they are whatever the headers redirect.
#define _GNU_SOURCE
#include "faultsim.h"

#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <link.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <pthread.h>
#include <stdarg.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <termios.h>
#include <unistd.h>

#define MAX_KEYS 64
#define KEY_SIZE 40
#define MAX_RANGES 8

static pthread_mutex_t lock = PTHREAD_MUTEX_INITIALIZER;
static struct {
    uintptr_t lo[MAX_RANGES], hi[MAX_RANGES];
    int nranges;
    char key[MAX_KEYS][KEY_SIZE];
    int count[MAX_KEYS];
    int nkeys;
    char armed[KEY_SIZE];
    int nth;
    int err;
    int fired;
} st;

static const char* target;

// Records the executable segments of the object whose file name ends in `target`.
static int FindObject(struct dl_phdr_info* info, size_t size, void* data) {
    (void)size;
    (void)data;
    const size_t n = strlen(info->dlpi_name), t = strlen(target);
    if (n < t || strcmp(info->dlpi_name + n - t, target) != 0) return 0;
    st.nranges = 0;
    for (int i = 0; i < info->dlpi_phnum && st.nranges < MAX_RANGES; ++i) {
        const ElfW(Phdr)* ph = &info->dlpi_phdr[i];
        if (ph->p_type != PT_LOAD || (ph->p_flags & PF_X) == 0) continue;
        st.lo[st.nranges] = info->dlpi_addr + ph->p_vaddr;
        st.hi[st.nranges] = st.lo[st.nranges] + ph->p_memsz;
        st.nranges++;
    }
    return 1;
}

int faultsim_target(const char* fileName) {
    pthread_mutex_lock(&lock);
    target = fileName;
    dl_iterate_phdr(FindObject, NULL);
    const int found = st.nranges > 0;
    pthread_mutex_unlock(&lock);
    return found;
}

void faultsim_arm(const char* key, int nth, int err) {
    pthread_mutex_lock(&lock);
    st.nkeys = 0;
    st.fired = 0;
    snprintf(st.armed, sizeof st.armed, "%s", key != NULL ? key : "");
    st.nth = nth;
    st.err = err;
    pthread_mutex_unlock(&lock);
}

int faultsim_fired(void) {
    pthread_mutex_lock(&lock);
    const int r = st.fired;
    pthread_mutex_unlock(&lock);
    return r;
}

const char* faultsim_key(int i, int* count) {
    pthread_mutex_lock(&lock);
    const char* k = NULL;
    if (i >= 0 && i < st.nkeys) {
        k = st.key[i];
        *count = st.count[i];
    }
    pthread_mutex_unlock(&lock);
    return k;
}

// The error number to fail this call with, or 0 to make it.
static int Fault(const char* key, const void* caller) {
    const uintptr_t at = (uintptr_t)caller;
    int err = 0;
    pthread_mutex_lock(&lock);
    int mine = 0;
    for (int i = 0; i < st.nranges; ++i)
        if (at >= st.lo[i] && at < st.hi[i]) mine = 1;
    if (mine) {
        int k = 0;
        while (k < st.nkeys && strcmp(st.key[k], key) != 0) ++k;
        if (k == st.nkeys && k < MAX_KEYS) {
            snprintf(st.key[k], KEY_SIZE, "%s", key);
            st.count[k] = 0;
            st.nkeys++;
        }
        if (k < st.nkeys && ++st.count[k] == st.nth && strcmp(st.armed, key) == 0) {
            err = st.err;
            st.fired++;
        }
    }
    pthread_mutex_unlock(&lock);
    return err;
}

#define CALLER __builtin_return_address(0)

static void* Real(const char* name) {
    void* f = dlsym(RTLD_NEXT, name);
    if (f == NULL) abort();
    return f;
}
// The libc function that `wrapper` stands in front of (same type).
#define REAL(wrapper, name)                   \
    static __typeof__(&wrapper) real_ = NULL; \
    if (real_ == NULL) real_ = (__typeof__(&wrapper))Real(name)

struct OptName {
    int level, name;
    const char* text;
};
static const struct OptName kOptions[] = {
    {SOL_SOCKET, SO_REUSEADDR, "SO_REUSEADDR"}, {SOL_SOCKET, SO_BROADCAST, "SO_BROADCAST"},
    {SOL_SOCKET, SO_RCVTIMEO, "SO_RCVTIMEO"},   {SOL_SOCKET, SO_SNDTIMEO, "SO_SNDTIMEO"},
    {SOL_SOCKET, SO_TYPE, "SO_TYPE"},           {SOL_SOCKET, SO_KEEPALIVE, "SO_KEEPALIVE"},
    {IPPROTO_TCP, TCP_NODELAY, "TCP_NODELAY"},  {IPPROTO_TCP, TCP_KEEPIDLE, "TCP_KEEPIDLE"},
    {IPPROTO_TCP, TCP_KEEPINTVL, "TCP_KEEPINTVL"}, {IPPROTO_TCP, TCP_KEEPCNT, "TCP_KEEPCNT"},
    {IPPROTO_TCP, TCP_USER_TIMEOUT, "TCP_USER_TIMEOUT"},
    {IPPROTO_IP, IP_TOS, "IP_TOS"},             {IPPROTO_IP, IP_MULTICAST_IF, "IP_MULTICAST_IF"},
    {IPPROTO_IP, IP_MULTICAST_TTL, "IP_MULTICAST_TTL"},
    {IPPROTO_IP, IP_ADD_MEMBERSHIP, "IP_ADD_MEMBERSHIP"},
    {IPPROTO_IP, IP_DROP_MEMBERSHIP, "IP_DROP_MEMBERSHIP"},
};

static void OptKey(char* key, size_t cap, const char* fn, int level, int name) {
    for (size_t i = 0; i < sizeof kOptions / sizeof kOptions[0]; ++i) {
        if (kOptions[i].level == level && kOptions[i].name == name) {
            snprintf(key, cap, "%s(%s)", fn, kOptions[i].text);
            return;
        }
    }
    snprintf(key, cap, "%s(%d/%d)", fn, level, name);
}

#define FAIL_WITH(e) \
    do {             \
        errno = (e); \
        return -1;   \
    } while (0)

// --- files and terminals

static int OpenWith(const char* fn, const char* path, int flags, va_list ap, const void* caller) {
    int mode = 0;
    if ((flags & O_CREAT) != 0) mode = va_arg(ap, int);
    const int e = Fault("open", caller);
    if (e != 0) FAIL_WITH(e);
    typedef int (*Fn)(const char*, int, ...);
    Fn real = (Fn)Real(fn);
    return real(path, flags, mode);
}

int fs_open(const char* path, int flags, ...) __asm__("open");
int fs_open(const char* path, int flags, ...) {
    va_list ap;
    va_start(ap, flags);
    const int r = OpenWith("open", path, flags, ap, CALLER);
    va_end(ap);
    return r;
}

int fs_open64(const char* path, int flags, ...) __asm__("open64");
int fs_open64(const char* path, int flags, ...) {
    va_list ap;
    va_start(ap, flags);
    const int r = OpenWith("open64", path, flags, ap, CALLER);
    va_end(ap);
    return r;
}

int fs_close(int fd) __asm__("close");
int fs_close(int fd) {
    REAL(fs_close, "close");
    const int e = Fault("close", CALLER);
    const int r = real_(fd);
    if (e != 0) FAIL_WITH(e);  // the descriptor is gone all the same
    return r;
}

ssize_t fs_read(int fd, void* buf, size_t len) __asm__("read");
ssize_t fs_read(int fd, void* buf, size_t len) {
    REAL(fs_read, "read");
    const int e = Fault("read", CALLER);
    if (e != 0) FAIL_WITH(e);
    return real_(fd, buf, len);
}

ssize_t fs_write(int fd, const void* buf, size_t len) __asm__("write");
ssize_t fs_write(int fd, const void* buf, size_t len) {
    REAL(fs_write, "write");
    const int e = Fault("write", CALLER);
    if (e != 0) FAIL_WITH(e);
    return real_(fd, buf, len);
}

static int FcntlWith(const char* fn, int fd, int cmd, void* arg, const void* caller) {
    char key[KEY_SIZE];
    if (cmd == F_GETFL)
        snprintf(key, sizeof key, "fcntl(F_GETFL)");
    else if (cmd == F_SETFL)
        snprintf(key, sizeof key, "fcntl(F_SETFL)");
    else
        snprintf(key, sizeof key, "fcntl(%d)", cmd);
    const int e = Fault(key, caller);
    if (e != 0) FAIL_WITH(e);
    typedef int (*Fn)(int, int, ...);
    Fn real = (Fn)Real(fn);
    return real(fd, cmd, arg);
}

// Every request passes at most one word-sized argument.
int fs_fcntl(int fd, int cmd, ...) __asm__("fcntl");
int fs_fcntl(int fd, int cmd, ...) {
    va_list ap;
    va_start(ap, cmd);
    void* arg = va_arg(ap, void*);
    va_end(ap);
    return FcntlWith("fcntl", fd, cmd, arg, CALLER);
}

int fs_fcntl64(int fd, int cmd, ...) __asm__("fcntl64");
int fs_fcntl64(int fd, int cmd, ...) {
    va_list ap;
    va_start(ap, cmd);
    void* arg = va_arg(ap, void*);
    va_end(ap);
    return FcntlWith("fcntl64", fd, cmd, arg, CALLER);
}

int fs_ioctl(int fd, unsigned long request, ...) __asm__("ioctl");
int fs_ioctl(int fd, unsigned long request, ...) {
    REAL(fs_ioctl, "ioctl");
    va_list ap;
    va_start(ap, request);
    void* arg = va_arg(ap, void*);
    va_end(ap);
    const int e = Fault("ioctl", CALLER);
    if (e != 0) FAIL_WITH(e);
    return real_(fd, request, arg);
}

int fs_tcgetattr(int fd, struct termios* t) __asm__("tcgetattr");
int fs_tcgetattr(int fd, struct termios* t) {
    REAL(fs_tcgetattr, "tcgetattr");
    const int e = Fault("tcgetattr", CALLER);
    if (e != 0) FAIL_WITH(e);
    return real_(fd, t);
}

int fs_tcsetattr(int fd, int when, const struct termios* t) __asm__("tcsetattr");
int fs_tcsetattr(int fd, int when, const struct termios* t) {
    REAL(fs_tcsetattr, "tcsetattr");
    const int e = Fault("tcsetattr", CALLER);
    if (e != 0) FAIL_WITH(e);
    return real_(fd, when, t);
}

int fs_tcflush(int fd, int queue) __asm__("tcflush");
int fs_tcflush(int fd, int queue) {
    REAL(fs_tcflush, "tcflush");
    const int e = Fault("tcflush", CALLER);
    if (e != 0) FAIL_WITH(e);
    return real_(fd, queue);
}

int fs_ppoll(struct pollfd* fds, nfds_t n, const struct timespec* t, const sigset_t* mask) __asm__("ppoll");
int fs_ppoll(struct pollfd* fds, nfds_t n, const struct timespec* t, const sigset_t* mask) {
    REAL(fs_ppoll, "ppoll");
    const int e = Fault("ppoll", CALLER);
    if (e != 0) FAIL_WITH(e);
    return real_(fds, n, t, mask);
}

int fs_gethostname(char* name, size_t len) __asm__("gethostname");
int fs_gethostname(char* name, size_t len) {
    REAL(fs_gethostname, "gethostname");
    const int e = Fault("gethostname", CALLER);
    if (e != 0) FAIL_WITH(e);
    return real_(name, len);
}

// --- sockets

int fs_socket(int domain, int type, int protocol) __asm__("socket");
int fs_socket(int domain, int type, int protocol) {
    REAL(fs_socket, "socket");
    const int e = Fault("socket", CALLER);
    if (e != 0) FAIL_WITH(e);
    return real_(domain, type, protocol);
}

int fs_setsockopt(int fd, int level, int name, const void* value, socklen_t len) __asm__("setsockopt");
int fs_setsockopt(int fd, int level, int name, const void* value, socklen_t len) {
    REAL(fs_setsockopt, "setsockopt");
    char key[KEY_SIZE];
    OptKey(key, sizeof key, "setsockopt", level, name);
    const int e = Fault(key, CALLER);
    if (e != 0) FAIL_WITH(e);
    return real_(fd, level, name, value, len);
}

int fs_getsockopt(int fd, int level, int name, void* value, socklen_t* len) __asm__("getsockopt");
int fs_getsockopt(int fd, int level, int name, void* value, socklen_t* len) {
    REAL(fs_getsockopt, "getsockopt");
    char key[KEY_SIZE];
    OptKey(key, sizeof key, "getsockopt", level, name);
    const int e = Fault(key, CALLER);
    if (e != 0) FAIL_WITH(e);
    return real_(fd, level, name, value, len);
}

#define SOCKADDR_CALL(fn, qual)                                                     \
    int fs_##fn(int fd, qual struct sockaddr* a, socklen_t l) __asm__(#fn);         \
    int fs_##fn(int fd, qual struct sockaddr* a, socklen_t l) {                     \
        REAL(fs_##fn, #fn);                  \
        const int e = Fault(#fn, CALLER);                                           \
        if (e != 0) FAIL_WITH(e);                                                   \
        return real_(fd, a, l);                                                     \
    }
SOCKADDR_CALL(connect, const)
SOCKADDR_CALL(bind, const)

#define SOCKNAME_CALL(fn)                                                           \
    int fs_##fn(int fd, struct sockaddr* a, socklen_t* l) __asm__(#fn);             \
    int fs_##fn(int fd, struct sockaddr* a, socklen_t* l) {                         \
        REAL(fs_##fn, #fn);                      \
        const int e = Fault(#fn, CALLER);                                           \
        if (e != 0) FAIL_WITH(e);                                                   \
        return real_(fd, a, l);                                                     \
    }
SOCKNAME_CALL(accept)
SOCKNAME_CALL(getsockname)
SOCKNAME_CALL(getpeername)

int fs_listen(int fd, int backlog) __asm__("listen");
int fs_listen(int fd, int backlog) {
    REAL(fs_listen, "listen");
    const int e = Fault("listen", CALLER);
    if (e != 0) FAIL_WITH(e);
    return real_(fd, backlog);
}

int fs_shutdown(int fd, int how) __asm__("shutdown");
int fs_shutdown(int fd, int how) {
    REAL(fs_shutdown, "shutdown");
    const int e = Fault("shutdown", CALLER);
    if (e != 0) FAIL_WITH(e);
    return real_(fd, how);
}

ssize_t fs_send(int fd, const void* buf, size_t len, int flags) __asm__("send");
ssize_t fs_send(int fd, const void* buf, size_t len, int flags) {
    REAL(fs_send, "send");
    const int e = Fault("send", CALLER);
    if (e != 0) FAIL_WITH(e);
    return real_(fd, buf, len, flags);
}

ssize_t fs_sendto(int fd, const void* buf, size_t len, int flags, const struct sockaddr* to, socklen_t tolen)
    __asm__("sendto");
ssize_t fs_sendto(int fd, const void* buf, size_t len, int flags, const struct sockaddr* to, socklen_t tolen) {
    REAL(fs_sendto, "sendto");
    const int e = Fault("sendto", CALLER);
    if (e != 0) FAIL_WITH(e);
    return real_(fd, buf, len, flags, to, tolen);
}

ssize_t fs_recv(int fd, void* buf, size_t len, int flags) __asm__("recv");
ssize_t fs_recv(int fd, void* buf, size_t len, int flags) {
    REAL(fs_recv, "recv");
    const int e = Fault("recv", CALLER);
    if (e != 0) FAIL_WITH(e);
    return real_(fd, buf, len, flags);
}

ssize_t fs_recvfrom(int fd, void* buf, size_t len, int flags, struct sockaddr* from, socklen_t* fromlen)
    __asm__("recvfrom");
ssize_t fs_recvfrom(int fd, void* buf, size_t len, int flags, struct sockaddr* from, socklen_t* fromlen) {
    REAL(fs_recvfrom, "recvfrom");
    const int e = Fault("recvfrom", CALLER);
    if (e != 0) FAIL_WITH(e);
    return real_(fd, buf, len, flags, from, fromlen);
}
