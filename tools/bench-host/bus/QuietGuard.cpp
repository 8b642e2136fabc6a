#include "bus/QuietGuard.h"

#include <algorithm>

QuietGuard::Clock::duration QuietGuard::Length(std::optional<Clock::duration> fixed, Clock::duration response_timeout,
                                               std::optional<Clock::duration> covered) {
    if (fixed) return *fixed;
    // Quiet from the timeout until the latest reply measured lately would
    // have come, and never less than two response timeouts.
    return std::max<Clock::duration>(kTimeouts * response_timeout, covered.value_or(Clock::duration::zero()));
}

std::optional<QuietGuard::Clock::duration> QuietGuard::Covered(std::vector<Clock::duration> late) {
    if (late.empty()) return std::nullopt;
    // Below ten replies the percentile is the latest of them.
    const std::size_t rank = (late.size() * kPercentile + 99) / 100 - 1;
    std::nth_element(late.begin(), late.begin() + static_cast<std::ptrdiff_t>(rank), late.end());
    return late[rank];
}

bool QuietGuard::Raises(bool fixed, std::optional<Clock::duration> before, std::optional<Clock::duration> after,
                        Clock::duration short_reply_timeout) {
    return !fixed && after > before && *after > kTimeouts * short_reply_timeout;
}

std::chrono::milliseconds QuietGuard::Advised(Clock::duration latest) {
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(latest).count();
    return std::chrono::milliseconds((ms + 49) / 50 * 50);
}

void QuietGuard::Start(Clock::time_point now, Clock::duration length) {
    active_ = true;
    length_ = length;
    until_ = now + length_;
}

void QuietGuard::StartAfterTimeout(Clock::time_point now, DeviceCycle& timed_out, Clock::duration length) {
    timed_out_ = &timed_out;
    late_seen_ = false;
    Start(now, length);
}

void QuietGuard::Rest(Clock::time_point now, Clock::duration gap) { until_ = std::max(until_, now + gap); }

bool QuietGuard::LateReply(Clock::time_point now, bool still_owed, Clock::duration guard, Clock::duration gap) {
    const bool first = !late_seen_;
    late_seen_ = true;
    // Once every reply given up on has come, only its rest has to pass.
    length_ = still_owed ? std::max(length_, guard) : gap;
    until_ = now + length_;
    return first;
}

QuietGuard::Clock::duration QuietGuard::AfterUnasked(Clock::duration gap) const {
    return std::max<Clock::duration>(active_ ? length_ : Clock::duration::zero(), gap);
}

DeviceCycle* QuietGuard::TakeTimedOut() {
    DeviceCycle* d = timed_out_;
    timed_out_ = nullptr;
    return d;
}

void QuietGuard::Cancel() {
    active_ = false;
    timed_out_ = nullptr;
}
