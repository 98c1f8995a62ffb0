// GPIO channel against the stand-in driver (tests/gpiosim), and the USB
// placeholder.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include "SerDio.h"
#include "SerUsb.h"
#include "gpiosim.h"
#include "kxSerExt.h"
#include "kxtest.h"

namespace {

bool RealDeviceExists() { return access("/dev/gpio", F_OK) == 0; }

class SerDioTest : public ::testing::Test {
protected:
    void SetUp() override {
        gpiosim_reset();
        gpiosim_install(1);
    }
    void TearDown() override {
        gpiosim_install(0);
        gpiosim_reset();
    }
};

// Opens quietly; the open line is checked where it matters.
void OpenQuietly(CSerDio& dio) {
    kxtest::StdoutCapture quiet;
    ASSERT_EQ(dio.Open(nullptr), 1);
}

TEST_F(SerDioTest, ConstructionNoteTypeAndLog) {
    kxtest::StdoutCapture cap;
    CSerDio plain(nullptr);
    CSerDio named("door sensors, cabinet 2");
    EXPECT_EQ(cap.Stop(), "CSerDio::CSerDio: Dio Init\nCSerDio::CSerDio: Dio Init\n");
    EXPECT_STREQ(plain.GetNote(), "KXI1:");
    EXPECT_STREQ(named.GetNote(), "door sensors, cabinet 2");
    EXPECT_EQ(plain.GetType(), 0x800001);
    EXPECT_EQ(plain.m_hDev, -1);
    EXPECT_EQ(plain.IsOpened(), 0);
    EXPECT_EQ(plain.GetHandle(), -1);
}

TEST_F(SerDioTest, InheritedOperations) {
    kxtest::StdoutCapture quiet;
    CSerDio dio("x:1");
    EXPECT_EQ(dio.SetDef("other"), 1);
    EXPECT_STREQ(dio.GetNote(), "x:1") << "the definition string is never parsed";
    EXPECT_EQ(dio.GetType(), 0x800001);
    EXPECT_EQ(dio.SetPort(5), 0);
    EXPECT_EQ(dio.SetBaud(9600), 0);
    EXPECT_EQ(dio.Purge(), 0);
    EXPECT_EQ(dio.SetTimeout(3, 4), 1);
    EXPECT_EQ(dio.m_nByteTimeout, 3);
    EXPECT_EQ(dio.m_nBaseTimeout, 4);
}

TEST_F(SerDioTest, OpenWithoutDevice) {
    if (RealDeviceExists()) GTEST_SKIP() << "a real /dev/gpio exists on this machine";
    gpiosim_install(0);
    CSerDio dio(nullptr);
    unsigned char buf[2] = {0x55, 0x55};
    kxtest::StdoutCapture cap;
    EXPECT_EQ(dio.Open(nullptr), 0);
    EXPECT_EQ(KxLastError(&dio, nullptr, 0), ENOENT);
    EXPECT_EQ(dio.IsOpened(), 0);
    EXPECT_EQ(dio.GetHandle(), -1);
    EXPECT_EQ(dio.Read(buf, 2, 0), -1);
    EXPECT_EQ(dio.Write(buf, 2), -1);
    EXPECT_EQ(dio.Close(), 1);
    EXPECT_EQ(cap.Stop(), "");
    EXPECT_EQ(buf[0], 0x55);
    EXPECT_EQ(gpiosim_open_count(), 0);
}

TEST_F(SerDioTest, OpenReadOnlyAndLog) {
    CSerDio dio(nullptr);
    kxtest::StdoutCapture cap;
    EXPECT_EQ(dio.Open(nullptr), 1);
    EXPECT_EQ(cap.Stop(), "KXI1:[800001] open ok!\r\n");
    EXPECT_EQ(gpiosim_open_count(), 1);
    EXPECT_EQ(gpiosim_last_open_flags(), O_RDONLY | O_CLOEXEC);
    EXPECT_EQ(dio.IsOpened(), 1);
    EXPECT_TRUE(gpiosim_is_device_fd(dio.GetHandle()));
    EXPECT_EQ(dio.Close(), 1);
}

TEST_F(SerDioTest, OpenWithTextReplacesNote) {
    CSerDio dio(nullptr);
    kxtest::StdoutCapture cap;
    EXPECT_EQ(dio.Open("relay board"), 1);
    EXPECT_EQ(cap.Stop(), "relay board[800001] open ok!\r\n");
    EXPECT_STREQ(dio.GetNote(), "relay board");
    dio.Close();
}

TEST_F(SerDioTest, ReopenClosesEarlierDescriptor) {
    CSerDio dio(nullptr);
    OpenQuietly(dio);
    OpenQuietly(dio);
    EXPECT_EQ(gpiosim_open_count(), 2);
    EXPECT_EQ(gpiosim_close_count(), 1);
    EXPECT_EQ(gpiosim_open_fds(), 1);
    EXPECT_TRUE(gpiosim_is_device_fd(dio.GetHandle()));
    dio.Close();
    EXPECT_EQ(gpiosim_open_fds(), 0);
}

TEST_F(SerDioTest, CloseAndDestruction) {
    {
        CSerDio dio(nullptr);
        EXPECT_EQ(dio.Close(), 1);
        EXPECT_EQ(gpiosim_close_count(), 0);
        OpenQuietly(dio);
        EXPECT_EQ(dio.Close(), 1);
        EXPECT_EQ(dio.IsOpened(), 0);
        EXPECT_EQ(dio.GetHandle(), -1);
        EXPECT_EQ(gpiosim_close_count(), 1);
        EXPECT_EQ(dio.Close(), 1);
        EXPECT_EQ(gpiosim_close_count(), 1);
    }
    int handle;
    {
        kxtest::StdoutCapture quiet;
        CSerDio dio(nullptr);
        dio.Open(nullptr);
        handle = dio.GetHandle();
    }
    // Hosts may keep using a descriptor taken with GetHandle.
    EXPECT_TRUE(gpiosim_is_device_fd(handle));
    close(handle);
}

TEST_F(SerDioTest, ReadSamplesLine18Then17) {
    gpiosim_set_level(18, 1);
    gpiosim_set_level(17, 0x0101);  // only the low 8 bits count
    CSerDio dio(nullptr);
    OpenQuietly(dio);

    unsigned char one[2] = {0xee, 0xee};
    kxtest::StdoutCapture cap;
    EXPECT_EQ(dio.Read(one, 1, 0), 1);
    ASSERT_EQ(gpiosim_sample_count(), 1);
    EXPECT_EQ(gpiosim_sample_line(0), 18u);
    EXPECT_EQ(one[0], 0x01);
    EXPECT_EQ(one[1], 0xee);

    unsigned char five[5] = {0xee, 0xee, 0xee, 0xee, 0xee};
    EXPECT_EQ(dio.Read(five, 5, 1000), 1) << "one result for two bytes";
    ASSERT_EQ(gpiosim_sample_count(), 3);
    EXPECT_EQ(gpiosim_sample_line(1), 18u);
    EXPECT_EQ(gpiosim_sample_line(2), 17u);
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(gpiosim_sample_size(i), 4u);
        EXPECT_EQ(gpiosim_sample_preset(i), 0u);
    }
    EXPECT_EQ(five[0], 0x01);
    EXPECT_EQ(five[1], 0x01);
    EXPECT_EQ(five[2], 0xee);
    EXPECT_EQ(cap.Stop(), "") << "GPIO traffic is not logged";
    dio.Close();
}

