// Write and remote request frames, the read-modify-write of bits and bytes
// in holding registers, answer storing and the write-through to the store.
#include "test_support.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace {

RW_VAR writeVar(int kind, int regAddr, const char* dataHex, int station = 1, int length = 1)
{
    RW_VAR v = test::makeVar(kind, regAddr, length, station, dataHex);
    v.writeFlag = 1;
    return v;
}

const Protocol& request(int i)
{
    return PLC_driver.protocolList.at(i);
}

}  // namespace

TEST(Frames, DirectWrites)
{
    const struct {
        int kind, station, regAddr;
        const char* data;
        const char* frame;
        int answerLen;
    } cases[] = {
        {1, 1, 5, "01", "01 05 00 05 FF 00 9C 3B", 8},
        {1, 1, 5, "80", "01 05 00 05 FF 00 9C 3B", 8},
        {1, 1, 5, "00", "01 05 00 05 00 00 DD CB", 8},
        {1, 1, 5, "", "01 05 00 05 00 00 DD CB", 8},
        {1, 0, 5, "01", "00 05 00 05 FF 00 9D EA", 0},
        {8, 1, 16, "12 34", "01 10 00 10 00 01 02 12 34 A9 B7", 8},
        {8, 0x101, 16, "12 34", "01 10 00 10 00 01 02 12 34 A9 B7", 8},  // station cut to 8 bits
        {8, 0, 16, "12 34", "00 10 00 10 00 01 02 12 34 A4 27", 0},
        {8, 1, 16, "12 34 56", "01 10 00 10 00 01 02 12 34 A9 B7", 8},  // whole registers only
        {8, 1, 16, "12", "01 10 00 10 00 00 00 0D 90", 8},
        {11, 1, 3, "11 22 33 44", "01 10 00 06 00 02 04 11 22 33 44 C2 70", 8},
        {11, 1, 3, "11 22 33 44 55", "01 10 00 06 00 02 04 11 22 33 44 C2 70", 8},
        {4, 1, 1, "AA 55", "01 0F 00 08 00 10 02 AA 55 5D F7", 8},
        {4, 1, 0x2001, "5A", "01 0F 00 08 00 08 01 5A 9F 6F", 8},  // start address cut to 16 bits
        {7, 1, 2, "12 34", "01 0F 00 20 00 10 02 12 34 E8 37", 8},
        {10, 1, 2, "01 02 03 04", "01 0F 00 40 00 20 04 01 02 03 04 61 B7", 8},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.frame);
        PLC_driver.protocolList.clear();
        test::Host host;
        host.info.framesPerVar = host.info.framesDone = 7;
        RW_VAR v = writeVar(c.kind, c.regAddr, c.data, c.station);
        v.varClass = 3;
        const RW_VAR given = v;
        WriteRegister(&v);
        ASSERT_EQ(PLC_driver.protocolList.size(), 1);
        const Protocol& p = request(0);
        EXPECT_EQ(test::hex(p.frame), c.frame);
        EXPECT_EQ(p.frameLen, p.frame.size());
        EXPECT_EQ(p.answerLen, c.answerLen);
        EXPECT_EQ(p.dataOffset, 0);
        EXPECT_EQ(p.dataLen, 0);
        EXPECT_EQ(p.var.varClass, 3);
        EXPECT_EQ(p.var.data, given.data);
        EXPECT_EQ(host.info.framesPerVar, 1);
        EXPECT_EQ(host.info.framesDone, 0);
        EXPECT_EQ(v.data, given.data);  // the caller's copy is left alone
        EXPECT_EQ(v.regKind, given.regKind);
    }
}

