// The simulator's command-line options, shared by plc-sim and by hosts that
// start a simulator of their own (plc-host --simulate --sim-args).
#pragma once

#include "SimController.h"

#include <stdexcept>
#include <string>

// A bad option or value; the message names the option.
struct SimArgError : std::invalid_argument {
    using std::invalid_argument::invalid_argument;
};

double simArgNumber(const std::string& opt, const std::string& value, double lo, double hi);
long simArgInteger(const std::string& opt, const std::string& value, long lo, long hi);

// True for the simulator options that take a value (--no-animate and --pace take none).
bool simOptionTakesValue(const std::string& opt);

// Applies one simulator option: the stations, the faults, the frame gap and
// --dump (into `dumpPath`). --pace only sets `pace`: the owner knows the line.
// False when `opt` is not a simulator option;
// throws SimArgError on a bad value.
bool applySimOption(const std::string& opt, const std::string& value, SimOptions& options, std::string& dumpPath,
                    bool& pace);
