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

// Configures the open tty `fd` as set_opt does, with the line-control
// settings of `control` on top: termios flags in the same request, then
// RS-485, the modem lines and low latency, each read back. 0 done; -1 (the
// line itself) or kSettingRefused, with the lines logged that say why and
// the tty put back as it was found.
int Configure(int fd, int speed, int dataBits, char parity, int stop, char flow,
              const Control& control) noexcept;

// Before the descriptor of a line with flow control goes: waits while the
// output queue keeps shrinking, at most the time its bytes need at the
// line's speed and a second more, then discards what a held line (XOFF, CTS
// low) still keeps back, which the driver's close would wait for up to 30 s.
void DeliverOutput(int fd) noexcept;

}  // namespace kxline

#endif
