// host-minimal: the smallest complete host of libkemo_ipc_rtu, and its integration guide.
//
//   host-minimal DEVICE [BAUD]        e.g. host-minimal /dev/ttyUSB0 19200, or the pty plc-sim prints
//
// Reads holding registers 100-103 and coils 0-7 of station 1, writes 4321 to holding register 200, waits until
// the write is acknowledged and the cyclic read brings the register back, prints the values and exits 0.
//
// The driver does no I/O and owns no thread. The host:
//  1. once, before any other call: SetComInfo (the COM_INFO record stays the host's and must outlive the
//     driver's use of it), RegistCallBackFuncIntf, FlashLocalRegister, then ReCreatReadVarList with the cyclic
//     variables (again whenever the list changes, while no other driver call runs);
//  2. on ONE thread, the link thread, in a loop: ComCommunication() gives the next request (0 = nothing to do);
//     send its frame after the line has been quiet for 3.5 characters, read the answer of `answerLen` bytes
//     within a time-out, then call DataCom with what came (0 bytes = no answer). Never run the two at the same
//     time, and always answer a request with exactly one DataCom;
//  3. from any thread, at any time: GetRegisterData (served from the driver's copy of controller memory, never
//     waits), SetRegisterData (queues the write; the link thread sends it ahead of the cyclic reads).
// The callbacks run on the link thread inside DataCom while the driver holds its list lock: record what they say,
// call nothing of the driver's queueing functions from them.
// The link side (open the line, send, time, read, hand back) is rtu_line.h, which host_two_lines.cpp, the same
// host on two lines in one process, shares.
#include <Communication_Protocol.h>

#include "rtu_line.h"

#include <cstdio>
#include <cstdlib>

namespace {

using Clock = rtu_line::Clock;
constexpr int kCallbackId = 7;  // comes back as the first callback argument
constexpr int kWriteClass = 1;  // our own keys for the write, given back by VarResultCallBack
constexpr int kWriteId = 200;
int g_writeStatus = 0;  // 1 = acknowledged, 2 = given up after the retries

void onVarResult(int callbackId, int varClass, int varId, int status)
{
    if (callbackId == kCallbackId && varClass == kWriteClass && varId == kWriteId)
        g_writeStatus = status;
}

void onListResult(QList<RW_VAR>*, int, int) {}  // a request was given up; the next scan retries it

QByteArray value(int kind, const char* address, int count)
{
    QString text = QString::fromLatin1(address);
    QByteArray out;
    GetRegisterData(0, kind, text, 1, &out, count);
    return out;
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc < 2) {
        std::fprintf(stderr, "usage: host-minimal DEVICE [BAUD 9600|19200|38400|115200]\n");
        return 2;
    }
    const long baud = argc > 2 ? std::atol(argv[2]) : 9600;
    const int fd = rtu_line::openLine(argv[1], baud);
    if (fd < 0) {
        std::perror(argv[1]);
        return 1;
    }
    const std::chrono::microseconds silence = rtu_line::frameGap(baud);
    const rtu_line::LinkCalls driver{ComCommunication, DataCom, CalCRC};  // the linked library's

    static COM_INFO info{};   // must stay alive while the driver is used
    info.maxPerFrame = 64;    // units per read request: registers, or bytes of 8 coils
    info.defaultStation = 1;  // station of every variable while multiStation is 0
    info.retryLimit = 2;      // failed answers before a request is given up
    info.linkState = 2;       // 2 = writes go to the controller
    info.callbackId = kCallbackId;
    SetComInfo(&info);
    RegistCallBackFuncIntf(onVarResult, onListResult);
    FlashLocalRegister(0, 0, 0);

    // kind = area (kind % 3: 0 inputs, 1 coils, 2 holding registers) + 3 x width (bit, byte, word, double word).
    QList<HOST_VAR> vars;
    auto add = [&vars](unsigned char kind, const char* address, int count) {
        HOST_VAR v{};
        v.regKind = kind;
        v.addrText = QString::fromLatin1(address);
        v.length = count;
        vars.append(v);
    };
    add(8, "100", 4);  // holding registers 100..103, words
    add(8, "200", 1);  // holding register 200
    add(1, "0.0", 8);  // coils 0..7 (byte.bit)
    ReCreatReadVarList(&vars);

    // 4321 little-endian; the driver sends it high byte first.
    QString name = QStringLiteral("setpoint"), address = QStringLiteral("200");
    QByteArray newValue("\xE1\x10", 2);
    SetRegisterData(name, 8, address, 1, &newValue, 1, kWriteClass, kWriteId);

    // Until the write is acknowledged and two more full scans have come back (or 10 s passed).
    const auto giveUp = Clock::now() + std::chrono::seconds(10);
    int scansAfterWrite = 0;
    while (Clock::now() < giveUp && scansAfterWrite < 2 && g_writeStatus != 2) {
        if (!rtu_line::exchange(driver, fd, silence))
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        if (g_writeStatus == 1 && info.scanComplete) {
            info.scanComplete = 0;  // the driver raises it again after the next full scan
            ++scansAfterWrite;
        }
    }
    close(fd);

    const QByteArray regs = value(8, "100", 4), reg200 = value(8, "200", 1), coils = value(1, "0.0", 8);
    auto word = [](const QByteArray& b, int i) { return (unsigned char)b[2 * i] | (unsigned char)b[2 * i + 1] << 8; };
    std::printf("hr 100..103: %d %d %d %d\n", word(regs, 0), word(regs, 1), word(regs, 2), word(regs, 3));
    std::printf("hr 200: %d (write %s)\n", word(reg200, 0), g_writeStatus == 1 ? "acknowledged" : "failed");
    std::printf("coils 0..7:");
    for (int i = 0; i < 8; ++i)
        std::printf(" %d", int(coils[i]));  // bit kinds give one byte, 0 or 1, per bit
    std::printf("\n");
    return g_writeStatus == 1 && scansAfterWrite == 2 ? 0 : 1;
}
