#include "SimRunner.h"

#include "HostConfig.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <pty.h>
#include <sstream>
#include <termios.h>
#include <unistd.h>

namespace host {

namespace {

[[noreturn]] void bad(const std::string& what) { throw ConfigError("--sim-args: " + what); }

double number(const std::string& opt, const std::string& v, double lo, double hi)
{
    char* end = nullptr;
    errno = 0;
    double x = std::strtod(v.c_str(), &end);
    if (v.empty() || *end || errno || !(x >= lo && x <= hi))
        bad(opt + ": expected a number in " + std::to_string(lo) + ".." + std::to_string(hi) + ", got \"" + v + "\"");
    return x;
}

int integer(const std::string& opt, const std::string& v, long lo, long hi)
{
    double x = number(opt, v, static_cast<double>(lo), static_cast<double>(hi));
    if (static_cast<long>(x) != x)
        bad(opt + ": expected an integer, got \"" + v + "\"");
    return static_cast<int>(x);
}

std::vector<int> stationList(const std::string& opt, const std::string& v)
{
    std::vector<int> out;
    std::stringstream ss(v);
    std::string item;
    while (std::getline(ss, item, ','))
        out.push_back(integer(opt, item, 1, 247));
    if (out.empty())
        bad(opt + ": expected stations such as 1,2");
    return out;
}

SimExceptionRange exceptionRange(const std::string& v)
{
    std::vector<std::string> p;
    std::stringstream ss(v);
    std::string item;
    while (std::getline(ss, item, ':'))
        p.push_back(item);
    if (p.size() != 4)
        bad("--exception: expected STATION:AREA:FIRST-LAST:CODE, got \"" + v + "\"");
    SimExceptionRange e{};
    e.station = integer("--exception station", p[0], 1, 247);
    if (p[1] == "coil" || p[1] == "1")
        e.area = 1;
    else if (p[1] == "di" || p[1] == "2")
        e.area = 2;
    else if (p[1] == "hr" || p[1] == "3")
        e.area = 3;
    else
        bad("--exception: area must be coil, di or hr, got \"" + p[1] + "\"");
    size_t dash = p[2].find('-');
    e.first = integer("--exception first", p[2].substr(0, dash), 0, 65535);
    e.last = dash == std::string::npos ? e.first : integer("--exception last", p[2].substr(dash + 1), 0, 65535);
    if (e.last < e.first)
        bad("--exception: range end before its start in \"" + v + "\"");
    e.code = integer("--exception code", p[3], 1, 255);
    return e;
}

}  // namespace

const char* SimRunner::help()
{
    return "  --sim-args \"...\"  options of the simulated controller, in one argument:\n"
           "      --drop RATE  --corrupt RATE  --delay-ms N  --silent 3[,4]  --stations 1,2\n"
           "      --exception STATION:AREA:FIRST-LAST:CODE (AREA coil|di|hr)  --seed N\n"
           "      --no-animate  --gap-us N  --dump FILE (its memory as JSON when plc-host ends)\n";
}

SimRunner::SimRunner(const std::vector<int>& stations, const std::string& simArgs)
{
    options_.stations = stations;
    std::stringstream ss(simArgs);
    std::vector<std::string> args;
    std::string a;
    while (ss >> a)
        args.push_back(a);
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& opt = args[i];
        if (opt == "--no-animate") {
            options_.animate = false;
            continue;
        }
        if (i + 1 >= args.size())
            bad(opt == "--drop" || opt == "--corrupt" || opt == "--delay-ms" || opt == "--silent" ||
                        opt == "--exception" || opt == "--seed" || opt == "--dump" || opt == "--stations" ||
                        opt == "--gap-us"
                    ? opt + ": missing value"
                    : "unknown option \"" + opt + "\"");
        const std::string& v = args[++i];
        if (opt == "--drop") options_.dropRate = number(opt, v, 0, 1);
        else if (opt == "--corrupt") options_.corruptRate = number(opt, v, 0, 1);
        else if (opt == "--delay-ms") options_.delayMs = integer(opt, v, 0, 600000);
        else if (opt == "--silent") for (int s : stationList(opt, v)) options_.silentStations.insert(s);
        else if (opt == "--stations") options_.stations = stationList(opt, v);
        else if (opt == "--exception") options_.exceptions.push_back(exceptionRange(v));
        else if (opt == "--seed") options_.seed = static_cast<unsigned>(integer(opt, v, 0, 2147483647L));
        else if (opt == "--gap-us") options_.frameGapUs = integer(opt, v, 100, 1000000);
        else if (opt == "--dump") dumpPath_ = v;
        else bad("unknown option \"" + opt + "\"");
    }
    try {
        sim_.reset(new SimController(options_));
    } catch (const std::exception& e) {
        bad(e.what());
    }
}

SimRunner::~SimRunner()
{
    std::string ignored;
    finish(ignored);
}

bool SimRunner::start(std::string& error)
{
    if (openpty(&master_, &slave_, nullptr, nullptr, nullptr) != 0) {
        error = std::string("openpty: ") + std::strerror(errno);
        return false;
    }
    for (int fd : {master_, slave_}) {
        termios tio{};
        tcgetattr(fd, &tio);
        cfmakeraw(&tio);
        tcsetattr(fd, TCSANOW, &tio);
    }
    thread_ = std::thread([this] { sim_->serve(master_, stop_); });
    return true;
}

bool SimRunner::finish(std::string& error)
{
    if (!thread_.joinable())
        return true;
    stop_.store(true);
    thread_.join();
    bool ok = true;
    if (!dumpPath_.empty() && !sim_->dumpJson(dumpPath_)) {
        error = "cannot write the simulator dump " + dumpPath_;
        ok = false;
    }
    ::close(master_);
    ::close(slave_);
    master_ = slave_ = -1;
    return ok;
}

}  // namespace host
