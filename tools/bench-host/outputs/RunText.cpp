#include "outputs/RunText.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <ctime>

#include "bus/BusDevice.h"
#include "basics/Hex.h"
#include "basics/JsonLine.h"
#include "basics/ValueText.h"
#include "protocol/MonitorProtocol.h"

namespace runtext {

std::string Clock(run::WallClock::time_point at, bool millis) {
    const auto since_epoch = at.time_since_epoch();
    const std::time_t secs = std::chrono::duration_cast<std::chrono::seconds>(since_epoch).count();
    std::tm tm{};
    localtime_r(&secs, &tm);
    char buf[48];
    std::strftime(buf, sizeof buf, "%H:%M:%S", &tm);
    if (!millis) return buf;
    const long ms = static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(since_epoch).count() % 1000);
    char out[64];
    std::snprintf(out, sizeof out, "%s.%03ld", buf, ms);
    return out;
}

std::string Clock(bool millis) { return Clock(run::WallClock::now(), millis); }

std::string Iso(run::WallClock::time_point at) {
    const auto since_epoch = at.time_since_epoch();
    const std::time_t secs = std::chrono::duration_cast<std::chrono::seconds>(since_epoch).count();
    std::tm tm{};
    localtime_r(&secs, &tm);
    char date[32], zone[8];
    std::strftime(date, sizeof date, "%Y-%m-%dT%H:%M:%S", &tm);
    std::strftime(zone, sizeof zone, "%z", &tm);  // +0800
    const long ms = static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(since_epoch).count() % 1000);
    char out[64];
    std::snprintf(out, sizeof out, "%s.%03ld%.3s:%.2s", date, ms, zone, zone + 3);
    return out;
}

std::string Percent(double percent) {
    char buf[32];
    if (std::fabs(percent - std::round(percent)) < 1e-9)
        std::snprintf(buf, sizeof buf, "%.0f%%", percent);
    else
        std::snprintf(buf, sizeof buf, "%.1f%%", percent);
    return buf;
}

std::string Count(long n, const char* one, const char* many) { return std::to_string(n) + " " + (n == 1 ? one : many); }

std::string Seconds(std::chrono::milliseconds length) {
    const double s = static_cast<double>(length.count()) / 1000.0;
    char buf[32];
    std::snprintf(buf, sizeof buf, s < 10 ? "%.1f s" : "%.0f s", s);
    return buf;
}

std::string Step(std::chrono::milliseconds step) {
    return std::string(step.count() < 0 ? "back " : "forward ") + Seconds(std::chrono::abs(step));
}

namespace {

std::string Cycles(long n) { return std::to_string(n) + (n == 1 ? " cycle" : " cycles"); }

}  // namespace

std::string State(const BusDevice& d) {
    const DeviceHealth& h = d.health;
    const std::string since = Clock(h.since().wall, false);
    std::string lost = Cycles(h.cycles_lost()) + " lost";
    if (h.last_reason()) lost += " (" + std::string(FailureName(*h.last_reason())) + ")";
    switch (h.state()) {
        case DeviceHealth::State::kAnswering:
            return "answering";
        case DeviceHealth::State::kNeverAnswered:
            return h.cycles_lost() > 0 ? "never answered, " + lost : "never answered";
        case DeviceHealth::State::kNotAnswering:
            return (h.ever_answered() ? "not answering" : "never answered: no answer") + std::string(" since ") + since +
                   ", " + lost;
        case DeviceHealth::State::kPortLost:
            return "port lost since " + since + ", " + lost;
        case DeviceHealth::State::kStale:
            return "stale: no round since " + since;
    }
    return "?";
}

std::string Failures(const FailureCounts& counts) {
    std::string out;
    for (std::size_t i = 0; i < counts.size(); ++i) {
        if (counts[i] == 0) continue;
        out += (out.empty() ? "" : ", ") + std::to_string(counts[i]) + " " + FailureName(static_cast<FailureReason>(i));
    }
    return out.empty() ? "none" : out;
}

