// Host reads and writes of the register store, and the write-through of
// write requests into it.
#include "Driver_Internal.h"

#include <algorithm>
#include <cstring>

using kemo::kMaxImageBytes;

namespace {

QByteArray zeros(qint64 count)
{
    return count > 0 && count <= kMaxImageBytes ? QByteArray(static_cast<int>(count), '\0') : QByteArray();
}

void fillFromImage(const kemo::KindFacts& kind, const QByteArray& image, qint64 a, int count, QByteArray& out)
{
    const qint64 size = image.size();
    const unsigned char* img = reinterpret_cast<const unsigned char*>(image.constData());
    const auto at = [&](qint64 i) -> char { return static_cast<char>(i >= 0 && i < size ? img[i] : 0); };
    switch (kind.itemBits) {
    case 1:  // one byte, 0 or 1, per bit
        out.resize(std::max(count, 0));
        for (qint64 i = 0; i < count; ++i) {
            const qint64 b = a + i;
            out[static_cast<int>(i)] = static_cast<char>((at(b / 8) >> (b % 8)) & 1);
        }
        break;
    case 8:  // the bytes, then as many zero bytes
        out = zeros(2 * static_cast<qint64>(count));
        for (qint64 i = 0; i < count; ++i)
            out[static_cast<int>(i)] = at(a + i);
        break;
    case 16:  // little-endian words as they stand, cut where the image ends
        if (count != 0 && 2 * a < size)
            out = image.mid(static_cast<int>(2 * a), count < 0 ? -1 : 2 * count);
        break;
    default: {  // whole double words, zero beyond the image
        const qint64 bytes = 4 * ((static_cast<qint64>(count) + 1) / 2);
        out.resize(static_cast<int>(std::max<qint64>(bytes, 0)));
        for (qint64 i = 0; i < bytes; ++i)
            out[static_cast<int>(i)] = at(4 * a + i);
        break;
    }
    }
}

}  // namespace

extern "C" int GetRegisterData(int, int kind, QString& addrText, int station, QByteArray* out, int count)
{
    Communication_Protocol& d = PLC_driver;
    if (!out)
        return 0;
    out->clear();
    const int a = StringAddressToInt(kind, addrText);
    if (a < 0 || !kemo::hostAccessFits(kind, a, count) || !d.comInfo) {
        *out = zeros(2 * static_cast<qint64>(count));
        return 0;
    }
    const int st = kemo::chooseStation(*d.comInfo, station);
    kemo::Locker lock(&d.storeMutex);
    ControlInformationM record = {st, kind, a, count};
    checkTheStorage(record);
    fillFromImage(*kemo::kindFacts(kind), kemo::storeImage(st, getPlcReg(kind)), a, count, *out);
    return 1;
}

extern "C" int QueryFinishFlag() { return 1; }

namespace {

// Bytes of the host's value array a write of `count` units uses: a byte per
// bit, a 16-bit item per byte or word, 32 bits per double word.
qint64 valueBytesFor(const kemo::KindFacts& kind, qint64 count)
{
    return kind.itemBits == 1 ? count : kemo::itemsOfCount(kind, count) * std::max(16, kind.itemBits) / 8;
}

// Queues one write request; while the link is failed it reaches the store now.
int queueWrite(RW_VAR& request)
{
    const int result = AddListWriteVar(&request, 0);
    if (PLC_driver.commFailed.load())
        WriteDataToLocal(&request);
    return result;
}

// Word and double-word values travel in requests of at most `limit` items
// (0: one request), every 16-bit half high byte first.
int queueItems(RW_VAR& request, const QByteArray& value, qint64 a, qint64 items, int itemBytes, int limit)
{
    int result = 0;
    if (items <= 0)
        return 0;
    const qint64 perChunk = limit > 0 ? limit : items;
    const unsigned char* src = reinterpret_cast<const unsigned char*>(value.constData());
    for (qint64 first = 0; first < items; first += perChunk) {
        const qint64 n = std::min(perChunk, items - first);
        request.regAddr = static_cast<int>(a + first);
        request.length = static_cast<int>(n);
        QByteArray data(static_cast<int>(n * itemBytes), '\0');
        unsigned char* out = reinterpret_cast<unsigned char*>(data.data());
        const unsigned char* in = src + first * itemBytes;
        for (qint64 i = 0; i < n * itemBytes; i += 2) {
            out[i] = in[i + 1];
            out[i + 1] = in[i];
        }
        request.data = data;
        result = queueWrite(request);
    }
    return result;
}

}  // namespace

