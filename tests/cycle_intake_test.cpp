// Taking answers: verdicts and result codes, retries, give-ups, callbacks,
// the scan-complete flag.
#include "test_support.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

const char* const kRead1 = "01 03 02 12 34 00 00";  // one register, checksum not judged
const char* const kEcho = "01 10 00 00 00 01 00 00";

// A one-register holding read of the given keys; remote when deviceId is
// not the host's own (0).
RW_VAR readVar(int varClass, int varId = 1, int deviceId = 0, int station = 1, int regAddr = 0)
{
    RW_VAR v = test::makeVar(8, regAddr, 1, station);
    v.varClass = varClass;
    v.varId = varId;
    v.deviceId = deviceId;
    return v;
}

RW_VAR writeVar(int varClass, int varId, int station = 1, int regAddr = 0, int deviceId = 0)
{
    RW_VAR v = readVar(varClass, varId, deviceId, station, regAddr);
    v.writeFlag = 1;
    v.data = test::hex("00 01");
    return v;
}

// Everything the callbacks saw, in order, and what they found while running.
struct Events {
    std::vector<std::string> calls;
    bool lockFreeInCallback = false;
    bool storeReadFailed = false;
    std::vector<int> commFailedSeen;
};
Events* events = nullptr;

void observe()
{
    if (PLC_driver.listMutex.tryLock()) {
        events->lockFreeInCallback = true;
        PLC_driver.listMutex.unlock();
    }
    QString addr = "0";
    QByteArray out;
    if (GetRegisterData(0, 8, addr, 1, &out, 1) != 1)
        events->storeReadFailed = true;
    events->commFailedSeen.push_back(PLC_driver.commFailed.load());
}

void onVar(int callbackId, int varClass, int varId, int status)
{
    observe();
    events->calls.push_back("var " + std::to_string(callbackId) + ' ' + std::to_string(varClass) + ' ' +
                            std::to_string(varId) + ' ' + std::to_string(status));
}

void onList(QList<RW_VAR>* results, int varClass, int flag)
{
    observe();
    events->calls.push_back("list " + std::to_string(varClass) + ' ' + std::to_string(flag) +
                            (results && results->isEmpty() ? "" : " non-empty"));
}

struct Recorder : Events {
    Recorder()
    {
        events = this;
        RegistCallBackFuncIntf(onVar, onList);
    }
    ~Recorder() { events = nullptr; }
};

std::vector<std::string> keys(const QList<RW_VAR>& list)
{
    std::vector<std::string> out;
    for (const RW_VAR& v : list)
        out.push_back(std::to_string(v.varClass) + '/' + std::to_string(v.varId) + '@' + std::to_string(v.station));
    return out;
}

}  // namespace

// Every error code carries the class of the variable when it is 0 to 11.
TEST(Intake, ResultCodesThroughDataCom)
{
    struct Class {
        int varClass, offset;
    } classes[] = {{0, 1}, {5, 6}, {11, 12}, {12, 1}, {-1, 1}, {1000, 1}};
    struct Answer {
        const char* bytes;  // nullptr: silence
        int localCode, remoteCode;
    } answers[] = {{nullptr, 40, 140}, {"01 03 02 12 34 00", 70, 170}, {"01 03 02 12 34 00 00 00", 70, 170}};
    for (const Class& c : classes) {
        for (const Answer& a : answers) {
            for (int remote = 0; remote < 2; ++remote) {
                SCOPED_TRACE(std::to_string(c.varClass) + (remote ? " remote " : " local ") + (a.bytes ? a.bytes : "-"));
                test::Host host;
                host.info.retryLimit = 0;
                RW_VAR v = readVar(c.varClass, 1, remote ? 9 : 0);
                ReadRegister(&v);
                EXPECT_EQ(test::answer(a.bytes), (remote ? a.remoteCode : a.localCode) + c.offset);
                EXPECT_TRUE(PLC_driver.protocolList.isEmpty());
                ReadRegister(&v);
                EXPECT_EQ(test::answer(kRead1), remote ? 100 : 1);
            }
        }
    }
}

