// plc-host's station accounts over a scripted line: stations that die,
// are probed, come back and fail again, each row a timed script of what
// every station does and the verdicts the session must reach.
#include "DriverApi.h"
#include "HostConfig.h"
#include "HostSession.h"
#include "host/scripted_link.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <map>
#include <string>
#include <vector>

namespace {

constexpr int64_t kMs = 1000, kS = 1000000;

enum class Acts { Answers, Silent, Refuses };  // letters A, S, R in scripts; Refuses: exception 02 to every request

// From `fromUs` on, station 2 acts so.
struct Change {
    int64_t fromUs;
    Acts acts;
};

// "A@0 S@300": station 2 answers from 0 ms on, is silent from 300 ms on (R: refuses).
std::vector<Change> station2Script(const char* text)
{
    std::vector<Change> script;
    for (const QByteArray& word : QByteArray(text).split(' '))
        if (!word.isEmpty())
            script.push_back({word.mid(2).toLongLong() * kMs, static_cast<Acts>(QByteArray("ASR").indexOf(word[0]))});
    return script;
}

struct StationRow {
    const char* name;
    int deadStations;    // stations 2.. that never answer (station 1 always does)
    const char* script;  // of station 2, as station2Script reads it
    int64_t runMs;
    bool offline;  // station 2, at the end
    long minTimeouts, maxTimeouts;
};

// Time-out 100 ms, one retry (two tries a request), two give-ups in a row
// switch a station that answered before off, probes after 1 s.
const StationRow kStationRows[] = {
    // Two tries of its first request, then off; no probe yet.
    {"never_answered_off_after_first_give_up", 1, "", 900, true, 2, 2},
    // Two give-ups of two tries each.
    {"answered_then_silent_off_after_two_give_ups", 0, "A@0 S@300", 300 + 900, true, 4, 4},
    {"exception_answers_never_dead", 0, "R@0", 5000, false, 0, 0},
    // Off after 2 time-outs, then probes of one try each until it answers at 3 s.
    {"probed_and_revived", 1, "A@3000", 6000, false, 3, 5},
    // Revived, then silent again: it takes two give-ups again, not one.
    {"revived_then_failing_again_takes_two_give_ups", 1, "A@3000 S@5000", 5000 + 900, true, 3 + 4, 5 + 4},
    {"revived_then_one_give_up_stays_on", 1, "A@3000 S@5000", 5000 + 250, false, 3 + 2, 5 + 2},
};

// Stations on one scripted line acting as `acts` says, answering 5 ms after
// a request with zeros; a refusal is `code` (02: illegal data address), and
// every `badCrcEvery`-th answer of the line has a broken checksum. With
// `holds` given, station 1 holds only those addresses, as meters do, and
// refuses a read touching any other: "hr 40-41,44", "coil 0-9", "ir 0-1,6-7".
struct Line {
    test::ScriptedLink link;
    std::vector<Acts> acts = std::vector<Acts>(16, Acts::Answers);
    const bool sparse;
    std::map<int, std::vector<std::pair<int, int>>> held;  // by function code: (first, last)
    int code = 2;
    int badCrcEvery = 0;  // 0: none
    int answers = 0;
    int64_t answerAfterUs = 5 * kMs;
    std::vector<QByteArray> requests;