TEST(Frames, ReadModifyWritePairs)
{
    const struct {
        int kind, regAddr, bitMode;
        const char* read;
        const char* write;
    } cases[] = {
        {2, 37, -1, "01 03 00 02 00 01 25 CA", "01 10 00 02 00 01 02 00 00 A7 B2"},
        {5, 7, -2, "01 03 00 03 00 01 74 0A", "01 10 00 03 00 01 02 00 00 A6 63"},
    };
    for (const auto& c : cases) {
        PLC_driver.protocolList.clear();
        test::Host host;
        RW_VAR v = writeVar(c.kind, c.regAddr, "01");
        WriteRegister(&v);
        ASSERT_EQ(PLC_driver.protocolList.size(), 2);
        EXPECT_EQ(test::hex(request(0).frame), c.read);
        EXPECT_EQ(request(0).answerLen, 7);
        EXPECT_EQ(request(0).dataOffset, 3);
        EXPECT_EQ(request(0).dataLen, 2);
        EXPECT_EQ(request(0).var.writeFlag, 0);
        EXPECT_EQ(request(0).var.bitMode, c.bitMode);
        EXPECT_EQ(request(0).var.regKind, 8);
        EXPECT_EQ(test::hex(request(1).frame), c.write);
        EXPECT_EQ(request(1).frameLen, 11);
        EXPECT_EQ(request(1).answerLen, 8);
        EXPECT_EQ(request(1).var.writeFlag, 1);
        EXPECT_EQ(request(1).var.bitMode, 0);
        EXPECT_EQ(host.info.framesPerVar, 2);
        EXPECT_EQ(host.info.framesDone, 0);
        EXPECT_EQ(v.regKind, c.kind);
        EXPECT_EQ(v.regAddr, c.regAddr);
    }
}

// The register read back is merged with the bit or byte and goes out with a
// fresh checksum, whatever happens to the write queue meanwhile.
TEST(Frames, MergedWriteHalf)
{
    const struct {
        int kind, regAddr;
        const char* data;
        const char* reg;
        const char* write;
    } cases[] = {
        {2, 19, "01", "00 00", "01 10 00 01 00 01 02 00 08 A6 47"},
        {2, 16, "00", "FF FF", "01 10 00 01 00 01 02 FF FE 67 F1"},
        {2, 31, "FF", "00 00", "01 10 00 01 00 01 02 80 00 C6 41"},
        {5, 3, "AB", "12 34", "01 10 00 01 00 01 02 AB 34 D9 66"},
        {5, 2, "AB", "12 34", "01 10 00 01 00 01 02 12 AB EA 9E"},
    };
    for (const auto& c : cases) {
        for (int meddle = 0; meddle < 3; ++meddle) {
            SCOPED_TRACE(std::string(c.write) + " meddle " + std::to_string(meddle));
            PLC_driver.writeList.clear();
            PLC_driver.writeStreak = 0;
            test::Host host;
            RW_VAR v = writeVar(c.kind, c.regAddr, c.data);
            AddListWriteVar(&v, 1);
            EXPECT_EQ(test::frontFrame(), "01 03 00 01 00 01 D5 CA");
            RW_VAR other = writeVar(c.kind, c.regAddr ^ 1, c.data[0] == '0' ? "FF" : "00");
            if (meddle)
                PLC_driver.writeList.clear();  // emptied by another host thread
            if (meddle == 2)
                AddListWriteVar(&other, 1);
            EXPECT_EQ(test::answer((std::string("01 03 02 ") + c.reg + " 00 00").c_str()), 1);
            ASSERT_EQ(PLC_driver.protocolList.size(), 1);
            EXPECT_EQ(test::frontFrame(), c.write);
            EXPECT_EQ(request(0).frameLen, 11);
            EXPECT_EQ(test::answer("01 10 00 01 00 01 00 00"), 1);
        }
    }
}

// An answer that claims the right length but holds too few bytes must not
// put a guessed register on the wire: the pair is simply built again.
TEST(Frames, ShortReadHalfDropsTheWrite)
{
    test::Host host;
    RW_VAR v = writeVar(2, 19, "01");
    AddListWriteVar(&v, 1);
    EXPECT_EQ(test::frontFrame(), "01 03 00 01 00 01 D5 CA");
    QByteArray shortAnswer = test::hex("01 03 02 00");
    EXPECT_EQ(DataCom(&shortAnswer, 7)->retCode, 1);
    EXPECT_TRUE(PLC_driver.protocolList.isEmpty());
    EXPECT_EQ(PLC_driver.writeList.size(), 1);
    EXPECT_EQ(test::frontFrame(), "01 03 00 01 00 01 D5 CA");
    EXPECT_EQ(test::answer("01 03 02 00 00 00 00"), 1);
    EXPECT_EQ(test::frontFrame(), "01 10 00 01 00 01 02 00 08 A6 47");
}

