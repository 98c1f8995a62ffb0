#include "channel.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <limits.h>
#include <linux/serial.h>
#include <netinet/in.h>
#include <poll.h>
#include <stdlib.h>
#include <strings.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "common.h"

namespace kxhost {

namespace {

const int kDefaultNetPort = 20600;  // the plug-in's port for none or 0
const int kProbeMs = 2000;

// A network peer's DEF: a dotted IPv4 address, optionally after u (UDP) or
// b (broadcast), or a lone b; then :PORT (none for an address alone). Serial
// names never read so: uart1:9600 has no dotted address. *port: 20600 for
// none or 0, as the plug-in takes it.
bool IsNetworkDef(const std::string& def, int* port) {
    const size_t colon = def.find(':');
    std::string host = def.substr(0, colon);
    const bool udp = !host.empty() && (host[0] == 'u' || host[0] == 'U');
    const bool broadcast = !host.empty() && (host[0] == 'b' || host[0] == 'B');
    if (udp || broadcast) host.erase(0, 1);
    struct in_addr a;
    if (host.empty() ? !broadcast || colon == std::string::npos : inet_pton(AF_INET, host.c_str(), &a) != 1)
        return false;
    *port = 0;
    if (colon != std::string::npos) {
        const std::string digits = def.substr(colon + 1);
        if (digits.empty() || digits.size() > 5 || digits.find_first_not_of("0123456789") != std::string::npos)
            return false;
        *port = atoi(digits.c_str());
        if (*port > 0xffff) return false;
    }
    if (*port == 0) *port = kDefaultNetPort;
    return true;
}

// The fields of a definition string after its port: ':' and ',' separate.
std::vector<std::string> Fields(const std::string& text) {
    std::vector<std::string> fields;
    size_t start = 0;
    for (;;) {
        const size_t end = text.find_first_of(":,", start);
        fields.push_back(text.substr(start, end == std::string::npos ? std::string::npos : end - start));
        if (end == std::string::npos) return fields;
        start = end + 1;
    }
}

// The number a field holds, read as the plug-in reads it (leading blanks, a
// sign, digits); false when it holds none.
bool Number(const std::string& field, long* value) {
    char* end = nullptr;
    *value = strtol(field.c_str(), &end, 10);
    return end != field.c_str();
}

const char* ParityWords(char noteLetter) {
    switch (noteLetter) {
        case 'O': return "odd parity";
        case 'e': return "even parity";
        case 'm': return "mark parity";
        case 's': return "space parity";
        default: return "without parity";
    }
}

int DataBits(tcflag_t cflag) {
    switch (cflag & CSIZE) {
        case CS5: return 5;
        case CS6: return 6;
        case CS7: return 7;
        default: return 8;
    }
}

// What became of a serial DEF's port: the note begins with the port name
// and index the plug-in took from it.
enum class Port { Split, Cut, NoSplit };

Port PortOf(const std::string& def, const std::string& notePort) {
    if (def.compare(0, notePort.size() + 1, notePort + ":") == 0) return Port::Split;
    // A long name is cut, its index digit kept.
    const std::string head = def.substr(0, def.find_first_of(":,"));
    const size_t kept = notePort.size() - (notePort.empty() ? 0 : 1);
    if (def.size() > head.size() && def[head.size()] == ':' && head.size() > notePort.size() && !notePort.empty() &&
        head.compare(0, kept, notePort, 0, kept) == 0 && head.back() == notePort.back())
        return Port::Cut;
    return Port::NoSplit;
}

// One line per field of the DEF that the open line does not carry as
// written: what the plug-in made of the text (its note) against the text,
// and the line's settings read back from the device.
void WarnLineFields(const std::string& def, const std::string& note, int fd) {
    const size_t colon = note.find(':');
    const std::vector<std::string> asked = Fields(def.substr(colon + 1));
    const std::vector<std::string> took = Fields(note.substr(colon + 1));  // speed, parity, data bits, stop bits
    struct termios line;
    if (took.size() < 4 || fd < 0 || tcgetattr(fd, &line) != 0) return;
    auto field = [&asked](size_t i) { return i < asked.size() ? asked[i] : std::string(); };
    long n;
    const std::string speed = field(0), parity = field(1), bits = field(2), stop = field(3);
    if (!speed.empty() && !Number(speed, &n))
        Error("speed '%s' is not a number; the line keeps %s", speed.c_str(), took[0].c_str());
    if (!parity.empty() && toupper(static_cast<unsigned char>(parity[0])) != toupper(took[1][0]))
        Error("parity '%s' is not N, O, E, M or S; the line runs %s", parity.c_str(), ParityWords(took[1][0]));
    if (!bits.empty() && (!Number(bits, &n) || n < 5 || n > 8))
        Error("data bits '%s' are not 5 to 8; the line runs %d", bits.c_str(), DataBits(line.c_cflag));
    const char* runs = (line.c_cflag & CSTOPB) != 0 ? "2" : "1";
    if (!stop.empty() && stop != runs) {
        if (stop == took[3]) Error("stop bits '%s' run as %s (a line has 1 or 2)", stop.c_str(), runs);
        else Error("stop bits '%s' were not taken (1, 1.5 or 2); the line runs %s", stop.c_str(), runs);
    }
    // Line-control settings (name=value) follow the stop bits.
    for (size_t i = 4; i < asked.size(); ++i) {
        const size_t eq = asked[i].find('=');
        if (!asked[i].empty() && (eq == std::string::npos || eq == 0))
            Error("field %zu '%s' after the stop bits is ignored", i + 2, asked[i].c_str());
    }
}

// " (pid 812 picocom, ...)" for the other processes that have `path` open,
// as far as /proc lets this user see them; "" when none is seen.
std::string Holders(const std::string& path) {
    char real[PATH_MAX];
    if (realpath(path.c_str(), real) == nullptr) return "";
    std::string found;
    DIR* proc = opendir("/proc");
    if (proc == nullptr) return "";
    while (const dirent* p = readdir(proc)) {
        const int pid = atoi(p->d_name);
        if (pid <= 0 || pid == getpid()) continue;
        const std::string fds = std::string("/proc/") + p->d_name + "/fd";
        DIR* d = opendir(fds.c_str());
        if (d == nullptr) continue;
        bool has = false;
        while (const dirent* f = readdir(d)) {
            char target[PATH_MAX];
            const ssize_t n = readlink((fds + "/" + f->d_name).c_str(), target, sizeof target - 1);
            if (n > 0 && std::string(target, static_cast<size_t>(n)) == real) has = true;
        }
        closedir(d);
        if (!has) continue;
        char comm[64] = "";
        if (FILE* c = fopen((std::string("/proc/") + p->d_name + "/comm").c_str(), "re")) {
            if (fgets(comm, sizeof comm, c) != nullptr) comm[strcspn(comm, "\n")] = '\0';
            fclose(c);
        }
        found += (found.empty() ? " (pid " : ", pid ") + std::to_string(pid) + " " + comm;
    }
    closedir(proc);
    return found.empty() ? "" : found + ")";
}

// After a serial channel did not open: the system's reason for its device,
// from `note` (the channel's note, its port first) and `type` (its type
// code). Looks only, except for one open and close of the device when it
// exists and may be opened.
void ExplainSerialOpenFailure(const std::string& note, int type) {
    const size_t colon = note.find(':');
    const std::string port = note.substr(0, colon);
    const std::string settings = colon == std::string::npos ? "" : note.substr(colon + 1);
    if ((type & 0xffff) > 9) {
        Error("the plug-in opens a port numbered above 9 as \\\\.\\%s (a Windows device name, taken as a "
              "file in the current directory), never as /dev/%s",
              port.c_str(), port.c_str());
        return;
    }
    const std::string path = "/dev/" + port;
    const char* list = "`kxhost list` shows the serial ports this machine has";
    struct stat st;
    if (stat(path.c_str(), &st) != 0) {
        if (errno == ENOENT) Error("%s: no such device; %s", path.c_str(), list);
        else Error("%s: %s", path.c_str(), strerror(errno));
        return;
    }
    if (access(path.c_str(), R_OK | W_OK) != 0 && errno == EACCES) {
        const struct group* g = getgrgid(st.st_gid);
        const std::string group = g != nullptr ? g->gr_name : std::to_string(st.st_gid);
        const unsigned mode = st.st_mode & 0777;
        if ((mode & 060) == 060)
            Error("%s: permission denied: it belongs to group %s (mode %03o); add the user to that group "
                  "(usermod -aG %s USER) and log in again",
                  path.c_str(), group.c_str(), mode, group.c_str());
        else Error("%s: permission denied: only its owner may open it (mode %03o)", path.c_str(), mode);
        return;
    }
    const int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        const int e = errno;
        if (e == EBUSY) Error("%s: busy: held by another program%s", path.c_str(), Holders(path).c_str());
        else if (e == ENXIO || e == ENODEV || e == EIO)
            Error("%s: no port behind the device (%s); %s", path.c_str(), strerror(e), list);
        else Error("%s: %s", path.c_str(), strerror(e));
        return;
    }
    // Root opens a port another program holds with TIOCEXCL; flock tells
    // of those that lock it.
    int exclusive = 0;
    const bool held = (ioctl(fd, TIOCGEXCL, &exclusive) == 0 && exclusive != 0) ||
                      (flock(fd, LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK);
    const bool tty = isatty(fd) != 0;
    close(fd);
    if (held) Error("%s: busy: held by another program%s", path.c_str(), Holders(path).c_str());
    else if (!tty) Error("%s is not a terminal, so not a serial port", path.c_str());
    else Error("%s opens, but its driver did not take the line settings %s or a setting after them (see the "
               "lines above: a speed it cannot make, a setting it lacks?)",
               path.c_str(), settings.c_str());
}

// After a TCP channel did not connect. The plug-in logs the same line for
// every failure, so kxhost asks the system once itself: one non-blocking
// connect to the peer of the note ("NET 502 192.168.1.10:502"), waited for
// at most 2 s and closed at once, so a peer that takes one connection at a
// time has it back.
void ExplainConnectFailure(const std::string& note) {
    const size_t space = note.find(' ', 4);
    const size_t colon = note.rfind(':');
    if (note.compare(0, 4, "NET ") != 0 || space == std::string::npos || colon == std::string::npos || colon < space)
        return;
    const std::string host = note.substr(space + 1, colon - space - 1);
    const int port = atoi(note.c_str() + colon + 1);
    struct sockaddr_in sa;
    memset(&sa, 0, sizeof sa);
    sa.sin_family = AF_INET;
    sa.sin_port = htons(static_cast<uint16_t>(port & 0xffff));
    // UDP and broadcast connect nothing; a text that is no address the
    // plug-in has named above.
    if (inet_pton(AF_INET, host.c_str(), &sa.sin_addr) != 1) return;
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) return;
    int err = connect(fd, reinterpret_cast<const sockaddr*>(&sa), sizeof sa) == 0 ? 0 : errno;
    bool answered = true;
    if (err == EINPROGRESS) {
        const int r = PollFor(fd, POLLOUT, kProbeMs);
        socklen_t len = sizeof err;
        answered = r > 0;
        if (answered && getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len) != 0) err = errno;
    }
    close(fd);
    const char* peer = note.c_str() + space + 1;
    if (!answered)
        Error("%s: no answer within 2 s (a host that is off or not there, or a firewall that drops the "
              "connection)",
              peer);
    else if (err == 0)
        Error("%s: kxhost's own connection just now succeeded (and was closed): the peer may take one "
              "connection at a time, or was busy",
              peer);
    else if (err == ECONNREFUSED)
        Error("%s: connection refused: the host is there, but nothing listens on port %d", peer, port);
    else if (err == EHOSTUNREACH)
        Error("%s: host unreachable: nothing answers for that address on its network", peer);
    else if (err == ENETUNREACH)
        Error("%s: network unreachable: this machine has no route to that address", peer);
    else Error("%s: %s", peer, strerror(err));
}

}  // namespace

