// Read-list rebuilds from arbitrary host variable lists, limits and station
// options, then a few exchange cycles over the result.
//
// Checked for every rebuild: the result counts readList; every block lies
// in one area of one station, within the limit and the image bound; blocks
// come in station, area, address order, without overlapping where stations
// merge; and every accepted variable is covered by the blocks of its group.
#include "fuzz_support.h"

#include <tuple>

namespace {

// A block in area units: exact-bit blocks of unmerged stations count the
// units their bits touch.
kemo::AreaStretch unitsOf(const RW_VAR& b)
{
    kemo::AreaStretch s{b.regKind, b.regAddr, b.length};
    if (b.bitMode == kemo::kExactBits)
        kemo::toAreaUnits(b.regKind, b.regAddr, b.length, s);
    return s;
}

void checkReadList(const QList<HOST_VAR>& vars, int result)
{
    const QList<RW_VAR>& blocks = PLC_driver.readList;
    const qint64 limit = std::max(fuzz::host.maxPerFrame, 1);
    fuzz::require(result == blocks.size(), "result differs from the number of blocks");
    for (int i = 0; i < blocks.size(); ++i) {
        const RW_VAR& b = blocks.at(i);
        const kemo::AreaStretch s = unitsOf(b);
        const kemo::KindFacts* area = kemo::areaFacts(s.area);
        const bool exact = b.bitMode == kemo::kExactBits;
        fuzz::require(area && b.regAddr >= 0 && b.station != 0 &&
                          (!exact || (kemo::kindFacts(b.regKind)->itemBits == 1 && fuzz::host.remoteMode == 0)),
                      "a block outside the four areas, at a negative address or on station 0");
        const qint64 end = s.regAddr + s.length;
        const qint64 imageEnd = area->unitBits == 16 ? 2 * end : end + 2;
        fuzz::require(b.length >= 1 && s.length <= limit && imageEnd <= kemo::kMaxImageBytes,
                      "a block empty, longer than the limit or beyond the image bound");
        fuzz::require(b.varClass == 0 && b.varId == -1 && b.writeFlag == 0 && (b.bitMode == 0 || exact) &&
                          b.data.isEmpty(),
                      "a block not made from the read template");
        // Station, then area; where the station merges, then address and no
        // overlap (an unmerged variable's chunks may reach past the next one).
        const RW_VAR& a = blocks.at(std::max(i - 1, 0));
        const kemo::AreaStretch p = unitsOf(a);
        const bool merged = (kemo::stationOptions(b.station) & KEMO_STATION_NO_MERGE) == 0;
        fuzz::require(i == 0 || std::make_tuple(a.station, p.area, merged ? p.regAddr + p.length : 0) <=
                                    std::make_tuple(b.station, s.area, merged ? s.regAddr : 0),
                      "blocks out of order or overlapping");
    }
    if (blocks.size() > 20000)
        return;  // the coverage walk below is quadratic in the worst case
    // What the rebuild must cover: every variable with an address, a station
    // and a stretch an image can hold.
    for (const HOST_VAR& hv : vars) {
        const int address = StringAddressToInt(hv.regKind, hv.addrText);
        const int station = kemo::chooseStation(fuzz::host, hv.station);
        kemo::AreaStretch s{};
        if (address < 0 || station == 0 || !kemo::toAreaUnits(hv.regKind, address, hv.length, s) ||
            !kemo::readStretchFits(s) || s.length <= 0)
            continue;
        // Read bit for bit, a bit variable of no bits reads nothing.
        const bool exact = (kemo::stationOptions(station) & KEMO_STATION_NO_MERGE) != 0 && fuzz::host.remoteMode == 0 &&
                           kemo::kindFacts(hv.regKind)->itemBits == 1;
        if (exact && hv.length <= 0)
            continue;
        qint64 covered = s.regAddr;
        for (const RW_VAR& b : blocks) {
            const kemo::AreaStretch u = unitsOf(b);
            if (b.station == station && u.area == s.area && u.regAddr <= covered && covered < u.regAddr + u.length)
                covered = u.regAddr + u.length;
        }
        fuzz::require(covered >= s.regAddr + s.length, "a variable is not covered by the blocks of its group");
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    fuzz::Input in{data, size};
    fuzz::resetDriver(in);
    QList<HOST_VAR> vars;
    for (int n = in.u8() % 48; n > 0 && !in.empty(); --n) {
        vars << in.hostVar(18, 8);  // kinds above 15 are dropped
        // Lengths: two bytes, or any 32-bit value.
        vars.last().length = (in.u8() & 0x0F) == 0 ? in.i32() : static_cast<int16_t>(in.u16());
    }
    for (int rebuild = 0; rebuild < 2; ++rebuild) {
        checkReadList(vars, ReCreatReadVarList(&vars));
        for (int i = 0; i < 6 && !in.empty(); ++i)
            fuzz::exchange(in);
        // The host may replace its list with a new limit: the old blocks go entirely.
        if (!(in.u8() & 1))
            break;
        fuzz::host.maxPerFrame = in.limit();
    }
    return 0;
}
