// The register store: image sizing and host reads.
#include "test_support.h"

#include <gtest/gtest.h>

namespace {

int imageSize(int station, int area)
{
    if (!DataStorage.contains(station) || !DataStorage.value(station).contains(area))
        return -1;
    return DataStorage.value(station).value(area).size();
}

// Reads through the host interface; "" for an empty result.
std::string read(int kind, const char* addr, int count, int station = 1, int* result = nullptr)
{
    QString text = addr;
    QByteArray out = "junk";
    const int r = GetRegisterData(0, kind, text, station, &out, count);
    if (result)
        *result = r;
    return test::hex(out);
}

// Stores an answer to a read of `length` units of `area` at `addr` on station 1.
void storeAnswer(int area, int addr, int length, const char* answerHex)
{
    RW_VAR v = test::makeVar(area, addr, length, 1);
    ReadRegister(&v);
    ASSERT_EQ(test::answer(answerHex), 1);
}

}  // namespace

TEST(StoreSizing, CheckTheStorageSizesByArea)
{
    const struct { int station, kind, addr, len, area, size; } cases[] = {
        {1, 7, 10, 1, 4, 13},  // a coil word is sized in bytes of the coil area
        {2, 8, 10, 4, 8, 28},  {3, 3, 5, 0, 3, 7},   {4, 0, 17, 3, 3, 22}, {5, 11, 3, 2, 8, 10},
        {6, 10, 3, 2, 4, 7},   {7, 5, 4, 4, 8, 16},  {8, 4, 0, 0, 4, 2},   {9, 8, 0, 0, 8, 0},
        {10, 8, -5, 2, 8, 0},  // nothing to hold: an empty image
    };
    test::DebugCapture log;
    for (const auto& c : cases) {
        ControlInformationM record = {c.station, c.kind, c.addr, c.len};
        checkTheStorage(record);
        EXPECT_EQ(imageSize(c.station, c.area), c.size) << "station " << c.station;
        EXPECT_EQ(DataStorage.value(c.station).size(), 1) << "station " << c.station;
        EXPECT_EQ(DataStorage.value(c.station).value(c.area), QByteArray(c.size, '\0'));
    }
    EXPECT_TRUE(log.messages.isEmpty());
}

TEST(StoreSizing, ImagesOnlyGrowAndKeepTheirBytes)
{
    const struct { int addr, len, size; } steps[] = {{10, 4, 28}, {0, 4, 28}, {20, 4, 48}, {1, 1, 48}};
    for (const auto& s : steps) {
        ControlInformationM record = {1, 8, s.addr, s.len};
        checkTheStorage(record);
        ASSERT_EQ(imageSize(1, 8), s.size) << s.addr;
        if (s.addr == 10)
            DataStorage[1][8] = QByteArray(28, '\x5A');
    }
    EXPECT_EQ(DataStorage[1][8], QByteArray(28, '\x5A') + QByteArray(20, '\0'));
}

TEST(StoreSizing, InvalidKindIsLoggedAndKeyedByItself)
{
    test::DebugCapture log;
    ControlInformationM record = {1, 12, 3, 2};
    checkTheStorage(record);
    EXPECT_EQ(log.messages, QStringList({"getPlcReg default 12 ", "**** ERROR checkTheStorage default "}));
    EXPECT_EQ(imageSize(1, 12), 10);
}

TEST(HostRead, EveryWidthFromStoredAnswers)
{
    test::Host host;
    storeAnswer(8, 0, 2, "01 03 04 12 34 56 78 00 00");  // image 34 12 78 56
    storeAnswer(4, 0, 6, "01 01 06 A5 01 FF 00 11 22 00 00");
    DataStorage[1][3] = test::hex("0F F0");
    const struct { int kind; const char* addr; int count; const char* out; } cases[] = {
        // holding registers, low byte first in the image
        {8, "0", 1, "34 12"}, {8, "0", 2, "34 12 78 56"}, {8, "1", 3, "78 56 00 00 00 00"},
        {5, "0", 1, "34 00"}, {5, "1", 2, "12 78 00 00"}, {5, "3", 1, "56 00"},
        {2, "1.4", 1, "01"}, {2, "0.0", 8, "00 00 01 00 01 01 00 00"}, {2, "3.6", 3, "01 00 00"},
        {11, "0", 1, "34 12 78 56"}, {11, "0", 2, "34 12 78 56"}, {11, "0", 3, "34 12 78 56 00 00 00 00"},
        // coils (8 image bytes); words stop where the image ends, so they go before
        // the reads that lengthen it
        {7, "0", 2, "A5 01 FF 00"}, {7, "3", 2, "00 00"}, {7, "4", 1, ""},
        {10, "1", 2, "11 22 00 00"}, {10, "1", 3, "11 22 00 00 00 00 00 00"},
        {4, "2", 2, "FF 00 00 00"}, {4, "20", 1, "00 00"},
        {1, "0.0", 3, "01 00 01"}, {1, "1.0", 2, "01 00"}, {1, "0.7", 2, "01 01"},  // coil 8n+k is bit k of byte n
        // discrete inputs
        {0, "1.4", 4, "01 01 01 01"}, {3, "1", 1, "F0 00"}, {6, "0", 1, "0F F0"}, {9, "0", 2, "0F F0 00 00"},
    };
    for (const auto& c : cases) {
        int result = -1;
        EXPECT_EQ(read(c.kind, c.addr, c.count, 1, &result), c.out) << c.kind << " " << c.addr << " " << c.count;
        EXPECT_EQ(result, 1);
    }
}

