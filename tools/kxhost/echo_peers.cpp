#include "echo_peers.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "common.h"

namespace kxhost {

namespace {

// Polls `fd` for input for at most `ms`; true when readable.
bool Readable(int fd, int ms) {
    struct pollfd pfd = {fd, POLLIN, 0};
    int r;
    do r = poll(&pfd, 1, ms);
    while (r < 0 && errno == EINTR);
    return r > 0 && (pfd.revents & (POLLIN | POLLHUP | POLLERR)) != 0;
}

}  // namespace

void Echo::Stop() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
    for (int fd : fds_)
        if (fd >= 0) close(fd);
    fds_.clear();
}

bool Echo::StartPty(std::string* slavePath, int* slaveNumber) {
    int m = posix_openpt(O_RDWR | O_NOCTTY);
    if (m < 0) return false;
    fds_.push_back(m);
    if (grantpt(m) != 0 || unlockpt(m) != 0) return false;
    const char* name = ptsname(m);
    if (name == nullptr || strncmp(name, "/dev/pts/", 9) != 0) return false;
    *slavePath = name;
    *slaveNumber = atoi(name + 9);
    // Held open so the line does not hang up between the channel's opens.
    int hold = open(name, O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (hold < 0) return false;
    fds_.push_back(hold);
    thread_ = std::thread([this, m] {
        unsigned char buf[256];
        while (!stop_) {
            if (!Readable(m, 50)) continue;
            ssize_t n = read(m, buf, sizeof buf);
            if (n <= 0) {
                SleepMs(20);  // EIO while no slave is open
                continue;
            }
            WriteAll(m, buf, static_cast<size_t>(n));
        }
    });
    return true;
}

bool Echo::StartTcp(int* port) {
    int l = Bound(SOCK_STREAM, port);
    if (l < 0 || listen(l, 4) != 0) return false;
    thread_ = std::thread([this, l] {
        while (!stop_) {
            if (!Readable(l, 50)) continue;
            int c = accept(l, nullptr, nullptr);
            if (c < 0) continue;
            unsigned char buf[256];
            while (!stop_) {
                if (!Readable(c, 50)) continue;
                ssize_t n = recv(c, buf, sizeof buf, 0);
                if (n <= 0) break;
                for (ssize_t off = 0; off < n;) {
                    ssize_t w = send(c, buf + off, static_cast<size_t>(n - off), MSG_NOSIGNAL);
                    if (w <= 0) break;
                    off += w;
                }
            }
            close(c);
        }
    });
    return true;
}

bool Echo::StartUdp(int* port) {
    int s = Bound(SOCK_DGRAM, port);
    if (s < 0) return false;
    thread_ = std::thread([this, s] {
        unsigned char buf[2048];
        while (!stop_) {
            if (!Readable(s, 50)) continue;
            sockaddr_in from;
            socklen_t len = sizeof from;
            ssize_t n = recvfrom(s, buf, sizeof buf, 0, reinterpret_cast<sockaddr*>(&from), &len);
            if (n < 0) continue;
            sendto(s, buf, static_cast<size_t>(n), MSG_NOSIGNAL, reinterpret_cast<sockaddr*>(&from), len);
        }
    });
    return true;
}

void Echo::WriteAll(int fd, const unsigned char* p, size_t n) {
    while (n > 0) {
        ssize_t w = write(fd, p, n);
        if (w < 0 && errno == EINTR) continue;
        if (w <= 0) return;
        p += w;
        n -= static_cast<size_t>(w);
    }
}

int Echo::Bound(int type, int* port) {
    int s = socket(AF_INET, type, 0);
    if (s < 0) return -1;
    fds_.push_back(s);
    sockaddr_in a;
    memset(&a, 0, sizeof a);
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = 0;
    if (bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) return -1;
    socklen_t len = sizeof a;
    if (getsockname(s, reinterpret_cast<sockaddr*>(&a), &len) != 0) return -1;
    *port = ntohs(a.sin_port);
    return s;
}

}  // namespace kxhost
