// plc-host's value codecs: a tag's value between the host-order bytes the
// driver's GetRegisterData and SetRegisterData take, and text in the tag's type.
#pragma once

#include "HostConfig.h"

#include <QByteArray>

#include <string>
#include <vector>

namespace host {

const char* typeName(ValueType type);  // "u16"
bool typeFromName(const std::string& name, ValueType& type);
// Types that make sense for a width (0 bit .. 3 double word), the default first.
const std::vector<ValueType>& typesOfWidth(int width);

// Bytes a tag's value takes in GetRegisterData's output and SetRegisterData's
// input, per item: 1 (bit), 2 (byte, low byte used), 2 (word), 4 (double word).
int hostItemSize(const Tag& t);

// Text of one item, from the host-order bytes of GetRegisterData's output.
std::string formatItem(const Tag& t, const QByteArray& hostBytes, int item);
// All items, separated by spaces.
std::string formatValue(const Tag& t, const QByteArray& hostBytes);
// The bytes GetRegisterData gave that carry the tag's value (hex, no spaces).
std::string rawHex(const Tag& t, const QByteArray& hostBytes);

// "12" or "1,0,1": one to count items encoded for SetRegisterData.
// Throws ConfigError naming the tag when a value does not fit its type.
struct EncodedValue {
    QByteArray bytes;
    int count;  // for SetRegisterData (16-bit words for double words)
};
EncodedValue encodeValue(const Tag& t, const std::string& text);

}  // namespace host
