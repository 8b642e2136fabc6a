#pragma once
// How long a stopping run gives its history before it ends.  Polling ends
// at once on a stop; the store thread then writes what waits in its queue
// until the drain's end, the writes after it are counted as not stored, and
// the devices' counts, the per-minute summary and the run's end are written
// in what is left of kTotal.  A disk whose every write takes 300 ms would
// otherwise hold a run with 4096 writes waiting for twenty minutes after a
// stop, with no summary if it was killed meanwhile.
//
// Pure: the times come from the run's clock, so a test holds them still.
#include <chrono>

class StopBudget {
public:
    using Clock = std::chrono::steady_clock;

    // From the end of polling to the end of the run's last write.
    static constexpr std::chrono::seconds kTotal{5};
    // Kept for the counts, the summary and the run's end: a handful of
    // commits, each one a write of the log and its sync.
    static constexpr std::chrono::seconds kEndReserve{2};

    explicit StopBudget(Clock::time_point polling_ended, Clock::duration total = kTotal,
                        Clock::duration end_reserve = kEndReserve);

    Clock::time_point PollingEnded() const { return polling_ended_; }
    // The queue is written until here.
    Clock::time_point DrainUntil() const { return drain_until_; }
    // The run's own rows are written until here.
    Clock::time_point EndBy() const { return end_by_; }

    // Whether one more write, begun now and taking as long as the slowest
    // recent one took, ends before the drain does.  A write is never cut
    // off once begun (SQLite's commit cannot be), so it must fit whole.
    bool Another(Clock::time_point now, Clock::duration write_takes) const;

private:
    Clock::time_point polling_ended_;
    Clock::time_point drain_until_;
    Clock::time_point end_by_;
};
