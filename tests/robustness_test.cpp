// Bad input from the host or the wire: the driver keeps running, refuses
// what it cannot do, and never reads or grows past its bounds.
#include "test_support.h"

#include <gtest/gtest.h>

#include <climits>

namespace {

int hostRead(int kind, const char* addrText, int count, QByteArray& out)
{
    QString addr = addrText;
    return GetRegisterData(0, kind, addr, 1, &out, count);
}

int hostWrite(int kind, const char* addrText, int count, QByteArray value = QByteArray(4, '\x01'))
{
    QString name, addr = addrText;
    return SetRegisterData(name, kind, addr, 1, &value, count, 0, 0);
}

int onceRead(int kind, const char* addrText, int length, int station = 1)
{
    RW_VAR v = test::makeVar(kind, 0, length, station);
    v.addrText = addrText;
    return AddListOnceReadVar(&v, 0);
}

int rebuild(int kind, const char* addrText, int length, int station = 1)
{
    QList<HOST_VAR> vars;
    HOST_VAR v{};
    v.regKind = static_cast<unsigned char>(kind);
    v.station = static_cast<unsigned char>(station);
    v.addrText = addrText;
    v.length = length;
    vars << v;
    return ReCreatReadVarList(&vars);
}

}  // namespace

TEST(BadInput, InvalidAddressesAndKindsAreRefusedEverywhere)
{
    test::Host host;
    struct Case { int kind; const char* addr; };
    const Case cases[] = {{8, ""}, {8, "abc"}, {8, "-3"}, {8, "99999999999"}, {0, "10"}, {1, "1.2.3"},
                          {2, "-1.3"}, {12, "1"}, {-1, "1"}, {255, "1"}};
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.kind) + " '" + c.addr + "'");
        QByteArray out;
        EXPECT_EQ(hostRead(c.kind, c.addr, 3, out), 0);
        EXPECT_EQ(out, QByteArray(6, '\0'));
        EXPECT_EQ(hostWrite(c.kind, c.addr, 1), 0);
        EXPECT_EQ(onceRead(c.kind, c.addr, 1), 0);
        EXPECT_EQ(rebuild(c.kind, c.addr, 1), 0);
    }
    EXPECT_TRUE(DataStorage.isEmpty());
    EXPECT_TRUE(PLC_driver.writeList.isEmpty());
    EXPECT_EQ(PLC_driver.commFailed.load(), 0);
}

TEST(BadInput, AbsurdCountsStayBounded)
{
    test::Host host;
    struct Case { int kind; const char* addr; int count; int result; int outBytes; };
    const Case cases[] = {
        {8, "0", -1, 1, 0},               // a negative word count reads the rest of an empty image
        {11, "0", -7, 1, 0},
        {1, "0.0", INT_MIN, 1, 0},
        {4, "0", INT_MAX, 0, 0},          // beyond the image bound: refused, no giant output
        {8, "0", INT_MAX, 0, 0},
        {9, "2147483647", 2, 0, 4},       // the address alone is past the bound
        {8, "8388607", 1, 1, 2},          // the last register an image may hold
        {8, "8388608", 1, 0, 2},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.kind) + " " + c.addr + " " + std::to_string(c.count));
        QByteArray out;
        EXPECT_EQ(hostRead(c.kind, c.addr, c.count, out), c.result);
        EXPECT_EQ(out.size(), c.outBytes);
        QByteArray value(2, '\x01');
        QString name, addr = c.addr;
        SetRegisterData(name, c.kind, addr, 1, &value, c.count, 0, 0);
        EXPECT_LE(value.size(), 4);
    }
    for (const auto& station : DataStorage)
        for (const QByteArray& image : station)
            EXPECT_LE(image.size(), 16 * 1024 * 1024);
}

TEST(BadInput, LimitsBelowOneStillEnd)
{
    for (int limit : {0, -1, INT_MIN}) {
        SCOPED_TRACE(limit);
        PLC_driver.onceReadList.clear();
        test::Host host;
        host.info.maxPerFrame = limit;
        EXPECT_EQ(rebuild(8, "0", 5), 5);
        EXPECT_EQ(onceRead(8, "0", 3), 3);
        PLC_driver.writeList.clear();
        EXPECT_EQ(hostWrite(8, "0", 2), 1);  // one request carries every item
    }
}

