#include "SimController.h"

#include "SerialLine.h"
#include "SimPattern.h"
#include "RemoteAnswer.h"
#include "SimRemote.h"

#include <modbus.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <map>
#include <mutex>
#include <poll.h>
#include <sys/stat.h>
#include <random>
#include <stdexcept>
#include <thread>
#include <unistd.h>

namespace {

using Clock = std::chrono::steady_clock;

constexpr size_t kMaxAdu = 256;                               // longest legal RTU frame
constexpr int kIdlePollMs = 50;                               // upper bound on how late `stop` is noticed
constexpr std::chrono::milliseconds kPartialRequestWait{20};  // silence inside a request of known length
constexpr int kDumpCount = 1000;
constexpr double kPi = 3.14159265358979323846;

enum Area { kCoils = kSimCoils, kDiscreteInputs = kSimDiscreteInputs, kHoldingRegisters = kSimHoldingRegisters };

uint16_t be16(const uint8_t* p) { return static_cast<uint16_t>((p[0] << 8) | p[1]); }

// Length of the request at the head of buf, or 0 while it cannot be told yet
// (too few bytes, or a function whose length we do not compute).
size_t expectedRequestLength(const uint8_t* buf, size_t have)
{
    if (have < 2)
        return 0;
    switch (buf[1]) {
    case 0x01:
    case 0x02:
    case 0x03:
    case 0x04:
    case 0x05:
    case 0x06: return 8;
    case 0x0F:
    case 0x10: return have < 7 ? 0 : 9 + size_t(buf[6]);
    case 0x16: return 10;
    case 0x17: return have < 11 ? 0 : 13 + size_t(buf[10]);
    case 0x11: return 4;
    case 0x2B: return 7;
    default: return 0;
    }
}

bool crcOk(const uint8_t* frame, size_t len)
{
    if (len < 4)
        return false;
    uint16_t crc = simCrc16(frame, len - 2);
    return frame[len - 2] == (crc & 0xFF) && frame[len - 1] == (crc >> 8);
}

struct Touch {
    int area;
    int first;
    int last;
};

// Memory ranges a request reads or writes (function 0x17 touches two).
std::vector<Touch> touchedRanges(const uint8_t* f, size_t len)
{
    std::vector<Touch> out;
    if (len < 8)
        return out;
    int addr = be16(f + 2);
    int nb = be16(f + 4);
    auto add = [&](int area, int a, int n) {
        if (n > 0)
            out.push_back({area, a, a + n - 1});
    };
    switch (f[1]) {
    case 0x01:
    case 0x0F: add(kCoils, addr, nb); break;
    case 0x05: add(kCoils, addr, 1); break;
    case 0x02: add(kDiscreteInputs, addr, nb); break;
    case 0x04: add(kSimInputRegisters, addr, nb); break;
    case 0x03:
    case 0x10: add(kHoldingRegisters, addr, nb); break;
    case 0x06:
    case 0x16: add(kHoldingRegisters, addr, 1); break;
    case 0x17:
        add(kHoldingRegisters, addr, nb);
        if (len >= 13)
            add(kHoldingRegisters, be16(f + 6), be16(f + 8));
        break;
    default: break;
    }
    return out;
}

}  // namespace

std::vector<uint8_t> simIdentityAnswer(const SimOptions& o, const uint8_t* f, size_t len)
{
    std::vector<uint8_t> out;
    if (len < 4 || (f[1] != 0x11 && f[1] != 0x2B))
        return out;
    auto exception = [&](uint8_t code) { return std::vector<uint8_t>{f[0], uint8_t(f[1] | 0x80), code}; };
    if (f[1] == 0x11) {
        // Byte count, server id (the station), run indicator on, then the texts.
        const std::string text = o.vendor + " " + o.product + " " + o.revision;
        const size_t n = std::min<size_t>(text.size(), 250 - 2);
        out = {f[0], 0x11, uint8_t(n + 2), f[0], 0xFF};
        out.insert(out.end(), text.begin(), text.begin() + long(n));
        return out;
    }
    if (len < 7 || f[2] != 0x0E)
        return exception(0x01);
    const uint8_t code = f[3];
    uint8_t id = f[4];
    const std::string* objects[] = {&o.vendor, &o.product, &o.revision};
    const uint8_t count = 3;
    if (code < 1 || code > 4)
        return exception(0x03);
    if (id >= count) {
        if (code == 4)
            return exception(0x02);
        id = 0;  // a stream starts again from the first object
    }
    // Conformity 0x81: the basic objects, as a stream and one at a time.
    out = {f[0], 0x2B, 0x0E, code, 0x81, 0x00, 0x00, 0x00};
    const uint8_t last = code == 4 ? id : count - 1;
    for (uint8_t k = id; k <= last; ++k) {
        const std::string& text = *objects[k];
        const size_t n = std::min<size_t>(text.size(), 64);
        out.push_back(k);
        out.push_back(uint8_t(n));
        out.insert(out.end(), text.begin(), text.begin() + long(n));
        ++out[7];
    }
    return out;
}

