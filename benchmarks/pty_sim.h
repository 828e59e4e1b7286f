// A simulated controller serving the master end of a pty pair in a thread
// of the benchmark, and the thread's CPU clock: what the benchmarks that
// drive plc-host's cycle share.
#ifndef KEMO_PTY_SIM_H
#define KEMO_PTY_SIM_H

#include "SerialLine.h"
#include "SimController.h"

#include <atomic>
#include <memory>
#include <pty.h>
#include <string>
#include <sys/resource.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace bench {

struct SimPty {
    int master = -1;
    int slave = -1;
    std::string path;
    std::atomic<bool> stop{false};
    std::unique_ptr<SimController> sim;
    std::thread thread;

    bool open(const std::vector<int>& stations)
    {
        char name[128] = {};
        if (openpty(&master, &slave, name, nullptr, nullptr) != 0)
            return false;
        path = name;
        std::string error;
        if (!serialline::makeRaw(master, nullptr, error) || !serialline::makeRaw(slave, nullptr, error))
            return false;
        SimOptions options;
        options.stations = stations;
        options.animate = false;
        sim.reset(new SimController(options));
        thread = std::thread([this] { sim->serve(master, stop); });
        return true;
    }

    ~SimPty()
    {
        stop = true;
        if (thread.joinable())
            thread.join();
        if (slave >= 0)
            close(slave);
        if (master >= 0)
            close(master);
    }
};

inline double threadCpuSeconds()
{
    rusage u{};
    getrusage(RUSAGE_THREAD, &u);
    return u.ru_utime.tv_sec + u.ru_stime.tv_sec + (u.ru_utime.tv_usec + u.ru_stime.tv_usec) * 1e-6;
}

}  // namespace bench

#endif
