#include "bus/ExchangeTracker.h"

#include <algorithm>
#include <utility>
#include <vector>

#include "bus/QuietGuard.h"
#include "bus/ReplyAttribution.h"
#include "protocol/MonitorProtocol.h"

ExchangeTracker::Clock::duration ExchangeTracker::WireTime(int reply_len) const {
    const double wire_s =
        static_cast<double>((monitor::kRequestLen + reply_len) * monitor::kBitsPerByte) / options_.speed;
    return std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(wire_s));
}

ExchangeTracker::Clock::duration ExchangeTracker::ResponseTimeout(int reply_len) const {
    return WireTime(reply_len) + options_.margin;
}

ExchangeTracker::Clock::duration ExchangeTracker::Guard(int reply_len) const {
    return QuietGuard::Length(options_.fixed_guard, ResponseTimeout(reply_len), RecentLatest());
}

std::optional<ExchangeTracker::Clock::duration> ExchangeTracker::RecentLatest() const {
    std::vector<Clock::duration> late;
    for (const Measured& m : recent_) late.push_back(m.late);
    return QuietGuard::Covered(std::move(late));
}

ExchangeTracker::Clock::duration ExchangeTracker::Hold(Clock::time_point now) const {
    Clock::time_point until = deadline_;
    const auto it = owed_.find(addr_);
    if (it != owed_.end() && !it->second.empty()) {
        // A reply owed may come as late as replies have come lately, and a
        // monitor a reply behind sends it within a response timeout.
        until = std::max(until, now + ResponseTimeout(reply_len_));
        if (const auto late = RecentLatest()) until = std::max(until, it->second.front().sent + *late);
    }
    return std::max(until - now, Clock::duration::zero());
}

void ExchangeTracker::Sent(uint8_t addr, int reply_len, Clock::time_point now) {
    Expire(now);
    outstanding_ = true;
    addr_ = addr;
    reply_len_ = reply_len;
    sent_at_ = now;
    deadline_ = now + ResponseTimeout(reply_len);
    first_byte_.reset();
    too_soon_ = false;
}

bool ExchangeTracker::FirstByte(Clock::time_point now, bool bounded) {
    if (!outstanding_ || first_byte_) return true;
    first_byte_ = now;
    first_byte_bounded_ = bounded;
    too_soon_ = ReplyAttribution::TooSoon(now, sent_at_, JudgedQuickest());
    if (too_soon_) answers_.clear();
    return !too_soon_;
}

