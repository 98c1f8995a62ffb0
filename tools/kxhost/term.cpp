// kxhost term: an interactive terminal through one channel of the plug-in,
// the way picocom or miniterm talk to a device, but with the plug-in's own
// line settings, log and quirks. Keys go out with Write as typed; whatever
// Read returns is shown as it arrives; Ctrl-] leaves. Ctrl-T and a letter
// control the line, as in miniterm: a break, DTR, RTS, a status line with
// the modem lines and the line counters (the plug-in's optional exports;
// an older plug-in lacks them, and the keys then say so).
//
// The library logs every transfer to standard output, which is the screen.
// So the conversation gets a copy of the real standard output and descriptor
// 1 (the library's stdout) points at the log file or /dev/null.
//
// One thread only: hosts serialise calls on a channel, so keys and reads
// take turns. A serial channel's descriptor is polled with the keyboard and
// Read is asked for just the bytes queued, so it returns at once instead of
// after the line's 0.2 s of quiet. A network channel has no descriptor for
// hosts (GetHandle is -1), so it is read with a short wait and the keyboard
// checked in between; each empty wait logs a time-out line.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>

#include "ISerBase.h"
#include "ISerManager.h"
#include "args.h"
#include "channel.h"
#include "commands.h"
#include "common.h"
#include "plugin.h"

