// A byte transport under the RTU exchange: a serial line today, a TCP
// connection to a serial server tomorrow. It moves bytes and waits; framing,
// timing rules and answer checks live above it (RtuExchange).
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <time.h>

namespace host {

class Link {
public:
    using Clock = std::chrono::steady_clock;

    virtual ~Link() = default;

    virtual bool open(std::string& error) = 0;
    virtual void close() = 0;
    // What is waiting, without blocking: bytes read, 0 when nothing waits,
    // -1 when the link has failed or has no peer.
    virtual int read(uint8_t* buffer, int capacity) = 0;
    // Until bytes wait or `until` passes; false on time-out. May return true
    // early on a link without a peer (read then reports -1).
    virtual bool waitReadable(Clock::time_point until) = 0;
    // Hands the bytes to the transport; false when it fails or stays full until `until`.
    virtual bool write(const uint8_t* data, int length, Clock::time_point until) = 0;
    // Drops what the transport holds on the way in.
    virtual void discardInput() = 0;

    // Wire time of one character; 0 where the transport has no bit rate.
    virtual long charUs() const = 0;
    // t3.5 of the line: the silence that separates frames; 0 without a bit rate.
    virtual long frameGapUs() const = 0;
    // Silence kept before each request.
    virtual long requestGapUs() const = 0;
    // Bytes come no faster than the bit rate (a real serial line; not a pty
    // or a socket, which may hand over a whole frame at once).
    virtual bool paced() const { return false; }

    // The exchange above got a sound answer over the link (a reconnecting
    // link takes it as proof that the connection works).
    virtual void answered() {}

    // The clock every wait above the link runs on; a scripted link in the
    // unit tests keeps its own.
    virtual Clock::time_point now() const { return Clock::now(); }
    // Sleeps until `until` on that clock (a link without a peer has nothing to wait on).
    // An absolute wake-up: the time spent getting here does not add to it,
    // and a signal ends it early (the caller looks at its stop flag).
    // A sharp wake-up watches the clock for the last few tens of us instead:
    // a sleep comes back about that late, a third of a character at 115,200
    // baud, and the request after a silence should leave on time.
    virtual void sleepUntil(Clock::time_point until, bool sharp = false)
    {
        const long long ns = std::chrono::duration_cast<std::chrono::nanoseconds>(
                                 (sharp ? until - kSharpSpin : until).time_since_epoch())
                                 .count();
        if (ns <= 0)
            return;
        const timespec at{static_cast<time_t>(ns / 1000000000LL), static_cast<long>(ns % 1000000000LL)};
        // steady_clock is CLOCK_MONOTONIC; a signal (a stop) ends the wait without the watch
        if (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &at, nullptr) != 0)
            return;
        while (sharp && Clock::now() < until) {}
    }
    static constexpr std::chrono::microseconds kSharpSpin{40};
};

}  // namespace host
