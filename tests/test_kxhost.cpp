// The host program kxhost, run as its own process against the built plug-in.
#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <regex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "kxnet.h"
#include "kxtest.h"

namespace {

struct Result {
    int code = -1;
    std::string out;
    std::string err;
};

std::vector<std::string> Split(const std::string& text, char sep) {
    std::vector<std::string> parts;
    size_t start = 0;
    while (start <= text.size()) {
        size_t end = text.find(sep, start);
        if (end == std::string::npos) end = text.size();
        if (end > start) parts.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return parts;
}

// Runs kxhost (through the emulator, if any) in this process: for a child.
[[noreturn]] void ExecHost(const std::vector<std::string>& args) {
    std::vector<std::string> argv = Split(KXHOST_EMULATOR, '|');
    argv.push_back(KXHOST_PATH);
    argv.insert(argv.end(), args.begin(), args.end());
    std::vector<char*> cargv;
    for (std::string& a : argv) cargv.push_back(&a[0]);
    cargv.push_back(nullptr);
    execvp(cargv[0], cargv.data());
    _exit(127);
}

int ExitCode(int status) { return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status); }

// Runs kxhost with `args` and collects its output; gives up after `limitMs`.
// `nobody`: as user nobody, when the test runs as root.
Result RunHost(const std::vector<std::string>& args, int limitMs = 120000, bool nobody = false) {

    int outPipe[2], errPipe[2];
    if (pipe2(outPipe, O_CLOEXEC) != 0 || pipe2(errPipe, O_CLOEXEC) != 0) return Result();
    fflush(stdout);
    pid_t pid = fork();
    if (pid == 0) {
        dup2(outPipe[1], STDOUT_FILENO);
        dup2(errPipe[1], STDERR_FILENO);
        if (nobody && geteuid() == 0 && (setgroups(0, nullptr) != 0 || setgid(65534) != 0 || setuid(65534) != 0))
            _exit(127);
        ExecHost(args);
    }
    close(outPipe[1]);
    close(errPipe[1]);
    Result r;
    struct pollfd fds[2] = {{outPipe[0], POLLIN, 0}, {errPipe[0], POLLIN, 0}};
    std::string* sinks[2] = {&r.out, &r.err};
    int open = 2;
    const double end = kxtest::NowMs() + limitMs;
    while (open > 0) {
        int left = static_cast<int>(end - kxtest::NowMs());
        if (left <= 0) {
            kill(pid, SIGKILL);
            break;
        }
        if (poll(fds, 2, left) < 0 && errno != EINTR) break;
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || fds[i].revents == 0) continue;
            char buf[4096];
            ssize_t n = read(fds[i].fd, buf, sizeof buf);
            if (n > 0) {
                sinks[i]->append(buf, static_cast<size_t>(n));
            } else if (n == 0 || errno != EINTR) {
                close(fds[i].fd);
                fds[i].fd = -1;
                --open;
            }
        }
    }
    for (auto& f : fds)
        if (f.fd >= 0) close(f.fd);
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    r.code = ExitCode(status);
    return r;
}

