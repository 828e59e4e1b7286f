#include "SimRunner.h"

#include <csignal>

#include "HostConfig.h"
#include "SerialLine.h"
#include "SimArgs.h"
#include "ValueCodec.h"

#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <pty.h>
#include <unistd.h>

namespace host {

namespace {

[[noreturn]] void bad(const std::string& what) { throw ConfigError("--sim-args: " + what); }

bool has(const std::string& text, const char* word) { return text.find(word) != std::string::npos; }

// A meter's reading a tag stands for, told by its unit, else by its name.
bool meterMotion(const Tag& t, SimTag::Motion& m)
{
    std::string name = t.name;
    for (char& ch : name)
        ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
    const std::string& u = t.unit;
    if (u == "V" || (u.empty() && has(name, "volt")))
        m = SimTag::Voltage;
    else if (u == "A" || (u.empty() && (has(name, "current") || has(name, "amp"))))
        m = SimTag::Current;
    else if (u == "Hz" || (u.empty() && has(name, "freq")))
        m = SimTag::Frequency;
    else if (has(u, "Wh") || (u.empty() && has(name, "energy")))
        m = SimTag::Energy;
    else if (has(name, "factor") || has(name, "cos"))
        m = SimTag::PowerFactor;
    else if (u == "W" || u == "kW" || (u.empty() && has(name, "power")))
        m = SimTag::Power;
    else
        return false;
    return true;
}

// Stores a reading into one item's registers through plc-host's own codec.
void storeReading(const Tag& t, double reading, uint16_t* registers)
{
    const int n = t.registersPerItem();
    uint64_t bits = 0;
    const double raw = (reading - t.offset) / t.scale;
    if (t.type == ValueType::F32) {
        const float f = static_cast<float>(raw);
        uint32_t b32;
        std::memcpy(&b32, &f, sizeof b32);
        bits = b32;
    } else if (t.type == ValueType::F64) {
        std::memcpy(&bits, &raw, sizeof bits);
    } else {
        bits = static_cast<uint64_t>(std::llround(raw));  // integers of the meter are never negative
    }
    uint8_t wire[8] = {};
    bitsToWire(bits, n, t.wordOrder, wire);
    for (int i = 0; i < n; ++i)
        registers[i] = static_cast<uint16_t>(wire[2 * i] << 8 | wire[2 * i + 1]);
}

}  // namespace

const char* SimRunner::help()
{
    return "  --sim-args \"...\"  options of the simulated controller, in one argument:\n"
           "                     --drop RATE  --corrupt RATE  --delay-ms N  --silent 3[,4]\n"
           "                     --stations 1,2  --seed N  --exception\n"
           "                     STATION:AREA:FIRST-LAST:CODE (AREA coil|di|hr|ir)\n"
           "                     --map STATION:AREA:FIRST-LAST[,...] (only these held)\n"
           "                     --no-animate (keep the test patterns)  --gap-us N\n"
           "                     --dump FILE (its memory as JSON when plc-host ends)\n"
           "                     --no-pace (answers at once, not at link.baud's speed)\n"
           "                     --split-ms MS\n"
           "                     --late-ms MS  --late-rate RATE; plc-sim --help tells\n"
           "                     ranges and defaults. Tags move like what they stand\n"
           "                     for: a meter's readings by their unit or name (V or\n"
           "                     volt ~230, A or current 4..12, Hz or freq ~50, W or\n"
           "                     power, a power factor 0.85..0.98, Wh or energy\n"
           "                     counting up), register floats wave around 12.5, other\n"
           "                     register double words count, words ramp 0..99, bytes\n"
           "                     step 1..4, bits toggle every 3-15 s. Written coils and\n"
           "                     registers keep their value.\n";
}

std::vector<SimTag> SimRunner::simTags(const HostConfig& config)
{
    std::vector<SimTag> out;
    for (const Tag& t : config.tags) {
        if (!config.readable(t))
            continue;
        SimTag::Motion m = SimTag::Toggle;
        const bool registers = t.registerArea() && t.width() >= 2;
        const bool numeric = t.type != ValueType::Hex && t.type != ValueType::String;
        if (t.registerArea() && t.width() == 1)
            m = SimTag::Steps;
        else if (registers && numeric && meterMotion(t, m))
            ;
        else if (registers && t.width() == 2 && t.registersPerItem() == 1)
            m = SimTag::Ramp;
        else if (registers)
            m = t.type == ValueType::F32 || t.type == ValueType::F64 ? SimTag::Wave : SimTag::Counter;
        SimTag s{config.stationOf(t), t.kind, t.addressValue, t.count, m, 1, nullptr};
        // Values over several registers, or scaled, go through the tag's own codec.
        if (registers && numeric && (t.registersPerItem() > 1 || t.scaled() || m >= SimTag::Voltage) &&
            (m != SimTag::Counter || t.width() == 2)) {
            s.registers = t.registersPerItem();
            s.kind = t.areaIndex() == 3 ? 14 : 8;  // registers, addressed one by one
            s.address = t.width() == 3 ? 2 * t.addressValue : t.addressValue;
            s.count = t.driverCount();
            const Tag copy = t;
            s.store = [copy](double reading, uint16_t* r) { storeReading(copy, reading, r); };
        }
        out.push_back(s);
    }
    return out;
}

SimRunner::SimRunner(const HostConfig& config, const std::string& simArgs)
{
    options_.stations = config.stations();
    options_.tags = simTags(config);
    options_.remote = config.driver.remoteMode != 0;  // a remote end in front of the stations
    // Paced by default: the scan time, the trace and the load are those of the configured line.
    bool pace = true;
    try {
        parseSimArgs(simArgs, options_, dumpPath_, pace);
    } catch (const SimArgError& e) {
        bad(e.what());
    }
    if (pace) {
        simPaceLine(options_, config.link.baud, config.link.parity, config.link.dataBits, config.link.stopBits);
        // plc-host reads a pty, which hands over what is written at once: an answer written whole when its
        // last byte would have arrived looks the same to it and costs one wake-up instead of one per byte.
        options_.paceWholeAnswers = true;
        paced_ = true;
    }
    try {
        sim_.reset(new SimController(options_));
    } catch (const std::exception& e) {
        bad(e.what());
    }
}

double SimRunner::answerMs() const { return (paced_ ? options_.paceGapUs / 1000.0 : 0) + options_.delayMs; }

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
