#include "kxsock.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <netdb.h>
#include <net/if.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace kxsock {

namespace {

enum ChildExit { kPassed = 0, kFailed = 1, kNoNamespace = 77, kNoLoopback = 78, kSkipped = 79 };

int g_reportFd = -1;  // the child's end of the pipe to the test

// ioctl rather than `ip link set lo up`: no program has to be found and run,
// which also keeps the armhf suite inside qemu-arm.
int BringLoopbackUp() {
    int s = ::socket(AF_INET, SOCK_DGRAM, 0);
    if (s < 0) return errno;
    struct ifreq req;
    std::memset(&req, 0, sizeof req);
    std::strncpy(req.ifr_name, "lo", IFNAMSIZ - 1);
    int err = 0;
    if (::ioctl(s, SIOCGIFFLAGS, &req) != 0) {
        err = errno;
    } else {
        req.ifr_flags = static_cast<short>(req.ifr_flags | IFF_UP | IFF_RUNNING | IFF_MULTICAST);
        if (::ioctl(s, SIOCSIFFLAGS, &req) != 0) err = errno;
    }
    ::close(s);
    return err;
}

void WriteErr(int fd, int err) {
    ssize_t n;
    do n = ::write(fd, &err, sizeof err);
    while (n < 0 && errno == EINTR);
}

}  // namespace

void SkipPrivateNet(const std::string& reason) {
    ssize_t n;
    do n = ::write(g_reportFd, reason.data(), reason.size());
    while (n < 0 && errno == EINTR);
    std::fflush(stdout);
    ::_exit(kSkipped);
}

PrivateNetResult RunInPrivateNet(const std::function<void()>& body) {
    PrivateNetResult result;
    int pipeFds[2];
    if (::pipe(pipeFds) != 0) {
        result.reason = std::string("pipe: ") + std::strerror(errno);
        return result;
    }
    std::fflush(stdout);
    std::fflush(stderr);
    const pid_t pid = ::fork();
    if (pid < 0) {
        result.reason = std::string("fork: ") + std::strerror(errno);
        ::close(pipeFds[0]);
        ::close(pipeFds[1]);
        return result;
    }
    if (pid == 0) {
        ::close(pipeFds[0]);
        g_reportFd = pipeFds[1];
        if (::unshare(CLONE_NEWNET) != 0) {
            WriteErr(pipeFds[1], errno);
            ::_exit(kNoNamespace);
        }
        if (int err = BringLoopbackUp()) {
            WriteErr(pipeFds[1], err);
            ::_exit(kNoLoopback);
        }
        body();
        std::fflush(stdout);
        std::fflush(stderr);
        ::_exit(::testing::Test::HasFailure() ? kFailed : kPassed);
    }
    ::close(pipeFds[1]);
    std::string report;
    char chunk[256];
    for (;;) {
        const ssize_t n = ::read(pipeFds[0], chunk, sizeof chunk);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        report.append(chunk, static_cast<size_t>(n));
    }
    ::close(pipeFds[0]);
    int err = 0;
    if (report.size() >= sizeof err) std::memcpy(&err, report.data(), sizeof err);
    int status = 0;
    pid_t w;
    do w = ::waitpid(pid, &status, 0);
    while (w < 0 && errno == EINTR);
    if (w != pid) {
        result.reason = std::string("waitpid: ") + std::strerror(errno);
    } else if (WIFEXITED(status) && WEXITSTATUS(status) == kNoNamespace) {
        result.skipped = true;
        result.reason = std::string("no private network namespace (unshare(CLONE_NEWNET) needs root): ") +
                        std::strerror(err);
    } else if (WIFEXITED(status) && WEXITSTATUS(status) == kNoLoopback) {
        result.reason = std::string("cannot bring lo up in the private namespace: ") + std::strerror(err);
    } else if (WIFEXITED(status) && WEXITSTATUS(status) == kSkipped) {
        result.skipped = true;
        result.reason = report;
    } else if (WIFEXITED(status) && WEXITSTATUS(status) == kPassed) {
        result.passed = true;
    } else if (WIFSIGNALED(status)) {
        result.reason = "the child in the private namespace died of signal " + std::to_string(WTERMSIG(status));
    } else {
        result.reason = "checks in the private network namespace failed (their messages are above)";
    }
    return result;
}

LocalHost ResolveLocalHost() {
    LocalHost h;
    char name[260] = {};
    if (::gethostname(name, sizeof name - 1) != 0) return h;
    h.name = name;
    if (const hostent* ent = ::gethostbyname(name)) {
        h.name = ent->h_name;
        h.hasEntry = ent->h_addr_list[0] != nullptr && ent->h_length >= 4;
        if (h.hasEntry) {
            std::memcpy(&h.netAddr, ent->h_addr_list[0], 4);
            const unsigned char* a = reinterpret_cast<const unsigned char*>(ent->h_addr_list[0]);
            h.address = std::to_string(a[0]) + "." + std::to_string(a[1]) + "." + std::to_string(a[2]) + "." +
                        std::to_string(a[3]);
        }
    }
    return h;
}

uint32_t LocalNameAddress() {
    const std::string name = ResolveLocalHost().name;
    uint32_t addr = ::inet_addr(name.c_str());
    if (addr == INADDR_NONE) {
        const hostent* ent = ::gethostbyname(name.c_str());
        if (ent != nullptr && ent->h_addr_list[0] != nullptr && ent->h_length >= 4) {
            std::memcpy(&addr, ent->h_addr_list[0], 4);
        }
    }
    return addr;
}

int OpenFdCount() {
    DIR* dir = ::opendir("/proc/self/fd");
    if (dir == nullptr) return -1;
    int count = 0;
    while (const dirent* ent = ::readdir(dir)) {
        if (ent->d_name[0] != '.') ++count;
    }
    ::closedir(dir);
    return count - 1;  // the directory's own descriptor
}

}  // namespace kxsock
