// What devices on real lines need: input registers, stations that refuse
// merged or padded reads, and the station options themselves.
#include "test_support.h"

#include <gtest/gtest.h>

#include <string>

namespace {

// Every cyclic request of the read list, without its CRC, in list order.
std::string readFrames()
{
    std::string out;
    for (RW_VAR block : PLC_driver.readList) {
        PLC_driver.protocolList.clear();
        ReadRegister(&block);
        const QByteArray frame = PLC_driver.protocolList.value(0).frame;
        out += (out.empty() ? "" : ", ") + test::hex(frame.left(frame.size() - 2));
    }
    PLC_driver.protocolList.clear();
    return out;
}

}  // namespace

// Input registers are read with function 04 into an area of their own and
// read back in every width, as holding registers are.
TEST(InputRegisters, ReadStoredAndReadBack)
{
    const struct {
        const char* name;
        int kind;
        const char *addr, *frame, *answer, *readBack;
        int count;
    } cases[] = {
        {"words", 14, "0", "07 04 00 00 00 02 71 AD", "07 04 04 12 34 56 78 00 00", "34 12 78 56", 2},
        {"a double word: two registers, low first", 15, "1", "07 04 00 02 00 02 D0 6D", "07 04 04 12 34 56 78 00 00",
         "34 12 78 56", 2},
        {"a bit: the register it lies in", 12, "2.1", "07 04 00 01 00 01 60 6C", "07 04 02 00 02 00 00", "01", 1},
        {"a byte: the high byte of register 1", 13, "3", "07 04 00 01 00 01 60 6C", "07 04 02 AB CD 00 00", "AB 00", 1},
    };
    for (const auto& c : cases) {
        test::Host host(c.name);
        ASSERT_EQ(test::rebuild({{c.kind, 7, c.addr, c.count}}), 1);
        EXPECT_EQ(test::frontFrame(), c.frame);
        EXPECT_EQ(test::answer(c.answer), 1);
        EXPECT_EQ(test::hostRead(c.kind, c.addr, c.count, 7), std::string(c.readBack) + "/1");
        EXPECT_EQ(DataStorage.value(7).keys(), QList<int>{14});  // not the holding registers
        // Read-only: a host write queues nothing and leaves the store alone.
        EXPECT_EQ(test::hostWrite(c.kind, c.addr, "01 00", 1), 0);
        EXPECT_TRUE(PLC_driver.writeList.isEmpty());
        EXPECT_EQ(test::hostRead(c.kind, c.addr, c.count, 7), std::string(c.readBack) + "/1");
    }
}

// A station without merging gets a block per variable, exactly its units:
// no gap between variables and, on Modbus lines, exactly the bits of a bit
// variable. Other stations merge as before.
TEST(StationOptions, UnmergedReadList)
{
    const struct {
        const char* name;
        int maxPerFrame, remote;
        QList<HOST_VAR> vars;
        const char *blocks, *frames;
    } cases[] = {
        {"registers each alone", 100, 0, test::hostList({{11, 1, "20", 1}, {8, 1, "44", 1}}), "1/8:40+2, 1/8:44+1",
         "01 03 00 28 00 02, 01 03 00 2C 00 01"},
        {"coils bit for bit", 100, 0, test::hostList({{1, 1, "0.3", 10}}), "1/1:3+10", "01 01 00 03 00 0A"},
        {"inputs bit for bit", 100, 0, test::hostList({{0, 1, "2.0", 3}}), "1/0:16+3", "01 02 00 10 00 03"},
        {"register bits: the registers they touch", 100, 0,
         test::hostList({{2, 1, "3.7", 2}, {12, 1, "0.0", 17}, {12, 1, "2.0", 16}}), "1/2:31+2, 1/12:0+17, 1/12:16+16",
         "01 03 00 01 00 02, 01 04 00 00 00 02, 01 04 00 01 00 01"},
        {"cut at maxPerFrame units", 2, 0, test::hostList({{1, 1, "0.3", 40}}), "1/1:3+13, 1/1:16+16, 1/1:32+11",
         "01 01 00 03 00 0D, 01 01 00 10 00 10, 01 01 00 20 00 0B"},
        {"the same variable twice: one block", 100, 0, test::hostList({{8, 1, "5", 2}, {8, 1, "5", 2}}), "1/8:5+2",
         "01 03 00 05 00 02"},
        {"other stations still merge", 100, 0, test::hostList({{8, 2, "0", 1}, {8, 2, "5", 1}, {8, 1, "0", 1}}),
         "1/8:0+1, 2/8:0+6", "01 03 00 00 00 01, 02 03 00 00 00 06"},
        {"remote ends: whole units", 100, 1, test::hostList({{1, 1, "0.3", 10}, {8, 1, "9", 1}, {8, 1, "0", 1}}),
         "1/4:0+2, 1/8:0+1, 1/8:9+1", "01 01 00 00 00 10, 01 03 00 00 00 01, 01 03 00 09 00 01"},
    };
    for (const auto& c : cases) {
        test::Host host(c.name);
        host.info.maxPerFrame = c.maxPerFrame;
        host.info.remoteMode = c.remote;
        EXPECT_EQ(SetStationOptions(1, KEMO_STATION_NO_MERGE), 0);
        QList<HOST_VAR> vars = c.vars;
        ReCreatReadVarList(&vars);
        EXPECT_EQ(test::entries(PLC_driver.readList), c.blocks);
        EXPECT_EQ(readFrames(), c.frames);
    }
}

// An answer to a read of exactly some bits sets those bits only; the other
// bits of the same image bytes keep their values.
TEST(StationOptions, ExactBitsStoreOnlyTheirBits)
{
    const struct {
        const char* name;
        int kind;
        const char *addr, *answer;
        int count, area;
        const char *before, *after;
    } cases[] = {
        {"coils 3..12", 1, "0.3", "01 01 02 FF 03 00 00", 10, 4, "05 A0", "FD BF"},
        {"bits 11..13 of register 2", 2, "5.3", "01 03 02 00 00 00 00", 3, 8, "00 00 00 00 FF FF", "00 00 00 00 FF C7"},
        {"bits 15 and 16 across registers", 12, "1.7", "01 04 04 80 00 00 01 00 00", 2, 14, "00 00 00 00",
         "00 80 01 00"},
    };
    for (const auto& c : cases) {
        test::Host host(c.name);
        SetStationOptions(1, KEMO_STATION_NO_MERGE);
        ASSERT_EQ(test::rebuild({{c.kind, 1, c.addr, c.count}}), 1);
        DataStorage[1][c.area] = test::hex(c.before);
        ASSERT_NE(ComCommunication(), 0);
        EXPECT_EQ(test::answer(c.answer), 1);
        EXPECT_EQ(test::hex(test::image(1, c.area)).substr(0, std::string(c.after).size()), c.after);
    }
}

TEST(StationOptions, RefusedArgumentsChangeNothing)
{
    test::Host host;
    const struct {
        const char* name;
        int station, options, previous;
    } cases[] = {
        {"set both", 1, 3, 0},
        {"read back", 1, 0, 3},
        {"last station", 247, 2, 0},
        {"broadcast station", 0, 1, -1},
        {"past the last station", 248, 1, -1},
        {"negative station", -1, 1, -1},
        {"unknown bit", 247, 4, -1},
        {"negative options", 247, -1, -1},
        {"still as set", 247, 0, 2},
    };
    for (const auto& c : cases)
        EXPECT_EQ(SetStationOptions(c.station, c.options), c.previous) << c.name;
}
