// Line rates through the kernel's own terminal records. <asm/termbits.h>
// declares a `struct termios` of its own, so nothing here may include
// <termios.h>; the channel code reaches these through SysCall.h.
#include <asm/ioctls.h>
#include <asm/termbits.h>
#include <sys/ioctl.h>

#include <cerrno>

#include "SysCall.h"

namespace {

// The kernel's speed codes, a type of their own: glibc's cfsetospeed takes
// its own speed_t, which newer glibc defines as the rate itself, so a kernel
// code must not reach it (nor leave this unit).
enum class KernelSpeed : unsigned {};
constexpr KernelSpeed K(unsigned code) { return static_cast<KernelSpeed>(code); }

struct RateCode {
    unsigned rate;
    KernelSpeed code;
};

const RateCode kRates[] = {
#define KX_RATE(rate, code) {rate, K(code)},
#include "LineRates.h"
#undef KX_RATE
};

// An emulator without termios2 (qemu-user 7) answers ENOSYS; a kernel that
// knows no such request, ENOTTY or EINVAL.
bool Unsupported(int err) { return err == ENOSYS || err == ENOTTY || err == EINVAL; }

// 0 for B0 and BOTHER: no rate such a code names.
unsigned RateOf(KernelSpeed code) {
    for (const RateCode& r : kRates)
        if (r.code == code) return r.rate;
    return 0;
}

}  // namespace

namespace kxsys {

int SetLineRate(int fd, unsigned rate, unsigned inRate) noexcept {
    struct termios2 t;
    if (::ioctl(fd, TCGETS2, &t) != 0) return -1;
    t.c_cflag &= ~(CBAUD | (CBAUD << IBSHIFT));
    t.c_cflag |= BOTHER | (BOTHER << IBSHIFT);
    t.c_ispeed = inRate != 0 ? inRate : rate;
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
    *rate = RateOf(K(t.c_cflag & CBAUD));
    // An input code of B0 means the input follows the output.
    const unsigned in = (t.c_cflag >> IBSHIFT) & CBAUD;
    if (inRate != nullptr) *inRate = in == B0 ? *rate : RateOf(K(in));
    return 0;
}

}  // namespace kxsys
