// plc-host's answer framing: when an answer is complete, and whether it may
// reach the driver. Frames are hex; CRC stands for the checksum of every
// byte before it.
#include "link/LinkFactory.h"
#include "rtu/RtuFraming.h"
#include "SerialLine.h"
#include "link/TcpLink.h"
#include "host/scripted_link.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <sstream>

namespace {

using host::AnswerStatus;

const uint8_t* u8(const QByteArray& bytes) { return reinterpret_cast<const uint8_t*>(bytes.constData()); }

const char* const kRead03 = "01 03 00 64 00 02 CRC";  // two registers: 9-byte answer
const char* const kRead01 = "01 01 00 08 00 0A CRC";  // ten coils: 7-byte answer
const char* const kWrite10 = "01 10 00 64 00 02 04 00 01 00 02 CRC";
const char* const kWrite05 = "01 05 00 03 FF 00 CRC";

const char* const kForeign = "wrong station or function";

struct JudgeCase {
    const char *name, *request, *answer;
    int answerLen;
    AnswerStatus status;
    int frameLength;
    const char* words;  // failureText
};

const JudgeCase kJudgeCases[] = {
    {"read_bad_crc", kRead03, "01 03 04 00 0A 00 0B 00 00", 9, AnswerStatus::BadCrc, 9, "bad CRC"},
    {"read_other_station", kRead03, "02 03 04 00 0A 00 0B CRC", 9, AnswerStatus::Mismatch, 9, kForeign},
    {"read_other_function", kRead03, "01 04 04 00 0A 00 0B CRC", 9, AnswerStatus::Mismatch, 9, kForeign},
    {"read_three_registers", kRead03, "01 03 06 00 0A 00 0B 00 0C CRC", 11, AnswerStatus::Mismatch, 11,
     "wrong byte count"},
    {"exception_0B", kRead03, "01 83 0B CRC", 9, AnswerStatus::Exception, 5,
     "exception 0B gateway target device failed to respond"},
    {"exception_unnamed", kRead03, "01 83 42 CRC", 9, AnswerStatus::Exception, 5, "exception 42"},
    {"exception_other_station", kRead03, "02 83 02 CRC", 9, AnswerStatus::Mismatch, 5, kForeign},
    {"short_whole_foreign_frame", kRead03, "02 05 00 03 FF 00 CRC", 9, AnswerStatus::Mismatch, 8, kForeign},
    {"short", kRead03, "01 03 04 00 0A", 9, AnswerStatus::Incomplete, 5, "incomplete answer (5 of 9 bytes)"},
    {"trailing_bytes_foreign", kRead03, "01 03 04 00 0A 00 0B CRC 01 03", 9, AnswerStatus::Ok, 9, "ok"},
    {"coils_ok", kRead01, "01 01 02 55 01 CRC", 7, AnswerStatus::Ok, 7, "ok"},
    {"coils_byte_count_for_8", kRead01, "01 01 01 55 CRC", 6, AnswerStatus::Mismatch, 6, "wrong byte count"},
    {"write10_echo", kWrite10, "01 10 00 64 00 02 CRC", 8, AnswerStatus::Ok, 8, "ok"},
    {"write10_wrong_quantity", kWrite10, "01 10 00 64 00 03 CRC", 8, AnswerStatus::Mismatch, 8,
     "echo does not match the request"},
    {"write05_wrong_value", kWrite05, "01 05 00 03 00 00 CRC", 8, AnswerStatus::Mismatch, 8,
     "echo does not match the request"},
    {"any_length", kRead03, "01 03 04 00 0A 00 0B CRC", -1, AnswerStatus::Ok, 9, "ok"},
    {"any_length_bad_crc", kRead03, "01 03 04 00 0A 00 0B CRC 55", -1, AnswerStatus::BadCrc, 10, "bad CRC"},
    {"one_byte", kRead03, "01", 9, AnswerStatus::Incomplete, 1, "incomplete answer (1 of 9 bytes)"},
};

void expectJudged(const JudgeCase& c, bool modbus)
{
    SCOPED_TRACE(c.name);
    const QByteArray req = test::rtuFrame(c.request), ans = test::rtuFrame(c.answer);
    const host::Verdict v = host::judgeAnswer(u8(req), req.size(), u8(ans), ans.size(), c.answerLen, modbus, CalCRC);
    EXPECT_EQ(host::statusName(v.status), std::string(host::statusName(c.status)));
    EXPECT_EQ(v.frameLength, c.frameLength);
    EXPECT_EQ(host::failureText(v, ans.size(), c.answerLen), c.words);
}

TEST(HostFraming, JudgesAnswersAgainstTheirRequest)
{
    for (const JudgeCase& c : kJudgeCases)
        expectJudged(c, true);
}

// A remote end's answers to a read of two registers of station 1: length
// byte, station, status, data, CRC; a refusal is five bytes.
TEST(HostFraming, JudgesRemoteAnswers)
{
    const char* const read = "16 01 00 00 01 00 08 00 00 00 64 00 02 00 00 00 00 00 00 00 00 8F";
    const JudgeCase cases[] = {
        {"remote_read", read, "09 01 00 00 0A 00 0B CRC", 9, AnswerStatus::Ok, 9, "ok"},
        {"remote_refusal", read, "05 01 01 CRC", 9, AnswerStatus::Exception, 5, "refused 01 area not served"},
        {"remote_refusal_other_station", read, "05 02 02 CRC", 9, AnswerStatus::Mismatch, 5, "wrong station"},
        {"remote_other_station", read, "09 02 00 00 0A 00 0B CRC", 9, AnswerStatus::Mismatch, 9, "wrong station"},
        {"remote_bad_crc", read, "09 01 00 00 0A 00 0B 00 00", 9, AnswerStatus::BadCrc, 9, "bad CRC"},
        {"remote_length_byte", read, "08 01 00 00 0A 00 0B CRC", 9, AnswerStatus::Mismatch, 9,
         "length byte or status does not fit"},
        {"remote_short", read, "09 01 00 00", 9, AnswerStatus::Incomplete, 4, "incomplete answer (4 of 9 bytes)"},
    };
    for (const JudgeCase& c : cases)
        expectJudged(c, false);
    // A refusal ends the wait at once.
    const QByteArray req = test::rtuFrame(read), refusal = test::rtuFrame("05 01 02 CRC");
    host::AnswerFramer framer(u8(req), req.size(), 9, false, {0, 200000, 20000}, CalCRC);
    framer.add(u8(refusal), refusal.size(), 1000);
    EXPECT_TRUE(framer.complete(1000));
}

// Times in microseconds from the end of the request; the response time-out
// ends at 200,000, the inter-byte time-out is 20,000.
struct FramingCase {
    const char* name;
    int answerLen;
    const char *answer, *cuts;  // cuts: "TIME:END ...", bytes up to END arrive at TIME
    int64_t doneAt;             // complete then, not a microsecond before
    AnswerStatus status;
};

const char* const kAnswer03 = "01 03 04 00 0A 00 0B CRC";

const FramingCase kFramingCases[] = {
    {"split_by_150_ms", 9, kAnswer03, "1000:4 151000:9", 151000, AnswerStatus::Ok},
    {"burst_over_the_deadline", 9, kAnswer03, "199000:4 215000:9", 215000, AnswerStatus::Ok},
    {"silence_ends_fixed_length_only_at_the_deadline", 9, "01 03 04 00", "1000:4", 200000, AnswerStatus::Incomplete},
    {"trickle_past_the_deadline", 9, "01 03", "195000:1 210000:2", 230000, AnswerStatus::Incomplete},
    {"exception_ends_at_once", 9, "01 83 02 CRC", "1000:5", 1000, AnswerStatus::Exception},
    {"exception_shape_bad_crc_waits", 9, "01 83 02 00 00", "1000:5", 200000, AnswerStatus::Incomplete},
    {"any_length_ends_on_silence", -1, kAnswer03, "1000:4 15000:9", 35000, AnswerStatus::Ok},
    {"nothing", 9, "", "", 200000, AnswerStatus::Timeout},
    {"late_piece_after_the_end", 9, "01 03 04 00 0A 00 0B CRC 01 03", "1000:9 2000:11", 1000, AnswerStatus::Ok},
};

TEST(HostFraming, EndsAnswersByLengthExceptionOrTimeOut)
{
    const QByteArray req = test::rtuFrame(kRead03);
    const host::FramingTimes times{0, 200000, 20000};
    for (const FramingCase& c : kFramingCases) {
        SCOPED_TRACE(c.name);
        host::AnswerFramer framer(u8(req), req.size(), c.answerLen, true, times, CalCRC);
        // Pieces before doneAt, then the answer must still be open; the rest
        // (up to completion, as the link stops reading there), then done.
        const QByteArray whole = test::rtuFrame(c.answer);
        std::istringstream cuts(c.cuts);
        int64_t at = 0;
        char colon = 0;
        int end = 0, fed = 0;
        bool checkedOpen = false;
        while (cuts >> at >> colon >> end) {
            if (!checkedOpen && at >= c.doneAt) {
                EXPECT_FALSE(framer.complete(c.doneAt - 1));
                checkedOpen = true;
            }
            if (framer.complete(at))
                break;
            framer.add(u8(whole) + fed, end - fed, at);
            fed = end;
        }
        if (!checkedOpen) {
            EXPECT_FALSE(framer.complete(c.doneAt - 1));
        }
        EXPECT_TRUE(framer.complete(c.doneAt));
        EXPECT_EQ(host::statusName(framer.verdict().status), std::string(host::statusName(c.status)));
    }
}

// Device texts: a serial path, a serial server, or a text no link takes.
struct DeviceCase {
    const char *name, *device;
    bool usable;       // checkDevice
    const char* host;  // "" when it is no TCP device
    int port;
};

const DeviceCase kDeviceCases[] = {
    {"serial_path", "/dev/ttyUSB0", true, "", 0},
    {"path_with_colon", "/dev/serial/by-path/pci-0:1", true, "", 0},
    {"tcp_name", "tcp://gateway.local:502", true, "gateway.local", 502},
    {"tcp_ipv4_top_port", "tcp://10.0.0.7:65535", true, "10.0.0.7", 65535},
    {"tcp_ipv6", "tcp://[::1]:4001", true, "::1", 4001},
    {"tcp_port_zero", "tcp://gateway:0", false, "", 0},
    {"tcp_port_too_big", "tcp://gateway:65536", false, "", 0},
    {"tcp_no_host", "tcp://:502", false, "", 0},
    {"tcp_ipv6_no_brackets", "tcp://::1:502", false, "", 0},
    {"tcp_path_after_port", "tcp://gateway:502/x", false, "", 0},
};

TEST(HostLink, TellsSerialDevicesFromSerialServers)
{
    for (const DeviceCase& c : kDeviceCases) {
        SCOPED_TRACE(c.name);
        std::string error;
        EXPECT_EQ(host::checkDevice(c.device, error), c.usable) << error;
        host::TcpAddress address;
        EXPECT_EQ(host::parseTcpDevice(c.device, address, error), *c.host != 0);
        EXPECT_EQ(address.host, c.host);
        EXPECT_EQ(address.port, c.port);
    }
}

// Rates and character formats both programs take, and the timing they give.
struct LineCase {
    const char* name;
    long baud;
    const char* parity;
    bool accepted;  // rate and parity word
    long charUs, frameGapUs;
};

const LineCase kLineCases[] = {
    {"300_8N1", 300, "N", true, 33333, 116667},
    {"9600_8E1", 9600, "even", true, 1146, 4010},
    {"19200_8E1", 19200, "E", true, 573, 2005},
    {"19200_8N1", 19200, "none", true, 521, 1823},
    {"38400_8O1_fixed_gap", 38400, "Odd", true, 286, 1750},
    {"921600_8N1", 921600, "n", true, 11, 1750},
    {"14400_not_a_rate", 14400, "E", false, 0, 0},
    {"parity_mark", 19200, "M", false, 0, 0},
};

TEST(HostLink, AcceptsTheStandardRatesAndTimesTheLine)
{
    for (const LineCase& c : kLineCases) {
        SCOPED_TRACE(c.name);
        serialline::LineSettings line;
        line.baud = c.baud;
        const bool accepted = serialline::baudSupported(c.baud) && serialline::parseParity(c.parity, line.parity);
        EXPECT_EQ(accepted, c.accepted);
        if (!accepted)
            continue;
        EXPECT_EQ(serialline::charUs(line), c.charUs);
        EXPECT_EQ(serialline::frameGapUs(line), c.frameGapUs);
    }
    EXPECT_NE(serialline::unsupportedBaud(14400).find("300, 600, 1200"), std::string::npos);
}

// The clock is watched before a deadline for about as long as timed waits lately woke late.
TEST(HostLink, WakeMarginFollowsLateWakeUps)
{
    const struct {
        const char* name;
        long lateUs;        // one wake-up this late
        int punctualAfter;  // then this many on time
        long marginUs;
    } kCases[] = {
        // clang-format off
        {"early_wake_keeps_the_floor", -30, 0, 150},
        {"slow_wake_raises_it_at_once", 400, 0, 520},
        {"stall_is_capped", 5000, 0, 1000},
        {"stall_fades_from_the_cap", 5000, 10, 680},
        {"back_to_the_floor", 400, 100, 150},
        // clang-format on
    };
    for (const auto& c : kCases) {
        SCOPED_TRACE(c.name);
        serialline::WakeMargin margin;
        const auto target = serialline::WakeMargin::Clock::now();
        margin.observe(target, target + std::chrono::microseconds(c.lateUs));
        for (int i = 0; i < c.punctualAfter; ++i)
            margin.observe(target, target);
        EXPECT_EQ(margin.get().count(), c.marginUs);
    }
}

}  // namespace