void simAppendCrc(std::vector<uint8_t>& frame)
{
    uint16_t crc = simCrc16(frame.data(), frame.size());
    frame.push_back(crc & 0xFF);
    frame.push_back(crc >> 8);
}

void simPaceLine(SimOptions& o, long baud, char parity, int dataBits, int stopBits)
{
    const serialline::LineSettings line{baud, parity, dataBits, stopBits};
    o.paceCharUs = serialline::charUs(line);
    o.paceGapUs = serialline::frameGapUs(line);
}

uint16_t simCrc16(const uint8_t* data, size_t len)
{
    uint16_t crc = 0xFFFF;
    for (size_t i = 0; i < len; ++i) {
        crc ^= data[i];
        for (int b = 0; b < 8; ++b)
            crc = (crc & 1) ? static_cast<uint16_t>((crc >> 1) ^ 0xA001) : static_cast<uint16_t>(crc >> 1);
    }
    return crc;
}

struct SimController::Impl {
    SimOptions opt;
    mutable std::mutex mu;  // guards maps and counters
    std::map<int, modbus_mapping_t*> maps;
    // (station, area) -> the address ranges held (--map), sorted, touching ones joined.
    std::map<std::pair<int, int>, std::vector<std::pair<int, int>>> held_ranges;
    Counters cnt{};
    modbus_t* ctx = nullptr;
    int capture[2] = {-1, -1};  // modbus_reply writes here; we read the answer back to shape it
    std::mt19937 rng;
    std::uniform_real_distribution<double> uni{0.0, 1.0};
    serialline::WakeMargin wakeMargin;  // paced answers; only the serving thread uses it

    bool animStarted = false;
    Clock::time_point animStart;
    long animTicks = 0;

    // Units the master has written, per station; only kept while tags move.
    struct Held {
        std::vector<bool> coils = std::vector<bool>(simpattern::kAreaSize);
        std::vector<bool> regs = std::vector<bool>(simpattern::kAreaSize);
    };
    std::map<int, Held> held;
    Clock::time_point lastTagMove;
    long lastCount = 0;

    explicit Impl(const SimOptions& o) : opt(o), rng(o.seed) {}

    ~Impl()
    {
        if (ctx)
            modbus_free(ctx);
        for (auto& m : maps)
            modbus_mapping_free(m.second);
        for (int fd : capture)
            if (fd >= 0)
                close(fd);
    }

    const modbus_mapping_t* mapFor(int station) const
    {
        auto it = maps.find(station);
        return it == maps.end() ? nullptr : it->second;
    }

    bool answers(int station) const { return maps.count(station) && !opt.silentStations.count(station); }

    int exceptionFor(int station, const uint8_t* f, size_t len) const
    {
        if (opt.exceptions.empty() && held_ranges.empty())
            return 0;
        for (const Touch& t : touchedRanges(f, len)) {
            for (const SimExceptionRange& e : opt.exceptions)
                if (e.station == station && e.area == t.area && t.first <= e.last && e.first <= t.last)
                    return e.code;
            if (!holds(station, t))
                return 2;  // illegal data address
        }
        return 0;
    }

    // Whether a sparse station holds every address of the touch (stations
    // without --map for the area hold them all).
    bool holds(int station, const Touch& t) const
    {
        const auto it = held_ranges.find({station, t.area});
        if (it == held_ranges.end())
            return true;
        const std::vector<std::pair<int, int>>& r = it->second;
        auto at = std::upper_bound(r.begin(), r.end(), std::make_pair(t.first, 65536));
        return at != r.begin() && std::prev(at)->first <= t.first && std::prev(at)->second >= t.last;
    }

