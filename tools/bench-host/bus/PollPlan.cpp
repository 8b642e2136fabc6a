#include "bus/PollPlan.h"

#include <algorithm>
#include <limits>

void PollPlan::Start(const std::vector<DeviceCycle*>& devices, Clock::time_point now) const {
    for (DeviceCycle* d : devices) d->next_poll = now;
}

long PollPlan::CyclesLeft(const DeviceCycle& d) const {
    if (options_.cycle_limit <= 0) return std::numeric_limits<long>::max();
    // A round waiting for a second answer is a cycle run, kept or dropped.
    const BusDevice& dev = d.device;
    return options_.cycle_limit - (dev.completed + dev.abandoned + dev.missed + (d.rounds.Holding() ? 1 : 0));
}

bool PollPlan::Probing(const DeviceCycle& d, Clock::time_point now) const {
    const BusDevice& dev = d.device;
    if (dev.health.state() != DeviceHealth::State::kNotAnswering) return false;
    if (dev.last_answer && now - *dev.last_answer <= kRecentTicks * options_.period) return false;
    return dev.exchanges_known < kShareKnown || 2 * dev.AnsweredOfKept() < dev.exchanges_known;
}

DeviceCycle* PollPlan::Due(const std::vector<DeviceCycle*>& devices, Clock::time_point now) const {
    DeviceCycle* due = nullptr;
    bool due_probing = false;
    for (DeviceCycle* d : devices) {
        if (Done(*d) || d->next_poll > now) continue;
        const bool probing = Probing(*d, now);
        if (!due || (due_probing && !probing) || (probing == due_probing && d->next_poll < due->next_poll)) {
            due = d;
            due_probing = probing;
        }
    }
    return due;
}

PollPlan::Clock::time_point PollPlan::Earliest(const std::vector<DeviceCycle*>& devices,
                                               Clock::time_point latest) const {
    // A device done keeps its last poll time, long past: the bus would be
    // woken for it again at once, every turn, while a neighbour runs on.
    for (const DeviceCycle* d : devices)
        if (!Done(*d)) latest = std::min(latest, d->next_poll);
    return latest;
}

void PollPlan::Failed(DeviceCycle& d, Clock::time_point now) const {
    if (Probing(d, now) || d.last_rerun == d.cycle_due_at || now - d.cycle_due_at >= options_.period / 2) return;
    d.rerun_of = d.cycle_due_at;
    d.last_rerun = d.cycle_due_at;
    d.next_poll = now;
}

void PollPlan::CycleStarted(DeviceCycle& d, Clock::time_point due, Clock::time_point now) const {
    // A tick run again keeps its place on the grid.
    if (d.rerun_of) due = *d.rerun_of;
    d.rerun_of.reset();
    d.cycle_due_at = due;
    // A start a whole tick or more behind stands for the latest tick it
    // passed: the ticks a neighbour made it skip are not made up one right
    // after another, each round a copy of the last.
    if (options_.period > Clock::duration::zero() && now - due >= options_.period) {
        const auto whole = (now - due) / options_.period;
        d.cycle_due_at += whole * options_.period;
        // Those ticks were due and never polled: lost as much as any.
        if (!Probing(d, now)) d.device.skipped += static_cast<long>(whole);
    }
    // Probes are spaced on purpose: not late.
    if (now - due >= options_.period / 2 && !Probing(d, now)) ++d.device.late_polls;
}

void PollPlan::Released(DeviceCycle& d, Clock::time_point now) const {
    if (!Probing(d, now)) {
        d.backoff_steps = 0;
        ToNextTick(d, now);
        return;
    }
    // One tick, two, four ... up to the probe interval.
    Clock::duration wait = options_.period;
    for (int i = 0; i < d.backoff_steps && wait < options_.probe_interval; ++i) wait *= 2;
    d.next_poll = now + std::min(std::max(wait, Clock::duration::zero()), options_.probe_interval);
    d.backoff_steps = std::min(d.backoff_steps + 1, 32);
}

PollPlan::Clock::time_point PollPlan::NextTick(const DeviceCycle& d, Clock::time_point now) const {
    const Clock::time_point next = d.cycle_due_at + options_.period;
    return next + options_.period / 2 < now ? now : next;
}

void PollPlan::ToNextTick(DeviceCycle& d, Clock::time_point now) const {
    d.next_poll = NextTick(d, now);
    const Clock::time_point missed_tick = d.cycle_due_at + options_.period;
    if (d.next_poll == missed_tick || options_.period <= Clock::duration::zero() || Probing(d, now)) return;
    d.device.skipped += static_cast<long>((now - missed_tick) / options_.period);
}

long PollPlan::Missed(DeviceCycle& d, Clock::time_point now) const {
    long n = 0;
    if (options_.period <= Clock::duration::zero()) return n;
    // Missed cycles count among the cycles run: none beyond the last.
    const long left = CyclesLeft(d);
    for (; n < left && d.next_poll <= now; d.next_poll += options_.period) ++n;
    return n;
}
