// `plc-host poll`: reads one stretch of coils, inputs or registers of one or
// more stations without a configuration, as Modbus users know it from their
// tools: numbers counted from 0 (or from 1, or as 40101 style references),
// exact counts, a pause between reads.
#pragma once

#include "HostSession.h"

#include <map>
#include <string>
#include <vector>

namespace host {

// The command line's fields (empty: the default). Throws ConfigError naming the option.
struct PollTag {
    std::string kind;       // hr.word (default), coil.bit, ...; also coil, di, hr, ir
    std::string address;    // register or coil number; BYTE.BIT for bit kinds also taken
    std::string ref;        // 0xxxx coils, 1xxxx inputs, 3xxxx input registers, 4xxxx holding registers
    std::string count;      // values (a f32 over two registers is one)
    std::string type;       // as a tag's type
    std::string wordOrder;  // as a tag's wordOrder
    std::string stations;   // "1,3,7": one tag per station
    bool oneBased = false;  // numbers count from 1, as device manuals do
};

// How rows are labelled: by the first coil or register number of each value.
struct PollLabels {
    int base = 0;       // 0, or 1 for --one-based and --ref
    int refDigit = -1;  // the area digit of a --ref, -1 without one
    int refDigits = 5;  // 5 or 6
};

// The tags of a poll, one per station, and their labels.
HostConfig pollConfig(const PollTag& tag, PollLabels& labels);

// A head line per station with the tag's state, then one row per value.
std::string pollTable(const HostSession& session, const PollLabels& labels, double upSeconds);

// Reads and failures over the whole poll, for the last line.
class PollTally {
public:
    void add(const HostSession& session);  // after each read
    // "6 reads, 6 ok" or "6 reads, 4 ok, 2 failed: station 3 no answer (time-out) 2x"
    std::string summary() const;

private:
    long reads_ = 0, ok_ = 0;
    std::map<std::pair<int, std::string>, long> failures_;  // (station, why) -> times
};

}  // namespace host
