// Answers of every shape for outstanding requests of every kind.
//
// Input: a settings byte and a limit byte, then steps. A step either queues
// a request (cyclic or one-shot read of any area, a direct write, a bit or
// byte read-modify-write, a host write, a write of a kind nobody writes) or
// runs one exchange whose answer bytes and `received` count the input picks.
#include "fuzz_support.h"

namespace {

const int kMaxSteps = 32;

// A record the host queues as it is (mode 1), with its fields from the input.
RW_VAR rawRecord(fuzz::Input& in, int kind)
{
    const COM_INFO& info = fuzz::host();
    RW_VAR v;
    v.varClass = static_cast<int8_t>(in.u8());
    v.varId = in.u8() % 4;
    v.writeFlag = 0;
    // The device decides local or remote answer handling.
    v.deviceId = (in.u8() & 1) ? info.localDeviceId : info.localDeviceId + 1;
    v.regKind = kind;
    v.regAddr = (in.u8() & 0x80) ? in.i32() : in.u16();
    v.station = in.u8() % 4;
    v.length = in.count();
    v.bitMode = (in.u8() % 4 == 0) ? -1 - (in.u8() & 1) : 0;
    v.data = in.blob();
    return v;
}

void queueSomething(fuzz::Input& in)
{
    static const int kWriteKinds[] = {1, 4, 7, 8, 10, 11};
    static const int kReadAreas[] = {3, 4, 7, 8};
    const int choice = in.u8() % 8;
    switch (choice) {
    case 0: {  // a cyclic read of any kind
        HOST_VAR hv{};
        hv.regKind = in.u8() % 12;
        hv.station = in.u8() % 4;
        hv.addrText = in.address(hv.regKind);
        hv.length = in.count();
        QList<HOST_VAR> list;
        list << hv;
        ReCreatReadVarList(&list);
        break;
    }
    case 1: {  // a one-shot read in host form
        RW_VAR v;
        v.varClass = in.u8() % 13;
        v.regKind = in.u8() % 12;
        v.addrText = in.address(v.regKind);
        v.station = in.u8() % 4;
        v.length = in.count();
        AddListOnceReadVar(&v, 0);
        break;
    }
    case 2: {  // a one-shot read queued as it is
        RW_VAR v = rawRecord(in, kReadAreas[in.u8() % 4]);
        AddListOnceReadVar(&v, 1);
        break;
    }
    case 3: {  // a direct write
        RW_VAR v = rawRecord(in, kWriteKinds[in.u8() % 6]);
        v.writeFlag = 1;
        v.bitMode = 0;
        AddListWriteVar(&v, 1);
        break;
    }
    case 4: case 5: {  // a bit (kind 2) or byte (kind 5) read-modify-write
        RW_VAR v = rawRecord(in, choice == 4 ? 2 : 5);
        v.writeFlag = 1;
        v.bitMode = 0;
        AddListWriteVar(&v, 1);
        break;
    }
    case 6: {  // a write of any kind, the unwritable ones included
        RW_VAR v = rawRecord(in, static_cast<int8_t>(in.u8()) % 14);
        v.writeFlag = 1;
        AddListWriteVar(&v, in.u8() % 3);
        break;
    }
    default: {  // a host write
        QString name = QStringLiteral("v");
        const int kind = in.u8() % 12;
        QString addr = in.address(kind);
        QByteArray value = in.blob();
        const int count = in.count();
        const int station = in.u8() % 4;
        SetRegisterData(name, kind, addr, station, &value, count, in.u8() % 13, in.u8());
        break;
    }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    fuzz::Input in(data, size);
    fuzz::resetDriver();
    COM_INFO& info = fuzz::host();
    const uint8_t settings = in.u8();
    info.remoteMode = settings & 1;
    info.multiStation = (settings >> 1) & 1;
    info.linkState = (settings & 4) ? 2 : 1;
    info.retryLimit = (settings >> 3) & 3;
    info.localDeviceId = (settings >> 5) & 1;
    info.maxPerFrame = static_cast<int8_t>(in.u8());

    for (int step = 0; step < kMaxSteps && !in.empty(); ++step) {
        const uint8_t op = in.u8();
        switch (op % 8) {
        case 0: case 1:
            queueSomething(in);
            fuzz::checkInvariants();
            break;
        case 2:  // the host switches the frame format while a request may be out
            info.remoteMode = !info.remoteMode;
            break;
        case 3:  // the host's own identity changes: answers turn local or remote
            info.localDeviceId ^= 1;
            break;
        default:
            fuzz::exchange(in);
            break;
        }
    }
    return 0;
}
