#include "report/StringVerdict.h"

#include <cmath>
#include <cstdio>
#include <sstream>

#include "basics/TimeStamp.h"
#include "report/StringReport.h"
#include "verdict/FloatDrift.h"

namespace report {

namespace {

std::string Html(const std::string& s) { return EscapeHtml(s); }

Json::Value Rounded(double v, int places) {
    const double scale = std::pow(10.0, places);
    return std::round(v * scale) / scale + 0.0;  // never -0
}

const char* SeverityName(verdict::Finding::Severity s) {
    return s == verdict::Finding::act ? "act now" : s == verdict::Finding::attention ? "attention" : "note";
}

}  // namespace

StringVerdict StringVerdict::For(SettingsChoice choice, uint32_t id, int cells) {
    StringVerdict v;
    v.id = id;
    v.spec = choice.settings.battery;
    v.battery_from = std::move(choice);
    v.blocks = v.spec.Blocks(cells);
    return v;
}

std::optional<verdict::Finding> StringVerdict::NeverAnswered(const std::vector<history::Health>& health) {
    const history::Health* last = nullptr;
    bool began_unanswered = false;
    for (const auto& h : health) {
        if (h.state == "answering") return std::nullopt;
        began_unanswered = began_unanswered || h.was == "never answered";
        last = &h;
    }
    if (!last || !began_unanswered) return std::nullopt;
    verdict::Finding f;
    f.severity = verdict::Finding::act;
    f.text = "never answered: " + last->state + " since " + last->since +
             (last->reason.empty() ? std::string() : " (" + last->reason + ")");
    f.evidence = "no round stored; its health changes say it never answered a cycle";
    return f;
}

std::vector<double> StringVerdict::BaselineOhms() const {
    std::vector<double> out;
    if (baseline)
        for (const auto& r : baseline->resistance_mohm) out.push_back(r.value_or(0.0));
    return out;
}

std::string StringVerdict::BaselineDate() const { return baseline ? baseline->taken_at.substr(0, 10) : ""; }

std::vector<std::optional<double>> StringVerdict::FloatDriftMv() const {
    std::vector<std::optional<double>> out;
    const auto means = figures.FloatMeanDeviations();
    for (std::size_t i = 0; i < means.size(); ++i)
        out.push_back(means[i] && baseline && i < baseline->float_v.size()
                          ? verdict::FloatDrift::Of(spec, *means[i], baseline->float_v[i], baseline->temperature_c)
                          : std::nullopt);
    return out;
}

verdict::Reading StringVerdict::ReadingOf(const Round& r, int blocks) {
    verdict::Reading x;
    x.ms = r.ms;
    for (int b = 0; b < blocks && b < static_cast<int>(r.cells.size()); ++b) x.blocks.push_back(r.cells[b]);
    x.voltage = r.voltage;
    x.current = r.current;
    x.temperature = r.temperature;
    return x;
}

verdict::Reading StringVerdict::ReadingOf(const history::Minute& m, int blocks) {
    verdict::Reading x;
    x.ms = m.first_ms;
    const double n = m.decoded > 0 ? static_cast<double>(m.decoded) : 1.0;
    for (int b = 0; b < blocks && b < static_cast<int>(m.cell_sum.size()); ++b) x.blocks.push_back(m.cell_sum[b] / n);
    x.voltage = m.voltage_sum / n;
    x.current = m.current_sum / n;
    x.temperature = m.temperature_sum / n;
    return x;
}

verdict::MinuteSpan StringVerdict::SpanOf(const history::Minute& m) {
    verdict::MinuteSpan s;
    s.first_ms = m.first_ms;
    s.last_ms = m.last_ms.value_or(m.minute_ms + 60000 - 1);
    s.rounds = m.decoded;
    return s;
}

std::optional<verdict::MinuteBounds> StringVerdict::BoundsOf(const history::Minute& m, int blocks) {
    if (!m.current_min || m.decoded <= 0) return std::nullopt;
    verdict::MinuteBounds b;
    b.current_min = *m.current_min;
    b.current_max = m.current_sum - static_cast<double>(m.decoded - 1) * *m.current_min;
    double low = 0, high = 0;
    int n = 0;
    for (int i = 0; i < blocks && i < static_cast<int>(m.cell_min.size()); ++i)
        if (m.cell_min[i] > 0) low += m.cell_min[i], high += m.cell_max[i], ++n;
    if (n == 0) return std::nullopt;
    b.block_low_v = low / n;
    b.block_high_v = high / n;
    return b;
}

std::vector<verdict::CellFlag> StringVerdict::Flags(const DeviceFigures& d) {
    std::vector<verdict::CellFlag> out;
    for (const auto* s : {&d.rest, &d.recharge, &d.discharge})
        for (const auto& c : s->cells)
            if (c.flagged)
                out.push_back({c.cell, c.deviation_mv, s == &d.discharge, c.n, s->threshold_mv, s == &d.recharge});
    return out;
}

Json::Value StringVerdict::ToJson() const {
    Json::Value v;
    v["state"] = verdict.state;
    v["findings"] = Json::arrayValue;
    for (const auto& f : verdict.findings) {
        Json::Value fj;
        fj["severity"] = SeverityName(f.severity);
        fj["finding"] = f.text;
        fj["evidence"] = f.evidence;
        v["findings"].append(fj);
    }
    Json::Value& from = v["battery_from"];
    from["source"] = battery_from.Key();
    from["run_id"] = battery_from.run_id ? Json::Value(Json::Int64(*battery_from.run_id)) : Json::Value();
    from["site_file"] = battery_from.site_file.empty() ? Json::Value() : Json::Value(battery_from.site_file);
    from["text"] = battery_from.Text();
    v["battery"] = spec.ToJson();
    Json::Value& cs = v["charge_state"];
    cs["last"] = figures.last_state ? Json::Value(verdict::ChargeName(*figures.last_state)) : Json::Value();
    cs["since"] = figures.last_state ? Json::Value(TimeStamp::FromMs(figures.last_state_since_ms).Text()) : Json::Value();
    for (const auto c : {verdict::Charge::discharge, verdict::Charge::recharge, verdict::Charge::floating,
                         verdict::Charge::rest})
        cs["seconds"][verdict::ChargeName(c)] = Rounded(figures.seconds[static_cast<std::size_t>(c)], 1);
    Json::Value& fl = v["float"];
    fl["rounds_judged"] = Json::Int64(figures.float_rounds);
    fl["rounds_held"] = Json::Int64(figures.float_held_rounds);
    fl["band_mv"] = spec.float_band_mv;
    fl["target_v_at_25c"] = spec.float_v;
    fl["last_target_v"] = figures.last_float ? Json::Value(Rounded(figures.last_float->target_v, 3)) : Json::Value();
    fl["last_temperature_c"] =
        figures.last_float ? Json::Value(Rounded(figures.last_float->temperature_c, 2)) : Json::Value();
    fl["blocks"] = Json::arrayValue;
    for (std::size_t i = 0; i < figures.out_of_band_rounds.size(); ++i) {
        Json::Value b;
        b["block"] = static_cast<int>(i) + 1;
        b["out_of_band_rounds"] = Json::Int64(figures.out_of_band_rounds[i]);
        b["worst_mv"] = figures.float_rounds ? Json::Value(Rounded(figures.worst_float_mv[i], 1)) : Json::Value();
        fl["blocks"].append(b);
    }
    if (baseline) {
        Json::Value& bj = v["baseline"];
        bj["taken_at"] = baseline->taken_at;
        bj["set_at"] = baseline->set_at;
        bj["temperature_c"] = baseline->temperature_c ? Json::Value(*baseline->temperature_c) : Json::Value();
        bj["string_v"] = baseline->string_v ? Json::Value(*baseline->string_v) : Json::Value();
        bj["capacity_pct"] = baseline->capacity_pct ? Json::Value(*baseline->capacity_pct) : Json::Value();
    } else {
        v["baseline"] = Json::Value();
    }
    // Each block's mean float voltage in the period against its baseline's,
    // both against their temperature-compensated target.
    const auto means = figures.FloatMeans();
    const auto drift = FloatDriftMv();
    for (std::size_t i = 0; i < means.size(); ++i) {
        Json::Value& b = fl["blocks"][static_cast<Json::ArrayIndex>(i)];
        b["mean_v"] = means[i] ? Json::Value(Rounded(*means[i], 3)) : Json::Value();
        b["drift_mv"] = drift[i] ? Json::Value(Rounded(*drift[i], 1)) : Json::Value();
    }
    Json::Value& rs = v["resistance"];
    rs["method"] = "median ΔV/ΔI over load steps, seen through the monitor's sampling, not a meter reading";
    rs["steps"] = Json::UInt64(figures.resistance_steps);
    rs["steps_not_kept"] = Json::Int64(figures.resistance_steps_not_kept);
    rs["steps_on_charge"] = Json::Int64(figures.resistance_steps_on_charge);
    rs["steps_too_small"] = Json::Int64(figures.resistance_steps_too_small);
    rs["max_uncertainty_pct"] = spec.step_max_uncertainty_pct;
    rs["note"] = figures.resistance_note.empty() ? Json::Value() : Json::Value(figures.resistance_note);
    rs["blocks"] = Json::arrayValue;
    for (const auto& b : figures.resistance) {
        Json::Value bj;
        bj["block"] = b.block;
        bj["steps"] = Json::Int64(b.steps);
        bj["median_mohm"] = b.median_mohm ? Json::Value(Rounded(*b.median_mohm, 2)) : Json::Value();
        bj["baseline_mohm"] = b.baseline_mohm ? Json::Value(Rounded(*b.baseline_mohm, 2)) : Json::Value();
        bj["rise_pct"] = b.rise_pct ? Json::Value(Rounded(*b.rise_pct, 1)) : Json::Value();
        bj["uncertainty_mohm"] = b.uncertainty_mohm ? Json::Value(Rounded(*b.uncertainty_mohm, 3)) : Json::Value();
        bj["rise_uncertainty_pct"] =
            b.rise_uncertainty_pct ? Json::Value(Rounded(*b.rise_uncertainty_pct, 1)) : Json::Value();
        bj["flag"] = b.flag;
        rs["blocks"].append(bj);
    }
    v["capacity_tests"] = Json::arrayValue;
    for (const auto& t : figures.tests) {
        Json::Value tj;
        tj["method"] = "IEEE 450 time-adjusted";
        tj["start"] = TimeStamp::FromMs(t.start_ms).Text();
        tj["end"] = TimeStamp::FromMs(t.end_ms).Text();
        tj["current_a"] = Rounded(t.current_a, 2);
        tj["temperature_c"] = Rounded(t.temperature_c, 2);
        tj["kt"] = Rounded(t.kt, 3);
        tj["kt_outside_table"] = t.kt_outside_table;
        tj["actual_min"] = Rounded(t.actual_min, 2);
        tj["rated_min"] = Rounded(t.rated_min, 2);
        tj["capacity_pct"] = Rounded(t.capacity_pct, 1);
        tj["lower_bound"] = t.lower_bound;
        tj["marked_by_operator"] = t.marked;
        tj["steady"] = t.steady;
        tj["first_block"] = t.first_block ? Json::Value(t.first_block) : Json::Value();
        tj["first_block_at"] = t.first_block ? Json::Value(TimeStamp::FromMs(t.first_block_ms).Text()) : Json::Value();
        tj["decision"] = t.decision;
        // IEEE 450's conditions the readings show unmet: a result with one
        // is given without a decision.
        tj["current_read"] = t.current_read;
        tj["conditions"] = Json::arrayValue;
        for (const auto& c : t.conditions) tj["conditions"].append(c);
        tj["temperature_range_c"] = Json::arrayValue;
        tj["temperature_range_c"].append(Rounded(t.temperature_min_c, 2));
        tj["temperature_range_c"].append(Rounded(t.temperature_max_c, 2));
        tj["float_before_s"] = t.float_before_s ? Json::Value(Rounded(*t.float_before_s, 1)) : Json::Value();
        tj["snapshots"] = Json::arrayValue;
        for (const auto& s : t.snapshots) {
            Json::Value sj;
            sj["fraction"] = s.fraction;
            sj["at"] = TimeStamp::FromMs(s.ms).Text();
            sj["blocks_v"] = Json::arrayValue;
            for (const double b : s.blocks) sj["blocks_v"].append(Rounded(b, 3));
            tj["snapshots"].append(sj);
        }
        v["capacity_tests"].append(tj);
    }
    v["capacity_tests_not_listed"] = Json::Int64(figures.tests_not_kept);
    // The time remaining at the period's last round, and what its Peukert
    // figure stands on (out of a discharge, what the next one's would).
    const auto& left = figures.remaining;
    Json::Value& tr = v["time_remaining"];
    tr["discharging"] = left.discharging;
    tr["minutes"] = left.discharging ? Json::Value(Rounded(left.minutes, 1)) : Json::Value();
    tr["method"] = left.discharging ? Json::Value(left.method) : Json::Value();
    tr["capacity_pct"] = Rounded(left.capacity_pct, 1);
    tr["capacity_from"] = left.capacity_from;
    tr["kt"] = Rounded(left.kt, 3);
    return v;
}

std::string StringVerdict::ToHtml() const {
    static const char* kColour[] = {"#2e7d32", "#b26a00", "#c62828"};
    const char* colour = verdict.state == "good" ? kColour[0] : verdict.state == "act now" ? kColour[2] : kColour[1];
    std::ostringstream o;
    o << "<section class='verdict' style='border-left:6px solid " << colour << ";padding:0 0 0 .6em;margin:1em 0'>"
      << "<h2 style='margin:.2em 0'>Device " << id << ": <span style='color:" << colour << "'>" << Html(verdict.state)
      << "</span></h2>";
    if (verdict.findings.empty()) {
        o << "<p>No finding: every figure within its limits.</p>";
    } else {
        o << "<ol style='margin:.3em 0;padding-left:1.4em'>";
        for (const auto& f : verdict.findings)
            o << "<li><b style='color:" << kColour[static_cast<int>(f.severity)] << "'>" << SeverityName(f.severity)
              << "</b> " << Html(f.text) << "<br><small>" << Html(f.evidence) << "</small></li>";
        o << "</ol>";
    }
    o << "<p><small>Battery data: " << Html(battery_from.Text())
      << "; float " << spec.float_v << " V per block at 25 °C, " << spec.temp_coeff_mv << " mV/°C, band ±"
      << spec.float_band_mv << " mV; " << spec.capacity_ah << " Ah over " << spec.capacity_hours << " h, end "
      << spec.end_v << " V per block; resistance flags at +" << spec.rise_investigate_pct << " % and +"
      << spec.rise_act_pct << " %; capacity below " << spec.replace_pct << " %: replace, below " << spec.retest_pct
      << " %: test again within a year.";
    o << "  Baseline: "
      << (baseline ? "of " + TimeHtml(baseline->taken_at) + " (kept " + TimeHtml(baseline->set_at) + ")"
                   : std::string("none (<code>bench-host baseline --set</code> keeps one)"))
      << ".";
    if (baseline) {
        // Each block against it, a block's figure kept on one line: past
        // its threshold in bold.
        const auto drift = FloatDriftMv();
        std::string drifts, rises;
        for (std::size_t i = 0; i < drift.size(); ++i) {
            if (!drift[i]) continue;
            char buf[48];
            std::snprintf(buf, sizeof buf, "%zu:&nbsp;%s", i + 1,
                          verdict::Findings::Figure(*drift[i], {-spec.float_band_mv, spec.float_band_mv}, 1, true)
                              .c_str());
            const bool past = !verdict::FloatCompliance::Flag(*drift[i], spec.float_band_mv).empty();
            drifts += (drifts.empty() ? "" : ", ") + (past ? "<b>" + std::string(buf) + "</b>" : std::string(buf));
        }
        for (const auto& b : figures.resistance) {
            if (!b.rise_pct) continue;
            char buf[48];
            std::snprintf(buf, sizeof buf, "%d:&nbsp;%s", b.block,
                          verdict::Findings::Figure(*b.rise_pct, {spec.rise_investigate_pct, spec.rise_act_pct}, 1, true)
                              .c_str());
            rises += (rises.empty() ? "" : ", ") + (b.flag.empty() ? std::string(buf) : "<b>" + std::string(buf) + "</b>");
        }
        o << "  Against the baseline, per block: float drift in mV (temperature-compensated) "
          << (drifts.empty() ? std::string("none (no round judged on float)") : drifts) << "; resistance rise in % "
          << (rises.empty() ? std::string("none (no usable load step)") : rises) << ".";
    }
    if (figures.last_state)
      o << "  Charge state at the end: " << verdict::ChargeName(*figures.last_state) << " since "
        << TimeHtml(TimeStamp::FromMs(figures.last_state_since_ms).Text()) << ".";
    o << "</small></p></section>";
    return o.str();
}

}  // namespace report
