#include "test_support.h"

#include <QtGlobal>

namespace test {

QByteArray hex(const char* spaced) { return QByteArray::fromHex(QByteArray(spaced).replace(' ', "")); }

std::string hex(const QByteArray& bytes) { return bytes.toHex(' ').toUpper().toStdString(); }

Host::Host(const std::string& row, const char* file, int line)
{
    if (!row.empty())
        trace.emplace(file, line, row);
    resetDriver();
    info.maxPerFrame = 100;
    info.defaultStation = 1;
    info.retryLimit = 2;
    info.multiStation = 1;
    info.linkState = 2;
    info.callbackId = 77;
    SetComInfo(&info);
}

namespace {
DebugCapture* activeCapture = nullptr;
void logCall(const QString& call)
{
    CallbackLog* log = CallbackLog::current;
    if (!log)
        return;
    const bool listFree = PLC_driver.listMutex.tryLock();
    if (listFree)
        PLC_driver.listMutex.unlock();
    QString addr = "0";
    QByteArray out;
    log->contractBroken |= listFree || GetRegisterData(0, 8, addr, 1, &out, 1) != 1;
    log->failedSeen |= 1 << PLC_driver.commFailed.load();
    log->calls += (log->calls.empty() ? "" : "; ") + call.toStdString();
}
void onVarResult(int callbackId, int varClass, int varId, int status)
{
    logCall(QString::asprintf("var %d %d %d %d", callbackId, varClass, varId, status));
}
void onListResult(QList<RW_VAR>* results, int varClass, int flag)
{
    logCall(QString::asprintf("list %d %d%s", varClass, flag, results && results->isEmpty() ? "" : " non-empty"));
}
}  // namespace

DebugCapture::DebugCapture()
{
    activeCapture = this;
    qInstallMessageHandler(
        [](QtMsgType, const QMessageLogContext&, const QString& text) { activeCapture->messages << text; });
}

DebugCapture::~DebugCapture()
{
    qInstallMessageHandler(nullptr);
    activeCapture = nullptr;
}

CallbackLog* CallbackLog::current = nullptr;

CallbackLog::CallbackLog()
{
    current = this;
    RegistCallBackFuncIntf(onVarResult, onListResult);
}

CallbackLog::~CallbackLog()
{
    RegistCallBackFuncIntf(nullptr, nullptr);
    current = nullptr;
}

RW_VAR makeVar(int regKind, int regAddr, int length, int station, const char* dataHex)
{
    RW_VAR v;
    v.regKind = regKind;
    v.regAddr = regAddr;
    v.length = length;
    v.station = station;
    v.data = hex(dataHex);
    return v;
}

RW_VAR writeVar(int regKind, int regAddr, const char* dataHex, int station, int length)
{
    RW_VAR v = makeVar(regKind, regAddr, length, station, dataHex);
    v.writeFlag = 1;
    return v;
}

std::string frontFrame()
{
    const intptr_t p = ComCommunication();
    return p ? hex(reinterpret_cast<Protocol*>(p)->frame) : std::string();
}

int answer(const char* answerHex)
{
    QByteArray bytes = answerHex ? hex(answerHex) : QByteArray();
    return DataCom(&bytes, bytes.size())->retCode;
}

void queueRequest(const RW_VAR& var, int answerLen, int dataLen)
{
    Protocol p;
    p.answerLen = answerLen;
    p.dataOffset = 3;
    p.dataLen = dataLen;
    p.var = var;
    PLC_driver.protocolList.append(p);
}

std::string entries(const QList<RW_VAR>& list)
{
    std::string out;
    for (const RW_VAR& v : list) {
        out += (out.empty() ? "" : ", ") + std::to_string(v.station) + '/' + std::to_string(v.regKind) + ':' +
               std::to_string(v.regAddr) + '+' + std::to_string(v.length);
        if (!v.data.isEmpty())
            out += ' ' + hex(v.data);
    }
    return out;
}

std::string hostRead(int kind, const char* addr, int count, int station)
{
    QString text = addr;
    QByteArray out = "junk";
    const int r = GetRegisterData(0, kind, text, station, &out, count);
    return hex(out) + "/" + std::to_string(r);
}

int hostWrite(int kind, const char* addr, const char* valueHex, int count, int varClass, int varId)
{
    QString name = "tag", text = addr;
    QByteArray value = hex(valueHex);
    return SetRegisterData(name, kind, text, 1, &value, count, varClass, varId);
}

int onceRead(int kind, const char* addr, int length, int station, int varId)
{
    RW_VAR v = makeVar(kind, 0, length, station);
    v.addrText = addr;
    v.varId = varId;
    return AddListOnceReadVar(&v, 0);
}

QList<HOST_VAR> hostList(std::initializer_list<ListVar> vars)
{
    QList<HOST_VAR> list;
    for (const ListVar& v : vars)
        list << HOST_VAR{0,
                         static_cast<unsigned char>(v.kind),
                         static_cast<unsigned char>(v.station),
                         {},
                         v.addr,
                         QString("v%1").arg(list.size()),
                         v.length};
    return list;
}

int rebuild(std::initializer_list<ListVar> vars)
{
    QList<HOST_VAR> list = hostList(vars);
    return ReCreatReadVarList(&list);
}

QByteArray image(int station, int area) { return DataStorage.value(station).value(area); }

}  // namespace test
