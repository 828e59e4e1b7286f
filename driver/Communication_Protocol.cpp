// The driver object, the request scheduler, answer intake and the station switch.
#include "Driver_Internal.h"

#include <utility>

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

Protocol makeRequest(const QByteArray& frame, int answerLen, int dataOffset, int dataLen, const RW_VAR& var)
{
    Protocol p;
    p.frame = frame;
    p.frameLen = frame.size();
    p.answerLen = answerLen;
    p.dataOffset = dataOffset;
    p.dataLen = dataLen;
    p.var = var;
    return p;
}

void queueRequests(Protocol& first, Protocol* second)
{
    Communication_Protocol& d = PLC_driver;
    for (Protocol* p : {&first, second}) {
        if (p) {
            d.protocolList.append(Protocol());
            std::swap(d.protocolList.last(), *p);
        }
    }
    if (d.comInfo) {
        storeWord(d.comInfo->framesPerVar, second ? 2 : 1);
        storeWord(d.comInfo->framesDone, 0);
    }
}

}  // namespace kemo

// ---------------------------------------------------------------- scheduler

namespace {

// Moves entries of switched-off stations behind the others, at most once
// round the list, in the order they were met. True when the front entry may
// be sent. The stations are looked up under one lock, once per run of equal
// stations; a whole round over switched-off stations leaves the order as it
// was, so it is not made.
bool rotatePastStationsOff(QList<RW_VAR>& list)
{
    int skip = 0;
    {
        kemo::Locker lock(&PLC_driver.stationMutex);
        const QMap<int, int>& off = PLC_driver.disabledStations;
        if (!off.isEmpty()) {
            int station = 0;
            bool stationOff = false;
            for (skip = 0; skip < list.size(); ++skip) {
                if (skip == 0 || list.at(skip).station != station) {
                    station = list.at(skip).station;
                    stationOff = off.contains(station);
                }
                if (!stationOff)
                    break;
            }
        }
    }
    if (skip == list.size())
        return false;
    for (int i = 0; i < skip; ++i)
        kemo::rotateFront(list);
    return true;
}

quint64 frontSerial(const RequestQueue& queue) { return queue.headSerial(); }
quint64 frontSerial(const QList<RW_VAR>&) { return 0; }  // cyclic reads rotate, they are never finished

// One turn of a list: its front entry, once past switched-off stations, goes
// to the frame builder as a working copy. False when every station is off.
template <typename List>
bool takeTurn(List& list, int kind, void (*build)(RW_VAR*))
{
    Communication_Protocol& d = PLC_driver;
    d.requestKind = kind;
    if (!rotatePastStationsOff(list))
        return false;
    RW_VAR work = list.first();
    d.exchangeSource = frontSerial(list);
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
        issued = takeTurn(d.writeList, kemo::kWriteTurn, remote ? Remote_WriteVar : WriteRegister);
        ++d.writeStreak;
    }

    if (!d.onceReadList.isEmpty() && d.onceReadStreak <= 4 && !issued) {
        issued = takeTurn(d.onceReadList, kemo::kOnceReadTurn, readBuilder);
        ++d.onceReadStreak;
    }

