// The driver object, the request scheduler, answer intake and the station switch.
#include "Driver_Internal.h"

using kemo::loadWord;
using kemo::storeWord;

// Constructed in this order at load and destroyed in reverse at unload.
Communication_Protocol PLC_driver;
RegisterStore DataStorage;

Communication_Protocol::Communication_Protocol() = default;
Communication_Protocol::~Communication_Protocol() = default;

void passRetValue(const RW_VAR& from, RW_VAR& to)
{
    const QByteArray keep;  // `data` is never passed on
    to = from;
    to.data = keep;
}

namespace kemo {

QByteArray modbusHead(int station, int function, qint64 start, int reserve)
{
    QByteArray frame;
    frame.reserve(reserve);
    frame.append(static_cast<char>(station & 0xFF));
    frame.append(static_cast<char>(function));
    appendBe16(frame, static_cast<unsigned>(start & 0xFFFF));
    return frame;
}

void queueRequest(const QByteArray& frame, int answerLen, int dataOffset, int dataLen, const RW_VAR& var)
{
    Communication_Protocol& d = PLC_driver;
    d.protocolList.append(Protocol());
    Protocol& p = d.protocolList.last();
    p.frame = frame;
    p.frameLen = frame.size();
    p.answerLen = answerLen;
    p.dataOffset = dataOffset;
    p.dataLen = dataLen;
    p.var = var;
    if (d.comInfo) {
        d.comInfo->framesPerVar = 1;
        d.comInfo->framesDone = 0;
    }
}

}  // namespace kemo

// ---------------------------------------------------------------- scheduler

namespace {

// Moves entries of switched-off stations behind the others, at most once
// round the list. True when the front entry may be sent.
bool rotatePastStationsOff(QList<RW_VAR>& list)
{
    for (int budget = list.size(); budget != 0 && Ethernetcontains(list.first().station); --budget)
        list.move(0, list.size() - 1);
    return !Ethernetcontains(list.first().station);
}

// One turn of a list: its front entry, once past switched-off stations, goes
// to the frame builder as a working copy. False when every station is off.
bool takeTurn(QList<RW_VAR>& list, int kind, void (*build)(RW_VAR*))
{
    PLC_driver.requestKind = kind;
    if (!rotatePastStationsOff(list))
        return false;
    RW_VAR work = list.first();
    build(&work);
    return true;
}

}  // namespace

extern "C" intptr_t ComCommunication()
{
    Communication_Protocol& d = PLC_driver;
    // A request still out (unanswered, or the second of a pair) goes first.
    if (!d.protocolList.isEmpty())
        return reinterpret_cast<intptr_t>(&d.protocolList.first());
    if (!d.comInfo)
        return 0;
    COM_INFO& info = *d.comInfo;

    kemo::Locker lock(&d.listMutex);
    const bool remote = loadWord(info.remoteMode) != 0;
    void (*const readBuilder)(RW_VAR*) = remote ? Remote_ReadVar : ReadRegister;
    bool issued = false;

    if (!d.writeList.isEmpty() && d.writeStreak <= 4) {
        issued = takeTurn(d.writeList, 1, remote ? Remote_WriteVar : WriteRegister);
        ++d.writeStreak;
    }

    if (!d.onceReadList.isEmpty() && d.onceReadStreak <= 4 && !issued) {
        issued = takeTurn(d.onceReadList, 2, readBuilder);
        ++d.onceReadStreak;
    }

    if (!issued) {
        // The cycle ends when the list is empty or every station of it is off.
        const bool cycleEnds = d.readList.isEmpty() || !takeTurn(d.readList, 0, readBuilder);
        d.writeStreak = 0;
        d.onceReadStreak = 0;
        if (cycleEnds)
            storeWord(info.scanComplete, 1);
    }

    return d.protocolList.isEmpty() ? 0 : reinterpret_cast<intptr_t>(&d.protocolList.first());
}

// ------------------------------------------------------------ answer intake

int SwitchErrorReturn(int base)
{
    const QList<Protocol>& pending = PLC_driver.protocolList;
    const int varClass = pending.isEmpty() ? -1 : pending.first().var.varClass;
    return (varClass >= 0 && varClass <= 11) ? base + varClass + 1 : base + 1;
}

int GetDriverReturnValue(int verdict)
{
    switch (verdict) {
    case 0: return 1;
    case 1: return SwitchErrorReturn(10);
    case 2: return SwitchErrorReturn(40);
    case 3: return SwitchErrorReturn(70);
    case 4: return 100;
    case 5: return SwitchErrorReturn(110);
    case 6: return SwitchErrorReturn(140);
    case 7: return SwitchErrorReturn(170);
    default: return 200;
    }
}

namespace {

// Verdict on the answer's length alone, or -1 when the length is acceptable.
// `silentVerdict` is the verdict for no answer; the wrong-length one follows it.
int lengthVerdict(const Protocol& p, int received, int silentVerdict)
{
    if (received == 0 && p.answerLen != 0)
        return silentVerdict;
    if (received != 0 && received != p.answerLen && p.answerLen != -1)
        return silentVerdict + 1;
    return -1;
}

void storeAnswer(QByteArray* answer)
{
    kemo::Locker lock(&PLC_driver.storeMutex);
    SaveToLocalDataErea(answer);
}

}  // namespace

int DealDataOfLocalArea(QByteArray* answer, int received)
{
    const QList<Protocol>& pending = PLC_driver.protocolList;
    if (pending.isEmpty())
        return GetDriverReturnValue(-1);
    int verdict = lengthVerdict(pending.first(), received, 2);
    if (verdict < 0) {
        switch (CheckGetData(answer, received)) {
        case 1: storeAnswer(answer); verdict = 0; break;
        case 2: verdict = 0; break;
        default: verdict = 1; break;
        }
    }
    return GetDriverReturnValue(verdict);
}

