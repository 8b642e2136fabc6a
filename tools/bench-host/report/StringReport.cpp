#include "report/StringReport.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <ctime>
#include <limits>
#include <map>
#include <set>
#include <sstream>

#include "record/AlarmEvaluator.h"
#include "report/PeriodClock.h"
#include "report/RoundTimeline.h"
#include "report/SettingsChoice.h"
#include "record/BatteryRecord.h"
#include "site/SiteConfig.h"
#include "history/BaselineStore.h"
#include "history/HistoryReader.h"
#include "history/KilledRuns.h"
#include "history/SqlConnection.h"
#include "basics/TimeStamp.h"

namespace {

using report::DeviceFigures;
using report::Series;

// Figures rounded to what the readings carry, so the JSON does not show
// 13.300000000000001 for a reading of 13.3.
double Rounded(double v, int digits) {
    if (!std::isfinite(v)) return 0.0;
    const double scale = std::pow(10.0, digits);
    return std::round(v * scale) / scale + 0.0;  // never -0
}

std::string TimeText(int64_t ms) { return TimeStamp::FromMs(ms).Text(); }

Json::Value Ms(const std::optional<int64_t>& ms) { return ms ? Json::Value(TimeText(*ms)) : Json::Value(); }

}  // namespace

std::optional<int64_t> ParseIsoTime(const std::string& text) {
    int y = 0, mo = 0, d = 0, h = 0, mi = 0, s = 0, used = 0;
    if (std::sscanf(text.c_str(), "%4d-%2d-%2d%n", &y, &mo, &d, &used) != 3 || used != 10) return std::nullopt;
    std::size_t at = 10;
    double frac = 0;
    if (at < text.size() && (text[at] == 'T' || text[at] == ' ')) {
        int n = 0;
        if (std::sscanf(text.c_str() + at + 1, "%2d:%2d%n", &h, &mi, &n) != 2 || n != 5) return std::nullopt;
        at += 6;
        if (at < text.size() && text[at] == ':') {
            if (std::sscanf(text.c_str() + at + 1, "%2d%n", &s, &n) != 1 || n != 2) return std::nullopt;
            at += 3;
            if (at < text.size() && text[at] == '.') {
                std::size_t e = at + 1;
                while (e < text.size() && std::isdigit(static_cast<unsigned char>(text[e]))) ++e;
                if (e == at + 1) return std::nullopt;
                frac = std::stod("0" + text.substr(at, e - at));
                at = e;
            }
        }
    }
    if (mo < 1 || mo > 12 || d < 1 || d > 31 || h > 23 || mi > 59 || s > 60) return std::nullopt;
    std::tm f{};
    f.tm_year = y - 1900;
    f.tm_mon = mo - 1;
    f.tm_mday = d;
    f.tm_hour = h;
    f.tm_min = mi;
    f.tm_sec = s;
    int64_t secs = 0;
    if (at == text.size()) {
        f.tm_isdst = -1;  // local time, summer time as it was then
        secs = static_cast<int64_t>(std::mktime(&f));
    } else {
        const std::string zone = text.substr(at);
        int offset_min = 0;
        if (zone != "Z") {
            int zh = 0, zm = 0, n = 0;
            if ((zone[0] != '+' && zone[0] != '-') ||
                std::sscanf(zone.c_str() + 1, "%2d:%2d%n", &zh, &zm, &n) != 2 || n != 5 || zh > 23 || zm > 59)
                return std::nullopt;
            offset_min = (zone[0] == '-' ? -1 : 1) * (zh * 60 + zm);
        }
        secs = static_cast<int64_t>(timegm(&f)) - offset_min * 60;
    }
    return secs * 1000 + static_cast<int64_t>(std::llround(frac * 1000.0));
}

