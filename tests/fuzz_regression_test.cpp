// Inputs the fuzzers turned up, kept as plain tests.
#include "test_support.h"

#include <gtest/gtest.h>

#include <climits>

using test::ListVar;
using test::rebuild;

// A variable the image bound allows (a few MiB of one area) cut at a limit of
// one unit made millions of read blocks: gigabytes and seconds per rebuild.
// A read list holds at most 65536 blocks, a whole register map at one per block.
TEST(FuzzRegression, ReadListBlockCountIsBounded)
{
    struct Case {
        const char* what;
        int maxPerFrame;
        std::initializer_list<ListVar> vars;
        int blocks, lastStation, lastAddr;
    };
    const Case cases[] = {
        {"33.9 M bits, limit 6", 6, {{0, 1, "0.0", 33882112}}, 65536, 1, 6 * 65535},
        {"limit below 1 counts as 1", INT_MIN, {{3, 1, "0", 1 << 22}}, 65536, 1, 65535},
        {"a full register map still fits", 1, {{8, 1, "0", 65536}}, 65536, 1, 65535},
        {"the cap is shared across stations", 1, {{8, 1, "0", 40000}, {8, 2, "0", 40000}}, 65536, 2, 25535},
        {"ordinary lists are untouched", 125, {{8, 1, "0", 1000}, {4, 1, "0", 250}}, 10, 1, 875},
    };
    for (const Case& c : cases) {
        test::Host host(c.what);
        host.info.maxPerFrame = c.maxPerFrame;
        ASSERT_EQ(rebuild(c.vars), c.blocks);
        const RW_VAR& last = PLC_driver.readList.last();
        EXPECT_EQ(last.station, c.lastStation);
        EXPECT_EQ(last.regAddr, c.lastAddr);
    }
}

// A negative length that doubles or quadruples past the int range wrapped to
// a huge positive block: such a variable is dropped, for the read list and
// the one-shot queue alike.
TEST(FuzzRegression, WrappedNegativeLengthsAreDropped)
{
    test::Host host;
    host.info.maxPerFrame = INT_MAX;
    for (int kind : {7, 10}) {
        SCOPED_TRACE(kind);
        EXPECT_EQ(rebuild({{kind, 2, "0", -1075705340}, {8, 1, "0", 4}}), 1);
        EXPECT_EQ(PLC_driver.readList.first().length, 4);
        EXPECT_EQ(test::onceRead(kind, "0", -1075705340), 0);
    }
}
