// Whole host loops against a scripted controller: the host asks for the
// next request, the controller checks it and answers (or stays silent), the
// answer goes back to the driver, and the host reads the results.
#include "test_support.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

// The expected request, the reply without its checksum (which is not judged;
// nullptr: silence) and the retCode it gives.
struct Exchange {
    const char *request, *reply;
    int code;
};

void run(const std::vector<Exchange>& script)
{
    for (const Exchange& e : script) {
        SCOPED_TRACE(e.request);
        ASSERT_EQ(test::frontFrame(), e.request);
        QByteArray reply = e.reply ? test::hex(e.reply) + QByteArray(2, '\0') : QByteArray();
        EXPECT_EQ(DataCom(&reply, reply.size())->retCode, e.code);
    }
}

}  // namespace

// Writes of every shape go out ahead of the cyclic read, a silent station is
// retried and given up while the cycle goes on, and the callbacks report it.
TEST(EndToEnd, WritesAndASilentStation)
{
    test::Host host;
    host.info.retryLimit = 1;
    test::CallbackLog log;
    ASSERT_EQ(test::rebuild({{8, 2, "0", 1}, {8, 1, "0", 1}}), 2);
    EXPECT_EQ(test::hostWrite(8, "20", "CD AB", 1, 5, 1), 1);  // host values are little-endian per item
    EXPECT_EQ(test::hostWrite(2, "2.3", "01", 1, 6, 1), 2);    // a bit inside a register
    EXPECT_EQ(test::hostWrite(1, "0.5", "01", 1, 7, 1), 3);
    run({
        {"01 10 00 14 00 01 02 AB CD 1B E1", "01 10 00 14 00", 0},  // one byte short: sent again
        {"01 10 00 14 00 01 02 AB CD 1B E1", "01 10 00 14 00 01", 1},
        {"01 03 00 01 00 01 D5 CA", "01 03 02 80 01", 1},  // read the register first
        {"01 10 00 01 00 01 02 80 09 06 47", "01 10 00 01 00 01", 1},
        {"01 05 00 05 FF 00 9C 3B", "01 05 00 05 FF 00", 1},
        {"01 03 00 00 00 01 84 0A", "01 03 02 12 34", 1},
        // Failures add up across requests: the write used the only retry.
        {"02 03 00 00 00 01 84 39", nullptr, 41},  // silent: given up
        {"01 03 00 00 00 01 84 0A", "01 03 02 12 35", 1},
    });
    EXPECT_EQ(host.info.scanComplete, 0);
    EnCommStation(2, 0);
    run({{"01 03 00 00 00 01 84 0A", "01 03 02 12 36", 1}, {"01 03 00 00 00 01 84 0A", "01 03 02 12 37", 1}});
    EXPECT_EQ(host.info.scanComplete, 1);
    EXPECT_EQ(log.calls, "var 77 5 1 1; var 77 6 1 1; var 77 7 1 1; list 0 1");
    EXPECT_EQ(test::hostRead(8, "20", 1), "CD AB/1");
    EXPECT_EQ(test::hostRead(2, "2.3", 1), "01/1");
    EXPECT_EQ(test::hostRead(1, "0.5", 1), "01/1");
    EXPECT_EQ(test::hostRead(8, "0", 1), "37 12/1");
    EXPECT_EQ(test::hostRead(8, "0", 1, 2), "00 00/1");
}
