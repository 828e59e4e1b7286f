// libmodbus's own RTU master on a serial device for a while, as the peer of
// plc-host in scripts/bench-line.sh: the same 10 holding registers at 100
// of station 1, read in a loop. Prints "EXCHANGES FAILURES CPU_US_PER_EXCHANGE".
//
// usage: line_master DEVICE BAUD SECONDS
#include <modbus.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <sys/resource.h>

namespace {

double cpuUs()
{
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return 1e6 * static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
           static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec);
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc != 4) {
        std::fprintf(stderr, "usage: line_master DEVICE BAUD SECONDS\n");
        return 2;
    }
    modbus_t* ctx = modbus_new_rtu(argv[1], std::atoi(argv[2]), 'E', 8, 1);
    if (!ctx || modbus_set_slave(ctx, 1) != 0 || modbus_connect(ctx) != 0) {
        std::fprintf(stderr, "line_master: %s\n", modbus_strerror(errno));
        return 1;
    }
    modbus_set_response_timeout(ctx, 0, 200000);
    const auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(std::atof(argv[3]));
    const double cpuBefore = cpuUs();
    long exchanges = 0, failures = 0;
    uint16_t regs[10];
    while (std::chrono::steady_clock::now() < end) {
        ++exchanges;
        if (modbus_read_registers(ctx, 100, 10, regs) != 10)
            ++failures;
    }
    std::printf("%ld %ld %.1f\n", exchanges, failures, exchanges ? (cpuUs() - cpuBefore) / exchanges : 0.0);
    modbus_close(ctx);
    modbus_free(ctx);
    return 0;
}
