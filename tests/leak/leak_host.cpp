// A minimal host for the leak check: loads the driver with dlopen, runs a
// few hundred exchanges of every kind against an answering (and sometimes
// silent) controller, and unloads the driver with dlclose. Run under
// valgrind by scripts/leakcheck.sh: every byte the driver allocated must be
// freed by the time the library is gone.
//
//   leak_host /path/to/libkemo_ipc_rtu.so.1 [ROUNDS]
#include "Communication_Protocol.h"  // the shared records; functions come from dlsym

#include <QtGlobal>

#include <dlfcn.h>

#include <cstdio>
#include <cstdlib>
#include <map>

namespace {

struct Api {
    void (*SetComInfo)(COM_INFO*);
    void (*RegistCallBackFuncIntf)(VarResultCallBackFunc, ListResultCallBackFunc);
    int (*ReCreatReadVarList)(QList<HOST_VAR>*);
    int (*AddListWriteVar)(RW_VAR*, int);
    int (*AddListOnceReadVar)(RW_VAR*, int);
    intptr_t (*ComCommunication)();
    RW_VAR* (*DataCom)(QByteArray*, int);
    void (*EnCommStation)(int, int);
    int (*GetRegisterData)(int, int, QString&, int, QByteArray*, int);
    int (*SetRegisterData)(QString&, int, QString&, int, QByteArray*, int, int, int);
};

template <typename F>
bool resolve(void* lib, const char* name, F& fn)
{
    fn = reinterpret_cast<F>(dlsym(lib, name));
    if (!fn)
        std::fprintf(stderr, "leak_host: %s not exported\n", name);
    return fn != nullptr;
}

int varResults = 0;
int listResults = 0;
void onVarResult(int, int, int, int) { ++varResults; }
void onListResult(QList<RW_VAR>*, int, int) { ++listResults; }
void quiet(QtMsgType, const QMessageLogContext&, const QString&) {}

HOST_VAR hostVar(int kind, int station, const char* addr, int length)
{
    HOST_VAR v{};
    v.regKind = static_cast<unsigned char>(kind);
    v.station = static_cast<unsigned char>(station);
    v.addrText = QString::fromLatin1(addr);
    v.nameText = QStringLiteral("var");
    v.length = length;
    return v;
}

class Host {
public:
    explicit Host(const Api& api) : api_(api)
    {
        info_.maxPerFrame = 16;
        info_.defaultStation = 1;
        info_.retryLimit = 1;
        info_.multiStation = 1;
        info_.linkState = 2;
        info_.callbackId = 9;
        api_.SetComInfo(&info_);
        api_.RegistCallBackFuncIntf(onVarResult, onListResult);
    }

    // Cyclic reads of every kind, on two stations.
    void buildReadList()
    {
        QList<HOST_VAR> vars;
        for (int kind = 0; kind < 12; ++kind) {
            const bool bitKind = kind < 3;
            vars << hostVar(kind, 1, bitKind ? "2.3" : "4", 5) << hostVar(kind, 2, bitKind ? "10.0" : "20", 40);
        }
        api_.ReCreatReadVarList(&vars);
    }

    void queueOnceReads(int round)
    {
        static const int kKinds[] = {0, 3, 4, 5, 7, 8, 10, 11};
        RW_VAR v;
        v.varClass = 3;
        v.varId = round;
        v.regKind = kKinds[round % 8];
        v.addrText = QString::number(round % 50);
        v.station = 1 + round % 2;
        v.length = 1 + round % 30;
        api_.AddListOnceReadVar(&v, 0);
        // A record queued as it is.
        RW_VAR raw;
        raw.regKind = 8;
        raw.regAddr = round;
        raw.length = 2;
        raw.station = 1;
        api_.AddListOnceReadVar(&raw, 1);
    }

    // Host writes of every writable kind, bit and byte read-modify-writes included.
    void queueWrites(int round)
    {
        static const int kKinds[] = {1, 2, 4, 5, 7, 8, 10, 11, 3};
        for (int kind : kKinds) {
            QString name = QStringLiteral("w");
            QString addr = kind == 1 || kind == 2 ? QStringLiteral("%1.%2").arg(round % 20).arg(round % 8)
                                                  : QString::number(round % 40);
            QByteArray value;
            for (int i = 0; i < 8; ++i)
                value.append(static_cast<char>(round + i));
            api_.SetRegisterData(name, kind, addr, 1 + round % 2, &value, 1 + round % 6, kind, round);
        }
        // A direct write that nobody can carry out, and one queued as it is.
        RW_VAR bad;
        bad.writeFlag = 1;
        bad.regKind = 3;
        bad.station = 1;
        api_.AddListWriteVar(&bad, 1);
        RW_VAR raw;
        raw.writeFlag = 1;
        raw.regKind = 8;
        raw.regAddr = round;
        raw.station = 2;
        raw.length = 1;
        raw.data = QByteArray("\x12\x34", 2);
        api_.AddListWriteVar(&raw, 0);
    }