    void animate()
    {
        if (!opt.animate)
            return;
        Clock::time_point now = Clock::now();
        if (!animStarted) {
            animStarted = true;
            animStart = now;
            lastTagMove = now;
        }
        double t = std::chrono::duration<double>(now - animStart).count();
        if (!opt.tags.empty()) {
            // Tags move at 20 Hz at most, however busy the line.
            if (now - lastTagMove >= std::chrono::milliseconds(50)) {
                lastTagMove = now;
                std::lock_guard<std::mutex> lk(mu);
                moveTags(t, false);
            }
            return;
        }
        long ticks = static_cast<long>(t * 10.0);
        auto wave = static_cast<uint16_t>(std::lround(500.0 + 500.0 * std::sin(2.0 * kPi * t / 10.0)));
        std::lock_guard<std::mutex> lk(mu);
        // Counting on from the current value keeps a master's write to register 0 meaningful.
        auto step = static_cast<uint16_t>(ticks - animTicks);
        animTicks = ticks;
        for (auto& m : maps) {
            m.second->tab_registers[0] = static_cast<uint16_t>(m.second->tab_registers[0] + step);
            m.second->tab_registers[1] = wave;
        }
    }

    // Each tag item at time t (s). `initial` sets the starting values of
    // counters; after that they count on from whatever the memory holds.
    void moveTags(double t, bool initial)
    {
        const long counts = static_cast<long>(t * 4.0);
        const long countStep = initial ? 0 : counts - lastCount;
        lastCount = counts;
        for (size_t index = 0; index < opt.tags.size(); ++index) {
            const SimTag& tag = opt.tags[index];
            auto it = maps.find(tag.station);
            if (it == maps.end())
                continue;
            Held& h = held[tag.station];
            const int area = tag.kind < 12 ? tag.kind % 3 : 3, width = tag.kind < 12 ? tag.kind / 3 : tag.kind - 12;
            if (area < 2 || tag.motion == SimTag::Toggle || width == 0) {
                toggleBits(it->second, h, area, width, tag, t);
                continue;
            }
            uint16_t* regs = area == 3 ? it->second->tab_input_registers : it->second->tab_registers;
            if (tag.store) {
                storeReadings(regs, area == 2 ? &h : nullptr, tag, index, t);
                continue;
            }
            const double phase = 1.3 * double(index);
            for (int i = 0; i < tag.count; ++i) {
                const long u = long(tag.address) + i;
                if ((width == 1 ? u / 2 : width == 3 ? 2 * u + 1 : u) >= simpattern::kAreaSize)
                    break;
                if (tag.motion != SimTag::Counter && area == 2 && itemHeld(h, width, u))
                    continue;
                uint32_t v = 0;
                switch (tag.motion) {
                case SimTag::Steps: v = uint32_t(1 + (long(t / 8.0) + i) % 4); break;
                case SimTag::Ramp: v = uint32_t((long(t * 2.0) + 25 * i + 10 * long(index)) % 100); break;
                case SimTag::Counter:
                    v = initial ? uint32_t(120000 + 1000 * index + 100 * i)
                                : getItem(regs, width, u) + uint32_t(countStep);
                    break;
                default: {
                    const double x = 12.5 + 1.5 * std::sin(2 * kPi * t / 40.0 + phase + 0.9 * i) +
                                     0.08 * std::sin(2 * kPi * t / 3.1 + 2 * phase);
                    if (width == 3) {
                        const float f = static_cast<float>(x);
                        std::memcpy(&v, &f, sizeof v);
                    } else {
                        v = uint32_t(std::lround(x));
                    }
                }
                }
                setItem(regs, width, u, v);
            }
        }
    }

    // A meter's readings at time t (s), stored by the tag's own codec.
    static double reading(SimTag::Motion motion, double t, double phase)
    {
        const double volts = 230.0 + 3.0 * std::sin(2 * kPi * t / 47.0 + phase);
        const double amps = 8.0 + 4.0 * std::sin(2 * kPi * t / 31.0 + phase);
        const double pf = 0.915 + 0.065 * std::sin(2 * kPi * t / 23.0 + phase);
        switch (motion) {
        case SimTag::Voltage: return volts;
        case SimTag::Current: return amps;
        case SimTag::PowerFactor: return pf;
        case SimTag::Power: return volts * amps * pf;
        case SimTag::Frequency: return 50.0 + 0.05 * std::sin(2 * kPi * t / 17.0 + phase);
        case SimTag::Energy: return 1520.0 + 0.01 * t;  // a hundredth a second
        case SimTag::Counter: return 120000.0 + 4.0 * t;
        default: return 12.5 + 1.5 * std::sin(2 * kPi * t / 40.0 + phase);
        }
    }

