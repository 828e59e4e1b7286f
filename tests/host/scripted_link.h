// A Link for unit tests that follows a script on a clock of its own: bytes
// arrive at set times (absolute, or counted from the end of the n-th
// request), the peer goes away, a write or an open fails. Waiting moves its
// clock straight to the next event, so a table row of several seconds runs
// in microseconds.
#pragma once

#include "Communication_Protocol.h"
#include "link/Link.h"

#include <QByteArray>

#include <algorithm>
#include <cstdint>
#include <functional>
#include <map>
#include <set>
#include <vector>

namespace test {

// `frame` and its checksum.
inline QByteArray withCrc(QByteArray frame)
{
    const unsigned short crc = CalCRC(reinterpret_cast<unsigned char*>(frame.data()), frame.size());
    return frame + char(crc & 0xFF) + char(crc >> 8);
}

// "01 03 00 64 00 02 CRC" -> bytes, CRC standing for the checksum of every byte before it.
inline QByteArray rtuFrame(const char* text)
{
    QByteArray out;
    for (const QByteArray& word : QByteArray(text).split(' '))
        out = word == "CRC" ? withCrc(out) : out + QByteArray::fromHex(word);
    return out;
}

class ScriptedLink : public host::Link {
public:
    struct Timed {  // bytes and when they arrive or went out
        int64_t atUs;
        QByteArray bytes;
    };

    // --- the script ---
    void bytesAt(int64_t us, const QByteArray& b) { pending_.emplace(us, b); }
    // Bytes that arrive `afterUs` after the end of request number `write` (1-based) on the wire.
    void answerAfter(int write, int64_t afterUs, const QByteArray& b) { replies_[write].push_back({afterUs, b}); }
    void peerGoneAt(int64_t us) { goneAtUs_ = us; }              // -1: never
    void failWrite(int write) { failingWrites_.insert(write); }  // 1-based; 0: none
    void failOpens(int count) { failingOpens_ = count; }
    // Called with every request written and the time its end leaves the wire: a scripted station answers there.
    std::function<void(const QByteArray& request, int64_t endUs)> onRequest;
    long charUsValue = 0, frameGapUsValue = 0;
    bool pacedValue = false;

    // --- what happened ---
    std::vector<Timed> sent;
    int64_t nowUs = 0;

    // --- Link ---
    bool open(std::string& error) override
    {
        if (failingOpens_ > 0) {
            --failingOpens_;
            error = "scripted open failure";
            return false;
        }
        isOpen_ = true;
        goneAtUs_ = -1;
        return true;
    }
    void close() override { isOpen_ = false; }
    int read(uint8_t* buffer, int capacity) override
    {
        if (!isOpen_ || gone())
            return -1;
        int n = 0;
        while (!pending_.empty() && pending_.begin()->first <= nowUs && n < capacity) {
            QByteArray& bytes = pending_.begin()->second;
            const int take = std::min<int>(capacity - n, bytes.size());
            std::copy_n(bytes.constData(), take, buffer + n);
            n += take;
            bytes.remove(0, take);
            if (bytes.isEmpty())
                pending_.erase(pending_.begin());
        }
        return n;
    }
    bool waitReadable(Clock::time_point until) override
    {
        int64_t next = pending_.empty() ? INT64_MAX : pending_.begin()->first;
        if (goneAtUs_ >= 0)
            next = std::min(next, goneAtUs_);
        nowUs = std::max(nowUs, std::min(next, toUs(until)));  // the next event, or the deadline
        return next <= toUs(until);
    }
    bool write(const uint8_t* data, int length, Clock::time_point) override
    {
        const int number = static_cast<int>(sent.size()) + 1;
        sent.push_back({nowUs, QByteArray(reinterpret_cast<const char*>(data), length)});
        if (!isOpen_ || gone() || failingWrites_.count(number))
            return false;
        const int64_t end = nowUs + charUsValue * length;
        for (const Timed& a : replies_[number])
            pending_.emplace(end + a.atUs, a.bytes);
        if (onRequest)
            onRequest(sent.back().bytes, end);
        return true;
    }
    void discardInput() override { pending_.erase(pending_.begin(), pending_.upper_bound(nowUs)); }
    long charUs() const override { return charUsValue; }
    long frameGapUs() const override { return frameGapUsValue; }
    long requestGapUs() const override { return frameGapUsValue; }
    bool paced() const override { return pacedValue; }
    Clock::time_point now() const override { return Clock::time_point(std::chrono::microseconds(kEpochUs + nowUs)); }
    void sleepUntil(Clock::time_point until, bool = false) override { nowUs = std::max(nowUs, toUs(until)); }

    static int64_t toUs(Clock::time_point t)
    {
        return std::chrono::duration_cast<std::chrono::microseconds>(t.time_since_epoch()).count() - kEpochUs;
    }

private:
    static constexpr int64_t kEpochUs = 1000000000000LL;  // far from the clock's zero
    bool gone() const { return goneAtUs_ >= 0 && nowUs >= goneAtUs_; }

    std::multimap<int64_t, QByteArray> pending_;  // by arrival time, in script order within one time
    std::map<int, std::vector<Timed>> replies_;
    std::set<int> failingWrites_;
    int failingOpens_ = 0;
    int64_t goneAtUs_ = -1;
    bool isOpen_ = true;
};

}  // namespace test
