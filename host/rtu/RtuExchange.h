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

#include <array>
#include <atomic>
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
    // Set when a late answer raised the station's time-out in this exchange:
    // how late it came after its request, and the time-out now used.
    bool stopped = false;  // cut short by the stop flag: no verdict on the station
    int raisedStation = -1;
    long latenessMs = 0;
    int raisedTimeoutMs = 0;
    std::chrono::microseconds elapsed{0};
    // When the request went to the link and when the exchange ended, for the trace.
    std::chrono::steady_clock::time_point sentAt, endedAt;
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
    // The response time-out used for `station`: the configured one, raised
    // (up to kMaxTimeoutFactor times) for a station whose answers came late.
    int timeoutMs(uint8_t station) const;
    // A station's own response time-out (slow meters beside fast I/O); 0: the link's.
    void setStationTimeout(uint8_t station, int ms) { stationTimeoutMs_[station] = ms; }
    // Stop waiting once *stop turns true (a signal or --seconds): the exchange ends as a line error.
    void setStopFlag(const std::atomic<bool>* stop) { stop_ = stop; }

    static constexpr int kMaxTimeoutFactor = 4;
    // Most bytes read and dropped in one drain: a flooding peer cannot hold the line.
    static constexpr int kMaxDrainBytes = 4096;

private:
    // A request whose answer did not come in time: it may still come.
    struct Owed {
        QByteArray request;
        Clock::time_point sentEnd;  // end of the request on the wire
        Clock::time_point until;    // later than this, its answer is not looked for
        QByteArray answer;          // taken for its repeat: a second answer would be the same frame
    };

    // Drops what waits on the line and keeps the silence due before a request;
    // returns 1 when what it dropped was a late answer, else 0.
    int waitBeforeRequest(Clock::time_point start, ExchangeResult& r);
    // Reads until the line has been silent for settleUs, `giveUp` passes or
    // kMaxDrainBytes came; returns the number of bytes that came, the first
    // of them appended to `head`.
    int listenForSilence(Clock::time_point giveUp, QByteArray* head);
    // Index of an owed answer that would start with these two bytes (station,
    // function or exception function), or -1.
    int findOwed(const QByteArray& head) const;
    // The owed answer at `index` came at `arrived`: no longer owed, and the
    // station's time-out is raised to cover such lateness.
    void settleOwed(int index, Clock::time_point arrived, ExchangeResult& r);
    // Feeds the framer until it has the answer (`expected` bytes, -1 any),
    // nothing more is worth waiting for, or a stop.
    void readAnswer(AnswerFramer& framer, int expected);
    bool stopping() const { return stop_ && stop_->load(); }

    Link& link_;
    LinkSettings settings_;
    CrcFunction crc_;
    long interByteUs_;
    long settleUs_;
    bool trouble_ = false;  // the line must fall silent before the next request
    Clock::time_point lastActivity_;
    long noiseBytes_ = 0;
    std::vector<Owed> owed_;
    int baseTimeoutMs(uint8_t station) const;  // the station's own, else the link's
    std::array<int, 256> stationTimeoutMs_{};  // per station as configured; 0: the link's
    std::array<int, 256> raisedTimeoutMs_{};   // per station; 0: the configured time-out
    std::array<int, 256> lateSeen_{};          // late answers per station
    const std::atomic<bool>* stop_ = nullptr;
};

}  // namespace host