bool Has(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

TEST(Kxhost, UsageErrors) {
    struct Case {
        std::vector<std::string> args;
        const char* message;
    };
    const std::string lib = KXSER_LIB_PATH;
    const Case cases[] = {
        {{}, "Usage: kxhost"},
        {{"frobnicate"}, "unknown command 'frobnicate'"},
        {{"info", "--verbose"}, "unexpected argument '--verbose'"},
        {{"open"}, "missing the definition string"},
        {{"open", "ttyS1:9600", "--bogus"}, "unknown option '--bogus'"},
        {{"open", "ttyS1:9600", "--send", "123"}, "--send: '123' is not a byte in hex"},
        {{"open", "ttyS1:9600", "--send", "01 0g"}, "--send: '0g' is not a byte in hex"},
        {{"open", "ttyS1:9600", "--send", "01 0x 02"}, "--send: '0x' is not a byte in hex"},
        {{"open", "ttyS1:9600", "--send", "0x0102 0xabc"}, "--send: '0xabc' is not a byte in hex"},
        {{"open", "ttyS1:9600", "--send", "01,02"}, "--send: '01,02' is not a byte in hex"},
        {{"open", "ttyS1:9600", "--send", " "}, "--send ' ' holds no byte"},
        {{"open", "/dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A50285BI-if00-port0:9600", "--lib", lib},
         "has 56 characters; a definition string keeps 15. Give the device a short name with a udev rule (SYMLINK"},
        {{"open", "ttyS1:9600", "--type", "serial"}, "--type 'serial' is not a type code"},
        {{"open", "ttyS1:9600", "--type", "0x"}, "--type '0x' is not a type code"},
        {{"open", "ttyS1:9600", "--send", "01", "--text", "a"}, "together with --send"},
        {{"open", "ttyS1:9600", "--read", "0"}, "--read '0'"},
        {{"open", "ttyS1:9600", "--read"}, "--read needs a value"},
        {{"open", "a", "b"}, "unexpected argument 'b'"},
        {{"info", "--lib", "/nonexistent/kxSer.so"}, "cannot load the plug-in"},
        {{"info", "--lib", KXHOST_NOSYM_PATH}, "has no entry point DllType"},
        {{"open", "ttyS1:9600", "--lib", "/nonexistent/kxSer.so"}, "cannot load the plug-in"},
        {{"list", "ttyS1"}, "unexpected argument 'ttyS1'"},
        {{"list", "--sysfs"}, "--sysfs needs a value"},
        {{"term", "--hex"}, "missing the definition string"},
        // Network DEFs the plug-in cannot reach, not taken for serial ports.
        {{"open", "localhost:15020"}, "the plug-in takes dotted IPv4 addresses and ports 1–65535"},
        {{"open", "[::1]:15020"}, "ports 1–65535 (as in 192.168.1.10:502, u127.0.0.1:5000 or b:4000): IPv6"},
        {{"open", "127.0.0.1:"}, "127.0.0.1: reads as a network peer"},
        {{"term", "127.0.0.1:99999"}, "port 99999 is out of range"},
        {{"open", "127.0.0.1:99999", "--type", "0x200001"}, "port 99999 is out of range"},
        {{"open", "ttyS1:9600,N,8,1,gap 5"}, "'gap 5' in ttyS1:9600,N,8,1,gap 5 has no '='"},
        {{"open", "ttyS1:9600,N,8,1,gap:5"}, "; write gap=5"},
        {{"term", "ttyS1:9600", "--log", "/nonexistent/dir/log"}, "cannot write the log to /nonexistent/dir/log"},
    };
    for (const Case& c : cases) {
        Result r = RunHost(c.args);
        std::string shown;
        for (const std::string& a : c.args) shown += a + " ";
        EXPECT_EQ(r.code, 2) << shown << "\n" << r.err;
        EXPECT_TRUE(Has(r.err, c.message)) << shown << "\nstderr: " << r.err;
    }
}

TEST(Kxhost, HelpForEachCommand) {
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{"--help"}, {"info", "--help"}, {"open", "--help"},
          {"demo", "--help"}, {"list", "--help"}, {"term", "--help"}}) {
        Result r = RunHost(args);
        EXPECT_EQ(r.code, 0) << args[0];
        EXPECT_TRUE(Has(r.out, "Usage: kxhost")) << r.out;
        EXPECT_EQ(r.err, "");
    }
}

TEST(Kxhost, Info) {
    const char* expected =
        "type:    0\nnote:    kxSer.so for ISerBase, support COM, DIO, Net and USB\nversion: 1\n"
        "exports: KxSetLog KxLastError KxSendBreak KxDrain KxGetLines KxSetLines KxGetCounters KxGetQueued\n";
    Result given = RunHost({"info", "--lib", KXSER_LIB_PATH});
    EXPECT_EQ(given.code, 0) << given.err;
    EXPECT_TRUE(Has(given.out, expected)) << given.out;
    // Without --lib the plug-in is found next to the build's tools/ directory.
    Result found = RunHost({"info"});
    EXPECT_EQ(found.code, 0) << found.err;
    EXPECT_TRUE(Has(found.out, expected)) << found.out;
}

TEST(Kxhost, OpenSerialOverPty) {
    kxtest::UniqueFd holder;
    kxtest::Pty pty = kxtest::OpenPty(&holder);
    std::string seen;
    std::thread meter([&] {
        char buf[4];
        if (kxtest::ReadFully(pty.master.get(), buf, 4, 60000) == 4) {
            seen.assign(buf, 4);
            kxtest::WriteAll(pty.master.get(), "XYZ", 3);
        }
    });
    const std::string def = "pts/" + std::to_string(pty.slaveNumber) + ":9600,N,8,1";
    Result r = RunHost({"open", def, "--send", "0x41 4243 a", "--read", "3", "--timeout", "10000",
                    "--lib", KXSER_LIB_PATH});
    meter.join();
    EXPECT_EQ(r.code, 0) << r.err;
    // pts/0 has the type code of a ttyS0 this machine may have.
    EXPECT_EQ(std::regex_replace(r.err, std::regex(".* have one type code, .*\n"), ""), "")
        << "a DEF the line carries as written";
    EXPECT_EQ(seen, "ABC\n");
    EXPECT_TRUE(Has(r.out, "SEND: 41 42 43 0A \r\n")) << r.out;
    EXPECT_TRUE(Has(r.out, "RECV: 58 59 5A \r\n")) << r.out;
    EXPECT_TRUE(Has(r.out, "received 3 bytes: 58 59 5A  |XYZ|")) << r.out;
    EXPECT_TRUE(Has(r.out, "SerManager free: ")) << "the manager is freed";
    EXPECT_FALSE(Has(r.out + r.err, "line counters") || Has(r.err, "line errors")) << "no counter moved";
}

