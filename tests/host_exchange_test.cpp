// plc-host's request/answer exchange and its reconnecting link over a
// scripted link on a clock of its own: every row is a timed script and the
// verdicts it must give. Frames are hex; CRC stands for the checksum.
#include "host/scripted_link.h"
#include "link/ReconnectingLink.h"
#include "rtu/RtuExchange.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <memory>

namespace {

using test::rtuFrame;

// Station 1, two holding registers at 100 and at 500: answers of one shape.
const char* const kReadA = "01 03 00 64 00 02 CRC";
const char* const kReadB = "01 03 01 F4 00 02 CRC";
const char* const kAnswerA = "01 03 04 00 0A 00 0B CRC";
const char* const kAnswerB = "01 03 04 05 DC 05 DD CRC";
const char* const kReadSt2 = "02 03 00 64 00 02 CRC";
const char* const kException = "01 83 02 CRC";

constexpr int64_t kMs = 1000;

struct Reply {
    int64_t afterUs;  // after the end of the request on the wire
    const char* frame;
};

struct Step {
    const char* request;
    std::vector<Reply> replies;
    const char* status;  // statusName of the outcome
    const char* answer;  // the answer handed on, "" for none
    int late;            // late answers dropped on the way
};

struct ExchangeRow {
    const char* name;
    std::vector<Step> steps;
    int timeoutMsAfter;  // station 1's time-out after the last step
};

// Time-out 100 ms, 20 ms of silence end an answer; no bit rate (a TCP server).
const ExchangeRow kExchangeRows[] = {
    {"on_time", {{kReadA, {{5 * kMs, kAnswerA}}, "ok", kAnswerA, 0}}, 100},
    // kAnswerA in two pieces 4 ms apart, the CRC of the second written out.
    {"split_answer", {{kReadA, {{5 * kMs, "01 03 04"}, {9 * kMs, "00 0A 00 0B 9B F6"}}, "ok", kAnswerA, 0}}, 100},
    {"exception_answer", {{kReadA, {{5 * kMs, kException}}, "exception", "", 0}}, 100},
    {"two_answers_nothing_owed", {{kReadA, {{5 * kMs, kAnswerA}, {5 * kMs, kAnswerA}}, "late answer", "", 1}}, 100},
    // The station answers 130 ms after each request. The first request times
    // out; its answer meets the second and is dropped, which times out too;
    // the second late answer raises the time-out (1.5 x 130 ms), so the
    // third request gets its own.
    {"always_late_station_read",
     {{kReadA, {{130 * kMs, kAnswerA}}, "time-out", "", 0},
      {kReadB, {{130 * kMs, kAnswerB}}, "time-out", "", 1},
      {kReadA, {{130 * kMs, kAnswerA}}, "ok", kAnswerA, 1},
      {kReadB, {{130 * kMs, kAnswerB}}, "ok", kAnswerB, 0}},
     195},
    {"late_answer_meets_same_request",
     {{kReadA, {{130 * kMs, kAnswerA}}, "time-out", "", 0}, {kReadA, {}, "ok", kAnswerA, 0}},
     100},
    // The late answer and the retry's own in one read: the same registers, the same data.
    {"late_and_own_answer_together_same_request",
     {{kReadA, {}, "time-out", "", 0}, {kReadA, {{3 * kMs, kAnswerA}, {3 * kMs, kAnswerA}}, "ok", kAnswerA, 1}},
     100},
    {"late_and_own_answer_together_other_request",
     {{kReadA, {}, "time-out", "", 0}, {kReadB, {{3 * kMs, kAnswerA}, {3 * kMs, kAnswerB}}, "ok", kAnswerB, 1}},
     100},
    // A station that lost the first request: its one answer to the next could
    // be the late one, so it is not taken; the repeat of that request is.
    {"lost_request_then_other_request",
     {{kReadA, {}, "time-out", "", 0},
      {kReadB, {{5 * kMs, kAnswerB}}, "time-out", "", 1},
      {kReadB, {{5 * kMs, kAnswerB}}, "ok", kAnswerB, 0},
      {kReadA, {{5 * kMs, kAnswerA}}, "ok", kAnswerA, 0}},
     100},
    // The repeat took the late answer; the repeat's own, the same frame, meets the next request.
    {"repeat_answer_comes_twice",
     {{kReadA, {{130 * kMs, kAnswerA}}, "time-out", "", 0},
      {kReadA, {{60 * kMs, kAnswerA}}, "ok", kAnswerA, 0},
      {kReadB, {{50 * kMs, kAnswerB}}, "ok", kAnswerB, 1}},
     100},
    // Raised at most to four times the configured time-out.
    {"very_late_station_bounded",
     {{kReadA, {{290 * kMs, kAnswerA}}, "time-out", "", 0},
      {kReadSt2, {}, "time-out", "", 0},
      {kReadSt2, {}, "time-out", "", 1},
      {kReadA, {{290 * kMs, kAnswerA}}, "time-out", "", 0},
      {kReadSt2, {}, "time-out", "", 0},
      {kReadSt2, {}, "time-out", "", 1}},
     400},
    // Heard before the next request goes out: known as the first one's, and the line is free again.
    {"late_answer_before_the_next_request",
     {{kReadA, {{100 * kMs, kAnswerA}}, "time-out", "", 0}, {kReadB, {{5 * kMs, kAnswerB}}, "ok", kAnswerB, 1}},
     100},
    {"answer_then_noise", {{kReadA, {{5 * kMs, kAnswerA}, {5 * kMs, "FF FF"}}, "ok", kAnswerA, 0}}, 100},
    {"late_exception_meets_other_request",
     {{kReadA, {{130 * kMs, kException}}, "time-out", "", 0}, {kReadB, {{130 * kMs, kAnswerB}}, "time-out", "", 1}},
     100},
};

// One exchange of `request` (rtuFrame text), a 9-byte answer expected.
host::ExchangeResult exchange(host::RtuExchange& ex, const char* request)
{
    const QByteArray req = rtuFrame(request);
    return ex.exchange(reinterpret_cast<const uint8_t*>(req.constData()), req.size(), 9, true);
}

host::LinkSettings settings()
{
    host::LinkSettings s;
    s.responseTimeoutMs = 100;
    s.interByteMs = 20;
    return s;
}

TEST(HostExchange, AnswersMeetTheirOwnRequestOnly)
{
    for (const ExchangeRow& row : kExchangeRows) {
        SCOPED_TRACE(row.name);
        test::ScriptedLink link;
        host::RtuExchange ex(link, settings(), CalCRC);
        int write = 0;
        for (const Step& s : row.steps) {
            ++write;
            SCOPED_TRACE(write);
            for (const Reply& r : s.replies)
                link.answerAfter(write, r.afterUs, rtuFrame(r.frame));
            const host::ExchangeResult r = exchange(ex, s.request);
            EXPECT_STREQ(host::statusName(r.status), s.status);
            EXPECT_EQ(test::hex(r.answer), *s.answer ? test::hex(rtuFrame(s.answer)) : "");
            EXPECT_EQ(r.lateAnswers, s.late);
        }
        EXPECT_EQ(ex.timeoutMs(1), row.timeoutMsAfter);
    }
}

// At 19,200 baud a 9-byte answer takes 5.2 ms on the wire: one complete
// 1 ms after the request began before it and is not taken.
TEST(HostExchange, AnswerSoonerThanItsWireTimeIsNotTheAnswer)
{
    test::ScriptedLink link;
    link.charUsValue = 573;
    link.frameGapUsValue = 2005;
    link.pacedValue = true;
    link.answerAfter(1, 1 * kMs, rtuFrame(kAnswerB));
    link.answerAfter(1, 12 * kMs, rtuFrame(kAnswerA));
    host::RtuExchange ex(link, settings(), CalCRC);
    const host::ExchangeResult r = exchange(ex, kReadA);
    EXPECT_STREQ(host::statusName(r.status), "ok");
    EXPECT_EQ(test::hex(r.answer), test::hex(rtuFrame(kAnswerA)));
    EXPECT_EQ(r.lateAnswers, 1);
    exchange(ex, kReadB);  // the next request keeps t3.5 after that answer's last byte
    EXPECT_EQ(link.sent.at(1).atUs, link.sent[0].atUs + 8 * 573 + 12 * kMs + 2005);
}

// Trouble on the line and a peer that floods or goes away: each exchange
// ends by its deadline and the next request waits for silence.
struct LineRow {
    const char* name;
    int64_t floodUntilUs;  // a byte every 100 us from 0 until then; 0: none
    int64_t goneAtUs;      // the peer goes away; -1: never
    int failWrite;         // this request's write fails; 0: none
    const char* status;
    int64_t maxElapsedUs;
};

const LineRow kLineRows[] = {
    {"flood_for_10_s", 10000 * kMs, -1, 0, "bad CRC", 250 * kMs},
    {"peer_gone", 0, 50 * kMs, 0, "time-out", 120 * kMs},
    {"write_fails", 0, -1, 1, "line error", 1},
};

TEST(HostExchange, TroubleEndsByTheDeadline)
{
    for (const LineRow& row : kLineRows) {
        SCOPED_TRACE(row.name);
        test::ScriptedLink link;
        for (int64_t t = 0; t < row.floodUntilUs; t += 100)
            link.bytesAt(t, QByteArray(1, '\x55'));
        link.peerGoneAt(row.goneAtUs);
        link.failWrite(row.failWrite);
        host::RtuExchange ex(link, settings(), CalCRC);
        const host::ExchangeResult r = exchange(ex, kReadA);
        EXPECT_STREQ(host::statusName(r.status), row.status);
        EXPECT_LE(r.elapsed.count(), row.maxElapsedUs);
    }
}

TEST(HostExchange, SilenceAfterTroubleBeforeTheNextRequest)
{
    test::ScriptedLink link;
    link.answerAfter(1, 5 * kMs, QByteArray::fromHex("0103040000"));  // cut short: incomplete
    link.answerAfter(2, 5 * kMs, rtuFrame(kAnswerA));
    host::RtuExchange ex(link, settings(), CalCRC);
    EXPECT_STREQ(host::statusName(exchange(ex, kReadA).status), "incomplete");
    link.bytesAt(link.nowUs + 10 * kMs, QByteArray(3, '\x00'));  // noise after the time-out
    EXPECT_STREQ(host::statusName(exchange(ex, kReadA).status), "ok");
    // The second request waits for 20 ms of silence after the noise.
    EXPECT_GE(link.sent.at(1).atUs - link.sent[0].atUs, 100 * kMs + 30 * kMs);
    EXPECT_EQ(ex.noiseBytes(), 3);
}

// ---- the reconnecting link ------------------------------------------------------------------

struct ReconnectRow {
    const char* name;
    int failedOpens;                  // opens that fail after the first loss
    int64_t goodForUs;                // once up again: good answers for this long before the next loss; -1: none
    std::vector<int64_t> backOffsMs;  // the wait after the first loss, then after each later loss or failed attempt
};

// Every row: up, lost at once, then the scripted attempts.
const ReconnectRow kReconnectRows[] = {
    {"open_fails_waits_double_to_the_cap", 7, -1, {100, 200, 400, 800, 1600, 3200, 5000, 5000}},
    {"drops_again_soon_keeps_growing", 0, 2000 * kMs, {100, 200}},
    {"stable_for_10_s_starts_again", 0, 10000 * kMs, {100, 100}},
};

TEST(HostReconnectingLink, BackOffGrowsUntilTheLinkProvesItself)
{
    for (const ReconnectRow& row : kReconnectRows) {
        SCOPED_TRACE(row.name);
        auto inner = std::make_unique<test::ScriptedLink>();
        test::ScriptedLink& s = *inner;
        host::ReconnectingLink link(std::move(inner), "scripted", nullptr);
        std::string error;
        ASSERT_TRUE(link.open(error));
        const uint8_t req[] = {1, 3, 0, 0, 0, 1};
        s.peerGoneAt(0);
        uint8_t buf[8];
        EXPECT_EQ(link.read(buf, sizeof buf), -1);
        EXPECT_FALSE(link.up());
        s.failOpens(row.failedOpens);
        const auto wait = [&] { return std::chrono::duration_cast<std::chrono::milliseconds>(link.backOff()).count(); };
        std::vector<int64_t> waits{wait()};
        while (waits.size() < row.backOffsMs.size()) {
            link.write(req, sizeof req, link.now() + std::chrono::seconds(10));  // one attempt
            if (link.up() && row.goodForUs >= 0) {
                link.answered();
                s.nowUs += row.goodForUs;
                s.peerGoneAt(s.nowUs);
                link.read(buf, sizeof buf);
            }
            waits.push_back(wait());
        }
        EXPECT_EQ(waits, row.backOffsMs);
    }
}

}  // namespace