// A driver that stores nothing yields 0 bytes and success; one whose reads
// and requests fail still yields 0 bytes, but the results say so.
TEST_F(SerDioTest, SilentOrFailingDriverYieldsZero) {
    gpiosim_set_level(18, 0xff);
    gpiosim_set_level(17, 0xff);
    CSerDio dio(nullptr);
    OpenQuietly(dio);
    const unsigned char drive[2] = {2, 1};
    for (int failing = 0; failing <= 1; ++failing) {
        SCOPED_TRACE(failing ? "failing" : "silent");
        gpiosim_set_silent(!failing);
        gpiosim_set_failing(failing);
        unsigned char buf[2] = {0xee, 0xee};
        EXPECT_EQ(dio.Read(buf, 2, 0), failing ? -1 : 1);
        EXPECT_EQ(buf[0], 0);
        EXPECT_EQ(buf[1], 0);
        EXPECT_EQ(dio.Write(drive, 2), failing ? -1 : 0);
    }
    EXPECT_EQ(gpiosim_sample_count(), 4) << "both lines sampled also when failing";
    EXPECT_EQ(gpiosim_drive_count(), 2);
    dio.Close();
}

TEST_F(SerDioTest, ReadRefusals) {
    CSerDio dio(nullptr);
    unsigned char buf[2] = {0xee, 0xee};
    EXPECT_EQ(dio.Read(buf, 2, 0), -1) << "closed";
    OpenQuietly(dio);
    EXPECT_EQ(dio.Read(nullptr, 2, 0), -1);
    EXPECT_EQ(dio.Read(buf, 0, 0), -1);
    EXPECT_EQ(dio.Read(buf, -3, 0), -1);
    EXPECT_EQ(buf[0], 0xee);
    EXPECT_EQ(gpiosim_sample_count(), 0);
    dio.Close();
}

