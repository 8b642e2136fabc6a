#pragma once
// Time remaining during a discharge, the lesser of two estimates:
//   Peukert: at current I a full string lasts t(I) = Ts(I) × capacity / KT:
//     Ts(I) the rated time at that current (CapacityTest::RatedMinutes:
//     H × (C / (I × H))^k for C ampere-hours over H hours), capacity the
//     share of it the string gave when last tested (a test of this period
//     or run whose conditions held, else the baseline's, else 100 %) and
//     KT the temperature correction factor at the string's temperature (a
//     warm string lasts longer, a cold one less), as a capacity test reads
//     it backwards; each round uses Δt / t(I) of it, and what is left lasts
//     (1 - used) × t(I) at the present current;
//   the weakest block, the lesser of two: the lowest block's voltage falls
//     at the slope of the last minute, the time until it reaches end_v at
//     that slope; and its share: every block carries the same current and
//     its voltage follows its charge along the same line, so a block that
//     has fallen further than the median block since the load settled holds
//     median fall / its fall of the median block's charge, and lasts
//     (share - used) × t(I) (judged once the median block has fallen
//     kShareFallV).
// Peukert holds while the blocks fall alike, the share once one falls
// faster, the slope near the end of their curve.  Anything but a discharge
// restarts it; a change of current restarts the falls, since each block's
// I × R changes with it.
#include <cstddef>
#include <cstdint>
#include <deque>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "site/BatteryData.h"
#include "verdict/ChargeNow.h"
#include "verdict/Reading.h"

namespace verdict {

class TimeRemaining {
public:
    static constexpr int64_t kSlopeMs = 60000;
    static constexpr std::size_t kSlopeRounds = 128;
    // Five of the reading's 10 mV steps.
    static constexpr double kShareFallV = 0.05;

    // capacity_pct: the string's capacity as last tested, from where
    // Remaining::capacity_from names (100 from the rating when none).
    TimeRemaining(const BatteryData& spec, double capacity_pct = 100.0, std::string from = "rating")
        : spec_(spec), capacity_pct_(capacity_pct), capacity_from_(std::move(from)) {}

    // The string's capacity as tested since (a test over, its conditions
    // met), or as known from elsewhere: it holds from the next round on.
    void Tested(double capacity_pct, std::string from = "test") {
        capacity_pct_ = capacity_pct;
        capacity_from_ = std::move(from);
    }
    double CapacityPct() const { return capacity_pct_; }
    const std::string& CapacityFrom() const { return capacity_from_; }

    // Full-string runtime in hours at this current (positive amperes) and
    // temperature.
    double FullHours(double current_a, double temperature_c = 25.0) const;
    void Add(const Reading& r);
    Remaining Now() const { return now_; }

private:
    // The weakest block's minutes by its share; none before it can be told.
    std::optional<double> ShareMinutes(const Reading& r, double full_h) const;

    BatteryData spec_;
    double capacity_pct_;
    std::string capacity_from_;
    bool discharging_ = false;
    int64_t last_ms_ = 0;
    double used_ = 0;
    double last_amps_ = 0;
    // The blocks when the load had settled (the round after it came on or
    // changed, whose cells may still be from before); empty until then.
    std::vector<double> settled_;
    bool settle_due_ = false;
    std::deque<std::pair<int64_t, double>> weakest_;  // (ms, lowest block V)
    Remaining now_;
};

}  // namespace verdict
