// Small helpers shared by the tests: descriptors that close themselves, a
// scoped capture of standard output, pseudo-terminals, waits on events.
#ifndef KXSER_TESTS_KXTEST_H
#define KXSER_TESTS_KXTEST_H

#include <pthread.h>

#include <functional>
#include <string>

namespace kxtest {

// A descriptor that closes itself.
class UniqueFd {
public:
    UniqueFd() = default;
    explicit UniqueFd(int fd) : fd_(fd) {}
    UniqueFd(UniqueFd&& other) noexcept : fd_(other.release()) {}
    UniqueFd& operator=(UniqueFd&& other) noexcept;
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;
    ~UniqueFd() { reset(); }

    int get() const { return fd_; }
    explicit operator bool() const { return fd_ >= 0; }
    int release() { int fd = fd_; fd_ = -1; return fd; }
    void reset(int fd = -1);

private:
    int fd_ = -1;
};

// Redirects standard output (the library's log) into a temporary file for
// its lifetime; Text() flushes and returns everything written so far. When
// the running test has failed, Stop() echoes the capture to stderr, since
// GoogleTest's own failure messages go to stdout too.
class StdoutCapture {
public:
    StdoutCapture();
    ~StdoutCapture();
    StdoutCapture(const StdoutCapture&) = delete;
    StdoutCapture& operator=(const StdoutCapture&) = delete;

    std::string Text();
    // Ends the capture early and returns what was written.
    std::string Stop();

private:
    int saved_ = -1;
    int file_ = -1;
    std::string text_;
    bool active_ = false;
};

// Sends standard output to /dev/null for its lifetime (long runs that log
// thousands of transfers).
class StdoutToNull {
public:
    StdoutToNull();
    ~StdoutToNull();
    StdoutToNull(const StdoutToNull&) = delete;
    StdoutToNull& operator=(const StdoutToNull&) = delete;

private:
    int saved_ = -1;
};

// A pseudo-terminal pair: the test holds the master, the channel opens the slave.
struct Pty {
    UniqueFd master;
    std::string slavePath;  // e.g. /dev/pts/3
    int slaveNumber = -1;
};
// Opens a pty master; also keeps a slave descriptor open in `holder` (when
// given) so the line does not hang up between the channel's opens.
Pty OpenPty(UniqueFd* holder = nullptr);

// Waits until `fd` is readable (true) or `timeoutMs` passes (false).
bool WaitReadable(int fd, int timeoutMs);
// Reads exactly `len` bytes, waiting at most `timeoutMs` in all; returns bytes read.
int ReadFully(int fd, void* buf, int len, int timeoutMs);
// Writes all of `len` bytes; returns false on error.
bool WriteAll(int fd, const void* buf, int len);

// Installs a counting SIGUSR1 handler for its lifetime, restoring the old
// one afterwards. Without SA_RESTART (the default) the blocking calls of a
// signalled thread fail with EINTR, which is how a host breaks them; with it
// the kernel restarts them.
class InterruptSignal {
public:
    explicit InterruptSignal(bool restart = false);
    ~InterruptSignal();
    InterruptSignal(const InterruptSignal&) = delete;
    InterruptSignal& operator=(const InterruptSignal&) = delete;
    // Sends `times` signals to `thread`, `gapMs` apart (the first after one gap).
    void Pulse(pthread_t thread, int times, int gapMs);
    static int Delivered();
};

// Ends a forked child at once (no exit handlers), its coverage counts
// written first in a coverage build.
[[noreturn]] void ExitChild(int status);

// Runs `body` in a forked child, ended after 60 s, and returns what it
// reported: "" when every check held, "SKIP: why" when the environment
// lacks something, or what failed (a child that did not exit says how).
// `meanwhile` runs in the parent once the child is forked: peer threads
// started there are none of the child's (valgrind would take their state
// for a leak of the child).
std::string InChild(const std::function<std::string()>& body,
                    const std::function<void()>& meanwhile = {});

// A child the host forked and exec'd (`sleep 30`), as system() and popen()
// start one: it keeps every descriptor without close-on-exec. Killed and
// reaped on destruction.
class ExecChild {
public:
    ExecChild();
    ~ExecChild();
    ExecChild(const ExecChild&) = delete;
    ExecChild& operator=(const ExecChild&) = delete;
    bool Started() const { return pid_ > 0; }
    // Whether it has a descriptor of the file `fd` names.
    bool Holds(int fd) const;

private:
    int pid_ = -1;
};

// Monotonic milliseconds.
double NowMs();

// Runs in a temporary directory for its lifetime and removes it afterwards.
class TempDir {
public:
    TempDir();
    ~TempDir();
    const std::string& path() const { return path_; }

private:
    std::string path_;
};

// Changes the working directory for its lifetime.
class ScopedChdir {
public:
    explicit ScopedChdir(const std::string& dir);
    ~ScopedChdir();

private:
    std::string old_;
};

}  // namespace kxtest

#endif