namespace {

std::string DeviceName(const BusDevice* d) { return "device " + std::to_string(d->conf.id); }

// Where a silent device is asked, as a trace of the line shows it.
std::string Wire(const BusDevice& d) {
    char addr[8];
    std::snprintf(addr, sizeof addr, "0x%02X", monitor::BusAddress(d.conf.addr));
    return "bus address " + std::string(addr) + " (addr " + std::to_string(d.conf.addr) + ") on " + d.port_path;
}

std::string AlarmLine(bool raised, const BusDevice* d, const AlarmEvaluator::Change& c) {
    return std::string(raised ? "ALARM " : "CLEAR ") + DeviceName(d) + " " + c.label + " (" + c.name + ") " +
           ValueText::WithUnit(c.name, c.value) + (c.bound == "low" ? " low limit " : " high limit ") +
           ValueText::WithUnit(c.name, c.limit);
}

// One line per state change: "device 12: no answer since 11:07:15 — 3
// cycles, timeout", "device 12: answering again after 15 s, 12 cycles lost".
std::string HealthLine(const BusDevice& d, const DeviceHealth::Change& c) {
    using S = DeviceHealth::State;
    const std::string who = DeviceName(&d) + ": ";
    const std::string why = c.reason ? std::string(", ") + FailureName(*c.reason) : "";
    switch (c.to) {
        case S::kAnswering:
            if (c.from == S::kNeverAnswered)
                return who + "answering" +
                       (c.cycles_lost > 0 ? " after " + Seconds(c.without_round) + ", " + Cycles(c.cycles_lost) + " lost" : "");
            return who + "answering again after " + Seconds(c.without_round) + ", " + Cycles(c.cycles_lost) + " lost";
        case S::kNotAnswering:
            // A device that never answered is most often asked for wrongly;
            // one that stops, most often unplugged or switched off.
            return who + "no answer since " + Clock(c.since.wall, false) + " — " + Cycles(c.cycles_lost) + why +
                   (c.from == S::kNeverAnswered ? " (never answered)" : "") + "; nothing from " + Wire(d) +
                   (c.from == S::kNeverAnswered ? ": check its address, the line speed, the wiring and the port's echo"
                                                : ": check its power and the cable");
        case S::kPortLost:
            return who + "port " + d.port_path + " lost at " + Clock(c.since.wall, false);
        case S::kStale:
            return who + "stale — no completed round since " + Clock(c.since.wall, false);
        case S::kNeverAnswered:
            break;
    }
    return who + DeviceHealth::StateName(c.to);
}

}  // namespace

std::optional<std::string> Note(const RunEvent& event) {
    return std::visit(
        Overloaded{
            [](const run::SetupWarning& e) -> std::optional<std::string> { return "warning: " + e.text; },
            [](const run::AlarmsClosedAtStart& e) -> std::optional<std::string> {
                return "closed " + std::to_string(e.count) + (e.count == 1 ? " alarm" : " alarms") +
                       " an earlier run left raised";
            },
            [](const run::StoreFailed& e) -> std::optional<std::string> {
                // Once per run and kind: a full disk fails every round, and
                // the summary counts them all.
                if (!e.First()) return std::nullopt;
                return "NOT STORED: " + e.what + " (every further " + history::StoreKindName(e.kind) +
                       " not stored is counted in the summary)";
            },
            [](const run::HistoryLost& e) -> std::optional<std::string> { return "NOT STORED: " + e.why; },
            [](const run::Restored& e) -> std::optional<std::string> {
                if (!e.why.empty()) return DeviceName(e.device) + " not restored: " + e.why;
                return DeviceName(e.device) + (e.ok ? " restored from the round saved at " : " refused the round saved at ") +
                       e.saved_at;
            },
            [](const run::AlarmRaised& e) -> std::optional<std::string> { return AlarmLine(true, e.device, e.change); },
            [](const run::AlarmCleared& e) -> std::optional<std::string> { return AlarmLine(false, e.device, e.change); },
            [](const run::HealthChanged& e) -> std::optional<std::string> { return HealthLine(*e.device, e.change); },
            [](const run::FloatAlarmsHeld& e) -> std::optional<std::string> {
                return DeviceName(e.device) + ": " + e.hold.Text();
            },
            [](const run::DeviceCallFailed& e) -> std::optional<std::string> {
                return DeviceName(e.device) + ": " + e.op + " failed: " + e.what;
            },
            [](const run::PortLost& e) -> std::optional<std::string> {
                return "port " + e.port + " lost (" + e.why + "), reopening in " + std::to_string(e.retry_in.count()) +
                       " ms";
            },
            [](const run::OutputLost& e) -> std::optional<std::string> {
                return "standard output lost (" + e.what +
                       "): the run goes on polling and storing, its lines are no longer shown";
            },
            [](const run::ClockStepped& e) -> std::optional<std::string> {
                return "wall clock stepped " + Step(e.step) + " at " + Iso(e.at) +
                       "; durations are measured on the monotonic clock";
            },
            [](const run::PortReopened& e) -> std::optional<std::string> {
                return "port " + e.port + " reopened after " + Seconds(e.outage);
            },
            [](const auto&) -> std::optional<std::string> { return std::nullopt; },
        },
        event);
}

