// The write and one-shot read queues, and host writes.
#include "test_support.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

struct Entry {
    int station, regKind, regAddr, length;
    bool operator==(const Entry& o) const
    {
        return station == o.station && regKind == o.regKind && regAddr == o.regAddr && length == o.length;
    }
};

std::vector<Entry> entries(const QList<RW_VAR>& list)
{
    std::vector<Entry> out;
    for (const RW_VAR& v : list)
        out.push_back({v.station, v.regKind, v.regAddr, v.length});
    return out;
}

RW_VAR keyed(int varClass, int varId, int regAddr)
{
    RW_VAR v = test::makeVar(8, regAddr, 1, 1, "00 01");
    v.varClass = varClass;
    v.varId = varId;
    return v;
}

}  // namespace

TEST(WriteQueue, ReplacesAWaitingWriteOfTheSameRangeButNeverTheHead)
{
    test::Host host;
    RW_VAR a = keyed(1, 1, 10), b = keyed(2, 2, 20);
    EXPECT_EQ(AddListWriteVar(&a, 0), 1);
    RW_VAR sameAsHead = keyed(9, 9, 10);
    EXPECT_EQ(AddListWriteVar(&sameAsHead, 0), 2);  // fewer than two waiting: appended
    EXPECT_EQ(AddListWriteVar(&b, 0), 3);
    RW_VAR c = keyed(5, 6, 20);  // other keys, same range as b: still replaces it
    c.data = test::hex("AB CD");
    EXPECT_EQ(AddListWriteVar(&c, 0), 3);
    const QList<RW_VAR>& q = PLC_driver.writeList;
    EXPECT_EQ(q.at(2).varClass, 5);
    EXPECT_EQ(q.at(2).data, test::hex("AB CD"));
    RW_VAR headRange = keyed(7, 7, 10);  // matches position 1, not the head
    EXPECT_EQ(AddListWriteVar(&headRange, 0), 3);
    EXPECT_EQ(q.at(0).varClass, 1);
    EXPECT_EQ(q.at(1).varClass, 7);
}

TEST(WriteQueue, CapsAtCapacityUnlessAppendedAsGiven)
{
    test::Host host;
    for (int i = 0; i < 1024; ++i) {
        RW_VAR v = keyed(0, i, i);
        AddListWriteVar(&v, 1);
    }
    RW_VAR extra = keyed(0, 5000, 5000);
    EXPECT_EQ(AddListWriteVar(&extra, 0), 1024);
    RW_VAR replacing = keyed(3, 3, 700);
    EXPECT_EQ(AddListWriteVar(&replacing, 0), 1024);
    EXPECT_EQ(PLC_driver.writeList.at(700).varClass, 3);
    EXPECT_EQ(AddListWriteVar(&extra, 1), 1025);
    EXPECT_EQ(AddListWriteVar(nullptr, 0), 1025);
}

TEST(OnceReadQueue, CutsIntoChunksAndSkipsWaitingDuplicates)
{
    test::Host host;
    host.info.maxPerFrame = 10;
    RW_VAR v = test::makeVar(3, 0, 25);
    v.addrText = "10";
    EXPECT_EQ(AddListOnceReadVar(&v, 0), 3);
    EXPECT_EQ(entries(PLC_driver.onceReadList), (std::vector<Entry>{{1, 3, 10, 10}, {1, 3, 20, 10}, {1, 3, 30, 5}}));
    // The caller's record is left on the last chunk.
    EXPECT_EQ((Entry{v.station, v.regKind, v.regAddr, v.length}), (Entry{1, 3, 30, 5}));

    RW_VAR again = test::makeVar(3, 0, 25);
    again.addrText = "10";
    EXPECT_EQ(AddListOnceReadVar(&again, 0), 3);
    again = test::makeVar(3, 0, 25);
    again.addrText = "10";
    again.varId = 1;  // another variable over the same range is queued
    EXPECT_EQ(AddListOnceReadVar(&again, 0), 6);
}

