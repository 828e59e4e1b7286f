// Taking answers: verdicts and result codes, retries, give-ups, callbacks,
// the scan-complete flag.
#include "Driver_Internal.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <tuple>

namespace {

const char* const kRead1 = "01 03 02 12 34 00 00";  // one register, checksum not judged
const char* const kEcho = "01 10 00 00 00 01 00 00";

// A one-register holding read (or write of 00 01) at `regAddr`; remote when
// deviceId is not the host's own (0).
RW_VAR var(int varClass, int varId = 1, int deviceId = 0, int station = 1, bool write = false, int regAddr = 0)
{
    RW_VAR v = write ? test::writeVar(8, regAddr, "00 01", station) : test::makeVar(8, regAddr, 1, station);
    v.varClass = varClass;
    v.varId = varId;
    v.deviceId = deviceId;
    return v;
}

// "class/id@station ..." of every entry of a list.
std::string keys(const QList<RW_VAR>& list)
{
    std::string out;
    for (const RW_VAR& v : list)
        out += (out.empty() ? "" : " ") + std::to_string(v.varClass) + '/' + std::to_string(v.varId) + '@' +
               std::to_string(v.station);
    return out;
}

}  // namespace

// Answer lengths against answerLen 0 (broadcast), -1 (any) and a fixed
// length, with the codes they give: error codes carry the variable's class
// when it is 0 to 11, remote ones are 100 higher. `received` is never
// trusted beyond the bytes actually given; remote answers are not stored.
TEST(Intake, AnswersAndResultCodes)
{
    const char* const none = "00 00 00 00";  // image: registers 0 and 1 as stored
    const char* const full = "01 03 04 12 34 56 78 00 00";
    const struct {
        const char* name;
        int varClass, deviceId, answerLen;
        const char* bytes;
        int received, code;
        const char* image;
    } cases[] = {
        {"broadcast, silence", 0, 0, 0, "", 0, 1, none},
        {"broadcast answered", 0, 0, 0, "01 03", 2, 71, none},
        {"any length, silence", 11, 0, -1, "", 0, 52, none},
        {"any length, long answer", 0, 0, -1, "01 03 04 12 34 56 78 00 00 00 00", 11, 1, "34 12 78 56"},
        {"count beyond the bytes", 0, 0, -1, "01 03 04 12 34", 100, 1, "34 12 00 00"},
        {"any length, no data", 0, 0, -1, "01 03", 2, 1, none},
        {"wrong length, class 12", 12, 0, 9, full, 8, 71, none},
        {"negative count, class -1", -1, 0, 9, full, -9, 71, none},
        {"silence, class -1", -1, 0, 9, nullptr, 0, 41, none},
        {"right count, no array", 0, 0, 9, nullptr, 9, 1, none},
        {"remote, accepted, not stored", 0, 9, 9, full, 9, 100, none},
        {"remote silence", 11, 9, 9, "", 0, 152, none},
        {"remote wrong length", 12, 9, 9, "01 03 04", 3, 171, none},
    };
    for (const auto& c : cases) {
        test::Host host(c.name);
        host.info.retryLimit = 0;
        RW_VAR v = var(c.varClass, 1, c.deviceId);
        v.length = 2;
        test::queueRequest(v, c.answerLen, 4);
        QByteArray bytes = test::hex(c.bytes ? c.bytes : "");
        EXPECT_EQ(DataCom(c.bytes ? &bytes : nullptr, c.received)->retCode, c.code);
        EXPECT_TRUE(PLC_driver.protocolList.isEmpty());
        EXPECT_EQ(host.info.retryCount, 0);  // a give-up starts the count again
        EXPECT_EQ(test::hex(test::image(1, 8).leftJustified(4, '\0', true)), c.image);
    }
    PLC_driver.retValue.varClass = 4;
    EXPECT_EQ(test::answer(nullptr), 1);         // nothing outstanding: nothing failed
    EXPECT_EQ(PLC_driver.retValue.varClass, 4);  // and the previous result stays
    test::queueRequest(var(3), 7);               // verdicts no answer gives
    EXPECT_EQ(std::make_tuple(GetDriverReturnValue(1), GetDriverReturnValue(5), GetDriverReturnValue(8),
                              GetDriverReturnValue(-1)),
              std::make_tuple(14, 114, 200, 200));
}

