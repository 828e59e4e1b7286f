#include "SimArgs.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <iterator>
#include <sstream>
#include <vector>

namespace {

[[noreturn]] void bad(const std::string& what) { throw SimArgError(what); }

std::vector<std::string> split(const std::string& v, char at)
{
    std::vector<std::string> out;
    std::stringstream ss(v);
    std::string item;
    while (std::getline(ss, item, at))
        out.push_back(item);
    return out;
}

std::vector<int> stationList(const std::string& opt, const std::string& v)
{
    std::vector<int> out;
    for (const std::string& item : split(v, ','))
        out.push_back(static_cast<int>(simArgInteger(opt, item, 1, 247)));
    if (out.empty())
        bad(opt + ": expected stations such as 1,2");
    return out;
}

// "coil", "di", "hr", "ir" (or 1..4) -> SimArea.
int areaOf(const std::string& opt, const std::string& word)
{
    static const char* const kWords[4] = {"coil", "di", "hr", "ir"};
    for (int a = 0; a < 4; ++a)
        if (word == kWords[a] || word == std::to_string(a + 1))
            return a + 1;
    bad(opt + ": area must be coil, di, hr or ir, got \"" + word + "\"");
}

// "FIRST-LAST" or "FIRST", 0..65535.
void addressRange(const std::string& opt, const std::string& text, int& first, int& last)
{
    const size_t dash = text.find('-');
    first = static_cast<int>(simArgInteger(opt + " first", text.substr(0, dash), 0, 65535));
    last = dash == std::string::npos ? first
                                     : static_cast<int>(simArgInteger(opt + " last", text.substr(dash + 1), 0, 65535));
    if (last < first)
        bad(opt + ": range end before its start in \"" + text + "\"");
}

// STATION:AREA:FIRST-LAST[,FIRST-LAST...]
std::vector<SimMapRange> mapRanges(const std::string& v)
{
    const std::vector<std::string> p = split(v, ':');
    if (p.size() != 3)
        bad("--map: expected STATION:AREA:FIRST-LAST[,FIRST-LAST...], got \"" + v + "\"");
    const int station = static_cast<int>(simArgInteger("--map station", p[0], 1, 247));
    const int area = areaOf("--map", p[1]);
    std::vector<SimMapRange> out;
    for (const std::string& range : split(p[2], ',')) {
        SimMapRange r{station, area, 0, 0};
        addressRange("--map", range, r.first, r.last);
        out.push_back(r);
    }
    if (out.empty())
        bad("--map: no address range in \"" + v + "\"");
    return out;
}

// A text of device identification: printable ASCII, at most 64 characters (one object of an answer).
std::string identityText(const std::string& opt, const std::string& v)
{
    if (v.empty() || v.size() > 64 ||
        std::any_of(v.begin(), v.end(), [](char c) { return static_cast<unsigned char>(c) < 0x20 || c == 0x7f; }))
        bad(opt + ": expected 1..64 printable characters, got \"" + v + "\"");
    return v;
}

SimExceptionRange exceptionRange(const std::string& v)
{
    const std::vector<std::string> p = split(v, ':');
    if (p.size() != 4)
        bad("--exception: expected STATION:AREA:FIRST-LAST:CODE, got \"" + v + "\"");
    SimExceptionRange e{};
    e.station = static_cast<int>(simArgInteger("--exception station", p[0], 1, 247));
    e.area = areaOf("--exception", p[1]);
    addressRange("--exception", p[2], e.first, e.last);
    e.code = static_cast<int>(simArgInteger("--exception code", p[3], 1, 255));
    return e;
}

}  // namespace

namespace {

// The whole text as a number, or false.
bool parseNumber(const std::string& v, double& x)
{
    char* end = nullptr;
    errno = 0;
    x = std::strtod(v.c_str(), &end);
    return !v.empty() && !*end && !errno;
}

}  // namespace

double simArgNumber(const std::string& opt, const std::string& v, double lo, double hi)
{
    double x = 0;
    if (!parseNumber(v, x) || !(x >= lo && x <= hi)) {
        char range[64];
        std::snprintf(range, sizeof range, "%g..%g", lo, hi);
        bad(opt + ": expected a number in " + range + ", got \"" + v + "\"");
    }
    return x;
}

long simArgInteger(const std::string& opt, const std::string& v, long lo, long hi)
{
    double x = 0;
    if (!parseNumber(v, x) || std::floor(x) != x || !(x >= static_cast<double>(lo) && x <= static_cast<double>(hi)))
        bad(opt + ": expected an integer in " + std::to_string(lo) + ".." + std::to_string(hi) + ", got \"" + v + "\"");
    return static_cast<long>(x);
}

