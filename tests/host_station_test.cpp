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
#include <string>
#include <vector>

namespace {

constexpr int64_t kMs = 1000, kS = 1000000;

enum class Acts { Answers, Silent, Refuses };  // Refuses: exception 02 to every request

// From `fromUs` on, `station` acts so.
struct Change {
    int64_t fromUs;
    int station;
    Acts acts;
};

struct StationRow {
    const char* name;
    int deadStations;  // stations 2.. that never answer (station 1 always does)
    std::vector<Change> script;
    int64_t runUs;
    int station;   // whose verdict is checked
    bool offline;  // at the end
    long minTimeouts, maxTimeouts;
};

// Time-out 100 ms, one retry (two tries a request), two give-ups in a row
// switch a station that answered before off, probes after 1 s.
const StationRow kStationRows[] = {
    // Two tries of its first request, then off; no probe yet.
    {"never_answered_off_after_first_give_up", 1, {}, 900 * kMs, 2, true, 2, 2},
    // Two give-ups of two tries each.
    {"answered_then_silent_off_after_two_give_ups",
     0,
     {{0, 2, Acts::Answers}, {300 * kMs, 2, Acts::Silent}},
     300 * kMs + 900 * kMs,
     2,
     true,
     4,
     4},
    {"exception_answers_never_dead", 0, {{0, 2, Acts::Refuses}}, 5 * kS, 2, false, 0, 0},
    // Off after 2 time-outs, then probes of one try each until it answers at 3 s.
    {"probed_and_revived", 1, {{3 * kS, 2, Acts::Answers}}, 6 * kS, 2, false, 3, 5},
    // Revived, then silent again: it takes two give-ups again, not one.
    {"revived_then_failing_again_takes_two_give_ups",
     1,
     {{3 * kS, 2, Acts::Answers}, {5 * kS, 2, Acts::Silent}},
     5 * kS + 900 * kMs,
     2,
     true,
     3 + 4,
     5 + 4},
    {"revived_then_one_give_up_stays_on",
     1,
     {{3 * kS, 2, Acts::Answers}, {5 * kS, 2, Acts::Silent}},
     5 * kS + 250 * kMs,
     2,
     false,
     3 + 2,
     5 + 2},
};

struct Line {
    test::ScriptedLink link;
    std::vector<Acts> acts = std::vector<Acts>(16, Acts::Answers);

