// Whole host loops against a scripted controller: the host asks for the
// next request, the controller checks it and answers (or stays silent), the
// answer goes back to the driver, and the host reads the results.
#include "test_support.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

struct Exchange {
    const char* request;  // expected frame; nullptr: nothing is to be sent
    const char* reply;    // without checksum; nullptr: silence
    int code;             // retCode of the answer
};

// The controller closes every reply with its CRC, low byte first.
QByteArray withCrc(const char* reply)
{
    QByteArray bytes = test::hex(reply);
    const unsigned short crc = CalCRC(reinterpret_cast<unsigned char*>(bytes.data()), static_cast<unsigned short>(bytes.size()));
    bytes.append(static_cast<char>(crc & 0xFF));
    bytes.append(static_cast<char>(crc >> 8));
    return bytes;
}

void run(const std::vector<Exchange>& script)
{
    int step = 0;
    for (const Exchange& e : script) {
        SCOPED_TRACE("step " + std::to_string(step++));
        const intptr_t p = ComCommunication();
        if (!e.request) {
            EXPECT_EQ(p, 0);
            continue;
        }
        ASSERT_NE(p, 0);
        ASSERT_EQ(test::hex(reinterpret_cast<Protocol*>(p)->frame), e.request);
        QByteArray reply = e.reply ? withCrc(e.reply) : QByteArray();
        EXPECT_EQ(DataCom(&reply, reply.size())->retCode, e.code);
    }
}

HOST_VAR hostVar(int kind, const char* addr, int length, int station = 1)
{
    HOST_VAR v{};
    v.regKind = static_cast<unsigned char>(kind);
    v.station = static_cast<unsigned char>(station);
    v.addrText = addr;
    v.length = length;
    return v;
}

struct Read {
    int kind;
    const char* addr;
    int count, station;
    const char* value;
};

void expectStore(const std::vector<Read>& reads)
{
    for (const Read& r : reads) {
        QString addr = r.addr;
        QByteArray out;
        EXPECT_EQ(GetRegisterData(0, r.kind, addr, r.station, &out, r.count), 1);
        EXPECT_EQ(test::hex(out), r.value) << "kind " << r.kind << " at " << r.addr;
    }
}

std::vector<std::string> varResults(const test::CallbackLog& log)
{
    std::vector<std::string> out;
    for (const auto& r : log.varResults)
        out.push_back(std::to_string(r.callbackId) + ' ' + std::to_string(r.varClass) + ' ' + std::to_string(r.varId) +
                      ' ' + std::to_string(r.status));
    return out;
}

int setValue(int kind, const char* addr, const char* valueHex, int count, int varClass, int varId)
{
    QString name = "v", address = addr;
    QByteArray value = test::hex(valueHex);
    return SetRegisterData(name, kind, address, 1, &value, count, varClass, varId);
}

const char* const kReg0 = "01 03 00 00 00 01 84 0A";

}  // namespace

TEST(EndToEnd, ReadListOfEveryKind)
{
    test::Host host;
    QList<HOST_VAR> vars;
    vars << hostVar(0, "1.3", 2) << hostVar(3, "4", 2) << hostVar(6, "3", 1) << hostVar(9, "2", 1)
         << hostVar(1, "0.5", 3) << hostVar(4, "2", 1) << hostVar(7, "2", 1) << hostVar(10, "2", 2)
         << hostVar(2, "1.2", 2) << hostVar(5, "3", 2) << hostVar(8, "4", 2) << hostVar(11, "3", 1);
    ASSERT_EQ(ReCreatReadVarList(&vars), 3);
    const Exchange inputs = {"01 02 00 08 00 58 F8 32", "01 02 0B 08 22 33 44 55 66 77 88 99 AA BB", 1};
    run({
        inputs,
        {"01 01 00 00 00 60 3C 22", "01 01 0C A0 01 C2 03 C4 C5 06 07 C8 C9 CA CB", 1},
        {"01 03 00 00 00 08 44 0C", "01 03 10 04 00 11 22 33 44 00 00 55 66 77 88 99 AA BB CC", 1},
    });
    EXPECT_EQ(host.info.scanComplete, 0);
    run({inputs});
    EXPECT_EQ(host.info.scanComplete, 1);
    expectStore({
        {0, "1.3", 2, 1, "01 00"},
        {3, "4", 2, 1, "44 55 00 00"},
        {6, "3", 1, 1, "66 77"},
        {9, "2", 1, 1, "88 99 AA BB"},
        {1, "0.5", 3, 1, "01 00 01"},
        {4, "2", 1, 1, "C2 00"},
        {7, "2", 1, 1, "C4 C5"},
        {10, "2", 2, 1, "C8 C9 CA CB"},
        {2, "1.2", 2, 1, "01 00"},
        {5, "3", 2, 1, "11 44 00 00"},
        {8, "4", 2, 1, "66 55 88 77"},
        {11, "3", 1, 1, "AA 99 CC BB"},
    });
}