TEST(OnceReadQueue, ConvertsHostKindsToAreaUnits)
{
    struct Case { int kind; const char* addr; int length; int maxPerFrame; std::vector<Entry> expected; };
    const Case cases[] = {
        {0, "1.5", 4, 10, {{1, 3, 1, 2}}},
        {2, "5.3", 1, 10, {{1, 8, 2, 1}}},
        {11, "3", 3, 10, {{1, 8, 6, 4}}},
        {7, "4", 3, 4, {{1, 4, 8, 4}, {1, 4, 12, 2}}},
        {8, "0", 3, 0, {{1, 8, 0, 1}, {1, 8, 1, 1}, {1, 8, 2, 1}}},    // a limit below 1 counts as 1
        {8, "0", 2, -5, {{1, 8, 0, 1}, {1, 8, 1, 1}}},
        {8, "0", 0, 10, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.kind);
        PLC_driver.onceReadList.clear();
        test::Host host;
        host.info.maxPerFrame = c.maxPerFrame;
        RW_VAR v = test::makeVar(c.kind, 0, c.length);
        v.addrText = c.addr;
        AddListOnceReadVar(&v, 0);
        EXPECT_EQ(entries(PLC_driver.onceReadList), c.expected);
    }
}

TEST(OnceReadQueue, RefusesBadAddressesAndStationZero)
{
    test::Host host;
    struct Case { int kind; const char* addr; int multiStation; int station; int defaultStation; };
    const Case cases[] = {
        {8, "", 1, 1, 1}, {8, "x1", 1, 1, 1}, {0, "10", 1, 1, 1}, {12, "1", 1, 1, 1},
        {8, "1", 0, 3, 0}, {8, "1", 1, 0, 4}, {8, "16777216", 1, 1, 1},
    };
    for (const Case& c : cases) {
        host.info.multiStation = c.multiStation;
        host.info.defaultStation = c.defaultStation;
        RW_VAR v = test::makeVar(c.kind, 0, 1, c.station);
        v.addrText = c.addr;
        EXPECT_EQ(AddListOnceReadVar(&v, 0), 0) << c.kind << " " << c.addr;
    }
    EXPECT_TRUE(PLC_driver.onceReadList.isEmpty());
    RW_VAR raw = test::makeVar(42, -7, 3, 0);
    EXPECT_EQ(AddListOnceReadVar(&raw, 1), 1);  // taken as given
    EXPECT_EQ(PLC_driver.onceReadList.first().regKind, 42);
}

namespace {

struct Request {
    int regAddr, length;
    const char* data;  // nullptr: not checked
};

struct WriteCase {
    const char* name;
    int kind;
    const char* addr;
    int count;
    const char* value;
    int maxPerFrame;
    std::vector<Request> requests;
    const char* valueAfter;  // nullptr: not checked
};

}  // namespace

TEST(HostWrite, SplitsValuesIntoWireOrderRequests)
{
    const WriteCase cases[] = {
        {"word", 8, "7", 2, "34 12 78 56", 10, {{7, 2, "12 34 56 78"}}, "34 12 78 56"},
        {"coil bits", 1, "0.2", 3, "01 00 05", 10, {{2, 1, "FF"}, {3, 1, "00"}, {4, 1, "FF"}}, "01 00 05"},
        {"bytes", 4, "9", 2, "11 22 33", 10, {{9, 1, "11"}, {10, 1, "33"}}, "11 22 33 00"},
        {"chunks", 8, "0", 10, "", 4, {{0, 4, nullptr}, {4, 4, nullptr}, {8, 2, nullptr}}, nullptr},
        {"dwords", 11, "5", 3, "00 01 02 03 04 05", 1, {{5, 1, "01 00 03 02"}, {6, 1, "05 04 00 00"}},
         "00 01 02 03 04 05 00 00"},
        {"coil word", 7, "1", 1, "34 12", 0, {{1, 1, "12 34"}}, "34 12"},
        {"no limit", 8, "0", 3, "01 02 03 04 05 06", 0, {{0, 3, "02 01 04 03 06 05"}}, nullptr},
        {"negative limit", 10, "0", 4, "01 02 03 04 05 06 07 08", -3, {{0, 2, "02 01 04 03 06 05 08 07"}}, nullptr},
        {"holding bit", 2, "5.3", 1, "07", 10, {{43, 1, "FF"}}, nullptr},
        {"read-only", 3, "1", 2, "01 02", 10, {}, "01 02"},
        {"nothing", 8, "1", 0, "", 10, {}, ""},
        {"negative count", 1, "1.1", -4, "", 10, {}, ""},
    };
    for (const WriteCase& c : cases) {
        SCOPED_TRACE(c.name);
        PLC_driver.writeList.clear();
        test::Host host;
        host.info.maxPerFrame = c.maxPerFrame;
        QString name = "tag", addr = c.addr;
        QByteArray value = test::hex(c.value);
        const int result = SetRegisterData(name, c.kind, addr, 1, &value, c.count, 4, 8);
        const QList<RW_VAR>& q = PLC_driver.writeList;
        EXPECT_EQ(result, static_cast<int>(c.requests.size()));
        ASSERT_EQ(q.size(), static_cast<int>(c.requests.size()));
        for (int i = 0; i < q.size(); ++i) {
            const RW_VAR& r = q.at(i);
            EXPECT_EQ(r.regAddr, c.requests[i].regAddr);
            EXPECT_EQ(r.length, c.requests[i].length);
            if (c.requests[i].data) {
                EXPECT_EQ(test::hex(r.data), c.requests[i].data);
            }
            EXPECT_EQ((std::vector<int>{r.writeFlag, r.regKind, r.varClass, r.varId, r.bitMode}),
                      (std::vector<int>{1, c.kind, 4, 8, 0}));
            EXPECT_EQ(r.nameText, QString("tag"));
            EXPECT_EQ(r.addrText, QString(c.addr));
        }
        if (c.valueAfter) {
            EXPECT_EQ(test::hex(value), test::hex(test::hex(c.valueAfter)));
        }
    }
}

