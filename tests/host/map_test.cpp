// plc-host map: wire numbers checked by hand for every kind, read blocks
// against the driver's own rebuild, scan time against a hand calculation;
// and which lines a page of the live table shows.
#include "HostMap.h"
#include "HostView.h"
#include "../test_support.h"

#include <gtest/gtest.h>

#include <string>
#include <tuple>

namespace {

host::HostConfig configOf(const std::string& tags, const std::string& link = "", const std::string& driver = "")
{
    return host::parseConfig(
        QByteArray::fromStdString("{\"link\": {" + link + "}, \"driver\": {" + driver + "}, \"tags\": [" + tags + "]}"),
        "map.json");
}

// In the notation of test::entries, "station/area:first+length, ...".
std::string blockText(const std::vector<host::ReadBlock>& blocks)
{
    std::string out;
    for (const host::ReadBlock& b : blocks)  // exact bit reads as the driver lists them: bit kind, first bit, bits
        out += (out.empty() ? "" : ", ") + std::to_string(b.station) + "/" +
               (b.exactFirst >= 0
                    ? std::to_string(b.area == 3 ? 0 : 1) + ":" + std::to_string(b.exactFirst) + "+" +
                          std::to_string(b.exactBits)
                    : std::to_string(b.area) + ":" + std::to_string(b.first) + "+" + std::to_string(b.length));
    return out;
}

// The read blocks of `cfg`, checked against the driver's rebuild of its tags
// as plc-host's session hands them over (names play no part).
std::string driversBlocks(const host::HostConfig& cfg, const std::vector<host::ReadBlock>& blocks)
{
    QList<HOST_VAR> vars;
    for (const host::Tag& t : cfg.tags)
        vars << HOST_VAR{0, uchar(t.kind), uchar(t.station), {}, t.address.c_str(), {}, t.driverCount()};
    ReCreatReadVarList(&vars);
    EXPECT_EQ(blockText(blocks), test::entries(PLC_driver.readList));
    return blockText(blocks);
}

}  // namespace

TEST(HostMap, WireNumbersOfEveryKind)
{
    struct Row {
        const char *name, *kind, *address;
        int count;
        const char *read, *write;
        long first, last;
        const char *manual, *part;
    };
    const Row rows[] = {
        {"di_bit", "di.bit", "1.1", 1, "02", "-", 9, 9, "10010", ""},
        {"di_word", "di.word", "2", 1, "02", "-", 32, 47, "10033-10048", ""},
        {"di_dword", "di.dword", "1", 1, "02", "-", 32, 63, "10033-10064", ""},
        {"coil_bits", "coil.bit", "1.6", 4, "01", "05", 14, 17, "00015-00018", ""},
        {"coil_byte", "coil.byte", "6", 1, "01", "0F", 48, 55, "00049-00056", ""},
        {"coil_word", "coil.word", "3", 1, "01", "0F", 48, 63, "00049-00064", ""},
        {"coil_dword", "coil.dword", "3", 1, "01", "0F", 96, 127, "00097-00128", ""},
        {"hr_bit_high_byte", "hr.bit", "61.2", 1, "03", "03+10", 30, 30, "40031", "bit 10"},
        {"hr_bits_two_registers", "hr.bit", "1.6", 4, "03", "03+10", 0, 1, "40001-40002", "from bit 14"},
        {"hr_byte_low", "hr.byte", "60", 1, "03", "03+10", 30, 30, "40031", "low byte"},
        {"hr_bytes", "hr.byte", "7", 3, "03", "03+10", 3, 4, "40004-40005", "from high byte"},
        {"hr_word", "hr.word", "30", 1, "03", "10", 30, 30, "40031", ""},
        {"hr_dword", "hr.dword", "20", 1, "03", "10", 40, 41, "40041-40042", ""},
        {"hr_six_digits", "hr.word", "9998", 2, "03", "10", 9998, 9999, "409999-410000", ""},
        {"ir_bit", "ir.bit", "61.2", 1, "04", "-", 30, 30, "30031", "bit 10"},
        {"ir_words", "ir.word", "5", 2, "04", "-", 5, 6, "30006-30007", ""},
        {"ir_dword", "ir.dword", "20", 1, "04", "-", 40, 41, "30041-30042", ""},
    };
    for (const Row& r : rows) {
        const host::HostConfig cfg =
            configOf(std::string("{\"name\": \"t\", \"kind\": \"") + r.kind + "\", \"address\": \"" + r.address +
                     "\", \"count\": " + std::to_string(r.count) + "}");
        const host::TagMap m = host::mapTag(cfg, cfg.tags[0], host::readBlocks(cfg));
        const std::string manual = m.manualFirst == m.manualLast ? m.manualFirst : m.manualFirst + "-" + m.manualLast;
        EXPECT_EQ(std::make_tuple(std::string(m.readFc), std::string(m.writeFc), m.first, m.last, manual, m.part),
                  std::make_tuple(std::string(r.read), std::string(r.write), r.first, r.last, r.manual, r.part))
            << r.name;
        EXPECT_EQ(m.firstBlock, 0) << r.name;
    }
}

