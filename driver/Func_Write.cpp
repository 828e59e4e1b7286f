// Modbus RTU write requests, with the read-modify-write of bits and bytes
// that live inside holding registers.
#include "Driver_Internal.h"

#include <algorithm>

namespace {

unsigned char firstByte(const QByteArray& data) { return kemo::byteAt(data, 0); }

}  // namespace

void WriteRegister(RW_VAR* var)
{
    Communication_Protocol& d = PLC_driver;
    RW_VAR copy = *var;
    const kemo::KindFacts* f = kemo::kindFacts(var->regKind);
    if (!f || f->writeFunction == 0) {
        // Not writable: the write is dropped from its queue.
        if (!d.writeList.isEmpty())
            d.writeList.removeFirst();
        kemo::logDefault("WriteRegister default", {copy.station, copy.regKind, copy.regAddr, copy.length});
        return;
    }
    if (!f->readModifyWrite) {
        WriteAnalog(&copy);
    } else {
        const bool bitWrite = f->itemBits == 1;
        d.pendingMerge.regAddr = var->regAddr;
        d.pendingMerge.value = firstByte(var->data);
        copy.regKind = f->area;
        copy.length = 1;
        copy.regAddr = var->regAddr / (f->unitBits / f->itemBits);
        copy.data = QByteArray(2, '\0');
        copy.writeFlag = 0;
        copy.bitMode = bitWrite ? kemo::kBitReadHalf : kemo::kByteReadHalf;
        Protocol readHalf;
        kemo::buildReadRequest(copy, readHalf);
        // The write half carries 00 00 until the read answer is merged in.
        copy.writeFlag = 1;
        copy.bitMode = kemo::kPlainRequest;
        Protocol writeHalf;
        kemo::buildWriteRequest(copy, writeHalf);
        kemo::queueRequests(readHalf, &writeHalf);
    }
    if (!d.commFailed.load())
        WriteDataToLocal(var);
}

void WriteAnalog(RW_VAR* var)
{
    Protocol request;
    if (kemo::buildWriteRequest(*var, request))
        kemo::queueRequests(request);
    else
        kemo::logDefault("WriteAnalog default", {var->station, var->regKind, var->regAddr, var->length});
}

bool kemo::buildWriteRequest(const RW_VAR& var, Protocol& out)
{
    const QByteArray& data = var.data;
    const qint64 n = data.size();
    const KindFacts* f = kindFacts(var.regKind);
    if (!f || f->writeFunction == 0 || f->readModifyWrite)
        return false;
    // Whole registers only, so the byte count always matches the data sent.
    const qint64 registers = n / 2;
    // A station that takes only function 06 for one register gets it.
    const bool single =
        f->writeFunction == 0x10 && registers == 1 && (stationOptions(var.station) & KEMO_STATION_SINGLE_WRITES) != 0;
    const int function = single ? 0x06 : f->writeFunction;
    const qint64 start = static_cast<qint64>(var.regAddr) * f->itemBits / modbusUnitBits(*f);

    QByteArray frame = modbusHead(var.station, function, start, static_cast<int>(std::min<qint64>(n, 1 << 20)) + 9);
    if (function == 0x05) {
        kemo::appendBe16(frame, firstByte(data) != 0 ? 0xFF00 : 0x0000);
    } else if (function == 0x06) {
        frame.append(data.constData(), 2);
    } else if (function == 0x0F) {
        kemo::appendBe16(frame, static_cast<unsigned>((n * 8) & 0xFFFF));
        frame.append(static_cast<char>(n & 0xFF));
        frame.append(data);
    } else {
        kemo::appendBe16(frame, static_cast<unsigned>(registers & 0xFFFF));
        frame.append(static_cast<char>((2 * registers) & 0xFF));
        frame.append(data.constData(), static_cast<int>(2 * registers));
    }
    appendCrc(frame);
    // Station 0 is a broadcast: nobody answers it.
    out = makeRequest(frame, var.station != 0 ? 8 : 0, 0, 0, var);
    return true;
}
