// --simulate: the simulated controller in a thread of plc-host, serving the
// master end of a pty pair while the host talks to the slave end.
#pragma once

#include "HostConfig.h"
#include "SimController.h"

#include <atomic>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace host {

class SimRunner {
public:
    // Parses the fault options ("--drop 0.2 --silent 3 ..."); throws ConfigError.
    // `line`: the speed --pace keeps to.
    SimRunner(const std::vector<int>& stations, const std::string& simArgs, const LinkSettings& line);
    ~SimRunner();
    SimRunner(const SimRunner&) = delete;
    SimRunner& operator=(const SimRunner&) = delete;

    bool start(std::string& error);
    int hostFd() const { return slave_; }
    // Stops the controller and writes the dump if one was asked for.
    bool finish(std::string& error);

    static const char* help();

private:
    SimOptions options_;
    std::string dumpPath_;
    std::unique_ptr<SimController> sim_;
    std::atomic<bool> stop_{false};
    std::thread thread_;
    int master_ = -1;
    int slave_ = -1;
};

}  // namespace host
