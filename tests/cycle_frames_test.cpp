// Write and remote request frames, the read-modify-write of bits and bytes
// in holding registers, answer storing and the write-through to the store.
#include "test_support.h"

#include <gtest/gtest.h>

#include <string>
#include <tuple>
#include <vector>
#include <utility>

namespace {

// As many bytes of one area image as `like` shows, from byte `from` on.
std::string imageBytes(int station, int area, int from, const char* like)
{
    return test::hex(test::image(station, area).mid(from, static_cast<int>((std::string(like).size() + 1) / 3)));
}

}  // namespace

TEST(Frames, DirectWrites)
{
    const struct {
        const char* name;
        int kind, station, regAddr;
        const char *data, *frame;
        int options = 0;
    } cases[] = {
        // Station 0 is a broadcast with no answer; stations are cut to 8 bits, start addresses to 16;
        // only whole registers go, one as function 06 to a station that takes only that.
        {"coil off", 1, 1, 5, "", "01 05 00 05 00 00 DD CB"},
        {"broadcast coil on", 1, 0, 5, "01", "00 05 00 05 FF 00 9D EA"},
        {"station cut to 8 bits, whole registers only", 8, 0x101, 16, "12 34 56", "01 10 00 10 00 01 02 12 34 A9 B7"},
        {"one byte: no whole register", 8, 1, 16, "12", "01 10 00 10 00 00 00 0D 90"},
        {"coil bytes, address cut to 16 bits", 4, 1, 0x2001, "5A", "01 0F 00 08 00 08 01 5A 9F 6F"},
        {"coil words", 7, 1, 2, "12 34", "01 0F 00 20 00 10 02 12 34 E8 37"},
        {"one register as 06", 8, 1, 16, "12 34", "01 06 00 10 12 34 85 78", KEMO_STATION_SINGLE_WRITES},
        {"two registers still as 10", 8, 1, 20, "12 34 56 78", "01 10 00 14 00 02 04 12 34 56 78 88 64",
         KEMO_STATION_SINGLE_WRITES},
    };
    for (const auto& c : cases) {
        test::Host host(c.name);
        SetStationOptions(1, c.options);
        RW_VAR v = test::writeVar(c.kind, c.regAddr, c.data, c.station);
        WriteRegister(&v);
        ASSERT_EQ(PLC_driver.protocolList.size(), 1);
        const Protocol& p = PLC_driver.protocolList.first();
        EXPECT_EQ(std::make_tuple(test::hex(p.frame), p.frameLen, p.answerLen),
                  std::make_tuple(c.frame, p.frame.size(), c.station ? 8 : 0));
        EXPECT_EQ(test::hex(p.var.data) + '|' + test::hex(v.data), std::string(c.data) + '|' + c.data);
    }
}

// A bit or byte inside a holding register: the register is read first, and
// the write half goes out with it merged in and a fresh checksum, whatever
// happens to the write queue meanwhile; as function 06 to a station that
// takes only that.
TEST(Frames, ReadModifyWrite)
{
    const struct {
        const char* name;
        int kind, regAddr;
        const char *data, *reg, *write;
        int options = 0;
    } cases[] = {
        {"bit 3 set, as 06", 2, 19, "01", "80 01", "01 06 00 01 80 09 79 CC", KEMO_STATION_SINGLE_WRITES},
        {"bit 0 cleared", 2, 16, "00", "FF FF", "01 10 00 01 00 01 02 FF FE 67 F1"},
        {"bit 15 set", 2, 31, "FF", "00 00", "01 10 00 01 00 01 02 80 00 C6 41"},
        {"odd byte is the low one", 5, 3, "AB", "12 34", "01 10 00 01 00 01 02 AB 34 D9 66"},
        {"even byte is the high one", 5, 2, "AB", "12 34", "01 10 00 01 00 01 02 12 AB EA 9E"},
    };
    for (const auto& c : cases) {
        for (int meddle = 0; meddle < 3; ++meddle) {
            test::Host host(std::string(c.name) + " meddle " + std::to_string(meddle));
            SetStationOptions(1, c.options);
            RW_VAR v = test::writeVar(c.kind, c.regAddr, c.data),
                   other = test::writeVar(c.kind, c.regAddr ^ 1, c.data[0] == '0' ? "FF" : "00");
            AddListWriteVar(&v, 1);
            EXPECT_EQ(test::frontFrame(), "01 03 00 01 00 01 D5 CA");
            if (meddle)
                PLC_driver.writeList.clear();  // emptied by another host thread
            if (meddle == 2)
                AddListWriteVar(&other, 1);
            EXPECT_EQ(test::answer((std::string("01 03 02 ") + c.reg + " 00 00").c_str()), 1);
            EXPECT_EQ(PLC_driver.writeList.size(), meddle == 1 ? 0 : 1);  // the variable is not done yet
            EXPECT_EQ(test::frontFrame(), c.write);
            EXPECT_EQ(test::answer("01 10 00 01 00 01 00 00"), 1);
        }
    }
}

