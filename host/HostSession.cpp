#include "HostSession.h"

#include "RemoteAnswer.h"

#include <algorithm>

namespace host {

namespace {

// The driver is one global object per process, so is the session it calls back.
HostSession* g_session = nullptr;
constexpr int kCallbackId = 0x4B4D;

bool success(int code) { return code == 1 || code == 100; }

// A cyclic read of exactly some bits (a station with the no-merge option):
// regKind is the bit kind, regAddr and length count bits, not area units.
constexpr int kExactBitsMode = -3;

// The area units (bytes of 8 inputs or coils, registers) a cyclic read
// block covers, as the tags are indexed; false for any other request.
bool readBlockOf(const RW_VAR& v, int& area, int& first, int& count)
{
    if (v.varClass != 0 || v.varId != -1 || v.writeFlag != 0)
        return false;
    if (v.bitMode == 0) {
        area = v.regKind;
        first = v.regAddr;
        count = v.length;
        return true;
    }
    if (v.bitMode != kExactBitsMode || v.length <= 0 || v.regAddr < 0)
        return false;
    Tag bits;
    bits.kind = v.regKind;
    area = bits.areaCode();
    const int unitBits = bits.registerArea() ? 16 : 8;
    first = v.regAddr / unitBits;
    count = (v.regAddr + v.length - 1) / unitBits - first + 1;
    return true;
}

}  // namespace

bool TagStatus::settled() const { return waiting == 0; }

bool TagStatus::ok() const
{
    return std::all_of(units.begin(), units.end(), [](uint8_t u) { return u == 1; });
}

HostSession::HostSession(const DriverApi& api, const HostConfig& config, Link& link)
    : api_(api), config_(config), link_(link), exchange_(link, config.link, api.CalCRC)
{
    tags_.reserve(config_.tags.size());
    for (size_t i = 0; i < config_.tags.size(); ++i) {
        const Tag& t = config_.tags[i];
        TagStatus s;
        // Broadcast tags (station 0) are never read: nothing to wait for.
        if (config_.readable(t)) {
            s.units.assign(static_cast<size_t>(std::max(1, t.unitCount())), 0);
            s.waiting = s.units.size();
            s.passUnits = s.units;
            s.passWaiting = s.waiting;
            ++unsettled_;
            ++unsettledAt_[config_.stationOf(t)];
            ++passOpen_;
            ++passOpenAt_[config_.stationOf(t)];
            TagGroup& g = index_[{config_.stationOf(t), t.areaCode()}];
            g.spans.push_back({t.firstUnit(), t.unitCount(), static_cast<int>(i)});
            g.longest = std::max(g.longest, t.unitCount());
        }
        tags_.push_back(s);
    }
    for (auto& e : index_)
        std::stable_sort(e.second.spans.begin(), e.second.spans.end(),
                         [](const TagSpan& a, const TagSpan& b) { return a.first < b.first; });
    for (int st : config_.stations())
        stations_[st];
    traceStart_ = lastFrameAt_ = link_.now();
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
    for (const auto& e : config_.stationSettings) {
        const StationSettings& s = e.second;
        const int options = (s.noMerge ? KEMO_STATION_NO_MERGE : 0) | (s.singleWrites ? KEMO_STATION_SINGLE_WRITES : 0);
        api_.SetStationOptions(e.first, options);
        exchange_.setStationTimeout(static_cast<uint8_t>(e.first), s.responseTimeoutMs);
        auto st = stations_.find(e.first);
        if (st != stations_.end())
            st->second.options = options;
    }

    if (cyclic)
        rebuildReadList();
}

void HostSession::rebuildReadList()
{
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

template <typename Fn>
void HostSession::forTagsIn(int station, int area, int first, int count, Fn fn) const
{
    const auto g = index_.find({station, area});
    if (g == index_.end())
        return;
    // Only tags starting less than the longest tag before the block can reach into it.
    const std::vector<TagSpan>& spans = g->second.spans;
    const long from = static_cast<long>(first) - g->second.longest;
    auto it =
        std::upper_bound(spans.begin(), spans.end(), from, [](long unit, const TagSpan& s) { return unit < s.first; });
    const long end = static_cast<long>(first) + count;
    for (; it != spans.end() && it->first < end; ++it)
        if (static_cast<long>(it->first) + it->count > first)
            fn(*it);
}

void HostSession::markBlock(int station, int area, int first, int count, uint8_t state, int code,
                            const std::string& why)
{
    const auto now = link_.now();
    forTagsIn(station, area, first, count, [&](const TagSpan& span) {
        TagStatus& s = tags_[static_cast<size_t>(span.tag)];
        const int lo = std::max(first, span.first);
        const int hi = std::min(first + count, span.first + span.count);
        for (int u = lo; u < hi; ++u) {
            uint8_t& unit = s.units[static_cast<size_t>(u - span.first)];
            if (unit == 0 && state != 0 && --s.waiting == 0) {
                --unsettled_;
                --unsettledAt_[station];
            }
            unit = state;
            uint8_t& tried = s.passUnits[static_cast<size_t>(u - span.first)];
            if (!tried && state != 0 && --s.passWaiting == 0) {
                --passOpen_;
                --passOpenAt_[station];
            }
            tried = tried || state != 0;
            passTried_ = passTried_ || state != 0;
        }
        if (state == 1) {
            s.lastRead = now;
            s.everRead = s.ok() || s.everRead;
        } else {
            s.lastGiveUpCode = code;
            s.lastFailure = why;
        }
    });
}

void HostSession::probeOfflineStations()
{
    // Only the front of the queue can be due: each probe sends its station to the back.
    if (offline_.empty() || probing_ >= 0)
        return;
    const auto now = link_.now();
    const int station = offline_.front();
    StationStats& st = stations_[station];
    if (now < st.nextProbe || now < nextProbeAllowed_)
        return;
    // Its next request is the probe; one failure sends it back off.
    st.probing = true;
    probing_ = station;
    api_.EnCommStation(station, 1);
}

void HostSession::stationAnswered(int station, StationStats& st)
{
    st.giveUpsInRow = 0;
    st.everAnswered = true;
    st.probing = false;
    if (probing_ == station)
        probing_ = -1;
    if (!st.offline)
        return;
    st.offline = false;
    api_.EnCommStation(station, 1);
    offline_.erase(std::remove(offline_.begin(), offline_.end(), station), offline_.end());
}

void HostSession::stationGaveUp(int station, StationStats& st)
{
    const auto next = link_.now() + std::chrono::seconds(config_.link.probeSeconds);
    if (st.probing) {
        st.probing = false;
        probing_ = -1;
        st.nextProbe = next;
        offline_.erase(std::remove(offline_.begin(), offline_.end(), station), offline_.end());
        offline_.push_back(station);
        api_.EnCommStation(station, 0);
    } else if (!st.offline && config_.link.deadAfter > 0 &&
               (++st.giveUpsInRow >= config_.link.deadAfter || !st.everAnswered)) {
        // A station that never answered costs every try of every request: off after one give-up.
        st.offline = true;
        st.offlineSince = std::time(nullptr);
        st.nextProbe = next;
        offline_.push_back(station);
        api_.EnCommStation(station, 0);
    }
}

void HostSession::count(StationStats& st, const ExchangeResult& r)
{
    switch (r.status) {
    case AnswerStatus::Timeout:
    case AnswerStatus::Incomplete:
    case AnswerStatus::EchoLost:
    case AnswerStatus::LineError: ++st.timeouts; break;
    case AnswerStatus::BadCrc: ++st.crcErrors; break;
    case AnswerStatus::Mismatch: ++st.mismatches; break;
    case AnswerStatus::Exception:
        ++st.exceptions;
        st.lastException = r.exceptionCode;
        break;
    default: break;
    }
    st.lateAnswers += r.lateAnswers;
    if (!r.why.empty())
        st.lastFailure = r.why;
}

bool HostSession::step()
{
    probeOfflineStations();
    const intptr_t address = api_.ComCommunication();
    if (!address)
        return false;
    // DataCom deletes the record: keep what is needed of it.
    const Protocol* request = reinterpret_cast<const Protocol*>(address);
    const RW_VAR var = request->var;
    const QByteArray frame = request->frame;
    const int length = std::min(request->frameLen, static_cast<int>(frame.size()));

    ExchangeResult r = exchange_.exchange(reinterpret_cast<const uint8_t*>(frame.constData()), length,
                                          request->answerLen, config_.driver.remoteMode == 0);
    if (r.stopped)
        return true;  // the run ends: the cut exchange says nothing of the station
    ++totalExchanges_;
    if (trace_) {
        // Milliseconds since the start and since the previous frame: the
        // silence before a request, the wait for its answer.
        using Ms = std::chrono::duration<double, std::milli>;
        const double sent = Ms(r.sentAt - traceStart_).count(), ended = Ms(r.endedAt - traceStart_).count();
        std::fprintf(trace_, "%10.3f %+9.3f -> %s\n%10.3f %+9.3f <- %s (%s, %ld us%s%s)\n", sent,
                     Ms(r.sentAt - lastFrameAt_).count(), frame.left(length).toHex(' ').constData(), ended,
                     ended - sent, r.received.toHex(' ').constData(), statusName(r.status),
                     static_cast<long>(r.elapsed.count()), r.why.empty() ? "" : ", ", r.why.c_str());
        std::fflush(trace_);
        lastFrameAt_ = r.endedAt;
    }
    StationStats& st = stations_[var.station];
    ++st.exchanges;
    count(st, r);
    if (r.raisedTimeoutMs > 0) {
        StationStats& late = stations_[r.raisedStation];
        if (late.timeoutMs == 0 && log_)
            std::fprintf(log_,
                         "plc-host: station %d answers %ld ms after its request, later than link.responseTimeoutMs "
                         "(%d ms): its time-out is raised to %d ms; set link.responseTimeoutMs to at least that\n",
                         r.raisedStation, r.latenessMs, config_.link.responseTimeoutMs, r.raisedTimeoutMs);
        late.timeoutMs = r.raisedTimeoutMs;
        late.latenessMs = r.latenessMs;
    }
    if (st.probing) {
        // One try, whatever it gave: the next probe waits until the line has
        // carried nine times as much other traffic.
        nextProbeAllowed_ = link_.now() + 9 * r.elapsed;
    }

    int area = 0, first = 0, units = 0;
    const bool cyclicRead = readBlockOf(var, area, first, units);
    const bool hostWrite =
        var.varClass == kWriteClass && var.varId >= 0 && var.varId < static_cast<int>(writes_.size());
    // Any frame from the station with a sound CRC is a sign of life, exception answers included.
    const bool answered = r.status == AnswerStatus::Ok || r.status == AnswerStatus::Exception ||
                          (r.status == AnswerStatus::Mismatch && !r.received.isEmpty() &&
                           static_cast<uint8_t>(r.received[0]) == var.station);
    if (r.status == AnswerStatus::Exception) {
        if (cyclicRead)
            forTagsIn(var.station, area, first, units, [&](const TagSpan& span) {
                tags_[static_cast<size_t>(span.tag)].lastException = r.exceptionCode;
            });
        if (hostWrite)
            writes_[static_cast<size_t>(var.varId)].exception = r.exceptionCode;
    }
    if (answered)
        stationAnswered(var.station, st);
    else if (st.probing)
        info_.retryCount = info_.retryLimit;  // a probe costs one time-out at most
    // Illegal function, data address or data value: the device will answer
    // the same again, so the request is given up at once. A remote end's
    // "bad frame" is a request damaged on the way: that one is sent again.
    const bool remote = config_.driver.remoteMode != 0;
    const bool refused = r.status == AnswerStatus::Exception && r.exceptionCode >= 1 && r.exceptionCode <= 3 &&
                         !(remote && r.exceptionCode == remoteframe::kBadFrame);
    if (refused)
        info_.retryCount = info_.retryLimit;
    const bool unmerged = refused && r.exceptionCode == 2 && cyclicRead && unmergeAfterRefusal(var, st);

    // Only answers that passed the checks reach the driver; anything else is
    // reported as no answer, so it never gets into the store.
    QByteArray answer = r.status == AnswerStatus::Ok ? r.answer : QByteArray();
    const RW_VAR* result = api_.DataCom(&answer, answer.size());
    const int code = result->retCode;

    if (success(code)) {
        // Isolated errors on different requests must not add up to a give-up.
        if (config_.link.resetRetries)
            info_.retryCount = 0;
        // The record DataCom returns only names the variable once its exchange
        // is finished; the request copy names it for every frame.
        if (cyclicRead) {
            markBlock(var.station, area, first, units, 1, 0, std::string());
            const BlockKey key{var.station, area, first, units};
            const auto now = link_.now();
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
    if (!answered)
        stationGaveUp(var.station, st);
    if (readBlockOf(*result, area, first, units)) {
        if (unmerged)
            return true;  // its tags are read again, one by one
        markBlock(result->station, area, first, units, 2, code, st.lastFailure);
    } else if (result->varClass == kWriteClass && result->varId >= 0 &&
               result->varId < static_cast<int>(writes_.size())) {
        writes_[static_cast<size_t>(result->varId)].giveUpCode = code;
        writes_[static_cast<size_t>(result->varId)].failure = st.lastFailure;
    }
    return true;
}

bool HostSession::unmergeAfterRefusal(const RW_VAR& var, StationStats& st)
{
    if (st.options & KEMO_STATION_NO_MERGE)
        return false;
    // Wire units: bits of coils and inputs, registers.
    const bool bits = var.regKind == 3 || var.regKind == 4;
    const long first = bits ? 8L * var.regAddr : var.regAddr;
    const long last = first + (bits ? 8L * var.length : var.length) - 1;
    std::vector<std::pair<long, long>> asked;
    forTagsIn(var.station, var.regKind, var.regAddr, var.length, [&](const TagSpan& span) {
        long tagFirst = 0, tagSpan = 0;
        wireSpan(config_.tags[static_cast<size_t>(span.tag)], tagFirst, tagSpan);
        asked.push_back({tagFirst, tagFirst + tagSpan - 1});
    });
    if (uncovered(first, last, asked).empty())
        return false;  // every unit of it was asked for: a refusal of the tags themselves
    st.options |= KEMO_STATION_NO_MERGE;
    api_.SetStationOptions(var.station, st.options);
    rebuildReadList();
    static const char* const kUnits[] = {"inputs", "coils", "registers", "input registers"};
    const int area = var.regKind == 3 ? 0 : var.regKind == 4 ? 1 : var.regKind == 8 ? 2 : 3;
    st.notice = std::string("reads no longer merged: the device refused ") + kUnits[area] + " " +
                std::to_string(first) + ".." + std::to_string(last);
    if (log_)
        std::fprintf(log_, "plc-host: station %d: %s\n", static_cast<int>(var.station), st.notice.c_str());
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

long HostSession::openOnline(long open, const std::map<int, long>& openAt) const
{
    for (int station : offline_) {
        const auto it = openAt.find(station);
        open -= it == openAt.end() ? 0 : it->second;
    }
    return open;
}

bool HostSession::allTagsSettled() const { return openOnline(unsettled_, unsettledAt_) == 0; }

void HostSession::restartPass()
{
    passTried_ = false;
    passOpen_ = 0;
    passOpenAt_.clear();
    for (size_t i = 0; i < tags_.size(); ++i) {
        TagStatus& s = tags_[i];
        if (s.passUnits.empty())
            continue;
        std::fill(s.passUnits.begin(), s.passUnits.end(), 0);
        s.passWaiting = s.passUnits.size();
        ++passOpen_;
        ++passOpenAt_[config_.stationOf(config_.tags[i])];
    }
}

bool HostSession::passDone() const { return passTried_ && openOnline(passOpen_, passOpenAt_) == 0; }

}  // namespace host
