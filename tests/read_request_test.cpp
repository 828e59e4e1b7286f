// Modbus RTU read requests.
#include "test_support.h"

#include <gtest/gtest.h>

#include <tuple>

TEST(ReadRequest, FramesAndAnswerShape)
{
    const struct {
        const char* name;
        int kind, addr, len, station;
        const char* frame;
        int answerLen, dataLen;
    } cases[] = {
        {"registers", 8, 100, 10, 1, "01 03 00 64 00 0A 84 12", 25, 20},
        {"coil bytes as bits", 4, 2, 3, 1, "01 01 00 10 00 18 3D C5", 8, 3},
        {"input bytes, station 2", 3, 0, 1, 2, "02 02 00 00 00 08 79 FF", 6, 1},
        // Station 0 is an ordinary read; a station beyond 255 keeps its low byte.
        {"station 0", 8, 0, 1, 0, "00 03 00 00 00 01 85 DB", 7, 2},
        {"station past 255", 8, 0, 1, 300, "2C 03 00 00 00 01 82 77", 7, 2},
        // Start address and quantity keep their low 16 bits.
        {"coil address 16 bits", 4, 8191, 1, 1, "01 01 FF F8 00 08 8C 29", 6, 1},
        {"coil quantity 16 bits", 4, 8192, 8192, 1, "01 01 00 00 00 00 3C 0A", 8197, 8192},
        // Kinds outside the four areas build nothing.
        {"register bytes", 5, 7, 10, 1, nullptr, 0, 0},
        {"unknown kind", 16, 7, 10, 1, nullptr, 0, 0},
    };
    test::Host host;
    test::DebugCapture log;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        PLC_driver.protocolList.clear();  // the host record stays
        RW_VAR v = test::makeVar(c.kind, c.addr, c.len, c.station);
        ReadRegister(&v);
        ASSERT_EQ(PLC_driver.protocolList.size(), c.frame ? 1 : 0);
        if (!c.frame)
            continue;
        const Protocol& p = PLC_driver.protocolList.first();
        EXPECT_EQ(test::hex(p.frame), c.frame);
        EXPECT_EQ(std::make_tuple(p.frameLen, p.answerLen, p.dataOffset, p.dataLen),
                  std::make_tuple(8, c.answerLen, 3, c.dataLen));
    }
    EXPECT_EQ(log.messages, QStringList({"ReadAnalog default 1 5 7 10 ", "ReadAnalog default 1 16 7 10 "}));
}
