// plc-sim: simulated Modbus RTU controller for driver development and tests.
#include "SerialLine.h"
#include "SimArgs.h"
#include "SimController.h"

#include <QCommandLineParser>
#include <QStringList>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <pty.h>
#include <sstream>
#include <stdexcept>
#include <sys/prctl.h>
#include <string>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

std::atomic<bool> g_stop{false};

void onSignal(int) { g_stop.store(true); }

const char kUsage[] = "Usage: plc-sim [options]\n"
                      "  or:  plc-sim --version\n"
                      "Simulated Modbus RTU controller. Without --device or --tcp it opens a pseudo-\n"
                      "terminal and prints its path as the first line (PTY /dev/pts/N) for a master.\n"
                      "\n"
                      "Line:                                                      [default]\n"
                      "  --device PATH      serial device to serve                [a new pty]\n"
                      "  --link PATH        also publish the pty as symbolic link PATH (replaced,\n"
                      "                     removed at the end)\n"
                      "  --tcp PORT         serve RTU frames over TCP on 127.0.0.1:PORT instead, one\n"
                      "                     client at a time; 0: a free port. First line: TCP 127.0.0.1:PORT\n"
                      "  --baud N           %s\n"
                      "                                                           [19200]\n"
                      "  --parity N|E|O     also none|even|odd                    [E]\n"
                      "  --data-bits 7|8                                          [8]\n"
                      "  --stop-bits 1|2                                          [1]\n"
                      "  --rs485 MODE       with --device: the UART's own RS-485 mode, off, rts-high\n"
                      "                     or rts-low                            [as the system set it]\n"
                      "  --strict-baud      on its own pty: hear a master only while it has set --baud\n"
                      "                     on the pty, as a real line carries garbage at other rates\n"
                      "  --gap-us N         silence ending a request, 100..1e6 us\n"
                      "                     [2000 on a pty; t3.5 of the line, at least 2000]\n"
                      "Controller:\n"
                      "  --stations LIST    stations served, 1..247: 1,2,3        [1]\n"
                      "  --no-animate       registers 0 and 1 stay as they start\n"
                      "  --seconds N        stop after N s, 0.001..1e9            [at Ctrl-C, SIGTERM]\n"
                      "  --dump FILE        memory as JSON at the end: the first 1000 registers,\n"
                      "                     coils and inputs of each station, and the counters\n"
                      "Identity (functions 2B/0E read device identification, 11 report server id):\n"
                      "  --vendor TEXT      vendor name                           [plc-sim project]\n"
                      "  --product TEXT     product code                          [plc-sim simulated controller]\n"
                      "  --revision TEXT    major.minor revision                  [1.0]\n"
                      "Faults:\n"
                      "  --drop RATE        requests lost unanswered, 0..1        [0]\n"
                      "  --corrupt RATE     answers with a broken CRC, 0..1       [0]\n"
                      "  --delay-ms N       wait before each answer, 0..600000    [0]\n"
                      "  --silent LIST      stations that never answer, 1..247    [none]\n"
                      "  --exception STATION:AREA:FIRST-LAST:CODE                 [none]\n"
                      "                     requests touching addresses FIRST..LAST (0..65535) of\n"
                      "                     AREA coil|di|hr|ir get exception CODE (1..255); repeatable\n"
                      "  --map STATION:AREA:FIRST-LAST[,FIRST-LAST...]             [all addresses]\n"
                      "                     the station holds only these addresses of AREA\n"
                      "                     coil|di|hr|ir; a request touching any other gets\n"
                      "                     exception 2, as sparse devices answer; repeatable\n"
                      "  --seed N           random seed, 0..4294967295            [1]\n"
                      "  --split-ms MS      a pause inside every answer, 0..60000  [0]\n"
                      "  --late-ms MS       some answers held back that long,     [0]\n"
                      "                     0..600000\n"
                      "  --late-rate RATE   share of answers held back, 0..1      [0.01]\n"
                      "Timing:\n"
                      "  --pace             answers leave at the line's speed (--baud, --parity, ...),\n"
                      "                     after the request's wire time and t3.5  [off]\n"
                      "Protocol:\n"
                      "  --remote           answer the driver's remote frames instead of Modbus\n"
                      "                     requests, as a remote end in front of these stations:\n"
                      "                     the same memory, every fault option, station 0 unanswered\n"
                      "\n"
                      "Memory of each station: 10000 coils, 10000 discrete inputs, 10000 holding\n"
                      "and 10000 input registers, addresses 0..9999; a request beyond them gets\n"
                      "exception 2. Functions 01 02 03 04 05 06 0F 10 11 16 17 2B/0E are\n"
                      "served. Broadcasts (station 0) reach every station and are never answered.\n"
                      "Start values of station S, distinct in every register (tests rely on them):\n"
                      "  holding register R = (S * 1000 + R) mod 65536; registers 0 and 1 start at 0\n"
                      "  input register R = (S * 1000 + R + 500) mod 65536\n"
                      "  coil C = 1 when (7 * C + S) mod 3 = 0; discrete input I = 1 when I + S even\n"
                      "Unless --no-animate: register 0 counts up by 1 every 100 ms, on from whatever\n"
                      "was written there; register 1 is a 10 s sine wave 0..1000. (plc-host\n"
                      "--simulate moves the tags of its configuration instead; see plc-host --help.)\n";

