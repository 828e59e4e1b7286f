#include "HostSession.h"

#include <algorithm>

namespace host {

namespace {

// The driver is one global object per process, so is the session it calls back.
HostSession* g_session = nullptr;
constexpr int kCallbackId = 0x4B4D;

bool success(int code) { return code == 1 || code == 100; }

}  // namespace

bool TagStatus::settled() const
{
    return std::none_of(units.begin(), units.end(), [](uint8_t u) { return u == 0; });
}

bool TagStatus::ok() const
{
    return std::all_of(units.begin(), units.end(), [](uint8_t u) { return u == 1; });
}

HostSession::HostSession(const DriverApi& api, const HostConfig& config, HostLink& link)
    : api_(api), config_(config), link_(link)
{
    for (const Tag& t : config_.tags) {
        TagStatus s;
        // Broadcast tags (station 0) are never read: nothing to wait for.
        if (config_.readable(t))
            s.units.assign(static_cast<size_t>(std::max(1, t.unitCount())), 0);
        tags_.push_back(s);
    }
    for (int st : config_.stations())
        stations_[st];
}

HostSession::~HostSession()
{
    if (g_session == this)
        g_session = nullptr;
}

void HostSession::start(bool cyclic)
{
    const DriverSettings& d = config_.driver;
    info_ = COM_INFO{};
    info_.maxPerFrame = d.maxPerFrame;
    info_.defaultStation = d.defaultStation;
    info_.retryLimit = config_.link.retryLimit;
    info_.multiStation = d.multiStation ? 1 : 0;
    info_.remoteMode = d.remoteMode;
    info_.localDeviceId = d.localDeviceId;
    info_.linkState = 2;  // the link is ours: writes go to the controller
    info_.callbackId = kCallbackId;

    g_session = this;
    api_.SetComInfo(&info_);
    api_.RegistCallBackFuncIntf(&HostSession::onVarResult, &HostSession::onListResult);
    api_.FlashLocalRegister(0, 0, 0);

    if (!cyclic)
        return;
    QList<HOST_VAR> vars;
    for (const Tag& t : config_.tags) {
        HOST_VAR v{};
        v.regKind = static_cast<unsigned char>(t.kind);
        v.station = static_cast<unsigned char>(t.station);
        v.addrText = QString::fromStdString(t.address);
        v.nameText = QString::fromStdString(t.name);
        v.length = t.driverCount();
        vars.append(v);
    }
    api_.ReCreatReadVarList(&vars);
}

void HostSession::onVarResult(int callbackId, int varClass, int varId, int status)
{
    // Runs under the driver's list lock: record only, call nothing back.
    if (!g_session || callbackId != kCallbackId || varClass != kWriteClass)
        return;
    if (varId >= 0 && varId < static_cast<int>(g_session->writes_.size()))
        g_session->writes_[static_cast<size_t>(varId)].status = status;
}

void HostSession::onListResult(QList<RW_VAR>*, int, int)
{
    if (g_session)
        ++g_session->listResults_;
}

void HostSession::markBlock(int station, int area, int first, int count, uint8_t state, int code)
{
    const auto now = std::chrono::steady_clock::now();
    for (size_t i = 0; i < config_.tags.size(); ++i) {
        const Tag& t = config_.tags[i];
        if (config_.stationOf(t) != station || t.areaCode() != area)
            continue;
        const int lo = std::max(first, t.firstUnit());
        const int hi = std::min(first + count, t.firstUnit() + t.unitCount());
        if (lo >= hi)
            continue;
        TagStatus& s = tags_[i];
        for (int u = lo; u < hi; ++u)
            s.units[static_cast<size_t>(u - t.firstUnit())] = state;
        if (state == 1) {
            s.lastRead = now;
            s.everRead = s.ok() || s.everRead;
        } else {
            s.lastGiveUpCode = code;
        }
    }
}

bool HostSession::step()
{
    const intptr_t address = api_.ComCommunication();
    if (!address)
        return false;
    // DataCom deletes the record: keep what is needed of it.
    const Protocol* request = reinterpret_cast<const Protocol*>(address);
    const RW_VAR var = request->var;
    const QByteArray frame = request->frame;
    const int length = std::min(request->frameLen, static_cast<int>(frame.size()));

    ExchangeResult r = link_.exchange(reinterpret_cast<const uint8_t*>(frame.constData()), length, request->answerLen,
                                      config_.driver.remoteMode == 0);
    ++totalExchanges_;
    if (trace_)
        std::fprintf(trace_, "-> %s\n<- %s (%s, %ld us)\n", frame.left(length).toHex(' ').constData(),
                     r.received.toHex(' ').constData(), statusName(r.status), static_cast<long>(r.elapsed.count()));
    StationStats& st = stations_[var.station];
    ++st.exchanges;

    const bool cyclicRead = var.varClass == 0 && var.varId == -1 && var.writeFlag == 0 && var.bitMode == 0;
    const bool hostWrite = var.varClass == kWriteClass && var.varId >= 0 && var.varId < static_cast<int>(writes_.size());
    switch (r.status) {
    case AnswerStatus::Timeout: case AnswerStatus::EchoLost: case AnswerStatus::LineError: ++st.timeouts; break;
    case AnswerStatus::BadCrc: ++st.crcErrors; break;
    case AnswerStatus::Mismatch: ++st.mismatches; break;
    case AnswerStatus::Exception:
        ++st.exceptions;
        st.lastException = r.exceptionCode;
        if (cyclicRead) {
            for (size_t i = 0; i < config_.tags.size(); ++i) {
                const Tag& t = config_.tags[i];
                if (config_.stationOf(t) == var.station && t.areaCode() == var.regKind &&
                    t.firstUnit() < var.regAddr + var.length && var.regAddr < t.firstUnit() + t.unitCount())
                    tags_[i].lastException = r.exceptionCode;
            }
        }
        if (hostWrite)
            writes_[static_cast<size_t>(var.varId)].exception = r.exceptionCode;
        break;
    default: break;
    }

    // Only answers that passed the checks reach the driver; anything else is
    // reported as no answer, so it never gets into the store.
    QByteArray answer = r.status == AnswerStatus::Ok ? r.answer : QByteArray();
    const RW_VAR* result = api_.DataCom(&answer, answer.size());
    const int code = result->retCode;

    if (success(code)) {
        // The record DataCom returns only names the variable once its exchange
        // is finished; the request copy names it for every frame.
        if (cyclicRead) {
            markBlock(var.station, var.regKind, var.regAddr, var.length, 1, 0);
            const BlockKey key{var.station, var.regKind, var.regAddr, var.length};
            const auto now = std::chrono::steady_clock::now();
            auto it = blockDone_.find(key);
            if (it != blockDone_.end()) {
                scanTime_ = std::chrono::duration_cast<std::chrono::microseconds>(now - it->second);
                it->second = now;
            } else {
                blockDone_.emplace(key, now);
            }
        }
        return true;
    }
    ++st.failures;
    if (code == 0)
        return true;  // the driver will send the request again
    ++st.giveUps;
    st.lastGiveUpCode = code;
    if (result->varClass == 0 && result->varId == -1)
        markBlock(result->station, result->regKind, result->regAddr, result->length, 2, code);
    else if (result->varClass == kWriteClass && result->varId >= 0 && result->varId < static_cast<int>(writes_.size()))
        writes_[static_cast<size_t>(result->varId)].giveUpCode = code;
    return true;
}

int HostSession::queueWrite(int tag, const EncodedValue& value, const std::string& text)
{
    const Tag& t = config_.tags[static_cast<size_t>(tag)];
    WriteJob job;
    job.tag = tag;
    job.text = text;
    writes_.push_back(job);
    const int id = static_cast<int>(writes_.size()) - 1;
    QString name = QString::fromStdString(t.name);
    QString addr = QString::fromStdString(t.address);
    QByteArray bytes = value.bytes;
    if (api_.SetRegisterData(name, t.kind, addr, t.station, &bytes, value.count, kWriteClass, id) == 0)
        writes_.back().status = 3;
    return id;
}

QByteArray HostSession::readTag(const Tag& t) const
{
    QString addr = QString::fromStdString(t.address);
    QByteArray out;
    api_.GetRegisterData(0, t.kind, addr, t.station, &out, t.driverCount());
    return out;
}

bool HostSession::allTagsSettled() const
{
    return std::all_of(tags_.begin(), tags_.end(), [](const TagStatus& s) { return s.settled(); });
}

}  // namespace host
