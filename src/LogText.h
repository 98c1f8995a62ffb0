// One transfer's log lines, assembled in a buffer of the calling function's
// own and handed to the log (standard output, or the host's function) with
// one call.
//
// Nothing is allocated, on any thread: a per-thread buffer of a library that
// the host loaded with dlopen is allocated by glibc on its first use in each
// thread, and glibc aborts the host when that allocation fails. One call per
// transfer also means one write per transfer for a host whose standard output
// is line buffered. The text goes through stdio's stdout stream like every
// other line of the library, so the order of all lines is kept.
#ifndef KXSER_LOGTEXT_H
#define KXSER_LOGTEXT_H

#include <cstdarg>
#include <cstddef>
#include <cstdio>
#include <cstring>

#include "SerCom.h"
#include "kxSerExt.h"

// Where the library's lines go (KxSetLog): standard output as always,
// nowhere, or the host's function one line a call. Every line of the library
// goes through here.
namespace kxlog {

enum { kToStdout = 0, kOff = 1, kToHost = 2 };

// False while the log is off: callers then format nothing.
bool On() noexcept;
// Hands `len` characters of whole lines on: to standard output with one
// write, or to the host's function a line a call, all of them before the
// lines of another thread.
void Write(const char* text, size_t len) noexcept;
// printf and puts of the log.
__attribute__((format(printf, 1, 2))) void Printf(const char* format, ...) noexcept;
void Puts(const char* text) noexcept;
// KxSetLog: 1 taken, 0 refused (nothing changes).
int SetMode(int mode, KxLogFn fn, void* ctx) noexcept;

}  // namespace kxlog

namespace {

class CLogText {
public:
    // Nothing is formatted while the log is off.
    CLogText() : m_nLen(0), m_bOn(kxlog::On()) {}
    CLogText(const CLogText&) = delete;
    CLogText& operator=(const CLogText&) = delete;

    // Text as it stands (a format's own line end included).
    void Add(const char* text) {
        if (m_bOn) Append(text, strlen(text));
    }

    // A whole line as puts writes it: the text and a single line feed.
    void Line(const char* text) {
        Add(text);
        Append("\n", 1);
    }

    __attribute__((format(printf, 2, 3))) void Format(const char* format, ...) {
        if (!m_bOn) return;
        const size_t room = sizeof m_szText - m_nLen;
        va_list args;
        va_start(args, format);
        const int n = vsnprintf(m_szText + m_nLen, room, format, args);
        va_end(args);
        if (n > 0) m_nLen += static_cast<size_t>(n) < room ? static_cast<size_t>(n) : room - 1;
    }

    // prefix, the dump text of `len` bytes at one blank per byte, "\r\n": the
    // RECV:/SEND: line with the same text the convenience BufToHexStr gives,
    // the notice for a block whose text would need 1024 characters or more,
    // and an empty dump for nothing (a length of 0 or less).
    void Dump(const char* prefix, const unsigned char* data, int len) {
        if (!m_bOn) return;
        Add(prefix);
        if (len > 0 && static_cast<long long>(len) * 3 + 1 >= kDumpLimit) {
            Add("msg.len > 1024");
        } else if (len > 0 && data != nullptr) {
            const int n = BufToHexStr(data, len, m_szText + m_nLen, static_cast<int>(sizeof m_szText - m_nLen), 1);
            if (n > 0) m_nLen += static_cast<size_t>(n);
        }
        Add("\r\n");
    }

    // Writes everything assembled so far with one call and starts afresh.
    void Flush() {
        if (m_nLen > 0) kxlog::Write(m_szText, m_nLen);
        m_nLen = 0;
    }

private:
    static const int kDumpLimit = 1024;

    // Cut rather than overrun; the lines of one transfer never come close.
    void Append(const char* text, size_t n) {
        const size_t room = sizeof m_szText - 1 - m_nLen;
        if (n > room) n = room;
        memcpy(m_szText + m_nLen, text, n);
        m_nLen += n;
    }

    // The longest transfer (a network receive of 340 bytes) logs four lines
    // of about 1100 characters together.
    char m_szText[1280];
    size_t m_nLen;
    bool m_bOn;
};

}  // namespace

#endif