using BadArg = SimArgError;

// Publishes `target` under `path`, replacing what is there in one step.
bool publishLink(const std::string& target, const std::string& path)
{
    const std::string tmp = path + ".new" + std::to_string(getpid());
    unlink(tmp.c_str());
    return symlink(target.c_str(), tmp.c_str()) == 0 && rename(tmp.c_str(), path.c_str()) == 0;
}

// Removes `path` while it still names our pty (a newer plc-sim may own it).
void withdrawLink(const std::string& target, const std::string& path)
{
    char now[512] = {};
    const ssize_t n = readlink(path.c_str(), now, sizeof now - 1);
    if (n > 0 && target == std::string(now, size_t(n)))
        unlink(path.c_str());
}

int listenTcp(long port, long& bound)
{
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const int one = 1;
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    // A restarted simulator takes its port back at once.
    if (fd < 0 || setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one) != 0 ||
        bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || listen(fd, 1) != 0 ||
        getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) != 0) {
        if (fd >= 0)
            close(fd);
        return -1;
    }
    bound = ntohs(a.sin_port);
    return fd;
}

// One client at a time until stopped; a new one is taken after each leaves.
void serveTcp(SimController& sim, int listener)
{
    while (!g_stop.load()) {
        pollfd p{listener, POLLIN, 0};
        if (poll(&p, 1, 50) <= 0)
            continue;
        const int client = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
        if (client < 0)
            continue;
        const int one = 1;
        setsockopt(client, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        sim.serve(client, g_stop);  // a client's broken connection ends only that client
        close(client);
    }
}

}  // namespace

