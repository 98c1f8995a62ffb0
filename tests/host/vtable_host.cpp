// An existing host's view of the plug-in: interfaces declared here from the
// binary contract alone (never from include/), the library loaded with
// dlopen, and every vtable slot checked in order on every channel family —
// both that it holds the right function and that the call does its job.
#include <dlfcn.h>
#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <netinet/in.h>
#include <arpa/inet.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>

namespace contract {

class Observer {};

// Slot order is the contract; names are the host's own.
class Channel {
public:
    virtual void Lock() = 0;                                     // 0
    virtual void Unlock() = 0;                                   // 1
    virtual bool IsBusy() = 0;                                   // 2
    virtual int GetType() = 0;                                   // 3
    virtual const char* GetNote() = 0;                           // 4
    virtual int Open(const char* def) = 0;                       // 5
    virtual int Close() = 0;                                     // 6
    virtual int IsOpened() = 0;                                  // 7
    virtual int GetHandle() = 0;                                 // 8
    virtual int SetDef(const char* def) = 0;                     // 9
    virtual int SetPort(int port) = 0;                           // 10
    virtual int SetBaud(int baud) = 0;                           // 11
    virtual int SetTimeout(int perByte, int base) = 0;           // 12
    virtual int Purge() = 0;                                     // 13
    virtual int Read(unsigned char* buf, int size, int t) = 0;   // 14
    virtual int Write(const unsigned char* buf, int len) = 0;    // 15
    virtual int Write(const char* text) = 0;                     // 16
    virtual int InsertObserver(Observer* o) = 0;                 // 17
    virtual int RemoveObserver(Observer* o) = 0;                 // 18
};

class Manager {
public:
    virtual Channel* GetSer(const char* def, int type) = 0;
};

}  // namespace contract

namespace {

const char* const kBaseSlots[] = {
    "_ZN8CSerBase4LockEv",        "_ZN8CSerBase6UnlockEv",
    "_ZN8CSerBase6IsBusyEv",      "_ZN8CSerBase7GetTypeEv",
    "_ZN8CSerBase7GetNoteEv",     "_ZN8CSerBase4OpenEPKc",
    "_ZN8CSerBase5CloseEv",       "_ZN8CSerBase8IsOpenedEv",
    "_ZN8CSerBase9GetHandleEv",   "_ZN8CSerBase6SetDefEPKc",
    "_ZN8CSerBase7SetPortEi",     "_ZN8CSerBase7SetBaudEi",
    "_ZN8CSerBase10SetTimeoutEii", "_ZN8CSerBase5PurgeEv",
    "_ZN8CSerBase4ReadEPhii",     "_ZN8CSerBase5WriteEPKhi",
    "_ZN8CSerBase5WriteEPKc",     "_ZN8CSerBase14InsertObserverEP12ISerObserver",
    "_ZN8CSerBase14RemoveObserverEP12ISerObserver",
    "_ZN8CSerBaseD1Ev",           "_ZN8CSerBaseD0Ev",
    "_ZN8CSerBase9UpdParamsEPKc",
};
const int kBaseSlotCount = sizeof kBaseSlots / sizeof kBaseSlots[0];

struct Override {
    int slot;
    const char* symbol;
};

class Plugin {
public:
    Plugin() {
        handle_ = dlopen(KXSER_LIBRARY, RTLD_NOW | RTLD_LOCAL);
        if (handle_ == nullptr) return;
        getManager_ = reinterpret_cast<contract::Manager* (*)()>(dlsym(handle_, "GetSerManager"));
        freeManager_ = reinterpret_cast<void (*)(contract::Manager*)>(dlsym(handle_, "FreeSerManager"));
    }
    ~Plugin() {
        if (handle_ != nullptr) dlclose(handle_);
    }
    bool ok() const { return handle_ != nullptr && getManager_ != nullptr && freeManager_ != nullptr; }
    void* Symbol(const char* name) const { return dlsym(handle_, name); }
    contract::Manager* Manager() { return getManager_(); }
    void Free(contract::Manager* m) { freeManager_(m); }

