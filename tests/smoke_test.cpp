// One read, end to end, through the host interface.
#include "test_support.h"

#include <gtest/gtest.h>

TEST(ReadCycle, HoldingRegistersReachTheStore)
{
    test::Host host;
    host.info.maxPerFrame = 10;
    QList<HOST_VAR> vars;
    HOST_VAR v{};
    v.regKind = 8;
    v.station = 1;
    v.addrText = "100";
    v.length = 10;
    vars << v;
    ASSERT_EQ(ReCreatReadVarList(&vars), 1);
    EXPECT_EQ(test::frontFrame(), "01 03 00 64 00 0A 84 12");
    EXPECT_EQ(test::answer("01 03 14 00 01 00 02 00 03 00 04 00 05 00 06 00 07 00 08 00 09 00 0A 00 00"), 1);
    QString addr = "100";
    QByteArray out;
    ASSERT_EQ(GetRegisterData(0, 8, addr, 1, &out, 10), 1);
    EXPECT_EQ(test::hex(out), "01 00 02 00 03 00 04 00 05 00 06 00 07 00 08 00 09 00 0A 00");
}