TEST(Kxhost, OpenTcpPeer) {
    int port = 0;
    kxtest::UniqueFd listener = kxnet::Listen(4, &port);
    std::string seen;
    std::thread controller([&] {
        kxtest::UniqueFd c = kxnet::Accept(listener.get(), 60000);
        char buf[4];
        if (c && kxtest::ReadFully(c.get(), buf, 4, 60000) == 4) {
            seen.assign(buf, 4);
            kxtest::WriteAll(c.get(), "pong", 4);
            kxtest::WaitReadable(c.get(), 60000);  // until the host closes
        }
    });
    Result r = RunHost({"open", kxnet::Def("127.0.0.1", port), "--type", "0x200001", "--text", "ping",
                    "--read", "16", "--timeout", "30000", "--lib", KXSER_LIB_PATH});
    controller.join();
    EXPECT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(seen, "ping");
    EXPECT_TRUE(Has(r.out, "channel: type 0x200001")) << r.out;
    EXPECT_TRUE(Has(r.out, "received 4 bytes: 70 6F 6E 67  |pong|")) << r.out;
}

TEST(Kxhost, OpenUdpPeerRepeated) {
    int port = 0;
    kxtest::UniqueFd peer = kxnet::UdpBind(&port);
    int answered = 0;
    std::thread responder([&] {
        for (int i = 0; i < 2; ++i) {
            if (!kxtest::WaitReadable(peer.get(), 60000)) return;
            char buf[64];
            sockaddr_in from;
            socklen_t len = sizeof from;
            ssize_t n = recvfrom(peer.get(), buf, sizeof buf, 0, reinterpret_cast<sockaddr*>(&from), &len);
            if (n != 2) return;
            sendto(peer.get(), "ok", 2, 0, reinterpret_cast<sockaddr*>(&from), len);
            ++answered;
        }
    });
    Result r = RunHost({"open", "u" + kxnet::Def("127.0.0.1", port), "--type", "2097154", "--send",
                    "0102", "--read", "8", "--timeout", "30000", "--repeat", "2", "--interval", "0",
                    "--lib", KXSER_LIB_PATH});
    responder.join();
    EXPECT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(answered, 2);
    size_t first = r.out.find("received 2 bytes: 6F 6B  |ok|");
    ASSERT_NE(first, std::string::npos) << r.out;
    EXPECT_NE(r.out.find("received 2 bytes", first + 1), std::string::npos) << "two rounds";
}

