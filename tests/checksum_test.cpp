// Checksums and hex-digit conversions.
#include "test_support.h"

#include <gtest/gtest.h>

#include <tuple>

namespace {
unsigned char* bytes(QByteArray& b) { return reinterpret_cast<unsigned char*>(b.data()); }
unsigned short size(const QByteArray& b) { return static_cast<unsigned short>(b.size()); }
}  // namespace

TEST(Checksums, KnownBuffers)
{
    const struct {
        const char *name, *data;
        unsigned crc, sum, lrc, x;
    } cases[] = {
        {"empty", "", 0xFFFF, 0, 0x100, 0},
        {"read request", "01 03 00 64 00 0A", 0x1284, 0x72, 0x8E, 0x6C},
        {"check string 123456789", "31 32 33 34 35 36 37 38 39", 0x4B37, 0x1DD, 0x23, 0x31},
        {"sum carries past a byte", "80 80", 0xD061, 0x100, 0x100, 0},
        {"one byte", "01", 0x807E, 0x01, 0xFF, 0x01},
        {"bytes cancel in xor", "0F F0 FF", 0x8345, 0x1FE, 0x02, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        QByteArray b = test::hex(c.data);
        EXPECT_EQ(std::make_tuple(CalCRC(bytes(b), size(b)), CalSUM(bytes(b), size(b)), CalLRC(bytes(b), size(b)),
                                  CalXOR(bytes(b), size(b))),
                  std::make_tuple(c.crc, c.sum, c.lrc, c.x));
    }
    // No bytes: nothing may be read.
    EXPECT_EQ(std::make_tuple(CalCRC(nullptr, 0), CalSUM(nullptr, 0), CalLRC(nullptr, 0), CalXOR(nullptr, 0)),
              std::make_tuple(0xFFFF, 0, 256, 0));
    QByteArray ff(300, '\xFF');
    EXPECT_EQ(CalSUM(bytes(ff), 300), 0x2AD4);  // 76,500 mod 65,536
    EXPECT_EQ(CalLRC(bytes(ff), 256), 256);     // the sum is a multiple of 256
    QByteArray longer = test::hex("01 03 00 64 00 0A FF");
    EXPECT_EQ(CalCRC(bytes(longer), 6), 0x1284);  // only the counted bytes
}

TEST(HexDigits, BothDirections)
{
    const int toAscii[][2] = {{0, 0x30}, {9, 0x39}, {10, 0x41}, {15, 0x46}, {16, 0x47}, {-1, 0x2F}, {-48, 0}};
    for (const auto& c : toAscii)
        EXPECT_EQ(DigitalToASCII(c[0]), c[1]) << c[0];
    const int toDigit[][2] = {{0x20, 0},  {0x2F, 0},  {0x30, 0},  {0x39, 9},  {0x3A, 10}, {0x3F, 15}, {0x40, 0},
                              {0x41, 10}, {0x46, 15}, {0x47, 16}, {0x61, 42}, {-5, 0},    {0, 0}};
    for (const auto& c : toDigit)
        EXPECT_EQ(ASCIIToDigital(c[0]), c[1]) << c[0];
}
