#include "ReconnectingLink.h"

#include <algorithm>
#include <thread>

namespace host {

constexpr std::chrono::milliseconds ReconnectingLink::kFirstBackOff;
constexpr std::chrono::milliseconds ReconnectingLink::kLongestBackOff;

ReconnectingLink::ReconnectingLink(std::unique_ptr<Link> inner, std::string name, FILE* log)
    : inner_(std::move(inner)), name_(std::move(name)), log_(log)
{}

bool ReconnectingLink::open(std::string& error)
{
    up_ = inner_->open(error);
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
    downSince_ = Clock::now();
    backOff_ = kFirstBackOff;
    nextTry_ = downSince_ + backOff_;
    if (log_)
        std::fprintf(log_, "plc-host: link %s down (%s); reconnecting\n", name_.c_str(), why);
}

bool ReconnectingLink::reopen(Clock::time_point until)
{
    if (Clock::now() < nextTry_)
        std::this_thread::sleep_until(std::min(nextTry_, until));
    if (Clock::now() < nextTry_)
        return false;
    std::string error;
    if (inner_->open(error)) {
        up_ = true;
        ++reconnects_;
        if (log_)
            std::fprintf(log_, "plc-host: link %s up again after %.1f s\n", name_.c_str(),
                         std::chrono::duration<double>(Clock::now() - downSince_).count());
        return true;
    }
    backOff_ = std::min<Clock::duration>(2 * backOff_, kLongestBackOff);
    nextTry_ = Clock::now() + backOff_;
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

void ReconnectingLink::discardInput()
{
    if (up_)
        inner_->discardInput();
}

}  // namespace host
