// The records shared with the host, seen as the host sees them: bytes at
// fixed offsets. On the 32-bit target every field is four bytes wide and the
// fields follow one another without gaps; a host built elsewhere reads and
// writes them through those offsets only. With eight-byte pointers only the
// words before the first handle keep their offsets, and the field order.
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

const std::vector<Field<Protocol>> kProtocol = {
    KEMO_FIELD(Protocol, frame, 0, true, Bytes),
    KEMO_FIELD(Protocol, frameLen, 4, false, Int),
    KEMO_FIELD(Protocol, answerLen, 8, false, Int),
    KEMO_FIELD(Protocol, dataOffset, 12, false, Int),
    KEMO_FIELD(Protocol, dataLen, 16, false, Int),
    KEMO_FIELD(Protocol, var.varClass, 20, false, Int),
    KEMO_FIELD(Protocol, var.retCode, 40, false, Int),
    KEMO_FIELD(Protocol, var.nameText, 44, false, String),
    KEMO_FIELD(Protocol, var.addrText, 48, false, String),
    KEMO_FIELD(Protocol, var.regKind, 52, false, Int),
    KEMO_FIELD(Protocol, var.regAddr, 56, false, Int),
    KEMO_FIELD(Protocol, var.station, 60, false, Int),
    KEMO_FIELD(Protocol, var.length, 64, false, Int),
    KEMO_FIELD(Protocol, var.spare, 72, false, Int),
    KEMO_FIELD(Protocol, var.data, 76, false, Bytes),
    KEMO_FIELD(Protocol, reserved1, 80, false, Int),
    KEMO_FIELD(Protocol, reserved2, 84, false, Int),
    KEMO_FIELD(Protocol, reserved3, 88, false, Int),
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

const unsigned char* bytesOf(const void* record) { return static_cast<const unsigned char*>(record); }

// The host's view: little-endian words at byte offsets.
void putLe32(void* record, std::size_t at, std::uint32_t v)
{
    unsigned char* p = static_cast<unsigned char*>(record) + at;
    for (int i = 0; i < 4; ++i)
        p[i] = static_cast<unsigned char>(v >> (8 * i));
}

std::uint32_t getLe32(const void* record, std::size_t at)
{
    const unsigned char* p = bytesOf(record) + at;
    return p[0] | p[1] << 8 | p[2] << 16 | std::uint32_t(p[3]) << 24;
}

// The handle word stored at `at`, and the d-pointer the handle itself holds.
std::uintptr_t wordAt(const void* record, std::size_t at)
{
    std::uintptr_t w;
    std::memcpy(&w, bytesOf(record) + at, sizeof w);
    return w;
}

std::uintptr_t handleOf(Kind kind, void* field)
{
    return kind == Kind::String ? reinterpret_cast<std::uintptr_t>(static_cast<QString*>(field)->data_ptr())
                                : reinterpret_cast<std::uintptr_t>(static_cast<QByteArray*>(field)->data_ptr());
}

template <typename R>
void checkRecord(const std::vector<Field<R>>& fields, std::size_t size32)
{
    R r{};
    const unsigned char* base = bytesOf(&r);

    // Declaration order is the byte order, on every target.
    std::size_t previous = 0;
    for (std::size_t i = 0; i < fields.size(); ++i) {
        const std::size_t actual = static_cast<const unsigned char*>(fields[i].address(r)) - base;
        if (i > 0) {
            EXPECT_GT(actual, previous) << fields[i].name << " is not after " << fields[i - 1].name;
        }
        previous = actual;
    }
    if (kTarget32 && size32) {
        EXPECT_EQ(sizeof(R), size32);
    }

    std::vector<const Field<R>*> checked;
    for (const Field<R>& f : fields)
        if (kTarget32 || f.fixed)
            checked.push_back(&f);

    // Handles first: every later byte write must land on a word that holds
    // no handle, or the record's destructor would free a wild pointer.
    int n = 0;
    for (const Field<R>* f : checked) {
        ++n;
        if (f->kind == Kind::String)
            *static_cast<QString*>(f->address(r)) = QString("text %1").arg(n);
        else if (f->kind == Kind::Bytes)
            *static_cast<QByteArray*>(f->address(r)) = QByteArray("bytes ") + QByteArray::number(n);
        else
            continue;
        ASSERT_EQ(wordAt(&r, f->offset), handleOf(f->kind, f->address(r))) << f->name << " handle at " << f->offset;
    }

    // Bytes written by the host reach the field, and the other way round;
    // distinct values per field catch overlaps and short widths.
    for (int pass = 0; pass < 2; ++pass) {
        n = 0;
        for (const Field<R>* f : checked) {
            const std::uint32_t v = 0x11223344u + 0x01010101u * ++n + 0x80000000u * pass;
            if (f->kind == Kind::Int && pass == 0)
                putLe32(&r, f->offset, v);
            else if (f->kind == Kind::Int)
                *static_cast<int*>(f->address(r)) = static_cast<int>(v);
            else if (f->kind == Kind::Byte && pass == 0)
                const_cast<unsigned char*>(base)[f->offset] = static_cast<unsigned char>(v);
            else if (f->kind == Kind::Byte)
                *static_cast<unsigned char*>(f->address(r)) = static_cast<unsigned char>(v);
        }
        n = 0;
        for (const Field<R>* f : checked) {
            const std::uint32_t v = 0x11223344u + 0x01010101u * ++n + 0x80000000u * pass;
            if (f->kind == Kind::Int) {
                EXPECT_EQ(getLe32(&r, f->offset), v) << f->name << " at " << f->offset << ", pass " << pass;
                EXPECT_EQ(static_cast<std::uint32_t>(*static_cast<int*>(f->address(r))), v) << f->name;
            } else if (f->kind == Kind::Byte) {
                EXPECT_EQ(base[f->offset], static_cast<unsigned char>(v)) << f->name << ", pass " << pass;
                EXPECT_EQ(*static_cast<unsigned char*>(f->address(r)), static_cast<unsigned char>(v)) << f->name;
            } else {
                EXPECT_EQ(wordAt(&r, f->offset), handleOf(f->kind, f->address(r))) << f->name << " after int writes";
            }
        }
    }
}

}  // namespace

