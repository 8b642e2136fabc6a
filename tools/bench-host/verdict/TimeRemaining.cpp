#include "verdict/TimeRemaining.h"

#include <algorithm>
#include <cmath>

#include "verdict/BlockResistance.h"
#include "verdict/CapacityTest.h"

namespace verdict {

double TimeRemaining::FullHours(double current_a, double temperature_c) const {
    // A capacity test's figure is Ta × KT / Ts at its current: a string of
    // that capacity lasts that share of the rated time, stretched by 1 / KT
    // where it is warm.
    return CapacityTest::RatedMinutes(spec_, current_a) / 60.0 * capacity_pct_ / 100.0 /
           CapacityTest::Kt(temperature_c);
}

void TimeRemaining::Add(const Reading& r) {
    if (r.current > -spec_.discharge_a) {
        discharging_ = false;
        used_ = 0;
        weakest_.clear();
        now_ = Remaining{};
        now_.capacity_pct = capacity_pct_;
        now_.capacity_from = capacity_from_;
        now_.kt = CapacityTest::Kt(r.temperature);
        return;
    }
    const double amps = -r.current;
    const double full_h = FullHours(amps, r.temperature);
    if (discharging_) used_ += static_cast<double>(r.ms - last_ms_) / 3600000.0 / full_h;
    if (!discharging_ || std::fabs(amps - last_amps_) > spec_.step_settle_a) {
        settled_.clear();
        settle_due_ = true;
    } else if (settle_due_) {
        settled_ = r.blocks;
        settle_due_ = false;
    }
    discharging_ = true;
    last_ms_ = r.ms;
    last_amps_ = amps;

    int weakest = 0;
    for (std::size_t b = 0; b < r.blocks.size(); ++b)
        if (r.blocks[b] > 0 && (weakest == 0 || r.blocks[b] < r.blocks[static_cast<std::size_t>(weakest - 1)]))
            weakest = static_cast<int>(b) + 1;
    const double low = weakest ? r.blocks[static_cast<std::size_t>(weakest - 1)] : 0.0;
    weakest_.emplace_back(r.ms, low);
    while (weakest_.size() > kSlopeRounds || (weakest_.size() > 1 && r.ms - weakest_.front().first > kSlopeMs))
        weakest_.pop_front();

    Remaining e;
    e.discharging = true;
    e.weakest_block = weakest;
    e.used_fraction = std::min(used_, 1.0);
    e.capacity_pct = capacity_pct_;
    e.capacity_from = capacity_from_;
    e.kt = CapacityTest::Kt(r.temperature);
    e.peukert_minutes = std::max(0.0, 1.0 - used_) * full_h * 60.0;
    e.minutes = e.peukert_minutes;
    e.method = "peukert";
    const double span_min = static_cast<double>(weakest_.back().first - weakest_.front().first) / 60000.0;
    if (span_min >= 20.0 / 60.0) {
        const double slope = (weakest_.back().second - weakest_.front().second) / span_min;  // V per minute
        if (slope < 0) e.block_minutes = std::max(0.0, (low - spec_.end_v) / -slope);
    }
    if (const auto share = ShareMinutes(r, full_h); share && (!e.block_minutes || *share < *e.block_minutes))
        e.block_minutes = share;
    if (e.block_minutes && *e.block_minutes < e.minutes) {
        e.minutes = *e.block_minutes;
        e.method = "weakest block";
    }
    now_ = e;
}

std::optional<double> TimeRemaining::ShareMinutes(const Reading& r, double full_h) const {
    std::vector<double> falls;
    double most = 0;
    for (std::size_t b = 0; b < settled_.size() && b < r.blocks.size(); ++b)
        if (settled_[b] > 0 && r.blocks[b] > 0) {
            falls.push_back(settled_[b] - r.blocks[b]);
            most = std::max(most, falls.back());
        }
    const auto median = BlockResistance::Median(falls);
    if (!median || *median < kShareFallV || most <= *median) return std::nullopt;
    return std::max(0.0, *median / most - used_) * full_h * 60.0;
}

}  // namespace verdict