TEST(HostRead, FreshStoreAndCountEdges)
{
    test::Host host;
    EXPECT_EQ(read(8, "0", 2), "00 00 00 00");
    EXPECT_EQ(DataStorage[1][8], QByteArray(4, '\0'));
    EXPECT_EQ(read(7, "10", 1), "");  // coil words need a stored answer first
    EXPECT_EQ(imageSize(1, 4), 13);

    int result = -1;
    EXPECT_EQ(read(8, "3", 0, 2, &result), "");
    EXPECT_EQ(result, 1);
    EXPECT_EQ(imageSize(2, 8), 6);  // created all the same

    DataStorage[3][8] = test::hex("01 02 03 04 05 06 07 08");
    EXPECT_EQ(read(8, "1", -1, 3), "03 04 05 06 07 08");  // negative count: the rest of the image
    for (int kind : {2, 5, 11})
        EXPECT_EQ(read(kind, kind == 2 ? "0.0" : "0", -3, 3, &result), "") << kind;
    EXPECT_EQ(result, 1);
}

TEST(HostRead, InvalidAddressGivesZerosAndTouchesNothing)
{
    test::Host host;
    const struct { int kind; const char* addr; int count; const char* out; } cases[] = {
        {0, "10", 3, "00 00 00 00 00 00"}, {3, "x", 2, "00 00 00 00"}, {3, "-5", 1, "00 00"},
        {12, "5", 1, "00 00"}, {-1, "5", 2, "00 00 00 00"}, {8, "1.5", 0, ""}, {8, "z", -4, ""},
    };
    for (const auto& c : cases) {
        int result = -1;
        EXPECT_EQ(read(c.kind, c.addr, c.count, 1, &result), c.out) << c.kind << " " << c.addr;
        EXPECT_EQ(result, 0);
    }
    EXPECT_TRUE(DataStorage.isEmpty());
}

TEST(HostRead, SingleStationModeReadsTheDefaultStation)
{
    test::Host host;
    host.info.multiStation = 0;
    host.info.defaultStation = 5;
    DataStorage[5][8] = test::hex("AA BB");
    EXPECT_EQ(read(8, "0", 1, 9), "AA BB");
    EXPECT_FALSE(DataStorage.contains(9));
}

TEST(HostRead, ImagesAreBoundedAt16MiB)
{
    test::Host host;
    const struct { int kind; const char* addr; int count; int result; } cases[] = {
        {8, "8388608", 1, 0},      // 2 * (a + 1) bytes: one register past the bound
        {3, "16777214", 1, 0},     // a + 1 + 2 spare bytes
        {0, "2097152.0", 1, 0},    // bit index sized as bytes
        {11, "4194304", 1, 0},     // touches 4 * (a + 1) bytes
        {8, "0", 2147483647, 0},   {4, "0", 2147483647, 0}, {10, "0", 2147483647, 0}, {1, "0.0", 2147483647, 0},
        {3, "2147483647", 1, 0},   {9, "2147483647", 2, 0},
        {3, "x", 2147483647, 0},   // an invalid address never builds a giant zero array
        {8, "8388607", 1, 1},      // exactly 16 MiB fits
    };
    for (const auto& c : cases) {
        QString text = c.addr;
        QByteArray out;
        EXPECT_EQ(GetRegisterData(0, c.kind, text, 1, &out, c.count), c.result) << c.kind << " " << c.addr;
        EXPECT_LE(out.size(), 4) << c.kind << " " << c.addr;  // 2 * count zeros at most, never a giant array
        if (c.result == 0) {
            EXPECT_FALSE(DataStorage.contains(1)) << c.kind << " " << c.addr;
        }
    }
    EXPECT_EQ(imageSize(1, 8), 16 * 1024 * 1024);

    ControlInformationM beyond = {2, 8, 8388608, 1};
    checkTheStorage(beyond);
    EXPECT_FALSE(DataStorage.contains(2));
}

TEST(HostRead, QueryFinishFlagAlwaysReportsDone)
{
    EXPECT_EQ(QueryFinishFlag(), 1);
    test::Host host;
    EXPECT_EQ(QueryFinishFlag(), 1);
}
