// kxhost open: one channel, asked for by definition string and type code,
// opened, sent to and read from for a number of rounds, then closed; the
// line errors a serial driver counted meanwhile, with their likely causes.
#include <poll.h>
#include <sys/ioctl.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "ISerBase.h"
#include "ISerManager.h"
#include "args.h"
#include "channel.h"
#include "commands.h"
#include "common.h"
#include "plugin.h"

namespace kxhost {

namespace {

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
    "                            data bits 5-8, stop bits 1/2; no /dev/), then\n"
    "                            settings: flow=rtscts|xonxoff, rs485=on|inverted,\n"
    "                            rtsbefore=MS, rtsafter=MS, dtr=0|1, rts=0|1,\n"
    "                            hupcl=0|1, lowlat=0|1, gap=MS (see kxhost(1));\n"
    "                            the settings in force are printed once open\n"
    "                   network: 192.168.1.10:502 (TCP), u192.168.1.10:502 (UDP),\n"
    "                            b:4000 (UDP broadcast); dotted IPv4 and ports\n"
    "                            1-65535 only (a host name, IPv6, an empty or\n"
    "                            out-of-range port is refused)\n"
    "                   GPIO:    free text, used as the channel's note\n"
    "                 A field the line will not carry as written is named on\n"
    "                 standard error, a setting error with the valid names and\n"
    "                 values, a setting without '=' (gap 5) refused.\n"
    "  --type CODE    type code, decimal or 0x hex. Default: a network DEF gets\n"
    "                 0x200000 plus its port, anything else 0 (serial, the code\n"
    "                 follows from DEF). Kinds: 0x100000 serial, 0x200000 network\n"
    "                 (plus an index of your choice, e.g. 0x200001), 0x800000\n"
    "                 GPIO, 0x400000 USB (never provided)\n"
    "  --send HEX     bytes to send: blank-separated hex, each token one byte of\n"
    "                 one or two digits or an even run of digit pairs, 0x allowed\n"
    "                 (\"01 03 00 0a\", \"1 3 0 a\", \"0x01 0x03\", \"0103000a\")\n"
    "                 GPIO: two bytes, output selector and level\n"
    "  --text TEXT    text to send instead (without a terminator)\n"
    "  --read N       read up to N bytes after sending (default: no read)\n"
    "                 GPIO: 1 or 2 bytes, the levels of input lines 18 and 17\n"
    "  --timeout MS   how long to wait for the reply, in milliseconds (default\n"
    "                 1000; -1 without limit). Serial: kxhost waits up to MS for\n"
    "                 the line's first byte (none: no Read), then calls\n"
    "                 Read(buf, N, 0), which takes bytes until the line is quiet\n"
    "                 for 0.2 s. (The library's own serial time-out T is coarse:\n"
    "                 Read(buf, N, T) on a silent line returns after 0.2 s plus\n"
    "                 0.2 s per full second of T, at least one.) Network: MS is\n"
    "                 the wait handed to Read; -1 blocks until data arrives.\n"
    "                 0 reads what is there at once: on a serial line only the\n"
    "                 bytes queued, on a network channel with a 1 ms wait\n"
    "  --repeat K     rounds of send and read (default 1)\n"
    "  --interval MS  pause between rounds (default 1000)\n"
    "\n"
    "A failure gives the library's reason (KxLastError) and what it means. On a\n"
    "serial channel whose driver counts line errors, the counters are read once\n"
    "open and after the last round; when an error counter moved they are printed\n"
    "with the likely cause of each (framing errors: the speed; parity errors:\n"
    "the parity; overruns: a reader too slow for the line; buffer overruns: the\n"
    "host did not read in time).\n"
    "\n"
    "Examples:\n"
    "  kxhost open ttyUSB0:9600,E,8,1 --send \"01 03 00 00 00 02 C4 0B\" --read 9\n"
    "  kxhost open 192.168.1.10:502 --send \"00 01 00 00 00 06 01 03 00 00 00 02\" --read 64\n";

struct OpenOptions {
    ChannelArgs ch;
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
    long long n;
    while (!args.Done()) {
        const char* v = nullptr;
        bool missing = false;
        bool taken = false;
        const char* arg = args.Peek();
        if (IsHelp(arg)) {
            *help = true;
            return kExitOk;
        }
        const int rc = TakeChannelArg(args, "open", &o->ch, &taken);
        if (rc != kExitOk) return rc;
        if (taken) continue;
        if (args.Option("--send", &v, &missing)) {
            if (missing) return Usage("open", "%s needs a value", "--send");
            if (o->send) return Usage("open", "%s given twice, or together with --text", "--send");
            std::string bad;
            if (!ParseHexBytes(v, &o->data, &bad)) {
                if (bad.empty()) return Usage("open", "--send '%s' holds no byte", v);
                return Usage("open", "--send: '%s' is not a byte in hex (one or two digits, or an even run of "
                             "digit pairs, 0x allowed)", bad.c_str());
            }
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
        } else {
            return Usage("open", "unknown option '%s'", arg);
        }
    }
    if (!o->ch.haveDef) return Usage("open", "%s", "missing the definition string DEF");
    return kExitOk;
}

// What kind of channel the round runs on.
struct Kind {
    bool serial = false, gpio = false, tcp = false;
};

// Reads up to N bytes as --timeout says: the answer of Read, or 0 without
// a Read.
int ReadReply(ISerBase* ser, const OpenOptions& o, const Kind& k, unsigned char* buf) {
    if (!k.serial) {
        // A network Read of 0 ms would wait SetTimeout's second and more.
        return ser->Read(buf, o.readLen, o.timeout == 0 && !k.gpio ? 1 : o.timeout);
    }
    // The library counts a serial time-out in 0.2 s polls per full second;
    // the option says milliseconds, so kxhost does the waiting and Read
    // takes what came, until the line is quiet. At once means the bytes
    // queued, without the 0.2 s of quiet. A channel that closed itself
    // (-1) waits not at all.
    const int fd = ser->GetHandle();
    int want = o.readLen;
    if (fd >= 0) {
        if (PollFor(fd, POLLIN, o.timeout) == 0) return 0;
        int queued = 0;
        if (o.timeout == 0 && ioctl(fd, FIONREAD, &queued) == 0 && queued > 0 && queued < want) want = queued;
    }
    return ser->Read(buf, want, 0);
}

// Why a transfer failed: the library's reason where the plug-in gives one,
// else the error numbers its log holds.
void ExplainFailure(const Plugin& p, ISerBase* ser, const std::string& said) {
    int code = 0;
    std::string text;
    if (p.Reason(ser, &code, &text)) SayReason(code, text);
    else LibraryLog::Explain(said);
}

// One round of send and read; false when a transfer failed.
bool Exchange(const Plugin& p, ISerBase* ser, const OpenOptions& o, const Kind& k, LibraryLog& log) {
    bool ok = true;
    if (o.send) {
        const int len = static_cast<int>(o.data.size());
        int r = o.text ? ser->Write(o.textValue.c_str())
                       : ser->Write(o.data.data(), len);
        const std::string said = log.Take();
        // The GPIO channel answers 0 for a write it passed on.
        if (r < 0) {
            ExplainFailure(p, ser, said);
            Error("sending %d bytes failed (Write returned %d)", len, r);
            ok = false;
        } else if (!k.gpio && r != len) {
            Error("only %d of %d bytes were sent", r, len);
            ok = false;
        } else {
            printf("sent %d bytes: %s\n", len, HexAndText(o.data.data(), len).c_str());
        }
    }
    if (o.readLen > 0) {
        std::vector<unsigned char> buf(static_cast<size_t>(o.readLen) + 1, 0);
        const int r = ReadReply(ser, o, k, buf.data());
        const std::string said = log.Take();
        // The GPIO channel answers 1 for a read of one or two line levels.
        int got = k.gpio && r == 1 ? (o.readLen > 1 ? 2 : 1) : r;
        // A network wait that ends empty answers -1 as a failure does; the
        // reason (a receive's is "recv: ..."), or else the log line, tells
        // them apart, and a TCP peer that closed its end from a Read of 0.
        int code = 0;
        std::string text;
        const bool known = p.Reason(ser, &code, &text);
        const bool waitedInVain = known ? code == ETIMEDOUT && text.compare(0, 5, "recv:") != 0
                                        : said.find("CSerNet::Read select timeout") != std::string::npos;
        const bool peerClosed = known ? code == ENOTCONN : said.find("CSerNet::Read recv: 0\r") != std::string::npos;
        if (r < 0 && waitedInVain) {
            Error("nothing received within the time-out");
            ok = false;
        } else if (r < 0) {
            if (known) SayReason(code, text);
            else LibraryLog::Explain(said);
            Error("receiving failed (Read returned %d)", r);
            ok = false;
        } else if (got == 0 && k.tcp && peerClosed) {
            Error("the peer closed the connection (Read returned 0); the channel is closed%s",
                  o.repeat > 1 ? " and connects again for the next round" : "");
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

// The line counters of a serial channel, read before the exchange and
// after: when an error counter moved, the counters and the likely cause of
// each error that moved. Counters wrap as the driver's do.
void ReportLineErrors(const KxCounters& was, const KxCounters& now) {
    const struct {
        unsigned moved;
        const char* name;
        const char* cause;
    } errors[] = {
        {static_cast<unsigned>(now.frame) - static_cast<unsigned>(was.frame), "frame",
         "framing errors: most likely the speed (or the data or stop bits) differs from the device's"},
        {static_cast<unsigned>(now.parity) - static_cast<unsigned>(was.parity), "parity",
         "parity errors: most likely the parity differs from the device's"},
        {static_cast<unsigned>(now.overrun) - static_cast<unsigned>(was.overrun), "overrun",
         "overruns: the UART lost bytes, its reader too slow for the line (interrupt latency; try lowlat=1 "
         "or a lower speed)"},
        {static_cast<unsigned>(now.brk) - static_cast<unsigned>(was.brk), "brk",
         "breaks received: the line was held at space (a break from the device, or a loose wire or a peer "
         "without power)"},
        {static_cast<unsigned>(now.bufOverrun) - static_cast<unsigned>(was.bufOverrun), "bufOverrun",
         "buffer overruns: the host did not read in time and the tty layer's buffer ran full"},
    };
    std::string moved;
    for (const auto& e : errors)
        if (e.moved != 0) moved += std::string(moved.empty() ? "" : ", ") + e.name + " +" + std::to_string(e.moved);
    if (moved.empty()) return;
    printf("line counters: rx=%d tx=%d frame=%d parity=%d overrun=%d brk=%d bufOverrun=%d\n", now.rx, now.tx,
           now.frame, now.parity, now.overrun, now.brk, now.bufOverrun);
    Error("line errors during the exchange: %s", moved.c_str());
    for (const auto& e : errors)
        if (e.moved != 0) Error("%s", e.cause);
}

}  // namespace

int CmdOpen(int argc, char** argv) {
    OpenOptions o;
    bool help = false;
    int rc = ParseOpen(argc, argv, &o, &help);
    if (rc != kExitOk) return rc;
    if (help) {
        fputs(kOpenUsage, stdout);
        return kExitOk;
    }
    rc = ResolveChannelArgs(&o.ch);
    if (rc != kExitOk) return rc;
    LibraryLog log;
    Plugin p;
    rc = LoadPlugin(p, o.ch.lib);
    if (rc != kExitOk) return rc;

    ISerManager* mgr = p.getSerManager();
    if (mgr == nullptr) {
        Error("the plug-in handed out no channel manager");
        return kExitFailed;
    }
    ISerBase* ser = mgr->GetSer(o.ch.Def(), o.ch.type);
    if (ser == nullptr) {
        Error("no channel for type code 0x%x%s", static_cast<unsigned>(o.ch.type),
              (o.ch.type & kKindMask) == kKindUsb ? " (the USB kind has no transport)" : "");
        p.freeSerManager(mgr);
        return kExitFailed;
    }
    Kind k;
    k.gpio = (ser->GetType() & kKindMask) == kKindGpio;
    k.serial = (ser->GetType() & kKindMask) == kKindSerial;
    const std::string note = ser->GetNote();
    // "NET 502 192.168.1.10:502"; UDP and broadcast have a mode letter.
    const size_t peer = note.find(' ', 4) + 1;
    k.tcp = (ser->GetType() & kKindMask) == kKindNet && peer > 0 && peer < note.size() &&
            strchr("uUbB", note[peer]) == nullptr;
    printf("channel: type 0x%x, note %s\n", static_cast<unsigned>(ser->GetType()), ser->GetNote());
    if (k.serial) WarnSharedTypeCode(mgr, ser);
    rc = OpenChannel(p, ser, o.ch);
    if (rc != kExitOk) {
        // OpenChannel gave the library's reason where the plug-in has one.
        const std::string said = log.Take();
        if (p.lastError == nullptr) LibraryLog::Explain(said);
        ser->Close();
        p.freeSerManager(mgr);
        return rc;
    }
    KxCounters before = {};
    const bool counted = k.serial && p.getCounters != nullptr && p.getCounters(ser, &before) == 1;
    bool ok = true;
    for (int round = 0; round < o.repeat; ++round) {
        if (round > 0) {
            SleepMs(o.intervalMs);
            // A network channel that a failed transfer closed reconnects here.
            if (!ser->IsOpened()) {
                ExplainFailure(p, ser, log.Take());
                Error("the channel is closed and could not be reopened");
                ok = false;
                continue;
            }
        }
        if (!Exchange(p, ser, o, k, log)) ok = false;
    }
    KxCounters after = {};
    if (counted && p.getCounters(ser, &after) == 1) ReportLineErrors(before, after);
    else if (!ok && k.serial && p.getCounters == nullptr)
        Error("%s: the line's error counters cannot be read", Plugin::Lacks("KxGetCounters").c_str());
    ser->Close();
    p.freeSerManager(mgr);
    return ok ? kExitOk : kExitFailed;
}

}  // namespace kxhost
