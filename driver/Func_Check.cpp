// Checksums, hex digits, kind-to-area mapping, unit conversion and the answer check.
#include "Driver_Internal.h"

#include <QtGlobal>

#include <climits>

namespace {

// CRC-16/MODBUS (reflected 0xA001, init 0xFFFF), one table step per byte.
struct CrcTable {
    unsigned short entry[256];
    constexpr CrcTable() : entry()
    {
        for (unsigned i = 0; i < 256; ++i) {
            unsigned crc = i;
            for (int bit = 0; bit < 8; ++bit)
                crc = (crc & 1u) ? (crc >> 1) ^ 0xA001u : crc >> 1;
            entry[i] = static_cast<unsigned short>(crc);
        }
    }
};
constexpr CrcTable kCrcTable;

}  // namespace

namespace kemo {

void putCrc(QByteArray& frame, int count, int at)
{
    if (frame.size() < at + 2)
        frame.resize(at + 2);
    unsigned char* bytes = reinterpret_cast<unsigned char*>(frame.data());
    const unsigned short crc = CalCRC(bytes, static_cast<unsigned short>(count));
    frame[at] = static_cast<char>(crc & 0xFF);
    frame[at + 1] = static_cast<char>(crc >> 8);
}

void appendCrc(QByteArray& frame)
{
    const int n = frame.size();
    putCrc(frame, n, n);
}

void logDefault(const char* text, std::initializer_list<int> values)
{
    // Composed by hand: QDebug would strip the trailing space.
    QByteArray line(text);
    line.append(' ');
    for (int v : values) {
        line.append(QByteArray::number(v));
        line.append(' ');
    }
    qDebug("%s", line.constData());
}

}  // namespace kemo

unsigned short CalSUM(unsigned char* data, unsigned short length)
{
    unsigned sum = 0;
    for (unsigned i = 0; i < length; ++i)
        sum += data[i];
    return static_cast<unsigned short>(sum & 0xFFFF);
}

unsigned short CalCRC(unsigned char* data, unsigned short length)
{
    unsigned crc = 0xFFFF;
    for (unsigned i = 0; i < length; ++i)
        crc = (crc >> 8) ^ kCrcTable.entry[(crc ^ data[i]) & 0xFF];
    return static_cast<unsigned short>(crc);
}

unsigned short CalLRC(unsigned char* data, unsigned short length)
{
    quint32 sum = 0;
    for (unsigned i = 0; i < length; ++i)
        sum += data[i];
    return static_cast<unsigned short>(static_cast<unsigned char>(~sum) + 1u);
}

unsigned short CalXOR(unsigned char* data, unsigned short length)
{
    // With no bytes there is nothing to read: 0.
    if (length == 0)
        return 0;
    unsigned char x = data[0];
    for (unsigned i = 1; i < length; ++i)
        x ^= data[i];
    return x;
}

int DigitalToASCII(int digit) { return digit <= 9 ? digit + 0x30 : digit + 0x37; }

int ASCIIToDigital(int character)
{
    if (character <= 0x2F)
        return 0;
    if (character <= 0x3F)
        return character - 0x30;
    if (character == 0x40)
        return 0;
    return character - 0x37;
}

int getPlcReg(int kind)
{
    if (const kemo::KindFacts* f = kemo::kindFacts(kind))
        return f->area;
    kemo::logDefault("getPlcReg default", {kind});
    return kind;
}

namespace kemo {

bool toAreaUnits(int kind, qint64 a, qint64 n, AreaStretch& out)
{
    const KindFacts* f = kindFacts(kind);
    if (!f)
        return false;
    if (f->itemBits < f->unitBits) {
        // Several items share a unit: the units the items touch.
        const qint64 perUnit = f->unitBits / f->itemBits;
        out = {f->area, a / perUnit, (a % perUnit + n + perUnit - 1) / perUnit};
    } else {
        const qint64 unitsPerItem = f->itemBits / f->unitBits;
        out = {f->area, a * unitsPerItem, itemsOfCount(*f, n) * unitsPerItem};
    }
    return true;
}

bool readStretchFits(const AreaStretch& s)
{
    const qint64 end = s.regAddr + s.length;
    const KindFacts* area = areaFacts(s.area);
    const qint64 imageEnd = area && area->unitBits == 16 ? 2 * end : end + 2;
    return s.regAddr >= 0 && s.regAddr <= INT_MAX && s.length >= INT_MIN && s.length <= INT_MAX &&
           imageEnd <= kMaxImageBytes;
}

}  // namespace kemo

int updateRwVar(RW_VAR* var)
{
    kemo::AreaStretch s;
    if (!kemo::toAreaUnits(var->regKind, var->regAddr, var->length, s)) {
        kemo::logDefault("updateRwVar default", {var->regKind, var->regAddr, var->length});
        return 0;
    }
    var->regKind = s.area;
    var->regAddr = kemo::wrapInt(s.regAddr);
    var->length = kemo::wrapInt(s.length);
    return 0;
}

int CheckGetData(QByteArray*, int)
{
    // Answers are judged by length only; the kind of request decides what they carry.
    if (PLC_driver.protocolList.isEmpty())
        return 0;
    return PLC_driver.protocolList.first().var.writeFlag == 0 ? 1 : 2;
}
