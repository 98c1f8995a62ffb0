// An echo peer on 127.0.0.1 for the network benchmarks: everything on every
// TCP connection, or every datagram back to its sender, until destroyed.
// Its thread can be pinned to one CPU, so that caller and peer share a core
// (loopback round trips on a small VM are otherwise bimodal: a few µs on one
// core, tens with a cross-core wake-up).
#ifndef KXSER_BENCH_ECHO_PEER_H
#define KXSER_BENCH_ECHO_PEER_H

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <pthread.h>
#include <sched.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <thread>

namespace kxbench {

inline sockaddr_in Loopback(int port) {
    sockaddr_in a;
    memset(&a, 0, sizeof a);
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return a;
}

inline int BoundSocket(int type, int* port) {
    int fd = socket(AF_INET, type, 0);
    sockaddr_in a = Loopback(0);
    bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
    socklen_t len = sizeof a;
    getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
    *port = ntohs(a.sin_port);
    return fd;
}

// Pins the calling thread to `cpu` for its lifetime (cpu < 0: no pinning),
// restoring the old affinity afterwards.
class PinnedThread {
public:
    explicit PinnedThread(int cpu) : pinned_(false) {
        if (cpu < 0 || pthread_getaffinity_np(pthread_self(), sizeof old_, &old_) != 0) return;
        cpu_set_t one;
        CPU_ZERO(&one);
        CPU_SET(cpu, &one);
        pinned_ = pthread_setaffinity_np(pthread_self(), sizeof one, &one) == 0;
    }
    ~PinnedThread() {
        if (pinned_) pthread_setaffinity_np(pthread_self(), sizeof old_, &old_);
    }
    PinnedThread(const PinnedThread&) = delete;
    PinnedThread& operator=(const PinnedThread&) = delete;

private:
    cpu_set_t old_;
    bool pinned_;
};

class EchoPeer {
public:
    // `cpu` >= 0 pins the peer's thread to that CPU.
    explicit EchoPeer(int type, int cpu = -1) : type_(type), cpu_(cpu) {
        fd_ = BoundSocket(type, &port_);
        // Deep queue: a descheduled echo thread must not make the kernel drop SYNs.
        if (type == SOCK_STREAM) listen(fd_, SOMAXCONN);
        thread_ = std::thread([this] { Run(); });
    }
    ~EchoPeer() {
        stop_ = true;
        thread_.join();
        close(fd_);
    }
    int port() const { return port_; }
    EchoPeer(const EchoPeer&) = delete;
    EchoPeer& operator=(const EchoPeer&) = delete;

private:
    static const int kMaxConns = 64;

    void Run() {
        PinnedThread pin(cpu_);
        // The peer waits for the client's close, so the TIME_WAIT state stays
        // with the client; server-side TIME_WAIT would drop later SYNs that
        // reuse a port, costing a 1 s retransmission.
        pollfd fds[kMaxConns];
        int n = 1;
        fds[0] = pollfd{fd_, POLLIN, 0};
        unsigned char buf[2048];
        while (!stop_) {
            if (poll(fds, static_cast<nfds_t>(n), 50) <= 0) continue;
            for (int i = 0; i < n; ++i) {
                if ((fds[i].revents & (POLLIN | POLLHUP | POLLERR)) == 0) continue;
                if (type_ == SOCK_DGRAM) {
                    sockaddr_in from;
                    socklen_t len = sizeof from;
                    ssize_t r = recvfrom(fd_, buf, sizeof buf, 0, reinterpret_cast<sockaddr*>(&from), &len);
                    if (r > 0) sendto(fd_, buf, static_cast<size_t>(r), 0, reinterpret_cast<sockaddr*>(&from), len);
                } else if (i == 0) {
                    int c = accept(fd_, nullptr, nullptr);
                    if (c < 0) continue;
                    int on = 1;
                    setsockopt(c, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
                    if (n < kMaxConns) {
                        fds[n++] = pollfd{c, POLLIN, 0};
                    } else {
                        close(c);
                    }
                } else {
                    ssize_t r = recv(fds[i].fd, buf, sizeof buf, 0);
                    if (r <= 0) {
                        close(fds[i].fd);
                        fds[i] = fds[--n];
                        --i;
                        continue;
                    }
                    send(fds[i].fd, buf, static_cast<size_t>(r), MSG_NOSIGNAL);
                }
            }
        }
        for (int i = 1; i < n; ++i) close(fds[i].fd);
    }

    int type_;
    int cpu_;
    int fd_ = -1;
    int port_ = 0;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

}  // namespace kxbench

#endif
