// Checksums and hex-digit conversions.
#include "test_support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <tuple>
#include <vector>

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
        {"read request", "01 03 00 64 00 0A", 0x1284, 0x72, 0x8E, 0x6C},
        {"check string 123456789", "31 32 33 34 35 36 37 38 39", 0x4B37, 0x1DD, 0x23, 0x31},
        {"sum carries past a byte", "80 80", 0xD061, 0x100, 0x100, 0},
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
}

TEST(HexDigits, BothDirections)
{
    // Each function over a list of inputs at once; ':' to '?' read as 10 to 15, like 'A' to 'F'.
    const auto map = [](int (*f)(int), std::vector<int> in) {
        std::transform(in.begin(), in.end(), in.begin(), f);
        return in;
    };
    EXPECT_EQ(map(DigitalToASCII, {0, 9, 10, 15, 16, -1, -48}),
              (std::vector<int>{0x30, 0x39, 0x41, 0x46, 0x47, 0x2F, 0}));
    EXPECT_EQ(map(ASCIIToDigital, {0x20, 0x2F, 0x30, 0x39, 0x3A, 0x3F, 0x40, 0x41, 0x46, 0x47, 0x61, -5, 0}),
              (std::vector<int>{0, 0, 0, 9, 10, 15, 0, 10, 15, 16, 42, 0, 0}));
}
