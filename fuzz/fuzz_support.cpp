#include "fuzz_support.h"

#include <QtGlobal>

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstdlib>

namespace fuzz {

namespace {

// Frames in protocolList were built in remote mode (set when they were built).
bool remoteFrames = false;

void quiet(QtMsgType, const QMessageLogContext&, const QString&) {}

void onVarResult(int callbackId, int, int, int status)
{
    require(callbackId == host().callbackId, "VarResultCallBack: callbackId is not the host's");
    require(status == 1 || status == 2, "VarResultCallBack: status is neither 1 nor 2");
    // A host may read values from inside a callback: the store lock is free.
    QString addr = QStringLiteral("0");
    QByteArray out;
    GetRegisterData(0, 8, addr, 1, &out, 2);
}

void onListResult(QList<RW_VAR>* results, int, int flag)
{
    require(results && results->isEmpty() && flag == 1, "ListResultCallBack: not an empty list with flag 1");
}

bool validRetCode(int rc)
{
    if (rc == 0 || rc == 1 || rc == 100)
        return true;
    for (int base : {10, 40, 70, 110, 140, 170}) {
        if (rc > base && rc <= base + 12)
            return true;
    }
    return false;
}

void checkFrame(const Protocol& p)
{
    const QByteArray& f = p.frame;
    require(p.frameLen == f.size(), "frameLen differs from the frame's size");
    const int n = f.size();
    if (remoteFrames) {
        require(n >= 22, "remote frame shorter than its header and sum");
        require(kemo::byteAt(f, 0) == (n & 0xFF), "remote frame: length byte");
        if (n - 1 <= 0xFFFF) {
            const unsigned sum = CalSUM(reinterpret_cast<unsigned char*>(const_cast<char*>(f.constData())),
                                        static_cast<unsigned short>(n - 1));
            require(kemo::byteAt(f, n - 1) == (sum & 0xFF), "remote frame: sum byte");
        }
    } else {
        require(n >= 8, "Modbus request shorter than 8 bytes");
        if (n - 2 <= 0xFFFF) {
            const unsigned crc = CalCRC(reinterpret_cast<unsigned char*>(const_cast<char*>(f.constData())),
                                        static_cast<unsigned short>(n - 2));
            require(kemo::byteAt(f, n - 2) == (crc & 0xFF) && kemo::byteAt(f, n - 1) == (crc >> 8),
                    "Modbus request: CRC does not match (a patched write half?)");
        }
    }
}

// An answer of exactly `answerLen` bytes: the echo of a write, or a read
// answer with the data from the input, closed by a CRC.
QByteArray rightLengthAnswer(Input& in, const QByteArray& frame, int answerLen, int dataLen)
{
    const int target = std::min(answerLen, 1 << 17);
    if (target <= 0)
        return QByteArray();
    QByteArray a;
    if (dataLen == 0) {
        a = frame.left(6);
    } else {
        a.append(frame.left(2));
        a.append(static_cast<char>(dataLen & 0xFF));
        a.append(in.bytes(static_cast<size_t>(target)));
    }
    if (a.size() < target - 2)
        a.append(QByteArray(target - 2 - a.size(), '\0'));
    a.truncate(std::max(target - 2, 0));
    kemo::appendCrc(a);
    a.truncate(target);
    return a;
}

}  // namespace

uint8_t Input::u8()
{
    return pos_ < size_ ? data_[pos_++] : 0;
}

uint16_t Input::u16()
{
    const uint16_t high = u8();
    return static_cast<uint16_t>((high << 8) | u8());
}

int32_t Input::i32()
{
    const uint32_t high = u16();
    return static_cast<int32_t>((high << 16) | u16());
}

QByteArray Input::bytes(size_t n)
{
    const size_t take = std::min(n, size_ - std::min(pos_, size_));
    QByteArray out(reinterpret_cast<const char*>(data_ + pos_), static_cast<int>(take));
    pos_ += take;
    return out;
}

QByteArray Input::blob()
{
    return bytes(u8());
}

int Input::count()
{
    if (u8() != 0xFF)
        return static_cast<int16_t>(u16()) / 16;  // -2048 to 2047: fast enough under the sanitizers
    const int32_t v = i32();
    if (v >= 0)
        return v | (1 << 25);
    return std::min(v, -(1 << 25));
}

QString Input::address(int kind)
{
    const bool bitKind = kind >= 0 && kind <= 2;
    switch (u8() % 8) {
    case 5:  // extreme numbers
        if (bitKind) {
            const int32_t byteNo = i32();
            return QStringLiteral("%1.%2").arg(byteNo).arg(i32());
        }
        return QString::number(i32());
    case 6:  // arbitrary text
        return QString::fromLatin1(blob());
    case 7:  // the other kind's form
        if (bitKind)
            return QString::number(u16());
        return QStringLiteral("%1.%2").arg(u16()).arg(u8());
    default:  // well formed, small
        if (bitKind) {
            const int byteNo = u16();
            return QStringLiteral("%1.%2").arg(byteNo).arg(u8() % 16);
        }
        return QString::number(u16());
    }
}

COM_INFO& host()
{
    static COM_INFO info{};
    return info;
}

void require(bool ok, const char* what)
{
    if (ok)
        return;
    std::fprintf(stderr, "fuzz check failed: %s\n", what);
    std::abort();
}

void resetDriver()
{
    static const bool silenced = (qInstallMessageHandler(quiet), true);
    (void)silenced;
    Communication_Protocol& d = PLC_driver;
    COM_INFO& info = host();
    // What a host can do itself: an empty read list, silence until nothing is out.
    if (d.comInfo == &info) {
        QList<HOST_VAR> none;
        ReCreatReadVarList(&none);
        info.retryLimit = 0;
        for (int i = 0; i < 4 && !d.protocolList.isEmpty(); ++i) {
            QByteArray silence;
            DataCom(&silence, 0);
        }
    }
    // The rest only a reload of the library would clear.
    d.readList.clear();
    d.writeList.clear();
    d.onceReadList.clear();
    d.protocolList.clear();
    d.disabledStations.clear();
    d.retValue = RW_VAR();
    d.requestKind = 100;
    d.writeStreak = 0;
    d.onceReadStreak = 0;
    d.scanCount = 0;
    d.commFailed = 0;
    d.pendingMerge = Communication_Protocol::PendingMerge();
    DataStorage.clear();

    info = COM_INFO{};
    info.maxPerFrame = 100;
    info.defaultStation = 1;
    info.retryLimit = 2;
    info.multiStation = 1;
    info.linkState = 2;
    info.callbackId = 7;
    SetComInfo(&info);
    RegistCallBackFuncIntf(onVarResult, onListResult);
    remoteFrames = false;
}

void checkInvariants()
{
    const Communication_Protocol& d = PLC_driver;
    const COM_INFO& info = host();
    for (auto station = DataStorage.cbegin(); station != DataStorage.cend(); ++station) {
        for (auto image = station->cbegin(); image != station->cend(); ++image)
            require(image->size() <= kemo::kMaxImageBytes, "an area image grew past its bound");
    }
    require(d.protocolList.size() <= 2, "more than one variable's requests queued");
    for (const Protocol& p : d.protocolList)
        checkFrame(p);
    require(info.scanComplete == 0 || info.scanComplete == 1, "scanComplete is neither 0 nor 1");
    require(info.retryCount >= 0 && info.retryCount <= std::max(info.retryLimit, 0), "retryCount out of range");
    require(info.framesDone <= info.framesPerVar || d.protocolList.isEmpty(), "more answers counted than requests");
}

void exchange(Input& in)
{
    Communication_Protocol& d = PLC_driver;
    if (d.protocolList.isEmpty())
        remoteFrames = host().remoteMode != 0;
    const intptr_t p = ComCommunication();
    require(p == (d.protocolList.isEmpty() ? 0 : reinterpret_cast<intptr_t>(&d.protocolList.first())),
            "ComCommunication does not return the front request");
    checkInvariants();

    QByteArray answer;
    int received = 0;
    bool noBuffer = false;
    if (p == 0) {
        received = in.u8();
        RW_VAR* r = DataCom(&answer, received);
        require(r == &d.retValue && r->retCode == 1, "DataCom with nothing outstanding must give code 1");
        return;
    }
    const Protocol& req = *reinterpret_cast<const Protocol*>(p);
    const QByteArray frame = req.frame;
    const int answerLen = req.answerLen;
    const int dataLen = req.dataLen;

    switch (in.u8() % 8) {
    case 0:  // silence
        break;
    case 1: case 2:
        answer = rightLengthAnswer(in, frame, answerLen, dataLen);
        received = answerLen;
        break;
    case 3:
        answer = in.blob();
        received = answer.size();
        break;
    case 4:  // bytes and count disagree
        answer = in.blob();
        received = answerLen;
        break;
    case 5:
        answer = in.blob();
        received = (in.u8() & 1) ? -1 : in.i32();
        break;
    case 6:
        noBuffer = true;
        received = (in.u8() & 1) ? answerLen : in.u8();
        break;
    default:  // the right count, the bytes cut short
        answer = rightLengthAnswer(in, frame, answerLen, dataLen);
        answer.chop(std::min<int>(answer.size(), 1 + in.u8() % 8));
        received = answerLen;
        break;
    }
    RW_VAR* r = DataCom(noBuffer ? nullptr : &answer, received);
    require(r == &d.retValue, "DataCom returns another record");
    require(validRetCode(r->retCode), "DataCom result code outside the table");
    require(r->data.isEmpty(), "the result record carries data");
    checkInvariants();
}

}  // namespace fuzz
