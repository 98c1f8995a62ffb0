#include "common.h"

#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <limits.h>
#include <stdlib.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
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

namespace {

// " (pid 812 picocom, ...)" for the other processes that have `path` open,
// as far as /proc lets this user see them; "" when none is seen.
std::string Holders(const std::string& path) {
    char real[PATH_MAX];
    if (realpath(path.c_str(), real) == nullptr) return "";
    std::string found;
    DIR* proc = opendir("/proc");
    if (proc == nullptr) return "";
    while (const dirent* p = readdir(proc)) {
        const int pid = atoi(p->d_name);
        if (pid <= 0 || pid == getpid()) continue;
        const std::string fds = std::string("/proc/") + p->d_name + "/fd";
        DIR* d = opendir(fds.c_str());
        if (d == nullptr) continue;
        bool has = false;
        while (const dirent* f = readdir(d)) {
            char target[PATH_MAX];
            const ssize_t n = readlink((fds + "/" + f->d_name).c_str(), target, sizeof target - 1);
            if (n > 0 && std::string(target, static_cast<size_t>(n)) == real) has = true;
        }
        closedir(d);
        if (!has) continue;
        char comm[64] = "";
        if (FILE* c = fopen((std::string("/proc/") + p->d_name + "/comm").c_str(), "re")) {
            if (fgets(comm, sizeof comm, c) != nullptr) comm[strcspn(comm, "\n")] = '\0';
            fclose(c);
        }
        found += (found.empty() ? " (pid " : ", pid ") + std::to_string(pid) + " " + comm;
    }
    closedir(proc);
    return found.empty() ? "" : found + ")";
}

}  // namespace

void ExplainSerialOpenFailure(const std::string& note, int type) {
    const size_t colon = note.find(':');
    const std::string port = note.substr(0, colon);
    const std::string settings = colon == std::string::npos ? "" : note.substr(colon + 1);
    if ((type & 0xffff) > 9) {
        Error("the plug-in opens a port numbered above 9 as \\\\.\\%s (a Windows device name, taken as a "
              "file in the current directory), never as /dev/%s",
              port.c_str(), port.c_str());
        return;
    }
    const std::string path = "/dev/" + port;
    const char* list = "`kxhost list` shows the serial ports this machine has";
    struct stat st;
    if (stat(path.c_str(), &st) != 0) {
        if (errno == ENOENT) Error("%s: no such device; %s", path.c_str(), list);
        else Error("%s: %s", path.c_str(), strerror(errno));
        return;
    }
    if (access(path.c_str(), R_OK | W_OK) != 0 && errno == EACCES) {
        const struct group* g = getgrgid(st.st_gid);
        const std::string group = g != nullptr ? g->gr_name : std::to_string(st.st_gid);
        const unsigned mode = st.st_mode & 0777;
        if ((mode & 060) == 060)
            Error("%s: permission denied: it belongs to group %s (mode %03o); add the user to that group "
                  "(usermod -aG %s USER) and log in again",
                  path.c_str(), group.c_str(), mode, group.c_str());
        else Error("%s: permission denied: only its owner may open it (mode %03o)", path.c_str(), mode);
        return;
    }
    const int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        const int e = errno;
        if (e == EBUSY) Error("%s: busy: held by another program%s", path.c_str(), Holders(path).c_str());
        else if (e == ENXIO || e == ENODEV || e == EIO)
            Error("%s: no port behind the device (%s); %s", path.c_str(), strerror(e), list);
        else Error("%s: %s", path.c_str(), strerror(e));
        return;
    }
    // Root opens a port another program holds with TIOCEXCL; flock tells
    // of those that lock it.
    int exclusive = 0;
    const bool held = (ioctl(fd, TIOCGEXCL, &exclusive) == 0 && exclusive != 0) ||
                      (flock(fd, LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK);
    const bool tty = isatty(fd) != 0;
    close(fd);
    if (held) Error("%s: busy: held by another program%s", path.c_str(), Holders(path).c_str());
    else if (!tty) Error("%s is not a terminal, so not a serial port", path.c_str());
    else Error("%s opens, but its driver did not take the line settings %s (see the lines above: a speed it "
               "cannot make?)",
               path.c_str(), settings.c_str());
}

}  // namespace kxhost
