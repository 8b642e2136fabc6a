#include "bus/BusDevice.h"

#include <algorithm>
#include <stdexcept>

#include "host/HLXSPDevice.h"

void BusDevice::LearnCells() {
    // A device refuses every value while it has none ready or they are too
    // old, and answers its string voltage whenever it answers any value.
    // With the string voltage answered, a cell name it refuses is a cell it
    // does not have: the first such name ends the count, whatever the words
    // of the refusal.  Without it the count cannot be told yet.
    try {
        dev->Get_Value(0, "group_voltage");
    } catch (const std::exception&) {
        return;
    }
    int n = 0;
    for (; n < BatteryRecord::kCells; ++n) {
        try {
            dev->Get_Value(0, "battery_" + std::to_string(n) + "_value");
        } catch (const std::out_of_range&) {
            break;
        } catch (const std::exception&) {
            return;  // not a refusal the host knows: leave the count unknown
        }
    }
    cell_count = n;
}

double BusDevice::LossPercent() const {
    const long due = cycles + missed + skipped;
    return due > 0 ? 100.0 * static_cast<double>(Lost()) / static_cast<double>(due) : 0.0;
}

double BusDevice::PollIntervalSeconds() const {
    if (starts < 2) return 0.0;
    return std::chrono::duration<double>(last_start - first_start).count() / static_cast<double>(starts - 1);
}

void BusDevice::Exchanged(bool answered, Clock::time_point now) {
    answered_bits = ((answered_bits << 1) | (answered ? 1u : 0u)) & ((1u << kExchangesKept) - 1);
    exchanges_known = std::min(exchanges_known + 1, kExchangesKept);
    if (answered) last_answer = now;
}

int BusDevice::AnsweredOfKept() const {
    int n = 0;
    for (uint32_t b = answered_bits; b; b &= b - 1) ++n;
    return n;
}

void BusDevice::StartCycle(Clock::time_point now) {
    ++cycles;
    if (starts++ == 0) first_start = now;
    last_start = now;
}

history::RunDevice BusDevice::Counts(int64_t at_ms) const {
    history::RunDevice c;
    c.device_id = conf.id;
    c.cycles = cycles;
    c.completed = completed;
    c.lost = Lost();
    c.resends = resends;
    c.late_polls = late_polls;
    c.updated_ms = at_ms;
    return c;
}

std::vector<AlarmEvaluator::Active> BusDevice::StandingAlarms() const {
    auto out = alarms.Standing();
    if (float_alarms)
        for (auto& a : float_alarms->Standing()) out.push_back(std::move(a));
    return out;
}
