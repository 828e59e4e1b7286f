// The simulator's command-line options, shared by plc-sim and by hosts that
// start a simulator of their own (plc-host --simulate --sim-args).
#pragma once

#include "SimController.h"

#include <QCommandLineParser>

#include <stdexcept>
#include <string>

// A bad option or value; the message names the option.
struct SimArgError : std::invalid_argument {
    using std::invalid_argument::invalid_argument;
};

double simArgNumber(const std::string& opt, const std::string& value, double lo, double hi);
long simArgInteger(const std::string& opt, const std::string& value, long lo, long hi);

// The simulator's options (stations, faults, frame gap, --dump, --pace), added
// to a parser: plc-sim's own, or the one for plc-host's --sim-args.
void addSimOptions(QCommandLineParser& parser);

// Applies the simulator options set in `parser`, --dump into `dumpPath`.
// --pace and --no-pace only set `pace`: the owner knows the line. Throws SimArgError.
void applySimOptions(const QCommandLineParser& parser, SimOptions& options, std::string& dumpPath, bool& pace);

// The simulator options given in one text ("--drop 0.2 --silent 3"), as
// plc-host --sim-args takes them. Throws SimArgError.
void parseSimArgs(const std::string& text, SimOptions& options, std::string& dumpPath, bool& pace);

// Why `parser` refused its arguments, unknown options named with their dashes.
std::string parserError(const QCommandLineParser& parser);
