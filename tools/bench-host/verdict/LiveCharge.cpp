#include "verdict/LiveCharge.h"

#include <cmath>

namespace verdict {

Reading LiveCharge::ReadingOf(const BatteryRecord& record, int blocks, int64_t ms) {
    Reading r;
    r.ms = ms;
    // A cell that is no value is a block this round did not read.
    for (int b = 0; b < blocks && b < BatteryRecord::kCells; ++b) {
        const float v = record.cells[static_cast<std::size_t>(b)];
        r.blocks.push_back(BatteryRecord::HasValue(v) ? v : 0.0);
    }
    r.voltage = record.group_voltage;
    r.current = record.group_current;
    r.temperature = record.temperature;
    return r;
}

JsonLine& LiveCharge::Keys(JsonLine& out, const std::optional<ChargeNow>& c) {
    const bool discharging = c && c->remaining.discharging;
    out.Raw("charge_state", c ? JsonLine::Quote(ChargeName(c->state)) : "null");
    out.Raw("time_remaining_s", discharging ? JsonLine::FormatDouble(std::round(c->remaining.minutes * 60.0)) : "null")
        .Raw("time_remaining_method", discharging ? JsonLine::Quote(c->remaining.method) : "null");
    if (!discharging) return out.Raw("time_remaining_basis", "null");
    JsonLine basis;
    basis.Raw("capacity_pct", JsonLine::Rounded(c->remaining.capacity_pct, 1))
        .Str("capacity_from", c->remaining.capacity_from)
        .Raw("kt", JsonLine::Rounded(c->remaining.kt, 3));
    return out.Raw("time_remaining_basis", basis.Text());
}

ChargeNow LiveCharge::Add(const Reading& r) {
    ChargeNow now;
    now.state = state_.Next(r);
    now.since_ms = state_.SinceMs();
    remaining_.Add(r);
    now.remaining = remaining_.Now();
    last_ = now;
    return now;
}

}  // namespace verdict
