#include "report/AlarmSpan.h"

#include <algorithm>
#include <map>
#include <set>
#include <utility>

#include "basics/TimeStamp.h"

namespace report {

namespace {

// What an alarm's raise says of it; when it began and ended is the caller's.
AlarmSpan SpanOf(const history::Alarm& a) {
    AlarmSpan s;
    s.name = a.name;
    s.label = a.label;
    s.bound = a.bound;
    s.value = a.value;
    s.limit = a.limit;
    return s;
}

}  // namespace

const char* AlarmEndName(AlarmEnd e) {
    switch (e) {
        case AlarmEnd::still_raised: return "still raised";
        case AlarmEnd::cleared: return "cleared";
        case AlarmEnd::closed: return "closed";
    }
    return "still raised";
}

double Lasted(const std::optional<int64_t>& lasted_ms, const PeriodClock& period, const Moment& from,
              const Moment& to) {
    if (lasted_ms) return static_cast<double>(*lasted_ms) / 1000.0;
    return period.Seconds(from, to);
}

Moment MomentOf(const history::Alarm& a) { return Moment{a.run_id, a.at_ms, a.mono_ms}; }

std::vector<AlarmSpan> AlarmSpans(const std::vector<history::Alarm>& alarms, const PeriodClock& period,
                                  std::size_t max, long* not_kept) {
    std::vector<AlarmSpan> out;
    std::vector<Moment> raised;  // of each span
    std::map<std::pair<std::string, std::string>, std::size_t> open;  // (name, bound) -> span
    std::set<std::pair<std::string, std::string>> unkept;  // raised, not kept, not yet ended
    long dropped = 0;
    for (const auto& a : alarms) {
        const auto key = std::make_pair(a.name, a.bound);
        if (a.state == "raised") {
            if (open.count(key) || unkept.count(key)) continue;  // raised again without an end: the first stands
            if (out.size() >= max) {
                ++dropped;
                unkept.insert(key);
                continue;
            }
            AlarmSpan s = SpanOf(a);
            s.raised_ms = a.at_ms;
            s.raised_at = a.at;
            open[key] = out.size();
            out.push_back(s);
            raised.push_back(MomentOf(a));
            continue;
        }
        if (unkept.erase(key)) continue;  // the end of one counted as not kept
        auto it = open.find(key);
        if (it == open.end()) {
            // Raised before the period began: it stood from the period's
            // start at least.
            if (out.size() >= max) {
                ++dropped;
                continue;
            }
            AlarmSpan s = SpanOf(a);
            s.raised_before = true;
            s.raised_ms = period.StartMs();
            s.raised_at = TimeStamp::FromMs(period.StartMs()).Text();
            s.ended_ms = a.at_ms;
            s.ended_at = a.at;
            s.ended_by = a.state == "closed" ? AlarmEnd::closed : AlarmEnd::cleared;
            s.duration_s = period.Seconds(period.Start(), MomentOf(a));
            out.push_back(s);
            raised.push_back(period.Start());
            continue;
        }
        AlarmSpan& s = out[it->second];
        s.ended_ms = a.at_ms;
        s.ended_at = a.at;
        s.ended_by = a.state == "closed" ? AlarmEnd::closed : AlarmEnd::cleared;
        s.duration_s = Lasted(a.lasted_ms, period, raised[it->second], MomentOf(a));
        open.erase(it);
    }
    for (const auto& [key, index] : open) out[index].duration_s = period.Seconds(raised[index], period.End());
    if (not_kept) *not_kept = dropped;
    return out;
}

}  // namespace report
