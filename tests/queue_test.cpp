// The write and one-shot read queues, and host writes.
#include "test_support.h"

#include <gtest/gtest.h>

#include <string>

namespace {

using test::entries;

RW_VAR keyed(int varClass, int regAddr, const char* dataHex = "00 01")
{
    RW_VAR v = test::makeVar(8, regAddr, 1, 1, dataHex);
    v.varClass = v.varId = varClass;
    return v;
}

}  // namespace

// A write of a range already waiting replaces that entry, except the head,
// which may be on the wire; past capacity only what replaces is taken.
TEST(RequestQueue, ReplacesAWaitingWriteButNeverTheHeadAndCaps)
{
    test::Host host;
    const QList<RW_VAR>& q = PLC_driver.writeList;
    RW_VAR a = keyed(1, 10), sameAsHead = keyed(9, 10), b = keyed(2, 20), c = keyed(5, 20, "AB CD"),
           headRange = keyed(7, 10, "77 77");
    EXPECT_EQ(AddListWriteVar(&a, 0), 1);
    EXPECT_EQ(AddListWriteVar(&sameAsHead, 0), 2);  // fewer than two waiting: appended
    EXPECT_EQ(AddListWriteVar(&b, 0), 3);
    EXPECT_EQ(AddListWriteVar(&c, 0), 3);          // other keys, same range as b
    EXPECT_EQ(AddListWriteVar(&headRange, 0), 3);  // matches position 1, not the head
    EXPECT_EQ(entries(q), "1/8:10+1 00 01, 1/8:10+1 77 77, 1/8:20+1 AB CD");

    while (q.size() < 1024) {
        RW_VAR v = keyed(0, 100 + q.size());
        AddListWriteVar(&v, 1);
    }
    RW_VAR extra = keyed(0, 5000), replacing = keyed(3, 700);
    EXPECT_EQ(AddListWriteVar(&extra, 0), 1024);
    EXPECT_EQ(AddListWriteVar(&replacing, 0), 1024);
    EXPECT_EQ(q.at(600).varClass, 3);
    EXPECT_EQ(AddListWriteVar(&extra, 1), 1025);
    EXPECT_EQ(AddListWriteVar(nullptr, 0), 1025);
}

// Host kinds become area units, cut into chunks of at most maxPerFrame.
TEST(OnceReadQueue, ChunksInAreaUnitsAndSkipsWaitingDuplicates)
{
    const struct {
        const char* name;
        int kind;
        const char* addr;
        int length, maxPerFrame;
        const char* entries;
    } cases[] = {
        {"inputs in three chunks", 3, "10", 25, 10, "1/3:10+10, 1/3:20+10, 1/3:30+5"},
        {"coil words in two chunks", 7, "4", 3, 4, "1/4:8+4, 1/4:12+2"},
        {"length 0", 8, "0", 0, 10, ""},
    };
    for (const auto& c : cases) {
        test::Host host(c.name);
        host.info.maxPerFrame = c.maxPerFrame;
        test::onceRead(c.kind, c.addr, c.length);
        EXPECT_EQ(entries(PLC_driver.onceReadList), c.entries);
    }
    test::Host host;
    host.info.maxPerFrame = 10;
    for (int varId : {0, 0, 1})  // the same variable is not queued twice, another one is
        EXPECT_EQ(test::onceRead(3, "10", 25, 1, varId), varId ? 6 : 3);
    RW_VAR raw = test::makeVar(42, -7, 3, 0);
    EXPECT_EQ(AddListOnceReadVar(&raw, 1), 7);  // taken as given
}

TEST(HostWrite, SplitsValuesIntoWireOrderRequests)
{
    const struct {
        const char* name;
        int kind;
        const char* addr;
        int count;
        const char* value;
        int maxPerFrame;
        const char *requests, *valueAfter;
    } cases[] = {
        {"registers", 8, "7", 2, "34 12 78 56", 10, "1/8:7+2 12 34 56 78", "34 12 78 56"},
        {"coil bits", 1, "0.2", 3, "01 00 05", 10, "1/1:2+1 FF, 1/1:3+1 00, 1/1:4+1 FF", "01 00 05"},
        {"coil bytes", 4, "9", 2, "11 22 33", 10, "1/4:9+1 11, 1/4:10+1 33", "11 22 33 00"},
        {"chunks of 2", 8, "0", 3, "01 02 03 04 05", 2, "1/8:0+2 02 01 04 03, 1/8:2+1 00 05", "01 02 03 04 05 00"},
        {"dword chunks pad", 11, "5", 3, "00 01 02 03 04 05", 1, "1/11:5+1 01 00 03 02, 1/11:6+1 05 04 00 00",
         "00 01 02 03 04 05 00 00"},
        {"inputs read-only", 3, "1", 2, "01 02", 10, "", "01 02"},
        {"count 0", 8, "1", 0, "", 10, "", ""},
    };
    for (const auto& c : cases) {
        test::Host host(c.name);
        host.info.maxPerFrame = c.maxPerFrame;
        QString name = "tag", addr = c.addr;
        QByteArray value = test::hex(c.value);
        const int result = SetRegisterData(name, c.kind, addr, 1, &value, c.count, 4, 8);
        EXPECT_EQ(result, PLC_driver.writeList.size());
        EXPECT_EQ(entries(PLC_driver.writeList), c.requests);
        EXPECT_EQ(test::hex(value), c.valueAfter);
    }
}

// A host write reaches the store when its request is built, at once while
// the last exchange failed, and only there while the link is down.
TEST(HostWrite, StoreFollowsTheLink)
{
    test::Host host;
    const auto registers = [](int first, int n) { return test::hex(test::image(1, 8).mid(2 * first, 2 * n)); };
    test::hostWrite(8, "3", "34 12 78 56", 2);
    EXPECT_EQ(registers(3, 2), "");
    EXPECT_EQ(test::frontFrame(), "01 10 00 03 00 02 04 12 34 56 78 C8 8E");
    EXPECT_EQ(registers(3, 2), "34 12 78 56");
    PLC_driver.commFailed = 1;
    test::hostWrite(8, "3", "CD AB", 1);
    EXPECT_EQ(registers(3, 1), "CD AB");

    PLC_driver.commFailed = 0;
    host.info.linkState = 1;
    EXPECT_EQ(test::hostWrite(8, "9", "02 01", 1), 3);
    EXPECT_EQ(PLC_driver.commFailed.load(), 1);
    EXPECT_TRUE(PLC_driver.writeList.isEmpty());
    EXPECT_EQ(registers(9, 1), "02 01");
}