TEST(EndToEnd, SilentStationIsGivenUpWhileTheCycleGoesOn)
{
    test::Host host;
    host.info.retryLimit = 1;
    test::CallbackLog log;
    log.install();
    QList<HOST_VAR> vars;
    vars << hostVar(8, "0", 1, 2) << hostVar(8, "0", 1, 1);
    ASSERT_EQ(ReCreatReadVarList(&vars), 2);
    const char* const station2 = "02 03 00 00 00 01 84 39";
    run({
        {kReg0, "01 03 02 12 34", 1},
        {station2, nullptr, 0},
        {station2, nullptr, 41},
        {kReg0, "01 03 02 12 35", 1},
        {station2, "02 03 02 00", 0},        // one byte short
        {station2, "02 03 02 00 00 00", 71},  // one byte over
    });
    RW_VAR once = test::makeVar(8, 0, 1, 2);
    once.addrText = "5";
    once.varClass = 3;
    once.varId = 9;
    ASSERT_EQ(AddListOnceReadVar(&once, 0), 1);
    run({
        {"02 03 00 05 00 01 94 38", nullptr, 0},
        {"02 03 00 05 00 01 94 38", nullptr, 44},
        {kReg0, "01 03 02 12 36", 1},
    });
    EXPECT_EQ(varResults(log), std::vector<std::string>{"77 3 9 2"});
    EXPECT_EQ(log.listResultClasses, (std::vector<int>{0, 0, 3}));
    EXPECT_TRUE(PLC_driver.onceReadList.isEmpty());

    EnCommStation(2, 0);
    run({{kReg0, "01 03 02 12 37", 1}, {kReg0, "01 03 02 12 38", 1}});
    EXPECT_EQ(host.info.scanComplete, 1);
    expectStore({{8, "0", 1, 1, "38 12"}, {8, "0", 1, 2, "00 00"}});
}

TEST(EndToEnd, WritesReachTheWire)
{
    test::Host host;
    test::CallbackLog log;
    log.install();
    QList<HOST_VAR> vars;
    vars << hostVar(8, "0", 1);
    ReCreatReadVarList(&vars);

    // Ready-made requests, as a host builds them itself.
    RW_VAR word = test::makeVar(8, 16, 1, 1, "12 34"), coils = test::makeVar(4, 1, 2, 1, "AA 55");
    word.writeFlag = coils.writeFlag = 1;
    word.varClass = coils.varClass = 4;
    word.varId = 1;
    coils.varId = 2;
    AddListWriteVar(&word, 1);
    AddListWriteVar(&coils, 1);
    // Host values: items little-endian, one request per bit.
    EXPECT_EQ(setValue(8, "20", "CD AB", 1, 5, 1), 3);
    EXPECT_EQ(setValue(2, "2.3", "01", 1, 6, 1), 4);
    EXPECT_EQ(setValue(1, "0.5", "01", 1, 7, 1), 5);

    run({
        {"01 10 00 10 00 01 02 12 34 A9 B7", "01 10 00 10 00 01", 1},
        {"01 0F 00 08 00 10 02 AA 55 5D F7", nullptr, 0},
        {"01 0F 00 08 00 10 02 AA 55 5D F7", "01 0F 00 08 00 10", 1},
        {"01 10 00 14 00 01 02 AB CD 1B E1", "01 10 00 14 00 01", 1},
        {"01 03 00 01 00 01 D5 CA", "01 03 02 80 01", 1},  // bit 3 of register 1: read it first
        {"01 10 00 01 00 01 02 80 09 06 47", "01 10 00 01 00 01", 1},
        {"01 05 00 05 FF 00 9C 3B", "01 05 00 05 FF 00", 1},
        {kReg0, "01 03 02 00 2A", 1},
        {kReg0, "01 03 02 00 2B", 1},
    });
    EXPECT_EQ(varResults(log), (std::vector<std::string>{"77 4 1 1", "77 4 2 1", "77 5 1 1", "77 6 1 1", "77 7 1 1"}));
    EXPECT_TRUE(log.listResultClasses.empty());
    expectStore({
        {8, "16", 1, 1, "34 12"},
        {8, "20", 1, 1, "CD AB"},
        {4, "1", 2, 1, "AA 55 00 00"},
        {2, "2.3", 1, 1, "01"},
        {1, "0.5", 1, 1, "01"},
        {8, "0", 1, 1, "2B 00"},
    });
}

TEST(EndToEnd, RemoteModeCycle)
{
    test::Host host;
    host.info.remoteMode = 1;
    test::CallbackLog log;
    log.install();
    QList<HOST_VAR> vars;
    vars << hostVar(8, "100", 4) << hostVar(4, "3", 2);
    ASSERT_EQ(ReCreatReadVarList(&vars), 2);
    const Exchange coils = {"16 00 00 00 01 00 04 00 00 00 03 00 02 00 00 00 00 00 00 00 00 20", "01 01 02 A5 5A", 1};
    run({
        coils,
        {"16 00 00 00 01 00 08 00 00 00 64 00 04 00 00 00 00 00 00 00 00 87", "01 03 08 00 01 00 02 00 03 00 04", 1},
    });
    EXPECT_EQ(setValue(8, "50", "34 12", 1, 2, 3), 1);
    RW_VAR other = test::makeVar(8, 10, 1);  // a variable of another device
    other.varClass = 1;
    other.varId = 2;
    other.deviceId = 5;
    AddListOnceReadVar(&other, 1);
    run({
        {"18 02 01 00 01 00 08 00 00 00 32 00 01 00 00 00 00 00 00 00 00 12 34 9D", "01 10 00 32 00 01", 1},
        {"16 01 00 05 01 00 08 00 00 00 0A 00 01 00 00 00 00 00 00 00 00 30", "01 03 02 77 88", 100},
        coils,
    });
    EXPECT_EQ(varResults(log), std::vector<std::string>{"77 2 3 1"});
    expectStore({
        {4, "3", 2, 1, "A5 5A 00 00"},
        {8, "100", 4, 1, "01 00 02 00 03 00 04 00"},
        {8, "50", 1, 1, "34 12"},
        {8, "10", 1, 1, "00 00"},
    });
}
