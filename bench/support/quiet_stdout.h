// Sends standard output (the channels' log) to /dev/null for its lifetime,
// so the benchmark's own report still reaches the terminal afterwards.
#ifndef KXSER_BENCH_QUIET_STDOUT_H
#define KXSER_BENCH_QUIET_STDOUT_H

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>

namespace kxbench {

class QuietStdout {
public:
    QuietStdout() {
        fflush(stdout);
        saved_ = dup(STDOUT_FILENO);
        const int null = open("/dev/null", O_WRONLY);
        dup2(null, STDOUT_FILENO);
        close(null);
    }
    ~QuietStdout() {
        fflush(stdout);
        dup2(saved_, STDOUT_FILENO);
        close(saved_);
    }
    QuietStdout(const QuietStdout&) = delete;
    QuietStdout& operator=(const QuietStdout&) = delete;

private:
    int saved_ = -1;
};

}  // namespace kxbench

#endif
