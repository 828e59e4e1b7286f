// Public header of the KEMO IPC RTU driver (libkemo_ipc_rtu.so.1).
//
// A host includes this header for the shared records and the entry points.
// The records cross the library boundary by address: their field order and
// widths must never change. On the 32-bit target every field is four bytes.
#ifndef KEMO_COMMUNICATION_PROTOCOL_H
#define KEMO_COMMUNICATION_PROTOCOL_H

#include <QByteArray>
#include <QHash>
#include <QList>
#include <QMap>
#include <QMutex>
#include <QString>

#include <atomic>
#include <cstddef>
#include <cstdint>

#define KEMO_EXPORT __attribute__((visibility("default")))

// One variable, or one request for a variable.
struct RW_VAR {
    int varClass = 0;    // host class number; first key of the result callbacks
    int varId = 0;       // host identifier within the class
    int writeFlag = 0;   // 0 = read, nonzero = write
    int remoteFlag = 0;  // remote mode at the time the driver made the entry
    int deviceId = 0;    // equals COM_INFO::localDeviceId for a local answer
    int retCode = 0;     // result code, meaningful in the record DataCom returns
    QString nameText;
    QString addrText;
    int regKind = 0;  // register kind 0..15, or an area code 3/4/8/14 once normalised
    int regAddr = 0;
    int station = 0;
    int length = 0;
    int bitMode = 0;  // -1 / -2: read half of a bit / byte read-modify-write
    int spare = 0;
    QByteArray data;
};

// One request waiting to be sent or answered.
struct Protocol {
    QByteArray frame;
    int frameLen = 0;
    int answerLen = 0;  // 0 = no answer expected, -1 = any length accepted
    int dataOffset = 0;
    int dataLen = 0;
    RW_VAR var;
    int reserved1 = 0;
    int reserved2 = 0;
    int reserved3 = 0;
};

// The host's communication record. The host owns it; the driver keeps its
// address and works on it in place. Words marked host* are the host's own.
struct COM_INFO {
    int host0;
    int host4;
    int host8;
    int host12;
    int maxPerFrame;
    int host20;
    int defaultStation;
    int retryLimit;
    int retryCount;
    int multiStation;
    int cleared40;  // set to 0 by SetComInfo
    int framesPerVar;
    int framesDone;
    int cleared52;  // set to 0 by SetComInfo
    int remoteMode;
    int localDeviceId;
    int linkState;  // 2 = host writes reach the controller
    int scanComplete;
    int callbackId;
};

// The host's description of one cyclic variable, as read by ReCreatReadVarList.
struct HOST_VAR {
    unsigned char hostByte0;
    unsigned char regKind;  // register kind 0..15
    unsigned char station;  // used while COM_INFO::multiStation is nonzero
    unsigned char hostBytes3[5];
    QString addrText;
    QString nameText;
    int length;  // in units of the kind's width
};

// One stretch of one area of one station, used to size store images.
struct ControlInformationM {
    int station;
    int regKind;
    int regAddr;
    int length;
};

// Per-station options (SetStationOptions), bits that may be combined.
enum KemoStationOption {
    // Cyclic reads of the station cover each variable exactly, one block per
    // variable: never a register or coil between variables, never coils
    // padded to whole bytes. For devices that refuse reads of addresses
    // they do not hold.
    KEMO_STATION_NO_MERGE = 1,
    // A write of one holding register goes out as function 06 instead of
    // function 10 with a quantity of 1. For devices that only take 06.
    KEMO_STATION_SINGLE_WRITES = 2,
};
const int KEMO_STATION_OPTION_BITS = KEMO_STATION_NO_MERGE | KEMO_STATION_SINGLE_WRITES;
const int KEMO_FIRST_STATION = 1;
const int KEMO_LAST_STATION = 247;

typedef void (*VarResultCallBackFunc)(int callbackId, int varClass, int varId, int status);
typedef void (*ListResultCallBackFunc)(QList<RW_VAR>* results, int varClass, int flag);