TEST(BadInput, StationZero)
{
    test::Host host;
    EXPECT_EQ(rebuild(8, "0", 1, 0), 0);
    EXPECT_EQ(onceRead(8, "0", 1, 0), 0);
    RW_VAR broadcast = test::makeVar(8, 0, 1, 0, "12 34");
    broadcast.writeFlag = 1;
    AddListWriteVar(&broadcast, 1);
    const Protocol* p = reinterpret_cast<Protocol*>(ComCommunication());
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(p->answerLen, 0);
    EXPECT_EQ(test::answer(nullptr), 1);  // nobody answers a broadcast
}

TEST(BadInput, AnswersOfEveryWrongLengthAreCountedNotStored)
{
    test::Host host;
    host.info.retryLimit = 100;
    ASSERT_EQ(rebuild(8, "0", 2), 1);
    const Protocol* p = reinterpret_cast<Protocol*>(ComCommunication());
    ASSERT_EQ(p->answerLen, 9);
    QByteArray full = test::hex("01 03 04 12 34 56 78 00 00") + QByteArray(40, '\x55');
    for (int n = 1; n < 40; ++n) {
        if (n == 9)
            continue;
        QByteArray bytes = full.left(n);
        EXPECT_EQ(DataCom(&bytes, bytes.size())->retCode, 0) << n;  // retried
    }
    QByteArray out;
    hostRead(8, "0", 2, out);
    EXPECT_EQ(out, QByteArray(4, '\0'));
}

TEST(BadInput, ReceivedCountsThatDisagreeWithTheBytes)
{
    test::Host host;
    ASSERT_EQ(rebuild(8, "0", 2), 1);
    ComCommunication();
    QByteArray shortAnswer = test::hex("01 03 04 12 34");  // claims 9, holds 5
    EXPECT_EQ(DataCom(&shortAnswer, 9)->retCode, 1);
    QByteArray out;
    hostRead(8, "0", 2, out);
    EXPECT_EQ(test::hex(out), "34 12 00 00");  // only what arrived

    ComCommunication();
    EXPECT_EQ(DataCom(nullptr, 9)->retCode, 1);  // no bytes at all: nothing stored, nothing read

    RW_VAR any = test::makeVar(8, 0, 2);
    AddListOnceReadVar(&any, 1);
    Protocol* q = reinterpret_cast<Protocol*>(ComCommunication());
    q->answerLen = -1;  // any length accepted
    QByteArray huge(70000, '\x7F');
    EXPECT_EQ(DataCom(&huge, -1)->retCode, 1);
}

TEST(BadInput, CallsBeforeSetComInfo)
{
    EXPECT_EQ(ComCommunication(), 0);
    EXPECT_EQ(DataCom(nullptr, 0)->retCode, 1);
    QByteArray out;
    EXPECT_EQ(hostRead(8, "0", 1, out), 0);
    EXPECT_EQ(hostWrite(8, "0", 1), 0);
    EXPECT_EQ(onceRead(8, "0", 1), 0);
    EXPECT_EQ(rebuild(8, "0", 1), 0);
    EXPECT_EQ(QueryFinishFlag(), 1);
    EXPECT_EQ(PLCAddressChangeIntef(0, "1.2"), 10);
    EnCommStation(3, 0);
    EXPECT_EQ(Ethernetcontains(3), 1);
}

TEST(BadInput, NullPointersFromTheHost)
{
    test::Host host;
    EXPECT_EQ(ReCreatReadVarList(nullptr), 0);
    EXPECT_EQ(AddListWriteVar(nullptr, 0), 0);
    EXPECT_EQ(AddListOnceReadVar(nullptr, 0), 0);
    EXPECT_EQ(AddListReadVar(nullptr), 0);
    QString addr = "1";
    EXPECT_EQ(GetRegisterData(0, 8, addr, 1, nullptr, 1), 0);
    QString name;
    EXPECT_EQ(SetRegisterData(name, 8, addr, 1, nullptr, 1, 0, 0), 1);  // written as zeros
    SetComInfo(nullptr);
    EXPECT_EQ(ComCommunication(), 0);
}
