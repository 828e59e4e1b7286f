// plc-host: stands in for the panel runtime. Loads the driver library, owns
// the serial line and runs the exchange cycle for the tags of a JSON file.
#include "DriverApi.h"
#include "HostConfig.h"
#include "HostMap.h"
#include "HostSession.h"
#include "HostView.h"
#include "link/LinkFactory.h"
#include "link/SerialLink.h"
#include "IdentifyCommand.h"
#include "PollCommand.h"
#include "ScanCommand.h"
#include "ScanLog.h"
#include "SimArgs.h"
#include "SimRunner.h"
#include "ValueCodec.h"

#include <QCommandLineParser>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <sys/time.h>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <sched.h>
#include <set>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

using namespace host;
using Clock = std::chrono::steady_clock;

namespace {

constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;

std::atomic<bool> g_stop{false};
void onSignal(int) { g_stop.store(true); }

// Ctrl-C, SIGTERM and the --seconds timer end a command through g_stop.
void installStopSignals()
{
    struct sigaction sa {};
    sa.sa_handler = onSignal;
    sigemptyset(&sa.sa_mask);
    for (int sig : {SIGINT, SIGTERM, SIGALRM})
        sigaction(sig, &sa, nullptr);
}

// --seconds ends a run as Ctrl-C does: the signal cuts a wait on the line short.
void stopAfter(double seconds)
{
    if (seconds <= 0)
        return;
    itimerval at{};
    at.it_value.tv_sec = static_cast<time_t>(seconds);
    at.it_value.tv_usec = static_cast<suseconds_t>((seconds - static_cast<double>(at.it_value.tv_sec)) * 1e6);
    setitimer(ITIMER_REAL, &at, nullptr);
}

const char kUsage[] = "Usage: plc-host run CONFIG [--seconds N] [--log FILE.csv] [options]\n"
                      "  or:  plc-host read CONFIG [--json] [--timeout S] [options]\n"
                      "  or:  plc-host write CONFIG NAME=VALUE... [--timeout S] [options]\n"
                      "  or:  plc-host map CONFIG [--json] [--response-ms MS] [line options]\n"
                      "  or:  plc-host poll DEVICE [--kind KIND] [--address N | --ref 40101] [options]\n"
                      "  or:  plc-host identify DEVICE [--station N] [--timeout-ms MS] [options]\n"
                      "  or:  plc-host scan DEVICE [--stations 1-247] [--bauds LIST] [--parity LIST]\n"
                      "  or:  plc-host --version [--library PATH]\n"
                      "\n"
                      "  run    live table of the tags and the stations, refreshed 4 times a second;\n"
                      "         without a terminal one status line per second. Ctrl-C ends it.\n"
                      "         A line NAME=VALUE typed (or piped) on stdin is written as `write` does;\n"
                      "         its outcome shows on the table's last lines (or at the end of the next\n"
                      "         status line, after \" || \"). A table longer than the terminal turns its\n"
                      "         pages every 5 s; lines :n and :p page by hand, :a turns again.\n"
                      "  read   reads every tag once and prints it (--json: one JSON object).\n"
                      "         Exit 0 when every tag was read, 1 when some could not be.\n"
                      "  write  writes each NAME=VALUE (VALUE: one item, or items separated by commas,\n"
                      "         in the tag's type; hex tags take hex digits). Exit 0 when every write\n"
                      "         was acknowledged, 1 otherwise.\n"
                      "  map    where every tag lives on the wire: function codes, coil, input or\n"
                      "         register numbers 0-based and as in device manuals, the read block it\n"
                      "         falls in, requests per scan and the full-scan time on link's line\n"
                      "         (assuming the controller answers MS after a request, default 5 ms).\n"
                      "  poll   without a configuration: reads COUNT values (default 1) of one kind\n"
                      "         (default hr.word; coil, di, hr, ir read bits or registers) from coil or\n"
                      "         register number N (counted from 0; --one-based: from 1, as device\n"
                      "         manuals count), or from --ref, a 5- or 6-digit reference giving area and\n"
                      "         number at once (0xxxx coils, 1xxxx inputs, 3xxxx input registers, 4xxxx\n"
                      "         holding registers; 40101 is holding register 100). Exactly COUNT: 10 coils\n"
                      "         are 10 coils. --type and --word-order as a tag's type and wordOrder (a f32\n"
                      "         counts as one value over two registers). Station 1, --station N, or\n"
                      "         --stations 1,3,7 for several. A read every --interval MS (default 1000)\n"
                      "         until Ctrl-C or --seconds N, or one with --once; rows labelled by number;\n"
                      "         a last line sums up the reads and failures. --json: one read, printed\n"
                      "         as read --json prints it. DEVICE as link.device; with --simulate none\n"
                      "         is needed. The line keeps link's defaults (19200 E).\n"
                      "  identify  what the device at station N (default 1) says of itself: read device\n"
                      "         identification (function 2B/0E: vendor, product code, revision and the\n"
                      "         regular objects) and report server id (function 11), in words; \"not\n"
                      "         supported\" where it answers exception 01. Exit 1 when it answers neither.\n"
                      "  scan   asks every station of every baud rate and parity once with a read of\n"
                      "         holding register 0 (an exception answer counts as present) and lists\n"
                      "         what answered with its settings. --stations (default 1-247), --bauds\n"
                      "         (default 19200,9600,38400,57600,115200,4800), --parity (default E,N,O),\n"
                      "         --timeout-ms per probe (default 100), --first: per setting, stop at the\n"
                      "         first station found. A progress bar on a terminal; --json: one object.\n"
                      "         A pty keeps no parity: there a station shows at every parity.\n"
                      "  --version  plc-host's version, then the driver library it loads: its file,\n"
                      "             links resolved, and the version the file's name carries. Exit 1\n"
                      "             when the library cannot be loaded.\n"
                      "\n"
                      "options:\n"
                      "  --simulate         talk to a simulated controller inside plc-host instead of\n"
                      "                     link.device; it serves the stations of the tags\n"
                      "%s"
                      "  --library PATH     driver library (default libkemo_ipc_rtu.so.1)\n"
                      "  --seconds N        run, poll: stop after N seconds\n"
                      "  --timeout S        read, write, poll: give up (on a read) after S seconds (default 10)\n"
                      "  --trace [FILE]     every frame in hex on stderr, or appended to FILE (given after\n"
                      "                     CONFIG or DEVICE, or as --trace=FILE); each line starts with the\n"
                      "                     ms since the start and the ms since the previous frame. On a\n"
                      "                     terminal a trace on stderr turns run's and poll's table off\n"
                      "  --log FILE.csv     run: one row per pass over the read blocks (each tried once):\n"
                      "                     the time, then each tag's value, ? for one not read; a header\n"
                      "                     row first in a new file; flushed every row\n"
                      "line options (replace the configuration's):\n"
                      "  --device DEVICE    link.device: a serial device or tcp://HOST:PORT\n"
                      "  --baud N           link.baud, one of:\n"
                      "                     %s\n"
                      "  --parity N|E|O     link.parity (also none, even, odd)\n"
                      "  --station N        1..247: every tag moves to station N (broadcast tags stay\n"
                      "                     broadcasts), as does driver.defaultStation\n"
                      "\n"
                      "CONFIG is a JSON object:\n"
                      "  \"link\":   device (a serial device, or tcp://HOST:PORT of a serial server; reopened with\n"
                      "            back-off when it drops), baud (a standard rate 300..921600), parity (N|E|O),\n"
                      "            dataBits, stopBits, responseTimeoutMs,\n"
                      "            retryLimit, echo (adapter echoes what it sends), turnaroundMs,\n"
                      "            gapUs (silence before a request; default t3.5, none on a pty),\n"
                      "            interByteMs (pause allowed inside an answer; default 20),\n"
                      "            settleMs (silence awaited after trouble; default max(t3.5, interByteMs)),\n"
                      "            deadAfter (give-ups in a row that switch a station off; default 2, 0 never),\n"
                      "            probeSeconds (an offline station is tried again this often; default 5),\n"
                      "            resetRetries (an accepted answer clears the retry count; default true),\n"
                      "            realtime (real-time priority and locked memory; default false),\n"
                      "            rs485 (a UART's own RS-485 mode: off, rts-high or rts-low; default as set),\n"
                      "            lowLatency (ASYNC_LOW_LATENCY; default on for USB serial adapters)\n"
                      "  \"driver\":  maxPerFrame, multiStation, defaultStation, remoteMode, localDeviceId\n"
                      "  \"stations\": {\"7\": {name, noMerge, singleWrites, responseTimeoutMs}}\n"
                      "  \"tags\":   [{name, kind, address, station, count, type, wordOrder, scale, offset, unit}]\n"
                      "    kind       0..15, or AREA.WIDTH: AREA di|coil|hr|ir, WIDTH bit|byte|word|dword\n"
                      "    address    \"BYTE.BIT\" for bits, a number otherwise\n"
                      "    count      items of the width (registers for hr.word and ir.word, a multiple\n"
                      "               of the type's registers)\n"
                      "    type       bit | u8 | u16 | i16 | u32 | i32 | f32 | u64 | i64 | f64 | string | hex\n"
                      "    wordOrder  ABCD (default) | CDAB | BADC | DCBA; hr.dword, ir.dword: CDAB\n"
                      "    scale, offset  shown = raw x scale + offset; unit: text after the value\n"
                      "%s"
                      "\n"
                      "Exit status 2: bad command line, configuration or value.\n";

void usage(FILE* out)
{
    std::fprintf(out, kUsage, SimRunner::help(), serialline::supportedBauds().c_str(), addressHelp());
}

struct Options {
    std::string command;
    std::string configPath;
    std::vector<std::string> assignments;
    bool help = false;
    bool simulate = false;
    std::string simArgs;
    std::string library = kDefaultDriverLibrary;
    double seconds = 0;
    double timeout = 10;
    double responseMs = kDefaultResponseMs;
    bool json = false;
    bool trace = false;
    std::string traceFile;  // empty: stderr
    std::string logFile;
    LinkOverrides overrides;
    PollTag poll;
    PollLabels labels;
    std::string bauds;
    std::string timeoutMs;
    bool first = false;
    double intervalMs = 1000;
    bool once = false;
};

double parseSeconds(const std::string& opt, const std::string& v)
{
    char* end = nullptr;
    double x = std::strtod(v.c_str(), &end);
    if (v.empty() || *end || !(x > 0 && x < 1e7))
        throw ConfigError(opt + ": expected a positive number of seconds, got \"" + v + "\"");
    return x;
}

// Every option: its name, its value's name (none for a switch) and the commands that take it.
struct OptionSpec {
    const char* name;
    const char* value;
    const char* commands;
};
const OptionSpec kOptions[] = {
    {"simulate", nullptr, "run read write poll"},
    {"sim-args", "ARGS", "run read write poll"},
    {"library", "PATH", "run read write poll identify scan --version"},
    {"trace", nullptr, "run read write poll"},
    {"trace-file", "FILE", "run read write poll"},
    {"log", "FILE", "run"},
    {"device", "DEVICE", "run read write map"},
    {"baud", "N", "run read write poll map identify"},
    {"parity", "N|E|O", "run read write poll map identify scan"},
    {"station", "N", "run read write poll map identify"},
    {"bauds", "LIST", "scan"},
    {"timeout-ms", "MS", "identify scan"},
    {"first", nullptr, "scan"},
    {"seconds", "N", "run poll"},
    {"timeout", "S", "read write poll"},
    {"json", nullptr, "read poll map scan"},
    {"response-ms", "MS", "map"},
    {"kind", "KIND", "poll"},
    {"address", "ADDRESS", "poll"},
    {"count", "N", "poll"},
    {"type", "TYPE", "poll"},
    {"word-order", "ORDER", "poll"},
    {"ref", "REF", "poll"},
    {"stations", "LIST", "poll scan"},
    {"one-based", nullptr, "poll"},
    {"interval", "MS", "poll"},
    {"once", nullptr, "poll"},
};
const char kCommands[] = "run, read, write, map, poll, identify or scan";

// "--seconds" takes a value, "--json" does not.
bool optionTakesValue(const QString& option)
{
    for (const OptionSpec& spec : kOptions)
        if (option == QString("--") + spec.name)
            return spec.value != nullptr;
    return false;
}

Options parseArgs(int argc, char** argv)
{
    Options o;
    o.command = argc > 1 ? argv[1] : "";
    const QString command = QString::fromStdString(o.command);
    QCommandLineParser parser;
    parser.setSingleDashWordOptionMode(QCommandLineParser::ParseAsLongOptions);
    parser.addOption(QCommandLineOption(QStringList{"h", "help"}));
    bool known = false;
    for (const OptionSpec& spec : kOptions)
        if (QString(spec.commands).split(' ').contains(command)) {
            known = true;
            parser.addOption(spec.value ? QCommandLineOption(spec.name, QString(), spec.value)
                                        : QCommandLineOption(spec.name));
        }
    QStringList args;
    bool positionalSeen = false;
    for (int i = 0; i < argc; ++i) {
        if (i == 1 && known)
            continue;
        const QString a = QString::fromLocal8Bit(argv[i]);
        // --trace FILE after CONFIG or DEVICE, or --trace=FILE: the trace goes to FILE.
        if (a.startsWith("--trace=")) {
            args << "--trace"
                 << "--trace-file" << a.mid(8);
            continue;
        }
        if (a == "--trace" && positionalSeen && i + 1 < argc && argv[i + 1][0] != '-' &&
            !std::strchr(argv[i + 1], '=')) {
            args << a << "--trace-file" << QString::fromLocal8Bit(argv[++i]);
            continue;
        }
        positionalSeen = positionalSeen || (a == "--simulate" && o.command == "poll") ||
                         (i > 1 && !a.startsWith('-') && !args.isEmpty() &&
                          !(args.last().startsWith("--") && optionTakesValue(args.last())));
        args << a;
    }
    const bool parsed = parser.parse(args);
    if ((o.help = parser.isSet("help")))
        return o;
    if (argc < 2)
        throw ConfigError(std::string("missing command (") + kCommands + ")");
    if (!known)
        throw ConfigError("unknown command \"" + o.command + "\" (expected " + kCommands + ")");
    if (!parsed)
        throw ConfigError(parserError(parser) + (parser.unknownOptionNames().isEmpty() ? "" : " for " + o.command));

    const QStringList given = parser.optionNames();
    auto value = [&](const char* name, std::string& out) {
        if (!given.contains(name))
            return false;
        out = parser.value(name).toStdString();
        if (out.empty())
            throw ConfigError(std::string("--") + name + ": empty value");
        return true;
    };
    o.simulate = given.contains("simulate");
    o.trace = given.contains("trace");
    o.json = given.contains("json");
    std::string text;
    value("trace-file", o.traceFile);
    value("log", o.logFile);
    value("sim-args", o.simArgs);
    value("library", o.library);
    if (value("seconds", text))
        o.seconds = parseSeconds("--seconds", text);
    if (value("timeout", text))
        o.timeout = parseSeconds("--timeout", text);
    if (value("response-ms", text)) {
        char* end = nullptr;
        o.responseMs = std::strtod(text.c_str(), &end);
        if (*end || !(o.responseMs >= 0 && o.responseMs <= 60000))
            throw ConfigError("--response-ms: expected milliseconds 0..60000, got \"" + text + "\"");
    }
    value("device", o.overrides.device);
    value("baud", o.overrides.baud);
    value("parity", o.overrides.parity);
    value("station", o.overrides.station);
    value("kind", o.poll.kind);
    value("address", o.poll.address);
    value("count", o.poll.count);
    value("type", o.poll.type);
    value("word-order", o.poll.wordOrder);
    value("bauds", o.bauds);
    value("timeout-ms", o.timeoutMs);
    o.first = given.contains("first");
    value("ref", o.poll.ref);
    value("stations", o.poll.stations);
    o.poll.oneBased = given.contains("one-based");
    o.once = given.contains("once");
    if (value("interval", text)) {
        char* end = nullptr;
        o.intervalMs = std::strtod(text.c_str(), &end);
        if (*end || !(o.intervalMs >= 0 && o.intervalMs <= 3600000))
            throw ConfigError("--interval: expected milliseconds 0..3600000, got \"" + text + "\"");
    }
    if (!o.poll.stations.empty() && !o.overrides.station.empty())
        throw ConfigError("--station and --stations exclude each other");

    QStringList positional = parser.positionalArguments();
    if (o.command == "--version") {
        if (!positional.isEmpty())
            throw ConfigError("unexpected argument \"" + positional.front().toStdString() + "\" for --version");
        return o;
    }
    if (o.command == "poll" || o.command == "identify" || o.command == "scan") {
        // The device is the first argument; the simulator needs none.
        if (!positional.isEmpty())
            o.overrides.device = positional.takeFirst().toStdString();
        else if (!o.simulate)
            throw ConfigError(o.command + " needs DEVICE (a serial device or tcp://HOST:PORT)" +
                              (o.command == "poll" ? " or --simulate" : ""));
    } else if (positional.isEmpty()) {
        throw ConfigError("missing CONFIG file");
    } else {
        o.configPath = positional.takeFirst().toStdString();
    }
    for (const QString& a : positional) {
        if (o.command != "write")
            throw ConfigError("unexpected argument \"" + a.toStdString() + "\" for " + o.command);
        o.assignments.push_back(a.toStdString());
    }
    if (!o.simArgs.empty() && !o.simulate)
        throw ConfigError("--sim-args needs --simulate");
    if (o.command == "write" && o.assignments.empty())
        throw ConfigError("write needs at least one NAME=VALUE");
    return o;
}

// Everything a command needs: the driver, the line (or the simulator) and the session.
struct Setup {
    DriverApi api;
    std::unique_ptr<SimRunner> sim;
    std::unique_ptr<Link> link;
    std::unique_ptr<HostSession> session;
    FILE* traceFile = nullptr;