TEST(RecordLayout, RwVar) { checkRecord(kRwVar, 60); }
TEST(RecordLayout, Protocol) { checkRecord(kProtocol, 92); }
TEST(RecordLayout, ComInfo) { checkRecord(kComInfo, 76); }
TEST(RecordLayout, HostVar) { checkRecord(kHostVar, 0); }

// What a host does with the records the driver hands out: it reads the
// request record ComCommunication returns and the result record DataCom
// returns by offset, and its own COM_INFO words are cleared by offset.
TEST(HostView, SetComInfoClearsOnlyWords40And52)
{
    COM_INFO info;
    std::memset(&info, 0xA5, sizeof info);
    SetComInfo(&info);
    for (std::size_t at = 0; at < sizeof info; at += 4)
        EXPECT_EQ(getLe32(&info, at), at == 40 || at == 52 ? 0u : 0xA5A5A5A5u) << "word at " << at;
}

TEST(HostView, RequestAndResultRecordsByOffset)
{
    if (!kTarget32)
        GTEST_SKIP() << "the host's offsets are those of the 32-bit target";
    test::Host host;
    RW_VAR var = test::makeVar(8, 100, 10);
    var.varClass = 3;
    var.varId = 42;
    ASSERT_EQ(AddListOnceReadVar(&var, 1), 1);  // queued as given

    const intptr_t p = ComCommunication();
    ASSERT_NE(p, 0);
    const void* request = reinterpret_cast<const void*>(p);
    const QByteArray frame = test::hex("01 03 00 64 00 0A 84 12");
    const QByteArray* frameHandle = reinterpret_cast<const QByteArray*>(bytesOf(request) + 0);
    EXPECT_EQ(*frameHandle, frame);
    const std::uint32_t expected[][2] = {
        {4, 8}, {8, 25}, {12, 3}, {16, 20},                 // frameLen, answerLen, dataOffset, dataLen
        {20 + 0, 3}, {20 + 4, 42}, {20 + 32, 8},             // var.varClass, varId, regKind
        {20 + 36, 100}, {20 + 40, 1}, {20 + 44, 10},         // var.regAddr, station, length
    };
    for (const auto& e : expected)
        EXPECT_EQ(getLe32(request, e[0]), e[1]) << "Protocol word at " << e[0];

    QByteArray answer = test::hex("01 03 14 00 01 00 02 00 03 00 04 00 05 00 06 00 07 00 08 00 09 00 0A 00 00");
    const RW_VAR* result = DataCom(&answer, answer.size());
    EXPECT_EQ(getLe32(result, 20), 1u) << "retCode";
    EXPECT_EQ(getLe32(result, 0), 3u) << "varClass";
    EXPECT_EQ(getLe32(result, 4), 42u) << "varId";
}
