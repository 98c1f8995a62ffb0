// Interoperability: the serial channel on one pty of a pair that socat
// creates and relays, the test on the other, all byte values both ways.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include <cstring>
#include <memory>
#include <string>

#include "SerCom.h"
#include "kxtest.h"
#include "serial_pty.h"

namespace {

TEST(SerComSocat, AllByteValuesThroughASocatRelay) {
    if (!kxtest::SocatPtyPair::Available())
        GTEST_SKIP() << "socat is not installed (scripts/install-deps.sh installs it)";
    kxtest::SocatPtyPair socat;
    ASSERT_EQ(socat.Start(20000), "");
    const std::string prefix = "/dev/pts/";
    ASSERT_EQ(socat.first.compare(0, prefix.size(), prefix), 0) << socat.first;

    kxtest::UniqueFd far(open(socat.second.c_str(), O_RDWR | O_NOCTTY));
    ASSERT_TRUE(far) << socat.second;
    struct termios t;
    ASSERT_EQ(tcgetattr(far.get(), &t), 0);
    cfmakeraw(&t);
    ASSERT_EQ(tcsetattr(far.get(), TCSANOW, &t), 0);

    // The channel reaches its pty through its own port-name rule.
    std::unique_ptr<CSerCom> ch =
        kxtest::OpenChannel("pts/" + socat.first.substr(prefix.size()) + ":115200,N,8,1");
    ASSERT_TRUE(ch);

    unsigned char out[256], in[256], got[256];
    for (int i = 0; i < 256; ++i) {
        out[i] = static_cast<unsigned char>(i);
        in[i] = static_cast<unsigned char>(255 - i);  // a leading 0x00 would be dropped
    }
    kxtest::StdoutCapture cap;
    EXPECT_EQ(ch->Write(out, 256), 256);
    ASSERT_EQ(kxtest::ReadFully(far.get(), got, 256, 20000), 256);
    EXPECT_EQ(memcmp(got, out, 256), 0);

    ASSERT_TRUE(kxtest::WriteAll(far.get(), in, 256));
    memset(got, 0, sizeof got);
    // Passes bridge a relay that hands the block over in pieces.
    EXPECT_EQ(ch->Read(got, 256, 5000), 256);
    EXPECT_EQ(memcmp(got, in, 256), 0);
    EXPECT_EQ(cap.Stop(), "SEND: " + kxtest::Hex(out, 256) + "\r\nRECV: " + kxtest::Hex(in, 256) +
                              "\r\n");
    kxtest::StdoutCapture quiet;
    EXPECT_EQ(ch->Close(), 1);
}

}  // namespace
