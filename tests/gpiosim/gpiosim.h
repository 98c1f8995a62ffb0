// A stand-in for the GPIO driver behind /dev/gpio, for test executables.
//
// Linking gpiosim.c into an executable (with its symbols exported) puts its
// open/read/ioctl/close in front of libc's for the whole process, kxSer.so
// and dlopened copies included. While installed, opening "/dev/gpio" yields
// a real descriptor (of /dev/null) that the stand-in then serves: a 4-byte
// read gets the level of the line named in the record, an ioctl with request
// 0 or 1 records the line it drives. Every other path and descriptor goes to
// the real functions. While not installed, "/dev/gpio" reaches the real
// system too (and fails where no such node exists).
#ifndef KXSER_TESTS_GPIOSIM_H
#define KXSER_TESTS_GPIOSIM_H

#ifdef __cplusplus
extern "C" {
#endif

#define GPIOSIM_MAX_EVENTS 64

typedef struct GpioSimDrive {
    unsigned long request;
    int line;
} GpioSimDrive;

// Clears the record of events and the levels; leaves the device uninstalled.
void gpiosim_reset(void);
void gpiosim_install(int installed);
// Level the driver stores for `line` (the whole 16-bit field).
void gpiosim_set_level(unsigned line, unsigned value);
// When set, reads succeed but store nothing, like a driver that ignores the
// record.
void gpiosim_set_silent(int silent);
// When set, reads and the two requests fail with EIO (they are still
// recorded), like a driver whose hardware is gone.
void gpiosim_set_failing(int failing);

int gpiosim_open_count(void);       // opens of /dev/gpio served
int gpiosim_last_open_flags(void);  // flags of the last one
int gpiosim_close_count(void);      // closes of served descriptors
int gpiosim_open_fds(void);         // served descriptors still open
int gpiosim_is_device_fd(int fd);

int gpiosim_sample_count(void);     // reads of a record, in order
unsigned gpiosim_sample_line(int i);
unsigned gpiosim_sample_preset(int i);  // `value` as the reader preset it
unsigned long gpiosim_sample_size(int i);

int gpiosim_drive_count(void);
GpioSimDrive gpiosim_drive(int i);

#ifdef __cplusplus
}
#endif

#endif