    Line()
    {
        link.onRequest = [this](const QByteArray& req, int64_t end) {
            const int station = static_cast<uint8_t>(req[0]);
            if (req.size() < 6 || acts[static_cast<size_t>(station)] == Acts::Silent)
                return;
            char text[64];
            if (acts[static_cast<size_t>(station)] == Acts::Refuses)
                std::snprintf(text, sizeof text, "%02X %02X 02 CRC", station, req[1] | 0x80);
            else  // zeros for every register asked
                std::snprintf(text, sizeof text, "%02X 03 %02X", station, 2 * static_cast<uint8_t>(req[5]));
            QByteArray frame = test::rtuFrame(text);
            if (acts[static_cast<size_t>(station)] == Acts::Answers) {
                frame += QByteArray(2 * static_cast<uint8_t>(req[5]), '\0');
                const unsigned short crc = CalCRC(reinterpret_cast<unsigned char*>(frame.data()), frame.size());
                frame += char(crc & 0xFF);
                frame += char(crc >> 8);
            }
            link.bytesAt(end + 5 * kMs, frame);
        };
    }
};

host::HostConfig configFor(int stations)
{
    std::string tags;
    for (int s = 1; s <= stations; ++s)
        tags += std::string(s > 1 ? ", " : "") + "{\"name\": \"t" + std::to_string(s) +
                "\", \"kind\": \"hr.word\", \"address\": \"10\", \"count\": 2, \"station\": " + std::to_string(s) + "}";
    return host::parseConfig(QByteArray::fromStdString("{\"link\": {\"responseTimeoutMs\": 100, \"retryLimit\": 1, "
                                                       "\"deadAfter\": 2, \"probeSeconds\": 1}, "
                                                       "\"driver\": {\"multiStation\": true}, \"tags\": [" +
                                                       tags + "]}"),
                             "stations.json");
}

void useLinkedDriver(host::DriverApi& api)
{
    test::resetDriver();
    api.SetComInfo = &::SetComInfo;
    api.FlashLocalRegister = &::FlashLocalRegister;
    api.RegistCallBackFuncIntf = &::RegistCallBackFuncIntf;
    api.PLCAddressChangeIntef = &::PLCAddressChangeIntef;
    api.ReCreatReadVarList = &::ReCreatReadVarList;
    api.AddListWriteVar = &::AddListWriteVar;
    api.AddListOnceReadVar = &::AddListOnceReadVar;
    api.ComCommunication = &::ComCommunication;
    api.DataCom = &::DataCom;
    api.EnCommStation = &::EnCommStation;
    api.SetStationOptions = &::SetStationOptions;
    api.GetRegisterData = &::GetRegisterData;
    api.QueryFinishFlag = &::QueryFinishFlag;
    api.SetRegisterData = &::SetRegisterData;
    api.SetStationOptions = &::SetStationOptions;
    api.CalCRC = &::CalCRC;
}

// Runs the cycle until `untilUs` on the line's clock, applying the script as its times come.
void runUntil(host::HostSession& session, Line& line, const std::vector<Change>& script, int64_t untilUs)
{
    while (line.link.nowUs < untilUs) {
        for (const Change& c : script)
            if (c.fromUs <= line.link.nowUs)
                line.acts[static_cast<size_t>(c.station)] = c.acts;
        if (!session.step())
            line.link.nowUs += 2 * kMs;
    }
}

TEST(HostStations, DeadProbedRevivedFailingAgain)
{
    for (const StationRow& row : kStationRows) {
        SCOPED_TRACE(row.name);
        host::DriverApi api;
        useLinkedDriver(api);
        Line line;
        for (int s = 2; s < 2 + row.deadStations; ++s)
            line.acts[static_cast<size_t>(s)] = Acts::Silent;
        const host::HostConfig cfg = configFor(std::max(2, 1 + row.deadStations));
        host::HostSession session(api, cfg, line.link);
        session.start(true);
        runUntil(session, line, row.script, row.runUs);
        const host::StationStats& st = session.stations().at(row.station);
        EXPECT_EQ(st.offline, row.offline);
        EXPECT_GE(st.timeouts, row.minTimeouts);
        EXPECT_LE(st.timeouts, row.maxTimeouts);
        EXPECT_EQ(session.stations().at(1).timeouts, 0);
    }
}

// Eight dead stations beside a live one: off after their first request, then
// probed one at a time in at most about a tenth of the line's time.
TEST(HostStations, ProbesOfManyDeadStationsTakeLittleOfTheLine)
{
    host::DriverApi api;
    useLinkedDriver(api);
    Line line;
    for (int s = 2; s <= 9; ++s)
        line.acts[static_cast<size_t>(s)] = Acts::Silent;
    const host::HostConfig cfg = configFor(9);
    host::HostSession session(api, cfg, line.link);
    session.start(true);
    runUntil(session, line, {}, 4 * kS);
    long offAt4s = 0;
    std::vector<long> timeoutsAt4s(10);
    for (int s = 2; s <= 9; ++s) {
        offAt4s += session.stations().at(s).offline;
        timeoutsAt4s[s] = session.stations().at(s).timeouts;
    }
    EXPECT_EQ(offAt4s, 8);
    const long liveAt4s = session.stations().at(1).exchanges;
    int mostProbing = 0;
    while (line.link.nowUs < 64 * kS) {
        if (!session.step())
            line.link.nowUs += 2 * kMs;
        int probing = 0;
        for (int s = 2; s <= 9; ++s)
            probing += session.stations().at(s).probing;
        mostProbing = std::max(mostProbing, probing);
    }
    long probes = 0, fewest = 1000;
    for (int s = 2; s <= 9; ++s) {
        probes += session.stations().at(s).timeouts - timeoutsAt4s[s];
        fewest = std::min(fewest, session.stations().at(s).timeouts - timeoutsAt4s[s]);
    }
    EXPECT_LE(mostProbing, 1);
    // Each probe is one 100 ms time-out: at most a tenth of 60 s, and every station probed within it.
    EXPECT_LE(probes * 100 * kMs, 6 * kS + 100 * kMs);
    EXPECT_GE(fewest, 2);  // every station in turn, again and again
    const long live = session.stations().at(1).exchanges - liveAt4s;
    // The live station alone, for its solo rate over the same 60 s.
    host::DriverApi soloApi;
    useLinkedDriver(soloApi);
    Line solo;
    const host::HostConfig soloCfg = configFor(1);
    host::HostSession alone(soloApi, soloCfg, solo.link);
    alone.start(true);
    runUntil(alone, solo, {}, 60 * kS);
    EXPECT_GE(live, 0.85 * alone.stations().at(1).exchanges) << probes << " probes";
}

// A device of station 1 that holds only some addresses of each area, as
// meters do: a read touching any other gets `code` (02: illegal data address).
struct SparseDevice {
    test::ScriptedLink link;
    std::vector<std::pair<int, int>> coils, registers, inputRegisters;  // held (first, last)
    int code = 2;
    int64_t answerAfterUs = 5 * kMs;
    std::vector<QByteArray> requests;