namespace kxhost {

namespace {

const char kTermUsage[] =
    "Usage: kxhost term DEF [--type CODE] [--hex] [--log FILE] [--lib PATH]\n"
    "\n"
    "Opens the channel of DEF and CODE and connects the terminal to it: the\n"
    "terminal goes into raw mode, every key is sent with Write as typed, and\n"
    "whatever Read returns is shown as it arrives. Ctrl-] leaves (exit 0); a\n"
    "channel that fails ends the session with exit 1. The terminal is restored\n"
    "on every way out, SIGINT and SIGTERM included.\n"
    "\n"
    "Ctrl-T, then a key, controls the line (what it did, or the library's\n"
    "reason for a refusal, is shown on a line of its own):\n"
    "  b             send a break: the line held at space for 250 ms\n"
    "  d, r          toggle DTR, RTS; then the status line\n"
    "  s             the status line: the modem lines (CTS DSR CD RI DTR RTS)\n"
    "                and the line counters since the driver loaded (rx tx\n"
    "                frame parity overrun brk bufOverrun); n/a where the\n"
    "                driver has none (a pseudo-terminal, a network channel).\n"
    "                A serial channel shows it once open\n"
    "  Ctrl-T        send Ctrl-T itself\n"
    "  any other     list these keys\n"
    "(Ctrl-B, Ctrl-D, Ctrl-R and Ctrl-S after Ctrl-T do the same as b, d, r, s.)\n"
    "\n"
    "  DEF, --type CODE  the channel, as for kxhost open: serial\n"
    "                    (ttyUSB0:115200,N,8,1) or network (192.168.1.10:23);\n"
    "                    not GPIO\n"
    "  --hex             show what arrives as hex bytes, one line per Read\n"
    "  --log FILE        append the library's own log (its SEND:/RECV: dumps\n"
    "                    and other lines) to FILE; without it the log is\n"
    "                    discarded, so it never mixes into the conversation\n"
    "\n"
    "Example:\n"
    "  kxhost term ttyUSB0:115200,N,8,1 --log /tmp/kxser.log\n";

const unsigned char kLeaveKey = 0x1d;  // Ctrl-]
// The prefix of the line's controls, as in miniterm; twice sends it.
const unsigned char kMenuKey = 0x14;  // Ctrl-T
const int kBreakMs = 250;
const char kKeysLine[] =
    "kxhost term: Ctrl-T then b break (250 ms), d DTR, r RTS, s status line, Ctrl-T sends Ctrl-T; "
    "Ctrl-] leaves\r\n";
// A network Read waits this long before the keyboard gets its turn: the
// worst delay of a key while the line is silent.
const int kNetWaitMs = 50;

struct TermOptions {
    ChannelArgs ch;
    bool hex = false;
    std::string log;
};

int ParseTerm(int argc, char** argv, TermOptions* o, bool* help) {
    Args args(argc, argv, 2);
    while (!args.Done()) {
        const char* v = nullptr;
        bool missing = false;
        bool taken = false;
        const char* arg = args.Peek();
        if (IsHelp(arg)) {
            *help = true;
            return kExitOk;
        }
        const int rc = TakeChannelArg(args, "term", &o->ch, &taken);
        if (rc != kExitOk) return rc;
        if (taken) continue;
        if (args.Option("--log", &v, &missing)) {
            if (missing || *v == '\0') return Usage("term", "%s needs a value", "--log");
            o->log = v;
        } else if (strcmp(arg, "--hex") == 0) {
            args.Next();
            o->hex = true;
        } else {
            return Usage("term", "unknown option '%s'", arg);
        }
    }
    if (!o->ch.haveDef) return Usage("term", "%s", "missing the definition string DEF");
    return kExitOk;
}

volatile sig_atomic_t gSignal = 0;

void OnSignal(int sig) { gSignal = sig; }

// SIGINT, SIGTERM and SIGHUP only note the signal: the loop then restores
// the terminal and closes the channel before the signal ends the process.
// No SA_RESTART, so a wait on the keyboard or the line returns at once.
class SignalCatcher {
public:
    SignalCatcher() {
        struct sigaction sa;
        memset(&sa, 0, sizeof sa);
        sa.sa_handler = OnSignal;
        sigemptyset(&sa.sa_mask);
        for (int i = 0; i < kCount; ++i) sigaction(kSignals[i], &sa, &old_[i]);
    }
    ~SignalCatcher() {
        for (int i = 0; i < kCount; ++i) sigaction(kSignals[i], &old_[i], nullptr);
    }
    SignalCatcher(const SignalCatcher&) = delete;
    SignalCatcher& operator=(const SignalCatcher&) = delete;

private:
    static constexpr int kCount = 3;
    static constexpr int kSignals[kCount] = {SIGINT, SIGTERM, SIGHUP};
    struct sigaction old_[kCount];
};

// The keyboard's terminal in raw mode for its lifetime (nothing to do when
// standard input is no terminal).
class RawTerminal {
public:
    RawTerminal() {
        if (tcgetattr(STDIN_FILENO, &saved_) != 0) return;
        struct termios raw = saved_;
        cfmakeraw(&raw);
        active_ = tcsetattr(STDIN_FILENO, TCSANOW, &raw) == 0;
    }
    ~RawTerminal() {
        if (active_) tcsetattr(STDIN_FILENO, TCSADRAIN, &saved_);
    }
    RawTerminal(const RawTerminal&) = delete;
    RawTerminal& operator=(const RawTerminal&) = delete;

private:
    struct termios saved_;
    bool active_ = false;
};

// Standard output moved aside for the conversation, descriptor 1 pointed at
// the log (or /dev/null) for the library; put back on destruction.
class LogAside {
public:
    bool Start(const std::string& log) {
        const char* path = log.empty() ? "/dev/null" : log.c_str();
        const int target = open(path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
        if (target < 0) return false;
        fflush(stdout);
        screen_ = fcntl(STDOUT_FILENO, F_DUPFD_CLOEXEC, 3);
        const bool ok = screen_ >= 0 && dup2(target, STDOUT_FILENO) >= 0;
        close(target);
        return ok;
    }
    int screen() const { return screen_; }
    ~LogAside() {
        if (screen_ < 0) return;
        fflush(stdout);
        dup2(screen_, STDOUT_FILENO);
        close(screen_);
    }

private:
    int screen_ = -1;
};

bool WriteAll(int fd, const void* data, size_t len) {
    const char* p = static_cast<const char*>(data);
    while (len > 0) {
        ssize_t n = write(fd, p, len);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        p += n;
        len -= static_cast<size_t>(n);
    }
    return true;
}

void Show(int screen, const unsigned char* data, int len, bool hex) {
    if (len <= 0) return;
    if (!hex) {
        WriteAll(screen, data, static_cast<size_t>(len));
        return;
    }
    std::string line;
    char b[4];
    for (int i = 0; i < len; ++i) {
        snprintf(b, sizeof b, "%02X ", data[i]);
        line += b;
    }
    line += "\r\n";
    WriteAll(screen, line.data(), line.size());
}

void Say(int screen, const std::string& text) {
    const std::string line = "kxhost term: " + text + "\r\n";
    WriteAll(screen, line.data(), line.size());
}

// Why the last call on the channel failed, from the library.
std::string ReasonText(const Plugin& p, ISerBase* ser) {
    int code = 0;
    std::string text;
    if (p.lastError == nullptr) return "no reason given (the plug-in has no KxLastError)";
    return p.Reason(ser, &code, &text) && !text.empty() ? text : "no reason given";
}

// "n/a" for what the channel or its driver does not have (and for an
// export the plug-in lacks), else the reason the library gives.
std::string NotAvailable(const Plugin& p, ISerBase* ser, const char* exportName, bool missing) {
    if (missing) return std::string("n/a (the plug-in has no ") + exportName + ")";
    int code = 0;
    std::string text;
    if (!p.Reason(ser, &code, &text) || code == -4) return "n/a";
    return "n/a (" + text + ")";
}

// "lines CTS=0 DSR=1 CD=0 RI=0 DTR=1 RTS=1; counters rx=12 tx=3 frame=0 ...".
std::string StatusLine(const Plugin& p, ISerBase* ser) {
    std::string line = "lines ";
    const int lines = p.getLines != nullptr ? p.getLines(ser) : -1;
    if (lines < 0) {
        line += NotAvailable(p, ser, "KxGetLines", p.getLines == nullptr);
    } else {
        const struct {
            int bit;
            const char* name;
        } kLines[] = {{TIOCM_CTS, "CTS"}, {TIOCM_DSR, "DSR"}, {TIOCM_CD, "CD"},
                      {TIOCM_RI, "RI"},   {TIOCM_DTR, "DTR"}, {TIOCM_RTS, "RTS"}};
        for (const auto& l : kLines)
            line += std::string(l.name) + ((lines & l.bit) != 0 ? "=1 " : "=0 ");
        line.pop_back();
    }
    line += "; counters ";
    KxCounters c = {};
    if (p.getCounters == nullptr || p.getCounters(ser, &c) != 1) {
        line += NotAvailable(p, ser, "KxGetCounters", p.getCounters == nullptr);
    } else {
        char b[160];
        snprintf(b, sizeof b, "rx=%d tx=%d frame=%d parity=%d overrun=%d brk=%d bufOverrun=%d", c.rx, c.tx,
                 c.frame, c.parity, c.overrun, c.brk, c.bufOverrun);
        line += b;
    }
    return line;
}

// Toggles DTR or RTS (`bit`), then shows the status line.
void ToggleLine(const Plugin& p, ISerBase* ser, int screen, int bit, const char* name) {
    if (p.getLines == nullptr || p.setLines == nullptr) {
        Say(screen, std::string(name) + " not changed: " + Plugin::Lacks(p.getLines ? "KxSetLines" : "KxGetLines"));
        return;
    }
    const int lines = p.getLines(ser);
    const bool raised = lines >= 0 && (lines & bit) != 0;
    if (lines < 0 || p.setLines(ser, raised ? 0 : bit, raised ? bit : 0) != 1) {
        Say(screen, std::string(name) + " not changed: " + ReasonText(p, ser));
        return;
    }
    Say(screen, StatusLine(p, ser));
}

// What the key after Ctrl-T asks for.
void LineControl(const Plugin& p, ISerBase* ser, int screen, unsigned char key) {
    if (key < 0x20) key = static_cast<unsigned char>(key + 0x60);  // Ctrl-B as b
    switch (key | 0x20) {
        case 'b':
            if (p.sendBreak == nullptr) Say(screen, "no break: " + Plugin::Lacks("KxSendBreak"));
            else if (p.sendBreak(ser, kBreakMs) == 1) Say(screen, "break sent (" + std::to_string(kBreakMs) + " ms)");
            else Say(screen, "no break: " + ReasonText(p, ser));
            break;
        case 'd': ToggleLine(p, ser, screen, TIOCM_DTR, "DTR"); break;
        case 'r': ToggleLine(p, ser, screen, TIOCM_RTS, "RTS"); break;
        case 's': Say(screen, StatusLine(p, ser)); break;
        default: WriteAll(screen, kKeysLine, sizeof kKeysLine - 1); break;
    }
}

enum class End { Leave, Failed, Signal };

// The conversation until Ctrl-] (or the end of input), a failed channel or
// a signal. *why tells what failed.
End Converse(const Plugin& p, ISerBase* ser, int screen, bool hex, std::string* why) {
    const int line = ser->GetHandle();
    unsigned char in[256];
    unsigned char out[4096];
    bool menu = false;  // Ctrl-T came, its key not yet
    while (gSignal == 0) {
        struct pollfd fds[2] = {{STDIN_FILENO, POLLIN, 0}, {line, POLLIN, 0}};
        // A signal just before the wait would be missed: wait in slices.
        const int r = poll(fds, line >= 0 ? 2 : 1, line >= 0 ? 250 : 0);
        if (r < 0 && errno != EINTR) {
            *why = std::string("waiting for keys failed: ") + strerror(errno);
            return End::Failed;
        }
        if (r > 0 && fds[0].revents != 0) {
            const ssize_t n = read(STDIN_FILENO, in, sizeof in);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) return End::Leave;  // the keyboard is gone
            // The keys to send are gathered in place, up to a key of kxhost's.
            int len = 0;
            for (ssize_t i = 0; i < n; ++i) {
                const unsigned char key = in[i];
                const bool literal = menu && key == kMenuKey;
                const bool ours = !literal && (key == kLeaveKey || menu || key == kMenuKey);
                if (!ours) in[len++] = key;
                if (len > 0 && (ours || i == n - 1)) {
                    if (ser->Write(in, len) < 0) {
                        *why = "Write failed: " + ReasonText(p, ser);
                        return End::Failed;
                    }
                    len = 0;
                }
                if (key == kLeaveKey) return End::Leave;
                if (menu && !literal) LineControl(p, ser, screen, key);
                menu = !menu && key == kMenuKey;
            }
        }
        if (line >= 0) {
            if (r <= 0 || fds[1].revents == 0) continue;
            int queued = 0;
            if (ioctl(line, FIONREAD, &queued) != 0 || queued < 1) queued = 1;
            if (queued > static_cast<int>(sizeof out)) queued = static_cast<int>(sizeof out);
            if ((fds[1].revents & POLLIN) != 0) Show(screen, out, ser->Read(out, queued, 0), hex);
            if ((fds[1].revents & (POLLHUP | POLLERR | POLLNVAL)) != 0) {
                *why = "the line hung up";
                return End::Failed;
            }
        } else {
            // A time-out answers -1 only after the whole wait; a closed
            // channel (a failed receive, a TCP peer that left after its 0)
            // answers -1 at once.
            const auto start = std::chrono::steady_clock::now();
            const int got = ser->Read(out, static_cast<int>(sizeof out), kNetWaitMs);
            const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                                std::chrono::steady_clock::now() - start).count();
            if (got > 0) Show(screen, out, got, hex);
            if (got < 0 && gSignal == 0 && ms < kNetWaitMs / 2) {
                *why = "the connection is closed";
                return End::Failed;
            }
        }
    }
    return End::Signal;
}

}  // namespace