TEST(Intake, ReturnCodeTable)
{
    test::Host host;
    const struct {
        int verdict, code;
    } table[] = {{0, 1}, {1, 14}, {2, 44}, {3, 74}, {4, 100}, {5, 114}, {6, 144}, {7, 174},
                 {8, 200}, {-1, 200}, {100, 200}, {-200, 200}};
    test::queueRequest(readVar(3), 7);
    for (const auto& row : table)
        EXPECT_EQ(GetDriverReturnValue(row.verdict), row.code) << row.verdict;
    const struct {
        int varClass, base, code;
    } errors[] = {{0, 10, 11}, {11, 170, 182}, {12, 40, 41}, {-5, 110, 111}, {7, 200, 208}};
    for (const auto& row : errors) {
        PLC_driver.protocolList.first().var.varClass = row.varClass;
        EXPECT_EQ(SwitchErrorReturn(row.base), row.code) << row.varClass;
    }
}

TEST(Intake, NothingOutstandingOrNoHostRecord)
{
    RW_VAR v = readVar(4);
    test::queueRequest(v, 7);
    PLC_driver.retValue.retCode = 55;
    QByteArray reply = test::hex(kRead1);
    EXPECT_EQ(DataCom(&reply, 7), &PLC_driver.retValue);
    EXPECT_EQ(PLC_driver.retValue.retCode, 1);
    EXPECT_EQ(PLC_driver.protocolList.size(), 1);  // without a host record nothing is taken
    PLC_driver.protocolList.clear();

    test::Host host;
    AddListReadVar(&v);
    ASSERT_NE(ComCommunication(), 0);
    EXPECT_EQ(test::answer(kRead1), 1);
    EXPECT_EQ(PLC_driver.retValue.varClass, 4);
    for (int silent = 0; silent < 2; ++silent) {
        RW_VAR* r = silent ? DataCom(nullptr, 0) : DataCom(&reply, 7);
        EXPECT_EQ(r, &PLC_driver.retValue);
        EXPECT_EQ(r->retCode, 1);
        EXPECT_EQ(r->varClass, 4);  // the previous result stays
        EXPECT_EQ(PLC_driver.readList.size(), 1);
        EXPECT_EQ(PLC_driver.commFailed.load(), 0);
        EXPECT_EQ(host.info.retryCount, 0);
    }
}

// Failures add up across requests until one passes the limit.
TEST(Intake, RetriesAgainstTheLimit)
{
    test::Host host;
    Recorder rec;
    RW_VAR a = readVar(0, -1, 0, 1, 0), b = readVar(0, -1, 0, 1, 10);
    AddListReadVar(&a);
    AddListReadVar(&b);
    const struct {
        int regAddr;
        const char* reply;
        int code, retryCount;
    } script[] = {
        {0, nullptr, 0, 1},  {0, kRead1, 1, 1},   {10, nullptr, 0, 2}, {10, nullptr, 41, 0},
        {0, "01 03", 0, 1},  {0, kRead1, 1, 1},   {10, kRead1, 1, 1},  {0, nullptr, 0, 2},
        {0, nullptr, 41, 0},
    };
    intptr_t retried = 0;  // a failed request comes back at the same address
    int step = 0;
    for (const auto& s : script) {
        SCOPED_TRACE(step++);
        const intptr_t p = ComCommunication();
        ASSERT_NE(p, 0);
        EXPECT_TRUE(!retried || p == retried);
        EXPECT_EQ(reinterpret_cast<Protocol*>(p)->var.regAddr, s.regAddr);
        EXPECT_EQ(test::answer(s.reply), s.code);
        retried = s.code == 0 ? p : 0;
        EXPECT_EQ(host.info.retryCount, s.retryCount);
        EXPECT_EQ(PLC_driver.commFailed.load(), s.code == 1 ? 0 : 1);
    }
    EXPECT_EQ(rec.calls, (std::vector<std::string>{"list 0 1", "list 0 1"}));

    host.info.retryLimit = 0;
    ASSERT_NE(ComCommunication(), 0);
    EXPECT_EQ(test::answer(nullptr), 41);
}