void ResolveChannelArgs(ChannelArgs* c) {
    if (!c->hasDef) return;
    const bool serial = !c->haveType || ((c->type & kKindMask) != kKindNet && (c->type & kKindMask) != kKindUsb &&
                                         (c->type & kKindMask) != kKindGpio);
    if (serial && c->def.compare(0, 5, "/dev/") == 0 && c->def.size() > 5) {
        const std::string given = c->def;
        c->def.erase(0, 5);
        Error("%s: the plug-in puts /dev/ before the port itself; using %s", given.c_str(), c->def.c_str());
    }
    int port = 0;
    if (!c->haveType && IsNetworkDef(c->def, &port)) c->type = kKindNet + port;
}

// The frame gap as the DEF asks it: no driver holds it.
std::string GapAsked(const std::string& def) {
    std::string gap = "0";
    size_t start = 0;
    while (start <= def.size()) {
        size_t end = def.find_first_of(",:", start);
        if (end == std::string::npos) end = def.size();
        if (end - start > 4 && strncasecmp(def.c_str() + start, "gap=", 4) == 0)
            gap = def.substr(start + 4, end - start - 4);
        start = end + 1;
    }
    return gap;
}

// The line-control settings in force, as the driver reports them (a plug-in
// older than the settings ignores them: this line then shows what it left).
// n/a where the driver has no such feature.
void PrintLineSettings(int fd, const std::string& def) {
    struct termios t;
    if (fd < 0 || tcgetattr(fd, &t) != 0) return;
    std::string line = "settings:";
    line += (t.c_cflag & CRTSCTS) ? " flow=rtscts"
            : ((t.c_iflag & IXON) && (t.c_iflag & IXOFF)) ? " flow=xonxoff" : " flow=none";
    struct serial_rs485 rs;
    memset(&rs, 0, sizeof rs);
    if (ioctl(fd, TIOCGRS485, &rs) != 0) {
        line += " rs485=n/a";
    } else if ((rs.flags & SER_RS485_ENABLED) == 0) {
        line += " rs485=off";
    } else {
        line += (rs.flags & SER_RS485_RTS_ON_SEND) ? " rs485=on" : " rs485=inverted";
        line += " rtsbefore=" + std::to_string(rs.delay_rts_before_send) +
                " rtsafter=" + std::to_string(rs.delay_rts_after_send);
    }
    int lines = 0;
    if (ioctl(fd, TIOCMGET, &lines) != 0) {
        line += " dtr=n/a rts=n/a";
    } else {
        line += (lines & TIOCM_DTR) ? " dtr=1" : " dtr=0";
        line += (lines & TIOCM_RTS) ? " rts=1" : " rts=0";
    }
    line += (t.c_cflag & HUPCL) ? " hupcl=1" : " hupcl=0";
    struct serial_struct ss;
    memset(&ss, 0, sizeof ss);
    if (ioctl(fd, TIOCGSERIAL, &ss) != 0) line += " lowlat=n/a";
    else line += (ss.flags & ASYNC_LOW_LATENCY) ? " lowlat=1" : " lowlat=0";
    line += " gap=" + GapAsked(def);
    printf("%s\n", line.c_str());
}

