#pragma once
// Time remaining during a discharge, the lesser of two estimates:
//   Peukert: at current I a full string lasts t(I) = H × (C / (I × H))^k
//     hours (C the rated capacity in ampere-hours over H hours, scaled by
//     the capacity found by the last test, k the Peukert exponent); each
//     round uses Δt / t(I) of it, and what is left lasts (1 - used) × t(I)
//     at the present current;
//   the weakest block: the lowest block's voltage falls at the slope of the
//     last minute; the time until it reaches end_v at that slope.
// The first holds while the blocks are flat, the second near the end of
// their curve.  Anything but a discharge restarts it.
#include <cstddef>
#include <cstdint>
#include <deque>
#include <optional>
#include <string>
#include <utility>

#include "site/BatteryData.h"
#include "verdict/ChargeNow.h"
#include "verdict/Reading.h"

namespace verdict {

class TimeRemaining {
public:
    static constexpr int64_t kSlopeMs = 60000;
    static constexpr std::size_t kSlopeRounds = 128;

    // capacity_pct: the string's capacity as last tested (100 when none).
    TimeRemaining(const BatteryData& spec, double capacity_pct = 100.0) : spec_(spec), capacity_pct_(capacity_pct) {}

    // Full-string runtime in hours at this current (positive amperes).
    double FullHours(double current_a) const;
    void Add(const Reading& r);
    Remaining Now() const { return now_; }

private:
    BatteryData spec_;
    double capacity_pct_;
    bool discharging_ = false;
    int64_t last_ms_ = 0;
    double used_ = 0;
    std::deque<std::pair<int64_t, double>> weakest_;  // (ms, lowest block V)
    Remaining now_;
};

}  // namespace verdict