TEST(Kxhost, ChannelAndTransferFailuresExit1) {
    // A serial port that does not open: the library's line, then the
    // system's reason for the device.
    kxtest::UniqueFd heldSlave;
    kxtest::Pty held = kxtest::OpenPty(&heldSlave);
    ASSERT_EQ(flock(heldSlave.get(), LOCK_EX | LOCK_NB), 0);
    kxtest::UniqueFd closedSlave;
    kxtest::Pty closed = kxtest::OpenPty(&closedSlave);
    // Root is refused nothing: it runs kxhost as nobody, which is not in the
    // device's group; anybody else takes its own rights away.
    ASSERT_EQ(chmod(closed.slavePath.c_str(), geteuid() == 0 ? 0660 : 0060), 0);
    struct stat st;
    ASSERT_EQ(stat(closed.slavePath.c_str(), &st), 0);
    const struct group* g = getgrgid(st.st_gid);
    const std::string group = g != nullptr ? g->gr_name : std::to_string(st.st_gid);
    kxtest::UniqueFd silentSlave;
    kxtest::Pty silent = kxtest::OpenPty(&silentSlave);
    const std::string silentPort = "pts/" + std::to_string(silent.slaveNumber);
    int deadUdp = 0;
    kxnet::UdpBind(&deadUdp);  // closed again at once
    int quietPort = 0;
    kxtest::UniqueFd quiet = kxnet::Listen(1, &quietPort);  // connects, never answers
    // A program that only has the held port open, as the one that made a pty.
    fflush(stdout);
    const pid_t opener = fork();
    if (opener == 0) {
        closefrom(3);
        if (open(held.slavePath.c_str(), O_RDWR | O_NOCTTY) >= 0) execlp("sleep", "sleep", "120", nullptr);
        _exit(127);
    }
    ASSERT_GT(opener, 0);
    const double until = kxtest::NowMs() + 60000;
    for (std::string comm; comm != "sleep" && kxtest::NowMs() < until;
         std::ifstream("/proc/" + std::to_string(opener) + "/comm") >> comm)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    // `why`: lines of standard error, one per line; "!" before one that must
    // not be there.
    struct Why {
        std::vector<std::string> args;
        std::string line, why;
        bool nobody;
        double atLeastMs = 0;
    };
    const Why cases[] = {
        {{"ttyKXnone7:9600"}, "cannot open the channel ttyKXnone7:9600",
         "the library's reason: /dev/ttyKXnone7: No such file or directory; 2 is ENOENT\n"
         "/dev/ttyKXnone7: no such device; `kxhost list` shows", false},
        {{"/dev/ttyKXnone7:9600"}, "using ttyKXnone7:9600", "/dev/ttyKXnone7: no such device", false},
        {{"ttyKXnone7,9600"}, "has no ':' right after the port's index digit", "opens a port numbered above 9 as \\\\.\\COM9600", false},
        {{kxnet::Def("127.0.0.1", kxnet::DeadPort())}, "cannot open the channel NET ", ": connection refused", false},
        {{"-", "--type", "0x10000c"}, "cannot open the channel COM12:9600", "as \\\\.\\COM12 (a Windows device name", false},
        {{"pts/" + std::to_string(held.slaveNumber) + ":9600"}, "open error!",
         held.slavePath + ": busy: held by another program (pid " + std::to_string(getpid()) +
             " \nholds its lock; also open in: pid " + std::to_string(opener) + " sleep)",
         false},
        {{"pts/" + std::to_string(closed.slaveNumber) + ":9600"}, "open error!",
         closed.slavePath + ": permission denied: it belongs to group " + group, true},
        // Opens, but the line does not carry what was asked; and nothing comes.
        // The settings line shows what the driver holds; a pty has no modem lines.
        {{silentPort + ":fast,X,9,3,hupcl=1,Y,gap=7", "--read", "1", "--timeout", "0"},
         "settings: flow=none rs485=n/a dtr=n/a rts=n/a hupcl=1 lowlat=n/a gap=7\n",
         "speed 'fast' is not a number; the line keeps 9600\n"
         "parity 'X' is not N, O, E, M or S; the line runs without parity\ndata bits '9' are not 5 to 8; the line "
         "runs 8\nstop bits '3' were not taken (1, 1.5 or 2); the line runs 1\nfield 7 'Y' after the stop bits is "
         "ignored\n!field 6\n!field 8\nnothing received",
         false},
        // Setting errors, named with what is valid; the device is not opened.
        {{silentPort + ":9600,N,8,1,rs458=on"}, "serial setting error: rs458=on",
         "serial setting error: rs458=on: 'rs458' is no setting (did you mean rs485?); the settings are flow, "
         "rs485, rtsbefore, rtsafter, dtr, rts, hupcl, lowlat and gap\n!driver",
         false},
        {{silentPort + ":9600,N,8,1,gap=-3"}, "set_op error!",
         "serial setting error: gap=-3: gap takes a whole number of milliseconds from 0 to 10000", false},
        {{silentPort + ":9600,N,8,1,gap=5ms"}, "set_op error!", "serial setting error: gap=5ms: gap takes", false},
        {{silentPort + ":9600,N,8,1,flow=rtscts,rts=1"}, "set_op error!",
         "serial setting error: rts= with flow=rtscts: a clash", false},
        {{silentPort + ":9600,N,8,1,flow=rts"}, "set_op error!", "(did you mean rtscts?)", false},
        // A setting the driver refused: the library names it, no guess.
        {{silentPort + ":9600,N,8,1,dtr=0"}, "set_op error!",
         "the library's reason: serial setting refused: dtr=0; -2: \n!opens, but its driver", false},
        // Network: the error number in words; a wait that ends empty.
        {{"u" + kxnet::Def("127.0.0.1", deadUdp), "--send", "01", "--read", "1", "--timeout", "30000"},
         "CSerNet::Read recv err: 111",
         "the library's reason: recv: Connection refused; 111 is ECONNREFUSED: the peer refused\n"
         "receiving failed (Read returned -1)\n!the library's \"",
         false},
        {{kxnet::Def("127.0.0.1", quietPort), "--read", "4", "--timeout", "0"}, "select timeout",
         "nothing received within the time-out\n!receiving failed", false},
        // --timeout is milliseconds on a serial line too.
        {{silentPort + ":9600,N,8,1.5", "--read", "1", "--timeout", "1500"}, "open ok!",
         "stop bits '1.5' run as 1\nnothing received", false, 1400},
    };
    for (const Why& c : cases) {
        std::vector<std::string> args = {"open"};
        args.insert(args.end(), c.args.begin(), c.args.end());
        args.insert(args.end(), {"--lib", KXSER_LIB_PATH});
        const double start = kxtest::NowMs();
        Result r = RunHost(args, 120000, c.nobody);
        SCOPED_TRACE(args[1]);
        EXPECT_EQ(r.code, 1);
        EXPECT_GE(kxtest::NowMs() - start, c.atLeastMs);
        EXPECT_TRUE(Has(r.out + r.err, c.line)) << r.out << r.err;
        for (const std::string& why : Split(c.why, '\n'))
            EXPECT_EQ(Has(r.err, why.substr(why[0] == '!')), why[0] != '!') << why << " in:\n" << r.err;
    }
    kill(opener, SIGKILL);
    waitpid(opener, nullptr, 0);
    // The USB kind has no channel.
    Result usb = RunHost({"open", "-", "--type", "0x400001", "--lib", KXSER_LIB_PATH});
    EXPECT_EQ(usb.code, 1);
    EXPECT_TRUE(Has(usb.err, "no channel for type code 0x400001")) << usb.err;
}

