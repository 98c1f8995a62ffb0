// Loading the plug-in: dlopen of kxSer.so and its five plain-C entry points.
#pragma once

#include <string>

#include "kxSer.h"

namespace kxhost {

struct Plugin {
    void* handle = nullptr;
    std::string path;
    KxDllTypeFn dllType = nullptr;
    KxDllNoteFn dllNote = nullptr;
    KxDllVersionFn dllVersion = nullptr;
    KxGetSerManagerFn getSerManager = nullptr;
    KxFreeSerManagerFn freeSerManager = nullptr;

    Plugin() = default;
    Plugin(const Plugin&) = delete;
    Plugin& operator=(const Plugin&) = delete;
    ~Plugin();
};

// Loads the library at `explicitPath`, or the first of the default places
// that loads. Returns kExitOk, or kExitUsage with the reason printed.
int LoadPlugin(Plugin& p, const std::string& explicitPath);

// The default places, one indented line each in the order they are tried,
// for the help text.
std::string DefaultLibraryText();

}  // namespace kxhost
