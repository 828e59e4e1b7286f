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

TEST(EndToEnd, ReadListOfEveryKind)
{
    test::Host host;
    QList<HOST_VAR> vars = test::hostList({{0, 1, "1.3", 2},
                                           {3, 1, "4", 2},
                                           {6, 1, "3", 1},
                                           {9, 1, "2", 1},
                                           {1, 1, "0.5", 3},
                                           {4, 1, "2", 1},
                                           {7, 1, "2", 1},
                                           {10, 1, "2", 2},
                                           {2, 1, "1.2", 2},
                                           {5, 1, "3", 2},
                                           {8, 1, "4", 2},
                                           {11, 1, "3", 1}});
    ASSERT_EQ(ReCreatReadVarList(&vars), 3);
    const Exchange inputs = {"01 02 00 08 00 58 F8 32", "01 02 0B 08 22 33 44 55 66 77 88 99 AA BB", 1};
    run({inputs,
         {"01 01 00 00 00 60 3C 22", "01 01 0C A0 01 C2 03 C4 C5 06 07 C8 C9 CA CB", 1},
         {"01 03 00 00 00 08 44 0C", "01 03 10 04 00 11 22 33 44 00 00 55 66 77 88 99 AA BB CC", 1}});
    EXPECT_EQ(host.info.scanComplete, 0);
    run({inputs});
    EXPECT_EQ(host.info.scanComplete, 1);
    EXPECT_EQ(test::hostRead(0, "1.3", 2), "01 00/1");
    EXPECT_EQ(test::hostRead(3, "4", 2), "44 55 00 00/1");
    EXPECT_EQ(test::hostRead(6, "3", 1), "66 77/1");
    EXPECT_EQ(test::hostRead(9, "2", 1), "88 99 AA BB/1");
    EXPECT_EQ(test::hostRead(1, "0.5", 3), "01 00 01/1");
    EXPECT_EQ(test::hostRead(4, "2", 1), "C2 00/1");
    EXPECT_EQ(test::hostRead(7, "2", 1), "C4 C5/1");
    EXPECT_EQ(test::hostRead(10, "2", 2), "C8 C9 CA CB/1");
    EXPECT_EQ(test::hostRead(2, "1.2", 2), "01 00/1");
    EXPECT_EQ(test::hostRead(5, "3", 2), "11 44 00 00/1");
    EXPECT_EQ(test::hostRead(8, "4", 2), "66 55 88 77/1");
    EXPECT_EQ(test::hostRead(11, "3", 1), "AA 99 CC BB/1");
}

// Writes of every shape go out ahead of the cyclic read, a silent station is
// retried and given up while the cycle goes on, and the callbacks report it.
TEST(EndToEnd, WritesAndASilentStation)
{
    test::Host host;
    host.info.retryLimit = 1;
    test::CallbackLog log;
    QList<HOST_VAR> vars = test::hostList({{8, 2, "0", 1}, {8, 1, "0", 1}});
    ASSERT_EQ(ReCreatReadVarList(&vars), 2);
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
