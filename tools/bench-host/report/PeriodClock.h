#pragma once
// How long things lasted within a report's period, measured on the clock
// their run measured by.  Rows kept with their moment on a run's monotonic
// clock (rounds, alarms, health changes, the run's end) are placed on that
// clock: two moments of one run are that far apart whatever the wall clock
// did between them.  Between runs, and for rows without a monotonic moment
// (files from before it was kept), the wall clock is all there is: a span
// from one run into another is the first run's time after the one moment,
// the wall clock's gap between the runs as seen, and the second run's time
// up to the other moment.  The period's edges are moments too: a start or
// an end asked for (--from, --to) is a wall time; an edge not asked for is
// where the rows begin or end, so that an alarm or a trouble still open at
// the period's end lasted as long as its run went on, not as far as a step
// of the wall clock moved the last round.
#include <cstdint>
#include <map>
#include <optional>

namespace report {

// A moment of a run: its wall time, and where known its run and its time on
// the run's monotonic clock.
struct Moment {
    std::optional<int64_t> run_id;
    int64_t wall_ms = 0;
    std::optional<int64_t> mono_ms;
};

class PeriodClock {
public:
    // A period of wall times alone: each edge as asked for.
    PeriodClock(int64_t start_ms, int64_t end_ms) : start_ms_(start_ms), end_ms_(end_ms) {}
    PeriodClock() = default;

    // A moment of a row read within the period.
    void Seen(const Moment& m);
    // The period on the wall clock; from_given, to_given: whether each edge
    // was asked for, or is where the rows happen to begin or end.
    void Bound(int64_t start_ms, int64_t end_ms, bool from_given, bool to_given);

    int64_t StartMs() const { return start_ms_; }
    int64_t EndMs() const { return end_ms_; }
    bool StartGiven() const { return from_given_; }
    Moment Start() const { return Moment{std::nullopt, start_ms_, std::nullopt}; }
    // Without --to, the newest run's last moment seen.
    Moment End() const;

    // From one moment to a later one, in seconds, never less than 0.
    double Seconds(const Moment& from, const Moment& to) const;

private:
    struct Extent {
        Moment first, last;  // by the run's monotonic clock
    };
    int64_t start_ms_ = 0, end_ms_ = 0;
    bool from_given_ = true, to_given_ = true;
    std::map<int64_t, Extent> runs_;
};

}  // namespace report
