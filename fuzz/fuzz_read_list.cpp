// Read-list rebuilds from arbitrary host variable lists and limits, then a
// few exchange cycles over the result.
//
// Checked for every rebuild: the result counts readList; every block lies
// in one area of one station, within the limit and the image bound; blocks
// come in station, area, address order without overlapping; and every
// accepted variable is covered by the blocks of its group.
#include "fuzz_support.h"

#include <algorithm>
#include <climits>

namespace {

const int kMaxVars = 48;
const int kExchanges = 6;

struct Stretch {
    int station, area;
    qint64 start, end;
};

// What the rebuild must cover for one host variable, or false when the
// variable is dropped (bad address, station 0, beyond the image bound).
bool expectedStretch(const HOST_VAR& hv, Stretch& out)
{
    const COM_INFO& info = fuzz::host();
    const int address = StringAddressToInt(hv.regKind, hv.addrText);
    const int station = info.multiStation ? hv.station : info.defaultStation;
    if (address < 0 || station == 0)
        return false;
    RW_VAR v;
    v.regKind = hv.regKind;
    v.regAddr = address;
    v.length = hv.length;
    updateRwVar(&v);
    const qint64 end = static_cast<qint64>(v.regAddr) + v.length;
    const qint64 imageEnd = v.regKind == 8 ? 2 * end : end + 2;
    if (v.regAddr < 0 || imageEnd > kemo::kMaxImageBytes)
        return false;
    out = {station, v.regKind, v.regAddr, end};
    return true;
}

void checkReadList(const QList<HOST_VAR>& vars, int result)
{
    const QList<RW_VAR>& blocks = PLC_driver.readList;
    const qint64 limit = std::max(fuzz::host().maxPerFrame, 1);
    fuzz::require(result == blocks.size(), "result differs from the number of blocks");
    for (int i = 0; i < blocks.size(); ++i) {
        const RW_VAR& b = blocks.at(i);
        fuzz::require(b.regKind == 3 || b.regKind == 4 || b.regKind == 8, "a block outside the three areas");
        fuzz::require(b.length >= 1 && b.length <= limit, "a block longer than the limit, or empty");
        fuzz::require(b.regAddr >= 0 && b.station != 0, "a block at a negative address or on station 0");
        const qint64 end = static_cast<qint64>(b.regAddr) + b.length;
        fuzz::require((b.regKind == 8 ? 2 * end : end + 2) <= kemo::kMaxImageBytes, "a block beyond the image bound");
        fuzz::require(b.varClass == 0 && b.varId == -1 && b.writeFlag == 0 && b.bitMode == 0 && b.data.isEmpty(),
                      "a block not made from the read template");
        if (i == 0)
            continue;
        const RW_VAR& a = blocks.at(i - 1);
        const bool sameGroup = a.station == b.station && a.regKind == b.regKind;
        fuzz::require(a.station < b.station || (a.station == b.station && a.regKind <= b.regKind),
                      "groups out of order");
        fuzz::require(!sameGroup || static_cast<qint64>(a.regAddr) + a.length <= b.regAddr,
                      "blocks of one group out of order or overlapping");
    }
    if (blocks.size() > 20000)
        return;  // coverage walk below is quadratic in the worst case
    for (const HOST_VAR& hv : vars) {
        Stretch s{};
        if (!expectedStretch(hv, s) || s.end <= s.start)
            continue;
        qint64 covered = s.start;
        for (const RW_VAR& b : blocks) {
            if (b.station == s.station && b.regKind == s.area && b.regAddr <= covered &&
                covered < static_cast<qint64>(b.regAddr) + b.length)
                covered = static_cast<qint64>(b.regAddr) + b.length;
        }
        fuzz::require(covered >= s.end, "a variable is not covered by the blocks of its group");
    }
}

int anyLimit(fuzz::Input& in)
{
    switch (in.u8() % 8) {
    case 0: return 0;
    case 1: return -1;
    case 2: return INT_MIN;
    case 3: return INT_MAX;
    case 4: return in.i32();
    default: return 1 + in.u8();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    fuzz::Input in(data, size);
    fuzz::resetDriver();
    COM_INFO& info = fuzz::host();
    const uint8_t settings = in.u8();
    info.multiStation = settings & 1;
    info.defaultStation = (settings >> 1) & 3;
    info.remoteMode = (settings >> 3) & 1;
    info.maxPerFrame = anyLimit(in);

    QList<HOST_VAR> vars;
    for (int n = in.u8() % kMaxVars; n > 0 && !in.empty(); --n) {
        HOST_VAR hv{};
        hv.regKind = in.u8() % 16;  // kinds above 11 are dropped
        hv.station = in.u8() % 8;
        hv.addrText = in.address(hv.regKind);
        hv.nameText = QStringLiteral("n");
        // Lengths: two bytes, or any 32-bit value.
        hv.length = (in.u8() & 0x0F) == 0 ? in.i32() : static_cast<int16_t>(in.u16());
        vars << hv;
    }

    checkReadList(vars, ReCreatReadVarList(&vars));
    for (int i = 0; i < kExchanges && !in.empty(); ++i)
        fuzz::exchange(in);

    // The host replaces its list with a new limit: the old blocks go entirely.
    if (in.u8() & 1) {
        info.maxPerFrame = anyLimit(in);
        checkReadList(vars, ReCreatReadVarList(&vars));
        for (int i = 0; i < kExchanges && !in.empty(); ++i)
            fuzz::exchange(in);
    }
    return 0;
}