TEST(Frames, UnwritableKindsAreDropped)
{
    for (int kind : {0, 3, 6, 9, 12, -1}) {
        SCOPED_TRACE(kind);
        PLC_driver.writeList.clear();
        PLC_driver.writeStreak = 0;
        DataStorage.clear();
        test::Host host;
        host.info.framesPerVar = 7;
        RW_VAR bad = writeVar(kind, 5, "01 02", 1, 2), good = writeVar(8, 16, "12 34");
        AddListWriteVar(&bad, 1);
        AddListWriteVar(&good, 1);
        test::DebugCapture log;
        EXPECT_EQ(ComCommunication(), 0);
        EXPECT_EQ(log.messages, QStringList("WriteRegister default 1 " + QString::number(kind) + " 5 2 "));
        EXPECT_EQ(PLC_driver.writeList.size(), 1);
        EXPECT_EQ(host.info.framesPerVar, 7);
        EXPECT_TRUE(DataStorage.isEmpty());
        EXPECT_EQ(test::frontFrame(), "01 10 00 10 00 01 02 12 34 A9 B7");
        EXPECT_EQ(test::answer("01 10 00 10 00 01 00 00"), 1);
    }
    test::Host host;
    host.info.framesPerVar = 7;
    test::DebugCapture log;
    RW_VAR v = writeVar(2, 5, "01", 3, 4);
    PLC_driver.protocolList.clear();
    WriteAnalog(&v);
    EXPECT_EQ(log.messages, QStringList("WriteAnalog default 3 2 5 4 "));
    EXPECT_TRUE(PLC_driver.protocolList.isEmpty());
    EXPECT_EQ(host.info.framesPerVar, 7);
}

// Modbus writes reach the store only while the link is good; remote writes
// always do.
TEST(Frames, WriteThroughFollowsTheLink)
{
    const struct {
        int kind, regAddr;
        const char* data;
        bool remote;
        int frames;
        const char* stored;  // area 8 image, registers 0..1 as kept (low byte first)
    } cases[] = {
        {8, 1, "12 34", false, 1, "00 00 34 12"},
        {2, 3, "01", false, 2, "08 00 00 00"},
        {5, 1, "AB", false, 2, "00 AB 00 00"},
        {8, 1, "12 34", true, 1, "00 00 34 12"},
        {2, 3, "01", true, 1, "08 00 00 00"},
    };
    for (const auto& c : cases) {
        for (int failed = 0; failed < 2; ++failed) {
            SCOPED_TRACE(std::to_string(c.kind) + (c.remote ? " remote" : "") + (failed ? " failed" : ""));
            PLC_driver.protocolList.clear();
            DataStorage.clear();
            test::Host host;
            PLC_driver.commFailed = failed;
            RW_VAR v = writeVar(c.kind, c.regAddr, c.data);
            (c.remote ? Remote_WriteVar : WriteRegister)(&v);
            EXPECT_EQ(PLC_driver.protocolList.size(), c.frames);
            const bool reaches = !failed || c.remote;
            EXPECT_EQ(DataStorage.isEmpty(), !reaches);
            EXPECT_EQ(test::hex(test::image(1, 8).left(4)), reaches ? c.stored : "");
        }
    }
}

