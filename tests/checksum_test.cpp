// Checksums and hex-digit conversions.
#include "test_support.h"

#include <gtest/gtest.h>

#include <random>

namespace {

unsigned char* bytes(QByteArray& b) { return reinterpret_cast<unsigned char*>(b.data()); }

struct SumCase {
    const char* data;
    unsigned crc, sum, lrc;
};

// Plain bit-by-bit CRC-16/MODBUS, as an independent reference for the table-driven one.
unsigned short bitwiseCrc(const QByteArray& data)
{
    unsigned crc = 0xFFFF;
    for (char c : data) {
        crc ^= static_cast<unsigned char>(c);
        for (int i = 0; i < 8; ++i)
            crc = (crc & 1) ? (crc >> 1) ^ 0xA001 : crc >> 1;
    }
    return static_cast<unsigned short>(crc);
}

}  // namespace

TEST(Checksums, KnownBuffers)
{
    const SumCase cases[] = {
        {"", 0xFFFF, 0, 0x100},
        {"01 03 00 00 00 0A", 0xCDC5, 0x0E, 0xF2},
        {"01 03 00 64 00 0A", 0x1284, 0x72, 0x8E},
        {"31 32 33 34 35 36 37 38 39", 0x4B37, 0x1DD, 0x23},  // "123456789"
        {"61 62 63", 0x5749, 0x126, 0xDA},
        {"80 80", 0xD061, 0x100, 0x100},
        {"01", 0x807E, 0x01, 0xFF},
    };
    for (const SumCase& c : cases) {
        QByteArray b = test::hex(c.data);
        const unsigned short n = static_cast<unsigned short>(b.size());
        EXPECT_EQ(CalCRC(bytes(b), n), c.crc) << c.data;
        EXPECT_EQ(CalSUM(bytes(b), n), c.sum) << c.data;
        EXPECT_EQ(CalLRC(bytes(b), n), c.lrc) << c.data;
    }
    EXPECT_EQ(CalCRC(nullptr, 0), 0xFFFF);
    EXPECT_EQ(CalSUM(nullptr, 0), 0);
    EXPECT_EQ(CalLRC(nullptr, 0), 256);

    QByteArray ff(300, '\xFF');
    EXPECT_EQ(CalSUM(bytes(ff), 300), 0x2AD4);  // 76,500 mod 65,536
    EXPECT_EQ(CalLRC(bytes(ff), 256), 256);     // sum is a multiple of 256
}

TEST(Checksums, CrcMatchesBitwiseReferenceOnRandomBuffers)
{
    std::mt19937 rng(20240611);
    for (int round = 0; round < 300; ++round) {
        QByteArray b(static_cast<int>(rng() % 600), '\0');
        for (char& c : b)
            c = static_cast<char>(rng());
        ASSERT_EQ(CalCRC(bytes(b), static_cast<unsigned short>(b.size())), bitwiseCrc(b)) << test::hex(b);
    }
    QByteArray one = test::hex("A5");  // only the counted bytes are covered
    QByteArray longer = test::hex("A5 5A");
    EXPECT_EQ(CalCRC(bytes(longer), 1), CalCRC(bytes(one), 1));
}

TEST(Checksums, Xor)
{
    const struct { const char* data; unsigned expected; } cases[] = {
        {"AB", 0xAB}, {"0F F0 FF", 0x00}, {"0F F0", 0xFF}, {"01 02 04 08", 0x0F},
    };
    for (const auto& c : cases) {
        QByteArray b = test::hex(c.data);
        EXPECT_EQ(CalXOR(bytes(b), static_cast<unsigned short>(b.size())), c.expected) << c.data;
    }
    EXPECT_EQ(CalXOR(nullptr, 0), 0);
}

TEST(HexDigits, BothDirections)
{
    const int toAscii[][2] = {{0, 0x30}, {9, 0x39}, {10, 0x41}, {15, 0x46}, {16, 0x47}, {-1, 0x2F}, {-48, 0}};
    for (const auto& c : toAscii)
        EXPECT_EQ(DigitalToASCII(c[0]), c[1]) << c[0];

    const int toDigit[][2] = {{0x20, 0}, {0x2F, 0},  {0x30, 0},  {0x39, 9},  {0x3A, 10}, {0x3F, 15}, {0x40, 0},
                              {0x41, 10}, {0x46, 15}, {0x47, 16}, {0x61, 42}, {-5, 0},    {0, 0}};
    for (const auto& c : toDigit)
        EXPECT_EQ(ASCIIToDigital(c[0]), c[1]) << c[0];
}
