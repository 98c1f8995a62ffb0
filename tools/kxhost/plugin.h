// Loading the plug-in: dlopen of kxSer.so, its five plain-C entry points and
// the optional exports of kxSerExt.h.
#pragma once

#include <string>

#include "ISerBase.h"
#include "kxSer.h"
#include "kxSerExt.h"

namespace kxhost {

struct Plugin {
    void* handle = nullptr;
    std::string path;
    KxDllTypeFn dllType = nullptr;
    KxDllNoteFn dllNote = nullptr;
    KxDllVersionFn dllVersion = nullptr;
    KxGetSerManagerFn getSerManager = nullptr;
    KxFreeSerManagerFn freeSerManager = nullptr;
    // The optional exports: null in a plug-in older than them, and kxhost
    // does without them.
    KxSetLogFn setLog = nullptr;
    KxLastErrorFn lastError = nullptr;
    KxSendBreakFn sendBreak = nullptr;
    KxDrainFn drain = nullptr;
    KxGetLinesFn getLines = nullptr;
    KxSetLinesFn setLines = nullptr;
    KxGetCountersFn getCounters = nullptr;
    KxGetQueuedFn getQueued = nullptr;

    Plugin() = default;
    Plugin(const Plugin&) = delete;
    Plugin& operator=(const Plugin&) = delete;
    ~Plugin();

    // The names of the optional exports this plug-in has, blank-separated;
    // "" for none.
    std::string Exports() const;
    // The channel's reason for its last call (KxLastError): the code and,
    // in *text, the words; false when the plug-in has no KxLastError or the
    // call succeeded (code 0).
    bool Reason(ISerBase* ser, int* code, std::string* text) const;
    // "the plug-in has no NAME (it is older than the optional exports)", for a feature
    // that needs the export NAME.
    static std::string Lacks(const char* name);
};

// Loads the library at `explicitPath`, or the first of the default places
// that loads. Returns kExitOk, or kExitUsage with the reason printed.
int LoadPlugin(Plugin& p, const std::string& explicitPath);

// The default places, one indented line each in the order they are tried,
// for the help text.
std::string DefaultLibraryText();

}  // namespace kxhost
