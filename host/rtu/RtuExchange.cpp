#include "RtuExchange.h"

#include <algorithm>

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

bool soundFrame(AnswerStatus s)
{
    return s == AnswerStatus::Ok || s == AnswerStatus::Exception || s == AnswerStatus::Mismatch;
}

}  // namespace

constexpr int RtuExchange::kMaxTimeoutFactor;
constexpr int RtuExchange::kMaxDrainBytes;

RtuExchange::RtuExchange(Link& link, const LinkSettings& settings, CrcFunction crc)
    : link_(link), settings_(settings), crc_(crc), lastActivity_(link.now())
{
    interByteUs_ = 1000L * settings_.interByteMs;
    settleUs_ = settings_.settleMs >= 0 ? 1000L * settings_.settleMs : std::max(link_.frameGapUs(), interByteUs_);
}

int RtuExchange::baseTimeoutMs(uint8_t station) const
{
    return stationTimeoutMs_[station] ? stationTimeoutMs_[station] : settings_.responseTimeoutMs;
}

int RtuExchange::timeoutMs(uint8_t station) const
{
    return std::max(baseTimeoutMs(station), raisedTimeoutMs_[station]);
}

int RtuExchange::listenForSilence(Clock::time_point giveUp, QByteArray* head)
{
    const auto quiet = std::chrono::microseconds(settleUs_);
    Clock::time_point last = link_.now();
    int got = 0;
    uint8_t junk[256];
    for (;;) {
        int n;
        while (got < kMaxDrainBytes && (n = link_.read(junk, sizeof junk)) > 0) {
            if (head && head->size() < 2)
                head->append(reinterpret_cast<const char*>(junk), n);
            got += n;
            last = link_.now();
        }
        const Clock::time_point now = link_.now();
        if (now >= last + quiet || now >= giveUp || got >= kMaxDrainBytes || stopping())
            break;
        if (n < 0) {  // no peer: nothing will come
            link_.sleepUntil(std::min(last + quiet, giveUp));
            break;
        }
        link_.waitReadable(std::min(last + quiet, giveUp));
    }
    if (got)
        lastActivity_ = last;
    return got;
}

int RtuExchange::waitBeforeRequest(Clock::time_point start, ExchangeResult& r)
{
    // Continuous noise must not hold the line for ever.
    const Clock::time_point giveUp = start + std::chrono::milliseconds(settings_.responseTimeoutMs);
    QByteArray head;  // the first stray bytes tell a late answer from noise
    int stray = 0;
    if (trouble_) {
        // Wait out whatever is still on its way (a late answer, an echo, noise).
        stray = listenForSilence(giveUp, &head);
    } else {
        // t3.5 from the last byte on the line, as one sleep to that absolute
        // time: a byte that comes meanwhile is read after it, and the line
        // is then waited on until it falls silent.
        const Clock::time_point until = lastActivity_ + std::chrono::microseconds(link_.requestGapUs());
        if (link_.now() < until)
            link_.sleepUntil(until, true);
        uint8_t junk[256];
        const int n = link_.read(junk, sizeof junk);
        if (n > 0) {
            head.append(reinterpret_cast<const char*>(junk), n);
            lastActivity_ = link_.now();
            stray = n + listenForSilence(giveUp, &head);
        }
    }
    if (stray)
        link_.discardInput();
    noiseBytes_ += stray;
    const int late = head.size() >= 2 ? findOwed(head) : -1;
    if (late >= 0) {
        settleOwed(late, lastActivity_, r);
        return 1;
    }
    return 0;
}

int RtuExchange::findOwed(const QByteArray& head) const
{
    if (head.size() < 2)
        return -1;
    const uint8_t station = static_cast<uint8_t>(head[0]), function = static_cast<uint8_t>(head[1]) & 0x7F;
    for (size_t i = 0; i < owed_.size(); ++i) {
        const QByteArray& q = owed_[i].request;
        if (q.size() >= 2 && static_cast<uint8_t>(q[0]) == station && static_cast<uint8_t>(q[1]) == function)
            return static_cast<int>(i);
    }
    return -1;
}

