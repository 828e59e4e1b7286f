// The driver brought back to the state of a freshly loaded library, shared
// by the tests, the fuzz targets and the benchmarks.
#ifndef KEMO_DRIVER_RESET_H
#define KEMO_DRIVER_RESET_H

#include "Communication_Protocol.h"

#include <new>

namespace test {

// Every field back to its value at load (a new object in place of the old)
// and an empty store. No driver lock may be held.
inline void resetDriver()
{
    PLC_driver.~Communication_Protocol();
    new (&PLC_driver) Communication_Protocol;
    DataStorage.clear();
}

}  // namespace test

#endif
