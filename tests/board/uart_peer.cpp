// uart-peer: the far end of one of the board's serial lines, run on the
// build machine.
//
//   uart-peer --listen PATH [--limit SECONDS]
//   uart-peer --pty LINK [--limit SECONDS]
//   uart-peer --tty PATH [--limit SECONDS]
//
// QEMU connects the line to the Unix socket PATH, or opens the terminal
// LINK points at: the slave of a pseudo-terminal the peer made, so that the
// line settings QEMU's FTDI and 16550 models pass on (speed, stop bits) can
// be asked for (kFuncLine). With --tty the peer runs on the board itself, on
// the far end of its USB gadget (ttyGS0 for ttyACM0 and the other way round):
// it writes "ready" on standard output once the line is raw, and ends when
// killed. The peer answers the frames of tests/board/uart_frame.h that the
// board's UART tests send, and ends when QEMU closes its end, or after
// SECONDS (default 600) in any case. One line per frame goes to standard
// error.
//
// <asm/termbits.h> (for termios2, which shows any speed) and <termios.h>
// cannot be included together: this file uses only the former.
#include <asm/termbits.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "uart_frame.h"

namespace {

// Frames larger than this are taken for noise and dropped.
const size_t kMaxFrame = 4096;
// A frame's bytes arrive back to back; a partial frame this old is noise.
const int kStaleMs = 1000;

void SleepMs(int ms) {
    struct timespec ts = {ms / 1000, (ms % 1000) * 1000000L};
    while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
    }
}

bool SendAll(int fd, const uint8_t* p, size_t n) {
    while (n > 0) {
        ssize_t w = write(fd, p, n);  // SIGPIPE is ignored
        if (w < 0 && errno == EINTR) continue;
        if (w <= 0) return false;
        p += w;
        n -= static_cast<size_t>(w);
    }
    return true;
}

bool SendAll(int fd, const std::vector<uint8_t>& v) { return SendAll(fd, v.data(), v.size()); }

std::vector<uint8_t> Exception(uint8_t address, uint8_t function, uint8_t code) {
    return kxframe::Make(address, static_cast<uint8_t>(function | 0x80), {code});
}

// Answers one whole frame; false when the connection failed.
bool Answer(int fd, const std::vector<uint8_t>& f) {
    const uint8_t address = f[0];
    const uint8_t function = f[1];
    const uint8_t* data = f.data() + kxframe::kHeaderSize;
    const size_t len = f.size() - kxframe::kHeaderSize - kxframe::kCrcSize;
    if (!kxframe::Valid(f.data(), f.size())) {
        fprintf(stderr, "uart-peer: function 0x%02x, %zu data bytes: bad CRC\n", function, len);
        return SendAll(fd, Exception(address, function, kxframe::kExceptionBadCrc));
    }
    fprintf(stderr, "uart-peer: function 0x%02x, %zu data bytes\n", function, len);
    switch (function) {
    case kxframe::kFuncEcho:
        return SendAll(fd, f);
    case kxframe::kFuncRead:
        if (len == 3) {
            std::vector<uint8_t> regs;
            const unsigned first = kxframe::Get16(data);
            for (unsigned i = 0; i < data[2]; ++i) kxframe::Put16(&regs, kxframe::RegisterValue(first + i));
            return SendAll(fd, kxframe::Make(address, function, regs));
        }
        break;
    case kxframe::kFuncPaced:
        if (len == 6) {
            const unsigned n1 = kxframe::Get16(data), gap = kxframe::Get16(data + 2), n2 = kxframe::Get16(data + 4);
            std::vector<uint8_t> part;
            for (size_t i = 0; i < n1 + n2; ++i) part.push_back(kxframe::PacedByte(i));
            if (!SendAll(fd, part.data(), n1)) return false;
            SleepMs(static_cast<int>(gap));
            return SendAll(fd, part.data() + n1, n2);
        }
        break;
    case kxframe::kFuncLine: {
        struct termios2 t;
        if (len != 0 || ioctl(fd, TCGETS2, &t) != 0) break;  // a socket has no line
        std::vector<uint8_t> line;
        kxframe::Put16(&line, t.c_ospeed & 0xffff);
        kxframe::Put16(&line, t.c_ospeed >> 16);
        line.push_back((t.c_cflag & CSTOPB) != 0 ? 2 : 1);
        fprintf(stderr, "uart-peer: the line is at %u bit/s, %d stop bits\n", t.c_ospeed, line.back());
        return SendAll(fd, kxframe::Make(address, function, line));
    }
    case kxframe::kFuncTrickle:
        if (len == 4) {
            const unsigned count = kxframe::Get16(data), interval = kxframe::Get16(data + 2);
            for (size_t i = 0; i < count; ++i) {
                if (i > 0) SleepMs(static_cast<int>(interval));
                const uint8_t b = kxframe::PacedByte(i);
                if (!SendAll(fd, &b, 1)) return false;
            }
            return true;
        }
        break;
    case kxframe::kFuncEchoed:
        if (kxframe::Valid(data, len)) {
            // The echo first, whole, as a half-duplex line hands it back.
            return SendAll(fd, f) && Answer(fd, std::vector<uint8_t>(data, data + len));
        }
        break;
    default:
        break;
    }
    return SendAll(fd, Exception(address, function, kxframe::kExceptionUnknown));
}

