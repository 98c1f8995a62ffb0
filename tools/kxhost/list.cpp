// kxhost list: the serial ports the kernel has, from sysfs, with the
// definition string and type code the plug-in gives each.
#include <dirent.h>
#include <fcntl.h>
#include <limits.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
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

const char kListUsage[] =
    "Usage: kxhost list [--sysfs DIR] [--dev DIR] [--lib PATH]\n"
    "\n"
    "Lists every serial port the kernel has (the entries of /sys/class/tty\n"
    "with a device driver, less serial_core ports with no UART behind them),\n"
    "one line each:\n"
    "\n"
    "  NAME  DRIVER  DEF  TYPE  [VID:PID \"MANUFACTURER\" \"PRODUCT\" \"SERIAL\"]\n"
    "\n"
    "DEF is a definition string for the port at 9600,N,8,1 and TYPE the type\n"
    "code the plug-in gives it (GetSer with type 0); the last four columns\n"
    "follow for USB adapters. The names udev made for the port in\n"
    "/dev/serial/by-id and /dev/serial/by-path follow on lines of their own,\n"
    "and so does a note for ports of one type code, which one host gets as\n"
    "one channel (ttyUSB0 and ttyACM0 are both 0x120000).\n"
    "Ports without a parent device are not shown: a USB gadget's ttyGS, like\n"
    "ptys and virtual consoles. No device is opened.\n"
    "\n"
    "  --sysfs DIR    read DIR instead of /sys (a copy of another machine's tree)\n"
    "  --dev DIR      read DIR/serial instead of /dev/serial\n"
    "\n"
    "Exit codes: 0 listed (no port at all: \"no serial ports found\" on standard\n"
    "error), 1 DIR/class/tty cannot be read,\n"
    "2 usage error or the plug-in missing.\n";

const char kDefaultSettings[] = ":9600,N,8,1";

struct Port {
    std::string name, driver, def;
    int type = 0;
    std::string usbId, manufacturer, product, serial;
    std::vector<std::string> links;  // udev's stable names
};

// One line of a sysfs attribute, without its newline; empty when absent.
std::string Attribute(const std::string& path) {
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return "";
    char buf[256];
    ssize_t n = read(fd, buf, sizeof buf - 1);
    close(fd);
    if (n <= 0) return "";
    std::string s(buf, static_cast<size_t>(n));
    return s.substr(0, s.find('\n'));
}

// Since Linux 6.5 the device of a serial_core tty is a port on the
// serial-base bus, below a controller on the same bus; the driver that
// names the hardware is that of the device above them.
std::string Driver(const std::string& tty) {
    std::string dev = tty + "/device";
    for (int up = 0; up < 3; ++up, dev += "/..") {
        char buf[PATH_MAX];
        const ssize_t n = readlink((dev + "/driver").c_str(), buf, sizeof buf - 1);
        if (n <= 0) return "";
        const std::string link(buf, static_cast<size_t>(n));
        if (link.find("/bus/serial-base/") == std::string::npos) return link.substr(link.rfind('/') + 1);
    }
    return "";
}

// A USB adapter's tty hangs below its interface, which hangs below the USB
// device holding the descriptor's strings: the first ancestor with idVendor.
void FindUsbDevice(const std::string& root, const std::string& tty, Port* port) {
    char buf[PATH_MAX];
    if (realpath((tty + "/device").c_str(), buf) == nullptr) return;
    char top[PATH_MAX];
    const std::string rootReal = realpath(root.c_str(), top) != nullptr ? top : root;
    for (std::string dir = buf; dir.size() > rootReal.size() && dir.compare(0, rootReal.size(), rootReal) == 0;
         dir = dir.substr(0, dir.rfind('/'))) {
        const std::string vendor = Attribute(dir + "/idVendor");
        if (vendor.empty()) continue;
        port->usbId = vendor + ":" + Attribute(dir + "/idProduct");
        port->manufacturer = Attribute(dir + "/manufacturer");
        port->product = Attribute(dir + "/product");
        port->serial = Attribute(dir + "/serial");
        return;
    }
}

std::string Quoted(const std::string& s) { return "\"" + s + "\""; }

// The links in DIR/serial/by-id and by-path, to the port each names.
void AddStableNames(const std::string& dev, std::vector<Port>* ports) {
    for (const char* kind : {"/serial/by-id", "/serial/by-path"}) {
        const std::string dir = dev + kind;
        DIR* d = opendir(dir.c_str());
        if (d == nullptr) continue;  // no udev, or no port it knows
        std::vector<std::pair<std::string, std::string>> found;
        while (const dirent* e = readdir(d)) {
            char target[PATH_MAX];
            const ssize_t n = readlink((dir + "/" + e->d_name).c_str(), target, sizeof target - 1);
            if (n <= 0) continue;
            const std::string t(target, static_cast<size_t>(n));
            found.emplace_back(t.substr(t.rfind('/') + 1), dir + "/" + e->d_name);
        }
        closedir(d);
        std::sort(found.begin(), found.end());
        for (const auto& f : found)
            for (Port& port : *ports)
                if (port.name == f.first) port.links.push_back(f.second);
    }
}

// The serial ports under `sysfs`, sorted by name; false when its
// class/tty cannot be read.
bool FindPorts(const std::string& sysfs, std::vector<Port>* ports) {
    const std::string classDir = sysfs + "/class/tty";
    DIR* d = opendir(classDir.c_str());
    if (d == nullptr) return false;
    while (const dirent* e = readdir(d)) {
        if (e->d_name[0] == '.') continue;
        const std::string tty = classDir + "/" + e->d_name;
        Port port;
        port.name = e->d_name;
        port.driver = Driver(tty);
        if (port.driver.empty()) continue;  // virtual terminals, ptys, consoles
        // serial_core registers every port its driver could have; type 0
        // (PORT_UNKNOWN) means no UART answered there.
        if (Attribute(tty + "/type") == "0") continue;
        FindUsbDevice(sysfs, tty, &port);
        ports->push_back(port);
    }
    closedir(d);
    std::sort(ports->begin(), ports->end(),
              [](const Port& a, const Port& b) { return strverscmp(a.name.c_str(), b.name.c_str()) < 0; });
    return true;
}