int main(int argc, char** argv)
{
    SimOptions opt;
    serialline::LineSettings line;
    std::string device, linkPath;
    long tcpPort = -1;
    std::string dumpPath;
    double seconds = 0;
    bool gapGiven = false;
    bool pace = false;
    serialline::Rs485 rs485 = serialline::Rs485::AsSystem;

    QCommandLineParser parser;
    parser.setSingleDashWordOptionMode(QCommandLineParser::ParseAsLongOptions);
    parser.addOption(QCommandLineOption(QStringList{"h", "help"}));
    parser.addOption(QCommandLineOption("version"));
    for (const char* name : {"device", "link", "tcp", "baud", "parity", "data-bits", "stop-bits", "rs485", "seconds"})
        parser.addOption(QCommandLineOption(name, QString(), "VALUE"));
    parser.addOption(QCommandLineOption("strict-baud"));
    addSimOptions(parser);
    QStringList args;
    for (int i = 0; i < argc; ++i)
        args << QString::fromLocal8Bit(argv[i]);
    const bool parsed = parser.parse(args);
    if (parser.isSet("help")) {
        std::printf(kUsage, serialline::supportedBauds().c_str());
        return 0;
    }
    if (parser.isSet("version")) {
        std::printf("plc-sim %s\n", KEMO_VERSION);
        return 0;
    }
    auto text = [&](const char* name) { return parser.value(name).toStdString(); };
    try {
        if (!parsed)
            throw BadArg(parserError(parser));
        if (!parser.positionalArguments().isEmpty())
            throw BadArg("unknown argument \"" + parser.positionalArguments().front().toStdString() + "\"");
        device = text("device");
        linkPath = text("link");
        if (parser.isSet("tcp"))
            tcpPort = simArgInteger("--tcp", text("tcp"), 0, 65535);
        if (parser.isSet("baud")) {
            line.baud = simArgInteger("--baud", text("baud"), 1, 4000000);
            if (!serialline::baudSupported(line.baud))
                throw BadArg("--baud: " + serialline::unsupportedBaud(line.baud));
        }
        if (parser.isSet("parity") && !serialline::parseParity(text("parity"), line.parity))
            throw BadArg("--parity: expected " + std::string(serialline::kParityWords) + ", got \"" + text("parity") +
                         "\"");
        if (parser.isSet("rs485") && !serialline::parseRs485(text("rs485"), rs485))
            throw BadArg("--rs485: expected " + std::string(serialline::kRs485Words) + ", got \"" + text("rs485") +
                         "\"");
        if (parser.isSet("data-bits"))
            line.dataBits = int(simArgInteger("--data-bits", text("data-bits"), 7, 8));
        if (parser.isSet("stop-bits"))
            line.stopBits = int(simArgInteger("--stop-bits", text("stop-bits"), 1, 2));
        if (parser.isSet("seconds"))
            seconds = simArgNumber("--seconds", text("seconds"), 0.001, 1e9);
        gapGiven = parser.isSet("gap-us");
        applySimOptions(parser, opt, dumpPath, pace);
        if ((tcpPort >= 0) + !device.empty() + !linkPath.empty() > 1)
            throw BadArg("--device, --tcp and --link exclude each other");
        if (parser.isSet("strict-baud") && (tcpPort >= 0 || !device.empty()))
            throw BadArg("--strict-baud works on plc-sim's own pty, not with --device or --tcp");
    } catch (const BadArg& e) {
        std::fprintf(stderr, "plc-sim: %s (see --help)\n", e.what());
        return 2;
    }

    if (!gapGiven && !device.empty()) {
        // t3.5 of the line, but never below 2 ms: serial drivers and USB
        // adapters hand bytes over in bursts, and a split frame would be lost.
        opt.frameGapUs = int(std::max(2000L, serialline::frameGapUs(line) + 1));
    }

    if (pace) {
        simPaceLine(opt, line.baud, line.parity, line.dataBits, line.stopBits);
        prctl(PR_SET_TIMERSLACK, 1UL);  // bytes leave on time, not up to 50 us late
    }

    const bool strictBaud = parser.isSet("strict-baud");
    std::unique_ptr<SimController> sim;

    int fd = -1;
    int ptySlave = -1;
    std::string ptyName;
    std::string error;
    if (tcpPort >= 0) {
        long bound = 0;
        fd = listenTcp(tcpPort, bound);
        if (fd < 0) {
            std::fprintf(stderr, "plc-sim: cannot listen on 127.0.0.1:%ld: %s\n", tcpPort, std::strerror(errno));
            return 1;
        }
        std::printf("TCP 127.0.0.1:%ld\n", bound);
        std::fflush(stdout);
    } else if (device.empty()) {
        char name[256] = {};
        if (openpty(&fd, &ptySlave, name, nullptr, nullptr) != 0 || !serialline::makeRaw(fd, nullptr, error) ||
            !serialline::makeRaw(ptySlave, nullptr, error)) {
            std::fprintf(stderr, "plc-sim: pty: %s\n", error.empty() ? std::strerror(errno) : error.c_str());
            return 1;
        }
        ptyName = name;
        if (!linkPath.empty() && !publishLink(ptyName, linkPath)) {
            std::fprintf(stderr, "plc-sim: cannot publish the pty as %s: %s\n", linkPath.c_str(), std::strerror(errno));
            return 1;
        }
        // ptySlave stays open: without it the master reports hang-up whenever the host closes its side.
        std::printf("PTY %s\n", name);
        std::fflush(stdout);
    } else {
        fd = open(device.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (fd < 0 || !serialline::makeRaw(fd, &line, error) || !serialline::setRs485(fd, rs485, error)) {
            std::fprintf(stderr, "plc-sim: cannot open %s: %s\n", device.c_str(),
                         error.empty() ? std::strerror(errno) : error.c_str());
            return 1;
        }
    }

    if (strictBaud) {
        opt.strictBaud = line.baud;
        opt.strictBaudFd = ptySlave;
    }
    try {
        sim.reset(new SimController(opt));
    } catch (const std::exception& e) {
        std::fprintf(stderr, "plc-sim: %s\n", e.what());
        return 2;
    }

    struct sigaction sa {};
    sa.sa_handler = onSignal;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);

    std::thread timer;
    if (seconds > 0) {
        timer = std::thread([seconds] {
            auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
            while (!g_stop.load() && std::chrono::steady_clock::now() < end)
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
            g_stop.store(true);
        });
    }

    int rc = 0;
    if (tcpPort >= 0)
        serveTcp(*sim, fd);
    else if ((rc = sim->serve(fd, g_stop)) != 0)
        std::fprintf(stderr, "plc-sim: serial line failed: %s\n", std::strerror(errno));
    if (!linkPath.empty())
        withdrawLink(ptyName, linkPath);
    g_stop.store(true);
    if (timer.joinable())
        timer.join();

    if (!dumpPath.empty() && !sim->dumpJson(dumpPath)) {
        std::fprintf(stderr, "plc-sim: cannot write dump %s\n", dumpPath.c_str());
        rc = -1;
    }
    close(fd);
    if (ptySlave >= 0)
        close(ptySlave);
    return rc == 0 ? 0 : 1;
}
