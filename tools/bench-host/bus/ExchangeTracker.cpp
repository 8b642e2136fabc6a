#include "bus/ExchangeTracker.h"

#include <algorithm>

#include "protocol/MonitorProtocol.h"

ExchangeTracker::Clock::duration ExchangeTracker::ResponseTimeout(int reply_len) const {
    const double wire_s =
        static_cast<double>((monitor::kRequestLen + reply_len) * monitor::kBitsPerByte) / options_.speed;
    return std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(wire_s)) + options_.margin;
}

ExchangeTracker::Clock::duration ExchangeTracker::Guard(int reply_len) const {
    if (options_.fixed_guard) return *options_.fixed_guard;
    // Quiet from the timeout until the latest reply measured lately would
    // have come, and never less than two response timeouts.
    const Clock::duration timeout = ResponseTimeout(reply_len);
    return std::max<Clock::duration>(kGuardTimeouts * timeout, RecentLatest().value_or(Clock::duration::zero()));
}

std::optional<ExchangeTracker::Clock::duration> ExchangeTracker::RecentLatest() const {
    std::optional<Clock::duration> latest;
    for (const Measured& m : recent_) latest = std::max(latest.value_or(m.late), m.late);
    return latest;
}

void ExchangeTracker::Sent(uint8_t addr, int reply_len, Clock::time_point now) {
    Expire(now);
    outstanding_ = true;
    addr_ = addr;
    reply_len_ = reply_len;
    sent_at_ = now;
    deadline_ = now + ResponseTimeout(reply_len);
    first_byte_.reset();
}

bool ExchangeTracker::FirstByte(Clock::time_point now) {
    if (!outstanding_ || first_byte_) return true;
    first_byte_ = now;
    const auto quickest = Turnaround();
    // Half the quickest answer: a monitor never answers that fast, a reply
    // already on its way when the request went out does.  A line that takes
    // no time (a pseudo-terminal) has only the scheduler's jitter to show.
    return !quickest || *quickest < kTimedLine || now - sent_at_ >= *quickest / 2;
}

void ExchangeTracker::Answered() {
    if (outstanding_ && first_byte_ && !AnythingOwed()) {
        quickest_ = std::min(quickest_, *first_byte_ - sent_at_);
        ++samples_;
    }
    if (outstanding_) {
        const auto it = owed_.find(addr_);
        if (it != owed_.end())
            for (auto& o : it->second) o.answered_since = true;
    }
    outstanding_ = false;
}

void ExchangeTracker::Refused() { outstanding_ = false; }

void ExchangeTracker::TimedOut() {
    if (!outstanding_) return;
    outstanding_ = false;
    Expire(sent_at_);
    auto& owed = owed_[addr_];
    owed.push_back(Debt{sent_at_, false});
    while (owed.size() > kMaxOwed) owed.pop_front();
}

std::optional<ExchangeTracker::Clock::duration> ExchangeTracker::Unexplained(std::optional<uint8_t> addr,
                                                                             Clock::time_point now, int frames) {
    Expire(now);
    std::deque<Debt>* from = nullptr;
    if (addr) {
        const auto it = owed_.find(*addr);
        if (it != owed_.end() && !it->second.empty()) from = &it->second;
    } else {
        for (auto& o : owed_)
            if (!o.second.empty() && (!from || o.second.front().sent < from->front().sent)) from = &o.second;
    }
    if (!from) return std::nullopt;
    // A monitor answers in order: the first of these replies answers the
    // oldest request it owes, unless it has answered others since.
    std::optional<Clock::time_point> asked;
    const Clock::time_point newest = from->back().sent;
    for (int i = 0; i < std::max(frames, 1) && !from->empty(); ++i) {
        if (!asked && !from->front().answered_since) asked = from->front().sent;
        from->pop_front();
    }
    const Clock::duration late = now - asked.value_or(newest);
    latest_ = std::max(latest_.value_or(Clock::duration::zero()), late);
    recent_.push_back(Measured{now, late});
    if (recent_.size() > kMaxRecentLateness) recent_.pop_front();
    return late;
}

void ExchangeTracker::Expire(Clock::time_point now) {
    for (auto& o : owed_)
        while (!o.second.empty() && now - o.second.front().sent > kMaxLateness) o.second.pop_front();
    while (!recent_.empty() && now - recent_.front().at > kLatenessMemory) recent_.pop_front();
}

int ExchangeTracker::Owed(uint8_t addr) const {
    const auto it = owed_.find(addr);
    return it == owed_.end() ? 0 : static_cast<int>(it->second.size());
}

void ExchangeTracker::Settled(uint8_t addr) { owed_.erase(addr); }

std::optional<ExchangeTracker::Clock::duration> ExchangeTracker::Turnaround() const {
    if (samples_ < kTurnaroundSamples) return std::nullopt;
    return quickest_;
}

bool ExchangeTracker::AnythingOwed() const {
    for (const auto& o : owed_)
        if (!o.second.empty()) return true;
    return false;
}
