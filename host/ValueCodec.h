// plc-host's value codecs: a tag's value between the host-order bytes the
// driver's GetRegisterData and SetRegisterData take, and text in the tag's
// type. Values over registers go through one codec of word orders.
#pragma once

#include "HostConfig.h"

#include <QByteArray>

#include <cstdint>
#include <string>
#include <vector>

namespace host {

const char* typeName(ValueType type);  // "u16"
bool typeFromName(const std::string& name, ValueType& type);
// Types that make sense for a kind, the default first.
const std::vector<ValueType>& typesOfKind(int kind);
int registersOf(ValueType type);  // 2 for the 32-bit types, 4 for the 64-bit ones, else 1

const char* wordOrderName(WordOrder order);  // "CDAB"
bool wordOrderFromName(const std::string& name, WordOrder& order);

// The one codec of values over registers: `bits` is the value, most
// significant byte first, over `registers` registers (1, 2 or 4); `wire` the
// registers' bytes in the order they travel.
uint64_t bitsFromWire(const uint8_t* wire, int registers, WordOrder order);
void bitsToWire(uint64_t bits, int registers, WordOrder order, uint8_t* wire);

// Bytes a tag's value takes in GetRegisterData's output and SetRegisterData's
// input, per item of the kind: 1 (bit), 2 (byte, low byte used), 2 (word), 4 (double word).
int hostItemSize(const Tag& t);

// Text of one item (Tag::items()), from the host-order bytes of GetRegisterData's output.
std::string formatItem(const Tag& t, const QByteArray& hostBytes, int item);
// All items, separated by spaces, then the unit if the tag has one.
std::string formatValue(const Tag& t, const QByteArray& hostBytes);
// The bytes that carry the tag's value, hex without spaces, as they travel:
// registers high byte first, in the device's register order.
std::string rawHex(const Tag& t, const QByteArray& hostBytes);

// "12" or "1,0,1": one to items() values encoded for SetRegisterData; a
// string tag takes its whole text. Scaled tags take the shown value and
// write (value - offset) / scale, rounded for integer types. Throws
// ConfigError naming the tag and the range when a value does not fit.
struct EncodedValue {
    QByteArray bytes;
    int count;  // for SetRegisterData (16-bit words for double words)
};
EncodedValue encodeValue(const Tag& t, const std::string& text);

}  // namespace host
