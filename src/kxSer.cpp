// The plug-in's entry points and its optional exports: hosts find these by
// their plain names.
#include "kxSer.h"

#include <cerrno>
#include <cstring>
#include <new>
#include <type_traits>

#include "LogText.h"
#include "SerCom.h"
#include "SerDio.h"
#include "SerManager.h"
#include "SerNet.h"
#include "kxSerExt.h"

extern "C" {

int DllType() { return 0; }

const char* DllNote() { return "kxSer.so for ISerBase, support COM, DIO, Net and USB"; }

int DllVersion() { return 1; }

ISerManager* GetSerManager() {
    // No exception may unwind into a C host.
    try {
        return CSerManager::GetInstance();
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
}

void FreeSerManager(ISerManager* /*manager: there is only one*/) {
    CSerManager::FreeInstance();
}

}  // extern "C"

// ---------------------------------------------------------------------------
// The optional exports (kxSerExt.h).

// The exports' signatures are a binary contract: a change here must fail.
static_assert(std::is_same<decltype(&KxSetLog), KxSetLogFn>::value, "KxSetLog");
static_assert(std::is_same<decltype(&KxLastError), KxLastErrorFn>::value, "KxLastError");
static_assert(std::is_same<decltype(&KxSendBreak), KxSendBreakFn>::value, "KxSendBreak");
static_assert(std::is_same<decltype(&KxDrain), KxDrainFn>::value, "KxDrain");
static_assert(std::is_same<decltype(&KxGetLines), KxGetLinesFn>::value, "KxGetLines");
static_assert(std::is_same<decltype(&KxSetLines), KxSetLinesFn>::value, "KxSetLines");
static_assert(std::is_same<decltype(&KxGetCounters), KxGetCountersFn>::value, "KxGetCounters");
static_assert(std::is_same<decltype(&KxGetQueued), KxGetQueuedFn>::value, "KxGetQueued");
static_assert(sizeof(KxCounters) == 28 && sizeof(int) == 4, "KxCounters: seven 32-bit counters");

namespace {

// One of the library's channels, or null for another object (a host's own
// ISerBase) and for null.
CSerBase* Ours(ISerBase* channel) {
    return channel != nullptr ? dynamic_cast<CSerBase*>(channel) : nullptr;
}

// Where the channel keeps its reason; null for one that keeps none (the USB
// placeholder, which the manager never hands out).
CReason* ReasonOf(CSerBase* base) {
    if (CSerCom* serial = dynamic_cast<CSerCom*>(base)) return &serial->m_reason;
    if (CSerNet* net = dynamic_cast<CSerNet*>(base)) return &net->m_reason;
    if (CSerDio* dio = dynamic_cast<CSerDio*>(base)) return &dio->m_reason;
    return nullptr;
}

// The serial channel behind `channel`; any other channel gets the reason
// "not supported" (-4) and the caller answers failure.
CSerCom* Serial(ISerBase* channel) {
    CSerBase* base = Ours(channel);
    CSerCom* serial = dynamic_cast<CSerCom*>(base);
    CReason* reason = serial == nullptr ? ReasonOf(base) : nullptr;
    if (reason != nullptr) reason->Set(REASON_UNSUPPORTED, "not a serial channel");
    return serial;
}

}  // namespace

extern "C" {

int KxSetLog(int mode, KxLogFn fn, void* ctx) { return kxlog::SetMode(mode, fn, ctx); }

int KxLastError(ISerBase* channel, char* text, int size) {
    CSerBase* base = Ours(channel);
    const CReason* reason = ReasonOf(base);
    int code = reason != nullptr ? reason->m_nCode : base != nullptr ? REASON_UNSUPPORTED : EINVAL;
    const char* words = reason != nullptr ? reason->m_szText
                        : base != nullptr ? "this channel keeps no reasons"
                                          : "not a channel of this plug-in";
    if (text != nullptr && size > 0) {
        const size_t n = strnlen(words, static_cast<size_t>(size) - 1);
        memcpy(text, words, n);
        text[n] = '\0';
    }
    return code;
}

int KxSendBreak(ISerBase* channel, int ms) {
    CSerCom* serial = Serial(channel);
    return serial != nullptr ? serial->SendBreak(ms) : 0;
}

int KxDrain(ISerBase* channel, int timeoutMs) {
    CSerCom* serial = Serial(channel);
    return serial != nullptr ? serial->Drain(timeoutMs) : 0;
}

int KxGetLines(ISerBase* channel) {
    CSerCom* serial = Serial(channel);
    return serial != nullptr ? serial->GetLines() : -1;
}

int KxSetLines(ISerBase* channel, int set, int clear) {
    CSerCom* serial = Serial(channel);
    return serial != nullptr ? serial->SetLines(set, clear) : 0;
}

int KxGetCounters(ISerBase* channel, KxCounters* counters) {
    CSerCom* serial = Serial(channel);
    return serial != nullptr ? serial->GetCounters(counters) : 0;
}

int KxGetQueued(ISerBase* channel, int* in, int* out) {
    CSerBase* base = Ours(channel);
    if (CSerNet* net = dynamic_cast<CSerNet*>(base)) return net->GetQueued(in, out);
    CSerCom* serial = Serial(channel);
    return serial != nullptr ? serial->GetQueued(in, out) : 0;
}

}  // extern "C"
