#include "serial_pty.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <stdexcept>

namespace kxtest {

SerialLine::SerialLine() { pty = OpenPty(&holder); }

std::string SerialLine::Def(const std::string& settings) const {
    return Name() + ":" + settings;
}

std::string SerialLine::Name() const { return "pts/" + std::to_string(pty.slaveNumber); }

int SerialLine::Type() const { return 0x100000 + pty.slaveNumber % 10; }

std::unique_ptr<CSerCom> OpenChannel(const std::string& def) {
    StdoutCapture quiet;
    std::unique_ptr<CSerCom> ch(new CSerCom(def.c_str()));
    if (ch->Open(nullptr) != 1) ch.reset();
    return ch;
}

std::string Hex(const unsigned char* data, int len) {
    std::string out;
    char group[4];
    for (int i = 0; i < len; ++i) {
        snprintf(group, sizeof group, "%02X ", data[i]);
        out += group;
    }
    return out;
}

int InputQueued(int fd) {
    int n = 0;
    return ioctl(fd, FIONREAD, &n) == 0 ? n : -1;
}

bool WaitInputQueued(int fd, int count, int timeoutMs) {
    const double end = NowMs() + timeoutMs;
    for (;;) {
        const int n = InputQueued(fd);
        if (n < 0) return false;
        if (n >= count) return true;
        if (NowMs() >= end) return false;
        // A pty hands input over in a kernel work item; poll tells only that
        // some of it arrived, so give the rest a moment.
        struct timespec ts = {0, 1000000};
        nanosleep(&ts, nullptr);
    }
}

int CountOpenFds() {
    DIR* d = opendir("/proc/self/fd");
    if (d == nullptr) return -1;
    int n = 0;
    while (struct dirent* e = readdir(d))
        if (e->d_name[0] != '.') ++n;
    closedir(d);
    return n - 1;  // the directory stream's own descriptor
}

bool SameDevice(int fd1, int fd2) {
    struct stat a, b;
    if (fstat(fd1, &a) != 0 || fstat(fd2, &b) != 0) return false;
    return S_ISCHR(a.st_mode) && a.st_rdev == b.st_rdev;
}

void CookLine(int fd) {
    struct termios t;
    if (tcgetattr(fd, &t) != 0) throw std::runtime_error("tcgetattr on the test line failed");
    t.c_iflag |= INLCR | IGNCR | ICRNL | IXON | IXOFF | IXANY | INPCK;
    // Left behind by earlier programs: 0xA5 would read as 0x25 (ISTRIP),
    // 0xFF twice (PARMRK), and so on.
    t.c_iflag |= ISTRIP | PARMRK | IGNBRK | BRKINT | IUCLC;
    t.c_oflag |= OPOST | ONLCR | OCRNL;
    t.c_lflag |= ICANON | ECHO | ECHOE | ISIG | ECHOK | ECHONL | IEXTEN;
    // CMSPAR: stick parity, which would turn even or odd into mark or space.
    t.c_cflag |= CRTSCTS | PARENB | PARODD | CSTOPB | HUPCL | CMSPAR;
    t.c_cflag &= ~(CLOCAL | CREAD);
    t.c_cc[VMIN] = 1;
    t.c_cc[VTIME] = 0;
    // Debian's glibc answers EINVAL when the line already was like this (the
    // pty keeps CREAD and drops PARENB): what the line holds tells.
    struct termios back;
    if (tcsetattr(fd, TCSANOW, &t) != 0 &&
        (errno != EINVAL || tcgetattr(fd, &back) != 0 || back.c_lflag != t.c_lflag || back.c_iflag != t.c_iflag))
        throw std::runtime_error("tcsetattr on the test line failed");
}

namespace {
std::string FindSocat() {
    const char* path = getenv("PATH");
    std::string dirs = path != nullptr ? path : "/usr/bin:/bin";
    size_t start = 0;
    while (start <= dirs.size()) {
        size_t end = dirs.find(':', start);
        if (end == std::string::npos) end = dirs.size();
        std::string candidate = dirs.substr(start, end - start) + "/socat";
        if (access(candidate.c_str(), X_OK) == 0) return candidate;
        start = end + 1;
    }
    return std::string();
}
}  // namespace

bool SocatPtyPair::Available() { return !FindSocat().empty(); }

std::string SocatPtyPair::Start(int timeoutMs) {
    const std::string exe = FindSocat();
    if (exe.empty()) return "socat not found";
    int err[2];
    if (pipe(err) != 0) return "pipe failed";
    pid_ = fork();
    if (pid_ < 0) return "fork failed";
    if (pid_ == 0) {
        dup2(err[1], STDERR_FILENO);
        close(err[0]);
        close(err[1]);
        execl(exe.c_str(), "socat", "-d", "-d", "pty,raw,echo=0", "pty,raw,echo=0",
              static_cast<char*>(nullptr));
        _exit(127);
    }
    close(err[1]);
    UniqueFd log(err[0]);
    // At notice level socat names each pty ("N PTY is /dev/pts/7") and then
    // announces its relay loop; nothing else follows while it relays.
    std::string text;
    const double end = NowMs() + timeoutMs;
    while (text.find("starting data transfer loop") == std::string::npos) {
        const int left = static_cast<int>(end - NowMs());
        if (left <= 0 || !WaitReadable(log.get(), left)) return "socat did not start: " + text;
        char buf[512];
        const ssize_t n = read(log.get(), buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return "socat exited: " + text;
        text.append(buf, static_cast<size_t>(n));
    }
    std::string* slot[2] = {&first, &second};
    size_t pos = 0;
    for (std::string* s : slot) {
        pos = text.find("PTY is ", pos);
        if (pos == std::string::npos) return "no pty names in: " + text;
        pos += strlen("PTY is ");
        const size_t stop = text.find_first_of(" \r\n", pos);
        *s = text.substr(pos, stop - pos);
    }
    // Kept open until socat is gone: closing it would turn its exit notices
    // into SIGPIPE; it writes nothing more while relaying.
    log_ = log.release();
    return std::string();
}

SocatPtyPair::~SocatPtyPair() {
    if (pid_ > 0) {
        kill(pid_, SIGTERM);
        int status;
        while (waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
        }
    }
    if (log_ >= 0) close(log_);
}

}  // namespace kxtest
