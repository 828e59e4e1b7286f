// A byte transport under the RTU exchange: a serial line today, a TCP
// connection to a serial server tomorrow. It moves bytes and waits; framing,
// timing rules and answer checks live above it (RtuExchange).
#pragma once

#include <chrono>
#include <cstdint>
#include <string>

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
};

}  // namespace host