    if (!issued) {
        // The cycle ends when the list is empty or every station of it is off.
        const bool cycleEnds = d.readList.isEmpty() || !takeTurn(d.readList, kemo::kCyclicTurn, readBuilder);
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
    using namespace kemo;
    switch (verdict) {
    case kAccepted: return kCodeAccepted;
    case kRefused: return SwitchErrorReturn(10);
    case kSilent: return SwitchErrorReturn(40);
    case kWrongLength: return SwitchErrorReturn(70);
    case kRemote: return kCodeRemoteAccepted;
    case kRemoteRefused: return SwitchErrorReturn(110);
    case kRemoteSilent: return SwitchErrorReturn(140);
    case kRemoteWrongLength: return SwitchErrorReturn(170);
    default: return 200;
    }
}

namespace {

// Verdict on the answer's length alone, or -1 when the length is acceptable;
// `remote` (0 or kRemote) is added to the verdict.
int lengthVerdict(const Protocol& p, int received, int remote)
{
    if (received == 0 && p.answerLen != 0)
        return remote + kemo::kSilent;
    if (received != 0 && received != p.answerLen && p.answerLen != -1)
        return remote + kemo::kWrongLength;
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
        return GetDriverReturnValue(-1);  // no verdict: code 200
    const RW_VAR& v = pending.first().var;
    int verdict = lengthVerdict(pending.first(), received, 0);
    if (verdict < 0) {
        switch (CheckGetData(answer, received)) {
        case 1:
            // A read half's answer must hold the register its write half carries.
            if (!kemo::isReadHalf(v))
                storeAnswer(answer);
            verdict =
                !kemo::isReadHalf(v) || kemo::mergeReadHalf(*answer, v.bitMode) ? kemo::kAccepted : kemo::kRefused;
            break;
        case 2: verdict = kemo::kAccepted; break;
        default: verdict = kemo::kRefused; break;
        }
    }
    return GetDriverReturnValue(verdict);
}

int DealDataOfRemoteArea(QByteArray* answer, int received)
{
    Communication_Protocol& d = PLC_driver;
    if (d.protocolList.isEmpty())
        return GetDriverReturnValue(-1);
    const RW_VAR& v = d.protocolList.first().var;
    int verdict = lengthVerdict(d.protocolList.first(), received, kemo::kRemote);
    if (verdict < 0) {
        const int check = CheckGetData(answer, received);
        const bool merged = check == 1 && kemo::isReadHalf(v) && kemo::mergeReadHalf(*answer, v.bitMode);
        if (check != 1 && check != 2) {
            verdict = kemo::kRemoteRefused;
        } else if (check == 1 && kemo::isReadHalf(v) && !merged) {
            verdict = kemo::kRemoteRefused;  // no register to merge: the write half is gone
        } else if (v.bitMode != kemo::kBitReadHalf) {
            verdict = kemo::kRemote;  // a remote answer is not stored
        } else {
            verdict = (d.comInfo && loadWord(d.comInfo->framesDone) == 1) ? kemo::kRemote : kemo::kAccepted;
        }
    }
    return GetDriverReturnValue(verdict);
}

namespace {

bool sameVariable(const RW_VAR& a, const RW_VAR& b) { return a.varClass == b.varClass && a.varId == b.varId; }

// Ends the exchange of the front entry of a write or one-shot queue, with
// the outcome of this answer. False when the entry the request was built
// from has left the queue meanwhile (emptied with the link down): whatever
// stands at the front now, even an equal write, stays queued, untouched and
// unreported, and goes out on its turn.
bool finishQueuedVariable(RequestQueue& queue, bool report, bool givenUp)
{
    Communication_Protocol& d = PLC_driver;
    if (queue.isEmpty() || queue.headSerial() != d.exchangeSource)
        return false;
    const RW_VAR& front = queue.first();
    const bool repeated = queue.variableCount(front) > 1;
    // A later entry of the same variable reports success for both.
    if (report && d.VarResultCallBack && (givenUp || !repeated))
        d.VarResultCallBack(loadWord(d.comInfo->callbackId), front.varClass, front.varId, givenUp ? 2 : 1);
    passRetValue(front, d.retValue);
    queue.removeFirst();
    return true;
}

// After a give-up, every waiting repetition of the variable goes too.
void purgeGivenUp(RequestQueue& queue, bool matchStation)
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

// Takes the host's answer to the front request of protocolList (`received`
// bytes, 0 = none came) and returns &retValue, whose retCode is the result:
// 1 or 100 accepted, 0 failed but kept for sending again, an error code when
// the request was given up, 1 when nothing was outstanding.
// - An accepted answer removes its request; once the variable's last request
//   is answered, the variable is finished in its list. A failed one counts
//   toward retryLimit; past it, protocolList is emptied and the variable is
//   finished as given up: ListResultCallBack, its queued repetitions purged.
// - Finishing: a write or one-shot read leaves its queue (reported through
//   VarResultCallBack), but only while it is still the front entry the
//   request was built from; a cyclic read moves to the back of readList.
// - Locks: judging runs without listMutex (storing takes storeMutex); the
//   list work and the callbacks run under listMutex. Steps after the lock
//   follow this answer's outcome, kept in locals, never commFailed, which a
//   host write may set meanwhile.
// - Must not run at the same time as ComCommunication.
extern "C" RW_VAR* DataCom(QByteArray* answer, int received)
{
    Communication_Protocol& d = PLC_driver;
    {
        kemo::Locker lock(&d.listMutex);
        d.retValue.retCode = kemo::kCodeAccepted;
    }
    if (d.protocolList.isEmpty() || !d.comInfo)
        return &d.retValue;
    COM_INFO& info = *d.comInfo;
    QByteArray none;
    QByteArray* bytes = answer ? answer : &none;

    const bool remote = d.protocolList.first().var.deviceId != loadWord(info.localDeviceId);
    const int rc = remote ? DealDataOfRemoteArea(bytes, received) : DealDataOfLocalArea(bytes, received);

    const bool accepted = kemo::isSuccessCode(rc);
    // What the answer was for, should the front entry of its queue turn out
    // to be another variable.
    const RW_VAR answered = d.requestKind == kemo::kCyclicTurn ? RW_VAR() : d.protocolList.first().var;
    if (accepted) {
        d.commFailed = 0;
        d.protocolList.removeFirst();
        storeWord(info.framesDone, loadWord(info.framesDone) + 1);
    } else {
        d.commFailed = 1;
        storeWord(info.retryCount, loadWord(info.retryCount) + 1);
        storeWord(info.scanComplete, 0);
    }

    kemo::Locker lock(&d.listMutex);
    if (accepted) {
        if (loadWord(info.framesDone) < loadWord(info.framesPerVar)) {
            d.retValue.retCode = rc;  // the variable's next request follows
            return &d.retValue;
        }
        if (loadWord(info.scanComplete) == 0 && !remote && ++d.scanCount > d.readList.size()) {
            d.scanCount = 0;
            storeWord(info.scanComplete, 1);
        }
    } else {
        d.scanCount = 0;
        if (loadWord(info.retryCount) <= loadWord(info.retryLimit)) {
            d.retValue.retCode = 0;  // still queued: sent again on the next turn
            return &d.retValue;
        }
        storeWord(info.retryCount, 0);
        d.protocolList.clear();  // a given-up variable sends none of its other requests
    }

    const bool givenUp = !accepted;
    bool finished = true;
    switch (d.requestKind) {
    case kemo::kWriteTurn: finished = finishQueuedVariable(d.writeList, true, givenUp); break;
    case kemo::kOnceReadTurn: finished = finishQueuedVariable(d.onceReadList, !remote, givenUp); break;
    case kemo::kCyclicTurn:
        if (!d.readList.isEmpty()) {
            passRetValue(d.readList.first(), d.retValue);
            kemo::rotateFront(d.readList);
        }
        break;
    default: break;
    }
    if (!finished)
        passRetValue(answered, d.retValue);

    if (givenUp) {
        if (d.ListResultCallBack) {
            QList<RW_VAR> results;
            d.ListResultCallBack(&results, d.retValue.varClass, 1);
        }
        // The queue no longer holds the given-up variable when it was not
        // finished: what is there stays untouched.
        const bool matchStation = loadWord(info.multiStation) != 0;
        if (finished && d.requestKind == kemo::kWriteTurn)
            purgeGivenUp(d.writeList, matchStation);
        else if (finished && d.requestKind == kemo::kOnceReadTurn)
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

extern "C" void EnableEthernet(int station, int mode) { EnCommStation(station, mode); }

extern "C" int SetStationOptions(int station, int options)
{
    if (station < KEMO_FIRST_STATION || station > KEMO_LAST_STATION || (options & ~KEMO_STATION_OPTION_BITS) != 0)
        return -1;
    return PLC_driver.stationOptions[station].exchange(options);
}

int Ethernetcontains(int station)
{
    kemo::Locker lock(&PLC_driver.stationMutex);
    return PLC_driver.disabledStations.contains(station) ? 1 : 0;
}
