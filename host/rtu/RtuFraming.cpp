#include "RtuFraming.h"

#include "RemoteAnswer.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace host {

namespace {

// Registers and counts travel high byte first.
int be16(const uint8_t* p) { return p[0] << 8 | p[1]; }

bool crcOk(const uint8_t* frame, int length, CrcFunction crc)
{
    if (length < 4 || !crc || length > 0xFFFF)
        return false;
    // The driver's CRC takes a mutable pointer; it only reads.
    const unsigned short c = crc(const_cast<uint8_t*>(frame), static_cast<unsigned short>(length - 2));
    return frame[length - 2] == (c & 0xFF) && frame[length - 1] == (c >> 8);
}

Verdict make(AnswerStatus s, int length, const char* detail = "", int code = 0)
{
    Verdict v;
    v.status = s;
    v.frameLength = length;
    v.detail = detail;
    v.exceptionCode = code;
    return v;
}

// Byte count a read answer must carry, or -1 when the request does not say.
int expectedByteCount(const uint8_t* request, int requestLen)
{
    if (requestLen < 6)
        return -1;
    const int quantity = be16(request + 4);
    switch (request[1]) {
    case 0x01:
    case 0x02: return (quantity + 7) / 8;
    case 0x03:
    case 0x04: return 2 * quantity;
    default: return -1;
    }
}

// A remote end's answer (RemoteAnswer.h): its length byte, the station of
// the request, a status and the CRC; a refusal is five bytes whatever the
// request expects.
Verdict judgeRemoteAnswer(const uint8_t* request, int requestLen, const uint8_t* frame, int frameLen, int answerLen,
                          CrcFunction crc)
{
    namespace rf = remoteframe;
    if (requestLen <= rf::kStationAt + 3)
        return make(AnswerStatus::Mismatch, frameLen, "no request to compare with");
    const uint8_t station = request[4];  // the request's station byte
    if (frameLen >= rf::kRefusalLength && frame[rf::kStatusAt] != rf::kServed &&
        crcOk(frame, rf::kRefusalLength, crc)) {
        if (frame[rf::kStationAt] != station)
            return make(AnswerStatus::Mismatch, rf::kRefusalLength, "wrong station");
        return make(AnswerStatus::Exception, rf::kRefusalLength, rf::refusalName(frame[rf::kStatusAt]),
                    frame[rf::kStatusAt]);
    }
    const int length = answerLen > 0 ? std::min(frameLen, answerLen) : frameLen;
    if (length < answerLen)
        return make(crcOk(frame, frameLen, crc) ? AnswerStatus::Mismatch : AnswerStatus::Incomplete, frameLen,
                    "an answer of another length");
    if (!crcOk(frame, length, crc))
        return make(AnswerStatus::BadCrc, length);
    if (frame[rf::kStationAt] != station)
        return make(AnswerStatus::Mismatch, length, "wrong station");
    if (frame[rf::kLengthAt] != (length & 0xFF) || frame[rf::kStatusAt] != rf::kServed)
        return make(AnswerStatus::Mismatch, length, "length byte or status does not fit");
    return make(AnswerStatus::Ok, length);
}

}  // namespace

const char* statusName(AnswerStatus s)
{
    switch (s) {
    case AnswerStatus::Ok: return "ok";
    case AnswerStatus::Broadcast: return "broadcast";
    case AnswerStatus::Timeout: return "time-out";
    case AnswerStatus::BadCrc: return "bad CRC";
    case AnswerStatus::Exception: return "exception";
    case AnswerStatus::Mismatch: return "foreign frame";
    case AnswerStatus::EchoLost: return "no echo";
    case AnswerStatus::LineError: return "line error";
    case AnswerStatus::Incomplete: return "incomplete";
    case AnswerStatus::Late: return "late answer";
    }
    return "?";
}

const char* exceptionName(int code)
{
    switch (code) {
    case 0x01: return "illegal function";
    case 0x02: return "illegal data address";
    case 0x03: return "illegal data value";
    case 0x04: return "server device failure";
    case 0x05: return "acknowledge";
    case 0x06: return "server device busy";
    case 0x07: return "negative acknowledge";
    case 0x08: return "memory parity error";
    case 0x0A: return "gateway path unavailable";
    case 0x0B: return "gateway target device failed to respond";
    default: return "";
    }
}

QByteArray rtuRequest(uint8_t station, const QByteArray& pdu, CrcFunction crc)
{
    QByteArray frame(1, static_cast<char>(station));
    frame += pdu;
    const unsigned short c =
        crc(reinterpret_cast<unsigned char*>(frame.data()), static_cast<unsigned short>(frame.size()));
    frame += static_cast<char>(c & 0xFF);
    frame += static_cast<char>(c >> 8);
    return frame;
}

