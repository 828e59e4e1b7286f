// Host set-up, address texts, read-list building and the write / one-shot queues.
#include "Driver_Internal.h"

#include <algorithm>

using kemo::loadWord;

namespace {

const int kQueueCapacity = 1024;

bool sameWrite(const RW_VAR& a, const RW_VAR& b)
{
    return a.station == b.station && a.regKind == b.regKind && a.regAddr == b.regAddr && a.length == b.length;
}

bool sameOnceRead(const RW_VAR& a, const RW_VAR& b)
{
    return a.varClass == b.varClass && a.varId == b.varId && sameWrite(a, b);
}

// Bytes of the area image a normalised read entry reaches.
qint64 areaImageEnd(const RW_VAR& v)
{
    const qint64 end = static_cast<qint64>(v.regAddr) + v.length;
    return v.regKind == 8 ? 2 * end : end + 2;
}

bool readEntryFits(const RW_VAR& v)
{
    return v.regAddr >= 0 && areaImageEnd(v) <= kemo::kMaxImageBytes;
}

// Appends copies of `entry` covering `length` units from `start`, at most
// `limit` units each.
void appendChunks(QList<RW_VAR>& out, const RW_VAR& entry, qint64 start, qint64 length, qint64 limit)
{
    RW_VAR chunk = entry;
    for (qint64 done = 0; done < length; done += limit) {
        chunk.regAddr = static_cast<int>(start + done);
        chunk.length = static_cast<int>(std::min(limit, length - done));
        out.append(chunk);
    }
}

}  // namespace

int LB = 0;
int LW = 0;
int RWI = 0;

extern "C" void SetComInfo(COM_INFO* info)
{
    if (info)
        info->cleared52 = 0;
    PLC_driver.comInfo = info;
    if (info)
        info->cleared40 = 0;
}

extern "C" void FlashLocalRegister(int lb, int lw, int rwi)
{
    LB = lb;
    LW = lw;
    RWI = rwi;
}

extern "C" void RegistCallBackFuncIntf(VarResultCallBackFunc varResult, ListResultCallBackFunc listResult)
{
    PLC_driver.VarResultCallBack = varResult;
    PLC_driver.ListResultCallBack = listResult;
}

extern "C" int PLCAddressChangeIntef(int kind, QString addrText)
{
    return StringAddressToInt(kind, addrText);
}

int StringAddressToInt(int kind, QString addrText)
{
    if (kind >= 3 && kind <= 11) {
        bool ok = false;
        const int v = addrText.toInt(&ok, 10);
        return ok ? v : -1;
    }
    if (kind < 0 || kind > 2)
        return -1;
    // Bit kinds: "byte.bit", exactly one point; a part that does not parse counts 0.
    const int dot = addrText.indexOf(QLatin1Char('.'));
    if (dot < 0 || addrText.indexOf(QLatin1Char('.'), dot + 1) >= 0)
        return -1;
    const qint64 byteNo = addrText.left(dot).toInt(nullptr, 10);
    const qint64 bitNo = addrText.mid(dot + 1).toInt(nullptr, 10);
    const qint64 v = byteNo * 8 + bitNo;
    // An address the int range cannot hold is no address.
    return (v < INT_MIN || v > INT_MAX) ? -1 : static_cast<int>(v);
}

extern "C" int ReCreatReadVarList(QList<HOST_VAR>* hostVars)
{
    Communication_Protocol& d = PLC_driver;
    kemo::Locker lock(&d.listMutex);
    d.readList.clear();
    if (!hostVars || hostVars->isEmpty() || !d.comInfo)
        return 0;

    COM_INFO& info = *d.comInfo;
    RW_VAR entry;
    entry.varClass = 0;
    entry.varId = -1;
    entry.writeFlag = 0;
    entry.remoteFlag = loadWord(info.remoteMode);
    entry.deviceId = loadWord(info.localDeviceId);
    entry.retCode = 0;
    const int limit = loadWord(info.maxPerFrame);
    d.scanCount = 0;
    kemo::storeWord(info.scanComplete, 0);

    QMap<int, QMap<int, QList<RW_VAR> > > groups;
    for (const HOST_VAR& hv : *hostVars) {
        const int address = StringAddressToInt(hv.regKind, hv.addrText);
        if (address < 0)
            continue;
        const int station = kemo::chooseStation(info, hv.station);
        entry.nameText = hv.nameText;
        entry.addrText = hv.addrText;
        entry.length = hv.length;
        entry.regAddr = address;
        entry.regKind = hv.regKind;
        entry.station = station;
        if (station == 0)
            continue;
        updateRwVar(&entry);
        // A stretch no image may hold can never be stored: dropped like a bad address.
        if (!readEntryFits(entry))
            continue;
        groups[station][entry.regKind].append(entry);
    }

    for (auto byStation = groups.begin(); byStation != groups.end(); ++byStation) {
        for (auto byArea = byStation->begin(); byArea != byStation->end(); ++byArea) {
            Bubble_Sort(&byArea.value());
            if (!byArea->isEmpty())
                BitVarReCreat_3(&byArea.value(), limit);
        }
    }
    return d.readList.size();
}

extern "C" int AddListReadVar(RW_VAR* var)
{
    if (var)
        PLC_driver.readList.append(*var);
    return PLC_driver.readList.size();
}

