// Configuration of plc-host: the serial link, the driver settings and the
// tags, read from one JSON file. The tags' value codecs are in ValueCodec.h.
#pragma once

#include "SerialLine.h"
#include "link/PortLock.h"

#include <QByteArray>
#include <QString>

#include <map>
#include <stdexcept>
#include <string>
#include <vector>

namespace host {

// A configuration or command-line problem; the message names the file, the
// tag and the field. plc-host ends with status 2 on it.
struct ConfigError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

struct LinkSettings {
    std::string device;
    int baud = 19200;
    char parity = 'E';
    int dataBits = 8;
    int stopBits = 1;
    int responseTimeoutMs = 200;
    int retryLimit = 2;
    int turnaroundMs = 100;                                 // pause after a broadcast, which nobody answers
    bool echo = false;                                      // the adapter echoes every byte it sends (RS-485)
    serialline::Rs485 rs485 = serialline::Rs485::AsSystem;  // the UART drives the transceiver itself
    // Silence before each request, in microseconds. -1: t3.5 on a serial
    // line; none on a pseudo-terminal, which has no line to keep quiet and
    // delivers every frame whole.
    int gapUs = -1;
    // Longest pause between two bytes of one answer (USB adapters deliver in
    // bursts); also the silence that ends an answer of unknown length.
    int interByteMs = 20;
    // Silence awaited after trouble (time-out, bad frame, stray bytes) before
    // the next request. -1: the larger of t3.5 and interByteMs.
    int settleMs = -1;
    int deadAfter = 2;                         // give-ups in a row that switch a station off (0: never)
    int probeSeconds = 5;                      // how often a switched-off station is tried again
    bool resetRetries = true;                  // an accepted answer clears the driver's retry count
    bool realtime = false;                     // real-time scheduling and locked memory for the exchange
    LowLatency lowLatency = LowLatency::Auto;  // Auto: on for USB serial adapters

    serialline::LineSettings line() const { return {baud, parity, dataBits, stopBits}; }
};

struct DriverSettings {
    int maxPerFrame = 32;
    bool multiStation = true;
    int defaultStation = 1;
    int remoteMode = 0;
    int localDeviceId = 0;
};

// Settings of one station ("stations": {"7": {...}}).
struct StationSettings {
    std::string name;
    bool noMerge = false;       // every tag read on its own, never a gap between tags
    bool singleWrites = false;  // one holding register written with function 06
    int responseTimeoutMs = 0;  // 0: link.responseTimeoutMs
};

enum class ValueType { Bit, U8, U16, I16, U32, I32, F32, U64, I64, F64, String, Hex };

// Order of a value's bytes over its registers, named by the bytes of a 32-bit
// value A (most significant) to D as they travel. ABCD: most significant
// register first, each register high byte first; CDAB: least significant
// register first; BADC and DCBA: the same with the bytes of each register
// swapped. 64-bit values follow the same rule over four registers.
enum class WordOrder { ABCD, CDAB, BADC, DCBA };

struct Tag {
    std::string name;
    // Register kind 0..15: 0..11 are kind % 3 = area (di, coil, hr) and
    // kind / 3 = width; 12..15 are the input registers, width kind - 12.
    int kind = 8;
    std::string address;   // "BYTE.BIT" for the bit kinds, a decimal number otherwise
    int addressValue = 0;  // the parsed address in units of the kind's width
    int station = 1;       // as configured
    int count = 1;         // items of the kind's width (bits, bytes, words, double words)
    ValueType type = ValueType::U16;
    WordOrder wordOrder = WordOrder::ABCD;  // of values over more than one register
    double scale = 1;                       // shown value = raw x scale + offset
    double offset = 0;
    std::string unit;  // shown after the value

    int width() const { return kind < 12 ? kind / 3 : kind - 12; }  // 0 bit, 1 byte, 2 word, 3 double word
    // 0 discrete inputs, 1 coils, 2 holding registers, 3 input registers
    int areaIndex() const { return kind < 12 ? kind % 3 : 3; }
    bool writable() const { return areaIndex() == 1 || areaIndex() == 2; }
    bool registerArea() const { return areaIndex() >= 2; }
    bool scaled() const { return scale != 1 || offset != 0; }
    // Count as the driver takes it: double words are counted in 16-bit words.
    int driverCount() const { return width() == 3 ? 2 * count : count; }
    // Registers one item of the tag's type takes (words and double words of
    // the register areas), and the items the tag holds.
    int registersPerItem() const;
    int items() const;
    // Stretch of the tag in the driver's area units (bytes of 8 inputs or coils,
    // holding registers), which is how cyclic read blocks report back.
    int areaCode() const;
    int firstUnit() const;
    int unitCount() const;
};

struct HostConfig {
    std::string path;
    LinkSettings link;
    DriverSettings driver;
    std::map<int, StationSettings> stationSettings;  // by station 1..247
    std::vector<Tag> tags;

    int stationOf(const Tag& t) const { return driver.multiStation ? t.station : driver.defaultStation; }
    std::vector<int> stations() const;  // distinct, ascending, without the broadcast address 0
    bool readable(const Tag& t) const { return stationOf(t) != 0; }
    const Tag* find(const std::string& name) const;
    // Tags that name another station than the one every tag goes to with
    // multiStation false: a warning for stderr, or empty.
    std::string stationWarning() const;
};

// Throws ConfigError.
HostConfig loadConfig(const std::string& path);
HostConfig parseConfig(const QByteArray& json, const std::string& path);

// Line and station given on plc-host's command line, replacing the
// configuration's; an empty text leaves the setting as configured.
struct LinkOverrides {
    std::string device;
    std::string baud;
    std::string parity;
    std::string station;  // every tag's station but the broadcasts', and driver.defaultStation
};
// Throws ConfigError naming the option and the values it takes.
void applyOverrides(HostConfig& cfg, const LinkOverrides& overrides);

// Controller units a tag touches, as numbered on the wire (0-based coil,
// input or register numbers): the first and how many.
void wireSpan(const Tag& t, long& first, long& span);

const char* kindName(int kind);  // "hr.word"

// Wire units of [first, last] that none of the spans (first, last) covers, as
// ranges (first, last): what a read block fetches that no tag asked for.
std::vector<std::pair<long, long>> uncovered(long first, long last, std::vector<std::pair<long, long>> spans);

}  // namespace host
