#include "bus/PortKeeper.h"

#include <algorithm>

bool PortKeeper::Lost(Clock::time_point now) {
    if (down_) return false;
    down_ = true;
    ++outages_;
    down_since_ = now;
    backoff_ = kFirstBackoff;
    reopen_at_ = now + backoff_;
    return true;
}

void PortKeeper::ReopenFailed(Clock::time_point now) {
    backoff_ = std::min<Clock::duration>(backoff_ * 2, kMaxBackoff);
    reopen_at_ = now + backoff_;
}

PortKeeper::Clock::duration PortKeeper::Reopened(Clock::time_point now) {
    const Clock::duration away = now - down_since_;
    if (down_) total_ += away;
    down_ = false;
    return away;
}

PortKeeper::Clock::duration PortKeeper::OutageTime(Clock::time_point now) const {
    return total_ + (down_ ? now - down_since_ : Clock::duration::zero());
}

PortKeeper::Fate PortKeeper::AtLoss(const Exchanges& e) {
    Fate f;
    f.cut = e.asked;
    if (e.holding && e.holding_owed) f.drop_round = FailureReason::kLateDiscarded;
    f.store_round = e.holding && !e.holding_owed;
    // Its next turn, after the reopening, resends the request instead.
    f.forget_late_answer = e.late_answer;
    return f;
}