// No guessed register ever reaches the wire. A read half whose answer is
// too short to hold one (the length claimed, fewer bytes given) counts as a
// failure and drops the write half; a remote read half merges like a local
// one, a bit's counting as the variable's first answer (code 1). `answers`
// are given in turn; the write half must then be `write`, or nothing be
// queued ("").
TEST(Frames, ReadHalfWithoutARegister)
{
    const char* const shortRead = "01 03 02 00";
    const struct {
        const char* name;
        int kind, deviceId, retryLimit;
        std::vector<const char*> answers;
        std::vector<int> codes;
        const char *write, *calls;
    } cases[] = {
        {"remote byte write merges", 5, 9, 0, {"01 03 02 12 34 00 00"}, {100}, "01 10 00 01 00 01 02 AB 34 D9 66", ""},
        {"remote bit write merges", 2, 9, 0, {"01 03 02 12 34 00 00"}, {1}, "01 10 00 01 00 01 02 12 3C AB 30", ""},
        {"local too short, given up", 2, 0, 0, {shortRead}, {11}, "", "var 77 0 0 2; list 0 1"},
        {"remote too short, given up", 5, 9, 0, {shortRead}, {111}, "", "var 77 0 0 2; list 0 1"},
        {"too short, then retried and read", 2, 0, 1, {shortRead, "01 03 02 00 00 00 00"}, {0, 1}, "", ""},
        {"retries used up", 2, 0, 2, {shortRead, shortRead, shortRead}, {0, 0, 11}, "", "var 77 0 0 2; list 0 1"},
    };
    for (const auto& c : cases) {
        test::Host host(c.name);
        host.info.retryLimit = c.retryLimit;
        test::CallbackLog log;
        RW_VAR v = test::writeVar(c.kind, c.kind == 2 ? 19 : 3, c.kind == 2 ? "01" : "AB");
        v.deviceId = c.deviceId;
        AddListWriteVar(&v, 1);
        for (size_t i = 0; i < c.answers.size(); ++i) {
            EXPECT_EQ(test::frontFrame(), "01 03 00 01 00 01 D5 CA");
            QByteArray bytes = test::hex(c.answers[i]);
            EXPECT_EQ(DataCom(&bytes, 7)->retCode, c.codes[i]);
        }
        EXPECT_EQ(PLC_driver.protocolList.isEmpty() ? "" : test::frontFrame(), c.write);
        EXPECT_EQ(log.calls, c.calls);
    }
}

TEST(Frames, UnwritableKindsAreDropped)
{
    for (int kind : {0, 3, 6, 9, 12, 13, 14, 15, 16, -1}) {
        test::Host host(std::to_string(kind));
        RW_VAR bad = test::writeVar(kind, 5, "01 02", 1, 2), good = test::writeVar(8, 16, "12 34");
        AddListWriteVar(&bad, 1);
        AddListWriteVar(&good, 1);
        test::DebugCapture log;
        EXPECT_EQ(ComCommunication(), 0);
        EXPECT_EQ(log.messages, QStringList("WriteRegister default 1 " + QString::number(kind) + " 5 2 "));
        EXPECT_TRUE(DataStorage.isEmpty());
        EXPECT_EQ(test::frontFrame(), "01 10 00 10 00 01 02 12 34 A9 B7");
    }
}

