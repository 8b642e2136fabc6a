#pragma once
// Each block's float drift on a baseline, in mV: how far the block now
// floats from where it floated when the baseline was taken.  Both sides are
// read against the float voltage compensated for their own temperature
// (FloatCompliance::Target, with the site's coefficient and range), so a
// charger that follows the temperature moves neither:
//
//   drift = mean over the rounds judged on float of (V - Target(T))
//           - (V_baseline - Target(T_baseline))
//
// which is the plain difference of the means when both temperatures are
// alike.  Only rounds judged on float count (settled on it, as the float
// alarms judge them); a baseline without a temperature gives no drift.
// Its sums are one per block, whatever the run's length.
#include <optional>
#include <string>
#include <vector>

#include "basics/JsonLine.h"
#include "site/BatteryData.h"

namespace verdict {

class FloatDrift {
public:
    // baseline_v: the baseline's float voltage per block (none: that block
    // has none); empty, or baseline_c none, without a baseline.
    FloatDrift(const BatteryData& spec, std::vector<std::optional<double>> baseline_v,
               std::optional<double> baseline_c)
        : spec_(spec), baseline_v_(std::move(baseline_v)), baseline_c_(baseline_c) {}

    // One round's distance of each block from its compensated target in V
    // (FloatAlarms::Deviation()): empty when the round was not judged.
    void Add(const std::vector<std::optional<double>>& deviation_v);
    // Per block, as many as the rounds had: none before a judged round or
    // without the baseline's value.
    std::vector<std::optional<double>> Mv() const;

    // One block's drift in mV from its mean distance from the target.
    static std::optional<double> Of(const BatteryData& spec, double mean_deviation_v, std::optional<double> baseline_v,
                                    std::optional<double> baseline_c);

    // The key the JSON summary gives them: "float_drift_mv", per block to
    // 0.1 mV or null; null as a whole without a baseline.
    static JsonLine& Keys(JsonLine& out, const std::optional<FloatDrift>& d);

private:
    BatteryData spec_;
    std::vector<std::optional<double>> baseline_v_;
    std::optional<double> baseline_c_;
    std::vector<double> sum_v_;
    std::vector<long> rounds_;
};

}  // namespace verdict
