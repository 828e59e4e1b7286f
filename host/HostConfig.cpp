#include "HostConfig.h"

#include "LinkFactory.h"

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonParseError>
#include <QStringList>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <set>
#include <sstream>
#include <unordered_set>

namespace host {

namespace {

const char* const kKindNames[12] = {"di.bit",  "coil.bit",  "hr.bit",  "di.byte",  "coil.byte",  "hr.byte",
                                    "di.word", "coil.word", "hr.word", "di.dword", "coil.dword", "hr.dword"};

struct TypeInfo {
    ValueType type;
    const char* name;
};
const TypeInfo kTypes[] = {{ValueType::Bit, "bit"}, {ValueType::U8, "u8"},   {ValueType::U16, "u16"},
                           {ValueType::I16, "i16"}, {ValueType::U32, "u32"}, {ValueType::I32, "i32"},
                           {ValueType::F32, "f32"}, {ValueType::Hex, "hex"}};

// Types that make sense for each width, the first being the default.
const std::vector<ValueType> kTypesOfWidth[4] = {
    {ValueType::Bit},
    {ValueType::U8, ValueType::Hex},
    {ValueType::U16, ValueType::I16, ValueType::Hex},
    {ValueType::U32, ValueType::I32, ValueType::F32, ValueType::Hex}};

// Largest number of items that still fits one Modbus request.
const int kMaxItems[4] = {2000, 246, 123, 61};

std::string quote(const QString& s) { return "\"" + s.toStdString() + "\""; }

// Where a problem was found: "demo.json: tag \"speed\": field \"kind\"".
struct Ctx {
    std::string file;
    std::string where;  // "link", "tag \"x\"", ...
    [[noreturn]] void fail(const QString& field, const std::string& what) const
    {
        std::string msg = file + ": " + where;
        if (!field.isEmpty())
            msg += ": field " + quote(field);
        throw ConfigError(msg + ": " + what);
    }
};

void checkKeys(const QJsonObject& o, const QStringList& allowed, const Ctx& c)
{
    for (auto it = o.begin(); it != o.end(); ++it)
        if (!allowed.contains(it.key()))
            c.fail(it.key(), "unknown field (expected one of: " + allowed.join(", ").toStdString() + ")");
}

int getInt(const QJsonObject& o, const char* key, int fallback, int lo, int hi, const Ctx& c)
{
    QJsonValue v = o.value(QLatin1String(key));
    if (v.isUndefined())
        return fallback;
    double d = v.toDouble(std::nan(""));
    if (!v.isDouble() || std::floor(d) != d || d < lo || d > hi)
        c.fail(key, "expected an integer in " + std::to_string(lo) + ".." + std::to_string(hi));
    return static_cast<int>(d);
}

bool getBool(const QJsonObject& o, const char* key, bool fallback, const Ctx& c)
{
    QJsonValue v = o.value(QLatin1String(key));
    if (v.isUndefined())
        return fallback;
    if (v.isBool())
        return v.toBool();
    if (v.isDouble() && (v.toDouble() == 0 || v.toDouble() == 1))
        return v.toDouble() != 0;
    c.fail(key, "expected true or false");
}

QJsonObject getObject(const QJsonObject& o, const char* key, const Ctx& c)
{
    QJsonValue v = o.value(key);
    if (v.isUndefined())
        return QJsonObject();
    if (!v.isObject())
        c.fail(key, "expected an object");
    return v.toObject();
}

int parseKind(const QJsonValue& v, const Ctx& c)
{
    if (v.isUndefined())
        c.fail("kind", "missing (a number 0..11 or a word such as \"hr.word\")");
    if (v.isDouble()) {
        double d = v.toDouble();
        if (std::floor(d) != d || d < 0 || d > 11)
            c.fail("kind", "expected a number 0..11 or a word such as \"hr.word\"");
        return static_cast<int>(d);
    }
    if (v.isString()) {
        const QString word = v.toString();
        for (int k = 0; k < 12; ++k)
            if (word == QLatin1String(kKindNames[k]))
                return k;
        std::string all;
        for (const char* n : kKindNames)
            all += std::string(all.empty() ? "" : ", ") + n;
        c.fail("kind", "unknown kind word " + quote(v.toString()) + " (expected one of: " + all + ")");
    }
    c.fail("kind", "expected a number 0..11 or a word such as \"hr.word\"");
}

bool allDigits(const std::string& s)
{
    return !s.empty() && s.size() <= 9 && std::all_of(s.begin(), s.end(), [](char ch) { return ch >= '0' && ch <= '9'; });
}

// Address text -> address in units of the kind's width. Stricter than the
// driver's own conversion: the host refuses what would quietly parse as 0.
int parseAddress(Tag& t, const QJsonValue& v, const Ctx& c)
{
    if (v.isDouble() && t.width() != 0 && std::floor(v.toDouble()) == v.toDouble() && v.toDouble() >= 0)
        t.address = std::to_string(static_cast<long long>(v.toDouble()));
    else if (v.isString())
        t.address = v.toString().trimmed().toStdString();
    else if (v.isUndefined())
        c.fail("address", "missing");
    else
        c.fail("address", t.width() == 0 ? "expected a text \"BYTE.BIT\"" : "expected a non-negative number");

    if (t.width() == 0) {
        size_t dot = t.address.find('.');
        std::string byte = t.address.substr(0, dot);
        std::string bit = dot == std::string::npos ? "" : t.address.substr(dot + 1);
        if (!allDigits(byte) || bit.size() != 1 || bit[0] < '0' || bit[0] > '7')
            c.fail("address", "\"" + t.address + "\" is not BYTE.BIT with BIT 0..7 (e.g. \"12.3\")");
        return std::atoi(byte.c_str()) * 8 + (bit[0] - '0');
    }
    if (!allDigits(t.address))
        c.fail("address", "\"" + t.address + "\" is not a non-negative decimal number");
    return std::atoi(t.address.c_str());
}

void parseType(Tag& t, const QJsonValue& v, const Ctx& c)
{
    const std::vector<ValueType>& allowed = kTypesOfWidth[t.width()];
    if (v.isUndefined()) {
        t.type = allowed.front();
        return;
    }
    std::string names;
    for (ValueType a : allowed)
        names += std::string(names.empty() ? "" : ", ") + typeName(a);
    for (const TypeInfo& ti : kTypes)
        if (v.isString() && v.toString() == QLatin1String(ti.name)) {
            if (std::find(allowed.begin(), allowed.end(), ti.type) == allowed.end())
                c.fail("type", std::string("type \"") + ti.name + "\" does not fit kind " + kindName(t.kind) +
                                   " (expected one of: " + names + ")");
            t.type = ti.type;
            return;
        }
    c.fail("type", "unknown type " + (v.isString() ? quote(v.toString()) : std::string("value")) +
                       " (expected one of: " + names + ")");
}

}  // namespace

void wireSpan(const Tag& t, long& first, long& span)
{
    long a = t.addressValue, n = t.count;
    switch (t.kind) {
    case 0: case 1: first = a; span = n; break;
    case 3: case 4: first = 8 * a; span = 8 * n; break;
    case 6: case 7: first = 16 * a; span = 16 * n; break;
    case 9: case 10: first = 32 * a; span = 32 * n; break;
    case 2: first = a / 16; span = (a % 16 + n + 15) / 16; break;
    case 5: first = a / 2; span = (a % 2 + n + 1) / 2; break;
    case 8: first = a; span = n; break;
    default: first = 2 * a; span = 2 * n; break;
    }
}

namespace {

Tag parseTag(const QJsonValue& value, int index, const HostConfig& cfg, const std::string& file)
{
    Ctx c{file, "tag #" + std::to_string(index + 1)};
    if (!value.isObject())
        c.fail("", "expected an object");
    QJsonObject o = value.toObject();
    Tag t;
    QJsonValue name = o.value(QLatin1String("name"));
    if (!name.isString() || name.toString().trimmed().isEmpty())
        c.fail("name", "missing or empty");
    t.name = name.toString().trimmed().toStdString();
    if (t.name.find_first_of("= \t,") != std::string::npos)
        c.fail("name", "\"" + t.name + "\" must not contain '=', ',' or blanks");
    c.where = "tag \"" + t.name + "\"";
    static const QStringList kTagKeys = {"name", "kind", "address", "station", "count", "type"};
    checkKeys(o, kTagKeys, c);

    t.kind = parseKind(o.value(QLatin1String("kind")), c);
    t.addressValue = parseAddress(t, o.value(QLatin1String("address")), c);
    // Station 0 is the broadcast address: such a tag is written, never read.
    t.station = getInt(o, "station", cfg.driver.defaultStation, 0, 247, c);
    t.count = getInt(o, "count", 1, 1, kMaxItems[t.width()], c);
    parseType(t, o.value(QLatin1String("type")), c);
    long first = 0, span = 0;
    wireSpan(t, first, span);
    if (first + span > 65536)
        c.fail("address", "the tag reaches beyond the 65536 addresses of its area");
    return t;
}

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
        if (!std::isxdigit(static_cast<unsigned char>(ch)) || (base == 10 && !std::isdigit(static_cast<unsigned char>(ch))))
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

int Tag::areaCode() const
{
    static const int codes[3] = {3, 4, 8};
    return codes[areaIndex()];
}

// Same conversion the driver applies to its read variables: the bit areas
// count bytes of eight inputs, the register area counts registers.
int Tag::firstUnit() const
{
    int a = addressValue;
    switch (kind) {
    case 0: case 1: return a / 8;
    case 2: return a / 16;
    case 3: case 4: case 8: return a;
    case 5: return a / 2;
    case 6: case 7: case 11: return a * 2;
    default: return a * 4;  // 9, 10
    }
}

int Tag::unitCount() const
{
    int a = addressValue, n = driverCount();
    switch (kind) {
    case 0: case 1: return (a % 8 + n + 7) / 8;
    case 2: return (a % 16 + n + 15) / 16;
    case 3: case 4: case 8: return n;
    case 5: return (a % 2 + n + 1) / 2;
    case 6: case 7: return n * 2;
    case 9: case 10: return ((n + 1) / 2) * 4;
    default: return ((n + 1) / 2) * 2;  // 11
    }
}

std::vector<int> HostConfig::stations() const
{
    std::set<int> s;
    for (const Tag& t : tags)
        if (stationOf(t) != 0)
            s.insert(stationOf(t));
    if (s.empty())
        s.insert(driver.defaultStation);
    return std::vector<int>(s.begin(), s.end());
}

const Tag* HostConfig::find(const std::string& name) const
{
    for (const Tag& t : tags)
        if (t.name == name)
            return &t;
    return nullptr;
}

HostConfig parseConfig(const QByteArray& json, const std::string& path)
{
    HostConfig cfg;
    cfg.path = path;
    QJsonParseError err{};
    QJsonDocument doc = QJsonDocument::fromJson(json, &err);
    if (err.error != QJsonParseError::NoError) {
        // Line and column make a syntax error easy to find.
        int line = 1, col = 1;
        for (int i = 0; i < err.offset && i < json.size(); ++i, ++col)
            if (json[i] == '\n') {
                ++line;
                col = 0;
            }
        throw ConfigError(path + ": not valid JSON at line " + std::to_string(line) + ", column " + std::to_string(col) +
                          ": " + err.errorString().toStdString());
    }
    if (!doc.isObject())
        throw ConfigError(path + ": the file must hold one JSON object with \"link\", \"driver\" and \"tags\"");
    QJsonObject root = doc.object();
    Ctx top{path, "top level"};
    checkKeys(root, {"link", "driver", "tags"}, top);

    Ctx lc{path, "link"};
    QJsonObject link = getObject(root, "link", top);
    checkKeys(link, {"device", "baud", "parity", "dataBits", "stopBits", "responseTimeoutMs", "retryLimit", "echo",
                     "turnaroundMs", "gapUs", "interByteMs", "settleMs", "deadAfter", "probeSeconds", "resetRetries",
                     "realtime"},
              lc);
    QJsonValue device = link.value("device");
    if (!device.isUndefined() && !device.isString())
        lc.fail("device", "expected a path text");
    cfg.link.device = device.toString().toStdString();
    std::string deviceError;
    if (!checkDevice(cfg.link.device, deviceError))
        lc.fail("device", deviceError);
    cfg.link.baud = getInt(link, "baud", cfg.link.baud, 1, 4000000, lc);
    if (!serialline::baudSupported(cfg.link.baud))
        lc.fail("baud", serialline::unsupportedBaud(cfg.link.baud));
    QJsonValue parity = link.value("parity");
    if (!parity.isUndefined() && !serialline::parseParity(parity.toString().toStdString(), cfg.link.parity))
        lc.fail("parity", std::string("expected ") + serialline::kParityWords);
    cfg.link.dataBits = getInt(link, "dataBits", cfg.link.dataBits, 7, 8, lc);
    cfg.link.stopBits = getInt(link, "stopBits", cfg.link.stopBits, 1, 2, lc);
    cfg.link.responseTimeoutMs = getInt(link, "responseTimeoutMs", cfg.link.responseTimeoutMs, 1, 60000, lc);
    cfg.link.retryLimit = getInt(link, "retryLimit", cfg.link.retryLimit, 0, 100, lc);
    cfg.link.turnaroundMs = getInt(link, "turnaroundMs", cfg.link.turnaroundMs, 0, 10000, lc);
    cfg.link.echo = getBool(link, "echo", cfg.link.echo, lc);
    cfg.link.gapUs = getInt(link, "gapUs", cfg.link.gapUs, -1, 1000000, lc);
    cfg.link.interByteMs = getInt(link, "interByteMs", cfg.link.interByteMs, 1, 10000, lc);
    cfg.link.settleMs = getInt(link, "settleMs", cfg.link.settleMs, -1, 10000, lc);
    cfg.link.deadAfter = getInt(link, "deadAfter", cfg.link.deadAfter, 0, 1000, lc);
    cfg.link.probeSeconds = getInt(link, "probeSeconds", cfg.link.probeSeconds, 1, 86400, lc);
    cfg.link.resetRetries = getBool(link, "resetRetries", cfg.link.resetRetries, lc);
    cfg.link.realtime = getBool(link, "realtime", cfg.link.realtime, lc);

    Ctx dc{path, "driver"};
    QJsonObject drv = getObject(root, "driver", top);
    checkKeys(drv, {"maxPerFrame", "multiStation", "defaultStation", "remoteMode", "localDeviceId"}, dc);
    // Longest read the areas allow: 125 registers, 2000 bits.
    cfg.driver.maxPerFrame = getInt(drv, "maxPerFrame", cfg.driver.maxPerFrame, 1, 123, dc);
    cfg.driver.multiStation = getBool(drv, "multiStation", cfg.driver.multiStation, dc);
    cfg.driver.defaultStation = getInt(drv, "defaultStation", cfg.driver.defaultStation, 1, 247, dc);
    cfg.driver.remoteMode = getInt(drv, "remoteMode", cfg.driver.remoteMode, 0, 1, dc);
    cfg.driver.localDeviceId = getInt(drv, "localDeviceId", cfg.driver.localDeviceId, 0, 255, dc);

    QJsonValue tags = root.value("tags");
    if (!tags.isArray())
        top.fail("tags", tags.isUndefined() ? "missing (a list of tags)" : "expected a list of tags");
    QJsonArray list = tags.toArray();
    std::unordered_set<std::string> names;
    cfg.tags.reserve(static_cast<size_t>(list.size()));
    for (int i = 0; i < list.size(); ++i) {
        Tag t = parseTag(list.at(i), i, cfg, path);
        if (!names.insert(t.name).second)
            Ctx{path, "tag \"" + t.name + "\""}.fail("name", "the name is used by an earlier tag");
        cfg.tags.push_back(t);
    }
    return cfg;
}

HostConfig loadConfig(const std::string& path)
{
    QFile f(QString::fromStdString(path));
    if (!f.open(QIODevice::ReadOnly))
        throw ConfigError(path + ": cannot read the file: " + f.errorString().toStdString());
    return parseConfig(f.readAll(), path);
}

const char* kindName(int kind) { return kind >= 0 && kind < 12 ? kKindNames[kind] : "?"; }

const char* typeName(ValueType type)
{
    for (const TypeInfo& ti : kTypes)
        if (ti.type == type)
            return ti.name;
    return "?";
}

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
            case ValueType::I16: lo = -32768; hi = 32767; break;
            case ValueType::I32: lo = INT32_MIN; hi = INT32_MAX; break;
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
