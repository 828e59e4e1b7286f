#include "SimRunner.h"

#include <csignal>

#include "HostConfig.h"
#include "SerialLine.h"
#include "SimArgs.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <pty.h>
#include <unistd.h>

namespace host {

namespace {

[[noreturn]] void bad(const std::string& what) { throw ConfigError("--sim-args: " + what); }

}  // namespace

const char* SimRunner::help()
{
    return "  --sim-args \"...\"  options of the simulated controller, in one argument:\n"
           "      --drop RATE  --corrupt RATE  --delay-ms N  --silent 3[,4]  --stations 1,2\n"
           "      --exception STATION:AREA:FIRST-LAST:CODE (AREA coil|di|hr)  --seed N\n"
           "      --no-animate (keep the test patterns)  --gap-us N  --dump FILE (its memory\n"
           "      as JSON when plc-host ends)  --pace (answers at link.baud)  --split-ms MS\n"
           "      --late-ms MS  --late-rate RATE; plc-sim --help tells ranges and defaults.\n"
           "      Tags move like what they stand for: register floats wave around 12.5,\n"
           "      other register double words count, words ramp 0..99, bytes step 1..4,\n"
           "      bits toggle every 3-15 s. Written coils and registers keep their value.\n";
}

std::vector<SimTag> SimRunner::simTags(const HostConfig& config)
{
    std::vector<SimTag> out;
    for (const Tag& t : config.tags) {
        if (!config.readable(t))
            continue;
        SimTag::Motion m = SimTag::Toggle;
        if (t.areaIndex() == 2 && t.width() == 1)
            m = SimTag::Steps;
        else if (t.areaIndex() == 2 && t.width() == 2)
            m = SimTag::Ramp;
        else if (t.areaIndex() == 2 && t.width() == 3)
            m = t.type == ValueType::F32 ? SimTag::Wave : SimTag::Counter;
        out.push_back({config.stationOf(t), t.kind, t.addressValue, t.count, m});
    }
    return out;
}

SimRunner::SimRunner(const HostConfig& config, const std::string& simArgs)
{
    options_.stations = config.stations();
    options_.tags = simTags(config);
    options_.remote = config.driver.remoteMode != 0;  // a remote end in front of the stations
    bool pace = false;
    try {
        parseSimArgs(simArgs, options_, dumpPath_, pace);
    } catch (const SimArgError& e) {
        bad(e.what());
    }
    if (pace)
        simPaceLine(options_, config.link.baud, config.link.parity, config.link.dataBits, config.link.stopBits);
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
    for (int fd : {master_, slave_})
        if (!serialline::makeRaw(fd, nullptr, error))
            return false;
    thread_ = std::thread([this] {
        // Stop signals go to the main thread, whose waits they cut short.
        sigset_t stopSignals;
        sigemptyset(&stopSignals);
        for (int sig : {SIGINT, SIGTERM, SIGALRM})
            sigaddset(&stopSignals, sig);
        pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
        sim_->serve(master_, stop_);
    });
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
