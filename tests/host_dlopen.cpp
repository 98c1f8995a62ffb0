// The plug-in driven the way a host drives it: loaded with dlopen, reached
// through its five plain-C entry points, its channels used only through
// ISerBase. Nothing of the library's own headers is visible here.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <stdint.h>
#include <unistd.h>

#include <cstdio>

#include <cstring>
#include <string>

#include "gpiosim.h"
#include "kxSer.h"
#include "kxnet.h"
#include "kxtest.h"

namespace {

struct Entry {
    void* handle = nullptr;
    KxDllTypeFn dllType = nullptr;
    KxDllNoteFn dllNote = nullptr;
    KxDllVersionFn dllVersion = nullptr;
    KxGetSerManagerFn getSerManager = nullptr;
    KxFreeSerManagerFn freeSerManager = nullptr;
};

Entry g_lib;

class HostTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        if (g_lib.handle != nullptr) return;
        g_lib.handle = dlopen(KXSER_LIB_PATH, RTLD_NOW | RTLD_LOCAL);
        ASSERT_NE(g_lib.handle, nullptr) << dlerror();
        g_lib.dllType = reinterpret_cast<KxDllTypeFn>(dlsym(g_lib.handle, "DllType"));
        g_lib.dllNote = reinterpret_cast<KxDllNoteFn>(dlsym(g_lib.handle, "DllNote"));
        g_lib.dllVersion = reinterpret_cast<KxDllVersionFn>(dlsym(g_lib.handle, "DllVersion"));
        g_lib.getSerManager = reinterpret_cast<KxGetSerManagerFn>(dlsym(g_lib.handle, "GetSerManager"));
        g_lib.freeSerManager = reinterpret_cast<KxFreeSerManagerFn>(dlsym(g_lib.handle, "FreeSerManager"));
    }
    void SetUp() override {
        ASSERT_NE(g_lib.handle, nullptr);
        ASSERT_NE(g_lib.getSerManager, nullptr);
        ASSERT_NE(g_lib.freeSerManager, nullptr);
        kxtest::StdoutCapture quiet;
        mgr = g_lib.getSerManager();
        ASSERT_NE(mgr, nullptr);
    }
    void TearDown() override {
        kxtest::StdoutCapture quiet;
        g_lib.freeSerManager(mgr);
        gpiosim_install(0);
        gpiosim_reset();
    }
    ISerBase* Get(const char* def, int type) {
        kxtest::StdoutCapture quiet;
        return mgr->GetSer(def, type);
    }
    static int Open(ISerBase* ser) {
        kxtest::StdoutCapture quiet;
        return ser->Open(nullptr);
    }
    ISerManager* mgr = nullptr;
};

TEST_F(HostTest, IdentifiesItself) {
    ASSERT_NE(g_lib.dllType, nullptr);
    ASSERT_NE(g_lib.dllNote, nullptr);
    ASSERT_NE(g_lib.dllVersion, nullptr);
    EXPECT_EQ(g_lib.dllType(), 0);
    EXPECT_EQ(g_lib.dllVersion(), 1);
    EXPECT_STREQ(g_lib.dllNote(), "kxSer.so for ISerBase, support COM, DIO, Net and USB");
}

TEST_F(HostTest, ManagerLifecycle) {
    char hex[16];
    snprintf(hex, sizeof hex, "%x", static_cast<unsigned>(reinterpret_cast<uintptr_t>(mgr)));
    kxtest::StdoutCapture cap;
    EXPECT_EQ(g_lib.getSerManager(), mgr);
    ASSERT_NE(mgr->GetSer(nullptr, 0x100004), nullptr);
    cap.Text();
    {
        kxtest::StdoutCapture freeing;
        g_lib.freeSerManager(nullptr);  // the argument is not used
        g_lib.freeSerManager(mgr);      // nothing left: does nothing
        EXPECT_EQ(freeing.Stop(), std::string("SerManager delete: ") + hex +
                                      "\r\nSerManager free: " + hex + "\r\n");
    }
    mgr = g_lib.getSerManager();  // fresh and empty
    ASSERT_NE(mgr, nullptr);
    kxtest::StdoutCapture again;
    ASSERT_NE(mgr->GetSer(nullptr, 0x100004), nullptr);
    EXPECT_NE(again.Stop().find("CSerCom InitCom: "), std::string::npos) << "built anew";
}

