// The threading contract under load: one thread runs the exchange cycle
// against an in-process controller while three others read, write, queue
// and switch stations as fast as they can, with the link going up and down.
#include "Driver_Internal.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <map>
#include <mutex>
#include <random>
#include <thread>
#include <utility>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
const int kStations = 3;
const int kReadOnlyBytes = 64;  // discrete-input bytes 0..63 of every station
const int kTrackedClass = 100;  // writes queued ready-made at registers 200..249, never replaced

// What the controller holds in its read-only range: never 0.
unsigned char pattern(int station, int byteAddr)
{
    return static_cast<unsigned char>((station * 37 + byteAddr * 11) | 1);
}

std::mutex callsMutex;
std::map<int, int> trackedCalls;  // varId -> callbacks for the tracked writes
std::atomic<int> badStatuses{0};
void onVarResult(int, int varClass, int varId, int status)
{
    if (status != 1 && status != 2)
        ++badStatuses;
    std::lock_guard<std::mutex> lock(callsMutex);
    if (varClass == kTrackedClass)
        ++trackedCalls[varId];
}

// Answers a request the way a controller would, by length; silent at random.
QByteArray controllerAnswer(const Protocol& request, std::mt19937& rng)
{
    if (request.answerLen <= 0 || rng() % 100 < 3)
        return QByteArray();
    QByteArray answer(request.answerLen, '\0');
    const auto at = [&](int i) { return static_cast<unsigned char>(request.frame.at(i)); };
    answer.replace(0, 2, request.frame.left(2));
    if (at(1) == 0x02) {  // read discrete inputs: the fixed pattern
        const int firstByte = ((at(2) << 8) | at(3)) / 8;
        for (int i = 0; i < request.dataLen && 3 + i < answer.size(); ++i)
            answer[3 + i] = static_cast<char>(pattern(at(0), firstByte + i));
    }
    return answer;
}

}  // namespace

