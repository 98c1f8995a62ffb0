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
#include <sys/sysmacros.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "common.h"
#include "plugin.h"

namespace kxhost {

namespace {

const int kDefaultNetPort = 20600;  // the plug-in's port for none or 0
const int kProbeMs = 2000;

// What a DEF says of a network peer. A dotted IPv4 address, optionally
// after u (UDP) or b (broadcast), or a lone b; then :PORT (none for an
// address alone). Serial names never read so: uart1:9600 has no dotted
// address. A DEF that reads as a peer the plug-in cannot reach (a host name,
// IPv6, an empty or out-of-range port) is refused: the plug-in would take it
// for a serial port (localhost:15020 as COM15020, 127.0.0.1: as
// /dev/127.0.0.1).
enum class Peer { None, Valid, Refused };

bool IsHostNameChar(char c) {
    return isalnum(static_cast<unsigned char>(c)) != 0 || c == '.' || c == '-' || c == '_';
}

// *port: 20600 for none or 0, as the plug-in takes it; *why the reason for
// a refusal.
Peer ReadPeer(const std::string& def, int* port, std::string* why) {
    std::string rest = def;
    const bool udp = !rest.empty() && (rest[0] == 'u' || rest[0] == 'U');
    const bool broadcast = !rest.empty() && (rest[0] == 'b' || rest[0] == 'B');
    if (udp || broadcast) rest.erase(0, 1);
    const bool ipv6 = (!rest.empty() && rest[0] == '[') ||
                      (rest.find("::") != std::string::npos &&
                       rest.find_first_not_of("0123456789abcdefABCDEF:.[]%") == std::string::npos);
    const size_t colon = rest.find(':');
    const std::string host = rest.substr(0, colon);
    struct in_addr a;
    const bool dotted = inet_pton(AF_INET, host.c_str(), &a) == 1;
    const bool named = !host.empty() && (strcasecmp(host.c_str(), "localhost") == 0 ||
                                         (host.find('.') != std::string::npos &&
                                          std::all_of(host.begin(), host.end(), IsHostNameChar)));
    const bool lone = host.empty() && broadcast && colon != std::string::npos;
    if (!ipv6 && !dotted && !named && !lone) return Peer::None;
    if (ipv6) {
        *why = "IPv6 is not supported";
        return Peer::Refused;
    }
    if (!dotted && !lone) {
        *why = strcasecmp(host.c_str(), "localhost") == 0 ? std::string("for this machine write ") +
                                                                (udp ? "u" : "") + "127.0.0.1"
               : host.find_first_not_of("0123456789.") == std::string::npos
                   ? "'" + host + "' is no dotted IPv4 address"
                   : "'" + host + "' is a host name, which it does not look up (getent hosts " + host +
                         " tells its address)";
        return Peer::Refused;
    }
    *port = 0;
    if (colon != std::string::npos) {
        const std::string digits = rest.substr(colon + 1);
        if (digits.empty()) *why = "the port after ':' is missing (an address without ':' gets 20600)";
        else if (digits.find_first_not_of("0123456789") != std::string::npos) *why = "'" + digits + "' is no port";
        else if (digits.size() > 5 || atoi(digits.c_str()) > 0xffff) *why = "port " + digits + " is out of range";
        if (!why->empty()) return Peer::Refused;
        *port = atoi(digits.c_str());
    }
    if (*port == 0) *port = kDefaultNetPort;
    return Peer::Valid;
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

// The line-control settings a serial DEF may name after its stop bits, as
// the plug-in reads them. kxhost links nothing of the library, so it keeps
// the grammar here, in one place, to say what is wrong with a text the
// plug-in refused and what would be right.
struct Setting {
    const char* name;
    const char* const* words;  // the values by name, null-ended; or null for a number
    int high;                  // a number's range is 0..high
    const char* numberWords;   // what a number means, for the message
};
const char* const kFlowWords[] = {"none", "rtscts", "xonxoff", nullptr};
const char* const kRs485Words[] = {"off", "on", "inverted", nullptr};
const Setting kSettings[] = {
    {"flow", kFlowWords, 0, nullptr},
    {"rs485", kRs485Words, 0, nullptr},
    {"rtsbefore", nullptr, 100, "a whole number of milliseconds from 0 to 100"},
    {"rtsafter", nullptr, 100, "a whole number of milliseconds from 0 to 100"},
    {"dtr", nullptr, 1, "0 or 1"},
    {"rts", nullptr, 1, "0 or 1"},
    {"hupcl", nullptr, 1, "0 or 1"},
    {"lowlat", nullptr, 1, "0 or 1"},
    {"gap", nullptr, 10000, "a whole number of milliseconds from 0 to 10000"},
};
const size_t kSettingTokenMax = 15;  // longer tokens are refused whole
const size_t kSettingErrorMax = 39;  // the library's text is cut to this

const Setting* FindSetting(const std::string& name) {
    for (const Setting& s : kSettings)
        if (strcasecmp(s.name, name.c_str()) == 0) return &s;
    return nullptr;
}

char Lower(char c) { return static_cast<char>(tolower(static_cast<unsigned char>(c))); }

// Edits between a and b, in either case; a swap of two neighbours counts
// as one (rs458 is one from rs485).
size_t Distance(const std::string& a, const std::string& b) {
    std::vector<std::vector<size_t>> d(a.size() + 1, std::vector<size_t>(b.size() + 1));
    for (size_t i = 0; i <= a.size(); ++i) d[i][0] = i;
    for (size_t j = 0; j <= b.size(); ++j) d[0][j] = j;
    for (size_t i = 1; i <= a.size(); ++i) {
        for (size_t j = 1; j <= b.size(); ++j) {
            const bool same = Lower(a[i - 1]) == Lower(b[j - 1]);
            d[i][j] = std::min({d[i - 1][j] + 1, d[i][j - 1] + 1, d[i - 1][j - 1] + (same ? 0 : 1)});
            if (i > 1 && j > 1 && Lower(a[i - 1]) == Lower(b[j - 2]) && Lower(a[i - 2]) == Lower(b[j - 1]))
                d[i][j] = std::min(d[i][j], d[i - 2][j - 2] + 1);
        }
    }
    return d[a.size()][b.size()];
}

// " (did you mean X?)" for the nearest of `names` within two edits, else "".
std::string Nearest(const std::string& text, const std::vector<std::string>& names) {
    std::string best;
    size_t bestDistance = 3;
    for (const std::string& n : names) {
        // A word cut short (flow=rts) is one edit from what was meant.
        const bool cut = text.size() >= 2 && strncasecmp(n.c_str(), text.c_str(), text.size()) == 0;
        const size_t d = cut ? 1 : Distance(text, n);
        if (d < bestDistance && d < n.size()) {
            best = n;
            bestDistance = d;
        }
    }
    return best.empty() ? "" : " (did you mean " + best + "?)";
}

// "a, b or c"
std::string OneOf(const std::vector<std::string>& names, const char* last) {
    std::string text;
    for (size_t i = 0; i < names.size(); ++i)
        text += (i == 0 ? "" : i + 1 == names.size() ? last : ", ") + names[i];
    return text;
}

std::vector<std::string> SettingNames() {
    std::vector<std::string> names;
    for (const Setting& s : kSettings) names.push_back(s.name);
    return names;
}

// A setting's value as the plug-in reads it: digits only, within 0..high,
// or one of its words; -1 when it is none.
int SettingValue(const Setting& s, const std::string& value) {
    if (s.words != nullptr) {
        for (int i = 0; s.words[i] != nullptr; ++i)
            if (strcasecmp(s.words[i], value.c_str()) == 0) return i;
        return -1;
    }
    if (value.empty()) return -1;
    long n = 0;
    for (char c : value) {
        if (c < '0' || c > '9') return -1;
        n = n * 10 + (c - '0');
        if (n > s.high) return -1;
    }
    return static_cast<int>(n);
}

// The tokens of a serial DEF and the field each is in, counted as the
// plug-in counts them: field 1 is the index digit after the port split,
// 2 to 5 speed, parity, data bits and stop bits, settings from 6 on. A
// token ends at ':' or ','; the text's last character belongs to the last
// token.
std::vector<std::pair<int, std::string>> DefTokens(const std::string& def) {
    std::vector<std::pair<int, std::string>> tokens;
    int field = 0;
    size_t start = 0;
    for (size_t p = 0; p < def.size(); ++p) {
        const char c = def[p];
        if (field == 0 && isdigit(static_cast<unsigned char>(c)) && p + 1 < def.size() && def[p + 1] == ':') {
            start = p;
            field = 1;
        }
        if (c != ':' && c != ',' && p != def.size() - 1) continue;
        const size_t end = p == def.size() - 1 ? p + 1 : p;
        tokens.emplace_back(field, def.substr(start, end - start));
        ++field;
        start = p + 1;
    }
    return tokens;
}

// The setting error the plug-in finds in `def` (its text in *text, as its
// line "serial setting error: ..." shows it) and what is wrong, in words;
// false when the text holds none.
bool FindSettingError(const std::string& def, std::string* text, std::string* why) {
    std::vector<int> named(sizeof kSettings / sizeof kSettings[0], -1);
    auto valueOf = [&named](const char* name) {
        return named[static_cast<size_t>(FindSetting(name) - kSettings)];
    };
    for (const auto& t : DefTokens(def)) {
        const std::string& token = t.second;
        const size_t eq = token.find('=');
        if (t.first < 1 || eq == std::string::npos) continue;
        *text = token.substr(0, kSettingErrorMax);
        if (t.first <= 5) {
            *why = "a setting belongs after the stop bits (as in ttyUSB0:9600,N,8,1," + token + ")";
            return true;
        }
        if (token.size() > kSettingTokenMax) {
            *why = "a setting keeps 15 characters at most";
            return true;
        }
        const std::string name = token.substr(0, eq), value = token.substr(eq + 1);
        const Setting* s = FindSetting(name);
        if (s == nullptr) {
            *why = name.empty() ? std::string("no name before '='")
                                : "'" + name + "' is no setting" + Nearest(name, SettingNames());
            *why += "; the settings are " + OneOf(SettingNames(), " and ");
            return true;
        }
        const int v = SettingValue(*s, value);
        if (v < 0) {
            std::vector<std::string> words;
            for (int i = 0; s->words != nullptr && s->words[i] != nullptr; ++i) words.push_back(s->words[i]);
            *why = std::string(s->name) + " takes " +
                   (s->words != nullptr ? OneOf(words, " or ") + Nearest(value, words) : s->numberWords);
            return true;
        }
        named[static_cast<size_t>(s - kSettings)] = v;
    }
    // Clashes, as the plug-in checks them once the whole text is read.
    const bool rts = valueOf("rts") >= 0, rtscts = valueOf("flow") == 1;
    const bool rs485 = valueOf("rs485") == 1 || valueOf("rs485") == 2;
    const bool delays = valueOf("rtsbefore") >= 0 || valueOf("rtsafter") >= 0;
    const struct {
        bool found;
        const char* text;
        const char* why;
    } clashes[] = {
        {rts && rtscts, "rts= with flow=rtscts", "with flow=rtscts the driver drives RTS itself; name one of the two"},
        {rts && rs485, "rts= with rs485",
         "in RS-485 mode the driver switches RTS around each send; name one of the two"},
        {rtscts && rs485, "flow=rtscts with rs485",
         "RTS cannot both pace the flow and switch an RS-485 transceiver; name one of the two"},
        {delays && !rs485, "rtsbefore/rtsafter without rs485",
         "the RTS delays belong to RS-485 mode; add rs485=on or rs485=inverted, or leave them out"},
    };
    for (const auto& c : clashes) {
        if (!c.found) continue;
        *text = c.text;
        *why = std::string("a clash: ") + c.why;
        return true;
    }
    return false;
}

// A field after the stop bits that names a setting without '=' ("gap 5",
// or "gap" of "gap:5"): the plug-in ignores it, as every such field
// without '='. The field in *token, what was meant in *fix.
bool FindSettingWithoutEquals(const std::string& def, std::string* token, std::string* fix) {
    const std::vector<std::pair<int, std::string>> tokens = DefTokens(def);
    for (size_t i = 0; i < tokens.size(); ++i) {
        const std::string& t = tokens[i].second;
        if (tokens[i].first < 6 || t.find('=') != std::string::npos) continue;
        const size_t first = t.find_first_not_of(" \t");
        if (first == std::string::npos) continue;
        const size_t blank = t.find_first_of(" \t", first);
        const Setting* s = FindSetting(t.substr(first, blank == std::string::npos ? blank : blank - first));
        if (s == nullptr) continue;
        const size_t at = blank == std::string::npos ? blank : t.find_first_not_of(" \t", blank);
        std::string value = at == std::string::npos ? "" : t.substr(at, t.find_last_not_of(" \t") + 1 - at);
        // "gap:5": the value is the next field.
        if (value.empty() && i + 1 < tokens.size() && tokens[i + 1].second.find('=') == std::string::npos)
            value = tokens[i + 1].second;
        *token = t;
        *fix = std::string(s->name) + "=" + (value.empty() ? "VALUE" : value);
        return true;
    }
    return false;
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

std::string Comm(int pid) {
    char comm[64] = "";
    if (FILE* c = fopen(("/proc/" + std::to_string(pid) + "/comm").c_str(), "re")) {
        if (fgets(comm, sizeof comm, c) != nullptr) comm[strcspn(comm, "\n")] = '\0';
        fclose(c);
    }
    return "pid " + std::to_string(pid) + (comm[0] != '\0' ? std::string(" ") + comm : "");
}

// The other processes that have `path` open, as far as /proc lets this
// user see them.
std::vector<int> Openers(const std::string& path) {
    std::vector<int> found;
    char real[PATH_MAX];
    if (realpath(path.c_str(), real) == nullptr) return found;
    DIR* proc = opendir("/proc");
    if (proc == nullptr) return found;
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
        if (has) found.push_back(pid);
    }
    closedir(proc);
    std::sort(found.begin(), found.end());
    return found;
}

// The processes holding a flock on the device (what refuses the plug-in's
// own), from /proc/locks: "1: FLOCK  ADVISORY  WRITE 812 00:05:88 0 EOF",
// the device as the file system's major:minor (hex) and the inode.
std::vector<int> LockHolders(const std::string& path) {
    std::vector<int> pids;
    struct stat st;
    FILE* f = stat(path.c_str(), &st) == 0 ? fopen("/proc/locks", "re") : nullptr;
    if (f == nullptr) return pids;
    char id[64];
    snprintf(id, sizeof id, "%02x:%02x:%llu", major(st.st_dev), minor(st.st_dev),
             static_cast<unsigned long long>(st.st_ino));
    char line[256];
    while (fgets(line, sizeof line, f) != nullptr) {
        char kind[16], mode[16], access[16], file[64];
        int pid = 0;
        // A waiter's line has "->" before its kind and is no holder.
        if (sscanf(line, "%*s %15s %15s %15s %d %63s", kind, mode, access, &pid, file) == 5 &&
            strcmp(kind, "FLOCK") == 0 && strcmp(file, id) == 0 && pid != getpid())
            pids.push_back(pid);
    }
    fclose(f);
    return pids;
}

// " (pid 812 picocom holds its lock; also open in: pid 700 socat)": who
// holds the device, apart from who merely has it open; "" when nobody is
// seen.
std::string Holders(const std::string& path) {
    const std::vector<int> lockers = LockHolders(path);
    std::string held, also;
    for (int pid : lockers)
        held += (held.empty() ? "" : ", ") + (pid > 0 ? Comm(pid) : "a process of another pid namespace");
    for (int pid : Openers(path))
        if (std::find(lockers.begin(), lockers.end(), pid) == lockers.end())
            also += (also.empty() ? "" : ", ") + Comm(pid);
    if (!held.empty())
        return " (" + held + (lockers.size() > 1 ? " hold" : " holds") + " its lock" +
               (also.empty() ? "" : "; also open in: " + also) + ")";
    // No lock: the port is in exclusive mode (TIOCEXCL), set by one of them.
    return also.empty() ? "" : " (exclusive mode, TIOCEXCL, set by one of: " + also + ")";
}

const char kListHint[] = "`kxhost list` shows the serial ports this machine has";

void SayPermissionDenied(const std::string& path, const struct stat& st) {
    const struct group* g = getgrgid(st.st_gid);
    const std::string group = g != nullptr ? g->gr_name : std::to_string(st.st_gid);
    const unsigned mode = st.st_mode & 0777;
    if ((mode & 060) == 060)
        Error("%s: permission denied: it belongs to group %s (mode %03o); add the user to that group "
              "(usermod -aG %s USER) and log in again",
              path.c_str(), group.c_str(), mode, group.c_str());
    else Error("%s: permission denied: only its owner may open it (mode %03o)", path.c_str(), mode);
}

void SayBusy(const std::string& path) {
    Error("%s: busy: held by another program%s", path.c_str(), Holders(path).c_str());
}

void SayNoPort(const std::string& path, int err) {
    Error("%s: no port behind the device (%s); %s", path.c_str(), strerror(err), kListHint);
}

// The advice for the library's reason `code` of a serial Open: what to do
// about it, beyond the reason's own words. Reads the device's attributes
// and /proc only.
void AdviseOnSerialReason(const std::string& path, int code) {
    struct stat st;
    if (code == ENOENT) Error("%s: no such device; %s", path.c_str(), kListHint);
    else if ((code == EACCES || code == EPERM) && stat(path.c_str(), &st) == 0) SayPermissionDenied(path, st);
    else if (code == EBUSY) SayBusy(path);
    else if (code == ENXIO || code == ENODEV || code == EIO) SayNoPort(path, code);
    else if (code == ENOTTY) Error("%s is not a terminal, so not a serial port", path.c_str());
}

// After a serial channel did not open: a setting error of `def`, else why
// for its device, from `note` (the channel's note, its port first) and
// `type` (its type code). With the library's reason (`reason` not null),
// advice on it; without one (an older plug-in) the system's reason, found
// by looking, and one open and close of the device when it exists and may
// be opened.
void ExplainSerialOpenFailure(const std::string& def, const std::string& note, int type, const int* reason) {
    // The plug-in refuses a setting error before it touches the device.
    std::string text, why;
    if ((reason == nullptr || *reason == -1) && FindSettingError(def, &text, &why)) {
        Error("serial setting error: %s: %s; the device was not opened", text.c_str(), why.c_str());
        return;
    }
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
    if (reason != nullptr) {
        AdviseOnSerialReason(path, *reason);
        return;
    }
    struct stat st;
    if (stat(path.c_str(), &st) != 0) {
        if (errno == ENOENT) Error("%s: no such device; %s", path.c_str(), kListHint);
        else Error("%s: %s", path.c_str(), strerror(errno));
        return;
    }
    if (access(path.c_str(), R_OK | W_OK) != 0 && errno == EACCES) {
        SayPermissionDenied(path, st);
        return;
    }
    const int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        const int e = errno;
        if (e == EBUSY) SayBusy(path);
        else if (e == ENXIO || e == ENODEV || e == EIO) SayNoPort(path, e);
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
    if (held) SayBusy(path);
    else if (!tty) Error("%s is not a terminal, so not a serial port", path.c_str());
    else Error("%s opens, but its driver did not take the line settings %s or a setting after them (see the "
               "lines above: a speed it cannot make, a setting it lacks?)",
               path.c_str(), settings.c_str());
}

// What a connect to `peer` (port `port`) that failed with `err` means;
// `answered` false: no answer within the wait.
void SayConnectFailure(const char* peer, int port, int err, bool answered) {
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
    else if (err == ETIMEDOUT)
        Error("%s: no answer (a host that is off or not there, or a firewall that drops the connection)", peer);
    else if (err == EHOSTUNREACH)
        Error("%s: host unreachable: nothing answers for that address on its network", peer);
    else if (err == ENETUNREACH)
        Error("%s: network unreachable: this machine has no route to that address", peer);
    else Error("%s: %s", peer, strerror(err));
}

// After a TCP channel did not connect. With the library's reason
// (`reason` not null) what it means; an older plug-in logs the same line
// for every failure, so kxhost then asks the system once itself: one
// non-blocking connect to the peer of the note ("NET 502
// 192.168.1.10:502"), waited for at most 2 s and closed at once, so a peer
// that takes one connection at a time has it back.
void ExplainConnectFailure(const std::string& note, const int* reason) {
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
    const char* peer = note.c_str() + space + 1;
    if (reason != nullptr) {
        // Words the reason's own do not have; the rest it said itself.
        if (*reason == ECONNREFUSED || *reason == ETIMEDOUT || *reason == EHOSTUNREACH || *reason == ENETUNREACH)
            SayConnectFailure(peer, port, *reason, true);
        return;
    }
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
    SayConnectFailure(peer, port, err, answered);
}

}  // namespace

int ResolveChannelArgs(ChannelArgs* c) {
    if (!c->hasDef) return kExitOk;
    const int kind = c->type & kKindMask;
    const bool serial = !c->haveType || (kind != kKindNet && kind != kKindUsb && kind != kKindGpio);
    if (serial && c->def.compare(0, 5, "/dev/") == 0 && c->def.size() > 5) {
        const std::string given = c->def;
        c->def.erase(0, 5);
        Error("%s: the plug-in puts /dev/ before the port itself; using %s", given.c_str(), c->def.c_str());
    }
    if (c->haveType && kind != kKindNet) return kExitOk;
    int port = 0;
    std::string why;
    const Peer peer = ReadPeer(c->def, &port, &why);
    if (peer == Peer::Refused) {
        Error("%s reads as a network peer, but the plug-in takes dotted IPv4 addresses and ports 1–65535 "
              "(as in 192.168.1.10:502, u127.0.0.1:5000 or b:4000): %s",
              c->def.c_str(), why.c_str());
        return kExitUsage;
    }
    if (!c->haveType && peer == Peer::Valid) c->type = kKindNet + port;
    return kExitOk;
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

int OpenChannel(const Plugin& p, ISerBase* ser, const ChannelArgs& c) {
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
    std::string token, fix;
    if (serial && c.hasDef && FindSettingWithoutEquals(c.def, &token, &fix)) {
        Error("'%s' in %s has no '=': the plug-in ignores a field after the stop bits without one, so the "
              "line would run without it; write %s",
              token.c_str(), c.def.c_str(), fix.c_str());
        return kExitUsage;
    }
    if (!ser->Open(nullptr)) {
        Error("cannot open the channel %s (type 0x%x)", ser->GetNote(), static_cast<unsigned>(ser->GetType()));
        int code = 0;
        std::string text;
        const bool known = p.Reason(ser, &code, &text);
        if (known) SayReason(code, text);
        const int* reason = known ? &code : nullptr;
        if (serial) ExplainSerialOpenFailure(c.def, ser->GetNote(), ser->GetType(), reason);
        else if ((ser->GetType() & kKindMask) == kKindNet) ExplainConnectFailure(ser->GetNote(), reason);
        return kExitFailed;
    }
    if (port == Port::Split) WarnLineFields(c.def, ser->GetNote(), ser->GetHandle());
    if (serial) PrintLineSettings(ser->GetHandle(), c.hasDef ? c.def : std::string());
    return kExitOk;
}

}  // namespace kxhost
