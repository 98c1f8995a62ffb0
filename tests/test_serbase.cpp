// Base-channel behaviour every family inherits.
#include <gtest/gtest.h>

#include "SerBase.h"
#include "kxtest.h"

namespace {

// Records what the base Write(text) forwards.
class RecordingChannel : public CSerBase {
public:
    RecordingChannel() : CSerBase(1) {}
    int Write(const unsigned char* buf, int len) override {
        lastBuf = buf;
        lastLen = len;
        return len;
    }
    using CSerBase::Write;
    const unsigned char* lastBuf = nullptr;
    int lastLen = -2;
};

TEST(SerBase, DefaultsAndTypeCode) {
    CSerBase fresh(1);
    EXPECT_EQ(fresh.GetType(), 0x100001);
    EXPECT_STREQ(fresh.GetNote(), "CSerBase");
    EXPECT_EQ(fresh.m_nByteTimeout, 6);
    EXPECT_EQ(fresh.m_nBaseTimeout, 100);
    EXPECT_FALSE(fresh.IsBusy());

    CSerBase seven(7);
    EXPECT_EQ(seven.GetType(), 0x100007);
    CSerBase fromText("ignored:9600");
    EXPECT_EQ(fromText.GetType(), 0x100001);
}

TEST(SerBase, NeutralOperations) {
    CSerBase b(1);
    unsigned char buf[4] = {};
    EXPECT_EQ(b.Open(nullptr), 0);
    EXPECT_EQ(b.Close(), 0);
    EXPECT_EQ(b.IsOpened(), 0);
    EXPECT_EQ(b.GetHandle(), -1);
    EXPECT_EQ(b.SetDef("x"), 1);
    EXPECT_EQ(b.SetPort(5), 0);
    EXPECT_EQ(b.SetBaud(9600), 0);
    EXPECT_EQ(b.Purge(), 0);
    EXPECT_EQ(b.Read(buf, 4, 0), -1);
    EXPECT_EQ(b.Write(buf, 4), -1);
    EXPECT_EQ(b.Write("abc"), -1);
    EXPECT_EQ(b.SetTimeout(-5, 0), 1);
    EXPECT_EQ(b.m_nByteTimeout, -5);
    EXPECT_EQ(b.m_nBaseTimeout, 0);
}

TEST(SerBase, LockMarksBusy) {
    CSerBase b(1);
    b.Lock();
    EXPECT_TRUE(b.IsBusy());
    b.Unlock();
    EXPECT_FALSE(b.IsBusy());
    b.Lock();  // the lock is free again
    b.Unlock();
}

TEST(SerBase, WriteTextForwardsLength) {
    RecordingChannel c;
    const char* text = "hello";
    EXPECT_EQ(c.Write(text), 5);
    EXPECT_EQ(c.lastBuf, reinterpret_cast<const unsigned char*>(text));
    EXPECT_EQ(c.lastLen, 5);
    EXPECT_EQ(c.Write(""), 0);
    EXPECT_EQ(c.lastLen, 0);
    c.lastLen = -2;
    EXPECT_EQ(c.Write(static_cast<const char*>(nullptr)), -1);
    EXPECT_EQ(c.lastLen, -2) << "a null text must not reach the channel";
}

TEST(SerBase, Observers) {
    CSerBase b(1);
    ISerObserver a, bb, c;
    EXPECT_EQ(b.InsertObserver(nullptr), -1);
    EXPECT_EQ(b.InsertObserver(&a), 0);
    EXPECT_EQ(b.InsertObserver(&a), 0);
    EXPECT_EQ(b.m_vecObserver.size(), 1u);
    EXPECT_EQ(b.InsertObserver(&bb), 1);
    EXPECT_EQ(b.InsertObserver(&c), 2);
    EXPECT_EQ(b.RemoveObserver(&bb), 1);
    EXPECT_EQ(b.InsertObserver(&c), 1);
    EXPECT_EQ(b.RemoveObserver(&bb), -1);
    EXPECT_EQ(b.RemoveObserver(nullptr), -1);
    EXPECT_EQ(b.RemoveObserver(&a), 0);
    EXPECT_EQ(b.RemoveObserver(&c), 0);
    EXPECT_TRUE(b.m_vecObserver.empty());
}

}  // namespace