void ExchangeTracker::Answered() {
    // An answer too soon, or while a reply is owed, may be another's: it
    // does not time the monitor.
    if (outstanding_ && first_byte_ && !first_byte_bounded_ && !too_soon_ && !AnythingOwed()) {
        const Clock::duration took = *first_byte_ - sent_at_;
        if (took < ReplyAttribution::kTimedLine && ++quicker_than_wire_ >= kTurnaroundQuantile) untimed_ = true;
        answers_.push_back(took);
        while (answers_.size() > kTurnaroundKept) answers_.pop_front();
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
    owed.push_back(Debt{sent_at_, false, reply_len_});
    gave_up_[addr_] = sent_at_;
    ask_not_before_[addr_] = deadline_ + Guard(reply_len_);
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
    // oldest request it owes, unless it has answered others since (that
    // one's reply was most likely lost), or, while it owes more than these
    // replies pay off, any later one up to the last they leave owed.
    const std::size_t replies = static_cast<std::size_t>(std::max(frames, 1));
    const std::size_t last = from->size() > replies ? from->size() - replies : 0;
    std::optional<Clock::time_point> oldest;
    for (std::size_t i = 0; i <= last && !oldest; ++i)
        if (!(*from)[i].answered_since) oldest = (*from)[i].sent;
    const Clock::time_point newest = oldest ? (*from)[last].sent : from->back().sent;
    for (std::size_t i = 0; i < replies && !from->empty(); ++i) from->pop_front();
    // Only what the reply is sure to be is measured.
    const Clock::duration late = now - newest;
    last_ambiguous_ = oldest && *oldest != newest;
    if (last_ambiguous_) {
        ++ambiguous_;
        ambiguous_latest_ = std::max(ambiguous_latest_.value_or(Clock::duration::zero()), now - *oldest);
    }
    const auto guard_before = RecentLatest();
    latest_ = std::max(latest_.value_or(Clock::duration::zero()), late);
    recent_.push_back(Measured{now, late});
    if (recent_.size() > kMaxRecentLateness) recent_.pop_front();
    const auto guard = RecentLatest();
    if (QuietGuard::Raises(options_.fixed_guard.has_value(), guard_before, guard,
                           ResponseTimeout(monitor::kShortReplyLen)))
        raised_ = Raise{now, *guard};
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

std::optional<ExchangeTracker::SoleDebt> ExchangeTracker::OnlyOwed(uint8_t addr) const {
    const auto it = owed_.find(addr);
    if (it == owed_.end() || it->second.size() != 1 || it->second.front().answered_since) return std::nullopt;
    return SoleDebt{it->second.front().sent, it->second.front().reply_len};
}

std::map<uint8_t, ExchangeTracker::Owing> ExchangeTracker::Debts() const {
    std::map<uint8_t, Owing> out;
    for (const auto& [addr, debts] : owed_) {
        if (debts.empty()) continue;
        Owing& o = out[addr];
        o.count = static_cast<int>(debts.size());
        const bool one_length = std::all_of(debts.begin(), debts.end(),
                                            [len = debts.front().reply_len](const Debt& d) { return d.reply_len == len; });
        o.reply_len = one_length ? debts.front().reply_len : 0;
        o.sole = OnlyOwed(addr);
    }
    return out;
}

void ExchangeTracker::Settled(uint8_t addr) {
    owed_.erase(addr);
    ask_not_before_.erase(addr);
}

ExchangeTracker::Clock::time_point ExchangeTracker::AskNotBefore(uint8_t addr) const {
    const auto it = ask_not_before_.find(addr);
    return it == ask_not_before_.end() ? Clock::time_point::min() : it->second;
}

std::map<uint8_t, ExchangeTracker::OwedFrames> ExchangeTracker::OwedElsewhere(uint8_t addr) const {
    std::map<uint8_t, OwedFrames> out;
    for (const auto& [from, debts] : owed_) {
        if (from == addr || debts.empty()) continue;
        // Of more than one length, the frame's own length is not known:
        // it is not set aside, and the device asked refuses it.
        const bool one_length = std::all_of(debts.begin(), debts.end(),
                                            [len = debts.front().reply_len](const Debt& d) { return d.reply_len == len; });
        if (one_length) out[from] = OwedFrames{debts.front().reply_len, static_cast<int>(debts.size())};
    }
    return out;
}

bool ExchangeTracker::OwesNothingLately(uint8_t addr, Clock::time_point now) const {
    if (Owed(addr) > 0) return false;
    const auto it = gave_up_.find(addr);
    return it == gave_up_.end() || now - it->second > kMaxLateness;
}

std::optional<ExchangeTracker::Clock::duration> ExchangeTracker::Turnaround() const {
    if (answers_.size() < static_cast<std::size_t>(kTurnaroundSamples)) return std::nullopt;
    std::vector<Clock::duration> sorted(answers_.begin(), answers_.end());
    std::sort(sorted.begin(), sorted.end());
    // The quartile of the sixteen kept; of fewer, as many from the quickest
    // as would fall below it.
    const std::size_t rank = (sorted.size() * (kTurnaroundQuantile - 1)) / kTurnaroundKept;
    return sorted[rank];
}

bool ExchangeTracker::AnythingOwed() const {
    for (const auto& o : owed_)
        if (!o.second.empty()) return true;
    return false;
}
