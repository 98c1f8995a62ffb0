// kxhost demo: the plug-in's typical use on every channel family, with
// stand-ins (echo_peers.cpp) where a device or a peer would be.
#include <sys/stat.h>

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "ISerBase.h"
#include "ISerManager.h"
#include "args.h"
#include "commands.h"
#include "common.h"
#include "echo_peers.h"
#include "plugin.h"

namespace kxhost {

namespace {

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

}  // namespace

int CmdDemo(int argc, char** argv) {
    std::string lib;
    bool help = false;
    int rc = ParseLibOnly(argc, argv, "demo", &lib, &help);
    if (rc != kExitOk) return rc;
    if (help) {
        fputs(kDemoUsage, stdout);
        return kExitOk;
    }

    Plugin p;
    rc = LoadPlugin(p, lib);
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

}  // namespace kxhost