Verdict judgeAnswer(const uint8_t* request, int requestLen, const uint8_t* frame, int frameLen, int answerLen,
                    bool modbus, CrcFunction crc)
{
    if (frameLen <= 0)
        return make(AnswerStatus::Timeout, 0);
    if (!modbus)
        return judgeRemoteAnswer(request, requestLen, frame, frameLen, answerLen, crc);
    const int length = answerLen > 0 ? std::min(frameLen, answerLen) : frameLen;
    if (requestLen < 2)
        return make(AnswerStatus::Mismatch, frameLen, "no request to compare with");
    const uint8_t station = request[0];
    const uint8_t function = request[1];

    // An exception answer is five bytes whatever length the request expects.
    if (frameLen >= 5 && frame[1] == (function | 0x80) && crcOk(frame, 5, crc)) {
        if (frame[0] != station)
            return make(AnswerStatus::Mismatch, 5, "wrong station or function");
        return make(AnswerStatus::Exception, 5, "", frame[2]);
    }
    if (length < answerLen) {
        // Short: a whole frame of another shape (another station's or
        // function's) is foreign; anything else is a broken answer.
        if (crcOk(frame, frameLen, crc))
            return make(AnswerStatus::Mismatch, frameLen, "wrong station or function");
        return make(AnswerStatus::Incomplete, frameLen);
    }
    if (!crcOk(frame, length, crc))
        return make(AnswerStatus::BadCrc, length);
    if (frame[0] != station || frame[1] != function)
        return make(AnswerStatus::Mismatch, length, "wrong station or function");
    switch (function) {
    case 0x01:
    case 0x02:
    case 0x03:
    case 0x04: {
        const int expected = expectedByteCount(request, requestLen);
        if (length < 5 || frame[2] != length - 5 || (expected >= 0 && frame[2] != expected))
            return make(AnswerStatus::Mismatch, length, "wrong byte count");
        break;
    }
    case 0x05:
    case 0x06:
    case 0x0F:
    case 0x10:
        // Address and quantity (or value) come back as sent.
        if (length < 8 || requestLen < 6 || std::memcmp(frame + 2, request + 2, 4) != 0)
            return make(AnswerStatus::Mismatch, length, "echo does not match the request");
        break;
    default: break;
    }
    return make(AnswerStatus::Ok, length);
}

std::string failureText(const Verdict& v, int received, int answerLen)
{
    char text[96];
    switch (v.status) {
    case AnswerStatus::Timeout: return "no answer (time-out)";
    case AnswerStatus::BadCrc: return "bad CRC";
    case AnswerStatus::Exception: {
        if (*v.detail) {  // a remote end's refusal
            std::snprintf(text, sizeof text, "refused %02X %s", v.exceptionCode, v.detail);
            return text;
        }
        const char* name = exceptionName(v.exceptionCode);
        std::snprintf(text, sizeof text, "exception %02X%s%s", v.exceptionCode, *name ? " " : "", name);
        return text;
    }
    case AnswerStatus::Mismatch: return *v.detail ? v.detail : "wrong station or function";
    case AnswerStatus::Incomplete:
        std::snprintf(text, sizeof text, "incomplete answer (%d of %d bytes)", received, answerLen);
        return text;
    case AnswerStatus::Late: return "late answer discarded";
    case AnswerStatus::EchoLost: return "no echo of the request";
    case AnswerStatus::LineError: return "line error";
    default: return statusName(v.status);
    }
}

AnswerFramer::AnswerFramer(const uint8_t* request, int requestLen, int answerLen, bool modbus, FramingTimes times,
                           CrcFunction crc)
    : request_(request), requestLen_(requestLen), answerLen_(answerLen), modbus_(modbus), times_(times), crc_(crc)
{}

void AnswerFramer::add(const uint8_t* data, int n, int64_t atUs)
{
    if (n <= 0)
        return;
    const int room = kMaxBytes - buf_.size();
    buf_.append(reinterpret_cast<const char*>(data), std::min(n, std::max(room, 0)));
    lastByteUs_ = atUs;
}

bool AnswerFramer::lengthReached() const
{
    const int n = buf_.size();
    if (n >= kMaxBytes || (answerLen_ > 0 && n >= answerLen_))
        return true;
    // A complete exception answer or refusal ends the wait at once.
    const uint8_t* b = reinterpret_cast<const uint8_t*>(buf_.constData());
    if (!modbus_)
        return n >= remoteframe::kRefusalLength && b[remoteframe::kStatusAt] != remoteframe::kServed &&
               crcOk(b, remoteframe::kRefusalLength, crc_);
    return requestLen_ >= 2 && n >= 5 && b[1] == (request_[1] | 0x80) && crcOk(b, 5, crc_);
}

int64_t AnswerFramer::wakeAtUs() const
{
    if (buf_.isEmpty())
        return times_.deadlineUs;
    const int64_t quiet = lastByteUs_ + times_.interByteUs;
    if (answerLen_ < 0)
        return std::min(quiet, times_.deadlineUs + (times_.deadlineUs - times_.startUs) + times_.interByteUs);
    // Bytes still arriving at the deadline may finish, up to a hard limit of
    // twice the response time-out: a trickle of noise must not hold the line.
    const int64_t hardEnd = times_.deadlineUs + (times_.deadlineUs - times_.startUs) + times_.interByteUs;
    return std::min(std::max(times_.deadlineUs, quiet), hardEnd);
}

bool AnswerFramer::complete(int64_t nowUs) const { return lengthReached() || nowUs >= wakeAtUs(); }

Verdict AnswerFramer::verdict() const
{
    return judgeAnswer(request_, requestLen_, reinterpret_cast<const uint8_t*>(buf_.constData()), buf_.size(),
                       answerLen_, modbus_, crc_);
}

}  // namespace host
