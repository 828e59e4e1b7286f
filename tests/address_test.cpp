// Address texts, kind-to-area mapping and unit conversion.
#include "test_support.h"

#include <gtest/gtest.h>

#include <climits>
#include <tuple>

TEST(AddressText, ParsesEveryKind)
{
    const struct {
        const char* name;
        int kind;
        const char* text;
        int expected;
    } cases[] = {
        {"register", 3, "120", 120},
        {"trailing letter", 3, "12a", -1},
        {"hex prefix", 5, "0x10", -1},
        {"negative register", 3, "-5", -5},
        {"empty", 3, "", -1},
        {"INT_MAX", 3, "2147483647", INT_MAX},
        {"past INT_MAX", 3, "2147483648", -1},
        // Bit kinds: "byte.bit", a part that does not parse counts 0.
        {"byte.bit", 0, "10.3", 83},
        {"no bit", 0, "10.", 80},
        {"no byte", 0, "abc.2", 2},
        {"negative byte", 0, "-1.3", -5},
        {"no dot", 0, "10", -1},
        {"two dots", 0, "1.2.3", -1},
        {"bit past 7", 1, "3.9", 33},
        {"bit address INT_MAX", 2, "268435455.7", INT_MAX},
        {"bit address past INT_MAX", 2, "268435456.0", -1},
        {"bit overflows", 1, "1.99999999999", 8},
        {"input-register bit", 12, "3.2", 26},
        {"kind past the last", 16, "5", -1},
        {"negative kind", -1, "1.2", -1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(StringAddressToInt(c.kind, c.text), c.expected);
        EXPECT_EQ(PLCAddressChangeIntef(c.kind, c.text), c.expected);
    }
}

TEST(KindArea, GetPlcRegAndUpdateRwVar)
{
    test::DebugCapture log;
    for (int kind = 0; kind < 16; ++kind)
        EXPECT_EQ(getPlcReg(kind), kind >= 12 ? 14 : kind % 3 == 0 ? 3 : kind % 3 == 1 ? 4 : 8) << kind;
    EXPECT_TRUE(log.messages.isEmpty());

    // Address and length before and after: area code and area units. The
    // same conversion of the read list's rows (ReadList.MergesGroupsIntoBlocks:
    // input bits in a byte, a register bit, register bytes, double words, and
    // each area's own units) is not repeated here.
    const struct {
        const char* name;
        int kind, addr, len, area, areaAddr, areaLen;
    } cases[] = {
        {"input bits across bytes", 0, 13, 4, 3, 1, 2},
        {"register bits across words", 2, 15, 2, 8, 0, 2},
        {"a word of register bits", 2, 16, 16, 8, 1, 1},
        {"register byte", 5, 4, 1, 8, 2, 1},
        {"input word", 6, 5, 3, 3, 10, 6},
        {"coil word", 7, 5, 3, 4, 10, 6},
        {"coil dword", 10, 3, 3, 4, 12, 8},
        {"register single dword", 11, 5, 1, 8, 10, 2},
        // Negative addresses: division truncates, the remainder keeps the dividend's sign.
        {"negative input bit", 0, -5, 4, 3, 0, 0},
        {"negative register bit", 2, -20, 3, 8, -1, 0},
        {"negative register byte", 5, -3, 2, 8, -1, 1},
        {"input-register dwords", 15, 5, 3, 14, 10, 4},
        {"unknown kind", 16, 7, 3, 16, 7, 3},
        {"negative kind", -1, -2, -3, -1, -2, -3},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        RW_VAR v = test::makeVar(c.kind, c.addr, c.len);
        EXPECT_EQ(updateRwVar(&v), 0);
        EXPECT_EQ(std::make_tuple(v.regKind, v.regAddr, v.length), std::make_tuple(c.area, c.areaAddr, c.areaLen));
    }
    EXPECT_EQ(getPlcReg(-1), -1);
    EXPECT_EQ(log.messages,
              QStringList({"updateRwVar default 16 7 3 ", "updateRwVar default -1 -2 -3 ", "getPlcReg default -1 "}));
}
