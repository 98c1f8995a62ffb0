// Helpers for the serial-channel tests: a pty line the channel reaches
// through its own device path rule, input-queue waits, descriptor counts,
// and a socat-made pty pair.
#ifndef KXSER_TESTS_SERIAL_PTY_H
#define KXSER_TESTS_SERIAL_PTY_H

#include <sys/types.h>

#include <memory>
#include <string>

#include "SerCom.h"
#include "kxtest.h"

namespace kxtest {

// The test holds the master; `holder` keeps a slave open so the line does
// not hang up while the channel closes and reopens it.
struct SerialLine {
    SerialLine();
    Pty pty;
    UniqueFd holder;

    int master() const { return pty.master.get(); }
    // "pts/<n>:<settings>": the last digit before the colon becomes the
    // channel's index and the rest its port name, so the channel forms
    // /dev/pts/<n> itself, also for numbers above 9.
    std::string Def(const std::string& settings) const;
    // The note a channel built from Def(settings) carries, without the
    // settings part: "pts/<n>".
    std::string Name() const;
    // Type code of such a channel: generic serial kind + last digit.
    int Type() const;
};

// A channel built from `def` and opened, its log lines swallowed; null when
// the open failed.
std::unique_ptr<CSerCom> OpenChannel(const std::string& def);

// Hex dump text as the log shows it: two upper-case digits and a blank per byte.
std::string Hex(const unsigned char* data, int len);

// Bytes waiting in the input queue of the tty behind `fd` (-1 on error).
int InputQueued(int fd);
// Waits until at least `count` bytes are queued on `fd`.
bool WaitInputQueued(int fd, int count, int timeoutMs);

// Number of descriptors the process has open.
int CountOpenFds();

// Same terminal device (the same pty slave) behind both descriptors.
bool SameDevice(int fd1, int fd2);

// Sets the line to a cooked state with every flag the channel must clear
// turned on, plus a few flags it must leave alone (ECHOK, HUPCL).
void CookLine(int fd);

// `socat` relaying between two ptys it creates; the test uses one end,
// the channel the other. Killed on destruction.
class SocatPtyPair {
public:
    SocatPtyPair() = default;
    ~SocatPtyPair();
    SocatPtyPair(const SocatPtyPair&) = delete;
    SocatPtyPair& operator=(const SocatPtyPair&) = delete;
    // Empty when started, else the reason it could not start.
    std::string Start(int timeoutMs);
    static bool Available();
    std::string first, second;  // slave paths, e.g. /dev/pts/7

private:
    pid_t pid_ = -1;
    int log_ = -1;
};

}  // namespace kxtest

#endif
