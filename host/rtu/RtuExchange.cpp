#include "RtuExchange.h"

#include <algorithm>
#include <thread>

namespace host {

namespace {

using Clock = Link::Clock;

int64_t toUs(Clock::time_point t)
{
    return std::chrono::duration_cast<std::chrono::microseconds>(t.time_since_epoch()).count();
}

Clock::time_point fromUs(int64_t us) { return Clock::time_point(std::chrono::microseconds(us)); }

// Most owed answers tracked at once; older ones are dropped first.
constexpr size_t kMaxOwed = 16;

}  // namespace

RtuExchange::RtuExchange(Link& link, const LinkSettings& settings, CrcFunction crc)
    : link_(link), settings_(settings), crc_(crc), lastActivity_(Clock::now())
{
    interByteUs_ = 1000L * settings_.interByteMs;
    settleUs_ = settings_.settleMs >= 0 ? 1000L * settings_.settleMs : std::max(link_.frameGapUs(), interByteUs_);
}

int RtuExchange::listenForSilence(Clock::time_point giveUp, QByteArray* head)
{
    const auto quiet = std::chrono::microseconds(settleUs_);
    Clock::time_point last = Clock::now();
    int got = 0;
    uint8_t junk[256];
    for (;;) {
        int n;
        while ((n = link_.read(junk, sizeof junk)) > 0) {
            if (head && head->size() < 2)
                head->append(reinterpret_cast<const char*>(junk), n);
            got += n;
            last = Clock::now();
        }
        const Clock::time_point now = Clock::now();
        if (now >= last + quiet || now >= giveUp)
            break;
        if (n < 0) {  // no peer: nothing will come
            std::this_thread::sleep_until(std::min(last + quiet, giveUp));
            break;
        }
        link_.waitReadable(std::min(last + quiet, giveUp));
    }
    if (got)
        lastActivity_ = last;
    return got;
}

int RtuExchange::waitBeforeRequest(Clock::time_point start)
{
    // Continuous noise must not hold the line for ever.
    const Clock::time_point giveUp = start + std::chrono::milliseconds(settings_.responseTimeoutMs);
    uint8_t junk[256];
    QByteArray head;  // the first stray bytes tell a late answer from noise
    int n, stray = 0;
    while ((n = link_.read(junk, sizeof junk)) > 0) {
        if (head.size() < 2)
            head.append(reinterpret_cast<const char*>(junk), n);
        stray += n;
    }
    if (stray) {
        lastActivity_ = Clock::now();
        trouble_ = true;
    }
    if (trouble_) {
        // Wait out whatever is still on its way (a late answer, an echo, noise).
        stray += listenForSilence(giveUp, &head);
    } else {
        // t3.5 from the last byte on the line. A timer wakes up late, so the
        // last stretch is kept by watching the clock.
        const Clock::time_point until = lastActivity_ + std::chrono::microseconds(link_.requestGapUs());
        while (Clock::now() < until && n >= 0) {
            const Clock::time_point wakeAt = until - wakeMargin_.get();
            bool readable = true;  // in the last stretch every turn reads
            if (Clock::now() < wakeAt && !(readable = link_.waitReadable(wakeAt)))
                wakeMargin_.observe(wakeAt, Clock::now());
            if (readable && (n = link_.read(junk, sizeof junk)) > 0) {
                head.append(reinterpret_cast<const char*>(junk), n);
                lastActivity_ = Clock::now();
                stray += n + listenForSilence(giveUp, &head);
                break;
            }
        }
    }
    link_.discardInput();
    noiseBytes_ += stray;
    int late = -1;
    if (head.size() >= 2 &&
        (late = findOwed(static_cast<uint8_t>(head[0]), static_cast<uint8_t>(head[1]) & 0x7F)) >= 0) {
        owed_.erase(owed_.begin() + late);
        return 1;
    }
    return 0;
}

int RtuExchange::findOwed(uint8_t station, uint8_t function) const
{
    const Clock::time_point now = Clock::now();
    for (size_t i = 0; i < owed_.size(); ++i) {
        const QByteArray& r = owed_[i].request;
        if (owed_[i].until > now && r.size() >= 2 && static_cast<uint8_t>(r[0]) == station &&
            static_cast<uint8_t>(r[1]) == function)
            return static_cast<int>(i);
    }
    return -1;
}

ExchangeResult RtuExchange::exchange(const uint8_t* request, int length, int answerLen, bool modbus)
{
    ExchangeResult r;
    const Clock::time_point start = Clock::now();
    const auto finish = [&](AnswerStatus s) {
        r.status = s;
        if (r.why.empty() && s != AnswerStatus::Ok && s != AnswerStatus::Broadcast) {
            Verdict v;
            v.status = s;
            r.why = failureText(v, r.received.size(), answerLen);
        }
        trouble_ = trouble_ || (s != AnswerStatus::Ok && s != AnswerStatus::Exception && s != AnswerStatus::Broadcast);
        r.elapsed = std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - start);
        return r;
    };
    owed_.erase(std::remove_if(owed_.begin(), owed_.end(), [&](const Owed& o) { return o.until <= start; }),
                owed_.end());
    if (length <= 0)
        return finish(AnswerStatus::LineError);

