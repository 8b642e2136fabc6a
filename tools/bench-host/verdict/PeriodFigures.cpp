#include "verdict/PeriodFigures.h"

#include <algorithm>
#include <cmath>

namespace verdict {

PeriodFigures::PeriodFigures(const BatteryData& spec, int blocks, const std::vector<double>& baseline_mohm,
                             std::optional<double> baseline_capacity_pct)
    : spec_(spec),
      baseline_(baseline_mohm),
      charge_(spec),
      resistance_(spec, blocks),
      remaining_(spec, baseline_capacity_pct.value_or(100.0), baseline_capacity_pct ? "baseline" : "rating"),
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

void PeriodFigures::State(const Reading& r, double seconds, long rounds, int64_t last_ms) {
    const Charge c = charge_.Next(r);
    out_.seconds[static_cast<std::size_t>(c)] += seconds;
    out_.last_state = c;
    out_.last_state_since_ms = charge_.SinceMs();
    // Judged as of the last round: a float that settles within the rounds
    // counts those after it.
    const double on_float =
        c == Charge::floating ? static_cast<double>(last_ms - charge_.SinceMs()) / 1000.0 : 0.0;
    FloatJudgement j = FloatCompliance::Judge(spec_, r, c, on_float);
    long judged = j.held.empty() ? rounds : 0;
    if (judged > 1 && last_ms > r.ms) {
        // Rounds evenly spread from r.ms to last_ms; those before the
        // settling time's end are held.
        const double settled_ms = static_cast<double>(charge_.SinceMs()) + spec_.float_settle_s * 1000.0;
        const double step_ms = static_cast<double>(last_ms - r.ms) / static_cast<double>(rounds - 1);
        const double before = std::ceil((settled_ms - static_cast<double>(r.ms)) / step_ms - 1e-9);
        judged = rounds - std::clamp(static_cast<long>(before), 0L, rounds - 1);
    }
    out_.float_held_rounds += rounds - judged;
    if (judged == 0) return;
    const double w = static_cast<double>(judged);
    out_.float_rounds += judged;
    out_.float_string_sum_v += r.voltage * w;
    out_.float_temperature_sum += r.temperature * w;
    for (const auto& b : j.blocks) {
        const auto i = static_cast<std::size_t>(b.block - 1);
        if (i >= out_.out_of_band_rounds.size()) continue;
        if (!b.flag.empty()) out_.out_of_band_rounds[i] += judged;
        out_.float_sum_v[i] += b.v * w;
        out_.float_deviation_sum_v[i] += (b.v - j.target_v) * w;
        out_.float_block_rounds[i] += judged;
        if (std::fabs(b.deviation_mv) > std::fabs(out_.worst_float_mv[i])) out_.worst_float_mv[i] = b.deviation_mv;
    }
    out_.last_float = std::move(j);
}

void PeriodFigures::Add(const Reading& r, bool marked_test) {
    const double seconds = last_ms_ ? static_cast<double>(r.ms - *last_ms_) / 1000.0 : 0.0;
    last_ms_ = r.ms;
    State(r, seconds, 1, r.ms);
    resistance_.Add(r);
    remaining_.Add(r);
    out_.remaining = remaining_.Now();
    Keep(tests_.Add(r, charge_.State(), marked_test));
}

void PeriodFigures::AddSummary(const Reading& r, const MinuteSpan& span) {
    Keep(tests_.Close());
    const int64_t last = std::max(span.last_ms, r.ms);
    // As rounds read one by one count: the time from the reading before to
    // the last round, the first reading of all from its own first round.
    const double seconds = static_cast<double>(last - last_ms_.value_or(r.ms)) / 1000.0;
    last_ms_ = last;
    State(r, seconds, std::max(span.rounds, 1L), last);
    tests_.Summarised(charge_.State(), seconds, last);
    // The time remaining as of the minute's last round: a minute off
    // discharge ends the one before it, as its rounds would have.
    Reading at = r;
    at.ms = last;
    remaining_.Add(at);
    out_.remaining = remaining_.Now();
}

bool PeriodFigures::OneState(const Reading& mean, const MinuteBounds& b) const {
    if (b.current_max <= -spec_.discharge_a) return true;  // discharging throughout
    if (b.current_min <= -spec_.discharge_a) return false;
    if (b.current_min > spec_.float_max_a) return true;  // the charger's current throughout
    if (b.current_max > spec_.float_max_a) return false;
    const double floor_v = FloatCompliance::Target(spec_, mean.temperature) - spec_.float_band_mv / 1000.0;
    const bool all_at_float = b.block_low_v >= floor_v, none_at_float = b.block_high_v < floor_v;
    // No charging current: float or rest by the voltage alone.
    if (b.current_max <= spec_.rest_a) return all_at_float || none_at_float;
    // A small charging current is float at the float level unless the
    // voltage still rises (a recharge's tail), and recharge below it.
    if (none_at_float) return b.current_min > spec_.rest_a;
    return all_at_float && charge_.TrendWith(mean.ms, mean.MeanBlock()) < spec_.rise_mv_per_min;
}

void PeriodFigures::Keep(std::optional<CapacityResult> test) {
    if (!test) return;
    // A later discharge's time remaining reads what this test found.
    if (CapacityTest::Holds(*test)) remaining_.Tested(test->capacity_pct);
    if (out_.tests.size() >= kMaxTests) {
        ++out_.tests_not_kept;
        return;
    }
    out_.tests.push_back(std::move(*test));
}

PeriodResult PeriodFigures::Finish() {
    Keep(tests_.Close());
    // Out of a discharge, what the next one's time remaining would read:
    // the capacity as known by the period's end.
    if (!out_.remaining.discharging) {
        out_.remaining.capacity_pct = remaining_.CapacityPct();
        out_.remaining.capacity_from = remaining_.CapacityFrom();
    }
    out_.resistance = resistance_.Figures(baseline_);
    out_.resistance_steps = resistance_.Steps();
    out_.resistance_steps_not_kept = resistance_.StepsNotKept();
    out_.resistance_steps_on_charge = resistance_.StepsOnCharge();
    out_.resistance_steps_too_small = resistance_.StepsTooSmall();
    out_.resistance_note = resistance_.NoStepReason();
    return out_;
}

}  // namespace verdict
