// Choosing the next request: list priority, streak limits, station rotation.
#include "test_support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

namespace {

// Writes sit at addresses 0.., one-shot reads at 100.., cyclic reads at 200..
RW_VAR entry(int base, int i, int station = 1, int kind = 8)
{
    RW_VAR v = test::makeVar(kind, base + i, 1, station, base == 0 ? "00 01" : "");
    v.writeFlag = base == 0 ? 1 : 0;
    v.varId = base + i;
    return v;
}

void queue(int writes, int onces, int reads)
{
    for (int i = 0; i < writes; ++i) {
        RW_VAR v = entry(0, i);
        AddListWriteVar(&v, 1);
    }
    for (int i = 0; i < onces; ++i) {
        RW_VAR v = entry(100, i);
        AddListOnceReadVar(&v, 1);
    }
    for (int i = 0; i < reads; ++i) {
        RW_VAR v = entry(200, i);
        AddListReadVar(&v);
    }
}

// Runs `calls` host turns, each answered correctly. A turn shows as the list
// it served (W, O, R) and the entry's number, or "-" when nothing was sent.
std::string serve(int calls)
{
    std::string out;
    for (int c = 0; c < calls; ++c) {
        const intptr_t p = ComCommunication();
        if (!out.empty())
            out += ' ';
        if (!p) {
            out += '-';
            continue;
        }
        const Protocol& req = *reinterpret_cast<Protocol*>(p);
        out += "RWO"[PLC_driver.requestKind];
        out += std::to_string(req.var.regAddr % 100);
        QByteArray reply(req.answerLen > 0 ? req.answerLen : 0, '\0');
        DataCom(&reply, reply.size());
    }
    return out;
}

std::vector<int> addresses(const QList<RW_VAR>& list)
{
    std::vector<int> out;
    for (const RW_VAR& v : list)
        out.push_back(v.regAddr % 100);
    return out;
}

}  // namespace

TEST(Scheduler, PriorityAndStreakLimits)
{
    struct Case {
        int writes, onces, reads, calls;
        const char* turns;
    } cases[] = {
        {7, 0, 0, 9, "W0 W1 W2 W3 W4 - W5 W6 -"},
        {7, 0, 2, 10, "W0 W1 W2 W3 W4 R0 W5 W6 R1 R0"},
        {0, 7, 0, 9, "O0 O1 O2 O3 O4 - O5 O6 -"},
        {0, 7, 1, 10, "O0 O1 O2 O3 O4 R0 O5 O6 R0 R0"},
        {7, 7, 2, 17, "W0 W1 W2 W3 W4 O0 O1 O2 O3 O4 R0 W5 W6 O5 O6 R1 R0"},
        {2, 2, 1, 6, "W0 W1 O0 O1 R0 R0"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.turns);
        test::Host host;
        PLC_driver.writeList.clear();
        PLC_driver.onceReadList.clear();
        PLC_driver.readList.clear();
        PLC_driver.writeStreak = PLC_driver.onceReadStreak = 0;
        queue(c.writes, c.onces, c.reads);
        EXPECT_EQ(serve(c.calls), c.turns);
    }
}

TEST(Scheduler, NothingQueuedEndsTheCycle)
{
    test::Host host;
    PLC_driver.writeStreak = 3;
    PLC_driver.onceReadStreak = 4;
    EXPECT_EQ(ComCommunication(), 0);
    EXPECT_EQ(host.info.scanComplete, 1);
    EXPECT_EQ(PLC_driver.writeStreak, 0);
    EXPECT_EQ(PLC_driver.onceReadStreak, 0);
    EXPECT_EQ(PLC_driver.requestKind, 100);
}

