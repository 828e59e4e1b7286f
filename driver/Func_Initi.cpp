// Host set-up, address texts, read-list building and the write / one-shot queues.
#include "Driver_Internal.h"

#include <algorithm>
#include <functional>
#include <tuple>
#include <vector>

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

// No read list holds more blocks than this, whatever lengths and limit the
// host gives: a whole 16-bit register map read one register per block.
// Blocks beyond it are not made, like variables no image could hold.
const int kMaxReadBlocks = 65536;

// Appends copies of `entry` covering `length` units from `start`, at most
// `limit` units each.
void appendChunks(QList<RW_VAR>& out, const RW_VAR& entry, qint64 start, qint64 length, qint64 limit)
{
    RW_VAR chunk = entry;
    for (qint64 done = 0; done < length && out.size() < kMaxReadBlocks; done += limit) {
        chunk.regAddr = static_cast<int>(start + done);
        chunk.length = static_cast<int>(std::min(limit, length - done));
        out.append(chunk);
    }
}

// Start and length of one sorted entry, in area units.
struct Span {
    qint64 start;
    qint64 length;
};

// Merges one read group, sorted by address, into readList: an entry that
// starts fewer than `maxLength` units after the current block's start joins
// it (holes are read along), the block grows up to `maxLength` units and the
// rest spills into further blocks; any other entry opens new blocks.
// `spanOf(i)` gives entry i's stretch, `entryOf(i)` its full record, asked
// for only when entry i opens blocks.
template <typename SpanOf, typename EntryOf>
void mergeSorted(int count, int maxLength, SpanOf spanOf, EntryOf entryOf)
{
    QList<RW_VAR>& out = PLC_driver.readList;
    const qint64 m = maxLength < 1 ? 1 : maxLength;
    bool haveBlock = false;
    for (int i = 0; i < count; ++i) {
        const Span v = spanOf(i);
        const qint64 e = v.start + v.length;
        if (!haveBlock || v.start >= static_cast<qint64>(out.last().regAddr) + m) {
            const int before = out.size();
            appendChunks(out, entryOf(i), v.start, v.length, m);
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
            const RW_VAR opened = block;
            appendChunks(out, opened, blockStart + m, total - m, m);
        }
    }
}

// A host record on its way into the read list: its station, area code and
// stretch in area units, and its position in the host's list. `unmerged`
// for a station without merging, whose bit variables are read bit for bit:
// `bitKind` is their kind then (else -1), with first bit and number of bits.
struct ReadKey {
    int station;
    int area;
    int regAddr;
    int length;
    int source;
    bool unmerged;
    int bitKind;
    int firstBit;
    int bits;

    bool sameBlocks(const ReadKey& o) const
    {
        return std::tie(station, area, regAddr, length, bitKind, firstBit, bits) ==
               std::tie(o.station, o.area, o.regAddr, o.length, o.bitKind, o.firstBit, o.bits);
    }
};

// Appends the blocks of one bit variable read bit for bit: at most `limit`
// area units each, cut at unit boundaries, so that no block asks for a bit
// outside the variable.
void appendExactBits(QList<RW_VAR>& out, RW_VAR entry, const ReadKey& k, qint64 limit)
{
    const qint64 unitBits = kemo::kindFacts(k.bitKind)->unitBits;
    const qint64 end = static_cast<qint64>(k.firstBit) + k.bits;
    entry.regKind = k.bitKind;
    entry.bitMode = kemo::kExactBits;
    for (qint64 bit = k.firstBit; bit < end && out.size() < kMaxReadBlocks;) {
        const qint64 blockEnd = std::min(end, (bit / unitBits + limit) * unitBits);
        entry.regAddr = static_cast<int>(bit);
        entry.length = static_cast<int>(blockEnd - bit);
        out.append(entry);
        bit = blockEnd;
    }
}