TEST(Kxhost, DemoWorksWithoutHardware) {
    if (access("/dev/gpio", F_OK) == 0) GTEST_SKIP() << "a real /dev/gpio exists; the demo would sample it";
    Result r = RunHost({"demo", "--lib", KXSER_LIB_PATH});
    EXPECT_EQ(r.code, 0) << r.out << r.err;
    EXPECT_TRUE(Has(r.out, "SerManager new: ")) << "the library's log is shown";
    EXPECT_TRUE(Has(r.out, "Everything that could be tried here worked.")) << r.out;
    EXPECT_TRUE(Has(r.out, "skipped: no /dev/gpio here")) << r.out;
}

// A copy of the parts of /sys that `list` reads: a USB adapter whose tty
// hangs two levels below the USB device, a CDC ACM port of its type code
// (flagged on both lines), an 8250 port with a UART, one without (type 0),
// a PL011, and a virtual terminal without a driver; and of /dev/serial,
// with udev's names for the adapter and a port not listed.
TEST(Kxhost, ListReadsTheTtyClassOfSysfs) {
    kxtest::TempDir sys;
    namespace fs = std::filesystem;
    const std::string usb = "devices/pci0000:00/usb1/1-2";
    const std::string port = usb + "/1-2:1.0/ttyUSB3";
    const std::vector<std::pair<std::string, std::string>> files = {
        {usb + "/idVendor", "0403"}, {usb + "/idProduct", "6001"}, {usb + "/manufacturer", "FTDI"},
        {usb + "/product", "FT232R USB UART"}, {usb + "/serial", "A50285BI"},
        {"devices/platform/serial8250/tty/ttyS0/type", "0"}, {"devices/platform/serial8250/ctrl/port/tty/ttyS10/type", "4"},
        {"devices/virtual/tty/tty0/dev", "4:0"}};
    const std::vector<std::pair<std::string, std::string>> links = {
        {"class/tty/ttyUSB3", "../../" + port + "/tty/ttyUSB3"},
        {port + "/tty/ttyUSB3/device", "../../../ttyUSB3"},
        {port + "/driver", "../../../../../../bus/usb-serial/drivers/ftdi_sio"},
        {"class/tty/ttyS0", "../../devices/platform/serial8250/tty/ttyS0"},
        {"class/tty/ttyS10", "../../devices/platform/serial8250/ctrl/port/tty/ttyS10"},
        {"devices/platform/serial8250/tty/ttyS0/device", "../../../serial8250"},
        // Since Linux 6.5: a port and a controller of the serial-base bus between.
        {"devices/platform/serial8250/ctrl/port/tty/ttyS10/device", "../../../port"},
        {"devices/platform/serial8250/ctrl/port/driver", "../../../../../bus/serial-base/drivers/port"},
        {"devices/platform/serial8250/ctrl/driver", "../../../../bus/serial-base/drivers/ctrl"},
        {"devices/platform/serial8250/driver", "../../../bus/platform/drivers/serial8250"},
        {"class/tty/tty0", "../../devices/virtual/tty/tty0"},
        // A second adapter of ttyUSB3's type code.
        {"class/tty/ttyACM3", "../../devices/pci0000:00/usb1/1-3/1-3:1.0/tty/ttyACM3"},
        {"devices/pci0000:00/usb1/1-3/1-3:1.0/tty/ttyACM3/device", "../../../1-3:1.0"},
        {"devices/pci0000:00/usb1/1-3/1-3:1.0/driver", "../../../../../bus/usb/drivers/cdc_acm"},
        {"dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A50285BI-if00-port0", "../../ttyUSB3"},
        {"dev/serial/by-path/pci-0000:00:14.0-usb-0:2:1.0-port0", "../../ttyUSB3"},
        {"dev/serial/by-path/platform-fe201000.serial", "../../ttyAMA0"}};
    for (const auto& f : files) {
        fs::create_directories(fs::path(sys.path() + "/" + f.first).parent_path());
        std::ofstream(sys.path() + "/" + f.first) << f.second << "\n";
    }
    for (const auto& l : links) {
        fs::create_directories(fs::path(sys.path() + "/" + l.first).parent_path());
        fs::create_symlink(l.second, sys.path() + "/" + l.first);
    }
    Result r = RunHost({"list", "--sysfs", sys.path(), "--dev", sys.path() + "/dev", "--lib", KXSER_LIB_PATH});
    EXPECT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(r.err, "");
    const std::string dev = " " + sys.path() + "/dev/serial/";
    EXPECT_EQ(std::regex_replace(r.out, std::regex(" +"), " "),
              "ttyACM3 cdc_acm ttyACM3:9600,N,8,1 0x120003\n"
              " shares type code 0x120003 with ttyUSB3: one host gets one channel for them\n"
              "ttyS10 serial8250 ttyS10:9600,N,8,1 0x100000\n"
              "ttyUSB3 ftdi_sio ttyUSB3:9600,N,8,1 0x120003 0403:6001 \"FTDI\" \"FT232R USB UART\" \"A50285BI\"\n" +
                  dev + "by-id/usb-FTDI_FT232R_USB_UART_A50285BI-if00-port0\n" + dev +
                  "by-path/pci-0000:00:14.0-usb-0:2:1.0-port0\n"
                  " shares type code 0x120003 with ttyACM3: one host gets one channel for them\n")
        << "no log of the library, no port without a driver or a UART:\n" << r.out;
    fs::create_directories(sys.path() + "/empty/class/tty");
    Result empty = RunHost({"list", "--sysfs", sys.path() + "/empty", "--lib", KXSER_LIB_PATH});
    EXPECT_EQ(empty.code, 0);
    EXPECT_EQ(empty.out + empty.err, "kxhost: no serial ports found\n");
    Result none = RunHost({"list", "--sysfs", sys.path() + "/none", "--lib", KXSER_LIB_PATH});
    EXPECT_EQ(none.code, 1);
    EXPECT_TRUE(Has(none.err, "cannot read " + sys.path() + "/none/class/tty")) << none.err;
}

