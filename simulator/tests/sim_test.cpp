// plc-sim seen from a master on the other side of a pty: libmodbus's own
// master, or raw frames where the framing itself is under test.
#include "SimController.h"
#include "SimPattern.h"

#include <gtest/gtest.h>
#include <modbus.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <poll.h>
#include <pty.h>
#include <stdexcept>
#include <termios.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

Bytes withCrc(Bytes f)
{
    const uint16_t crc = simCrc16(f.data(), f.size());
    f.push_back(crc & 0xFF);
    f.push_back(crc >> 8);
    return f;
}

// A simulator serving one side of a pty, and libmodbus's master on the other.
// Animation is off, so memory keeps its initial pattern.
class Rig {
public:
    explicit Rig(std::vector<int> stations, SimOptions opt = SimOptions(), int responseTimeoutMs = 200)
        : sim((opt.stations = std::move(stations), opt.animate = false, opt))
    {
        char name[256] = {};
        termios raw{};
        cfmakeraw(&raw);
        if (openpty(&master, &slave, name, &raw, nullptr) != 0)
            throw std::runtime_error("openpty failed");
        server = std::thread([this] { sim.serve(master, stop); });
        mb = modbus_new_rtu(name, 115200, 'N', 8, 1);
        if (!mb || modbus_connect(mb) != 0)
            throw std::runtime_error(std::string("libmodbus cannot open ") + name);
        modbus_set_response_timeout(mb, 0, uint32_t(responseTimeoutMs) * 1000);
        modbus_set_slave(mb, 1);
    }
    ~Rig()
    {
        stop = true;
        server.join();
        modbus_close(mb);
        modbus_free(mb);
        close(slave);
        close(master);
    }

    // Sends raw bytes and collects what comes back until 50 ms pass without any.
    Bytes exchange(const Bytes& request)
    {
        EXPECT_EQ(write(slave, request.data(), request.size()), ssize_t(request.size()));
        Bytes out;
        pollfd p{slave, POLLIN, 0};
        uint8_t tmp[512];
        for (ssize_t n; poll(&p, 1, 50) > 0 && (n = read(slave, tmp, sizeof tmp)) > 0;)
            out.insert(out.end(), tmp, tmp + n);
        return out;
    }

    SimController sim;
    modbus_t* mb = nullptr;

private:
    int master = -1, slave = -1;
    std::atomic<bool> stop{false};
    std::thread server;
};

}  // namespace

TEST(SimController, PatternAndFrameSyncAcrossStations)
{
    SimOptions o;
    o.silentStations = {3};
    Rig rig({1, 2, 3}, o);
    std::vector<uint16_t> regs(125);
    std::vector<uint8_t> coils(2000), inputs(2000);
    // Alternating stations and addresses, every read function, full-size answers.
    for (int i = 0; i < 8; ++i) {
        const int station = 1 + i % 2, first = (i * 3701) % 8000;
        modbus_set_slave(rig.mb, station);
        ASSERT_EQ(modbus_read_registers(rig.mb, first, 125, regs.data()), 125) << i << ": " << modbus_strerror(errno);
        ASSERT_EQ(modbus_read_bits(rig.mb, first, 2000, coils.data()), 2000) << i << ": " << modbus_strerror(errno);
        ASSERT_EQ(modbus_read_input_bits(rig.mb, first, 2000, inputs.data()), 2000) << i << ": " << modbus_strerror(errno);
        for (int k = 0; k < 2000; ++k) {
            ASSERT_EQ(coils[size_t(k)] != 0, simpattern::coil(station, first + k)) << station << "/" << first + k;
            ASSERT_EQ(inputs[size_t(k)] != 0, simpattern::discreteInput(station, first + k)) << station << "/" << first + k;
            ASSERT_TRUE(k >= 125 || regs[size_t(k)] == simpattern::holdingRegister(station, first + k)) << first + k;
        }
    }
    EXPECT_EQ(modbus_read_registers(rig.mb, 9999, 2, regs.data()), -1);  // past the end of memory
    EXPECT_EQ(errno, EMBXILADD);
    // A silent station times out without disturbing the next exchange.
    modbus_set_slave(rig.mb, 3);
    EXPECT_EQ(modbus_read_registers(rig.mb, 10, 1, regs.data()), -1);
    EXPECT_EQ(errno, ETIMEDOUT);
    modbus_set_slave(rig.mb, 2);
    ASSERT_EQ(modbus_read_registers(rig.mb, 10, 1, regs.data()), 1) << modbus_strerror(errno);
    EXPECT_EQ(regs[0], simpattern::holdingRegister(2, 10));
    // Without any gap: a write for an unserved station (variable length), then a read for station 1.
    Bytes burst = withCrc({5, 0x10, 0x00, 0x0A, 0x00, 0x02, 0x04, 0x01, 0x02, 0x03, 0x04});
    const Bytes read = withCrc({1, 0x03, 0x00, 0x14, 0x00, 0x02});
    burst.insert(burst.end(), read.begin(), read.end());
    EXPECT_EQ(rig.exchange(burst), withCrc({1, 0x03, 0x04, 0x03, 0xFC, 0x03, 0xFD}));  // 1020, 1021
    // A request with a bad CRC is noise: no answer, no effect.
    Bytes bad = withCrc({1, 0x06, 0x00, 0x20, 0x12, 0x34});
    bad.back() ^= 1;
    EXPECT_TRUE(rig.exchange(bad).empty());
    EXPECT_EQ(rig.sim.holdingRegister(1, 0x20), simpattern::holdingRegister(1, 0x20));
    EXPECT_EQ(rig.sim.counters().ignoredStation, 2);
    EXPECT_EQ(rig.sim.counters().ignoredBadCrc, 1);
}