std::string Started(const run::RunStarted& e) {
    return "plug-in " + e.plugin_path + " (" + std::to_string(e.plugin_size) + " bytes, sha256 " + e.plugin_sha256 +
           "), history " + e.history_file + " run " + std::to_string(e.run_id) + ", bench-host " + e.version +
           (e.web_page.empty() ? "" : ", web page " + e.web_page) +
           (e.test_note.empty() ? "" : "; a capacity test: " + e.test_note);
}

std::string Round(const run::RoundCompleted& round) {
    const BusDevice& d = *round.device;
    const auto& r = round.record;
    const int cells = d.CellsShown();
    // The range of the cells read; those the monitor marked invalid are
    // counted apart, never taken for 0 V.
    const BatteryRecord::CellSpan span = r.CellsRead(cells);
    const std::string range =
        BatteryRecord::HasValue(span.low)
            ? ValueText::Of(ValueText::Kind::kCell, span.low) + ".." + ValueText::Of(ValueText::Kind::kCell, span.high) + " V"
            : std::string(ValueText::kNoValue);
    const std::string none = span.without_value > 0 && BatteryRecord::HasValue(span.low)
                                 ? " (" + std::to_string(span.without_value) + " " + ValueText::kNoValue + ")"
                                 : "";
    return Clock(false) + " " + DeviceName(&d) + " round " + std::to_string(d.completed) + ": string " +
           ValueText::WithUnit("group_voltage", r.group_voltage) + ", current " +
           ValueText::WithUnit("group_current", r.group_current) + ", temperature " +
           ValueText::WithUnit("temperature", r.temperature) + ", " + std::to_string(cells) + " cells " + range + none;
}

std::string Trace(const run::Trace& trace) {
    // A verdict on received bytes that were traced as they came: said with
    // its reason, the bytes not shown a second time (which would read as if
    // they had been received twice).
    const bool verdict = !trace.sent && (trace.note.rfind("refused: ", 0) == 0 || trace.note.rfind("no reply in time: ", 0) == 0);
    if (verdict)
        return Clock(trace.at, true) + " " + trace.port + " ! " + trace.note +
               (trace.bytes.empty() ? std::string() : " (the " + Count(static_cast<long>(trace.bytes.size()), "byte", "bytes") + " above)");
    std::string line = Clock(trace.at, true) + " " + trace.port + (trace.sent ? " > " : " < ") +
                       hex::Spaced(trace.bytes.data(), trace.bytes.size());
    if (!trace.note.empty()) line += "  (" + trace.note + ")";
    return line;
}

std::string Silences(const DeviceHealth::Silence& s) {
    if (s.count == 0) return "never";
    std::string out = Count(s.count, "period", "periods") + ", " + Seconds(s.total) + " in all";
    if (s.count > 1) out += ", longest " + Seconds(s.longest);
    out += s.count > 1 ? ", first from " + Clock(s.first_began->wall, false) + ", last from " : ", from ";
    out += Clock(s.last_began->wall, false);
    out += s.last_ended ? " to " + Clock(s.last_ended->wall, false) : " to the end of the run";
    return out;
}

std::string Standing(const std::vector<AlarmEvaluator::Active>& alarms) {
    std::string out;
    for (const auto& a : alarms)
        out += (out.empty() ? "" : "; ") + a.label + " (" + a.name + ") " + ValueText::WithUnit(a.name, a.value) +
               (a.bound == "low" ? " below " : " above ") + ValueText::WithUnit(a.name, a.limit);
    return out.empty() ? "none" : out;
}

long GuardCovering(std::chrono::milliseconds late_by) { return (late_by.count() + 49) / 50 * 50; }

std::string Polls(const BusDevice& d) {
    char text[96];
    std::snprintf(text, sizeof text, "every %.2f s against a tick of %g s, %ld late", d.PollIntervalSeconds(),
                  d.tick_period, d.late_polls);
    if (d.starts < 2) return "fewer than two cycles, " + std::to_string(d.late_polls) + " late";
    std::string out = text;
    if (d.skipped > 0) out += ", " + std::to_string(d.skipped) + " ticks skipped";
    // Polled a quarter slower than the tick on average: the bus cannot hold it.
    if (d.PollIntervalSeconds() > 1.25 * d.tick_period) {
        std::snprintf(text, sizeof text, "; the tick cannot be held: this bus holds one of %.2f s", d.PollIntervalSeconds());
        out += text;
    }
    return out;
}

std::string LateReplies(const BusDevice& d) {
    const DeviceHealth& h = d.health;
    if (h.late_replies() == 0) return "";
    std::string out = Count(h.late_replies(), "reply", "replies") + " late, up to " + Seconds(h.late_by()) +
                      " after their request; \"quiet_guard_ms\": " + std::to_string(GuardCovering(h.late_by())) +
                      " would cover them";
    if (d.guard_raised)
        out += "; they raised the quiet guard to " + Seconds(d.guard_raised->guard) + " at " +
               Clock(d.guard_raised->at.wall, false);
    return out;
}

