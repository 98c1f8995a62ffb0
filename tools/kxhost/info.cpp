// kxhost info: identify the plug-in.
#include <cstdio>
#include <string>

#include "args.h"
#include "commands.h"
#include "common.h"
#include "plugin.h"

namespace kxhost {

namespace {

const char kInfoUsage[] =
    "Usage: kxhost info [--lib PATH]\n"
    "\n"
    "Loads the plug-in and prints DllType, DllNote and DllVersion, and which\n"
    "of the optional exports (KxSetLog, KxLastError, ...) it has.\n";

}  // namespace

int CmdInfo(int argc, char** argv) {
    std::string lib;
    bool help = false;
    int rc = ParseLibOnly(argc, argv, "info", &lib, &help);
    if (rc != kExitOk) return rc;
    if (help) {
        fputs(kInfoUsage, stdout);
        return kExitOk;
    }
    Plugin p;
    rc = LoadPlugin(p, lib);
    if (rc != kExitOk) return rc;
    printf("library: %s\n", p.path.c_str());
    printf("type:    %d\n", p.dllType());
    const char* note = p.dllNote();
    printf("note:    %s\n", note != nullptr ? note : "(none)");
    printf("version: %d\n", p.dllVersion());
    // The optional exports (kxSerExt.h) this plug-in has.
    const std::string exports = p.Exports();
    printf("exports: %s\n", exports.empty() ? "none (older than the optional exports)" : exports.c_str());
    return kExitOk;
}

}  // namespace kxhost
