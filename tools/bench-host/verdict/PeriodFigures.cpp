#include "verdict/PeriodFigures.h"

#include <cmath>

namespace verdict {

PeriodFigures::PeriodFigures(const BatteryData& spec, int blocks, const std::vector<double>& baseline_mohm,
                             double capacity_pct)
    : spec_(spec),
      blocks_(blocks),
      baseline_(baseline_mohm),
      charge_(spec),
      resistance_(spec, blocks),
      remaining_(spec, capacity_pct),
      tests_(spec, blocks) {
    out_.out_of_band_rounds.assign(static_cast<std::size_t>(blocks), 0);
    out_.worst_float_mv.assign(static_cast<std::size_t>(blocks), 0.0);
    out_.float_sum_v.assign(static_cast<std::size_t>(blocks), 0.0);
    out_.float_deviation_sum_v.assign(static_cast<std::size_t>(blocks), 0.0);
    out_.float_block_rounds.assign(static_cast<std::size_t>(blocks), 0);
}

namespace {

std::vector<std::optional<double>> Means(const std::vector<double>& sums, const std::vector<long>& rounds) {
    std::vector<std::optional<double>> out;
    for (std::size_t i = 0; i < sums.size(); ++i)
        out.push_back(rounds[i] ? std::optional<double>(sums[i] / static_cast<double>(rounds[i])) : std::nullopt);
    return out;
}

}  // namespace

std::vector<std::optional<double>> PeriodResult::FloatMeans() const { return Means(float_sum_v, float_block_rounds); }

std::vector<std::optional<double>> PeriodResult::FloatMeanDeviations() const {
    return Means(float_deviation_sum_v, float_block_rounds);
}

void PeriodFigures::State(const Reading& r, double seconds) {
    const Charge c = charge_.Next(r);
    out_.seconds[static_cast<std::size_t>(c)] += seconds;
    out_.last_state = c;
    out_.last_state_since_ms = charge_.SinceMs();
    const double on_float = c == Charge::floating ? static_cast<double>(r.ms - charge_.SinceMs()) / 1000.0 : 0.0;
    FloatJudgement j = FloatCompliance::Judge(spec_, r, c, on_float);
    if (!j.held.empty()) {
        ++out_.float_held_rounds;
        return;
    }
    ++out_.float_rounds;
    out_.float_string_sum_v += r.voltage;
    out_.float_temperature_sum += r.temperature;
    for (const auto& b : j.blocks) {
        const auto i = static_cast<std::size_t>(b.block - 1);
        if (i >= out_.out_of_band_rounds.size()) continue;
        if (!b.flag.empty()) ++out_.out_of_band_rounds[i];
        out_.float_sum_v[i] += b.v;
        out_.float_deviation_sum_v[i] += b.v - j.target_v;
        ++out_.float_block_rounds[i];
        if (std::fabs(b.deviation_mv) > std::fabs(out_.worst_float_mv[i])) out_.worst_float_mv[i] = b.deviation_mv;
    }
    out_.last_float = std::move(j);
}

void PeriodFigures::Add(const Reading& r, bool marked_test) {
    const double seconds = last_ms_ ? static_cast<double>(r.ms - *last_ms_) / 1000.0 : 0.0;
    last_ms_ = r.ms;
    State(r, seconds);
    resistance_.Add(r);
    remaining_.Add(r);
    out_.remaining = remaining_.Now();
    Keep(tests_.Add(r, charge_.State(), marked_test));
}

void PeriodFigures::AddSummary(const Reading& r, double seconds) {
    Keep(tests_.Close());
    last_ms_ = r.ms;
    State(r, seconds);
}

void PeriodFigures::Keep(std::optional<CapacityResult> test) {
    if (!test) return;
    if (out_.tests.size() >= kMaxTests) {
        ++out_.tests_not_kept;
        return;
    }
    out_.tests.push_back(std::move(*test));
}

PeriodResult PeriodFigures::Finish() {
    Keep(tests_.Close());
    out_.resistance = resistance_.Figures(baseline_);
    out_.resistance_steps = resistance_.Steps();
    out_.resistance_steps_not_kept = resistance_.StepsNotKept();
    out_.resistance_steps_on_charge = resistance_.StepsOnCharge();
    out_.resistance_note = resistance_.NoStepReason();
    return out_;
}

}  // namespace verdict