namespace {

QByteArray readBack(int kind, const char* addrText, int count)
{
    QString addr = addrText;
    QByteArray out;
    GetRegisterData(0, kind, addr, 1, &out, count);
    return out;
}

}  // namespace

TEST(HostWrite, ReachesTheStoreWhenTheBuilderRunsOrAtOnceWhileFailed)
{
    test::Host host;
    QString name, addr = "3";
    QByteArray value = test::hex("34 12 78 56");
    SetRegisterData(name, 8, addr, 1, &value, 2, 0, 0);
    EXPECT_EQ(test::hex(readBack(8, "3", 2)), "00 00 00 00");  // not yet: the write builder applies it
    EXPECT_EQ(test::frontFrame(), "01 10 00 03 00 02 04 12 34 56 78 C8 8E");
    EXPECT_EQ(test::hex(readBack(8, "3", 2)), "34 12 78 56");

    PLC_driver.commFailed = 1;
    value = test::hex("CD AB");
    SetRegisterData(name, 8, addr, 1, &value, 1, 0, 0);
    EXPECT_EQ(test::hex(readBack(8, "3", 1)), "CD AB");
}

TEST(HostWrite, StaysLocalWhileTheLinkIsDown)
{
    test::Host host;
    RW_VAR older = keyed(1, 1, 40);
    AddListWriteVar(&older, 1);
    host.info.linkState = 1;
    QString name, addr = "9";
    QByteArray value = test::hex("02 01");
    EXPECT_EQ(SetRegisterData(name, 8, addr, 1, &value, 1, 0, 0), 2);
    EXPECT_EQ(PLC_driver.commFailed.load(), 1);
    EXPECT_TRUE(PLC_driver.writeList.isEmpty());
    EXPECT_EQ(test::hex(readBack(8, "9", 1)), "02 01");

    // Read-only kinds queue nothing but still follow the link rules.
    PLC_driver.commFailed = 0;
    AddListWriteVar(&older, 1);
    addr = "1";
    EXPECT_EQ(SetRegisterData(name, 3, addr, 1, &value, 1, 0, 0), 0);
    EXPECT_EQ(PLC_driver.commFailed.load(), 1);
    EXPECT_TRUE(PLC_driver.writeList.isEmpty());
}

TEST(HostWrite, RefusesBadAddressesAndAbsurdCountsWithoutSideEffects)
{
    test::Host host;
    host.info.linkState = 1;  // would force commFailed if the call went ahead
    struct Case { int kind; const char* addr; int count; };
    const Case cases[] = {
        {8, "x", 1}, {8, "-1", 1}, {1, "7", 1}, {13, "1", 1},
        {8, "1", 0x7FFFFFFF}, {11, "0", 0x7FFFFFFF}, {4, "0", 9000000}, {1, "0.0", 0x7FFFFFFF}, {8, "2147483647", 1},
    };
    for (const Case& c : cases) {
        QString name, addr = c.addr;
        QByteArray value = test::hex("01 02");
        EXPECT_EQ(SetRegisterData(name, c.kind, addr, 1, &value, c.count, 0, 0), 0) << c.kind << " " << c.addr;
        EXPECT_EQ(value.size(), 2);
    }
    EXPECT_EQ(PLC_driver.commFailed.load(), 0);
    EXPECT_TRUE(DataStorage.isEmpty());
}
