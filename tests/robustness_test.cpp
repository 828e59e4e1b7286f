// Bad input from the host or the wire: the driver keeps running, refuses
// what it cannot do, and never reads or grows past its bounds.
#include "test_support.h"

#include <gtest/gtest.h>

#include <climits>
#include <string>
#include <tuple>

namespace {

// SetRegisterData on the host's own value array (nullptr: none).
int writeArray(int kind, QString addr, int count, QByteArray* value)
{
    QString name;
    return SetRegisterData(name, kind, addr, 1, value, count, 0, 0);
}

}  // namespace

// No side effects either: no image, no queue entry, no link state change,
// no lengthened value array.
TEST(BadInput, InvalidAddressesAndKindsAreRefusedEverywhere)
{
    test::Host host;
    host.info.linkState = 1;  // a write that went ahead would mark the link failed
    const struct {
        const char* name;
        int kind;
        const char* addr;
    } cases[] = {
        {"register text", 8, "abc"},         {"negative register", 8, "-3"},  {"bit address without a dot", 0, "10"},
        {"negative bit address", 2, "-1.3"}, {"kind past the last", 16, "1"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        QByteArray value = test::hex("01 02");
        EXPECT_EQ(test::hostRead(c.kind, c.addr, 3), "00 00 00 00 00 00/0");
        EXPECT_EQ(writeArray(c.kind, c.addr, 1, &value) + test::onceRead(c.kind, c.addr, 1), 0);
        EXPECT_EQ(test::rebuild({{c.kind, 1, c.addr, 1}}), 0);
        EXPECT_EQ(value.size(), 2);
    }
    EXPECT_TRUE(DataStorage.isEmpty());
    EXPECT_TRUE(PLC_driver.writeList.isEmpty() && PLC_driver.onceReadList.isEmpty());
    EXPECT_EQ(PLC_driver.commFailed.load(), 0);
}

TEST(BadInput, AbsurdCountsStayBounded)
{
    test::Host host;
    const struct {
        const char* name;
        int kind;
        const char* addr;
        int count, written;
        const char* read;  // bytes and result
    } cases[] = {
        {"register count -1", 8, "0", -1, 0, "/1"},
        {"dword count -7", 11, "0", -7, 0, "/1"},
        {"bit count INT_MIN", 1, "0.0", INT_MIN, 0, "/1"},
        // Past the image bound.
        {"dwords INT_MAX", 11, "0", INT_MAX, 0, "/0"},
        {"bits INT_MAX", 1, "0.0", INT_MAX, 0, "/0"},
        {"dword at INT_MAX", 9, "2147483647", 2, 0, "00 00 00 00/0"},
        {"register past 16 MiB", 8, "8388608", 1, 0, "00 00/0"},
        {"last register of 16 MiB", 8, "8388607", 1, 1, "00 00/1"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        QByteArray value(2, '\x01');
        EXPECT_EQ(test::hostRead(c.kind, c.addr, c.count), c.read);
        EXPECT_EQ(writeArray(c.kind, c.addr, c.count, &value), c.written);
        EXPECT_EQ(value.size(), 2);  // the host's array is not lengthened
    }
    EXPECT_EQ(test::onceRead(8, "8388608", 1) + test::onceRead(8, "8388607", 1),
              1);  // the last register an image may hold
}

// Limits below 1 still end: reads are cut into chunks of one unit, while a
// host write sends all its items in one request.
TEST(BadInput, LimitsBelowOneAndStationZero)
{
    for (int limit : {0, -1, INT_MIN}) {
        test::Host host(std::to_string(limit));
        host.info.maxPerFrame = limit;
        EXPECT_EQ(std::make_tuple(test::rebuild({{8, 1, "0", 5}}), test::onceRead(8, "0", 3),
                                  test::hostWrite(8, "0", "01 01 01 01", 2)),
                  std::make_tuple(5, 3, 1));
    }
    // Station 0 is read from by no one; a write to it is a broadcast.
    test::Host host;
    EXPECT_EQ(test::rebuild({{8, 0, "0", 1}}) + test::onceRead(8, "0", 1, 0), 0);
    host.info.multiStation = 0;
    host.info.defaultStation = 0;  // the default station stands in for every variable's
    EXPECT_EQ(test::onceRead(8, "0", 1, 3), 0);
    RW_VAR broadcast = test::writeVar(8, 0, "12 34", 0);
    AddListWriteVar(&broadcast, 1);
    ASSERT_NE(ComCommunication(), 0);
    EXPECT_EQ(PLC_driver.protocolList.first().answerLen, 0);
    EXPECT_EQ(test::answer(nullptr), 1);  // nobody answers a broadcast
}

// Calls that need settings do nothing before SetComInfo; null records and
// arrays from the host count as empty.
TEST(BadInput, CallsBeforeSetComInfoAndNullPointers)
{
    EXPECT_EQ(ComCommunication(), 0);
    test::queueRequest(test::makeVar(8, 0, 1), 7);
    EXPECT_EQ(test::answer("01 03 02 12 34 00 00"), 1);
    EXPECT_EQ(PLC_driver.protocolList.size(), 1);  // not taken
    PLC_driver.protocolList.clear();
    EXPECT_EQ(test::hostRead(8, "0", 1), "00 00/0");
    EXPECT_EQ(test::hostWrite(8, "0", "01 01", 1) + test::onceRead(8, "0", 1) + test::rebuild({{8, 1, "0", 1}}), 0);
    EXPECT_EQ(PLCAddressChangeIntef(0, "1.2"), 10);
    EnCommStation(3, 0);
    EXPECT_EQ(Ethernetcontains(3), 1);

    test::Host host;
    EXPECT_EQ(ReCreatReadVarList(nullptr) + AddListWriteVar(nullptr, 0) + AddListOnceReadVar(nullptr, 0), 0);
    QString one = "1";
    EXPECT_EQ(AddListReadVar(nullptr) + GetRegisterData(0, 8, one, 1, nullptr, 1), 0);
    EXPECT_EQ(writeArray(8, "1", 1, nullptr), 1);
    EXPECT_EQ(test::hex(PLC_driver.writeList.first().data), "00 00");  // written as zeros
    SetComInfo(nullptr);
    EXPECT_EQ(ComCommunication(), 0);
}
