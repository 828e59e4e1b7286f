// How a remote end answers the driver's remote frames: one layout, shared by
// plc-sim (which sends it) and plc-host (which checks it). The driver itself
// only counts bytes: data + 5 for a read, 8 for a write, data from byte 3.
//
//   read answer   LL SS 00 data... CL CH   LL = data + 5 (modulo 256)
//   write answer  08 SS 00 KK NH NL CL CH  KK = kind, NH NL = items applied
//   refusal       05 SS RR CL CH           RR = why (Refusal below)
//
// SS is the station of the request; CL CH the CRC-16/MODBUS of every byte
// before it, low byte first, as on a Modbus line.
#pragma once

#include <cstdint>

namespace remoteframe {

constexpr int kLengthAt = 0;
constexpr int kStationAt = 1;
constexpr int kStatusAt = 2;  // 0: served; else a Refusal
constexpr int kDataAt = 3;    // read data; of a write answer, its kind
constexpr int kReadOverhead = 5;
constexpr int kWriteAnswerLength = 8;
constexpr int kRefusalLength = 5;

enum Refusal : uint8_t {
    kServed = 0,
    kAreaNotServed = 1,      // a read of a kind that names no area, or a write of a read-only one
    kAddressOutOfRange = 2,  // beyond the station's memory
    kBadFrame = 3,           // the sum does not match, or the frame is too short for its header
};

inline const char* refusalName(int code)
{
    switch (code) {
    case kAreaNotServed: return "area not served";
    case kAddressOutOfRange: return "address out of range";
    case kBadFrame: return "bad frame";
    default: return "";
    }
}

}  // namespace remoteframe