// The blocks map shows must be the ones the driver polls.
TEST(HostMap, BlocksAreTheDriversReadList)
{
    const host::HostConfig cfg =
        configOf("{\"name\": \"a\", \"kind\": \"hr.word\", \"address\": 0, \"count\": 2},"
                 "{\"name\": \"b\", \"kind\": \"hr.word\", \"address\": 30, \"count\": 25},"
                 "{\"name\": \"c\", \"kind\": \"hr.word\", \"address\": 8, \"count\": 4},"
                 "{\"name\": \"d\", \"kind\": \"hr.word\", \"address\": 5},"
                 "{\"name\": \"e\", \"kind\": \"coil.bit\", \"address\": \"1.5\", \"count\": 4, \"station\": 2},"
                 "{\"name\": \"f\", \"kind\": \"di.dword\", \"address\": 3, \"station\": 2},"
                 "{\"name\": \"i\", \"kind\": \"di.byte\", \"address\": 2, \"station\": 2},"
                 "{\"name\": \"g\", \"kind\": \"hr.byte\", \"address\": 3, \"count\": 2, \"station\": 2},"
                 "{\"name\": \"h\", \"kind\": \"hr.word\", \"address\": 9, \"station\": 0}",
                 "", "\"maxPerFrame\": 10");
    test::Host driver;
    driver.info.maxPerFrame = cfg.driver.maxPerFrame;
    const std::vector<host::ReadBlock> blocks = host::readBlocks(cfg);
    EXPECT_EQ(driversBlocks(cfg, blocks),
              "1/8:0+10, 1/8:10+2, 1/8:30+10, 1/8:40+10, 1/8:50+5, 2/3:2+1, 2/3:12+4, 2/4:1+2, 2/8:1+2");
    const host::TagMap b = host::mapTag(cfg, cfg.tags[1], blocks), h = host::mapTag(cfg, cfg.tags[8], blocks);
    EXPECT_EQ(b.firstBlock, 2);
    EXPECT_EQ(b.lastBlock, 4);
    EXPECT_EQ(h.firstBlock, -1);  // a broadcast tag is written, never read
}

// An unmerged station: each tag its own blocks, coils bit for bit, the same
// blocks shared; a merged one's gaps and padding are named.
TEST(HostMap, UnmergedStationsBlocksAreTheDriversReadList)
{
    const host::HostConfig cfg = host::parseConfig(
        "{\"stations\": {\"3\": {\"noMerge\": true}}, \"driver\": {\"maxPerFrame\": 4}, \"tags\": ["
        "{\"name\": \"a\", \"kind\": \"hr.word\", \"address\": 40, \"station\": 3},"
        "{\"name\": \"b\", \"kind\": \"hr.word\", \"address\": 44, \"count\": 6, \"station\": 3},"
        "{\"name\": \"a2\", \"kind\": \"hr.word\", \"address\": 40, \"station\": 3},"
        "{\"name\": \"r\", \"kind\": \"coil.bit\", \"address\": \"0.3\", \"count\": 10, \"station\": 3},"
        "{\"name\": \"v\", \"kind\": \"ir.word\", \"address\": 0, \"count\": 2, \"type\": \"f32\", \"station\": 3},"
        "{\"name\": \"m\", \"kind\": \"hr.word\", \"address\": 40, \"station\": 4},"
        "{\"name\": \"n\", \"kind\": \"hr.word\", \"address\": 43, \"station\": 4}]}",
        "map.json");
    test::Host driver;
    driver.info.maxPerFrame = cfg.driver.maxPerFrame;
    driver.info.multiStation = 1;
    ASSERT_EQ(SetStationOptions(3, KEMO_STATION_NO_MERGE), 0);
    EXPECT_EQ(driversBlocks(cfg, host::readBlocks(cfg)), "3/1:3+10, 3/8:40+1, 3/8:44+4, 3/8:48+2, 3/14:0+2, 4/8:40+4");
    const std::string text = host::mapText(cfg, 5);
    EXPECT_NE(text.find("reads 41-42 that no tag asked for"), std::string::npos) << text;
    EXPECT_EQ(text.find("reads 10"), std::string::npos) << text;  // no padding on the unmerged station
}

