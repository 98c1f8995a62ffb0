// kxhost: loads the kxSer plug-in with dlopen and drives its channels, the
// way the applications that embed it do. It uses nothing but the five plain-C
// entry points, the optional exports of kxSerExt.h where the plug-in has
// them, and the interfaces in include/.
//
//   kxhost info                 identify the plug-in (info.cpp)
//   kxhost open DEF [options]   talk to one channel, a meter or a controller
//                               (open.cpp)
//   kxhost demo                 try every channel family with no hardware
//                               (demo.cpp, with the peers in echo_peers.cpp)
//   kxhost list                 the serial ports the kernel has (list.cpp)
//   kxhost term DEF [options]   a terminal on one channel (term.cpp)
//
// plugin.cpp loads the library, args.cpp parses the options, channel.cpp
// reads a DEF as it was meant and says what the line will not carry and why
// a channel does not open. Standard output carries the library's own log and
// the results; errors and warnings go to standard error. Exit codes: 0
// success, 1 a channel failed to open or a transfer failed, 2 usage errors
// (including a missing library or symbol). kxhost.1 is the manual page; it
// names every option of the help texts below and in the commands' files.
#include <signal.h>

#include <cstdio>
#include <cstring>

#include "args.h"
#include "commands.h"
#include "common.h"
#include "plugin.h"

namespace {

const char kMainUsage[] =
    "Usage: kxhost COMMAND [OPTIONS]\n"
    "\n"
    "Loads the kxSer plug-in (kxSer.so) with dlopen and drives its channels.\n"
    "\n"
    "Commands:\n"
    "  info     show the plug-in's type, note and version\n"
    "  open     open one channel, send, receive and close it\n"
    "  demo     try serial, TCP, UDP, GPIO and USB channels without hardware\n"
    "  list     list the serial ports, with their definition strings and type codes\n"
    "  term     a terminal on one serial or network channel; Ctrl-] leaves\n"
    "\n"
    "Every command takes --help and --lib PATH. Without --lib, kxhost loads the\n"
    "first of these that loads (relative paths from kxhost's own folder):\n"
    "%s"
    "\n"
    "Exit codes: 0 success, 1 a channel failed to open or a transfer failed,\n"
    "2 usage error (bad option, bad value, library or entry point missing).\n";

}  // namespace

int main(int argc, char** argv) {
    using namespace kxhost;
    // Results and the library's log interleave line by line with errors.
    setvbuf(stdout, nullptr, _IOLBF, 0);
    signal(SIGPIPE, SIG_IGN);
    if (argc < 2) {
        fprintf(stderr, kMainUsage, DefaultLibraryText().c_str());
        return kExitUsage;
    }
    const char* cmd = argv[1];
    if (IsHelp(cmd)) {
        printf(kMainUsage, DefaultLibraryText().c_str());
        return kExitOk;
    }
    if (strcmp(cmd, "info") == 0) return CmdInfo(argc, argv);
    if (strcmp(cmd, "open") == 0) return CmdOpen(argc, argv);
    if (strcmp(cmd, "demo") == 0) return CmdDemo(argc, argv);
    if (strcmp(cmd, "list") == 0) return CmdList(argc, argv);
    if (strcmp(cmd, "term") == 0) return CmdTerm(argc, argv);
    return Usage("", "unknown command '%s'", cmd);
}
