#include "PollCommand.h"

#include "HostView.h"
#include "ValueCodec.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <sstream>

namespace host {

namespace {

[[noreturn]] void bad(const std::string& option, const std::string& what) { throw ConfigError(option + ": " + what); }

long number(const std::string& option, const std::string& text, long lo, long hi)
{
    char* end = nullptr;
    const long v = std::strtol(text.c_str(), &end, 10);
    if (text.empty() || *end || v < lo || v > hi)
        bad(option, "expected a number " + std::to_string(lo) + ".." + std::to_string(hi) + ", got \"" + text + "\"");
    return v;
}

// Area digit of a reference and the kind it reads: 0 coils, 1 inputs, 3 input registers, 4 holding registers.
const char* refKind(int digit)
{
    switch (digit) {
    case 0: return "coil.bit";
    case 1: return "di.bit";
    case 3: return "ir.word";
    case 4: return "hr.word";
    default: return nullptr;
    }
}

}  // namespace

HostConfig pollConfig(const PollTag& p, PollLabels& labels)
{
    std::string kind = p.kind.empty() ? "hr.word" : p.kind;
    long numberGiven = -1;  // 0-based coil or register number
    labels = PollLabels();
    if (!p.ref.empty()) {
        if (!p.kind.empty() || !p.address.empty())
            bad("--ref", "gives kind and number at once: leave out --kind and --address");
        if (p.ref.size() != 5 && p.ref.size() != 6)
            bad("--ref", "expected 5 or 6 digits such as 40101, got \"" + p.ref + "\"");
        const long ref = number("--ref", p.ref, 0, 999999);
        labels.refDigits = static_cast<int>(p.ref.size());
        const long scale = labels.refDigits == 5 ? 10000 : 100000;
        labels.refDigit = static_cast<int>(ref / scale);
        if (!refKind(labels.refDigit))
            bad("--ref", "the first digit names the area: 0 coils, 1 inputs, 3 input registers, 4 holding registers");
        if (ref % scale == 0)
            bad("--ref", "references count from 1 (" + std::to_string(labels.refDigit * scale + 1) + " is the first)");
        kind = refKind(labels.refDigit);
        numberGiven = ref % scale - 1;
        labels.base = 1;
    } else {
        // A kind by number as the configuration takes it; an area alone reads its natural unit.
        if (!kind.empty() && kind.size() <= 2 && std::all_of(kind.begin(), kind.end(), ::isdigit) &&
            std::string(kindName(std::atoi(kind.c_str()))) != "?")
            kind = kindName(std::atoi(kind.c_str()));
        for (const char* area : {"coil", "di"})
            if (kind == area)
                kind += ".bit";
        for (const char* area : {"hr", "ir"})
            if (kind == area)
                kind += ".word";
        labels.base = p.oneBased ? 1 : 0;
        if (!p.address.empty() && p.address.find('.') == std::string::npos)
            numberGiven = number("--address", p.address, labels.base, 65535 + labels.base) - labels.base;
    }

    QJsonObject tag{{"name", "poll"}, {"kind", QString::fromStdString(kind)}};
    const bool bits = kind == "coil.bit" || kind == "di.bit";
    const bool words = kind == "hr.word" || kind == "ir.word";
    const bool dwords = kind == "hr.dword" || kind == "ir.dword";
    if (numberGiven >= 0) {
        if (bits)
            tag["address"] = QString("%1.%2").arg(numberGiven / 8).arg(numberGiven % 8);
        else if (words)
            tag["address"] = static_cast<double>(numberGiven);
        else if (dwords && numberGiven % 2 == 0)
            tag["address"] = static_cast<double>(numberGiven / 2);
        else if (dwords)
            bad("--address", kind + " starts at even registers; for an odd one use --kind " + kind.substr(0, 2) +
                                 ".word --type u32");
        else
            tag["address"] = static_cast<double>(numberGiven);  // bytes and others: as the configuration counts
    } else {
        tag["address"] = QString::fromStdString(p.address.empty() ? (bits ? "0.0" : "0") : p.address);
    }
    ValueType type = ValueType::U16;
    if (!p.type.empty()) {
        tag["type"] = QString::fromStdString(p.type);
        typeFromName(p.type, type);
    }
    // The count is of values: a f32 over holding registers takes two of them.
    const long values = p.count.empty() ? 1 : number("--count", p.count, 1, 2000);
    tag["count"] = static_cast<double>(values * (words && !p.type.empty() ? registersOf(type) : 1));
    if (!p.wordOrder.empty())
        tag["wordOrder"] = QString::fromStdString(p.wordOrder);

    QJsonArray tags;
    std::vector<long> stations;
    if (!p.stations.empty()) {
        std::stringstream list(p.stations);
        std::string item;
        while (std::getline(list, item, ','))
            stations.push_back(number("--stations", item, 1, 247));
    }
    if (stations.empty()) {
        tags.append(tag);
    } else {
        for (long s : stations) {
            tag["name"] = QString("poll%1").arg(s);
            tag["station"] = static_cast<double>(s);
            tags.append(tag);
        }
    }
    HostConfig cfg = parseConfig(QJsonDocument(QJsonObject{{"tags", tags}}).toJson(), "");
    cfg.path = "poll";
    return cfg;
}

std::string pollTable(const HostSession& session, const PollLabels& labels, double upSeconds)
{
    const HostConfig& cfg = session.config();
    std::string out;
    char line[512];
    for (size_t i = 0; i < cfg.tags.size(); ++i) {
        const Tag& t = cfg.tags[i];
        const TagStatus& s = session.tags()[i];
        const auto st = session.stations().find(cfg.stationOf(t));
        const bool offline = st != session.stations().end() && st->second.offline;
        const bool ok = s.ok() && !offline;
        const std::string state = ok ? "ok" : offline ? "station offline: " + st->second.lastFailure : tagTrouble(s);
        long first = 0, span = 0;
        wireSpan(t, first, span);
        const int items = t.items();
        const long step = items > 0 ? span / items : 1;
        const auto label = [&](int item) {
            const long n = first + item * step + labels.base;
            return labels.refDigit < 0
                       ? std::to_string(n)
                       : std::to_string(labels.refDigit * (labels.refDigits == 5 ? 10000L : 100000L) + n);
        };
        std::snprintf(line, sizeof line, "%s  station %d  %s from %s  %d x %s%s%s   t=%.1fs  %s\n",
                      cfg.link.device.empty() ? "simulated" : cfg.link.device.c_str(), cfg.stationOf(t),
                      kindName(t.kind), label(0).c_str(), items, typeName(t.type), t.registersPerItem() > 1 ? " " : "",
                      t.registersPerItem() > 1 ? wordOrderName(t.wordOrder) : "", upSeconds, state.c_str());
        out += line;
        const QByteArray bytes = session.readTag(t);
        for (int k = 0; k < items; ++k) {
            std::snprintf(line, sizeof line, "%10s  %s\n", label(k).c_str(),
                          ok ? formatItem(t, bytes, k).c_str() : "?");
            out += line;
        }
    }
    return out;
}

void PollTally::add(const HostSession& session)
{
    const HostConfig& cfg = session.config();
    bool all = true;
    for (size_t i = 0; i < cfg.tags.size(); ++i) {
        const TagStatus& s = session.tags()[i];
        if (s.ok())
            continue;
        all = false;
        const int station = cfg.stationOf(cfg.tags[i]);
        const auto st = session.stations().find(station);
        std::string why = s.lastFailure.empty() ? "not read" : s.lastFailure;
        if (st != session.stations().end() && st->second.offline)
            why = "offline (" + st->second.lastFailure + ")";
        ++failures_[{station, why}];
    }
    ++reads_;
    ok_ += all ? 1 : 0;
}

std::string PollTally::summary() const
{
    std::string out = std::to_string(reads_) + (reads_ == 1 ? " read, " : " reads, ") + std::to_string(ok_) + " ok";
    if (reads_ == ok_)
        return out;
    out += ", " + std::to_string(reads_ - ok_) + " failed:";
    const char* sep = " ";
    for (const auto& f : failures_) {
        out += sep + std::string("station ") + std::to_string(f.first.first) + " " + f.first.second + " " +
               std::to_string(f.second) + "x";
        sep = "; ";
    }
    return out;
}

}  // namespace host