    ~Setup()
    {
        session.reset();
        if (traceFile)
            std::fclose(traceFile);
        if (sim) {
            std::string error;
            if (!sim->finish(error))
                std::fprintf(stderr, "plc-host: %s\n", error.c_str());
        }
        link.reset();
    }
};

// A panel runs its link at raised priority: late wake-ups stretch every exchange.
void enterRealtime()
{
    sched_param p{};
    p.sched_priority = sched_get_priority_min(SCHED_FIFO) + 10;
    if (sched_setscheduler(0, SCHED_FIFO, &p) != 0)
        std::fprintf(stderr,
                     "plc-host: link.realtime: real-time scheduling is not permitted here (%s); "
                     "running at normal priority\n",
                     std::strerror(errno));
    if (mlockall(MCL_CURRENT | MCL_FUTURE) != 0)
        std::fprintf(stderr, "plc-host: link.realtime: memory cannot be locked (%s); it may be paged out\n",
                     std::strerror(errno));
}

// Returns 0 or the exit status of a failure (message already printed).
int prepare(Setup& s, const Options& o, const HostConfig& cfg)
{
    if (!o.traceFile.empty() && !(s.traceFile = std::fopen(o.traceFile.c_str(), "a"))) {
        std::fprintf(stderr, "plc-host: --trace: cannot open %s: %s\n", o.traceFile.c_str(), std::strerror(errno));
        return kExitFailed;
    }
    if (o.simulate)
        s.sim.reset(new SimRunner(cfg, o.simArgs));  // may throw ConfigError
    std::string error;
    if (!s.api.load(o.library, error)) {
        std::fprintf(stderr, "plc-host: %s\n", error.c_str());
        return kExitFailed;
    }
    bool ok;
    if (o.simulate) {
        // A paced simulation keeps the configured line's silence before requests too, as a serial line would.
        LinkSettings line = cfg.link;
        if (s.sim->paced() && line.gapUs < 0)
            line.gapUs = static_cast<int>(serialline::frameGapUs(line.line()));
        std::unique_ptr<SerialLink> serial(new SerialLink(line));
        ok = s.sim->start(error) && serial->attach(s.sim->hostFd(), false, error);
        s.link = std::move(serial);
    } else {
        s.link = makeLink(cfg.link, stderr);  // may throw ConfigError
        ok = s.link->open(error);
    }
    if (!ok) {
        std::fprintf(stderr, "plc-host: %s\n", error.c_str());
        return kExitFailed;
    }
    // Wake-ups for the line's timing on time, not up to 50 us late.
    prctl(PR_SET_TIMERSLACK, 1UL);
    if (cfg.link.realtime)
        enterRealtime();
    s.session.reset(new HostSession(s.api, cfg, *s.link));
    if (o.trace)
        s.session->setTrace(s.traceFile ? s.traceFile : stderr);
    s.session->setLog(stderr);
    s.session->setStopFlag(&g_stop);
    return 0;
}

// One turn; when the driver has nothing to send, a short pause instead of spinning.
void turn(HostSession& session)
{
    if (!session.step())
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
}

struct Assignment {
    int tag;
    std::string text;
    EncodedValue value;
};

// NAME=VALUE of a writable tag, the value in the tag's type; throws ConfigError.
Assignment parseAssignment(const HostConfig& cfg, const std::string& a)
{
    size_t eq = a.find('=');
    if (eq == std::string::npos || eq == 0)
        throw ConfigError("\"" + a + "\" is not NAME=VALUE");
    std::string name = a.substr(0, eq);
    const Tag* t = cfg.find(name);
    if (!t)
        throw ConfigError(cfg.path + ": no tag named \"" + name + "\"");
    if (!t->writable())
        throw ConfigError("tag \"" + name + "\" is read-only (" + kindName(t->kind) + ") and cannot be written");
    Assignment as{static_cast<int>(t - cfg.tags.data()), a.substr(eq + 1), {}};
    as.value = encodeValue(*t, as.text);
    return as;
}

// Checked before anything is sent: a bad argument must not leave half the writes done.
std::vector<Assignment> parseAssignments(const HostConfig& cfg, const std::vector<std::string>& args)
{
    std::vector<Assignment> out;
    std::set<std::string> seen;
    for (const std::string& a : args) {
        out.push_back(parseAssignment(cfg, a));
        if (!seen.insert(cfg.tags[static_cast<size_t>(out.back().tag)].name).second)
            throw ConfigError("tag \"" + cfg.tags[static_cast<size_t>(out.back().tag)].name + "\" is given twice");
    }
    return out;
}

// A typed write still open, and when it stops being waited for.
struct OpenWrite {
    int job;
    Clock::time_point until;
};

// A line typed while `run` shows its table: NAME=VALUE is written as `write`
// writes it, a line starting with ':' pages the table.
void typedLine(HostSession& session, LiveView& view, const std::string& line, double up, Clock::time_point until,
               std::vector<OpenWrite>& open)
{
    if (line.empty())
        return;
    if (line[0] == ':') {
        if (!view.command(line, up))
            view.note(line + ": unknown command (:n next page, :p previous, :a turn pages again)");
        return;
    }
    try {
        const Assignment a = parseAssignment(session.config(), line);
        const int job = session.queueWrite(a.tag, a.value, a.text);
        if (session.writes()[static_cast<size_t>(job)].status == 0)
            open.push_back({job, until});
        else
            view.note(writeOutcome(session, session.writes()[static_cast<size_t>(job)], false));
    } catch (const ConfigError& e) {
        view.note(line + ": " + e.what());
    }
}

// Typed writes that came to an end (or to their station going offline, or to
// their time-out) go to the view.
void settleTypedWrites(HostSession& session, LiveView& view, std::vector<OpenWrite>& open, Clock::time_point now)
{
    const HostConfig& cfg = session.config();
    open.erase(std::remove_if(open.begin(), open.end(),
                              [&](const OpenWrite& w) {
                                  const WriteJob& j = session.writes()[static_cast<size_t>(w.job)];
                                  const auto st =
                                      session.stations().find(cfg.stationOf(cfg.tags[static_cast<size_t>(j.tag)]));
                                  const bool offline = st != session.stations().end() && st->second.offline;
                                  // The driver folds a queued write into a later one of the same range.
                                  const bool replaced = std::any_of(
                                      session.writes().begin() + w.job + 1, session.writes().end(),
                                      [&](const WriteJob& later) { return later.tag == j.tag && later.status; });
                                  if (j.status == 0 && !offline && !replaced && now < w.until)
                                      return false;
                                  view.note(writeOutcome(session, j, replaced));
                                  return true;
                              }),
               open.end());
}

// For bug reports: which plc-host, and which driver file it really loads.
int commandVersion(const Options& o)
{
    std::printf("plc-host %s\n", KEMO_VERSION);
    std::fflush(stdout);
    DriverApi api;
    std::string error;
    if (!api.load(o.library, error)) {
        std::fprintf(stderr, "plc-host: %s\n", error.c_str());
        return kExitFailed;
    }
    const std::string file = api.file(), version = libraryFileVersion(file);
    std::printf("driver %s, version %s\n", file.c_str(),
                version.empty() ? "unknown (the file's name carries none)" : version.c_str());
    return kExitOk;
}

// The live table and a trace on the same terminal would overwrite each other:
// the table gives way to status lines, and says so.
bool tableOnTerminal(const Options& o)
{
    if (!isatty(STDOUT_FILENO))
        return false;
    if (o.trace && o.traceFile.empty() && isatty(STDERR_FILENO)) {
        std::fprintf(stderr, "plc-host: the trace shares the terminal, so the live table is off; "
                             "--trace FILE keeps both\n");
        return false;
    }
    return true;
}

// `sim`: the simulated controller under --simulate, else nullptr.
int commandRun(HostSession& session, const Options& o, const SimRunner* sim)
{
    ScanLog log;
    std::string error;
    if (!o.logFile.empty() && !log.open(o.logFile, session.config(), error)) {
        std::fprintf(stderr, "plc-host: %s\n", error.c_str());
        return kExitFailed;
    }
    session.start(true);
    stopAfter(o.seconds);
    const bool tty = tableOnTerminal(o);
    const auto start = Clock::now();
    const auto period = std::chrono::milliseconds(tty ? 250 : 1000);
    const auto writeTimeout = std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(o.timeout));
    auto nextShow = start + period;
    LiveView view(session, sim && !sim->paced(), sim ? sim->answerMs() : kDefaultResponseMs);
    LineInput input(tty);
    std::vector<OpenWrite> openWrites;
    if (tty)
        std::fputs("\x1b[?25l\x1b[2J", stdout);  // hide the cursor while the table runs
    while (!g_stop.load()) {
        const auto now = Clock::now();
        const double up = std::chrono::duration<double>(now - start).count();
        if (o.seconds > 0 && up >= o.seconds)
            break;
        for (const std::string& line : input.poll())
            typedLine(session, view, line, up, now + writeTimeout, openWrites);
        settleTypedWrites(session, view, openWrites, now);
        if (now >= nextShow) {
            view.sample(std::chrono::duration<double>(period + (now - nextShow)).count());
            nextShow = now + period;
            if (tty)
                std::fputs(view.screen(terminalSize(STDOUT_FILENO), up, input.partial()).c_str(), stdout);
            else
                std::printf("%s\n", view.statusLine(up).c_str());
            std::fflush(stdout);
        }
        turn(session);
        if (!o.logFile.empty() && session.passDone()) {
            log.row(session);
            session.restartPass();
        }
    }
    if (tty)
        std::fputs("\x1b[?25h\n", stdout);
    // A last summary, so a short run still shows its accounts.
    const double up = std::chrono::duration<double>(Clock::now() - start).count();
    view.sample(up, true);
    if (!tty)
        std::printf("%s\n", view.statusLine(up).c_str());
    else
        std::printf("%ld exchanges in %.1fs (%.1f/s)\n", session.totalExchanges(), up,
                    up > 0 ? session.totalExchanges() / up : 0);
    return kExitOk;
}

