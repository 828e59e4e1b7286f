// Modbus RTU answer framing and checking, free of I/O and clocks: bytes and
// the times they arrived go in, "complete or not" and a verdict come out.
// The link feeds it from the wire; the unit tests and the fuzzer feed it
// directly.
#pragma once

#include <QByteArray>

#include <cstdint>
#include <string>

namespace host {

using CrcFunction = unsigned short (*)(unsigned char*, unsigned short);

enum class AnswerStatus {
    Ok,          // an answer that passed every check
    Broadcast,   // nothing expected; the turnaround delay has passed
    Timeout,     // nothing came
    BadCrc,      // a frame came, but its checksum does not match
    Exception,   // a sound Modbus exception answer from the station asked
    Mismatch,    // a sound frame from another station, for another function, or not fitting the request
    EchoLost,    // the adapter did not echo the request
    LineError,   // the line failed (read or write error)
    Incomplete,  // bytes came, but fewer than the answer needs
    Late,        // a late answer to an earlier request came instead of, or beside, this one
};

// A request of plc-host's own (not the driver's): station, then the PDU,
// then the CRC low byte first.
QByteArray rtuRequest(uint8_t station, const QByteArray& pdu, CrcFunction crc);

// Word of the trace: "ok", "time-out", "bad CRC", ...
const char* statusName(AnswerStatus s);
// Standard Modbus exception name ("illegal data address"), or "" for other codes.
const char* exceptionName(int code);

struct Verdict {
    AnswerStatus status = AnswerStatus::Timeout;
    int frameLength = 0;      // bytes that form the answer (the rest is foreign)
    int exceptionCode = 0;    // for Exception
    const char* detail = "";  // for Mismatch: what did not fit; for a remote refusal: why
};

// Judges `frame` (every byte received for the request, in order) against the
// request. answerLen: bytes the driver expects, -1 = any length. With
// `modbus` false the answer is a remote end's (RemoteAnswer.h): its CRC,
// station, length byte and status are checked, a refusal is an Exception. A Verdict with Ok is a frame whose CRC, station,
// function and (where the protocol carries them) byte count and echoed
// address and quantity fit the request.
Verdict judgeAnswer(const uint8_t* request, int requestLen, const uint8_t* frame, int frameLen, int answerLen,
                    bool modbus, CrcFunction crc);

// The whole failure in words: "no answer (time-out)", "exception 02 illegal data address", ...
std::string failureText(const Verdict& v, int received, int answerLen);

// When an answer is complete. Times are microseconds on any steady clock.
struct FramingTimes {
    int64_t startUs = 0;      // end of the request on the wire
    int64_t deadlineUs = 0;   // end of the response time-out
    int64_t interByteUs = 0;  // silence that ends an answer of unknown length, and the grace after the deadline
};

class AnswerFramer {
public:
    AnswerFramer(const uint8_t* request, int requestLen, int answerLen, bool modbus, FramingTimes times,
                 CrcFunction crc);

    void add(const uint8_t* data, int n, int64_t atUs);
    // True once the answer is in, or nothing more is worth waiting for at `nowUs`.
    bool complete(int64_t nowUs) const;
    // When complete() may change without new bytes.
    int64_t wakeAtUs() const;
    Verdict verdict() const;

    const QByteArray& received() const { return buf_; }
    int64_t lastByteUs() const { return lastByteUs_; }

    static constexpr int kMaxBytes = 512;  // no RTU frame is longer: beyond it is noise

private:
    bool lengthReached() const;

    const uint8_t* request_;
    int requestLen_;
    int answerLen_;
    bool modbus_;
    FramingTimes times_;
    CrcFunction crc_;
    QByteArray buf_;
    int64_t lastByteUs_ = 0;
};

}  // namespace host