    explicit Line(const char* holds = nullptr) : sparse(holds)
    {
        const QList<QByteArray> words = QByteArray(holds).split(' ');
        const int heldFc = words[0] == "coil" ? 1 : words[0] == "hr" ? 3 : 4;
        if (words.size() == 2)
            for (const QByteArray& range : words[1].split(',')) {
                const QList<QByteArray> ends = range.split('-');
                held[heldFc].push_back({ends[0].toInt(), ends.last().toInt()});
            }
        link.onRequest = [this](const QByteArray& req, int64_t end) {
            requests.push_back(req);
            const Acts a = acts[static_cast<uint8_t>(req[0])];
            if (req.size() < 6 || a == Acts::Silent)
                return;
            const int fc = static_cast<uint8_t>(req[1]);
            const int first = static_cast<uint8_t>(req[2]) << 8 | static_cast<uint8_t>(req[3]);
            const int last = first + (static_cast<uint8_t>(req[4]) << 8 | static_cast<uint8_t>(req[5])) - 1;
            const bool holds =
                a == Acts::Answers &&
                (!sparse || std::any_of(held[fc].begin(), held[fc].end(), [&](const std::pair<int, int>& r) {
                    return r.first <= first && last <= r.second;
                }));
            const int bytes = fc == 1 ? (last - first + 8) / 8 : 2 * (last - first + 1);
            const QByteArray head = QByteArray(1, req[0]) + char(holds ? fc : fc | 0x80);
            QByteArray answer = test::withCrc(holds ? head + char(bytes) + QByteArray(bytes, '\0') : head + char(code));
            if (badCrcEvery > 0 && ++answers % badCrcEvery == 0)
                answer[answer.size() - 1] = char(answer.at(answer.size() - 1) ^ 1);
            link.bytesAt(end + answerAfterUs, answer);
        };
    }
};

// The configuration of stations 1.. `stations`, a tag of two registers each.
std::string configFor(int stations)
{
    std::string tags;
    for (int s = 1; s <= stations; ++s)
        tags += std::string(s > 1 ? ", " : "") + R"({"name": "t)" + std::to_string(s) +
                R"(", "kind": "hr.word", "address": "10", "count": 2, "station": )" + std::to_string(s) + "}";
    return R"({"link": {"responseTimeoutMs": 100, "retryLimit": 1, "deadAfter": 2, "probeSeconds": 1}, )"
           R"("driver": {"multiStation": true}, "tags": [)" +
           tags + "]}";
}

// The driver, freshly reset, loaded as plc-host loads it: every entry point by its plain name.
struct LoadedApi : host::DriverApi {
    LoadedApi()
    {
        test::resetDriver();
        std::string error;
        EXPECT_TRUE(load(KEMO_DRIVER_FILE, error)) << error;
    }
};

// A started session of the configuration `json` over `link`.
struct Session {
    LoadedApi api;
    host::HostConfig cfg;
    test::ScriptedLink& link;
    host::HostSession s;

    Session(const std::string& json, test::ScriptedLink& l)
        : cfg(host::parseConfig(QByteArray::fromStdString(json), "stations.json")), link(l), s(api, cfg, l)
    {
        s.start(true);
    }
    // Steps until `untilUs` on the link's clock, or until `stop` (asked before every step) holds.
    void runUntil(
        int64_t untilUs, const std::function<bool()>& stop = [] { return false; })
    {
        while (!stop() && link.nowUs < untilUs)
            if (!s.step())
                link.nowUs += 2 * kMs;
    }
    const host::StationStats& station(int n) const { return s.stations().at(n); }
};

TEST(HostStations, DeadProbedRevivedFailingAgain)
{
    for (const StationRow& row : kStationRows) {
        SCOPED_TRACE(row.name);
        Line line;
        for (int s = 2; s < 2 + row.deadStations; ++s)
            line.acts[static_cast<size_t>(s)] = Acts::Silent;
        Session run(configFor(std::max(2, 1 + row.deadStations)), line.link);
        const std::vector<Change> script = station2Script(row.script);
        run.runUntil(row.runMs * kMs, [&] {
            for (const Change& c : script)
                if (c.fromUs <= line.link.nowUs)
                    line.acts[2] = c.acts;
            return false;
        });
        EXPECT_EQ(run.station(2).offline, row.offline);
        EXPECT_GE(run.station(2).timeouts, row.minTimeouts);
        EXPECT_LE(run.station(2).timeouts, row.maxTimeouts);
        EXPECT_EQ(run.station(1).timeouts, 0);
    }
}

