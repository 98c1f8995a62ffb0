// The GPIO device served for the tests by kxgpiodev (a real /dev/gpio
// through CUSE), reached through its control socket.
//
// Linking gpio_device.cpp into a test executable registers a GoogleTest
// environment that, before the first test, connects to the device named by
// KXGPIO_CONTROL (the board starts one), or else starts kxgpiodev itself
// where the kernel has CUSE and no other /dev/gpio exists. Only one
// executable at a time uses the device (a lock file); when it cannot be had,
// Reason() says why and the tests that need it skip.
#ifndef KXSER_TESTS_BOARD_GPIO_DEVICE_H
#define KXSER_TESTS_BOARD_GPIO_DEVICE_H

#include <string>

namespace kxgpio {

struct State {
    int opens = 0, closes = 0, open = 0;
    unsigned flags = 0;
    int reads = 0, drives = 0;
};

struct ReadEvent {
    long line = -1;
    unsigned preset = 0;
    unsigned size = 0;
};

struct DriveEvent {
    unsigned request = 0;
    long line = -1;
};

bool Available();
const std::string& Reason();

// The device's answer to one control command without its "ok" (empty text
// for a bare "ok"), or "error: ..." when it refused or could not be reached.
std::string Ask(const std::string& command);

bool Reset();
bool SetLevel(unsigned line, unsigned level);
bool SetSilent(bool silent);
bool SetFailing(bool failing);
State GetState();
ReadEvent GetRead(int i);
DriveEvent GetDrive(int i);
int Output(unsigned line);  // level last driven, -1 never

}  // namespace kxgpio

// Skips the running test when there is no device to test against.
#define KXGPIO_REQUIRE_DEVICE()                                   \
    do {                                                          \
        if (!::kxgpio::Available()) GTEST_SKIP() << ::kxgpio::Reason(); \
    } while (0)

#endif
