// One Modbus RTU request/answer exchange over a Link, with the hygiene a
// shared RS-485 line needs: what waits on the line before a request is
// stale and dropped; after trouble the line must fall silent before the next
// request; every answer is checked against its request; an answer that
// turns up after its time-out is never taken for a later request.
#pragma once

#include "HostConfig.h"
#include "link/Link.h"
#include "RtuFraming.h"
#include "SerialLine.h"

#include <QByteArray>

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

namespace host {

struct ExchangeResult {
    AnswerStatus status = AnswerStatus::Timeout;
    QByteArray answer;    // what the driver gets: empty unless status is Ok
    QByteArray received;  // every byte of the answer as it arrived
    int exceptionCode = 0;
    std::string why;      // the failure in words, empty when ok
    int lateAnswers = 0;  // late answers to earlier requests seen and dropped in this exchange
    std::chrono::microseconds elapsed{0};
};

class RtuExchange {
public:
    using Clock = Link::Clock;

    RtuExchange(Link& link, const LinkSettings& settings, CrcFunction crc);

    // answerLen: bytes expected, 0 = broadcast, -1 = any length (the answer
    // then ends after link.interByteMs of silence). `modbus` false: remote
    // frames, passed on unchecked.
    ExchangeResult exchange(const uint8_t* request, int length, int answerLen, bool modbus);

    long settleUs() const { return settleUs_; }
    long interByteUs() const { return interByteUs_; }
    long noiseBytes() const { return noiseBytes_; }  // stray input dropped before requests

private:
    // A request whose answer did not come in time: it may still come.
    struct Owed {
        QByteArray request;
        Clock::time_point until;
    };

    // Drops what waits on the line and keeps the silence due before a request;
    // returns 1 when what it dropped was a late answer, else 0.
    int waitBeforeRequest(Clock::time_point start);
    // Reads until the line has been silent for settleUs (or `giveUp`); returns
    // the number of bytes that came, the first of them appended to `head`.
    int listenForSilence(Clock::time_point giveUp, QByteArray* head);
    // Index of an owed answer that would look like an answer from `station` to `function`, or -1.
    int findOwed(uint8_t station, uint8_t function) const;

    Link& link_;
    LinkSettings settings_;
    CrcFunction crc_;
    long interByteUs_;
    long settleUs_;
    bool trouble_ = false;  // the line must fall silent before the next request
    Clock::time_point lastActivity_;
    serialline::WakeMargin wakeMargin_;  // the silence before a request ends by the clock
    long noiseBytes_ = 0;
    std::vector<Owed> owed_;
};

}  // namespace host