TEST(SimController, ExceptionRangesAnswerWithTheirCode)
{
    SimOptions o;
    o.exceptions = {{1, 3, 100, 109, 2}, {1, 1, 50, 50, 4}, {1, 2, 10, 19, 0x0B}};
    Rig rig({1, 2}, o);
    enum Op { ReadHr, WriteHrs, ReadCoils, WriteCoil, ReadDi };
    const struct { int station; Op op; int addr, count, code; } cases[] = {
        {1, ReadHr, 95, 5, 0},  {1, ReadHr, 95, 6, 2},    {1, ReadHr, 110, 3, 0},   {1, WriteHrs, 108, 5, 2},
        {1, ReadDi, 19, 1, 11}, {1, ReadCoils, 0, 51, 4}, {1, WriteCoil, 50, 1, 4}, {2, ReadHr, 100, 10, 0},
    };
    for (const auto& c : cases) {
        modbus_set_slave(rig.mb, c.station);
        std::vector<uint16_t> regs(size_t(c.count), 0x5555);
        std::vector<uint8_t> bits(size_t(c.count), 1);
        const int rc = c.op == ReadHr      ? modbus_read_registers(rig.mb, c.addr, c.count, regs.data())
                       : c.op == WriteHrs  ? modbus_write_registers(rig.mb, c.addr, c.count, regs.data())
                       : c.op == ReadCoils ? modbus_read_bits(rig.mb, c.addr, c.count, bits.data())
                       : c.op == WriteCoil ? modbus_write_bit(rig.mb, c.addr, 1)
                                           : modbus_read_input_bits(rig.mb, c.addr, c.count, bits.data());
        EXPECT_EQ(rc, c.code ? -1 : c.count) << c.station << " op " << c.op << " at " << c.addr;
        if (c.code) {
            EXPECT_EQ(errno, MODBUS_ENOBASE + c.code) << modbus_strerror(errno);
        }
    }
    // A refused write leaves memory alone, also outside the range.
    EXPECT_EQ(rig.sim.holdingRegister(1, 112), simpattern::holdingRegister(1, 112));
    EXPECT_EQ(rig.sim.coil(1, 50), simpattern::coil(1, 50));
    EXPECT_EQ(rig.sim.counters().exceptions, 5);
}

// Held back and broken: the master sees a bad CRC no sooner than the delay, and the write took effect.
TEST(SimController, DelayedCorruptedAnswer)
{
    SimOptions o;
    o.corruptRate = 1;
    o.delayMs = 80;
    Rig rig({1}, o, 500);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(modbus_write_register(rig.mb, 6, 4321), -1);
    EXPECT_EQ(errno, EMBBADCRC) << modbus_strerror(errno);
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(80));
    EXPECT_EQ(rig.sim.holdingRegister(1, 6), 4321);
    EXPECT_EQ(rig.sim.counters().corrupted, 1);
}

TEST(SimController, DroppedRequestsAreTheOnlyTimeouts)
{
    SimOptions o;
    o.dropRate = 0.5;
    o.seed = 7;
    Rig rig({1}, o, 100);
    int timeouts = 0, held = simpattern::holdingRegister(1, 3);
    for (int i = 0; i < 24; ++i) {
        if (modbus_write_register(rig.mb, 3, 100 + i) == 1) {
            held = 100 + i;
        } else {
            EXPECT_EQ(errno, ETIMEDOUT) << modbus_strerror(errno);
            ++timeouts;
        }
        EXPECT_EQ(rig.sim.holdingRegister(1, 3), held);  // a dropped request has no effect
    }
    EXPECT_EQ(rig.sim.counters().dropped, timeouts);
    EXPECT_EQ(rig.sim.counters().answered, 24 - timeouts);
    EXPECT_GT(timeouts, 2);
    EXPECT_LT(timeouts, 22);
}