    static void storeReadings(uint16_t* regs, const Held* h, const SimTag& tag, size_t index, double t)
    {
        const int n = std::max(1, tag.registers);
        for (int i = 0; i + n <= tag.count; i += n) {
            const long first = long(tag.address) + i;
            if (first + n > simpattern::kAreaSize)
                break;
            if (h && h->regs[size_t(first)])
                continue;  // written by the master: kept
            // Three phases of one meter differ a little.
            tag.store(reading(tag.motion, t, 0.7 * double(i / n) + 0.1 * double(index % 3)), regs + first);
        }
    }

    static void toggleBits(modbus_mapping_t* m, Held& h, int area, int width, const SimTag& tag, double t)
    {
        const long bitsPerItem = width == 0 ? 1 : 4L << width;
        const long first = long(tag.address) * bitsPerItem;
        for (long c = first; c < first + tag.count * bitsPerItem; ++c) {
            // A single bit always moves; of a group only every fourth bit, so that
            // its value changes about once a second, not at every glance.
            if (width != 0 && c % 4 != 1)
                continue;
            const int period = 3 + int(c * 5 % 13);
            const bool on = long(t / period + 0.37 * double(c % 7)) % 2;
            if (area == 0 && c < simpattern::kAreaSize)
                m->tab_input_bits[c] = on;
            else if (area == 1 && c < simpattern::kAreaSize && !h.coils[size_t(c)])
                m->tab_bits[c] = on;
            else if (area >= 2 && c / 16 < simpattern::kAreaSize) {
                // Input registers are never written; a written holding register keeps its value.
                const size_t reg = size_t(c / 16);
                const bool written = area == 2 && h.regs[reg];
                if (written)
                    continue;
                const auto mask = static_cast<uint16_t>(1u << (c % 16));
                uint16_t* regs = area == 3 ? m->tab_input_registers : m->tab_registers;
                regs[reg] = static_cast<uint16_t>(on ? (regs[reg] | mask) : (regs[reg] & ~mask));
            }
        }
    }

    // Holding-register items of a width: a byte is half a register (odd bytes
    // are high halves), a double word is two registers, low one first.
    static bool itemHeld(const Held& h, int width, long u)
    {
        const long reg = width == 1 ? u / 2 : width == 3 ? 2 * u : u;
        return h.regs[size_t(reg)] || (width == 3 && h.regs[size_t(reg + 1)]);
    }

    static uint32_t getItem(const uint16_t* r, int width, long u)
    {
        if (width == 1)
            return u % 2 ? r[u / 2] >> 8 : r[u / 2] & 0xFFu;
        return width == 3 ? r[2 * u] | uint32_t(r[2 * u + 1]) << 16 : r[u];
    }

    static void setItem(uint16_t* r, int width, long u, uint32_t v)
    {
        if (width == 1) {
            uint16_t& reg = r[u / 2];
            reg = static_cast<uint16_t>(u % 2 ? (reg & 0x00FF) | (v & 0xFF) << 8 : (reg & 0xFF00) | (v & 0xFF));
        } else if (width == 3) {
            r[2 * u] = static_cast<uint16_t>(v);
            r[2 * u + 1] = static_cast<uint16_t>(v >> 16);
        } else {
            r[u] = static_cast<uint16_t>(v);
        }
    }

    // Coils and registers a write just changed stop moving.
    void holdWritten(int station, const uint8_t* f, size_t len)
    {
        if (opt.tags.empty() || (f[1] != 0x05 && f[1] != 0x0F && f[1] != 0x06 && f[1] != 0x10 && f[1] != 0x17))
            return;
        std::vector<Touch> ranges = touchedRanges(f, len);
        if (f[1] == 0x17)
            ranges.erase(ranges.begin());  // the read half
        Held& h = held[station];
        for (const Touch& r : ranges) {
            std::vector<bool>& units = r.area == kCoils ? h.coils : h.regs;
            for (int u = r.first; u <= r.last && u < simpattern::kAreaSize; ++u)
                units[size_t(u)] = true;
        }
    }

    // Lets libmodbus execute the request on the station's memory and returns
    // the answer it produced (empty for broadcasts).
    std::vector<uint8_t> libmodbusReply(modbus_mapping_t* map, const uint8_t* f, size_t len)
    {
        std::vector<uint8_t> out;
        modbus_set_slave(ctx, f[0]);
        int rc = modbus_reply(ctx, f, static_cast<int>(len), map);
        if (rc <= 0)
            return out;
        out.resize(kMaxAdu + 8);
        ssize_t n = read(capture[0], out.data(), out.size());
        out.resize(n > 0 ? size_t(n) : 0);
        return out;
    }

