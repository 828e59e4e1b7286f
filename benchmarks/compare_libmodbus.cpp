// Exchange rate over a pty: plc-host's cycle (HostSession + SerialLink through
// the driver, loaded with dlopen as plc-host loads it) against libmodbus's own
// RTU master, each polling the same 10 holding registers of a simulated
// controller on a pty pair of its own, in alternating rounds of equal length.
//
// Three more loops tell the costs apart: "driver, bare" takes the driver's
// requests to the same pty with plain write/poll/read and no line timing
// (the driver's share on its own); "plc-host, t3.5" and "libmodbus, t3.5"
// both keep the silence of 3.5 characters before every request that a
// serial line needs (plc-host leaves it out on a pty, libmodbus never keeps
// it), which is how the two compare on a real line.
//
// usage: compare_libmodbus [--seconds S] [--rounds R] [--baud B] [--library PATH]
//   S: seconds per loop in total (default 2), split over R rounds (default 3).
#include "DriverApi.h"
#include "HostConfig.h"
#include "HostSession.h"
#include "link/SerialLink.h"
#include "pty_sim.h"

#include <modbus.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <string>
#include <thread>
#include <unistd.h>

namespace {

using Clock = std::chrono::steady_clock;

const int kAddress = 100;
const int kRegisters = 10;

struct Tally {
    long ok = 0;
    long failed = 0;
    double seconds = 0;
    double cpuSeconds = 0;

    double rate() const { return seconds > 0 ? ok / seconds : 0; }
    double cpuUsPerExchange() const { return ok > 0 ? cpuSeconds * 1e6 / ok : 0; }
};

// Runs `one()` (true: a good exchange) for `seconds` and adds to `t`.
template <typename One>
void timed(double seconds, Tally& t, One one)
{
    const double cpu0 = bench::threadCpuSeconds();
    const Clock::time_point start = Clock::now();
    const Clock::time_point end =
        start + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
    while (Clock::now() < end) {
        if (one())
            ++t.ok;
        else
            ++t.failed;
    }
    t.seconds += std::chrono::duration<double>(Clock::now() - start).count();
    t.cpuSeconds += bench::threadCpuSeconds() - cpu0;
}

// The driver's request to the pty as fast as the pty takes it: no silence
// before the request, the answer read until its expected length.
bool bareExchange(const host::DriverApi& api, int fd)
{
    const Protocol* p = reinterpret_cast<const Protocol*>(api.ComCommunication());
    if (!p)
        return false;
    const char* frame = p->frame.constData();
    int sent = 0;
    while (sent < p->frameLen) {
        const ssize_t n = write(fd, frame + sent, static_cast<size_t>(p->frameLen - sent));
        if (n > 0)
            sent += static_cast<int>(n);
        else if (n < 0 && errno != EAGAIN && errno != EINTR)
            return false;
    }
    char buf[256];
    int got = 0;
    const int need = p->answerLen;
    while (got < need) {
        pollfd pfd{fd, POLLIN, 0};
        if (poll(&pfd, 1, 200) <= 0)
            break;
        const ssize_t n = read(fd, buf + got, sizeof buf - static_cast<size_t>(got));
        if (n > 0)
            got += static_cast<int>(n);
        else if (n < 0 && errno != EAGAIN && errno != EINTR)
            break;
    }
    QByteArray answer = QByteArray::fromRawData(buf, got);
    return api.DataCom(&answer, got)->retCode == 1;
}

void usage()
{
    std::fprintf(stderr, "usage: compare_libmodbus [--seconds S] [--rounds R] [--baud B] [--library PATH]\n");
}

}  // namespace

