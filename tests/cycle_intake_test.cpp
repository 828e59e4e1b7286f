// Taking answers: verdicts and result codes, retries, give-ups, callbacks,
// the scan-complete flag.
#include "Driver_Internal.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <optional>
#include <sstream>
#include <string>
#include <thread>

namespace {

const char* const kRead1 = "01 03 02 12 34 00 00";  // one register, checksum not judged
const char* const kEcho = "01 10 00 00 00 01 00 00";

// A one-register holding read (or write of 00 01) at `regAddr`; remote when
// deviceId is not the host's own (0).
RW_VAR var(int varClass, int varId = 1, int deviceId = 0, int station = 1, bool write = false, int regAddr = 0)
{
    RW_VAR v = test::makeVar(8, regAddr, 1, station, write ? "00 01" : "");
    v.varClass = varClass;
    v.varId = varId;
    v.deviceId = deviceId;
    v.writeFlag = write;
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
    const struct { int varClass, deviceId, answerLen; const char* bytes; int received, code; const char* image; } cases[] = {
        {0, 0, 0, "", 0, 1, none}, {0, 0, 0, "01 03", 2, 71, none}, {0, 0, 0, nullptr, 0, 1, none},  // nullptr: no array
        {11, 0, -1, "", 0, 52, none}, {0, 0, -1, "01 03 04 12 34 56 78 00 00 00 00", 11, 1, "34 12 78 56"},
        {0, 0, -1, "01 03 04 12 34 56 78", -1, 1, "34 12 78 56"}, {0, 0, -1, "01 03 04 12 34", 100, 1, "34 12 00 00"},
        {0, 0, -1, "01 03", 2, 1, none}, {0, 0, 9, "01 03 04 12 34", 9, 1, "34 12 00 00"},
        {12, 0, 9, "01 03 04 12 34 56 78 00 00", 8, 71, none}, {-1, 0, 9, "01 03 04 12 34 56 78 00 00", -9, 71, none},
        {-1, 0, 9, nullptr, 0, 41, none}, {0, 0, 9, nullptr, 9, 1, none},
        {0, 9, 9, "01 03 04 12 34 56 78 00 00", 9, 100, none}, {11, 9, 9, "", 0, 152, none}, {12, 9, 9, "01 03 04", 3, 171, none},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(&c - cases);
        test::resetDriver();
        test::Host host;
        host.info.retryLimit = 0;
        RW_VAR v = var(c.varClass, 1, c.deviceId);
        v.length = 2;
        test::queueRequest(v, c.answerLen, 3, 4);
        QByteArray bytes = test::hex(c.bytes ? c.bytes : "");
        EXPECT_EQ(DataCom(c.bytes ? &bytes : nullptr, c.received)->retCode, c.code);
        EXPECT_TRUE(PLC_driver.protocolList.isEmpty());
        EXPECT_EQ(test::hex(test::image(1, 8).leftJustified(4, '\0', true)), c.image);
    }
    test::queueRequest(var(3), 7);  // verdicts no answer gives
    const int verdicts[][2] = {{1, 14}, {5, 114}, {8, 200}, {-1, 200}};
    for (const auto& v : verdicts)
        EXPECT_EQ(GetDriverReturnValue(v[0]), v[1]) << v[0];
}

TEST(Intake, NothingOutstanding)
{
    test::Host host;
    PLC_driver.retValue.varClass = 4;
    EXPECT_EQ(test::answer(nullptr), 1);  // nothing outstanding: nothing failed
    EXPECT_EQ(PLC_driver.retValue.varClass, 4);  // the previous result stays
    EXPECT_EQ(PLC_driver.commFailed.load() + host.info.retryCount, 0);
}

// Which callbacks an exchange ends with, and what is left of its list: a
// given-up write or one-shot read takes its queued repetitions with it
// (matching the station too when stations are per variable).
TEST(Intake, CallbacksAndGiveUps)
{
    enum { Write, Once, Cyclic };
    const char* const mixed = "1/1@1 1/1@2 2/1@1 1/1@1 1/2@1";  // class/id@station
    const struct { int list; bool remote, fails; int multi; const char* queued; const char* calls; const char* left; } cases[] = {
        {Write, false, false, 1, "1/1@1 1/1@1", "", "1/1@1"},  // the later one reports
        {Write, false, true, 1, "1/1@1 1/1@1", "var 77 1 1 2; list 1 1", ""},
        {Write, true, false, 1, "1/1@1", "var 77 1 1 1", ""},
        {Write, false, true, 1, mixed, "var 77 1 1 2; list 1 1", "1/1@2 2/1@1 1/2@1"},
        {Write, false, true, 0, mixed, "var 77 1 1 2; list 1 1", "2/1@1 1/2@1"},
        {Once, true, false, 1, "1/1@1", "", ""},
        {Once, true, true, 1, "1/1@1 1/1@1", "list 1 1", ""},
        {Once, false, true, 1, mixed, "var 77 1 1 2; list 1 1", "1/1@2 2/1@1 1/2@1"},
        {Once, false, true, 0, mixed, "var 77 1 1 2; list 1 1", "2/1@1 1/2@1"},
        {Cyclic, false, false, 1, "1/1@1", "", "1/1@1"},
        {Cyclic, false, true, 0, mixed, "list 1 1", "1/1@2 2/1@1 1/1@1 1/2@1 1/1@1"},  // only rotated
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(&c - cases);
        test::resetDriver();
        QList<RW_VAR>& queue = c.list == Write ? PLC_driver.writeList : c.list == Once ? PLC_driver.onceReadList : PLC_driver.readList;
        test::Host host;
        host.info.retryLimit = 0;
        host.info.multiStation = c.multi;
        test::CallbackLog rec;
        std::istringstream queued(c.queued);
        int cls, id, station;
        char slash, at;
        while (queued >> cls >> slash >> id >> at >> station)
            queue.append(var(cls, id, c.remote ? 9 : 0, station, c.list == Write));
        ASSERT_NE(ComCommunication(), 0);
        EXPECT_EQ(test::answer(c.fails ? nullptr : c.list == Write ? kEcho : kRead1), c.fails ? (c.remote ? 142 : 42) : (c.remote ? 100 : 1));
        EXPECT_EQ(rec.calls, c.calls);
        EXPECT_EQ(keys(queue), c.left);
        EXPECT_EQ(rec.failedSeen, rec.calls.empty() ? 0 : c.fails ? 2 : 1);
        EXPECT_FALSE(rec.contractBroken);
        EXPECT_EQ(PLC_driver.retValue.varClass, 1);
        EXPECT_TRUE(PLC_driver.retValue.data.isEmpty());
    }
}

// The variable counts toward a complete scan only once all its requests
// are answered; failures start the count again.
TEST(Intake, ScanCompleteCounting)
{
    test::Host host;
    RW_VAR r = var(0), bit = test::makeVar(2, 19, 1, 1, "01"), remote = var(2, 2, 9);
    bit.writeFlag = 1;
    AddListReadVar(&r);
    AddListWriteVar(&bit, 1);
    AddListOnceReadVar(&remote, 1);
    // The bit write's read half, its write half (now the variable is done), the
    // remote one-shot read (not counted), the cyclic read (2 exchanges > 1 entry).
    const struct { const char* reply; int code, framesDone, scanCount, scanComplete; } script[] = {
        {kRead1, 1, 1, 0, 0}, {kEcho, 1, 2, 1, 0}, {kRead1, 100, 1, 1, 0}, {kRead1, 1, 1, 0, 1},
        {nullptr, 0, 0, 0, 0}, {kRead1, 1, 1, 1, 0}, {kRead1, 1, 1, 0, 1},
    };
    for (const auto& s : script) {
        SCOPED_TRACE(&s - script);
        ASSERT_NE(ComCommunication(), 0);
        EXPECT_EQ(test::answer(s.reply), s.code);
        EXPECT_EQ(host.info.framesDone, s.framesDone);
        EXPECT_EQ(PLC_driver.scanCount, s.scanCount);
        EXPECT_EQ(host.info.scanComplete, s.scanComplete);
    }
}

// A remote answer is never stored; a read half's merges into its write half
// (bit 3 set, or the high byte replaced by 01) and reports 100 unless it is a
// bit write's first answer.
TEST(Intake, RemoteReadHalves)
{
    const char* const unmerged = "01 10 00 01 00 01 02 00 00 00 00";
    const struct { const char* name; int bitMode, framesDone, code; const char* write; } cases[] = {
        {"plain read", 0, 0, 100, unmerged},
        {"byte read half", -2, 0, 100, "01 10 00 01 00 01 02 01 30 A6 05"},
        {"bit read half, first answer", -1, 0, 1, "01 10 00 01 00 01 02 12 38 AA F3"},
        {"bit read half, second answer", -1, 1, 100, "01 10 00 01 00 01 02 12 38 AA F3"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        test::resetDriver();
        test::Host host;
        test::queueRequest(var(0, 1, 9, 1, false, 1), 7, 3, 2).var.bitMode = c.bitMode;
        test::queueRequest(var(0, 1, 9, 1, true, 1), 8, 0, 0, unmerged);
        PLC_driver.pendingMerge.regAddr = 19;
        PLC_driver.pendingMerge.value = 1;
        host.info.framesPerVar = 2;
        host.info.framesDone = c.framesDone;
        EXPECT_EQ(test::answer("01 03 02 12 30 00 00"), c.code);
        EXPECT_EQ(test::frontFrame(), c.write);
        EXPECT_TRUE(test::image(1, 8).isEmpty());
    }
}

// An answer finishes the front entry of its queue only while that entry is
// the variable the request was built from. Here the queue is emptied while
// the request is out (a host write with the link down does that) and `then`
// queued: an entry that is another variable stays, unreported, and goes out
// on its turn; the same variable again is finished by the answer.
TEST(Intake, AnswerFinishesOnlyTheEntryItWasFor)
{
    enum { Write, Once };
    const struct { const char* name; int list; bool fails; RW_VAR then; const char* calls; const char* left; } cases[] = {
        {"write, another register", Write, false, var(1, 1, 0, 1, true, 5), "", "1/1@1"},
        {"write, another variable", Write, false, var(2, 1, 0, 1, true), "", "2/1@1"},
        {"write, another station", Write, false, var(1, 1, 0, 2, true), "", "1/1@2"},
        {"write, the same variable", Write, false, var(1, 1, 0, 1, true), "var 77 1 1 1", ""},
        {"write given up, another register", Write, true, var(1, 1, 0, 1, true, 5), "list 1 1", "1/1@1"},
        {"one-shot read, another register", Once, false, var(1, 1, 0, 1, false, 5), "", "1/1@1"},
        {"one-shot read given up, another", Once, true, var(2, 1), "list 1 1", "2/1@1"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        test::resetDriver();
        test::Host host;
        host.info.retryLimit = 0;
        test::CallbackLog log;
        RW_VAR first = var(1, 1, 0, 1, c.list == Write);
        (c.list == Write ? AddListWriteVar : AddListOnceReadVar)(&first, 1);
        ASSERT_NE(ComCommunication(), 0);
        RW_VAR then = c.then;
        if (c.list == Write) {
            PLC_driver.writeList.clear();
            AddListWriteVar(&then, 1);
        } else {
            PLC_driver.onceReadList.clear();
            AddListOnceReadVar(&then, 1);
        }
        EXPECT_EQ(test::answer(c.fails ? nullptr : c.list == Write ? kEcho : kRead1), c.fails ? 42 : 1);
        EXPECT_EQ(log.calls, c.calls);
        EXPECT_EQ(keys(c.list == Write ? PLC_driver.writeList : PLC_driver.onceReadList), c.left);
        EXPECT_EQ(PLC_driver.retValue.varClass, 1);  // the result names the variable answered
        if (*c.left) {
            EXPECT_EQ(ComCommunication() ? PLC_driver.protocolList.first().var.regAddr : -1, then.regAddr);
        }
    }
}

// A host write with the link down sets commFailed from another thread. When
// it lands while DataCom waits between its two locked sections (parked here
// by holding the driver's mutexes, as other host threads would), the answer
// still ends the exchange as accepted: no give-up is reported, nothing purged.
TEST(Intake, OutcomeIsTheAnswersOwnWhateverCommFailedSays)
{
    enum { Cyclic, Once };
    const struct { const char* name; int list; const char* calls; const char* left; } cases[] = {
        {"cyclic read", Cyclic, "", "2/1@1 1/1@1"},
        {"one-shot read", Once, "", "1/1@1"},  // the repetition reports for both
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        test::resetDriver();
        test::Host host;
        host.info.retryLimit = 0;
        test::CallbackLog log;
        RW_VAR a = var(1), b = var(2), again = var(1);
        if (c.list == Cyclic) {
            AddListReadVar(&a);
            AddListReadVar(&b);
        } else {
            AddListOnceReadVar(&a, 1);
            AddListOnceReadVar(&again, 1);
            PLC_driver.onceReadList[1].regAddr = 1;  // a repetition a give-up would purge
        }
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
        EXPECT_EQ(log.calls, c.calls);
        EXPECT_EQ(keys(c.list == Cyclic ? d.readList : d.onceReadList), c.left);
        EXPECT_EQ(d.commFailed.load(), 1);  // the host's word stands for the write-through rule
    }
}
