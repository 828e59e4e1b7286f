// Simulated Modbus RTU slave ("plc-sim"): serves one or more stations on a
// serial line or pty and can misbehave on purpose (drops, broken CRCs,
// delays, exception answers) so the master driver's fault handling can be
// exercised without hardware.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <set>
#include <string>
#include <vector>

// Areas as the simulator's options name them.
enum SimArea { kSimCoils = 1, kSimDiscreteInputs = 2, kSimHoldingRegisters = 3, kSimInputRegisters = 4 };

struct SimExceptionRange {
    int station;
    int area;  // SimArea
    int first;
    int last;
    int code;  // exception code sent back (1..255)
};

// Addresses a station holds of one area (--map): a request touching any
// other address of that area gets exception 02, as sparse devices answer.
struct SimMapRange {
    int station;
    int area;  // SimArea
    int first;
    int last;
};

// A value of the host's configuration that the controller moves the way its
// name suggests, so a demo shows believable numbers instead of test patterns.
struct SimTag {
    enum Motion {
        Toggle,   // a bit flips on its own period of 3 to 15 s; of a group of bits, every fourth
        Steps,    // 1, 2, 3, 4, one step every 8 s (a mode or recipe number)
        Ramp,     // 0..99, one up every 0.5 s, then from 0 again; counts on from a written value
        Counter,  // 4 counts a second; counts on from a written value
        Wave,     // 32-bit float 12.5 +- 1.5 in a slow 40 s wave, with a little ripple
        // A meter's readings, as 32-bit floats (of any word order) or scaled integers:
        Voltage,      // 230 V +- 3
        Current,      // 4..12 A
        Power,        // voltage x current x power factor, in W
        PowerFactor,  // 0.85..0.98
        Frequency,    // 50 Hz +- 0.05
        Energy        // counts up, 0.01 a second
    };
    int station;
    int kind;     // register kind 0..15: as the driver's (12..15 input registers)
    int address;  // in units of the width; bit kinds: byte * 8 + bit
    int count;    // items of the width
    Motion motion;
    int registers = 1;  // registers an item takes when `store` is set
    // Puts a reading, in the tag's shown units, into one item's registers
    // (values as they travel: high byte first) by the owner's codec of types
    // and word orders; unset: the kind's own layout.
    std::function<void(double reading, uint16_t* registers)> store;
};

struct SimOptions {
    std::vector<int> stations{1};  // stations served (1..247)
    double dropRate = 0;           // share of requests lost before processing: no answer, no effect
    double corruptRate = 0;        // share of answers sent with a broken CRC (the request still takes effect)
    int delayMs = 0;               // delay before each answer
    std::set<int> silentStations;  // never answer these (nor apply broadcasts to them)
    std::vector<SimExceptionRange> exceptions;  // requests touching a range get its exception code instead
    std::vector<SimMapRange> maps;              // sparse stations: only these addresses of their areas
    unsigned seed = 1;
    // Without tags: holding register 0 counts every 100 ms, register 1 is a 10 s sine wave 0..1000.
    // With tags: the tags move, every other unit keeps its pattern. A coil or register the
    // master writes keeps the written value (counters and ramps count on from it).
    bool animate = true;
    std::vector<SimTag> tags;
    int frameGapUs = 2000;  // line silence that ends a frame (t3.5); 2 ms suits a pty
    // Answers leave no faster than a real line carries them: after the
    // request's own wire time and t3.5, one character per paceCharUs.
    // 0 = off (answers are written whole at once).
    long paceCharUs = 0;
    long paceGapUs = 0;  // t3.5 of the paced line
    // Paced answers go out whole when their last byte is due, not byte by
    // byte: for a reader of a pty, which sees them the same, at a fraction of the wake-ups.
    bool paceWholeAnswers = false;
    int splitMs = 0;  // pause in the middle of every answer (an adapter delivering in bursts)
    // A device on a real line hears only garbage from a master at another
    // rate: with strictBaud set, a request is heard only while the terminal
    // settings of strictBaudFd (the simulator's own pty) name that rate.
    long strictBaud = 0;
    int strictBaudFd = -1;
    // What the controller says of itself: device identification (function
    // 2B/0E) and report server id (function 11).
    std::string vendor = "plc-sim project";
    std::string product = "plc-sim simulated controller";
    std::string revision = "1.0";
    int lateMs = 0;          // some answers held back this long
    double lateRate = 0.01;  // share of answers held back when lateMs is set
    // Serve the driver's remote frames instead of Modbus requests: the
    // simulated remote end in front of the same stations (SimRemote.h).
    bool remote = false;
};

// Fills paceCharUs and paceGapUs from the line's settings (t3.5 is 1.75 ms above 19,200 baud).
void simPaceLine(SimOptions& options, long baud, char parity, int dataBits, int stopBits);

class SimController {
public:
    explicit SimController(const SimOptions& options);  // throws std::invalid_argument on bad options
    ~SimController();
    SimController(const SimController&) = delete;
    SimController& operator=(const SimController&) = delete;

    // Serves requests arriving on fd (pty master, serial fd, raw, or a connected
    // socket) until `stop` becomes true or the socket's client leaves; returns
    // 0, or -1 on an unrecoverable fd error. Sees `stop`
    // within about 50 ms. One serve() at a time per controller.
    int serve(int fd, const std::atomic<bool>& stop);

    // Thread-safe snapshots of memory; out-of-range arguments give 0/false.
    uint16_t holdingRegister(int station, int addr) const;
    bool coil(int station, int addr) const;
    bool discreteInput(int station, int addr) const;
    uint16_t inputRegister(int station, int addr) const;

    struct Counters {
        long requests;        // good frames for a served station (broadcasts included)
        long answered;        // answers sent, exceptions and corrupted ones included
        long dropped;         // requests lost on purpose
        long corrupted;       // answers sent with a broken CRC
        long exceptions;      // exception answers sent
        long ignoredBadCrc;   // frames (or noise) with a bad CRC
        long ignoredStation;  // good frames for a station not served or silent
        long late;            // answers held back by --late-ms
    };
    Counters counters() const;

    // {"stations":{"1":{"hr":[first 1000 regs],"ir":[...],"coils":"hex","di":"hex"}},"counters":{...}}
    // Bits are packed 8 per byte, lowest address in bit 0, first 1000 of each.
    bool dumpJson(const std::string& path) const;

private:
    struct Impl;
    std::unique_ptr<Impl> d;
};

// The answer to a device identification (2B/0E) or report server id (11)
// request of `station` from the texts of `options`: the frame without its
// CRC, an exception answer where the request asks for what is not there;
// empty for any other function.
std::vector<uint8_t> simIdentityAnswer(const SimOptions& options, const uint8_t* request, size_t length);

// CRC-16/MODBUS (poly 0xA001 reflected, init 0xFFFF); sent low byte first.
uint16_t simCrc16(const uint8_t* data, size_t len);
// Appends the frame's CRC, low byte first.
void simAppendCrc(std::vector<uint8_t>& frame);