std::string TwoAnswers(const BusDevice& d) {
    const long n = d.failures[static_cast<std::size_t>(FailureReason::kTwoAnswers)];
    if (n == 0) return "";
    return Count(n, "round or exchange", "rounds or exchanges") + " dropped; two monitors may share address " +
           std::to_string(d.conf.addr);
}

std::vector<std::string> Summary(const run::RunEnded& end) {
    std::vector<std::string> lines;
    for (const BusDevice* d : end.devices) {
        lines.push_back("--- " + DeviceName(d) + " on " + d->port_path + " addr " + std::to_string(d->conf.addr) +
                        " ---");
        lines.push_back(Count(d->cycles, "cycle", "cycles") + ", " + std::to_string(d->completed) + " completed, " +
                        std::to_string(d->abandoned) + " abandoned, " +
                        (d->missed > 0 ? std::to_string(d->missed) + " missed while the port was lost, " : "") +
                        (d->skipped > 0 ? std::to_string(d->skipped) + " skipped while the bus was busy, " : "") +
                        Percent(d->LossPercent()) + " loss");
        lines.push_back("state: " + State(*d) + "; last round " + (d->last_round_at.empty() ? "none" : d->last_round_at));
        if (d->charge && d->charge->Last()) {
            const verdict::ChargeNow& c = *d->charge->Last();
            const run::WallClock::time_point since{std::chrono::milliseconds(c.since_ms)};
            lines.push_back(std::string("charge: ") + verdict::ChargeName(c.state) + " since " + Clock(since, false) +
                            (c.remaining.discharging ? "; about " + std::to_string(std::lround(c.remaining.minutes)) +
                                                           " min left (" + c.remaining.method + ")"
                                                     : ""));
        }
        lines.push_back("failed exchanges: " + Failures(d->failures) + "; " + Count(d->resends, "resend", "resends"));
        const std::string two = TwoAnswers(*d);
        if (!two.empty()) lines.push_back("two answers: " + two);
        lines.push_back("polls: " + Polls(*d));
        const std::string late = LateReplies(*d);
        if (!late.empty()) lines.push_back("late replies: " + late);
        lines.push_back("silent: " + Silences(d->health.Silences(end.at)));
        lines.push_back("alarms standing: " + Standing(d->StandingAlarms()));
        if (d->float_alarms && d->float_alarms->Held()) {
            const verdict::FloatHold& h = *d->float_alarms->Held();
            const run::WallClock::time_point since{std::chrono::milliseconds(h.at_ms)};
            lines.push_back("float alarms: held since " + Clock(since, false) + " (" + h.why + ")");
        }
    }
    for (const auto& p : end.ports)
        lines.push_back("port " + p.path + ": " + std::to_string(p.outages) + (p.outages == 1 ? " outage" : " outages") +
                        (p.outages > 0 ? ", " + Seconds(p.down) + " in all" : ""));
    for (const auto& s : end.clock_steps)
        lines.push_back("wall clock stepped " + Step(s.step) + " at " + Iso(s.at));
    lines.push_back("history: " + end.history_file);
    const std::string not_stored = NotStored(end);
    if (!not_stored.empty()) lines.push_back(not_stored);
    if (end.summary_failures > 0)
        lines.push_back(Count(end.summary_failures, "update", "updates") +
                        " of the per-minute summary failed (readers read the rounds instead)");
    if (!end.history_lost.empty()) lines.push_back("NOT STORED: " + end.history_lost);
    return lines;
}

std::string NotStored(const run::RunEnded& end) {
    std::string out;
    const auto add = [&out](long n, const char* one, const char* many) {
        if (n > 0) out += (out.empty() ? "" : ", ") + Count(n, one, many);
    };
    add(end.records_not_stored, "record", "records");
    add(end.alarms_not_stored, "alarm", "alarms");
    add(end.health_not_stored, "health change", "health changes");
    add(end.counts_not_stored, "update of the run's counts", "updates of the run's counts");
    return out.empty() ? out : out + " not stored";
}

std::vector<std::string> Complaints(const run::RunEnded& end) {
    std::vector<std::string> lines;
    for (const BusDevice* d : end.devices)
        if (d->completed == 0) lines.push_back("bench-host: " + DeviceName(d) + " never completed a cycle");
    const std::string not_stored = NotStored(end);
    if (!not_stored.empty()) lines.push_back("bench-host: " + not_stored + " in " + end.history_file);
    if (!end.history_lost.empty()) lines.push_back("bench-host: NOT STORED: " + end.history_lost);
    return lines;
}

}  // namespace runtext
