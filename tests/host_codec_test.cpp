// plc-host's value codecs: host-order bytes of GetRegisterData to text, and
// command-line text to the bytes SetRegisterData takes. Bytes are hex. Byte
// order of every kind, hex and 0x forms and plain values are checked against the
// controller's memory in host_it.py; here the edges and the refusals.
#include "ValueCodec.h"

#include <gtest/gtest.h>

namespace {

using host::Tag;
using host::ValueType;

constexpr int kHrBit = 2, kCoilBit = 1, kHrByte = 5, kCoilWord = 7, kHrWord = 8, kCoilDword = 10, kHrDword = 11;

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
    {"word_i16_most_negative", kHrWord, ValueType::I16, 1, "0080", 0, "-32768"},
    {"word_hex_four_digits", kHrWord, ValueType::Hex, 1, "0a00", 0, "0x000a"},
    {"dword_u32_top", kHrDword, ValueType::U32, 1, "ffffffff", 0, "4294967295"},
    {"dword_i32_sign", kHrDword, ValueType::I32, 1, "00000080", 0, "-2147483648"},
    {"dword_f32", kHrDword, ValueType::F32, 2, "0000c0bf00006040", 1, "3.5"},
    {"dword_f32_full_precision", kHrDword, ValueType::F32, 1, "db0f4940", 0, "3.14159274"},
    {"dword_hex_eight_digits", kCoilDword, ValueType::Hex, 1, "0100ff00", 0, "0x00ff0001"},
    {"byte_hex_two_digits", kHrByte, ValueType::Hex, 1, "0700", 0, "0x07"},
    {"bit_low_bit_only", kCoilBit, ValueType::Bit, 2, "fe03", 0, "0"},
    {"short_buffer_missing_bytes_zero", kHrWord, ValueType::U16, 1, "12", 0, "18"},
    {"item_beyond_buffer_zero", kHrDword, ValueType::U32, 2, "01000000", 1, "0"},
};

TEST(HostCodec, FormatItem)
{
    for (const FormatCase& c : kFormatCases) {
        SCOPED_TRACE(c.name);
        const Tag t{"t", c.kind, "", 0, 1, c.count, c.type};  // name, kind, address, its value, station, count, type
        EXPECT_EQ(host::formatItem(t, QByteArray::fromHex(c.hostBytes), c.item), c.text);
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
    {"i32_most_negative", kHrDword, ValueType::I32, 1, "-2147483648", "00000080", 2, ""},
    {"f32_sign", kHrDword, ValueType::F32, 1, "-1.5", "0000c0bf", 2, ""},
    {"byte_two_bytes_per_item", kHrByte, ValueType::U8, 2, "7,255", "0700ff00", 2, ""},
    {"bits_words_and_blanks", kCoilBit, ValueType::Bit, 3, "1, off ,true", "010001", 3, ""},
    {"fewer_items_than_count", kHrWord, ValueType::U16, 3, "5", "0500", 1, ""},
    {"u16_over", kHrWord, ValueType::U16, 1, "65536", "", -1, "0..65535"},
    {"i16_under", kHrWord, ValueType::I16, 1, "-32769", "", -1, "-32768..32767"},
    {"u8_over", kHrByte, ValueType::U8, 1, "256", "", -1, "0..255"},
    {"u32_negative", kHrDword, ValueType::U32, 1, "-1", "", -1, "0..4294967295"},
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
        const Tag t{"t", c.kind, "", 0, 1, c.count, c.type};
        if (c.driverCount < 0) {
            try {
                host::encodeValue(t, c.text);
                ADD_FAILURE() << "accepted";
            } catch (const host::ConfigError& e) {
                EXPECT_NE(std::string(e.what()).find(c.words), std::string::npos) << e.what();
                EXPECT_NE(std::string(e.what()).find("tag \"t\""), std::string::npos) << e.what();
            }
            continue;
        }
        const host::EncodedValue v = host::encodeValue(t, c.text);
        EXPECT_EQ(v.bytes.toHex().toStdString(), c.bytes);
        EXPECT_EQ(v.count, c.driverCount);
    }
}

}  // namespace