int commandRead(HostSession& session, const Options& o)
{
    session.start(true);
    const auto start = Clock::now();
    const auto limit = start + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(o.timeout));
    while (!session.allTagsSettled() && !g_stop.load() && Clock::now() < limit)
        turn(session);
    std::string out;
    const bool allOk = readReport(session, o.json, std::chrono::duration<double>(Clock::now() - start).count(), out);
    std::fputs(out.c_str(), stdout);
    return allOk ? kExitOk : kExitFailed;
}

int commandWrite(HostSession& session, const Options& o, const std::vector<Assignment>& assignments)
{
    session.start(false);
    for (const Assignment& a : assignments)
        session.queueWrite(a.tag, a.value, a.text);
    const auto limit =
        Clock::now() + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(o.timeout));
    auto pending = [&] {
        for (const WriteJob& j : session.writes())
            if (j.status == 0)
                return true;
        return false;
    };
    int idleTurns = 0;
    while (pending() && !g_stop.load() && Clock::now() < limit) {
        if (session.step()) {
            idleTurns = 0;
        } else if (++idleTurns >= 3) {
            break;  // nothing left in the driver's queue
        }
    }
    bool allOk = true;
    for (const WriteJob& j : session.writes()) {
        std::printf("%s\n", writeOutcome(session, j, idleTurns >= 3).c_str());
        allOk = allOk && j.status == 1;
    }
    if (o.simulate)
        std::printf("The simulated controller lived only for this command: the next one starts it afresh.\n"
                    "To watch a write take effect, run `plc-host run %s --simulate` and type NAME=VALUE.\n",
                    o.configPath.c_str());
    return allOk ? kExitOk : kExitFailed;
}

