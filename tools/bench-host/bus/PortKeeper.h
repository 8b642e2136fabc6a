#pragma once
// The outages of one port: when it was lost, when to try it again, and how
// long it was away.  No I/O and no clock of its own.  An outage runs from
// the first failed write or hang-up to the reopening that worked, and the
// port is tried again often (at most kMaxBackoff apart), so the outage
// reported is within about that much of the line's own.
//
// What a loss does to each device's exchanges (nothing more can come over
// the line until it is back):
//
//   the device                          at the loss
//   has its request on the line         counted as "port lost"; it keeps the
//                                       request, resent at its first tick
//                                       after the reopening, a tick after
//                                       its cycle started
//   holds a round while it owes         the round is dropped ("late,
//                                       discarded"): no quiet line can now
//                                       prove it in step
//   holds a round owing nothing         the round is stored at once: no
//                                       second answer can come over a lost
//                                       line, and a round stored later would
//                                       show the device answering while its
//                                       port is away
//   was kept a late answer              it is forgotten
//   has a poll time pass while away     a cycle missed
//   is overdue at the reopening         polled at once
#include <chrono>
#include <optional>

#include "record/FailureReason.h"

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

    // One device's exchanges as the port is lost, and what becomes of them.
    struct Exchanges {
        bool asked = false;        // its request is on the line
        bool holding = false;      // it holds a round
        bool holding_owed = false;  // ... completed while its monitor owed a reply
        bool late_answer = false;  // a late answer is kept for it
    };
    struct Fate {
        bool cut = false;  // its exchange failed, the cycle to be retried
        std::optional<FailureReason> drop_round;
        bool store_round = false;  // the round it holds is stored now
        bool forget_late_answer = false;
    };
    static Fate AtLoss(const Exchanges& e);

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