void RtuExchange::settleOwed(int index, Clock::time_point arrived, ExchangeResult& r)
{
    const Owed o = owed_[static_cast<size_t>(index)];
    // Which of several requests of this shape it answers is not known: the
    // latest sent before it gives the least lateness it can have. Should
    // that be too little, the next late answer raises the time-out further.
    Clock::time_point sentEnd = o.sentEnd;
    for (const Owed& other : owed_)
        if (other.request.left(2) == o.request.left(2) && other.sentEnd > sentEnd && other.sentEnd < arrived)
            sentEnd = other.sentEnd;
    owed_.erase(owed_.begin() + index);
    ++r.lateAnswers;
    const uint8_t station = static_cast<uint8_t>(o.request[0]);
    const long lateMs =
        static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(arrived - sentEnd).count());
    // One late answer may be a lost request's neighbour taken for it; a
    // second one says the station is slow. Then its time-out becomes half
    // as much again as the lateness seen, within bounds: a station that is
    // always a little late is read, one that is very late stays failing.
    if (++lateSeen_[station] < 2)
        return;
    const long wanted = std::min<long>(lateMs + lateMs / 2, 1L * kMaxTimeoutFactor * baseTimeoutMs(station));
    if (wanted > timeoutMs(station)) {
        raisedTimeoutMs_[station] = static_cast<int>(wanted);
        r.raisedStation = station;
        r.latenessMs = lateMs;
        r.raisedTimeoutMs = static_cast<int>(wanted);
    }
}

void RtuExchange::readAnswer(AnswerFramer& framer, int expected)
{
    uint8_t chunk[256];
    for (;;) {
        if (framer.complete(toUs(link_.now())) || stopping())
            return;
        const int n = link_.read(chunk, sizeof chunk);
        if (n > 0) {
            framer.add(chunk, n, toUs(link_.now()));
            // The rest cannot come sooner than its wire time: one sleep
            // through all but its last character instead of a wake-up for
            // every byte; the wait below then takes the last one as it
            // lands, not a sleep's wake-up later.
            const int missing = expected - framer.received().size();
            if (missing > 1 && link_.charUs() > 0 && !framer.complete(toUs(link_.now())))
                link_.sleepUntil(
                    std::min(fromUs(framer.lastByteUs() + (missing - 1) * link_.charUs()), fromUs(framer.wakeAtUs())));
        } else if (n < 0) {
            link_.sleepUntil(fromUs(framer.wakeAtUs()));
            return;
        } else {
            link_.waitReadable(fromUs(framer.wakeAtUs()));
        }
    }
}

