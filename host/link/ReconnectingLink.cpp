#include "ReconnectingLink.h"

#include <algorithm>

namespace host {

constexpr std::chrono::milliseconds ReconnectingLink::kFirstBackOff;
constexpr std::chrono::milliseconds ReconnectingLink::kLongestBackOff;
constexpr std::chrono::seconds ReconnectingLink::kStableFor;

ReconnectingLink::ReconnectingLink(std::unique_ptr<Link> inner, std::string name, FILE* log)
    : inner_(std::move(inner)), name_(std::move(name)), log_(log)
{}

bool ReconnectingLink::open(std::string& error)
{
    up_ = inner_->open(error);
    goodAnswers_ = false;
    return up_;
}

void ReconnectingLink::close()
{
    inner_->close();
    up_ = false;
}

void ReconnectingLink::lost(const char* why)
{
    inner_->close();
    up_ = false;
    downSince_ = inner_->now();
    if (goodAnswers_ && downSince_ - firstGoodAnswer_ >= kStableFor)
        backOff_ = kFirstBackOff;
    nextTry_ = downSince_ + backOff_;
    if (log_)
        std::fprintf(log_, "plc-host: link %s down (%s); reconnecting\n", name_.c_str(), why);
}

bool ReconnectingLink::reopen(Clock::time_point until)
{
    if (inner_->now() < nextTry_)
        inner_->sleepUntil(std::min(nextTry_, until));
    if (inner_->now() < nextTry_)
        return false;
    std::string error;
    const bool opened = inner_->open(error);
    // Should it drop again before it proves itself, the next wait is longer.
    backOff_ = std::min<Clock::duration>(2 * backOff_, kLongestBackOff);
    if (opened) {
        up_ = true;
        goodAnswers_ = false;
        ++reconnects_;
        if (log_)
            std::fprintf(log_, "plc-host: link %s up again after %.1f s\n", name_.c_str(),
                         std::chrono::duration<double>(inner_->now() - downSince_).count());
        return true;
    }
    nextTry_ = inner_->now() + backOff_;
    return false;
}

int ReconnectingLink::read(uint8_t* buffer, int capacity)
{
    if (!up_)
        return -1;
    const int n = inner_->read(buffer, capacity);
    if (n < 0)
        lost("no peer, or the read failed");
    return n;
}

bool ReconnectingLink::waitReadable(Clock::time_point until)
{
    return !up_ || inner_->waitReadable(until);  // down: read() says so at once
}

bool ReconnectingLink::write(const uint8_t* data, int length, Clock::time_point until)
{
    if (!up_ && !reopen(until))
        return false;
    if (inner_->write(data, length, until))
        return true;
    lost("the write failed");
    return false;
}

void ReconnectingLink::answered()
{
    if (!goodAnswers_) {
        goodAnswers_ = true;
        firstGoodAnswer_ = inner_->now();
    }
}

void ReconnectingLink::discardInput()
{
    if (up_)
        inner_->discardInput();
}

}  // namespace host