TEST(HostMap, ScanTimeOnTheLine)
{
    struct Row {
        const char *name, *link, *tags;
        double responseMs, ms;
    };
    const char* const tenRegisters = "{\"name\": \"r\", \"kind\": \"hr.word\", \"address\": 0, \"count\": 10}";
    const Row rows[] = {
        // 10 bits a character at 9600 baud: t3.5 3.646 ms + (8 + 25) x 1.0417 ms + 5 ms.
        {"9600_8N1_t35", "\"baud\": 9600, \"parity\": \"N\"", tenRegisters, 5, 43.021},
        // 11 bits at 115200 baud: 1.75 ms + 33 x 0.09549 ms + 2 ms.
        {"115200_8E1_fixed_gap", "\"baud\": 115200", tenRegisters, 2, 6.901},
        // Two coil blocks, no gap, answers at once: (8 + 7 + 8 + 6) x 0.5729 ms.
        {"19200_8E1_two_blocks", "\"gapUs\": 0",
         "{\"name\": \"a\", \"kind\": \"coil.byte\", \"address\": 0, \"count\": 2},"
         "{\"name\": \"b\", \"kind\": \"coil.byte\", \"address\": 100}",
         0, 16.615},
    };
    for (const Row& r : rows) {
        const host::HostConfig cfg = configOf(r.tags, r.link);
        EXPECT_NEAR(host::estimateScan(cfg, host::readBlocks(cfg), r.responseMs).ms, r.ms, 0.001) << r.name;
    }
}

TEST(HostView, PagesCoverEveryLineOnceAndWrap)
{
    struct Row {
        const char* name;
        int lines, perPage, page;
        int pages, shown, first, count;
    };
    const Row rows[] = {
        {"fits on one page", 16, 16, 0, 1, 0, 0, 16},
        {"rest on the last page", 200, 16, 12, 13, 12, 192, 8},
        {"past the last page wraps to the first", 200, 16, 13, 13, 0, 0, 16},
        {"before the first page wraps to the last", 200, 16, -1, 13, 12, 192, 8},
        {"no lines", 0, 16, 3, 1, 0, 0, 0},
        {"no room still shows a line", 5, 0, 2, 5, 2, 2, 1},
    };
    for (const Row& r : rows) {
        const host::Page p = host::pageOf(r.lines, r.perPage, r.page);
        EXPECT_EQ(std::make_tuple(p.pages, p.page, p.first, p.count),
                  std::make_tuple(r.pages, r.shown, r.first, r.count))
            << r.name;
    }
}

TEST(HostConfig, TagsOfOtherStationsWithoutMultiStationAreWarnedAbout)
{
    const char* const tags = "{\"name\": \"a\", \"kind\": \"hr.word\", \"address\": 1, \"station\": 7},"
                             "{\"name\": \"b\", \"kind\": \"hr.word\", \"address\": 2, \"station\": 0}";
    EXPECT_NE(configOf(tags, "", "\"multiStation\": false").stationWarning().find("naming station 7;"),
              std::string::npos);
    EXPECT_EQ(configOf(tags, "", "\"multiStation\": true").stationWarning(), "");
}

// A tag may end on the last address of its area, not one past it.
TEST(HostConfig, TagsEndAtTheLastAddressOfTheirArea)
{
    const struct {
        const char *name, *tag;
        bool accepted;
    } rows[] = {
        {"last_register", R"("kind": "hr.word", "address": "65535")", true},
        {"float_on_the_last_two", R"("kind": "hr.word", "address": "65534", "type": "f32")", true},
        {"float_past_the_end", R"("kind": "hr.word", "address": "65535", "type": "f32")", false},
    };
    for (const auto& r : rows) {
        bool accepted = true;
        try {
            configOf(std::string(R"({"name": "t", )") + r.tag + "}");
        } catch (const host::ConfigError&) {
            accepted = false;
        }
        EXPECT_EQ(accepted, r.accepted) << r.name;
    }
}
