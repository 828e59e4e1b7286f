// plc-host map: where each tag of a configuration lives on the wire, the read
// blocks the driver merges the tags into, and what a full scan costs on the
// configured line. Pure functions of the configuration.
#pragma once

#include "HostConfig.h"

#include <string>
#include <vector>

namespace host {

// One cyclic read request: area code 3 (inputs), 4 (coils), 8 (registers) or 14 (input registers),
// first unit and length in area units (bytes of 8 bits, or registers).
struct ReadBlock {
    int station;
    int area;
    long first;
    long length;
};

// The blocks the driver's read-list rebuild makes of the readable tags: grouped
// by station and area, sorted by address, merged while a tag starts less than
// maxPerFrame units after its block's start, no block longer than maxPerFrame.
std::vector<ReadBlock> readBlocks(const HostConfig& cfg);

struct TagMap {
    const char* unit;                     // "coil", "input", "register" or "input register"
    const char* readFc;                   // "01", "02", "03", "04"
    const char* writeFc;                  // "05", "0F", "10", "03+10" (read, then write back), "-" (read-only)
    long first, last;                     // 0-based numbers on the wire
    std::string manualFirst, manualLast;  // 1-based device-manual numbers: 00001, 10001, 40001 style
    std::string part;                     // which bits or byte of the register, for hr.bit and hr.byte
    std::string type;                     // "f32 CDAB": the type and, over several registers, the word order
    int firstBlock = -1, lastBlock = -1;  // indexes into readBlocks(); -1: never read (broadcast)
};

TagMap mapTag(const HostConfig& cfg, const Tag& t, const std::vector<ReadBlock>& blocks);

// 1-based manual number of 0-based unit n of an area (3, 4, 8): 5 digits while
// the highest number of the range fits, else 6 (e.g. 40001, 400001).
std::string manualNumber(int area, long n, long highest);

struct ScanEstimate {
    int requests = 0;
    long bytesSent = 0, bytesReceived = 0;
    double charMs = 0;      // one character at the baud rate, start, parity and stop bits included
    double gapMs = 0;       // silence kept before each request (t3.5, or link.gapUs)
    double responseMs = 0;  // the controller's time from request to answer (assumed)
    double ms = 0;          // the whole scan
};

ScanEstimate estimateScan(const HostConfig& cfg, const std::vector<ReadBlock>& blocks, double responseMs);

constexpr double kDefaultResponseMs = 5;

// Address units, one example per width, for --help.
const char* addressHelp();

// The map as a table, or as one JSON object.
std::string mapText(const HostConfig& cfg, double responseMs);
std::string mapJson(const HostConfig& cfg, double responseMs);

}  // namespace host