// Eight dead stations beside a live one: off after their first request, then
// probed one at a time in at most about a tenth of the line's time.
TEST(HostStations, ProbesOfManyDeadStationsTakeLittleOfTheLine)
{
    Line line;
    for (int s = 2; s <= 9; ++s)
        line.acts[static_cast<size_t>(s)] = Acts::Silent;
    Session run(configFor(9), line.link);
    run.runUntil(4 * kS);
    std::vector<long> timeoutsAt4s(10);
    for (int s = 2; s <= 9; ++s) {
        EXPECT_TRUE(run.station(s).offline) << "station " << s;
        timeoutsAt4s[s] = run.station(s).timeouts;
    }
    const long liveAt4s = run.station(1).exchanges;
    int mostProbing = 0;
    run.runUntil(64 * kS, [&] {
        int probing = 0;
        for (int s = 2; s <= 9; ++s)
            probing += run.station(s).probing;
        mostProbing = std::max(mostProbing, probing);
        return false;
    });
    EXPECT_LE(mostProbing, 1);
    long probes = 0;
    for (int s = 2; s <= 9; ++s) {
        probes += run.station(s).timeouts - timeoutsAt4s[s];
        EXPECT_GE(run.station(s).timeouts - timeoutsAt4s[s], 2) << "station " << s;  // in turn, again and again
    }
    // Each probe is one 100 ms time-out: at most a tenth of 60 s, and every station probed within it.
    EXPECT_LE(probes * 100 * kMs, 6 * kS + 100 * kMs);
    const long live = run.station(1).exchanges - liveAt4s;
    // The live station alone, for its solo rate over the same 60 s.
    Line solo;
    Session alone(configFor(1), solo.link);
    alone.runUntil(60 * kS);
    EXPECT_GE(live, 0.85 * alone.station(1).exchanges) << probes << " probes";
}

// Every second answer with a bad CRC, each on another request (the stations
// take turns): each is retried, and none adds up to a give-up, as the retry
// count starts again after every accepted answer (one retry allowed).
TEST(HostStations, IsolatedBadCrcsNeverAddUpToAGiveUp)
{
    Line line;
    line.badCrcEvery = 2;
    Session run(configFor(2), line.link);
    run.runUntil(5 * kS);
    for (int s = 1; s <= 2; ++s) {
        EXPECT_GE(run.station(s).crcErrors, 10) << "station " << s;
        EXPECT_EQ(run.station(s).giveUps, 0) << "station " << s;
    }
}

struct SparseRow {
    const char* name;
    const char* station;  // the JSON of station 1's settings
    const char* tags;     // JSON tag objects of station 1
    const char* held;     // what the device holds, as Line reads it
    int code;             // the device's exception
    bool tagsOk;          // every tag read in the end
    const char* notice;   // the station's notice ("" none)
    const char* refused;  // hex of the first refused request, counted
    int timesSent;        // how often it went out
    int answerMs;         // the device's answers come this long after each request
};

const SparseRow kSparseRows[] = {
    {"gap_between_registers_unmerged", "{}",
     R"({"name": "a", "kind": "hr.word", "address": "40", "count": 2}, {"name": "b", "kind": "hr.word", "address": "44"})",
     "hr 40-41,44", 2, true, "reads no longer merged: the device refused registers 40..44", "01 03 00 28 00 05", 1, 5},
    {"coils_padded_to_bytes_unmerged", "{}", R"({"name": "relays", "kind": "coil.bit", "address": "0.0", "count": 10})",
     "coil 0-9", 2, true, "refused coils 0..15", "01 01 00 00 00 10", 1, 5},
    {"gap_of_input_registers_unmerged", "{}",
     R"({"name": "v", "kind": "ir.word", "address": "0", "count": 2, "type": "f32"},)"
     R"({"name": "f", "kind": "ir.word", "address": "6", "count": 2, "type": "f32"})",
     "ir 0-1,6-7", 2, true, "refused input registers 0..7", "01 04 00 00 00 08", 1, 5},
    {"tag_itself_refused_given_up_at_once", "{}", R"({"name": "a", "kind": "hr.word", "address": "40", "count": 5})",
     "hr 40-41", 2, false, "", "01 03 00 28 00 05", 1, 5},
    {"illegal_function_given_up_at_once", "{}", R"({"name": "a", "kind": "hr.word", "address": "40"})", "", 1, false,
     "", "01 03 00 28 00 01", 1, 5},
    {"device_busy_retried", "{}", R"({"name": "a", "kind": "hr.word", "address": "40"})", "", 6, false, "",
     "01 03 00 28 00 01", 2, 5},
    // Set by hand, noMerge reaches the driver: not one merged request goes out.
    {"configured_no_merge_sends_no_merged_read", R"({"noMerge": true})",
     R"({"name": "a", "kind": "hr.word", "address": "40"}, {"name": "b", "kind": "hr.word", "address": "44"})",
     "hr 40-41,44", 2, true, "", "01 03 00 28 00 05", 0, 5},
    // A slow meter beside fast I/O: its own time-out covers its 200 ms answers, where the link's 100 ms would not.
    {"station_time_out_covers_slow_answers", R"({"responseTimeoutMs": 300})",
     R"({"name": "a", "kind": "hr.word", "address": "4"})", "hr 0-100", 2, true, "", "01 03 00 04 00 01", 1, 200},
};

