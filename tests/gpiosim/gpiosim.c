// See gpiosim.h. The definitions carry the libc symbol names through asm
// labels, so they stay what they are whatever the headers redirect (large
// file support on 32-bit targets turns open into open64).
#define _GNU_SOURCE
#include "gpiosim.h"

#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <stdarg.h>
#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include <sys/types.h>

#define DEVICE_PATH "/dev/gpio"
#define MAX_FDS 16
#define MAX_LINES 512

typedef int (*OpenFn)(const char*, int, ...);
typedef ssize_t (*ReadFn)(int, void*, size_t);
typedef ssize_t (*ReadChkFn)(int, void*, size_t, size_t);
typedef int (*IoctlFn)(int, unsigned long, ...);
typedef int (*CloseFn)(int);

static struct {
    OpenFn open;
    OpenFn open64;
    ReadFn read;
    IoctlFn ioctl;
    CloseFn close;
} real;

static pthread_once_t resolveOnce = PTHREAD_ONCE_INIT;
static pthread_mutex_t lock = PTHREAD_MUTEX_INITIALIZER;

static struct {
    int installed;
    int silent;
    int failing;
    unsigned short levels[MAX_LINES];
    int fds[MAX_FDS];
    int nfds;
    int opens;
    int lastFlags;
    int closes;
    int samples;
    unsigned sampleLine[GPIOSIM_MAX_EVENTS];
    unsigned samplePreset[GPIOSIM_MAX_EVENTS];
    unsigned long sampleSize[GPIOSIM_MAX_EVENTS];
    int drives;
    GpioSimDrive drive[GPIOSIM_MAX_EVENTS];
} sim;

static void Resolve(void) {
    real.open = (OpenFn)dlsym(RTLD_NEXT, "open");
    real.open64 = (OpenFn)dlsym(RTLD_NEXT, "open64");
    real.read = (ReadFn)dlsym(RTLD_NEXT, "read");
    real.ioctl = (IoctlFn)dlsym(RTLD_NEXT, "ioctl");
    real.close = (CloseFn)dlsym(RTLD_NEXT, "close");
    if (real.open == NULL || real.read == NULL || real.ioctl == NULL || real.close == NULL) abort();
    if (real.open64 == NULL) real.open64 = real.open;
}

static void Real(void) { pthread_once(&resolveOnce, Resolve); }

static int FindFd(int fd) {
    for (int i = 0; i < sim.nfds; ++i)
        if (sim.fds[i] == fd) return i;
    return -1;
}

int gpiosim_is_device_fd(int fd) {
    pthread_mutex_lock(&lock);
    int r = FindFd(fd) >= 0;
    pthread_mutex_unlock(&lock);
    return r;
}

static int NeedsMode(int flags) {
#ifdef O_TMPFILE
    if ((flags & O_TMPFILE) == O_TMPFILE) return 1;
#endif
    return (flags & O_CREAT) != 0;
}

// Serves "/dev/gpio" while installed; -2 means "not ours, go to the system".
static int OpenDevice(const char* path, int flags) {
    if (path == NULL || strcmp(path, DEVICE_PATH) != 0) return -2;
    pthread_mutex_lock(&lock);
    int installed = sim.installed;
    pthread_mutex_unlock(&lock);
    if (!installed) return -2;
    int fd = real.open("/dev/null", O_RDONLY | O_CLOEXEC);
    if (fd < 0) return -1;
    pthread_mutex_lock(&lock);
    if (sim.nfds == MAX_FDS) {
        pthread_mutex_unlock(&lock);
        real.close(fd);
        errno = EMFILE;
        return -1;
    }
    sim.fds[sim.nfds++] = fd;
    sim.opens++;
    sim.lastFlags = flags;
    pthread_mutex_unlock(&lock);
    return fd;
}

static int OpenCommon(OpenFn fn, const char* path, int flags, int mode) {
    Real();
    int fd = OpenDevice(path, flags);
    if (fd != -2) return fd;
    return fn(path, flags, mode);
}

int gpiosim_open(const char* path, int flags, ...) __asm__("open");
int gpiosim_open(const char* path, int flags, ...) {
    int mode = 0;
    if (NeedsMode(flags)) {
        va_list ap;
        va_start(ap, flags);
        mode = va_arg(ap, int);
        va_end(ap);
    }
    Real();
    return OpenCommon(real.open, path, flags, mode);
}

int gpiosim_open64(const char* path, int flags, ...) __asm__("open64");
int gpiosim_open64(const char* path, int flags, ...) {
    int mode = 0;
    if (NeedsMode(flags)) {
        va_list ap;
        va_start(ap, flags);
        mode = va_arg(ap, int);
        va_end(ap);
    }
    Real();
    return OpenCommon(real.open64, path, flags, mode);
}

// Fortified callers reach these when the flags are not known at compile time.
int gpiosim_open_2(const char* path, int flags) __asm__("__open_2");
int gpiosim_open_2(const char* path, int flags) {
    Real();
    return OpenCommon(real.open, path, flags, 0);
}

int gpiosim_open64_2(const char* path, int flags) __asm__("__open64_2");
int gpiosim_open64_2(const char* path, int flags) {
    Real();
    return OpenCommon(real.open64, path, flags, 0);
}

