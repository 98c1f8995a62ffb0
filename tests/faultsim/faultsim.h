// A fault injector for test executables: fails the Nth call of a chosen
// system call with a chosen error number.
//
// Linking faultsim.c into an executable (with its symbols exported, see
// kxser_use_stand_in) puts its wrappers of the library's system calls in front
// of libc's for the whole process, as the GPIO stand-in does; that works
// natively, under qemu-user and on the board alike. Only calls made from
// the code of one chosen object (kxSer.so) are counted or failed; the test's
// own calls and its peers' go straight to the system.
//
// Calls are counted under a key: the function's name, with the request for
// fcntl ("fcntl(F_SETFL)") and the option for setsockopt and getsockopt
// ("setsockopt(SO_RCVTIMEO)"). A failed close still closes the descriptor,
// as Linux does.
#ifndef KXSER_TESTS_FAULTSIM_H
#define KXSER_TESTS_FAULTSIM_H

#ifdef __cplusplus
extern "C" {
#endif

// Counts and fails only calls made from the loaded object whose file name
// ends in `fileName` ("/kxSer.so"); 0 when no such object is loaded.
int faultsim_target(const char* fileName);
// Zeroes the counts and arms the fault: the `nth` (from 1) call under `key`
// fails with `err`. A null key arms nothing: calls are only counted.
void faultsim_arm(const char* key, int nth, int err);
// Faults injected since the last faultsim_arm (0 or 1).
int faultsim_fired(void);
// The i-th key seen since the last faultsim_arm and its count; null past the end.
const char* faultsim_key(int i, int* count);

#ifdef __cplusplus
}
#endif

#endif