void Serve(int fd) {
    std::vector<uint8_t> buf;
    for (;;) {
        struct pollfd p = {fd, POLLIN, 0};
        int r = poll(&p, 1, buf.empty() ? -1 : kStaleMs);
        if (r < 0 && errno == EINTR) continue;
        if (r < 0) return;
        if (r == 0) {
            fprintf(stderr, "uart-peer: dropped %zu bytes of an unfinished frame\n", buf.size());
            buf.clear();
            continue;
        }
        uint8_t in[1024];
        ssize_t n = read(fd, in, sizeof in);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;  // QEMU closed the line (EIO on a pty): the board is off
        buf.insert(buf.end(), in, in + n);
        while (buf.size() >= kxframe::kHeaderSize) {
            const size_t size = kxframe::SizeFromHeader(buf.data());
            if (size > kMaxFrame) {
                fprintf(stderr, "uart-peer: dropped %zu bytes of noise\n", buf.size());
                buf.clear();
                break;
            }
            if (buf.size() < size) break;
            std::vector<uint8_t> frame(buf.begin(), buf.begin() + static_cast<long>(size));
            buf.erase(buf.begin(), buf.begin() + static_cast<long>(size));
            // After a corrupt frame nothing that follows can be trusted.
            if (!kxframe::Valid(frame.data(), frame.size())) buf.clear();
            if (!Answer(fd, frame)) return;
        }
    }
}

// Raw mode, 8 bits, no echo: the peer sees the bytes as they came.
bool SetRaw(int fd) {
    struct termios2 t;
    if (ioctl(fd, TCGETS2, &t) != 0) return false;
    t.c_iflag = 0;
    t.c_oflag = 0;
    t.c_lflag = 0;
    t.c_cflag = (t.c_cflag & ~CSIZE) | CS8 | CREAD | CLOCAL;
    t.c_cc[VMIN] = 1;
    t.c_cc[VTIME] = 0;
    return ioctl(fd, TCSETS2, &t) == 0;
}

// The master of a new pseudo-terminal in raw mode (set through the master,
// it is the slave's), its slave named by the symbolic link `link`, once
// QEMU has opened the slave; -1 on failure. QEMU adds only OPOST, which
// without ONLCR changes nothing.
int OpenPty(const std::string& link) {
    int m = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    const char* slave = m >= 0 && grantpt(m) == 0 && unlockpt(m) == 0 ? ptsname(m) : nullptr;
    if (slave == nullptr) {
        fprintf(stderr, "uart-peer: cannot make a pseudo-terminal: %s\n", strerror(errno));
        if (m >= 0) close(m);
        return -1;
    }
    unlink(link.c_str());
    if (!SetRaw(m) || symlink(slave, link.c_str()) != 0) {
        fprintf(stderr, "uart-peer: cannot set up %s as %s: %s\n", slave, link.c_str(), strerror(errno));
        close(m);
        return -1;
    }
    // No slave open yet: the master reports a hang-up until QEMU opens it.
    for (;;) {
        struct pollfd p = {m, POLLIN, 0};
        const int r = poll(&p, 1, 50);
        if (r < 0 && errno != EINTR) break;
        if (r >= 0 && (p.revents & POLLHUP) == 0) return m;
        SleepMs(50);
    }
    close(m);
    return -1;
}

}  // namespace

int main(int argc, char** argv) {
    std::string path, pty, tty;
    int limit = 600;
    for (int i = 1; i < argc; ++i) {
        if (strcmp(argv[i], "--listen") == 0 && i + 1 < argc) {
            path = argv[++i];
        } else if (strcmp(argv[i], "--pty") == 0 && i + 1 < argc) {
            pty = argv[++i];
        } else if (strcmp(argv[i], "--tty") == 0 && i + 1 < argc) {
            tty = argv[++i];
        } else if (strcmp(argv[i], "--limit") == 0 && i + 1 < argc) {
            limit = atoi(argv[++i]);
        } else {
            fprintf(stderr, "usage: uart-peer --listen PATH | --pty LINK | --tty PATH [--limit SECONDS]\n");
            return 2;
        }
    }
    signal(SIGPIPE, SIG_IGN);
    alarm(static_cast<unsigned>(limit > 0 ? limit : 600));  // never outlives its run
    if (!pty.empty()) {
        const int m = OpenPty(pty);
        if (m < 0) return 1;
        fprintf(stderr, "uart-peer: QEMU opened the line\n");
        Serve(m);
        close(m);
        unlink(pty.c_str());
        fprintf(stderr, "uart-peer: the line is closed\n");
        return 0;
    }
    if (!tty.empty()) {
        const int fd = open(tty.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (fd < 0 || !SetRaw(fd)) {
            fprintf(stderr, "uart-peer: cannot serve %s: %s\n", tty.c_str(), strerror(errno));
            return 1;
        }
        // Whoever started the peer sends nothing before this: a line not yet
        // raw would echo it.
        puts("ready");
        fclose(stdout);
        Serve(fd);
        close(fd);
        return 0;
    }
    sockaddr_un addr = {};
    addr.sun_family = AF_UNIX;
    if (path.empty() || path.size() >= sizeof addr.sun_path) {
        fprintf(stderr, "uart-peer: --listen needs a socket path shorter than %zu\n", sizeof addr.sun_path);
        return 2;
    }
    memcpy(addr.sun_path, path.c_str(), path.size() + 1);
    unlink(path.c_str());
    int l = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (l < 0 || bind(l, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || listen(l, 1) != 0) {
        fprintf(stderr, "uart-peer: cannot listen on %s: %s\n", path.c_str(), strerror(errno));
        if (l >= 0) close(l);
        return 1;
    }
    int c;
    do c = accept(l, nullptr, nullptr);
    while (c < 0 && errno == EINTR);
    close(l);
    unlink(path.c_str());
    if (c < 0) {
        fprintf(stderr, "uart-peer: accept: %s\n", strerror(errno));
        return 1;
    }
    fprintf(stderr, "uart-peer: the board's UART is connected\n");
    Serve(c);
    close(c);
    fprintf(stderr, "uart-peer: the board's UART is closed\n");
    return 0;
}
