#include "verdict/Findings.h"

#include <algorithm>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <initializer_list>

namespace verdict {

namespace {

std::string Text(const char* format, ...) {
    char buf[512];
    va_list args;
    va_start(args, format);
    std::vsnprintf(buf, sizeof buf, format, args);
    va_end(args);
    return buf;
}

// A test's time as it reads best: seconds for a test shorter than a
// minute (a bench's small rating), whole minutes beyond.
std::string Minutes(double min) { return min < 1.0 ? Text("%.0f s", min * 60.0) : Text("%.0f min", min); }

std::string Pct(double v, std::initializer_list<double> lines) { return Findings::Figure(v, lines); }
std::string Signed(double v, std::initializer_list<double> lines) { return Findings::Figure(v, lines, 0, true); }

std::string Joined(const std::vector<std::string>& parts) {
    std::string out;
    for (const auto& p : parts) out += (out.empty() ? "" : "; ") + p;
    return out;
}

void Capacity(const PeriodResult& p, const BatteryData& spec, const std::string& baseline_date,
              std::optional<double> baseline_pct, std::vector<Finding>& out) {
    for (const auto& t : p.tests) {
        Finding f;
        if (!t.current_read) {
            f.severity = Finding::attention;
            f.text = "no capacity from the run marked as a test: no discharge current read";
            f.evidence = Joined(t.conditions) + "; a capacity needs the current the string gave";
            out.push_back(f);
            continue;
        }
        const std::string end = t.first_block ? Text("block %d first at %.2f V after %s", t.first_block, spec.end_v,
                                                     Minutes(t.first_block_min).c_str())
                                              : std::string("no block at the end voltage");
        f.evidence = Text("discharge at %.1f A for %s against %s rated at that current; %s; %.1f °C%s", t.current_a,
                          Minutes(t.actual_min).c_str(), Minutes(t.rated_min).c_str(), end.c_str(), t.temperature_c,
                          t.kt_outside_table ? " (outside the factor table: its nearest row)" : "");
        if (t.marked)
            f.evidence += t.steady ? "; the run was marked as a test" : "; the run was marked as a test (current not steady: its mean)";
        const std::string pct = Pct(t.capacity_pct, {spec.replace_pct, spec.retest_pct});
        const std::string method = Text("(IEEE 450 time-adjusted, KT %.2f)", t.kt);
        if (!t.conditions.empty()) {
            // Shown, but a test not held as the method holds it decides
            // nothing: neither a replacement nor a clean bill.
            f.text = "capacity " + std::string(t.lower_bound ? "at least " : "") + pct + " % " + method +
                     ", its conditions not met: not decided on; test again under them";
            f.severity = Finding::attention;
            f.evidence += "; conditions not met: " + Joined(t.conditions);
        } else if (t.lower_bound) {
            const double line = t.capacity_pct < spec.replace_pct ? spec.replace_pct
                                : t.capacity_pct < spec.retest_pct ? spec.retest_pct
                                                                   : 0.0;
            if (line > 0) {
                // A test stopped early says what the string gave at least:
                // the decision below the line is still open.
                f.text = "capacity at least " + pct + " % " + method + ": below " + Pct(line, {}) +
                         " % cannot be ruled out; test to the end voltage";
                f.severity = Finding::attention;
            } else {
                f.text = "capacity at least " + pct + " % " + method + ": the discharge stopped before the end voltage";
                f.severity = Finding::note;
            }
        } else {
            f.text = "capacity " + pct + " % " + method;
            if (t.decision == "replace") {
                f.text += t.first_block ? Text(": replace (block %d ended the test)", t.first_block) : ": replace";
                f.severity = Finding::act;
            } else if (!t.decision.empty()) {
                f.text += ": " + t.decision;
                f.severity = Finding::attention;
            } else if (baseline_pct && *baseline_pct - t.capacity_pct > 10.0) {
                f.text += Text(": %.0f points below the baseline's %.0f %%%s%s; test again within a year",
                               *baseline_pct - t.capacity_pct, *baseline_pct, baseline_date.empty() ? "" : " of ",
                               baseline_date.c_str());
                f.severity = Finding::attention;
            } else {
                f.severity = Finding::note;
            }
        }
        out.push_back(f);
    }
}

void Resistance(const PeriodResult& p, const BatteryData& spec, const std::string& baseline_date,
                std::vector<Finding>& out) {
    std::vector<double> medians;
    for (const auto& b : p.resistance)
        if (b.median_mohm) medians.push_back(*b.median_mohm);
    const auto string_median = BlockResistance::Median(medians);
    if (!p.resistance_note.empty())
        out.push_back({Finding::note, "resistance: none measured", p.resistance_note});
    for (const auto& b : p.resistance) {
        if (!b.median_mohm) continue;
        const std::string how =
            Text("median ΔV/ΔI over %ld load steps, ±%.2f mΩ from the readings' resolution: a resistance seen "
                 "through the monitor's sampling, not a meter reading",
                 b.steps, b.uncertainty_mohm.value_or(0.0));
        if (b.rise_pct) {
            if (b.flag.empty()) continue;
            Finding f;
            f.severity = b.flag == "act" ? Finding::act : Finding::attention;
            f.text = Text("block %d: resistance %s %% on its baseline%s%s (%.1f mΩ against %.1f mΩ); %s", b.block,
                          Signed(*b.rise_pct, {spec.rise_investigate_pct, spec.rise_act_pct}).c_str(),
                          baseline_date.empty() ? "" : " of ", baseline_date.c_str(), *b.median_mohm,
                          *b.baseline_mohm, b.flag == "act" ? "act" : "investigate");
            f.evidence = how;
            if (b.rise_uncertainty_pct)
                f.evidence += Text("; the rise ±%.1f points, past %.0f %% by more than that", *b.rise_uncertainty_pct,
                                   b.flag == "act" ? spec.rise_act_pct : spec.rise_investigate_pct);
            out.push_back(f);
        } else if (string_median && *string_median > 0) {
            // Without a baseline a block is compared with its string.
            const double rise = (*b.median_mohm / *string_median - 1.0) * 100.0;
            const double u = b.uncertainty_mohm ? BlockResistance::RiseUncertaintyPct(
                                                      *b.median_mohm, *b.uncertainty_mohm, *string_median,
                                                      *b.uncertainty_mohm)
                                                : 0.0;
            // Past the line by more than the readings can say.
            if (rise - u <= spec.rise_investigate_pct) continue;
            Finding f;
            f.severity = Finding::attention;
            f.text = Text("block %d: resistance %.1f mΩ, %s %% on the string's median of %.1f mΩ (no baseline); "
                          "investigate",
                          b.block, *b.median_mohm, Signed(rise, {spec.rise_investigate_pct}).c_str(), *string_median);
            f.evidence = how;
            out.push_back(f);
        }
    }
}

void Float(const PeriodResult& p, const BatteryData& spec, std::vector<Finding>& out) {
    if (!p.last_float) return;
    const FloatJudgement& j = *p.last_float;
    for (const auto& b : j.blocks) {
        if (b.flag.empty()) continue;
        Finding f;
        f.severity = Finding::attention;
        f.text = Text("block %d: %.0f mV %s its float target of %.2f V at %.1f °C; flagged", b.block,
                      std::fabs(b.deviation_mv), b.flag == "high" ? "above" : "below", j.target_v, j.temperature_c);
        const auto i = static_cast<std::size_t>(b.block - 1);
        f.evidence = Text("out of the ±%.0f mV band in %ld of %ld rounds judged on float (after %.0f s on float)",
                          spec.float_band_mv, i < p.out_of_band_rounds.size() ? p.out_of_band_rounds[i] : 0L,
                          p.float_rounds, spec.float_settle_s);
        out.push_back(f);
    }
    if (!j.string_flag.empty()) {
        Finding f;
        f.severity = Finding::attention;
        f.text = Text("string float voltage %.2f V, %.0f mV per block %s its target of %.2f V at %.1f °C", j.string_v,
                      std::fabs(j.string_deviation_mv), j.string_flag == "high" ? "above" : "below",
                      j.string_target_v, j.temperature_c);
        f.evidence = "the charger's setting, or its temperature compensation";
        out.push_back(f);
    }
}

void Drift(const PeriodResult& p, const BatteryData& spec, const std::string& baseline_date,
           const std::vector<std::optional<double>>& drift_mv, std::vector<Finding>& out) {
    for (std::size_t i = 0; i < drift_mv.size(); ++i) {
        if (!drift_mv[i] || FloatCompliance::Flag(*drift_mv[i], spec.float_band_mv).empty()) continue;
        Finding f;
        f.severity = Finding::attention;
        f.text = Text("block %d: float %+.0f mV on its baseline%s%s; flagged", static_cast<int>(i) + 1, *drift_mv[i],
                      baseline_date.empty() ? "" : " of ", baseline_date.c_str());
        f.evidence = Text("mean over %ld rounds judged on float against the baseline's, each against its float target "
                          "compensated for temperature; past the ±%.0f mV band",
                          i < p.float_block_rounds.size() ? p.float_block_rounds[i] : 0L, spec.float_band_mv);
        out.push_back(f);
    }
}

}  // namespace

std::string Findings::Figure(double v, std::initializer_list<double> lines, int places, bool sign) {
    std::string out;
    for (int p = places; p <= places + 3 && out.empty(); ++p) {
        const double scale = std::pow(10.0, p);
        const double shown = std::round(v * scale) / scale;
        bool same = true;
        for (const double line : lines) same = same && ((v < line) == (shown < line));
        if (same) out = Text("%.*f", p, shown + 0.0);
    }
    if (out.empty()) out = Text("%.*f", places + 3, std::floor(v * std::pow(10.0, places + 3)) / std::pow(10.0, places + 3) + 0.0);
    return sign && out[0] != '-' && std::strtod(out.c_str(), nullptr) != 0.0 ? "+" + out : out;
}

Verdict Findings::Judge(const PeriodResult& p, const BatteryData& spec, const std::vector<CellFlag>& flags,
                        long rounds, const std::string& baseline_date, std::optional<double> baseline_capacity_pct,
                        const std::vector<std::optional<double>>& float_drift_mv) {
    Verdict v;
    if (rounds == 0) {
        v.state = "no data";
        v.findings.push_back({Finding::attention, "no round stored in the period", "nothing to judge the string by"});
        return v;
    }
    Capacity(p, spec, baseline_date, baseline_capacity_pct, v.findings);
    Resistance(p, spec, baseline_date, v.findings);
    Float(p, spec, v.findings);
    Drift(p, spec, baseline_date, float_drift_mv, v.findings);
    for (const auto& c : flags) {
        Finding f;
        f.severity = Finding::attention;
        f.text = Text("block %d: %.0f mV %s the string's mean %s; flagged", c.block, std::fabs(c.deviation_mv),
                      c.deviation_mv < 0 ? "below" : "above",
                      c.discharge ? "under discharge" : c.recharge ? "on recharge" : "at rest");
        f.evidence = Text("mean deviation over %ld rounds; flagged past %.0f mV", c.rounds, c.threshold_mv);
        v.findings.push_back(f);
    }
    std::stable_sort(v.findings.begin(), v.findings.end(),
                     [](const Finding& a, const Finding& b) { return a.severity > b.severity; });
    const int worst = v.findings.empty() ? 0 : v.findings.front().severity;
    v.state = worst == Finding::act ? "act now" : worst == Finding::attention ? "attention" : "good";
    return v;
}

}  // namespace verdict
