#include "SimController.h"
#include "SimPattern.h"

#include <gtest/gtest.h>
#include <modbus.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <poll.h>
#include <pty.h>
#include <sstream>
#include <termios.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;
using Clock = std::chrono::steady_clock;

long msSince(Clock::time_point t)
{
    return long(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t).count());
}

Bytes withCrc(Bytes f)
{
    uint16_t crc = simCrc16(f.data(), f.size());
    f.push_back(crc & 0xFF);
    f.push_back(crc >> 8);
    return f;
}

// A simulator serving one side of a pty, and libmodbus's own master on the other.
class Rig {
public:
    explicit Rig(const SimOptions& opt, int responseTimeoutMs = 200) : sim(opt)
    {
        char name[256] = {};
        if (openpty(&master, &slave, name, nullptr, nullptr) != 0)
            throw std::runtime_error("openpty failed");
        for (int fd : {master, slave}) {
            termios tio{};
            tcgetattr(fd, &tio);
            cfmakeraw(&tio);
            tcsetattr(fd, TCSANOW, &tio);
        }
        path = name;
        server = std::thread([this] { serveResult = sim.serve(master, stop); });
        mb = modbus_new_rtu(path.c_str(), 115200, 'N', 8, 1);
        if (!mb || modbus_connect(mb) != 0)
            throw std::runtime_error("libmodbus cannot open " + path);
        modbus_set_response_timeout(mb, 0, uint32_t(responseTimeoutMs) * 1000);
        modbus_set_slave(mb, 1);
    }

    ~Rig()
    {
        shutdown();
        modbus_close(mb);
        modbus_free(mb);
        close(slave);
        close(master);
    }

    // Returns how long serve() took to notice stop.
    long shutdown()
    {
        if (!server.joinable())
            return 0;
        auto t = Clock::now();
        stop = true;
        server.join();
        return msSince(t);
    }

    void sendRaw(const Bytes& b) { ASSERT_EQ(write(slave, b.data(), b.size()), ssize_t(b.size())); }

    // Bytes arriving on the master's side until `quietMs` pass without any.
    Bytes receiveRaw(int quietMs = 50)
    {
        Bytes out;
        pollfd p{slave, POLLIN, 0};
        while (poll(&p, 1, quietMs) > 0) {
            uint8_t tmp[512];
            ssize_t n = read(slave, tmp, sizeof tmp);
            if (n <= 0)
                break;
            out.insert(out.end(), tmp, tmp + n);
        }
        return out;
    }

    SimController sim;
    modbus_t* mb = nullptr;
    int serveResult = 1;

private:
    int master = -1;
    int slave = -1;
    std::string path;
    std::atomic<bool> stop{false};
    std::thread server;
};

SimOptions quiet(std::vector<int> stations = {1})
{
    SimOptions o;
    o.stations = std::move(stations);
    o.animate = false;
    return o;
}

TEST(SimCrc, MatchesPublishedCheckValues)
{
    const uint8_t check[] = {'1', '2', '3', '4', '5', '6', '7', '8', '9'};
    EXPECT_EQ(simCrc16(check, sizeof check), 0x4B37);
    const uint8_t readOneReg[] = {0x01, 0x03, 0x00, 0x00, 0x00, 0x01};
    EXPECT_EQ(simCrc16(readOneReg, sizeof readOneReg), 0x0A84);  // on the wire: 84 0A
}

TEST(SimController, ReadsReturnInitialPatternOfEachStation)
{
    enum Area { Hr, Coils, Di };
    struct Case { Area area; int first; int count; };
    const Case cases[] = {
        {Hr, 0, 2}, {Hr, 2, 125}, {Hr, 9875, 125},
        {Coils, 0, 2000}, {Coils, 9990, 10}, {Coils, 13, 3},
        {Di, 0, 2000}, {Di, 9999, 1}, {Di, 5, 11},
    };
    Rig rig(quiet({1, 2, 200}));
    for (int station : {1, 2, 200}) {
        modbus_set_slave(rig.mb, station);
        for (const Case& c : cases) {
            SCOPED_TRACE("station " + std::to_string(station) + " area " + std::to_string(c.area) +
                         " first " + std::to_string(c.first));
            if (c.area == Hr) {
                std::vector<uint16_t> regs(size_t(c.count));
                ASSERT_EQ(modbus_read_registers(rig.mb, c.first, c.count, regs.data()), c.count) << modbus_strerror(errno);
                for (int i = 0; i < c.count; ++i)
                    ASSERT_EQ(regs[size_t(i)], simpattern::holdingRegister(station, c.first + i)) << "register " << c.first + i;
            } else {
                std::vector<uint8_t> bits(size_t(c.count));
                int rc = c.area == Coils ? modbus_read_bits(rig.mb, c.first, c.count, bits.data())
                                         : modbus_read_input_bits(rig.mb, c.first, c.count, bits.data());
                ASSERT_EQ(rc, c.count) << modbus_strerror(errno);
                for (int i = 0; i < c.count; ++i) {
                    bool expected = c.area == Coils ? simpattern::coil(station, c.first + i)
                                                    : simpattern::discreteInput(station, c.first + i);
                    ASSERT_EQ(bits[size_t(i)] != 0, expected) << "bit " << c.first + i;
                }
            }
        }
    }
}