extern "C" int SetRegisterData(QString& nameText, int kind, QString& addrText, int station, QByteArray* value,
                               int count, int varClass, int varId)
{
    Communication_Protocol& d = PLC_driver;
    if (!d.comInfo)
        return 0;
    const COM_INFO& info = *d.comInfo;
    const int a = StringAddressToInt(kind, addrText);
    if (a < 0)
        return 0;
    // A value no image could hold is refused like a bad address.
    if (!kemo::hostAccessFits(kind, a, count))
        return 0;
    const kemo::KindFacts& facts = *kemo::kindFacts(kind);
    const qint64 needBytes = valueBytesFor(facts, count);
    if (needBytes > kMaxImageBytes)
        return 0;

    RW_VAR request;
    request.varClass = varClass;
    request.varId = varId;
    request.writeFlag = 1;
    request.remoteFlag = kemo::loadWord(info.remoteMode);
    request.deviceId = kemo::loadWord(info.localDeviceId);
    request.retCode = 0;
    request.nameText = nameText;
    request.addrText = addrText;
    request.regKind = kind;
    request.station = kemo::chooseStation(info, station);
    request.bitMode = 0;
    request.spare = 0;

    const bool linkUp = kemo::loadWord(info.linkState) == 2;
    if (!linkUp)
        d.commFailed = 1;

    QByteArray none;
    QByteArray& val = value ? *value : none;
    if (facts.writeFunction != 0 && needBytes > val.size())
        val.append(zeros(needBytes - val.size()));

    const int limit = std::max(0, kemo::loadWord(info.maxPerFrame));
    int result = 0;
    switch (facts.writeFunction != 0 ? facts.itemBits : 0) {
    case 1:  // one request per bit
        request.length = 1;
        for (qint64 i = 0; i < count; ++i) {
            request.regAddr = static_cast<int>(a + i);
            request.data = QByteArray(1, val.at(static_cast<int>(i)) != 0 ? '\xFF' : '\0');
            result = queueWrite(request);
        }
        break;
    case 8:  // one request per byte: the low byte of each host item
        request.length = 1;
        for (qint64 i = 0; i < count; ++i) {
            request.regAddr = static_cast<int>(a + i);
            request.data = QByteArray(1, val.at(static_cast<int>(2 * i)));
            result = queueWrite(request);
        }
        break;
    case 16:
    case 32: result = queueItems(request, val, a, kemo::itemsOfCount(facts, count), facts.itemBits / 8, limit); break;
    default:  // discrete inputs are read-only
        break;
    }

    if (!linkUp) {
        // Link down: the write stays local and nothing waits for the wire.
        kemo::Locker lock(&d.listMutex);
        d.writeList.clear();
    }
    return result;
}

void WriteDataToLocal(RW_VAR* request)
{
    if (!request)
        return;
    Communication_Protocol& d = PLC_driver;
    const RW_VAR& r = *request;
    kemo::Locker lock(&d.storeMutex);
    ControlInformationM record = {r.station, r.regKind, r.regAddr, r.length};
    checkTheStorage(record);
    const int area = getPlcReg(r.regKind);
    QByteArray& image = kemo::storeImage(r.station, area);
    const qint64 a = r.regAddr;
    const qint64 length = std::max(r.length, 0);
    const qint64 have = r.data.size();
    const unsigned char* src = reinterpret_cast<const unsigned char*>(r.data.constData());

    // Copies `bytes` request bytes to image byte `first` on, optionally
    // swapping the two bytes of every 16-bit half.
    const auto put = [&](qint64 first, qint64 bytes, bool swapHalves) {
        unsigned char* out = bytes > 0 ? kemo::imageSpan(image, first, bytes) : nullptr;
        if (!out)
            return;
        if (!swapHalves) {
            std::memcpy(out, src, static_cast<size_t>(bytes));
            return;
        }
        for (qint64 i = 0; i + 1 < bytes; i += 2) {
            out[i] = src[i + 1];
            out[i + 1] = src[i];
        }
    };

    const kemo::KindFacts* f = kemo::kindFacts(r.regKind);
    if (!f || f->writeFunction == 0) {
        kemo::logDefault("WriteDataToLocal default", {r.station, r.regKind, r.regAddr});
    } else if (f->itemBits == 1) {
        for (qint64 i = 0; i < std::min(length, have); ++i) {
            const qint64 b = a + i;
            unsigned char* byte = b >= 0 ? kemo::imageSpan(image, b / 8, 1) : nullptr;
            if (!byte)
                continue;
            const unsigned char mask = static_cast<unsigned char>(1u << (b % 8));
            *byte = src[i] != 0 ? (*byte | mask) : (*byte & ~mask);
        }
    } else {
        const qint64 itemBytes = f->itemBits / 8;
        // Holding registers are kept low byte first: whole words are swapped.
        if (f->unitBits == 16 && itemBytes >= 2)
            put(itemBytes * a, itemBytes * std::min(length, have / itemBytes), true);
        else
            put(itemBytes * a, std::min(itemBytes * length, have), false);
    }
}
