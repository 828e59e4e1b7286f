// Storing answers into the register store, and the store's upkeep.
#include "Driver_Internal.h"

#include <algorithm>
#include <cstring>

namespace kemo {

int areaOfKind(int kind)
{
    const KindFacts* f = kindFacts(kind);
    return f ? f->area : kind;
}

qint64 requiredImageBytes(const ControlInformationM& record)
{
    const qint64 end = static_cast<qint64>(record.regAddr) + record.length;
    const KindFacts* area = areaFacts(areaOfKind(record.regKind));
    // Byte areas keep two spare bytes; everything else is sized as registers.
    return area && area->unitBits == 8 ? end + 2 : 2 * end;
}

bool hostAccessFits(int kind, qint64 address, qint64 count)
{
    const KindFacts* f = kindFacts(kind);
    if (!f || address < 0)
        return false;
    const ControlInformationM record = {0, kind, static_cast<int>(address), static_cast<int>(count)};
    const qint64 items = itemsOfCount(*f, std::max<qint64>(count, 0));
    const qint64 touched = ((address + items) * f->itemBits + 7) / 8;
    return requiredImageBytes(record) <= kMaxImageBytes && touched <= kMaxImageBytes;
}

QByteArray& storeImage(int station, int area) { return DataStorage[station][area]; }

unsigned char* imageSpan(QByteArray& image, qint64 first, qint64 count)
{
    if (first < 0 || count < 0 || first + count > kMaxImageBytes)
        return nullptr;
    const qint64 end = first + count;
    if (end > image.size()) {
        const int old = image.size();
        image.resize(static_cast<int>(end));
        std::memset(image.data() + old, 0, static_cast<size_t>(end - old));
    }
    return reinterpret_cast<unsigned char*>(image.data()) + first;
}

}  // namespace kemo

void checkTheStorage(ControlInformationM& record)
{
    const int area = getPlcReg(record.regKind);
    if (!kemo::areaFacts(area))
        kemo::logDefault("**** ERROR checkTheStorage default");
    const qint64 need = kemo::requiredImageBytes(record);
    if (need > kemo::kMaxImageBytes)
        return;  // refused by every caller before it touches the image
    QByteArray& image = kemo::storeImage(record.station, area);
    if (need > image.size())
        kemo::imageSpan(image, image.size(), need - image.size());
}

namespace {

// Puts the merged register into the queued write half (a write of one
// register: function 10, or 06 for a station that takes only that) and
// closes it with a fresh CRC.
void patchWriteHalf(unsigned value)
{
    QList<Protocol>& pending = PLC_driver.protocolList;
    if (pending.size() < 2)
        return;
    QByteArray& frame = pending[1].frame;
    const int at = kemo::singleRegisterValueAt(kemo::byteAt(frame, 1));
    if (frame.size() < at + 2)
        frame.resize(at + 2);
    frame[at] = static_cast<char>((value >> 8) & 0xFF);
    frame[at + 1] = static_cast<char>(value & 0xFF);
    kemo::putCrc(frame, at + 2, at + 2);
    pending[1].frameLen = frame.size();
}

}  // namespace

namespace kemo {

bool mergeReadHalf(const QByteArray& answer, int bitMode)
{
    if (answer.size() < 5) {
        // A write half built on a guessed register would corrupt its
        // neighbours: it never goes out.
        QList<Protocol>& pending = PLC_driver.protocolList;
        if (pending.size() >= 2)
            pending.removeAt(1);
        return false;
    }
    const Communication_Protocol::PendingMerge& merge = PLC_driver.pendingMerge;
    unsigned value = (static_cast<unsigned>(byteAt(answer, 3)) << 8) | byteAt(answer, 4);
    if (bitMode == kBitReadHalf) {
        const unsigned mask = 1u << (merge.regAddr & 15);
        value = merge.value != 0 ? (value | mask) : (value & ~mask);
    } else if ((merge.regAddr & 1) == 0) {
        value = (value & 0xFF00) | merge.value;  // even image bytes are the low bytes of their registers
    } else {
        value = (value & 0x00FF) | (static_cast<unsigned>(merge.value) << 8);
    }
    patchWriteHalf(value);
    return true;
}

}  // namespace kemo

