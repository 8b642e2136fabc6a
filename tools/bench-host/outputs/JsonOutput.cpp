#include "outputs/JsonOutput.h"

#include <cmath>

#include "basics/TextEscape.h"
#include "bus/BusDevice.h"
#include "basics/JsonLine.h"
#include "basics/ValueText.h"
#include "outputs/RunText.h"

namespace {

JsonLine Alarm(const BusDevice* d, const AlarmEvaluator::Change& c, const std::string& at) {
    JsonLine line;
    line.Str("ev", "alarm").UInt("id", d->conf.id).Str("state", c.raised ? "raised" : "cleared").Str("name", c.name).Str(
        "label", c.label).Str("bound", c.bound).Raw("value", ValueText::Of(c.name, c.value)).Raw(
        "limit", ValueText::Of(c.name, c.limit)).Str("at", at);
    return line;
}

double SecondsOf(std::chrono::milliseconds ms) { return static_cast<double>(ms.count()) / 1000.0; }

// Counts per reason, every reason present so that the keys do not depend
// on what happened.
std::string FailureObject(const FailureCounts& counts) {
    JsonLine o;
    for (std::size_t i = 0; i < counts.size(); ++i) o.Int(FailureName(static_cast<FailureReason>(i)), counts[i]);
    return o.Text();
}

JsonLine Health(const BusDevice& d, const DeviceHealth::Change& c) {
    JsonLine line;
    line.Str("ev", "health").UInt("id", d.conf.id).Str("state", DeviceHealth::StateName(c.to)).Str(
        "was", DeviceHealth::StateName(c.from)).Str("since", runtext::Iso(c.since.wall)).Int("cycles_lost", c.cycles_lost);
    if (c.reason) line.Str("reason", FailureName(*c.reason));
    if (c.to == DeviceHealth::State::kAnswering) line.Double("without_round_s", SecondsOf(c.without_round));
    return line;
}

JsonLine ClockStep(const run::ClockStepped& e) {
    JsonLine line;
    line.Str("ev", "clock_step").Str("at", runtext::Iso(e.at)).Double("step_s", SecondsOf(e.step));
    return line;
}

}  // namespace

