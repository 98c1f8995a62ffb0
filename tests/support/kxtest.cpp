#include "kxtest.h"

#include <gtest/gtest.h>

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <stdexcept>

namespace kxtest {

UniqueFd& UniqueFd::operator=(UniqueFd&& other) noexcept {
    if (this != &other) reset(other.release());
    return *this;
}

void UniqueFd::reset(int fd) {
    if (fd_ >= 0) ::close(fd_);  // never retried: the descriptor is gone either way
    fd_ = fd;
}

StdoutCapture::StdoutCapture() {
    fflush(stdout);
    char name[] = "/tmp/kxtest-stdout-XXXXXX";
    file_ = mkstemp(name);
    if (file_ < 0) throw std::runtime_error("mkstemp failed");
    unlink(name);
    saved_ = dup(STDOUT_FILENO);
    dup2(file_, STDOUT_FILENO);
    active_ = true;
}

StdoutCapture::~StdoutCapture() { Stop(); }

std::string StdoutCapture::Text() {
    if (!active_) return text_;
    fflush(stdout);
    std::string out;
    char buf[4096];
    off_t off = 0;
    for (;;) {
        ssize_t n = pread(file_, buf, sizeof buf, off);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        out.append(buf, static_cast<size_t>(n));
        off += n;
    }
    return out;
}

std::string StdoutCapture::Stop() {
    if (!active_) return text_;
    text_ = Text();
    fflush(stdout);
    dup2(saved_, STDOUT_FILENO);
    ::close(saved_);
    ::close(file_);
    active_ = false;
    // GoogleTest reports failed assertions on standard output: hand anything
    // captured during a failing test to stderr so the report is not lost.
    if (::testing::Test::HasFailure()) fprintf(stderr, "--- captured stdout ---\n%s--- end ---\n", text_.c_str());
    return text_;
}

StdoutToNull::StdoutToNull() {
    fflush(stdout);
    saved_ = dup(STDOUT_FILENO);
    int null = ::open("/dev/null", O_WRONLY);
    dup2(null, STDOUT_FILENO);
    ::close(null);
}

StdoutToNull::~StdoutToNull() {
    fflush(stdout);
    dup2(saved_, STDOUT_FILENO);
    ::close(saved_);
}

Pty OpenPty(UniqueFd* holder) {
    Pty pty;
    int m = posix_openpt(O_RDWR | O_NOCTTY);
    if (m < 0) throw std::runtime_error("posix_openpt failed");
    pty.master.reset(m);
    if (grantpt(m) != 0 || unlockpt(m) != 0) throw std::runtime_error("grantpt/unlockpt failed");
    const char* name = ptsname(m);
    if (name == nullptr) throw std::runtime_error("ptsname failed");
    pty.slavePath = name;
    const char* digits = name + strlen("/dev/pts/");
    pty.slaveNumber = atoi(digits);
    if (holder != nullptr) {
        holder->reset(::open(name, O_RDWR | O_NOCTTY | O_NONBLOCK));
        if (!*holder) throw std::runtime_error("cannot open pty slave");
    }
    return pty;
}

bool WaitReadable(int fd, int timeoutMs) {
    struct pollfd p = {fd, POLLIN, 0};
    double end = NowMs() + timeoutMs;
    for (;;) {
        int left = static_cast<int>(end - NowMs());
        if (left < 0) left = 0;
        int r = poll(&p, 1, left);
        if (r > 0) return true;
        if (r == 0) return false;
        if (errno != EINTR) return false;
    }
}

int ReadFully(int fd, void* buf, int len, int timeoutMs) {
    char* p = static_cast<char*>(buf);
    int got = 0;
    double end = NowMs() + timeoutMs;
    while (got < len) {
        int left = static_cast<int>(end - NowMs());
        if (left <= 0 || !WaitReadable(fd, left)) break;
        ssize_t n = ::read(fd, p + got, static_cast<size_t>(len - got));
        if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
        if (n <= 0) break;
        got += static_cast<int>(n);
    }
    return got;
}

bool WriteAll(int fd, const void* buf, int len) {
    const char* p = static_cast<const char*>(buf);
    while (len > 0) {
        ssize_t n = ::write(fd, p, static_cast<size_t>(len));
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && errno == EAGAIN) {
            struct pollfd w = {fd, POLLOUT, 0};
            poll(&w, 1, 1000);
            continue;
        }
        if (n <= 0) return false;
        p += n;
        len -= static_cast<int>(n);
    }
    return true;
}

