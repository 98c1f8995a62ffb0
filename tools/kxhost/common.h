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

// What an error number the library logs ("CSerNet::Read recv err: 111")
// means, in words: "111 is ECONNREFUSED: the peer refused ...".
std::string ErrnoWords(int err);

// What a code of KxLastError means, for the line after its words: "111 is
// ECONNREFUSED: the peer refused ...", "2 is ENOENT", "-4: not supported
// by this channel or its driver".
std::string CodeWords(int code);

// "kxhost: the library's reason: TEXT; CODE'S WORDS" on standard error.
void SayReason(int code, const std::string& text);

// The library's log, passed on to standard output after each call rather
// than as it is written, so that kxhost can read it: the error numbers in
// it, a network wait that ended empty. Standard output becomes a file in
// memory while it lives; Error passes what is there first, so the order of
// the lines stays. Without such a file the log goes straight out and Take
// answers "".
class LibraryLog {
public:
    LibraryLog();
    ~LibraryLog();
    LibraryLog(const LibraryLog&) = delete;
    LibraryLog& operator=(const LibraryLog&) = delete;
    // Passes the log so far on and answers what was not taken before.
    std::string Take();
    // Passes the log so far on.
    void Pass();
    // An Error line for each line of `log` that holds an error number.
    static void Explain(const std::string& log);

private:
    int screen_ = -1;  // the real standard output
    std::string pending_;
};

// poll on one descriptor for up to `ms` (-1: without limit), resumed after a
// signal with the time left: poll's result, `revents` in `*revents`.
int PollFor(int fd, short events, int ms, short* revents = nullptr);

}  // namespace kxhost