TEST(Stress, ThreadsKeepTheContract)
{
    test::Host host;
    host.info.maxPerFrame = 16;
    host.info.retryLimit = 1;
    RegistCallBackFuncIntf(onVarResult, nullptr);
    for (int st = 1; st <= kStations; ++st)
        for (int at = 0; at < kReadOnlyBytes; at += 16) {
            RW_VAR inputs = test::makeVar(3, at, 16, st), registers = test::makeVar(8, at, 16, st);
            AddListReadVar(&inputs);
            AddListReadVar(&registers);
        }

    std::atomic<bool> drain{false}, stopWorkers{false}, linkFlips{true}, linkSettled{false};
    std::atomic<int> flipCount{0}, clearEpoch{0};
    std::atomic<long> exchanges{0}, goodReads{0}, badReads{0}, refusedAnswers{0};
    const auto drainDeadline = Clock::now() + std::chrono::seconds(40);
    std::thread exchange([&] {
        std::mt19937 rng(1);
        auto nextFlip = Clock::now();
        const auto idle = [] {
            return PLC_driver.writeList.isEmpty() && PLC_driver.onceReadList.isEmpty() &&
                   PLC_driver.protocolList.isEmpty();
        };
        // Once the other threads are done, run until every queue is empty.
        while (!(drain && (idle() || Clock::now() > drainDeadline))) {
            // Only this thread moves the link, so the last flip cannot land after the link is settled up.
            const bool flipping = linkFlips;
            if ((flipping && Clock::now() >= nextFlip) || (!flipping && !linkSettled)) {
                ++flipCount;  // counted before the change, so a writer sees it either way
                kemo::storeWord(host.info.linkState, !flipping || kemo::loadWord(host.info.linkState) == 1 ? 2 : 1);
                nextFlip = Clock::now() + std::chrono::milliseconds(15);
                linkSettled = !flipping;
            }
            const intptr_t p = ComCommunication();
            if (!p) {
                std::this_thread::yield();
                continue;
            }
            QByteArray answer = controllerAnswer(*reinterpret_cast<Protocol*>(p), rng);
            // A right answer is accepted whatever a host write with the link down does meanwhile.
            refusedAnswers += DataCom(&answer, answer.size())->retCode != 1 && !answer.isEmpty();
            ++exchanges;
        }
    });

    // Read-only bytes are 0 until the first answer, then the controller's pattern.
    std::thread reader([&] {
        std::mt19937 rng(2);
        while (!stopWorkers) {
            const int st = 1 + rng() % kStations, a = rng() % (kReadOnlyBytes - 8);
            QString addr = QString::number(a);
            QByteArray out;
            ASSERT_EQ(GetRegisterData(0, 3, addr, st, &out, 8), 1);
            for (int i = 0; i < 8; ++i) {
                const unsigned char b = static_cast<unsigned char>(out.at(i));
                if (b != 0)
                    ++(b == pattern(st, a + i) ? goodReads : badReads);
            }
            addr = QString::number(rng() % 40);
            GetRegisterData(0, 11, addr, st, &out, 2);
        }
    });

    std::thread hostWriter([&] {
        std::mt19937 rng(3);
        const int kinds[] = {1, 2, 4, 5, 7, 8, 10, 11};
        for (int seq = 0; !stopWorkers; ++seq) {
            const int kind = kinds[rng() % 8], st = 1 + rng() % kStations;
            // Bit kinds take "byte.bit"; the rest a plain number. Host writes keep clear of the tracked range.
            QString name = "w", addr = kind == 1 || kind == 2 ? QString("%1.%2").arg(600 + rng() % 50).arg(rng() % 8)
                                                              : QString::number(300 + rng() % 50);
            QByteArray value = QByteArray::number(seq);
            const int flipsBefore = flipCount;
            const bool upBefore = kemo::loadWord(host.info.linkState) == 2;
            SetRegisterData(name, kind, addr, st, &value, 1 + rng() % 3, 200 + kind, seq);
            if (!upBefore || kemo::loadWord(host.info.linkState) != 2 || flipCount != flipsBefore)
                ++clearEpoch;  // this call may have emptied writeList
            RW_VAR once = test::makeVar(rng() % 2 ? 3 : 8, 0, 1 + rng() % 20, st);
            once.addrText = QString::number(rng() % 40);
            AddListOnceReadVar(&once, 0);
        }
    });

    std::vector<std::pair<int, int>> tracked;  // varId, clearEpoch before queueing
    std::thread queuer([&] {
        std::mt19937 rng(4);
        for (int seq = 0; !stopWorkers; ++seq) {
            RW_VAR w = test::writeVar(8, 200 + seq % 50, "12 34", 1 + rng() % kStations);
            w.varClass = kTrackedClass;
            w.varId = seq;
            tracked.emplace_back(seq, clearEpoch);
            if (AddListWriteVar(&w, 1) > 200)
                std::this_thread::sleep_for(std::chrono::microseconds(500));
            if (seq % 64 == 0)
                EnCommStation(1 + rng() % kStations, rng() % 2);
            if (seq % 512 == 0)
                EnCommStation(-1, 0);
        }
    });

    std::this_thread::sleep_for(std::chrono::seconds(2));
    linkFlips = false;
    while (!linkSettled)
        std::this_thread::yield();
    std::this_thread::sleep_for(std::chrono::seconds(1));
    stopWorkers = true;
    for (std::thread* t : {&reader, &hostWriter, &queuer})
        t->join();
    // Drain with every station on and the link up.
    EnCommStation(-1, 1);
    drain = true;
    exchange.join();
    ASSERT_TRUE(PLC_driver.writeList.isEmpty());

    EXPECT_EQ(badReads + badStatuses + refusedAnswers, 0);
    EXPECT_GT(goodReads, 0);
    EXPECT_GT(exchanges, 1000);
    int mustReport = 0;
    for (const auto& t : tracked) {
        EXPECT_LE(trackedCalls[t.first], 1) << t.first;
        // Only an emptying of the queue by a local-only write may swallow a write.
        if (t.second == clearEpoch) {
            ++mustReport;
            EXPECT_EQ(trackedCalls[t.first], 1) << "write " << t.first << " vanished without a callback";
        }
    }
    EXPECT_GT(mustReport, 10);  // enough to mean something, even on a loaded machine
}
