// plc-sim seen from raw frames on the other side of a pty, where the framing
// itself is under test: several stations, frames back to back, noise.
#include "SimController.h"
#include "SimPattern.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

Bytes withCrc(Bytes f)
{
    simAppendCrc(f);
    return f;
}

// Sends raw bytes and collects what comes back: the first byte within
// 500 ms (a loaded machine schedules the simulator late), then until 50 ms
// pass without any.
Bytes roundTrip(int fd, const Bytes& request)
{
    EXPECT_EQ(write(fd, request.data(), request.size()), ssize_t(request.size()));
    Bytes out;
    pollfd p{fd, POLLIN, 0};
    uint8_t tmp[512];
    for (ssize_t n; poll(&p, 1, out.empty() ? 500 : 50) > 0 && (n = read(fd, tmp, sizeof tmp)) > 0;)
        out.insert(out.end(), tmp, tmp + n);
    return out;
}

// The simulator serving the master end of a raw pty while the test talks to the other end.
struct Served {
    int master = -1, slave = -1;
    std::atomic<bool> stop{false};
    std::thread server;

    explicit Served(SimController& sim)
    {
        termios raw{};
        cfmakeraw(&raw);
        EXPECT_EQ(openpty(&master, &slave, nullptr, &raw, nullptr), 0);
        server = std::thread([this, &sim] { sim.serve(master, stop); });
    }
    ~Served()
    {
        stop = true;
        server.join();
        close(slave);
        close(master);
    }
};

}  // namespace

TEST(SimController, FrameSyncAcrossStationsAndNoise)
{
    SimOptions o;
    o.stations = {1, 2};
    o.animate = false;  // memory keeps its initial pattern
    SimController sim(o);
    Served line(sim);
    const int slave = line.slave;
    // Without any gap: a write for an unserved station (variable length), a read for station 1, one for station 2.
    Bytes burst = withCrc({5, 0x10, 0x00, 0x0A, 0x00, 0x02, 0x04, 0x01, 0x02, 0x03, 0x04});
    for (const Bytes& r : {withCrc({1, 0x03, 0x00, 0x14, 0x00, 0x02}), withCrc({2, 0x03, 0x00, 0x0A, 0x00, 0x01})})
        burst.insert(burst.end(), r.begin(), r.end());
    Bytes want = withCrc({1, 0x03, 0x04, 0x03, 0xFC, 0x03, 0xFD});  // 1020, 1021
    const uint16_t hr = simpattern::holdingRegister(2, 10);
    const Bytes second = withCrc({2, 0x03, 0x02, uint8_t(hr >> 8), uint8_t(hr & 0xFF)});
    want.insert(want.end(), second.begin(), second.end());
    EXPECT_EQ(roundTrip(slave, burst), want);
    // A request with a bad CRC is noise: no answer, no effect.
    Bytes bad = withCrc({1, 0x06, 0x00, 0x20, 0x12, 0x34});
    bad.back() ^= 1;
    EXPECT_TRUE(roundTrip(slave, bad).empty());
    EXPECT_EQ(sim.holdingRegister(1, 0x20), simpattern::holdingRegister(1, 0x20));
    // A request delivered in two parts 8 ms apart (past t3.5 of 2 ms): its
    // length is known from its head, so it is waited for and answered.
    const Bytes split = withCrc({1, 0x03, 0x00, 0x14, 0x00, 0x02});
    ASSERT_EQ(write(slave, split.data(), 3), 3);
    std::this_thread::sleep_for(std::chrono::milliseconds(8));
    EXPECT_EQ(roundTrip(slave, Bytes(split.begin() + 3, split.end())),
              withCrc({1, 0x03, 0x04, 0x03, 0xFC, 0x03, 0xFD}));
    EXPECT_EQ(sim.counters().ignoredStation, 1);
    EXPECT_EQ(sim.counters().ignoredBadCrc, 1);
}

namespace {

struct FrameCase {
    const char* name;
    Bytes request;  // without CRC
    Bytes answer;   // without CRC
};

// Station 7 holds holding registers 40, 41, 44 and coils 0-9 only; its input
// registers are all there, starting at (S x 1000 + R + 500).
const FrameCase kSparseCases[] = {
    {"registers_held", {7, 0x03, 0x00, 0x28, 0x00, 0x02}, {7, 0x03, 0x04, 0x1B, 0x80, 0x1B, 0x81}},
    {"register_held_alone", {7, 0x03, 0x00, 0x2C, 0x00, 0x01}, {7, 0x03, 0x02, 0x1B, 0x84}},
    {"gap_refused", {7, 0x03, 0x00, 0x28, 0x00, 0x05}, {7, 0x83, 0x02}},
    {"write_into_gap_refused", {7, 0x06, 0x00, 0x2A, 0x00, 0x01}, {7, 0x86, 0x02}},
    {"coils_held", {7, 0x01, 0x00, 0x00, 0x00, 0x0A}, {7, 0x01, 0x02, 0x24, 0x01}},
    {"coils_beyond_the_last_refused", {7, 0x01, 0x00, 0x00, 0x00, 0x10}, {7, 0x81, 0x02}},
    {"input_registers_function_04", {7, 0x04, 0x00, 0x03, 0x00, 0x01}, {7, 0x04, 0x02, 0x1D, 0x4F}},
};

}  // namespace