// Runs a shell command; its standard output (and error, with 2>&1) and the
// exit status.
Result Shell(const std::string& command) {
    Result r;
    FILE* f = popen(command.c_str(), "r");
    if (f == nullptr) return r;
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, f)) > 0) r.out.append(buf, n);
    int status = pclose(f);
    r.code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return r;
}

// `cmake --install` lays out the gzipped man page, groff renders it without a
// warning, and every option that some --help shows is documented there.
TEST(Kxhost, ManPageInstallsRendersAndNamesEveryOption) {
    // The install layout belongs to the machine that holds the build tree;
    // the board runs the executables without cmake or groff.
    if (access(KXHOST_CMAKE, X_OK) != 0)
        GTEST_SKIP() << KXHOST_CMAKE << " is not on this machine: the install is checked where the build was made";
    char dir[] = "/tmp/kxhost-man.XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    const std::string prefix = dir;
    Result install = Shell(std::string("'") + KXHOST_CMAKE + "' --install '" + KXSER_BINARY_DIR +
                           "' --prefix " + prefix + " 2>&1");
    EXPECT_EQ(install.code, 0) << install.out;
    const std::string page = prefix + "/share/man/man1/kxhost.1.gz";
    const bool installed = access(page.c_str(), R_OK) == 0;
    Result lint, text;
    if (installed) {
        lint = Shell("gzip -dc " + page + " >" + prefix + "/kxhost.1 && groff -man -ww -z " + prefix +
                     "/kxhost.1 2>&1");
        // One line per paragraph: no breaks or hyphens inside an option name.
        text = Shell("groff -man -Tascii -P-cbou -rLL=2000n " + prefix + "/kxhost.1 2>/dev/null");
    }
    std::filesystem::remove_all(prefix);
    ASSERT_TRUE(installed) << install.out;
    EXPECT_EQ(lint.code, 0) << lint.out;
    EXPECT_EQ(lint.out, "") << "groff warnings";
    EXPECT_EQ(text.code, 0);

    std::set<std::string> options;
    const std::regex option("--[a-z]+");
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{"--help"}, {"info", "--help"}, {"open", "--help"}, {"demo", "--help"},
          {"list", "--help"}, {"term", "--help"}}) {
        const std::string help = RunHost(args).out;
        for (std::sregex_iterator m(help.begin(), help.end(), option), end; m != end; ++m)
            options.insert(m->str());
    }
    EXPECT_GE(options.size(), 12u) << "the help texts name the options";
    for (const std::string& o : options)
        EXPECT_TRUE(std::regex_search(text.out, std::regex(o + "\\b"))) << o << " is not in kxhost(1)";
}

