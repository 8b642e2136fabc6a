#pragma once
// The outages of one port: when it was lost, when to try it again, and how
// long it was away.  No I/O and no clock of its own.  An outage runs from
// the first failed write or hang-up to the reopening that worked, and the
// port is tried again often (at most kMaxBackoff apart), so the outage
// reported is within about that much of the line's own.
#include <chrono>

class PortKeeper {
public:
    using Clock = std::chrono::steady_clock;

    static constexpr std::chrono::milliseconds kFirstBackoff{250};
    static constexpr std::chrono::milliseconds kMaxBackoff{1000};

    bool Down() const { return down_; }
    // The port failed now.  False when it was already down.
    bool Lost(Clock::time_point now);
    // The next try to reopen it, and the wait before it.
    Clock::time_point ReopenAt() const { return reopen_at_; }
    Clock::duration Backoff() const { return backoff_; }
    void ReopenFailed(Clock::time_point now);
    // It opened again now: how long it was away.
    Clock::duration Reopened(Clock::time_point now);

    int Outages() const { return outages_; }
    // In all, an outage still going counted up to now.
    Clock::duration OutageTime(Clock::time_point now) const;

private:
    bool down_ = false;
    int outages_ = 0;
    Clock::time_point down_since_{};
    Clock::time_point reopen_at_{};
    Clock::duration backoff_ = kFirstBackoff;
    Clock::duration total_{};
};
