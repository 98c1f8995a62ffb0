// Serial definition strings: construction, tokenizer, kinds, type codes, note.
#include <gtest/gtest.h>

#include <climits>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>

#include "SerCom.h"
#include "kxtest.h"

namespace {

std::string Hex32(const void* p) {
    char buf[32];
    snprintf(buf, sizeof buf, "%x", static_cast<unsigned>(reinterpret_cast<uintptr_t>(p)));
    return buf;
}

struct DefRow {
    const char* text;
    const char* port;
    int index;
    int kind;
    int baud;
    int parity;
    int dataBits;
    int stopCode;
    const char* note;
    int defType;
};

const DefRow kRows[] = {
    {"ttyUSB0:115200,N,8,1", "ttyUSB", 0, 0x120000, 115200, 0, 8, 0, "ttyUSB0:115200,n,8,1", 0x120000},
    {"ttyS12:9600,E,7,2", "ttyS1", 2, 0x100000, 9600, 2, 7, 2, "ttyS12:9600,e,7,2", 0x100002},
    {"ttyUSB10:9600", "ttyUSB1", 0, 0x120000, 9600, 0, 8, 1, "ttyUSB10:9600,n,8,1.5", 0x120000},
    {"ESL3:19200,O,8,1.5", "ESL", 3, 0x110000, 19200, 1, 8, 1, "ESL3:19200,O,8,1.5", 0x110003},
    {"ttyACM0:9600,m,8", "ttyACM", 0, 0x120000, 9600, 3, 8, 1, "ttyACM0:9600,m,8,1.5", 0x120000},
    {"ttyS1:9600,,8,1", "ttyS", 1, 0x100000, 9600, 0, 8, 0, "ttyS1:9600,n,8,1", 0x100001},
    {"ttyS0: 115200, E, 8, 1", "ttyS", 0, 0x100000, 115200, 0, 8, 1, "ttyS0:115200,n,8,1.5", 0x100000},
    {"ttyS1:9600:E:8:2", "ttyS", 1, 0x100000, 9600, 2, 8, 2, "ttyS1:9600,e,8,2", 0x100001},
    {"ttyS1:", "ttyS", 1, 0x100000, 9600, 0, 8, 1, "ttyS1:9600,n,8,1.5", 0x100001},
    {"7:4800", "", 7, 0x100000, 4800, 0, 8, 1, "7:4800,n,8,1.5", 0x100007},
    {"/dev/ttyUSB0:9600", "/dev/ttyUSB", 0, 0x100000, 9600, 0, 8, 1, "/dev/ttyUSB0:9600,n,8,1.5", 0x100000},
    {"ttyS1", "COM", 1, 0x100000, 9600, 0, 8, 1, "COM1:9600,n,8,1.5", 0},
    {"9600,E,7,2", "COM", 0, 0x100000, 7, 0, 8, 1, "COM0:7,n,8,1.5", 9600},
    // Further edges.
    {"ttyUSB0:115200,N,8,1,X", "ttyUSB", 0, 0x120000, 115200, 0, 8, 0, "ttyUSB0:115200,n,8,1", 0x120000},
    {"ttyS1:9600,N,8,1.0", "ttyS", 1, 0x100000, 9600, 0, 8, 1, "ttyS1:9600,n,8,1.5", 0x100001},
    {"esl2:9600", "esl", 2, 0x110000, 9600, 0, 8, 1, "esl2:9600,n,8,1.5", 0x110002},
    {"ttyFT0:9600", "ttyFT", 0, 0x120000, 9600, 0, 8, 1, "ttyFT0:9600,n,8,1.5", 0x120000},
    {"ttyXRUSB4:9600,S", "ttyXRUSB", 4, 0x110000, 9600, 4, 8, 1, "ttyXRUSB4:9600,s,8,1.5", 0x110004},
    {"ttyEXA5:1200", "ttyEXA", 5, 0x110000, 1200, 0, 8, 1, "ttyEXA5:1200,n,8,1.5", 0x110005},
    {"TTYSBC6:1200,o,5", "TTYSBC", 6, 0x110000, 1200, 1, 5, 1, "TTYSBC6:1200,O,5,1.5", 0x110006},
    {"ttyEC1:300,e,6,2", "ttyEC", 1, 0x120000, 300, 2, 6, 2, "ttyEC1:300,e,6,2", 0x120001},
    {"ttyUS0:9600", "ttyUS", 0, 0x100000, 9600, 0, 8, 1, "ttyUS0:9600,n,8,1.5", 0x100000},
    {"ttyS1:abc,N,x,1", "ttyS", 1, 0x100000, 9600, 0, 8, 0, "ttyS1:9600,n,8,1", 0x100001},
    {"ttyS:9600", "COM", 9600, 0x100000, 9600, 0, 8, 1, "COM9600:9600,n,8,1.5", 0},
    {"x,,5", "COM", 0, 0x100000, 5, 0, 8, 1, "COM0:5,n,8,1.5", 0},
    {"12", "COM", 1, 0x100000, 9600, 0, 8, 1, "COM1:9600,n,8,1.5", 12},
    // Numbers past the int range saturate on every target instead of wrapping
    // (on x86_64 these would read as 9600 baud, 7 data bits and index 1).
    {"ttyS1:4294976896,E,4294967303,2", "ttyS", 1, 0x100000, INT_MAX, 2, INT_MAX, 2,
     "ttyS1:2147483647,e,2147483647,2", 0x100001},
    {"x,-4294967295,-4294967295", "COM", INT_MIN, 0x100000, INT_MIN, 0, 8, 1,
     "COM-2147483648:-2147483648,n,8,1.5", 0},
    {"x,99999999999", "COM", INT_MAX, 0x100000, 9600, 0, 8, 1, "COM2147483647:9600,n,8,1.5", 0},
    {"4294967297,1", "COM", 1, 0x100000, 9600, 0, 8, 1, "COM1:9600,n,8,1.5", INT_MAX},
};

// Kind + index as the 32-bit target adds them (wrapping), also for a saturated index.
int TypeCode(int kind, int index) {
    return static_cast<int>(static_cast<unsigned>(kind) + static_cast<unsigned>(index));
}

class SerDefTable : public ::testing::TestWithParam<DefRow> {};

TEST_P(SerDefTable, ParsesLikeTheTable) {
    const DefRow& row = GetParam();
    kxtest::StdoutCapture log;
    CSerCom com(row.text);
    log.Stop();
    EXPECT_STREQ(com.m_szPortName, row.port);
    EXPECT_EQ(com.m_nIndex, row.index);
    EXPECT_EQ(com.m_nKind, row.kind);
    EXPECT_EQ(com.GetType(), TypeCode(row.kind, row.index));
    EXPECT_EQ(com.m_nBaud, row.baud);
    EXPECT_EQ(com.m_nParity, row.parity);
    EXPECT_EQ(com.m_nDataBits, row.dataBits);
    EXPECT_EQ(com.m_nStopCode, row.stopCode);
    EXPECT_STREQ(com.GetNote(), row.note);
    EXPECT_EQ(CSerCom::GetDefType(row.text), row.defType);
    EXPECT_EQ(com.m_nHandle, -1);
    EXPECT_FALSE(com.m_bWait);
}

INSTANTIATE_TEST_SUITE_P(Rows, SerDefTable, ::testing::ValuesIn(kRows));

TEST(SerDef, ConstructionLogsInitThenParse) {
    kxtest::StdoutCapture log;
    std::unique_ptr<CSerCom> com(new CSerCom("ttyUSB0:115200,N,8,1"));
    EXPECT_EQ(log.Stop(), "CSerCom InitCom: " + Hex32(com.get()) + "  1\r\n"
                          "CSerCom UpdParams: ComPort: ttyUSB0, 0, 0\r\n");
}

TEST(SerDef, FromNumber) {
    kxtest::StdoutCapture log;
    std::unique_ptr<CSerCom> com(new CSerCom(3));
    EXPECT_EQ(log.Stop(), "CSerCom InitCom: " + Hex32(com.get()) + "  3\r\n");
    EXPECT_EQ(com->GetType(), 0x100003);
    EXPECT_STREQ(com->GetNote(), "COM3:9600,n,8,1.5");
    EXPECT_STREQ(com->m_szPortName, "COM");
}

TEST(SerDef, NullOrEmptyChangesNothingAndLogsNothing) {
    CSerCom com("ttyUSB0:115200,N,8,1");
    kxtest::StdoutCapture log;
    com.UpdParams(nullptr);
    com.UpdParams("");
    EXPECT_EQ(com.SetDef(""), 1);
    EXPECT_EQ(log.Stop(), "");
    EXPECT_EQ(com.GetType(), 0x120000);
    EXPECT_STREQ(com.GetNote(), "ttyUSB0:115200,n,8,1");
    EXPECT_EQ(CSerCom::GetDefType(nullptr), 0);
    EXPECT_EQ(CSerCom::GetDefType(""), 0);

    kxtest::StdoutCapture nullLog;
    CSerCom fromNull(static_cast<const char*>(nullptr));
    EXPECT_STREQ(fromNull.GetNote(), "COM1:9600,n,8,1.5");
    EXPECT_EQ(nullLog.Stop().find("UpdParams"), std::string::npos);
}

TEST(SerDef, SetDefReconfiguresKeepingUnsetFields) {
    CSerCom com("ttyUSB0:115200,N,8,1");
    kxtest::StdoutCapture log;
    EXPECT_EQ(com.SetDef("ttyS1:9600"), 1);
    EXPECT_EQ(log.Stop(), "CSerCom UpdParams: ComPort: ttyS1, 0, 0\r\n");
    EXPECT_EQ(com.m_nKind, 0x100000);
    EXPECT_STREQ(com.m_szPortName, "ttyS");
    EXPECT_EQ(com.m_nIndex, 1);
    EXPECT_EQ(com.m_nParity, 0);
    EXPECT_EQ(com.m_nDataBits, 8);
    EXPECT_EQ(com.m_nStopCode, 0);
    EXPECT_STREQ(com.GetNote(), "ttyS1:9600,n,8,1");
}

TEST(SerDef, SameTypeCodeForOneAdapter) {
    for (const char* text : {"ttyUSB0:9600", "ttyUSB10:9600", "ttyFT0:9600", "ttyACM0:9600"})
        EXPECT_EQ(CSerCom::GetDefType(text), 0x120000) << text;
}

TEST(SerDef, KindPrefixes) {
    struct {
        const char* text;
        int kind;
    } rows[] = {
        {"ESL", 0x110000},      {"eSl9", 0x110000},     {"ttyXRUSB0", 0x110000}, {"ttyexa", 0x110000},
        {"ttySBC1", 0x110000},  {"ttyUSB", 0x120000},   {"TTYFT", 0x120000},     {"ttyEC9", 0x120000},
        {"ttyACM0", 0x120000},  {"ttyAC", 0x100000},    {"ES", 0x100000},        {"", 0x100000},
        {"xESL", 0x100000},     {"ttyS0", 0x100000},
    };
    for (const auto& r : rows) EXPECT_EQ(CSerCom::GetDefKind(r.text), r.kind) << r.text;
}

TEST(SerDef, LongNamesAndTokensAreCutTo15) {
    kxtest::StdoutCapture log;
    const std::string longName(300, 'p');
    CSerCom com((longName + "4:19200,E,7,2").c_str());
    EXPECT_EQ(std::string(com.m_szPortName), std::string(15, 'p'));
    EXPECT_EQ(com.m_nIndex, 4);
    EXPECT_EQ(com.m_nBaud, 19200);
    EXPECT_EQ(com.m_nParity, 2);
    EXPECT_EQ(com.m_nStopCode, 2);

    // A 15-character token is whole; a longer one is cut, so "1.5" padded past 15 is not "1.5".
    CSerCom tok("ttyS1:000000000000000000000000009600,E,8,2");
    EXPECT_EQ(tok.m_nBaud, 0);
    EXPECT_EQ(CSerCom::GetDefType("000000000000000000000000000123,9"), 0);
    EXPECT_EQ(CSerCom::GetDefType("000000000000123,9"), 123);
}

TEST(SerDef, ThousandsOfSeparatorsAndHighBytes) {
    kxtest::StdoutCapture log;
    std::string text = "ttyUSB3:";
    text += std::string(5000, ',');
    CSerCom com(text.c_str());
    EXPECT_EQ(com.GetType(), 0x120003);
    std::string high;
    for (int i = 0x80; i < 0x100; ++i) high += static_cast<char>(i);
    high += "5:9600";
    CSerCom hi(high.c_str());
    EXPECT_EQ(hi.m_nIndex, 5);
    EXPECT_EQ(hi.m_nKind, 0x100000);
    EXPECT_EQ(strlen(hi.m_szPortName), 15u);
}

}  // namespace