TEST(SimController, ReadPastEndOfMemoryIsIllegalAddress)
{
    Rig rig(quiet());
    uint16_t regs[2];
    EXPECT_EQ(modbus_read_registers(rig.mb, 9999, 2, regs), -1);
    EXPECT_EQ(errno, EMBXILADD);
    EXPECT_EQ(rig.sim.counters().exceptions, 1);
}

TEST(SimController, WritesLandInControllerMemory)
{
    Rig rig(quiet({1, 2}));
    modbus_set_slave(rig.mb, 2);

    const bool before = rig.sim.coil(2, 100);
    ASSERT_EQ(modbus_write_bit(rig.mb, 100, !before), 1);
    EXPECT_EQ(rig.sim.coil(2, 100), !before);

    // 37 bits: spans five bytes with a partial last one.
    std::vector<uint8_t> bits(37);
    for (size_t i = 0; i < bits.size(); ++i)
        bits[i] = !simpattern::coil(2, 200 + int(i));
    ASSERT_EQ(modbus_write_bits(rig.mb, 200, int(bits.size()), bits.data()), int(bits.size()));
    for (size_t i = 0; i < bits.size(); ++i)
        EXPECT_EQ(rig.sim.coil(2, 200 + int(i)), bits[i] != 0) << "coil " << 200 + i;
    EXPECT_EQ(rig.sim.coil(2, 199), simpattern::coil(2, 199));
    EXPECT_EQ(rig.sim.coil(2, 237), simpattern::coil(2, 237));

    std::vector<uint16_t> regs(123);
    for (size_t i = 0; i < regs.size(); ++i)
        regs[i] = uint16_t(0xA000 + i * 3);
    ASSERT_EQ(modbus_write_registers(rig.mb, 300, int(regs.size()), regs.data()), int(regs.size()));
    for (size_t i = 0; i < regs.size(); ++i)
        EXPECT_EQ(rig.sim.holdingRegister(2, 300 + int(i)), regs[i]);
    EXPECT_EQ(rig.sim.holdingRegister(2, 299), simpattern::holdingRegister(2, 299));
    EXPECT_EQ(rig.sim.holdingRegister(2, 423), simpattern::holdingRegister(2, 423));

    ASSERT_EQ(modbus_write_register(rig.mb, 7, 0xBEEF), 1);
    EXPECT_EQ(rig.sim.holdingRegister(2, 7), 0xBEEF);

    // The other station is a separate memory.
    EXPECT_EQ(rig.sim.holdingRegister(1, 7), simpattern::holdingRegister(1, 7));
    EXPECT_EQ(rig.sim.coil(1, 100), simpattern::coil(1, 100));
}

TEST(SimController, SilentStationTimesOutWithoutDisturbingOthers)
{
    SimOptions o = quiet({1, 2});
    o.silentStations = {2};
    Rig rig(o);
    uint16_t reg = 0;
    modbus_set_slave(rig.mb, 2);
    EXPECT_EQ(modbus_read_registers(rig.mb, 10, 1, &reg), -1);
    EXPECT_EQ(errno, ETIMEDOUT);
    modbus_set_slave(rig.mb, 1);
    ASSERT_EQ(modbus_read_registers(rig.mb, 10, 1, &reg), 1);
    EXPECT_EQ(reg, simpattern::holdingRegister(1, 10));
    EXPECT_EQ(rig.sim.counters().ignoredStation, 1);
}

