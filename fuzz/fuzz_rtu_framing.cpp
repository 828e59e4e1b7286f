// plc-host's answer framing: any bytes, cut into pieces that arrive at any
// times, against a request of any shape. It must always come to an end, and
// an answer it passes on (or takes for an exception) must carry the right
// CRC, station and function.
//
// Input: station, function, address, quantity, the expected answer length,
// then pieces (a delay in 100 us steps and a length-prefixed blob).
#include "rtu/RtuFraming.h"
#include "fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    fuzz::Input in{data, size};
    QByteArray frame;
    for (int i = 0; i < 6; ++i)
        frame.append(static_cast<char>(in.u8()));
    kemo::appendCrc(frame);
    const auto* request = reinterpret_cast<const uint8_t*>(frame.constData());
    const int pick = in.u8();
    const int answerLen = pick == 0 ? -1 : pick % 64;
    const bool modbus = in.u8() != 0xFF;

    const host::FramingTimes times{0, 200000, 20000};  // start, response time-out, inter-byte time-out
    host::AnswerFramer framer(request, 8, answerLen == 0 ? 1 : answerLen, modbus, times, CalCRC);
    int64_t now = 0;
    while (!in.empty()) {
        now += 100 * static_cast<int64_t>(in.u16() % 4096);
        if (framer.complete(now))
            break;
        const QByteArray piece = in.blob();
        framer.add(reinterpret_cast<const uint8_t*>(piece.constData()), piece.size(), now);
    }
    // However the bytes came, the wait ends.
    fuzz::require(framer.complete(std::max(now, framer.wakeAtUs())), "the answer never ends");
    fuzz::require(framer.wakeAtUs() <= 2 * times.deadlineUs + times.interByteUs, "the wait outlasts its limit");

    const host::Verdict v = framer.verdict();
    const QByteArray& got = framer.received();
    const auto* b = reinterpret_cast<const uint8_t*>(got.constData());
    fuzz::require(v.frameLength >= 0 && v.frameLength <= got.size(), "frame beyond the bytes received");
    if (modbus && v.status == host::AnswerStatus::Ok) {
        fuzz::require(fuzz::crcCloses(b, v.frameLength), "an answer with a wrong CRC passed");
        fuzz::require(b[0] == request[0] && b[1] == request[1], "an answer for another station or function passed");
        fuzz::require(answerLen < 0 || v.frameLength == answerLen, "an answer of the wrong length passed");
    }
    if (modbus && v.status == host::AnswerStatus::Exception)
        fuzz::require(v.frameLength == 5 && fuzz::crcCloses(b, 5) && b[0] == request[0] && b[1] == (request[1] | 0x80),
                      "a foreign or broken exception answer was taken");
    return 0;
}
