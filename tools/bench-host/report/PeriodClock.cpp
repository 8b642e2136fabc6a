#include "report/PeriodClock.h"

#include <algorithm>

namespace report {

void PeriodClock::Seen(const Moment& m) {
    if (!m.run_id || !m.mono_ms) return;
    const auto it = runs_.find(*m.run_id);
    if (it == runs_.end()) {
        runs_.emplace(*m.run_id, Extent{m, m});
        return;
    }
    if (*m.mono_ms < *it->second.first.mono_ms) it->second.first = m;
    if (*m.mono_ms > *it->second.last.mono_ms) it->second.last = m;
}

void PeriodClock::Bound(int64_t start_ms, int64_t end_ms, bool from_given, bool to_given) {
    start_ms_ = start_ms;
    end_ms_ = end_ms;
    from_given_ = from_given;
    to_given_ = to_given;
}

Moment PeriodClock::End() const {
    // Runs are numbered in the order they began: the newest is the last.
    if (to_given_ || runs_.empty()) return Moment{std::nullopt, end_ms_, std::nullopt};
    return runs_.rbegin()->second.last;
}

double PeriodClock::Seconds(const Moment& from, const Moment& to) const {
    if (from.run_id && from.run_id == to.run_id && from.mono_ms && to.mono_ms)
        return static_cast<double>(std::max<int64_t>(0, *to.mono_ms - *from.mono_ms)) / 1000.0;
    int64_t ms = 0;
    int64_t wall_from = from.wall_ms, wall_to = to.wall_ms;
    // The rest of from's run, as far as it was seen, on its own clock.
    if (from.run_id && from.mono_ms) {
        const auto it = runs_.find(*from.run_id);
        if (it != runs_.end() && *it->second.last.mono_ms >= *from.mono_ms) {
            ms += *it->second.last.mono_ms - *from.mono_ms;
            wall_from = it->second.last.wall_ms;
        }
    }
    // And to's run up to it, from its first moment seen.
    if (to.run_id && to.mono_ms) {
        const auto it = runs_.find(*to.run_id);
        if (it != runs_.end() && *it->second.first.mono_ms <= *to.mono_ms) {
            ms += *to.mono_ms - *it->second.first.mono_ms;
            wall_to = it->second.first.wall_ms;
        }
    }
    // Between them, the wall clock's gap, which a step back makes none.
    ms += std::max<int64_t>(0, wall_to - wall_from);
    return static_cast<double>(ms) / 1000.0;
}

}  // namespace report
