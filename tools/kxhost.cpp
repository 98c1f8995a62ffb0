// kxhost: loads the kxSer plug-in with dlopen and drives its channels, the
// way the applications that embed it do. It uses nothing but the five plain-C
// entry points and the interfaces in include/.
//
//   kxhost info                 identify the plug-in
//   kxhost open DEF [options]   talk to one channel (a meter, a controller)
//   kxhost demo                 try every channel family with no hardware
//
// Standard output carries the library's own log and the results; errors go
// to standard error. Exit codes: 0 success, 1 a channel failed to open or a
// transfer failed, 2 usage errors (including a missing library or symbol).
#include <arpa/inet.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <limits.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdarg>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "ISerBase.h"
#include "ISerManager.h"
#include "kxSer.h"

namespace {

const int kExitOk = 0;
const int kExitFailed = 1;
const int kExitUsage = 2;

// Kinds of the type codes, as the plug-in defines them.
const int kKindMask = 0xf00000;
const int kKindNet = 0x200000;
const int kKindUsb = 0x400000;
const int kKindGpio = 0x800000;

void Error(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
void Error(const char* fmt, ...) {
    fflush(stdout);
    fputs("kxhost: ", stderr);
    va_list ap;
    va_start(ap, fmt);
    vfprintf(stderr, fmt, ap);
    va_end(ap);
    fputc('\n', stderr);
}

// ---------------------------------------------------------------------------
// Loading the plug-in

struct Plugin {
    void* handle = nullptr;
    std::string path;
    KxDllTypeFn dllType = nullptr;
    KxDllNoteFn dllNote = nullptr;
    KxDllVersionFn dllVersion = nullptr;
    KxGetSerManagerFn getSerManager = nullptr;
    KxFreeSerManagerFn freeSerManager = nullptr;

    ~Plugin() {
        if (handle != nullptr) dlclose(handle);
    }
};

std::string ExecutableDir() {
    char buf[PATH_MAX];
    ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
    if (n <= 0) return ".";
    buf[n] = '\0';
    std::string path(buf);
    size_t slash = path.rfind('/');
    return slash == std::string::npos ? "." : path.substr(0, slash);
}

// Beside the executable, one level up (the build tree), the installed
// layout next to bin/, then the system library directory.
std::vector<std::string> DefaultLibraryPaths() {
    const std::string dir = ExecutableDir();
    return {dir + "/kxSer.so", dir + "/../kxSer.so", dir + "/../lib/kxSer.so", "/usr/lib/kxSer.so"};
}

template <typename Fn>
bool Resolve(Plugin& p, Fn* fn, const char* name) {
    dlerror();
    void* sym = dlsym(p.handle, name);
    if (sym == nullptr) {
        Error("%s: the plug-in has no entry point %s", p.path.c_str(), name);
        return false;
    }
    *fn = reinterpret_cast<Fn>(sym);
    return true;
}

// Returns kExitOk, or kExitUsage with the reason printed.
int LoadPlugin(Plugin& p, const std::string& explicitPath) {
    std::vector<std::string> candidates;
    if (!explicitPath.empty()) {
        candidates.push_back(explicitPath);
    } else {
        candidates = DefaultLibraryPaths();
    }
    std::string reasons;
    for (const std::string& path : candidates) {
        // A name without a slash would send dlopen to the search path.
        std::string name = path.find('/') == std::string::npos ? "./" + path : path;
        p.handle = dlopen(name.c_str(), RTLD_NOW | RTLD_LOCAL);
        if (p.handle != nullptr) {
            p.path = path;
            break;
        }
        const char* why = dlerror();
        reasons += "\n  " + path + ": " + (why != nullptr ? why : "cannot be loaded");
    }
    if (p.handle == nullptr) {
        Error("cannot load the plug-in kxSer.so (give its path with --lib PATH):%s", reasons.c_str());
        return kExitUsage;
    }
    if (!Resolve(p, &p.dllType, "DllType") || !Resolve(p, &p.dllNote, "DllNote") ||
        !Resolve(p, &p.dllVersion, "DllVersion") ||
        !Resolve(p, &p.getSerManager, "GetSerManager") ||
        !Resolve(p, &p.freeSerManager, "FreeSerManager"))
        return kExitUsage;
    return kExitOk;
}

// ---------------------------------------------------------------------------
// Argument parsing

// Decimal, or hexadecimal with 0x; the whole text must be the number.
bool ParseNumber(const char* text, bool allowHex, long long lo, long long hi, long long* out) {
    if (text == nullptr || *text == '\0') return false;
    const char* p = text;
    bool negative = false;
    if (*p == '-' || *p == '+') {
        negative = *p == '-';
        ++p;
    }
    int base = 10;
    if (allowHex && p[0] == '0' && (p[1] == 'x' || p[1] == 'X')) {
        base = 16;
        p += 2;
    }
    if (*p == '\0') return false;
    unsigned long long value = 0;
    for (; *p != '\0'; ++p) {
        int digit;
        if (*p >= '0' && *p <= '9') digit = *p - '0';
        else if (base == 16 && *p >= 'a' && *p <= 'f') digit = *p - 'a' + 10;
        else if (base == 16 && *p >= 'A' && *p <= 'F') digit = *p - 'A' + 10;
        else return false;
        value = value * static_cast<unsigned>(base) + static_cast<unsigned>(digit);
        if (value > 0xffffffffULL) return false;
    }
    long long v = negative ? -static_cast<long long>(value) : static_cast<long long>(value);
    if (v < lo || v > hi) return false;
    *out = v;
    return true;
}

int HexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// Pairs of hex digits; blanks between them are allowed ("01 03 00 0a").
bool ParseHexBytes(const char* text, std::vector<unsigned char>* out) {
    std::string digits;
    for (const char* p = text; *p != '\0'; ++p) {
        if (*p == ' ' || *p == '\t') continue;
        if (HexDigit(*p) < 0) return false;
        digits += *p;
    }
    if (digits.empty() || digits.size() % 2 != 0) return false;
    out->clear();
    for (size_t i = 0; i < digits.size(); i += 2)
        out->push_back(static_cast<unsigned char>(HexDigit(digits[i]) * 16 + HexDigit(digits[i + 1])));
    return true;
}

// Walks the options of one command: "--name value" or "--name=value".
class Args {
public:
    Args(int argc, char** argv, int first) : argc_(argc), argv_(argv), i_(first) {}

    bool Done() const { return i_ >= argc_; }
    const char* Peek() const { return argv_[i_]; }
    const char* Next() { return argv_[i_++]; }

    // True when the current argument is option `name`; its value (if it
    // takes one) goes to *value. A missing value is reported.
    bool Option(const char* name, const char** value, bool* missing) {
        const char* arg = argv_[i_];
        const size_t n = strlen(name);
        if (strncmp(arg, name, n) != 0) return false;
        if (arg[n] == '=') {
            *value = arg + n + 1;
            ++i_;
            return true;
        }
        if (arg[n] != '\0') return false;
        ++i_;
        if (i_ >= argc_) {
            *missing = true;
            return true;
        }
        *value = argv_[i_++];
        return true;
    }

private:
    int argc_;
    char** argv_;
    int i_;
};

bool IsHelp(const char* arg) {
    return strcmp(arg, "--help") == 0 || strcmp(arg, "-h") == 0 || strcmp(arg, "help") == 0;
}

const char kMainUsage[] =
    "Usage: kxhost COMMAND [OPTIONS]\n"
    "\n"
    "Loads the kxSer plug-in (kxSer.so) with dlopen and drives its channels.\n"
    "\n"
    "Commands:\n"
    "  info     show the plug-in's type, note and version\n"
    "  open     open one channel, send, receive and close it\n"
    "  demo     try serial, TCP, UDP, GPIO and USB channels without hardware\n"
    "\n"
    "Every command takes --lib PATH (default: kxSer.so beside the executable,\n"
    "then ../kxSer.so, ../lib/kxSer.so and /usr/lib/kxSer.so) and --help.\n"
    "Exit codes: 0 success, 1 a channel failed to open or a transfer failed,\n"
    "2 usage error (bad option, bad value, library or entry point missing).\n";

const char kInfoUsage[] =
    "Usage: kxhost info [--lib PATH]\n"
    "\n"
    "Loads the plug-in and prints DllType, DllNote and DllVersion.\n";

const char kOpenUsage[] =
    "Usage: kxhost open DEF [--type CODE] [--send HEX | --text TEXT] [--read N]\n"
    "                   [--timeout MS] [--repeat K] [--interval MS] [--lib PATH]\n"
    "\n"
    "Asks the manager for the channel of DEF and CODE (GetSer), opens it, and\n"
    "for each of K rounds sends the bytes and then reads up to N bytes, printing\n"
    "them as hex and text. Then closes the channel and frees the manager.\n"
    "\n"
    "  DEF            definition string; '-' passes none (the channel is then\n"
    "                 built from the index in CODE)\n"
    "                   serial:  ttyUSB0:9600,E,8,1   (port, baud, parity N/O/E/M/S,\n"
    "                            data bits, stop bits 1/1.5/2)\n"
    "                   network: 192.168.1.10:502 (TCP), u192.168.1.10:502 (UDP),\n"
    "                            b:4000 (UDP broadcast)\n"
    "                   GPIO:    free text, used as the channel's note\n"
    "  --type CODE    type code, decimal or 0x hex (default 0: serial, the code\n"
    "                 follows from DEF). Kinds: 0x100000 serial, 0x200000 network\n"
    "                 (add an index of your choice, e.g. 0x200001), 0x800000 GPIO,\n"
    "                 0x400000 USB (never provided)\n"
    "  --send HEX     bytes to send, as pairs of hex digits (\"01 03 00 00 00 0a\")\n"
    "                 GPIO: two bytes, output selector and level\n"
    "  --text TEXT    text to send instead (without a terminator)\n"
    "  --read N       read up to N bytes after sending (default: no read)\n"
    "                 GPIO: 1 or 2 bytes, the levels of input lines 18 and 17\n"
    "  --timeout MS   receive time-out handed to Read (default 1000); serial: one\n"
    "                 extra polling round per full second; network: the wait in\n"
    "                 milliseconds, -1 blocks until data arrives\n"
    "  --repeat K     rounds of send and read (default 1)\n"
    "  --interval MS  pause between rounds (default 1000)\n"
    "\n"
    "Examples:\n"
    "  kxhost open ttyUSB0:9600,E,8,1 --send \"01 03 00 00 00 02 C4 0B\" --read 9\n"
    "  kxhost open 192.168.1.10:502 --type 0x200001 --send \"00 01 00 00 00 06 01 03 00 00 00 02\" --read 64\n";

const char kDemoUsage[] =
    "Usage: kxhost demo [--lib PATH]\n"
    "\n"
    "Walks the plug-in's typical use (identify, GetSerManager, GetSer, Open,\n"
    "Write, Read, Close, FreeSerManager) on channels that need no hardware and\n"
    "no network beyond loopback: a serial channel on a pseudo-terminal with an\n"
    "echo on its other side, TCP and UDP channels to echo peers on 127.0.0.1,\n"
    "the GPIO channel (inputs are only read, never driven; skipped when there is\n"
    "no /dev/gpio) and the USB kind (no channel by design). Prints the library's\n"
    "log as it goes and a summary at the end. Exits 0 when everything it could\n"
    "try worked, 1 otherwise.\n";

int Usage(const char* command, const char* fmt, ...) __attribute__((format(printf, 2, 3)));
int Usage(const char* command, const char* fmt, ...) {
    char buf[512];
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(buf, sizeof buf, fmt, ap);
    va_end(ap);
    if (command[0] != '\0') Error("%s (see kxhost %s --help)", buf, command);
    else Error("%s (see kxhost --help)", buf);
    return kExitUsage;
}

// ---------------------------------------------------------------------------
// Output helpers

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

// ---------------------------------------------------------------------------
// info

int CmdInfo(int argc, char** argv) {
    std::string lib;
    Args args(argc, argv, 2);
    while (!args.Done()) {
        const char* value = nullptr;
        bool missing = false;
        if (IsHelp(args.Peek())) {
            fputs(kInfoUsage, stdout);
            return kExitOk;
        }
        if (args.Option("--lib", &value, &missing)) {
            if (missing) return Usage("info", "%s needs a value", "--lib");
            lib = value;
            continue;
        }
        return Usage("info", "unexpected argument '%s'", args.Peek());
    }
    Plugin p;
    int rc = LoadPlugin(p, lib);
    if (rc != kExitOk) return rc;
    printf("library: %s\n", p.path.c_str());
    printf("type:    %d\n", p.dllType());
    const char* note = p.dllNote();
    printf("note:    %s\n", note != nullptr ? note : "(none)");
    printf("version: %d\n", p.dllVersion());
    return kExitOk;
}

// ---------------------------------------------------------------------------
// open

struct OpenOptions {
    std::string lib;
    bool hasDef = false;
    std::string def;
    int type = 0;
    bool send = false;
    std::vector<unsigned char> data;
    bool text = false;
    std::string textValue;  // NUL-terminated for the text form of Write
    int readLen = 0;
    int timeout = 1000;
    int repeat = 1;
    int intervalMs = 1000;
};

int ParseOpen(int argc, char** argv, OpenOptions* o, bool* help) {
    Args args(argc, argv, 2);
    bool haveDef = false;
    long long n;
    while (!args.Done()) {
        const char* v = nullptr;
        bool missing = false;
        const char* arg = args.Peek();
        if (IsHelp(arg)) {
            *help = true;
            return kExitOk;
        }
        if (args.Option("--lib", &v, &missing)) {
            if (missing) return Usage("open", "%s needs a value", "--lib");
            o->lib = v;
        } else if (args.Option("--type", &v, &missing)) {
            if (missing) return Usage("open", "%s needs a value", "--type");
            if (!ParseNumber(v, true, 0, 0x7fffffff, &n))
                return Usage("open", "--type '%s' is not a type code (decimal or 0x hex)", v);
            o->type = static_cast<int>(n);
        } else if (args.Option("--send", &v, &missing)) {
            if (missing) return Usage("open", "%s needs a value", "--send");
            if (o->send) return Usage("open", "%s given twice, or together with --text", "--send");
            if (!ParseHexBytes(v, &o->data))
                return Usage("open", "--send '%s' is not an even number of hex digits", v);
            o->send = true;
        } else if (args.Option("--text", &v, &missing)) {
            if (missing) return Usage("open", "%s needs a value", "--text");
            if (o->send) return Usage("open", "%s given twice, or together with --send", "--text");
            if (*v == '\0') return Usage("open", "%s: the text is empty", "--text");
            o->data.assign(v, v + strlen(v));
            o->textValue = v;
            o->send = true;
            o->text = true;
        } else if (args.Option("--read", &v, &missing)) {
            if (missing) return Usage("open", "%s needs a value", "--read");
            if (!ParseNumber(v, false, 1, 65536, &n))
                return Usage("open", "--read '%s' is not a byte count from 1 to 65536", v);
            o->readLen = static_cast<int>(n);
        } else if (args.Option("--timeout", &v, &missing)) {
            if (missing) return Usage("open", "%s needs a value", "--timeout");
            if (!ParseNumber(v, false, -1, 3600000, &n))
                return Usage("open", "--timeout '%s' is not a time in milliseconds (-1 to 3600000)", v);
            o->timeout = static_cast<int>(n);
        } else if (args.Option("--repeat", &v, &missing)) {
            if (missing) return Usage("open", "%s needs a value", "--repeat");
            if (!ParseNumber(v, false, 1, 1000000, &n))
                return Usage("open", "--repeat '%s' is not a count from 1 to 1000000", v);
            o->repeat = static_cast<int>(n);
        } else if (args.Option("--interval", &v, &missing)) {
            if (missing) return Usage("open", "%s needs a value", "--interval");
            if (!ParseNumber(v, false, 0, 3600000, &n))
                return Usage("open", "--interval '%s' is not a time in milliseconds", v);
            o->intervalMs = static_cast<int>(n);
        } else if (arg[0] == '-' && arg[1] != '\0') {
            return Usage("open", "unknown option '%s'", arg);
        } else if (!haveDef) {
            haveDef = true;
            args.Next();
            o->hasDef = strcmp(arg, "-") != 0;
            if (o->hasDef) o->def = arg;
        } else {
            return Usage("open", "unexpected argument '%s' (only one DEF)", arg);
        }
    }
    if (!haveDef) return Usage("open", "%s", "missing the definition string DEF");
    return kExitOk;
}

// One round of send and read; false when a transfer failed.
bool Exchange(ISerBase* ser, const OpenOptions& o, bool gpio) {
    bool ok = true;
    if (o.send) {
        const int len = static_cast<int>(o.data.size());
        int r = o.text ? ser->Write(o.textValue.c_str())
                       : ser->Write(o.data.data(), len);
        // The GPIO channel answers 0 for a write it passed on.
        if (r < 0) {
            Error("sending %d bytes failed (Write returned %d)", len, r);
            ok = false;
        } else if (!gpio && r != len) {
            Error("only %d of %d bytes were sent", r, len);
            ok = false;
        } else {
            printf("sent %d bytes: %s\n", len, HexAndText(o.data.data(), len).c_str());
        }
    }
    if (o.readLen > 0) {
        std::vector<unsigned char> buf(static_cast<size_t>(o.readLen) + 1, 0);
        int r = ser->Read(buf.data(), o.readLen, o.timeout);
        // The GPIO channel answers 1 for a read of one or two line levels.
        int got = gpio && r == 1 ? (o.readLen > 1 ? 2 : 1) : r;
        if (r < 0) {
            Error("receiving failed (Read returned %d)", r);
            ok = false;
        } else if (got == 0) {
            Error("nothing received within the time-out");
            ok = false;
        } else {
            printf("received %d bytes: %s\n", got, HexAndText(buf.data(), got).c_str());
        }
    }
    return ok;
}

int CmdOpen(int argc, char** argv) {
    OpenOptions o;
    bool help = false;
    int rc = ParseOpen(argc, argv, &o, &help);
    if (rc != kExitOk) return rc;
    if (help) {
        fputs(kOpenUsage, stdout);
        return kExitOk;
    }
    Plugin p;
    rc = LoadPlugin(p, o.lib);
    if (rc != kExitOk) return rc;

    ISerManager* mgr = p.getSerManager();
    if (mgr == nullptr) {
        Error("the plug-in handed out no channel manager");
        return kExitFailed;
    }
    const char* def = o.hasDef ? o.def.c_str() : nullptr;
    ISerBase* ser = mgr->GetSer(def, o.type);
    if (ser == nullptr) {
        Error("no channel for type code 0x%x%s", static_cast<unsigned>(o.type),
              (o.type & kKindMask) == kKindUsb ? " (the USB kind has no transport)" : "");
        p.freeSerManager(mgr);
        return kExitFailed;
    }
    const bool gpio = (ser->GetType() & kKindMask) == kKindGpio;
    printf("channel: type 0x%x, note %s\n", static_cast<unsigned>(ser->GetType()), ser->GetNote());
    if (!ser->Open(nullptr)) {
        Error("cannot open the channel %s (type 0x%x)", ser->GetNote(),
              static_cast<unsigned>(ser->GetType()));
        ser->Close();
        p.freeSerManager(mgr);
        return kExitFailed;
    }
    bool ok = true;
    for (int round = 0; round < o.repeat; ++round) {
        if (round > 0) {
            SleepMs(o.intervalMs);
            // A network channel that a failed transfer closed reconnects here.
            if (!ser->IsOpened()) {
                Error("the channel is closed and could not be reopened");
                ok = false;
                continue;
            }
        }
        if (!Exchange(ser, o, gpio)) ok = false;
    }
    ser->Close();
    p.freeSerManager(mgr);
    return ok ? kExitOk : kExitFailed;
}

// ---------------------------------------------------------------------------
// demo: stand-ins for a device and two peers, all inside this process

// Polls `fd` for input for at most `ms`; true when readable.
bool Readable(int fd, int ms) {
    struct pollfd pfd = {fd, POLLIN, 0};
    int r;
    do r = poll(&pfd, 1, ms);
    while (r < 0 && errno == EINTR);
    return r > 0 && (pfd.revents & (POLLIN | POLLHUP | POLLERR)) != 0;
}

class Echo {
public:
    ~Echo() { Stop(); }
    void Stop() {
        stop_ = true;
        if (thread_.joinable()) thread_.join();
        for (int fd : fds_)
            if (fd >= 0) close(fd);
        fds_.clear();
    }

    // The master side of a pseudo-terminal: whatever the slave writes comes
    // back to it.
    bool StartPty(std::string* slavePath, int* slaveNumber) {
        int m = posix_openpt(O_RDWR | O_NOCTTY);
        if (m < 0) return false;
        fds_.push_back(m);
        if (grantpt(m) != 0 || unlockpt(m) != 0) return false;
        const char* name = ptsname(m);
        if (name == nullptr || strncmp(name, "/dev/pts/", 9) != 0) return false;
        *slavePath = name;
        *slaveNumber = atoi(name + 9);
        // Held open so the line does not hang up between the channel's opens.
        int hold = open(name, O_RDWR | O_NOCTTY | O_NONBLOCK);
        if (hold < 0) return false;
        fds_.push_back(hold);
        thread_ = std::thread([this, m] {
            unsigned char buf[256];
            while (!stop_) {
                if (!Readable(m, 50)) continue;
                ssize_t n = read(m, buf, sizeof buf);
                if (n <= 0) {
                    SleepMs(20);  // EIO while no slave is open
                    continue;
                }
                WriteAll(m, buf, static_cast<size_t>(n));
            }
        });
        return true;
    }

    bool StartTcp(int* port) {
        int l = Bound(SOCK_STREAM, port);
        if (l < 0 || listen(l, 4) != 0) return false;
        thread_ = std::thread([this, l] {
            while (!stop_) {
                if (!Readable(l, 50)) continue;
                int c = accept(l, nullptr, nullptr);
                if (c < 0) continue;
                unsigned char buf[256];
                while (!stop_) {
                    if (!Readable(c, 50)) continue;
                    ssize_t n = recv(c, buf, sizeof buf, 0);
                    if (n <= 0) break;
                    for (ssize_t off = 0; off < n;) {
                        ssize_t w = send(c, buf + off, static_cast<size_t>(n - off), MSG_NOSIGNAL);
                        if (w <= 0) break;
                        off += w;
                    }
                }
                close(c);
            }
        });
        return true;
    }

    bool StartUdp(int* port) {
        int s = Bound(SOCK_DGRAM, port);
        if (s < 0) return false;
        thread_ = std::thread([this, s] {
            unsigned char buf[2048];
            while (!stop_) {
                if (!Readable(s, 50)) continue;
                sockaddr_in from;
                socklen_t len = sizeof from;
                ssize_t n = recvfrom(s, buf, sizeof buf, 0, reinterpret_cast<sockaddr*>(&from), &len);
                if (n < 0) continue;
                sendto(s, buf, static_cast<size_t>(n), MSG_NOSIGNAL, reinterpret_cast<sockaddr*>(&from), len);
            }
        });
        return true;
    }

private:
    static void WriteAll(int fd, const unsigned char* p, size_t n) {
        while (n > 0) {
            ssize_t w = write(fd, p, n);
            if (w < 0 && errno == EINTR) continue;
            if (w <= 0) return;
            p += w;
            n -= static_cast<size_t>(w);
        }
    }

    // A socket on 127.0.0.1 with a port chosen by the system.
    int Bound(int type, int* port) {
        int s = socket(AF_INET, type, 0);
        if (s < 0) return -1;
        fds_.push_back(s);
        sockaddr_in a;
        memset(&a, 0, sizeof a);
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        a.sin_port = 0;
        if (bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) return -1;
        socklen_t len = sizeof a;
        if (getsockname(s, reinterpret_cast<sockaddr*>(&a), &len) != 0) return -1;
        *port = ntohs(a.sin_port);
        return s;
    }

    std::atomic<bool> stop_{false};
    std::thread thread_;
    std::vector<int> fds_;
};

struct DemoRow {
    std::string family;
    std::string type = "-";
    std::string note = "-";
    std::string open = "-";
    std::string write = "-";
    std::string read = "-";
    std::string result;
    bool failed = false;
};

void Step(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
void Step(const char* fmt, ...) {
    fputs("demo: ", stdout);
    va_list ap;
    va_start(ap, fmt);
    vprintf(fmt, ap);
    va_end(ap);
    fputc('\n', stdout);
}

std::string TypeText(int type) {
    char b[16];
    snprintf(b, sizeof b, "0x%x", static_cast<unsigned>(type));
    return b;
}

// Collects `want` bytes with a few Read calls: a network Read takes one
// receive, so an echo split in transit needs more than one.
int ReadEcho(ISerBase* ser, unsigned char* buf, int want, int timeout) {
    int got = 0;
    for (int attempt = 0; attempt < 4 && got < want; ++attempt) {
        int r = ser->Read(buf + got, want - got, timeout);
        if (r <= 0) break;
        got += r;
    }
    return got;
}

// Open, Write, Read, Close on one channel whose peer echoes.
void EchoRound(ISerManager* mgr, const char* def, int type, DemoRow* row) {
    Step("GetSer(\"%s\", 0x%x)", def, static_cast<unsigned>(type));
    ISerBase* ser = mgr->GetSer(def, type);
    if (ser == nullptr) {
        row->result = "no channel";
        row->failed = true;
        return;
    }
    row->type = TypeText(ser->GetType());
    row->note = ser->GetNote();
    Step("Open(nullptr) on %s [%s]", row->note.c_str(), row->type.c_str());
    if (!ser->Open(nullptr)) {
        row->open = "failed";
        row->result = "failed to open";
        row->failed = true;
        ser->Close();
        return;
    }
    row->open = "ok";
    const std::string payload = "hello from kxhost, " + row->family;
    const int len = static_cast<int>(payload.size());
    Step("Write(%d bytes)", len);
    int w = ser->Write(reinterpret_cast<const unsigned char*>(payload.data()), len);
    row->write = w == len ? "ok" : "failed";
    std::vector<unsigned char> back(static_cast<size_t>(len) + 1, 0);
    int got = 0;
    if (w == len) {
        Step("Read(up to %d bytes)", len);
        got = ReadEcho(ser, back.data(), len, 2000);
    }
    const bool echoed = got == len && memcmp(back.data(), payload.data(), static_cast<size_t>(len)) == 0;
    row->read = w != len ? "-" : echoed ? "ok" : "failed";
    if (echoed) Step("echo came back: %s", HexAndText(back.data(), got).c_str());
    Step("Close()");
    ser->Close();
    row->result = echoed ? "echo ok" : "echo failed";
    row->failed = !echoed;
}

int CmdDemo(int argc, char** argv) {
    std::string lib;
    Args args(argc, argv, 2);
    while (!args.Done()) {
        const char* value = nullptr;
        bool missing = false;
        if (IsHelp(args.Peek())) {
            fputs(kDemoUsage, stdout);
            return kExitOk;
        }
        if (args.Option("--lib", &value, &missing)) {
            if (missing) return Usage("demo", "%s needs a value", "--lib");
            lib = value;
            continue;
        }
        return Usage("demo", "unexpected argument '%s'", args.Peek());
    }

    Plugin p;
    int rc = LoadPlugin(p, lib);
    if (rc != kExitOk) return rc;
    Step("loaded %s; lines without the \"demo:\" prefix are the library's own log", p.path.c_str());
    Step("DllType() = %d, DllVersion() = %d, DllNote() = \"%s\"", p.dllType(), p.dllVersion(),
         p.dllNote());
    Step("GetSerManager()");
    ISerManager* mgr = p.getSerManager();
    if (mgr == nullptr) {
        Error("the plug-in handed out no channel manager");
        return kExitFailed;
    }
    if (p.getSerManager() != mgr) Step("warning: a second GetSerManager gave another manager");

    std::vector<DemoRow> rows;

    // Serial: a pseudo-terminal stands in for the device. The last digit
    // before ':' is the channel's index and the text before it the port
    // name, so "pts/12:..." reaches /dev/pts/12.
    {
        DemoRow row;
        row.family = "serial";
        Echo echo;
        std::string slave;
        int number = -1;
        if (!echo.StartPty(&slave, &number)) {
            row.result = "no pseudo-terminal";
            row.failed = true;
        } else {
            Step("serial: pseudo-terminal %s with an echo on its master side", slave.c_str());
            const std::string def = "pts/" + std::to_string(number) + ":115200,N,8,1";
            EchoRound(mgr, def.c_str(), 0, &row);
        }
        rows.push_back(row);
    }

    // TCP and UDP: echo peers on loopback.
    {
        DemoRow row;
        row.family = "tcp";
        Echo echo;
        int port = 0;
        if (!echo.StartTcp(&port)) {
            row.result = "no loopback listener";
            row.failed = true;
        } else {
            Step("tcp: echo peer listening on 127.0.0.1:%d", port);
            const std::string def = "127.0.0.1:" + std::to_string(port);
            EchoRound(mgr, def.c_str(), kKindNet + 1, &row);
        }
        rows.push_back(row);
    }
    {
        DemoRow row;
        row.family = "udp";
        Echo echo;
        int port = 0;
        if (!echo.StartUdp(&port)) {
            row.result = "no loopback socket";
            row.failed = true;
        } else {
            Step("udp: echo peer on 127.0.0.1:%d", port);
            const std::string def = "u127.0.0.1:" + std::to_string(port);
            EchoRound(mgr, def.c_str(), kKindNet + 2, &row);
        }
        rows.push_back(row);
    }

    // GPIO: inputs are only sampled; outputs could move real equipment.
    {
        DemoRow row;
        row.family = "gpio";
        Step("GetSer(nullptr, 0x%x)", static_cast<unsigned>(kKindGpio));
        ISerBase* ser = mgr->GetSer(nullptr, kKindGpio);
        if (ser == nullptr) {
            row.result = "no channel";
            row.failed = true;
        } else {
            row.type = TypeText(ser->GetType());
            row.note = ser->GetNote();
            Step("Open(nullptr) on %s [%s]", row.note.c_str(), row.type.c_str());
            if (!ser->Open(nullptr)) {
                struct stat st;
                const bool present = stat("/dev/gpio", &st) == 0;
                row.open = present ? "failed" : "skipped";
                row.result = present ? "failed to open /dev/gpio" : "skipped: no /dev/gpio here";
                row.failed = present;
                Step("%s", present ? "/dev/gpio exists but cannot be opened"
                                   : "no /dev/gpio exists here: the GPIO channel cannot open");
            } else {
                row.open = "ok";
                unsigned char levels[2] = {0, 0};
                Step("Read(2 bytes): input lines 18 and 17");
                int r = ser->Read(levels, 2, 0);
                row.read = r == 1 ? "ok" : "failed";
                row.failed = r != 1;
                row.result = r == 1 ? "inputs " + std::to_string(levels[0]) + " " + std::to_string(levels[1])
                                    : "read failed";
                Step("Close()");
            }
            ser->Close();
        }
        rows.push_back(row);
    }

    // USB: the kind is named but never provided.
    {
        DemoRow row;
        row.family = "usb";
        Step("GetSer(nullptr, 0x%x)", static_cast<unsigned>(kKindUsb + 1));
        ISerBase* ser = mgr->GetSer(nullptr, kKindUsb + 1);
        row.type = TypeText(kKindUsb + 1);
        row.result = ser == nullptr ? "no channel, as designed" : "unexpected channel";
        row.failed = ser != nullptr;
        rows.push_back(row);
    }

    Step("FreeSerManager()");
    p.freeSerManager(mgr);

    size_t noteWidth = 4;
    for (const DemoRow& r : rows) noteWidth = std::max(noteWidth, r.note.size());
    printf("\nSummary\n");
    printf("  %-7s %-9s %-*s %-8s %-6s %-6s %s\n", "channel", "type", static_cast<int>(noteWidth), "note",
           "open", "write", "read", "result");
    bool allOk = true;
    for (const DemoRow& r : rows) {
        printf("  %-7s %-9s %-*s %-8s %-6s %-6s %s\n", r.family.c_str(), r.type.c_str(),
               static_cast<int>(noteWidth), r.note.c_str(), r.open.c_str(), r.write.c_str(),
               r.read.c_str(), r.result.c_str());
        if (r.failed) allOk = false;
    }
    printf("%s\n", allOk ? "Everything that could be tried here worked."
                         : "Some channels failed; see the log above.");
    return allOk ? kExitOk : kExitFailed;
}

}  // namespace

int main(int argc, char** argv) {
    // Results and the library's log interleave line by line with errors.
    setvbuf(stdout, nullptr, _IOLBF, 0);
    signal(SIGPIPE, SIG_IGN);
    if (argc < 2) {
        fputs(kMainUsage, stderr);
        return kExitUsage;
    }
    const char* cmd = argv[1];
    if (IsHelp(cmd)) {
        fputs(kMainUsage, stdout);
        return kExitOk;
    }
    if (strcmp(cmd, "info") == 0) return CmdInfo(argc, argv);
    if (strcmp(cmd, "open") == 0) return CmdOpen(argc, argv);
    if (strcmp(cmd, "demo") == 0) return CmdDemo(argc, argv);
    return Usage("", "unknown command '%s'", cmd);
}
