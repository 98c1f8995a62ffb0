// Optional exports of the kxSer plug-in, for hosts written today: the log
// routed or silenced, each channel's last error, and line control and
// diagnostics at run time. Plain C names, found with dlsym; a plug-in older
// than these simply lacks them (dlsym answers null), so a host looks each one
// up and does without it when it is missing. Names, signatures and the
// layout of KxCounters are a binary contract like the entry points'.
//
// Each call takes a channel from ISerManager::GetSer. Serial channels only,
// except KxGetQueued (serial, TCP and UDP) and KxLastError (every channel);
// elsewhere a call fails with the reason -4. A closed channel is refused with
// EBADF. Like every other call on a channel, these are serialised by the host
// (Lock/Unlock) when threads share it.
#ifndef KXSER_KXSEREXT_H
#define KXSER_KXSEREXT_H

#include "ISerBase.h"

extern "C" {

// The log's lines, one whole line a call: exactly the text standard output
// would get, its own line end ("\r\n" or "\n") included, not NUL-terminated.
// The function must not call into the library; it is never called by two
// threads at once, and the lines of one transfer come one after the other.
typedef void (*KxLogFn)(void* ctx, const char* text, int len);

// Where the library's log goes: 0 standard output (the default), 1 nowhere
// (nothing is formatted at all), 2 fn(ctx, line, len). 1 taken; 0 for a mode
// not named here or mode 2 without fn, and nothing changes.
int KxSetLog(int mode, KxLogFn fn, void* ctx);

// The reason for the channel's last Open, Read, Write or call of these
// exports: 0 when it succeeded; an errno value (> 0) when a system call
// failed (ENOENT: no such device; EBUSY: held by another program, named in
// the text; ECONNREFUSED; ETIMEDOUT: nothing within the time; ...); below 0
// the library's own: -1 a setting error in the definition string, -2 a
// setting or line the driver refused (the text names it, e.g. "serial
// setting refused: dtr=0"), -3 an address or port the channel cannot use,
// -4 not supported by this channel or its driver. `text` (when not null)
// gets the reason in words, cut to `size` and always terminated ("" after a
// success).
int KxLastError(ISerBase* channel, char* text, int size);

// Holds a break (the line at space) for `ms` milliseconds (1 to 60000) after
// the output queued before it has left: 1 sent, 0 not. Blocks for that time.
int KxSendBreak(ISerBase* channel, int ms);

// Waits until all output has left the port, at most `timeoutMs`: 1 it has,
// 0 not within the time or failed.
int KxDrain(ISerBase* channel, int timeoutMs);

// The modem lines as TIOCM_* bits of <sys/ioctl.h> (TIOCM_CTS, TIOCM_DSR,
// TIOCM_CD, TIOCM_RI, TIOCM_DTR, TIOCM_RTS); -1 failed.
int KxGetLines(ISerBase* channel);

// Raises the lines of `set` and lowers those of `clear`: TIOCM_DTR and
// TIOCM_RTS only (RTS not while flow=rtscts or rs485 drive it). 1 done and
// read back; 0 not, the lines as they were.
int KxSetLines(ISerBase* channel, int set, int clear);

// The driver's line counters (TIOCGICOUNT), counted since the driver loaded:
// bytes received and sent, framing errors (mostly a wrong speed), parity
// errors (a wrong parity), overruns of the UART (a reader too slow for the
// line), breaks received, and bytes lost to a full buffer of the tty layer.
struct KxCounters {
    int rx, tx, frame, parity, overrun, brk, bufOverrun;
};
int KxGetCounters(ISerBase* channel, KxCounters* counters);  // 1 or 0

// Bytes received and not yet read (`in`) and bytes not yet sent (`out`);
// either pointer may be null. 1 or 0.
int KxGetQueued(ISerBase* channel, int* in, int* out);

}  // extern "C"

// Pointer types for dlsym.
typedef int (*KxSetLogFn)(int, KxLogFn, void*);
typedef int (*KxLastErrorFn)(ISerBase*, char*, int);
typedef int (*KxSendBreakFn)(ISerBase*, int);
typedef int (*KxDrainFn)(ISerBase*, int);
typedef int (*KxGetLinesFn)(ISerBase*);
typedef int (*KxSetLinesFn)(ISerBase*, int, int);
typedef int (*KxGetCountersFn)(ISerBase*, KxCounters*);
typedef int (*KxGetQueuedFn)(ISerBase*, int*, int*);

#endif