    bool sleepUnlessStopped(int ms, const std::atomic<bool>& stop)
    {
        Clock::time_point end = Clock::now() + std::chrono::milliseconds(ms);
        while (!stop.load()) {
            Clock::time_point now = Clock::now();
            if (now >= end)
                return true;
            std::this_thread::sleep_for(std::min<Clock::duration>(end - now, std::chrono::milliseconds(kIdlePollMs)));
        }
        return false;
    }

    void writeAll(int fd, const std::vector<uint8_t>& data, const std::atomic<bool>& stop)
    {
        size_t done = 0;
        while (done < data.size() && !stop.load()) {
            ssize_t n = write(fd, data.data() + done, data.size() - done);
            if (n > 0) {
                done += size_t(n);
            } else if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
                pollfd p{fd, POLLOUT, 0};
                poll(&p, 1, kIdlePollMs);
            } else {
                return;  // nobody on the other end: the answer is lost, as on a real line
            }
        }
    }

    // Writes the answer as the line would carry it: paced by the character
    // time, with a pause in the middle when asked for.
    void sendAnswer(int fd, const std::vector<uint8_t>& answer, Clock::time_point start, const std::atomic<bool>& stop)
    {
        const size_t half = opt.splitMs > 0 ? answer.size() / 2 : answer.size();
        if (opt.paceCharUs <= 0) {
            writeAll(fd, std::vector<uint8_t>(answer.begin(), answer.begin() + long(half)), stop);
            if (half < answer.size() && sleepUnlessStopped(opt.splitMs, stop))
                writeAll(fd, std::vector<uint8_t>(answer.begin() + long(half), answer.end()), stop);
            return;
        }
        const auto charTime = std::chrono::microseconds(opt.paceCharUs);
        if (opt.paceWholeAnswers && opt.splitMs <= 0) {
            const Clock::time_point due = start + charTime * long(answer.size());
            while (!stop.load() && Clock::now() < due)
                std::this_thread::sleep_until(std::min(due, Clock::now() + std::chrono::milliseconds(kIdlePollMs)));
            writeAll(fd, answer, stop);
            return;
        }
        size_t sent = 0;
        while (sent < answer.size() && !stop.load()) {
            // A byte reaches the other end once its last bit is on the wire.
            const Clock::time_point due = start + charTime * long(sent + 1) +
                                          (sent >= half ? std::chrono::milliseconds(opt.splitMs) : Clock::duration(0));
            // Timers wake up late: the last stretch before a due byte is kept by the clock.
            const Clock::time_point wakeAt = due - wakeMargin.get();
            if (Clock::now() < wakeAt) {
                std::this_thread::sleep_until(wakeAt);
                wakeMargin.observe(wakeAt, Clock::now());
            }
            while (Clock::now() < due)
                ;
            size_t ready = sent + 1;
            const Clock::time_point now = Clock::now();
            while (ready < answer.size() && (ready < half || sent >= half) &&
                   start + charTime * long(ready + 1) +
                           (ready >= half ? std::chrono::milliseconds(opt.splitMs) : Clock::duration(0)) <=
                       now)
                ++ready;
            writeAll(fd, std::vector<uint8_t>(answer.begin() + long(sent), answer.begin() + long(ready)), stop);
            sent = ready;
        }
    }

    // Frames of the line's protocol: Modbus requests, or remote frames.
    size_t requestLength(const uint8_t* b, size_t have) const
    {
        return opt.remote ? simremote::frameLength(b, have) : expectedRequestLength(b, have);
    }
    bool requestSound(const uint8_t* f, size_t len) const
    {
        return opt.remote ? simremote::sumOk(f, len) : crcOk(f, len);
    }
    int stationOf(const uint8_t* f, size_t len) const { return opt.remote ? simremote::stationOf(f, len) : f[0]; }

    // The remote end's answer to a frame for a served station; what it wrote
    // stops moving.
    std::vector<uint8_t> remoteReply(int station, const uint8_t* f, size_t len)
    {
        if (!simremote::sumOk(f, len))
            return simremote::refusal(station, remoteframe::kBadFrame);
        simremote::Written w;
        std::vector<uint8_t> answer = simremote::serve(*maps[station], f, len, w);
        if (w.area && !opt.tags.empty()) {
            std::vector<bool>& units = w.area == kCoils ? held[station].coils : held[station].regs;
            for (long u = w.first; u <= w.last && u < simpattern::kAreaSize; ++u)
                units[size_t(u)] = true;
        }
        return answer;
    }

    void handleFrame(int fd, const uint8_t* f, size_t len, Clock::time_point arrived, const std::atomic<bool>& stop)
    {
        if (opt.strictBaud > 0 && serialline::lineBaud(opt.strictBaudFd) != opt.strictBaud) {
            handleGarbage();  // at another rate the request arrives as noise
            return;
        }
        const int station = stationOf(f, len);
        if (station < 0)
            return;
        if (station == 0) {
            std::lock_guard<std::mutex> lk(mu);
            ++cnt.requests;
            for (auto& m : maps) {
                if (!answers(m.first) || !requestSound(f, len))
                    continue;
                if (opt.remote) {
                    remoteReply(m.first, f, len);  // broadcasts are never answered
                } else if (!exceptionFor(m.first, f, len)) {
                    libmodbusReply(m.second, f, len);
                    holdWritten(m.first, f, len);
                }
            }
            return;
        }

        std::vector<uint8_t> answer;
        {
            std::lock_guard<std::mutex> lk(mu);
            if (!answers(station)) {
                ++cnt.ignoredStation;
                return;
            }
            ++cnt.requests;
            if (opt.dropRate > 0 && uni(rng) < opt.dropRate) {
                ++cnt.dropped;
                return;
            }
            if (opt.remote) {
                answer = remoteReply(station, f, len);
            } else if (f[1] == 0x11 || f[1] == 0x2B) {
                answer = simIdentityAnswer(opt, f, len);
                simAppendCrc(answer);
            } else if (int code = exceptionFor(station, f, len)) {
                answer = {f[0], static_cast<uint8_t>(f[1] | 0x80), static_cast<uint8_t>(code)};
                simAppendCrc(answer);
            } else {
                answer = libmodbusReply(maps[station], f, len);
                if (answer.size() >= 4 && !(answer[1] & 0x80))
                    holdWritten(station, f, len);
            }
            if (answer.size() < 4)
                return;
            if (opt.remote ? answer[remoteframe::kStatusAt] != remoteframe::kServed : (answer[1] & 0x80) != 0)
                ++cnt.exceptions;
            if (opt.corruptRate > 0 && uni(rng) < opt.corruptRate) {
                answer.back() ^= 0x5A;
                ++cnt.corrupted;
            }
            ++cnt.answered;
        }
        int delayMs = opt.delayMs;
        if (opt.lateMs > 0 && uni(rng) < opt.lateRate) {
            delayMs += opt.lateMs;
            std::lock_guard<std::mutex> lk(mu);
            ++cnt.late;
        }
        if (delayMs > 0 && !sleepUnlessStopped(delayMs, stop))
            return;
        // Paced: the request took its wire time, then the line kept t3.5 before the answer.
        const Clock::time_point start =
            std::max(Clock::now(), arrived + std::chrono::microseconds(opt.paceCharUs * long(len) + opt.paceGapUs));
        sendAnswer(fd, answer, start, stop);
    }

    void handleGarbage()
    {
        std::lock_guard<std::mutex> lk(mu);
        ++cnt.ignoredBadCrc;
    }
};

