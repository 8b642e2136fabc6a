#include "report/StringFigures.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <utility>

#include "basics/TimeStamp.h"

namespace report {

namespace {

constexpr double kMsPerHour = 3600.0 * 1000.0;

double Seconds(int64_t from_ms, int64_t to_ms) { return static_cast<double>(to_ms - from_ms) / 1000.0; }

bool IsTrouble(const std::string& state) {
    return state == "not answering" || state == "port lost" || state == "stale";
}

}  // namespace

StringFigures::StringFigures(uint32_t device_id, const Settings& settings) : settings_(settings) {
    settings_.cells = std::clamp(settings_.cells, 1, 32);
    out_.id = device_id;
    out_.string_chart = Series(3, settings_.chart_points);
    out_.deviation_chart = Series(static_cast<std::size_t>(settings_.cells), settings_.chart_points);
    rest_.cells.resize(settings_.cells);
    recharge_.cells.resize(settings_.cells);
    discharge_.cells.resize(settings_.cells);
    pending_.cells.resize(settings_.cells);
}

void StringFigures::AddToState(StateAcc& s, const Round& r, double mean) {
    ++s.rounds;
    s.mean_sum += mean;
    for (int i = 0; i < settings_.cells; ++i) {
        const double v = r.cells[i];
        // A cell the plug-in could not read stays out of every figure.
        if (!(v > 0.0)) continue;
        Acc& a = s.cells[i];
        const double dev = (v - mean) * 1000.0;
        if (a.n == 0) {
            a.min_v = a.max_v = v;
        }
        ++a.n;
        a.sum_v += v;
        a.sum_dev += dev;
        a.min_v = std::min(a.min_v, v);
        a.max_v = std::max(a.max_v, v);
        if (std::fabs(dev) > std::fabs(a.worst) || a.n == 1) {
            a.worst = dev;
            a.worst_ms = r.ms;
        }
    }
}

void StringFigures::Merge(StateAcc& into, const StateAcc& from) {
    into.rounds += from.rounds;
    into.mean_sum += from.mean_sum;
    for (std::size_t i = 0; i < into.cells.size(); ++i) {
        Acc& a = into.cells[i];
        const Acc& b = from.cells[i];
        if (b.n == 0) continue;
        if (a.n == 0) {
            a = b;
            continue;
        }
        a.n += b.n;
        a.sum_v += b.sum_v;
        a.sum_dev += b.sum_dev;
        a.min_v = std::min(a.min_v, b.min_v);
        a.max_v = std::max(a.max_v, b.max_v);
        if (std::fabs(b.worst) > std::fabs(a.worst)) {
            a.worst = b.worst;
            a.worst_ms = b.worst_ms;
        }
    }
}

const char* DischargeEndName(DischargeEnd e) {
    switch (e) {
        case DischargeEnd::current: return "current";
        case DischargeEnd::gap: return "gap";
        case DischargeEnd::period: return "period";
    }
    return "period";
}

RoundState StringFigures::StateOf(double current) const {
    if (current <= -settings_.discharge_amps) return RoundState::discharge;
    return current > settings_.recharge_amps ? RoundState::recharge : RoundState::rest;
}

void StringFigures::CloseDischarge(DischargeEnd why) {
    if (!open_) return;
    Discharge& d = *open_;
    d.ended_by = why;
    if (d.rounds > 0) d.mean_current_a = current_sum_ / static_cast<double>(d.rounds);
    if (Seconds(d.start_ms, d.end_ms) >= settings_.discharge_min_s) {
        Merge(discharge_, pending_);
        if (out_.discharges.size() < settings_.max_discharges)
            out_.discharges.push_back(std::move(d));
        else
            ++out_.discharges_not_kept;
    } else {
        // A load step: neither float nor a discharge.
        out_.load_step_rounds += pending_.rounds;
    }
    pending_ = StateAcc();
    pending_.cells.resize(settings_.cells);
    open_.reset();
}

void StringFigures::Gap(int64_t from_ms, int64_t to_ms, bool measured) {
    Watch& w = out_.watch;
    double gap = Seconds(from_ms, to_ms);
    // The part of the gap the clock skipped; with a step back before it, a
    // jump may begin before the gap does.
    for (const auto& [jump_from, jump_to] : jumps_) {
        if (measured) break;
        gap -= std::max(0.0, Seconds(std::max(from_ms, jump_from), std::min(to_ms, jump_to)));
    }
    if (gap > w.longest_gap_s) {
        w.longest_gap_s = gap;
        w.longest_gap_after_ms = from_ms;
    }
}

void StringFigures::Add(const Round& r) {
    Watch& w = out_.watch;
    if (w.rounds == 0) {
        w.first_ms = r.ms;
        w.first_at = r.at;
    } else {
        const bool measured = r.monotonic && r.run_id && last_monotonic_run_ == r.run_id;
        // From another run, or after a minute of the summary: the two lie on
        // no one monotonic clock, and the wall clock's times compare.
        if (measured)
            Gap(w.last_ms, r.ms, true);
        else
            Gap(last_wall_ms_, r.wall_ms.value_or(r.ms));
    }
    last_monotonic_run_ = r.monotonic ? r.run_id : std::nullopt;
    last_wall_ms_ = r.wall_ms.value_or(r.ms);
    ++w.rounds;
    w.last_ms = r.ms;
    w.last_at = r.at;
    if (!r.decoded) {
        ++w.undecoded;
        return;
    }

    double sum = 0;
    int used = 0;
    for (int i = 0; i < settings_.cells; ++i)
        if (r.cells[i] > 0.0f) sum += r.cells[i], ++used;
    const double mean = used > 0 ? sum / used : 0.0;

    out_.string_chart.Add(r.ms, {r.voltage, r.current, r.temperature});
    std::vector<double> dev(settings_.cells, 0.0);
    for (int i = 0; i < settings_.cells; ++i)
        if (r.cells[i] > 0.0f) dev[i] = (r.cells[i] - mean) * 1000.0;
    out_.deviation_chart.Add(r.ms, dev);

    const RoundState state = StateOf(r.current);
    const bool discharging = state == RoundState::discharge;
    if (open_ && (!discharging || Seconds(open_->end_ms, r.ms) > settings_.max_gap_s))
        CloseDischarge(discharging ? DischargeEnd::gap : DischargeEnd::current);
    if (!discharging) {
        AddToState(state == RoundState::recharge ? recharge_ : rest_, r, mean);
        return;
    }
    if (!open_) {
        open_.emplace();
        open_->start_ms = open_->end_ms = r.ms;
        open_->start_at = r.at;
        open_->lowest_v = std::numeric_limits<double>::infinity();
        open_->cells_chart = Series(static_cast<std::size_t>(settings_.cells), settings_.chart_points);
        current_sum_ = 0;
    } else {
        // Trapezoids between the event's rounds: the charge drawn.
        const double hours = static_cast<double>(r.ms - open_->end_ms) / kMsPerHour;
        open_->ampere_hours += -(r.current + last_current_) / 2.0 * hours;
    }
    Discharge& d = *open_;
    last_current_ = r.current;
    current_sum_ += r.current;
    ++d.rounds;
    d.end_ms = r.ms;
    d.end_at = r.at;
    d.peak_current_a = std::min<double>(d.peak_current_a, r.current);
    d.end_voltage_v = r.voltage;
    d.end_cells_v.assign(r.cells.begin(), r.cells.begin() + settings_.cells);
    std::vector<double> volts(d.end_cells_v);
    for (int i = 0; i < settings_.cells; ++i) {
        if (r.cells[i] > 0.0f && r.cells[i] < d.lowest_v) {
            d.lowest_v = r.cells[i];
            d.lowest_cell = i + 1;
            d.lowest_ms = r.ms;
            d.lowest_at = r.at;
        }
    }
    d.cells_chart.Add(r.ms, volts);
    AddToState(pending_, r, mean);
}

void StringFigures::AddMinute(const history::Minute& m) {
    Watch& w = out_.watch;
    // Its last round; in minutes summarised before that was kept, the
    // latest it can be.
    const int64_t last = m.last_ms.value_or(m.minute_ms + 60000 - 1);
    if (w.rounds == 0) {
        w.first_ms = m.first_ms;
        w.first_at = TimeStamp::FromMs(m.first_ms).Text();
    } else {
        Gap(last_wall_ms_, m.first_ms);
    }
    last_monotonic_run_.reset();
    last_wall_ms_ = last;
    w.rounds += m.rounds;
    w.rounds_from_summary += m.rounds;
    w.undecoded += m.rounds - m.decoded;
    w.last_ms = last;
    w.last_at = TimeStamp::FromMs(w.last_ms).Text();
    if (m.decoded <= 0) return;
    // A rest minute: any discharge open before it ended before it.
    CloseDischarge(DischargeEnd::current);
    const double n = static_cast<double>(m.decoded);
    const int cells = settings_.cells;
    double cell_sum = 0;
    for (int i = 0; i < cells; ++i) cell_sum += m.cell_sum[i];
    const double mean = cell_sum / (n * cells);

    Series::Bucket sb;
    sb.first_ms = m.first_ms;
    sb.last_ms = last;
    sb.n = m.decoded;
    sb.sum = {m.voltage_sum, m.current_sum, m.temperature_sum};
    // The summary keeps no extremes of these: the band is the minute's mean.
    sb.min = sb.max = {m.voltage_sum / n, m.current_sum / n, m.temperature_sum / n};
    out_.string_chart.AddBucket(sb);
    Series::Bucket db;
    db.first_ms = m.first_ms;
    db.last_ms = last;
    db.n = m.decoded;
    for (int i = 0; i < cells; ++i) {
        const double dev = (m.cell_sum[i] / n - mean) * 1000.0;
        db.sum.push_back(dev * n);
        db.min.push_back((m.cell_min[i] - mean) * 1000.0);
        db.max.push_back((m.cell_max[i] - mean) * 1000.0);
    }
    out_.deviation_chart.AddBucket(db);

    StateAcc& into = m.current_min && StateOf(*m.current_min) == RoundState::recharge ? recharge_ : rest_;
    into.rounds += m.decoded;
    into.mean_sum += mean * n;
    for (int i = 0; i < cells; ++i) {
        Acc& a = into.cells[i];
        const double lo = (m.cell_min[i] - mean) * 1000.0, hi = (m.cell_max[i] - mean) * 1000.0;
        if (a.n == 0) a.min_v = m.cell_min[i], a.max_v = m.cell_max[i];
        a.n += m.decoded;
        a.sum_v += m.cell_sum[i];
        a.sum_dev += m.cell_sum[i] * 1000.0 - mean * 1000.0 * n;
        a.min_v = std::min(a.min_v, m.cell_min[i]);
        a.max_v = std::max(a.max_v, m.cell_max[i]);
        for (const double dev : {lo, hi}) {
            if (std::fabs(dev) > std::fabs(a.worst)) {
                a.worst = dev;
                a.worst_ms = m.minute_ms;
            }
        }
    }
}

bool StringFigures::OneState(const history::Minute& m) const {
    if (!m.current_min || m.decoded <= 0) return false;
    const double highest = m.current_sum - static_cast<double>(m.decoded - 1) * *m.current_min;
    return *m.current_min > settings_.recharge_amps || highest <= settings_.recharge_amps;
}

StateFigures StringFigures::Rank(const StateAcc& s, double threshold) const {
    StateFigures f;
    f.rounds = s.rounds;
    f.threshold_mv = threshold;
    if (s.rounds > 0) f.mean_cell_v = s.mean_sum / static_cast<double>(s.rounds);
    for (int i = 0; i < settings_.cells; ++i) {
        const Acc& a = s.cells[i];
        CellStats c;
        c.cell = i + 1;
        c.n = a.n;
        if (a.n > 0) {
            const double n = static_cast<double>(a.n);
            c.min_v = a.min_v;
            c.max_v = a.max_v;
            c.mean_v = a.sum_v / n;
            c.deviation_mv = a.sum_dev / n;
            c.worst_deviation_mv = a.worst;
            c.worst_ms = a.worst_ms;
            // A cell well above the rest is as wrong as one below: a
            // shorted neighbour pushes the others' share of the float up.
            c.flagged = std::fabs(c.deviation_mv) > threshold;
        }
        f.cells.push_back(c);
    }
    // Weakest first: the lowest mean deviation; unread cells last.
    std::vector<int> order;
    for (int i = 0; i < settings_.cells; ++i)
        if (f.cells[i].n > 0) order.push_back(i);
    std::stable_sort(order.begin(), order.end(),
                     [&](int a, int b) { return f.cells[a].deviation_mv < f.cells[b].deviation_mv; });
    for (std::size_t k = 0; k < order.size(); ++k) f.cells[order[k]].rank = static_cast<int>(k) + 1;
    return f;
}

DeviceFigures StringFigures::Finish(const std::vector<history::Alarm>& alarms,
                                    const std::vector<history::Health>& health, const PeriodClock& period) {
    CloseDischarge(DischargeEnd::period);
    out_.rest = Rank(rest_, settings_.flag_rest_mv);
    out_.recharge = Rank(recharge_, settings_.flag_recharge_mv);
    out_.discharge = Rank(discharge_, settings_.flag_discharge_mv);
    out_.alarms = AlarmSpans(alarms, period, settings_.max_alarms, &out_.alarms_not_kept);
    for (const auto& a : alarms) {
        if (a.state != "raised") continue;
        auto it = std::find_if(out_.limits.begin(), out_.limits.end(), [&](const DeviceFigures::Limit& l) {
            return l.name == a.name && l.bound == a.bound;
        });
        if (it == out_.limits.end()) out_.limits.push_back({a.name, a.bound, a.limit, ""});
        else it->value = a.limit;  // the latest in force
    }
    out_.watch.troubles = Troubles(health, period);
    Tally(out_.watch);
    return std::move(out_);
}

void Tally(Watch& w) {
    w.silent_periods = w.outages = w.stale_periods = 0;
    w.silent_s = w.outage_s = w.stale_s = 0;
    w.cycles_lost = 0;
    for (const auto& t : w.troubles) {
        w.cycles_lost += t.cycles_lost;
        if (t.state == "not answering") ++w.silent_periods, w.silent_s += t.duration_s;
        if (t.state == "port lost") ++w.outages, w.outage_s += t.duration_s;
        if (t.state == "stale") ++w.stale_periods, w.stale_s += t.duration_s;
    }
}

std::vector<Trouble> Troubles(const std::vector<history::Health>& health, const PeriodClock& period) {
    std::vector<Trouble> out;
    std::vector<Moment> began, until;  // of each trouble; until's wall time 0 while it goes on
    std::optional<std::size_t> open;
    for (const auto& h : health) {
        const Moment at{h.run_id, h.since_ms, h.since_mono_ms};
        if (open) {
            Trouble& t = out[*open];
            t.until_ms = h.since_ms;
            t.until = h.since;
            t.duration_s = Lasted(h.lasted_ms, period, began[*open], at);
            until[*open] = at;
            // The change that ends a trouble counts the cycles it cost.
            t.cycles_lost = std::max(t.cycles_lost, h.cycles_lost);
            if (!h.reason.empty()) t.reason = h.reason;
            open.reset();
        }
        if (!IsTrouble(h.state)) continue;
        Trouble t;
        t.state = h.state;
        t.since_ms = h.since_ms;
        t.since = h.since;
        t.cycles_lost = h.cycles_lost;
        t.reason = h.reason;
        open = out.size();
        out.push_back(t);
        began.push_back(at);
        until.push_back(Moment{});
    }
    if (open) out[*open].duration_s = period.Seconds(began[*open], period.End());
    if (!period.StartGiven()) return out;
    // Troubles over before a period asked for are not its own; one that
    // began before it counts from its start.  Without --from the period is
    // the whole history: a trouble whose wall time a step of the clock put
    // before the first round is still its own, with its length as measured.
    std::vector<Trouble> kept;
    for (std::size_t i = 0; i < out.size(); ++i) {
        Trouble& t = out[i];
        if (t.until_ms && *t.until_ms < period.StartMs()) continue;
        if (t.since_ms < period.StartMs()) {
            t.since_ms = period.StartMs();
            t.since = TimeStamp::FromMs(period.StartMs()).Text();
            t.duration_s = period.Seconds(period.Start(), t.until_ms ? until[i] : period.End());
        }
        kept.push_back(std::move(t));
    }
    return kept;
}

}  // namespace report
