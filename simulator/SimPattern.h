// Initial memory of the simulated controller. Tests of both the simulator and
// the driver derive expected values from here, so keep it free of state.
#pragma once

#include <cstdint>

namespace simpattern {

constexpr int kAreaSize = 10000;  // coils, discrete inputs, holding and input registers per station

// Registers 0 and 1 are animated when animation is on; they start at 0.
inline uint16_t holdingRegister(int station, int addr)
{
    return addr < 2 ? 0 : static_cast<uint16_t>((station * 1000 + addr) & 0xFFFF);
}

inline uint16_t inputRegister(int station, int addr)
{
    return static_cast<uint16_t>((station * 1000 + addr + 500) & 0xFFFF);
}

inline bool coil(int station, int addr) { return ((addr * 7 + station) % 3) == 0; }

inline bool discreteInput(int station, int addr) { return ((addr + station) % 2) == 0; }

}  // namespace simpattern