SimController::SimController(const SimOptions& options) : d(new Impl(options))
{
    if (options.stations.empty())
        throw std::invalid_argument("no station to serve");
    for (int s : options.stations)
        if (s < 1 || s > 247)
            throw std::invalid_argument("station out of range 1..247: " + std::to_string(s));
    if (!(options.dropRate >= 0 && options.dropRate <= 1) || !(options.corruptRate >= 0 && options.corruptRate <= 1))
        throw std::invalid_argument("drop and corrupt rates must be within 0..1");
    if (options.delayMs < 0 || options.frameGapUs <= 0)
        throw std::invalid_argument("delay and frame gap must not be negative");
    for (const SimExceptionRange& e : options.exceptions)
        if (e.area < 1 || e.area > 4 || e.first < 0 || e.last < e.first || e.code < 1 || e.code > 255)
            throw std::invalid_argument("bad exception range");
    for (const SimMapRange& r : options.maps) {
        if (r.area < 1 || r.area > 4 || r.first < 0 || r.last < r.first || r.last > 65535)
            throw std::invalid_argument("bad map range");
        d->held_ranges[{r.station, r.area}].push_back({r.first, r.last});
    }
    for (auto& e : d->held_ranges) {
        std::vector<std::pair<int, int>>& r = e.second;
        std::sort(r.begin(), r.end());
        std::vector<std::pair<int, int>> joined;
        for (const auto& range : r)
            if (!joined.empty() && range.first <= joined.back().second + 1)
                joined.back().second = std::max(joined.back().second, range.second);
            else
                joined.push_back(range);
        r = joined;
    }

    for (int s : options.stations) {
        if (d->maps.count(s))
            continue;
        modbus_mapping_t* m = modbus_mapping_new(simpattern::kAreaSize, simpattern::kAreaSize, simpattern::kAreaSize,
                                                 simpattern::kAreaSize);
        if (!m)
            throw std::runtime_error("out of memory for station map");
        d->maps[s] = m;
        for (int i = 0; i < simpattern::kAreaSize; ++i) {
            m->tab_bits[i] = simpattern::coil(s, i);
            m->tab_input_bits[i] = simpattern::discreteInput(s, i);
            m->tab_registers[i] = simpattern::holdingRegister(s, i);
            m->tab_input_registers[i] = simpattern::inputRegister(s, i);
        }
    }

    for (const SimTag& t : options.tags)
        if (t.kind < 0 || t.kind > 15 || t.address < 0 || t.count < 1)
            throw std::invalid_argument("bad simulated tag");
    if (options.animate)
        d->moveTags(0, true);

    if (pipe2(d->capture, O_NONBLOCK | O_CLOEXEC) != 0)
        throw std::runtime_error("pipe2 failed");
    // The device name is never opened: libmodbus only serialises answers into our pipe.
    d->ctx = modbus_new_rtu("/dev/null", 115200, 'N', 8, 1);
    if (!d->ctx)
        throw std::runtime_error("modbus_new_rtu failed");
    modbus_set_socket(d->ctx, d->capture[1]);
    // libmodbus sleeps for the response timeout before some exception answers.
    modbus_set_response_timeout(d->ctx, 0, 1);
}

