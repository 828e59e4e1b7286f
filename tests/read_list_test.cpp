// Building the cyclic read list from the host's variables.
#include "test_support.h"

#include <gtest/gtest.h>

#include <chrono>
#include <initializer_list>
#include <string>
#include <tuple>
#include <vector>

namespace {

struct Var {
    int kind, station;
    const char* addr;
    int length;
};
typedef std::tuple<int, int, int, int> Block;  // station, area, regAddr, length

QList<HOST_VAR> hostList(std::initializer_list<Var> vars)
{
    QList<HOST_VAR> list;
    int n = 0;
    for (const Var& v : vars) {
        HOST_VAR h{};
        h.regKind = static_cast<unsigned char>(v.kind);
        h.station = static_cast<unsigned char>(v.station);
        h.addrText = v.addr;
        h.nameText = QString("v%1").arg(n++);
        h.length = v.length;
        list << h;
    }
    return list;
}

std::vector<Block> blocks(const QList<RW_VAR>& list)
{
    std::vector<Block> out;
    for (const RW_VAR& v : list)
        out.emplace_back(v.station, v.regKind, v.regAddr, v.length);
    return out;
}

std::vector<Block> areaBlocks(int area, std::initializer_list<std::pair<int, int>> addrLen, int station = 1)
{
    std::vector<Block> out;
    for (const auto& b : addrLen)
        out.emplace_back(station, area, b.first, b.second);
    return out;
}

std::vector<int> addresses(const QList<RW_VAR>& list)
{
    std::vector<int> out;
    for (const RW_VAR& v : list)
        out.push_back(v.regAddr);
    return out;
}

RW_VAR entry(int addr, int len, int id = 0)
{
    RW_VAR v = test::makeVar(8, addr, len);
    v.varId = id;
    return v;
}

}  // namespace

TEST(ReadList, MergesGroupsIntoBlocks)
{
    const struct {
        const char* name;
        int maxPerFrame, multiStation, defaultStation;
        QList<HOST_VAR> vars;
        std::vector<Block> expected;
    } cases[] = {
        {"worked example, unsorted input", 10, 1, 1,
         hostList({{8, 1, "30", 25}, {8, 1, "5", 1}, {8, 1, "0", 2}, {8, 1, "8", 4}}),
         areaBlocks(8, {{0, 10}, {10, 2}, {30, 10}, {40, 10}, {50, 5}})},
        {"adjacent", 10, 1, 1, hostList({{8, 1, "0", 2}, {8, 1, "2", 3}}), areaBlocks(8, {{0, 5}})},
        {"hole read along", 10, 1, 1, hostList({{8, 1, "0", 2}, {8, 1, "7", 3}}), areaBlocks(8, {{0, 10}})},
        {"spills over", 10, 1, 1, hostList({{8, 1, "0", 2}, {8, 1, "9", 3}}), areaBlocks(8, {{0, 10}, {10, 2}})},
        {"too far", 10, 1, 1, hostList({{8, 1, "0", 2}, {8, 1, "10", 3}}), areaBlocks(8, {{0, 2}, {10, 3}})},
        {"chunked", 10, 1, 1, hostList({{8, 1, "0", 25}}), areaBlocks(8, {{0, 10}, {10, 10}, {20, 5}})},
        {"inside", 10, 1, 1, hostList({{8, 1, "0", 10}, {8, 1, "2", 3}, {8, 1, "0", 1}}), areaBlocks(8, {{0, 10}})},
        {"joins an overflow block", 10, 1, 1, hostList({{8, 1, "0", 12}, {8, 1, "15", 3}}),
         areaBlocks(8, {{0, 10}, {10, 8}})},
        {"zero length opens nothing", 10, 1, 1, hostList({{8, 1, "0", 0}, {8, 1, "30", 2}}), areaBlocks(8, {{30, 2}})},
        {"stations then areas", 10, 1, 1,
         hostList({{8, 2, "0", 1}, {8, 1, "0", 1}, {4, 1, "0", 1}, {3, 1, "0", 1}, {3, 2, "0", 1}}),
         {{1, 3, 0, 1}, {1, 4, 0, 1}, {1, 8, 0, 1}, {2, 3, 0, 1}, {2, 8, 0, 1}}},
        {"bit kinds", 10, 1, 1, hostList({{0, 1, "1.4", 4}, {1, 1, "1.5", 4}, {2, 1, "5.3", 1}}),
         {{1, 3, 1, 1}, {1, 4, 1, 2}, {1, 8, 2, 1}}},
        {"word and double-word kinds", 5, 1, 1, hostList({{11, 1, "5", 3}, {9, 1, "3", 1}, {7, 1, "2", 2}, {5, 1, "3", 2}}),
         {{1, 3, 12, 4}, {1, 4, 4, 4}, {1, 8, 1, 2}, {1, 8, 10, 4}}},
        {"single station uses the default", 10, 0, 5, hostList({{8, 2, "0", 1}, {8, 0, "3", 1}}),
         areaBlocks(8, {{0, 4}}, 5)},
        {"single station without a default", 10, 0, 0, hostList({{8, 2, "0", 1}}), {}},
        {"station byte 0 dropped", 10, 1, 1, hostList({{8, 0, "0", 1}, {8, 3, "4", 1}}), areaBlocks(8, {{4, 1}}, 3)},
        {"invalid kind or address dropped", 10, 1, 1,
         hostList({{12, 1, "0", 1}, {200, 1, "0", 1}, {8, 1, "x", 1}, {0, 1, "7", 1}, {3, 1, "-5", 1}, {8, 1, "1", 1}}),
         areaBlocks(8, {{1, 1}})},
        {"beyond the store", 10, 1, 1, hostList({{8, 1, "8388608", 1}, {8, 1, "8388607", 1}}),
         areaBlocks(8, {{8388607, 1}})},
        {"limit 0 counts as 1", 0, 1, 1, hostList({{8, 1, "0", 3}}), areaBlocks(8, {{0, 1}, {1, 1}, {2, 1}})},
        {"negative limit counts as 1", -5, 1, 1, hostList({{4, 1, "0", 1}, {4, 1, "1", 2}}),
         areaBlocks(4, {{0, 1}, {1, 1}, {2, 1}})},
    };
    test::Host host;
    for (const auto& c : cases) {
        host.info.maxPerFrame = c.maxPerFrame;
        host.info.multiStation = c.multiStation;
        host.info.defaultStation = c.defaultStation;
        QList<HOST_VAR> vars = c.vars;
        EXPECT_EQ(ReCreatReadVarList(&vars), static_cast<int>(c.expected.size())) << c.name;
        EXPECT_EQ(blocks(PLC_driver.readList), c.expected) << c.name;
    }
}

