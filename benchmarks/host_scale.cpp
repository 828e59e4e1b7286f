// plc-host's own work as the tag table grows: loading the configuration,
// and CPU time of the exchange thread per exchange (driver calls, framing,
// bookkeeping of the tags an answer covers) against a simulated controller
// on a pty. One-register tags fill stations of 10,000 registers each.
//
// usage: host_scale [--seconds S | --exchanges N] [--library PATH] [TAGS...]   (default 1000 100000)
// --exchanges: a fixed number of exchanges instead of a time, for instruction
// counts (two runs under callgrind, the difference divided by the exchanges).
#include "DriverApi.h"
#include "HostConfig.h"
#include "HostSession.h"
#include "link/SerialLink.h"
#include "pty_sim.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

std::string configText(const std::string& device, int tags)
{
    std::string json = "{\"link\": {\"device\": \"" + device +
                       "\", \"baud\": 115200, \"parity\": \"N\", \"responseTimeoutMs\": 200},"
                       " \"driver\": {\"maxPerFrame\": 32}, \"tags\": [";
    for (int i = 0; i < tags; ++i)
        json += std::string(i ? "," : "") + "{\"name\": \"t" + std::to_string(i) +
                "\", \"kind\": \"hr.word\", \"station\": " + std::to_string(1 + i / 10000) +
                ", \"address\": " + std::to_string(i % 10000) + "}";
    return json + "]}";
}

double since(Clock::time_point t) { return std::chrono::duration<double>(Clock::now() - t).count(); }

}  // namespace

int main(int argc, char** argv)
{
    double seconds = 2;
    long exchanges = 0;
    std::string library = KEMO_DRIVER_FILE;
    std::vector<int> sizes;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--seconds" && i + 1 < argc)
            seconds = std::atof(argv[++i]);
        else if (a == "--exchanges" && i + 1 < argc)
            exchanges = std::atol(argv[++i]);
        else if (a == "--library" && i + 1 < argc)
            library = argv[++i];
        else if (std::atoi(a.c_str()) > 0)
            sizes.push_back(std::atoi(a.c_str()));
        else
            return std::fprintf(stderr, "usage: host_scale [--seconds S | --exchanges N] [--library PATH] [TAGS...]\n"),
                   2;
    }
    if (sizes.empty())
        sizes = {1000, 100000};

    host::DriverApi api;
    std::string error;
    if (!api.load(library, error))
        return std::fprintf(stderr, "%s\n", error.c_str()), 1;
    std::printf("%9s %10s %10s %10s %16s %8s\n", "tags", "load ms", "start ms", "exchanges", "CPU us/exchange",
                "failed");
    std::vector<double> cpu;
    for (int tags : sizes) {
        std::vector<int> stations;
        for (int s = 1; s <= (tags + 9999) / 10000; ++s)
            stations.push_back(s);
        bench::SimPty pty;
        if (!pty.open(stations))
            return std::perror("openpty"), 1;
        const std::string text = configText(pty.path, tags);
        Clock::time_point t0 = Clock::now();
        const host::HostConfig config = host::parseConfig(QByteArray::fromStdString(text), "host_scale");
        const double loadMs = since(t0) * 1000;
        host::SerialLink link(config.link);
        if (!link.attach(pty.slave, false, error))
            return std::fprintf(stderr, "%s\n", error.c_str()), 1;
        host::HostSession session(api, config, link);
        t0 = Clock::now();
        session.start(true);
        const double startMs = since(t0) * 1000;
        // One round through every block first, so both sizes are measured in the steady state.
        for (long i = 0; i < 4000 && !session.scanComplete(); ++i)
            session.step();
        const long before = session.totalExchanges();
        const double cpu0 = bench::threadCpuSeconds();
        t0 = Clock::now();
        while (exchanges ? session.totalExchanges() - before < exchanges : since(t0) < seconds)
            session.step();
        const long done = session.totalExchanges() - before;
        cpu.push_back((bench::threadCpuSeconds() - cpu0) * 1e6 / std::max(1L, done));
        long failed = 0;
        for (const auto& st : session.stations())
            failed += st.second.failures;
        std::printf("%9d %10.1f %10.1f %10ld %16.1f %8ld\n", tags, loadMs, startMs, done, cpu.back(), failed);
    }
    if (cpu.size() >= 2)
        std::printf("CPU per exchange, %d tags / %d tags: %.2f\n", sizes.back(), sizes.front(),
                    cpu.back() / cpu.front());
    return 0;
}
