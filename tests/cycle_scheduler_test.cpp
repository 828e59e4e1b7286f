// Choosing the next request: list priority, streak limits, station rotation.
#include "test_support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <ctime>
#include <functional>
#include <string>

namespace {

QList<RW_VAR>& listOf(int which)
{
    return which == 0 ? PLC_driver.writeList : which == 1 ? PLC_driver.onceReadList : PLC_driver.readList;
}

// Entry i of list 0 (writes), 1 (one-shot reads) or 2 (cyclic reads) sits
// at address 100 * list + i.
RW_VAR entry(int which, int i, int station = 1, int kind = 8)
{
    RW_VAR v = test::makeVar(kind, 100 * which + i, 1, station, which == 0 ? "00 01" : "");
    v.writeFlag = which == 0 ? 1 : 0;
    v.varId = v.regAddr;
    return v;
}

// That many entries in each list.
void fill(int writes, int onces, int reads)
{
    const int counts[] = {writes, onces, reads};
    for (int which = 0; which < 3; ++which) {
        for (int i = 0; i < counts[which]; ++i)
            listOf(which).append(entry(which, i));
    }
}

// Runs `calls` host turns, each answered correctly. A turn shows as the list
// it served (W, O, R) and the entry's number, or "-" when nothing was sent.
std::string serve(int calls)
{
    std::string out;
    for (int c = 0; c < calls; ++c) {
        const Protocol* p = reinterpret_cast<Protocol*>(ComCommunication());
        out += (c ? " " : "") + (p ? "RWO"[PLC_driver.requestKind] + std::to_string(p->var.regAddr % 100) : "-");
        QByteArray reply(p && p->answerLen > 0 ? p->answerLen : 0, '\0');
        if (p)
            DataCom(&reply, reply.size());
    }
    return out;
}

std::string addresses(const QList<RW_VAR>& list)
{
    std::string out;
    for (const RW_VAR& v : list)
        out += std::to_string(v.regAddr % 100);
    return out;
}

}  // namespace

TEST(Scheduler, PriorityAndStreakLimits)
{
    const struct {
        const char* name;
        int writes, onces, reads, calls;
        const char* turns;
    } cases[] = {
        {"writes only", 7, 0, 0, 9, "W0 W1 W2 W3 W4 - W5 W6 -"},
        {"many of each", 7, 7, 2, 17, "W0 W1 W2 W3 W4 O0 O1 O2 O3 O4 R0 W5 W6 O5 O6 R1 R0"},
    };
    for (const auto& c : cases) {
        test::Host host(c.name);
        fill(c.writes, c.onces, c.reads);
        EXPECT_EQ(serve(c.calls), c.turns);
    }
}

// Each list passes over switched-off stations the same way, and the moved
// entries stay where the rotation put them.
TEST(Scheduler, RotatesPastSwitchedOffStationsForGood)
{
    for (int which = 0; which < 3; ++which) {
        test::Host host(std::to_string(which));
        const int stations[] = {2, 3, 1, 2};
        for (int i = 0; i < 4; ++i)
            listOf(which).append(entry(which, i, stations[i]));
        EnCommStation(2, 0);
        EnCommStation(3, 0);
        const std::string letter(1, "WOR"[which]);
        const bool cyclic = which == 2;  // a served write or one-shot read is gone, a cyclic read moves back
        EXPECT_EQ(serve(1), letter + "2");
        EXPECT_EQ(addresses(listOf(which)), cyclic ? "3012" : "301");

        EnCommStation(1, 0);
        host.info.scanComplete = 0;
        EXPECT_EQ(ComCommunication(), 0);
        EXPECT_EQ(addresses(listOf(which)), cyclic ? "3012" : "301");  // once round, back in its order
        EXPECT_EQ(host.info.scanComplete, 1);

        EnCommStation(3, 1);
        EXPECT_EQ(serve(1), letter + "1");
        EXPECT_EQ(addresses(listOf(which)), cyclic ? "2301" : "30");
    }
}

TEST(Scheduler, SwitchedOffWriteTurnStillCountsAndFallsThrough)
{
    test::Host host;
    fill(0, 1, 1);
    PLC_driver.writeList.append(entry(0, 0, 2));
    EnCommStation(2, 0);
    EXPECT_EQ(serve(1), "O0");
    EXPECT_EQ(PLC_driver.writeStreak, 1);
    EnableEthernet(2, 1);
    EXPECT_EQ(serve(2), "W0 R0");
}

TEST(Scheduler, StationSwitch)
{
    EnCommStation(5, 0);
    EnCommStation(5, 0);
    EnCommStation(5, 1);  // on again: there is no count
    EnCommStation(0, 0);  // station 0 is a station like any other
    EnableEthernet(7, 0);
    EnCommStation(7, 2);  // other modes do nothing
    EXPECT_EQ(PLC_driver.disabledStations.keys(), QList<int>({0, 7}));
    EnableEthernet(-4, 0);  // any negative number switches every station on
    EXPECT_TRUE(PLC_driver.disabledStations.isEmpty());
}

