// Host calls with arbitrary kinds, address texts, stations, counts and
// values, interleaved with exchange cycles. Counts are two bytes wide, or
// absurd (2^25 and beyond), which the driver must refuse at once.
#include "fuzz_support.h"

#include <algorithm>

namespace {

const int kMaxCalls = 40;

int anyKind(fuzz::Input& in)
{
    const int8_t k = static_cast<int8_t>(in.u8());
    return (k >= -2 && k <= 13) ? k : k % 14;
}

int anyStation(fuzz::Input& in)
{
    const uint8_t s = in.u8();
    return s < 0xF0 ? s % 4 : static_cast<int8_t>(s);
}

void getRegisterData(fuzz::Input& in)
{
    const int kind = anyKind(in);
    QString addr = in.address(kind);
    const int station = anyStation(in);
    const int count = in.count();
    QByteArray out = in.blob();  // whatever the host left in it
    const int ok = GetRegisterData(in.i32(), kind, addr, station, &out, count);
    fuzz::require(ok == 0 || ok == 1, "GetRegisterData result is neither 0 nor 1");
    const qint64 n = std::max(count, 0);
    if (ok == 0) {
        fuzz::require(out.count('\0') == out.size(), "a refused read returns something other than zeros");
        fuzz::require(out.size() <= 2 * n, "a refused read returns more than 2 x count bytes");
        return;
    }
    qint64 expected = -1;
    switch (kind / 3) {
    case 0: expected = n; break;
    case 1: expected = 2 * n; break;
    case 3: expected = 4 * ((n + 1) / 2); break;
    default: break;  // words: cut where the image ends
    }
    if (expected >= 0)
        fuzz::require(out.size() == expected, "GetRegisterData output length does not follow the kind");
    else if (count >= 0)
        fuzz::require(out.size() <= 2 * n, "a word read returns more than 2 x count bytes");
    if (kind / 3 == 0)
        fuzz::require(out.count('\0') + out.count('\1') == out.size(), "a bit read returns a byte other than 0 or 1");
}

void setRegisterData(fuzz::Input& in)
{
    QString name = QString::fromLatin1(in.blob());
    const int kind = anyKind(in);
    QString addr = in.address(kind);
    const int station = anyStation(in);
    const int count = in.count();
    QByteArray value = in.blob();
    const int before = value.size();
    const int varClass = static_cast<int8_t>(in.u8());
    const int result = SetRegisterData(name, kind, addr, station, (in.u8() & 7) ? &value : nullptr, count, varClass,
                                       in.u8());
    fuzz::require(result >= 0, "SetRegisterData result negative");
    fuzz::require(value.size() <= std::max<qint64>(before, 4 * (static_cast<qint64>(std::max(count, 0)) + 1)),
                  "the host's value array grew beyond what the count needs");
}

RW_VAR anyRecord(fuzz::Input& in)
{
    RW_VAR v;
    v.varClass = static_cast<int8_t>(in.u8());
    v.varId = in.u8() % 4;
    v.writeFlag = in.u8() % 3;
    v.deviceId = (in.u8() & 1) ? fuzz::host().localDeviceId : 5;
    v.regKind = anyKind(in);
    v.addrText = in.address(v.regKind);
    v.regAddr = (in.u8() & 0x80) ? in.i32() : in.u16();
    v.station = anyStation(in);
    v.length = in.count();
    v.bitMode = -static_cast<int>(in.u8() % 3);
    v.spare = in.u8();
    v.data = in.blob();
    return v;
}

void changeSettings(fuzz::Input& in)
{
    COM_INFO& info = fuzz::host();
    const uint8_t which = in.u8();
    switch (which % 6) {
    case 0: info.linkState = (in.u8() & 1) ? 2 : 1; break;
    case 1: info.remoteMode = in.u8() & 1; break;
    case 2: info.multiStation = in.u8() & 1; break;
    case 3: info.maxPerFrame = (in.u8() & 1) ? static_cast<int8_t>(in.u8()) : in.i32(); break;
    case 4: info.defaultStation = in.u8() % 4; break;
    default: info.localDeviceId = in.u8() & 1; break;
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    fuzz::Input in(data, size);
    fuzz::resetDriver();
    COM_INFO& info = fuzz::host();
    const uint8_t settings = in.u8();
    info.retryLimit = settings % 3;
    info.remoteMode = (settings >> 2) & 1;
    info.linkState = (settings & 8) ? 1 : 2;

    for (int call = 0; call < kMaxCalls && !in.empty(); ++call) {
        switch (in.u8() % 12) {
        case 0: case 1:
            getRegisterData(in);
            break;
        case 2: case 3:
            setRegisterData(in);
            break;
        case 4: {
            RW_VAR v = anyRecord(in);
            const int before = PLC_driver.onceReadList.size();
            const int mode = in.u8() % 3;
            const int result = AddListOnceReadVar(&v, mode);
            fuzz::require(result == 0 || result == PLC_driver.onceReadList.size(), "AddListOnceReadVar result");
            fuzz::require(mode == 1 || PLC_driver.onceReadList.size() <= std::max(before, 1024),
                          "one-shot queue grew past its cap");
            break;
        }
        case 5: {
            RW_VAR v = anyRecord(in);
            const int before = PLC_driver.writeList.size();
            const int mode = in.u8() % 3;
            const int result = AddListWriteVar(&v, mode);
            fuzz::require(result == PLC_driver.writeList.size(), "AddListWriteVar result");
            fuzz::require(mode == 1 || result <= std::max(before + (before < 2 ? 1 : 0), 1024),
                          "write queue grew past its cap");
            break;
        }
        case 6: {
            const int kind = anyKind(in);
            const int a = PLCAddressChangeIntef(kind, in.address(kind));
            fuzz::require(a >= -1 || (kind >= 0 && kind <= 11), "an invalid kind gave an address");
            break;
        }
        case 7:
            EnCommStation(anyStation(in), static_cast<int8_t>(in.u8()) % 3);
            break;
        case 8: {
            QList<HOST_VAR> list;
            for (int n = in.u8() % 4; n > 0; --n) {
                HOST_VAR hv{};
                hv.regKind = in.u8() % 13;
                hv.station = in.u8() % 4;
                hv.addrText = in.address(hv.regKind);
                hv.length = in.count();
                list << hv;
            }
            const int blocks = ReCreatReadVarList(&list);
            fuzz::require(blocks == PLC_driver.readList.size(), "ReCreatReadVarList result");
            break;
        }
        case 9:
            changeSettings(in);
            break;
        default:
            fuzz::exchange(in);
            break;
        }
        fuzz::checkInvariants();
    }
    return 0;
}
