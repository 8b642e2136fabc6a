#pragma once
// When each device of one bus is polled.  Pure: the devices' times in, their
// next polls out; nothing here reads a clock or touches the line.
//
// Every device keeps a grid of ticks of its own, a tick period after the
// time its last cycle was due, so that a poll a neighbour delayed does not
// delay every poll after it; a device that fell more than half a tick
// behind starts a new grid, the ticks it passed whole counted as skipped.
// A device backs off only on evidence: one that
// is not answering, has not answered in the last few ticks and answers
// fewer than half of its latest requests is probed, one tick after the
// last probe, then two, four ... up to the probe interval, and only when no
// device on its tick is due: a dead neighbour takes the spare time of the
// bus, never the others' ticks.  A cycle the line spoilt in the first half
// of its tick is run again at once, once a tick, on that tick.  While the port is away, every poll time
// that passes is a cycle missed.
#include <chrono>
#include <vector>

#include "bus/DeviceCycle.h"

class PollPlan {
public:
    using Clock = std::chrono::steady_clock;

    struct Options {
        Clock::duration period{};
        Clock::duration probe_interval{};
        // Cycles of each device after which it is polled no more; 0: no limit.
        long cycle_limit = 0;
    };

    explicit PollPlan(const Options& options) : options_(options) {}

    Clock::duration Period() const { return options_.period; }
    // A device answered within this many ticks stays on its tick, and so
    // does one that answered at least half of its latest requests (of at
    // least kShareKnown).
    static constexpr int kRecentTicks = 3;
    static constexpr int kShareKnown = 4;
    // A device that is not answering, and has shown no sign of life lately,
    // is probed, not ticked.
    bool Probing(const DeviceCycle& d, Clock::time_point now) const;

    // The first polls are due at once, in the order the devices were added.
    void Start(const std::vector<DeviceCycle*>& devices, Clock::time_point now) const;
    // The device to tick now: the one due longest, the first added on a tie,
    // a device on its tick before one probed; none when nobody is due or
    // every device has run its cycles.
    DeviceCycle* Due(const std::vector<DeviceCycle*>& devices, Clock::time_point now) const;
    // The earliest poll of any device still to run cycles (the latest given
    // when none is sooner).
    Clock::time_point Earliest(const std::vector<DeviceCycle*>& devices, Clock::time_point latest) const;
    // The tick due at `due` started a new cycle at `now`: the grid follows
    // it (from the latest tick passed, when whole ticks were skipped, each
    // counted as skipped), and a start half a tick or more behind counts as
    // a late poll.
    void CycleStarted(DeviceCycle& d, Clock::time_point due, Clock::time_point now) const;
    // The device gave the bus back at `now`: its next tick on its grid, or
    // its next probe, a step of back-off further.
    void Released(DeviceCycle& d, Clock::time_point now) const;
    // The device's cycle failed at `now`, a line fault having spoiled it:
    // while the first half of its tick lasts, the tick is run again as soon
    // as the bus is free, once a tick (a device not answering is not).
    void Failed(DeviceCycle& d, Clock::time_point now) const;
    // The next tick on the device's grid.
    Clock::time_point NextTick(const DeviceCycle& d, Clock::time_point now) const;
    // The device's next poll is its next tick.  A device that fell more than
    // half a tick behind starts a new grid from now, and the ticks of the
    // old one that passed whole before it (all but the latest, which the
    // poll now stands for) count as skipped: never polled, lost.
    void ToNextTick(DeviceCycle& d, Clock::time_point now) const;
    // Poll times of the device that passed by `now` while the port was away:
    // each counted as a missed cycle and stepped over; returns how many.  A
    // device misses no more cycles than it has left to run.
    long Missed(DeviceCycle& d, Clock::time_point now) const;
    // The port failed in the middle of the device's cycle: the cycle is
    // retried a tick after it started.
    void Interrupted(DeviceCycle& d) const { d.next_poll = d.cycle_started_at + options_.period; }
    // The port is back: whoever is overdue is due at once.
    void Resumed(DeviceCycle& d, Clock::time_point now) const { d.next_poll = std::min(d.next_poll, now); }

private:
    // Cycles the device has still to run (completed, abandoned or missed),
    // without end when there is no limit.
    long CyclesLeft(const DeviceCycle& d) const;
    // The device has run the cycles it was to run: no poll of it is due.
    bool Done(const DeviceCycle& d) const { return CyclesLeft(d) <= 0; }

    Options options_;
};