// Standard output pointed at /dev/null for its lifetime.
class Quiet {
public:
    Quiet() {
        fflush(stdout);
        saved_ = fcntl(STDOUT_FILENO, F_DUPFD_CLOEXEC, 3);
        const int null = open("/dev/null", O_WRONLY | O_CLOEXEC);
        if (saved_ >= 0 && null >= 0) dup2(null, STDOUT_FILENO);
        if (null >= 0) close(null);
    }
    ~Quiet() {
        fflush(stdout);
        if (saved_ < 0) return;
        dup2(saved_, STDOUT_FILENO);
        close(saved_);
    }
    Quiet(const Quiet&) = delete;
    Quiet& operator=(const Quiet&) = delete;

private:
    int saved_ = -1;
};

}  // namespace

void WarnSharedTypeCode(ISerManager* mgr, ISerBase* ser) {
    std::vector<Port> ports;
    if ((ser->GetType() & kKindMask) != kKindSerial || !FindPorts("/sys", &ports)) return;
    const std::string note = ser->GetNote();
    const std::string own = note.substr(0, note.find(':'));
    std::string same;
    {
        Quiet quiet;  // GetSer logs the channels it builds
        for (const Port& port : ports)
            if (port.name != own && mgr->GetSer((port.name + kDefaultSettings).c_str(), 0) == ser)
                same += (same.empty() ? "" : ", ") + port.name;
    }
    if (!same.empty())
        Error("%s and %s (of this machine) have one type code, 0x%x: a host that asks GetSer for both gets "
              "one channel for them, the one built first (the code is the port name's group and its last digit)",
              own.c_str(), same.c_str(), static_cast<unsigned>(ser->GetType()));
}

int CmdList(int argc, char** argv) {
    std::string lib, sysfs = "/sys", dev = "/dev";
    Args args(argc, argv, 2);
    while (!args.Done()) {
        const char* v = nullptr;
        bool missing = false;
        if (IsHelp(args.Peek())) {
            fputs(kListUsage, stdout);
            return kExitOk;
        }
        if (args.Option("--lib", &v, &missing)) {
            if (missing) return Usage("list", "%s needs a value", "--lib");
            lib = v;
        } else if (args.Option("--sysfs", &v, &missing)) {
            if (missing) return Usage("list", "%s needs a value", "--sysfs");
            sysfs = v;
        } else if (args.Option("--dev", &v, &missing)) {
            if (missing) return Usage("list", "%s needs a value", "--dev");
            dev = v;
        } else {
            return Usage("list", "unexpected argument '%s'", args.Peek());
        }
    }
    Plugin p;
    int rc = LoadPlugin(p, lib);
    if (rc != kExitOk) return rc;

    std::vector<Port> ports;
    if (!FindPorts(sysfs, &ports)) {
        Error("cannot read %s/class/tty: %s", sysfs.c_str(), strerror(errno));
        return kExitFailed;
    }
    if (ports.empty()) {
        Error("no serial ports found");
        return kExitOk;
    }
    AddStableNames(dev, &ports);
    bool managed = false;
    {
        // The manager and its channels log their set-up; that is not what
        // was asked for.
        Quiet quiet;
        ISerManager* mgr = p.getSerManager();
        managed = mgr != nullptr;
        for (Port& port : ports) {
            port.def = port.name + kDefaultSettings;
            ISerBase* ser = managed ? mgr->GetSer(port.def.c_str(), 0) : nullptr;
            port.type = ser != nullptr ? ser->GetType() : -1;
        }
        if (managed) p.freeSerManager(mgr);
    }
    if (!managed) {
        Error("the plug-in handed out no channel manager");
        return kExitFailed;
    }

    size_t nameW = 4, driverW = 6, defW = 3;
    for (const Port& port : ports) {
        nameW = std::max(nameW, port.name.size());
        driverW = std::max(driverW, port.driver.size());
        defW = std::max(defW, port.def.size());
    }
    for (const Port& port : ports) {
        std::string line = port.name + std::string(nameW - port.name.size() + 2, ' ') + port.driver +
                           std::string(driverW - port.driver.size() + 2, ' ') + port.def +
                           std::string(defW - port.def.size() + 2, ' ');
        char type[16] = "-";
        if (port.type >= 0) snprintf(type, sizeof type, "0x%06x", static_cast<unsigned>(port.type));
        line += type;
        if (!port.usbId.empty())
            line += "  " + port.usbId + " " + Quoted(port.manufacturer) + " " + Quoted(port.product) + " " +
                    Quoted(port.serial);
        puts(line.c_str());
        const std::string indent(nameW + 2, ' ');
        for (const std::string& link : port.links) printf("%s%s\n", indent.c_str(), link.c_str());
        // GetSer hands the channel of the first to every later port of its
        // type code.
        std::string same;
        for (const Port& other : ports)
            if (&other != &port && other.type == port.type && port.type >= 0)
                same += (same.empty() ? "" : ", ") + other.name;
        if (!same.empty())
            printf("%sshares type code 0x%06x with %s: one host gets one channel for them\n", indent.c_str(),
                   static_cast<unsigned>(port.type), same.c_str());
    }
    return kExitOk;
}

}  // namespace kxhost