// A read builder that queues nothing leaves its one-shot read at the front
// to be chosen again, and the streak limit still lets the cyclic list in.
TEST(Scheduler, ReadBuilderQueueingNothing)
{
    for (int remote = 0; remote < 2; ++remote) {
        test::Host host(std::to_string(remote));
        host.info.remoteMode = remote;
        const int badKind = remote ? 2 : 5;
        PLC_driver.onceReadList.append(entry(1, 0, 1, badKind));
        EXPECT_EQ(serve(2), "- -");
        EXPECT_EQ(PLC_driver.requestKind, 2);
        PLC_driver.readList.append(entry(2, 0));
        EXPECT_EQ(serve(5), "- - - R0 -");
        EXPECT_EQ(PLC_driver.onceReadList.size(), 1);
    }
}

// A request still out comes back unchanged, with no list touched, until its
// answer removes it; the frame format follows remoteMode at each choice.
TEST(Scheduler, OutstandingRequestReturnedAgain)
{
    test::Host host;
    host.info.retryLimit = 3;
    fill(2, 1, 1);
    const intptr_t first = ComCommunication();
    ASSERT_NE(first, 0);
    EXPECT_EQ(test::hex(reinterpret_cast<Protocol*>(first)->frame), "01 10 00 00 00 01 02 00 01 67 90");
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(test::answer(nullptr), 0);
        EXPECT_EQ(ComCommunication(), first);
    }
    EXPECT_EQ(PLC_driver.writeStreak, 1);
    EXPECT_EQ(PLC_driver.writeList.size() + PLC_driver.onceReadList.size() + PLC_driver.protocolList.size(), 4);
    EXPECT_EQ(test::answer("01 10 00 00 00 01 00 00"), 1);

    host.info.remoteMode = 1;
    EXPECT_EQ(test::frontFrame(), "18 00 01 00 01 00 08 00 00 00 01 00 01 00 00 00 00 00 00 00 00 00 01 25");
    EXPECT_EQ(test::answer("01 10 00 01 00 01 00 00"), 1);
    EXPECT_EQ(test::frontFrame(), "16 00 00 00 01 00 08 00 00 00 64 00 01 00 00 00 00 00 00 00 00 84");
    EXPECT_EQ(test::answer("01 03 02 00 00 00 00"), 1);
    host.info.remoteMode = 0;
    EXPECT_EQ(test::frontFrame(), "01 03 00 C8 00 01 05 F4");
}

namespace {

// CPU microseconds of this thread for `work` on a fresh driver with `n`
// list entries made by `setUp`: the best of 7 runs, after 3 that let the
// lists use up their spare room, per `units` of work.
double cost(const std::function<void(int)>& setUp, int n, const std::function<void()>& work, int units)
{
    test::Host host;
    setUp(n);
    double best = 1e30;
    for (int run = 0; run < 10; ++run) {
        timespec a{}, b{};
        clock_gettime(CLOCK_THREAD_CPUTIME_ID, &a);
        work();
        clock_gettime(CLOCK_THREAD_CPUTIME_ID, &b);
        if (run >= 3)
            best = std::min(best, ((b.tv_sec - a.tv_sec) * 1e6 + (b.tv_nsec - a.tv_nsec) / 1e3) / units);
    }
    return best;
}

}  // namespace

// What a call costs may not grow with the lists: each row times the same
// calls with a small and a large list (a full write queue: a write refused
// against one replacing the second entry), per unit of work. Work per list
// entry and call shows as 4 to 20 times.
TEST(Scheduler, CostDoesNotGrowWithTheLists)
{
    const auto exchange = [](int times) {
        for (int i = 0; i < times; ++i) {
            ComCommunication();
            QByteArray reply(7, '\0');
            DataCom(&reply, reply.size());
        }
    };
    const auto exchanges = [&] { exchange(1000); };
    const auto blocks = [&](int station) {
        return [station, &exchange](int n) {
            for (int i = 0; i < n; ++i)
                PLC_driver.readList.append(entry(2, i % 100, station));
            EnCommStation(2, 0);
            exchange(station == 2 ? 0 : 3 * n);  // round the list three times
        };
    };
    const auto fullQueue = [](int) {
        for (int i = 0; i < 1024; ++i)
            PLC_driver.writeList.append(entry(0, i));
    };
    const auto writes = [](int regAddr) {
        return [regAddr] {
            RW_VAR v = entry(0, regAddr);
            for (int i = 0; i < 1000; ++i)
                AddListWriteVar(&v, 0);
        };
    };
    const struct {
        const char* name;
        double small, large, maxRatio;
    } cases[] = {
        {"cyclic exchange, 64 and 16,384 blocks", cost(blocks(1), 64, exchanges, 1),
         cost(blocks(1), 16384, exchanges, 1), 2},
        {"passing over switched-off blocks, 512 and 8,192, per block", cost(blocks(2), 512, ComCommunication, 512),
         cost(blocks(2), 8192, ComCommunication, 8192), 4},
        {"write queue at the cap: replacing, refused", cost(fullQueue, 0, writes(1), 1),
         cost(fullQueue, 0, writes(5000), 1), 4},
    };
    for (const auto& c : cases)
        EXPECT_LE(c.large, c.maxRatio * c.small) << c.name << ": " << c.small << " us against " << c.large << " us";
}