// The write and one-shot read queues: a list of requests that also counts
// its entries per range (station, kind, address, length) and per variable
// (class and id), so that looking for a waiting write of the same range or
// a repetition of the same variable costs nothing when there is none, and
// that numbers its front entries, so that an answer finishes only the entry
// its request was built from, never an equal one that took its place.
// Every change of the entries goes through the members below, which keep
// all of it in step; moving entries around (the scheduler's rotation)
// happens only while no request is out and leaves it unchanged.
class RequestQueue : public QList<RW_VAR> {
public:
    void append(const RW_VAR& v)
    {
        QList<RW_VAR>::append(v);
        tally(v, 1);
    }
    void replace(int i, const RW_VAR& v)
    {
        tally(at(i), -1);
        QList<RW_VAR>::replace(i, v);
        tally(v, 1);
        if (i == 0)
            ++headSerial_;
    }
    void removeFirst()
    {
        tally(first(), -1);
        QList<RW_VAR>::removeFirst();
        ++headSerial_;
    }
    void removeLast()
    {
        tally(last(), -1);
        QList<RW_VAR>::removeLast();
        if (isEmpty())
            ++headSerial_;
    }
    void removeAt(int i)
    {
        tally(at(i), -1);
        QList<RW_VAR>::removeAt(i);
        if (i == 0)
            ++headSerial_;
    }
    void clear()
    {
        QList<RW_VAR>::clear();
        ranges_.clear();
        variables_.clear();
        counted_ = 0;
        ++headSerial_;
    }
    // Names the front entry: it changes whenever that entry leaves.
    quint64 headSerial() const { return headSerial_; }
    // Entries from position 1 on that may share `v`'s write range (0: none do).
    int rangeCountPastHead(const RW_VAR& v) const
    {
        recountIfBypassed();
        if (isEmpty())
            return 0;
        return ranges_.value(rangeKey(v)) - (rangeKey(first()) == rangeKey(v) ? 1 : 0);
    }
    // Entries of `v`'s variable (same class and id), `v` itself included if queued.
    int variableCount(const RW_VAR& v) const
    {
        recountIfBypassed();
        return variables_.value(variableKey(v));
    }

private:
    // The write range folded into 64 bits. Two ranges may share a value: a
    // count above 0 is checked entry by entry.
    static quint64 rangeKey(const RW_VAR& v)
    {
        quint64 h = static_cast<quint32>(v.station);
        for (int word : {v.regKind, v.regAddr, v.length})
            h = (h ^ static_cast<quint32>(word)) * 0x9E3779B97F4A7C15ull;
        return h ^ (h >> 29);
    }
    static quint64 variableKey(const RW_VAR& v)
    {
        return static_cast<quint64>(static_cast<quint32>(v.varClass)) << 32 | static_cast<quint32>(v.varId);
    }
    static void count(QHash<quint64, int>& counts, quint64 key, int delta)
    {
        const int n = counts.value(key) + delta;
        if (n > 0)
            counts.insert(key, n);
        else
            counts.remove(key);
    }
    void tally(const RW_VAR& v, int delta) const
    {
        count(ranges_, rangeKey(v), delta);
        count(variables_, variableKey(v), delta);
        counted_ += delta;
    }
    // Changed through the plain list interface: count afresh.
    void recountIfBypassed() const
    {
        if (counted_ == size())
            return;
        ranges_.clear();
        variables_.clear();
        counted_ = 0;
        for (const RW_VAR& e : *this)
            tally(e, 1);
    }
    mutable QHash<quint64, int> ranges_;
    mutable QHash<quint64, int> variables_;
    mutable int counted_ = 0;  // entries the counts cover
    quint64 headSerial_ = 0;
};

// The driver state. Internal: the host never sees this object.
class KEMO_EXPORT Communication_Protocol {
public:
    Communication_Protocol();
    ~Communication_Protocol();
    Communication_Protocol(const Communication_Protocol&) = delete;
    Communication_Protocol& operator=(const Communication_Protocol&) = delete;

    COM_INFO* comInfo = nullptr;
    QList<RW_VAR> readList;
    RequestQueue writeList;
    RequestQueue onceReadList;
    QList<Protocol> protocolList;
    VarResultCallBackFunc VarResultCallBack = nullptr;
    ListResultCallBackFunc ListResultCallBack = nullptr;
    QMutex listMutex;
    QMutex storeMutex;
    QMutex stationMutex;
    QMap<int, int> disabledStations;
    RW_VAR retValue;
    int requestKind = 100;
    int writeStreak = 0;
    int onceReadStreak = 0;
    int scanCount = 0;
    std::atomic<unsigned char> commFailed{0};

