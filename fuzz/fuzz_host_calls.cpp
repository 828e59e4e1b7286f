// Host calls with arbitrary kinds, address texts, stations, counts and
// values, interleaved with exchange cycles. Counts are two bytes wide, or
// absurd (2^25 and beyond), which the driver must refuse at once.
#include "fuzz_support.h"

namespace {

void getRegisterData(fuzz::Input& in)
{
    const int kind = in.small();
    QString addr = in.address(kind);
    const int station = in.station();
    const int count = in.count();
    QByteArray out = in.blob();  // whatever the host left in it
    const int ok = GetRegisterData(in.i32(), kind, addr, station, &out, count);
    // Bits come one byte per unit, bytes two bytes per unit, double words
    // four bytes per pair; words are cut where the image ends.
    const qint64 n = std::max(count, 0);
    const kemo::KindFacts* facts = kemo::kindFacts(kind);
    const int width = facts ? facts->itemBits : 0;
    const qint64 expected = ok != 1 ? -1 : width == 1 ? n : width == 8 ? 2 * n : width == 32 ? 4 * ((n + 1) / 2) : -1;
    fuzz::require(ok == 1 || (ok == 0 && out.count('\0') == out.size()), "a refused read returns other than zeros");
    fuzz::require(expected >= 0 ? out.size() == expected : (ok == 1 && count < 0) || out.size() <= 2 * n,
                  "GetRegisterData output length does not follow the kind and count");
    fuzz::require(ok == 0 || width != 1 || out.count('\0') + out.count('\1') == out.size(),
                  "a bit read returns a byte other than 0 or 1");
}

// A record queued for a one-shot read (`write` false) or a write, in any mode.
void queueRecord(fuzz::Input& in, bool write)
{
    const QList<RW_VAR>& queue = write ? PLC_driver.writeList : PLC_driver.onceReadList;
    RW_VAR v = in.record(in.small());
    v.writeFlag = in.u8() % 3;
    const int before = queue.size();
    const int mode = in.u8() % 3;
    const int result = write ? AddListWriteVar(&v, mode) : AddListOnceReadVar(&v, mode);
    fuzz::require(result == queue.size() || (!write && result == 0), "queue call result is not the queue's size");
    // Mode 1 always appends; otherwise repeats merge and the queue stops at its
    // cap (a write queue of one or none takes a repeat as it is).
    fuzz::require(mode == 1 || queue.size() <= std::max(before + (write && before < 2), 1024),
                  "a queue grew past its cap");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    fuzz::Input in{data, size};
    fuzz::resetDriver(in);
    for (int call = 0; call < 40 && !in.empty(); ++call) {
        switch (in.u8() % 11) {
        case 0:
        case 1: getRegisterData(in); break;
        case 2:
        case 3: fuzz::hostWrite(in); break;
        case 4:
        case 5: queueRecord(in, in.u8() & 1); break;
        case 6: EnCommStation(in.station(), static_cast<int8_t>(in.u8()) % 3); break;
        case 7: {
            QList<HOST_VAR> list;
            for (int n = in.u8() % 4; n > 0; --n) {
                list << in.hostVar(17, 4);
                list.last().length = in.count();
            }
            fuzz::require(ReCreatReadVarList(&list) == PLC_driver.readList.size(), "ReCreatReadVarList result");
            break;
        }
        case 8: fuzz::configure(in); break;
        default: fuzz::exchange(in); break;
        }
        fuzz::checkInvariants();
    }
    return 0;
}
