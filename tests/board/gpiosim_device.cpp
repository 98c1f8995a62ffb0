// The stand-in driver's interface (tests/gpiosim/gpiosim.h) answered by the
// real /dev/gpio that kxgpiodev serves: the GPIO channel's tests, compiled
// once more against this file, then reach the device through the real open,
// read, ioctl and close system calls, with nothing interposed. Levels, the
// silent mode and the records come through the device's control socket.
#include <dirent.h>
#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <gtest/gtest.h>

#include "gpio_device.h"
#include "gpiosim.h"

extern "C" {

void gpiosim_reset(void) { kxgpio::Reset(); }

// The device is there for the whole run; a test that needs it skips (from its
// SetUp, so its body does not run) when it is not.
void gpiosim_install(int installed) {
    if (installed && !kxgpio::Available()) GTEST_SKIP() << kxgpio::Reason();
}

void gpiosim_set_level(unsigned line, unsigned value) { kxgpio::SetLevel(line, value); }

void gpiosim_set_silent(int silent) { kxgpio::SetSilent(silent != 0); }

void gpiosim_set_failing(int failing) { kxgpio::SetFailing(failing != 0); }

int gpiosim_open_count(void) { return kxgpio::GetState().opens; }

// O_CLOEXEC belongs to the descriptor and never reaches the device: it
// counts when every descriptor of /dev/gpio in this process holds it.
static int CloseOnExec() {
    struct stat dev, st;
    DIR* d = stat("/dev/gpio", &dev) == 0 ? opendir("/proc/self/fd") : nullptr;
    if (d == nullptr) return 0;
    bool any = false, all = true;
    while (const dirent* e = readdir(d)) {
        const int fd = atoi(e->d_name);
        if (e->d_name[0] == '.' || fd == dirfd(d) || fstat(fd, &st) != 0) continue;
        if (!S_ISCHR(st.st_mode) || st.st_rdev != dev.st_rdev) continue;
        any = true;
        all = all && (fcntl(fd, F_GETFD) & FD_CLOEXEC) != 0;
    }
    closedir(d);
    return any && all ? O_CLOEXEC : 0;
}

// A 64-bit kernel adds O_LARGEFILE to every open itself; it is not the
// opener's flag.
int gpiosim_last_open_flags(void) {
    return static_cast<int>(kxgpio::GetState().flags & ~unsigned(O_LARGEFILE)) | CloseOnExec();
}

int gpiosim_close_count(void) { return kxgpio::GetState().closes; }

int gpiosim_open_fds(void) { return kxgpio::GetState().open; }

int gpiosim_is_device_fd(int fd) {
    struct stat dev, st;
    if (stat("/dev/gpio", &dev) != 0 || fstat(fd, &st) != 0) return 0;
    return S_ISCHR(st.st_mode) && st.st_rdev == dev.st_rdev;
}

int gpiosim_sample_count(void) { return kxgpio::GetState().reads; }

unsigned gpiosim_sample_line(int i) {
    const long line = kxgpio::GetRead(i).line;
    return line < 0 ? 0xffffffffu : static_cast<unsigned>(line);
}

unsigned gpiosim_sample_preset(int i) { return kxgpio::GetRead(i).preset; }

unsigned long gpiosim_sample_size(int i) { return kxgpio::GetRead(i).size; }

int gpiosim_drive_count(void) { return kxgpio::GetState().drives; }

GpioSimDrive gpiosim_drive(int i) {
    const kxgpio::DriveEvent e = kxgpio::GetDrive(i);
    GpioSimDrive d = {e.request, static_cast<int>(e.line)};
    return d;
}

}  // extern "C"