    // One turn of the main loop. With `silences` on, two requests in every
    // eight get no answer and a third a short one, so some are retried and
    // some given up.
    void exchange(bool silences)
    {
        const intptr_t p = api_.ComCommunication();
        QByteArray answer;
        if (p) {
            const Protocol& req = *reinterpret_cast<const Protocol*>(p);
            ++turns_;
            if (!silences || turns_ % 8 >= 2) {
                answer = QByteArray(qMax(req.answerLen, 0), '\0');
                for (int i = 0; i < answer.size(); ++i)
                    answer[i] = i < 2 ? req.frame.at(i) : static_cast<char>(i == 2 ? req.dataLen : turns_ + i);
                if (silences && turns_ % 8 == 2)
                    answer.chop(1);  // and one answer of the wrong length
            }
        }
        const int rc = api_.DataCom(&answer, answer.size())->retCode;
        ++codes_[rc];
    }

    void readBack(int round)
    {
        for (int kind = 0; kind < 12; ++kind) {
            QString addr = kind < 3 ? QStringLiteral("%1.%2").arg(round % 20).arg(round % 8) : QString::number(round % 40);
            QByteArray out;
            api_.GetRegisterData(0, kind, addr, 1 + round % 2, &out, 1 + round % 9);
        }
    }

    void run(int rounds)
    {
        buildReadList();
        for (int round = 0; round < rounds; ++round) {
            info_.remoteMode = round % 5 == 3;           // remote frames now and then
            info_.localDeviceId = round % 10 == 8 ? 1 : 0;  // and answers judged as remote
            info_.linkState = round % 7 == 6 ? 1 : 2;    // link down: writes stay local
            api_.EnCommStation(2, round % 4 == 1 ? 0 : 1);
            queueOnceReads(round);
            queueWrites(round);
            for (int turn = 0; turn < 40; ++turn)
                exchange(round % 3 == 2);
            readBack(round);
            if (round % 10 == 9)
                buildReadList();  // the old blocks are freed
        }
        // Leave work queued and a request outstanding: unloading must free it all.
        queueWrites(rounds);
        queueOnceReads(rounds);
        api_.ComCommunication();
    }

    void report() const
    {
        std::printf("leak_host: %d requests, %d variable results, %d give-ups; result codes:", turns_, varResults,
                    listResults);
        for (const auto& c : codes_)
            std::printf(" %d x%d", c.first, c.second);
        std::printf("\n");
    }

private:
    const Api& api_;
    COM_INFO info_{};
    int turns_ = 0;
    std::map<int, int> codes_;
};

}  // namespace

int main(int argc, char** argv)
{
    if (argc < 2) {
        std::fprintf(stderr, "usage: leak_host LIBRARY [ROUNDS]\n");
        return 2;
    }
    const int rounds = argc > 2 ? std::atoi(argv[2]) : 30;
    qInstallMessageHandler(quiet);
    void* lib = dlopen(argv[1], RTLD_NOW | RTLD_LOCAL);
    if (!lib) {
        std::fprintf(stderr, "leak_host: %s\n", dlerror());
        return 2;
    }
    Api api{};
    const bool ok = resolve(lib, "SetComInfo", api.SetComInfo) &&
                    resolve(lib, "RegistCallBackFuncIntf", api.RegistCallBackFuncIntf) &&
                    resolve(lib, "ReCreatReadVarList", api.ReCreatReadVarList) &&
                    resolve(lib, "AddListWriteVar", api.AddListWriteVar) &&
                    resolve(lib, "AddListOnceReadVar", api.AddListOnceReadVar) &&
                    resolve(lib, "ComCommunication", api.ComCommunication) && resolve(lib, "DataCom", api.DataCom) &&
                    resolve(lib, "EnCommStation", api.EnCommStation) &&
                    resolve(lib, "GetRegisterData", api.GetRegisterData) &&
                    resolve(lib, "SetRegisterData", api.SetRegisterData);
    int status = 2;
    if (ok) {
        Host host(api);
        host.run(rounds);
        host.report();
        status = 0;
    }
    if (dlclose(lib) != 0) {
        std::fprintf(stderr, "leak_host: dlclose: %s\n", dlerror());
        return 2;
    }
    // The driver's globals are destroyed only if the library really left.
    if (void* still = dlopen(argv[1], RTLD_NOW | RTLD_NOLOAD)) {
        std::fprintf(stderr, "leak_host: the library stayed loaded after dlclose\n");
        dlclose(still);
        return 2;
    }
    return status;
}
