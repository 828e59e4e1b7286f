// Modbus RTU read requests.
#include "Driver_Internal.h"

void ReadRegister(RW_VAR* var)
{
    ReadAnalog(var);
}

void ReadAnalog(RW_VAR* var)
{
    const qint64 address = var->regAddr;
    const qint64 length = var->length;
    int function = 0;
    qint64 start = 0;
    qint64 quantity = 0;
    qint64 dataLen = 0;
    switch (var->regKind) {
    case 3:  // discrete inputs, addressed in bytes of 8
        function = 0x02;
        start = address * 8;
        quantity = length * 8;
        dataLen = length;
        break;
    case 4:  // coils, addressed in bytes of 8
        function = 0x01;
        start = address * 8;
        quantity = length * 8;
        dataLen = length;
        break;
    case 8:
        function = 0x03;
        start = address;
        quantity = length;
        dataLen = length * 2;
        break;
    default:
        kemo::logDefault("ReadAnalog default", {var->station, var->regKind, var->regAddr, var->length});
        return;
    }
    QByteArray frame = kemo::modbusHead(var->station, function, start, 8);
    kemo::appendBe16(frame, static_cast<unsigned>(quantity & 0xFFFF));
    kemo::appendCrc(frame);
    // Answer: station, function, byte count, data, CRC.
    kemo::queueRequest(frame, kemo::wrapInt(dataLen + 5), 3, kemo::wrapInt(dataLen), *var);
}