    // Options of stations 1 to 247 (SetStationOptions). Writes read them
    // while building, so they may change from another thread at any time.
    std::atomic<int> stationOptions[KEMO_LAST_STATION + 1] = {};

    // What the read half of a bit or byte read-modify-write merges into the
    // register. Taken under listMutex when the pair is built, so the merge
    // never depends on writeList still holding that write when the answer
    // arrives.
    struct PendingMerge {
        int regAddr = 0;          // bit address (bit write) or byte address (byte write)
        unsigned char value = 0;  // first data byte of the write
    } pendingMerge;

    // The front entry of writeList or onceReadList the outstanding request
    // was built from (its headSerial when it was scheduled). An answer
    // finishes the front entry only while it is still that entry.
    quint64 exchangeSource = 0;
};

// Register store: station -> area code -> area image.
typedef QMap<int, QMap<int, QByteArray>> RegisterStore;

KEMO_EXPORT extern Communication_Protocol PLC_driver;
KEMO_EXPORT extern RegisterStore DataStorage;
KEMO_EXPORT extern int LB;
KEMO_EXPORT extern int LW;
KEMO_EXPORT extern int RWI;

// ---- Host entry points: plain, undecorated names ----
extern "C" {
KEMO_EXPORT void SetComInfo(COM_INFO* info);
KEMO_EXPORT void FlashLocalRegister(int lb, int lw, int rwi);
KEMO_EXPORT void RegistCallBackFuncIntf(VarResultCallBackFunc varResult, ListResultCallBackFunc listResult);
KEMO_EXPORT int PLCAddressChangeIntef(int kind, QString addrText);

KEMO_EXPORT int ReCreatReadVarList(QList<HOST_VAR>* hostVars);
KEMO_EXPORT int AddListReadVar(RW_VAR* var);
KEMO_EXPORT int AddListWriteVar(RW_VAR* var, int mode);
KEMO_EXPORT int AddListOnceReadVar(RW_VAR* var, int mode);

KEMO_EXPORT intptr_t ComCommunication();
KEMO_EXPORT RW_VAR* DataCom(QByteArray* answer, int received);

KEMO_EXPORT void EnCommStation(int station, int mode);
KEMO_EXPORT void EnableEthernet(int station, int mode);
// Sets the options (KEMO_STATION_* bits) of one station and returns its
// previous options; -1 for a station outside 1..247 or an unknown bit, and
// nothing changes. Reads follow at the next ReCreatReadVarList, writes at once.
KEMO_EXPORT int SetStationOptions(int station, int options);

KEMO_EXPORT int GetRegisterData(int unused, int kind, QString& addrText, int station, QByteArray* out, int count);
KEMO_EXPORT int QueryFinishFlag();
KEMO_EXPORT int SetRegisterData(QString& nameText, int kind, QString& addrText, int station, QByteArray* value,
                                int count, int varClass, int varId);
}

// ---- Library functions: C++ linkage, exported ----
KEMO_EXPORT int StringAddressToInt(int kind, QString addrText);

KEMO_EXPORT unsigned short CalSUM(unsigned char* data, unsigned short length);
KEMO_EXPORT unsigned short CalCRC(unsigned char* data, unsigned short length);
KEMO_EXPORT unsigned short CalLRC(unsigned char* data, unsigned short length);
KEMO_EXPORT unsigned short CalXOR(unsigned char* data, unsigned short length);
KEMO_EXPORT int DigitalToASCII(int digit);
KEMO_EXPORT int ASCIIToDigital(int character);

KEMO_EXPORT void ReadRegister(RW_VAR* var);
KEMO_EXPORT void ReadAnalog(RW_VAR* var);
KEMO_EXPORT void WriteRegister(RW_VAR* var);
KEMO_EXPORT void WriteAnalog(RW_VAR* var);
KEMO_EXPORT void Remote_ReadVar(RW_VAR* var);
KEMO_EXPORT void Remote_WriteVar(RW_VAR* var);

