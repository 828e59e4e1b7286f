// The serial line of the host: a tty (termios, raw) or a pty, driven with
// Modbus RTU timing. One exchange = silence of at least t3.5, the request,
// then the answer, which ends when the expected number of bytes is in, after
// t3.5 of silence once bytes have started, or at the response time-out.
#pragma once

#include "HostConfig.h"

#include <QByteArray>

#include <chrono>
#include <cstdint>
#include <string>

namespace host {

enum class AnswerStatus {
    Ok,         // an answer that passed the checks (its length is the driver's to judge)
    Broadcast,  // nothing expected; the turnaround delay has passed
    Timeout,    // nothing came
    BadCrc,     // bytes came, but the checksum does not match
    Exception,  // a Modbus exception answer: function + 0x80, the code, CRC
    Mismatch,   // a sound frame from another station or for another function
    EchoLost,   // the adapter did not echo the request
    LineError,  // the line failed (read or write error)
};

const char* statusName(AnswerStatus s);

struct ExchangeResult {
    AnswerStatus status = AnswerStatus::Timeout;
    QByteArray answer;       // what the driver gets: empty unless status is Ok
    QByteArray received;     // every byte of the answer as it arrived
    int exceptionCode = 0;
    std::chrono::microseconds elapsed{0};
};

using CrcFunction = unsigned short (*)(unsigned char*, unsigned short);

class HostLink {
public:
    // `crc` checks Modbus answers; remote answers are passed on unchecked
    // (their layout belongs to the remote end).
    HostLink(const LinkSettings& settings, CrcFunction crc);
    ~HostLink();
    HostLink(const HostLink&) = delete;
    HostLink& operator=(const HostLink&) = delete;

    // Opens settings.device (tty or pty slave) raw with the configured baud,
    // parity, data and stop bits. False with `error` set on failure.
    bool open(std::string& error);
    // Uses an fd that is already open (e.g. one end of openpty); the link
    // makes it raw and non-blocking and closes it when `own` is set.
    bool attach(int fd, bool own, std::string& error);
    void close();
    int fd() const { return fd_; }

    // One request/answer exchange. answerLen: bytes expected, 0 = broadcast,
    // -1 = any length (the answer then ends at t3.5 of silence).
    ExchangeResult exchange(const uint8_t* request, int length, int answerLen, bool modbus);

    long t35Us() const { return t35Us_; }
    long requestGapUs() const { return requestGapUs_; }
    long charUs() const { return charUs_; }
    long noiseBytes() const { return noiseBytes_; }  // discarded stray input

private:
    using Clock = std::chrono::steady_clock;

    bool configure(std::string& error);
    void waitForSilence();
    bool writeAll(const uint8_t* data, int length);
    // Reads into buf until `need` bytes, silence after the first byte, or deadline.
    void receive(QByteArray& buf, int need, Clock::time_point deadline, bool stopOnException, uint8_t function);
    bool crcOk(const QByteArray& frame) const;

    LinkSettings settings_;
    CrcFunction crc_;
    int fd_ = -1;
    bool own_ = false;
    long charUs_ = 0;
    long t35Us_ = 0;
    long requestGapUs_ = 0;
    long noiseBytes_ = 0;
    Clock::time_point lastActivity_;
};

}  // namespace host