StringReport StringReport::Build(HistoryReader& reader, const std::string& db, const Options& options) {
    StringReport r;
    r.db = db;
    r.generated_at = TimeStamp::Now().Text();
    r.from_ms = options.from_ms;
    r.to_ms = options.to_ms;
    r.settings = options.settings;
    std::set<int64_t> run_ids;
    int64_t first = std::numeric_limits<int64_t>::max(), last = std::numeric_limits<int64_t>::min();
    std::vector<std::pair<uint32_t, report::StringFigures>> figures;
    // The verdict's figures of each device, fed the same rounds.
    std::vector<std::pair<report::StringVerdict, verdict::PeriodFigures>> verdicts;
    // Where each run's rows lie on its monotonic clock: what is still open
    // at an edge of the period is measured on it.
    report::PeriodClock period;
    auto all_runs = reader.Runs();
    KilledRuns::Mark(all_runs);
    // The runs the operator marked as capacity tests.
    std::set<int64_t> test_runs;
    for (const auto& run : all_runs)
        if (!run.test_note.empty()) test_runs.insert(run.id);
    // The baselines, read over a connection of their own (a file from
    // before they were kept, or none at all, has none).
    std::unique_ptr<SqlConnection> baselines;
    try {
        baselines = HistoryReader::OpenReadOnly(db);
    } catch (const std::exception&) {
        baselines.reset();
    }
    const auto extent = options.use_summary ? reader.SummaryExtent() : std::nullopt;
    constexpr int64_t kMinute = 60000;
    // Forward steps of the wall clock: no gap between rounds kept without
    // their monotonic moment is made of one.
    std::vector<std::pair<int64_t, int64_t>> jumps;
    const auto notes = reader.Notes();
    for (const auto& n : notes)
        if (n.kind == "clock step" && n.step_ms && *n.step_ms > 0) jumps.push_back({n.at_ms - *n.step_ms, n.at_ms});
    // A step of the wall clock near the period: its rounds are read in the
    // order they came, not the wall clock's, and one by one, since the
    // summary's minutes are the wall clock's.
    const bool stepped = std::any_of(notes.begin(), notes.end(), [&](const history::Note& n) {
        if (n.kind != "clock step" || !n.step_ms) return false;
        const int64_t reach = std::abs(*n.step_ms);
        return (!options.from_ms || n.at_ms + reach >= *options.from_ms) && (!options.to_ms || n.at_ms - reach <= *options.to_ms);
    });
    // Every device a run polled, also one that never stored a round.
    std::vector<uint32_t> ids;
    if (options.device_id) {
        ids.push_back(*options.device_id);
    } else {
        std::set<uint32_t> all;
        for (const uint32_t id : reader.DeviceIds()) all.insert(id);
        for (const uint32_t id : reader.RunDeviceIds()) all.insert(id);
        ids.assign(all.begin(), all.end());
    }
    for (const uint32_t id : ids) {
        report::StringFigures f(id, options.settings);
        report::StringVerdict sv = report::StringVerdict::For(
            report::SettingsChoice::For(id, all_runs, reader.RunSettings(id), options.site, options.site_path,
                                        report::SettingsChoice::Files()),
            id, std::clamp(options.settings.cells, 1, 32));
        report::RoundTimeline timeline;
        const auto wall = [&](const history::Minute& m) {
            first = std::min(first, m.first_ms);
            last = std::max(last, m.last_ms.value_or(m.minute_ms + kMinute - 1));
        };
        if (baselines) sv.baseline = BaselineStore::Newest(*baselines, id);
        verdict::PeriodFigures pf(sv.spec, sv.blocks, sv.BaselineOhms(),
                                  sv.baseline ? sv.baseline->capacity_pct : std::nullopt);
        for (const auto& [from, to] : jumps) f.ClockJumpedForward(from, to);
        auto rounds = [&](std::optional<int64_t> from_ms, std::optional<int64_t> to_ms) {
            HistoryReader::Span span;
            span.from_ms = from_ms;
            span.to_ms = to_ms;
            span.stored_order = stepped;
            reader.ForEachRow(id, span, [&](const history::Row& row) {
                report::Round round;
                // Durations are measured on the run's monotonic clock.
                round.ms = timeline.At(row.run_id, row.saved_ms, row.mono_ms);
                round.monotonic = row.run_id && row.mono_ms;
                round.wall_ms = row.saved_ms;
                period.Seen(report::Moment{row.run_id, row.saved_ms, row.mono_ms});
                round.at = row.saved_at;
                round.run_id = row.run_id;
                // The period is the wall clock's, as every other row's time.
                first = std::min(first, row.saved_ms);
                last = std::max(last, row.saved_ms);
                // A round with a value the monitor marked invalid is counted
                // but not read, as the per-minute summary leaves it out of
                // its means.
                const auto rec = BatteryRecord::Decode(row.record.data(), row.record.size());
                if (rec && row.no_value == 0) {
                    round.decoded = true;
                    std::copy(rec->cells.begin(), rec->cells.end(), round.cells.begin());
                    round.voltage = rec->group_voltage;
                    round.current = rec->group_current;
                    round.temperature = rec->temperature;
                }
                f.Add(round);
                if (round.decoded)
                    pf.Add(report::StringVerdict::ReadingOf(round, sv.blocks), round.run_id && test_runs.count(*round.run_id));
                if (row.run_id) run_ids.insert(*row.run_id);
            });
        };
        // The whole minutes inside both the period and the summary are read
        // a minute at a time; the rounds around them one by one.
        int64_t lo = 0, hi = 0;
        if (extent) {
            const int64_t from = options.from_ms.value_or(std::numeric_limits<int64_t>::min() / 2);
            lo = std::max((from + kMinute - 1) / kMinute * kMinute,
                          extent->since_ms.value_or(std::numeric_limits<int64_t>::min() / 2));
            const int64_t to = options.to_ms.value_or(std::numeric_limits<int64_t>::max() / 2);
            hi = std::min((to + 1) / kMinute * kMinute, extent->through_ms);
        }
        if (!extent || lo >= hi) {
            rounds(options.from_ms, options.to_ms);
        } else if (stepped) {
            // Only the minutes whose rounds are gone come from the summary.
            const int64_t pruned = std::clamp(extent->pruned_before_ms.value_or(lo), lo, hi);
            reader.ForEachMinute(id, lo, pruned, [&](const history::Minute& m) {
                wall(m);
                f.AddMinute(m);
                pf.AddSummary(report::StringVerdict::ReadingOf(m, sv.blocks), report::StringVerdict::SpanOf(m));
            });
            timeline.Reanchor();
            rounds(pruned > lo ? std::optional<int64_t>(pruned) : options.from_ms, options.to_ms);
        } else {
            if (!options.from_ms || *options.from_ms < lo) rounds(options.from_ms, lo - 1);
            const int cells = std::clamp(options.settings.cells, 1, 32);
            // Rounds read one by one after a summarised minute are judged
            // with the trend of the rounds before them, as a run judged
            // them: those of the trend's window are read for it alone.
            bool after_summary = false;
            const auto prime = [&](int64_t before_ms) {
                if (!after_summary) return;
                after_summary = false;
                HistoryReader::Span span;
                span.from_ms = before_ms - verdict::ChargeState::kTrendMs;
                span.to_ms = before_ms - 1;
                reader.ForEachRow(id, span, [&](const history::Row& row) {
                    const auto rec = BatteryRecord::Decode(row.record.data(), row.record.size());
                    if (!rec || row.no_value != 0) return;
                    report::Round round;
                    round.ms = row.saved_ms;  // the next rounds anchor at their wall time too
                    std::copy(rec->cells.begin(), rec->cells.end(), round.cells.begin());
                    round.voltage = rec->group_voltage;
                    round.current = rec->group_current;
                    round.temperature = rec->temperature;
                    round.decoded = true;
                    pf.Prime(report::StringVerdict::ReadingOf(round, sv.blocks));
                });
            };
            // Reopened minutes have no rows yet: their rounds, in their place.
            std::size_t next_reopened = 0;
            const auto reopened_before = [&](int64_t before) {
                for (; next_reopened < extent->reopened.size() && extent->reopened[next_reopened] < before;
                     ++next_reopened) {
                    const int64_t m = extent->reopened[next_reopened];
                    if (m < lo) continue;
                    prime(m);
                    rounds(m, m + kMinute - 1);
                }
            };
            reader.ForEachMinute(id, lo, hi, [&](const history::Minute& m) {
                reopened_before(m.minute_ms);
                // A minute that may hold a discharge, an unread cell or an
                // unreadable record is read round by round, unless its
                // rounds were pruned: the minute is then all there is.
                const bool pruned = extent->pruned_before_ms && m.minute_ms < *extent->pruned_before_ms;
                bool plain = pruned || (m.current_min && *m.current_min > -options.settings.discharge_amps &&
                                        m.decoded == m.rounds);
                for (int i = 0; i < cells && plain && !pruned; ++i) plain = m.cell_min[i] > 0.0;
                plain = plain && (pruned || f.OneState(m));
                // The verdict's times in each charge state and its float
                // judgement are the rounds' own only where the minute
                // holds one state; else its rounds are read.
                const auto mean = report::StringVerdict::ReadingOf(m, sv.blocks);
                if (plain && !pruned) {
                    const auto bounds = report::StringVerdict::BoundsOf(m, sv.blocks);
                    plain = bounds && pf.OneState(mean, *bounds);
                }
                if (plain) {
                    // The rounds after it anchor afresh at their wall time,
                    // the minutes' own.
                    timeline.Reanchor();
                    wall(m);
                    f.AddMinute(m);
                    pf.AddSummary(mean, report::StringVerdict::SpanOf(m));
                    after_summary = true;
                } else {
                    prime(m.minute_ms);
                    rounds(m.minute_ms, m.minute_ms + kMinute - 1);
                }
            });
            reopened_before(hi);
            prime(hi);
            rounds(hi, options.to_ms);
        }
        figures.emplace_back(id, std::move(f));
        verdicts.emplace_back(std::move(sv), std::move(pf));
    }
    // Without a round the period is the runs' own: from the first start to
    // the last end known (a run without one, to its last counts).
    if (first > last) {
        for (const auto& run : all_runs) {
            const auto ended = run.ended_at.empty() ? std::nullopt : ParseIsoTime(run.ended_at);
            first = std::min(first, run.started_ms);
            last = std::max(last, ended.value_or(run.counted_ms.value_or(run.started_ms)));
        }
    }
    const bool any = first <= last;
    r.start_ms = options.from_ms.value_or(any ? first : 0);
    r.end_ms = options.to_ms.value_or(any ? last : 0);
    HistoryReader::Span span;
    span.from_ms = options.from_ms;
    span.to_ms = options.to_ms;
    period.Bound(r.start_ms, r.end_ms, options.from_ms.has_value(), options.to_ms.has_value());
    const auto within = [&](int64_t ms) { return ms >= r.start_ms && ms <= r.end_ms; };
    // A run's end within the period is a moment of it too: a run whose
    // devices never answered has no round to say how long it went on.
    for (const auto& run : all_runs) {
        const auto ended = run.ended_at.empty() ? std::nullopt : ParseIsoTime(run.ended_at);
        if (ended && run.lasted_ms && within(*ended)) period.Seen(report::Moment{run.id, *ended, run.lasted_ms});
    }
    std::vector<std::pair<std::vector<history::Alarm>, std::vector<history::Health>>> rows;
    for (auto& [id, f] : figures) {
        auto alarms = reader.Alarms(id, span);
        auto health = reader.HealthChanges(id);
        // Changes after the period cannot end a trouble within it (the
        // moment the change began; when it was written is later).
        health.erase(std::remove_if(health.begin(), health.end(),
                                    [&](const history::Health& h) { return h.since_ms > r.end_ms; }),
                     health.end());
        for (const auto& a : alarms) period.Seen(report::MomentOf(a));
        for (const auto& h : health)
            if (within(h.since_ms)) period.Seen(report::Moment{h.run_id, h.since_ms, h.since_mono_ms});
        rows.emplace_back(std::move(alarms), std::move(health));
    }
    for (auto& [id, f] : figures) {
        const auto& [alarms, health] = rows[r.devices.size()];
        const auto never = f.WatchSoFar().rounds == 0 ? report::StringVerdict::NeverAnswered(health) : std::nullopt;
        DeviceFigures d = f.Finish(alarms, health, period);
        for (const auto& n : notes) {
            if (n.device_id != id || n.at_ms < r.start_ms || n.at_ms > r.end_ms) continue;
            if (d.float_holds.size() < options.settings.max_alarms)
                d.float_holds.push_back(n);
            else
                ++d.float_holds_not_kept;
        }
        report::Tally(d.watch);
        auto& [sv, pf] = verdicts[r.devices.size()];
        sv.figures = pf.Finish();
        sv.verdict = verdict::Findings::Judge(sv.figures, sv.spec, report::StringVerdict::Flags(d), d.watch.rounds,
                                              sv.BaselineDate(),
                                              sv.baseline ? sv.baseline->capacity_pct : std::nullopt,
                                              sv.FloatDriftMv());
        if (never) {
            sv.verdict.state = report::StringVerdict::kNeverAnswered;
            sv.verdict.findings = {*never};
        }
        // The limits no stored alarm recorded: those the device was judged
        // by, and from where.
        for (const char* name : {"group_voltage", "group_current", "temperature"}) {
            for (const auto& [pattern, limits] : sv.battery_from.settings.alarms) {
                if (!AlarmEvaluator::Matches(pattern, name)) continue;
                for (const auto& [bound, value] : {std::pair{"low", limits.low}, std::pair{"high", limits.high}}) {
                    if (!value) continue;
                    const bool known = std::any_of(d.limits.begin(), d.limits.end(), [&, b = bound](const auto& l) {
                        return l.name == name && l.bound == b;
                    });
                    if (!known) d.limits.push_back({name, bound, *value, sv.battery_from.Text()});
                }
                break;  // the first pattern that names it
            }
        }
        r.verdicts.push_back(std::move(sv));
        r.devices.push_back(std::move(d));
    }
    // The runs that stored the rounds read one by one, and those whose
    // time overlaps the period (summarised minutes name no run); a run
    // without an end runs on from its start if it is the newest, and a
    // killed one up to its last written counts.
    for (auto& run : all_runs) {
        const auto started = ParseIsoTime(run.started_at);
        const auto ended = run.ended_at.empty() ? std::nullopt : ParseIsoTime(run.ended_at);
        const int64_t until = ended         ? *ended
                              : run.killed ? run.counted_ms.value_or(run.started_ms)
                                           : std::numeric_limits<int64_t>::max();
        const bool overlaps = any && started && *started <= r.end_ms && until >= r.start_ms;
        if (run_ids.count(run.id) || overlaps) r.runs.push_back(run);
    }
    // The steps of the wall clock in those runs: the times around each do
    // not compare, and the reader is told where it fell.
    for (const auto& n : notes) {
        if (n.kind != "clock step" || !n.step_ms) continue;
        if (std::any_of(r.runs.begin(), r.runs.end(), [&](const history::Run& x) { return x.id == n.run_id; }))
            r.clock_steps.push_back(n);
    }
    for (auto& d : r.devices) {
        const auto counts = reader.RunDevices(d.id);
        for (const auto& run : r.runs) {
            const auto c = std::find_if(counts.begin(), counts.end(),
                                        [&](const history::RunDevice& x) { return x.run_id == run.id; });
            if (c == counts.end()) {
                ++d.watch.runs_not_recorded;
                continue;
            }
            ++d.watch.runs_counted;
            d.watch.cycles_started += c->cycles;
            d.watch.cycles_completed += c->completed;
            d.watch.cycles_failed += c->lost;
            d.watch.resends += c->resends;
            if (c->late_polls) {
                d.watch.late_polls += static_cast<long>(*c->late_polls);
                ++d.watch.runs_with_late_polls;
            }
        }
    }
    return r;
}