// Which callbacks an exchange ends with, and what is left of its list: a
// given-up write or one-shot read takes its queued repetitions with it
// (matching the station too when stations are per variable). An answer
// finishes the front entry only while it is the very entry the request was
// built from: `refill` empties the list while the request is out (a host
// write with the link down does that) and queues other entries, even an
// equal one, which stay unreported and go out on their turn.
TEST(Intake, CallbacksAndGiveUps)
{
    enum { Write, Once, Cyclic };
    const char* const mixed = "1/1@1 1/1@2 2/1@1 1/1@1 1/2@1";  // class/id@station[:address]
    const char* const giveUp = "var 77 1 1 2; list 1 1";
    const struct {
        const char* name;
        int list;
        bool remote, fails;
        int multi;
        const char *queued, *refill;
        const char *calls, *left;
    } cases[] = {
        {"write repeated: the later reports", Write, false, false, 1, "1/1@1 1/1@1", nullptr, "", "1/1@1"},
        {"write repeated, given up", Write, false, true, 1, "1/1@1 1/1@1", nullptr, giveUp, ""},
        {"remote write", Write, true, false, 1, "1/1@1", nullptr, "var 77 1 1 1", ""},
        {"write given up, by station", Write, false, true, 1, mixed, nullptr, giveUp, "1/1@2 2/1@1 1/2@1"},
        {"write given up, any station", Write, false, true, 0, mixed, nullptr, giveUp, "2/1@1 1/2@1"},
        {"remote one-shot read", Once, true, false, 1, "1/1@1", nullptr, "", ""},
        {"remote one-shot read given up", Once, true, true, 1, "1/1@1 1/1@1", nullptr, "list 1 1", ""},
        {"one-shot read given up, by station", Once, false, true, 1, mixed, nullptr, giveUp, "1/1@2 2/1@1 1/2@1"},
        {"one-shot read given up, any station", Once, false, true, 0, mixed, nullptr, giveUp, "2/1@1 1/2@1"},
        {"cyclic read", Cyclic, false, false, 1, "1/1@1", nullptr, "", "1/1@1"},
        {"cyclic given up", Cyclic, false, true, 0, mixed, nullptr, "list 1 1", "1/1@2 2/1@1 1/1@1 1/2@1 1/1@1"},
        {"write, refilled: the same variable", Write, false, false, 1, "1/1@1", "1/1@1", "", "1/1@1"},
        {"write given up, refilled", Write, false, true, 1, "1/1@1", "1/1@1:5", "list 1 1", "1/1@1"},
        {"one-shot read, refilled", Once, false, false, 1, "1/1@1", "1/1@1:5", "", "1/1@1"},
        {"one-shot read given up, refilled", Once, false, true, 1, "1/1@1", "2/1@1", "list 1 1", "2/1@1"},
    };
    for (const auto& c : cases) {
        test::Host host(c.name);
        QList<RW_VAR>& queue = c.list == Write  ? PLC_driver.writeList
                               : c.list == Once ? PLC_driver.onceReadList
                                                : PLC_driver.readList;
        host.info.retryLimit = 0;
        host.info.multiStation = c.multi;
        test::CallbackLog rec;
        const auto fill = [&](const char* keys) {
            std::istringstream in(keys);
            int cls, id, station, address = 0;
            char slash, at;
            while (in >> cls >> slash >> id >> at >> station) {
                if (in.peek() == ':')
                    in >> at >> address;
                queue.append(var(cls, id, c.remote ? 9 : 0, station, c.list == Write, address));
            }
        };
        fill(c.queued);
        ASSERT_NE(ComCommunication(), 0);
        if (c.refill) {
            (c.list == Write ? PLC_driver.writeList : PLC_driver.onceReadList).clear();
            fill(c.refill);
        }
        EXPECT_EQ(test::answer(c.fails           ? nullptr
                               : c.list == Write ? kEcho
                                                 : kRead1),
                  c.fails ? (c.remote ? 142 : 42) : (c.remote ? 100 : 1));
        EXPECT_EQ(rec.calls, c.calls);
        EXPECT_EQ(keys(queue), c.left);
        EXPECT_EQ(rec.failedSeen, rec.calls.empty() ? 0 : c.fails ? 2 : 1);
        EXPECT_FALSE(rec.contractBroken);
        EXPECT_EQ(PLC_driver.retValue.varClass, 1);  // the variable answered
        EXPECT_TRUE(PLC_driver.retValue.data.isEmpty());
        EXPECT_EQ(ComCommunication() != 0, !queue.isEmpty());
    }
}

