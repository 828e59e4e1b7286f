// Modbus RTU read requests.
#include "Driver_Internal.h"

void ReadRegister(RW_VAR* var) { ReadAnalog(var); }

void ReadAnalog(RW_VAR* var)
{
    Protocol request;
    if (kemo::buildReadRequest(*var, request))
        kemo::queueRequests(request);
    else
        kemo::logDefault("ReadAnalog default", {var->station, var->regKind, var->regAddr, var->length});
}

namespace {

// The wire stretch of a read of exactly one variable's bits: coils and
// inputs bit for bit, bits of registers as the registers they touch.
struct WireStretch {
    qint64 start;
    qint64 quantity;
    qint64 dataLen;
};
WireStretch exactBitsOnWire(const kemo::KindFacts& kind, qint64 firstBit, qint64 bits)
{
    if (kind.unitBits == 8)
        return {firstBit, bits, (bits + 7) / 8};
    const qint64 start = firstBit / 16;
    const qint64 registers = (firstBit + bits + 15) / 16 - start;
    return {start, registers, 2 * registers};
}

}  // namespace

bool kemo::buildReadRequest(const RW_VAR& var, Protocol& out)
{
    const kemo::KindFacts* bitKind = kemo::kindFacts(var.regKind);
    const bool exact = var.bitMode == kemo::kExactBits && bitKind && bitKind->itemBits == 1;
    const kemo::KindFacts* area = exact ? bitKind : kemo::areaFacts(var.regKind);
    if (!area)
        return false;
    WireStretch w;
    if (exact) {
        w = exactBitsOnWire(*area, var.regAddr, var.length);
    } else {
        // Bit areas are addressed in bytes of 8 here and in bits on the wire.
        const qint64 scale = area->unitBits / kemo::modbusUnitBits(*area);
        w = {var.regAddr * scale, var.length * scale, static_cast<qint64>(var.length) * area->unitBits / 8};
    }
    QByteArray frame = kemo::modbusHead(var.station, area->readFunction, w.start, 8);
    kemo::appendBe16(frame, static_cast<unsigned>(w.quantity & 0xFFFF));
    kemo::appendCrc(frame);
    // Answer: station, function, byte count, data, CRC.
    out = kemo::makeRequest(frame, kemo::wrapInt(w.dataLen + 5), 3, kemo::wrapInt(w.dataLen), var);
    return true;
}