int CmdTerm(int argc, char** argv) {
    TermOptions o;
    bool help = false;
    int rc = ParseTerm(argc, argv, &o, &help);
    if (rc != kExitOk) return rc;
    if (help) {
        fputs(kTermUsage, stdout);
        return kExitOk;
    }
    LogAside log;
    if (!log.Start(o.log)) {
        Error("cannot write the log to %s: %s", o.log.c_str(), strerror(errno));
        return kExitUsage;
    }
    const int screen = log.screen();
    rc = ResolveChannelArgs(&o.ch);
    if (rc != kExitOk) return rc;
    Plugin p;
    rc = LoadPlugin(p, o.ch.lib);
    if (rc != kExitOk) return rc;
    ISerManager* mgr = p.getSerManager();
    if (mgr == nullptr) {
        Error("the plug-in handed out no channel manager");
        return kExitFailed;
    }
    ISerBase* ser = mgr->GetSer(o.ch.Def(), o.ch.type);
    if (ser == nullptr || (ser->GetType() & kKindMask) == kKindGpio) {
        Error(ser == nullptr ? "no channel for type code 0x%x" : "type code 0x%x: the GPIO channel carries no byte stream",
              static_cast<unsigned>(o.ch.type));
        p.freeSerManager(mgr);
        return kExitFailed;
    }
    if ((ser->GetType() & kKindMask) == kKindSerial) WarnSharedTypeCode(mgr, ser);
    rc = OpenChannel(p, ser, o.ch);
    if (rc != kExitOk) {
        ser->Close();
        p.freeSerManager(mgr);
        return rc;
    }

    const std::string note = ser->GetNote();
    End end;
    std::string why;
    {
        SignalCatcher signals;
        RawTerminal raw;
        char banner[256];
        snprintf(banner, sizeof banner, "kxhost term: %s [0x%x] open; Ctrl-T then h lists the keys; Ctrl-] leaves\r\n",
                 ser->GetNote(), static_cast<unsigned>(ser->GetType()));
        WriteAll(screen, banner, strlen(banner));
        if ((ser->GetType() & kKindMask) == kKindSerial && (p.getLines != nullptr || p.getCounters != nullptr))
            Say(screen, StatusLine(p, ser));
        end = Converse(p, ser, screen, o.hex, &why);
    }  // the terminal is itself again
    if (end == End::Leave) WriteAll(screen, "\n", 1);
    ser->Close();
    p.freeSerManager(mgr);
    if (end == End::Signal) {
        const int sig = gSignal;
        fflush(stdout);
        signal(sig, SIG_DFL);
        raise(sig);
        return 128 + sig;
    }
    if (end == End::Failed) {
        Error("the channel %s failed: %s", note.c_str(), why.c_str());
        return kExitFailed;
    }
    return kExitOk;
}

}  // namespace kxhost
