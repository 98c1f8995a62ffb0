#include "common.h"

#include <poll.h>

#include <cerrno>
#include <cstdarg>
#include <chrono>
#include <cstdio>
#include <ctime>

namespace kxhost {

void Error(const char* fmt, ...) {
    fflush(stdout);
    fputs("kxhost: ", stderr);
    va_list ap;
    va_start(ap, fmt);
    vfprintf(stderr, fmt, ap);
    va_end(ap);
    fputc('\n', stderr);
}

std::string HexAndText(const unsigned char* data, int len) {
    std::string out;
    char b[4];
    for (int i = 0; i < len; ++i) {
        snprintf(b, sizeof b, i == 0 ? "%02X" : " %02X", data[i]);
        out += b;
    }
    out += "  |";
    for (int i = 0; i < len; ++i) out += (data[i] >= 0x20 && data[i] < 0x7f) ? static_cast<char>(data[i]) : '.';
    out += "|";
    return out;
}

void SleepMs(long long ms) {
    if (ms <= 0) return;
    struct timespec ts;
    ts.tv_sec = static_cast<time_t>(ms / 1000);
    ts.tv_nsec = static_cast<long>((ms % 1000) * 1000000);
    while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
    }
}

int PollFor(int fd, short events, int ms, short* revents) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    struct pollfd p = {fd, events, 0};
    int r;
    do {
        long long left = ms;
        if (ms > 0)
            left = std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now()).count();
        if (ms >= 0 && left < 0) left = 0;
        r = poll(&p, 1, static_cast<int>(left));
    } while (r < 0 && errno == EINTR);
    if (revents != nullptr) *revents = p.revents;
    return r;
}

}  // namespace kxhost
