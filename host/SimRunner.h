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

struct HostConfig;

class SimRunner {
public:
    // Serves the stations of the configuration and moves its tags like the
    // values they stand for (see simTags). Parses the fault options
    // ("--drop 0.2 --silent 3 ..."); throws ConfigError. Answers keep to the
    // configuration's line speed unless --no-pace is given.
    SimRunner(const HostConfig& config, const std::string& simArgs);
    ~SimRunner();
    SimRunner(const SimRunner&) = delete;
    SimRunner& operator=(const SimRunner&) = delete;

    bool start(std::string& error);
    int hostFd() const { return slave_; }
    // Stops the controller and writes the dump if one was asked for.
    bool finish(std::string& error);

    static const char* help();
    // When an answer starts after the end of its request (t3.5 and --delay-ms), in ms.
    double answerMs() const;
    bool paced() const { return paced_; }
    // How the simulated controller moves each readable tag: bits of the coil
    // and input areas toggle, register floats wave, other double words count,
    // words ramp, bytes step through 1..4.
    static std::vector<SimTag> simTags(const HostConfig& config);

private:
    SimOptions options_;
    bool paced_ = false;
    std::string dumpPath_;
    std::unique_ptr<SimController> sim_;
    std::atomic<bool> stop_{false};
    std::thread thread_;
    int master_ = -1;
    int slave_ = -1;
};

}  // namespace host
