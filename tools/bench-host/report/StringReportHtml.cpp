// The report as one HTML file.  Charts are SVG drawn here from the
// figures' buckets: no script runs, so the page prints as it shows, opens
// where scripts are blocked, and its content policy can forbid every
// request outright.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <ctime>
#include <limits>
#include <sstream>

#include "report/ChartTicks.h"
#include "report/StringReport.h"
#include "basics/TextEscape.h"
#include "basics/TimeStamp.h"

std::string report::EscapeHtml(const std::string& s) { return TextEscape::Html(s); }

std::string report::TimeHtml(const std::string& stamp) { return "<span class='t'>" + EscapeHtml(stamp) + "</span>"; }

std::string report::PathHtml(const std::string& path) {
    // Each piece ends at its '/' and never wraps (not at a '-' either);
    // the line may break only between pieces.
    std::string out = "<span class='path'>";
    std::size_t from = 0;
    while (from < path.size()) {
        const std::size_t slash = path.find('/', from);
        const std::size_t to = slash == std::string::npos ? path.size() : slash + 1;
        out += (from ? "<wbr><span>" : "<span>") + EscapeHtml(path.substr(from, to - from)) + "</span>";
        from = to;
    }
    return out + "</span>";
}

namespace {

using report::DeviceFigures;
using report::Series;

// One escape for every text the report's pages carry.
std::string Esc(const std::string& s) { return report::EscapeHtml(s); }

std::string Fixed(double v, int digits) {
    if (!std::isfinite(v)) return "–";
    char buf[64];
    std::snprintf(buf, sizeof buf, "%.*f", digits, v);
    // "-0.0" reads as a sign that is not there.
    if (std::string(buf).find_first_of("123456789") == std::string::npos && buf[0] == '-') return buf + 1;
    return buf;
}

// A sign only on a figure that shows one: +0.0 is 0.0.
std::string Signed(double v, int digits) {
    const std::string s = Fixed(v, digits);
    return (v > 0 && s.find_first_of("123456789") != std::string::npos ? "+" : "") + s;
}

std::string When(int64_t ms) { return TimeStamp::FromMs(ms).Text(); }

// A moment in a table: whole on one line.
std::string Time(const std::string& stamp) { return report::TimeHtml(stamp); }
std::string Time(int64_t ms) { return Time(When(ms)); }

// "2 h 03 min 05 s" for a person; seconds below a minute keep a decimal.
std::string Duration(double s) {
    if (s < 60) return Fixed(s, 1) + " s";
    const long t = std::lround(s);
    char buf[64];
    if (t < 3600) std::snprintf(buf, sizeof buf, "%ld min %02ld s", t / 60, t % 60);
    else if (t < 86400) std::snprintf(buf, sizeof buf, "%ld h %02ld min %02ld s", t / 3600, t % 3600 / 60, t % 60);
    else std::snprintf(buf, sizeof buf, "%ld d %02ld h %02ld min", t / 86400, t % 86400 / 3600, t % 3600 / 60);
    return buf;
}

constexpr double kW = 720, kH = 200, kL = 60, kR = 10, kT = 12, kB = 30;

struct Frame {
    int64_t t0, t1;
    double lo, hi;
    double X(int64_t ms) const {
        return t1 > t0 ? kL + (kW - kL - kR) * static_cast<double>(ms - t0) / static_cast<double>(t1 - t0) : kL;
    }
    double Y(double v) const { return hi > lo ? kT + (kH - kT - kB) * (hi - v) / (hi - lo) : kH / 2; }
};

// The local clock's offset from UTC at a moment, in seconds east.
long OffsetAt(int64_t ms) {
    const std::time_t t = static_cast<std::time_t>(ms / 1000);
    std::tm tm{};
    localtime_r(&t, &tm);
    return tm.tm_gmtoff;
}

// A time axis from t0 at x0 to t1 at x1: ticks on round times up to last
// (the last moment drawn, at or before t1), labelled at y_label, with the
// first and last moments in full beneath them.
std::string TimeAxis(int64_t t0, int64_t t1, int64_t last, double x0, double x1, double y_top, double y_bottom,
                     double y_label) {
    std::ostringstream o;
    const auto ticks = report::ChartTicks::Times(t0, last, 7, OffsetAt(t0));
    const auto x = [&](int64_t ms) {
        return t1 > t0 ? x0 + (x1 - x0) * static_cast<double>(ms - t0) / static_cast<double>(t1 - t0) : x0;
    };
    for (const int64_t ms : ticks.ms) {
        // A label at either end is held inside the chart.
        const char* anchor = x(ms) > x1 - 24 ? "end" : x(ms) < x0 + 24 ? "start" : "middle";
        o << "<line x1='" << x(ms) << "' x2='" << x(ms) << "' y1='" << y_top << "' y2='" << y_bottom + 3
          << "' stroke='#eee'/><text x='" << x(ms) << "' y='" << y_label << "' text-anchor='" << anchor << "'>"
          << Esc(report::ChartTicks::Label(When(ms), ticks.step_ms)) << "</text>";
    }
    o << "<text x='" << x0 << "' y='" << y_label + 14 << "' fill='#555'>" << Esc(When(t0)) << "</text>";
    o << "<text x='" << x(last) << "' y='" << y_label + 14 << "' text-anchor='end' fill='#555'>" << Esc(When(last))
      << "</text>";
    return o.str();
}

std::string Axes(const Frame& f, const std::string& unit) {
    std::ostringstream o;
    o << "<rect x='" << kL << "' y='" << kT << "' width='" << kW - kL - kR << "' height='" << kH - kT - kB
      << "' fill='none' stroke='#999'/>";
    const auto ticks = report::ChartTicks::Values(f.lo, f.hi, 6);
    for (const double v : ticks.values) {
        o << "<text x='" << kL - 4 << "' y='" << f.Y(v) + 4 << "' text-anchor='end'>" << Fixed(v, ticks.digits)
          << "</text><line x1='" << kL << "' x2='" << kW - kR << "' y1='" << f.Y(v) << "' y2='" << f.Y(v)
          << "' stroke='#eee'/>";
    }
    o << "<text x='4' y='" << kT + 4 << "'>" << Esc(unit) << "</text>";
    o << TimeAxis(f.t0, f.t1, f.t1, kL, kW - kR, kT, kH - kB, kH - kB + 13);
    return o.str();
}

std::string SvgOpen(const std::string& label) {
    return "<svg viewBox='0 0 " + Fixed(kW, 0) + " " + Fixed(kH, 0) + "' role='img' aria-label='" + Esc(label) +
           "' font-size='11'>";
}

// One channel: its mean through the buckets, with the band of its lowest
// and highest readings, and the limits in force.
std::string LineChart(const Series& s, std::size_t ch, const std::string& what, const std::string& unit, int digits,
                      const std::vector<std::pair<std::string, double>>& limits, int64_t max_gap_ms) {
    const auto& b = s.Buckets();
    if (b.empty()) return "<p class='none'>No readings.</p>";
    Frame f{b.front().first_ms, b.back().last_ms, std::numeric_limits<double>::infinity(),
            -std::numeric_limits<double>::infinity()};
    for (const auto& x : b) f.lo = std::min(f.lo, x.min[ch]), f.hi = std::max(f.hi, x.max[ch]);
    for (const auto& l : limits) f.lo = std::min(f.lo, l.second), f.hi = std::max(f.hi, l.second);
    const double pad = std::max((f.hi - f.lo) * 0.05, 0.5);
    f.lo -= pad;
    f.hi += pad;
    std::ostringstream o;
    o << SvgOpen(what) << Axes(f, unit);
    // Nothing is drawn across a gap: no readings, no line.
    for (const auto& [from, to] : report::UnbrokenRuns(b, max_gap_ms)) {
        o << "<polygon fill='#cde' points='";
        for (std::size_t i = from; i < to; ++i) o << f.X(b[i].first_ms) << ',' << f.Y(b[i].max[ch]) << ' ';
        for (std::size_t i = to; i-- > from;) o << f.X(b[i].last_ms) << ',' << f.Y(b[i].min[ch]) << ' ';
        o << "'/><polyline fill='none' stroke='#136' stroke-width='1.5' points='";
        for (std::size_t i = from; i < to; ++i) o << f.X((b[i].first_ms + b[i].last_ms) / 2) << ',' << f.Y(b[i].Mean(ch)) << ' ';
        o << "'/>";
    }
    for (const auto& l : limits)
        o << "<line x1='" << kL << "' x2='" << kW - kR << "' y1='" << f.Y(l.second) << "' y2='" << f.Y(l.second)
          << "' stroke='#c00' stroke-dasharray='6 4'/><text x='" << kW - kR - 4 << "' y='" << f.Y(l.second) - 3
          << "' text-anchor='end' fill='#c00'>" << Esc(l.first) << ' ' << Fixed(l.second, digits) << ' ' << Esc(unit)
          << "</text>";
    o << "</svg>";
    return o.str();
}

std::string HeatColour(double mv, double scale) {
    const double s = std::clamp(mv / scale, -1.0, 1.0);
    const int fade = static_cast<int>(std::lround(255 * (1 - std::fabs(s))));
    char buf[16];
    // Low cells red, high cells blue, level white.
    if (s < 0) std::snprintf(buf, sizeof buf, "#ff%02x%02x", fade, fade);
    else std::snprintf(buf, sizeof buf, "#%02x%02xff", fade, fade);
    return buf;
}

// Cells down, time across, each cell's mean deviation from the string's
// mean cell: a cell drifting away shows as a band darkening along its row.
std::string HeatMap(const Series& s, double threshold_mv, int64_t max_gap_ms) {
    const auto& all = s.Buckets();
    const std::size_t cells = s.Channels();
    if (all.empty() || cells == 0) return "<p class='none'>No readings.</p>";
    // 160 columns, each the same span of time: finer than a printed page
    // shows, and a discharge drawn where it fell in the period.
    const report::TimeSlots cols = report::SlotsInTime(all, cells, 160, max_gap_ms);
    // The colours span up to three times the rest threshold and saturate
    // beyond: a discharge's volts must not wash out a drift of a tenth.
    double scale = threshold_mv;
    for (const auto& c : cols.means)
        if (c)
            for (double v : *c) scale = std::max(scale, std::fabs(v));
    scale = std::min(scale, 3 * threshold_mv);
    const double top = 12, left = 40, right = 10, row = 14;
    const double h = top + row * static_cast<double>(cells) + 58;
    const double cw = (kW - left - right) / static_cast<double>(cols.means.size());
    std::ostringstream o;
    o << "<svg viewBox='0 0 " << kW << ' ' << h << "' role='img' aria-label='cell deviation over time' font-size='10'>";
    for (std::size_t c = 0; c < cells; ++c) {
        const double y = top + row * static_cast<double>(c);
        o << "<text x='" << left - 4 << "' y='" << y + row - 3 << "' text-anchor='end'>" << c + 1 << "</text>";
        for (std::size_t k = 0; k < cols.means.size(); ++k) {
            if (!cols.means[k]) continue;  // no rounds: left blank
            const double mv = (*cols.means[k])[c];
            o << "<rect x='" << Fixed(left + cw * static_cast<double>(k), 2) << "' y='" << y << "' width='"
              << Fixed(cw + 0.3, 2) << "' height='" << row << "' fill='" << HeatColour(mv, scale)
              << "'><title>cell " << c + 1 << ": " << Signed(mv, 1) << " mV</title></rect>";
        }
    }
    const double base = top + row * static_cast<double>(cells);
    // The columns span slot_ms each from t0, the last one partly past the
    // last round: the axis spans what the columns do, and ends its ticks
    // and its text at the last round.
    const int64_t span_end = cols.t0 + cols.slot_ms * static_cast<int64_t>(cols.means.size());
    o << TimeAxis(cols.t0, span_end, all.back().last_ms, left, kW - right, base, base, base + 13);
    // The scale, from as low as any cell went to as high.
    for (int k = 0; k <= 20; ++k) {
        const double v = -scale + 2 * scale * k / 20.0;
        o << "<rect x='" << left + 12 * k << "' y='" << base + 34 << "' width='12' height='10' fill='"
          << HeatColour(v, scale) << "' stroke='#ccc' stroke-width='0.3'/>";
    }
    o << "<text x='" << left + 12 * 21 + 6 << "' y='" << base + 43 << "'>" << Signed(-scale, 0) << " mV (red, low) to "
      << Signed(scale, 0) << " mV (blue, high), full beyond; flag at ±" << Fixed(threshold_mv, 0) << " mV</text></svg>";
    return o.str();
}

// Every cell through a discharge; the one that went lowest drawn red.
std::string EventChart(const Series& s, int lowest_cell, int64_t max_gap_ms) {
    const auto& b = s.Buckets();
    if (b.empty()) return "";
    Frame f{b.front().first_ms, b.back().last_ms, std::numeric_limits<double>::infinity(),
            -std::numeric_limits<double>::infinity()};
    for (const auto& x : b)
        for (std::size_t c = 0; c < s.Channels(); ++c)
            if (x.min[c] > 0) f.lo = std::min(f.lo, x.min[c]), f.hi = std::max(f.hi, x.max[c]);
    if (!(f.lo <= f.hi)) return "";
    const double pad = std::max((f.hi - f.lo) * 0.05, 0.02);
    f.lo -= pad;
    f.hi += pad;
    std::ostringstream o;
    o << SvgOpen("every cell through the discharge") << Axes(f, "V");
    auto line = [&](std::size_t c, const char* colour, double width) {
        for (const auto& [from, to] : report::UnbrokenRuns(b, max_gap_ms)) {
            o << "<polyline fill='none' stroke='" << colour << "' stroke-width='" << width << "' points='";
            for (std::size_t i = from; i < to; ++i)
                if (b[i].min[c] > 0) o << f.X((b[i].first_ms + b[i].last_ms) / 2) << ',' << f.Y(b[i].Mean(c)) << ' ';
            o << "'><title>cell " << c + 1 << "</title></polyline>";
        }
    };
    for (std::size_t c = 0; c < s.Channels(); ++c)
        if (static_cast<int>(c) + 1 != lowest_cell) line(c, "#8ab", 1);
    if (lowest_cell > 0) line(static_cast<std::size_t>(lowest_cell - 1), "#c00", 2);
    o << "</svg>";
    return o.str();
}

std::string CellRows(const DeviceFigures& d) {
    std::ostringstream o;
    auto part = [&](const report::CellStats& c) {
        if (c.n == 0) {
            o << "<td colspan='6' class='none'>no reading</td>";
            return;
        }
        o << "<td>" << c.rank << "</td><td>" << Fixed(c.min_v, 2) << "</td><td>" << Fixed(c.mean_v, 3) << "</td><td>"
          << Fixed(c.max_v, 2) << "</td><td" << (c.flagged ? " class='flag'" : "") << ">" << Signed(c.deviation_mv, 1)
          << (c.flagged ? " ⚑" : "") << "</td><td>" << Signed(c.worst_deviation_mv, 1) << "</td>";
    };
    for (std::size_t i = 0; i < d.rest.cells.size(); ++i) {
        o << "<tr><th>" << i + 1 << "</th>";
        part(d.rest.cells[i]);
        if (d.recharge.rounds > 0) part(d.recharge.cells[i]);
        if (d.discharge.rounds > 0) part(d.discharge.cells[i]);
        o << "</tr>";
    }
    return o.str();
}

std::string DeviceSection(const DeviceFigures& d, const report::Settings& settings) {
    std::ostringstream o;
    const auto& w = d.watch;
    // A pause longer than a discharge may hold is a gap in every chart.
    const auto gap_ms = static_cast<int64_t>(settings.max_gap_s * 1000.0);
    o << "<section class='device'><h2>Device " << d.id << "</h2>";
    if (w.rounds == 0) {
        o << "<p class='warn'>No round of this device is stored in the period: nothing below describes the string."
             "</p>";
    }
    o << "<h3>How well it was watched</h3><div class='scroll'><table class='kv'>"
      << "<tr><th>Rounds stored</th><td>" << w.rounds << "</td></tr>"
      << "<tr><th>Rounds not read (the record unreadable, or a value marked invalid)</th><td" << (w.undecoded ? " class='flag'" : "") << ">"
      << w.undecoded << "</td></tr>";
    if (w.rounds > 0)
        o << "<tr><th>First and last round</th><td>" << Time(w.first_at) << " to " << Time(w.last_at) << "</td></tr>"
          << "<tr><th>Longest time without a round</th><td>" << Duration(w.longest_gap_s)
          << (w.longest_gap_s > 0 ? " after " + Time(w.longest_gap_after_ms) : std::string()) << "</td></tr>";
    o << "<tr><th>Silent periods (not answering)</th><td" << (w.silent_periods ? " class='flag'" : "") << ">"
      << w.silent_periods << ", " << Duration(w.silent_s) << " in all</td></tr>"
      << "<tr><th>Port outages</th><td" << (w.outages ? " class='flag'" : "") << ">" << w.outages << ", "
      << Duration(w.outage_s) << " in all</td></tr>"
      << "<tr><th>Stale periods (no round for 60 s)</th><td" << (w.stale_periods ? " class='flag'" : "") << ">"
      << w.stale_periods << ", " << Duration(w.stale_s) << " in all</td></tr>"
      << "<tr><th>Cycles lost in those periods</th><td>" << w.cycles_lost << "</td></tr>"
      << "<tr><th>Poll cycles of the runs (whole runs)</th><td" << (w.cycles_failed ? " class='flag'" : "") << ">"
      << (w.runs_counted > 0 ? std::to_string(w.cycles_started) + " started, " + std::to_string(w.cycles_completed) +
                                   " completed, " + std::to_string(w.cycles_failed) + " lost (" +
                                   Fixed(w.cycles_completed + w.cycles_failed > 0
                                             ? 100.0 * w.cycles_failed / (w.cycles_completed + w.cycles_failed)
                                             : 0.0,
                                         2) +
                                   " %), " + std::to_string(w.resends) + " resends"
                             : std::string("<span class='none'>not recorded</span>"))
      << (w.runs_not_recorded > 0 ? "; " + std::to_string(w.runs_not_recorded) + " run(s) not recorded" : std::string())
      << "</td></tr>"
      << "<tr><th>Late polls (whole runs)</th>"
      << (w.runs_with_late_polls > 0
              ? std::string(w.late_polls > 0 ? "<td class='flag'>" : "<td>") + std::to_string(w.late_polls) +
                    " started half a tick or more after they were due" +
                    (w.runs_with_late_polls < w.runs_counted + w.runs_not_recorded ? "; some runs did not count them"
                                                                                   : "") +
                    "</td>"
              : std::string("<td class='none'>not recorded by this history</td>"))
      << "</tr>"
      << "</table></div>";
    if (!w.troubles.empty()) {
        o << "<div class='scroll'><table><tr><th>State</th><th>From</th><th>To</th><th>Duration</th>"
             "<th>Cycles lost</th><th>Last failure</th></tr>";
        for (const auto& t : w.troubles)
            o << "<tr><td class='l'>" << Esc(t.state) << "</td><td class='l'>" << Time(t.since) << "</td><td class='l'>"
              << (t.until_ms ? Time(t.until) : "still at the end of the period") << "</td><td>"
              << Duration(t.duration_s) << "</td><td>" << t.cycles_lost << "</td><td class='l'>" << Esc(t.reason)
              << "</td></tr>";
        o << "</table></div>";
    }

    auto limits = [&](const std::string& name) {
        std::vector<std::pair<std::string, double>> out;
        for (const auto& l : d.limits)
            if (l.name == name) out.push_back({l.bound, l.value});
        return out;
    };
    o << "<h3>String</h3><figure>" << LineChart(d.string_chart, 0, "string voltage", "V", 1, limits("group_voltage"), gap_ms)
      << "<figcaption>String voltage, V: mean (line) and lowest to highest reading (band)</figcaption></figure>"
      << "<figure>" << LineChart(d.string_chart, 1, "string current", "A", 1, limits("group_current"), gap_ms)
      << "<figcaption>String current, A (below 0: discharging)</figcaption></figure>"
      << "<figure>" << LineChart(d.string_chart, 2, "temperature", "°C", 1, limits("temperature"), gap_ms)
      << "<figcaption>Temperature, °C</figcaption></figure>";
    if (d.limits.empty())
        o << "<p class='none'>Limits: none is shown: no alarm in the period recorded one, and the device was judged "
             "by none.</p>";
    for (const auto& l : d.limits)
        if (!l.source.empty()) {
            o << "<p class='none'>Limits no alarm recorded are those the device was judged by: "
              << report::EscapeHtml(l.source) << ".</p>";
            break;
        }

    o << "<h3>Alarms</h3>";
    if (d.alarms.empty()) o << "<p>No alarm was raised or cleared in the period.</p>";
    else {
        o << "<div class='scroll'><table><tr><th>Value</th><th>Bound</th><th>Limit</th><th>Reading</th>"
             "<th>Raised</th><th>Ended</th><th>Stood</th></tr>";
        for (const auto& a : d.alarms)
            o << "<tr><td class='l'>" << Esc(a.label.empty() ? a.name : a.label) << "</td><td class='l'>"
              << Esc(a.bound) << "</td><td>" << Fixed(a.limit, 2) << "</td><td>" << Fixed(a.value, 2)
              << "</td><td class='l'>" << (a.raised_before ? "before the period" : Time(a.raised_at))
              << "</td><td class='l'>"
              << (a.ended_ms ? Time(a.ended_at) + " (" + Esc(a.ended_by == report::AlarmEnd::closed ? "closed at restart" : report::AlarmEndName(a.ended_by)) +
                                   ")"
                             : std::string("<span class='warn'>still raised</span>"))
              << "</td><td>" << (a.raised_before ? "at least " : "") << Duration(a.duration_s) << "</td></tr>";
        o << "</table></div>";
        if (d.alarms_not_kept > 0) o << "<p class='warn'>" << d.alarms_not_kept << " more alarms not listed.</p>";
    }
    // Float alarms neither rise nor clear off float: when they were held says
    // why none was raised meanwhile.
    if (!d.float_holds.empty()) {
        o << "<p>Float alarms held off float and resumed on it:</p><ul>";
        for (const auto& n : d.float_holds) o << "<li>" << Esc(n.at) << ": " << Esc(n.text) << "</li>";
        o << "</ul>";
        if (d.float_holds_not_kept > 0) o << "<p class='warn'>" << d.float_holds_not_kept << " more not listed.</p>";
    }

    o << "<h3>Cells</h3><p>Deviation: the cell's voltage less the string's mean cell in the same round, in mV; "
         "rank 1 is the weakest (lowest mean deviation).  Flagged ⚑ past ±"
      << Fixed(settings.flag_rest_mv, 0) << " mV at rest, ±" << Fixed(settings.flag_recharge_mv, 0)
      << " mV on recharge, ±" << Fixed(settings.flag_discharge_mv, 0)
      << " mV under discharge.  At rest (float, or no current): " << d.rest.rounds << " rounds"
      << (d.rest.rounds > 0 ? ", mean cell " + Fixed(d.rest.mean_cell_v, 3) + " V" : std::string())
      << "; on recharge (above " << Fixed(settings.recharge_amps, 1) << " A): " << d.recharge.rounds << " rounds"
      << (d.recharge.rounds > 0 ? ", mean cell " + Fixed(d.recharge.mean_cell_v, 3) + " V" : std::string())
      << "; under discharge: " << d.discharge.rounds << " rounds"
      << (d.discharge.rounds > 0 ? ", mean cell " + Fixed(d.discharge.mean_cell_v, 3) + " V" : std::string())
      << ".</p><div class='scroll'><table class='cells'><tr><th rowspan='2'>Cell</th><th colspan='6'>At rest</th>"
      << (d.recharge.rounds > 0 ? "<th colspan='6'>On recharge</th>" : "")
      << (d.discharge.rounds > 0 ? "<th colspan='6'>Under discharge</th>" : "") << "</tr><tr>";
    for (int k = 0; k < 1 + (d.recharge.rounds > 0) + (d.discharge.rounds > 0); ++k)
        o << "<th>Rank</th><th>Min V</th><th>Mean V</th><th>Max V</th><th>Dev. mV</th><th>Worst mV</th>";
    o << "</tr>" << CellRows(d) << "</table></div>";
    o << "<figure>" << HeatMap(d.deviation_chart, settings.flag_rest_mv, gap_ms)
      << "<figcaption>Each cell's deviation from the string's mean cell over time, mV</figcaption></figure>";

    o << "<h3>Discharges</h3>";
    if (d.discharges.empty())
        o << "<p>No discharge in the period (current at or below −" << Fixed(settings.discharge_amps, 1)
          << " A for at least " << Fixed(settings.discharge_min_s, 0) << " s).</p>";
    int n = 0;
    for (const auto& e : d.discharges) {
        o << "<div class='event'><h4>Discharge " << ++n << "</h4><div class='scroll'><table class='kv'>"
          << "<tr><th>Start</th><td>" << Time(e.start_at) << "</td></tr>"
          << "<tr><th>End</th><td>" << Time(e.end_at)
          << (e.ended_by == report::DischargeEnd::gap
                  ? " (no rounds after it for a while: its end is the last round seen)"
              : e.ended_by == report::DischargeEnd::period ? " (still discharging at the end of the period)"
                                       : "")
          << "</td></tr><tr><th>Duration</th><td>" << Duration(static_cast<double>(e.end_ms - e.start_ms) / 1000.0)
          << "</td></tr><tr><th>Charge drawn</th><td>" << Fixed(e.ampere_hours, 3) << " Ah</td></tr>"
          << "<tr><th>Current, mean and peak</th><td>" << Fixed(e.mean_current_a, 1) << " A, "
          << Fixed(e.peak_current_a, 1) << " A</td></tr>"
          << "<tr><th>String voltage at the end</th><td>" << Fixed(e.end_voltage_v, 1) << " V</td></tr>"
          << "<tr><th>Lowest cell</th><td>cell " << e.lowest_cell << ", " << Fixed(e.lowest_v, 2) << " V at "
          << Time(e.lowest_at) << "</td></tr><tr><th>Cells at the end, V</th><td class='l'>";
        for (std::size_t c = 0; c < e.end_cells_v.size(); ++c)
            o << (c ? " " : "") << "<span class='cv'>" << c + 1 << ": " << Fixed(e.end_cells_v[c], 2) << "</span>";
        o << "</td></tr></table></div><figure>" << EventChart(e.cells_chart, e.lowest_cell, gap_ms)
          << "<figcaption>Every cell through the discharge, V; cell " << e.lowest_cell << " red</figcaption></figure>"
          << "</div>";
    }
    if (d.discharges_not_kept > 0)
        o << "<p class='warn'>" << d.discharges_not_kept << " more discharges not listed (their rounds are in the "
             "cells' figures).</p>";
    if (d.load_step_rounds > 0)
        o << "<p>" << d.load_step_rounds << " rounds under load too briefly to count as a discharge are in neither "
             "column.</p>";
    o << "</section>";
    return o.str();
}

const char* const kStyle = R"(
:root{color-scheme:light}
*{box-sizing:border-box}
body{font:14px/1.45 system-ui,-apple-system,"Segoe UI",Roboto,sans-serif;margin:0 auto;max-width:62rem;padding:.6rem;color:#111;background:#fff}
h1{font-size:1.5rem;margin:.2rem 0}h2{font-size:1.25rem;border-bottom:2px solid #136;margin-top:1.6rem}h3{font-size:1.05rem;margin:1.2rem 0 .4rem}h4{margin:.8rem 0 .3rem}
.scroll{overflow-x:auto;max-width:100%}
table{border-collapse:collapse;font-variant-numeric:tabular-nums;margin:.3rem 0}
th,td{padding:2px 6px;border-bottom:1px solid #ddd;text-align:right;vertical-align:top}
th{font-weight:600;background:#f4f6f8}
table.kv th{text-align:left}table.kv td{text-align:left}
td.l{text-align:left;overflow-wrap:anywhere}
.hash{font-family:ui-monospace,monospace;font-size:.8em;white-space:nowrap}
.t,.path span,code{white-space:nowrap}
table.runs tr.sub td{border-top:0;padding-top:0;color:#444}table.runs tr:has(+tr.sub) td{border-bottom:0}
.flag{background:#fdd;font-weight:700}.warn{color:#a00;font-weight:600}.none{color:#666}
.cv{white-space:nowrap}
figure{margin:.4rem 0}figcaption{font-size:.85em;color:#444}
svg{width:100%;height:auto;display:block}
@page{size:A4;margin:12mm}
@media print{body{max-width:none;font-size:9.5pt;padding:0}.scroll{overflow:visible}section.device{break-before:page}
figure,.event,table{break-inside:avoid}}
)";

}  // namespace

std::string StringReport::ToHtml() const {
    std::ostringstream o;
    o << "<!DOCTYPE html><html lang='en'><head><meta charset='utf-8'>"
         "<meta name='viewport' content='width=device-width,initial-scale=1'>"
         // Nothing is fetched: styles are inline and charts are in the page.
         "<meta http-equiv='Content-Security-Policy' content=\"default-src 'none'; style-src 'unsafe-inline'\">"
         "<title>Battery string report</title><style>"
      << kStyle << "</style></head><body><header><h1>Battery string report</h1>";
    // The verdict first, on the first page: what the report is read for.
    for (const auto& v : verdicts) o << v.ToHtml();
    o << "<div class='scroll'><table class='kv'>"
      << "<tr><th>History</th><td class='l'>" << report::PathHtml(db) << "</td></tr>"
      << "<tr><th>Period</th><td>" << Time(start_ms) << " to " << Time(end_ms)
      << (from_ms || to_ms ? "" : " (every stored round)") << "</td></tr>"
      << "<tr><th>Made</th><td>" << Time(generated_at) << "</td></tr>"
      << "<tr><th>Devices</th><td>" << devices.size() << "</td></tr></table></div>";
    if (!unread.empty()) o << "<p class='warn'>" << Esc(unread) << "</p>";
    o << "<h3>Runs</h3>";
    if (runs.empty()) o << "<p class='none'>No run is recorded for these rounds (a history from before runs were kept).</p>";
    else {
        // The plug-in's hash has a row of its own: 64 digits that must not
        // break would squeeze every other column.
        o << "<div class='scroll'><table class='runs'><tr><th>Run</th><th>Started</th><th>Ended</th>"
             "<th>Site file</th></tr>";
        for (const auto& r : runs)
            o << "<tr><td>" << r.id << "</td><td class='l'>" << Time(r.started_at) << "</td><td class='l'>"
              << (r.ended_at.empty()
                      ? std::string(r.killed ? "<span class='warn'>killed</span>" : "running or killed") +
                            (r.counted_ms ? ", counted to " + Time(*r.counted_ms) : std::string())
                      : Time(r.ended_at))
              << "</td><td class='l'>" << report::PathHtml(r.site_file) << "</td></tr><tr class='sub'><td></td>"
              << "<td colspan='3' class='l'>"
              << (r.test_note.empty() ? std::string() : "a capacity test: " + Esc(r.test_note) + "<br>")
              << "plug-in SHA-256 <span class='hash'>" << Esc(r.plugin_sha256) << "</span></td></tr>";
        o << "</table></div>";
    }
    for (const auto& n : clock_steps)
        o << "<p class='warn'>Run " << n.run_id << ": the wall clock stepped "
          << (*n.step_ms < 0 ? "back " : "forward ") << Fixed(std::fabs(static_cast<double>(*n.step_ms)) / 1000.0, 1)
          << " s at " << Time(n.at) << ". Times on either side of it do not compare; the durations the run "
          << "measured are on its monotonic clock.</p>";
    o << "</header>";
    for (const auto& d : devices) o << DeviceSection(d, settings);
    if (devices.empty()) o << "<p class='warn'>No round is stored in the period.</p>";
    o << "<footer><p class='none'>Discharge: current at or below −" << Fixed(settings.discharge_amps, 1)
      << " A for at least " << Fixed(settings.discharge_min_s, 0) << " s; a pause of more than "
      << Fixed(settings.max_gap_s, 0) << " s without rounds ends one.  Times are the bench's local time with its "
      << "UTC offset.</p></footer></body></html>\n";
    return o.str();
}
