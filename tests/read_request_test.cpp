// Modbus RTU read requests.
#include "test_support.h"

#include <gtest/gtest.h>

#include <tuple>

TEST(ReadRequest, FramesAndAnswerShape)
{
    const struct {
        int kind, addr, len, station;
        const char* frame;
        int answerLen, dataLen;
    } cases[] = {
        {8, 0, 10, 1, "01 03 00 00 00 0A C5 CD", 25, 20},
        {8, 100, 10, 1, "01 03 00 64 00 0A 84 12", 25, 20},
        {4, 2, 3, 1, "01 01 00 10 00 18 3D C5", 8, 3},
        {3, 0, 1, 2, "02 02 00 00 00 08 79 FF", 6, 1},
        {3, 0, 2, 1, "01 02 00 00 00 10 79 C6", 7, 2},
        // Station 0 is an ordinary read; a station beyond 255 keeps its low byte.
        {8, 0, 1, 0, "00 03 00 00 00 01 85 DB", 7, 2},
        {8, 0, 1, 300, "2C 03 00 00 00 01 82 77", 7, 2},
        // Start address and quantity keep their low 16 bits.
        {4, 8191, 1, 1, "01 01 FF F8 00 08 8C 29", 6, 1},
        {4, 8192, 8192, 1, "01 01 00 00 00 00 3C 0A", 8197, 8192},
        {3, 1, 8191, 1, "01 02 00 08 FF F8 B9 BA", 8196, 8191},
        {8, 70000, 2, 1, "01 03 11 70 00 02 C0 EC", 9, 4},
    };
    test::Host host;
    for (const auto& c : cases) {
        PLC_driver.protocolList.clear();
        host.info.framesPerVar = 7;
        host.info.framesDone = 5;
        RW_VAR v = test::makeVar(c.kind, c.addr, c.len, c.station, "AB");
        v.varClass = 4;
        v.varId = 9;
        v.nameText = "name";
        v.addrText = "text";
        v.bitMode = -1;
        v.spare = 6;
        ReadRegister(&v);
        ASSERT_EQ(PLC_driver.protocolList.size(), 1) << c.frame;
        const Protocol& p = PLC_driver.protocolList.first();
        EXPECT_EQ(test::hex(p.frame), c.frame);
        EXPECT_EQ(p.frameLen, 8);
        EXPECT_EQ(p.answerLen, c.answerLen) << c.frame;
        EXPECT_EQ(p.dataOffset, 3);
        EXPECT_EQ(p.dataLen, c.dataLen) << c.frame;
        EXPECT_EQ(host.info.framesPerVar, 1);
        EXPECT_EQ(host.info.framesDone, 0);
        // The request carries a full copy of the variable, which itself stays as it was.
        const RW_VAR& q = p.var;
        EXPECT_EQ(std::make_tuple(q.varClass, q.varId, q.regKind, q.regAddr, q.length, q.station, q.bitMode, q.spare),
                  std::make_tuple(4, 9, c.kind, c.addr, c.len, c.station, -1, 6));
        EXPECT_EQ(q.nameText, "name");
        EXPECT_EQ(q.addrText, "text");
        EXPECT_EQ(q.data, test::hex("AB"));
        EXPECT_EQ(std::make_tuple(v.regKind, v.regAddr, v.length), std::make_tuple(c.kind, c.addr, c.len));
    }
}

TEST(ReadRequest, TwoCallsQueueTwoRecordsInOrder)
{
    test::Host host;
    RW_VAR first = test::makeVar(8, 0, 10, 1), second = test::makeVar(4, 2, 3, 1);
    ReadRegister(&first);
    host.info.framesDone = 3;
    ReadAnalog(&second);
    ASSERT_EQ(PLC_driver.protocolList.size(), 2);
    EXPECT_EQ(test::hex(PLC_driver.protocolList.at(0).frame), "01 03 00 00 00 0A C5 CD");
    EXPECT_EQ(test::hex(PLC_driver.protocolList.at(1).frame), "01 01 00 10 00 18 3D C5");
    EXPECT_EQ(host.info.framesPerVar, 1);
    EXPECT_EQ(host.info.framesDone, 0);
}

TEST(ReadRequest, KindOutsideTheAreasIsLoggedAndBuildsNothing)
{
    test::Host host;
    host.info.framesPerVar = 7;
    host.info.framesDone = 5;
    test::DebugCapture log;
    for (int kind : {5, 0, 12, -1}) {
        RW_VAR v = test::makeVar(kind, 7, 10, 1);
        ReadRegister(&v);
    }
    EXPECT_EQ(log.messages, QStringList({"ReadAnalog default 1 5 7 10 ", "ReadAnalog default 1 0 7 10 ",
                                         "ReadAnalog default 1 12 7 10 ", "ReadAnalog default 1 -1 7 10 "}));
    EXPECT_TRUE(PLC_driver.protocolList.isEmpty());
    EXPECT_EQ(host.info.framesPerVar, 7);
    EXPECT_EQ(host.info.framesDone, 5);
}