int DealDataOfRemoteArea(QByteArray* answer, int received)
{
    Communication_Protocol& d = PLC_driver;
    if (d.protocolList.isEmpty())
        return GetDriverReturnValue(-1);
    int verdict = lengthVerdict(d.protocolList.first(), received, 6);
    if (verdict < 0) {
        const int check = CheckGetData(answer, received);
        if (check != 1 && check != 2) {
            verdict = 5;
        } else if (d.protocolList.first().var.bitMode != -1) {
            verdict = 4;
        } else {
            storeAnswer(answer);
            verdict = (d.comInfo && d.comInfo->framesDone == 1) ? 4 : 0;
        }
    }
    return GetDriverReturnValue(verdict);
}

namespace {

bool sameVariable(const RW_VAR& a, const RW_VAR& b)
{
    return a.varClass == b.varClass && a.varId == b.varId;
}

// Ends the exchange of the front entry of a write or one-shot queue.
void finishQueuedVariable(QList<RW_VAR>& queue, bool report)
{
    Communication_Protocol& d = PLC_driver;
    if (queue.isEmpty())
        return;
    const RW_VAR& front = queue.first();
    const bool failed = d.commFailed.load() != 0;
    bool repeated = false;
    for (int i = 1; i < queue.size() && !repeated; ++i)
        repeated = sameVariable(queue.at(i), front);
    // A later entry of the same variable reports success for both.
    if (report && d.VarResultCallBack && (failed || !repeated))
        d.VarResultCallBack(d.comInfo->callbackId, front.varClass, front.varId, failed ? 2 : 1);
    passRetValue(front, d.retValue);
    queue.removeFirst();
}

// After a give-up, every waiting repetition of the variable goes too.
void purgeGivenUp(QList<RW_VAR>& queue, bool matchStation)
{
    const RW_VAR& given = PLC_driver.retValue;
    for (int i = 0; i < queue.size();) {
        const RW_VAR& v = queue.at(i);
        if (sameVariable(v, given) && (!matchStation || v.station == given.station))
            queue.removeAt(i);
        else
            ++i;
    }
}

}  // namespace

extern "C" RW_VAR* DataCom(QByteArray* answer, int received)
{
    Communication_Protocol& d = PLC_driver;
    {
        kemo::Locker lock(&d.listMutex);
        d.retValue.retCode = 1;
    }
    if (d.protocolList.isEmpty() || !d.comInfo)
        return &d.retValue;
    COM_INFO& info = *d.comInfo;
    QByteArray none;
    QByteArray* bytes = answer ? answer : &none;

    const bool remote = d.protocolList.first().var.deviceId != loadWord(info.localDeviceId);
    const int rc = remote ? DealDataOfRemoteArea(bytes, received) : DealDataOfLocalArea(bytes, received);

    const bool accepted = rc == 1 || rc == 100;
    if (accepted) {
        d.commFailed = 0;
        d.protocolList.removeFirst();
        info.framesDone += 1;
    } else {
        d.commFailed = 1;
        info.retryCount += 1;
        storeWord(info.scanComplete, 0);
    }

    kemo::Locker lock(&d.listMutex);
    if (accepted) {
        if (info.framesDone < info.framesPerVar) {
            d.retValue.retCode = rc;  // the variable's next request follows
            return &d.retValue;
        }
        if (loadWord(info.scanComplete) == 0 && !remote && ++d.scanCount > d.readList.size()) {
            d.scanCount = 0;
            storeWord(info.scanComplete, 1);
        }
    } else {
        d.scanCount = 0;
        if (info.retryCount <= info.retryLimit) {
            d.retValue.retCode = 0;  // still queued: sent again on the next turn
            return &d.retValue;
        }
        info.retryCount = 0;
        d.protocolList.clear();  // a given-up variable sends none of its other requests
    }

    switch (d.requestKind) {
    case 1:
        finishQueuedVariable(d.writeList, true);
        break;
    case 2:
        finishQueuedVariable(d.onceReadList, !remote);
        break;
    case 0:
        if (!d.readList.isEmpty()) {
            passRetValue(d.readList.first(), d.retValue);
            d.readList.move(0, d.readList.size() - 1);
        }
        break;
    default:
        break;
    }

    if (d.commFailed.load()) {
        if (d.ListResultCallBack) {
            QList<RW_VAR> results;
            d.ListResultCallBack(&results, d.retValue.varClass, 1);
        }
        const bool matchStation = loadWord(info.multiStation) != 0;
        if (d.requestKind == 1)
            purgeGivenUp(d.writeList, matchStation);
        else if (d.requestKind == 2)
            purgeGivenUp(d.onceReadList, matchStation);
    }
    d.retValue.retCode = rc;
    return &d.retValue;
}

// ------------------------------------------------------------ station switch

extern "C" void EnCommStation(int station, int mode)
{
    kemo::Locker lock(&PLC_driver.stationMutex);
    QMap<int, int>& off = PLC_driver.disabledStations;
    if (station < 0)
        off.clear();
    else if (mode == 0)
        off.insert(station, 0);
    else if (mode == 1)
        off.remove(station);
}

extern "C" void EnableEthernet(int station, int mode)
{
    EnCommStation(station, mode);
}

int Ethernetcontains(int station)
{
    kemo::Locker lock(&PLC_driver.stationMutex);
    return PLC_driver.disabledStations.contains(station) ? 1 : 0;
}