static ssize_t ReadDevice(int fd, void* buf, size_t len, int* served) {
    pthread_mutex_lock(&lock);
    *served = FindFd(fd) >= 0;
    if (!*served) {
        pthread_mutex_unlock(&lock);
        return 0;
    }
    ssize_t result;
    const int i = sim.samples++;
    if (i < GPIOSIM_MAX_EVENTS) sim.sampleSize[i] = len;
    if (len != 4 || buf == NULL) {
        // The driver takes whole records only.
        errno = EINVAL;
        result = -1;
    } else {
        uint16_t rec[2];
        memcpy(rec, buf, sizeof rec);
        if (i < GPIOSIM_MAX_EVENTS) {
            sim.sampleLine[i] = rec[0];
            sim.samplePreset[i] = rec[1];
        }
        if (sim.failing) {
            errno = EIO;
            result = -1;
        } else {
            if (!sim.silent) {
                rec[1] = rec[0] < MAX_LINES ? sim.levels[rec[0]] : 0;
                memcpy(buf, rec, sizeof rec);
            }
            result = 4;
        }
    }
    pthread_mutex_unlock(&lock);
    return result;
}

ssize_t gpiosim_read(int fd, void* buf, size_t len) __asm__("read");
ssize_t gpiosim_read(int fd, void* buf, size_t len) {
    Real();
    int served;
    ssize_t r = ReadDevice(fd, buf, len, &served);
    if (served) return r;
    return real.read(fd, buf, len);
}

ssize_t gpiosim_read_chk(int fd, void* buf, size_t len, size_t cap) __asm__("__read_chk");
ssize_t gpiosim_read_chk(int fd, void* buf, size_t len, size_t cap) {
    if (len > cap) abort();  // what the fortified libc does
    return gpiosim_read(fd, buf, len);
}

int gpiosim_ioctl(int fd, unsigned long request, ...) __asm__("ioctl");
int gpiosim_ioctl(int fd, unsigned long request, ...) {
    Real();
    va_list ap;
    va_start(ap, request);
    // Every request passes one word-sized argument; the GPIO ones an int.
    void* arg = va_arg(ap, void*);
    va_end(ap);
    pthread_mutex_lock(&lock);
    if (FindFd(fd) >= 0) {
        int r = 0;
        if (request == 0 || request == 1) {
            if (sim.drives < GPIOSIM_MAX_EVENTS) {
                sim.drive[sim.drives].request = request;
                sim.drive[sim.drives].line = (int)(intptr_t)arg;
            }
            sim.drives++;
            if (sim.failing) {
                errno = EIO;
                r = -1;
            }
        } else {
            errno = ENOTTY;
            r = -1;
        }
        pthread_mutex_unlock(&lock);
        return r;
    }
    pthread_mutex_unlock(&lock);
    return real.ioctl(fd, request, arg);
}

int gpiosim_close(int fd) __asm__("close");
int gpiosim_close(int fd) {
    Real();
    pthread_mutex_lock(&lock);
    int i = FindFd(fd);
    if (i >= 0) {
        sim.fds[i] = sim.fds[--sim.nfds];
        sim.closes++;
    }
    pthread_mutex_unlock(&lock);
    return real.close(fd);
}

void gpiosim_reset(void) {
    pthread_mutex_lock(&lock);
    int keep[MAX_FDS];
    int nkeep = sim.nfds;
    memcpy(keep, sim.fds, sizeof keep);
    memset(&sim, 0, sizeof sim);
    // Descriptors still open stay served until they are closed.
    memcpy(sim.fds, keep, sizeof keep);
    sim.nfds = nkeep;
    pthread_mutex_unlock(&lock);
}

void gpiosim_install(int installed) {
    pthread_mutex_lock(&lock);
    sim.installed = installed;
    pthread_mutex_unlock(&lock);
}

void gpiosim_set_level(unsigned line, unsigned value) {
    pthread_mutex_lock(&lock);
    if (line < MAX_LINES) sim.levels[line] = (unsigned short)value;
    pthread_mutex_unlock(&lock);
}

void gpiosim_set_silent(int silent) {
    pthread_mutex_lock(&lock);
    sim.silent = silent;
    pthread_mutex_unlock(&lock);
}

void gpiosim_set_failing(int failing) {
    pthread_mutex_lock(&lock);
    sim.failing = failing;
    pthread_mutex_unlock(&lock);
}

#define GETTER(type, name, expr) \
    type name {                  \
        pthread_mutex_lock(&lock); \
        type r = (expr);         \
        pthread_mutex_unlock(&lock); \
        return r;                \
    }

GETTER(int, gpiosim_open_count(void), sim.opens)
GETTER(int, gpiosim_last_open_flags(void), sim.lastFlags)
GETTER(int, gpiosim_close_count(void), sim.closes)
GETTER(int, gpiosim_open_fds(void), sim.nfds)
GETTER(int, gpiosim_sample_count(void), sim.samples)
GETTER(int, gpiosim_drive_count(void), sim.drives)

unsigned gpiosim_sample_line(int i) {
    pthread_mutex_lock(&lock);
    unsigned r = i >= 0 && i < GPIOSIM_MAX_EVENTS ? sim.sampleLine[i] : 0xffffffffu;
    pthread_mutex_unlock(&lock);
    return r;
}

unsigned gpiosim_sample_preset(int i) {
    pthread_mutex_lock(&lock);
    unsigned r = i >= 0 && i < GPIOSIM_MAX_EVENTS ? sim.samplePreset[i] : 0xffffffffu;
    pthread_mutex_unlock(&lock);
    return r;
}

unsigned long gpiosim_sample_size(int i) {
    pthread_mutex_lock(&lock);
    unsigned long r = i >= 0 && i < GPIOSIM_MAX_EVENTS ? sim.sampleSize[i] : 0;
    pthread_mutex_unlock(&lock);
    return r;
}

GpioSimDrive gpiosim_drive(int i) {
    GpioSimDrive d = {0, -1};
    pthread_mutex_lock(&lock);
    if (i >= 0 && i < GPIOSIM_MAX_EVENTS) d = sim.drive[i];
    pthread_mutex_unlock(&lock);
    return d;
}
