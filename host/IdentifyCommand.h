// `plc-host identify`: what a device says of itself, through read device
// identification (function 2B/0E) and report server id (function 11), asked
// over plc-host's own RTU framing.
#pragma once

#include "rtu/RtuExchange.h"

#include <QByteArray>

#include <string>
#include <utility>
#include <vector>

namespace host {

// One answer to read device identification: its objects (id, text) and
// where the next answer starts when the device has more.
struct DeviceIdAnswer {
    int conformity = 0;
    bool more = false;
    int nextObject = 0;
    std::vector<std::pair<int, QByteArray>> objects;
};

// The objects of an answer (station, 2B, 0E, code, conformity, more, next,
// count, objects, CRC); false with `error` set when it does not hold together.
bool decodeDeviceId(const QByteArray& answer, DeviceIdAnswer& out, std::string& error);
// The data of a report server id answer (station, 11, byte count, data, CRC),
// or false when the byte count does not fit.
bool decodeServerId(const QByteArray& answer, QByteArray& data);

// "VendorName", "ProductCode", ...; "object 0x80" past the standard ones.
std::string objectName(int id);
// Text as it is where it is printable, else the hex bytes too.
std::string shownText(const QByteArray& bytes);

// Asks `station` over `exchange` and returns the report, one line a fact.
// Returns false when the device answered neither request.
bool identify(RtuExchange& exchange, CrcFunction crc, int station, std::string& report);

}  // namespace host
