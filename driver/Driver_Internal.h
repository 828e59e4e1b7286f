// Helpers shared by the driver's sources. Not installed for hosts.
#ifndef KEMO_DRIVER_INTERNAL_H
#define KEMO_DRIVER_INTERNAL_H

#include "Communication_Protocol.h"

#include <QMutex>

#include <initializer_list>
#include <type_traits>

#if defined(__SANITIZE_THREAD__)
#define KEMO_TSAN 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define KEMO_TSAN 1
#endif
#endif
#ifdef KEMO_TSAN
extern "C" void __tsan_acquire(void* addr);
extern "C" void __tsan_release(void* addr);
#endif

namespace kemo {

// Scoped lock of one of the driver's mutexes. QMutex waits inside QtCore,
// where a thread sanitizer cannot see it; the annotations tell it.
class Locker {
public:
    explicit Locker(QMutex* mutex) : mutex_(mutex)
    {
        mutex_->lock();
#ifdef KEMO_TSAN
        __tsan_acquire(mutex_);
#endif
    }
    ~Locker()
    {
#ifdef KEMO_TSAN
        __tsan_release(mutex_);
#endif
        mutex_->unlock();
    }
    Locker(const Locker&) = delete;
    Locker& operator=(const Locker&) = delete;

private:
    QMutex* mutex_;
};

// ---- Register kinds ----
// Every fact that depends on a register kind, in one table. Kinds 0 to 11
// cover discrete inputs, coils and holding registers (kind modulo 3 the
// area, kind divided by 3 the width: bit, byte, word, double word); kinds 12
// to 15 are the same four widths over the input registers. The area codes
// 3, 4, 8 and 14 are the kinds whose items are the area's own units.
struct KindFacts {
    int area;              // 3 discrete inputs, 4 coils, 8 holding registers, 14 input registers
    int itemBits;          // one item: 1, 8, 16 or 32 bits
    int unitBits;          // one unit of the area: a byte (8) or a register (16)
    int readFunction;      // Modbus function reading the area
    int writeFunction;     // Modbus function writing the kind; 0 = read-only
    bool readModifyWrite;  // a bit or byte inside a holding register: read first
    bool remoteReadable;   // Remote_ReadVar builds a request for it
};
const int kKindCount = 16;
const KindFacts kKindFacts[kKindCount] = {
    {3, 1, 8, 0x02, 0x00, false, false},     // 0  bit of the discrete inputs
    {4, 1, 8, 0x01, 0x05, false, false},     // 1  coil
    {8, 1, 16, 0x03, 0x10, true, false},     // 2  bit of a holding register
    {3, 8, 8, 0x02, 0x00, false, true},      // 3  byte of discrete inputs (area code 3)
    {4, 8, 8, 0x01, 0x0F, false, true},      // 4  byte of coils (area code 4)
    {8, 8, 16, 0x03, 0x10, true, false},     // 5  byte of a holding register
    {3, 16, 8, 0x02, 0x00, false, false},    // 6  word of discrete inputs
    {4, 16, 8, 0x01, 0x0F, false, true},     // 7  word of coils
    {8, 16, 16, 0x03, 0x10, false, true},    // 8  holding register (area code 8)
    {3, 32, 8, 0x02, 0x00, false, false},    // 9  double word of discrete inputs
    {4, 32, 8, 0x01, 0x0F, false, false},    // 10 double word of coils
    {8, 32, 16, 0x03, 0x10, false, false},   // 11 double word of holding registers
    {14, 1, 16, 0x04, 0x00, false, false},   // 12 bit of an input register
    {14, 8, 16, 0x04, 0x00, false, false},   // 13 byte of an input register
    {14, 16, 16, 0x04, 0x00, false, true},   // 14 input register (area code 14)
    {14, 32, 16, 0x04, 0x00, false, false},  // 15 double word of input registers
};

// The facts of a kind, or null for a value outside 0 to 15.
inline const KindFacts* kindFacts(int kind) { return kind >= 0 && kind < kKindCount ? &kKindFacts[kind] : nullptr; }
// The facts of an area code (3, 4, 8 or 14), or null for any other value.
inline const KindFacts* areaFacts(int area)
{
    const KindFacts* f = kindFacts(area);
    return f && f->area == area ? f : nullptr;
}
// Modbus addresses count bits in the bit areas and registers in the register areas.
inline int modbusUnitBits(const KindFacts& f) { return f.unitBits == 16 ? 16 : 1; }
// Items a count means: double-word counts are in 16-bit words.
inline qint64 itemsOfCount(const KindFacts& f, qint64 count) { return f.itemBits == 32 ? (count + 1) / 2 : count; }

// ---- Named codes ----
// The list whose turn the scheduler took last (requestKind).
enum RequestKind { kCyclicTurn = 0, kWriteTurn = 1, kOnceReadTurn = 2, kNoTurn = 100 };

// Result codes that count as success; every other code is a failure.
const int kCodeAccepted = 1;
const int kCodeRemoteAccepted = 100;
inline bool isSuccessCode(int rc) { return rc == kCodeAccepted || rc == kCodeRemoteAccepted; }

// Verdicts on an answer, turned into result codes by GetDriverReturnValue.
// The remote ones are the local ones plus kRemote.
enum Verdict {
    kAccepted = 0,     // code 1
    kRefused = 1,      // the answer check refused it: 10 + class
    kSilent = 2,       // no answer although one was expected: 40 + class
    kWrongLength = 3,  // 70 + class
    kRemote = 4,       // remote answer accepted: code 100
    kRemoteRefused = kRemote + kRefused,
    kRemoteSilent = kRemote + kSilent,
    kRemoteWrongLength = kRemote + kWrongLength,
};

// RW_VAR::bitMode: the read half of a bit or byte read-modify-write, or a
// cyclic read of exactly one variable's bits (a station without merging):
// then regKind is the bit kind, regAddr the first bit and length the bits.
enum BitMode { kPlainRequest = 0, kBitReadHalf = -1, kByteReadHalf = -2, kExactBits = -3 };
inline bool isReadHalf(const RW_VAR& v) { return v.bitMode == kBitReadHalf || v.bitMode == kByteReadHalf; }

// Options of a station; none for a station outside 1 to 247.
inline int stationOptions(int station)
{
    return station >= KEMO_FIRST_STATION && station <= KEMO_LAST_STATION
               ? PLC_driver.stationOptions[station].load(std::memory_order_relaxed)
               : 0;
}

// ---- Host record words ----
// The host may change its COM_INFO words from another thread while a
// driver call reads them; word-sized relaxed accesses keep that well defined.
inline int loadWord(const int& word) { return __atomic_load_n(&word, __ATOMIC_RELAXED); }
inline void storeWord(int& word, int value) { __atomic_store_n(&word, value, __ATOMIC_RELAXED); }

// Station a host-named variable lives on.
inline int chooseStation(const COM_INFO& info, int ownStation)
{
    return loadWord(info.multiStation) != 0 ? ownStation : loadWord(info.defaultStation);
}

// Limits below 1 would never finish a chunking loop.
inline int chunkLimit(const COM_INFO& info)
{
    const int m = loadWord(info.maxPerFrame);
    return m < 1 ? 1 : m;
}

// Values beyond the int range wrap as they would in 32-bit arithmetic on the
// target; the store and the frames bound them further on.
inline int wrapInt(qint64 v) { return static_cast<int>(static_cast<quint32>(v)); }

// A host variable's stretch in area units (bytes of areas 3 and 4,
// registers of areas 8 and 14), computed without overflow.
struct AreaStretch {
    int area;
    qint64 regAddr;
    qint64 length;
};
// False for a kind outside 0 to 15.
bool toAreaUnits(int kind, qint64 address, qint64 length, AreaStretch& out);
// True when a read of the stretch can be stored: its address and length fit
// an int (a wrapped length would turn negative into huge) and its image stays
// inside the bound.
bool readStretchFits(const AreaStretch& stretch);

// ---- Byte work on frames and answers ----
// Byte i of a buffer, or 0 where the buffer has ended.
inline unsigned char byteAt(const QByteArray& bytes, qint64 i)
{
    return (i >= 0 && i < bytes.size()) ? static_cast<unsigned char>(bytes.constData()[i]) : 0;
}

// Multi-byte protocol fields travel high byte first.
inline void appendBe16(QByteArray& frame, unsigned value)
{
    frame.append(static_cast<char>((value >> 8) & 0xFF));
    frame.append(static_cast<char>(value & 0xFF));
}

inline void appendBe32(QByteArray& frame, unsigned value)
{
    appendBe16(frame, value >> 16);
    appendBe16(frame, value & 0xFFFF);
}

// CRC-16/MODBUS over the first `count` bytes, written low byte first at `at`.
void putCrc(QByteArray& frame, int count, int at);
// The same, over the whole frame and appended.
void appendCrc(QByteArray& frame);

// ---- Frame layouts ----
// Station, function code and a 16-bit start address: how every Modbus
// request this driver sends begins.
QByteArray modbusHead(int station, int function, qint64 start, int reserve);

// Where a write of one register carries its value: 06 SS 06 AAAA VVVV,
// 10 SS 10 AAAA 0001 02 VVVV.
inline int singleRegisterValueAt(int function) { return function == 0x06 ? 4 : 7; }

// The request record for a frame: answer length, where its data starts and
// how long it is, and the variable it was made for.
Protocol makeRequest(const QByteArray& frame, int answerLen, int dataOffset, int dataLen, const RW_VAR& var);

// Frame builders: the request for a variable, or false when its kind has
// none. They neither queue nor touch COM_INFO.
bool buildReadRequest(const RW_VAR& var, Protocol& out);
bool buildWriteRequest(const RW_VAR& var, Protocol& out);
bool buildRemoteReadRequest(const RW_VAR& var, Protocol& out);
Protocol buildRemoteWriteRequest(const RW_VAR& var);

// The one place requests are queued: a variable's request, or the two of a
// read-modify-write, go to the back of protocolList, and COM_INFO counts
// them (framesPerVar) from none answered (framesDone 0).
void queueRequests(Protocol& first, Protocol* second = nullptr);

// Merges the bit or byte of the pending read-modify-write into the register
// the read half's answer holds, and patches the queued write half with it.
// False when the answer holds no register: the write half is dropped then.
bool mergeReadHalf(const QByteArray& answer, int bitMode);

// ---- Lists ----
// The bounds of a QList's pointer array. A QList of Qt 4 and 5 holds one
// pointer, to its array header (QListData::Data); the API does not show it.
// The list object and that pointer share their address (standard layout).
static_assert(sizeof(QList<RW_VAR>) == sizeof(QListData::Data*) && std::is_standard_layout<QList<RW_VAR>>::value,
              "QList holds one pointer");
inline const QListData::Data& listBounds(const QList<RW_VAR>& list)
{
    return **reinterpret_cast<QListData::Data* const*>(&list);
}

// Moves the front entry to the back in O(1) amortised. QList::move shifts
// only the array's bounds while there is room behind the last entry, but the
// whole array once there is none; an append then makes room (moving the
// entries down to the room freed at the front, or growing the array), and is
// taken back at once. Allocations are amortised, not absent: that append
// allocates one entry each time the array fills (388 allocations in 20,000
// rotations of 10 entries).
inline void rotateFront(QList<RW_VAR>& list)
{
    if (list.size() < 2)
        return;
    list.detach();
    if (listBounds(list).end == listBounds(list).alloc) {
        list.append(RW_VAR());
        list.removeLast();
    }
    list.move(0, list.size() - 1);
}

// ---- Register store ----
// No area image grows past this, whatever a host or the wire asks for.
const qint64 kMaxImageBytes = 16 * 1024 * 1024;

// Size checkTheStorage demands for a stretch, computed without overflow.
qint64 requiredImageBytes(const ControlInformationM& record);

// True when a host access of `count` units of `kind` at unit `address`
// stays inside the image bound.
bool hostAccessFits(int kind, qint64 address, qint64 count);

// The image of one area of one station, created empty on first use.
// Caller holds storeMutex.
QByteArray& storeImage(int station, int area);

// Writable bytes [first, first + count) of an image, lengthened with zeros
// as needed; null when the span leaves the bound.
unsigned char* imageSpan(QByteArray& image, qint64 first, qint64 count);

// Area code of a register kind, without the debug message.
int areaOfKind(int kind);

// ---- Debug channel ----
// "<text> <v1> <v2> ... ": every item followed by one space.
void logDefault(const char* text, std::initializer_list<int> values = {});

}  // namespace kemo

#endif
