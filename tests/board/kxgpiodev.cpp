// kxgpiodev: a GPIO driver behind a real /dev/gpio character device, served
// from user space through the kernel's CUSE protocol (/dev/cuse), for tests.
//
//   kxgpiodev --control PATH [--name NAME]
//
// The device keeps the driver contract the GPIO channel relies on:
//   read(fd, rec, 4)   rec is { uint16 line, uint16 value }: the reader puts
//                      the line number in, the driver stores its level in
//                      value (native byte order); other sizes fail (EINVAL)
//   ioctl(fd, 0 | 1, line)  drives output `line` low or high; the line is the
//                      integer argument itself; other requests fail (ENOTTY)
// Input levels come from the test and every open, read and drive is
// recorded, through a control socket at PATH (stream, one command a line,
// one answer a line, "ok ..." or "error ..."):
//   set LINE LEVEL   level a read of LINE returns (the whole 16 bits)
//   silent 0|1       1: reads succeed but store nothing
//   failing 0|1      1: reads and drives fail with EIO (still recorded)
//   reset            clear levels, outputs, counters and records
//   state            ok opens=N closes=N open=N flags=F reads=N drives=N
//   read I           ok LINE PRESET SIZE   the I-th read since reset
//   drive I          ok REQUEST LINE       the I-th drive since reset
//   output LINE      ok LEVEL              as last driven, -1 never
//   quit             ok; the device goes away
// The control socket appears once /dev/NAME (default gpio) is there.
// Exit codes: 0 after quit or SIGTERM, 1 failure, 3 no CUSE on this kernel.
#include <fcntl.h>
#include <linux/fuse.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/syscall.h>
#include <sys/uio.h>
#include <sys/un.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <vector>

namespace {

const int kExitNoCuse = 3;
const unsigned kLines = 1024;
// Records kept per kind; the counters go on past it.
const size_t kMaxRecords = 4096;
// /dev/cuse hands out whole requests only into a buffer this large.
const size_t kRequestBuffer = 8192 + 128 * 1024;
// How long a reader may take to go to sleep in read() before its buffer is
// looked up (it is on its way there when the request arrives).
const int kReaderWaitMs = 2000;

struct Record {
    uint16_t line;
    uint16_t value;
};
static_assert(sizeof(Record) == 4, "the GPIO driver reads a 4-byte record");

struct ReadEvent {
    long line;  // -1 when the reader's buffer could not be found
    unsigned preset;
    uint32_t size;
};

struct DriveEvent {
    uint32_t request;
    long line;
};

struct State {
    uint16_t levels[kLines] = {};
    int outputs[kLines];
    bool silent = false;
    bool failing = false;
    int opens = 0, closes = 0, open = 0;
    unsigned lastFlags = 0;
    long reads = 0, drives = 0;
    std::vector<ReadEvent> readLog;
    std::vector<DriveEvent> driveLog;