SimController::~SimController() = default;

int SimController::serve(int fd, const std::atomic<bool>& stop)
{
    const int oldFlags = fcntl(fd, F_GETFL);
    if (oldFlags < 0 || fcntl(fd, F_SETFL, oldFlags | O_NONBLOCK) < 0)
        return -1;
    struct stat st {};
    const bool socket = fstat(fd, &st) == 0 && S_ISSOCK(st.st_mode);  // its end is the client's leaving

    const auto gap = std::chrono::microseconds(d->opt.frameGapUs);
    std::vector<uint8_t> buf;
    buf.reserve(2 * kMaxAdu);
    uint8_t chunk[512];
    Clock::time_point lastByte = Clock::now();
    Clock::time_point firstByte = lastByte;
    int result = 0;

    while (!stop.load()) {
        d->animate();

        // A request whose length is known from its first bytes is waited for
        // across a delivery pause longer than t3.5 (a busy machine's pty, a
        // USB adapter), up to kPartialRequestWait of silence, as plc-host
        // waits for the rest of an answer; anything else ends at t3.5.
        const size_t need = buf.empty() ? 0 : d->requestLength(buf.data(), buf.size());
        const auto silence = need > buf.size() && need <= kMaxAdu ? std::max<Clock::duration>(gap, kPartialRequestWait)
                                                                  : Clock::duration(gap);
        timespec ts{0, kIdlePollMs * 1000000L};
        if (!buf.empty()) {
            auto left = silence - (Clock::now() - lastByte);
            long ns = std::max<long>(0, std::chrono::duration_cast<std::chrono::nanoseconds>(left).count());
            ts = {ns / 1000000000L, ns % 1000000000L};
        }
        pollfd p{fd, POLLIN, 0};
        int rc = ppoll(&p, 1, &ts, nullptr);
        if (rc < 0) {
            if (errno == EINTR)
                continue;
            result = -1;
            break;
        }
        if (rc == 0) {
            // Line silent for t3.5: whatever is left is one frame of a length we could not predict, or noise.
            if (!buf.empty() && Clock::now() - lastByte >= silence) {
                if (d->requestSound(buf.data(), buf.size()))
                    d->handleFrame(fd, buf.data(), buf.size(), firstByte, stop);
                else
                    d->handleGarbage();
                buf.clear();
            }
            continue;
        }

        ssize_t n = read(fd, chunk, sizeof chunk);
        if (n > 0) {
            if (buf.empty())
                firstByte = Clock::now();
            buf.insert(buf.end(), chunk, chunk + n);
            lastByte = Clock::now();
        } else if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
            continue;
        } else if (socket && (n == 0 || errno == ECONNRESET)) {
            break;
        } else if (n == 0 || errno == EIO) {
            // pty without a slave side open (or line hung up): wait for a peer without spinning.
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
            continue;
        } else {
            result = -1;
            break;
        }

        // Complete requests of known length are taken at once: no need to wait for
        // the gap, and back-to-back frames (e.g. for another station) stay in sync.
        size_t pos = 0;
        while (pos < buf.size()) {
            size_t need = d->requestLength(buf.data() + pos, buf.size() - pos);
            // A remote frame of its stated length is its station's to refuse
            // when the sum is wrong; a Modbus frame must check.
            if (need == 0 || need > kMaxAdu || buf.size() - pos < need ||
                (!d->opt.remote && !crcOk(buf.data() + pos, need)))
                break;
            d->handleFrame(fd, buf.data() + pos, need, pos ? Clock::now() : firstByte, stop);
            pos += need;
        }
        buf.erase(buf.begin(), buf.begin() + long(pos));
        if (buf.size() > 2 * kMaxAdu) {  // runaway noise: no frame can be that long
            d->handleGarbage();
            buf.clear();
        }
    }

    fcntl(fd, F_SETFL, oldFlags);
    return result;
}

