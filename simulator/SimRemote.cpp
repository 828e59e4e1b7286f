#include "SimRemote.h"

#include "RemoteAnswer.h"
#include "SimController.h"

#include <algorithm>

namespace simremote {

namespace {

// The request header, as the driver lays it out: length, class, write flag,
// device, station, kind (16 bits), address (32), length (16), bit mode (32),
// spare (32), all high byte first; data follows, then the sum.
constexpr size_t kHeaderBytes = 21;
constexpr size_t kWriteFlagAt = 2;
constexpr size_t kStationAt = 4;
constexpr size_t kKindAt = 5;
constexpr size_t kAddressAt = 7;
constexpr size_t kLengthAt = 11;

uint16_t be16(const uint8_t* p) { return static_cast<uint16_t>(p[0] << 8 | p[1]); }
int32_t be32(const uint8_t* p)
{
    return static_cast<int32_t>(static_cast<uint32_t>(p[0]) << 24 | static_cast<uint32_t>(p[1]) << 16 |
                                static_cast<uint32_t>(p[2]) << 8 | p[3]);
}

std::vector<uint8_t> closed(std::vector<uint8_t> answer)
{
    answer[remoteframe::kLengthAt] = static_cast<uint8_t>(answer.size() + 2);
    simAppendCrc(answer);
    return answer;
}

// Bits of an area as whole bytes, lowest address in bit 0.
bool readBits(const uint8_t* bits, long size, long firstByte, long bytes, std::vector<uint8_t>& out)
{
    if (firstByte < 0 || (firstByte + bytes) * 8 > size)
        return false;
    for (long b = 0; b < bytes; ++b) {
        uint8_t v = 0;
        for (int i = 0; i < 8; ++i)
            v = static_cast<uint8_t>(v | (bits[(firstByte + b) * 8 + i] ? 1u << i : 0u));
        out.push_back(v);
    }
    return true;
}

// Registers high byte first, as a Modbus answer carries them.
bool readRegisters(const uint16_t* regs, long size, long first, long count, std::vector<uint8_t>& out)
{
    if (first < 0 || first + count > size)
        return false;
    for (long r = first; r < first + count; ++r) {
        out.push_back(static_cast<uint8_t>(regs[r] >> 8));
        out.push_back(static_cast<uint8_t>(regs[r] & 0xFF));
    }
    return true;
}

// A write kind: the area it lands in, the bits of one item, and how the
// value bytes carry bits. Bytes carry bits as a Modbus write does: coil
// bytes lowest coil in bit 0, registers high byte first, in address order.
enum class Layout { BytePerBit, PackedBytes, Registers };
struct WriteShape {
    int area;  // 1 coils, 3 holding registers
    int itemBits;
    Layout layout;
};
bool writeShape(int kind, WriteShape& out)
{
    switch (kind) {
    case 1: out = {1, 1, Layout::BytePerBit}; return true;
    case 2: out = {3, 1, Layout::BytePerBit}; return true;
    case 4: out = {1, 8, Layout::PackedBytes}; return true;
    case 5: out = {3, 8, Layout::PackedBytes}; return true;
    case 7: out = {1, 16, Layout::PackedBytes}; return true;
    case 8: out = {3, 16, Layout::Registers}; return true;
    case 10: out = {1, 32, Layout::PackedBytes}; return true;
    case 11: out = {3, 32, Layout::Registers}; return true;
    default: return false;  // discrete inputs and input registers are read-only
    }
}

// Bits the value bytes hold, and bit i of them.
long bitsIn(Layout layout, long bytes)
{
    return layout == Layout::BytePerBit ? bytes : layout == Layout::PackedBytes ? 8 * bytes : 16 * (bytes / 2);
}
bool bitOf(Layout layout, const uint8_t* data, long i)
{
    switch (layout) {
    case Layout::BytePerBit: return data[i] != 0;
    case Layout::PackedBytes: return (data[i / 8] >> (i % 8)) & 1;
    default: return (be16(data + 2 * (i / 16)) >> (i % 16)) & 1;
    }
}

}  // namespace

size_t frameLength(const uint8_t* buf, size_t have) { return have == 0 ? 0 : buf[0] == 0 ? 256 : buf[0]; }

bool sumOk(const uint8_t* frame, size_t length)
{
    if (length < 2)
        return false;
    unsigned sum = 0;
    for (size_t i = 0; i + 1 < length; ++i)
        sum += frame[i];
    return frame[length - 1] == (sum & 0xFF);
}

int stationOf(const uint8_t* frame, size_t length) { return length > kStationAt ? frame[kStationAt] : -1; }

std::vector<uint8_t> refusal(int station, uint8_t why) { return closed({0, static_cast<uint8_t>(station), why}); }

std::vector<uint8_t> serve(modbus_mapping_t& m, const uint8_t* f, size_t length, Written& written)
{
    written = Written{};
    if (length < kHeaderBytes + 1)
        return refusal(stationOf(f, length) < 0 ? 0 : f[kStationAt], remoteframe::kBadFrame);
    const uint8_t station = f[kStationAt];
    const int kind = be16(f + kKindAt);
    const long address = be32(f + kAddressAt);
    const long count = be16(f + kLengthAt);
    std::vector<uint8_t> answer{0, station, remoteframe::kServed};

    if (f[kWriteFlagAt] == 0) {
        // Reads name an area by its code and count in its units: bytes of
        // 8 inputs or coils, registers.
        bool inside = true;
        switch (kind) {
        case 3: inside = readBits(m.tab_input_bits, m.nb_input_bits, address, count, answer); break;
        case 4:
        case 7: inside = readBits(m.tab_bits, m.nb_bits, address, count, answer); break;
        case 8: inside = readRegisters(m.tab_registers, m.nb_registers, address, count, answer); break;
        case 14: inside = readRegisters(m.tab_input_registers, m.nb_input_registers, address, count, answer); break;
        default: return refusal(station, remoteframe::kAreaNotServed);
        }
        return inside ? closed(answer) : refusal(station, remoteframe::kAddressOutOfRange);
    }

    WriteShape s;
    if (!writeShape(kind, s))
        return refusal(station, remoteframe::kAreaNotServed);
    const uint8_t* data = f + kHeaderBytes;
    const long dataBytes = static_cast<long>(length - kHeaderBytes - 1);
    // Every item lands in bits of its area: coils, or bits of registers.
    const long bits = std::min(count * s.itemBits, bitsIn(s.layout, dataBytes));
    const long firstBit = address * s.itemBits;
    const long areaBits = s.area == 1 ? m.nb_bits : 16L * m.nb_registers;
    if (address < 0 || firstBit + bits > areaBits)
        return refusal(station, remoteframe::kAddressOutOfRange);
    for (long i = 0; i < bits; ++i) {
        const long bit = firstBit + i;
        const bool on = bitOf(s.layout, data, i);
        if (s.area == 1) {
            m.tab_bits[bit] = on;
        } else {
            uint16_t& r = m.tab_registers[bit / 16];
            const auto mask = static_cast<uint16_t>(1u << (bit % 16));
            r = static_cast<uint16_t>(on ? r | mask : r & ~mask);
        }
    }
    const long unitBits = s.area == 1 ? 1 : 16;
    if (bits > 0)
        written = {s.area, firstBit / unitBits, (firstBit + bits - 1) / unitBits};
    const long items = bits / s.itemBits;
    answer.push_back(static_cast<uint8_t>(kind & 0xFF));
    answer.push_back(static_cast<uint8_t>(items >> 8 & 0xFF));
    answer.push_back(static_cast<uint8_t>(items & 0xFF));
    return closed(answer);
}

}  // namespace simremote
