// The register store: image sizing and host reads.
#include "test_support.h"

#include <gtest/gtest.h>

#include <climits>

TEST(StoreSizing, ImagesBySizeAndArea)
{
    const struct {
        const char* name;
        int station, kind, addr, len, area, size;
    } cases[] = {
        {"coil word sized in coil bytes", 1, 7, 10, 1, 4, 13},
        {"registers", 2, 8, 10, 4, 8, 28},
        {"input bits", 4, 0, 17, 3, 3, 22},
        {"coils at 0, length 0", 8, 4, 0, 0, 4, 2},
        {"nothing to hold: empty image", 9, 8, 0, 0, 8, 0},
        {"negative address: empty image", 10, 8, -5, 2, 8, 0},
        {"unknown kind keyed by itself", 11, 16, 3, 2, 16, 10},
        {"one register past 16 MiB: no image", 12, 8, 8388608, 1, 8, -1},
    };
    test::DebugCapture log;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ControlInformationM record = {c.station, c.kind, c.addr, c.len};
        checkTheStorage(record);
        EXPECT_EQ(DataStorage.value(c.station).keys(), c.size < 0 ? QList<int>() : QList<int>{c.area});
        EXPECT_EQ(DataStorage.value(c.station).value(c.area), QByteArray(std::max(c.size, 0), '\0'));
    }
    EXPECT_EQ(log.messages, QStringList({"getPlcReg default 16 ", "**** ERROR checkTheStorage default "}));

    // Images only grow, and keep their bytes.
    DataStorage[2][8] = QByteArray(28, '\x5A');
    for (ControlInformationM record : {ControlInformationM{2, 8, 0, 4}, ControlInformationM{2, 8, 20, 4}})
        checkTheStorage(record);
    EXPECT_EQ(DataStorage[2][8], QByteArray(28, '\x5A') + QByteArray(20, '\0'));
}

TEST(HostRead, WidthsCountsAndTheImageBound)
{
    test::Host host;
    RW_VAR v = test::makeVar(8, 0, 2);
    ReadRegister(&v);
    ASSERT_EQ(test::answer("01 03 04 12 34 56 78 00 00"), 1);  // kept low byte first: 34 12 78 56
    DataStorage[1][4] = test::hex("A5 01 FF 00 11 22 00 00");
    DataStorage[1][3] = test::hex("0F F0");
    DataStorage[3][8] = test::hex("01 02 03 04 05 06 07 08");
    const struct {
        const char* name;
        int station, kind;
        const char* addr;
        int count;
        const char* out;
    } cases[] = {
        {"registers", 1, 8, "0", 2, "34 12 78 56/1"},
        {"registers past the image", 1, 8, "1", 3, "78 56 00 00 00 00/1"},
        {"register bytes", 1, 5, "1", 2, "12 78 00 00/1"},
        {"register bits", 1, 2, "0.0", 8, "00 00 01 00 01 01 00 00/1"},
        {"register dwords", 1, 11, "0", 3, "34 12 78 56 00 00 00 00/1"},
        // Coil words stop where the image ends: before the reads that lengthen it.
        {"coil words", 1, 7, "0", 2, "A5 01 FF 00/1"},
        {"coil words at the image end", 1, 7, "3", 2, "00 00/1"},
        {"coil word past the image", 1, 7, "4", 1, "/1"},
        {"coil bits", 1, 1, "0.7", 2, "01 01/1"},
        // Bit 8n+k is bit k of byte n.
        {"input bits across bytes", 1, 0, "1.4", 4, "01 01 01 01/1"},
        {"inputs", 1, 3, "1", 1, "F0 00/1"},
        {"no image: zeros", 2, 8, "0", 2, "00 00 00 00/1"},
        {"count 0", 5, 8, "3", 0, "/1"},
        {"negative count reads the rest", 3, 8, "1", -1, "03 04 05 06 07 08/1"},
        {"negative bit count", 3, 2, "0.0", -3, "/1"},
        // An invalid address gives zeros (never a giant array) and touches nothing.
        {"invalid address, huge count", 4, 3, "x", INT_MAX, "/0"},
        // No image grows past 16 MiB, whatever the width.
        {"input past 16 MiB", 4, 3, "16777214", 1, "00 00/0"},
        {"input bit past 16 MiB", 4, 0, "2097152.0", 1, "00 00/0"},
        {"register dword past 16 MiB", 4, 11, "4194304", 1, "00 00/0"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(test::hostRead(c.kind, c.addr, c.count, c.station), c.out);
    }
    EXPECT_EQ(DataStorage.value(5).value(8).size(), 6);  // created all the same
    EXPECT_FALSE(DataStorage.contains(4));

    // With one station only, the default station is read.
    host.info.multiStation = 0;
    host.info.defaultStation = 7;
    DataStorage[7][8] = test::hex("AA BB");
    EXPECT_EQ(test::hostRead(8, "0", 1, 9), "AA BB/1");
    EXPECT_FALSE(DataStorage.contains(9));
}
