#include "ValueCodec.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cfloat>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sstream>

namespace host {

namespace {

struct TypeInfo {
    ValueType type;
    const char* name;
    int bytes;  // of the value; 0: a string
    bool isSigned;
    bool isFloat;
};
const TypeInfo kTypes[] = {
    {ValueType::Bit, "bit", 1, false, false},       {ValueType::U8, "u8", 1, false, false},
    {ValueType::U16, "u16", 2, false, false},       {ValueType::I16, "i16", 2, true, false},
    {ValueType::U32, "u32", 4, false, false},       {ValueType::I32, "i32", 4, true, false},
    {ValueType::F32, "f32", 4, true, true},         {ValueType::U64, "u64", 8, false, false},
    {ValueType::I64, "i64", 8, true, false},        {ValueType::F64, "f64", 8, true, true},
    {ValueType::String, "string", 0, false, false}, {ValueType::Hex, "hex", 0, false, false},
};

const TypeInfo& info(ValueType type)
{
    for (const TypeInfo& ti : kTypes)
        if (ti.type == type)
            return ti;
    return kTypes[0];
}

const char* const kOrderNames[4] = {"ABCD", "CDAB", "BADC", "DCBA"};

// Wire position of byte p (0: most significant) of a value over n registers.
int wireIndex(int p, int registers, WordOrder order)
{
    int reg = p / 2, half = p % 2;
    if (order == WordOrder::CDAB || order == WordOrder::DCBA)
        reg = registers - 1 - reg;
    if (order == WordOrder::BADC || order == WordOrder::DCBA)
        half = 1 - half;
    return 2 * reg + half;
}

// Registers of the register areas come from the driver low byte first.
void swapPairs(QByteArray& b)
{
    char* d = b.data();
    for (int i = 0; i + 1 < b.size(); i += 2)
        std::swap(d[i], d[i + 1]);
}

bool registerValue(const Tag& t) { return t.registerArea() && t.width() >= 2; }

// Value bytes of the tag's item: 1, 2, 4 or 8.
int valueBytes(const Tag& t)
{
    if (registerValue(t))
        return 2 * t.registersPerItem();
    static const int sizes[4] = {1, 1, 2, 4};
    return sizes[t.width()];
}

std::string trimmed(const std::string& s)
{
    const size_t a = s.find_first_not_of(" \t");
    return a == std::string::npos ? "" : s.substr(a, s.find_last_not_of(" \t") - a + 1);
}

// Exact integer text: decimal, 0x hex, or hex digits only; sign and magnitude.
bool parseInteger(const std::string& s, bool hexOnly, bool& negative, unsigned long long& magnitude)
{
    std::string v = s;
    negative = !v.empty() && v[0] == '-';
    if (!v.empty() && (v[0] == '-' || v[0] == '+'))
        v.erase(0, 1);
    int base = hexOnly ? 16 : 10;
    if (v.size() > 2 && v[0] == '0' && (v[1] == 'x' || v[1] == 'X')) {
        base = 16;
        v.erase(0, 2);
    }
    if (v.empty() || v.size() > 20)
        return false;
    for (char ch : v)
        if (base == 10 ? !std::isdigit(static_cast<unsigned char>(ch)) : !std::isxdigit(static_cast<unsigned char>(ch)))
            return false;
    errno = 0;
    magnitude = std::strtoull(v.c_str(), nullptr, base);
    return errno == 0;
}

bool parseDouble(const std::string& v, double& d)
{
    char* end = nullptr;
    errno = 0;
    d = std::strtod(v.c_str(), &end);
    return !v.empty() && !*end && !errno && std::isfinite(d);
}

std::string number(double d)
{
    char text[40];
    std::snprintf(text, sizeof text, "%.10g", d);
    return text;
}

// Smallest and largest raw value of an integer type of `bytes` bytes.
void integerRange(const Tag& t, long double& lo, long double& hi)
{
    const int bits = 8 * valueBytes(t);
    const TypeInfo& ti = info(t.type);
    lo = ti.isSigned ? -std::ldexp(1.0L, bits - 1) : 0;
    hi = (ti.isSigned ? std::ldexp(1.0L, bits - 1) : std::ldexp(1.0L, bits)) - 1;
}

// The same, exact: the largest magnitude below 0 and the largest value.
// A long double is a double on the panel's ARM: 64-bit values need integers.
void exactRange(const Tag& t, unsigned long long& belowZero, unsigned long long& top)
{
    const int bits = 8 * valueBytes(t);
    const bool isSigned = info(t.type).isSigned && t.type != ValueType::Hex;
    const unsigned long long all = bits >= 64 ? ~0ULL : (1ULL << bits) - 1;
    belowZero = isSigned ? 1ULL << (bits - 1) : 0;
    top = isSigned ? belowZero - 1 : all;
}

std::string rangeText(const Tag& t, long double lo, long double hi)
{
    if (!t.scaled()) {
        unsigned long long belowZero = 0, top = 0;
        exactRange(t, belowZero, top);
        return (belowZero ? "-" + std::to_string(belowZero) : std::string("0")) + ".." + std::to_string(top);
    }
    double a = static_cast<double>(lo) * t.scale + t.offset, b = static_cast<double>(hi) * t.scale + t.offset;
    if (a > b)
        std::swap(a, b);
    return number(a) + ".." + number(b) + " (raw " + typeName(t.type) + " x " + number(t.scale) + " + " +
           number(t.offset) + ")";
}

// One item's value bits from text; throws through `bad`.
template <typename Bad>
uint64_t encodeItem(const Tag& t, const std::string& v, Bad bad)
{
    const TypeInfo& ti = info(t.type);
    if (t.type == ValueType::Bit) {
        if (v == "1" || v == "true" || v == "on")
            return 1;
        if (v == "0" || v == "false" || v == "off")
            return 0;
        throw bad("\"" + v + "\" is not a bit (0, 1, true, false, on, off)");
    }
    if (ti.isFloat) {
        double d = 0;
        if (!parseDouble(v, d))
            throw bad("\"" + v + "\" is not a finite number");
        d = (d - t.offset) / t.scale;
        if (t.type == ValueType::F32) {
            if (!(std::fabs(d) <= FLT_MAX))
                throw bad("\"" + v + "\" is not a finite 32-bit float" +
                          (t.scaled() ? " once scaled back (" + number(d) + ")" : std::string()));
            const float f = static_cast<float>(d);
            uint32_t bits;
            std::memcpy(&bits, &f, sizeof bits);
            return bits;
        }
        uint64_t bits;
        std::memcpy(&bits, &d, sizeof bits);
        return bits;
    }
    long double lo = 0, hi = 0;
    integerRange(t, lo, hi);
    if (t.type == ValueType::Hex)
        lo = 0;
    const auto outOfRange = [&] {
        return bad("\"" + v + "\" is not " + typeName(t.type) + " in " + rangeText(t, lo, hi));
    };
    if (!t.scaled()) {
        bool negative = false;
        unsigned long long magnitude = 0, belowZero = 0, top = 0;
        exactRange(t, belowZero, top);
        if (!parseInteger(v, t.type == ValueType::Hex, negative, magnitude) || magnitude > (negative ? belowZero : top))
            throw outOfRange();
        return negative ? uint64_t{0} - magnitude : magnitude;
    }
    double d = 0;
    const bool ok = parseDouble(v, d);
    const long double raw = std::round((static_cast<long double>(d) - t.offset) / t.scale);
    if (!ok || raw < lo || raw > hi)
        throw outOfRange();
    return raw < 0 ? static_cast<uint64_t>(static_cast<long long>(raw)) : static_cast<uint64_t>(raw);
}

}  // namespace

int Tag::registersPerItem() const
{
    if (!registerArea() || width() < 2)
        return 1;
    if (width() == 3)
        return 2;
    return type == ValueType::String ? count : registersOf(type);
}

int Tag::items() const { return registerArea() && width() == 2 ? count / std::max(1, registersPerItem()) : count; }

const char* typeName(ValueType type) { return info(type).name; }

bool typeFromName(const std::string& name, ValueType& type)
{
    for (const TypeInfo& ti : kTypes)
        if (name == ti.name) {
            type = ti.type;
            return true;
        }
    return false;
}

const std::vector<ValueType>& typesOfKind(int kind)
{
    using V = ValueType;
    static const std::vector<ValueType> bit{V::Bit}, byte{V::U8, V::Hex}, word{V::U16, V::I16, V::Hex},
        registers{V::U16, V::I16, V::U32, V::I32, V::F32, V::U64, V::I64, V::F64, V::String, V::Hex},
        dword{V::U32, V::I32, V::F32, V::Hex};
    Tag t;
    t.kind = kind;
    switch (t.width()) {
    case 0: return bit;
    case 1: return byte;
    case 2: return t.registerArea() ? registers : word;
    default: return dword;
    }
}

int registersOf(ValueType type)
{
    const int bytes = info(type).bytes;
    return bytes > 2 ? bytes / 2 : 1;
}

const char* wordOrderName(WordOrder order) { return kOrderNames[static_cast<int>(order)]; }

bool wordOrderFromName(const std::string& name, WordOrder& order)
{
    for (int i = 0; i < 4; ++i)
        if (name == kOrderNames[i]) {
            order = static_cast<WordOrder>(i);
            return true;
        }
    return false;
}

uint64_t bitsFromWire(const uint8_t* wire, int registers, WordOrder order)
{
    uint64_t bits = 0;
    for (int p = 0; p < 2 * registers; ++p)
        bits = (bits << 8) | wire[wireIndex(p, registers, order)];
    return bits;
}

void bitsToWire(uint64_t bits, int registers, WordOrder order, uint8_t* wire)
{
    for (int p = 2 * registers - 1; p >= 0; --p, bits >>= 8)
        wire[wireIndex(p, registers, order)] = static_cast<uint8_t>(bits & 0xFF);
}

int hostItemSize(const Tag& t)
{
    static const int sizes[4] = {1, 2, 2, 4};
    return sizes[t.width()];
}

std::string formatItem(const Tag& t, const QByteArray& b, int item)
{
    const TypeInfo& ti = info(t.type);
    const int size = valueBytes(t);
    uint64_t raw = 0;
    if (registerValue(t)) {
        QByteArray wire = b.mid(item * size, size).leftJustified(size, '\0');
        swapPairs(wire);
        const uint8_t* w = reinterpret_cast<const uint8_t*>(wire.constData());
        if (t.type == ValueType::String) {
            // Characters in register order, the first in the high byte.
            const bool swapped = t.wordOrder == WordOrder::BADC || t.wordOrder == WordOrder::DCBA;
            std::string text;
            for (int i = 0; i < size; ++i) {
                const unsigned char ch = w[swapped ? (i ^ 1) : i];
                if (!ch)
                    break;
                text += std::isprint(ch) ? static_cast<char>(ch) : '?';
            }
            return text;
        }
        raw = bitsFromWire(w, size / 2, t.wordOrder);
    } else {
        // Byte kinds: GetRegisterData puts the n bytes first, then n zero bytes.
        const int pos = t.width() == 1 ? item : item * hostItemSize(t);
        for (int i = size - 1; i >= 0; --i)
            raw = (raw << 8) | (pos + i < b.size() ? static_cast<uint8_t>(b[pos + i]) : 0u);
    }

    char text[48];
    const int bits = 8 * size;
    if (t.type == ValueType::Hex) {
        std::snprintf(text, sizeof text, "0x%0*llx", 2 * size, static_cast<unsigned long long>(raw));
        return text;
    }
    if (t.type == ValueType::Bit)
        raw &= 1;
    double shown = 0;
    if (ti.isFloat) {
        if (bits == 32) {
            float f;
            const uint32_t r32 = static_cast<uint32_t>(raw);
            std::memcpy(&f, &r32, sizeof f);
            shown = f;
        } else {
            std::memcpy(&shown, &raw, sizeof shown);
        }
        if (!t.scaled()) {
            std::snprintf(text, sizeof text, bits == 32 ? "%.9g" : "%.17g", shown);
            return text;
        }
        return number(shown * t.scale + t.offset);
    }
    long long signedRaw = 0;
    if (ti.isSigned) {
        // Sign-extend from the value's width.
        const uint64_t sign = uint64_t(1) << (bits - 1);
        signedRaw = static_cast<long long>((raw ^ sign) - sign);
    }
    if (t.scaled())
        return number((ti.isSigned ? static_cast<double>(signedRaw) : static_cast<double>(raw)) * t.scale + t.offset);
    if (ti.isSigned)
        std::snprintf(text, sizeof text, "%lld", signedRaw);
    else
        std::snprintf(text, sizeof text, "%llu", static_cast<unsigned long long>(raw));
    return text;
}

std::string formatValue(const Tag& t, const QByteArray& hostBytes)
{
    std::string out;
    for (int i = 0; i < t.items(); ++i)
        out += (i ? " " : "") + formatItem(t, hostBytes, i);
    return t.unit.empty() ? out : out + " " + t.unit;
}

std::string rawHex(const Tag& t, const QByteArray& hostBytes)
{
    const int len = registerValue(t) ? 2 * t.driverCount() : t.width() == 1 ? t.count : t.count * hostItemSize(t);
    QByteArray bytes = hostBytes.left(len).leftJustified(len, '\0');
    if (registerValue(t))
        swapPairs(bytes);
    return bytes.toHex().toStdString();
}

EncodedValue encodeValue(const Tag& t, const std::string& text)
{
    std::vector<std::string> items;
    if (t.type == ValueType::String) {
        items.push_back(text);
    } else {
        std::stringstream ss(text);
        std::string item;
        while (std::getline(ss, item, ','))
            items.push_back(trimmed(item));
        if (text.empty() || text.back() == ',')
            items.push_back("");
    }
    auto bad = [&](const std::string& what) -> ConfigError {
        return ConfigError("tag \"" + t.name + "\": value \"" + text + "\": " + what);
    };
    if (static_cast<int>(items.size()) > t.items())
        throw bad("the tag holds " + std::to_string(t.items()) + " item(s), " + std::to_string(items.size()) +
                  " given");

    EncodedValue out;
    const int n = static_cast<int>(items.size());
    if (registerValue(t)) {
        const int size = valueBytes(t);
        for (const std::string& v : items) {
            QByteArray wire(size, '\0');
            uint8_t* w = reinterpret_cast<uint8_t*>(wire.data());
            if (t.type == ValueType::String) {
                if (static_cast<int>(v.size()) > size)
                    throw bad("longer than the " + std::to_string(size) + " characters of " + std::to_string(t.count) +
                              " registers");
                const bool swapped = t.wordOrder == WordOrder::BADC || t.wordOrder == WordOrder::DCBA;
                for (size_t i = 0; i < v.size(); ++i)
                    w[swapped ? (i ^ 1) : i] = static_cast<uint8_t>(v[i]);
            } else {
                bitsToWire(encodeItem(t, v, bad), size / 2, t.wordOrder, w);
            }
            swapPairs(wire);  // the driver takes registers low byte first
            out.bytes.append(wire);
        }
        out.count = n * t.registersPerItem();
        return out;
    }

    const int size = hostItemSize(t);
    for (const std::string& v : items) {
        const uint64_t bits = encodeItem(t, v, bad);
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
        swapPairs(out.bytes);
    out.count = t.width() == 3 ? 2 * n : n;
    return out;
}

}  // namespace host
