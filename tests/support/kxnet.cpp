#include "kxnet.h"

#include <arpa/inet.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <stdexcept>

namespace kxnet {

sockaddr_in Loopback(int port) {
    sockaddr_in a;
    memset(&a, 0, sizeof a);
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return a;
}

static int LocalPort(int fd) {
    sockaddr_in a;
    socklen_t len = sizeof a;
    if (getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) != 0)
        throw std::runtime_error("getsockname failed");
    return ntohs(a.sin_port);
}

kxtest::UniqueFd Listen(int backlog, int* port, int bindPort) {
    kxtest::UniqueFd fd(socket(AF_INET, SOCK_STREAM, 0));
    if (!fd) throw std::runtime_error("socket failed");
    int on = 1;
    setsockopt(fd.get(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in a = Loopback(bindPort);
    if (bind(fd.get(), reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
        listen(fd.get(), backlog) != 0)
        throw std::runtime_error("bind/listen failed");
    *port = LocalPort(fd.get());
    return fd;
}

kxtest::UniqueFd Accept(int listener, int timeoutMs) {
    if (!kxtest::WaitReadable(listener, timeoutMs)) return kxtest::UniqueFd();
    return kxtest::UniqueFd(accept(listener, nullptr, nullptr));
}

kxtest::UniqueFd Connect(int port) {
    kxtest::UniqueFd fd(socket(AF_INET, SOCK_STREAM, 0));
    sockaddr_in a = Loopback(port);
    if (!fd || connect(fd.get(), reinterpret_cast<sockaddr*>(&a), sizeof a) != 0)
        throw std::runtime_error("connect failed");
    return fd;
}

kxtest::UniqueFd UdpBind(int* port, bool any) {
    return UdpBindAt(any ? "0.0.0.0" : "127.0.0.1", port);
}

kxtest::UniqueFd UdpBindAt(const char* host, int* port) {
    kxtest::UniqueFd fd(socket(AF_INET, SOCK_DGRAM, 0));
    sockaddr_in a = Loopback(0);
    if (!fd || inet_pton(AF_INET, host, &a.sin_addr) != 1 ||
        bind(fd.get(), reinterpret_cast<sockaddr*>(&a), sizeof a) != 0)
        throw std::runtime_error("udp bind failed");
    *port = LocalPort(fd.get());
    return fd;
}

void CloseWithReset(kxtest::UniqueFd& fd) {
    linger l;
    l.l_onoff = 1;
    l.l_linger = 0;
    setsockopt(fd.get(), SOL_SOCKET, SO_LINGER, &l, sizeof l);
    fd.reset();
}

int DeadPort() {
    int port = 0;
    Listen(1, &port);  // closed again at once
    return port;
}

bool WaitQueued(int fd, int n, int timeoutMs) {
    const double end = kxtest::NowMs() + timeoutMs;
    for (;;) {
        int queued = 0;
        if (ioctl(fd, FIONREAD, &queued) == 0 && queued >= n) return true;
        const double left = end - kxtest::NowMs();
        if (left <= 0) return false;
        // Readiness already holds once the first byte is in; the rest
        // follows on loopback within microseconds.
        pollfd p{fd, POLLIN, 0};
        poll(&p, 1, 1);
    }
}

std::string Def(const char* host, int port) {
    return std::string(host) + ":" + std::to_string(port);
}

}  // namespace kxnet