// Sleeps until `until`; a stop signal ends the sleep early.
void sleepUntil(Clock::time_point until)
{
    while (!g_stop.load() && Clock::now() < until)
        std::this_thread::sleep_until(std::min(until, Clock::now() + std::chrono::milliseconds(50)));
}

int commandPoll(HostSession& session, const Options& o)
{
    session.start(true);
    stopAfter(o.seconds);
    const bool tty = tableOnTerminal(o);
    const auto start = Clock::now();
    const auto interval =
        std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double, std::milli>(o.intervalMs));
    auto next = start;
    PollTally tally;
    while (!g_stop.load()) {
        // One read: every block of every station tried once.
        session.restartPass();
        // A read that cannot end (a block never coming round) is cut after --timeout.
        const auto giveUp =
            Clock::now() + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(o.timeout));
        while (!session.passDone() && !g_stop.load() && Clock::now() < giveUp)
            turn(session);
        if (g_stop.load())
            break;
        const double up = std::chrono::duration<double>(Clock::now() - start).count();
        tally.add(session);
        std::printf("%s%s", tty ? "\x1b[H\x1b[2J" : "", pollTable(session, o.labels, up).c_str());
        std::fflush(stdout);
        next += interval;
        if (o.once || (o.seconds > 0 && next - start >= std::chrono::duration<double>(o.seconds)))
            break;
        sleepUntil(next);
    }
    std::printf("%s\n", tally.summary().c_str());
    return kExitOk;
}

