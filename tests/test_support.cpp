#include "test_support.h"

#include <QtGlobal>

namespace test {

QByteArray hex(const char* spaced) { return QByteArray::fromHex(QByteArray(spaced).replace(' ', "")); }

std::string hex(const QByteArray& bytes) { return bytes.toHex(' ').toUpper().toStdString(); }

Host::Host()
{
    info.maxPerFrame = 100;
    info.defaultStation = 1;
    info.retryLimit = 2;
    info.multiStation = 1;
    info.localDeviceId = 0;
    info.linkState = 2;
    info.callbackId = 77;
    SetComInfo(&info);
}

namespace {
DebugCapture* activeCapture = nullptr;
void captureHandler(QtMsgType, const QMessageLogContext&, const QString& text)
{
    if (activeCapture)
        activeCapture->messages << text;
}
void onVarResult(int callbackId, int varClass, int varId, int status)
{
    if (CallbackLog::current)
        CallbackLog::current->varResults.push_back({callbackId, varClass, varId, status});
}
void onListResult(QList<RW_VAR>* results, int varClass, int flag)
{
    if (CallbackLog::current && results && results->isEmpty() && flag == 1)
        CallbackLog::current->listResultClasses.push_back(varClass);
}
}  // namespace

DebugCapture::DebugCapture()
{
    activeCapture = this;
    qInstallMessageHandler(captureHandler);
}

DebugCapture::~DebugCapture()
{
    qInstallMessageHandler(nullptr);
    activeCapture = nullptr;
}

CallbackLog* CallbackLog::current = nullptr;

void CallbackLog::install()
{
    current = this;
    RegistCallBackFuncIntf(onVarResult, onListResult);
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

Protocol& queueRequest(const RW_VAR& var, int answerLen, int dataOffset, int dataLen, const char* frameHex)
{
    Protocol p;
    p.frame = hex(frameHex);
    p.frameLen = p.frame.size();
    p.answerLen = answerLen;
    p.dataOffset = dataOffset;
    p.dataLen = dataLen;
    p.var = var;
    PLC_driver.protocolList.append(p);
    return PLC_driver.protocolList.last();
}

QByteArray image(int station, int area) { return DataStorage.value(station).value(area); }

}  // namespace test