void special_register_save_bit(QByteArray* answer)
{
    kemo::mergeReadHalf(answer ? *answer : QByteArray(), kemo::kBitReadHalf);
}

void special_register_save_byte(QByteArray* answer)
{
    kemo::mergeReadHalf(answer ? *answer : QByteArray(), kemo::kByteReadHalf);
}

namespace {

// Stores the bits of a read of exactly one variable's bits, and no other:
// the neighbours in the same image byte keep their values. Coil and input
// answers pack bits from the first asked for on; register answers hold the
// registers the bits touch, high byte first.
void saveExactBits(const RW_VAR& v, const unsigned char* data, qint64 dataLen)
{
    const kemo::KindFacts* kind = kemo::kindFacts(v.regKind);
    if (!kind || kind->itemBits != 1 || v.regAddr < 0) {
        kemo::logDefault("SaveToLocalDataErea default", {v.station, v.regKind, v.regAddr});
        return;
    }
    kemo::AreaStretch units;
    kemo::toAreaUnits(v.regKind, v.regAddr, v.length, units);
    ControlInformationM record = {v.station, units.area, kemo::wrapInt(units.regAddr), kemo::wrapInt(units.length)};
    checkTheStorage(record);
    QByteArray& image = kemo::storeImage(v.station, units.area);
    const qint64 firstRegister = v.regAddr / 16;
    for (qint64 i = 0; i < v.length; ++i) {
        const qint64 b = static_cast<qint64>(v.regAddr) + i;
        qint64 at;
        int bit;
        if (kind->unitBits == 8) {
            at = i / 8;
            bit = static_cast<int>(i % 8);
        } else {
            const int inRegister = static_cast<int>(b % 16);
            at = 2 * (b / 16 - firstRegister) + (inRegister < 8 ? 1 : 0);
            bit = inRegister % 8;
        }
        unsigned char* out = at < dataLen ? kemo::imageSpan(image, b / 8, 1) : nullptr;
        if (!out)
            return;
        const unsigned char mask = static_cast<unsigned char>(1u << (b % 8));
        *out = (data[at] >> bit) & 1 ? (*out | mask) : (*out & ~mask);
    }
}

}  // namespace

void SaveToLocalDataErea(QByteArray* answer)
{
    const QList<Protocol>& pending = PLC_driver.protocolList;
    if (pending.isEmpty() || !answer)
        return;
    const Protocol& p = pending.first();
    const RW_VAR& v = p.var;
    if (v.bitMode == kemo::kBitReadHalf) {
        special_register_save_bit(answer);
        return;
    }
    if (v.bitMode == kemo::kByteReadHalf) {
        special_register_save_byte(answer);
        return;
    }

    const qint64 offset = std::max(p.dataOffset, 0);
    const qint64 n = std::max<qint64>(0, std::min<qint64>(p.dataLen, answer->size() - offset));
    const unsigned char* data = reinterpret_cast<const unsigned char*>(answer->constData()) + offset;
    if (v.bitMode == kemo::kExactBits) {
        saveExactBits(v, data, n);
        return;
    }
    ControlInformationM record = {v.station, v.regKind, v.regAddr, v.length};
    checkTheStorage(record);

    const kemo::KindFacts* area = kemo::areaFacts(v.regKind);
    if (!area) {
        kemo::logDefault("SaveToLocalDataErea default", {v.station, v.regKind, v.regAddr});
    } else if (area->unitBits == 8) {
        if (n > 0) {
            if (unsigned char* out = kemo::imageSpan(kemo::storeImage(v.station, v.regKind), v.regAddr, n))
                std::memcpy(out, data, static_cast<size_t>(n));
        }
    } else if (const qint64 words = n / 2) {
        // Registers travel high byte first and are kept low byte first.
        QByteArray& image = kemo::storeImage(v.station, v.regKind);
        unsigned char* out = kemo::imageSpan(image, 2 * static_cast<qint64>(v.regAddr), 2 * words);
        for (qint64 j = 0; out && j < words; ++j) {
            out[2 * j] = data[2 * j + 1];
            out[2 * j + 1] = data[2 * j];
        }
    }
}
