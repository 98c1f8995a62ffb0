// The serial line's configuration (CSerCom::set_opt and what it reads back).
#ifndef KXSER_SERLINE_H
#define KXSER_SERLINE_H

#include <termios.h>

namespace kxline {

// glibc's B constant for `rate` bit/s, or B0 where the platform names none
// (such rates go through termios2 as plain numbers).
speed_t NamedSpeed(int rate) noexcept;

}  // namespace kxline

#endif