uint16_t SimController::holdingRegister(int station, int addr) const
{
    std::lock_guard<std::mutex> lk(d->mu);
    const modbus_mapping_t* m = d->mapFor(station);
    return (m && addr >= 0 && addr < m->nb_registers) ? m->tab_registers[addr] : 0;
}

bool SimController::coil(int station, int addr) const
{
    std::lock_guard<std::mutex> lk(d->mu);
    const modbus_mapping_t* m = d->mapFor(station);
    return m && addr >= 0 && addr < m->nb_bits && m->tab_bits[addr];
}

uint16_t SimController::inputRegister(int station, int addr) const
{
    std::lock_guard<std::mutex> lk(d->mu);
    const modbus_mapping_t* m = d->mapFor(station);
    return (m && addr >= 0 && addr < m->nb_input_registers) ? m->tab_input_registers[addr] : 0;
}

bool SimController::discreteInput(int station, int addr) const
{
    std::lock_guard<std::mutex> lk(d->mu);
    const modbus_mapping_t* m = d->mapFor(station);
    return m && addr >= 0 && addr < m->nb_input_bits && m->tab_input_bits[addr];
}

SimController::Counters SimController::counters() const
{
    std::lock_guard<std::mutex> lk(d->mu);
    return d->cnt;
}

namespace {

std::string packedHex(const uint8_t* bits, int count)
{
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (int byte = 0; byte * 8 < count; ++byte) {
        unsigned v = 0;
        for (int b = 0; b < 8 && byte * 8 + b < count; ++b)
            if (bits[byte * 8 + b])
                v |= 1u << b;
        out += digits[v >> 4];
        out += digits[v & 0xF];
    }
    return out;
}

}  // namespace

bool SimController::dumpJson(const std::string& path) const
{
    std::string json = "{\"version\":\"" KEMO_VERSION "\",\"stations\":{";
    Counters c;
    {
        std::lock_guard<std::mutex> lk(d->mu);
        bool firstStation = true;
        for (const auto& m : d->maps) {
            if (!firstStation)
                json += ',';
            firstStation = false;
            json += '"' + std::to_string(m.first) + "\":{\"hr\":[";
            for (int i = 0; i < kDumpCount; ++i) {
                if (i)
                    json += ',';
                json += std::to_string(m.second->tab_registers[i]);
            }
            json += "],\"ir\":[";
            for (int i = 0; i < kDumpCount; ++i)
                json += (i ? "," : "") + std::to_string(m.second->tab_input_registers[i]);
            json += "],\"coils\":\"" + packedHex(m.second->tab_bits, kDumpCount);
            json += "\",\"di\":\"" + packedHex(m.second->tab_input_bits, kDumpCount) + "\"}";
        }
        c = d->cnt;
    }
    json += "},\"counters\":{";
    json += "\"requests\":" + std::to_string(c.requests);
    json += ",\"answered\":" + std::to_string(c.answered);
    json += ",\"dropped\":" + std::to_string(c.dropped);
    json += ",\"corrupted\":" + std::to_string(c.corrupted);
    json += ",\"exceptions\":" + std::to_string(c.exceptions);
    json += ",\"ignoredBadCrc\":" + std::to_string(c.ignoredBadCrc);
    json += ",\"ignoredStation\":" + std::to_string(c.ignoredStation);
    json += ",\"late\":" + std::to_string(c.late);
    json += "}}\n";

    FILE* f = std::fopen(path.c_str(), "w");
    if (!f)
        return false;
    bool ok = std::fwrite(json.data(), 1, json.size(), f) == json.size();
    return std::fclose(f) == 0 && ok;
}
