// What grouping saves on the wire: requests, bytes and line time of one full
// scan of a tag table, with the driver's read blocks against one request per
// tag. Frame and answer sizes come from the driver's own request records.
//
// usage: scan_efficiency [demo.json]   (default: examples/demo.json of the tree)
#include "Communication_Protocol.h"
#include "bench_support.h"

#ifdef KEMO_WITH_HOST_CONFIG
#include "HostConfig.h"
#endif

#include <QByteArray>
#include <QList>
#include <QString>

#include <cstdio>
#include <exception>
#include <random>
#include <string>

namespace {

COM_INFO gInfo{};

void freshDriver(int maxPerFrame, bool multiStation, int defaultStation)
{
    bench::freshDriver(gInfo, maxPerFrame, multiStation, defaultStation);
}

// Line time of one exchange in seconds: 11 bits per character (8E1), and the
// silence of 3.5 characters that ends each of the two frames (1.75 ms fixed
// above 19,200 baud).
double exchangeSeconds(int requestBytes, int answerBytes, int baud)
{
    const double charTime = 11.0 / baud;
    const double gap = baud <= 19200 ? 3.5 * charTime : 0.00175;
    return (requestBytes + answerBytes) * charTime + 2 * gap;
}

struct Scan {
    long requests = 0;
    long requestBytes = 0;
    long answerBytes = 0;
    double seconds19200 = 0;
    double seconds115200 = 0;

    void add(const Scan& o)
    {
        requests += o.requests;
        requestBytes += o.requestBytes;
        answerBytes += o.answerBytes;
        seconds19200 += o.seconds19200;
        seconds115200 += o.seconds115200;
    }
};

// Rebuilds the read list from `vars` and runs the driver through one full
// round of it, answering every request with an answer of the expected length.
Scan scanOnce(QList<HOST_VAR>& vars)
{
    Scan s;
    const int blocks = ReCreatReadVarList(&vars);
    for (int i = 0; i < blocks; ++i) {
        const Protocol* p = reinterpret_cast<const Protocol*>(ComCommunication());
        if (!p)
            break;
        const int answerLen = p->answerLen > 0 ? p->answerLen : 0;
        ++s.requests;
        s.requestBytes += p->frameLen;
        s.answerBytes += answerLen;
        s.seconds19200 += exchangeSeconds(p->frameLen, answerLen, 19200);
        s.seconds115200 += exchangeSeconds(p->frameLen, answerLen, 115200);
        QByteArray answer(answerLen, '\0');
        DataCom(&answer, answerLen);
    }
    return s;
}

void report(const char* table, int tags, int maxPerFrame, bool multiStation, int defaultStation, QList<HOST_VAR>& vars)
{
    freshDriver(maxPerFrame, multiStation, defaultStation);
    const Scan grouped = scanOnce(vars);
    Scan single;
    for (const HOST_VAR& v : vars) {
        QList<HOST_VAR> one;
        one << v;
        single.add(scanOnce(one));
    }
    PLC_driver.readList.clear();
    DataStorage.clear();

    const auto line = [&](const char* how, const Scan& s) {
        std::printf("%-16s %5d %6d  %-11s %9ld %11ld %10ld %12.1f %12.1f\n", table, tags, maxPerFrame, how, s.requests,
                    s.requestBytes, s.requestBytes + s.answerBytes, s.seconds19200 * 1e3, s.seconds115200 * 1e3);
    };
    line("grouped", grouped);
    line("one-per-tag", single);
    if (grouped.requests > 0 && grouped.seconds19200 > 0)
        std::printf("%-16s %5s %6s  %-11s %8.1fx %11s %9.1fx %11.1fx %11.1fx\n", "", "", "", "saving",
                    double(single.requests) / grouped.requests, "",
                    double(single.requestBytes + single.answerBytes) / (grouped.requestBytes + grouped.answerBytes),
                    single.seconds19200 / grouped.seconds19200, single.seconds115200 / grouped.seconds115200);
}

HOST_VAR hostVar(int kind, int station, const QString& addr, int length, const QString& name)
{
    HOST_VAR v{};
    v.regKind = static_cast<unsigned char>(kind);
    v.station = static_cast<unsigned char>(station);
    v.addrText = addr;
    v.nameText = name;
    v.length = length;
    return v;
}

// 1,000 tags over stations 1 to 3 and every register kind; addresses
// scattered over the first 2,000 units of each width, lengths as a panel
// has them (mostly single items, some short arrays).
QList<HOST_VAR> generatedTable()
{
    std::mt19937 rng(2024);
    std::uniform_int_distribution<int> station(1, 3);
    std::uniform_int_distribution<int> kind(0, 11);
    std::uniform_int_distribution<int> address(0, 1999);
    std::uniform_int_distribution<int> bit(0, 7);
    std::discrete_distribution<int> length({0, 80, 10, 0, 5, 0, 0, 0, 5});  // 1: 80%, 2: 10%, 4: 5%, 8: 5%
    QList<HOST_VAR> vars;
    for (int i = 0; i < 1000; ++i) {
        const int k = kind(rng);
        const int a = address(rng);
        const QString text = k <= 2 ? QStringLiteral("%1.%2").arg(a / 8).arg(bit(rng)) : QString::number(a);
        vars << hostVar(k, station(rng), text, length(rng), QStringLiteral("t%1").arg(i));
    }
    return vars;
}

#ifdef KEMO_WITH_HOST_CONFIG
// The tags of a plc-host configuration, handed over as plc-host hands them.
bool loadDemo(const std::string& path, QList<HOST_VAR>& vars, int& maxPerFrame, bool& multiStation, int& defaultStation)
{
    host::HostConfig config;
    try {
        config = host::loadConfig(path);
    } catch (const std::exception& e) {
        std::printf("(%s)\n", e.what());
        return false;
    }
    maxPerFrame = config.driver.maxPerFrame;
    multiStation = config.driver.multiStation;
    defaultStation = config.driver.defaultStation;
    for (const host::Tag& t : config.tags)
        vars << hostVar(t.kind, t.station, QString::fromStdString(t.address), t.driverCount(),
                        QString::fromStdString(t.name));
    return true;
}
#endif

}  // namespace

int main(int argc, char** argv)
{
    std::printf("One full scan: requests, request bytes, request+answer bytes and line time (8E1, t3.5 gaps)\n");
    std::printf("%-16s %5s %6s  %-11s %9s %11s %10s %12s %12s\n", "table", "tags", "M", "", "requests", "req bytes",
                "wire bytes", "ms @19200", "ms @115200");

#ifdef KEMO_WITH_HOST_CONFIG
    const std::string demoPath = argc > 1 ? argv[1] : KEMO_SOURCE_DIR "/examples/demo.json";
    QList<HOST_VAR> demo;
    int maxPerFrame = 32;
    bool multiStation = true;
    int defaultStation = 1;
    if (loadDemo(demoPath, demo, maxPerFrame, multiStation, defaultStation) && !demo.isEmpty())
        report("demo.json", demo.size(), maxPerFrame, multiStation, defaultStation, demo);
    else
        std::printf("(%s not read: skipped)\n", demoPath.c_str());
#else
    (void)argc;
    (void)argv;
    std::printf("(built without plc-host's configuration reader: demo.json skipped)\n");
#endif

    QList<HOST_VAR> generated = generatedTable();
    for (int m : {16, 32, 100})
        report("generated", generated.size(), m, true, 1, generated);
    return 0;
}