// Everything `fd` shows until `text` appears, or it ends or falls silent for
// `limitMs`.
std::string ReadUntil(int fd, const std::string& text, int limitMs = 60000) {
    std::string seen;
    char buf[256];
    while (!Has(seen, text) && kxtest::WaitReadable(fd, limitMs)) {
        ssize_t n = read(fd, buf, sizeof buf);
        if (n <= 0) break;  // EIO once the terminal's last user is gone
        seen.append(buf, static_cast<size_t>(n));
    }
    return seen;
}

// kxhost term as a person uses it: kxhost on a terminal of its own, the
// device on another pty. Keys reach the device, replies the screen (the
// library's log only the --log file), and every way out restores the terminal.
TEST(Kxhost, TermOverPty) {
    struct Ending {
        const char* how;
        int code;
    };
    for (const Ending& e : {Ending{"Ctrl-]", 0}, Ending{"line hangs up", 1}, Ending{"SIGTERM", 128 + SIGTERM}}) {
        SCOPED_TRACE(e.how);
        kxtest::UniqueFd holder;
        kxtest::Pty device = kxtest::OpenPty(&holder);
        kxtest::TempDir dir;
        const std::string log = dir.path() + "/log";
        kxtest::Pty scratch = kxtest::OpenPty();  // a fresh terminal's settings
        struct termios cooked;
        ASSERT_EQ(tcgetattr(scratch.master.get(), &cooked), 0);
        int screenFd = -1;
        fflush(stdout);
        const pid_t pid = forkpty(&screenFd, nullptr, &cooked, nullptr);
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            closefrom(3);  // the device's master too: the hang-up must be the test's
            ExecHost({"term", "pts/" + std::to_string(device.slaveNumber) + ":9600", "--log", log, "--lib",
                      KXSER_LIB_PATH});
        }
        kxtest::UniqueFd screen(screenFd);
        std::string shown = ReadUntil(screen.get(), "Ctrl-] leaves\r\n");
        struct termios during;
        ASSERT_EQ(tcgetattr(screen.get(), &during), 0);
        EXPECT_EQ(during.c_lflag & (ICANON | ECHO | ISIG), 0u) << "raw mode: " << shown;

        kxtest::WriteAll(screen.get(), "hi", 2);
        char got[2] = {};
        EXPECT_EQ(kxtest::ReadFully(device.master.get(), got, 2, 60000), 2);
        EXPECT_EQ(std::string(got, 2), "hi");
        kxtest::WriteAll(device.master.get(), "pong", 4);
        shown += ReadUntil(screen.get(), "pong");
        // Ctrl-T: a pty has no break and no modem lines or counters (the
        // library's reasons); twice sends Ctrl-T itself.
        EXPECT_TRUE(Has(shown, "kxhost term: lines n/a; counters n/a\r\n")) << shown;
        kxtest::WriteAll(screen.get(), "\x14" "b" "\x14" "d" "\x14\x14", 6);
        shown += ReadUntil(screen.get(), "DTR not changed: TIOCMGET: not supported");
        EXPECT_TRUE(Has(shown, "no break: a pseudo-terminal has no break\r\n")) << shown;
        EXPECT_EQ(kxtest::ReadFully(device.master.get(), got, 1, 60000), 1);
        EXPECT_EQ(got[0], '\x14');

        if (e.code == 0) kxtest::WriteAll(screen.get(), "\x1d", 1);
        if (e.code == 1) device.master.reset(), holder.reset();
        if (e.code > 1) kill(pid, SIGTERM);
        shown += ReadUntil(screen.get(), "until the end");
        int status = 0;
        ASSERT_EQ(waitpid(pid, &status, 0), pid);
        EXPECT_EQ(ExitCode(status), e.code) << shown;
        struct termios after;
        ASSERT_EQ(tcgetattr(screen.get(), &after), 0);
        EXPECT_TRUE(after.c_lflag == cooked.c_lflag && after.c_iflag == cooked.c_iflag &&
                    after.c_oflag == cooked.c_oflag)
            << "the terminal is restored";
        EXPECT_TRUE(Has(shown, "pong")) << shown;
        EXPECT_FALSE(Has(shown, "SEND:") || Has(shown, "SerManager")) << "the log stays off the screen: " << shown;
        kxtest::UniqueFd logFd(open(log.c_str(), O_RDONLY | O_CLOEXEC));
        const std::string logged = ReadUntil(logFd.get(), "SerManager free");
        EXPECT_TRUE(Has(logged, "SEND: 68 69 ")) << logged;
    }
}