TEST(SimController, SparseMapAndInputRegisters)
{
    SimOptions o;
    o.stations = {7};
    o.animate = false;
    o.maps = {{7, kSimHoldingRegisters, 40, 41}, {7, kSimHoldingRegisters, 44, 44}, {7, kSimCoils, 0, 9}};
    SimController sim(o);
    Served line(sim);
    const int slave = line.slave;
    for (const FrameCase& c : kSparseCases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(roundTrip(slave, withCrc(c.request)), withCrc(c.answer));
    }
}

// --strict-baud (heard at the line's own rate only) is the commissioning
// scan's: host_it.py commissioning finds the stations at 9600 baud alone.
TEST(SimController, SaysWhatItIs)
{
    SimOptions o;
    o.vendor = "V";
    o.product = "PC";
    o.revision = "1.2";
    const Bytes all = {1, 0x2B, 0x0E, 1, 0x81, 0, 0, 3, 0, 1, 'V', 1, 2, 'P', 'C', 2, 3, '1', '.', '2'};
    const FrameCase cases[] = {
        {"server_id", {1, 0x11}, {1, 0x11, 10, 1, 0xFF, 'V', ' ', 'P', 'C', ' ', '1', '.', '2'}},
        {"basic_stream", {1, 0x2B, 0x0E, 1, 0}, all},
        {"stream_past_the_last_starts_again", {1, 0x2B, 0x0E, 1, 9}, all},
        {"one_object", {1, 0x2B, 0x0E, 4, 1}, {1, 0x2B, 0x0E, 4, 0x81, 0, 0, 1, 1, 2, 'P', 'C'}},
        {"one_missing_object", {1, 0x2B, 0x0E, 4, 9}, {1, 0xAB, 0x02}},
        {"unknown_code", {1, 0x2B, 0x0E, 5, 0}, {1, 0xAB, 0x03}},
        {"other_mei_type", {1, 0x2B, 0x0D, 1, 0}, {1, 0xAB, 0x01}},
    };
    for (const FrameCase& c : cases) {
        SCOPED_TRACE(c.name);
        const Bytes request = withCrc(c.request);
        EXPECT_EQ(simIdentityAnswer(o, request.data(), request.size()), c.answer);
    }
}

// Paced at 9600 8N1, an answer begins no sooner than the request's own wire
// time and t3.5 after the request came; a broadcast into a range that
// refuses with an exception changes nothing there.
TEST(SimController, PacedAnswersKeepTheSilenceAndRefusedBroadcastsChangeNothing)
{
    SimOptions o;
    o.animate = false;
    o.exceptions = {{1, kSimHoldingRegisters, 10, 19, 2}};
    simPaceLine(o, 9600, 'N', 8, 1);
    SimController sim(o);
    Served line(sim);
    const Bytes read = withCrc({1, 0x03, 0x00, 0x00, 0x00, 0x01});
    const auto sent = std::chrono::steady_clock::now();
    ASSERT_EQ(write(line.slave, read.data(), read.size()), ssize_t(read.size()));
    pollfd p{line.slave, POLLIN, 0};
    ASSERT_EQ(poll(&p, 1, 1000), 1);
    EXPECT_GE(std::chrono::steady_clock::now() - sent,
              std::chrono::microseconds(o.paceCharUs * long(read.size()) + o.paceGapUs));
    roundTrip(line.slave, {});  // the rest of the answer
    EXPECT_TRUE(roundTrip(line.slave, withCrc({0, 0x06, 0x00, 0x0C, 0x12, 0x34})).empty());
    EXPECT_TRUE(roundTrip(line.slave, withCrc({0, 0x06, 0x00, 0x20, 0x12, 0x34})).empty());
    EXPECT_EQ(sim.holdingRegister(1, 0x0C), simpattern::holdingRegister(1, 0x0C));
    EXPECT_EQ(sim.holdingRegister(1, 0x20), 0x1234);  // outside the range the broadcast lands
}
