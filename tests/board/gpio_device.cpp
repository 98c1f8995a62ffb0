#include "gpio_device.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "kxtest.h"

namespace kxgpio {

namespace {

// One user of the device at a time on a machine: the records and levels are
// the device's, not the caller's.
const char kLockPath[] = "/tmp/kxgpio-device.lock";
const int kLockWaitMs = 300000;
const int kStartWaitMs = 10000;
const int kAnswerWaitMs = 10000;
const int kExitNoCuse = 3;  // kxgpiodev's word for "no /dev/cuse"

struct Session {
    bool available = false;
    std::string reason = "the GPIO device was not looked for";
    kxtest::UniqueFd lock;
    kxtest::UniqueFd control;
    std::string pending;
    pid_t child = -1;
    std::unique_ptr<kxtest::TempDir> dir;
};

Session& S() {
    static Session s;
    return s;
}

int Connect(const std::string& path) {
    sockaddr_un addr = {};
    addr.sun_family = AF_UNIX;
    if (path.size() >= sizeof addr.sun_path) return -1;
    memcpy(addr.sun_path, path.c_str(), path.size() + 1);
    int s = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (s < 0) return -1;
    if (connect(s, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        close(s);
        return -1;
    }
    return s;
}

bool TakeLock(std::string* why) {
    kxtest::UniqueFd fd(open(kLockPath, O_RDWR | O_CREAT | O_CLOEXEC, 0666));
    if (!fd) {
        *why = std::string("cannot open ") + kLockPath + ": " + strerror(errno);
        return false;
    }
    const double end = kxtest::NowMs() + kLockWaitMs;
    while (flock(fd.get(), LOCK_EX | LOCK_NB) != 0) {
        if (errno != EWOULDBLOCK && errno != EINTR) {
            *why = std::string("cannot lock ") + kLockPath + ": " + strerror(errno);
            return false;
        }
        if (kxtest::NowMs() > end) {
            *why = "another test executable kept the GPIO device past the wait";
            return false;
        }
        poll(nullptr, 0, 50);
    }
    S().lock = std::move(fd);
    return true;
}

#ifdef KXGPIODEV_PATH
int RunQuietly(const char* exe, const char* arg1, const char* arg2) {
    pid_t pid = fork();
    if (pid < 0) return -1;
    if (pid == 0) {
        int null = open("/dev/null", O_WRONLY);
        if (null >= 0) {
            dup2(null, STDOUT_FILENO);
            dup2(null, STDERR_FILENO);
        }
        execl(exe, exe, arg1, arg2, static_cast<char*>(nullptr));
        _exit(127);
    }
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// Loading Debian's cuse module only adds the CUSE driver; tried as root only.
void TryLoadCuse() {
    if (access("/dev/cuse", F_OK) == 0 || geteuid() != 0) return;
    for (const char* exe : {"/sbin/modprobe", "/usr/sbin/modprobe"}) {
        if (access(exe, X_OK) == 0) {
            RunQuietly(exe, "-q", "cuse");
            return;
        }
    }
}

// Starts kxgpiodev with a control socket of its own; false with the reason.
bool StartOwn(std::string* path, std::string* why) {
    if (access("/dev/gpio", F_OK) == 0) {
        *why = "a /dev/gpio that these tests do not control exists here; its outputs could move real equipment";
        return false;
    }
    TryLoadCuse();
    if (access("/dev/cuse", F_OK) != 0) {
        *why = "this kernel has no /dev/cuse (no CUSE driver, or modprobe cuse is not possible here), "
               "so no GPIO device can be served from user space; the board run has one (make test-board)";
        return false;
    }
    S().dir.reset(new kxtest::TempDir());
    *path = S().dir->path() + "/control";
    fflush(stdout);
    fflush(stderr);
    pid_t pid = fork();
    if (pid < 0) {
        *why = std::string("fork: ") + strerror(errno);
        return false;
    }
    if (pid == 0) {
        execl(KXGPIODEV_PATH, KXGPIODEV_PATH, "--control", path->c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    S().child = pid;
    const double end = kxtest::NowMs() + kStartWaitMs;
    while (access(path->c_str(), F_OK) != 0) {
        int status = 0;
        if (waitpid(pid, &status, WNOHANG) == pid) {
            S().child = -1;
            if (WIFEXITED(status) && WEXITSTATUS(status) == kExitNoCuse)
                *why = "kxgpiodev found no CUSE on this kernel";
            else
                *why = "kxgpiodev could not serve /dev/gpio (its message is above; it needs root)";
            return false;
        }
        if (kxtest::NowMs() > end) {
            *why = "kxgpiodev did not bring up /dev/gpio in time";
            return false;
        }
        poll(nullptr, 0, 10);
    }
    return true;
}
#endif

void Begin() {
    Session& s = S();
    std::string why;
    if (!TakeLock(&why)) {
        s.reason = why;
        return;
    }
    std::string path;
    if (const char* served = getenv("KXGPIO_CONTROL")) {
        path = served;
    } else {
#ifdef KXGPIODEV_PATH
        if (!StartOwn(&path, &why)) {
            s.reason = why;
            return;
        }
#else
        s.reason = "no GPIO device is served here (KXGPIO_CONTROL is not set); the board run serves one "
                   "(make test-board)";
        return;
#endif
    }
    s.control.reset(Connect(path));
    if (!s.control) {
        s.reason = "cannot reach the GPIO device's control socket " + path + ": " + strerror(errno);
        return;
    }
    if (!Reset()) {
        s.reason = "the GPIO device does not answer on " + path;
        s.control.reset();
        return;
    }
    s.available = true;
}

void End() {
    Session& s = S();
    if (s.child > 0) {
        if (s.control) Ask("quit");
        const double end = kxtest::NowMs() + 5000;
        int status;
        while (waitpid(s.child, &status, WNOHANG) == 0) {
            if (kxtest::NowMs() > end) {
                kill(s.child, SIGKILL);
                waitpid(s.child, &status, 0);
                break;
            }
            poll(nullptr, 0, 10);
        }
        s.child = -1;
    }
    s.control.reset();
    s.dir.reset();
    s.lock.reset();
    s.available = false;
}

class DeviceEnvironment : public ::testing::Environment {
public:
    void SetUp() override { Begin(); }
    void TearDown() override { End(); }
};

::testing::Environment* const g_environment = ::testing::AddGlobalTestEnvironment(new DeviceEnvironment);

long Field(const std::string& text, const char* name) {
    const std::string key = std::string(name) + "=";
    const size_t at = text.find(key);
    return at == std::string::npos ? -1 : strtol(text.c_str() + at + key.size(), nullptr, 10);
}

}  // namespace

bool Available() { return S().available; }

const std::string& Reason() { return S().reason; }

std::string Ask(const std::string& command) {
    Session& s = S();
    if (!s.control) return "error: no control connection";
    const std::string line = command + "\n";
    if (!kxtest::WriteAll(s.control.get(), line.data(), static_cast<int>(line.size())))
        return "error: control connection lost";
    size_t eol;
    while ((eol = s.pending.find('\n')) == std::string::npos) {
        if (!kxtest::WaitReadable(s.control.get(), kAnswerWaitMs)) return "error: no answer";
        char buf[256];
        ssize_t n = read(s.control.get(), buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return "error: control connection lost";
        s.pending.append(buf, static_cast<size_t>(n));
    }
    std::string answer = s.pending.substr(0, eol);
    s.pending.erase(0, eol + 1);
    if (answer == "ok") return "";
    if (answer.compare(0, 3, "ok ") == 0) return answer.substr(3);
    return "error: " + answer;
}

namespace {
bool Ok(const std::string& answer) { return answer.compare(0, 6, "error:") != 0; }
}  // namespace

bool Reset() { return Ok(Ask("reset")); }

bool SetLevel(unsigned line, unsigned level) {
    return Ok(Ask("set " + std::to_string(line) + " " + std::to_string(level)));
}

bool SetSilent(bool silent) { return Ok(Ask(silent ? "silent 1" : "silent 0")); }
bool SetFailing(bool failing) { return Ok(Ask(failing ? "failing 1" : "failing 0")); }

State GetState() {
    const std::string a = Ask("state");
    State st;
    st.opens = static_cast<int>(Field(a, "opens"));
    st.closes = static_cast<int>(Field(a, "closes"));
    st.open = static_cast<int>(Field(a, "open"));
    st.flags = static_cast<unsigned>(Field(a, "flags"));
    st.reads = static_cast<int>(Field(a, "reads"));
    st.drives = static_cast<int>(Field(a, "drives"));
    return st;
}

ReadEvent GetRead(int i) {
    ReadEvent e;
    const std::string a = Ask("read " + std::to_string(i));
    if (Ok(a)) sscanf(a.c_str(), "%ld %u %u", &e.line, &e.preset, &e.size);
    return e;
}

DriveEvent GetDrive(int i) {
    DriveEvent e;
    const std::string a = Ask("drive " + std::to_string(i));
    if (Ok(a)) sscanf(a.c_str(), "%u %ld", &e.request, &e.line);
    return e;
}

int Output(unsigned line) {
    const std::string a = Ask("output " + std::to_string(line));
    return Ok(a) ? atoi(a.c_str()) : -2;
}

}  // namespace kxgpio
