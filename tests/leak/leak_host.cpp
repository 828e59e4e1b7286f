// A minimal host for the leak check: loads the driver with dlopen, runs a
// few hundred exchanges of every kind against an answering (and sometimes
// silent) controller, and unloads the driver with dlclose. Run under
// valgrind: every byte the driver allocated must be freed by the time the
// library is gone.
//
//   leak_host /path/to/libkemo_ipc_rtu.so.1 [ROUNDS]
#include "DriverApi.h"  // plc-host's table of the driver's entry points

#include <QtGlobal>

#include <dlfcn.h>

#include <cstdio>
#include <cstdlib>

namespace {

using Api = host::DriverApi;
int varResults = 0, giveUps = 0, turns = 0, accepted = 0;

QString addressOf(int kind, int round)
{
    return kind < 3 ? QStringLiteral("%1.%2").arg(round % 20).arg(round % 8) : QString::number(round % 40);
}

// Cyclic reads of every kind on two stations; a rebuild frees the old blocks.
void buildReadList(const Api& api)
{
    QList<HOST_VAR> vars;
    for (int kind = 0; kind < 24; ++kind) {
        HOST_VAR v{};
        v.regKind = static_cast<unsigned char>(kind % 12);
        v.station = static_cast<unsigned char>(1 + kind / 12);
        v.addrText = addressOf(v.regKind, 4 + 17 * v.station);
        v.length = v.station == 1 ? 5 : 40;
        vars << v;
    }
    api.ReCreatReadVarList(&vars);
}

// Queues one-shot reads of every area (in host form and as they are), a
// direct write and host writes of every kind (read-modify-writes and
// unwritable kinds included), and reads every kind back.
void queueWork(const Api& api, int round)
{
    RW_VAR once;
    once.regKind = round % 12;
    once.addrText = addressOf(once.regKind, round);
    once.station = 1 + round % 2;
    once.length = 1 + round % 30;
    api.AddListOnceReadVar(&once, 0);
    RW_VAR raw;
    raw.regKind = (round % 3 == 0) ? 3 : (round % 3 == 1) ? 4 : 8;
    raw.regAddr = round;
    raw.length = 2;
    raw.station = 1;
    api.AddListOnceReadVar(&raw, 1);
    raw.writeFlag = 1;
    raw.data = QByteArray("\x12\x34", 2);
    api.AddListWriteVar(&raw, round % 3);
    for (int kind = 0; kind < 12; ++kind) {
        QString name = QStringLiteral("w");
        QString addr = addressOf(kind, round);
        QByteArray value(8, static_cast<char>(round));
        api.SetRegisterData(name, kind, addr, 1 + round % 2, &value, 1 + round % 6, kind, round);
        api.GetRegisterData(0, kind, addr, 2 - round % 2, &value, 1 + round % 9);
    }
}

void run(const Api& api, int rounds)
{
    COM_INFO info{};
    info.maxPerFrame = 16;
    info.defaultStation = 1;
    info.retryLimit = 1;
    info.multiStation = 1;
    api.SetComInfo(&info);
    api.RegistCallBackFuncIntf([](int, int, int, int) { ++varResults; }, [](QList<RW_VAR>*, int, int) { ++giveUps; });
    for (int round = 0; round < rounds; ++round) {
        if (round % 10 == 0)
            buildReadList(api);
        info.remoteMode = round % 5 == 3;              // remote frames now and then
        info.localDeviceId = round % 10 == 8 ? 1 : 0;  // and answers judged as remote
        info.linkState = round % 7 == 6 ? 1 : 2;       // link down: host writes stay local
        api.EnCommStation(2, round % 4 == 1 ? 0 : 1);
        queueWork(api, round);
        // Every third round two requests in eight go unanswered and a third
        // gets a short answer: some are retried, some given up.
        const bool silences = round % 3 == 2;
        for (int turn = 0; turn < 40; ++turn) {
            const intptr_t p = api.ComCommunication();
            QByteArray answer;
            if (p && (!silences || ++turns % 8 >= 2)) {
                const Protocol& req = *reinterpret_cast<const Protocol*>(p);
                answer = req.frame.left(2).append(static_cast<char>(req.dataLen));
                answer = answer.leftJustified(qMax(req.answerLen, 0), '\x5a', true);
                if (silences && turns % 8 == 2)
                    answer.chop(1);
            }
            accepted += api.DataCom(&answer, answer.size())->retCode == 1;
        }
    }
    // Work left queued and a request outstanding: unloading must free it all.
    queueWork(api, rounds);
    api.ComCommunication();
    std::printf("leak_host: %d accepted answers, %d variable results, %d give-ups\n", accepted, varResults, giveUps);
}

}  // namespace

int main(int argc, char** argv)
{
    qInstallMessageHandler([](QtMsgType, const QMessageLogContext&, const QString&) {});
    Api api;
    std::string error = "no library given";
    if (argc < 2 || !api.load(argv[1], error)) {
        std::fprintf(stderr, "usage: leak_host LIBRARY [ROUNDS]; %s\n", error.c_str());
        return 2;
    }
    run(api, argc > 2 ? std::atoi(argv[2]) : 30);
    if (dlclose(api.handle) != 0 || dlopen(argv[1], RTLD_NOW | RTLD_NOLOAD)) {
        // The driver's globals are destroyed only if the library really left.
        std::fprintf(stderr, "leak_host: the library stayed loaded after dlclose\n");
        return 2;
    }
    return 0;
}
