// Modbus RTU write requests, with the read-modify-write of bits and bytes
// that live inside holding registers.
#include "Driver_Internal.h"

#include <algorithm>

namespace {

unsigned char firstByte(const QByteArray& data)
{
    return kemo::byteAt(data, 0);
}

}  // namespace

void WriteRegister(RW_VAR* var)
{
    Communication_Protocol& d = PLC_driver;
    RW_VAR copy = *var;
    switch (var->regKind) {
    case 1: case 4: case 7: case 8: case 10: case 11:
        WriteAnalog(&copy);
        break;
    case 2: case 5: {
        const bool bitWrite = var->regKind == 2;
        d.pendingMerge.regAddr = var->regAddr;
        d.pendingMerge.value = firstByte(var->data);
        copy.regKind = getPlcReg(var->regKind);
        copy.length = 1;
        copy.regAddr = bitWrite ? var->regAddr / 16 : var->regAddr / 2;
        copy.data = QByteArray(2, '\0');
        copy.writeFlag = 0;
        copy.bitMode = bitWrite ? -1 : -2;
        ReadRegister(&copy);
        // The write half carries 00 00 until the read answer is merged in.
        copy.writeFlag = 1;
        copy.bitMode = 0;
        WriteAnalog(&copy);
        if (d.comInfo) {
            kemo::storeWord(d.comInfo->framesPerVar, 2);
            kemo::storeWord(d.comInfo->framesDone, 0);
        }
        break;
    }
    default:
        // Not writable: the write is dropped from its queue.
        if (!d.writeList.isEmpty())
            d.writeList.removeFirst();
        kemo::logDefault("WriteRegister default", {copy.station, copy.regKind, copy.regAddr, copy.length});
        return;
    }
    if (!d.commFailed.load())
        WriteDataToLocal(var);
}

void WriteAnalog(RW_VAR* var)
{
    const QByteArray& data = var->data;
    const qint64 n = data.size();
    const qint64 address = var->regAddr;
    int function = 0;
    qint64 start = 0;
    switch (var->regKind) {
    case 1: function = 0x05; start = address; break;
    case 4: function = 0x0F; start = address * 8; break;
    case 7: function = 0x0F; start = address * 16; break;
    case 10: function = 0x0F; start = address * 32; break;
    case 8: function = 0x10; start = address; break;
    case 11: function = 0x10; start = address * 2; break;
    default:
        kemo::logDefault("WriteAnalog default", {var->station, var->regKind, var->regAddr, var->length});
        return;
    }

    QByteArray frame = kemo::modbusHead(var->station, function, start, static_cast<int>(std::min<qint64>(n, 1 << 20)) + 9);
    if (function == 0x05) {
        kemo::appendBe16(frame, firstByte(data) != 0 ? 0xFF00 : 0x0000);
    } else if (function == 0x0F) {
        kemo::appendBe16(frame, static_cast<unsigned>((n * 8) & 0xFFFF));
        frame.append(static_cast<char>(n & 0xFF));
        frame.append(data);
    } else {
        // Whole registers only, so the byte count always matches the data sent.
        const qint64 registers = n / 2;
        kemo::appendBe16(frame, static_cast<unsigned>(registers & 0xFFFF));
        frame.append(static_cast<char>((2 * registers) & 0xFF));
        frame.append(data.constData(), static_cast<int>(2 * registers));
    }
    kemo::appendCrc(frame);
    // Station 0 is a broadcast: nobody answers it.
    kemo::queueRequest(frame, var->station != 0 ? 8 : 0, 0, 0, *var);
}
