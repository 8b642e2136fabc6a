#include "JsonOutput.h"

#include "BusDevice.h"
#include "JsonLine.h"
#include "RunText.h"

namespace {

JsonLine Alarm(const BusDevice* d, const AlarmEvaluator::Change& c, const std::string& at) {
    JsonLine line;
    line.Str("ev", "alarm").UInt("id", d->conf.id).Str("state", c.raised ? "raised" : "cleared").Str("name", c.name).Str(
        "label", c.label).Str("bound", c.bound).Float("value", c.value).Float("limit", c.limit).Str("at", at);
    return line;
}

}  // namespace

void JsonOutput::OnEvent(const RunEvent& event) {
    auto emit = [this](const JsonLine& line) { out_ << line.Text() << std::endl; };
    auto note = [this, &event]() {
        if (const auto text = runtext::Note(event)) err_ << *text << std::endl;
    };
    std::visit(
        Overloaded{
            [&](const run::SetupFailed& e) { err_ << "bench-host: " << e.why << std::endl; },
            [&](const run::StoreFailed& e) { err_ << "bench-host: " << e.what << std::endl; },
            [&](const run::Restored& e) {
                if (!e.why.empty()) return note();
                JsonLine line;
                line.Str("ev", "restored").UInt("id", e.device->conf.id).Str("saved_at", e.saved_at).Int("value", e.ok ? 1 : 0);
                emit(line);
            },
            [&](const run::RoundCompleted& e) {
                const BusDevice& d = *e.device;
                const int cells = d.cell_count > 0 ? d.cell_count : BatteryRecord::kCells;
                std::string arr = "[";
                for (int i = 0; i < cells; ++i) arr += (i ? "," : "") + JsonLine::FormatFloat(e.record.cells[i]);
                arr += "]";
                JsonLine line;
                line.Str("ev", "round").UInt("id", d.conf.id).Int("round", d.completed).Str("at", e.at).Float(
                    "group_voltage", e.record.group_voltage).Float("group_current", e.record.group_current).Float(
                    "temperature", e.record.temperature).Raw("cells", arr).Int("cycles", d.cycles).Int("abandoned", d.abandoned);
                emit(line);
            },
            [&](const run::AlarmRaised& e) { emit(Alarm(e.device, e.change, e.at)); },
            [&](const run::AlarmCleared& e) { emit(Alarm(e.device, e.change, e.at)); },
            [&](const run::PortLost& e) {
                JsonLine line;
                line.Str("ev", "port").Str("path", e.port).Str("what", "lost (" + e.why + "), reopening in " +
                                                                       std::to_string(e.retry_in.count()) + " ms");
                emit(line);
            },
            [&](const run::PortReopened& e) {
                JsonLine line;
                line.Str("ev", "port").Str("path", e.port).Str("what", "reopened");
                emit(line);
            },
            [&](const run::PluginLine& e) { err_ << "plug-in: " << e.line << std::endl; },
            [&](const run::Trace& e) {
                if (trace_) err_ << runtext::Trace(e) << std::endl;
            },
            [&](const run::RunEnded& e) {
                for (const BusDevice* d : e.devices) {
                    JsonLine line;
                    line.Str("ev", "summary").UInt("id", d->conf.id).Int("cycles", d->cycles).Int("completed", d->completed).Int(
                        "abandoned", d->abandoned).Int("resends", d->resends).Str("loss", runtext::Loss(d->cycles, d->completed));
                    emit(line);
                }
                for (const auto& line : runtext::Complaints(e)) err_ << line << std::endl;
            },
            [&](const auto&) { note(); },
        },
        event);
}
