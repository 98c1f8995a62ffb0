// uart-peer: the far end of the board's UART, run on the build machine.
//
//   uart-peer --listen PATH [--limit SECONDS]
//
// QEMU connects the board's PL011 to the Unix socket PATH; the peer answers
// the frames of tests/board/uart_frame.h that the board's UART tests send,
// and ends when QEMU closes the connection, or after SECONDS (default 600)
// in any case. One line per frame goes to standard error.
#include <poll.h>
#include <signal.h>
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
        ssize_t w = send(fd, p, n, MSG_NOSIGNAL);
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
        ssize_t n = recv(fd, in, sizeof in, 0);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;  // QEMU closed the line: the board is off
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

}  // namespace

int main(int argc, char** argv) {
    std::string path;
    int limit = 600;
    for (int i = 1; i < argc; ++i) {
        if (strcmp(argv[i], "--listen") == 0 && i + 1 < argc) {
            path = argv[++i];
        } else if (strcmp(argv[i], "--limit") == 0 && i + 1 < argc) {
            limit = atoi(argv[++i]);
        } else {
            fprintf(stderr, "usage: uart-peer --listen PATH [--limit SECONDS]\n");
            return 2;
        }
    }
    sockaddr_un addr = {};
    addr.sun_family = AF_UNIX;
    if (path.empty() || path.size() >= sizeof addr.sun_path) {
        fprintf(stderr, "uart-peer: --listen needs a socket path shorter than %zu\n", sizeof addr.sun_path);
        return 2;
    }
    signal(SIGPIPE, SIG_IGN);
    alarm(static_cast<unsigned>(limit > 0 ? limit : 600));  // never outlives its run
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