KEMO_EXPORT int getPlcReg(int kind);
KEMO_EXPORT void checkTheStorage(ControlInformationM& record);
KEMO_EXPORT int updateRwVar(RW_VAR* var);
KEMO_EXPORT void Bubble_Sort(QList<RW_VAR>* list);
KEMO_EXPORT void BitVarReCreat_1(QList<RW_VAR>* list);
KEMO_EXPORT void BitVarReCreat_2(QList<RW_VAR>* list, int gap);
KEMO_EXPORT void BitVarReCreat_3(QList<RW_VAR>* list, int maxLength);
KEMO_EXPORT void WhetherGroup(int total, int maxLength, RW_VAR* var, QList<RW_VAR>* list);

KEMO_EXPORT void SaveToLocalDataErea(QByteArray* answer);
KEMO_EXPORT void special_register_save_bit(QByteArray* answer);
KEMO_EXPORT void special_register_save_byte(QByteArray* answer);
KEMO_EXPORT void WriteDataToLocal(RW_VAR* request);

KEMO_EXPORT int DealDataOfLocalArea(QByteArray* answer, int received);
KEMO_EXPORT int DealDataOfRemoteArea(QByteArray* answer, int received);
KEMO_EXPORT int CheckGetData(QByteArray* answer, int received);
KEMO_EXPORT int GetDriverReturnValue(int verdict);
KEMO_EXPORT int SwitchErrorReturn(int base);
KEMO_EXPORT void passRetValue(const RW_VAR& from, RW_VAR& to);
KEMO_EXPORT int Ethernetcontains(int station);

// ---- Record layout on the 32-bit target ----
#if UINTPTR_MAX == 0xFFFFFFFFu
static_assert(sizeof(RW_VAR) == 60, "RW_VAR is 60 bytes");
static_assert(offsetof(RW_VAR, varClass) == 0 && offsetof(RW_VAR, varId) == 4 && offsetof(RW_VAR, writeFlag) == 8 &&
                  offsetof(RW_VAR, remoteFlag) == 12 && offsetof(RW_VAR, deviceId) == 16 &&
                  offsetof(RW_VAR, retCode) == 20 && offsetof(RW_VAR, nameText) == 24 &&
                  offsetof(RW_VAR, addrText) == 28 && offsetof(RW_VAR, regKind) == 32 &&
                  offsetof(RW_VAR, regAddr) == 36 && offsetof(RW_VAR, station) == 40 &&
                  offsetof(RW_VAR, length) == 44 && offsetof(RW_VAR, bitMode) == 48 && offsetof(RW_VAR, spare) == 52 &&
                  offsetof(RW_VAR, data) == 56,
              "RW_VAR field offsets");
static_assert(sizeof(Protocol) == 92, "Protocol is 92 bytes");
static_assert(offsetof(Protocol, frame) == 0 && offsetof(Protocol, frameLen) == 4 &&
                  offsetof(Protocol, answerLen) == 8 && offsetof(Protocol, dataOffset) == 12 &&
                  offsetof(Protocol, dataLen) == 16 && offsetof(Protocol, var) == 20 &&
                  offsetof(Protocol, reserved1) == 80 && offsetof(Protocol, reserved2) == 84 &&
                  offsetof(Protocol, reserved3) == 88,
              "Protocol field offsets");
static_assert(offsetof(HOST_VAR, regKind) == 1 && offsetof(HOST_VAR, station) == 2 &&
                  offsetof(HOST_VAR, addrText) == 8 && offsetof(HOST_VAR, nameText) == 12 &&
                  offsetof(HOST_VAR, length) == 16,
              "HOST_VAR field offsets");
#endif
static_assert(offsetof(COM_INFO, maxPerFrame) == 16 && offsetof(COM_INFO, defaultStation) == 24 &&
                  offsetof(COM_INFO, retryLimit) == 28 && offsetof(COM_INFO, retryCount) == 32 &&
                  offsetof(COM_INFO, multiStation) == 36 && offsetof(COM_INFO, cleared40) == 40 &&
                  offsetof(COM_INFO, framesPerVar) == 44 && offsetof(COM_INFO, framesDone) == 48 &&
                  offsetof(COM_INFO, cleared52) == 52 && offsetof(COM_INFO, remoteMode) == 56 &&
                  offsetof(COM_INFO, localDeviceId) == 60 && offsetof(COM_INFO, linkState) == 64 &&
                  offsetof(COM_INFO, scanComplete) == 68 && offsetof(COM_INFO, callbackId) == 72 &&
                  sizeof(COM_INFO) == 76,
              "COM_INFO layout");

#endif
