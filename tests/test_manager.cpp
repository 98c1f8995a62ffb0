// The channel manager and the plug-in's entry points, called directly.
#include <gtest/gtest.h>
#include <stdint.h>

#include <cstdio>
#include <string>
#include <vector>

#include "SerCom.h"
#include "SerDio.h"
#include "SerManager.h"
#include "SerNet.h"
#include "kxSer.h"
#include "kxtest.h"

namespace {

std::string Hex(const void* p) {
    char buf[16];
    snprintf(buf, sizeof buf, "%x", static_cast<unsigned>(reinterpret_cast<uintptr_t>(p)));
    return buf;
}

class ManagerTest : public ::testing::Test {
protected:
    void SetUp() override {
        kxtest::StdoutCapture quiet;
        mgr = CSerManager::GetInstance();
    }
    void TearDown() override {
        kxtest::StdoutCapture quiet;
        CSerManager::FreeInstance();
    }
    // GetSer with the log captured into `log`.
    ISerBase* Get(const char* def, int type, std::string* log = nullptr) {
        kxtest::StdoutCapture cap;
        ISerBase* ser = mgr->GetSer(def, type);
        std::string text = cap.Stop();
        if (log != nullptr) *log = text;
        return ser;
    }
    CSerManager* mgr = nullptr;
};

TEST(EntryPoints, Identify) {
    EXPECT_EQ(DllType(), 0);
    EXPECT_EQ(DllVersion(), 1);
    EXPECT_STREQ(DllNote(), "kxSer.so for ISerBase, support COM, DIO, Net and USB");
    EXPECT_EQ(DllNote(), DllNote()) << "a constant of the library";
}

TEST(EntryPoints, ManagerLifecycleAndLog) {
    kxtest::StdoutCapture cap;
    ISerManager* first = GetSerManager();
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(GetSerManager(), first);
    EXPECT_EQ(static_cast<ISerManager*>(CSerManager::m_pInstance), first);
    const std::string hex = Hex(first);
    EXPECT_EQ(cap.Text(), "SerManager new: " + hex + "\r\n") << "built once";

    FreeSerManager(nullptr);  // the argument is not used
    EXPECT_EQ(CSerManager::m_pInstance, nullptr);
    FreeSerManager(first);    // nothing left to free
    EXPECT_EQ(cap.Stop(), "SerManager new: " + hex + "\r\nSerManager delete: " + hex +
                              "\r\nSerManager free: " + hex + "\r\n");
}

TEST(EntryPoints, FreshManagerAfterFree) {
    kxtest::StdoutCapture quiet;
    ISerManager* first = GetSerManager();
    ASSERT_NE(first->GetSer(nullptr, 0x100003), nullptr);
    FreeSerManager(first);
    ISerManager* second = GetSerManager();
    ASSERT_NE(second, nullptr);
    EXPECT_TRUE(CSerManager::m_pInstance->m_vecSer.empty());
    FreeSerManager(second);
}

TEST_F(ManagerTest, SerialFromNumberIsFoundAgain) {
    std::string log;
    ISerBase* a = Get(nullptr, 0x100003, &log);
    ASSERT_NE(a, nullptr);
    EXPECT_EQ(a->GetType(), 0x100003);
    EXPECT_STREQ(a->GetNote(), "COM3:9600,n,8,1.5");
    EXPECT_EQ(log, "CSerCom InitCom: " + Hex(a) + "  3\r\n");
    EXPECT_EQ(Get(nullptr, 0x100003, &log), a);
    EXPECT_EQ(log, "") << "a channel that is found is not rebuilt";
    EXPECT_EQ(mgr->m_vecSer.size(), 1u);
}

// Requests whose type code no channel can carry: every repeat builds a
// candidate, finds the first channel by the candidate's code and discards it.
TEST_F(ManagerTest, CandidateDiscardedForUnreachableCodes) {
    struct Case {
        int requested;
        int carried;
    };
    for (const Case c : {Case{0, 0x100000}, Case{0x120003, 0x100003}, Case{0x300005, 0x100005}}) {
        ISerBase* first = Get(nullptr, c.requested);
        ASSERT_NE(first, nullptr);
        EXPECT_EQ(first->GetType(), c.carried);
        std::string log;
        EXPECT_EQ(Get(nullptr, c.requested, &log), first);
        EXPECT_NE(log.find("CSerCom InitCom: "), std::string::npos) << "a candidate was built";
        EXPECT_EQ(log.find(Hex(first)), std::string::npos) << "and it was not the first";
    }
    EXPECT_EQ(mgr->m_vecSer.size(), 3u);
}

TEST_F(ManagerTest, SerialFromTextFoundByItsTypeCode) {
    std::string log;
    ISerBase* usb0 = Get("ttyUSB0:115200,N,8,1", 0, &log);
    ASSERT_NE(usb0, nullptr);
    EXPECT_EQ(usb0->GetType(), 0x120000);
    EXPECT_EQ(log, "CSerCom InitCom: " + Hex(usb0) +
                       "  1\r\nCSerCom UpdParams: ComPort: ttyUSB0, 0, 0\r\n");
    // Same kind and index digit: the existing channel, unchanged.
    EXPECT_EQ(Get("ttyUSB0:9600,E,7,1", 0x100000, &log), usb0);
    EXPECT_EQ(log, "");
    EXPECT_STREQ(usb0->GetNote(), "ttyUSB0:115200,n,8,1");
    EXPECT_EQ(Get("ttyACM0:9600", 0x100007), usb0);

    // Different kinds are different channels although one class serves both.
    ISerBase* esl5 = Get("ESL5:9600", 0);
    ISerBase* tty5 = Get("ttyS5:9600", 0);
    EXPECT_EQ(esl5->GetType(), 0x110005);
    EXPECT_EQ(tty5->GetType(), 0x100005);
    EXPECT_NE(esl5, tty5);
    EXPECT_EQ(mgr->m_vecSer.size(), 3u);
}

TEST_F(ManagerTest, UsbBuildsNothing) {
    std::string log;
    EXPECT_EQ(Get("ttyUSB0:9600", 0x400001, &log), nullptr);
    EXPECT_EQ(Get(nullptr, 0x400000, &log), nullptr);
    EXPECT_EQ(log, "");
    EXPECT_TRUE(mgr->m_vecSer.empty());
}

TEST_F(ManagerTest, NetworkFromTextIsRelabelled) {
    std::string log;
    ISerBase* ser = Get("192.168.1.10:502", 0x200001, &log);
    ASSERT_NE(ser, nullptr);
    EXPECT_EQ(log, "SerNet new: " + Hex(ser) + "  192.168.1.10:502\r\n");
    EXPECT_EQ(ser->GetType(), 0x200001);
    CSerNet* net = static_cast<CSerNet*>(static_cast<CSerBase*>(ser));
    EXPECT_EQ(net->m_nPort, 502) << "the remote port stays the one in the text";
    EXPECT_STREQ(net->m_szAddr, "192.168.1.10");
    EXPECT_EQ(Get(nullptr, 0x200001), ser);

    ISerBase* zero = Get("192.168.1.10:502", 0x200000);
    EXPECT_NE(zero, ser);
    EXPECT_EQ(zero->GetType(), 0x200000);
}

TEST_F(ManagerTest, NetworkFromNumber) {
    std::string log;
    ISerBase* ser = Get(nullptr, 0x200000 + 502, &log);
    ASSERT_NE(ser, nullptr);
    EXPECT_EQ(log, "SerNet new: " + Hex(ser) + "  502\r\n");
    EXPECT_EQ(ser->GetType(), 0x2001F6);
    CSerNet* net = static_cast<CSerNet*>(static_cast<CSerBase*>(ser));
    EXPECT_STREQ(net->m_szAddr, "127.0.0.1");
    EXPECT_EQ(net->m_nPort, 502);
}

// A text names the peer: the new channel is relabelled before it is
// registered, so a channel that carries the text's port as its index is
// neither handed out nor renamed.
TEST_F(ManagerTest, NetworkTextGetsThePeerItNamed) {
    ISerBase* other = Get(nullptr, 0x200007);
    ISerBase* got = Get("127.0.0.1:7", 0x200009);
    ASSERT_NE(got, nullptr);
    EXPECT_NE(got, other);
    EXPECT_EQ(got->GetType(), 0x200009);
    EXPECT_EQ(static_cast<CSerNet*>(static_cast<CSerBase*>(got))->m_nPort, 7);
    EXPECT_EQ(other->GetType(), 0x200007);
    EXPECT_EQ(Get(nullptr, 0x200009), got);
    EXPECT_EQ(Get(nullptr, 0x200007), other);
    EXPECT_EQ(mgr->m_vecSer.size(), 2u);
}

TEST_F(ManagerTest, OneGpioChannel) {
    std::string log;
    ISerBase* a = Get(nullptr, 0x800000, &log);
    ASSERT_NE(a, nullptr);
    EXPECT_EQ(a->GetType(), 0x800001);
    EXPECT_EQ(log, "CSerDio::CSerDio: Dio Init\n");
    EXPECT_EQ(Get(nullptr, 0x800000, &log), a);
    EXPECT_EQ(log, "CSerDio::CSerDio: Dio Init\n") << "candidate built and discarded";
    EXPECT_EQ(Get("ignored", 0x800007), a);
    EXPECT_STREQ(a->GetNote(), "KXI1:");
    EXPECT_EQ(Get(nullptr, 0x800001, &log), a);
    EXPECT_EQ(log, "");
    EXPECT_EQ(mgr->m_vecSer.size(), 1u);
}

TEST_F(ManagerTest, FindAndRegister) {
    EXPECT_EQ(mgr->FindType(0x100001), -1);
    EXPECT_EQ(mgr->RegisterNew(nullptr), -1);
    ISerBase* a = Get(nullptr, 0x100001);
    ISerBase* b = Get(nullptr, 0x200009);
    EXPECT_EQ(mgr->FindType(0x100001), 0);
    EXPECT_EQ(mgr->FindType(0x200009), 1);
    CSerCom dup(1);
    EXPECT_EQ(mgr->RegisterNew(&dup), 0) << "same code: not added";
    EXPECT_EQ(mgr->m_vecSer.size(), 2u);
    EXPECT_EQ(mgr->m_vecSer[0], a);
    EXPECT_EQ(mgr->m_vecSer[1], b);
}

// Records the order in which the manager destroys its channels.
std::vector<int>* g_destroyed = nullptr;
class Tracked : public CSerBase {
public:
    explicit Tracked(int index) : CSerBase(index) {}
    ~Tracked() override { g_destroyed->push_back(m_nIndex); }
};

TEST(ManagerDestruction, LastRegisteredFirst) {
    std::vector<int> destroyed;
    g_destroyed = &destroyed;
    kxtest::StdoutCapture quiet;
    CSerManager* mgr = CSerManager::GetInstance();
    for (int i = 1; i <= 4; ++i) ASSERT_EQ(mgr->RegisterNew(new Tracked(i)), i - 1);
    CSerManager::FreeInstance();
    EXPECT_EQ(destroyed, (std::vector<int>{4, 3, 2, 1}));
    g_destroyed = nullptr;
}

}  // namespace
