#include "HostMap.h"

#include "SerialLine.h"
#include "ValueCodec.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <tuple>
#include <utility>

namespace host {

namespace {

constexpr int kModbusReadRequest = 8;   // station, function, address, quantity, CRC
constexpr int kRemoteReadRequest = 22;  // descriptor header and its sum byte
constexpr int kAnswerOverhead = 5;      // station, function, byte count, CRC

bool registerArea(int area) { return area == 8 || area == 14; }

const char* areaWord(int area)
{
    return area == 3 ? "inputs" : area == 4 ? "coils" : area == 14 ? "input registers" : "registers";
}

// Units of area `area` a block covers, as wire numbers (bits or registers).
void blockWireRange(const ReadBlock& b, long& first, long& last)
{
    if (b.exactFirst >= 0) {
        first = b.exactFirst;
        last = b.exactFirst + b.exactBits - 1;
        return;
    }
    const long scale = registerArea(b.area) ? 1 : 8;
    first = b.first * scale;
    last = (b.first + b.length) * scale - 1;
}

long answerBytes(const ReadBlock& b)
{
    if (b.exactFirst >= 0)
        return kAnswerOverhead + (b.exactBits + 7) / 8;
    return kAnswerOverhead + (registerArea(b.area) ? 2 * b.length : b.length);
}

std::string blockText(int firstBlock, int lastBlock)
{
    if (firstBlock < 0)
        return "- (broadcast)";
    std::string out = "#" + std::to_string(firstBlock + 1);
    if (lastBlock != firstBlock)
        out += "-#" + std::to_string(lastBlock + 1);
    return out;
}

std::string numberRange(long first, long last)
{
    return first == last ? std::to_string(first) : std::to_string(first) + "-" + std::to_string(last);
}

std::string manualRange(const TagMap& m)
{
    return m.manualFirst == m.manualLast ? m.manualFirst : m.manualFirst + "-" + m.manualLast;
}

std::string lineName(const HostConfig& cfg)
{
    char text[64];
    std::snprintf(text, sizeof text, "%d baud %d%c%d", cfg.link.baud, cfg.link.dataBits, cfg.link.parity,
                  cfg.link.stopBits);
    return text;
}

bool unmerged(const HostConfig& cfg, int station)
{
    const auto it = cfg.stationSettings.find(station);
    return it != cfg.stationSettings.end() && it->second.noMerge;
}

// Wire units of the block that no tag asked for, as "42-43, 46".
std::string unaskedText(const HostConfig& cfg, const ReadBlock& b)
{
    long first = 0, last = 0;
    blockWireRange(b, first, last);
    std::vector<std::pair<long, long>> asked;
    for (const Tag& t : cfg.tags)
        if (cfg.readable(t) && cfg.stationOf(t) == b.station && t.areaCode() == b.area) {
            long tagFirst = 0, span = 0;
            wireSpan(t, tagFirst, span);
            asked.push_back({tagFirst, tagFirst + span - 1});
        }
    std::string out;
    for (const auto& r : uncovered(first, last, asked))
        out += (out.empty() ? "" : ", ") + numberRange(r.first, r.second);
    return out;
}

}  // namespace

std::vector<ReadBlock> readBlocks(const HostConfig& cfg)
{
    // (station, area) -> (first unit, length) of every readable tag, in list order.
    std::map<std::pair<int, int>, std::vector<std::pair<long, long>>> groups;
    std::map<std::pair<int, int>, std::vector<const Tag*>> unmergedGroups;
    for (const Tag& t : cfg.tags)
        if (cfg.readable(t)) {
            if (unmerged(cfg, cfg.stationOf(t)))
                unmergedGroups[{cfg.stationOf(t), t.areaCode()}].push_back(&t);
            else
                groups[{cfg.stationOf(t), t.areaCode()}].push_back({t.firstUnit(), t.unitCount()});
        }

    const long limit = std::max(1, cfg.driver.maxPerFrame);
    std::vector<ReadBlock> out;
    for (auto& g : unmergedGroups) {
        std::vector<ReadBlock> own;
        for (const Tag* t : g.second) {
            long wireFirst = 0, span = 0;
            wireSpan(*t, wireFirst, span);
            const bool exact = t->width() == 0 && !registerArea(g.first.second) && cfg.driver.remoteMode == 0;
            for (long done = 0; done < t->unitCount(); done += limit) {
                ReadBlock b{g.first.first, g.first.second, t->firstUnit() + done,
                            std::min(limit, t->unitCount() - done)};
                if (exact) {
                    b.exactFirst = wireFirst;
                    b.exactBits = span;
                }
                own.push_back(b);
            }
        }
        std::sort(own.begin(), own.end(), [](const ReadBlock& a, const ReadBlock& b) {
            return std::make_tuple(a.first, a.length, a.exactFirst, a.exactBits) <
                   std::make_tuple(b.first, b.length, b.exactFirst, b.exactBits);
        });
        own.erase(std::unique(own.begin(), own.end(),
                              [](const ReadBlock& a, const ReadBlock& b) {
                                  return a.first == b.first && a.length == b.length && a.exactFirst == b.exactFirst &&
                                         a.exactBits == b.exactBits;
                              }),
                  own.end());
        out.insert(out.end(), own.begin(), own.end());
    }
    for (auto& g : groups) {
        std::vector<std::pair<long, long>>& vars = g.second;
        // Stable like the driver's bubble sort: equal addresses keep list order.
        std::stable_sort(vars.begin(), vars.end(), [](const std::pair<long, long>& a, const std::pair<long, long>& b) {
            return a.first < b.first;
        });
        const size_t groupStart = out.size();
        // Appends blocks of at most `limit` units covering [start, start + length).
        auto cut = [&](long start, long length) {
            for (long done = 0; done < length; done += limit)
                out.push_back({g.first.first, g.first.second, start + done, std::min(limit, length - done)});
        };
        for (const auto& v : vars) {
            const long a = v.first, e = v.first + v.second;
            if (out.size() == groupStart || a >= out.back().first + limit) {
                cut(a, v.second);
                continue;
            }
            ReadBlock& current = out.back();
            if (e <= current.first + current.length)
                continue;  // inside the block
            const long start = current.first, total = e - start;
            current.length = std::min(limit, total);
            if (total > limit)
                cut(start + limit, total - limit);
        }
    }
    std::stable_sort(out.begin(), out.end(), [](const ReadBlock& a, const ReadBlock& b) {
        return std::make_tuple(a.station, a.area, a.first) < std::make_tuple(b.station, b.area, b.first);
    });
    return out;
}

std::string manualNumber(int area, long n, long highest)
{
    const int prefix = area == 3 ? 1 : area == 4 ? 0 : area == 14 ? 3 : 4;
    const bool wide = highest + 1 > 9999;
    const long number = prefix * (wide ? 100000L : 10000L) + n + 1;
    char text[24];
    std::snprintf(text, sizeof text, "%0*ld", wide ? 6 : 5, number);
    return text;
}

TagMap mapTag(const HostConfig& cfg, const Tag& t, const std::vector<ReadBlock>& blocks)
{
    static const char* const readFc[4] = {"02", "01", "03", "04"};
    // By kind: inputs cannot be written; coils by 05 (one bit) or 0F; registers
    // by 10, bits and bytes of a register as a read of it and a write back.
    static const char* const writeFc[16] = {"-",  "05", "03+10", "-",  "0F", "03+10", "-", "0F",
                                            "10", "-",  "0F",    "10", "-",  "-",     "-", "-"};
    TagMap m;
    const int area = t.areaCode();
    m.unit = area == 3 ? "input" : area == 4 ? "coil" : area == 14 ? "input register" : "register";
    m.readFc = readFc[t.areaIndex()];
    m.writeFc = writeFc[t.kind];
    long span = 0;
    wireSpan(t, m.first, span);
    m.last = m.first + span - 1;
    m.manualFirst = manualNumber(area, m.first, m.last);
    m.manualLast = manualNumber(area, m.last, m.last);
    m.type = typeName(t.type);
    if (t.registerArea() && (t.width() == 3 || t.registersPerItem() > 1))
        m.type += std::string(" ") + wordOrderName(t.wordOrder);

    // Register image bytes: even ones are low halves, odd ones high halves.
    const int a = t.addressValue;
    if (t.kind == 2 || t.kind == 12)
        m.part = (t.count == 1 ? "bit " : "from bit ") + std::to_string(a % 16);
    else if (t.kind == 5 || t.kind == 13)
        m.part = std::string(t.count == 1 ? "" : "from ") + (a % 2 ? "high byte" : "low byte");

    if (cfg.readable(t)) {
        const int station = cfg.stationOf(t);
        const long lo = t.firstUnit(), hi = lo + t.unitCount();
        // Blocks come sorted by station, area and address, and do not overlap.
        auto it = std::partition_point(blocks.begin(), blocks.end(), [&](const ReadBlock& b) {
            return std::make_tuple(b.station, b.area, b.first + b.length) <= std::make_tuple(station, area, lo);
        });
        for (; it != blocks.end() && it->station == station && it->area == area && it->first < hi; ++it) {
            if (m.firstBlock < 0)
                m.firstBlock = static_cast<int>(it - blocks.begin());
            m.lastBlock = static_cast<int>(it - blocks.begin());
        }
    }
    return m;
}

ScanEstimate estimateScan(const HostConfig& cfg, const std::vector<ReadBlock>& blocks, double responseMs)
{
    ScanEstimate s;
    const LinkSettings& l = cfg.link;
    s.charMs = 1000.0 * serialline::bitsPerChar(l.line()) / l.baud;
    // The host's silence before a request: the line's t3.5 unless configured.
    s.gapMs = (l.gapUs >= 0 ? l.gapUs : serialline::frameGapUs(l.line())) / 1000.0;
    s.responseMs = responseMs;
    s.requests = static_cast<int>(blocks.size());
    const int request = cfg.driver.remoteMode ? kRemoteReadRequest : kModbusReadRequest;
    for (const ReadBlock& b : blocks) {
        s.bytesSent += request;
        s.bytesReceived += answerBytes(b);
    }
    s.ms = s.requests * (s.gapMs + responseMs) + (s.bytesSent + s.bytesReceived) * s.charMs;
    return s;
}

const char* addressHelp()
{
    return "Address units: a tag's address and count are in units of its width, over its\n"
           "area. The wire numbers coils, inputs and registers from 0, device manuals from 1\n"
           "(00001 coils, 10001 discrete inputs, 40001 holding registers):\n"
           "  coil.bit \"6.2\"    coil 50 (byte 6, bit 2)\n"
           "  coil.byte 6       coils 48-55\n"
           "  coil.word 3       coils 48-63 (00049-00064)\n"
           "  coil.dword 3      coils 96-127\n"
           "  hr.bit \"61.2\"     bit 10 of register 30\n"
           "  hr.byte 60        low byte of register 30\n"
           "  hr.byte 61        high byte of register 30\n"
           "  hr.word 30        register 30 (40031)\n"
           "  hr.dword 20       registers 40-41 (40041-40042), register 40 the low half\n"
           "  hr.word 5, f32    one float at registers 5-6 (count 2)\n"
           "  di.*              count like coil.*, over the discrete inputs\n"
           "  ir.*              like hr.*, over the input registers (30001 style, read-only)\n"
           "plc-host map shows where each tag of a configuration lives.\n";
}

std::string mapText(const HostConfig& cfg, double responseMs)
{
    const std::vector<ReadBlock> blocks = readBlocks(cfg);
    std::string out;
    char line[256];
    const char* const format = "%-16.16s %3s  %-10s %-6s %-11s %-4s %-5s %-16s %-20s %s\n";
    std::snprintf(line, sizeof line, format, "TAG", "ST", "KIND", "ADDR", "TYPE", "READ", "WRITE", "0-BASED", "MANUAL",
                  "BLOCK");
    out += line;
    for (const Tag& t : cfg.tags) {
        const TagMap m = mapTag(cfg, t, blocks);
        static const char* const shortUnit[4] = {"in", "coil", "reg", "inreg"};
        const std::string wire = std::string(shortUnit[t.areaIndex()]) + " " + numberRange(m.first, m.last);
        const std::string manual = manualRange(m) + (m.part.empty() ? "" : " " + m.part);
        std::snprintf(line, sizeof line, format, t.name.c_str(), std::to_string(cfg.stationOf(t)).c_str(),
                      kindName(t.kind), t.address.c_str(), m.type.c_str(), m.readFc, m.writeFc, wire.c_str(),
                      manual.c_str(), blockText(m.firstBlock, m.lastBlock).c_str());
        out += line;
    }

    if (!cfg.stationSettings.empty())
        out += "\nStations:\n";
    for (const auto& e : cfg.stationSettings) {
        const StationSettings& s = e.second;
        std::string what = s.name.empty() ? "" : "\"" + s.name + "\" ";
        what += s.noMerge ? "noMerge: each tag read on its own (bits exactly)" : "reads merged";
        if (s.singleWrites)
            what += "; singleWrites: one register written with 06";
        what += "; response time-out " +
                std::to_string(s.responseTimeoutMs ? s.responseTimeoutMs : cfg.link.responseTimeoutMs) + " ms";
        out += "  " + std::to_string(e.first) + " " + what + "\n";
    }

    std::snprintf(line, sizeof line, "\nRead blocks (maxPerFrame %d: registers, or bytes of 8 coils or inputs):\n",
                  cfg.driver.maxPerFrame);
    out += line;
    for (size_t i = 0; i < blocks.size(); ++i) {
        const ReadBlock& b = blocks[i];
        long first = 0, last = 0;
        blockWireRange(b, first, last);
        std::snprintf(line, sizeof line, "  #%-3zu station %-3d %-15s %-11s %-13s request %d B, answer %ld B\n", i + 1,
                      b.station, areaWord(b.area), numberRange(first, last).c_str(),
                      (first == last ? manualNumber(b.area, first, last)
                                     : manualNumber(b.area, first, last) + "-" + manualNumber(b.area, last, last))
                          .c_str(),
                      cfg.driver.remoteMode ? kRemoteReadRequest : kModbusReadRequest, answerBytes(b));
        out += line;
        const std::string unasked = unaskedText(cfg, b);
        if (!unasked.empty())
            out += "       reads " + unasked + " that no tag asked for (a sparse device may refuse them)\n";
    }

    const ScanEstimate s = estimateScan(cfg, blocks, responseMs);
    std::snprintf(line, sizeof line,
                  "\nPer scan: %d requests, %ld bytes sent, %ld received. On %s (%.3f ms a character):\n", s.requests,
                  s.bytesSent, s.bytesReceived, lineName(cfg).c_str(), s.charMs);
    out += line;
    std::snprintf(line, sizeof line,
                  "  full scan about %.1f ms = %d x (%.2f ms silence before the request + %.1f ms until\n"
                  "  the controller answers) + %.1f ms of bytes; about %.1f scans a second.\n",
                  s.ms, s.requests, s.gapMs, s.responseMs, (s.bytesSent + s.bytesReceived) * s.charMs,
                  s.ms > 0 ? 1000.0 / s.ms : 0.0);
    out += line;
    std::snprintf(line, sizeof line,
                  "  The controller's response time is assumed (--response-ms, default %g);\n"
                  "  writes and retries come on top.\n",
                  kDefaultResponseMs);
    out += line;
    if (cfg.driver.remoteMode)
        out += "  Remote mode: requests are remote frames (22 bytes a read, 22 + data a write), answers\n"
               "  data + 5 bytes a read, 8 a write (docs/remote-frames.md); the function codes apply to\n"
               "  Modbus mode only.\n";
    return out;
}

std::string mapJson(const HostConfig& cfg, double responseMs)
{
    const std::vector<ReadBlock> blocks = readBlocks(cfg);
    QJsonArray tags;
    for (const Tag& t : cfg.tags) {
        const TagMap m = mapTag(cfg, t, blocks);
        QJsonObject j;
        j["name"] = QString::fromStdString(t.name);
        j["station"] = cfg.stationOf(t);
        j["kind"] = kindName(t.kind);
        j["address"] = QString::fromStdString(t.address);
        j["count"] = t.count;
        j["unit"] = m.unit;
        j["read"] = m.readFc;
        j["write"] = m.writeFc;
        j["first"] = static_cast<double>(m.first);
        j["last"] = static_cast<double>(m.last);
        j["manualFirst"] = QString::fromStdString(m.manualFirst);
        j["manualLast"] = QString::fromStdString(m.manualLast);
        j["part"] = QString::fromStdString(m.part);
        j["type"] = QString::fromStdString(m.type);
        j["firstBlock"] = m.firstBlock < 0 ? QJsonValue() : QJsonValue(m.firstBlock + 1);
        j["lastBlock"] = m.lastBlock < 0 ? QJsonValue() : QJsonValue(m.lastBlock + 1);
        tags.append(j);
    }
    QJsonArray list;
    for (size_t i = 0; i < blocks.size(); ++i) {
        const ReadBlock& b = blocks[i];
        long first = 0, last = 0;
        blockWireRange(b, first, last);
        QJsonObject j;
        j["block"] = static_cast<int>(i + 1);
        j["station"] = b.station;
        j["unit"] = areaWord(b.area);
        j["first"] = static_cast<double>(first);
        j["last"] = static_cast<double>(last);
        j["answerBytes"] = static_cast<double>(answerBytes(b));
        j["unasked"] = QString::fromStdString(unaskedText(cfg, b));
        list.append(j);
    }
    const ScanEstimate s = estimateScan(cfg, blocks, responseMs);
    QJsonObject scan;
    scan["requests"] = s.requests;
    scan["bytesSent"] = static_cast<double>(s.bytesSent);
    scan["bytesReceived"] = static_cast<double>(s.bytesReceived);
    scan["charMs"] = s.charMs;
    scan["gapMs"] = s.gapMs;
    scan["responseMs"] = s.responseMs;
    scan["ms"] = s.ms;
    QJsonObject root;
    root["version"] = KEMO_VERSION;
    root["tags"] = tags;
    root["blocks"] = list;
    root["scan"] = scan;
    return QJsonDocument(root).toJson(QJsonDocument::Indented).toStdString();
}

}  // namespace host
