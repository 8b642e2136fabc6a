#pragma once
// How long a stopping run gives its history before it ends.  Polling ends
// at once on a stop; the store thread then writes what waits in its queue
// until the drain's end, the writes after it are counted as not stored, and
// the devices' counts, the per-minute summary and the run's end are written
// in what is left of kTotal.  A disk whose every write takes 300 ms would
// otherwise hold a run with 4096 writes waiting for twenty minutes after a
// stop, with no summary if it was killed meanwhile.
//
// A second stop (SIGTERM or Ctrl-C again, or once after --duration or
// --rounds ended polling) ends the drain at once: the user, or a service
// manager about to kill, asks for the end now.  The write under way ends
// (a commit cannot be cut), the rest is counted as not stored, and the
// run's own rows are still written.
//
// Pure: the times come from the run's clock, so a test holds them still.
#include <chrono>

class StopBudget {
public:
    using Clock = std::chrono::steady_clock;

    // From the end of polling to the end of the run's last write.
    static constexpr std::chrono::seconds kTotal{5};
    // Kept for the last write of the queue to end and for the counts, the
    // summary and the run's end: one commit, a write of the log and its
    // sync, and the copy of the log into the file.
    static constexpr std::chrono::seconds kEndReserve{2};

    explicit StopBudget(Clock::time_point polling_ended, Clock::duration total = kTotal,
                        Clock::duration end_reserve = kEndReserve);

    Clock::time_point PollingEnded() const { return polling_ended_; }
    // The queue is written until here.
    Clock::time_point DrainUntil() const { return drain_until_; }
    // The run's own rows are written until here.
    Clock::time_point EndBy() const { return end_by_; }

    // Whether the stops asked for so far end the drain at once, budget or
    // not.  stop_requests: the end of polling itself (a stop signal, or a
    // limit reached) and every stop signal after it.
    static bool Cut(int stop_requests) { return stop_requests >= 2; }

    // Whether one more write may begin now.  A write is never cut off once
    // begun (SQLite's commit cannot be): the last one may run past the
    // drain's end, into the reserve, by as long as the disk takes.
    bool Another(Clock::time_point now, int stop_requests = 1) const {
        return !Cut(stop_requests) && now < drain_until_;
    }

private:
    Clock::time_point polling_ended_;
    Clock::time_point drain_until_;
    Clock::time_point end_by_;
};