void JsonOutput::OnEvent(const RunEvent& event) {
    auto emit = [this](const JsonLine& line) { out_ << line.Text() << std::endl; };
    auto note = [this, &event]() {
        if (const auto text = runtext::Note(event)) err_ << TextEscape::Line(*text) << std::endl;
    };
    std::visit(
        Overloaded{
            [&](const run::SetupFailed& e) { err_ << TextEscape::Line("bench-host: " + e.why) << std::endl; },
            [&](const run::RunStarted& e) {
                JsonLine line;
                line.Str("ev", "started").Str("plugin", e.plugin_path).UInt("plugin_size", e.plugin_size).Str(
                    "plugin_sha256", e.plugin_sha256).Str("site", e.site_file).Str("history", e.history_file).Int(
                    "run_id", e.run_id).Str("version", e.version);
                if (!e.web_page.empty()) line.Str("web", e.web_page);
                if (!e.test_note.empty()) line.Str("test", e.test_note);
                emit(line);
            },
            [&](const run::SetupWarning& e) {
                JsonLine line;
                line.Str("ev", "warning").Str("what", e.text);
                emit(line);
            },
            [&](const run::AlarmsClosedAtStart& e) {
                JsonLine line;
                line.Str("ev", "alarms_closed").Int("count", e.count);
                emit(line);
            },
            [&](const run::StoreFailed& e) {
                if (!e.First()) return;  // once per run and kind; the summary counts them all
                JsonLine line;
                line.Str("ev", "store_failed").Str("kind", history::StoreKindName(e.kind)).Str("what", e.what);
                emit(line);
            },
            [&](const run::HistoryLost& e) {
                JsonLine line;
                line.Str("ev", "history_lost").Str("what", e.why);
                emit(line);
            },
            [&](const run::Restored& e) {
                JsonLine line;
                line.Str("ev", "restored").UInt("id", e.device->conf.id).Str("saved_at", e.saved_at).Int("value", e.ok ? 1 : 0);
                if (!e.why.empty()) line.Str("why", e.why);
                emit(line);
            },
            [&](const run::RoundCompleted& e) {
                const BusDevice& d = *e.device;
                const int cells = d.CellsShown();
                std::string arr = "[";
                for (int i = 0; i < cells; ++i) arr += (i ? "," : "") + ValueText::Of(ValueText::Kind::kCell, e.record.cells[i]);
                arr += "]";
                JsonLine line;
                line.Str("ev", "round").UInt("id", d.conf.id).Int("round", d.completed).Str("at", e.at).Raw(
                    "group_voltage", ValueText::Of(ValueText::Kind::kString, e.record.group_voltage)).Raw(
                    "group_current", ValueText::Of(ValueText::Kind::kCurrent, e.record.group_current)).Raw(
                    "temperature", ValueText::Of(ValueText::Kind::kTemperature, e.record.temperature)).Raw("cells", arr).Int("cycles", d.cycles).Int("abandoned", d.abandoned);
                verdict::LiveCharge::Keys(line, e.charge);
                emit(line);
            },
            [&](const run::AlarmRaised& e) { emit(Alarm(e.device, e.change, e.at)); },
            [&](const run::FloatAlarmsHeld& e) {
                JsonLine line;
                line.Str("ev", "float_alarms").UInt("id", e.device->conf.id).Str("state", e.hold.resumed ? "resumed" : "held")
                    .Str("at", TimeStamp::FromMs(e.hold.at_ms).Text());
                if (e.hold.resumed)
                    line.Double("held_s", static_cast<double>(e.hold.held_ms) / 1000.0);
                else
                    line.Str("why", e.hold.why);
                emit(line);
            },
            [&](const run::AlarmCleared& e) { emit(Alarm(e.device, e.change, e.at)); },
            [&](const run::PortLost& e) {
                JsonLine line;
                line.Str("ev", "port").Str("path", e.port).Str("what", "lost (" + e.why + "), reopening in " +
                                                                       std::to_string(e.retry_in.count()) + " ms");
                emit(line);
            },
            [&](const run::PortReopened& e) {
                JsonLine line;
                line.Str("ev", "port").Str("path", e.port).Str("what", "reopened").Double("outage_s", SecondsOf(e.outage));
                emit(line);
            },
            [&](const run::HealthChanged& e) { emit(Health(*e.device, e.change)); },
            [&](const run::ClockStepped& e) { emit(ClockStep(e)); },
            [&](const run::OutputLost& e) {
                err_ << TextEscape::Line("bench-host: " + runtext::Note(e).value_or(e.what)) << std::endl;
            },
            [&](const run::ExchangeFailed&) {},
            [&](const run::PluginLine& e) { err_ << TextEscape::Line("plug-in: " + e.line) << std::endl; },
            [&](const run::Trace& e) {
                if (trace_) err_ << TextEscape::Line(runtext::Trace(e)) << std::endl;
            },
            [&](const run::RunEnded& e) {
                for (const BusDevice* d : e.devices) {
                    const DeviceHealth& h = d->health;
                    JsonLine line;
                    line.Str("ev", "summary").UInt("id", d->conf.id).Int("cycles", d->cycles).Int("completed", d->completed).Int(
                        "abandoned", d->abandoned).Int("missed", d->missed).Int("skipped", d->skipped).Int("resends", d->resends).Double(
                        "loss", std::round(d->LossPercent() * 10.0) / 10.0).Str("state", DeviceHealth::StateName(h.state()));
                    if (h.state() != DeviceHealth::State::kAnswering)
                        line.Str("since", runtext::Iso(h.since().wall)).Int("cycles_lost", h.cycles_lost());
                    line.Raw("failures", FailureObject(d->failures));
                    if (d->failures[static_cast<std::size_t>(FailureReason::kTwoAnswers)] > 0)
                        line.Int("two_monitors_may_share_addr", d->conf.addr);
                    const DeviceHealth::Silence s = h.Silences(e.at);
                    line.Int("silent_periods", s.count).Double("silent_s", SecondsOf(s.total)).Double(
                        "longest_silence_s", SecondsOf(s.longest));
                    if (s.first_began) line.Str("first_silence", runtext::Iso(s.first_began->wall));
                    if (s.last_began) line.Str("last_silence", runtext::Iso(s.last_began->wall));
                    std::string standing = "[";
                    for (const auto& a : d->StandingAlarms()) {
                        JsonLine alarm;
                        alarm.Str("name", a.name).Str("label", a.label).Str("bound", a.bound).Raw(
                            "value", ValueText::Of(a.name, a.value)).Raw("limit", ValueText::Of(a.name, a.limit));
                        standing += (standing.size() > 1 ? "," : "") + alarm.Text();
                    }
                    line.Raw("alarms_standing", standing + "]");
                    verdict::LiveCharge::Keys(line, d->charge ? d->charge->Last() : std::nullopt);
                    verdict::LiveResistance::Keys(line, d->resistance);
                    verdict::LiveCapacity::Keys(line, d->capacity ? d->capacity->Now(true) : std::nullopt);
                    verdict::FloatDrift::Keys(line, d->float_drift);
                    line.Raw("baseline_date", d->baseline_date.empty() ? "null" : JsonLine::Quote(d->baseline_date));
                    // Null before a second cycle: there is no interval yet.
                    line.Int("late_polls", d->late_polls)
                        .Raw("poll_interval_s",
                             d->starts < 2 ? "null"
                                           : JsonLine::FormatDouble(std::round(d->PollIntervalSeconds() * 1000.0) / 1000.0));
                    if (h.late_replies() > 0)
                        line.Int("late_replies", h.late_replies())
                            .Double("late_by_s", SecondsOf(h.late_by()))
                            .Int("quiet_guard_ms_needed", runtext::GuardCovering(h.late_by()));
                    if (d->guard_raised)
                        line.Int("quiet_guard_raised_ms", d->guard_raised->guard.count())
                            .Str("quiet_guard_raised_at", runtext::Iso(d->guard_raised->at.wall));
                    emit(line);
                }
                for (const auto& p : e.ports) {
                    JsonLine line;
                    line.Str("ev", "port_summary").Str("path", p.path).Int("outages", p.outages).Double("outage_s",
                                                                                                      SecondsOf(p.down));
                    emit(line);
                }
                JsonLine history;
                history.Str("ev", "history")
                    .Str("file", e.history_file)
                    .Int("records_not_stored", e.records_not_stored)
                    .Int("alarms_not_stored", e.alarms_not_stored)
                    .Int("health_not_stored", e.health_not_stored)
                    .Int("counts_not_stored", e.counts_not_stored)
                    .Int("summary_failures", e.summary_failures);
                if (!e.history_lost.empty()) history.Str("lost", e.history_lost);
                std::string steps = "[";
                for (const auto& s : e.clock_steps) steps += (steps.size() > 1 ? "," : "") + ClockStep(s).Text();
                history.Raw("clock_steps", steps + "]");
                emit(history);
                for (const auto& line : runtext::Complaints(e)) err_ << TextEscape::Line(line) << std::endl;
            },
            [&](const auto&) { note(); },
        },
        event);
}