TEST(Scheduler, WithoutHostRecordNothingIsScheduled)
{
    queue(1, 1, 1);
    EXPECT_EQ(ComCommunication(), 0);
    EXPECT_TRUE(PLC_driver.protocolList.isEmpty());
    EXPECT_EQ(PLC_driver.requestKind, 100);
    EXPECT_EQ(PLC_driver.writeStreak, 0);
    EXPECT_EQ(PLC_driver.writeList.size(), 1);
}

// Each list passes over switched-off stations the same way, and the moved
// entries stay where the rotation put them.
TEST(Scheduler, RotatesPastSwitchedOffStationsForGood)
{
    for (int which = 0; which < 3; ++which) {
        SCOPED_TRACE(which);
        PLC_driver.writeList.clear();
        PLC_driver.onceReadList.clear();
        PLC_driver.readList.clear();
        EnCommStation(-1, 1);
        test::Host host;
        QList<RW_VAR>& list = which == 0 ? PLC_driver.writeList : which == 1 ? PLC_driver.onceReadList : PLC_driver.readList;
        const int base = which == 0 ? 0 : which == 1 ? 100 : 200;
        const std::string letter(1, "WOR"[which]);
        const bool cyclic = which == 2;
        const int stations[] = {2, 3, 1, 2};
        for (int i = 0; i < 4; ++i)
            list.append(entry(base, i, stations[i]));
        EnCommStation(2, 0);
        EnCommStation(3, 0);

        EXPECT_EQ(serve(1), letter + "2");
        // A served write or one-shot read is gone; a cyclic read moves back.
        EXPECT_EQ(addresses(list), cyclic ? (std::vector<int>{3, 0, 1, 2}) : (std::vector<int>{3, 0, 1}));

        EnCommStation(1, 0);
        const std::vector<int> before = addresses(list);
        host.info.scanComplete = 0;
        EXPECT_EQ(ComCommunication(), 0);
        EXPECT_EQ(addresses(list), before);  // once round, back in its order
        EXPECT_EQ(host.info.scanComplete, 1);
        EXPECT_EQ(PLC_driver.writeStreak, 0);

        EnCommStation(3, 1);
        EXPECT_EQ(serve(1), letter + "1");
        EXPECT_EQ(addresses(list), cyclic ? (std::vector<int>{2, 3, 0, 1}) : (std::vector<int>{3, 0}));
    }
}

TEST(Scheduler, SwitchedOffWriteTurnStillCountsAndFallsThrough)
{
    test::Host host;
    RW_VAR w = entry(0, 0, 2);
    AddListWriteVar(&w, 1);
    queue(0, 1, 1);
    EnCommStation(2, 0);
    EXPECT_EQ(serve(1), "O0");
    EXPECT_EQ(PLC_driver.writeStreak, 1);
    EXPECT_EQ(PLC_driver.onceReadStreak, 1);
    EXPECT_EQ(serve(1), "R0");
    EXPECT_EQ(PLC_driver.writeStreak, 0);
    EnableEthernet(2, 1);
    EXPECT_EQ(serve(1), "W0");
}

TEST(Scheduler, StationSwitch)
{
    struct Op {
        bool viaEthernet;
        int station, mode;
    };
    struct Case {
        std::vector<Op> ops;
        std::vector<int> off;
    } cases[] = {
        {{{false, 5, 0}, {false, 5, 0}, {false, 5, 1}}, {}},
        {{{false, 3, 0}, {false, 7, 0}}, {3, 7}},
        {{{false, 3, 0}, {false, 7, 0}, {false, -1, 1}}, {}},
        {{{false, 3, 0}, {false, -4, 0}}, {}},
        {{{false, -1, 1}}, {}},
        {{{false, 4, 2}}, {}},
        {{{false, 4, 0}, {false, 4, 2}, {false, 4, -1}}, {4}},
        {{{false, 0, 0}}, {0}},
        {{{true, 6, 0}, {true, 8, 0}, {true, 6, 1}}, {8}},
        {{{true, 6, 0}, {true, -1, 0}}, {}},
    };
    for (const Case& c : cases) {
        EnCommStation(-1, 1);
        for (const Op& op : c.ops)
            (op.viaEthernet ? EnableEthernet : EnCommStation)(op.station, op.mode);
        std::vector<int> off;
        for (auto it = PLC_driver.disabledStations.cbegin(); it != PLC_driver.disabledStations.cend(); ++it) {
            off.push_back(it.key());
            EXPECT_EQ(it.value(), 0);
        }
        EXPECT_EQ(off, c.off);
        for (int s = -1; s < 10; ++s)
            EXPECT_EQ(Ethernetcontains(s), std::count(c.off.begin(), c.off.end(), s) ? 1 : 0) << s;
    }
}

