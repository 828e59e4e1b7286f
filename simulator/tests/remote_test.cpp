// The simulated remote end: the driver's remote frames in, answers out, in
// hex. Requests are the driver's layout: length, class, write flag, device,
// station, kind (2 bytes), address (4), length (2), bit mode (4), spare (4),
// the value bytes of a write, then the 8-bit sum (appended here). Answers
// are shown without their CRC, which is checked on its own.
#include "SimController.h"
#include "SimRemote.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <poll.h>
#include <sstream>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

Bytes fromHex(const std::string& text)
{
    Bytes out;
    std::istringstream in(text);
    for (unsigned v; in >> std::hex >> v;)
        out.push_back(static_cast<uint8_t>(v));
    return out;
}

std::string toHex(const Bytes& bytes, size_t n)
{
    std::string out;
    char item[4];
    for (size_t i = 0; i < n && i < bytes.size(); ++i) {
        std::snprintf(item, sizeof item, i ? " %02X" : "%02X", bytes[i]);
        out += item;
    }
    return out;
}

// A request from its header and value bytes: length byte and sum set here.
Bytes request(const std::string& header, const std::string& data = "")
{
    Bytes f = fromHex("00 " + header + " " + data);
    f[0] = static_cast<uint8_t>(f.size() + 1);
    unsigned sum = 0;
    for (uint8_t b : f)
        sum += b;
    f.push_back(static_cast<uint8_t>(sum));
    return f;
}

// The header of a request of class 01 and device 02, bit mode and spare 0.
std::string header(int write, int station, int kind, int address, int length)
{
    char text[80];
    std::snprintf(text, sizeof text, "01 %02X 02 %02X 00 %02X 00 00 00 %02X 00 %02X 00 00 00 00 00 00 00 00", write,
                  station, kind, address, length);
    return text;
}

struct Memory {
    modbus_mapping_t* m = modbus_mapping_new(64, 64, 64, 64);
    Memory()
    {
        for (int i = 0; i < 64; ++i) {
            m->tab_registers[i] = static_cast<uint16_t>(0x1000 + i);
            m->tab_input_registers[i] = static_cast<uint16_t>(0x2000 + i);
            m->tab_bits[i] = i % 3 == 2;
            m->tab_input_bits[i] = i % 2;
        }
    }
    ~Memory() { modbus_mapping_free(m); }
};

}  // namespace

// Reads and writes of every kind the driver sends, checked against plc-sim's
// memory, are the round trip's (host_it.py roundtrip, remote transport); here
// the answers no plc-host run shows: refusals, and reads of the areas it
// does not read through a remote end.
TEST(SimRemote, ServesWhatTheRoundTripDoesNotShow)
{
    // station 07
    const struct {
        const char* name;
        int write, kind, address, length;
        const char *data, *answer;
    } cases[] = {
        {"input registers", 0, 14, 5, 1, "", "07 07 00 20 05"},
        {"coil words read like coil bytes", 0, 7, 0, 1, "", "06 07 00 24"},
        {"a read of a bit kind: refused", 0, 2, 0, 1, "", "05 07 01"},
        {"beyond memory: refused", 0, 8, 0x3F, 2, "", "05 07 02"},
        {"input registers are read-only", 1, 14, 0, 1, "12 34", "05 07 01"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Memory mem;
        const Bytes f = request(header(c.write, 7, c.kind, c.address, c.length), c.data);
        simremote::Written written;
        const Bytes answer = simremote::serve(*mem.m, f.data(), f.size(), written);
        ASSERT_GE(answer.size(), 2u);
        EXPECT_EQ(toHex(answer, answer.size() - 2), c.answer);
        EXPECT_EQ(answer[0], answer.size());
        const uint16_t crc = simCrc16(answer.data(), answer.size() - 2);
        EXPECT_EQ(answer[answer.size() - 2] | answer.back() << 8, crc);
        EXPECT_EQ(mem.m->tab_registers[0], 0x1000);  // nothing written, in any area
        EXPECT_EQ(mem.m->tab_input_registers[0], 0x2000);
    }
}

// Through the controller: a bad sum is refused, a broadcast is applied to
// every station and answered by none, an unserved station hears nothing.
TEST(SimRemote, SumsBroadcastsAndStations)
{
    SimOptions o;
    o.stations = {1, 2};
    o.animate = false;
    o.remote = true;
    SimController sim(o);
    int fds[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
    std::atomic<bool> stop{false};
    std::thread server([&] { sim.serve(fds[0], stop); });
    const auto roundTrip = [&](Bytes f) {
        EXPECT_EQ(write(fds[1], f.data(), f.size()), ssize_t(f.size()));
        Bytes out(64);
        pollfd p{fds[1], POLLIN, 0};
        const ssize_t n = poll(&p, 1, 500) > 0 ? read(fds[1], out.data(), out.size()) : 0;
        out.resize(n > 0 ? size_t(n) : 0);
        return toHex(out, out.size() >= 2 ? out.size() - 2 : 0);
    };
    Bytes bad = request(header(0, 1, 8, 10, 1));
    bad.back() ^= 1;
    EXPECT_EQ(roundTrip(bad), "05 01 03");
    EXPECT_EQ(roundTrip(request(header(1, 0, 8, 10, 1), "BE EF")), "");
    EXPECT_EQ(sim.holdingRegister(1, 10), 0xBEEF);
    EXPECT_EQ(sim.holdingRegister(2, 10), 0xBEEF);
    EXPECT_EQ(roundTrip(request(header(0, 3, 8, 10, 1))), "");
    EXPECT_EQ(roundTrip(request(header(0, 2, 8, 10, 1))), "07 02 00 BE EF");
    stop = true;
    server.join();
    close(fds[0]);
    close(fds[1]);
}
