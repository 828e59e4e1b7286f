// The serial line of the host: a tty (termios, raw) or a pty, non-blocking.
#pragma once

#include "HostConfig.h"
#include "Link.h"

namespace host {

class SerialLink : public Link {
public:
    explicit SerialLink(const LinkSettings& settings);
    ~SerialLink() override;
    SerialLink(const SerialLink&) = delete;
    SerialLink& operator=(const SerialLink&) = delete;

    // Opens settings.device (tty or pty slave) raw with the configured baud,
    // parity, data and stop bits. False with `error` set on failure.
    bool open(std::string& error) override;
    // Uses an fd that is already open (e.g. one end of openpty); the link
    // makes it raw and non-blocking and closes it when `own` is set.
    bool attach(int fd, bool own, std::string& error);
    void close() override;
    int fd() const { return fd_; }

    int read(uint8_t* buffer, int capacity) override;
    bool waitReadable(Clock::time_point until) override;
    bool write(const uint8_t* data, int length, Clock::time_point until) override;
    void discardInput() override;

    long charUs() const override { return charUs_; }
    long frameGapUs() const override { return t35Us_; }
    long requestGapUs() const override { return requestGapUs_; }

private:
    bool configure(std::string& error);

    LinkSettings settings_;
    int fd_ = -1;
    bool own_ = false;
    long charUs_ = 0;
    long t35Us_ = 0;
    long requestGapUs_ = 0;
};

}  // namespace host