    State() { ResetOutputs(); }
    void ResetOutputs() {
        for (int& o : outputs) o = -1;
    }
    void Reset() {
        memset(levels, 0, sizeof levels);
        ResetOutputs();
        silent = false;
        failing = false;
        opens = closes = 0;
        lastFlags = 0;
        reads = drives = 0;
        readLog.clear();
        driveLog.clear();
    }
};

State g_state;
volatile sig_atomic_t g_stop = 0;

void OnSignal(int) { g_stop = 1; }

void SleepMs(int ms) {
    struct timespec ts = {ms / 1000, (ms % 1000) * 1000000L};
    while (nanosleep(&ts, &ts) != 0 && errno == EINTR && !g_stop) {
    }
}

// ---------------------------------------------------------------------------
// CUSE replies

bool Reply(int cuse, uint64_t unique, int error, const void* data, size_t size) {
    fuse_out_header out = {};
    out.len = static_cast<uint32_t>(sizeof out + (error == 0 ? size : 0));
    out.error = error;
    out.unique = unique;
    struct iovec iov[2] = {{&out, sizeof out}, {const_cast<void*>(data), size}};
    ssize_t n = writev(cuse, iov, error == 0 && size > 0 ? 2 : 1);
    // ENOENT: the request was interrupted and is gone; nothing to do.
    if (n < 0 && errno != ENOENT) {
        fprintf(stderr, "kxgpiodev: reply: %s\n", strerror(errno));
        return false;
    }
    return true;
}

bool ReplyError(int cuse, uint64_t unique, int err) { return Reply(cuse, unique, -err, nullptr, 0); }

// CUSE passes a read no input bytes, but the contract has the reader put the
// line number into its buffer before reading; a kernel driver would copy it
// from user memory. From user space: while the reader sleeps in read() (or
// pread64), /proc/TID/syscall names its buffer, and process_vm_readv reads
// the record from it. Needs the rights of ptrace over the reader (root).
bool ReaderRecord(pid_t tid, Record* rec) {
    char path[64];
    snprintf(path, sizeof path, "/proc/%d/syscall", static_cast<int>(tid));
    for (int waited = 0; waited <= kReaderWaitMs; ++waited) {
        char text[256] = {};
        int fd = open(path, O_RDONLY | O_CLOEXEC);
        if (fd < 0) return false;
        ssize_t n = read(fd, text, sizeof text - 1);
        close(fd);
        if (n <= 0) return false;
        if (strncmp(text, "running", 7) == 0) {
            SleepMs(1);
            continue;
        }
        long nr = -1;
        unsigned long long args[3] = {};
        if (sscanf(text, "%ld %llx %llx %llx", &nr, &args[0], &args[1], &args[2]) != 4) return false;
        if (nr != SYS_read && nr != SYS_pread64) return false;
        struct iovec local = {rec, sizeof *rec};
        struct iovec remote = {reinterpret_cast<void*>(static_cast<uintptr_t>(args[1])), sizeof *rec};
        return process_vm_readv(tid, &local, 1, &remote, 1, 0) == static_cast<ssize_t>(sizeof *rec);
    }
    return false;
}

bool HandleRead(int cuse, const fuse_in_header& h, const fuse_read_in& in) {
    ReadEvent ev = {-1, 0, in.size};
    Record rec = {};
    int err = 0;
    if (in.size != sizeof rec) {
        err = EINVAL;  // whole records only
    } else if (!ReaderRecord(static_cast<pid_t>(h.pid), &rec)) {
        err = EIO;
    } else {
        ev.line = rec.line;
        ev.preset = rec.value;
        if (!g_state.silent) rec.value = rec.line < kLines ? g_state.levels[rec.line] : 0;
        if (g_state.failing) err = EIO;
    }
    ++g_state.reads;
    if (g_state.readLog.size() < kMaxRecords) g_state.readLog.push_back(ev);
    if (err != 0) return ReplyError(cuse, h.unique, err);
    return Reply(cuse, h.unique, 0, &rec, sizeof rec);
}

bool HandleIoctl(int cuse, const fuse_in_header& h, const fuse_ioctl_in& in) {
    if (in.cmd != 0 && in.cmd != 1) return ReplyError(cuse, h.unique, ENOTTY);
    // The argument is the line number itself, as an int.
    const long line = static_cast<int32_t>(static_cast<uint32_t>(in.arg));
    ++g_state.drives;
    if (g_state.driveLog.size() < kMaxRecords) g_state.driveLog.push_back({in.cmd, line});
    if (line < 0 || line >= static_cast<long>(kLines)) return ReplyError(cuse, h.unique, EINVAL);
    if (g_state.failing) return ReplyError(cuse, h.unique, EIO);
    g_state.outputs[line] = static_cast<int>(in.cmd);
    fuse_ioctl_out out = {};
    return Reply(cuse, h.unique, 0, &out, sizeof out);
}

bool HandleInit(int cuse, const fuse_in_header& h, const cuse_init_in& in, const std::string& name) {
    if (in.major != FUSE_KERNEL_VERSION) {
        fprintf(stderr, "kxgpiodev: the kernel speaks FUSE %u, not %d\n", in.major, FUSE_KERNEL_VERSION);
        return false;
    }
    struct {
        cuse_init_out out;
        char info[64];
    } reply = {};
    reply.out.major = FUSE_KERNEL_VERSION;
    reply.out.minor = in.minor < FUSE_KERNEL_MINOR_VERSION ? in.minor : FUSE_KERNEL_MINOR_VERSION;
    reply.out.max_read = 4096;
    reply.out.max_write = 4096;
    // dev_major 0: the kernel picks the numbers.
    const int info = snprintf(reply.info, sizeof reply.info, "DEVNAME=%s", name.c_str());
    return Reply(cuse, h.unique, 0, &reply, sizeof reply.out + static_cast<size_t>(info) + 1);
}

// One request from the kernel; false when the device must stop.
bool HandleRequest(int cuse, const std::vector<uint8_t>& buf, size_t n, const std::string& name, bool* ready) {
    if (n < sizeof(fuse_in_header)) return false;
    fuse_in_header h;
    memcpy(&h, buf.data(), sizeof h);
    const uint8_t* arg = buf.data() + sizeof h;
    const size_t argSize = n - sizeof h;
    switch (h.opcode) {
    case CUSE_INIT: {
        cuse_init_in in = {};
        memcpy(&in, arg, argSize < sizeof in ? argSize : sizeof in);
        if (!HandleInit(cuse, h, in, name)) return false;
        *ready = true;
        return true;
    }
    case FUSE_OPEN: {
        fuse_open_in in = {};
        memcpy(&in, arg, argSize < sizeof in ? argSize : sizeof in);
        ++g_state.opens;
        ++g_state.open;
        g_state.lastFlags = in.flags;
        fuse_open_out out = {};
        out.fh = static_cast<uint64_t>(g_state.opens);
        return Reply(cuse, h.unique, 0, &out, sizeof out);
    }
    case FUSE_RELEASE:
        ++g_state.closes;
        --g_state.open;
        return Reply(cuse, h.unique, 0, nullptr, 0);
    case FUSE_READ: {
        fuse_read_in in = {};
        memcpy(&in, arg, argSize < sizeof in ? argSize : sizeof in);
        return HandleRead(cuse, h, in);
    }
    case FUSE_IOCTL: {
        fuse_ioctl_in in = {};
        memcpy(&in, arg, argSize < sizeof in ? argSize : sizeof in);
        return HandleIoctl(cuse, h, in);
    }
    case FUSE_INTERRUPT:
        return true;  // every request is answered at once; nothing to cancel
    case FUSE_FLUSH:
        return Reply(cuse, h.unique, 0, nullptr, 0);
    case FUSE_WRITE:
        return ReplyError(cuse, h.unique, EINVAL);  // outputs are driven by ioctl
    default:
        return ReplyError(cuse, h.unique, ENOSYS);
    }
}

// The node the kernel made for this device, checked against /dev/NAME: a
// different device of that name (a real driver) must not be taken for ours.
bool NodeIsOurs(const std::string& name) {
    const std::string sys = "/sys/class/cuse/" + name + "/dev";
    FILE* f = fopen(sys.c_str(), "re");
    if (f == nullptr) return false;
    unsigned maj = 0, min = 0;
    const bool read = fscanf(f, "%u:%u", &maj, &min) == 2;
    fclose(f);
    if (!read) return false;
    const std::string node = "/dev/" + name;
    for (int i = 0; i < 2000; ++i) {  // devtmpfs makes it at once, udev a little later
        struct stat st;
        if (stat(node.c_str(), &st) == 0)
            return S_ISCHR(st.st_mode) && st.st_rdev == makedev(maj, min);
        SleepMs(5);
    }
    return false;
}

// ---------------------------------------------------------------------------
// Control socket

std::string Command(const std::string& line, bool* quit) {
    char word[16] = {};
    long a = 0, b = 0;
    const int n = sscanf(line.c_str(), "%15s %ld %ld", word, &a, &b);
    const std::string cmd = n >= 1 ? word : "";
    char out[160];
    if (cmd == "set" && n == 3 && a >= 0 && a < static_cast<long>(kLines) && b >= 0 && b <= 0xffff) {
        g_state.levels[a] = static_cast<uint16_t>(b);
        return "ok";
    }
    if (cmd == "silent" && n == 2) {
        g_state.silent = a != 0;
        return "ok";
    }
    if (cmd == "failing" && n == 2) {
        g_state.failing = a != 0;
        return "ok";
    }
    if (cmd == "reset" && n == 1) {
        g_state.Reset();
        return "ok";
    }
    if (cmd == "state" && n == 1) {
        snprintf(out, sizeof out, "ok opens=%d closes=%d open=%d flags=%u reads=%ld drives=%ld", g_state.opens,
                 g_state.closes, g_state.open, g_state.lastFlags, g_state.reads, g_state.drives);
        return out;
    }
    if (cmd == "read" && n == 2 && a >= 0 && a < static_cast<long>(g_state.readLog.size())) {
        const ReadEvent& e = g_state.readLog[static_cast<size_t>(a)];
        snprintf(out, sizeof out, "ok %ld %u %" PRIu32, e.line, e.preset, e.size);
        return out;
    }
    if (cmd == "drive" && n == 2 && a >= 0 && a < static_cast<long>(g_state.driveLog.size())) {
        const DriveEvent& e = g_state.driveLog[static_cast<size_t>(a)];
        snprintf(out, sizeof out, "ok %" PRIu32 " %ld", e.request, e.line);
        return out;
    }
    if (cmd == "output" && n == 2 && a >= 0 && a < static_cast<long>(kLines)) {
        snprintf(out, sizeof out, "ok %d", g_state.outputs[a]);
        return out;
    }
    if (cmd == "quit" && n == 1) {
        *quit = true;
        return "ok";
    }
    return "error unknown command: " + line;
}

int Listen(const std::string& path) {
    sockaddr_un addr = {};
    addr.sun_family = AF_UNIX;
    if (path.size() >= sizeof addr.sun_path) {
        errno = ENAMETOOLONG;
        return -1;
    }
    memcpy(addr.sun_path, path.c_str(), path.size() + 1);
    unlink(path.c_str());
    int s = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (s < 0) return -1;
    if (bind(s, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || listen(s, 8) != 0) {
        const int err = errno;
        close(s);
        errno = err;
        return -1;
    }
    return s;
}

struct Client {
    int fd;
    std::string pending;
};

// Reads what a client sent and answers its whole lines; false when it left.
bool ServeClient(Client* c, bool* quit) {
    char buf[512];
    ssize_t n = recv(c->fd, buf, sizeof buf, 0);
    if (n < 0 && errno == EINTR) return true;
    if (n <= 0) return false;
    c->pending.append(buf, static_cast<size_t>(n));
    size_t eol;
    while ((eol = c->pending.find('\n')) != std::string::npos) {
        std::string answer = Command(c->pending.substr(0, eol), quit) + "\n";
        c->pending.erase(0, eol + 1);
        if (send(c->fd, answer.data(), answer.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(answer.size()))
            return false;
    }
    return c->pending.size() < 4096;
}

}  // namespace

int main(int argc, char** argv) {
    std::string control, name = "gpio";
    for (int i = 1; i < argc; ++i) {
        if (strcmp(argv[i], "--control") == 0 && i + 1 < argc) {
            control = argv[++i];
        } else if (strcmp(argv[i], "--name") == 0 && i + 1 < argc) {
            name = argv[++i];
        } else {
            fprintf(stderr, "usage: kxgpiodev --control PATH [--name NAME]\n");
            return 1;
        }
    }
    if (control.empty()) {
        fprintf(stderr, "usage: kxgpiodev --control PATH [--name NAME]\n");
        return 1;
    }
    struct sigaction sa = {};
    sa.sa_handler = OnSignal;
    sigaction(SIGTERM, &sa, nullptr);
    sigaction(SIGINT, &sa, nullptr);
    signal(SIGPIPE, SIG_IGN);

    const int cuse = open("/dev/cuse", O_RDWR | O_CLOEXEC);
    if (cuse < 0) {
        fprintf(stderr, "kxgpiodev: cannot open /dev/cuse: %s\n", strerror(errno));
        return errno == ENOENT || errno == ENODEV || errno == ENXIO ? kExitNoCuse : 1;
    }
    std::vector<uint8_t> buf(kRequestBuffer);
    std::vector<Client> clients;
    int listener = -1;
    bool ready = false, quit = false;
    int rc = 0;
    while (!g_stop && !quit) {
        std::vector<pollfd> fds = {{cuse, POLLIN, 0}};
        if (listener >= 0) fds.push_back({listener, POLLIN, 0});
        for (const Client& c : clients) fds.push_back({c.fd, POLLIN, 0});
        if (poll(fds.data(), fds.size(), -1) < 0) {
            if (errno == EINTR) continue;
            rc = 1;
            break;
        }
        if (fds[0].revents != 0) {
            ssize_t n = read(cuse, buf.data(), buf.size());
            if (n < 0 && (errno == EINTR || errno == EAGAIN || errno == ENOENT)) continue;
            if (n < 0) {
                fprintf(stderr, "kxgpiodev: /dev/cuse: %s\n", strerror(errno));
                rc = 1;
                break;
            }
            const bool wasReady = ready;
            if (!HandleRequest(cuse, buf, static_cast<size_t>(n), name, &ready)) {
                rc = 1;
                break;
            }
            if (ready && !wasReady) {
                if (!NodeIsOurs(name)) {
                    fprintf(stderr, "kxgpiodev: /dev/%s is not the device this program serves\n", name.c_str());
                    rc = 1;
                    break;
                }
                listener = Listen(control);
                if (listener < 0) {
                    fprintf(stderr, "kxgpiodev: cannot listen on %s: %s\n", control.c_str(), strerror(errno));
                    rc = 1;
                    break;
                }
            }
            continue;  // device requests first: a reader is waiting on each
        }
        size_t at = 1;
        if (listener >= 0) {
            if (fds[at].revents != 0) {
                int c = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
                if (c >= 0) clients.push_back({c, std::string()});
            }
            ++at;
        }
        for (size_t i = 0; i < clients.size() && at + i < fds.size(); ++i) {
            if (fds[at + i].revents == 0) continue;
            if (!ServeClient(&clients[i], &quit)) {
                close(clients[i].fd);
                clients[i].fd = -1;
            }
        }
        std::vector<Client> left;
        for (const Client& c : clients)
            if (c.fd >= 0) left.push_back(c);
        clients.swap(left);
    }
    for (const Client& c : clients) close(c.fd);
    if (listener >= 0) {
        close(listener);
        unlink(control.c_str());
    }
    close(cuse);  // the kernel removes /dev/NAME
    return rc;
}