// The variable counts toward a complete scan only once all its requests
// are answered; failures start the count again.
TEST(Intake, ScanCompleteCounting)
{
    test::Host host;
    RW_VAR r = var(0), bit = test::writeVar(2, 19, "01"), remote = var(2, 2, 9);
    AddListReadVar(&r);
    AddListWriteVar(&bit, 1);
    AddListOnceReadVar(&remote, 1);
    const struct {
        const char *name, *reply;
        int code, framesDone, scanCount, scanComplete;
    } script[] = {
        {"bit write, read half", kRead1, 1, 1, 0, 0},
        {"bit write, write half: done", kEcho, 1, 2, 1, 0},
        {"remote one-shot read: not counted", kRead1, 100, 1, 1, 0},
        {"cyclic read: 2 exchanges > 1 entry", kRead1, 1, 1, 0, 1},
        {"cyclic read fails", nullptr, 0, 0, 0, 0},
        {"cyclic read again", kRead1, 1, 1, 1, 0},
        {"and again: complete", kRead1, 1, 1, 0, 1},
    };
    for (const auto& s : script) {
        SCOPED_TRACE(s.name);
        ASSERT_NE(ComCommunication(), 0);
        EXPECT_EQ(test::answer(s.reply), s.code);
        EXPECT_EQ(std::make_tuple(host.info.framesDone, PLC_driver.scanCount, host.info.scanComplete),
                  std::make_tuple(s.framesDone, s.scanCount, s.scanComplete));
    }
    EXPECT_EQ(host.info.retryCount, 1);  // a failure counts until a give-up, across answers
}

// A host write with the link down sets commFailed from another thread. When
// it lands while DataCom waits between its two locked sections (parked here
// by holding the driver's mutexes, as other host threads would), the answer
// still ends the exchange as accepted: a one-shot read whose repetition
// waits reports nothing, calls no ListResultCallBack and purges nothing.
TEST(Intake, OutcomeIsTheAnswersOwnWhateverCommFailedSays)
{
    test::Host host;
    host.info.retryLimit = 0;
    test::CallbackLog log;
    RW_VAR first = var(1), again = var(1, 1, 0, 1, false, 1);
    AddListOnceReadVar(&first, 1);
    AddListOnceReadVar(&again, 1);
    ASSERT_NE(ComCommunication(), 0);
    Communication_Protocol& d = PLC_driver;
    d.retValue.retCode = -1;
    d.commFailed = 1;
    // Held as the driver holds its locks, so a thread sanitizer sees them too.
    std::optional<kemo::Locker> store(&d.storeMutex), list;
    int code = 0;
    std::thread exchange([&] { code = test::answer(kRead1); });
    // Once DataCom has set retCode in its first section it waits for the store.
    for (list.emplace(&d.listMutex); d.retValue.retCode != 1; list.emplace(&d.listMutex)) {
        list.reset();
        std::this_thread::yield();
    }
    store.reset();
    while (d.commFailed.load() != 0)  // answer stored and accepted: DataCom waits for listMutex
        std::this_thread::yield();
    d.commFailed = 1;  // what SetRegisterData with linkState not 2 does meanwhile
    list.reset();
    exchange.join();
    EXPECT_EQ(code, 1);
    EXPECT_EQ(log.calls, "");
    EXPECT_EQ(test::entries(d.onceReadList), "1/8:1+1");
    EXPECT_EQ(d.commFailed.load(), 1);  // the host's word stands for the write-through rule
}
