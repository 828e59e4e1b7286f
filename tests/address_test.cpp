// Host set-up calls, address texts, kind-to-area mapping and unit conversion.
#include "test_support.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstring>

TEST(AddressText, ParsesEveryKind)
{
    const struct { int kind; const char* text; int expected; } cases[] = {
        {3, "120", 120}, {3, "12a", -1}, {3, "-5", -5}, {3, "", -1}, {8, "100", 100}, {11, "7", 7}, {5, "0x10", -1},
        {3, "2147483647", INT_MAX}, {3, "2147483648", -1}, {4, "99999999999", -1},
        // Bit kinds: "byte.bit", a part that does not parse counts 0.
        {0, "10.3", 83}, {0, "10.", 80}, {0, ".", 0}, {0, "abc.2", 2}, {0, "-1.3", -5},
        {0, "10", -1}, {0, "1.2.3", -1}, {0, "", -1}, {1, "3.9", 33}, {1, "4.1", 33}, {2, "5.3", 43},
        {2, "268435455.7", INT_MAX}, {2, "268435456.0", -1}, {1, "1.99999999999", 8},
        // Kinds outside 0..11.
        {12, "5", -1}, {12, "1.2", -1}, {-1, "5", -1}, {-1, "1.2", -1}, {255, "0", -1},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(StringAddressToInt(c.kind, c.text), c.expected) << c.kind << " " << c.text;
        EXPECT_EQ(PLCAddressChangeIntef(c.kind, c.text), c.expected) << c.kind << " " << c.text;
    }
}

TEST(SetUp, SetComInfoClearsOnlyTheTwoReservedWords)
{
    COM_INFO info;
    unsigned char* raw = reinterpret_cast<unsigned char*>(&info);
    std::memset(raw, 0xA7, sizeof info);
    SetComInfo(&info);
    EXPECT_EQ(PLC_driver.comInfo, &info);
    for (size_t i = 0; i < sizeof info; ++i) {
        const bool cleared = (i >= 40 && i < 44) || (i >= 52 && i < 56);
        EXPECT_EQ(raw[i], cleared ? 0x00 : 0xA7) << "byte " << i;
    }
}

TEST(SetUp, FlashLocalRegisterKeepsTheNewestValues)
{
    EXPECT_EQ(LB, 0);
    EXPECT_EQ(LW, 0);
    EXPECT_EQ(RWI, 0);
    FlashLocalRegister(1, -2, 3);
    EXPECT_EQ(LB, 1);
    EXPECT_EQ(LW, -2);
    EXPECT_EQ(RWI, 3);
    FlashLocalRegister(40, 50, 60);
    EXPECT_EQ(LB, 40);
    EXPECT_EQ(LW, 50);
    EXPECT_EQ(RWI, 60);
}

TEST(KindArea, GetPlcReg)
{
    const int area[12] = {3, 4, 8, 3, 4, 8, 3, 4, 8, 3, 4, 8};
    test::DebugCapture log;
    for (int kind = 0; kind < 12; ++kind)
        EXPECT_EQ(getPlcReg(kind), area[kind]) << kind;
    EXPECT_TRUE(log.messages.isEmpty());
    EXPECT_EQ(getPlcReg(12), 12);
    EXPECT_EQ(getPlcReg(-1), -1);
    EXPECT_EQ(log.messages, QStringList({"getPlcReg default 12 ", "getPlcReg default -1 "}));
}

TEST(KindArea, UpdateRwVarConvertsToAreaUnits)
{
    const struct { int kind, addr, len, newKind, newAddr, newLen; } cases[] = {
        {0, 12, 4, 3, 1, 1},   {0, 13, 4, 3, 1, 2},    {1, 83, 10, 4, 10, 2},  {1, 0, 0, 4, 0, 0},
        {2, 43, 1, 8, 2, 1},   {2, 15, 2, 8, 0, 2},    {2, 16, 16, 8, 1, 1},   {3, 5, 7, 3, 5, 7},
        {4, 5, 7, 4, 5, 7},    {5, 3, 2, 8, 1, 2},     {5, 4, 1, 8, 2, 1},     {6, 5, 3, 3, 10, 6},
        {7, 5, 3, 4, 10, 6},   {8, 100, 10, 8, 100, 10}, {9, 3, 1, 3, 12, 4},  {9, 3, 2, 3, 12, 4},
        {10, 3, 3, 4, 12, 8},  {11, 5, 3, 8, 10, 4},   {11, 5, 1, 8, 10, 2},
        // Negative addresses: division truncates, the remainder keeps the dividend's sign.
        {0, -5, 4, 3, 0, 0},   {2, -20, 3, 8, -1, 0},  {5, -3, 2, 8, -1, 1},
    };
    test::DebugCapture log;
    for (const auto& c : cases) {
        RW_VAR v = test::makeVar(c.kind, c.addr, c.len);
        EXPECT_EQ(updateRwVar(&v), 0);
        EXPECT_EQ(v.regKind, c.newKind) << "kind " << c.kind << " at " << c.addr;
        EXPECT_EQ(v.regAddr, c.newAddr) << "kind " << c.kind << " at " << c.addr;
        EXPECT_EQ(v.length, c.newLen) << "kind " << c.kind << " at " << c.addr;
    }
    EXPECT_TRUE(log.messages.isEmpty());

    const int invalid[][3] = {{12, 7, 3}, {-1, -2, -3}};
    for (const auto& c : invalid) {
        RW_VAR v = test::makeVar(c[0], c[1], c[2]);
        EXPECT_EQ(updateRwVar(&v), 0);
        EXPECT_EQ(v.regKind, c[0]);
        EXPECT_EQ(v.regAddr, c[1]);
        EXPECT_EQ(v.length, c[2]);
    }
    EXPECT_EQ(log.messages, QStringList({"updateRwVar default 12 7 3 ", "updateRwVar default -1 -2 -3 "}));
}
