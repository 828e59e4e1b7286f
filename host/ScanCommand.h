// `plc-host scan`: which stations answer on a line, and at which baud rate
// and parity. Each station is asked once per setting with a read any device
// answers; an exception answer counts as present.
#pragma once

#include "HostConfig.h"
#include "rtu/RtuFraming.h"

#include <cstdio>
#include <functional>
#include <string>
#include <vector>

namespace host {

struct ScanPlan {
    std::vector<int> stations;  // 1..247
    std::vector<long> bauds;
    std::vector<char> parities;  // 'N', 'E', 'O'
    int timeoutMs = 100;
    bool first = false;  // per setting, stop at the first station that answers
};

// "1-10,15" -> 1..10, 15; "9600,19200"; "N,E" (also none, even, odd). Throw
// ConfigError naming the option.
std::vector<int> parseStationList(const std::string& option, const std::string& text);
std::vector<long> parseBaudList(const std::string& text);
std::vector<char> parseParityList(const std::string& text);
// The rates tried when none are given: the common ones, the Modbus default first.
const std::vector<long>& commonBauds();

struct ScanHit {
    int station;
    long baud;
    char parity;
    std::string answer;  // "answers" or the exception it gave, in words
};

struct ScanProgress {
    long done, total;
    double seconds;  // since the start
};

// Runs the plan over `line` (device, data and stop bits from it; baud,
// parity and time-out from the plan). `progress` is called after every
// probe; `stop` ends the scan early. Returns false with `error` set when the
// device cannot be opened.
bool runScan(const LinkSettings& line, const ScanPlan& plan, CrcFunction crc, const std::atomic<bool>* stop,
             const std::function<void(const ScanProgress&)>& progress, std::vector<ScanHit>& hits, std::string& error);

// "[#####     ] 120/940  13 %  25 probes/s  0:32 left", cut to `cols`.
std::string progressBar(const ScanProgress& p, int cols);

// The report: one line per hit and a summary, or one JSON object.
std::string scanReport(const LinkSettings& line, const std::vector<ScanHit>& hits, long probes, double seconds,
                       bool json);

}  // namespace host