// Modbus writes reach the store only while the link is good; remote writes
// always do.
TEST(Frames, WriteThroughFollowsTheLink)
{
    for (bool remote : {false, true}) {
        for (int failed = 0; failed < 2; ++failed) {
            test::Host host(std::string(remote ? "remote" : "Modbus") + (failed ? ", link failed" : ""));
            PLC_driver.commFailed = failed;
            RW_VAR v = test::writeVar(8, 1, "12 34");
            (remote ? Remote_WriteVar : WriteRegister)(&v);
            EXPECT_EQ(imageBytes(1, 8, 0, "00 00 34 12"), !failed || remote ? "00 00 34 12" : "");
        }
    }
}

TEST(Frames, RemoteFrames)
{
    // frame nullptr: not compared; answerLen -1: nothing queued.
    const struct {
        const char* name;
        bool write;
        int varClass, deviceId, station, kind, regAddr, length, bitMode, spare;
        const char *data, *frame;
        int answerLen, dataLen;
    } cases[] = {
        {"register read", false, 1, 2, 1, 8, 100, 4, -2, 0, "",
         "16 01 00 02 01 00 08 00 00 00 64 00 04 FF FF FF FE 00 00 00 00 85", 13, 8},
        {"coil read, like coil words", false, 1, 2, 1, 4, 100, 6, 0, 0, "",
         "16 01 00 02 01 00 04 00 00 00 64 00 06 00 00 00 00 00 00 00 00 88", 11, 6},
        {"coil-word read", false, 1, 2, 1, 7, 100, 6, 0, 0, "", nullptr, 11, 6},
        {"discrete-input read", false, 1, 2, 1, 3, 100, 6, 0, 0, "", nullptr, 11, 6},
        {"input-register read, like registers", false, 1, 2, 1, 14, 100, 4, 0, 0, "", nullptr, 13, 8},
        {"input-register bit: no read", false, 1, 2, 1, 12, 100, 6, 0, 0, "", nullptr, -1, 0},
        {"double-word kind: no read", false, 1, 2, 1, 11, 100, 6, 0, 0, "", nullptr, -1, 0},
        {"register write", true, 1, 2, 1, 8, 100, 1, 0, 0, "",
         "16 01 01 02 01 00 08 00 00 00 64 00 01 00 00 00 00 00 00 00 00 88", 8, 0},
        {"fields cut to their widths", true, 0x101, 0x1FF, 0x2FE, 0x10008, -2, 0x10003, 0x01020304, -1, "AA",
         "17 01 01 FF FE 00 08 FF FF FF FE 00 03 01 02 03 04 FF FF FF FF AA CC", 8, 0},
        {"broadcast, still written through", true, 1, 2, 0, 8, 100, 1, 0, 0, "12 34", nullptr, 0, 0},
    };
    for (const auto& c : cases) {
        test::Host host(c.name);
        host.info.framesPerVar = host.info.framesDone = 7;
        RW_VAR v = test::makeVar(c.kind, c.regAddr, c.length, c.station, c.data);
        std::tie(v.varClass, v.writeFlag, v.deviceId, v.bitMode, v.spare) =
            std::make_tuple(c.varClass, c.write, c.deviceId, c.bitMode, c.spare);
        (c.write ? Remote_WriteVar : Remote_ReadVar)(&v);
        EXPECT_EQ(host.info.framesPerVar, c.answerLen < 0 ? 7 : 1);
        if (c.answerLen < 0) {
            EXPECT_TRUE(PLC_driver.protocolList.isEmpty());
            continue;
        }
        ASSERT_EQ(PLC_driver.protocolList.size(), 1);
        const Protocol& p = PLC_driver.protocolList.first();
        EXPECT_EQ(c.frame ? test::hex(p.frame) : "", c.frame ? c.frame : "");
        const int len = 22 + v.data.size();  // the first byte tells it
        EXPECT_EQ(std::make_tuple(p.frameLen, static_cast<unsigned char>(p.frame.at(0)), p.answerLen, p.dataLen,
                                  p.dataOffset),
                  std::make_tuple(len, len & 0xFF, c.answerLen, c.dataLen, c.write ? 0 : 3));
    }
    EXPECT_EQ(imageBytes(0, 8, 200, "34 12"), "34 12");
    // The length byte wraps; from 65,536 bytes on, the sum covers the length
    // cut to 16 bits, as the CRC does.
    test::Host host;  // the loop's records are gone
    RW_VAR big = test::writeVar(8, 100, "");
    big.data.resize(65600);
    for (int i = 0; i < big.data.size(); ++i)
        big.data[i] = static_cast<char>(i % 251);
    Remote_WriteVar(&big);
    QByteArray huge = PLC_driver.protocolList.last().frame;
    EXPECT_EQ(static_cast<unsigned char>(huge.at(0)), huge.size() & 0xFF);
    unsigned head = 0;  // the bytes 65,536 and on are not counted
    for (int i = 0; i < (huge.size() - 1) - 65536; ++i)
        head += static_cast<unsigned char>(huge.at(i));
    EXPECT_EQ(static_cast<unsigned char>(huge.back()), head & 0xFF);
}

