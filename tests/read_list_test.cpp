// Building the cyclic read list from the host's variables.
#include "test_support.h"

#include <gtest/gtest.h>

#include <chrono>
#include <initializer_list>
#include <string>
#include <tuple>

namespace {

using test::entries;
using test::hostList;

// Holding-register entries of station 1 from {address, length} pairs.
QList<RW_VAR> spans(std::initializer_list<std::pair<int, int>> pairs)
{
    QList<RW_VAR> list;
    for (const auto& s : pairs)
        list << test::makeVar(8, s.first, s.second);
    return list;
}

}  // namespace

TEST(ReadList, MergesGroupsIntoBlocks)
{
    const struct {
        const char* name;
        int maxPerFrame, multiStation, defaultStation;
        QList<HOST_VAR> vars;
        const char* expected;
    } cases[] = {
        {"too far", 10, 1, 1, hostList({{8, 1, "0", 2}, {8, 1, "10", 3}}), "1/8:0+2, 1/8:10+3"},
        {"inside", 10, 1, 1, hostList({{8, 1, "0", 10}, {8, 1, "2", 3}, {8, 1, "0", 1}}), "1/8:0+10"},
        {"joins an overflow block", 10, 1, 1, hostList({{8, 1, "0", 12}, {8, 1, "15", 3}}), "1/8:0+10, 1/8:10+8"},
        {"zero length opens nothing", 10, 1, 1, hostList({{8, 1, "0", 0}, {8, 1, "30", 2}}), "1/8:30+2"},
        {"stations then areas", 10, 1, 1,
         hostList({{8, 2, "0", 1}, {8, 1, "0", 1}, {4, 1, "0", 1}, {3, 1, "0", 1}, {3, 2, "0", 1}}),
         "1/3:0+1, 1/4:0+1, 1/8:0+1, 2/3:0+1, 2/8:0+1"},
        {"bit kinds", 10, 1, 1, hostList({{0, 1, "1.4", 4}, {1, 1, "1.5", 4}, {2, 1, "5.3", 1}}),
         "1/3:1+1, 1/4:1+2, 1/8:2+1"},
        {"word and double-word kinds", 5, 1, 1,
         hostList({{11, 1, "5", 3}, {9, 1, "3", 1}, {7, 1, "2", 2}, {5, 1, "3", 2}}),
         "1/3:12+4, 1/4:4+4, 1/8:1+2, 1/8:10+4"},
        {"single station uses the default", 10, 0, 5, hostList({{8, 2, "0", 1}, {8, 0, "3", 1}}), "5/8:0+4"},
        {"dropped: bad kind, address or station, beyond the store", 10, 1, 1,
         hostList({{16, 1, "0", 1}, {3, 1, "-5", 1}, {8, 0, "0", 1}, {8, 1, "8388608", 1}, {8, 1, "8388607", 1}}),
         "1/8:8388607+1"},
        {"input registers end at the same bound", 10, 1, 1, hostList({{14, 1, "8388608", 1}, {14, 1, "8388607", 1}}),
         "1/14:8388607+1"},
    };
    test::Host host;
    for (const auto& c : cases) {
        std::tie(host.info.maxPerFrame, host.info.multiStation, host.info.defaultStation) =
            std::make_tuple(c.maxPerFrame, c.multiStation, c.defaultStation);
        QList<HOST_VAR> vars = c.vars;
        const int n = ReCreatReadVarList(&vars);
        EXPECT_EQ(n, PLC_driver.readList.size()) << c.name;
        EXPECT_EQ(entries(PLC_driver.readList), c.expected) << c.name;
    }
}

TEST(ReadList, EntriesAndScanRestart)
{
    test::Host host;
    host.info.maxPerFrame = 10;
    std::tie(host.info.remoteMode, host.info.localDeviceId) = std::make_tuple(1, 7);
    ASSERT_EQ(test::rebuild({{8, 1, "0", 2}, {8, 1, "5", 1}, {0, 2, "1.4", 4}}), 2);
    for (const RW_VAR& v : PLC_driver.readList) {
        EXPECT_EQ(
            std::make_tuple(v.varClass, v.varId, v.writeFlag, v.remoteFlag, v.deviceId, v.retCode, v.bitMode, v.spare),
            std::make_tuple(0, -1, 0, 1, 7, 0, 0, 0));
        EXPECT_TRUE(v.data.isEmpty());
    }
    // A block keeps the texts of the variable that opened it.
    const auto& rl = PLC_driver.readList;
    EXPECT_EQ(rl.at(0).nameText + rl.at(0).addrText + ' ' + rl.at(1).nameText + rl.at(1).addrText, "v00 v21.4");

    // A rebuild restarts the full scan, unless nothing at all was given.
    host.info.scanComplete = 1;
    PLC_driver.scanCount = 4;
    EXPECT_EQ(test::rebuild({}), 0);
    EXPECT_EQ(std::make_pair(host.info.scanComplete, PLC_driver.scanCount), std::make_pair(1, 4));
    RW_VAR raw = test::makeVar(0, 13, 4, 2);
    EXPECT_EQ(AddListReadVar(&raw), 1);
    EXPECT_EQ(AddListReadVar(&raw), 2);  // appended as given, duplicates too
    EXPECT_EQ(entries(PLC_driver.readList), "2/0:13+4, 2/0:13+4");
    EXPECT_EQ(test::rebuild({{12, 1, "0", 1}}), 0);
    EXPECT_EQ(std::make_pair(host.info.scanComplete, PLC_driver.scanCount), std::make_pair(0, 0));
}

TEST(ReadList, SortAndMergeHelpers)
{
    QList<RW_VAR> list = spans({{5, 1}, {1, 2}, {5, 3}, {-2, 4}, {1, 5}, {0, 6}});  // lengths tell them apart
    Bubble_Sort(&list);
    EXPECT_EQ(entries(list), "1/8:-2+4, 1/8:0+6, 1/8:1+2, 1/8:1+5, 1/8:5+1, 1/8:5+3");  // stable

    // Unbounded mergers appending to readList: BitVarReCreat_1 joins stretches
    // that touch, with no maximum; BitVarReCreat_2 also bridges gaps of up to `gap` units.
    QList<RW_VAR> touching = spans({{0, 2}, {2, 3}, {6, 1}, {6, 4}, {7, 1}, {10, 200}});
    QList<RW_VAR> gapped = spans({{0, 2}, {3, 1}, {7, 1}});
    BitVarReCreat_1(&touching);
    BitVarReCreat_2(&gapped, 1);
    EXPECT_EQ(entries(PLC_driver.readList), "1/8:0+5, 1/8:6+204, 1/8:0+4, 1/8:7+1");

    // WhetherGroup cuts the given total, not the variable's own length.
    QList<RW_VAR> out;
    RW_VAR v = test::makeVar(8, 100, 3);
    WhetherGroup(25, 10, &v, &out);
    WhetherGroup(4, 10, &v, &out);  // fits: appended unchanged
    EXPECT_EQ(entries(out), "1/8:100+10, 1/8:110+10, 1/8:120+5, 1/8:120+5");
}

TEST(ReadList, TenThousandVariablesRebuildQuickly)
{
    test::Host host;
    QList<HOST_VAR> vars;
    for (int i = 9999; i >= 0; --i)
        vars << HOST_VAR{0, 8, 1, {}, QString::number(3 * i), {}, 2};
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(ReCreatReadVarList(&vars), 299);  // about 30,000 registers in blocks of at most 100
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(50));
}
