// Answers of every shape for outstanding requests of every kind.
//
// Input: the host's settings, then steps. A step either queues a request
// (cyclic or one-shot read of any area, a direct write, a bit or byte
// read-modify-write, a host write), changes the host's settings (frame
// format, identity) while a request may be out, or runs one exchange whose
// answer bytes and `received` count the input picks.
#include "fuzz_support.h"

namespace {

void queueSomething(fuzz::Input& in)
{
    static const int kWritable[] = {1, 2, 4, 5, 7, 8, 10, 11};  // 2, 5: read-modify-write
    static const int kReadAreas[] = {3, 4, 7, 8};
    const int choice = in.u8() % 5;
    RW_VAR v;
    switch (choice) {
    case 0: {  // a cyclic read of any kind
        QList<HOST_VAR> list{in.hostVar(12, 4)};
        list[0].length = in.count();
        ReCreatReadVarList(&list);
        break;
    }
    case 1:
    case 2:  // a one-shot read in host form, or queued as it is
        v = in.record(choice == 1 ? in.u8() % 12 : kReadAreas[in.u8() % 4]);
        AddListOnceReadVar(&v, choice - 1);
        break;
    case 3:  // a write of a writable kind
        v = in.record(kWritable[in.u8() % 8]);
        v.writeFlag = 1;
        v.bitMode = 0;
        AddListWriteVar(&v, 1);
        break;
    default: fuzz::hostWrite(in); break;
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    fuzz::Input in{data, size};
    fuzz::resetDriver(in);
    for (int step = 0; step < 32 && !in.empty(); ++step) {
        switch (in.u8() % 8) {
        case 0:
        case 1:
            queueSomething(in);
            fuzz::checkInvariants();
            break;
        case 2:  // the host changes its settings while a request may be out
            fuzz::configure(in);
            break;
        default: fuzz::exchange(in); break;
        }
    }
    return 0;
}
