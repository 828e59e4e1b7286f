// The host's side of the exchange cycle: installs the settings and the tags
// in the driver, then asks it for requests, carries them over the link and
// hands the answers back, keeping per-station and per-tag accounts. A
// station that stops answering is switched off in the driver and probed now
// and then, so that it does not slow the scan of the others.
#pragma once

#include "DriverApi.h"
#include "HostConfig.h"
#include "link/Link.h"
#include "rtu/RtuExchange.h"
#include "ValueCodec.h"

#include <chrono>
#include <cstdint>
#include <atomic>
#include <cstdio>
#include <deque>
#include <ctime>
#include <map>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

namespace host {

struct StationStats {
    long exchanges = 0;  // requests sent, repetitions included
    long failures = 0;   // exchanges the driver did not accept
    long giveUps = 0;    // requests the driver gave up after its retries
    long timeouts = 0;   // no answer, or not all of it, in time (line errors too)
    long crcErrors = 0;
    long exceptions = 0;
    long mismatches = 0;      // sound frames from another station, for another function, or not fitting the request
    long lateAnswers = 0;     // answers to earlier requests, dropped
    int lastException = 0;    // code of the latest exception answer, 0 = none yet
    int lastGiveUpCode = 0;   // driver code of the latest give-up, 0 = none yet
    std::string lastFailure;  // the latest failure in words

    // Switched off in the driver after link.deadAfter give-ups in a row, or
    // after its first give-up when it never answered.
    bool offline = false;
    std::time_t offlineSince = 0;  // wall clock, for display
    int giveUpsInRow = 0;          // since the station last answered
    bool everAnswered = false;
    bool probing = false;  // switched on again for one try
    std::chrono::steady_clock::time_point nextProbe;

    // Raised by late answers: the time-out now used for the station, and how late they came.
    int timeoutMs = 0;  // 0: the configured one
    long latenessMs = 0;

    int options = 0;     // KEMO_STATION_* bits given to the driver
    std::string notice;  // a change plc-host made on its own, in words ("reads no longer merged: ...")
};

struct TagStatus {
    std::vector<uint8_t> units;  // per area unit: 0 not read yet, 1 read, 2 given up
    size_t waiting = 0;          // units still 0
    bool everRead = false;
    std::chrono::steady_clock::time_point lastRead;
    int lastGiveUpCode = 0;
    int lastException = 0;
    std::string lastFailure;  // why it was last given up, in words
    // The same for the current pass (HostSession::restartPass): units tried since.
    std::vector<uint8_t> passUnits;
    size_t passWaiting = 0;

    bool settled() const;  // every unit read or given up
    bool ok() const;       // every unit read
};

struct WriteJob {
    int tag = -1;      // index into HostConfig::tags
    std::string text;  // the value as given
    int status = 0;    // 0 pending, 1 acknowledged, 2 given up, 3 nothing queued
    int giveUpCode = 0;
    int exception = 0;
    std::string failure;  // why it was given up, in words
};

class HostSession {
public:
    // Class number of host writes in the driver's result callbacks; the job
    // index is the variable id.
    static constexpr int kWriteClass = 12;

    HostSession(const DriverApi& api, const HostConfig& config, Link& link);
    ~HostSession();
    HostSession(const HostSession&) = delete;
    HostSession& operator=(const HostSession&) = delete;

    // Hands the settings and callbacks to the driver and, with `cyclic`, the
    // tags as the cyclic read list.
    void start(bool cyclic);

    // One turn of the cycle: ask the driver for a request, exchange it, hand
    // the answer back. False when the driver had nothing to send.
    bool step();

    // Queues a write of one tag; returns the job index.
    int queueWrite(int tag, const EncodedValue& value, const std::string& text);

    // The tag's bytes as GetRegisterData returns them.
    QByteArray readTag(const Tag& t) const;