namespace {

// The simulator's options; those with a value name take one.
struct SimOption {
    const char* name;
    const char* value;
};
const SimOption kSimOptions[] = {
    {"no-animate", nullptr}, {"no-pace", nullptr}, {"pace", nullptr},   {"stations", "LIST"},  {"drop", "RATE"},
    {"corrupt", "RATE"},     {"delay-ms", "N"},    {"silent", "LIST"},  {"exception", "SPEC"}, {"seed", "N"},
    {"gap-us", "N"},         {"dump", "FILE"},     {"split-ms", "MS"},  {"late-ms", "MS"},     {"late-rate", "RATE"},
    {"map", "SPEC"},         {"vendor", "TEXT"},   {"product", "TEXT"}, {"revision", "TEXT"},  {"remote", nullptr}};

void applySimOption(const std::string& opt, const std::string& v, SimOptions& o, std::string& dumpPath, bool& pace)
{
    if (opt == "--no-animate")
        o.animate = false;
    else if (opt == "--pace")
        pace = true;
    else if (opt == "--no-pace")
        pace = false;
    else if (opt == "--remote")
        o.remote = true;
    else if (opt == "--split-ms")
        o.splitMs = static_cast<int>(simArgInteger(opt, v, 0, 60000));
    else if (opt == "--late-ms")
        o.lateMs = static_cast<int>(simArgInteger(opt, v, 0, 600000));
    else if (opt == "--late-rate")
        o.lateRate = simArgNumber(opt, v, 0, 1);
    else if (opt == "--stations")
        o.stations = stationList(opt, v);
    else if (opt == "--drop")
        o.dropRate = simArgNumber(opt, v, 0, 1);
    else if (opt == "--corrupt")
        o.corruptRate = simArgNumber(opt, v, 0, 1);
    else if (opt == "--delay-ms")
        o.delayMs = static_cast<int>(simArgInteger(opt, v, 0, 600000));
    else if (opt == "--silent")
        for (int s : stationList(opt, v))
            o.silentStations.insert(s);
    else if (opt == "--exception")
        o.exceptions.push_back(exceptionRange(v));
    else if (opt == "--map")
        for (const SimMapRange& r : mapRanges(v))
            o.maps.push_back(r);
    else if (opt == "--seed")
        o.seed = static_cast<unsigned>(simArgInteger(opt, v, 0, 4294967295L));
    else if (opt == "--gap-us")
        o.frameGapUs = static_cast<int>(simArgInteger(opt, v, 100, 1000000));
    else if (opt == "--dump")
        dumpPath = v;
    else if (opt == "--vendor" || opt == "--product" || opt == "--revision")
        (opt == "--vendor" ? o.vendor : opt == "--product" ? o.product : o.revision) = identityText(opt, v);
}

}  // namespace

void addSimOptions(QCommandLineParser& parser)
{
    for (const SimOption& o : kSimOptions)
        parser.addOption(o.value ? QCommandLineOption(o.name, QString(), o.value) : QCommandLineOption(o.name));
}

void applySimOptions(const QCommandLineParser& parser, SimOptions& options, std::string& dumpPath, bool& pace)
{
    // In the order of the table: --pace after --no-pace, so that it wins when both are given.
    for (const SimOption& o : kSimOptions) {
        const std::string opt = std::string("--") + o.name;
        if (!o.value && parser.isSet(o.name))
            applySimOption(opt, "", options, dumpPath, pace);
        else if (o.value)
            for (const QString& v : parser.values(o.name))  // --silent, --exception, --map add up; others: last wins
                applySimOption(opt, v.toStdString(), options, dumpPath, pace);
    }
}

void parseSimArgs(const std::string& text, SimOptions& options, std::string& dumpPath, bool& pace)
{
    QCommandLineParser parser;
    parser.setSingleDashWordOptionMode(QCommandLineParser::ParseAsLongOptions);
    addSimOptions(parser);
    QStringList args("--sim-args");  // stands for the program name, which the parser skips
    std::stringstream words(text);
    std::string word;
    while (words >> word)
        args << QString::fromStdString(word);
    if (!parser.parse(args))
        bad(parserError(parser));
    if (!parser.positionalArguments().isEmpty())
        bad("unexpected argument \"" + parser.positionalArguments().front().toStdString() + "\"");
    applySimOptions(parser, options, dumpPath, pace);
}

std::string parserError(const QCommandLineParser& parser)
{
    const QStringList unknown = parser.unknownOptionNames();
    if (unknown.isEmpty()) {  // "Missing value after '--drop'." -> "missing value after '--drop'"
        std::string text = parser.errorText().toStdString();
        if (!text.empty() && text.back() == '.')
            text.pop_back();
        if (!text.empty())
            text[0] = static_cast<char>(std::tolower(static_cast<unsigned char>(text[0])));
        return text;
    }
    const QString& name = unknown.front();
    return "unknown option \"" + std::string(name.size() == 1 ? "-" : "--") + name.toStdString() + "\"";
}