    // Every slot of `obj`'s vtable holds the expected function, the object
    // points into the class's exported vtable, and nothing is out of place.
    void ExpectSlots(const void* obj, const char* vtableSymbol, const char* className,
                     const Override* overrides, int count, const char* const* extra, int extraCount) {
        const void* const* vptr = *static_cast<const void* const* const*>(obj);
        const char* table = static_cast<const char*>(Symbol(vtableSymbol));
        ASSERT_NE(table, nullptr) << vtableSymbol;
        // Itanium layout: offset-to-top and type info precede the address point.
        EXPECT_EQ(reinterpret_cast<const char*>(vptr), table + 2 * sizeof(void*)) << className;
        for (int slot = 0; slot < kBaseSlotCount + extraCount; ++slot) {
            const char* want = slot < kBaseSlotCount ? kBaseSlots[slot] : extra[slot - kBaseSlotCount];
            std::string mine;
            for (int i = 0; i < count; ++i)
                if (overrides[i].slot == slot) want = overrides[i].symbol;
            void* fn = Symbol(want);
            ASSERT_NE(fn, nullptr) << want;
            EXPECT_EQ(vptr[slot], fn) << className << " slot " << slot << " should be " << want;
        }
    }

private:
    void* handle_ = nullptr;
    contract::Manager* (*getManager_)() = nullptr;
    void (*freeManager_)(contract::Manager*) = nullptr;
};

// Keeps the channel's log off the test report.
class QuietStdout {
public:
    QuietStdout() {
        fflush(stdout);
        saved_ = dup(1);
        int null = open("/dev/null", O_WRONLY);
        dup2(null, 1);
        close(null);
    }
    ~QuietStdout() {
        fflush(stdout);
        dup2(saved_, 1);
        close(saved_);
    }

private:
    int saved_;
};

// Slots shared by every channel: lock, observers, time-outs.
void ExpectCommonSlots(contract::Channel* ch) {
    ch->Lock();
    EXPECT_TRUE(ch->IsBusy());
    ch->Unlock();
    EXPECT_FALSE(ch->IsBusy());
    EXPECT_EQ(ch->SetTimeout(10, 1000), 1);
    contract::Observer a, b;
    EXPECT_EQ(ch->InsertObserver(&a), 0);
    EXPECT_EQ(ch->InsertObserver(&b), 1);
    EXPECT_EQ(ch->InsertObserver(&a), 0);
    EXPECT_EQ(ch->RemoveObserver(&a), 0);
    EXPECT_EQ(ch->RemoveObserver(&a), -1);
    EXPECT_EQ(ch->RemoveObserver(&b), 0);
    EXPECT_EQ(ch->InsertObserver(nullptr), -1);
}

class VtableHost : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(plugin.ok()) << dlerror();
        manager = plugin.Manager();
        ASSERT_NE(manager, nullptr);
    }
    void TearDown() override {
        QuietStdout quiet;
        if (manager != nullptr) plugin.Free(manager);
    }
    Plugin plugin;
    contract::Manager* manager = nullptr;
};