// A given-up write or one-shot read takes its queued repetitions with it
// (matching the station too when stations are per variable).
TEST(Intake, GiveUpPurgesRepetitions)
{
    for (int list = 0; list < 3; ++list) {
        for (int multi = 0; multi < 2; ++multi) {
            SCOPED_TRACE(std::to_string(list) + " multiStation " + std::to_string(multi));
            PLC_driver.writeList.clear();
            PLC_driver.onceReadList.clear();
            PLC_driver.readList.clear();
            test::Host host;
            host.info.retryLimit = 0;
            host.info.multiStation = multi;
            Recorder rec;
            QList<RW_VAR>& queue = list == 0 ? PLC_driver.writeList : list == 1 ? PLC_driver.onceReadList : PLC_driver.readList;
            const int keyed[][3] = {{1, 1, 1}, {1, 1, 2}, {2, 1, 1}, {1, 1, 1}, {1, 2, 1}};
            for (const auto& k : keyed)
                queue.append(list == 0 ? writeVar(k[0], k[1], k[2]) : readVar(k[0], k[1], 0, k[2]));
            ASSERT_NE(ComCommunication(), 0);
            EXPECT_EQ(test::answer(nullptr), 42);
            std::vector<std::string> left;
            if (list == 2)
                left = {"1/1@2", "2/1@1", "1/1@1", "1/2@1", "1/1@1"};  // only rotated
            else if (multi)
                left = {"1/1@2", "2/1@1", "1/2@1"};
            else
                left = {"2/1@1", "1/2@1"};
            EXPECT_EQ(keys(queue), left);
            std::vector<std::string> calls = {"var 77 1 1 2", "list 1 1"};
            if (list == 2)
                calls.erase(calls.begin());
            EXPECT_EQ(rec.calls, calls);
        }
    }
}

// Which callbacks an exchange ends with, and that they run with the lists
// locked while the store stays readable.
TEST(Intake, Callbacks)
{
    enum { Write, Once, Cyclic };
    const struct {
        int list;
        bool remote, repeated, fails;
        std::vector<std::string> calls;
        int left;  // entries of the list afterwards
    } cases[] = {
        {Write, false, false, false, {"var 77 1 1 1"}, 0},
        {Write, false, true, false, {}, 1},
        {Write, false, true, true, {"var 77 1 1 2", "list 1 1"}, 0},
        {Write, false, false, true, {"var 77 1 1 2", "list 1 1"}, 0},
        {Write, true, false, false, {"var 77 1 1 1"}, 0},
        {Once, false, false, false, {"var 77 1 1 1"}, 0},
        {Once, false, true, false, {}, 1},
        {Once, true, false, false, {}, 0},
        {Once, true, true, true, {"list 1 1"}, 0},
        {Cyclic, false, false, false, {}, 1},
        {Cyclic, false, false, true, {"list 1 1"}, 1},
    };
    int n = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(n++);
        PLC_driver.writeList.clear();
        PLC_driver.onceReadList.clear();
        PLC_driver.readList.clear();
        test::Host host;
        host.info.retryLimit = 0;
        Recorder rec;
        QList<RW_VAR>& queue = c.list == Write ? PLC_driver.writeList : c.list == Once ? PLC_driver.onceReadList : PLC_driver.readList;
        const int device = c.remote ? 9 : 0;
        for (int i = 0; i < (c.repeated ? 2 : 1); ++i)
            queue.append(c.list == Write ? writeVar(1, 1, 1, 0, device) : readVar(1, 1, device));
        ASSERT_NE(ComCommunication(), 0);
        const int expected = c.fails ? (c.remote ? 142 : 42) : (c.remote ? 100 : 1);
        EXPECT_EQ(test::answer(c.fails ? nullptr : c.list == Write ? kEcho : kRead1), expected);
        EXPECT_EQ(rec.calls, c.calls);
        EXPECT_EQ(queue.size(), c.left);
        for (size_t i = 0; i < rec.commFailedSeen.size(); ++i)
            EXPECT_EQ(rec.commFailedSeen[i], c.fails ? 1 : 0);
        EXPECT_FALSE(rec.lockFreeInCallback);
        EXPECT_FALSE(rec.storeReadFailed);
        EXPECT_EQ(PLC_driver.retValue.varClass, 1);
        EXPECT_TRUE(PLC_driver.retValue.data.isEmpty());
    }
}

// The variable counts toward a complete scan only once all its requests
// are answered; failures start the count again.
TEST(Intake, ScanCompleteCounting)
{
    test::Host host;
    RW_VAR r = readVar(0);
    AddListReadVar(&r);
    RW_VAR bit = test::makeVar(2, 19, 1, 1, "01");
    bit.writeFlag = 1;
    AddListWriteVar(&bit, 1);
    RW_VAR remote = readVar(2, 2, 9);
    AddListOnceReadVar(&remote, 1);

    const struct {
        const char* reply;
        int code, framesDone, scanCount, scanComplete;
        size_t writes;
    } script[] = {
        {kRead1, 1, 1, 0, 0, 1},    // read half of the bit write
        {kEcho, 1, 2, 1, 0, 0},     // write half: the variable is done
        {kRead1, 100, 1, 1, 0, 0},  // remote one-shot: not counted
        {kRead1, 1, 1, 0, 1, 0},    // cyclic read: 2 exchanges > 1 entry
        {kRead1, 1, 1, 0, 1, 0},
        {nullptr, 0, 0, 0, 0, 0},
        {kRead1, 1, 1, 1, 0, 0},
        {kRead1, 1, 1, 0, 1, 0},
    };
    int step = 0;
    for (const auto& s : script) {
        SCOPED_TRACE(step++);
        ASSERT_NE(ComCommunication(), 0);
        EXPECT_EQ(test::answer(s.reply), s.code);
        EXPECT_EQ(host.info.framesDone, s.framesDone);
        EXPECT_EQ(PLC_driver.scanCount, s.scanCount);
        EXPECT_EQ(host.info.scanComplete, s.scanComplete);
        EXPECT_EQ(size_t(PLC_driver.writeList.size()), s.writes);
    }
}

