// The driver reset shared by the benchmark programs.
#ifndef KEMO_BENCH_SUPPORT_H
#define KEMO_BENCH_SUPPORT_H

#include "Communication_Protocol.h"
#include "../tests/driver_reset.h"

namespace bench {

// Empties every list and the store and installs `info` with the given
// settings, so each measurement starts from a freshly loaded driver.
inline void freshDriver(COM_INFO& info, int maxPerFrame, bool multiStation = true, int defaultStation = 1)
{
    test::resetDriver();
    info = COM_INFO{};
    info.maxPerFrame = maxPerFrame;
    info.defaultStation = defaultStation;
    info.retryLimit = 2;
    info.multiStation = multiStation ? 1 : 0;
    info.linkState = 2;
    info.callbackId = 1;
    SetComInfo(&info);
}

}  // namespace bench

#endif
