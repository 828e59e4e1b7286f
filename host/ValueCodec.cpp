#include "ValueCodec.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sstream>

namespace host {

namespace {

struct TypeInfo {
    ValueType type;
    const char* name;
};
const TypeInfo kTypes[] = {{ValueType::Bit, "bit"}, {ValueType::U8, "u8"},   {ValueType::U16, "u16"},
                           {ValueType::I16, "i16"}, {ValueType::U32, "u32"}, {ValueType::I32, "i32"},
                           {ValueType::F32, "f32"}, {ValueType::Hex, "hex"}};

// Types that make sense for each width, the first being the default.
const std::vector<ValueType> kTypesOfWidth[4] = {{ValueType::Bit},
                                                 {ValueType::U8, ValueType::Hex},
                                                 {ValueType::U16, ValueType::I16, ValueType::Hex},
                                                 {ValueType::U32, ValueType::I32, ValueType::F32, ValueType::Hex}};

long long parseInteger(const std::string& s, bool hexOnly, bool& ok)
{
    ok = false;
    std::string v = s;
    int base = 10;
    bool negative = false;
    if (!v.empty() && (v[0] == '-' || v[0] == '+')) {
        negative = v[0] == '-';
        v.erase(0, 1);
    }
    if (v.size() > 2 && v[0] == '0' && (v[1] == 'x' || v[1] == 'X')) {
        base = 16;
        v.erase(0, 2);
    } else if (hexOnly) {
        base = 16;
    }
    if (v.empty() || v.size() > 16)
        return 0;
    for (char ch : v)
        if (!std::isxdigit(static_cast<unsigned char>(ch)) ||
            (base == 10 && !std::isdigit(static_cast<unsigned char>(ch))))
            return 0;
    errno = 0;
    long long n = std::strtoll(v.c_str(), nullptr, base);
    if (errno)
        return 0;
    ok = true;
    return negative ? -n : n;
}

uint32_t readLe(const QByteArray& b, int pos, int size)
{
    uint32_t v = 0;
    for (int i = size - 1; i >= 0; --i)
        v = (v << 8) | (pos + i < b.size() ? static_cast<uint8_t>(b[pos + i]) : 0u);
    return v;
}

}  // namespace

const char* typeName(ValueType type)
{
    for (const TypeInfo& ti : kTypes)
        if (ti.type == type)
            return ti.name;
    return "?";
}

bool typeFromName(const std::string& name, ValueType& type)
{
    for (const TypeInfo& ti : kTypes)
        if (name == ti.name) {
            type = ti.type;
            return true;
        }
    return false;
}

const std::vector<ValueType>& typesOfWidth(int width) { return kTypesOfWidth[width]; }

int hostItemSize(const Tag& t)
{
    static const int sizes[4] = {1, 2, 2, 4};
    return sizes[t.width()];
}

std::string formatItem(const Tag& t, const QByteArray& b, int item)
{
    const int size = t.width() == 1 ? 1 : hostItemSize(t);
    // Byte kinds: GetRegisterData puts the n bytes first, then n zero bytes.
    const int pos = t.width() == 1 ? item : item * size;
    uint32_t raw = readLe(b, pos, size);
    char text[48];
    switch (t.type) {
    case ValueType::Bit: std::snprintf(text, sizeof text, "%u", raw & 1u); break;
    case ValueType::I16: std::snprintf(text, sizeof text, "%d", static_cast<int>(static_cast<int16_t>(raw))); break;
    case ValueType::I32: std::snprintf(text, sizeof text, "%d", static_cast<int32_t>(raw)); break;
    case ValueType::F32: {
        float f;
        std::memcpy(&f, &raw, sizeof f);
        std::snprintf(text, sizeof text, "%.9g", static_cast<double>(f));
        break;
    }
    case ValueType::Hex: std::snprintf(text, sizeof text, "0x%0*x", 2 * size, raw); break;
    default: std::snprintf(text, sizeof text, "%u", raw); break;
    }
    return text;
}

std::string formatValue(const Tag& t, const QByteArray& hostBytes)
{
    std::string out;
    for (int i = 0; i < t.count; ++i)
        out += (i ? " " : "") + formatItem(t, hostBytes, i);
    return out;
}

std::string rawHex(const Tag& t, const QByteArray& hostBytes)
{
    int len = t.width() == 1 ? t.count : t.count * hostItemSize(t);
    return hostBytes.left(len).leftJustified(len, '\0').toHex().toStdString();
}

EncodedValue encodeValue(const Tag& t, const std::string& text)
{
    std::vector<std::string> items;
    std::stringstream ss(text);
    std::string item;
    while (std::getline(ss, item, ','))
        items.push_back(item);
    if (text.empty() || text.back() == ',')
        items.push_back("");
    auto bad = [&](const std::string& what) -> ConfigError {
        return ConfigError("tag \"" + t.name + "\": value \"" + text + "\": " + what);
    };
    if (static_cast<int>(items.size()) > t.count)
        throw bad("the tag holds " + std::to_string(t.count) + " item(s), " + std::to_string(items.size()) + " given");

    EncodedValue out;
    const int size = hostItemSize(t);
    for (const std::string& raw : items) {
        std::string v = raw;
        v.erase(0, v.find_first_not_of(" \t"));
        v.erase(v.find_last_not_of(" \t") + 1);
        uint32_t bits = 0;
        bool ok = false;
        if (t.type == ValueType::Bit) {
            if (v == "1" || v == "true" || v == "on") {
                bits = 1;
                ok = true;
            } else if (v == "0" || v == "false" || v == "off") {
                ok = true;
            }
            if (!ok)
                throw bad("\"" + v + "\" is not a bit (0, 1, true, false, on, off)");
        } else if (t.type == ValueType::F32) {
            char* end = nullptr;
            errno = 0;
            float f = std::strtof(v.c_str(), &end);
            if (v.empty() || *end || errno || !std::isfinite(f))
                throw bad("\"" + v + "\" is not a finite 32-bit float");
            std::memcpy(&bits, &f, sizeof bits);
        } else {
            long long n = parseInteger(v, t.type == ValueType::Hex, ok);
            long long lo = 0, hi = 0;
            switch (t.type) {
            case ValueType::I16:
                lo = -32768;
                hi = 32767;
                break;
            case ValueType::I32:
                lo = INT32_MIN;
                hi = INT32_MAX;
                break;
            default: hi = t.width() == 1 ? 0xFF : t.width() == 2 ? 0xFFFF : 0xFFFFFFFFLL; break;
            }
            if (!ok || n < lo || n > hi)
                throw bad("\"" + v + "\" is not " + typeName(t.type) + " in " + std::to_string(lo) + ".." +
                          std::to_string(hi));
            bits = static_cast<uint32_t>(n);
        }
        char le[4] = {char(bits & 0xFF), char((bits >> 8) & 0xFF), char((bits >> 16) & 0xFF), char(bits >> 24)};
        if (t.width() == 1)
            le[1] = 0;  // one byte per 16-bit item
        out.bytes.append(le, size);
    }

    // The driver sends coil words and double words like registers, high byte
    // of every 16-bit half first, while a coil read keeps the controller's
    // byte order. Swapping the halves here makes the controller's first coil
    // byte the value's low byte, so a written coil word reads back as written.
    if (t.kind == 7 || t.kind == 10)
        for (int i = 0; i + 1 < out.bytes.size(); i += 2) {
            char low = out.bytes[i];
            out.bytes[i] = out.bytes[i + 1];
            out.bytes[i + 1] = low;
        }

    const int n = static_cast<int>(items.size());
    out.count = t.width() == 3 ? 2 * n : n;
    return out;
}

}  // namespace host