TEST_F(VtableHost, SerialChannelSlots) {
    int master = posix_openpt(O_RDWR | O_NOCTTY);
    ASSERT_GE(master, 0);
    ASSERT_EQ(grantpt(master), 0);
    ASSERT_EQ(unlockpt(master), 0);
    std::string slave = ptsname(master);
    int keep = open(slave.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);  // no hang-up between opens

    // Index 12 opens the relative name \\.\COM12: point it at the pty slave.
    char dir[] = "/tmp/kxvt-XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    char cwd[4096];
    ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
    ASSERT_EQ(chdir(dir), 0);
    ASSERT_EQ(symlink(slave.c_str(), "\\\\.\\COM12"), 0);

    contract::Channel* ch;
    {
        QuietStdout quiet;
        ch = manager->GetSer(nullptr, 0x100000 + 12);
    }
    ASSERT_NE(ch, nullptr);
    const Override over[] = {
        {5, "_ZN7CSerCom4OpenEPKc"},  {6, "_ZN7CSerCom5CloseEv"},     {7, "_ZN7CSerCom8IsOpenedEv"},
        {8, "_ZN7CSerCom9GetHandleEv"}, {11, "_ZN7CSerCom7SetBaudEi"}, {13, "_ZN7CSerCom5PurgeEv"},
        {14, "_ZN7CSerCom4ReadEPhii"}, {15, "_ZN7CSerCom5WriteEPKhi"}, {19, "_ZN7CSerComD1Ev"},
        {20, "_ZN7CSerComD0Ev"},       {21, "_ZN7CSerCom9UpdParamsEPKc"},
    };
    const char* const extra[] = {"_ZN7CSerCom7InitComEv", "_ZN7CSerCom7UpdNoteEv", "_ZN7CSerCom4WaitEv"};
    plugin.ExpectSlots(ch, "_ZTV7CSerCom", "CSerCom", over, 11, extra, 3);

    EXPECT_EQ(ch->GetType(), 0x10000c);
    EXPECT_STREQ(ch->GetNote(), "COM12:9600,n,8,1.5");
    EXPECT_EQ(ch->IsOpened(), 0);
    EXPECT_EQ(ch->GetHandle(), -1);
    EXPECT_EQ(ch->SetPort(1), 0);
    EXPECT_EQ(ch->SetBaud(115200), 1);
    ExpectCommonSlots(ch);
    {
        QuietStdout quiet;
        ASSERT_EQ(ch->Open(nullptr), 1);
    }
    EXPECT_EQ(ch->IsOpened(), 1);
    EXPECT_GE(ch->GetHandle(), 0);
    int written;
    {
        QuietStdout quiet;
        written = ch->Write(reinterpret_cast<const unsigned char*>("\x01\x02"), 2);
    }
    EXPECT_EQ(written, 2);
    {
        QuietStdout quiet;
        EXPECT_EQ(ch->Write("ok"), 2);
    }
    char got[8] = {};
    struct pollfd p = {master, POLLIN, 0};
    int have = 0;
    while (have < 4 && poll(&p, 1, 5000) > 0) {
        ssize_t n = read(master, got + have, sizeof got - static_cast<size_t>(have));
        if (n <= 0) break;
        have += static_cast<int>(n);
    }
    EXPECT_EQ(std::string(got, static_cast<size_t>(have)), std::string("\x01\x02ok"));
    ASSERT_EQ(write(master, "xyz", 3), 3);
    unsigned char in[3] = {};
    {
        QuietStdout quiet;
        EXPECT_EQ(ch->Read(in, 3, 0), 3);
    }
    EXPECT_EQ(memcmp(in, "xyz", 3), 0);
    EXPECT_EQ(ch->Purge(), 1);
    {
        QuietStdout quiet;
        EXPECT_EQ(ch->SetDef("ttyS1:9600"), 1);
    }
    EXPECT_EQ(ch->GetType(), 0x100001);
    EXPECT_EQ(ch->Close(), 1);
    EXPECT_EQ(ch->IsOpened(), 0);
    EXPECT_EQ(ch->Read(in, 3, 0), -1);

    unlink("\\\\.\\COM12");
    EXPECT_EQ(chdir(cwd), 0);
    rmdir(dir);
    close(keep);
    close(master);
}

TEST_F(VtableHost, NetworkChannelSlots) {
    int listener = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr = {};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    ASSERT_EQ(listen(listener, 4), 0);
    socklen_t len = sizeof addr;
    getsockname(listener, reinterpret_cast<sockaddr*>(&addr), &len);
    const int port = ntohs(addr.sin_port);

    contract::Channel* ch;
    {
        QuietStdout quiet;
        ch = manager->GetSer(("127.0.0.1:" + std::to_string(port)).c_str(), 0x200000 + 7);
    }
    ASSERT_NE(ch, nullptr);
    const Override over[] = {
        {5, "_ZN7CSerNet4OpenEPKc"},   {6, "_ZN7CSerNet5CloseEv"},      {7, "_ZN7CSerNet8IsOpenedEv"},
        {10, "_ZN7CSerNet7SetPortEi"}, {13, "_ZN7CSerNet5PurgeEv"},     {14, "_ZN7CSerNet4ReadEPhii"},
        {15, "_ZN7CSerNet5WriteEPKhi"}, {19, "_ZN7CSerNetD1Ev"},        {20, "_ZN7CSerNetD0Ev"},
        {21, "_ZN7CSerNet9UpdParamsEPKc"},
    };
    const char* const extra[] = {"_ZN7CSerNet10InitParamsEv", "_ZN7CSerNet7UpdNoteEv"};
    plugin.ExpectSlots(ch, "_ZTV7CSerNet", "CSerNet", over, 10, extra, 2);

    EXPECT_EQ(ch->GetType(), 0x200007);
    EXPECT_EQ(std::string(ch->GetNote()), "NET " + std::to_string(port) + " 127.0.0.1:" + std::to_string(port));
    EXPECT_EQ(ch->SetBaud(9600), 0);
    ExpectCommonSlots(ch);
    {
        QuietStdout quiet;
        ASSERT_EQ(ch->Open(nullptr), 1);
    }
    EXPECT_EQ(ch->GetHandle(), -1) << "the network channel never hands out its socket";
    int peer = accept(listener, nullptr, nullptr);
    ASSERT_GE(peer, 0);
    {
        QuietStdout quiet;
        EXPECT_EQ(ch->Write("ping"), 4);
    }
    char got[4];
    ASSERT_EQ(recv(peer, got, 4, MSG_WAITALL), 4);
    EXPECT_EQ(memcmp(got, "ping", 4), 0);
    ASSERT_EQ(send(peer, "pong", 4, 0), 4);
    unsigned char in[4];
    {
        QuietStdout quiet;
        EXPECT_EQ(ch->Read(in, 4, 2000), 4);
    }
    EXPECT_EQ(memcmp(in, "pong", 4), 0);
    {
        QuietStdout quiet;
        EXPECT_EQ(ch->Purge(), 1);
    }
    EXPECT_EQ(ch->SetPort(0x200009), 1);
    EXPECT_EQ(ch->GetType(), 0x200009);
    EXPECT_EQ(ch->Close(), 1);
    EXPECT_EQ(ch->Read(in, 4, 0), -1);
    close(peer);
    close(listener);
}