// Milliseconds of --timeout-ms, or `fallback` when not given.
int timeoutMsOption(const Options& o, int fallback)
{
    if (o.timeoutMs.empty())
        return fallback;
    char* end = nullptr;
    const long ms = std::strtol(o.timeoutMs.c_str(), &end, 10);
    if (*end || ms < 1 || ms > 60000)
        throw ConfigError("--timeout-ms: expected milliseconds 1..60000, got \"" + o.timeoutMs + "\"");
    return static_cast<int>(ms);
}

int commandIdentify(const DriverApi& api, const HostConfig& cfg)
{
    std::unique_ptr<Link> link = makeLink(cfg.link, stderr);
    std::string error;
    if (!link->open(error)) {
        std::fprintf(stderr, "plc-host: %s\n", error.c_str());
        return kExitFailed;
    }
    RtuExchange exchange(*link, cfg.link, api.CalCRC);
    exchange.setStopFlag(&g_stop);
    std::string report;
    std::printf("station %d on %s at %d baud %d%c%d\n", cfg.driver.defaultStation, cfg.link.device.c_str(),
                cfg.link.baud, cfg.link.dataBits, cfg.link.parity, cfg.link.stopBits);
    const bool answered = identify(exchange, api.CalCRC, cfg.driver.defaultStation, report);
    std::fputs(report.c_str(), stdout);
    return answered ? kExitOk : kExitFailed;
}