    // Every frame as hex on `out` (nullptr: quiet), each line starting with
    // the milliseconds since the session began and since the previous frame.
    void setTrace(FILE* out) { trace_ = out; }
    // Station notices (a time-out raised for late answers) on `out` (nullptr: quiet).
    void setLog(FILE* out) { log_ = out; }
    // Exchanges end early once *stop turns true.
    void setStopFlag(const std::atomic<bool>* stop) { exchange_.setStopFlag(stop); }

    const HostConfig& config() const { return config_; }
    const DriverApi& api() const { return api_; }
    const std::map<int, StationStats>& stations() const { return stations_; }
    const std::vector<TagStatus>& tags() const { return tags_; }
    std::vector<WriteJob>& writes() { return writes_; }
    long totalExchanges() const { return totalExchanges_; }
    long listResults() const { return listResults_; }
    // Every tag read or given up, or waiting for a station that is switched off.
    bool allTagsSettled() const;
    // A pass: every readable tag read or given up once since restartPass()
    // (tags of stations switched off do not count).
    void restartPass();
    bool passDone() const;
    // Interval between the two latest completions of the same read block,
    // i.e. the time the whole cyclic list took; 0 until known.
    std::chrono::microseconds scanTime() const { return scanTime_; }
    bool scanComplete() const { return info_.scanComplete == 1; }

private:
    using BlockKey = std::tuple<int, int, int, int>;  // station, area, first unit, units
    struct TagSpan {
        int first;  // first area unit
        int count;  // area units
        int tag;    // index into the configuration's tags
    };
    struct TagGroup {
        std::vector<TagSpan> spans;  // by first unit
        int longest = 0;
    };

    static void onVarResult(int callbackId, int varClass, int varId, int status);
    static void onListResult(QList<RW_VAR>* results, int varClass, int flag);
    // Calls fn(tag index) for every tag of the station and area that overlaps the units.
    template <typename Fn>
    void forTagsIn(int station, int area, int first, int count, Fn fn) const;
    void markBlock(int station, int area, int first, int count, uint8_t state, int code, const std::string& why);
    void probeOfflineStations();
    void stationAnswered(int station, StationStats& st);
    void stationGaveUp(int station, StationStats& st);
    void count(StationStats& st, const ExchangeResult& r);
    void rebuildReadList();
    // A cyclic block refused with exception 02 that reads units no tag asked
    // for: its station's reads are no longer merged. True when it switched.
    bool unmergeAfterRefusal(const RW_VAR& var, StationStats& st);
    // Tags still open (of `open`, `openAt` by station) that wait on a station not switched off.
    long openOnline(long open, const std::map<int, long>& openAt) const;

    const DriverApi& api_;
    const HostConfig& config_;
    Link& link_;
    RtuExchange exchange_;
    COM_INFO info_{};
    std::vector<TagStatus> tags_;
    std::map<std::pair<int, int>, TagGroup> index_;  // (station, area) -> tags
    std::vector<WriteJob> writes_;
    std::map<int, StationStats> stations_;
    // Stations switched off, the next to probe first. One probe at a time,
    // and the line idle for probes at least 9 times what the last one took.
    std::deque<int> offline_;
    int probing_ = -1;  // the station being probed, or -1
    std::chrono::steady_clock::time_point nextProbeAllowed_;
    long unsettled_ = 0;               // tags with units still to read
    std::map<int, long> unsettledAt_;  // the same per station
    long passOpen_ = 0;                // tags with units still to try in this pass
    std::map<int, long> passOpenAt_;   // the same per station
    bool passTried_ = false;           // some unit tried in this pass
    std::map<BlockKey, std::chrono::steady_clock::time_point> blockDone_;
    std::chrono::microseconds scanTime_{0};
    long totalExchanges_ = 0;
    long listResults_ = 0;
    FILE* trace_ = nullptr;
    FILE* log_ = nullptr;
    std::chrono::steady_clock::time_point traceStart_, lastFrameAt_;
};

}  // namespace host