TEST(ReadList, EntriesComeFromTheTemplate)
{
    test::Host host;
    host.info.maxPerFrame = 10;
    host.info.remoteMode = 1;
    host.info.localDeviceId = 7;
    QList<HOST_VAR> vars = hostList({{8, 1, "0", 2}, {8, 1, "5", 1}, {0, 2, "1.4", 4}});
    ASSERT_EQ(ReCreatReadVarList(&vars), 2);
    for (const RW_VAR& v : PLC_driver.readList) {
        EXPECT_EQ(std::make_tuple(v.varClass, v.varId, v.writeFlag, v.remoteFlag, v.deviceId, v.retCode, v.bitMode,
                                  v.spare),
                  std::make_tuple(0, -1, 0, 1, 7, 0, 0, 0));
        EXPECT_TRUE(v.data.isEmpty());
    }
    // A block keeps the texts of the variable that opened it.
    EXPECT_EQ(PLC_driver.readList.at(0).nameText, "v0");
    EXPECT_EQ(PLC_driver.readList.at(0).addrText, "0");
    EXPECT_EQ(PLC_driver.readList.at(1).nameText, "v2");
    EXPECT_EQ(PLC_driver.readList.at(1).addrText, "1.4");
}

TEST(ReadList, RebuildRestartsTheFullScanUnlessTheListIsEmpty)
{
    test::Host host;
    RW_VAR old = entry(0, 1);
    EXPECT_EQ(AddListReadVar(&old), 1);
    host.info.scanComplete = 1;
    PLC_driver.scanCount = 4;
    QList<HOST_VAR> none;
    EXPECT_EQ(ReCreatReadVarList(&none), 0);
    EXPECT_TRUE(PLC_driver.readList.isEmpty());
    EXPECT_EQ(host.info.scanComplete, 1);
    EXPECT_EQ(PLC_driver.scanCount, 4);

    QList<HOST_VAR> dropped = hostList({{12, 1, "0", 1}});
    EXPECT_EQ(ReCreatReadVarList(&dropped), 0);
    EXPECT_EQ(host.info.scanComplete, 0);
    EXPECT_EQ(PLC_driver.scanCount, 0);
}