TEST_F(HostTest, SerialOverPty) {
    kxtest::UniqueFd holder;
    kxtest::Pty pty = kxtest::OpenPty(&holder);
    // The last digit before ':' is the index, the text before it the port
    // name: "pts/N:..." reaches /dev/pts/N for any N.
    const std::string def = "pts/" + std::to_string(pty.slaveNumber) + ":115200,N,8,1";
    ISerBase* ser = Get(def.c_str(), 0);
    ASSERT_NE(ser, nullptr);
    EXPECT_EQ(ser->GetType(), 0x100000 + pty.slaveNumber % 10);
    ASSERT_EQ(Open(ser), 1);
    EXPECT_EQ(ser->IsOpened(), 1);
    EXPECT_GE(ser->GetHandle(), 0);

    const unsigned char out[3] = {0x01, 0x03, 0xA5};
    kxtest::StdoutCapture cap;
    EXPECT_EQ(ser->Write(out, 3), 3);
    unsigned char seen[3] = {};
    EXPECT_EQ(kxtest::ReadFully(pty.master.get(), seen, 3, 5000), 3);
    EXPECT_EQ(memcmp(seen, out, 3), 0);

    ASSERT_TRUE(kxtest::WriteAll(pty.master.get(), "\x41\x42", 2));
    unsigned char in[2] = {};
    EXPECT_EQ(ser->Read(in, 2, 0), 2);
    EXPECT_EQ(in[0], 0x41);
    EXPECT_EQ(in[1], 0x42);
    EXPECT_EQ(cap.Stop(), "SEND: 01 03 A5 \r\nRECV: 41 42 \r\n");
    EXPECT_EQ(ser->Close(), 1);
    EXPECT_EQ(ser->IsOpened(), 0);
}

TEST_F(HostTest, TcpOverLoopback) {
    int port = 0;
    kxtest::UniqueFd listener = kxnet::Listen(4, &port);
    const std::string def = kxnet::Def("127.0.0.1", port);
    ISerBase* ser = Get(def.c_str(), 0x200005);
    ASSERT_NE(ser, nullptr);
    EXPECT_EQ(ser->GetType(), 0x200005);
    EXPECT_EQ(Get(nullptr, 0x200005), ser);
    ASSERT_EQ(Open(ser), 1);
    kxtest::UniqueFd peer = kxnet::Accept(listener.get(), 5000);
    ASSERT_TRUE(peer);

    kxtest::StdoutCapture quiet;
    EXPECT_EQ(ser->Write("ping"), 4);
    char seen[4] = {};
    EXPECT_EQ(kxtest::ReadFully(peer.get(), seen, 4, 5000), 4);
    EXPECT_EQ(std::string(seen, 4), "ping");
    ASSERT_TRUE(kxtest::WriteAll(peer.get(), "pong", 4));
    unsigned char in[8] = {};
    EXPECT_EQ(ser->Read(in, 4, 5000), 4);
    EXPECT_EQ(memcmp(in, "pong", 4), 0);
    EXPECT_EQ(ser->Close(), 1);
}

TEST_F(HostTest, UdpOverLoopback) {
    int port = 0;
    kxtest::UniqueFd peer = kxnet::UdpBind(&port);
    const std::string def = "u" + kxnet::Def("127.0.0.1", port);
    ISerBase* ser = Get(def.c_str(), 0x200006);
    ASSERT_NE(ser, nullptr);
    ASSERT_EQ(Open(ser), 1);

    kxtest::StdoutCapture quiet;
    EXPECT_EQ(ser->Write("dgram"), 5);
    ASSERT_TRUE(kxtest::WaitReadable(peer.get(), 5000));
    char buf[16];
    sockaddr_in from;
    socklen_t len = sizeof from;
    ssize_t n = recvfrom(peer.get(), buf, sizeof buf, 0, reinterpret_cast<sockaddr*>(&from), &len);
    ASSERT_EQ(n, 5);
    EXPECT_EQ(std::string(buf, 5), "dgram");
    ASSERT_EQ(sendto(peer.get(), "reply", 5, 0, reinterpret_cast<sockaddr*>(&from), len), 5);
    unsigned char in[16] = {};
    EXPECT_EQ(ser->Read(in, sizeof in, 5000), 5);
    EXPECT_EQ(memcmp(in, "reply", 5), 0);
    EXPECT_EQ(ser->Close(), 1);
}

// The stand-in driver takes the place of libc's calls for the dlopened
// library as well.
TEST_F(HostTest, GpioThroughStandInDriver) {
    gpiosim_reset();
    gpiosim_install(1);
    gpiosim_set_level(18, 1);
    gpiosim_set_level(17, 0);
    ISerBase* ser = Get("dio", 0x800003);
    ASSERT_NE(ser, nullptr);
    EXPECT_EQ(ser->GetType(), 0x800001);
    {
        kxtest::StdoutCapture cap;
        EXPECT_EQ(ser->Open(nullptr), 1);
        EXPECT_EQ(cap.Stop(), "dio[800001] open ok!\r\n");
    }
    EXPECT_TRUE(gpiosim_is_device_fd(ser->GetHandle()));
    unsigned char levels[2] = {0xee, 0xee};
    EXPECT_EQ(ser->Read(levels, 2, 0), 1);
    EXPECT_EQ(levels[0], 1);
    EXPECT_EQ(levels[1], 0);
    const unsigned char drive[2] = {3, 1};
    EXPECT_EQ(ser->Write(drive, 2), 0);
    ASSERT_EQ(gpiosim_drive_count(), 1);
    EXPECT_EQ(gpiosim_drive(0).line, 18);
    EXPECT_EQ(gpiosim_drive(0).request, 1u);
    EXPECT_EQ(ser->Close(), 1);
    EXPECT_EQ(gpiosim_open_fds(), 0);
}

TEST_F(HostTest, UsbHasNoChannel) {
    EXPECT_EQ(Get("anything", 0x400001), nullptr);
    EXPECT_EQ(Get(nullptr, 0x400000), nullptr);
}

}  // namespace