TEST(SimController, ExceptionRangesAnswerWithTheirCode)
{
    SimOptions o = quiet({1, 2});
    o.exceptions = {{1, 3, 100, 109, 2}, {1, 1, 50, 50, 4}, {1, 2, 10, 19, 0x0B}};
    Rig rig(o);

    enum Op { ReadHr, WriteHr, WriteHrs, ReadCoils, WriteCoil, ReadDi };
    struct Case { int station; Op op; int addr; int count; int code; };
    const Case cases[] = {
        {1, ReadHr, 95, 5, 0},  {1, ReadHr, 95, 6, 2},   {1, ReadHr, 109, 1, 2}, {1, ReadHr, 110, 3, 0},
        {1, WriteHr, 109, 1, 2}, {1, WriteHr, 99, 1, 0},  {1, WriteHrs, 108, 5, 2},
        {1, ReadCoils, 0, 50, 0}, {1, ReadCoils, 0, 51, 4}, {1, WriteCoil, 50, 1, 4}, {1, WriteCoil, 51, 1, 0},
        {1, ReadDi, 19, 1, 0x0B}, {1, ReadDi, 20, 100, 0}, {1, ReadDi, 0, 10, 0},
        {2, ReadHr, 100, 10, 0},  {2, WriteCoil, 50, 1, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE("station " + std::to_string(c.station) + " op " + std::to_string(c.op) + " addr " +
                     std::to_string(c.addr) + " count " + std::to_string(c.count));
        modbus_set_slave(rig.mb, c.station);
        std::vector<uint16_t> regs(size_t(c.count), 0x5555);
        std::vector<uint8_t> bits(size_t(c.count), 1);
        int rc = -1;
        switch (c.op) {
        case ReadHr: rc = modbus_read_registers(rig.mb, c.addr, c.count, regs.data()); break;
        case WriteHr: rc = modbus_write_register(rig.mb, c.addr, 0x5555); break;
        case WriteHrs: rc = modbus_write_registers(rig.mb, c.addr, c.count, regs.data()); break;
        case ReadCoils: rc = modbus_read_bits(rig.mb, c.addr, c.count, bits.data()); break;
        case WriteCoil: rc = modbus_write_bit(rig.mb, c.addr, 1); break;
        case ReadDi: rc = modbus_read_input_bits(rig.mb, c.addr, c.count, bits.data()); break;
        }
        if (c.code) {
            EXPECT_EQ(rc, -1);
            EXPECT_EQ(errno, MODBUS_ENOBASE + c.code) << modbus_strerror(errno);
        } else {
            EXPECT_EQ(rc, c.count) << modbus_strerror(errno);
        }
    }
    // A refused write must leave memory alone, including the part outside the range.
    for (int r = 108; r < 113; ++r)
        EXPECT_EQ(rig.sim.holdingRegister(1, r), simpattern::holdingRegister(1, r)) << "register " << r;
    EXPECT_EQ(rig.sim.coil(1, 50), simpattern::coil(1, 50));
    EXPECT_EQ(rig.sim.holdingRegister(1, 99), 0x5555);
    EXPECT_EQ(rig.sim.counters().exceptions, 7);
}

TEST(SimController, CorruptedAnswerFailsMastersCrcCheckButWriteTakesEffect)
{
    SimOptions o = quiet();
    o.corruptRate = 1;
    Rig rig(o);
    uint16_t reg;
    EXPECT_EQ(modbus_read_registers(rig.mb, 5, 1, &reg), -1);
    EXPECT_EQ(errno, EMBBADCRC) << modbus_strerror(errno);
    EXPECT_EQ(modbus_write_register(rig.mb, 6, 4321), -1);
    EXPECT_EQ(errno, EMBBADCRC) << modbus_strerror(errno);
    EXPECT_EQ(rig.sim.holdingRegister(1, 6), 4321);
    SimController::Counters c = rig.sim.counters();
    EXPECT_EQ(c.corrupted, 2);
    EXPECT_EQ(c.answered, 2);
}

TEST(SimController, AlternatingStationsStayInFrameSync)
{
    Rig rig(quiet({1, 2, 3}));
    for (int i = 0; i < 60; ++i) {
        int station = 1 + i % 3;
        int addr = 2 + (i * 37) % 9000;
        modbus_set_slave(rig.mb, station);
        uint16_t reg = 0;
        ASSERT_EQ(modbus_read_registers(rig.mb, addr, 1, &reg), 1) << "request " << i << ": " << modbus_strerror(errno);
        ASSERT_EQ(reg, simpattern::holdingRegister(station, addr)) << "request " << i;
    }
    // A station nobody serves, then straight back to a served one.
    uint16_t reg = 0;
    modbus_set_slave(rig.mb, 9);
    EXPECT_EQ(modbus_read_registers(rig.mb, 2, 1, &reg), -1);
    modbus_set_slave(rig.mb, 2);
    ASSERT_EQ(modbus_read_registers(rig.mb, 2, 1, &reg), 1) << modbus_strerror(errno);
    EXPECT_EQ(reg, simpattern::holdingRegister(2, 2));
}

TEST(SimController, BackToBackFramesForOtherStationsAreSkippedExactly)
{
    Rig rig(quiet({1}));
    // Without any gap: a write for station 5 (variable length), then a read for station 1.
    Bytes burst = withCrc({5, 0x10, 0x00, 0x0A, 0x00, 0x02, 0x04, 0x01, 0x02, 0x03, 0x04});
    Bytes read = withCrc({1, 0x03, 0x00, 0x14, 0x00, 0x02});
    burst.insert(burst.end(), read.begin(), read.end());
    rig.sendRaw(burst);
    EXPECT_EQ(rig.receiveRaw(), withCrc({1, 0x03, 0x04, 0x03, 0xFC, 0x03, 0xFD}));  // 1020, 1021
    EXPECT_EQ(rig.sim.counters().ignoredStation, 1);
    EXPECT_EQ(rig.sim.counters().ignoredBadCrc, 0);
}

TEST(SimController, BadCrcRequestIsIgnoredAndLineRecovers)
{
    Rig rig(quiet());
    Bytes bad = withCrc({1, 0x06, 0x00, 0x20, 0x12, 0x34});
    bad.back() ^= 1;
    rig.sendRaw(bad);
    EXPECT_TRUE(rig.receiveRaw().empty());
    EXPECT_EQ(rig.sim.holdingRegister(1, 0x20), simpattern::holdingRegister(1, 0x20));
    EXPECT_EQ(rig.sim.counters().ignoredBadCrc, 1);

    Bytes good = withCrc({1, 0x06, 0x00, 0x20, 0x12, 0x34});
    rig.sendRaw(good);
    EXPECT_EQ(rig.receiveRaw(), good);  // a write single register answer echoes the request
    EXPECT_EQ(rig.sim.holdingRegister(1, 0x20), 0x1234);
}

TEST(SimController, FrameGapDecidesWhetherPiecesFormOneFrame)
{
    SimOptions o = quiet();
    o.frameGapUs = 30000;  // generous so scheduling noise cannot fake a gap
    Rig rig(o);
    const Bytes req = withCrc({1, 0x03, 0x00, 0x02, 0x00, 0x01});
    const Bytes head(req.begin(), req.begin() + 3), tail(req.begin() + 3, req.end());

    rig.sendRaw(head);
    std::this_thread::sleep_for(std::chrono::milliseconds(3));
    rig.sendRaw(tail);
    EXPECT_EQ(rig.receiveRaw(), withCrc({1, 0x03, 0x02, 0x03, 0xEA}));  // 1002

    rig.sendRaw(head);
    std::this_thread::sleep_for(std::chrono::milliseconds(120));
    rig.sendRaw(tail);
    EXPECT_TRUE(rig.receiveRaw(120).empty());
    EXPECT_EQ(rig.sim.counters().ignoredBadCrc, 2);
}

TEST(SimController, FunctionOfUnknownLengthIsTakenAtSilence)
{
    Rig rig(quiet());
    rig.sendRaw(withCrc({1, 0x11}));  // report server id: libmodbus answers it
    Bytes answer = rig.receiveRaw();
    ASSERT_GE(answer.size(), 5u);
    EXPECT_EQ(answer[0], 1);
    EXPECT_EQ(answer[1], 0x11);
    EXPECT_EQ(simCrc16(answer.data(), answer.size() - 2), answer[answer.size() - 2] | answer.back() << 8);
}

TEST(SimController, BroadcastWriteReachesEveryAnsweringStationSilently)
{
    SimOptions o = quiet({1, 2, 3});
    o.silentStations = {3};
    Rig rig(o);
    rig.sendRaw(withCrc({0, 0x06, 0x01, 0xF4, 0x12, 0x34}));
    EXPECT_TRUE(rig.receiveRaw(80).empty());
    EXPECT_EQ(rig.sim.holdingRegister(1, 500), 0x1234);
    EXPECT_EQ(rig.sim.holdingRegister(2, 500), 0x1234);
    EXPECT_EQ(rig.sim.holdingRegister(3, 500), simpattern::holdingRegister(3, 500));
}

TEST(SimController, DroppedRequestsAreTheOnlyTimeouts)
{
    SimOptions o = quiet();
    o.dropRate = 0.5;
    o.seed = 7;
    Rig rig(o, 60);
    int timeouts = 0;
    for (int i = 0; i < 24; ++i) {
        uint16_t reg;
        if (modbus_read_registers(rig.mb, 3, 1, &reg) == 1)
            EXPECT_EQ(reg, simpattern::holdingRegister(1, 3));
        else if (errno == ETIMEDOUT)
            ++timeouts;
        else
            ADD_FAILURE() << modbus_strerror(errno);
    }
    SimController::Counters c = rig.sim.counters();
    EXPECT_EQ(c.dropped, timeouts);
    EXPECT_EQ(c.answered, 24 - timeouts);
    EXPECT_GT(timeouts, 2);
    EXPECT_LT(timeouts, 22);
}

TEST(SimController, DelayHoldsBackTheAnswer)
{
    SimOptions o = quiet();
    o.delayMs = 80;
    Rig rig(o, 500);
    uint16_t reg;
    auto t = Clock::now();
    ASSERT_EQ(modbus_read_registers(rig.mb, 4, 1, &reg), 1) << modbus_strerror(errno);
    EXPECT_GE(msSince(t), 80);
}

TEST(SimController, AnimationCountsAndWavesWithoutTouchingOtherRegisters)
{
    SimOptions o;
    o.animate = true;
    Rig rig(o);
    ASSERT_EQ(modbus_write_register(rig.mb, 0, 1000), 1);
    ASSERT_EQ(modbus_write_register(rig.mb, 2, 77), 1);
    std::this_thread::sleep_for(std::chrono::milliseconds(350));
    uint16_t regs[3];
    ASSERT_EQ(modbus_read_registers(rig.mb, 0, 3, regs), 3);
    EXPECT_GE(regs[0], 1003);  // counts on from what the master wrote
    EXPECT_LE(regs[0], 1006);
    EXPECT_GE(regs[1], 500);  // first quarter of the 10 s wave rises from 500
    EXPECT_LE(regs[1], 750);
    EXPECT_EQ(regs[2], 77);
}

TEST(SimController, ServeNoticesStopQuickly)
{
    Rig rig(quiet());
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    EXPECT_LT(rig.shutdown(), 150);
    EXPECT_EQ(rig.serveResult, 0);
}

TEST(SimController, DumpShowsMemoryPackedLowBitFirst)
{
    Rig rig(quiet({2}));
    modbus_set_slave(rig.mb, 2);
    ASSERT_EQ(modbus_write_bit(rig.mb, 0, 1), 1);
    rig.shutdown();
    char tmpl[] = "/tmp/plcsim_dump_XXXXXX";
    int fd = mkstemp(tmpl);
    ASSERT_GE(fd, 0);
    close(fd);
    ASSERT_TRUE(rig.sim.dumpJson(tmpl));
    std::ifstream in(tmpl);
    std::stringstream ss;
    ss << in.rdbuf();
    std::remove(tmpl);
    const std::string json = ss.str();
    EXPECT_EQ(json.rfind("{\"stations\":{\"2\":{\"hr\":[0,0,2002,2003,", 0), 0u) << json.substr(0, 80);
    // Station 2 coils start on at 1, 4, 7 (0x92) plus coil 0 written on; inputs on at even addresses.
    size_t coils = json.find("\"coils\":\"93");
    ASSERT_NE(coils, std::string::npos);
    EXPECT_EQ(json.find('"', coils + 9) - (coils + 9), 250u);
    EXPECT_NE(json.find("\"di\":\"5555"), std::string::npos);
    EXPECT_NE(json.find("\"counters\":{\"requests\":1,\"answered\":1,"), std::string::npos);
}

}  // namespace
