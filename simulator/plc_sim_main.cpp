// plc-sim: simulated Modbus RTU controller for driver development and tests.
#include "SimArgs.h"
#include "SimController.h"

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
#include <string>
#include <termios.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

std::atomic<bool> g_stop{false};

void onSignal(int) { g_stop.store(true); }

const char kUsage[] =
    "usage: plc-sim [options]\n"
    "Simulated Modbus RTU controller. Without --device it opens a pseudo-terminal and\n"
    "prints its path as the first line (PTY /dev/pts/N) for a master to open.\n"
    "\n"
    "Line:                                                      [default]\n"
    "  --device PATH      serial device to serve                [a new pty]\n"
    "  --baud N           1200 2400 4800 9600 19200 38400       [9600]\n"
    "                     57600 115200 230400 460800 921600\n"
    "  --parity N|E|O                                           [N]\n"
    "  --data-bits 7|8                                          [8]\n"
    "  --stop-bits 1|2                                          [1]\n"
    "  --gap-us N         silence ending a request, 100..1e6 us\n"
    "                     [2000 on a pty; t3.5 of the line, at least 2000]\n"
    "Controller:\n"
    "  --stations LIST    stations served, 1..247: 1,2,3        [1]\n"
    "  --no-animate       registers 0 and 1 stay as they start\n"
    "  --seconds N        stop after N s, 0.001..1e9            [at Ctrl-C, SIGTERM]\n"
    "  --dump FILE        memory as JSON at the end: the first 1000 registers,\n"
    "                     coils and inputs of each station, and the counters\n"
    "Faults:\n"
    "  --drop RATE        requests lost unanswered, 0..1        [0]\n"
    "  --corrupt RATE     answers with a broken CRC, 0..1       [0]\n"
    "  --delay-ms N       wait before each answer, 0..600000    [0]\n"
    "  --silent LIST      stations that never answer, 1..247    [none]\n"
    "  --exception STATION:AREA:FIRST-LAST:CODE                 [none]\n"
    "                     requests touching addresses FIRST..LAST (0..65535) of\n"
    "                     AREA coil|di|hr get exception CODE (1..255); repeatable\n"
    "  --seed N           random seed, 0..4294967295            [1]\n"
    "\n"
    "Memory of each station: 10000 coils, 10000 discrete inputs, 10000 holding\n"
    "registers, addresses 0..9999, no input registers; a request beyond them gets\n"
    "exception 2. Functions 01 02 03 05 06 0F 10 11 16 17 are served. Broadcasts\n"
    "(station 0) reach every station and are never answered.\n"
    "Start values of station S, distinct in every register (tests rely on them):\n"
    "  holding register R = (S * 1000 + R) mod 65536; registers 0 and 1 start at 0\n"
    "  coil C = 1 when (7 * C + S) mod 3 = 0; discrete input I = 1 when I + S even\n"
    "Unless --no-animate: register 0 counts up by 1 every 100 ms, on from whatever\n"
    "was written there; register 1 is a 10 s sine wave 0..1000. (plc-host\n"
    "--simulate moves the tags of its configuration instead; see plc-host --help.)\n";

using BadArg = SimArgError;

speed_t toSpeed(long baud)
{
    switch (baud) {
    case 1200: return B1200;
    case 2400: return B2400;
    case 4800: return B4800;
    case 9600: return B9600;
    case 19200: return B19200;
    case 38400: return B38400;
    case 57600: return B57600;
    case 115200: return B115200;
    case 230400: return B230400;
    case 460800: return B460800;
    case 921600: return B921600;
    default: throw BadArg("--baud: unsupported rate " + std::to_string(baud));
    }
}

struct Line {
    std::string device;
    long baud = 9600;
    char parity = 'N';
    int dataBits = 8;
    int stopBits = 1;
};