int commandScan(const DriverApi& api, const HostConfig& cfg, const ScanPlan& plan, bool json)
{
    const bool bar = isatty(STDERR_FILENO);
    const TermSize size = terminalSize(STDERR_FILENO);
    auto lastDrawn = Clock::now() - std::chrono::seconds(1);
    std::vector<ScanHit> hits;
    long probes = 0;
    double seconds = 0;
    std::string error;
    const bool ok = runScan(
        cfg.link, plan, api.CalCRC, &g_stop,
        [&](const ScanProgress& p) {
            probes = p.done;
            seconds = p.seconds;
            // A few redraws a second are enough to watch; the last one always.
            if (bar && (Clock::now() - lastDrawn > std::chrono::milliseconds(100) || p.done == p.total)) {
                std::fprintf(stderr, "\r%s\x1b[K", progressBar(p, size.cols - 1).c_str());
                lastDrawn = Clock::now();
            }
        },
        hits, error);
    if (bar)
        std::fputs("\r\x1b[K", stderr);
    if (!ok) {
        std::fprintf(stderr, "plc-host: %s\n", error.c_str());
        return kExitFailed;
    }
    std::fputs(scanReport(cfg.link, hits, probes, seconds, json).c_str(), stdout);
    return kExitOk;
}

}  // namespace