// Accepted read answers land in the image of their area, as far as the
// answer holds whole data; a kind that is no area code is logged, nothing
// stored, and still accepted.
TEST(Frames, AnswerStoring)
{
    const struct {
        const char* name;
        int kind, regAddr, length, dataLen;
        const char* answer;
        int from;
        const char* image;
    } cases[] = {
        {"registers", 8, 10, 2, 4, "01 03 04 12 34 56 78 00 00", 18, "00 00 34 12 78 56"},
        {"no whole register", 8, 0, 2, 1, "01 03 01 12 00 00", 0, "00 00 00 00"},
        {"input bits", 3, 2, 3, 3, "01 02 03 11", 0, "00 00 11 00 00"},
        {"coil words: no area code", 7, 5, 2, 2, "01 03 02 12 34 00 00", 0, "00 00 00 00 00 00 00 00 00"},
    };
    test::DebugCapture log;
    for (const auto& c : cases) {
        test::Host host(c.name);
        test::queueRequest(test::makeVar(c.kind, c.regAddr, c.length), -1, c.dataLen);
        QByteArray bytes = test::hex((std::string(c.answer) + " EE EE").c_str());
        bytes.chop(2);  // what lies beyond the answer is no part of it
        EXPECT_EQ(DataCom(&bytes, bytes.size())->retCode, 1);
        EXPECT_EQ(imageBytes(1, getPlcReg(c.kind), c.from, c.image), c.image);
    }
    EXPECT_EQ(log.messages, QStringList("SaveToLocalDataErea default 1 7 5 "));
}

TEST(Frames, WriteDataToLocal)
{
    const struct {
        const char* name;
        int kind, regAddr, length;
        const char *data, *before;
        int from;
        const char* after;
    } cases[] = {
        {"coil bits", 1, 10, 3, "01 00 07", "00 AA", 0, "00 B6"},
        {"coil bits, short data", 1, 10, 3, "01", "00 AA", 0, "00 AE"},
        {"register bit set", 2, 43, 1, "FF", "", 4, "00 08 00"},
        {"coils", 4, 2, 2, "AB CD", "", 1, "00 AB CD 00"},
        {"register byte", 5, 3, 1, "EE", "11 22 33 44 55", 2, "33 EE 55"},
        {"coil words, short data", 7, 1, 2, "01 02 03", "FF FF FF FF FF FF", 0, "FF FF 01 02 03 FF"},
        {"registers", 8, 1, 2, "12 34 56 78", "", 0, "00 00 34 12 78 56"},
        {"negative length", 8, 0, -1, "12 34", "", 0, ""},
        {"coil dword", 10, 1, 1, "01 02 03 04", "", 4, "01 02 03 04"},
        {"register dword", 11, 1, 1, "12 34 56 78", "", 4, "34 12 78 56"},
        {"register dwords, short data", 11, 0, 2, "12 34 56 78 9A", "", 0, "34 12 78 56"},
    };
    for (const auto& c : cases) {
        test::Host host(c.name);
        DataStorage[1][getPlcReg(c.kind)] = test::hex(c.before);
        RW_VAR v = test::writeVar(c.kind, c.regAddr, c.data, 1, c.length);
        WriteDataToLocal(&v);
        EXPECT_EQ(imageBytes(1, getPlcReg(c.kind), c.from, c.after), c.after);
    }
}
