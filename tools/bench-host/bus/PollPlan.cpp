#include "bus/PollPlan.h"

#include <algorithm>
#include <limits>

void PollPlan::Start(const std::vector<BusDevice*>& devices, Clock::time_point now) const {
    for (BusDevice* d : devices) d->next_poll = now;
}

long PollPlan::CyclesLeft(const BusDevice& d) const {
    if (options_.cycle_limit <= 0) return std::numeric_limits<long>::max();
    return options_.cycle_limit - (d.completed + d.abandoned + d.missed);
}

BusDevice* PollPlan::Due(const std::vector<BusDevice*>& devices, Clock::time_point now) const {
    BusDevice* due = nullptr;
    for (BusDevice* d : devices) {
        if (Done(*d)) continue;
        if (d->next_poll <= now && (!due || d->next_poll < due->next_poll)) due = d;
    }
    return due;
}

PollPlan::Clock::time_point PollPlan::Earliest(const std::vector<BusDevice*>& devices,
                                               Clock::time_point latest) const {
    // A device done keeps its last poll time, long past: the bus would be
    // woken for it again at once, every turn, while a neighbour runs on.
    for (const BusDevice* d : devices)
        if (!Done(*d)) latest = std::min(latest, d->next_poll);
    return latest;
}

void PollPlan::CycleStarted(BusDevice& d, Clock::time_point due, Clock::time_point now) const {
    d.cycle_due_at = due;
    // A start a whole tick or more behind stands for the latest tick it
    // passed: the ticks a neighbour made it skip are not made up one right
    // after another, each round a copy of the last.
    if (options_.period > Clock::duration::zero() && now - due >= options_.period)
        d.cycle_due_at += (now - due) / options_.period * options_.period;
    // Probes are spaced on purpose: not late.
    if (now - due >= options_.period / 2 && !Probing(d)) ++d.late_polls;
}

void PollPlan::Released(BusDevice& d, Clock::time_point now) const {
    d.next_poll = Probing(d) ? now + options_.probe_interval : NextTick(d, now);
}

PollPlan::Clock::time_point PollPlan::NextTick(const BusDevice& d, Clock::time_point now) const {
    const Clock::time_point next = d.cycle_due_at + options_.period;
    return next + options_.period / 2 < now ? now : next;
}

long PollPlan::Missed(BusDevice& d, Clock::time_point now) const {
    long n = 0;
    if (options_.period <= Clock::duration::zero()) return n;
    // Missed cycles count among the cycles run: none beyond the last.
    const long left = CyclesLeft(d);
    for (; n < left && d.next_poll <= now; d.next_poll += options_.period) ++n;
    return n;
}