TEST(Frames, RemoteFrames)
{
    const std::string ones234 = [] {
        std::string s;
        for (int i = 0; i < 234; ++i)
            s += i ? " 01" : "01";
        return s;
    }();
    const struct {
        bool write;
        int varClass, writeFlag, deviceId, station, kind, regAddr, length, bitMode, spare;
        std::string data;
        const char* frame;  // nullptr: nothing queued
        int answerLen, dataLen;
    } cases[] = {
        {false, 1, 0, 2, 1, 8, 100, 4, 0, 0, "", "16 01 00 02 01 00 08 00 00 00 64 00 04 00 00 00 00 00 00 00 00 8A", 13, 8},
        {false, 1, 0, 2, 1, 8, 100, 4, -2, 0, "", "16 01 00 02 01 00 08 00 00 00 64 00 04 FF FF FF FE 00 00 00 00 85", 13, 8},
        {false, 1, 0, 2, 1, 4, 100, 6, 0, 0, "", "16 01 00 02 01 00 04 00 00 00 64 00 06 00 00 00 00 00 00 00 00 88", 11, 6},
        {false, 1, 0, 2, 1, 7, 100, 6, 0, 0, "", nullptr, 11, 6},
        {false, 1, 0, 2, 1, 3, 100, 6, 0, 0, "", nullptr, 11, 6},
        {false, 1, 0, 2, 1, 2, 100, 6, 0, 0, "", nullptr, -1, 0},
        {false, 1, 0, 2, 1, 11, 100, 6, 0, 0, "", nullptr, -1, 0},
        {true, 1, 1, 2, 1, 8, 100, 1, 0, 0, "12 34", "18 01 01 02 01 00 08 00 00 00 64 00 01 00 00 00 00 00 00 00 00 12 34 D0", 8, 0},
        {true, 1, 1, 2, 1, 8, 100, 1, 0, 0, "", "16 01 01 02 01 00 08 00 00 00 64 00 01 00 00 00 00 00 00 00 00 88", 8, 0},
        {true, 0x101, 1, 0x1FF, 0x2FE, 0x10008, -2, 0x10003, 0x01020304, -1, "AA",
         "17 01 01 FF FE 00 08 FF FF FF FE 00 03 01 02 03 04 FF FF FF FF AA CC", 8, 0},
        {true, 1, 1, 2, 0, 8, 100, 1, 0, 0, "12 34", nullptr, 0, 0},
        {true, 1, 1, 2, 1, 8, 100, 1, 0, 0, ones234, nullptr, 8, 0},
    };
    int n = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(n++);
        PLC_driver.protocolList.clear();
        test::Host host;
        host.info.framesPerVar = host.info.framesDone = 7;
        RW_VAR v = test::makeVar(c.kind, c.regAddr, c.length, c.station, c.data.c_str());
        v.varClass = c.varClass;
        v.writeFlag = c.writeFlag;
        v.deviceId = c.deviceId;
        v.bitMode = c.bitMode;
        v.spare = c.spare;
        (c.write ? Remote_WriteVar : Remote_ReadVar)(&v);
        if (c.answerLen < 0) {
            EXPECT_TRUE(PLC_driver.protocolList.isEmpty());
            EXPECT_EQ(host.info.framesPerVar, 7);
            EXPECT_EQ(host.info.framesDone, 7);
            continue;
        }
        ASSERT_EQ(PLC_driver.protocolList.size(), 1);
        const Protocol& p = request(0);
        EXPECT_TRUE(!c.frame || test::hex(p.frame) == c.frame) << test::hex(p.frame);
        EXPECT_EQ(p.frameLen, p.frame.size());
        EXPECT_EQ(p.frame.size(), 22 + (c.write ? v.data.size() : 0));
        EXPECT_EQ(static_cast<unsigned char>(p.frame.at(0)), p.frame.size() & 0xFF);
        EXPECT_EQ(p.answerLen, c.answerLen);
        EXPECT_EQ(p.dataOffset, c.write ? 0 : 3);
        EXPECT_EQ(p.dataLen, c.dataLen);
        EXPECT_EQ(p.var.spare, c.spare);
        EXPECT_EQ(host.info.framesPerVar, 1);
        EXPECT_EQ(host.info.framesDone, 0);
    }
    // A remote write to the broadcast station still reaches the store.
    EXPECT_EQ(test::hex(test::image(0, 8).mid(200, 2)), "34 12");
    // The 256-byte write wraps its length byte; its sum was worked out by hand.
    EXPECT_EQ(test::hex(request(0).frame.left(1)), "00");
    EXPECT_EQ(test::hex(request(0).frame.right(1)), "5C");
}

