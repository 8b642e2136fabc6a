#include "record/DeviceHealth.h"

#include <algorithm>

DeviceHealth::Moment DeviceHealth::Moment::Now() {
    return Moment{std::chrono::steady_clock::now(), std::chrono::system_clock::now()};
}

DeviceHealth::Moment DeviceHealth::Moment::At(std::chrono::steady_clock::time_point mono) {
    const Moment now = Now();
    return Moment{mono, now.wall - std::chrono::duration_cast<std::chrono::system_clock::duration>(now.mono - mono)};
}

const char* DeviceHealth::StateName(State state) {
    switch (state) {
        case State::kNeverAnswered: return "never answered";
        case State::kAnswering: return "answering";
        case State::kNotAnswering: return "not answering";
        case State::kPortLost: return "port lost";
        case State::kStale: return "stale";
    }
    return "?";
}

DeviceHealth::Change DeviceHealth::Enter(State to, Moment since) {
    Change c;
    c.from = state_;
    c.to = to;
    c.since = since;
    c.cycles_lost = lost_;
    c.reason = reason_;
    const bool silent = to == State::kNotAnswering || to == State::kPortLost || to == State::kStale;
    if (silent && !silent_since_) {
        silent_since_ = since;
        if (!silence_.first_began) silence_.first_began = since;
        silence_.last_began = since;
        silence_.last_ended.reset();
        ++silence_.count;
    }
    state_ = to;
    since_ = since;
    return c;
}

namespace {

std::chrono::milliseconds Between(const DeviceHealth::Moment& from, const DeviceHealth::Moment& to) {
    return std::max(std::chrono::milliseconds(0), std::chrono::duration_cast<std::chrono::milliseconds>(to.mono - from.mono));
}

}  // namespace

DeviceHealth::Silence DeviceHealth::Silences(Moment now) const {
    Silence s = silence_;
    if (silent_since_) {
        const auto length = Between(*silent_since_, now);
        s.total += length;
        s.longest = std::max(s.longest, length);
    }
    return s;
}

std::optional<DeviceHealth::Change> DeviceHealth::CycleCompleted(Moment now) {
    std::optional<Change> change;
    if (silent_since_) {
        const auto length = Between(*silent_since_, now);
        silence_.total += length;
        silence_.longest = std::max(silence_.longest, length);
        silence_.last_ended = now;
        silent_since_.reset();
    }
    if (state_ != State::kAnswering) {
        change = Enter(State::kAnswering, now);
        change->without_round = std::chrono::duration_cast<std::chrono::milliseconds>(now.mono - last_round_.mono);
    }
    ever_answered_ = true;
    last_round_ = now;
    since_ = now;
    lost_ = 0;
    streak_ = 0;
    reason_.reset();
    return change;
}

std::optional<DeviceHealth::Change> DeviceHealth::CycleFailed(FailureReason why, Moment now,
                                                              std::optional<Moment> asked) {
    // The trouble begins with the first unanswered request of a run of
    // failed cycles, unless it began already (a stale device, a lost port).
    const bool in_trouble = state_ == State::kNotAnswering || state_ == State::kPortLost || state_ == State::kStale;
    if (streak_ == 0 && !in_trouble) since_ = asked.value_or(now);
    ++streak_;
    ++lost_;
    reason_ = why;
    if (state_ != State::kNotAnswering && streak_ >= kFailuresToSilence) return Enter(State::kNotAnswering, since_);
    return std::nullopt;
}

std::optional<DeviceHealth::Change> DeviceHealth::PortLost(Moment now) {
    streak_ = 0;
    reason_ = FailureReason::kPortLost;
    if (state_ == State::kPortLost) return std::nullopt;
    return Enter(State::kPortLost, now);
}

std::optional<DeviceHealth::Change> DeviceHealth::Check(Moment now) {
    if (state_ != State::kAnswering || now.mono - last_round_.mono < kStaleAfter) return std::nullopt;
    return Enter(State::kStale, last_round_);
}

void DeviceHealth::ReplyLate(std::chrono::milliseconds by) {
    ++late_replies_;
    if (by > late_by_) late_by_ = by;
}
