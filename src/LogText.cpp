// The log's destination, chosen by the host with KxSetLog.
#include "LogText.h"

#include <pthread.h>

namespace {

int gMode = kxlog::kToStdout;  // read without the lock: a relaxed atomic
// The host's function and its context, changed and called under the lock:
// lines of two threads never meet in it, and a function the host replaces
// is not called after KxSetLog returns.
pthread_mutex_t gHostLock = PTHREAD_MUTEX_INITIALIZER;
KxLogFn gFn = nullptr;
void* gCtx = nullptr;

int Mode() { return __atomic_load_n(&gMode, __ATOMIC_RELAXED); }

// Longer lines (a definition string of any length in "SerNet new:") are cut
// for the host's function; standard output gets them whole.
const size_t kLineMax = 1280;

void ToHost(const char* text, size_t len) {
    pthread_mutex_lock(&gHostLock);
    if (Mode() == kxlog::kToHost && gFn != nullptr) {
        while (len > 0) {
            const char* end = static_cast<const char*>(memchr(text, '\n', len));
            const size_t line = end != nullptr ? static_cast<size_t>(end - text) + 1 : len;
            gFn(gCtx, text, static_cast<int>(line));
            text += line;
            len -= line;
        }
    } else if (Mode() == kxlog::kToStdout) {
        fwrite(text, 1, len, stdout);
    }
    pthread_mutex_unlock(&gHostLock);
}

}  // namespace

namespace kxlog {

bool On() noexcept { return Mode() != kOff; }

void Write(const char* text, size_t len) noexcept {
    const int mode = Mode();
    if (mode == kToStdout) fwrite(text, 1, len, stdout);
    else if (mode == kToHost) ToHost(text, len);
}

void Printf(const char* format, ...) noexcept {
    const int mode = Mode();
    if (mode == kOff) return;
    va_list args;
    va_start(args, format);
    if (mode == kToStdout) {
        vfprintf(stdout, format, args);
    } else {
        char text[kLineMax];
        const int n = vsnprintf(text, sizeof text, format, args);
        if (n > 0) {
            size_t len = static_cast<size_t>(n) < sizeof text ? static_cast<size_t>(n) : sizeof text - 1;
            // A cut line still ends as a line.
            if (static_cast<size_t>(n) >= sizeof text) text[len - 1] = '\n';
            ToHost(text, len);
        }
    }
    va_end(args);
}

void Puts(const char* text) noexcept {
    const int mode = Mode();
    if (mode == kToStdout) {
        puts(text);
    } else if (mode == kToHost) {
        Printf("%s\n", text);
    }
}

int SetMode(int mode, KxLogFn fn, void* ctx) noexcept {
    if (mode != kToStdout && mode != kOff && mode != kToHost) return 0;
    if (mode == kToHost && fn == nullptr) return 0;
    pthread_mutex_lock(&gHostLock);
    // What standard output holds goes out before the lines that follow.
    if (Mode() == kToStdout) fflush(stdout);
    gFn = mode == kToHost ? fn : nullptr;
    gCtx = mode == kToHost ? ctx : nullptr;
    __atomic_store_n(&gMode, mode, __ATOMIC_RELAXED);
    pthread_mutex_unlock(&gHostLock);
    return 1;
}

}  // namespace kxlog
