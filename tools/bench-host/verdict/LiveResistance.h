#pragma once
// Each block's resistance rise on the device's newest baseline as rounds
// complete during a run: the load steps of the run so far, taken and
// reduced to per-block medians by BlockResistance under the report's own
// rules, against the baseline's resistances, which the run reads once at
// its start.  It keeps the newest steps (as many as a period keeps), so the
// figure of a long run follows the string as it is now.  The medians are worked out again only when a step is taken,
// so a round costs the step detection alone.
#include <optional>
#include <string>
#include <vector>

#include "basics/JsonLine.h"
#include "site/BatteryData.h"
#include "verdict/BlockResistance.h"
#include "verdict/Reading.h"

namespace verdict {

class LiveResistance {
public:
    // baseline_mohm: one per block (0: none), as BlockResistance::Figures
    // takes them; empty without a baseline.
    LiveResistance(const BatteryData& spec, std::vector<double> baseline_mohm)
        : spec_(spec), baseline_mohm_(std::move(baseline_mohm)) {}

    // Rounds in the order of time; the first sets the number of blocks.
    void Add(const Reading& r);
    // Per block, the rise in % of its median over the run's steps on its
    // baseline; none without a baseline value or without a usable step.
    // Empty before the first round.
    const std::vector<std::optional<double>>& Rise() const { return rise_; }
    // Per block its flag past the site's thresholds, as the report flags it:
    // "", "investigate" or "act".
    const std::vector<std::string>& Flags() const { return flags_; }

    // The key the JSON summary gives them: "resistance_rise_pct", per block
    // the rise to 0.1 % or null; null as a whole without a baseline.
    static JsonLine& Keys(JsonLine& out, const std::optional<LiveResistance>& r);

private:
    BatteryData spec_;
    std::vector<double> baseline_mohm_;
    std::optional<BlockResistance> steps_;
    std::size_t figured_ = 0;  // steps seen (kept or given way) when the rises were last worked out
    std::vector<std::optional<double>> rise_;
    std::vector<std::string> flags_;
};

}  // namespace verdict