int openSerial(const Line& line)
{
    int fd = open(line.device.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (fd < 0)
        return -1;
    termios tio{};
    if (tcgetattr(fd, &tio) != 0) {
        close(fd);
        return -1;
    }
    cfmakeraw(&tio);
    tio.c_cflag &= ~(CSIZE | PARENB | PARODD | CSTOPB | CRTSCTS);
    tio.c_cflag |= CLOCAL | CREAD | (line.dataBits == 7 ? CS7 : CS8);
    if (line.parity != 'N')
        tio.c_cflag |= PARENB | (line.parity == 'O' ? PARODD : 0);
    if (line.stopBits == 2)
        tio.c_cflag |= CSTOPB;
    tio.c_cc[VMIN] = 0;
    tio.c_cc[VTIME] = 0;
    cfsetispeed(&tio, toSpeed(line.baud));
    cfsetospeed(&tio, toSpeed(line.baud));
    if (tcsetattr(fd, TCSANOW, &tio) != 0) {
        close(fd);
        return -1;
    }
    tcflush(fd, TCIOFLUSH);
    return fd;
}

}  // namespace

int main(int argc, char** argv)
{
    SimOptions opt;
    Line line;
    std::string dumpPath;
    double seconds = 0;
    bool gapGiven = false;

    try {
        for (int i = 1; i < argc; ++i) {
            std::string a = argv[i];
            if (a == "--help" || a == "-h") {
                std::fputs(kUsage, stdout);
                return 0;
            }
            if (a == "--no-animate") {
                applySimOption(a, "", opt, dumpPath);
                continue;
            }
            static const char* const lineOptions[] = {"--device", "--baud", "--parity", "--data-bits",
                                                      "--stop-bits", "--seconds"};
            const bool lineOption = std::find(std::begin(lineOptions), std::end(lineOptions), a) != std::end(lineOptions);
            if (!lineOption && !simOptionTakesValue(a))
                throw BadArg("unknown argument \"" + a + "\"");
            if (i + 1 >= argc)
                throw BadArg(a + ": missing value");
            std::string v = argv[++i];
            if (a == "--device") line.device = v;
            else if (a == "--baud") { line.baud = simArgInteger(a, v, 1, 4000000); toSpeed(line.baud); }
            else if (a == "--parity") {
                if (v != "N" && v != "E" && v != "O")
                    throw BadArg("--parity: expected N, E or O, got \"" + v + "\"");
                line.parity = v[0];
            }
            else if (a == "--data-bits") line.dataBits = int(simArgInteger(a, v, 7, 8));
            else if (a == "--stop-bits") line.stopBits = int(simArgInteger(a, v, 1, 2));
            else if (a == "--seconds") seconds = simArgNumber(a, v, 0.001, 1e9);
            else {
                gapGiven = gapGiven || a == "--gap-us";
                applySimOption(a, v, opt, dumpPath);
            }
        }
    } catch (const BadArg& e) {
        std::fprintf(stderr, "plc-sim: %s (see --help)\n", e.what());
        return 2;
    }

    if (!gapGiven && !line.device.empty()) {
        // t3.5 from the character time, but never below 2 ms: serial drivers and
        // USB adapters hand bytes over in bursts, and a split frame would be lost.
        int bitsPerChar = 1 + line.dataBits + (line.parity == 'N' ? 0 : 1) + line.stopBits;
        opt.frameGapUs = std::max(2000, int(3.5 * bitsPerChar * 1e6 / double(line.baud)) + 1);
    }

    std::unique_ptr<SimController> sim;
    try {
        sim.reset(new SimController(opt));
    } catch (const std::exception& e) {
        std::fprintf(stderr, "plc-sim: %s\n", e.what());
        return 2;
    }

    int fd = -1;
    int ptySlave = -1;
    if (line.device.empty()) {
        char name[256] = {};
        if (openpty(&fd, &ptySlave, name, nullptr, nullptr) != 0) {
            std::fprintf(stderr, "plc-sim: openpty: %s\n", std::strerror(errno));
            return 1;
        }
        for (int f : {fd, ptySlave}) {
            termios tio{};
            tcgetattr(f, &tio);
            cfmakeraw(&tio);
            tcsetattr(f, TCSANOW, &tio);
        }
        // ptySlave stays open: without it the master reports hang-up whenever the host closes its side.
        std::printf("PTY %s\n", name);
        std::fflush(stdout);
    } else {
        fd = openSerial(line);
        if (fd < 0) {
            std::fprintf(stderr, "plc-sim: cannot open %s: %s\n", line.device.c_str(), std::strerror(errno));
            return 1;
        }
    }

    struct sigaction sa{};
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

    int rc = sim->serve(fd, g_stop);
    if (rc != 0)
        std::fprintf(stderr, "plc-sim: serial line failed: %s\n", std::strerror(errno));
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