// Answer lengths against answerLen 0 (broadcast), -1 (any) and a fixed
// length; `received` is never trusted beyond the bytes actually given.
TEST(Intake, AnswerLengths)
{
    const struct {
        int answerLen;
        const char* bytes;  // nullptr: no array at all
        int received, code;
        const char* image;  // area 8 afterwards, registers 0 and 1
    } cases[] = {
        {0, "", 0, 1, "00 00 00 00"},
        {0, "01 03", 2, 71, "00 00 00 00"},
        {0, nullptr, 0, 1, "00 00 00 00"},
        {-1, "", 0, 41, "00 00 00 00"},
        {-1, "01 03 04 12 34 56 78", 7, 1, "34 12 78 56"},
        {-1, "01 03 04 12 34 56 78 00 00 00 00", 11, 1, "34 12 78 56"},
        {-1, "01 03 04 12 34", 100, 1, "34 12 00 00"},
        {-1, "01 03", 2, 1, "00 00 00 00"},
        {9, "01 03 04 12 34", 9, 1, "34 12 00 00"},
        {9, "01 03 04 12 34 56 78 00 00", 8, 71, "00 00 00 00"},
        {9, nullptr, 0, 41, "00 00 00 00"},
        {9, nullptr, 9, 1, "00 00 00 00"},
    };
    int n = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(n++);
        DataStorage.clear();
        test::Host host;
        host.info.retryLimit = 0;
        test::queueRequest(test::makeVar(8, 0, 2), c.answerLen, 3, 4);
        QByteArray bytes = test::hex(c.bytes ? c.bytes : "");
        EXPECT_EQ(DataCom(c.bytes ? &bytes : nullptr, c.received)->retCode, c.code);
        EXPECT_TRUE(PLC_driver.protocolList.isEmpty());
        QString addr = "0";
        QByteArray out;
        GetRegisterData(0, 8, addr, 1, &out, 2);
        EXPECT_EQ(test::hex(out), c.image);
    }
}

// A remote answer is stored only for a read half (bitMode -1), and then
// reports 100 only when it is the variable's second answer.
TEST(Intake, RemoteAnswers)
{
    const struct {
        int bitMode, framesDone, writeFlag, code;
        bool merged;
    } cases[] = {
        {0, 0, 0, 100, false},  {0, 1, 0, 100, false}, {-2, 0, 0, 100, false},
        {-1, 0, 0, 1, true},    {-1, 1, 0, 100, true}, {-1, 0, 1, 1, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.bitMode) + ' ' + std::to_string(c.framesDone));
        PLC_driver.protocolList.clear();
        test::Host host;
        RW_VAR v = readVar(0, 1, 9, 1, 1);
        v.bitMode = c.bitMode;
        v.writeFlag = c.writeFlag;
        test::queueRequest(v, 7, 3, 2);
        test::queueRequest(writeVar(0, 1, 1, 1, 9), 8, 0, 0, "01 10 00 01 00 01 02 00 00 00 00");
        PLC_driver.pendingMerge.regAddr = 19;
        PLC_driver.pendingMerge.value = 1;
        host.info.framesPerVar = 2;
        host.info.framesDone = c.framesDone;
        EXPECT_EQ(test::answer("01 03 02 12 30 00 00"), c.code);
        ASSERT_EQ(PLC_driver.protocolList.size(), 1);
        EXPECT_EQ(test::hex(PLC_driver.protocolList.first().frame),
                  c.merged ? "01 10 00 01 00 01 02 12 38 AA F3" : "01 10 00 01 00 01 02 00 00 00 00");
        EXPECT_TRUE(test::image(1, 8).isEmpty());
    }
}
