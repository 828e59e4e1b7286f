// The simulated remote end: it takes the driver's remote frames (the variable
// descriptor behind a length byte, closed by an 8-bit sum), serves them from
// and into a station's memory and answers in the layout of RemoteAnswer.h.
#pragma once

#include <modbus.h>

#include <cstddef>
#include <cstdint>
#include <vector>

namespace simremote {

// Bytes the frame at the head of `buf` says it has (its length byte; 0 means
// 256), or 0 while not even that byte has come.
size_t frameLength(const uint8_t* buf, size_t have);
// True when the last byte is the low byte of the sum of all before it.
bool sumOk(const uint8_t* frame, size_t length);
// The station byte of a frame long enough to have one, else -1.
int stationOf(const uint8_t* frame, size_t length);

// What a served frame did to memory: the coils or holding registers it
// wrote (area 0: none), so that moving tags leave them alone.
struct Written {
    int area = 0;  // 1 coils, 3 holding registers
    long first = 0;
    long last = -1;
};

// Serves one frame whose sum is right on a station's memory: reads, or
// applies a write. Returns the answer, CRC included; `written` tells what
// changed.
std::vector<uint8_t> serve(modbus_mapping_t& memory, const uint8_t* frame, size_t length, Written& written);

// The refusal of a frame for `station`, CRC included.
std::vector<uint8_t> refusal(int station, uint8_t why);

}  // namespace simremote
