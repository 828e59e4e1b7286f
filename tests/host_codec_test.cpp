// plc-host's value codecs: host-order bytes of GetRegisterData to text, and
// command-line text to the bytes SetRegisterData takes. Register values are
// checked against the bytes as they travel (registers high byte first); the
// driver's host order (each register low byte first) is derived from them.
// Byte order of every kind against the controller's memory is in host_it.py.
#include "ValueCodec.h"

#include <gtest/gtest.h>

namespace {

using host::Tag;
using host::ValueType;
using host::WordOrder;

constexpr int kCoilBit = 1, kHrByte = 5, kCoilDword = 10, kHrWord = 8, kHrDword = 11, kIrWord = 14, kIrDword = 15;

// Wire bytes <-> the driver's host order: the two bytes of every register swap.
QByteArray swapped(QByteArray b)
{
    for (int i = 0; i + 1 < b.size(); i += 2)
        std::swap(b.data()[i], b.data()[i + 1]);
    return b;
}

Tag tagOf(int kind, ValueType type, int count, WordOrder order = WordOrder::ABCD)
{
    Tag t;
    t.name = "t";
    t.kind = kind;
    t.count = count;
    t.type = type;
    t.wordOrder = order;
    return t;
}

// What encodeValue refuses `text` with; "accepted" when it takes it.
std::string refusal(const Tag& t, const char* text)
{
    try {
        host::encodeValue(t, text);
        return "accepted";
    } catch (const host::ConfigError& e) {
        return e.what();
    }
}

struct WireCase {
    const char* name;
    int kind;
    ValueType type;
    WordOrder order;
    const char* text;
    const char* wire;  // the registers' bytes as they travel
};

const WireCase kWireCases[] = {
    {"u16", kHrWord, ValueType::U16, WordOrder::ABCD, "4660", "1234"},
    {"i16_most_negative", kIrWord, ValueType::I16, WordOrder::ABCD, "-32768", "8000"},
    {"f32_abcd", kHrWord, ValueType::F32, WordOrder::ABCD, "123456", "47f12000"},
    {"u32_abcd", kHrWord, ValueType::U32, WordOrder::ABCD, "305419896", "12345678"},
    {"u32_cdab", kHrWord, ValueType::U32, WordOrder::CDAB, "305419896", "56781234"},
    {"u32_badc", kIrWord, ValueType::U32, WordOrder::BADC, "305419896", "34127856"},
    {"u32_dcba", kHrWord, ValueType::U32, WordOrder::DCBA, "305419896", "78563412"},
    {"i32_abcd", kHrWord, ValueType::I32, WordOrder::ABCD, "-2147483647", "80000001"},
    {"u64_abcd", kHrWord, ValueType::U64, WordOrder::ABCD, "72623859790382856", "0102030405060708"},
    {"u64_cdab_registers_reversed", kHrWord, ValueType::U64, WordOrder::CDAB, "72623859790382856", "0708050603040102"},
    {"u64_top", kHrWord, ValueType::U64, WordOrder::ABCD, "18446744073709551615", "ffffffffffffffff"},
    {"i64_abcd", kHrWord, ValueType::I64, WordOrder::ABCD, "-9223372036854775807", "8000000000000001"},
    {"f64_abcd", kHrWord, ValueType::F64, WordOrder::ABCD, "-1234.5678901234567", "c0934a4584fd0fdf"},
    {"string_abcd_first_char_high", kHrWord, ValueType::String, WordOrder::ABCD, "ABCD", "41424344"},
    {"string_cdab_keeps_register_order", kHrWord, ValueType::String, WordOrder::CDAB, "ABCD", "41424344"},
    {"string_badc_swaps_bytes", kIrWord, ValueType::String, WordOrder::BADC, "ABCD", "42414443"},
    {"string_dcba_swaps_bytes", kHrWord, ValueType::String, WordOrder::DCBA, "ABCD", "42414443"},
    {"dword_cdab_as_ever", kHrDword, ValueType::F32, WordOrder::CDAB, "-1.5", "0000bfc0"},
    {"dword_abcd", kIrDword, ValueType::U32, WordOrder::ABCD, "305419896", "12345678"},
    {"dword_hex", kHrDword, ValueType::Hex, WordOrder::CDAB, "0x12345678", "56781234"},
};

// Both ways: the wire bytes show as the text, and the text is written as the wire bytes.
TEST(HostCodec, TypesAndWordOrdersOnTheWire)
{
    for (const WireCase& c : kWireCases) {
        SCOPED_TRACE(c.name);
        const QByteArray wire = QByteArray::fromHex(c.wire);
        const int registers = wire.size() / 2;
        const Tag t = tagOf(c.kind, c.type, c.kind == kHrDword || c.kind == kIrDword ? 1 : registers, c.order);
        EXPECT_EQ(host::formatItem(t, swapped(wire), 0), c.text);
        const host::EncodedValue v = host::encodeValue(t, c.text);
        EXPECT_EQ(swapped(v.bytes).toHex().toStdString(), c.wire);
        EXPECT_EQ(v.count, registers);
        EXPECT_EQ(host::rawHex(t, swapped(wire)), c.wire);
    }
}

struct ScaleCase {
    const char* name;
    ValueType type;
    double scale, offset;
    const char* wire;   // read
    const char* shown;  // its value shown
    const char* typed;  // a value written
    const char* sent;   // its wire bytes; empty: refused, naming `sent`'s range in `words`
    const char* words;
};

const ScaleCase kScaleCases[] = {
    {"tenths", ValueType::U16, 0.1, 0, "08fd", "230.1", "230.14", "08fd", ""},
    {"rounded_to_nearest", ValueType::U16, 0.1, 0, "0000", "0", "0.06", "0001", ""},
    {"offset_and_sign", ValueType::I16, 0.5, -40, "ff9c", "-90", "-40.5", "ffff", ""},
    {"float_scaled", ValueType::F32, 1000, 0, "3f800000", "1000", "2500", "40200000", ""},
    {"over_the_raw_type", ValueType::U16, 0.1, 0, "0000", "0", "6553.6", "", "0..6553.5"},
    {"under_with_offset", ValueType::I16, 1, -40, "0000", "-40", "-32809", "", "-32808..32727"},
    {"not_a_number", ValueType::U16, 0.1, 0, "0000", "0", "high", "", "is not u16"},
};

TEST(HostCodec, ScaleAndOffset)
{
    for (const ScaleCase& c : kScaleCases) {
        SCOPED_TRACE(c.name);
        const QByteArray wire = QByteArray::fromHex(c.wire);
        Tag t = tagOf(kHrWord, c.type, wire.size() / 2);
        t.scale = c.scale;
        t.offset = c.offset;
        EXPECT_EQ(host::formatItem(t, swapped(wire), 0), c.shown);
        if (*c.sent) {
            EXPECT_EQ(swapped(host::encodeValue(t, c.typed).bytes).toHex().toStdString(), c.sent);
            continue;
        }
        const std::string why = refusal(t, c.typed);
        EXPECT_NE(why.find(c.words), std::string::npos) << why;
    }
}

struct FormatCase {
    const char* name;
    int kind;
    ValueType type;
    int count;
    const char* hostBytes;
    int item;
    const char* text;
};

const FormatCase kFormatCases[] = {
    {"f32_full_precision", kHrDword, ValueType::F32, 1, "4940db0f", 0, "3.14159274"},
    {"coil_dword_hex_eight_digits", kCoilDword, ValueType::Hex, 1, "0100ff00", 0, "0x00ff0001"},
    {"byte_hex_two_digits", kHrByte, ValueType::Hex, 1, "0700", 0, "0x07"},
    {"bit_low_bit_only", kCoilBit, ValueType::Bit, 2, "fe03", 0, "0"},
    {"short_buffer_missing_bytes_zero", kHrWord, ValueType::U16, 1, "12", 0, "18"},
    {"item_beyond_buffer_zero", kHrDword, ValueType::U32, 2, "01000000", 1, "0"},
    {"second_float_of_a_word_tag", kHrWord, ValueType::F32, 4, "00000000c03f0000", 1, "1.5"},
    {"string_ends_at_nul", kHrWord, ValueType::String, 3, "4241430000000000", 0, "AB"},
};

TEST(HostCodec, FormatItem)
{
    for (const FormatCase& c : kFormatCases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(host::formatItem(tagOf(c.kind, c.type, c.count), QByteArray::fromHex(c.hostBytes), c.item), c.text);
    }
}

struct EncodeCase {
    const char* name;
    int kind;
    ValueType type;
    int count;
    const char *text, *bytes;  // bytes empty: refused
    int driverCount;           // or, when refused, -1
    const char* words;         // the refusal names these
};

const EncodeCase kEncodeCases[] = {
    {"byte_two_bytes_per_item", kHrByte, ValueType::U8, 2, "7,255", "0700ff00", 2, ""},
    {"bits_words_and_blanks", kCoilBit, ValueType::Bit, 3, "1, off ,true", "010001", 3, ""},
    {"fewer_items_than_count", kHrWord, ValueType::U16, 3, "5", "0500", 1, ""},
    {"two_floats_of_four_registers", kHrWord, ValueType::F32, 4, "1,2", "803f000000400000", 4, ""},
    {"string_shorter_than_tag", kHrWord, ValueType::String, 2, "A", "00410000", 2, ""},
    {"string_too_long", kHrWord, ValueType::String, 1, "ABC", "", -1, "2 characters"},
    {"floats_more_than_items", kHrWord, ValueType::F32, 2, "1,2", "", -1, "holds 1 item(s), 2 given"},
    {"u16_over", kHrWord, ValueType::U16, 1, "65536", "", -1, "0..65535"},
    {"u8_over", kHrByte, ValueType::U8, 1, "256", "", -1, "0..255"},
    {"u32_negative", kHrDword, ValueType::U32, 1, "-1", "", -1, "0..4294967295"},
    {"u64_over", kHrWord, ValueType::U64, 4, "18446744073709551616", "", -1, "0..18446744073709551615"},
    {"i32_over", kHrDword, ValueType::I32, 1, "2147483648", "", -1, "i32"},
    {"decimal_with_hex_digit", kHrWord, ValueType::U16, 1, "12ab", "", -1, "\"12ab\" is not u16"},
    {"hex_bad_digit", kHrWord, ValueType::Hex, 1, "xyz", "", -1, "is not hex"},
    {"empty_item", kHrWord, ValueType::U16, 3, "1,,2", "", -1, "\"\" is not u16"},
    {"empty_text", kHrWord, ValueType::U16, 1, "", "", -1, "is not u16"},
    {"f32_infinite", kHrDword, ValueType::F32, 1, "inf", "", -1, "finite"},
    {"f32_out_of_range", kHrDword, ValueType::F32, 1, "1e39", "", -1, "finite"},
    {"f32_trailing_text", kHrDword, ValueType::F32, 1, "1.5x", "", -1, "finite"},
};

TEST(HostCodec, EncodeValue)
{
    for (const EncodeCase& c : kEncodeCases) {
        SCOPED_TRACE(c.name);
        const Tag t = tagOf(c.kind, c.type, c.count);
        if (c.driverCount < 0) {
            const std::string why = refusal(t, c.text);
            EXPECT_NE(why.find(c.words), std::string::npos) << why;
            EXPECT_NE(why.find("tag \"t\""), std::string::npos) << why;
            continue;
        }
        const host::EncodedValue v = host::encodeValue(t, c.text);
        EXPECT_EQ(v.bytes.toHex().toStdString(), c.bytes);
        EXPECT_EQ(v.count, c.driverCount);
    }
}

}  // namespace