    SparseDevice()
    {
        link.onRequest = [this](const QByteArray& req, int64_t end) {
            requests.push_back(req);
            const int fc = static_cast<uint8_t>(req[1]);
            const int first = static_cast<uint8_t>(req[2]) << 8 | static_cast<uint8_t>(req[3]);
            const int last = first + (static_cast<uint8_t>(req[4]) << 8 | static_cast<uint8_t>(req[5])) - 1;
            const auto& held = fc == 1 ? coils : fc == 3 ? registers : inputRegisters;
            const bool holds = std::any_of(held.begin(), held.end(), [&](const std::pair<int, int>& r) {
                return r.first <= first && last <= r.second;
            });
            QByteArray frame;
            frame += char(1);
            frame += char(holds ? fc : fc | 0x80);
            const int bytes = fc == 1 ? (last - first + 8) / 8 : 2 * (last - first + 1);
            if (holds)
                frame += char(bytes) + QByteArray(bytes, '\0');
            else
                frame += char(code);
            const unsigned short crc = CalCRC(reinterpret_cast<unsigned char*>(frame.data()), frame.size());
            frame += char(crc & 0xFF);
            frame += char(crc >> 8);
            link.bytesAt(end + answerAfterUs, frame);
        };
    }
};

// A slow meter beside fast I/O: its own time-out (300 ms) covers its 200 ms
// answers while the link's 100 ms stays for the others.
TEST(HostStations, StationsOwnResponseTimeout)
{
    for (const char* stations : {R"("1": {"responseTimeoutMs": 300})", ""}) {
        SCOPED_TRACE(stations);
        host::DriverApi api;
        useLinkedDriver(api);
        SparseDevice device;
        device.registers = {{0, 100}};
        device.answerAfterUs = 200 * kMs;
        const host::HostConfig cfg =
            host::parseConfig(QByteArray(R"({"link": {"responseTimeoutMs": 100, "retryLimit": 0}, "stations": {)") +
                                  stations + R"(}, "tags": [{"name": "a", "kind": "hr.word", "address": "4"}]})",
                              "slow.json");
        host::HostSession session(api, cfg, device.link);
        session.start(true);
        while (device.link.nowUs < 2 * kS)
            if (!session.step())
                device.link.nowUs += 2 * kMs;
        const bool own = *stations;
        EXPECT_EQ(session.tags()[0].ok(), own);
        EXPECT_EQ(session.stations().at(1).timeouts == 0, own);
    }
}

struct SparseRow {
    const char* name;
    const char* tags;  // JSON tag objects of station 1
    std::vector<std::pair<int, int>> coils, registers, inputRegisters;
    int code;             // the device's exception
    bool tagsOk;          // every tag read in the end
    const char* notice;   // the station's notice ("" none)
    const char* refused;  // hex of the first refused request, counted
    int timesSent;        // how often it went out
};

const SparseRow kSparseRows[] = {
    {"gap_between_registers_unmerged",
     R"({"name": "a", "kind": "hr.word", "address": "40", "count": 2}, {"name": "b", "kind": "hr.word", "address": "44"})",
     {},
     {{40, 41}, {44, 44}},
     {},
     2,
     true,
     "reads no longer merged: the device refused registers 40..44",
     "01 03 00 28 00 05",
     1},
    {"coils_padded_to_bytes_unmerged",
     R"({"name": "relays", "kind": "coil.bit", "address": "0.0", "count": 10})",
     {{0, 9}},
     {},
     {},
     2,
     true,
     "refused coils 0..15",
     "01 01 00 00 00 10",
     1},
    {"gap_of_input_registers_unmerged",
     R"({"name": "v", "kind": "ir.word", "address": "0", "count": 2, "type": "f32"},)"
     R"({"name": "f", "kind": "ir.word", "address": "6", "count": 2, "type": "f32"})",
     {},
     {},
     {{0, 1}, {6, 7}},
     2,
     true,
     "refused input registers 0..7",
     "01 04 00 00 00 08",
     1},
    {"tag_itself_refused_given_up_at_once",
     R"({"name": "a", "kind": "hr.word", "address": "40", "count": 5})",
     {},
     {{40, 41}},
     {},
     2,
     false,
     "",
     "01 03 00 28 00 05",
     1},
    {"illegal_function_given_up_at_once",
     R"({"name": "a", "kind": "hr.word", "address": "40"})",
     {},
     {},
     {},
     1,
     false,
     "",
     "01 03 00 28 00 01",
     1},
    {"device_busy_retried",
     R"({"name": "a", "kind": "hr.word", "address": "40"})",
     {},
     {},
     {},
     6,
     false,
     "",
     "01 03 00 28 00 01",
     2},
};

TEST(HostStations, SparseDevicesReadWithoutMergingByHand)
{
    for (const SparseRow& row : kSparseRows) {
        SCOPED_TRACE(row.name);
        host::DriverApi api;
        useLinkedDriver(api);
        SparseDevice device;
        device.coils = row.coils;
        device.registers = row.registers;
        device.inputRegisters = row.inputRegisters;
        device.code = row.code;
        const host::HostConfig cfg = host::parseConfig(
            QByteArray("{\"link\": {\"responseTimeoutMs\": 100, \"retryLimit\": 1, \"deadAfter\": 0}, \"tags\": [") +
                row.tags + "]}",
            "sparse.json");
        host::HostSession session(api, cfg, device.link);
        session.start(true);
        // Long enough for one refusal and every tag read; the scan never repeats
        // the refused block's first request (the read list is rebuilt).
        while (device.link.nowUs < 300 * kMs && !session.allTagsSettled())
            if (!session.step())
                device.link.nowUs += 2 * kMs;
        for (size_t i = 0; i < cfg.tags.size(); ++i)
            EXPECT_EQ(session.tags()[i].ok(), row.tagsOk) << cfg.tags[i].name;
        const std::string& notice = session.stations().at(1).notice;
        EXPECT_TRUE(*row.notice ? notice.find(row.notice) != std::string::npos : notice.empty()) << notice;
        const QByteArray refused = QByteArray::fromHex(row.refused);
        EXPECT_EQ(std::count_if(device.requests.begin(), device.requests.end(),
                                [&](const QByteArray& r) { return r.startsWith(refused); }),
                  row.timesSent);
    }
}

}  // namespace