int main(int argc, char** argv)
{
    Options o;
    HostConfig cfg;
    std::vector<Assignment> assignments;
    try {
        o = parseArgs(argc, argv);
        if (o.help) {
            usage(stdout);
            return kExitOk;
        }
        if (o.command == "--version")
            return commandVersion(o);
        if (o.command == "identify" || o.command == "scan") {
            ScanPlan plan;
            if (o.command == "scan") {
                plan.stations = parseStationList("--stations", o.poll.stations.empty() ? "1-247" : o.poll.stations);
                plan.bauds = o.bauds.empty() ? commonBauds() : parseBaudList(o.bauds);
                plan.parities = parseParityList(o.overrides.parity.empty() ? "E,N,O" : o.overrides.parity);
                plan.timeoutMs = timeoutMsOption(o, plan.timeoutMs);
                plan.first = o.first;
                o.overrides.parity.clear();  // a list, used above
            }
            applyOverrides(cfg, o.overrides);
            cfg.link.responseTimeoutMs = timeoutMsOption(o, cfg.link.responseTimeoutMs);
            DriverApi api;  // for the checksum: the requests are plc-host's own
            std::string error;
            if (!api.load(o.library, error)) {
                std::fprintf(stderr, "plc-host: %s\n", error.c_str());
                return kExitFailed;
            }
            installStopSignals();
            return o.command == "scan" ? commandScan(api, cfg, plan, o.json) : commandIdentify(api, cfg);
        }
        cfg = o.command == "poll" ? pollConfig(o.poll, o.labels) : loadConfig(o.configPath);
        applyOverrides(cfg, o.overrides);
        const std::string warning = cfg.stationWarning();
        if (!warning.empty())
            std::fprintf(stderr, "plc-host: warning: %s\n", warning.c_str());
        if (o.command == "map") {
            std::fputs((o.json ? mapJson(cfg, o.responseMs) : mapText(cfg, o.responseMs)).c_str(), stdout);
            return kExitOk;
        }
        if (o.command == "write")
            assignments = parseAssignments(cfg, o.assignments);
        if (o.command != "write" &&
            std::none_of(cfg.tags.begin(), cfg.tags.end(), [&](const Tag& t) { return cfg.readable(t); }))
            throw ConfigError(cfg.path + ": field \"tags\": no tag to read (the list is empty or all are broadcasts)");
    } catch (const ConfigError& e) {
        std::fprintf(stderr, "plc-host: %s\n", e.what());
        if (argc < 2)
            usage(stderr);
        return kExitUsage;
    }

    installStopSignals();

    Setup setup;
    try {
        if (int rc = prepare(setup, o, cfg))
            return rc;
    } catch (const ConfigError& e) {
        std::fprintf(stderr, "plc-host: %s\n", e.what());
        return kExitUsage;
    }
    if (o.command == "poll") {
        // Exact reads: the polled stretch alone, never padded or merged with its neighbours.
        for (int station : cfg.stations())
            setup.api.SetStationOptions(station, KEMO_STATION_NO_MERGE);
    }
    if (o.command == "poll")
        return o.json ? commandRead(*setup.session, o) : commandPoll(*setup.session, o);
    if (o.command == "run")
        return commandRun(*setup.session, o, setup.sim.get());
    if (o.command == "read")
        return commandRead(*setup.session, o);
    return commandWrite(*setup.session, o, assignments);
}
