// Line rates through the kernel's own terminal records. <asm/termbits.h>
// declares a `struct termios` of its own, so nothing here may include
// <termios.h>; the channel code reaches these through SysCall.h.
#include <asm/ioctls.h>
#include <asm/termbits.h>
#include <sys/ioctl.h>

#include <cerrno>

#include "SysCall.h"

namespace {

struct RateCode {
    unsigned rate;
    unsigned code;
};

// Every rate the platform names; the high ones are not on every target.
const RateCode kRates[] = {
    {50, B50},           {75, B75},           {110, B110},         {134, B134},
    {150, B150},         {200, B200},         {300, B300},         {600, B600},
    {1200, B1200},       {1800, B1800},       {2400, B2400},       {4800, B4800},
    {9600, B9600},       {19200, B19200},     {38400, B38400},     {57600, B57600},
    {115200, B115200},   {230400, B230400},
#ifdef B460800
    {460800, B460800},
#endif
#ifdef B500000
    {500000, B500000},   {576000, B576000},   {921600, B921600},   {1000000, B1000000},
    {1152000, B1152000}, {1500000, B1500000}, {2000000, B2000000},
#endif
#ifdef B2500000
    {2500000, B2500000}, {3000000, B3000000}, {3500000, B3500000}, {4000000, B4000000},
#endif
};

// An emulator without termios2 (qemu-user 7) answers ENOSYS; a kernel that
// knows no such request, ENOTTY or EINVAL.
bool Unsupported(int err) { return err == ENOSYS || err == ENOTTY || err == EINVAL; }

// 0 for B0 and BOTHER: no rate such a code names.
unsigned RateOf(unsigned code) {
    for (const RateCode& r : kRates)
        if (r.code == code) return r.rate;
    return 0;
}

}  // namespace

namespace kxsys {

unsigned SpeedCode(int rate) noexcept {
    for (const RateCode& r : kRates)
        if (static_cast<int>(r.rate) == rate) return r.code;
    return 0;
}

int SetLineRate(int fd, unsigned rate) noexcept {
    struct termios2 t;
    if (::ioctl(fd, TCGETS2, &t) != 0) return -1;
    t.c_cflag &= ~(CBAUD | (CBAUD << IBSHIFT));
    t.c_cflag |= BOTHER | (BOTHER << IBSHIFT);
    t.c_ispeed = rate;
    t.c_ospeed = rate;
    return ::ioctl(fd, TCSETS2, &t) == 0 ? 0 : -1;
}

int GetLineRate(int fd, unsigned* rate, unsigned* inRate) noexcept {
    struct termios2 t2;
    if (::ioctl(fd, TCGETS2, &t2) == 0) {
        *rate = t2.c_ospeed;
        if (inRate != nullptr) *inRate = t2.c_ispeed;
        return 0;
    }
    if (!Unsupported(errno)) return -1;
    struct termios t;
    if (::ioctl(fd, TCGETS, &t) != 0) return -1;
    *rate = RateOf(t.c_cflag & CBAUD);
    // An input code of B0 means the input follows the output.
    const unsigned in = (t.c_cflag >> IBSHIFT) & CBAUD;
    if (inRate != nullptr) *inRate = in == B0 ? *rate : RateOf(in);
    return 0;
}

}  // namespace kxsys
