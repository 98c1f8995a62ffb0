// What every part of kxhost shares: exit codes, the kinds of the type codes,
// and the few output helpers.
#pragma once

#include <string>

namespace kxhost {

const int kExitOk = 0;
const int kExitFailed = 1;
const int kExitUsage = 2;

// Kinds of the type codes, as the plug-in defines them.
const int kKindMask = 0xf00000;
const int kKindSerial = 0x100000;  // with its adapter groups 0x110000, 0x120000
const int kKindNet = 0x200000;
const int kKindUsb = 0x400000;
const int kKindGpio = 0x800000;

// "kxhost: ..." on standard error, after what standard output holds so far.
void Error(const char* fmt, ...) __attribute__((format(printf, 1, 2)));

// "41 42 43  |ABC|": the bytes as hex, then as text.
std::string HexAndText(const unsigned char* data, int len);

void SleepMs(long long ms);

// poll on one descriptor for up to `ms` (-1: without limit), resumed after a
// signal with the time left: poll's result, `revents` in `*revents`.
int PollFor(int fd, short events, int ms, short* revents = nullptr);

}  // namespace kxhost
