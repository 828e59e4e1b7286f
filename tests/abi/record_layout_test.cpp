// The records shared with the host, seen as the host sees them: bytes at
// fixed offsets. On the 32-bit target every field is four bytes wide and the
// fields follow one another without gaps; a host built elsewhere reads and
// writes them through those offsets only. With eight-byte pointers only the
// words before the first handle keep their offsets.
#include "test_support.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <vector>

namespace {

constexpr bool kTarget32 = sizeof(void*) == 4;

enum class Kind { Int, Byte, String, Bytes };

template <typename R>
struct Field {
    const char* name;
    std::size_t offset;  // on the 32-bit target
    bool fixed;          // the offset holds with eight-byte pointers too
    Kind kind;
    void* (*address)(R&);
};

#define KEMO_FIELD(R, member, offset, fixed, kind) \
    Field<R> { #member, offset, fixed, Kind::kind, [](R& r) -> void* { return &r.member; } }

const std::vector<Field<RW_VAR>> kRwVar = {
    KEMO_FIELD(RW_VAR, varClass, 0, true, Int),   KEMO_FIELD(RW_VAR, varId, 4, true, Int),
    KEMO_FIELD(RW_VAR, writeFlag, 8, true, Int),  KEMO_FIELD(RW_VAR, remoteFlag, 12, true, Int),
    KEMO_FIELD(RW_VAR, deviceId, 16, true, Int),  KEMO_FIELD(RW_VAR, retCode, 20, true, Int),
    KEMO_FIELD(RW_VAR, nameText, 24, true, String), KEMO_FIELD(RW_VAR, addrText, 28, false, String),
    KEMO_FIELD(RW_VAR, regKind, 32, false, Int),  KEMO_FIELD(RW_VAR, regAddr, 36, false, Int),
    KEMO_FIELD(RW_VAR, station, 40, false, Int),  KEMO_FIELD(RW_VAR, length, 44, false, Int),
    KEMO_FIELD(RW_VAR, bitMode, 48, false, Int),  KEMO_FIELD(RW_VAR, spare, 52, false, Int),
    KEMO_FIELD(RW_VAR, data, 56, false, Bytes),
};

// The embedded variable is an RW_VAR like any other: its start and one handle suffice.
const std::vector<Field<Protocol>> kProtocol = {
    KEMO_FIELD(Protocol, frame, 0, true, Bytes),       KEMO_FIELD(Protocol, frameLen, 4, false, Int),
    KEMO_FIELD(Protocol, answerLen, 8, false, Int),    KEMO_FIELD(Protocol, dataOffset, 12, false, Int),
    KEMO_FIELD(Protocol, dataLen, 16, false, Int),     KEMO_FIELD(Protocol, var.varClass, 20, false, Int),
    KEMO_FIELD(Protocol, var.data, 76, false, Bytes),  KEMO_FIELD(Protocol, reserved1, 80, false, Int),
    KEMO_FIELD(Protocol, reserved2, 84, false, Int),   KEMO_FIELD(Protocol, reserved3, 88, false, Int),
};

const std::vector<Field<COM_INFO>> kComInfo = {
    KEMO_FIELD(COM_INFO, host0, 0, true, Int),           KEMO_FIELD(COM_INFO, host4, 4, true, Int),
    KEMO_FIELD(COM_INFO, host8, 8, true, Int),           KEMO_FIELD(COM_INFO, host12, 12, true, Int),
    KEMO_FIELD(COM_INFO, maxPerFrame, 16, true, Int),    KEMO_FIELD(COM_INFO, host20, 20, true, Int),
    KEMO_FIELD(COM_INFO, defaultStation, 24, true, Int), KEMO_FIELD(COM_INFO, retryLimit, 28, true, Int),
    KEMO_FIELD(COM_INFO, retryCount, 32, true, Int),     KEMO_FIELD(COM_INFO, multiStation, 36, true, Int),
    KEMO_FIELD(COM_INFO, cleared40, 40, true, Int),      KEMO_FIELD(COM_INFO, framesPerVar, 44, true, Int),
    KEMO_FIELD(COM_INFO, framesDone, 48, true, Int),     KEMO_FIELD(COM_INFO, cleared52, 52, true, Int),
    KEMO_FIELD(COM_INFO, remoteMode, 56, true, Int),     KEMO_FIELD(COM_INFO, localDeviceId, 60, true, Int),
    KEMO_FIELD(COM_INFO, linkState, 64, true, Int),      KEMO_FIELD(COM_INFO, scanComplete, 68, true, Int),
    KEMO_FIELD(COM_INFO, callbackId, 72, true, Int),
};

const std::vector<Field<HOST_VAR>> kHostVar = {
    KEMO_FIELD(HOST_VAR, regKind, 1, true, Byte),     KEMO_FIELD(HOST_VAR, station, 2, true, Byte),
    KEMO_FIELD(HOST_VAR, addrText, 8, true, String),  KEMO_FIELD(HOST_VAR, nameText, 12, false, String),
    KEMO_FIELD(HOST_VAR, length, 16, false, Int),
};

#undef KEMO_FIELD

// A handle is one pointer-sized word: its bytes must sit at its offset.
bool handleAt(const unsigned char* p, void* field) { return std::memcmp(p, field, sizeof(void*)) == 0; }

template <typename R>
void checkRecord(const std::vector<Field<R>>& all, std::size_t size32)
{
    if (kTarget32 && size32) {
        EXPECT_EQ(sizeof(R), size32);
    }
    std::vector<Field<R>> fields;
    for (const Field<R>& f : all)
        if (kTarget32 || f.fixed)
            fields.push_back(f);
    R r{};
    unsigned char* raw = reinterpret_cast<unsigned char*>(&r);
    // Handles first, each with a text of its own: every later byte write must
    // land on a word that holds no handle, or the destructor would free a wild pointer.
    for (const Field<R>& f : fields) {
        if (f.kind == Kind::String)
            *static_cast<QString*>(f.address(r)) = QString("text ") + f.name;
        if (f.kind == Kind::Bytes)
            *static_cast<QByteArray*>(f.address(r)) = QByteArray("bytes ") + f.name;
        ASSERT_TRUE(f.kind < Kind::String || handleAt(raw + f.offset, f.address(r))) << f.name << " at " << f.offset;
    }
    // The host writes bytes at the offsets and every field sees its own value:
    // distinct values catch overlaps and short widths.
    const auto value = [](std::size_t n) { return 0x81223344u + 0x01010101u * std::uint32_t(n); };
    for (std::size_t n = 0; n < fields.size(); ++n)
        for (int i = 0; i < (fields[n].kind == Kind::Int ? 4 : fields[n].kind == Kind::Byte ? 1 : 0); ++i)
            raw[fields[n].offset + i] = static_cast<unsigned char>(value(n) >> (8 * i));
    for (std::size_t n = 0; n < fields.size(); ++n) {
        const Field<R>& f = fields[n];
        if (f.kind == Kind::Int)
            EXPECT_EQ(static_cast<std::uint32_t>(*static_cast<int*>(f.address(r))), value(n)) << f.name << " at " << f.offset;
        else if (f.kind == Kind::Byte)
            EXPECT_EQ(*static_cast<unsigned char*>(f.address(r)), static_cast<unsigned char>(value(n))) << f.name;
        else
            EXPECT_TRUE(handleAt(raw + f.offset, f.address(r))) << f.name << " after the word writes";
    }
}

}  // namespace

TEST(RecordLayout, RwVar) { checkRecord(kRwVar, 60); }
TEST(RecordLayout, Protocol) { checkRecord(kProtocol, 92); }
TEST(RecordLayout, ComInfo) { checkRecord(kComInfo, 76); }
TEST(RecordLayout, HostVar) { checkRecord(kHostVar, 0); }

// SetComInfo clears the host's words at offsets 40 and 52, and nothing else.
TEST(HostView, SetComInfoClearsOnlyWords40And52)
{
    COM_INFO info;
    std::memset(&info, 0xA5, sizeof info);
    SetComInfo(&info);
    EXPECT_EQ(PLC_driver.comInfo, &info);
    const unsigned char* raw = reinterpret_cast<unsigned char*>(&info);
    for (std::size_t i = 0; i < sizeof info; ++i)
        EXPECT_EQ(raw[i], (i >= 40 && i < 44) || (i >= 52 && i < 56) ? 0 : 0xA5) << "byte " << i;
}