namespace {

Json::Value CellJson(const report::CellStats& c) {
    Json::Value v;
    v["cell"] = c.cell;
    v["rounds"] = Json::Int64(c.n);
    if (c.n == 0) {
        v["mean_v"] = Json::Value();
        return v;
    }
    v["min_v"] = Rounded(c.min_v, 3);
    v["mean_v"] = Rounded(c.mean_v, 4);
    v["max_v"] = Rounded(c.max_v, 3);
    v["deviation_mv"] = Rounded(c.deviation_mv, 1);
    v["worst_deviation_mv"] = Rounded(c.worst_deviation_mv, 1);
    v["worst_at"] = TimeText(c.worst_ms);
    v["rank"] = c.rank;
    v["flagged"] = c.flagged;
    return v;
}

Json::Value StateJson(const report::StateFigures& s) {
    Json::Value v;
    v["rounds"] = Json::Int64(s.rounds);
    v["mean_cell_v"] = s.rounds > 0 ? Json::Value(Rounded(s.mean_cell_v, 4)) : Json::Value();
    v["flag_threshold_mv"] = s.threshold_mv;
    return v;
}

}  // namespace

Json::Value StringReport::ToJson() const {
    Json::Value root;
    Json::Value& head = root["report"];
    head["db"] = db;
    head["generated_at"] = generated_at;
    head["from"] = Ms(from_ms);
    head["to"] = Ms(to_ms);
    head["start"] = TimeText(start_ms);
    head["end"] = TimeText(end_ms);
    Json::Value& s = head["settings"];
    s["cells"] = settings.cells;
    s["discharge_amps"] = settings.discharge_amps;
    s["discharge_min_s"] = settings.discharge_min_s;
    s["max_gap_s"] = settings.max_gap_s;
    s["flag_rest_mv"] = settings.flag_rest_mv;
    s["flag_discharge_mv"] = settings.flag_discharge_mv;
    s["recharge_amps"] = settings.recharge_amps;
    s["flag_recharge_mv"] = settings.flag_recharge_mv;
    if (!unread.empty()) head["unread"] = unread;
    root["runs"] = Json::arrayValue;
    for (const auto& run : runs) {
        Json::Value v;
        v["run_id"] = Json::Int64(run.id);
        v["started_at"] = run.started_at;
        v["ended_at"] = run.ended_at.empty() ? Json::Value() : Json::Value(run.ended_at);
        v["killed"] = run.killed;
        // How far a run without an end is known to have gone.
        v["counted_to"] = run.ended_at.empty() ? Ms(run.counted_ms) : Json::Value();
        v["test_note"] = run.test_note.empty() ? Json::Value() : Json::Value(run.test_note);
        v["plugin_path"] = run.plugin_path;
        v["plugin_sha256"] = run.plugin_sha256;
        v["site_file"] = run.site_file;
        v["bench_host_version"] = run.version;
        v["lasted_s"] = run.lasted_ms ? Json::Value(static_cast<double>(*run.lasted_ms) / 1000.0) : Json::Value();
        root["runs"].append(v);
    }
    root["clock_steps"] = Json::arrayValue;
    for (const auto& n : clock_steps) {
        Json::Value v;
        v["run_id"] = Json::Int64(n.run_id);
        v["at"] = n.at;
        v["step_s"] = static_cast<double>(*n.step_ms) / 1000.0;
        root["clock_steps"].append(v);
    }
    root["devices"] = Json::arrayValue;
    for (const auto& d : devices) {
        Json::Value dev;
        dev["id"] = d.id;
        const auto& w = d.watch;
        Json::Value& wj = dev["watch"];
        wj["rounds"] = Json::Int64(w.rounds);
        wj["undecoded_rounds"] = Json::Int64(w.undecoded);
        wj["rounds_from_summary"] = Json::Int64(w.rounds_from_summary);
        wj["first_round_at"] = w.rounds > 0 ? Json::Value(w.first_at) : Json::Value();
        wj["last_round_at"] = w.rounds > 0 ? Json::Value(w.last_at) : Json::Value();
        wj["longest_gap_s"] = Rounded(w.longest_gap_s, 3);
        wj["silent_periods"] = Json::Int64(w.silent_periods);
        wj["silent_s"] = Rounded(w.silent_s, 3);
        wj["port_outages"] = Json::Int64(w.outages);
        wj["port_outage_s"] = Rounded(w.outage_s, 3);
        wj["stale_periods"] = Json::Int64(w.stale_periods);
        wj["stale_s"] = Rounded(w.stale_s, 3);
        wj["cycles_lost"] = Json::Int64(w.cycles_lost);
        // The runs' own counts of their poll cycles (whole runs).
        Json::Value& cj = wj["cycles"];
        cj["runs_counted"] = Json::Int64(w.runs_counted);
        cj["runs_not_recorded"] = Json::Int64(w.runs_not_recorded);
        if (w.runs_counted > 0) {
            cj["started"] = Json::Int64(w.cycles_started);
            cj["completed"] = Json::Int64(w.cycles_completed);
            cj["lost"] = Json::Int64(w.cycles_failed);
            cj["resends"] = Json::Int64(w.resends);
        }
        // Null where no run in the period kept them: never a made-up 0.
        wj["late_polls"] = w.runs_with_late_polls > 0 ? Json::Value(Json::Int64(w.late_polls)) : Json::Value();
        wj["troubles"] = Json::arrayValue;
        for (const auto& t : w.troubles) {
            Json::Value v;
            v["state"] = t.state;
            v["since"] = t.since;
            v["until"] = t.until_ms ? Json::Value(t.until) : Json::Value();
            v["duration_s"] = Rounded(t.duration_s, 3);
            v["cycles_lost"] = Json::Int64(t.cycles_lost);
            v["reason"] = t.reason;
            wj["troubles"].append(v);
        }
        dev["rest"] = StateJson(d.rest);
        dev["recharge"] = StateJson(d.recharge);
        dev["under_discharge"] = StateJson(d.discharge);
        dev["load_step_rounds"] = Json::Int64(d.load_step_rounds);
        dev["cells"] = Json::arrayValue;
        for (std::size_t i = 0; i < d.rest.cells.size(); ++i) {
            Json::Value c = CellJson(d.rest.cells[i]);
            Json::Value under = CellJson(d.discharge.cells[i]);
            under.removeMember("cell");
            c["discharge"] = under;
            Json::Value charging = CellJson(d.recharge.cells[i]);
            charging.removeMember("cell");
            c["recharge"] = charging;
            dev["cells"].append(c);
        }
        dev["discharges"] = Json::arrayValue;
        for (const auto& e : d.discharges) {
            Json::Value v;
            v["start"] = e.start_at;
            v["end"] = e.end_at;
            v["duration_s"] = Rounded(static_cast<double>(e.end_ms - e.start_ms) / 1000.0, 3);
            v["rounds"] = Json::Int64(e.rounds);
            v["ampere_hours"] = Rounded(e.ampere_hours, 5);
            v["mean_current_a"] = Rounded(e.mean_current_a, 2);
            v["peak_current_a"] = Rounded(e.peak_current_a, 2);
            v["end_voltage_v"] = Rounded(e.end_voltage_v, 2);
            v["end_cells_v"] = Json::arrayValue;
            for (double c : e.end_cells_v) v["end_cells_v"].append(Rounded(c, 3));
            v["lowest_cell"] = e.lowest_cell;
            v["lowest_v"] = Rounded(e.lowest_v, 3);
            v["lowest_at"] = e.lowest_at;
            v["ended_by"] = report::DischargeEndName(e.ended_by);
            dev["discharges"].append(v);
        }
        dev["discharges_not_listed"] = Json::Int64(d.discharges_not_kept);
        dev["alarms"] = Json::arrayValue;
        for (const auto& a : d.alarms) {
            Json::Value v;
            v["name"] = a.name;
            v["label"] = a.label;
            v["bound"] = a.bound;
            v["value"] = Rounded(a.value, 3);
            v["limit"] = Rounded(a.limit, 3);
            v["raised_at"] = a.raised_at;
            v["raised_before_period"] = a.raised_before;
            v["ended_at"] = a.ended_ms ? Json::Value(a.ended_at) : Json::Value();
            v["ended_by"] = report::AlarmEndName(a.ended_by);
            v["duration_s"] = Rounded(a.duration_s, 3);
            dev["alarms"].append(v);
        }
        dev["alarms_not_listed"] = Json::Int64(d.alarms_not_kept);
        dev["float_alarm_holds"] = Json::arrayValue;
        for (const auto& n : d.float_holds) {
            Json::Value v;
            v["at"] = n.at;
            v["state"] = n.kind == "float alarms resumed" ? "resumed" : "held";
            v["text"] = n.text;
            dev["float_alarm_holds"].append(v);
        }
        dev["float_alarm_holds_not_listed"] = Json::Int64(d.float_holds_not_kept);
        dev["limits"] = Json::arrayValue;
        for (const auto& l : d.limits) {
            Json::Value v;
            v["name"] = l.name;
            v["bound"] = l.bound;
            v["value"] = Rounded(l.value, 3);
            v["from"] = l.source.empty() ? Json::Value("alarm") : Json::Value(l.source);
            dev["limits"].append(v);
        }
        const auto i = static_cast<std::size_t>(&d - devices.data());
        if (i < verdicts.size()) dev["verdict"] = verdicts[i].ToJson();
        root["devices"].append(dev);
    }
    return root;
}