// One group of a station without merging: a block (or its chunks) per
// variable, each covering only that variable; variables that would read
// the same blocks share them.
void appendUnmerged(std::vector<ReadKey>::iterator first, std::vector<ReadKey>::iterator last, int limit,
                    const std::function<const RW_VAR&(const ReadKey&)>& entryOf)
{
    QList<RW_VAR>& out = PLC_driver.readList;
    const qint64 m = limit < 1 ? 1 : limit;
    std::sort(first, last, [](const ReadKey& a, const ReadKey& b) {
        return std::tie(a.regAddr, a.length, a.bitKind, a.firstBit, a.bits, a.source) <
               std::tie(b.regAddr, b.length, b.bitKind, b.firstBit, b.bits, b.source);
    });
    for (auto k = first; k != last; ++k) {
        if (k != first && k->sameBlocks(*(k - 1)))
            continue;
        if (k->bitKind >= 0)
            appendExactBits(out, entryOf(*k), *k, m);
        else
            appendChunks(out, entryOf(*k), k->regAddr, k->length, m);
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

extern "C" int PLCAddressChangeIntef(int kind, QString addrText) { return StringAddressToInt(kind, addrText); }

int StringAddressToInt(int kind, QString addrText)
{
    const kemo::KindFacts* f = kemo::kindFacts(kind);
    if (!f)
        return -1;
    if (f->itemBits != 1) {
        bool ok = false;
        const int v = addrText.toInt(&ok, 10);
        return ok ? v : -1;
    }
    // Bit kinds: "byte.bit", exactly one point; a part that does not parse counts 0.
    const int dot = addrText.indexOf(QLatin1Char('.'));
    if (dot < 0 || addrText.indexOf(QLatin1Char('.'), dot + 1) >= 0)
        return -1;
    const qint64 byteNo = addrText.leftRef(dot).toInt(nullptr, 10);
    const qint64 bitNo = addrText.midRef(dot + 1).toInt(nullptr, 10);
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
    const bool remote = entry.remoteFlag != 0;
    d.scanCount = 0;
    kemo::storeWord(info.scanComplete, 0);

    // Each usable record becomes a small key; sorting the keys by station,
    // area, address and then list position gives the groups in the order of
    // the read list, each sorted stably by address. Full records are made
    // only for the entries that open blocks.
    std::vector<ReadKey> keys;
    keys.reserve(static_cast<size_t>(hostVars->size()));
    for (int i = 0; i < hostVars->size(); ++i) {
        const HOST_VAR& hv = hostVars->at(i);
        const int address = StringAddressToInt(hv.regKind, hv.addrText);
        if (address < 0)
            continue;
        const int station = kemo::chooseStation(info, hv.station);
        if (station == 0)
            continue;
        // The conversion of updateRwVar, in 64 bits: a stretch no image may
        // hold can never be stored and is dropped like a bad address.
        kemo::AreaStretch area;
        if (!kemo::toAreaUnits(hv.regKind, address, hv.length, area) || !kemo::readStretchFits(area))
            continue;
        const bool unmerged = (kemo::stationOptions(station) & KEMO_STATION_NO_MERGE) != 0;
        // Remote ends take whole units only; bits go exact on Modbus lines.
        const bool exactBits = unmerged && !remote && kemo::kindFacts(hv.regKind)->itemBits == 1;
        keys.push_back({station, area.area, static_cast<int>(area.regAddr), static_cast<int>(area.length), i, unmerged,
                        exactBits ? hv.regKind : -1, address, hv.length});
    }
    std::sort(keys.begin(), keys.end(), [](const ReadKey& a, const ReadKey& b) {
        if (a.station != b.station)
            return a.station < b.station;
        if (a.area != b.area)
            return a.area < b.area;
        if (a.regAddr != b.regAddr)
            return a.regAddr < b.regAddr;
        return a.source < b.source;
    });

    const auto opener = [&](const ReadKey& k) -> const RW_VAR& {
        const HOST_VAR& hv = hostVars->at(k.source);
        entry.nameText = hv.nameText;
        entry.addrText = hv.addrText;
        entry.regKind = k.area;
        entry.regAddr = k.regAddr;
        entry.station = k.station;
        entry.length = k.length;
        entry.bitMode = kemo::kPlainRequest;
        return entry;
    };
    for (size_t first = 0; first < keys.size();) {
        size_t last = first + 1;
        while (last < keys.size() && keys[last].station == keys[first].station && keys[last].area == keys[first].area)
            ++last;
        if (keys[first].unmerged) {
            appendUnmerged(keys.begin() + static_cast<std::ptrdiff_t>(first),
                           keys.begin() + static_cast<std::ptrdiff_t>(last), limit, opener);
        } else {
            mergeSorted(
                static_cast<int>(last - first), limit,
                [&](int i) {
                    return Span{keys[first + i].regAddr, keys[first + i].length};
                },
                [&](int i) -> const RW_VAR& { return opener(keys[first + i]); });
        }
        first = last;
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

void BitVarReCreat_1(QList<RW_VAR>* list) { mergeWithGap(list, 0); }

void BitVarReCreat_2(QList<RW_VAR>* list, int gap) { mergeWithGap(list, gap); }

void BitVarReCreat_3(QList<RW_VAR>* list, int maxLength)
{
    if (!list)
        return;
    mergeSorted(
        list->size(), maxLength,
        [list](int i) {
            return Span{list->at(i).regAddr, list->at(i).length};
        },
        [list](int i) -> const RW_VAR& { return list->at(i); });
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
    RequestQueue& queue = d.writeList;
    if (!var)
        return queue.size();
    if (mode == 1 || queue.size() < 2) {
        queue.append(*var);
        return queue.size();
    }
    // The head may already be on the wire: it is never replaced. The count
    // spares the search when no waiting write has the range.
    const bool mayWait = queue.rangeCountPastHead(*var) > 0;
    for (int i = 1; mayWait && i < queue.size(); ++i) {
        if (sameWrite(queue.at(i), *var)) {
            queue.replace(i, *var);
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
    kemo::AreaStretch area;
    if (kemo::toAreaUnits(var->regKind, var->regAddr, var->length, area) && !kemo::readStretchFits(area))
        return 0;
    updateRwVar(var);

    const qint64 m = kemo::chunkLimit(info);
    const qint64 start = var->regAddr;
    qint64 chunks = var->length / m;
    qint64 rest = var->length - chunks * m;
    if (rest == 0)
        rest = m;
    else
        ++chunks;

    kemo::Locker lock(&d.listMutex);
    RequestQueue& queue = d.onceReadList;
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