ExchangeResult RtuExchange::exchange(const uint8_t* request, int length, int answerLen, bool modbus)
{
    ExchangeResult r;
    const Clock::time_point start = link_.now();
    const auto finish = [&](AnswerStatus s) {
        if (stopping() && s != AnswerStatus::Ok && s != AnswerStatus::Exception) {
            s = AnswerStatus::LineError;
            r.why = "stopped";
            r.stopped = true;
        }
        r.status = s;
        if (r.why.empty() && s != AnswerStatus::Ok && s != AnswerStatus::Broadcast) {
            Verdict v;
            v.status = s;
            r.why = failureText(v, r.received.size(), answerLen);
        }
        // A time-out with nothing heard leaves a silent line: t3.5 is wait
        // enough, and a late answer that comes meanwhile is still known as one.
        const bool silentTimeout = s == AnswerStatus::Timeout && r.received.isEmpty();
        trouble_ = trouble_ || (s != AnswerStatus::Ok && s != AnswerStatus::Exception && s != AnswerStatus::Broadcast &&
                                !silentTimeout);
        r.endedAt = link_.now();
        if (r.sentAt == Clock::time_point())
            r.sentAt = r.endedAt;
        r.elapsed = std::chrono::duration_cast<std::chrono::microseconds>(r.endedAt - start);
        return r;
    };
    owed_.erase(std::remove_if(owed_.begin(), owed_.end(), [&](const Owed& o) { return o.until <= start; }),
                owed_.end());
    if (length <= 0)
        return finish(AnswerStatus::LineError);
    const uint8_t station = request[0];
    const QByteArray requestBytes(reinterpret_cast<const char*>(request), length);

    r.lateAnswers = waitBeforeRequest(start, r);
    trouble_ = false;
    r.sentAt = link_.now();
    const Clock::time_point writeLimit = r.sentAt + std::chrono::milliseconds(settings_.responseTimeoutMs);
    if (stopping() || !link_.write(request, length, writeLimit))
        return finish(AnswerStatus::LineError);
    // The time-out runs from the end of the request on the wire.
    const Clock::time_point txEnd = link_.now() + std::chrono::microseconds(link_.charUs() * length);
    lastActivity_ = txEnd;
    Clock::time_point deadline = txEnd + std::chrono::milliseconds(timeoutMs(station));
    uint8_t chunk[256];

    if (settings_.echo) {
        // The adapter hears itself: the request comes back first.
        int echoed = 0;
        while (echoed < length && link_.now() < deadline && !stopping()) {
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
        lastActivity_ = link_.now();
    }

    if (answerLen == 0) {
        // A broadcast: nobody answers; give the stations time to act on it.
        const Clock::time_point until = link_.now() + std::chrono::milliseconds(settings_.turnaroundMs);
        while (link_.now() < until && !stopping()) {
            const int n = link_.read(chunk, sizeof chunk);
            if (n > 0) {
                noiseBytes_ += n;
                trouble_ = true;
            } else if (n < 0) {
                link_.sleepUntil(until);
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
    readAnswer(framer, answerLen);
    Verdict v = framer.verdict();
    // A sound frame that would start the answer to a request still owed one
    // may be that late answer. It is taken for this request only when that
    // request was this very one (the same registers carry the same data);
    // otherwise it is dropped and this request's own answer waited for.
    // On a line kept at its bit rate, a frame whose last byte came sooner
    // than its own wire time after the request ended began before it: it
    // cannot be this request's answer, whatever it looks like.
    const bool paced = link_.paced() && link_.charUs() > 0;
    bool repeat = false;
    while (modbus && soundFrame(v.status)) {
        const bool tooSoon = paced && framer.lastByteUs() < toUs(txEnd) + int64_t{v.frameLength} * link_.charUs();
        const int late = findOwed(framer.received());
        if (late < 0 && !tooSoon)
            break;
        if (late >= 0) {
            Owed& o = owed_[static_cast<size_t>(late)];
            const QByteArray frame = framer.received().left(v.frameLength);
            if (!o.answer.isEmpty() && frame != o.answer) {
                // A request answered once may have a second answer on its way;
                // it would come first, and this frame is another: none is coming.
                owed_.erase(owed_.begin() + late);
                continue;
            }
            repeat = o.request == requestBytes;
            if (repeat && v.status != AnswerStatus::Mismatch && !tooSoon) {
                // Taken; but if it was the earlier one's, this request's own is
                // still on its way, and no other request may take it.
                o.sentEnd = txEnd;
                o.until = link_.now() + std::chrono::milliseconds(kMaxTimeoutFactor * baseTimeoutMs(station));
                o.answer = frame;
                break;
            }
            settleOwed(late, fromUs(framer.lastByteUs()), r);
        } else {
            ++r.lateAnswers;  // too soon, and no request known to owe it
        }
        const QByteArray& got = framer.received();
        deadline = txEnd + std::chrono::milliseconds(timeoutMs(station));
        times.deadlineUs = toUs(deadline);
        r.received += got.left(v.frameLength);
        const QByteArray rest = got.mid(v.frameLength);
        const int64_t lastByte = framer.lastByteUs();
        framer = AnswerFramer(request, length, answerLen, modbus, times, crc_);
        if (!rest.isEmpty())
            framer.add(reinterpret_cast<const uint8_t*>(rest.constData()), rest.size(), lastByte);
        readAnswer(framer, answerLen);
        v = framer.verdict();
    }
    const QByteArray& got = framer.received();
    r.received += got;
    if (!got.isEmpty())
        lastActivity_ = fromUs(framer.lastByteUs());
    bool foreignBytes = got.size() > v.frameLength;
    if (modbus && foreignBytes && (v.status == AnswerStatus::Ok || v.status == AnswerStatus::Exception)) {
        // More after a sound answer: a second answer of this shape. To a
        // repeated request both carry the same data; with no request known
        // to owe one, there is no telling which of the two is ours.
        QByteArray extra = got.mid(v.frameLength, 2);
        listenForSilence(deadline + std::chrono::microseconds(settleUs_), &extra);
        if (extra.size() >= 2 && extra[0] == got[0] && (extra[1] & 0x7F) == (got[1] & 0x7F)) {
            ++r.lateAnswers;
            if (!repeat)
                v.status = AnswerStatus::Late;
        }
    }
    if (modbus && (v.status == AnswerStatus::Timeout || v.status == AnswerStatus::Incomplete)) {
        if (owed_.size() >= kMaxOwed)
            owed_.erase(owed_.begin());
        // Answers later than the longest time-out a station may get are not looked for.
        owed_.push_back({requestBytes, txEnd,
                         link_.now() + std::chrono::milliseconds(kMaxTimeoutFactor * baseTimeoutMs(station)),
                         QByteArray()});
    }
    trouble_ = foreignBytes;
    r.exceptionCode = v.exceptionCode;
    if (v.status == AnswerStatus::Ok || v.status == AnswerStatus::Exception)
        link_.answered();
    if (v.status == AnswerStatus::Ok)
        r.answer = got.left(v.frameLength);
    else
        r.why = failureText(v, got.size(), answerLen);
    return finish(v.status);
}

}  // namespace host