int OpenChannel(ISerBase* ser, const ChannelArgs& c) {
    const bool serial = (ser->GetType() & kKindMask) == kKindSerial;
    const std::string note = ser->GetNote();
    const std::string notePort = note.substr(0, note.find(':'));
    const Port port = serial && c.hasDef ? PortOf(c.def, notePort) : Port::NoSplit;
    if (port == Port::Cut) {
        const std::string name = c.def.substr(0, c.def.find(':') - 1);
        Error("the port name %s has %zu characters; a definition string keeps 15. Give the device a short "
              "name with a udev rule (SYMLINK+=\"plc1\", see kxhost(1) under list) and open plc1:9600,...",
              name.c_str(), name.size());
        return kExitUsage;
    }
    if (serial && c.hasDef && port == Port::NoSplit)
        Error("%s has no ':' right after the port's index digit (as in ttyUSB0:9600,N,8,1), so the plug-in "
              "ignores its first field and takes the port %s",
              c.def.c_str(), notePort.c_str());
    if (!ser->Open(nullptr)) {
        Error("cannot open the channel %s (type 0x%x)", ser->GetNote(), static_cast<unsigned>(ser->GetType()));
        if (serial) ExplainSerialOpenFailure(ser->GetNote(), ser->GetType());
        else if ((ser->GetType() & kKindMask) == kKindNet) ExplainConnectFailure(ser->GetNote());
        return kExitFailed;
    }
    if (port == Port::Split) WarnLineFields(c.def, ser->GetNote(), ser->GetHandle());
    if (serial) PrintLineSettings(ser->GetHandle(), c.hasDef ? c.def : std::string());
    return kExitOk;
}

}  // namespace kxhost
