// Shared helpers of the driver tests.
#ifndef KEMO_TEST_SUPPORT_H
#define KEMO_TEST_SUPPORT_H

#include "Communication_Protocol.h"
#include "driver_reset.h"

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <gtest/gtest.h>

#include <initializer_list>
#include <optional>
#include <string>
#include <vector>

namespace test {

// "01 03 00 64" -> bytes; "" -> empty.
QByteArray hex(const char* spaced);
// Bytes -> "01 03 00 64" (upper case, single spaces).
std::string hex(const QByteArray& bytes);

// A freshly loaded driver (resetDriver) with a host record of sensible
// defaults installed by SetComInfo. A table row's name, when given, is
// traced in every failure while the host lives, as SCOPED_TRACE does.
struct Host {
    COM_INFO info{};
    std::optional<testing::ScopedTrace> trace;
    explicit Host(const std::string& row = {}, const char* file = __builtin_FILE(), int line = __builtin_LINE());
};

// Collects every debug message the driver writes while it lives.
struct DebugCapture {
    DebugCapture();
    ~DebugCapture();
    QStringList messages;
};

// Registers both host callbacks for its lifetime and records their calls
// as text, "var 77 1 1 2; list 1 1" (VarResultCallBack id, class, varId,
// status; ListResultCallBack class, flag, " non-empty" for a filled list).
// Also checks what every callback may rely on: listMutex held, the store
// free, commFailed telling the outcome.
struct CallbackLog {
    CallbackLog();
    ~CallbackLog();
    std::string calls;
    int failedSeen = 0;  // bit 0: a callback ran with commFailed 0, bit 1: with 1
    bool contractBroken = false;
    static CallbackLog* current;
};

// A read or write variable as the host would queue it directly.
RW_VAR makeVar(int regKind, int regAddr, int length, int station = 1, const char* dataHex = "");
// The same with writeFlag set: a write of `dataHex`.
RW_VAR writeVar(int regKind, int regAddr, const char* dataHex, int station = 1, int length = 1);

// The front request as hex, or "" when none is queued.
std::string frontFrame();

// Hands `answerHex` (nullptr: silence) to DataCom and returns its retCode.
int answer(const char* answerHex);

// Appends a request without a frame straight to protocolList, as a read
// builder would: its data `dataLen` bytes from answer byte 3 on.
void queueRequest(const RW_VAR& var, int answerLen, int dataLen = 0);

// Every entry of a request list in one notation, "station/area:address+length",
// with " data" in hex when it carries data, entries separated by ", ".
std::string entries(const QList<RW_VAR>& list);

// GetRegisterData of `count` units: the bytes it gives in hex, "/", its result.
std::string hostRead(int kind, const char* addr, int count, int station = 1);
// SetRegisterData of station 1 with a copy of the value.
int hostWrite(int kind, const char* addr, const char* valueHex, int count, int varClass = 0, int varId = 0);
// AddListOnceReadVar (mode 0) of a variable in host form.
int onceRead(int kind, const char* addr, int length, int station = 1, int varId = 0);

// The host's variable list for ReCreatReadVarList, each named v<position>.
struct ListVar {
    int kind, station;
    const char* addr;
    int length;
};
QList<HOST_VAR> hostList(std::initializer_list<ListVar> vars);
// ReCreatReadVarList of such a list.
int rebuild(std::initializer_list<ListVar> vars);

// A copy of one area image of one station ("" when it does not exist).
QByteArray image(int station, int area);

}  // namespace test

#endif
