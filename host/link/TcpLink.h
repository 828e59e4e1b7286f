// RTU frames over TCP, as serial device servers carry them: the same bytes
// with their CRC, one connection, non-blocking, no Nagle delay.
#pragma once

#include "HostConfig.h"
#include "Link.h"

#include <string>

namespace host {

struct TcpAddress {
    std::string host;  // name or address; IPv6 in brackets in the text, without them here
    int port = 0;
};

// "tcp://HOST:PORT" -> host and port. False with `error` set when the text
// starts with tcp:// but is not a usable address; false, error empty, when
// it is no TCP device at all.
bool parseTcpDevice(const std::string& device, TcpAddress& address, std::string& error);

class TcpLink : public Link {
public:
    explicit TcpLink(const LinkSettings& settings);  // settings.device is a tcp:// text
    ~TcpLink() override;
    TcpLink(const TcpLink&) = delete;
    TcpLink& operator=(const TcpLink&) = delete;

    // Connects within the larger of the response time-out and 1 s.
    bool open(std::string& error) override;
    void close() override;

    int read(uint8_t* buffer, int capacity) override;
    bool waitReadable(Clock::time_point until) override;
    bool write(const uint8_t* data, int length, Clock::time_point until) override;
    void discardInput() override;

    // The request and answer still cross the server's serial line at the
    // configured baud: time-outs count from the request's end there.
    long charUs() const override { return charUs_; }
    long frameGapUs() const override { return t35Us_; }
    // The server keeps the line's silences itself; link.gapUs adds one.
    long requestGapUs() const override { return settings_.gapUs > 0 ? settings_.gapUs : 0; }

    static constexpr int kMaxDiscard = 16384;  // bytes dropped by one discardInput

private:
    LinkSettings settings_;
    TcpAddress address_;
    int fd_ = -1;
    bool peerGone_ = false;  // the server closed the connection (seen while discarding)
    long charUs_;
    long t35Us_;
};

}  // namespace host
