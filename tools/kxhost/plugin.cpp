#include "plugin.h"

#include <dlfcn.h>
#include <limits.h>
#include <unistd.h>

#include <algorithm>
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

#ifndef KXSER_MULTIARCH
#define KXSER_MULTIARCH ""
#endif
#ifndef KXSER_INSTALL_LIBDIR
#define KXSER_INSTALL_LIBDIR ""
#endif

// Beside the executable, one level up (the build tree), the installed
// layout next to bin/ (Debian's multiarch folder, the libdir of a build
// without one, such as lib64, or lib/ of older trees), then the system's
// library directory. Names without a leading slash are relative to the
// executable's folder.
std::vector<std::string> LibraryNames() {
    const std::string multiarch = KXSER_MULTIARCH, libdir = KXSER_INSTALL_LIBDIR;
    std::vector<std::string> names = {"kxSer.so", "../kxSer.so"};
    auto add = [&names](const std::string& name) {
        if (std::find(names.begin(), names.end(), name) == names.end()) names.push_back(name);
    };
    if (!multiarch.empty()) add("../lib/" + multiarch + "/kxSer.so");
    const bool absolute = !libdir.empty() && libdir[0] == '/';
    if (!libdir.empty() && !absolute) add("../" + libdir + "/kxSer.so");
    add("../lib/kxSer.so");
    if (!multiarch.empty()) add("/usr/lib/" + multiarch + "/kxSer.so");
    else if (absolute) add(libdir + "/kxSer.so");
    else if (!libdir.empty()) add("/usr/" + libdir + "/kxSer.so");
    return names;
}

std::vector<std::string> DefaultLibraryPaths() {
    const std::string dir = ExecutableDir();
    std::vector<std::string> paths;
    for (const std::string& name : LibraryNames()) paths.push_back(name[0] == '/' ? name : dir + "/" + name);
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

// An optional export: null when the plug-in is older than it.
template <typename Fn>
void Optional(Plugin& p, Fn* fn, const char* name) {
    *fn = reinterpret_cast<Fn>(dlsym(p.handle, name));
}

}  // namespace

std::string DefaultLibraryText() {
    std::string text;
    for (const std::string& name : LibraryNames()) text += "  " + name + "\n";
    return text;
}

std::string Plugin::Exports() const {
    const struct {
        bool has;
        const char* name;
    } exports[] = {{setLog != nullptr, "KxSetLog"},       {lastError != nullptr, "KxLastError"},
                   {sendBreak != nullptr, "KxSendBreak"}, {drain != nullptr, "KxDrain"},
                   {getLines != nullptr, "KxGetLines"},   {setLines != nullptr, "KxSetLines"},
                   {getCounters != nullptr, "KxGetCounters"}, {getQueued != nullptr, "KxGetQueued"}};
    std::string names;
    for (const auto& e : exports)
        if (e.has) names += (names.empty() ? "" : " ") + std::string(e.name);
    return names;
}

bool Plugin::Reason(ISerBase* ser, int* code, std::string* text) const {
    if (lastError == nullptr) return false;
    char words[256] = "";
    *code = lastError(ser, words, static_cast<int>(sizeof words));
    *text = words;
    return *code != 0;
}

std::string Plugin::Lacks(const char* name) {
    return std::string("the plug-in has no ") + name + " (it is older than the optional exports)";
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
    Optional(p, &p.setLog, "KxSetLog");
    Optional(p, &p.lastError, "KxLastError");
    Optional(p, &p.sendBreak, "KxSendBreak");
    Optional(p, &p.drain, "KxDrain");
    Optional(p, &p.getLines, "KxGetLines");
    Optional(p, &p.setLines, "KxSetLines");
    Optional(p, &p.getCounters, "KxGetCounters");
    Optional(p, &p.getQueued, "KxGetQueued");
    return kExitOk;
}

}  // namespace kxhost