// A read builder that queues nothing leaves its entry at the front to be
// chosen again; a stuck one-shot read still lets the cyclic list in.
TEST(Scheduler, ReadBuilderQueueingNothing)
{
    for (int remote = 0; remote < 2; ++remote) {
        SCOPED_TRACE(remote);
        test::Host host;
        host.info.remoteMode = remote;
        PLC_driver.onceReadList.clear();
        PLC_driver.readList.clear();
        PLC_driver.onceReadStreak = 0;
        const int badKind = remote ? 2 : 5;
        RW_VAR bad = entry(100, 0, 1, badKind);
        AddListOnceReadVar(&bad, 1);
        test::DebugCapture log;
        EXPECT_EQ(serve(2), "- -");
        EXPECT_EQ(PLC_driver.requestKind, 2);
        EXPECT_EQ(PLC_driver.onceReadStreak, 2);
        EXPECT_EQ(PLC_driver.onceReadList.size(), 1);
        if (remote)
            EXPECT_TRUE(log.messages.isEmpty());
        else
            EXPECT_EQ(log.messages.value(0), "ReadAnalog default 1 5 100 1 ");
        queue(0, 0, 1);
        EXPECT_EQ(serve(5), "- - - R0 -");
        EXPECT_EQ(PLC_driver.onceReadList.at(0).regKind, badKind);

        PLC_driver.onceReadList.clear();
        PLC_driver.readList.first().regKind = badKind;
        EXPECT_EQ(serve(2), "- -");
        EXPECT_EQ(PLC_driver.requestKind, 0);
        ASSERT_EQ(PLC_driver.readList.size(), 1);
        EXPECT_EQ(PLC_driver.readList.first().regKind, badKind);
    }
}

// A request still out comes back unchanged, with no list touched, until its
// answer removes it; the frame format follows remoteMode at each choice.
TEST(Scheduler, OutstandingRequestReturnedAgain)
{
    test::Host host;
    host.info.retryLimit = 3;
    queue(2, 1, 1);
    const intptr_t first = ComCommunication();
    ASSERT_NE(first, 0);
    EXPECT_EQ(test::hex(reinterpret_cast<Protocol*>(first)->frame), "01 10 00 00 00 01 02 00 01 67 90");
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(ComCommunication(), first);
        EXPECT_EQ(test::answer(nullptr), 0);
    }
    EXPECT_EQ(ComCommunication(), first);
    EXPECT_EQ(PLC_driver.writeStreak, 1);
    EXPECT_EQ(PLC_driver.writeList.size(), 2);
    EXPECT_EQ(PLC_driver.onceReadList.size(), 1);
    EXPECT_EQ(PLC_driver.protocolList.size(), 1);
    EXPECT_EQ(test::answer("01 10 00 00 00 01 00 00"), 1);

    host.info.remoteMode = 1;
    EXPECT_EQ(test::frontFrame(), "18 00 01 00 01 00 08 00 00 00 01 00 01 00 00 00 00 00 00 00 00 00 01 25");
    EXPECT_EQ(test::answer("01 10 00 01 00 01 00 00"), 1);
    host.info.remoteMode = 0;
    EXPECT_EQ(test::frontFrame(), "01 03 00 64 00 01 C5 D5");
}