// The build's own packages: the split into kxser and kxser-dev, and Debian's
// checker has nothing to say about them.
TEST(Kxhost, PackagesPassLintian) {
#ifndef KXSER_PACKAGES
    GTEST_SKIP() << "a sanitizer build makes no packages";
#else
    if (access(KXHOST_CMAKE, X_OK) != 0 || Shell("command -v lintian").code != 0)
        GTEST_SKIP() << "cpack and lintian run where the build was made (scripts/install-deps.sh installs lintian)";
    kxtest::TempDir dir;
    const std::string debs = dir.path();
    const std::string cpack = std::filesystem::path(KXHOST_CMAKE).parent_path() / "cpack";
    Result pack = Shell("cd '" KXSER_BINARY_DIR "' && '" + cpack + "' -B " + debs + " 2>&1");
    ASSERT_EQ(pack.code, 0) << pack.out;
    Result lint = Shell("lintian --fail-on error,warning " + debs + "/*.deb 2>&1");
    EXPECT_EQ(lint.code, 0) << lint.out;
    EXPECT_FALSE(std::regex_search(lint.out, std::regex("^[EW]: ", std::regex::multiline))) << lint.out;
    EXPECT_EQ(Shell("dpkg-deb -f " + debs + "/kxser-dev_*.deb Depends").out, "kxser (= " KXSER_VERSION ")\n");
    struct Package {
        const char* name;
        std::vector<std::string> files;
    };
    for (const Package& p : {Package{"kxser", {"./usr/lib/" KXSER_MULTIARCH "/kxSer.so\n"}},
                             Package{"kxhost", {"./usr/bin/kxhost\n", "/man1/kxhost.1.gz\n"}}}) {
        const std::string deb = debs + "/" + p.name + "_*.deb";
        const std::string files = Shell("dpkg-deb -c " + deb).out;
        std::vector<std::string> want = p.files;
        want.insert(want.end(), {"/changelog.gz\n", "/copyright\n"});
        for (const std::string& file : want) EXPECT_TRUE(Has(files, file)) << file << " is not in " << p.name;
        // The newest glibc symbol version the binary needs (2.33 for the
        // plug-in's fstat, 2.34 for kxhost's dlopen), never an unversioned libc6.
        EXPECT_TRUE(std::regex_search(Shell("dpkg-deb -f " + deb + " Depends").out,
                                      std::regex("libc6 \\(>= 2\\.3[3-9]\\)")))
            << p.name;
    }
    const std::string device = Shell("dpkg-deb -c " + debs + "/kxser_*.deb").out;
    EXPECT_FALSE(Has(device, "include/")) << "headers belong to kxser-dev";
#endif
}

// make demo installs and builds only what the plug-in and kxhost need.
TEST(Kxhost, DemoBuildsOnlyThePluginAndKxhost) {
    if (access(KXHOST_CMAKE, X_OK) != 0) GTEST_SKIP() << "make demo runs where the build was made";
    Result plan = Shell("make -n -C '" KXSER_SOURCE_DIR "' demo 2>&1");
    EXPECT_EQ(plan.code, 0) << plan.out;
    EXPECT_TRUE(Has(plan.out, "scripts/install-deps.sh --demo\n")) << plan.out;
    EXPECT_TRUE(Has(plan.out, "cmake --build build/demo --target kxSer kxhost\n")) << plan.out;
    for (const char* other : {"preset native", "build-native", "ctest", "install-deps.sh\n"})
        EXPECT_FALSE(Has(plan.out, other)) << other << " in:\n" << plan.out;
}

}  // namespace
