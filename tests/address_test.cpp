// Address texts, kind-to-area mapping and unit conversion.
#include "test_support.h"

#include <gtest/gtest.h>

#include <climits>
#include <tuple>

TEST(AddressText, ParsesEveryKind)
{
    const struct {
        int kind;
        const char* text;
        int expected;
    } cases[] = {
        {3, "120", 120},
        {3, "12a", -1},
        {3, "-5", -5},
        {3, "", -1},
        {11, "7", 7},
        {5, "0x10", -1},
        {3, "2147483647", INT_MAX},
        {3, "2147483648", -1},
        // Bit kinds: "byte.bit", a part that does not parse counts 0.
        {0, "10.3", 83},
        {0, "10.", 80},
        {0, "abc.2", 2},
        {0, "-1.3", -5},
        {0, "10", -1},
        {0, "1.2.3", -1},
        {1, "3.9", 33},
        {2, "268435455.7", INT_MAX},
        {2, "268435456.0", -1},
        {1, "1.99999999999", 8},
        {12, "5", -1},
        {-1, "1.2", -1},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(StringAddressToInt(c.kind, c.text), c.expected) << c.kind << " " << c.text;
        EXPECT_EQ(PLCAddressChangeIntef(c.kind, c.text), c.expected) << c.kind << " " << c.text;
    }
}

TEST(KindArea, GetPlcRegAndUpdateRwVar)
{
    test::DebugCapture log;
    for (int kind = 0; kind < 12; ++kind)
        EXPECT_EQ(getPlcReg(kind), kind % 3 == 0 ? 3 : kind % 3 == 1 ? 4 : 8) << kind;
    EXPECT_TRUE(log.messages.isEmpty());

    // Kind, address, length before and after: area code and area units.
    const int cases[][6] = {
        {0, 12, 4, 3, 1, 1},
        {0, 13, 4, 3, 1, 2},
        {1, 83, 10, 4, 10, 2},
        {2, 43, 1, 8, 2, 1},
        {2, 15, 2, 8, 0, 2},
        {2, 16, 16, 8, 1, 1},
        {4, 5, 7, 4, 5, 7},
        {5, 3, 2, 8, 1, 2},
        {5, 4, 1, 8, 2, 1},
        {6, 5, 3, 3, 10, 6},
        {7, 5, 3, 4, 10, 6},
        {8, 100, 10, 8, 100, 10},
        {9, 3, 1, 3, 12, 4},
        {10, 3, 3, 4, 12, 8},
        {11, 5, 3, 8, 10, 4},
        {11, 5, 1, 8, 10, 2},
        // Negative addresses: division truncates, the remainder keeps the dividend's sign.
        {0, -5, 4, 3, 0, 0},
        {2, -20, 3, 8, -1, 0},
        {5, -3, 2, 8, -1, 1},
        {12, 7, 3, 12, 7, 3},
        {-1, -2, -3, -1, -2, -3},  // unknown kinds stay as they are
    };
    for (const auto& c : cases) {
        RW_VAR v = test::makeVar(c[0], c[1], c[2]);
        EXPECT_EQ(updateRwVar(&v), 0);
        EXPECT_EQ(std::make_tuple(v.regKind, v.regAddr, v.length), std::make_tuple(c[3], c[4], c[5]))
            << "kind " << c[0] << " at " << c[1] << " length " << c[2];
    }
    EXPECT_EQ(getPlcReg(-1), -1);
    EXPECT_EQ(log.messages,
              QStringList({"updateRwVar default 12 7 3 ", "updateRwVar default -1 -2 -3 ", "getPlcReg default -1 "}));
}