TEST_F(VtableHost, GpioChannelSlots) {
    contract::Channel* ch;
    {
        QuietStdout quiet;
        ch = manager->GetSer("KXI1:vt", 0x800000 + 5);
    }
    ASSERT_NE(ch, nullptr);
    const Override over[] = {
        {5, "_ZN7CSerDio4OpenEPKc"},  {6, "_ZN7CSerDio5CloseEv"},   {7, "_ZN7CSerDio8IsOpenedEv"},
        {8, "_ZN7CSerDio9GetHandleEv"}, {14, "_ZN7CSerDio4ReadEPhii"}, {15, "_ZN7CSerDio5WriteEPKhi"},
        {19, "_ZN7CSerDioD1Ev"},      {20, "_ZN7CSerDioD0Ev"},
    };
    plugin.ExpectSlots(ch, "_ZTV7CSerDio", "CSerDio", over, 8, nullptr, 0);

    EXPECT_EQ(ch->GetType(), 0x800001);
    EXPECT_STREQ(ch->GetNote(), "KXI1:vt");
    EXPECT_EQ(ch->SetDef("other"), 1);
    EXPECT_STREQ(ch->GetNote(), "KXI1:vt");
    EXPECT_EQ(ch->SetPort(3), 0);
    EXPECT_EQ(ch->SetBaud(9600), 0);
    EXPECT_EQ(ch->Purge(), 0);
    ExpectCommonSlots(ch);
    unsigned char io[2] = {2, 1};
    if (access("/dev/gpio", F_OK) != 0) {
        EXPECT_EQ(ch->Open(nullptr), 0);
        EXPECT_EQ(ch->IsOpened(), 0);
        EXPECT_EQ(ch->GetHandle(), -1);
        EXPECT_EQ(ch->Read(io, 2, 0), -1);
        EXPECT_EQ(ch->Write(io, 2), -1);
    }
    EXPECT_EQ(ch->Close(), 1);
}

TEST_F(VtableHost, UsbPlaceholderClassAndNoUsbChannel) {
    {
        QuietStdout quiet;
        EXPECT_EQ(manager->GetSer("usb", 0x400000 + 1), nullptr);
    }
    // Hosts may build the placeholder themselves; its vtable is the base one
    // but for the destructors.
    const char* vt = static_cast<const char*>(plugin.Symbol("_ZTV7CSerUsb"));
    ASSERT_NE(vt, nullptr);
    const void* const* slots = reinterpret_cast<const void* const*>(vt + 2 * sizeof(void*));
    for (int slot = 0; slot < kBaseSlotCount; ++slot) {
        const char* want = kBaseSlots[slot];
        if (slot == 19) want = "_ZN7CSerUsbD1Ev";
        if (slot == 20) want = "_ZN7CSerUsbD0Ev";
        EXPECT_EQ(slots[slot], plugin.Symbol(want)) << "CSerUsb slot " << slot;
    }
}

}  // namespace
