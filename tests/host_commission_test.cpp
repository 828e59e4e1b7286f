// plc-host's commissioning commands apart from the line: what poll makes of
// its numbers and references, the answers identify decodes, the lists scan
// takes, and the CSV fields of run --log. Frames are hex; CRC stands for the
// checksum of every byte before it.
#include "IdentifyCommand.h"
#include "PollCommand.h"
#include "ScanCommand.h"
#include "ScanLog.h"
#include "host/scripted_link.h"
#include "test_support.h"

#include <gtest/gtest.h>

namespace {

struct PollCase {
    const char* name;
    host::PollTag given;
    const char* kind;     // of the tag made
    const char* address;  // as the configuration writes it
    int count;            // of the kind's width
    int firstLabel;       // the first row's label
    const char* error;    // part of the ConfigError, or nullptr
};

host::PollTag tagOf(const char* kind, const char* address, const char* ref = "", bool oneBased = false,
                    const char* type = "", const char* count = "")
{
    return {kind, address, ref, count, type, "", "", oneBased};  // no word order, one station
}

const PollCase kPollCases[] = {
    {"default_holding_register_0", tagOf("", ""), "hr.word", "0", 1, 0, nullptr},
    {"coil_number_from_0", tagOf("coil", "13"), "coil.bit", "1.5", 1, 13, nullptr},
    {"coil_number_from_1", tagOf("coil", "13", "", true), "coil.bit", "1.4", 1, 13, nullptr},
    {"byte_bit_still_taken", tagOf("di.bit", "2.3"), "di.bit", "2.3", 1, 19, nullptr},
    {"kind_by_number", tagOf("1", "9"), "coil.bit", "1.1", 1, 9, nullptr},
    {"ref_holding", tagOf("", "", "40101"), "hr.word", "100", 1, 40101, nullptr},
    {"ref_six_digits_input_register", tagOf("", "", "300001"), "ir.word", "0", 1, 300001, nullptr},
    {"ref_coil", tagOf("", "", "00017"), "coil.bit", "2.0", 1, 17, nullptr},
    {"f32_counts_values", tagOf("hr", "7", "", false, "f32", "3"), "hr.word", "7", 6, 7, nullptr},
    {"dword_even_register", tagOf("hr.dword", "100"), "hr.dword", "50", 1, 100, nullptr},
    {"dword_odd_register", tagOf("hr.dword", "101"), "", "", 0, 0, "starts at even registers"},
    {"ref_bad_area", tagOf("", "", "50001"), "", "", 0, 0, "--ref: the first digit names the area: 0 coils, 1 inputs"},
    {"ref_zero", tagOf("", "", "40000"), "", "", 0, 0, "count from 1"},
    {"ref_with_kind", tagOf("hr", "", "40001"), "", "", 0, 0, "leave out --kind"},
    {"one_based_zero", tagOf("hr", "0", "", true), "", "", 0, 0, "1..65536"},
};

TEST(HostPoll, MakesTagsOfNumbersAndReferences)
{
    for (const PollCase& c : kPollCases) {
        SCOPED_TRACE(c.name);
        host::PollLabels labels;
        try {
            const host::HostConfig cfg = host::pollConfig(c.given, labels);
            ASSERT_EQ(c.error, nullptr) << "no error";
            const host::Tag& t = cfg.tags.front();
            EXPECT_STREQ(host::kindName(t.kind), c.kind);
            EXPECT_EQ(t.address, c.address);
            EXPECT_EQ(t.count, c.count);
            long first = 0, span = 0;
            host::wireSpan(t, first, span);
            const long scale = labels.refDigits == 5 ? 10000 : 100000;
            EXPECT_EQ((labels.refDigit < 0 ? 0 : labels.refDigit * scale) + first + labels.base, c.firstLabel);
        } catch (const host::ConfigError& e) {
            ASSERT_NE(c.error, nullptr) << e.what();
            EXPECT_NE(std::string(e.what()).find(c.error), std::string::npos) << e.what();
        }
    }
    host::PollTag several;
    several.stations = "1,3,7";
    host::PollLabels labels;
    EXPECT_EQ(host::pollConfig(several, labels).stations(), (std::vector<int>{1, 3, 7}));
}

struct IdCase {
    const char* name;
    const char* answer;
    bool ok;
    const char* objects;  // "id=text;..." or the error
};

const IdCase kIdCases[] = {
    {"basic_stream", "01 2B 0E 01 81 00 00 03 00 04 41 43 4D 45 01 02 46 58 02 03 31 2E 30 CRC", true,
     "0=ACME;1=FX;2=1.0;"},
    {"more_follows", "01 2B 0E 02 82 FF 04 01 03 02 50 51 CRC", true, "3=PQ;more from 4"},
    {"object_past_the_end", "01 2B 0E 01 81 00 00 01 00 09 41 CRC", false, "object 0 runs past the end"},
    {"trailing_bytes", "01 2B 0E 01 81 00 00 00 55 CRC", false, "bytes after the last object"},
    {"too_short", "01 2B 0E 01 CRC", false, "too short"},
};

TEST(HostIdentify, DecodesDeviceIdentificationAnswers)
{
    for (const IdCase& c : kIdCases) {
        SCOPED_TRACE(c.name);
        host::DeviceIdAnswer a;
        std::string error;
        const bool ok = host::decodeDeviceId(test::rtuFrame(c.answer), a, error);
        ASSERT_EQ(ok, c.ok);
        std::string got = error;
        for (const auto& o : a.objects)
            got += std::to_string(o.first) + "=" + o.second.toStdString() + ";";
        if (a.more)
            got += "more from " + std::to_string(a.nextObject);
        EXPECT_EQ(ok ? got : error.substr(0, std::string(c.objects).size()), c.objects);
    }
    QByteArray data;
    EXPECT_TRUE(host::decodeServerId(test::rtuFrame("01 11 03 01 FF 41 CRC"), data));
    EXPECT_EQ(data.toHex().toStdString(), "01ff41");
    EXPECT_FALSE(host::decodeServerId(test::rtuFrame("01 11 05 01 FF 41 CRC"), data)) << "count past the end";
    EXPECT_EQ(host::shownText("FX-200"), "\"FX-200\"");
    EXPECT_EQ(host::shownText(QByteArray::fromHex("41ff")), "(hex) 41 ff");
}

TEST(HostScan, TakesListsAndRanges)
{
    EXPECT_EQ(host::parseStationList("--stations", "1-3,7"), (std::vector<int>{1, 2, 3, 7}));
    EXPECT_EQ(host::parseBaudList("9600,19200"), (std::vector<long>{9600, 19200}));
    EXPECT_EQ(host::parseParityList("N,even"), (std::vector<char>{'N', 'E'}));
    for (const char* bad : {"0", "3-1", "1-248", "x", ""})
        EXPECT_THROW(host::parseStationList("--stations", bad), host::ConfigError) << bad;
    EXPECT_THROW(host::parseBaudList("9601"), host::ConfigError);
    EXPECT_THROW(host::parseParityList("N,X"), host::ConfigError);
    EXPECT_EQ(host::progressBar({5, 20, 1.0}, 0), "[#####               ] 5/20   25 %  5.0 probes/s  0:03 left");
}

TEST(HostLog, QuotesCsvFieldsOnlyWhereNeeded)
{
    EXPECT_EQ(host::csvField("12.5 V"), "12.5 V");
    EXPECT_EQ(host::csvField("a,b"), "\"a,b\"");
    EXPECT_EQ(host::csvField("say \"hi\""), "\"say \"\"hi\"\"\"");
}

}  // namespace