TEST(ReadList, AddListReadVarAppendsAsGiven)
{
    RW_VAR a = test::makeVar(0, 13, 4, 2);
    a.nameText = "raw";
    EXPECT_EQ(AddListReadVar(&a), 1);
    EXPECT_EQ(AddListReadVar(&a), 2);  // no duplicate test
    EXPECT_EQ(blocks(PLC_driver.readList), std::vector<Block>({{2, 0, 13, 4}, {2, 0, 13, 4}}));
    EXPECT_EQ(PLC_driver.readList.at(1).nameText, "raw");
}

TEST(ReadList, BubbleSortIsStable)
{
    QList<RW_VAR> list;
    const int addr[][2] = {{5, 1}, {1, 2}, {5, 3}, {-2, 4}, {1, 5}, {0, 6}};
    for (const auto& a : addr)
        list << entry(a[0], 1, a[1]);
    Bubble_Sort(&list);
    std::vector<std::pair<int, int>> order;
    for (const RW_VAR& v : list)
        order.emplace_back(v.regAddr, v.varId);
    EXPECT_EQ(order, (std::vector<std::pair<int, int>>{{-2, 4}, {0, 6}, {1, 2}, {1, 5}, {5, 1}, {5, 3}}));
    QList<RW_VAR> one{entry(3, 1)}, empty;
    Bubble_Sort(&one);
    Bubble_Sort(&empty);
    EXPECT_EQ(addresses(one), std::vector<int>{3});
}

TEST(ReadList, UnboundedMergers)
{
    const struct {
        int gap;  // -1: BitVarReCreat_1
        std::vector<std::pair<int, int>> in;
        std::vector<Block> expected;
    } cases[] = {
        {-1, {{0, 2}, {2, 3}, {6, 1}, {6, 4}, {7, 1}}, areaBlocks(8, {{0, 5}, {6, 4}})},
        {-1, {{0, 50}, {49, 200}}, areaBlocks(8, {{0, 249}})},  // no maximum
        {-1, {}, {}},
        {1, {{0, 2}, {3, 1}, {6, 1}}, areaBlocks(8, {{0, 4}, {6, 1}})},
        {3, {{0, 2}, {5, 1}, {10, 2}}, areaBlocks(8, {{0, 6}, {10, 2}})},
    };
    for (const auto& c : cases) {
        PLC_driver.readList.clear();
        QList<RW_VAR> list;
        for (const auto& v : c.in)
            list << entry(v.first, v.second);
        if (c.gap < 0)
            BitVarReCreat_1(&list);
        else
            BitVarReCreat_2(&list, c.gap);
        EXPECT_EQ(blocks(PLC_driver.readList), c.expected) << c.gap;
    }
}

TEST(ReadList, WhetherGroupCutsTheGivenTotal)
{
    QList<RW_VAR> out;
    RW_VAR v = entry(100, 3);
    WhetherGroup(25, 10, &v, &out);
    EXPECT_EQ(blocks(out), areaBlocks(8, {{100, 10}, {110, 10}, {120, 5}}));
    EXPECT_EQ(std::make_pair(v.regAddr, v.length), std::make_pair(120, 5));

    out.clear();
    RW_VAR w = entry(7, 3);
    WhetherGroup(20, 10, &w, &out);
    WhetherGroup(4, 10, &w, &out);  // fits: appended unchanged
    EXPECT_EQ(blocks(out), areaBlocks(8, {{7, 10}, {17, 10}, {17, 10}}));
}

TEST(ReadList, TenThousandVariablesRebuildQuickly)
{
    test::Host host;
    QList<HOST_VAR> vars;
    for (int i = 9999; i >= 0; --i) {
        HOST_VAR h{};
        h.regKind = 8;
        h.station = 1;
        h.addrText = QString::number(3 * i);
        h.length = 2;
        vars << h;
    }
    const auto start = std::chrono::steady_clock::now();
    const int n = ReCreatReadVarList(&vars);
    const auto took = std::chrono::steady_clock::now() - start;
    EXPECT_EQ(n, 299);  // about 30,000 registers in blocks of at most 100
    EXPECT_LT(std::chrono::duration_cast<std::chrono::milliseconds>(took).count(), 50);
}
