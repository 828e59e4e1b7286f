// CPU cost of the driver's hot paths: the exchange cycle, host writes and
// reads, read-list rebuilding, queueing and the CRC. Heap allocations are
// counted per iteration ("allocs" counter) with the executable's malloc
// wrappers (alloc_counter.cpp).
#include "Communication_Protocol.h"
#include "alloc_counter.h"
#include "bench_support.h"

#include <benchmark/benchmark.h>

#include <QByteArray>
#include <QList>
#include <QString>

#include <algorithm>
#include <ctime>
#include <cstdint>
#include <random>
#include <vector>

namespace {

COM_INFO gInfo{};

// Every benchmark starts from an empty driver and an empty store.
void freshDriver(int maxPerFrame = 100)
{
    bench::freshDriver(gInfo, maxPerFrame);
    RegistCallBackFuncIntf([](int, int, int, int) {}, [](QList<RW_VAR>*, int, int) {});
}

// Allocations made by the loop, per iteration.
class AllocScope {
public:
    explicit AllocScope(benchmark::State& state) : state_(state), start_(alloc_counter::allocations()) {}
    ~AllocScope()
    {
        const double n = static_cast<double>(alloc_counter::allocations() - start_);
        state_.counters["allocs"] = benchmark::Counter(n, benchmark::Counter::kAvgIterations);
    }

private:
    benchmark::State& state_;
    std::uint64_t start_;
};

void fail(benchmark::State& state, const char* what) { state.SkipWithError(what); }

HOST_VAR hostVar(int kind, int station, const QString& addr, int length)
{
    HOST_VAR v{};
    v.regKind = static_cast<unsigned char>(kind);
    v.station = static_cast<unsigned char>(station);
    v.addrText = addr;
    v.length = length;
    return v;
}

// One cyclic read of 10 holding registers: request built, answer judged and
// its 20 data bytes stored.
void BM_CyclicReadExchange(benchmark::State& state)
{
    freshDriver();
    QList<HOST_VAR> vars;
    vars << hostVar(8, 1, QStringLiteral("100"), 10);
    if (ReCreatReadVarList(&vars) != 1)
        return fail(state, "read list not built");
    // Station, function, byte count, 20 data bytes, CRC (never checked).
    QByteArray answer = QByteArray::fromHex("010314"
                                            "00010002000300040005000600070008000900a0"
                                            "0000");
    // One exchange first: the store image and the request list's array
    // are made once, not per exchange.
    ComCommunication();
    DataCom(&answer, answer.size());
    const std::uint64_t before = alloc_counter::allocations();
    for (auto _ : state) {
        benchmark::DoNotOptimize(ComCommunication());
        RW_VAR* r = DataCom(&answer, answer.size());
        benchmark::DoNotOptimize(r);
    }
    // The request record and its frame bytes are all an exchange may allocate.
    const std::uint64_t allocs = alloc_counter::allocations() - before;
    state.counters["allocs"] = benchmark::Counter(static_cast<double>(allocs), benchmark::Counter::kAvgIterations);
    if (PLC_driver.retValue.retCode != 1 || DataStorage[1][8].size() != 220)
        fail(state, "exchange did not succeed");
    else if (allocs > 2 * static_cast<std::uint64_t>(state.iterations()))
        fail(state, "more than two allocations per exchange");
}
BENCHMARK(BM_CyclicReadExchange);

// The host's next request. After five write turns in a row the scheduler
// gives the (empty) cyclic list a turn and hands out nothing; a host asks
// again, and so does this.
intptr_t sendNext()
{
    const intptr_t p = ComCommunication();
    return p ? p : ComCommunication();
}

// A host write of one holding register to its acknowledgement: queued by
// SetRegisterData, built and applied to the store, echo judged, callback made.
void BM_WriteToAck(benchmark::State& state)
{
    freshDriver();
    QString name = QStringLiteral("setpoint");
    QString addr = QStringLiteral("200");
    QByteArray value("\x34\x12", 2);
    const QByteArray echo = QByteArray::fromHex("011000c80001");
    QByteArray ack = echo;
    ack.append(2, '\0');  // the length is all that is judged
    {
        AllocScope allocs(state);
        for (auto _ : state) {
            SetRegisterData(name, 8, addr, 1, &value, 1, 3, 42);
            sendNext();
            benchmark::DoNotOptimize(DataCom(&ack, ack.size()));
        }
    }
    if (PLC_driver.retValue.retCode != 1 || !PLC_driver.writeList.isEmpty())
        fail(state, "write did not complete");
}
BENCHMARK(BM_WriteToAck);

// A tag table of `n` variables scattered over 4 stations, every register
// kind, random addresses and short lengths, as a large panel project has.
QList<HOST_VAR> scatteredTable(int n, unsigned seed)
{
    std::mt19937 rng(seed);
    std::uniform_int_distribution<int> station(1, 4);
    std::uniform_int_distribution<int> kind(0, 11);
    std::uniform_int_distribution<int> address(0, 9999);
    std::uniform_int_distribution<int> bit(0, 7);
    std::uniform_int_distribution<int> length(1, 4);
    QList<HOST_VAR> vars;
    vars.reserve(n);
    for (int i = 0; i < n; ++i) {
        const int k = kind(rng);
        const int a = address(rng);
        const QString text = k <= 2 ? QStringLiteral("%1.%2").arg(a).arg(bit(rng)) : QString::number(a);
        HOST_VAR v = hostVar(k, station(rng), text, length(rng));
        v.nameText = QStringLiteral("tag%1").arg(i);
        vars << v;
    }
    return vars;
}

void BM_ReCreatReadVarList(benchmark::State& state)
{
    freshDriver(32);
    const QList<HOST_VAR> vars = scatteredTable(static_cast<int>(state.range(0)), 7);
    QList<HOST_VAR> copy = vars;
    int blocks = 0;
    {
        AllocScope allocs(state);
        for (auto _ : state)
            blocks = ReCreatReadVarList(&copy);
    }
    state.counters["blocks"] = blocks;
    state.SetItemsProcessed(state.iterations() * state.range(0));
    PLC_driver.readList.clear();
}
BENCHMARK(BM_ReCreatReadVarList)->Arg(1000)->Arg(10000)->Arg(100000)->Unit(benchmark::kMillisecond);

// Host reads from a filled store.
void BM_GetRegisterData(benchmark::State& state, int kind, const char* addrText, int count)
{
    freshDriver();
    QString addr = QString::fromLatin1(addrText);
    QByteArray out;
    // Fill the images first, as the cyclic reads would.
    GetRegisterData(0, kind, addr, 1, &out, count + 64);
    int ok = 0;
    {
        AllocScope allocs(state);
        for (auto _ : state) {
            ok = GetRegisterData(0, kind, addr, 1, &out, count);
            benchmark::DoNotOptimize(out.constData());
        }
    }
    if (ok != 1)
        fail(state, "read refused");
}
BENCHMARK_CAPTURE(BM_GetRegisterData, word, 8, "100", 1);
BENCHMARK_CAPTURE(BM_GetRegisterData, dword, 11, "100", 2);
BENCHMARK_CAPTURE(BM_GetRegisterData, bits100, 1, "10.3", 100);

// A write queue 1,023 deep. Every iteration makes the same two calls: a new
// write that matches nothing is scanned against all waiting writes and
// appended (1,024), a second one is scanned and dropped at the cap; then the
// appended one is taken off again.
void BM_AddListWriteVar(benchmark::State& state)
{
    freshDriver();
    RW_VAR w;
    w.writeFlag = 1;
    w.regKind = 8;
    w.station = 1;
    w.length = 1;
    w.data = QByteArray("\x00\x01", 2);
    for (int i = 0; i < 1023; ++i) {
        w.regAddr = i;
        AddListWriteVar(&w, 1);
    }
    RW_VAR fresh = w;
    fresh.regAddr = 5000;
    RW_VAR dropped = w;
    dropped.regAddr = 6000;
    int sizes = 0;
    {
        AllocScope allocs(state);
        for (auto _ : state) {
            sizes = AddListWriteVar(&fresh, 0);
            sizes += AddListWriteVar(&dropped, 0);
            PLC_driver.writeList.removeLast();
        }
    }
    if (sizes != 2048)
        fail(state, "queue did not reach its cap");
    PLC_driver.writeList.clear();
}
BENCHMARK(BM_AddListWriteVar);

// A read list of `blocks` one-register blocks on `stations` stations (each
// station's blocks together, as the rebuild groups them), named and addressed
// like a host's tags.
void buildBlocks(int blocks, int stations)
{
    gInfo.maxPerFrame = 1;
    QList<HOST_VAR> vars;
    vars.reserve(blocks);
    for (int i = 0; i < blocks; ++i) {
        HOST_VAR v = hostVar(8, 1 + i % stations, QString::number(i / stations), 1);
        v.nameText = QStringLiteral("tag%1").arg(i);
        vars << v;
    }
    ReCreatReadVarList(&vars);
}

// One cyclic exchange (ComCommunication + DataCom of a one-register read)
// with `range(0)` blocks in the read list: the same cost at any list size.
void BM_CyclicExchangeBlocks(benchmark::State& state)
{
    freshDriver();
    buildBlocks(static_cast<int>(state.range(0)), 1);
    QByteArray answer = QByteArray::fromHex("0103021234"
                                            "0000");
    for (int i = 0; i < 2 * state.range(0) && i < 200000; ++i) {  // every image made, the list's room in use
        ComCommunication();
        DataCom(&answer, answer.size());
    }
    for (auto _ : state) {
        benchmark::DoNotOptimize(ComCommunication());
        benchmark::DoNotOptimize(DataCom(&answer, answer.size()));
    }
    if (PLC_driver.retValue.retCode != 1 || PLC_driver.readList.size() != state.range(0))
        fail(state, "exchange did not succeed");
}
BENCHMARK(BM_CyclicExchangeBlocks)->Arg(1)->Arg(65536);

// CPU time of this thread: another process taking the core is not counted.
double threadCpuMicros()
{
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return t.tv_sec * 1e6 + t.tv_nsec / 1e3;
}

// A full scan of 40,000 blocks on 32 stations with station 7 off, every
// answer right: the longest single ComCommunication of a scan ("max_us", CPU
// time; the call that passes over the 1,250 blocks of the switched-off
// station). Scans repeat call for call, so each call is taken at its best
// of the scans run: time another process or the hypervisor took is not
// counted.
void BM_LongestCallOfAScan(benchmark::State& state)
{
    freshDriver();
    buildBlocks(40000, 32);
    EnCommStation(7, 0);
    QByteArray answer = QByteArray::fromHex("0103021234"
                                            "0000");
    const int calls = 40000 - 1250;
    std::vector<double> best(calls, 1e30);
    for (auto _ : state) {
        for (int i = 0; i < calls; ++i) {
            const double start = threadCpuMicros();
            const intptr_t p = ComCommunication();
            best[i] = std::min(best[i], threadCpuMicros() - start);
            if (p)
                DataCom(&answer, answer.size());
        }
    }
    state.counters["max_us"] = *std::max_element(best.begin(), best.end());
    EnCommStation(-1, 1);
}
BENCHMARK(BM_LongestCallOfAScan)->Unit(benchmark::kMillisecond)->Iterations(5);

// ComCommunication with 65,536 cyclic entries, all on switched-off stations:
// nothing to send, the list back in its order.
void BM_ComCommunicationAllOff(benchmark::State& state)
{
    freshDriver();
    buildBlocks(65536, 32);
    for (int st = 1; st <= 32; ++st)
        EnCommStation(st, 0);
    for (auto _ : state)
        benchmark::DoNotOptimize(ComCommunication());
    if (!PLC_driver.protocolList.isEmpty())
        fail(state, "a request was issued");
    EnCommStation(-1, 1);
}
BENCHMARK(BM_ComCommunicationAllOff)->Unit(benchmark::kMicrosecond);

// SetRegisterData of 20,000 bits into an empty write queue: 1,024 queued,
// the rest refused at the cap; the queue emptied again between iterations.
void BM_SetRegisterDataBits(benchmark::State& state)
{
    freshDriver();
    const int bits = static_cast<int>(state.range(0));
    QString name = QStringLiteral("bits");
    QString addr = QStringLiteral("0.0");
    QByteArray value(bits, '\x01');
    int queued = 0;
    for (auto _ : state) {
        queued = SetRegisterData(name, 1, addr, 1, &value, bits, 1, 1);
        state.PauseTiming();
        PLC_driver.writeList.clear();
        state.ResumeTiming();
    }
    if (queued != std::min(bits, 1024))
        fail(state, "the queue did not fill to its cap");
}
BENCHMARK(BM_SetRegisterDataBits)->Arg(20000)->Unit(benchmark::kMillisecond);

void BM_CalCRC(benchmark::State& state)
{
    std::vector<unsigned char> bytes(static_cast<size_t>(state.range(0)));
    for (size_t i = 0; i < bytes.size(); ++i)
        bytes[i] = static_cast<unsigned char>(i * 37 + 11);
    for (auto _ : state)
        benchmark::DoNotOptimize(CalCRC(bytes.data(), static_cast<unsigned short>(bytes.size())));
    state.SetBytesProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_CalCRC)->Arg(8)->Arg(256);

}  // namespace

BENCHMARK_MAIN();
