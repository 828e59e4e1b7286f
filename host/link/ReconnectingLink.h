// Keeps a link open by its address: when a TCP connection drops or a serial
// device goes away (an unplugged USB adapter), the link is closed and
// opened again with back-off, 0.1 s doubling to 5 s, while plc-host runs
// on. The delay grows with every failed attempt and every connection that
// drops again soon; only a link that carried good answers for kStableFor
// starts again from the first delay. Meanwhile every exchange fails as a line error, so the driver reports
// the tags as failing; the exchange itself knows nothing of it.
#pragma once

#include "Link.h"

#include <cstdio>
#include <memory>
#include <string>

namespace host {

class ReconnectingLink : public Link {
public:
    // `name` for messages; state changes are written to `log` (nullptr: quiet).
    ReconnectingLink(std::unique_ptr<Link> inner, std::string name, FILE* log);

    bool open(std::string& error) override;
    void close() override;
    int read(uint8_t* buffer, int capacity) override;
    bool waitReadable(Clock::time_point until) override;
    // While the link is down: waits for the next attempt (up to `until`), tries to open it again.
    bool write(const uint8_t* data, int length, Clock::time_point until) override;
    void discardInput() override;
    void answered() override;

    long charUs() const override { return inner_->charUs(); }
    long frameGapUs() const override { return inner_->frameGapUs(); }
    long requestGapUs() const override { return inner_->requestGapUs(); }
    bool paced() const override { return inner_->paced(); }
    Clock::time_point now() const override { return inner_->now(); }
    void sleepUntil(Clock::time_point until, bool sharp = false) override { inner_->sleepUntil(until, sharp); }

    bool up() const { return up_; }
    long reconnects() const { return reconnects_; }

    static constexpr std::chrono::milliseconds kFirstBackOff{100};
    static constexpr std::chrono::milliseconds kLongestBackOff{5000};
    static constexpr std::chrono::seconds kStableFor{10};
    // The wait before the next attempt to open.
    Clock::duration backOff() const { return backOff_; }

private:
    void lost(const char* why);
    bool reopen(Clock::time_point until);

    std::unique_ptr<Link> inner_;
    std::string name_;
    FILE* log_;
    bool up_ = false;
    Clock::duration backOff_ = kFirstBackOff;
    Clock::time_point nextTry_;
    Clock::time_point downSince_;
    Clock::time_point firstGoodAnswer_;
    bool goodAnswers_ = false;  // since the link last came up
    long reconnects_ = 0;
};

}  // namespace host
