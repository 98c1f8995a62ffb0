// The fault sweep: each system call the library makes in a serial, TCP, UDP
// and socket-helper session fails once, at each of its occurrences, with
// each error number of its row in kErrors. Every run is a forked child (a
// hang is killed at its bound, a signal shows in its status) that reports
// its API results; the judge below accepts a result only when it is the
// healthy one or a reported failure, never a success whose effect is missing.
//
// KXSER_SWEEP_CASE=scenario/key#n/ERRNO (for example
// "tcp/fcntl(F_SETFL)#1/EINVAL") reruns one case with the library's log and
// the results shown; KXSER_SWEEP_STRIDE=k runs every k-th case (and the
// named rows of kDefects).
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <dirent.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "SerCom.h"
#include "SerNet.h"
#include "SocketHandle.h"
#include "faultsim.h"
#include "kxnet.h"
#include "kxsock.h"
#include "kxtest.h"
#include "serial_pty.h"

namespace {

// Error numbers each call fails with: what the system really answers there.
struct ErrorRow {
    const char* call;  // key prefix: "setsockopt" covers every option
    std::vector<int> errs;
};
const ErrorRow kErrors[] = {
    {"open", {ENOENT, EACCES, EBUSY}},
    {"close", {EIO, EINTR}},
    {"read", {EIO, EINTR, EAGAIN}},
    {"write", {EIO, EINTR, EAGAIN}},
    {"fcntl", {EINVAL, EBADF}},
    {"ioctl", {EIO}},
    {"tcgetattr", {ENOTTY, EIO}},
    {"tcsetattr", {EIO, EINVAL}},
    {"tcflush", {EIO}},
    {"ppoll", {EINTR, ENOMEM}},
    {"socket", {EMFILE, ENOBUFS, EACCES}},
    {"setsockopt", {ENOPROTOOPT, ENOMEM, EINVAL}},
    {"getsockopt", {ENOTSOCK}},
    {"connect", {ECONNREFUSED, ENETUNREACH, ETIMEDOUT}},
    {"bind", {EADDRINUSE, EACCES}},
    {"listen", {EADDRINUSE}},
    {"accept", {EMFILE, ECONNABORTED, EINTR}},
    {"shutdown", {ENOTCONN}},
    {"getsockname", {ENOBUFS}},
    {"getpeername", {ENOTCONN}},
    {"send", {EPIPE, ECONNRESET, EAGAIN}},
    {"sendto", {ECONNREFUSED, EAGAIN, EINTR}},
    {"recv", {ECONNRESET, EAGAIN, EINTR}},
    {"recvfrom", {ECONNREFUSED, EAGAIN, EINTR}},
    {"gethostname", {ENAMETOOLONG}},
};

// Cases that once went wrong; they run in every sample. Occurrence 0 is the
// healthy run, which checks its results against the scenario's wants.
struct Defect {
    const char* scenario;
    const char* key;
    int nth;
    int err;
    const char* what;
};
const Defect kDefects[] = {
    {"serial", "fcntl(F_SETFL)", 1, EINVAL, "1: serial Open kept a non-blocking descriptor"},
    {"tcp", "fcntl(F_GETFL)", 1, EINVAL, "2: network Open handed -1 to F_SETFL"},
    {"tcp", "fcntl(F_SETFL)", 1, EINVAL, "2: network Open connected without its bound"},
    {"tcp", "fcntl(F_SETFL)", 2, EINVAL, "2: network Open kept a non-blocking socket"},
    {"udp", "fcntl(F_SETFL)", 2, EINVAL, "2: network Open kept a non-blocking socket"},
    {"tcp", nullptr, 0, 0, "3: Purge swallowed the peer's close"},
    {"tcp", "recv", 2, ECONNRESET, "3: Purge left the channel open after a receive error"},
    {"serial", nullptr, 0, 0, "4: a signal in the first read did not end a Read without pass limit"},
    {"helper", "setsockopt(SO_RCVTIMEO)", 1, ENOMEM, "5: ConnectTo without its receive time-out"},
    {"helper", "socket", 1, EMFILE, "6: CreateSocket left no reason"},
    {"helper", "socket", 2, EMFILE, "6: ConnectTo left no reason"},
    {"helper", "accept", 1, EMFILE, "6: WaitForConnection left no reason"},
};

const char* ErrName(int err) {
    static const std::map<int, const char*> names = {
        {ENOENT, "ENOENT"}, {EACCES, "EACCES"}, {EIO, "EIO"}, {EINTR, "EINTR"}, {EAGAIN, "EAGAIN"},
        {EINVAL, "EINVAL"}, {ENOTTY, "ENOTTY"}, {ENOMEM, "ENOMEM"}, {EMFILE, "EMFILE"},
        {ENOBUFS, "ENOBUFS"}, {ENOPROTOOPT, "ENOPROTOOPT"}, {ENOTSOCK, "ENOTSOCK"},
        {ECONNREFUSED, "ECONNREFUSED"}, {ENETUNREACH, "ENETUNREACH"}, {EADDRINUSE, "EADDRINUSE"},
        {ECONNABORTED, "ECONNABORTED"}, {ENOTCONN, "ENOTCONN"}, {EPIPE, "EPIPE"},
        {ECONNRESET, "ECONNRESET"}, {ENAMETOOLONG, "ENAMETOOLONG"}, {EBUSY, "EBUSY"}, {EBADF, "EBADF"},
        {ETIMEDOUT, "ETIMEDOUT"}};
    auto it = names.find(err);
    return it != names.end() ? it->second : "?";
}

// Results that are neither healthy nor failures.
const long kWrongData = -1000;  // the count was right, the bytes were not
const long kNoReason = -1001;   // a socket-helper failure left no last error

// ---------------------------------------------------------------------------
// Child side: a scenario reports its steps on a pipe.

class Recorder {
public:
    explicit Recorder(int fd) : fd_(fd) {}
    // `got` must be `want` unless `failed` (a reported failure).
    void Step(const char* name, long got, long want, bool failed) {
        const int fired = faultsim_fired();
        dprintf(fd_, "S %ld %ld %d %d %s\n", got, want, failed ? 1 : 0, fired > fired_ ? 1 : 0, name);
        fired_ = fired;
    }
    // A channel's result; a short one, or a channel the call left closed
    // (`handle` is its descriptor member, read after the call), is a failure.
    void Channel(const char* name, long got, long want, const int& handle) {
        Step(name, got, want, got < want || handle < 0);
    }
    // The same for a byte count whose bytes must match when it is whole.
    void Bytes(const char* name, long got, const unsigned char* data, const char* want, const int& handle) {
        const long n = static_cast<long>(strlen(want));
        if (got == n && memcmp(data, want, static_cast<size_t>(n)) != 0) got = kWrongData;
        Step(name, got, n, (got < n && got != kWrongData) || handle < 0);
    }
    // A socket-helper result; a false or a -1 for a failed call must leave
    // its reason (a count of 0, a wait that ran out, records nothing).
    void Helper(const char* name, long got, long want, bool failed, bool count = false) {
        const bool fired = faultsim_fired() > fired_;
        if (fired && failed && got == (count ? -1 : 0) && GetLastError() == 0) {
            Step(name, kNoReason, want, false);
            return;
        }
        Step(name, got, want, failed);
    }

private:
    int fd_;
    int fired_ = 0;
};

// Open sockets and terminals: what the library opens. Other descriptors
// come and go in the runtime (AddressSanitizer reads /proc/self/maps on a
// new thread), so they do not count.
int ChannelFds() {
    DIR* d = opendir("/proc/self/fd");
    if (d == nullptr) return -1;
    int n = 0;
    while (const dirent* e = readdir(d)) {
        char link[64];
        const std::string path = std::string("/proc/self/fd/") + e->d_name;
        const ssize_t len = readlink(path.c_str(), link, sizeof link - 1);
        if (len <= 0) continue;
        link[len] = '\0';
        if (strncmp(link, "socket:", 7) == 0 || strncmp(link, "/dev/pts", 8) == 0 || strcmp(link, "/dev/ptmx") == 0)
            ++n;
    }
    closedir(d);
    return n;
}

bool Readable(int fd, short events, int ms) {
    if (fd < 0) return false;
    pollfd p{fd, events, 0};
    return poll(&p, 1, ms) > 0;
}

// A pty peer: answers each 4-byte request after 150 ms with "<req>".
struct SerialPeer {
    explicit SerialPeer(int master) : fd(master), thread([this] { Serve(); }) {}
    ~SerialPeer() {
        stop = true;
        thread.join();
    }
    void Serve() {
        std::string req;
        while (!stop) {
            if (!Readable(fd, POLLIN, 20)) continue;
            char c[16];
            const ssize_t n = ::read(fd, c, sizeof c);
            if (n > 0) req.append(c, static_cast<size_t>(n));
            while (req.size() >= 4) {
                poll(nullptr, 0, 150);
                const std::string reply = "<" + req.substr(0, 4) + ">";
                kxtest::WriteAll(fd, reply.data(), static_cast<int>(reply.size()));
                req.erase(0, 4);
                ++answered;
            }
        }
    }
    int fd;
    std::atomic<bool> stop{false};
    std::atomic<int> answered{0};
    std::thread thread;
};

void SerialScenario(Recorder& r) {
    kxtest::SerialLine line;
    SerialPeer peer(line.master());
    // Between exchanges the line is emptied, so a late reply to a failed
    // exchange cannot pass for the next one's: every request sent has been
    // answered, and the answers drained until the line is quiet.
    int sent = 0;
    auto resync = [&] {
        for (int i = 0; i < 300 && peer.answered < sent; ++i) poll(nullptr, 0, 10);
        char junk[64];
        while (Readable(line.holder.get(), POLLIN, 20) && ::read(line.holder.get(), junk, sizeof junk) > 0) {
        }
        tcflush(line.holder.get(), TCIOFLUSH);
    };
    const int fds = ChannelFds();
    CSerCom ch(line.Def("115200,N,8,1").c_str());
    r.Channel("Open", ch.Open(nullptr), 1, ch.m_nHandle);
    unsigned char buf[16] = {};
    for (const char* req : {"req1", "req2"}) {
        resync();
        const int purged = ch.Purge();
        r.Step("Purge", purged, 1, purged == 0);
        const int w = ch.Write(reinterpret_cast<const unsigned char*>(req), 4);
        r.Step("Write", w, 4, w < 4);
        if (w == 4) ++sent;
        const std::string want = std::string("<") + req + ">";
        // Three passes: the reply, 150 ms away, may come late on a busy machine.
        r.Bytes("Read", ch.Read(buf, 6, 3000), buf, want.c_str(), ch.m_nHandle);
    }
    resync();
    // A host breaks a Read without pass limit with a signal. It comes again
    // every 50 ms: on a loaded machine the first may arrive before the Read
    // waits, and a Read that never sees one never ends.
    struct sigaction sa, old;
    memset(&sa, 0, sizeof sa);
    sa.sa_handler = [](int) {};
    sigaction(SIGALRM, &sa, &old);
    itimerval t{};
    t.it_value.tv_usec = 50000;
    t.it_interval.tv_usec = 50000;
    setitimer(ITIMER_REAL, &t, nullptr);
    const int got = ch.Read(buf, 8, -1000);
    t = itimerval{};
    setitimer(ITIMER_REAL, &t, nullptr);
    sigaction(SIGALRM, &old, nullptr);
    r.Step("Read(signal)", got, 0, got < 0);
    r.Step("Close", ch.Close(), 1, false);
    r.Step("descriptors", ChannelFds() - fds, 0, false);
}

// A TCP echo peer on loopback, one connection at a time: echoes 5-byte
// requests after 30 ms; answers "bye!!" with three bytes and its close.
struct TcpPeer {
    TcpPeer() : listener(kxnet::Listen(4, &port)), thread([this] { Serve(); }) {}
    ~TcpPeer() { Stop(); }
    // Ends the peer and its connection, which the descriptor count must not see.
    void Stop() {
        stop = true;
        if (thread.joinable()) thread.join();
    }
    void Serve() {
        while (!stop) {
            kxtest::UniqueFd conn = kxnet::Accept(listener.get(), 20);
            std::string req;
            while (conn && !stop) {
                if (!Readable(conn.get(), POLLIN, 20)) continue;
                char c[16];
                const ssize_t n = ::recv(conn.get(), c, sizeof c, 0);
                if (n <= 0) break;
                req.append(c, static_cast<size_t>(n));
                if (req.size() < 5) continue;
                if (req.compare(0, 5, "bye!!") == 0) {
                    kxtest::WriteAll(conn.get(), "xyz", 3);
                    break;
                }
                poll(nullptr, 0, 30);
                kxtest::WriteAll(conn.get(), req.data(), 5);
                req.erase(0, 5);
            }
        }
    }
    int port = 0;
    kxtest::UniqueFd listener;
    std::atomic<bool> stop{false};
    std::thread thread;
};

const unsigned char* U(const char* s) { return reinterpret_cast<const unsigned char*>(s); }

void TcpScenario(Recorder& r) {
    TcpPeer peer;
    const int fds = ChannelFds();
    CSerNet ch(kxnet::Def("127.0.0.1", peer.port).c_str());
    unsigned char buf[16] = {};
    r.Channel("Open", ch.Open(nullptr), 1, ch.m_nSocket);
    r.Channel("Write", ch.Write(U("ping1"), 5), 5, ch.m_nSocket);
    // INFINITE: a receive without a wait first, on a socket that must block.
    r.Bytes("Read(INFINITE)", ch.Read(buf, 5, INFINITE), buf, "ping1", ch.m_nSocket);
    r.Channel("Purge", ch.Purge(), 1, ch.m_nSocket);
    r.Channel("Write(bye)", ch.Write(U("bye!!"), 5), 5, ch.m_nSocket);
    Readable(ch.m_nSocket, POLLRDHUP, 1000);
    // The peer's three bytes and its close: drained, and the channel closed.
    const int purged = ch.Purge();
    r.Step("Purge(closed peer)", purged == 1 && ch.m_nSocket < 0 ? 1 : 0, 1, purged == 0);
    r.Channel("IsOpened", ch.IsOpened(), 1, ch.m_nSocket);
    r.Channel("Write", ch.Write(U("ping2"), 5), 5, ch.m_nSocket);
    r.Bytes("Read", ch.Read(buf, 5, 1000), buf, "ping2", ch.m_nSocket);
    r.Step("Close", ch.Close(), 1, false);
    peer.Stop();
    r.Step("descriptors", ChannelFds() - fds, 0, false);
}

// A UDP echo peer on loopback: echoes after 30 ms; answers "empty" with an
// empty datagram.
struct UdpPeer {
    UdpPeer() : sock(kxnet::UdpBind(&port)), thread([this] { Serve(); }) {}
    ~UdpPeer() {
        stop = true;
        thread.join();
    }
    void Serve() {
        while (!stop) {
            if (!Readable(sock.get(), POLLIN, 20)) continue;
            char c[64];
            sockaddr_in from;
            socklen_t len = sizeof from;
            const ssize_t n = ::recvfrom(sock.get(), c, sizeof c, 0, reinterpret_cast<sockaddr*>(&from), &len);
            if (n < 0) continue;
            const bool empty = n == 5 && memcmp(c, "empty", 5) == 0;
            if (!empty) poll(nullptr, 0, 30);
            ::sendto(sock.get(), c, empty ? 0 : static_cast<size_t>(n), 0, reinterpret_cast<sockaddr*>(&from), len);
        }
    }
    int port = 0;
    kxtest::UniqueFd sock;
    std::atomic<bool> stop{false};
    std::thread thread;
};

void UdpScenario(Recorder& r) {
    UdpPeer peer;
    const int fds = ChannelFds();
    CSerNet ch(kxnet::Def("u127.0.0.1", peer.port).c_str());
    unsigned char buf[16] = {};
    r.Channel("Open", ch.Open(nullptr), 1, ch.m_nSocket);
    r.Channel("Write", ch.Write(U("ping1"), 5), 5, ch.m_nSocket);
    r.Bytes("Read(INFINITE)", ch.Read(buf, 5, INFINITE), buf, "ping1", ch.m_nSocket);
    r.Channel("Write(empty)", ch.Write(U("empty"), 5), 5, ch.m_nSocket);
    Readable(ch.m_nSocket, POLLIN, 1000);
    // An empty datagram is no close.
    const int purged = ch.Purge();
    r.Step("Purge(empty datagram)", purged, 1, purged == 0 || ch.m_nSocket < 0);
    r.Channel("Write", ch.Write(U("ping2"), 5), 5, ch.m_nSocket);
    r.Bytes("Read", ch.Read(buf, 5, 1000), buf, "ping2", ch.m_nSocket);
    r.Step("Close", ch.Close(), 1, false);
    // Broadcast set-up only: nothing is sent outside a private network.
    CSerNet bc(kxnet::Def("b", peer.port).c_str());
    r.Channel("Open(broadcast)", bc.Open(nullptr), 1, bc.m_nSocket);
    r.Step("Close(broadcast)", bc.Close(), 1, false);
    r.Step("descriptors", ChannelFds() - fds, 0, false);
}

void HelperScenario(Recorder& r) {
    const int fds = ChannelFds();
    {
        CSocketHandle listener, client, server, udp;
        SockAddrIn addr, self;
        unsigned char buf[16] = {};
        bool ok;
        SetLastError(0);
        ok = listener.CreateSocket("127.0.0.1", "0", AF_INET, SOCK_STREAM, 2);
        r.Helper("CreateSocket(stream)", ok, 1, !ok);
        SetLastError(0);
        ok = listener.GetSockName(addr);
        r.Helper("GetSockName", ok, 1, !ok);
        const std::string port = std::to_string(ntohs(addr.sin_port));
        SetLastError(0);
        ok = client.ConnectTo("127.0.0.1", "127.0.0.1", port.c_str(), AF_INET, SOCK_STREAM);
        r.Helper("ConnectTo", ok, 1, !ok);
        // The receive time-out a WAIT_FOREVER Read relies on.
        timeval tv{};
        socklen_t len = sizeof tv;
        const bool timed = client.IsOpen() &&
                           getsockopt(static_cast<int>(client.GetSocket()), SOL_SOCKET, SO_RCVTIMEO, &tv, &len) == 0 &&
                           tv.tv_sec == 3;
        r.Step("receive time-out", timed, 1, !client.IsOpen());
        long conn = -1;
        SetLastError(0);
        if (client.IsOpen()) conn = CSocketHandle::WaitForConnection(listener.GetSocket());
        r.Helper("WaitForConnection", conn >= 0, 1, conn < 0);
        if (conn >= 0) server.Attach(conn);
        memcpy(buf, "hello", 5);
        SetLastError(0);
        int n = client.Write(buf, 5, nullptr, 1000);
        r.Helper("Write", n, 5, n < 5, true);
        memset(buf, 0, sizeof buf);
        SetLastError(0);
        n = server.Read(buf, 5, nullptr, 1000);
        r.Helper("Read", n == 5 && memcmp(buf, "hello", 5) != 0 ? kWrongData : n, 5, n < 5 && n != kWrongData, true);
        SetLastError(0);
        unsigned char reply[] = "olleh";
        n = server.Write(reply, 5, nullptr, INFINITE);
        r.Helper("Write(INFINITE)", n, 5, n < 5, true);
        memset(buf, 0, sizeof buf);
        SetLastError(0);
        n = client.Read(buf, 5, nullptr, 1000);
        r.Helper("Read(reply)", n == 5 && memcmp(buf, "olleh", 5) != 0 ? kWrongData : n, 5, n < 5 && n != kWrongData,
                 true);
        SetLastError(0);
        ok = server.GetPeerName(addr);
        r.Helper("GetPeerName", ok, 1, !ok);
        SetLastError(0);
        n = client.GetSocketType();
        r.Helper("GetSocketType", n, SOCK_STREAM, n < 0, true);
        SetLastError(0);
        ok = udp.CreateSocket("127.0.0.1", "0", AF_INET, SOCK_DGRAM, 6);
        r.Helper("CreateSocket(dgram)", ok, 1, !ok);
        SetLastError(0);
        ok = udp.GetSockName(self);
        r.Helper("GetSockName(dgram)", ok, 1, !ok);
        SetLastError(0);
        memcpy(buf, "dgram", 5);
        n = udp.Write(buf, 5, self, 1000);
        r.Helper("Write(to)", n, 5, n < 5, true);
        SockAddrIn from;
        memset(buf, 0, sizeof buf);
        SetLastError(0);
        n = udp.Read(buf, 5, from, 1000);
        r.Helper("Read(from)", n == 5 && (memcmp(buf, "dgram", 5) != 0 || !from.IsEqual(self)) ? kWrongData : n, 5,
                 n < 5 && n != kWrongData, true);
        listener.Close();
        client.Close();
        server.Close();
        udp.Close();
    }
    r.Step("descriptors", ChannelFds() - fds, 0, false);
}

struct Scenario {
    const char* name;
    void (*run)(Recorder&);
    int boundMs;  // a run that takes longer hangs
};
const Scenario kScenarios[] = {
    {"serial", SerialScenario, 8000},
    {"tcp", TcpScenario, 8000},
    {"udp", UdpScenario, 8000},
    {"helper", HelperScenario, 8000},
};

// ---------------------------------------------------------------------------
// Parent side

struct StepResult {
    std::string name;
    long got = 0, want = 0;
    bool failed = false, fired = false;
};

struct Outcome {
    std::string problem;  // empty when the child ended normally
    std::vector<StepResult> steps;
    std::vector<std::pair<std::string, int>> calls;
    double ms = 0;
};

Outcome RunChild(const Scenario& s, const char* key, int nth, int err, bool verbose) {
    Outcome out;
    int p[2];
    if (pipe(p) != 0) {
        out.problem = "pipe failed";
        return out;
    }
    fflush(stdout);
    fflush(stderr);
    const double start = kxtest::NowMs();
    const pid_t pid = fork();
    if (pid == 0) {
        ::close(p[0]);
        if (!verbose) {
            FILE* null = freopen("/dev/null", "w", stdout);
            (void)null;
        }
        if (!faultsim_target("/kxSer.so")) kxtest::ExitChild(3);
        faultsim_arm(key, nth, err);
        Recorder r(p[1]);
        s.run(r);
        int count = 0;
        for (int i = 0; const char* k = faultsim_key(i, &count); ++i) dprintf(p[1], "C %s %d\n", k, count);
        fflush(stdout);
        kxtest::ExitChild(0);
    }
    ::close(p[1]);
    std::string text;
    const double deadline = start + s.boundMs;
    bool hung = false;
    for (;;) {
        const int left = static_cast<int>(deadline - kxtest::NowMs());
        if (left <= 0) {
            hung = true;
            break;
        }
        if (!Readable(p[0], POLLIN, left)) continue;
        char buf[4096];
        const ssize_t n = ::read(p[0], buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        text.append(buf, static_cast<size_t>(n));
    }
    ::close(p[0]);
    if (hung) kill(pid, SIGKILL);
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    out.ms = kxtest::NowMs() - start;
    size_t pos = 0;
    while (pos < text.size()) {
        size_t end = text.find('\n', pos);
        if (end == std::string::npos) end = text.size();
        const std::string ln = text.substr(pos, end - pos);
        pos = end + 1;
        char name[64];
        long got, want;
        int failed, fired, count;
        if (sscanf(ln.c_str(), "S %ld %ld %d %d %63[^\n]", &got, &want, &failed, &fired, name) == 5)
            out.steps.push_back({name, got, want, failed != 0, fired != 0});
        else if (sscanf(ln.c_str(), "C %63s %d", name, &count) == 2)
            out.calls.emplace_back(name, count);
    }
    if (hung)
        out.problem = "did not end within " + std::to_string(s.boundMs) + " ms";
    else if (WIFSIGNALED(status))
        out.problem = std::string("killed by signal ") + strsignal(WTERMSIG(status));
    else if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
        out.problem = "exit status " + std::to_string(WEXITSTATUS(status));
    return out;
}

std::string Trace(const Outcome& o) {
    std::string t;
    for (const StepResult& s : o.steps)
        t += "  " + s.name + " " + std::to_string(s.got) + " (healthy " + std::to_string(s.want) + ")" +
             (s.failed ? " failure" : "") + (s.fired ? " <- fault" : "") + "\n";
    return t;
}

// Empty when every result is healthy or a reported failure: before the fault
// everything is healthy; a failure is reported in the step the fault hit, or
// after an earlier failure; a step that reported success after its fault
// must leave a channel that goes on as the healthy one.
std::string Judge(const Outcome& o, size_t healthySteps) {
    if (!o.problem.empty()) return o.problem;
    if (o.steps.size() != healthySteps) return "the scenario ended early";
    bool faulted = false, degraded = false;
    for (const StepResult& s : o.steps) {
        faulted = faulted || s.fired;
        if (s.failed) {
            if (!faulted) return s.name + " fails without a fault";
            if (!s.fired && !degraded) return s.name + " fails after an earlier call reported success for its fault";
            degraded = true;
        } else if (s.got != s.want) {
            return s.name + ": " + std::to_string(s.got) + " is no failure and not the healthy result";
        }
    }
    return "";
}

struct Case {
    std::string key;
    int nth;
    int err;
    const char* what;  // a named row of kDefects, or null
};

std::string CaseName(const Scenario& s, const Case& c) {
    return std::string(s.name) + "/" + c.key + "#" + std::to_string(c.nth) + "/" + ErrName(c.err);
}

const std::vector<int>* ErrorsFor(const std::string& key) {
    const std::string call = key.substr(0, key.find('('));
    for (const ErrorRow& row : kErrors)
        if (call == row.call) return &row.errs;
    return nullptr;
}

class Sweep : public ::testing::TestWithParam<Scenario> {};

TEST_P(Sweep, EveryFailedCallIsReported) {
    const Scenario& s = GetParam();
    const char* only = getenv("KXSER_SWEEP_CASE");
    const char* strideText = getenv("KXSER_SWEEP_STRIDE");
    const int stride = strideText != nullptr && atoi(strideText) > 1 ? atoi(strideText) : 1;

    // The healthy run counts the calls, and its results are the wants.
    const Outcome healthy = RunChild(s, nullptr, 0, 0, false);
    ASSERT_EQ(Judge(healthy, healthy.steps.size()), "") << "healthy run\n" << Trace(healthy);
    for (const StepResult& st : healthy.steps)
        EXPECT_EQ(st.got, st.want) << s.name << " healthy run, " << st.name << "\n" << Trace(healthy);
    for (const Defect& d : kDefects)
        if (d.nth == 0 && strcmp(d.scenario, s.name) == 0) {
            EXPECT_FALSE(HasFailure()) << "defect " << d.what;
        }
    ASSERT_FALSE(HasFailure());

    std::vector<Case> cases;
    for (const auto& call : healthy.calls) {
        const std::vector<int>* errs = ErrorsFor(call.first);
        ASSERT_NE(errs, nullptr) << "no error numbers for " << call.first;
        for (int nth = 1; nth <= call.second; ++nth)
            for (int err : *errs) cases.push_back({call.first, nth, err, nullptr});
    }
    for (const Defect& d : kDefects) {
        if (d.nth == 0 || strcmp(d.scenario, s.name) != 0) continue;
        bool found = false;
        for (Case& c : cases)
            if (c.key == d.key && c.nth == d.nth && c.err == d.err) {
                c.what = d.what;
                found = true;
            }
        EXPECT_TRUE(found) << "the row of defect " << d.what << " no longer reaches its call";
    }

    int ran = 0, unreached = 0;
    double slowest = 0;
    const double start = kxtest::NowMs();
    for (size_t i = 0; i < cases.size(); ++i) {
        const Case& c = cases[i];
        const std::string name = CaseName(s, c);
        if (only != nullptr && name != only) continue;
        if (only == nullptr && c.what == nullptr && i % static_cast<size_t>(stride) != 0) continue;
        const Outcome o = RunChild(s, c.key.c_str(), c.nth, c.err, only != nullptr);
        ++ran;
        if (o.ms > slowest) slowest = o.ms;
        bool fired = false;
        for (const StepResult& st : o.steps) fired = fired || st.fired;
        if (!fired && o.problem.empty()) ++unreached;
        const std::string verdict = Judge(o, healthy.steps.size());
        EXPECT_EQ(verdict, "") << name << (c.what != nullptr ? std::string(" (defect ") + c.what + ")" : "")
                               << "\n" << Trace(o);
        if (only != nullptr) printf("%s: %s\n%s", name.c_str(), verdict.empty() ? "ok" : verdict.c_str(), Trace(o).c_str());
    }
    printf("sweep %s: %d runs of %zu cases (%d left their call unreached) in %.1f s, slowest %.0f ms\n", s.name, ran,
           cases.size(), unreached, (kxtest::NowMs() - start) / 1000.0, slowest);
}

void PrintTo(const Scenario& s, std::ostream* os) { *os << s.name; }

// Socket-helper failures the scenarios cannot reach on a shared machine:
// name lookups and multicast options run only in a private network.
TEST(SweepRows, HelperFailuresInAPrivateNetwork) {
    KXSOCK_IN_PRIVATE_NET([] {
        ASSERT_TRUE(faultsim_target("/kxSer.so"));
        CSocketHandle udp;
        ASSERT_TRUE(udp.CreateSocket("127.0.0.1", "0", AF_INET, SOCK_DGRAM, 0));
        in_addr_t nic = htonl(INADDR_LOOPBACK);
        // qemu-user does not emulate the outgoing interface, which comes first.
        const bool multicastIf = setsockopt(static_cast<int>(udp.GetSocket()), IPPROTO_IP, IP_MULTICAST_IF, &nic,
                                            sizeof nic) == 0;
        char text[260];
        struct Row {
            const char* key;
            int err;
            bool (*call)(CSocketHandle&, char*);
        } rows[] = {
            {"gethostname", ENAMETOOLONG,
             [](CSocketHandle&, char* t) { return CSocketHandle::GetLocalName(t, 260); }},
            {"gethostname", ENAMETOOLONG,
             [](CSocketHandle&, char* t) { return CSocketHandle::GetLocalAddress(t, 260); }},
            {"getsockopt(SO_TYPE)", ENOTSOCK,
             [](CSocketHandle& h, char*) { return h.DropMembership("239.1.2.3", "127.0.0.1"); }},
            {"setsockopt(IP_MULTICAST_TTL)", ENOMEM,
             [](CSocketHandle& h, char*) { return h.AddMembership("239.1.2.3", "127.0.0.1"); }},
        };
        for (const Row& row : rows) {
            SCOPED_TRACE(row.key);
            if (!multicastIf && strcmp(row.key, "setsockopt(IP_MULTICAST_TTL)") == 0) continue;
            faultsim_arm(row.key, 1, row.err);
            SetLastError(0);
            bool ok;
            {
                kxtest::StdoutToNull quiet;
                ok = row.call(udp, text);
            }
            EXPECT_FALSE(ok);
            EXPECT_EQ(faultsim_fired(), 1);
            EXPECT_EQ(GetLastError(), row.err);
        }
        faultsim_arm(nullptr, 0, 0);
    });
}

INSTANTIATE_TEST_SUITE_P(Faults, Sweep, ::testing::ValuesIn(kScenarios),
                         [](const ::testing::TestParamInfo<Scenario>& info) { return std::string(info.param.name); });

}  // namespace
