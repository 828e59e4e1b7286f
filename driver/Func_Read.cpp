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

bool kemo::buildReadRequest(const RW_VAR& var, Protocol& out)
{
    const kemo::KindFacts* area = kemo::areaFacts(var.regKind);
    if (!area)
        return false;
    // Bit areas are addressed in bytes of 8 here and in bits on the wire.
    const qint64 scale = area->unitBits / kemo::modbusUnitBits(*area);
    const qint64 start = var.regAddr * scale;
    const qint64 quantity = var.length * scale;
    const qint64 dataLen = static_cast<qint64>(var.length) * area->unitBits / 8;
    QByteArray frame = kemo::modbusHead(var.station, area->readFunction, start, 8);
    kemo::appendBe16(frame, static_cast<unsigned>(quantity & 0xFFFF));
    kemo::appendCrc(frame);
    // Answer: station, function, byte count, data, CRC.
    out = kemo::makeRequest(frame, kemo::wrapInt(dataLen + 5), 3, kemo::wrapInt(dataLen), var);
    return true;
}
