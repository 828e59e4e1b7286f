// Taking answers: verdicts and result codes, retries, give-ups, callbacks,
// the scan-complete flag.
#include "test_support.h"

#include <gtest/gtest.h>

#include <sstream>
#include <string>

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

// What the callbacks saw, in order. Both must run with the lists locked,
// the store readable and commFailed already telling the outcome.
struct Recorder {
    std::string calls;
    int failedSeen = 0;  // bit 0: called with commFailed 0, bit 1: with 1
    bool contractBroken = false;
    inline static Recorder* on = nullptr;
    Recorder() { on = this; RegistCallBackFuncIntf(onVar, onList); }
    void seen(const std::string& call)
    {
        const bool lockFree = PLC_driver.listMutex.tryLock();
        if (lockFree)
            PLC_driver.listMutex.unlock();
        QString addr = "0";
        QByteArray out;
        contractBroken |= lockFree || GetRegisterData(0, 8, addr, 1, &out, 1) != 1;
        failedSeen |= 1 << PLC_driver.commFailed.load();
        calls += (calls.empty() ? "" : "; ") + call;
    }
    static void onVar(int id, int cls, int varId, int st) { on->seen(QString::asprintf("var %d %d %d %d", id, cls, varId, st).toStdString()); }
    static void onList(QList<RW_VAR>* results, int cls, int flag)
    {
        on->seen(QString::asprintf("list %d %d%s", cls, flag, results && results->isEmpty() ? "" : " non-empty").toStdString());
    }
};

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
        DataStorage.clear();
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
        QList<RW_VAR>& queue = c.list == Write ? PLC_driver.writeList : c.list == Once ? PLC_driver.onceReadList : PLC_driver.readList;
        PLC_driver.writeList.clear();
        PLC_driver.onceReadList.clear();
        PLC_driver.readList.clear();
        PLC_driver.writeStreak = PLC_driver.onceReadStreak = 0;
        test::Host host;
        host.info.retryLimit = 0;
        host.info.multiStation = c.multi;
        Recorder rec;
        std::istringstream keys(c.queued);
        int cls, id, station;
        char slash, at;
        while (keys >> cls >> slash >> id >> at >> station)
            queue.append(var(cls, id, c.remote ? 9 : 0, station, c.list == Write));
        ASSERT_NE(ComCommunication(), 0);
        EXPECT_EQ(test::answer(c.fails ? nullptr : c.list == Write ? kEcho : kRead1), c.fails ? (c.remote ? 142 : 42) : (c.remote ? 100 : 1));
        EXPECT_EQ(rec.calls, c.calls);
        std::string left;
        for (const RW_VAR& v : queue)
            left += (left.empty() ? "" : " ") + std::to_string(v.varClass) + '/' + std::to_string(v.varId) + '@' + std::to_string(v.station);
        EXPECT_EQ(left, c.left);
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

// A remote answer is stored only for a read half (bitMode -1), and then
// reports 100 only when it is the variable's second answer.
TEST(Intake, RemoteReadHalves)
{
    const struct { int bitMode, framesDone, code; bool merged; } cases[] = {
        {0, 0, 100, false}, {-2, 0, 100, false}, {-1, 0, 1, true}, {-1, 1, 100, true}};
    for (const auto& c : cases) {
        SCOPED_TRACE(&c - cases);
        PLC_driver.protocolList.clear();
        test::Host host;
        test::queueRequest(var(0, 1, 9, 1, false, 1), 7, 3, 2).var.bitMode = c.bitMode;
        test::queueRequest(var(0, 1, 9, 1, true, 1), 8, 0, 0, "01 10 00 01 00 01 02 00 00 00 00");
        PLC_driver.pendingMerge.regAddr = 19;
        PLC_driver.pendingMerge.value = 1;
        host.info.framesPerVar = 2;
        host.info.framesDone = c.framesDone;
        EXPECT_EQ(test::answer("01 03 02 12 30 00 00"), c.code);
        EXPECT_EQ(test::frontFrame(), c.merged ? "01 10 00 01 00 01 02 12 38 AA F3" : "01 10 00 01 00 01 02 00 00 00 00");
        EXPECT_TRUE(test::image(1, 8).isEmpty());
    }
}