// Accepted read answers land in the image of their area.
TEST(Frames, AnswerStoring)
{
    const struct {
        int kind, regAddr, length, dataLen;
        const char* answer;
        int area, from;
        const char* image;
    } cases[] = {
        {8, 10, 2, 4, "01 03 04 12 34 56 78 00 00", 8, 18, "00 00 34 12 78 56"},
        {8, 0, 2, 3, "01 03 03 12 34 56 00 00", 8, 0, "34 12 00 00"},
        {8, 0, 2, 1, "01 03 01 12 00 00", 8, 0, "00 00 00 00"},
        {4, 5, 2, 2, "01 01 02 A5 01 00 00", 4, 4, "00 A5 01 00"},
        {3, 0, 3, 3, "01 02 03 11 22 33 00 00", 3, 0, "11 22 33 00"},
        {3, 2, 3, 3, "01 02 03 11", 3, 0, "00 00 11 00 00"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.answer);
        DataStorage.clear();
        test::Host host;
        test::queueRequest(test::makeVar(c.kind, c.regAddr, c.length), -1, 3, c.dataLen);
        EXPECT_EQ(test::answer(c.answer), 1);
        EXPECT_EQ(test::hex(test::image(1, c.area).mid(c.from, int(strlen(c.image) + 1) / 3)), c.image);
    }
    for (int kind : {7, 0, 11}) {
        SCOPED_TRACE(kind);
        DataStorage.clear();
        test::Host host;
        test::DebugCapture log;
        test::queueRequest(test::makeVar(kind, 5, 2), 7, 3, 2);
        EXPECT_EQ(test::answer("01 03 02 12 34 00 00"), 1);
        EXPECT_TRUE(log.messages.contains("SaveToLocalDataErea default 1 " + QString::number(kind) + " 5 "));
        EXPECT_EQ(test::image(1, getPlcReg(kind)).count('\0'), test::image(1, getPlcReg(kind)).size());
    }
}

TEST(Frames, WriteDataToLocal)
{
    const struct {
        int kind, regAddr, length;
        const char* data;
        const char* before;  // image of the kind's area before, from byte 0
        int from;
        const char* after;
    } cases[] = {
        {1, 10, 3, "01 00 07", "00 AA", 0, "00 B6"},
        {1, 10, 3, "01", "00 AA", 0, "00 AE"},  // short data: one bit only
        {2, 43, 1, "FF", "", 4, "00 08 00"},
        {2, 43, 1, "00", "FF FF FF FF FF FF FF", 4, "FF F7 FF"},
        {4, 2, 2, "AB CD", "", 1, "00 AB CD 00"},
        {4, 2, 3, "AB", "", 1, "00 AB 00 00"},
        {5, 3, 1, "EE", "11 22 33 44 55", 2, "33 EE 55"},
        {7, 0, 1, "12 34", "", 0, "12 34 00"},
        {7, 1, 2, "01 02 03", "", 0, "00 00 01 02 03"},
        {8, 1, 2, "12 34 56 78", "", 0, "00 00 34 12 78 56"},
        {8, 0, 2, "12 34 56", "", 0, "34 12 00 00"},
        {8, 0, 0, "12 34", "00 00", 0, "00 00"},
        {8, 0, -1, "12 34", "", 0, ""},
        {10, 1, 1, "01 02 03 04", "", 4, "01 02 03 04"},
        {10, 0, 1, "01 02", "", 0, "01 02 00"},
        {11, 1, 1, "12 34 56 78", "", 4, "34 12 78 56"},
        {11, 0, 2, "12 34 56 78 9A", "", 0, "34 12 78 56"},
        {11, 0, 1, "12 34 56", "", 0, "00 00"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.kind) + ' ' + c.data);
        DataStorage.clear();
        test::Host host;
        const int area = getPlcReg(c.kind);
        DataStorage[1][area] = test::hex(c.before);
        RW_VAR v = writeVar(c.kind, c.regAddr, c.data, 1, c.length);
        WriteDataToLocal(&v);
        EXPECT_EQ(test::hex(test::image(1, area).mid(c.from, int(strlen(c.after) + 1) / 3)), c.after);
    }
    for (int kind : {0, 3, 6, 9, 12, -1}) {
        SCOPED_TRACE(kind);
        DataStorage.clear();
        test::Host host;
        test::DebugCapture log;
        RW_VAR v = writeVar(kind, 5, "FF FF", 2, 1);
        WriteDataToLocal(&v);
        EXPECT_TRUE(log.messages.contains("WriteDataToLocal default 2 " + QString::number(kind) + " 5 "));
        const QByteArray img = test::image(2, getPlcReg(kind));
        EXPECT_EQ(img.count('\0'), img.size());
    }
}
