#include "plugin.h"

#include <dlfcn.h>
#include <limits.h>
#include <unistd.h>

#include <vector>

#include "common.h"

namespace kxhost {

Plugin::~Plugin() {
    if (handle != nullptr) dlclose(handle);
}

namespace {

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
// layout next to bin/ (Debian's multiarch folder, or lib/ of older trees),
// then the system's multiarch library directory.
const char* const kBesideExecutable[] = {"kxSer.so", "../kxSer.so", "../lib/" KXSER_MULTIARCH "/kxSer.so",
                                         "../lib/kxSer.so"};
const char kSystemPath[] = "/usr/lib/" KXSER_MULTIARCH "/kxSer.so";

std::vector<std::string> DefaultLibraryPaths() {
    const std::string dir = ExecutableDir();
    std::vector<std::string> paths;
    for (const char* name : kBesideExecutable) paths.push_back(dir + "/" + name);
    paths.push_back(kSystemPath);
    return paths;
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

}  // namespace

std::string DefaultLibraryText() {
    std::string text;
    for (const char* name : kBesideExecutable) text += std::string("  ") + name + "\n";
    return text + "  " + kSystemPath + "\n";
}

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

}  // namespace kxhost