namespace {

// noMerge set by hand reaches the driver: not one merged request goes out.
TEST(HostStations, ConfiguredNoMergeSendsNoMergedRead)
{
    host::DriverApi api;
    useLinkedDriver(api);
    SparseDevice device;
    device.registers = {{40, 41}, {44, 44}};
    const host::HostConfig cfg = host::parseConfig(
        R"({"stations": {"1": {"noMerge": true}}, "tags": [{"name": "a", "kind": "hr.word", "address": "40"},)"
        R"({"name": "b", "kind": "hr.word", "address": "44"}]})",
        "nomerge.json");
    host::HostSession session(api, cfg, device.link);
    session.start(true);
    while (device.link.nowUs < 300 * kMs && !session.allTagsSettled())
        if (!session.step())
            device.link.nowUs += 2 * kMs;
    EXPECT_TRUE(session.tags()[0].ok() && session.tags()[1].ok());
    EXPECT_EQ(session.stations().at(1).exceptions, 0);
    EXPECT_EQ(session.stations().at(1).notice, "");
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
        host::DriverApi api;
        useLinkedDriver(api);
        Line line;
        line.acts[2] = row.station2;
        const host::HostConfig cfg = configFor(2);
        host::HostSession session(api, cfg, line.link);
        session.start(true);
        for (int pass = 0; pass < 2; ++pass) {  // the second pass starts where the first ended
            session.restartPass();
            const long before = session.totalExchanges();
            while (!session.passDone() && line.link.nowUs < 5 * kS)
                if (!session.step())
                    line.link.nowUs += 2 * kMs;
            EXPECT_EQ(session.totalExchanges() - before, row.exchanges[pass]) << "pass " << pass;
            EXPECT_EQ(session.tags()[1].ok(), row.station2Read);
        }
    }
}

}  // namespace