int main(int argc, char** argv)
{
    double seconds = 2;
    int rounds = 3;
    int baud = 115200;
    std::string library = KEMO_DRIVER_FILE;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        const bool hasValue = i + 1 < argc;
        if (a == "--seconds" && hasValue)
            seconds = std::atof(argv[++i]);
        else if (a == "--rounds" && hasValue)
            rounds = std::atoi(argv[++i]);
        else if (a == "--baud" && hasValue)
            baud = std::atoi(argv[++i]);
        else if (a == "--library" && hasValue)
            library = argv[++i];
        else
            return usage(), 2;
    }
    if (seconds <= 0 || rounds < 1 || baud <= 0)
        return usage(), 2;

    bench::SimPty hostPty;
    bench::SimPty modbusPty;
    if (!hostPty.open({1}) || !modbusPty.open({1})) {
        std::perror("openpty");
        return 1;
    }

    // plc-host's side, set up as plc-host sets it up.
    host::DriverApi api;
    std::string error;
    if (!api.load(library, error)) {
        std::fprintf(stderr, "%s\n", error.c_str());
        return 1;
    }
    const auto configFor = [&](int gapUs) {
        const std::string json =
            "{\"link\": {\"device\": \"" + hostPty.path + "\", \"baud\": " + std::to_string(baud) +
            ", \"parity\": \"E\", \"responseTimeoutMs\": 200, \"retryLimit\": 2, \"gapUs\": " + std::to_string(gapUs) +
            "}, \"driver\": {\"maxPerFrame\": 32, \"multiStation\": true, \"defaultStation\": 1},"
            " \"tags\": [{\"name\": \"block\", \"kind\": \"hr.word\", \"address\": \"" +
            std::to_string(kAddress) + "\", \"station\": 1, \"count\": " + std::to_string(kRegisters) + "}]}";
        return host::parseConfig(QByteArray::fromStdString(json), "compare_libmodbus");
    };
    host::HostConfig config;
    host::HostConfig gapConfig;
    try {
        config = configFor(-1);  // plc-host's own choice for the line
        gapConfig = configFor(0);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "config: %s\n", e.what());
        return 1;
    }
    // Two links on the same pty, used in turn: as plc-host sets one up, and
    // one that keeps t3.5 before every request as on a serial line.
    host::SerialLink link(config.link);
    if (!link.attach(hostPty.slave, false, error)) {
        std::fprintf(stderr, "%s\n", error.c_str());
        return 1;
    }
    gapConfig.link.gapUs = static_cast<int>(link.frameGapUs());
    host::SerialLink gapLink(gapConfig.link);
    if (!gapLink.attach(hostPty.slave, false, error)) {
        std::fprintf(stderr, "%s\n", error.c_str());
        return 1;
    }
    host::HostSession session(api, config, link);
    host::HostSession gapSession(api, gapConfig, gapLink);

    // libmodbus's side, on its own pty.
    modbus_t* ctx = modbus_new_rtu(modbusPty.path.c_str(), baud, 'E', 8, 1);
    if (!ctx || modbus_set_slave(ctx, 1) != 0 || modbus_connect(ctx) != 0) {
        std::fprintf(stderr, "libmodbus: %s\n", modbus_strerror(errno));
        return 1;
    }
    modbus_set_response_timeout(ctx, 0, 200000);

    Tally viaHost;
    Tally bare;
    Tally viaLibmodbus;
    Tally hostGap;
    Tally libmodbusGap;
    const auto t35 = std::chrono::microseconds(link.frameGapUs());
    Clock::time_point lineFree = Clock::now();
    const double slice = seconds / rounds;
    uint16_t regs[kRegisters];
    // One good exchange of a session: sent, and not counted as a failure.
    const auto sessionStep = [](host::HostSession& s) {
        const long before = s.totalExchanges();
        const long failedBefore = s.stations().at(1).failures;
        s.step();
        return s.totalExchanges() > before && s.stations().at(1).failures == failedBefore;
    };
    for (int r = 0; r < rounds; ++r) {
        session.start(true);
        timed(slice, viaHost, [&] { return sessionStep(session); });
        timed(slice, bare, [&] { return bareExchange(api, hostPty.slave); });
        timed(slice, viaLibmodbus,
              [&] { return modbus_read_registers(ctx, kAddress, kRegisters, regs) == kRegisters; });
        gapSession.start(true);
        timed(slice, hostGap, [&] { return sessionStep(gapSession); });
        timed(slice, libmodbusGap, [&] {
            std::this_thread::sleep_until(lineFree + t35);
            const bool ok = modbus_read_registers(ctx, kAddress, kRegisters, regs) == kRegisters;
            lineFree = Clock::now();
            return ok;
        });
    }
    modbus_close(ctx);
    modbus_free(ctx);

    std::printf("%d holding registers from station 1 over a pty, %d round(s), %.1f s per loop, link %d baud 8E1\n",
                kRegisters, rounds, seconds, baud);
    std::printf("%-22s %10s %8s %12s %16s\n", "loop", "exchanges", "failed", "per second", "CPU us/exchange");
    const auto line = [](const char* name, const Tally& t) {
        std::printf("%-22s %10ld %8ld %12.0f %16.1f\n", name, t.ok, t.failed, t.rate(), t.cpuUsPerExchange());
    };
    line("plc-host (HostSession)", viaHost);
    line("driver, bare loop", bare);
    line("libmodbus master", viaLibmodbus);
    line("plc-host, t3.5", hostGap);
    line("libmodbus, t3.5", libmodbusGap);
    const auto ratio = [](const Tally& a, const Tally& b) { return b.rate() > 0 ? a.rate() / b.rate() : 0; };
    std::printf("silence before a request: plc-host on this pty %ld us; t3.5 at %d baud %ld us\n", link.requestGapUs(),
                baud, link.frameGapUs());
    std::printf("ratio plc-host / libmodbus: %.2f\n", ratio(viaHost, viaLibmodbus));
    std::printf("ratio driver bare loop / libmodbus: %.2f\n", ratio(bare, viaLibmodbus));
    std::printf("ratio plc-host / libmodbus, both keeping t3.5: %.2f\n", ratio(hostGap, libmodbusGap));
    return viaHost.ok > 0 && viaLibmodbus.ok > 0 && hostGap.ok > 0 ? 0 : 1;
}
