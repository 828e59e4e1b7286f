// Shared pieces of the libFuzzer targets: an input reader, the driver reset
// between inputs, one host exchange turn and the checks that must hold after
// every driver call whatever the input. Each target includes it once.
#ifndef KEMO_FUZZ_SUPPORT_H
#define KEMO_FUZZ_SUPPORT_H

#include "Driver_Internal.h"
#include "../tests/driver_reset.h"

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstdlib>

namespace fuzz {

// The host record every target installs.
inline COM_INFO host{};

// Aborts with a message when a property that holds for any input fails.
inline void require(bool ok, const char* what)
{
    if (ok)
        return;
    std::fprintf(stderr, "fuzz check failed: %s\n", what);
    std::abort();
}

// Reads the input from the front; every read past its end yields zeros,
// so a short input is a complete one.
struct Input {
    const uint8_t* data;
    size_t size;
    size_t pos = 0;

    bool empty() const { return pos >= size; }
    uint8_t u8() { return pos < size ? data[pos++] : 0; }
    uint16_t u16()
    {
        const unsigned high = u8();
        return static_cast<uint16_t>(high << 8 | u8());
    }
    int32_t i32()
    {
        const uint32_t high = u16();
        return static_cast<int32_t>(high << 16 | u16());
    }
    // A length byte, then that many bytes (fewer when the input ends).
    QByteArray blob()
    {
        const size_t take = std::min<size_t>(u8(), size - std::min(pos, size));
        pos += take;
        return QByteArray(reinterpret_cast<const char*>(data + pos - take), static_cast<int>(take));
    }
    // -17..17: register kinds and class numbers, the valid ones and others.
    int small() { return static_cast<int8_t>(u8()) % 18; }
    // A station, mostly 0..3, sometimes negative.
    int station()
    {
        const uint8_t s = u8();
        return s < 0xF0 ? s % 4 : static_cast<int8_t>(s);
    }
    // A frame limit: 0, -1, INT_MIN, INT_MAX, any 32-bit value or 1..256.
    int limit()
    {
        static const int kFixed[] = {0, -1, INT_MIN, INT_MAX};
        const int pick = u8() % 8;
        return pick < 4 ? kFixed[pick] : pick == 4 ? i32() : 1 + u8();
    }
    // A unit count: two bytes scaled to -2048..2047 (a write of n units costs
    // n queue scans); a leading 0xFF instead gives an absurd count (magnitude
    // 2^25 or more) that the driver must refuse at once.
    int count()
    {
        if (u8() != 0xFF)
            return static_cast<int16_t>(u16()) / 16;
        const int32_t v = i32();
        return v >= 0 ? v | (1 << 25) : std::min(v, -(1 << 25));
    }
    // An address text for `kind`: mostly well-formed and small; form 5 gives
    // extreme numbers, 6 arbitrary text, 7 the other kind's form.
    QString address(int kind)
    {
        const int form = u8() % 8;
        if (form == 6)
            return QString::fromLatin1(blob());
        const qint64 first = form == 5 ? i32() : u16();
        const kemo::KindFacts* facts = kemo::kindFacts(kind);
        if ((facts && facts->itemBits == 1) == (form == 7))
            return QString::number(first);
        const int second = form == 5 ? i32() : form == 7 ? u8() : u8() % 16;
        return QStringLiteral("%1.%2").arg(first).arg(second);
    }
    // A host variable of kind `u8 % kinds` on station `u8 % stations`; the
    // caller sets its length.
    HOST_VAR hostVar(int kinds, int stations)
    {
        HOST_VAR hv{};
        hv.regKind = static_cast<unsigned char>(u8() % kinds);
        hv.station = static_cast<unsigned char>(u8() % stations);
        hv.addrText = address(hv.regKind);
        return hv;
    }
    // A read record of `kind` with every other field from the input, as a
    // host hands it to AddListOnceReadVar or AddListWriteVar; its device
    // decides local or remote answer handling.
    RW_VAR record(int kind)
    {
        RW_VAR v;
        v.varClass = small();
        v.varId = u8() % 4;
        v.deviceId = host.localDeviceId + (u8() & 1);
        v.regKind = kind;
        v.addrText = address(kind);
        const uint8_t form = u8();  // any address, one just below the image bound, or a small one
        v.regAddr = (form & 0x80) ? i32() : (form & 0x40) ? (kemo::kMaxImageBytes >> (form & 1)) - u8() : u16();
        v.station = station();
        v.length = count();
        v.bitMode = -(u8() % 4);
        v.data = blob();
        return v;
    }
};

// True when the last two of `n` bytes are the CRC of the others, low byte first.
inline bool crcCloses(const uint8_t* p, int n)
{
    if (n < 4)  // no room for a CRC; n - 2 must not wrap
        return false;
    const unsigned short c = CalCRC(const_cast<uint8_t*>(p), static_cast<unsigned short>(n - 2));
    return p[n - 2] == (c & 0xFF) && p[n - 1] == (c >> 8);
}

namespace detail {

inline bool remoteFrames = false;  // the queued frames were built in remote mode

inline void onVarResult(int callbackId, int, int, int status)
{
    require(callbackId == host.callbackId && (status == 1 || status == 2), "VarResultCallBack: id or status");
    // A host may read values from inside a callback: the store lock is free.
    QString addr = QStringLiteral("0");
    QByteArray out;
    GetRegisterData(0, 8, addr, 1, &out, 2);
}

inline void onListResult(QList<RW_VAR>* results, int, int flag)
{
    require(results && results->isEmpty() && flag == 1, "ListResultCallBack: not an empty list with flag 1");
}

// Every queued frame closed by its CRC (low byte first) or, in remote mode,
// behind its length byte and closed by its sum byte.
inline void checkFrame(const Protocol& p)
{
    const QByteArray& f = p.frame;
    const int n = f.size();
    auto* bytes = reinterpret_cast<unsigned char*>(const_cast<char*>(f.constData()));
    require(p.frameLen == n && n <= 0xFFFF, "frameLen differs from the frame's size, or a huge frame");
    if (remoteFrames) {
        require(n >= 22 && kemo::byteAt(f, 0) == (n & 0xFF), "remote frame: too short or a wrong length byte");
        require(kemo::byteAt(f, n - 1) == (CalSUM(bytes, n - 1) & 0xFF), "remote frame: sum byte");
    } else {
        require(n >= 8 && crcCloses(bytes, n),
                "Modbus request shorter than 8 bytes, or its CRC does not match (a patched write half?)");
    }
}

// An answer of exactly `answerLen` bytes: the echo of a write, or a read
// answer with the data from the input, closed by a CRC.
inline QByteArray rightLengthAnswer(Input& in, const Protocol& req)
{
    const int target = std::min(req.answerLen, 1 << 17);
    if (target <= 0)
        return QByteArray();
    QByteArray a = req.frame.left(req.dataLen == 0 ? 6 : 2);
    if (req.dataLen != 0)
        a.append(static_cast<char>(req.dataLen & 0xFF)).append(in.blob());
    a = a.leftJustified(std::max(target - 2, 0), '\0', true);  // zeros where the input ran out
    kemo::appendCrc(a);
    a.truncate(target);
    return a;
}

}  // namespace detail

// Sets the host record's words from a settings byte and a frame limit, as a
// host may do at any time: frame format, stations, link, identity, limit;
// the retry limit only grows.
inline void configure(Input& in)
{
    const uint8_t settings = in.u8();
    host.remoteMode = settings & 1;
    host.multiStation = (settings >> 1) & 1;
    host.linkState = (settings & 4) ? 2 : 1;
    host.retryLimit = std::max(host.retryLimit, (settings >> 3) & 3);  // lowered, it would strand retryCount
    host.localDeviceId = (settings >> 5) & 1;
    host.defaultStation = settings >> 6;
    host.maxPerFrame = in.limit();
    const uint8_t options = in.u8();  // stations 1 and 2: unmerged reads, single writes
    SetStationOptions(1, options & 3);
    SetStationOptions(2, (options >> 2) & 3);
}

// Brings the driver back to the state of a freshly loaded library and
// installs the host record, configured from the input, and the callbacks.
inline void resetDriver(Input& in)
{
    qInstallMessageHandler([](QtMsgType, const QMessageLogContext&, const QString&) {});
    test::resetDriver();
    host = COM_INFO{};
    host.callbackId = 7;
    configure(in);
    SetComInfo(&host);
    RegistCallBackFuncIntf(detail::onVarResult, detail::onListResult);
    detail::remoteFrames = false;
}

// The checks that hold between any two driver calls: image bound, queued
// frames closed by the right CRC or sum, host record words in range.
inline void checkInvariants()
{
    for (const auto& station : DataStorage) {
        for (const QByteArray& image : station)
            require(image.size() <= kemo::kMaxImageBytes, "an area image grew past its bound");
    }
    require(PLC_driver.protocolList.size() <= 2, "more than one variable's requests queued");
    for (const Protocol& p : PLC_driver.protocolList)
        detail::checkFrame(p);
    require((host.scanComplete == 0 || host.scanComplete == 1) && host.retryCount >= 0 &&
                host.retryCount <= std::max(host.retryLimit, 0) &&
                (host.framesDone <= host.framesPerVar || PLC_driver.protocolList.isEmpty()),
            "scanComplete, retryCount or framesDone out of range");
}

// One turn of the host's loop: ComCommunication, then an answer shaped by
// the input handed to DataCom, whose result code must come from the table.
inline void exchange(Input& in)
{
    Communication_Protocol& d = PLC_driver;
    if (d.protocolList.isEmpty())
        detail::remoteFrames = host.remoteMode != 0;
    const intptr_t p = ComCommunication();
    require(p == (d.protocolList.isEmpty() ? 0 : reinterpret_cast<intptr_t>(&d.protocolList.first())),
            "ComCommunication does not return the front request");
    checkInvariants();
    QByteArray answer;
    if (p == 0) {
        const RW_VAR* r = DataCom(&answer, in.u8());
        require(r == &d.retValue && r->retCode == 1, "DataCom with nothing outstanding must give code 1");
        return;
    }
    const Protocol req = *reinterpret_cast<const Protocol*>(p);
    // Shapes: 0 silence; 1, 2 the right answer; 7 the right count with the
    // bytes cut short; 3, 4, 5 arbitrary bytes with their own count, the
    // expected one or any; 6 no buffer at all.
    const int shape = in.u8() % 8;
    if (shape == 1 || shape == 2 || shape == 7)
        answer = detail::rightLengthAnswer(in, req);
    else if (shape >= 3 && shape <= 5)
        answer = in.blob();
    int received = shape == 0 ? 0 : shape == 3 ? answer.size() : req.answerLen;
    if (shape == 5)
        received = (in.u8() & 1) ? -1 : in.i32();
    else if (shape == 6)
        received = (in.u8() & 1) ? req.answerLen : in.u8();
    else if (shape == 7)
        answer.chop(std::min<int>(answer.size(), 1 + in.u8() % 8));
    const RW_VAR* r = DataCom(shape == 6 ? nullptr : &answer, received);
    int rc = r->retCode;
    for (int base : {10, 40, 70, 110, 140, 170})
        rc = rc > base && rc <= base + 12 ? 1 : rc;  // the error codes: a base plus 1..12
    require(r == &d.retValue && r->data.isEmpty() && (rc == 0 || rc == 1 || rc == 100),
            "DataCom returns another record, one carrying data, or a result code outside the table");
    checkInvariants();
}

// A SetRegisterData call with everything from the input.
inline void hostWrite(Input& in)
{
    QString name = QString::fromLatin1(in.blob());
    const int kind = in.small();
    QString addr = in.address(kind);
    const int station = in.station();
    const int count = in.count();
    QByteArray value = in.blob();
    const qint64 room = std::max<qint64>(value.size(), 4 * (static_cast<qint64>(std::max(count, 0)) + 1));
    const int varClass = in.small();
    QByteArray* given = (in.u8() & 7) ? &value : nullptr;
    require(SetRegisterData(name, kind, addr, station, given, count, varClass, in.u8()) >= 0,
            "SetRegisterData result negative");
    require(value.size() <= room, "the host's value array grew beyond what the count needs");
}

}  // namespace fuzz

#endif