TEST_F(SerDioTest, WriteSelectsLineAndRequest) {
    struct Case {
        unsigned char selector, level;
        int line;
        unsigned long request;
    };
    const Case cases[] = {
        {0, 1, 0, 1},   {1, 0, 1, 0},     {2, 1, 17, 1},
        {3, 0, 18, 0},  {4, 7, 19, 1},    {255, 0x80, 270, 1},
    };
    CSerDio dio(nullptr);
    OpenQuietly(dio);
    kxtest::StdoutCapture cap;
    int n = 0;
    for (const Case& c : cases) {
        const unsigned char data[2] = {c.selector, c.level};
        EXPECT_EQ(dio.Write(data, 2), 0);
        ASSERT_EQ(gpiosim_drive_count(), ++n);
        const GpioSimDrive d = gpiosim_drive(n - 1);
        EXPECT_EQ(d.line, c.line) << "selector " << int(c.selector);
        EXPECT_EQ(d.request, c.request) << "selector " << int(c.selector);
    }
    // Only the first two bytes count, whatever the length says.
    const unsigned char longer[4] = {2, 0, 9, 9};
    EXPECT_EQ(dio.Write(longer, 4), 0);
    EXPECT_EQ(gpiosim_drive(n).line, 17);
    EXPECT_EQ(gpiosim_drive(n).request, 0u);
    // The text form forwards its length; a one-character text drives its
    // line low (the level is the text's terminator), and so does one byte.
    EXPECT_EQ(dio.Write("\x03\x01"), 0);
    EXPECT_EQ(gpiosim_drive(n + 1).line, 18);
    EXPECT_EQ(gpiosim_drive(n + 1).request, 1u);
    EXPECT_EQ(dio.Write("\x03"), 0);
    EXPECT_EQ(gpiosim_drive(n + 2).line, 18);
    EXPECT_EQ(gpiosim_drive(n + 2).request, 0u);
    const unsigned char selectorOnly[2] = {4, 1};  // the 1 lies beyond the length
    EXPECT_EQ(dio.Write(selectorOnly, 1), 0);
    EXPECT_EQ(gpiosim_drive(n + 3).line, 19);
    EXPECT_EQ(gpiosim_drive(n + 3).request, 0u);
    EXPECT_EQ(cap.Stop(), "");
    dio.Close();
}

TEST_F(SerDioTest, WriteRefusals) {
    CSerDio dio(nullptr);
    const unsigned char data[2] = {2, 1};
    EXPECT_EQ(dio.Write(data, 2), -1) << "closed";
    OpenQuietly(dio);
    EXPECT_EQ(dio.Write(nullptr, 2), -1);
    EXPECT_EQ(dio.Write(data, 0), -1);
    EXPECT_EQ(dio.Write(data, -1), -1);
    EXPECT_EQ(dio.Write(""), -1);
    EXPECT_EQ(gpiosim_drive_count(), 0);
    dio.Close();
}

TEST(SerUsb, BehavesAsBareBase) {
    CSerUsb usb;
    unsigned char buf[2] = {1, 2};
    EXPECT_EQ(usb.GetType(), 0x100001);
    EXPECT_STREQ(usb.GetNote(), "CSerBase");
    EXPECT_EQ(usb.IsOpened(), 0);
    EXPECT_EQ(usb.Open("anything"), 0);
    EXPECT_EQ(usb.Close(), 0);
    EXPECT_EQ(usb.GetHandle(), -1);
    EXPECT_EQ(usb.Read(buf, 2, 0), -1);
    EXPECT_EQ(usb.Write(buf, 2), -1);
    EXPECT_EQ(usb.SetDef("ttyS1:9600"), 1);
    EXPECT_EQ(usb.GetType(), 0x100001);
    EXPECT_EQ(usb.SetPort(1), 0);
    EXPECT_EQ(usb.SetBaud(9600), 0);
    EXPECT_EQ(usb.Purge(), 0);
}

}  // namespace
