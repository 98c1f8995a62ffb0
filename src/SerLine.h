// The serial line's configuration: the character format and speed
// (CSerCom::set_opt), the line-control settings a definition string names
// after the stop bits, and the read-back that tells what the driver made.
#ifndef KXSER_SERLINE_H
#define KXSER_SERLINE_H

#include <stddef.h>
#include <termios.h>

namespace kxline {

// glibc's B constant for `rate` bit/s, or B0 where the platform names none
// (such rates go through termios2 as plain numbers).
speed_t NamedSpeed(int rate) noexcept;

enum Flow { FLOW_NONE = 0, FLOW_RTSCTS = 1, FLOW_XONXOFF = 2 };
enum Rs485 { RS485_OFF = 0, RS485_ON = 1, RS485_INVERTED = 2 };

// Line-control settings (`name=value` after the stop bits). -1 where no
// text named the setting: the driver's state stays as it is, and nothing is
// asked of it.
struct Control {
    int flow = -1;
    int rs485 = -1;
    int rtsBefore = -1;  // ms
    int rtsAfter = -1;   // ms
    int dtr = -1;
    int rts = -1;
    int hupcl = -1;
    int lowLatency = -1;
    int gapMs = 0;  // 0: Read ends at the terminal's own 0.2 s gap
    int echo = -1;  // 1: echo=drop

    bool FlowControl() const { return flow == FLOW_RTSCTS || flow == FLOW_XONXOFF; }
};

// What a definition string's settings did, for the text as a whole: the
// first error (the token, or the clash) or "" when the text holds none.
const size_t kErrorSize = 40;

// Reads one `name=value` token of `len` characters into `next`; false with
// `error` (kErrorSize) filled when the token is no valid setting.
bool ParseSetting(const char* token, size_t len, Control* next, char* error) noexcept;
// Settings that cannot hold together, checked once the whole text is read
// on `merged` (the settings in force with the text's on top; an rts= the
// text overrides is dropped from it); `named` holds what this text named.
bool CheckSettings(Control* merged, const Control& named, char* error) noexcept;
// Fills `error` with the token as written, cut to fit.
void TokenError(const char* token, size_t len, char* error) noexcept;

// Configure's answer when the driver refused a line-control setting.
const int kSettingRefused = -2;

// Why Configure failed: an errno value (a system call failed) or -2 (the
// driver refused the line or a setting), and the log line that said so.
struct Failure {
    int code = 0;
    char text[96] = "";
};

// Configures the open tty `fd` as set_opt does, with the line-control
// settings of `control` on top: termios flags in the same request, then
// RS-485, the modem lines and low latency, each read back. 0 done; -1 (the
// line itself) or kSettingRefused, with the lines logged that say why and
// the tty put back as it was found.
int Configure(int fd, int speed, int dataBits, char parity, int stop, char flow,
              const Control& control, Failure* why = nullptr) noexcept;

// Raises the modem lines of `raise` and lowers those of `lower` (TIOCM_*
// bits; either may be 0): false, with errno, when a request failed.
bool SetModemLines(int fd, int raise, int lower) noexcept;

// Waits until the output has left the line (the tty's queue is empty, and
// the UART's transmitter where the driver tells, or the time a FIFO of 512
// characters takes has passed), at most `timeoutUs`: true when it has; false
// with errno (ETIMEDOUT when the time ran out).
bool WaitSent(int fd, long long timeoutUs) noexcept;
// The time `bytes` characters take on the line as it is set, in us.
long long LineTimeUs(int fd, long long bytes) noexcept;
// Whether `fd` is a pseudo-terminal (no wire: no break, no modem lines).
bool IsPseudoTerminal(int fd) noexcept;

// echo=drop: a 2-wire RS-485 adapter whose receiver listens while it sends
// hands every request back before the reply. The bytes each Write sent are
// expected back and dropped before Read counts anything; from the first
// byte that differs everything is delivered, the bytes that matched before
// it too (they may have been the reply's own: a reply starts like its
// request when no echo came). What one Write sends up to the dump's limit,
// 340 bytes, is kept; a longer one (or more unread echo than that) is not
// filtered. No allocation.
class EchoFilter {
public:
    static const int kMax = 340;

    void Reset() noexcept { m_nLen = m_nMatched = m_nPending = m_nDelivered = 0; }
    // A Write sent these bytes.
    void Expect(const unsigned char* data, int len) noexcept;
    bool Active() const noexcept { return m_nLen > 0 || m_nPending > 0; }
    // Bytes held for delivery before the device is read again.
    int Pending() const noexcept { return m_nPending - m_nDelivered; }
    // The most a device read may take into a buffer of `room` bytes now, so
    // that a mismatch's held bytes fit in front of it.
    int ReadLimit(int room) const noexcept;
    // Takes `got` bytes just read into `buf` (room for `room`): answers the
    // data bytes now at its start (0: all of them were echo); `mismatchAt`
    // gets the echo's byte where it differed, or -1.
    int Filter(unsigned char* buf, int got, int room, int* mismatchAt) noexcept;
    // Copies held bytes into `buf`: their count.
    int Deliver(unsigned char* buf, int room) noexcept;

private:
    unsigned char m_echo[kMax];
    int m_nLen = 0;      // bytes expected back
    int m_nMatched = 0;  // of them, back so far
    int m_nPending = 0;  // after a mismatch: m_echo[0, m_nPending) to deliver
    int m_nDelivered = 0;
};

// Before the descriptor of a line with flow control goes: waits while the
// output queue keeps shrinking, at most the time its bytes need at the
// line's speed and a second more, then discards what a held line (XOFF, CTS
// low) still keeps back, which the driver's close would wait for up to 30 s.
void DeliverOutput(int fd) noexcept;

}  // namespace kxline

#endif
