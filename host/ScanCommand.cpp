#include "ScanCommand.h"

#include "link/LinkFactory.h"
#include "rtu/RtuExchange.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <sstream>

namespace host {

namespace {

std::vector<std::string> items(const std::string& text)
{
    std::vector<std::string> out;
    std::stringstream ss(text);
    std::string item;
    while (std::getline(ss, item, ','))
        out.push_back(item);
    return out;
}

long wholeNumber(const std::string& option, const std::string& text, long lo, long hi)
{
    char* end = nullptr;
    const long v = std::strtol(text.c_str(), &end, 10);
    if (text.empty() || *end || v < lo || v > hi)
        throw ConfigError(option + ": expected " + std::to_string(lo) + ".." + std::to_string(hi) + ", got \"" + text +
                          "\"");
    return v;
}

// A read of one holding register at 0: every Modbus device answers it, with the register or an exception.
const char kProbePdu[] = "\x03\x00\x00\x00\x01";
constexpr int kProbeAnswerLength = 7;

}  // namespace

std::vector<int> parseStationList(const std::string& option, const std::string& text)
{
    std::vector<int> out;
    for (const std::string& item : items(text)) {
        const size_t dash = item.find('-');
        const long from = wholeNumber(option, item.substr(0, dash), 1, 247);
        const long to = dash == std::string::npos ? from : wholeNumber(option, item.substr(dash + 1), 1, 247);
        if (to < from)
            throw ConfigError(option + ": range end before its start in \"" + item + "\"");
        for (long s = from; s <= to; ++s)
            out.push_back(static_cast<int>(s));
    }
    if (out.empty())
        throw ConfigError(option + ": expected stations such as 1-247 or 1,3,7");
    return out;
}

std::vector<long> parseBaudList(const std::string& text)
{
    std::vector<long> out;
    for (const std::string& item : items(text)) {
        const long baud = wholeNumber("--bauds", item, 1, 4000000);
        if (!serialline::baudSupported(baud))
            throw ConfigError("--bauds: " + serialline::unsupportedBaud(baud));
        out.push_back(baud);
    }
    if (out.empty())
        throw ConfigError("--bauds: expected rates such as 9600,19200");
    return out;
}

std::vector<char> parseParityList(const std::string& text)
{
    std::vector<char> out;
    for (const std::string& item : items(text)) {
        char p;
        if (!serialline::parseParity(item, p))
            throw ConfigError("--parity: expected a list of " + std::string(serialline::kParityWords) + ", got \"" +
                              item + "\"");
        out.push_back(p);
    }
    if (out.empty())
        throw ConfigError("--parity: expected parities such as N,E");
    return out;
}

const std::vector<long>& commonBauds()
{
    static const std::vector<long> bauds{19200, 9600, 38400, 57600, 115200, 4800};
    return bauds;
}

bool runScan(const LinkSettings& line, const ScanPlan& plan, CrcFunction crc, const std::atomic<bool>* stop,
             const std::function<void(const ScanProgress&)>& progress, std::vector<ScanHit>& hits, std::string& error)
{
    const auto start = std::chrono::steady_clock::now();
    const long total = static_cast<long>(plan.stations.size() * plan.bauds.size() * plan.parities.size());
    long done = 0;
    const QByteArray pdu(kProbePdu, sizeof kProbePdu - 1);
    for (long baud : plan.bauds)
        for (char parity : plan.parities) {
            LinkSettings s = line;
            s.baud = static_cast<int>(baud);
            s.parity = parity;
            s.responseTimeoutMs = plan.timeoutMs;
            // A probe is one try; what comes after its time-out is gone by the next setting's.
            s.interByteMs = std::min(s.interByteMs, std::max(2, plan.timeoutMs / 2));
            std::unique_ptr<Link> link = makeLink(s, nullptr);
            if (!link->open(error))
                return false;
            RtuExchange exchange(*link, s, crc);
            exchange.setStopFlag(stop);
            bool found = false;
            for (size_t i = 0; i < plan.stations.size(); ++i) {
                const int station = plan.stations[i];
                if (stop && stop->load())
                    return true;
                if (found && plan.first) {
                    done += static_cast<long>(plan.stations.size() - i);
                    break;
                }
                const QByteArray request = rtuRequest(static_cast<uint8_t>(station), pdu, crc);
                const ExchangeResult r = exchange.exchange(reinterpret_cast<const uint8_t*>(request.constData()),
                                                           request.size(), kProbeAnswerLength, true);
                // Any sound frame of the station asked is a sign of life, an exception answer too.
                const bool ownFrame = r.status == AnswerStatus::Mismatch && !r.received.isEmpty() &&
                                      static_cast<uint8_t>(r.received[0]) == station;
                if (r.status == AnswerStatus::Ok || r.status == AnswerStatus::Exception || ownFrame) {
                    hits.push_back({station, baud, parity, r.status == AnswerStatus::Ok ? "answers" : r.why});
                    found = true;
                }
                ++done;
                if (progress)
                    progress(
                        {done, total, std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count()});
            }
            link->close();
        }
    return true;
}

std::string progressBar(const ScanProgress& p, int cols)
{
    const int width = 20;
    const int filled = p.total > 0 ? static_cast<int>(width * p.done / p.total) : width;
    const double rate = p.seconds > 0 ? p.done / p.seconds : 0;
    const long left = rate > 0 ? static_cast<long>((p.total - p.done) / rate + 0.5) : 0;
    char text[160];
    std::snprintf(text, sizeof text, "[%s%s] %ld/%ld  %3ld %%  %.1f probes/s  %ld:%02ld left",
                  std::string(static_cast<size_t>(filled), '#').c_str(),
                  std::string(static_cast<size_t>(width - filled), ' ').c_str(), p.done, p.total,
                  p.total > 0 ? 100 * p.done / p.total : 100, rate, left / 60, left % 60);
    std::string out = text;
    return cols > 0 && out.size() > static_cast<size_t>(cols) ? out.substr(0, static_cast<size_t>(cols)) : out;
}

std::string scanReport(const LinkSettings& line, const std::vector<ScanHit>& hits, long probes, double seconds,
                       bool json)
{
    if (json) {
        QJsonArray found;
        for (const ScanHit& h : hits)
            found.append(QJsonObject{{"station", h.station},
                                     {"baud", static_cast<double>(h.baud)},
                                     {"parity", QString(QChar(h.parity))},
                                     {"dataBits", line.dataBits},
                                     {"stopBits", line.stopBits},
                                     {"answer", QString::fromStdString(h.answer)}});
        QJsonObject root{{"device", QString::fromStdString(line.device)},
                         {"found", found},
                         {"probes", static_cast<double>(probes)},
                         {"elapsedMs", static_cast<int>(seconds * 1000)}};
        return QJsonDocument(root).toJson(QJsonDocument::Indented).constData();
    }
    std::string out;
    char text[256];
    for (const ScanHit& h : hits) {
        std::snprintf(text, sizeof text, "station %3d  %6ld baud %d%c%d  %s\n", h.station, h.baud, line.dataBits,
                      h.parity, line.stopBits, h.answer.c_str());
        out += text;
    }
    std::snprintf(text, sizeof text, "%zu answer%s in %ld probes, %.1f s\n", hits.size(), hits.size() == 1 ? "" : "s",
                  probes, seconds);
    return out + text;
}

}  // namespace host
