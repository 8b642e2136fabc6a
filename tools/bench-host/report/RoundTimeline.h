#pragma once
// The times a report measures durations by.  A round stored with its
// moment on its run's monotonic clock is put on that clock, anchored at
// the wall time of the first of the run's rounds read since the last
// anchoring: a step of the wall clock (back an hour, forward a day) then
// makes no gap, no discharge and no test longer or shorter than it was.
// Rounds without a monotonic moment (files from before it was kept) keep
// their wall time.  The summary's minutes are the wall clock's: after one,
// the next round of every run anchors afresh, so a slewed clock's drift
// never adds up across them.
#include <cstdint>
#include <map>
#include <optional>

namespace report {

class RoundTimeline {
public:
    int64_t At(std::optional<int64_t> run_id, int64_t wall_ms, std::optional<int64_t> mono_ms);
    void Reanchor() { anchors_.clear(); }

private:
    std::map<int64_t, int64_t> anchors_;  // run -> its wall time less its monotonic moment
};

}  // namespace report
