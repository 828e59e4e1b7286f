#include "HostConfig.h"

#include "link/LinkFactory.h"
#include "ValueCodec.h"

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonParseError>
#include <QStringList>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <set>
#include <unordered_set>

namespace host {

namespace {

const int kKinds = 16;
const char* const kKindNames[kKinds] = {"di.bit",  "coil.bit",  "hr.bit",  "di.byte",  "coil.byte",  "hr.byte",
                                        "di.word", "coil.word", "hr.word", "di.dword", "coil.dword", "hr.dword",
                                        "ir.bit",  "ir.byte",   "ir.word", "ir.dword"};

// Largest number of items that still fits one Modbus request.
const int kMaxItems[4] = {2000, 246, 123, 61};

std::string quote(const QString& s) { return "\"" + s.toStdString() + "\""; }

// Where a problem was found: "demo.json: tag \"speed\": field \"kind\"".
struct Ctx {
    std::string file;
    std::string where;  // "link", "tag \"x\"", ...
    [[noreturn]] void fail(const QString& field, const std::string& what) const
    {
        if (file.empty() && !field.isEmpty())  // a configuration built from command-line options
            throw ConfigError("--" + field.toStdString() + ": " + what);
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
        c.fail("kind", "missing (a number 0..15 or a word such as \"hr.word\")");
    if (v.isDouble()) {
        double d = v.toDouble();
        if (std::floor(d) != d || d < 0 || d >= kKinds)
            c.fail("kind", "expected a number 0..15 or a word such as \"hr.word\"");
        return static_cast<int>(d);
    }
    if (v.isString()) {
        const QString word = v.toString();
        for (int k = 0; k < kKinds; ++k)
            if (word == QLatin1String(kKindNames[k]))
                return k;
        std::string all;
        for (const char* n : kKindNames)
            all += std::string(all.empty() ? "" : ", ") + n;
        c.fail("kind", "unknown kind word " + quote(v.toString()) + " (expected one of: " + all + ")");
    }
    c.fail("kind", "expected a number 0..15 or a word such as \"hr.word\"");
}

bool allDigits(const std::string& s)
{
    return !s.empty() && s.size() <= 9 &&
           std::all_of(s.begin(), s.end(), [](char ch) { return ch >= '0' && ch <= '9'; });
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
    const std::vector<ValueType>& allowed = typesOfKind(t.kind);
    if (v.isUndefined()) {
        t.type = allowed.front();
        return;
    }
    std::string names;
    for (ValueType a : allowed)
        names += std::string(names.empty() ? "" : ", ") + typeName(a);
    ValueType type;
    if (v.isString() && typeFromName(v.toString().toStdString(), type)) {
        if (std::find(allowed.begin(), allowed.end(), type) == allowed.end())
            c.fail("type", std::string("type \"") + typeName(type) + "\" does not fit kind " + kindName(t.kind) +
                               " (expected one of: " + names + ")");
        t.type = type;
        return;
    }
    c.fail("type", "unknown type " + (v.isString() ? quote(v.toString()) : std::string("value")) +
                       " (expected one of: " + names + ")");
}

// Word order, scale, offset and unit, and the count a word tag's type needs.
void parseValueFields(Tag& t, const QJsonObject& o, const Ctx& c)
{
    const bool registerValue = t.registerArea() && t.width() >= 2;
    const int perItem = registerValue && t.width() == 2 ? registersOf(t.type) : 1;
    if (t.count % perItem)
        c.fail("count", "counts registers: a " + std::string(typeName(t.type)) + " takes " + std::to_string(perItem) +
                            ", so the count must be a multiple of " + std::to_string(perItem));
    // Double words of the register areas have always come low register first.
    t.wordOrder = t.width() == 3 ? WordOrder::CDAB : WordOrder::ABCD;
    const QJsonValue order = o.value(QLatin1String("wordOrder"));
    if (!order.isUndefined()) {
        if (!registerValue || (perItem == 1 && t.width() == 2 && t.type != ValueType::String))
            c.fail("wordOrder", "applies to values over more than one register and to strings (hr.word and "
                                "ir.word with u32, i32, f32, u64, i64, f64 or string; hr.dword, ir.dword)");
        if (!order.isString() || !wordOrderFromName(order.toString().toStdString(), t.wordOrder))
            c.fail("wordOrder", "expected ABCD, CDAB, BADC or DCBA");
    }
    const bool numeric = t.type != ValueType::Bit && t.type != ValueType::Hex && t.type != ValueType::String;
    for (const char* key : {"scale", "offset"}) {
        const QJsonValue v = o.value(QLatin1String(key));
        if (v.isUndefined())
            continue;
        if (!numeric)
            c.fail(key, std::string("applies to numeric types, not ") + typeName(t.type));
        if (!v.isDouble() || !std::isfinite(v.toDouble()) || (key[0] == 's' && v.toDouble() == 0))
            c.fail(key, key[0] == 's' ? "expected a number other than 0" : "expected a number");
        (key[0] == 's' ? t.scale : t.offset) = v.toDouble();
    }
    const QJsonValue unit = o.value(QLatin1String("unit"));
    if (!unit.isUndefined() && !unit.isString())
        c.fail("unit", "expected a text such as \"V\"");
    t.unit = unit.toString().toStdString();
}

// Input registers (12..15) are laid out as holding registers (2, 5, 8, 11).
int registerKind(int kind) { return kind >= 12 ? 3 * (kind - 12) + 2 : kind; }

}  // namespace

void wireSpan(const Tag& t, long& first, long& span)
{
    long a = t.addressValue, n = t.count;
    switch (registerKind(t.kind)) {
    case 0:
    case 1:
        first = a;
        span = n;
        break;
    case 3:
    case 4:
        first = 8 * a;
        span = 8 * n;
        break;
    case 6:
    case 7:
        first = 16 * a;
        span = 16 * n;
        break;
    case 9:
    case 10:
        first = 32 * a;
        span = 32 * n;
        break;
    case 2:
        first = a / 16;
        span = (a % 16 + n + 15) / 16;
        break;
    case 5:
        first = a / 2;
        span = (a % 2 + n + 1) / 2;
        break;
    case 8:
        first = a;
        span = n;
        break;
    default:
        first = 2 * a;
        span = 2 * n;
        break;
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
    static const QStringList kTagKeys = {"name", "kind",  "address", "station", "count",
                                         "type", "scale", "offset",  "unit",    "wordOrder"};
    checkKeys(o, kTagKeys, c);

    t.kind = parseKind(o.value(QLatin1String("kind")), c);
    t.addressValue = parseAddress(t, o.value(QLatin1String("address")), c);
    // Station 0 is the broadcast address: such a tag is written, never read.
    t.station = getInt(o, "station", cfg.driver.defaultStation, 0, 247, c);
    parseType(t, o.value(QLatin1String("type")), c);
    // Word tags count registers: by default one value of the type.
    const int defaultCount = t.registerArea() && t.width() == 2 ? registersOf(t.type) : 1;
    t.count = getInt(o, "count", defaultCount, 1, kMaxItems[t.width()], c);
    parseValueFields(t, o, c);
    long first = 0, span = 0;
    wireSpan(t, first, span);
    if (first + span > 65536)
        c.fail("address", "the tag reaches beyond the 65536 addresses of its area");
    return t;
}

}  // namespace

int Tag::areaCode() const
{
    static const int codes[4] = {3, 4, 8, 14};
    return codes[areaIndex()];
}

// Same conversion the driver applies to its read variables: the bit areas
// count bytes of eight inputs, the register area counts registers.
int Tag::firstUnit() const
{
    int a = addressValue;
    switch (registerKind(kind)) {
    case 0:
    case 1: return a / 8;
    case 2: return a / 16;
    case 3:
    case 4:
    case 8: return a;
    case 5: return a / 2;
    case 6:
    case 7:
    case 11: return a * 2;
    default: return a * 4;  // 9, 10
    }
}

int Tag::unitCount() const
{
    int a = addressValue, n = driverCount();
    switch (registerKind(kind)) {
    case 0:
    case 1: return (a % 8 + n + 7) / 8;
    case 2: return (a % 16 + n + 15) / 16;
    case 3:
    case 4:
    case 8: return n;
    case 5: return (a % 2 + n + 1) / 2;
    case 6:
    case 7: return n * 2;
    case 9:
    case 10: return ((n + 1) / 2) * 4;
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

std::string HostConfig::stationWarning() const
{
    if (driver.multiStation)
        return std::string();
    std::set<int> others;
    for (const Tag& t : tags)
        if (t.station != 0 && t.station != driver.defaultStation)
            others.insert(t.station);
    if (others.empty())
        return std::string();
    std::string list;
    for (int s : others)
        list += (list.empty() ? "" : ", ") + std::to_string(s);
    return "driver.multiStation is false: every tag is read from station " + std::to_string(driver.defaultStation) +
           " (driver.defaultStation), also those naming station " + list + "; set multiStation true to reach them";
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
        throw ConfigError(path + ": not valid JSON at line " + std::to_string(line) + ", column " +
                          std::to_string(col) + ": " + err.errorString().toStdString());
    }
    if (!doc.isObject())
        throw ConfigError(path + ": the file must hold one JSON object with \"link\", \"driver\" and \"tags\"");
    QJsonObject root = doc.object();
    Ctx top{path, "top level"};
    checkKeys(root, {"link", "driver", "stations", "tags"}, top);

    Ctx lc{path, "link"};
    QJsonObject link = getObject(root, "link", top);
    checkKeys(link,
              {"device", "baud", "parity", "dataBits", "stopBits", "responseTimeoutMs", "retryLimit", "echo",
               "turnaroundMs", "gapUs", "interByteMs", "settleMs", "deadAfter", "probeSeconds", "resetRetries",
               "realtime", "rs485", "lowLatency"},
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
    QJsonValue rs485 = link.value("rs485");
    if (!rs485.isUndefined() && !serialline::parseRs485(rs485.toString().toStdString(), cfg.link.rs485))
        lc.fail("rs485", std::string("expected ") + serialline::kRs485Words);
    cfg.link.gapUs = getInt(link, "gapUs", cfg.link.gapUs, -1, 1000000, lc);
    cfg.link.interByteMs = getInt(link, "interByteMs", cfg.link.interByteMs, 1, 10000, lc);
    cfg.link.settleMs = getInt(link, "settleMs", cfg.link.settleMs, -1, 10000, lc);
    cfg.link.deadAfter = getInt(link, "deadAfter", cfg.link.deadAfter, 0, 1000, lc);
    cfg.link.probeSeconds = getInt(link, "probeSeconds", cfg.link.probeSeconds, 1, 86400, lc);
    cfg.link.resetRetries = getBool(link, "resetRetries", cfg.link.resetRetries, lc);
    cfg.link.realtime = getBool(link, "realtime", cfg.link.realtime, lc);
    if (link.contains("lowLatency"))
        cfg.link.lowLatency = getBool(link, "lowLatency", false, lc) ? LowLatency::On : LowLatency::Off;

    Ctx dc{path, "driver"};
    QJsonObject drv = getObject(root, "driver", top);
    checkKeys(drv, {"maxPerFrame", "multiStation", "defaultStation", "remoteMode", "localDeviceId"}, dc);
    // Longest read the areas allow: 125 registers, 2000 bits.
    cfg.driver.maxPerFrame = getInt(drv, "maxPerFrame", cfg.driver.maxPerFrame, 1, 123, dc);
    cfg.driver.multiStation = getBool(drv, "multiStation", cfg.driver.multiStation, dc);
    cfg.driver.defaultStation = getInt(drv, "defaultStation", cfg.driver.defaultStation, 1, 247, dc);
    cfg.driver.remoteMode = getInt(drv, "remoteMode", cfg.driver.remoteMode, 0, 1, dc);
    cfg.driver.localDeviceId = getInt(drv, "localDeviceId", cfg.driver.localDeviceId, 0, 255, dc);

    QJsonObject stations = getObject(root, "stations", top);
    for (auto it = stations.begin(); it != stations.end(); ++it) {
        const std::string key = it.key().toStdString();
        Ctx sc{path, "station \"" + key + "\""};
        const int station = allDigits(key) ? std::atoi(key.c_str()) : -1;
        if (station < 1 || station > 247)
            top.fail("stations", "\"" + key + "\" is not a station 1..247");
        if (!it.value().isObject())
            sc.fail("", "expected an object");
        const QJsonObject so = it.value().toObject();
        checkKeys(so, {"name", "noMerge", "singleWrites", "responseTimeoutMs"}, sc);
        StationSettings& s = cfg.stationSettings[station];
        const QJsonValue name = so.value("name");
        if (!name.isUndefined() && !name.isString())
            sc.fail("name", "expected a text");
        s.name = name.toString().toStdString();
        s.noMerge = getBool(so, "noMerge", false, sc);
        s.singleWrites = getBool(so, "singleWrites", false, sc);
        s.responseTimeoutMs = getInt(so, "responseTimeoutMs", 0, 1, 60000, sc);
    }

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

void applyOverrides(HostConfig& cfg, const LinkOverrides& o)
{
    std::string error;
    if (!o.device.empty()) {
        if (!checkDevice(o.device, error))
            throw ConfigError("--device: " + error);
        cfg.link.device = o.device;
    }
    if (!o.baud.empty()) {
        const long baud = allDigits(o.baud) ? std::atol(o.baud.c_str()) : -1;
        if (baud < 0)
            throw ConfigError("--baud: \"" + o.baud +
                              "\" is not a baud rate (supported: " + serialline::supportedBauds() + ")");
        if (!serialline::baudSupported(baud))
            throw ConfigError("--baud: " + serialline::unsupportedBaud(baud));
        cfg.link.baud = static_cast<int>(baud);
    }
    if (!o.parity.empty() && !serialline::parseParity(o.parity, cfg.link.parity))
        throw ConfigError(std::string("--parity: expected ") + serialline::kParityWords + ", got \"" + o.parity + "\"");
    if (!o.station.empty()) {
        const int station = allDigits(o.station) ? std::atoi(o.station.c_str()) : -1;
        if (station < 1 || station > 247)
            throw ConfigError("--station: expected a station 1..247, got \"" + o.station + "\"");
        cfg.driver.defaultStation = station;
        for (Tag& t : cfg.tags)
            if (t.station != 0)
                t.station = station;
    }
}

std::vector<std::pair<long, long>> uncovered(long first, long last, std::vector<std::pair<long, long>> spans)
{
    std::sort(spans.begin(), spans.end());
    std::vector<std::pair<long, long>> out;
    long next = first;  // first unit not yet covered
    for (const auto& s : spans) {
        if (s.first > last)
            break;
        if (s.second < next)
            continue;
        if (s.first > next)
            out.push_back({next, s.first - 1});
        next = std::max(next, s.second + 1);
        if (next > last)
            return out;
    }
    if (next <= last)
        out.push_back({next, last});
    return out;
}

const char* kindName(int kind) { return kind >= 0 && kind < kKinds ? kKindNames[kind] : "?"; }

}  // namespace host