    r.lateAnswers = waitBeforeRequest(start);
    trouble_ = false;
    const Clock::time_point writeLimit = Clock::now() + std::chrono::milliseconds(settings_.responseTimeoutMs);
    if (!link_.write(request, length, writeLimit))
        return finish(AnswerStatus::LineError);
    // The time-out runs from the end of the request on the wire.
    const Clock::time_point txEnd = Clock::now() + std::chrono::microseconds(link_.charUs() * length);
    lastActivity_ = txEnd;
    const Clock::time_point deadline = txEnd + std::chrono::milliseconds(settings_.responseTimeoutMs);
    uint8_t chunk[256];

    if (settings_.echo) {
        // The adapter hears itself: the request comes back first.
        int echoed = 0;
        while (echoed < length && Clock::now() < deadline) {
            const int n = link_.read(chunk, std::min<int>(length - echoed, sizeof chunk));
            if (n < 0)
                break;
            if (n > 0)
                echoed += n;
            else
                link_.waitReadable(deadline);
        }
        if (echoed < length)
            return finish(AnswerStatus::EchoLost);
        lastActivity_ = Clock::now();
    }

    if (answerLen == 0) {
        // A broadcast: nobody answers; give the stations time to act on it.
        const Clock::time_point until = Clock::now() + std::chrono::milliseconds(settings_.turnaroundMs);
        while (Clock::now() < until) {
            const int n = link_.read(chunk, sizeof chunk);
            if (n > 0) {
                noiseBytes_ += n;
                trouble_ = true;
            } else if (n < 0) {
                std::this_thread::sleep_until(until);
            } else {
                link_.waitReadable(until);
            }
        }
        return finish(AnswerStatus::Broadcast);
    }

    FramingTimes times;
    times.startUs = toUs(txEnd);
    times.deadlineUs = toUs(deadline);
    times.interByteUs = interByteUs_;
    AnswerFramer framer(request, length, answerLen, modbus, times, crc_);
    for (;;) {
        const int64_t now = toUs(Clock::now());
        if (framer.complete(now))
            break;
        const int n = link_.read(chunk, sizeof chunk);
        if (n > 0) {
            framer.add(chunk, n, toUs(Clock::now()));
        } else if (n < 0) {
            std::this_thread::sleep_until(fromUs(framer.wakeAtUs()));
            break;
        } else {
            link_.waitReadable(fromUs(framer.wakeAtUs()));
        }
    }
    r.received = framer.received();
    if (!r.received.isEmpty())
        lastActivity_ = fromUs(framer.lastByteUs());
    Verdict v = framer.verdict();
    const uint8_t station = request[0];
    const uint8_t function = length > 1 ? request[1] : 0;
    int late = -1;
    bool foreignBytes = r.received.size() > v.frameLength;

    if (modbus && (v.status == AnswerStatus::Ok || v.status == AnswerStatus::Exception) &&
        (foreignBytes || (late = findOwed(station, function)) >= 0)) {
        // An answer owed to an earlier request would look just like this one:
        // two frames in a row tell that one of them is late.
        QByteArray extra = r.received.mid(v.frameLength, 2);
        const int more = listenForSilence(deadline + std::chrono::microseconds(settleUs_), &extra);
        foreignBytes = foreignBytes || more > 0;
        const bool sameShape = extra.size() >= 2 && static_cast<uint8_t>(extra[0]) == station &&
                               (static_cast<uint8_t>(extra[1]) & 0x7F) == function;
        if (foreignBytes && late < 0 && sameShape) {
            // Two answers of this shape and no request known to owe one: neither can be trusted.
            ++r.lateAnswers;
            v.status = AnswerStatus::Late;
        } else if (foreignBytes && late >= 0) {
            ++r.lateAnswers;
            const bool repeat =
                owed_[static_cast<size_t>(late)].request == QByteArray(reinterpret_cast<const char*>(request), length);
            owed_.erase(owed_.begin() + late);
            // Answers to the same request bytes carry the same data; for
            // another request there is no telling which frame is whose.
            if (!repeat)
                v.status = AnswerStatus::Late;
        }
    } else if (modbus && v.status == AnswerStatus::Mismatch && r.received.size() >= 2 &&
               (late = findOwed(static_cast<uint8_t>(r.received[0]), static_cast<uint8_t>(r.received[1]) & 0x7F)) >=
                   0) {
        ++r.lateAnswers;
        owed_.erase(owed_.begin() + late);
        v.status = AnswerStatus::Late;
    }
    if (modbus && (v.status == AnswerStatus::Timeout || v.status == AnswerStatus::Incomplete)) {
        if (owed_.size() >= kMaxOwed)
            owed_.erase(owed_.begin());
        // Answers later than a few response time-outs are not looked for.
        owed_.push_back({QByteArray(reinterpret_cast<const char*>(request), length),
                         Clock::now() + std::chrono::milliseconds(4 * settings_.responseTimeoutMs)});
    }
    trouble_ = foreignBytes;
    r.exceptionCode = v.exceptionCode;
    if (v.status == AnswerStatus::Ok)
        r.answer = r.received.left(v.frameLength);
    else
        r.why = failureText(v, r.received.size(), answerLen);
    return finish(v.status);
}

}  // namespace host