TEST(HostStations, SparseDevicesReadWithoutMergingByHand)
{
    for (const SparseRow& row : kSparseRows) {
        SCOPED_TRACE(row.name);
        Line device(row.held);
        device.code = row.code;
        device.answerAfterUs = row.answerMs * kMs;
        Session run(R"({"link": {"responseTimeoutMs": 100, "retryLimit": 1, "deadAfter": 0}, "stations": {"1": )" +
                        std::string(row.station) + R"(}, "tags": [)" + row.tags + "]}",
                    device.link);
        // Long enough for one refusal and every tag read; the scan never repeats
        // the refused block's first request (the read list is rebuilt).
        run.runUntil(300 * kMs, [&] { return run.s.allTagsSettled(); });
        for (size_t i = 0; i < run.cfg.tags.size(); ++i)
            EXPECT_EQ(run.s.tags()[i].ok(), row.tagsOk) << run.cfg.tags[i].name;
        const std::string& notice = run.station(1).notice;
        EXPECT_TRUE(*row.notice ? notice.find(row.notice) != std::string::npos : notice.empty()) << notice;
        const QByteArray refused = QByteArray::fromHex(row.refused);
        EXPECT_EQ(std::count_if(device.requests.begin(), device.requests.end(),
                                [&](const QByteArray& r) { return r.startsWith(refused); }),
                  row.timesSent);
    }
}

// A pass (a row of run --log, a read of poll) ends once every block was
// tried: read, or given up after its retries, or its station switched off.
struct PassRow {
    const char* name;
    Acts station2;
    long exchanges[2];  // in the first and the second pass, both stations
    bool station2Read;
};

const PassRow kPassRows[] = {
    {"both_answer_one_request_each", Acts::Answers, {2, 2}, true},
    // Off after its two tries: the next pass is station 1's alone.
    {"silent_station_given_up_then_off", Acts::Silent, {1 + 2, 1}, false},
    // Alive, so tried again each pass; a refusal is given up at its first answer.
    {"refusing_station_given_up_each_pass", Acts::Refuses, {1 + 1, 1 + 1}, false},
};

TEST(HostStations, PassEndsOnceEveryBlockWasTried)
{
    for (const PassRow& row : kPassRows) {
        SCOPED_TRACE(row.name);
        Line line;
        line.acts[2] = row.station2;
        Session run(configFor(2), line.link);
        for (int pass = 0; pass < 2; ++pass) {  // the second pass starts where the first ended
            run.s.restartPass();
            const long before = run.s.totalExchanges();
            run.runUntil(5 * kS, [&] { return run.s.passDone(); });
            EXPECT_EQ(run.s.totalExchanges() - before, row.exchanges[pass]) << "pass " << pass;
            EXPECT_EQ(run.s.tags()[1].ok(), row.station2Read);
        }
    }
}

}  // namespace