#ifdef KXSER_COVERAGE
extern "C" void __gcov_dump(void);
#endif

ExecChild::ExecChild() {
    char arg0[] = "sleep", arg1[] = "30";
    char* argv[] = {arg0, arg1, nullptr};
    pid_t pid = -1;
    if (posix_spawnp(&pid, "sleep", nullptr, nullptr, argv, environ) == 0) pid_ = pid;
}

ExecChild::~ExecChild() {
    if (pid_ <= 0) return;
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
}

bool ExecChild::Holds(int fd) const {
    struct stat want;
    if (pid_ <= 0 || fstat(fd, &want) != 0) return false;
    const std::string dir = "/proc/" + std::to_string(pid_) + "/fd";
    DIR* d = opendir(dir.c_str());
    if (d == nullptr) return false;
    bool held = false;
    for (struct dirent* e = readdir(d); e != nullptr && !held; e = readdir(d)) {
        struct stat st;
        held = e->d_name[0] != '.' && stat((dir + "/" + e->d_name).c_str(), &st) == 0 &&
               st.st_dev == want.st_dev && st.st_ino == want.st_ino;
    }
    closedir(d);
    return held;
}

void ExitChild(int status) {
#ifdef KXSER_COVERAGE
    __gcov_dump();
#endif
    _exit(status);
}

std::string InChild(const std::function<std::string()>& body,
                    const std::function<void()>& meanwhile) {
    int fds[2];
    if (pipe(fds) != 0) return std::string("pipe: ") + strerror(errno);
    UniqueFd rd(fds[0]), wr(fds[1]);
    fflush(stdout);
    const pid_t pid = fork();
    if (pid < 0) return std::string("fork: ") + strerror(errno);
    if (pid == 0) {
        rd.reset();
        alarm(60);
        const std::string report = body();
        WriteAll(wr.get(), report.data(), static_cast<int>(report.size()));
        ExitChild(0);
    }
    wr.reset();
    if (meanwhile) meanwhile();
    std::string report;
    char chunk[512];
    for (ssize_t n; (n = read(rd.get(), chunk, sizeof chunk)) > 0;)
        report.append(chunk, static_cast<size_t>(n));
    int status = 0;
    if (waitpid(pid, &status, 0) != pid) return report + "waitpid failed";
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
        report += "the child did not finish (status " + std::to_string(status) + ")";
    return report;
}

double NowMs() {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<double>(ts.tv_sec) * 1000.0 + static_cast<double>(ts.tv_nsec) / 1e6;
}

TempDir::TempDir() {
    char name[] = "/tmp/kx-XXXXXX";
    if (mkdtemp(name) == nullptr) throw std::runtime_error("mkdtemp failed");
    path_ = name;
}

TempDir::~TempDir() {
    std::string cmd = "rm -rf '" + path_ + "'";
    if (system(cmd.c_str()) != 0) {
        // Leftovers in /tmp are harmless.
    }
}

ScopedChdir::ScopedChdir(const std::string& dir) {
    char buf[4096];
    if (getcwd(buf, sizeof buf) != nullptr) old_ = buf;
    if (chdir(dir.c_str()) != 0) throw std::runtime_error("chdir failed");
}

ScopedChdir::~ScopedChdir() {
    if (!old_.empty() && chdir(old_.c_str()) != 0) {
        // Nothing sensible to do in a destructor.
    }
}

namespace {
std::atomic<int> g_delivered{0};
struct sigaction g_oldAction;
void CountSignal(int) { g_delivered.fetch_add(1); }
}  // namespace

InterruptSignal::InterruptSignal(bool restart) {
    g_delivered = 0;
    struct sigaction sa;
    memset(&sa, 0, sizeof sa);
    sa.sa_handler = CountSignal;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = restart ? SA_RESTART : 0;
    sigaction(SIGUSR1, &sa, &g_oldAction);
}

InterruptSignal::~InterruptSignal() { sigaction(SIGUSR1, &g_oldAction, nullptr); }

void InterruptSignal::Pulse(pthread_t thread, int times, int gapMs) {
    for (int i = 0; i < times; ++i) {
        poll(nullptr, 0, gapMs);
        pthread_kill(thread, SIGUSR1);
    }
}

int InterruptSignal::Delivered() { return g_delivered.load(); }

}  // namespace kxtest