void Bubble_Sort(QList<RW_VAR>* list)
{
    // The order of the classic bubble sort (stable by regAddr), in n log n.
    if (!list || list->size() < 2)
        return;
    const auto byAddress = [](const RW_VAR& a, const RW_VAR& b) { return a.regAddr < b.regAddr; };
    if (std::is_sorted(list->begin(), list->end(), byAddress))
        return;
    std::stable_sort(list->begin(), list->end(), byAddress);
}

namespace {

// Shared by the two unbounded mergers: v opens a new block when it starts
// more than `gap` units after the current block's end.
void mergeWithGap(const QList<RW_VAR>* list, qint64 gap)
{
    QList<RW_VAR>& out = PLC_driver.readList;
    if (!list || list->isEmpty())
        return;
    out.append(list->first());
    for (int i = 1; i < list->size(); ++i) {
        const RW_VAR& v = list->at(i);
        RW_VAR& block = out.last();
        const qint64 blockEnd = static_cast<qint64>(block.regAddr) + block.length;
        const qint64 end = static_cast<qint64>(v.regAddr) + v.length;
        if (blockEnd + gap < v.regAddr)
            out.append(v);
        else if (end > blockEnd)
            block.length = static_cast<int>(end - block.regAddr);
    }
}

}  // namespace

void BitVarReCreat_1(QList<RW_VAR>* list)
{
    mergeWithGap(list, 0);
}

void BitVarReCreat_2(QList<RW_VAR>* list, int gap)
{
    mergeWithGap(list, gap);
}

void BitVarReCreat_3(QList<RW_VAR>* list, int maxLength)
{
    if (!list)
        return;
    QList<RW_VAR>& out = PLC_driver.readList;
    const qint64 m = maxLength < 1 ? 1 : maxLength;
    bool haveBlock = false;
    for (const RW_VAR& v : *list) {
        const qint64 a = v.regAddr;
        const qint64 e = a + v.length;
        if (!haveBlock || a >= static_cast<qint64>(out.last().regAddr) + m) {
            const int before = out.size();
            appendChunks(out, v, a, v.length, m);
            haveBlock = haveBlock || out.size() > before;
            continue;
        }
        RW_VAR& block = out.last();
        const qint64 blockStart = block.regAddr;
        if (e <= blockStart + block.length)
            continue;
        const qint64 total = e - blockStart;
        block.length = static_cast<int>(std::min(m, total));
        if (total > m) {
            const RW_VAR opener = block;
            appendChunks(out, opener, blockStart + m, total - m, m);
        }
    }
}

void WhetherGroup(int total, int maxLength, RW_VAR* var, QList<RW_VAR>* list)
{
    if (!var || !list)
        return;
    if (total <= maxLength) {
        list->append(*var);
        return;
    }
    const qint64 m = maxLength < 1 ? 1 : maxLength;
    const qint64 start = var->regAddr;
    const qint64 chunks = (static_cast<qint64>(total) + m - 1) / m;
    for (qint64 i = 0; i < chunks; ++i) {
        var->regAddr = static_cast<int>(start + i * m);
        var->length = static_cast<int>(i == chunks - 1 ? total - (chunks - 1) * m : m);
        list->append(*var);
    }
}

extern "C" int AddListWriteVar(RW_VAR* var, int mode)
{
    Communication_Protocol& d = PLC_driver;
    kemo::Locker lock(&d.listMutex);
    QList<RW_VAR>& queue = d.writeList;
    if (!var)
        return queue.size();
    if (mode == 1 || queue.size() < 2) {
        queue.append(*var);
        return queue.size();
    }
    // The head may already be on the wire: it is never replaced.
    for (int i = 1; i < queue.size(); ++i) {
        if (sameWrite(queue.at(i), *var)) {
            queue[i] = *var;
            return queue.size();
        }
    }
    if (queue.size() < kQueueCapacity)
        queue.append(*var);
    return queue.size();
}

extern "C" int AddListOnceReadVar(RW_VAR* var, int mode)
{
    Communication_Protocol& d = PLC_driver;
    if (!var)
        return 0;
    if (mode == 1) {
        kemo::Locker lock(&d.listMutex);
        d.onceReadList.append(*var);
        return d.onceReadList.size();
    }
    if (!d.comInfo)
        return 0;
    const COM_INFO& info = *d.comInfo;
    const int address = StringAddressToInt(var->regKind, var->addrText);
    if (address < 0)
        return 0;
    const int station = kemo::chooseStation(info, var->station);
    var->regAddr = address;
    var->station = station;
    var->bitMode = 0;
    var->spare = 0;
    if (station == 0)
        return 0;
    updateRwVar(var);
    if (var->length > 0 && !readEntryFits(*var))
        return 0;

    const qint64 m = kemo::chunkLimit(info);
    const qint64 start = var->regAddr;
    qint64 chunks = var->length / m;
    qint64 rest = var->length - chunks * m;
    if (rest == 0)
        rest = m;
    else
        ++chunks;

    kemo::Locker lock(&d.listMutex);
    QList<RW_VAR>& queue = d.onceReadList;
    for (qint64 i = 0; i < chunks; ++i) {
        var->regAddr = static_cast<int>(start + i * m);
        var->length = static_cast<int>(i == chunks - 1 ? rest : m);
        if (queue.size() >= kQueueCapacity) {
            // Nothing more can be queued: leave the record on its last chunk.
            var->regAddr = static_cast<int>(start + (chunks - 1) * m);
            var->length = static_cast<int>(rest);
            break;
        }
        const bool waiting =
            std::any_of(queue.cbegin(), queue.cend(), [var](const RW_VAR& q) { return sameOnceRead(q, *var); });
        if (!waiting)
            queue.append(*var);
    }
    return queue.size();
}
